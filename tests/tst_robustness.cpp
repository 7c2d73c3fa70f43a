// Unlucky inputs and a busy machine: thread and memory limits, files that are not what they seem,
// runs that produce nothing. Each case once left the program hanging, dying or losing a file.

#include "fixtures.h"

#include "batch.h"
#include "framecache.h"
#include "memory.h"
#include "parallel.h"
#include "stackengine.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <chrono>
#include <future>

#include <sys/resource.h>
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
};

QTEST_GUILESS_MAIN(TestRobustness)
#include "tst_robustness.moc"
