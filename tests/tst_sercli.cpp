// The batch command on SER captures: the same log lines (names aside) and the same image as on the
// equivalent image sequence, a 16-bit capture of samples 257 v as the 8-bit frames of samples v,
// captures as dark frames, --reference counted in the expanded list, and one clear line with no output
// for captures it cannot read and for bad --bayer values.

#include "fixtures.h"
#include "serwriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Run = fixtures::CliRun;
using fixtures::runCli;

QVector<QImage> planetFrames(int count, int seed)
{
    QVector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        synth::Planet p;
        p.width = 120;
        p.height = 90;
        p.radius = 20;
        p.cx = 60 + (i * 7 % 5) - 2;
        p.cy = 45 + (i * 3 % 5) - 2;
        p.blur = 0.3 + 0.25 * (i % 4);
        p.noise = 1.5;
        p.seed = quint32(seed + i);
        frames << synth::renderPlanet(p);
    }
    return frames;
}

bool writeRgbCapture(const QString& path, const QVector<QImage>& frames, qint64 cutBytes = 0)
{
    serwriter::Capture c;
    c.colorId = 100;
    c.width = frames.first().width();
    c.height = frames.first().height();
    for (const QImage& f : frames)
        c.frames << serwriter::rgbFrame(f);
    c.cutBytes = cutBytes;
    return serwriter::write(path, c);
}

// A 16-bit capture (RGB, or mono of the frames' green) whose samples are 257 times the frames' 8-bit values.
bool writeDeepCapture(const QString& path, const QVector<QImage>& frames, bool mono, bool bigEndian)
{
    serwriter::Capture c;
    c.colorId = mono ? 0 : 100;
    c.depth = 16;
    c.littleEndian = bigEndian ? 1 : 0; // 0: little-endian samples, as the capture programs write them
    c.width = frames.first().width();
    c.height = frames.first().height();
    for (const QImage& f : frames) {
        QVector<int> values;
        for (int y = 0; y < f.height(); ++y)
            for (int x = 0; x < f.width(); ++x) {
                const QRgb p = f.pixel(x, y);
                if (mono)
                    values << 257 * qGreen(p);
                else
                    values << 257 * qRed(p) << 257 * qGreen(p) << 257 * qBlue(p);
            }
        c.frames << serwriter::samples(values, 2, bigEndian);
    }
    return serwriter::write(path, c);
}

// The frames' green as grey.
QVector<QImage> greyOf(const QVector<QImage>& frames)
{
    QVector<QImage> grey;
    for (const QImage& f : frames) {
        QImage g(f.size(), QImage::Format_RGB32);
        for (int y = 0; y < f.height(); ++y)
            for (int x = 0; x < f.width(); ++x)
                g.setPixel(x, y, qRgb(qGreen(f.pixel(x, y)), qGreen(f.pixel(x, y)), qGreen(f.pixel(x, y))));
        grey << g;
    }
    return grey;
}

// The lines with every frame name replaced by its index.
QStringList withIndices(QStringList lines, const QStringList& names)
{
    lines = fixtures::maskTimes(lines);
    for (QString& line : lines)
        for (int i = names.size() - 1; i >= 0; --i) // "x.ser#12" before "x.ser#1"
            line.replace(names[i], QStringLiteral("<frame %1>").arg(i));
    return lines;
}

// The same options on the image sequence with its dark files and on the capture with its dark capture,
// each run writing its own result.
struct BothRuns {
    Run png, ser;
};
BothRuns runBoth(const QStringList& options, const QStringList& pngs, const QStringList& darkPngs, const QString& fromPngs,
                 const QString& capture, const QString& darkCapture, const QString& fromSer)
{
    QStringList pngArgs = options + QStringList{QStringLiteral("-o"), fromPngs};
    for (const QString& d : darkPngs)
        pngArgs << QStringLiteral("--dark") << d;
    BothRuns r;
    r.png = runCli(pngArgs + pngs);
    r.ser = runCli(options + QStringList{QStringLiteral("-o"), fromSer, QStringLiteral("--dark"), darkCapture, capture});
    return r;
}

} // namespace

class TestSerCli : public QObject {
    Q_OBJECT

private slots:
    void captureRunsLikeItsImageSequence();
    void deepCaptureRunsLikeEightBits_data();
    void deepCaptureRunsLikeEightBits();
    void interruptedCaptureSaysSo();
    void refusedInput_data();
    void refusedInput();

private:
    QTemporaryDir dir;
};

void TestSerCli::captureRunsLikeItsImageSequence()
{
    const QVector<QImage> frames = planetFrames(8, 10);
    const QVector<QImage> darks = {fixtures::randomImage(120, 90, 5, 0, 6), fixtures::randomImage(120, 90, 6, 0, 6)};
    const QStringList pngs = fixtures::writeSequence(dir, QStringLiteral("seq"), frames);
    const QStringList darkPngs = fixtures::writeSequence(dir, QStringLiteral("dark"), darks);
    const QString capture = dir.filePath(QStringLiteral("capture.ser"));
    const QString darkCapture = dir.filePath(QStringLiteral("darks.ser"));
    QVERIFY(writeRgbCapture(capture, frames));
    QVERIFY(writeRgbCapture(darkCapture, darks));
    QStringList serNames;
    for (int i = 1; i <= frames.size(); ++i)
        serNames << capture + "#" + QString::number(i);
    QStringList darkNames = {darkCapture + "#1", darkCapture + "#2"};

    const QStringList common = {QStringLiteral("--quality"), QStringLiteral("0"), QStringLiteral("--refine"),
                                QStringLiteral("--reference"), QStringLiteral("5"), QStringLiteral("--preprocess")};
    const QString fromPngs = dir.filePath(QStringLiteral("png-stack.png"));
    const QString fromSer = dir.filePath(QStringLiteral("ser-stack.png"));
    const BothRuns runs = runBoth(common, pngs, darkPngs, fromPngs, capture, darkCapture, fromSer);
    const Run& png = runs.png;
    const Run& ser = runs.ser;
    QCOMPARE(png.status, 0);
    QCOMPARE(ser.status, 0);
    QVERIFY(png.out.size() > frames.size() * 3);
    QCOMPARE(withIndices(ser.out, darkNames + serNames), withIndices(png.out, darkPngs + pngs));
    QVERIFY(ser.out.join('\n').contains(capture + "#6"));
    const QImage a(fromPngs), b(fromSer);
    QVERIFY(!a.isNull());
    QCOMPARE(b, a);
}

void TestSerCli::deepCaptureRunsLikeEightBits_data()
{
    QTest::addColumn<bool>("mono");
    QTest::addColumn<bool>("bigEndian");
    QTest::newRow("RGB, little-endian") << false << false;
    QTest::newRow("RGB, big-endian") << false << true;
    QTest::newRow("mono, little-endian") << true << false;
    QTest::newRow("mono, big-endian") << true << true;
}

// Without preprocessing, a 16-bit capture of samples 257 v gives every log line (names aside) and
// every pixel of the 8-bit result of the image sequence of samples v, dark frames included.
void TestSerCli::deepCaptureRunsLikeEightBits()
{
    QFETCH(bool, mono);
    QFETCH(bool, bigEndian);
    const QString tag = QStringLiteral("deep-%1-%2").arg(mono ? "mono" : "rgb", bigEndian ? "be" : "le");
    QVector<QImage> frames = planetFrames(8, 20);
    QVector<QImage> darks = {fixtures::randomImage(120, 90, 15, 0, 9), fixtures::randomImage(120, 90, 16, 0, 9)};
    if (mono) {
        frames = greyOf(frames);
        darks = greyOf(darks);
    }
    const QStringList pngs = fixtures::writeSequence(dir, tag + QStringLiteral("-seq"), frames);
    const QStringList darkPngs = fixtures::writeSequence(dir, tag + QStringLiteral("-dark"), darks);
    const QString capture = dir.filePath(tag + QStringLiteral(".ser"));
    const QString darkCapture = dir.filePath(tag + QStringLiteral("-darks.ser"));
    QVERIFY(writeDeepCapture(capture, frames, mono, bigEndian));
    QVERIFY(writeDeepCapture(darkCapture, darks, mono, bigEndian));
    QStringList serNames;
    for (int i = 1; i <= frames.size(); ++i)
        serNames << capture + "#" + QString::number(i);
    const QStringList darkNames = {darkCapture + "#1", darkCapture + "#2"};

    // The threshold is picked from the reference frame's pixels; the gammas take the colours off the identity.
    const QStringList common = {QStringLiteral("--quality"), QStringLiteral("0"), QStringLiteral("--refine"),
                                QStringLiteral("--reference"), QStringLiteral("3"), QStringLiteral("--pick"),
                                QStringLiteral("60,45"), QStringLiteral("--gamma"), QStringLiteral("0.8,1,1.2"),
                                QStringLiteral("--depth"), QStringLiteral("8")};
    const QString fromPngs = dir.filePath(tag + QStringLiteral("-png.png"));
    const QString fromSer = dir.filePath(tag + QStringLiteral("-ser.png"));
    const BothRuns runs = runBoth(common, pngs, darkPngs, fromPngs, capture, darkCapture, fromSer);
    const Run& png = runs.png;
    const Run& ser = runs.ser;
    QCOMPARE(png.status, 0);
    QCOMPARE(ser.status, 0);
    QVERIFY(png.out.filter(QStringLiteral("refine result of ")).size() >= 4);
    QCOMPARE(withIndices(ser.out, darkNames + serNames), withIndices(png.out, darkPngs + pngs));
    const QImage a(fromPngs), b(fromSer);
    QVERIFY(!a.isNull());
    QCOMPARE(b.depth(), 32);
    QCOMPARE(b.convertToFormat(QImage::Format_RGB32), a.convertToFormat(QImage::Format_RGB32));
}

void TestSerCli::interruptedCaptureSaysSo()
{
    const QVector<QImage> frames = planetFrames(4, 40);
    const QString capture = dir.filePath(QStringLiteral("interrupted.ser"));
    QVERIFY(writeRgbCapture(capture, frames, 1000)); // the last frame is cut short
    const QString output = dir.filePath(QStringLiteral("interrupted.png"));
    const Run r = runCli({QStringLiteral("-o"), output, capture});
    QCOMPARE(r.status, 0);
    QVERIFY(!r.out.isEmpty());
    QVERIFY2(r.out.first().startsWith(capture) && r.out.first().contains("3 whole frames"), qPrintable(r.out.first()));
    QVERIFY(r.out.contains(QStringLiteral("3 images processed, 3 stacked")));
    QVERIFY(QFile::exists(output));
}

void TestSerCli::refusedInput_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("bad FileID") << "fileid" << 1 << "FileID";
    QTest::newRow("bad FileID as dark") << "dark" << 1 << "FileID";
    QTest::newRow("reference beyond the frames") << "reference" << 2 << "--reference expects a whole number from 0 to 3";
    QTest::newRow("unknown --bayer") << "bayer" << 2 << "--bayer expects RGGB, GRBG, GBRG, BGGR or none, not \"RGBG\"";
    QTest::newRow("--bayer auto is not a pattern") << "auto" << 2 << "--bayer expects";
}

void TestSerCli::refusedInput()
{
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QString, message);
    const QVector<QImage> frames = planetFrames(4, 70);
    const QString good = dir.filePath(QStringLiteral("good.ser"));
    QVERIFY(writeRgbCapture(good, frames));
    serwriter::Capture lie;
    lie.fileId = "LUCAM-RECORDEX";
    lie.width = lie.height = 4;
    lie.frames = {QByteArray(16, '\1')};
    const QString bad = dir.filePath(QStringLiteral("bad.ser"));
    QVERIFY(serwriter::write(bad, lie));

    const QString output = dir.filePath(QStringLiteral("refused-%1.png").arg(kind));
    QStringList args = {QStringLiteral("-o"), output};
    if (kind == "fileid")
        args << bad;
    else if (kind == "dark")
        args << QStringLiteral("--dark") << bad << good;
    else if (kind == "reference")
        args << QStringLiteral("--reference") << QStringLiteral("4") << good;
    else
        args << QStringLiteral("--bayer") << (kind == "auto" ? QStringLiteral("auto") : QStringLiteral("RGBG")) << good;
    const Run r = runCli(args);
    QCOMPARE(r.status, status);
    QCOMPARE(r.err.size(), 1);
    QVERIFY2(r.err.first().contains(message), qPrintable(r.err.first()));
    if (kind == "fileid" || kind == "dark")
        QVERIFY(r.err.first().contains(bad));
    QVERIFY(r.out.isEmpty());
    QVERIFY(!QFile::exists(output));
}

QTEST_GUILESS_MAIN(TestSerCli)
#include "tst_sercli.moc"
