#include "loading.h"

#include "parallel.h"
#include "pixel.h"

namespace kernels {
namespace {

// One channel of the calibration. The steps are rounded to single precision one by one so the floor
// test and the clamp see exactly the stored values.
inline float calibrateChannel(int value8, float meanDarkValue, float darkGain, float floor, float lightGain)
{
    const float darkPart = meanDarkValue * darkGain;
    float v = float(px::fraction(value8) - darkPart);
    if (v <= floor)
        v = 0.0f;
    v = lightGain * v;
    if (v > 1.0f)
        v = 1.0f;
    return v;
}

} // namespace

QImage calibrated(const QImage& source, const Calibration& c)
{
    const QImage image = px::toRgb32(source);
    if (image.isNull())
        return image;
    QImage out(image.size(), QImage::Format_RGB32);
    if (out.isNull())
        return out;
    const int width = image.width();
    const FloatImage* dark = (c.masterDark && c.masterDark->width > 0 && c.masterDark->height > 0) ? c.masterDark : nullptr;

    // Without a dark every channel depends on its 8-bit value alone.
    QRgb lutR[256], lutG[256], lutB[256];
    if (!dark) {
        for (int v = 0; v < 256; ++v) {
            lutR[v] = QRgb(px::toByte(calibrateChannel(v, 0.0f, c.darkframeGain, c.floorR, c.lightframeGain))) << 16;
            lutG[v] = QRgb(px::toByte(calibrateChannel(v, 0.0f, c.darkframeGain, c.floorG, c.lightframeGain))) << 8;
            lutB[v] = QRgb(px::toByte(calibrateChannel(v, 0.0f, c.darkframeGain, c.floorB, c.lightframeGain)));
        }
    }

    const px::RowWriter rows(out);
    parallel::forRange(0, image.height(), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const QRgb* in = px::row(image, y);
            QRgb* o = rows(y);
            if (!dark) {
                for (int x = 0; x < width; ++x)
                    o[x] = 0xff000000u | lutR[qRed(in[x])] | lutG[qGreen(in[x])] | lutB[qBlue(in[x])];
                continue;
            }
            for (int x = 0; x < width; ++x) {
                const QRgb p = in[x];
                const float r = calibrateChannel(qRed(p), meanDark(dark, x, y, 0), c.darkframeGain, c.floorR, c.lightframeGain);
                const float g = calibrateChannel(qGreen(p), meanDark(dark, x, y, 1), c.darkframeGain, c.floorG, c.lightframeGain);
                const float b = calibrateChannel(qBlue(p), meanDark(dark, x, y, 2), c.darkframeGain, c.floorB, c.lightframeGain);
                o[x] = px::rgbFromFractions(r, g, b);
            }
        }
    });
    return out;
}

QImage supersampled(const QImage& image, int factor)
{
    if (factor <= 1 || image.isNull())
        return image;
    return px::toRgb32(image.scaledToWidth(image.width() * factor, Qt::FastTransformation));
}

void addDarkFrame(FloatImage& sums, const QImage& dark)
{
    static const struct Fractions {
        float v[256];
        Fractions() { for (int i = 0; i < 256; ++i) v[i] = float(px::fraction(i)); }
    } f;
    const int width = std::min(sums.width, dark.width());
    parallel::forRange(0, std::min(sums.height, dark.height()), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const QRgb* line = px::row(dark, y);
            float* out = sums.pixel(0, y);
            for (int x = 0; x < width; ++x, out += 4) {
                out[0] += f.v[qRed(line[x])];
                out[1] += f.v[qGreen(line[x])];
                out[2] += f.v[qBlue(line[x])];
                out[3] += 1.0f;
            }
        }
    });
}

} // namespace kernels
