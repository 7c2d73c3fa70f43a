// Luminance feature alignment on the engine side: the detection rules (margin, box filter, luminance,
// distance gate, raster order), colour normalisation, the reference pick and the alignment loop.
// Expected values are worked out by hand or by small computations written here from the rules.
#include "batch.h"
#include "framework.h"
#include "parallel.h"
#include "fixtures.h"
#include "stackengine.h"
#include "synthetic.h"

#include <QtTest/QtTest>

#include <QRegularExpression>
#include <QSet>

#include <cmath>
#include <cstring>

namespace {

using fixtures::detectionLuma;
using fixtures::isTimedLine;
using fixtures::isTotalLine;
using fixtures::meanOf;
using fixtures::randomImage;
using fixtures::Recorder;
using fixtures::referenceRequest;
using fixtures::rgba64;

const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kWarm = qRgb(220, 200, 180);

// The square outline: for e = -R .. R-1 the four sides, each coordinate truncated after the addition.
void paintSquare(QImage& image, double cx, double cy, int radius, QRgb colour)
{
    auto put = [&](double x, double y) {
        const int ix = int(x), iy = int(y);
        if (ix >= 0 && iy >= 0 && ix < image.width() && iy < image.height())
            image.setPixel(ix, iy, colour);
    };
    for (int e = -radius; e < radius; ++e) {
        put(cx + e, cy - radius);
        put(cx + e, cy + radius);
        put(cx + radius, cy + e);
        put(cx - radius, cy + e);
    }
}

QImage withPixels(QImage image, const QVector<QPoint>& points, QRgb colour)
{
    for (const QPoint& p : points)
        image.setPixel(p, colour);
    return image;
}

QImage withBlock(QImage image, int cx, int cy, int half, QRgb colour)
{
    for (int y = cy - half; y <= cy + half; ++y)
        for (int x = cx - half; x <= cx + half; ++x)
            image.setPixel(x, y, colour);
    return image;
}

struct Extents {
    int minDx, maxDx, minDy, maxDy;
    bool operator==(const Extents& o) const
    {
        return minDx == o.minDx && maxDx == o.maxDx && minDy == o.minDy && maxDy == o.maxDy;
    }
};

Extents extentsOf(const StackEngine& e) { return {e.minDx, e.maxDx, e.minDy, e.maxDy}; }

char* toString(const Extents& e)
{
    return qstrdup(QStringLiteral("x %1..%2, y %3..%4").arg(e.minDx).arg(e.maxDx).arg(e.minDy).arg(e.maxDy).toUtf8().constData());
}

} // namespace

class TestAlignment : public QObject
{
    Q_OBJECT

    // Runs the engine's detection on an image held as frame 0's working image. The record and the
    // feature position are primed with values that a detection without result must leave alone.
    struct Detected {
        bool found;
        QPoint position;
    };
    Detected detect(const QImage& image, int threshold, int filter, int radius)
    {
        StackEngine e;
        e.addFrames({QStringLiteral("frame.png")});
        e.frames->update(0, [](FrameRecord& r) {
            r.x = -3;
            r.y = -4;
            r.aligned = true;
        });
        e.featureX = -5;
        e.featureY = -6;
        e.workImage = image;
        e.filterSize = filter;
        e.searchRadius = radius;
        e.detectFeature(0, threshold);
        const FrameRecord r = e.frames->record(0);
        [&] {
            QCOMPARE(e.lumaThreshold, threshold);
            QCOMPARE(r.aligned, e.featureFound);
            QCOMPARE(r.valid, e.featureFound);
            if (e.featureFound) {
                QCOMPARE(QPoint(r.x, r.y), QPoint(e.featureX, e.featureY));
            } else {
                QCOMPARE(QPoint(r.x, r.y), QPoint(-3, -4));
                QCOMPARE(QPoint(e.featureX, e.featureY), QPoint(-5, -6));
            }
        }();
        return {e.featureFound, QPoint(e.featureX, e.featureY)};
    }

private slots:
    // ---- detection ---------------------------------------------------------------------------
    void detectionLuminance_data();
    void detectionLuminance();
    void margin_data();
    void margin();
    void smallFrames_data();
    void smallFrames();
    void boxFilter_data();
    void boxFilter();
    void thresholdZero_data();
    void thresholdZero();
    void distanceGate_data();
    void distanceGate();
    void twoObjects_data();
    void twoObjects();

    // ---- colour ------------------------------------------------------------------------------
    void meanColour_data();
    void meanColour();
    void meanColourExactCase();
    void normalizeColour_data();
    void normalizeColour();
    void normalisationFoldedIntoTheSearch();

    // ---- reference pick ------------------------------------------------------------------------
    void previewAndBasePattern();
    void failedPickKeepsReference_data();
    void failedPickKeepsReference();
    void pickMovesReference();

    // ---- alignment loop ----------------------------------------------------------------------
    void refusesWithoutReference_data();
    void refusesWithoutReference();
    void logAndCounts();
    void smallFramesInLoop();
    void statusPercentage_data();
    void statusPercentage();
    void uncheckedFramesKeepRecords();
    void extentsOnlyWiden();
    void knownShiftsOfSymmetricPlanet_data();
    void knownShiftsOfSymmetricPlanet();
    void shiftedCopiesGiveExactOffsets();
};

// ---- detection -------------------------------------------------------------------------------

void TestAlignment::detectionLuminance_data()
{
    QTest::addColumn<QRgb>("colour");
    QTest::addColumn<int>("threshold");
    QTest::addColumn<bool>("found");

    // The three weights add up to a hair below 1 in double precision, so a grey pixel's luminance
    // can fall one level below its value: grey 100 is 99.
    QTest::newRow("grey 100 at 99") << qRgb(100, 100, 100) << 99 << true;
    QTest::newRow("grey 100 at 100") << qRgb(100, 100, 100) << 100 << false;
    QTest::newRow("grey 101 at 101") << qRgb(101, 101, 101) << 101 << true;
    const QRgb colours[] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(10, 200, 30), qRgb(250, 17, 140)};
    for (QRgb c : colours) {
        const int l = detectionLuma(qRed(c), qGreen(c), qBlue(c));
        const QByteArray name = QByteArray::number(qRed(c)) + "," + QByteArray::number(qGreen(c)) + ","
                                + QByteArray::number(qBlue(c));
        QTest::newRow((name + " at its luminance").constData()) << c << l << true;
        QTest::newRow((name + " one above").constData()) << c << l + 1 << false;
    }
}

void TestAlignment::detectionLuminance()
{
    QFETCH(QRgb, colour);
    QFETCH(int, threshold);
    QFETCH(bool, found);
    QCOMPARE(detectionLuma(100, 100, 100), 99);
    QCOMPARE(detectionLuma(255, 0, 0), 54);
    QCOMPARE(detectionLuma(0, 255, 0), 182);

    const QImage image = fixtures::withPixel(fixtures::solid(90, 70, kBlack), 47, 33, colour);
    const Detected d = detect(image, threshold, 0, 10);
    QCOMPARE(d.found, found);
    if (found)
        QCOMPARE(d.position, QPoint(47, 33));
}

void TestAlignment::margin_data()
{
    QTest::addColumn<QPoint>("pixel");
    QTest::addColumn<bool>("found");
    // A 100 x 80 frame: columns 20..79 and rows 20..59 are examined.
    QTest::newRow("x = 19") << QPoint(19, 40) << false;
    QTest::newRow("x = 20") << QPoint(20, 40) << true;
    QTest::newRow("x = W-21") << QPoint(79, 40) << true;
    QTest::newRow("x = W-20") << QPoint(80, 40) << false;
    QTest::newRow("y = 19") << QPoint(50, 19) << false;
    QTest::newRow("y = 20") << QPoint(50, 20) << true;
    QTest::newRow("y = H-21") << QPoint(50, 59) << true;
    QTest::newRow("y = H-20") << QPoint(50, 60) << false;
    QTest::newRow("corner 20,20") << QPoint(20, 20) << true;
    QTest::newRow("corner W-21,H-21") << QPoint(79, 59) << true;
    QTest::newRow("corner 0,0") << QPoint(0, 0) << false;
}

void TestAlignment::margin()
{
    QFETCH(QPoint, pixel);
    QFETCH(bool, found);
    const QImage image = fixtures::withPixel(fixtures::solid(100, 80, kBlack), pixel.x(), pixel.y(), kWhite);
    const Detected d = detect(image, 128, 0, 20);
    QCOMPARE(d.found, found);
    if (found)
        QCOMPARE(d.position, pixel);
}

void TestAlignment::smallFrames_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("found");
    // Wholly white frames, so only the margin can refuse them.
    QTest::newRow("40 wide") << QSize(40, 100) << false;
    QTest::newRow("40 high") << QSize(100, 40) << false;
    QTest::newRow("40 x 40") << QSize(40, 40) << false;
    QTest::newRow("30 x 200") << QSize(30, 200) << false;
    QTest::newRow("41 wide") << QSize(41, 100) << true;
    QTest::newRow("41 high") << QSize(100, 41) << true;
    QTest::newRow("41 x 41") << QSize(41, 41) << true;
}

void TestAlignment::smallFrames()
{
    QFETCH(QSize, size);
    QFETCH(bool, found);
    // With R = 1 nothing joins the seed, which is the first examined pixel (20, 20).
    const Detected d = detect(fixtures::solid(size.width(), size.height(), kWhite), 200, 2, 1);
    QCOMPARE(d.found, found);
    if (found)
        QCOMPARE(d.position, QPoint(20, 20));
}

void TestAlignment::boxFilter_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("filter");
    QTest::addColumn<int>("threshold");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QPoint>("position");

    const QImage black = fixtures::solid(100, 80, kBlack);
    const QImage lone = fixtures::withPixel(black, 50, 40, kWhite);
    QTest::newRow("filter 0: the box is the pixel") << lone << 0 << 100 << true << QPoint(50, 40);
    QTest::newRow("filter 0: the pixel at 255") << lone << 0 << 255 << true << QPoint(50, 40);
    // 255 / 25 = 10 per channel.
    const int t10 = detectionLuma(10, 10, 10);
    QTest::newRow("filter 2: lone pixel fails the box") << lone << 2 << 100 << false << QPoint();
    QTest::newRow("filter 2: lone pixel at the box mean") << lone << 2 << t10 << true << QPoint(50, 40);
    QTest::newRow("filter 2: lone pixel one above") << lone << 2 << t10 + 1 << false << QPoint();
    // In a bright 5 x 5 block only the four corners see fewer than 10 bright pixels in their box
    // (9 x 255 / 25 = 91); what passes is symmetric about the centre.
    QTest::newRow("filter 2: 5x5 block passes") << withBlock(black, 50, 40, 2, kWhite) << 2 << 100 << true << QPoint(50, 40);
    QTest::newRow("filter 1: 5x5 block passes") << withBlock(black, 50, 40, 2, kWhite) << 1 << 100 << true << QPoint(50, 40);
    // Every pixel of a bright 3 x 3 block has the whole block in its 5 x 5 box: 9 x 255 / 25 = 91.
    const int t91 = detectionLuma(91, 91, 91);
    QTest::newRow("filter 2: 3x3 block at the box mean") << withBlock(black, 50, 40, 1, kWhite) << 2 << t91 << true << QPoint(50, 40);
    QTest::newRow("filter 2: 3x3 block one above") << withBlock(black, 50, 40, 1, kWhite) << 2 << t91 + 1 << false << QPoint();
    // The box sum is divided with integer division: 255 + 8 x 25 = 455 gives 50 (luminance 49), while
    // 255 + 7 x 25 + 29 = 459 gives 51 (luminance 51). A rounded mean would turn 455 into 51.
    QImage ring455 = withBlock(black, 50, 40, 1, qRgb(25, 25, 25));
    ring455.setPixel(50, 40, kWhite);
    QImage ring459 = ring455;
    ring459.setPixel(51, 41, qRgb(29, 29, 29));
    const int t51 = detectionLuma(51, 51, 51);
    QTest::newRow("filter 1: box sum 455 / 9") << ring455 << 1 << t51 << false << QPoint();
    QTest::newRow("filter 1: box sum 459 / 9") << ring459 << 1 << t51 << true << QPoint(50, 40);
}

void TestAlignment::boxFilter()
{
    QFETCH(QImage, image);
    QFETCH(int, filter);
    QFETCH(int, threshold);
    QFETCH(bool, found);
    QFETCH(QPoint, position);
    QCOMPARE(detectionLuma(50, 50, 50), 49);
    QCOMPARE(detectionLuma(51, 51, 51), 51);
    const Detected d = detect(image, threshold, filter, 10);
    QCOMPARE(d.found, found);
    if (found)
        QCOMPARE(d.position, position);
}

void TestAlignment::thresholdZero_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("radius");
    QTest::addColumn<QPoint>("position");

    // Worked by hand. 45 x 42 black, R = 2: rows 20..21, columns 20..24.
    //   row 20: (20) seeds; (21) |21-20| = 1; (22) |22-20.5| = 1.5; (23) |23-21| = 2: rejected.
    //   row 21: (20), (21), (22) join (distances below 2), (23) |23-21| = 2: rejected.
    //   six pixels, centroid (126/6, 123/6) = (21, 20.5).
    QTest::newRow("45x42, R 2") << fixtures::solid(45, 42, kBlack) << 2 << QPoint(21, 20);
    // Same start on a larger frame: row 22 joins at columns 20..22 (y distance 1.5), row 23 is 2 away:
    // the 3 x 3 block 20..22.
    QTest::newRow("100x80, R 2") << fixtures::solid(100, 80, kBlack) << 2 << QPoint(21, 21);
    // A bright object elsewhere changes nothing: every examined pixel passes anyway.
    QTest::newRow("100x80, R 2, bright block") << withBlock(fixtures::solid(100, 80, kBlack), 60, 50, 5, kWhite) << 2
                                              << QPoint(21, 21);
    QTest::newRow("100x80, R 1: the seed alone") << fixtures::solid(100, 80, kWhite) << 1 << QPoint(20, 20);
    // One column (x = 20), rows 20..79: row k joins while k - (19 + k) / 2 < 20, i.e. up to row 58;
    // centroid (20 + 58) / 2 = 39.
    QTest::newRow("41x100, R 20") << fixtures::solid(41, 100, kBlack) << 20 << QPoint(20, 39);
}

void TestAlignment::thresholdZero()
{
    QFETCH(QImage, image);
    QFETCH(int, radius);
    QFETCH(QPoint, position);
    const Detected d = detect(image, 0, 2, radius);
    QVERIFY(d.found);
    QCOMPARE(d.position, position);
}

void TestAlignment::distanceGate_data()
{
    QTest::addColumn<QVector<QPoint>>("pixels");
    QTest::addColumn<QPoint>("position");
    // R = 10, lone white pixels, filter 0. The seed is the first pixel in raster order.
    const QPoint seed(40, 30);
    QTest::newRow("x distance R") << QVector<QPoint>{seed, {50, 30}} << QPoint(40, 30);
    QTest::newRow("x distance R-1") << QVector<QPoint>{seed, {49, 30}} << QPoint(44, 30);
    QTest::newRow("y distance R") << QVector<QPoint>{seed, {40, 40}} << QPoint(40, 30);
    QTest::newRow("y distance R-1") << QVector<QPoint>{seed, {40, 39}} << QPoint(40, 34);
    QTest::newRow("x distance R to the left") << QVector<QPoint>{seed, {30, 31}} << QPoint(40, 30);
    QTest::newRow("x distance R-1 to the left") << QVector<QPoint>{seed, {31, 31}} << QPoint(35, 30);
    QTest::newRow("both distances R-1") << QVector<QPoint>{seed, {49, 39}} << QPoint(44, 34);
    // Against the running centroid, not the seed: (40) and (48) put it at 44.
    QTest::newRow("running centroid, distance R") << QVector<QPoint>{seed, {48, 30}, {54, 30}} << QPoint(44, 30);
    QTest::newRow("running centroid, distance R-1") << QVector<QPoint>{seed, {48, 30}, {53, 30}} << QPoint(47, 30);
    // (52, 31) joins the centroid (44, 30); (55, 31), 15 from the seed, is 8.3 from (46.7, 30.3) and
    // joins too: (195 / 4, 122 / 4) = (48.75, 30.5).
    QTest::newRow("chain grows within R") << QVector<QPoint>{seed, {48, 30}, {52, 31}, {55, 31}} << QPoint(48, 30);
}

void TestAlignment::distanceGate()
{
    QFETCH(QVector<QPoint>, pixels);
    QFETCH(QPoint, position);
    const QImage image = withPixels(fixtures::solid(100, 80, kBlack), pixels, kWhite);
    const Detected d = detect(image, 200, 0, 10);
    QVERIFY(d.found);
    QCOMPARE(d.position, position);
}

void TestAlignment::twoObjects_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QPoint>("position");
    const QImage black = fixtures::solid(120, 100, kBlack);
    // R = 10 below; the objects lie farther apart.
    QTest::newRow("upper right before lower left")
        << withBlock(withBlock(black, 80, 30, 2, kWhite), 30, 60, 2, kWhite) << QPoint(80, 30);
    QTest::newRow("same rows: left one") << withBlock(withBlock(black, 30, 50, 2, kWhite), 80, 50, 2, kWhite)
                                         << QPoint(30, 50);
    QTest::newRow("left one starts one row lower")
        << withBlock(withBlock(black, 30, 51, 2, kWhite), 80, 50, 2, kWhite) << QPoint(80, 50);
    // A small dim object met first wins over a large bright one below it.
    QTest::newRow("small dim one first")
        << withBlock(withBlock(black, 90, 25, 1, qRgb(200, 200, 200)), 40, 60, 6, kWhite) << QPoint(90, 25);
}

void TestAlignment::twoObjects()
{
    QFETCH(QImage, image);
    QFETCH(QPoint, position);
    const Detected d = detect(image, 150, 0, 10);
    QVERIFY(d.found);
    QCOMPARE(d.position, position);
}

// ---- colour ----------------------------------------------------------------------------------

void TestAlignment::meanColour_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<bool>("separatesPrecision");
    QTest::newRow("random 640x480") << randomImage(640, 480, 77, 0, 255) << true;
    QTest::newRow("random 1920x1080") << randomImage(1920, 1080, 78, 0, 255) << false;
    QTest::newRow("dark random 1920x1080") << randomImage(1920, 1080, 79, 0, 9) << false;
    QTest::newRow("uniform 1920x1080") << fixtures::solid(1920, 1080, qRgb(37, 201, 3)) << false;
    QImage gradient(1000, 700, QImage::Format_RGB32);
    for (int y = 0; y < gradient.height(); ++y)
        for (int x = 0; x < gradient.width(); ++x)
            gradient.setPixel(x, y, qRgb(x % 256, y % 256, (x + y) % 256));
    QTest::newRow("gradients 1000x700") << gradient << false;
    QImage bands = fixtures::solid(1500, 900, qRgb(250, 250, 250));
    for (int y = 0; y < bands.height(); y += 7)
        for (int x = 0; x < bands.width(); ++x)
            bands.setPixel(x, y, qRgb(1, 128, 255));
    QTest::newRow("bands 1500x900") << bands << false;
    // After the first row the sums are tiny (1/255): a white pixel is 2^31 units of their binade.
    QImage faintThenWhite = fixtures::solid(64, 4, qRgb(255, 255, 255));
    for (int x = 0; x < faintThenWhite.width(); ++x)
        faintThenWhite.setPixel(x, 0, x ? qRgb(0, 0, 0) : qRgb(1, 1, 1));
    QTest::newRow("faint first row, then white") << faintThenWhite << false;
    QTest::newRow("one pixel") << fixtures::solid(1, 1, qRgb(12, 34, 56)) << false;
    QTest::newRow("one row") << randomImage(4000, 1, 80, 0, 255) << false;
    QTest::newRow("one column") << randomImage(1, 3000, 81, 0, 255) << false;
}

void TestAlignment::meanColour()
{
    QFETCH(QImage, image);
    QFETCH(bool, separatesPrecision);
    const QColor expected = meanOf(image);
    if (separatesPrecision) {
        // The single-precision running sums drift from the exact ones far enough to change the
        // 16-bit mean, which tells a double-precision sum apart.
        double r = 0, g = 0, b = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = image.pixel(x, y);
                r += qRed(p) / 255.0;
                g += qGreen(p) / 255.0;
                b += qBlue(p) / 255.0;
            }
        const double n = image.width() * image.height();
        const QColor exact = QColor::fromRgbF(float(r / n), float(g / n), float(b / n));
        QVERIFY2(rgba64(exact) != rgba64(expected), "the fixture must separate single from double precision sums");
    }

    StackEngine e;
    e.workImage = image;
    const QColor mean = e.meanColor();
    QCOMPARE(mean.rgba64().red(), expected.rgba64().red());
    QCOMPARE(mean.rgba64().green(), expected.rgba64().green());
    QCOMPARE(mean.rgba64().blue(), expected.rgba64().blue());
}

void TestAlignment::meanColourExactCase()
{
    // Red 0, 255, 255, 0 averages to one half; green to 25; blue to 1.
    QImage two(2, 2, QImage::Format_RGB32);
    two.setPixel(0, 0, qRgb(0, 10, 255));
    two.setPixel(1, 0, qRgb(255, 20, 255));
    two.setPixel(0, 1, qRgb(255, 30, 255));
    two.setPixel(1, 1, qRgb(0, 40, 255));
    StackEngine e;
    e.workImage = two;
    const QColor half = e.meanColor();
    QCOMPARE(half.rgba64().red(), quint16(32768)); // 0.5 x 65535 rounded
    QCOMPARE(half.rgba64().green(), quint16(25 * 257));
    QCOMPARE(half.rgba64().blue(), quint16(65535));
}

void TestAlignment::normalizeColour_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QColor>("reference");
    QTest::addColumn<QImage>("expected");

    auto row = [](std::initializer_list<QRgb> pixels) {
        QImage image(int(pixels.size()), 1, QImage::Format_RGB32);
        int x = 0;
        for (QRgb p : pixels)
            image.setPixel(x++, 0, p);
        return image;
    };
    // Means (125, 100, 40); the reference (250, 50, 40) gives gains 2, 0.5 and 1; 200 x 2 clamps at 255.
    QTest::newRow("scale and clamp") << row({qRgb(50, 100, 20), qRgb(200, 100, 60)}) << QColor(250, 50, 40)
                                     << row({qRgb(100, 50, 20), qRgb(255, 50, 60)});
    QTest::newRow("equal means: unchanged") << row({qRgb(7, 100, 250), qRgb(93, 30, 0)}) << QColor(50, 65, 125)
                                            << row({qRgb(7, 100, 250), qRgb(93, 30, 0)});
    QTest::newRow("darker reference") << row({qRgb(40, 80, 120), qRgb(120, 160, 200)}) << QColor(20, 60, 80)
                                      << row({qRgb(10, 40, 60), qRgb(30, 80, 100)});
    // Red and blue have mean 0: left as they are, whatever the reference asks for.
    QTest::newRow("zero means") << row({qRgb(0, 80, 0), qRgb(0, 120, 0)}) << QColor(200, 100, 255)
                                << row({qRgb(0, 80, 0), qRgb(0, 120, 0)});
    QTest::newRow("zero means, black reference") << row({qRgb(0, 80, 0), qRgb(0, 120, 0)}) << QColor(0, 100, 0)
                                                 << row({qRgb(0, 80, 0), qRgb(0, 120, 0)});
    // One blue level in 90000 pixels: the mean colour keeps 16 bits, so its blue is 0 and the
    // channel stays as it is (the exact mean would call for a huge gain).
    QImage sparse = fixtures::solid(300, 300, kBlack);
    sparse.setPixel(150, 150, qRgb(0, 0, 1));
    QTest::newRow("mean below 16-bit precision") << sparse << QColor(10, 20, 200) << sparse;
}

void TestAlignment::normalizeColour()
{
    QFETCH(QImage, image);
    QFETCH(QColor, reference);
    QFETCH(QImage, expected);
    StackEngine e;
    e.workImage = image;
    e.referenceColor = reference;
    e.normalizeColor();
    QCOMPARE(e.workImage.size(), expected.size());
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x)
            if (e.workImage.pixel(x, y) != expected.pixel(x, y))
                QFAIL(qPrintable(QStringLiteral("pixel (%1, %2): %3, expected %4")
                                     .arg(x).arg(y)
                                     .arg(QColor(e.workImage.pixel(x, y)).name(), QColor(expected.pixel(x, y)).name())));
}

// The alignment maps the pixels it reads instead of normalising a copy of the frame, and the
// refinement normalises only its search window: both must give what normalising the whole frame
// first gives. Colour casts whose gains clamp, a channel of mean 0 (kept as it is), thresholds at
// both ends, windows partly outside the frame, one and two threads.
void TestAlignment::normalisationFoldedIntoTheSearch()
{
    struct Case {
        QImage frame;
        QColor reference;
    };
    QImage noRed = synth::renderPlanet([] {
        synth::Planet p;
        p.width = 160;
        p.height = 120;
        p.cx = 70.3;
        p.cy = 64.8;
        p.radius = 30;
        p.noise = 3;
        p.seed = 8;
        return p;
    }());
    for (int y = 0; y < noRed.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(noRed.scanLine(y));
        for (int x = 0; x < noRed.width(); ++x)
            line[x] = qRgb(0, qGreen(line[x]), qBlue(line[x]) / 2);
    }
    const QImage speckled = randomImage(150, 110, 31, 0, 255);
    const QImage dim = randomImage(140, 100, 32, 10, 90);
    const std::vector<Case> cases = {
        {noRed, QColor(200, 90, 250)},
        {speckled, QColor(40, 200, 120)},
        {dim, QColor(250, 250, 250)}, // gains above 2: most values clamp at 255
        {dim, QColor(3, 60, 1)},
    };
    const int thresholds[] = {0, 1, 40, 75, 200, 255};
    const int filters[] = {0, 2};
    for (int threads : {1, 2}) {
        parallel::setThreadCount(threads);
        for (std::size_t c = 0; c < cases.size(); ++c) {
            const QImage& frame = cases[c].frame;
            const QColor mean = meanOf(frame);
            QImage normalised = frame;
            kernels::normaliseColour(normalised, cases[c].reference, mean);
            const MeanColourFn meanFn = [&](const QImage&, const QImage&) { return mean; };
            for (int threshold : thresholds)
                for (int filter : filters) {
                    AlignSettings a;
                    a.referenceColor = cases[c].reference;
                    a.threshold = threshold;
                    a.filter = filter;
                    a.radius = 12;
                    const kernels::Feature got = computeAlignWork(frame, false, meanFn, a).feature;
                    const kernels::Feature want = kernels::detectFeature(normalised, threshold, filter, a.radius);
                    const QString where = QStringLiteral("case %1, T%2 F%3, %4 threads").arg(c).arg(threshold).arg(filter).arg(threads);
                    QVERIFY2(got.found == want.found && got.cx == want.cx && got.cy == want.cy, qPrintable(where));
                }
            RefineSettings r;
            r.referenceColor = cases[c].reference;
            r.radius = 6;
            r.basePattern = kernels::block(normalised, 50, 40, 12, 12);
            const QPoint positions[] = {{56, 46}, {3, 2}, {frame.width() - 4, frame.height() - 9}, {-5, 30}};
            for (const QPoint& at : positions) {
                const RefineWork got = computeRefineWork(frame, false, true, at.x(), at.y(), meanFn, r);
                const kernels::Match want = kernels::matchPattern(normalised, r.basePattern, at.x() - 12, at.y() - 12, 12, 12);
                const QString where = QStringLiteral("case %1 at %2,%3, %4 threads").arg(c).arg(at.x()).arg(at.y()).arg(threads);
                QVERIFY2(got.match.score == want.score && got.match.x == want.x && got.match.y == want.y, qPrintable(where));
                QVERIFY2(got.current == kernels::block(normalised, at.x() - 6, at.y() - 6, 12, 12), qPrintable(where));
                QVERIFY2(got.aligned == kernels::block(normalised, want.x, want.y, 12, 12), qPrintable(where));
            }
        }
    }
    parallel::setThreadCount(0);
}

// ---- reference pick --------------------------------------------------------------------------

void TestAlignment::previewAndBasePattern()
{
    // Two accepted pixels put the exact centroid at (20.5, 30); with R = 21 the left side of the
    // square lands on trunc(20.5 - 21) = 0, a column the truncated centroid would leave alone.
    QTemporaryDir dir;
    QImage frame = randomImage(80, 70, 5, 0, 60);
    const QRgb object = qRgb(250, 240, 120);
    frame.setPixel(20, 30, object);
    frame.setPixel(21, 30, object);
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("pick"), {frame});
    QCOMPARE(paths.size(), 1);

    StackEngine e;
    e.addFrames(paths);
    QImage preview;
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 100, 0, 21), &preview), batch::PickResult::Ok);

    QCOMPARE(QPoint(e.referenceX, e.referenceY), QPoint(20, 30));
    const FrameRecord r = e.frames->record(0);
    QVERIFY(r.isReference);
    QVERIFY(r.aligned);
    QCOMPARE(QPoint(r.x, r.y), QPoint(20, 30));
    QCOMPARE(e.frames->referenceIndex, 0);
    QCOMPARE(e.lumaThreshold, 100);
    QCOMPARE(rgba64(e.referenceColor), rgba64(meanOf(frame)));
    QVERIFY(e.referenceReady);

    QImage expected = frame;
    expected.setPixel(20, 30, kRed);
    expected.setPixel(21, 30, kRed);
    paintSquare(expected, 20.5, 30.0, 21, kWhite);
    QCOMPARE(preview.size(), frame.size());
    QCOMPARE(preview.pixel(0, 30), kWhite);            // left side from the exact centroid
    QCOMPARE(preview.pixel(41, 50), kWhite);           // right side, last row
    QCOMPARE(preview.pixel(40, 51), kWhite);           // bottom side, last column
    QCOMPARE(preview.pixel(41, 51), frame.pixel(41, 51)); // the corner (cx+R, cy+R) stays
    QCOMPARE(preview.pixel(20, 30), kRed);
    QCOMPARE(preview.convertToFormat(QImage::Format_RGB32), expected.convertToFormat(QImage::Format_RGB32));

    // The base pattern is cut from the frame itself (no red, no square); column -1 is black.
    QCOMPARE(e.basePattern.size(), QSize(42, 42));
    for (int y = 0; y < 42; ++y)
        for (int x = 0; x < 42; ++x) {
            const int fx = 20 - 21 + x, fy = 30 - 21 + y;
            const QRgb want = frame.rect().contains(fx, fy) ? frame.pixel(fx, fy) : kBlack;
            if (e.basePattern.pixel(x, y) != want)
                QFAIL(qPrintable(QStringLiteral("base pattern (%1, %2)").arg(x).arg(y)));
        }
}

void TestAlignment::failedPickKeepsReference_data()
{
    QTest::addColumn<bool>("unreadable");
    QTest::addColumn<int>("result");
    QTest::newRow("nothing passes") << false << int(batch::PickResult::NotFound);
    QTest::newRow("unreadable frame") << true << int(batch::PickResult::Unreadable);
}

void TestAlignment::failedPickKeepsReference()
{
    QFETCH(bool, unreadable);
    QFETCH(int, result);

    QTemporaryDir dir;
    const QImage ref = withBlock(fixtures::solid(100, 100, kBlack), 50, 50, 2, kWarm);
    QStringList paths = fixtures::writeSequence(dir, QStringLiteral("keep"),
                                                {ref, synth::shiftedCopy(ref, 6, -3), fixtures::solid(100, 100, qRgb(30, 30, 30))});
    if (unreadable)
        paths[2] = fixtures::writeCorrupt(dir, QStringLiteral("broken.png"));

    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 150, 1, 8), nullptr), batch::PickResult::Ok);
    Recorder run;
    QVERIFY(batch::alignAll(e, run.progress()));
    QVERIFY(batch::stackAll(e, run.progress()));
    QVERIFY(e.stackReady);

    const int refX = e.referenceX, refY = e.referenceY;
    const QImage pattern = e.basePattern;
    const QColor colour = e.referenceColor;
    const Extents extents = extentsOf(e);
    QVERIFY(extents.maxDx > 0 && extents.minDy < 0);
    const int accWidth = e.accumulator->width, accHeight = e.accumulator->height;
    const std::vector<float> acc(e.accumulator->data.get(), e.accumulator->data.get() + e.accumulator->floatCount());

    QImage preview;
    const batch::PickResult got = batch::pickReference(e, referenceRequest(2, 100, 1, 8), &preview);
    QCOMPARE(int(got), result);
    QVERIFY(!batch::pickMessage(got, e, referenceRequest(2, 100, 1, 8)).isEmpty());
    if (!unreadable) {
        QVERIFY(batch::pickMessage(got, e, referenceRequest(2, 100, 1, 8)).contains(QStringLiteral("100")));
        // Nothing accepted, nothing drawn: the preview is the frame as it is.
        QCOMPARE(preview.convertToFormat(QImage::Format_RGB32), fixtures::solid(100, 100, qRgb(30, 30, 30)));
    }

    QCOMPARE(e.frames->referenceIndex, 0);
    QVERIFY(e.frames->record(0).isReference);
    QVERIFY(!e.frames->record(2).isReference);
    QCOMPARE(QPoint(e.referenceX, e.referenceY), QPoint(refX, refY));
    QCOMPARE(e.basePattern, pattern);
    QCOMPARE(rgba64(e.referenceColor), rgba64(colour));
    QCOMPARE(extentsOf(e), extents);
    QVERIFY(e.referenceReady);
    QVERIFY(e.stackReady);
    QCOMPARE(e.accumulator->width, accWidth);
    QCOMPARE(e.accumulator->height, accHeight);
    QVERIFY(std::memcmp(acc.data(), e.accumulator->data.get(), acc.size() * sizeof(float)) == 0);

    // The old reference still serves the next run.
    Recorder again;
    again.unchecked = {2};
    QVERIFY(batch::alignAll(e, again.progress()));
    QCOMPARE(again.log.size(), 4);
    QVERIFY(isTimedLine(again.log[1], QStringLiteral("Aligned %1, offset: X=56; Y=47").arg(paths[1])));
}

void TestAlignment::pickMovesReference()
{
    // Frame 0: a dim object (110) above a bright one (220) on black. Frame 1: one bright object on
    // a grey 40 background, so its mean colour is far higher. At threshold 150 frame 0 analysed as
    // it is shows only the lower object; scaled to frame 1's mean colour both objects saturate and
    // the upper one, met first, wins.
    QTemporaryDir dir;
    const QImage black = fixtures::solid(80, 100, kBlack);
    const QImage f0 = withBlock(withBlock(black, 40, 30, 2, qRgb(110, 110, 110)), 40, 70, 2, qRgb(220, 220, 220));
    const QImage f1 = withBlock(fixtures::solid(80, 100, qRgb(40, 40, 40)), 40, 50, 2, qRgb(220, 220, 220));
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("move"), {f0, f1});

    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 150, 2, 10), nullptr), batch::PickResult::Ok);
    QCOMPARE(QPoint(e.referenceX, e.referenceY), QPoint(40, 70));
    Recorder first;
    QVERIFY(batch::alignAll(e, first.progress()));
    QCOMPARE(first.log.size(), 4);
    QVERIFY(isTimedLine(first.log[0], QStringLiteral("Aligned %1, offset: X=40; Y=70").arg(paths[0])));

    QCOMPARE(batch::pickReference(e, referenceRequest(1, 150, 2, 10), nullptr), batch::PickResult::Ok);
    QCOMPARE(e.frames->referenceIndex, 1);
    QVERIFY(!e.frames->record(0).isReference);
    QVERIFY(e.frames->record(1).isReference);
    QCOMPARE(QPoint(e.referenceX, e.referenceY), QPoint(40, 50));

    Recorder second;
    QVERIFY(batch::alignAll(e, second.progress()));
    QCOMPARE(second.log.size(), 4);
    QVERIFY2(isTimedLine(second.log[0], QStringLiteral("Aligned %1, offset: X=40; Y=30").arg(paths[0])),
             qPrintable(second.log[0]));
    QVERIFY(isTimedLine(second.log[1], QStringLiteral("Aligned %1, offset: X=40; Y=50").arg(paths[1])));
    QCOMPARE(QPoint(e.frames->record(0).x, e.frames->record(0).y), QPoint(40, 30));
    // Offsets from the new reference (40, 50).
    QCOMPARE(extentsOf(e), (Extents{0, 0, -20, 0}));

    int marks = 0;
    for (int i = 0; i < e.frames->count(); ++i)
        marks += e.frames->record(i).isReference ? 1 : 0;
    QCOMPARE(marks, 1);
}

// ---- alignment loop --------------------------------------------------------------------------

void TestAlignment::refusesWithoutReference_data()
{
    QTest::addColumn<bool>("failedPickFirst");
    QTest::newRow("fresh engine") << false;
    QTest::newRow("after a pick that found nothing") << true;
}

void TestAlignment::refusesWithoutReference()
{
    QFETCH(bool, failedPickFirst);
    QTemporaryDir dir;
    const QImage frame = withBlock(fixtures::solid(100, 100, kBlack), 50, 50, 2, kWarm);
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("none"), {frame, frame});
    StackEngine e;
    e.addFrames(paths);
    if (failedPickFirst)
        QCOMPARE(batch::pickReference(e, referenceRequest(0, 255, 2, 10), nullptr), batch::PickResult::NotFound);

    Recorder run;
    QVERIFY(!batch::alignAll(e, run.progress()));
    QCOMPARE(run.log.size(), 1);
    QVERIFY(!run.log[0].isEmpty());
    QVERIFY(run.shown.isEmpty());
    for (int i = 0; i < 2; ++i) {
        QVERIFY(!e.frames->record(i).aligned);
        QVERIFY(e.frames->record(i).valid);
    }
}

void TestAlignment::logAndCounts()
{
    QTemporaryDir dir;
    const QImage ref = withBlock(fixtures::solid(100, 100, kBlack), 50, 50, 2, kWarm);
    QStringList paths = fixtures::writeSequence(
        dir, QStringLiteral("log"),
        {ref, synth::shiftedCopy(ref, 7, -4), ref, fixtures::solid(100, 100, kBlack), synth::shiftedCopy(ref, -9, 3)});
    paths[2] = fixtures::writeCorrupt(dir, QStringLiteral("corrupt.png"));

    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 100, 2, 10), nullptr), batch::PickResult::Ok);
    Recorder run;
    QVERIFY(batch::alignAll(e, run.progress()));

    QCOMPARE(run.log.size(), 7);
    // The X and Y printed are the feature positions, not the offsets from the reference.
    QVERIFY2(isTimedLine(run.log[0], QStringLiteral("Aligned %1, offset: X=50; Y=50").arg(paths[0])), qPrintable(run.log[0]));
    QVERIFY2(isTimedLine(run.log[1], QStringLiteral("Aligned %1, offset: X=57; Y=46").arg(paths[1])), qPrintable(run.log[1]));
    QCOMPARE(run.log[2], QStringLiteral("Could not read image file: %1").arg(paths[2]));
    QVERIFY2(isTimedLine(run.log[3], QStringLiteral("Feature not found: %1").arg(paths[3])), qPrintable(run.log[3]));
    QVERIFY2(isTimedLine(run.log[4], QStringLiteral("Aligned %1, offset: X=41; Y=53").arg(paths[4])), qPrintable(run.log[4]));
    QCOMPARE(run.log[5], QStringLiteral("5 images analyzed, 3 valid"));
    QVERIFY2(isTotalLine(run.log[6]), qPrintable(run.log[6]));
    QCOMPARE(run.status.last(), QStringLiteral("Ready."));

    QCOMPARE(QPoint(e.frames->record(1).x, e.frames->record(1).y), QPoint(57, 46));
    QVERIFY(e.frames->record(1).aligned && e.frames->record(1).valid);
    for (int i : {2, 3}) {
        QVERIFY(!e.frames->record(i).aligned);
        QVERIFY(!e.frames->record(i).valid);
    }
    QCOMPARE(extentsOf(e), (Extents{-9, 7, -4, 3}));
    QCOMPARE(QPoint(e.referenceX, e.referenceY), QPoint(50, 50));

    // One display per found frame: the frame with the square of half side R around its position.
    QCOMPARE(run.shown.size(), 3);
    QImage marked = synth::shiftedCopy(ref, -9, 3);
    paintSquare(marked, 41, 53, 10, kWhite);
    QCOMPARE(run.shown[2].convertToFormat(QImage::Format_RGB32), marked);
}

void TestAlignment::smallFramesInLoop()
{
    // Threshold 0 and R 1: every examined pixel passes and the feature is the first examined pixel,
    // so only the margin decides. Frames of 40 pixels or less in either direction have none.
    QTemporaryDir dir;
    const QVector<QImage> frames = {fixtures::solid(100, 100, kWhite), fixtures::solid(41, 41, kWhite),
                                    fixtures::solid(40, 100, kWhite), fixtures::solid(100, 40, kWhite),
                                    fixtures::solid(40, 40, kWhite), fixtures::solid(41, 100, kWhite)};
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("small"), frames);
    const bool hasFeature[] = {true, true, false, false, false, true};
    for (int i = 0; i < paths.size(); ++i) {
        // A sequence of two frames of that size.
        StackEngine e;
        e.addFrames({paths[i], paths[i]});
        const batch::PickResult picked = batch::pickReference(e, referenceRequest(0, 0, 0, 1), nullptr);
        if (!hasFeature[i]) {
            QCOMPARE(picked, batch::PickResult::NotFound);
            continue;
        }
        QCOMPARE(picked, batch::PickResult::Ok);
        Recorder run;
        QVERIFY(batch::alignAll(e, run.progress()));
        QCOMPARE(run.log.size(), 4);
        QVERIFY2(isTimedLine(run.log[1], QStringLiteral("Aligned %1, offset: X=20; Y=20").arg(paths[i])), qPrintable(run.log[1]));
    }

    // In one sequence the frames of another size than the reference are left out, each named.
    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 0, 0, 1), nullptr), batch::PickResult::Ok);
    Recorder run;
    QVERIFY(batch::alignAll(e, run.progress()));
    QCOMPARE(run.log.size(), 8);
    QVERIFY(isTimedLine(run.log[0], QStringLiteral("Aligned %1, offset: X=20; Y=20").arg(paths[0])));
    for (int i = 1; i < paths.size(); ++i) {
        QCOMPARE(run.log[i], QStringLiteral("Frame of a different size left out: %1").arg(paths[i]));
        QVERIFY(!e.frames->record(i).aligned);
    }
    QCOMPARE(run.log[6], QStringLiteral("6 images analyzed, 1 valid"));
    QVERIFY(isTotalLine(run.log[7]));
}

void TestAlignment::statusPercentage_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("unchecked");
    QTest::addColumn<QStringList>("status");
    QTest::addColumn<QString>("summary");

    QTest::newRow("4 frames") << 4 << QList<int>{}
                              << QStringList{"Aligning... 0.0%", "Aligning... 25.0%", "Aligning... 50.0%", "Aligning... 75.0%", "Ready."}
                              << "4 images analyzed, 4 valid";
    QTest::newRow("4 frames, first unchecked") << 4 << QList<int>{0}
                                               << QStringList{"Aligning... 25.0%", "Aligning... 50.0%", "Aligning... 75.0%", "Ready."}
                                               << "3 images analyzed, 3 valid";
    QTest::newRow("4 frames, only the last") << 4 << QList<int>{0, 1, 2} << QStringList{"Aligning... 75.0%", "Ready."}
                                             << "1 images analyzed, 1 valid";
    QTest::newRow("3 frames, middle unchecked") << 3 << QList<int>{1}
                                                << QStringList{"Aligning... 0.0%", "Aligning... 66.7%", "Ready."}
                                                << "2 images analyzed, 2 valid";
    QTest::newRow("7 frames") << 7 << QList<int>{}
                              << QStringList{"Aligning... 0.0%", "Aligning... 14.3%", "Aligning... 28.6%", "Aligning... 42.9%",
                                             "Aligning... 57.1%", "Aligning... 71.4%", "Aligning... 85.7%", "Ready."}
                              << "7 images analyzed, 7 valid";
    QTest::newRow("nothing checked") << 2 << QList<int>{0, 1} << QStringList{"Ready."} << "0 images analyzed, 0 valid";
}

void TestAlignment::statusPercentage()
{
    QFETCH(int, count);
    QFETCH(QList<int>, unchecked);
    QFETCH(QStringList, status);
    QFETCH(QString, summary);
    QTemporaryDir dir;
    const QImage ref = withBlock(fixtures::solid(100, 100, kBlack), 50, 50, 2, kWarm);
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("pct"), QVector<QImage>(count, ref));
    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 100, 2, 10), nullptr), batch::PickResult::Ok);
    Recorder run;
    run.unchecked = QSet<int>(unchecked.begin(), unchecked.end());
    QVERIFY(batch::alignAll(e, run.progress()));
    QCOMPARE(run.status, status);
    QCOMPARE(run.log.size(), count - unchecked.size() + 2);
    QCOMPARE(run.log[run.log.size() - 2], summary);
    QVERIFY(isTotalLine(run.log.last()));
    for (int i : unchecked)
        for (const QString& line : run.log)
            QVERIFY2(!line.contains(paths[i]), qPrintable(line));
}

void TestAlignment::uncheckedFramesKeepRecords()
{
    QTemporaryDir dir;
    const QImage ref = withBlock(fixtures::solid(100, 100, kBlack), 50, 50, 2, kWarm);
    const QStringList paths = fixtures::writeSequence(
        dir, QStringLiteral("keep"), {ref, synth::shiftedCopy(ref, 3, 2), synth::shiftedCopy(ref, -2, 5), ref});
    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 100, 2, 10), nullptr), batch::PickResult::Ok);

    Recorder first;
    first.unchecked = {3};
    QVERIFY(batch::alignAll(e, first.progress()));
    Recorder stack;
    stack.unchecked = {3};
    QVERIFY(batch::stackAll(e, stack.progress()));
    for (int i = 0; i < 3; ++i)
        QVERIFY(e.frames->record(i).stacked);
    bool anyStacked = false;
    for (std::size_t k = 0; k < e.accumulator->floatCount(); ++k)
        anyStacked = anyStacked || e.accumulator->data[k] != 0.0f;
    QVERIFY(anyStacked);

    // Frame 2's file now holds another position, but the frame does not take part.
    QVERIFY(synth::shiftedCopy(ref, 8, -8).save(paths[2]));
    Recorder second;
    second.unchecked = {2, 3};
    QVERIFY(batch::alignAll(e, second.progress()));
    QCOMPARE(second.log.size(), 4);
    QCOMPARE(second.log[2], QStringLiteral("2 images analyzed, 2 valid"));
    for (const QString& line : second.log)
        QVERIFY(!line.contains(paths[2]));

    const FrameRecord kept = e.frames->record(2);
    QCOMPARE(QPoint(kept.x, kept.y), QPoint(48, 55));
    QVERIFY(kept.aligned && kept.valid && kept.stacked);
    // Frames that were aligned again are no longer stacked; the accumulator was cleared.
    QVERIFY(!e.frames->record(0).stacked);
    QVERIFY(!e.frames->record(1).stacked);
    QVERIFY(!e.stackReady);
    for (std::size_t k = 0; k < e.accumulator->floatCount(); ++k)
        if (e.accumulator->data[k] != 0.0f)
            QFAIL("the accumulator keeps stacked values after alignment");
    // A frame never aligned keeps a new record's values.
    const FrameRecord never = e.frames->record(3);
    QVERIFY(!never.aligned && never.valid && !never.stacked);
    QCOMPARE(QPoint(never.x, never.y), QPoint(0, 0));
}

void TestAlignment::extentsOnlyWiden()
{
    QTemporaryDir dir;
    const QImage ref = withBlock(fixtures::solid(120, 120, kBlack), 60, 60, 2, kWarm);
    const QStringList paths = fixtures::writeSequence(
        dir, QStringLiteral("ext"), {ref, synth::shiftedCopy(ref, 3, -2), synth::shiftedCopy(ref, -4, 5)});
    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 100, 2, 10), nullptr), batch::PickResult::Ok);
    QCOMPARE(extentsOf(e), (Extents{0, 0, 0, 0}));

    Recorder run;
    QVERIFY(batch::alignAll(e, run.progress()));
    QCOMPARE(extentsOf(e), (Extents{-4, 3, -2, 5}));

    // Smaller offsets do not shrink them.
    QVERIFY(synth::shiftedCopy(ref, 1, 1).save(paths[1]));
    QVERIFY(synth::shiftedCopy(ref, -1, -1).save(paths[2]));
    QVERIFY(batch::alignAll(e, run.progress()));
    QCOMPARE(QPoint(e.frames->record(1).x, e.frames->record(1).y), QPoint(61, 61));
    QCOMPARE(extentsOf(e), (Extents{-4, 3, -2, 5}));

    // A larger one widens its own side only.
    QVERIFY(synth::shiftedCopy(ref, 9, 1).save(paths[1]));
    QVERIFY(batch::alignAll(e, run.progress()));
    QCOMPARE(extentsOf(e), (Extents{-4, 9, -2, 5}));

    // A new pick starts again from 0.
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 100, 2, 10), nullptr), batch::PickResult::Ok);
    QCOMPARE(extentsOf(e), (Extents{0, 0, 0, 0}));
    QVERIFY(batch::alignAll(e, run.progress()));
    QCOMPARE(extentsOf(e), (Extents{-1, 9, -1, 1}));
}

void TestAlignment::knownShiftsOfSymmetricPlanet_data()
{
    QTest::addColumn<double>("noise");
    QTest::addColumn<double>("blur");
    QTest::addColumn<bool>("exact");
    // Without details the planet is mirror-symmetric about its centre, so with an integer centre the
    // accepted pixels balance on it exactly.
    QTest::newRow("sharp, clean") << 0.0 << 0.0 << true;
    QTest::newRow("blurred, noisy") << 3.0 << 1.2 << false;
}

void TestAlignment::knownShiftsOfSymmetricPlanet()
{
    QFETCH(double, noise);
    QFETCH(double, blur);
    QFETCH(bool, exact);
    const QVector<QPointF> centres = {{110, 90}, {113, 88}, {104.5, 95}, {118, 97.5}, {102, 83}, {111.25, 92.75}};
    QVector<QImage> frames;
    for (int i = 0; i < centres.size(); ++i) {
        synth::Planet p;
        p.width = 220;
        p.height = 180;
        p.cx = centres[i].x();
        p.cy = centres[i].y();
        p.radius = 32;
        p.details = false;
        p.noise = noise;
        p.blur = blur;
        p.seed = quint32(i + 1);
        frames << synth::renderPlanet(p);
    }
    QTemporaryDir dir;
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("planet"), frames);
    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 75, 2, 50), nullptr), batch::PickResult::Ok);
    Recorder run;
    QVERIFY(batch::alignAll(e, run.progress()));
    QCOMPARE(run.log.size(), centres.size() + 2);

    static const QRegularExpression aligned(QStringLiteral("^Aligned (.+), offset: X=(-?\\d+); Y=(-?\\d+) // Processing time: \\d+\\.\\d\\ds$"));
    for (int i = 0; i < centres.size(); ++i) {
        const QRegularExpressionMatch m = aligned.match(run.log[i]);
        QVERIFY2(m.hasMatch(), qPrintable(run.log[i]));
        QCOMPARE(m.captured(1), paths[i]);
        const int x = m.captured(2).toInt(), y = m.captured(3).toInt();
        const QString where = QStringLiteral("frame %1 at (%2, %3), truth (%4, %5)")
                                  .arg(i).arg(x).arg(y).arg(centres[i].x()).arg(centres[i].y());
        QVERIFY2(std::fabs(x - centres[i].x()) <= 1.0 && std::fabs(y - centres[i].y()) <= 1.0, qPrintable(where));
        if (exact && centres[i].x() == std::floor(centres[i].x()) && centres[i].y() == std::floor(centres[i].y()))
            QVERIFY2(x == int(centres[i].x()) && y == int(centres[i].y()), qPrintable(where));
    }
    QCOMPARE(run.log[centres.size()], QStringLiteral("%1 images analyzed, %1 valid").arg(centres.size()));
}

void TestAlignment::shiftedCopiesGiveExactOffsets()
{
    // Whole-pixel shifts of one frame keep the accepted pixels' raster order, so each feature moves by
    // exactly the shift; the black strips that come in leave the mean colour, and so the normalisation,
    // as they were.
    synth::Planet p;
    p.width = 240;
    p.height = 200;
    p.cx = 110.4;
    p.cy = 97.7;
    p.radius = 36;
    p.details = true;
    const QImage base = synth::renderPlanet(p);
    const QVector<QPoint> shifts = {{0, 0}, {5, -3}, {-7, 2}, {2, 9}, {-3, -6}};
    QVector<QImage> frames;
    for (const QPoint& s : shifts)
        frames << synth::shiftedCopy(base, s.x(), s.y());
    QTemporaryDir dir;
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("shift"), frames);
    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, referenceRequest(0, 75, 2, 45), nullptr), batch::PickResult::Ok);
    const QPoint reference(e.referenceX, e.referenceY);
    QVERIFY2(std::fabs(reference.x() - p.cx) <= 6 && std::fabs(reference.y() - p.cy) <= 6, "the feature is the planet");
    Recorder run;
    QVERIFY(batch::alignAll(e, run.progress()));
    for (int i = 0; i < shifts.size(); ++i) {
        const FrameRecord r = e.frames->record(i);
        QVERIFY(r.aligned);
        QCOMPARE(QPoint(r.x, r.y), reference + shifts[i]);
        QVERIFY(isTimedLine(run.log[i], QStringLiteral("Aligned %1, offset: X=%2; Y=%3")
                                            .arg(paths[i]).arg(reference.x() + shifts[i].x()).arg(reference.y() + shifts[i].y())));
    }
    QCOMPARE(extentsOf(e), (Extents{-7, 5, -6, 9}));
}

QTEST_GUILESS_MAIN(TestAlignment)
#include "tst_alignment.moc"
