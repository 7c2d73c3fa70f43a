#include "ser.h"

#include "rows.h"

#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QtEndian>

#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>


namespace readers {
namespace {

constexpr char kFileId[] = "LUCAM-RECORDER";
constexpr int kMaxSide = 65536;
constexpr qint64 kMaxPixels = qint64(1) << 28;
// 100 ns ticks from 0001-01-01 to 1970-01-01.
constexpr qint64 kTicksToUnixEpoch = 621355968000000000LL;

qint32 int32At(const uchar* p, int offset) { return qFromLittleEndian<qint32>(p + offset); }
qint64 int64At(const uchar* p, int offset) { return qFromLittleEndian<qint64>(p + offset); }

QString fieldError(const QString& field, qint64 value, const QString& why)
{
    return QStringLiteral("%1 %2 %3").arg(field).arg(value).arg(why);
}

} // namespace

Cfa SerHeader::pattern() const
{
    switch (colorId) {
    case BayerRGGB: return Cfa::RGGB;
    case BayerGRBG: return Cfa::GRBG;
    case BayerGBRG: return Cfa::GBRG;
    case BayerBGGR: return Cfa::BGGR;
    default: return Cfa::None;
    }
}

bool SerHeader::parse(const uchar* p, qint64 size, QString* error)
{
    auto refuse = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    if (size < kSize)
        return refuse(QStringLiteral("the header is cut short (%1 of %2 bytes)").arg(size).arg(kSize));
    fileId = QByteArray(reinterpret_cast<const char*>(p), 14);
    luId = int32At(p, 14);
    colorId = int32At(p, 18);
    littleEndian = int32At(p, 22);
    width = int32At(p, 26);
    height = int32At(p, 30);
    depth = int32At(p, 34);
    frameCount = int32At(p, 38);
    dateTime = int64At(p, 162);
    dateTimeUtc = int64At(p, 170);

    if (fileId != QByteArray(kFileId))
        return refuse(QStringLiteral("FileID is not \"%1\"").arg(QLatin1String(kFileId)));
    if (colorId >= 16 && colorId <= 19)
        return refuse(fieldError(QStringLiteral("ColorID"), colorId, QStringLiteral("is a CMY pattern, which is not supported")));
    if (colorId != Mono && !(colorId >= BayerRGGB && colorId <= BayerBGGR) && colorId != RGB && colorId != BGR)
        return refuse(fieldError(QStringLiteral("ColorID"), colorId, QStringLiteral("is unknown")));
    if (width <= 0 || width > kMaxSide)
        return refuse(fieldError(QStringLiteral("ImageWidth"), width, QStringLiteral("is out of range")));
    if (height <= 0 || height > kMaxSide)
        return refuse(fieldError(QStringLiteral("ImageHeight"), height, QStringLiteral("is out of range")));
    if (qint64(width) * height > kMaxPixels)
        return refuse(QStringLiteral("ImageWidth %1 x ImageHeight %2 is too large").arg(width).arg(height));
    if (depth < 1 || depth > 16)
        return refuse(fieldError(QStringLiteral("PixelDepthPerPlane"), depth, QStringLiteral("is outside 1-16")));
    if (frameCount < 0)
        return refuse(fieldError(QStringLiteral("FrameCount"), frameCount, QStringLiteral("is negative")));
    return true;
}

QByteArray serHeaderBytes(const SerHeader& h)
{
    QByteArray bytes(SerHeader::kSize, '\0');
    uchar* p = reinterpret_cast<uchar*>(bytes.data());
    std::memcpy(p, h.fileId.constData(), std::size_t(qMin<qsizetype>(14, h.fileId.size())));
    qToLittleEndian<qint32>(h.luId, p + 14);
    qToLittleEndian<qint32>(h.colorId, p + 18);
    qToLittleEndian<qint32>(h.littleEndian, p + 22);
    qToLittleEndian<qint32>(h.width, p + 26);
    qToLittleEndian<qint32>(h.height, p + 30);
    qToLittleEndian<qint32>(h.depth, p + 34);
    qToLittleEndian<qint32>(h.frameCount, p + 38);
    qToLittleEndian<qint64>(h.dateTime, p + 162);
    qToLittleEndian<qint64>(h.dateTimeUtc, p + 170);
    return bytes;
}

std::shared_ptr<SerCapture> SerCapture::open(const QString& path, QString* error)
{
    std::shared_ptr<SerCapture> capture(new SerCapture);
    capture->file_.setFileName(path);
    if (!capture->file_.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: cannot be opened (%2)").arg(path, capture->file_.errorString());
        return nullptr;
    }
    capture->size_ = capture->file_.size();
    if (capture->size_ < SerHeader::kSize) {
        if (error)
            *error = QStringLiteral("%1: not a SER capture: the header is cut short (%2 of %3 bytes)")
                         .arg(path).arg(capture->size_).arg(SerHeader::kSize);
        return nullptr;
    }
    capture->data_ = capture->file_.map(0, capture->size_);
    if (!capture->data_) {
        if (error)
            *error = QStringLiteral("%1: cannot be mapped into memory (%2)").arg(path, capture->file_.errorString());
        return nullptr;
    }
    QString why;
    if (!capture->header_.parse(capture->data_, capture->size_, &why)) {
        if (error)
            *error = QStringLiteral("%1: not a readable SER capture: %2").arg(path, why);
        return nullptr;
    }
    const SerHeader& h = capture->header_;
    const qint64 frameBytes = h.frameBytes();
    const qint64 held = (capture->size_ - SerHeader::kSize) / frameBytes;
    if (held < 1) {
        if (error)
            *error = QStringLiteral("%1: the capture holds no whole frame (a frame of ImageWidth %2 x ImageHeight %3 "
                                    "takes %4 bytes, the file has %5 after the header)")
                         .arg(path).arg(h.width).arg(h.height).arg(frameBytes).arg(capture->size_ - SerHeader::kSize);
        return nullptr;
    }
    const qint64 limit = qMin<qint64>(held, INT_MAX);
    if (h.frameCount == 0) {
        capture->frames_ = int(limit);
    } else {
        capture->frames_ = int(qMin<qint64>(limit, h.frameCount));
        capture->hasTimes_ = capture->size_ >= SerHeader::kSize + frameBytes * h.frameCount + 8LL * h.frameCount;
    }
    madvise(const_cast<uchar*>(capture->data_), std::size_t(capture->size_), MADV_SEQUENTIAL);
    return capture;
}

SerCapture::~SerCapture()
{
    if (data_)
        file_.unmap(const_cast<uchar*>(data_));
}

bool SerCapture::readFrame(int index, Cfa pattern, QImage& image, QString* error) const
{
    if (index < 0 || index >= frames_) {
        if (error)
            *error = QStringLiteral("%1: there is no frame %2 (the capture holds %3)").arg(file_.fileName()).arg(index + 1).arg(frames_);
        return false;
    }
    const SerHeader& h = header_;
    const qint64 frameBytes = h.frameBytes();
    const uchar* frame = data_ + SerHeader::kSize + frameBytes * index;
    const int width = h.width, height = h.height;
    const bool wide = h.bytesPerSample() == 2;
    const bool bigEndian = h.littleEndian != 0;
    // Depth 9-15: right-aligned samples, brought to the full 16-bit range.
    const int shift = wide ? 16 - h.depth : 0;
    auto sample = [&](const uchar* p) -> int {
        if (!wide)
            return p[0];
        const int v = bigEndian ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]);
        return (v << shift) & 0xffff;
    };

    QImage out;
    if (h.planes() == 3) {
        out = QImage(width, height, wide ? QImage::Format_RGBX64 : QImage::Format_RGB32);
        if (out.isNull()) {
            if (error)
                *error = QStringLiteral("%1: not enough memory for a frame").arg(file_.fileName());
            return false;
        }
        const int step = h.bytesPerSample();
        const int first = h.colorId == SerHeader::BGR ? 2 * step : 0;
        const int last = h.colorId == SerHeader::BGR ? 0 : 2 * step;
        for (int y = 0; y < height; ++y) {
            const uchar* in = frame + qint64(y) * width * 3 * step;
            uchar* line = out.scanLine(y);
            if (wide) {
                quint16* o = reinterpret_cast<quint16*>(line);
                for (int x = 0; x < width; ++x, in += 3 * step, o += 4) {
                    o[0] = quint16(sample(in + first));
                    o[1] = quint16(sample(in + step));
                    o[2] = quint16(sample(in + last));
                    o[3] = 0xffff;
                }
            } else {
                rgb24ToRgb32(in, reinterpret_cast<QRgb*>(line), width, h.colorId == SerHeader::BGR);
            }
        }
    } else if (!wide && pattern == Cfa::None) {
        out = QImage(width, height, QImage::Format_RGB32);
        if (out.isNull()) {
            if (error)
                *error = QStringLiteral("%1: not enough memory for a frame").arg(file_.fileName());
            return false;
        }
        for (int y = 0; y < height; ++y) {
            const uchar* in = frame + qint64(y) * width;
            QRgb* o = reinterpret_cast<QRgb*>(out.scanLine(y));
            for (int x = 0; x < width; ++x)
                o[x] = 0xff000000u | (QRgb(in[x]) * 0x010101u);
        }
    } else {
        std::vector<quint16> samples(std::size_t(width) * std::size_t(height));
        const int step = h.bytesPerSample();
        for (qint64 i = 0, n = qint64(width) * height; i < n; ++i)
            samples[std::size_t(i)] = quint16(sample(frame + i * step));
        out = demosaic(samples.data(), width, height, wide ? 65535 : 255, pattern);
        if (out.isNull()) {
            if (error)
                *error = QStringLiteral("%1: not enough memory for a frame").arg(file_.fileName());
            return false;
        }
    }

    // The frame's pages are not needed any more: they leave this process (the system's file cache
    // keeps them), so that streaming a long capture does not grow the memory in use.
    const long page = sysconf(_SC_PAGE_SIZE);
    if (page > 0) {
        const quintptr begin = (quintptr(frame) + quintptr(page) - 1) & ~quintptr(page - 1);
        const quintptr end = (quintptr(frame) + quintptr(frameBytes)) & ~quintptr(page - 1);
        if (end > begin)
            madvise(reinterpret_cast<void*>(begin), std::size_t(end - begin), MADV_DONTNEED);
    }
    image = out;
    return true;
}

QDateTime SerCapture::timeStamp(int index) const
{
    if (!hasTimes_ || index < 0 || index >= header_.frameCount)
        return QDateTime();
    const qint64 offset = SerHeader::kSize + header_.frameBytes() * header_.frameCount + 8LL * index;
    const qint64 ticks = qFromLittleEndian<qint64>(data_ + offset);
    if (ticks <= 0)
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch((ticks - kTicksToUnixEpoch) / 10000, Qt::UTC);
}

namespace {

struct OpenCapture {
    std::shared_ptr<SerCapture> capture;
    QString identity;
    quint64 lastUse = 0;
};

QString identityOf(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QString();
    return QStringLiteral("%1:%2.%3:%4")
        .arg(qint64(st.st_size))
        .arg(qint64(st.st_mtim.tv_sec))
        .arg(qint64(st.st_mtim.tv_nsec))
        .arg(quint64(st.st_ino));
}

} // namespace

std::shared_ptr<SerCapture> openCapture(const QString& path, QString* error)
{
    static QMutex mutex;
    static QHash<QString, OpenCapture> open;
    static quint64 clock = 0;
    constexpr int kKeptOpen = 8;

    const QString identity = identityOf(path);
    QMutexLocker lock(&mutex);
    auto it = open.find(path);
    if (it != open.end() && it->identity == identity && !identity.isEmpty()) {
        it->lastUse = ++clock;
        return it->capture;
    }
    std::shared_ptr<SerCapture> capture = SerCapture::open(path, error);
    if (!capture) {
        open.remove(path);
        return nullptr;
    }
    if (open.size() >= kKeptOpen && !open.contains(path)) {
        auto oldest = open.begin();
        for (auto i = open.begin(); i != open.end(); ++i)
            if (i->lastUse < oldest->lastUse)
                oldest = i;
        open.erase(oldest);
    }
    open.insert(path, OpenCapture{capture, identity, ++clock});
    return capture;
}

} // namespace readers
