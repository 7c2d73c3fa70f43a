#include "imagefile.h"

#include "pngdecode.h"

#include <QFile>
#include <QImageReader>
#include <QMutex>
#include <QMutexLocker>

#include <csetjmp>
#include <cstdio>

extern "C" {
#include <netpbm/pam.h>
}

namespace readers {
namespace {

bool isDeep(QImage::Format format)
{
    switch (format) {
    case QImage::Format_Grayscale16:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_BGR30:
    case QImage::Format_A2BGR30_Premultiplied:
    case QImage::Format_RGB30:
    case QImage::Format_A2RGB30_Premultiplied:
    case QImage::Format_RGBX16FPx4:
    case QImage::Format_RGBA16FPx4:
    case QImage::Format_RGBA16FPx4_Premultiplied:
    case QImage::Format_RGBX32FPx4:
    case QImage::Format_RGBA32FPx4:
    case QImage::Format_RGBA32FPx4_Premultiplied:
        return true;
    default:
        return false;
    }
}

// Whether the file starts like a PGM or PPM (P2, P3, P5, P6).
bool looksLikeNetpbm(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    char magic[2] = {0, 0};
    if (file.read(magic, 2) != 2)
        return false;
    return magic[0] == 'P' && (magic[1] == '2' || magic[1] == '3' || magic[1] == '5' || magic[1] == '6');
}

QString g_netpbmMessage;

void keepNetpbmMessage(const char* message) { g_netpbmMessage = QString::fromLocal8Bit(message).trimmed(); }
void dropNetpbmMessage(const char*) {}

// The library reports errors by a long jump back here; nothing with a destructor lives between the
// jump's start and its target.
bool decodeNetpbm(FILE* file, QImage* out, int* planesOut)
{
    struct pam pam;
    tuple* volatile row = nullptr;
    jmp_buf jump;
    jmp_buf* previous = nullptr;
    pm_setjmpbufsave(&jump, &previous);
    volatile bool ok = false;
    if (setjmp(jump) == 0) {
        pnm_readpaminit(file, &pam, PAM_STRUCT_SIZE(tuple_type));
        const int width = pam.width, height = pam.height;
        const unsigned long maxval = pam.maxval;
        const bool deep = maxval != 255;
        if ((pam.depth == 1 || pam.depth == 3) && width > 0 && height > 0 && qint64(width) * height <= (qint64(1) << 28)) {
            *out = QImage(width, height, deep ? QImage::Format_RGBX64 : QImage::Format_RGB32);
            row = pnm_allocpamrow(&pam);
            const unsigned int green = pam.depth == 3 ? 1 : 0, blue = pam.depth == 3 ? 2 : 0;
            auto scaled = [maxval](sample s) { return quint16((s * 65535UL + maxval / 2) / maxval); };
            for (int y = 0; !out->isNull() && y < height; ++y) {
                pnm_readpamrow(&pam, row);
                uchar* line = out->scanLine(y);
                for (int x = 0; x < width; ++x) {
                    const sample* t = row[x];
                    if (deep) {
                        quint16* o = reinterpret_cast<quint16*>(line) + 4 * x;
                        o[0] = scaled(t[0]), o[1] = scaled(t[green]), o[2] = scaled(t[blue]), o[3] = 0xffff;
                    } else {
                        reinterpret_cast<QRgb*>(line)[x] = qRgb(int(t[0]), int(t[green]), int(t[blue]));
                    }
                }
            }
            ok = !out->isNull();
            *planesOut = int(pam.depth);
            if (!ok)
                g_netpbmMessage = QStringLiteral("not enough memory for the image");
        } else {
            g_netpbmMessage = QStringLiteral("unsupported image shape");
        }
    }
    pm_setjmpbuf(previous);
    if (row)
        pnm_freepamrow(row);
    return ok;
}

} // namespace

QImage asFrame(const QImage& decoded)
{
    if (decoded.isNull())
        return decoded;
    if (isDeep(decoded.format()))
        return decoded.format() == QImage::Format_RGBX64 ? decoded : decoded.convertToFormat(QImage::Format_RGBX64);
    return decoded.format() == QImage::Format_RGB32 ? decoded : decoded.convertToFormat(QImage::Format_RGB32);
}

bool readNetpbm(const QString& path, QImage& image, QString* error, bool* singleChannel)
{
    // The library keeps its error handling in process-wide state.
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    static bool initialised = false;
    if (!initialised) {
        pm_init("nebulo", 0);
        pm_setusererrormsgfn(keepNetpbmMessage);
        pm_setusermessagefn(dropNetpbmMessage);
        initialised = true;
    }

    FILE* file = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!file) {
        if (error)
            *error = path + QStringLiteral(": cannot be opened");
        return false;
    }
    g_netpbmMessage.clear();
    QImage decoded;
    int planes = 0;
    const bool ok = decodeNetpbm(file, &decoded, &planes);
    std::fclose(file);
    if (ok) {
        image = decoded;
        if (singleChannel)
            *singleChannel = planes == 1;
    } else if (error) {
        *error = path + QStringLiteral(": not a readable PGM/PPM image (") + g_netpbmMessage + QStringLiteral(")");
    }
    return ok;
}

bool readImageFile(const QString& path, QImage& image, QString* error, bool* singleChannel)
{
    if (looksLikeNetpbm(path))
        return readNetpbm(path, image, error, singleChannel);
    // The fast decoder does not tell grey files apart; they go to the toolkit when that matters.
    if (!singleChannel && pngdecode::enabled() && pngdecode::decode(path, image) == pngdecode::Outcome::Decoded)
        return true;
    QImage decoded;
    if (!decoded.load(path) || decoded.isNull()) {
        if (error)
            *error = path + QStringLiteral(": cannot be read as an image");
        return false;
    }
    if (singleChannel) {
        const QImage::Format f = decoded.format();
        *singleChannel = f == QImage::Format_Grayscale8 || f == QImage::Format_Grayscale16
            || ((f == QImage::Format_Indexed8 || f == QImage::Format_Mono || f == QImage::Format_MonoLSB) && decoded.isGrayscale());
    }
    image = asFrame(decoded);
    if (image.isNull()) {
        if (error)
            *error = path + QStringLiteral(": not enough memory for the image");
        return false;
    }
    return true;
}

} // namespace readers
