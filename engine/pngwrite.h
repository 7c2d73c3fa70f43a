#pragma once
// PNG files of the stack, written by our own container around libdeflate: several times faster than
// the image library's writer for files of about the same size.

#include <QByteArray>
#include <QImage>

namespace pngwrite {

// The compression level of libdeflate that encode() uses unless told otherwise (1: fastest, 12: smallest).
constexpr int kDefaultLevel = 4;

// The image can be encoded here: Format_RGB32 (written as 8-bit RGB) or Format_RGBX64 (16-bit RGB),
// without a colour space or text of its own, which are left to the image library's writer.
bool encodes(const QImage& image);

// The whole PNG file of the image: signature, IHDR, pHYs (when the image has a resolution), IDAT and
// IEND. Each row takes the filter whose output has the smallest sum of absolute values, as the usual
// PNG writers choose. Empty when the image cannot be encoded here; std::bad_alloc when memory runs out.
QByteArray encode(const QImage& image, int level = kDefaultLevel);

} // namespace pngwrite
