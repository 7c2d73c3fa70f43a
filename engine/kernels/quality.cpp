// Gradient quality measures.

#include "quality.h"

#include "parallel.h"
#include "pixel.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#if defined(__x86_64__) || defined(__SSE2__)
#include <immintrin.h>
#endif

namespace kernels {
namespace {

// Luminance of one row. Four pixels at a time where the processor has AVX: the same table values,
// the same additions in the same order and the same rounding to single precision.
void lumaRowScalar(const QRgb* line, float* out, int width)
{
    const px::LumaTerms& t = px::LumaTerms::instance();
    for (int x = 0; x < width; ++x)
        out[x] = t.qualityLuma(line[x]);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void lumaRowAvx2(const QRgb* line, float* out, int width)
{
    const px::LumaTerms& t = px::LumaTerms::instance();
    const __m256d scale = _mm256_set1_pd(255.0);
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        const QRgb* p = line + x;
        // Table loads beat gathers here.
        const __m256d r = _mm256_set_pd(t.r[qRed(p[3])], t.r[qRed(p[2])], t.r[qRed(p[1])], t.r[qRed(p[0])]);
        const __m256d g = _mm256_set_pd(t.g[qGreen(p[3])], t.g[qGreen(p[2])], t.g[qGreen(p[1])], t.g[qGreen(p[0])]);
        const __m256d b = _mm256_set_pd(t.b[qBlue(p[3])], t.b[qBlue(p[2])], t.b[qBlue(p[1])], t.b[qBlue(p[0])]);
        const __m256d sum = _mm256_add_pd(_mm256_add_pd(r, g), b);
        _mm_storeu_ps(out + x, _mm256_cvtpd_ps(_mm256_mul_pd(scale, sum)));
    }
    lumaRowScalar(line + x, out + x, width - x);
}
#endif

using LumaRow = void (*)(const QRgb*, float*, int);

// Luminance of a row of 16-bit samples: the same sum of the same terms, from the samples' fractions.
void lumaRow16(const QRgba64* line, float* out, int width)
{
    for (int x = 0; x < width; ++x) {
        double t = px::fraction16(line[x].red()) * px::kLumaR;
        t = t + px::fraction16(line[x].green()) * px::kLumaG;
        t = t + px::fraction16(line[x].blue()) * px::kLumaB;
        out[x] = float(255.0 * t);
    }
}

LumaRow chooseLumaRow()
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return lumaRowAvx2;
#endif
    return lumaRowScalar;
}

// Luminance of the rows [0, rows) of the image, row-major.
struct LumaPlane {
    int width = 0;
    std::unique_ptr<float[]> values; // every value is written before it is read
    const float* row(int y) const { return values.get() + std::size_t(y) * std::size_t(width); }
};

LumaPlane lumaPlane(const QImage& image, int rows)
{
    static const LumaRow lumaRow = chooseLumaRow();
    LumaPlane plane;
    plane.width = image.width();
    plane.values.reset(new float[std::size_t(plane.width) * std::size_t(rows)]);
    const bool deep = px::isDeep(image);
    parallel::forRange(0, rows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            float* out = plane.values.get() + std::size_t(y) * plane.width;
            if (deep)
                lumaRow16(px::rowOf<QRgba64>(image, y), out, plane.width);
            else
                lumaRow(px::row(image, y), out, plane.width);
        }
    });
    return plane;
}

// The running sum S := int(S + d) of the steps above a threshold, in visiting order. Each addition
// rounds S + d to single precision before the truncation, so the sum depends on the order. While
// 2^k <= S and S + d < 2^(k+1), S + d is rounded to a multiple of u = 2^(k-23), and S is itself such a
// multiple, so every step adds an amount that depends on d and k alone:
// - u <= 1/2: S + trunc(d), plus 1 exactly when the fraction of d reaches 1 - u/2 (a tie rounds to the
//   even multiple, which is the carry);
// - u >= 1: u * round(d / u), except for a tie, whose rounding depends on S (such blocks go step by step).
// So a block of steps that stays inside one binade adds up as integers; other blocks go step by step.
class StepSum {
public:
    void addBlock(const float* d, int n, float threshold)
    {
        if (sum_ >= 2 && sum_ < (1 << 29)) {
            const int k = 31 - __builtin_clz(unsigned(sum_));
            long long total = 0;
            int counted = 0;
            const bool known = k <= 22 ? belowUnit(d, n, threshold, k, total, counted)
                                       : unitOrMore(d, n, threshold, k, total, counted);
            if (known && sum_ + total + 256 < (1LL << (k + 1))) {
                sum_ += total;
                count_ += counted;
                return;
            }
        }
        for (int i = 0; i < n; ++i) {
            if (d[i] > threshold) {
                ++count_;
                sum_ = (long long)(float(sum_) + d[i]);
            }
        }
    }
    float mean() const { return count_ > 0 ? float(sum_) / count_ : 0.0f; }

private:
    static bool belowUnit(const float* d, int n, float threshold, int k, long long& total, int& counted)
    {
        const float carryAt = 1.0f - std::ldexp(1.0f, k - 24);
        int i = 0;
#if defined(__SSE2__)
        const __m128 limit = _mm_set1_ps(threshold);
        const __m128 carry = _mm_set1_ps(carryAt);
        const __m128i one = _mm_set1_epi32(1);
        __m128i totals = _mm_setzero_si128(), counts = _mm_setzero_si128();
        for (; i + 4 <= n; i += 4) {
            const __m128 v = _mm_loadu_ps(d + i);
            const __m128i on = _mm_castps_si128(_mm_cmpgt_ps(v, limit));
            const __m128i whole = _mm_cvttps_epi32(v);
            const __m128 fraction = _mm_sub_ps(v, _mm_cvtepi32_ps(whole));
            const __m128i up = _mm_and_si128(_mm_castps_si128(_mm_cmpge_ps(fraction, carry)), one);
            totals = _mm_add_epi32(totals, _mm_and_si128(_mm_add_epi32(whole, up), on));
            counts = _mm_sub_epi32(counts, on);
        }
        total += horizontalSum(totals);
        counted += int(horizontalSum(counts));
#endif
        for (; i < n; ++i) {
            const float di = d[i];
            if (di > threshold) {
                const int whole = int(di);
                total += whole + ((di - float(whole)) >= carryAt ? 1 : 0);
                ++counted;
            }
        }
        return true;
    }

    static bool unitOrMore(const float* d, int n, float threshold, int k, long long& total, int& counted)
    {
        const int shift = k - 23;
        const float inverseUnit = std::ldexp(1.0f, -shift);
        int i = 0;
        bool tie = false;
#if defined(__SSE2__)
        const __m128 limit = _mm_set1_ps(threshold);
        const __m128 scale = _mm_set1_ps(inverseUnit);
        const __m128 half = _mm_set1_ps(0.5f);
        __m128i totals = _mm_setzero_si128(), counts = _mm_setzero_si128();
        __m128i ties = _mm_setzero_si128();
        for (; i + 4 <= n; i += 4) {
            const __m128 v = _mm_loadu_ps(d + i);
            const __m128i on = _mm_castps_si128(_mm_cmpgt_ps(v, limit));
            const __m128 units = _mm_mul_ps(v, scale);
            const __m128 fraction = _mm_sub_ps(units, _mm_cvtepi32_ps(_mm_cvttps_epi32(units)));
            ties = _mm_or_si128(ties, _mm_and_si128(_mm_castps_si128(_mm_cmpeq_ps(fraction, half)), on));
            const __m128i rounded = _mm_slli_epi32(_mm_cvtps_epi32(units), shift); // nearest, ties even
            totals = _mm_add_epi32(totals, _mm_and_si128(rounded, on));
            counts = _mm_sub_epi32(counts, on);
        }
        tie = _mm_movemask_epi8(ties) != 0;
        total += horizontalSum(totals);
        counted += int(horizontalSum(counts));
#endif
        for (; i < n; ++i) {
            const float di = d[i];
            if (di > threshold) {
                const float units = di * inverseUnit;
                if (units - float(int(units)) == 0.5f)
                    tie = true;
                total += (long long)std::nearbyint(units) << shift;
                ++counted;
            }
        }
        return !tie;
    }

#if defined(__SSE2__)
    static long long horizontalSum(__m128i v)
    {
        alignas(16) int lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
        return (long long)lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
#endif

    // 64 bits: a large frame with much contrast passes 2^31; below that the sums are those of 32 bits.
    long long sum_ = 0;
    long long count_ = 0;
};

float horizontalFrom(const LumaPlane& l, int w, int h)
{
    parallel::clearVectorState();
    StepSum steps;
    std::vector<float> d(static_cast<std::size_t>(std::max(0, w - 2)));
    for (int y = 0; y <= h - 2; ++y) {
        const float* row = l.row(y);
        for (int x = 0; x <= w - 3; ++x)
            d[std::size_t(x)] = std::fabs(row[x] - row[x + 1]);
        steps.addBlock(d.data(), w - 2, 3.0f);
    }
    return steps.mean();
}

float verticalFrom(const LumaPlane& l, int w, int h)
{
    // The steps of each column laid out contiguously, so the column-by-column pass reads memory in
    // order. Tiles of a few columns keep the writes within a few pages.
    const int cols = w - 1, rows = h - 2;
    std::unique_ptr<float[]> d(new float[std::size_t(cols) * std::size_t(rows)]);
    parallel::forRange(0, cols, [&](int x0, int x1) {
        // Bands of rows that stay in cache while blocks of 4 x 4 steps are transposed into the columns.
        constexpr int kBand = 64;
        for (int yb = 0; yb < rows; yb += kBand) {
            const int ye = std::min(rows, yb + kBand);
            int x = x0;
#if defined(__SSE2__)
            const __m128 signMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
            for (; x + 4 <= x1; x += 4) {
                int y = yb;
                for (; y + 4 <= ye; y += 4) {
                    __m128 r0 = _mm_and_ps(_mm_sub_ps(_mm_loadu_ps(l.row(y) + x), _mm_loadu_ps(l.row(y + 1) + x)), signMask);
                    __m128 r1 = _mm_and_ps(_mm_sub_ps(_mm_loadu_ps(l.row(y + 1) + x), _mm_loadu_ps(l.row(y + 2) + x)), signMask);
                    __m128 r2 = _mm_and_ps(_mm_sub_ps(_mm_loadu_ps(l.row(y + 2) + x), _mm_loadu_ps(l.row(y + 3) + x)), signMask);
                    __m128 r3 = _mm_and_ps(_mm_sub_ps(_mm_loadu_ps(l.row(y + 3) + x), _mm_loadu_ps(l.row(y + 4) + x)), signMask);
                    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                    _mm_storeu_ps(&d[std::size_t(x) * rows + y], r0);
                    _mm_storeu_ps(&d[std::size_t(x + 1) * rows + y], r1);
                    _mm_storeu_ps(&d[std::size_t(x + 2) * rows + y], r2);
                    _mm_storeu_ps(&d[std::size_t(x + 3) * rows + y], r3);
                }
                for (; y < ye; ++y)
                    for (int c = x; c < x + 4; ++c)
                        d[std::size_t(c) * rows + y] = std::fabs(l.row(y)[c] - l.row(y + 1)[c]);
            }
#endif
            for (; x < x1; ++x)
                for (int y = yb; y < ye; ++y)
                    d[std::size_t(x) * rows + y] = std::fabs(l.row(y)[x] - l.row(y + 1)[x]);
        }
    });
    StepSum steps;
    constexpr std::size_t kChunk = 1024;
    parallel::clearVectorState();
    const std::size_t total = std::size_t(cols) * std::size_t(rows);
    for (std::size_t i = 0; i < total; i += kChunk)
        steps.addBlock(d.get() + i, int(std::min(kChunk, total - i)), 2.0f);
    return steps.mean();
}

} // namespace

float gradientQualityH(const QImage& image)
{
    const int w = image.width(), h = image.height();
    if (h < 2 || w < 3)
        return 0.0f;
    return horizontalFrom(lumaPlane(image, h - 1), w, h);
}

float gradientQualityV(const QImage& image)
{
    const int w = image.width(), h = image.height();
    if (w < 2 || h < 3)
        return 0.0f;
    return verticalFrom(lumaPlane(image, h - 1), w, h);
}

float gradientQuality(const QImage& image)
{
    const int w = image.width(), h = image.height();
    if (h < 2 || w < 2)
        return gradientQualityH(image) + gradientQualityV(image);
    const LumaPlane l = lumaPlane(image, h - 1);
    const float horizontal = (w >= 3) ? horizontalFrom(l, w, h) : 0.0f;
    const float vertical = (h >= 3) ? verticalFrom(l, w, h) : 0.0f;
    return horizontal + vertical;
}

} // namespace kernels
