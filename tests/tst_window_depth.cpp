// The window with 16-bit frames: "16 bits per channel" follows the opened sequence, the inspector shows
// the frame's own samples, and "Save Stacked Image as..." writes the depth the box asks for.

#include "fixtures.h"
#include "windowfixture.h"

#include "nebulo.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

namespace {

// A bright square on black as a 16-bit frame: samples 257 v, and the centre pixel at `centre`.
QImage deepSquare(int cx, int cy, quint16 centre)
{
    const QImage eight = fixtures::brightSquare(120, 100, cx, cy, 9, qRgb(220, 200, 180));
    QImage deep = eight.convertToFormat(QImage::Format_RGBX64); // 8-bit v becomes 257 v exactly
    reinterpret_cast<QRgba64*>(deep.scanLine(cy))[cx] = QRgba64::fromRgba64(centre, centre, centre, 65535);
    return deep;
}

} // namespace

class TestWindowDepth : public windowfixture::WindowFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void boxFollowsTheOpenedSequence();
    void inspectorShowsSixteenBits();
    void saveAtTheBoxDepth_data();
    void saveAtTheBoxDepth();

private:
    QStringList writeDeep(const QString& prefix);
    QString saveName;
};

void TestWindowDepth::init()
{
    saveName.clear();
    if (!createWindow())
        return;
    w->prompts.saveFileName = [this](QWidget*, const QString&, const QString&, const QString&) { return saveName; };
    showWindow();
}

void TestWindowDepth::cleanup()
{
    destroyWindow();
}

QStringList TestWindowDepth::writeDeep(const QString& prefix)
{
    QVector<QImage> frames;
    for (int i = 0; i < 3; ++i)
        frames << deepSquare(60 + i, 50 - i, quint16(60000 + i));
    return fixtures::writeSequence(*dir, prefix, frames);
}

void TestWindowDepth::boxFollowsTheOpenedSequence()
{
    QCOMPARE(w->ui.cbDepth16->text(), QStringLiteral("16 bits per channel"));
    QVERIFY(!w->ui.cbDepth16->isChecked());
    w->openFiles(writeDeep(QStringLiteral("deep")));
    QVERIFY(w->ui.cbDepth16->isChecked());
    // The user may change it; the next sequence sets it again from its first frame.
    w->ui.cbDepth16->setChecked(false);
    QVERIFY(!w->ui.cbDepth16->isChecked());
    w->openFiles(fixtures::writeSequence(*dir, QStringLiteral("eight"), {fixtures::solid(40, 30, qRgb(1, 2, 3))}));
    QVERIFY(!w->ui.cbDepth16->isChecked());
}

void TestWindowDepth::inspectorShowsSixteenBits()
{
    w->openFiles(writeDeep(QStringLiteral("deep")));
    w->ui.sbFilter->setValue(0);
    hoverScene(QPointF(60, 50));
    QCOMPARE(w->lblRed->text(), QStringLiteral("Red: 60000"));
    QCOMPARE(w->lblBlue->text(), QStringLiteral("Blue: 60000"));
    // The luminance stays the 8-bit one that a click makes the threshold: 60000 >> 8 = 234.
    QCOMPARE(w->lblLuma->text(), QStringLiteral("Luma: 234"));
    hoverScene(QPointF(61, 50));
    QCOMPARE(w->lblGreen->text(), QStringLiteral("Green: %1").arg(257 * 200));
}

void TestWindowDepth::saveAtTheBoxDepth_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("sixteen");
    QTest::addColumn<bool>("written");
    QTest::newRow("png, box checked") << QStringLiteral("out.png") << true << true;
    QTest::newRow("png, box cleared") << QStringLiteral("out.png") << false << true;
    QTest::newRow("tiff, box checked") << QStringLiteral("out.tif") << true << true;
    QTest::newRow("bmp, box checked") << QStringLiteral("out.bmp") << true << false;
    QTest::newRow("bmp, box cleared") << QStringLiteral("out.bmp") << false << true;
}

void TestWindowDepth::saveAtTheBoxDepth()
{
    QFETCH(QString, name);
    QFETCH(bool, sixteen);
    QFETCH(bool, written);
    w->openFiles(writeDeep(QStringLiteral("deep")));
    w->ui.sbWeight->setValue(100);
    w->findBright();
    w->ui.pbAlign->click();
    w->ui.pbStack2->click();
    QVERIFY(w->engine.stackReady);
    w->ui.cbDepth16->setChecked(sixteen);
    saveName = dir->filePath(name);
    w->ui.pbSaveStacked->click();

    if (!written) {
        QVERIFY(!QFile::exists(saveName));
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().contains(QStringLiteral("cannot hold 16 bits per channel")), qPrintable(warnings.first()));
        return;
    }
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    QImage back;
    QVERIFY(back.load(saveName));
    QCOMPARE(back.depth() == 64, sixteen);
    const QImage expected = sixteen ? w->engine.colorAdjusted16() : w->engine.colorAdjusted();
    QCOMPARE(back.convertToFormat(expected.format()), expected);
}

QTEST_MAIN(TestWindowDepth)
#include "tst_window_depth.moc"
