#include "framecache.h"

#include <QMutexLocker>

#include <unistd.h>

FrameCache::FrameCache()
    : budget_(defaultBudget())
{
}

qint64 FrameCache::defaultBudget()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0)
        return qint64(1) << 30;
    return qint64(pages) * pageSize / 4;
}

void FrameCache::setBudget(qint64 bytes)
{
    QMutexLocker lock(&mutex_);
    budget_ = qMax<qint64>(0, bytes);
    evictToBudget(QString());
}

qint64 FrameCache::budget() const
{
    QMutexLocker lock(&mutex_);
    return budget_;
}

bool FrameCache::obtain(const QString& key, const Prepare& prepare, QImage& image, Use use)
{
    {
        QMutexLocker lock(&mutex_);
        for (;;) {
            auto it = entries_.find(key);
            if (it == entries_.end())
                break;
            if (it->failed)
                return false;
            if (use == Use::Ahead)
                return it->ready;
            if (it->ready) {
                it->lastUse = ++clock_;
                image = it->image;
                if (use == Use::Now && it->pinned) {
                    it->pinned = false;
                    evictToBudget(QString());
                }
                return true;
            }
            changed_.wait(&mutex_); // another thread prepares this frame
        }
        entries_.insert(key, Entry()); // claimed: others wait for it
        ++prepared_;
    }

    QImage prepared;
    const bool ok = prepare(prepared) && !prepared.isNull();

    QMutexLocker lock(&mutex_);
    auto it = entries_.find(key);
    if (!ok) {
        it->failed = true;
        changed_.wakeAll();
        return false;
    }
    it->image = prepared;
    it->ready = true;
    it->pinned = use == Use::Ahead;
    it->lastUse = ++clock_;
    bytes_ += prepared.sizeInBytes();
    evictToBudget(key);
    if (!it->pinned && bytes_ > budget_) { // does not fit at all
        bytes_ -= prepared.sizeInBytes();
        entries_.erase(it);
    }
    changed_.wakeAll();
    image = prepared;
    return true;
}

void FrameCache::releaseReadAhead()
{
    QMutexLocker lock(&mutex_);
    for (Entry& e : entries_)
        e.pinned = false;
    evictToBudget(QString());
}

// Drops the least recently used frames (never one being prepared, read ahead or named by keep)
// until the frames fit the budget.
void FrameCache::evictToBudget(const QString& keep)
{
    while (bytes_ > budget_) {
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->ready && !it->pinned && it.key() != keep && (oldest == entries_.end() || it->lastUse < oldest->lastUse))
                oldest = it;
        }
        if (oldest == entries_.end())
            return;
        bytes_ -= oldest->image.sizeInBytes();
        entries_.erase(oldest);
    }
}

bool FrameCache::meanColour(qint64 imageKey, QColor* colour) const
{
    QMutexLocker lock(&mutex_);
    for (const Entry& e : entries_) {
        if (e.ready && e.hasMean && e.image.cacheKey() == imageKey) {
            *colour = e.mean;
            return true;
        }
    }
    return false;
}

void FrameCache::rememberMeanColour(qint64 imageKey, const QColor& colour)
{
    QMutexLocker lock(&mutex_);
    for (Entry& e : entries_) {
        if (e.ready && e.image.cacheKey() == imageKey) {
            e.hasMean = true;
            e.mean = colour;
            return;
        }
    }
}

void FrameCache::clear()
{
    QMutexLocker lock(&mutex_);
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
    QMutexLocker lock(&mutex_);
    return bytes_;
}

int FrameCache::frameCount() const
{
    QMutexLocker lock(&mutex_);
    int n = 0;
    for (const Entry& e : entries_)
        n += e.ready ? 1 : 0;
    return n;
}

qint64 FrameCache::preparedCount() const
{
    QMutexLocker lock(&mutex_);
    return prepared_;
}
