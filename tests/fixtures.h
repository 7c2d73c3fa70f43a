#pragma once
// Small image fixtures for the suites: images with known pixels written to a temporary folder, the
// plain formulas that expected values are worked out with, a recorder of what a loop reports, and a
// runner of the batch command.

#include "batch.h"
#include "synthetic.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <vector>

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

// Random channels in [lo, hi] everywhere, drawn in raster order.
inline QImage randomImage(int width, int height, quint64 seed, int lo = 0, int hi = 255)
{
    synth::Rng rng(seed);
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(lo + rng.below(hi - lo + 1), lo + rng.below(hi - lo + 1), lo + rng.below(hi - lo + 1)));
    return image;
}

// A band-limited grey surface (a sum of sinusoids with wavelengths of 10 to 60 pixels, levels about
// 30..225) sampled where warp(x, y, &u, &v) says pixel (x, y) shows the scene point (u, v); noise is
// gaussian with the given standard deviation in 8-bit levels.
template <class Warp>
QImage texture(int width, int height, Warp warp, double noise = 0.0, quint64 seed = 1)
{
    struct Wave { double kx, ky, phase, amplitude; };
    static const std::vector<Wave> waves = [] {
        synth::Rng rng(77);
        std::vector<Wave> w;
        for (int i = 0; i < 14; ++i) {
            const double length = 10.0 + 50.0 * rng.uniform(), angle = 6.283185307179586 * rng.uniform();
            w.push_back({std::cos(angle) * 6.283185307179586 / length, std::sin(angle) * 6.283185307179586 / length,
                         6.283185307179586 * rng.uniform(), 7.0 + 7.0 * rng.uniform()});
        }
        return w;
    }();
    synth::Rng rng(seed);
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            double u = x, v = y;
            warp(x, y, &u, &v);
            double level = 128.0;
            for (const Wave& w : waves)
                level += w.amplitude * std::sin(w.kx * u + w.ky * v + w.phase);
            if (noise > 0)
                level += noise * rng.gaussian();
            const int g = int(std::lround(std::clamp(level, 0.0, 255.0)));
            line[x] = qRgb(g, g, g);
        }
    }
    return image;
}

// The texture shifted: pixel (x, y) shows the scene point (x - dx, y - dy).
inline QImage shiftedTexture(int width, int height, double dx, double dy, double noise = 0.0, quint64 seed = 1)
{
    return texture(width, height, [dx, dy](int x, int y, double* u, double* v) {
        *u = x - dx;
        *v = y - dy;
    }, noise, seed);
}

// ---- exact values ------------------------------------------------------------------------------

// QCOMPARE takes floats within a relative 1e-5 as equal; the engine's values are pinned to the bit
// (nine significant digits tell any two floats apart).
inline QString exact(float value)
{
    return QString::number(double(value), 'g', 9);
}

// An 8-bit channel as the single-precision fraction the engine keeps.
inline float fraction(int value8) { return float(value8 / 255.0); }

// 8 bits from a fraction: rounded to 16 bits, then the high byte.
inline int byteOf(double f) { return int(f * 65535.0 + 0.5) >> 8; }

// The 8-bit luminance the feature detection compares with the threshold, straight from its
// definition: the weighted fractions added one after the other in double precision.
inline int detectionLuma(int r, int g, int b)
{
    double t = r / 255.0 * 0.2126;
    t = t + g / 255.0 * 0.7152;
    t = t + b / 255.0 * 0.0722;
    return int(255.0 * t);
}

inline int detectionLuma(QRgb p) { return detectionLuma(qRed(p), qGreen(p), qBlue(p)); }

// Luminance of the sharpness measures: 255 x the Rec. 709 weighted fractions in double, as a float.
inline float sharpnessLuma(QRgb p)
{
    return float(255.0 * (0.2126 * (qRed(p) / 255.0) + 0.7152 * (qGreen(p) / 255.0) + 0.0722 * (qBlue(p) / 255.0)));
}

// The sharpness measures as defined: steps above the threshold, summed with truncation after every step.
inline float definitionH(const QImage& image)
{
    int sum = 0, n = 0;
    for (int y = 0; y <= image.height() - 2; ++y)
        for (int x = 0; x <= image.width() - 3; ++x) {
            const float d = std::fabs(sharpnessLuma(image.pixel(x, y)) - sharpnessLuma(image.pixel(x + 1, y)));
            if (d > 3.0f) {
                ++n;
                sum = int(sum + d);
            }
        }
    return n > 0 ? float(sum) / n : 0.0f;
}

inline float definitionV(const QImage& image)
{
    int sum = 0, n = 0;
    for (int x = 0; x <= image.width() - 2; ++x)
        for (int y = 0; y <= image.height() - 3; ++y) {
            const float d = std::fabs(sharpnessLuma(image.pixel(x, y)) - sharpnessLuma(image.pixel(x, y + 1)));
            if (d > 2.0f) {
                ++n;
                sum = int(sum + d);
            }
        }
    return n > 0 ? float(sum) / n : 0.0f;
}

// Mean colour of an image as the colour normalisation sees it: channel fractions summed in single
// precision in raster order, divided by the pixel count, kept as a colour (16 bits per channel).
inline QColor meanOf(const QImage& image)
{
    float r = 0.0f, g = 0.0f, b = 0.0f;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            r = float(r + qRed(p) / 255.0);
            g = float(g + qGreen(p) / 255.0);
            b = float(b + qBlue(p) / 255.0);
        }
    const float n = float(image.width() * image.height());
    return QColor::fromRgbF(r / n, g / n, b / n);
}

// A colour's three 16-bit channels and alpha as one number, for exact comparisons.
inline quint64 rgba64(const QColor& c) { return quint64(c.rgba64()); }

// ---- loop reports ------------------------------------------------------------------------------

// Records what a loop reports; frames listed in 'unchecked' do not take part, and an unreadable
// frame is noted and the run goes on.
struct Recorder {
    QStringList log;
    QStringList status;
    QVector<QImage> shown;
    QSet<int> unchecked;
    QStringList unreadable;

    batch::Progress progress()
    {
        batch::Progress p;
        p.log = [this](const QString& line) { log << line; };
        p.status = [this](const QString& text) { status << text; };
        p.show = [this](const QImage& image) { shown << image; };
        p.selected = [this](int index) { return !unchecked.contains(index); };
        p.unreadable = [this](const QString& path) {
            unreadable << path;
            return true;
        };
        return p;
    }
};

// A per-frame line: the head, then " // Processing time: " and seconds with two decimals.
inline bool isTimedLine(const QString& line, const QString& head)
{
    static const QRegularExpression tail(QStringLiteral("^ // Processing time: \\d+\\.\\d\\ds$"));
    return line.startsWith(head) && tail.match(line.mid(head.size())).hasMatch();
}

inline bool isTotalLine(const QString& line)
{
    static const QRegularExpression total(QStringLiteral("^Total processing time: \\d+\\.\\d\\ds$"));
    return total.match(line).hasMatch();
}

// Processing times differ from run to run: the seconds at the end of a line become "#s".
inline QStringList maskTimes(QStringList lines)
{
    static const QRegularExpression seconds(QStringLiteral("\\d+\\.\\d\\ds$"));
    for (QString& line : lines)
        line.replace(seconds, QStringLiteral("#s"));
    return lines;
}

// What the reference pick is asked for, without supersampling.
inline batch::ReferenceRequest referenceRequest(int index, int threshold, int filter, int radius)
{
    batch::ReferenceRequest r;
    r.index = index;
    r.threshold = threshold;
    r.filter = filter;
    r.radius = radius;
    r.scale = 1;
    return r;
}

// ---- the batch command -------------------------------------------------------------------------

// One run of nebulo-cli: its exit status (-1 for a crash or a run that did not end within two
// minutes) and its output lines, empty lines left out.
struct CliRun {
    int status = -1;
    QStringList out;
    QStringList err;
};

inline CliRun runCli(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral(NEBULO_CLI_PATH), arguments);
    CliRun r;
    if (!p.waitForFinished(120000))
        return r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(p.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return r;
}

} // namespace fixtures
