// Multi-point alignment kernels.

#include "multipoint.h"

#include <algorithm>
#include <cmath>

namespace kernels {

double boxStructure(const FloatPlane& p, int x0, int y0, int size)
{
    if (x0 < 1 || y0 < 1 || x0 + size > p.width - 1 || y0 + size > p.height - 1 || size <= 0)
        return 0;
    double xx = 0, xy = 0, yy = 0;
    for (int y = y0; y < y0 + size; ++y) {
        const float* up = p.row(y - 1);
        const float* mid = p.row(y);
        const float* down = p.row(y + 1);
        for (int x = x0; x < x0 + size; ++x) {
            const double gx = 0.5 * (mid[x + 1] - mid[x - 1]);
            const double gy = 0.5 * (down[x] - up[x]);
            xx += gx * gx;
            xy += gx * gy;
            yy += gy * gy;
        }
    }
    const double n = double(size) * size;
    xx /= n;
    xy /= n;
    yy /= n;
    const double half = 0.5 * (xx + yy);
    const double root = std::sqrt(std::max(0.0, 0.25 * (xx - yy) * (xx - yy) + xy * xy));
    return std::sqrt(std::max(0.0, half - root));
}

double boxBrightness(const FloatPlane& p, int x0, int y0, int size)
{
    if (x0 < 0 || y0 < 0 || x0 + size > p.width || y0 + size > p.height || size <= 0)
        return 0;
    double s = 0;
    for (int y = y0; y < y0 + size; ++y) {
        const float* row = p.row(y);
        for (int x = x0; x < x0 + size; ++x)
            s += row[x];
    }
    return s / (double(size) * size);
}

std::vector<AlignmentPoint> placeAlignmentPoints(const FloatPlane& reference, const MultiPointSettings& s)
{
    std::vector<AlignmentPoint> points;
    const int size = std::max(8, s.boxSize & ~1);
    const int spacing = size / 2;
    // Boxes keep a margin of a pixel (for the gradients) plus two for the sub-pixel search.
    const int margin = 3;
    const int spanX = reference.width - 2 * margin - size, spanY = reference.height - 2 * margin - size;
    if (spanX < 0 || spanY < 0)
        return points;
    const int nx = spanX / spacing + 1, ny = spanY / spacing + 1;
    const int startX = margin + (spanX - (nx - 1) * spacing) / 2, startY = margin + (spanY - (ny - 1) * spacing) / 2;
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const int x0 = startX + i * spacing, y0 = startY + j * spacing;
            AlignmentPoint ap;
            ap.x = x0 + size / 2;
            ap.y = y0 + size / 2;
            ap.size = size;
            ap.brightness = boxBrightness(reference, x0, y0, size);
            if (ap.brightness < s.minBrightness)
                continue;
            ap.structure = boxStructure(reference, x0, y0, size);
            if (ap.structure < s.minStructure || ap.structure <= 0)
                continue;
            points.push_back(ap);
        }
    return points;
}

PointMeasurer::PointMeasurer(const FloatPlane& reference, const std::vector<AlignmentPoint>& points, int search)
    : search_(std::max(1, search))
{
    const FloatPlane half = halved(reference);
    points_.reserve(points.size());
    for (const AlignmentPoint& ap : points) {
        Prepared p;
        p.point = ap;
        const int x0 = ap.x - ap.size / 2, y0 = ap.y - ap.size / 2;
        p.coarse = makeTemplate(half, QRect(x0 / 2, y0 / 2, ap.size / 2, ap.size / 2), 1);
        p.fine = makeTemplate(reference, QRect(x0, y0, ap.size, ap.size), 2);
        points_.push_back(std::move(p));
    }
}

void PointMeasurer::measure(const FloatPlane& frame, double gx, double gy, LocalMeasure* out) const
{
    const FloatPlane half = halved(frame);
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const Prepared& p = points_[i];
        LocalMeasure m;
        double dx = gx / 2, dy = gy / 2;
        if (refineShift(p.coarse, half, dx, dy, 6, search_ / 2.0)) {
            dx *= 2;
            dy *= 2;
            double fx = dx, fy = dy;
            if (refineShift(p.fine, frame, fx, fy, 3, 1.5)) {
                dx = fx;
                dy = fy;
            }
            m.ok = std::abs(dx - gx) <= search_ && std::abs(dy - gy) <= search_;
            m.dx = float(dx);
            m.dy = float(dy);
        }
        // Sharpness: mean squared Laplacian at half resolution (where noise is weaker), relative to
        // the squared mean level, in the box where the point's content lies in this frame. Blur takes
        // away the fine detail the Laplacian sees; the level makes it independent of transparency.
        const int size = p.point.size / 2;
        const int bx = int(std::lround((p.point.x - p.point.size / 2 + (m.ok ? m.dx : gx)) / 2.0));
        const int by = int(std::lround((p.point.y - p.point.size / 2 + (m.ok ? m.dy : gy)) / 2.0));
        if (bx >= 1 && by >= 1 && bx + size < half.width - 1 && by + size < half.height - 1) {
            double energy = 0, level = 0;
            for (int y = by; y < by + size; ++y) {
                const float* up = half.row(y - 1);
                const float* row = half.row(y);
                const float* down = half.row(y + 1);
                float e = 0, l = 0;
                for (int x = bx; x < bx + size; ++x) {
                    const float lap = 4.0f * row[x] - (row[x - 1] + row[x + 1] + up[x] + down[x]);
                    e += lap * lap;
                    l += row[x];
                }
                energy += e;
                level += l;
            }
            const double n = double(size) * size;
            const double mean = level / n;
            m.quality = float(energy / n / (mean * mean + 1.0));
        } else {
            m.ok = false;
        }
        out[i] = m;
    }
}

float blendWeight(double t, int size)
{
    const double half = size / 2.0;
    if (std::abs(t) >= half)
        return 0.0f;
    const double c = std::cos(M_PI * t / size);
    return float(c * c);
}

} // namespace kernels
