// FITS files through cfitsio: the bytes are the file; the first byte picks the Bayer choice and the
// suffix (.fit, .fits, .fts).

#include "readers.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

namespace {

QTemporaryDir* workDir()
{
    static QTemporaryDir* dir = new QTemporaryDir(QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm/fuzz_fits-XXXXXX")
                                                                                             : QString());
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const char* const suffixes[] = {".fit", ".fits", ".fts"};
    const QString path = workDir()->filePath(QStringLiteral("frame") + QLatin1String(suffixes[(data[0] >> 4) % 3]));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char*>(data + 1), qint64(size - 1));
    }
    readers::ReadOptions options;
    options.debayer = readers::Debayer((data[0] & 0x0f) % 6);
    QImage image;
    QString error;
    readers::readFrame(path, options, image, &error);
    QFile::remove(path);
    return 0;
}
