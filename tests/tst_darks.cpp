// Dark frames: the master dark's sums and weights, its use by the calibration of light frames, when a
// stacking run builds it, and how unusable dark frames are left out.
#include "batch.h"
#include "fixtures.h"
#include "stackengine.h"

#include <QtTest/QtTest>

namespace {

using fixtures::exact;
using fixtures::fraction;

// A dark of one colour with a different red value at (3, 2).
QImage darkWithRed(int red, int width = 8, int height = 6)
{
    return fixtures::withPixel(fixtures::solid(width, height, qRgb(4, 6, 8)), 3, 2, qRgb(red, 0, 7));
}

// A light frame over those darks: red 50, green 100, blue 8 at (3, 2), (50, 50, 50) elsewhere.
QImage lightFrame(int width = 8, int height = 6)
{
    return fixtures::withPixel(fixtures::solid(width, height, qRgb(50, 50, 50)), 3, 2, qRgb(50, 100, 8));
}

struct LogCapture {
    QStringList lines;
    batch::Progress progress()
    {
        batch::Progress p;
        p.log = [this](const QString& line) { lines.append(line); };
        return p;
    }
    LogFn fn()
    {
        return [this](const QString& line) { lines.append(line); };
    }
};

// An engine with an open sequence of two light frames (none aligned), as stacking expects it.
bool openSequence(StackEngine& e, const QTemporaryDir& dir)
{
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("light"), {lightFrame(), lightFrame()});
    if (paths.size() != 2)
        return false;
    e.addFrames(paths);
    return e.prepareSequence(paths.first()) == StackEngine::Status::Ok;
}

QString colourText(QRgb p)
{
    return QStringLiteral("(%1, %2, %3)").arg(qRed(p)).arg(qGreen(p)).arg(qBlue(p));
}

} // namespace

class TestDarks : public QObject {
    Q_OBJECT

private slots:
    void oneDarkGivesItsFractions();
    void threeDarksSumAndCalibrate();
    void supersampledDarks();
    void buildWithoutDarkSequence();
    void singleDarkPreventsTheStackingBuild();
    void newDarkListMakesMasterDarkStale();
    void unusableDarksAreLeftOut_data();
    void unusableDarksAreLeftOut();
    void noReadableDark();
};

void TestDarks::oneDarkGivesItsFractions()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QImage dark(9, 7, QImage::Format_RGB32);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 9; ++x)
            dark.setPixel(x, y, qRgb((x * 37 + y * 11) % 256, (x * 5 + y * 71) % 256, (x * y * 13 + 1) % 256));
    const QString path = fixtures::write(dir, QStringLiteral("dark.png"), dark);

    StackEngine e;
    e.setDarkList({path});
    QCOMPARE(e.darkSequenceLoaded, true);
    QCOMPARE(e.darkList, QStringList{path});
    QVERIFY(!e.masterDark);
    LogCapture log;
    QVERIFY(e.buildMasterDark(log.fn()));
    QCOMPARE(e.masterDarkBuilt, true);
    QVERIFY(log.lines.isEmpty());
    QVERIFY(e.masterDark);
    QCOMPARE(e.masterDark->width, 9);
    QCOMPARE(e.masterDark->height, 7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 9; ++x) {
            const QRgb p = dark.pixel(x, y);
            const float* m = e.masterDark->pixel(x, y);
            QVERIFY2(m[0] == fraction(qRed(p)) && m[1] == fraction(qGreen(p)) && m[2] == fraction(qBlue(p)) && m[3] == 1.0f,
                     qPrintable(QStringLiteral("(%1, %2): %3 %4 %5 %6 for %7")
                                    .arg(x).arg(y).arg(m[0]).arg(m[1]).arg(m[2]).arg(m[3]).arg(colourText(p))));
        }
}

void TestDarks::threeDarksSumAndCalibrate()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList darks = fixtures::writeSequence(dir, QStringLiteral("dark"),
                                                      {darkWithRed(10), darkWithRed(20), darkWithRed(30)});
    QCOMPARE(darks.size(), 3);

    StackEngine e;
    e.setDarkList(darks);
    QVERIFY(e.buildMasterDark());
    QVERIFY(e.masterDark);
    QCOMPARE(e.masterDark->width, 8);
    QCOMPARE(e.masterDark->height, 6);

    // Sums in single precision, in list order.
    float red = 0.0f;
    red += fraction(10);
    red += fraction(20);
    red += fraction(30);
    float background = 0.0f;
    for (int i = 0; i < 3; ++i)
        background += fraction(4);
    QCOMPARE(exact(e.masterDark->value(3, 2, 0)), exact(red));
    QCOMPARE(exact(e.masterDark->value(3, 2, 1)), exact(0.0f));
    QCOMPARE(exact(e.masterDark->value(3, 2, 3)), exact(3.0f));
    QCOMPARE(exact(e.masterDark->value(0, 0, 0)), exact(background));
    QCOMPARE(exact(e.masterDark->value(7, 5, 3)), exact(3.0f));
    QCOMPARE(exact(e.meanDark(3, 2, 0)), exact(red / 3.0f));
    QVERIFY(qAbs(red - 60.0f / 255.0f) < 1e-6f);

    e.previewDarkframe = true;
    e.darkframeGain = 1.0f;
    e.lightframeGain = 2.0f;
    const QString lightPath = fixtures::write(dir, QStringLiteral("light.png"), lightFrame());
    QVERIFY(e.loadFrame(lightPath));
    // (50, 100, 8) over a mean dark of (20, 0, 7): red 30 and green 100 doubled, blue 1 under the floor.
    QCOMPARE(colourText(e.frameImage.pixel(3, 2)), colourText(qRgb(60, 200, 0)));
    // (50, 50, 50) over (4, 6, 8) elsewhere.
    QCOMPARE(colourText(e.frameImage.pixel(0, 0)), colourText(qRgb(92, 88, 84)));
    QCOMPARE(colourText(e.frameImage.pixel(7, 5)), colourText(qRgb(92, 88, 84)));
}

void TestDarks::supersampledDarks()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QImage dark = fixtures::solid(320, 240, qRgb(3, 5, 7));
    dark.setPixel(100, 50, qRgb(200, 150, 100));
    dark.setPixel(319, 239, qRgb(90, 80, 70));
    const QStringList darks = fixtures::writeSequence(dir, QStringLiteral("dark"), {dark, dark});

    StackEngine e;
    e.supersample = true;
    e.scaleFactor = 2;
    e.setDarkList(darks);
    QVERIFY(e.buildMasterDark());
    QVERIFY(e.masterDark);
    QCOMPARE(e.masterDark->width, 640);
    QCOMPARE(e.masterDark->height, 480);
    const float twice200 = fraction(200) + fraction(200);
    for (int y : {100, 101})
        for (int x : {200, 201}) {
            QCOMPARE(exact(e.masterDark->value(x, y, 0)), exact(twice200));
            QCOMPARE(exact(e.masterDark->value(x, y, 3)), exact(2.0f));
        }
    QCOMPARE(exact(e.masterDark->value(202, 100, 0)), exact(fraction(3) + fraction(3)));
    QCOMPARE(exact(e.masterDark->value(639, 479, 2)), exact(fraction(70) + fraction(70)));
    QCOMPARE(exact(e.masterDark->value(638, 478, 3)), exact(2.0f));
}

void TestDarks::buildWithoutDarkSequence()
{
    StackEngine e;
    QVERIFY(e.buildMasterDark());
    QVERIFY(!e.masterDark);
    QCOMPARE(e.masterDarkBuilt, true);

    // A master dark built earlier stays when the build finds no dark sequence.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StackEngine f;
    f.setDarkList(fixtures::writeSequence(dir, QStringLiteral("dark"), {darkWithRed(10)}));
    QVERIFY(f.buildMasterDark());
    const FloatImage* built = f.masterDark.get();
    QVERIFY(built);
    f.darkSequenceLoaded = false;
    f.masterDarkBuilt = false;
    QVERIFY(f.buildMasterDark());
    QCOMPARE(f.masterDark.get(), built);
    QCOMPARE(exact(f.masterDark->value(3, 2, 0)), exact(fraction(10)));
    QCOMPARE(f.masterDarkBuilt, true);
}

void TestDarks::singleDarkPreventsTheStackingBuild()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList darks = fixtures::writeSequence(dir, QStringLiteral("dark"), {darkWithRed(10), darkWithRed(30)});

    // A dark sequence was set but never built; then a single dark frame was opened.
    StackEngine e;
    QVERIFY(openSequence(e, dir));
    e.setDarkList(darks);
    e.darkSequenceLoaded = false;
    LogCapture log;
    QVERIFY(batch::stackAll(e, log.progress()));
    // The run goes for the build, which finds no dark sequence and builds nothing.
    QVERIFY2(log.lines.contains(QStringLiteral("building master darkframe...")), qPrintable(log.lines.join('\n')));
    QVERIFY(!e.masterDark);
    QCOMPARE(e.masterDarkBuilt, true);

    // Preprocessing then has no dark to subtract.
    e.previewDarkframe = true;
    QVERIFY(e.loadFrame(e.frames->path(0)));
    QCOMPARE(colourText(e.frameImage.pixel(3, 2)), colourText(qRgb(50, 100, 8)));

    // After a build, a single dark frame leaves the built master dark in use and unchanged.
    StackEngine f;
    QVERIFY(openSequence(f, dir));
    f.setDarkList(darks);
    QVERIFY(f.buildMasterDark());
    const FloatImage* built = f.masterDark.get();
    QVERIFY(built);
    f.darkSequenceLoaded = false;
    QVERIFY(batch::stackAll(f, LogCapture().progress()));
    QCOMPARE(f.masterDark.get(), built);
    QCOMPARE(exact(f.masterDark->value(3, 2, 0)), exact(fraction(10) + fraction(30)));
    QCOMPARE(exact(f.masterDark->value(3, 2, 3)), exact(2.0f));
}

void TestDarks::newDarkListMakesMasterDarkStale()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList first = fixtures::writeSequence(dir, QStringLiteral("darkA"), {darkWithRed(10)});
    const QStringList second = fixtures::writeSequence(dir, QStringLiteral("darkB"), {darkWithRed(40), darkWithRed(40)});

    StackEngine e;
    QVERIFY(openSequence(e, dir));
    // A dark list set without building ("No"): the first stacking builds it.
    e.setDarkList(first);
    QCOMPARE(e.masterDarkBuilt, false);
    LogCapture run1;
    QVERIFY(batch::stackAll(e, run1.progress()));
    QVERIFY2(run1.lines.contains(QStringLiteral("building master darkframe...")), qPrintable(run1.lines.join('\n')));
    QVERIFY(e.masterDark);
    QCOMPARE(exact(e.masterDark->value(3, 2, 0)), exact(fraction(10)));
    QCOMPARE(exact(e.masterDark->value(3, 2, 3)), exact(1.0f));

    // A new list makes that master dark stale: the next stacking builds from the new list.
    e.setDarkList(second);
    QCOMPARE(e.masterDarkBuilt, false);
    QCOMPARE(e.darkSequenceLoaded, true);
    LogCapture run2;
    QVERIFY(batch::stackAll(e, run2.progress()));
    QVERIFY2(run2.lines.contains(QStringLiteral("building master darkframe...")), qPrintable(run2.lines.join('\n')));
    QVERIFY(!run2.lines.contains(QStringLiteral("master darkframe already built, skipping.")));
    QCOMPARE(e.masterDarkBuilt, true);
    QVERIFY(e.masterDark);
    QCOMPARE(exact(e.masterDark->value(3, 2, 0)), exact(fraction(40) + fraction(40)));
    QCOMPARE(exact(e.masterDark->value(3, 2, 3)), exact(2.0f));

    e.previewDarkframe = true;
    QVERIFY(e.loadFrame(e.frames->path(0)));
    QCOMPARE(colourText(e.frameImage.pixel(3, 2)), colourText(qRgb(10, 100, 0)));

    // Once built, a further run keeps it.
    e.previewDarkframe = false;
    const FloatImage* built = e.masterDark.get();
    LogCapture run3;
    QVERIFY(batch::stackAll(e, run3.progress()));
    QVERIFY2(run3.lines.contains(QStringLiteral("master darkframe already built, skipping.")), qPrintable(run3.lines.join('\n')));
    QVERIFY(!run3.lines.contains(QStringLiteral("building master darkframe...")));
    QCOMPARE(e.masterDark.get(), built);
}

void TestDarks::unusableDarksAreLeftOut_data()
{
    QTest::addColumn<int>("bad");      // position of the unusable dark among three
    QTest::addColumn<QString>("kind"); // corrupt, missing or size
    QTest::newRow("corrupt in the middle") << 1 << "corrupt";
    QTest::newRow("missing in the middle") << 1 << "missing";
    QTest::newRow("another size in the middle") << 1 << "size";
    QTest::newRow("taller in the middle") << 1 << "taller";
    QTest::newRow("corrupt first") << 0 << "corrupt";
    QTest::newRow("corrupt last") << 2 << "corrupt";
    QTest::newRow("another size last") << 2 << "size";
}

void TestDarks::unusableDarksAreLeftOut()
{
    QFETCH(int, bad);
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The two usable darks have red 10 and 30 at (3, 2), in this order around the unusable one.
    QStringList darks;
    QString badPath;
    int good = 0;
    for (int i = 0; i < 3; ++i) {
        const QString name = QStringLiteral("dark%1.png").arg(i);
        if (i == bad) {
            if (kind == QLatin1String("corrupt"))
                badPath = fixtures::writeCorrupt(dir, name);
            else if (kind == QLatin1String("missing"))
                badPath = dir.filePath(name);
            else if (kind == QLatin1String("size"))
                badPath = fixtures::write(dir, name, darkWithRed(200, 9, 6));
            else
                badPath = fixtures::write(dir, name, darkWithRed(200, 8, 7));
            QVERIFY(!badPath.isEmpty());
            darks << badPath;
        } else {
            darks << fixtures::write(dir, name, darkWithRed(good++ == 0 ? 10 : 30));
        }
    }
    const bool sizeIssue = kind == QLatin1String("size") || kind == QLatin1String("taller");
    const QString expectedLine = (sizeIssue ? QStringLiteral("Dark frame of a different size left out: ")
                                            : QStringLiteral("Could not read dark frame: "))
        + badPath;

    StackEngine e;
    e.setDarkList(darks);
    LogCapture log;
    QStringList leftOut;
    QVERIFY(e.buildMasterDark(log.fn(), &leftOut));
    QCOMPARE(leftOut, QStringList{badPath});
    QVERIFY2(log.lines.contains(expectedLine), qPrintable(log.lines.join('\n')));
    for (const QString& line : log.lines)
        for (const QString& path : darks)
            QVERIFY2(path == badPath || !line.contains(path), qPrintable(line));

    QVERIFY(e.masterDark);
    QCOMPARE(e.masterDark->width, 8);
    QCOMPARE(e.masterDark->height, 6);
    const float red = fraction(10) + fraction(30);
    QCOMPARE(exact(e.masterDark->value(3, 2, 0)), exact(red));
    QCOMPARE(exact(e.masterDark->value(3, 2, 3)), exact(2.0f));
    QCOMPARE(exact(e.masterDark->value(7, 5, 3)), exact(2.0f));
    // The mean divides by the two darks summed, not by the three paths: 20 at (3, 2).
    QCOMPARE(exact(e.meanDark(3, 2, 0)), exact(red / 2.0f));
    QCOMPARE(exact(e.meanDark(0, 0, 1)), exact((fraction(6) + fraction(6)) / 2.0f));

    e.previewDarkframe = true;
    const QString lightPath = fixtures::write(dir, QStringLiteral("light.png"), lightFrame());
    QVERIFY(e.loadFrame(lightPath));
    QCOMPARE(colourText(e.frameImage.pixel(3, 2)), colourText(qRgb(30, 100, 0)));
    QCOMPARE(colourText(e.frameImage.pixel(0, 0)), colourText(qRgb(46, 44, 42)));
}

void TestDarks::noReadableDark()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString corrupt = fixtures::writeCorrupt(dir, QStringLiteral("a.png"));
    const QString missing = dir.filePath(QStringLiteral("b.png"));

    StackEngine e;
    e.setDarkList({corrupt, missing});
    LogCapture log;
    QStringList leftOut;
    e.buildMasterDark(log.fn(), &leftOut);
    QVERIFY(!e.masterDark);
    QCOMPARE(e.masterDarkBuilt, true);
    QCOMPARE(leftOut, (QStringList{corrupt, missing}));
    QVERIFY(log.lines.contains(QStringLiteral("Could not read dark frame: ") + corrupt));
    QVERIFY(log.lines.contains(QStringLiteral("Could not read dark frame: ") + missing));

    e.previewDarkframe = true;
    const QString lightPath = fixtures::write(dir, QStringLiteral("light.png"), lightFrame());
    QVERIFY(e.loadFrame(lightPath));
    QCOMPARE(colourText(e.frameImage.pixel(3, 2)), colourText(qRgb(50, 100, 8)));
}

QTEST_GUILESS_MAIN(TestDarks)
#include "tst_darks.moc"
