#pragma once
// Writes SER captures with every header field under the caller's control (fields at their byte
// offsets, little-endian), for the suites and the benchmarks.

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QString>
#include <QVector>
#include <QtEndian>

#include <cstring>

namespace serwriter {

struct Capture {
    QByteArray fileId = "LUCAM-RECORDER";
    qint32 colorId = 0;
    qint32 littleEndian = 0;
    qint32 width = 0, height = 0;
    qint32 depth = 8;
    qint32 frameCount = -1;      // -1: the number of frames
    QVector<QByteArray> frames;  // raw frame data as stored
    QVector<qint64> timeStamps;  // the trailer (empty: none)
    qint64 cutBytes = 0;         // bytes dropped from the end (an interrupted capture)
};

inline QByteArray bytes(const Capture& c)
{
    QByteArray out(178, '\0');
    uchar* p = reinterpret_cast<uchar*>(out.data());
    std::memcpy(p, c.fileId.constData(), std::size_t(qMin<qsizetype>(14, c.fileId.size())));
    qToLittleEndian<qint32>(0, p + 14);
    qToLittleEndian<qint32>(c.colorId, p + 18);
    qToLittleEndian<qint32>(c.littleEndian, p + 22);
    qToLittleEndian<qint32>(c.width, p + 26);
    qToLittleEndian<qint32>(c.height, p + 30);
    qToLittleEndian<qint32>(c.depth, p + 34);
    qToLittleEndian<qint32>(c.frameCount < 0 ? qint32(c.frames.size()) : c.frameCount, p + 38);
    for (const QByteArray& f : c.frames)
        out += f;
    for (qint64 t : c.timeStamps) {
        uchar stamp[8];
        qToLittleEndian<qint64>(t, stamp);
        out.append(reinterpret_cast<const char*>(stamp), 8);
    }
    out.chop(c.cutBytes);
    return out;
}

inline bool write(const QString& path, const Capture& c)
{
    const QByteArray data = bytes(c);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Samples as stored: one byte each, or two bytes in the given order.
inline QByteArray samples(const QVector<int>& values, int bytesPerSample, bool bigEndian = false)
{
    QByteArray out;
    out.reserve(values.size() * bytesPerSample);
    for (int v : values) {
        if (bytesPerSample == 1) {
            out.append(char(v & 0xff));
        } else if (bigEndian) {
            out.append(char((v >> 8) & 0xff));
            out.append(char(v & 0xff));
        } else {
            out.append(char(v & 0xff));
            out.append(char((v >> 8) & 0xff));
        }
    }
    return out;
}

// An 8-bit RGB frame of a 32-bit image, R, G, B per pixel (BGR when bgr).
inline QByteArray rgbFrame(const QImage& image, bool bgr = false)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    QByteArray out;
    out.reserve(qsizetype(rgb.width()) * rgb.height() * 3);
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            const int r = qRed(line[x]), g = qGreen(line[x]), b = qBlue(line[x]);
            out.append(char(bgr ? b : r));
            out.append(char(g));
            out.append(char(bgr ? r : b));
        }
    }
    return out;
}

} // namespace serwriter
