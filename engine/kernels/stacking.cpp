// Stacking the aligned frames.

#include "stacking.h"

#include "imagefile.h"
#include "loading.h"
#include "parallel.h"
#include "pixel.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

namespace kernels {
namespace {

// The corrected fractions of one frame pixel: dark subtracted, optionally reduced to luminance, cut
// below the low colour thresholds.
template <class Pixel>
struct PixelCorrection {
    using S = px::Samples<Pixel>;
    const StackParams& p;
    double cutR, cutG, cutB;
    explicit PixelCorrection(const StackParams& params)
        : p(params)
        , cutR(params.minusR * (1.0 / 255.0))
        , cutG(params.minusG * (1.0 / 255.0))
        , cutB(params.minusB * (1.0 / 255.0))
    {
    }
    void operator()(Pixel pixel, int k, int j, double* v) const
    {
        double r = S::fraction(S::red(pixel));
        double g = S::fraction(S::green(pixel));
        double b = S::fraction(S::blue(pixel));
        if (p.dark) {
            r -= meanDark(p.dark, k, j, 0);
            g -= meanDark(p.dark, k, j, 1);
            b -= meanDark(p.dark, k, j, 2);
        }
        if (p.luma) {
            double l = p.lumaWeightR * r;
            l = l + p.lumaWeightG * g;
            l = l + p.lumaWeightB * b;
            r = g = b = l;
        }
        if (r > 0 && r < cutR)
            r = 0;
        if (g > 0 && g < cutG)
            g = 0;
        if (b > 0 && b < cutB)
            b = 0;
        v[0] = r;
        v[1] = g;
        v[2] = b;
    }
};

template <class Pixel>
void stackFrameAt(const QImage& frame, FloatImage& acc, const StackParams& p)
{
    const int fw = frame.width(), fh = frame.height();
    const int F = std::max(0, p.filter);
    const PixelCorrection<Pixel> correct(p);
    // Accumulator positions whose box reaches into the frame and whose destination is inside.
    const int xOffset = p.maxDx - p.dx, yOffset = p.maxDy - p.dy;
    const int xFirst = std::max(0, -xOffset), xLast = std::min({acc.width, fw + F, acc.width - xOffset});
    const int yFirst = std::max(0, -yOffset), yLast = std::min({acc.height, fh + F, acc.height - yOffset});
    if (xLast <= xFirst || yLast <= yFirst)
        return;

    if (std::is_same<Pixel, QRgb>::value && F == 0 && !p.dark && !p.luma) {
        // Each channel's sample depends on its 8-bit value alone.
        const PixelCorrection<QRgb> correct8(p);
        float lut[3][256];
        for (int v = 0; v < 256; ++v) {
            double c[3];
            correct8(qRgb(v, v, v), 0, 0, c);
            for (int ch = 0; ch < 3; ++ch)
                lut[ch][v] = float(c[ch]);
        }
        parallel::forRange(yFirst, yLast, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                const QRgb* line = px::row(frame, y);
                float* out = acc.pixel(xFirst + xOffset, y + yOffset);
                for (int x = xFirst; x < xLast; ++x, out += 4) {
                    const QRgb pixel = line[x];
                    out[0] += lut[0][qRed(pixel)];
                    out[1] += lut[1][qGreen(pixel)];
                    out[2] += lut[2][qBlue(pixel)];
                    out[3] += 1.0f;
                }
            }
        });
        return;
    }

    if (F == 0) {
        parallel::forRange(yFirst, yLast, [&](int y0, int y1) {
            double v[3];
            for (int y = y0; y < y1; ++y) {
                const Pixel* line = px::rowOf<Pixel>(frame, y);
                float* out = acc.pixel(xFirst + xOffset, y + yOffset);
                for (int x = xFirst; x < xLast; ++x, out += 4) {
                    correct(line[x], x, y, v);
                    // A one-pixel box: the mean is the value rounded once to single precision.
                    out[0] += float(v[0]);
                    out[1] += float(v[1]);
                    out[2] += float(v[2]);
                    out[3] += 1.0f;
                }
            }
        });
        return;
    }

    parallel::forRange(yFirst, yLast, [&](int y0, int y1) {
        // Corrected values of the frame rows this block needs, one ring slot per box row.
        const int ringRows = 2 * F + 1;
        std::vector<double> ring(std::size_t(ringRows) * fw * 3);
        std::vector<int> ringRow(std::size_t(ringRows), -1);
        auto rowValues = [&](int j) -> const double* {
            double* slot = ring.data() + std::size_t(j % ringRows) * fw * 3;
            if (ringRow[std::size_t(j % ringRows)] != j) {
                const Pixel* line = px::rowOf<Pixel>(frame, j);
                for (int k = 0; k < fw; ++k)
                    correct(line[k], k, j, slot + std::size_t(k) * 3);
                ringRow[std::size_t(j % ringRows)] = j;
            }
            return slot;
        };
        std::vector<const double*> rows(static_cast<std::size_t>(ringRows));
        for (int y = y0; y < y1; ++y) {
            const int j0 = std::max(0, y - F), j1 = std::min(fh - 1, y + F);
            for (int j = j0; j <= j1; ++j)
                rows[std::size_t(j - j0)] = rowValues(j);
            float* out = acc.pixel(xFirst + xOffset, y + yOffset);
            for (int x = xFirst; x < xLast; ++x, out += 4) {
                const int k0 = std::max(0, x - F), k1 = std::min(fw - 1, x + F);
                float sumR = 0.0f, sumG = 0.0f, sumB = 0.0f;
                int n = 0;
                for (int j = j0; j <= j1; ++j) {
                    const double* v = rows[std::size_t(j - j0)] + std::size_t(k0) * 3;
                    for (int k = k0; k <= k1; ++k, v += 3) {
                        sumR = float(sumR + v[0]);
                        sumG = float(sumG + v[1]);
                        sumB = float(sumB + v[2]);
                        ++n;
                    }
                }
                out[0] += sumR / n;
                out[1] += sumG / n;
                out[2] += sumB / n;
                out[3] += 1.0f;
            }
        }
    }, 8);
}

} // namespace

void stackFrame(const QImage& source, FloatImage& acc, const StackParams& p)
{
    const QImage frame = readers::asFrame(source);
    if (!acc.data || frame.width() <= 0 || frame.height() <= 0)
        return;
    px::withPixelType(frame, [&](auto pixel) { stackFrameAt<decltype(pixel)>(frame, acc, p); });
}

void cubicWeights(double t, float w[4])
{
    const double t2 = t * t, t3 = t2 * t;
    w[0] = float(0.5 * (-t3 + 2 * t2 - t));
    w[1] = float(0.5 * (3 * t3 - 5 * t2 + 2));
    w[2] = float(0.5 * (-3 * t3 + 4 * t2 + t));
    w[3] = float(0.5 * (t3 - t2));
}

namespace {

// The cubic taps of a shift by offset: the first of the four whole-pixel samples less one, and their weights.
struct Taps {
    int base;
    float w[4];
};

Taps tapsOf(double offset)
{
    Taps t;
    const double base = std::floor(offset);
    cubicWeights(offset - base, t.w);
    t.base = int(base);
    return t;
}

// Four rows of one plane from firstRow on, clamped to the plane, mixed by the vertical weights.
class VerticalTaps {
public:
    VerticalTaps(const float* plane, int fw, int fh, int firstRow, const float* w)
        : w_(w)
    {
        for (int k = 0; k < 4; ++k)
            r_[k] = plane + std::size_t(std::clamp(firstRow + k, 0, fh - 1)) * std::size_t(fw);
    }
    float operator()(int x) const { return w_[0] * r_[0][x] + w_[1] * r_[1][x] + w_[2] * r_[2][x] + w_[3] * r_[3][x]; }

private:
    const float* r_[4];
    const float* w_;
};

} // namespace

template <class Pixel>
void correctedPlanesOf(const QImage& frame, const StackParams& p, std::vector<float>& out)
{
    const int fw = frame.width(), fh = frame.height();
    const std::size_t plane = std::size_t(fw) * std::size_t(fh);
    const PixelCorrection<Pixel> correct(p);
    parallel::forRange(0, fh, [&](int y0, int y1) {
        double v[3];
        for (int y = y0; y < y1; ++y) {
            const Pixel* line = px::rowOf<Pixel>(frame, y);
            float* r = out.data() + std::size_t(y) * fw;
            float* g = r + plane;
            float* b = g + plane;
            for (int x = 0; x < fw; ++x) {
                correct(line[x], x, y, v);
                r[x] = float(v[0]);
                g[x] = float(v[1]);
                b[x] = float(v[2]);
            }
        }
    });
}

// Every plane replaced by its (2F+1)^2 box mean over the pixels inside the frame, as the whole-pixel
// stacking filters: a box that reaches over an edge is the mean of the part inside. The sums run along
// rows, then down columns, in double precision; each output depends only on its own box, so the
// result is the same for every split into threads.
void boxMeanPlanes(std::vector<float>& planes, int fw, int fh, int F)
{
    const std::size_t plane = std::size_t(fw) * std::size_t(fh);
    std::vector<double> rowSums(plane * 3);
    parallel::forRange(0, 3 * fh, [&](int r0, int r1) {
        std::vector<double> prefix(std::size_t(fw) + 1);
        for (int r = r0; r < r1; ++r) {
            const float* in = planes.data() + std::size_t(r) * fw;
            double* out = rowSums.data() + std::size_t(r) * fw;
            prefix[0] = 0;
            for (int x = 0; x < fw; ++x)
                prefix[std::size_t(x) + 1] = prefix[std::size_t(x)] + in[x];
            for (int x = 0; x < fw; ++x) {
                const int k0 = std::max(0, x - F), k1 = std::min(fw - 1, x + F);
                out[x] = (prefix[std::size_t(k1) + 1] - prefix[std::size_t(k0)]) / (k1 - k0 + 1);
            }
        }
    });
    parallel::forRange(0, 3 * fh, [&](int r0, int r1) {
        for (int r = r0; r < r1; ++r) {
            const int c = r / fh, y = r % fh;
            const int j0 = std::max(0, y - F), j1 = std::min(fh - 1, y + F);
            const double* src = rowSums.data() + plane * std::size_t(c);
            float* out = planes.data() + std::size_t(r) * fw;
            const double inv = 1.0 / (j1 - j0 + 1);
            for (int x = 0; x < fw; ++x) {
                double s = 0;
                for (int j = j0; j <= j1; ++j)
                    s += src[std::size_t(j) * fw + x];
                out[x] = float(s * inv);
            }
        }
    });
}

std::vector<float> correctedPlanes(const QImage& source, const StackParams& p)
{
    const QImage frame = readers::asFrame(source);
    std::vector<float> out(std::size_t(frame.width()) * std::size_t(frame.height()) * 3);
    if (!out.empty())
        px::withPixelType(frame, [&](auto pixel) { correctedPlanesOf<decltype(pixel)>(frame, p, out); });
    if (!out.empty() && p.filter > 0)
        boxMeanPlanes(out, frame.width(), frame.height(), p.filter);
    return out;
}

void stackFrameShifted(const QImage& frame, FloatImage& acc, double dx, double dy, const StackParams& p)
{
    if (!acc.data || frame.width() <= 0 || frame.height() <= 0)
        return;
    stackPlanesShifted(correctedPlanes(frame, p), frame.width(), frame.height(), acc, dx, dy, p.maxDx, p.maxDy);
}

void stackPlanesShifted(const std::vector<float>& planes, int fw, int fh, FloatImage& acc, double dx, double dy,
                        int maxDx, int maxDy)
{
    if (!acc.data || fw <= 0 || fh <= 0 || planes.size() < std::size_t(fw) * std::size_t(fh) * 3)
        return;
    // Sample position of accumulator column X: u = X + ox, the same fraction for every column.
    const double ox = dx - maxDx, oy = dy - maxDy;
    const int xFirst = std::max(0, int(std::ceil(-ox))), xLast = std::min(acc.width - 1, int(std::floor(fw - 1 - ox)));
    const int yFirst = std::max(0, int(std::ceil(-oy))), yLast = std::min(acc.height - 1, int(std::floor(fh - 1 - oy)));
    if (xLast < xFirst || yLast < yFirst)
        return;
    const std::size_t plane = std::size_t(fw) * std::size_t(fh);
    const Taps tx = tapsOf(ox), ty = tapsOf(oy);
    const float* wx = tx.w;
    const int ix = tx.base, iy = ty.base;
    // Source columns of the taps for every accumulator column, clamped to the frame.
    std::vector<int> columns(std::size_t(xLast - xFirst + 1) * 4);
    for (int X = xFirst; X <= xLast; ++X)
        for (int k = 0; k < 4; ++k)
            columns[std::size_t(X - xFirst) * 4 + k] = std::clamp(X + ix - 1 + k, 0, fw - 1);
    parallel::forRange(yFirst, yLast + 1, [&](int y0, int y1) {
        std::vector<float> mixed(std::size_t(fw) * 3);
        for (int Y = y0; Y < y1; ++Y) {
            // Vertical taps first, into one row per channel.
            for (int c = 0; c < 3; ++c) {
                const VerticalTaps v(planes.data() + plane * std::size_t(c), fw, fh, Y + iy - 1, ty.w);
                float* m = mixed.data() + std::size_t(c) * fw;
                for (int x = 0; x < fw; ++x)
                    m[x] = v(x);
            }
            float* out = acc.pixel(xFirst, Y);
            const int* col = columns.data();
            for (int X = xFirst; X <= xLast; ++X, out += 4, col += 4) {
                for (int c = 0; c < 3; ++c) {
                    const float* m = mixed.data() + std::size_t(c) * fw;
                    out[c] += wx[0] * m[col[0]] + wx[1] * m[col[1]] + wx[2] * m[col[2]] + wx[3] * m[col[3]];
                }
                out[3] += 1.0f;
            }
        }
    }, 8);
}

void addShiftedPatch(const std::vector<float>& planes, int fw, int fh, double ox, double oy, int x0, int y0, int size,
                     float* out)
{
    if (fw <= 0 || fh <= 0 || size <= 0)
        return;
    const std::size_t plane = std::size_t(fw) * std::size_t(fh);
    const Taps tx = tapsOf(ox), ty = tapsOf(oy);
    const float* wx = tx.w;
    const int sx = x0 + tx.base - 1, sy = y0 + ty.base - 1; // first tap of the box's first pixel
    // Columns of the taps, clamped; vertical taps go into a row of size + 3 columns per channel.
    int columns[512 + 3];
    const int span = std::min(size + 3, 512 + 3);
    for (int k = 0; k < span; ++k)
        columns[k] = std::clamp(sx + k, 0, fw - 1);
    float mixed[3][512 + 3];
    for (int j = 0; j < size; ++j) {
        for (int c = 0; c < 3; ++c) {
            const VerticalTaps v(planes.data() + plane * std::size_t(c), fw, fh, sy + j, ty.w);
            for (int k = 0; k < span; ++k)
                mixed[c][k] = v(columns[k]);
        }
        float* o = out + std::size_t(j) * size * 3;
        for (int i = 0; i < size && i + 3 < span; ++i, o += 3)
            for (int c = 0; c < 3; ++c)
                o[c] += wx[0] * mixed[c][i] + wx[1] * mixed[c][i + 1] + wx[2] * mixed[c][i + 2] + wx[3] * mixed[c][i + 3];
    }
}

QImage normalizeStack(const FloatImage& acc)
{
    return imageFromAccumulator(acc, [] {
        return [](const float* in) {
            auto clamp01 = [](float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); };
            const float w = in[3];
            return px::rgbFromFractions(clamp01(in[0] / w), clamp01(in[1] / w), clamp01(in[2] / w));
        };
    });
}

} // namespace kernels
