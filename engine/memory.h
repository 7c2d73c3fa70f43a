#pragma once
// Process-wide allocator settings for programs that run the engine.

namespace memory {

// Frames and scratch buffers of a few megabytes are allocated and freed for every frame. Keeping them
// in the heap (instead of mapping and unmapping pages for each) saves a page fault per 4 KiB per use.
void keepLargeBuffers();

} // namespace memory
