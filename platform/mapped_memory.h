// Memory straight from the kernel for large arrays that come and go: freeing one gives
// its pages back to the system at once, whatever the allocator's thresholds have become.
// (An allocator that saw such a block freed may serve the next ones from its heap, where a
// freed block stays resident.)
//
// Threads: any.
#pragma once

#include <cstddef>

namespace qav::platform {

// `bytes` (more than 0) zero-filled and aligned to a page; null when the kernel refuses.
// Only the pages written to become resident.
void* AllocateMappedBytes(size_t bytes);

// Gives back a block of AllocateMappedBytes; `bytes` is what was asked for.
void FreeMappedBytes(void* block, size_t bytes);

}  // namespace qav::platform
