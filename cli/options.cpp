#include "options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <algorithm>
#include <climits>
#include <cmath>

namespace cli {
namespace {

// A value the user gave that the run cannot use; the message is the command's error line.
class UsageError {
public:
    explicit UsageError(QString m) : message(std::move(m)) {}
    QString message;
};

QList<QCommandLineOption> optionTable()
{
    return {
        {{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("Write the result to FILE (format from its suffix)."), QStringLiteral("FILE")},
        {QStringLiteral("dark"), QStringLiteral("A dark frame or a SER capture of dark frames (repeatable); the master dark is built from them."), QStringLiteral("FILE")},
        {QStringLiteral("bayer"), QStringLiteral("Demosaic single-channel frames with this pattern: RGGB, GRBG, GBRG, BGGR, or none for grey (default: the pattern the file names)."), QStringLiteral("PATTERN")},
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
        {QStringLiteral("depth"), QStringLiteral("Bits per channel of the output, 8 or 16 (PNG, TIFF, PPM, PGM); default 16 when the first frame has more than 8 bits and the format holds them, else 8. FITS output (.fit, .fits) is always 32-bit float."), QStringLiteral("BITS")},
        {QStringLiteral("threads"), QStringLiteral("Number of threads (default: all cores)."), QStringLiteral("N")},
        {QStringLiteral("cache-mb"), QStringLiteral("Memory for decoded frames in MB (default: a quarter of the memory the process may use; 0: none)."), QStringLiteral("N")},
        {QStringLiteral("align"), QStringLiteral("Global alignment: feature, planet or surface (default feature)."), QStringLiteral("MODE")},
        {QStringLiteral("surface-patch"), QStringLiteral("Patch of the surface alignment on the reference frame (default: chosen automatically)."), QStringLiteral("X,Y,W,H")},
        {QStringLiteral("surface-search"), QStringLiteral("Search width of the surface alignment in pixels, 1-200 (default 34)."), QStringLiteral("S")},
        {QStringLiteral("ap-size"), QStringLiteral("Multi-point stacking with alignment boxes of N pixels, 16-256 (default 0: off)."), QStringLiteral("N")},
        {QStringLiteral("ap-search"), QStringLiteral("How far an alignment point may move, 1-64 pixels (default 14)."), QStringLiteral("S")},
        {QStringLiteral("ap-keep"), QStringLiteral("Percent of the frames stacked at each alignment point, 1-100 (default 25)."), QStringLiteral("P")},
        {QStringLiteral("ap-min-structure"), QStringLiteral("Least structure of an alignment box, 0-100 (default 1.0)."), QStringLiteral("V")},
        {QStringLiteral("ap-min-brightness"), QStringLiteral("Least mean brightness of an alignment box, 0-255 (default 20)."), QStringLiteral("V")},
        {{QStringLiteral("q"), QStringLiteral("quiet")}, QStringLiteral("Print no log lines.")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")},
        {QStringLiteral("version"), QStringLiteral("Show the version.")},
    };
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
    if (p.isSet(QStringLiteral("bayer"))) {
        const QString name = p.value(QStringLiteral("bayer"));
        const QStringList names = {QStringLiteral("RGGB"), QStringLiteral("GRBG"), QStringLiteral("GBRG"), QStringLiteral("BGGR"),
                                   QStringLiteral("none")};
        for (const QString& known : names)
            if (name.trimmed().compare(known, Qt::CaseInsensitive) == 0)
                s.bayer = known;
        if (s.bayer.isEmpty())
            throw UsageError(QStringLiteral("--bayer expects RGGB, GRBG, GBRG, BGGR or none, not \"%1\"").arg(name));
    }
    // A capture's frames are counted when it is opened; --reference is checked against them then.
    const bool captures = std::any_of(s.frames.cbegin(), s.frames.cend(),
                                      [](const QString& f) { return f.endsWith(QLatin1String(".ser"), Qt::CaseInsensitive); });
    s.reference = intOption(p, QStringLiteral("reference"), 0, captures ? INT_MAX : int(s.frames.size()) - 1, 0);
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
    if (p.isSet(QStringLiteral("depth"))) {
        const QString depth = p.value(QStringLiteral("depth"));
        if (depth == QLatin1String("8"))
            s.depth = 8;
        else if (depth == QLatin1String("16"))
            s.depth = 16;
        else
            throw UsageError(QStringLiteral("--depth expects 8 or 16, not \"%1\"").arg(depth));
    }
    s.quiet = p.isSet(QStringLiteral("quiet"));
    s.threads = intOption(p, QStringLiteral("threads"), 1, 1024, 0);
    s.referenceGiven = p.isSet(QStringLiteral("reference"));
    s.thresholdGiven = p.isSet(QStringLiteral("threshold")) || p.isSet(QStringLiteral("pick"));
    if (p.isSet(QStringLiteral("align"))) {
        s.align = p.value(QStringLiteral("align")).trimmed();
        if (s.align != QLatin1String("feature") && s.align != QLatin1String("planet") && s.align != QLatin1String("surface"))
            throw UsageError(QStringLiteral("--align expects feature, planet or surface, not \"%1\"").arg(p.value(QStringLiteral("align"))));
    }
    if (s.refine && s.align != QLatin1String("feature"))
        throw UsageError(QStringLiteral("--refine works with --align feature only"));
    if (p.isSet(QStringLiteral("surface-patch"))) {
        const QStringList parts = p.value(QStringLiteral("surface-patch")).split(QLatin1Char(','));
        bool ok = parts.size() == 4;
        for (int i = 0; ok && i < 4; ++i)
            ok = toInt(parts[i], &s.surfacePatch[std::size_t(i)]) && s.surfacePatch[std::size_t(i)] >= 0;
        if (!ok || s.surfacePatch[2] < 16 || s.surfacePatch[3] < 16)
            throw UsageError(QStringLiteral("--surface-patch expects X,Y,W,H with W and H of at least 16, not \"%1\"")
                                 .arg(p.value(QStringLiteral("surface-patch"))));
    }
    s.surfaceSearch = intOption(p, QStringLiteral("surface-search"), 1, 200, 34);
    if (p.isSet(QStringLiteral("ap-size"))) {
        s.apSize = intOption(p, QStringLiteral("ap-size"), 0, 256, 0);
        if (s.apSize != 0 && s.apSize < 16)
            throw UsageError(QStringLiteral("--ap-size expects 0 (off) or a whole number from 16 to 256, not \"%1\"")
                                 .arg(p.value(QStringLiteral("ap-size"))));
    }
    s.apSearch = intOption(p, QStringLiteral("ap-search"), 1, 64, 14);
    s.apKeep = intOption(p, QStringLiteral("ap-keep"), 1, 100, 25);
    s.apMinStructure = decimalOption(p, QStringLiteral("ap-min-structure"), {0.0, 100.0, 2}, 1.0);
    s.apMinBrightness = intOption(p, QStringLiteral("ap-min-brightness"), 0, 255, 20);
    if (p.isSet(QStringLiteral("cache-mb")))
        s.cacheMb = intOption(p, QStringLiteral("cache-mb"), 0, 1 << 30, 0);
    return s;
}

} // namespace

QString referenceError(int reference, int frameCount)
{
    return QStringLiteral("--reference expects a whole number from %1 to %2, not \"%3\"").arg(0).arg(frameCount - 1).arg(reference);
}

ParsedArguments parseArguments(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stacks a sequence of planetary frames into one image."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addPositionalArgument(QStringLiteral("FRAME"), QStringLiteral("Frames of the sequence, in order: image files, FITS files (.fit, .fits, .fts), or SER captures (.ser), each standing for all of its frames."), QStringLiteral("FRAME..."));
    parser.addOptions(optionTable());

    ParsedArguments result;
    if (!parser.parse(arguments)) {
        result.text = parser.errorText();
        return result;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        result.action = ParsedArguments::Action::Print;
        result.text = parser.helpText().trimmed();
        result.exitCode = kExitOk;
        return result;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        result.action = ParsedArguments::Action::Print;
        result.text = QStringLiteral("Nebulo v0.1.2");
        result.exitCode = kExitOk;
        return result;
    }
    try {
        result.settings = readSettings(parser);
    } catch (const UsageError& e) {
        result.text = e.message;
        return result;
    }
    result.action = ParsedArguments::Action::Run;
    result.exitCode = kExitOk;
    return result;
}

} // namespace cli
