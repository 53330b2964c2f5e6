// A manual-reset event on one futex word. Waits measure on CLOCK_MONOTONIC.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/futex.h"

namespace qav::platform {

class EventWord {
  public:
    EventWord() = default;
    EventWord(const EventWord&) = delete;
    EventWord& operator=(const EventWord&) = delete;

    // False once closed.
    bool Set();
    bool Reset();
    // Releases every waiter (with false) and fails every later call.
    void Close();
    // True when signalled before the monotonic deadline (kNoDeadline for none); false on
    // time-out or when closed.
    bool WaitUntil(int64_t deadline);

  private:
    static constexpr uint32_t kSignalled = 1;
    static constexpr uint32_t kClosed = 2;

    bool Wake();

    std::atomic<uint32_t> m_state{0};
    std::atomic<uint32_t> m_sleepers{0};
};

}  // namespace qav::platform
