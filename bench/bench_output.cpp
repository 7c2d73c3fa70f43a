// Writing the result: PNG file size and CPU time of our writer (libdeflate) at its levels, against the
// image library's writer at its default settings (the reference for size and time), at compression 60
// (what saving used before), and what imagesave::save does end to end.
//   bench_output [--quick] [--runs N] [--sweep] [FILE.png ...]
// Without files the images are stacks of synthetic frames (a smooth planet with noise) of 1931x1093 and
// 3864x2168 at 8 and 16 bits per channel; with files, those images are written instead. --sweep adds
// every compression of the image library's writer. Times are CPU time of the process (all threads),
// medians; wall time is printed beside them.

#include "benchstack.h"
#include "benchutil.h"
#include "colour.h"
#include "floatimage.h"
#include "imagesave.h"
#include "pngwrite.h"
#include "stacking.h"
#include "synthetic.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageWriter>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

double cpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

struct Cost {
    double cpuMs = 0, wallMs = 0;
};

// Medians of CPU and wall time over the runs, after one warm-up run.
Cost measure(const std::function<void()>& work, int runs)
{
    work();
    std::vector<double> cpu, wall;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const double c0 = cpuMs();
        work();
        cpu.push_back(cpuMs() - c0);
        wall.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    return {cpu[cpu.size() / 2], wall[wall.size() / 2]};
}

// The bytes of the image library's PNG at the given compression (-1: its default).
QByteArray qtPng(const QImage& image, int compression)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (compression >= 0)
        writer.setCompression(compression);
    if (!writer.write(image))
        std::printf("writing failed\n");
    return buffer.data();
}

struct Reference {
    qint64 bytes;
    Cost cost;
};

void row(const char* what, qint64 bytes, const Cost& c, const Reference& ref)
{
    std::printf("  %-28s %10lld %+7.1f %%  %9.1f %9.1f   %6.3f\n", what, (long long)bytes,
                100.0 * (double(bytes) / double(ref.bytes) - 1.0), c.cpuMs, c.wallMs, c.cpuMs / ref.cost.cpuMs);
    std::fflush(stdout);
}

void measureImage(const QString& name, const QImage& image, int runs, bool sweep)
{
    std::printf("\n%s, %dx%d, %d bits per channel\n", qPrintable(name), image.width(), image.height(),
                image.format() == QImage::Format_RGBX64 ? 16 : 8);
    std::printf("  %-28s %10s %9s  %9s %9s   %6s\n", "writer", "bytes", "size", "CPU ms", "wall ms", "CPU ratio");
    const Reference ref{qtPng(image, -1).size(), measure([&] { qtPng(image, -1); }, runs)};
    row("image library, default", ref.bytes, ref.cost, ref);
    row("image library, 60 (before)", qtPng(image, 60).size(), measure([&] { qtPng(image, 60); }, runs), ref);
    if (sweep)
        for (int level = 0; level <= 100; level += 10) {
            const QByteArray name = "image library, " + QByteArray::number(level);
            row(name.constData(), qtPng(image, level).size(), measure([&] { qtPng(image, level); }, runs), ref);
        }
    for (int level : {1, 2, 3, 4, 5, 6, 7}) {
        QByteArray label = "ours, libdeflate " + QByteArray::number(level);
        if (level == pngwrite::kDefaultLevel)
            label += " (used)";
        const qint64 bytes = pngwrite::encode(image, level).size();
        row(label.constData(), bytes, measure([&] { pngwrite::encode(image, level); }, runs), ref);
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("result.png"));
    const Cost saved = measure([&] { imagesave::save(image, path); }, runs);
    row("imagesave::save (to disk)", QFileInfo(path).size(), saved, ref);
    if (QImage(path).convertToFormat(image.format()) != image)
        std::printf("  THE SAVED PIXELS DIFFER\n");
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool quick = args.removeAll(QStringLiteral("--quick")) > 0;
    const bool sweep = args.removeAll(QStringLiteral("--sweep")) > 0;
    int runs = 5;
    const int at = args.indexOf(QStringLiteral("--runs"));
    if (at >= 0 && at + 1 < args.size()) {
        runs = std::max(1, args[at + 1].toInt());
        args.remove(at, 2);
    }
    std::printf("PNG result writing; size against the image library's default, CPU ratio to its CPU time;\n"
                "medians of %d runs\n", runs);
    if (!args.isEmpty()) {
        for (const QString& file : args) {
            const QImage image(file);
            if (image.isNull())
                std::printf("\ncannot read %s\n", qPrintable(file));
            else
                measureImage(file, image.convertToFormat(image.depth() > 32 ? QImage::Format_RGBX64 : QImage::Format_RGB32),
                             runs, sweep);
        }
        return 0;
    }
    std::vector<QSize> sizes = {QSize(1931, 1093)};
    if (!quick)
        sizes.push_back(QSize(3864, 2168));
    for (const QSize& size : sizes) {
        const auto acc = bench::planetStack(size.width(), size.height(), 12, 1.5);
        kernels::ColourParams cp;
        const QString what = QStringLiteral("stack of 12 frames");
        measureImage(what, kernels::colorAdjusted(*acc, cp), runs, sweep);
        measureImage(what, kernels::colorAdjusted16(*acc, cp), runs, sweep);
    }
    return 0;
}
