// What large stream buffers leave resident once they are gone: nothing, even with small
// blocks that live on allocated between them, as a burst of connections leaves its
// objects and texts among its send buffers. The test runs again in a child process of its
// own (this program, filtered to that test), so that what other tests left in the heap
// does not count.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/stream_buffer.h"
#include "core/test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QAV_STREAM_MEMORY_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QAV_STREAM_MEMORY_SANITIZED 1
#endif

namespace qav {
namespace {

// A sanitizer changes what is resident: its shadow memory, its quarantine of freed blocks.
#if defined(QAV_STREAM_MEMORY_SANITIZED)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* kChildVariable = "QAV_TEST_STREAM_MEMORY_CHILD";
constexpr size_t kMiB = size_t{1} << 20;

size_t ResidentBytes() {
    long pages = 0;
    long resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) {
        ADD_FAILURE() << "/proc/self/statm cannot be read";
        return 0;
    }
    const bool read = std::fscanf(statm, "%ld %ld", &pages, &resident) == 2;
    std::fclose(statm);
    EXPECT_TRUE(read) << "/proc/self/statm holds no resident size";
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

double Mebibytes(size_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kMiB);
}

TEST(StreamBufferMemory, FilledBuffersLeaveNothingResidentOnceGone) {
    if (kSanitized) {
        GTEST_SKIP() << "a sanitizer changes what is resident";
    }
    if (std::getenv(kChildVariable) == nullptr) {
        EXPECT_EQ(test_support::RerunTestInChild(kChildVariable), 0)
            << "the test failed in its own process (output above)";
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
    const size_t before = ResidentBytes();
    {
        std::vector<std::unique_ptr<StreamBuffer>> buffers;
        for (int i = 0; i < kBuffers; ++i) {
            buffers.push_back(std::make_unique<StreamBuffer>());
            ASSERT_TRUE(buffers.back()->SetCapacity(kCapacity));
            ASSERT_EQ(kCapacity, buffers.back()->Write(bytes.data(), kCapacity));
            survivors.push_back(std::make_unique<std::string>(1000, 's'));
        }
        EXPECT_GE(ResidentBytes(), before + kBuffers * static_cast<size_t>(kCapacity))
            << "the buffers are not resident: the test measures nothing";
    }
    const size_t after = ResidentBytes();
    std::printf("resident before the buffers %.1f MiB, after they are gone %.1f MiB\n",
                Mebibytes(before), Mebibytes(after));
    EXPECT_LE(after, before + 4 * kMiB);
}

}  // namespace
}  // namespace qav
