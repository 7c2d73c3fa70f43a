#pragma once
// Sequences that look like what a planetary camera records through turbulent air, for tuning and
// scoring the alignment and stacking: a sharp, noise-free scene (the truth) and frames of it that are
// moved as a whole (a slow drift plus a small jitter), bent by a smooth displacement field that
// changes from frame to frame, blurred by an amount that varies across the field and from frame to
// frame, and noisy.
//
// Everything is drawn from seeded generators, so a given set of parameters always gives the same
// frames (on one platform: the scenes use the C library's sin, cos, exp and pow).
//
// Coordinates: frame pixel p shows the scene at truth position p + shift + displacement(p), so a
// feature at truth position q appears in the frame near q - shift - displacement.

#include <QImage>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <vector>

namespace seeing {

enum class Scene { Planet, Moon };

// A three-channel image of floats in 8-bit levels (0..255, not clamped), row-major, interleaved r, g, b.
struct Plane3 {
    int width = 0;
    int height = 0;
    std::vector<float> v;

    Plane3() = default;
    Plane3(int w, int h) : width(w), height(h), v(std::size_t(w) * std::size_t(h) * 3, 0.0f) {}
    float* at(int x, int y) { return v.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3; }
    const float* at(int x, int y) const
    {
        return v.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3;
    }
};

struct Parameters {
    Scene scene = Scene::Planet;
    int width = 640;
    int height = 480;
    int frames = 300;
    quint32 seed = 1;
    // The whole target drifts by this many pixels in total over the sequence (in a random direction,
    // along a gently curved path) and jitters by a gaussian of this std-dev in each axis per frame.
    double drift = 24.0;
    double jitter = 1.0;
    // Per frame the displacement field's RMS length is drawn uniformly from [minWarp, maxWarp] pixels.
    double minWarp = 1.0;
    double maxWarp = 3.0;
    // Per frame a base blur (gaussian sigma) is drawn uniformly from [minBaseBlur, maxBaseBlur]; across
    // the field it varies by a smooth pattern of RMS blurSpread, clamped to [minBlur, maxBlur].
    double minBaseBlur = 0.8;
    double maxBaseBlur = 2.2;
    double blurSpread = 0.35;
    double minBlur = 0.6;
    double maxBlur = 2.5;
    // Noise std-dev in 8-bit levels: sqrt(readNoise^2 + shotNoise * level).
    double readNoise = 3.0;
    double shotNoise = 0.08;
};

// One sinusoidal component of a smooth field: value(p) = amplitude * cos(k . p + phase).
struct Mode {
    double kx = 0, ky = 0;
    double phase = 0;
    double ax = 0, ay = 0; // amplitude per axis (for scalar fields only ax is used)
};

// What makes frame i what it is.
struct FrameState {
    QPointF shift;               // global shift in pixels
    double warpRms = 0;          // RMS length of the displacement field over the frame
    double baseBlur = 0;         // gaussian sigma before the variation across the field
    double meanBlur = 0;         // mean sigma over the frame after the variation and clamping
    std::vector<Mode> warpModes; // displacement field (ax, ay per mode)
    std::vector<Mode> blurModes; // unit-RMS pattern of the blur variation (ax per mode)
};

class Sequence {
public:
    explicit Sequence(const Parameters& parameters);

    const Parameters& parameters() const { return p_; }
    // The scene with a margin around the frame area (so shifted frames never leave it).
    const Plane3& scene() const { return scene_; }
    int margin() const { return margin_; }
    // The undistorted, sharp, noise-free truth, the size of a frame.
    QImage truth() const;
    const FrameState& state(int i) const { return states_[std::size_t(i)]; }

    // Displacement of frame i at frame pixel (x, y).
    QPointF displacement(int i, double x, double y) const;
    // The displacement of frame i at every frame pixel (row-major), as the frames are rendered with.
    std::vector<QPointF> displacementField(int i) const;
    // Blur sigma of frame i at frame pixel (x, y).
    double blurAt(int i, double x, double y) const;

    QImage frame(int i) const;

    // Writes frame_000.png ... and truth.png into dir (and a text file listing every frame's state),
    // generating on up to `threads` threads; returns the frame paths in order, empty on failure.
    QStringList write(const QString& dir, int threads = 2) const;

private:
    int gridStep() const;

    Parameters p_;
    int margin_ = 0;
    Plane3 scene_;
    std::vector<FrameState> states_;
};

// The scenes on their own: w x h (the whole canvas), sharp and noise-free.
Plane3 renderPlanetScene(int w, int h, quint32 seed);
Plane3 renderMoonScene(int w, int h, quint32 seed);

// Lanczos-3 sample of a plane at a sub-pixel position, edges repeated; writes three channels.
void sampleLanczos(const Plane3& plane, double x, double y, float* out);

QImage toImage(const Plane3& plane);
Plane3 fromImage(const QImage& image);

} // namespace seeing
