#include "synthetic.h"

#include <QDir>
#include <QImageReader>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace synth {

namespace {

// Distinct noise streams for distinct purposes, so that a planet and a dark rendered with the same
// seed (and summed into a light frame) do not carry the same noise twice.
enum StreamTag : quint64 { kPlanetNoise = 0x504c414eu, kDarkNoise = 0x4441524bu, kSensor = 0x53454e53u };

// splitmix64's finaliser: a bijection, so distinct (seed, tag) pairs start distinct streams.
quint64 mix64(quint64 z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

Rng streamFor(quint32 seed, StreamTag tag) { return Rng(mix64((quint64(seed) << 32) | tag)); }

double clamp01(double t) { return t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t); }

double smoothstep(double edge0, double edge1, double x)
{
    const double t = clamp01((x - edge0) / (edge1 - edge0));
    return t * t * (3.0 - 2.0 * t);
}

// 1 inside [lo, hi], 0 outside, with soft edges of half-width `soft`.
double band(double a, double lo, double hi, double soft)
{
    return smoothstep(lo - soft, lo + soft, a) * (1.0 - smoothstep(hi - soft, hi + soft, a));
}

// libm's exp() may differ in the last bit between library versions, which would change a rounded
// pixel somewhere. Halving until the argument is tiny, a short Taylor series and squaring back only
// use operations that IEEE 754 rounds exactly the same everywhere.
double portableExp(double x)
{
    if (!(x > -700.0))
        return 0.0;
    if (x > 700.0)
        x = 700.0;
    int halvings = 0;
    while (std::fabs(x) > 1.0 / 1024.0) {
        x *= 0.5;
        ++halvings;
    }
    double s = 1.0 + x * (1.0 + x * (0.5 + x * (1.0 / 6.0 + x * (1.0 / 24.0 + x * (1.0 / 120.0)))));
    for (int i = 0; i < halvings; ++i)
        s *= s;
    return s;
}

// A smooth periodic wave in [0, 1] with period 1, built without trigonometry for the same reason.
double wave(double t)
{
    const double f = t - std::floor(t);
    const double tri = std::fabs(2.0 * f - 1.0);
    return tri * tri * (3.0 - 2.0 * tri);
}

struct Colour {
    double r, g, b;
};

Colour mix(const Colour& a, const Colour& b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// Three planes of doubles in 8-bit levels; rendering happens here and is rounded once at the end.
struct Canvas {
    int width = 0;
    int height = 0;
    std::vector<double> v; // interleaved r, g, b

    Canvas(int w, int h, QRgb fill) : width(w), height(h), v(std::size_t(w) * std::size_t(h) * 3)
    {
        for (std::size_t i = 0; i < v.size(); i += 3) {
            v[i] = qRed(fill);
            v[i + 1] = qGreen(fill);
            v[i + 2] = qBlue(fill);
        }
    }
    double* at(int x, int y) { return v.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3; }

    // Blends `c` over the pixel with the given coverage in [0, 1].
    void blend(int x, int y, const Colour& c, double coverage)
    {
        double* p = at(x, y);
        p[0] = p[0] + (c.r - p[0]) * coverage;
        p[1] = p[1] + (c.g - p[1]) * coverage;
        p[2] = p[2] + (c.b - p[2]) * coverage;
    }
};

// Pixel range [first, last] touched by a disk of radius r around c, clipped to [0, size).
void span(double c, double r, int size, int& first, int& last)
{
    first = std::max(0, int(std::floor(c - r - 1.0)));
    last = std::min(size - 1, int(std::ceil(c + r + 1.0)));
}

// Coverage of a pixel whose centre lies at distance d from the centre of a disk of radius r:
// linear across one pixel at the rim, so the disk moves smoothly with sub-pixel centres.
double rimCoverage(double r, double d) { return clamp01(r + 0.5 - d); }

struct Oval {
    double u, v;   // centre, in planet radii from the disk centre
    double au, av; // semi-axes, in planet radii
    Colour colour;
};

void drawPlanet(Canvas& canvas, const Planet& p)
{
    const double r = p.radius;
    if (!(r > 0.0))
        return;
    const Colour zone{228, 208, 172};
    const Colour belt{168, 112, 74};
    const Colour polar{150, 128, 108};
    const Oval ovals[] = {
        {0.30, 0.40, 0.17, 0.09, {212, 128, 92}},   // the great red oval south of the equator
        {-0.35, -0.22, 0.07, 0.04, {118, 74, 50}},  // a dark barge in the northern belt
        {-0.10, 0.53, 0.06, 0.035, {246, 240, 228}}, // a white oval in the southern temperate zone
    };

    int x0, x1, y0, y1;
    span(p.cx, r, canvas.width, x0, x1);
    span(p.cy, r, canvas.height, y0, y1);
    for (int y = y0; y <= y1; ++y) {
        const double dy = y - p.cy;
        for (int x = x0; x <= x1; ++x) {
            const double dx = x - p.cx;
            const double d2 = dx * dx + dy * dy;
            const double coverage = rimCoverage(r, std::sqrt(d2));
            if (coverage <= 0.0)
                continue;
            const double u = dx / r;
            const double v = dy / r;
            const double mu = std::sqrt(std::max(0.0, 1.0 - d2 / (r * r)));
            const double limb = 0.42 + 0.58 * mu;

            double a = std::fabs(v);
            if (p.details)
                a = a + 0.025 * (wave(u * 2.3 + 0.17) - 0.5) + 0.012 * (wave(u * 5.1 - v * 1.7) - 0.5);
            Colour c = mix(zone, belt, band(a, 0.12, 0.32, 0.04));
            c = mix(c, belt, 0.7 * band(a, 0.46, 0.56, 0.03));
            c = mix(c, polar, 0.8 * smoothstep(0.72, 0.86, a));
            if (p.details) {
                for (const Oval& o : ovals) {
                    const double eu = (u - o.u) / o.au;
                    const double ev = (v - o.v) / o.av;
                    c = mix(c, o.colour, 1.0 - smoothstep(0.55, 1.0, eu * eu + ev * ev));
                }
            }
            canvas.blend(x, y, {c.r * limb, c.g * limb, c.b * limb}, coverage);
        }
    }

    if (!p.details)
        return;
    const double mr = std::max(1.2, 0.055 * r);
    const double mx = p.cx + 1.9 * r;
    const double my = p.cy - 0.22 * r;
    const Colour moon{214, 204, 188};
    span(mx, mr, canvas.width, x0, x1);
    span(my, mr, canvas.height, y0, y1);
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            const double dx = x - mx;
            const double dy = y - my;
            const double coverage = rimCoverage(mr, std::sqrt(dx * dx + dy * dy));
            if (coverage > 0.0)
                canvas.blend(x, y, moon, coverage);
        }
    }
}

// Separable gaussian; edges repeat the border pixel so a uniform background stays uniform.
void blur(Canvas& canvas, double sigma)
{
    if (!(sigma > 0.0))
        return;
    const int radius = std::max(1, int(std::ceil(3.0 * sigma)));
    std::vector<double> weights(std::size_t(radius) + 1);
    double total = 0.0;
    for (int i = 0; i <= radius; ++i) {
        weights[std::size_t(i)] = portableExp(-double(i * i) / (2.0 * sigma * sigma));
        total += (i == 0 ? 1.0 : 2.0) * weights[std::size_t(i)];
    }
    for (double& w : weights)
        w /= total;

    const int w = canvas.width;
    const int h = canvas.height;
    std::vector<double> tmp(canvas.v.size());
    auto pass = [&](const std::vector<double>& src, std::vector<double>& dst, bool horizontal) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                double acc[3] = {0.0, 0.0, 0.0};
                for (int k = -radius; k <= radius; ++k) {
                    const int sx = horizontal ? std::clamp(x + k, 0, w - 1) : x;
                    const int sy = horizontal ? y : std::clamp(y + k, 0, h - 1);
                    const double wk = weights[std::size_t(k < 0 ? -k : k)];
                    const double* s = src.data() + (std::size_t(sy) * std::size_t(w) + std::size_t(sx)) * 3;
                    acc[0] += wk * s[0];
                    acc[1] += wk * s[1];
                    acc[2] += wk * s[2];
                }
                double* d = dst.data() + (std::size_t(y) * std::size_t(w) + std::size_t(x)) * 3;
                d[0] = acc[0];
                d[1] = acc[1];
                d[2] = acc[2];
            }
        }
    };
    pass(canvas.v, tmp, true);
    pass(tmp, canvas.v, false);
}

void addNoise(Canvas& canvas, double sigma, Rng rng)
{
    if (!(sigma > 0.0))
        return;
    for (double& value : canvas.v)
        value += sigma * rng.gaussian();
}

int toLevel(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= 255.0)
        return 255;
    return int(value + 0.5);
}

QImage toImage(const Canvas& canvas)
{
    QImage image(canvas.width, canvas.height, QImage::Format_RGB32);
    for (int y = 0; y < canvas.height; ++y) {
        QRgb* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        const double* in = canvas.v.data() + std::size_t(y) * std::size_t(canvas.width) * 3;
        for (int x = 0; x < canvas.width; ++x, in += 3)
            out[x] = qRgb(toLevel(in[0]), toLevel(in[1]), toLevel(in[2]));
    }
    return image;
}

struct HotPixel {
    QPoint position;
    QRgb value;
};

std::vector<HotPixel> hotPixels(int width, int height, int count, quint32 sensorSeed)
{
    std::vector<HotPixel> result;
    if (width <= 0 || height <= 0 || count <= 0)
        return result;
    const qint64 area = qint64(width) * qint64(height);
    count = int(std::min<qint64>(count, area));
    std::vector<bool> taken(std::size_t(area), false);
    Rng rng = streamFor(sensorSeed, kSensor);
    result.reserve(std::size_t(count));
    while (int(result.size()) < count) {
        const int x = rng.below(width);
        const int y = rng.below(height);
        const std::size_t index = std::size_t(y) * std::size_t(width) + std::size_t(x);
        if (taken[index])
            continue;
        taken[index] = true;
        // Drawn right after the position, so a larger count only appends pixels.
        const int r = 170 + rng.below(86);
        const int g = 170 + rng.below(86);
        const int b = 170 + rng.below(86);
        result.push_back({QPoint(x, y), qRgb(r, g, b)});
    }
    return result;
}

} // namespace

quint64 Rng::next()
{
    state_ += 0x9e3779b97f4a7c15ull;
    return mix64(state_);
}

double Rng::uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }

int Rng::below(int n)
{
    if (n <= 0)
        return 0;
    return int(((next() >> 32) * quint64(n)) >> 32);
}

double Rng::gaussian()
{
    double sum = 0.0;
    for (int i = 0; i < 12; ++i)
        sum += uniform();
    return sum - 6.0;
}

QImage renderPlanet(const Planet& planet)
{
    if (planet.width <= 0 || planet.height <= 0)
        return QImage();
    Canvas canvas(planet.width, planet.height, planet.background);
    drawPlanet(canvas, planet);
    blur(canvas, planet.blur);
    addNoise(canvas, planet.noise, streamFor(planet.seed, kPlanetNoise));
    return toImage(canvas);
}

QVector<QPoint> hotPixelPositions(int width, int height, int hotPixelCount, quint32 sensorSeed)
{
    QVector<QPoint> positions;
    for (const HotPixel& hot : hotPixels(width, height, hotPixelCount, sensorSeed))
        positions.append(hot.position);
    return positions;
}

QImage renderDark(int width, int height, quint32 seed, double level, double noise, int hotPixelCount,
                  quint32 sensorSeed)
{
    if (width <= 0 || height <= 0)
        return QImage();
    Canvas canvas(width, height, qRgb(0, 0, 0));
    std::fill(canvas.v.begin(), canvas.v.end(), level);
    addNoise(canvas, noise, streamFor(seed, kDarkNoise));
    QImage image = toImage(canvas);
    for (const HotPixel& hot : hotPixels(width, height, hotPixelCount, sensorSeed))
        reinterpret_cast<QRgb*>(image.scanLine(hot.position.y()))[hot.position.x()] = hot.value;
    return image;
}

QImage addSaturated(const QImage& a, const QImage& b)
{
    if (a.isNull() || a.size() != b.size())
        return QImage();
    const QImage ra = a.convertToFormat(QImage::Format_RGB32);
    const QImage rb = b.convertToFormat(QImage::Format_RGB32);
    QImage out(a.size(), QImage::Format_RGB32);
    for (int y = 0; y < out.height(); ++y) {
        const QRgb* pa = reinterpret_cast<const QRgb*>(ra.constScanLine(y));
        const QRgb* pb = reinterpret_cast<const QRgb*>(rb.constScanLine(y));
        QRgb* po = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            po[x] = qRgb(std::min(255, qRed(pa[x]) + qRed(pb[x])), std::min(255, qGreen(pa[x]) + qGreen(pb[x])),
                         std::min(255, qBlue(pa[x]) + qBlue(pb[x])));
        }
    }
    return out;
}

QImage shiftedCopy(const QImage& image, int dx, int dy, QRgb fill)
{
    if (image.isNull())
        return QImage();
    const QImage src = image.convertToFormat(QImage::Format_RGB32);
    QImage out = uniform(src.width(), src.height(), fill);
    const int w = src.width();
    const int h = src.height();
    // Destination columns [dstX0, dstX1) read source columns shifted back by dx.
    const int dstX0 = std::clamp(dx, 0, w);
    const int dstX1 = std::clamp(w + dx, 0, w);
    if (dstX1 <= dstX0)
        return out;
    for (int y = std::max(0, dy); y < std::min(h, h + dy); ++y) {
        const QRgb* s = reinterpret_cast<const QRgb*>(src.constScanLine(y - dy));
        QRgb* d = reinterpret_cast<QRgb*>(out.scanLine(y));
        std::memcpy(d + dstX0, s + (dstX0 - dx), std::size_t(dstX1 - dstX0) * sizeof(QRgb));
    }
    return out;
}

QImage uniform(int w, int h, QRgb colour)
{
    if (w <= 0 || h <= 0)
        return QImage();
    QImage image(w, h, QImage::Format_RGB32);
    // RGB32 keeps the alpha byte at 0xff; a translucent colour would make an invalid pixel.
    image.fill(colour | 0xff000000u);
    return image;
}

QStringList writeSequence(const QString& dir, const QString& prefix, const QVector<QImage>& frames)
{
    if (!QDir().mkpath(dir))
        return {};
    int digits = 2;
    for (qsizetype n = frames.size() - 1; n >= 100; n /= 10)
        ++digits;
    const QDir target(dir);
    QStringList paths;
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const QString path = target.filePath(QStringLiteral("%1_%2.png").arg(prefix).arg(i, digits, 10, QLatin1Char('0')));
        if (!frames[i].save(path, "PNG"))
            return {};
        paths.append(path);
    }
    return paths;
}

QStringList writeCapture(const QString& dir, const QString& prefix, int count, int width, int height)
{
    if (!QDir().mkpath(dir))
        return {};
    const QDir target(dir);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = target.filePath(QStringLiteral("%1_%2.png").arg(prefix).arg(i, 3, 10, QLatin1Char('0')));
        paths.append(path);
        if (QImageReader(path).size() == QSize(width, height))
            continue;
        Planet p;
        p.width = width;
        p.height = height;
        p.cx = width / 2.0 + 3.0 * (i % 7) - 9.0;
        p.cy = height / 2.0 + 2.0 * (i % 5) - 4.0;
        p.radius = height / 6.0;
        p.blur = 0.8 + 0.15 * ((i * 5) % 11);
        p.noise = 2.0;
        p.seed = quint32(i + 1);
        if (!renderPlanet(p).save(path, "PNG"))
            return {};
    }
    return paths;
}

} // namespace synth
