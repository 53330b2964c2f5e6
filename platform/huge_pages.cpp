#include "platform/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace qav::platform {

void* AllocateHugePages(size_t bytes) {
    if (bytes == 0 || bytes % kHugePageBytes != 0 || bytes > SIZE_MAX - kHugePageBytes) {
        return nullptr;
    }
    // The kernel aligns a mapping to small pages only: one huge page more is mapped and
    // what lies outside the aligned block is given back.
    const size_t mapped = bytes + kHugePageBytes;
    void* mapping =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<uintptr_t>(mapping);
    const uintptr_t aligned = (start + kHugePageBytes - 1) & ~uintptr_t{kHugePageBytes - 1};
    if (aligned != start) {
        ::munmap(mapping, aligned - start);
    }
    const uintptr_t end = start + mapped;
    if (end != aligned + bytes) {
        ::munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
    }
    void* block = reinterpret_cast<void*>(aligned);
    // Refused where the kernel has no huge pages for this process: small pages then.
    (void)::madvise(block, bytes, MADV_HUGEPAGE);
    return block;
}

void FreeHugePages(void* block, size_t bytes) {
    if (block != nullptr) {
        ::munmap(block, bytes);
    }
}

void* AllocatePages(size_t bytes) {
    if (bytes == 0) {
        return nullptr;
    }
    void* block =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        return nullptr;
    }
    // Where huge pages are on for every mapping, this one still takes small ones.
    (void)::madvise(block, bytes, MADV_NOHUGEPAGE);
    // Refused by kernels before 5.14: the pages are then faulted in one by one as they are
    // first written.
    (void)::madvise(block, bytes, MADV_POPULATE_WRITE);
    return block;
}

void FreePages(void* block, size_t bytes) {
    if (block != nullptr) {
        ::munmap(block, bytes);
    }
}

}  // namespace qav::platform
