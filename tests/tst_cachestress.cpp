// The frame cache and the read-ahead under pressure: a budget of a few frames, many threads and
// thousands of small frames. Meant to be run under the thread and address sanitizers as well.

#include "fixtures.h"

#include "batch.h"
#include "framecache.h"
#include "parallel.h"
#include "stackengine.h"

#include <QtTest>

#include <atomic>
#include <future>
#include <random>
#include <thread>

namespace {

// A frame whose every pixel names its index, so a frame handed out for the wrong key shows.
QImage numbered(int index, int side)
{
    return fixtures::solid(side, side, qRgb(index & 0xff, (index >> 8) & 0xff, 77));
}

int numberOf(const QImage& image)
{
    const QRgb p = image.pixel(image.width() - 1, image.height() - 1);
    return qRed(p) | (qGreen(p) << 8);
}

struct Run {
    QStringList log;
    QImage stack;
    qint64 peak = 0; // largest bytes in use + reserved seen between frames
};

Run stackSequence(const QStringList& paths, qint64 budget, int threads)
{
    parallel::setThreadCount(threads);
    Run run;
    StackEngine e;
    e.cache->setBudget(budget);
    batch::Progress p;
    p.log = [&](const QString& line) {
        run.log << line;
        run.peak = std::max(run.peak, e.cache->bytesInUse() + e.cache->reservedBytes());
    };
    if (e.prepareSequence(paths.first()) != StackEngine::Status::Ok)
        return run;
    e.addFrames(paths);
    batch::analyzeQuality(e, p);
    if (batch::pickReference(e, fixtures::referenceRequest(0, 60, 1, 6), nullptr) != batch::PickResult::Ok)
        return run;
    batch::alignAll(e, p);
    batch::refineAll(e, p);
    batch::stackAll(e, p);
    run.stack = e.colorAdjusted();
    run.log = fixtures::maskTimes(run.log);
    parallel::setThreadCount(0);
    return run;
}

} // namespace

class TestCacheStress : public QObject {
    Q_OBJECT

private slots:
    // Many threads obtain, read ahead and reserve over thousands of keys while evictions run: every
    // frame handed out is the one asked for, and at the end nothing is left reserved or over budget.
    void concurrentObtainAndEviction()
    {
        FrameCache cache;
        const int side = 8;
        const qint64 frame = side * side * 4;
        cache.setBudget(3 * frame);
        const int keys = 3000;
        const int threads = 8;
        std::atomic<int> wrong{0}, failures{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                std::mt19937 random(quint32(t + 1));
                for (int n = 0; n < keys; ++n) {
                    const int index = int(random() % keys);
                    const QString key = QString::number(index);
                    // One key in a hundred cannot be prepared.
                    auto prepare = [index, side](QImage& out) {
                        if (index % 100 == 99)
                            return false;
                        out = numbered(index, side);
                        return true;
                    };
                    QImage image;
                    const int mode = int(random() % 4);
                    if (mode == 0) {
                        cache.obtain(key, prepare, image, FrameCache::Use::Ahead);
                        continue;
                    }
                    if (mode == 1 && cache.reserve(frame)) {
                        const bool ok = cache.obtain(key, prepare, image, FrameCache::Use::Ahead, frame);
                        if (ok && !image.isNull() && numberOf(image) != index)
                            ++wrong;
                        continue;
                    }
                    const bool ok = cache.obtain(key, prepare, image);
                    if (ok != (index % 100 != 99))
                        ++failures;
                    else if (ok && numberOf(image) != index)
                        ++wrong;
                    if (n % 500 == 0)
                        cache.releaseReadAhead();
                }
            });
        }
        for (std::thread& w : workers)
            w.join();
        QCOMPARE(wrong.load(), 0);
        QCOMPARE(failures.load(), 0);
        QCOMPARE(cache.reservedBytes(), qint64(0));
        cache.releaseReadAhead();
        QVERIFY(cache.bytesInUse() <= 3 * frame);
    }

    // The whole pipeline over a long sequence of small frames with a budget of a few frames, or of part
    // of the sequence (frames resident and frames streaming through), and more threads than cores: the
    // result and the log equal those of one thread without a cache, and what the cache and the read-ahead
    // hold never exceeds the budget.
    void longSequenceTinyBudget_data()
    {
        QTest::addColumn<int>("frames");
        QTest::newRow("budget of four frames") << 4;
        QTest::newRow("budget of sixty frames") << 60;
    }
    void longSequenceTinyBudget()
    {
        QFETCH(int, frames);
        if (paths.isEmpty()) {
            QVERIFY(dir.isValid());
            QVector<QImage> images;
            for (int i = 0; i < 1200; ++i)
                images << fixtures::brightSquare(80, 64, 38 + i % 5, 30 + i % 4, 9);
            paths = fixtures::writeSequence(dir, QStringLiteral("s"), images);
            serial = stackSequence(paths, 0, 1);
        }
        QVERIFY(!serial.stack.isNull());
        const qint64 budget = frames * 80 * 64 * 4;
        const Run busy = stackSequence(paths, budget, 8);
        QCOMPARE(busy.log, serial.log);
        QVERIFY(busy.stack == serial.stack);
        QVERIFY2(busy.peak <= budget, qPrintable(QString::number(busy.peak)));
    }

private:
    QTemporaryDir dir;
    QStringList paths;
    Run serial;
};

QTEST_GUILESS_MAIN(TestCacheStress)
#include "tst_cachestress.moc"
