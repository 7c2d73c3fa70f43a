#pragma once
// Saving an image without ever leaving a truncated file behind.

#include <QByteArray>
#include <QImage>
#include <QString>

#include <vector>

namespace imagesave {

// Writes the image in the format named by the path's suffix. The data go to a temporary file in the
// same folder, which replaces the target only once it is complete; an existing file at the path is
// untouched when anything fails. On failure *error (when given) says why.
// A 16-bit image (Format_RGBX64) is written at 16 bits per channel; formats that cannot hold them are
// refused (see holds16Bits) and nothing is written.
// Formats that cannot hold the stack (ICO and CUR beyond 256 pixels a side, ICNS beyond 1024, WebP
// beyond 16383, JPEG beyond 65535, one-bit formats, any writer that would store another size) are
// refused, naming the format.
bool save(const QImage& image, const QString& path, QString* error = nullptr);

// Why the format (a lower-case suffix) cannot hold the image, as far as known before encoding; empty
// when it can.
QString refusal(const QImage& image, const QByteArray& format);

// The path names a format that holds 16 bits per channel: PNG, TIFF, PPM or PGM.
bool holds16Bits(const QString& path);

// The message that refuses 16 bits per channel for a path whose format cannot hold them.
QString cannotHold16Bits(const QString& path);

// The path names a FITS file (.fit, .fits, .fts).
bool isFits(const QString& path);

// Writes three planes (R, G, B) of width x height floats, rows top first, as a FITS image of 32-bit
// floats (BITPIX -32, NAXIS3 = 3) whose first row is the bottom row of the picture. Written as save()
// writes: complete or not at all.
bool saveFits(const std::vector<float>& planes, int width, int height, const QString& path, QString* error = nullptr);

} // namespace imagesave
