// Memory straight from the kernel for large blocks that are filled soon after they are
// taken, in two kinds:
// - huge pages: aligned to huge pages and asked for in them where the kernel offers them,
//   so filling a block costs one page fault per huge page instead of one per small page;
// - small pages faulted in at once: one call maps the whole block, and no huge page is
//   asked for. A huge page is a run of memory that is often untouched since the machine
//   started, which on a virtual machine costs far more to fill than the small pages that
//   were just given back.
// Freeing either gives it back to the kernel whole.
//
// Threads: any.
#pragma once

#include <cstddef>

namespace qav::platform {

// The size and alignment of the blocks.
inline constexpr size_t kHugePageBytes = size_t{1} << 21;

// `bytes` (a multiple of kHugePageBytes) zero-filled and aligned to kHugePageBytes; null
// when the kernel refuses. Where huge pages are not offered the block still works, in
// small pages.
void* AllocateHugePages(size_t bytes);

// Gives back a block of AllocateHugePages; `bytes` is what was asked for.
void FreeHugePages(void* block, size_t bytes);

// `bytes` (not 0) zero-filled in small pages, already in memory where the kernel can fault
// them in at once (else each on first touch); null when the kernel refuses.
void* AllocatePages(size_t bytes);

// Gives back a block of AllocatePages; `bytes` is what was asked for.
void FreePages(void* block, size_t bytes);

}  // namespace qav::platform
