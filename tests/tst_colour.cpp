// The colour pipeline from the accumulator to the final 8-bit image (gain, curves, contrast, offset,
// gamma, clamp, luminance output) and writing the result to a file.
#include "batch.h"
#include "colour.h"
#include "fixtures.h"
#include "floatimage.h"
#include "imagesave.h"
#include "parallel.h"
#include "stackengine.h"
#include "stacking.h"

#include <QDirIterator>
#include <QImageReader>
#include <QImageWriter>
#include <QtTest/QtTest>

#include <spng.h>

#include <cmath>
#include <vector>

namespace {

using fixtures::byteOf;
using fixtures::randomImage;

// A 1 x 1 accumulator whose normalised values are r, g and b, with a weight of 2.
std::unique_ptr<FloatImage> single(float r, float g, float b)
{
    auto acc = createFloatImage(1, 1);
    float* p = acc->pixel(0, 0);
    p[0] = r * 2.0f;
    p[1] = g * 2.0f;
    p[2] = b * 2.0f;
    p[3] = 2.0f;
    return acc;
}

// Sums and weights as a stacking run can leave them, including uncovered pixels, sums outside
// [0, W] (dark subtraction, out-of-range values) and weights above 1.
std::unique_ptr<FloatImage> randomAccumulator(int width, int height, quint64 seed, bool realistic = false)
{
    synth::Rng rng(seed);
    auto acc = createFloatImage(width, height);
    const float weights[] = {0.0f, 1.0f, 2.0f, 3.0f, 5.0f};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float* p = acc->pixel(x, y);
            const float w = realistic ? weights[1 + rng.below(4)] : weights[rng.below(5)];
            for (int c = 0; c < 3; ++c) {
                if (realistic) {
                    float sum = 0.0f;
                    for (int i = 0; i < int(w); ++i)
                        sum += float(rng.below(256) / 255.0);
                    p[c] = sum;
                } else {
                    p[c] = float((rng.uniform() * 1.6 - 0.3) * std::max(1.0f, w));
                }
            }
            p[3] = w;
        }
    return acc;
}

std::vector<float> floatsOf(const FloatImage& acc) { return std::vector<float>(acc.data.get(), acc.data.get() + acc.floatCount()); }

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Every entry below the folder (files and folders), relative, sorted.
QStringList listing(const QString& folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(folder).relativeFilePath(it.next());
    entries.sort();
    return entries;
}


// Rows that favour each PNG filter in turn: noise, a ramp along the row, a copy of the row above, a
// smooth surface; 16-bit samples use both bytes.
QImage filterMix(int width, int height, QImage::Format format, quint64 seed)
{
    synth::Rng rng(seed);
    QImage image(width, height, format);
    const bool deep = format == QImage::Format_RGBX64;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            quint16 c[3];
            for (int k = 0; k < 3; ++k) {
                switch (y % 4) {
                case 0: c[k] = quint16(rng.below(65536)); break;
                case 1: c[k] = quint16(x * 613 * (k + 1) + y); break;
                case 2: c[k] = quint16(x * 613 * (k + 1) + y - 1); break;
                default: c[k] = quint16(32768 + 20000 * std::sin(0.05 * x + 0.07 * y + k)); break;
                }
            }
            if (deep)
                image.setPixelColor(x, y, QColor::fromRgba64(c[0], c[1], c[2]));
            else
                image.setPixel(x, y, qRgb(c[0] >> 8, c[1] >> 8, c[2] >> 8));
        }
    return image;
}

// The samples of a PNG file as libspng decodes them: R, G, B rows, 16-bit samples most significant
// byte first; empty when it refuses the file.
QByteArray spngSamples(const QByteArray& file, int* depth)
{
    spng_ctx* ctx = spng_ctx_new(0);
    QByteArray out;
    spng_ihdr ihdr{};
    std::size_t size = 0;
    if (spng_set_png_buffer(ctx, file.constData(), std::size_t(file.size())) == 0 && spng_get_ihdr(ctx, &ihdr) == 0
        && ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR && spng_decoded_image_size(ctx, SPNG_FMT_RAW, &size) == 0) {
        out.resize(qsizetype(size));
        if (spng_decode_image(ctx, out.data(), size, SPNG_FMT_RAW, 0) != 0)
            out.clear();
        *depth = ihdr.bit_depth;
    }
    spng_ctx_free(ctx);
    return out;
}

// The image's samples as the PNG file of bit depth 8 or 16 holds them.
QByteArray pngSamples(const QImage& image, int depth)
{
    QByteArray out;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgba64 c = image.pixelColor(x, y).rgba64();
            for (quint16 v : {c.red(), c.green(), c.blue()}) {
                if (depth == 16)
                    out.append(char(v >> 8));
                out.append(char(depth == 16 ? v & 0xff : v >> 8));
            }
        }
    return out;
}

} // namespace

class TestColour : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { parallel::setThreadCount(0); }

    void integerPower_data();
    void integerPower();
    void integerPowerOfLargeExponents();
    void curveReferenceValues_data();
    void curveReferenceValues();
    void downhillWithUnitGainIsIdentity();
    void contrastOffsetGamma_data();
    void contrastOffsetGamma();
    void pipeline_data();
    void pipeline();
    void gainOnOneChannel();
    void offsetsOfMinusOneGiveBlack();
    void luminanceOutput_data();
    void luminanceOutput();
    void zeroWeightIsBlack();
    void defaultsReproduceTheNormalisedStack();
    void threadCountDoesNotChangeTheResult();
    void noAccumulator();

    void saveByTheSuffix_data();
    void saveByTheSuffix();
    void failedSaveKeepsWhatWasThere_data();
    void failedSaveKeepsWhatWasThere();
    void saveReplacesAnExistingFile();
    void savedStackHasTheCanvasSize();
    void pngReadsBackExactly_data();
    void pngReadsBackExactly();
};

void TestColour::integerPower_data()
{
    QTest::addColumn<float>("base");
    QTest::addColumn<int>("exponent");
    QTest::addColumn<float>("expected");
    QTest::newRow("exponent 0") << 5.0f << 0 << 1.0f;
    QTest::newRow("exponent 1") << 1.5f << 1 << 1.5f;
    QTest::newRow("square") << 3.0f << 2 << 9.0f;
    QTest::newRow("cube") << 3.0f << 3 << 27.0f;
    QTest::newRow("fifth") << 2.0f << 5 << 32.0f;
    QTest::newRow("tenth") << 2.0f << 10 << 1024.0f;
    QTest::newRow("21st") << 2.0f << 21 << 2097152.0f;
    QTest::newRow("fraction") << 0.5f << 3 << 0.125f;
    QTest::newRow("zero base") << 0.0f << 3 << 0.0f;
    QTest::newRow("negative base, odd") << -2.0f << 3 << -8.0f;
    QTest::newRow("negative base, even") << -2.0f << 4 << 16.0f;
    QTest::newRow("negative base, 21st") << -0.5f << 21 << -1.0f / 2097152.0f;
    QTest::newRow("negative exponent") << 2.0f << -2 << 0.25f;
    QTest::newRow("negative exponent, odd") << -2.0f << -3 << -0.125f;
    QTest::newRow("negative exponent, tenth") << 2.0f << -10 << 1.0f / 1024.0f;
}

void TestColour::integerPower()
{
    QFETCH(float, base);
    QFETCH(int, exponent);
    QFETCH(float, expected);
    QCOMPARE_EQ(kernels::integerPower(base, exponent), expected);
}

void TestColour::integerPowerOfLargeExponents()
{
    const float bases[] = {1.0001f, 0.999f, -1.1f, 0.3f, 1.7f};
    const int exponents[] = {7, 13, 64, 100, 1000, -7, -100};
    for (float x : bases)
        for (int n : exponents) {
            const double exact = std::pow(double(x), n);
            if (!std::isfinite(exact) || std::fabs(exact) > 1e30 || std::fabs(exact) < 1e-30)
                continue;
            const double got = kernels::integerPower(x, n);
            // Single precision: each squaring doubles the relative error of the factor before it.
            const double tolerance = (1e-6 + 2.4e-7 * std::abs(n)) * std::fabs(exact);
            QVERIFY2(std::fabs(got - exact) <= tolerance,
                     qPrintable(QStringLiteral("%1^%2 = %3, expected %4").arg(double(x)).arg(n).arg(got, 0, 'g', 9).arg(exact, 0, 'g', 9)));
        }
}

void TestColour::curveReferenceValues_data()
{
    QTest::addColumn<QString>("curve");
    QTest::addColumn<float>("v");
    QTest::addColumn<int>("n");
    QTest::addColumn<float>("param");
    QTest::addColumn<double>("expected");
    QTest::addColumn<bool>("exact");

    QTest::newRow("boost 0.1") << "boost" << 0.1f << 1 << 1.0f << 0.244 << false;
    QTest::newRow("boost 0.5") << "boost" << 0.5f << 1 << 1.0f << 0.5 << true;
    QTest::newRow("boost 0.9") << "boost" << 0.9f << 1 << 1.0f << 0.756 << false;
    QTest::newRow("boost 0") << "boost" << 0.0f << 1 << 1.0f << 0.0 << true;
    QTest::newRow("boost 1") << "boost" << 1.0f << 1 << 1.0f << 1.0 << true;
    QTest::newRow("boost n=2") << "boost" << 0.1f << 2 << 1.0f << 0.33616 << false;
    QTest::newRow("boost blend 0.5") << "boost" << 0.1f << 1 << 0.5f << 0.172 << false;
    QTest::newRow("boost blend 0") << "boost" << 0.3f << 3 << 0.0f << double(0.3f) << true;
    QTest::newRow("hill 0.25") << "hill" << 0.25f << 0 << 0.0f << 0.1875 << true;
    QTest::newRow("hill 0.5") << "hill" << 0.5f << 0 << 0.0f << 0.5 << true;
    QTest::newRow("hill 0.75") << "hill" << 0.75f << 0 << 0.0f << 0.5625 << true;
    QTest::newRow("hill 1") << "hill" << 1.0f << 0 << 0.0f << 0.0 << true;
    QTest::newRow("hill 0") << "hill" << 0.0f << 0 << 0.0f << 0.0 << true;
    QTest::newRow("downhill 0.1") << "downhill" << 0.1f << 2 << 3.0f << 0.298 << false;
    QTest::newRow("downhill 1") << "downhill" << 1.0f << 2 << 3.0f << 1.0 << true;
    QTest::newRow("downhill 0.5") << "downhill" << 0.5f << 2 << 3.0f << 1.25 << true;
    QTest::newRow("downhill m=3 g=2") << "downhill" << 0.5f << 3 << 2.0f << 0.9375 << true;
    QTest::newRow("downhill m=-1") << "downhill" << 0.5f << -1 << 2.0f << 0.0 << true;
}

void TestColour::curveReferenceValues()
{
    QFETCH(QString, curve);
    QFETCH(float, v);
    QFETCH(int, n);
    QFETCH(float, param);
    QFETCH(double, expected);
    QFETCH(bool, exact);

    float got = 0.0f;
    if (curve == QLatin1String("boost"))
        got = kernels::lowValueBoost(v, n, param);
    else if (curve == QLatin1String("hill"))
        got = kernels::hillCurve(v);
    else
        got = kernels::downhillCurve(v, n, param);
    if (exact)
        QCOMPARE_EQ(got, float(expected));
    else
        QVERIFY2(std::fabs(got - expected) <= 1e-6, qPrintable(QString::number(got, 'g', 9)));
}

void TestColour::downhillWithUnitGainIsIdentity()
{
    const float values[] = {-0.3f, 0.0f, 0.1f, 0.37f, 0.999f, 1.0f, 1.7f};
    for (float v : values)
        for (int m : {1, 2, 5, 10})
            QCOMPARE_EQ(kernels::downhillCurve(v, m, 1.0f), v);
}

void TestColour::contrastOffsetGamma_data()
{
    QTest::addColumn<float>("v");
    QTest::addColumn<float>("contrast");
    QTest::addColumn<float>("offset");
    QTest::addColumn<float>("gamma");
    QTest::addColumn<double>("expected");
    QTest::addColumn<bool>("exact");

    QTest::newRow("gamma 2 is the exponent") << 0.5f << 1.0f << 0.0f << 2.0f << 0.25 << true;
    QTest::newRow("gamma 0.5") << 0.25f << 1.0f << 0.0f << 0.5f << 0.5 << true;
    QTest::newRow("gamma 1") << 0.3f << 1.0f << 0.0f << 1.0f << double(0.3f) << true;
    QTest::newRow("contrast and offset") << 0.4f << 2.0f << -0.5f << 1.0f << 0.3 << false;
    QTest::newRow("offset then gamma") << 0.6f << 1.0f << -0.1f << 2.0f << 0.25 << false;
    QTest::newRow("negative base, gamma 1.5") << 0.25f << 1.0f << -0.5f << 1.5f << 0.0 << true;
    QTest::newRow("negative base, gamma 0.5") << 0.1f << 1.0f << -0.2f << 0.5f << 0.0 << true;
    QTest::newRow("negative base, gamma 2") << 0.25f << 1.0f << -0.5f << 2.0f << 0.0625 << true;
    QTest::newRow("negative base, gamma 3") << 0.25f << 1.0f << -0.5f << 3.0f << -0.015625 << true;
    QTest::newRow("negative base, gamma 1") << 0.25f << 1.0f << -0.5f << 1.0f << -0.25 << true;
    QTest::newRow("zero base, gamma 0.5") << 0.5f << 1.0f << -0.5f << 0.5f << 0.0 << true;
}

void TestColour::contrastOffsetGamma()
{
    QFETCH(float, v);
    QFETCH(float, contrast);
    QFETCH(float, offset);
    QFETCH(float, gamma);
    QFETCH(double, expected);
    QFETCH(bool, exact);
    const float got = kernels::contrastOffsetGamma(v, contrast, offset, gamma);
    QVERIFY2(!std::isnan(got), "NaN");
    if (exact)
        QCOMPARE_EQ(got, float(expected));
    else
        QVERIFY2(std::fabs(got - expected) <= 1e-6, qPrintable(QString::number(got, 'g', 9)));
}

void TestColour::pipeline_data()
{
    QTest::addColumn<float>("v");           // normalised value on every channel
    QTest::addColumn<float>("gain");
    QTest::addColumn<int>("boost");         // low value boost strength, 0: off
    QTest::addColumn<float>("blend");
    QTest::addColumn<bool>("hill");
    QTest::addColumn<int>("downhill");      // downhill strength, 0: off
    QTest::addColumn<float>("downhillGain");
    QTest::addColumn<float>("contrast");
    QTest::addColumn<float>("offset");
    QTest::addColumn<float>("gamma");
    QTest::addColumn<int>("expected");      // the 8-bit result

    //                                 v       gain  boost blend hill  dh dhGain contr offset gamma  byte
    QTest::newRow("defaults")      << 0.5f << 1.f << 0 << 1.f << false << 0 << 1.f << 1.f << 0.f << 1.f << 128;
    QTest::newRow("boost 0.1")     << 0.1f << 1.f << 1 << 1.f << false << 0 << 1.f << 1.f << 0.f << 1.f << byteOf(0.244);
    QTest::newRow("boost 0.5")     << 0.5f << 1.f << 1 << 1.f << false << 0 << 1.f << 1.f << 0.f << 1.f << 128;
    QTest::newRow("boost 0.9")     << 0.9f << 1.f << 1 << 1.f << false << 0 << 1.f << 1.f << 0.f << 1.f << byteOf(0.756);
    QTest::newRow("boost blend")   << 0.1f << 1.f << 1 << .5f << false << 0 << 1.f << 1.f << 0.f << 1.f << byteOf(0.172);
    QTest::newRow("hill 0.25")     << .25f << 1.f << 0 << 1.f << true  << 0 << 1.f << 1.f << 0.f << 1.f << byteOf(0.1875);
    QTest::newRow("hill 1")        << 1.0f << 1.f << 0 << 1.f << true  << 0 << 1.f << 1.f << 0.f << 1.f << 0;
    QTest::newRow("downhill 0.1")  << 0.1f << 1.f << 0 << 1.f << false << 2 << 3.f << 1.f << 0.f << 1.f << byteOf(0.298);
    QTest::newRow("downhill 1")    << 1.0f << 1.f << 0 << 1.f << false << 2 << 3.f << 1.f << 0.f << 1.f << 255;
    QTest::newRow("downhill clamps") << 0.5f << 1.f << 0 << 1.f << false << 2 << 3.f << 1.f << 0.f << 1.f << 255;
    QTest::newRow("gamma 2")       << 0.5f << 1.f << 0 << 1.f << false << 0 << 1.f << 1.f << 0.f << 2.f << 64;
    QTest::newRow("gamma 0.5")     << .25f << 1.f << 0 << 1.f << false << 0 << 1.f << 1.f << 0.f << .5f << 128;
    QTest::newRow("offset -1")     << 0.7f << 1.f << 0 << 1.f << false << 0 << 1.f << 1.f << -1.f << 1.f << 0;
    QTest::newRow("offset 0.2")    << 0.5f << 1.f << 0 << 1.f << false << 0 << 1.f << 1.f << .2f << 1.f << byteOf(0.7);
    QTest::newRow("contrast 2")    << 0.3f << 1.f << 0 << 1.f << false << 0 << 1.f << 2.f << 0.f << 1.f << byteOf(0.6);
    // The order of the steps.
    QTest::newRow("gain, then curves")      << .25f << 2.f << 0 << 1.f << true  << 0 << 1.f << 1.f << 0.f << 1.f << 128;
    QTest::newRow("curves, then contrast")  << .25f << 1.f << 0 << 1.f << true  << 0 << 1.f << 2.f << 0.f << 1.f << 96;
    QTest::newRow("boost, then hill")       << 0.1f << 1.f << 1 << 1.f << true  << 0 << 1.f << 1.f << 0.f << 1.f
                                            << byteOf(0.244 * (1 - 0.512 * 0.512));
    QTest::newRow("hill, then downhill")    << .25f << 1.f << 0 << 1.f << true  << 2 << 3.f << 1.f << 0.f << 1.f
                                            << byteOf(0.54931640625);
    QTest::newRow("offset, then gamma")     << 0.6f << 1.f << 0 << 1.f << false << 0 << 1.f << 1.f << -.1f << 2.f << 64;
    QTest::newRow("gamma, then clamp")      << 0.2f << 1.f << 0 << 1.f << false << 0 << 1.f << 1.f << -.7f << 2.f << 64;
    QTest::newRow("negative base, gamma 1.5") << .25f << 1.f << 0 << 1.f << false << 0 << 1.f << 1.f << -.5f << 1.5f << 0;
    QTest::newRow("gain clamps")            << 0.6f << 2.f << 0 << 1.f << false << 0 << 1.f << 1.f << 0.f << 1.f << 255;
}

void TestColour::pipeline()
{
    QFETCH(float, v);
    QFETCH(float, gain);
    QFETCH(int, boost);
    QFETCH(float, blend);
    QFETCH(bool, hill);
    QFETCH(int, downhill);
    QFETCH(float, downhillGain);
    QFETCH(float, contrast);
    QFETCH(float, offset);
    QFETCH(float, gamma);
    QFETCH(int, expected);

    StackEngine e;
    e.accumulator = single(v, v, v);
    e.gainR = e.gainG = e.gainB = gain;
    e.lowValueBoost = boost > 0;
    e.lvbExponent = std::max(1, boost);
    e.lvbBlend = blend;
    e.hillFunc = hill;
    e.downhillFunc = downhill > 0;
    e.downhillStrength = std::max(1, downhill);
    e.downhillGain = downhillGain;
    e.contrastR = e.contrastG = e.contrastB = contrast;
    e.offsetR = e.offsetG = e.offsetB = offset;
    e.gammaR = e.gammaG = e.gammaB = gamma;
    const QImage image = e.colorAdjusted();
    QCOMPARE(image.size(), QSize(1, 1));
    QCOMPARE(image.format(), QImage::Format_RGB32);
    QCOMPARE(image.pixel(0, 0), qRgb(expected, expected, expected));
}

void TestColour::gainOnOneChannel()
{
    auto acc = createFloatImage(256, 1);
    for (int k = 0; k < 256; ++k) {
        float* p = acc->pixel(k, 0);
        p[0] = p[1] = p[2] = float(k / 255.0);
        p[3] = 1.0f;
    }
    StackEngine e;
    e.accumulator = std::move(acc);
    e.gainR = 2.0f;
    const QImage adjusted = e.colorAdjusted();
    const QImage plain = e.normalizeStack();
    for (int k = 0; k < 256; ++k) {
        const QRgb p = adjusted.pixel(k, 0);
        // Values above 0.5 saturate; below, 2k/255 in 16 bits is exactly 514k.
        QCOMPARE(qRed(p), k >= 128 ? 255 : (514 * k) >> 8);
        QCOMPARE(qGreen(p), qGreen(plain.pixel(k, 0)));
        QCOMPARE(qBlue(p), qBlue(plain.pixel(k, 0)));
        QCOMPARE(qGreen(p), k);
    }
}

void TestColour::offsetsOfMinusOneGiveBlack()
{
    StackEngine e;
    e.accumulator = randomAccumulator(40, 30, 3, true);
    float* full = e.accumulator->pixel(0, 0); // a full 1.0 on every channel
    full[0] = full[1] = full[2] = full[3] = 1.0f;
    e.offsetR = e.offsetG = e.offsetB = -1.0f;
    const QImage image = e.colorAdjusted();
    QCOMPARE(image.size(), QSize(40, 30));
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            QCOMPARE(image.pixel(x, y), qRgb(0, 0, 0));
}

void TestColour::luminanceOutput_data()
{
    QTest::addColumn<QVector<float>>("channels"); // normalised R, G, B
    QTest::addColumn<QVector<double>>("weights");
    QTest::addColumn<int>("expected");

    QTest::newRow("weights summing to 1, clamped channels")
        << QVector<float>{1.2f, 0.5f, -0.3f} << QVector<double>{0.2126, 0.7152, 0.0722} << byteOf(0.2126 + 0.7152 * 0.5);
    QTest::newRow("clamp before the weighting")
        << QVector<float>{2.0f, 0.2f, 0.9f} << QVector<double>{0.5, 0.5, 0.0} << byteOf(0.6);
    QTest::newRow("weights over 1, result above 1")
        << QVector<float>{0.6f, 0.6f, 0.6f} << QVector<double>{1.0, 1.0, 1.0} << 255;
    QTest::newRow("weights over 1, result below 1")
        << QVector<float>{0.2f, 0.3f, 0.1f} << QVector<double>{1.0, 1.0, 1.0} << byteOf(0.6);
    QTest::newRow("one channel only") << QVector<float>{0.25f, 0.9f, 0.9f} << QVector<double>{1.0, 0.0, 0.0} << 64;
}

void TestColour::luminanceOutput()
{
    QFETCH(QVector<float>, channels);
    QFETCH(QVector<double>, weights);
    QFETCH(int, expected);
    StackEngine e;
    e.accumulator = single(channels[0], channels[1], channels[2]);
    e.lumaOut = true;
    e.lumaWeightR = weights[0];
    e.lumaWeightG = weights[1];
    e.lumaWeightB = weights[2];
    QCOMPARE(e.colorAdjusted().pixel(0, 0), qRgb(expected, expected, expected));
}

void TestColour::zeroWeightIsBlack()
{
    auto acc = createFloatImage(3, 1);
    acc->pixel(1, 0)[0] = 0.5f; // sums without weight
    acc->pixel(2, 0)[3] = 1.0f; // black, but covered
    StackEngine e;
    e.accumulator = std::move(acc);
    e.offsetR = e.offsetG = e.offsetB = 0.5f;
    e.gammaR = e.gammaG = e.gammaB = 1.5f;
    e.lowValueBoost = true;
    e.lvbExponent = 2;
    e.lvbBlend = 0.5f;
    e.lumaOut = true;
    const QImage image = e.colorAdjusted();
    QCOMPARE(image.pixel(0, 0), qRgb(0, 0, 0));
    QCOMPARE(image.pixel(1, 0), qRgb(0, 0, 0));
    // The covered pixel goes through the pipeline: boost(0) = 0, (0 + 0.5)^1.5.
    const int grey = byteOf(std::pow(0.5, 1.5));
    QCOMPARE(image.pixel(2, 0), qRgb(grey, grey, grey));
}

void TestColour::defaultsReproduceTheNormalisedStack()
{
    StackEngine e;
    e.accumulator = randomAccumulator(53, 41, 7);
    const std::vector<float> before = floatsOf(*e.accumulator);
    const QImage adjusted = e.colorAdjusted();
    const QImage normalised = e.normalizeStack();
    QCOMPARE(adjusted.size(), QSize(53, 41));
    QCOMPARE(adjusted.format(), QImage::Format_RGB32);
    QCOMPARE(adjusted, normalised);
    QVERIFY(floatsOf(*e.accumulator) == before);

    // A real stack as well: one frame, box filter 1, cutoffs.
    QTemporaryDir dir;
    const QString path = fixtures::write(dir, QStringLiteral("f.png"), randomImage(31, 17, 9));
    StackEngine s;
    s.addFrames({path});
    QCOMPARE(s.prepareSequence(path), StackEngine::Status::Ok);
    s.frames->referenceIndex = 0;
    s.frames->update(0, [](FrameRecord& r) { r.aligned = true; });
    s.stackFilter = 1;
    s.minusB = 90;
    QVERIFY(batch::stackAll(s, batch::Progress()));
    QCOMPARE(s.colorAdjusted(), s.normalizeStack());
}

void TestColour::threadCountDoesNotChangeTheResult()
{
    StackEngine e;
    e.accumulator = randomAccumulator(64, 200, 11);
    e.lowValueBoost = true;
    e.lvbExponent = 3;
    e.lvbBlend = 0.7f;
    e.hillFunc = true;
    e.downhillFunc = true;
    e.downhillStrength = 3;
    e.downhillGain = 2.0f;
    e.gammaG = 1.7f;
    e.offsetB = -0.1f;
    e.gainR = 1.3f;
    e.lumaOut = true;
    parallel::setThreadCount(1);
    const QImage one = e.colorAdjusted();
    parallel::setThreadCount(2);
    const QImage two = e.colorAdjusted();
    QCOMPARE(two, one);
}

void TestColour::noAccumulator()
{
    StackEngine e;
    QVERIFY(e.colorAdjusted().isNull());
}

// ---- saving --------------------------------------------------------------------------------------

void TestColour::saveByTheSuffix_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("format"); // as recognised from the written bytes
    QTest::addColumn<bool>("lossless");
    QTest::newRow("png") << "out.png" << QByteArray("png") << true;
    QTest::newRow("bmp") << "out.bmp" << QByteArray("bmp") << true;
    QTest::newRow("jpg") << "out.jpg" << QByteArray("jpeg") << false;
    QTest::newRow("jpeg") << "out.jpeg" << QByteArray("jpeg") << false;
    QTest::newRow("ppm") << "out.ppm" << QByteArray("ppm") << true;
    QTest::newRow("tif") << "out.tif" << QByteArray("tiff") << true;
    QTest::newRow("xpm") << "out.xpm" << QByteArray("xpm") << true;
    QTest::newRow("upper-case suffix") << "OUT.PNG" << QByteArray("png") << true;
    QTest::newRow("dots in the name") << "jupiter.2024.05.bmp" << QByteArray("bmp") << true;
}

void TestColour::saveByTheSuffix()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, format);
    QFETCH(bool, lossless);
    if (!QImageWriter::supportedImageFormats().contains(QFileInfo(name).suffix().toLower().toLatin1()))
        QSKIP("The toolkit has no writer for this format here");

    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    const QImage image = randomImage(23, 11, 4);
    QString error;
    QVERIFY2(imagesave::save(image, path, &error), qPrintable(error));
    QCOMPARE(listing(dir.path()), QStringList{name});

    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    QCOMPARE(reader.format(), format);
    const QImage back = reader.read();
    QVERIFY2(!back.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(back.size(), image.size());
    if (lossless)
        QCOMPARE(back.convertToFormat(QImage::Format_RGB32), image);
}

void TestColour::failedSaveKeepsWhatWasThere_data()
{
    QTest::addColumn<QString>("name");     // relative to the folder; empty: no name at all
    QTest::addColumn<QString>("existing"); // a file present before the save, relative; may be empty
    QTest::addColumn<QImage>("image");
    const QImage image = randomImage(8, 8, 2);
    QTest::newRow("unknown suffix") << "keep.xyz" << "keep.xyz" << image;
    QTest::newRow("no suffix") << "keep" << "keep" << image;
    QTest::newRow("no name") << "" << "" << image;
    QTest::newRow("no image") << "keep.png" << "keep.png" << QImage();
    QTest::newRow("folder in the way") << "folder.png" << "" << image;
    QTest::newRow("parent is a file") << "plain.png/out.png" << "plain.png" << image;
    QTest::newRow("missing folder") << "missing/out.png" << "" << image;
    // The encoder gives up only once it has started: wider than JPEG allows.
    QImage wide(70000, 1, QImage::Format_RGB32);
    wide.fill(qRgb(10, 20, 30));
    QTest::newRow("encoder fails") << "keep.jpg" << "keep.jpg" << wide;
}

void TestColour::failedSaveKeepsWhatWasThere()
{
    QFETCH(QString, name);
    QFETCH(QString, existing);
    QFETCH(QImage, image);

    QTemporaryDir dir;
    QByteArray old;
    if (!existing.isEmpty()) {
        // A valid image, so that a writer would happily overwrite it.
        QVERIFY(randomImage(5, 5, 1).save(dir.filePath(existing), "PNG"));
        old = contentsOf(dir.filePath(existing));
        QVERIFY(!old.isEmpty());
    }
    if (name == QLatin1String("folder.png"))
        QVERIFY(QDir(dir.path()).mkdir(name));
    const QStringList before = listing(dir.path());

    const QString path = name.isEmpty() ? QString() : dir.filePath(name);
    QString error;
    QVERIFY(!imagesave::save(image, path, &error));
    QVERIFY(!error.trimmed().isEmpty());
    // Refused before the encoder starts, naming the format's limit.
    if (image.width() > 65500)
        QVERIFY2(error.contains(QLatin1String("JPEG")) && error.contains(QLatin1String("65535")), qPrintable(error));
    QCOMPARE(listing(dir.path()), before);
    if (!existing.isEmpty())
        QCOMPARE(contentsOf(dir.filePath(existing)), old);
    QVERIFY(imagesave::save(randomImage(8, 8, 2), dir.filePath(QStringLiteral("fine.png")))); // the folder is writable
}

void TestColour::saveReplacesAnExistingFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("stack.png"));
    // A larger file first: nothing of it may survive behind the new image.
    QVERIFY(randomImage(300, 200, 5).save(path, "PNG"));
    const qint64 oldSize = QFileInfo(path).size();

    const QImage image = randomImage(12, 9, 6);
    QString error;
    QVERIFY2(imagesave::save(image, path, &error), qPrintable(error));
    QVERIFY2(imagesave::save(image, dir.filePath(QStringLiteral("fresh.png")), &error), qPrintable(error));
    const QByteArray written = contentsOf(path);
    QVERIFY(written.size() < oldSize);
    QCOMPARE(written, contentsOf(dir.filePath(QStringLiteral("fresh.png"))));
    QCOMPARE(QImage(path).convertToFormat(QImage::Format_RGB32), image);
    QCOMPARE(listing(dir.path()), QStringList({QStringLiteral("fresh.png"), QStringLiteral("stack.png")}));
}

void TestColour::savedStackHasTheCanvasSize()
{
    // Supersampling 2 and frames displaced by (3, -2): the canvas is 2 x 10 + 3 by 2 x 6 + 2.
    QTemporaryDir dir;
    const QStringList paths =
        fixtures::writeSequence(dir, QStringLiteral("f"), {randomImage(10, 6, 1), randomImage(10, 6, 2)});
    StackEngine e;
    e.supersample = true;
    e.scaleFactor = 2;
    e.addFrames(paths);
    QCOMPARE(e.prepareSequence(paths[0]), StackEngine::Status::Ok);
    e.frames->referenceIndex = 0;
    e.frames->update(0, [](FrameRecord& r) { r.aligned = true; r.x = 10; r.y = 6; });
    e.frames->update(1, [](FrameRecord& r) { r.aligned = true; r.x = 13; r.y = 4; });
    e.maxDx = 3;
    e.minDy = -2;
    QVERIFY(batch::stackAll(e, batch::Progress()));
    e.gammaR = 2.0f;
    const QImage result = e.colorAdjusted();

    const QString path = dir.filePath(QStringLiteral("stack.png"));
    QString error;
    QVERIFY2(imagesave::save(result, path, &error), qPrintable(error));
    const QImage back(path);
    QCOMPARE(back.size(), QSize(23, 14));
    QCOMPARE(back.convertToFormat(QImage::Format_RGB32), result);
}

void TestColour::pngReadsBackExactly_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("depth"); // of the file; 0: not plain RGB (the image library's writer)
    QTest::newRow("8-bit 1x1") << filterMix(1, 1, QImage::Format_RGB32, 1) << 8;
    QTest::newRow("8-bit 97x41") << filterMix(97, 41, QImage::Format_RGB32, 2) << 8;
    QTest::newRow("16-bit 1x1") << filterMix(1, 1, QImage::Format_RGBX64, 3) << 16;
    QTest::newRow("16-bit 97x41") << filterMix(97, 41, QImage::Format_RGBX64, 4) << 16;
    // Several IDAT chunks.
    QTest::newRow("16-bit 700x400") << filterMix(700, 400, QImage::Format_RGBX64, 5) << 16;
    QImage translucent = filterMix(31, 9, QImage::Format_RGB32, 6).convertToFormat(QImage::Format_ARGB32);
    translucent.setPixel(3, 4, qRgba(10, 20, 30, 40));
    QTest::newRow("alpha") << translucent << 0;
    QTest::newRow("grey") << filterMix(31, 9, QImage::Format_RGB32, 7).convertToFormat(QImage::Format_Grayscale8) << 0;
}

void TestColour::pngReadsBackExactly()
{
    QFETCH(QImage, image);
    QFETCH(int, depth);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(2835);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("stack.png"));
    QString error;
    QVERIFY2(imagesave::save(image, path, &error), qPrintable(error));
    QCOMPARE(listing(dir.path()), QStringList{QStringLiteral("stack.png")});

    const QImage back(path);
    QCOMPARE(back.format(), image.format());
    QCOMPARE(back, image);
    QCOMPARE(back.dotsPerMeterX(), 3780);
    QCOMPARE(back.dotsPerMeterY(), 2835);
    if (depth == 0)
        return;
    // Another decoder, which checks every chunk's CRC and the stream's checksum, reads the same samples.
    int stored = 0;
    const QByteArray file = contentsOf(path);
    const QByteArray samples = spngSamples(file, &stored);
    QCOMPARE(file.count("IDAT") > 1, image.width() == 700);
    QCOMPARE(stored, depth);
    QCOMPARE(samples.size(), qsizetype(image.width()) * image.height() * 3 * (depth / 8));
    QVERIFY(samples == pngSamples(image, depth));
}

QTEST_GUILESS_MAIN(TestColour)
#include "tst_colour.moc"
