#include "core/event.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/thread.h"

namespace qav {
namespace {

using namespace std::chrono_literals;

TEST(Event, StaysSetUntilReset) {
    Event event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.Wait(60));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
    EXPECT_EQ(event.WaitingThreadId(), platform::CurrentThreadId())
        << "a timed-out wait leaves its thread recorded";
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(event.Wait(-1));
    EXPECT_TRUE(event.Wait(0)) << "a wait must not reset the event";
    EXPECT_EQ(event.WaitingThreadId(), Event::kNoThread);
    EXPECT_TRUE(event.Reset());
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_FALSE(event.Wait(0));
}

TEST(Event, SetReleasesEveryWaiterAndCloseEndsTheEvent) {
    for (bool close : {false, true}) {
        Event event;
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 4; ++i) {
            waiters.emplace_back(
                [&, i] { released += event.Wait(i % 2 == 0 ? -1 : 20000) ? 1 : 0; });
        }
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(released, 0);
        close ? event.Close() : static_cast<void>(event.Set());
        for (std::thread& waiter : waiters) {
            waiter.join();
        }
        EXPECT_EQ(released, close ? 0 : 4) << (close ? "closed" : "set");
    }
    Event closed;
    closed.Close();
    EXPECT_FALSE(closed.Set());
    EXPECT_FALSE(closed.Reset());
    EXPECT_FALSE(closed.Wait(0));
}

TEST(Event, NoWakeUpIsLostBetweenThreads) {
    // Two events played as a ping-pong: a lost wake-up hangs one side, which the
    // bounded waits turn into a failure.
    Event ping;
    Event pong;
    constexpr int kRounds = 2000;
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_TRUE(ping.Wait(10000)) << "round " << i;
            ping.Reset();
            pong.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ping.Set();
        ASSERT_TRUE(pong.Wait(10000)) << "round " << i;
        pong.Reset();
    }
    other.join();
}

}  // namespace
}  // namespace qav
