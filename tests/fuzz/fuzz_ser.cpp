// SER captures: the bytes are a whole capture file (header, frames, trailer); the first byte picks the
// Bayer choice. The capture is opened as a sequence, then every frame it claims (at most 64) is read,
// with its time stamp.

#include "fuzzfile.h"
#include "readers.h"

#include <QFile>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const QString path = fuzzfile::write(fuzzfile::folder("fuzz_ser"), QStringLiteral("capture.ser"), data + 1, size - 1);
    if (path.isEmpty())
        return 0;
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
