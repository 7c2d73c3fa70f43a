#pragma once
// Kernels of the luminance feature alignment and colour normalisation. They work at 8 bits per channel:
// a 16-bit frame is seen through its 8-bit view (px::view8), and images they make are 32-bit RGB.

#include <QColor>
#include <QImage>
#include <QPoint>

#include <cstdint>
#include <vector>

namespace kernels {

struct Feature {
    bool found = false;
    int x = 0, y = 0;      // truncated centroid
    double cx = 0, cy = 0; // exact centroid
};

// The mapping of 8-bit channel values that colour normalisation applies: each channel scaled so that
// the mean colour becomes the reference colour (clamped to 1); a channel whose mean is 0 is kept.
struct ColourMap {
    std::uint8_t channel[3][256]; // red, green, blue
    ColourMap(const QColor& reference, const QColor& mean);
    QRgb operator()(QRgb p) const
    {
        return qRgb(channel[0][qRed(p)], channel[1][qGreen(p)], channel[2][qBlue(p)]);
    }
};

// The bright feature of a 32-bit image: pixels whose luminance and whose (2F+1)^2 box mean both reach
// the threshold and that lie within R (each axis, strictly) of the running centroid, visited in raster
// order with a 20-pixel margin. Accepted pixels are appended to *accepted when given. With a colour
// map, the feature of the mapped image (the same result as mapping a copy first, without the copy).
Feature detectFeature(const QImage& image, int threshold, int filter, int radius,
                      std::vector<QPoint>* accepted = nullptr, const ColourMap* map = nullptr);

// Box mean of the 8-bit channels around (x, y) over the pixels inside the image, divided by the full
// box size (integer division).
QRgb boxMean(const QImage& image, int x, int y, int filter);

// Per-channel mean of the channel fractions, summed in single precision in raster order.
QColor meanColour(const QImage& image);

// Scales every channel so that the image's mean colour becomes the reference colour (clamped to 1).
// A channel whose mean is 0 is left unchanged.
void normaliseColour(QImage& image, const QColor& reference);
// The same with the image's mean colour already known.
void normaliseColour(QImage& image, const QColor& reference, const QColor& mean);

// Outline of a square of half side R around (cx, cy): for e = -R .. R-1 the pixels (cx+e, cy-R),
// (cx+e, cy+R), (cx+R, cy+e), (cx-R, cy+e), each coordinate truncated after the addition.
// A 16-bit image becomes its 8-bit view first.
void drawSquare(QImage& image, double cx, double cy, int radius, QRgb colour);

// The w x h block of the image whose top-left corner is (left, top); parts outside are black. With a
// colour map, the pixels inside the image are mapped.
QImage block(const QImage& image, int left, int top, int width, int height, const ColourMap* map = nullptr);

} // namespace kernels
