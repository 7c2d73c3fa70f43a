#include "memory.h"

#include <QFile>

#include <algorithm>
#include <cstdlib> // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <new>

#include <sys/mman.h>
#include <sys/resource.h>

namespace memory {

void keepLargeBuffers()
{
#if defined(__GLIBC__)
    // 32 MiB is the largest threshold the allocator accepts.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
#endif
}

PageBuffer::PageBuffer(std::size_t bytes)
    : size_(bytes)
{
    if (bytes == 0)
        return;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    data_ = static_cast<uchar*>(p);
}

PageBuffer::~PageBuffer()
{
    if (data_)
        munmap(data_, size_);
}

namespace {

// A limit file holds a number of bytes, or "max" (version 2) for none. Version 1 writes "no limit" as
// a huge number near 2^63, which needs no special case.
qint64 readLimit(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = f.read(64).trimmed();
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    return ok && v > 0 ? v : -1;
}

qint64 smaller(qint64 a, qint64 b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return std::min(a, b);
}

// The limit of the group at path and of each of its ancestors, up to the root of the hierarchy.
qint64 limitAlong(const QString& base, QString path, const QString& file)
{
    qint64 limit = -1;
    for (;;) {
        limit = smaller(limit, readLimit(base + path + QLatin1Char('/') + file));
        if (path.isEmpty() || path == QLatin1String("/"))
            break;
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        path = slash <= 0 ? QString() : path.left(slash);
    }
    return limit;
}

} // namespace

qint64 cgroupMemoryLimit(const QString& cgroupFile, const QString& root)
{
    QFile f(cgroupFile);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    qint64 limit = -1;
    // Lines are "hierarchy-ID:controllers:path"; version 2 has the ID 0 and no controllers.
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw.trimmed());
        const int first = line.indexOf(QLatin1Char(':'));
        const int second = first < 0 ? -1 : line.indexOf(QLatin1Char(':'), first + 1);
        if (second < 0)
            continue;
        const QString controllers = line.mid(first + 1, second - first - 1);
        QString path = line.mid(second + 1);
        if (path.endsWith(QLatin1Char('/')))
            path.chop(1);
        if (controllers.isEmpty())
            limit = smaller(limit, limitAlong(root, path, QStringLiteral("memory.max")));
        else if (controllers.split(QLatin1Char(',')).contains(QLatin1String("memory")))
            limit = smaller(limit, limitAlong(root + QStringLiteral("/memory"), path, QStringLiteral("memory.limit_in_bytes")));
    }
    return limit;
}

qint64 processMemoryLimit()
{
    qint64 limit = -1;
    struct rlimit rl;
    if (getrlimit(RLIMIT_AS, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        limit = qint64(std::min<rlim_t>(rl.rlim_cur, rlim_t(1) << 62));
    return smaller(limit, cgroupMemoryLimit());
}

} // namespace memory
