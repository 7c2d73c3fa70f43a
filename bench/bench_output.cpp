// Writing the result: PNG file size and time for every compression effort the writer offers, against
// its default settings and against what imagesave::save does.
//   bench_output [--quick] [--runs N] [FILE.png ...]
// Without files the images are stack-like renderings (a smooth planet with a little noise) of
// 1931x1093 and 3864x2168; with files, those images are written instead.

#include "benchutil.h"
#include "imagesave.h"
#include "synthetic.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImageWriter>
#include <QTemporaryDir>

#include <cstdio>

namespace {

QImage stackLike(int width, int height)
{
    synth::Planet p;
    p.width = width;
    p.height = height;
    p.cx = width / 2.0;
    p.cy = height / 2.0;
    p.radius = height * 0.3;
    p.blur = 1.5;
    p.noise = 0.6; // what is left of the frames' noise after averaging a few dozen of them
    return synth::renderPlanet(p);
}

// Bytes of the PNG written at the given compression (-1: the writer's default).
qint64 pngBytes(const QImage& image, int compression)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (compression >= 0)
        writer.setCompression(compression);
    if (!writer.write(image))
        std::printf("writing failed\n");
    return buffer.size();
}

void measureImage(const QString& name, const QImage& image, int runs)
{
    std::printf("\n%s (%dx%d)\n", qPrintable(name), image.width(), image.height());
    const qint64 defaultBytes = pngBytes(image, -1);
    const bench::Timing defaultTime = bench::measure([&] { pngBytes(image, -1); }, runs);
    std::printf("  %-22s %10lld bytes            median %8.1f ms\n", "writer default", (long long)defaultBytes,
                defaultTime.medianMs);
    // The writer's compression runs from 0 (none) to 100 (most effort).
    for (int level = 0; level <= 100; level += 5) {
        const qint64 bytes = pngBytes(image, level);
        const bench::Timing t = bench::measure([&] { pngBytes(image, level); }, runs);
        std::printf("  compression %-10d %10lld bytes (%+6.1f %%)  median %8.1f ms (%.3f of default)\n", level,
                    (long long)bytes, 100.0 * (double(bytes) / double(defaultBytes) - 1.0), t.medianMs,
                    t.medianMs / defaultTime.medianMs);
        std::fflush(stdout);
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("result.png"));
    const bench::Timing saved = bench::measure([&] { imagesave::save(image, path); }, runs);
    const qint64 savedBytes = QFileInfo(path).size();
    std::printf("  %-22s %10lld bytes (%+6.1f %%)  median %8.1f ms (%.3f of default, to disk)\n", "imagesave::save",
                (long long)savedBytes, 100.0 * (double(savedBytes) / double(defaultBytes) - 1.0), saved.medianMs,
                saved.medianMs / defaultTime.medianMs);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool quick = args.removeAll(QStringLiteral("--quick")) > 0;
    int runs = 5;
    const int at = args.indexOf(QStringLiteral("--runs"));
    if (at >= 0 && at + 1 < args.size()) {
        runs = std::max(1, args[at + 1].toInt());
        args.remove(at, 2);
    }
    if (!args.isEmpty()) {
        for (const QString& file : args) {
            const QImage image(file);
            if (image.isNull())
                std::printf("\ncannot read %s\n", qPrintable(file));
            else
                measureImage(file, image, runs);
        }
        return 0;
    }
    measureImage(QStringLiteral("stack-like 1080p"), stackLike(1931, 1093), runs);
    if (!quick)
        measureImage(QStringLiteral("stack-like 4K"), stackLike(3864, 2168), runs);
    return 0;
}
