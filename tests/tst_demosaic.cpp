// Bayer demosaicing against values worked out by hand (5x5 gradient-corrected filters, weights x16,
// floor((sum + 8) / 16) clamped, the mosaic mirrored about the edge pixels), and the user's pattern
// applied to single-channel image files.

#include "demosaic.h"
#include "readers.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// A 6x6 mosaic: v(x, y) = (37x + 53y + 11xy) mod 240 + 10.
std::vector<quint16> mosaic()
{
    std::vector<quint16> v;
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            v.push_back(quint16((37 * x + 53 * y + 11 * x * y) % 240 + 10));
    return v;
}

QRgb rgb(int r, int g, int b) { return qRgb(r, g, b); }

// The filters written out pixel by pixel, every neighbour through the mirror: (r, g, b) at (x, y).
void plainColour(const std::vector<quint16>& v, int w, int h, int maxValue, const QString& pattern, int x, int y, int out[3])
{
    auto mirror = [](int i, int n) {
        if (n == 1)
            return 0;
        while (i < 0 || i >= n)
            i = i < 0 ? -i : 2 * (n - 1) - i;
        return i;
    };
    auto at = [&](int dy, int dx) { return int(v[std::size_t(mirror(y + dy, h) * w + mirror(x + dx, w))]); };
    auto round16 = [&](int sum) { return std::clamp(int(std::floor((sum + 8) / 16.0)), 0, maxValue); };
    const int cross = 8 * at(0, 0) + 4 * (at(-1, 0) + at(1, 0) + at(0, -1) + at(0, 1)) - 2 * (at(-2, 0) + at(2, 0) + at(0, -2) + at(0, 2));
    const int corners = at(-1, -1) + at(-1, 1) + at(1, -1) + at(1, 1);
    const int row = 10 * at(0, 0) + 8 * (at(0, -1) + at(0, 1)) - 2 * (at(0, -2) + at(0, 2)) - 2 * corners + at(-2, 0) + at(2, 0);
    const int column = 10 * at(0, 0) + 8 * (at(-1, 0) + at(1, 0)) - 2 * (at(-2, 0) + at(2, 0)) - 2 * corners + at(0, -2) + at(0, 2);
    const int diagonal = 12 * at(0, 0) + 4 * corners - 3 * (at(-2, 0) + at(2, 0) + at(0, -2) + at(0, 2));
    const QChar own = pattern[(y % 2) * 2 + (x % 2)];
    const QChar inRow = pattern[(y % 2) * 2 + (1 - x % 2)];
    out[0] = out[1] = out[2] = at(0, 0);
    if (own == 'R' || own == 'B') {
        out[1] = round16(cross);
        out[own == 'R' ? 2 : 0] = round16(diagonal);
    } else {
        out[inRow == 'R' ? 0 : 2] = round16(row);
        out[inRow == 'R' ? 2 : 0] = round16(column);
    }
}

} // namespace

class TestDemosaic : public QObject {
    Q_OBJECT

private slots:
    void knownMosaic_data();
    void knownMosaic();
    void everyPixelAsWrittenOut();
    void sixteenBitsClampAtTheTop();
    void tinyFramesMirrorInside();
    void userPatternOnGreyFiles();
};

void TestDemosaic::knownMosaic_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QRgb>("corner"); // (0, 0)
    QTest::addColumn<QRgb>("edge");   // (3, 0)
    QTest::addColumn<QRgb>("middle"); // (2, 3)
    // RGGB at (0, 0), a red site of value 10: green = floor((8*10 + 4*(63+63+47+47) - 2*(116+116+84+84) + 8) / 16)
    // = floor(168 / 16) = 10; blue from the diagonals (111 four times, mirrored) and 116, 84 twice each:
    // floor((12*10 + 4*444 - 3*400 + 8) / 16) = floor(704 / 16) = 44.
    QTest::newRow("RGGB") << "RGGB" << rgb(10, 10, 44) << rgb(130, 121, 241) << rgb(144, 69, 144);
    // GRBG at (0, 0), a green site with red left and right: red = floor((10*10 + 8*94 - 2*168 - 2*444 + 232 + 8) / 16)
    // = floor(-132 / 16) -> negative, clamped to 0.
    QTest::newRow("GRBG") << "GRBG" << rgb(0, 10, 0) << rgb(121, 181, 113) << rgb(39, 129, 69);
    QTest::newRow("GBRG") << "GBRG" << rgb(0, 10, 0) << rgb(113, 181, 121) << rgb(69, 129, 39);
    QTest::newRow("BGGR") << "BGGR" << rgb(44, 10, 10) << rgb(241, 121, 130) << rgb(144, 69, 144);
}

void TestDemosaic::knownMosaic()
{
    QFETCH(QString, pattern);
    QFETCH(QRgb, corner);
    QFETCH(QRgb, edge);
    QFETCH(QRgb, middle);
    const std::vector<quint16> v = mosaic();
    const QImage image = readers::demosaic(v.data(), 6, 6, 255, readers::cfaFromName(pattern));
    QCOMPARE(image.format(), QImage::Format_RGB32);
    QCOMPARE(image.pixel(0, 0), corner);
    QCOMPARE(image.pixel(3, 0), edge);
    QCOMPARE(image.pixel(2, 3), middle);
    // Every site keeps its own sample in its own channel.
    const readers::Cfa cfa = readers::cfaFromName(pattern);
    QCOMPARE(readers::cfaName(cfa), pattern);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) {
            const QChar colour = pattern[(y % 2) * 2 + (x % 2)];
            const QRgb p = image.pixel(x, y);
            const int own = colour == 'R' ? qRed(p) : colour == 'G' ? qGreen(p) : qBlue(p);
            QCOMPARE(own, int(v[std::size_t(y * 6 + x)]));
        }
}

// Random mosaics of several sizes (the edge columns and rows mirror, the inside ones do not) in both
// sample ranges, every pattern, against the filters written out.
void TestDemosaic::everyPixelAsWrittenOut()
{
    quint32 seed = 99;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (const QString& pattern : {QStringLiteral("RGGB"), QStringLiteral("GRBG"), QStringLiteral("GBRG"), QStringLiteral("BGGR")})
        for (int maxValue : {255, 65535})
            for (const QSize& size : {QSize(1, 1), QSize(4, 3), QSize(5, 5), QSize(8, 2), QSize(13, 11)}) {
                const int w = size.width(), h = size.height();
                std::vector<quint16> v(std::size_t(w * h));
                for (quint16& s : v)
                    s = quint16((next() >> 8) % quint32(maxValue + 1));
                const QImage image = readers::demosaic(v.data(), w, h, maxValue, readers::cfaFromName(pattern));
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        int c[3];
                        plainColour(v, w, h, maxValue, pattern, x, y, c);
                        int got[3];
                        if (maxValue > 255) {
                            const QRgba64 p = reinterpret_cast<const QRgba64*>(image.constScanLine(y))[x];
                            got[0] = p.red(), got[1] = p.green(), got[2] = p.blue();
                        } else {
                            const QRgb p = image.pixel(x, y);
                            got[0] = qRed(p), got[1] = qGreen(p), got[2] = qBlue(p);
                        }
                        for (int k = 0; k < 3; ++k)
                            QVERIFY2(got[k] == c[k], qPrintable(QStringLiteral("%1 %2x%3 at %4,%5 channel %6: %7, not %8")
                                                                    .arg(pattern).arg(w).arg(h).arg(x).arg(y).arg(k).arg(got[k]).arg(c[k])));
                    }
            }
}

void TestDemosaic::sixteenBitsClampAtTheTop()
{
    // RGGB 5x5 at full scale except the four red sites two steps from the centre: at the centre
    // green = (8 + 16) * 65535 / 16 and blue = (12 + 16) * 65535 / 16, both above the top: 65535.
    std::vector<quint16> v(25, 65535);
    for (int i : {2, 10, 14, 22})
        v[std::size_t(i)] = 0;
    const QImage image = readers::demosaic(v.data(), 5, 5, 65535, readers::Cfa::RGGB);
    QCOMPARE(image.format(), QImage::Format_RGBX64);
    const quint16* centre = reinterpret_cast<const quint16*>(image.constScanLine(2)) + 4 * 2;
    QCOMPARE(int(centre[0]), 65535);
    QCOMPARE(int(centre[1]), 65535);
    QCOMPARE(int(centre[2]), 65535);
    QCOMPARE(int(centre[3]), 65535);
    // (2, 0), a red site of 0 next to full greens; two steps away (0, 0), (4, 0) and, mirrored above
    // and below, (2, 2), all full: green = floor((0 + 4*(4*65535) - 2*(4*65535) + 8) / 16) = 32768.
    const quint16* top = reinterpret_cast<const quint16*>(image.constScanLine(0)) + 4 * 2;
    QCOMPARE(int(top[0]), 0);
    QCOMPARE(int(top[1]), 32768);
}

void TestDemosaic::tinyFramesMirrorInside()
{
    // 1x1 and 2x1 mosaics read only their own samples: a flat mosaic stays flat.
    const std::vector<quint16> flat(4, 77);
    for (QSize size : {QSize(1, 1), QSize(2, 1), QSize(1, 2), QSize(2, 2)}) {
        const QImage image = readers::demosaic(flat.data(), size.width(), size.height(), 255, readers::Cfa::GBRG);
        QCOMPARE(image.size(), size);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                QCOMPARE(image.pixel(x, y), qRgb(77, 77, 77));
    }
}

void TestDemosaic::userPatternOnGreyFiles()
{
    const std::vector<quint16> v = mosaic();
    QImage grey(6, 6, QImage::Format_Grayscale8);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            grey.scanLine(y)[x] = uchar(v[std::size_t(y * 6 + x)]);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("raw.png"));
    QVERIFY(grey.save(path));
    const QString colourPath = dir.filePath(QStringLiteral("colour.png"));
    QVERIFY(grey.convertToFormat(QImage::Format_RGB32).save(colourPath));

    QImage image;
    QVERIFY(readers::readFrame(path, {}, image));
    QCOMPARE(image.pixel(3, 0), qRgb(121, 121, 121)); // grey without a pattern
    readers::ReadOptions bggr;
    bggr.debayer = readers::Debayer::BGGR;
    QVERIFY(readers::readFrame(path, bggr, image));
    QCOMPARE(image.pixel(3, 0), rgb(241, 121, 130));
    // RGB files ignore the pattern.
    QVERIFY(readers::readFrame(colourPath, bggr, image));
    QCOMPARE(image.pixel(3, 0), qRgb(121, 121, 121));

    readers::Debayer choice = readers::Debayer::Auto;
    for (const char* name : {"RGGB", "grbg", "Gbrg", "BGGR", "none", "Auto"}) {
        QVERIFY(readers::debayerFromName(QString::fromLatin1(name), &choice));
        QCOMPARE(readers::debayerName(choice).toLower(), QString::fromLatin1(name).toLower());
    }
    QVERIFY(!readers::debayerFromName(QStringLiteral("RGBG"), &choice));
    QVERIFY(!readers::debayerFromName(QString(), &choice));
}

QTEST_GUILESS_MAIN(TestDemosaic)
#include "tst_demosaic.moc"
