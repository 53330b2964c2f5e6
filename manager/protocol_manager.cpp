#include "manager/protocol_manager.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/log_message.h"
#include "core/text_logger.h"
#include "core/text_utils.h"
#include "core/trace_frame.h"
#include "core/xml_document.h"
#include "manager/manager_scheduler.h"
#include "network/connection_server.h"
#include "network/platform_services.h"
#include "records/capture_device_command.h"

namespace qav {

ProtocolManager::ProtocolManager() : m_packetPool(new BinaryPacketsPool(kMaxLentPackets)) {
    auto* scheduler = new ManagerScheduler;
    scheduler->SetVerbose(true);
    m_scheduler = scheduler;
    m_networkPacketsManager.SetConnectionSet(&m_connectionSet);
    // A context's handle goes with the context, however it left the set.
    m_connectionSet.SetEndedHandler(
        [this](ConnectionContext* context) { m_handleRegistry.Remove(context); });
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
    // First, so that no lost path is tried again while the rest closes.
    DisconnectAutomaticConnections();
    m_networkPacketsManager.Shutdown();
    m_connectionSet.DisconnectAll();
    // Handles made for contexts that were never listed.
    m_handleRegistry.Clear();
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
    // Without listeners of its own per address, the default listener was bound to no
    // address in particular: it receives on every local address, present and future.
    if (!entry->IsPerAddressMode()) {
        m_listensOnEveryAddress.store(true);
    }
    return kServerRolesStarted;
}

// ---- Automatic connections --------------------------------------------------------------

bool ProtocolManager::CanFollowLocalAddresses(PlatformServices* services) {
    if (services == nullptr || IsStopping()) {
        return false;
    }
    RefPtr<NetworkReceiverEntry> entry = m_networkPacketsManager.FindOrAddProvider(services);
    if (!entry || entry->GetInterfaces() == nullptr) {
        return false;
    }
    return m_networkPacketsManager.GetPerAddressListening() || m_listensOnEveryAddress.load();
}

size_t ProtocolManager::GetAutomaticConnectionCount() {
    MutualExclusionLock lock(m_mutex);
    return m_automaticConnections.size();
}

bool ProtocolManager::DisconnectAutomaticConnection(AutomaticConnection* connection) {
    RefPtr<AutomaticConnection> taken;
    {
        MutualExclusionLock lock(m_mutex);
        const auto it = std::find_if(m_automaticConnections.begin(), m_automaticConnections.end(),
                                     [connection](const RefPtr<AutomaticConnection>& kept) {
                                         return kept.get() == connection;
                                     });
        if (connection == nullptr || it == m_automaticConnections.end()) {
            return false;
        }
        taken = std::move(*it);
        m_automaticConnections.erase(it);
    }
    taken->Disconnect();
    return true;
}

void ProtocolManager::DisconnectAutomaticConnections() {
    std::vector<RefPtr<AutomaticConnection>> connections;
    {
        MutualExclusionLock lock(m_mutex);
        connections.swap(m_automaticConnections);
    }
    for (const RefPtr<AutomaticConnection>& connection : connections) {
        connection->Disconnect();
    }
}

// ---- Streams ----------------------------------------------------------------------------

void ProtocolManager::SetStreamDeviceContext(const StreamKey& key, int32_t contextId) {
    MutualExclusionLock lock(m_mutex);
    if (contextId == 0) {
        m_streamDeviceContexts.erase(key);
    } else {
        m_streamDeviceContexts[key] = contextId;
    }
}

void ProtocolManager::SendStopStreamingCommand(const StreamKey& key) {
    QAV_TRACE("MPM::SndStopStrm");
    int32_t contextId = 0;
    {
        MutualExclusionLock lock(m_mutex);
        if (const auto it = m_streamDeviceContexts.find(key); it != m_streamDeviceContexts.end()) {
            contextId = it->second;
        }
    }
    bool sent = false;
    if (RefPtr<ConnectionContext> context =
            contextId != 0 ? m_connectionSet.FindContextById(contextId) : nullptr) {
        CaptureDeviceCommand command;
        command.m_type = CaptureDeviceCommand::kStopStreaming;
        XmlDocument document;
        XmlElement root = document.CreateRoot(u"qav:Message", kQavNamespaceUri);
        command.WriteXml(root);
        std::string text;
        document.SaveToString(text);
        sent = !text.empty() && text.size() <= 0x7FFFFFFFu &&
               context->SendMessage(text.data(), static_cast<int32_t>(text.size()), nullptr) > 0;
    }
    LogBuiltMessage(GetLogSinkLink()->LoggerFor(kSeverityStatus), kSeverityStatus, [&] {
        std::string hex;
        HexEncodeToString(key.data(), static_cast<int>(key.size()), true, hex);
        LogMessage message(u"Stop Streaming");
        message.AddParameterString(u"Stream", hex);
        message.AddParameterInt(u"Context", contextId);
        message.AddParameterBool(u"Sent", sent);
        return message;
    });
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
    if (!thread) {
        return;
    }
    // The caller frees the waiter, and perhaps this manager, once the release returns, so
    // a handler that runs past any bound is waited for all the same; the log tells why
    // the release takes so long. On the polling thread itself Stop returns at once.
    int32_t waitedSeconds = 0;
    while (!thread->Stop(PollingThread::kStopTimeoutMs)) {
        waitedSeconds += PollingThread::kStopTimeoutMs / 1000;
        LogBuiltMessage(GetLogSinkLink()->LoggerFor(kSeverityWarning), kSeverityWarning, [&] {
            LogMessage message(u"Waiting for the polling thread to end");
            message.AddParameterInt(u"Seconds", waitedSeconds);
            return message;
        });
    }
}

}  // namespace qav
