// What the polling thread spends its idle time in: one turn of waiting for input and
// output (the socket wait loop implements it).
#pragma once

#include <cstdint>

namespace qav {

class Waiter {
  public:
    // Results of Wait.
    static constexpr int kHandled = 1;        // sockets were ready and their handlers ran
    static constexpr int kBusyOrTimeout = 2;  // the lock was busy, or the wait timed out
    static constexpr int kNothingToWait = 4;  // no socket is waiting for anything
    static constexpr int kFailed = 5;         // the poll itself failed

    // Waits at most `timeoutMs` milliseconds. Called on the polling thread.
    virtual int Wait(int timeoutMs) = 0;
    // Ends a Wait under way on another thread at once, or else makes the next one return
    // at once: a stop of the polling thread must not sleep out the turn's time-out. Called
    // from any thread, with the polling thread's lock held: it must not block, take a lock
    // or call back into the polling thread.
    virtual void Interrupt() = 0;
    // The raw clock time spent inside the poll since the last call, then reset to zero.
    virtual int64_t TakeWaitTime() = 0;

  protected:
    ~Waiter() = default;
};

}  // namespace qav
