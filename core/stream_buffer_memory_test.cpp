// What large stream buffers leave resident once they are gone: nothing, even with small
// blocks that live on allocated between them, as a burst of connections leaves its
// objects and texts among its send buffers. The test runs again in a child process of its
// own (this program, filtered to that test), so that what other tests left in the heap
// does not count.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory_test_support.h"
#include "core/stream_buffer.h"
#include "core/test_support.h"

namespace qav {
namespace {

using test_support::kMiB;
using test_support::Mebibytes;
using test_support::ReadMemoryFigures;

constexpr const char* kChildVariable = "QAV_TEST_STREAM_MEMORY_CHILD";

TEST(StreamBufferMemory, FilledBuffersLeaveNothingResidentOnceGone) {
    if (!test_support::MeasuresInOwnProcess(kChildVariable)) {
        return;
    }
    constexpr int kBuffers = 200;
    constexpr int32_t kCapacity = 0x40000;
    const std::vector<uint8_t> bytes(kCapacity, 0x5A);
    {
        // One buffer gone first, as the first connection of a burst to close leaves it.
        StreamBuffer first;
        ASSERT_TRUE(first.SetCapacity(kCapacity));
        ASSERT_EQ(kCapacity, first.Write(bytes.data(), kCapacity));
    }
    std::vector<std::unique_ptr<std::string>> survivors;
    survivors.reserve(kBuffers);
    const size_t before = ReadMemoryFigures().resident;
    {
        std::vector<std::unique_ptr<StreamBuffer>> buffers;
        for (int i = 0; i < kBuffers; ++i) {
            buffers.push_back(std::make_unique<StreamBuffer>());
            ASSERT_TRUE(buffers.back()->SetCapacity(kCapacity));
            ASSERT_EQ(kCapacity, buffers.back()->Write(bytes.data(), kCapacity));
            survivors.push_back(std::make_unique<std::string>(1000, 's'));
        }
        EXPECT_GE(ReadMemoryFigures().resident, before + kBuffers * static_cast<size_t>(kCapacity))
            << "the buffers are not resident: the test measures nothing";
    }
    const size_t after = ReadMemoryFigures().resident;
    std::printf("resident before the buffers %.1f MiB, after they are gone %.1f MiB\n",
                Mebibytes(before), Mebibytes(after));
    EXPECT_LE(after, before + 4 * kMiB);
}

}  // namespace
}  // namespace qav
