// Stopping long runs: every loop stops between two frames when asked, logs where it stopped and keeps
// what the frames done produced; the window's Cancel button, Esc and closing stop a run; the batch
// command stops on SIGINT with status 130 and no output file.

#include "windowfixture.h"

#include "synthetic.h"

#include <QFile>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>

#include <csignal>

namespace {

constexpr int kFrames = 6;
constexpr int kStopAfter = 2;

QVector<QImage> planets(int count, int width = 160, int height = 120)
{
    QVector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        synth::Planet p;
        p.width = width;
        p.height = height;
        p.radius = std::min(width, height) / 5;
        p.cx = width / 2 + (i * 7 % 5) - 2;
        p.cy = height / 2 + (i * 3 % 5) - 2;
        p.blur = 0.3 + 0.25 * ((i * 5) % 9);
        p.noise = 1.5;
        p.seed = quint32(100 + i);
        frames << synth::renderPlanet(p);
    }
    return frames;
}

// A progress whose cancel request is answered after `after` frames of the loop.
struct Stopper : fixtures::Recorder {
    int after = -1;
    int done = 0;

    batch::Progress progress()
    {
        batch::Progress p = Recorder::progress();
        p.advance = [this](int d, int) { done = d; };
        p.cancel = [this] { return after >= 0 && done >= after; };
        return p;
    }
};

} // namespace

class TestCancel : public windowfixture::WindowFixture {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { destroyWindow(); }

    void loopStopsBetweenFrames_data();
    void loopStopsBetweenFrames();
    void partialStackEqualsStackOfFramesDone();
    void cancelledQualityAnalysisRunsAgain();
    void cancelBeforeFirstFrameStacksNothing();
    void cancelledMasterDarkKeepsFramesSummed();

    void windowCancel_data();
    void windowCancel();
    void escapeCancels();
    void closingDuringRunEndsIt();

    void cliStopsOnSigint();

private:
    QStringList paths;
    QStringList darks;
    void prepare(StackEngine& e);
    // Starts the window's operation; when the progress bar reaches `after`, `stop` is called.
    void runWindow(QPushButton* button, int after, const std::function<void()>& stop);
};

void TestCancel::init()
{
    QVERIFY(createWindow());
    paths = fixtures::writeSequence(*dir, QStringLiteral("p"), planets(kFrames));
    QVector<QImage> d;
    for (int i = 0; i < kFrames; ++i)
        d << synth::renderDark(160, 120, quint32(7 + i), 3.0, 1.0, 10);
    darks = fixtures::writeSequence(*dir, QStringLiteral("d"), d);
    QCOMPARE(paths.size(), kFrames);
    QCOMPARE(darks.size(), kFrames);
}

void TestCancel::prepare(StackEngine& e)
{
    QCOMPARE(e.prepareSequence(paths.first()), StackEngine::Status::Ok);
    e.addFrames(paths);
    QCOMPARE(batch::pickReference(e, fixtures::referenceRequest(0, 75, 2, 20), nullptr), batch::PickResult::Ok);
}

void TestCancel::loopStopsBetweenFrames_data()
{
    QTest::addColumn<QString>("step");
    for (const char* s : {"Quality analysis", "Alignment", "Refinement", "Stacking"})
        QTest::newRow(s) << QString::fromLatin1(s);
}

void TestCancel::loopStopsBetweenFrames()
{
    QFETCH(QString, step);
    StackEngine e;
    prepare(e);
    Stopper full;
    if (step != QLatin1String("Quality analysis"))
        QVERIFY(batch::alignAll(e, full.progress()));
    QCOMPARE(full.log.filter(QStringLiteral("cancelled")).size(), 0);

    Stopper s;
    s.after = kStopAfter;
    // Earlier results of the records that must survive.
    std::vector<FrameRecord> before;
    for (int i = 0; i < kFrames; ++i)
        before.push_back(e.frames->record(i));
    if (step == QLatin1String("Quality analysis")) {
        QVERIFY(!batch::analyzeQuality(e, s.progress()));
        QVERIFY(!e.qualityAnalysed);
    } else if (step == QLatin1String("Alignment")) {
        QVERIFY(batch::alignAll(e, s.progress()));
    } else if (step == QLatin1String("Refinement")) {
        QVERIFY(batch::refineAll(e, s.progress()));
    } else {
        QVERIFY(batch::stackAll(e, s.progress()));
        QVERIFY(e.stackReady);
    }
    QCOMPARE(s.log.last(), step + QStringLiteral(" cancelled after 2 of 6 frames."));
    for (const QString& line : s.log.mid(0, s.log.size() - 1))
        QVERIFY2(!line.contains(QLatin1String("cancelled")), qPrintable(line));
    QCOMPARE(s.done, kStopAfter);

    for (int i = 0; i < kFrames; ++i) {
        const FrameRecord r = e.frames->record(i);
        const bool done = i < kStopAfter;
        if (step == QLatin1String("Quality analysis"))
            QVERIFY2(done ? r.quality >= 0 : r.quality < 0, qPrintable(QString::number(i)));
        else if (step == QLatin1String("Alignment"))
            QCOMPARE(r.aligned, done || before[std::size_t(i)].aligned);
        else if (step == QLatin1String("Refinement"))
            QCOMPARE(r.refined, done);
        else
            QCOMPARE(r.stacked, done);
    }
    if (step == QLatin1String("Quality analysis")) {
        // The two rated frames span the range.
        QCOMPARE(std::max(e.frames->record(0).quality, e.frames->record(1).quality), 100.0f);
        QCOMPARE(std::min(e.frames->record(0).quality, e.frames->record(1).quality), 0.0f);
    }
}

void TestCancel::partialStackEqualsStackOfFramesDone()
{
    StackEngine e;
    prepare(e);
    Stopper align;
    QVERIFY(batch::alignAll(e, align.progress()));

    Stopper cancelled;
    cancelled.after = 3;
    QVERIFY(batch::stackAll(e, cancelled.progress()));
    QVERIFY(!cancelled.shown.isEmpty());
    const QImage partial = cancelled.shown.last();
    const int width = e.accumulator->width, height = e.accumulator->height;
    const std::vector<float> partialSums(e.accumulator->data.get(), e.accumulator->data.get() + e.accumulator->floatCount());

    Stopper firstThree;
    firstThree.unchecked = {3, 4, 5};
    QVERIFY(batch::stackAll(e, firstThree.progress()));
    QCOMPARE(firstThree.log.filter(QStringLiteral("cancelled")).size(), 0);
    QCOMPARE(windowfixture::firstDifference(partial, firstThree.shown.last()), QString());
    QCOMPARE(width, e.accumulator->width);
    QCOMPARE(height, e.accumulator->height);
    QVERIFY(partialSums == std::vector<float>(e.accumulator->data.get(), e.accumulator->data.get() + e.accumulator->floatCount()));
}

void TestCancel::cancelledQualityAnalysisRunsAgain()
{
    StackEngine e;
    prepare(e);
    Stopper s;
    s.after = 1;
    QVERIFY(!batch::analyzeQuality(e, s.progress()));
    // The next analysis rates every frame.
    Stopper again;
    QVERIFY(batch::analyzeQuality(e, again.progress()));
    QVERIFY(e.qualityAnalysed);
    QCOMPARE(again.log.filter(QStringLiteral("raw quality of ")).size(), kFrames);
    for (int i = 0; i < kFrames; ++i)
        QVERIFY(e.frames->record(i).quality >= 0);
}

void TestCancel::cancelBeforeFirstFrameStacksNothing()
{
    StackEngine e;
    prepare(e);
    Stopper align;
    QVERIFY(batch::alignAll(e, align.progress()));
    Stopper s;
    s.after = 0;
    QVERIFY(batch::stackAll(e, s.progress()));
    QCOMPARE(s.log.last(), QStringLiteral("Stacking cancelled after 0 of 6 frames."));
    QVERIFY(!e.stackReady);
    QVERIFY(s.shown.isEmpty());
}

void TestCancel::cancelledMasterDarkKeepsFramesSummed()
{
    StackEngine e;
    prepare(e);
    e.setDarkList(darks);
    Stopper s;
    s.after = 3;
    QVERIFY(batch::buildMasterDark(e, s.progress()));
    QCOMPARE(s.log.last(), QStringLiteral("Master darkframe cancelled after 3 of 6 frames."));
    QVERIFY(!e.masterDarkBuilt);
    QVERIFY(e.masterDark);
    QCOMPARE(e.masterDark->value(5, 5, 3), 3.0f);

    // The next stacking run builds it again from every dark frame; a cancel during that build
    // ends the run before any frame is stacked.
    Stopper stack;
    stack.after = 1;
    QVERIFY(batch::stackAll(e, stack.progress()));
    QCOMPARE(stack.log.last(), QStringLiteral("Master darkframe cancelled after 1 of 6 frames."));
    QVERIFY(!stack.log.contains(QStringLiteral("finished.")));
    QVERIFY(!e.stackReady);
    Stopper whole;
    QVERIFY(batch::buildMasterDark(e, whole.progress()));
    QVERIFY(e.masterDarkBuilt);
    QCOMPARE(e.masterDark->value(5, 5, 3), float(kFrames));
}

void TestCancel::runWindow(QPushButton* button, int after, const std::function<void()>& stop)
{
    bool stopped = false;
    const QMetaObject::Connection c = connect(w->progressBar, &QProgressBar::valueChanged, this, [&](int value) {
        if (value >= after && !stopped) {
            stopped = true;
            QVERIFY(w->isBusy());
            QVERIFY(w->progressBar->isVisible());
            QVERIFY(w->pbCancel->isVisible());
            QVERIFY(w->pbCancel->isEnabled());
            QCOMPARE(w->progressBar->maximum(), kFrames);
            stop();
        }
    });
    button->click();
    disconnect(c);
    QVERIFY(stopped);
}

void TestCancel::windowCancel_data()
{
    QTest::addColumn<QString>("step");
    for (const char* s : {"Quality analysis", "Alignment", "Refinement", "Stacking", "Master darkframe"})
        QTest::newRow(s) << QString::fromLatin1(s);
}

void TestCancel::windowCancel()
{
    QFETCH(QString, step);
    showWindow();
    w->openFiles(paths);
    w->ui.pbWeight->click();
    QVERIFY(w->engine.referenceReady);
    QPushButton* button = nullptr;
    if (step == QLatin1String("Quality analysis")) {
        button = w->ui.pbQSelect;
    } else if (step == QLatin1String("Alignment")) {
        button = w->ui.pbAlign;
    } else if (step == QLatin1String("Refinement")) {
        w->ui.pbAlign->click();
        button = w->ui.pbRefine;
    } else {
        w->ui.pbAlign->click();
        button = w->ui.pbStack2;
        if (step == QLatin1String("Master darkframe"))
            w->engine.setDarkList(darks);
    }
    runWindow(button, kStopAfter, [this] { w->pbCancel->click(); });

    QCOMPARE(log().last(), step + QStringLiteral(" cancelled after 2 of 6 frames."));
    QCOMPARE(w->lblStatus->text(), QStringLiteral("Ready."));
    QVERIFY(!w->isBusy());
    QVERIFY(!w->progressBar->isVisible());
    QVERIFY(!w->pbCancel->isVisible());
    QVERIFY(w->ui.pbAlign->isEnabled());
    QVERIFY(w->ui.pbStack2->isEnabled());
    if (step == QLatin1String("Stacking")) {
        QVERIFY(w->engine.stackReady);
        QCOMPARE(shown(), w->engine.normalizeStack().convertToFormat(QImage::Format_RGB32));
    }
    // The next run is not cancelled by the old request.
    const int start = log().size();
    w->ui.pbAlign->click();
    QCOMPARE(logSince(start).filter(QStringLiteral("cancelled")).size(), 0);
    QCOMPARE(logSince(start).filter(QStringLiteral("Aligned ")).size(), kFrames);
}

void TestCancel::escapeCancels()
{
    showWindow();
    w->openFiles(paths);
    w->ui.pbWeight->click();
    runWindow(w->ui.pbAlign, kStopAfter, [this] { QTest::keyClick(w.get(), Qt::Key_Escape); });
    QCOMPARE(log().last(), QStringLiteral("Alignment cancelled after 2 of 6 frames."));
    // Without a run Esc does nothing.
    const int start = log().size();
    QTest::keyClick(w.get(), Qt::Key_Escape);
    w->ui.pbAlign->click();
    QCOMPARE(logSince(start).filter(QStringLiteral("cancelled")).size(), 0);
}

void TestCancel::closingDuringRunEndsIt()
{
    showWindow();
    w->openFiles(paths);
    w->ui.pbWeight->click();
    runWindow(w->ui.pbAlign, kStopAfter, [this] { QVERIFY(w->close()); });
    QVERIFY(!w->isVisible());
    QVERIFY(!w->isBusy());
    QCOMPARE(log().last(), QStringLiteral("Alignment cancelled after 2 of 6 frames."));
    for (int i = kStopAfter; i < kFrames; ++i)
        QVERIFY(!w->engine.frames->record(i).aligned);
}

void TestCancel::cliStopsOnSigint()
{
#ifndef Q_OS_UNIX
    QSKIP("signals are a Unix feature");
#else
    // Frames large and many enough that the run is still aligning when the signal arrives.
    const QStringList big = fixtures::writeSequence(*dir, QStringLiteral("big"), planets(24, 480, 360));
    const QString output = dir->filePath(QStringLiteral("out.png"));
    QProcess p;
    p.start(QStringLiteral(NEBULO_CLI_PATH), QStringList{QStringLiteral("-o"), output, QStringLiteral("--refine")} + big);
    QVERIFY(p.waitForStarted());
    QByteArray out;
    while (!out.contains("Aligned ") && p.state() == QProcess::Running) {
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }
    QVERIFY2(out.contains("Aligned "), out.constData());
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(60000));
    out += p.readAllStandardOutput();
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 130);
    QVERIFY(!QFile::exists(output));
    const QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    static const QRegularExpression where(
        QStringLiteral("^(Alignment|Refinement|Stacking) cancelled after \\d+ of 24 frames\\.$"));
    QVERIFY2(where.match(lines.last()).hasMatch(), qPrintable(lines.last()));
    QCOMPARE(QString::fromUtf8(p.readAllStandardError()).trimmed(),
             QStringLiteral("nebulo-cli: interrupted, no output written"));
#endif
}

QTEST_MAIN(TestCancel)
#include "tst_cancel.moc"
