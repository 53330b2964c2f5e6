#include "platform/huge_pages.h"

#include <cstdint>
#include <cstring>

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

}  // namespace
}  // namespace qav::platform
