// Frames deeper than 8 bits: a 16-bit sequence whose samples are 257 v runs exactly like the 8-bit one;
// the calibration, the master dark, the stacking and the quality rating read the full depth, while the
// alignment and the pattern matching see s >> 8; the result is written at 16 bits or as FITS floats.

#include "fixtures.h"

#include "colour.h"
#include "framecache.h"
#include "imagesave.h"
#include "loading.h"
#include "pixel.h"
#include "quality.h"
#include "stackengine.h"
#include "stacking.h"

#include <QtTest>

#include <fitsio.h>

namespace {

using fixtures::maskTimes;

// The 16-bit frame with samples factor x v + extra of an 8-bit image.
QImage deepOf(const QImage& image8, int factor = 257, int extra = 0)
{
    QImage out(image8.size(), QImage::Format_RGBX64);
    for (int y = 0; y < image8.height(); ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(image8.constScanLine(y));
        QRgba64* o = reinterpret_cast<QRgba64*>(out.scanLine(y));
        for (int x = 0; x < image8.width(); ++x) {
            auto s = [factor, extra](int v) { return quint16(factor * v + extra); };
            o[x] = QRgba64::fromRgba64(s(qRed(in[x])), s(qGreen(in[x])), s(qBlue(in[x])), 65535);
        }
    }
    return out;
}

// A 16-bit frame of one colour.
QImage deepSolid(int width, int height, quint16 r, quint16 g, quint16 b)
{
    QImage out(width, height, QImage::Format_RGBX64);
    out.fill(QColor::fromRgba64(r, g, b, 65535));
    return out;
}

QRgba64 deepAt(const QImage& image, int x, int y)
{
    return reinterpret_cast<const QRgba64*>(image.constScanLine(y))[x];
}

QVector<QImage> planetFrames(int count)
{
    QVector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        synth::Planet p;
        p.width = 128;
        p.height = 96;
        p.radius = 22;
        p.cx = 62 + (i * 7 % 5) - 2 + 0.3 * (i % 3);
        p.cy = 49 + (i * 3 % 5) - 2;
        p.blur = 0.3 + 0.1 * (i % 3);
        p.noise = 1.0;
        p.seed = quint32(40 + i);
        frames << synth::renderPlanet(p);
    }
    return frames;
}

QStringList writeFrames(const QString& dir, const QVector<QImage>& frames)
{
    QDir().mkpath(dir);
    QStringList paths;
    for (int i = 0; i < frames.size(); ++i) {
        const QString path = QStringLiteral("%1/frame_%2.png").arg(dir).arg(i, 2, 10, QLatin1Char('0'));
        if (!frames[i].save(path))
            return QStringList();
        paths << path;
    }
    return paths;
}

struct Variant {
    int stackFilter = 0;
    int cutoff = 0;
    bool luma = false;
    int scale = 1;
    bool darks = false;
    bool refine = true;
};

struct Outcome {
    QStringList log;
    QImage adjusted;
    QImage normalized;
};

// Quality selection, the pick at the planet's centre (as a click), alignment, refinement, stacking and
// the colour pipeline, as the window runs them.
Outcome runSequence(const QStringList& paths, const QStringList& darks, const Variant& v)
{
    Outcome out;
    StackEngine e;
    fixtures::Recorder rec;
    const batch::Progress progress = rec.progress();
    if (e.prepareSequence(paths.first()) != StackEngine::Status::Ok)
        return out;
    e.addFrames(paths);
    if (!darks.isEmpty()) {
        e.setDarkList(darks);
        e.buildMasterDark(progress.log);
    }
    batch::analyzeQuality(e, progress);
    const std::vector<bool> keep = batch::selectFrames(e, batch::SelectionMode::MinimumQuality, 10.0, 0, progress);
    for (int i = 0; i < int(keep.size()); ++i)
        if (!keep[std::size_t(i)])
            rec.unchecked.insert(i);

    e.supersample = v.scale > 1;
    e.scaleFactor = v.scale;
    e.loadFrame(paths[1]);
    const QColor picked = e.pixelColourAt(2, 62 * v.scale, 49 * v.scale);
    batch::ReferenceRequest request = fixtures::referenceRequest(1, int(StackEngine::luminanceOf(picked) * 255.0), 2, 16);
    request.scale = v.scale;
    rec.log << QStringLiteral("pick: ") + QString::number(request.threshold);
    const batch::PickResult pick = batch::pickReference(e, request, nullptr);
    rec.log << batch::pickMessage(pick, e, request);
    batch::alignAll(e, progress);
    if (v.refine)
        batch::refineAll(e, progress);
    e.stackFilter = v.stackFilter;
    e.minusR = e.minusG = e.minusB = v.cutoff;
    e.luma = v.luma;
    batch::stackAll(e, progress);
    e.gammaR = 0.8f;
    e.gainG = 1.3f;
    e.contrastB = 1.2f;
    e.offsetB = -0.05f;
    out.adjusted = e.colorAdjusted();
    out.normalized = e.normalizeStack();
    out.log = maskTimes(rec.log);
    return out;
}

QStringList withoutFolder(QStringList lines, const QString& folder)
{
    for (QString& line : lines)
        line.replace(folder, QStringLiteral("<folder>"));
    return lines;
}

using fixtures::CliRun;
using fixtures::runCli;

// The three planes of a FITS image of 32-bit floats as cfitsio reads them, rows in file order.
bool readFits(const QString& path, int* bitpix, long axes[3], std::vector<float>* data)
{
    int status = 0, naxis = 0;
    fitsfile* f = nullptr;
    if (fits_open_diskfile(&f, QFile::encodeName(path).constData(), READONLY, &status))
        return false;
    fits_get_img_param(f, 3, bitpix, &naxis, axes, &status);
    if (status == 0 && naxis == 3) {
        data->assign(std::size_t(axes[0] * axes[1] * axes[2]), -1.0f);
        int anyNull = 0;
        float nullValue = 0;
        fits_read_img(f, TFLOAT, 1, LONGLONG(data->size()), &nullValue, data->data(), &anyNull, &status);
    }
    const bool ok = status == 0 && naxis == 3;
    fits_close_file(f, &status);
    return ok;
}

} // namespace

class TestDepth : public QObject {
    Q_OBJECT

private slots:
    void identity_data();
    void identity();
    void alignmentSeesHighByte();
    void calibrationKeepsDepth_data();
    void calibrationKeepsDepth();
    void stackingReadsFullDepth();
    void qualityReadsFullDepth();
    void inspectorShowsFrameDepth();
    void output16Bits_data();
    void output16Bits();
    void outputFits();
    void output16Refused_data();
    void output16Refused();
    void cliIdentityAndDepth();
    void cliDepthRefused_data();
    void cliDepthRefused();
};

void TestDepth::identity_data()
{
    QTest::addColumn<int>("stackFilter");
    QTest::addColumn<int>("cutoff");
    QTest::addColumn<bool>("luma");
    QTest::addColumn<int>("scale");
    QTest::addColumn<bool>("darks");
    QTest::addColumn<bool>("mixed"); // odd frames stay 8-bit in the deep sequence
    QTest::newRow("plain") << 0 << 0 << false << 1 << false << false;
    QTest::newRow("box filter, cutoff") << 1 << 6 << false << 1 << false << false;
    QTest::newRow("luminance stack") << 0 << 0 << true << 1 << false << false;
    QTest::newRow("supersampled") << 0 << 0 << false << 2 << false << false;
    QTest::newRow("dark subtracted while stacking") << 0 << 0 << false << 1 << true << false;
    QTest::newRow("mixed depths") << 1 << 0 << false << 1 << true << true;
}

// Without preprocessing, 16-bit frames with samples 257 v give every log line and every output pixel
// of the 8-bit frames with samples v.
void TestDepth::identity()
{
    QFETCH(int, stackFilter);
    QFETCH(int, cutoff);
    QFETCH(bool, luma);
    QFETCH(int, scale);
    QFETCH(bool, darks);
    QFETCH(bool, mixed);
    QTemporaryDir dir;
    const QVector<QImage> frames = planetFrames(6);
    QVector<QImage> deep;
    for (int i = 0; i < frames.size(); ++i)
        deep << (mixed && i % 2 ? frames[i] : deepOf(frames[i]));
    QVector<QImage> darkFrames8, darkFrames16;
    if (darks) {
        for (int i = 0; i < 2; ++i) {
            darkFrames8 << fixtures::randomImage(128, 96, quint64(7 + i), 0, 12);
            darkFrames16 << (mixed && i == 0 ? darkFrames8.last() : deepOf(darkFrames8.last()));
        }
    }
    const QString a = dir.filePath(QStringLiteral("a")), b = dir.filePath(QStringLiteral("b"));
    const QStringList paths8 = writeFrames(a, frames), paths16 = writeFrames(b, deep);
    const QStringList darks8 = writeFrames(a + QStringLiteral("/darks"), darkFrames8);
    const QStringList darks16 = writeFrames(b + QStringLiteral("/darks"), darkFrames16);
    QVERIFY(!paths8.isEmpty() && !paths16.isEmpty());

    QImage probe;
    QVERIFY(StackEngine::readImage(paths16.first(), probe));
    QCOMPARE(probe.format(), QImage::Format_RGBX64); // the file's 16 bits are kept

    Variant v;
    v.stackFilter = stackFilter;
    v.cutoff = cutoff;
    v.luma = luma;
    v.scale = scale;
    const Outcome eight = runSequence(paths8, darks8, v);
    const Outcome sixteen = runSequence(paths16, darks16, v);
    QVERIFY(eight.log.size() > 20);
    QVERIFY(eight.log.filter(QStringLiteral("refine result of ")).size() >= 3);
    QVERIFY(!eight.adjusted.isNull());
    QCOMPARE(withoutFolder(sixteen.log, b), withoutFolder(eight.log, a));
    QCOMPARE(sixteen.adjusted, eight.adjusted);
    QCOMPARE(sixteen.normalized, eight.normalized);
}

// The alignment and the pattern matching use the high byte: samples 256 v + 255 (whose nearest 8-bit
// value is v + 1 for v < 127) align and refine exactly as the 8-bit frames.
void TestDepth::alignmentSeesHighByte()
{
    QTemporaryDir dir;
    const QVector<QImage> frames = planetFrames(5);
    QVector<QImage> deep;
    for (const QImage& f : frames)
        deep << deepOf(f, 256, 255);
    const QString a = dir.filePath(QStringLiteral("a")), b = dir.filePath(QStringLiteral("b"));
    Variant v;
    const Outcome eight = runSequence(writeFrames(a, frames), {}, v);
    const Outcome sixteen = runSequence(writeFrames(b, deep), {}, v);
    auto positions = [](const QStringList& log, const QString& folder) {
        QStringList kept;
        for (const QString& line : withoutFolder(log, folder))
            if (line.startsWith(QStringLiteral("pick: ")) || line.startsWith(QStringLiteral("Aligned "))
                || line.startsWith(QStringLiteral("refine result of ")) || line.startsWith(QStringLiteral("Feature not found")))
                kept << line;
        return kept;
    };
    QVERIFY(positions(eight.log, a).size() >= 9);
    QCOMPARE(positions(sixteen.log, b), positions(eight.log, a));
    // The ratings do see the low bytes.
    QVERIFY(sixteen.log.filter(QStringLiteral("raw quality")) != eight.log.filter(QStringLiteral("raw quality")));
}

void TestDepth::calibrationKeepsDepth_data()
{
    QTest::addColumn<int>("sample");
    QTest::addColumn<int>("dark");
    QTest::addColumn<float>("lightGain");
    QTest::addColumn<int>("expected");
    // The floor is 2/255 (about 514.0 in 16-bit steps) after the dark is subtracted.
    QTest::newRow("below the floor") << 500 << 0 << 1.0f << 0;
    QTest::newRow("just above the floor") << 520 << 0 << 1.0f << 520;
    QTest::newRow("odd sample kept") << 12345 << 0 << 1.0f << 12345;
    QTest::newRow("gain doubles") << 20001 << 0 << 2.0f << 40002;
    QTest::newRow("gain clamps") << 40000 << 0 << 2.0f << 65535;
    QTest::newRow("dark subtracted") << 11000 << 1000 << 1.0f << 10000;
    QTest::newRow("dark to the floor") << 1500 << 1000 << 1.0f << 0;
}

// A 16-bit frame is calibrated at 16 bits, against a master dark built from 16-bit darks.
void TestDepth::calibrationKeepsDepth()
{
    QFETCH(int, sample);
    QFETCH(int, dark);
    QFETCH(float, lightGain);
    QFETCH(int, expected);
    QTemporaryDir dir;
    StackEngine e;
    const QString darkPath = fixtures::write(dir, QStringLiteral("dark.png"), deepSolid(8, 6, quint16(dark), 0, 0));
    e.setDarkList({darkPath, darkPath});
    QVERIFY(e.buildMasterDark());
    QVERIFY(e.masterDark);
    e.previewDarkframe = true;
    e.lightframeGain = lightGain;
    const QImage out = e.preprocessed(deepSolid(8, 6, quint16(sample), 65535, quint16(sample)));
    QCOMPARE(out.format(), QImage::Format_RGBX64);
    const QRgba64 p = deepAt(out, 3, 2);
    QCOMPARE(int(p.red()), expected);                  // dark in red
    QCOMPARE(int(p.green()), 65535); // clamped to 1 after the gain
    QCOMPARE(int(p.blue()), sample <= 514 ? 0 : std::min(65535, int(sample * lightGain))); // no dark in blue

    // An 8-bit frame calibrated with the same master dark stays 8-bit.
    QCOMPARE(e.preprocessed(fixtures::solid(8, 6, qRgb(200, 200, 200))).format(), QImage::Format_RGB32);
}

// The accumulator receives the 16-bit fractions, not those of an 8-bit reduction.
void TestDepth::stackingReadsFullDepth()
{
    for (int filter : {0, 1}) {
        FloatImage acc;
        acc.width = 4;
        acc.height = 3;
        acc.data.reset(new float[acc.floatCount()]());
        kernels::StackParams p;
        p.filter = filter;
        kernels::stackFrame(deepSolid(4, 3, 1, 1000, 65534), acc, p);
        const float* px = acc.pixel(1, 1);
        QCOMPARE(px[0], float(1 / 65535.0));
        QCOMPARE(px[1], float(1000 / 65535.0));
        QCOMPARE(px[2], float(65534 / 65535.0));
        QCOMPARE(px[3], 1.0f);
    }
}

// The rating reads the 16-bit fractions.
void TestDepth::qualityReadsFullDepth()
{
    // Columns alternate between 16-bit greys 1000 apart: every step is 255 x 1000 / 65535 = 3.89 levels,
    // above the threshold of 3, and the truncating sum adds 3 for each. The high bytes (100 and 104)
    // give steps of 4 levels instead.
    QImage deep(12, 8, QImage::Format_RGBX64);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 12; ++x) {
            const quint16 s = quint16(x % 2 ? 26700 : 25700);
            reinterpret_cast<QRgba64*>(deep.scanLine(y))[x] = QRgba64::fromRgba64(s, s, s, 65535);
        }
    QCOMPARE(kernels::gradientQualityH(deep), 3.0f);
    QCOMPARE(kernels::gradientQualityH(px::view8(deep)), fixtures::definitionH(px::view8(deep)));
    QVERIFY(kernels::gradientQualityH(px::view8(deep)) != 3.0f);
}

void TestDepth::inspectorShowsFrameDepth()
{
    StackEngine e;
    QImage deep = deepSolid(9, 9, 1000, 60000, 511);
    reinterpret_cast<QRgba64*>(deep.scanLine(4))[4] = QRgba64::fromRgba64(1900, 60000, 512, 65535);
    e.frameImage = deep;
    const StackEngine::PixelSamples s = e.pixelSamplesAt(1, 4, 4);
    QCOMPARE(s.bits, 16);
    QCOMPARE(s.red, (8 * 1000 + 1900) / 9);
    QCOMPARE(s.green, 60000);
    QCOMPARE(s.blue, (8 * 511 + 512) / 9);
    // The pick sees the high bytes: 511 >> 8 = 1, 512 >> 8 = 2.
    const QColor c = e.pixelColourAt(1, 4, 4);
    QCOMPARE(c.red(), (8 * 3 + 7) / 9);
    QCOMPARE(c.green(), 234);
    QCOMPARE(c.blue(), (8 * 1 + 2) / 9);
    // Near the edge both are white at their depth.
    QCOMPARE(e.pixelSamplesAt(1, 1, 4).red, 65535);
    QCOMPARE(e.pixelColourAt(1, 1, 4), QColor(255, 255, 255));
    e.frameImage = fixtures::solid(9, 9, qRgb(10, 20, 30));
    QCOMPARE(e.pixelSamplesAt(1, 4, 4).bits, 8);
    QCOMPARE(e.pixelSamplesAt(1, 4, 4).blue, 30);
}

namespace {

// An accumulator of a small stack with values that need all 16 bits, and a few empty pixels.
std::unique_ptr<FloatImage> smallStack()
{
    auto acc = createFloatImage(7, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            float* p = acc->pixel(x, y);
            if (x == 6 && y == 0)
                continue; // W = 0
            p[0] = 3.0f * (x + 1) / 23.0f;
            p[1] = 3.0f * (y + 1) / 17.0f;
            p[2] = 0.123457f * 3.0f * float(x * y % 5) / 4.0f;
            p[3] = 3.0f;
        }
    return acc;
}

void setColours(StackEngine& e)
{
    e.gammaR = 0.7f;
    e.gainG = 1.4f; // some green values clamp to 1
    e.offsetB = 0.01f;
}

} // namespace

void TestDepth::output16Bits_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("png") << QStringLiteral("out.png");
    QTest::newRow("tiff") << QStringLiteral("out.tif");
    QTest::newRow("ppm") << QStringLiteral("out.ppm");
    QTest::newRow("pgm") << QStringLiteral("out.pgm");
}

// 16-bit output reads back as the pipeline's int(f * 65535 + 0.5), whose high bytes are the 8-bit image.
void TestDepth::output16Bits()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    StackEngine e;
    e.accumulator = smallStack();
    setColours(e);
    const QImage expected = e.colorAdjusted16();
    QCOMPARE(expected.format(), QImage::Format_RGBX64);
    QCOMPARE(px::view8(expected), e.colorAdjusted());
    bool finer = false; // some sample is not a multiple of 257
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x)
            finer = finer || deepAt(expected, x, y).red() % 257 != 0;
    QVERIFY(finer);

    const QString path = dir.filePath(name);
    QString error;
    QVERIFY2(e.saveResult(path, 16, &error), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    if (name.endsWith(QLatin1String(".ppm")) || name.endsWith(QLatin1String(".pgm"))) {
        // Header, then samples of two bytes, most significant first.
        const bool grey = name.endsWith(QLatin1String(".pgm"));
        const QByteArray header = QByteArray(grey ? "P5\n" : "P6\n") + "7 5\n65535\n";
        QVERIFY(bytes.startsWith(header));
        const QImage reference = grey ? expected.convertToFormat(QImage::Format_Grayscale16) : expected;
        const int channels = grey ? 1 : 3;
        QCOMPARE(bytes.size(), header.size() + 7 * 5 * channels * 2);
        const uchar* d = reinterpret_cast<const uchar*>(bytes.constData()) + header.size();
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x)
                for (int c = 0; c < channels; ++c, d += 2) {
                    const int sample = d[0] << 8 | d[1];
                    const int want = grey ? reinterpret_cast<const quint16*>(reference.constScanLine(y))[x]
                                          : (c == 0 ? deepAt(reference, x, y).red()
                                                    : c == 1 ? deepAt(reference, x, y).green() : deepAt(reference, x, y).blue());
                    QCOMPARE(sample, want);
                }
        return;
    }
    QImage back;
    QVERIFY(back.load(path));
    QCOMPARE(back.convertToFormat(QImage::Format_RGBX64), expected);
    QVERIFY(back.depth() == 64);
}

// FITS output: 32-bit floats, three planes, the pipeline's values before rounding, bottom row first.
void TestDepth::outputFits()
{
    QTemporaryDir dir;
    StackEngine e;
    e.accumulator = smallStack();
    setColours(e);
    const std::vector<float> values = kernels::colourValues(*e.accumulator, e.colourParams());
    QCOMPARE(values.size(), std::size_t(7 * 5 * 3));
    // The values round to the 16-bit image; the empty pixel is 0.
    const QImage image16 = e.colorAdjusted16();
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            QCOMPARE(px::to16(values[std::size_t(y * 7 + x)]), int(deepAt(image16, x, y).red()));
    QCOMPARE(values[6], 0.0f);

    for (const QString& name : {QStringLiteral("out.fits"), QStringLiteral("out.fit")}) {
        const QString path = dir.filePath(name);
        QString error;
        QVERIFY2(e.saveResult(path, 8, &error), qPrintable(error)); // the depth does not apply to FITS
        int bitpix = 0;
        long axes[3] = {0, 0, 0};
        std::vector<float> data;
        QVERIFY(readFits(path, &bitpix, axes, &data));
        QCOMPARE(bitpix, -32);
        QCOMPARE(axes[0], 7L);
        QCOMPARE(axes[1], 5L);
        QCOMPARE(axes[2], 3L);
        for (int c = 0; c < 3; ++c)
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 7; ++x)
                    QCOMPARE(data[std::size_t(c * 35 + (4 - y) * 7 + x)], values[std::size_t(c * 35 + y * 7 + x)]);
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary file left
}

void TestDepth::output16Refused_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("bmp") << QStringLiteral("out.bmp");
    QTest::newRow("jpeg") << QStringLiteral("out.jpg");
    QTest::newRow("xpm") << QStringLiteral("out.xpm");
}

void TestDepth::output16Refused()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    StackEngine e;
    e.accumulator = smallStack();
    const QString path = dir.filePath(name);
    QString error;
    QVERIFY(!e.saveResult(path, 16, &error));
    QVERIFY2(error.contains(QStringLiteral("cannot hold 16 bits per channel")), qPrintable(error));
    QVERIFY(!QFile::exists(path));
    QVERIFY(!imagesave::save(e.colorAdjusted16(), path, &error));
    QVERIFY(!QFile::exists(path));
    QVERIFY(e.saveResult(path, 8, &error)); // 8 bits are fine
}

// The batch command on a 16-bit PNG sequence: the log of the 8-bit sequence, and by default a 16-bit
// result whose high bytes are the 8-bit result.
void TestDepth::cliIdentityAndDepth()
{
    QTemporaryDir dir;
    const QVector<QImage> frames = planetFrames(5);
    QVector<QImage> deep;
    for (const QImage& f : frames)
        deep << deepOf(f);
    const QString a = dir.filePath(QStringLiteral("a")), b = dir.filePath(QStringLiteral("b"));
    const QStringList paths8 = writeFrames(a, frames), paths16 = writeFrames(b, deep);
    const QStringList options = {QStringLiteral("--quality"), QStringLiteral("30"), QStringLiteral("--refine"),
                                 QStringLiteral("--radius"), QStringLiteral("12"), QStringLiteral("--pick"),
                                 QStringLiteral("62,49"), QStringLiteral("--gamma"), QStringLiteral("0.8,1,1.2")};
    const CliRun r8 = runCli(options + QStringList{QStringLiteral("-o"), a + QStringLiteral("/out.png")} + paths8);
    const CliRun r16 = runCli(options + QStringList{QStringLiteral("-o"), b + QStringLiteral("/out.png")} + paths16);
    const CliRun r16as8 = runCli(options + QStringList{QStringLiteral("--depth"), QStringLiteral("8"), QStringLiteral("-o"),
                                                       b + QStringLiteral("/out8.png")} + paths16);
    QCOMPARE(r8.status, 0);
    QCOMPARE(r16.status, 0);
    QCOMPARE(r16as8.status, 0);
    QVERIFY(r8.out.filter(QStringLiteral("refine result of ")).size() >= 3);
    QCOMPARE(withoutFolder(maskTimes(r16.out), b), withoutFolder(maskTimes(r8.out), a));

    QImage out8, out16, out16as8;
    QVERIFY(out8.load(a + QStringLiteral("/out.png")));
    QVERIFY(out16.load(b + QStringLiteral("/out.png")));
    QVERIFY(out16as8.load(b + QStringLiteral("/out8.png")));
    QCOMPARE(out16.depth(), 64);
    QCOMPARE(px::view8(out16.convertToFormat(QImage::Format_RGBX64)), out8.convertToFormat(QImage::Format_RGB32));
    QCOMPARE(out16as8.depth(), 32);
    QCOMPARE(out16as8.convertToFormat(QImage::Format_RGB32), out8.convertToFormat(QImage::Format_RGB32));

    // A 16-bit sequence written as BMP without --depth falls back to 8 bits.
    const CliRun bmp = runCli(options + QStringList{QStringLiteral("-o"), b + QStringLiteral("/out.bmp")} + paths16);
    QCOMPARE(bmp.status, 0);
    QImage outBmp;
    QVERIFY(outBmp.load(b + QStringLiteral("/out.bmp")));
    QCOMPARE(outBmp.convertToFormat(QImage::Format_RGB32), out8.convertToFormat(QImage::Format_RGB32));
}

void TestDepth::cliDepthRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("depth");
    QTest::addColumn<QString>("message");
    QTest::newRow("bmp") << QStringLiteral("out.bmp") << QStringLiteral("16") << QStringLiteral("needs an output format that holds 16 bits");
    QTest::newRow("jpeg") << QStringLiteral("out.jpg") << QStringLiteral("16") << QStringLiteral("needs an output format that holds 16 bits");
    QTest::newRow("unknown depth") << QStringLiteral("out.png") << QStringLiteral("12") << QStringLiteral("--depth expects 8 or 16, not \"12\"");
    QTest::newRow("no number") << QStringLiteral("out.png") << QStringLiteral("deep") << QStringLiteral("--depth expects 8 or 16");
}

void TestDepth::cliDepthRefused()
{
    QFETCH(QString, name);
    QFETCH(QString, depth);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QStringList paths = writeFrames(dir.filePath(QStringLiteral("f")), planetFrames(2));
    const QString out = dir.filePath(name);
    const CliRun r = runCli(QStringList{QStringLiteral("--depth"), depth, QStringLiteral("-o"), out} + paths);
    QCOMPARE(r.status, 2);
    QVERIFY(r.out.isEmpty());
    QCOMPARE(r.err.size(), 1);
    QVERIFY2(r.err.first().contains(message), qPrintable(r.err.first()));
    QVERIFY(!QFile::exists(out));
}

QTEST_GUILESS_MAIN(TestDepth)
#include "tst_depth.moc"
