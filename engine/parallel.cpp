#include "parallel.h"

#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <atomic>

namespace parallel {
namespace {

std::atomic<int> g_threads{0};
thread_local bool t_insideBlock = false;

QThreadPool& pool()
{
    static QThreadPool* instance = [] {
        auto* p = new QThreadPool;
        p->setExpiryTimeout(-1);
        return p;
    }();
    return *instance;
}

} // namespace

SerialScope::SerialScope()
    : previous_(t_insideBlock)
{
    t_insideBlock = true;
}

SerialScope::~SerialScope()
{
    t_insideBlock = previous_;
}

void setThreadCount(int threads)
{
    g_threads = threads > 0 ? threads : 0;
}

int threadCount()
{
    const int requested = g_threads.load();
    if (requested > 0)
        return requested;
    return std::max(1, QThread::idealThreadCount());
}

void forRange(int first, int last, const std::function<void(int, int)>& fn, int minBlock)
{
    const int count = last - first;
    if (count <= 0)
        return;
    const int threads = threadCount();
    const int blocks = std::min(threads, std::max(1, count / std::max(1, minBlock)));
    if (blocks <= 1 || t_insideBlock) {
        fn(first, last);
        return;
    }
    QThreadPool& p = pool();
    if (p.maxThreadCount() < blocks - 1)
        p.setMaxThreadCount(blocks - 1);

    QSemaphore done;
    auto blockRange = [&](int b, int& begin, int& end) {
        begin = first + int((long long)count * b / blocks);
        end = first + int((long long)count * (b + 1) / blocks);
    };
    for (int b = 1; b < blocks; ++b) {
        int begin, end;
        blockRange(b, begin, end);
        p.start([&fn, &done, begin, end] {
            t_insideBlock = true;
            fn(begin, end);
            t_insideBlock = false;
            done.release();
        });
    }
    int begin, end;
    blockRange(0, begin, end);
    t_insideBlock = true;
    fn(begin, end);
    t_insideBlock = false;
    done.acquire(blocks - 1);
}

} // namespace parallel
