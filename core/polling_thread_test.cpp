#include "core/polling_thread.h"

#include <future>
#include <mutex>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/polling_test_support.h"
#include "core/trace_frame.h"

namespace qav {
namespace {

using test_support::CountingJob;
using test_support::Eventually;

class TestScheduler final : public RefCountedObject<Scheduler> {
    ~TestScheduler() override = default;
};

// Its fields change only after the thread has read them, so no lock is needed.
class TestOwner final : public RefCountedObject<PollingThreadOwner> {
  public:
    RefPtr<Scheduler> GetScheduler() override {
        if (onGetScheduler) {
            onGetScheduler();
        }
        return scheduler;
    }
    RefPtr<Scheduler> scheduler{new TestScheduler};
    std::function<void()> onGetScheduler;

  private:
    ~TestOwner() override = default;
};

class FakeWaiter final : public Waiter {
  public:
    explicit FakeWaiter(int result) : m_result(result) {}
    int Wait(int timeoutMs) override {
        calls.fetch_add(1);
        longest = std::max(longest.load(), timeoutMs);  // only the polling thread writes
        return m_result;
    }
    int64_t TakeWaitTime() override { return 0; }
    void Interrupt() override {}
    std::atomic<int> calls{0};
    std::atomic<int> longest{-1};

  private:
    const int m_result;
};

RefPtr<PollingThread> StartedThread(TestOwner* owner, Waiter* waiter) {
    RefPtr<PollingThread> thread(new PollingThread);
    thread->SetOwner(owner);
    thread->SetWaiter(waiter);
    EXPECT_TRUE(thread->StartThread("QAV Polling"));
    return thread;
}

TEST(PollingThread, RunsJobsFromOtherThreadsOnTheSchedulerItTookUntilStopped) {
    RefPtr<TestOwner> owner(new TestOwner);
    RefPtr<PollingThread> thread = StartedThread(owner.get(), nullptr);
    EXPECT_TRUE(Eventually([&] { return thread->IsRunning(); }));
    CountingJob job(/*repeat=*/true);  // scheduling does not wake the thread
    owner->scheduler->Schedule(1000, "periodic", &job, nullptr, nullptr, 0, 0);
    EXPECT_TRUE(Eventually([&] { return job.runs > 0 && thread->GetIdleTime() > 0; }))
        << "without a waiter every turn sleeps on the wake event";
    owner->scheduler.Reset();  // the owner may drop its scheduler; the loop keeps its own
    const int runsWhenDropped = job.runs;
    EXPECT_TRUE(Eventually([&] { return job.runs > runsWhenDropped + 2; }));
    EXPECT_TRUE(thread->Stop(PollingThread::kStopTimeoutMs));
    EXPECT_FALSE(thread->IsRunning());
    EXPECT_EQ(job.aborts, 1) << "the ended loop released the scheduler's last reference";
}

TEST(PollingThread, WaiterResultDecidesWhetherTheTurnSleeps) {
    for (int result :
         {Waiter::kHandled, Waiter::kBusyOrTimeout, Waiter::kNothingToWait, Waiter::kFailed}) {
        RefPtr<TestOwner> owner(new TestOwner);
        FakeWaiter waiter(result);
        RefPtr<PollingThread> thread = StartedThread(owner.get(), &waiter);
        EXPECT_TRUE(Eventually([&] { return waiter.calls >= 3; })) << result;
        EXPECT_TRUE(thread->Stop(PollingThread::kStopTimeoutMs)) << result;
        EXPECT_EQ(waiter.longest, PollingThread::kMaxWaitMs) << "no job: the longest wait";
        const bool sleeps = result != Waiter::kHandled && result != Waiter::kBusyOrTimeout;
        EXPECT_EQ(thread->GetIdleTime() > 0, sleeps) << "waiter result " << result;
    }
}

TEST(PollingThread, TurnWaitsUntilTheNextJobInWholeMilliseconds) {
    struct Case {
        int64_t period;       // microseconds
        int lowest, highest;  // of the longest wait handed to the waiter
    };
    // Generous lower bounds: a slow start only shortens the first waits.
    for (const Case& test : {Case{30500, 20, 30}, Case{999, 0, 0}, Case{250000, 100, 100}}) {
        RefPtr<TestOwner> owner(new TestOwner);
        FakeWaiter waiter(Waiter::kNothingToWait);
        CountingJob job(/*repeat=*/true);
        owner->scheduler->Schedule(test.period, "periodic", &job, nullptr, nullptr, 0, 0);
        RefPtr<PollingThread> thread = StartedThread(owner.get(), &waiter);
        EXPECT_TRUE(Eventually([&] { return waiter.calls >= 5; }));
        EXPECT_TRUE(thread->Stop(PollingThread::kStopTimeoutMs));
        EXPECT_GE(waiter.longest, test.lowest) << "job every " << test.period << " us";
        EXPECT_LE(waiter.longest, test.highest) << "job every " << test.period << " us";
        owner->scheduler->RemoveTasks1(&job, nullptr);
    }
}

TEST(PollingThread, RunEndsAtOnceWithoutOwnerOrAfterAStopDuringItsStart) {
    for (bool withOwner : {false, true}) {
        RefPtr<TestOwner> owner(new TestOwner);
        CountingJob job;
        owner->scheduler->Schedule(0, "never", &job, nullptr, nullptr, 0, 0);
        RefPtr<PollingThread> thread(new PollingThread);
        if (withOwner) {
            // The stop lands after the run has found its owner, before its first turn.
            owner->onGetScheduler = [&] { thread->Stop(0); };
            thread->SetOwner(owner.get());
        }
        auto run = std::async(std::launch::async, [&] { return thread->Run(nullptr); });
        if (run.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            thread->Stop(0);
            FAIL() << (withOwner ? "the stop during the start was lost" : "ran without owner");
        }
        EXPECT_EQ(run.get(), 0);
        EXPECT_EQ(job.runs, 0);
        owner->scheduler->RemoveTasks1(&job, nullptr);
    }
    // The same race without arranging it: a stop right behind the start.
    RefPtr<TestOwner> owner(new TestOwner);
    for (int i = 0; i < 20; ++i) {
        RefPtr<PollingThread> thread = StartedThread(owner.get(), nullptr);
        EXPECT_TRUE(thread->StartThread("QAV Polling"));
        EXPECT_TRUE(thread->Stop(PollingThread::kStopTimeoutMs)) << "round " << i;
    }
}

// Counts the waits that began after the stop: from then on the waiter may be gone.
class WatchedWaiter final : public Waiter {
  public:
    int Wait(int /*timeoutMs*/) override {
        PollingThread* watched = thread.load();
        if (watched != nullptr && watched->IsStopRequested()) {
            callsAfterStop.fetch_add(1);
        }
        return kNothingToWait;
    }
    int64_t TakeWaitTime() override { return 0; }
    void Interrupt() override {}
    std::atomic<PollingThread*> thread{nullptr};
    std::atomic<int> callsAfterStop{0};
};

TEST(PollingThread, StopFromAJobEndsTheLoopAndALaterStopWaitsForTheThread) {
    RefPtr<TestOwner> owner(new TestOwner);
    WatchedWaiter waiter;
    RefPtr<PollingThread> thread(new PollingThread);
    waiter.thread = thread.get();
    Event stopped;
    std::atomic<bool> jobReturned{false};
    // Scheduled by a job during the poll, so that it runs in the second half of the turn,
    // the look for the time to the next job, right before the waiter.
    CountingJob stopper(false, [&] {
        EXPECT_TRUE(thread->Stop(PollingThread::kStopTimeoutMs)) << "from its own loop";
        stopped.Set();
        // Long enough for the other thread's stop to begin while this job still runs.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        jobReturned = true;
    });
    CountingJob starter(
        false, [&] { owner->scheduler->Schedule(0, "stop", &stopper, nullptr, nullptr, 0, 0); });
    owner->scheduler->Schedule(0, "start", &starter, nullptr, nullptr, 0, 0);
    thread->SetOwner(owner.get());
    thread->SetWaiter(&waiter);
    ASSERT_TRUE(thread->StartThread("QAV Polling"));
    ASSERT_TRUE(stopped.Wait(5000)) << "the stopping job never ran";
    EXPECT_TRUE(thread->Stop(PollingThread::kStopTimeoutMs));
    EXPECT_TRUE(jobReturned) << "the stop returned while the thread was still in its job";
    EXPECT_FALSE(thread->IsRunning());
    EXPECT_EQ(waiter.callsAfterStop, 0) << "the loop went on to its waiter after the stop";
}

TEST(PollingThread, AJobThatThrowsEndsTheThreadNotRunning) {
    RefPtr<TestOwner> owner(new TestOwner);
    std::atomic<bool> thrown{false};
    CountingJob thrower(false, [&] {
        thrown = true;
        throw std::runtime_error("job failed");
    });
    owner->scheduler->Schedule(0, "throws", &thrower, nullptr, nullptr, 0, 0);
    RefPtr<PollingThread> thread = StartedThread(owner.get(), nullptr);
    EXPECT_TRUE(Eventually([&] { return thrown && !thread->IsRunning(); }))
        << "the thread ended with its running flag set";
    EXPECT_TRUE(thread->HasEndedUnexpectedly()) << "its owner cannot tell it is gone";
    EXPECT_TRUE(thread->Stop(PollingThread::kStopTimeoutMs));

    // A loop that ends because it was stopped has not failed.
    RefPtr<TestOwner> quiet(new TestOwner);
    RefPtr<PollingThread> stopped = StartedThread(quiet.get(), nullptr);
    EXPECT_TRUE(Eventually([&] { return stopped->IsRunning(); }));
    EXPECT_TRUE(stopped->Stop(PollingThread::kStopTimeoutMs));
    EXPECT_FALSE(stopped->HasEndedUnexpectedly());
}

// Each wait lasts ten minutes, far beyond the test's time limit, unless interrupted.
class BlockingWaiter final : public Waiter {
  public:
    static constexpr int kTenMinutesMs = 10 * 60 * 1000;
    int Wait(int /*timeoutMs*/) override {
        waiting.Set();
        interrupted.Wait(kTenMinutesMs);
        return kBusyOrTimeout;
    }
    int64_t TakeWaitTime() override { return 0; }
    void Interrupt() override {
        interrupts.fetch_add(1);
        interrupted.Set();
    }
    Event waiting;
    Event interrupted;
    std::atomic<int> interrupts{0};
};

TEST(PollingThread, AStopEndsAWaitUnderWayAndLeavesTheWaiterAloneOnceNoLoopRuns) {
    RefPtr<TestOwner> owner(new TestOwner);
    BlockingWaiter waiter;
    RefPtr<PollingThread> thread = StartedThread(owner.get(), &waiter);
    ASSERT_TRUE(waiter.waiting.Wait(60000)) << "the loop never waited";
    // Without a limit: a stop that sleeps out the wait would run into the test's own.
    EXPECT_TRUE(thread->Stop(-1));
    EXPECT_EQ(waiter.interrupts, 1);
    EXPECT_FALSE(thread->IsRunning());

    // Once its threads have ended the waiter may be gone: later stops, and stops of an
    // object that never ran, do not touch it.
    EXPECT_TRUE(thread->Stop(-1));
    RefPtr<PollingThread> neverStarted(new PollingThread);
    neverStarted->SetOwner(owner.get());
    neverStarted->SetWaiter(&waiter);
    EXPECT_TRUE(neverStarted->Stop(-1));
    EXPECT_EQ(waiter.interrupts, 1);
}

class ScriptedThread final : public RefCountedObject<Thread> {
  public:
    explicit ScriptedThread(std::function<int()> body) : m_body(std::move(body)) {}
    int Run(void*) override { return m_body(); }

  private:
    ~ScriptedThread() override = default;
    std::function<int()> m_body;
};

TEST(PollingThread, ThreadMainTracesTheThreadAndTurnsAnEscapedExceptionIntoCodeOne) {
    for (bool throws : {false, true}) {
        std::string report;
        RefPtr<Thread> body(new ScriptedThread([&]() -> int {
            char buffer[256];
            report.assign(buffer, WriteStateReport(*platform::ListedTraceSlot(), buffer, 256));
            return throws ? throw std::runtime_error("escaped") : 7;
        }));
        auto* record = new ThreadStartRecord(body.get(), nullptr, "scripted");
        record->AddRef();  // taken over by ThreadMain
        platform::ThreadHandle handle;
        int error = 0;
        int code = -1;
        ASSERT_TRUE(platform::StartThread(handle, "x", &PollingThread::ThreadMain, record, error));
        ASSERT_TRUE(platform::JoinThread(handle, 5000, &code));
        EXPECT_EQ(code, throws ? 1 : 7);
        EXPECT_NE(body->GetThreadId(), 0u);
        EXPECT_NE(report.find("Win32 Thread Main szThreadName=\"scripted\" dwThreadID="),
                  std::string::npos)
            << report;
    }
}

}  // namespace
}  // namespace qav
