#include "platform/page_memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace qav::platform {
namespace {

// A block comes zero-filled and aligned; its end can be given back on its own while the
// front stays usable; sizes that are not whole pages are refused.
TEST(PageMemory, BlocksAreWholePagesAndTheirEndCanGoFirst) {
    const size_t page = PageBytes();
    ASSERT_GE(page, 4096u);
    auto* block = static_cast<unsigned char*>(MapPages(4 * page));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % page, 0u);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[4 * page - 1], 0);
    std::memset(block, 0x5A, 4 * page);
    UnmapPages(block + 2 * page, 2 * page);
    std::memset(block, 0xA5, 2 * page);
    EXPECT_EQ(block[2 * page - 1], 0xA5);
    UnmapPages(block, 2 * page);

    // Grown, a block keeps what it held and gains zero-filled pages.
    auto* small = static_cast<unsigned char*>(MapPages(page));
    ASSERT_NE(small, nullptr);
    small[page - 1] = 0x77;
    auto* grown = static_cast<unsigned char*>(GrowPages(small, page, 3 * page));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[page - 1], 0x77);
    EXPECT_EQ(grown[3 * page - 1], 0);
    EXPECT_EQ(GrowPages(grown, 3 * page, page), nullptr);
    UnmapPages(grown, 3 * page);

    EXPECT_EQ(MapPages(0), nullptr);
    EXPECT_EQ(MapPages(page + 1), nullptr);
    UnmapPages(nullptr, page);
}

// A block filled in is zero-filled and writable end to end, and where the kernel can fault
// a mapping in at once, every page of it is in memory before it is first touched.
TEST(PageMemory, BlocksFilledInArriveInMemory) {
    const size_t page = PageBytes();
    const size_t bytes = 515 * page;
    auto* block = static_cast<unsigned char*>(MapPagesFilledIn(bytes));
    ASSERT_NE(block, nullptr);
    std::vector<unsigned char> inMemory(bytes / page);
    ASSERT_EQ(mincore(block, bytes, inMemory.data()), 0);
    void* probe = MapPages(page);
    ASSERT_NE(probe, nullptr);
    const bool kernelPopulates = madvise(probe, page, MADV_POPULATE_WRITE) == 0;
    UnmapPages(probe, page);
    if (kernelPopulates) {
        for (size_t at = 0; at < inMemory.size(); ++at) {
            ASSERT_EQ(inMemory[at] & 1, 1) << "page " << at << " is not in memory";
        }
    }
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[bytes - 1], 0);
    std::memset(block, 0xA5, bytes);
    EXPECT_EQ(block[bytes - 1], 0xA5);
    UnmapPages(block, bytes);

    EXPECT_EQ(MapPagesFilledIn(0), nullptr);
    EXPECT_EQ(MapPagesFilledIn(page + 1), nullptr);
}

}  // namespace
}  // namespace qav::platform
