#pragma once
// Small image fixtures for the suites: images with known pixels written to a temporary folder.

#include "synthetic.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

namespace fixtures {

// An opaque image of one colour.
inline QImage solid(int width, int height, QRgb colour)
{
    return synth::uniform(width, height, colour);
}

// A copy with one pixel set.
inline QImage withPixel(QImage image, int x, int y, QRgb colour)
{
    image.setPixel(x, y, colour);
    return image;
}

// A bright square of side 'size' centred on (cx, cy) on black: its luminance centroid is (cx, cy)
// for odd sizes.
inline QImage brightSquare(int width, int height, int cx, int cy, int size, QRgb colour = qRgb(220, 200, 180))
{
    QImage image = solid(width, height, qRgb(0, 0, 0));
    const int h = size / 2;
    for (int y = cy - h; y <= cy + h; ++y)
        for (int x = cx - h; x <= cx + h; ++x)
            if (x >= 0 && y >= 0 && x < width && y < height)
                image.setPixel(x, y, colour);
    return image;
}

// Writes one image as name (PNG unless the suffix says otherwise); returns its path.
inline QString write(const QTemporaryDir& dir, const QString& name, const QImage& image)
{
    const QString path = dir.filePath(name);
    if (!image.save(path))
        return QString();
    return path;
}

// Writes frames as prefix_00.png, prefix_01.png, ...; returns the paths in order.
inline QStringList writeSequence(const QTemporaryDir& dir, const QString& prefix, const QVector<QImage>& frames)
{
    return synth::writeSequence(dir.path(), prefix, frames);
}

// A file that has an image suffix but holds no image.
inline QString writeCorrupt(const QTemporaryDir& dir, const QString& name)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("\x89PNG\r\n\x1a\n this is not an image");
    return path;
}

} // namespace fixtures
