// FITS files through cfitsio: the bytes are the file; the first byte picks the Bayer choice and the
// suffix (.fit, .fits, .fts).

#include "fuzzfile.h"
#include "readers.h"

#include <QFile>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const char* const suffixes[] = {".fit", ".fits", ".fts"};
    const QString path = fuzzfile::write(fuzzfile::folder("fuzz_fits"), QStringLiteral("frame") + QLatin1String(suffixes[(data[0] >> 4) % 3]),
                                         data + 1, size - 1);
    if (path.isEmpty())
        return 0;
    readers::ReadOptions options;
    options.debayer = readers::Debayer((data[0] & 0x0f) % 6);
    QImage image;
    QString error;
    readers::readFrame(path, options, image, &error);
    QFile::remove(path);
    return 0;
}
