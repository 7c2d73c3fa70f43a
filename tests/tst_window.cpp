// The main window driven as a user drives it: start-up state, the opening of sequences through the
// same path as the dialog, the frame list and its info pane, the pixel inspector under the mouse,
// the reference pick, alignment and refinement runs, and the guard that keeps long runs apart.
#include "fixtures.h"
#include "nebulo.h"
#include "windowfixture.h"

#include <QAction>
#include <QDir>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QLabel>
#include <QListWidget>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QtTest/QtTest>

#include <functional>
#include <memory>
#include <set>
#include <utility>

namespace {

using windowfixture::firstDifference;
using windowfixture::maskTime;

const char kSequenceFilter[] =
    "SER video (*.ser);;Portable Network Graphics (*.png);;Windows Bitmap (*.bmp);;JPG (*.jpg);;JPEG (*.jpeg);;"
    "Multiple-Image Network Graphics (*.mng);;Portable Bitmap (*.pbm);;Portable Graymap (*.pgm);;"
    "Portable Pixmap (*.ppm);;Tagged Image File Format (*.tif);;X11 Bitmap (*.xbm);;X11 Pixmap (*.xpm);;"
    "Flexible Image Transport System (*.fit *.fits *.fts);;All files (*.*)";

const QRgb kTarget = qRgb(220, 200, 180);
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kRed = qRgb(255, 0, 0);

struct DialogCall {
    QString kind; // "files", "file" or "save"
    QString caption;
    QString dir;
    QString filter;
};

// The luminance the inspector shows for an 8-bit colour, from the channel fractions.
int lumaShown(int r, int g, int b)
{
    double t = r / 255.0 * 0.2126;
    t = t + g / 255.0 * 0.7152;
    t = t + b / 255.0 * 0.0722;
    return int(float(t) * 255.0);
}

// The outline a marker of half side R around (cx, cy) covers, clipped to the image.
std::set<std::pair<int, int>> outline(int cx, int cy, int r, int width, int height)
{
    std::set<std::pair<int, int>> points;
    auto add = [&](int x, int y) {
        if (x >= 0 && y >= 0 && x < width && y < height)
            points.insert({x, y});
    };
    for (int k = -r; k < r; ++k) {
        add(cx + k, cy - r);
        add(cx + k, cy + r);
        add(cx + r, cy + k);
        add(cx - r, cy + k);
    }
    return points;
}

// Frame with a different value at almost every pixel, so a wrong box shows up in the average.
QImage textured(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 37 + y * 11) % 256, (x * 5 + y * 53) % 256, (x * 71 + y * 29 + 13) % 256));
    return image;
}

} // namespace

class TestWindow : public windowfixture::WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // start-up
    void startupLog();
    void statusBarLabels();
    void windowIdentityAndHiddenBars();
    void addedFileActions();
    void openDialogs_data();
    void openDialogs();
    void imageViewInstalled();
    void controlsOnTheWindow_data();
    void controlsOnTheWindow();
    void controlLimits_data();
    void controlLimits();
    void thresholdChangesRunPick_data();
    void thresholdChangesRunPick();
    void pickWithoutSequence();
    void pickWithoutCurrentRow();
    void emptySlotsDoNothing();

    // opening and the frame list
    void openThreeFiles_data();
    void openThreeFiles();
    void selectingARowShowsItsFrame();
    void qualityLine_data();
    void qualityLine();
    void frameMarker_data();
    void frameMarker();
    void cancelledOpenChangesNothing_data();
    void cancelledOpenChangesNothing();
    void secondOpeningReplacesFirst();
    void unreadableFirstFile_data();
    void unreadableFirstFile();
    void unreadableFrameLoggedWhenSelected();

    // inspector
    void inspectorWithoutSequence();
    void inspectorValues_data();
    void inspectorValues();
    void inspectorLuma_data();
    void inspectorLuma();
    void inspectorOutsideTheScene();
    void positionsBeyondViewWidthReported();
    void rightOfSmallImageReportsNothing();
    void dragOnlyUpdatesInspector();
    void clickPicksThreshold();
    void clickRunsPickOncePerChangeAndOnceMore();
    void clickNearBorderSetsMaximum_data();
    void clickNearBorderSetsMaximum();

    // reference, alignment, refinement
    void referencePick();
    void pickWithoutFeatureKeepsReference();
    void alignBeforePick();
    void alignLogsEveryCheckedFrame();
    void refineBeforePick();
    void refineChecksAlignment();
    void busyGuard_data();
    void busyGuard();

private:
    QString writeImage(const QString& name, const QImage& image);
    QStringList writeFrames(const QString& prefix, const QVector<QImage>& frames);
    void clickScene(const QPointF& scenePoint);
    QStringList labels() const;
    QStringList rowTexts() const;
    QList<Qt::CheckState> checkStates() const;
    // Opens the frames and makes the first one the reference with the window's current settings.
    void openAndPick(const QStringList& paths);
    // A sequence of a bright square moved by known shifts, reference first.
    QStringList squareSequence(const QVector<QPoint>& centres, int width = 160, int height = 120);

    QList<DialogCall> dialogs;
    QStringList nextFiles;
    QString nextFile;
};

void TestWindow::initTestCase()
{
    // The spin boxes format their numbers in the widget's locale.
    QLocale::setDefault(QLocale::c());
}

void TestWindow::init()
{
    dialogs.clear();
    nextFiles.clear();
    nextFile.clear();
    if (!createWindow())
        return;
    w->prompts.openFileNames = [this](QWidget*, const QString& caption, const QString& d, const QString& filter) {
        dialogs.append({QStringLiteral("files"), caption, d, filter});
        return nextFiles;
    };
    w->prompts.openFileName = [this](QWidget*, const QString& caption, const QString& d, const QString& filter) {
        dialogs.append({QStringLiteral("file"), caption, d, filter});
        return nextFile;
    };
    w->prompts.saveFileName = [this](QWidget*, const QString& caption, const QString& d, const QString& filter) {
        dialogs.append({QStringLiteral("save"), caption, d, filter});
        return QString();
    };
    showWindow();
}

void TestWindow::cleanup()
{
    destroyWindow();
}

// ---- helpers ----------------------------------------------------------------------------------

QString TestWindow::writeImage(const QString& name, const QImage& image)
{
    const QString path = fixtures::write(*dir, name, image);
    if (path.isEmpty())
        qFatal("cannot write fixture %s", qPrintable(name));
    return path;
}

QStringList TestWindow::writeFrames(const QString& prefix, const QVector<QImage>& frames)
{
    const QStringList paths = fixtures::writeSequence(*dir, prefix, frames);
    if (paths.size() != frames.size())
        qFatal("cannot write fixture sequence %s", qPrintable(prefix));
    return paths;
}

void TestWindow::clickScene(const QPointF& scenePoint)
{
    const QPoint pos = viewportPoint(scenePoint);
    QCOMPARE(w->view->mapToScene(pos), scenePoint);
    mouse(QEvent::MouseButtonPress, pos, Qt::LeftButton, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, pos, Qt::LeftButton, Qt::NoButton);
}

QStringList TestWindow::labels() const
{
    return {w->lblX->text(), w->lblY->text(), w->lblRed->text(), w->lblGreen->text(), w->lblBlue->text(),
            w->lblLuma->text()};
}

QStringList TestWindow::rowTexts() const
{
    QStringList texts;
    for (int i = 0; i < w->ui.lwFrames->count(); ++i)
        texts << w->ui.lwFrames->item(i)->text();
    return texts;
}

QList<Qt::CheckState> TestWindow::checkStates() const
{
    QList<Qt::CheckState> states;
    for (int i = 0; i < w->ui.lwFrames->count(); ++i)
        states << w->ui.lwFrames->item(i)->checkState();
    return states;
}

void TestWindow::openAndPick(const QStringList& paths)
{
    w->openFiles(paths);
    QCOMPARE(w->fileNames, paths);
    w->ui.lwFrames->setCurrentRow(0);
    w->ui.pbWeight->click();
    QVERIFY(w->engine.referenceReady);
}

QStringList TestWindow::squareSequence(const QVector<QPoint>& centres, int width, int height)
{
    QVector<QImage> frames;
    for (const QPoint& c : centres)
        frames << fixtures::brightSquare(width, height, c.x(), c.y(), 9, kTarget);
    return writeFrames(QStringLiteral("sq"), frames);
}

// ---- start-up ---------------------------------------------------------------------------------

void TestWindow::startupLog()
{
    const QStringList lines = log();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0), QStringLiteral("Nebulo v0.1.2"));
    QVERIFY2(!lines.at(1).trimmed().isEmpty(), "first attribution line is empty");
    QVERIFY2(!lines.at(2).trimmed().isEmpty(), "second attribution line is empty");
    QCOMPARE(lines.at(3), QString());
    QCOMPARE(lines.at(4), QStringLiteral("Ready."));
    QCOMPARE(w->ui.teDebug->document()->blockCount(), 5);
}

void TestWindow::statusBarLabels()
{
    const QList<QLabel*> order = {w->lblStatus, w->lblX, w->lblY, w->lblRed, w->lblGreen, w->lblBlue, w->lblLuma};
    const QStringList texts = {"Ready.", "X: ", "Y: ", "Red: ", "Green: ", "Blue: ", "Luma: "};
    int previousRight = -1;
    for (int i = 0; i < order.size(); ++i) {
        QLabel* label = order.at(i);
        QVERIFY(label);
        QCOMPARE(label->text(), texts.at(i));
        QVERIFY2(w->ui.statusBar->isAncestorOf(label), qPrintable(texts.at(i)));
        QVERIFY2(label->isVisible(), qPrintable(texts.at(i)));
        // Left to right in the order given, side by side.
        const int left = label->mapTo(w->ui.statusBar, QPoint(0, 0)).x();
        QVERIFY2(left > previousRight, qPrintable(texts.at(i)));
        previousRight = left + label->width() - 1;
    }
    QCOMPARE(w->statusBar(), w->ui.statusBar);
    QVERIFY(w->ui.statusBar->isVisible());
}

void TestWindow::windowIdentityAndHiddenBars()
{
    QCOMPARE(w->windowTitle(), QStringLiteral("Nebulo"));
    QCOMPARE(w->objectName(), QStringLiteral("NebuloClass"));
    QVERIFY(!w->ui.menuBar->isVisible());
    QVERIFY(!w->ui.menuBar->isVisibleTo(w.get()));
    QVERIFY(!w->ui.mainToolBar->isVisible());
    QVERIFY(!w->ui.mainToolBar->isVisibleTo(w.get()));
    QCOMPARE(w->ui.tabWidget->currentIndex(), 0);
    QCOMPARE(w->ui.tabWidget->currentWidget(), w->ui.tab);
    QCOMPARE(w->ui.tabWidget->tabPosition(), QTabWidget::West);
}

void TestWindow::addedFileActions()
{
    const QList<QAction*> actions = w->ui.menu_File->actions();
    QCOMPARE(actions.size(), 5);
    QCOMPARE(actions.at(0), w->ui.actionSave_Result);
    QCOMPARE(actions.at(1), w->actionOpenSequence);
    QVERIFY(actions.at(2)->isSeparator());
    QCOMPARE(actions.at(3), w->actionOpenDark);
    QCOMPARE(actions.at(4), w->actionOpenDarkSequence);
    QCOMPARE(w->actionOpenSequence->text(), QStringLiteral("Open Image Sequence..."));
    QCOMPARE(w->actionOpenDark->text(), QStringLiteral("Open Darkframe..."));
    QCOMPARE(w->actionOpenDarkSequence->text(), QStringLiteral("Open Darkframe Sequence..."));
    for (QAction* a : {w->actionOpenSequence, w->actionOpenDark, w->actionOpenDarkSequence})
        QCOMPARE(a->parent(), w.get());
}

void TestWindow::openDialogs_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("startsInSamples");
    QTest::addColumn<QString>("filter");

    const QString sequence = QString::fromLatin1(kSequenceFilter);
    QTest::newRow("pbImages") << "pbImages" << "files" << "Open Image Sequence..." << true << sequence;
    QTest::newRow("actionOpenSequence") << "actionOpenSequence" << "files" << "Open Image Sequence..." << true << sequence;
    QTest::newRow("pbDarks") << "pbDarks" << "files" << "Open Darkframe Sequence" << true << sequence;
    QTest::newRow("actionOpenDarkSequence") << "actionOpenDarkSequence" << "files" << "Open Darkframe Sequence" << true
                                            << sequence;
    QTest::newRow("actionOpenDark") << "actionOpenDark" << "file" << "Open Darkframe" << false
                                    << "Portable Network Graphics (*.png);;All files (*.*)";
}

void TestWindow::openDialogs()
{
    QFETCH(QString, trigger);
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(bool, startsInSamples);
    QFETCH(QString, filter);

    if (trigger == "pbImages")
        w->ui.pbImages->click();
    else if (trigger == "pbDarks")
        w->ui.pbDarks->click();
    else if (trigger == "actionOpenSequence")
        w->actionOpenSequence->trigger();
    else if (trigger == "actionOpenDarkSequence")
        w->actionOpenDarkSequence->trigger();
    else
        w->actionOpenDark->trigger();

    QCOMPARE(dialogs.size(), 1);
    QCOMPARE(dialogs.first().kind, kind);
    QCOMPARE(dialogs.first().caption, caption);
    QCOMPARE(dialogs.first().filter, filter);
    if (startsInSamples) {
        QVERIFY(QDir(QStringLiteral(NEBULO_SAMPLES_PATH)).exists());
        QCOMPARE(QDir(dialogs.first().dir).canonicalPath(), QDir(QStringLiteral(NEBULO_SAMPLES_PATH)).canonicalPath());
    } else {
        QCOMPARE(dialogs.first().dir, QString());
    }
    // Cancelled: nothing opened, nothing asked, nothing logged.
    QVERIFY(w->fileNames.isEmpty());
    QCOMPARE(w->ui.lwFrames->count(), 0);
    QVERIFY(questions.isEmpty());
    QVERIFY(warnings.isEmpty());
    QCOMPARE(log().size(), 5);
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
}

void TestWindow::imageViewInstalled()
{
    QVERIFY(w->view);
    QCOMPARE(w->ui.verticalLayout->indexOf(w->view), 0);
    QCOMPARE(w->ui.verticalLayout->indexOf(w->ui.gvMain), 1);
    QCOMPARE(w->ui.verticalLayout->indexOf(w->ui.teDebug), 2);
    QVERIFY(w->view->isVisible());
    QVERIFY(!w->ui.gvMain->isVisible());
    QCOMPARE(w->view->scene(), w->scene);
    QCOMPARE(w->ui.gvMain->scene(), w->scene);
    QVERIFY(w->view->hasMouseTracking());
    QCOMPARE(w->view->cursor().shape(), Qt::CrossCursor);
    QVERIFY(w->scene->items().isEmpty());
    QVERIFY(!w->pixmapItem);
    // The view sits above the log pane.
    QVERIFY(w->view->geometry().bottom() < w->ui.teDebug->geometry().top());
}

void TestWindow::controlsOnTheWindow_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<int>("decimals"); // -1: integer spin box
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("sbWeight") << "sbWeight" << 0.0 << 255.0 << -1 << 75.0 << "75" << true;
    QTest::newRow("sbFilter") << "sbFilter" << 0.0 << 10.0 << -1 << 2.0 << "2" << true;
    QTest::newRow("sbSearchRadius") << "sbSearchRadius" << 1.0 << 100.0 << -1 << 20.0 << "20" << true;
    QTest::newRow("sbQPerc") << "sbQPerc" << 0.0 << 100.0 << 1 << 50.0 << "50.0" << false;
    QTest::newRow("sbQFrames") << "sbQFrames" << 1.0 << 1000.0 << -1 << 20.0 << "20" << false;
    QTest::newRow("sbScale") << "sbScale" << 1.0 << 8.0 << -1 << 1.0 << "1" << false;
    QTest::newRow("sblvb") << "sblvb" << 1.0 << 10.0 << -1 << 1.0 << "1" << true;
    QTest::newRow("sblvbBlend") << "sblvbBlend" << 0.01 << 1.0 << 2 << 1.0 << "1.00" << true;
    QTest::newRow("sbDHStrength") << "sbDHStrength" << 1.0 << 99.0 << -1 << 2.0 << "2" << false;
    QTest::newRow("sbDHGain") << "sbDHGain" << 0.0 << 99.99 << 2 << 1.0 << "1.00" << false;
    QTest::newRow("sbOffsetR") << "sbOffsetR" << -1.0 << 1.0 << 2 << 0.0 << "0.00" << true;
    QTest::newRow("sbOffsetG") << "sbOffsetG" << -1.0 << 1.0 << 2 << 0.0 << "0.00" << true;
    QTest::newRow("sbOffsetB") << "sbOffsetB" << -1.0 << 1.0 << 2 << 0.0 << "0.00" << true;
    QTest::newRow("sbGainR") << "sbGainR" << 0.0 << 1000.0 << 2 << 1.0 << "1.00" << true;
    QTest::newRow("sbLRed") << "sbLRed" << 0.0 << 1.0 << 4 << 0.2126 << "0.2126" << true;
    QTest::newRow("sbLGreen") << "sbLGreen" << 0.0 << 1.0 << 4 << 0.7152 << "0.7152" << true;
    QTest::newRow("sbLBlue") << "sbLBlue" << 0.0 << 1.0 << 4 << 0.0722 << "0.0722" << true;
    QTest::newRow("sbPreviewGain") << "sbPreviewGain" << 0.0 << 100.0 << 1 << 1.0 << "1.0" << true;
    QTest::newRow("sbDFGain") << "sbDFGain" << 0.0 << 99.99 << 2 << 1.0 << "1.00" << true;
    QTest::newRow("sbStackFilter") << "sbStackFilter" << 0.0 << 99.0 << -1 << 0.0 << "0" << true;
}

void TestWindow::controlsOnTheWindow()
{
    QFETCH(QString, name);
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(int, decimals);
    QFETCH(double, value);
    QFETCH(QString, text);
    QFETCH(bool, enabled);

    auto* box = w->findChild<QAbstractSpinBox*>(name);
    QVERIFY2(box, qPrintable(name));
    // A spin box shows its text once its page has been on screen.
    for (int i = 0; i < w->ui.tabWidget->count(); ++i)
        if (w->ui.tabWidget->widget(i)->isAncestorOf(box))
            w->ui.tabWidget->setCurrentIndex(i);
    QVERIFY(box->isVisible());
    if (decimals < 0) {
        auto* spin = qobject_cast<QSpinBox*>(box);
        QVERIFY(spin);
        QCOMPARE(spin->minimum(), int(minimum));
        QCOMPARE(spin->maximum(), int(maximum));
        QCOMPARE(spin->value(), int(value));
    } else {
        auto* spin = qobject_cast<QDoubleSpinBox*>(box);
        QVERIFY(spin);
        QCOMPARE(spin->decimals(), decimals);
        QCOMPARE(spin->minimum(), minimum);
        QCOMPARE(spin->maximum(), maximum);
        QCOMPARE(spin->value(), value);
    }
    QCOMPARE(box->text(), text);
    QCOMPARE(box->isEnabled(), enabled);
}

void TestWindow::controlLimits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("typed");
    QTest::addColumn<double>("kept");

    QTest::newRow("offset R -1") << "sbOffsetR" << -1.0 << -1.0;
    QTest::newRow("offset G below -1") << "sbOffsetG" << -1.5 << -1.0;
    QTest::newRow("offset B 1") << "sbOffsetB" << 1.0 << 1.0;
    QTest::newRow("offset R above 1") << "sbOffsetR" << 1.01 << 1.0;
    QTest::newRow("gain R 1000") << "sbGainR" << 1000.0 << 1000.0;
    QTest::newRow("gain R above 1000") << "sbGainR" << 1000.5 << 1000.0;
    QTest::newRow("quality 100") << "sbQPerc" << 100.0 << 100.0;
}

void TestWindow::controlLimits()
{
    QFETCH(QString, name);
    QFETCH(double, typed);
    QFETCH(double, kept);

    auto* box = w->findChild<QDoubleSpinBox*>(name);
    QVERIFY2(box, qPrintable(name));
    box->setValue(typed);
    QCOMPARE(box->value(), kept);
}

void TestWindow::thresholdChangesRunPick_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("runs");
    QTest::addColumn<int>("finalValue");

    QTest::newRow("set to a new value") << "set 80" << 1 << 80;
    QTest::newRow("set to the same value") << "set 75" << 0 << 75;
    QTest::newRow("step up") << "stepUp" << 1 << 76;
    QTest::newRow("arrow key") << "key up" << 1 << 76;
    QTest::newRow("typing two digits") << "type 90" << 2 << 90;
    QTest::newRow("Update with unchanged value") << "pbWeight" << 1 << 75;
    QTest::newRow("Update twice") << "pbWeight twice" << 2 << 75;
}

void TestWindow::thresholdChangesRunPick()
{
    QFETCH(QString, action);
    QFETCH(int, runs);
    QFETCH(int, finalValue);

    // With no sequence open every run of the pick writes exactly one line, so the lines count the runs.
    QSpinBox* sb = w->ui.sbWeight;
    const int start = log().size();
    if (action == "set 80")
        sb->setValue(80);
    else if (action == "set 75")
        sb->setValue(75);
    else if (action == "stepUp")
        sb->stepUp();
    else if (action == "key up")
        QTest::keyClick(sb, Qt::Key_Up);
    else if (action == "type 90") {
        sb->selectAll();
        QTest::keyClicks(sb, QStringLiteral("90"));
    } else if (action == "pbWeight")
        w->ui.pbWeight->click();
    else {
        w->ui.pbWeight->click();
        w->ui.pbWeight->click();
    }
    QCOMPARE(sb->value(), finalValue);
    const QStringList lines = logSince(start);
    QCOMPARE(lines.size(), runs);
    for (const QString& line : lines) {
        QVERIFY(!line.trimmed().isEmpty());
        QCOMPARE(line, lines.first());
    }
    QVERIFY(w->scene->items().isEmpty());
    QVERIFY(!w->engine.referenceReady);
}

void TestWindow::pickWithoutSequence()
{
    const QStringList before = labels();
    w->findBright();
    const QStringList lines = logSince(5);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QStringLiteral("sequence"), Qt::CaseInsensitive), qPrintable(lines.first()));
    QVERIFY(w->scene->items().isEmpty());
    QVERIFY(!w->pixmapItem);
    QCOMPARE(labels(), before);
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
    QVERIFY(w->ui.lblRefSource->pixmap().isNull());
    QVERIFY(!w->engine.referenceReady);
    QVERIFY(warnings.isEmpty());
    QVERIFY(dialogs.isEmpty());
}

void TestWindow::pickWithoutCurrentRow()
{
    const QStringList paths = squareSequence({{80, 60}, {82, 61}});
    w->openFiles(paths);
    w->ui.lwFrames->setCurrentRow(-1);
    const QGraphicsPixmapItem* item = w->pixmapItem;
    w->ui.pbWeight->click();
    QCOMPARE(logSince(5).size(), 1);
    QVERIFY(!w->engine.referenceReady);
    QVERIFY(!w->engine.frames->record(0).isReference);
    QVERIFY(!w->engine.frames->record(0).aligned);
    QCOMPARE(w->pixmapItem, item);
    QVERIFY(w->ui.lblRefSource->pixmap().isNull());
}

void TestWindow::emptySlotsDoNothing()
{
    const QStringList paths = squareSequence({{80, 60}, {82, 61}});
    w->openFiles(paths);
    const QStringList before = log();
    const QGraphicsPixmapItem* item = w->pixmapItem;
    QVERIFY(QMetaObject::invokeMethod(w.get(), "setleWeight", Q_ARG(int, 200)));
    QVERIFY(QMetaObject::invokeMethod(w.get(), "setgain"));
    QCOMPARE(log(), before);
    QCOMPARE(w->ui.sbWeight->value(), 75);
    QCOMPARE(w->pixmapItem, item);
    QCOMPARE(w->engine.gainR, 1.0f);
    QCOMPARE(w->engine.gainG, 1.0f);
    QCOMPARE(w->engine.gainB, 1.0f);
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
}

// ---- opening and the frame list ---------------------------------------------------------------

void TestWindow::openThreeFiles_data()
{
    QTest::addColumn<QString>("route");
    QTest::newRow("seam") << "seam";
    QTest::newRow("Open Image Sequence button") << "pbImages";
    QTest::newRow("Open Image Sequence action") << "action";
}

void TestWindow::openThreeFiles()
{
    QFETCH(QString, route);

    const QImage a = textured(120, 100);
    const QImage b = fixtures::solid(120, 100, qRgb(10, 20, 30));
    const QImage c = fixtures::brightSquare(120, 100, 60, 50, 9, kTarget);
    const QStringList paths = {writeImage("a.png", a), writeImage("b.png", b), writeImage("c.png", c)};

    if (route == "seam") {
        w->openFiles(paths);
    } else {
        nextFiles = paths;
        if (route == "pbImages")
            w->ui.pbImages->click();
        else
            w->actionOpenSequence->trigger();
        QCOMPARE(dialogs.size(), 1);
    }

    QCOMPARE(w->fileNames, paths);
    QCOMPARE(rowTexts(), QStringList({"a.png", "b.png", "c.png"}));
    QCOMPARE(checkStates(), QList<Qt::CheckState>({Qt::Checked, Qt::Checked, Qt::Checked}));
    for (int i = 0; i < 3; ++i)
        QVERIFY(w->ui.lwFrames->item(i)->flags() & Qt::ItemIsUserCheckable);
    QCOMPARE(w->ui.lwFrames->currentRow(), 0);

    QCOMPARE(w->engine.frames->count(), 3);
    for (int i = 0; i < 3; ++i) {
        const FrameRecord r = w->engine.frames->record(i);
        QCOMPARE(w->engine.frames->path(i), paths.at(i));
        QVERIFY(r.valid);
        QVERIFY(!r.isReference && !r.aligned && !r.stacked && !r.refined && !r.refineOk);
        QCOMPARE(r.x, 0);
        QCOMPARE(r.y, 0);
        QCOMPARE(r.quality, 0.0f);
    }

    // Frame a on display: one item, scene rectangle of its size.
    QCOMPARE(w->scene->items().size(), 1);
    QCOMPARE(w->scene->sceneRect(), QRectF(0, 0, 120, 100));
    const QString diff = firstDifference(shown(), a);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(w->engine.frameImage.convertToFormat(QImage::Format_RGB32), a);
    QVERIFY(w->engine.accumulator);
    QCOMPARE(w->engine.accumulator->width, 120);
    QCOMPARE(w->engine.accumulator->height, 100);

    QCOMPARE(frameInfo(), QStringList({"X: 0", "Y: 0", "Valid: yes", "Aligned: no", "Stacked: no", "Refined: no",
                                       "Quality: 0%"}));
    QCOMPARE(w->ui.teFrameInfo->document()->blockCount(), 7);
    // Opening writes nothing to the log and asks nothing.
    QCOMPARE(log().size(), 5);
    QVERIFY(warnings.isEmpty());
    QVERIFY(questions.isEmpty());
}

void TestWindow::selectingARowShowsItsFrame()
{
    const QImage a = textured(120, 100);
    const QImage c = fixtures::brightSquare(120, 100, 60, 50, 9, kTarget);
    const QStringList paths = {writeImage("a.png", a), writeImage("b.png", fixtures::solid(120, 100, qRgb(1, 2, 3))),
                               writeImage("c.png", c)};
    w->openFiles(paths);
    const QGraphicsPixmapItem* before = w->pixmapItem;

    w->ui.lwFrames->setCurrentRow(2);
    QCOMPARE(w->scene->items().size(), 1);
    QVERIFY(w->pixmapItem != before);
    QString diff = firstDifference(shown(), c);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(w->engine.frameImage.convertToFormat(QImage::Format_RGB32), c);
    QCOMPARE(frameInfo().size(), 7);

    w->ui.lwFrames->setCurrentRow(0);
    diff = firstDifference(shown(), a);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(log().size(), 5);
}

void TestWindow::qualityLine_data()
{
    QTest::addColumn<float>("quality");
    QTest::addColumn<QString>("line");

    QTest::newRow("zero") << 0.0f << "Quality: 0%";
    QTest::newRow("87.5") << 87.5f << "Quality: 87.5%";
    QTest::newRow("one third of 100") << float(100.0 / 3.0) << "Quality: 33.3333%";
    QTest::newRow("100") << 100.0f << "Quality: 100%";
    QTest::newRow("not analysed (negative)") << -12.5f << "Quality: -12.5%";
}

void TestWindow::qualityLine()
{
    QFETCH(float, quality);
    QFETCH(QString, line);

    const QStringList paths = squareSequence({{60, 50}, {61, 50}}, 120, 100);
    w->openFiles(paths);
    w->engine.frames->update(1, [&](FrameRecord& r) {
        r.quality = quality;
        r.aligned = true;
        r.valid = false;
        r.stacked = true;
        r.refined = true;
        r.x = 61;
        r.y = 50;
    });
    w->ui.lwFrames->setCurrentRow(1);
    QCOMPARE(frameInfo(), QStringList({"X: 61", "Y: 50", "Valid: no", "Aligned: yes", "Stacked: yes", "Refined: yes", line}));
}

void TestWindow::frameMarker_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("radius");
    QTest::addColumn<bool>("aligned");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("markedPixels");

    // Interior: 4 x 20 points, the top-left corner drawn twice, the bottom-right corner never.
    QTest::newRow("aligned, valid at (50,40) R 10") << 50 << 40 << 10 << true << true << 79;
    QTest::newRow("aligned, not valid") << 50 << 40 << 10 << true << false << 79;
    QTest::newRow("not aligned") << 50 << 40 << 10 << false << true << 0;
    QTest::newRow("not aligned, not valid") << 50 << 40 << 10 << false << false << 0;
    QTest::newRow("clipped at the top-left border") << 5 << 5 << 10 << true << true << 30;
    QTest::newRow("clipped at the bottom-right border") << 115 << 95 << 10 << true << true << 29;
    QTest::newRow("R 1") << 50 << 40 << 1 << true << true << 7;
    QTest::newRow("entirely outside") << 300 << 300 << 10 << true << true << 0;
}

void TestWindow::frameMarker()
{
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(int, radius);
    QFETCH(bool, aligned);
    QFETCH(bool, valid);
    QFETCH(int, markedPixels);

    const QImage frame = fixtures::solid(120, 100, qRgb(30, 60, 90));
    const QStringList paths = {writeImage("m0.png", frame), writeImage("m1.png", frame)};
    w->openFiles(paths);
    w->engine.searchRadius = radius;
    w->engine.frames->update(1, [&](FrameRecord& r) {
        r.aligned = aligned;
        r.valid = valid;
        r.x = x;
        r.y = y;
    });
    w->ui.lwFrames->setCurrentRow(1);

    const QImage image = shown();
    QCOMPARE(image.size(), frame.size());
    const QRgb colour = valid ? kWhite : kRed;
    const auto points = aligned ? outline(x, y, radius, 120, 100) : std::set<std::pair<int, int>>();
    QCOMPARE(int(points.size()), markedPixels);
    QImage expected = frame;
    for (const auto& p : points)
        expected.setPixel(p.first, p.second, colour);
    const QString diff = firstDifference(image, expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    if (x == 50 && radius == 10 && aligned) {
        QCOMPARE(image.pixel(40, 30), colour);
        QCOMPARE(image.pixel(60, 30), colour);
        QCOMPARE(image.pixel(40, 50), colour);
        QCOMPARE(image.pixel(60, 50), frame.pixel(60, 50));
        QCOMPARE(image.pixel(50, 40), frame.pixel(50, 40));
    }
    // The marker goes on the display only; the frame itself is untouched.
    QCOMPARE(w->engine.frameImage.convertToFormat(QImage::Format_RGB32), frame);
    QCOMPARE(frameInfo().at(3), aligned ? QStringLiteral("Aligned: yes") : QStringLiteral("Aligned: no"));
}

void TestWindow::cancelledOpenChangesNothing_data()
{
    QTest::addColumn<bool>("withSequence");
    QTest::addColumn<bool>("throughButton");
    QTest::newRow("fresh window, seam") << false << false;
    QTest::newRow("fresh window, button") << false << true;
    QTest::newRow("open sequence, seam") << true << false;
    QTest::newRow("open sequence, button") << true << true;
}

void TestWindow::cancelledOpenChangesNothing()
{
    QFETCH(bool, withSequence);
    QFETCH(bool, throughButton);

    QStringList paths;
    if (withSequence) {
        paths = squareSequence({{60, 50}, {62, 51}, {58, 49}}, 120, 100);
        w->openFiles(paths);
        w->ui.lwFrames->setCurrentRow(1);
        w->ui.lwFrames->item(2)->setCheckState(Qt::Unchecked);
    }
    const QStringList logBefore = log();
    const QGraphicsPixmapItem* item = w->pixmapItem;
    const QRectF rect = w->scene->sceneRect();
    const QImage image = shown();
    const QStringList info = frameInfo();
    const QList<Qt::CheckState> states = checkStates();
    const int row = w->ui.lwFrames->currentRow();

    if (throughButton) {
        nextFiles.clear();
        w->ui.pbImages->click();
        QCOMPARE(dialogs.size(), 1);
    } else {
        w->openFiles(QStringList());
    }

    QCOMPARE(w->fileNames, paths);
    QCOMPARE(w->engine.frames->count(), paths.size());
    QCOMPARE(w->ui.lwFrames->count(), paths.size());
    QCOMPARE(checkStates(), states);
    QCOMPARE(w->ui.lwFrames->currentRow(), row);
    QCOMPARE(w->pixmapItem, item);
    QCOMPARE(w->scene->sceneRect(), rect);
    QCOMPARE(shown(), image);
    QCOMPARE(frameInfo(), info);
    QCOMPARE(log(), logBefore);
    QVERIFY(warnings.isEmpty());
}

void TestWindow::secondOpeningReplacesFirst()
{
    const QStringList first = squareSequence({{80, 60}, {83, 58}, {77, 63}});
    openAndPick(first);
    w->ui.pbAlign->click();
    QVERIFY(w->engine.frames->record(1).aligned);
    w->ui.pbQSelect->click();
    QVERIFY(w->engine.qualityAnalysed);
    w->ui.lwFrames->item(1)->setCheckState(Qt::Unchecked);
    w->ui.lwFrames->setCurrentRow(1);
    w->ui.lwFrames->setCurrentRow(0);
    QCOMPARE(frameInfo().at(3), QStringLiteral("Aligned: yes"));

    const QImage n0 = textured(100, 80);
    const QImage n1 = fixtures::brightSquare(100, 80, 50, 40, 9, kTarget);
    const QStringList second = {writeImage("n0.png", n0), writeImage("n1.png", n1)};
    nextFiles = second;
    w->ui.pbImages->click();

    QCOMPARE(w->fileNames, second);
    QCOMPARE(rowTexts(), QStringList({"n0.png", "n1.png"}));
    QCOMPARE(checkStates(), QList<Qt::CheckState>({Qt::Checked, Qt::Checked}));
    QCOMPARE(w->ui.lwFrames->currentRow(), 0);
    QCOMPARE(w->engine.frames->count(), 2);
    QCOMPARE(w->engine.frames->paths(), second);
    for (int i = 0; i < 2; ++i) {
        const FrameRecord r = w->engine.frames->record(i);
        QVERIFY(!r.isReference && !r.aligned && !r.stacked && !r.refined);
        QVERIFY(r.valid);
        QCOMPARE(r.quality, 0.0f);
    }
    QVERIFY(!w->engine.qualityAnalysed);
    QVERIFY(!w->engine.referenceReady);
    QCOMPARE(w->scene->sceneRect(), QRectF(0, 0, 100, 80));
    const QString diff = firstDifference(shown(), n0);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(frameInfo(), QStringList({"X: 0", "Y: 0", "Valid: yes", "Aligned: no", "Stacked: no", "Refined: no",
                                       "Quality: 0%"}));
    QVERIFY(w->engine.accumulator);
    QCOMPARE(w->engine.accumulator->width, 100);
    QCOMPARE(w->engine.accumulator->height, 80);

    // The old reference is gone: aligning now asks for a new pick and aligns nothing.
    int start = log().size();
    w->ui.pbAlign->click();
    QCOMPARE(logSince(start).size(), 1);
    QVERIFY(!w->engine.frames->record(0).aligned);

    // The old analysis is gone: analysing rates the new frames.
    start = log().size();
    w->ui.pbQSelect->click();
    const QStringList lines = logSince(start);
    QCOMPARE(lines.count(QStringLiteral("analyzing gradient quality...")), 1);
    QVERIFY2(lines.filter(QStringLiteral("raw quality of ")).size() == 2, qPrintable(lines.join('\n')));
    QVERIFY(lines.filter(QStringLiteral("raw quality of ")).first().startsWith("raw quality of " + second.first() + ": "));
}

void TestWindow::unreadableFirstFile_data()
{
    QTest::addColumn<bool>("withSequence");
    QTest::addColumn<bool>("missing");
    QTest::newRow("fresh window, corrupt file") << false << false;
    QTest::newRow("fresh window, missing file") << false << true;
    QTest::newRow("open sequence, corrupt file") << true << false;
    QTest::newRow("open sequence, missing file") << true << true;
}

void TestWindow::unreadableFirstFile()
{
    QFETCH(bool, withSequence);
    QFETCH(bool, missing);

    QStringList paths;
    if (withSequence) {
        paths = squareSequence({{60, 50}, {62, 51}}, 120, 100);
        w->openFiles(paths);
    }
    const QString bad = missing ? dir->filePath("missing.png") : fixtures::writeCorrupt(*dir, "corrupt.png");
    const QStringList attempt = {bad, writeImage("fine1.png", textured(90, 70)), writeImage("fine2.png", textured(90, 70))};

    const QStringList logBefore = log();
    const QGraphicsPixmapItem* item = w->pixmapItem;
    const QStringList rows = rowTexts();
    const QStringList info = frameInfo();
    const QImage frame = w->engine.frameImage;

    nextFiles = attempt;
    w->ui.pbImages->click();

    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().contains(bad), qPrintable(warnings.first()));
    QCOMPARE(w->fileNames, paths);
    QCOMPARE(w->engine.frames->count(), paths.size());
    QCOMPARE(w->engine.frames->paths(), paths);
    QCOMPARE(rowTexts(), rows);
    QCOMPARE(frameInfo(), info);
    QCOMPARE(w->pixmapItem, item);
    QCOMPARE(w->engine.frameImage, frame);
    QCOMPARE(log(), logBefore);
    if (withSequence) {
        QVERIFY(w->engine.accumulator);
        QCOMPARE(w->engine.accumulator->width, 120);
    } else {
        QVERIFY(!w->engine.accumulator);
        QVERIFY(w->scene->items().isEmpty());
    }
}

void TestWindow::unreadableFrameLoggedWhenSelected()
{
    const QImage a = textured(120, 100);
    const QString corrupt = fixtures::writeCorrupt(*dir, "b.png");
    const QStringList paths = {writeImage("a.png", a), corrupt, writeImage("c.png", textured(120, 100))};
    w->openFiles(paths);
    QVERIFY(warnings.isEmpty());
    QCOMPARE(w->fileNames, paths);
    QCOMPARE(w->ui.lwFrames->count(), 3);
    QCOMPARE(log().size(), 5);

    w->ui.lwFrames->setCurrentRow(1);
    QCOMPARE(logSince(5), QStringList({"Could not read image file: " + corrupt}));
    QCOMPARE(w->scene->items().size(), 1);
    QCOMPARE(w->engine.frameImage.convertToFormat(QImage::Format_RGB32), a);
    QVERIFY(warnings.isEmpty());

    w->ui.lwFrames->setCurrentRow(2);
    QCOMPARE(log().size(), 6);
}

// ---- inspector --------------------------------------------------------------------------------

void TestWindow::inspectorWithoutSequence()
{
    const QStringList before = labels();
    for (const QPoint& p : {QPoint(5, 5), QPoint(40, 30), QPoint(200, 100)}) {
        mouse(QEvent::MouseMove, p, Qt::NoButton, Qt::NoButton);
        mouse(QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
        mouse(QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
    }
    QCOMPARE(labels(), QStringList({"X: ", "Y: ", "Red: ", "Green: ", "Blue: ", "Luma: "}));
    QCOMPARE(labels(), before);
    QCOMPARE(w->ui.sbWeight->value(), 75);
    QCOMPARE(log().size(), 5);
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
}

void TestWindow::inspectorValues_data()
{
    QTest::addColumn<int>("filter");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<bool>("white");

    QTest::newRow("filter 0, pixel (5,5)") << 0 << 5 << 5 << false;
    QTest::newRow("filter 0, column 0") << 0 << 0 << 7 << true;
    QTest::newRow("filter 0, row 0") << 0 << 7 << 0 << true;
    QTest::newRow("filter 0, (1,1)") << 0 << 1 << 1 << false;
    QTest::newRow("filter 0, last column") << 0 << 119 << 50 << false;
    QTest::newRow("filter 2, (2,10) on the border band") << 2 << 2 << 10 << true;
    QTest::newRow("filter 2, (3,10) first full box") << 2 << 3 << 10 << false;
    QTest::newRow("filter 2, (10,2)") << 2 << 10 << 2 << true;
    QTest::newRow("filter 2, (10,3)") << 2 << 10 << 3 << false;
    QTest::newRow("filter 2, (117,50) last full box") << 2 << 117 << 50 << false;
    QTest::newRow("filter 2, (118,50)") << 2 << 118 << 50 << true;
    QTest::newRow("filter 2, (60,97) last full row") << 2 << 60 << 97 << false;
    QTest::newRow("filter 2, (60,98)") << 2 << 60 << 98 << true;
    QTest::newRow("filter 10, (10,50)") << 10 << 10 << 50 << true;
    QTest::newRow("filter 10, (11,50)") << 10 << 11 << 50 << false;
}

void TestWindow::inspectorValues()
{
    QFETCH(int, filter);
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(bool, white);

    QImage frame = textured(120, 100);
    frame.setPixel(5, 5, qRgb(255, 0, 0));
    w->openFiles({writeImage("inspect.png", frame)});
    w->ui.sbFilter->setValue(filter);

    int r = 255, g = 255, b = 255;
    if (!white) {
        int sr = 0, sg = 0, sb = 0, n = 0;
        for (int j = y - filter; j <= y + filter; ++j)
            for (int k = x - filter; k <= x + filter; ++k) {
                const QRgb p = frame.pixel(k, j);
                sr += qRed(p);
                sg += qGreen(p);
                sb += qBlue(p);
                ++n;
            }
        r = sr / n;
        g = sg / n;
        b = sb / n;
    }
    hoverScene(QPointF(x, y));
    QCOMPARE(labels(), QStringList({QStringLiteral("X: %1").arg(x), QStringLiteral("Y: %1").arg(y),
                                    QStringLiteral("Red: %1").arg(r), QStringLiteral("Green: %1").arg(g),
                                    QStringLiteral("Blue: %1").arg(b),
                                    QStringLiteral("Luma: %1").arg(lumaShown(r, g, b))}));
    if (x == 5 && y == 5)
        QCOMPARE(labels().mid(2), QStringList({"Red: 255", "Green: 0", "Blue: 0", "Luma: 54"}));
    // Hovering never touches the threshold.
    QCOMPARE(w->ui.sbWeight->value(), 75);
    QCOMPARE(log().size(), 5);
}

void TestWindow::inspectorLuma_data()
{
    QTest::addColumn<QRgb>("colour");
    QTest::addColumn<int>("luma");

    QTest::newRow("pure red") << qRgb(255, 0, 0) << 54;
    QTest::newRow("pure green") << qRgb(0, 255, 0) << 182;
    QTest::newRow("pure blue") << qRgb(0, 0, 255) << 18;
    QTest::newRow("white") << qRgb(255, 255, 255) << 255;
    QTest::newRow("black") << qRgb(0, 0, 0) << 0;
    for (int g = 0; g < 256; g += 17)
        QTest::newRow(qPrintable(QStringLiteral("grey %1").arg(g))) << qRgb(g, g, g) << g;
    for (int g : {1, 99, 100, 101, 127, 128, 253, 254})
        QTest::newRow(qPrintable(QStringLiteral("grey %1").arg(g))) << qRgb(g, g, g) << g;
}

void TestWindow::inspectorLuma()
{
    QFETCH(QRgb, colour);
    QFETCH(int, luma);

    w->openFiles({writeImage("luma.png", fixtures::withPixel(textured(60, 40), 30, 20, colour))});
    w->ui.sbFilter->setValue(0);
    hoverScene(QPointF(30, 20));
    QCOMPARE(w->lblRed->text(), QStringLiteral("Red: %1").arg(qRed(colour)));
    QCOMPARE(w->lblGreen->text(), QStringLiteral("Green: %1").arg(qGreen(colour)));
    QCOMPARE(w->lblBlue->text(), QStringLiteral("Blue: %1").arg(qBlue(colour)));
    QCOMPARE(w->lblLuma->text(), QStringLiteral("Luma: %1").arg(luma));
}

void TestWindow::inspectorOutsideTheScene()
{
    // A small image sits in the middle of the view: left of and above it the scene coordinates are
    // negative, and nothing is reported there.
    w->openFiles({writeImage("small.png", textured(120, 100))});
    w->ui.sbFilter->setValue(0);
    hoverScene(QPointF(10, 10));
    const QStringList reported = labels();
    QCOMPARE(reported.first(), QStringLiteral("X: 10"));

    const QPoint origin = viewportPoint(QPointF(0, 0));
    QVERIFY2(origin.x() > 3 && origin.y() > 3, "the image fills the view; the view is too small for this check");
    mouse(QEvent::MouseMove, origin - QPoint(3, 0), Qt::NoButton, Qt::NoButton);
    QCOMPARE(labels(), reported);
    mouse(QEvent::MouseMove, origin - QPoint(0, 3), Qt::NoButton, Qt::NoButton);
    QCOMPARE(labels(), reported);
    mouse(QEvent::MouseButtonPress, origin - QPoint(2, 2), Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(labels(), reported);
    QCOMPARE(w->ui.sbWeight->value(), 75);
    QCOMPARE(log().size(), 5);
}

void TestWindow::positionsBeyondViewWidthReported()
{
    // An image much wider than the view: it opens fitted into the view; at 100% and scrolled, the
    // inspector and the pick follow the image beyond the view widget's width, up to the image's edge.
    const QImage wide = textured(1400, 60);
    w->openFiles({writeImage("wide.png", wide)});
    w->ui.sbFilter->setValue(0);
    QVERIFY(w->view->fitting());
    QVERIFY(w->view->zoom() < 1.0);
    w->actionActualSize->trigger();
    QCOMPARE(w->view->zoom(), 1.0);
    const int limit = w->view->width();
    QVERIFY2(limit < 1300, "the view is wider than the test image");
    w->view->centerOn(limit, 30);

    hoverScene(QPointF(limit + 5, 31));
    const QRgb p = wide.pixel(limit + 5, 31);
    QCOMPARE(labels(), QStringList({QStringLiteral("X: %1").arg(limit + 5), "Y: 31", QStringLiteral("Red: %1").arg(qRed(p)),
                                    QStringLiteral("Green: %1").arg(qGreen(p)), QStringLiteral("Blue: %1").arg(qBlue(p)),
                                    w->lblLuma->text()}));
    clickScene(QPointF(limit + 2, 30));
    QCOMPARE(w->lblX->text(), QStringLiteral("X: %1").arg(limit + 2));
    QCOMPARE(QStringLiteral("Luma: %1").arg(w->ui.sbWeight->value()), w->lblLuma->text());

    // Beyond the image's right edge nothing is reported.
    w->view->centerOn(1400, 30);
    hoverScene(QPointF(1399, 30));
    QCOMPARE(w->lblX->text(), QStringLiteral("X: 1399"));
    const QStringList reported = labels();
    const int weight = w->ui.sbWeight->value();
    const QPoint edge = viewportPoint(QPointF(1400, 30));
    if (edge.x() + 2 < w->view->viewport()->width()) {
        mouse(QEvent::MouseMove, edge + QPoint(2, 0), Qt::NoButton, Qt::NoButton);
        QCOMPARE(labels(), reported);
        mouse(QEvent::MouseButtonPress, edge + QPoint(2, 0), Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(w->ui.sbWeight->value(), weight);
    }
}

void TestWindow::rightOfSmallImageReportsNothing()
{
    // Beside and below a small image the view is empty: no pixel is reported, a click picks nothing.
    w->openFiles({writeImage("small.png", fixtures::solid(120, 100, qRgb(10, 10, 10)))});
    w->ui.sbFilter->setValue(0);
    QVERIFY(w->view->width() > 140 && w->view->height() > 120);
    hoverScene(QPointF(60, 50));
    const QStringList inside = {"X: 60", "Y: 50", "Red: 10", "Green: 10", "Blue: 10", "Luma: 10"};
    QCOMPARE(labels(), inside);

    hoverScene(QPointF(130, 50));
    QCOMPARE(labels(), inside);
    hoverScene(QPointF(60, 110));
    QCOMPARE(labels(), inside);
    const int lines = log().size();
    clickScene(QPointF(130, 50));
    QCOMPARE(w->ui.sbWeight->value(), 75);
    QCOMPARE(log().size(), lines);
    QVERIFY(!w->engine.referenceReady);
}

void TestWindow::dragOnlyUpdatesInspector()
{
    w->openFiles({writeImage("grey.png", fixtures::solid(120, 100, qRgb(100, 100, 100)))});
    w->ui.sbFilter->setValue(0);
    const QPoint p = viewportPoint(QPointF(40, 30));
    mouse(QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton);
    QCOMPARE(w->lblLuma->text(), QStringLiteral("Luma: 100"));
    QCOMPARE(w->ui.sbWeight->value(), 75);
    QCOMPARE(log().size(), 5);
    QVERIFY(!w->engine.referenceReady);
}

void TestWindow::clickPicksThreshold()
{
    // Grey 90 around grey 101, the clicked centre pixel grey 100. The inspector shows 100 there, but
    // the detection's truncated luminance of grey 100 is 99: only the grey-101 pixels pass.
    QImage frame = fixtures::brightSquare(120, 100, 60, 50, 21, qRgb(90, 90, 90));
    for (int y = 45; y <= 55; ++y)
        for (int x = 55; x <= 65; ++x)
            frame.setPixel(x, y, qRgb(101, 101, 101));
    frame.setPixel(60, 50, qRgb(100, 100, 100));
    w->openFiles({writeImage("grey.png", frame), writeImage("other.png", textured(120, 100))});
    w->ui.sbFilter->setValue(0);

    clickScene(QPointF(60, 50));
    QCOMPARE(w->ui.sbWeight->value(), 100);
    QCOMPARE(w->lblLuma->text(), QStringLiteral("Luma: 100"));
    QCOMPARE(log().size(), 5);
    QVERIFY(w->engine.referenceReady);
    QCOMPARE(w->engine.lumaThreshold, 100);
    QCOMPARE(w->engine.frames->referenceIndex, 0);
    QCOMPARE(w->engine.referenceX, 60);
    QCOMPARE(w->engine.referenceY, 50);

    QImage expected = frame;
    for (int y = 45; y <= 55; ++y)
        for (int x = 55; x <= 65; ++x)
            if (x != 60 || y != 50)
                expected.setPixel(x, y, kRed);
    for (const auto& p : outline(60, 50, 20, 120, 100))
        expected.setPixel(p.first, p.second, kWhite);
    QString diff = firstDifference(shown(), expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    // The same pixel again: the value stays, the preview is drawn once more, identical.
    const QGraphicsPixmapItem* before = w->pixmapItem;
    clickScene(QPointF(60, 50));
    QCOMPARE(w->ui.sbWeight->value(), 100);
    QVERIFY(w->pixmapItem != before);
    diff = firstDifference(shown(), expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(log().size(), 5);
}

void TestWindow::clickRunsPickOncePerChangeAndOnceMore()
{
    // The grey block lies inside the 20-pixel margin, so every run of the pick fails and says so in
    // one line: the lines count the runs.
    QImage frame = fixtures::solid(120, 100, qRgb(0, 0, 0));
    for (int y = 3; y <= 12; ++y)
        for (int x = 3; x <= 12; ++x)
            frame.setPixel(x, y, qRgb(100, 100, 100));
    w->openFiles({writeImage("margin.png", frame)});
    w->ui.sbFilter->setValue(0);

    clickScene(QPointF(7, 7));
    QCOMPARE(w->ui.sbWeight->value(), 100);
    QStringList lines = logSince(5);
    QCOMPARE(lines.size(), 2); // the value change, then the pick itself
    QCOMPARE(lines.at(0), lines.at(1));
    QVERIFY2(lines.at(0).contains(QStringLiteral("100")), qPrintable(lines.at(0)));
    QVERIFY(!w->engine.referenceReady);
    // The failed pick still shows the frame.
    const QString diff = firstDifference(shown(), frame);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    clickScene(QPointF(8, 9));
    QCOMPARE(w->ui.sbWeight->value(), 100);
    lines = logSince(5);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(2), lines.at(0));
}

void TestWindow::clickNearBorderSetsMaximum_data()
{
    QTest::addColumn<int>("filter");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");

    QTest::newRow("filter 2, x 1") << 2 << 1 << 50;
    QTest::newRow("filter 2, x 2") << 2 << 2 << 50;
    QTest::newRow("filter 2, y 2") << 2 << 60 << 2;
    QTest::newRow("filter 2, x W-2") << 2 << 118 << 50;
    QTest::newRow("filter 2, y H-1") << 2 << 60 << 99;
    QTest::newRow("filter 0, x 0") << 0 << 0 << 50;
    QTest::newRow("filter 5, y 5") << 5 << 60 << 5;
}

void TestWindow::clickNearBorderSetsMaximum()
{
    QFETCH(int, filter);
    QFETCH(int, x);
    QFETCH(int, y);

    w->openFiles({writeImage("dim.png", fixtures::solid(120, 100, qRgb(40, 40, 40)))});
    w->ui.sbFilter->setValue(filter);
    clickScene(QPointF(x, y));
    QCOMPARE(w->lblLuma->text(), QStringLiteral("Luma: 255"));
    QCOMPARE(w->ui.sbWeight->value(), 255);
    // Nothing in the dim frame reaches 255: the pick says so, once for the change, once itself.
    const QStringList lines = logSince(5);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(1).contains(QStringLiteral("255")), qPrintable(lines.at(1)));
}

// ---- reference, alignment, refinement ---------------------------------------------------------

void TestWindow::referencePick()
{
    const QStringList paths = squareSequence({{80, 60}, {83, 58}, {76, 64}});
    w->openFiles(paths);
    w->ui.lwFrames->setCurrentRow(0);
    w->ui.pbWeight->click();

    QVERIFY(w->engine.referenceReady);
    QCOMPARE(w->engine.frames->referenceIndex, 0);
    QVERIFY(w->engine.frames->record(0).isReference);
    QCOMPARE(w->engine.referenceX, 80);
    QCOMPARE(w->engine.referenceY, 60);
    QCOMPARE(w->engine.lumaThreshold, 75);
    QCOMPARE(log().size(), 5);

    // Base pattern: the 2R x 2R block around the centre, shown under "Base pattern:".
    const QImage base = fixtures::brightSquare(40, 40, 20, 20, 9, kTarget);
    QString diff = firstDifference(w->ui.lblRefSource->pixmap().toImage().convertToFormat(QImage::Format_RGB32), base);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    // The preview: the accepted pixels in red and the white square around the centroid.
    QImage preview = shown();
    QCOMPARE(preview.size(), QSize(160, 120));
    QCOMPARE(preview.pixel(80, 60), kRed);
    QCOMPARE(preview.pixel(60, 40), kWhite);
    QCOMPARE(preview.pixel(100, 60), kWhite);
    QCOMPARE(preview.pixel(100, 80), qRgb(0, 0, 0));

    // Another row and another radius: the mark moves, the pattern follows the new radius.
    w->ui.sbSearchRadius->setValue(10);
    w->ui.lwFrames->setCurrentRow(2);
    w->ui.pbWeight->click();
    QCOMPARE(w->engine.frames->referenceIndex, 2);
    QVERIFY(!w->engine.frames->record(0).isReference);
    QVERIFY(w->engine.frames->record(2).isReference);
    QCOMPARE(w->engine.referenceX, 76);
    QCOMPARE(w->engine.referenceY, 64);
    diff = firstDifference(w->ui.lblRefSource->pixmap().toImage().convertToFormat(QImage::Format_RGB32),
                           fixtures::brightSquare(20, 20, 10, 10, 9, kTarget));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    preview = shown();
    QCOMPARE(preview.pixel(66, 54), kWhite);
    QCOMPARE(preview.pixel(86, 74), qRgb(0, 0, 0));
}

void TestWindow::pickWithoutFeatureKeepsReference()
{
    const QImage dark = fixtures::solid(160, 120, qRgb(20, 20, 20));
    QStringList paths = squareSequence({{80, 60}});
    paths << writeImage("dark.png", dark);
    openAndPick(paths);
    const QImage base = w->engine.basePattern;
    const qint64 thumbnail = w->ui.lblRefSource->pixmap().cacheKey();

    w->ui.lwFrames->setCurrentRow(1);
    const int start = log().size();
    w->ui.pbWeight->click();
    const QStringList lines = logSince(start);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QStringLiteral("75")), qPrintable(lines.first()));

    QVERIFY(w->engine.referenceReady);
    QCOMPARE(w->engine.frames->referenceIndex, 0);
    QVERIFY(w->engine.frames->record(0).isReference);
    QVERIFY(!w->engine.frames->record(1).isReference);
    QCOMPARE(w->engine.referenceX, 80);
    QCOMPARE(w->engine.referenceY, 60);
    QCOMPARE(w->engine.basePattern, base);
    QCOMPARE(w->ui.lblRefSource->pixmap().cacheKey(), thumbnail);
    const QString diff = firstDifference(shown(), dark);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    // The earlier reference still serves the alignment.
    w->ui.pbAlign->click();
    QVERIFY(w->engine.frames->record(0).aligned);
    QCOMPARE(w->engine.frames->record(0).x, 80);
}

void TestWindow::alignBeforePick()
{
    const QStringList paths = squareSequence({{80, 60}, {83, 58}});
    w->openFiles(paths);
    w->ui.pbAlign->click();
    const QStringList lines = logSince(5);
    QCOMPARE(lines.size(), 1);
    QVERIFY(!lines.first().contains(QStringLiteral("images analyzed")));
    for (int i = 0; i < 2; ++i) {
        QVERIFY(!w->engine.frames->record(i).aligned);
        QVERIFY(w->engine.frames->record(i).valid);
    }
    QVERIFY(!w->isBusy());
    QVERIFY(w->ui.pbAlign->isEnabled());
}

void TestWindow::alignLogsEveryCheckedFrame()
{
    // A symmetric planet moved by whole pixels, a frame without it, an unchecked frame and a file that
    // cannot be read.
    synth::Planet planet;
    planet.width = 160;
    planet.height = 120;
    planet.cx = 80;
    planet.cy = 60;
    planet.radius = 8;
    planet.details = false;
    const QImage base = synth::renderPlanet(planet);
    QVERIFY(!base.isNull());
    const QVector<QPoint> shifts = {{0, 0}, {3, -2}, {-4, 5}, {0, 0}, {6, 1}, {0, 0}, {-2, -3}};
    QVector<QImage> frames;
    for (int i = 0; i < shifts.size(); ++i)
        frames << (i == 3 ? fixtures::solid(160, 120, qRgb(0, 0, 0)) : synth::shiftedCopy(base, shifts[i].x(), shifts[i].y()));
    QStringList paths = writeFrames(QStringLiteral("planet"), frames);
    QFile::remove(paths.at(5));
    QVERIFY(fixtures::writeCorrupt(*dir, QFileInfo(paths.at(5)).fileName()) == paths.at(5));

    openAndPick(paths);
    w->ui.lwFrames->item(4)->setCheckState(Qt::Unchecked);

    QStringList statuses;
    QTimer watcher;
    watcher.setInterval(0);
    connect(&watcher, &QTimer::timeout, this, [&] {
        if (statuses.isEmpty() || statuses.last() != w->lblStatus->text())
            statuses << w->lblStatus->text();
    });
    watcher.start();
    const int start = log().size();
    w->ui.pbAlign->click();
    watcher.stop();

    const QStringList lines = logSince(start);
    QCOMPARE(lines.size(), 8);
    const QRegularExpression aligned(QStringLiteral("^Aligned (.+), offset: X=(-?\\d+); Y=(-?\\d+) // Processing time: \\d+\\.\\d\\ds$"));
    int line = 0;
    for (int i : {0, 1, 2}) {
        const QRegularExpressionMatch m = aligned.match(lines.at(line++));
        QVERIFY2(m.hasMatch(), qPrintable(lines.at(line - 1)));
        QCOMPARE(m.captured(1), paths.at(i));
        QVERIFY2(qAbs(m.captured(2).toInt() - (80 + shifts[i].x())) <= 1, qPrintable(m.captured(0)));
        QVERIFY2(qAbs(m.captured(3).toInt() - (60 + shifts[i].y())) <= 1, qPrintable(m.captured(0)));
        QCOMPARE(w->engine.frames->record(i).x, m.captured(2).toInt());
        QCOMPARE(w->engine.frames->record(i).y, m.captured(3).toInt());
    }
    QCOMPARE(maskTime(lines.at(line++)), "Feature not found: " + paths.at(3) + " // Processing time: <t>s");
    QCOMPARE(lines.at(line++), "Could not read image file: " + paths.at(5));
    {
        const QRegularExpressionMatch m = aligned.match(lines.at(line++));
        QVERIFY2(m.hasMatch(), qPrintable(lines.at(line - 1)));
        QCOMPARE(m.captured(1), paths.at(6));
        QVERIFY(qAbs(m.captured(2).toInt() - 78) <= 1);
        QVERIFY(qAbs(m.captured(3).toInt() - 57) <= 1);
    }
    QCOMPARE(lines.at(line++), QStringLiteral("6 images analyzed, 4 valid"));
    QCOMPARE(maskTime(lines.at(line++)), QStringLiteral("Total processing time: <t>s"));

    // Records: found frames aligned and valid, the empty and the unreadable one neither, the
    // unchecked frame untouched.
    for (int i : {0, 1, 2, 6}) {
        QVERIFY(w->engine.frames->record(i).aligned);
        QVERIFY(w->engine.frames->record(i).valid);
    }
    for (int i : {3, 5}) {
        QVERIFY(!w->engine.frames->record(i).aligned);
        QVERIFY(!w->engine.frames->record(i).valid);
    }
    QVERIFY(!w->engine.frames->record(4).aligned);
    QVERIFY(w->engine.frames->record(4).valid);
    // The unchecked frame's shift (6) does not widen the extents.
    QVERIFY(w->engine.maxDx <= 4);

    // Progress: the index among all frames, the unchecked one skipped, then "Ready.".
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
    QCOMPARE(statuses, QStringList({"Aligning... 0.0%", "Aligning... 14.3%", "Aligning... 28.6%", "Aligning... 42.9%",
                                    "Aligning... 71.4%", "Aligning... 85.7%"}));

    // The last found frame is on display with its marker, and selecting a row shows its record.
    QCOMPARE(w->scene->items().size(), 1);
    const FrameRecord r1 = w->engine.frames->record(1);
    w->ui.lwFrames->setCurrentRow(1);
    QCOMPARE(frameInfo().mid(0, 4), QStringList({QStringLiteral("X: %1").arg(r1.x), QStringLiteral("Y: %1").arg(r1.y),
                                                 "Valid: yes", "Aligned: yes"}));
    const QImage marked = shown();
    QCOMPARE(marked.pixel(r1.x - 20, r1.y - 20), kWhite);
    QCOMPARE(marked.pixel(r1.x + 19, r1.y + 20), kWhite);
    QVERIFY(marked.pixel(r1.x + 20, r1.y + 20) != kWhite);
}

void TestWindow::refineBeforePick()
{
    const QStringList paths = squareSequence({{80, 60}, {83, 58}});
    w->openFiles(paths);
    w->ui.pbRefine->click();
    const QStringList lines = logSince(5);
    QCOMPARE(lines.size(), 1);
    QVERIFY(!lines.first().contains(QStringLiteral("images analyzed")));
    QVERIFY(!w->engine.frames->record(0).refined);
    QVERIFY(w->ui.lblRefComp->pixmap().isNull());
    QVERIFY(w->ui.lblRefUnref->pixmap().isNull());
}

void TestWindow::refineChecksAlignment()
{
    // Three frames of the target and one whose bright pixels form a line: it is aligned by its
    // luminance, but no placement of the base pattern over it comes near a match.
    QVector<QImage> frames = {fixtures::brightSquare(160, 120, 80, 60, 9, kTarget),
                              fixtures::brightSquare(160, 120, 83, 57, 9, kTarget), fixtures::solid(160, 120, qRgb(0, 0, 0)),
                              fixtures::brightSquare(160, 120, 76, 64, 9, kTarget)};
    for (int x = 30; x < 30 + 81; ++x)
        frames[2].setPixel(x, 60, kTarget);
    const QStringList paths = writeFrames(QStringLiteral("ref"), frames);
    w->ui.sbFilter->setValue(0);
    openAndPick(paths);
    w->ui.pbAlign->click();
    QCOMPARE(w->engine.frames->record(2).x, 49);
    QCOMPARE(w->engine.frames->record(2).y, 60);

    const int start = log().size();
    w->ui.pbRefine->click();
    const QStringList lines = logSince(start);
    QStringList masked;
    for (const QString& l : lines)
        masked << maskTime(l);
    QCOMPARE(masked, QStringList({"refine result of " + paths.at(0) + ": X=80; Y=60; V=0 // Processing time: <t>s",
                                  "refine result of " + paths.at(1) + ": X=83; Y=57; V=0 // Processing time: <t>s",
                                  "Feature not found (V=48600): " + paths.at(2) + " // Processing time: <t>s",
                                  "refine result of " + paths.at(3) + ": X=76; Y=64; V=0 // Processing time: <t>s",
                                  "4 images analyzed, 3 valid", "Total processing time: <t>s"}));
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
    for (int i : {0, 1, 3}) {
        QVERIFY(w->engine.frames->record(i).refined);
        QVERIFY(w->engine.frames->record(i).refineOk);
    }
    QVERIFY(w->engine.frames->record(2).refined);
    QVERIFY(!w->engine.frames->record(2).refineOk);

    // The thumbnails show the last accepted frame's patterns.
    const QImage expected = fixtures::brightSquare(40, 40, 20, 20, 9, kTarget);
    for (QLabel* label : {w->ui.lblRefComp, w->ui.lblRefUnref}) {
        const QString diff = firstDifference(label->pixmap().toImage().convertToFormat(QImage::Format_RGB32), expected);
        QVERIFY2(diff.isEmpty(), qPrintable(label->objectName() + ": " + diff));
    }
    w->ui.lwFrames->setCurrentRow(2);
    QCOMPARE(frameInfo().at(5), QStringLiteral("Refined: yes"));

    // Stacking leaves the badly matching frame out.
    const int stackStart = log().size();
    w->ui.pbStack2->click();
    const QStringList stackLines = logSince(stackStart);
    QVERIFY2(stackLines.contains(QStringLiteral("4 images processed, 3 stacked")), qPrintable(stackLines.join('\n')));
    QCOMPARE(stackLines.filter(QStringLiteral("Added ")).size(), 3);
    QVERIFY(stackLines.filter(paths.at(2)).isEmpty());
    QVERIFY(!w->engine.frames->record(2).stacked);
}

void TestWindow::busyGuard_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("Align") << "align";
    QTest::newRow("Refine Alignment") << "refine";
    QTest::newRow("Stack") << "stack";
    QTest::newRow("Analyze Quality") << "quality";
}

void TestWindow::busyGuard()
{
    QFETCH(QString, operation);

    const QStringList paths = squareSequence({{80, 60}, {83, 58}, {76, 64}, {81, 61}});
    openAndPick(paths);
    if (operation == "refine" || operation == "stack")
        w->ui.pbAlign->click();
    const QStringList other = {writeImage("other.png", textured(100, 80))};

    QList<QWidget*> guarded = {w->ui.pbStack2, w->ui.pbRefine, w->ui.pbQSelect, w->ui.pbImages, w->ui.pbAlign,
                               w->ui.pbDarks, w->ui.pbWeight, w->ui.sbWeight};
    QList<bool> enabledBefore;
    for (QWidget* c : guarded)
        enabledBefore << c->isEnabled();
    QVERIFY(!enabledBefore.contains(false));
    const bool percBefore = w->ui.sbQPerc->isEnabled();

    bool observed = false;
    bool busy = false;
    QStringList enabledDuring;
    int nestedLines = -1;
    QStringList namesDuring;
    QTimer probe;
    probe.setInterval(0);
    probe.setSingleShot(true);
    connect(&probe, &QTimer::timeout, this, [&] {
        observed = true;
        busy = w->isBusy();
        for (QWidget* c : guarded)
            if (c->isEnabled())
                enabledDuring << c->objectName();
        // Nothing may start inside the running operation.
        const int before = log().size();
        w->alignall();
        w->refineall();
        w->stackall2();
        w->gradientH();
        w->findBright();
        w->savestacked();
        w->openFiles(other);
        w->ui.pbStack2->click();
        w->ui.pbImages->click();
        nestedLines = log().size() - before;
        namesDuring = w->fileNames;
    });
    probe.start();

    const int start = log().size();
    if (operation == "align")
        w->ui.pbAlign->click();
    else if (operation == "refine")
        w->ui.pbRefine->click();
    else if (operation == "stack")
        w->ui.pbStack2->click();
    else
        w->ui.pbQSelect->click();
    probe.stop();

    QVERIFY2(observed, "the operation let no events through");
    QVERIFY(busy);
    QVERIFY2(enabledDuring.isEmpty(), qPrintable("enabled during the run: " + enabledDuring.join(", ")));
    QCOMPARE(nestedLines, 0);
    QCOMPARE(namesDuring, paths);
    QCOMPARE(w->fileNames, paths);
    QVERIFY(dialogs.isEmpty());

    QVERIFY(!w->isBusy());
    for (int i = 0; i < guarded.size(); ++i)
        QVERIFY2(guarded.at(i)->isEnabled() == enabledBefore.at(i), qPrintable(guarded.at(i)->objectName()));
    QCOMPARE(w->ui.sbQPerc->isEnabled(), operation == "quality" ? true : percBefore);

    // The run itself went through once.
    const QStringList lines = logSince(start);
    if (operation == "align" || operation == "refine")
        QCOMPARE(lines.filter(QStringLiteral(" images analyzed, ")), QStringList("4 images analyzed, 4 valid"));
    else if (operation == "stack")
        QCOMPARE(lines.filter(QStringLiteral(" images processed, ")), QStringList("4 images processed, 4 stacked"));
    else
        QCOMPARE(lines.count(QStringLiteral("analyzing gradient quality...")), 1);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
