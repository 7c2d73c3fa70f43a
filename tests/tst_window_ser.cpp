// The window and SER captures: the open dialogs offer them first, a capture chosen in the dialog
// becomes one row, path and record per frame (name.ser#1 ...), Frame Info shows the frame's time,
// interrupted captures are logged, refused ones change nothing, captures serve as dark frames, and a
// master dark built already follows the "Debayer:" choice.

#include "serwriter.h"
#include "windowfixture.h"

#include "demosaic.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace {

QByteArray frameOf(int width, int height, int level)
{
    QImage image = fixtures::brightSquare(width, height, width / 2, height / 2, 9, qRgb(level, level / 2, 30));
    return serwriter::rgbFrame(image);
}

} // namespace

class TestWindowSer : public windowfixture::WindowFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup() { destroyWindow(); }

    void dialogsOfferCapturesFirst();
    void captureBecomesItsFrames();
    void interruptedCaptureIsLogged();
    void refusedCaptureChangesNothing();
    void captureAsDarkFrames();
    void debayerChoice();
    void debayerChoiceRebuildsMasterDark();

private:
    QString writeCapture(const QString& name, int frames, qint64 cutBytes = 0, bool stamped = true);
    QStringList chosen;
    QStringList filters;
};

void TestWindowSer::init()
{
    chosen.clear();
    filters.clear();
    if (!createWindow())
        return;
    w->prompts.openFileNames = [this](QWidget*, const QString&, const QString&, const QString& filter) {
        filters << filter;
        return chosen;
    };
    showWindow();
}

QString TestWindowSer::writeCapture(const QString& name, int frames, qint64 cutBytes, bool stamped)
{
    serwriter::Capture c;
    c.colorId = 100;
    c.width = 40;
    c.height = 30;
    for (int i = 0; i < frames; ++i) {
        c.frames << frameOf(40, 30, 100 + 40 * i);
        if (stamped) // 2025-01-01T00:00:00.000Z plus 250 ms per frame
            c.timeStamps << 621355968000000000LL + (1735689600000LL + 250LL * i) * 10000;
    }
    c.cutBytes = cutBytes;
    const QString path = dir->filePath(name);
    return serwriter::write(path, c) ? path : QString();
}

void TestWindowSer::dialogsOfferCapturesFirst()
{
    w->ui.pbImages->click();
    w->ui.pbDarks->click();
    QCOMPARE(filters.size(), 2);
    for (const QString& f : filters) {
        const QStringList entries = f.split(QStringLiteral(";;"));
        QCOMPARE(entries.first(), QStringLiteral("SER video (*.ser)"));
        QVERIFY(entries.contains(QStringLiteral("Portable Network Graphics (*.png)")));
        QVERIFY(entries.contains(QStringLiteral("Flexible Image Transport System (*.fit *.fits *.fts)")));
        QCOMPARE(entries.last(), QStringLiteral("All files (*.*)"));
    }
}

void TestWindowSer::captureBecomesItsFrames()
{
    const QString png = fixtures::write(*dir, QStringLiteral("a.png"), fixtures::brightSquare(40, 30, 20, 15, 9));
    const QString capture = writeCapture(QStringLiteral("jupiter.ser"), 3);
    QVERIFY(!capture.isEmpty());
    chosen = {png, capture};
    w->ui.pbImages->click();

    QStringList rows;
    for (int i = 0; i < w->ui.lwFrames->count(); ++i) {
        rows << w->ui.lwFrames->item(i)->text();
        QCOMPARE(w->ui.lwFrames->item(i)->checkState(), Qt::Checked);
    }
    QCOMPARE(rows, QStringList({"a.png", "jupiter.ser#1", "jupiter.ser#2", "jupiter.ser#3"}));
    QCOMPARE(w->fileNames, QStringList({png, capture + "#1", capture + "#2", capture + "#3"}));
    QCOMPARE(w->engine.frames->count(), 4);
    QCOMPARE(w->engine.frames->path(3), capture + "#3");
    QVERIFY(!frameInfo().join('\n').contains("Time: ")); // a.png has no time stamp

    w->ui.lwFrames->setCurrentRow(3);
    QCOMPARE(shown().pixel(20, 15), qRgb(180, 90, 30));
    QCOMPARE(frameInfo().last(), QStringLiteral("Time: 2025-01-01T00:00:00.500Z"));
    QCOMPARE(frameInfo().size(), 8);
}

void TestWindowSer::interruptedCaptureIsLogged()
{
    const QString capture = writeCapture(QStringLiteral("cut.ser"), 4, 8 * 4 + 100, false);
    chosen = {capture};
    const int before = log().size();
    w->ui.pbImages->click();
    QCOMPARE(w->ui.lwFrames->count(), 3);
    const QStringList lines = logSince(before);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(capture) && lines.first().contains("3 whole frames"), qPrintable(lines.first()));
    QVERIFY(warnings.isEmpty());
}

void TestWindowSer::refusedCaptureChangesNothing()
{
    const QString good = writeCapture(QStringLiteral("good.ser"), 2);
    chosen = {good};
    w->ui.pbImages->click();
    QCOMPARE(w->ui.lwFrames->count(), 2);

    serwriter::Capture cmy;
    cmy.colorId = 17;
    cmy.width = cmy.height = 4;
    cmy.frames = {QByteArray(16, '\1')};
    const QString bad = dir->filePath(QStringLiteral("cmy.ser"));
    QVERIFY(serwriter::write(bad, cmy));
    for (QPushButton* button : {w->ui.pbImages, w->ui.pbDarks}) {
        warnings.clear();
        chosen = {bad};
        button->click();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().contains(bad) && warnings.first().contains("ColorID 17"), qPrintable(warnings.first()));
        QVERIFY(questions.isEmpty());
    }
    QCOMPARE(w->fileNames, QStringList({good + "#1", good + "#2"}));
    QCOMPARE(w->ui.lwFrames->count(), 2);
    QVERIFY(!w->engine.darkSequenceLoaded);
}

void TestWindowSer::captureAsDarkFrames()
{
    const QString darks = writeCapture(QStringLiteral("darks.ser"), 3);
    chosen = {darks};
    answer = QMessageBox::Yes;
    w->ui.pbDarks->click();
    QCOMPARE(questions.size(), 1);
    QCOMPARE(w->engine.darkList, QStringList({darks + "#1", darks + "#2", darks + "#3"}));
    QVERIFY(w->engine.masterDark);
    // Three frames summed: the square's red is 100/255 + 140/255 + 180/255 in floats.
    const float* p = w->engine.masterDark->pixel(20, 15);
    QCOMPARE(p[3], 3.0f);
    QCOMPARE(p[0], float(100 / 255.0) + float(140 / 255.0) + float(180 / 255.0));
}

void TestWindowSer::debayerChoice()
{
    QCOMPARE(w->ui.comboDebayer->parentWidget(), w->ui.groupBox_4);
    QCOMPARE(w->ui.lblDebayer->text(), QStringLiteral("Debayer:"));
    QStringList items;
    for (int i = 0; i < w->ui.comboDebayer->count(); ++i)
        items << w->ui.comboDebayer->itemText(i);
    QCOMPARE(items, QStringList({"Auto", "None", "RGGB", "GRBG", "GBRG", "BGGR"}));
    QCOMPARE(w->ui.comboDebayer->currentIndex(), 0);

    // A raw GRBG capture: demosaiced by its own pattern, grey with "None", by the named one otherwise.
    serwriter::Capture c;
    c.colorId = 9;
    c.width = 8;
    c.height = 6;
    QVector<int> values;
    std::vector<quint16> samples;
    for (int i = 0; i < 48; ++i) {
        values << (i * 37) % 251;
        samples.push_back(quint16(values.last()));
    }
    c.frames = {serwriter::samples(values, 1)};
    const QString path = dir->filePath(QStringLiteral("raw.ser"));
    QVERIFY(serwriter::write(path, c));
    chosen = {path};
    w->ui.pbImages->click();
    QCOMPARE(shown(), readers::demosaic(samples.data(), 8, 6, 255, readers::Cfa::GRBG));
    w->ui.comboDebayer->setCurrentIndex(1);
    QCOMPARE(shown(), readers::greyFrame(samples.data(), 8, 6, 255));
    w->ui.comboDebayer->setCurrentIndex(5);
    QCOMPARE(shown(), readers::demosaic(samples.data(), 8, 6, 255, readers::Cfa::BGGR));
    QCOMPARE(w->engine.readOptions.debayer, readers::Debayer::BGGR);
}

// The master dark's sums against the fractions of one frame, every pixel and channel; empty when equal.
QString darkDifference(const FloatImage* dark, const QImage& frame)
{
    if (!dark || dark->width != frame.width() || dark->height != frame.height())
        return QStringLiteral("no master dark of the frame's size");
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x) {
            const QRgb p = frame.pixel(x, y);
            const float* d = dark->pixel(x, y);
            if (d[0] != float(qRed(p) / 255.0) || d[1] != float(qGreen(p) / 255.0) || d[2] != float(qBlue(p) / 255.0) || d[3] != 1.0f)
                return QStringLiteral("pixel (%1, %2)").arg(x).arg(y);
        }
    return QString();
}

// A raw dark capture is demosaiced by the choice in force: changing it builds the master dark again,
// and the calibrated frame shown uses the new one.
void TestWindowSer::debayerChoiceRebuildsMasterDark()
{
    serwriter::Capture c;
    c.colorId = 8; // RGGB
    c.width = 8;
    c.height = 6;
    QVector<int> values;
    std::vector<quint16> samples;
    for (int i = 0; i < 48; ++i) {
        values << (i * 53) % 97;
        samples.push_back(quint16(values.last()));
    }
    c.frames = {serwriter::samples(values, 1)};
    const QString darks = dir->filePath(QStringLiteral("rawdark.ser"));
    QVERIFY(serwriter::write(darks, c));
    const QString light = fixtures::write(*dir, QStringLiteral("light.png"), fixtures::solid(8, 6, qRgb(200, 200, 200)));
    chosen = {light};
    w->ui.pbImages->click();
    chosen = {darks};
    answer = QMessageBox::Yes;
    w->ui.pbDarks->click();
    QCOMPARE(darkDifference(w->engine.masterDark.get(), readers::demosaic(samples.data(), 8, 6, 255, readers::Cfa::RGGB)), QString());
    w->ui.cbPreviewDarkframe->click();
    QVERIFY(w->engine.previewDarkframe);

    const int before = log().size();
    w->ui.comboDebayer->setCurrentIndex(1); // None: grey
    QCOMPARE(darkDifference(w->engine.masterDark.get(), readers::greyFrame(samples.data(), 8, 6, 255)), QString());
    QVERIFY(w->engine.masterDarkBuilt);
    QCOMPARE(logSince(before), QStringList({QStringLiteral("master darkframe built from 1 frames")}));
    // The frame shown is calibrated with the grey dark: 200 minus the sample (the floor is 2 levels).
    w->ui.lwFrames->setCurrentRow(0);
    const QImage shown8 = shown();
    QCOMPARE(qRed(shown8.pixel(3, 2)), 200 - values[2 * 8 + 3]);
    QCOMPARE(qBlue(shown8.pixel(5, 4)), 200 - values[4 * 8 + 5]);

    w->ui.comboDebayer->setCurrentIndex(5); // BGGR
    QCOMPARE(darkDifference(w->engine.masterDark.get(), readers::demosaic(samples.data(), 8, 6, 255, readers::Cfa::BGGR)), QString());
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
}

QTEST_MAIN(TestWindowSer)
#include "tst_window_ser.moc"
