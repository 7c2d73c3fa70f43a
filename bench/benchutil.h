#pragma once
// A small timing harness: runs a piece of work repeatedly and prints the median and the fastest run.

#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <functional>
#include <vector>

namespace bench {

struct Timing {
    double medianMs = 0;
    double minMs = 0;
};

inline Timing measure(const std::function<void()>& work, int runs)
{
    work(); // warm-up: caches, lazy tables, thread pool
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        work();
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.front()};
}

// CPU time of the process so far (every thread), in ms.
inline double cpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

inline void report(const QString& name, const Timing& t)
{
    std::printf("%-52s median %9.3f ms   min %9.3f ms\n", qPrintable(name), t.medianMs, t.minMs);
    std::fflush(stdout);
}

// Runs and reports; the number of runs shrinks for slow work so that a case takes about a second.
inline void run(const QString& name, const std::function<void()>& work, int maxRuns = 200)
{
    QElapsedTimer probe;
    probe.start();
    work();
    const double once = std::max(0.001, double(probe.nsecsElapsed()) / 1e6);
    const int runs = std::max(5, std::min(maxRuns, int(1000.0 / once)));
    report(name, measure(work, runs));
}

} // namespace bench
