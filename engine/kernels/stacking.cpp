// Stacking the aligned frames.

#include "stacking.h"

#include "loading.h"
#include "parallel.h"
#include "pixel.h"

#include <algorithm>
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
    const QImage frame = px::toFrame(source);
    if (!acc.data || frame.width() <= 0 || frame.height() <= 0)
        return;
    px::withPixelType(frame, [&](auto pixel) { stackFrameAt<decltype(pixel)>(frame, acc, p); });
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
