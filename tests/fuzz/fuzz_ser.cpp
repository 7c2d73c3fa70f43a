// SER captures: the bytes are a whole capture file (header, frames, trailer); the first byte picks the
// Bayer choice. The capture is opened as a sequence, then every frame it claims (at most 64) is read,
// with its time stamp.

#include "readers.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

namespace {

QTemporaryDir* workDir()
{
    static QTemporaryDir* dir = new QTemporaryDir(QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm/fuzz_ser-XXXXXX")
                                                                                             : QString());
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const QString path = workDir()->filePath(QStringLiteral("capture.ser"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char*>(data + 1), qint64(size - 1));
    }
    readers::ReadOptions options;
    options.debayer = readers::Debayer(data[0] % 6);
    QStringList frames, notes;
    QString error;
    if (readers::expandSequence({path}, &frames, &notes, &error)) {
        for (int i = 0; i < frames.size() && i < 64; ++i) {
            QImage image;
            readers::readFrame(frames[i], options, image, &error);
            readers::frameTime(frames[i]);
        }
    }
    QFile::remove(path);
    return 0;
}
