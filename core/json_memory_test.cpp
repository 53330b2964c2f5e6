// What a JSON tree leaves resident once it is gone: nothing of it, whichever thread
// parsed it. Each test runs again in a child process of its own (this program, filtered
// to that test), so that what other tests left in the heap does not count.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/json_object.h"
#include "core/test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QAV_JSON_MEMORY_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QAV_JSON_MEMORY_SANITIZED 1
#endif

namespace qav {
namespace {

// A sanitizer changes what is resident: its shadow memory, its quarantine of freed blocks.
#if defined(QAV_JSON_MEMORY_SANITIZED)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* kChildVariable = "QAV_TEST_JSON_MEMORY_CHILD";
constexpr size_t kMiB = size_t{1} << 20;

bool InsideChild() {
    return std::getenv(kChildVariable) != nullptr;
}

// Runs the current test again in a new process; its failures fail the test.
void RerunInChild() {
    EXPECT_EQ(test_support::RerunTestInChild(kChildVariable), 0)
        << "the test failed in its own process (output above)";
}

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

// About `bytes` of records such as messages carry: names, strings long and short, with
// escapes and non-ASCII text, numbers, nested arrays and objects.
std::string Document(size_t bytes) {
    std::string text = "{\"version\":3,\"records\":[";
    for (uint32_t id = 1; text.size() < bytes; ++id) {
        const std::string number = std::to_string(id);
        text += (id > 1 ? ",\n" : "");
        text += "{\"id\":" + number + ",\"name\":\"record " + number +
                " caf\xC3\xA9 \\\"quoted\\\" \xE4\xB8\xAD\xE6\x96\x87\",\"enabled\":true,"
                "\"scale\":" +
                std::to_string(id % 997) +
                ".25,\"tags\":[\"alpha\",\"a tag longer than a short string\",null],"
                "\"position\":{\"x\":" +
                std::to_string(id % 4000) + ",\"y\":-" + std::to_string(id % 3000) +
                ",\"history\":[[1,2],[3," + number + "],{\"at\":1.5e3}]},\"note\":\"line\\n" +
                std::string(id % 40, 'n') + "\"}";
    }
    text += "]}";
    return text;
}

double Mebibytes(size_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kMiB);
}

TEST(JsonMemory, ADroppedTreeLeavesNothingResident) {
    if (kSanitized) {
        GTEST_SKIP() << "a sanitizer changes what is resident";
    }
    if (!InsideChild()) {
        RerunInChild();
        return;
    }
    const std::string text = Document(16 * kMiB);
    const size_t before = ResidentBytes();
    {
        JsonObject tree;
        ASSERT_TRUE(tree.FromUtf8Text(text));
        const size_t held = ResidentBytes();
        EXPECT_GT(held, before + 16 * kMiB) << "the tree is smaller than thought";
    }
    const size_t after = ResidentBytes();
    std::printf("resident before the parse %.1f MiB, after the tree is dropped %.1f MiB\n",
                Mebibytes(before), Mebibytes(after));
    EXPECT_LE(after, before + 40 * kMiB);
}

TEST(JsonMemory, IdleThreadsKeepNothingOfTheTreesTheyParsed) {
    if (kSanitized) {
        GTEST_SKIP() << "a sanitizer changes what is resident";
    }
    if (!InsideChild()) {
        RerunInChild();
        return;
    }
    constexpr int kThreads = 32;
    const std::string text = Document(4 * kMiB);
    std::atomic<int> failed{0};
    std::latch parsed(kThreads);
    std::latch release(1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            {
                JsonObject tree;
                if (!tree.FromUtf8Text(text)) {
                    failed.fetch_add(1);
                }
            }
            parsed.count_down();
            release.wait();
        });
    }
    parsed.wait();
    const size_t idle = ResidentBytes();
    release.count_down();
    for (std::thread& thread : threads) {
        thread.join();
    }
    const size_t ended = ResidentBytes();
    std::printf("resident with %d idle threads %.1f MiB, after they ended %.1f MiB\n", kThreads,
                Mebibytes(idle), Mebibytes(ended));
    EXPECT_EQ(failed.load(), 0);
    EXPECT_LE(idle, 64 * kMiB);
    EXPECT_LE(ended, 64 * kMiB);
}

}  // namespace
}  // namespace qav
