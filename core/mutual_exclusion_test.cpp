#include "core/mutual_exclusion.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/event.h"
#include "core/test_support.h"
#include "core/trace_frame.h"
#include "platform/state_report.h"
#include "platform/thread.h"

#if defined(QAV_THREAD_SANITIZER)
// One test destroys, on purpose, a mutex that another thread holds, to show what the
// system does about it; the sanitizer rightly reports that as well.
extern "C" const char* __tsan_default_suppressions() {
    return "mutex:AMutexDestroyedWhileAnotherThreadHoldsItIsNotTouchedAgain\n";
}
#endif

namespace qav {
namespace {

using namespace std::chrono_literals;

// A sink that guards its own state with a MutualExclusion, as many do.
struct LockingLogger : test_support::CapturingTextLogger {
    explicit LockingLogger(MutualExclusion& own) : CapturingTextLogger(kSeverityError), own(own) {}
    void LogFormatV(int severity, std::string_view format, FormatArgs args) override {
        MutualExclusionLock lock(own);
        CapturingTextLogger::LogFormatV(severity, format, args);
    }
    MutualExclusion& own;
};

// Takes the fatal reports for the life of the test (all made on the test's thread).
struct FatalCapture {
    FatalCapture() {
        previous = platform::SetFatalReportHook([this](platform::FatalReportKind kind,
                                                       std::string_view text) {
            reports.push_back((kind == platform::FatalReportKind::kError ? "error: " : "state: ") +
                              std::string(text));
        });
    }
    ~FatalCapture() { platform::SetFatalReportHook(previous); }
    platform::FatalReportHook previous;
    std::vector<std::string> reports;
};

using test_support::TestThread;

// The body of a thread that holds `mutex` until stopped; `unlock` false ends it still
// holding the lock.
std::function<void(TestThread&)> Holding(MutualExclusion& mutex, bool unlock = true) {
    return [&mutex, unlock](TestThread& self) {
        EXPECT_TRUE(mutex.Lock(-1));
        self.Ready();
        while (!self.Stopping()) {
            std::this_thread::sleep_for(1ms);
        }
        if (unlock) {
            EXPECT_TRUE(mutex.Unlock());
        }
    };
}

TEST(MutualExclusion, OtherThreadsWaitOrGiveUp) {
    MutualExclusion mutex;
    TestThread holder(Holding(mutex));
    EXPECT_FALSE(mutex.Lock(0)) << "a try must fail at once";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mutex.Lock(80));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms) << "gave up too early";
    EXPECT_EQ(mutex.LockingThreadId(), holder.Id()) << "a failed lock changed the owner";
    EXPECT_EQ(mutex.LockCount(), 1);

    std::thread releaser([&holder] {
        std::this_thread::sleep_for(30ms);
        holder.Stop();
    });
    EXPECT_TRUE(mutex.Lock(10000)) << "a timed wait must take the lock once it is free";
    EXPECT_EQ(mutex.LockingThreadId(), platform::CurrentThreadId());
    releaser.join();
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_EQ(mutex.LockingThreadId(), MutualExclusion::kNoThread);
}

TEST(MutualExclusionLock, TriesAndTimedRelocksGiveUpWhileAnotherThreadHolds) {
    MutualExclusion mutex;
    {
        MutualExclusionLock lock(mutex);
        ASSERT_TRUE(lock.IsLocked());
        lock.Unlock();
        TestThread holder(Holding(mutex));
        MutualExclusionLock tried(mutex, 0);
        EXPECT_FALSE(tried.IsLocked()) << "a try must fail at once";
        EXPECT_FALSE(lock.Relock(0)) << "a relock that only tries must not wait";
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_EQ(mutex.LockingThreadId(), holder.Id()) << "a failed relock changed the owner";
        holder.Stop();
        EXPECT_TRUE(lock.Relock(10000)) << "a timed relock must take the lock once it is free";
        EXPECT_EQ(mutex.LockingThreadId(), platform::CurrentThreadId());
    }
    EXPECT_EQ(mutex.LockCount(), 0) << "the guard must unlock what it relocked";
    EXPECT_EQ(mutex.LockingThreadId(), MutualExclusion::kNoThread);
}

// Every way of taking the lock, nested levels included, orders what it guards: the plain
// counter stays exact, and is no race under ThreadSanitizer either.
TEST(MutualExclusion, CountsStayExactUnderContention) {
    MutualExclusion mutex;
    int64_t total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int done = 0; done < 20000;) {
                const int timeout = (done + t) % 3 - 1;  // -1, 0 and 1 ms in turn
                if (mutex.Lock(timeout)) {
                    ++total;
                    EXPECT_TRUE(mutex.Lock(timeout)) << "a nested level";
                    ++total;
                    mutex.Unlock();
                    ++total;  // the outer level still holds it
                    ++done;
                    mutex.Unlock();
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(total, 240000);
    EXPECT_EQ(mutex.LockCount(), 0);
}

// The sanitizer must see the project's locks as locks: two threads that take the same
// two mutexes in opposite orders could deadlock, even when, as here, they never meet.
TEST(MutualExclusionDeathTest, ThreadSanitizerReportsLocksTakenInOppositeOrders) {
#if !defined(QAV_THREAD_SANITIZER)
    GTEST_SKIP() << "only a ThreadSanitizer build reports lock order";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto inverted = [] {
        MutualExclusion first;
        MutualExclusion second;
        const auto inOrder = [](MutualExclusion& outer, MutualExclusion& inner) {
            MutualExclusionLock outerLock(outer);
            MutualExclusionLock innerLock(inner);
        };
        std::thread(inOrder, std::ref(first), std::ref(second)).join();
        std::thread(inOrder, std::ref(second), std::ref(first)).join();
        std::_Exit(0);
    };
    // Whether the sanitizer halts at the report or goes on, the report is on stderr.
    EXPECT_EXIT(inverted(), [](int status) { return WIFEXITED(status); },
                "ThreadSanitizer: lock-order-inversion");
#endif
}

TEST(MutualExclusion, RelocksAreLoggedAndNeedAsManyUnlocks) {
    MutualExclusion mutex;
    QAV_TRACE("TEST::Relock");
    {
        test_support::CapturingTextLogger logger(kSeverityError);
        ASSERT_TRUE(mutex.Lock(-1));
        EXPECT_TRUE(logger.Lines().empty()) << "a first lock is no relock";
        ASSERT_TRUE(mutex.Lock(-1));
        const auto lines = logger.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind(
                      "3 Thread Relocking Error [count=1]\r\nME::Lock m_dwLockingThreadID=", 0),
                  0u)
            << lines[0];
        EXPECT_NE(lines[0].find("\r\nTEST::Relock\r\n\r\n"), std::string::npos) << lines[0];
    }
    {
        test_support::CapturingTextLogger strict(kSeverityError + 1);
        ASSERT_TRUE(mutex.Lock(0)) << "the owner's try is a relock";
        EXPECT_TRUE(strict.Lines().empty()) << "a logger above level 3 does not take the report";
    }
    // A logger that logs under the very mutex being relocked must not report again.
    LockingLogger locking(mutex);
    ASSERT_TRUE(mutex.Lock(-1));
    EXPECT_EQ(locking.Lines().size(), 1u);
    EXPECT_EQ(mutex.LockCount(), 4) << "the logger's own lock was not undone";
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(mutex.Unlock());
    }
    bool taken = true;
    std::thread([&] { taken = mutex.Lock(0); }).join();
    EXPECT_FALSE(taken) << "three unlocks of four released the lock";
    EXPECT_TRUE(mutex.Unlock());
}

TEST(MutualExclusion, MisuseIsReportedAndChangesNothing) {
    FatalCapture fatal;
    MutualExclusion mutex;
    EXPECT_FALSE(mutex.Unlock()) << "unlocking a free mutex";
    {
        TestThread holder(Holding(mutex));
        EXPECT_FALSE(mutex.Unlock()) << "unlocking another thread's lock";
        EXPECT_EQ(mutex.LockingThreadId(), holder.Id());
        EXPECT_EQ(mutex.LockCount(), 1);
        EXPECT_FALSE(mutex.Lock(0)) << "the holder must still hold the lock";
    }
    EXPECT_TRUE(mutex.Lock(0)) << "the holder's own unlock still worked";
    EXPECT_TRUE(mutex.Unlock());

    auto owned = std::make_unique<MutualExclusion>();
    owned->Lock(-1);
    owned->Lock(-1);
    owned.reset();  // destroyed with two locks held by this thread
    owned = std::make_unique<MutualExclusion>();
    uint32_t holderId = 0;
    {
        TestThread holder(Holding(*owned, false));
        holderId = holder.Id();
    }
    owned.reset();  // must neither hang nor crash

    const std::string error = "error: m_dwLockingThreadID == ::GetCurrentThreadId()";
    const std::vector<std::string> expected = {
        error, error,
        "state: Mutex is locked (2) by thread " + std::to_string(platform::CurrentThreadId()),
        "state: Mutex is locked (1) by thread " + std::to_string(holderId)};
    EXPECT_EQ(fatal.reports, expected);
}

// A wait without limit on its own thread. Should it hang, the test fails and the thread
// and what it waits on are left behind, never freed.
struct DetachedWait {
    explicit DetachedWait(MutualExclusion* mutex) : state(std::make_shared<State>()) {
        std::thread([mutex, state = state] {
            state->result = mutex->Lock(-1) ? 1 : 0;
            state->ended.Set();
        }).detach();
    }
    // The lock's result, or -1 when the wait did not end within 5 s.
    int Result() { return state->ended.Wait(5000) ? state->result.load() : -1; }

    struct State {
        Event ended;
        std::atomic<int> result{-1};
    };
    std::shared_ptr<State> state;
};

TEST(MutualExclusion, AWaitOnAMutexWhoseOwnerEndedHoldingItReturnsFalse) {
    FatalCapture fatal;
    auto* mutex = new MutualExclusion;
    MutualExclusion other;
    uint32_t holderId = 0;
    std::unique_ptr<DetachedWait> early;
    {
        TestThread holder([&](TestThread& self) {
            EXPECT_TRUE(mutex->Lock(-1));
            EXPECT_TRUE(mutex->Lock(-1));
            EXPECT_TRUE(other.Lock(-1));
            EXPECT_TRUE(other.Unlock());
            self.Ready();
            while (!self.Stopping()) {
                std::this_thread::sleep_for(1ms);
            }
        });
        holderId = holder.Id();
        early = std::make_unique<DetachedWait>(mutex);
        std::this_thread::sleep_for(20ms);  // most likely asleep in the wait by now
    }                                       // the holder ends still holding the mutex twice
    ASSERT_EQ(early->Result(), 0) << "a wait that began before the owner ended (-1: it hangs)";
    ASSERT_EQ(DetachedWait(mutex).Result(), 0) << "a wait that began after it (-1: it hangs)";
    EXPECT_TRUE(mutex->IsAbandoned());
    EXPECT_FALSE(mutex->Lock(0));
    EXPECT_FALSE(mutex->Lock(30));
    EXPECT_EQ(mutex->LockingThreadId(), holderId) << "the state stays as the owner left it";
    EXPECT_EQ(mutex->LockCount(), 2);
    EXPECT_FALSE(mutex->Unlock());

    EXPECT_TRUE(other.Lock(0)) << "a mutex the ended thread had let go stays usable";
    EXPECT_TRUE(other.Unlock());
    delete mutex;
    const std::vector<std::string> expected = {
        "error: m_dwLockingThreadID == ::GetCurrentThreadId()",
        "state: Mutex is locked (2) by thread " + std::to_string(holderId)};
    EXPECT_EQ(fatal.reports, expected);
}

// A mutex destroyed while another thread holds it is reported; that thread then neither
// follows nor writes its memory (here kept in storage of the test's own, zeroed as freed
// memory may be reused), lets its other locks go, and at its end abandons only what it
// still holds. A new mutex at the same address is still abandoned.
TEST(MutualExclusion, AMutexDestroyedWhileAnotherThreadHoldsItIsNotTouchedAgain) {
    FatalCapture fatal;
    alignas(MutualExclusion) unsigned char storage[sizeof(MutualExclusion)];
    const auto untouched = [&storage] {
        return std::all_of(std::begin(storage), std::end(storage),
                           [](unsigned char byte) { return byte == 0; });
    };
    auto kept = std::make_unique<MutualExclusion>();
    MutualExclusion released;
    Event destroyed;
    uint32_t holderId = 0;
    {
        MutualExclusion* victim = new (storage) MutualExclusion;
        TestThread holder([&](TestThread& self) {
            EXPECT_TRUE(kept->Lock(-1));
            EXPECT_TRUE(released.Lock(-1));
            EXPECT_TRUE(victim->Lock(-1));
            self.Ready();
            EXPECT_TRUE(destroyed.Wait(5000));
            EXPECT_TRUE(released.Unlock());
            while (!self.Stopping()) {
                std::this_thread::sleep_for(1ms);
            }
        });
        holderId = holder.Id();
        victim->~MutualExclusion();
        std::memset(storage, 0, sizeof storage);
        destroyed.Set();
    }  // the holder ends holding `kept`, and the destroyed mutex as far as it knows
    ASSERT_TRUE(untouched()) << "the holder wrote into the destroyed mutex";
    ASSERT_TRUE(kept->IsAbandoned()) << "the mutex held to the end must be abandoned";
    EXPECT_TRUE(released.Lock(0)) << "the mutex let go after the destruction";
    EXPECT_TRUE(released.Unlock());
    kept.reset();

    // The address comes back as a new mutex, which the same kind of holder takes as well.
    destroyed.Reset();
    MutualExclusion* reborn = nullptr;
    uint32_t secondHolderId = 0;
    {
        MutualExclusion* victim = new (storage) MutualExclusion;
        TestThread holder([&](TestThread& self) {
            EXPECT_TRUE(victim->Lock(-1));
            self.Ready();
            EXPECT_TRUE(destroyed.Wait(5000));
            EXPECT_TRUE(reborn->Lock(-1));
            while (!self.Stopping()) {
                std::this_thread::sleep_for(1ms);
            }
        });
        secondHolderId = holder.Id();
        victim->~MutualExclusion();
        reborn = new (storage) MutualExclusion;
        destroyed.Set();
    }
    EXPECT_TRUE(reborn->IsAbandoned()) << "the new mutex at the old address is held to the end";
    reborn->~MutualExclusion();

    const auto locked = [](uint32_t id) {
        return "state: Mutex is locked (1) by thread " + std::to_string(id);
    };
    EXPECT_EQ(fatal.reports,
              (std::vector<std::string>{locked(holderId), locked(holderId), locked(secondHolderId),
                                        locked(secondHolderId)}));
}

// Writes what it is asked into a shared journal; "r" refuses to lock.
struct JournalLockable : Lockable {
    JournalLockable(std::string name, std::vector<std::string>& journal)
        : name(std::move(name)), journal(journal) {}
    bool Lock(int timeout) override {
        journal.push_back("lock " + name + " " + std::to_string(timeout));
        return name != "r";
    }
    void Unlock() override { journal.push_back("unlock " + name); }
    std::string name;
    std::vector<std::string>& journal;
};

TEST(ScopedLock, LocksTheNewObjectBeforeUnlockingTheOld) {
    std::vector<std::string> journal;
    JournalLockable a("a", journal);
    JournalLockable b("b", journal);
    JournalLockable refusing("r", journal);
    {
        ScopedLock lock(&a);
        lock.Assign(&a);
        lock.Assign(&b);
        lock.Assign(&refusing);
        EXPECT_FALSE(lock.IsLocked());
        lock.Assign(nullptr);
        lock.Assign(&a);
    }
    const std::vector<std::string> expected = {"lock a -1", "lock b -1", "unlock a", "lock r -1",
                                               "unlock b",  "lock a -1", "unlock a"};
    EXPECT_EQ(journal, expected);
}

}  // namespace
}  // namespace qav
