// The polling thread: the one worker on which all network input and output and all timed
// work of the system run. Each turn it runs the due jobs of its owner's scheduler, then
// hands the time until the next job (at most 100 ms) to its waiter, the socket wait loop;
// when there is no waiter, or the waiter has nothing to poll, it sleeps on its wake event
// instead. A job scheduled from another thread therefore runs within about 100 ms; a stop
// does not wait that long, it interrupts the waiter (Waiter::Interrupt) as well.
//
// Typical usage (the protocol manager does this):
//   RefPtr<PollingThread> thread(new PollingThread);
//   thread->SetOwner(owner);
//   thread->SetWaiter(&socketWaitLoop);
//   thread->StartThread("QAV Polling");
//   ...
//   thread->Stop(PollingThread::kStopTimeoutMs);
//
// Threads: StartThread, Stop and the accessors from any thread. SetOwner and SetWaiter
// before the thread starts. Stop is final: an object once stopped never runs a turn
// again, and a thread started on it afterwards ends at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "core/scheduler.h"
#include "core/waiter.h"
#include "platform/thread.h"

namespace qav {

// What a thread object runs on its OS thread(s).
class Thread : public RefCounted {
  public:
    // The thread's body; the result is its exit code.
    virtual int Run(void* argument) = 0;

    // The system's error code of the last failed thread creation, 0 if none.
    int32_t GetLastError() const { return m_lastError.load(std::memory_order_relaxed); }
    // The kernel id of the last thread that started on this object, 0 before that.
    uint32_t GetThreadId() const { return m_threadId.load(std::memory_order_relaxed); }

  protected:
    Thread() = default;
    virtual ~Thread() = default;

    // The entry routine of an OS thread started for a thread object; takes over one
    // reference to the record (a ThreadStartRecord). Returns the exit code of Run, or 1
    // when an exception escaped it.
    static int ThreadMain(void* record);

    std::atomic<int32_t> m_lastError{0};
    std::atomic<uint32_t> m_threadId{0};
};

// Handed to a new OS thread: what to run and under which name. Holds a reference to the
// thread object, so that the object lives until its new thread has taken over.
class ThreadStartRecord final : public RefCountedObject<RefCounted> {
  public:
    ThreadStartRecord(Thread* owner, void* argument, const char* name)
        : m_owner(owner), m_argument(argument), m_name(name != nullptr ? name : "") {}

    Thread* owner() const { return m_owner.get(); }
    void* argument() const { return m_argument; }
    const std::string& name() const { return m_name; }

  private:
    ~ThreadStartRecord() override = default;

    RefPtr<Thread> m_owner;
    void* m_argument;
    std::string m_name;
};

// The owner of a polling thread: the object that holds the main scheduler.
class PollingThreadOwner : public virtual RefCounted {
  public:
    // The scheduler whose jobs the thread runs, with a reference; null when there is none.
    virtual RefPtr<Scheduler> GetScheduler() = 0;

  protected:
    ~PollingThreadOwner() = default;
};

class PollingThread final : public RefCountedObject<Thread> {
  public:
    // The longest sleep of one turn.
    static constexpr int kMaxWaitMs = 100;
    // How long one wait of the owner's stop lasts: the manager's release waits again, and
    // says so, as long as the thread runs.
    static constexpr int kStopTimeoutMs = 5000;

    PollingThread() = default;

    // The owner holds the scheduler; this object keeps a counted reference to it until
    // Stop or its own end (so the owner must stop this object to be released). Ignored
    // once stopped.
    void SetOwner(PollingThreadOwner* owner);
    // Not counted: the waiter must outlive the thread's run. Null: sleep on the wake
    // event every turn. A stop interrupts the waiter's wait (Waiter::Interrupt) only while
    // a loop of this object runs, so the waiter may go once the threads have ended.
    void SetWaiter(Waiter* waiter) { m_waiter.store(waiter, std::memory_order_release); }

    // Starts one more OS thread running this object's loop. False when the OS refused
    // the thread: the code is kept (GetLastError) and reported to the text logger.
    bool StartThread(const char* name);

    // Ends every loop on this object: requests the stop, wakes a sleeping turn and
    // interrupts a waiting one, waits up to `timeoutMs` (negative: no limit) for the OS
    // threads to end and drops the owner reference. True when every thread of the object
    // has ended. A call from a job or handler on one of the object's own threads waits for
    // none (the threads end when their running callbacks return) and returns true; a later
    // call from another thread, or one running at the same time, waits for them all the
    // same.
    bool Stop(int timeoutMs);

    using Thread::ThreadMain;
    // The polling loop; returns 0.
    int Run(void* argument) override;

    bool IsRunning() const { return m_running.load(std::memory_order_acquire); }
    // True once a loop on this object has ended without a stop (a job or the waiter let
    // an exception out): the thread is gone while its owner still relies on it.
    bool HasEndedUnexpectedly() const { return m_endedUnexpectedly.load(); }
    bool IsStopRequested() const { return m_stopRequested.load(); }
    // Raw clock units spent sleeping on the wake event.
    int64_t GetIdleTime() const { return m_idleTime.load(std::memory_order_relaxed); }

  private:
    ~PollingThread() override = default;

    // The scheduler for one run, taken through the owner; false when there is no owner.
    bool TakeScheduler(RefPtr<Scheduler>& scheduler);
    // Waits up to `timeoutMs` for every started OS thread to end; those that do not stay
    // listed. Not on one of those threads.
    bool JoinThreads(int timeoutMs);

    MutualExclusion m_mutex;
    // Held by the stop that is joining the threads.
    MutualExclusion m_joinMutex;
    RefPtr<PollingThreadOwner> m_owner;             // guarded by m_mutex
    std::vector<platform::ThreadHandle> m_handles;  // guarded by m_mutex
    // Loops of this object between their start and their last use of the waiter.
    int m_runningLoops = 0;  // guarded by m_mutex
    std::atomic<Waiter*> m_waiter{nullptr};
    std::atomic<int64_t> m_idleTime{0};
    std::atomic<bool> m_running{false};
    // Set by Stop and never cleared, so that a loop whose first turn comes after the
    // stop does not run at all.
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_endedUnexpectedly{false};
    Event m_wakeEvent;
};

}  // namespace qav
