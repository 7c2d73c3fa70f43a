#include "pixel.h"

#include "parallel.h"

namespace px {

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
