#include "manager/protocol_manager.h"

#include <utility>

#include "core/trace_frame.h"
#include "manager/manager_scheduler.h"

namespace qav {

ProtocolManager::ProtocolManager() : m_packetPool(new BinaryPacketsPool(kMaxLentPackets)) {
    auto* scheduler = new ManagerScheduler;
    scheduler->SetVerbose(true);
    m_scheduler = scheduler;
}

ProtocolManager::~ProtocolManager() {
    // A thread object holds this manager from its first start until the release, so
    // none is normally left here; should one be, it is stopped all the same.
    m_stopping.store(true, std::memory_order_release);
    StopPollingThread();
}

RefPtr<Scheduler> ProtocolManager::GetScheduler() {
    MutualExclusionLock lock(m_mutex);
    return m_scheduler;
}

RefPtr<PollingThread> ProtocolManager::GetPollingThread() {
    MutualExclusionLock lock(m_mutex);
    return m_pollingThread;
}

int ProtocolManager::StartPollingThreads(Waiter* waiter, int count) {
    RefPtr<PollingThread> thread;
    {
        MutualExclusionLock lock(m_mutex);
        // Checked under the lock that the release takes too: a thread object made after
        // the release began would hold this manager with no one left to stop it.
        if (IsStopping()) {
            return 0;
        }
        if (!m_pollingThread) {
            m_pollingThread = new PollingThread;
        }
        thread = m_pollingThread;
    }
    if (!thread->IsRunning()) {
        thread->SetOwner(this);
        if (waiter != nullptr) {
            thread->SetWaiter(waiter);
        }
    }
    int started = 0;
    for (int i = 0; i < count; ++i) {
        if (thread->StartThread(kPollingThreadName)) {
            ++started;
        }
    }
    m_startedThreadCount.fetch_add(started, std::memory_order_relaxed);
    return started;
}

void ProtocolManager::ReleaseAllResources() {
    QAV_TRACE("MPM::RelAllRes");
    m_stopping.store(true, std::memory_order_release);
    // The thread's reference to this manager may be the last one: nothing of the manager
    // may be touched once the thread is stopped.
    StopPollingThread();
}

void ProtocolManager::StopPollingThread() {
    RefPtr<PollingThread> thread;
    {
        MutualExclusionLock lock(m_mutex);
        thread = std::move(m_pollingThread);
    }
    if (thread) {
        thread->Stop(PollingThread::kStopTimeoutMs);
    }
}

}  // namespace qav
