// Image files as the engine loads them: the first byte picks the file's suffix (which steers the
// choice of reader) and whether the frame is supersampled; the rest is the file's content, loaded
// through the engine's frame loading.

#include "framecache.h"
#include "stackengine.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

namespace {

const char* const kSuffixes[] = {"", ".png", ".jpg", ".bmp", ".gif", ".tif", ".webp", ".ppm",
                                 ".pgm", ".pbm", ".xpm", ".xbm", ".ico", ".tga", ".wbmp", ".icns"};

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

QTemporaryDir* workDir()
{
    static QTemporaryDir* dir = [] {
        qInstallMessageHandler(quiet); // decoder warnings, as the batch command silences them
        static int argc = 1;
        static char name[] = "fuzz_image";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv); // image plugins are found through the application
        return new QTemporaryDir(QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm/fuzz_image-XXXXXX")
                                                                          : QString());
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned choice = data[0];
    const QString path = workDir()->filePath(QStringLiteral("frame") + QLatin1String(kSuffixes[choice % 16]));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char*>(data + 1), qint64(size - 1));
    }
    StackEngine engine;
    engine.cache->setBudget(0);
    QImage image;
    if (StackEngine::readImage(path, image) && !image.isNull()) {
        // Supersampling quadruples the pixels: only for frames small enough to stay quick.
        engine.supersample = (choice & 0x80) && qint64(image.width()) * image.height() <= 1 << 20;
        engine.scaleFactor = 2;
        engine.loadFrame(path);
    }
    QFile::remove(path);
    return 0;
}
