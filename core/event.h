// A manual-reset event: once set, every wait returns at once until it is reset.
// It remembers, for diagnostics, whether it is signalled and which thread waited last.
//
// Threads: Set, Reset and Close from any thread; in this system one thread at a time
// waits on a given event (several may, all are released by Set).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/event.h"

namespace qav {

class Event {
  public:
    static constexpr uint32_t kNoThread = 0xFFFFFFFFu;

    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Ends the event: waiters are released with false, and every later call fails.
    void Close();
    // Timeout in milliseconds, -1 (any negative) without limit. True when signalled.
    bool Wait(int timeout);
    bool Set();
    bool Reset();

    // Diagnostics: the signalled mirror and the last thread that began a wait
    // (kNoThread after a successful wait).
    bool IsSignalled() const { return m_signalled.load(std::memory_order_relaxed) != 0; }
    uint32_t WaitingThreadId() const { return m_waitingThreadId.load(std::memory_order_relaxed); }

  private:
    platform::EventWord m_handle;
    std::atomic<int32_t> m_signalled{0};
    std::atomic<uint32_t> m_waitingThreadId{kNoThread};
};

}  // namespace qav
