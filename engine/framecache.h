#pragma once
// Frames as the loops use them (decoded, converted, supersampled, calibrated), kept in memory so that
// every pass over a sequence decodes each file once while the sequence fits the budget. Entries are
// keyed by the file (path, size, modification time) and by every loading parameter. Safe to use from
// several threads: a frame that one thread is preparing is waited for, not prepared twice.
//
// Storage: a frame of 8 bits per channel is kept at 3 bytes per pixel and a 16-bit frame at 6, without
// the unused alpha or X channel (when it holds its opaque value, as it does in every frame the readers
// make), in memory mapped for the frame alone; it is expanded to the image the kernels read
// (Format_RGB32 or Format_RGBX64, pixels and metadata unchanged) each time it is handed out.
//
// Policy, made for passes that read a sequence in order several times: the frames admitted first, as
// many as the budget holds beside the room that read-ahead needs, stay resident; the frames beyond them
// stream through what is left of the budget and leave it first. Every pass then finds the same resident
// frames, instead of the ones a least-recently-used policy evicts just before the next pass needs them.
// Residents that neither of the last two passes used (frames of another sequence, or of other loading
// parameters) give way to new frames.

#include <QColor>
#include <QHash>
#include <QImage>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class FrameCache {
public:
    FrameCache();
    ~FrameCache();

    // Memory for cached frames and read-ahead, in bytes; 0 switches caching off.
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
    // prepare leaves no trace and is passed on; std::bad_alloc is thrown when there is no memory for the
    // image handed out.
    // keep false: the frame is cheap to prepare again (a frame of a memory-mapped capture) and is not
    // kept after its use, so that streaming a long capture holds no more than the frames read ahead.
    bool obtain(const QString& key, const Prepare& prepare, QImage& image, Use use = Use::Now,
                qint64 reserved = 0, bool keep = true);

    // Memory that read-ahead holds outside the entries (frames on their way, work done ahead) counts
    // against the budget: frames are evicted to make room, and false means the budget cannot hold it
    // beside the frames that must stay (read ahead and not used yet). The most read-ahead has reserved
    // at once is the room that residents leave free.
    bool reserve(qint64 bytes);
    void unreserve(qint64 bytes);
    qint64 reservedBytes() const;

    // The end of a pass: frames read ahead but never used become ordinary entries.
    void releaseReadAhead();

    // The mean colour remembered for a cached frame, by the QImage::cacheKey() of an image handed out.
    // A frame that is not kept has its mean colour remembered by its key, for the passes that prepare
    // it again.
    bool meanColour(qint64 imageKey, QColor* colour) const;
    void rememberMeanColour(qint64 imageKey, const QColor& colour);

    // Whether the frame is one of the residents (every pass then finds it without preparing it).
    bool isResident(const QString& key) const;

    // Small pieces cut from a frame that is not a resident (the search window of a later pass), so
    // that the pass that needs only the piece does not prepare the frame again. tag names what was
    // cut and how; a piece is handed out only under the same tag. Pieces count against the budget
    // and make room as a frame does (the residents admitted last go first: each holds the room of many
    // pieces). False when the budget cannot hold the piece.
    bool keepPiece(const QString& key, const QString& tag, const QImage& piece);
    bool piece(const QString& key, const QString& tag, QImage* piece) const;
    void clearPieces();
    qint64 pieceBytes() const;

    void clear();
    // Everything cached: frames and pieces.
    qint64 bytesInUse() const;
    int frameCount() const;
    // Number of frames prepared (decoded) since the cache was made; for tests and benchmarks.
    qint64 preparedCount() const;

    // What a frame takes in the cache: 3 or 6 bytes per pixel, or the image's own size.
    static qint64 storedBytes(const QImage& image);

    struct Packed;

private:
    struct Entry {
        std::shared_ptr<const Packed> packed; // residents, once packed
        QImage image;                         // frames streaming through, residents being packed
        qint64 bytes = 0;                     // counted against the budget
        bool ready = false;
        bool failed = false;   // the file could not be prepared
        bool pinned = false;   // read ahead, not used yet
        bool keep = true;      // stays after its use
        bool resident = false; // one of the frames admitted first
        bool hasMean = false;
        QColor mean;
        quint64 admitted = 0; // order of joining the cache
        quint64 lastUse = 0;
        quint64 pass = 0; // the last pass that used it
        qint64 handedOut[4] = {0, 0, 0, 0}; // cache keys of the last images handed out
        int nextHanded = 0;
        void handOut(qint64 imageKey);
        bool handedOutAs(qint64 imageKey) const;
    };
    enum class Evict { Streaming, Stale, Any };
    bool makeRoom(qint64 extra, const QString& keep, Evict upTo);
    bool admitResident(qint64 bytes, const QString& keep);
    void drop(QHash<QString, Entry>::iterator it);
    void pin(Entry& entry, bool pinned);
    // A frame not kept was handed out: its image stands for its key until the mean colour is asked.
    void handedOut(const QString& key, const QImage& image);

    // Standard primitives rather than Qt's: the thread sanitizer understands them without an
    // instrumented toolkit.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    QHash<QString, Entry> entries_;
    qint64 budget_ = 0;
    qint64 bytes_ = 0;
    qint64 residentBytes_ = 0;
    qint64 reserved_ = 0;
    qint64 pinnedBytes_ = 0;   // frames read ahead, not used yet, that are not residents
    qint64 readAheadRoom_ = 0; // the most that read-ahead has held at once (reserved and pinned)
    quint64 clock_ = 0;
    quint64 pass_ = 1;
    qint64 prepared_ = 0;
    // Frames not kept: the keys of the images handed out last, and the mean colours by key.
    QHash<qint64, QString> handedOut_;
    std::deque<qint64> handedOrder_;
    QHash<QString, QColor> passingMeans_;
    struct Piece {
        QString tag;
        QImage image;
    };
    QHash<QString, Piece> pieces_;
    qint64 pieceBytes_ = 0;
};
