#include "node/log_printer.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/signals.h"

namespace qav {
namespace {

// Lines for the printer, as the node's log hands them over, counting the takes.
struct Lines {
    void Add(int count) {
        std::lock_guard<std::mutex> hold(mutex);
        for (int i = 0; i < count; ++i) {
            ready.push_back("line " + std::to_string(next++) + " " + std::string(90, '.'));
        }
    }
    LogPrinter::TakeLines Taker() {
        return [this](std::vector<std::string>& lines) {
            std::lock_guard<std::mutex> hold(mutex);
            ++takes;
            lines.insert(lines.end(), ready.begin(), ready.end());
            ready.clear();
        };
    }
    int Takes() {
        std::lock_guard<std::mutex> hold(mutex);
        return takes;
    }
    std::mutex mutex;
    std::vector<std::string> ready;
    int next = 0;
    int takes = 0;
};

int Pending(int descriptor) {
    int bytes = 0;
    return ioctl(descriptor, FIONREAD, &bytes) == 0 ? bytes : -1;
}

bool Eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A pipe nobody reads: the printer waits for room while it runs, and its stop gives up
// what cannot be written within the stop's time, counts it, and ends.
TEST(LogPrinter, GivesUpAnOutputNobodyReadsAtItsStop) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    Lines lines;
    lines.Add(200);
    LogPrinter printer;
    ASSERT_TRUE(printer.Start(ends[1], lines.Taker()));
    EXPECT_FALSE(printer.Start(ends[1], lines.Taker())) << "one thread at a time";
    printer.GetWakeUpEvent().Set();
    ASSERT_TRUE(Eventually([&] { return Pending(ends[0]) > 0; })) << "nothing was printed";
    lines.Add(5);  // taken by the stop, and given up with the rest

    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(printer.Stop(100)) << "a printer waiting for room must end at its stop";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_GE(lines.Takes(), 2) << "the stop takes what is left";
    const uint64_t lost = printer.GetLostLineCount();
    EXPECT_GT(lost, 0u);
    // What the pipe got is whole lines from the first, and with the lost ones all of them.
    std::string printed(static_cast<size_t>(Pending(ends[0])), '\0');
    ASSERT_EQ(read(ends[0], printed.data(), printed.size()), static_cast<ssize_t>(printed.size()));
    EXPECT_EQ(printed.rfind("line 0 ", 0), 0u) << printed.substr(0, 100);
    const size_t whole = static_cast<size_t>(std::count(printed.begin(), printed.end(), '\n'));
    EXPECT_EQ(printed.back(), '\n') << "a line was cut";
    EXPECT_EQ(whole + lost, 205u);
    EXPECT_FALSE(printer.Stop(100)) << "stopped once";
    close(ends[0]);
    close(ends[1]);
}

// The first line comes before every line taken, even those ready before the start, and
// is counted like them when the output has no reader.
TEST(LogPrinter, PrintsItsFirstLineBeforeAnythingTaken) {
    platform::IgnoreBrokenPipeSignal();
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    Lines lines;
    lines.Add(3);
    LogPrinter printer;
    ASSERT_TRUE(printer.Start(ends[1], lines.Taker(), "started"));
    printer.GetWakeUpEvent().Set();
    ASSERT_TRUE(Eventually([&] { return lines.Takes() > 0; }));
    EXPECT_TRUE(printer.Stop(1000));
    EXPECT_EQ(printer.GetLostLineCount(), 0u);
    std::string printed(static_cast<size_t>(Pending(ends[0])), '\0');
    ASSERT_EQ(read(ends[0], printed.data(), printed.size()), static_cast<ssize_t>(printed.size()));
    EXPECT_EQ(printed.rfind("started\nline 0 ", 0), 0u) << printed.substr(0, 100);
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 4);
    close(ends[0]);
    close(ends[1]);

    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    close(ends[0]);  // the reader has gone before the first line
    lines.Add(2);
    LogPrinter unread;
    ASSERT_TRUE(unread.Start(ends[1], lines.Taker(), "started"));
    unread.GetWakeUpEvent().Set();
    EXPECT_TRUE(unread.Stop(1000));
    EXPECT_EQ(unread.GetLostLineCount(), 3u);
    close(ends[1]);
}

// A terminal whose reader never reads: `ends[1]` is the terminal the printer writes to,
// `ends[0]` its other side. A terminal reports room while it has some, and then blocks a
// write that needs more.
bool StalledTerminal(int (&ends)[2]) {
    ends[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (ends[0] < 0 || grantpt(ends[0]) != 0 || unlockpt(ends[0]) != 0 ||
        ptsname_r(ends[0], name, sizeof name) != 0) {
        return false;
    }
    ends[1] = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (ends[1] < 0 || tcgetattr(ends[1], &mode) != 0) {
        return false;
    }
    cfmakeraw(&mode);
    return tcsetattr(ends[1], TCSANOW, &mode) == 0;
}

// An output on which a write blocks in spite of the room that poll reported (a terminal
// with a little room left): the stop leaves the printer behind after its time, and the
// thread never takes lines again, so that what it took them from may go.
TEST(LogPrinter, LeavesBehindAPrinterCaughtInAWrite) {
    platform::IgnoreBrokenPipeSignal();
    int ends[2] = {-1, -1};
    if (!StalledTerminal(ends)) {
        GTEST_SKIP() << "no terminal to be had here";
    }
    Lines lines;
    lines.Add(1000);
    {
        LogPrinter printer;
        ASSERT_TRUE(printer.Start(ends[1], lines.Taker()));
        printer.GetWakeUpEvent().Set();
        ASSERT_TRUE(Eventually([&] { return Pending(ends[0]) > 0; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto started = std::chrono::steady_clock::now();
        const bool ended = printer.Stop(100);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
        if (ended) {
            GTEST_SKIP() << "this system's write did not block after poll reported room";
        }
        // The node would free its log now; the thread must not take from it any more.
        const int takes = lines.Takes();
        lines.Add(5);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(lines.Takes(), takes);
    }
    // The reader goes: the blocked write fails, and the thread left behind ends. Its
    // output stays open, as stdout does: it may use it until it has ended.
    close(ends[0]);
}

}  // namespace
}  // namespace qav
