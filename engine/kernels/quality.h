#pragma once
// Sharpness measures: the mean size of the luminance steps between neighbouring pixels that exceed a
// threshold, horizontally and vertically. The sums are 64-bit: a large frame with much contrast passes 2^31.

#include <QImage>

namespace kernels {

// Horizontal steps |L(x,y) - L(x+1,y)| > 3 for rows 0..h-2 and x = 0..w-3, summed in visiting order as
// S := int(S + d); the result is S / n (0 when no step counts).
float gradientQualityH(const QImage& image);
// Vertical steps |L(x,y) - L(x,y+1)| > 2 for columns 0..w-2 (outer) and y = 0..h-3.
float gradientQualityV(const QImage& image);
// The rating of a frame, gradientQualityH + gradientQualityV, with the luminance computed once.
float gradientQuality(const QImage& image);

} // namespace kernels
