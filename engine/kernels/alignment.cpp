// Luminance feature alignment.

#include "alignment.h"

#include "parallel.h"
#include "pixel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace kernels {
namespace {

constexpr int kMargin = 20;

// Box mean on raw rows: bits and bytes per line taken once per image.
struct RowAccess {
    const uchar* bits;
    qsizetype stride;
    int width, height;
    explicit RowAccess(const QImage& image)
        : bits(image.constBits()), stride(image.bytesPerLine()), width(image.width()), height(image.height())
    {
    }
    const QRgb* row(int y) const { return reinterpret_cast<const QRgb*>(bits + stride * y); }

    QRgb boxMean(int x, int y, int filter) const
    {
        const int x0 = std::max(0, x - filter), x1 = std::min(width - 1, x + filter);
        const int y0 = std::max(0, y - filter), y1 = std::min(height - 1, y + filter);
        int sumR = 0, sumG = 0, sumB = 0;
        for (int j = y0; j <= y1; ++j) {
            const QRgb* line = row(j);
            for (int k = x0; k <= x1; ++k) {
                const QRgb p = line[k];
                sumR += qRed(p);
                sumG += qGreen(p);
                sumB += qBlue(p);
            }
        }
        // Integer division by the full box size; (sum + 0.5) / n never lands within rounding error
        // of a whole number, so the truncated product is the integer quotient.
        const double inverse = 1.0 / ((2 * filter + 1) * (2 * filter + 1));
        return qRgb(int((sumR + 0.5) * inverse), int((sumG + 0.5) * inverse), int((sumB + 0.5) * inverse));
    }
};

} // namespace

QRgb boxMean(const QImage& frame, int x, int y, int filter)
{
    return RowAccess(px::view8(frame)).boxMean(x, y, filter);
}

namespace {

// The channel values detection sees: the image's own, or their colour-mapped values.
struct Unmapped {
    QRgb operator()(QRgb p) const { return p; }
    int red(QRgb p) const { return qRed(p); }
    int green(QRgb p) const { return qGreen(p); }
    int blue(QRgb p) const { return qBlue(p); }
};

struct Mapped {
    const ColourMap& map;
    QRgb operator()(QRgb p) const { return map(p); }
    int red(QRgb p) const { return map.channel[0][qRed(p)]; }
    int green(QRgb p) const { return map.channel[1][qGreen(p)]; }
    int blue(QRgb p) const { return map.channel[2][qBlue(p)]; }
};

} // namespace

Feature detectFeature(const QImage& frame, int threshold, int filter, int radius, std::vector<QPoint>* accepted,
                      const ColourMap* map)
{
    const QImage image = px::view8(frame);
    parallel::clearVectorState();
    Feature result;
    const int width = image.width(), height = image.height();
    const int xBegin = kMargin, xEnd = width - kMargin;  // columns 20 .. W-21
    const int yBegin = kMargin, yEnd = height - kMargin; // rows 20 .. H-21
    if (xEnd <= xBegin || yEnd <= yBegin)
        return result;
    const int cols = xEnd - xBegin;
    const px::LumaTerms& lt = px::LumaTerms::instance();

    // Raw channel values below these can never reach the threshold once mapped (the smallest value
    // that does, per channel; 256: none does). Unmapped, that is the threshold itself.
    int lowest[3] = {threshold, threshold, threshold};
    if (map) {
        for (int c = 0; c < 3; ++c) {
            lowest[c] = 256;
            for (int v = 255; v >= 0; --v)
                if (map->channel[c][v] >= threshold)
                    lowest[c] = v;
        }
    }

    // Candidates: pixel and box mean both reach the threshold. Independent per pixel, so any
    // number of threads give the same mask.
    std::vector<std::uint8_t> candidate(std::size_t(cols) * std::size_t(yEnd - yBegin), 0);
    const RowAccess rows(image);
    const int boxSize = (2 * filter + 1) * (2 * filter + 1);
    const double inverse = 1.0 / boxSize;
    auto candidates = [&](int y0, int y1, const auto& seen) {
        // First the pixels that reach the threshold, noting the columns they span.
        int spanFirst = xEnd, spanLast = xBegin - 1;
        std::vector<char> rowHasPixels(std::size_t(y1 - y0), 0);
        for (int y = y0; y < y1; ++y) {
            const QRgb* line = rows.row(y);
            std::uint8_t* mask = candidate.data() + std::size_t(y - yBegin) * cols;
            int first = xEnd, last = xBegin - 1;
            int x = xBegin;
#if defined(__SSE2__)
            // The luminance never exceeds the largest channel: four pixels whose channels all lie
            // below the threshold are passed over at once.
            if (threshold > 0 && threshold <= 255) {
                quint32 limits = 0, channels = 0;
                for (int c = 0; c < 3; ++c) {
                    if (lowest[c] <= 255) {
                        limits |= quint32(lowest[c]) << (16 - 8 * c);
                        channels |= 0xffu << (16 - 8 * c);
                    }
                }
                const __m128i limit = _mm_set1_epi32(int(limits));
                const __m128i colourBytes = _mm_set1_epi32(int(channels));
                for (; x + 4 <= xEnd; x += 4) {
                    const __m128i v = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line + x)), colourBytes);
                    const __m128i reaches = _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, limit), v), colourBytes);
                    if (_mm_movemask_epi8(reaches) == 0)
                        continue;
                    for (int k = x; k < x + 4; ++k) {
                        if (lt.detectionLuma(seen(line[k])) >= threshold) {
                            mask[k - xBegin] = 1;
                            first = std::min(first, k);
                            last = k;
                        }
                    }
                }
            }
#endif
            for (; x < xEnd; ++x) {
                const QRgb p = seen(line[x]);
                if (std::max({qRed(p), qGreen(p), qBlue(p)}) < threshold || lt.detectionLuma(p) < threshold)
                    continue;
                mask[x - xBegin] = 1;
                first = std::min(first, x);
                last = x;
            }
            if (last >= first) {
                rowHasPixels[std::size_t(y - y0)] = 1;
                spanFirst = std::min(spanFirst, first);
                spanLast = std::max(spanLast, last);
            }
        }
        if (filter == 0 || spanLast < spanFirst)
            return;

        // Then their box means, from column sums of the 2F+1 rows around the row, kept up to date
        // from row to row over the columns the boxes need.
        const int k0 = std::max(0, spanFirst - filter), k1 = std::min(width - 1, spanLast + filter);
        const std::size_t span = std::size_t(k1 - k0 + 1);
        std::vector<int> colR(span), colG(span), colB(span);
        int columnsOfRow = -2;
        auto addRow = [&](int j, int sign) {
            if (j < 0 || j >= height)
                return;
            const QRgb* line = rows.row(j) + k0;
            for (std::size_t k = 0; k < span; ++k) {
                colR[k] += sign * seen.red(line[k]);
                colG[k] += sign * seen.green(line[k]);
                colB[k] += sign * seen.blue(line[k]);
            }
        };
        for (int y = y0; y < y1; ++y) {
            if (!rowHasPixels[std::size_t(y - y0)])
                continue;
            if (columnsOfRow == y - 1) {
                addRow(y - filter - 1, -1);
                addRow(y + filter, +1);
            } else {
                std::fill(colR.begin(), colR.end(), 0);
                std::fill(colG.begin(), colG.end(), 0);
                std::fill(colB.begin(), colB.end(), 0);
                for (int j = y - filter; j <= y + filter; ++j)
                    addRow(j, +1);
            }
            columnsOfRow = y;
            std::uint8_t* mask = candidate.data() + std::size_t(y - yBegin) * cols;
            for (int x = spanFirst; x <= spanLast; ++x) {
                if (!mask[x - xBegin])
                    continue;
                int sumR = 0, sumG = 0, sumB = 0;
                for (int k = std::max(0, x - filter); k <= std::min(width - 1, x + filter); ++k) {
                    sumR += colR[std::size_t(k - k0)];
                    sumG += colG[std::size_t(k - k0)];
                    sumB += colB[std::size_t(k - k0)];
                }
                // Integer division by the full box size; (sum + 0.5) / n never lies within rounding
                // error of a whole number, so the truncated product is the integer quotient.
                const QRgb mean = qRgb(int((sumR + 0.5) * inverse), int((sumG + 0.5) * inverse), int((sumB + 0.5) * inverse));
                if (lt.detectionLuma(mean) < threshold)
                    mask[x - xBegin] = 0;
            }
        }
    };
    parallel::forRange(yBegin, yEnd, [&](int y0, int y1) {
        if (map)
            candidates(y0, y1, Mapped{*map});
        else
            candidates(y0, y1, Unmapped{});
    });

    // The running centroid depends on every earlier acceptance: one raster-order pass.
    double sx = 0, sy = 0, n = 0;
    for (int y = yBegin; y < yEnd; ++y) {
        const std::uint8_t* mask = candidate.data() + std::size_t(y - yBegin) * cols;
        for (int i = 0; i < cols; ++i) {
            // Skip empty stretches eight pixels at a time.
            if (i + 8 <= cols) {
                std::uint64_t word;
                std::memcpy(&word, mask + i, 8);
                if (word == 0) {
                    i += 7;
                    continue;
                }
            }
            if (!mask[i])
                continue;
            const int x = xBegin + i;
            if (n > 0 && !(std::fabs(x - sx / n) < radius && std::fabs(y - sy / n) < radius))
                continue;
            sx += x;
            sy += y;
            n += 1;
            if (accepted)
                accepted->emplace_back(x, y);
        }
    }
    if (n > 0) {
        result.found = true;
        result.cx = sx / n;
        result.cy = sy / n;
        result.x = int(result.cx);
        result.y = int(result.cy);
    }
    return result;
}

namespace {

// A single-precision sum of channel fractions, added one by one in raster order, formed without
// a dependent rounding per pixel. While the sum S lies in one binade [2^e, 2^(e+1)) with e <= 23,
// every representable value there is a multiple of u = 2^(e-23), and S + v rounds to
// S + u * round(v / u): the fraction k/255 is never within rounding error of a midpoint of that grid
// (k * 2^(24-e) is even, 255 * odd is odd), so neither the double sum nor ties can change the result.
// Whole rows are then added as integers in units of u; a row that would leave the binade is added
// pixel by pixel.
class FractionSum {
public:
    float value() const { return ready_ ? float(double(units_) * unit_) : sum_; }
    bool ready() const { return ready_; }
    const std::int32_t* steps() const { return steps_; }

    // Adds a row whose units were counted with steps(); false when they would leave the binade.
    bool addUnits(long long rowUnits)
    {
        if (!ready_ || units_ + rowUnits >= kBinadeEnd)
            return false;
        units_ += rowUnits;
        return true;
    }

    // Adds a row pixel by pixel.
    void addRowExactly(const QRgb* line, int width, int shift, const double* fraction)
    {
        sum_ = value();
        ready_ = false;
        for (int x = 0; x < width; ++x)
            sum_ = float(sum_ + fraction[(line[x] >> shift) & 0xff]);
        enterBinade(fraction);
    }

private:
    static constexpr long long kBinadeEnd = 1LL << 24;

    void enterBinade(const double* fraction)
    {
        int e = 0;
        std::frexp(double(sum_), &e); // sum in [2^(e-1), 2^e)
        --e;
        if (!(sum_ > 0.0f) || e > 23)
            return;
        unit_ = std::ldexp(1.0, e - 23);
        units_ = (long long)(double(sum_) / unit_);
        // A step of the whole binade or more (a small sum, a bright pixel) leaves it whatever the row
        // holds; held as the binade's size, it sends such a row to addRowExactly without leaving int.
        for (int k = 0; k < 256; ++k)
            steps_[k] = std::int32_t(std::min(std::nearbyint(fraction[k] / unit_), double(kBinadeEnd)));
        ready_ = true;
    }

    float sum_ = 0.0f;
    bool ready_ = false;
    double unit_ = 0;
    long long units_ = 0;
    std::int32_t steps_[256] = {};
};

// The units of one row, channel by channel. Three table loads per pixel: left scalar (vectorised,
// the loads become emulated gathers and take twice as long).
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
void countUnits(const QRgb* line, int width, const std::int32_t* sr, const std::int32_t* sg, const std::int32_t* sb,
                long long units[3])
{
    long long r = 0, g = 0, b = 0;
    for (int x = 0; x < width; ++x) {
        const QRgb p = line[x];
        r += sr[qRed(p)];
        g += sg[qGreen(p)];
        b += sb[qBlue(p)];
    }
    units[0] = r;
    units[1] = g;
    units[2] = b;
}

// A row through per-channel tables of the new values at their bit positions; scalar for the same
// reason.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
void lookUpRow(const QRgb* in, QRgb* out, int width, const QRgb lut[3][256])
{
    for (int x = 0; x < width; ++x) {
        const QRgb p = in[x];
        out[x] = 0xff000000u | lut[0][qRed(p)] | lut[1][qGreen(p)] | lut[2][qBlue(p)];
    }
}

} // namespace

QColor meanColour(const QImage& frame)
{
    parallel::clearVectorState();
    const QImage image = px::view8(frame);
    const int width = image.width(), height = image.height();
    if (width <= 0 || height <= 0)
        return px::colourFromFractions(0, 0, 0);
    const double* f = px::fractionTable();
    FractionSum sums[3];
    const int shifts[3] = {16, 8, 0};
    for (int y = 0; y < height; ++y) {
        const QRgb* line = px::row(image, y);
        long long units[3] = {0, 0, 0};
        const bool counted = sums[0].ready() && sums[1].ready() && sums[2].ready();
        if (counted)
            countUnits(line, width, sums[0].steps(), sums[1].steps(), sums[2].steps(), units);
        for (int c = 0; c < 3; ++c) {
            if (!counted || !sums[c].addUnits(units[c]))
                sums[c].addRowExactly(line, width, shifts[c], f);
        }
    }
    FractionSum& r = sums[0];
    FractionSum& g = sums[1];
    FractionSum& b = sums[2];
    const int count = width * height;
    return px::colourFromFractions(r.value() / count, g.value() / count, b.value() / count);
}

void normaliseColour(QImage& image, const QColor& reference)
{
    normaliseColour(image, reference, meanColour(image));
}

ColourMap::ColourMap(const QColor& reference, const QColor& mean)
{
    const double ref[3] = {px::redFraction(reference), px::greenFraction(reference), px::blueFraction(reference)};
    const double m[3] = {px::redFraction(mean), px::greenFraction(mean), px::blueFraction(mean)};
    for (int c = 0; c < 3; ++c) {
        const float gain = m[c] == 0.0 ? 0.0f : float(ref[c] * (1.0 / m[c]));
        for (int v = 0; v < 256; ++v)
            channel[c][v] = std::uint8_t(m[c] == 0.0 ? v : px::toByte(std::min(1.0, px::fraction(v) * gain)));
    }
}

void normaliseColour(QImage& image, const QColor& reference, const QColor& mean)
{
    const ColourMap map(reference, mean);
    // Per channel, the new 8-bit value placed at the channel's bit position.
    QRgb lut[3][256];
    const int shift[3] = {16, 8, 0};
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v)
            lut[c][v] = QRgb(map.channel[c][v]) << shift[c];
    // A frame shared with the frame cache is written into a new image instead of being copied first.
    if (px::isDeep(image))
        image = px::view8(image);
    const QImage source = image;
    if (!image.isDetached())
        image = QImage(source.size(), QImage::Format_RGB32);
    const int width = image.width();
    const px::RowWriter rows(image);
    parallel::forRange(0, image.height(), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            lookUpRow(px::row(source, y), rows(y), width, lut);
        }
    });
}

void drawSquare(QImage& image, double cx, double cy, int radius, QRgb colour)
{
    if (px::isDeep(image))
        image = px::view8(image);
    auto put = [&](double x, double y) {
        const int ix = int(x), iy = int(y);
        if (ix >= 0 && iy >= 0 && ix < image.width() && iy < image.height())
            px::writableRow(image, iy)[ix] = colour;
    };
    for (int e = -radius; e < radius; ++e) {
        put(cx + e, cy - radius);
        put(cx + e, cy + radius);
        put(cx + radius, cy + e);
        put(cx - radius, cy + e);
    }
}

QImage block(const QImage& frame, int left, int top, int width, int height, const ColourMap* map)
{
    const QImage image = px::view8(frame);
    QImage out(std::max(0, width), std::max(0, height), QImage::Format_RGB32);
    if (out.isNull())
        return out;
    out.fill(qRgb(0, 0, 0));
    const int x0 = std::max(0, left), x1 = std::min(image.width(), left + width);
    if (x1 <= x0)
        return out;
    for (int y = std::max(0, top); y < std::min(image.height(), top + height); ++y) {
        const QRgb* in = px::row(image, y);
        QRgb* line = px::writableRow(out, y - top) + (x0 - left);
        if (map)
            std::transform(in + x0, in + x1, line, [map](QRgb p) { return (*map)(p); });
        else
            std::copy(in + x0, in + x1, line);
    }
    return out;
}

} // namespace kernels
