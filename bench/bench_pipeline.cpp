// The whole pass of the batch command against one plain decode of the same files.
//   bench_pipeline [--quick] [--runs N] [--keep DIR]
// Generates 200 frames of 640x480 and 50 of 1920x1080 (PNG, with noise), then measures in one run:
// a single-threaded decode pass of the files, and nebulo-cli with quality analysis, alignment,
// refinement and stacking over them. Prints the medians, their ratio and the command's peak memory.

#include "benchutil.h"
#include "synthetic.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <vector>

extern char** environ;

namespace {

QStringList makeSequence(const QString& dir, int count, int width, int height)
{
    QVector<QImage> frames;
    synth::Rng walk(17);
    double cx = width / 2.0, cy = height / 2.0;
    for (int i = 0; i < count; ++i) {
        cx += walk.uniform() * 4 - 2;
        cy += walk.uniform() * 4 - 2;
        synth::Planet p;
        p.width = width;
        p.height = height;
        p.cx = cx;
        p.cy = cy;
        p.radius = height * 0.2;
        p.blur = 0.4 + 2.0 * walk.uniform();
        p.noise = 2.0;
        p.seed = quint32(1000 + i);
        frames << synth::renderPlanet(p);
    }
    return synth::writeSequence(dir, QStringLiteral("frame"), frames);
}

double decodePassMs(const QStringList& files)
{
    QElapsedTimer t;
    t.start();
    qint64 pixels = 0;
    for (const QString& f : files) {
        QImage image;
        image.load(f);
        pixels += image.width();
    }
    if (pixels == 0)
        std::printf("decoding failed\n");
    return double(t.nsecsElapsed()) / 1e6;
}

// Runs the command; returns elapsed milliseconds and its peak resident memory in MB.
double runCommand(const QStringList& arguments, double* peakMb)
{
    std::vector<QByteArray> storage;
    storage.push_back(QByteArray(NEBULO_CLI_PATH));
    for (const QString& a : arguments)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : storage)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    QElapsedTimer t;
    t.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    const double ms = double(t.nsecsElapsed()) / 1e6;
    *peakMb = usage.ru_maxrss / 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::printf("nebulo-cli failed (status %d)\n", WEXITSTATUS(status));
    return ms;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void measure(int count, int width, int height, int runs, const QString& keep)
{
    QTemporaryDir temporary;
    const QDir dir(keep.isEmpty() ? temporary.path() : keep + QStringLiteral("/%1x%2").arg(width).arg(height));
    std::printf("\n%d frames of %dx%d: generating...\n", count, width, height);
    std::fflush(stdout);
    const QStringList files = makeSequence(dir.path(), count, width, height);
    qint64 bytes = 0;
    for (const QString& f : files)
        bytes += QFileInfo(f).size();
    std::printf("  %.1f MB of PNG\n", bytes / 1048576.0);
    // The result is written as PNG, as a user would; a BMP result shows the pass without the
    // time of compressing the output.
    auto argsFor = [&](const QString& output) {
        return QStringList{QStringLiteral("-q"), QStringLiteral("-o"), dir.filePath(output), QStringLiteral("--quality"),
                           QStringLiteral("0"), QStringLiteral("--refine")}
            + files;
    };
    decodePassMs(files); // warm the page cache
    std::vector<double> decode, pipeline, ratios, bmpRatios, peaks;
    for (int r = 0; r < runs; ++r) {
        const double d = decodePassMs(files);
        double peak = 0, bmpPeak = 0;
        const double p = runCommand(argsFor(QStringLiteral("out.png")), &peak);
        const double b = runCommand(argsFor(QStringLiteral("out.bmp")), &bmpPeak);
        decode.push_back(d);
        pipeline.push_back(p);
        ratios.push_back(p / d);
        bmpRatios.push_back(b / d);
        peaks.push_back(std::max(peak, bmpPeak));
        std::printf("  run %d: decode %8.1f ms   whole pass %8.1f ms (ratio %.3f); with a BMP result %8.1f ms (ratio %.3f)   peak %.0f MB\n",
                    r + 1, d, p, p / d, b, b / d, peaks.back());
        std::fflush(stdout);
    }
    std::printf("  median: decode %8.1f ms   whole pass %8.1f ms   ratio %.3f   (BMP result: ratio %.3f)   peak %.0f MB\n",
                median(decode), median(pipeline), median(ratios), median(bmpRatios), median(peaks));
}

// The bundled sample sequence through the whole pipeline, darks included.
void measureSamples(int runs)
{
    const QDir samples(QStringLiteral(NEBULO_SAMPLES_PATH));
    QStringList frames, args;
    for (const QString& f : samples.entryList({QStringLiteral("frame_*.png")}, QDir::Files, QDir::Name))
        frames << samples.filePath(f);
    for (const QString& f : samples.entryList({QStringLiteral("dark_*.png")}, QDir::Files, QDir::Name))
        args << QStringLiteral("--dark") << samples.filePath(f);
    if (frames.isEmpty()) {
        std::printf("\nno sample sequence in %s\n", NEBULO_SAMPLES_PATH);
        return;
    }
    QTemporaryDir dir;
    args = QStringList{QStringLiteral("-q"), QStringLiteral("-o"), dir.filePath(QStringLiteral("samples.png")),
                       QStringLiteral("--quality"), QStringLiteral("50"), QStringLiteral("--refine")}
        + args + frames;
    std::vector<double> times, peaks;
    for (int r = 0; r < runs; ++r) {
        double peak = 0;
        times.push_back(runCommand(args, &peak));
        peaks.push_back(peak);
    }
    std::printf("\nbundled samples (%d frames, 4 darks, quality 50, refine): median %.1f ms   peak %.0f MB\n",
                int(frames.size()), median(times), median(peaks));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    const bool quick = a.contains(QStringLiteral("--quick"));
    int runs = 5;
    const int at = a.indexOf(QStringLiteral("--runs"));
    if (at >= 0 && at + 1 < a.size())
        runs = std::max(1, a[at + 1].toInt());
    // --keep DIR leaves the generated frames in DIR/WxH for profiling.
    const int keepAt = a.indexOf(QStringLiteral("--keep"));
    const QString keep = keepAt >= 0 && keepAt + 1 < a.size() ? a[keepAt + 1] : QString();
    measureSamples(std::max(5, runs));
    measure(200, 640, 480, runs, keep);
    if (!quick)
        measure(50, 1920, 1080, runs, keep);
    return 0;
}
