#include "platform/state_report.h"

#include <pthread.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/test_support.h"
#include "core/trace_frame.h"
#include "platform/thread.h"

namespace qav::platform {
namespace {

std::string ThreadsReport() {
    std::vector<char> buffer(1 << 16);
    const size_t length = WriteThreadsStateReport(buffer.data(), buffer.size());
    EXPECT_EQ(buffer[length], '\0');
    return std::string(buffer.data(), length);
}

std::string ThreadLine(uint32_t threadId) {
    return "Thread " + std::to_string(threadId) + " ";
}

using test_support::TestThread;

// The body of a named thread that shows a frame, and keeps pushing under it, until
// stopped.
std::function<void(TestThread&)> Working(bool freeStorage) {
    return [freeStorage](TestThread& self) {
        pthread_setname_np(pthread_self(), "qav-worker");
        {
            QAV_TRACE("WRK::Loop");
            int32_t iRound = 4242;
            QAV_TRACE_VAR("iRound", iRound, kTraceInt32);
            self.Ready();
            while (!self.Stopping()) {
                QAV_TRACE("WRK::Step");
            }
        }
        if (freeStorage) {
            FreeThreadExVarsStorage();
        }
    };
}

TEST(StateReport, ListsLiveThreadsWithTheirChainsWhileTheyChange) {
    std::vector<std::unique_ptr<TestThread>> workers;
    for (int i = 0; i < 3; ++i) {
        workers.push_back(std::make_unique<TestThread>(Working(i % 2 == 0)));
    }
    const std::string report = ThreadsReport();
    const size_t line = report.find(ThreadLine(workers[0]->Id()) + "\"qav-worker\"\r\n");
    ASSERT_NE(line, std::string::npos) << report;
    const size_t chain = report.find("WRK::Loop iRound=4,242\r\n", line);
    const size_t next = report.find("Thread ", line + 1);
    EXPECT_TRUE(chain != std::string::npos && chain < next) << report;
    for (int i = 0; i < 300; ++i) {
        EXPECT_NE(ThreadsReport().find("WRK::Loop"), std::string::npos);
    }

    char small[24];
    const size_t length = WriteThreadsStateReport(small, sizeof small);
    EXPECT_LT(length, sizeof small);
    EXPECT_EQ(small[length], '\0');
}

TEST(StateReport, ThreadsLeaveTheRegistryWhenTheyEnd) {
    for (bool freeStorage : {true, false}) {
        TestThread worker(Working(freeStorage));
        const uint32_t id = worker.Id();
        EXPECT_NE(ThreadsReport().find(ThreadLine(id)), std::string::npos);
        worker.Stop();
        EXPECT_EQ(ThreadsReport().find(ThreadLine(id)), std::string::npos)
            << (freeStorage ? "after FreeThreadExVarsStorage" : "after a plain thread end");
    }
    // A push after the free lists the thread again; a frame open across the free pops.
    std::thread([] {
        QAV_TRACE("OUTER::Run");
        FreeThreadExVarsStorage();
        const std::string self = ThreadLine(CurrentThreadId());
        EXPECT_EQ(ThreadsReport().find(self), std::string::npos);
        QAV_TRACE_VAR("self", self, kTracePointer);
        {
            QAV_TRACE("AGAIN::Run");
            EXPECT_NE(ThreadsReport().find(self), std::string::npos);
        }
    }).join();
}

TEST(StateReport, FatalReportsGoToTheHookOrToStderr) {
    std::vector<std::pair<FatalReportKind, std::string>> seen;
    FatalReportHook previous = SetFatalReportHook(
        [&seen](FatalReportKind kind, std::string_view text) { seen.emplace_back(kind, text); });
    FatalProgramError("first");
    FatalProgramState("second");
    EXPECT_TRUE(static_cast<bool>(SetFatalReportHook(previous))) << "hands back the hook";
    const std::vector<std::pair<FatalReportKind, std::string>> expected = {
        {FatalReportKind::kError, "first"}, {FatalReportKind::kState, "second"}};
    EXPECT_EQ(seen, expected);

    if (previous) {
        GTEST_SKIP() << "another hook is installed";
    }
    QAV_TRACE("FATAL::Test");
    testing::internal::CaptureStderr();
    FatalProgramError("m_dwLockingThreadID == ::GetCurrentThreadId()");
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("m_dwLockingThreadID == ::GetCurrentThreadId()"), std::string::npos);
    EXPECT_NE(printed.find("FATAL::Test\r\n"), std::string::npos) << printed;
}

}  // namespace
}  // namespace qav::platform
