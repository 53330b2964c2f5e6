#include "core/event.h"

#include "platform/thread.h"

namespace qav {

void Event::Close() {
    m_handle.Close();
}

bool Event::Wait(int timeout) {
    m_waitingThreadId.store(platform::CurrentThreadId(), std::memory_order_relaxed);
    if (!m_handle.WaitUntil(platform::DeadlineAfter(timeout))) {
        return false;
    }
    m_waitingThreadId.store(kNoThread, std::memory_order_relaxed);
    return true;
}

bool Event::Set() {
    m_signalled.store(1, std::memory_order_relaxed);
    return m_handle.Set();
}

bool Event::Reset() {
    m_signalled.store(0, std::memory_order_relaxed);
    return m_handle.Reset();
}

}  // namespace qav
