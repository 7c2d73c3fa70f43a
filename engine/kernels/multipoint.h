#pragma once
// Multi-point (local) alignment: a grid of alignment points on a reference image; per frame and point
// a local sharpness and a local sub-pixel shift; per point the sharpest frames stacked with their own
// shifts, the points' patches blended with smooth weights.

#include "globalalign.h"
#include "plane.h"

#include <vector>

struct MultiPointSettings {
    bool enabled = false;
    int boxSize = 48;        // side of a point's box in pixels; points lie half a box apart
    int search = 14;         // how far a point may move from its global position, in pixels
    int keepPercent = 25;    // per point, the share of the frames with the best local sharpness
    double minStructure = 1.0; // least structure of a box (smaller gradient axis, 8-bit levels per pixel)
    int minBrightness = 20;  // least mean luminance of a box (8-bit levels)
};

struct AlignmentPoint {
    int x = 0, y = 0;       // centre, in reference frame coordinates
    int size = 48;          // box side
    double structure = 0;   // the box's structure (as MultiPointSettings::minStructure)
    double brightness = 0;  // the box's mean luminance
};

namespace kernels {

// Structure of a box of the plane: the square root of the smaller eigenvalue of the mean structure
// tensor (central differences), in levels per pixel. 0 when the box leaves the plane.
double boxStructure(const FloatPlane& plane, int x0, int y0, int size);
double boxBrightness(const FloatPlane& plane, int x0, int y0, int size);

// Points on a grid of spacing size / 2 whose boxes lie inside the plane (a reference in canvas
// coordinates) and reach the minimum brightness and structure. Coordinates are those of the plane.
std::vector<AlignmentPoint> placeAlignmentPoints(const FloatPlane& reference, const MultiPointSettings& settings);

// Per frame and point: sharpness and local shift.
struct LocalMeasure {
    float quality = 0.0f;
    float dx = 0.0f, dy = 0.0f; // frame position minus canvas position of the point's content
    bool ok = false;
};

// The points prepared once for measuring every frame.
class PointMeasurer {
public:
    PointMeasurer() = default;
    PointMeasurer(const FloatPlane& reference, const std::vector<AlignmentPoint>& points, int search);
    int count() const { return int(points_.size()); }
    // Measures every point in a frame whose global shift against the canvas is (gx, gy); out has
    // count() entries.
    void measure(const FloatPlane& frame, double gx, double gy, LocalMeasure* out) const;

private:
    struct Prepared {
        AlignmentPoint point;
        ShiftTemplate coarse; // half resolution
        ShiftTemplate fine;   // full resolution, every second pixel
    };
    std::vector<Prepared> points_;
    int search_ = 14;
};

// Smooth weight of a point's box at offset t (pixels from the box centre, |t| < size / 2): cos^2 so
// that boxes half a box apart add up to 1 along a row of points.
float blendWeight(double t, int size);

} // namespace kernels
