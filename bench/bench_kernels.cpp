// Timings of the pixel kernels on one frame, single-threaded and on all cores.
//   bench_kernels [--quick]

#include "alignment.h"
#include "benchutil.h"
#include "colour.h"
#include "loading.h"
#include "memory.h"
#include "parallel.h"
#include "pixel.h"
#include "quality.h"
#include "refinement.h"
#include "stackengine.h"
#include "stacking.h"
#include "synthetic.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

namespace {

QImage planet(int width, int height, double shift = 0)
{
    synth::Planet p;
    p.width = width;
    p.height = height;
    p.cx = width / 2.0 + shift;
    p.cy = height / 2.0 + shift / 2;
    p.radius = height * 0.2;
    p.blur = 1.0;
    p.noise = 2.0;
    return synth::renderPlanet(p);
}

void kernelsAt(int width, int height, int threads)
{
    parallel::setThreadCount(threads);
    const QString size = QStringLiteral("%1x%2, %3 thread%4").arg(width).arg(height).arg(threads).arg(threads > 1 ? "s" : "");
    const QImage frame = planet(width, height);
    const QImage other = planet(width, height, 3.0);
    volatile int sink = 0;

    bench::run(QStringLiteral("detectFeature T=75 F=2 R=20  ") + size, [&] {
        sink = sink + kernels::detectFeature(frame, 75, 2, 20).x;
    });
    const QColor reference = kernels::meanColour(frame);
    bench::run(QStringLiteral("normaliseColour              ") + size, [&] {
        QImage work = other.copy();
        kernels::normaliseColour(work, reference);
        sink = sink + work.width();
    });

    // Master dark build per dark frame: summing one frame into the master dark.
    const QImage dark = synth::renderDark(width, height, 3, 3.0, 1.0, 20);
    auto sums = createFloatImage(width, height);
    bench::run(QStringLiteral("master dark, per dark frame  ") + size, [&] { kernels::addDarkFrame(*sums, dark); });

    auto acc = createFloatImage(width + 6, height + 4);
    kernels::StackParams sp;
    sp.maxDx = 6;
    sp.maxDy = 4;
    sp.dx = 3;
    sp.dy = 1;
    for (int f : {0, 1}) {
        sp.filter = f;
        bench::run(QStringLiteral("stackFrame F=%1                 ").arg(f) + size, [&] { kernels::stackFrame(frame, *acc, sp); });
    }
    bench::run(QStringLiteral("normalizeStack               ") + size, [&] { sink = sink + kernels::normalizeStack(*acc).width(); });
    kernels::ColourParams cp;
    cp.gamma[0] = cp.gamma[1] = cp.gamma[2] = 0.8f;
    cp.gain[0] = 1.2f;
    bench::run(QStringLiteral("colorAdjusted (gamma 0.8)    ") + size, [&] { sink = sink + kernels::colorAdjusted(*acc, cp).width(); });
    bench::run(QStringLiteral("gradientQualityH + V         ") + size, [&] {
        sink = sink + int(kernels::gradientQualityH(frame) + kernels::gradientQualityV(frame));
    });
    kernels::Calibration cal;
    auto master = createFloatImage(width, height);
    for (std::size_t i = 0; i < master->floatCount(); i += 4) {
        master->data[i] = master->data[i + 1] = master->data[i + 2] = 0.02f;
        master->data[i + 3] = 1.0f;
    }
    cal.masterDark = master.get();
    bench::run(QStringLiteral("calibrated (with master dark) ") + size, [&] {
        const QImage out = kernels::calibrated(frame, cal);
        if (out.isNull())
            std::printf("calibration gave no image\n");
        sink = sink + out.width();
    });
    (void)sink;
}

// The kernels that read frames at their full depth, on a 16-bit frame (samples 257 v + noise).
void kernels16At(int width, int height, int threads)
{
    parallel::setThreadCount(threads);
    const QString size = QStringLiteral("%1x%2, %3 thread%4").arg(width).arg(height).arg(threads).arg(threads > 1 ? "s" : "");
    const QImage frame8 = planet(width, height);
    QImage frame(width, height, QImage::Format_RGBX64);
    for (int y = 0; y < height; ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(frame8.constScanLine(y));
        QRgba64* out = reinterpret_cast<QRgba64*>(frame.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int low = (x * 37 + y * 11) & 0xff;
            out[x] = QRgba64::fromRgba64(quint16(qRed(in[x]) * 256 + low), quint16(qGreen(in[x]) * 256 + low),
                                         quint16(qBlue(in[x]) * 256 + low), 65535);
        }
    }
    volatile int sink = 0;
    bench::run(QStringLiteral("16-bit: view8                 ") + size, [&] { sink = sink + px::view8(frame).width(); });
    auto sums = createFloatImage(width, height);
    bench::run(QStringLiteral("16-bit: master dark, per frame ") + size, [&] { kernels::addDarkFrame(*sums, frame); });
    auto acc = createFloatImage(width + 6, height + 4);
    kernels::StackParams sp;
    sp.maxDx = 6;
    sp.maxDy = 4;
    sp.dx = 3;
    sp.dy = 1;
    for (int f : {0, 1}) {
        sp.filter = f;
        bench::run(QStringLiteral("16-bit: stackFrame F=%1         ").arg(f) + size, [&] { kernels::stackFrame(frame, *acc, sp); });
    }
    kernels::ColourParams cp;
    cp.gamma[0] = cp.gamma[1] = cp.gamma[2] = 0.8f;
    cp.gain[0] = 1.2f;
    bench::run(QStringLiteral("16-bit: colorAdjusted16        ") + size, [&] { sink = sink + kernels::colorAdjusted16(*acc, cp).width(); });
    bench::run(QStringLiteral("colourValues (FITS output)     ") + size, [&] { sink = sink + int(kernels::colourValues(*acc, cp).size()); });
    bench::run(QStringLiteral("16-bit: gradientQualityH + V   ") + size, [&] {
        sink = sink + int(kernels::gradientQualityH(frame) + kernels::gradientQualityV(frame));
    });
    kernels::Calibration cal;
    bench::run(QStringLiteral("16-bit: calibrated (no dark)    ") + size, [&] { sink = sink + kernels::calibrated(frame, cal).width(); });
    auto master = createFloatImage(width, height);
    for (std::size_t i = 0; i < master->floatCount(); i += 4) {
        master->data[i] = master->data[i + 1] = master->data[i + 2] = 0.02f;
        master->data[i + 3] = 1.0f;
    }
    cal.masterDark = master.get();
    bench::run(QStringLiteral("16-bit: calibrated (with dark)  ") + size, [&] { sink = sink + kernels::calibrated(frame, cal).width(); });
    (void)sink;
}

void matchAt(int radius, int threads)
{
    parallel::setThreadCount(threads);
    const QImage frame = planet(640, 480);
    const QImage shifted = planet(640, 480, 2.0);
    const int cx = 320, cy = 240;
    const QImage pattern = kernels::block(frame, cx - radius, cy - radius, 2 * radius, 2 * radius);
    volatile float sink = 0;
    bench::run(QStringLiteral("matchPattern R=%1, %2 thread%3").arg(radius).arg(threads).arg(threads > 1 ? "s" : ""), [&] {
        const kernels::Match m = kernels::matchPattern(shifted, pattern, cx - 2 * radius, cy - 2 * radius, 2 * radius, 2 * radius);
        sink = sink + m.score;
    });
    (void)sink;
}

} // namespace

int main(int argc, char* argv[])
{
    memory::keepLargeBuffers(); // as the programs do
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int cores = QThread::idealThreadCount();
    std::printf("Kernels, %d cores\n", cores);
    for (int threads : {1, cores}) {
        matchAt(20, threads);
        matchAt(50, threads);
        kernelsAt(640, 480, threads);
        kernels16At(640, 480, threads);
        if (!quick) {
            kernelsAt(1920, 1080, threads);
            kernels16At(1920, 1080, threads);
        }
        if (cores == 1)
            break;
    }
    return 0;
}
