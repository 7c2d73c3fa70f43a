// Sub-pixel global alignment: the planet's centre and the surface patch's shift recover known shifts,
// hot pixels and a disk cut by the frame edge leave the centre where it is, the cubic shift of the
// stacking keeps a frame's flux, and the planet and surface loops give positions and canvas.
#include "batch.h"
#include "fixtures.h"
#include "floatimage.h"
#include "globalalign.h"
#include "stackengine.h"
#include "stacking.h"
#include "synthetic.h"

#include <QtTest/QtTest>

#include <cmath>

namespace {

QImage planet(double cx, double cy, double noise, quint32 seed = 1, bool details = true, double blur = 1.2)
{
    synth::Planet p;
    p.cx = cx;
    p.cy = cy;
    p.blur = blur;
    p.noise = noise;
    p.seed = seed;
    p.details = details;
    p.background = noise > 0 ? qRgb(12, 12, 12) : qRgb(0, 0, 0);
    return synth::renderPlanet(p);
}

double accumulatorSum(const FloatImage& acc, int channel)
{
    double s = 0;
    for (int y = 0; y < acc.height; ++y)
        for (int x = 0; x < acc.width; ++x)
            s += acc.value(x, y, channel);
    return s;
}

} // namespace

class TestGlobalAlign : public QObject {
    Q_OBJECT

private slots:
    void planetShift_data();
    void planetShift();
    void planetIgnoresHotPixels();
    void planetCutByEdge_data();
    void planetCutByEdge();
    void surfaceShift_data();
    void surfaceShift();
    void shiftedStackKeepsFlux_data();
    void shiftedStackKeepsFlux();
    void wholePixelShiftIsExact_data();
    void wholePixelShiftIsExact();
    void surfaceRunFollowsDrift();
    void planetRunMarksCutFrames();
    void planetRefusesSurface();
};

void TestGlobalAlign::planetShift_data()
{
    QTest::addColumn<double>("dx");
    QTest::addColumn<double>("dy");
    QTest::addColumn<double>("noise");
    QTest::addColumn<double>("tolerance");
    QTest::newRow("noise-free, fractions") << 0.37 << -0.81 << 0.0 << 0.05;
    QTest::newRow("noise-free, several pixels") << 6.25 << 3.5 << 0.0 << 0.05;
    QTest::newRow("noisy, fractions") << -0.42 << 0.66 << 6.0 << 0.2;
    QTest::newRow("noisy, several pixels") << -7.7 << 4.1 << 6.0 << 0.2;
}

void TestGlobalAlign::planetShift()
{
    QFETCH(double, dx);
    QFETCH(double, dy);
    QFETCH(double, noise);
    QFETCH(double, tolerance);
    const kernels::PlanetCentre a = kernels::planetCentre(planet(160.0, 120.0, noise, 1));
    const kernels::PlanetCentre b = kernels::planetCentre(planet(160.0 + dx, 120.0 + dy, noise, 2));
    QVERIFY(a.found && b.found);
    QVERIFY(!a.edgeCut && !b.edgeCut);
    QVERIFY2(std::abs((b.x - a.x) - dx) <= tolerance, qPrintable(QString::number(b.x - a.x - dx)));
    QVERIFY2(std::abs((b.y - a.y) - dy) <= tolerance, qPrintable(QString::number(b.y - a.y - dy)));
}

void TestGlobalAlign::planetIgnoresHotPixels()
{
    const QImage clean = planet(150.3, 110.6, 0.0);
    QImage hot = clean;
    for (const QPoint& p : synth::hotPixelPositions(hot.width(), hot.height(), 40, 5))
        if (qRed(hot.pixel(p)) < 20) // on the sky only
            hot.setPixel(p, qRgb(255, 255, 255));
    const kernels::PlanetCentre a = kernels::planetCentre(clean);
    const kernels::PlanetCentre b = kernels::planetCentre(hot, a.threshold);
    QVERIFY(a.found && b.found);
    QVERIFY(std::abs(a.x - b.x) < 0.01);
    QVERIFY(std::abs(a.y - b.y) < 0.01);
}

void TestGlobalAlign::planetCutByEdge_data()
{
    QTest::addColumn<double>("cx");
    QTest::addColumn<double>("cy");
    QTest::newRow("left edge") << 30.4 << 120.0;
    QTest::newRow("right edge") << 300.7 << 118.2;
    QTest::newRow("top and left") << 35.0 << 20.5;
}

void TestGlobalAlign::planetCutByEdge()
{
    QFETCH(double, cx);
    QFETCH(double, cy);
    // A mirror-symmetric disk: its centre of gravity is its geometric centre when whole.
    const kernels::PlanetCentre whole = kernels::planetCentre(planet(160.0, 120.0, 0.0, 1, false));
    const kernels::PlanetCentre cut = kernels::planetCentre(planet(cx, cy, 0.0, 1, false));
    QVERIFY(whole.found && cut.found);
    QVERIFY(!whole.edgeCut);
    QVERIFY(cut.edgeCut);
    QVERIFY2(std::abs((cut.x - whole.x) - (cx - 160.0)) < 0.2, qPrintable(QString::number(cut.x - whole.x - (cx - 160.0))));
    QVERIFY2(std::abs((cut.y - whole.y) - (cy - 120.0)) < 0.2, qPrintable(QString::number(cut.y - whole.y - (cy - 120.0))));
}

void TestGlobalAlign::surfaceShift_data()
{
    QTest::addColumn<double>("dx");
    QTest::addColumn<double>("dy");
    QTest::addColumn<double>("noise");
    QTest::addColumn<double>("tolerance");
    QTest::newRow("noise-free, fractions") << 0.3 << -0.45 << 0.0 << 0.05;
    QTest::newRow("noise-free, far") << -21.6 << 13.2 << 0.0 << 0.05;
    QTest::newRow("noisy, fractions") << -0.7 << 0.25 << 8.0 << 0.2;
    QTest::newRow("noisy, far") << 17.4 << -25.9 << 8.0 << 0.2;
}

void TestGlobalAlign::surfaceShift()
{
    QFETCH(double, dx);
    QFETCH(double, dy);
    QFETCH(double, noise);
    QFETCH(double, tolerance);
    const kernels::FloatPlane reference = kernels::luminancePlane(fixtures::shiftedTexture(320, 240, 0, 0, noise, 3));
    const kernels::FloatPlane frame = kernels::luminancePlane(fixtures::shiftedTexture(320, 240, dx, dy, noise, 4));
    const QRect patch = kernels::chooseSurfacePatch(reference, 34);
    QVERIFY(QRect(0, 0, 320, 240).contains(patch));
    QVERIFY(patch.width() * patch.height() * 4 > 320 * 240); // about a third of the frame
    const kernels::SurfaceMatcher matcher(reference, patch, 34);
    const kernels::SurfaceMatcher::Result r = matcher.match(frame, 0, 0);
    QVERIFY(r.found);
    QVERIFY2(std::abs(r.dx - dx) <= tolerance, qPrintable(QString::number(r.dx - dx)));
    QVERIFY2(std::abs(r.dy - dy) <= tolerance, qPrintable(QString::number(r.dy - dy)));
}

void TestGlobalAlign::shiftedStackKeepsFlux_data()
{
    QTest::addColumn<double>("dx");
    QTest::addColumn<double>("dy");
    QTest::newRow("fractions") << 0.3 << 0.7;
    QTest::newRow("half pixel") << -0.5 << 0.5;
    QTest::newRow("pixels and fractions") << 2.25 << -1.8;
}

void TestGlobalAlign::shiftedStackKeepsFlux()
{
    QFETCH(double, dx);
    QFETCH(double, dy);
    // A compact blob well inside the frame and the canvas.
    const QImage frame = planet(60.0, 50.0, 0.0, 1, true, 1.5).copy(0, 0, 120, 100);
    double flux = 0;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            flux += fixtures::fraction(qGreen(frame.pixel(x, y)));
    auto acc = createFloatImage(frame.width() + 6, frame.height() + 6);
    kernels::StackParams p;
    p.maxDx = 3;
    p.maxDy = 3;
    kernels::stackFrameShifted(frame, *acc, dx, dy, p);
    QVERIFY2(std::abs(accumulatorSum(*acc, 1) - flux) < 1e-4 * flux,
             qPrintable(QString::number(accumulatorSum(*acc, 1) - flux)));
    // The interpolated blob keeps its peak within the interpolation's small overshoot.
    float peak = 0;
    for (int y = 0; y < acc->height; ++y)
        for (int x = 0; x < acc->width; ++x)
            peak = std::max(peak, acc->value(x, y, 1));
    QVERIFY(peak < 1.05f);
}

void TestGlobalAlign::wholePixelShiftIsExact_data()
{
    QTest::addColumn<int>("filter");
    QTest::newRow("no filter") << 0;
    QTest::newRow("box filter 2") << 2;
    QTest::newRow("box filter 5") << 5;
}

void TestGlobalAlign::wholePixelShiftIsExact()
{
    // At whole-pixel offsets the cubic weights are 0, 1, 0, 0: the whole-pixel stacking's sums, exactly
    // without the box filter, and to the rounding of its sums with it (boxes cut by the frame edge
    // included). The filter box reaches F pixels beyond the frame in the whole-pixel stacking; the
    // shifted stacking adds where the sample lies inside the frame.
    QFETCH(int, filter);
    const QImage frame = fixtures::randomImage(40, 30, 9);
    kernels::StackParams p;
    p.maxDx = 2;
    p.maxDy = 3;
    p.dx = -1;
    p.dy = 2;
    p.filter = filter;
    auto whole = createFloatImage(44, 36);
    auto shifted = createFloatImage(44, 36);
    kernels::stackFrame(frame, *whole, p);
    kernels::stackFrameShifted(frame, *shifted, -1.0, 2.0, p);
    int compared = 0;
    for (int y = 0; y < whole->height; ++y)
        for (int x = 0; x < whole->width; ++x) {
            if (filter == 0 || shifted->value(x, y, 3) > 0) {
                for (int c = 0; c < 4; ++c) {
                    const float a = shifted->value(x, y, c), b = whole->value(x, y, c);
                    if (filter == 0)
                        QCOMPARE(a, b);
                    else
                        QVERIFY2(std::abs(a - b) < 1e-5f, qPrintable(QStringLiteral("%1,%2: %3 %4").arg(x).arg(y).arg(a).arg(b)));
                }
                ++compared;
            }
        }
    QCOMPARE(compared, filter == 0 ? 44 * 36 : 40 * 30);
}

void TestGlobalAlign::surfaceRunFollowsDrift()
{
    // The target drifts 12 pixels a frame: 60 pixels in all, beyond the search width from the first
    // frame, but never beyond it from one frame to the next.
    QTemporaryDir dir;
    QVector<QImage> frames;
    const int n = 6;
    for (int i = 0; i < n; ++i)
        frames << fixtures::shiftedTexture(360, 260, 12.0 * i + 0.3 * (i % 2), -5.0 * i, 3.0, quint64(10 + i));
    StackEngine e;
    e.addFrames(fixtures::writeSequence(dir, QStringLiteral("s"), frames));
    e.alignMode = AlignMode::Surface;
    e.surfacePatch = QRect(140, 40, 150, 150); // on the reference; stays inside every frame
    fixtures::Recorder rec;
    QVERIFY(batch::alignAll(e, rec.progress()));
    const FrameRecord ref = e.frames->record(0);
    QVERIFY(ref.isReference && ref.subPixel);
    for (int i = 1; i < n; ++i) {
        const FrameRecord r = e.frames->record(i);
        QVERIFY(r.aligned && r.subPixel);
        QVERIFY2(std::abs((r.subX - ref.subX) - (12.0 * i + 0.3 * (i % 2))) < 0.2, qPrintable(QString::number(i)));
        QVERIFY(std::abs((r.subY - ref.subY) + 5.0 * i) < 0.2);
        QCOMPARE(r.x, int(std::floor(r.subX)));
    }
    // The canvas holds every offset.
    QCOMPARE(e.maxDx, 61);
    QCOMPARE(e.minDx, 0);
    QCOMPARE(e.maxDy, 0);
    QVERIFY(e.minDy <= -25 && e.minDy >= -26);
    QVERIFY(rec.log.contains(QStringLiteral("%1 images analyzed, %1 valid").arg(n)));
}

void TestGlobalAlign::planetRunMarksCutFrames()
{
    QTemporaryDir dir;
    QVector<QImage> frames{planet(160.0, 120.0, 0.0), planet(161.5, 119.25, 0.0), planet(24.0, 120.0, 0.0),
                           fixtures::solid(320, 240, qRgb(0, 0, 0))};
    StackEngine e;
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("p"), frames);
    e.addFrames(paths);
    e.alignMode = AlignMode::Planet;
    fixtures::Recorder rec;
    QVERIFY(batch::alignAll(e, rec.progress()));
    QVERIFY(!e.frames->record(1).edgeCut);
    QVERIFY(e.frames->record(2).edgeCut);
    QVERIFY(e.frames->record(2).aligned);
    QVERIFY(!e.frames->record(3).aligned);
    QVERIFY(std::abs(e.frames->record(1).subX - e.frames->record(0).subX - 1.5) < 0.05);
    QVERIFY(rec.log.filter(QStringLiteral("(disk cut by the frame edge)")).size() == 1);
    QVERIFY(fixtures::isTimedLine(rec.log.filter(QStringLiteral("Planet not found")).value(0),
                                  QStringLiteral("Planet not found: ") + paths[3]));
    QVERIFY(rec.log.contains(QStringLiteral("4 images analyzed, 3 valid")));
}

void TestGlobalAlign::planetRefusesSurface()
{
    // A disk cut by one edge, or at a corner, still has sky; a textured surface filling the frame has
    // none, with the automatic threshold and with one the user picked.
    QVERIFY(!kernels::planetCentre(planet(24.0, 120.0, 0.0)).noSky);
    QVERIFY(!kernels::planetCentre(planet(10.0, 8.0, 2.0)).noSky);
    const QImage surface = fixtures::shiftedTexture(320, 240, 0.0, 0.0, 3.0, 5);
    for (int threshold : {-1, 60}) {
        const kernels::PlanetCentre c = kernels::planetCentre(surface, threshold);
        QVERIFY(c.noSky);
        QVERIFY(!c.found);
    }
    // The run stops at the reference frame with one line that names the mode to use.
    QTemporaryDir dir;
    QVector<QImage> frames;
    for (int i = 0; i < 4; ++i)
        frames << fixtures::shiftedTexture(320, 240, 1.5 * i, 0.5 * i, 3.0, quint64(20 + i));
    StackEngine e;
    e.addFrames(fixtures::writeSequence(dir, QStringLiteral("m"), frames));
    e.alignMode = AlignMode::Planet;
    fixtures::Recorder rec;
    QVERIFY(batch::alignAll(e, rec.progress()));
    QCOMPARE(rec.log.filter(QStringLiteral("No planet on a dark sky in the reference frame")).size(), 1);
    QVERIFY(rec.log.filter(QStringLiteral("No planet on a dark sky")).value(0).contains(QStringLiteral("\"Surface\"")));
    QVERIFY(rec.log.filter(QStringLiteral("Aligned ")).isEmpty());
    QVERIFY(rec.log.contains(QStringLiteral("0 images analyzed, 0 valid")));
    for (int i = 0; i < frames.size(); ++i)
        QVERIFY(!e.frames->record(i).aligned);
}

QTEST_GUILESS_MAIN(TestGlobalAlign)
#include "tst_globalalign.moc"
