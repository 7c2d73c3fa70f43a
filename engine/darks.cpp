// Dark frames and the master dark.

#include "parallel.h"
#include "pixel.h"
#include "stackengine.h"

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
        const QImage& image = darkImage;
        FloatImage& target = *sums;
        parallel::forRange(0, target.height, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                const QRgb* line = px::row(image, y);
                float* out = target.pixel(0, y);
                for (int x = 0; x < target.width; ++x, out += 4) {
                    out[0] += float(px::fraction(qRed(line[x])));
                    out[1] += float(px::fraction(qGreen(line[x])));
                    out[2] += float(px::fraction(qBlue(line[x])));
                    out[3] += 1.0f;
                }
            }
        });
    }
    if (!sums)
        say(QStringLiteral("No dark frame could be read, no master darkframe built."));
    masterDark = std::move(sums);
    masterDarkBuilt = true;
    return true;
}
