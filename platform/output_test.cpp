#include "platform/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "platform/signals.h"
#include "platform/wake_up.h"

namespace qav::platform {
namespace {

// A pipe of one page, whose reader the test plays (or does not).
struct SmallPipe {
    SmallPipe() {
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        EXPECT_EQ(fcntl(ends[1], F_SETPIPE_SZ, 4096), 4096);
    }
    ~SmallPipe() {
        for (const int end : ends) {
            if (end >= 0) {
                close(end);
            }
        }
    }
    size_t Drain() {
        char buffer[8192];
        size_t total = 0;
        fcntl(ends[0], F_SETFL, O_NONBLOCK);
        for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) > 0;) {
            total += static_cast<size_t>(got);
        }
        fcntl(ends[0], F_SETFL, 0);
        return total;
    }
    int ends[2] = {-1, -1};
};

// An output that nobody reads holds the writer only as long as it allows: a deadline or
// a wake-up ends the wait with what fit, and a reader that keeps up gets everything.
TEST(WriteOutput, WaitsForRoomOnlyUntilItsDeadlineOrAWakeUp) {
    IgnoreBrokenPipeSignal();
    const std::string text(3 * kOutputChunk, 'x');
    SmallPipe output;
    int errorCode = -1;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(WriteOutput(output.ends[1], text.data(), text.size(), 100, -1, errorCode),
              kOutputChunk)
        << "a page fits";
    EXPECT_EQ(errorCode, 0) << "a deadline is no failure";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    WakeUpDescriptor wakeUp;
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        wakeUp.Signal();
    });
    EXPECT_EQ(
        WriteOutput(output.ends[1], text.data(), text.size(), -1, wakeUp.descriptor(), errorCode),
        0u)
        << "a full pipe takes nothing";
    EXPECT_EQ(errorCode, 0);
    waker.join();

    EXPECT_EQ(output.Drain(), kOutputChunk);
    size_t read = 0;
    std::thread reader([&] {
        char buffer[1024];
        while (read < text.size()) {
            const ssize_t got = ::read(output.ends[0], buffer, sizeof buffer);
            if (got <= 0) {
                return;
            }
            read += static_cast<size_t>(got);
        }
    });
    EXPECT_EQ(WriteOutput(output.ends[1], text.data(), text.size(), -1, -1, errorCode),
              text.size());
    reader.join();
    EXPECT_EQ(read, text.size());

    // The reader gone, the output fails at once with the system's code.
    close(std::exchange(output.ends[0], -1));
    EXPECT_EQ(WriteOutput(output.ends[1], "x", 1, -1, -1, errorCode), 0u);
    EXPECT_EQ(errorCode, EPIPE);
}

}  // namespace
}  // namespace qav::platform
