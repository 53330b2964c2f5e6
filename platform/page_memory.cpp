#include "platform/page_memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace qav::platform {

size_t PageBytes() {
    static const size_t kBytes = [] {
        const long bytes = ::sysconf(_SC_PAGESIZE);
        return bytes > 0 ? static_cast<size_t>(bytes) : size_t{4096};
    }();
    return kBytes;
}

void* MapPages(size_t bytes) {
    if (bytes == 0 || bytes % PageBytes() != 0) {
        return nullptr;
    }
    void* block =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void* MapPagesFilledIn(size_t bytes) {
    void* block = MapPages(bytes);
    if (block != nullptr) {
        // Where huge pages are on for every mapping, this one still takes small ones.
        (void)::madvise(block, bytes, MADV_NOHUGEPAGE);
        // Refused by kernels before 5.14: the pages are then faulted in one by one as
        // they are first written.
        (void)::madvise(block, bytes, MADV_POPULATE_WRITE);
    }
    return block;
}

void* GrowPages(void* block, size_t bytes, size_t newBytes) {
    if (block == nullptr || newBytes < bytes || newBytes % PageBytes() != 0) {
        return nullptr;
    }
    void* grown = ::mremap(block, bytes, newBytes, MREMAP_MAYMOVE);
    return grown == MAP_FAILED ? nullptr : grown;
}

void AdviseHugePages(void* block, size_t bytes) {
    // Refused where the kernel has no huge pages for this process: small pages then.
    (void)::madvise(block, bytes, MADV_HUGEPAGE);
}

void UnmapPages(void* start, size_t bytes) {
    if (start != nullptr && bytes != 0) {
        ::munmap(start, bytes);
    }
}

}  // namespace qav::platform
