#include "seeing.h"

#include "synthetic.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace seeing {

namespace {

constexpr double kPi = 3.14159265358979323846;

quint64 mix64(quint64 z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// A generator for one purpose of one frame, independent of every other.
synth::Rng streamFor(quint32 seed, quint64 purpose, int index)
{
    return synth::Rng(mix64((quint64(seed) << 32) ^ mix64(purpose * 0x100000001b3ull + quint64(index))));
}

// Lattice value noise in [0, 1] with a quintic fade: smooth, cheap and seedable.
class ValueNoise {
public:
    explicit ValueNoise(quint64 seed) : seed_(seed) {}

    double at(double x, double y) const
    {
        const double fx = std::floor(x), fy = std::floor(y);
        const qint64 ix = qint64(fx), iy = qint64(fy);
        const double tx = fade(x - fx), ty = fade(y - fy);
        const double a = lattice(ix, iy), b = lattice(ix + 1, iy);
        const double c = lattice(ix, iy + 1), d = lattice(ix + 1, iy + 1);
        const double top = a + (b - a) * tx;
        const double bottom = c + (d - c) * tx;
        return top + (bottom - top) * ty;
    }

    // Fractal sum of `octaves` octaves, each twice the frequency and `gain` times the amplitude;
    // normalised to [0, 1].
    double fbm(double x, double y, int octaves, double gain = 0.5) const
    {
        double sum = 0, amplitude = 1, total = 0;
        for (int o = 0; o < octaves; ++o) {
            sum += amplitude * at(x + 17.31 * o, y - 9.77 * o);
            total += amplitude;
            amplitude *= gain;
            x *= 2.03;
            y *= 2.03;
        }
        return sum / total;
    }

private:
    static double fade(double t) { return t * t * t * (t * (t * 6 - 15) + 10); }
    double lattice(qint64 x, qint64 y) const
    {
        const quint64 h = mix64(seed_ ^ mix64(quint64(x) * 0x9e3779b97f4a7c15ull + quint64(y) * 0xc2b2ae3d27d4eb4full));
        return double(h >> 11) * (1.0 / 9007199254740992.0);
    }
    quint64 seed_;
};

double clamp01(double t) { return t < 0 ? 0 : (t > 1 ? 1 : t); }
double smoothstep(double a, double b, double x)
{
    const double t = clamp01((x - a) / (b - a));
    return t * t * (3 - 2 * t);
}

struct Rgb {
    double r, g, b;
};
Rgb mix(const Rgb& a, const Rgb& b, double t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }

// ---- the planet -----------------------------------------------------------------------------------

struct Spot {
    double s, v;   // centre: longitude (radians from the central meridian) and planetographic v
    double as, av; // semi-axes
    Rgb colour;
    double strength;
};

// Colour of the planet's surface at longitude s (radians) and latitude coordinate v in [-1, 1].
Rgb planetSurface(double s, double v, const ValueNoise& n, const std::vector<Spot>& spots)
{
    const Rgb zone{236, 220, 188};
    const Rgb belt{170, 112, 76};
    const Rgb darkBelt{138, 86, 58};
    const Rgb polar{156, 140, 122};
    const Rgb festoon{104, 112, 128};

    // Latitude bent by turbulence that is stretched along the bands.
    const double t1 = n.fbm(s * 2.2 + 3.1, v * 9.0, 4) - 0.5;
    const double t2 = n.fbm(s * 7.5 - 1.7, v * 26.0 + 5.0, 3) - 0.5;
    const double a = v + 0.07 * t1 + 0.02 * t2;

    Rgb c = zone;
    // North equatorial belt (dark, wide), south equatorial belt (with a lighter middle), temperate belts.
    c = mix(c, darkBelt, smoothstep(-0.30, -0.26, a) * (1 - smoothstep(-0.10, -0.06, a)));
    c = mix(c, belt, 0.85 * smoothstep(0.08, 0.12, a) * (1 - smoothstep(0.30, 0.34, a)));
    c = mix(c, zone, 0.45 * smoothstep(0.16, 0.19, a) * (1 - smoothstep(0.23, 0.26, a)));
    c = mix(c, belt, 0.65 * smoothstep(-0.48, -0.45, a) * (1 - smoothstep(-0.40, -0.37, a)));
    c = mix(c, belt, 0.55 * smoothstep(0.44, 0.47, a) * (1 - smoothstep(0.52, 0.55, a)));
    c = mix(c, belt, 0.40 * smoothstep(-0.64, -0.61, a) * (1 - smoothstep(-0.57, -0.55, a)));
    c = mix(c, polar, smoothstep(0.62, 0.80, std::fabs(a)));

    // Festoons: dark blue-grey plumes hanging from the south edge of the north equatorial belt.
    const double plume = std::cos(s * 9.0 + 1.3 + 2.0 * t1) * 0.5 + 0.5;
    const double drop = -0.06 + 0.09 * std::pow(plume, 6.0);
    c = mix(c, festoon, 0.75 * smoothstep(-0.08, -0.05, a) * (1 - smoothstep(drop - 0.015, drop + 0.005, a)) * std::pow(plume, 3.0));

    for (const Spot& spot : spots) {
        const double es = (s - spot.s) / spot.as;
        const double ev = (v - spot.v) / spot.av;
        const double r2 = es * es + ev * ev;
        if (r2 < 1.6) {
            c = mix(c, spot.colour, spot.strength * (1 - smoothstep(0.55, 1.0, r2)));
            // A darker collar around the larger spots.
            if (spot.as > 0.15)
                c = mix(c, darkBelt, 0.35 * smoothstep(0.8, 1.0, r2) * (1 - smoothstep(1.0, 1.5, r2)));
        }
    }

    // Fine mottling everywhere.
    const double grain = n.fbm(s * 30.0 + 11.0, v * 60.0 - 7.0, 3) - 0.5;
    const double m = 1.0 + 0.10 * grain;
    return {c.r * m, c.g * m, c.b * m};
}

} // namespace

Plane3 renderPlanetScene(int w, int h, quint32 seed)
{
    Plane3 out(w, h);
    const ValueNoise noise(mix64(seed) ^ 0x504c414e);
    synth::Rng rng = streamFor(seed, 1, 0);
    std::vector<Spot> spots;
    spots.push_back({0.35, 0.38, 0.26, 0.085, {214, 130, 96}, 0.9});   // the great red spot
    for (int i = 0; i < 7; ++i) // white ovals in the southern temperate zones
        spots.push_back({-1.4 + 0.45 * i + 0.1 * rng.uniform(), 0.58 + 0.02 * rng.uniform(), 0.05 + 0.02 * rng.uniform(),
                         0.028, {248, 244, 232}, 0.85});
    for (int i = 0; i < 5; ++i) // dark barges in the north equatorial belt
        spots.push_back({-1.2 + 0.6 * i + 0.15 * rng.uniform(), -0.22 + 0.03 * rng.uniform(), 0.07, 0.025,
                         {104, 62, 44}, 0.8});
    for (int i = 0; i < 10; ++i) // small bright spots along the zones
        spots.push_back({-1.5 + 3.0 * rng.uniform(), -0.7 + 1.4 * rng.uniform(), 0.025, 0.018, {250, 246, 236}, 0.6});

    const double re = 0.28 * std::min(w, h); // equatorial radius
    const double rp = re * 0.935;                          // polar radius
    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
    const double brightness = 0.94;
    constexpr int kSub = 3; // supersampling per axis, for a smooth limb
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double dx0 = x - cx, dy0 = y - cy;
            if (std::fabs(dx0) > re + 2 || std::fabs(dy0) > rp + 2)
                continue;
            double acc[3] = {0, 0, 0};
            for (int sy = 0; sy < kSub; ++sy) {
                for (int sx = 0; sx < kSub; ++sx) {
                    const double u = (dx0 + (sx + 0.5) / kSub - 0.5) / re;
                    const double v = (dy0 + (sy + 0.5) / kSub - 0.5) / rp;
                    const double r2 = u * u + v * v;
                    if (r2 >= 1.0)
                        continue;
                    const double mu = std::sqrt(1.0 - r2);
                    const double lon = std::asin(std::clamp(u / std::sqrt(1.0 - v * v), -1.0, 1.0));
                    const Rgb c = planetSurface(lon, v, noise, spots);
                    const double limb = brightness * std::pow(mu, 0.45) * (0.8 + 0.2 * mu);
                    acc[0] += c.r * limb;
                    acc[1] += c.g * limb;
                    acc[2] += c.b * limb;
                }
            }
            float* p = out.at(x, y);
            p[0] = float(acc[0] / (kSub * kSub));
            p[1] = float(acc[1] / (kSub * kSub));
            p[2] = float(acc[2] / (kSub * kSub));
        }
    }
    return out;
}

// ---- the Moon -------------------------------------------------------------------------------------

Plane3 renderMoonScene(int w, int h, quint32 seed)
{
    const ValueNoise noise(mix64(seed) ^ 0x4d4f4f4e);
    synth::Rng rng = streamFor(seed, 2, 0);
    std::vector<double> height(std::size_t(w) * std::size_t(h), 0.0);
    auto H = [&](int x, int y) -> double& { return height[std::size_t(y) * std::size_t(w) + std::size_t(x)]; };

    // Rolling ground.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            H(x, y) = 14.0 * noise.fbm(x / 90.0, y / 90.0, 6, 0.55);

    // Craters of many sizes: the number larger than r falls as 1/r^2.
    const double rMin = 2.5, rMax = 75.0;
    const int count = int(0.0022 * w * h);
    for (int i = 0; i < count; ++i) {
        const double u = rng.uniform();
        const double r = rMin / std::sqrt(1.0 - u * (1.0 - (rMin / rMax) * (rMin / rMax)));
        const double ccx = rng.uniform() * w, ccy = rng.uniform() * h;
        const double depth = 0.22 * r * (0.8 + 0.4 * rng.uniform());
        const double rim = 0.07 * r;
        const double reach = 2.6 * r;
        const int x0 = std::max(0, int(ccx - reach)), x1 = std::min(w - 1, int(ccx + reach) + 1);
        const int y0 = std::max(0, int(ccy - reach)), y1 = std::min(h - 1, int(ccy + reach) + 1);
        // Large craters get a flat floor and a central peak.
        const bool complex = r > 25.0;
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                const double d = std::sqrt((x - ccx) * (x - ccx) + (y - ccy) * (y - ccy)) / r;
                double dh;
                if (d < 1.0) {
                    double bowl = d * d;
                    if (complex)
                        bowl = smoothstep(0.35, 1.0, d);
                    dh = -depth * (1.0 - bowl) + rim * bowl * bowl;
                    if (complex)
                        dh += 0.3 * depth * std::exp(-d * d / 0.012);
                } else {
                    const double e = d - 1.0;
                    dh = rim * std::exp(-e * e / 0.05) + 0.3 * rim * std::exp(-e / 0.5);
                }
                H(x, y) += dh;
            }
        }
    }

    // Shading by a low sun from the left whose elevation rises across the field (near the terminator
    // on the left, higher on the right), with cast shadows traced along the rows.
    Plane3 out(w, h);
    std::vector<double> elevation(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x)
        elevation[std::size_t(x)] = (4.0 + 26.0 * double(x) / std::max(1, w - 1)) * kPi / 180.0;
    for (int y = 0; y < h; ++y) {
        double shadowLine = -1e30;
        for (int x = 0; x < w; ++x) {
            const double e = elevation[std::size_t(x)];
            const double gx = (H(std::min(w - 1, x + 1), y) - H(std::max(0, x - 1), y)) * 0.5;
            const double gy = (H(x, std::min(h - 1, y + 1)) - H(x, std::max(0, y - 1))) * 0.5;
            // Normal (-gx, -gy, 1) against the sun (cos e, 0, sin e), sun towards -x.
            const double nl = (gx * std::cos(e) + std::sin(e)) / std::sqrt(gx * gx + gy * gy + 1.0);
            shadowLine -= std::tan(e);
            const double below = shadowLine - H(x, y);
            const double lit = 1.0 - smoothstep(0.0, 0.8, below);
            shadowLine = std::max(shadowLine, H(x, y));
            const double maria = smoothstep(0.45, 0.60, noise.fbm(x / 260.0 + 40.0, y / 260.0 - 13.0, 4));
            const double albedo = (0.95 - 0.45 * maria) * (0.85 + 0.3 * noise.fbm(x / 12.0 - 3.0, y / 12.0 + 8.0, 3));
            const double light = std::max(0.0, nl) / std::sin(elevation[std::size_t(w - 1)]);
            const double level = 12.0 + 205.0 * albedo * std::min(1.25, light * lit) / 1.25 * 1.0;
            float* p = out.at(x, y);
            p[0] = float(level * 1.00);
            p[1] = float(level * 0.97);
            p[2] = float(level * 0.91);
        }
    }
    return out;
}

// ---- resampling and blur --------------------------------------------------------------------------

namespace {

double lanczos3(double t)
{
    t = std::fabs(t);
    if (t < 1e-9)
        return 1.0;
    if (t >= 3.0)
        return 0.0;
    const double a = kPi * t;
    return 3.0 * std::sin(a) * std::sin(a / 3.0) / (a * a);
}

// Keys' cubic (a = -0.5): weights of the four taps around a fraction f in [0, 1).
void cubicWeights(double f, double w[4])
{
    const double f2 = f * f, f3 = f2 * f;
    w[0] = -0.5 * f3 + f2 - 0.5 * f;
    w[1] = 1.5 * f3 - 2.5 * f2 + 1.0;
    w[2] = -1.5 * f3 + 2.0 * f2 + 0.5 * f;
    w[3] = 0.5 * f3 - 0.5 * f2;
}

void sampleCubic(const Plane3& plane, double x, double y, float* out)
{
    const double fx = std::floor(x), fy = std::floor(y);
    double wx[4], wy[4];
    cubicWeights(x - fx, wx);
    cubicWeights(y - fy, wy);
    const int ix = int(fx) - 1, iy = int(fy) - 1;
    double acc[3] = {0, 0, 0};
    for (int j = 0; j < 4; ++j) {
        const int sy = std::clamp(iy + j, 0, plane.height - 1);
        double row[3] = {0, 0, 0};
        for (int i = 0; i < 4; ++i) {
            const float* p = plane.at(std::clamp(ix + i, 0, plane.width - 1), sy);
            row[0] += wx[i] * p[0];
            row[1] += wx[i] * p[1];
            row[2] += wx[i] * p[2];
        }
        acc[0] += wy[j] * row[0];
        acc[1] += wy[j] * row[1];
        acc[2] += wy[j] * row[2];
    }
    out[0] = float(acc[0]);
    out[1] = float(acc[1]);
    out[2] = float(acc[2]);
}

// Separable gaussian of the given sigma, edges repeated, in place. Both passes run tap by tap over
// whole rows of interleaved samples, which the compiler turns into vector code.
void gaussianBlur(Plane3& plane, double sigma)
{
    if (!(sigma > 0.05))
        return;
    const int radius = std::max(1, int(std::ceil(3.0 * sigma)));
    std::vector<float> k(std::size_t(2 * radius + 1));
    double total = 0;
    for (int i = -radius; i <= radius; ++i) {
        k[std::size_t(i + radius)] = float(std::exp(-double(i * i) / (2 * sigma * sigma)));
        total += k[std::size_t(i + radius)];
    }
    for (float& v : k)
        v = float(v / total);
    const int w = plane.width, h = plane.height;
    const std::size_t rowLength = std::size_t(w) * 3;
    // Horizontal: a padded copy of the row, then one multiply-add sweep per tap.
    std::vector<float> line((std::size_t(w) + 2 * std::size_t(radius)) * 3);
    std::vector<float> acc(rowLength);
    for (int y = 0; y < h; ++y) {
        float* row = plane.at(0, y);
        for (int x = -radius; x < w + radius; ++x) {
            const float* p = plane.at(std::clamp(x, 0, w - 1), y);
            float* d = line.data() + std::size_t(x + radius) * 3;
            d[0] = p[0];
            d[1] = p[1];
            d[2] = p[2];
        }
        std::fill(acc.begin(), acc.end(), 0.0f);
        for (int i = 0; i <= 2 * radius; ++i) {
            const float ki = k[std::size_t(i)];
            const float* src = line.data() + std::size_t(i) * 3;
            float* dst = acc.data();
            for (std::size_t j = 0; j < rowLength; ++j)
                dst[j] += ki * src[j];
        }
        std::copy(acc.begin(), acc.end(), row);
    }
    // Vertical: each output row sums whole input rows.
    Plane3 source = plane;
    for (int y = 0; y < h; ++y) {
        std::fill(acc.begin(), acc.end(), 0.0f);
        for (int i = 0; i <= 2 * radius; ++i) {
            const float ki = k[std::size_t(i)];
            const float* src = source.at(0, std::clamp(y + i - radius, 0, h - 1));
            float* dst = acc.data();
            for (std::size_t j = 0; j < rowLength; ++j)
                dst[j] += ki * src[j];
        }
        std::copy(acc.begin(), acc.end(), plane.at(0, y));
    }
}

// Standard normal deviates by table: 4096 equally likely quantiles, four draws per random word.
class GaussianTable {
public:
    GaussianTable()
    {
        // Quantiles of the standard normal by bisection on the error function.
        for (int i = 0; i < kSize; ++i) {
            const double p = (i + 0.5) / kSize;
            double lo = -8, hi = 8;
            for (int it = 0; it < 60; ++it) {
                const double mid = 0.5 * (lo + hi);
                (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
            }
            values_[i] = float(0.5 * (lo + hi));
        }
    }
    // Fills out with deviates drawn from rng.
    void fill(synth::Rng& rng, float* out, std::size_t n) const
    {
        std::size_t i = 0;
        while (i < n) {
            quint64 r = rng.next();
            for (int part = 0; part < 4 && i < n; ++part, r >>= 16)
                out[i++] = values_[r & (kSize - 1)];
        }
    }

private:
    static constexpr int kSize = 4096;
    float values_[kSize];
};

const GaussianTable& gaussianTable()
{
    static const GaussianTable table;
    return table;
}

// Smooth random field of a few long-wavelength modes with unit RMS per component.
std::vector<Mode> randomModes(synth::Rng& rng, int count, double minWavelength, double maxWavelength)
{
    std::vector<Mode> modes;
    for (int i = 0; i < count; ++i) {
        Mode m;
        const double wavelength = minWavelength + (maxWavelength - minWavelength) * rng.uniform();
        const double angle = 2 * kPi * rng.uniform();
        m.kx = 2 * kPi / wavelength * std::cos(angle);
        m.ky = 2 * kPi / wavelength * std::sin(angle);
        m.phase = 2 * kPi * rng.uniform();
        m.ax = rng.gaussian();
        m.ay = rng.gaussian();
        modes.push_back(m);
    }
    return modes;
}

// RMS of a field over a w x h frame, from a coarse grid.
template <typename F>
double rmsOver(int w, int h, F&& lengthSquared)
{
    double sum = 0;
    int n = 0;
    for (int y = 0; y < h; y += 8)
        for (int x = 0; x < w; x += 8, ++n)
            sum += lengthSquared(double(x), double(y));
    return n > 0 ? std::sqrt(sum / n) : 0.0;
}

constexpr quint64 kDrift = 11, kJitter = 12, kWarp = 13, kBlur = 14, kNoise = 15;

} // namespace

void sampleLanczos(const Plane3& plane, double x, double y, float* out)
{
    const double fx = std::floor(x), fy = std::floor(y);
    double wx[6], wy[6], tx = 0, ty = 0;
    for (int i = 0; i < 6; ++i) {
        wx[i] = lanczos3(x - (fx - 2 + i));
        wy[i] = lanczos3(y - (fy - 2 + i));
        tx += wx[i];
        ty += wy[i];
    }
    const int ix = int(fx) - 2, iy = int(fy) - 2;
    double acc[3] = {0, 0, 0};
    for (int j = 0; j < 6; ++j) {
        const int sy = std::clamp(iy + j, 0, plane.height - 1);
        double row[3] = {0, 0, 0};
        for (int i = 0; i < 6; ++i) {
            const float* p = plane.at(std::clamp(ix + i, 0, plane.width - 1), sy);
            row[0] += wx[i] * p[0];
            row[1] += wx[i] * p[1];
            row[2] += wx[i] * p[2];
        }
        acc[0] += wy[j] * row[0];
        acc[1] += wy[j] * row[1];
        acc[2] += wy[j] * row[2];
    }
    const double norm = 1.0 / (tx * ty);
    out[0] = float(acc[0] * norm);
    out[1] = float(acc[1] * norm);
    out[2] = float(acc[2] * norm);
}

QImage toImage(const Plane3& plane)
{
    QImage image(plane.width, plane.height, QImage::Format_RGB32);
    auto level = [](float v) { return v <= 0.0f ? 0 : (v >= 255.0f ? 255 : int(v + 0.5f)); };
    for (int y = 0; y < plane.height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < plane.width; ++x) {
            const float* p = plane.at(x, y);
            line[x] = qRgb(level(p[0]), level(p[1]), level(p[2]));
        }
    }
    return image;
}

Plane3 fromImage(const QImage& image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    Plane3 plane(rgb.width(), rgb.height());
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            float* p = plane.at(x, y);
            p[0] = float(qRed(line[x]));
            p[1] = float(qGreen(line[x]));
            p[2] = float(qBlue(line[x]));
        }
    }
    return plane;
}

Sequence::Sequence(const Parameters& parameters) : p_(parameters)
{
    const int w = std::max(1, p_.width), h = std::max(1, p_.height);
    p_.width = w;
    p_.height = h;
    p_.frames = std::max(0, p_.frames);
    // Room for the drift, the jitter, the warp and the filter taps.
    margin_ = int(std::ceil(p_.drift / 2 + 4 * p_.jitter + 3 * p_.maxWarp + 8));
    const int cw = w + 2 * margin_, ch = h + 2 * margin_;
    scene_ = p_.scene == Scene::Planet ? renderPlanetScene(cw, ch, p_.seed) : renderMoonScene(cw, ch, p_.seed);

    synth::Rng drift = streamFor(p_.seed, kDrift, 0);
    const double angle = 2 * kPi * drift.uniform();
    const double bend = 0.6 * (drift.uniform() - 0.5);
    for (int i = 0; i < p_.frames; ++i) {
        FrameState s;
        // Along a gently curved path centred on the truth's position, so the middle frame is near zero.
        const double t = p_.frames > 1 ? double(i) / (p_.frames - 1) - 0.5 : 0.0;
        const double a = angle + bend * t;
        synth::Rng jitter = streamFor(p_.seed, kJitter, i);
        s.shift = QPointF(p_.drift * t * std::cos(a) + p_.jitter * jitter.gaussian(),
                          p_.drift * t * std::sin(a) + p_.jitter * jitter.gaussian());

        synth::Rng warp = streamFor(p_.seed, kWarp, i);
        s.warpRms = p_.minWarp + (p_.maxWarp - p_.minWarp) * warp.uniform();
        s.warpModes = randomModes(warp, 6, 0.35 * std::min(w, h), 1.2 * std::max(w, h));
        const std::vector<Mode>& wm = s.warpModes;
        const double raw = rmsOver(w, h, [&](double x, double y) {
            double dx = 0, dy = 0;
            for (const Mode& m : wm) {
                const double c = std::cos(m.kx * x + m.ky * y + m.phase);
                dx += m.ax * c;
                dy += m.ay * c;
            }
            return dx * dx + dy * dy;
        });
        const double scale = raw > 0 ? s.warpRms / raw : 0.0;
        for (Mode& m : s.warpModes) {
            m.ax *= scale;
            m.ay *= scale;
        }

        synth::Rng blur = streamFor(p_.seed, kBlur, i);
        s.baseBlur = p_.minBaseBlur + (p_.maxBaseBlur - p_.minBaseBlur) * blur.uniform();
        s.blurModes = randomModes(blur, 3, 0.5 * std::min(w, h), 1.5 * std::max(w, h));
        const std::vector<Mode>& bm = s.blurModes;
        const double braw = rmsOver(w, h, [&](double x, double y) {
            double v = 0;
            for (const Mode& m : bm)
                v += m.ax * std::cos(m.kx * x + m.ky * y + m.phase);
            return v * v;
        });
        for (Mode& m : s.blurModes)
            m.ax *= braw > 0 ? p_.blurSpread / braw : 0.0;
        states_.push_back(s);
        double sum = 0;
        int n = 0;
        for (int y = 0; y < h; y += 8)
            for (int x = 0; x < w; x += 8, ++n)
                sum += blurAt(i, x, y);
        states_.back().meanBlur = n > 0 ? sum / n : s.baseBlur;
    }
}

int Sequence::gridStep() const
{
    return std::clamp(int(0.035 * std::min(p_.width, p_.height)), 2, 16);
}

QImage Sequence::truth() const
{
    Plane3 crop(p_.width, p_.height);
    for (int y = 0; y < p_.height; ++y)
        std::copy(scene_.at(margin_, y + margin_), scene_.at(margin_, y + margin_) + std::size_t(p_.width) * 3,
                  crop.at(0, y));
    return toImage(crop);
}

QPointF Sequence::displacement(int i, double x, double y) const
{
    double dx = 0, dy = 0;
    for (const Mode& m : states_[std::size_t(i)].warpModes) {
        const double c = std::cos(m.kx * x + m.ky * y + m.phase);
        dx += m.ax * c;
        dy += m.ay * c;
    }
    return {dx, dy};
}

double Sequence::blurAt(int i, double x, double y) const
{
    const FrameState& s = states_[std::size_t(i)];
    double v = s.baseBlur;
    for (const Mode& m : s.blurModes)
        v += m.ax * std::cos(m.kx * x + m.ky * y + m.phase);
    return std::clamp(v, p_.minBlur, p_.maxBlur);
}

std::vector<QPointF> Sequence::displacementField(int i) const
{
    const int w = p_.width, h = p_.height;
    std::vector<QPointF> field(std::size_t(w) * std::size_t(h));
    // The field is smooth: evaluate it on a coarse grid (a tenth of the shortest wavelength) and interpolate.
    const int kGrid = gridStep();
    const int gw = w / kGrid + 2, gh = h / kGrid + 2;
    std::vector<QPointF> g(std::size_t(gw * gh));
    for (int gy = 0; gy < gh; ++gy)
        for (int gx = 0; gx < gw; ++gx)
            g[std::size_t(gy * gw + gx)] = displacement(i, gx * kGrid, gy * kGrid);
    for (int y = 0; y < h; ++y) {
        const int gy = y / kGrid;
        const double ty = double(y % kGrid) / kGrid;
        for (int x = 0; x < w; ++x) {
            const int gx = x / kGrid;
            const double tx = double(x % kGrid) / kGrid;
            const QPointF a = g[std::size_t(gy * gw + gx)], b = g[std::size_t(gy * gw + gx + 1)];
            const QPointF c = g[std::size_t((gy + 1) * gw + gx)], d = g[std::size_t((gy + 1) * gw + gx + 1)];
            field[std::size_t(y) * std::size_t(w) + std::size_t(x)] = (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
        }
    }
    return field;
}

QImage Sequence::frame(int i) const
{
    const int w = p_.width, h = p_.height;
    const FrameState& s = states_[std::size_t(i)];
    const std::vector<QPointF> field = displacementField(i);

    const int kGrid = gridStep();
    const int gw = w / kGrid + 2, gh = h / kGrid + 2;
    std::vector<double> gblur(std::size_t(gw * gh));
    for (int gy = 0; gy < gh; ++gy)
        for (int gx = 0; gx < gw; ++gx)
            gblur[std::size_t(gy * gw + gx)] = blurAt(i, gx * kGrid, gy * kGrid);
    auto grid = [&](const std::vector<double>& g, int x, int y) {
        const int gx = x / kGrid, gy = y / kGrid;
        const double tx = double(x % kGrid) / kGrid, ty = double(y % kGrid) / kGrid;
        const double a = g[std::size_t(gy * gw + gx)], b = g[std::size_t(gy * gw + gx + 1)];
        const double c = g[std::size_t((gy + 1) * gw + gx)], d = g[std::size_t((gy + 1) * gw + gx + 1)];
        return (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
    };

    Plane3 warped(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const QPointF& d = field[std::size_t(y) * std::size_t(w) + std::size_t(x)];
            const double sx = x + margin_ + s.shift.x() + d.x();
            const double sy = y + margin_ + s.shift.y() + d.y();
            sampleCubic(scene_, sx, sy, warped.at(x, y));
        }
    }

    // Blur levels reached by successive gaussians (sigmas add in quadrature); each pixel takes the
    // two levels around its own sigma, weighted linearly, so every level is added in as it is made.
    const double levels[] = {0.6, 1.0, 1.4, 1.9, 2.5};
    constexpr int kLevels = 5;
    std::vector<float> sigma(std::size_t(w) * std::size_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            sigma[std::size_t(y) * std::size_t(w) + std::size_t(x)] = float(std::clamp(grid(gblur, x, y), levels[0], levels[kLevels - 1]));
    Plane3 out(w, h);
    Plane3& current = warped;
    double previous = 0.0;
    for (int k = 0; k < kLevels; ++k) {
        gaussianBlur(current, std::sqrt(levels[k] * levels[k] - previous * previous));
        previous = levels[k];
        const float below = k > 0 ? float(levels[k - 1]) : float(levels[0]);
        const float here = float(levels[k]);
        const float above = k + 1 < kLevels ? float(levels[k + 1]) : here;
        for (std::size_t p = 0; p < sigma.size(); ++p) {
            const float s = sigma[p];
            float weight = 0.0f;
            if (s <= here && s >= below)
                weight = k > 0 ? (s - below) / (here - below) : 1.0f;
            else if (s > here && s <= above)
                weight = (above - s) / (above - here);
            if (weight > 0.0f) {
                const float* c = current.v.data() + p * 3;
                float* o = out.v.data() + p * 3;
                o[0] += weight * c[0];
                o[1] += weight * c[1];
                o[2] += weight * c[2];
            }
        }
    }

    synth::Rng noise = streamFor(p_.seed, kNoise, i);
    std::vector<float> deviates(out.v.size());
    gaussianTable().fill(noise, deviates.data(), deviates.size());
    const float read2 = float(p_.readNoise * p_.readNoise), shot = float(p_.shotNoise);
    for (std::size_t j = 0; j < out.v.size(); ++j) {
        const float v = out.v[j];
        out.v[j] = v + std::sqrt(read2 + shot * std::max(0.0f, v)) * deviates[j];
    }
    return toImage(out);
}

QStringList Sequence::write(const QString& dir, int threads) const
{
    if (!QDir().mkpath(dir))
        return {};
    const QDir target(dir);
    QStringList paths;
    for (int i = 0; i < p_.frames; ++i)
        paths << target.filePath(QStringLiteral("frame_%1.png").arg(i, 3, 10, QLatin1Char('0')));

    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    auto work = [&] {
        for (int i = next++; i < p_.frames && !failed; i = next++) {
            // Quality 50 compresses as small as the default level, three times faster.
            if (!frame(i).save(paths[i], "PNG", 50))
                failed = true;
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::max(1, threads); ++t)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
    if (failed || !truth().save(target.filePath(QStringLiteral("truth.png")), "PNG"))
        return {};

    QFile list(target.filePath(QStringLiteral("frames.txt")));
    if (!list.open(QIODevice::WriteOnly | QIODevice::Text))
        return {};
    QTextStream out(&list);
    out << "# frame  shift_x  shift_y  warp_rms  base_blur  mean_blur\n";
    for (int i = 0; i < p_.frames; ++i) {
        const FrameState& s = states_[std::size_t(i)];
        out << i << ' ' << QString::number(s.shift.x(), 'f', 4) << ' ' << QString::number(s.shift.y(), 'f', 4) << ' '
            << QString::number(s.warpRms, 'f', 4) << ' ' << QString::number(s.baseBlur, 'f', 4) << ' '
            << QString::number(s.meanBlur, 'f', 4) << '\n';
    }
    return paths;
}

} // namespace seeing
