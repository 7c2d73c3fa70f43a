#pragma once
// Sub-pixel global alignment: the centre of a planet's disk, and the shift of a large structured patch
// of a surface (Moon, Sun) found by correlation. Both work on luminance planes.

#include "plane.h"

#include <QImage>
#include <QRect>

#include <vector>

// How a sequence is aligned as a whole. Feature is the bright-feature search with whole-pixel
// positions; Planet and Surface give sub-pixel positions.
enum class AlignMode { Feature, Planet, Surface };

namespace kernels {

struct PlanetCentre {
    bool found = false;
    double x = 0, y = 0;   // centre of gravity of the disk
    bool edgeCut = false;  // the disk reaches the frame edge; the centre then comes from its symmetric part
    bool noSky = false;    // the bright area lines three or four frame edges or fills most of the frame:
                           // a surface filling the frame, not a disk on sky (found is false)
    int threshold = 0;     // the sky/disk threshold used (8-bit luminance)
    double sky = 0;        // the sky level subtracted from the weights
};

// The sky/disk threshold of Otsu's method on the 8-bit luminance histogram.
int otsuThreshold(const std::vector<long long>& histogram);

// The disk's centre of gravity. A pixel belongs to the disk when it and its four neighbours reach the
// threshold (threshold < 0: chosen automatically); the disk with a 3-pixel rim around it is weighted
// by the luminance above the sky level, so that the soft limb enters smoothly. When the disk reaches
// the frame edge only the part symmetric about the centre is weighed. A frame without sky around the
// bright area (see PlanetCentre::noSky) gives no centre.
PlanetCentre planetCentre(const QImage& image, int threshold = -1);
PlanetCentre planetCentre(const FloatPlane& luminance, int threshold = -1);

// Samples of a reference rectangle prepared for the sub-pixel shift search: values, gradients and
// their sums, on every step-th pixel.
struct ShiftTemplate {
    int x0 = 0, y0 = 0, width = 0, height = 0, step = 1;
    std::vector<float> r, gx, gy;
    double sumR = 0, sumRR = 0, sumGx = 0, sumGy = 0, sumGxR = 0, sumGyR = 0;
    double hxx = 0, hxy = 0, hyy = 0; // structure tensor
    bool usable = false;              // the tensor can be inverted
    int count() const { return int(r.size()); }
};

// Prepares the rectangle (inside the plane, one pixel off its edges) of the reference.
ShiftTemplate makeTemplate(const FloatPlane& reference, const QRect& rect, int step = 1);

// Gauss-Newton iterations on the squared difference between the template and the frame at the shift
// (dx, dy) (frame position minus reference position), with gain and offset fitted each step. The
// shift is updated in place; false when the frame does not fit (no contrast, outside the frame, or
// the shift leaves the search box of half-width maxMove around where it started).
bool refineShift(const ShiftTemplate& t, const FloatPlane& frame, double& dx, double& dy, int iterations,
                 double maxMove);

// The rectangle of about a third of the frame's area with the most structure (gradient energy), kept
// margin pixels from the edges.
QRect chooseSurfacePatch(const FloatPlane& reference, int margin);

// Finds where a reference patch lies in frames: a coarse-to-fine search of the mean-free squared
// difference within the search width around a starting shift, a paraboloid through the best whole-
// pixel match, then sub-pixel refinement.
class SurfaceMatcher {
public:
    SurfaceMatcher() = default;
    SurfaceMatcher(const FloatPlane& reference, const QRect& patch, int search);
    bool isNull() const { return levels_.empty(); }

    struct Result {
        bool found = false;
        double dx = 0, dy = 0;
    };
    Result match(const FloatPlane& frame, double startDx, double startDy) const;

private:
    struct Level {
        FloatPlane reference;
        QRect patch;
        std::vector<float> centred; // the patch's samples minus their mean, row by row
        double sumCentred2 = 0;     // their sum of squares
    };
    static Level makeLevel(FloatPlane reference, const QRect& patch);
    static double difference(const Level& level, const FloatPlane& frame, int u, int v);
    static void differences(const Level& level, const FloatPlane& frame, int cu, int cv, int reach,
                            std::vector<double>& out);
    std::vector<Level> levels_;
    ShiftTemplate fine_;
    int search_ = 34;
};

} // namespace kernels
