#pragma once
// Process-wide allocator settings for programs that run the engine, and the memory the process may use.

#include <QString>
#include <QtGlobal>

namespace memory {

// Frames and scratch buffers of a few megabytes are allocated and freed for every frame. Keeping them
// in the heap (instead of mapping and unmapping pages for each) saves a page fault per 4 KiB per use.
void keepLargeBuffers();

// The smaller of the address-space limit (RLIMIT_AS) and the control group's memory limit, in bytes;
// -1 when neither limits the process.
qint64 processMemoryLimit();

// The memory limit of the control group named in cgroupFile (the format of /proc/self/cgroup) under
// the control-group file system mounted at root: the smallest limit of the group and its ancestors,
// from memory.max (version 2) or memory/memory.limit_in_bytes (version 1); -1 when there is none.
qint64 cgroupMemoryLimit(const QString& cgroupFile = QStringLiteral("/proc/self/cgroup"),
                         const QString& root = QStringLiteral("/sys/fs/cgroup"));

} // namespace memory
