#include "platform/safe_read.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "core/test_support.h"

namespace qav::platform {
namespace {

TEST(SafeRead, CopiesReadableMemoryAndRefusesTheRest) {
    for (bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "pipe probe" : "process_vm_readv");
        UsePipeProbeForTesting(pipe);
        test_support::GuardedPages pages(2);
        const size_t page = pages.PageSize();
        char* base = pages.Readable();
        for (size_t i = 0; i < 2 * page; ++i) {
            base[i] = static_cast<char>(i * 7);
        }

        std::vector<char> out(2 * page);
        EXPECT_TRUE(SafeRead(base + 3, out.data(), 2 * page - 3)) << "across a page boundary";
        EXPECT_EQ(std::memcmp(out.data(), base + 3, 2 * page - 3), 0);
        EXPECT_FALSE(SafeRead(base + 2 * page - 4, out.data(), 8)) << "runs into the bad page";
        EXPECT_FALSE(SafeRead(base + 2 * page, out.data(), 1));
        EXPECT_FALSE(SafeRead(nullptr, out.data(), 1));
        EXPECT_FALSE(SafeRead(reinterpret_cast<void*>(~uintptr_t{0} - 2), out.data(), 8))
            << "a range that wraps the address space";
        EXPECT_TRUE(SafeRead(nullptr, out.data(), 0));

        std::memset(out.data(), 0, out.size());
        EXPECT_EQ(SafeReadPrefix(base + page + 10, out.data(), 2 * page), page - 10)
            << "the prefix stops where the bad page begins";
        EXPECT_EQ(std::memcmp(out.data(), base + page + 10, page - 10), 0);
        EXPECT_EQ(SafeReadPrefix(base + 2 * page, out.data(), 16), 0u);
    }
    UsePipeProbeForTesting(false);
}

}  // namespace
}  // namespace qav::platform
