#pragma once
// Rows of three bytes per pixel to and from opaque 32-bit pixels (QImage::Format_RGB32), with the
// vector instructions the processor has.

#include <QRgb>
#include <QtGlobal>

namespace readers {

// Bytes R, G, B of each pixel in turn (B, G, R when bgr) as opaque QRgb pixels.
void rgb24ToRgb32(const uchar* in, QRgb* out, int width, bool bgr);
// QRgb pixels as bytes B, G, R in turn (their order in memory without the alpha byte); false when a
// pixel is not opaque (what was written is then of no use).
bool rgb32ToBgr24(const QRgb* in, uchar* out, int width);

} // namespace readers
