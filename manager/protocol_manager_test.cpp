#include "manager/protocol_manager.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "core/polling_test_support.h"
#include "manager/manager_test_support.h"

namespace qav {
namespace {

using test_support::CountingJob;
using test_support::Eventually;

// Threads of this process whose kernel name is the polling thread's.
int CountPollingTasks() {
    int count = 0;
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        count += std::getline(comm, name) && name == ProtocolManager::kPollingThreadName;
    }
    return count;
}

TEST(ProtocolManager, StartsCountedPollingThreadsAndReleaseWaitsForThem) {
    RefPtr<ProtocolManager> manager(new ProtocolManager);
    EXPECT_EQ(manager->StartPollingThreads(nullptr, 2), 2);
    EXPECT_EQ(manager->StartPollingThreads(nullptr, 1), 1);
    EXPECT_EQ(manager->StartPollingThreads(nullptr, -3), 0);
    EXPECT_EQ(manager->GetStartedThreadCount(), 3);
    EXPECT_TRUE(Eventually([] { return CountPollingTasks() == 3; })) << CountPollingTasks();

    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    CountingJob job(false, [&] {
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        finished = true;
    });
    manager->GetScheduler()->Schedule(0, "slow", &job, nullptr, nullptr, 0, 0);
    EXPECT_TRUE(Eventually([&] { return started.load(); }));
    manager->ReleaseAllResources();
    EXPECT_TRUE(manager->IsStopping());
    EXPECT_FALSE(manager->GetPollingThread());
    EXPECT_TRUE(finished) << "the release returned while a job was still running";
    EXPECT_EQ(manager->StartPollingThreads(nullptr, 1), 0) << "nothing starts after a release";
    // A joined thread may still be listed for a moment after its join.
    EXPECT_TRUE(Eventually([] { return CountPollingTasks() == 0; })) << CountPollingTasks();
}

TEST(ProtocolManager, ReleaseAfterOneByAJobWaitsForThePollingThread) {
    RefPtr<ProtocolManager> manager(new ProtocolManager);
    ProtocolManager* raw = manager.get();
    std::atomic<bool> released{false};
    std::atomic<bool> finished{false};
    CountingJob job(false, [&] {
        raw->ReleaseAllResources();  // cannot wait for its own thread
        released = true;
        // Long enough for the caller's release to begin while this job still runs.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        finished = true;
    });
    manager->GetScheduler()->Schedule(0, "release", &job, nullptr, nullptr, 0, 0);
    ASSERT_EQ(manager->StartPollingThreads(nullptr, 1), 1);
    ASSERT_TRUE(Eventually([&] { return released.load(); })) << "the job never ran";
    manager->ReleaseAllResources();
    EXPECT_TRUE(finished) << "the second release returned while the thread still ran its job";
    EXPECT_TRUE(Eventually([] { return CountPollingTasks() == 0; })) << CountPollingTasks();
}

// A job that runs past the stop's 5 s: the release waits for it all the same, and says
// why it takes so long, because its caller frees the waiter once it returns.
TEST(ProtocolManager, ReleaseWaitsForAJobThatRunsPastTheStopsBound) {
    test_support::RecordingLog log(kSeverityWarning);
    RefPtr<ProtocolManager> manager(new ProtocolManager);
    manager->SetLogSink(&log);
    ASSERT_EQ(manager->StartPollingThreads(nullptr, 1), 1);
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    CountingJob job(false, [&] {
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(PollingThread::kStopTimeoutMs + 700));
        finished = true;
    });
    manager->GetScheduler()->Schedule(0, "long", &job, nullptr, nullptr, 0, 0);
    ASSERT_TRUE(Eventually([&] { return started.load(); })) << "the job never ran";
    manager->ReleaseAllResources();
    EXPECT_TRUE(finished) << "the release returned while the job still ran";
    EXPECT_TRUE(Eventually([] { return CountPollingTasks() == 0; })) << CountPollingTasks();
    EXPECT_EQ(log.Count("Waiting for the polling thread to end Seconds=5"), 1) << log.Text();
    manager->SetLogSink(nullptr);
}

// The manager's end is observed through its scheduler: the scheduler goes with the last
// of the manager and the threads, and aborts the job still waiting in it.
TEST(ProtocolManager, ReleaseLetsTheManagerGoWhicheverThreadDoesIt) {
    enum Ending { kNeverStarted, kByCaller, kByOwnJob, kByOwnJobHoldingTheLastReference };
    for (Ending ending : {kNeverStarted, kByCaller, kByOwnJob, kByOwnJobHoldingTheLastReference}) {
        for (int round = 0; round < 10; ++round) {
            const std::string what =
                "ending " + std::to_string(ending) + " round " + std::to_string(round);
            RefPtr<ProtocolManager> manager(new ProtocolManager);
            ProtocolManager* raw = manager.get();
            CountingJob pending;
            manager->GetScheduler()->Schedule(3600000000LL, "pending", &pending, nullptr, nullptr,
                                              0, 0);
            CountingJob release(false, [raw] { raw->ReleaseAllResources(); });
            if (ending != kNeverStarted) {
                EXPECT_EQ(manager->StartPollingThreads(nullptr, 2), 2) << what;
            }
            if (ending == kByCaller) {
                manager->ReleaseAllResources();
            } else if (ending != kNeverStarted) {
                // With a delay, so that in the last case the caller has let go by then.
                manager->GetScheduler()->Schedule(20000, "release", &release, nullptr, nullptr, 0,
                                                  0);
                if (ending == kByOwnJobHoldingTheLastReference) {
                    manager.Reset();
                }
                if (!Eventually([&] { return release.runs == 1; })) {
                    ADD_FAILURE() << what << ": the job never released the manager";
                    raw->ReleaseAllResources();  // the jobs here must not outlive the round
                }
            }
            manager.Reset();
            EXPECT_TRUE(Eventually([&] { return pending.aborts == 1; })) << what;
            EXPECT_EQ(pending.runs, 0) << what;
            EXPECT_TRUE(Eventually([] { return CountPollingTasks() == 0; })) << what;
        }
    }
}

}  // namespace
}  // namespace qav
