// The protocol manager: owner of the main scheduler and of the polling thread that runs
// its jobs and the socket wait loop. (Only this core of the manager exists so far.)
//
// Lifetime: the manager is reference counted. Its polling thread object holds a
// reference to it from the first StartPollingThreads on, so such a manager lives until
// ReleaseAllResources stops the thread: call it before dropping your last reference (it
// may be called on the polling thread too, even by a job holding the last reference).
// A manager never started, or released, is destroyed by its last Release, on whichever
// thread that is.
//
// Typical usage:
//   RefPtr<ProtocolManager> manager(new ProtocolManager);
//   manager->StartPollingThreads(&socketWaitLoop, 1);
//   ...
//   manager->ReleaseAllResources();
//   manager.Reset();
//
// Threads: any thread may call anything. ReleaseAllResources on the polling thread
// itself (from a job) does not wait for that thread, which ends when the job returns.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/mutual_exclusion.h"
#include "core/polling_thread.h"
#include "core/ref_counted.h"
#include "core/scheduler.h"
#include "core/waiter.h"

namespace qav {

class ProtocolManager : public RefCountedObject<PollingThreadOwner> {
  public:
    static constexpr const char* kPollingThreadName = "QAV Polling";

    ProtocolManager();

    // The main scheduler, with a reference.
    RefPtr<Scheduler> GetScheduler() override;

    // Starts `count` OS threads on the manager's one polling thread object, made on first
    // use. When the object is not running yet it gets this manager as its owner and, when
    // `waiter` is not null, the waiter (which must outlive the threads). Returns how many
    // started; 0 once the release of all resources has begun.
    int StartPollingThreads(Waiter* waiter, int count);

    // Sets the stopping flag, then stops the polling thread and waits for it to end
    // (bounded, not on the polling thread itself), which also drops its reference to
    // this manager. Later calls do nothing more.
    void ReleaseAllResources();

    // Set first by ReleaseAllResources; nothing new is started while it is set.
    bool IsStopping() const { return m_stopping.load(std::memory_order_acquire); }
    // The OS threads started so far.
    int32_t GetStartedThreadCount() const {
        return m_startedThreadCount.load(std::memory_order_relaxed);
    }
    // The polling thread object, with a reference; null before the first start and after
    // the release.
    RefPtr<PollingThread> GetPollingThread();

  protected:
    ~ProtocolManager() override;

  private:
    void StopPollingThread();

    MutualExclusion m_mutex;
    RefPtr<Scheduler> m_scheduler;          // guarded by m_mutex
    RefPtr<PollingThread> m_pollingThread;  // guarded by m_mutex
    std::atomic<bool> m_stopping{false};
    std::atomic<int32_t> m_startedThreadCount{0};
};

}  // namespace qav
