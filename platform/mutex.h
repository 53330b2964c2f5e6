// A plain (not recursive) lock on one futex word: uncontended lock and unlock are one
// atomic operation each. Timed locks measure on CLOCK_MONOTONIC.
//
// Built on atomics rather than a pthread mutex because the pthread timed lock on the
// monotonic clock is invisible to ThreadSanitizer; acquire and release on the word give
// the sanitizer (and the memory model) the ordering a mutex gives.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/futex.h"

namespace qav::platform {

class LockWord {
  public:
    LockWord() = default;
    LockWord(const LockWord&) = delete;
    LockWord& operator=(const LockWord&) = delete;

    void Lock() {
        if (!TryLock()) {
            LockSlow(kNoDeadline);
        }
    }
    bool TryLock() {
        uint32_t expected = kFree;
        return m_state.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                               std::memory_order_relaxed);
    }
    // Waits until the monotonic deadline (kNoDeadline for none); false when it passed.
    bool LockUntil(int64_t deadline) { return TryLock() || LockSlow(deadline); }
    void Unlock() {
        if (m_state.exchange(kFree, std::memory_order_release) == kContended) {
            FutexWake(m_state, 1);
        }
    }
    bool IsLocked() const { return m_state.load(std::memory_order_relaxed) != kFree; }

  private:
    static constexpr uint32_t kFree = 0;
    static constexpr uint32_t kHeld = 1;
    static constexpr uint32_t kContended = 2;  // held, and someone may sleep on it

    bool LockSlow(int64_t deadline);

    std::atomic<uint32_t> m_state{kFree};
};

}  // namespace qav::platform
