#pragma once
// Frames in, plain images out. A frame is named by its file, or, for a frame of a SER capture, by the
// capture's path followed by "#" and the frame's number counted from 1 ("capture.ser#3"). An 8-bit
// frame is a QImage::Format_RGB32 image, a deeper one QImage::Format_RGBX64 (16 bits per channel,
// alpha 0xFFFF); grey data has R = G = B.

#include "demosaic.h"

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QStringList>

namespace readers {

// How single-channel frames are turned into colour: Auto follows the file (a SER colour ID, a FITS
// BAYERPAT keyword), None keeps them grey, a pattern demosaics every single-channel frame with it.
// RGB frames are never changed.
enum class Debayer { Auto, None, RGGB, GRBG, GBRG, BGGR };

// "auto", "none", "RGGB", "GRBG", "GBRG", "BGGR" (any case); false for anything else.
bool debayerFromName(const QString& name, Debayer* choice);
QString debayerName(Debayer choice);

struct ReadOptions {
    Debayer debayer = Debayer::Auto;
};

// "capture.ser" and 3 give "capture.ser#3".
QString frameName(const QString& capture, int number);
// The file a frame name reads from; *number receives the frame number (0 for an ordinary file).
QString sourceFile(const QString& name, int* number = nullptr);
// A SER capture, by its suffix.
bool isCapture(const QString& path);

// Size, modification time and file number of the file a frame name reads from ("missing" when it
// does not exist): a file rewritten on disk is a new frame.
QString fileIdentity(const QString& name);

// The first of the frame names whose file is the file at path, after links (same device and file
// number: symbolic and hard links count); empty when none is, or when nothing exists at path yet.
// Writing to path would replace that input.
QString inputAt(const QString& path, const QStringList& names);

// The list with every capture replaced by the names of its frames, in order. A capture that holds
// fewer whole frames than its header announces adds a line to *notes. False with *error (naming the
// file and what is wrong) when a capture cannot be opened; *frames is then left alone.
bool expandSequence(const QStringList& paths, QStringList* frames, QStringList* notes, QString* error);

// Reads one frame. False with *error (naming the file) when it cannot be read.
bool readFrame(const QString& name, const ReadOptions& options, QImage& image, QString* error = nullptr);

// The frame's UTC time stamp from its capture's trailer; invalid when there is none.
QDateTime frameTime(const QString& name);

} // namespace readers
