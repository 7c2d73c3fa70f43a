#include "imagesave.h"

#include "pngwrite.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>
#include <QTemporaryFile>

#include <fitsio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace imagesave {
namespace {

QByteArray formatOf(const QString& path) { return QFileInfo(path).suffix().toLower().toLatin1(); }

bool fail(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return false;
}

// A 16-bit PPM (P6) or PGM (P5): maxval 65535, two bytes per sample, most significant first. The grey
// of a PGM is the image library's own grey of the colour.
QByteArray netpbm16(const QImage& image, bool grey)
{
    const QImage source = grey ? image.convertToFormat(QImage::Format_Grayscale16) : image;
    QByteArray data = QByteArray(grey ? "P5\n" : "P6\n") + QByteArray::number(source.width()) + ' '
        + QByteArray::number(source.height()) + "\n65535\n";
    const qsizetype header = data.size();
    const qsizetype samples = qsizetype(source.width()) * source.height() * (grey ? 1 : 3);
    data.resize(header + samples * 2);
    uchar* out = reinterpret_cast<uchar*>(data.data()) + header;
    auto put = [&out](quint16 v) {
        *out++ = uchar(v >> 8);
        *out++ = uchar(v & 0xff);
    };
    for (int y = 0; y < source.height(); ++y) {
        if (grey) {
            const quint16* line = reinterpret_cast<const quint16*>(source.constScanLine(y));
            for (int x = 0; x < source.width(); ++x)
                put(line[x]);
        } else {
            const QRgba64* line = reinterpret_cast<const QRgba64*>(source.constScanLine(y));
            for (int x = 0; x < source.width(); ++x) {
                put(line[x].red());
                put(line[x].green());
                put(line[x].blue());
            }
        }
    }
    return data;
}

// Formats whose writer cannot hold every stack: the largest side they store (larger images are
// scaled down or refused by the writer), or that keep one bit per pixel.
struct Capacity {
    const char* format;
    const char* name;
    int maxSide; // 0: no limit of its own
    bool oneBit;
};

constexpr Capacity kCapacities[] = {
    {"ico", "ICO", 256, false},     {"cur", "CUR", 256, false},       {"icns", "ICNS", 1024, false},
    {"webp", "WebP", 16383, false}, {"jpg", "JPEG", 65535, false},    {"jpeg", "JPEG", 65535, false},
    {"pbm", "PBM", 0, true},        {"xbm", "XBM", 0, true},          {"wbmp", "WBMP", 0, true},
};

// Writes all of data through the descriptor: the toolkit's own write error loses errno ("Unknown
// error"), and "No space left on device" is the one line a user needs. Empty when it worked.
QString writeAll(QSaveFile& file, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(file.handle(), data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return QString::fromLocal8Bit(std::strerror(n < 0 ? errno : EIO));
        data += n;
        left -= n;
    }
    return QString();
}

QString fitsError(int status)
{
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    return QString::fromLatin1(text);
}

} // namespace

bool holds16Bits(const QString& path)
{
    const QByteArray format = formatOf(path);
    return format == "png" || format == "tif" || format == "tiff" || format == "ppm" || format == "pgm";
}

QString cannotHold16Bits(const QString& path)
{
    return QStringLiteral("The format \"%1\" cannot hold 16 bits per channel: save as PNG, TIFF, PPM or PGM, or at 8 bits.")
        .arg(QString::fromLatin1(formatOf(path)));
}

bool isFits(const QString& path)
{
    const QByteArray format = formatOf(path);
    return format == "fit" || format == "fits" || format == "fts";
}

QString refusal(const QImage& image, const QByteArray& format)
{
    for (const Capacity& c : kCapacities) {
        if (format != c.format)
            continue;
        if (c.maxSide > 0 && (image.width() > c.maxSide || image.height() > c.maxSide))
            return QStringLiteral("The %1 format holds at most %2x%2 pixels; the stack has %3x%4.")
                .arg(QLatin1String(c.name))
                .arg(c.maxSide)
                .arg(image.width())
                .arg(image.height());
        if (c.oneBit)
            return QStringLiteral("The %1 format keeps one bit per pixel; choose PNG, TIFF or BMP.").arg(QLatin1String(c.name));
    }
    return QString();
}

bool save(const QImage& image, const QString& path, QString* error)
{
    if (path.isEmpty())
        return fail(error, QStringLiteral("No file name given."));
    if (image.isNull())
        return fail(error, QStringLiteral("There is no image to save."));
    const QByteArray format = formatOf(path);
    if (format.isEmpty())
        return fail(error, QStringLiteral("The file name has no suffix naming an image format."));
    const bool deep = image.format() == QImage::Format_RGBX64;
    if (deep && !holds16Bits(path))
        return fail(error, cannotHold16Bits(path));
    if (!QImageWriter::supportedImageFormats().contains(format))
        return fail(error, QStringLiteral("Unsupported image format \"%1\".").arg(QString::fromLatin1(format)));

    const QString refused = refusal(image, format);
    if (!refused.isEmpty())
        return fail(error, refused);

    // Encoded in memory first: a writer that would still change the size is caught before any file
    // is touched, and writing the bytes out reports the system's reason (a full disk) when it fails.
    QByteArray encoded;
    if (deep && (format == "ppm" || format == "pgm")) {
        // The image library writes these formats at 8 bits only.
        encoded = netpbm16(image, format == "pgm");
    } else if (format == "png" && pngwrite::encodes(image)) {
        // Our PNG writer: the size of the image library's default file in a fraction of its time.
        encoded = pngwrite::encode(image);
        if (encoded.isEmpty())
            return fail(error, QStringLiteral("Cannot write %1: the image could not be compressed.").arg(path));
    } else {
        QBuffer buffer(&encoded);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format);
        // Other PNGs (grey, alpha, colour spaces): the writer's default effort costs twice the time of
        // the next lower one for files about 3-5 % smaller (bench_output measures both).
        if (format == "png")
            writer.setCompression(60);
        if (!writer.write(image))
            return fail(error, QStringLiteral("Cannot write %1: %2").arg(path, writer.errorString()));
        buffer.close();
        buffer.open(QIODevice::ReadOnly);
        QImageReader check(&buffer, format);
        QSize stored = check.size();
        if (!stored.isValid()) { // a reader that knows the size only once it has decoded
            QImage decoded;
            if (check.read(&decoded))
                stored = decoded.size();
        }
        if (stored.isValid() && stored != image.size())
            return fail(error, QStringLiteral("The %1 format would store the %2x%3 stack as %4x%5 pixels.")
                                   .arg(QString::fromLatin1(format).toUpper())
                                   .arg(image.width())
                                   .arg(image.height())
                                   .arg(stored.width())
                                   .arg(stored.height()));
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(error, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
    const QString why = writeAll(file, encoded);
    if (!why.isEmpty()) {
        file.cancelWriting();
        return fail(error, QStringLiteral("Cannot write %1: %2").arg(path, why));
    }
    if (!file.commit())
        return fail(error, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
    return true;
}

bool saveFits(const std::vector<float>& planes, int width, int height, const QString& path, QString* error)
{
    if (path.isEmpty())
        return fail(error, QStringLiteral("No file name given."));
    const std::size_t plane = std::size_t(std::max(0, width)) * std::size_t(std::max(0, height));
    if (plane == 0 || planes.size() != plane * 3)
        return fail(error, QStringLiteral("There is no image to save."));

    // The data go to a temporary file next to the target, which is renamed over it when complete.
    const QFileInfo target(path);
    QTemporaryFile reserve(target.absoluteDir().filePath(QStringLiteral(".nebulo-XXXXXX.fits")));
    if (!reserve.open())
        return fail(error, QStringLiteral("Cannot write %1: %2").arg(path, reserve.errorString()));
    const QString temporary = reserve.fileName();
    reserve.close();
    const QByteArray name = QByteArray("!") + QFile::encodeName(temporary); // "!": replace the reserved file

    // The FITS data array holds the picture's rows bottom first.
    std::vector<float> data(planes.size());
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < height; ++y)
            std::copy_n(planes.data() + plane * c + std::size_t(y) * width, width,
                        data.data() + plane * c + std::size_t(height - 1 - y) * width);

    int status = 0;
    fitsfile* fits = nullptr;
    long axes[3] = {width, height, 3};
    fits_create_file(&fits, name.constData(), &status);
    fits_create_img(fits, FLOAT_IMG, 3, axes, &status);
    fits_write_img(fits, TFLOAT, 1, LONGLONG(data.size()), data.data(), &status);
    const int written = status;
    int closing = 0;
    if (fits)
        fits_close_file(fits, &closing);
    if (written || closing) {
        QFile::remove(temporary);
        return fail(error, QStringLiteral("Cannot write %1: %2").arg(path, fitsError(written ? written : closing)));
    }
    if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(temporary);
        return fail(error, QStringLiteral("Cannot write %1: the file cannot be replaced.").arg(path));
    }
    reserve.setAutoRemove(false);
    return true;
}

} // namespace imagesave
