// The window's alignment modes and multi-point stacking, driven through the real widgets: the mode
// combo and the multi-point controls reach the engine, the alignment points show over the stack,
// a drag in the view chooses the surface patch, and the defaults keep the feature alignment.
#include "fixtures.h"
#include "nebulo.h"
#include "synthetic.h"
#include "windowfixture.h"

#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QtTest/QtTest>

#include <cmath>

namespace {

constexpr int kFrames = 6;

// Planet frames whose centres move by known sub-pixel steps.
QPointF centreOf(int i) { return {160.0 + 0.7 * i, 120.0 - 0.45 * i}; }

QStringList planetSequence(const QString& dir)
{
    QVector<QImage> frames;
    for (int i = 0; i < kFrames; ++i) {
        synth::Planet p;
        p.cx = centreOf(i).x();
        p.cy = centreOf(i).y();
        p.radius = 60;
        p.blur = 0.8 + 0.1 * i;
        p.noise = 1.0;
        p.seed = quint32(20 + i);
        frames << synth::renderPlanet(p);
    }
    return synth::writeSequence(dir, QStringLiteral("planet"), frames);
}

int overlayBoxes(QGraphicsScene* scene)
{
    int n = 0;
    for (QGraphicsItem* item : scene->items())
        if (qgraphicsitem_cast<QGraphicsRectItem*>(item))
            ++n;
    return n;
}

} // namespace

class TestWindowModes : public windowfixture::WindowFixture {
    Q_OBJECT
private slots:
    void init()
    {
        if (!createWindow())
            return;
        showWindow();
        paths = planetSequence(dir->path());
        QCOMPARE(paths.size(), kFrames);
        w->openFiles(paths);
    }
    void cleanup() { destroyWindow(); }

    void defaultsAreTheFeatureAlignment();
    void modeComboReachesEngine_data();
    void modeComboReachesEngine();
    void multiPointControlsReachEngine();
    void surfaceDragChoosesPatch();

private:
    void pickAndAlign()
    {
        w->ui.pbWeight->click();
        w->ui.pbAlign->click();
    }
    QStringList paths;
};

void TestWindowModes::defaultsAreTheFeatureAlignment()
{
    const QStringList items = {QStringLiteral("Pattern"), QStringLiteral("Luminance"), QStringLiteral("Planet"),
                               QStringLiteral("Surface")};
    QStringList texts;
    for (int i = 0; i < w->ui.comboBox->count(); ++i)
        texts << w->ui.comboBox->itemText(i);
    QCOMPARE(texts, items);
    QCOMPARE(w->ui.comboBox->currentIndex(), 0);
    QVERIFY(w->ui.comboBox->isEnabled());
    QVERIFY(!w->ui.cbAlignPoints->isChecked());
    QCOMPARE(w->ui.sbApSize->value(), 48);
    QCOMPARE(w->ui.sbApSearch->value(), 14);
    QCOMPARE(w->ui.sbApKeep->value(), 25);

    // "Pattern" and "Luminance" are today's alignment: the same log lines, positions and stack.
    QStringList logs[2];
    QImage stacks[2];
    w->ui.sbWeight->setValue(60);
    for (int item = 0; item < 2; ++item) {
        w->ui.comboBox->setCurrentIndex(item);
        const int start = int(log().size());
        pickAndAlign();
        w->ui.pbStack2->click();
        QCOMPARE(w->engine.alignMode, AlignMode::Feature);
        QVERIFY(!w->engine.multiPoint.enabled);
        QVERIFY(w->engine.alignmentPoints.empty());
        // The first stacking run builds the master dark, the second skips it.
        for (const QString& line : logSince(start))
            if (!line.contains(QLatin1String("master darkframe")) && line != QLatin1String("finished."))
                logs[item] << windowfixture::maskTime(line);
        stacks[item] = shown(); // exactly the stack: no overlay
        QVERIFY(!stacks[item].isNull());
        for (int i = 0; i < kFrames; ++i)
            QVERIFY(!w->engine.frames->record(i).subPixel);
    }
    QCOMPARE(logs[1], logs[0]);
    QCOMPARE(windowfixture::firstDifference(stacks[1], stacks[0]), QString());
}

void TestWindowModes::modeComboReachesEngine_data()
{
    QTest::addColumn<int>("item");
    QTest::addColumn<int>("mode");
    QTest::newRow("Planet") << 2 << int(AlignMode::Planet);
    QTest::newRow("Surface") << 3 << int(AlignMode::Surface);
}

void TestWindowModes::modeComboReachesEngine()
{
    QFETCH(int, item);
    QFETCH(int, mode);
    w->ui.comboBox->setCurrentIndex(item);
    w->ui.pbAlign->click();
    QCOMPARE(int(w->engine.alignMode), mode);
    // Sub-pixel positions relative to the reference follow the known motion of the disk.
    const int ref = w->engine.frames->referenceIndex;
    const FrameRecord r0 = w->engine.frames->record(ref);
    QVERIFY(r0.aligned && r0.subPixel);
    for (int i = 0; i < kFrames; ++i) {
        const FrameRecord r = w->engine.frames->record(i);
        QVERIFY2(r.aligned && r.subPixel, qPrintable(QString::number(i)));
        const QPointF expected = centreOf(i) - centreOf(ref);
        QVERIFY2(std::fabs(r.subX - r0.subX - expected.x()) < 0.2 && std::fabs(r.subY - r0.subY - expected.y()) < 0.2,
                 qPrintable(QStringLiteral("frame %1: %2, %3").arg(i).arg(r.subX - r0.subX).arg(r.subY - r0.subY)));
    }
}

void TestWindowModes::multiPointControlsReachEngine()
{
    w->ui.comboBox->setCurrentIndex(2);
    w->ui.cbAlignPoints->setChecked(true);
    w->ui.sbApSize->setValue(32);
    w->ui.sbApSearch->setValue(9);
    w->ui.sbApKeep->setValue(50);
    w->ui.sbApMinStructure->setValue(0.5);
    w->ui.sbApMinBrightness->setValue(30);
    w->ui.pbAlign->click();
    w->ui.pbStack2->click();
    const MultiPointSettings& mp = w->engine.multiPoint;
    QVERIFY(mp.enabled);
    QCOMPARE(mp.boxSize, 32);
    QCOMPARE(mp.search, 9);
    QCOMPARE(mp.keepPercent, 50);
    QCOMPARE(mp.minStructure, 0.5);
    QCOMPARE(mp.minBrightness, 30);
    QVERIFY(w->engine.stackReady);

    // The boxes reach into the disk (radius 60), and the view shows one box per point over the stack.
    const std::vector<AlignmentPoint>& points = w->engine.alignmentPoints;
    QVERIFY(!points.empty());
    const QPointF ref = centreOf(w->engine.frames->referenceIndex);
    for (const AlignmentPoint& ap : points) {
        QCOMPARE(ap.size, 32);
        QVERIFY2(std::hypot(ap.x - ref.x(), ap.y - ref.y()) < 60 + ap.size / 2,
                 qPrintable(QStringLiteral("point at %1, %2").arg(ap.x).arg(ap.y)));
    }
    QVERIFY(w->ui.cbShowPoints->isChecked());
    QCOMPARE(overlayBoxes(w->scene), int(points.size()));
    w->ui.cbShowPoints->setChecked(false);
    QCOMPARE(overlayBoxes(w->scene), 0);
    QVERIFY(!shown().isNull());
    w->ui.cbShowPoints->setChecked(true);
    QCOMPARE(overlayBoxes(w->scene), int(points.size()));
    // A colour change shows the stack again, with its points.
    w->ui.sbGammaR->setValue(0.9);
    w->adjustColors();
    QCOMPARE(overlayBoxes(w->scene), int(points.size()));
}

void TestWindowModes::surfaceDragChoosesPatch()
{
    w->ui.comboBox->setCurrentIndex(3);
    const int weight = w->ui.sbWeight->value();
    const int start = int(log().size());
    auto drag = [this](QPointF from, QPointF to) {
        mouse(QEvent::MouseButtonPress, viewportPoint(from), Qt::LeftButton, Qt::LeftButton);
        mouse(QEvent::MouseMove, viewportPoint(to), Qt::NoButton, Qt::LeftButton);
        mouse(QEvent::MouseButtonRelease, viewportPoint(to), Qt::LeftButton, Qt::NoButton);
    };
    drag({100, 60}, {220, 180});
    QCOMPARE(w->ui.sbWeight->value(), weight); // no threshold pick in this mode
    // From the pixel pressed to the pixel released, both included.
    QCOMPARE(logSince(start), QStringList{QStringLiteral("Surface patch: 100, 60, 121 x 121")});
    w->ui.pbAlign->click();
    QCOMPARE(w->engine.surfacePatch, QRect(100, 60, 121, 121));
    QCOMPARE(w->engine.surfacePatchUsed, QRect(100, 60, 121, 121));

    // A click is no patch: the choice goes back to the automatic one.
    const int again = int(log().size());
    drag({150, 100}, {152, 101});
    QCOMPARE(logSince(again), QStringList{QStringLiteral("Surface patch: chosen automatically")});
    w->ui.pbAlign->click();
    QVERIFY(w->engine.surfacePatch.isNull());
    QVERIFY(!w->engine.surfacePatchUsed.isNull());
}

QTEST_MAIN(TestWindowModes)
#include "tst_window_modes.moc"
