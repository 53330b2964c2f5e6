#include "core/scheduler.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/event.h"
#include "core/test_support.h"

namespace qav {
namespace {

class TestScheduler : public Scheduler {
  public:
    int32_t AddRef() override { return 1; }
    int32_t Release() override { return 1; }
};

using Lines = std::vector<std::string>;
Lines gLog;
Lines TakeLog() {
    return std::exchange(gLog, {});
}
void Note(const std::string& what, uint32_t p1, uint32_t p2) {
    gLog.push_back(what + " " + std::to_string(p1) + "," + std::to_string(p2));
}

// A job object whose behaviour each test sets.
struct Job : ScheduledJob {
    explicit Job(std::string tag) : tag(std::move(tag)) {}
    void Run(Scheduler& scheduler, uint32_t p1, uint32_t p2, bool& again) override {
        Note("run " + tag, p1, p2);
        onRun(scheduler, again);
    }
    void Abort(Scheduler& scheduler, uint32_t p1, uint32_t p2) override {
        Note("abort " + tag, p1, p2);
        onAbort(scheduler);
    }
    std::string tag;
    std::function<void(Scheduler&, bool&)> onRun = [](Scheduler&, bool&) {};
    std::function<void(Scheduler&)> onAbort = [](Scheduler&) {};
};

constexpr JobRunFunction RunF = [](Scheduler&, uint32_t p1, uint32_t p2, bool&) {
    Note("runF", p1, p2);
};
constexpr JobRunFunction RunG = [](Scheduler&, uint32_t p1, uint32_t p2, bool&) {
    Note("runG", p1, p2);
};

class SchedulerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        m_owned.reset();
        gLog.clear();
        // A callback run under the lock that called back into the scheduler would have
        // relocked its mutex, which is reported.
        for (const std::string& line : m_logger.Lines()) {
            EXPECT_EQ(line.find("Relocking"), std::string::npos) << "called back under the lock";
        }
    }
    void Advance(int64_t microseconds) { m_clock.Advance(microseconds); }

    test_support::CapturingTextLogger m_logger;
    test_support::FakeRawClock m_clock{1000000};  // before the scheduler starts its stopwatch
    std::unique_ptr<TestScheduler> m_owned = std::make_unique<TestScheduler>();
    TestScheduler& s = *m_owned;
};

TEST_F(SchedulerTest, RunsJobsInDueOrderAndDelayZeroAtTheNextPoll) {
    Job a("a"), b("b");
    s.Schedule(300, "c", nullptr, RunF, nullptr, 3, 0);
    s.Schedule(100, "a", &a, nullptr, nullptr, 1, 0);
    s.Schedule(200, "b", &b, RunG, nullptr, 2, 7);
    s.Schedule(-5000, "now", nullptr, RunF, nullptr, 9, 0);  // negative counts as 0
    EXPECT_EQ(s.CountDueTasks(), 1);
    char text[300];
    s.Print(text, sizeof text);
    EXPECT_NE(std::string(text).find("[4] now: 0.000 seconds [rt=0]\r\n"), std::string::npos)
        << text;
    EXPECT_EQ(s.Poll(), 2);
    EXPECT_EQ(TakeLog(), Lines{"runF 9,0"});
    EXPECT_EQ(s.Poll(), 1) << "nothing due";
    Advance(99);
    EXPECT_EQ(s.Poll(), 1);
    Advance(1);  // due exactly now
    EXPECT_EQ(s.Poll(), 2);
    Advance(150);
    EXPECT_EQ(s.CountDueTasks(), 1);
    int64_t next = 0;
    EXPECT_TRUE(s.GetTimeToNextTask(next));
    EXPECT_EQ(next, 50);
    Advance(50);
    EXPECT_FALSE(s.GetTimeToNextTask(next));
    EXPECT_EQ(TakeLog(), (Lines{"run a 1,0", "run b 2,7", "runG 2,7", "runF 3,0"}))
        << "object before function, both with the parameters";
    EXPECT_EQ(s.GetQueueLength(), 0);
}

TEST_F(SchedulerTest, RepeatingJobGoesBackOnePeriodAfterItsCallbacksWithANewSequenceId) {
    Job job("r");
    int runs = 0;
    job.onRun = [&](Scheduler& scheduler, bool& again) {
        EXPECT_TRUE(scheduler.FindTask2(&job, nullptr)) << "a running job is still found";
        Advance(500);  // the job takes time
        again = ++runs < 3;
    };
    s.Schedule(1000, "r", &job, nullptr, nullptr, 0, 0);
    Advance(1000);
    EXPECT_EQ(s.Poll(), 2);
    char text[256];
    s.Print(text, sizeof text);
    EXPECT_STREQ(text,
                 "Job Entries Heap Time=1500 Removed=0\r\n"
                 "[2] r: 0.001 seconds [rt=2500]\r\n");
    for (const auto& [step, expected] : {std::pair{999, 1}, {1, 2}, {1500, 3}}) {
        Advance(step);
        s.Poll();
        EXPECT_EQ(runs, expected) << "after " << step;
    }
    EXPECT_EQ(s.GetQueueLength(), 0) << "no again, no new entry";
}

TEST_F(SchedulerTest, PeriodZeroRepeatingJobRunsOncePerPoll) {
    int runs = 0;
    Job job("z");
    job.onRun = [&](Scheduler&, bool& again) { again = (++runs, true); };
    s.Schedule(0, "z", &job, nullptr, nullptr, 0, 0);
    EXPECT_EQ(s.Poll(), 2);
    EXPECT_EQ(s.Poll(), 2);
    int64_t next = -1;
    EXPECT_TRUE(s.GetTimeToNextTask(next));
    EXPECT_EQ(next, 0);
    EXPECT_EQ(runs, 3) << "once per call";
    EXPECT_EQ(s.RemoveTasks1(&job, nullptr), 1);
}

TEST_F(SchedulerTest, RebuildsTheHeapWhenRemovedEntriesOutnumberValidOnes) {
    struct Case {
        int entries, removed, lengthAfter;
    };
    for (const Case& c : {Case{10, 6, 4}, Case{10, 5, 10}, Case{9, 8, 9}}) {
        TestScheduler s;
        for (int i = 0; i < c.entries; ++i) {
            s.Schedule(100 + i, "j", nullptr, RunF, nullptr, i, 0);
        }
        for (int i = 0; i < c.removed; ++i) {
            EXPECT_TRUE(s.RemoveTasks2(nullptr, RunF, i, 0));
        }
        EXPECT_EQ(s.GetQueueLength(), c.lengthAfter) << c.entries << " with " << c.removed;
        Advance(1000);
        EXPECT_EQ(s.Poll(), 2);
        EXPECT_EQ(s.GetQueueLength(), 0);
    }
    TestScheduler s;  // RemoveTasks1 checks once, after all its removals
    for (int i = 0; i < 10; ++i) {
        s.Schedule(100 + i, "j", nullptr, i < 6 ? RunF : RunG, nullptr, i, 0);
    }
    EXPECT_EQ(s.RemoveTasks1(nullptr, RunF), 6);
    EXPECT_EQ(s.GetQueueLength(), 4);

    // A removed entry at the top is dropped by Poll, which reports work done.
    s.RemoveTasks2(nullptr, RunG, 6, 0);
    EXPECT_EQ(s.GetQueueLength(), 4);
    EXPECT_EQ(s.Poll(), 2);
    EXPECT_EQ(s.GetQueueLength(), 3);
}

TEST_F(SchedulerTest, AbortsRunWithoutTheLockAndKeepTheJobsTheySchedule) {
    Job job("j");
    int aborts = 0;
    job.onAbort = [&](Scheduler& scheduler) {
        if (++aborts < 5) {
            scheduler.Schedule(50, "again", &job, nullptr, nullptr, 7, 0);
        }
    };
    s.Schedule(50, "j", &job, nullptr, nullptr, 1, 0);
    EXPECT_EQ(s.RemoveTasks1(&job, nullptr), 1) << "the re-scheduled job is not removed";
    EXPECT_TRUE(s.FindTask1(&job, nullptr, 7, 0));
    s.AbortAll();
    EXPECT_EQ(aborts, 2);
    EXPECT_EQ(s.GetQueueLength(), 1) << "scheduled by the abort during AbortAll";
    m_owned.reset();  // aborts what is left, including what those aborts schedule
    EXPECT_EQ(aborts, 5);
    EXPECT_EQ(TakeLog().size(), 5u);
}

TEST_F(SchedulerTest, JobMayScheduleAndRemoveJobsFromItsRun) {
    Job first("first"), victim("victim"), child("child");
    first.onRun = [&](Scheduler& scheduler, bool&) {
        scheduler.Schedule(0, "child", &child, nullptr, nullptr, 0, 0);
        EXPECT_TRUE(scheduler.RemoveTasks2(&victim, nullptr, 0, 0));
    };
    s.Schedule(0, "first", &first, nullptr, nullptr, 0, 0);
    s.Schedule(5, "victim", &victim, nullptr, nullptr, 0, 0);
    s.Schedule(10, "late", nullptr, RunF, nullptr, 1, 0);
    EXPECT_EQ(s.Poll(), 2);
    EXPECT_EQ(TakeLog(), (Lines{"run first 0,0", "abort victim 0,0"}))
        << "the child waits for the next poll";
    Advance(10);
    s.Poll();
    EXPECT_EQ(TakeLog(), (Lines{"run child 0,0", "runF 1,0"}));
}

TEST_F(SchedulerTest, RemovingTheRunningJobStopsItsRepeatAndAbortsAfterItReturns) {
    Job job("self");
    bool byParameters = false;
    job.onRun = [&](Scheduler& scheduler, bool& again) {
        const bool removed = byParameters ? scheduler.RemoveTasks2(&job, nullptr, 4, 2)
                                          : scheduler.RemoveTasks1(&job, nullptr) == 1;
        gLog.push_back(removed ? "removed" : "not found");
        EXPECT_FALSE(scheduler.FindTask2(&job, nullptr));
        EXPECT_FALSE(scheduler.RemoveTasks2(&job, nullptr, 4, 2)) << "removed only once";
        again = true;
    };
    for (bool parameters : {false, true}) {
        byParameters = parameters;
        s.Schedule(0, "self", &job, nullptr, nullptr, 4, 2);
        EXPECT_EQ(s.Poll(), 2);
        EXPECT_EQ(TakeLog(), (Lines{"run self 4,2", "removed", "abort self 4,2"}));
        EXPECT_EQ(s.GetQueueLength(), 0) << "the again flag is ignored";
    }
}

// The owner of a job frees it once RemoveTasks1 returns, so no entry of it may be left,
// even when its running copy asks to run again while the removal aborts another entry.
TEST_F(SchedulerTest, RemovalWinsOverARunningJobThatEndsDuringItsAborts) {
    Event running, release, polled;
    std::atomic<bool> timedOut{false};
    Job job("job");
    job.onRun = [&](Scheduler&, bool& again) {
        running.Set();
        timedOut = timedOut || !release.Wait(5000);
        again = true;
    };
    s.Schedule(0, "job", &job, nullptr, nullptr, 1, 0);
    s.Schedule(1000000, "job", &job, nullptr, nullptr, 2, 0);
    std::thread poller([&] {
        s.Poll();
        polled.Set();
    });
    ASSERT_TRUE(running.Wait(5000)) << "the job did not start";
    std::atomic<int> aborts{0};
    job.onAbort = [&](Scheduler&) {
        if (aborts.fetch_add(1) == 0) {
            // The running job ends while this abort holds the removal with the lock free.
            release.Set();
            timedOut = timedOut || !polled.Wait(5000);
        }
    };
    const int removed = s.RemoveTasks1(&job, nullptr);
    release.Set();
    poller.join();
    EXPECT_FALSE(timedOut) << "a wait between the poll and the removal ran out";
    EXPECT_EQ(removed, 2);
    EXPECT_FALSE(s.FindTask2(&job, nullptr)) << "the running job went back into the heap";
    EXPECT_EQ(aborts, 2) << "both entries aborted, the running one after its run";
    TakeLog();
}

// The buffer bounds of Print are checked at every size by the scheduler's fuzz target.
TEST_F(SchedulerTest, PrintListsTheValidJobsInHeapOrder) {
    s.Schedule(2500000, "short", nullptr, RunF, nullptr, 0, 0);
    s.Schedule(90000000, "long", nullptr, RunF, nullptr, 0, 0);
    s.Schedule(1, "gone", nullptr, RunG, nullptr, 0, 0);
    s.RemoveTasks1(nullptr, RunG);
    Advance(5);
    // Storage order of the heap: "gone" went to the top and "short" to its place.
    const std::string expected =
        "Job Entries Heap Time=5 Removed=1\r\n"
        "[2] long: 1 minutes and 30 seconds [rt=90000000]\r\n"
        "[1] short: 2.500 seconds [rt=2500000]\r\n";
    char text[200];
    EXPECT_EQ(s.Print(text, sizeof text), static_cast<int>(expected.size()));
    EXPECT_EQ(text, expected);
}

TEST_F(SchedulerTest, VerboseRunsAreLoggedAfterThe32ndAnd64thJob) {
    for (bool verbose : {false, true}) {
        s.SetVerbose(verbose);
        for (int i = 0; i < 70; ++i) {
            s.Schedule(i, i == 63 ? "last" : "job", nullptr, RunF, nullptr, 0, 0);
        }
        Advance(100);
        s.Poll();
        const Lines expected = {"2 Executing tasks (32) Last is \"job\".",
                                "2 Executing tasks (64) Last is \"last\".",
                                "2 Tasks execution end (70)."};
        EXPECT_EQ(m_logger.Lines(), verbose ? expected : Lines{});
    }
}

TEST_F(SchedulerTest, WaitEndsWhenAnotherThreadSchedulesTheNextJob) {
    Event event;
    s.Schedule(0, "due", nullptr, RunF, nullptr, 1, 0);
    s.Schedule(3600000000LL, "hour", nullptr, RunF, nullptr, 2, 0);
    std::thread other([&] {
        // Most likely while Wait sleeps; either way it must not sleep on.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        s.Schedule(
            1, "soon", nullptr, [](Scheduler&, uint32_t, uint32_t, bool&) {}, nullptr, 3, 0);
    });
    s.Wait(event);  // runs "due", then sleeps until "soon" becomes the next job
    other.join();
    EXPECT_FALSE(event.IsSignalled()) << "Wait resets the event";
    EXPECT_EQ(TakeLog(), Lines{"runF 1,0"});
    EXPECT_EQ(s.GetQueueLength(), 2);
}

TEST_F(SchedulerTest, OtherThreadsScheduleAndRemoveWhileTheOwnerPolls) {
    constexpr int kJobs = 2000;
    static std::atomic<int> runs[kJobs], aborts[kJobs];
    for (int i = 0; i < kJobs; ++i) {
        runs[i] = aborts[i] = 0;
    }
    auto run = [](Scheduler&, uint32_t i, uint32_t, bool&) { ++runs[i]; };
    auto abort = [](Scheduler&, uint32_t i, uint32_t) { ++aborts[i]; };
    std::atomic<int> finished{0};
    auto other = [&](bool remover) {
        for (int i = 0; i < kJobs; ++i) {
            if (!remover) {
                s.Schedule(i % 7, "t", nullptr, run, abort, i, 0);
            } else if (!s.RemoveTasks2(nullptr, run, i, 0)) {
                s.FindTask1(nullptr, run, i + 1, 0);
            }
        }
        ++finished;
    };
    std::thread scheduler(other, false), remover(other, true);
    while (finished < 2 || s.GetQueueLength() > 0) {
        Advance(1);
        s.Poll();
        s.CountDueTasks();
    }
    scheduler.join();
    remover.join();
    for (int i = 0; i < kJobs; ++i) {
        // A job removed while it runs is aborted after its run.
        EXPECT_TRUE(runs[i] <= 1 && aborts[i] <= 1 && runs[i] + aborts[i] >= 1)
            << "job " << i << " ran " << runs[i] << ", aborted " << aborts[i];
    }
}

}  // namespace
}  // namespace qav
