// Ordinary image files as frames: 16-bit PNG, TIFF, PGM and PPM keep their 16 bits, other maxvals
// are scaled to 16 bits, 8-bit files stay 32-bit RGB with the values the toolkit reads.

#include "readers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString writeBytes(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

QVector<int> samplesOf(const QImage& image)
{
    QVector<int> out;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            if (image.format() == QImage::Format_RGBX64) {
                const quint16* p = reinterpret_cast<const quint16*>(image.constScanLine(y)) + 4 * x;
                out << p[0] << p[1] << p[2];
            } else {
                const QRgb p = reinterpret_cast<const QRgb*>(image.constScanLine(y))[x];
                out << qRed(p) << qGreen(p) << qBlue(p);
            }
        }
    return out;
}

} // namespace

class TestImageFiles : public QObject {
    Q_OBJECT

private slots:
    void netpbm_data();
    void netpbm();
    void sixteenBitPngAndTiff_data();
    void sixteenBitPngAndTiff();
    void eightBitFilesAsTheToolkitReadsThem();
    void truncatedNetpbmIsRefused();
};

void TestImageFiles::netpbm_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("deep");
    QTest::addColumn<QVector<int>>("expected");
    QTest::newRow("P5 65535, big-endian samples") << QByteArray("P5\n2 1\n65535\n\x12\x34\xff\x01", 17) << true
                                                  << QVector<int>{0x1234, 0x1234, 0x1234, 0xff01, 0xff01, 0xff01};
    // round(s * 65535 / 1023): 1023 -> 65535, 1 -> 64.06 -> 64, 512 -> 32799.53 -> 32800.
    QTest::newRow("P5 1023") << QByteArray("P5\n3 1\n1023\n\x03\xff\x00\x01\x02\x00", 18) << true
                             << QVector<int>{65535, 65535, 65535, 64, 64, 64, 32800, 32800, 32800};
    // 500 / 1000 -> 32767.5 -> 32768; 1 / 1000 -> 65.535 -> 66.
    QTest::newRow("P3 1000") << QByteArray("P3\n1 1\n1000\n1000 500 1\n") << true << QVector<int>{65535, 32768, 66};
    // 7 / 15 -> 30583.
    QTest::newRow("P2 15") << QByteArray("P2\n1 1\n15\n7\n") << true << QVector<int>{30583, 30583, 30583};
    QTest::newRow("P6 65535") << QByteArray("P6\n1 1\n65535\n\x12\x34\x56\x78\x9a\xbc", 20) << true
                              << QVector<int>{0x1234, 0x5678, 0x9abc};
    QTest::newRow("P6 255 stays 8-bit") << QByteArray("P6\n1 1\n255\n\x12\x34\x56", 14) << false << QVector<int>{0x12, 0x34, 0x56};
}

void TestImageFiles::netpbm()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, deep);
    QFETCH(QVector<int>, expected);
    QTemporaryDir dir;
    const QString path = writeBytes(dir, QStringLiteral("frame.pnm"), bytes);
    QImage image;
    QString error;
    QVERIFY2(readers::readFrame(path, {}, image, &error), qPrintable(error));
    QCOMPARE(image.format(), deep ? QImage::Format_RGBX64 : QImage::Format_RGB32);
    QCOMPARE(samplesOf(image), expected);
}

void TestImageFiles::sixteenBitPngAndTiff_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<bool>("grey");
    for (const char* suffix : {"png", "tif"}) {
        QTest::newRow(QByteArray(suffix).append(" grey")) << suffix << true;
        QTest::newRow(QByteArray(suffix).append(" RGB")) << suffix << false;
    }
}

void TestImageFiles::sixteenBitPngAndTiff()
{
    QFETCH(QString, suffix);
    QFETCH(bool, grey);
    QImage source(3, 2, grey ? QImage::Format_Grayscale16 : QImage::Format_RGBX64);
    QVector<int> expected;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            quint16* line = reinterpret_cast<quint16*>(source.scanLine(y));
            const int v = 1 + 12345 * (y * 3 + x);
            if (grey) {
                line[x] = quint16(v);
                expected << v << v << v;
            } else {
                line[4 * x] = quint16(v), line[4 * x + 1] = quint16(v + 1), line[4 * x + 2] = quint16(65535 - v), line[4 * x + 3] = 65535;
                expected << v << v + 1 << 65535 - v;
            }
        }
    QTemporaryDir dir;
    const QString path = dir.filePath("frame." + suffix);
    QVERIFY(source.save(path));
    QImage image;
    QVERIFY(readers::readFrame(path, {}, image));
    QCOMPARE(image.format(), QImage::Format_RGBX64);
    QCOMPARE(samplesOf(image), expected);
}

void TestImageFiles::eightBitFilesAsTheToolkitReadsThem()
{
    QImage source(4, 3, QImage::Format_RGB32);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            source.setPixel(x, y, qRgb(20 * x, 50 * y, 7 * x * y));
    QTemporaryDir dir;
    for (const char* name : {"a.png", "a.bmp", "a.ppm", "a.tif"}) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        QVERIFY(source.save(path));
        QImage toolkit;
        QVERIFY(toolkit.load(path));
        QImage image;
        QVERIFY(readers::readFrame(path, {}, image));
        QCOMPARE(image.format(), QImage::Format_RGB32);
        QCOMPARE(image, toolkit.convertToFormat(QImage::Format_RGB32));
    }
    const QString pgm = dir.filePath(QStringLiteral("g.pgm"));
    QVERIFY(source.convertToFormat(QImage::Format_Grayscale8).save(pgm));
    QImage toolkit, image;
    QVERIFY(toolkit.load(pgm));
    QVERIFY(readers::readFrame(pgm, {}, image));
    QCOMPARE(image, toolkit.convertToFormat(QImage::Format_RGB32));
}

void TestImageFiles::truncatedNetpbmIsRefused()
{
    QTemporaryDir dir;
    const QString path = writeBytes(dir, QStringLiteral("short.pgm"), QByteArray("P5\n4 4\n65535\n\x01\x02\x03", 16));
    QImage image;
    QString error;
    QVERIFY(!readers::readFrame(path, {}, image, &error));
    QVERIFY(image.isNull());
    QVERIFY2(error.startsWith(path + ": "), qPrintable(error));
    const QString bad = writeBytes(dir, QStringLiteral("bad.ppm"), QByteArray("P6\n-3 x\n"));
    QVERIFY(!readers::readFrame(bad, {}, image, &error));
    QVERIFY(error.startsWith(bad + ": "));
}

QTEST_GUILESS_MAIN(TestImageFiles)
#include "tst_imagefiles.moc"
