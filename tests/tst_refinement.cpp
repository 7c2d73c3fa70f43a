// Pattern matching and refinement on the engine side: the score, the centred search window, the
// acceptance threshold, the tie rule, the refinement loop and what stacking makes of its marks.
// Scores are checked against a plain per-pixel computation written here.
#include "batch.h"
#include "fixtures.h"
#include "parallel.h"
#include "stackengine.h"
#include "synthetic.h"

#include <QtTest/QtTest>

#include <cstdlib>
#include <cstring>

namespace {

using fixtures::isTimedLine;
using fixtures::isTotalLine;
using fixtures::randomImage;
using fixtures::Recorder;

const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kWhite = qRgb(255, 255, 255);

// The frames below: 120 x 120, black border, random texture (channels 40..100) on [16, 104) and one
// white pixel at (60, 60), the only pixel that reaches threshold 200. The border lets whole-pixel shifts
// of up to 12 keep every textured pixel, so a shifted frame has the reference's mean colour bit for bit
// and the colour normalisation leaves it untouched.
const int kSize = 120;
const QRect kTexture(16, 16, 88, 88);
const QPoint kCentre(60, 60);
const int kThreshold = 200;

QImage texturedFrame(quint64 seed)
{
    synth::Rng rng(seed);
    QImage image = fixtures::solid(kSize, kSize, kBlack);
    for (int y = kTexture.top(); y <= kTexture.bottom(); ++y)
        for (int x = kTexture.left(); x <= kTexture.right(); ++x)
            image.setPixel(x, y, qRgb(40 + rng.below(61), 40 + rng.below(61), 40 + rng.below(61)));
    image.setPixel(kCentre, kWhite);
    return image;
}

// Adds 'total' channel levels inside 'block' (30 per channel slot, red of every pixel first, then
// green, then blue; the white pixel is skipped) and takes the same amounts off textured pixels
// outside 'block', so every channel sum stays as it was. The block then scores exactly 'total'
// against the original.
QImage withScoreInBlock(const QImage& original, const QRect& block, int total)
{
    QImage image = original;
    struct Slot {
        int channel, amount;
    };
    QVector<Slot> changes;
    for (int channel = 0; channel < 3 && total > 0; ++channel)
        for (int y = block.top(); y <= block.bottom() && total > 0; ++y)
            for (int x = block.left(); x <= block.right() && total > 0; ++x) {
                if (QPoint(x, y) == kCentre)
                    continue;
                const int amount = std::min(30, total);
                total -= amount;
                changes << Slot{channel, amount};
                int c[3] = {qRed(image.pixel(x, y)), qGreen(image.pixel(x, y)), qBlue(image.pixel(x, y))};
                c[channel] += amount;
                image.setPixel(x, y, qRgb(c[0], c[1], c[2]));
            }
    int next = 0;
    for (int y = kTexture.top(); y <= kTexture.bottom() && next < changes.size(); ++y)
        for (int x = kTexture.left(); x <= kTexture.right() && next < changes.size(); ++x) {
            if (block.contains(x, y))
                continue;
            const Slot s = changes[next++];
            int c[3] = {qRed(image.pixel(x, y)), qGreen(image.pixel(x, y)), qBlue(image.pixel(x, y))};
            c[s.channel] -= s.amount;
            image.setPixel(x, y, qRgb(c[0], c[1], c[2]));
        }
    return image;
}

// The 2R x 2R block around the centre, as the reference pick cuts it.
QRect patternRect(int radius) { return QRect(kCentre.x() - radius, kCentre.y() - radius, 2 * radius, 2 * radius); }

// Mean colour as the normalisation sees it, as one number.
quint64 meanColour(const QImage& image) { return fixtures::rgba64(fixtures::meanOf(image)); }

QRgb pixelOrBlack(const QImage& image, int x, int y)
{
    return image.rect().contains(x, y) ? image.pixel(x, y) : kBlack;
}

// The score: |dR| + |dG| + |dB| per pixel, added pixel by pixel to a single-precision sum, row by row;
// the image reads black outside. *exact receives the same sum in integers.
float scoreAt(const QImage& image, const QImage& pattern, int tx, int ty, qint64* exact = nullptr)
{
    float s = 0.0f;
    qint64 e = 0;
    for (int r = 0; r < pattern.height(); ++r) {
        const QRgb* p = reinterpret_cast<const QRgb*>(pattern.constScanLine(r));
        const int y = ty + r;
        const QRgb* line = (y >= 0 && y < image.height()) ? reinterpret_cast<const QRgb*>(image.constScanLine(y)) : nullptr;
        for (int c = 0; c < pattern.width(); ++c) {
            const int x = tx + c;
            const QRgb q = (line && x >= 0 && x < image.width()) ? line[x] : kBlack;
            const int d = std::abs(qRed(q) - qRed(p[c])) + std::abs(qGreen(q) - qGreen(p[c])) + std::abs(qBlue(q) - qBlue(p[c]));
            s = s + float(d);
            e += d;
        }
    }
    if (exact)
        *exact = e;
    return s;
}

QImage cut(const QImage& image, int left, int top, int width, int height)
{
    QImage out(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            out.setPixel(x, y, pixelOrBlack(image, left + x, top + y));
    return out;
}

// The exhaustive search with the centred window: corners (fx - 2R .. fx - 1, fy - 2R .. fy - 1), rows
// outer, strictly smaller wins, starting from W x H x 768.
struct Best {
    int x, y;
    float score;
    qint64 exact;
};
Best bruteForce(const QImage& image, const QImage& pattern, int fx, int fy, int radius)
{
    Best best{0, 0, float(pattern.width() * pattern.height() * 768), 0};
    for (int ty = fy - 2 * radius; ty < fy; ++ty)
        for (int tx = fx - 2 * radius; tx < fx; ++tx) {
            qint64 exact = 0;
            const float s = scoreAt(image, pattern, tx, ty, &exact);
            if (s < best.score)
                best = Best{tx, ty, s, exact};
        }
    return best;
}

quint32 bitsOf(float f)
{
    quint32 u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// Anti-diagonal stripes: the colour depends on (x + y) mod 5 only.
QImage stripes(int width, int height)
{
    const QRgb colours[5] = {qRgb(10, 200, 30), qRgb(90, 15, 160), qRgb(240, 120, 5), qRgb(60, 60, 60), qRgb(130, 250, 200)};
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, colours[(x + y) % 5]);
    return image;
}

QString refined(const QString& path, int x, int y, const QString& v)
{
    return QStringLiteral("refine result of %1: X=%2; Y=%3; V=%4").arg(path).arg(x).arg(y).arg(v);
}

QString rejected(const QString& path, const QString& v)
{
    return QStringLiteral("Feature not found (V=%1): %2").arg(v, path);
}

batch::ReferenceRequest request(int index, int radius) { return fixtures::referenceRequest(index, kThreshold, 0, radius); }

// Sequence on disk plus an engine with the reference picked on frame 0 and every frame aligned.
struct Aligned {
    QTemporaryDir dir;
    QStringList paths;
    StackEngine engine;

    bool setUp(const QVector<QImage>& frames, int radius)
    {
        paths = fixtures::writeSequence(dir, QStringLiteral("frame"), frames);
        if (paths.size() != frames.size())
            return false;
        engine.addFrames(paths);
        if (batch::pickReference(engine, request(0, radius), nullptr) != batch::PickResult::Ok)
            return false;
        Recorder run;
        return batch::alignAll(engine, run.progress());
    }
};

} // namespace

class TestRefinement : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void referenceMatchesItself();
    void centredWindow_data();
    void centredWindow();
    void patternScoreIndependent_data();
    void patternScoreIndependent();
    void matchPatternExhaustive_data();
    void matchPatternExhaustive();
    void thresholdBoundary();
    void tiesKeepEarlierCandidate_data();
    void tiesKeepEarlierCandidate();
    void radiusChangeAfterPick();
    void refusesWithoutReference();
    void unalignedFrameNoMatchYet();
    void unalignedFramePrintsPreviousScore();
    void uncheckedFramesKeepMarks();
    void stackingHonoursMarks();
    void threadCountIndependence_data();
    void threadCountIndependence();
};

void TestRefinement::cleanup()
{
    parallel::setThreadCount(0);
}

void TestRefinement::referenceMatchesItself()
{
    const QImage ref = texturedFrame(1);
    Aligned a;
    QVERIFY(a.setUp({ref, synth::shiftedCopy(ref, 3, -2), synth::shiftedCopy(ref, -4, 5)}, 8));
    StackEngine& e = a.engine;
    QCOMPARE(QPoint(e.referenceX, e.referenceY), kCentre);
    QCOMPARE(e.basePattern.size(), QSize(16, 16));

    Recorder run;
    QVERIFY(batch::refineAll(e, run.progress()));
    QCOMPARE(run.log.size(), 5);
    QVERIFY2(isTimedLine(run.log[0], refined(a.paths[0], 60, 60, "0")), qPrintable(run.log[0]));
    QVERIFY2(isTimedLine(run.log[1], refined(a.paths[1], 63, 58, "0")), qPrintable(run.log[1]));
    QVERIFY2(isTimedLine(run.log[2], refined(a.paths[2], 56, 65, "0")), qPrintable(run.log[2]));
    QCOMPARE(run.log[3], QStringLiteral("3 images analyzed, 3 valid"));
    QVERIFY(isTotalLine(run.log[4]));
    QCOMPARE(run.status, (QStringList{"Doing pattern matching... 0.0%", "Doing pattern matching... 33.3%",
                                      "Doing pattern matching... 66.7%", "Ready."}));
    QCOMPARE(run.shown.size(), 3);

    const QPoint positions[] = {{60, 60}, {63, 58}, {56, 65}};
    for (int i = 0; i < 3; ++i) {
        const FrameRecord r = e.frames->record(i);
        QVERIFY(r.refined);
        QVERIFY(r.refineOk);
        QVERIFY(r.aligned);
        QCOMPARE(QPoint(r.x, r.y), positions[i]); // refinement never moves a frame
    }
    QCOMPARE(e.matchScore, 0.0f);
    QVERIFY(e.featureFound);
    QCOMPARE(QPoint(e.refinedX, e.refinedY), QPoint(56, 65));
    QCOMPARE(e.currentPattern, e.basePattern);
    QCOMPARE(e.alignedPattern, e.basePattern);
    QCOMPARE(e.basePattern, cut(ref, 52, 52, 16, 16));
}

void TestRefinement::centredWindow_data()
{
    QTest::addColumn<QPoint>("offset"); // where the pattern lies relative to the unrefined position
    QTest::addColumn<bool>("inWindow");
    // R = 8: refined positions run from feature - 8 to feature + 7.
    QTest::newRow("one up-left") << QPoint(-1, -1) << true;
    QTest::newRow("one down-right") << QPoint(1, 1) << true;
    QTest::newRow("one up-right") << QPoint(1, -1) << true;
    QTest::newRow("one down-left") << QPoint(-1, 1) << true;
    QTest::newRow("first candidate") << QPoint(-8, -8) << true;
    QTest::newRow("last candidate") << QPoint(7, 7) << true;
    QTest::newRow("first row, last column") << QPoint(7, -8) << true;
    QTest::newRow("beyond the left") << QPoint(-9, 0) << false;
    QTest::newRow("beyond the right") << QPoint(8, 0) << false;
    QTest::newRow("beyond the top") << QPoint(0, -9) << false;
    QTest::newRow("beyond the bottom") << QPoint(0, 8) << false;
}

void TestRefinement::centredWindow()
{
    QFETCH(QPoint, offset);
    QFETCH(bool, inWindow);
    const int radius = 8;
    const QImage ref = texturedFrame(2);
    Aligned a;
    QVERIFY(a.setUp({ref, synth::shiftedCopy(ref, 3, -2)}, radius));
    StackEngine& e = a.engine;
    const QPoint truth(63, 58);
    QCOMPARE(QPoint(e.frames->record(1).x, e.frames->record(1).y), truth);

    // The luminance position disagrees with the pattern by 'offset'.
    const QPoint unrefined = truth - offset;
    e.frames->update(1, [&](FrameRecord& r) {
        r.x = unrefined.x();
        r.y = unrefined.y();
    });
    Recorder run;
    run.unchecked = {0};
    QVERIFY(batch::refineAll(e, run.progress()));
    QCOMPARE(run.log.size(), 3);

    const FrameRecord r = e.frames->record(1);
    QCOMPARE(QPoint(r.x, r.y), unrefined);
    QVERIFY(r.refined);
    QVERIFY(e.refinedX >= unrefined.x() - radius && e.refinedX <= unrefined.x() + radius - 1);
    QVERIFY(e.refinedY >= unrefined.y() - radius && e.refinedY <= unrefined.y() + radius - 1);
    QCOMPARE(e.currentPattern, cut(synth::shiftedCopy(ref, 3, -2), unrefined.x() - radius, unrefined.y() - radius, 16, 16));
    if (inWindow) {
        QCOMPARE(QPoint(e.refinedX, e.refinedY), truth);
        QCOMPARE(e.matchScore, 0.0f);
        QVERIFY(r.refineOk);
        QVERIFY2(isTimedLine(run.log[0], refined(a.paths[1], truth.x(), truth.y(), "0")), qPrintable(run.log[0]));
    } else {
        QVERIFY(QPoint(e.refinedX, e.refinedY) != truth);
        QVERIFY(e.matchScore > 0.0f);
    }
}

void TestRefinement::patternScoreIndependent_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QImage>("pattern");
    QTest::addColumn<QPoint>("corner");

    const QImage image = randomImage(50, 40, 11, 0, 255);
    const QImage small = randomImage(12, 12, 12, 0, 255);
    QTest::newRow("inside") << image << small << QPoint(10, 10);
    QTest::newRow("touching the far edges") << image << small << QPoint(38, 28);
    QTest::newRow("past the top-left") << image << small << QPoint(-5, -3);
    QTest::newRow("past the bottom-right") << image << small << QPoint(45, 35);
    QTest::newRow("wholly outside") << image << small << QPoint(-20, 0);
    QTest::newRow("not square") << image << randomImage(17, 5, 13, 0, 255) << QPoint(3, 30);
    // Sums beyond 2^24, where single precision rounds at every odd step.
    const QImage dark = randomImage(200, 200, 14, 0, 15);
    const QImage bright = randomImage(160, 160, 15, 240, 255);
    QTest::newRow("large sums") << dark << bright << QPoint(20, 30);
    QTest::newRow("large sums, partly outside") << dark << bright << QPoint(70, -10);
}

void TestRefinement::patternScoreIndependent()
{
    QFETCH(QImage, image);
    QFETCH(QImage, pattern);
    QFETCH(QPoint, corner);
    StackEngine e;
    e.workImage = image;
    e.basePattern = pattern;
    qint64 exact = 0;
    const float want = scoreAt(image, pattern, corner.x(), corner.y(), &exact);
    const float got = e.patternScore(corner.x(), corner.y());
    QVERIFY2(bitsOf(got) == bitsOf(want),
             qPrintable(QStringLiteral("score %1, expected %2 (exact %3)").arg(double(got), 0, 'f', 1).arg(double(want), 0, 'f', 1).arg(exact)));
    if (QByteArray(QTest::currentDataTag()).startsWith("large sums"))
        QVERIFY2(exact >= (1 << 24) && float(exact) != want,
                 qPrintable(QStringLiteral("the fixture must exercise single-precision rounding: exact %1, float %2")
                                .arg(exact).arg(double(want), 0, 'f', 1)));
}

void TestRefinement::matchPatternExhaustive_data()
{
    QTest::addColumn<int>("radius");
    QTest::addColumn<QPoint>("feature");
    QTest::addColumn<QPoint>("source"); // where the pattern was cut (before noise); (-1000, 0): unrelated
    QTest::newRow("R 3, inside") << 3 << QPoint(45, 40) << QPoint(43, 38);
    QTest::newRow("R 5, past the top-left") << 5 << QPoint(6, 4) << QPoint(0, 0);
    QTest::newRow("R 4, past the bottom-right") << 4 << QPoint(88, 78) << QPoint(84, 74);
    QTest::newRow("R 20") << 20 << QPoint(50, 45) << QPoint(35, 30);
    QTest::newRow("R 6, unrelated pattern") << 6 << QPoint(40, 40) << QPoint(-1000, 0);
}

void TestRefinement::matchPatternExhaustive()
{
    QFETCH(int, radius);
    QFETCH(QPoint, feature);
    QFETCH(QPoint, source);
    const QImage image = randomImage(90, 80, 21 + radius, 0, 255);
    const int side = 2 * radius;
    QImage pattern = randomImage(side, side, 99, 0, 255);
    if (source.x() > -1000) {
        // The block with some noise, so the best score is not 0.
        synth::Rng rng(5);
        pattern = cut(image, source.x(), source.y(), side, side);
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                const QRgb p = pattern.pixel(x, y);
                auto wobble = [&](int v) { return qBound(0, v + rng.below(21) - 10, 255); };
                pattern.setPixel(x, y, qRgb(wobble(qRed(p)), wobble(qGreen(p)), wobble(qBlue(p))));
            }
    }
    StackEngine e;
    e.workImage = image;
    e.basePattern = pattern;
    e.featureX = feature.x();
    e.featureY = feature.y();
    e.matchPattern(radius);

    const Best best = bruteForce(image, pattern, feature.x(), feature.y(), radius);
    if (source.x() > -1000)
        QCOMPARE(QPoint(best.x, best.y), source);
    QCOMPARE(QPoint(e.refinedX, e.refinedY), QPoint(best.x + radius, best.y + radius));
    QCOMPARE(bitsOf(e.matchScore), bitsOf(best.score));
    QCOMPARE(e.currentPattern, cut(image, feature.x() - radius, feature.y() - radius, side, side));
    QCOMPARE(e.alignedPattern, cut(image, best.x, best.y, side, side));
    QCOMPARE(e.basePattern.size(), QSize(side, side));
}

void TestRefinement::thresholdBoundary()
{
    // R = 8: the threshold is 120 x 64 = 7680. Frame 1 differs from the reference inside the pattern
    // block by exactly 7680 channel levels, frame 2 by 7681.
    const int radius = 8;
    const QImage ref = texturedFrame(3);
    const QImage atLimit = withScoreInBlock(ref, patternRect(radius), 7680);
    const QImage above = withScoreInBlock(ref, patternRect(radius), 7681);
    QCOMPARE(meanColour(atLimit), meanColour(ref));
    QCOMPARE(meanColour(above), meanColour(ref));

    Aligned a;
    QVERIFY(a.setUp({ref, atLimit, above}, radius));
    StackEngine& e = a.engine;
    for (int i = 1; i < 3; ++i)
        QCOMPARE(QPoint(e.frames->record(i).x, e.frames->record(i).y), kCentre);
    QCOMPARE(scoreAt(atLimit, e.basePattern, 52, 52), 7680.0f);
    QCOMPARE(scoreAt(above, e.basePattern, 52, 52), 7681.0f);

    Recorder run;
    QVERIFY(batch::refineAll(e, run.progress()));
    QCOMPARE(run.log.size(), 5);
    QVERIFY2(isTimedLine(run.log[1], refined(a.paths[1], 60, 60, "7680")), qPrintable(run.log[1]));
    QVERIFY2(isTimedLine(run.log[2], rejected(a.paths[2], "7681")), qPrintable(run.log[2]));
    QCOMPARE(run.log[3], QStringLiteral("3 images analyzed, 2 valid"));
    QCOMPARE(run.shown.size(), 2);

    QVERIFY(e.frames->record(1).refined);
    QVERIFY(e.frames->record(1).refineOk);
    QVERIFY(e.frames->record(2).refined);
    QVERIFY(!e.frames->record(2).refineOk);
    QVERIFY(!e.featureFound);
    // A rejected frame still reports where it matched best.
    QCOMPARE(QPoint(e.refinedX, e.refinedY), kCentre);
    QCOMPARE(e.matchScore, 7681.0f);
}

void TestRefinement::tiesKeepEarlierCandidate_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QImage>("pattern");
    QTest::addColumn<QPoint>("refinedAt");
    // Feature (50, 50), R = 4: corners 42..49 in both directions.
    // Every candidate matches a uniform pattern: the first corner (42, 42) wins.
    QTest::newRow("uniform") << fixtures::solid(100, 100, qRgb(70, 80, 90)) << fixtures::solid(8, 8, qRgb(70, 80, 90))
                             << QPoint(46, 46);
    // With anti-diagonal stripes the block at (46, 44) matches wherever x + y is a multiple of 5:
    // (43, 42) and (48, 42) in the first row, (42, 43) - further left - in the next one. The first row
    // wins, and within it the smaller x.
    const QImage s = stripes(100, 100);
    QTest::newRow("stripes") << s << cut(s, 46, 44, 8, 8) << QPoint(47, 46);
    QImage v(100, 100, QImage::Format_RGB32);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            v.setPixel(x, y, s.pixel(x % 5, 0));
    // Vertical stripes (x mod 5): the block at (48, 45) matches in columns 43 and 48 of every row.
    QTest::newRow("vertical stripes") << v << cut(v, 48, 45, 8, 8) << QPoint(43 + 4, 42 + 4);
}

void TestRefinement::tiesKeepEarlierCandidate()
{
    QFETCH(QImage, image);
    QFETCH(QImage, pattern);
    QFETCH(QPoint, refinedAt);
    for (int threads : {1, 2}) {
        parallel::setThreadCount(threads);
        StackEngine e;
        e.workImage = image;
        e.basePattern = pattern;
        e.featureX = 50;
        e.featureY = 50;
        e.matchPattern(4);
        QCOMPARE(QPoint(e.refinedX, e.refinedY), refinedAt);
        QCOMPARE(e.matchScore, 0.0f);
    }
}

void TestRefinement::radiusChangeAfterPick()
{
    // Picked with R = 5: a 10 x 10 base pattern, threshold 3000. Frame 1 scores 4000 where it lies;
    // frame 2 is the reference moved 7 up-left, its record put back at (60, 60), so its pattern
    // corner (48, 48) lies outside the R = 5 window (corners 50..59) but inside the R = 8 one (44..59).
    const QImage ref = texturedFrame(4);
    const QImage scored = withScoreInBlock(ref, patternRect(5), 4000);
    QCOMPARE(meanColour(scored), meanColour(ref));
    Aligned a;
    QVERIFY(a.setUp({ref, scored, synth::shiftedCopy(ref, -7, -7)}, 5));
    StackEngine& e = a.engine;
    QCOMPARE(QPoint(e.frames->record(2).x, e.frames->record(2).y), QPoint(53, 53));
    e.frames->update(2, [](FrameRecord& r) {
        r.x = 60;
        r.y = 60;
    });

    Recorder narrow;
    narrow.unchecked = {0};
    QVERIFY(batch::refineAll(e, narrow.progress()));
    QVERIFY2(isTimedLine(narrow.log[0], rejected(a.paths[1], "4000")), qPrintable(narrow.log[0]));
    QVERIFY(QPoint(e.refinedX, e.refinedY) != QPoint(53, 53));
    QVERIFY(e.matchScore > 0.0f);
    QVERIFY(!e.frames->record(1).refineOk);

    e.searchRadius = 8;
    Recorder wide;
    wide.unchecked = {0};
    QVERIFY(batch::refineAll(e, wide.progress()));
    QCOMPARE(e.basePattern.size(), QSize(10, 10));
    // The refined position is the best corner plus the radius in force: (55 + 8, 55 + 8) and (48 + 8).
    QVERIFY2(isTimedLine(wide.log[0], refined(a.paths[1], 63, 63, "4000")), qPrintable(wide.log[0]));
    QVERIFY2(isTimedLine(wide.log[1], refined(a.paths[2], 56, 56, "0")), qPrintable(wide.log[1]));
    QCOMPARE(wide.log[2], QStringLiteral("2 images analyzed, 2 valid"));
    QVERIFY(e.frames->record(1).refineOk);
    QVERIFY(e.frames->record(2).refineOk);
    QCOMPARE(e.currentPattern.size(), QSize(10, 10));
    QCOMPARE(e.currentPattern, cut(synth::shiftedCopy(ref, -7, -7), 52, 52, 10, 10));
    QCOMPARE(e.alignedPattern, e.basePattern);
}

void TestRefinement::refusesWithoutReference()
{
    QTemporaryDir dir;
    const QImage ref = texturedFrame(5);
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("none"), {ref, ref});
    StackEngine e;
    e.addFrames(paths);
    e.frames->update(1, [](FrameRecord& r) {
        r.aligned = true;
        r.x = 60;
        r.y = 60;
    });
    const float before = e.matchScore;
    Recorder run;
    QVERIFY(!batch::refineAll(e, run.progress()));
    QCOMPARE(run.log.size(), 1);
    QVERIFY(!run.log[0].isEmpty());
    QCOMPARE(run.shown.size(), 0);
    QVERIFY(!e.frames->record(0).refined);
    QVERIFY(!e.frames->record(1).refined);
    QCOMPARE(e.matchScore, before);
}

void TestRefinement::unalignedFrameNoMatchYet()
{
    QTemporaryDir dir;
    const QImage ref = texturedFrame(6);
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("fresh"), {ref, ref});
    StackEngine e;
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, request(0, 8), nullptr), batch::PickResult::Ok);
    Recorder run;
    run.unchecked = {0};
    QVERIFY(batch::refineAll(e, run.progress()));
    QCOMPARE(run.log.size(), 3);
    QVERIFY2(isTimedLine(run.log[0], rejected(paths[1], "0")), qPrintable(run.log[0]));
    QCOMPARE(run.log[1], QStringLiteral("1 images analyzed, 0 valid"));
    QVERIFY(!e.frames->record(1).refined);
    QVERIFY(!e.frames->record(1).refineOk);
}

void TestRefinement::unalignedFramePrintsPreviousScore()
{
    const QImage ref = texturedFrame(7);
    Aligned a;
    QVERIFY(a.setUp({ref, withScoreInBlock(ref, patternRect(8), 7681), synth::shiftedCopy(ref, 2, 2)}, 8));
    StackEngine& e = a.engine;
    Recorder first;
    QVERIFY(batch::refineAll(e, first.progress()));
    QVERIFY(e.frames->record(2).refined && e.frames->record(2).refineOk);

    // Frame 2 loses its feature; a frame that is not aligned is not matched, and its line repeats the
    // score the previous match left.
    QVERIFY(fixtures::solid(kSize, kSize, qRgb(20, 20, 20)).save(a.paths[2]));
    Recorder align;
    QVERIFY(batch::alignAll(e, align.progress()));
    QVERIFY(!e.frames->record(2).aligned);

    Recorder run;
    run.unchecked = {0};
    QVERIFY(batch::refineAll(e, run.progress()));
    QCOMPARE(run.log.size(), 4);
    QVERIFY2(isTimedLine(run.log[0], rejected(a.paths[1], "7681")), qPrintable(run.log[0]));
    QVERIFY2(isTimedLine(run.log[1], rejected(a.paths[2], "7681")), qPrintable(run.log[1]));
    QCOMPARE(run.log[2], QStringLiteral("2 images analyzed, 0 valid"));
    QVERIFY(!e.frames->record(2).refined);
}

void TestRefinement::uncheckedFramesKeepMarks()
{
    const QImage ref = texturedFrame(8);
    const QImage bad = withScoreInBlock(ref, patternRect(8), 7681);
    Aligned a;
    QVERIFY(a.setUp({ref, synth::shiftedCopy(ref, 3, -2), bad, ref}, 8));
    StackEngine& e = a.engine;
    Recorder first;
    first.unchecked = {3};
    QVERIFY(batch::refineAll(e, first.progress()));
    auto marks = [&](int i) { return qMakePair(e.frames->record(i).refined, e.frames->record(i).refineOk); };
    QCOMPARE(marks(1), qMakePair(true, true));
    QCOMPARE(marks(2), qMakePair(true, false));
    QCOMPARE(marks(3), qMakePair(false, false));

    // The files change places in quality; unchecked, the frames keep their marks.
    QVERIFY(bad.save(a.paths[1]));
    QVERIFY(ref.save(a.paths[2]));
    Recorder second;
    second.unchecked = {1, 2, 3};
    QVERIFY(batch::refineAll(e, second.progress()));
    QCOMPARE(second.log.size(), 3);
    QCOMPARE(second.log[1], QStringLiteral("1 images analyzed, 1 valid"));
    QCOMPARE(marks(1), qMakePair(true, true));
    QCOMPARE(marks(2), qMakePair(true, false));
    QCOMPARE(marks(3), qMakePair(false, false));

    // Checked again, they are re-rated from their new files (frame 1's record still says (63, 58),
    // whose window reaches the pattern at (60, 60)).
    Recorder third;
    third.unchecked = {3};
    QVERIFY(batch::refineAll(e, third.progress()));
    QCOMPARE(marks(1), qMakePair(true, false));
    QCOMPARE(marks(2), qMakePair(true, true));
    QVERIFY2(isTimedLine(third.log[1], rejected(a.paths[1], "7681")), qPrintable(third.log[1]));
}

void TestRefinement::stackingHonoursMarks()
{
    // Frame 2 is refined and rejected, frame 3 aligned but never refined.
    const QImage ref = texturedFrame(9);
    Aligned a;
    QVERIFY(a.setUp({ref, withScoreInBlock(ref, patternRect(8), 7680), withScoreInBlock(ref, patternRect(8), 7681),
                     synth::shiftedCopy(ref, -2, 1)},
                    8));
    StackEngine& e = a.engine;
    Recorder refine;
    refine.unchecked = {3};
    QVERIFY(batch::refineAll(e, refine.progress()));
    QVERIFY(e.frames->record(2).refined && !e.frames->record(2).refineOk);
    QVERIFY(!e.frames->record(3).refined && e.frames->record(3).aligned);

    Recorder stack;
    QVERIFY(batch::stackAll(e, stack.progress()));
    QStringList added;
    for (const QString& line : stack.log)
        if (line.startsWith(QStringLiteral("Added ")))
            added << line;
    QCOMPARE(added.size(), 3);
    QVERIFY(isTimedLine(added[0], QStringLiteral("Added ") + a.paths[0]));
    QVERIFY(isTimedLine(added[1], QStringLiteral("Added ") + a.paths[1]));
    QVERIFY(isTimedLine(added[2], QStringLiteral("Added ") + a.paths[3]));
    QVERIFY(stack.log.contains(QStringLiteral("4 images processed, 3 stacked")));
    QVERIFY(!e.frames->record(2).stacked);
    QVERIFY(e.frames->record(3).stacked);
    QVERIFY(e.stackReady);

    // A refinement run discards the stack.
    Recorder again;
    again.unchecked = {0, 1, 2, 3};
    QVERIFY(batch::refineAll(e, again.progress()));
    QVERIFY(!e.stackReady);
    for (std::size_t k = 0; k < e.accumulator->floatCount(); ++k)
        if (e.accumulator->data[k] != 0.0f)
            QFAIL("the accumulator keeps stacked values after refinement");
}

void TestRefinement::threadCountIndependence_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QImage>("pattern");
    QTest::addColumn<int>("radius");
    QTest::addColumn<QPoint>("feature");

    const QImage random = randomImage(140, 120, 31, 0, 255);
    QImage near = cut(random, 58, 47, 40, 40);
    near.setPixel(3, 3, qRgb(0, 0, 0));
    QTest::newRow("R 20, textured") << random << near << 20 << QPoint(70, 60);
    QTest::newRow("R 20, unrelated pattern") << random << randomImage(40, 40, 32, 0, 255) << 20 << QPoint(70, 60);
    QTest::newRow("R 6, every candidate ties") << fixtures::solid(60, 60, qRgb(9, 9, 9)) << fixtures::solid(12, 12, qRgb(9, 9, 9))
                                               << 6 << QPoint(30, 30);
    const QImage s = stripes(100, 100);
    QTest::newRow("R 4, stripes") << s << cut(s, 46, 44, 8, 8) << 4 << QPoint(50, 50);
    // A bad match at R = 80: every candidate sums beyond 2^24, where the single-precision running
    // sum rounds, so only the per-pixel float sum gives the right scores and order.
    QTest::newRow("R 80, bad match") << randomImage(400, 400, 33, 0, 25) << randomImage(160, 160, 34, 230, 255) << 80
                                     << QPoint(200, 200);
}

void TestRefinement::threadCountIndependence()
{
    QFETCH(QImage, image);
    QFETCH(QImage, pattern);
    QFETCH(int, radius);
    QFETCH(QPoint, feature);

    struct Result {
        QPoint refined;
        quint32 score;
        QImage aligned;
    };
    auto run = [&](int threads) {
        parallel::setThreadCount(threads);
        StackEngine e;
        e.workImage = image;
        e.basePattern = pattern;
        e.featureX = feature.x();
        e.featureY = feature.y();
        e.matchPattern(radius);
        return Result{QPoint(e.refinedX, e.refinedY), bitsOf(e.matchScore), e.alignedPattern};
    };
    const Result one = run(1);
    const Result two = run(2);
    QCOMPARE(two.refined, one.refined);
    QCOMPARE(two.score, one.score);
    QCOMPARE(two.aligned, one.aligned);

    const Best best = bruteForce(image, pattern, feature.x(), feature.y(), radius);
    QCOMPARE(one.refined, QPoint(best.x + radius, best.y + radius));
    QCOMPARE(one.score, bitsOf(best.score));
    QCOMPARE(one.aligned, cut(image, best.x, best.y, pattern.width(), pattern.height()));
    if (radius == 80) {
        QVERIFY2(best.exact >= (1 << 24) && float(best.exact) != best.score,
                 "the fixture must take the sums past single-precision integers");
    }
}

QTEST_GUILESS_MAIN(TestRefinement)
#include "tst_refinement.moc"
