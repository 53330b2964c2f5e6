// A plain (not recursive) lock on one futex word: uncontended lock and unlock are one
// atomic operation each. Timed locks measure on CLOCK_MONOTONIC.
//
// Built on atomics rather than a pthread mutex because the pthread timed lock on the
// monotonic clock is invisible to ThreadSanitizer. The sanitizer would take the word for
// a plain atomic, though, and learn neither the order in which locks are taken nor which
// accesses a lock guards; so under it every operation on the word is announced through
// its mutex interface, and the atomics inside are hidden from it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/futex.h"

#if defined(__SANITIZE_THREAD__)
#define QAV_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QAV_THREAD_SANITIZER 1
#endif
#endif

#if defined(QAV_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>
#endif

namespace qav::platform {

class LockWord {
  public:
    LockWord() { Announce(kCreate); }
    ~LockWord() { Announce(kDestroy); }
    LockWord(const LockWord&) = delete;
    LockWord& operator=(const LockWord&) = delete;

    // False only when the word is abandoned.
    bool Lock() {
        Announce(kBeforeLock);
        const bool locked = Acquire() || LockSlow(kNoDeadline);
        Announce(locked ? kLocked : kLockFailed);
        return locked;
    }
    bool TryLock() {
        Announce(kBeforeTry);
        const bool locked = Acquire();
        Announce(locked ? kTried : kTryFailed);
        return locked;
    }
    // Waits until the monotonic deadline (kNoDeadline for none); false when it passed or
    // when the word is abandoned. A wait that can give up cannot deadlock, so the
    // sanitizer hears of it as a try.
    bool LockUntil(int64_t deadline) {
        Announce(kBeforeTry);
        const bool locked = Acquire() || LockSlow(deadline);
        Announce(locked ? kTried : kTryFailed);
        return locked;
    }
    // Frees the word, whatever levels a recursive lock above had nested on it.
    void Unlock() {
        Announce(kBeforeUnlock);
        Release();
        Announce(kUnlocked);
    }
    // For a recursive lock built on the word: its owner's further levels never touch the
    // word, but the sanitizer counts them too, so that it checks who nests and unnests.
    void NestLevel() {
        Announce(kBeforeLock);
        Announce(kLocked);
    }
    void UnnestLevel() {
        Announce(kBeforeUnnest);
        Announce(kUnlocked);
    }
    // For the holder whose thread ends without unlocking: the word is never free again,
    // and every lock, those waiting now included, fails at once instead of hanging.
    // Called on the holder's thread.
    void Abandon();
    bool IsLocked() const { return m_state.load(std::memory_order_relaxed) != kFree; }
    bool IsAbandoned() const { return m_state.load(std::memory_order_acquire) == kAbandoned; }

  private:
    static constexpr uint32_t kFree = 0;
    static constexpr uint32_t kHeld = 1;
    static constexpr uint32_t kContended = 2;  // held, and someone may sleep on it
    static constexpr uint32_t kAbandoned = 3;  // its holder ended holding it

    // What the sanitizer is told; nothing outside its builds.
    enum Step {
        kCreate,
        kDestroy,
        kBeforeLock,
        kLocked,
        kLockFailed,
        kBeforeTry,
        kTried,
        kTryFailed,
        kBeforeUnlock,
        kBeforeUnnest,
        kUnlocked
    };
#if defined(QAV_THREAD_SANITIZER)
    void Announce(Step step);
#else
    void Announce(Step) {}
#endif

    bool Acquire() {
        uint32_t expected = kFree;
        return m_state.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                               std::memory_order_relaxed);
    }
    void Release() {
        if (m_state.exchange(kFree, std::memory_order_release) == kContended) {
            FutexWake(m_state, 1);
        }
    }
    bool LockSlow(int64_t deadline);

    std::atomic<uint32_t> m_state{kFree};
};

}  // namespace qav::platform
