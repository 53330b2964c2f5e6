#include "platform/mutex.h"

#include <limits>

namespace qav::platform {

bool LockWord::LockSlow(int64_t deadline) {
    // Whoever takes the word from here marks it contended, so that its unlock wakes the
    // next sleeper; a spurious wake-up costs one extra system call, a lost one a hang.
    for (;;) {
        uint32_t state = m_state.load(std::memory_order_acquire);
        if (state == kAbandoned) {
            return false;
        }
        if (state == kFree) {
            if (m_state.compare_exchange_weak(state, kContended, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
                return true;
            }
            continue;
        }
        if (state == kHeld &&
            !m_state.compare_exchange_weak(state, kContended, std::memory_order_relaxed,
                                           std::memory_order_relaxed)) {
            continue;
        }
        if (!FutexWait(m_state, kContended, deadline)) {
            return false;
        }
    }
}

void LockWord::Abandon() {
    // To the sanitizer the ended holder let the word go: nobody ever takes it again (every
    // lock fails, and is told as failed), and the word may now be destroyed without a
    // report of a destroyed held lock, which the owner's end is not. The store stays in
    // its sight, so that whoever sees the word abandoned sees what the holder did first.
    Announce(kBeforeUnlock);
    Announce(kUnlocked);
    m_state.store(kAbandoned, std::memory_order_release);
    FutexWake(m_state, std::numeric_limits<int>::max());
}

#if defined(QAV_THREAD_SANITIZER)
void LockWord::Announce(Step step) {
    // Every word may carry the levels of a recursive lock (NestLevel); for one that
    // never nests, the flag changes nothing.
    constexpr unsigned kCreation = __tsan_mutex_write_reentrant;
    switch (step) {
        case kCreate:
            __tsan_mutex_create(this, kCreation);
            break;
        case kDestroy:
            __tsan_mutex_destroy(this, 0);
            break;
        case kBeforeLock:
            __tsan_mutex_pre_lock(this, 0);
            break;
        case kLocked:
            __tsan_mutex_post_lock(this, 0, 0);
            break;
        case kLockFailed:
            // Only an abandoned word refuses a lock without limit: nothing was acquired.
            __tsan_mutex_post_lock(this, __tsan_mutex_try_lock_failed, 0);
            break;
        case kBeforeTry:
            __tsan_mutex_pre_lock(this, __tsan_mutex_try_lock);
            break;
        case kTried:
            __tsan_mutex_post_lock(this, __tsan_mutex_try_lock, 0);
            break;
        case kTryFailed:
            __tsan_mutex_post_lock(this, __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed, 0);
            break;
        case kBeforeUnlock:
            // The word is freed whole: every nested level goes with it.
            __tsan_mutex_pre_unlock(this, __tsan_mutex_recursive_unlock);
            break;
        case kBeforeUnnest:
            __tsan_mutex_pre_unlock(this, 0);
            break;
        case kUnlocked:
            __tsan_mutex_post_unlock(this, 0);
            break;
    }
}
#endif

}  // namespace qav::platform
