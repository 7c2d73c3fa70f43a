#pragma once
// Kernels of frame loading: supersampling and the dark calibration.

#include "floatimage.h"

#include <QImage>

namespace kernels {

struct Calibration {
    const FloatImage* masterDark = nullptr; // may be null: no dark is subtracted
    float darkframeGain = 1.0f;
    float lightframeGain = 1.0f;
    float floorR = 2.0f / 255.0f, floorG = 2.0f / 255.0f, floorB = 2.0f / 255.0f;
};

// Mean dark of channel c at (x, y): sum / number of dark frames summed there; 0 outside or without one.
inline float meanDark(const FloatImage* dark, int x, int y, int c)
{
    if (!dark || !dark->contains(x, y))
        return 0.0f;
    const float* p = dark->pixel(x, y);
    return p[3] > 0.0f ? p[c] / p[3] : 0.0f;
}

// A calibrated copy of a frame (8 or 16 bits per channel, kept): the weighted mean dark subtracted,
// values at or below the floor set to 0, the lightframe gain applied, clamped to 1.
QImage calibrated(const QImage& image, const Calibration& calibration);

// Adds one dark frame (8 or 16 bits) into the master dark's sums: its fractions (as floats) to R, G, B and 1 to W,
// over the extent both share.
void addDarkFrame(FloatImage& sums, const QImage& dark);

// The image enlarged by an integer factor with nearest-neighbour sampling (factor 1: unchanged).
QImage supersampled(const QImage& image, int factor);

} // namespace kernels
