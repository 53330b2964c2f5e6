#include "core/mutual_exclusion.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/text_logger.h"
#include "core/trace_frame.h"
#include "platform/state_report.h"
#include "platform/thread.h"

namespace qav {
namespace {

using namespace std::chrono_literals;

// Keeps what is logged; may lock a MutualExclusion while logging, as a sink that guards
// its own state does.
struct CapturingLogger : TextLogger {
    explicit CapturingLogger(int level, MutualExclusion* own = nullptr) : level(level), own(own) {}
    int GetLevel() override { return level; }
    void LogText(int severity, std::string_view text) override {
        lines.push_back(std::to_string(severity) + ":" + std::string(text));
    }
    void LogFormatV(int severity, std::string_view format, FormatArgs args) override {
        if (own != nullptr) {
            MutualExclusionLock lock(*own);
            LogText(severity, FormatStringV(format, args));
        } else {
            LogText(severity, FormatStringV(format, args));
        }
    }
    int level;
    MutualExclusion* own;
    std::vector<std::string> lines;
};

// Takes the fatal reports for the life of the test.
struct FatalCapture {
    FatalCapture() {
        previous = platform::SetFatalReportHook([this](platform::FatalReportKind kind,
                                                       std::string_view text) {
            std::lock_guard<std::mutex> guard(mutex);
            reports.push_back((kind == platform::FatalReportKind::kError ? "error: " : "state: ") +
                              std::string(text));
        });
    }
    ~FatalCapture() { platform::SetFatalReportHook(previous); }
    platform::FatalReportHook previous;
    std::mutex mutex;
    std::vector<std::string> reports;
};

// Holds a mutex on another thread until released.
struct Holder {
    explicit Holder(MutualExclusion& mutex, bool unlockAtEnd = true)
        : thread([this, &mutex, unlockAtEnd] {
              EXPECT_TRUE(mutex.Lock(-1));
              threadId = platform::CurrentThreadId();
              while (!release) {
                  std::this_thread::sleep_for(1ms);
              }
              if (unlockAtEnd) {
                  EXPECT_TRUE(mutex.Unlock());
              }
          }) {
        while (threadId == 0) {
            std::this_thread::yield();
        }
    }
    ~Holder() { Release(); }
    void Release() {
        release = true;
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::atomic<bool> release{false};
    std::atomic<uint32_t> threadId{0};
    std::thread thread;
};

TEST(MutualExclusion, OtherThreadsWaitOrGiveUp) {
    MutualExclusion mutex;
    Holder holder(mutex);
    EXPECT_FALSE(mutex.Lock(0)) << "a try must fail at once";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mutex.Lock(80));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms) << "gave up too early";
    EXPECT_EQ(mutex.LockingThreadId(), holder.threadId) << "a failed lock changed the owner";
    EXPECT_EQ(mutex.LockCount(), 1);

    std::thread releaser([&holder] {
        std::this_thread::sleep_for(30ms);
        holder.Release();
    });
    EXPECT_TRUE(mutex.Lock(10000)) << "a timed wait must take the lock once it is free";
    EXPECT_EQ(mutex.LockingThreadId(), platform::CurrentThreadId());
    releaser.join();
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_EQ(mutex.LockingThreadId(), MutualExclusion::kNoThread);
}

TEST(MutualExclusion, RecursiveLocksNeedAsManyUnlocks) {
    MutualExclusion mutex;
    ASSERT_TRUE(mutex.Lock(-1));
    ASSERT_TRUE(mutex.Lock(0)) << "the owner's try is a relock";
    auto otherThreadGetsIt = [&mutex] {
        bool locked = false;
        std::thread([&] { locked = mutex.Lock(0) && mutex.Unlock(); }).join();
        return locked;
    };
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(otherThreadGetsIt()) << "one unlock of two released the lock";
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(otherThreadGetsIt());
}

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
                    ++done;
                    mutex.Unlock();
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(total, 80000);
    EXPECT_EQ(mutex.LockCount(), 0);
}

TEST(MutualExclusion, RelockIsLoggedWithTheTraceChain) {
    CapturingLogger logger(kSeverityError);
    SetTextLogger(&logger);
    MutualExclusion mutex;
    QAV_TRACE("TEST::Relock");
    ASSERT_TRUE(mutex.Lock(-1));
    EXPECT_TRUE(logger.lines.empty()) << "a first lock is no relock";
    ASSERT_TRUE(mutex.Lock(-1));
    ASSERT_EQ(logger.lines.size(), 1u);
    const std::string& line = logger.lines[0];
    EXPECT_EQ(line.rfind("3:Thread Relocking Error [count=1]\r\nME::Lock m_dwLockingThreadID=", 0),
              0u)
        << line;
    EXPECT_NE(line.find("\r\nTEST::Relock\r\n\r\n"), std::string::npos) << line;

    CapturingLogger strict(kSeverityError + 1);
    SetTextLogger(&strict);
    ASSERT_TRUE(mutex.Lock(-1));
    EXPECT_TRUE(strict.lines.empty()) << "a logger above level 3 does not take the report";

    // A logger that logs under the very mutex being relocked must not report again.
    CapturingLogger locking(kSeverityError, &mutex);
    SetTextLogger(&locking);
    ASSERT_TRUE(mutex.Lock(-1));
    SetTextLogger(nullptr);
    EXPECT_EQ(locking.lines.size(), 1u);
    EXPECT_EQ(mutex.LockCount(), 4) << "the logger's own lock was not undone";
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(mutex.Unlock());
    }
}

TEST(MutualExclusion, MisuseIsReportedAndChangesNothing) {
    FatalCapture fatal;
    MutualExclusion mutex;
    EXPECT_FALSE(mutex.Unlock()) << "unlocking a free mutex";
    {
        Holder holder(mutex);
        EXPECT_FALSE(mutex.Unlock()) << "unlocking another thread's lock";
        EXPECT_EQ(mutex.LockingThreadId(), holder.threadId);
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
        Holder holder(*owned, false);  // ends without unlocking
        holderId = holder.threadId;
    }
    owned.reset();  // must neither hang nor crash

    const std::string error = "error: m_dwLockingThreadID == ::GetCurrentThreadId()";
    const std::vector<std::string> expected = {
        error, error,
        "state: Mutex is locked (2) by thread " + std::to_string(platform::CurrentThreadId()),
        "state: Mutex is locked (1) by thread " + std::to_string(holderId)};
    EXPECT_EQ(fatal.reports, expected);
}

TEST(MutualExclusionLock, HoldsForTheScope) {
    MutualExclusion mutex;
    {
        MutualExclusionLock lock(mutex);
        EXPECT_TRUE(lock.Relock());
        EXPECT_EQ(mutex.LockCount(), 1) << "a relock of a held lock must not lock again";
        lock.Unlock();
        lock.Unlock();  // a second unlock is a no-op, not a foreign unlock
        EXPECT_EQ(mutex.LockCount(), 0);
        EXPECT_TRUE(lock.Relock());
    }
    EXPECT_EQ(mutex.LockCount(), 0);
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
