#include "network/socket_handler_manager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/polling_test_support.h"
#include "core/polling_thread.h"
#include "core/test_support.h"

namespace qav {
namespace {

using Log = std::vector<std::string>;
using Method = SocketHandlerManager::WaitMethod;
using test_support::SocketPair;

constexpr intptr_t kInputValue = static_cast<intptr_t>(0x7EDCBA9876543210ll);

// Writes each call into the log as "name:call" (when it has one); reads one byte per input
// event.
class TestHandler : public RefCountedObject<SocketHandler> {
  public:
    TestHandler(std::string name, int socket, Log* log, uint32_t events = kWaitInput)
        : m_events(events), m_name(std::move(name)), m_socket(socket), m_log(log) {}
    ~TestHandler() override { m_onDestroy(); }

    uint32_t GetWaitEvents() override {
        ++m_asked;
        return m_events.load();
    }
    int GetSocket() override { return m_socket; }
    intptr_t HandleInput() override {
        m_overlaps += m_busy.exchange(true) ? 1 : 0;
        Note("in");
        char byte;
        m_reads += read(m_socket, &byte, 1) == 1 ? 1 : 0;
        m_busy = false;
        m_onInput();
        return kInputValue;
    }
    void ProcessInput(intptr_t value) override {
        Note(value == kInputValue ? "process" : "process(cut value)");
    }
    void HandleOutput() override {
        Note("out");
        ++m_outputs;
        m_onOutput();
    }
    void HandleError() override { Note("error"); }

    std::atomic<uint32_t> m_events;
    std::function<void()> m_onInput = [] {};
    std::function<void()> m_onOutput = [] {};
    std::atomic<int> m_outputs{0};
    std::function<void()> m_onDestroy = [] {};
    std::atomic<int> m_reads{0};     // bytes read, one per HandleInput
    std::atomic<int> m_overlaps{0};  // HandleInput calls begun while one was running
    std::atomic<int> m_asked{0};     // GetWaitEvents calls

  private:
    void Note(const char* call) {
        if (m_log != nullptr) {
            m_log->push_back(m_name + ":" + call);
        }
    }
    std::atomic<bool> m_busy{false};
    std::string m_name;
    int m_socket;
    Log* m_log;
};

// A handler for `pair`, registered with `manager`.
RefPtr<TestHandler> Registered(SocketHandlerManager& manager, const char* name,
                               const SocketPair& pair, Log* log) {
    RefPtr<TestHandler> handler(new TestHandler(name, pair.mine, log));
    EXPECT_TRUE(manager.AddHandler(handler.get())) << name;
    return handler;
}

Log Sorted(Log log) {  // for handlers last served in the same turn, whose order is free
    std::sort(log.begin(), log.end());
    return log;
}

const char* MethodName(Method method) {
    return method == Method::kEpoll ? "epoll" : method == Method::kPoll ? "poll" : "select";
}

// Acts while a turn waits (poll: before the system call; epoll: once it has returned,
// with the turn's events in hand), or makes the wait fail.
class HookedManager : public SocketHandlerManager {
  public:
    explicit HookedManager(Method method = Method::kEpoll) : SocketHandlerManager(method) {}

    std::function<void()> m_duringWait = [] {};
    int m_failWith = 0;

  protected:
    int CallPoll(platform::PollRecord* records, size_t count, int timeoutMs,
                 int& errorCode) override {
        std::exchange(m_duringWait, [] {})();
        if (m_failWith != 0) {
            errorCode = std::exchange(m_failWith, 0);
            return -1;
        }
        return SocketHandlerManager::CallPoll(records, count, timeoutMs, errorCode);
    }
    int CallEpollWait(platform::EpollEvent* events, size_t capacity, int timeoutMs,
                      int& errorCode) override {
        if (m_failWith != 0) {
            errorCode = std::exchange(m_failWith, 0);
            return -1;
        }
        const int result =
            SocketHandlerManager::CallEpollWait(events, capacity, timeoutMs, errorCode);
        std::exchange(m_duringWait, [] {})();
        return result;
    }
};

TEST(SocketHandlerManager, RegistrationAndQuietTurns) {
    SocketHandlerManager manager;
    EXPECT_EQ(manager.Wait(60000), Waiter::kNothingToWait) << "no handler: no wait at all";
    Log log;
    SocketPair pair;
    RefPtr<TestHandler> first(new TestHandler("first", pair.mine, &log, 0));
    RefPtr<TestHandler> second(new TestHandler("second", pair.mine, &log));
    RefPtr<TestHandler> negative(new TestHandler("negative", -1, &log));
    EXPECT_TRUE(manager.AddHandler(first.get()));
    EXPECT_FALSE(manager.AddHandler(second.get())) << "the socket is registered already";
    EXPECT_FALSE(manager.AddHandler(negative.get()));
    EXPECT_EQ(manager.Wait(60000), Waiter::kNothingToWait) << "waits for no event";

    first->m_events = SocketHandler::kWaitInput;
    EXPECT_EQ(manager.Wait(20), Waiter::kBusyOrTimeout);
    EXPECT_GT(manager.TakeWaitTime(), 0);
    EXPECT_EQ(manager.TakeWaitTime(), 0);
    EXPECT_FALSE(manager.RemoveHandler(second.get())) << "not its registration";
    pair.Send();
    EXPECT_EQ(manager.Wait(1000), Waiter::kHandled);
    EXPECT_EQ(log, (Log{"first:in", "first:process"}));
    EXPECT_TRUE(manager.RemoveHandler(first.get()));
    EXPECT_EQ(manager.Wait(60000), Waiter::kNothingToWait);
}

// A socket that is readable, hung up and writable at once; its handler removes itself in
// its first call and the manager holds the only reference.
TEST(SocketHandlerManager, InputThenErrorThenOutputEvenAfterRemovingItself) {
    SocketHandlerManager manager;
    SocketPair pair;
    pair.Send();
    close(std::exchange(pair.peer, -1));
    Log log;
    bool destroyed = false;
    auto* handler = new TestHandler("h", pair.mine, &log,
                                    SocketHandler::kWaitInput | SocketHandler::kWaitOutput);
    handler->m_onInput = [&] { EXPECT_TRUE(manager.RemoveHandler(handler)); };
    handler->m_onDestroy = [&] { destroyed = true; };
    manager.AddHandler(handler);
    EXPECT_EQ(manager.Wait(1000), Waiter::kHandled);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Log(log.begin(), log.begin() + 3), (Log{"h:in", "h:process", "h:error"}));
    EXPECT_EQ(Log(log.begin() + 3, log.end()), log.size() == 3 ? Log{} : Log{"h:out"});
    EXPECT_TRUE(destroyed) << "released once its turn was over";
    EXPECT_EQ(manager.Wait(1000), Waiter::kNothingToWait);
}

// A manager with two registered handlers, "a" and "b", each on its own socket pair.
class SocketHandlerManagerTest : public ::testing::Test {
  protected:
    SocketHandlerManager m_manager;
    Log m_log;
    SocketPair m_socketA;
    SocketPair m_socketB;
    RefPtr<TestHandler> m_handlerA = Registered(m_manager, "a", m_socketA, &m_log);
    RefPtr<TestHandler> m_handlerB = Registered(m_manager, "b", m_socketB, &m_log);
};

TEST_F(SocketHandlerManagerTest, ServesTheSocketServedLongestAgoFirst) {
    struct Step {  // the sockets made ready, and the calls expected in this order
        bool aReady;
        bool bReady;
        Log expected;
    };
    const Step steps[] = {
        {true, false, {"a:in", "a:process"}},
        {true, true, {"b:in", "b:process", "a:in", "a:process"}},
        {false, true, {"b:in", "b:process"}},
        {true, true, {"a:in", "a:process", "b:in", "b:process"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.expected[0] + " first");
        if (step.aReady) {
            m_socketA.Send();
        }
        if (step.bReady) {
            m_socketB.Send();
        }
        m_log.clear();
        EXPECT_EQ(m_manager.Wait(1000), Waiter::kHandled);
        EXPECT_EQ(m_log, step.expected);
    }
}

// Linux gives a closed descriptor's number to the next socket at once.
TEST(SocketHandlerManager, TurnNeverDeliversToARegistrationItDidNotTake) {
    for (const Method method : {Method::kEpoll, Method::kPoll})
        for (const bool reused : {false, true}) {
            SCOPED_TRACE(std::string(MethodName(method)) +
                         (reused ? ", descriptor reused" : ", descriptor closed"));
            HookedManager manager(method);
            Log log;
            SocketPair old;
            SocketPair fresh;
            RefPtr<TestHandler> oldHandler(new TestHandler("old", old.mine, &log));
            RefPtr<TestHandler> newHandler(new TestHandler("new", old.mine, &log));
            manager.AddHandler(oldHandler.get());
            if (method == Method::kEpoll) {
                old.Send();  // the wait has its event in hand when the hook runs
            }
            manager.m_duringWait = [&] {
                manager.RemoveHandler(oldHandler.get());
                if (reused) {
                    ASSERT_EQ(dup2(fresh.mine, old.mine), old.mine);  // closes the old socket
                    fresh.Send();
                    manager.AddHandler(newHandler.get());
                } else {
                    close(std::exchange(old.mine, -1));
                }
            };
            EXPECT_EQ(manager.Wait(1000), Waiter::kHandled) << "the wait saw the descriptor";
            EXPECT_EQ(log, Log{}) << "neither the removed entry nor the one not taken";
            EXPECT_EQ(manager.Wait(1000), reused ? Waiter::kHandled : Waiter::kNothingToWait);
            EXPECT_EQ(log, reused ? (Log{"new:in", "new:process"}) : Log{});
        }
}

TEST(SocketHandlerManager, FailedWaitIsLoggedAndLetsItsSocketsGo) {
    for (const Method method : {Method::kEpoll, Method::kPoll}) {
        SCOPED_TRACE(MethodName(method));
        HookedManager polling(method);
        SocketHandlerManager selecting(Method::kSelect);
        Log log;
        SocketPair pair;
        SocketPair closed;
        RefPtr<TestHandler> handler = Registered(polling, "h", pair, &log);
        RefPtr<TestHandler> stale = Registered(selecting, "stale", closed, &log);
        close(std::exchange(closed.mine, -1));  // select fails on a closed descriptor
        pair.Send();
        polling.m_failWith = EINVAL;
        {
            test_support::CapturingTextLogger logger(kSeverityError);
            EXPECT_EQ(polling.Wait(1000), Waiter::kFailed);
            EXPECT_EQ(selecting.Wait(1000), Waiter::kFailed);
            EXPECT_EQ(logger.Lines(),
                      (Log{"3 Failed to poll: socket error 22 = Invalid argument",
                           "3 Failed to select: socket error 9 = Bad file descriptor"}));
        }
        EXPECT_EQ(polling.GetLastSocketError(), EINVAL);
        EXPECT_EQ(selecting.GetLastSocketError(), EBADF);
        EXPECT_EQ(polling.Wait(1000), Waiter::kHandled) << "the failed turn let its socket go";
        EXPECT_EQ(log, (Log{"h:in", "h:process"}));
    }
}

TEST_F(SocketHandlerManagerTest, HandlerExceptionReachesTheCallerAndLetsTheSocketsGo) {
    m_socketB.Send();  // served now, so "a" comes first in the next turn
    EXPECT_EQ(m_manager.Wait(1000), Waiter::kHandled);
    m_log.clear();
    m_handlerA->m_onInput = [] { throw std::runtime_error("handler failed"); };
    m_socketA.Send();
    m_socketA.Send();
    m_socketB.Send();
    EXPECT_THROW(m_manager.Wait(1000), std::runtime_error);
    EXPECT_EQ(m_log, Log{"a:in"});
    m_handlerA->m_onInput = [] {};
    m_log.clear();
    EXPECT_EQ(m_manager.Wait(1000), Waiter::kHandled);
    EXPECT_EQ(Sorted(m_log), (Log{"a:in", "a:process", "b:in", "b:process"}));
}

TEST(SocketHandlerManager, SelectLeavesOutDescriptorsBeyondItsSets) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    rlimit raised = limit;
    raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 2048));
    if (raised.rlim_cur <= 1030 || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        GTEST_SKIP() << "descriptor 1030 is not available";
    }
    {
        SocketPair low;  // in the last word of a set
        SocketPair high;
        ASSERT_EQ(dup2(low.mine, 1000), 1000);
        ASSERT_EQ(dup2(high.mine, 1030), 1030);
        close(std::exchange(low.mine, 1000));
        close(std::exchange(high.mine, 1030));
        for (const Method method : {Method::kSelect, Method::kPoll}) {
            const bool select = method == Method::kSelect;
            SCOPED_TRACE(select ? "select" : "poll");
            SocketHandlerManager manager(method);
            Log log;
            RefPtr<TestHandler> highHandler(new TestHandler("high", high.mine, &log));
            RefPtr<TestHandler> lowHandler(new TestHandler("low", low.mine, &log));
            manager.AddHandler(highHandler.get());
            high.Send();
            EXPECT_EQ(manager.Wait(0), select ? Waiter::kNothingToWait : Waiter::kHandled);
            manager.AddHandler(lowHandler.get());
            low.Send();
            high.Send();
            log.clear();
            EXPECT_EQ(manager.Wait(1000), Waiter::kHandled);
            EXPECT_EQ(Sorted(log), select
                                       ? (Log{"low:in", "low:process"})
                                       : (Log{"high:in", "high:process", "low:in", "low:process"}));
            EXPECT_EQ(manager.GetSkippedSocketCount(), select ? 2u : 0u);
        }
    }
    setrlimit(RLIMIT_NOFILE, &limit);
}

// One urgent byte from a TCP peer is no error of the socket: neither wait reports it as
// one, whatever select's exception set says; the ordinary byte after it is input.
TEST(SocketHandlerManager, OutOfBandDataIsNoError) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(listener, 4));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    for (const Method method : {Method::kSelect, Method::kPoll}) {
        SCOPED_TRACE(method == Method::kSelect ? "select" : "poll");
        const int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(0, connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address));
        const int mine = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        ASSERT_GE(mine, 0);
        SocketHandlerManager manager(method);
        Log log;
        RefPtr<TestHandler> handler(new TestHandler("h", mine, &log));
        manager.AddHandler(handler.get());
        ASSERT_EQ(1, send(peer, "!", 1, MSG_OOB));
        ASSERT_EQ(1, send(peer, "x", 1, 0));
        for (int turn = 0; turn < 20 && handler->m_reads == 0; ++turn) {
            manager.Wait(100);
        }
        EXPECT_EQ(1, handler->m_reads.load()) << "the ordinary byte is read";
        EXPECT_EQ(0, std::count(log.begin(), log.end(), "h:error"))
            << "urgent data taken for an error";
        manager.RemoveHandler(handler.get());
        close(mine);
        close(peer);
    }
    close(listener);
}

// What GetWaitEvents answers decides what the socket waits for from the next turn on:
// an answer changed inside the socket's own handler, or outside any turn for a socket
// that waits for nothing, or outside any turn with WaitEventsChanged. A socket that waits
// for nothing hears nothing, not even of its hang-up, until it waits again.
TEST(SocketHandlerManager, WaitEventsTakeEffectFromTheNextTurn) {
    for (const Method method : {Method::kEpoll, Method::kPoll}) {
        SCOPED_TRACE(MethodName(method));
        SocketHandlerManager manager(method);
        Log log;
        SocketPair pair;
        RefPtr<TestHandler> handler = Registered(manager, "h", pair, &log);
        auto turn = [&](int timeoutMs, int expected) {
            log.clear();
            EXPECT_EQ(manager.Wait(timeoutMs), expected);
            return log;
        };
        pair.Send();
        pair.Send();  // one byte is left behind by each turn with input
        handler->m_onInput = [&] { handler->m_events = SocketHandler::kWaitOutput; };
        EXPECT_EQ(turn(1000, Waiter::kHandled), (Log{"h:in", "h:process"}));
        handler->m_onOutput = [&] { handler->m_events = 0; };
        EXPECT_EQ(turn(1000, Waiter::kHandled), Log{"h:out"}) << "the byte left is not input";
        EXPECT_EQ(turn(0, Waiter::kNothingToWait), Log{});

        handler->m_onInput = [] {};
        handler->m_events = SocketHandler::kWaitInput;
        EXPECT_EQ(turn(1000, Waiter::kHandled), (Log{"h:in", "h:process"}));
        handler->m_events = SocketHandler::kWaitInput | SocketHandler::kWaitOutput;
        manager.WaitEventsChanged(handler.get());
        EXPECT_EQ(turn(1000, Waiter::kHandled), Log{"h:out"});

        close(std::exchange(pair.peer, -1));
        EXPECT_EQ(turn(0, Waiter::kNothingToWait), Log{})
            << "the hang-up while waiting for nothing";
        handler->m_events = SocketHandler::kWaitInput;
        EXPECT_EQ(turn(1000, Waiter::kHandled), (Log{"h:in", "h:process", "h:error"}));
        EXPECT_TRUE(manager.RemoveHandler(handler.get()));
    }
}

// The kernel keeps a registration while its socket is open anywhere, under the number it
// had. A socket closed before its removal while a duplicate keeps it open, whose number a
// new socket has taken since, must neither reach the new registration nor hide the new
// socket's own events.
TEST(SocketHandlerManager, ANewSocketOnAnOldNumberIsANewRegistration) {
    for (const Method method : {Method::kEpoll, Method::kPoll}) {
        SCOPED_TRACE(MethodName(method));
        SocketHandlerManager manager(method);
        Log log;
        SocketPair old;
        SocketPair fresh;
        RefPtr<TestHandler> oldHandler = Registered(manager, "old", old, &log);
        EXPECT_EQ(manager.Wait(0), Waiter::kBusyOrTimeout) << "watched from now on";
        const int number = old.mine;
        const int kept = dup(number);
        ASSERT_GE(kept, 0);
        close(number);
        EXPECT_TRUE(manager.RemoveHandler(oldHandler.get()));
        ASSERT_EQ(dup2(fresh.mine, number), number);
        RefPtr<TestHandler> newHandler(new TestHandler("new", number, &log));
        EXPECT_TRUE(manager.AddHandler(newHandler.get()));

        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round);
            old.Send();
            manager.Wait(0);
            EXPECT_EQ(log, Log{}) << "the old socket's event went to the new registration";
            fresh.Send();
            EXPECT_EQ(manager.Wait(1000), Waiter::kHandled);
            EXPECT_EQ(log, (Log{"new:in", "new:process"}));
            log.clear();
        }
        EXPECT_TRUE(manager.RemoveHandler(newHandler.get()));
        close(kept);
    }
}

// With 5,000 idle sockets held, a turn with one socket ready asks nothing of the others:
// what a turn costs grows with what is ready, not with what is held.
TEST(SocketHandlerManager, ATurnCostsTheReadySocketsNotTheHeldOnes) {
    constexpr int kHeld = 5000;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    rlimit raised = limit;
    raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 8192));
    if (raised.rlim_cur < kHeld + 256 || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        GTEST_SKIP() << "not enough descriptors";
    }
    {
        SocketHandlerManager manager;
        ASSERT_EQ(manager.GetWaitMethod(), Method::kEpoll);
        std::vector<RefPtr<TestHandler>> held;
        for (int i = 0; i < kHeld; ++i) {
            const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ASSERT_GE(socket, 0);
            held.emplace_back(new TestHandler("held", socket, nullptr));
            ASSERT_TRUE(manager.AddHandler(held.back().get()));
        }
        Log log;
        SocketPair pair;
        RefPtr<TestHandler> ready = Registered(manager, "ready", pair, &log);
        EXPECT_EQ(manager.Wait(0), Waiter::kBusyOrTimeout);
        auto heldAsked = [&] {
            int asked = 0;
            for (const RefPtr<TestHandler>& handler : held) {
                asked += handler->m_asked;
            }
            return asked;
        };
        EXPECT_EQ(heldAsked(), kHeld) << "each asked once, when first waited for";
        for (int turn = 0; turn < 3; ++turn) {
            pair.Send();
            log.clear();
            EXPECT_EQ(manager.Wait(1000), Waiter::kHandled);
            EXPECT_EQ(log, (Log{"ready:in", "ready:process"}));
        }
        EXPECT_EQ(heldAsked(), kHeld) << "a turn asked the idle sockets again";
        EXPECT_EQ(ready->m_asked, 4) << "once when first waited for, then after each turn";
        for (const RefPtr<TestHandler>& handler : held) {
            EXPECT_TRUE(manager.RemoveHandler(handler.get()));
            close(handler->GetSocket());
        }
    }
    setrlimit(RLIMIT_NOFILE, &limit);
}

// A descriptor that epoll cannot watch (a regular file) is logged once, its handler told
// once as of an invalid descriptor, and the loop neither spins nor logs on it again.
TEST(SocketHandlerManager, ADescriptorTheKernelWillNotWatchIsReportedOnce) {
    SocketHandlerManager manager;
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    Log log;
    RefPtr<TestHandler> handler(new TestHandler("file", fileno(file), &log));
    ASSERT_TRUE(manager.AddHandler(handler.get()));
    {
        test_support::CapturingTextLogger logger(kSeverityError);
        EXPECT_EQ(manager.Wait(1000), Waiter::kHandled);
        EXPECT_EQ(log, Log{"file:error"});
        EXPECT_EQ(manager.Wait(0), Waiter::kNothingToWait);
        EXPECT_EQ(manager.Wait(0), Waiter::kNothingToWait);
        EXPECT_EQ(logger.Lines(),
                  Log{"3 Failed to watch socket: socket error 1 = Operation not permitted"});
    }
    EXPECT_EQ(log, Log{"file:error"});
    EXPECT_TRUE(manager.RemoveHandler(handler.get()));
    fclose(file);
}

// A manager made while the process may open only `free` descriptors more; `open` is
// any descriptor it holds.
void MakeWithFreeDescriptors(int free, int open, std::unique_ptr<SocketHandlerManager>& made) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int lowest = dup(open);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit tight = limit;
    tight.rlim_cur = static_cast<rlim_t>(lowest + free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    made = std::make_unique<SocketHandlerManager>();
    setrlimit(RLIMIT_NOFILE, &limit);
}

// A manager whose epoll set the system refused (no descriptor left for it) polls.
TEST(SocketHandlerManager, WithoutAnEpollSetTheLoopPolls) {
#ifdef QAV_UNDEFINED_SANITIZER
    // Its check of a virtual call opens a pipe to probe memory; without a free descriptor
    // it reports every such call as one on a broken object.
    GTEST_SKIP() << "UndefinedBehaviorSanitizer cannot check calls without free descriptors";
#endif
    SocketPair pair;
    // The lowest free number goes to the wake-up descriptor, and none is left for epoll.
    std::unique_ptr<SocketHandlerManager> manager;
    ASSERT_NO_FATAL_FAILURE(MakeWithFreeDescriptors(1, pair.mine, manager));
    EXPECT_EQ(manager->GetWaitMethod(), Method::kPoll);
    Log log;
    RefPtr<TestHandler> handler = Registered(*manager, "h", pair, &log);
    pair.Send();
    EXPECT_EQ(manager->Wait(1000), Waiter::kHandled);
    EXPECT_EQ(log, (Log{"h:in", "h:process"}));
}

// Neither a system without a descriptor to spare for the wake-up nor an epoll set that
// refuses to watch it leaves changes waiting for the turn's time-out without a word.
TEST(SocketHandlerManager, AWakeUpThatCannotBeWatchedIsLoggedAndEpollGivesWayToPoll) {
    // UndefinedBehaviorSanitizer's check of a virtual call opens a pipe to probe memory:
    // it cannot check calls without a free descriptor.
#ifndef QAV_UNDEFINED_SANITIZER
    {
        SocketPair pair;
        test_support::CapturingTextLogger logger(kSeverityError);
        std::unique_ptr<SocketHandlerManager> manager;
        ASSERT_NO_FATAL_FAILURE(MakeWithFreeDescriptors(0, pair.mine, manager));
        EXPECT_EQ(logger.Lines(), Log{"3 Failed to make the wake-up descriptor: socket error 24 "
                                      "= Too many open files"});
    }
#endif

    // The kernel refuses an epoll registration only when out of memory or of watches.
    class RefusingEpoll : public SocketHandlerManager {
      public:
        RefusingEpoll() : SocketHandlerManager(Method::kEpoll, ENOMEM) {}
    };
    test_support::CapturingTextLogger logger(kSeverityError);
    RefusingEpoll manager;
    EXPECT_EQ(logger.Lines(), Log{"3 Failed to watch the wake-up descriptor: socket error 12 = "
                                  "Cannot allocate memory"});
    EXPECT_EQ(manager.GetWaitMethod(), Method::kPoll);
    // Polled, the descriptor still ends a wait without limit on another thread.
    SocketPair pair;
    RefPtr<TestHandler> handler = Registered(manager, "h", pair, nullptr);
    std::atomic<int> result{0};
    std::thread waiting([&] { result = manager.Wait(-1); });
    EXPECT_TRUE(test_support::Eventually([&] {
        manager.WakeUp();
        return result != 0;
    })) << "the change never ended the wait";
    pair.Send();  // should it still wait, this ends it
    waiting.join();
    EXPECT_TRUE(manager.RemoveHandler(handler.get()));
}

// Two threads turn one manager while a writer feeds its sockets: every byte is read once,
// and no handler is ever in two HandleInput calls at once.
TEST(SocketHandlerManager, ConcurrentTurnsShareTheSockets) {
    for (const Method method : {Method::kEpoll, Method::kPoll}) {
        SCOPED_TRACE(MethodName(method));
        constexpr int kSockets = 8;
        constexpr int kBytesEach = 200;
        SocketHandlerManager manager(method);
        std::vector<SocketPair> pairs(kSockets);
        std::vector<RefPtr<TestHandler>> handlers;
        for (const SocketPair& pair : pairs) {
            handlers.push_back(Registered(manager, "c", pair, nullptr));
        }
        std::atomic<int> total{0};
        auto turns = [&] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (total < kSockets * kBytesEach && std::chrono::steady_clock::now() < deadline) {
                manager.Wait(10);
                int sum = 0;
                for (auto& handler : handlers) {
                    sum += handler->m_reads;
                }
                total = sum;
            }
        };
        std::thread writer([&] {
            for (int i = 0; i < kBytesEach * kSockets; ++i) {
                pairs[i % kSockets].Send();
            }
        });
        std::thread one(turns);
        std::thread two(turns);
        writer.join();
        one.join();
        two.join();
        for (auto& handler : handlers) {
            EXPECT_EQ(handler->m_reads, kBytesEach);
            EXPECT_EQ(handler->m_overlaps, 0);
        }
    }
}

// Turns without a time limit on a thread of their own; the test's changes come from
// another thread and must end the poll they find under way.
class EndlessTurns {
  public:
    explicit EndlessTurns(SocketHandlerManager& manager)
        : m_manager(manager), m_thread([this] {
              while (!m_stop) {
                  if (m_manager.Wait(-1) == Waiter::kNothingToWait) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  }
              }
          }) {}
    // `stopper` is made readable, so that the last turn ends even without a wake-up.
    void Stop(SocketPair& stopper) {
        m_stop = true;
        stopper.Send();
        m_thread.join();
    }

  private:
    SocketHandlerManager& m_manager;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST(SocketHandlerManager, ChangesFromAnotherThreadEndAPollWithoutLimit) {
    SocketHandlerManager manager;
    SocketPair quiet;
    RefPtr<TestHandler> waiting = Registered(manager, "waiting", quiet, nullptr);
    EndlessTurns turns(manager);

    // A handler that comes to want output is served without waiting for the turn's end;
    // it wants output once, so the turns go back to polling input alone.
    waiting->m_onOutput = [&] { waiting->m_events = SocketHandler::kWaitInput; };
    waiting->m_events = SocketHandler::kWaitInput | SocketHandler::kWaitOutput;
    manager.WakeUp();
    EXPECT_TRUE(test_support::Eventually([&] { return waiting->m_outputs == 1; }));
    // So does one that names the handler.
    waiting->m_events = SocketHandler::kWaitInput | SocketHandler::kWaitOutput;
    manager.WaitEventsChanged(waiting.get());
    EXPECT_TRUE(test_support::Eventually([&] { return waiting->m_outputs == 2; }));

    // A socket registered meanwhile is polled by the next turn.
    SocketPair ready;
    ready.Send();
    RefPtr<TestHandler> added = Registered(manager, "added", ready, nullptr);
    EXPECT_TRUE(test_support::Eventually([&] { return added->m_reads == 1; }));

    // A change made inside a handler, on the waiting thread, needs no signal.
    const uint64_t before = manager.GetWakeUpCount();
    std::atomic<bool> changed{false};
    waiting->m_onInput = [&] {
        manager.WakeUp();
        changed = true;
    };
    quiet.Send();
    EXPECT_TRUE(test_support::Eventually([&] { return changed.load(); }));
    EXPECT_EQ(before, manager.GetWakeUpCount());

    EXPECT_TRUE(manager.RemoveHandler(added.get()));
    turns.Stop(quiet);
    EXPECT_TRUE(manager.RemoveHandler(waiting.get()));
}

TEST(SocketHandlerManager, ChangesCoalesceUntilTheLoopTakesTheirSignal) {
    SocketHandlerManager manager;
    SocketPair pair;
    RefPtr<TestHandler> handler(new TestHandler("h", pair.mine, nullptr));
    EXPECT_TRUE(manager.AddHandler(handler.get()));
    manager.WakeUp();
    manager.WakeUp();
    EXPECT_EQ(1u, manager.GetWakeUpCount()) << "one signal until the loop takes it";

    // The loop's thread takes it; its own changes signal nothing.
    std::thread([&] {
        EXPECT_EQ(Waiter::kBusyOrTimeout, manager.Wait(0)) << "no socket event";
        manager.WakeUp();
    }).join();
    EXPECT_EQ(1u, manager.GetWakeUpCount());
    manager.WakeUp();
    EXPECT_EQ(2u, manager.GetWakeUpCount()) << "taken, so the next change signals again";
    EXPECT_TRUE(manager.RemoveHandler(handler.get()));
    EXPECT_EQ(2u, manager.GetWakeUpCount()) << "still untaken";
}

// A polling thread whose every turn waits without limit, so that only the stop itself
// can end the turn under way; tells when a turn has begun its wait.
class EndlessWaitLoop : public SocketHandlerManager {
  public:
    explicit EndlessWaitLoop(Method method) : SocketHandlerManager(method) {}
    int Wait(int /*timeoutMs*/) override { return SocketHandlerManager::Wait(-1); }
    Event waiting;

  protected:
    int CallPoll(platform::PollRecord* records, size_t count, int timeoutMs,
                 int& errorCode) override {
        waiting.Set();
        return SocketHandlerManager::CallPoll(records, count, timeoutMs, errorCode);
    }
    int CallEpollWait(platform::EpollEvent* events, size_t capacity, int timeoutMs,
                      int& errorCode) override {
        waiting.Set();
        return SocketHandlerManager::CallEpollWait(events, capacity, timeoutMs, errorCode);
    }
    int CallSelect(platform::SelectSets& sets, int timeoutMs, int& errorCode) override {
        waiting.Set();
        return SocketHandlerManager::CallSelect(sets, timeoutMs, errorCode);
    }
};

class PlainScheduler final : public RefCountedObject<Scheduler> {
    ~PlainScheduler() override = default;
};

class OwnerOfAScheduler final : public RefCountedObject<PollingThreadOwner> {
  public:
    RefPtr<Scheduler> GetScheduler() override { return m_scheduler; }

  private:
    ~OwnerOfAScheduler() override = default;
    RefPtr<Scheduler> m_scheduler{new PlainScheduler};
};

TEST(SocketHandlerManager, AStopOfThePollingThreadEndsItsWaitUnderWay) {
    for (const Method method : {Method::kEpoll, Method::kPoll, Method::kSelect}) {
        SCOPED_TRACE(MethodName(method));
        EndlessWaitLoop loop(method);
        SocketPair quiet;
        RefPtr<TestHandler> handler = Registered(loop, "quiet", quiet, nullptr);
        RefPtr<OwnerOfAScheduler> owner(new OwnerOfAScheduler);
        RefPtr<PollingThread> thread(new PollingThread);
        thread->SetOwner(owner.get());
        thread->SetWaiter(&loop);
        ASSERT_TRUE(thread->StartThread("QAV Polling"));
        ASSERT_TRUE(loop.waiting.Wait(60000)) << "the thread never waited";
        // Without a limit: a stop that waited for the turn to end by itself never returns.
        EXPECT_TRUE(thread->Stop(-1));
        EXPECT_FALSE(thread->IsRunning());

        // An interruption that comes before a turn ends that turn before it waits; a turn
        // with nothing to wait for still says so.
        loop.SocketHandlerManager::Wait(0);  // takes what the stop left, should it be there
        loop.Interrupt();
        EXPECT_EQ(loop.Wait(-1), Waiter::kBusyOrTimeout);
        EXPECT_TRUE(loop.RemoveHandler(handler.get()));
        loop.Interrupt();
        EXPECT_EQ(loop.Wait(-1), Waiter::kNothingToWait);
    }
}

}  // namespace
}  // namespace qav
