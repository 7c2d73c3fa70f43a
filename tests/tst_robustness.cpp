// Unlucky inputs and a busy machine: thread and memory limits, files that are not what they seem,
// runs that produce nothing. Each case once left the program hanging, dying or losing a file.

#include "fixtures.h"

#include "batch.h"
#include "framecache.h"
#include "memory.h"
#include "parallel.h"
#include "stackengine.h"

#include "imagesave.h"
#include "quality.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QImageWriter>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <future>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NEBULO_SANITIZED 1
#endif

namespace {

struct Result {
    QStringList log;
    QImage stack;
};

Result pipeline(const QStringList& paths, int threads)
{
    parallel::setThreadCount(threads);
    Result r;
    StackEngine e;
    batch::Progress p;
    p.log = [&r](const QString& line) { r.log << line; };
    if (e.prepareSequence(paths.first()) != StackEngine::Status::Ok)
        return r;
    e.addFrames(paths);
    batch::analyzeQuality(e, p);
    if (batch::pickReference(e, fixtures::referenceRequest(0, 60, 1, 6), nullptr) != batch::PickResult::Ok)
        return r;
    batch::alignAll(e, p);
    batch::refineAll(e, p);
    batch::stackAll(e, p);
    r.stack = e.colorAdjusted();
    r.log = fixtures::maskTimes(r.log);
    return r;
}

QStringList squares(const QTemporaryDir& dir, int count)
{
    QVector<QImage> images;
    for (int i = 0; i < count; ++i)
        images << fixtures::brightSquare(120, 90, 58 + i % 3, 44 - i % 2, 11);
    return fixtures::writeSequence(dir, QStringLiteral("sq"), images);
}

struct Cli {
    bool finished = false; // within the time allowed
    bool crashed = false;  // ended by a signal
    int status = -1;
    QStringList out, err;
};

// The batch command, optionally under limits set in the child before it starts.
Cli runCli(const QStringList& arguments, const std::function<void()>& limits = {}, int seconds = 120)
{
    QProcess p;
    if (limits)
        p.setChildProcessModifier(limits);
    p.start(QStringLiteral(NEBULO_CLI_PATH), arguments);
    Cli r;
    r.finished = p.waitForFinished(seconds * 1000);
    if (!r.finished) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.crashed = p.exitStatus() != QProcess::NormalExit;
    r.status = r.crashed ? -1 : p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(p.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return r;
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A PNG whose header claims width x height pixels (its data are those of a tiny image).
QByteArray pngClaiming(int width, int height)
{
    QByteArray png;
    {
        QBuffer b(&png);
        b.open(QIODevice::WriteOnly);
        fixtures::solid(4, 4, qRgb(9, 9, 9)).save(&b, "PNG");
    }
    auto put32 = [&png](int at, quint32 v) {
        for (int i = 0; i < 4; ++i)
            png[at + i] = char((v >> (24 - 8 * i)) & 0xff);
    };
    put32(16, quint32(width));
    put32(20, quint32(height));
    // CRC-32 of the chunk type and data, as PNG defines it.
    quint32 crc = 0xffffffffu;
    for (int i = 12; i < 29; ++i) {
        crc ^= quint8(png[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    put32(29, ~crc);
    return png;
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

} // namespace

class TestRobustness : public QObject {
    Q_OBJECT

private slots:
    // First, while no worker thread of this process exists yet: when the system refuses every new
    // thread (or all but one), the loops still end, on the threads there are, with the same result.
    void noWorkerThreadCanStart_data()
    {
        QTest::addColumn<int>("startsAllowed");
        QTest::newRow("none") << 0;
        QTest::newRow("one") << 1;
    }
    void noWorkerThreadCanStart()
    {
        QFETCH(int, startsAllowed);
        QTemporaryDir dir;
        const QStringList paths = squares(dir, 12);
        const Result serial = pipeline(paths, 1);
        QVERIFY(!serial.stack.isNull());

        parallel::failThreadStartsAfter(startsAllowed);
        auto run = std::async(std::launch::async, [&paths] { return pipeline(paths, 4); });
        const bool finished = run.wait_for(std::chrono::seconds(120)) == std::future_status::ready;
        parallel::failThreadStartsAfter(-1);
        if (!finished)
            qFatal("the loops wait for threads that were never started");
        const Result limited = run.get();
        QCOMPARE(limited.log, serial.log);
        QVERIFY(limited.stack == serial.stack);
        parallel::setThreadCount(0);
    }

    // The control group's limit, from either layout of the control-group file system; the smallest
    // limit along the group's ancestors counts.
    void cgroupLimit_data()
    {
        QTest::addColumn<QByteArray>("cgroupFile");
        QTest::addColumn<QStringList>("files"); // path=content
        QTest::addColumn<qint64>("expected");
        QTest::newRow("v2 own limit") << QByteArray("0::/user/job\n")
                                      << QStringList{QStringLiteral("user/job/memory.max=2147483648\n"),
                                                     QStringLiteral("user/memory.max=max\n")}
                                      << qint64(2147483648);
        QTest::newRow("v2 parent lower") << QByteArray("0::/user/job\n")
                                         << QStringList{QStringLiteral("user/job/memory.max=max\n"),
                                                        QStringLiteral("user/memory.max=1073741824\n")}
                                         << qint64(1073741824);
        QTest::newRow("v2 unlimited") << QByteArray("0::/a\n") << QStringList{QStringLiteral("a/memory.max=max\n")}
                                      << qint64(-1);
        QTest::newRow("v1 memory controller")
            << QByteArray("12:pids:/x\n4:memory:/box/7\n1:cpu,cpuacct:/\n")
            << QStringList{QStringLiteral("memory/box/7/memory.limit_in_bytes=536870912\n"),
                           QStringLiteral("memory/memory.limit_in_bytes=9223372036854771712\n")}
            << qint64(536870912);
        QTest::newRow("v1 limit at the root only")
            << QByteArray("4:cpu,memory:/gone\n")
            << QStringList{QStringLiteral("memory/memory.limit_in_bytes=805306368\n")} << qint64(805306368);
        QTest::newRow("no memory controller") << QByteArray("3:cpu:/a\n") << QStringList() << qint64(-1);
    }
    void cgroupLimit()
    {
        QFETCH(QByteArray, cgroupFile);
        QFETCH(QStringList, files);
        QFETCH(qint64, expected);
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("fs"));
        QDir().mkpath(root);
        for (const QString& f : files) {
            const int eq = f.indexOf(QLatin1Char('='));
            writeFile(root + QLatin1Char('/') + f.left(eq), f.mid(eq + 1).toUtf8());
        }
        writeFile(dir.filePath(QStringLiteral("cgroup")), cgroupFile);
        QCOMPARE(memory::cgroupMemoryLimit(dir.filePath(QStringLiteral("cgroup")), root), expected);
    }

    // Under an address-space limit the default budget is a quarter of that limit, not of the machine.
    void defaultBudgetWithinAddressSpaceLimit()
    {
#ifdef NEBULO_SANITIZED
        QSKIP("the sanitizers reserve more address space than any limit leaves");
#else
        const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
        const qint64 physical = qint64(pages) * pageSize;
        const qint64 limit = std::min<qint64>(physical / 2, qint64(8) << 30);
        struct rlimit saved;
        QCOMPARE(getrlimit(RLIMIT_AS, &saved), 0);
        if (saved.rlim_max != RLIM_INFINITY && qint64(saved.rlim_max) < limit)
            QSKIP("the hard limit is lower still");
        struct rlimit lowered = saved;
        lowered.rlim_cur = rlim_t(limit);
        QCOMPARE(setrlimit(RLIMIT_AS, &lowered), 0);
        const qint64 budget = FrameCache::defaultBudget();
        QCOMPARE(setrlimit(RLIMIT_AS, &saved), 0);
        const qint64 group = memory::cgroupMemoryLimit();
        QCOMPARE(budget, (group > 0 ? std::min(group, limit) : limit) / 4);
        if (group < 0 || group > limit)
            QVERIFY(FrameCache::defaultBudget() > budget); // the limit is gone again
#endif
    }

    // The output may not be one of the inputs, whichever name leads to it; nothing is touched.
    void outputThatIsAnInput_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a frame") << "frame";
        QTest::newRow("a link to a frame") << "symlink";
        QTest::newRow("another name of a frame") << "hardlink";
        QTest::newRow("a dark frame") << "dark";
    }
    void outputThatIsAnInput()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QStringList frames = squares(dir, 3);
        const QString dark = fixtures::write(dir, QStringLiteral("dark.png"), fixtures::solid(120, 90, qRgb(2, 2, 2)));
        QString output = kind == QLatin1String("dark") ? dark : frames[1];
        if (kind == QLatin1String("symlink")) {
            output = dir.filePath(QStringLiteral("link.png"));
            QVERIFY(QFile::link(frames[1], output));
        } else if (kind == QLatin1String("hardlink")) {
            output = dir.filePath(QStringLiteral("other-name.png"));
            QCOMPARE(::link(QFile::encodeName(frames[1]).constData(), QFile::encodeName(output).constData()), 0);
        }
        const QByteArray before = contents(output);
        const Cli r = runCli(QStringList{QStringLiteral("-q"), QStringLiteral("-o"), output, QStringLiteral("--dark"), dark} + frames);
        QCOMPARE(r.status, 2);
        QCOMPARE(r.err.size(), 1);
        QVERIFY2(r.err.first().contains(QLatin1String("is the input")), qPrintable(r.err.first()));
        QCOMPARE(contents(output), before);
        QCOMPARE(contents(kind == QLatin1String("dark") ? dark : frames[1]), before);
    }

    // A run that stacks nothing fails with one line and writes no file; the window's loop says so and
    // leaves nothing to save. The reference is a small blob; the best-rated frame is a fine pattern that
    // stays below the threshold even once its colours are matched to the reference's.
    void nothingStacked()
    {
        QTemporaryDir dir;
        QImage blob(120, 90, QImage::Format_RGB32), pattern(120, 90, QImage::Format_RGB32);
        for (int y = 0; y < 90; ++y) {
            QRgb* b = reinterpret_cast<QRgb*>(blob.scanLine(y));
            QRgb* c = reinterpret_cast<QRgb*>(pattern.scanLine(y));
            for (int x = 0; x < 120; ++x) {
                const int v = std::max(0, 200 - int(8 * std::hypot(x - 60, y - 45)));
                b[x] = qRgb(v, v, v);
                c[x] = ((x + y) & 1) ? qRgb(70, 70, 70) : qRgb(0, 0, 0);
            }
        }
        QVector<QImage> images{blob, pattern};
        const QStringList frames = fixtures::writeSequence(dir, QStringLiteral("n"), images);
        const QString output = dir.filePath(QStringLiteral("out.png"));
        const Cli r = runCli(QStringList{QStringLiteral("-q"), QStringLiteral("--best"), QStringLiteral("1"),
                                         QStringLiteral("-o"), output} + frames);
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err.size(), 1);
        QVERIFY2(r.err.first().contains(QLatin1String("no frame was stacked")), qPrintable(r.err.first()));
        QVERIFY(!QFile::exists(output));

        StackEngine e;
        e.addFrames(frames);
        QCOMPARE(batch::pickReference(e, fixtures::referenceRequest(0, 75, 2, 20), nullptr), batch::PickResult::Ok);
        fixtures::Recorder log;
        batch::Progress p = log.progress();
        p.selected = [](int i) { return i == 1; };
        QVERIFY(batch::alignAll(e, p));
        QVERIFY(batch::stackAll(e, p));
        QVERIFY(log.log.contains(QStringLiteral("No frame was stacked: there is no result to save.")));
        QVERIFY(!e.stackReady);
    }

    // A frame of another size is left out of the stack, named in the log; the stack keeps the size of
    // the sequence whatever frame came last.
    void otherSizeLeftOutOfTheStack()
    {
        QTemporaryDir dir;
        QVector<QImage> images;
        for (int i = 0; i < 4; ++i)
            images << fixtures::brightSquare(120, 90, 60, 45, 11);
        images << fixtures::brightSquare(130, 100, 60, 45, 11);
        const QStringList frames = fixtures::writeSequence(dir, QStringLiteral("o"), images);
        StackEngine e;
        e.addFrames(frames);
        QCOMPARE(batch::pickReference(e, fixtures::referenceRequest(0, 75, 2, 20), nullptr), batch::PickResult::Ok);
        fixtures::Recorder log;
        QVERIFY(batch::alignAll(e, log.progress()));
        QVERIFY(batch::stackAll(e, log.progress()));
        QCOMPARE(log.log.filter(QStringLiteral("different size")),
                 QStringList(2, QStringLiteral("Frame of a different size left out: ") + frames[4]));
        QVERIFY(log.log.contains(QStringLiteral("5 images processed, 4 stacked")));
        QCOMPARE(QSize(e.accumulator->width, e.accumulator->height), QSize(120, 90));
        QVERIFY(!e.frames->record(4).stacked);
    }

    // Formats that would change the stack's size or depth are refused, naming the format; the ones
    // that hold it are written.
    void formatsThatCannotHoldTheStack_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("grey");
        QTest::addColumn<QString>("named"); // empty: the file is written
        QTest::newRow("ico beyond 256") << "ico" << QSize(325, 244) << false << "ICO";
        QTest::newRow("cur beyond 256") << "cur" << QSize(300, 20) << false << "CUR";
        QTest::newRow("icns not square") << "icns" << QSize(325, 244) << false << "ICNS";
        QTest::newRow("webp beyond 16383") << "webp" << QSize(16384, 2) << false << "WebP";
        QTest::newRow("one-bit pbm") << "pbm" << QSize(20, 10) << false << "PBM";
        QTest::newRow("pgm of a colour stack (its grey, as asked)") << "pgm" << QSize(20, 10) << false << "";
        QTest::newRow("grey pgm of a grey stack") << "pgm" << QSize(20, 10) << true << "";
        QTest::newRow("small ico") << "ico" << QSize(64, 48) << false << "";
        QTest::newRow("png") << "png" << QSize(325, 244) << false << "";
    }
    void formatsThatCannotHoldTheStack()
    {
        QFETCH(QString, suffix);
        QFETCH(QSize, size);
        QFETCH(bool, grey);
        QFETCH(QString, named);
        if (!QImageWriter::supportedImageFormats().contains(suffix.toLatin1()))
            QSKIP("no writer for the format here");
        QTemporaryDir dir;
        QImage image = grey ? fixtures::solid(size.width(), size.height(), qRgb(80, 80, 80))
                            : fixtures::randomImage(size.width(), size.height(), 3);
        const QString path = dir.filePath(QStringLiteral("stack.") + suffix);
        QString error;
        const bool saved = imagesave::save(image, path, &error);
        if (named.isEmpty()) {
            QVERIFY2(saved, qPrintable(error));
            QCOMPARE(QImageReader(path).size(), size);
        } else {
            QVERIFY(!saved);
            QVERIFY2(error.contains(named), qPrintable(error));
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
        }
    }

    // The quality sum passes 2^31 on a large frame with much contrast; it stays positive and equals the
    // sum of its definition.
    void qualitySumBeyond32Bits()
    {
        const int w = 3000, h = 3000;
        QImage stripes(w, h, QImage::Format_RGB32);
        for (int y = 0; y < h; ++y) {
            QRgb* row = reinterpret_cast<QRgb*>(stripes.scanLine(y));
            for (int x = 0; x < w; ++x)
                row[x] = (x & 1) ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
        }
        // Every horizontal step is 255: S := trunc(S + 255) in single precision, in 64 bits.
        long long sum = 0, n = 0;
        const float d = fixtures::sharpnessLuma(qRgb(255, 255, 255)) - fixtures::sharpnessLuma(qRgb(0, 0, 0));
        for (long long i = 0; i < (long long)(h - 1) * (w - 2); ++i) {
            sum = (long long)(float(sum) + d);
            ++n;
        }
        QVERIFY(sum > (1LL << 31));
        const float q = kernels::gradientQualityH(stripes);
        QVERIFY(q > 0.0f);
        QCOMPARE(q, float(sum) / float(n));
    }

    // Only regular files are frames: a FIFO is refused at once instead of blocking the run.
    void fifoAsFrame()
    {
        QTemporaryDir dir;
        const QStringList frames = squares(dir, 3);
        const QString fifo = dir.filePath(QStringLiteral("pipe.png"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QString output = dir.filePath(QStringLiteral("out.png"));
        const Cli r = runCli(QStringList{QStringLiteral("-q"), QStringLiteral("-o"), output, frames[0], fifo, frames[1]},
                             {}, 30);
        QVERIFY2(r.finished, "the command blocked on the FIFO");
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err.size(), 1);
        QVERIFY2(r.err.first().contains(fifo) && r.err.first().contains(QLatin1String("not a regular file")),
                 qPrintable(r.err.first()));
        QVERIFY(!QFile::exists(output));
    }

    // When the reader of the log goes away (| head -1) the run goes on and writes its result.
    void logReaderGoesAway()
    {
        QTemporaryDir dir;
        const QStringList frames = squares(dir, 40);
        const QString output = dir.filePath(QStringLiteral("out.png"));
        QProcess shell;
        shell.start(QStringLiteral("bash"), QStringList{QStringLiteral("-c"), QStringLiteral("\"$0\" \"$@\" | head -1 >/dev/null; exit ${PIPESTATUS[0]}"),
                                                       QStringLiteral(NEBULO_CLI_PATH), QStringLiteral("--refine"),
                                                       QStringLiteral("-o"), output} + frames);
        QVERIFY(shell.waitForFinished(120000));
        QCOMPARE(shell.exitCode(), 0); // 141 when SIGPIPE ends the command
        QVERIFY(!QImage(output).isNull());
    }

    // Failure messages say why: a file the system will not let grow (as on a full disk), a frame
    // beyond the image reader's allocation limit, a pick outside the frame.
    void failuresSayWhy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("why");
        QTest::newRow("output cannot grow") << "fsize" << 1 << QString::fromLocal8Bit(std::strerror(EFBIG));
        QTest::newRow("frame beyond the allocation limit") << "huge" << 1 << "allocation limit of 256 MB";
        QTest::newRow("pick outside the frame") << "pick" << 2 << "outside the reference frame";
    }
    void failuresSayWhy()
    {
        QFETCH(QString, kind);
        QFETCH(int, status);
        QFETCH(QString, why);
        QTemporaryDir dir;
        QStringList frames = squares(dir, 3);
        const QString output = dir.filePath(QStringLiteral("out.png"));
        QStringList args{QStringLiteral("-q"), QStringLiteral("-o"), output};
        std::function<void()> limits;
        if (kind == QLatin1String("fsize")) {
            limits = [] {
                struct rlimit rl{16, 16};
                setrlimit(RLIMIT_FSIZE, &rl);
                std::signal(SIGXFSZ, SIG_IGN);
            };
        } else if (kind == QLatin1String("huge")) {
            const QString huge = dir.filePath(QStringLiteral("huge.png"));
            writeFile(huge, pngClaiming(60000, 60000));
            frames.insert(1, huge);
            args << QStringLiteral("--cache-mb") << QStringLiteral("64");
        } else {
            args << QStringLiteral("--pick") << QStringLiteral("120,10");
        }
        const Cli r = runCli(args + frames, limits);
        QCOMPARE(r.status, status);
        QCOMPARE(r.err.size(), 1);
        QVERIFY2(r.err.first().contains(why), qPrintable(r.err.first()));
        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("out*")}, QDir::Files), QStringList());
    }

    // Under a tight address-space limit the command either works or says it ran out of memory: never
    // a signal, never a file from a failed run.
    void addressSpaceLimits()
    {
#ifdef NEBULO_SANITIZED
        QSKIP("the sanitizers reserve more address space than any limit leaves");
#else
        QTemporaryDir dir;
        QVector<QImage> images;
        for (int i = 0; i < 3; ++i)
            images << fixtures::brightSquare(1800, 1400, 900 + i, 700, 41);
        QStringList frames;
        for (int i = 0; i < images.size(); ++i)
            frames << fixtures::write(dir, QStringLiteral("big%1.bmp").arg(i), images[i]);
        int worked = 0, refused = 0;
        for (int mb = 160; mb <= 560; mb += 40) {
            const QString output = dir.filePath(QStringLiteral("out%1.png").arg(mb));
            const Cli r = runCli(QStringList{QStringLiteral("-q"), QStringLiteral("--threads"), QStringLiteral("2"),
                                             QStringLiteral("-o"), output} + frames,
                                 [mb] {
                                     struct rlimit rl{rlim_t(mb) << 20, rlim_t(mb) << 20};
                                     setrlimit(RLIMIT_AS, &rl);
                                 });
            QVERIFY2(r.finished && !r.crashed, qPrintable(QStringLiteral("%1 MB: ended by a signal").arg(mb)));
            if (r.status == 0) {
                ++worked;
                QVERIFY(QFile::exists(output));
                continue;
            }
            ++refused;
            QCOMPARE(r.status, 1);
            QCOMPARE(r.err.size(), 1);
            QVERIFY2(r.err.first().contains(QLatin1String("memory")), qPrintable(QStringLiteral("%1 MB: %2").arg(mb).arg(r.err.first())));
            QVERIFY(!QFile::exists(output));
        }
        qInfo("%d limits worked, %d ran out of memory", worked, refused);
        QVERIFY(refused > 0); // the sweep reaches limits that are too small
#endif
    }

    // ---- state the other suites do not pin down

    // A file that cannot be read is tried once per identity, not on every pass.
    void cacheRemembersUnreadableFiles()
    {
        QTemporaryDir dir;
        const QString broken = fixtures::writeCorrupt(dir, QStringLiteral("broken.png"));
        StackEngine e;
        QVERIFY(!e.loadFrame(broken));
        const qint64 tried = e.cache->preparedCount();
        QVERIFY(!e.loadFrame(broken));
        QVERIFY(!e.loadFrame(broken));
        QCOMPARE(e.cache->preparedCount(), tried);
    }

    // Read-ahead decodes the frames that take part and no other, in every loop.
    void readAheadOnlyDecodesCheckedFrames()
    {
        QTemporaryDir dir;
        const QStringList frames = squares(dir, 12);
        parallel::setThreadCount(4);
        StackEngine e;
        e.addFrames(frames);
        QCOMPARE(batch::pickReference(e, fixtures::referenceRequest(0, 60, 1, 6), nullptr), batch::PickResult::Ok);
        const qint64 afterPick = e.cache->preparedCount(); // the reference frame
        batch::Progress p;
        p.selected = [](int i) { return i % 3 == 0; }; // 0, 3, 6, 9
        QVERIFY(batch::analyzeQuality(e, p));
        QVERIFY(batch::alignAll(e, p));
        QVERIFY(batch::refineAll(e, p));
        QVERIFY(batch::stackAll(e, p));
        parallel::setThreadCount(0);
        QCOMPARE(e.cache->preparedCount() - afterPick, qint64(3));
    }

    // A pick that fails (no feature, unreadable frame) leaves every setting it changed as it was.
    void failedPickRestoresSettings_data()
    {
        QTest::addColumn<bool>("unreadable");
        QTest::newRow("no feature") << false;
        QTest::newRow("unreadable frame") << true;
    }
    void failedPickRestoresSettings()
    {
        QFETCH(bool, unreadable);
        QTemporaryDir dir;
        QStringList frames = squares(dir, 2);
        frames << (unreadable ? fixtures::writeCorrupt(dir, QStringLiteral("bad.png"))
                              : fixtures::write(dir, QStringLiteral("dark.png"), fixtures::solid(120, 90, qRgb(1, 1, 1))));
        StackEngine e;
        e.addFrames(frames);
        QCOMPARE(batch::pickReference(e, fixtures::referenceRequest(0, 60, 1, 6), nullptr), batch::PickResult::Ok);
        e.maxDx = 3;
        e.minDy = -2;
        const FloatImage* accumulator = e.accumulator.get();
        batch::ReferenceRequest request = fixtures::referenceRequest(2, 60, 4, 15);
        request.scale = 3;
        QCOMPARE(batch::pickReference(e, request, nullptr),
                 unreadable ? batch::PickResult::Unreadable : batch::PickResult::NotFound);
        QCOMPARE(e.supersample, false);
        QCOMPARE(e.scaleFactor, 1);
        QCOMPARE(e.filterSize, 1);
        QCOMPARE(e.searchRadius, 6);
        QCOMPARE(e.accumulator.get(), accumulator);
        QCOMPARE(e.sequenceSize, QSize(120, 90));
        QCOMPARE(e.maxDx, 3);
        QCOMPARE(e.minDy, -2);
        QCOMPARE(e.frames->referenceIndex, 0);
        QVERIFY(e.referenceReady);
    }
};

QTEST_GUILESS_MAIN(TestRobustness)
#include "tst_robustness.moc"
