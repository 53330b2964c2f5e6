// The whole road of the polling thread: the manager's thread runs due jobs and spends
// its waits in the real socket wait loop, which calls the handlers of real sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/polling_test_support.h"
#include "manager/protocol_manager.h"
#include "network/socket_handler_manager.h"
#include "platform/thread.h"

namespace qav {
namespace {

using test_support::CountingJob;
using test_support::Eventually;

// One end of a socketpair that records the calls it gets, in order, and removes itself
// from the wait loop when its peer hangs up.
class RecordingEnd final : public RefCountedObject<SocketHandler> {
  public:
    RecordingEnd(int socket, SocketHandlerManager& loop, std::atomic<bool>& destroyed)
        : m_socket(socket), m_loop(loop), m_destroyed(destroyed) {}

    uint32_t GetWaitEvents() override { return kWaitInput | kWaitOutput; }
    int GetSocket() override { return m_socket; }

    intptr_t HandleInput() override {
        char bytes[64];
        const ssize_t got = ::read(m_socket, bytes, sizeof bytes);
        Record(got > 0 ? "input:" + std::string(bytes, static_cast<size_t>(got)) : "input:eof");
        return got;
    }
    void ProcessInput(intptr_t value) override { Record("process:" + std::to_string(value)); }
    void HandleOutput() override {
        // Writable all the time: record only the output that closes a hang-up turn.
        if (m_hungUp) {
            Record("output");
            m_hungUp = false;
        }
    }
    void HandleError() override {
        Record("error");
        m_hungUp = true;
        m_loop.RemoveHandler(this);  // the rest of this turn must still arrive
    }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls;
    }
    uint32_t callerThread() const { return m_callerThread.load(); }

  protected:
    ~RecordingEnd() override {
        ::close(m_socket);
        m_destroyed = true;
    }

  private:
    void Record(std::string call) {
        m_callerThread = platform::CurrentThreadId();
        std::lock_guard<std::mutex> hold(m_mutex);
        m_calls.push_back(std::move(call));
    }

    int m_socket;
    SocketHandlerManager& m_loop;
    std::atomic<bool>& m_destroyed;
    bool m_hungUp = false;  // touched only by the polling thread
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::atomic<uint32_t> m_callerThread{0};
};

TEST(PollingRoad, SocketsAndJobsRunOnTheManagersPollingThread) {
    SocketHandlerManager loop;
    RefPtr<ProtocolManager> manager(new ProtocolManager);
    ASSERT_EQ(1, manager->StartPollingThreads(&loop, 1));

    int ends[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends));
    std::atomic<bool> destroyed{false};
    RefPtr<RecordingEnd> end(new RecordingEnd(ends[0], loop, destroyed));
    ASSERT_TRUE(loop.AddHandler(end.get()));

    // A job scheduled from this thread runs on the polling thread within its 100 ms turns.
    std::atomic<uint32_t> jobThread{0};
    CountingJob job(false, [&] { jobThread = platform::CurrentThreadId(); });
    manager->GetScheduler()->Schedule(0, "Road Test", &job, nullptr, nullptr, 0, 0);
    ASSERT_TRUE(Eventually([&] { return job.runs.load() == 1; }));
    EXPECT_NE(platform::CurrentThreadId(), jobThread.load());

    ASSERT_EQ(3, ::write(ends[1], "abc", 3));
    ASSERT_TRUE(Eventually([&] { return end->Calls().size() >= 2; }));
    EXPECT_EQ(jobThread.load(), end->callerThread()) << "socket calls come on the polling thread";

    // The peer hangs up: input (end of stream), its processing, the error, then output,
    // all in one turn, though the handler removed itself in the error call.
    ::close(ends[1]);
    ASSERT_TRUE(Eventually([&] { return end->Calls().size() >= 6; }));
    const std::vector<std::string> expected = {"input:abc", "process:3", "input:eof",
                                               "process:0", "error",     "output"};
    EXPECT_EQ(expected, end->Calls());

    end.Reset();
    EXPECT_TRUE(Eventually([&] { return destroyed.load(); }))
        << "the wait loop drops its references once the turn is over";

    manager->ReleaseAllResources();
    EXPECT_EQ(Waiter::kNothingToWait, loop.Wait(0));
}

TEST(PollingRoad, ReleaseWaitsForTheRunningJob) {
    SocketHandlerManager loop;
    RefPtr<ProtocolManager> manager(new ProtocolManager);
    ASSERT_EQ(1, manager->StartPollingThreads(&loop, 1));

    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    CountingJob job(false, [&] {
        started = true;
        platform::SleepMilliseconds(200);
        finished = true;
    });
    manager->GetScheduler()->Schedule(0, "Slow Job", &job, nullptr, nullptr, 0, 0);
    ASSERT_TRUE(Eventually([&] { return started.load(); }));

    manager->ReleaseAllResources();
    EXPECT_TRUE(finished.load()) << "the release returns only once the thread has ended";
    RefPtr<PollingThread> thread = manager->GetPollingThread();
    EXPECT_EQ(nullptr, thread.get());
}

}  // namespace
}  // namespace qav
