#include "network/callout_tracker.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace qav {
namespace {

// A wait ends when the callouts of other threads have ended, never before; the calls the
// waiting thread is inside of itself, however nested, do not hold it up.
TEST(CalloutTracker, WaitsForOtherThreadsOnlyAndNotForItsOwnCallouts) {
    CalloutTracker tracker;
    tracker.WaitForOtherThreads();  // none under way

    CalloutTracker::Callout outer;
    outer.Enter(tracker);
    outer.Enter(tracker);  // changes nothing
    {
        CalloutTracker other;
        CalloutTracker::Callout unrelated;
        unrelated.Enter(other);
        CalloutTracker::Callout inner;
        inner.Enter(tracker);
        EXPECT_EQ(2u, tracker.ActiveCallouts());
        tracker.WaitForOtherThreads();  // both are this thread's: no wait
    }
    EXPECT_EQ(1u, tracker.ActiveCallouts());

    std::atomic<bool> left{false};
    std::atomic<bool> entered{false};
    std::thread caller([&] {
        CalloutTracker::Callout callout;
        callout.Enter(tracker);
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        left = true;
    });
    while (!entered) {
        std::this_thread::yield();
    }
    tracker.WaitForOtherThreads();
    EXPECT_TRUE(left) << "the wait ended while another thread's callout was under way";
    caller.join();
    outer.Leave();
    EXPECT_EQ(0u, tracker.ActiveCallouts());
}

}  // namespace
}  // namespace qav
