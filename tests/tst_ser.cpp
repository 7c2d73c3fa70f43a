// SER captures: the frames read are the frames written, for every sample layout; headers that lie are
// refused with one message naming the file and the field; interrupted captures, FrameCount 0, time
// stamps; frames named capture.ser#n through the engine and its cache.

#include "framecache.h"
#include "readers.h"
#include "rows.h"
#include "serwriter.h"
#include "stackengine.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// Pixel (x, y) of a frame as 16-bit R, G, B, whatever the frame's format.
struct Rgb16 {
    int r, g, b;
    bool operator==(const Rgb16& o) const { return r == o.r && g == o.g && b == o.b; }
};

Rgb16 at(const QImage& image, int x, int y)
{
    if (image.format() == QImage::Format_RGBX64) {
        const quint16* p = reinterpret_cast<const quint16*>(image.constScanLine(y)) + 4 * x;
        return {p[0], p[1], p[2]};
    }
    const QRgb p = reinterpret_cast<const QRgb*>(image.constScanLine(y))[x];
    return {qRed(p), qGreen(p), qBlue(p)};
}

char* toString(const Rgb16& c) { return QTest::toString(QStringLiteral("(%1,%2,%3)").arg(c.r).arg(c.g).arg(c.b)); }

// Distinct samples per frame, position and plane, below 2^bits.
int sampleValue(int frame, int index, int bits) { return (frame * 7919 + index * 613 + 17) % (1 << bits); }

} // namespace

class TestSer : public QObject {
    Q_OBJECT

private slots:
    void rowsOfThreeBytes();
    void framesAsWritten_data();
    void framesAsWritten();
    void bayerCapturesFollowTheirColourId_data();
    void bayerCapturesFollowTheirColourId();
    void refusedHeaders_data();
    void refusedHeaders();
    void interruptedAndOpenEndedCaptures();
    void timeStamps();
    void frameNames();
    void engineReadsFramesByName();
};

void TestSer::framesAsWritten_data()
{
    QTest::addColumn<int>("colorId");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("endianField");
    QTest::addColumn<bool>("deep");
    QTest::newRow("8-bit mono") << 0 << 8 << 0 << false;
    QTest::newRow("6-bit mono, taken as 8-bit samples") << 0 << 6 << 0 << false;
    QTest::newRow("8-bit RGB") << 100 << 8 << 0 << false;
    QTest::newRow("8-bit BGR") << 101 << 8 << 0 << false;
    QTest::newRow("16-bit mono little-endian") << 0 << 16 << 0 << true;
    QTest::newRow("16-bit mono big-endian") << 0 << 16 << 1 << true;
    QTest::newRow("16-bit BGR big-endian") << 101 << 16 << 1 << true;
    QTest::newRow("12-bit mono, shifted to 16 bits") << 0 << 12 << 0 << true;
    QTest::newRow("10-bit RGB little-endian") << 100 << 10 << 0 << true;
}

void TestSer::framesAsWritten()
{
    QFETCH(int, colorId);
    QFETCH(int, depth);
    QFETCH(int, endianField);
    QFETCH(bool, deep);
    // 13 pixels: rows of 8-bit RGB are converted four pixels at a time, and the rest one by one.
    const int width = 13, height = 3, planes = colorId >= 100 ? 3 : 1;
    const int bits = depth > 8 ? depth : 8;
    QTemporaryDir dir;
    serwriter::Capture c;
    c.colorId = colorId;
    c.depth = depth;
    c.littleEndian = endianField;
    c.width = width;
    c.height = height;
    QVector<QVector<int>> written;
    for (int f = 0; f < 3; ++f) {
        QVector<int> values;
        for (int i = 0; i < width * height * planes; ++i)
            values.append(sampleValue(f, i, bits));
        written.append(values);
        c.frames.append(serwriter::samples(values, depth > 8 ? 2 : 1, endianField == 1));
    }
    const QString path = dir.filePath(QStringLiteral("capture.ser"));
    QVERIFY(serwriter::write(path, c));

    QStringList frames, notes;
    QString error;
    QVERIFY2(readers::expandSequence({path}, &frames, &notes, &error), qPrintable(error));
    QCOMPARE(frames, QStringList({path + "#1", path + "#2", path + "#3"}));
    QVERIFY(notes.isEmpty());

    const int shift = depth > 8 ? 16 - depth : 0;
    for (int f = 0; f < 3; ++f) {
        QImage image;
        QVERIFY2(readers::readFrame(frames[f], {}, image, &error), qPrintable(error));
        QCOMPARE(image.format(), deep ? QImage::Format_RGBX64 : QImage::Format_RGB32);
        QCOMPARE(image.size(), QSize(width, height));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int i = (y * width + x) * planes;
                auto s = [&](int plane) { return written[f][i + plane] << shift; };
                Rgb16 expected = planes == 1 ? Rgb16{s(0), s(0), s(0)} : Rgb16{s(0), s(1), s(2)};
                if (colorId == 101)
                    std::swap(expected.r, expected.b);
                QCOMPARE(at(image, x, y), expected);
            }
        }
    }
}

void TestSer::bayerCapturesFollowTheirColourId_data()
{
    QTest::addColumn<int>("colorId");
    QTest::addColumn<int>("depth");
    QTest::addColumn<QString>("pattern");
    QTest::newRow("8 RGGB") << 8 << 8 << "RGGB";
    QTest::newRow("9 GRBG") << 9 << 8 << "GRBG";
    QTest::newRow("10 GBRG, 16 bits") << 10 << 16 << "GBRG";
    QTest::newRow("11 BGGR, 12 bits") << 11 << 12 << "BGGR";
}

void TestSer::bayerCapturesFollowTheirColourId()
{
    QFETCH(int, colorId);
    QFETCH(int, depth);
    QFETCH(QString, pattern);
    const int width = 8, height = 6;
    QVector<int> values;
    QVector<quint16> full; // the samples at 16 (or 8) bits, as demosaicing sees them
    for (int i = 0; i < width * height; ++i) {
        values.append(sampleValue(1, i, depth));
        full.append(quint16(depth > 8 ? values.last() << (16 - depth) : values.last()));
    }
    QTemporaryDir dir;
    serwriter::Capture c;
    c.colorId = colorId;
    c.depth = depth;
    c.width = width;
    c.height = height;
    c.frames = {serwriter::samples(values, depth > 8 ? 2 : 1)};
    const QString path = dir.filePath(QStringLiteral("raw.ser"));
    QVERIFY(serwriter::write(path, c));

    const int maxValue = depth > 8 ? 65535 : 255;
    const QImage asPattern = readers::demosaic(full.constData(), width, height, maxValue, readers::cfaFromName(pattern));
    const QImage grey = readers::greyFrame(full.constData(), width, height, maxValue);
    const QImage other = readers::demosaic(full.constData(), width, height, maxValue,
                                           pattern == "RGGB" ? readers::Cfa::BGGR : readers::Cfa::RGGB);
    QVERIFY(asPattern != other);

    QImage image;
    QString error;
    QVERIFY2(readers::readFrame(path + "#1", {}, image, &error), qPrintable(error));
    QCOMPARE(image, asPattern);
    readers::ReadOptions none;
    none.debayer = readers::Debayer::None;
    QVERIFY(readers::readFrame(path + "#1", none, image));
    QCOMPARE(image, grey);
    readers::ReadOptions overridden;
    overridden.debayer = pattern == "RGGB" ? readers::Debayer::BGGR : readers::Debayer::RGGB;
    QVERIFY(readers::readFrame(path + "#1", overridden, image));
    QCOMPARE(image, other);
}

void TestSer::refusedHeaders_data()
{
    QTest::addColumn<QByteArray>("fileId");
    QTest::addColumn<int>("colorId");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("depth");
    QTest::addColumn<qint64>("cut");
    QTest::addColumn<QString>("field");
    QTest::newRow("wrong FileID") << QByteArray("LUCAM-RECORDEX") << 0 << 4 << 4 << 8 << qint64(0) << "FileID";
    QTest::newRow("CMY pattern 16") << QByteArray("LUCAM-RECORDER") << 16 << 4 << 4 << 8 << qint64(0) << "ColorID 16";
    QTest::newRow("CMY pattern 19") << QByteArray("LUCAM-RECORDER") << 19 << 4 << 4 << 8 << qint64(0) << "ColorID 19";
    QTest::newRow("unknown ColorID") << QByteArray("LUCAM-RECORDER") << 5 << 4 << 4 << 8 << qint64(0) << "ColorID 5";
    QTest::newRow("zero width") << QByteArray("LUCAM-RECORDER") << 0 << 0 << 4 << 8 << qint64(0) << "ImageWidth 0";
    QTest::newRow("zero height") << QByteArray("LUCAM-RECORDER") << 0 << 4 << 0 << 8 << qint64(0) << "ImageHeight 0";
    QTest::newRow("absurd width") << QByteArray("LUCAM-RECORDER") << 0 << 2000000000 << 1 << 8 << qint64(0) << "ImageWidth 2000000000";
    QTest::newRow("depth 0") << QByteArray("LUCAM-RECORDER") << 0 << 4 << 4 << 0 << qint64(0) << "PixelDepthPerPlane 0";
    QTest::newRow("depth 17") << QByteArray("LUCAM-RECORDER") << 0 << 4 << 4 << 17 << qint64(0) << "PixelDepthPerPlane 17";
    QTest::newRow("not one whole frame") << QByteArray("LUCAM-RECORDER") << 0 << 4 << 4 << 8 << qint64(1) << "no whole frame";
    QTest::newRow("header cut short") << QByteArray("LUCAM-RECORDER") << 0 << 4 << 4 << 8 << qint64(100) << "header is cut short";
}

void TestSer::refusedHeaders()
{
    QFETCH(QByteArray, fileId);
    QFETCH(int, colorId);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, depth);
    QFETCH(qint64, cut);
    QFETCH(QString, field);
    QTemporaryDir dir;
    serwriter::Capture c;
    c.fileId = fileId;
    c.colorId = colorId;
    c.width = width;
    c.height = height;
    c.depth = depth;
    c.frameCount = 1;
    c.frames = {QByteArray(16, '\x40')};
    c.cutBytes = cut;
    const QString path = dir.filePath(QStringLiteral("lies.ser"));
    QVERIFY(serwriter::write(path, c));

    QStringList frames = {QStringLiteral("untouched")};
    QStringList notes;
    QString error;
    QVERIFY(!readers::expandSequence({dir.filePath("other.png"), path}, &frames, &notes, &error));
    QCOMPARE(frames, QStringList({QStringLiteral("untouched")}));
    QVERIFY2(error.startsWith(path + ": "), qPrintable(error));
    QVERIFY2(error.contains(field), qPrintable(error));
    QCOMPARE(error.count(QLatin1Char('\n')), 0);
    QImage image;
    QVERIFY(!readers::readFrame(path + "#1", {}, image));
    QVERIFY(image.isNull());
}

void TestSer::interruptedAndOpenEndedCaptures()
{
    QTemporaryDir dir;
    serwriter::Capture c;
    c.width = 4;
    c.height = 2;
    for (int f = 0; f < 5; ++f)
        c.frames.append(QByteArray(8, char(10 * (f + 1))));

    // Header announces 5; three whole frames and half of the fourth were written.
    serwriter::Capture cut = c;
    cut.cutBytes = 8 + 4;
    const QString interrupted = dir.filePath(QStringLiteral("interrupted.ser"));
    QVERIFY(serwriter::write(interrupted, cut));
    QStringList frames, notes;
    QString error;
    QVERIFY2(readers::expandSequence({interrupted}, &frames, &notes, &error), qPrintable(error));
    QCOMPARE(frames.size(), 3);
    QCOMPARE(notes.size(), 1);
    QVERIFY2(notes[0].contains(interrupted) && notes[0].contains("3") && notes[0].contains("5"), qPrintable(notes[0]));
    QImage image;
    QVERIFY(readers::readFrame(frames[2], {}, image));
    QCOMPARE(qRed(image.pixel(3, 1)), 30);
    QVERIFY(!readers::readFrame(interrupted + "#4", {}, image, &error));
    QVERIFY(error.contains(interrupted));

    // FrameCount 0: every whole frame the file holds; the trailer bytes are not a frame.
    serwriter::Capture open = c;
    open.frameCount = 0;
    open.timeStamps = {1, 2, 3, 4, 5};
    const QString openEnded = dir.filePath(QStringLiteral("open.ser"));
    QVERIFY(serwriter::write(openEnded, open));
    notes.clear();
    QVERIFY2(readers::expandSequence({openEnded}, &frames, &notes, &error), qPrintable(error));
    QCOMPARE(frames.size(), 10); // 40 bytes of frames + 40 of stamps, read as frames
    QVERIFY(notes.isEmpty());
    QVERIFY(!readers::frameTime(frames[0]).isValid());
}

void TestSer::timeStamps()
{
    QTemporaryDir dir;
    serwriter::Capture c;
    c.width = 2;
    c.height = 2;
    c.frames = {QByteArray(4, '\1'), QByteArray(4, '\2')};
    // 2024-03-05T21:07:09.123Z and .999Z in 100 ns ticks since 0001-01-01.
    const qint64 base = 621355968000000000LL + 1709672829123LL * 10000;
    c.timeStamps = {base + 4567, base + 8760000 + 9999};
    const QString path = dir.filePath(QStringLiteral("timed.ser"));
    QVERIFY(serwriter::write(path, c));
    QCOMPARE(readers::frameTime(path + "#1").toString(Qt::ISODateWithMs), QStringLiteral("2024-03-05T21:07:09.123Z"));
    QCOMPARE(readers::frameTime(path + "#2").toString(Qt::ISODateWithMs), QStringLiteral("2024-03-05T21:07:09.999Z"));

    c.timeStamps.clear();
    const QString untimed = dir.filePath(QStringLiteral("untimed.ser"));
    QVERIFY(serwriter::write(untimed, c));
    QVERIFY(!readers::frameTime(untimed + "#1").isValid());
    QVERIFY(!readers::frameTime(dir.filePath("a.png")).isValid());
}

void TestSer::frameNames()
{
    int n = -1;
    QCOMPARE(readers::frameName("/d/cap.ser", 12), QStringLiteral("/d/cap.ser#12"));
    QCOMPARE(readers::sourceFile("/d/cap.ser#12", &n), QStringLiteral("/d/cap.ser"));
    QCOMPARE(n, 12);
    QCOMPARE(readers::sourceFile("/d/CAP.SER#1", &n), QStringLiteral("/d/CAP.SER"));
    QCOMPARE(n, 1);
    for (const char* plain : {"/d/a#2.png", "/d/cap.ser#0", "/d/cap.ser#x", "/d/cap.ser#", "/d/cap.ser#+3", "/d/cap.ser"}) {
        QCOMPARE(readers::sourceFile(plain, &n), QString::fromLatin1(plain));
        QCOMPARE(n, 0);
    }
}

void TestSer::engineReadsFramesByName()
{
    QTemporaryDir dir;
    serwriter::Capture c;
    c.colorId = 100;
    c.width = 3;
    c.height = 2;
    c.frames = {QByteArray(18, '\x20'), QByteArray(18, '\x60')};
    const QString path = dir.filePath(QStringLiteral("engine.ser"));
    QVERIFY(serwriter::write(path, c));

    StackEngine engine;
    QVERIFY(engine.loadFrame(path + "#2"));
    QCOMPARE(engine.currentFrame().pixel(2, 1), qRgb(0x60, 0x60, 0x60));
    QVERIFY(engine.loadFrame(path + "#1"));
    QCOMPARE(engine.currentFrame().pixel(0, 0), qRgb(0x20, 0x20, 0x20));

    // A capture rewritten on disk is read again, not taken from the cache.
    c.frames[1] = QByteArray(18, '\x70');
    c.frames.append(QByteArray(18, '\x01'));
    QVERIFY(serwriter::write(path, c));
    QVERIFY(engine.loadFrame(path + "#2"));
    QCOMPARE(engine.currentFrame().pixel(2, 1), qRgb(0x70, 0x70, 0x70));
    QVERIFY(!engine.loadFrame(path + "#4"));
}

// The row conversions against the byte layout, at every width around their vector groups (the tails
// go through the scalar loops), and the opacity test at every position.
void TestSer::rowsOfThreeBytes()
{
    quint32 seed = 7;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (int width = 1; width <= 21; ++width) {
        const std::size_t n = std::size_t(width);
        std::vector<uchar> bytes(n * 3);
        for (uchar& b : bytes)
            b = uchar(next() >> 24);
        std::vector<QRgb> rgb(n), bgr(n), guard(n + 1, 0x12345678u);
        readers::rgb24ToRgb32(bytes.data(), rgb.data(), width, false);
        readers::rgb24ToRgb32(bytes.data(), guard.data(), width, true);
        QCOMPARE(guard[n], 0x12345678u); // nothing written past the row
        readers::rgb24ToRgb32(bytes.data(), bgr.data(), width, true);
        for (int x = 0; x < width; ++x) {
            const uchar* p = bytes.data() + 3 * x;
            QCOMPARE(rgb[std::size_t(x)], qRgb(p[0], p[1], p[2]));
            QCOMPARE(bgr[std::size_t(x)], qRgb(p[2], p[1], p[0]));
        }
        // Packed as B, G, R: the bytes read as BGR again give the pixels.
        std::vector<uchar> packed(n * 3 + 1, 0xab);
        QVERIFY(readers::rgb32ToBgr24(rgb.data(), packed.data(), width));
        QCOMPARE(packed[n * 3], uchar(0xab));
        std::vector<QRgb> back(n);
        readers::rgb24ToRgb32(packed.data(), back.data(), width, true);
        QCOMPARE(back, rgb);
        for (int x = 0; x < width; ++x) {
            std::vector<QRgb> translucent = rgb;
            translucent[std::size_t(x)] &= 0xfeffffffu;
            QVERIFY2(!readers::rgb32ToBgr24(translucent.data(), packed.data(), width), qPrintable(QString::number(x)));
        }
    }
}

QTEST_GUILESS_MAIN(TestSer)
#include "tst_ser.moc"
