// nebulo-cli: opens a sequence, optionally builds the master dark, rates and selects frames, picks the
// reference, aligns, refines, stacks, adjusts the colours and saves the result — the same engine
// operations, in the same order and with the same log lines, as a user of the window.

#include "batch.h"
#include "framecache.h"
#include "imagesave.h"
#include "memory.h"
#include "parallel.h"
#include "stackengine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <array>
#include <cmath>
#include <cstdio>
#include <optional>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

class UsageError {
public:
    explicit UsageError(QString m) : message(std::move(m)) {}
    QString message;
};

void printLine(FILE* stream, const QString& line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// Where this command's own error line goes. Image libraries may write to the process's standard error
// on their own (libpng does), so that stream is sent to /dev/null and errors use a copy of it.
FILE* g_errors = stderr;

void divertLibraryErrors()
{
#ifdef Q_OS_UNIX
    const int copy = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (copy < 0 || null < 0)
        return;
    FILE* errors = fdopen(copy, "w");
    if (!errors || dup2(null, STDERR_FILENO) < 0)
        return;
    close(null);
    g_errors = errors;
#endif
}

int fail(int status, const QString& message)
{
    printLine(g_errors, QStringLiteral("nebulo-cli: ") + message);
    return status;
}

// A decimal control of the window: its range and the number of decimals it keeps.
struct DecimalRange {
    double min, max;
    int decimals;
};

// The value a decimal spin box holds after it is given v.
double roundLikeSpinBox(double v, int decimals)
{
    return QString::number(v, 'f', decimals).toDouble();
}

bool toDouble(const QString& text, double* value)
{
    bool ok = false;
    *value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(*value);
}

bool toInt(const QString& text, int* value)
{
    bool ok = false;
    *value = text.trimmed().toInt(&ok);
    return ok;
}

double decimalOption(const QCommandLineParser& p, const QString& name, const DecimalRange& r, double fallback)
{
    if (!p.isSet(name))
        return fallback;
    double v = 0;
    if (!toDouble(p.value(name), &v) || v < r.min || v > r.max)
        throw UsageError(QStringLiteral("--%1 expects a number from %2 to %3, not \"%4\"")
                             .arg(name).arg(r.min).arg(r.max).arg(p.value(name)));
    return roundLikeSpinBox(v, r.decimals);
}

int intOption(const QCommandLineParser& p, const QString& name, int min, int max, int fallback)
{
    if (!p.isSet(name))
        return fallback;
    int v = 0;
    if (!toInt(p.value(name), &v) || v < min || v > max)
        throw UsageError(QStringLiteral("--%1 expects a whole number from %2 to %3, not \"%4\"")
                             .arg(name).arg(min).arg(max).arg(p.value(name)));
    return v;
}

// "a,b,c" with each part in range; the parts keep the control's decimals.
std::array<double, 3> tripleOption(const QCommandLineParser& p, const QString& name, const DecimalRange& r,
                                   std::array<double, 3> fallback)
{
    if (!p.isSet(name))
        return fallback;
    const QStringList parts = p.value(name).split(QLatin1Char(','));
    std::array<double, 3> out{};
    bool ok = parts.size() == 3;
    for (int i = 0; ok && i < 3; ++i) {
        double v = 0;
        ok = toDouble(parts[i], &v) && v >= r.min && v <= r.max;
        if (ok)
            out[std::size_t(i)] = roundLikeSpinBox(v, r.decimals);
    }
    if (!ok)
        throw UsageError(QStringLiteral("--%1 expects three numbers R,G,B from %2 to %3, not \"%4\"")
                             .arg(name).arg(r.min).arg(r.max).arg(p.value(name)));
    return out;
}

std::array<int, 3> intTripleOption(const QCommandLineParser& p, const QString& name, int min, int max)
{
    if (!p.isSet(name))
        return {0, 0, 0};
    const QStringList parts = p.value(name).split(QLatin1Char(','));
    std::array<int, 3> out{};
    bool ok = parts.size() == 3;
    for (int i = 0; ok && i < 3; ++i) {
        int v = 0;
        ok = toInt(parts[i], &v) && v >= min && v <= max;
        if (ok)
            out[std::size_t(i)] = v;
    }
    if (!ok)
        throw UsageError(QStringLiteral("--%1 expects three whole numbers R,G,B from %2 to %3, not \"%4\"")
                             .arg(name).arg(min).arg(max).arg(p.value(name)));
    return out;
}

struct Settings {
    QString output;
    QStringList frames;
    QStringList darks;
    bool preprocess = false;
    double lightframeGain = 1.0, darkframeGain = 1.0;
    int reference = 0;
    int threshold = 75;
    bool pick = false;
    int pickX = 0, pickY = 0;
    int filter = 2, radius = 20;
    std::optional<double> quality;
    std::optional<int> best;
    bool refine = false;
    int stackFilter = 0;
    std::array<int, 3> cutoff{0, 0, 0};
    bool lumaStack = false;
    std::array<double, 3> lumaWeights{0.2126, 0.7152, 0.0722};
    std::array<double, 3> gain{1, 1, 1}, gamma{1, 1, 1}, contrast{1, 1, 1}, offset{0, 0, 0};
    bool lvb = false;
    int lvbStrength = 1;
    double lvbBlend = 1.0;
    bool lumaOut = false;
    bool quiet = false;
    int threads = 0;
    qint64 cacheMb = -1; // -1: the default budget
};

Settings readSettings(const QCommandLineParser& p)
{
    Settings s;
    if (!p.isSet(QStringLiteral("output")) || p.value(QStringLiteral("output")).isEmpty())
        throw UsageError(QStringLiteral("an output file is required (-o FILE)"));
    s.output = p.value(QStringLiteral("output"));
    s.frames = p.positionalArguments();
    if (s.frames.isEmpty())
        throw UsageError(QStringLiteral("no frames given"));
    s.darks = p.values(QStringLiteral("dark"));
    s.preprocess = p.isSet(QStringLiteral("preprocess"));
    s.lightframeGain = decimalOption(p, QStringLiteral("lightframe-gain"), {0.0, 100.0, 1}, 1.0);
    s.darkframeGain = decimalOption(p, QStringLiteral("darkframe-gain"), {0.0, 99.99, 2}, 1.0);
    s.reference = intOption(p, QStringLiteral("reference"), 0, int(s.frames.size()) - 1, 0);
    if (p.isSet(QStringLiteral("threshold")) && p.isSet(QStringLiteral("pick")))
        throw UsageError(QStringLiteral("--threshold and --pick exclude each other"));
    s.threshold = intOption(p, QStringLiteral("threshold"), 0, 255, 75);
    if (p.isSet(QStringLiteral("pick"))) {
        const QStringList xy = p.value(QStringLiteral("pick")).split(QLatin1Char(','));
        int x = 0, y = 0;
        if (xy.size() != 2 || !toInt(xy[0], &x) || !toInt(xy[1], &y) || x < 0 || y < 0)
            throw UsageError(QStringLiteral("--pick expects a pixel position X,Y, not \"%1\"").arg(p.value(QStringLiteral("pick"))));
        s.pick = true;
        s.pickX = x;
        s.pickY = y;
    }
    s.filter = intOption(p, QStringLiteral("filter"), 0, 10, 2);
    s.radius = intOption(p, QStringLiteral("radius"), 1, 100, 20);
    if (p.isSet(QStringLiteral("quality")) && p.isSet(QStringLiteral("best")))
        throw UsageError(QStringLiteral("--quality and --best exclude each other"));
    if (p.isSet(QStringLiteral("quality")))
        s.quality = decimalOption(p, QStringLiteral("quality"), {0.0, 100.0, 1}, 50.0);
    if (p.isSet(QStringLiteral("best")))
        s.best = intOption(p, QStringLiteral("best"), 1, 1000, 20);
    s.refine = p.isSet(QStringLiteral("refine"));
    s.stackFilter = intOption(p, QStringLiteral("stack-filter"), 0, 99, 0);
    s.cutoff = intTripleOption(p, QStringLiteral("cutoff"), 0, 255);
    s.lumaStack = p.isSet(QStringLiteral("luma-stack"));
    s.lumaWeights = tripleOption(p, QStringLiteral("luma-weights"), {0.0, 1.0, 4}, s.lumaWeights);
    s.gain = tripleOption(p, QStringLiteral("gain"), {0.0, 1000.0, 2}, s.gain);
    s.gamma = tripleOption(p, QStringLiteral("gamma"), {0.0, 99.99, 2}, s.gamma);
    s.contrast = tripleOption(p, QStringLiteral("contrast"), {0.0, 99.99, 2}, s.contrast);
    s.offset = tripleOption(p, QStringLiteral("offset"), {-1.0, 1.0, 2}, s.offset);
    if (p.isSet(QStringLiteral("lvb"))) {
        const QStringList parts = p.value(QStringLiteral("lvb")).split(QLatin1Char(','));
        int n = 0;
        double blend = 0;
        if (parts.size() != 2 || !toInt(parts[0], &n) || !toDouble(parts[1], &blend) || n < 1 || n > 10 || blend < 0.01
            || blend > 1.0)
            throw UsageError(QStringLiteral("--lvb expects STRENGTH,BLEND with strength 1 to 10 and blend 0.01 to 1, not \"%1\"")
                                 .arg(p.value(QStringLiteral("lvb"))));
        s.lvb = true;
        s.lvbStrength = n;
        s.lvbBlend = roundLikeSpinBox(blend, 2);
    }
    s.lumaOut = p.isSet(QStringLiteral("luma-out"));
    s.quiet = p.isSet(QStringLiteral("quiet"));
    s.threads = intOption(p, QStringLiteral("threads"), 1, 1024, 0);
    if (p.isSet(QStringLiteral("cache-mb")))
        s.cacheMb = intOption(p, QStringLiteral("cache-mb"), 0, 1 << 30, 0);
    return s;
}

void silenceToolkit(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char* argv[])
{
    // Decoder warnings and the like are the toolkit's business, not this command's output.
    qInstallMessageHandler(silenceToolkit);
    divertLibraryErrors();
    memory::keepLargeBuffers();
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stacks a sequence of planetary frames into one image."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addPositionalArgument(QStringLiteral("FRAME"), QStringLiteral("Frames of the sequence, in order."), QStringLiteral("FRAME..."));
    const QList<QCommandLineOption> options = {
        {{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("Write the result to FILE (format from its suffix)."), QStringLiteral("FILE")},
        {QStringLiteral("dark"), QStringLiteral("A dark frame (repeatable); the master dark is built from them."), QStringLiteral("FILE")},
        {QStringLiteral("preprocess"), QStringLiteral("Calibrate every loaded frame with the master dark.")},
        {QStringLiteral("lightframe-gain"), QStringLiteral("Gain of the calibration (default 1.0)."), QStringLiteral("G")},
        {QStringLiteral("darkframe-gain"), QStringLiteral("Weight of the mean dark in the calibration (default 1.0)."), QStringLiteral("G")},
        {QStringLiteral("reference"), QStringLiteral("Index of the reference frame (default 0)."), QStringLiteral("N")},
        {QStringLiteral("threshold"), QStringLiteral("Luminance threshold 0-255 (default 75)."), QStringLiteral("T")},
        {QStringLiteral("pick"), QStringLiteral("Take the threshold from the luminance at X,Y of the reference frame."), QStringLiteral("X,Y")},
        {QStringLiteral("filter"), QStringLiteral("Filter size of the detection, 0-10 (default 2)."), QStringLiteral("F")},
        {QStringLiteral("radius"), QStringLiteral("Search radius, 1-100 (default 20)."), QStringLiteral("R")},
        {QStringLiteral("quality"), QStringLiteral("Keep the frames rated at least P percent (quality analysis)."), QStringLiteral("P")},
        {QStringLiteral("best"), QStringLiteral("Keep the N best-rated frames (quality analysis)."), QStringLiteral("N")},
        {QStringLiteral("refine"), QStringLiteral("Check the alignment by pattern matching; poor matches are not stacked.")},
        {QStringLiteral("stack-filter"), QStringLiteral("Box filter radius of the stacking, 0-99 (default 0)."), QStringLiteral("F")},
        {QStringLiteral("cutoff"), QStringLiteral("Low colour cutoff per channel, 0-255 (default 0,0,0)."), QStringLiteral("R,G,B")},
        {QStringLiteral("luma-stack"), QStringLiteral("Stack luminance instead of colour.")},
        {QStringLiteral("luma-weights"), QStringLiteral("Luminance weights (default 0.2126,0.7152,0.0722)."), QStringLiteral("R,G,B")},
        {QStringLiteral("gain"), QStringLiteral("Colour gain per channel, 0-1000 (default 1,1,1)."), QStringLiteral("R,G,B")},
        {QStringLiteral("gamma"), QStringLiteral("Gamma per channel, 0-99.99 (default 1,1,1)."), QStringLiteral("R,G,B")},
        {QStringLiteral("contrast"), QStringLiteral("Contrast per channel, 0-99.99 (default 1,1,1)."), QStringLiteral("R,G,B")},
        {QStringLiteral("offset"), QStringLiteral("Offset per channel, -1 to 1 (default 0,0,0)."), QStringLiteral("R,G,B")},
        {QStringLiteral("lvb"), QStringLiteral("Low value boost with strength 1-10 and blend 0.01-1."), QStringLiteral("N,BLEND")},
        {QStringLiteral("luma-out"), QStringLiteral("Write the luminance of the result.")},
        {QStringLiteral("threads"), QStringLiteral("Number of threads (default: all cores)."), QStringLiteral("N")},
        {QStringLiteral("cache-mb"), QStringLiteral("Memory for decoded frames in MB (default: a quarter of the physical memory; 0: none)."), QStringLiteral("N")},
        {{QStringLiteral("q"), QStringLiteral("quiet")}, QStringLiteral("Print no log lines.")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")},
        {QStringLiteral("version"), QStringLiteral("Show the version.")},
    };
    parser.addOptions(options);

    if (!parser.parse(app.arguments()))
        return fail(kExitUsage, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        printLine(stdout, parser.helpText().trimmed());
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printLine(stdout, QStringLiteral("Nebulo v0.1.2"));
        return 0;
    }

    Settings s;
    try {
        s = readSettings(parser);
    } catch (const UsageError& e) {
        return fail(kExitUsage, e.message);
    }
    if (s.threads > 0)
        parallel::setThreadCount(s.threads);

    StackEngine engine;
    if (s.cacheMb >= 0)
        engine.cache->setBudget(s.cacheMb * 1024 * 1024);
    engine.lightframeGain = float(s.lightframeGain);
    engine.darkframeGain = float(s.darkframeGain);

    QString problem; // the first file that could not be read ends the run
    std::vector<bool> checked(std::size_t(s.frames.size()), true);
    batch::Progress progress;
    if (!s.quiet)
        progress.log = [](const QString& line) { printLine(stdout, line); };
    progress.selected = [&checked](int i) { return i >= 0 && i < int(checked.size()) && checked[std::size_t(i)]; };
    progress.unreadable = [&problem](const QString& path) {
        problem = QStringLiteral("cannot read frame %1").arg(path);
        return false;
    };

    // Open the sequence.
    switch (engine.prepareSequence(s.frames.first())) {
    case StackEngine::Status::Ok:
        break;
    case StackEngine::Status::Unreadable:
        return fail(kExitFailure, QStringLiteral("cannot read frame %1").arg(s.frames.first()));
    case StackEngine::Status::OutOfMemory:
        return fail(kExitFailure, QStringLiteral("not enough memory for frames of the size of %1").arg(s.frames.first()));
    }
    engine.addFrames(s.frames);

    // Dark frames, built at once.
    if (!s.darks.isEmpty()) {
        engine.setDarkList(s.darks);
        QStringList leftOut;
        if (!engine.buildMasterDark(progress.log, &leftOut))
            return fail(kExitFailure, QStringLiteral("not enough memory for the master dark"));
        if (!leftOut.isEmpty()) {
            QImage probe;
            const bool unreadable = !StackEngine::readImage(leftOut.first(), probe);
            return fail(kExitFailure, unreadable ? QStringLiteral("cannot read dark frame %1").arg(leftOut.first())
                                                 : QStringLiteral("dark frame %1 differs in size from the first dark frame").arg(leftOut.first()));
        }
    }
    engine.previewDarkframe = s.preprocess;

    // Quality analysis and selection.
    if (s.quality || s.best) {
        if (!batch::analyzeQuality(engine, progress))
            return fail(kExitFailure, problem.isEmpty() ? QStringLiteral("no frame could be rated") : problem);
        const auto mode = s.quality ? batch::SelectionMode::MinimumQuality : batch::SelectionMode::FrameCount;
        // The frame count cannot exceed the number of frames, as in the window.
        const int count = s.best ? std::min(*s.best, int(s.frames.size())) : 20;
        checked = batch::selectFrames(engine, mode, s.quality.value_or(50.0), count, progress);
    }

    // The reference: the frame as loaded, then the threshold (picked like a click, or given).
    batch::ReferenceRequest request;
    request.index = s.reference;
    request.filter = s.filter;
    request.radius = s.radius;
    request.threshold = s.threshold;
    if (!engine.loadFrame(engine.frames->path(s.reference)))
        return fail(kExitFailure, QStringLiteral("cannot read frame %1").arg(engine.frames->path(s.reference)));
    if (s.pick) {
        const QColor colour = engine.pixelColourAt(s.filter, s.pickX, s.pickY);
        request.threshold = int(StackEngine::luminanceOf(colour) * 255.0);
    }
    const batch::PickResult picked = batch::pickReference(engine, request, nullptr);
    if (picked == batch::PickResult::NotFound)
        return fail(kExitFailure, QStringLiteral("no feature found in the reference frame %1 at luminance threshold %2")
                                      .arg(engine.frames->path(s.reference)).arg(request.threshold));
    if (picked != batch::PickResult::Ok)
        return fail(kExitFailure, batch::pickMessage(picked, engine, request));

    // Align, refine, stack.
    engine.stackFilter = s.stackFilter;
    engine.searchRadius = s.radius;
    batch::alignAll(engine, progress);
    if (!problem.isEmpty())
        return fail(kExitFailure, problem);
    if (s.refine) {
        batch::refineAll(engine, progress);
        if (!problem.isEmpty())
            return fail(kExitFailure, problem);
    }
    engine.minusR = s.cutoff[0];
    engine.minusG = s.cutoff[1];
    engine.minusB = s.cutoff[2];
    engine.luma = s.lumaStack;
    engine.lumaWeightR = s.lumaWeights[0];
    engine.lumaWeightG = s.lumaWeights[1];
    engine.lumaWeightB = s.lumaWeights[2];
    if (!batch::stackAll(engine, progress) || !problem.isEmpty())
        return fail(kExitFailure, problem.isEmpty() ? QStringLiteral("stacking failed") : problem);

    // Colours, then the file.
    engine.downhillGain = 1.0f;
    engine.downhillStrength = 2;
    engine.hillFunc = false;
    engine.downhillFunc = false;
    engine.lowValueBoost = s.lvb;
    engine.lvbBlend = float(s.lvbBlend);
    engine.lvbExponent = s.lvbStrength;
    engine.gammaR = float(s.gamma[0]);
    engine.gammaG = float(s.gamma[1]);
    engine.gammaB = float(s.gamma[2]);
    engine.contrastR = float(s.contrast[0]);
    engine.contrastG = float(s.contrast[1]);
    engine.contrastB = float(s.contrast[2]);
    engine.gainR = float(s.gain[0]);
    engine.gainG = float(s.gain[1]);
    engine.gainB = float(s.gain[2]);
    engine.offsetR = float(s.offset[0]);
    engine.offsetG = float(s.offset[1]);
    engine.offsetB = float(s.offset[2]);
    engine.lumaOut = s.lumaOut;
    QString error;
    if (!imagesave::save(engine.colorAdjusted(), s.output, &error))
        return fail(kExitFailure, error);
    return 0;
}
