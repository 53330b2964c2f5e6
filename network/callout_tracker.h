// Counts the calls an object makes out of itself (events to its sink, send completions,
// hand-overs to its owner) while they are under way, so that a close on one thread can
// return only once no such call runs on another thread any more: the owner may then free
// what those calls use. A close made from inside such a call does not wait for the calls
// its own thread is inside of, which could never end before it.
//
// Typical usage:
//   CalloutTracker::Callout callout;
//   {
//       MutualExclusionLock lock(m_mutex);
//       if (m_closed) return;
//       callout.Enter(m_callouts);   // under the lock that the close takes
//   }
//   m_sink->Tell(...);               // the callout lasts until `callout` leaves
//   ...
//   void Close() {
//       { MutualExclusionLock lock(m_mutex); m_closed = true; }
//       m_callouts.WaitForOtherThreads();
//   }
//
// The wait covers only the calls that began before the close: a callout is entered under
// the object's lock after checking that the object is still open, so none begins after
// the close. WaitForOtherThreads must not be called while holding a lock that a callout
// may take, and a callout must not wait for a thread that is closing the object.
//
// Threads: any. A Callout belongs to the thread that entered it.
#pragma once

#include <atomic>
#include <cstdint>

namespace qav {

class CalloutTracker {
  public:
    class Callout {
      public:
        Callout() = default;
        ~Callout() { Leave(); }
        Callout(const Callout&) = delete;
        Callout& operator=(const Callout&) = delete;

        // Counts a call out of `tracker`'s object as under way on this thread; a second
        // Enter of an entered callout changes nothing.
        void Enter(CalloutTracker& tracker);
        // Ends the call; nothing when not entered.
        void Leave();

      private:
        friend class CalloutTracker;

        CalloutTracker* m_tracker = nullptr;
        Callout* m_outer = nullptr;  // the callout this thread was inside before
    };

    CalloutTracker() = default;
    CalloutTracker(const CalloutTracker&) = delete;
    CalloutTracker& operator=(const CalloutTracker&) = delete;

    // Returns once no callout of this tracker is under way on any other thread. Sleeps
    // meanwhile (no spinning).
    void WaitForOtherThreads();

    // For tests: callouts under way on all threads.
    uint32_t ActiveCallouts() const { return m_word.load(std::memory_order_relaxed) & kCountMask; }

  private:
    // One word, so that a leaving callout touches the tracker with one atomic operation
    // and one wake-up: the low half counts the callouts under way, the high half the
    // threads waiting for them.
    static constexpr uint32_t kCountMask = 0xFFFF;
    static constexpr uint32_t kOneWaiter = 0x10000;

    std::atomic<uint32_t> m_word{0};
};

}  // namespace qav
