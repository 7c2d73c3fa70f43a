// The batch command, run as a process: the same log lines and the same image as a user of the window
// who performs the same steps, and one clear line on standard error for every kind of bad input.

#include "fixtures.h"
#include "nebulo.h"

#include <QFile>
#include <QGraphicsScene>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

namespace {

using fixtures::maskTimes;

using Run = fixtures::CliRun;
using fixtures::runCli;

// A planet that wanders and blurs from frame to frame, with a little noise.
QVector<QImage> planetFrames(int count)
{
    QVector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        synth::Planet p;
        p.width = 160;
        p.height = 120;
        p.radius = 26;
        p.cx = 78 + (i * 7 % 5) - 2 + 0.3 * (i % 3);
        p.cy = 61 + (i * 3 % 5) - 2;
        p.blur = 0.3 + 0.25 * ((i * 5) % 9);
        p.noise = 1.5;
        p.seed = quint32(100 + i);
        frames << synth::renderPlanet(p);
    }
    return frames;
}

QVector<QImage> darkFrames(int count)
{
    QVector<QImage> darks;
    for (int i = 0; i < count; ++i)
        darks << synth::renderDark(160, 120, quint32(7 + i), 3.0, 1.0, 10);
    return darks;
}

QStringList logLines(const Nebulo& w)
{
    QStringList lines = w.ui.teDebug->toPlainText().split(QLatin1Char('\n'));
    lines = lines.mid(5); // the start-up paragraphs
    lines.removeAll(QString());
    return lines;
}

QStringList splitTriple(const QString& s) { return s.split(QLatin1Char(',')); }

// What a user of the window does for the same options as the batch command.
struct WindowSteps {
    QStringList frames;
    QStringList darks;
    bool preprocess = false;
    double quality = -1; // min-quality mode when >= 0
    int best = 0;        // frame-count mode when > 0
    int reference = 0;
    int threshold = 75;
    QPoint pick{-1, -1};
    bool refine = false;
    int stackFilter = 0;
    QString cutoff;
    bool lumaStack = false;
    QString gain, gamma, offset;
    int lvbStrength = 0;
    double lvbBlend = 1.0;
    bool lumaOut = false;
};

QImage runWindow(const WindowSteps& s, QStringList* log)
{
    Nebulo w;
    w.prompts.question = [](const QString& title, const QString&, const QString&) {
        return title == QLatin1String("Build darkframe?") ? QMessageBox::Yes : QMessageBox::No;
    };
    w.prompts.warning = [](QWidget*, const QString&, const QString&) {};
    w.openFiles(s.frames);
    if (!s.darks.isEmpty())
        w.openDarkFiles(s.darks);
    if (s.preprocess) {
        w.ui.cbPreviewDarkframe->setChecked(true);
        w.setPreviewDarkframe();
    }
    if (s.quality >= 0 || s.best > 0) {
        const QSignalBlocker b1(w.ui.sbQPerc), b2(w.ui.sbQFrames);
        w.ui.cbMinQuality->setChecked(s.quality >= 0);
        if (s.quality >= 0)
            w.ui.sbQPerc->setValue(s.quality);
        else
            w.ui.sbQFrames->setValue(s.best);
    }
    if (s.quality >= 0 || s.best > 0)
        w.ui.pbQSelect->click();
    w.ui.lwFrames->setCurrentRow(s.reference);
    if (s.pick.x() >= 0) {
        // The value the inspector shows at the pixel, as a click sets it.
        const QColor c = w.engine.pixelColourAt(w.ui.sbFilter->value(), s.pick.x(), s.pick.y());
        w.ui.sbWeight->setValue(int(StackEngine::luminanceOf(c) * 255.0));
    } else {
        w.ui.sbWeight->setValue(s.threshold);
    }
    w.ui.pbWeight->click();
    w.ui.pbAlign->click();
    if (s.refine)
        w.ui.pbRefine->click();
    w.ui.sbStackFilter->setValue(s.stackFilter);
    if (!s.cutoff.isEmpty()) {
        const QStringList c = splitTriple(s.cutoff);
        w.ui.sbMinusR->setValue(c[0].toInt());
        w.ui.sbMinusG->setValue(c[1].toInt());
        w.ui.sbMinusB->setValue(c[2].toInt());
    }
    w.ui.cbLuma->setChecked(s.lumaStack);
    w.ui.pbStack2->click();
    {
        // The controls are set quietly; one adjustColors() then applies them all.
        const QList<QWidget*> quiet = {w.ui.sbGainR, w.ui.sbGainG, w.ui.sbGainB, w.ui.sbGammaR, w.ui.sbGammaG,
                                       w.ui.sbGammaB, w.ui.sbOffsetR, w.ui.sbOffsetG, w.ui.sbOffsetB, w.ui.sblvb,
                                       w.ui.sblvbBlend};
        for (QWidget* q : quiet)
            q->blockSignals(true);
        auto setTriple = [&](const QString& text, QDoubleSpinBox* r, QDoubleSpinBox* g, QDoubleSpinBox* b) {
            if (text.isEmpty())
                return;
            const QStringList v = splitTriple(text);
            r->setValue(v[0].toDouble());
            g->setValue(v[1].toDouble());
            b->setValue(v[2].toDouble());
        };
        setTriple(s.gain, w.ui.sbGainR, w.ui.sbGainG, w.ui.sbGainB);
        setTriple(s.gamma, w.ui.sbGammaR, w.ui.sbGammaG, w.ui.sbGammaB);
        setTriple(s.offset, w.ui.sbOffsetR, w.ui.sbOffsetG, w.ui.sbOffsetB);
        if (s.lvbStrength > 0) {
            w.ui.cblvb->setChecked(true);
            w.ui.sblvb->setValue(s.lvbStrength);
            w.ui.sblvbBlend->setValue(s.lvbBlend);
        }
        w.ui.cbLumaOut->setChecked(s.lumaOut);
        for (QWidget* q : quiet)
            q->blockSignals(false);
    }
    w.adjustColors();
    *log = logLines(w);
    return w.engine.colorAdjusted();
}

QStringList cliArguments(const WindowSteps& s, const QString& output)
{
    QStringList a{QStringLiteral("-o"), output};
    for (const QString& d : s.darks)
        a << QStringLiteral("--dark") << d;
    if (s.preprocess)
        a << QStringLiteral("--preprocess");
    if (s.quality >= 0)
        a << QStringLiteral("--quality") << QString::number(s.quality);
    if (s.best > 0)
        a << QStringLiteral("--best") << QString::number(s.best);
    a << QStringLiteral("--reference") << QString::number(s.reference);
    if (s.pick.x() >= 0)
        a << QStringLiteral("--pick") << QStringLiteral("%1,%2").arg(s.pick.x()).arg(s.pick.y());
    else
        a << QStringLiteral("--threshold") << QString::number(s.threshold);
    if (s.refine)
        a << QStringLiteral("--refine");
    a << QStringLiteral("--stack-filter") << QString::number(s.stackFilter);
    if (!s.cutoff.isEmpty())
        a << QStringLiteral("--cutoff") << s.cutoff;
    if (s.lumaStack)
        a << QStringLiteral("--luma-stack");
    if (!s.gain.isEmpty())
        a << QStringLiteral("--gain") << s.gain;
    if (!s.gamma.isEmpty())
        a << QStringLiteral("--gamma") << s.gamma;
    if (!s.offset.isEmpty())
        a << QStringLiteral("--offset") << s.offset;
    if (s.lvbStrength > 0)
        a << QStringLiteral("--lvb") << QStringLiteral("%1,%2").arg(s.lvbStrength).arg(s.lvbBlend);
    if (s.lumaOut)
        a << QStringLiteral("--luma-out");
    return a + s.frames;
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        frames = fixtures::writeSequence(dir, QStringLiteral("planet"), planetFrames(12));
        darks = fixtures::writeSequence(dir, QStringLiteral("dark"), darkFrames(3));
        QCOMPARE(frames.size(), 12);
        QCOMPARE(darks.size(), 3);
    }

    void sameAsTheWindow_data()
    {
        QTest::addColumn<int>("variant");
        QTest::newRow("defaults") << 0;
        QTest::newRow("quality, refine, filter, colours") << 1;
        QTest::newRow("best, darks, preprocessing, cutoff, luminance") << 2;
        QTest::newRow("pick, reference, boost, luminance output, negative offset") << 3;
        QTest::newRow("darks subtracted while stacking") << 4;
    }

    // The batch command logs the lines the window logs and writes the image the window shows.
    void sameAsTheWindow()
    {
        QFETCH(int, variant);
        WindowSteps s;
        s.frames = frames;
        switch (variant) {
        case 1:
            s.quality = 50;
            s.refine = true;
            s.stackFilter = 1;
            s.gain = QStringLiteral("1.2,1,0.9");
            s.gamma = QStringLiteral("0.9,1,1.1");
            break;
        case 2:
            s.best = 5;
            s.darks = darks;
            s.preprocess = true;
            s.cutoff = QStringLiteral("5,6,7");
            s.lumaStack = true;
            s.threshold = 60;
            break;
        case 3:
            s.reference = 3;
            s.pick = QPoint(80, 58);
            s.lvbStrength = 2;
            s.lvbBlend = 0.5;
            s.lumaOut = true;
            s.offset = QStringLiteral("-0.02,0,0.01");
            break;
        case 4:
            s.darks = darks;
            s.refine = true;
            break;
        default:
            break;
        }
        QStringList windowLog;
        const QImage windowImage = runWindow(s, &windowLog);
        QVERIFY(!windowImage.isNull());

        const QString output = dir.filePath(QStringLiteral("variant%1.png").arg(variant));
        const Run r = runCli(cliArguments(s, output));
        QCOMPARE(r.err, QStringList());
        QCOMPARE(r.status, 0);
        QCOMPARE(maskTimes(r.out), maskTimes(windowLog));
        QVERIFY(windowLog.size() > 10);

        const QImage written(output);
        QCOMPARE(written.size(), windowImage.size());
        QCOMPARE(written.convertToFormat(QImage::Format_RGB32), windowImage);
    }

    // Frames cut from one image at known offsets stack back to that image wherever all of them
    // cover it.
    void shiftedFramesStackBackToTheImage()
    {
        synth::Planet p;
        p.width = 200;
        p.height = 160;
        p.cx = 100;
        p.cy = 80;
        p.radius = 30;
        const QImage base = synth::renderPlanet(p);
        const QVector<QPoint> shifts = {{0, 0}, {3, -2}, {-4, 1}, {2, 5}, {-1, -3}};
        QVector<QImage> shiftedFrames;
        for (const QPoint& s : shifts)
            shiftedFrames << synth::shiftedCopy(base, s.x(), s.y());
        const QStringList paths = fixtures::writeSequence(dir, QStringLiteral("shifted"), shiftedFrames);
        const QString output = dir.filePath(QStringLiteral("shifted-stack.png"));
        const Run r = runCli(QStringList{QStringLiteral("-o"), output, QStringLiteral("-q")} + paths);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QStringList());

        const QImage stacked = QImage(output).convertToFormat(QImage::Format_RGB32);
        // Offsets span x -4..3 and y -3..5; the reference (offset 0) lands at (maxDx, maxDy).
        QCOMPARE(stacked.size(), QSize(200 + 7, 160 + 8));
        const int maxDx = 3, maxDy = 5;
        int compared = 0;
        for (int y = 5; y < 160 - 3; ++y) {
            for (int x = 3; x < 200 - 4; ++x) {
                QCOMPARE(stacked.pixel(x + maxDx, y + maxDy), base.pixel(x, y));
                ++compared;
            }
        }
        QVERIFY(compared > 20000);
    }

    void badInput_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("mention"); // what the error line must name
        QTest::addColumn<int>("expectedStatus");
        QTest::newRow("missing frame") << "missing" << "nope.png" << 1;
        QTest::newRow("corrupt frame") << "corrupt" << "broken.png" << 1;
        QTest::newRow("corrupt dark") << "corrupt-dark" << "broken-dark.png" << 1;
        QTest::newRow("output in a missing folder") << "unwritable" << "no-such-folder" << 1;
        QTest::newRow("output with an unknown suffix") << "suffix" << "xyz" << 1;
        QTest::newRow("no feature in the reference") << "nofeature" << "threshold" << 1;
        QTest::newRow("threshold out of range") << "opt:--threshold,256" << "--threshold" << 2;
        QTest::newRow("radius out of range") << "opt:--radius,0" << "--radius" << 2;
        QTest::newRow("two values for a triple") << "opt:--gain,1,2" << "--gain" << 2;
        QTest::newRow("offset below -1") << "opt:--offset,-1.5,0,0" << "--offset" << 2;
        QTest::newRow("unknown option") << "opt:--frobnicate" << "frobnicate" << 2;
        QTest::newRow("quality and best together") << "opt:--quality,50,--best,3" << "--best" << 2;
        QTest::newRow("reference beyond the sequence") << "opt:--reference,12" << "--reference" << 2;
        QTest::newRow("lvb blend out of range") << "opt:--lvb,3,0" << "--lvb" << 2;
        QTest::newRow("no output") << "no-output" << "output" << 2;
    }

    // One line on standard error, a failure status and no output file; an existing file stays.
    void badInput()
    {
        QFETCH(QString, kind);
        QFETCH(QString, mention);
        QFETCH(int, expectedStatus);
        QString output = dir.filePath(QStringLiteral("bad-%1.png").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')));
        const QByteArray previous("previous result, must survive");
        QStringList args;
        QStringList inputs = frames.mid(0, 4);
        if (kind == QLatin1String("missing")) {
            inputs.insert(2, dir.filePath(QStringLiteral("nope.png")));
        } else if (kind == QLatin1String("corrupt")) {
            inputs.insert(2, fixtures::writeCorrupt(dir, QStringLiteral("broken.png")));
        } else if (kind == QLatin1String("corrupt-dark")) {
            args << QStringLiteral("--dark") << darks[0] << QStringLiteral("--dark") << fixtures::writeCorrupt(dir, QStringLiteral("broken-dark.png"));
        } else if (kind == QLatin1String("unwritable")) {
            output = dir.filePath(QStringLiteral("no-such-folder/out.png"));
        } else if (kind == QLatin1String("suffix")) {
            output = dir.filePath(QStringLiteral("out.xyz"));
        } else if (kind == QLatin1String("nofeature")) {
            args << QStringLiteral("--threshold") << QStringLiteral("255");
        } else if (kind.startsWith(QLatin1String("opt:"))) {
            const QStringList opt = kind.mid(4).split(QLatin1Char(','));
            // Re-join values that belong to one option ("--gain 1,2").
            for (int i = 0; i < opt.size(); ++i) {
                if (opt[i].startsWith(QLatin1String("--"))) {
                    args << opt[i];
                } else {
                    QString value = opt[i];
                    while (i + 1 < opt.size() && !opt[i + 1].startsWith(QLatin1String("--")))
                        value += QLatin1Char(',') + opt[++i];
                    args << value;
                }
            }
        }
        {
            QFile existing(output);
            if (existing.open(QIODevice::WriteOnly))
                existing.write(previous);
        }
        const QStringList outputArgs = kind == QLatin1String("no-output") ? QStringList() : QStringList{QStringLiteral("-o"), output};
        const Run r = runCli(outputArgs + args + inputs);
        QCOMPARE(r.status, expectedStatus);
        QCOMPARE(r.err.size(), 1);
        QVERIFY2(r.err.first().contains(mention), qPrintable(r.err.first()));
        QFile existing(output);
        if (kind == QLatin1String("unwritable")) {
            QVERIFY(!existing.exists());
        } else if (kind != QLatin1String("no-output")) {
            QVERIFY(existing.open(QIODevice::ReadOnly));
            QCOMPARE(existing.readAll(), previous);
        }
        // No temporary file is left next to the output.
        const QStringList leftovers = QDir(dir.path()).entryList({QStringLiteral("bad-*")}, QDir::Files);
        for (const QString& f : leftovers)
            QVERIFY2(f.endsWith(QLatin1String(".png")), qPrintable(f));
    }

    // Threads and the frame cache change how fast, never what: same log lines, same image.
    void threadsAndCacheLeaveTheResult()
    {
        const QStringList common = QStringList{QStringLiteral("--dark"), darks[0], QStringLiteral("--dark"), darks[1],
                                               QStringLiteral("--preprocess"), QStringLiteral("--quality"), QStringLiteral("30"),
                                               QStringLiteral("--refine"), QStringLiteral("--stack-filter"), QStringLiteral("1")}
            + frames;
        QStringList reference;
        QImage referenceImage;
        const QList<QStringList> settings = {
            {},
            {QStringLiteral("--threads"), QStringLiteral("1"), QStringLiteral("--cache-mb"), QStringLiteral("0")},
            {QStringLiteral("--threads"), QStringLiteral("2"), QStringLiteral("--cache-mb"), QStringLiteral("0")},
            {QStringLiteral("--threads"), QStringLiteral("3"), QStringLiteral("--cache-mb"), QStringLiteral("1")},
        };
        for (int i = 0; i < settings.size(); ++i) {
            const QString output = dir.filePath(QStringLiteral("threads%1.png").arg(i));
            const Run r = runCli(QStringList{QStringLiteral("-o"), output} + settings[i] + common);
            QCOMPARE(r.status, 0);
            const QImage image(output);
            QVERIFY(!image.isNull());
            if (i == 0) {
                reference = maskTimes(r.out);
                referenceImage = image;
                QVERIFY(reference.filter(QStringLiteral("refine result of ")).size() >= 3);
                continue;
            }
            QCOMPARE(maskTimes(r.out), reference);
            QCOMPARE(image, referenceImage);
        }
        for (const QStringList& bad : {QStringList{QStringLiteral("--threads"), QStringLiteral("0")},
                                       QStringList{QStringLiteral("--cache-mb"), QStringLiteral("-1")}}) {
            const Run r = runCli(QStringList{QStringLiteral("-o"), dir.filePath(QStringLiteral("never.png"))} + bad + frames);
            QCOMPARE(r.status, 2);
            QCOMPARE(r.err.size(), 1);
            QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("never.png"))));
        }
    }

    void versionAndHelp()
    {
        const Run version = runCli({QStringLiteral("--version")});
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out, QStringList{QStringLiteral("Nebulo v0.1.2")});
        const Run help = runCli({QStringLiteral("--help")});
        QCOMPARE(help.status, 0);
        const QString text = help.out.join(QLatin1Char('\n'));
        for (const char* option : {"--output", "--dark", "--preprocess", "--reference", "--pick", "--quality", "--best",
                                   "--refine", "--stack-filter", "--cutoff", "--luma-weights", "--lvb", "--luma-out", "--quiet"})
            QVERIFY2(text.contains(QLatin1String(option)), option);
    }

    // --quiet prints nothing but still writes the image; without it the log ends with the stacking summary.
    void quietAndLog()
    {
        const QString out1 = dir.filePath(QStringLiteral("quiet.png"));
        const Run quiet = runCli(QStringList{QStringLiteral("-q"), QStringLiteral("-o"), out1} + frames.mid(0, 3));
        QCOMPARE(quiet.status, 0);
        QVERIFY(quiet.out.isEmpty());
        QVERIFY(QFile::exists(out1));
        const QString out2 = dir.filePath(QStringLiteral("loud.png"));
        const Run loud = runCli(QStringList{QStringLiteral("-o"), out2} + frames.mid(0, 3));
        QCOMPARE(loud.status, 0);
        QVERIFY(loud.out.contains(QStringLiteral("3 images processed, 3 stacked")));
        QCOMPARE(QImage(out1), QImage(out2));
    }

private:
    QTemporaryDir dir;
    QStringList frames;
    QStringList darks;
};

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
