#include "platform/poll.h"
#include "platform/wake_up.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "core/test_support.h"

namespace qav::platform {
namespace {

using test_support::SocketPair;

TEST(Poll, ReportsTheNamedBitsOfRealSockets) {
    SocketPair quiet;
    SocketPair written;
    SocketPair hungUp;
    SocketPair closed;
    written.Send();
    close(std::exchange(hungUp.peer, -1));
    const int closedNumber = std::exchange(closed.mine, -1);
    close(closedNumber);

    PollRecord records[] = {
        {quiet.mine, kPollInput, 0xFFFF}, {written.mine, kPollInput, 0},
        {quiet.mine, kPollOutput, 0},     {hungUp.mine, kPollInput, 0},
        {closedNumber, kPollInput, 0},    {-1, kPollInput, 0xFFFF},
    };
    const uint16_t expected[] = {
        0, kPollInput, kPollOutput, kPollInput | kPollHangUp, kPollInvalid, 0,
    };
    int error = 0;
    EXPECT_EQ(Poll(records, std::size(records), 1000, error), 4);
    for (size_t i = 0; i < std::size(records); ++i) {
        EXPECT_EQ(records[i].returnedEvents, expected[i]) << "record " << i;
    }
    PollRecord idle{quiet.mine, kPollInput, 0};
    EXPECT_EQ(Poll(&idle, 1, 10, error), 0) << "time-out";
}

void IgnoreSignal(int) {}

TEST(Poll, AnInterruptionIsAnOrdinaryWakeUp) {
    struct sigaction action {};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: the wait returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    SocketPair quiet;
    const std::function<int(int&)> waits[] = {
        [&](int& error) {
            PollRecord record{quiet.mine, kPollInput, 0};
            return Poll(&record, 1, 60000, error);
        },
        [&](int& error) {
            SelectSets sets;
            sets.Add(quiet.mine, SelectSets::kRead);
            const int result = Select(sets, 60000, error);
            return sets.Contains(quiet.mine, SelectSets::kRead) ? 99 : result;
        },
    };
    for (const auto& wait : waits) {
        std::atomic<bool> done{false};
        int result = -2;
        int error = 0;
        std::thread waiter([&] {
            result = wait(error);
            done = true;
        });
        // The signal may come before the thread waits; it is sent until the wait ends.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done && std::chrono::steady_clock::now() < deadline) {
            pthread_kill(waiter.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        waiter.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(error, 0);
    }
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(WakeUpDescriptor, EndsAPollWithoutLimitAndDrainsToQuiet) {
    WakeUpDescriptor wakeUp;
    ASSERT_GE(wakeUp.descriptor(), 0);
    PollRecord record{wakeUp.descriptor(), kPollInput, 0};
    int error = 0;
    EXPECT_EQ(Poll(&record, 1, 0, error), 0) << "quiet before any signal";

    // Two signals before the poll, one during it: a single drain takes them all.
    EXPECT_TRUE(wakeUp.Signal());
    EXPECT_TRUE(wakeUp.Signal());
    std::thread signaller([&] { wakeUp.Signal(); });
    record.returnedEvents = 0;
    EXPECT_EQ(Poll(&record, 1, -1, error), 1);
    EXPECT_EQ(record.returnedEvents, kPollInput);
    signaller.join();
    wakeUp.Drain();
    record.returnedEvents = 0;
    EXPECT_EQ(Poll(&record, 1, 0, error), 0) << "drained";
    wakeUp.Drain();  // nothing to take: must not block
}

}  // namespace
}  // namespace qav::platform
