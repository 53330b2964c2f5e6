#include "platform/huge_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace qav::platform {
namespace {

// A block is aligned, zero-filled and writable end to end; a size that is not a whole
// number of huge pages is refused rather than rounded.
TEST(HugePages, BlocksAreAlignedWholeAndRefusedForOddSizes) {
    constexpr size_t kBytes = 2 * kHugePageBytes;
    auto* block = static_cast<unsigned char*>(AllocateHugePages(kBytes));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % kHugePageBytes, 0u);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[kBytes - 1], 0);
    std::memset(block, 0x5A, kBytes);
    EXPECT_EQ(block[kBytes - 1], 0x5A);
    FreeHugePages(block, kBytes);

    EXPECT_EQ(AllocateHugePages(0), nullptr);
    EXPECT_EQ(AllocateHugePages(kHugePageBytes + 4096), nullptr);
    FreeHugePages(nullptr, kBytes);
}

// A block of small pages is zero-filled and writable end to end, and where the kernel can
// fault a mapping in at once, every page of it is in memory before it is first touched.
TEST(HugePages, SmallPageBlocksArriveInMemory) {
    constexpr size_t kBytes = kHugePageBytes + 3 * 4096;
    auto* block = static_cast<unsigned char*>(AllocatePages(kBytes));
    ASSERT_NE(block, nullptr);
    const size_t pageBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> inMemory((kBytes + pageBytes - 1) / pageBytes);
    ASSERT_EQ(mincore(block, kBytes, inMemory.data()), 0);
    void* probe =
        mmap(nullptr, pageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(probe, MAP_FAILED);
    const bool kernelPopulates = madvise(probe, pageBytes, MADV_POPULATE_WRITE) == 0;
    munmap(probe, pageBytes);
    if (kernelPopulates) {
        for (size_t page = 0; page < inMemory.size(); ++page) {
            ASSERT_EQ(inMemory[page] & 1, 1) << "page " << page << " is not in memory";
        }
    }
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[kBytes - 1], 0);
    std::memset(block, 0xA5, kBytes);
    EXPECT_EQ(block[kBytes - 1], 0xA5);
    FreePages(block, kBytes);

    EXPECT_EQ(AllocatePages(0), nullptr);
    FreePages(nullptr, kBytes);
}

}  // namespace
}  // namespace qav::platform
