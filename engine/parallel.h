#pragma once
// Row-parallel loops for the pixel kernels. Each kernel gives every row (or block of rows) the same
// arithmetic whether one thread or many run it, so results never depend on the thread count.

#include <functional>

namespace parallel {

// Number of threads the kernels may use; 0 or less selects all cores.
void setThreadCount(int threads);
int threadCount();

// Runs fn(begin, end) over [first, last) split into contiguous blocks, on up to threadCount()
// threads (the calling thread takes part) and returns when every block is done. Small ranges and
// calls from inside a block run on the calling thread.
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

} // namespace parallel
