#pragma once
// Frames as the loops use them (decoded, converted, supersampled, calibrated), kept in memory so that
// every pass over a sequence decodes each file once. Entries are keyed by the file (path, size,
// modification time) and by every loading parameter. When the memory budget is reached, frames used
// once go before frames used again, the most recently admitted first, so that passes over a sequence
// longer than the budget keep finding the frames admitted first. Safe to use from several threads: a frame that one thread is preparing
// is waited for, not prepared twice.

#include <QColor>
#include <QHash>
#include <QImage>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class FrameCache {
public:
    FrameCache();

    // Memory for cached frames, in bytes; 0 switches caching off.
    void setBudget(qint64 bytes);
    qint64 budget() const;
    // A quarter of the memory this process may use: the physical memory, bounded by the address-space
    // limit and the control group's memory limit.
    static qint64 defaultBudget();

    using Prepare = std::function<bool(QImage&)>;

    // Now: the caller uses the frame at once. Ahead: read-ahead for a later use; the frame is kept
    // (even beyond the budget) until that use, so that streaming never decodes a frame twice.
    enum class Use { Now, Ahead };

    // The frame for the key: from memory, from a thread preparing it, or prepared now by prepare.
    // False when it cannot be prepared; that is remembered too, so a file that cannot be read is
    // tried once per identity (a rewritten file has a new key). A read-ahead returns at once when
    // the frame is already there or being prepared. reserved: bytes the caller reserved for this frame;
    // they are given back when the frame has joined the cache (or has failed). An exception thrown by
    // prepare leaves no trace and is passed on.
    // keep false: the frame is cheap to prepare again (a frame of a memory-mapped capture) and is not
    // kept after its use, so that streaming a long capture holds no more than the frames read ahead.
    bool obtain(const QString& key, const Prepare& prepare, QImage& image, Use use = Use::Now,
                qint64 reserved = 0, bool keep = true);

    // Memory that read-ahead holds outside the entries (frames on their way, work done ahead) counts
    // against the budget: frames are evicted to make room, and false means the budget cannot hold it
    // beside the frames that must stay (read ahead and not used yet).
    bool reserve(qint64 bytes);
    void unreserve(qint64 bytes);
    qint64 reservedBytes() const;

    // Frames read ahead but never used become ordinary entries.
    void releaseReadAhead();

    // The mean colour remembered for a cached frame (identified by QImage::cacheKey()). A frame that is
    // not kept has its mean colour remembered by its key, for the passes that prepare it again.
    bool meanColour(qint64 imageKey, QColor* colour) const;
    void rememberMeanColour(qint64 imageKey, const QColor& colour);

    void clear();
    qint64 bytesInUse() const;
    int frameCount() const;
    // Number of frames prepared (decoded) since the cache was made; for tests and benchmarks.
    qint64 preparedCount() const;

private:
    struct Entry {
        QImage image;
        bool ready = false;
        bool failed = false; // the file could not be prepared
        bool pinned = false; // read ahead, not used yet
        bool keep = true;    // stays after its use
        bool hasMean = false;
        QColor mean;
        bool reused = false;  // used again after its first use
        quint64 admitted = 0; // order of joining the cache
    };
    void evictToBudget(const QString& keep);
    // A frame not kept was handed out: its image stands for its key until the mean colour is asked.
    void handedOut(const QString& key, const QImage& image);

    // Standard primitives rather than Qt's: the thread sanitizer understands them without an
    // instrumented toolkit.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    QHash<QString, Entry> entries_;
    qint64 budget_ = 0;
    qint64 bytes_ = 0;
    qint64 reserved_ = 0;
    quint64 clock_ = 0;
    qint64 prepared_ = 0;
    // Frames not kept: the keys of the images handed out last, and the mean colours by key.
    QHash<qint64, QString> handedOut_;
    std::deque<qint64> handedOrder_;
    QHash<QString, QColor> passingMeans_;
};
