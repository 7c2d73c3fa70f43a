// What users expect of the window: Frame Info that follows every operation, a log that follows new
// lines, log lines for saving and for the master dark, a warning for dark frames of another size,
// Ctrl+O and Ctrl+S, dropped files, dialogs that start in the folder used last, and a clear message
// when there is no display.

#include "windowfixture.h"

#include <QImageReader>
#include <QMimeData>
#include <QProcess>
#include <QScrollBar>

namespace {

QVector<QImage> squares(int count, int width = 120, int height = 100)
{
    QVector<QImage> frames;
    for (int i = 0; i < count; ++i)
        frames << fixtures::brightSquare(width, height, 60 + (i % 3) - 1, 50 + (i % 2), 9);
    return frames;
}

struct DialogCall {
    QString caption;
    QString dir;
};

} // namespace

class TestWindowHabits : public windowfixture::WindowFixture {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { destroyWindow(); }

    void frameInfoAfterEachOperation();
    void logFollowsUnlessScrolledUp();
    void saveLogsPathSizeAndDepth();
    void masterDarkAtOpeningLogged();
    void darkFramesOfAnotherSizeWarned();
    void shortcutsOpenAndSave();
    void droppedFilesOpenInNameOrder();
    void dialogsStartInLastFolder();
    void noDisplayGivesOneLine();

private:
    QStringList paths;
    QList<DialogCall> dialogs;
    QStringList nextFiles;
    QString nextSave;
    void openAndPick()
    {
        w->openFiles(paths);
        w->ui.pbWeight->click();
        QVERIFY(w->engine.referenceReady);
    }
};

void TestWindowHabits::init()
{
    QVERIFY(createWindow());
    dialogs.clear();
    nextFiles.clear();
    nextSave.clear();
    w->prompts.openFileNames = [this](QWidget*, const QString& caption, const QString& d, const QString&) {
        dialogs << DialogCall{caption, d};
        return nextFiles;
    };
    w->prompts.openFileName = [this](QWidget*, const QString& caption, const QString& d, const QString&) {
        dialogs << DialogCall{caption, d};
        return nextFiles.value(0);
    };
    w->prompts.saveFileName = [this](QWidget*, const QString& caption, const QString& d, const QString&) {
        dialogs << DialogCall{caption, d};
        return nextSave;
    };
    showWindow();
    paths = fixtures::writeSequence(*dir, QStringLiteral("f"), squares(4));
    QCOMPARE(paths.size(), 4);
}

void TestWindowHabits::frameInfoAfterEachOperation()
{
    openAndPick();
    w->ui.lwFrames->setCurrentRow(2);
    QCOMPARE(frameInfo().at(3), QStringLiteral("Aligned: no"));
    auto expected = [this] {
        const FrameRecord r = w->engine.frames->record(2);
        auto yn = [](bool b) { return b ? QStringLiteral("yes") : QStringLiteral("no"); };
        return QStringList{QStringLiteral("X: %1").arg(r.x), QStringLiteral("Y: %1").arg(r.y),
                           "Valid: " + yn(r.valid), "Aligned: " + yn(r.aligned), "Stacked: " + yn(r.stacked),
                           "Refined: " + yn(r.refined), "Quality: " + QString::number(r.quality, 'g', 6) + "%"};
    };
    w->ui.pbQSelect->click();
    QCOMPARE(frameInfo(), expected());
    QVERIFY(frameInfo().at(6) != QStringLiteral("Quality: 0%") || w->engine.frames->record(2).quality == 0.0f);
    w->ui.pbAlign->click();
    QCOMPARE(frameInfo(), expected());
    QCOMPARE(frameInfo().at(3), QStringLiteral("Aligned: yes"));
    w->ui.pbRefine->click();
    QCOMPARE(frameInfo(), expected());
    QCOMPARE(frameInfo().at(5), QStringLiteral("Refined: yes"));
    w->ui.pbStack2->click();
    QCOMPARE(frameInfo(), expected());
    QCOMPARE(frameInfo().at(4), QStringLiteral("Stacked: yes"));
    // The row stays current through all of it.
    QCOMPARE(w->ui.lwFrames->currentRow(), 2);
}

void TestWindowHabits::logFollowsUnlessScrolledUp()
{
    QScrollBar* bar = w->ui.teDebug->verticalScrollBar();
    openAndPick();
    w->ui.pbAlign->click();
    w->ui.pbAlign->click();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    // A smaller window, then more lines: still at the end.
    w->resize(w->width() - 60, w->height() - 120);
    QCoreApplication::processEvents();
    w->ui.pbAlign->click();
    QCOMPARE(bar->value(), bar->maximum());
    // The user scrolls up: new lines leave the view where it is.
    bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    const int up = bar->value();
    QVERIFY(up < bar->maximum());
    w->ui.pbAlign->click();
    QCOMPARE(bar->value(), up);
    // Back at the end, it follows again.
    bar->triggerAction(QAbstractSlider::SliderToMaximum);
    w->ui.pbAlign->click();
    QCOMPARE(bar->value(), bar->maximum());
}

void TestWindowHabits::saveLogsPathSizeAndDepth()
{
    openAndPick();
    w->ui.pbAlign->click();
    w->ui.pbStack2->click();
    const QString out = dir->filePath(QStringLiteral("result.png"));
    nextSave = out;
    const int start = log().size();
    w->ui.pbSaveStacked->click();
    QVERIFY(QFile::exists(out));
    const QSize size(w->engine.accumulator->width, w->engine.accumulator->height);
    QCOMPARE(QImageReader(out).size(), size);
    QCOMPARE(logSince(start), QStringList({QStringLiteral("Saved %1 (%2x%3, 8 bits per channel)")
                                              .arg(QDir::toNativeSeparators(out)).arg(size.width()).arg(size.height())}));
    // A failed save logs nothing and warns.
    nextSave = dir->filePath(QStringLiteral("no-such-folder/result.png"));
    w->ui.pbSaveStacked->click();
    QCOMPARE(logSince(start).size(), 1);
    QCOMPARE(warnings.size(), 1);
}

void TestWindowHabits::masterDarkAtOpeningLogged()
{
    w->openFiles(paths);
    QStringList darks = fixtures::writeSequence(*dir, QStringLiteral("d"),
                                                {fixtures::solid(120, 100, qRgb(3, 3, 3)), fixtures::solid(120, 100, qRgb(4, 4, 4)),
                                                 fixtures::solid(120, 100, qRgb(5, 5, 5))});
    darks << fixtures::writeCorrupt(*dir, QStringLiteral("broken.png"));
    darks << fixtures::write(*dir, QStringLiteral("small.png"), fixtures::solid(60, 50, qRgb(5, 5, 5)));
    answer = QMessageBox::Yes;
    const int start = log().size();
    w->openDarkFiles(darks);
    QCOMPARE(logSince(start), QStringList({"Could not read dark frame: " + darks.at(3),
                                           "Dark frame of a different size left out: " + darks.at(4),
                                           "master darkframe built from 3 frames"}));
    QVERIFY(warnings.isEmpty()); // the first dark frame has the light frames' size
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
    // Declined: nothing built, nothing logged.
    answer = QMessageBox::No;
    const int again = log().size();
    w->openDarkFiles(darks.mid(0, 2));
    QCOMPARE(log().size(), again);
}

void TestWindowHabits::darkFramesOfAnotherSizeWarned()
{
    w->openFiles(paths);
    const QStringList darks = fixtures::writeSequence(*dir, QStringLiteral("d"), {fixtures::solid(160, 120, qRgb(3, 3, 3))});
    w->openDarkFiles(darks);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(QStringLiteral("Dark frames of another size|The dark frames are 160x120 pixels, "
                                                        "the light frames 120x100.")),
             qPrintable(warnings.first()));
    // Without light frames there is nothing to compare, until light frames are opened after the darks.
    destroyWindow();
    QVERIFY(createWindow());
    const QStringList lights = fixtures::writeSequence(*dir, QStringLiteral("f"), squares(2));
    const QStringList otherDarks = fixtures::writeSequence(*dir, QStringLiteral("d"), {fixtures::solid(160, 120, qRgb(3, 3, 3))});
    w->openDarkFiles(otherDarks);
    QVERIFY(warnings.isEmpty());
    w->openFiles(lights);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(QStringLiteral("Dark frames of another size|The dark frames are 160x120 pixels, "
                                                        "the light frames 120x100.")),
             qPrintable(warnings.first()));
    // Light frames of the darks' size raise nothing.
    const QStringList same = fixtures::writeSequence(*dir, QStringLiteral("l"), {fixtures::solid(160, 120, qRgb(9, 9, 9))});
    w->openFiles(same);
    QCOMPARE(warnings.size(), 1);
}

void TestWindowHabits::shortcutsOpenAndSave()
{
    nextFiles = paths;
    QTest::keyClick(w.get(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(dialogs.size(), 1);
    QCOMPARE(dialogs.first().caption, QStringLiteral("Open Image Sequence..."));
    QCOMPARE(w->fileNames, paths);
    w->ui.pbWeight->click();
    w->ui.pbAlign->click();
    w->ui.pbStack2->click();
    nextSave = dir->filePath(QStringLiteral("keyed.png"));
    QTest::keyClick(w.get(), Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(dialogs.size(), 2);
    QCOMPARE(dialogs.last().caption, QStringLiteral("Save stacked image..."));
    QVERIFY(QFile::exists(nextSave));
}

void TestWindowHabits::droppedFilesOpenInNameOrder()
{
    // f_10 sorts after f_9 by number, though not by characters.
    QStringList files;
    for (int i : {10, 2, 9, 1})
        files << fixtures::write(*dir, QStringLiteral("g_%1.png").arg(i), squares(1).first());
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& f : files)
        urls << QUrl::fromLocalFile(f);
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.get(), &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(w->fileNames, QStringList({files[3], files[1], files[2], files[0]}));
    QCOMPARE(w->ui.lwFrames->count(), 4);
    QVERIFY(!w->scene->items().isEmpty());

    // Something other than local files is refused.
    QMimeData remote;
    remote.setUrls({QUrl(QStringLiteral("https://example.org/a.png"))});
    QDragEnterEvent refused(QPoint(50, 50), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
    refused.setAccepted(false);
    QCoreApplication::sendEvent(w.get(), &refused);
    QVERIFY(!refused.isAccepted());
}

void TestWindowHabits::dialogsStartInLastFolder()
{
    QTemporaryDir other;
    const QStringList elsewhere = fixtures::writeSequence(other, QStringLiteral("e"), squares(2));
    nextFiles = elsewhere;
    w->ui.pbImages->click();
    QCOMPARE(w->fileNames, elsewhere);
    const QString folder = QFileInfo(elsewhere.first()).absolutePath();
    // Every dialog now starts there: open again, darks, single dark, save.
    nextFiles.clear();
    w->ui.pbImages->click();
    w->ui.pbDarks->click();
    w->actionOpenDark->trigger();
    QCOMPARE(dialogs.size(), 4);
    for (const DialogCall& d : dialogs.mid(1))
        QCOMPARE(d.dir, folder);
    // A save elsewhere moves it again.
    w->ui.pbWeight->click();
    w->ui.pbAlign->click();
    w->ui.pbStack2->click();
    nextSave = dir->filePath(QStringLiteral("out.png"));
    w->ui.pbSaveStacked->click();
    QCOMPARE(dialogs.last().dir, folder);
    w->ui.pbImages->click();
    QCOMPARE(dialogs.last().dir, QFileInfo(nextSave).absolutePath());
}

void TestWindowHabits::noDisplayGivesOneLine()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    const QString program = QFileInfo(QStringLiteral(NEBULO_CLI_PATH)).absolutePath() + QStringLiteral("/../app/nebulo");
    if (!QFile::exists(program))
        QSKIP("the window program is not built");
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    p.start(program, QStringList());
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 1);
    const QStringList err = QString::fromUtf8(p.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(err.size(), 1);
    QVERIFY2(err.first().contains(QLatin1String("no graphical session")) && err.first().contains(QLatin1String("xvfb-run")),
             qPrintable(err.first()));
#else
    QSKIP("a display server is part of this platform");
#endif
}

QTEST_MAIN(TestWindowHabits)
#include "tst_window_habits.moc"
