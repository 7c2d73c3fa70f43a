#include "score.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace score {

namespace {

constexpr double kPi = 3.14159265358979323846;

// One channel (or the luminance) as doubles in 8-bit levels.
struct Plane {
    int width = 0, height = 0;
    std::vector<double> v;
    Plane() = default;
    Plane(int w, int h) : width(w), height(h), v(std::size_t(w) * std::size_t(h), 0.0) {}
    double& at(int x, int y) { return v[std::size_t(y) * std::size_t(width) + std::size_t(x)]; }
    double at(int x, int y) const { return v[std::size_t(y) * std::size_t(width) + std::size_t(x)]; }
};

// Red, green, blue and the Rec. 709 luminance of an image.
std::array<Plane, 4> planesOf(const QImage& image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    std::array<Plane, 4> p;
    for (Plane& plane : p)
        plane = Plane(rgb.width(), rgb.height());
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            const double r = qRed(line[x]), g = qGreen(line[x]), b = qBlue(line[x]);
            p[0].at(x, y) = r;
            p[1].at(x, y) = g;
            p[2].at(x, y) = b;
            p[3].at(x, y) = 0.2126 * r + 0.7152 * g + 0.0722 * b;
        }
    }
    return p;
}

Plane reduce4(const Plane& p)
{
    Plane out(p.width / 4, p.height / 4);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            double s = 0;
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 4; ++i)
                    s += p.at(4 * x + i, 4 * y + j);
            out.at(x, y) = s / 16.0;
        }
    return out;
}

struct Point {
    int x, y;
};

// Normalised cross-correlation of the truth at `points` with the stack at points + (ox, oy); -2 when
// fewer than `minCount` of them land inside the stack.
double ncc(const Plane& truth, const Plane& stack, const std::vector<Point>& points, int ox, int oy, std::size_t minCount)
{
    double st = 0, ss = 0, stt = 0, sss = 0, sts = 0;
    std::size_t n = 0;
    for (const Point& p : points) {
        const int x = p.x + ox, y = p.y + oy;
        if (x < 0 || y < 0 || x >= stack.width || y >= stack.height)
            continue;
        const double t = truth.at(p.x, p.y), s = stack.at(x, y);
        st += t;
        ss += s;
        stt += t * t;
        sss += s * s;
        sts += t * s;
        ++n;
    }
    if (n < minCount || n == 0)
        return -2.0;
    const double cov = sts - st * ss / n;
    const double vt = stt - st * st / n, vs = sss - ss * ss / n;
    if (!(vt > 0) || !(vs > 0))
        return -2.0;
    return cov / std::sqrt(vt * vs);
}

double lanczos3(double t)
{
    t = std::fabs(t);
    if (t < 1e-12)
        return 1.0;
    if (t >= 3.0)
        return 0.0;
    const double a = kPi * t;
    return 3.0 * std::sin(a) * std::sin(a / 3.0) / (a * a);
}

// Resampling by a fixed sub-pixel offset: every sample uses the same six weights per axis.
struct Shift {
    int ix = 0, iy = 0;
    double wx[6], wy[6];
    explicit Shift(double dx, double dy)
    {
        const double fx = std::floor(dx), fy = std::floor(dy);
        ix = int(fx);
        iy = int(fy);
        double tx = 0, ty = 0;
        for (int i = 0; i < 6; ++i) {
            wx[i] = lanczos3(dx - fx - (i - 2));
            wy[i] = lanczos3(dy - fy - (i - 2));
            tx += wx[i];
            ty += wy[i];
        }
        for (int i = 0; i < 6; ++i) {
            wx[i] /= tx;
            wy[i] /= ty;
        }
    }
    // Whether the taps around p + offset all lie inside the plane.
    bool inside(const Plane& p, int x, int y) const
    {
        return x + ix - 2 >= 0 && y + iy - 2 >= 0 && x + ix + 3 < p.width && y + iy + 3 < p.height;
    }
    double sample(const Plane& p, int x, int y) const
    {
        double acc = 0;
        for (int j = 0; j < 6; ++j) {
            const double* row = p.v.data() + std::size_t(y + iy - 2 + j) * std::size_t(p.width) + std::size_t(x + ix - 2);
            double s = 0;
            for (int i = 0; i < 6; ++i)
                s += wx[i] * row[i];
            acc += wy[j] * s;
        }
        return acc;
    }
};

// Least-squares a, b with truth ~ a * s + b.
void fitLine(const std::vector<double>& t, const std::vector<double>& s, double* a, double* b)
{
    double st = 0, ss = 0, sss = 0, sts = 0;
    const double n = double(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        st += t[i];
        ss += s[i];
        sss += s[i] * s[i];
        sts += s[i] * t[i];
    }
    const double var = sss - ss * ss / n;
    *a = var > 0 ? (sts - st * ss / n) / var : 0.0;
    *b = (st - *a * ss) / n;
}

// Separable gaussian (sigma 1.5, radius 5) with edge pixels repeated.
Plane gaussian(const Plane& in)
{
    double k[11], total = 0;
    for (int i = -5; i <= 5; ++i)
        total += k[i + 5] = std::exp(-i * i / (2 * 1.5 * 1.5));
    for (double& v : k)
        v /= total;
    Plane tmp(in.width, in.height), out(in.width, in.height);
    for (int y = 0; y < in.height; ++y)
        for (int x = 0; x < in.width; ++x) {
            double s = 0;
            for (int i = -5; i <= 5; ++i)
                s += k[i + 5] * in.at(std::clamp(x + i, 0, in.width - 1), y);
            tmp.at(x, y) = s;
        }
    for (int y = 0; y < in.height; ++y)
        for (int x = 0; x < in.width; ++x) {
            double s = 0;
            for (int i = -5; i <= 5; ++i)
                s += k[i + 5] * tmp.at(x, std::clamp(y + i, 0, in.height - 1));
            out.at(x, y) = s;
        }
    return out;
}

} // namespace

std::vector<unsigned char> targetMask(const QImage& truth, Target target)
{
    const int w = truth.width(), h = truth.height();
    std::vector<unsigned char> mask(std::size_t(w) * std::size_t(h), 0);
    if (w <= 0 || h <= 0)
        return mask;
    if (target == Target::Inner) {
        const int mx = w / 10, my = h / 10;
        for (int y = my; y < h - my; ++y)
            for (int x = mx; x < w - mx; ++x)
                mask[std::size_t(y) * std::size_t(w) + std::size_t(x)] = 1;
        return mask;
    }
    const Plane lum = planesOf(truth)[3];
    const double top = *std::max_element(lum.v.begin(), lum.v.end());
    std::vector<unsigned char> disk(mask.size(), 0);
    for (std::size_t i = 0; i < disk.size(); ++i)
        disk[i] = lum.v[i] > 0.1 * top ? 1 : 0;
    constexpr int kWiden = 3;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (!disk[std::size_t(y) * std::size_t(w) + std::size_t(x)])
                continue;
            for (int j = std::max(0, y - kWiden); j <= std::min(h - 1, y + kWiden); ++j)
                for (int i = std::max(0, x - kWiden); i <= std::min(w - 1, x + kWiden); ++i)
                    mask[std::size_t(j) * std::size_t(w) + std::size_t(i)] = 1;
        }
    return mask;
}

Result compare(const QImage& stackImage, const QImage& truthImage, Target target)
{
    Result result;
    if (stackImage.isNull() || truthImage.isNull()) {
        result.problem = QStringLiteral("an image is missing");
        return result;
    }
    const std::array<Plane, 4> truth = planesOf(truthImage);
    const std::array<Plane, 4> stack = planesOf(stackImage);
    const std::vector<unsigned char> mask = targetMask(truthImage, target);
    const int tw = truth[3].width, th = truth[3].height;
    std::vector<Point> points;
    for (int y = 0; y < th; ++y)
        for (int x = 0; x < tw; ++x)
            if (mask[std::size_t(y) * std::size_t(tw) + std::size_t(x)])
                points.push_back({x, y});
    if (points.size() < 100) {
        result.problem = QStringLiteral("the truth has no target");
        return result;
    }

    // Coarse: every offset on 4x reduced images that keeps most of the target inside the stack.
    const Plane truthSmall = reduce4(truth[3]), stackSmall = reduce4(stack[3]);
    std::vector<Point> smallPoints;
    for (int y = 0; y < truthSmall.height; ++y)
        for (int x = 0; x < truthSmall.width; ++x) {
            int inside = 0;
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 4; ++i)
                    inside += mask[std::size_t(4 * y + j) * std::size_t(tw) + std::size_t(4 * x + i)];
            if (inside >= 8)
                smallPoints.push_back({x, y});
        }
    const std::size_t minSmall = smallPoints.size() * 6 / 10;
    double best = -3;
    int bx = 0, by = 0;
    const int sw = truthSmall.width, sh = truthSmall.height;
    for (int oy = -sh / 3; oy <= stackSmall.height - sh + sh / 3; ++oy)
        for (int ox = -sw / 3; ox <= stackSmall.width - sw + sw / 3; ++ox) {
            const double c = ncc(truthSmall, stackSmall, smallPoints, ox, oy, minSmall);
            if (c > best) {
                best = c;
                bx = ox;
                by = oy;
            }
        }
    if (best < -1.5) {
        result.problem = QStringLiteral("the stack does not cover the target");
        return result;
    }

    // Whole pixels around the coarse match (the box centres of the reduction sit at 4x + 1.5).
    const std::size_t minFull = points.size() * 6 / 10;
    best = -3;
    int fx = 0, fy = 0;
    for (int oy = 4 * by - 6; oy <= 4 * by + 6; ++oy)
        for (int ox = 4 * bx - 6; ox <= 4 * bx + 6; ++ox) {
            const double c = ncc(truth[3], stack[3], points, ox, oy, minFull);
            if (c > best) {
                best = c;
                fx = ox;
                fy = oy;
            }
        }

    // Gauss-Newton on the offset, the brightness fit solved anew at every step.
    Plane gradX(stack[3].width, stack[3].height), gradY(stack[3].width, stack[3].height);
    for (int y = 1; y + 1 < stack[3].height; ++y)
        for (int x = 1; x + 1 < stack[3].width; ++x) {
            gradX.at(x, y) = 0.5 * (stack[3].at(x + 1, y) - stack[3].at(x - 1, y));
            gradY.at(x, y) = 0.5 * (stack[3].at(x, y + 1) - stack[3].at(x, y - 1));
        }
    double dx = fx, dy = fy;
    std::vector<double> t, s, gx, gy;
    for (int iteration = 0; iteration < 40; ++iteration) {
        const Shift shift(dx, dy);
        t.clear();
        s.clear();
        gx.clear();
        gy.clear();
        for (const Point& p : points) {
            if (!shift.inside(stack[3], p.x, p.y))
                continue;
            t.push_back(truth[3].at(p.x, p.y));
            s.push_back(shift.sample(stack[3], p.x, p.y));
            gx.push_back(shift.sample(gradX, p.x, p.y));
            gy.push_back(shift.sample(gradY, p.x, p.y));
        }
        if (t.size() < minFull) {
            result.problem = QStringLiteral("the stack does not cover the target");
            return result;
        }
        double a = 0, b = 0;
        fitLine(t, s, &a, &b);
        double hxx = 0, hxy = 0, hyy = 0, ex = 0, ey = 0;
        for (std::size_t i = 0; i < t.size(); ++i) {
            const double r = t[i] - a * s[i] - b;
            const double jx = a * gx[i], jy = a * gy[i];
            hxx += jx * jx;
            hxy += jx * jy;
            hyy += jy * jy;
            ex += jx * r;
            ey += jy * r;
        }
        const double det = hxx * hyy - hxy * hxy;
        if (!(std::fabs(det) > 0))
            break;
        double sx = (hyy * ex - hxy * ey) / det;
        double sy = (hxx * ey - hxy * ex) / det;
        const double length = std::hypot(sx, sy);
        if (length > 1.0) {
            sx /= length;
            sy /= length;
        }
        dx += sx;
        dy += sy;
        if (length < 1e-4)
            break;
    }
    result.dx = dx;
    result.dy = dy;

    // The registered stack over the target and a margin for the SSIM window.
    const Shift shift(dx, dy);
    int x0 = tw, y0 = th, x1 = -1, y1 = -1;
    for (const Point& p : points) {
        x0 = std::min(x0, p.x);
        y0 = std::min(y0, p.y);
        x1 = std::max(x1, p.x);
        y1 = std::max(y1, p.y);
    }
    x0 = std::max(0, x0 - 5);
    y0 = std::max(0, y0 - 5);
    x1 = std::min(tw - 1, x1 + 5);
    y1 = std::min(th - 1, y1 + 5);
    const int bw = x1 - x0 + 1, bh = y1 - y0 + 1;
    std::array<Plane, 3> registered;
    std::vector<unsigned char> valid(std::size_t(bw) * std::size_t(bh), 0);
    for (int c = 0; c < 3; ++c)
        registered[std::size_t(c)] = Plane(bw, bh);
    for (int y = 0; y < bh; ++y)
        for (int x = 0; x < bw; ++x) {
            if (!shift.inside(stack[0], x0 + x, y0 + y))
                continue;
            valid[std::size_t(y) * std::size_t(bw) + std::size_t(x)] = 1;
            for (int c = 0; c < 3; ++c)
                registered[std::size_t(c)].at(x, y) = shift.sample(stack[std::size_t(c)], x0 + x, y0 + y);
        }
    auto counted = [&](int x, int y) {
        return mask[std::size_t(y0 + y) * std::size_t(tw) + std::size_t(x0 + x)] && valid[std::size_t(y) * std::size_t(bw) + std::size_t(x)];
    };

    // Brightness fit per channel, then the squared error over the target.
    double squared = 0;
    int n = 0;
    for (int c = 0; c < 3; ++c) {
        std::vector<double> tv, sv;
        for (int y = 0; y < bh; ++y)
            for (int x = 0; x < bw; ++x)
                if (counted(x, y)) {
                    tv.push_back(truth[std::size_t(c)].at(x0 + x, y0 + y));
                    sv.push_back(registered[std::size_t(c)].at(x, y));
                }
        double a = 0, b = 0;
        fitLine(tv, sv, &a, &b);
        Plane& r = registered[std::size_t(c)];
        for (double& v : r.v)
            v = a * v + b;
        for (std::size_t i = 0; i < tv.size(); ++i) {
            const double e = tv[i] - (a * sv[i] + b);
            squared += e * e;
        }
        n = int(tv.size());
    }
    result.pixels = n;
    const double mse = squared / (3.0 * std::max(1, n));
    result.psnr = mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : std::numeric_limits<double>::infinity();

    // SSIM of the luminance.
    Plane a(bw, bh), b(bw, bh);
    for (int y = 0; y < bh; ++y)
        for (int x = 0; x < bw; ++x) {
            a.at(x, y) = truth[3].at(x0 + x, y0 + y);
            b.at(x, y) = 0.2126 * registered[0].at(x, y) + 0.7152 * registered[1].at(x, y) + 0.0722 * registered[2].at(x, y);
        }
    Plane aa(bw, bh), bb(bw, bh), ab(bw, bh);
    for (std::size_t i = 0; i < a.v.size(); ++i) {
        aa.v[i] = a.v[i] * a.v[i];
        bb.v[i] = b.v[i] * b.v[i];
        ab.v[i] = a.v[i] * b.v[i];
    }
    const Plane ma = gaussian(a), mb = gaussian(b), maa = gaussian(aa), mbb = gaussian(bb), mab = gaussian(ab);
    const double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
    double ssim = 0;
    int m = 0;
    for (int y = 0; y < bh; ++y)
        for (int x = 0; x < bw; ++x) {
            if (!counted(x, y))
                continue;
            const std::size_t i = std::size_t(y) * std::size_t(bw) + std::size_t(x);
            const double va = maa.v[i] - ma.v[i] * ma.v[i], vb = mbb.v[i] - mb.v[i] * mb.v[i];
            const double cov = mab.v[i] - ma.v[i] * mb.v[i];
            ssim += (2 * ma.v[i] * mb.v[i] + c1) * (2 * cov + c2)
                / ((ma.v[i] * ma.v[i] + mb.v[i] * mb.v[i] + c1) * (va + vb + c2));
            ++m;
        }
    result.ssim = m > 0 ? ssim / m : 0.0;
    result.ok = true;
    return result;
}

} // namespace score
