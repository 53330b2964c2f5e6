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

    // False only when the word is abandoned.
    bool Lock() { return TryLock() || LockSlow(kNoDeadline); }
    bool TryLock() {
        uint32_t expected = kFree;
        return m_state.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                               std::memory_order_relaxed);
    }
    // Waits until the monotonic deadline (kNoDeadline for none); false when it passed or
    // when the word is abandoned.
    bool LockUntil(int64_t deadline) { return TryLock() || LockSlow(deadline); }
    void Unlock() {
        if (m_state.exchange(kFree, std::memory_order_release) == kContended) {
            FutexWake(m_state, 1);
        }
    }
    // For the holder whose thread ends without unlocking: the word is never free again,
    // and every lock, those waiting now included, fails at once instead of hanging.
    void Abandon();
    bool IsLocked() const { return m_state.load(std::memory_order_relaxed) != kFree; }
    bool IsAbandoned() const { return m_state.load(std::memory_order_acquire) == kAbandoned; }

  private:
    static constexpr uint32_t kFree = 0;
    static constexpr uint32_t kHeld = 1;
    static constexpr uint32_t kContended = 2;  // held, and someone may sleep on it
    static constexpr uint32_t kAbandoned = 3;  // its holder ended holding it

    bool LockSlow(int64_t deadline);

    std::atomic<uint32_t> m_state{kFree};
};

}  // namespace qav::platform
