// Where the per-frame kernels lose time inside a pass: thread CPU time (not elapsed time, which
// other threads of the pass share) of each kernel on one frame used again and again (in the CPU
// caches), on every frame of a decoded sequence in turn (from memory, as passes after the first
// see them), on a frame just decoded (as the first pass sees it), and with a thread decoding PNG
// files beside it (as read-ahead does).
//   bench_inpass [--frames N] [--size WxH]

#include "alignment.h"
#include "floatimage.h"
#include "memory.h"
#include "parallel.h"
#include "stackengine.h"
#include "stacking.h"
#include "synthetic.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

namespace {

double threadCpuMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double wallMs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    memory::keepLargeBuffers();
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    int count = 100, width = 640, height = 480;
    const int at = a.indexOf(QStringLiteral("--frames"));
    if (at >= 0 && at + 1 < a.size())
        count = std::max(2, a[at + 1].toInt());
    const int sizeAt = a.indexOf(QStringLiteral("--size"));
    if (sizeAt >= 0 && sizeAt + 1 < a.size()) {
        const QStringList wh = a[sizeAt + 1].split(QLatin1Char('x'));
        if (wh.size() == 2) {
            width = std::max(64, wh[0].toInt());
            height = std::max(64, wh[1].toInt());
        }
    }
    parallel::setThreadCount(1);
    QTemporaryDir dir;
    QVector<QImage> rendered;
    for (int i = 0; i < count; ++i) {
        synth::Planet p;
        p.width = width;
        p.height = height;
        p.cx = width / 2.0 + (i % 7) - 3;
        p.cy = height / 2.0 + (i % 5) - 2;
        p.radius = height * 0.2;
        p.blur = 0.4 + 0.1 * (i % 10);
        p.noise = 2.0;
        p.seed = quint32(1000 + i);
        rendered << synth::renderPlanet(p);
    }
    const QStringList files = synth::writeSequence(dir.path(), QStringLiteral("frame"), rendered);
    rendered.clear();
    std::vector<QImage> frames;
    for (const QString& f : files) {
        QImage image;
        StackEngine::readImage(f, image);
        frames.push_back(image);
    }
    const QColor reference = kernels::meanColour(frames[0]);
    auto acc = createFloatImage(width + 8, height + 8);
    kernels::StackParams sp;
    sp.maxDx = sp.maxDy = 4;
    sp.dx = sp.dy = 1;
    volatile int sink = 0;
    const std::vector<std::pair<const char*, std::function<void(const QImage&)>>> kernelsToTime = {
        {"meanColour", [&](const QImage& im) { sink = sink + kernels::meanColour(im).red(); }},
        {"normaliseColour", [&](const QImage& im) {
             QImage c = im;
             kernels::normaliseColour(c, reference);
             sink = sink + c.width();
         }},
        {"detectFeature", [&](const QImage& im) { sink = sink + kernels::detectFeature(im, 75, 2, 20).x; }},
        {"stackFrame", [&](const QImage& im) { kernels::stackFrame(im, *acc, sp); }},
    };
    std::printf("%d frames of %dx%d, one thread per kernel; ms per frame (thread CPU / elapsed)\n", count, width, height);
    std::printf("%-16s %17s %17s %17s %17s %10s\n", "kernel", "same frame", "every frame", "+ decoding thread",
                "just decoded", "cold/hot");
    std::atomic<bool> stop{false};
    for (const auto& k : kernelsToTime) {
        auto timed = [&](bool sameFrame, double* wall) {
            const double c0 = threadCpuMs(), w0 = wallMs();
            for (int i = 0; i < count; ++i)
                k.second(frames[std::size_t(sameFrame ? 0 : i)]);
            *wall = (wallMs() - w0) / count;
            return (threadCpuMs() - c0) / count;
        };
        double wHot = 0, wCold = 0, wBusy = 0;
        k.second(frames[0]);
        const double hot = timed(true, &wHot);
        const double cold = timed(false, &wCold);
        stop = false;
        std::thread decoder([&] {
            while (!stop)
                for (const QString& f : files) {
                    if (stop)
                        break;
                    QImage image;
                    StackEngine::readImage(f, image);
                    sink = sink + image.width();
                }
        });
        const double busy = timed(false, &wBusy);
        stop = true;
        decoder.join();
        double fresh = 0;
        for (const QString& f : files) {
            QImage image;
            StackEngine::readImage(f, image);
            const double c0 = threadCpuMs();
            k.second(image);
            fresh += threadCpuMs() - c0;
        }
        fresh /= count;
        std::printf("%-16s %7.3f / %7.3f %7.3f / %7.3f %7.3f / %7.3f %7.3f          %10.2f\n", k.first, hot, wHot, cold, wCold,
                    busy, wBusy, fresh, cold / hot);
        std::fflush(stdout);
    }
    return 0;
}
