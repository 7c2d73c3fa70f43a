#include "framecache.h"

#include "memory.h"
#include "rows.h"

#include <QColorSpace>
#include <QList>
#include <QPair>

#include <algorithm>
#include <cstring>
#include <new>

#include <unistd.h>

// A frame without its unused channel: rows of 3 bytes per pixel (blue, green, red of each QRgb) or of
// 6 (the red, green and blue quint16 of each QRgba64), one after the other, with the image's metadata.
struct FrameCache::Packed {
    std::unique_ptr<memory::PageBuffer> pixels;
    int width = 0;
    int height = 0;
    QImage::Format format = QImage::Format_Invalid;
    int dotsPerMeterX = 0;
    int dotsPerMeterY = 0;
    QPoint offset;
    qreal devicePixelRatio = 1.0;
    QColorSpace colorSpace;
    QList<QPair<QString, QString>> text;
};

namespace {

// Frames not kept whose image is still known by its cacheKey: enough for the frames read ahead
// between a frame's reading and the use of its mean colour.
constexpr std::size_t kHandedOut = 256;
// Mean colours remembered for frames not kept (a few hundred bytes each).
constexpr qsizetype kPassingMeans = 1 << 17;

int packedPixelBytes(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB32:
        return 3;
    case QImage::Format_RGBX64:
        return 6;
    default:
        return 0;
    }
}

// Null when the image cannot be packed without loss: another format, or an unused channel that is
// not opaque somewhere.
std::shared_ptr<const FrameCache::Packed> pack(const QImage& image)
{
    const int bpp = packedPixelBytes(image.format());
    if (bpp == 0)
        return nullptr;
    auto p = std::make_shared<FrameCache::Packed>();
    const int w = image.width(), h = image.height();
    const std::size_t row = std::size_t(w) * std::size_t(bpp);
    p->pixels = std::make_unique<memory::PageBuffer>(row * std::size_t(h));
    uchar* out = p->pixels->data();
    if (bpp == 3) {
        for (int y = 0; y < h; ++y)
            if (!readers::rgb32ToBgr24(reinterpret_cast<const QRgb*>(image.constScanLine(y)), out + std::size_t(y) * row, w))
                return nullptr;
    } else {
        for (int y = 0; y < h; ++y) {
            const quint16* in = reinterpret_cast<const quint16*>(image.constScanLine(y));
            quint16 rgb[3];
            uchar* d = out + std::size_t(y) * row;
            quint16 opaque = 0xffff;
            for (int x = 0; x < w; ++x, in += 4, d += 6) {
                rgb[0] = in[0];
                rgb[1] = in[1];
                rgb[2] = in[2];
                opaque &= in[3];
                std::memcpy(d, rgb, 6);
            }
            if (opaque != 0xffff)
                return nullptr;
        }
    }
    p->width = w;
    p->height = h;
    p->format = image.format();
    p->dotsPerMeterX = image.dotsPerMeterX();
    p->dotsPerMeterY = image.dotsPerMeterY();
    p->offset = image.offset();
    p->devicePixelRatio = image.devicePixelRatio();
    p->colorSpace = image.colorSpace();
    for (const QString& key : image.textKeys())
        p->text.append(qMakePair(key, image.text(key)));
    return p;
}

QImage unpack(const FrameCache::Packed& p)
{
    QImage image(p.width, p.height, p.format);
    if (image.isNull())
        throw std::bad_alloc();
    const uchar* in = p.pixels->data();
    const int w = p.width;
    if (p.format == QImage::Format_RGB32) {
        for (int y = 0; y < p.height; ++y)
            readers::rgb24ToRgb32(in + std::size_t(y) * std::size_t(w) * 3, reinterpret_cast<QRgb*>(image.scanLine(y)), w, true);
    } else {
        for (int y = 0; y < p.height; ++y) {
            quint16* d = reinterpret_cast<quint16*>(image.scanLine(y));
            const uchar* s = in + std::size_t(y) * std::size_t(w) * 6;
            for (int x = 0; x < w; ++x, s += 6, d += 4) {
                std::memcpy(d, s, 6);
                d[3] = 0xffff;
            }
        }
    }
    image.setDotsPerMeterX(p.dotsPerMeterX);
    image.setDotsPerMeterY(p.dotsPerMeterY);
    image.setOffset(p.offset);
    image.setDevicePixelRatio(p.devicePixelRatio);
    if (p.colorSpace.isValid())
        image.setColorSpace(p.colorSpace);
    for (const auto& t : p.text)
        image.setText(t.first, t.second);
    return image;
}

} // namespace

FrameCache::FrameCache()
    : budget_(defaultBudget())
{
}

FrameCache::~FrameCache() = default;

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

qint64 FrameCache::storedBytes(const QImage& image)
{
    const int bpp = packedPixelBytes(image.format());
    return bpp > 0 ? qint64(image.width()) * image.height() * bpp : image.sizeInBytes();
}

void FrameCache::Entry::handOut(qint64 imageKey)
{
    if (handedOutAs(imageKey))
        return;
    handedOut[nextHanded] = imageKey;
    nextHanded = (nextHanded + 1) % 4;
}

bool FrameCache::Entry::handedOutAs(qint64 imageKey) const
{
    return imageKey != 0 && std::find(std::begin(handedOut), std::end(handedOut), imageKey) != std::end(handedOut);
}

void FrameCache::setBudget(qint64 bytes)
{
    std::unique_lock<std::mutex> lock(mutex_);
    budget_ = qMax<qint64>(0, bytes);
    if (!makeRoom(0, QString(), Evict::Any)) {
        pieces_.clear(); // the frames that must stay come first
        pieceBytes_ = 0;
    }
}

qint64 FrameCache::budget() const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return budget_;
}

bool FrameCache::obtain(const QString& key, const Prepare& prepare, QImage& image, Use use, qint64 reserved, bool keep)
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
        if (!it->ready) {
            if (use == Use::Ahead) {
                reserved_ -= reserved;
                return false;
            }
            changed_.wait(lock); // another thread prepares this frame
            continue;
        }
        reserved_ -= reserved;
        it->pass = pass_;
        if (use == Use::Ahead) {
            pin(*it, true); // stays until its use
            return true;
        }
        it->lastUse = ++clock_;
        const bool wasPinned = it->pinned;
        pin(*it, false);
        if (!it->resident && !it->keep) {
            image = it->image;
            if (it->hasMean && passingMeans_.size() < kPassingMeans)
                passingMeans_.insert(key, it->mean);
            drop(it);
            handedOut(key, image);
            return true;
        }
        const std::shared_ptr<const Packed> packed = it->image.isNull() ? it->packed : nullptr;
        if (!packed) {
            image = it->image;
            it->handOut(image.cacheKey());
        }
        if (wasPinned)
            makeRoom(0, QString(), Evict::Any); // a frame read ahead may have been kept beyond the budget
        if (packed) {
            // Expanded outside the lock; the entry may go meanwhile, its pixels stay until then.
            lock.unlock();
            QImage expanded = unpack(*packed);
            lock.lock();
            auto again = entries_.find(key);
            if (again != entries_.end())
                again->handOut(expanded.cacheKey());
            image = expanded;
        }
        return true;
    }
    entries_.insert(key, Entry()); // claimed: others wait for it
    ++prepared_;
    lock.unlock();

    QImage prepared;
    bool ok = false;
    try {
        ok = prepare(prepared) && !prepared.isNull();
    } catch (...) {
        // Out of memory, most likely: nothing is remembered, so a later try prepares the frame again.
        lock.lock();
        reserved_ -= reserved;
        entries_.remove(key);
        changed_.notify_all();
        throw;
    }

    // Erasing entries of the hash moves others, so the entry is looked up again after every eviction.
    lock.lock();
    reserved_ -= reserved;
    if (!ok) {
        entries_[key].failed = true;
        changed_.notify_all();
        return false;
    }
    image = prepared;
    const qint64 packedBytes = storedBytes(prepared);
    const bool resident = keep && admitResident(packedBytes, key);
    const bool stored = resident || use == Use::Ahead || (keep && makeRoom(prepared.sizeInBytes(), key, Evict::Streaming));
    if (!stored) {
        entries_.remove(key);
        changed_.notify_all();
        handedOut(key, image);
        return true;
    }
    Entry& entry = entries_[key];
    entry.image = prepared; // until it is packed, a resident is handed out as it is
    entry.bytes = resident ? packedBytes : prepared.sizeInBytes();
    entry.ready = true;
    entry.keep = keep;
    entry.resident = resident;
    entry.admitted = entry.lastUse = ++clock_;
    entry.pass = pass_;
    entry.handOut(prepared.cacheKey()); // read ahead too: its mean colour may be taken before its use
    bytes_ += entry.bytes;
    if (resident)
        residentBytes_ += entry.bytes;
    pin(entry, use == Use::Ahead);
    changed_.notify_all();
    if (!resident) {
        makeRoom(0, key, Evict::Streaming); // a frame read ahead without a reservation
        return true;
    }

    lock.unlock();
    std::shared_ptr<const Packed> packed;
    try {
        packed = pack(prepared);
    } catch (const std::bad_alloc&) {
        // Kept as it is.
    }
    lock.lock();
    auto it = entries_.find(key);
    if (it == entries_.end() || !it->resident || it->image.cacheKey() != prepared.cacheKey())
        return true; // evicted (or replaced) meanwhile
    if (packed) {
        it->packed = packed;
        it->image = QImage();
    } else if (it->bytes != prepared.sizeInBytes()) {
        // It could not be packed: it counts at its full size.
        const qint64 more = prepared.sizeInBytes() - it->bytes;
        it->bytes += more;
        bytes_ += more;
        residentBytes_ += more;
        makeRoom(0, key, Evict::Any);
    }
    return true;
}

// Whether a frame of the given size can join the residents: they leave room for the most that
// read-ahead has reserved at once. Residents that the last two passes did not use give way, the least
// recently used first, and frames streaming through make room.
bool FrameCache::admitResident(qint64 bytes, const QString& keep)
{
    const qint64 room = std::max(readAheadRoom_, reserved_ + pinnedBytes_);
    while (residentBytes_ + pieceBytes_ + bytes + room > budget_) {
        auto victim = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (!it->ready || !it->resident || it->pinned || it->pass + 1 >= pass_ || it.key() == keep)
                continue;
            if (victim == entries_.end() || it->lastUse < victim->lastUse)
                victim = it;
        }
        if (victim == entries_.end())
            return false;
        drop(victim);
    }
    return makeRoom(bytes, keep, Evict::Streaming);
}

// Drops frames (never one being prepared, read ahead or named by keep) until the frames, the reserved
// memory and extra fit the budget. Frames streaming through go first, the least recently used first;
// then (upTo Stale or Any) residents that the last two passes did not use, the least recently used
// first; then (Any) the other residents, the most recently admitted first, so that the frames admitted
// first stay.
bool FrameCache::makeRoom(qint64 extra, const QString& keep, Evict upTo)
{
    while (bytes_ + pieceBytes_ + reserved_ + extra > budget_) {
        auto victim = entries_.end();
        int victimRank = 3;
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (!it->ready || it->pinned || it.key() == keep)
                continue;
            const int rank = !it->resident ? 0 : it->pass + 1 < pass_ ? 1 : 2;
            if (rank > int(upTo))
                continue;
            const bool better = victim == entries_.end() || rank < victimRank
                || (rank == victimRank && (rank == 2 ? it->admitted > victim->admitted : it->lastUse < victim->lastUse));
            if (better) {
                victim = it;
                victimRank = rank;
            }
        }
        if (victim == entries_.end())
            return false;
        drop(victim);
    }
    return true;
}

// Frames read ahead that are not residents are what read-ahead holds beside its reservations.
void FrameCache::pin(Entry& entry, bool pinned)
{
    if (entry.pinned == pinned)
        return;
    entry.pinned = pinned;
    if (!entry.resident)
        pinnedBytes_ += pinned ? entry.bytes : -entry.bytes;
}

void FrameCache::drop(QHash<QString, Entry>::iterator it)
{
    pin(*it, false);
    bytes_ -= it->bytes;
    if (it->resident)
        residentBytes_ -= it->bytes;
    entries_.erase(it);
}

bool FrameCache::reserve(qint64 bytes)
{
    std::unique_lock<std::mutex> lock(mutex_);
    reserved_ += bytes;
    if (makeRoom(0, QString(), Evict::Any)) {
        readAheadRoom_ = std::max(readAheadRoom_, reserved_ + pinnedBytes_);
        return true;
    }
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
    ++pass_;
    for (auto it = entries_.begin(); it != entries_.end();) {
        pin(*it, false);
        if (it->ready && !it->keep) {
            bytes_ -= it->bytes;
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    makeRoom(0, QString(), Evict::Any);
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
        if (e.ready && e.hasMean && e.handedOutAs(imageKey)) {
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
        if (it->ready && it->handedOutAs(imageKey)) {
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
    pieces_.clear();
    pieceBytes_ = 0;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->ready || it->failed) {
            pin(*it, false);
            bytes_ -= it->bytes;
            if (it->resident)
                residentBytes_ -= it->bytes;
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

qint64 FrameCache::bytesInUse() const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return bytes_ + pieceBytes_;
}

bool FrameCache::isResident(const QString& key) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto it = entries_.constFind(key);
    return it != entries_.constEnd() && it->ready && it->resident;
}

bool FrameCache::keepPiece(const QString& key, const QString& tag, const QImage& piece)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto old = pieces_.find(key);
    if (old != pieces_.end()) {
        pieceBytes_ -= old->image.sizeInBytes();
        pieces_.erase(old);
    }
    const qint64 bytes = piece.sizeInBytes();
    if (piece.isNull() || budget_ <= 0 || !makeRoom(bytes, key, Evict::Any))
        return false;
    pieces_.insert(key, Piece{tag, piece});
    pieceBytes_ += bytes;
    return true;
}

bool FrameCache::piece(const QString& key, const QString& tag, QImage* piece) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto it = pieces_.constFind(key);
    if (it == pieces_.constEnd() || it->tag != tag)
        return false;
    *piece = it->image;
    return true;
}

void FrameCache::clearPieces()
{
    std::unique_lock<std::mutex> lock(mutex_);
    pieces_.clear();
    pieceBytes_ = 0;
}

qint64 FrameCache::pieceBytes() const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return pieceBytes_;
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
