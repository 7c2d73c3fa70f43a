#pragma once
// Process-wide allocator settings for programs that run the engine, and the memory the process may use.

#include <QString>
#include <QtGlobal>

#include <cstddef>

namespace memory {

// Frames and scratch buffers of a few megabytes are allocated and freed for every frame. Keeping them
// in the heap (instead of mapping and unmapping pages for each) saves a page fault per 4 KiB per use.
// The heap then keeps freed memory for later use; the frames that live long (those of the frame cache)
// are kept outside it, in PageBuffers.
void keepLargeBuffers();

// Memory mapped for one buffer and unmapped when the buffer goes: the system gets it back at once,
// whatever the allocator keeps. For large buffers that live long (frames of the frame cache), where the
// heap would keep their memory after they are freed, or scatter long-lived frames between short-lived
// ones. Throws std::bad_alloc when the memory cannot be mapped.
class PageBuffer {
public:
    explicit PageBuffer(std::size_t bytes);
    ~PageBuffer();
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    uchar* data() { return data_; }
    const uchar* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    uchar* data_ = nullptr;
    std::size_t size_ = 0;
};

// The smaller of the address-space limit (RLIMIT_AS) and the control group's memory limit, in bytes;
// -1 when neither limits the process.
qint64 processMemoryLimit();

// The memory limit of the control group named in cgroupFile (the format of /proc/self/cgroup) under
// the control-group file system mounted at root: the smallest limit of the group and its ancestors,
// from memory.max (version 2) or memory/memory.limit_in_bytes (version 1); -1 when there is none.
qint64 cgroupMemoryLimit(const QString& cgroupFile = QStringLiteral("/proc/self/cgroup"),
                         const QString& root = QStringLiteral("/sys/fs/cgroup"));

} // namespace memory
