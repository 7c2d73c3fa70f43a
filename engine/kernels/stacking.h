#pragma once
// Kernels of the stacking: one frame added into the accumulator, and the accumulator as an image.

#include "floatimage.h"
#include "parallel.h"
#include "pixel.h"

#include <QImage>

#include <vector>

namespace kernels {

struct StackParams {
    int dx = 0, dy = 0;         // the frame's offset from the reference
    int maxDx = 0, maxDy = 0;   // offset extents: a frame with offset (dx, dy) lands at (maxDx - dx, maxDy - dy)
    int filter = 0;             // half-width F of the (2F+1)^2 box mean
    const FloatImage* dark = nullptr; // mean dark to subtract, or null
    bool luma = false;
    double lumaWeightR = 0.2126, lumaWeightG = 0.7152, lumaWeightB = 0.0722;
    int minusR = 0, minusG = 0, minusB = 0; // low colour cutoffs, 8-bit steps
};

// Adds the frame (8 or 16 bits per channel) into the accumulator. For every accumulator position (x, y) whose box holds frame
// pixels and whose destination (x - dx + maxDx, y - dy + maxDy) lies in the accumulator, the box mean
// of the corrected fractions is added to R, G, B and 1 to W.
void stackFrame(const QImage& frame, FloatImage& accumulator, const StackParams& params);

// Cubic convolution weights (Keys, a = -0.5) of the taps at -1, 0, 1, 2 for a sample at fraction t of
// the way from tap 0 to tap 1. They sum to 1 for every t, so a shifted frame keeps its total flux, and
// the kernel reproduces quadratic ramps, so it blurs far less than bilinear weights.
void cubicWeights(double t, float w[4]);

// Adds the frame shifted by a sub-pixel amount: accumulator position (X, Y) takes the corrected frame
// interpolated at (X - maxDx + dx, Y - maxDy + dy) with cubic convolution (edge pixels repeated for
// taps outside the frame), for every position whose sample point lies inside the frame; its W grows by
// 1. With params.filter F > 0 the corrected frame is first replaced by its (2F+1)^2 box mean, as in
// stackFrame. params.dx and params.dy are not used.
void stackFrameShifted(const QImage& frame, FloatImage& accumulator, double dx, double dy, const StackParams& params);

// The same for a frame already turned into corrected planes (see correctedPlanes).
void stackPlanesShifted(const std::vector<float>& planes, int width, int height, FloatImage& accumulator, double dx,
                        double dy, int maxDx, int maxDy);

// Adds to out (size x size x 3 floats, RGB per pixel) the corrected planes interpolated at the box
// whose top-left corner is (x0, y0) in accumulator coordinates, the box's content lying at
// (x + ox, y + oy) in the frame (cubic convolution, edge pixels repeated).
void addShiftedPatch(const std::vector<float>& planes, int width, int height, double ox, double oy, int x0, int y0,
                     int size, float* out);

// The frame's corrected fractions (dark, luminance, cutoffs as for stacking) as three float planes
// of the frame's size, one after another (R, G, B); with params.filter F > 0, their (2F+1)^2 box means
// over the pixels inside the frame.
std::vector<float> correctedPlanes(const QImage& frame, const StackParams& params);

// R/W, G/W, B/W clamped to [0, 1] as an 8-bit image; pixels with W = 0 are black.
QImage normalizeStack(const FloatImage& accumulator);

// An image of the accumulator's size (8 bits per channel for QRgb pixels, 16 for QRgba64): black
// where W = 0, elsewhere pixel(R, G, B, W). makePixel() gives the function for one block of rows, so
// it may keep state within the block.
template <class Pixel = QRgb, class MakePixel>
QImage imageFromAccumulator(const FloatImage& acc, MakePixel makePixel)
{
    using S = px::Samples<Pixel>;
    QImage out(acc.width, acc.height, S::kFormat);
    if (out.isNull() || !acc.data)
        return out;
    const px::RowsOf<Pixel> rows(out);
    const Pixel black = S::pixel(0, 0, 0);
    parallel::forRange(0, acc.height, [&](int y0, int y1) {
        auto pixel = makePixel();
        for (int y = y0; y < y1; ++y) {
            const float* in = acc.pixel(0, y);
            Pixel* line = rows(y);
            for (int x = 0; x < acc.width; ++x, in += 4)
                line[x] = in[3] == 0.0f ? black : pixel(in);
        }
    });
    return out;
}

} // namespace kernels
