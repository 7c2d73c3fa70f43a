// Stacking: the enlarged canvas and where each shifted frame lands in it, what one sample holds (box
// mean, dark correction, luminance, low cutoffs), which frames take part, the normalised image and
// the log of a stacking run. Expected sums are formed here from the frame pixels, in single
// precision and in the order the frames are added, so every check is exact.
#include "batch.h"
#include "fixtures.h"
#include "floatimage.h"
#include "parallel.h"
#include "stackengine.h"
#include "stacking.h"

#include <QRegularExpression>
#include <QtTest/QtTest>

#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace {

using fixtures::byteOf;
using fixtures::fraction;
using fixtures::randomImage;
using fixtures::Recorder;

// A mean dark value for channel c at frame pixel (k, j).
using DarkFn = std::function<double(int k, int j, int c)>;

// One sample as the stacking defines it: the fractions of the box's frame pixels (dark subtracted)
// summed in single precision, rows outer, divided by their number; nothing when the box holds no
// frame pixel.
std::optional<std::array<float, 3>> boxSample(const QImage& frame, int x, int y, int filter, const DarkFn& dark = {})
{
    float sum[3] = {0.0f, 0.0f, 0.0f};
    int n = 0;
    for (int j = y - filter; j <= y + filter; ++j) {
        for (int k = x - filter; k <= x + filter; ++k) {
            if (k < 0 || j < 0 || k >= frame.width() || j >= frame.height())
                continue;
            const QRgb p = frame.pixel(k, j);
            const int v[3] = {qRed(p), qGreen(p), qBlue(p)};
            for (int c = 0; c < 3; ++c) {
                double value = v[c] / 255.0;
                if (dark)
                    value -= dark(k, j, c);
                sum[c] = float(sum[c] + value);
            }
            ++n;
        }
    }
    if (n == 0)
        return std::nullopt;
    return std::array<float, 3>{sum[0] / n, sum[1] / n, sum[2] / n};
}

// The expected accumulator, built the way the stacking describes it, one frame at a time.
struct Model {
    int width = 0, height = 0;
    std::vector<float> data;

    Model(int w, int h) : width(w), height(h), data(std::size_t(w) * h * 4, 0.0f) {}

    void add(const QImage& frame, int dx, int dy, int maxDx, int maxDy, int filter, const DarkFn& dark = {})
    {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int u = x - dx + maxDx, v = y - dy + maxDy;
                if (u < 0 || v < 0 || u >= width || v >= height)
                    continue;
                const auto sample = boxSample(frame, x, y, filter, dark);
                if (!sample)
                    continue;
                float* p = &data[(std::size_t(u) + std::size_t(v) * width) * 4];
                p[0] += (*sample)[0];
                p[1] += (*sample)[1];
                p[2] += (*sample)[2];
                p[3] += 1.0f;
            }
        }
    }
};

// Empty when equal; otherwise names the first differing value.
QString compare(const FloatImage* acc, const Model& model)
{
    if (!acc || !acc->data)
        return QStringLiteral("no accumulator");
    if (acc->width != model.width || acc->height != model.height)
        return QStringLiteral("size %1x%2, expected %3x%4").arg(acc->width).arg(acc->height).arg(model.width).arg(model.height);
    for (int y = 0; y < model.height; ++y)
        for (int x = 0; x < model.width; ++x)
            for (int c = 0; c < 4; ++c) {
                const float a = acc->value(x, y, c);
                const float e = model.data[(std::size_t(x) + std::size_t(y) * model.width) * 4 + c];
                if (a != e)
                    return QStringLiteral("(%1,%2) channel %3: %4, expected %5")
                        .arg(x).arg(y).arg(c).arg(double(a), 0, 'g', 17).arg(double(e), 0, 'g', 17);
            }
    return QString();
}

// Opens the paths as a sequence aligned at the given positions, with frame `reference` as the
// reference frame. The records and offset extents are written as the alignment leaves them, so the
// stacking is tested apart from the feature search.
void prepare(StackEngine& e, const QStringList& paths, const QVector<QPoint>& positions, int reference = 0)
{
    e.addFrames(paths);
    QCOMPARE(e.prepareSequence(paths.at(reference)), StackEngine::Status::Ok);
    e.frames->referenceIndex = reference;
    const QPoint base(30, 20);
    for (int i = 0; i < paths.size(); ++i) {
        const QPoint p = base + positions.value(i);
        e.frames->update(i, [&](FrameRecord& r) {
            r.aligned = true;
            r.isReference = i == reference;
            r.x = p.x();
            r.y = p.y();
        });
        const QPoint d = positions.value(i) - positions.value(reference);
        e.minDx = std::min(e.minDx, d.x());
        e.maxDx = std::max(e.maxDx, d.x());
        e.minDy = std::min(e.minDy, d.y());
        e.maxDy = std::max(e.maxDy, d.y());
    }
    e.referenceReady = true;
}

QPoint offsetOf(const StackEngine& e, int index)
{
    const FrameRecord r = e.frames->record(index);
    const FrameRecord ref = e.frames->record(e.frames->referenceIndex);
    return QPoint(r.x - ref.x, r.y - ref.y);
}

// The time field of the per-frame and total lines: seconds with two decimals.
QRegularExpression timedLine(const QString& head)
{
    return QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(head) + QStringLiteral("\\d+\\.\\d\\ds$"));
}

} // namespace

class TestStacking : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { parallel::setThreadCount(0); }

    void canvasSizeAndLandingCorner_data();
    void canvasSizeAndLandingCorner();
    void zeroOffsetsWeighEveryFrame();
    void unfilteredSampleIsThePixelFraction();
    void boxFilterAtFrameEdges();
    void canvasBeyondTheFrameAddsNothing_data();
    void canvasBeyondTheFrameAddsNothing();
    void normalisation();
    void lowCutoffs_data();
    void lowCutoffs();
    void negativeValuesPassTheCutoff();
    void darkSubtractedWhenPreprocessingIsOff();
    void noFurtherDarkWhenPreprocessing();
    void luminanceStacking_data();
    void luminanceStacking();
    void eligibility();
    void unreadableFrameIsSkipped();
    void runLog();
    void newDarkListRebuildsTheMasterDark();
    void noCheckedFrame();
    void stackingBeforeASequence();
    void secondRunGivesTheSameImage();
    void threadCountDoesNotChangeTheResult_data();
    void threadCountDoesNotChangeTheResult();
};

void TestStacking::canvasSizeAndLandingCorner_data()
{
    QTest::addColumn<QVector<QPoint>>("positions");
    QTest::addColumn<int>("reference");
    QTest::addColumn<QSize>("canvas");

    // Frames are 7 x 5.
    QTest::newRow("right and down") << QVector<QPoint>{{0, 0}, {2, 1}} << 0 << QSize(9, 6);
    QTest::newRow("left and up") << QVector<QPoint>{{0, 0}, {-3, -2}} << 0 << QSize(10, 7);
    QTest::newRow("both sides") << QVector<QPoint>{{0, 0}, {2, -1}, {-1, 3}, {0, 0}} << 0 << QSize(10, 9);
    QTest::newRow("reference not first") << QVector<QPoint>{{1, 1}, {0, 0}, {-2, 1}} << 1 << QSize(10, 6);
}

void TestStacking::canvasSizeAndLandingCorner()
{
    QFETCH(QVector<QPoint>, positions);
    QFETCH(int, reference);
    QFETCH(QSize, canvas);

    QTemporaryDir dir;
    QVector<QImage> frames;
    for (int i = 0; i < positions.size(); ++i)
        frames << randomImage(7, 5, 100 + i);
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), frames);
    StackEngine e;
    prepare(e, paths, positions, reference);

    Recorder all;
    QVERIFY(batch::stackAll(e, all.progress()));
    QVERIFY(e.accumulator);
    QCOMPARE(QSize(e.accumulator->width, e.accumulator->height), canvas);
    QCOMPARE(all.log.value(0), QStringLiteral("new image dimension: %1x%2").arg(canvas.width()).arg(canvas.height()));

    Model model(canvas.width(), canvas.height());
    for (int i = 0; i < frames.size(); ++i) {
        const QPoint d = offsetOf(e, i);
        model.add(frames[i], d.x(), d.y(), e.maxDx, e.maxDy, 0);
    }
    QCOMPARE(compare(e.accumulator.get(), model), QString());

    // Each frame alone covers exactly its own rectangle, with its top-left pixel at the corner
    // (maxDx - dx, maxDy - dy).
    for (int i = 0; i < frames.size(); ++i) {
        Recorder one;
        for (int j = 0; j < frames.size(); ++j)
            if (j != i)
                one.unchecked << j;
        QVERIFY(batch::stackAll(e, one.progress()));
        const QPoint d = offsetOf(e, i);
        const QRect covered(e.maxDx - d.x(), e.maxDy - d.y(), 7, 5);
        for (int y = 0; y < canvas.height(); ++y)
            for (int x = 0; x < canvas.width(); ++x)
                QCOMPARE_EQ(e.accumulator->value(x, y, 3), covered.contains(x, y) ? 1.0f : 0.0f);
        const QRgb topLeft = frames[i].pixel(0, 0);
        QCOMPARE_EQ(e.accumulator->value(covered.left(), covered.top(), 0), fraction(qRed(topLeft)));
        QCOMPARE_EQ(e.accumulator->value(covered.left(), covered.top(), 1), fraction(qGreen(topLeft)));
        QCOMPARE_EQ(e.accumulator->value(covered.left(), covered.top(), 2), fraction(qBlue(topLeft)));
    }
}

void TestStacking::zeroOffsetsWeighEveryFrame()
{
    QTemporaryDir dir;
    const QVector<QImage> frames{randomImage(6, 4, 1), randomImage(6, 4, 2), randomImage(6, 4, 3)};
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), frames);
    StackEngine e;
    prepare(e, paths, {{0, 0}, {0, 0}, {0, 0}});
    Recorder r;
    QVERIFY(batch::stackAll(e, r.progress()));
    QCOMPARE(e.accumulator->width, 6);
    QCOMPARE(e.accumulator->height, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) {
            QCOMPARE_EQ(e.accumulator->value(x, y, 3), 3.0f);
            float red = 0.0f;
            for (const QImage& f : frames)
                red += fraction(qRed(f.pixel(x, y)));
            QCOMPARE_EQ(e.accumulator->value(x, y, 0), red);
        }
    QVERIFY(r.log.contains(QStringLiteral("3 images processed, 3 stacked")));
}

void TestStacking::unfilteredSampleIsThePixelFraction()
{
    // Every 8-bit value on every channel, each channel with a different ramp.
    QImage frame(256, 1, QImage::Format_RGB32);
    for (int i = 0; i < 256; ++i)
        frame.setPixel(i, 0, qRgb(i, 255 - i, (i * 37) % 256));
    auto acc = createFloatImage(256, 1);
    kernels::StackParams p;
    kernels::stackFrame(frame, *acc, p);
    for (int i = 0; i < 256; ++i) {
        QCOMPARE_EQ(acc->value(i, 0, 0), fraction(i));
        QCOMPARE_EQ(acc->value(i, 0, 1), fraction(255 - i));
        QCOMPARE_EQ(acc->value(i, 0, 2), fraction((i * 37) % 256));
        QCOMPARE_EQ(acc->value(i, 0, 3), 1.0f);
    }
}

void TestStacking::boxFilterAtFrameEdges()
{
    const QImage frame = randomImage(5, 4, 77);
    auto acc = createFloatImage(5, 4);
    kernels::StackParams p;
    p.filter = 1;
    kernels::stackFrame(frame, *acc, p);

    // Red mean of the listed pixels, summed in single precision in the order given (rows outer).
    auto redMean = [&](const QVector<QPoint>& pixels) {
        float sum = 0.0f;
        for (const QPoint& q : pixels)
            sum = float(sum + qRed(frame.pixel(q)) / 255.0);
        return sum / pixels.size();
    };
    QCOMPARE_EQ(acc->value(0, 0, 0), redMean({{0, 0}, {1, 0}, {0, 1}, {1, 1}}));
    QCOMPARE_EQ(acc->value(4, 3, 0), redMean({{3, 2}, {4, 2}, {3, 3}, {4, 3}}));
    QCOMPARE_EQ(acc->value(4, 0, 0), redMean({{3, 0}, {4, 0}, {3, 1}, {4, 1}}));
    QCOMPARE_EQ(acc->value(2, 0, 0), redMean({{1, 0}, {2, 0}, {3, 0}, {1, 1}, {2, 1}, {3, 1}}));
    QCOMPARE_EQ(acc->value(0, 2, 0), redMean({{0, 1}, {1, 1}, {0, 2}, {1, 2}, {0, 3}, {1, 3}}));
    QCOMPARE_EQ(acc->value(2, 3, 0), redMean({{1, 2}, {2, 2}, {3, 2}, {1, 3}, {2, 3}, {3, 3}}));
    QCOMPARE_EQ(acc->value(2, 1, 0), redMean({{1, 0}, {2, 0}, {3, 0}, {1, 1}, {2, 1}, {3, 1}, {1, 2}, {2, 2}, {3, 2}}));

    // Every channel of every pixel, and a box wider than the frame's edge zone.
    Model one(5, 4);
    one.add(frame, 0, 0, 0, 0, 1);
    QCOMPARE(compare(acc.get(), one), QString());

    auto wide = createFloatImage(5, 4);
    p.filter = 2;
    kernels::stackFrame(frame, *wide, p);
    Model two(5, 4);
    two.add(frame, 0, 0, 0, 0, 2);
    QCOMPARE(compare(wide.get(), two), QString());
}

void TestStacking::canvasBeyondTheFrameAddsNothing_data()
{
    QTest::addColumn<QPoint>("shift");
    QTest::addColumn<int>("filter");
    QTest::addColumn<QVector<float>>("weights"); // W along the shifted axis

    // Frames 6 x 4; frame 1 is displaced by 2, so the canvas has two more columns (rows). Frame 1
    // lands at 0 and its canvas positions 6 and 7 (rows 4 and 5) lie beyond its own size.
    QTest::newRow("right, filter 0") << QPoint(2, 0) << 0 << QVector<float>{1, 1, 2, 2, 2, 2, 1, 1};
    QTest::newRow("right, filter 1") << QPoint(2, 0) << 1 << QVector<float>{1, 1, 2, 2, 2, 2, 2, 1};
    QTest::newRow("right, filter 2") << QPoint(2, 0) << 2 << QVector<float>{1, 1, 2, 2, 2, 2, 2, 2};
    QTest::newRow("down, filter 0") << QPoint(0, 2) << 0 << QVector<float>{1, 1, 2, 2, 1, 1};
    QTest::newRow("down, filter 1") << QPoint(0, 2) << 1 << QVector<float>{1, 1, 2, 2, 2, 1};
}

void TestStacking::canvasBeyondTheFrameAddsNothing()
{
    QFETCH(QPoint, shift);
    QFETCH(int, filter);
    QFETCH(QVector<float>, weights);

    const QRgb first = qRgb(200, 100, 50), second = qRgb(100, 200, 150);
    QTemporaryDir dir;
    const QStringList paths =
        fixtures::writeSequence(dir, QStringLiteral("f"), {fixtures::solid(6, 4, first), fixtures::solid(6, 4, second)});
    StackEngine e;
    prepare(e, paths, {{0, 0}, shift});
    e.stackFilter = filter;
    Recorder r;
    QVERIFY(batch::stackAll(e, r.progress()));
    const bool horizontal = shift.x() != 0;
    QCOMPARE(horizontal ? e.accumulator->width : e.accumulator->height, int(weights.size()));
    for (int y = 0; y < e.accumulator->height; ++y)
        for (int x = 0; x < e.accumulator->width; ++x)
            QCOMPARE_EQ(e.accumulator->value(x, y, 3), weights.at(horizontal ? x : y));

    if (filter == 0) {
        // The margins show their one frame at full brightness, not darkened by empty samples.
        const QImage image = e.normalizeStack();
        const int last = int(weights.size()) - 1;
        const QPoint farEnd = horizontal ? QPoint(last, 1) : QPoint(1, last);
        QCOMPARE(image.pixel(farEnd), first);
        QCOMPARE(image.pixel(0, 0), second);
    }
}

void TestStacking::normalisation()
{
    auto acc = createFloatImage(7, 1);
    auto set = [&](int x, float r, float g, float b, float w) {
        float* p = acc->pixel(x, 0);
        p[0] = r;
        p[1] = g;
        p[2] = b;
        p[3] = w;
    };
    set(0, 0.0f, 0.0f, 0.0f, 0.0f);   // never covered
    set(1, 0.5f, 0.7f, 0.9f, 0.0f);   // sums without weight stay black too
    set(2, 1.0f, 1.5f, 2.0f, 2.0f);   // 0.5, 0.75, 1.0
    set(3, 3.0f, 2.0f, 1.0f, 2.0f);   // above 1 clamps
    set(4, -0.2f, -1.0f, 0.0f, 1.0f); // below 0 clamps
    set(5, 2.25f, 0.75f, 0.3f, 3.0f); // 0.75, 0.25, 0.1
    set(6, 1.0f, 1.0f, 1.0f, 1.0f);
    const QImage image = kernels::normalizeStack(*acc);
    QCOMPARE(image.size(), QSize(7, 1));
    QCOMPARE(image.format(), QImage::Format_RGB32);
    // f to 8 bits: int(f * 65535 + 0.5) >> 8.
    QCOMPARE(image.pixel(0, 0), qRgb(0, 0, 0));
    QCOMPARE(image.pixel(1, 0), qRgb(0, 0, 0));
    QCOMPARE(image.pixel(2, 0), qRgb(128, 191, 255));
    QCOMPARE(image.pixel(3, 0), qRgb(255, 255, 128));
    QCOMPARE(image.pixel(4, 0), qRgb(0, 0, 0));
    QCOMPARE(image.pixel(5, 0), qRgb(191, 64, byteOf(0.3f / 3.0f)));
    QCOMPARE(image.pixel(6, 0), qRgb(255, 255, 255));

    StackEngine none;
    QVERIFY(none.normalizeStack().isNull());
}

void TestStacking::lowCutoffs_data()
{
    QTest::addColumn<int>("minusR");
    QTest::addColumn<int>("minusG");
    QTest::addColumn<int>("minusB");
    QTest::newRow("no cutoff") << 0 << 0 << 0;
    QTest::newRow("cutoff 1") << 1 << 1 << 1;
    QTest::newRow("full cutoff") << 255 << 255 << 255;
    QTest::newRow("per channel") << 255 << 0 << 100;
    QTest::newRow("mid values") << 64 << 128 << 200;
}

void TestStacking::lowCutoffs()
{
    QFETCH(int, minusR);
    QFETCH(int, minusG);
    QFETCH(int, minusB);
    QImage frame(256, 1, QImage::Format_RGB32);
    for (int i = 0; i < 256; ++i)
        frame.setPixel(i, 0, qRgb(i, i, i));
    auto acc = createFloatImage(256, 1);
    kernels::StackParams p;
    p.minusR = minusR;
    p.minusG = minusG;
    p.minusB = minusB;
    kernels::stackFrame(frame, *acc, p);
    // A value below its cutoff step is cut; a value exactly at the step stays.
    const int cut[3] = {minusR, minusG, minusB};
    for (int i = 0; i < 256; ++i)
        for (int c = 0; c < 3; ++c)
            QCOMPARE_EQ(acc->value(i, 0, c), i < cut[c] ? 0.0f : fraction(i));
}

void TestStacking::negativeValuesPassTheCutoff()
{
    // Mean darks of 30, 35 and 0 (in 8-bit steps) from two dark frames.
    auto dark = createFloatImage(3, 1);
    const int darkA[3] = {28, 35, 0}, darkB[3] = {32, 35, 0};
    for (int x = 0; x < 3; ++x) {
        float* d = dark->pixel(x, 0);
        for (int c = 0; c < 3; ++c)
            d[c] = fraction(darkA[x]) + fraction(darkB[x]);
        d[3] = 2.0f;
    }
    QImage frame(3, 1, QImage::Format_RGB32);
    frame.setPixel(0, 0, qRgb(10, 10, 10));    // below the dark: negative
    frame.setPixel(1, 0, qRgb(40, 40, 40));    // 5 steps above the dark: positive, under the cutoff
    frame.setPixel(2, 0, qRgb(255, 255, 255)); // no dark: 1.0 stays
    auto acc = createFloatImage(3, 1);
    kernels::StackParams p;
    p.dark = dark.get();
    p.minusR = p.minusG = p.minusB = 255;
    kernels::stackFrame(frame, *acc, p);

    const float mean0 = (fraction(28) + fraction(32)) / 2.0f;
    const float negative = float(10 / 255.0 - mean0);
    QVERIFY(negative < 0.0f);
    for (int c = 0; c < 3; ++c) {
        QCOMPARE_EQ(acc->value(0, 0, c), negative);
        QCOMPARE_EQ(acc->value(1, 0, c), 0.0f);
        QCOMPARE_EQ(acc->value(2, 0, c), 1.0f);
    }
    QCOMPARE(kernels::normalizeStack(*acc).pixel(0, 0), qRgb(0, 0, 0));
}

void TestStacking::darkSubtractedWhenPreprocessingIsOff()
{
    QTemporaryDir dir;
    const QVector<QImage> lights{randomImage(8, 6, 11), randomImage(8, 6, 12)};
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), lights);
    // Darks smaller than the frames: outside them nothing is subtracted.
    QImage darkA(5, 4, QImage::Format_RGB32), darkB(5, 4, QImage::Format_RGB32);
    synth::Rng rng(5);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            darkA.setPixel(x, y, qRgb(rng.below(60), rng.below(60), rng.below(60)));
            darkB.setPixel(x, y, qRgb(rng.below(60), rng.below(60), rng.below(60)));
        }
    const QStringList darks = fixtures::writeSequence(dir, QStringLiteral("d"), {darkA, darkB});

    StackEngine e;
    prepare(e, paths, {{0, 0}, {0, 0}});
    e.setDarkList(darks);
    e.darkframeGain = 3.0f;    // belongs to the preprocessing only
    e.lightframeGain = 2.0f;   // likewise
    e.previewDarkframe = false;
    Recorder r;
    QVERIFY(batch::stackAll(e, r.progress()));
    QCOMPARE(r.log.mid(1, 2), QStringList({QStringLiteral("building master darkframe..."), QStringLiteral("finished.")}));

    const DarkFn mean = [&](int k, int j, int c) -> double {
        if (k >= 5 || j >= 4)
            return 0.0;
        auto channel = [c](QRgb p) { return c == 0 ? qRed(p) : c == 1 ? qGreen(p) : qBlue(p); };
        return (fraction(channel(darkA.pixel(k, j))) + fraction(channel(darkB.pixel(k, j)))) / 2.0f;
    };
    Model model(8, 6);
    for (const QImage& f : lights)
        model.add(f, 0, 0, 0, 0, 0, mean);
    QCOMPARE(compare(e.accumulator.get(), model), QString());
    QVERIFY(e.accumulator->value(0, 0, 0) != fraction(qRed(lights[0].pixel(0, 0))) + fraction(qRed(lights[1].pixel(0, 0))));

    // The same with a box filter: the dark is subtracted from every pixel of the box.
    e.stackFilter = 1;
    QVERIFY(batch::stackAll(e, r.progress()));
    Model filtered(8, 6);
    for (const QImage& f : lights)
        filtered.add(f, 0, 0, 0, 0, 1, mean);
    QCOMPARE(compare(e.accumulator.get(), filtered), QString());
}

void TestStacking::noFurtherDarkWhenPreprocessing()
{
    QTemporaryDir dir;
    const QImage light = fixtures::solid(6, 5, qRgb(100, 120, 140));
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), {light});
    const QStringList darks = fixtures::writeSequence(dir, QStringLiteral("d"), {fixtures::solid(6, 5, qRgb(30, 30, 30))});
    StackEngine e;
    e.setDarkList(darks);
    QVERIFY(e.buildMasterDark());
    e.previewDarkframe = true;
    e.darkframeGain = 2.0f;
    prepare(e, paths, {{0, 0}});
    Recorder r;
    QVERIFY(batch::stackAll(e, r.progress()));
    QCOMPARE(r.log.value(1), QStringLiteral("master darkframe already built, skipping."));

    // The loaded frame is already calibrated; stacking adds its pixels as they are.
    const QImage loaded = e.frameImage;
    QVERIFY(loaded.pixel(0, 0) != light.pixel(0, 0));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            const QRgb p = loaded.pixel(x, y);
            QCOMPARE_EQ(e.accumulator->value(x, y, 0), fraction(qRed(p)));
            QCOMPARE_EQ(e.accumulator->value(x, y, 1), fraction(qGreen(p)));
            QCOMPARE_EQ(e.accumulator->value(x, y, 2), fraction(qBlue(p)));
        }
}

void TestStacking::luminanceStacking_data()
{
    QTest::addColumn<QRgb>("colour");
    QTest::addColumn<QVector<double>>("weights");
    QTest::addColumn<QVector<int>>("cutoffs");
    QTest::addColumn<QVector<float>>("expected");

    auto luma = [](QRgb c, double wr, double wg, double wb) {
        return float(wr * (qRed(c) / 255.0) + wg * (qGreen(c) / 255.0) + wb * (qBlue(c) / 255.0));
    };
    const QRgb warm = qRgb(200, 100, 50);
    const float l = luma(warm, 0.2126, 0.7152, 0.0722);
    QCOMPARE(int(l * 255), 117);
    QTest::newRow("default weights") << warm << QVector<double>{0.2126, 0.7152, 0.0722} << QVector<int>{0, 0, 0}
                                     << QVector<float>{l, l, l};
    // The cutoff applies to the luminance, per channel.
    QTest::newRow("green cut above the luminance")
        << warm << QVector<double>{0.2126, 0.7152, 0.0722} << QVector<int>{0, 118, 0} << QVector<float>{l, 0.0f, l};
    QTest::newRow("green kept at the luminance")
        << warm << QVector<double>{0.2126, 0.7152, 0.0722} << QVector<int>{117, 117, 117} << QVector<float>{l, l, l};
    const QRgb green = qRgb(10, 200, 100);
    const float lg = luma(green, 0.2126, 0.7152, 0.0722);
    QTest::newRow("dim red kept as luminance")
        << green << QVector<double>{0.2126, 0.7152, 0.0722} << QVector<int>{50, 0, 0} << QVector<float>{lg, lg, lg};
    const float lc = luma(warm, 0.5, 0.25, 0.25);
    QTest::newRow("user weights") << warm << QVector<double>{0.5, 0.25, 0.25} << QVector<int>{0, 0, 0}
                                  << QVector<float>{lc, lc, lc};
}

void TestStacking::luminanceStacking()
{
    QFETCH(QRgb, colour);
    QFETCH(QVector<double>, weights);
    QFETCH(QVector<int>, cutoffs);
    QFETCH(QVector<float>, expected);

    QTemporaryDir dir;
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), {fixtures::solid(4, 3, colour)});
    StackEngine e;
    prepare(e, paths, {{0, 0}});
    e.luma = true;
    e.lumaWeightR = weights[0];
    e.lumaWeightG = weights[1];
    e.lumaWeightB = weights[2];
    e.minusR = cutoffs[0];
    e.minusG = cutoffs[1];
    e.minusB = cutoffs[2];
    Recorder r;
    QVERIFY(batch::stackAll(e, r.progress()));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c)
                QCOMPARE_EQ(e.accumulator->value(x, y, c), expected[c]);
    if (expected[0] == expected[1] && expected[1] == expected[2]) {
        const QRgb p = e.normalizeStack().pixel(2, 1);
        QCOMPARE(qRed(p), byteOf(expected[0]));
        QCOMPARE(qGreen(p), qRed(p));
        QCOMPARE(qBlue(p), qRed(p));
    }
}

void TestStacking::eligibility()
{
    const QVector<int> levels{100, 250, 50, 250, 20};
    QVector<QImage> frames;
    for (int v : levels)
        frames << fixtures::solid(4, 4, qRgb(v, v, v));
    QTemporaryDir dir;
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), frames);
    StackEngine e;
    prepare(e, paths, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}});
    e.frames->update(1, [](FrameRecord& r) { r.refined = true; r.refineOk = false; }); // refinement failed
    e.frames->update(2, [](FrameRecord& r) { r.refined = true; r.refineOk = true; });
    e.frames->update(3, [](FrameRecord& r) { r.aligned = false; });
    // Frame 4 is aligned and was never refined.
    Recorder r;
    QVERIFY(batch::stackAll(e, r.progress()));

    const QVector<bool> stacked{true, false, true, false, true};
    for (int i = 0; i < 5; ++i)
        QCOMPARE(e.frames->record(i).stacked, stacked[i]);
    QCOMPARE_EQ(e.accumulator->value(1, 1, 3), 3.0f);
    QCOMPARE_EQ(e.accumulator->value(1, 1, 0), fraction(100) + fraction(50) + fraction(20));
    const QStringList added = r.log.filter(QStringLiteral("Added "));
    QCOMPARE(added.size(), 3);
    QVERIFY(added[0].startsWith(QStringLiteral("Added ") + paths[0] + QStringLiteral(" // ")));
    QVERIFY(added[1].startsWith(QStringLiteral("Added ") + paths[2] + QStringLiteral(" // ")));
    QVERIFY(added[2].startsWith(QStringLiteral("Added ") + paths[4] + QStringLiteral(" // ")));
    QVERIFY(r.log.contains(QStringLiteral("5 images processed, 3 stacked")));
}

void TestStacking::unreadableFrameIsSkipped()
{
    QTemporaryDir dir;
    const QString a = fixtures::write(dir, QStringLiteral("a.png"), fixtures::solid(4, 3, qRgb(90, 90, 90)));
    const QString bad = fixtures::writeCorrupt(dir, QStringLiteral("b.png"));
    const QString c = fixtures::write(dir, QStringLiteral("c.png"), fixtures::solid(4, 3, qRgb(30, 30, 30)));
    StackEngine e;
    prepare(e, {a, bad, c}, {{0, 0}, {0, 0}, {0, 0}});
    Recorder r;
    QVERIFY(batch::stackAll(e, r.progress()));
    QCOMPARE(r.log.filter(QStringLiteral("Could not read image file: ")), QStringList{QStringLiteral("Could not read image file: ") + bad});
    QCOMPARE(r.unreadable, QStringList{bad});
    QVERIFY(!e.frames->record(1).stacked);
    // The previous frame, still loaded, must not be added a second time.
    QCOMPARE_EQ(e.accumulator->value(0, 0, 3), 2.0f);
    QCOMPARE_EQ(e.accumulator->value(0, 0, 0), fraction(90) + fraction(30));
    QVERIFY(r.log.contains(QStringLiteral("3 images processed, 2 stacked")));
}

void TestStacking::runLog()
{
    QTemporaryDir dir;
    const QVector<QImage> frames{randomImage(7, 5, 1), randomImage(7, 5, 2), randomImage(7, 5, 3)};
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), frames);
    StackEngine e;
    prepare(e, paths, {{0, 0}, {1, 0}, {0, -1}});
    Recorder r;
    r.unchecked << 1; // passed over without any trace
    QVERIFY(batch::stackAll(e, r.progress()));

    QCOMPARE(r.log.size(), 8);
    QCOMPARE(r.log[0], QStringLiteral("new image dimension: 8x6")); // the extents include the unchecked frame
    QCOMPARE(r.log[1], QStringLiteral("building master darkframe..."));
    QCOMPARE(r.log[2], QStringLiteral("finished."));
    QVERIFY2(timedLine(QStringLiteral("Added ") + paths[0] + QStringLiteral(" // Processing time: ")).match(r.log[3]).hasMatch(),
             qPrintable(r.log[3]));
    QVERIFY2(timedLine(QStringLiteral("Added ") + paths[2] + QStringLiteral(" // Processing time: ")).match(r.log[4]).hasMatch(),
             qPrintable(r.log[4]));
    QCOMPARE(r.log[5], QStringLiteral("2 images processed, 2 stacked"));
    QCOMPARE(r.log[6], QStringLiteral("Normalizing..."));
    QVERIFY2(timedLine(QStringLiteral("Total processing time: ")).match(r.log[7]).hasMatch(), qPrintable(r.log[7]));

    QCOMPARE(r.status, QStringList({QStringLiteral("Master darkframe build in progress..."), QStringLiteral("Stacking... 0.0%"),
                                    QStringLiteral("Stacking... 66.7%")}));
    QVERIFY(!e.frames->record(1).stacked);
    QVERIFY(e.stackReady);
    // Each added frame is shown, then the normalised stack.
    QCOMPARE(r.shown.size(), 3);
    QCOMPARE(r.shown.last(), e.normalizeStack());
    QCOMPARE(r.shown[0].size(), QSize(7, 5));
}

void TestStacking::newDarkListRebuildsTheMasterDark()
{
    QTemporaryDir dir;
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), {randomImage(5, 4, 9)});
    const QString dark = fixtures::write(dir, QStringLiteral("dark.png"), fixtures::solid(5, 4, qRgb(8, 8, 8)));
    const QString missing = dir.filePath(QStringLiteral("missing.png"));
    StackEngine e;
    prepare(e, paths, {{0, 0}});
    Recorder first;
    QVERIFY(batch::stackAll(e, first.progress()));
    QCOMPARE(first.log.value(1), QStringLiteral("building master darkframe..."));

    e.setDarkList({dark, missing});
    Recorder second;
    QVERIFY(batch::stackAll(e, second.progress()));
    QCOMPARE(second.log.mid(1, 3), QStringList({QStringLiteral("building master darkframe..."),
                                                QStringLiteral("Could not read dark frame: ") + missing,
                                                QStringLiteral("finished.")}));
    QCOMPARE_EQ(e.accumulator->value(0, 0, 0), float(qRed(randomImage(5, 4, 9).pixel(0, 0)) / 255.0 - fraction(8)));

    Recorder third;
    QVERIFY(batch::stackAll(e, third.progress()));
    QCOMPARE(third.log.value(1), QStringLiteral("master darkframe already built, skipping."));
    QCOMPARE(third.log.filter(QStringLiteral("dark")).size(), 1);
}

void TestStacking::noCheckedFrame()
{
    QTemporaryDir dir;
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), {randomImage(5, 4, 1), randomImage(5, 4, 2)});
    StackEngine e;
    prepare(e, paths, {{0, 0}, {-2, 1}});
    Recorder r;
    r.unchecked << 0 << 1;
    QVERIFY(batch::stackAll(e, r.progress()));
    QVERIFY(r.log.contains(QStringLiteral("0 images processed, 0 stacked")));
    QCOMPARE(e.accumulator->width, 7);
    QCOMPARE(e.accumulator->height, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            QCOMPARE_EQ(e.accumulator->value(x, y, 3), 0.0f);
    const QImage image = e.normalizeStack();
    QCOMPARE(image.size(), QSize(7, 5));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            QCOMPARE(image.pixel(x, y), qRgb(0, 0, 0));
}

void TestStacking::stackingBeforeASequence()
{
    StackEngine fresh;
    Recorder r;
    QVERIFY(!batch::stackAll(fresh, r.progress()));
    QCOMPARE(r.log.size(), 1);
    QVERIFY(!r.log[0].isEmpty());
    QVERIFY(r.status.isEmpty());
    QVERIFY(r.shown.isEmpty());
    QVERIFY(!fresh.accumulator);
    QVERIFY(!fresh.stackReady);
    QVERIFY(!fresh.masterDarkBuilt);

    // Frames listed but none loaded yet: nothing to size the canvas from.
    StackEngine listed;
    listed.addFrames({QStringLiteral("/nonexistent/a.png")});
    Recorder s;
    QVERIFY(!batch::stackAll(listed, s.progress()));
    QCOMPARE(s.log.size(), 1);
    QVERIFY(!listed.accumulator);
}

void TestStacking::secondRunGivesTheSameImage()
{
    QTemporaryDir dir;
    const QStringList paths =
        fixtures::writeSequence(dir, QStringLiteral("f"), {randomImage(9, 7, 1), randomImage(9, 7, 2), randomImage(9, 7, 3)});
    const QStringList darks = fixtures::writeSequence(dir, QStringLiteral("d"), {randomImage(9, 7, 4)});
    StackEngine e;
    prepare(e, paths, {{0, 0}, {2, -1}, {-1, 1}});
    e.setDarkList(darks);
    e.stackFilter = 1;
    e.minusG = 40;
    Recorder first;
    QVERIFY(batch::stackAll(e, first.progress()));
    const QImage image = e.normalizeStack();
    const std::vector<float> sums(e.accumulator->data.get(), e.accumulator->data.get() + e.accumulator->floatCount());

    Recorder second;
    QVERIFY(batch::stackAll(e, second.progress()));
    QCOMPARE(second.log.value(1), QStringLiteral("master darkframe already built, skipping."));
    QCOMPARE(first.log.value(1), QStringLiteral("building master darkframe..."));
    QCOMPARE(second.log.size(), first.log.size() - 1); // one line less: no "finished."
    QVERIFY(second.log.contains(QStringLiteral("3 images processed, 3 stacked")));
    QCOMPARE(e.normalizeStack(), image);
    const std::vector<float> again(e.accumulator->data.get(), e.accumulator->data.get() + e.accumulator->floatCount());
    QVERIFY(again == sums);
}

void TestStacking::threadCountDoesNotChangeTheResult_data()
{
    QTest::addColumn<int>("filter");
    QTest::addColumn<bool>("withDark");
    QTest::newRow("filter 0") << 0 << false;
    QTest::newRow("filter 1, dark") << 1 << true;
    QTest::newRow("filter 2") << 2 << false;
}

void TestStacking::threadCountDoesNotChangeTheResult()
{
    QFETCH(int, filter);
    QFETCH(bool, withDark);

    // Tall frames, so that two threads get rows of their own.
    QTemporaryDir dir;
    const QVector<QImage> frames{randomImage(40, 150, 21), randomImage(40, 150, 22), randomImage(40, 150, 23)};
    const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("f"), frames);
    const QImage darkImage = randomImage(40, 150, 24);
    StackEngine e;
    prepare(e, paths, {{0, 0}, {3, -2}, {-1, 4}});
    if (withDark)
        e.setDarkList(fixtures::writeSequence(dir, QStringLiteral("d"), {darkImage}));
    e.stackFilter = filter;

    parallel::setThreadCount(1);
    Recorder one;
    QVERIFY(batch::stackAll(e, one.progress()));
    const std::vector<float> single(e.accumulator->data.get(), e.accumulator->data.get() + e.accumulator->floatCount());

    Model model(e.accumulator->width, e.accumulator->height);
    const DarkFn dark = [&](int k, int j, int c) -> double {
        const QRgb p = darkImage.pixel(k, j);
        return fraction(c == 0 ? qRed(p) : c == 1 ? qGreen(p) : qBlue(p));
    };
    for (int i = 0; i < frames.size(); ++i) {
        const QPoint d = offsetOf(e, i);
        model.add(frames[i], d.x(), d.y(), e.maxDx, e.maxDy, filter, withDark ? dark : DarkFn());
    }
    QCOMPARE(compare(e.accumulator.get(), model), QString());

    parallel::setThreadCount(2);
    Recorder two;
    QVERIFY(batch::stackAll(e, two.progress()));
    const std::vector<float> dual(e.accumulator->data.get(), e.accumulator->data.get() + e.accumulator->floatCount());
    QVERIFY(dual == single);
    QCOMPARE(two.shown.last(), one.shown.last());
}

QTEST_GUILESS_MAIN(TestStacking)
#include "tst_stacking.moc"
