#include "routing/network_packets_manager.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/log_message.h"
#include "core/text_logger.h"
#include "network/platform_services.h"
#include "platform/thread.h"

namespace qav {
namespace {

// The scheduled job of every network packets manager, named in the job's first parameter
// by an id. One object for the process that is never destroyed: the scheduler may call a
// job's Abort after a removal met it running, so a job object that died with its manager
// could be called after its death.
class NetworkChangesTestJob final : public ScheduledJob {
  public:
    static NetworkChangesTestJob& Instance() {
        static NetworkChangesTestJob* const job = new NetworkChangesTestJob;
        return *job;
    }

    uint32_t Register(NetworkPacketsManager* manager) {
        MutualExclusionLock lock(m_mutex);
        do {
            ++m_lastId;
        } while (m_lastId == 0 || m_managers.count(m_lastId) != 0);
        m_managers[m_lastId].manager = manager;
        return m_lastId;
    }

    // Forgets the manager; returns once no other thread runs its test. A test running on
    // this thread is not waited for.
    void Unregister(uint32_t id) {
        const uint32_t self = platform::CurrentThreadId();
        for (;;) {
            {
                MutualExclusionLock lock(m_mutex);
                auto it = m_managers.find(id);
                if (it == m_managers.end()) {
                    return;
                }
                it->second.leaving = true;
                std::vector<uint32_t>& running = it->second.runningThreads;
                if (std::all_of(running.begin(), running.end(),
                                [self](uint32_t thread) { return thread == self; })) {
                    m_managers.erase(it);
                    return;
                }
            }
            platform::SleepMilliseconds(1);
        }
    }

    void Run(Scheduler& scheduler, uint32_t id, uint32_t, bool& again) override {
        again = false;
        const uint32_t self = platform::CurrentThreadId();
        NetworkPacketsManager* manager = nullptr;
        {
            MutualExclusionLock lock(m_mutex);
            auto it = m_managers.find(id);
            if (it == m_managers.end() || it->second.leaving) {
                return;
            }
            manager = it->second.manager;
            it->second.runningThreads.push_back(self);
        }
        manager->RunNetworkChangesTestJob(scheduler);
        MutualExclusionLock lock(m_mutex);
        auto it = m_managers.find(id);
        if (it != m_managers.end()) {
            std::vector<uint32_t>& running = it->second.runningThreads;
            running.erase(std::find(running.begin(), running.end(), self));
        }
    }

    void Abort(Scheduler&, uint32_t, uint32_t) override {}

  private:
    NetworkChangesTestJob() = default;

    struct Registration {
        NetworkPacketsManager* manager = nullptr;
        std::vector<uint32_t> runningThreads;  // one element per test under way
        bool leaving = false;
    };

    MutualExclusion m_mutex;
    std::map<uint32_t, Registration> m_managers;  // guarded by m_mutex
    uint32_t m_lastId = 0;                        // guarded by m_mutex
};

}  // namespace

NetworkPacketsManager::NetworkPacketsManager()
    : m_log(new LogSinkLink), m_jobId(NetworkChangesTestJob::Instance().Register(this)) {}

NetworkPacketsManager::~NetworkPacketsManager() {
    StopTestJob();
    NetworkChangesTestJob::Instance().Unregister(m_jobId);
    Clear();
    m_log->Set(nullptr);
}

RefPtr<NetworkReceiverEntry> NetworkPacketsManager::FindOrAddProvider(PlatformServices* services) {
    if (services == nullptr) {
        return nullptr;
    }
    RefPtr<NetworkReceiverEntry> entry;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_shutDown) {
            return nullptr;
        }
        RefPtr<NetworkReceiverEntry>& slot = m_entries[services];
        if (slot) {
            return slot;
        }
        slot = new NetworkReceiverEntry(services, m_perAddressListening.load(),
                                        m_connectionSet.load(), m_log.get());
        entry = slot;
        // Under the lock, so that whoever finds the entry finds its addresses too.
        entry->GetAddressVector().ReadInterfaces();
    }
    // With the lock let go: the rebuild calls out to announce.
    entry->GetAddressVector().Rebuild();
    return entry;
}

RefPtr<NetworkReceiverEntry> NetworkPacketsManager::FindEntry(PlatformServices* services) {
    MutualExclusionLock lock(m_mutex);
    auto it = m_entries.find(services);
    return it != m_entries.end() ? it->second : nullptr;
}

void NetworkPacketsManager::SnapshotEntries(NetworkEntriesVector& entries) {
    MutualExclusionLock lock(m_mutex);
    entries.reserve(entries.size() + m_entries.size());
    for (const auto& [services, entry] : m_entries) {
        entries.Append(entry.get());
    }
}

bool NetworkPacketsManager::HasInterfaceWatch() {
    MutualExclusionLock lock(m_mutex);
    for (const auto& [services, entry] : m_entries) {
        if (entry->GetInterfaces() != nullptr) {
            return true;
        }
    }
    return false;
}

void NetworkPacketsManager::Clear() {
    std::map<PlatformServices*, RefPtr<NetworkReceiverEntry>> entries;
    {
        MutualExclusionLock lock(m_mutex);
        entries.swap(m_entries);
    }
    // The entries may be destroyed here, disconnecting themselves: not under the lock.
}

void NetworkPacketsManager::StopTestJob() {
    RefPtr<Scheduler> scheduler;
    {
        MutualExclusionLock lock(m_jobMutex);
        m_jobStopped = true;
        scheduler = std::move(m_scheduler);
    }
    if (scheduler) {
        RemoveTestJobs(*scheduler);
    }
}

void NetworkPacketsManager::RemoveTestJobs(Scheduler& scheduler) {
    ScheduledJob* job = &NetworkChangesTestJob::Instance();
    while (scheduler.RemoveTasks2(job, nullptr, m_jobId, 0)) {
    }
}

int NetworkPacketsManager::ScheduleNetworkChangesTest(Scheduler& scheduler,
                                                      int64_t delayMicroseconds) {
    MutualExclusionLock lock(m_jobMutex);
    if (m_jobStopped) {
        return 0;
    }
    if (m_scheduler && m_scheduler.get() != &scheduler) {
        RemoveTestJobs(*m_scheduler);
    }
    m_scheduler = &scheduler;
    RemoveTestJobs(scheduler);
    return scheduler.Schedule(delayMicroseconds, kTestJobName, &NetworkChangesTestJob::Instance(),
                              nullptr, nullptr, m_jobId, 0);
}

int NetworkPacketsManager::RunNetworkChangesTestJob(Scheduler& scheduler) {
    TestNetworkChanges();
    return ScheduleNetworkChangesTest(scheduler, kTestPeriod);
}

int32_t NetworkPacketsManager::TestNetworkChanges() {
    if (!HasInterfaceWatch()) {
        return 1;
    }
    NetworkEntriesVector entries;
    SnapshotEntries(entries);
    int32_t changed = 0;
    for (NetworkReceiverEntry* entry : entries) {
        NetworkInterfacesVector* interfaces = entry->GetInterfaces();
        if (interfaces == nullptr) {
            continue;
        }
        const bool refreshed = interfaces->Refresh();
        if (refreshed) {
            entry->GetPlatformServices()->FillLocalAddresses();
        }
        // Rebuilt even when this refresh found nothing new: another user of the same
        // platform may have refreshed its interfaces list first.
        if (entry->GetAddressVector().Rebuild() > 0 || refreshed) {
            ++changed;
        }
    }
    if (changed > 0) {
        if (auto logger = m_log->LoggerFor(kSeverityWarning)) {
            logger->Log(kSeverityWarning, LogMessage(u"Network changes detected"));
        }
    }
    return 2;
}

bool NetworkPacketsManager::AddAddressListener(PlatformServices* services,
                                               AddressConnection* member) {
    RefPtr<NetworkReceiverEntry> entry = FindOrAddProvider(services);
    return entry && entry->GetAddressVector().AddAddressConnection(member);
}

void NetworkPacketsManager::CallUponLocalAddresses(PlatformServices* services,
                                                   AddressConnection* member) {
    if (RefPtr<NetworkReceiverEntry> entry = FindEntry(services)) {
        entry->GetAddressVector().CallUponLocalAddresses(member);
    }
}

void NetworkPacketsManager::DisconnectAll() {
    NetworkEntriesVector entries;
    SnapshotEntries(entries);
    for (NetworkReceiverEntry* entry : entries) {
        entry->DisconnectEntry();
    }
    Clear();
}

void NetworkPacketsManager::Shutdown() {
    StopTestJob();
    {
        MutualExclusionLock lock(m_mutex);
        m_shutDown = true;
    }
    DisconnectAll();
}

}  // namespace qav
