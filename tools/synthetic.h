#pragma once
// Synthetic planetary imagery shared by the bundled sample sequence, the tests and the benchmarks.
//
// Every image is QImage::Format_RGB32 and every byte is reproducible: the noise comes from our own
// PRNG with an explicit seed, and the arithmetic is limited to +, -, *, / and sqrt (correctly rounded
// in IEEE 754), so a given set of parameters yields the same pixels on every machine and compiler.
//
// Coordinates: pixel (x, y) has its centre at (x, y). A target rendered at cx = 160.0 is therefore
// centred on column 160, and a luminance centroid taken with integer pixel indices lands near cx.

#include <QImage>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

namespace synth {

// splitmix64: tiny, fast and identical everywhere, which is all that fixtures need.
class Rng {
public:
    explicit Rng(quint64 seed) : state_(seed) {}
    quint64 next();
    // Uniform in [0, 1), 53 bits.
    double uniform();
    // Uniform integer in [0, n); 0 when n <= 0.
    int below(int n);
    // Approximately standard normal: the sum of 12 uniforms minus 6 (bounded to +-6, mean 0, variance 1).
    double gaussian();

private:
    quint64 state_;
};

// A Jupiter-like disk: warm zones and brown belts, limb darkening, and (when `details` is on) festooned
// belt edges, two ovals and a small moon so that pattern matching has structure to lock on to.
struct Planet {
    int width = 320;
    int height = 240;
    double cx = 160, cy = 120;   // sub-pixel centre of the disk
    double radius = 45;          // in pixels
    double blur = 0.0;           // gaussian sigma in pixels; <= 0 leaves the image sharp
    double noise = 0.0;          // additive noise std-dev in 8-bit levels, independent per channel
    quint32 seed = 1;            // drives the noise only: the scene itself does not depend on it
    QRgb background = qRgb(0, 0, 0);
    bool details = true;         // off: bands only, mirror-symmetric about (cx, cy), no moon
};

// The planet as described; a null image when the size is not positive.
QImage renderPlanet(const Planet& planet);

// Positions of the hot pixels of a sensor: distinct, in a fixed order, and each count's positions are
// the first ones of any larger count. At most width * height positions.
QVector<QPoint> hotPixelPositions(int width, int height, int hotPixels, quint32 sensorSeed = 0);

// A dark frame: every channel `level` plus gaussian noise (std-dev `noise`, both in 8-bit levels),
// and `hotPixels` stuck pixels, 170..255 per channel and free of noise. `seed` drives the noise of this
// exposure; the hot pixels belong to the sensor, so darks that differ only in `seed` share them.
QImage renderDark(int width, int height, quint32 seed, double level, double noise, int hotPixels,
                  quint32 sensorSeed = 0);

// Per-channel sum clamped at 255, e.g. a planet plus a dark makes a light frame of that sensor.
// Null when the sizes differ.
QImage addSaturated(const QImage& a, const QImage& b);

// The image moved by whole pixels: content at (x, y) goes to (x + dx, y + dy); uncovered pixels get `fill`.
QImage shiftedCopy(const QImage& image, int dx, int dy, QRgb fill = qRgb(0, 0, 0));

// A w x h image of one colour.
QImage uniform(int w, int h, QRgb colour);

// Writes prefix_00.png, prefix_01.png, ... into dir (created when missing; more digits when there
// are more than 100 frames) and returns the paths in order; empty when any file cannot be written.
QStringList writeSequence(const QString& dir, const QString& prefix, const QVector<QImage>& frames);

// A capture-like sequence written frame by frame as prefix_000.png, ...: a planet of radius height / 6
// near the centre of a width x height frame of black sky, moved by a few pixels and blurred more or
// less from frame to frame, with noise. The frames that exist already with the right size are kept.
// Returns the paths in order; empty when a file cannot be written.
QStringList writeCapture(const QString& dir, const QString& prefix, int count, int width, int height);

} // namespace synth
