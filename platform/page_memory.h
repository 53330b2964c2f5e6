// Memory straight from the kernel in pages, for the large blocks of parsed trees, in two
// kinds:
// - blocks whose untouched end is given back once their owner knows how much it used:
//   only the pages written become resident, and what is given back no longer counts as
//   address space;
// - blocks filled soon after they are taken, faulted in whole with one call, in small
//   pages: a huge page is a run of memory often untouched since the machine started,
//   which on a virtual machine costs far more to fill than small pages just given back.
//
// Threads: any.
#pragma once

#include <cstddef>

namespace qav::platform {

// The size of a page, which every length below is a multiple of.
size_t PageBytes();

// `bytes` (a multiple of PageBytes()) zero-filled and page-aligned; null when the kernel
// refuses.
void* MapPages(size_t bytes);

// `bytes` (a multiple of PageBytes()) zero-filled in small pages, already in memory where
// the kernel can fault them in at once (else each on first touch); null when the kernel
// refuses.
void* MapPagesFilledIn(size_t bytes);

// The block of MapPages at `block`, of `bytes`, grown to `newBytes` (a multiple of
// PageBytes()), possibly at another address: its pages keep their content and the new
// ones come zero-filled. Null, with the block left as it was, when the kernel refuses.
void* GrowPages(void* block, size_t bytes, size_t newBytes);

// Asks the kernel to back the block with huge pages where it can: fewer page faults
// when it is filled and fewer translation misses when it is walked, at the price of a
// huge page's worth made resident at a time.
void AdviseHugePages(void* block, size_t bytes);

// Gives back `bytes` (a multiple of PageBytes()) from `start` (page-aligned): a whole
// block of MapPages or MapPagesFilledIn, or any page-aligned part of one.
void UnmapPages(void* start, size_t bytes);

}  // namespace qav::platform
