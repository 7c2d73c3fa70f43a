#include "batch.h"

#include "framecache.h"
#include "framework.h"
#include "parallel.h"
#include "quality.h"
#include "readers.h"
#include "stacking.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <new>
#include <numeric>
#include <optional>

namespace batch {
namespace {

// Processing times are whole milliseconds of elapsed time.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    long long milliseconds() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

QString seconds(double s) { return QString::number(s, 'f', 2); }

QString percent(int index, int count) { return QString::number(100.0 / count * index, 'f', 1) + QStringLiteral("%"); }

// Alignment and refinement need a picked target and discard any stack; false (with the reason logged)
// when there is no target yet.
bool startPositionRun(StackEngine& e, const Progress& progress)
{
    if (!e.referenceReady) {
        progress.say(QStringLiteral("No target picked yet: click on the target in the image or press \"Update\" first."));
        return false;
    }
    if (e.accumulator)
        e.accumulator->clear();
    e.stackReady = false;
    return true;
}

void finishPositionRun(const Progress& progress, int analysed, int valid, const Stopwatch& total)
{
    progress.say(QString::number(analysed) + QStringLiteral(" images analyzed, ") + QString::number(valid)
                 + QStringLiteral(" valid"));
    progress.say(QStringLiteral("Total processing time: ") + seconds(total.milliseconds() / 1000.0) + QStringLiteral("s"));
    progress.setStatus(QStringLiteral("Ready."));
}

// While the loop works on one frame, worker threads prepare the next frames that take part: they load
// them into the frame cache and, where the loop has per-frame work that depends only on the frame
// (Compute), do that work too. The loop itself, its order, its log lines and its event processing are
// unchanged; it takes each prepared result in sequence order. The loop's thread is one of the threads
// the work may use: there is one worker thread fewer than threads, a frame no worker has started yet is
// done by the loop's thread itself, and while it waits for a frame a worker is preparing, it does the
// next frame no worker has started. Work done on the loop's thread runs there alone (no row-parallel
// helpers), so no more threads are runnable than the cores the work may use. A frame that fails to load
// is left to the loop, which reports it at its turn. What read-ahead holds counts against the cache's
// budget: a frame is read ahead only when the budget has room for it (and its work) beside the frames the
// cache must keep, and only when a worker thread can be started; otherwise the loop does the work itself.
template <class Work>
class ReadAhead {
public:
    using Compute = std::function<void(int index, const QImage& frame, Work& work)>;

    ReadAhead(StackEngine& engine, const Progress& progress, Compute compute = Compute())
        : engine_(engine), progress_(progress), compute_(std::move(compute))
    {
        const int threads = parallel::threadCount();
        // A frame read ahead is held as the frame and, with work, one more image of its size.
        frameBytes_ = engine.frameImage.sizeInBytes() * (compute_ ? 2 : 1);
        if (threads > 1 && frameBytes_ > 0) {
            workers_ = std::make_unique<parallel::Workers>(threads - 1);
            depth_ = threads + 1;
        }
    }
    ~ReadAhead()
    {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            for (auto& entry : slots_)
                if (entry.second->state == State::Queued)
                    entry.second->state = State::Cancelled;
        }
        workers_.reset(); // waits for the tasks
        for (auto& entry : slots_)
            engine_.cache->unreserve(entry.second->reserved);
        engine_.cache->releaseReadAhead();
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Frames the loop handles without reading them: they are not read ahead.
    void skipping(std::function<bool(int)> skip) { skip_ = std::move(skip); }

    // Called before the loop processes frame i: schedules the next frames that take part.
    void before(int i)
    {
        const int n = engine_.frames->count();
        int queued = 0;
        for (int j = i + 1; j < n && queued < depth_; ++j) {
            if (!progress_.takesPart(j) || (skip_ && skip_(j)))
                continue;
            ++queued;
            if (j <= highest_)
                continue;
            if (!schedule(j))
                return; // no room or no thread now; tried again before the next frame
            highest_ = j;
        }
    }

    // True while worker threads load or work on frames ahead: the loop's own kernels then run on
    // its thread alone.
    bool busy() const { return workers_ && workers_->pending() > 0; }

    // The work done ahead for frame i (by a worker, or now by this thread when no worker has started
    // it); false when the loop must do it itself.
    bool take(int i, Work& work)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        auto it = slots_.find(i);
        if (it == slots_.end())
            return false;
        std::shared_ptr<Slot> slot = it->second;
        slots_.erase(it);
        if (slot->state == State::Queued) {
            slot->state = State::Running;
            lock.unlock();
            run(*slot);
            lock.lock();
        }
        while (slot->state == State::Running) {
            // A worker prepares this frame: meanwhile this thread does the first frame none has started.
            std::shared_ptr<Slot> next;
            for (auto& entry : slots_) {
                if (entry.second->state == State::Queued) {
                    next = entry.second;
                    break;
                }
            }
            if (!next) {
                done_.wait(lock);
                continue;
            }
            next->state = State::Running;
            lock.unlock();
            run(*next);
            lock.lock();
        }
        engine_.cache->unreserve(slot->reserved);
        if (slot->state != State::Done)
            return false;
        work = std::move(slot->work);
        return true;
    }

private:
    enum class State { Queued, Running, Done, Failed, Cancelled };
    struct Slot {
        State state = State::Queued;
        Work work;
        qint64 reserved = 0;
        int index = 0;
        FrameRequest request;
    };

    // Loads the slot's frame and does its work, on the calling thread alone; the slot is Running.
    void run(Slot& slot)
    {
        const parallel::SerialScope serial;
        bool loaded = false;
        Work work;
        try {
            QImage frame;
            const FrameRequest& request = slot.request;
            loaded = engine_.cache->obtain(request.key, [&request](QImage& out) { return request.prepare(out); }, frame,
                                           FrameCache::Use::Now, 0, request.keep);
            if (loaded)
                compute_(slot.index, frame, work);
        } catch (const std::bad_alloc&) {
            loaded = false; // the loop does this frame itself and reports what happens then
            work = Work();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        slot.work = std::move(work);
        slot.state = loaded ? State::Done : State::Failed;
        done_.notify_all();
    }

    bool schedule(int j)
    {
        if (!workers_)
            return false;
        const FrameRequest request = engine_.frameRequest(engine_.frames->path(j));
        const std::shared_ptr<FrameCache> cache = engine_.cache;
        const qint64 bytes = frameBytes_;
        if (!cache->reserve(bytes))
            return false;
        if (!compute_) {
            // Loading only: the frame waits in the cache for the loop; the reservation passes to it.
            const bool started = workers_->start([request, cache, bytes] {
                QImage image;
                try {
                    cache->obtain(request.key, [&request](QImage& out) { return request.prepare(out); }, image,
                                  FrameCache::Use::Ahead, bytes, request.keep);
                } catch (const std::bad_alloc&) {
                    // The loop loads the frame itself and reports what happens then.
                }
            });
            if (!started)
                cache->unreserve(bytes);
            return started;
        }
        auto slot = std::make_shared<Slot>();
        slot->reserved = bytes;
        slot->index = j;
        slot->request = request;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            slots_[j] = slot;
        }
        const bool started = workers_->start([this, slot] {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (slot->state != State::Queued)
                    return; // taken by the loop's thread, or cancelled
                slot->state = State::Running;
            }
            run(*slot);
        });
        if (!started) {
            std::unique_lock<std::mutex> lock(mutex_);
            slots_.erase(j);
            cache->unreserve(bytes);
        }
        return started;
    }

    StackEngine& engine_;
    const Progress& progress_;
    Compute compute_;
    std::function<bool(int)> skip_;
    std::unique_ptr<parallel::Workers> workers_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::map<int, std::shared_ptr<Slot>> slots_;
    qint64 frameBytes_ = 0;
    int depth_ = 0;
    int highest_ = -1;
};

// The loop's own kernels on its thread alone while read-ahead keeps the other threads busy.
class SerialWhileBusy {
public:
    template <class Work>
    explicit SerialWhileBusy(const ReadAhead<Work>& readAhead)
    {
        if (readAhead.busy())
            serial_.emplace();
    }

private:
    std::optional<parallel::SerialScope> serial_;
};

// Goes through the frames that take part, in order, with the read-ahead preparing the next ones:
// body(i, prepared, clock) handles frame i, prepared being the work done ahead for it (null when
// there is none) and clock started before it. The loop's own kernels run on its thread alone while
// workers are busy. After each frame the progress steps and events are processed; the loop ends when
// body returns false. True when the user stopped it.
template <class Work, class Body>
bool eachFrame(StackEngine& e, const Progress& progress, ReadAhead<Work>& readAhead, int taking, Body body)
{
    int done = 0;
    for (int i = 0; i < e.frames->count(); ++i) {
        if (!progress.takesPart(i))
            continue;
        if (progress.stopRequested())
            return true;
        readAhead.before(i);
        const Stopwatch clock;
        Work prepared;
        const SerialWhileBusy serial(readAhead);
        const bool ready = readAhead.take(i, prepared);
        if (!body(i, ready ? &prepared : nullptr, clock))
            return false;
        progress.step(++done, taking);
        progress.processEvents();
    }
    return false;
}

bool alignPlanet(StackEngine& e, const Progress& progress);
bool alignSurface(StackEngine& e, const Progress& progress);
bool stackMultiPoint(StackEngine& e, const Progress& progress);

struct QualityWork {
    QImage frame;
    float rating = 0.0f;
};

// The master dark with progress and cancel; *cancelled tells whether the user stopped it.
bool buildDark(StackEngine& e, const Progress& progress, QStringList* leftOut, bool* cancelled)
{
    const int total = e.darkSequenceLoaded ? int(e.darkList.size()) : 0;
    int done = 0;
    *cancelled = false;
    const bool ok = e.buildMasterDark(progress.log, leftOut, [&](int d, int t) {
        done = d;
        progress.step(d, t);
        if (d > 0)
            progress.processEvents();
        if (progress.stopRequested()) {
            *cancelled = true;
            return false;
        }
        return true;
    });
    if (*cancelled)
        progress.say(cancelledLine(QStringLiteral("Master darkframe"), done, total));
    else if (ok && total > 0)
        progress.step(total, total);
    return ok;
}

// The number of frames a loop works on.
int framesTakingPart(const StackEngine& e, const Progress& progress)
{
    int total = 0;
    for (int i = 0; i < e.frames->count(); ++i)
        total += progress.takesPart(i) ? 1 : 0;
    return total;
}

// Runs one loop; when the memory runs out the loop ends there, with a log line naming the step.
template <class Body>
bool guarded(const Progress& progress, const QString& step, Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        progress.say(QStringLiteral("Out of memory while %1: the run was stopped.").arg(step));
        progress.setStatus(QStringLiteral("Ready."));
        if (progress.outOfMemory)
            progress.outOfMemory(step);
        return false;
    }
}

// Logs an unreadable frame; true when the run goes on.
bool reportUnreadable(const Progress& progress, const QString& path)
{
    progress.say(unreadableLine(path));
    return !progress.unreadable || progress.unreadable(path);
}

} // namespace

QString cancelledLine(const QString& step, int done, int total)
{
    return step + QStringLiteral(" cancelled after %1 of %2 frames.").arg(done).arg(total);
}

QString unreadableLine(const QString& path)
{
    return QStringLiteral("Could not read image file: ") + path;
}

QString otherSizeLine(const QString& path)
{
    return QStringLiteral("Frame of a different size left out: ") + path;
}

PickResult pickReference(StackEngine& e, const ReferenceRequest& request, QImage* preview)
{
    if (!e.frames->contains(request.index))
        return PickResult::NoSequence;

    const int oldFilter = e.filterSize, oldRadius = e.searchRadius, oldScale = e.scaleFactor;
    const bool oldSupersample = e.supersample;
    const bool oldStackReady = e.stackReady;
    const QSize oldSequenceSize = e.sequenceSize;
    const int oldExtents[4] = {e.maxDx, e.minDx, e.maxDy, e.minDy};
    auto restore = [&](std::unique_ptr<FloatImage> accumulator) {
        e.filterSize = oldFilter;
        e.searchRadius = oldRadius;
        e.scaleFactor = oldScale;
        e.supersample = oldSupersample;
        e.accumulator = std::move(accumulator);
        e.stackReady = oldStackReady;
        e.sequenceSize = oldSequenceSize;
        e.maxDx = oldExtents[0];
        e.minDx = oldExtents[1];
        e.maxDy = oldExtents[2];
        e.minDy = oldExtents[3];
    };

    e.filterSize = request.filter;
    e.searchRadius = request.radius;
    e.scaleFactor = std::max(1, request.scale);
    e.supersample = e.scaleFactor > 1;

    std::unique_ptr<FloatImage> previous = std::move(e.accumulator);
    try {
        const StackEngine::Status status = e.prepareSequence(e.frames->path(request.index));
        if (status != StackEngine::Status::Ok) {
            restore(std::move(previous));
            return status == StackEngine::Status::Unreadable ? PickResult::Unreadable : PickResult::OutOfMemory;
        }
        bool found = false;
        QImage shown = e.analyzeReference(request.index, request.threshold, &found);
        if (preview)
            *preview = shown.isNull() ? e.currentFrame() : shown;
        if (!found) {
            restore(std::move(previous));
            return PickResult::NotFound;
        }
        e.cutBasePattern();
    } catch (const std::bad_alloc&) {
        restore(std::move(previous));
        return PickResult::OutOfMemory;
    }
    e.referenceReady = true;
    return PickResult::Ok;
}

QString pickMessage(PickResult result, const StackEngine& engine, const ReferenceRequest& request)
{
    switch (result) {
    case PickResult::Ok:
        return QString();
    case PickResult::NoSequence:
        return QStringLiteral("Open an image sequence first, then pick the target in one of its frames.");
    case PickResult::Unreadable:
        return unreadableLine(engine.frames->path(request.index));
    case PickResult::NotFound:
        return QStringLiteral("No feature found at luminance threshold %1: try a lower threshold.").arg(request.threshold);
    case PickResult::OutOfMemory:
        return QStringLiteral("Not enough memory for the stacking image of this frame.");
    }
    return QString();
}

// Refinement searches a window of each frame around its aligned position. For a frame that is not one
// of the cache's residents, alignment cuts that window from the frame it has just read and the cache
// keeps it, so that refinement need not read the frame again. The tag names everything the window
// depends on besides the frame; a window cut under other settings is not used. Windows are kept only
// where refinement does not show the frames it matches.
static QString searchWindowTag(const FrameRecord& r, const RefineSettings& s)
{
    return QString::number(r.x) + QLatin1Char(',') + QString::number(r.y) + QLatin1Char(',') + QString::number(s.radius)
        + QLatin1Char(',') + QString::number(s.basePattern.width()) + QLatin1Char(',')
        + QString::number(s.basePattern.height()) + QLatin1Char(',') + QString::number(quint64(s.referenceColor.rgba64()), 16)
        + (r.isReference ? QStringLiteral(",reference") : QString());
}

static void keepSearchWindow(StackEngine& e, int i, const RefineSettings& settings)
{
    const FrameRequest request = e.frameRequest(e.frames->path(i));
    if (!request.keep || e.cache->isResident(request.key))
        return;
    const FrameRecord r = e.frames->record(i);
    e.cache->keepPiece(request.key, searchWindowTag(r, settings),
                       cutSearchWindow(e.frameImage, e.workImage, r.isReference, r.x, r.y, e.meanColourFn(), settings));
}

static bool alignLoop(StackEngine& e, const Progress& progress)
{
    if (e.alignMode == AlignMode::Planet)
        return alignPlanet(e, progress);
    if (e.alignMode == AlignMode::Surface)
        return alignSurface(e, progress);
    if (!startPositionRun(e, progress))
        return false;
    for (int i = 0; i < e.frames->count(); ++i)
        if (progress.takesPart(i))
            e.frames->update(i, [](FrameRecord& r) {
                r.subPixel = false;
                r.edgeCut = false;
            });
    const Stopwatch total;
    const int n = e.frames->count();
    int analysed = 0, valid = 0;
    const AlignSettings settings = e.alignSettings();
    std::vector<char> isReference(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        isReference[std::size_t(i)] = e.frames->record(i).isReference;
    const int taking = framesTakingPart(e, progress);
    e.cache->clearPieces();
    const RefineSettings refineSettings = e.refineSettings();
    const bool keepWindows = !progress.show && e.cache->budget() > 0 && !refineSettings.basePattern.isNull();
    ReadAhead<AlignWork> readAhead(e, progress, [&e, &settings, &isReference](int i, const QImage& frame, AlignWork& work) {
        work = computeAlignWork(frame, isReference[std::size_t(i)], e.meanColourFn(), settings);
    });
    const bool cancelled = eachFrame(e, progress, readAhead, taking, [&](int i, AlignWork* prepared, const Stopwatch& clock) {
        const bool read = prepared ? e.alignFrame(i, prepared) : e.alignFrame(i);
        progress.setStatus(QStringLiteral("Aligning... ") + percent(i, n));
        ++analysed;
        const float t = float(clock.milliseconds()) / 1000;
        const QString path = e.frames->path(i);
        if (!read) {
            if (!reportUnreadable(progress, path))
                return false;
        } else if (e.frameOtherSize) {
            progress.say(otherSizeLine(path));
        } else if (e.featureFound) {
            progress.say(QStringLiteral("Aligned ") + path + QStringLiteral(", offset: X=") + QString::number(e.featureX)
                         + QStringLiteral("; Y=") + QString::number(e.featureY) + QStringLiteral(" // Processing time: ")
                         + seconds(t) + QStringLiteral("s"));
            if (progress.show)
                progress.display(e.markFeature());
            if (keepWindows)
                keepSearchWindow(e, i, refineSettings);
            ++valid;
        } else {
            progress.say(QStringLiteral("Feature not found: ") + path + QStringLiteral(" // Processing time: ") + seconds(t)
                         + QStringLiteral("s"));
        }
        return true;
    });
    finishPositionRun(progress, analysed, valid, total);
    if (cancelled)
        progress.say(cancelledLine(QStringLiteral("Alignment"), analysed, taking));
    return true;
}

static bool refineLoop(StackEngine& e, const Progress& progress)
{
    if (!startPositionRun(e, progress))
        return false;
    const Stopwatch total;
    const int n = e.frames->count();
    int analysed = 0, valid = 0;
    // Refinement never moves a frame's position, so each frame's search is known before the loop.
    const RefineSettings settings = e.refineSettings();
    std::vector<FrameRecord> records(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        records[std::size_t(i)] = e.frames->record(i);
    const int taking = framesTakingPart(e, progress);
    // The search windows kept by the alignment; the last frame is read, so that the current frame
    // is the last one afterwards, as when every frame is read.
    std::vector<QImage> windows(static_cast<std::size_t>(n));
    if (!progress.show && e.cache->pieceBytes() > 0) {
        int last = n - 1;
        while (last >= 0 && !progress.takesPart(last))
            --last;
        for (int i = 0; i < last; ++i) {
            const FrameRecord& r = records[std::size_t(i)];
            if (progress.takesPart(i) && r.aligned)
                e.cache->piece(e.frameRequest(e.frames->path(i)).key, searchWindowTag(r, settings), &windows[std::size_t(i)]);
        }
    }
    ReadAhead<RefineWork> readAhead(e, progress, [&e, &settings, &records](int i, const QImage& frame, RefineWork& work) {
        const FrameRecord& r = records[std::size_t(i)];
        work = computeRefineWork(frame, r.isReference, r.aligned, r.x, r.y, e.meanColourFn(), settings);
    });
    readAhead.skipping([&windows](int j) { return !windows[std::size_t(j)].isNull(); });
    const bool cancelled = eachFrame(e, progress, readAhead, taking, [&](int i, RefineWork* prepared, const Stopwatch& clock) {
        RefineWork matched;
        const QImage& window = windows[std::size_t(i)];
        if (!prepared && !window.isNull()) {
            const FrameRecord& r = records[std::size_t(i)];
            matchInWindow(matched, window, r.x, r.y, settings);
            prepared = &matched;
        }
        const bool read = prepared ? e.refineFrame(i, prepared) : e.refineFrame(i);
        progress.setStatus(QStringLiteral("Doing pattern matching... ") + percent(i, n));
        ++analysed;
        const float t = float(clock.milliseconds()) / 1000;
        const QString path = e.frames->path(i);
        const QString score = QString::number(e.matchScore, 'g', 6);
        if (!read) {
            if (!reportUnreadable(progress, path))
                return false;
        } else if (e.featureFound) {
            progress.say(QStringLiteral("refine result of ") + path + QStringLiteral(": X=") + QString::number(e.refinedX)
                         + QStringLiteral("; Y=") + QString::number(e.refinedY) + QStringLiteral("; V=") + score
                         + QStringLiteral(" // Processing time: ") + seconds(t) + QStringLiteral("s"));
            if (progress.show)
                progress.display(e.markFeature());
            ++valid;
        } else {
            progress.say(QStringLiteral("Feature not found (V=") + score + QStringLiteral("): ") + path
                         + QStringLiteral(" // Processing time: ") + seconds(t) + QStringLiteral("s"));
        }
        return true;
    });
    finishPositionRun(progress, analysed, valid, total);
    if (cancelled)
        progress.say(cancelledLine(QStringLiteral("Refinement"), analysed, taking));
    progress.processEvents();
    return true;
}

static bool stackLoop(StackEngine& e, const Progress& progress)
{
    if (e.frames->count() == 0 || e.frameImage.isNull()) {
        progress.say(QStringLiteral("Open an image sequence first."));
        return false;
    }
    if (e.resizeAccumulator() != StackEngine::Status::Ok) {
        const QSize frame = e.frameSizeOfSequence();
        progress.say(QStringLiteral("Not enough memory for a %1x%2 stacking image.")
                         .arg(qint64(frame.width()) + e.maxDx - e.minDx)
                         .arg(qint64(frame.height()) + e.maxDy - e.minDy));
        if (progress.outOfMemory)
            progress.outOfMemory(QStringLiteral("stacking"));
        return false;
    }
    progress.say(QStringLiteral("new image dimension: ") + QString::number(e.accumulator->width) + QStringLiteral("x")
                 + QString::number(e.accumulator->height));
    if (!e.masterDarkBuilt) {
        progress.setStatus(QStringLiteral("Master darkframe build in progress..."));
        progress.say(QStringLiteral("building master darkframe..."));
        progress.processEvents();
        bool cancelled = false;
        buildDark(e, progress, nullptr, &cancelled);
        if (cancelled)
            return true;
        progress.say(QStringLiteral("finished."));
    } else {
        progress.say(QStringLiteral("master darkframe already built, skipping."));
    }
    progress.processEvents();

    if (e.multiPoint.enabled && e.frames->contains(e.frames->referenceIndex))
        return stackMultiPoint(e, progress);

    const Stopwatch total;
    const int n = e.frames->count();
    int processed = 0, stacked = 0;
    const int taking = framesTakingPart(e, progress);
    const bool subPixel = e.alignMode != AlignMode::Feature && e.frames->record(e.frames->referenceIndex).subPixel;
    ReadAhead<bool> readAhead(e, progress);
    const bool cancelled = eachFrame(e, progress, readAhead, taking, [&](int i, bool*, const Stopwatch& clock) {
        const bool read = subPixel ? e.stackFrameSubPixel(i) : e.stackFrame(i);
        progress.setStatus(QStringLiteral("Stacking... ") + percent(i, n));
        ++processed;
        const double t = clock.milliseconds() / 1000.0;
        const QString path = e.frames->path(i);
        if (!read) {
            if (!reportUnreadable(progress, path))
                return false;
        } else if (e.frameOtherSize) {
            progress.say(otherSizeLine(path));
        } else if (e.frames->record(i).stacked) {
            progress.say(QStringLiteral("Added ") + path + QStringLiteral(" // Processing time: ") + seconds(t)
                         + QStringLiteral("s"));
            if (progress.show)
                progress.display(e.markFeature());
            ++stacked;
        }
        return true;
    });
    progress.say(QString::number(processed) + QStringLiteral(" images processed, ") + QString::number(stacked)
                 + QStringLiteral(" stacked"));
    progress.say(QStringLiteral("Normalizing..."));
    progress.say(QStringLiteral("Total processing time: ") + seconds(total.milliseconds() / 1000.0) + QStringLiteral("s"));
    if (cancelled) {
        progress.say(cancelledLine(QStringLiteral("Stacking"), processed, taking));
        // The frames added so far make the stack; with none there is nothing to show.
        if (stacked == 0)
            return true;
    } else if (stacked == 0) {
        // An empty stack is no result: there is nothing to save.
        progress.say(QStringLiteral("No frame was stacked: there is no result to save."));
        progress.setStatus(QStringLiteral("Ready."));
        return true;
    }
    e.stackReady = true;
    progress.processEvents();
    progress.display(e.normalizeStack());
    return true;
}

static bool qualityLoop(StackEngine& e, const Progress& progress)
{
    if (e.qualityAnalysed)
        return true;
    const int n = e.frames->count();
    int checked = 0;
    for (int i = 0; i < n; ++i)
        checked += progress.takesPart(i) ? 1 : 0;
    if (checked == 0) {
        progress.say(QStringLiteral("No frame is checked: nothing to analyze."));
        progress.setStatus(QStringLiteral("Ready."));
        return false;
    }

    progress.setStatus(QStringLiteral("Gradient analysis..."));
    progress.say(QStringLiteral("analyzing gradient quality..."));
    float min = -1.0f, max = -1.0f, sum = 0.0f, analysed = 0.0f;
    std::vector<float> raw(std::size_t(n), -1.0f);
    int done = 0;
    bool cancelled = false;
    // The feature alignment sees frames colour-normalised by their mean colour: it is taken here, on
    // the frame just read, and kept with the cached frame for the later passes (frames of a capture
    // are not kept: they are read again, and so is their mean).
    std::vector<char> wantMean(std::size_t(n), 0);
    for (int i = 0; i < n; ++i)
        wantMean[std::size_t(i)] = e.alignMode == AlignMode::Feature && !readers::isCapture(readers::sourceFile(e.frames->path(i)));
    auto rate = [&e, &wantMean](int i, const QImage& frame) {
        const float rating = kernels::gradientQuality(frame);
        if (wantMean[std::size_t(i)])
            e.meanColourOf(frame);
        return rating;
    };
    ReadAhead<QualityWork> readAhead(e, progress, [&rate](int i, const QImage& frame, QualityWork& work) {
        work.frame = frame;
        work.rating = rate(i, frame);
    });
    for (int i = 0; i < n; ++i) {
        if (!progress.takesPart(i))
            continue;
        if (progress.stopRequested()) {
            cancelled = true;
            break;
        }
        readAhead.before(i);
        const QString path = e.frames->path(i);
        QualityWork prepared;
        float q = 0.0f;
        const SerialWhileBusy serial(readAhead);
        if (readAhead.take(i, prepared)) {
            e.frameImage = prepared.frame;
            q = prepared.rating;
        } else if (e.loadFrame(path)) {
            q = rate(i, e.frameImage);
        } else {
            if (!reportUnreadable(progress, path))
                return false;
            progress.step(++done, checked);
            continue;
        }
        analysed = analysed + 1;
        if (progress.show)
            progress.display(e.currentFrame());
        raw[std::size_t(i)] = q;
        sum = sum + q;
        if (max < q)
            max = q;
        if (min <= -1 || min > q)
            min = q;
        progress.say(QStringLiteral("raw quality of ") + path + QStringLiteral(": ") + QString::number(q, 'f', 6));
        e.frames->update(i, [&](FrameRecord& r) { r.quality = q; });
        progress.setStatus(QStringLiteral("Quality analysis... ") + percent(i, n));
        progress.step(++done, checked);
        progress.processEvents();
    }
    if (cancelled && analysed == 0) {
        progress.say(cancelledLine(QStringLiteral("Quality analysis"), done, checked));
        return false;
    }
    if (analysed == 0) {
        progress.say(QStringLiteral("No frame could be read: nothing to analyze."));
        progress.setStatus(QStringLiteral("Ready."));
        return false;
    }
    const float avg = sum / analysed;
    progress.say(QStringLiteral("min quality: ") + QString::number(min, 'f', 6));
    progress.say(QStringLiteral("max quality: ") + QString::number(max, 'f', 6));
    progress.say(QStringLiteral("avg quality: ") + QString::number(avg, 'f', 6));

    // Percent of the range between the worst and the best analysed frame; when they are equal every
    // analysed frame rates 100. Frames not analysed end below 0.
    const bool flat = !(max > min);
    const double scale = flat ? 0.0 : 100.0 / (max - min);
    for (int i = 0; i < n; ++i) {
        const float r = raw[std::size_t(i)];
        float quality;
        if (r < 0.0f)
            quality = flat ? -1.0f : float((r - min) * scale);
        else
            quality = flat ? 100.0f : float((r - min) * scale);
        e.frames->update(i, [&](FrameRecord& rec) { rec.quality = quality; });
    }
    if (cancelled) {
        progress.say(cancelledLine(QStringLiteral("Quality analysis"), done, checked));
        return false;
    }
    e.qualityAnalysed = true;
    return true;
}

bool alignAll(StackEngine& e, const Progress& progress)
{
    return guarded(progress, QStringLiteral("aligning"), [&] { return alignLoop(e, progress); });
}

bool refineAll(StackEngine& e, const Progress& progress)
{
    return guarded(progress, QStringLiteral("refining"), [&] { return refineLoop(e, progress); });
}

bool stackAll(StackEngine& e, const Progress& progress)
{
    return guarded(progress, QStringLiteral("stacking"), [&] { return stackLoop(e, progress); });
}

bool analyzeQuality(StackEngine& e, const Progress& progress)
{
    return guarded(progress, QStringLiteral("analyzing the quality"), [&] { return qualityLoop(e, progress); });
}

bool buildMasterDark(StackEngine& e, const Progress& progress, QStringList* leftOut)
{
    bool cancelled = false;
    return guarded(progress, QStringLiteral("building the master dark"),
                   [&] { return buildDark(e, progress, leftOut, &cancelled); });
}

QString masterDarkLine(int frames)
{
    return QStringLiteral("master darkframe built from %1 frames").arg(frames);
}

std::vector<bool> selectFrames(const StackEngine& e, SelectionMode mode, double minQuality, int frameCount,
                               const Progress& progress)
{
    const int n = e.frames->count();
    std::vector<bool> keep(std::size_t(n), false);
    if (mode == SelectionMode::MinimumQuality) {
        int active = 0;
        for (int i = 0; i < n; ++i) {
            const bool on = !(minQuality > e.frames->record(i).quality);
            keep[std::size_t(i)] = on;
            active += on ? 1 : 0;
        }
        progress.say(QString::number(active) + QStringLiteral(" frames active"));
        return keep;
    }
    std::vector<int> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    // Descending by quality; equal ratings keep sequence order.
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return e.frames->record(a).quality > e.frames->record(b).quality;
    });
    const int k = std::min(frameCount, n);
    for (int j = 0; j < k; ++j)
        keep[std::size_t(order[std::size_t(j)])] = true;
    return keep;
}

} // namespace batch

// ---- sub-pixel alignment and multi-point stacking -------------------------------------------------

namespace batch {
namespace {

double positionX(const FrameRecord& r) { return r.subPixel ? r.subX : double(r.x); }
double positionY(const FrameRecord& r) { return r.subPixel ? r.subY : double(r.y); }

QString decimal(double v) { return QString::number(v, 'f', 2); }

// Starts a planet or surface run: a sequence, a reference among the frames that take part (the
// chosen one, else the best rated, else the first), records of those frames cleared. -1 (logged)
// when there is nothing to align.
int startSubPixelRun(StackEngine& e, const Progress& progress)
{
    const int n = e.frames->count();
    if (n == 0) {
        progress.say(QStringLiteral("Open an image sequence first."));
        return -1;
    }
    int reference = -1;
    if (e.frames->contains(e.frames->referenceIndex) && progress.takesPart(e.frames->referenceIndex))
        reference = e.frames->referenceIndex;
    for (int i = 0; i < n && reference < 0; ++i)
        if (progress.takesPart(i) && e.qualityAnalysed)
            reference = i;
    if (reference >= 0 && e.qualityAnalysed && reference != e.frames->referenceIndex)
        for (int i = 0; i < n; ++i)
            if (progress.takesPart(i) && e.frames->record(i).quality > e.frames->record(reference).quality)
                reference = i;
    for (int i = 0; i < n && reference < 0; ++i)
        if (progress.takesPart(i))
            reference = i;
    if (reference < 0) {
        progress.say(QStringLiteral("No frame is checked: nothing to align."));
        return -1;
    }
    if (e.accumulator)
        e.accumulator->clear();
    e.stackReady = false;
    e.alignmentPoints.clear();
    e.frames->update(e.frames->referenceIndex, [](FrameRecord& r) { r.isReference = false; });
    e.frames->referenceIndex = reference;
    for (int i = 0; i < n; ++i) {
        if (!progress.takesPart(i))
            continue;
        e.frames->update(i, [&](FrameRecord& r) {
            r.aligned = false;
            r.stacked = false;
            r.refined = false;
            r.refineOk = false;
            r.subPixel = false;
            r.edgeCut = false;
            r.isReference = i == reference;
        });
    }
    e.maxDx = e.minDx = e.maxDy = e.minDy = 0;
    return reference;
}

void setSubPixelPosition(StackEngine& e, int index, double x, double y, bool edgeCut)
{
    e.frames->update(index, [&](FrameRecord& r) {
        r.subPixel = true;
        r.subX = x;
        r.subY = y;
        r.x = int(std::floor(x));
        r.y = int(std::floor(y));
        r.aligned = true;
        r.valid = true;
        r.edgeCut = edgeCut;
    });
    e.featureX = int(std::floor(x));
    e.featureY = int(std::floor(y));
    e.featureFound = true;
}

// Offset extents that hold every aligned frame that takes part, whole pixels around the sub-pixel offsets.
void subPixelExtents(StackEngine& e, const Progress& progress)
{
    const FrameRecord ref = e.frames->record(e.frames->referenceIndex);
    double lo[2] = {0, 0}, hi[2] = {0, 0};
    for (int i = 0; i < e.frames->count(); ++i) {
        const FrameRecord r = e.frames->record(i);
        if (!progress.takesPart(i) || !r.aligned)
            continue;
        const double d[2] = {positionX(r) - positionX(ref), positionY(r) - positionY(ref)};
        for (int k = 0; k < 2; ++k) {
            lo[k] = std::min(lo[k], d[k]);
            hi[k] = std::max(hi[k], d[k]);
        }
    }
    e.minDx = int(std::floor(lo[0]));
    e.maxDx = int(std::ceil(hi[0]));
    e.minDy = int(std::floor(lo[1]));
    e.maxDy = int(std::ceil(hi[1]));
}

struct PlanetWork {
    QImage frame;
    kernels::PlanetCentre centre;
};

bool alignPlanet(StackEngine& e, const Progress& progress)
{
    const int reference = startSubPixelRun(e, progress);
    if (reference < 0)
        return false;
    const Stopwatch total;
    const int n = e.frames->count();
    const int threshold = e.planetThreshold;
    int analysed = 0, valid = 0;
    const int taking = framesTakingPart(e, progress);
    bool cancelled = false;
    {
        // A surface filling the frame has no disk to centre: the run stops at the reference frame.
        QImage frame;
        if (e.loadPrepared(e.frames->path(reference), frame) && kernels::planetCentre(frame, threshold).noSky) {
            progress.say(QStringLiteral("No planet on a dark sky in the reference frame ") + e.frames->path(reference)
                         + QStringLiteral(": the bright area reaches across the frame. \"Planet\" centres a disk on sky;"
                                          " align a surface filling the frame with \"Surface\"."));
            finishPositionRun(progress, 0, 0, total);
            return true;
        }
    }
    ReadAhead<PlanetWork> readAhead(e, progress, [threshold](int, const QImage& frame, PlanetWork& work) {
        work.frame = frame;
        work.centre = kernels::planetCentre(frame, threshold);
    });
    for (int i = 0; i < n; ++i) {
        if (!progress.takesPart(i))
            continue;
        if (progress.stopRequested()) {
            cancelled = true;
            break;
        }
        readAhead.before(i);
        const Stopwatch clock;
        PlanetWork work;
        bool read = readAhead.take(i, work);
        if (!read && e.loadPrepared(e.frames->path(i), work.frame)) {
            read = true;
            work.centre = kernels::planetCentre(work.frame, threshold);
        }
        progress.setStatus(QStringLiteral("Aligning... ") + percent(i, n));
        ++analysed;
        const QString path = e.frames->path(i);
        const double t = clock.milliseconds() / 1000.0;
        if (!read) {
            e.frames->update(i, [](FrameRecord& r) { r.valid = false; });
            if (!reportUnreadable(progress, path))
                break;
            progress.step(analysed, taking);
            progress.processEvents();
            continue;
        }
        e.frameImage = work.frame;
        if (work.centre.found) {
            setSubPixelPosition(e, i, work.centre.x, work.centre.y, work.centre.edgeCut);
            progress.say(QStringLiteral("Aligned ") + path + QStringLiteral(", centre: X=") + decimal(work.centre.x)
                         + QStringLiteral("; Y=") + decimal(work.centre.y)
                         + (work.centre.edgeCut ? QStringLiteral(" (disk cut by the frame edge)") : QString())
                         + QStringLiteral(" // Processing time: ") + seconds(t) + QStringLiteral("s"));
            if (progress.show)
                progress.display(e.markFeature());
            ++valid;
        } else {
            e.featureFound = false;
            progress.say(QStringLiteral("Planet not found: ") + path
                         + (work.centre.noSky ? QStringLiteral(" (no sky around the bright area)") : QString())
                         + QStringLiteral(" // Processing time: ") + seconds(t) + QStringLiteral("s"));
        }
        progress.step(analysed, taking);
        progress.processEvents();
    }
    if (!cancelled && !e.frames->record(reference).aligned)
        progress.say(QStringLiteral("The reference frame holds no planet: nothing is stacked."));
    subPixelExtents(e, progress);
    finishPositionRun(progress, analysed, valid, total);
    if (cancelled)
        progress.say(cancelledLine(QStringLiteral("Alignment"), analysed, taking));
    return true;
}

struct PlaneWork {
    QImage frame;
    kernels::FloatPlane plane;
    kernels::SurfaceMatcher::Result match;
};

// Sum of the squared steps inside the patch: a frame's sharpness for choosing the reference frames.
double patchSharpness(const kernels::FloatPlane& p, const QRect& patch)
{
    double e = 0;
    for (int y = std::max(0, patch.top()); y < std::min(p.height - 1, patch.bottom()); ++y) {
        const float* row = p.row(y);
        const float* next = p.row(y + 1);
        for (int x = std::max(0, patch.left()); x < std::min(p.width - 1, patch.right()); ++x) {
            const float h = row[x + 1] - row[x], v = next[x] - row[x];
            e += double(h * h + v * v);
        }
    }
    return e;
}

// Adds the plane into sum and count where the sample (X + dx, Y + dy) lies inside it (cubic convolution).
void addShiftedPlane(const kernels::FloatPlane& src, double dx, double dy, kernels::FloatPlane& sum, kernels::FloatPlane& count)
{
    const double bx = std::floor(dx), by = std::floor(dy);
    float wx[4], wy[4];
    kernels::cubicWeights(dx - bx, wx);
    kernels::cubicWeights(dy - by, wy);
    const int ix = int(bx), iy = int(by);
    parallel::forRange(0, sum.height, [&](int yFirst, int yEnd) {
    for (int Y = yFirst; Y < yEnd; ++Y) {
        const double v = Y + dy;
        if (v < 0 || v > src.height - 1)
            continue;
        const float* rows[4];
        for (int k = 0; k < 4; ++k)
            rows[k] = src.row(std::clamp(Y + iy - 1 + k, 0, src.height - 1));
        float* out = sum.row(Y);
        float* c = count.row(Y);
        for (int X = 0; X < sum.width; ++X) {
            const double u = X + dx;
            if (u < 0 || u > src.width - 1)
                continue;
            float acc = 0;
            for (int k = 0; k < 4; ++k) {
                const int x = std::clamp(X + ix - 1 + k, 0, src.width - 1);
                acc += wx[k] * (wy[0] * rows[0][x] + wy[1] * rows[1][x] + wy[2] * rows[2][x] + wy[3] * rows[3][x]);
            }
            out[X] += acc;
            c[X] += 1.0f;
        }
    }
    }, 16);
}

kernels::FloatPlane meanOf(const kernels::FloatPlane& sum, const kernels::FloatPlane& count)
{
    kernels::FloatPlane mean(sum.width, sum.height);
    for (std::size_t k = 0; k < sum.v.size(); ++k)
        mean.v[k] = count.v[k] > 0 ? sum.v[k] / count.v[k] : 0.0f;
    return mean;
}

// The best quarter of the frames by the given rating (ties to the earlier frame), at least one.
std::vector<int> bestFrames(const std::vector<int>& frames, const std::vector<double>& rating, int percent)
{
    std::vector<int> order = frames;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return rating[std::size_t(a)] > rating[std::size_t(b)]; });
    const std::size_t keep = std::max<std::size_t>(1, (order.size() * std::size_t(percent) + 99) / 100);
    order.resize(std::min(order.size(), keep));
    std::sort(order.begin(), order.end());
    return order;
}

bool alignSurface(StackEngine& e, const Progress& progress)
{
    const int reference = startSubPixelRun(e, progress);
    if (reference < 0)
        return false;
    const Stopwatch total;
    const int n = e.frames->count();
    QImage refFrame;
    if (!e.loadPrepared(e.frames->path(reference), refFrame)) {
        reportUnreadable(progress, e.frames->path(reference));
        finishPositionRun(progress, 0, 0, total);
        return true;
    }
    const kernels::FloatPlane refPlane = kernels::luminancePlane(refFrame);
    const int search = std::max(1, e.surfaceSearch);
    QRect patch = e.surfacePatch.intersected(QRect(1, 1, refPlane.width - 2, refPlane.height - 2));
    if (e.surfacePatch.isNull() || patch.width() < 16 || patch.height() < 16)
        patch = kernels::chooseSurfacePatch(refPlane, search);
    e.surfacePatchUsed = patch;
    progress.say(QStringLiteral("surface patch: %1x%2 at X=%3; Y=%4").arg(patch.width()).arg(patch.height())
                     .arg(patch.left()).arg(patch.top()));

    // First pass: each frame against the reference frame, the search following the target's drift.
    std::vector<double> dx(std::size_t(n), 0.0), dy(std::size_t(n), 0.0), sharpness(std::size_t(n), -1.0);
    std::vector<char> found(std::size_t(n), 0), unreadable(std::size_t(n), 0);
    std::vector<int> matched;
    // Both passes count towards the progress: every frame twice.
    const int taking = framesTakingPart(e, progress);
    bool cancelled = false;
    int firstDone = 0;
    {
        const kernels::SurfaceMatcher first(refPlane, patch, search);
        ReadAhead<PlaneWork> readAhead(e, progress, [](int, const QImage& frame, PlaneWork& work) {
            work.plane = kernels::luminancePlane(frame);
        });
        double lastX = 0, lastY = 0;
        for (int i = 0; i < n; ++i) {
            if (!progress.takesPart(i))
                continue;
            if (progress.stopRequested()) {
                cancelled = true;
                break;
            }
            readAhead.before(i);
            ++firstDone;
            PlaneWork work;
            if (!readAhead.take(i, work)) {
                QImage frame;
                if (!e.loadPrepared(e.frames->path(i), frame)) {
                    unreadable[std::size_t(i)] = 1;
                    progress.step(firstDone, 2 * taking);
                    continue;
                }
                work.plane = kernels::luminancePlane(frame);
            }
            const kernels::SurfaceMatcher::Result r = first.match(work.plane, lastX, lastY);
            progress.setStatus(QStringLiteral("Aligning (first pass)... ") + percent(i, n));
            if (r.found) {
                lastX = dx[std::size_t(i)] = r.dx;
                lastY = dy[std::size_t(i)] = r.dy;
                found[std::size_t(i)] = 1;
                sharpness[std::size_t(i)] = patchSharpness(work.plane, patch.translated(int(std::lround(r.dx)), int(std::lround(r.dy))));
                matched.push_back(i);
            }
            progress.step(firstDone, 2 * taking);
            progress.processEvents();
        }
    }

    if (cancelled) {
        finishPositionRun(progress, 0, 0, total);
        progress.say(cancelledLine(QStringLiteral("Alignment"), firstDone, 2 * taking));
        return true;
    }

    // The reference of the second pass: the mean of the sharpest quarter of the matched frames.
    kernels::FloatPlane meanRef = refPlane;
    if (!matched.empty()) {
        const std::vector<int> best = bestFrames(matched, sharpness, 25);
        kernels::FloatPlane sum(refPlane.width, refPlane.height), count(refPlane.width, refPlane.height);
        for (int i : best) {
            QImage frame;
            if (e.loadPrepared(e.frames->path(i), frame))
                addShiftedPlane(kernels::luminancePlane(frame), dx[std::size_t(i)], dy[std::size_t(i)], sum, count);
        }
        meanRef = meanOf(sum, count);
        progress.say(QStringLiteral("surface reference: mean of %1 frames").arg(best.size()));
    }

    // Second pass: every frame against the mean, around its first-pass shift.
    int analysed = 0, valid = 0;
    const kernels::SurfaceMatcher second(meanRef, patch, 4);
    ReadAhead<PlaneWork> readAhead(e, progress, [&](int i, const QImage& frame, PlaneWork& work) {
        work.frame = frame;
        if (!found[std::size_t(i)])
            return;
        work.match = second.match(kernels::luminancePlane(frame), dx[std::size_t(i)], dy[std::size_t(i)]);
    });
    const double cx = patch.left() + patch.width() / 2.0, cy = patch.top() + patch.height() / 2.0;
    for (int i = 0; i < n; ++i) {
        if (!progress.takesPart(i))
            continue;
        if (progress.stopRequested()) {
            cancelled = true;
            break;
        }
        readAhead.before(i);
        const Stopwatch clock;
        PlaneWork work;
        bool read = readAhead.take(i, work);
        if (!read && e.loadPrepared(e.frames->path(i), work.frame)) {
            read = true;
            if (found[std::size_t(i)])
                work.match = second.match(kernels::luminancePlane(work.frame), dx[std::size_t(i)], dy[std::size_t(i)]);
        }
        progress.setStatus(QStringLiteral("Aligning... ") + percent(i, n));
        ++analysed;
        const QString path = e.frames->path(i);
        const double t = clock.milliseconds() / 1000.0;
        if (!read) {
            e.frames->update(i, [](FrameRecord& r) { r.valid = false; });
            if (!reportUnreadable(progress, path))
                break;
            progress.step(taking + analysed, 2 * taking);
            progress.processEvents();
            continue;
        }
        e.frameImage = work.frame;
        if (work.match.found) {
            setSubPixelPosition(e, i, cx + work.match.dx, cy + work.match.dy, false);
            progress.say(QStringLiteral("Aligned ") + path + QStringLiteral(", offset: X=") + decimal(work.match.dx)
                         + QStringLiteral("; Y=") + decimal(work.match.dy) + QStringLiteral(" // Processing time: ")
                         + seconds(t) + QStringLiteral("s"));
            if (progress.show)
                progress.display(e.markFeature());
            ++valid;
        } else {
            e.featureFound = false;
            progress.say(QStringLiteral("Surface not found: ") + path + QStringLiteral(" // Processing time: ") + seconds(t)
                         + QStringLiteral("s"));
        }
        progress.step(taking + analysed, 2 * taking);
        progress.processEvents();
    }
    subPixelExtents(e, progress);
    finishPositionRun(progress, analysed, valid, total);
    if (cancelled)
        progress.say(cancelledLine(QStringLiteral("Alignment"), taking + analysed, 2 * taking));
    return true;
}

struct MeasureWork {
    std::vector<kernels::LocalMeasure> measures;
};

struct StackWork {
    std::vector<float> planes;
    int width = 0, height = 0;
};

// The multi-point stack into the accumulator (already sized and zeroed). Frames take part when they
// take part in the run and are aligned (and, after refinement, matched).
bool stackMultiPoint(StackEngine& e, const Progress& progress)
{
    const Stopwatch total;
    const int n = e.frames->count();
    const FrameRecord ref = e.frames->record(e.frames->referenceIndex);
    const MultiPointSettings settings = e.multiPoint;
    std::vector<int> usable;
    std::vector<double> ox(std::size_t(n), 0.0), oy(std::size_t(n), 0.0), rating(std::size_t(n), 0.0);
    for (int i = 0; i < n; ++i) {
        const FrameRecord r = e.frames->record(i);
        e.frames->update(i, [](FrameRecord& rec) { rec.stacked = false; });
        if (!progress.takesPart(i) || !r.aligned || (r.refined && !r.refineOk))
            continue;
        usable.push_back(i);
        // Frame coordinates of accumulator position (X, Y): (X + ox, Y + oy).
        ox[std::size_t(i)] = positionX(r) - positionX(ref) - e.maxDx;
        oy[std::size_t(i)] = positionY(r) - positionY(ref) - e.maxDy;
        rating[std::size_t(i)] = e.qualityAnalysed ? double(r.quality) : 0.0;
    }
    FloatImage& acc = *e.accumulator;
    const kernels::StackParams params = e.stackParams();

    // The reference: the mean luminance of the best globally aligned frames.
    const std::vector<int> best = e.qualityAnalysed ? bestFrames(usable, rating, settings.keepPercent) : usable;
    // Progress over the three passes: reference frames, measuring, stacking.
    const int steps = int(best.size() + 2 * usable.size());
    int done = 0;
    bool cancelled = false;
    auto stopHere = [&](int processed) {
        progress.say(cancelledLine(QStringLiteral("Stacking"), processed, int(usable.size())));
        progress.setStatus(QStringLiteral("Ready."));
        return true;
    };
    kernels::FloatPlane sum(acc.width, acc.height), count(acc.width, acc.height);
    for (int i : best) {
        if (progress.stopRequested())
            return stopHere(0);
        progress.step(++done, steps);
        QImage frame;
        if (e.loadPrepared(e.frames->path(i), frame))
            addShiftedPlane(kernels::luminancePlane(frame), ox[std::size_t(i)], oy[std::size_t(i)], sum, count);
        progress.setStatus(QStringLiteral("Multi-point reference..."));
        progress.processEvents();
    }
    const kernels::FloatPlane reference = meanOf(sum, count);
    progress.say(QStringLiteral("multi-point reference: mean of %1 frames").arg(best.size()));

    std::vector<AlignmentPoint> points = kernels::placeAlignmentPoints(reference, settings);
    e.alignmentPoints.clear();
    for (AlignmentPoint ap : points) {
        ap.x -= e.maxDx;
        ap.y -= e.maxDy;
        e.alignmentPoints.push_back(ap);
    }
    progress.say(QStringLiteral("%1 alignment points placed").arg(points.size()));

    // Local sharpness and shift of every point in every frame.
    const std::size_t m = points.size();
    std::vector<kernels::LocalMeasure> table(usable.size() * m);
    std::vector<int> slot(std::size_t(n), -1);
    for (std::size_t k = 0; k < usable.size(); ++k)
        slot[std::size_t(usable[k])] = int(k);
    if (m > 0) {
        const kernels::PointMeasurer measurer(reference, points, settings.search);
        ReadAhead<MeasureWork> readAhead(e, progress, [&](int i, const QImage& frame, MeasureWork& work) {
            if (slot[std::size_t(i)] < 0)
                return;
            work.measures.resize(m);
            measurer.measure(kernels::luminancePlane(frame), ox[std::size_t(i)], oy[std::size_t(i)], work.measures.data());
        });
        for (int i : usable) {
            if (progress.stopRequested())
                return stopHere(0);
            progress.step(++done, steps);
            readAhead.before(i);
            MeasureWork work;
            if (!readAhead.take(i, work)) {
                QImage frame;
                if (!e.loadPrepared(e.frames->path(i), frame))
                    continue;
                work.measures.resize(m);
                measurer.measure(kernels::luminancePlane(frame), ox[std::size_t(i)], oy[std::size_t(i)], work.measures.data());
            }
            std::copy(work.measures.begin(), work.measures.end(), table.begin() + std::ptrdiff_t(std::size_t(slot[std::size_t(i)]) * m));
            progress.setStatus(QStringLiteral("Measuring alignment points... ") + percent(i, n));
            progress.processEvents();
        }
    }

    // The frames of the global stack that fills the canvas between the points: the best share by
    // their rating, or (without a rating) by their local sharpness summed over the points.
    std::vector<double> whole(std::size_t(n), 0.0);
    if (e.qualityAnalysed) {
        whole = rating;
    } else if (m > 0) {
        for (std::size_t a = 0; a < m; ++a) {
            double mean = 0;
            for (std::size_t k = 0; k < usable.size(); ++k)
                mean += table[k * m + a].quality;
            mean /= double(usable.size());
            if (mean > 0)
                for (std::size_t k = 0; k < usable.size(); ++k)
                    whole[std::size_t(usable[k])] += table[k * m + a].quality / mean;
        }
    }
    std::vector<char> fills(std::size_t(n), 0);
    for (int i : (m > 0 || e.qualityAnalysed) ? bestFrames(usable, whole, settings.keepPercent) : usable)
        fills[std::size_t(i)] = 1;

    // Per point the sharpest frames; per frame the points it is stacked at.
    std::vector<std::vector<int>> pointsOf(usable.size());
    std::vector<int> frameCount(m, 0); // frames added at each point (fewer when the run is cancelled)
    for (std::size_t a = 0; a < m; ++a) {
        std::vector<int> order;
        for (std::size_t k = 0; k < usable.size(); ++k)
            if (table[k * m + a].ok)
                order.push_back(int(k));
        std::stable_sort(order.begin(), order.end(),
                         [&](int p, int q) { return table[std::size_t(p) * m + a].quality > table[std::size_t(q) * m + a].quality; });
        const std::size_t keep = order.empty() ? 0 : std::max<std::size_t>(1, (order.size() * std::size_t(settings.keepPercent) + 99) / 100);
        for (std::size_t j = 0; j < std::min(keep, order.size()); ++j)
            pointsOf[std::size_t(order[j])].push_back(int(a));
    }
    for (auto& list : pointsOf)
        std::sort(list.begin(), list.end());

    // Stacking: every frame into the global stack, and into the boxes of its points with their shifts.
    std::vector<std::vector<float>> boxes(m);
    for (std::size_t a = 0; a < m; ++a)
        boxes[a].assign(std::size_t(points[a].size) * points[a].size * 3, 0.0f);
    int processed = 0, stacked = 0;
    {
        ReadAhead<StackWork> readAhead(e, progress, [&params](int, const QImage& frame, StackWork& work) {
            work.planes = kernels::correctedPlanes(frame, params);
            work.width = frame.width();
            work.height = frame.height();
        });
        for (int i : usable) {
            if (!fills[std::size_t(i)] && pointsOf[std::size_t(slot[std::size_t(i)])].empty()) {
                progress.step(++done, steps);
                continue;
            }
            if (progress.stopRequested()) {
                cancelled = true;
                break;
            }
            progress.step(++done, steps);
            readAhead.before(i);
            const Stopwatch clock;
            StackWork work;
            const QString path = e.frames->path(i);
            if (!readAhead.take(i, work)) {
                if (!e.loadFrame(path)) {
                    ++processed;
                    if (!reportUnreadable(progress, path))
                        break;
                    continue;
                }
                work.planes = kernels::correctedPlanes(e.frameImage, params);
                work.width = e.frameImage.width();
                work.height = e.frameImage.height();
            }
            ++processed;
            const double fx = ox[std::size_t(i)], fy = oy[std::size_t(i)];
            if (fills[std::size_t(i)])
                kernels::stackPlanesShifted(work.planes, work.width, work.height, acc, fx + e.maxDx, fy + e.maxDy, e.maxDx, e.maxDy);
            const std::vector<int>& mine = pointsOf[std::size_t(slot[std::size_t(i)])];
            for (int a : mine)
                ++frameCount[std::size_t(a)];
            const kernels::LocalMeasure* measures = table.data() + std::size_t(slot[std::size_t(i)]) * m;
            parallel::forRange(0, int(mine.size()), [&](int b0, int b1) {
                for (int b = b0; b < b1; ++b) {
                    const int a = mine[std::size_t(b)];
                    const AlignmentPoint& ap = points[std::size_t(a)];
                    kernels::addShiftedPatch(work.planes, work.width, work.height, measures[a].dx, measures[a].dy,
                                             ap.x - ap.size / 2, ap.y - ap.size / 2, ap.size, boxes[std::size_t(a)].data());
                }
            }, 4);
            e.frames->update(i, [](FrameRecord& r) { r.stacked = true; });
            ++stacked;
            progress.setStatus(QStringLiteral("Stacking... ") + percent(i, n));
            progress.say(QStringLiteral("Added ") + path + QStringLiteral(" at %1 points // Processing time: ").arg(mine.size())
                         + seconds(clock.milliseconds() / 1000.0) + QStringLiteral("s"));
            progress.processEvents();
        }
    }

    // Blend: the points' means with cos^2 weights, the global stack where the weights leave room.
    kernels::FloatPlane weight(acc.width, acc.height);
    std::vector<float> local(std::size_t(acc.width) * acc.height * 3, 0.0f);
    for (std::size_t a = 0; a < m; ++a) {
        if (frameCount[a] == 0)
            continue;
        const AlignmentPoint& ap = points[a];
        const int x0 = ap.x - ap.size / 2, y0 = ap.y - ap.size / 2;
        const float inv = 1.0f / float(frameCount[a]);
        for (int j = 0; j < ap.size; ++j) {
            const float wy = kernels::blendWeight(j + 0.5 - ap.size / 2.0, ap.size);
            const int Y = y0 + j;
            if (Y < 0 || Y >= acc.height)
                continue;
            const float* in = boxes[a].data() + std::size_t(j) * ap.size * 3;
            for (int i = 0; i < ap.size; ++i, in += 3) {
                const int X = x0 + i;
                if (X < 0 || X >= acc.width)
                    continue;
                const float w = wy * kernels::blendWeight(i + 0.5 - ap.size / 2.0, ap.size);
                float* out = local.data() + (std::size_t(Y) * acc.width + X) * 3;
                out[0] += w * in[0] * inv;
                out[1] += w * in[1] * inv;
                out[2] += w * in[2] * inv;
                weight.row(Y)[X] += w;
            }
        }
    }
    parallel::forRange(0, acc.height, [&](int y0, int y1) {
        for (int Y = y0; Y < y1; ++Y) {
            const float* w = weight.row(Y);
            for (int X = 0; X < acc.width; ++X) {
                float* px = acc.pixel(X, Y);
                const float* l = local.data() + (std::size_t(Y) * acc.width + X) * 3;
                const float lw = std::min(1.0f, w[X]);
                if (px[3] > 0) {
                    const float rest = (1.0f - lw) / px[3];
                    for (int c = 0; c < 3; ++c)
                        px[c] = l[c] + rest * px[c];
                    px[3] = 1.0f;
                } else if (lw > 0) {
                    for (int c = 0; c < 3; ++c)
                        px[c] = l[c] / w[X];
                    px[3] = 1.0f;
                }
            }
        }
    });

    progress.say(QString::number(processed) + QStringLiteral(" images processed, ") + QString::number(stacked)
                 + QStringLiteral(" stacked"));
    progress.say(QStringLiteral("Normalizing..."));
    progress.say(QStringLiteral("Total processing time: ") + seconds(total.milliseconds() / 1000.0) + QStringLiteral("s"));
    if (cancelled) {
        progress.say(cancelledLine(QStringLiteral("Stacking"), processed, int(usable.size())));
        if (stacked == 0)
            return true;
    }
    e.stackReady = true;
    progress.processEvents();
    progress.display(e.normalizeStack());
    return true;
}

} // namespace
} // namespace batch
