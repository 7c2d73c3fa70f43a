// Sharpness rating: the horizontal and vertical step measures, the analysis of a sequence (log,
// rescaling to percent) and the two ways of keeping the best frames.
#include "batch.h"
#include "fixtures.h"
#include "parallel.h"
#include "quality.h"
#include "stackengine.h"

#include <QtTest/QtTest>

#include <cmath>

namespace {

using fixtures::definitionH;
using fixtures::definitionV;
using fixtures::Recorder;
using fixtures::sharpnessLuma;

QRgb grey(int v) { return qRgb(v, v, v); }

// An image built from rows of pixels.
QImage fromRows(const QVector<QVector<QRgb>>& rows)
{
    QImage image(rows.first().size(), rows.size(), QImage::Format_RGB32);
    for (int y = 0; y < rows.size(); ++y)
        for (int x = 0; x < rows[y].size(); ++x)
            image.setPixel(x, y, rows[y][x]);
    return image;
}

// Every row the same.
QImage columns(const QVector<QRgb>& row, int height)
{
    return fromRows(QVector<QVector<QRgb>>(height, row));
}

// Every column the same.
QImage rows(const QVector<QRgb>& column, int width)
{
    QVector<QVector<QRgb>> r;
    for (QRgb c : column)
        r << QVector<QRgb>(width, c);
    return fromRows(r);
}

// A frame whose rating (horizontal + vertical measure) is exactly `step`: vertical stripes of
// grey 100 and 100 + step (every visited horizontal pair is one step, no vertical step).
QImage rated(int step)
{
    if (step == 0)
        return fixtures::solid(6, 3, grey(100));
    return columns({grey(100), grey(100 + step), grey(100), grey(100 + step), grey(100), grey(100 + step)}, 3);
}

QImage randomImage(int width, int height, quint64 seed, int low, int high, bool colour)
{
    synth::Rng rng(seed);
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int v = low + rng.below(high - low + 1);
            image.setPixel(x, y, colour ? qRgb(v, low + rng.below(high - low + 1), low + rng.below(high - low + 1)) : grey(v));
        }
    return image;
}

QString six(double v) { return QString::number(v, 'f', 6); }

// "x" for a kept frame, "." for a dropped one, in sequence order.
QString pattern(const std::vector<bool>& keep)
{
    QString s;
    for (bool k : keep)
        s += k ? QLatin1Char('x') : QLatin1Char('.');
    return s;
}

} // namespace

class TestQuality : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { parallel::setThreadCount(0); }

    void steps_data();
    void steps();
    void measuresFollowTheirDefinition_data();
    void measuresFollowTheirDefinition();
    void threadCountDoesNotChangeTheMeasures();

    void analysisLogAndPercentages();
    void fractionalRatings();
    void minimumQuality_data();
    void minimumQuality();
    void uncheckedFramesAreNotRated();
    void equalRatingsAllRate100();
    void frameCount_data();
    void frameCount();
    void unreadableFrameIsSkipped();
    void noCheckedFrame();
    void secondRunOnlySelects();
};

void TestQuality::steps_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<float>("h");
    QTest::addColumn<float>("v");

    // The grey steps below are whole numbers in luminance, so 3 and 2 sit exactly on the thresholds.
    QCOMPARE_EQ(sharpnessLuma(grey(103)) - sharpnessLuma(grey(100)), 3.0f);
    QCOMPARE_EQ(sharpnessLuma(grey(102)) - sharpnessLuma(grey(100)), 2.0f);
    QCOMPARE_EQ(sharpnessLuma(grey(104)) - sharpnessLuma(grey(100)), 4.0f);
    const float red22 = sharpnessLuma(qRgb(22, 0, 0)), red12 = sharpnessLuma(qRgb(12, 0, 0)), red25 = sharpnessLuma(qRgb(25, 0, 0));
    QVERIFY(red22 > 4.5f && red22 < 5.0f);  // 4.6772
    QVERIFY(red12 > 2.5f && red12 < 3.0f);  // 2.5512
    QVERIFY(red25 > 5.0f && red25 < 5.5f);  // 5.3130
    const QRgb r22 = qRgb(22, 0, 0), r12 = qRgb(12, 0, 0), r25 = qRgb(25, 0, 0), black = qRgb(0, 0, 0);

    QTest::newRow("uniform grey") << fixtures::solid(9, 7, grey(123)) << 0.0f << 0.0f;
    QTest::newRow("uniform colour") << fixtures::solid(9, 7, qRgb(200, 30, 90)) << 0.0f << 0.0f;
    QTest::newRow("horizontal step of exactly 3")
        << columns({grey(100), grey(100), grey(103), grey(103), grey(103)}, 3) << 0.0f << 0.0f;
    QTest::newRow("horizontal step of 4")
        << columns({grey(100), grey(100), grey(104), grey(104), grey(104)}, 3) << 4.0f << 0.0f;
    QTest::newRow("vertical step of exactly 2")
        << rows({grey(100), grey(102), grey(102), grey(102), grey(102)}, 3) << 0.0f << 0.0f;
    QTest::newRow("vertical step of 3") << rows({grey(100), grey(103), grey(103), grey(103), grey(103)}, 3) << 0.0f << 3.0f;
    // 2.55 lies between the two thresholds; its integer part is what the sum keeps.
    QTest::newRow("step of 2.55 across") << columns({black, black, r12, r12, r12}, 3) << 0.0f << 0.0f;
    QTest::newRow("step of 2.55 down") << rows({black, r12, r12, r12}, 4) << 0.0f << 2.0f;
    // Three steps of 4.68: 4, 8, 12 after each truncation, so 12 / 3 (not 14 / 3).
    QTest::newRow("truncation after every step") << columns({black, r22, black, r22, black}, 2) << 4.0f << 0.0f;
    // 4.68, 4.68, 5.31: 4, 8, 13.
    QTest::newRow("truncation, uneven steps") << columns({black, r22, black, r25, black}, 2) << 13.0f / 3.0f << 0.0f;
    QTest::newRow("truncation down") << rows({black, r22, black, r22, black}, 2) << 0.0f << 4.0f;
    // Pairs that are not visited: the last two columns across, the last two rows down, and the last
    // row and the last column altogether.
    QTest::newRow("step only in the last column pair")
        << columns({grey(100), grey(100), grey(100), grey(100), grey(140)}, 4) << 0.0f << 0.0f;
    QTest::newRow("step in the second-to-last column pair")
        << columns({grey(100), grey(100), grey(100), grey(140), grey(140)}, 4) << 40.0f << 0.0f;
    QTest::newRow("step only in the last row pair")
        << rows({grey(100), grey(100), grey(100), grey(140)}, 5) << 0.0f << 0.0f;
    QTest::newRow("step in the second-to-last row pair")
        << rows({grey(100), grey(100), grey(140), grey(140)}, 5) << 0.0f << 40.0f;
    QTest::newRow("steps only in the last row")
        << fromRows({{grey(100), grey(100), grey(100), grey(100), grey(100)},
                     {grey(100), grey(100), grey(100), grey(100), grey(100)},
                     {grey(100), grey(150), grey(100), grey(150), grey(100)}})
        << 0.0f << 0.0f;
    QTest::newRow("steps only in the last column")
        << fromRows({{grey(100), grey(100), grey(100), grey(100)},
                     {grey(100), grey(100), grey(100), grey(150)},
                     {grey(100), grey(100), grey(100), grey(100)},
                     {grey(100), grey(100), grey(100), grey(150)},
                     {grey(100), grey(100), grey(100), grey(100)}})
        << 0.0f << 0.0f;
    QTest::newRow("too narrow across") << fromRows({{black, grey(200)}, {grey(200), black}, {black, grey(200)}}) << 0.0f << 200.0f;
    QTest::newRow("too low down") << fromRows({{black, grey(200), black}, {grey(200), black, grey(200)}}) << 200.0f << 0.0f;
}

void TestQuality::steps()
{
    QFETCH(QImage, image);
    QFETCH(float, h);
    QFETCH(float, v);
    QCOMPARE_EQ(kernels::gradientQualityH(image), h);
    QCOMPARE_EQ(kernels::gradientQualityV(image), v);
    StackEngine e;
    e.frameImage = image;
    QCOMPARE_EQ(e.gradientQualityH(), h);
    QCOMPARE_EQ(e.gradientQualityV(), v);
}

void TestQuality::measuresFollowTheirDefinition_data()
{
    QTest::addColumn<QImage>("image");
    QTest::newRow("1x1") << randomImage(1, 1, 1, 0, 255, true);
    QTest::newRow("2x5") << randomImage(2, 5, 2, 0, 255, true);
    QTest::newRow("5x2") << randomImage(5, 2, 3, 0, 255, true);
    QTest::newRow("3x3") << randomImage(3, 3, 4, 0, 255, true);
    QTest::newRow("colour 37x23") << randomImage(37, 23, 5, 0, 255, true);
    // Grey steps of 0..6: many land exactly on 2 and 3.
    QTest::newRow("low-contrast grey") << randomImage(41, 29, 6, 100, 106, false);
    QTest::newRow("low-contrast colour") << randomImage(41, 29, 7, 60, 75, true);
    QTest::newRow("colour 300x200") << randomImage(300, 200, 8, 0, 255, true);
}

void TestQuality::measuresFollowTheirDefinition()
{
    QFETCH(QImage, image);
    QCOMPARE_EQ(kernels::gradientQualityH(image), definitionH(image));
    QCOMPARE_EQ(kernels::gradientQualityV(image), definitionV(image));
}

void TestQuality::threadCountDoesNotChangeTheMeasures()
{
    const QImage image = randomImage(320, 240, 9, 80, 110, true);
    parallel::setThreadCount(1);
    const float h1 = kernels::gradientQualityH(image), v1 = kernels::gradientQualityV(image);
    parallel::setThreadCount(2);
    QCOMPARE_EQ(kernels::gradientQualityH(image), h1);
    QCOMPARE_EQ(kernels::gradientQualityV(image), v1);
    QCOMPARE_EQ(h1, definitionH(image));
    QCOMPARE_EQ(v1, definitionV(image));
}

void TestQuality::analysisLogAndPercentages()
{
    QTemporaryDir dir;
    const QVector<int> ratings{10, 30, 20, 15, 25};
    QVector<QImage> frames;
    for (int r : ratings)
        frames << rated(r);
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("q"), frames);
    StackEngine e;
    e.addFrames(paths);
    Recorder r;
    QVERIFY(batch::analyzeQuality(e, r.progress()));

    QStringList expected{QStringLiteral("analyzing gradient quality...")};
    for (int i = 0; i < 5; ++i)
        expected << QStringLiteral("raw quality of ") + paths[i] + QStringLiteral(": ") + six(ratings[i]);
    expected << QStringLiteral("min quality: 10.000000") << QStringLiteral("max quality: 30.000000")
             << QStringLiteral("avg quality: 20.000000");
    QCOMPARE(r.log, expected);
    QCOMPARE(r.status, QStringList({QStringLiteral("Gradient analysis..."), QStringLiteral("Quality analysis... 0.0%"),
                                    QStringLiteral("Quality analysis... 20.0%"), QStringLiteral("Quality analysis... 40.0%"),
                                    QStringLiteral("Quality analysis... 60.0%"), QStringLiteral("Quality analysis... 80.0%")}));
    QCOMPARE(r.shown.size(), 5);
    QVERIFY(e.qualityAnalysed);

    const QVector<float> percent{0.0f, 100.0f, 50.0f, 25.0f, 75.0f};
    for (int i = 0; i < 5; ++i)
        QCOMPARE_EQ(e.frames->record(i).quality, percent[i]);
}

void TestQuality::fractionalRatings()
{
    QTemporaryDir dir;
    const QRgb r22 = qRgb(22, 0, 0), r25 = qRgb(25, 0, 0), black = qRgb(0, 0, 0);
    // Ratings 13/3 (steps 4.68, 4.68, 5.31) and 10.
    const QStringList paths = fixtures::writeSequence(
        dir, QStringLiteral("q"), {columns({black, r22, black, r25, black}, 2), rated(10)});
    StackEngine e;
    e.addFrames(paths);
    Recorder r;
    QVERIFY(batch::analyzeQuality(e, r.progress()));
    const float low = 13.0f / 3.0f;
    QCOMPARE(r.log.value(1), QStringLiteral("raw quality of ") + paths[0] + QStringLiteral(": 4.333333"));
    QCOMPARE(r.log.value(3), QStringLiteral("min quality: 4.333333"));
    QCOMPARE(r.log.value(4), QStringLiteral("max quality: 10.000000"));
    QCOMPARE(r.log.value(5), QStringLiteral("avg quality: ") + six((low + 10.0f) / 2.0f));
    QCOMPARE_EQ(e.frames->record(0).quality, 0.0f);
    QCOMPARE_EQ(e.frames->record(1).quality, 100.0f);
}

void TestQuality::minimumQuality_data()
{
    QTest::addColumn<double>("minimum");
    QTest::addColumn<QString>("kept");
    // Ratings 10, 30, 20, 15, 25 rate 0, 100, 50, 25, 75 percent.
    QTest::newRow("50: the midpoint and above") << 50.0 << ".xx.x";
    QTest::newRow("50.1") << 50.1 << ".x..x";
    QTest::newRow("0: every frame") << 0.0 << "xxxxx";
    QTest::newRow("25") << 25.0 << ".xxxx";
    QTest::newRow("100: the best") << 100.0 << ".x...";
    QTest::newRow("99.9") << 99.9 << ".x...";
}

void TestQuality::minimumQuality()
{
    QFETCH(double, minimum);
    QFETCH(QString, kept);
    QTemporaryDir dir;
    const QStringList paths =
        fixtures::writeSequence(dir, QStringLiteral("q"), {rated(10), rated(30), rated(20), rated(15), rated(25)});
    StackEngine e;
    e.addFrames(paths);
    Recorder analysis;
    QVERIFY(batch::analyzeQuality(e, analysis.progress()));

    Recorder r;
    const std::vector<bool> keep = batch::selectFrames(e, batch::SelectionMode::MinimumQuality, minimum, 20, r.progress());
    QCOMPARE(pattern(keep), kept);
    QCOMPARE(r.log, QStringList{QString::number(kept.count(QLatin1Char('x'))) + QStringLiteral(" frames active")});
}

void TestQuality::uncheckedFramesAreNotRated()
{
    QTemporaryDir dir;
    const QStringList paths =
        fixtures::writeSequence(dir, QStringLiteral("q"), {rated(10), rated(30), rated(20), rated(15), rated(25)});
    StackEngine e;
    e.addFrames(paths);
    Recorder r;
    r.unchecked << 3;
    QVERIFY(batch::analyzeQuality(e, r.progress()));
    QCOMPARE(r.log.filter(QStringLiteral("raw quality of ")).size(), 4);
    QVERIFY(!r.log.join(QLatin1Char('\n')).contains(paths[3]));
    QCOMPARE(r.log.value(7), QStringLiteral("avg quality: 21.250000"));
    QCOMPARE(r.shown.size(), 4);
    QVERIFY(e.frames->record(3).quality < 0.0f);
    QCOMPARE_EQ(e.frames->record(2).quality, 50.0f);

    Recorder s;
    // 0 keeps every analysed frame and leaves the unanalysed one out.
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::MinimumQuality, 0.0, 20, s.progress())), QStringLiteral("xxx.x"));
    QCOMPARE(s.log, QStringList{QStringLiteral("4 frames active")});
    // By count the unanalysed frame ranks last.
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::FrameCount, 50.0, 4, s.progress())), QStringLiteral("xxx.x"));
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::FrameCount, 50.0, 5, s.progress())), QStringLiteral("xxxxx"));
}

void TestQuality::equalRatingsAllRate100()
{
    QTemporaryDir dir;
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("q"), {rated(20), rated(20), rated(20), rated(20)});
    StackEngine e;
    e.addFrames(paths);
    Recorder r;
    r.unchecked << 2;
    QVERIFY(batch::analyzeQuality(e, r.progress()));
    QCOMPARE(r.log.value(4), QStringLiteral("min quality: 20.000000"));
    QCOMPARE(r.log.value(5), QStringLiteral("max quality: 20.000000"));
    for (int i : {0, 1, 3})
        QCOMPARE_EQ(e.frames->record(i).quality, 100.0f);
    QVERIFY(e.frames->record(2).quality < 0.0f);
    Recorder s;
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::MinimumQuality, 100.0, 20, s.progress())), QStringLiteral("xx.x"));
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::MinimumQuality, 0.0, 20, s.progress())), QStringLiteral("xx.x"));

    // One frame alone (uniform: both measures count no step) also rates 100.
    StackEngine alone;
    alone.addFrames({fixtures::write(dir, QStringLiteral("flat.png"), rated(0))});
    Recorder a;
    QVERIFY(batch::analyzeQuality(alone, a.progress()));
    QCOMPARE(a.log.value(1), QStringLiteral("raw quality of ") + dir.filePath(QStringLiteral("flat.png")) + QStringLiteral(": 0.000000"));
    QCOMPARE_EQ(alone.frames->record(0).quality, 100.0f);
}

void TestQuality::frameCount_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("kept");
    // Ratings 10 50 30 50 20 60 40 50 5 70 15 50: four frames share 50.
    QTest::newRow("5 of 12: ties to the earlier frames") << 5 << ".x.x.x.x.x..";
    QTest::newRow("1") << 1 << ".........x..";
    QTest::newRow("2") << 2 << ".....x...x..";
    QTest::newRow("3") << 3 << ".x...x...x..";
    QTest::newRow("6") << 6 << ".x.x.x.x.x.x";
    QTest::newRow("7") << 7 << ".x.x.xxx.x.x";
    QTest::newRow("11") << 11 << "xxxxxxxx.xxx";
    QTest::newRow("12: all") << 12 << "xxxxxxxxxxxx";
    QTest::newRow("more than the frames") << 20 << "xxxxxxxxxxxx";
}

void TestQuality::frameCount()
{
    QFETCH(int, count);
    QFETCH(QString, kept);
    QTemporaryDir dir;
    QVector<QImage> frames;
    for (int r : {10, 50, 30, 50, 20, 60, 40, 50, 5, 70, 15, 50})
        frames << rated(r);
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("q"), frames);
    StackEngine e;
    e.addFrames(paths);
    Recorder analysis;
    QVERIFY(batch::analyzeQuality(e, analysis.progress()));

    Recorder r;
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::FrameCount, 50.0, count, r.progress())), kept);
    QVERIFY(r.log.isEmpty());
}

void TestQuality::unreadableFrameIsSkipped()
{
    QTemporaryDir dir;
    const QString a = fixtures::write(dir, QStringLiteral("a.png"), rated(10));
    const QString bad = fixtures::writeCorrupt(dir, QStringLiteral("b.png"));
    const QString c = fixtures::write(dir, QStringLiteral("c.png"), rated(30));
    const QString d = fixtures::write(dir, QStringLiteral("d.png"), rated(20));
    StackEngine e;
    e.addFrames({a, bad, c, d});
    Recorder r;
    QVERIFY(batch::analyzeQuality(e, r.progress()));
    QCOMPARE(r.log, QStringList({QStringLiteral("analyzing gradient quality..."), QStringLiteral("raw quality of ") + a + QStringLiteral(": 10.000000"),
                                 QStringLiteral("Could not read image file: ") + bad,
                                 QStringLiteral("raw quality of ") + c + QStringLiteral(": 30.000000"),
                                 QStringLiteral("raw quality of ") + d + QStringLiteral(": 20.000000"),
                                 QStringLiteral("min quality: 10.000000"), QStringLiteral("max quality: 30.000000"),
                                 QStringLiteral("avg quality: 20.000000")}));
    QCOMPARE(r.unreadable, QStringList{bad});
    QVERIFY(e.frames->record(1).quality < 0.0f);
    QCOMPARE_EQ(e.frames->record(3).quality, 50.0f);
    Recorder s;
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::MinimumQuality, 0.0, 20, s.progress())), QStringLiteral("x.xx"));
}

void TestQuality::noCheckedFrame()
{
    QTemporaryDir dir;
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("q"), {rated(10), rated(30)});
    StackEngine e;
    e.addFrames(paths);
    Recorder r;
    r.unchecked << 0 << 1;
    QVERIFY(!batch::analyzeQuality(e, r.progress()));
    QCOMPARE(r.log.size(), 1);
    QVERIFY(!r.log[0].isEmpty());
    QVERIFY(!r.log[0].startsWith(QStringLiteral("analyzing")));
    QCOMPARE(r.shown.size(), 0);
    QVERIFY(e.frameImage.isNull());
    QVERIFY(!e.qualityAnalysed);
    QCOMPARE_EQ(e.frames->record(0).quality, 0.0f);
    QCOMPARE_EQ(e.frames->record(1).quality, 0.0f);

    // Nothing was settled: with frames checked, the analysis runs.
    Recorder again;
    QVERIFY(batch::analyzeQuality(e, again.progress()));
    QCOMPARE(again.log.value(0), QStringLiteral("analyzing gradient quality..."));
    QCOMPARE_EQ(e.frames->record(1).quality, 100.0f);
}

void TestQuality::secondRunOnlySelects()
{
    QTemporaryDir dir;
    const QStringList paths =
        fixtures::writeSequence(dir, QStringLiteral("q"), {rated(10), rated(30), rated(20), rated(15), rated(25)});
    StackEngine e;
    e.addFrames(paths);
    Recorder first;
    QVERIFY(batch::analyzeQuality(e, first.progress()));
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::MinimumQuality, 50.0, 20, first.progress())), QStringLiteral(".xx.x"));

    // The frames are gone and another frame is on show: a second run must not touch either.
    for (const QString& p : paths)
        QVERIFY(QFile::remove(p));
    const QImage onShow = fixtures::solid(3, 3, qRgb(1, 2, 3));
    e.frameImage = onShow;
    Recorder second;
    second.unchecked << 0 << 3; // unchecked by the first selection
    QVERIFY(batch::analyzeQuality(e, second.progress()));
    QVERIFY(second.log.isEmpty());
    QVERIFY(second.status.isEmpty());
    QVERIFY(second.unreadable.isEmpty());
    QCOMPARE(second.shown.size(), 0);
    QCOMPARE(e.frameImage, onShow);
    const QVector<float> percent{0.0f, 100.0f, 50.0f, 25.0f, 75.0f};
    for (int i = 0; i < 5; ++i)
        QCOMPARE_EQ(e.frames->record(i).quality, percent[i]);

    // Re-selection works on the stored percentages, in either mode.
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::MinimumQuality, 70.0, 20, second.progress())), QStringLiteral(".x..x"));
    QCOMPARE(second.log, QStringList{QStringLiteral("2 frames active")});
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::FrameCount, 70.0, 3, second.progress())), QStringLiteral(".xx.x"));
    QCOMPARE(pattern(batch::selectFrames(e, batch::SelectionMode::MinimumQuality, 0.0, 3, second.progress())), QStringLiteral("xxxxx"));
}

QTEST_GUILESS_MAIN(TestQuality)
#include "tst_quality.moc"
