#include "fits.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace readers {
namespace {

QString fitsError(int status)
{
    char text[FLEN_STATUS] = {0};
    fits_get_errstatus(status, text);
    return QString::fromLatin1(text);
}

// A physical value as a sample of the frame.
inline int sampleOf(double v, int bitpix)
{
    if (std::isnan(v) || v <= 0.0)
        return 0;
    switch (bitpix) {
    case BYTE_IMG:
        return v >= 255.0 ? 255 : int(v);
    case SHORT_IMG:
        return v >= 65535.0 ? 65535 : int(v);
    case LONG_IMG:
        return v >= 4294967295.0 ? 65535 : int(quint32(v) >> 16);
    default: // floating data: fractions of the full range
        return v >= 1.0 ? 65535 : int(v * 65535.0 + 0.5);
    }
}

class FitsFile {
public:
    ~FitsFile()
    {
        if (fits_) {
            int status = 0;
            fits_close_file(fits_, &status);
        }
    }
    fitsfile* fits_ = nullptr;
};

} // namespace

bool isFitsName(const QString& path)
{
    return path.endsWith(QLatin1String(".fit"), Qt::CaseInsensitive) || path.endsWith(QLatin1String(".fits"), Qt::CaseInsensitive)
        || path.endsWith(QLatin1String(".fts"), Qt::CaseInsensitive);
}

bool readFits(const QString& path, bool overridePattern, Cfa override, QImage& image, QString* error)
{
    auto refuse = [&](const QString& why) {
        if (error)
            *error = path + QStringLiteral(": ") + why;
        return false;
    };
    // The library's error stack is shared by the process; one reader at a time.
    static QMutex mutex;
    QMutexLocker lock(&mutex);

    FitsFile file;
    int status = 0;
    // The disk-file call takes the name as it is (no extended file name syntax).
    if (fits_open_diskfile(&file.fits_, QFile::encodeName(path).constData(), READONLY, &status)) {
        file.fits_ = nullptr;
        return refuse(QStringLiteral("not a FITS file cfitsio can read (%1)").arg(fitsError(status)));
    }
    int bitpix = 0, naxis = 0;
    long axes[3] = {0, 0, 0};
    if (fits_get_img_param(file.fits_, 3, &bitpix, &naxis, axes, &status))
        return refuse(QStringLiteral("not a FITS image cfitsio can read (%1)").arg(fitsError(status)));
    if (bitpix != BYTE_IMG && bitpix != SHORT_IMG && bitpix != LONG_IMG && bitpix != FLOAT_IMG && bitpix != DOUBLE_IMG)
        return refuse(QStringLiteral("BITPIX %1 is not supported").arg(bitpix));
    const long planes = naxis == 3 ? axes[2] : 1;
    if (naxis < 2 || naxis > 3 || (planes != 1 && planes != 3))
        return refuse(QStringLiteral("NAXIS %1 is not an image of one or three planes").arg(naxis));
    const long width = axes[0], height = axes[1];
    if (width < 1 || height < 1 || width > 65536 || height > 65536 || qint64(width) * height > (qint64(1) << 28))
        return refuse(QStringLiteral("NAXIS1 %1 x NAXIS2 %2 is out of range").arg(width).arg(height));

    bool topDown = false;
    char value[FLEN_VALUE] = {0};
    int keyStatus = 0;
    if (!fits_read_key(file.fits_, TSTRING, "ROWORDER", value, nullptr, &keyStatus))
        topDown = QString::fromLatin1(value).trimmed().compare(QLatin1String("TOP-DOWN"), Qt::CaseInsensitive) == 0;
    Cfa pattern = Cfa::None;
    keyStatus = 0;
    if (planes == 1 && !fits_read_key(file.fits_, TSTRING, "BAYERPAT", value, nullptr, &keyStatus)) {
        const QString name = QString::fromLatin1(value).trimmed();
        pattern = cfaFromName(name);
        if (pattern == Cfa::None)
            return refuse(QStringLiteral("BAYERPAT '%1' is not one of RGGB, GRBG, GBRG, BGGR").arg(name));
    }
    if (overridePattern)
        pattern = override;

    const qint64 pixels = qint64(width) * height;
    std::vector<double> data(std::size_t(pixels * planes));
    long first[3] = {1, 1, 1};
    int anyNull = 0;
    double nullValue = 0.0;
    if (fits_read_pix(file.fits_, TDOUBLE, first, LONGLONG(pixels * planes), &nullValue, data.data(), &anyNull, &status))
        return refuse(QStringLiteral("the image data cannot be read (%1)").arg(fitsError(status)));

    const bool deep = bitpix != BYTE_IMG;
    auto pictureRow = [&](long y) { return topDown ? y : height - 1 - y; };
    if (planes == 1) {
        std::vector<quint16> samples(static_cast<std::size_t>(pixels));
        for (long y = 0; y < height; ++y) {
            const double* in = data.data() + qint64(pictureRow(y)) * width;
            quint16* out = samples.data() + qint64(y) * width;
            for (long x = 0; x < width; ++x)
                out[x] = quint16(sampleOf(in[x], bitpix));
        }
        image = demosaic(samples.data(), int(width), int(height), deep ? 65535 : 255, pattern);
    } else {
        image = QImage(int(width), int(height), deep ? QImage::Format_RGBX64 : QImage::Format_RGB32);
        for (long y = 0; !image.isNull() && y < height; ++y) {
            const qint64 row = qint64(pictureRow(y)) * width;
            const double* r = data.data() + row;
            const double* g = r + pixels;
            const double* b = g + pixels;
            uchar* line = image.scanLine(int(y));
            for (long x = 0; x < width; ++x) {
                if (deep) {
                    quint16* o = reinterpret_cast<quint16*>(line) + 4 * x;
                    o[0] = quint16(sampleOf(r[x], bitpix));
                    o[1] = quint16(sampleOf(g[x], bitpix));
                    o[2] = quint16(sampleOf(b[x], bitpix));
                    o[3] = 0xffff;
                } else {
                    reinterpret_cast<QRgb*>(line)[x] = qRgb(sampleOf(r[x], bitpix), sampleOf(g[x], bitpix), sampleOf(b[x], bitpix));
                }
            }
        }
    }
    if (image.isNull())
        return refuse(QStringLiteral("not enough memory for the image"));
    return true;
}

} // namespace readers
