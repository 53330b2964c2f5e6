#include "platform/event.h"

namespace qav::platform {

bool EventWord::Set() {
    uint32_t state = m_state.load(std::memory_order_relaxed);
    do {
        if (state & kClosed) {
            return false;
        }
    } while (!m_state.compare_exchange_weak(state, state | kSignalled, std::memory_order_seq_cst,
                                            std::memory_order_relaxed));
    return Wake();
}

bool EventWord::Reset() {
    uint32_t state = m_state.load(std::memory_order_relaxed);
    do {
        if (state & kClosed) {
            return false;
        }
    } while (!m_state.compare_exchange_weak(state, state & ~kSignalled, std::memory_order_seq_cst,
                                            std::memory_order_relaxed));
    return true;
}

void EventWord::Close() {
    m_state.fetch_or(kClosed, std::memory_order_seq_cst);
    Wake();
}

bool EventWord::Wake() {
    // Sleepers count themselves before they look at the state, and the state changed
    // before this look at the count (both sequentially consistent): a sleeper that this
    // misses has not looked yet and will see the new state.
    if (m_sleepers.load(std::memory_order_seq_cst) != 0) {
        FutexWake(m_state, 0x7FFFFFFF);
    }
    return true;
}

bool EventWord::WaitUntil(int64_t deadline) {
    uint32_t state = m_state.load(std::memory_order_acquire);
    if (state != 0) {
        return state == kSignalled;
    }
    m_sleepers.fetch_add(1, std::memory_order_seq_cst);
    bool timedOut = false;
    while ((state = m_state.load(std::memory_order_seq_cst)) == 0) {
        if (!FutexWait(m_state, 0, deadline)) {
            timedOut = true;
            break;
        }
    }
    m_sleepers.fetch_sub(1, std::memory_order_relaxed);
    return !timedOut && state == kSignalled;
}

}  // namespace qav::platform
