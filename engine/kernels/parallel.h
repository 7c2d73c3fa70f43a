#pragma once
// Row-parallel loops for the pixel kernels. Each kernel gives every row (or block of rows) the same
// arithmetic whether one thread or many run it, so results never depend on the thread count.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace parallel {

// Number of threads the kernels may use; 0 or less selects all cores.
void setThreadCount(int threads);
int threadCount();

// Leaves the upper halves of the 256-bit vector registers of this thread clean. Code elsewhere in the
// process (in the toolkit and the C library) may use them and leave them dirty; while they are, every
// instruction of the plain SSE kernels waits on them, and a kernel runs two to three times slower.
// forRange calls it before each block; a kernel that runs on the calling thread calls it on entry.
void clearVectorState();

// Runs fn(begin, end) over [first, last) split into contiguous blocks, on up to threadCount()
// threads (the calling thread takes part) and returns when every block is done. Small ranges and
// calls from inside a block run on the calling thread. Blocks go to whichever thread is free, so when
// no worker thread can be started the calling thread does them all. An exception thrown by fn (on any
// thread) is thrown again on the calling thread once no block runs any more.
void forRange(int first, int last, const std::function<void(int, int)>& fn, int minBlock = 32);

// While it exists, forRange on this thread runs on this thread alone (for work that is already spread
// over threads frame by frame).
class SerialScope {
public:
    SerialScope();
    ~SerialScope();
    SerialScope(const SerialScope&) = delete;
    SerialScope& operator=(const SerialScope&) = delete;

private:
    bool previous_;
};

// Threads that run the tasks given to them in order. A thread is started when a task finds none
// free, up to maxThreads. When the system refuses to start one (thread or process limits), the tasks
// wait for the threads there are; with none at all, start() refuses the task and the caller does the
// work itself. Tasks report their own failures (an exception that escapes one is dropped).
class Workers {
public:
    explicit Workers(int maxThreads);
    ~Workers(); // waits for every task given, then ends the threads
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    void setMaxThreads(int maxThreads);
    // False when no thread runs and none can be started; the task is then dropped.
    bool start(std::function<void()> task);
    // Returns when every task given so far has finished.
    void waitForDone();
    // Tasks given and not finished yet (waiting or running).
    int pending();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> threads_;
    int maxThreads_ = 1;
    int idle_ = 0;
    int busy_ = 0;
    bool stopping_ = false;
};

// For tests: after this many more thread starts, starting a thread fails as it does under a process's
// thread limit (a negative count: no such failures).
void failThreadStartsAfter(int count);

} // namespace parallel
