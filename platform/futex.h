// Waiting on a 32-bit word: the kernel primitive under the lock word and the event word.
#pragma once

#include <atomic>
#include <cstdint>

namespace qav::platform {

// No deadline.
constexpr int64_t kNoDeadline = -1;

// The CLOCK_MONOTONIC deadline `milliseconds` from now; negative gives kNoDeadline.
int64_t DeadlineAfter(int milliseconds);

// Sleeps while `word` holds `expected`, until woken or until the monotonic deadline
// (nanoseconds, kNoDeadline for none). May return early for no reason: callers re-check.
// False only when the deadline has passed.
bool FutexWait(std::atomic<uint32_t>& word, uint32_t expected, int64_t deadline);

// Wakes up to `count` threads sleeping on `word`.
void FutexWake(std::atomic<uint32_t>& word, int count);

}  // namespace qav::platform
