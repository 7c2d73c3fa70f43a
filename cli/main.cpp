// nebulo-cli: opens a sequence, optionally builds the master dark, rates and selects frames, picks the
// reference, aligns, refines, stacks, adjusts the colours and saves the result — the same engine
// operations, in the same order and with the same log lines, as a user of the window.

#include "batch.h"
#include "framecache.h"
#include "imagesave.h"
#include "memory.h"
#include "options.h"
#include "parallel.h"
#include "pixel.h"
#include "stackengine.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <new>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

using cli::kExitFailure;
constexpr int kExitInterrupted = 130; // 128 + SIGINT, as a shell reports a command stopped by Ctrl+C

// Set by SIGINT (or SIGTERM). The loops stop before their next frame; a second signal ends the
// process at once.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void onInterrupt(int signal)
{
    g_interrupted = 1;
    std::signal(signal, SIG_DFL);
}

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

// The input (frame or dark frame) that is the same file as the output; empty when there is none.
QString inputAt(const QString& output, const cli::Settings& s)
{
    const QString frame = readers::inputAt(output, s.frames);
    if (!frame.isEmpty())
        return QStringLiteral("frame ") + frame;
    const QString dark = readers::inputAt(output, s.darks);
    return dark.isEmpty() ? QString() : QStringLiteral("dark frame ") + dark;
}

void silenceToolkit(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int run(const cli::Settings& s, QString& step);

int main(int argc, char* argv[])
{
    // Decoder warnings and the like are the toolkit's business, not this command's output.
    qInstallMessageHandler(silenceToolkit);
    divertLibraryErrors();
    memory::keepLargeBuffers();
    QCoreApplication app(argc, argv);

    const cli::ParsedArguments parsed = cli::parseArguments(app.arguments());
    if (parsed.action == cli::ParsedArguments::Action::Fail)
        return fail(parsed.exitCode, parsed.text);
    if (parsed.action == cli::ParsedArguments::Action::Print) {
        printLine(stdout, parsed.text);
        return parsed.exitCode;
    }
    cli::Settings s = parsed.settings;
    if (s.depth == 16 && !imagesave::isFits(s.output) && !imagesave::holds16Bits(s.output))
        return fail(cli::kExitUsage, QStringLiteral("--depth 16 needs an output format that holds 16 bits per channel "
                                                    "(PNG, TIFF, PPM, PGM), not \"%1\"")
                                         .arg(QFileInfo(s.output).suffix()));
    const QString clash = inputAt(s.output, s);
    if (!clash.isEmpty())
        return fail(cli::kExitUsage, QStringLiteral("the output %1 is the input %2; choose another output file").arg(s.output, clash));
    if (s.threads > 0)
        parallel::setThreadCount(s.threads);

    // Captures stand for their frames: from here on every list holds one name per frame.
    QStringList notes;
    QString openError;
    if (!readers::expandSequence(s.frames, &s.frames, &notes, &openError)
        || !readers::expandSequence(s.darks, &s.darks, &notes, &openError))
        return fail(kExitFailure, openError);
    if (s.reference >= s.frames.size())
        return fail(cli::kExitUsage, cli::referenceError(s.reference, int(s.frames.size())));
    if (!s.quiet)
        for (const QString& line : notes)
            printLine(stdout, line);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    // A reader of the log that goes away (| head) must not stop the run: the log just ends there.
    std::signal(SIGPIPE, SIG_IGN);

    // Memory that runs out ends the run with the step it happened in; no file is written.
    QString step = QStringLiteral("opening the sequence");
    try {
        return run(s, step);
    } catch (const std::bad_alloc&) {
        return fail(kExitFailure, QStringLiteral("out of memory while %1").arg(step));
    }
}

int run(const cli::Settings& s, QString& step)
{
    StackEngine engine;
    if (s.cacheMb >= 0) {
        engine.cache->setBudget(s.cacheMb * 1024 * 1024);
        StackEngine::allowFramesOf(engine.cache->budget());
    }
    if (!s.bayer.isEmpty())
        readers::debayerFromName(s.bayer, &engine.readOptions.debayer);
    engine.lightframeGain = float(s.lightframeGain);
    engine.darkframeGain = float(s.darkframeGain);

    QString problem; // the first file that could not be read ends the run
    std::vector<bool> checked(std::size_t(s.frames.size()), true);
    batch::Progress progress;
    if (!s.quiet)
        progress.log = [](const QString& line) { printLine(stdout, line); };
    progress.selected = [&checked](int i) { return i >= 0 && i < int(checked.size()) && checked[std::size_t(i)]; };
    progress.unreadable = [&problem](const QString& path) {
        problem = QStringLiteral("cannot read frame %1: %2").arg(path, StackEngine::readProblem(path));
        return false;
    };
    progress.outOfMemory = [&problem](const QString& during) {
        problem = QStringLiteral("out of memory while %1").arg(during);
    };
    // An interrupted run writes no file. A loop that saw the request has logged where it stopped;
    // otherwise the last log line names the step after which the run ended.
    bool loopStopped = false;
    progress.cancel = [&loopStopped] {
        loopStopped = loopStopped || g_interrupted != 0;
        return loopStopped;
    };
    auto interrupted = [&](const QString& after) {
        if (!g_interrupted)
            return false;
        if (!loopStopped)
            progress.say(QStringLiteral("Interrupted after %1.").arg(after));
        printLine(g_errors, QStringLiteral("nebulo-cli: interrupted, no output written"));
        return true;
    };

    // Open the sequence.
    switch (engine.prepareSequence(s.frames.first())) {
    case StackEngine::Status::Ok:
        break;
    case StackEngine::Status::Unreadable:
        return fail(kExitFailure, QStringLiteral("cannot read frame %1: %2").arg(s.frames.first(), StackEngine::readProblem(s.frames.first())));
    case StackEngine::Status::OutOfMemory:
        return fail(kExitFailure, QStringLiteral("not enough memory for frames of the size of %1").arg(s.frames.first()));
    }
    engine.addFrames(s.frames);
    // Without --depth the output keeps more than 8 bits when the first frame has them.
    const bool deepSequence = px::isDeep(engine.currentFrame());
    if (interrupted(QStringLiteral("opening the sequence")))
        return kExitInterrupted;

    // Dark frames, built at once.
    if (!s.darks.isEmpty()) {
        step = QStringLiteral("building the master dark");
        engine.setDarkList(s.darks);
        QStringList leftOut;
        const bool built = batch::buildMasterDark(engine, progress, &leftOut);
        if (interrupted(QStringLiteral("building the master darkframe")))
            return kExitInterrupted;
        if (!built)
            return fail(kExitFailure, problem.isEmpty() ? QStringLiteral("not enough memory for the master dark") : problem);
        if (!leftOut.isEmpty()) {
            const QString why = StackEngine::readProblem(leftOut.first());
            return fail(kExitFailure, !why.isEmpty() ? QStringLiteral("cannot read dark frame %1: %2").arg(leftOut.first(), why)
                                                     : QStringLiteral("dark frame %1 differs in size from the first dark frame").arg(leftOut.first()));
        }
        if (engine.masterDark)
            progress.say(batch::masterDarkLine(int(s.darks.size())));
    }
    engine.previewDarkframe = s.preprocess;

    // The alignment mode first: the quality analysis prepares what the alignment will need.
    const bool feature = s.align == QLatin1String("feature");
    engine.alignMode = feature ? AlignMode::Feature : (s.align == QLatin1String("planet") ? AlignMode::Planet : AlignMode::Surface);

    // Quality analysis and selection.
    if (s.quality || s.best) {
        step = QStringLiteral("analyzing the quality");
        const bool rated = batch::analyzeQuality(engine, progress);
        if (interrupted(QStringLiteral("the quality analysis")))
            return kExitInterrupted;
        if (!rated)
            return fail(kExitFailure, problem.isEmpty() ? QStringLiteral("no frame could be rated") : problem);
        const auto mode = s.quality ? batch::SelectionMode::MinimumQuality : batch::SelectionMode::FrameCount;
        // The frame count cannot exceed the number of frames, as in the window.
        const int count = s.best ? std::min(*s.best, int(s.frames.size())) : 20;
        checked = batch::selectFrames(engine, mode, s.quality.value_or(50.0), count, progress);
    }

    if (feature) {
        // The reference: the frame as loaded, then the threshold (picked like a click, or given).
        batch::ReferenceRequest request;
        request.index = s.reference;
        request.filter = s.filter;
        request.radius = s.radius;
        request.threshold = s.threshold;
        step = QStringLiteral("picking the reference");
        const QString referencePath = engine.frames->path(s.reference);
        if (!engine.loadFrame(referencePath))
            return fail(kExitFailure, QStringLiteral("cannot read frame %1: %2").arg(referencePath, StackEngine::readProblem(referencePath)));
        if (s.pick && (s.pickX >= engine.frameImage.width() || s.pickY >= engine.frameImage.height()))
            return fail(cli::kExitUsage, QStringLiteral("--pick %1,%2 lies outside the reference frame %3 of %4x%5 pixels")
                                             .arg(s.pickX).arg(s.pickY).arg(referencePath)
                                             .arg(engine.frameImage.width()).arg(engine.frameImage.height()));
        if (s.pick) {
            const QColor colour = engine.pixelColourAt(s.filter, s.pickX, s.pickY);
            request.threshold = int(StackEngine::luminanceOf(colour) * 255.0);
        }
        const batch::PickResult picked = batch::pickReference(engine, request, nullptr);
        if (interrupted(QStringLiteral("picking the reference")))
            return kExitInterrupted;
        if (picked == batch::PickResult::NotFound)
            return fail(kExitFailure, QStringLiteral("no feature found in the reference frame %1 at luminance threshold %2")
                                          .arg(engine.frames->path(s.reference)).arg(request.threshold));
        if (picked == batch::PickResult::OutOfMemory)
            return fail(kExitFailure, QStringLiteral("out of memory while picking the reference"));
        if (picked == batch::PickResult::Unreadable)
            return fail(kExitFailure, QStringLiteral("cannot read frame %1: %2").arg(referencePath, StackEngine::readProblem(referencePath)));
        if (picked != batch::PickResult::Ok)
            return fail(kExitFailure, batch::pickMessage(picked, engine, request));
    } else {
        // Sub-pixel modes need no feature: the reference is the given frame, else the best-rated one.
        if (s.referenceGiven)
            engine.frames->referenceIndex = s.reference;
        if (s.thresholdGiven) {
            int threshold = s.threshold;
            if (s.pick) {
                if (!engine.loadFrame(engine.frames->path(s.reference)))
                    return fail(kExitFailure, QStringLiteral("cannot read frame %1").arg(engine.frames->path(s.reference)));
                threshold = int(StackEngine::luminanceOf(engine.pixelColourAt(s.filter, s.pickX, s.pickY)) * 255.0);
            }
            engine.planetThreshold = threshold;
        }
        if (s.surfacePatch[2] > 0)
            engine.surfacePatch = QRect(s.surfacePatch[0], s.surfacePatch[1], s.surfacePatch[2], s.surfacePatch[3]);
        engine.surfaceSearch = s.surfaceSearch;
    }
    engine.multiPoint.enabled = s.apSize > 0;
    engine.multiPoint.boxSize = s.apSize > 0 ? s.apSize : engine.multiPoint.boxSize;
    engine.multiPoint.search = s.apSearch;
    engine.multiPoint.keepPercent = s.apKeep;
    engine.multiPoint.minStructure = s.apMinStructure;
    engine.multiPoint.minBrightness = s.apMinBrightness;

    // Align, refine, stack.
    engine.stackFilter = s.stackFilter;
    engine.searchRadius = s.radius;
    step = QStringLiteral("aligning");
    batch::alignAll(engine, progress);
    if (interrupted(QStringLiteral("the alignment")))
        return kExitInterrupted;
    if (!problem.isEmpty())
        return fail(kExitFailure, problem);
    if (s.refine) {
        step = QStringLiteral("refining");
        batch::refineAll(engine, progress);
        if (interrupted(QStringLiteral("the refinement")))
            return kExitInterrupted;
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
    step = QStringLiteral("stacking");
    const bool stackedAll = batch::stackAll(engine, progress);
    if (interrupted(QStringLiteral("the stacking")))
        return kExitInterrupted;
    if (!stackedAll || !problem.isEmpty())
        return fail(kExitFailure, problem.isEmpty() ? QStringLiteral("stacking failed") : problem);
    if (!engine.stackReady)
        return fail(kExitFailure, QStringLiteral("no frame was stacked: in none of them was the feature found (or kept); no file written"));

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
    step = QStringLiteral("adjusting the colours");
    const int depth = s.depth ? s.depth : (deepSequence && imagesave::holds16Bits(s.output) ? 16 : 8);
    const StackEngine::Result result = engine.result(s.output, depth);
    if (interrupted(QStringLiteral("the colour adjustment")))
        return kExitInterrupted;
    step = QStringLiteral("saving the result");
    QString error;
    if (!StackEngine::writeResult(result, s.output, &error))
        return fail(kExitFailure, error);
    return 0;
}
