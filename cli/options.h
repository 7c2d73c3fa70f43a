// The batch command's options: the table of options, and the parsing of a command line into the settings
// of one run. Parsing is a pure function of the arguments (no output, no exit), so that the command, its
// tests and the fuzz target drive the same code.
//
// To add an option: give it a field in Settings, an entry in optionTable() and a line in readSettings()
// (options.cpp) that checks its value; a bad value throws UsageError with the line the user sees.
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Everything a run of the batch command is told to do.
struct Settings {
    QString output;
    QStringList frames; // as given: a capture stands for all of its frames
    QStringList darks;
    QString bayer; // "RGGB", "GRBG", "GBRG", "BGGR" or "none"; empty: each file's own pattern
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
    // Bits per channel of the output, 8 or 16; 0: 16 when the first frame has more than 8 bits and the
    // output format holds 16, else 8. A FITS output is always written as 32-bit floats.
    int depth = 0;
    // Global alignment: "feature" (the bright feature), "planet" or "surface".
    QString align = QStringLiteral("feature");
    bool referenceGiven = false;
    bool thresholdGiven = false; // --threshold or --pick
    std::array<int, 4> surfacePatch{0, 0, 0, 0}; // X,Y,W,H on the reference frame; W = 0: automatic
    int surfaceSearch = 34;
    // Multi-point stacking: box size (0: off), search, share of the frames per point, thresholds.
    int apSize = 0;
    int apSearch = 14;
    int apKeep = 25;
    double apMinStructure = 1.0;
    int apMinBrightness = 20;
};

// What the command line asks for.
struct ParsedArguments {
    enum class Action {
        Run,     // stack with `settings`
        Print,   // write `text` to standard output and exit with `exitCode` (help, version)
        Fail,    // write `text` as the command's error line and exit with `exitCode`
    };
    Action action = Action::Fail;
    Settings settings;
    QString text;
    int exitCode = kExitUsage;
};

// `arguments` as QCoreApplication::arguments() gives them: the program's name first.
ParsedArguments parseArguments(const QStringList& arguments);

// The usage error for a --reference beyond the frames; the frames of captures are only counted once
// the captures are opened, so the command checks it again with the expanded list.
QString referenceError(int reference, int frameCount);

} // namespace cli
