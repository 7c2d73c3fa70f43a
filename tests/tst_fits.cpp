// FITS frames through cfitsio: every BITPIX in both row orders, RGB planes, BAYERPAT, and files the
// library refuses. Files are written with cfitsio itself.

#include "demosaic.h"
#include "readers.h"
#include "stackengine.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fitsio.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

struct Key {
    const char* name;
    QByteArray value;
};

// Writes an image of the given type (cfitsio's *_IMG codes; the unsigned ones set BZERO) with physical
// values in the data array's order (first row first).
bool writeFits(const QString& path, int imageType, std::vector<long> axes, const std::vector<double>& values,
               const std::vector<Key>& keys = {})
{
    fitsfile* f = nullptr;
    int status = 0;
    const QByteArray name = "!" + QFile::encodeName(path);
    fits_create_file(&f, name.constData(), &status);
    fits_create_img(f, imageType, int(axes.size()), axes.data(), &status);
    for (const Key& k : keys)
        fits_write_key(f, TSTRING, k.name, const_cast<char*>(k.value.constData()), nullptr, &status);
    std::vector<double> copy = values;
    fits_write_img(f, TDOUBLE, 1, LONGLONG(copy.size()), copy.data(), &status);
    fits_close_file(f, &status);
    return status == 0;
}

int sampleAt(const QImage& image, int x, int y, int channel)
{
    if (image.format() == QImage::Format_RGBX64)
        return reinterpret_cast<const quint16*>(image.constScanLine(y))[4 * x + channel];
    const QRgb p = reinterpret_cast<const QRgb*>(image.constScanLine(y))[x];
    return channel == 0 ? qRed(p) : channel == 1 ? qGreen(p) : qBlue(p);
}

} // namespace

class TestFits : public QObject {
    Q_OBJECT

private slots:
    void bitpixAndRowOrder_data();
    void bitpixAndRowOrder();
    void rgbPlanes();
    void bayerPatternNamesTheTopLeftAfterFlipping();
    void refusedFiles_data();
    void refusedFiles();
};

void TestFits::bitpixAndRowOrder_data()
{
    QTest::addColumn<int>("imageType");
    QTest::addColumn<bool>("topDown");
    QTest::addColumn<std::vector<double>>("values");   // data rows: first row first
    QTest::addColumn<std::vector<int>>("expected");    // samples of the same data positions
    QTest::addColumn<bool>("deep");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (bool topDown : {false, true}) {
        const char* order = topDown ? " top-down" : " bottom-up";
        QTest::newRow(QByteArray("8").append(order)) << int(BYTE_IMG) << topDown << std::vector<double>{0, 7, 200, 255}
                                                     << std::vector<int>{0, 7, 200, 255} << false;
        QTest::newRow(QByteArray("16 signed").append(order)) << int(SHORT_IMG) << topDown
                                                             << std::vector<double>{-5, 0, 1234, 32767}
                                                             << std::vector<int>{0, 0, 1234, 32767} << true;
        QTest::newRow(QByteArray("16 with BZERO 32768").append(order)) << int(USHORT_IMG) << topDown
                                                                       << std::vector<double>{0, 1, 40000, 65535}
                                                                       << std::vector<int>{0, 1, 40000, 65535} << true;
        QTest::newRow(QByteArray("32 signed").append(order)) << int(LONG_IMG) << topDown
                                                             << std::vector<double>{-70000, 65536.0 * 3 + 5, 2147483647, 0}
                                                             << std::vector<int>{0, 3, 32767, 0} << true;
        QTest::newRow(QByteArray("32 unsigned").append(order))
            << int(ULONG_IMG) << topDown << std::vector<double>{0, 4294967295.0, 65536.0 * 1000 + 65535, 2147483648.0}
            << std::vector<int>{0, 65535, 1000, 32768} << true;
        QTest::newRow(QByteArray("-32").append(order)) << int(FLOAT_IMG) << topDown << std::vector<double>{-0.5, 0.25, 1.5, 0.5}
                                                       << std::vector<int>{0, 16384, 65535, 32768} << true;
        QTest::newRow(QByteArray("-64").append(order)) << int(DOUBLE_IMG) << topDown
                                                       << std::vector<double>{nan, 1e-6, 0.999999, 1.0 / 3.0}
                                                       << std::vector<int>{0, 0, 65535, 21845} << true;
    }
}

void TestFits::bitpixAndRowOrder()
{
    QFETCH(int, imageType);
    QFETCH(bool, topDown);
    QFETCH(std::vector<double>, values);
    QFETCH(std::vector<int>, expected);
    QFETCH(bool, deep);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("frame.fits"));
    std::vector<Key> keys;
    if (topDown)
        keys.push_back({"ROWORDER", "TOP-DOWN"});
    QVERIFY(writeFits(path, imageType, {2, 2}, values, keys));

    QImage image;
    QString error;
    QVERIFY2(readers::readFrame(path, {}, image, &error), qPrintable(error));
    QCOMPARE(image.format(), deep ? QImage::Format_RGBX64 : QImage::Format_RGB32);
    for (int row = 0; row < 2; ++row) {
        const int y = topDown ? row : 1 - row;
        for (int x = 0; x < 2; ++x)
            for (int c = 0; c < 3; ++c)
                QCOMPARE(sampleAt(image, x, y, c), expected[std::size_t(row * 2 + x)]);
    }
}

void TestFits::rgbPlanes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("colour.fit"));
    // 2x1, planes R, G, B.
    QVERIFY(writeFits(path, USHORT_IMG, {2, 1, 3}, {100, 200, 3000, 4000, 50000, 60000}));
    QImage image;
    QVERIFY(readers::readFrame(path, {}, image));
    QCOMPARE(sampleAt(image, 0, 0, 0), 100);
    QCOMPARE(sampleAt(image, 1, 0, 0), 200);
    QCOMPARE(sampleAt(image, 0, 0, 1), 3000);
    QCOMPARE(sampleAt(image, 1, 0, 2), 60000);
    // A pattern named by the user does not touch RGB frames.
    readers::ReadOptions rggb;
    rggb.debayer = readers::Debayer::RGGB;
    QImage again;
    QVERIFY(readers::readFrame(path, rggb, again));
    QCOMPARE(again, image);
}

void TestFits::bayerPatternNamesTheTopLeftAfterFlipping()
{
    std::vector<quint16> picture; // top row first
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            picture.push_back(quint16((x * 37 + y * 53 + x * y * 11) % 240 + 10));
    std::vector<double> data; // bottom row first
    for (int y = 5; y >= 0; --y)
        for (int x = 0; x < 6; ++x)
            data.push_back(picture[std::size_t(y * 6 + x)]);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("raw.fts"));
    QVERIFY(writeFits(path, BYTE_IMG, {6, 6}, data, {{"BAYERPAT", "BGGR"}}));

    QImage image;
    QString error;
    QVERIFY2(readers::readFrame(path, {}, image, &error), qPrintable(error));
    QCOMPARE(image, readers::demosaic(picture.data(), 6, 6, 255, readers::Cfa::BGGR));
    readers::ReadOptions options;
    options.debayer = readers::Debayer::None;
    QVERIFY(readers::readFrame(path, options, image));
    QCOMPARE(image, readers::greyFrame(picture.data(), 6, 6, 255));
    options.debayer = readers::Debayer::GRBG;
    QVERIFY(readers::readFrame(path, options, image));
    QCOMPARE(image, readers::demosaic(picture.data(), 6, 6, 255, readers::Cfa::GRBG));

    // Through the engine, the dark frames included.
    StackEngine engine;
    QVERIFY(engine.loadFrame(path));
    QCOMPARE(engine.currentFrame(), readers::demosaic(picture.data(), 6, 6, 255, readers::Cfa::BGGR));
}

void TestFits::refusedFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("why");
    QTest::newRow("not FITS") << QByteArray("P5\n1 1\n255\n\x10", 13) << "cfitsio";
    QTest::newRow("header without END") << QByteArray("SIMPLE  =                    T").leftJustified(2880, ' ') << "cfitsio";
    QTest::newRow("empty") << QByteArray() << "cfitsio";
}

void TestFits::refusedFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, why);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.fits"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    QImage image;
    QString error;
    QVERIFY(!readers::readFrame(path, {}, image, &error));
    QVERIFY(image.isNull());
    QVERIFY2(error.startsWith(path + ": ") && error.contains(why), qPrintable(error));

    // Shapes the reader does not take: two planes; a pattern name it does not know.
    const QString planes = dir.filePath(QStringLiteral("planes.fits"));
    QVERIFY(writeFits(planes, BYTE_IMG, {1, 1, 2}, {1, 2}));
    QVERIFY(!readers::readFrame(planes, {}, image, &error));
    QVERIFY2(error.contains("NAXIS"), qPrintable(error));
    const QString pattern = dir.filePath(QStringLiteral("pattern.fits"));
    QVERIFY(writeFits(pattern, BYTE_IMG, {2, 2}, {1, 2, 3, 4}, {{"BAYERPAT", "CYGM"}}));
    QVERIFY(!readers::readFrame(pattern, {}, image, &error));
    QVERIFY2(error.contains("BAYERPAT"), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestFits)
#include "tst_fits.moc"
