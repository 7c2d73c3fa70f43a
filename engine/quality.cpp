// Gradient quality measures.

#include "quality.h"

#include "parallel.h"
#include "pixel.h"
#include "stackengine.h"

#include <algorithm>
#include <cmath>
#include <vector>

#if defined(__x86_64__) || defined(__SSE2__)
#include <immintrin.h>
#endif

namespace kernels {
namespace {

struct QualityTables {
    double r[256], g[256], b[256];
    QualityTables()
    {
        for (int v = 0; v < 256; ++v) {
            r[v] = px::fraction(v) * px::kLumaR;
            g[v] = px::fraction(v) * px::kLumaG;
            b[v] = px::fraction(v) * px::kLumaB;
        }
    }
    float luma(QRgb p) const
    {
        double t = r[qRed(p)];
        t = t + g[qGreen(p)];
        t = t + b[qBlue(p)];
        return float(255.0 * t);
    }
};

const QualityTables& tables()
{
    static const QualityTables t;
    return t;
}

// Luminance of one row. Four pixels at a time where the processor has AVX2: the same table values,
// the same additions in the same order and the same rounding to single precision.
void lumaRowScalar(const QRgb* line, float* out, int width)
{
    const QualityTables& t = tables();
    for (int x = 0; x < width; ++x)
        out[x] = t.luma(line[x]);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void lumaRowAvx2(const QRgb* line, float* out, int width)
{
    const QualityTables& t = tables();
    const __m128i mask = _mm_set1_epi32(0xff);
    const __m256d scale = _mm256_set1_pd(255.0);
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + x));
        const __m128i r = _mm_and_si128(_mm_srli_epi32(p, 16), mask);
        const __m128i g = _mm_and_si128(_mm_srli_epi32(p, 8), mask);
        const __m128i b = _mm_and_si128(p, mask);
        const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        const __m256d zero = _mm256_setzero_pd();
        __m256d sum = _mm256_mask_i32gather_pd(zero, t.r, r, all, 8);
        sum = _mm256_add_pd(sum, _mm256_mask_i32gather_pd(zero, t.g, g, all, 8));
        sum = _mm256_add_pd(sum, _mm256_mask_i32gather_pd(zero, t.b, b, all, 8));
        _mm_storeu_ps(out + x, _mm256_cvtpd_ps(_mm256_mul_pd(scale, sum)));
    }
    lumaRowScalar(line + x, out + x, width - x);
}
#endif

using LumaRow = void (*)(const QRgb*, float*, int);

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
std::vector<float> lumaPlane(const QImage& image, int rows)
{
    static const LumaRow lumaRow = chooseLumaRow();
    const int w = image.width();
    std::vector<float> plane;
    plane.reserve(std::size_t(w) * std::size_t(rows));
    plane.resize(std::size_t(w) * std::size_t(rows));
    parallel::forRange(0, rows, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y)
            lumaRow(px::row(image, y), plane.data() + std::size_t(y) * w, w);
    });
    return plane;
}

// The running sum S := int(S + d) of the steps above a threshold, in visiting order. Each addition
// rounds S + d to single precision before the truncation, so the sum depends on the order. While
// 2^k <= S and S + d < 2^(k+1) <= 2^23, S + d is rounded to a multiple of u = 2^(k-23) <= 1/2, and
// since S + trunc(d) is such a multiple the truncated result is S + trunc(d) + 1 exactly when the
// fraction of d reaches 1 - u/2 (a tie rounds to the even multiple, which is the carry). So a block
// of steps that stays inside one binade adds up as integers; other blocks go step by step.
class StepSum {
public:
    void addBlock(const float* d, int n, float threshold)
    {
        if (sum_ >= 2 && sum_ < (1 << 22)) {
            const int k = 31 - __builtin_clz(unsigned(sum_));
            const float carryAt = 1.0f - std::ldexp(1.0f, k - 24);
            long long total = 0;
            int counted = 0;
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
            alignas(16) int lanes[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), totals);
            total += (long long)lanes[0] + lanes[1] + lanes[2] + lanes[3];
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), counts);
            counted += lanes[0] + lanes[1] + lanes[2] + lanes[3];
#endif
            for (; i < n; ++i) {
                const float di = d[i];
                if (di > threshold) {
                    const int whole = int(di);
                    total += whole + ((di - float(whole)) >= carryAt ? 1 : 0);
                    ++counted;
                }
            }
            const long long binadeEnd = std::min<long long>(1LL << (k + 1), 1LL << 23);
            if (sum_ + total + 256 < binadeEnd) {
                sum_ += int(total);
                count_ += counted;
                return;
            }
        }
        for (int i = 0; i < n; ++i) {
            if (d[i] > threshold) {
                ++count_;
                sum_ = int(float(sum_) + d[i]);
            }
        }
    }
    float mean() const { return count_ > 0 ? float(sum_) / count_ : 0.0f; }

private:
    int sum_ = 0;
    int count_ = 0;
};

float horizontalFrom(const std::vector<float>& l, int w, int h)
{
    StepSum steps;
    std::vector<float> d(std::size_t(std::max(0, w - 2)));
    for (int y = 0; y <= h - 2; ++y) {
        const float* row = l.data() + std::size_t(y) * w;
        for (int x = 0; x <= w - 3; ++x)
            d[std::size_t(x)] = std::fabs(row[x] - row[x + 1]);
        steps.addBlock(d.data(), w - 2, 3.0f);
    }
    return steps.mean();
}

float verticalFrom(const std::vector<float>& l, int w, int h)
{
    // Steps of each column laid out contiguously, so the column-by-column pass reads memory in order.
    const int cols = w - 1, rows = h - 2;
    std::vector<float> d(std::size_t(cols) * std::size_t(rows));
    parallel::forRange(0, cols, [&](int x0, int x1) {
        constexpr int kBlock = 64;
        for (int xb = x0; xb < x1; xb += kBlock) {
            const int xe = std::min(x1, xb + kBlock);
            for (int y = 0; y < rows; ++y) {
                const float* a = l.data() + std::size_t(y) * w;
                const float* b = a + w;
                for (int x = xb; x < xe; ++x)
                    d[std::size_t(x) * rows + y] = std::fabs(a[x] - b[x]);
            }
        }
    });
    StepSum steps;
    constexpr int kChunk = 1024;
    for (std::size_t i = 0; i < d.size(); i += kChunk)
        steps.addBlock(d.data() + i, int(std::min<std::size_t>(kChunk, d.size() - i)), 2.0f);
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
    const std::vector<float> l = lumaPlane(image, h - 1);
    const float horizontal = (w >= 3) ? horizontalFrom(l, w, h) : 0.0f;
    const float vertical = (h >= 3) ? verticalFrom(l, w, h) : 0.0f;
    return horizontal + vertical;
}

} // namespace kernels

float StackEngine::gradientQualityH() const
{
    return kernels::gradientQualityH(frameImage);
}

float StackEngine::gradientQualityV() const
{
    return kernels::gradientQualityV(frameImage);
}

float StackEngine::gradientQuality() const
{
    return kernels::gradientQuality(frameImage);
}
