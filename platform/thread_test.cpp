#include "platform/thread.h"

#include <pthread.h>

#include <atomic>
#include <string>

#include <gtest/gtest.h>

namespace qav::platform {
namespace {

struct NamedRun {
    std::string name;
    int exitCode;
};

int ReportOwnName(void* argument) {
    auto* run = static_cast<NamedRun*>(argument);
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    run->name = name;
    return run->exitCode;
}

TEST(PlatformThread, StartsNamedThreadsAndJoinsThemWithTheirExitCode) {
    const char* const cases[][2] = {
        {"QAV Polling", "QAV Polling"},
        {"abcdefghijklmnopqrstuvwxyz", "abcdefghijklmno"},
        // Eight two-byte letters: a cut at 15 bytes would split the eighth.
        {"\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84",
         "\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84"},
    };
    int exitCode = 40;
    for (const auto& [name, expected] : cases) {
        NamedRun run{"", ++exitCode};
        ThreadHandle handle;
        int error = -1;
        ASSERT_TRUE(StartThread(handle, name, &ReportOwnName, &run, error)) << name;
        int code = 0;
        ASSERT_TRUE(JoinThread(handle, 5000, &code)) << name;
        EXPECT_FALSE(handle.HoldsThread()) << "a joined handle is empty";
        EXPECT_EQ(code, run.exitCode) << name;
        EXPECT_EQ(run.name, expected);
        EXPECT_FALSE(JoinThread(handle, 0)) << "nothing left to join";
    }
}

struct Gate {
    std::atomic<bool> open{false};
    ThreadHandle handle;
    bool selfJoinRefused = false;
};

int WaitAtGate(void* argument) {
    auto* gate = static_cast<Gate*>(argument);
    for (int i = 0; i < 5000 && !gate->open.load(); ++i) {
        SleepMilliseconds(1);
    }
    gate->selfJoinRefused = gate->handle.IsCurrentThread() && !JoinThread(gate->handle, 0);
    return 0;
}

TEST(PlatformThread, JoinWaitsOnlyAsLongAsAskedAndNeverForItself) {
    Gate gate;
    int error = 0;
    ASSERT_TRUE(StartThread(gate.handle, "gate", &WaitAtGate, &gate, error));
    EXPECT_FALSE(JoinThread(gate.handle, 50)) << "the thread is still waiting at its gate";
    EXPECT_TRUE(gate.handle.HoldsThread()) << "a join that ran out keeps the thread";
    gate.open.store(true);
    ASSERT_TRUE(JoinThread(gate.handle, 5000));
    EXPECT_TRUE(gate.selfJoinRefused) << "a thread cannot wait for its own end";
}

}  // namespace
}  // namespace qav::platform
