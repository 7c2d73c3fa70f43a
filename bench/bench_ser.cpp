// The whole pass of the batch command over SER captures and over the equivalent PNG sequence.
//   bench_ser [--runs N] [--frames N] [--keep DIR] [--baseline CLI]
// Generates 640x480 frames as a 200-frame PNG sequence (8-bit RGB), and as captures of 200 frames and
// of the full count (default 1000) in 8-bit RGB and in 16-bit raw RGGB, then runs
// nebulo-cli -q --quality 0 --refine on each several times. Prints, per input, the medians of: frames
// per second (elapsed time), CPU milliseconds per frame (user + system), the frames per second the CPU
// time allows on two cores (frames / (CPU seconds / 2): what a quiet two-core machine shows when the
// command keeps both busy) and the peak resident memory. The 200-frame and the full capture side by
// side show whether memory grows with the number of frames (a child process renders and writes the
// inputs, so that the peak measured is the command's alone). --keep DIR leaves the inputs in DIR (for
// profiling); --baseline CLI measures another build of the command on the same inputs.

#include "benchutil.h"
#include "serwriter.h"
#include "synthetic.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

using bench::Usage;

// Elapsed and CPU milliseconds and peak resident memory (MB) of one run of the command.
Usage runCommand(const QByteArray& program, const QStringList& arguments)
{
    const Usage u = bench::runProgram(program, arguments);
    if (u.ms >= 0 && !u.ok())
        std::printf("%s failed (status %d)\n", program.constData(), u.status);
    return u;
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

struct Row {
    QString label;
    int frames = 0;
    double fps = 0, cpuMsPerFrame = 0, cpuFps = 0, peakMb = 0;
};

Row measure(const QByteArray& program, const QStringList& inputs, int frames, const QString& label, int runs)
{
    QTemporaryDir out;
    const QStringList args = QStringList{QStringLiteral("-q"), QStringLiteral("-o"), out.filePath(QStringLiteral("out.png")),
                                         QStringLiteral("--quality"), QStringLiteral("0"), QStringLiteral("--refine")}
        + inputs;
    std::vector<double> fps, cpu, peaks;
    runCommand(program, args); // warm the page cache
    for (int r = 0; r < runs; ++r) {
        const Usage u = runCommand(program, args);
        fps.push_back(frames / (u.ms / 1000.0));
        cpu.push_back(u.cpuMs / frames);
        peaks.push_back(u.peakMb);
        std::printf("  %-40s run %d: %8.1f ms  CPU %8.1f ms  %7.1f frames/s  peak %.0f MB\n", qPrintable(label), r + 1, u.ms,
                    u.cpuMs, fps.back(), u.peakMb);
        std::fflush(stdout);
    }
    Row row;
    row.label = label;
    row.frames = frames;
    row.fps = median(fps);
    row.cpuMsPerFrame = median(cpu);
    row.cpuFps = 2000.0 / row.cpuMsPerFrame;
    row.peakMb = median(peaks);
    return row;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    auto argOf = [&](const char* name) {
        const int at = a.indexOf(QLatin1String(name));
        return at >= 0 && at + 1 < a.size() ? a[at + 1] : QString();
    };
    const int runs = std::max(1, argOf("--runs").isEmpty() ? 3 : argOf("--runs").toInt());
    const int full = std::max(1, argOf("--frames").isEmpty() ? 1000 : argOf("--frames").toInt());
    const QString baseline = argOf("--baseline");
    QTemporaryDir temporary;
    const QString keep = argOf("--keep");
    const QDir dir(keep.isEmpty() ? temporary.path() : keep);
    QDir().mkpath(dir.path());
    struct Input {
        QString label;
        QStringList files;
        int frames;
    };
    std::vector<Input> inputs;
    const QString pngDir = dir.filePath(QStringLiteral("png200"));
    QStringList pngs;
    for (int i = 0; i < 200; ++i)
        pngs << QStringLiteral("%1/frame_%2.png").arg(pngDir).arg(i, 3, 10, QLatin1Char('0'));
    inputs.push_back({QStringLiteral("200 frames, 8-bit RGB PNG sequence"), pngs, 200});
    for (bool raw16 : {false, true})
        for (int count : {200, full})
            inputs.push_back({QStringLiteral("%1 frames, %2 SER").arg(count).arg(raw16 ? "16-bit raw RGGB" : "8-bit RGB"),
                              {dir.filePath(QStringLiteral("%1-%2.ser").arg(raw16 ? "bayer16" : "rgb8").arg(count))}, count});

    if (a.contains(QStringLiteral("--write-inputs"))) {
        // The child that writes the inputs: the frames it renders never count in the peak memory the
        // parent reports for the command (a spawned process starts from its parent's resident size).
        const std::vector<QImage> distinct = planetFrames(100);
        QVector<QImage> sequence;
        for (int i = 0; i < 200; ++i)
            sequence << distinct[std::size_t(i) % distinct.size()];
        if (synth::writeSequence(pngDir, QStringLiteral("frame"), sequence) != pngs) {
            std::printf("cannot write the PNG sequence\n");
            return 1;
        }
        for (std::size_t i = 1; i < inputs.size(); ++i) {
            if (!writeCapture(inputs[i].files.first(), distinct, inputs[i].frames, i >= 3)) {
                std::printf("cannot write %s\n", qPrintable(inputs[i].files.first()));
                return 1;
            }
        }
        return 0;
    }
    std::printf("rendering frames...\n");
    std::fflush(stdout);
    if (runCommand(QCoreApplication::applicationFilePath().toLocal8Bit(),
                   {QStringLiteral("--write-inputs"), QStringLiteral("--frames"), QString::number(full), QStringLiteral("--keep"), dir.path()})
            .ms < 0)
        return 1;
    for (const Input& in : inputs) {
        if (!QFile::exists(in.files.last())) {
            std::printf("%s was not written\n", qPrintable(in.files.last()));
            return 1;
        }
    }

    std::vector<Row> rows;
    for (const Input& in : inputs) {
        rows.push_back(measure(QByteArray(NEBULO_CLI_PATH), in.files, in.frames, in.label, runs));
        if (!baseline.isEmpty())
            rows.push_back(measure(baseline.toLocal8Bit(), in.files, in.frames, QStringLiteral("baseline: ") + in.label, runs));
    }
    std::printf("\nmedians of %d runs, 640x480, nebulo-cli -q --quality 0 --refine\n", runs);
    std::printf("%-50s %12s %14s %16s %9s\n", "input", "frames/s", "CPU ms/frame", "CPU-bound fps,", "peak MB");
    std::printf("%-50s %12s %14s %16s %9s\n", "", "(elapsed)", "", "2 cores", "");
    for (const Row& r : rows)
        std::printf("%-50s %12.1f %14.2f %16.1f %9.0f\n", qPrintable(r.label), r.fps, r.cpuMsPerFrame, r.cpuFps, r.peakMb);
    return 0;
}
