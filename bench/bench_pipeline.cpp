// The whole pass of the batch command against one plain decode of the same files.
//   bench_pipeline [--quick] [--runs N] [--keep DIR] [--baseline CLI] [--cliff N]
// Generates 200 frames of 640x480 and 100 of 1920x1080 (PNG, with noise), then measures in one run:
// a single-threaded decode pass of the files, and nebulo-cli with quality analysis, alignment,
// refinement and stacking over them. Prints the medians, their ratio and the command's peak memory,
// and the same ratio of CPU times (the command's threads together against the decode pass), which
// other programs running on the machine disturb less than elapsed times.
// --baseline CLI runs another build of the command in the same runs (for before/after ratios).
// --cliff N instead measures N frames of 640x480 with a frame budget of half their decoded size
// against one that holds them all, and the command's peak memory at budgets of 64, 200 and 400 MB and
// at the default budget.

#include "benchutil.h"
#include "synthetic.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>
#include <vector>

namespace {

// Frames are written as they are made, so that this program stays small: a command started from it
// reports at least this program's own peak memory as its peak (the child starts as a copy of it).
QStringList makeSequence(const QString& dir, int count, int width, int height)
{
    if (!QDir().mkpath(dir))
        return {};
    int digits = 2;
    for (int n = count - 1; n >= 100; n /= 10)
        ++digits;
    QStringList paths;
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
        const QString path = QDir(dir).filePath(QStringLiteral("frame_%1.png").arg(i, digits, 10, QLatin1Char('0')));
        if (!synth::renderPlanet(p).save(path, "PNG"))
            return {};
        paths << path;
    }
    return paths;
}

double ownPeakMb()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

QByteArray g_baseline; // another build of the command, measured beside this one

// Runs the command; returns elapsed milliseconds and its peak resident memory in MB (and the CPU
// milliseconds it used when cpuMs is given).
double runCommand(const QStringList& arguments, double* peakMb, double* cpuMs = nullptr,
                  const QByteArray& program = QByteArray(NEBULO_CLI_PATH))
{
    const bench::Usage u = bench::runProgram(program, arguments);
    if (u.ms < 0)
        return -1;
    *peakMb = u.peakMb;
    if (cpuMs)
        *cpuMs = u.cpuMs;
    if (!u.ok())
        std::printf("nebulo-cli failed (status %d)\n", u.status);
    return u.ms;
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
    bench::decodePassMs(files); // warm the page cache
    std::vector<double> decode, pipeline, ratios, bmpRatios, peaks, baseline, baseRatios, basePeaks, cpuRatios, baseCpuRatios;
    for (int r = 0; r < runs; ++r) {
        double decodeCpu = 0, passCpu = 0;
        const double d = bench::decodePassMs(files, &decodeCpu);
        double peak = 0, bmpPeak = 0;
        const double p = runCommand(argsFor(QStringLiteral("out.png")), &peak, &passCpu);
        cpuRatios.push_back(passCpu / decodeCpu);
        const double b = runCommand(argsFor(QStringLiteral("out.bmp")), &bmpPeak);
        decode.push_back(d);
        pipeline.push_back(p);
        ratios.push_back(p / d);
        bmpRatios.push_back(b / d);
        peaks.push_back(std::max(peak, bmpPeak));
        std::printf("  run %d: decode %8.1f ms   whole pass %8.1f ms (ratio %.3f); with a BMP result %8.1f ms (ratio %.3f)   peak %.0f MB\n"
                    "         cpu: decode %8.1f ms   whole pass %8.1f ms (ratio %.3f)\n",
                    r + 1, d, p, p / d, b, b / d, peaks.back(), decodeCpu, passCpu, passCpu / decodeCpu);
        if (!g_baseline.isEmpty()) {
            double basePeak = 0, baseCpu = 0;
            const double base = runCommand(argsFor(QStringLiteral("base.png")), &basePeak, &baseCpu, g_baseline);
            baseCpuRatios.push_back(baseCpu / decodeCpu);
            baseRatios.push_back(base / d);
            baseline.push_back(base);
            basePeaks.push_back(basePeak);
            std::printf("         baseline whole pass %8.1f ms (ratio %.3f)   peak %.0f MB   this build / baseline %.3f   cpu %8.1f ms (ratio %.3f)\n",
                        base, base / d, basePeak, p / base, baseCpu, baseCpu / decodeCpu);
        }
        std::fflush(stdout);
    }
    std::printf("  median: decode %8.1f ms   whole pass %8.1f ms   ratio %.3f   (BMP result: ratio %.3f)   peak %.0f MB   cpu ratio %.3f\n",
                median(decode), median(pipeline), median(ratios), median(bmpRatios), median(peaks), median(cpuRatios));
    if (!baseline.empty())
        std::printf("  median: baseline whole pass %8.1f ms   ratio %.3f   peak %.0f MB   cpu ratio %.3f\n", median(baseline),
                    median(baseRatios), median(basePeaks), median(baseCpuRatios));
}

// The cache cliff: the whole pass with a frame budget of half the decoded frames (Format_RGB32, 4 bytes
// a pixel) against one that holds them all, in the same runs (elapsed and CPU time); and with half of
// what the frames take in the cache (3 bytes a pixel). Then the command's peak memory at several budgets.
void measureCliff(int count, int runs, const QString& keep)
{
    QTemporaryDir temporary;
    const QDir dir(keep.isEmpty() ? temporary.path() : keep + QStringLiteral("/cliff%1").arg(count));
    std::printf("\ncache cliff, %d frames of 640x480: generating...\n", count);
    std::fflush(stdout);
    QStringList files = dir.entryList({QStringLiteral("frame_*.png")}, QDir::Files, QDir::Name);
    if (files.size() == count) {
        for (QString& f : files)
            f = dir.filePath(f);
    } else {
        files = makeSequence(dir.path(), count, 640, 480);
    }
    const qint64 decodedMb = qint64(count) * 640 * 480 * 4 / (1024 * 1024);
    const qint64 storedMb = qint64(count) * 640 * 480 * 3 / (1024 * 1024);
    auto args = [&](qint64 budgetMb) {
        QStringList a{QStringLiteral("-q"), QStringLiteral("-o"), dir.filePath(QStringLiteral("out.bmp")),
                      QStringLiteral("--quality"), QStringLiteral("0"), QStringLiteral("--refine")};
        if (budgetMb >= 0)
            a << QStringLiteral("--cache-mb") << QString::number(budgetMb);
        return a + files;
    };
    bench::decodePassMs(files); // warm the page cache
    std::printf("  decoded frames (4 bytes a pixel) %lld MB, stored (3 bytes a pixel) %lld MB; budgets: fits %lld MB, "
                "half of decoded %lld MB, half of stored %lld MB\n",
                decodedMb, storedMb, decodedMb * 2, decodedMb / 2, storedMb / 2);
    auto cliffOf = [&](const QByteArray& program, const char* name) {
        std::vector<double> fits, half, ratios, cpuRatios, fitsPeak, halfPeak, storedRatios, storedCpuRatios;
        for (int r = 0; r < runs; ++r) {
            double pf = 0, ph = 0, ps = 0, cf = 0, ch = 0, cs = 0;
            const double f = runCommand(args(decodedMb * 2), &pf, &cf, program);
            const double h = runCommand(args(decodedMb / 2), &ph, &ch, program);
            const double st = runCommand(args(storedMb / 2), &ps, &cs, program);
            fits.push_back(f);
            half.push_back(h);
            ratios.push_back(h / f);
            cpuRatios.push_back(ch / cf);
            storedRatios.push_back(st / f);
            storedCpuRatios.push_back(cs / cf);
            fitsPeak.push_back(pf);
            halfPeak.push_back(ph);
            std::printf("  %s run %d: fits %8.1f ms (cpu %8.1f)   half of decoded %8.1f ms (cpu %8.1f) ratio %.3f (cpu %.3f)"
                        "   half of stored %8.1f ms (cpu %8.1f) ratio %.3f (cpu %.3f)\n",
                        name, r + 1, f, cf, h, ch, h / f, ch / cf, st, cs, st / f, cs / cf);
            std::fflush(stdout);
        }
        std::printf("  %s median: fits %8.1f ms (peak %.0f MB)   half %8.1f ms (peak %.0f MB)   ratio %.3f (cpu %.3f)"
                    "   half of stored: ratio %.3f (cpu %.3f)\n",
                    name, median(fits), median(fitsPeak), median(half), median(halfPeak), median(ratios), median(cpuRatios),
                    median(storedRatios), median(storedCpuRatios));
    };
    auto peaksOf = [&](const QByteArray& program, const char* name) {
        std::printf("  %s peak memory:", name);
        for (qint64 budget : {qint64(64), qint64(200), qint64(400), qint64(-1)}) {
            double peak = 0, cpu = 0;
            const double ms = runCommand(args(budget), &peak, &cpu, program);
            std::printf("   %s %.0f MB (%.0f ms, cpu %.0f)", budget < 0 ? "default budget" : qPrintable(QStringLiteral("--cache-mb %1").arg(budget)),
                        peak, ms, cpu);
            std::fflush(stdout);
        }
        std::printf("\n");
    };
    cliffOf(QByteArray(NEBULO_CLI_PATH), "this build");
    if (!g_baseline.isEmpty())
        cliffOf(g_baseline, "baseline  ");
    peaksOf(QByteArray(NEBULO_CLI_PATH), "this build");
    if (!g_baseline.isEmpty())
        peaksOf(g_baseline, "baseline  ");
    std::printf("  (a command's peak is at least this program's own, %.0f MB)\n", ownPeakMb());
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
    const int baseAt = a.indexOf(QStringLiteral("--baseline"));
    if (baseAt >= 0 && baseAt + 1 < a.size())
        g_baseline = a[baseAt + 1].toLocal8Bit();
    const int cliffAt = a.indexOf(QStringLiteral("--cliff"));
    if (cliffAt >= 0 && cliffAt + 1 < a.size()) {
        measureCliff(std::max(2, a[cliffAt + 1].toInt()), runs, keep);
        return 0;
    }
    measureSamples(std::max(5, runs));
    measure(200, 640, 480, runs, keep);
    if (!quick)
        measure(100, 1920, 1080, runs, keep);
    return 0;
}
