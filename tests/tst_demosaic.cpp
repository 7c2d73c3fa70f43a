// Bayer demosaicing against values worked out by hand (5x5 gradient-corrected filters, weights x16,
// floor((sum + 8) / 16) clamped, the mosaic mirrored about the edge pixels), and the user's pattern
// applied to single-channel image files.

#include "demosaic.h"
#include "readers.h"

#include <QTemporaryDir>
#include <QtTest>

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

} // namespace

class TestDemosaic : public QObject {
    Q_OBJECT

private slots:
    void knownMosaic_data();
    void knownMosaic();
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
