// The whole pass of the batch command over SER captures.
//   bench_ser [--runs N] [--frames N]
// Generates captures of 640x480 frames (8-bit RGB, and 16-bit raw RGGB), 200 frames and the full
// count (default 1000), then runs nebulo-cli -q --quality 0 --refine on each several times. Prints
// frames per second and peak resident memory (medians of the runs): the 200-frame and the full
// capture side by side show whether memory grows with the number of frames.

#include "serwriter.h"
#include "synthetic.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <vector>

extern char** environ;

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds and peak resident memory (MB) of one run of the command.
double runCommand(const QStringList& arguments, double* peakMb)
{
    std::vector<QByteArray> storage{QByteArray(NEBULO_CLI_PATH)};
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
    *peakMb = usage.ru_maxrss / 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::printf("nebulo-cli failed (status %d)\n", WEXITSTATUS(status));
    return double(t.nsecsElapsed()) / 1e6;
}

// A wandering, blurring planet; frames repeat after `distinct` (rendering is slower than stacking).
std::vector<QImage> planetFrames(int distinct)
{
    std::vector<QImage> frames;
    synth::Rng walk(17);
    double cx = 320, cy = 240;
    for (int i = 0; i < distinct; ++i) {
        cx += walk.uniform() * 4 - 2;
        cy += walk.uniform() * 4 - 2;
        synth::Planet p;
        p.width = 640;
        p.height = 480;
        p.cx = cx;
        p.cy = cy;
        p.radius = 96;
        p.blur = 0.4 + 2.0 * walk.uniform();
        p.noise = 2.0;
        p.seed = quint32(1000 + i);
        frames.push_back(synth::renderPlanet(p).convertToFormat(QImage::Format_RGB32));
    }
    return frames;
}

// The RGGB mosaic of an 8-bit frame at 16 bits (v * 257), little-endian.
QByteArray bayer16(const QImage& frame)
{
    QByteArray out;
    out.reserve(qsizetype(frame.width()) * frame.height() * 2);
    for (int y = 0; y < frame.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
        for (int x = 0; x < frame.width(); ++x) {
            const int site = (y & 1) * 2 + (x & 1);
            const int v = 257 * (site == 0 ? qRed(line[x]) : site == 3 ? qBlue(line[x]) : qGreen(line[x]));
            out.append(char(v & 0xff));
            out.append(char(v >> 8));
        }
    }
    return out;
}

// Written frame by frame: this process stays small, so the peak memory measured is the command's.
bool writeCapture(const QString& path, const std::vector<QImage>& distinct, int count, bool raw16)
{
    serwriter::Capture header;
    header.colorId = raw16 ? 8 : 100;
    header.depth = raw16 ? 16 : 8;
    header.width = 640;
    header.height = 480;
    header.frameCount = count;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(serwriter::bytes(header)) != 178)
        return false;
    for (int i = 0; i < count; ++i) {
        const QImage& f = distinct[std::size_t(i) % distinct.size()];
        const QByteArray frame = raw16 ? bayer16(f) : serwriter::rgbFrame(f);
        if (file.write(frame) != frame.size())
            return false;
    }
    return true;
}

void measure(const QString& path, int frames, const QString& label, int runs)
{
    QTemporaryDir out;
    const QStringList args = {QStringLiteral("-q"), QStringLiteral("-o"), out.filePath(QStringLiteral("out.png")),
                              QStringLiteral("--quality"), QStringLiteral("0"), QStringLiteral("--refine"), path};
    std::vector<double> fps, peaks;
    double peak = 0;
    runCommand(args, &peak); // warm the page cache
    for (int r = 0; r < runs; ++r) {
        const double ms = runCommand(args, &peak);
        fps.push_back(frames / (ms / 1000.0));
        peaks.push_back(peak);
        std::printf("  %-34s run %d: %8.1f ms  %7.1f frames/s  peak %.0f MB\n", qPrintable(label), r + 1, ms, fps.back(), peak);
        std::fflush(stdout);
    }
    std::printf("  %-34s median: %7.1f frames/s   peak %.0f MB\n", qPrintable(label), median(fps), median(peaks));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    auto intArg = [&](const char* name, int fallback) {
        const int at = a.indexOf(QLatin1String(name));
        return at >= 0 && at + 1 < a.size() ? std::max(1, a[at + 1].toInt()) : fallback;
    };
    const int runs = intArg("--runs", 3);
    const int full = intArg("--frames", 1000);
    QTemporaryDir dir;
    std::printf("rendering frames...\n");
    std::fflush(stdout);
    const std::vector<QImage> distinct = planetFrames(100);
    for (bool raw16 : {false, true}) {
        for (int count : {200, full}) {
            const QString path = dir.filePath(QStringLiteral("%1-%2.ser").arg(raw16 ? "bayer16" : "rgb8").arg(count));
            if (!writeCapture(path, distinct, count, raw16)) {
                std::printf("cannot write %s\n", qPrintable(path));
                return 1;
            }
            measure(path, count, QStringLiteral("%1 frames, %2").arg(count).arg(raw16 ? "16-bit raw RGGB" : "8-bit RGB"), runs);
        }
    }
    return 0;
}
