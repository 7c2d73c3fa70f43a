// Dark frames and the master dark.

#include "loading.h"
#include "parallel.h"
#include "pixel.h"
#include "stackengine.h"

namespace kernels {

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

void StackEngine::setDarkList(const QStringList& paths)
{
    darkList = paths;
    darkSequenceLoaded = true;
    // A master dark built from an earlier list no longer matches: the next stacking run rebuilds it.
    masterDarkBuilt = false;
}

bool StackEngine::buildMasterDark(const LogFn& log, QStringList* leftOut)
{
    auto say = [&](const QString& line) {
        if (log)
            log(line);
    };
    if (!darkSequenceLoaded) {
        masterDarkBuilt = true;
        return true;
    }

    std::unique_ptr<FloatImage> sums;
    for (const QString& path : darkList) {
        QImage dark;
        if (!readImage(path, dark)) {
            say(QStringLiteral("Could not read dark frame: ") + path);
            if (leftOut)
                leftOut->append(path);
            continue;
        }
        darkImage = supersampled(dark);
        if (!sums) {
            sums = createFloatImage(darkImage.width(), darkImage.height());
            if (!sums) {
                say(QStringLiteral("Not enough memory for a %1x%2 master darkframe.")
                        .arg(darkImage.width()).arg(darkImage.height()));
                return false;
            }
        } else if (darkImage.width() != sums->width || darkImage.height() != sums->height) {
            say(QStringLiteral("Dark frame of a different size left out: ") + path);
            if (leftOut)
                leftOut->append(path);
            continue;
        }
        kernels::addDarkFrame(*sums, darkImage);
    }
    if (!sums)
        say(QStringLiteral("No dark frame could be read, no master darkframe built."));
    masterDark = std::move(sums);
    masterDarkBuilt = true;
    return true;
}
