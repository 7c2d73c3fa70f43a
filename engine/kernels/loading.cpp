#include "loading.h"

#include "imagefile.h"
#include "parallel.h"
#include "pixel.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace kernels {
namespace {

// One channel of the calibration. The steps are rounded to single precision one by one so the floor
// test and the clamp see exactly the stored values.
inline float calibrateChannel(double fraction, float meanDarkValue, float darkGain, float floor, float lightGain)
{
    const float darkPart = meanDarkValue * darkGain;
    float v = float(fraction - darkPart);
    if (v <= floor)
        v = 0.0f;
    v = lightGain * v;
    if (v > 1.0f)
        v = 1.0f;
    return v;
}

// The calibrated 16-bit sample of every 16-bit sample of one channel without a dark: the formula
// evaluated once per value instead of once per pixel. A frame is 65536 values or more, and a sequence
// keeps its settings, so the last few tables are kept (by the bits of their settings) for the frames
// that follow.
class Table16 {
public:
    static std::shared_ptr<const std::vector<quint16>> of(float darkGain, float floor, float lightGain)
    {
        const Key key{bits(darkGain), bits(floor), bits(lightGain)};
        static std::mutex mutex;
        static std::vector<Table16> recent; // most recently used last
        const std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < recent.size(); ++i) {
            if (recent[i].key_ == key) {
                Table16 hit = recent[i];
                recent.erase(recent.begin() + std::ptrdiff_t(i));
                recent.push_back(hit);
                return hit.values_;
            }
        }
        auto values = std::make_shared<std::vector<quint16>>(65536);
        for (int v = 0; v < 65536; ++v)
            (*values)[std::size_t(v)] = quint16(px::to16(calibrateChannel(px::fraction16(v), 0.0f, darkGain, floor, lightGain)));
        constexpr std::size_t kKept = 6;
        if (recent.size() == kKept)
            recent.erase(recent.begin());
        recent.push_back(Table16{key, values});
        return values;
    }

private:
    struct Key {
        quint32 darkGain, floor, lightGain;
        bool operator==(const Key& o) const { return darkGain == o.darkGain && floor == o.floor && lightGain == o.lightGain; }
    };
    static quint32 bits(float f)
    {
        quint32 u;
        std::memcpy(&u, &f, sizeof u);
        return u;
    }
    Table16(const Key& key, std::shared_ptr<const std::vector<quint16>> values) : key_(key), values_(std::move(values)) {}

    Key key_;
    std::shared_ptr<const std::vector<quint16>> values_;
};

// A calibrated frame keeps the depth of its samples.
template <class Pixel>
QImage calibratedAt(const QImage& image, const Calibration& c)
{
    using S = px::Samples<Pixel>;
    QImage out(image.size(), S::kFormat);
    if (out.isNull())
        return out;
    const int width = image.width();
    const FloatImage* dark = (c.masterDark && c.masterDark->width > 0 && c.masterDark->height > 0) ? c.masterDark : nullptr;

    // Without a dark every channel of an 8-bit frame depends on its value alone.
    QRgb lutR[256], lutG[256], lutB[256];
    if constexpr (S::kMax == 255) {
        if (!dark) {
            for (int v = 0; v < 256; ++v) {
                const double f = S::fraction(v);
                lutR[v] = QRgb(px::toByte(calibrateChannel(f, 0.0f, c.darkframeGain, c.floorR, c.lightframeGain))) << 16;
                lutG[v] = QRgb(px::toByte(calibrateChannel(f, 0.0f, c.darkframeGain, c.floorG, c.lightframeGain))) << 8;
                lutB[v] = QRgb(px::toByte(calibrateChannel(f, 0.0f, c.darkframeGain, c.floorB, c.lightframeGain)));
            }
        }
    }

    // The same for a 16-bit frame, from tables of all 65536 values.
    std::shared_ptr<const std::vector<quint16>> tableR, tableG, tableB;
    if constexpr (S::kMax == 65535) {
        if (!dark) {
            tableR = Table16::of(c.darkframeGain, c.floorR, c.lightframeGain);
            tableG = Table16::of(c.darkframeGain, c.floorG, c.lightframeGain);
            tableB = Table16::of(c.darkframeGain, c.floorB, c.lightframeGain);
        }
    }

    const px::RowsOf<Pixel> rows(out);
    parallel::forRange(0, image.height(), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const Pixel* in = px::rowOf<Pixel>(image, y);
            Pixel* o = rows(y);
            if constexpr (S::kMax == 255) {
                if (!dark) {
                    for (int x = 0; x < width; ++x)
                        o[x] = 0xff000000u | lutR[qRed(in[x])] | lutG[qGreen(in[x])] | lutB[qBlue(in[x])];
                    continue;
                }
            } else {
                if (!dark) {
                    const quint16 *tr = tableR->data(), *tg = tableG->data(), *tb = tableB->data();
                    for (int x = 0; x < width; ++x)
                        o[x] = QRgba64::fromRgba64(tr[in[x].red()], tg[in[x].green()], tb[in[x].blue()], 65535);
                    continue;
                }
            }
            for (int x = 0; x < width; ++x) {
                const Pixel p = in[x];
                const float r = calibrateChannel(S::fraction(S::red(p)), meanDark(dark, x, y, 0), c.darkframeGain, c.floorR, c.lightframeGain);
                const float g = calibrateChannel(S::fraction(S::green(p)), meanDark(dark, x, y, 1), c.darkframeGain, c.floorG, c.lightframeGain);
                const float b = calibrateChannel(S::fraction(S::blue(p)), meanDark(dark, x, y, 2), c.darkframeGain, c.floorB, c.lightframeGain);
                o[x] = S::pixel(S::sample(r), S::sample(g), S::sample(b));
            }
        }
    });
    return out;
}

template <class Pixel>
void addDarkFrameAt(FloatImage& sums, const QImage& dark)
{
    using S = px::Samples<Pixel>;
    // 8-bit samples: their fractions as floats, looked up.
    float single[256];
    if constexpr (S::kMax == 255)
        for (int v = 0; v < 256; ++v)
            single[v] = float(S::fraction(v));
    auto sample = [&single](int v) {
        if constexpr (S::kMax == 255)
            return single[v];
        else
            return float(S::fraction(v));
    };
    const int width = std::min(sums.width, dark.width());
    parallel::forRange(0, std::min(sums.height, dark.height()), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const Pixel* line = px::rowOf<Pixel>(dark, y);
            float* out = sums.pixel(0, y);
            for (int x = 0; x < width; ++x, out += 4) {
                out[0] += sample(S::red(line[x]));
                out[1] += sample(S::green(line[x]));
                out[2] += sample(S::blue(line[x]));
                out[3] += 1.0f;
            }
        }
    });
}

} // namespace

QImage calibrated(const QImage& source, const Calibration& c)
{
    const QImage image = readers::asFrame(source);
    if (image.isNull())
        return image;
    return px::withPixelType(image, [&](auto pixel) { return calibratedAt<decltype(pixel)>(image, c); });
}

QImage supersampled(const QImage& image, int factor)
{
    if (factor <= 1 || image.isNull())
        return image;
    return readers::asFrame(image.scaledToWidth(image.width() * factor, Qt::FastTransformation));
}

void addDarkFrame(FloatImage& sums, const QImage& source)
{
    const QImage dark = readers::asFrame(source);
    px::withPixelType(dark, [&](auto pixel) { addDarkFrameAt<decltype(pixel)>(sums, dark); });
}

} // namespace kernels
