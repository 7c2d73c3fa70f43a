// Multi-point stacking: where alignment points go, that local shifts undo simulated seeing better
// than one shift per frame, that the result does not depend on the thread count, and the batch command's
// options for it.
#include "batch.h"
#include "fixtures.h"
#include "globalalign.h"
#include "multipoint.h"
#include "parallel.h"
#include "score.h"
#include "seeing.h"
#include "stackengine.h"
#include "synthetic.h"

#include <QProcess>
#include <QtTest/QtTest>

#include <cmath>

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Frame k of n: the texture drifted by a global shift and bent by a smooth field of 1.5 px amplitude
// whose phase turns with k, so that the fields average out over the frames.
QImage warpedFrame(int k, int n, int width, int height, double noise)
{
    const double gx = 3.0 * std::sin(k * 1.3) + 0.37 * k, gy = 2.0 * std::cos(k * 0.7) - 0.21 * k;
    const double phase = kTwoPi * k / n;
    return fixtures::texture(width, height, [=](int x, int y, double* u, double* v) {
        const double a = kTwoPi * x / 200.0 + phase, b = kTwoPi * y / 150.0 - phase;
        *u = x - gx - 1.5 * std::sin(a) * std::cos(b);
        *v = y - gy - 1.5 * std::cos(a + 0.5) * std::sin(b + 1.0);
    }, noise, quint64(100 + k));
}

QStringList writeWarpedSequence(const QTemporaryDir& dir, int n, int width, int height, double noise)
{
    QVector<QImage> frames;
    for (int k = 0; k < n; ++k)
        frames << warpedFrame(k, n, width, height, noise);
    return fixtures::writeSequence(dir, QStringLiteral("w"), frames);
}

// Surface alignment and a stack of the sequence; the accumulator's floats.
std::vector<float> stackOf(const QStringList& paths, bool multiPoint, AlignMode mode, StackEngine& e)
{
    e.addFrames(paths);
    e.alignMode = mode;
    e.multiPoint.enabled = multiPoint;
    e.multiPoint.boxSize = 32;
    e.multiPoint.keepPercent = 50;
    fixtures::Recorder rec;
    if (!batch::alignAll(e, rec.progress()) || !batch::stackAll(e, rec.progress()))
        return {};
    return std::vector<float>(e.accumulator->data.get(), e.accumulator->data.get() + e.accumulator->floatCount());
}

struct Run {
    int status = -1;
    QString out;
};

Run cli(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral(NEBULO_CLI_PATH), arguments);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput())};
}

} // namespace

class TestMultiPoint : public QObject {
    Q_OBJECT

private slots:
    void pointsLeaveSkyAndFlatBoxesOut();
    void localShiftsBeatOneShiftPerFrame_data();
    void localShiftsBeatOneShiftPerFrame();
    void sameResultOnAnyThreadCount();
    void commandOptions_data();
    void commandOptions();
};

void TestMultiPoint::pointsLeaveSkyAndFlatBoxesOut()
{
    synth::Planet p;
    p.cx = 150.5;
    p.cy = 118.0;
    p.radius = 60;
    p.blur = 1.0;
    p.details = false; // no moon: every bright box is on the disk
    const kernels::FloatPlane plane = kernels::luminancePlane(synth::renderPlanet(p));
    MultiPointSettings s;
    s.boxSize = 32;
    s.minStructure = 0.0;
    const std::vector<AlignmentPoint> points = kernels::placeAlignmentPoints(plane, s);
    QVERIFY(points.size() >= 10);
    for (const AlignmentPoint& ap : points) {
        // The box's nearest point to the disk's centre lies inside the disk.
        const double nx = std::clamp(p.cx, ap.x - 16.0, ap.x + 16.0), ny = std::clamp(p.cy, ap.y - 16.0, ap.y + 16.0);
        QVERIFY2(std::hypot(nx - p.cx, ny - p.cy) < p.radius, qPrintable(QStringLiteral("%1,%2").arg(ap.x).arg(ap.y)));
        QCOMPARE(ap.size, 32);
    }
    // Points lie half a box apart.
    for (const AlignmentPoint& a : points)
        for (const AlignmentPoint& b : points)
            QVERIFY((a.x - b.x) % 16 == 0 && (a.y - b.y) % 16 == 0);
    // A bright but flat frame has no structure to align on.
    const kernels::FloatPlane flat = kernels::luminancePlane(fixtures::solid(200, 150, qRgb(180, 180, 180)));
    QVERIFY(kernels::placeAlignmentPoints(flat, MultiPointSettings()).empty());
}

void TestMultiPoint::localShiftsBeatOneShiftPerFrame_data()
{
    QTest::addColumn<int>("scene");
    QTest::newRow("planet") << int(seeing::Scene::Planet);
    QTest::newRow("surface") << int(seeing::Scene::Moon);
}

void TestMultiPoint::localShiftsBeatOneShiftPerFrame()
{
    // Simulated seeing: drift, a displacement field of 1-3 px RMS that changes every frame, blur
    // that varies across the field, noise. One shift per frame cannot undo the bending.
    QFETCH(int, scene);
    seeing::Parameters params;
    params.scene = seeing::Scene(scene);
    params.width = 320;
    params.height = 240;
    params.frames = 24;
    params.drift = 8.0;
    params.seed = 5;
    const seeing::Sequence sequence(params);
    QTemporaryDir dir;
    const QStringList paths = sequence.write(dir.path());
    QVERIFY(!paths.isEmpty());
    const QImage truth(QDir(dir.path()).filePath(QStringLiteral("truth.png")));
    const score::Target target = params.scene == seeing::Scene::Planet ? score::Target::Disk : score::Target::Inner;
    const AlignMode mode = params.scene == seeing::Scene::Planet ? AlignMode::Planet : AlignMode::Surface;
    StackEngine global, local;
    QVERIFY(!stackOf(paths, false, mode, global).empty());
    QVERIFY(!stackOf(paths, true, mode, local).empty());
    QVERIFY(!local.alignmentPoints.empty());
    const score::Result g = score::compare(global.normalizeStack(), truth, target);
    const score::Result m = score::compare(local.normalizeStack(), truth, target);
    QVERIFY(g.ok && m.ok);
    QVERIFY2(m.psnr > g.psnr + 1.0, qPrintable(QStringLiteral("global %1 dB, multi-point %2 dB").arg(g.psnr).arg(m.psnr)));
}

void TestMultiPoint::sameResultOnAnyThreadCount()
{
    QTemporaryDir dir;
    const QStringList paths = writeWarpedSequence(dir, 8, 200, 150, 3.0);
    parallel::setThreadCount(1);
    StackEngine one;
    const std::vector<float> serial = stackOf(paths, true, AlignMode::Surface, one);
    parallel::setThreadCount(0);
    StackEngine all;
    const std::vector<float> threaded = stackOf(paths, true, AlignMode::Surface, all);
    QVERIFY(!serial.empty());
    QVERIFY(serial == threaded);
}

void TestMultiPoint::commandOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::newRow("planet, multi-point") << QStringList{"--align", "planet", "--ap-size", "32", "--ap-keep", "50"} << 0
                                         << QStringLiteral("alignment points placed");
    QTest::newRow("surface") << QStringList{"--align", "surface", "--surface-search", "20"} << 0
                             << QStringLiteral("surface patch: ");
    QTest::newRow("unknown mode") << QStringList{"--align", "disk"} << 2 << QString();
    QTest::newRow("box too small") << QStringList{"--ap-size", "8"} << 2 << QString();
    QTest::newRow("refine needs feature") << QStringList{"--align", "planet", "--refine"} << 2 << QString();
}

void TestMultiPoint::commandOptions()
{
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QString, says);
    QTemporaryDir dir;
    QVector<QImage> frames;
    for (int k = 0; k < 4; ++k) {
        synth::Planet p;
        p.cx = 160 + 0.7 * k;
        p.cy = 120 - 0.4 * k;
        p.blur = 1.0;
        frames << synth::renderPlanet(p);
    }
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("c"), frames);
    const QString out1 = dir.filePath(QStringLiteral("one.png")), out2 = dir.filePath(QStringLiteral("all.png"));
    const Run one = cli(QStringList{"-o", out1, "--threads", "1"} + options + paths);
    QCOMPARE(one.status, status);
    if (status != 0)
        return;
    QVERIFY(one.out.contains(says));
    const Run all = cli(QStringList{"-o", out2} + options + paths);
    QCOMPARE(all.status, 0);
    QImage a(out1), b(out2);
    QVERIFY(!a.isNull());
    QCOMPARE(a, b);
}

QTEST_GUILESS_MAIN(TestMultiPoint)
#include "tst_multipoint.moc"
