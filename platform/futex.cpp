#include "platform/futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/clock.h"

namespace qav::platform {

namespace {

// The futex calls take the word's address; std::atomic<uint32_t> is the plain word.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

uint32_t* WordAddress(std::atomic<uint32_t>& word) {
    return reinterpret_cast<uint32_t*>(&word);
}

}  // namespace

int64_t DeadlineAfter(int milliseconds) {
    if (milliseconds < 0) {
        return kNoDeadline;
    }
    return static_cast<int64_t>(MonotonicNanoseconds()) +
           static_cast<int64_t>(milliseconds) * 1000000;
}

bool FutexWait(std::atomic<uint32_t>& word, uint32_t expected, int64_t deadline) {
    timespec until{};
    timespec* untilPointer = nullptr;
    if (deadline != kNoDeadline) {
        if (static_cast<int64_t>(MonotonicNanoseconds()) >= deadline) {
            return false;
        }
        until.tv_sec = static_cast<time_t>(deadline / 1000000000);
        until.tv_nsec = static_cast<long>(deadline % 1000000000);
        untilPointer = &until;
    }
    // FUTEX_WAIT_BITSET takes an absolute time on CLOCK_MONOTONIC, so a step of the
    // wall clock neither shortens nor stretches the wait.
    const long result = syscall(SYS_futex, WordAddress(word), FUTEX_WAIT_BITSET_PRIVATE, expected,
                                untilPointer, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(result == -1 && errno == ETIMEDOUT);
}

void FutexWake(std::atomic<uint32_t>& word, int count) {
    syscall(SYS_futex, WordAddress(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

}  // namespace qav::platform
