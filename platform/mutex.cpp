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
    m_state.store(kAbandoned, std::memory_order_release);
    FutexWake(m_state, std::numeric_limits<int>::max());
}

}  // namespace qav::platform
