#pragma once
// SER captures: a 178-byte little-endian header, the frames one after the other (top row first) and
// an optional trailer of one UTC time stamp per frame. A capture is read through a memory mapping,
// one frame at a time; it is never read into memory as a whole.

#include "demosaic.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QString>

#include <memory>

namespace readers {

struct SerHeader {
    static constexpr int kSize = 178;

    enum Colour { Mono = 0, BayerRGGB = 8, BayerGRBG = 9, BayerGBRG = 10, BayerBGGR = 11, RGB = 100, BGR = 101 };

    QByteArray fileId;
    qint32 luId = 0;
    qint32 colorId = 0;
    qint32 littleEndian = 0; // 0: 16-bit samples are little-endian, otherwise big-endian
    qint32 width = 0;
    qint32 height = 0;
    qint32 depth = 0; // significant bits per sample, 1..16
    qint32 frameCount = 0;
    qint64 dateTime = 0;
    qint64 dateTimeUtc = 0;

    // Parses and checks the header; false with *error naming the field that is wrong.
    bool parse(const uchar* bytes, qint64 size, QString* error);

    int planes() const { return colorId >= RGB ? 3 : 1; }
    int bytesPerSample() const { return depth > 8 ? 2 : 1; }
    qint64 frameBytes() const { return qint64(width) * height * planes() * bytesPerSample(); }
    Cfa pattern() const;
};

// Writes a header (for tools and tests that make captures).
QByteArray serHeaderBytes(const SerHeader& header);

class SerCapture {
public:
    // Opens and maps the capture; null with *error when it cannot be read or its header is refused.
    static std::shared_ptr<SerCapture> open(const QString& path, QString* error);
    ~SerCapture();

    const SerHeader& header() const { return header_; }
    // Whole frames the capture holds (the header may announce more).
    int frameCount() const { return frames_; }
    bool truncated() const { return header_.frameCount > 0 && frames_ < header_.frameCount; }
    bool hasTimeStamps() const { return hasTimes_; }

    // Frame index (from 0) as an image; the file's own pattern unless pattern overrides it.
    bool readFrame(int index, Cfa pattern, QImage& image, QString* error) const;
    Cfa ownPattern() const { return header_.pattern(); }
    // The frame's UTC time stamp; invalid without a trailer (or for a zero stamp).
    QDateTime timeStamp(int index) const;

private:
    SerCapture() = default;

    QFile file_;
    const uchar* data_ = nullptr;
    qint64 size_ = 0;
    SerHeader header_;
    int frames_ = 0;
    bool hasTimes_ = false;
};

// The open capture of a path, shared by every reader: a capture stays mapped while it is used, and is
// opened again when the file on disk changes.
std::shared_ptr<SerCapture> openCapture(const QString& path, QString* error);

} // namespace readers
