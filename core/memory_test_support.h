// For tests only: the process's own memory figures, and whether a sanitizer is built in.
// A sanitizer's shadow memory and its quarantine of freed blocks change the figures, so
// memory bars are skipped under one; it also slows every step, so long tests do less.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "core/test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QAV_MEMORY_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QAV_MEMORY_TEST_SANITIZED 1
#endif

namespace qav::test_support {

#if defined(QAV_MEMORY_TEST_SANITIZED)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

inline constexpr size_t kMiB = size_t{1} << 20;

struct MemoryFigures {
    size_t addressSpace = 0;  // bytes mapped
    size_t resident = 0;      // bytes of them in memory
};

inline MemoryFigures ReadMemoryFigures() {
    long pages = 0;
    long resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) {
        ADD_FAILURE() << "/proc/self/statm cannot be read";
        return {};
    }
    const bool read = std::fscanf(statm, "%ld %ld", &pages, &resident) == 2;
    std::fclose(statm);
    EXPECT_TRUE(read) << "/proc/self/statm holds no sizes";
    const size_t pageBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return {static_cast<size_t>(pages) * pageBytes, static_cast<size_t>(resident) * pageBytes};
}

inline double Mebibytes(size_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kMiB);
}

// A memory figure means something only in a process where no other test has touched the
// heap, and without a sanitizer. True inside the child that runs the current test alone
// (with `childVariable` set); otherwise the test is done when this returns: skipped under
// a sanitizer, or run in that child here, whose failure fails it.
inline bool MeasuresInOwnProcess(const char* childVariable) {
    if (kSanitizedBuild) {
        [] { GTEST_SKIP() << "a sanitizer changes what is resident and mapped"; }();
        return false;
    }
    if (std::getenv(childVariable) != nullptr) {
        return true;
    }
    EXPECT_EQ(RerunTestInChild(childVariable), 0)
        << "the test failed in its own process (output above)";
    return false;
}

}  // namespace qav::test_support
