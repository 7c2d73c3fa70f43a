// How sharp the stacks are, and what they cost against one decode of the files.
//   bench_sharpness [--runs N] [--frames N] [--keep P] [--cache DIR] [--scene planet|moon] [--cli PATH]
// Generates (once; later runs reuse DIR, by default a folder in the temporary directory) two
// sequences with simulated seeing, 640x480: a planet and a lunar surface filling the frame. For each
// alignment mode it runs nebulo-cli on the best P % of the frames (default 25), scores the result
// against the truth (PSNR and SSIM after sub-pixel registration and a brightness fit) and times it
// against a single-threaded decode pass of the same files measured in the same run (medians of N
// runs, default 3). Modes the command does not offer yet print "n/a". Two reference rows stack the
// best frames with the simulator's own knowledge: shifted by the true global shift only, and
// de-warped by the true displacement field. --cli runs another build of the batch command.

#include "benchutil.h"
#include "score.h"
#include "seeing.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

namespace {

// Bump when the simulator changes, so stale cached frames are not reused.
const char* const kCacheVersion = "seeing-2";

struct SceneSetup {
    seeing::Scene scene;
    QString name;
    score::Target target;
    QString globalMode;  // the global mode multi-point builds on
    int tunedThreshold;  // the feature threshold that suits the scene
};

QString g_cli = QStringLiteral(NEBULO_CLI_PATH);

// Runs the command; elapsed milliseconds, or a negative value when it fails.
double runCommand(const QStringList& arguments)
{
    const bench::Usage u = bench::runProgram(g_cli.toLocal8Bit(), arguments);
    return u.ok() ? u.ms : -1;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

QString helpText()
{
    QProcess p;
    p.start(g_cli, {QStringLiteral("--help")});
    p.waitForFinished(30000);
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

// The cached sequence, written when missing or stale.
QStringList sequenceFiles(const seeing::Parameters& parameters, const QString& dir, const seeing::Sequence** made,
                          std::unique_ptr<seeing::Sequence>& holder)
{
    const QString stamp = QDir(dir).filePath(QStringLiteral("complete"));
    const QByteArray expected = QByteArray(kCacheVersion) + ' ' + QByteArray::number(parameters.frames) + ' '
        + QByteArray::number(parameters.seed);
    holder = std::make_unique<seeing::Sequence>(parameters);
    *made = holder.get();
    QFile f(stamp);
    QStringList paths;
    if (f.open(QIODevice::ReadOnly) && f.readAll().trimmed() == expected) {
        for (int i = 0; i < parameters.frames; ++i)
            paths << QDir(dir).filePath(QStringLiteral("frame_%1.png").arg(i, 3, 10, QLatin1Char('0')));
        return paths;
    }
    f.close();
    QElapsedTimer t;
    t.start();
    paths = holder->write(dir, int(std::max(1u, std::thread::hardware_concurrency())));
    if (paths.isEmpty())
        return paths;
    QFile out(stamp);
    if (out.open(QIODevice::WriteOnly))
        out.write(expected + '\n');
    std::printf("  generated %d frames in %.1f s\n", int(paths.size()), t.nsecsElapsed() / 1e9);
    return paths;
}

// The best `count` frames by the simulator's mean blur.
std::vector<int> sharpestFrames(const seeing::Sequence& sequence, int count)
{
    std::vector<int> order(std::size_t(sequence.parameters().frames));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return sequence.state(a).meanBlur < sequence.state(b).meanBlur; });
    order.resize(std::size_t(std::min<int>(count, int(order.size()))));
    return order;
}

// The mean of the chosen frames resampled onto the truth's grid with the simulator's knowledge:
// the global shift plus the mean displacement over the target (what one shift per frame can do at
// best), or the shift and the displacement field.
QImage knownStack(const seeing::Sequence& sequence, const QStringList& files, const std::vector<int>& chosen, bool local,
                  const std::vector<unsigned char>& target)
{
    const int w = sequence.parameters().width, h = sequence.parameters().height;
    const int threads = int(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<seeing::Plane3> sums(std::size_t(threads), seeing::Plane3(w, h));
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (std::size_t k = std::size_t(t); k < chosen.size(); k += std::size_t(threads)) {
                const int i = chosen[k];
                const seeing::Plane3 frame = seeing::fromImage(QImage(files[i]));
                const std::vector<QPointF> field = sequence.displacementField(i);
                QPointF g = sequence.state(i).shift;
                if (!local) {
                    QPointF mean;
                    int n = 0;
                    for (std::size_t p = 0; p < field.size(); ++p)
                        if (target[p]) {
                            mean += field[p];
                            ++n;
                        }
                    g += mean / std::max(1, n);
                }
                auto at = [&](double x, double y) {
                    const int ix = std::clamp(int(x + 0.5), 0, w - 1), iy = std::clamp(int(y + 0.5), 0, h - 1);
                    return field[std::size_t(iy) * std::size_t(w) + std::size_t(ix)];
                };
                seeing::Plane3& sum = sums[std::size_t(t)];
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        // Frame pixel q shows truth q + g + D(q); find q for truth pixel p.
                        double qx = x - g.x(), qy = y - g.y();
                        if (local) {
                            for (int it = 0; it < 3; ++it) {
                                const QPointF d = at(qx, qy);
                                qx = x - g.x() - d.x();
                                qy = y - g.y() - d.y();
                            }
                        }
                        float v[3];
                        seeing::sampleLanczos(frame, qx, qy, v);
                        float* s = sum.at(x, y);
                        s[0] += v[0];
                        s[1] += v[1];
                        s[2] += v[2];
                    }
            }
        });
    }
    for (std::thread& t : pool)
        t.join();
    seeing::Plane3 mean(w, h);
    for (const seeing::Plane3& s : sums)
        for (std::size_t i = 0; i < mean.v.size(); ++i)
            mean.v[i] += s.v[i];
    for (float& v : mean.v)
        v /= float(std::max<std::size_t>(1, chosen.size()));
    return seeing::toImage(mean);
}

void printRow(const QString& name, const score::Result* r, double ms, double ratio, const QString& note = QString())
{
    if (!r) {
        std::printf("  %-44s %8s %8s %10s %8s  %s\n", qPrintable(name), "n/a", "n/a", "n/a", "n/a", qPrintable(note));
    } else if (!r->ok) {
        std::printf("  %-44s %8s %8s %10s %8s  %s\n", qPrintable(name), "-", "-", "-", "-", qPrintable(r->problem));
    } else if (ms > 0) {
        std::printf("  %-44s %8.2f %8.4f %10.0f %8.2f  %s\n", qPrintable(name), r->psnr, r->ssim, ms, ratio, qPrintable(note));
    } else {
        std::printf("  %-44s %8.2f %8.4f %10s %8s  %s\n", qPrintable(name), r->psnr, r->ssim, "-", "-", qPrintable(note));
    }
    std::fflush(stdout);
}

void measureScene(const SceneSetup& setup, const QString& cacheRoot, int frames, double keepPercent, int runs,
                  const QString& help)
{
    seeing::Parameters parameters;
    parameters.scene = setup.scene;
    parameters.frames = frames;
    parameters.seed = setup.scene == seeing::Scene::Planet ? 9 : 10;
    const QString dir = QDir(cacheRoot).filePath(setup.name);
    std::printf("\n%s: %d frames of %dx%d in %s\n", qPrintable(setup.name), frames, parameters.width,
                parameters.height, qPrintable(dir));
    std::fflush(stdout);
    std::unique_ptr<seeing::Sequence> holder;
    const seeing::Sequence* sequence = nullptr;
    const QStringList files = sequenceFiles(parameters, dir, &sequence, holder);
    if (files.isEmpty()) {
        std::printf("  cannot write the sequence\n");
        return;
    }
    const QImage truth(QDir(dir).filePath(QStringLiteral("truth.png")));
    const int keep = std::max(1, int(frames * keepPercent / 100.0 + 0.5));
    const QString best = QString::number(keep);

    struct Mode {
        QString name;
        QStringList arguments;
        QStringList needs; // options the command must offer
    };
    const QList<Mode> modes = {
        {QStringLiteral("feature, default settings"), {}, {}},
        {QStringLiteral("feature, threshold %1, radius 100").arg(setup.tunedThreshold),
         {QStringLiteral("--threshold"), QString::number(setup.tunedThreshold), QStringLiteral("--radius"), QStringLiteral("100")},
         {}},
        {QStringLiteral("planet"), {QStringLiteral("--align"), QStringLiteral("planet")}, {QStringLiteral("--align")}},
        {QStringLiteral("surface"), {QStringLiteral("--align"), QStringLiteral("surface")}, {QStringLiteral("--align")}},
        {QStringLiteral("multi-point (%1, box 48)").arg(setup.globalMode),
         {QStringLiteral("--align"), setup.globalMode, QStringLiteral("--ap-size"), QStringLiteral("48")},
         {QStringLiteral("--align"), QStringLiteral("--ap-size")}},
    };

    QTemporaryDir out;
    bench::decodePassMs(files); // warm the page cache
    std::printf("  %-44s %8s %8s %10s %8s\n", "stack of the best frames", "PSNR dB", "SSIM", "median ms", "/decode");
    std::vector<double> decodes;
    for (const Mode& mode : modes) {
        bool offered = true;
        for (const QString& option : mode.needs)
            offered = offered && help.contains(option);
        if (!offered) {
            printRow(mode.name, nullptr, 0, 0, QStringLiteral("(the command has no %1 yet)").arg(mode.needs.join(QLatin1Char(' '))));
            continue;
        }
        const QString output = out.filePath(QStringLiteral("stack.png"));
        const QStringList arguments = QStringList{QStringLiteral("-q"), QStringLiteral("-o"), output, QStringLiteral("--best"), best}
            + mode.arguments + files;
        std::vector<double> times, ratios;
        bool failed = false;
        for (int r = 0; r < runs && !failed; ++r) {
            const double d = bench::decodePassMs(files);
            const double ms = runCommand(arguments);
            failed = ms < 0;
            decodes.push_back(d);
            times.push_back(ms);
            ratios.push_back(ms / d);
        }
        if (failed) {
            score::Result none;
            none.problem = QStringLiteral("nebulo-cli failed");
            printRow(mode.name, &none, 0, 0);
            continue;
        }
        const score::Result r = score::compare(QImage(output), truth, setup.target);
        printRow(mode.name, &r, median(times), median(ratios));
    }

    const std::vector<int> chosen = sharpestFrames(*sequence, keep);
    const std::vector<unsigned char> mask = score::targetMask(truth, setup.target);
    const score::Result global = score::compare(knownStack(*sequence, files, chosen, false, mask), truth, setup.target);
    printRow(QStringLiteral("known global shifts (reference)"), &global, 0, 0);
    const score::Result local = score::compare(knownStack(*sequence, files, chosen, true, mask), truth, setup.target);
    printRow(QStringLiteral("known shifts and warps (reference)"), &local, 0, 0);
    std::printf("  single-threaded decode pass: median %.0f ms over %d runs\n", median(decodes), int(decodes.size()));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    auto value = [&](const QString& name, const QString& fallback) {
        const int at = a.indexOf(name);
        return at >= 0 && at + 1 < a.size() ? a[at + 1] : fallback;
    };
    const int runs = std::max(1, value(QStringLiteral("--runs"), QStringLiteral("3")).toInt());
    const int frames = std::clamp(value(QStringLiteral("--frames"), QStringLiteral("300")).toInt(), 4, 1000);
    const double keep = std::clamp(value(QStringLiteral("--keep"), QStringLiteral("25")).toDouble(), 1.0, 100.0);
    const QString cache = value(QStringLiteral("--cache"), QDir::temp().filePath(QStringLiteral("nebulo-bench-sharpness")));
    const QString only = value(QStringLiteral("--scene"), QString());
    g_cli = value(QStringLiteral("--cli"), g_cli);

    std::printf("best %.0f %% of %d frames, %d runs per mode, %u cores\n", keep, frames, runs,
                std::thread::hardware_concurrency());
    const QString help = helpText();
    const SceneSetup scenes[] = {
        {seeing::Scene::Planet, QStringLiteral("planet"), score::Target::Disk, QStringLiteral("planet"), 100},
        {seeing::Scene::Moon, QStringLiteral("moon"), score::Target::Inner, QStringLiteral("surface"), 40},
    };
    for (const SceneSetup& s : scenes)
        if (only.isEmpty() || only == s.name)
            measureScene(s, cache, frames, keep, runs, help);
    return 0;
}
