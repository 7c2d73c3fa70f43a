// The optimised kernels against plain, pixel-by-pixel implementations of the same rules, on random
// and structured images, with one thread and with several: every result must be bit-identical.

#include "alignment.h"
#include "colour.h"
#include "fixtures.h"
#include "loading.h"
#include "parallel.h"
#include "pixel.h"
#include "quality.h"
#include "refinement.h"
#include "stacking.h"
#include "synthetic.h"

#include <QtTest>

#include <atomic>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vectorState {
#if defined(__x86_64__)
// Whether the processor reports which register states are in use (XGETBV with ECX = 1).
bool observable()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __builtin_cpu_supports("avx") && __get_cpuid_count(0xd, 1, &a, &b, &c, &d) && (a & 4u);
}
// True while the upper halves of the 256-bit registers hold something.
bool upperDirty()
{
    unsigned lo = 0, hi = 0;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    return lo & 4u;
}
// Fills one 256-bit register, as vector code that does not clean up after itself leaves it (written
// out, so that the compiler adds no clean-up of its own). Only where observable() holds.
void dirty()
{
    asm volatile("vcmpps $0, %%ymm1, %%ymm1, %%ymm1" ::: "xmm1");
}
#else
bool observable() { return false; }
bool upperDirty() { return false; }
void dirty() {}
#endif
} // namespace vectorState

namespace plain {

using fixtures::detectionLuma;

kernels::Feature detect(const QImage& img, int T, int F, int R)
{
    kernels::Feature f;
    double sx = 0, sy = 0, n = 0;
    for (int y = 20; y <= img.height() - 21; ++y) {
        for (int x = 20; x <= img.width() - 21; ++x) {
            if (detectionLuma(img.pixel(x, y)) < T)
                continue;
            int sr = 0, sg = 0, sb = 0;
            for (int j = y - F; j <= y + F; ++j)
                for (int k = x - F; k <= x + F; ++k)
                    if (k >= 0 && j >= 0 && k < img.width() && j < img.height()) {
                        sr += qRed(img.pixel(k, j));
                        sg += qGreen(img.pixel(k, j));
                        sb += qBlue(img.pixel(k, j));
                    }
            const int N = (2 * F + 1) * (2 * F + 1);
            if (detectionLuma(qRgb(sr / N, sg / N, sb / N)) < T)
                continue;
            if (n > 0 && !(std::fabs(x - sx / n) < R && std::fabs(y - sy / n) < R))
                continue;
            sx += x;
            sy += y;
            n += 1;
        }
    }
    if (n > 0) {
        f.found = true;
        f.cx = sx / n;
        f.cy = sy / n;
        f.x = int(f.cx);
        f.y = int(f.cy);
    }
    return f;
}

// Mean colour as 16-bit fractions, summed in single precision in raster order.
QRgba64 meanColour(const QImage& img)
{
    float r = 0, g = 0, b = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            r += qRed(p) / 255.0;
            g += qGreen(p) / 255.0;
            b += qBlue(p) / 255.0;
        }
    const int n = img.width() * img.height();
    auto q = [](double f) { return quint16(int(f * 65535.0 + 0.5)); };
    return qRgba64(q(r / n), q(g / n), q(b / n), 65535);
}

float score(const QImage& img, const QImage& pat, int tx, int ty)
{
    float s = 0;
    for (int r = 0; r < pat.height(); ++r)
        for (int c = 0; c < pat.width(); ++c) {
            const int x = tx + c, y = ty + r;
            const QRgb a = (x >= 0 && y >= 0 && x < img.width() && y < img.height()) ? img.pixel(x, y) : qRgb(0, 0, 0);
            const QRgb b = pat.pixel(c, r);
            s += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
        }
    return s;
}

float quality(const QImage& img, bool horizontal)
{
    return horizontal ? fixtures::definitionH(img) : fixtures::definitionV(img);
}

void stack(const QImage& frame, FloatImage& acc, const kernels::StackParams& p)
{
    for (int y = 0; y < acc.height; ++y)
        for (int x = 0; x < acc.width; ++x) {
            const int u = x - p.dx + p.maxDx, v = y - p.dy + p.maxDy;
            if (!acc.contains(u, v))
                continue;
            float sr = 0, sg = 0, sb = 0;
            int n = 0;
            for (int j = y - p.filter; j <= y + p.filter; ++j)
                for (int k = x - p.filter; k <= x + p.filter; ++k) {
                    if (k < 0 || j < 0 || k >= frame.width() || j >= frame.height())
                        continue;
                    const QRgb px = frame.pixel(k, j);
                    double r = qRed(px) / 255.0, g = qGreen(px) / 255.0, b = qBlue(px) / 255.0;
                    if (p.dark) {
                        r -= kernels::meanDark(p.dark, k, j, 0);
                        g -= kernels::meanDark(p.dark, k, j, 1);
                        b -= kernels::meanDark(p.dark, k, j, 2);
                    }
                    if (p.luma) {
                        const double l = p.lumaWeightR * r + p.lumaWeightG * g + p.lumaWeightB * b;
                        r = g = b = l;
                    }
                    if (r > 0 && r < p.minusR * (1.0 / 255.0))
                        r = 0;
                    if (g > 0 && g < p.minusG * (1.0 / 255.0))
                        g = 0;
                    if (b > 0 && b < p.minusB * (1.0 / 255.0))
                        b = 0;
                    sr += r;
                    sg += g;
                    sb += b;
                    ++n;
                }
            if (n == 0)
                continue;
            float* o = acc.pixel(u, v);
            o[0] += sr / n;
            o[1] += sg / n;
            o[2] += sb / n;
            o[3] += 1.0f;
        }
}

} // namespace plain

namespace {

// Channels in [0, maxValue].
QImage randomImage(int w, int h, quint64 seed, int maxValue = 255) { return fixtures::randomImage(w, h, seed, 0, maxValue); }

QImage planet(int w, int h, double cx, double cy, double radius, double blur, double noise, quint32 seed)
{
    synth::Planet p;
    p.width = w;
    p.height = h;
    p.cx = cx;
    p.cy = cy;
    p.radius = radius;
    p.blur = blur;
    p.noise = noise;
    p.seed = seed;
    return synth::renderPlanet(p);
}

bool sameFloats(const FloatImage& a, const FloatImage& b)
{
    return a.width == b.width && a.height == b.height
        && std::memcmp(a.data.get(), b.data.get(), a.floatCount() * sizeof(float)) == 0;
}

} // namespace

class TestKernels : public QObject {
    Q_OBJECT

private slots:
    void init() { parallel::setThreadCount(0); }
    void cleanupTestCase() { parallel::setThreadCount(0); }

    void detection_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("filter");
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("image"); // 0 planet, 1 random, 2 dim random
        const int threads[] = {1, 2};
        for (int t : threads) {
            QTest::addRow("planet T75 F2 R20 x%d", t) << t << 75 << 2 << 20 << 0;
            QTest::addRow("planet T120 F0 R8 x%d", t) << t << 120 << 0 << 8 << 0;
            QTest::addRow("planet T40 F10 R100 x%d", t) << t << 40 << 10 << 100 << 0;
            QTest::addRow("random T0 F1 R5 x%d", t) << t << 0 << 1 << 5 << 1;
            QTest::addRow("random T128 F3 R30 x%d", t) << t << 128 << 3 << 30 << 1;
            QTest::addRow("dim random T40 F2 R1 x%d", t) << t << 40 << 2 << 1 << 2;
        }
    }

    // The candidate mask, the column sums of the box and the word-wise scan give the plain result.
    void detection()
    {
        QFETCH(int, threads);
        QFETCH(int, threshold);
        QFETCH(int, filter);
        QFETCH(int, radius);
        QFETCH(int, image);
        parallel::setThreadCount(threads);
        const QImage img = image == 0 ? planet(203, 157, 97.3, 80.6, 40, 1.2, 3, 5)
                                      : randomImage(131, 97, 11 + quint64(image), image == 2 ? 60 : 255);
        const kernels::Feature fast = kernels::detectFeature(img, threshold, filter, radius);
        const kernels::Feature slow = plain::detect(img, threshold, filter, radius);
        QCOMPARE(fast.found, slow.found);
        QCOMPARE(fast.cx, slow.cx);
        QCOMPARE(fast.cy, slow.cy);
        QCOMPARE(fast.x, slow.x);
        QCOMPARE(fast.y, slow.y);
    }

    void meanColour_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::newRow("random") << randomImage(320, 240, 3);
        QTest::newRow("bright random, large sums") << randomImage(800, 700, 4, 255).convertToFormat(QImage::Format_RGB32);
        QTest::newRow("planet") << planet(320, 240, 150, 110, 60, 1.0, 2, 9);
        QTest::newRow("white") << synth::uniform(1000, 900, qRgb(255, 255, 255));
        QTest::newRow("one pixel") << synth::uniform(1, 1, qRgb(7, 8, 9));
    }

    void meanColour()
    {
        QFETCH(QImage, image);
        QCOMPARE(kernels::meanColour(image).rgba64(), plain::meanColour(image));
    }

    void patternMatch_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("radius");
        QTest::addColumn<int>("patternSide");
        QTest::newRow("R20 x1") << 1 << 20 << 40;
        QTest::newRow("R20 x2") << 2 << 20 << 40;
        QTest::newRow("R7 odd pattern x2") << 2 << 7 << 13;
        QTest::newRow("R3 x3") << 3 << 3 << 6;
    }

    // Scores equal the per-pixel single-precision sum, and the winner is the first smallest score
    // in raster order, whatever the thread count.
    void patternMatch()
    {
        QFETCH(int, threads);
        QFETCH(int, radius);
        QFETCH(int, patternSide);
        parallel::setThreadCount(threads);
        // Few grey levels, so that equal scores (ties) occur.
        QImage img = randomImage(120, 100, 21, 3);
        const QImage pattern = kernels::block(img, 50, 40, patternSide, patternSide);
        const int x0 = 55 - 2 * radius, y0 = 45 - 2 * radius;
        const kernels::Match m = kernels::matchPattern(img, pattern, x0, y0, 2 * radius, 2 * radius);
        float best = float(patternSide * patternSide * 768);
        int bx = x0, by = y0;
        for (int ty = y0; ty < y0 + 2 * radius; ++ty)
            for (int tx = x0; tx < x0 + 2 * radius; ++tx) {
                const float s = plain::score(img, pattern, tx, ty);
                QCOMPARE(kernels::patternScore(img, pattern, tx, ty), s);
                if (s < best) {
                    best = s;
                    bx = tx;
                    by = ty;
                }
            }
        QCOMPARE(m.score, best);
        QCOMPARE(m.x, bx);
        QCOMPARE(m.y, by);
    }

    // Pruned search (bounded by the middle candidate and by the best so far) against the exhaustive
    // one, on many small random cases: plain and noisy images, few grey levels (many ties), windows
    // partly outside the image, odd pattern sizes.
    void patternMatchRandomCases()
    {
        synth::Rng rng(404);
        for (int round = 0; round < 60; ++round) {
            parallel::setThreadCount(1 + rng.below(3));
            const int levels = round % 3 == 0 ? 2 : (round % 3 == 1 ? 16 : 255);
            const QImage img = randomImage(30 + rng.below(30), 30 + rng.below(30), 1000 + quint64(round), levels - 1);
            const int side = 2 + rng.below(9);
            const QImage pattern = kernels::block(img, rng.below(img.width()), rng.below(img.height()), side, side + rng.below(3));
            const int radius = 1 + rng.below(6);
            const int x0 = rng.below(img.width()) - radius, y0 = rng.below(img.height()) - radius;
            const kernels::Match m = kernels::matchPattern(img, pattern, x0, y0, 2 * radius, 2 * radius);
            float best = float(pattern.width() * pattern.height() * 768);
            int bx = x0, by = y0;
            for (int ty = y0; ty < y0 + 2 * radius; ++ty)
                for (int tx = x0; tx < x0 + 2 * radius; ++tx) {
                    const float sc = plain::score(img, pattern, tx, ty);
                    if (sc < best) {
                        best = sc;
                        bx = tx;
                        by = ty;
                    }
                }
            const QString where = QStringLiteral("round %1").arg(round);
            QVERIFY2(m.score == best && m.x == bx && m.y == by, qPrintable(where));
        }
    }

    // Past 2^24 the single-precision sum rounds; the integer shortcut must not be used there.
    void patternScoreBeyondExactRange()
    {
        const QImage white = synth::uniform(300, 300, qRgb(255, 255, 255));
        const QImage pattern = randomImage(180, 180, 5, 60);
        const float fast = kernels::patternScore(white, pattern, 10, 10);
        const float slow = plain::score(white, pattern, 10, 10);
        QVERIFY(double(slow) > 16777216.0);
        QCOMPARE(fast, slow);
        const kernels::Match m = kernels::matchPattern(white, pattern, 8, 8, 4, 4);
        float best = 1e30f;
        for (int ty = 8; ty < 12; ++ty)
            for (int tx = 8; tx < 12; ++tx)
                best = std::min(best, plain::score(white, pattern, tx, ty));
        QCOMPARE(m.score, best);
    }

    void qualityMeasures_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<int>("threads");
        for (int t : {1, 2}) {
            QTest::addRow("random x%d", t) << randomImage(97, 61, 8) << t;
            QTest::addRow("planet x%d", t) << planet(320, 240, 160, 120, 70, 1.5, 1.0, 3) << t;
            QTest::addRow("large sums x%d", t) << randomImage(1500, 1200, 31) << t;
            QTest::addRow("two rows x%d", t) << randomImage(7, 2, 32) << t;
            QTest::addRow("two columns x%d", t) << randomImage(2, 9, 33) << t;
            QTest::addRow("odd width x%d", t) << randomImage(13, 11, 34) << t;
        }
    }

    // The truncating running sum follows the visiting order (columns outer for vertical steps).
    void qualityMeasures()
    {
        QFETCH(QImage, image);
        QFETCH(int, threads);
        parallel::setThreadCount(threads);
        const float h = plain::quality(image, true), v = plain::quality(image, false);
        QCOMPARE(kernels::gradientQualityH(image), h);
        QCOMPARE(kernels::gradientQualityV(image), v);
        QCOMPARE(kernels::gradientQuality(image), h + v);
    }

    void stacking_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("filter");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<bool>("luma");
        QTest::addColumn<int>("cutoff");
        for (int t : {1, 2}) {
            QTest::addRow("F0 x%d", t) << t << 0 << false << false << 0;
            QTest::addRow("F0 cutoff x%d", t) << t << 0 << false << false << 40;
            QTest::addRow("F0 dark luma cutoff x%d", t) << t << 0 << true << true << 9;
            QTest::addRow("F1 x%d", t) << t << 1 << false << false << 0;
            QTest::addRow("F2 dark x%d", t) << t << 2 << true << false << 3;
            QTest::addRow("F3 luma x%d", t) << t << 3 << false << true << 0;
        }
    }

    // Shifted frames with every option: the same sums as the plain loop over accumulator positions.
    void stacking()
    {
        QFETCH(int, threads);
        QFETCH(int, filter);
        QFETCH(bool, dark);
        QFETCH(bool, luma);
        QFETCH(int, cutoff);
        parallel::setThreadCount(threads);
        const QImage frame = randomImage(53, 41, 77);
        auto master = createFloatImage(40, 45); // smaller and larger than the frame in turn
        synth::Rng rng(5);
        for (std::size_t i = 0; i < master->floatCount(); i += 4) {
            master->data[i] = float(rng.uniform() * 0.3);
            master->data[i + 1] = float(rng.uniform() * 0.3);
            master->data[i + 2] = float(rng.uniform() * 0.3);
            master->data[i + 3] = float(1 + rng.below(3));
        }
        kernels::StackParams p;
        p.maxDx = 4;
        p.maxDy = 6;
        p.filter = filter;
        p.dark = dark ? master.get() : nullptr;
        p.luma = luma;
        p.lumaWeightR = 0.3;
        p.lumaWeightG = 0.5;
        p.lumaWeightB = 0.2;
        p.minusR = cutoff;
        p.minusG = cutoff / 2;
        p.minusB = cutoff * 2;
        auto fast = createFloatImage(53 + 4 + 3, 41 + 6 + 2);
        auto slow = createFloatImage(53 + 4 + 3, 41 + 6 + 2);
        for (const QPoint& offset : {QPoint(0, 0), QPoint(4, 6), QPoint(-3, -2), QPoint(1, -2)}) {
            p.dx = offset.x();
            p.dy = offset.y();
            kernels::stackFrame(frame, *fast, p);
            plain::stack(frame, *slow, p);
        }
        QVERIFY(sameFloats(*fast, *slow));
    }

    // Calibration with a master dark smaller than the frame and both gains, per pixel as the rules say.
    void calibration()
    {
        const QImage frame = randomImage(61, 47, 91);
        auto master = createFloatImage(50, 40);
        synth::Rng rng(6);
        for (std::size_t i = 0; i < master->floatCount(); i += 4) {
            master->data[i] = float(rng.uniform() * 0.5);
            master->data[i + 1] = float(rng.uniform() * 0.5);
            master->data[i + 2] = float(rng.uniform() * 0.5);
            master->data[i + 3] = float(1 + rng.below(4));
        }
        kernels::Calibration c;
        c.masterDark = master.get();
        c.darkframeGain = 0.7f;
        c.lightframeGain = 1.9f;
        for (int threads : {1, 2}) {
            parallel::setThreadCount(threads);
            const QImage out = kernels::calibrated(frame, c);
            for (int y = 0; y < frame.height(); ++y)
                for (int x = 0; x < frame.width(); ++x) {
                    const QRgb p = frame.pixel(x, y);
                    int expected[3];
                    const int values[3] = {qRed(p), qGreen(p), qBlue(p)};
                    for (int ch = 0; ch < 3; ++ch) {
                        float dark = 0.0f;
                        if (x < 50 && y < 40)
                            dark = master->value(x, y, ch) / master->value(x, y, 3);
                        float v = float(values[ch] / 255.0 - dark * c.darkframeGain);
                        if (v <= 2.0f / 255.0f)
                            v = 0.0f;
                        v = c.lightframeGain * v;
                        if (v > 1.0f)
                            v = 1.0f;
                        expected[ch] = int(v * 65535.0 + 0.5) >> 8;
                    }
                    const QRgb got = out.pixel(x, y);
                    if (qRed(got) != expected[0] || qGreen(got) != expected[1] || qBlue(got) != expected[2])
                        QFAIL(qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
                }
        }
    }

    // Calibration of a 16-bit frame without a dark, for all 65536 samples in every channel and a few
    // settings (floors that differ by channel, gains that clamp, a floor of 0), per value as the rules say.
    void calibration16WithoutDark()
    {
        QImage frame(256, 256, QImage::Format_RGBX64);
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) {
                const int v = y * 256 + x;
                // Every value once per channel, each channel in another order.
                reinterpret_cast<QRgba64*>(frame.scanLine(y))[x] =
                    QRgba64::fromRgba64(quint16(v), quint16(65535 - v), quint16(v * 40503), 65535);
            }
        struct Setting { float lightGain, floorR, floorG, floorB; };
        const Setting settings[] = {{1.0f, 2.0f / 255.0f, 2.0f / 255.0f, 2.0f / 255.0f},
                                    {1.9f, 0.0f, 5.0f / 255.0f, 0.3f},
                                    {0.6f, 1.0f / 65535.0f, 2.0f / 255.0f, 0.0f},
                                    {1.0f, 2.0f / 255.0f, 2.0f / 255.0f, 2.0f / 255.0f}}; // a table used again
        for (int threads : {1, 2}) {
            parallel::setThreadCount(threads);
            for (const Setting& setting : settings) {
                kernels::Calibration c;
                c.darkframeGain = 0.7f;
                c.lightframeGain = setting.lightGain;
                c.floorR = setting.floorR;
                c.floorG = setting.floorG;
                c.floorB = setting.floorB;
                const QImage out = kernels::calibrated(frame, c);
                QCOMPARE(out.format(), QImage::Format_RGBX64);
                const float floors[3] = {c.floorR, c.floorG, c.floorB};
                int changed = 0;
                for (int y = 0; y < 256; ++y)
                    for (int x = 0; x < 256; ++x) {
                        const QRgba64 p = reinterpret_cast<const QRgba64*>(frame.constScanLine(y))[x];
                        const QRgba64 got = reinterpret_cast<const QRgba64*>(out.constScanLine(y))[x];
                        const int values[3] = {p.red(), p.green(), p.blue()};
                        const int results[3] = {got.red(), got.green(), got.blue()};
                        for (int ch = 0; ch < 3; ++ch) {
                            float v = float(values[ch] / 65535.0 - 0.0f * c.darkframeGain);
                            if (v <= floors[ch])
                                v = 0.0f;
                            v = c.lightframeGain * v;
                            if (v > 1.0f)
                                v = 1.0f;
                            const int expected = int(v * 65535.0 + 0.5);
                            if (results[ch] != expected)
                                QFAIL(qPrintable(QStringLiteral("sample %1 of channel %2: %3, expected %4")
                                                     .arg(values[ch]).arg(ch).arg(results[ch]).arg(expected)));
                            changed += expected != values[ch];
                        }
                        QCOMPARE(int(got.alpha()), 65535);
                    }
                QVERIFY(changed > 0);
            }
        }
    }

    // Reading rows never detaches a shared image. Cached frames are read by several threads at once,
    // and detaching one image from several threads at once copies it concurrently (leaking copies
    // or freeing pixels still in use).
    void readingRowsKeepsImagesShared()
    {
        const QImage original = randomImage(64, 48, 3);
        QImage reader = original; // not const: the overload chosen must still be the reading one
        const uchar* pixels = original.constBits();
        const QRgb* row = px::row(reader, 5);
        QCOMPARE(reinterpret_cast<const uchar*>(row), pixels + 5 * original.bytesPerLine());
        QCOMPARE(reader.constBits(), pixels);
        QVERIFY(!reader.isDetached());

        auto master = createFloatImage(64, 48);
        kernels::Calibration c;
        c.masterDark = master.get();
        parallel::setThreadCount(2);
        const QImage calibrated = kernels::calibrated(reader, c);
        QVERIFY(!calibrated.isNull());
        QCOMPARE(reader.constBits(), pixels);
        QImage work = reader;
        kernels::normaliseColour(work, QColor(10, 20, 30));
        QCOMPARE(reader.constBits(), pixels);
        QVERIFY(work.constBits() != pixels);
    }

    // Every block of a row-parallel loop starts with clean upper vector halves, on the calling thread
    // and on the helpers, however dirty the thread was before: plain SSE code runs several times
    // slower while they are dirty.
    void blocksStartWithCleanVectorState()
    {
        if (!vectorState::observable())
            QSKIP("this processor does not report the register state in use");
        vectorState::dirty();
        if (!vectorState::upperDirty())
            QSKIP("the register state in use cannot be observed here");
        for (int threads : {1, 3}) {
            parallel::setThreadCount(threads);
            for (int round = 0; round < 3; ++round) {
                std::atomic<int> blocks{0}, dirtyBlocks{0};
                vectorState::dirty();
                parallel::forRange(0, 300, [&](int, int) {
                    ++blocks;
                    if (vectorState::upperDirty())
                        ++dirtyBlocks;
                    vectorState::dirty(); // the next block on this thread starts dirty
                }, 1);
                QVERIFY(blocks > 0);
                QCOMPARE(dirtyBlocks.load(), 0);
            }
        }
        vectorState::dirty();
        parallel::clearVectorState();
        QVERIFY(!vectorState::upperDirty());
    }

    // Colour adjustment and the stack's normalisation over every row split.
    void colourThreads()
    {
        auto acc = createFloatImage(90, 70);
        synth::Rng rng(12);
        for (std::size_t i = 0; i < acc->floatCount(); i += 4) {
            const float w = float(rng.below(4));
            acc->data[i] = float(rng.uniform() * 1.3 - 0.1) * w;
            acc->data[i + 1] = float(rng.uniform()) * w;
            acc->data[i + 2] = float(rng.uniform()) * w;
            acc->data[i + 3] = w;
        }
        kernels::ColourParams cp;
        cp.gamma[0] = 0.7f;
        cp.offset[1] = -0.05f;
        cp.lowValueBoost = true;
        cp.lvbExponent = 2;
        cp.lvbBlend = 0.6f;
        parallel::setThreadCount(1);
        const QImage a = kernels::colorAdjusted(*acc, cp);
        const QImage n1 = kernels::normalizeStack(*acc);
        parallel::setThreadCount(3);
        QCOMPARE(kernels::colorAdjusted(*acc, cp), a);
        QCOMPARE(kernels::normalizeStack(*acc), n1);
        // Pixel by pixel through the one-channel function.
        for (int y = 0; y < acc->height; ++y)
            for (int x = 0; x < acc->width; ++x) {
                const float* p = acc->pixel(x, y);
                if (p[3] == 0.0f) {
                    QCOMPARE(a.pixel(x, y), qRgb(0, 0, 0));
                    continue;
                }
                const QRgb expected = px::rgbFromFractions(kernels::adjustChannel(p[0], p[3], 0, cp),
                                                           kernels::adjustChannel(p[1], p[3], 1, cp),
                                                           kernels::adjustChannel(p[2], p[3], 2, cp));
                QCOMPARE(a.pixel(x, y), expected);
            }
    }
};

QTEST_GUILESS_MAIN(TestKernels)
#include "tst_kernels.moc"
