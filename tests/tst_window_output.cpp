// What the window makes of an aligned sequence: the stack, its colour adjustment, the saved file,
// and the quality selection that decides which frames take part.
#include "fixtures.h"
#include "nebulo.h"
#include "windowfixture.h"

#include <QDir>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QImageReader>
#include <QLabel>
#include <QListWidget>
#include <QtTest/QtTest>

#include <algorithm>
#include <memory>
#include <numeric>

#include <unistd.h>

namespace {

using windowfixture::firstDifference;
using windowfixture::maskTime;

const QRgb kTarget = qRgb(220, 200, 180);

const char kSaveFilter[] =
    "Portable Network Graphics (*.png);;Windows Bitmap (*.bmp);;JPG (*.jpg);;JPEG (*.jpeg);;"
    "Portable Pixmap (*.ppm);;Tagged Image File Format (*.tif);;X11 Bitmap (*.xbm);;X11 Pixmap (*.xpm)";

// The stacking sequence: a 9 x 9 target on black, moved by these whole-pixel shifts. Its offsets
// span -2..5 in x and -4..2 in y, so the canvas is 7 x 6 pixels larger than a frame and every
// frame's target lands centred on (60 + 5, 50 + 2).
const QVector<QPoint> kShifts = {{0, 0}, {3, -4}, {-2, 2}, {5, 1}, {1, -3}};
const QSize kFrame(120, 100);
const QSize kCanvas(127, 106);
const QPoint kLanding(65, 52);

// Quality sequence: checkerboards whose every horizontal and vertical step is s grey levels, so a
// frame rates exactly 2s. With the worst at s = 10 and the best at s = 60 the percentage is 2s - 20.
const QVector<int> kSteps = {20, 50, 35, 50, 10, 60, 50, 25, 40, 34, 50, 50};

QImage checkerboard(int step)
{
    QImage image(160, 120, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const int g = ((x + y) % 2) ? 60 + step : 60;
            image.setPixel(x, y, qRgb(g, g, g));
        }
    return image;
}

int percentOf(int step)
{
    return 2 * step - 20;
}

// The stacked target with every channel mapped through f; everything else black.
QImage stackedTarget(QRgb colour)
{
    return fixtures::brightSquare(kCanvas.width(), kCanvas.height(), kLanding.x(), kLanding.y(), 9, colour);
}

} // namespace

class TestWindowOutput : public windowfixture::WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // stacking
    void stackLogAndResult();
    void stackAgainSkipsMasterDark();
    void preprocessingQuestion_data();
    void preprocessingQuestion();
    void nothingBeforeASequence_data();
    void nothingBeforeASequence();
    void saveBeforeStacking();

    // saving
    void stackThenSave_data();
    void stackThenSave();
    void saveCancelled();
    void saveFailure_data();
    void saveFailure();
    void saveOverAnInput_data();
    void saveOverAnInput();

    // colour
    void colourChangeRecomputes();
    void offsetsMinusOneGiveBlack();
    void colourControlCopied_data();
    void colourControlCopied();
    void unconnectedControlsWaitForTheNextChange();
    void colourControlsRunAdjustment_data();
    void colourControlsRunAdjustment();
    void inspectorReportsTheFrameNotTheResult();

    // quality
    void analysisLogAndSpinBoxes();
    void minimumQuality_data();
    void minimumQuality();
    void zeroPercentKeepsUnanalysedUnchecked();
    void frameCount_data();
    void frameCount();
    void reselectionDoesNotReload();
    void qualityWithoutSequence();
    void qualityWithNoCheckedFrame();
    void unreadableFrameInAnalysis();

private:
    QList<int> checkedRows() const;
    // Opens the stacking sequence, picks the first frame, aligns; returns the paths.
    QStringList alignedSequence();
    QStringList stacked();
    QStringList qualitySequence();

    int openDialogs = 0;
    QStringList saveDialogs;
    QString saveName;
};

void TestWindowOutput::initTestCase()
{
    QLocale::setDefault(QLocale::c());
}

void TestWindowOutput::init()
{
    openDialogs = 0;
    saveDialogs.clear();
    saveName.clear();
    if (!createWindow())
        return;
    w->prompts.openFileNames = [this](QWidget*, const QString&, const QString&, const QString&) {
        ++openDialogs;
        return QStringList();
    };
    w->prompts.openFileName = [this](QWidget*, const QString&, const QString&, const QString&) {
        ++openDialogs;
        return QString();
    };
    w->prompts.saveFileName = [this](QWidget*, const QString& caption, const QString& d, const QString& filter) {
        saveDialogs << caption + QLatin1Char('|') + d + QLatin1Char('|') + filter;
        return saveName;
    };
    showWindow();
}

void TestWindowOutput::cleanup()
{
    destroyWindow();
}

// ---- helpers ----------------------------------------------------------------------------------

QList<int> TestWindowOutput::checkedRows() const
{
    QList<int> rows;
    for (int i = 0; i < w->ui.lwFrames->count(); ++i)
        if (w->ui.lwFrames->item(i)->checkState() == Qt::Checked)
            rows << i;
    return rows;
}

QStringList TestWindowOutput::alignedSequence()
{
    QVector<QImage> frames;
    for (const QPoint& s : kShifts)
        frames << fixtures::brightSquare(kFrame.width(), kFrame.height(), 60 + s.x(), 50 + s.y(), 9, kTarget);
    const QStringList paths = fixtures::writeSequence(*dir, QStringLiteral("stack"), frames);
    if (paths.size() != frames.size())
        return QStringList();
    w->openFiles(paths);
    w->ui.lwFrames->setCurrentRow(0);
    w->ui.pbWeight->click();
    w->ui.pbAlign->click();
    return paths;
}

QStringList TestWindowOutput::stacked()
{
    const QStringList paths = alignedSequence();
    w->ui.pbStack2->click();
    return paths;
}

QStringList TestWindowOutput::qualitySequence()
{
    QVector<QImage> frames;
    for (int s : kSteps)
        frames << checkerboard(s);
    const QStringList paths = fixtures::writeSequence(*dir, QStringLiteral("q"), frames);
    w->openFiles(paths);
    return paths;
}

// ---- stacking ---------------------------------------------------------------------------------

void TestWindowOutput::stackLogAndResult()
{
    const QStringList paths = alignedSequence();
    QCOMPARE(paths.size(), kShifts.size());
    QCOMPARE(w->engine.minDx, -2);
    QCOMPARE(w->engine.maxDx, 5);
    QCOMPARE(w->engine.minDy, -4);
    QCOMPARE(w->engine.maxDy, 2);

    const int start = log().size();
    w->ui.pbStack2->click();
    QStringList lines;
    for (const QString& l : logSince(start))
        lines << maskTime(l);
    QStringList expected = {"new image dimension: 127x106", "building master darkframe...", "finished."};
    for (const QString& p : paths)
        expected << "Added " + p + " // Processing time: <t>s";
    expected << "5 images processed, 5 stacked" << "Normalizing..." << "Total processing time: <t>s";
    QCOMPARE(lines, expected);

    // Every frame's target lands on the same canvas pixels; nothing else is lit.
    QVERIFY(w->engine.accumulator);
    QCOMPARE(QSize(w->engine.accumulator->width, w->engine.accumulator->height), kCanvas);
    QCOMPARE(w->scene->sceneRect(), QRectF(QPointF(0, 0), QSizeF(kCanvas)));
    const QString diff = firstDifference(shown(), stackedTarget(kTarget));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(shown(), w->engine.normalizeStack().convertToFormat(QImage::Format_RGB32));
    for (int i = 0; i < paths.size(); ++i)
        QVERIFY(w->engine.frames->record(i).stacked);

    // The run ends with the status back at "Ready.".
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
    QVERIFY(questions.isEmpty());
    QVERIFY(warnings.isEmpty());
}

void TestWindowOutput::stackAgainSkipsMasterDark()
{
    const QStringList paths = stacked();
    const QImage first = shown();
    w->ui.lwFrames->item(3)->setCheckState(Qt::Unchecked);

    const int start = log().size();
    w->ui.pbStack2->click();
    const QStringList lines = logSince(start);
    QCOMPARE(lines.size(), 2 + 4 + 3);
    QCOMPARE(lines.at(1), QStringLiteral("master darkframe already built, skipping."));
    QVERIFY(lines.filter(paths.at(3)).isEmpty());
    QCOMPARE(lines.at(6), QStringLiteral("4 images processed, 4 stacked"));
    // An unchecked frame is passed over: its record keeps what the run that considered it left.
    QVERIFY(w->engine.frames->record(3).stacked);
    // The same target from four frames: the same picture.
    const QString diff = firstDifference(shown(), first);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestWindowOutput::preprocessingQuestion_data()
{
    QTest::addColumn<bool>("active");
    QTest::addColumn<int>("reply");
    QTest::addColumn<bool>("activeAfter");

    QTest::newRow("active, Yes") << true << int(QMessageBox::Yes) << false;
    QTest::newRow("active, No") << true << int(QMessageBox::No) << true;
    QTest::newRow("not active") << false << int(QMessageBox::Yes) << false;
}

void TestWindowOutput::preprocessingQuestion()
{
    QFETCH(bool, active);
    QFETCH(int, reply);
    QFETCH(bool, activeAfter);

    alignedSequence();
    if (active) {
        w->ui.cbPreviewDarkframe->click();
        QVERIFY(w->ui.cbPreviewDarkframe->isChecked());
        QVERIFY(w->engine.previewDarkframe);
    }
    answer = QMessageBox::StandardButton(reply);
    const int start = log().size();
    w->ui.pbStack2->click();

    if (active) {
        QCOMPARE(questions, QStringList("Preprocessing active|Preprocessing is active. For best stacking results "
                                        "preprocessing should be deactivated as it may lead to unexpected results.|"
                                        "Deactivate it now?"));
    } else {
        QVERIFY(questions.isEmpty());
    }
    QCOMPARE(w->ui.cbPreviewDarkframe->isChecked(), activeAfter);
    QCOMPARE(w->engine.previewDarkframe, activeAfter);
    // Whatever the answer, the run goes on.
    QVERIFY(logSince(start).contains(QStringLiteral("5 images processed, 5 stacked")));
}

void TestWindowOutput::nothingBeforeASequence_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("Stack") << "stack";
    QTest::newRow("colour control") << "colour";
    QTest::newRow("low value boost") << "lvb";
    QTest::newRow("Save Stacked Image as...") << "save";
}

void TestWindowOutput::nothingBeforeASequence()
{
    QFETCH(QString, action);

    if (action == "stack")
        w->ui.pbStack2->click();
    else if (action == "colour")
        w->ui.sbGammaG->setValue(2.0);
    else if (action == "lvb")
        w->ui.cblvb->click();
    else
        w->ui.pbSaveStacked->click();

    QCOMPARE(logSince(5).size(), 1);
    QVERIFY(!logSince(5).first().trimmed().isEmpty());
    QVERIFY(saveDialogs.isEmpty());
    QCOMPARE(openDialogs, 0);
    QVERIFY(warnings.isEmpty());
    QVERIFY(questions.isEmpty());
    QVERIFY(w->scene->items().isEmpty());
    QVERIFY(!w->engine.accumulator);
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
    QVERIFY(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

void TestWindowOutput::saveBeforeStacking()
{
    alignedSequence();
    saveName = dir->filePath("early.png");
    const int start = log().size();
    w->ui.pbSaveStacked->click();
    QCOMPARE(logSince(start).size(), 1);
    QVERIFY(saveDialogs.isEmpty());
    QVERIFY(!QFile::exists(saveName));
    QVERIFY(warnings.isEmpty());
}

// ---- saving -----------------------------------------------------------------------------------

void TestWindowOutput::stackThenSave_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<bool>("lossless");
    QTest::addColumn<bool>("replacing");

    QTest::newRow("png") << "result.png" << QByteArray("png") << true << false;
    QTest::newRow("bmp") << "result.bmp" << QByteArray("bmp") << true << false;
    QTest::newRow("ppm") << "result.ppm" << QByteArray("ppm") << true << false;
    QTest::newRow("jpg") << "result.jpg" << QByteArray("jpeg") << false << false;
    QTest::newRow("jpeg") << "result.jpeg" << QByteArray("jpeg") << false << false;
    QTest::newRow("upper-case suffix") << "RESULT.PNG" << QByteArray("png") << true << false;
    QTest::newRow("over an existing file") << "result.png" << QByteArray("png") << true << true;
}

void TestWindowOutput::stackThenSave()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, format);
    QFETCH(bool, lossless);
    QFETCH(bool, replacing);

    stacked();
    saveName = dir->filePath(name);
    if (replacing) {
        QFile f(saveName);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(100000, 'x'));
    }
    const int start = log().size();
    w->ui.pbSaveStacked->click();

    // The dialog starts in the folder the sequence was opened from.
    QCOMPARE(saveDialogs, QStringList("Save stacked image...|" + QFileInfo(w->fileNames.first()).absolutePath() + "|"
                                      + QString::fromLatin1(kSaveFilter)));
    QVERIFY(warnings.isEmpty());
    QVERIFY(QFile::exists(saveName));
    QImageReader reader(saveName);
    reader.setDecideFormatFromContent(true);
    QCOMPARE(reader.format(), format);
    const QImage saved = reader.read();
    QCOMPARE(saved.size(), kCanvas);
    QCOMPARE(saved.size(), QSize(w->engine.accumulator->width, w->engine.accumulator->height));
    if (lossless) {
        // No colour control has changed: the file holds the normalised stack.
        const QString diff = firstDifference(saved.convertToFormat(QImage::Format_RGB32), stackedTarget(kTarget));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }
    // Only the file itself was written.
    const QStringList entries = QDir(dir->path()).entryList({"result*", "RESULT*", "*.tmp", "*~"}, QDir::Files);
    QCOMPARE(entries, QStringList(name));
    // One line names the file, its size and depth.
    QCOMPARE(logSince(start), QStringList(QStringLiteral("Saved %1 (%2x%3, 8 bits per channel)")
                                              .arg(QDir::toNativeSeparators(saveName)).arg(kCanvas.width()).arg(kCanvas.height())));
}

void TestWindowOutput::saveCancelled()
{
    stacked();
    const QStringList before = QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    const QStringList logBefore = log();
    const QImage picture = shown();
    saveName.clear();
    w->ui.pbSaveStacked->click();
    QCOMPARE(saveDialogs.size(), 1);
    QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
    QVERIFY(warnings.isEmpty());
    QCOMPARE(log(), logBefore);
    QCOMPARE(shown(), picture);
    QVERIFY(w->engine.stackReady);
}

void TestWindowOutput::saveFailure_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("mentions");
    QTest::addColumn<QString>("existing"); // "", "file" or "dir"

    QTest::newRow("unknown suffix") << "result.xyz" << "xyz" << "";
    QTest::newRow("no suffix") << "result" << "" << "";
    QTest::newRow("missing folder") << "missing/result.png" << "result.png" << "";
    QTest::newRow("existing file of an unknown format") << "keep.xyz" << "xyz" << "file";
    QTest::newRow("name of a folder") << "folder.png" << "folder.png" << "dir";
}

void TestWindowOutput::saveFailure()
{
    QFETCH(QString, name);
    QFETCH(QString, mentions);
    QFETCH(QString, existing);

    stacked();
    const QString path = dir->filePath(name);
    const QByteArray original("earlier content, not an image");
    if (existing == "file") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(original);
    } else if (existing == "dir") {
        QVERIFY(QDir(dir->path()).mkdir(name));
    }
    const QStringList before = QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);

    saveName = path;
    w->ui.pbSaveStacked->click();

    QCOMPARE(warnings.size(), 1);
    const QString text = warnings.first().section(QLatin1Char('|'), 1);
    QVERIFY2(!text.trimmed().isEmpty(), qPrintable(warnings.first()));
    if (!mentions.isEmpty())
        QVERIFY2(text.contains(mentions), qPrintable(warnings.first()));
    // Nothing written, nothing left behind, the earlier file intact.
    QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
    if (existing == "file") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), original);
    } else if (existing == "dir") {
        QVERIFY(QFileInfo(path).isDir());
        QVERIFY(QDir(path).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    } else {
        QVERIFY(!QFileInfo::exists(path));
    }
}

// The result may not replace one of its inputs, whichever name leads to it.
void TestWindowOutput::saveOverAnInput_data()
{
    QTest::addColumn<QString>("input"); // "frame", "dark" (of the dark sequence) or "master" (a master dark file)
    QTest::addColumn<QString>("link");  // "", "symbolic" or "hard"

    QTest::newRow("frame") << "frame" << "";
    QTest::newRow("dark frame") << "dark" << "";
    QTest::newRow("symbolic link to a frame") << "frame" << "symbolic";
    QTest::newRow("hard link to a dark frame") << "dark" << "hard";
    QTest::newRow("symbolic link to the master dark file") << "master" << "symbolic";
}

void TestWindowOutput::saveOverAnInput()
{
    QFETCH(QString, input);
    QFETCH(QString, link);

    const QStringList frames = alignedSequence();
    QImage dark(kFrame, QImage::Format_RGB32);
    dark.fill(Qt::black);
    const QStringList darks = fixtures::writeSequence(*dir, QStringLiteral("dark"), {dark, dark});
    QCOMPARE(darks.size(), 2);
    w->openDarkFiles(darks);
    const QString master = fixtures::write(*dir, QStringLiteral("master.png"), dark);
    w->prompts.openFileName = [master](QWidget*, const QString&, const QString&, const QString&) { return master; };
    w->openDark();
    w->ui.pbStack2->click();
    QVERIFY(w->engine.stackReady);

    const QString target = input == "frame" ? frames.at(2) : input == "dark" ? darks.at(1) : master;
    saveName = target;
    if (link == "symbolic") {
        saveName = dir->filePath(QStringLiteral("link.png"));
        QVERIFY(QFile::link(target, saveName));
    } else if (link == "hard") {
        saveName = dir->filePath(QStringLiteral("link.png"));
        QCOMPARE(::link(QFile::encodeName(target).constData(), QFile::encodeName(saveName).constData()), 0);
    }
    QFile original(target);
    QVERIFY(original.open(QIODevice::ReadOnly));
    const QByteArray content = original.readAll();
    original.close();
    const QStringList before = QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    warnings.clear();
    const QStringList logBefore = log();

    w->ui.pbSaveStacked->click();

    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(QLatin1String("Save failed|The stacked image was not saved.")), qPrintable(warnings.first()));
    QVERIFY2(warnings.first().contains(QDir::toNativeSeparators(target)), qPrintable(warnings.first()));
    QVERIFY2(warnings.first().contains(input == "frame" ? QLatin1String("the frame ") : QLatin1String("the dark frame ")),
             qPrintable(warnings.first()));
    QCOMPARE(log(), logBefore);
    QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
    QVERIFY(original.open(QIODevice::ReadOnly));
    QCOMPARE(original.readAll(), content);
    QVERIFY(QFileInfo(saveName).isSymLink() == (link == "symbolic"));

    // Another name in the same folder is saved as usual.
    saveName = dir->filePath(QStringLiteral("result.png"));
    w->ui.pbSaveStacked->click();
    QCOMPARE(warnings.size(), 1);
    QVERIFY(QFile::exists(saveName));
}

// ---- colour -----------------------------------------------------------------------------------

void TestWindowOutput::colourChangeRecomputes()
{
    stacked();
    const QGraphicsPixmapItem* before = w->pixmapItem;
    w->ui.sbGainR->setValue(2.0);
    QVERIFY(w->pixmapItem != before);
    QCOMPARE(w->engine.gainR, 2.0f);
    // Red of the target (220/255) doubled passes 1 and is clamped; green and blue stay.
    QString diff = firstDifference(shown(), stackedTarget(qRgb(255, 200, 180)));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(shown(), w->engine.colorAdjusted().convertToFormat(QImage::Format_RGB32));
    QCOMPARE(w->scene->sceneRect(), QRectF(QPointF(0, 0), QSizeF(kCanvas)));
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));

    // The accumulator is untouched: back to gain 1 gives the plain stack again.
    w->ui.sbGainR->setValue(1.0);
    diff = firstDifference(shown(), stackedTarget(kTarget));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    // What is saved is what was adjusted last.
    w->ui.sbGainR->setValue(2.0);
    saveName = dir->filePath("adjusted.png");
    w->ui.pbSaveStacked->click();
    diff = firstDifference(QImage(saveName).convertToFormat(QImage::Format_RGB32), stackedTarget(qRgb(255, 200, 180)));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestWindowOutput::offsetsMinusOneGiveBlack()
{
    stacked();
    w->ui.sbOffsetR->setValue(-1.0);
    w->ui.sbOffsetG->setValue(-1.0);
    w->ui.sbOffsetB->setValue(-1.0);
    const QString diff = firstDifference(shown(), fixtures::solid(kCanvas.width(), kCanvas.height(), qRgb(0, 0, 0)));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestWindowOutput::colourControlCopied_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("member");

    QTest::newRow("sbGainR") << "sbGainR" << 1.5 << "gainR";
    QTest::newRow("sbGainG") << "sbGainG" << 0.7 << "gainG";
    QTest::newRow("sbGainB") << "sbGainB" << 2.5 << "gainB";
    QTest::newRow("sbGammaR") << "sbGammaR" << 2.0 << "gammaR";
    QTest::newRow("sbGammaG") << "sbGammaG" << 0.5 << "gammaG";
    QTest::newRow("sbGammaB") << "sbGammaB" << 1.3 << "gammaB";
    QTest::newRow("sbContrastR") << "sbContrastR" << 0.6 << "contrastR";
    QTest::newRow("sbContrastG") << "sbContrastG" << 1.4 << "contrastG";
    QTest::newRow("sbContrastB") << "sbContrastB" << 0.3 << "contrastB";
    QTest::newRow("sbOffsetR") << "sbOffsetR" << -0.2 << "offsetR";
    QTest::newRow("sbOffsetG") << "sbOffsetG" << 0.1 << "offsetG";
    QTest::newRow("sbOffsetB") << "sbOffsetB" << -0.5 << "offsetB";
    QTest::newRow("sblvb") << "sblvb" << 3.0 << "lvbExponent";
    QTest::newRow("sblvbBlend") << "sblvbBlend" << 0.4 << "lvbBlend";
    QTest::newRow("sbDHStrength") << "sbDHStrength" << 4.0 << "downhillStrength";
    QTest::newRow("sbDHGain") << "sbDHGain" << 3.0 << "downhillGain";
}

void TestWindowOutput::colourControlCopied()
{
    QFETCH(QString, control);
    QFETCH(double, value);
    QFETCH(QString, member);

    stacked();
    auto engineValue = [&](const QString& m) -> double {
        const StackEngine& e = w->engine;
        const QHash<QString, double> values = {
            {"gainR", e.gainR}, {"gainG", e.gainG}, {"gainB", e.gainB},
            {"gammaR", e.gammaR}, {"gammaG", e.gammaG}, {"gammaB", e.gammaB},
            {"contrastR", e.contrastR}, {"contrastG", e.contrastG}, {"contrastB", e.contrastB},
            {"offsetR", e.offsetR}, {"offsetG", e.offsetG}, {"offsetB", e.offsetB},
            {"lvbExponent", double(e.lvbExponent)}, {"lvbBlend", e.lvbBlend},
            {"downhillStrength", double(e.downhillStrength)}, {"downhillGain", e.downhillGain},
        };
        return values.value(m, -999.0);
    };
    const QStringList all = {"gainR", "gainG", "gainB", "gammaR", "gammaG", "gammaB", "contrastR", "contrastG",
                             "contrastB", "offsetR", "offsetG", "offsetB", "lvbExponent", "lvbBlend",
                             "downhillStrength", "downhillGain"};
    QHash<QString, double> before;
    for (const QString& m : all)
        before[m] = engineValue(m);

    const QGraphicsPixmapItem* item = w->pixmapItem;
    if (auto* d = w->findChild<QDoubleSpinBox*>(control))
        d->setValue(value);
    else if (auto* i = w->findChild<QSpinBox*>(control))
        i->setValue(int(value));
    else
        QFAIL(qPrintable("no control " + control));

    QCOMPARE(engineValue(member), double(float(value)));
    for (const QString& m : all)
        if (m != member)
            QVERIFY2(engineValue(m) == before[m], qPrintable(m + " changed"));
    QVERIFY(w->pixmapItem != item);
    QCOMPARE(shown(), w->engine.colorAdjusted().convertToFormat(QImage::Format_RGB32));
}

void TestWindowOutput::unconnectedControlsWaitForTheNextChange()
{
    stacked();
    w->ui.tab_6->setEnabled(true); // so that its check boxes can be clicked as a user would
    const QGraphicsPixmapItem* item = w->pixmapItem;
    const QImage plain = shown();
    const int start = log().size();

    w->ui.sbLRed->setValue(0.5);
    w->ui.sbLGreen->setValue(0.25);
    w->ui.sbLBlue->setValue(0.25);
    w->ui.cbLumaOut->click();
    w->ui.cbHillFunc->click();
    w->ui.cbDownHillFunc->click();
    QVERIFY(w->ui.cbLumaOut->isChecked() && w->ui.cbHillFunc->isChecked() && w->ui.cbDownHillFunc->isChecked());

    QCOMPARE(w->pixmapItem, item);
    QCOMPARE(shown(), plain);
    QVERIFY(!w->engine.lumaOut);
    QVERIFY(!w->engine.hillFunc);
    QVERIFY(!w->engine.downhillFunc);
    QCOMPARE(w->engine.lumaWeightR, 0.2126);
    QCOMPARE(logSince(start).size(), 0);

    // The next connected change takes them all.
    w->ui.sbContrastG->setValue(1.1);
    QVERIFY(w->engine.lumaOut);
    QVERIFY(w->engine.hillFunc);
    QVERIFY(w->engine.downhillFunc);
    QCOMPARE(w->engine.lumaWeightR, 0.5);
    QCOMPARE(w->engine.lumaWeightG, 0.25);
    QCOMPARE(w->engine.lumaWeightB, 0.25);
    const QImage grey = shown();
    QCOMPARE(grey, w->engine.colorAdjusted().convertToFormat(QImage::Format_RGB32));
    bool lit = false;
    for (int y = 0; y < grey.height(); ++y)
        for (int x = 0; x < grey.width(); ++x) {
            const QRgb p = grey.pixel(x, y);
            QVERIFY(qRed(p) == qGreen(p) && qGreen(p) == qBlue(p));
            lit = lit || qRed(p) > 0;
        }
    QVERIFY(lit);
}

void TestWindowOutput::colourControlsRunAdjustment_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<bool>("connected");

    for (const char* name : {"sbGainR", "sbGainG", "sbGainB", "sbGammaR", "sbGammaG", "sbGammaB", "sbContrastR",
                             "sbContrastG", "sbContrastB", "sbOffsetR", "sbOffsetG", "sbOffsetB", "sblvb", "sblvbBlend",
                             "sbDHStrength", "sbDHGain", "cblvb"})
        QTest::newRow(name) << name << true;
    for (const char* name : {"sbLRed", "sbLGreen", "sbLBlue", "cbLumaOut", "cbHillFunc", "cbDownHillFunc"})
        QTest::newRow(name) << name << false;
}

void TestWindowOutput::colourControlsRunAdjustment()
{
    QFETCH(QString, control);
    QFETCH(bool, connected);

    // With no sequence open, every run of the colour adjustment writes exactly one line.
    w->ui.tab_6->setEnabled(true);
    if (auto* box = w->findChild<QAbstractSpinBox*>(control)) {
        auto* d = qobject_cast<QDoubleSpinBox*>(box);
        auto* i = qobject_cast<QSpinBox*>(box);
        if (d)
            d->setValue(d->value() + d->singleStep() <= d->maximum() ? d->value() + d->singleStep() : d->minimum());
        else
            i->setValue(i->value() < i->maximum() ? i->value() + 1 : i->minimum());
    } else if (auto* check = w->findChild<QCheckBox*>(control)) {
        check->click();
        QVERIFY(check->isChecked());
    } else {
        QFAIL(qPrintable("no control " + control));
    }
    QCOMPARE(logSince(5).size(), connected ? 1 : 0);
}

void TestWindowOutput::inspectorReportsTheFrameNotTheResult()
{
    stacked();
    w->ui.sbGainR->setValue(2.0);
    w->ui.sbFilter->setValue(0);
    // The display shows the adjusted canvas; the labels sample the frame loaded last (the last
    // stacked frame, whose target sits at (61, 47)).
    hoverScene(QPointF(61, 47));
    QCOMPARE(w->lblRed->text(), QStringLiteral("Red: 220"));
    QCOMPARE(w->lblGreen->text(), QStringLiteral("Green: 200"));
    QCOMPARE(w->lblBlue->text(), QStringLiteral("Blue: 180"));
    hoverScene(QPointF(kLanding));
    QCOMPARE(shown().pixel(kLanding), qRgb(255, 200, 180));
    QCOMPARE(w->lblRed->text(), QStringLiteral("Red: 0"));
    QCOMPARE(w->lblLuma->text(), QStringLiteral("Luma: 0"));
}

// ---- quality ----------------------------------------------------------------------------------

void TestWindowOutput::analysisLogAndSpinBoxes()
{
    const QStringList paths = qualitySequence();
    QVERIFY(!w->ui.sbQPerc->isEnabled());
    QVERIFY(!w->ui.sbQFrames->isEnabled());
    QCOMPARE(w->ui.sbQFrames->value(), 20);

    const int start = log().size();
    w->ui.pbQSelect->click();

    // One analysis: lowering sbQFrames' maximum to the 12 frames must not start another.
    QStringList expected = {"analyzing gradient quality..."};
    for (int i = 0; i < paths.size(); ++i)
        expected << QStringLiteral("raw quality of %1: %2.000000").arg(paths.at(i)).arg(2 * kSteps.at(i));
    expected << "min quality: 20.000000" << "max quality: 120.000000" << "avg quality: 79.000000"
             << "8 frames active";
    QCOMPARE(logSince(start), expected);

    QVERIFY(w->ui.sbQPerc->isEnabled());
    QVERIFY(w->ui.sbQFrames->isEnabled());
    QCOMPARE(w->ui.sbQFrames->maximum(), 12);
    QCOMPARE(w->ui.sbQFrames->value(), 12);
    QVERIFY(w->engine.qualityAnalysed);
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));

    // The info pane shows the percentages.
    w->ui.lwFrames->setCurrentRow(2);
    QCOMPARE(frameInfo().at(6), QStringLiteral("Quality: 50%"));
    w->ui.lwFrames->setCurrentRow(9);
    QCOMPARE(frameInfo().at(6), QStringLiteral("Quality: 48%"));
    w->ui.lwFrames->setCurrentRow(5);
    QCOMPARE(frameInfo().at(6), QStringLiteral("Quality: 100%"));
}

void TestWindowOutput::minimumQuality_data()
{
    QTest::addColumn<double>("percent");
    QTest::newRow("50 (the midpoint)") << 50.0;
    QTest::newRow("0") << 0.0;
    QTest::newRow("100") << 100.0;
    QTest::newRow("50.1") << 50.1;
    QTest::newRow("49.9") << 49.9;
    QTest::newRow("48") << 48.0;
    QTest::newRow("80") << 80.0;
}

void TestWindowOutput::minimumQuality()
{
    QFETCH(double, percent);

    qualitySequence();
    w->ui.pbQSelect->click();
    if (percent != 50.0)
        w->ui.sbQPerc->setValue(percent);

    QList<int> expected;
    for (int i = 0; i < kSteps.size(); ++i)
        if (percentOf(kSteps.at(i)) >= percent)
            expected << i;
    QCOMPARE(checkedRows(), expected);
    QCOMPARE(log().last(), QStringLiteral("%1 frames active").arg(expected.size()));
    // The worst and the best fall on either side of any value strictly between.
    if (percent > 0 && percent < 100) {
        QVERIFY(expected.contains(5));
        QVERIFY(!expected.contains(4));
    }
}

void TestWindowOutput::zeroPercentKeepsUnanalysedUnchecked()
{
    const QStringList paths = qualitySequence();
    w->ui.lwFrames->item(7)->setCheckState(Qt::Unchecked);
    w->ui.lwFrames->item(9)->setCheckState(Qt::Unchecked);
    const int start = log().size();
    w->ui.pbQSelect->click();
    QCOMPARE(logSince(start).filter(QStringLiteral("raw quality of ")).size(), 10);
    QVERIFY(logSince(start).filter(paths.at(7)).isEmpty());
    QCOMPARE(checkedRows(), QList<int>({1, 2, 3, 5, 6, 8, 10, 11}));

    w->ui.sbQPerc->setValue(0.0);
    QCOMPARE(checkedRows(), QList<int>({0, 1, 2, 3, 4, 5, 6, 8, 10, 11}));
    QCOMPARE(log().last(), QStringLiteral("10 frames active"));
    QVERIFY(w->engine.frames->record(7).quality < 0.0f);
    QVERIFY(w->engine.frames->record(9).quality < 0.0f);
    // No new analysis for the frames that were left out.
    QCOMPARE(log().filter(QStringLiteral("analyzing gradient quality...")).size(), 1);
}

void TestWindowOutput::frameCount_data()
{
    QTest::addColumn<int>("frames");
    QTest::newRow("5 of 12") << 5;
    QTest::newRow("1") << 1;
    QTest::newRow("6") << 6;
    QTest::newRow("7") << 7;
    QTest::newRow("12") << 12;
    QTest::newRow("more than the sequence") << 20;
}

void TestWindowOutput::frameCount()
{
    QFETCH(int, frames);

    qualitySequence();
    w->ui.cbMinQuality->setChecked(false);
    w->ui.pbQSelect->click();
    const int start = log().size();
    w->ui.sbQFrames->setValue(frames);
    w->ui.pbQSelect->click();

    // The best first; among equal ratings the earlier frame.
    QList<int> order(kSteps.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [](int a, int b) { return kSteps.at(a) > kSteps.at(b); });
    QList<int> expected = order.mid(0, std::min<int>(frames, kSteps.size()));
    std::sort(expected.begin(), expected.end());
    if (frames == 5)
        QCOMPARE(expected, QList<int>({1, 3, 5, 6, 10}));
    QCOMPARE(checkedRows(), expected);
    // This mode writes no line.
    QCOMPARE(logSince(start), QStringList());
}

void TestWindowOutput::reselectionDoesNotReload()
{
    const QStringList paths = qualitySequence();
    w->ui.pbQSelect->click();
    const qint64 frame = w->engine.frameImage.cacheKey();
    for (const QString& p : paths)
        QVERIFY(QFile::remove(p));

    const int start = log().size();
    w->ui.cbMinQuality->setChecked(false);
    w->ui.sbQFrames->setValue(5);
    QCOMPARE(checkedRows(), QList<int>({1, 3, 5, 6, 10}));
    w->ui.pbQSelect->click();
    QCOMPARE(checkedRows(), QList<int>({1, 3, 5, 6, 10}));
    w->ui.cbMinQuality->setChecked(true);
    w->ui.pbQSelect->click();
    QCOMPARE(checkedRows(), QList<int>({1, 2, 3, 5, 6, 8, 10, 11}));
    QCOMPARE(logSince(start), QStringList("8 frames active"));
    QCOMPARE(w->engine.frameImage.cacheKey(), frame);
}

void TestWindowOutput::qualityWithoutSequence()
{
    w->ui.pbQSelect->click();
    QCOMPARE(logSince(5).size(), 1);
    QVERIFY(!w->engine.qualityAnalysed);
    QVERIFY(w->scene->items().isEmpty());
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
}

void TestWindowOutput::qualityWithNoCheckedFrame()
{
    qualitySequence();
    for (int i = 0; i < w->ui.lwFrames->count(); ++i)
        w->ui.lwFrames->item(i)->setCheckState(Qt::Unchecked);
    int start = log().size();
    w->ui.pbQSelect->click();
    QStringList lines = logSince(start);
    QVERIFY(!lines.isEmpty());
    QVERIFY(lines.filter(QStringLiteral("raw quality of ")).isEmpty());
    QVERIFY(lines.filter(QStringLiteral(" quality: ")).isEmpty());
    QVERIFY(!w->engine.qualityAnalysed);
    QVERIFY(checkedRows().isEmpty());

    // Once frames are checked, the analysis runs.
    for (int i = 0; i < w->ui.lwFrames->count(); ++i)
        w->ui.lwFrames->item(i)->setCheckState(Qt::Checked);
    start = log().size();
    w->ui.pbQSelect->click();
    lines = logSince(start);
    QCOMPARE(lines.filter(QStringLiteral("raw quality of ")).size(), 12);
    QCOMPARE(lines.last(), QStringLiteral("8 frames active"));
}

void TestWindowOutput::unreadableFrameInAnalysis()
{
    const QVector<QImage> frames = {checkerboard(10), checkerboard(30), checkerboard(40), checkerboard(60)};
    QStringList paths = fixtures::writeSequence(*dir, QStringLiteral("u"), frames);
    QVERIFY(QFile::remove(paths.at(2)));
    QCOMPARE(fixtures::writeCorrupt(*dir, QFileInfo(paths.at(2)).fileName()), paths.at(2));
    w->openFiles(paths);

    const int start = log().size();
    w->ui.pbQSelect->click();
    QCOMPARE(logSince(start), QStringList({"analyzing gradient quality...", "raw quality of " + paths.at(0) + ": 20.000000",
                                           "raw quality of " + paths.at(1) + ": 60.000000",
                                           "Could not read image file: " + paths.at(2),
                                           "raw quality of " + paths.at(3) + ": 120.000000", "min quality: 20.000000",
                                           "max quality: 120.000000",
                                           "avg quality: " + QString::number(200.0f / 3.0f, 'f', 6),
                                           "1 frames active"}));
    QCOMPARE(checkedRows(), QList<int>({3}));
    w->ui.sbQPerc->setValue(0.0);
    QCOMPARE(checkedRows(), QList<int>({0, 1, 3}));
}

QTEST_MAIN(TestWindowOutput)
#include "tst_window_output.moc"
