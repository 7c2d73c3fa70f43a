#pragma once
// A small timing harness: runs a piece of work repeatedly and prints the median and the fastest run.

#include <QByteArray>
#include <QElapsedTimer>
#include <QImage>
#include <QString>
#include <QStringList>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

// One single-threaded pass decoding the files with the toolkit's reader, the measure the whole pass
// is compared with: elapsed milliseconds (and the CPU milliseconds when cpu is given).
inline double decodePassMs(const QStringList& files, double* cpu = nullptr)
{
    const double cpu0 = cpuMs();
    QElapsedTimer t;
    t.start();
    qint64 pixels = 0;
    for (const QString& f : files) {
        QImage image;
        image.load(f);
        pixels += image.width();
    }
    if (pixels == 0)
        std::printf("decoding failed\n");
    if (cpu)
        *cpu = cpuMs() - cpu0;
    return double(t.nsecsElapsed()) / 1e6;
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

// One run of a program to its end.
struct Usage {
    double ms = -1;    // elapsed; negative when the program could not be started
    double cpuMs = 0;  // user and system time of the program
    double peakMb = 0; // its peak resident memory
    int status = -1;   // its exit status (-1: killed or not started)
    bool ok() const { return status == 0; }
};

inline Usage runProgram(const QByteArray& program, const QStringList& arguments)
{
    std::vector<QByteArray> storage{program};
    for (const QString& a : arguments)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : storage)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    QElapsedTimer t;
    t.start();
    pid_t pid = 0;
    Usage u;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return u;
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    u.ms = double(t.nsecsElapsed()) / 1e6;
    u.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    u.peakMb = usage.ru_maxrss / 1024.0;
    u.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return u;
}

} // namespace bench
