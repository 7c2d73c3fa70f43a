#include "readers.h"

#include "fits.h"
#include "imagefile.h"
#include "ser.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace readers {
namespace {

Cfa patternOf(Debayer choice)
{
    switch (choice) {
    case Debayer::RGGB: return Cfa::RGGB;
    case Debayer::GRBG: return Cfa::GRBG;
    case Debayer::GBRG: return Cfa::GBRG;
    case Debayer::BGGR: return Cfa::BGGR;
    default: return Cfa::None;
    }
}

// A single-channel 8-bit frame read by the toolkit (R = G = B) demosaiced with a named pattern.
QImage demosaicedGrey(const QImage& frame, Cfa pattern)
{
    const int width = frame.width(), height = frame.height();
    const bool deep = frame.format() == QImage::Format_RGBX64;
    std::vector<quint16> samples(std::size_t(width) * std::size_t(height));
    for (int y = 0; y < height; ++y) {
        quint16* out = samples.data() + qsizetype(y) * width;
        if (deep) {
            const quint16* in = reinterpret_cast<const quint16*>(frame.constScanLine(y));
            for (int x = 0; x < width; ++x)
                out[x] = in[4 * x];
        } else {
            const QRgb* in = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
            for (int x = 0; x < width; ++x)
                out[x] = quint16(qRed(in[x]));
        }
    }
    return demosaic(samples.data(), width, height, deep ? 65535 : 255, pattern);
}

} // namespace

bool debayerFromName(const QString& name, Debayer* choice)
{
    const QString n = name.trimmed().toLower();
    static const struct {
        const char* name;
        Debayer choice;
    } names[] = {{"auto", Debayer::Auto}, {"none", Debayer::None}, {"rggb", Debayer::RGGB},
                 {"grbg", Debayer::GRBG}, {"gbrg", Debayer::GBRG}, {"bggr", Debayer::BGGR}};
    for (const auto& entry : names) {
        if (n == QLatin1String(entry.name)) {
            *choice = entry.choice;
            return true;
        }
    }
    return false;
}

QString debayerName(Debayer choice)
{
    switch (choice) {
    case Debayer::Auto: return QStringLiteral("Auto");
    case Debayer::None: return QStringLiteral("None");
    default: return cfaName(patternOf(choice));
    }
}

QString frameName(const QString& capture, int number)
{
    return capture + QLatin1Char('#') + QString::number(number);
}

QString sourceFile(const QString& name, int* number)
{
    if (number)
        *number = 0;
    const int hash = name.lastIndexOf(QLatin1Char('#'));
    if (hash <= 0 || !isCapture(name.left(hash)))
        return name;
    bool ok = false;
    const int n = name.mid(hash + 1).toInt(&ok);
    if (!ok || n < 1 || name.mid(hash + 1).startsWith(QLatin1Char('+')) || QFileInfo::exists(name))
        return name;
    if (number)
        *number = n;
    return name.left(hash);
}

bool isCapture(const QString& path)
{
    return path.endsWith(QLatin1String(".ser"), Qt::CaseInsensitive);
}

QString fileIdentity(const QString& name)
{
    struct stat st;
    if (::stat(QFile::encodeName(sourceFile(name)).constData(), &st) != 0)
        return QStringLiteral("missing");
    return QStringLiteral("%1:%2.%3:%4")
        .arg(qint64(st.st_size))
        .arg(qint64(st.st_mtim.tv_sec))
        .arg(qint64(st.st_mtim.tv_nsec))
        .arg(quint64(st.st_ino));
}

QString inputAt(const QString& path, const QStringList& names)
{
    struct stat target;
    if (::stat(QFile::encodeName(path).constData(), &target) != 0)
        return QString();
    QString previous; // the frames of a capture share one file: look at it once
    for (const QString& name : names) {
        const QString file = sourceFile(name);
        if (file == previous)
            continue;
        previous = file;
        struct stat st;
        if (::stat(QFile::encodeName(file).constData(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino)
            return name;
    }
    return QString();
}

bool expandSequence(const QStringList& paths, QStringList* frames, QStringList* notes, QString* error)
{
    QStringList expanded;
    QStringList lines;
    for (const QString& path : paths) {
        if (!isCapture(path)) {
            expanded.append(path);
            continue;
        }
        const std::shared_ptr<SerCapture> capture = openCapture(path, error);
        if (!capture)
            return false;
        if (capture->truncated())
            lines.append(QStringLiteral("%1 holds %2 whole frames of the %3 its header announces; the %2 frames are used.")
                             .arg(path).arg(capture->frameCount()).arg(capture->header().frameCount));
        expanded.reserve(expanded.size() + capture->frameCount());
        for (int n = 1; n <= capture->frameCount(); ++n)
            expanded.append(frameName(path, n));
    }
    *frames = expanded;
    if (notes)
        notes->append(lines);
    return true;
}

bool readFrame(const QString& name, const ReadOptions& options, QImage& image, QString* error)
{
    image = QImage();
    if (name.isEmpty()) {
        if (error)
            *error = QStringLiteral("no file name");
        return false;
    }
    const bool overrides = options.debayer != Debayer::Auto;
    const Cfa chosen = patternOf(options.debayer);

    int number = 0;
    const QString file = sourceFile(name, &number);
    if (number > 0) {
        const std::shared_ptr<SerCapture> capture = openCapture(file, error);
        if (!capture)
            return false;
        return capture->readFrame(number - 1, overrides ? chosen : capture->ownPattern(), image, error);
    }
    if (isCapture(file)) {
        const std::shared_ptr<SerCapture> capture = openCapture(file, error);
        if (!capture)
            return false;
        return capture->readFrame(0, overrides ? chosen : capture->ownPattern(), image, error);
    }
    if (isFitsName(file))
        return readFits(file, overrides, chosen, image, error);

    bool singleChannel = false;
    const bool patternNamed = overrides && chosen != Cfa::None;
    if (!readImageFile(file, image, error, patternNamed ? &singleChannel : nullptr))
        return false;
    // A single-channel file has no pattern of its own; a named one demosaics it.
    if (patternNamed && singleChannel) {
        image = demosaicedGrey(image, chosen);
        if (image.isNull()) {
            if (error)
                *error = file + QStringLiteral(": not enough memory for the image");
            return false;
        }
    }
    return true;
}

QDateTime frameTime(const QString& name)
{
    int number = 0;
    const QString file = sourceFile(name, &number);
    if (number < 1)
        return QDateTime();
    const std::shared_ptr<SerCapture> capture = openCapture(file, nullptr);
    return capture ? capture->timeStamp(number - 1) : QDateTime();
}

} // namespace readers
