// Scores a stacked image against the truth of its sequence:
//   score-stack [--disk|--inner] STACK TRUTH
// Prints the offset found, PSNR and SSIM over the target (--disk: a planet's disk, the default;
// --inner: the inner area of a surface that fills the frame).

#include "score.h"

#include <QCoreApplication>
#include <QImage>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList a = app.arguments();
    a.removeFirst();
    score::Target target = score::Target::Disk;
    if (!a.isEmpty() && (a.first() == QLatin1String("--disk") || a.first() == QLatin1String("--inner")))
        target = a.takeFirst() == QLatin1String("--disk") ? score::Target::Disk : score::Target::Inner;
    if (a.size() != 2) {
        std::fprintf(stderr, "usage: score-stack [--disk|--inner] STACK TRUTH\n");
        return 2;
    }
    const score::Result r = score::compare(QImage(a[0]), QImage(a[1]), target);
    if (!r.ok) {
        std::fprintf(stderr, "score-stack: %s\n", qPrintable(r.problem));
        return 1;
    }
    std::printf("offset %.3f %.3f   PSNR %.2f dB   SSIM %.4f   (%d pixels)\n", r.dx, r.dy, r.psnr, r.ssim, r.pixels);
    return 0;
}
