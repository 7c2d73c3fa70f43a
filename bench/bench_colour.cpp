// Latency of a colour change on a stack: the full-resolution adjustment with gamma and the low value
// boost, against the same per-pixel steps without remembered results (the previous loop, kept here
// for the ratio inside one run), and the sampled preview of the whole stack (every 3rd pixel at 4K).
//   bench_colour [--quick] [--frames N]
//   bench_colour --window [--frames N]   the window itself: CPU time per move of a control (preview of
//                                        what the view shows, painted) and at rest (the exact image),
//                                        at 1080p and 4K, windows of 1280x800 and 1920x1080
//   bench_colour --preview [--frames N]  the 4K sampled preview alone, for profiling

#include "benchstack.h"
#include "benchutil.h"
#include "colour.h"
#include "floatimage.h"
#include "parallel.h"
#include "stacking.h"
#include "synthetic.h"

#include "nebulo.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QThread>

#include <cstdio>

namespace {

// Gamma 0.8 on every channel with the low value boost of strength 2: the slow path of the colours.
kernels::ColourParams boostedGamma()
{
    kernels::ColourParams cp;
    for (int c = 0; c < 3; ++c)
        cp.gamma[c] = 0.8f;
    cp.lowValueBoost = true;
    cp.lvbExponent = 2;
    return cp;
}

// The adjustment as it was: the real power remembered for the last value of each channel only.
QImage withoutMemo(const FloatImage& acc, const kernels::ColourParams& p)
{
    return kernels::imageFromAccumulator(acc, [&p] {
        return [&p, memo = kernels::PowerMemo()](const float* in) mutable {
            const float w = in[3];
            const float r = kernels::adjustChannel(in[0], w, 0, p, &memo);
            const float g = kernels::adjustChannel(in[1], w, 1, p, &memo);
            const float b = kernels::adjustChannel(in[2], w, 2, p, &memo);
            return px::rgbFromFractions(r, g, b);
        };
    });
}

void measure(int width, int height, int frames, int threads)
{
    static std::unique_ptr<FloatImage> acc;
    static int accWidth = 0;
    if (accWidth != width) {
        acc = bench::planetStack(width, height, frames, 1.0);
        accWidth = width;
    }
    parallel::setThreadCount(threads);
    kernels::ColourParams cp = boostedGamma();
    cp.lvbBlend = 0.5f;
    const QString what = QStringLiteral("%1x%2, %3 thread%4").arg(width).arg(height).arg(threads).arg(threads > 1 ? "s" : "");
    volatile int sink = 0;
    const bench::Timing before = bench::measure([&] { sink = sink + withoutMemo(*acc, cp).width(); }, 7);
    const bench::Timing after = bench::measure([&] { sink = sink + kernels::colorAdjusted(*acc, cp).width(); }, 7);
    bench::report(QStringLiteral("gamma+boost, last value only   ") + what, before);
    bench::report(QStringLiteral("gamma+boost, remembered values ") + what, after);
    std::printf("  ratio %.3f\n", after.medianMs / before.medianMs);

    // What the window shows after a change: the exact image up to 4 million pixels, above that a
    // preview of every n-th pixel (at most a million of them); either turned into a pixmap.
    const qint64 pixels = qint64(width) * height;
    int step = 1;
    if (pixels > 4000000)
        for (step = 2; pixels / (qint64(step) * step) > 1000000; ++step) {
        }
    const bench::Timing shown = bench::measure([&] {
        const QImage image = step > 1 ? kernels::colorAdjustedSampled(*acc, cp, step) : kernels::colorAdjusted(*acc, cp);
        sink = sink + QPixmap::fromImage(image).width();
    }, 7);
    bench::report(QStringLiteral("shown after a change (step %1)    ").arg(step) + what, shown);
    if (withoutMemo(*acc, cp) != kernels::colorAdjusted(*acc, cp))
        std::printf("  THE RESULTS DIFFER\n");
    (void)sink;
}

// The window's own path for one move of a colour control on a stack of the given size: the control's
// signal, the image it shows, and the view painted. CPU time of the process per change (all threads).
void measureWindow(int width, int height, int frames, int threads, const QSize& windowSize)
{
    Nebulo w;
    w.resize(windowSize);
    w.show();
    QApplication::processEvents();
    parallel::setThreadCount(threads);
    w.engine.accumulator = bench::planetStack(width, height, frames, 1.0);
    w.engine.stackReady = true;
    w.fileNames = QStringList{QStringLiteral("stack")};
    w.ui.cblvb->setChecked(true);
    w.adjustColors(); // the exact image, as after stacking
    w.view->viewport()->repaint();
    const QSize viewport = w.view->viewport()->size();
    auto changeOnce = [&](int i, bool rest) {
        // Alternating values: each change is a real one.
        w.ui.sbGammaG->setValue(i % 2 ? 0.8 : 0.9);
        if (rest)
            w.adjustColors();
        w.view->viewport()->repaint();
    };
    for (bool rest : {false, true}) {
        w.colourRestMs = 1000000; // the rest is measured on its own
        std::vector<double> cpu, wall;
        for (int i = 0; i < 9; ++i) {
            QElapsedTimer t;
            t.start();
            const double c0 = bench::cpuMs();
            changeOnce(i, rest);
            cpu.push_back(bench::cpuMs() - c0);
            wall.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        std::sort(cpu.begin(), cpu.end());
        std::sort(wall.begin(), wall.end());
        std::printf("  %-40s CPU %7.1f ms   wall %7.1f ms\n",
                    qPrintable(QStringLiteral("%1, %2 thr, view %3x%4:").arg(rest ? "exact image (at rest)" : "control moves")
                                   .arg(threads).arg(viewport.width()).arg(viewport.height())),
                    cpu[cpu.size() / 2], wall[wall.size() / 2]);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList a = app.arguments();
    const bool quick = a.contains(QStringLiteral("--quick"));
    int frames = 20;
    const int at = a.indexOf(QStringLiteral("--frames"));
    if (at >= 0 && at + 1 < a.size())
        frames = std::max(1, a[at + 1].toInt());
    const int cores = QThread::idealThreadCount();
    if (a.contains(QStringLiteral("--window"))) {
        std::printf("The window following a colour control (gamma with the low value boost), medians of 9 changes\n");
        for (const QSize& size : {QSize(1928, 1083), QSize(3848, 2163)}) {
            std::printf("%dx%d stack of %d frames\n", size.width(), size.height(), frames);
            for (const QSize& window : {QSize(1280, 800), QSize(1920, 1080)})
                measureWindow(size.width(), size.height(), frames, cores, window);
        }
        return 0;
    }
    if (a.contains(QStringLiteral("--preview"))) { // the preview path alone, for profiling
        auto acc = bench::planetStack(3848, 2163, frames, 1.0);
        parallel::setThreadCount(cores);
        kernels::ColourParams cp = boostedGamma();
        volatile int sink = 0;
        double kernel = 0, pixmap = 0;
        for (int i = 0; i < 20; ++i) {
            cp.gamma[1] = 0.8f + 0.01f * float(i);
            const double c0 = bench::cpuMs();
            const QImage image = kernels::colorAdjustedSampled(*acc, cp, 3);
            const double c1 = bench::cpuMs();
            sink = sink + QPixmap::fromImage(image).width();
            kernel += c1 - c0;
            pixmap += bench::cpuMs() - c1;
        }
        std::printf("CPU per change: sampled adjustment %.2f ms, pixmap %.2f ms\n", kernel / 20, pixmap / 20);
        return 0;
    }
    std::printf("Colour latency, stacks of %d frames, %d cores\n", frames, cores);
    for (int threads : {1, cores})
        measure(1928, 1083, frames, threads);
    if (!quick)
        for (int threads : {1, cores})
            measure(3848, 2163, frames, threads);
    return 0;
}
