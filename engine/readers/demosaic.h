#pragma once
// Colour from single-channel sensor data: Bayer demosaicing by gradient-corrected linear
// interpolation, and grey frames. Samples come as 16-bit values with a maximum of 255 (8-bit data)
// or 65535 (deeper data); an 8-bit result is a 32-bit RGB image, a deeper one Format_RGBX64.

#include <QImage>
#include <QString>
#include <QtGlobal>

namespace readers {

// The colours of a frame's top-left 2x2 pixels, row by row.
enum class Cfa { None, RGGB, GRBG, GBRG, BGGR };

// "RGGB", "GRBG", "GBRG", "BGGR" (any case); None for anything else.
Cfa cfaFromName(const QString& name);
QString cfaName(Cfa pattern);

// The frame demosaiced with the 5x5 filters of Malvar, He and Cutler, in integers: weights scaled by
// 16, each value floor((sum + 8) / 16) clamped to [0, maxValue]. Outside the frame the mosaic is
// mirrored about the edge pixel (index -1 reads 1, -2 reads 2), which keeps the colour phase.
// pattern None gives the grey frame.
QImage demosaic(const quint16* samples, int width, int height, int maxValue, Cfa pattern);

// R = G = B = the sample.
QImage greyFrame(const quint16* samples, int width, int height, int maxValue);

} // namespace readers
