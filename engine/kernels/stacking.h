#pragma once
// Kernels of the stacking: one frame added into the accumulator, and the accumulator as an image.

#include "floatimage.h"
#include "parallel.h"
#include "pixel.h"

#include <QImage>

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
