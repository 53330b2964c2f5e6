#include "platform/mutex.h"

namespace qav::platform {

bool LockWord::LockSlow(int64_t deadline) {
    // Whoever takes the word from here marks it contended, so that its unlock wakes the
    // next sleeper; a spurious wake-up costs one extra system call, a lost one a hang.
    while (m_state.exchange(kContended, std::memory_order_acquire) != kFree) {
        if (!FutexWait(m_state, kContended, deadline)) {
            return false;
        }
    }
    return true;
}

}  // namespace qav::platform
