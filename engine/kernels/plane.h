#pragma once
// A single-channel float image (luminance in 8-bit levels, 0..255) that the sub-pixel alignment
// kernels work on, and the one place where they read a frame's pixels.

#include "imagefile.h"
#include "pixel.h"

#include <QImage>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

namespace kernels {

struct FloatPlane {
    int width = 0;
    int height = 0;
    std::vector<float> v;

    FloatPlane() = default;
    FloatPlane(int w, int h) : width(w), height(h), v(std::size_t(std::max(0, w)) * std::size_t(std::max(0, h)), 0.0f) {}
    bool isNull() const { return width <= 0 || height <= 0; }
    float* row(int y) { return v.data() + std::size_t(y) * std::size_t(width); }
    const float* row(int y) const { return v.data() + std::size_t(y) * std::size_t(width); }
    float at(int x, int y) const { return v[std::size_t(y) * std::size_t(width) + std::size_t(x)]; }
    // Bilinear sample at (x, y); coordinates are clamped to the image.
    float sample(double x, double y) const
    {
        x = std::clamp(x, 0.0, double(width - 1));
        y = std::clamp(y, 0.0, double(height - 1));
        const int x0 = std::min(int(x), width - 2 < 0 ? 0 : width - 2);
        const int y0 = std::min(int(y), height - 2 < 0 ? 0 : height - 2);
        const int x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
        const float fx = float(x - x0), fy = float(y - y0);
        const float* a = row(y0);
        const float* b = row(y1);
        const float top = a[x0] + fx * (a[x1] - a[x0]);
        const float bottom = b[x0] + fx * (b[x1] - b[x0]);
        return top + fy * (bottom - top);
    }
};

// The luminance of one row of a frame (8 or 16 bits per channel), 255 x the Rec. 709 weighted channel
// fractions. Every kernel on planes reads frames through these functions.
template <class Pixel>
inline void luminanceRowOf(const QImage& image, int y, float* out)
{
    using S = px::Samples<Pixel>;
    const Pixel* line = px::rowOf<Pixel>(image, y);
    for (int x = 0, w = image.width(); x < w; ++x) {
        double t = S::fraction(S::red(line[x])) * px::kLumaR;
        t = t + S::fraction(S::green(line[x])) * px::kLumaG;
        t = t + S::fraction(S::blue(line[x])) * px::kLumaB;
        out[x] = float(255.0 * t);
    }
}

// The same for 8-bit pixels through tables of each channel's weighted fraction: the same sums in the
// same order, so the same values, without the divisions.
struct LuminanceTables8 {
    double r[256], g[256], b[256];
    LuminanceTables8()
    {
        using S = px::Samples<QRgb>;
        for (int v = 0; v < 256; ++v) {
            const QRgb grey = qRgb(v, v, v);
            r[v] = S::fraction(S::red(grey)) * px::kLumaR;
            g[v] = S::fraction(S::green(grey)) * px::kLumaG;
            b[v] = S::fraction(S::blue(grey)) * px::kLumaB;
        }
    }
};

inline void luminanceRow8(const QImage& image, int y, float* out)
{
    static const LuminanceTables8 tables;
    const QRgb* line = px::rowOf<QRgb>(image, y);
    for (int x = 0, w = image.width(); x < w; ++x) {
        double t = tables.r[qRed(line[x])];
        t = t + tables.g[qGreen(line[x])];
        t = t + tables.b[qBlue(line[x])];
        out[x] = float(255.0 * t);
    }
}

inline FloatPlane luminancePlane(const QImage& source)
{
    const QImage image = readers::asFrame(source);
    FloatPlane p(image.width(), image.height());
    px::withPixelType(image, [&](auto pixel) {
        using Pixel = decltype(pixel);
        for (int y = 0; y < p.height; ++y) {
            if constexpr (std::is_same<Pixel, QRgb>::value)
                luminanceRow8(image, y, p.row(y));
            else
                luminanceRowOf<Pixel>(image, y, p.row(y));
        }
    });
    return p;
}

// Means of 2 x 2 blocks (an odd last row or column is dropped).
inline FloatPlane halved(const FloatPlane& in)
{
    FloatPlane out(in.width / 2, in.height / 2);
    for (int y = 0; y < out.height; ++y) {
        const float* a = in.row(2 * y);
        const float* b = in.row(2 * y + 1);
        float* o = out.row(y);
        for (int x = 0; x < out.width; ++x)
            o[x] = 0.25f * ((a[2 * x] + a[2 * x + 1]) + (b[2 * x] + b[2 * x + 1]));
    }
    return out;
}

} // namespace kernels
