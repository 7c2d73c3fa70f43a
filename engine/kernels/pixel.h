#pragma once
// Conversions between channel samples (8 or 16 bits) and the fractions the engine computes with, and
// the luminance measures. Every pixel loop of the engine goes through these helpers so that the same
// value is rounded the same way everywhere.
//
// A frame of 8 bits per channel is a Format_RGB32 image (QRgb pixels); a deeper frame is a
// Format_RGBX64 image (QRgba64 pixels, 16 bits per channel). Kernels that read either are templates
// over the pixel type and go through Samples<Pixel>.

#include <QColor>
#include <QImage>
#include <QtGlobal>

#include <new>

namespace px {

// A channel fraction: the 8-bit value divided by 255, in double precision.
inline double fraction(int value8) { return value8 / 255.0; }

// The fractions v / Max of every sample value v, computed by the compiler (a correctly rounded
// division, as at run time): reading them costs neither a division nor an initialisation check.
template <int Max>
struct Fractions {
    double v[Max + 1];
};
template <int Max>
constexpr Fractions<Max> makeFractions()
{
    Fractions<Max> t{};
    for (int i = 0; i <= Max; ++i)
        t.v[i] = i / double(Max);
    return t;
}
inline constexpr Fractions<255> kFractionTable = makeFractions<255>();
inline constexpr Fractions<65535> kFraction16Table = makeFractions<65535>();
inline const double* fractionTable() { return kFractionTable.v; }

// A 16-bit channel (as stored by a colour built from fractions) as a fraction: value16 / 65535.0.
inline double fraction16(int value16) { return kFraction16Table.v[value16]; }

// A fraction in [0, 1] rounded to 16 bits, the precision a colour built from fractions keeps.
inline int to16(double f) { return int(f * 65535.0 + 0.5); }

// A fraction in [0, 1] back to 8 bits: rounded to 16 bits first, then the high byte.
inline int toByte(double f) { return to16(f) >> 8; }

// The channels of one pixel type, and the two conversions: a sample to its fraction, a fraction in
// [0, 1] back to a sample. (257 v) / 65535.0 and v / 255.0 are the same double, so a 16-bit frame
// whose samples are 257 v gives the fractions of the 8-bit frame with samples v.
template <class Pixel>
struct Samples;

template <>
struct Samples<QRgb> {
    static constexpr QImage::Format kFormat = QImage::Format_RGB32;
    static constexpr int kMax = 255;
    static int red(QRgb p) { return qRed(p); }
    static int green(QRgb p) { return qGreen(p); }
    static int blue(QRgb p) { return qBlue(p); }
    static double fraction(int sample) { return fractionTable()[sample]; }
    static int sample(double f) { return toByte(f); }
    static QRgb pixel(int r, int g, int b) { return qRgb(r, g, b); }
};

template <>
struct Samples<QRgba64> {
    static constexpr QImage::Format kFormat = QImage::Format_RGBX64;
    static constexpr int kMax = 65535;
    static int red(QRgba64 p) { return p.red(); }
    static int green(QRgba64 p) { return p.green(); }
    static int blue(QRgba64 p) { return p.blue(); }
    static double fraction(int sample) { return fraction16(sample); }
    static int sample(double f) { return to16(f); }
    static QRgba64 pixel(int r, int g, int b) { return QRgba64::fromRgba64(quint16(r), quint16(g), quint16(b), 65535); }
};

// A frame deeper than 8 bits per channel.
inline bool isDeep(const QImage& image) { return image.format() == QImage::Format_RGBX64; }

// Calls f with a value of the frame's pixel type (QRgb or QRgba64), for dispatching to a template.
template <class F>
decltype(auto) withPixelType(const QImage& image, F&& f)
{
    if (isDeep(image))
        return f(QRgba64());
    return f(QRgb());
}

// An opaque 32-bit pixel from three fractions in [0, 1].
inline QRgb rgbFromFractions(double r, double g, double b)
{
    return qRgb(toByte(r), toByte(g), toByte(b));
}

// A colour that keeps three fractions at 16-bit precision.
inline QColor colourFromFractions(double r, double g, double b)
{
    return QColor::fromRgba64(quint16(to16(r)), quint16(to16(g)), quint16(to16(b)), 65535);
}

// The three fractions of such a colour.
inline double redFraction(const QColor& c) { return fraction16(c.rgba64().red()); }
inline double greenFraction(const QColor& c) { return fraction16(c.rgba64().green()); }
inline double blueFraction(const QColor& c) { return fraction16(c.rgba64().blue()); }

// Rec. 709 luma weights.
constexpr double kLumaR = 0.2126;
constexpr double kLumaG = 0.7152;
constexpr double kLumaB = 0.0722;

// The Rec. 709 weighted sum of the channel fractions, red first, in double precision, from tables of
// the three terms (the same values as computing them per pixel). The detection truncates 255 x sum;
// the sharpness measures keep 255 x sum as a float.
struct LumaTerms {
    double r[256], g[256], b[256];
    LumaTerms()
    {
        for (int v = 0; v < 256; ++v) {
            r[v] = fraction(v) * kLumaR;
            g[v] = fraction(v) * kLumaG;
            b[v] = fraction(v) * kLumaB;
        }
    }
    double sum(QRgb p) const
    {
        double t = r[qRed(p)];
        t = t + g[qGreen(p)];
        t = t + b[qBlue(p)];
        return t;
    }
    int detectionLuma(QRgb p) const { return int(255.0 * sum(p)); }
    float qualityLuma(QRgb p) const { return float(255.0 * sum(p)); }

    static const LumaTerms& instance()
    {
        static const LumaTerms terms;
        return terms;
    }
};

// A read-only view of one row of a 32-bit image. Reading never detaches, whatever the image's constness.
inline const QRgb* row(const QImage& image, int y) { return reinterpret_cast<const QRgb*>(image.constScanLine(y)); }
// The same for either pixel type.
template <class Pixel>
inline const Pixel* rowOf(const QImage& image, int y) { return reinterpret_cast<const Pixel*>(image.constScanLine(y)); }
// A writable row, for single-threaded writes (it detaches a shared image). A detach that finds no
// memory throws std::bad_alloc instead of handing out a null row.
inline QRgb* writableRow(QImage& image, int y)
{
    uchar* line = image.scanLine(y);
    if (!line)
        throw std::bad_alloc();
    return reinterpret_cast<QRgb*>(line);
}

// Writable rows for loops that run on several threads. Taking the bits detaches a shared image once,
// on the calling thread; writing through QImage::scanLine from several threads would detach (and
// count detaches) concurrently.
template <class Pixel>
class RowsOf {
public:
    explicit RowsOf(QImage& image) : bits_(image.bits()), stride_(image.bytesPerLine())
    {
        if (!bits_ && !image.isNull())
            throw std::bad_alloc(); // the detach found no memory
    }
    Pixel* operator()(int y) const { return reinterpret_cast<Pixel*>(bits_ + stride_ * y); }

private:
    uchar* bits_;
    qsizetype stride_;
};
using RowWriter = RowsOf<QRgb>;

// The 8-bit view of a frame, as the alignment and the pattern matching see it: a 16-bit sample s
// becomes s >> 8. An 8-bit frame is returned as it is (shared, not copied).
QImage view8(const QImage& frame);

} // namespace px
