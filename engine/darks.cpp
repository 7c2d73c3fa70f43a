// Dark frames and the master dark.

#include "stackengine.h"

void StackEngine::setDarkList(const QStringList& paths)
{
    darkList = paths;
    darkSequenceLoaded = true;
    // A master dark built from an earlier list no longer matches: the next stacking run rebuilds it.
    masterDarkBuilt = false;
}

void StackEngine::setDebayer(readers::Debayer debayer)
{
    if (debayer == readOptions.debayer)
        return;
    readOptions.debayer = debayer;
    if (darkSequenceLoaded)
        masterDarkBuilt = false;
}

bool StackEngine::buildMasterDark(const LogFn& log, QStringList* leftOut,
                                  const std::function<bool(int done, int total)>& proceed)
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
    bool stopped = false;
    for (int i = 0; i < darkList.size(); ++i) {
        if (proceed && !proceed(i, int(darkList.size()))) {
            stopped = true;
            break;
        }
        const QString& path = darkList.at(i);
        QImage dark;
        if (!readImage(path, dark, readOptions)) {
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
    if (!sums && !stopped)
        say(QStringLiteral("No dark frame could be read, no master darkframe built."));
    masterDark = std::move(sums);
    masterDarkBuilt = !stopped;
    return true;
}
