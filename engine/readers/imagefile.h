#pragma once
// Ordinary image files. PGM and PPM go through libnetpbm, which keeps every maxval (the toolkit's
// reader reduces them to 8 bits); every other format through the toolkit's image reader. A decoder
// for one more format slots in at readImageFile.

#include <QImage>
#include <QString>

namespace readers {

// The file as a frame: 32-bit RGB for 8 bits per channel, Format_RGBX64 for anything deeper.
// *singleChannel tells whether the file holds grey data (one sample per pixel).
bool readImageFile(const QString& path, QImage& image, QString* error, bool* singleChannel = nullptr);

// A decoded image in the frame formats: 8 bits per channel as 32-bit RGB, deeper ones as RGBX64.
QImage asFrame(const QImage& decoded);

// PGM and PPM (binary or plain) through libnetpbm; a maxval of 255 gives an 8-bit frame, any other
// the 16-bit samples round(s * 65535 / maxval).
bool readNetpbm(const QString& path, QImage& image, QString* error, bool* singleChannel = nullptr);

} // namespace readers
