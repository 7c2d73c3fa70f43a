// Sub-pixel global alignment kernels.

#include "globalalign.h"

#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace kernels {

int otsuThreshold(const std::vector<long long>& histogram)
{
    const int bins = int(histogram.size());
    double total = 0, weighted = 0;
    for (int i = 0; i < bins; ++i) {
        total += double(histogram[std::size_t(i)]);
        weighted += double(i) * double(histogram[std::size_t(i)]);
    }
    if (total <= 0)
        return bins / 2;
    double below = 0, belowWeighted = 0, best = -1;
    int first = 0, last = 0;
    for (int t = 0; t < bins - 1; ++t) {
        below += double(histogram[std::size_t(t)]);
        belowWeighted += double(t) * double(histogram[std::size_t(t)]);
        const double above = total - below;
        if (below <= 0 || above <= 0)
            continue;
        const double m0 = belowWeighted / below, m1 = (weighted - belowWeighted) / above;
        const double between = below * above * (m1 - m0) * (m1 - m0);
        if (between > best) {
            best = between;
            first = last = t;
        } else if (between == best) {
            last = t;
        }
    }
    // Pixels above bin t are the disk; a plateau of equal scores is split in the middle.
    return (first + last) / 2 + 1;
}

PlanetCentre planetCentre(const QImage& image, int threshold)
{
    return planetCentre(luminancePlane(image), threshold);
}

PlanetCentre planetCentre(const FloatPlane& L, int threshold)
{
    PlanetCentre result;
    const int w = L.width, h = L.height;
    if (w < 3 || h < 3)
        return result;

    std::vector<long long> histogram(256, 0);
    for (float v : L.v)
        ++histogram[std::size_t(std::clamp(int(v), 0, 255))];
    const int t = threshold >= 0 ? std::clamp(threshold, 0, 255) : otsuThreshold(histogram);
    result.threshold = t;
    // Sky level: the median of the pixels below the threshold.
    long long skyCount = 0;
    for (int i = 0; i < t; ++i)
        skyCount += histogram[std::size_t(i)];
    double sky = 0;
    if (skyCount > 0) {
        long long seen = 0;
        for (int i = 0; i < t; ++i) {
            seen += histogram[std::size_t(i)];
            if (2 * seen >= skyCount) {
                sky = i + 0.5;
                break;
            }
        }
    }
    result.sky = sky;

    // The disk: pixels that pass with their four neighbours; then a rim of kRim pixels around it.
    const float tf = float(t);
    std::vector<unsigned char> disk(std::size_t(w) * h, 0);
    long long diskPixels = 0;
    for (int y = 1; y < h - 1; ++y) {
        const float* up = L.row(y - 1);
        const float* mid = L.row(y);
        const float* down = L.row(y + 1);
        unsigned char* out = disk.data() + std::size_t(y) * w;
        for (int x = 1; x < w - 1; ++x) {
            const bool pass = mid[x] >= tf && mid[x - 1] >= tf && mid[x + 1] >= tf && up[x] >= tf && down[x] >= tf;
            out[x] = pass ? 1 : 0;
            diskPixels += pass ? 1 : 0;
        }
    }
    if (diskPixels < 5)
        return result;

    // A disk on sky reaches at most two adjoining edges of the frame, or two opposite ones when it is
    // wider than the frame. When the bright area lines three or four edges, or covers most of the
    // frame, the frame shows a surface, not a disk: no centre is given.
    auto passing = [&](int x0, int y0, int dx, int dy, int length) {
        int count = 0;
        for (int k = 0; k < length; ++k)
            count += disk[std::size_t(y0 + k * dy) * w + std::size_t(x0 + k * dx)];
        return count;
    };
    const int lined = (passing(1, 1, 0, 1, h - 2) * 20 >= h - 2) + (passing(w - 2, 1, 0, 1, h - 2) * 20 >= h - 2)
        + (passing(1, 1, 1, 0, w - 2) * 20 >= w - 2) + (passing(1, h - 2, 1, 0, w - 2) * 20 >= w - 2);
    if (lined >= 3 || diskPixels * 10 >= 7LL * (w - 2) * (h - 2)) {
        result.noSky = true;
        return result;
    }

    constexpr int kRim = 3;
    // Row-wise, then column-wise dilation by kRim (a square neighbourhood).
    std::vector<unsigned char> rows(disk.size(), 0), region(disk.size(), 0);
    for (int y = 0; y < h; ++y) {
        const unsigned char* in = disk.data() + std::size_t(y) * w;
        unsigned char* out = rows.data() + std::size_t(y) * w;
        int last = -kRim - 1;
        for (int x = 0; x < w; ++x) {
            if (in[x])
                last = x;
            out[x] = x - last <= kRim ? 1 : 0;
        }
        last = w + kRim + 1;
        for (int x = w - 1; x >= 0; --x) {
            if (in[x])
                last = x;
            if (last - x <= kRim)
                out[x] = 1;
        }
    }
    for (int x = 0; x < w; ++x) {
        int last = -kRim - 1;
        for (int y = 0; y < h; ++y) {
            if (rows[std::size_t(y) * w + x])
                last = y;
            region[std::size_t(y) * w + x] = y - last <= kRim ? 1 : 0;
        }
        last = h + kRim + 1;
        for (int y = h - 1; y >= 0; --y) {
            if (rows[std::size_t(y) * w + x])
                last = y;
            if (last - y <= kRim)
                region[std::size_t(y) * w + x] = 1;
        }
    }

    bool cutLeft = false, cutRight = false, cutTop = false, cutBottom = false;
    int xMin = w, xMax = -1, yMin = h, yMax = -1;
    for (int y = 0; y < h; ++y) {
        const unsigned char* in = region.data() + std::size_t(y) * w;
        for (int x = 0; x < w; ++x) {
            if (!in[x])
                continue;
            xMin = std::min(xMin, x);
            xMax = std::max(xMax, x);
            yMin = std::min(yMin, y);
            yMax = std::max(yMax, y);
        }
    }
    cutLeft = xMin == 0;
    cutRight = xMax == w - 1;
    cutTop = yMin == 0;
    cutBottom = yMax == h - 1;
    result.edgeCut = cutLeft || cutRight || cutTop || cutBottom;

    // Weighted sums over the region within the window [wx0, wx1] x [wy0, wy1]; pixels cut by a window
    // edge count with the part of them inside, so the centre moves continuously with the window.
    auto centroid = [&](double wx0, double wx1, double wy0, double wy1, double& cx, double& cy) {
        double s = 0, sx = 0, sy = 0;
        const int y0 = std::max(yMin, int(std::floor(wy0 + 0.5))), y1 = std::min(yMax, int(std::ceil(wy1 - 0.5)));
        const int x0 = std::max(xMin, int(std::floor(wx0 + 0.5))), x1 = std::min(xMax, int(std::ceil(wx1 - 0.5)));
        for (int y = y0; y <= y1; ++y) {
            const double fy = std::clamp(std::min(y + 0.5, wy1) - std::max(y - 0.5, wy0), 0.0, 1.0);
            if (fy <= 0)
                continue;
            const float* l = L.row(y);
            const unsigned char* in = region.data() + std::size_t(y) * w;
            double rs = 0, rsx = 0;
            for (int x = x0; x <= x1; ++x) {
                if (!in[x])
                    continue;
                double wgt = double(l[x]) - sky;
                if (wgt <= 0)
                    continue;
                const double fx = std::clamp(std::min(x + 0.5, wx1) - std::max(x - 0.5, wx0), 0.0, 1.0);
                wgt *= fx;
                rs += wgt;
                rsx += wgt * x;
            }
            s += rs * fy;
            sx += rsx * fy;
            sy += rs * fy * y;
        }
        if (s <= 0)
            return false;
        cx = sx / s;
        cy = sy / s;
        return true;
    };

    const double inf = 1e9; // a window edge beyond any image
    double cx = 0, cy = 0;
    if (!centroid(-inf, inf, -inf, inf, cx, cy))
        return result;
    if (result.edgeCut) {
        // The symmetric part: on a cut side the window reaches as far beyond the centre as the edge lies
        // before it. The centre of a symmetric disk is a fixed point c = F(c) of the window's centre of
        // gravity F, but so may be other positions (the biased centre of the whole visible part, or
        // places where a dark belt meets the edge). A circle fitted to the disk's outline away from
        // the edges tells which: the crossing of F(c) - c nearest to the circle's centre is taken.
        double fx = cx, fy = cy;
        {
            double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, sz = 0, sxz = 0, syz = 0, n = 0;
            for (int y = 3; y < h - 3; ++y) {
                const unsigned char* row = disk.data() + std::size_t(y) * w;
                for (int x = 3; x < w - 3; ++x) {
                    if (!row[x] || (row[x - 1] && row[x + 1] && row[x - w] && row[x + w]))
                        continue;
                    const double z = double(x) * x + double(y) * y;
                    sx += x;
                    sy += y;
                    sxx += double(x) * x;
                    syy += double(y) * y;
                    sxy += double(x) * y;
                    sz += z;
                    sxz += x * z;
                    syz += y * z;
                    n += 1;
                }
            }
            // x^2 + y^2 + D x + E y + F = 0 by least squares; the centre is (-D/2, -E/2).
            const double m[3][4] = {{sxx, sxy, sx, -sxz}, {sxy, syy, sy, -syz}, {sx, sy, n, -sz}};
            double a3[3][4];
            std::copy(&m[0][0], &m[0][0] + 12, &a3[0][0]);
            bool solvable = n >= 8;
            for (int col = 0; col < 3 && solvable; ++col) {
                int pivot = col;
                for (int r = col + 1; r < 3; ++r)
                    if (std::abs(a3[r][col]) > std::abs(a3[pivot][col]))
                        pivot = r;
                if (std::abs(a3[pivot][col]) < 1e-12) {
                    solvable = false;
                    break;
                }
                for (int k = 0; k < 4; ++k)
                    std::swap(a3[col][k], a3[pivot][k]);
                for (int r = 0; r < 3; ++r) {
                    if (r == col)
                        continue;
                    const double f = a3[r][col] / a3[col][col];
                    for (int k = col; k < 4; ++k)
                        a3[r][k] -= f * a3[col][k];
                }
            }
            if (solvable) {
                fx = -0.5 * a3[0][3] / a3[0][0];
                fy = -0.5 * a3[1][3] / a3[1][1];
            }
        }
        double wx0 = -inf, wx1 = inf, wy0 = -inf, wy1 = inf;
        auto windowOf = [&](double c, double size, bool low, bool high, double& w0, double& w1) {
            const double before = c + 0.5, after = (size - 0.5) - c;
            const double m = std::max(0.0, low && high ? std::min(before, after) : (low ? before : after));
            w0 = c - m;
            w1 = c + m;
        };
        auto solveAxis = [&](bool horizontal) {
            const bool low = horizontal ? cutLeft : cutTop, high = horizontal ? cutRight : cutBottom;
            if (!low && !high)
                return true;
            const double size = horizontal ? w : h;
            auto excess = [&](double c, double& out) {
                double a0 = 0, a1 = 0, nx = 0, ny = 0;
                windowOf(c, size, low, high, a0, a1);
                const bool ok = horizontal ? centroid(a0, a1, wy0, wy1, nx, ny) : centroid(wx0, wx1, a0, a1, nx, ny);
                out = (horizontal ? nx : ny) - c;
                return ok;
            };
            const double start = std::clamp(horizontal ? fx : fy, 1.0, size - 2.0);
            // F(c) - c on a grid of quarter pixels within 4 pixels of the circle's centre: the crossing
            // nearest to it, else (where F only touches the diagonal) the smallest |F(c) - c|.
            constexpr int kSteps = 16;
            double gs[2 * kSteps + 1];
            bool okay[2 * kSteps + 1];
            for (int k = -kSteps; k <= kSteps; ++k) {
                const double t = start + 0.25 * k;
                okay[k + kSteps] = t >= 1.0 && t <= size - 2.0 && excess(t, gs[k + kSteps]);
            }
            double c = start;
            int crossing = -1;
            double nearest = 1e300, smallest = 1e300;
            for (int k = 0; k < 2 * kSteps; ++k) {
                if (!okay[k] || !okay[k + 1])
                    continue;
                const double t = start + 0.25 * (k - kSteps);
                if ((gs[k] > 0) != (gs[k + 1] > 0) && std::abs(t + 0.125 - start) < nearest) {
                    nearest = std::abs(t + 0.125 - start);
                    crossing = k;
                }
            }
            if (crossing >= 0) {
                double lo = start + 0.25 * (crossing - kSteps), hi = lo + 0.25;
                const bool positiveLow = gs[crossing] > 0;
                for (int iteration = 0; iteration < 30; ++iteration) {
                    const double mid = 0.5 * (lo + hi);
                    double g = 0;
                    if (!excess(mid, g))
                        return false;
                    if ((g > 0) == positiveLow)
                        lo = mid;
                    else
                        hi = mid;
                }
                c = 0.5 * (lo + hi);
            } else {
                for (int k = 0; k <= 2 * kSteps; ++k)
                    if (okay[k] && std::abs(gs[k]) < smallest) {
                        smallest = std::abs(gs[k]);
                        c = start + 0.25 * (k - kSteps);
                    }
            }
            if (horizontal) {
                cx = c;
                windowOf(c, size, low, high, wx0, wx1);
            } else {
                cy = c;
                windowOf(c, size, low, high, wy0, wy1);
            }
            return true;
        };
        for (int round = 0; round < 3; ++round)
            if (!solveAxis(true) || !solveAxis(false))
                return result;
        double nx = 0, ny = 0;
        if (!centroid(wx0, wx1, wy0, wy1, nx, ny))
            return result;
        if (cutLeft || cutRight)
            cx = nx;
        if (cutTop || cutBottom)
            cy = ny;
    }
    result.found = true;
    result.x = cx;
    result.y = cy;
    return result;
}

// ---- shift search -------------------------------------------------------------------------------

namespace {

// Four floats handled as one (SSE on x86-64). The lanes are summed in a fixed order, so the results do
// not depend on the instruction set.
using Float4 = float __attribute__((vector_size(16)));

inline Float4 load4(const float* p)
{
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline float laneSum(Float4 a, Float4 b) { return ((a[0] + b[0]) + (a[1] + b[1])) + ((a[2] + b[2]) + (a[3] + b[3])); }

} // namespace

ShiftTemplate makeTemplate(const FloatPlane& reference, const QRect& rectIn, int step)
{
    ShiftTemplate t;
    const QRect rect = rectIn.intersected(QRect(1, 1, reference.width - 2, reference.height - 2));
    if (rect.isEmpty())
        return t;
    t.x0 = rect.x();
    t.y0 = rect.y();
    t.width = rect.width();
    t.height = rect.height();
    t.step = std::max(1, step);
    const std::size_t n = std::size_t((t.width + t.step - 1) / t.step) * std::size_t((t.height + t.step - 1) / t.step);
    t.r.reserve(n);
    t.gx.reserve(n);
    t.gy.reserve(n);
    for (int y = t.y0; y < t.y0 + t.height; y += t.step) {
        const float* up = reference.row(y - 1);
        const float* mid = reference.row(y);
        const float* down = reference.row(y + 1);
        for (int x = t.x0; x < t.x0 + t.width; x += t.step) {
            const float r = mid[x];
            const float gx = 0.5f * (mid[x + 1] - mid[x - 1]);
            const float gy = 0.5f * (down[x] - up[x]);
            t.r.push_back(r);
            t.gx.push_back(gx);
            t.gy.push_back(gy);
            t.sumR += r;
            t.sumRR += double(r) * r;
            t.sumGx += gx;
            t.sumGy += gy;
            t.sumGxR += double(gx) * r;
            t.sumGyR += double(gy) * r;
            t.hxx += double(gx) * gx;
            t.hxy += double(gx) * gy;
            t.hyy += double(gy) * gy;
        }
    }
    const double det = t.hxx * t.hyy - t.hxy * t.hxy;
    t.usable = det > 1e-9 * (t.hxx + t.hyy) * (t.hxx + t.hyy) && t.hxx + t.hyy > 0;
    return t;
}

bool refineShift(const ShiftTemplate& t, const FloatPlane& frame, double& dx, double& dy, int iterations, double maxMove)
{
    if (!t.usable || t.r.empty())
        return false;
    const double startX = dx, startY = dy;
    const double n = double(t.count());
    const double det = t.hxx * t.hyy - t.hxy * t.hxy;
    const double varR = t.sumRR - t.sumR * t.sumR / n;
    if (varR <= 0)
        return false;
    for (int it = 0; it < iterations; ++it) {
        // The template's samples all share the fractional part of the shift: one set of bilinear weights.
        const double fxAbs = std::floor(dx), fyAbs = std::floor(dy);
        const int ix = int(fxAbs), iy = int(fyAbs);
        const float ax = float(dx - fxAbs), ay = float(dy - fyAbs);
        if (t.x0 + ix < 0 || t.y0 + iy < 0 || t.x0 + t.width - 1 + ix + 1 >= frame.width
            || t.y0 + t.height - 1 + iy + 1 >= frame.height)
            return false;
        const float w00 = (1 - ax) * (1 - ay), w10 = ax * (1 - ay), w01 = (1 - ax) * ay, w11 = ax * ay;
        double sf = 0, sff = 0, srf = 0, sgxf = 0, sgyf = 0;
        const Float4 v00 = {w00, w00, w00, w00}, v10 = {w10, w10, w10, w10}, v01 = {w01, w01, w01, w01},
                     v11 = {w11, w11, w11, w11};
        const int perRow = (t.width + t.step - 1) / t.step;
        std::size_t k = 0;
        for (int y = t.y0; y < t.y0 + t.height; y += t.step) {
            const float* a = frame.row(y + iy) + ix + t.x0;
            const float* b = frame.row(y + iy + 1) + ix + t.x0;
            const float* r = t.r.data() + k;
            const float* gx = t.gx.data() + k;
            const float* gy = t.gy.data() + k;
            // Four samples at a time: the pixels at the samples and their right-hand neighbours.
            Float4 accF = {}, accFF = {}, accRF = {}, accGxF = {}, accGyF = {};
            int s = 0;
            for (; t.step <= 2 && s + 4 <= perRow; s += 4) {
                Float4 a0, a1, b0, b1;
                if (t.step == 1) {
                    a0 = load4(a + s);
                    a1 = load4(a + s + 1);
                    b0 = load4(b + s);
                    b1 = load4(b + s + 1);
                } else {
                    const Float4 aLo = load4(a + 2 * s), aHi = load4(a + 2 * s + 4);
                    const Float4 bLo = load4(b + 2 * s), bHi = load4(b + 2 * s + 4);
                    a0 = Float4{aLo[0], aLo[2], aHi[0], aHi[2]};
                    a1 = Float4{aLo[1], aLo[3], aHi[1], aHi[3]};
                    b0 = Float4{bLo[0], bLo[2], bHi[0], bHi[2]};
                    b1 = Float4{bLo[1], bLo[3], bHi[1], bHi[3]};
                }
                const Float4 f = (v00 * a0 + v10 * a1) + (v01 * b0 + v11 * b1);
                accF += f;
                accFF += f * f;
                accRF += load4(r + s) * f;
                accGxF += load4(gx + s) * f;
                accGyF += load4(gy + s) * f;
            }
            const Float4 zero = {};
            float rowF = laneSum(accF, zero), rowFF = laneSum(accFF, zero), rowRF = laneSum(accRF, zero);
            float rowGxF = laneSum(accGxF, zero), rowGyF = laneSum(accGyF, zero);
            for (; s < perRow; ++s) {
                const int x = s * t.step;
                const float f = (w00 * a[x] + w10 * a[x + 1]) + (w01 * b[x] + w11 * b[x + 1]);
                rowF += f;
                rowFF += f * f;
                rowRF += r[s] * f;
                rowGxF += gx[s] * f;
                rowGyF += gy[s] * f;
            }
            k += std::size_t(perRow);
            sf += rowF;
            sff += rowFF;
            srf += rowRF;
            sgxf += rowGxF;
            sgyf += rowGyF;
        }
        // f ~ g r + o by least squares; the residual's projections on the gradients give the step.
        const double g = (srf - t.sumR * sf / n) / varR;
        if (!(g > 1e-6))
            return false;
        const double o = (sf - g * t.sumR) / n;
        const double bx = sgxf - g * t.sumGxR - o * t.sumGx;
        const double by = sgyf - g * t.sumGyR - o * t.sumGy;
        const double stepX = -(t.hyy * bx - t.hxy * by) / (det * g);
        const double stepY = -(t.hxx * by - t.hxy * bx) / (det * g);
        dx += stepX;
        dy += stepY;
        if (std::abs(dx - startX) > maxMove || std::abs(dy - startY) > maxMove)
            return false;
        if (std::abs(stepX) + std::abs(stepY) < 1e-3)
            break;
    }
    return std::isfinite(dx) && std::isfinite(dy);
}

QRect chooseSurfacePatch(const FloatPlane& p, int margin)
{
    const int w = p.width, h = p.height;
    const int pw = std::max(8, int(w * 0.577)), ph = std::max(8, int(h * 0.577));
    const int m = std::max(1, std::min(margin, std::min((w - pw) / 2, (h - ph) / 2)));
    if (w - 2 * m < pw || h - 2 * m < ph)
        return QRect(1, 1, std::max(0, w - 2), std::max(0, h - 2));
    // Integral image of the gradient energy.
    std::vector<double> sat(std::size_t(w + 1) * (h + 1), 0.0);
    for (int y = 0; y < h; ++y) {
        double run = 0;
        for (int x = 0; x < w; ++x) {
            double e = 0;
            if (x > 0 && y > 0 && x < w - 1 && y < h - 1) {
                const double gx = p.at(x + 1, y) - p.at(x - 1, y), gy = p.at(x, y + 1) - p.at(x, y - 1);
                e = gx * gx + gy * gy;
            }
            run += e;
            sat[std::size_t(y + 1) * (w + 1) + x + 1] = sat[std::size_t(y) * (w + 1) + x + 1] + run;
        }
    }
    auto boxSum = [&](int x, int y) {
        const std::size_t s = std::size_t(w + 1);
        return sat[std::size_t(y + ph) * s + x + pw] - sat[std::size_t(y) * s + x + pw] - sat[std::size_t(y + ph) * s + x]
               + sat[std::size_t(y) * s + x];
    };
    QRect best(m, m, pw, ph);
    double bestEnergy = -1;
    const int step = 4;
    for (int y = m; y + ph <= h - m; y += step)
        for (int x = m; x + pw <= w - m; x += step) {
            const double e = boxSum(x, y);
            if (e > bestEnergy) {
                bestEnergy = e;
                best = QRect(x, y, pw, ph);
            }
        }
    return best;
}


// Mean-free squared difference of the level's patch against the frame at whole-pixel shift (u, v);
// +inf when the shifted patch leaves the frame. With r' the mean-free reference samples,
// |r' - (f - mean f)|^2 = sum r'^2 + (sum f^2 - (sum f)^2 / n) - 2 sum r' f.
double SurfaceMatcher::difference(const Level& level, const FloatPlane& frame, int u, int v)
{
    const QRect& patch = level.patch;
    if (patch.left() + u < 0 || patch.top() + v < 0 || patch.right() + u >= frame.width || patch.bottom() + v >= frame.height)
        return std::numeric_limits<double>::infinity();
    const int w = patch.width();
    double sf = 0, sff = 0, srf = 0;
    for (int j = 0; j < patch.height(); ++j) {
        const float* r = level.centred.data() + std::size_t(j) * std::size_t(w);
        const float* f = frame.row(patch.top() + j + v) + patch.left() + u;
        Float4 a0 = {}, a1 = {}, b0 = {}, b1 = {}, c0 = {}, c1 = {};
        int x = 0;
        for (; x + 8 <= w; x += 8) {
            const Float4 f0 = load4(f + x), f1 = load4(f + x + 4);
            a0 += load4(r + x) * f0;
            a1 += load4(r + x + 4) * f1;
            b0 += f0;
            b1 += f1;
            c0 += f0 * f0;
            c1 += f1 * f1;
        }
        float ta = laneSum(a0, a1), tb = laneSum(b0, b1), tc = laneSum(c0, c1);
        for (; x < w; ++x) {
            ta += r[x] * f[x];
            tb += f[x];
            tc += f[x] * f[x];
        }
        srf += ta;
        sf += tb;
        sff += tc;
    }
    const double n = double(w) * patch.height();
    return level.sumCentred2 + (sff - sf * sf / n) - 2 * srf;
}

// The differences on the square of half-width reach around (cu, cv), row by row, computed in parallel;
// every value depends on its shift alone.
void SurfaceMatcher::differences(const Level& level, const FloatPlane& frame, int cu, int cv, int reach,
                                 std::vector<double>& out)
{
    const int side = 2 * reach + 1;
    out.assign(std::size_t(side) * std::size_t(side), std::numeric_limits<double>::infinity());
    const long long pixels = std::max(1LL, (long long)level.patch.width() * level.patch.height());
    const int minBlock = int(std::clamp(40000LL / pixels, 1LL, (long long)side * side));
    parallel::forRange(0, side * side, [&](int k0, int k1) {
        for (int k = k0; k < k1; ++k)
            out[std::size_t(k)] = difference(level, frame, cu - reach + k % side, cv - reach + k / side);
    }, minBlock);
}

SurfaceMatcher::Level SurfaceMatcher::makeLevel(FloatPlane reference, const QRect& patch)
{
    Level level;
    level.reference = std::move(reference);
    level.patch = patch;
    const std::size_t n = std::size_t(patch.width()) * std::size_t(patch.height());
    level.centred.resize(n);
    double sum = 0;
    for (int y = patch.top(); y <= patch.bottom(); ++y)
        for (int x = patch.left(); x <= patch.right(); ++x)
            sum += level.reference.at(x, y);
    const double mean = sum / double(std::max<std::size_t>(1, n));
    double squares = 0;
    std::size_t k = 0;
    for (int y = patch.top(); y <= patch.bottom(); ++y)
        for (int x = patch.left(); x <= patch.right(); ++x, ++k) {
            const float c = float(level.reference.at(x, y) - mean);
            level.centred[k] = c;
            squares += double(c) * c;
        }
    level.sumCentred2 = squares;
    return level;
}

SurfaceMatcher::SurfaceMatcher(const FloatPlane& reference, const QRect& patchIn, int search) : search_(std::max(1, search))
{
    const QRect patch = patchIn.intersected(QRect(1, 1, reference.width - 2, reference.height - 2));
    if (patch.width() < 8 || patch.height() < 8)
        return;
    levels_.push_back(makeLevel(reference, patch));
    // Coarser levels while the patch keeps at least 24 pixels a side and the search is wider than 6.
    while (levels_.size() < 4) {
        const Level& last = levels_.back();
        const int factor = 1 << levels_.size();
        const QRect next(last.patch.left() / 2 + 1, last.patch.top() / 2 + 1, last.patch.width() / 2 - 2,
                         last.patch.height() / 2 - 2);
        if (next.width() < 24 || next.height() < 24 || search_ / factor < 3)
            break;
        levels_.push_back(makeLevel(halved(last.reference), next));
    }
    fine_ = makeTemplate(reference, patch, patch.width() * patch.height() > 40000 ? 2 : 1);
}

SurfaceMatcher::Result SurfaceMatcher::match(const FloatPlane& frame, double startDx, double startDy) const
{
    Result result;
    if (levels_.empty())
        return result;
    std::vector<FloatPlane> pyramid;
    pyramid.reserve(levels_.size());
    pyramid.push_back(frame);
    for (std::size_t l = 1; l < levels_.size(); ++l)
        pyramid.push_back(halved(pyramid.back()));

    // The best of a grid of differences (the first in row order among equals).
    std::vector<double> grid;
    auto bestOf = [&](int cu, int cv, int reach, int& bu, int& bv) {
        const int side = 2 * reach + 1;
        double best = std::numeric_limits<double>::infinity();
        for (int k = 0; k < side * side; ++k)
            if (grid[std::size_t(k)] < best) {
                best = grid[std::size_t(k)];
                bu = cu - reach + k % side;
                bv = cv - reach + k / side;
            }
        return std::isfinite(best);
    };
    const int top = int(levels_.size()) - 1;
    const int scale = 1 << top;
    int reach = (search_ + scale - 1) / scale;
    int cu = int(std::lround(startDx / scale)), cv = int(std::lround(startDy / scale));
    int bu = cu, bv = cv;
    differences(levels_[std::size_t(top)], pyramid[std::size_t(top)], cu, cv, reach, grid);
    if (!bestOf(cu, cv, reach, bu, bv))
        return result;
    for (int l = top - 1; l >= 0; --l) {
        cu = 2 * bu;
        cv = 2 * bv;
        reach = 2;
        differences(levels_[std::size_t(l)], pyramid[std::size_t(l)], cu, cv, reach, grid);
        if (!bestOf(cu, cv, reach, bu, bv))
            return result;
    }
    // Paraboloid through the 3 x 3 neighbourhood of the best whole-pixel match, from the last grid
    // where it holds the neighbours.
    const Level& base = levels_.front();
    const int side = 2 * reach + 1;
    double s[3][3];
    for (int j = -1; j <= 1; ++j)
        for (int i = -1; i <= 1; ++i) {
            const int gu = bu + i - (cu - reach), gv = bv + j - (cv - reach);
            s[j + 1][i + 1] = gu >= 0 && gu < side && gv >= 0 && gv < side ? grid[std::size_t(gv) * side + gu]
                                                                           : difference(base, frame, bu + i, bv + j);
        }
    double px = 0, py = 0;
    const double cxx = s[1][0] - 2 * s[1][1] + s[1][2], cyy = s[0][1] - 2 * s[1][1] + s[2][1];
    if (std::isfinite(cxx) && cxx > 0)
        px = std::clamp(0.5 * (s[1][0] - s[1][2]) / cxx, -0.5, 0.5);
    if (std::isfinite(cyy) && cyy > 0)
        py = std::clamp(0.5 * (s[0][1] - s[2][1]) / cyy, -0.5, 0.5);
    double dx = bu + px, dy = bv + py;
    const double coarseX = dx, coarseY = dy;
    if (!refineShift(fine_, frame, dx, dy, 8, 1.5)) {
        dx = coarseX;
        dy = coarseY;
    }
    result.found = true;
    result.dx = dx;
    result.dy = dy;
    return result;
}

} // namespace kernels
