#include "batch.h"

#include "framecache.h"
#include "framework.h"
#include "parallel.h"
#include "quality.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <map>
#include <memory>
#include <new>
#include <numeric>

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
// unchanged; it takes each prepared result in sequence order, and does the work itself for a frame no
// worker has started. A frame that fails to load is left to the loop, which reports it at its turn.
// What read-ahead holds counts against the cache's budget: a frame is read ahead only when the budget
// has room for it (and its work) beside the frames the cache must keep, and only when a worker thread
// can be started; otherwise the loop does the work itself.
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
            workers_ = std::make_unique<parallel::Workers>(threads);
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

    // Called before the loop processes frame i: schedules the next frames that take part.
    void before(int i)
    {
        const int n = engine_.frames->count();
        int queued = 0;
        for (int j = i + 1; j < n && queued < depth_; ++j) {
            if (!progress_.takesPart(j))
                continue;
            ++queued;
            if (j <= highest_)
                continue;
            if (!schedule(j))
                return; // no room or no thread now; tried again before the next frame
            highest_ = j;
        }
    }

    // The work done ahead for frame i; false when the loop must do it itself.
    bool take(int i, Work& work)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        auto it = slots_.find(i);
        if (it == slots_.end())
            return false;
        std::shared_ptr<Slot> slot = it->second;
        slots_.erase(it);
        if (slot->state == State::Queued) {
            slot->state = State::Cancelled; // not started yet: the loop is quicker on its own
            engine_.cache->unreserve(slot->reserved);
            return false;
        }
        while (slot->state == State::Running)
            done_.wait(lock);
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
    };

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
        {
            std::unique_lock<std::mutex> lock(mutex_);
            slots_[j] = slot;
        }
        const bool started = workers_->start([this, request, cache, slot, j] {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (slot->state != State::Queued)
                    return;
                slot->state = State::Running;
            }
            // One frame per thread: the kernels inside run on this thread alone.
            const parallel::SerialScope serial;
            bool loaded = false;
            Work work;
            try {
                QImage frame;
                loaded = cache->obtain(request.key, [&request](QImage& out) { return request.prepare(out); }, frame,
                                       FrameCache::Use::Now, 0, request.keep);
                if (loaded)
                    compute_(j, frame, work);
            } catch (const std::bad_alloc&) {
                loaded = false; // the loop does this frame itself and reports what happens then
                work = Work();
            }
            std::unique_lock<std::mutex> lock(mutex_);
            slot->work = std::move(work);
            slot->state = loaded ? State::Done : State::Failed;
            done_.notify_all();
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
    std::unique_ptr<parallel::Workers> workers_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::map<int, std::shared_ptr<Slot>> slots_;
    qint64 frameBytes_ = 0;
    int depth_ = 0;
    int highest_ = -1;
};

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

static bool alignLoop(StackEngine& e, const Progress& progress)
{
    if (!startPositionRun(e, progress))
        return false;
    const Stopwatch total;
    const int n = e.frames->count();
    int analysed = 0, valid = 0;
    const AlignSettings settings = e.alignSettings();
    std::vector<char> isReference(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        isReference[std::size_t(i)] = e.frames->record(i).isReference;
    const int taking = framesTakingPart(e, progress);
    bool cancelled = false;
    ReadAhead<AlignWork> readAhead(e, progress, [&e, &settings, &isReference](int i, const QImage& frame, AlignWork& work) {
        work = computeAlignWork(frame, isReference[std::size_t(i)], e.meanColourFn(), settings);
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
        AlignWork prepared;
        const bool read = readAhead.take(i, prepared) ? e.alignFrame(i, &prepared) : e.alignFrame(i);
        progress.setStatus(QStringLiteral("Aligning... ") + percent(i, n));
        ++analysed;
        const float t = float(clock.milliseconds()) / 1000;
        const QString path = e.frames->path(i);
        if (!read) {
            if (!reportUnreadable(progress, path))
                break;
        } else if (e.frameOtherSize) {
            progress.say(otherSizeLine(path));
        } else if (e.featureFound) {
            progress.say(QStringLiteral("Aligned ") + path + QStringLiteral(", offset: X=") + QString::number(e.featureX)
                         + QStringLiteral("; Y=") + QString::number(e.featureY) + QStringLiteral(" // Processing time: ")
                         + seconds(t) + QStringLiteral("s"));
            if (progress.show)
                progress.display(e.markFeature());
            ++valid;
        } else {
            progress.say(QStringLiteral("Feature not found: ") + path + QStringLiteral(" // Processing time: ") + seconds(t)
                         + QStringLiteral("s"));
        }
        progress.step(analysed, taking);
        progress.processEvents();
    }
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
    bool cancelled = false;
    ReadAhead<RefineWork> readAhead(e, progress, [&e, &settings, &records](int i, const QImage& frame, RefineWork& work) {
        const FrameRecord& r = records[std::size_t(i)];
        work = computeRefineWork(frame, r.isReference, r.aligned, r.x, r.y, e.meanColourFn(), settings);
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
        RefineWork prepared;
        const bool read = readAhead.take(i, prepared) ? e.refineFrame(i, &prepared) : e.refineFrame(i);
        progress.setStatus(QStringLiteral("Doing pattern matching... ") + percent(i, n));
        ++analysed;
        const float t = float(clock.milliseconds()) / 1000;
        const QString path = e.frames->path(i);
        const QString score = QString::number(e.matchScore, 'g', 6);
        if (!read) {
            if (!reportUnreadable(progress, path))
                break;
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
        progress.step(analysed, taking);
        progress.processEvents();
    }
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

    const Stopwatch total;
    const int n = e.frames->count();
    int processed = 0, stacked = 0;
    const int taking = framesTakingPart(e, progress);
    bool cancelled = false;
    ReadAhead<bool> readAhead(e, progress);
    for (int i = 0; i < n; ++i) {
        if (!progress.takesPart(i))
            continue;
        if (progress.stopRequested()) {
            cancelled = true;
            break;
        }
        readAhead.before(i);
        const Stopwatch clock;
        const bool read = e.stackFrame(i);
        progress.setStatus(QStringLiteral("Stacking... ") + percent(i, n));
        ++processed;
        const double t = clock.milliseconds() / 1000.0;
        const QString path = e.frames->path(i);
        if (!read) {
            if (!reportUnreadable(progress, path))
                break;
        } else if (e.frameOtherSize) {
            progress.say(otherSizeLine(path));
        } else if (e.frames->record(i).stacked) {
            progress.say(QStringLiteral("Added ") + path + QStringLiteral(" // Processing time: ") + seconds(t)
                         + QStringLiteral("s"));
            if (progress.show)
                progress.display(e.markFeature());
            ++stacked;
        }
        progress.step(processed, taking);
        progress.processEvents();
    }
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
    ReadAhead<QualityWork> readAhead(e, progress, [](int, const QImage& frame, QualityWork& work) {
        work.frame = frame;
        work.rating = kernels::gradientQuality(frame);
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
        if (readAhead.take(i, prepared)) {
            e.frameImage = prepared.frame;
            q = prepared.rating;
        } else if (e.loadFrame(path)) {
            q = e.gradientQuality();
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
