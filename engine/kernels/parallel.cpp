#include "parallel.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <system_error>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace parallel {
namespace {

#if defined(__x86_64__)
__attribute__((target("avx"))) void zeroUpperHalves()
{
    _mm256_zeroupper();
}

bool hasAvx()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
}
#endif

std::atomic<int> g_threads{0};
std::atomic<int> g_startsLeft{-1};
thread_local bool t_insideBlock = false;

Workers& pool()
{
    static Workers* instance = new Workers(1); // never destroyed: threads may still wait at exit
    return *instance;
}

// One forRange call, shared with the helper tasks (a helper may start after the call has returned).
struct Blocks {
    const std::function<void(int, int)>* fn = nullptr;
    int first = 0, count = 0, blocks = 0;
    std::atomic<int> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    int done = 0;
    std::exception_ptr error;

    // Takes blocks until none is left.
    void work()
    {
        for (;;) {
            const int b = next.fetch_add(1);
            if (b >= blocks)
                return;
            const int begin = first + int((long long)count * b / blocks);
            const int end = first + int((long long)count * (b + 1) / blocks);
            const bool previous = t_insideBlock;
            t_insideBlock = true;
            std::exception_ptr thrown;
            try {
                clearVectorState();
                (*fn)(begin, end);
            } catch (...) {
                thrown = std::current_exception();
            }
            t_insideBlock = previous;
            std::lock_guard<std::mutex> lock(mutex);
            if (thrown && !error)
                error = thrown;
            if (++done == blocks)
                finished.notify_all();
        }
    }
};

} // namespace

void clearVectorState()
{
#if defined(__x86_64__)
    static const bool avx = hasAvx();
    if (avx)
        zeroUpperHalves();
#endif
}

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

void failThreadStartsAfter(int count)
{
    g_startsLeft = count < 0 ? -1 : count;
}

Workers::Workers(int maxThreads)
    : maxThreads_(std::max(1, maxThreads))
{
}

Workers::~Workers()
{
    waitForDone();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

void Workers::setMaxThreads(int maxThreads)
{
    std::lock_guard<std::mutex> lock(mutex_);
    maxThreads_ = std::max(maxThreads_, maxThreads);
}

bool Workers::start(std::function<void()> task)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (idle_ <= int(queue_.size()) && int(threads_.size()) < maxThreads_) {
        int left = g_startsLeft.load();
        bool allowed = left < 0;
        while (left > 0 && !(allowed = g_startsLeft.compare_exchange_weak(left, left - 1))) {
        }
        if (allowed) {
            try {
                threads_.emplace_back([this] { run(); });
            } catch (const std::system_error&) {
                // The system refuses another thread: the ones there are do the work.
            }
        }
    }
    if (threads_.empty())
        return false;
    queue_.push_back(std::move(task));
    lock.unlock();
    wake_.notify_one();
    return true;
}

void Workers::waitForDone()
{
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
}

int Workers::pending()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return int(queue_.size()) + busy_;
}

void Workers::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idle_;
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (queue_.empty())
            return; // stopping
        std::function<void()> task = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        try {
            task();
        } catch (...) {
            // A task reports its own failures; one that escapes must not end the process.
        }
        task = nullptr;
        lock.lock();
        --busy_;
        if (queue_.empty() && busy_ == 0)
            done_.notify_all();
    }
}

void forRange(int first, int last, const std::function<void(int, int)>& fn, int minBlock)
{
    const int count = last - first;
    if (count <= 0)
        return;
    const int threads = threadCount();
    const int blocks = std::min(threads, std::max(1, count / std::max(1, minBlock)));
    if (blocks <= 1 || t_insideBlock) {
        clearVectorState();
        fn(first, last);
        return;
    }
    Workers& p = pool();
    p.setMaxThreads(blocks - 1);

    auto shared = std::make_shared<Blocks>();
    shared->fn = &fn;
    shared->first = first;
    shared->count = count;
    shared->blocks = blocks;
    for (int b = 1; b < blocks; ++b) {
        if (!p.start([shared] { shared->work(); }))
            break;
    }
    shared->work();
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->finished.wait(lock, [&] { return shared->done == blocks; });
    if (shared->error)
        std::rethrow_exception(shared->error);
}

} // namespace parallel
