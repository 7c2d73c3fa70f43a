// Writes the bundled sample sequence: 20 light frames of a planet that wanders and shimmers, as a
// planetary camera records it through unsteady air, and 4 dark frames of the same sensor.
// Deterministic: the same command always writes the same pixels.
//
//   make-samples OUTDIR

#include "synthetic.h"

#include <QDir>

#include <cstdio>
#include <utility>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr double kRadius = 46.0;
constexpr int kFrames = 20;
constexpr int kDarks = 4;
constexpr double kMaxWander = 8.0;  // pixels from the middle of the frame, either axis
constexpr double kMaxStep = 2.0;    // pixels per frame, either axis
constexpr double kSharpest = 0.3;   // blur sigma of the best frame
constexpr double kSoftest = 2.5;    // and of the worst
constexpr quint32 kSensor = 7;      // the hot pixels shared by the lights and the darks
constexpr int kHotPixels = 12;
constexpr double kDarkLevel = 3.0;
// Noise barely compresses in PNG: these levels keep the bundled set well under 2 MB.
constexpr double kDarkNoise = 0.5;
constexpr double kShotNoise = 0.5;

// Keeps a random walk inside [-limit, limit] by reflecting it at the walls.
double reflect(double value, double limit)
{
    if (value > limit)
        return 2.0 * limit - value;
    if (value < -limit)
        return -2.0 * limit - value;
    return value;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-samples OUTDIR\n");
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);

    // Every blur from the sharpest to the softest once, in shuffled order, so the best frames are
    // spread through the sequence rather than at its start.
    synth::Rng order(20240611);
    double sigmas[kFrames];
    for (int i = 0; i < kFrames; ++i)
        sigmas[i] = kSharpest + (kSoftest - kSharpest) * i / (kFrames - 1);
    for (int i = kFrames - 1; i > 0; --i)
        std::swap(sigmas[i], sigmas[order.below(i + 1)]);

    synth::Rng walk(4242);
    double ox = 0.0;
    double oy = 0.0;
    QVector<QImage> frames;
    QVector<synth::Planet> planets;
    for (int i = 0; i < kFrames; ++i) {
        ox = reflect(ox + kMaxStep * (2.0 * walk.uniform() - 1.0), kMaxWander);
        oy = reflect(oy + kMaxStep * (2.0 * walk.uniform() - 1.0), kMaxWander);
        synth::Planet p;
        p.width = kWidth;
        p.height = kHeight;
        p.cx = kWidth / 2 + ox;
        p.cy = kHeight / 2 + oy;
        p.radius = kRadius;
        p.blur = sigmas[i];
        p.noise = kShotNoise;
        p.seed = quint32(100 + i);
        const QImage dark = synth::renderDark(kWidth, kHeight, quint32(1000 + i), kDarkLevel, kDarkNoise, kHotPixels, kSensor);
        frames.append(synth::addSaturated(synth::renderPlanet(p), dark));
        planets.append(p);
    }

    const QStringList paths = synth::writeSequence(outDir, QStringLiteral("frame"), frames);
    if (paths.size() != frames.size()) {
        std::fprintf(stderr, "make-samples: cannot write the frames into %s\n", qPrintable(outDir));
        return 1;
    }
    for (int i = 0; i < paths.size(); ++i) {
        std::printf("%s  centre (%.2f, %.2f)  blur %.2f\n", qPrintable(paths[i]), planets[i].cx, planets[i].cy,
                    planets[i].blur);
    }

    const QDir dir(outDir);
    for (int i = 0; i < kDarks; ++i) {
        const QString path = dir.filePath(QStringLiteral("dark_%1.png").arg(i));
        const QImage dark = synth::renderDark(kWidth, kHeight, quint32(2000 + i), kDarkLevel, kDarkNoise, kHotPixels, kSensor);
        if (!dark.save(path, "PNG")) {
            std::fprintf(stderr, "make-samples: cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s  dark level %.1f  noise %.1f  %d hot pixels\n", qPrintable(path), kDarkLevel, kDarkNoise, kHotPixels);
    }
    return 0;
}
