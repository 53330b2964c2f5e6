#include "manager/protocol_manager.h"

#include <utility>

#include "core/trace_frame.h"
#include "manager/manager_scheduler.h"
#include "network/connection_server.h"
#include "network/platform_services.h"

namespace qav {

ProtocolManager::ProtocolManager() : m_packetPool(new BinaryPacketsPool(kMaxLentPackets)) {
    auto* scheduler = new ManagerScheduler;
    scheduler->SetVerbose(true);
    m_scheduler = scheduler;
    m_networkPacketsManager.SetConnectionSet(&m_connectionSet);
    m_networkPacketsManager.ScheduleNetworkChangesTest(*scheduler,
                                                       NetworkPacketsManager::kTestPeriod);
}

ProtocolManager::~ProtocolManager() {
    // A thread object holds this manager from its first start until the release, so
    // none is normally left here; should one be, it is stopped all the same.
    m_stopping.store(true, std::memory_order_release);
    m_networkPacketsManager.Shutdown();
    // Their transports report to this manager.
    m_connectionSet.DisconnectAll();
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
    m_networkPacketsManager.Shutdown();
    m_connectionSet.DisconnectAll();
    // The thread's reference to this manager may be the last one: nothing of the manager
    // may be touched once the thread is stopped.
    StopPollingThread();
}

int32_t ProtocolManager::StartServerRoles(PlatformServices* services, int32_t& udpPort,
                                          int32_t& tcpPort) {
    if (IsStopping()) {
        return kServerRolesStopping;
    }
    RefPtr<NetworkReceiverEntry> entry = m_networkPacketsManager.FindOrAddProvider(services);
    if (!entry) {
        return IsStopping() ? kServerRolesStopping : kDatagramListeningFailed;
    }
    if (!entry->StartDataListeners(nullptr, nullptr, udpPort, this)) {
        return kDatagramListeningFailed;
    }
    RefPtr<ConnectionServer> server = services->CreateConnectionServer(nullptr, tcpPort, this);
    if (!server) {
        entry->StopDataListeners();
        return kTcpServerFailed;
    }
    entry->SetMainServer(server.get());
    return kServerRolesStarted;
}

void ProtocolManager::StopPollingThread() {
    RefPtr<PollingThread> thread;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_pollingThread) {
            m_stoppedPollingThread = std::move(m_pollingThread);
        }
        thread = m_stoppedPollingThread;
    }
    if (thread) {
        thread->Stop(PollingThread::kStopTimeoutMs);
    }
}

}  // namespace qav
