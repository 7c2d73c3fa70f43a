#include "framecache.h"

#include "memory.h"

#include <algorithm>

#include <unistd.h>

namespace {

// Frames not kept whose image is still known by its cacheKey: enough for the frames read ahead
// between a frame's reading and the use of its mean colour.
constexpr std::size_t kHandedOut = 256;
// Mean colours remembered for frames not kept (a few hundred bytes each).
constexpr qsizetype kPassingMeans = 1 << 17;

} // namespace

FrameCache::FrameCache()
    : budget_(defaultBudget())
{
}

qint64 FrameCache::defaultBudget()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    qint64 usable = pages > 0 && pageSize > 0 ? qint64(pages) * pageSize : qint64(4) << 30;
    const qint64 limit = memory::processMemoryLimit();
    if (limit > 0)
        usable = std::min(usable, limit);
    return usable / 4;
}

void FrameCache::setBudget(qint64 bytes)
{
    std::unique_lock<std::mutex> lock(mutex_);
    budget_ = qMax<qint64>(0, bytes);
    evictToBudget(QString());
}

qint64 FrameCache::budget() const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return budget_;
}

bool FrameCache::obtain(const QString& key, const Prepare& prepare, QImage& image, Use use, qint64 reserved, bool keep)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            auto it = entries_.find(key);
            if (it == entries_.end())
                break;
            if (it->failed) {
                reserved_ -= reserved;
                return false;
            }
            if (use == Use::Ahead) {
                reserved_ -= reserved;
                return it->ready;
            }
            if (it->ready) {
                image = it->image;
                reserved_ -= reserved;
                if (!it->keep) {
                    if (it->hasMean && passingMeans_.size() < kPassingMeans)
                        passingMeans_.insert(key, it->mean);
                    bytes_ -= it->image.sizeInBytes();
                    entries_.erase(it);
                    handedOut(key, image);
                    return true;
                }
                if (it->pinned) {
                    it->pinned = false; // its first use: still on probation
                    evictToBudget(QString());
                } else {
                    it->reused = true;
                }
                return true;
            }
            changed_.wait(lock); // another thread prepares this frame
        }
        entries_.insert(key, Entry()); // claimed: others wait for it
        ++prepared_;
    }

    QImage prepared;
    bool ok = false;
    try {
        ok = prepare(prepared) && !prepared.isNull();
    } catch (...) {
        // Out of memory, most likely: nothing is remembered, so a later try prepares the frame again.
        std::unique_lock<std::mutex> lock(mutex_);
        reserved_ -= reserved;
        entries_.remove(key);
        changed_.notify_all();
        throw;
    }

    // Erasing entries of the hash moves others, so the entry is looked up again after every eviction.
    std::unique_lock<std::mutex> lock(mutex_);
    reserved_ -= reserved;
    Entry& entry = entries_[key];
    if (!ok) {
        entry.failed = true;
        changed_.notify_all();
        return false;
    }
    if (!keep && use == Use::Now) {
        entries_.remove(key);
        changed_.notify_all();
        image = prepared;
        handedOut(key, image);
        return true;
    }
    entry.image = prepared;
    entry.ready = true;
    entry.keep = keep;
    entry.pinned = use == Use::Ahead;
    entry.admitted = ++clock_;
    const bool pinned = entry.pinned;
    bytes_ += prepared.sizeInBytes();
    evictToBudget(key);
    if (!pinned && bytes_ + reserved_ > budget_) { // does not fit at all
        bytes_ -= prepared.sizeInBytes();
        entries_.remove(key);
    }
    changed_.notify_all();
    image = prepared;
    return true;
}

bool FrameCache::reserve(qint64 bytes)
{
    std::unique_lock<std::mutex> lock(mutex_);
    reserved_ += bytes;
    evictToBudget(QString());
    if (bytes_ + reserved_ <= budget_)
        return true;
    reserved_ -= bytes;
    return false;
}

void FrameCache::unreserve(qint64 bytes)
{
    std::unique_lock<std::mutex> lock(mutex_);
    reserved_ -= bytes;
}

qint64 FrameCache::reservedBytes() const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return reserved_;
}

void FrameCache::releaseReadAhead()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        it->pinned = false;
        if (it->ready && !it->keep) {
            bytes_ -= it->image.sizeInBytes();
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    evictToBudget(QString());
}

// Drops frames (never one being prepared, read ahead or named by keep) until the frames and the
// reserved memory fit the budget. Frames used only once go before frames used again, and within each
// kind the most recently admitted go first: a pass over a sequence longer than the budget then leaves
// the frames admitted first in place for the next pass, instead of evicting each frame just before
// the next pass needs it.
void FrameCache::evictToBudget(const QString& keep)
{
    while (bytes_ + reserved_ > budget_) {
        auto victim = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (!it->ready || it->pinned || it.key() == keep)
                continue;
            if (victim == entries_.end() || (victim->reused && !it->reused)
                || (victim->reused == it->reused && it->admitted > victim->admitted))
                victim = it;
        }
        if (victim == entries_.end())
            return;
        bytes_ -= victim->image.sizeInBytes();
        entries_.erase(victim);
    }
}

void FrameCache::handedOut(const QString& key, const QImage& image)
{
    if (handedOrder_.size() == kHandedOut) {
        handedOut_.remove(handedOrder_.front());
        handedOrder_.pop_front();
    }
    handedOut_.insert(image.cacheKey(), key);
    handedOrder_.push_back(image.cacheKey());
}

bool FrameCache::meanColour(qint64 imageKey, QColor* colour) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
        if (e.ready && e.hasMean && e.image.cacheKey() == imageKey) {
            *colour = e.mean;
            return true;
        }
    }
    const auto key = handedOut_.constFind(imageKey);
    if (key == handedOut_.constEnd())
        return false;
    const auto mean = passingMeans_.constFind(key.value());
    if (mean == passingMeans_.constEnd())
        return false;
    *colour = mean.value();
    return true;
}

void FrameCache::rememberMeanColour(qint64 imageKey, const QColor& colour)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->ready && it->image.cacheKey() == imageKey) {
            it->hasMean = true;
            it->mean = colour;
            if (!it->keep && passingMeans_.size() < kPassingMeans)
                passingMeans_.insert(it.key(), colour);
            return;
        }
    }
    const auto key = handedOut_.constFind(imageKey);
    if (key != handedOut_.constEnd() && passingMeans_.size() < kPassingMeans)
        passingMeans_.insert(key.value(), colour);
}

void FrameCache::clear()
{
    std::unique_lock<std::mutex> lock(mutex_);
    handedOut_.clear();
    handedOrder_.clear();
    passingMeans_.clear();
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->ready || it->failed) {
            bytes_ -= it->image.sizeInBytes();
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

qint64 FrameCache::bytesInUse() const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return bytes_;
}

int FrameCache::frameCount() const
{
    std::unique_lock<std::mutex> lock(mutex_);
    int n = 0;
    for (const Entry& e : entries_)
        n += e.ready ? 1 : 0;
    return n;
}

qint64 FrameCache::preparedCount() const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return prepared_;
}
