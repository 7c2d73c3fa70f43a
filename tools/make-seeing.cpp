// Writes a sequence with simulated seeing and its truth:
//   make-seeing planet|moon OUTDIR [FRAMES] [SEED]
// OUTDIR gets frame_000.png ..., truth.png (sharp, undistorted, noise-free) and frames.txt (each
// frame's shift, warp and blur).

#include "seeing.h"

#include <QCoreApplication>

#include <cstdio>
#include <thread>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() < 3 || (a[1] != QLatin1String("planet") && a[1] != QLatin1String("moon"))) {
        std::fprintf(stderr, "usage: make-seeing planet|moon OUTDIR [FRAMES] [SEED]\n");
        return 2;
    }
    seeing::Parameters p;
    p.scene = a[1] == QLatin1String("planet") ? seeing::Scene::Planet : seeing::Scene::Moon;
    if (a.size() > 3)
        p.frames = std::max(1, a[3].toInt());
    if (a.size() > 4)
        p.seed = a[4].toUInt();
    const seeing::Sequence sequence(p);
    const QStringList paths = sequence.write(a[2], int(std::max(1u, std::thread::hardware_concurrency())));
    if (paths.isEmpty()) {
        std::fprintf(stderr, "make-seeing: cannot write into %s\n", qPrintable(a[2]));
        return 1;
    }
    std::printf("%d frames of %dx%d in %s\n", int(paths.size()), p.width, p.height, qPrintable(a[2]));
    return 0;
}
