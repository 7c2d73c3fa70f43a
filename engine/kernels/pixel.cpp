#include "pixel.h"

#include "parallel.h"

namespace px {

QImage toFrame(const QImage& image)
{
    switch (image.format()) {
    case QImage::Format_RGBX64:
        return image;
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_Grayscale16:
    case QImage::Format_BGR30:
    case QImage::Format_A2BGR30_Premultiplied:
    case QImage::Format_RGB30:
    case QImage::Format_A2RGB30_Premultiplied:
    case QImage::Format_RGBX16FPx4:
    case QImage::Format_RGBA16FPx4:
    case QImage::Format_RGBA16FPx4_Premultiplied:
    case QImage::Format_RGBX32FPx4:
    case QImage::Format_RGBA32FPx4:
    case QImage::Format_RGBA32FPx4_Premultiplied:
        return image.convertToFormat(QImage::Format_RGBX64);
    default:
        return toRgb32(image);
    }
}

QImage view8(const QImage& frame)
{
    if (!isDeep(frame))
        return frame;
    QImage out(frame.size(), QImage::Format_RGB32);
    if (out.isNull())
        return out;
    const int width = frame.width();
    const RowWriter rows(out);
    parallel::forRange(0, frame.height(), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const QRgba64* in = rowOf<QRgba64>(frame, y);
            QRgb* o = rows(y);
            for (int x = 0; x < width; ++x)
                o[x] = qRgb(in[x].red() >> 8, in[x].green() >> 8, in[x].blue() >> 8);
        }
    });
    return out;
}

} // namespace px
