// The engine's own state: the frame table, the float images, loading and calibration of frames, the
// accumulator sizes and the sampling behind the pixel inspector. Dark frames have their own suite.
#include "fixtures.h"
#include "parallel.h"
#include "stackengine.h"

#include <QtTest/QtTest>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#endif

namespace {

using fixtures::exact;

// Bytes of address space the process has mapped now.
qint64 mappedBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmSize:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

// Caps the address space a little above what the process uses now, so that a request for an absurd
// amount of memory fails on every machine whatever the kernel's overcommit policy (rather than
// succeeding and then zero-filling gigabytes). The kernels run on the calling thread meanwhile: a pool
// thread started under the cap could not map its stack.
class AddressSpaceCap {
public:
    explicit AddressSpaceCap(qint64 headroom)
    {
#ifdef Q_OS_LINUX
        const qint64 used = mappedBytes();
        if (used <= 0 || getrlimit(RLIMIT_AS, &saved_) != 0)
            return;
        rlimit capped = saved_;
        capped.rlim_cur = rlim_t(used + headroom);
        if (saved_.rlim_max != RLIM_INFINITY && capped.rlim_cur > saved_.rlim_max)
            return;
        parallel::setThreadCount(1);
        active_ = setrlimit(RLIMIT_AS, &capped) == 0;
        if (!active_)
            parallel::setThreadCount(0);
#else
        Q_UNUSED(headroom);
#endif
    }
    ~AddressSpaceCap()
    {
#ifdef Q_OS_LINUX
        if (active_) {
            setrlimit(RLIMIT_AS, &saved_);
            parallel::setThreadCount(0);
        }
#endif
    }
    bool active() const { return active_; }

private:
    bool active_ = false;
#ifdef Q_OS_LINUX
    rlimit saved_{};
#endif
};

// A pattern with a different colour at every pixel of small images.
QImage patterned(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 29 + y * 13 + x * y * 7) % 256, (x * x * 3 + y * 17) % 256,
                                      (255 - x * 11 - y * y * 2 + 512) % 256));
    return image;
}

// "" when every pixel of actual has the colour expected(x, y) (alpha ignored), else the first mismatch.
QString pixelMismatch(const QImage& actual, const std::function<QRgb(int, int)>& expected)
{
    for (int y = 0; y < actual.height(); ++y)
        for (int x = 0; x < actual.width(); ++x) {
            const QRgb a = actual.pixel(x, y), e = expected(x, y);
            if ((a & 0xffffff) != (e & 0xffffff))
                return QStringLiteral("pixel (%1, %2): got (%3, %4, %5), expected (%6, %7, %8)")
                    .arg(x).arg(y)
                    .arg(qRed(a)).arg(qGreen(a)).arg(qBlue(a))
                    .arg(qRed(e)).arg(qGreen(e)).arg(qBlue(e));
        }
    return QString();
}

QString pixelMismatch(const QImage& actual, const QImage& expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width()).arg(actual.height()).arg(expected.width()).arg(expected.height());
    return pixelMismatch(actual, [&](int x, int y) { return expected.pixel(x, y); });
}

// The calibration of one 8-bit channel without a dark, worked out from the rules: 0..2 are at or under
// the floor; the gain comes after the floor test; the result clips at 255. Only for values whose
// product with the gain is a whole number.
int calibratedWithoutDark(int value, int gain)
{
    return value <= 2 ? 0 : qMin(255, value * gain);
}

void fillAll(FloatImage& image, float value)
{
    std::fill_n(image.data.get(), image.floatCount(), value);
}

bool allEqual(const FloatImage& image, float value)
{
    for (std::size_t i = 0; i < image.floatCount(); ++i)
        if (image.data[i] != value)
            return false;
    return true;
}

FrameRecord nonDefaultRecord(int seed)
{
    FrameRecord r;
    r.isReference = seed == 0;
    r.aligned = true;
    r.stacked = true;
    r.valid = false;
    r.refined = true;
    r.refineOk = true;
    r.x = 10 + seed;
    r.y = 20 + seed;
    r.quality = 40.5f + seed;
    return r;
}

void setRecord(StackEngine& e, int index, const FrameRecord& value)
{
    e.frames->update(index, [&](FrameRecord& r) { r = value; });
}

QString recordMismatch(const FrameRecord& a, const FrameRecord& e)
{
    if (a.isReference != e.isReference || a.aligned != e.aligned || a.stacked != e.stacked || a.valid != e.valid
        || a.refined != e.refined || a.refineOk != e.refineOk || a.x != e.x || a.y != e.y || a.quality != e.quality)
        return QStringLiteral("record {ref %1 aligned %2 stacked %3 valid %4 refined %5 refineOk %6 x %7 y %8 q %9}")
            .arg(a.isReference).arg(a.aligned).arg(a.stacked).arg(a.valid).arg(a.refined).arg(a.refineOk)
            .arg(a.x).arg(a.y).arg(a.quality);
    return QString();
}

} // namespace

class TestEngine : public QObject {
    Q_OBJECT

private slots:
    // records
    void newEngineDefaults();
    void addFrameReturnsIndexOfNewRecord();
    void outOfRangeReadsGiveDefaults_data();
    void outOfRangeReadsGiveDefaults();
    void outOfRangeWritesAreDropped_data();
    void outOfRangeWritesAreDropped();
    void appendingKeepsEarlierRecords();

    // float images
    void floatImageLayout();
    void floatImageReadsOutsideAreZero_data();
    void floatImageReadsOutsideAreZero();
    void createFloatImageRefusesAbsurdSizes_data();
    void createFloatImageRefusesAbsurdSizes();
    void resizeAccumulatorRefusesAbsurdExtents_data();
    void resizeAccumulatorRefusesAbsurdExtents();
    void prepareSequenceWithoutMemoryKeepsState();

    // loading and calibration
    void loadFrameKeepsFilePixels_data();
    void loadFrameKeepsFilePixels();
    void calibrationOfStoredFormats_data();
    void calibrationOfStoredFormats();
    void calibrationKeepsValuesAboveFloor();
    void calibrationWithoutDark_data();
    void calibrationWithoutDark();
    void valueAtFloorAfterSubtractionBecomesZero();
    void darkOutsideMasterDarkExtentIsZero_data();
    void darkOutsideMasterDarkExtentIsZero();
    void previewOffIgnoresMasterDark();
    void supersamplingEnlargesFrameAndAccumulator();
    void resizeAccumulatorAddsExtents();
    void unreadableFrameKeepsCurrentFrame_data();
    void unreadableFrameKeepsCurrentFrame();
    void prepareSequenceOfUnreadableFileChangesNothing();

    // pixel inspector
    void inspectorColourAndLuma_data();
    void inspectorColourAndLuma();
    void everyGreyLevelShowsItself();
    void boxFilterSampling_data();
    void boxFilterSampling();

private:
    void storedFormats();
};

// ---- records -------------------------------------------------------------------------------------

void TestEngine::newEngineDefaults()
{
    StackEngine e;
    QVERIFY(e.frames);
    QCOMPARE(e.frames->count(), 0);
    QVERIFY(e.frames->paths().isEmpty());
    QVERIFY(!e.accumulator);
    QVERIFY(!e.masterDark);
    QVERIFY(e.frameImage.isNull());
    QVERIFY(e.darkList.isEmpty());
    QCOMPARE(e.darkSequenceLoaded, false);
    QCOMPARE(e.masterDarkBuilt, false);
    QCOMPARE(e.previewDarkframe, false);
    QCOMPARE(e.supersample, false);
    QCOMPARE(e.scaleFactor, 1);
    QCOMPARE(exact(e.lightframeGain), exact(1.0f));
    QCOMPARE(exact(e.darkframeGain), exact(1.0f));
    // The floors are the float nearest 2/255.
    QCOMPARE(exact(e.noiseFloorR), exact(0.0078431377f));
    QCOMPARE(exact(e.noiseFloorG), exact(float(2.0 / 255.0)));
    QCOMPARE(exact(e.noiseFloorB), exact(float(2.0 / 255.0)));
    for (float v : {e.gainR, e.gainG, e.gainB, e.gammaR, e.gammaG, e.gammaB, e.contrastR, e.contrastG, e.contrastB})
        QCOMPARE(exact(v), exact(1.0f));
    for (float v : {e.offsetR, e.offsetG, e.offsetB})
        QCOMPARE(exact(v), exact(0.0f));
    for (int v : {e.minusR, e.minusG, e.minusB, e.maxDx, e.minDx, e.maxDy, e.minDy})
        QCOMPARE(v, 0);
    QCOMPARE(e.luma, false);
    QCOMPARE(e.lumaOut, false);
    QCOMPARE(e.qualityAnalysed, false);
    QCOMPARE(e.lowValueBoost, false);
    QCOMPARE(e.hillFunc, false);
    QCOMPARE(e.downhillFunc, false);
    QVERIFY(!e.referenceColor.isValid());
}

void TestEngine::addFrameReturnsIndexOfNewRecord()
{
    StackEngine e;
    QCOMPARE(e.frames->addFrame(QStringLiteral("/a/f0.png")), 0);
    for (int i = 1; i < 5; ++i)
        QCOMPARE(e.frames->addFrame(QStringLiteral("/a/f%1.png").arg(i)), i);
    // Records already touched must not leak into the new one.
    for (int i = 0; i < 5; ++i)
        setRecord(e, i, nonDefaultRecord(i));

    QCOMPARE(e.frames->addFrame(QStringLiteral("/a/f5.png")), 5);
    QCOMPARE(e.frames->count(), 6);
    QCOMPARE(e.frames->path(5), QStringLiteral("/a/f5.png"));
    const FrameRecord r = e.frames->record(5);
    QCOMPARE(r.valid, true);
    QCOMPARE(r.isReference, false);
    QCOMPARE(r.aligned, false);
    QCOMPARE(r.stacked, false);
    QCOMPARE(r.refined, false);
    QCOMPARE(r.refineOk, false);
    QCOMPARE(r.x, 0);
    QCOMPARE(r.y, 0);
    QCOMPARE(exact(r.quality), exact(0.0f));
}

void TestEngine::outOfRangeReadsGiveDefaults_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("count") << 4;
    QTest::newRow("count + 1") << 5;
    QTest::newRow("far beyond") << 100000;
    QTest::newRow("negative") << -1;
    QTest::newRow("INT_MIN") << INT_MIN;
}

void TestEngine::outOfRangeReadsGiveDefaults()
{
    QFETCH(int, index);
    StackEngine e;
    e.addFrames({"/a/0.png", "/a/1.png", "/a/2.png", "/a/3.png"});
    for (int i = 0; i < 4; ++i)
        setRecord(e, i, nonDefaultRecord(i));

    QCOMPARE(e.frames->path(index), QString());
    // Every flag reads false outside the table, valid included.
    FrameRecord none;
    none.valid = false;
    const QString mismatch = recordMismatch(e.frames->record(index), none);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QCOMPARE(e.frames->record(index).aligned, false);
    QCOMPARE(e.frames->record(index).valid, false);
    QCOMPARE(e.frames->record(index).x, 0);
    QCOMPARE(exact(e.frames->record(index).quality), exact(0.0f));
}

void TestEngine::outOfRangeWritesAreDropped_data()
{
    outOfRangeReadsGiveDefaults_data();
}

void TestEngine::outOfRangeWritesAreDropped()
{
    QFETCH(int, index);
    StackEngine e;
    e.addFrames({"/a/0.png", "/a/1.png", "/a/2.png", "/a/3.png"});
    for (int i = 0; i < 4; ++i)
        setRecord(e, i, nonDefaultRecord(i));

    e.frames->update(index, [](FrameRecord& r) {
        r.aligned = true;
        r.valid = false;
        r.x = 99;
        r.quality = 77.0f;
    });

    QCOMPARE(e.frames->count(), 4);
    FrameRecord none;
    none.valid = false;
    QString mismatch = recordMismatch(e.frames->record(index), none);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    for (int i = 0; i < 4; ++i) {
        mismatch = recordMismatch(e.frames->record(i), nonDefaultRecord(i));
        QVERIFY2(mismatch.isEmpty(), qPrintable(QStringLiteral("record %1: ").arg(i) + mismatch));
    }
    // A record appended afterwards starts fresh: the dropped write did not land in spare storage.
    QCOMPARE(e.frames->addFrame(QStringLiteral("/a/4.png")), 4);
    mismatch = recordMismatch(e.frames->record(4), FrameRecord());
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestEngine::appendingKeepsEarlierRecords()
{
    StackEngine e;
    const QStringList first{"/s/a.png", "/s/b.png", "/s/c.png", "/s/d.png"};
    const QStringList second{"/t/e.png", "/t/f.png", "/t/g.png"};
    e.addFrames(first);
    for (int i = 0; i < 4; ++i)
        setRecord(e, i, nonDefaultRecord(i));

    e.addFrames(second);
    QCOMPARE(e.frames->count(), 7);
    QCOMPARE(e.frames->paths(), first + second);
    for (int i = 0; i < 4; ++i) {
        const QString mismatch = recordMismatch(e.frames->record(i), nonDefaultRecord(i));
        QVERIFY2(mismatch.isEmpty(), qPrintable(QStringLiteral("record %1: ").arg(i) + mismatch));
    }
    for (int i = 4; i < 7; ++i) {
        QCOMPARE(e.frames->path(i), second.at(i - 4));
        const QString mismatch = recordMismatch(e.frames->record(i), FrameRecord());
        QVERIFY2(mismatch.isEmpty(), qPrintable(QStringLiteral("record %1: ").arg(i) + mismatch));
    }
}

// ---- float images --------------------------------------------------------------------------------

void TestEngine::floatImageLayout()
{
    auto image = createFloatImage(3, 2);
    QVERIFY(image);
    QCOMPARE(image->width, 3);
    QCOMPARE(image->height, 2);
    QCOMPARE(image->floatCount(), std::size_t(24));
    QVERIFY(allEqual(*image, 0.0f));
    QCOMPARE(image->indexOf(2, 1), std::size_t(20));
    QCOMPARE(image->indexOf(1, 1), std::size_t(16));
    QCOMPARE(image->indexOf(0, 1), std::size_t(12));

    for (int i = 0; i < 4; ++i)
        image->data[20 + i] = float(i + 1);
    QCOMPARE(image->pixel(2, 1), image->data.get() + 20);
    for (int c = 0; c < 4; ++c) {
        QCOMPARE(exact(image->value(2, 1, c)), exact(float(c + 1)));
        QCOMPARE(exact(image->value(1, 1, c)), exact(0.0f));
        QCOMPARE(floatValue(image.get(), 2, 1, c), float(c + 1));
    }
    image->clear();
    QVERIFY(allEqual(*image, 0.0f));
}

void TestEngine::floatImageReadsOutsideAreZero_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::newRow("left") << -1 << 0;
    QTest::newRow("right") << 3 << 0; // would alias pixel (0, 1) if only the index were checked
    QTest::newRow("above") << 0 << -1;
    QTest::newRow("below") << 0 << 2;
    QTest::newRow("past the corner") << 3 << 2;
    QTest::newRow("right of the last pixel") << 3 << 1;
    QTest::newRow("far negative") << INT_MIN << INT_MIN;
    QTest::newRow("far positive") << INT_MAX << INT_MAX;
}

void TestEngine::floatImageReadsOutsideAreZero()
{
    QFETCH(int, x);
    QFETCH(int, y);
    auto image = createFloatImage(3, 2);
    QVERIFY(image);
    fillAll(*image, 7.0f);
    for (int c = 0; c < 4; ++c) {
        QCOMPARE(exact(image->value(x, y, c)), exact(0.0f));
        QCOMPARE(exact(floatValue(image.get(), x, y, c)), exact(0.0f));
        QCOMPARE(exact(floatValue(nullptr, x, y, c)), exact(0.0f));
    }
    // A missing image reads 0 inside the range too.
    QCOMPARE(exact(floatValue(nullptr, 1, 1, 0)), exact(0.0f));
}

void TestEngine::createFloatImageRefusesAbsurdSizes_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("100000 x 100000") << 100000 << 100000;
    QTest::newRow("INT_MAX x INT_MAX") << INT_MAX << INT_MAX;
    QTest::newRow("INT_MAX x 1") << INT_MAX << 1;
    // 4 * w * h is a multiple of 2^32: zero in 32-bit arithmetic.
    QTest::newRow("32768 x 32768") << 32768 << 32768;
    QTest::newRow("65536 x 16384") << 65536 << 16384;
    // 4 * w * h just past 2^32: a few floats in 32-bit arithmetic.
    QTest::newRow("65537 x 16384") << 65537 << 16384;
    QTest::newRow("negative width") << -1 << 10;
    QTest::newRow("negative height") << 10 << -1;
    QTest::newRow("both negative") << -2 << -3;
    QTest::newRow("INT_MIN x INT_MIN") << INT_MIN << INT_MIN;
}

void TestEngine::createFloatImageRefusesAbsurdSizes()
{
    QFETCH(int, width);
    QFETCH(int, height);
    AddressSpaceCap cap(qint64(64) << 20);
    if (!cap.active())
        QSKIP("the address space cannot be capped here");
    const auto image = createFloatImage(width, height);
    QVERIFY2(!image, qPrintable(QStringLiteral("got a %1x%2 image").arg(image ? image->width : 0).arg(image ? image->height : 0)));
}

void TestEngine::resizeAccumulatorRefusesAbsurdExtents_data()
{
    QTest::addColumn<int>("maxDx");
    QTest::addColumn<int>("minDx");
    QTest::addColumn<int>("maxDy");
    QTest::addColumn<int>("minDy");
    QTest::newRow("100000 each way") << 100000 << -100000 << 100000 << -100000;
    QTest::newRow("width past INT_MAX") << INT_MAX << 0 << 0 << 0;
    QTest::newRow("height past INT_MAX") << 0 << 0 << 0 << INT_MIN;
    QTest::newRow("both past INT_MAX") << INT_MAX << INT_MIN << INT_MAX << INT_MIN;
    // A 32768 x 32768 canvas: 2^32 floats, zero in 32-bit arithmetic.
    QTest::newRow("32768 x 32768 canvas") << 32668 << 0 << 0 << -32688;
    QTest::newRow("negative width") << 0 << 200 << 0 << 0;
}

void TestEngine::resizeAccumulatorRefusesAbsurdExtents()
{
    QFETCH(int, maxDx);
    QFETCH(int, minDx);
    QFETCH(int, maxDy);
    QFETCH(int, minDy);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QImage frame = patterned(100, 80);
    const QString path = fixtures::write(dir, QStringLiteral("frame.png"), frame);
    StackEngine e;
    QCOMPARE(e.prepareSequence(path), StackEngine::Status::Ok);
    QVERIFY(e.accumulator);
    const FloatImage* before = e.accumulator.get();
    fillAll(*e.accumulator, 0.25f);
    e.maxDx = maxDx;
    e.minDx = minDx;
    e.maxDy = maxDy;
    e.minDy = minDy;

    StackEngine::Status status;
    {
        AddressSpaceCap cap(qint64(64) << 20);
        if (!cap.active())
            QSKIP("the address space cannot be capped here");
        status = e.resizeAccumulator();
    }
    QCOMPARE(status, StackEngine::Status::OutOfMemory);
    QCOMPARE(e.accumulator.get(), before);
    QCOMPARE(e.accumulator->width, 100);
    QCOMPARE(e.accumulator->height, 80);
    QVERIFY(allEqual(*e.accumulator, 0.25f));
    QCOMPARE(e.frameImage.size(), QSize(100, 80));
    QCOMPARE(e.maxDx, maxDx);
    QCOMPARE(e.minDy, minDy);
}

void TestEngine::prepareSequenceWithoutMemoryKeepsState()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QImage small = patterned(10, 8);
    const QString smallPath = fixtures::write(dir, QStringLiteral("small.png"), small);
    // 16 MB as a frame but 64 MB as a float image.
    const QString bigPath = fixtures::write(dir, QStringLiteral("big.png"), fixtures::solid(2048, 2048, qRgb(9, 8, 7)));
    QVERIFY(!bigPath.isEmpty());

    StackEngine e;
    QCOMPARE(e.prepareSequence(smallPath), StackEngine::Status::Ok);
    const FloatImage* before = e.accumulator.get();
    fillAll(*e.accumulator, 0.5f);
    e.maxDx = 3;
    e.minDx = -2;
    e.maxDy = 1;
    e.minDy = -4;

    StackEngine::Status status;
    {
        AddressSpaceCap cap(qint64(40) << 20);
        if (!cap.active())
            QSKIP("the address space cannot be capped here");
        status = e.prepareSequence(bigPath);
    }
    QCOMPARE(status, StackEngine::Status::OutOfMemory);
    QCOMPARE(e.accumulator.get(), before);
    QCOMPARE(e.accumulator->width, 10);
    QCOMPARE(e.accumulator->height, 8);
    QVERIFY(allEqual(*e.accumulator, 0.5f));
    const QString mismatch = pixelMismatch(e.frameImage, small);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QCOMPARE(e.maxDx, 3);
    QCOMPARE(e.minDx, -2);
    QCOMPARE(e.maxDy, 1);
    QCOMPARE(e.minDy, -4);

    // Without the cap the same file opens: the memory was the only obstacle.
    QCOMPARE(e.prepareSequence(bigPath), StackEngine::Status::Ok);
    QCOMPARE(e.accumulator->width, 2048);
    QCOMPARE(e.accumulator->height, 2048);
    QCOMPARE(e.maxDx, 0);
    QCOMPARE(e.minDy, 0);
}

// ---- loading and calibration ---------------------------------------------------------------------

void TestEngine::storedFormats()
{
    QTest::addColumn<QImage>("source");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("storedFormat"); // how the file decodes; Format_Invalid: not checked
    QTest::addColumn<QImage>("expected");  // the colours the frame must show

    const int w = 7, h = 5;
    const QImage rgb = patterned(w, h);
    QTest::newRow("rgb png") << rgb << "f.png" << int(QImage::Format_RGB32) << rgb;
    QTest::newRow("bmp") << rgb << "f.bmp" << int(QImage::Format_Invalid) << rgb;
    QTest::newRow("ppm") << rgb << "f.ppm" << int(QImage::Format_Invalid) << rgb;

    const QVector<QRgb> table{qRgb(250, 10, 3), qRgb(1, 2, 200), qRgb(128, 64, 32), qRgb(3, 3, 100)};
    QImage palette(w, h, QImage::Format_Indexed8);
    palette.setColorTable(table);
    QImage paletteExpected(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            palette.setPixel(x, y, uint((x + 2 * y) % 4));
            paletteExpected.setPixel(x, y, table.at((x + 2 * y) % 4));
        }
    QTest::newRow("palette png") << palette << "p.png" << int(QImage::Format_Indexed8) << paletteExpected;

    QImage grey(w, h, QImage::Format_Grayscale8);
    QImage greyExpected(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int g = (x * 40 + y * 7) % 256;
            grey.scanLine(y)[x] = uchar(g);
            greyExpected.setPixel(x, y, qRgb(g, g, g));
        }
    QTest::newRow("grayscale png") << grey << "g.png" << int(QImage::Format_Grayscale8) << greyExpected;

    QImage alpha(w, h, QImage::Format_ARGB32);
    QImage alphaExpected(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int r = (x * 50 + 10) % 256, g = (y * 60 + 2) % 256, b = (x * y * 9 + 120) % 256;
            alpha.setPixel(x, y, qRgba(r, g, b, (x + y) % 2 ? 128 : 255));
            alphaExpected.setPixel(x, y, qRgb(r, g, b));
        }
    QTest::newRow("png with alpha") << alpha << "a.png" << int(QImage::Format_ARGB32) << alphaExpected;
}

void TestEngine::loadFrameKeepsFilePixels_data()
{
    storedFormats();
}

void TestEngine::loadFrameKeepsFilePixels()
{
    QFETCH(QImage, source);
    QFETCH(QString, fileName);
    QFETCH(int, storedFormat);
    QFETCH(QImage, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = fixtures::write(dir, fileName, source);
    QVERIFY(!path.isEmpty());
    if (storedFormat != QImage::Format_Invalid)
        QCOMPARE(int(QImage(path).format()), storedFormat);

    StackEngine e;
    e.lightframeGain = 2.0f; // must not matter while preprocessing is off
    QVERIFY(e.loadFrame(path));
    QCOMPARE(e.frameImage.format(), QImage::Format_RGB32);
    QString mismatch = pixelMismatch(e.frameImage, expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QCOMPARE(e.currentFrame(), e.frameImage);

    mismatch = pixelMismatch(e.preprocessed(expected), expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    const QImage loaded = e.frameImage;
    e.preprocessFrame();
    QCOMPARE(e.frameImage, loaded);
}

void TestEngine::calibrationOfStoredFormats_data()
{
    storedFormats();
}

void TestEngine::calibrationOfStoredFormats()
{
    QFETCH(QImage, source);
    QFETCH(QString, fileName);
    QFETCH(QImage, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = fixtures::write(dir, fileName, source);
    QVERIFY(!path.isEmpty());

    StackEngine e;
    e.previewDarkframe = true;
    e.lightframeGain = 2.0f;
    QVERIFY(e.loadFrame(path));
    QCOMPARE(e.frameImage.format(), QImage::Format_RGB32);
    const QString mismatch = pixelMismatch(e.frameImage, [&](int x, int y) {
        const QRgb p = expected.pixel(x, y);
        return qRgb(calibratedWithoutDark(qRed(p), 2), calibratedWithoutDark(qGreen(p), 2),
                    calibratedWithoutDark(qBlue(p), 2));
    });
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestEngine::calibrationKeepsValuesAboveFloor()
{
    // Row 0 ramps red, row 1 green, row 2 blue through every 8-bit value; the other channels stay 0.
    QImage ramp(256, 3, QImage::Format_RGB32);
    for (int v = 0; v < 256; ++v) {
        ramp.setPixel(v, 0, qRgb(v, 0, 0));
        ramp.setPixel(v, 1, qRgb(0, v, 0));
        ramp.setPixel(v, 2, qRgb(0, 0, v));
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = fixtures::write(dir, QStringLiteral("ramp.png"), ramp);

    StackEngine e;
    e.previewDarkframe = true;
    QVERIFY(e.loadFrame(path));
    const auto expected = [](int x, int y) {
        const int v = x <= 2 ? 0 : x;
        return y == 0 ? qRgb(v, 0, 0) : y == 1 ? qRgb(0, v, 0) : qRgb(0, 0, v);
    };
    QString mismatch = pixelMismatch(e.frameImage, expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    mismatch = pixelMismatch(e.preprocessed(ramp), expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestEngine::calibrationWithoutDark_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<float>("gain");
    QTest::addColumn<bool>("withDarkList"); // a dark list without a master dark subtracts nothing either
    QTest::addColumn<int>("expected");
    QTest::newRow("0, gain 1") << 0 << 1.0f << false << 0;
    QTest::newRow("1, gain 1") << 1 << 1.0f << false << 0;
    QTest::newRow("2 at the floor, gain 1") << 2 << 1.0f << false << 0;
    QTest::newRow("3, gain 1") << 3 << 1.0f << false << 3;
    QTest::newRow("255, gain 1") << 255 << 1.0f << false << 255;
    QTest::newRow("200, gain 2 clips") << 200 << 2.0f << false << 255;
    QTest::newRow("128, gain 2 clips") << 128 << 2.0f << false << 255;
    QTest::newRow("127, gain 2") << 127 << 2.0f << false << 254;
    QTest::newRow("3, gain 2") << 3 << 2.0f << false << 6;
    QTest::newRow("2, gain 2: floor before gain") << 2 << 2.0f << false << 0;
    QTest::newRow("100, gain 1.5") << 100 << 1.5f << false << 150;
    QTest::newRow("4, gain 0.5: floor before gain") << 4 << 0.5f << false << 2;
    QTest::newRow("200, gain 0.5") << 200 << 0.5f << false << 100;
    QTest::newRow("100, gain 0") << 100 << 0.0f << false << 0;
    QTest::newRow("50, dark list but no master dark") << 50 << 1.0f << true << 50;
    QTest::newRow("200, dark list but no master dark, gain 2") << 200 << 2.0f << true << 255;
}

void TestEngine::calibrationWithoutDark()
{
    QFETCH(int, value);
    QFETCH(float, gain);
    QFETCH(bool, withDarkList);
    QFETCH(int, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = fixtures::write(dir, QStringLiteral("f.png"), fixtures::solid(4, 3, qRgb(value, value, value)));

    StackEngine e;
    e.previewDarkframe = true;
    e.lightframeGain = gain;
    e.darkframeGain = 3.0f; // nothing to weight without a master dark
    if (withDarkList)
        e.setDarkList({dir.filePath(QStringLiteral("never-built.png"))});
    QVERIFY(e.loadFrame(path));
    QCOMPARE(e.frameImage.size(), QSize(4, 3));
    const QString mismatch = pixelMismatch(e.frameImage, [&](int, int) { return qRgb(expected, expected, expected); });
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QCOMPARE(e.frameImage.pixel(0, 0) >> 24, 0xffu);
}

void TestEngine::valueAtFloorAfterSubtractionBecomesZero()
{
    // No dark built from 8-bit values leaves exactly the floor after the subtraction, so the master dark
    // is set by hand: taken from a red value of 3, its red sum leaves exactly the floor at pixel 0 and
    // the next float above the floor at pixel 1.
    const float atFloor = 0x1.0101p-8f;
    const float belowThat = 0x1.0100fcp-8f;
    const float floor = float(2.0 / 255.0);
    QCOMPARE(exact(float(3 / 255.0 - double(atFloor))), exact(floor));
    QCOMPARE(exact(float(3 / 255.0 - double(belowThat))), exact(std::nextafter(floor, 1.0f)));

    StackEngine e;
    e.masterDark = createFloatImage(2, 1);
    QVERIFY(e.masterDark);
    e.masterDark->pixel(0, 0)[0] = atFloor;
    e.masterDark->pixel(0, 0)[3] = 1.0f;
    e.masterDark->pixel(1, 0)[0] = belowThat;
    e.masterDark->pixel(1, 0)[3] = 1.0f;
    e.darkList = QStringList{QStringLiteral("one dark")};
    e.previewDarkframe = true;

    const QImage light = fixtures::solid(2, 1, qRgb(3, 5, 3));
    const QImage out = e.preprocessed(light);
    QCOMPARE(out.size(), QSize(2, 1));
    QCOMPARE(QColor(out.pixel(0, 0)), QColor(0, 5, 3));
    QCOMPARE(QColor(out.pixel(1, 0)), QColor(2, 5, 3));
}

void TestEngine::darkOutsideMasterDarkExtentIsZero_data()
{
    QTest::addColumn<float>("darkGain");
    QTest::addColumn<QRgb>("inside");
    // Light (50, 60, 70) over a mean dark of (20, 20, 20) on 4 x 3 pixels.
    QTest::newRow("dark gain 1") << 1.0f << qRgb(30, 40, 50);
    QTest::newRow("dark gain 0.5") << 0.5f << qRgb(40, 50, 60);
    QTest::newRow("dark gain 2") << 2.0f << qRgb(10, 20, 30);
    QTest::newRow("dark gain 2.5: red to 0") << 2.5f << qRgb(0, 10, 20);
    QTest::newRow("dark gain 0") << 0.0f << qRgb(50, 60, 70);
}

void TestEngine::darkOutsideMasterDarkExtentIsZero()
{
    QFETCH(float, darkGain);
    QFETCH(QRgb, inside);
    StackEngine e;
    e.masterDark = createFloatImage(4, 3);
    QVERIFY(e.masterDark);
    const float d = float(20 / 255.0);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) {
            float* p = e.masterDark->pixel(x, y);
            p[0] = p[1] = p[2] = d;
            p[3] = 1.0f;
        }
    e.darkList = QStringList{QStringLiteral("one dark")};
    e.previewDarkframe = true;
    e.darkframeGain = darkGain;

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = fixtures::write(dir, QStringLiteral("light.png"), fixtures::solid(6, 5, qRgb(50, 60, 70)));
    QVERIFY(e.loadFrame(path));
    const QString mismatch = pixelMismatch(e.frameImage, [&](int x, int y) {
        return x < 4 && y < 3 ? inside : qRgb(50, 60, 70);
    });
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestEngine::previewOffIgnoresMasterDark()
{
    StackEngine e;
    e.masterDark = createFloatImage(5, 4);
    QVERIFY(e.masterDark);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            float* p = e.masterDark->pixel(x, y);
            p[0] = p[1] = p[2] = float(40 / 255.0);
            p[3] = 1.0f;
        }
    e.darkList = QStringList{QStringLiteral("one dark")};
    e.lightframeGain = 2.0f;

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QImage light = patterned(5, 4);
    const QString path = fixtures::write(dir, QStringLiteral("light.png"), light);
    QVERIFY(e.loadFrame(path));
    QString mismatch = pixelMismatch(e.frameImage, light);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    mismatch = pixelMismatch(e.preprocessed(light), light);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));

    // Switched on, the same load subtracts (sanity of the fixture: the dark does reach this frame).
    e.previewDarkframe = true;
    QVERIFY(e.loadFrame(path));
    QVERIFY(!pixelMismatch(e.frameImage, light).isEmpty());
}

void TestEngine::supersamplingEnlargesFrameAndAccumulator()
{
    QImage source = fixtures::solid(640, 480, qRgb(12, 34, 56));
    source.setPixel(10, 7, qRgb(200, 100, 50));
    source.setPixel(639, 479, qRgb(1, 250, 9));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = fixtures::write(dir, QStringLiteral("f.png"), source);

    StackEngine e;
    e.scaleFactor = 2;
    // The factor alone does not enlarge: supersampling must be on.
    QVERIFY(e.loadFrame(path));
    QCOMPARE(e.frameImage.size(), QSize(640, 480));

    e.supersample = true;
    e.maxDx = 4;
    e.minDy = -2;
    QCOMPARE(e.prepareSequence(path), StackEngine::Status::Ok);
    QCOMPARE(e.frameImage.size(), QSize(1280, 960));
    QCOMPARE(e.frameImage.format(), QImage::Format_RGB32);
    QVERIFY(e.accumulator);
    QCOMPARE(e.accumulator->width, 1280);
    QCOMPARE(e.accumulator->height, 960);
    QVERIFY(allEqual(*e.accumulator, 0.0f));
    QCOMPARE(e.maxDx, 0);
    QCOMPARE(e.minDy, 0);

    // Every source pixel becomes a 2 x 2 block.
    const QString mismatch = pixelMismatch(e.frameImage, [&](int x, int y) { return source.pixel(x / 2, y / 2); });
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));

    QVERIFY(e.loadFrame(path));
    QCOMPARE(e.frameImage.size(), QSize(1280, 960));
}

void TestEngine::resizeAccumulatorAddsExtents()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = fixtures::write(dir, QStringLiteral("f.png"), patterned(100, 80));
    const QString other = fixtures::write(dir, QStringLiteral("g.png"), patterned(50, 40));

    StackEngine e;
    QCOMPARE(e.prepareSequence(path), StackEngine::Status::Ok);
    fillAll(*e.accumulator, 0.75f);
    e.maxDx = 5;
    e.minDx = -3;
    e.maxDy = 0;
    e.minDy = -4;
    QCOMPARE(e.resizeAccumulator(), StackEngine::Status::Ok);
    QVERIFY(e.accumulator);
    QCOMPARE(e.accumulator->width, 108);
    QCOMPARE(e.accumulator->height, 84);
    QCOMPARE(e.accumulator->floatCount(), std::size_t(108 * 84 * 4));
    QVERIFY(allEqual(*e.accumulator, 0.0f));
    QCOMPARE(e.maxDx, 5);
    QCOMPARE(e.minDy, -4);

    // The size follows the sequence's frames, not whatever frame was loaded last.
    QVERIFY(e.loadFrame(other));
    QCOMPARE(e.resizeAccumulator(), StackEngine::Status::Ok);
    QCOMPARE(e.accumulator->width, 108);
    QCOMPARE(e.accumulator->height, 84);
}

void TestEngine::unreadableFrameKeepsCurrentFrame_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("preprocess");
    QTest::newRow("corrupt png") << "corrupt" << false;
    QTest::newRow("corrupt png, preprocessing on") << "corrupt" << true;
    QTest::newRow("missing file") << "missing" << false;
    QTest::newRow("missing file, preprocessing on") << "missing" << true;
    QTest::newRow("empty path") << "empty" << false;
    QTest::newRow("directory") << "directory" << false;
}

void TestEngine::unreadableFrameKeepsCurrentFrame()
{
    QFETCH(QString, kind);
    QFETCH(bool, preprocess);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QImage good = patterned(9, 6);
    const QString goodPath = fixtures::write(dir, QStringLiteral("good.png"), good);
    QString bad;
    if (kind == QLatin1String("corrupt"))
        bad = fixtures::writeCorrupt(dir, QStringLiteral("bad.png"));
    else if (kind == QLatin1String("missing"))
        bad = dir.filePath(QStringLiteral("missing.png"));
    else if (kind == QLatin1String("directory"))
        bad = dir.path();

    StackEngine e;
    e.previewDarkframe = preprocess;
    QVERIFY(e.loadFrame(goodPath));
    const QImage before = e.frameImage;
    QVERIFY(!e.loadFrame(bad));
    QVERIFY(!e.frameImage.isNull());
    QCOMPARE(e.frameImage, before);
    QCOMPARE(e.currentFrame(), before);
}

void TestEngine::prepareSequenceOfUnreadableFileChangesNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QImage good = patterned(12, 9);
    const QString goodPath = fixtures::write(dir, QStringLiteral("good.png"), good);
    const QString corrupt = fixtures::writeCorrupt(dir, QStringLiteral("bad.png"));

    StackEngine e;
    QCOMPARE(e.prepareSequence(goodPath), StackEngine::Status::Ok);
    const FloatImage* accumulator = e.accumulator.get();
    fillAll(*e.accumulator, 0.125f);
    e.maxDx = 2;
    e.minDx = -1;
    e.maxDy = 6;
    e.minDy = -5;

    for (const QString& path : {corrupt, dir.filePath(QStringLiteral("missing.png"))}) {
        QCOMPARE(e.prepareSequence(path), StackEngine::Status::Unreadable);
        QCOMPARE(e.accumulator.get(), accumulator);
        QCOMPARE(e.accumulator->width, 12);
        QCOMPARE(e.accumulator->height, 9);
        QVERIFY(allEqual(*e.accumulator, 0.125f));
        const QString mismatch = pixelMismatch(e.frameImage, good);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        QCOMPARE(e.maxDx, 2);
        QCOMPARE(e.minDx, -1);
        QCOMPARE(e.maxDy, 6);
        QCOMPARE(e.minDy, -5);
    }
}

// ---- pixel inspector -----------------------------------------------------------------------------

void TestEngine::inspectorColourAndLuma_data()
{
    QTest::addColumn<QRgb>("colour");
    QTest::addColumn<int>("luma"); // 255 x the BT.709 weighted sum, truncated
    QTest::newRow("red") << qRgb(255, 0, 0) << 54;
    QTest::newRow("green") << qRgb(0, 255, 0) << 182;
    QTest::newRow("blue") << qRgb(0, 0, 255) << 18;
    QTest::newRow("white") << qRgb(255, 255, 255) << 255;
    QTest::newRow("black") << qRgb(0, 0, 0) << 0;
    QTest::newRow("yellow") << qRgb(255, 255, 0) << 236;
    QTest::newRow("cyan") << qRgb(0, 255, 255) << 200;
    QTest::newRow("magenta") << qRgb(255, 0, 255) << 72;
}

void TestEngine::inspectorColourAndLuma()
{
    QFETCH(QRgb, colour);
    QFETCH(int, luma);
    StackEngine e;
    e.frameImage = fixtures::withPixel(fixtures::solid(11, 11, qRgb(90, 90, 90)), 5, 5, colour);
    const QColor c = e.pixelColourAt(0, 5, 5);
    QCOMPARE(c, QColor(colour));
    QCOMPARE(c.alpha(), 255);
    QCOMPARE(int(StackEngine::luminanceOf(c) * 255.0), luma);
}

void TestEngine::everyGreyLevelShowsItself()
{
    // Grey g at (g + 1, 1): clear of column 0 and row 0, which read as white.
    StackEngine e;
    e.frameImage = fixtures::solid(258, 3, qRgb(0, 0, 0));
    for (int g = 0; g < 256; ++g)
        e.frameImage.setPixel(g + 1, 1, qRgb(g, g, g));
    for (int g = 0; g < 256; ++g) {
        const QColor c = e.pixelColourAt(0, g + 1, 1);
        QCOMPARE(c, QColor(g, g, g));
        const int luma = int(StackEngine::luminanceOf(c) * 255.0);
        QVERIFY2(luma == g, qPrintable(QStringLiteral("grey %1 shows luma %2").arg(g).arg(luma)));
    }
}

void TestEngine::boxFilterSampling_data()
{
    QTest::addColumn<int>("radius");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<bool>("white");
    // On a 16 x 14 image.
    QTest::newRow("r2 column 2") << 2 << 2 << 10 << true;
    QTest::newRow("r2 column 3") << 2 << 3 << 10 << false;
    QTest::newRow("r2 row 2") << 2 << 8 << 2 << true;
    QTest::newRow("r2 row 3") << 2 << 8 << 3 << false;
    QTest::newRow("r2 column 13") << 2 << 13 << 6 << false;
    QTest::newRow("r2 column 14 = width - 2") << 2 << 14 << 6 << true;
    QTest::newRow("r2 row 11") << 2 << 8 << 11 << false;
    QTest::newRow("r2 row 12 = height - 2") << 2 << 8 << 12 << true;
    QTest::newRow("r1 at (1, 1)") << 1 << 1 << 1 << true;
    QTest::newRow("r1 at (2, 2)") << 1 << 2 << 2 << false;
    QTest::newRow("r0 column 0") << 0 << 0 << 5 << true;
    QTest::newRow("r0 row 0") << 0 << 5 << 0 << true;
    QTest::newRow("r0 at (1, 1)") << 0 << 1 << 1 << false;
    QTest::newRow("r0 last pixel") << 0 << 15 << 13 << false;
    QTest::newRow("r0 past the right edge") << 0 << 16 << 5 << true;
    QTest::newRow("r0 past the bottom edge") << 0 << 5 << 14 << true;
    QTest::newRow("r0 negative") << 0 << -1 << 5 << true;
    QTest::newRow("r10 centre of a small image") << 10 << 8 << 7 << true;
}

void TestEngine::boxFilterSampling()
{
    QFETCH(int, radius);
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(bool, white);
    StackEngine e;
    e.frameImage = patterned(16, 14);

    QColor expected(255, 255, 255);
    if (!white) {
        int r = 0, g = 0, b = 0, n = 0;
        for (int j = y - radius; j <= y + radius; ++j)
            for (int k = x - radius; k <= x + radius; ++k) {
                const QRgb p = e.frameImage.pixel(k, j);
                r += qRed(p);
                g += qGreen(p);
                b += qBlue(p);
                ++n;
            }
        expected = QColor(r / n, g / n, b / n);
    } else if (x >= 0 && y >= 0 && x < 16 && y < 14) {
        QVERIFY(e.frameImage.pixel(x, y) != qRgb(255, 255, 255)); // white must come from the rule
    }
    const QColor c = e.pixelColourAt(radius, x, y);
    QCOMPARE(c, expected);
    QCOMPARE(c.alpha(), 255);

    if (radius == 2 && x == 3 && y == 10) {
        // Columns 1..5, rows 8..12 of the pattern sum to (3251, 4563, 2754): the green sum leaves 13
        // over 25, so a rounded mean would read 183; the neighbouring boxes differ in every case.
        QCOMPARE(c, QColor(130, 182, 110));
    }
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
