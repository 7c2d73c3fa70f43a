#pragma once
// A fast path for the common PNG frames: 8 bits per sample (grey, grey with alpha, palette, RGB, RGBA)
// decoded with libspng straight into a 32-bit RGB image. The pixels are those the toolkit's reader
// gives after conversion to 32-bit RGB; every other file (16-bit samples, fewer than 8 bits, colour
// management chunks, anything the library rejects) is left to the toolkit's reader.

#include <QImage>
#include <QString>

namespace pngdecode {

enum class Outcome {
    Decoded,   // image holds the frame as Format_RGB32
    NotHandled // not a file for this path: image is null, read the file the ordinary way
};

Outcome decode(const QString& path, QImage& image);

// Whether readers use this path (on by default; the environment variable NEBULO_PNG_DECODER=qt
// switches it off at start-up). For comparisons of both decoders.
bool enabled();
void setEnabled(bool on);

} // namespace pngdecode
