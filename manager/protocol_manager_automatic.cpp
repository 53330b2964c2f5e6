// The creators of automatic connections. They are the only code of the manager that
// builds automatic connections; the rest reaches them through their interfaces.
#include "core/log_message.h"
#include "core/text_logger.h"
#include "core/trace_frame.h"
#include "manager/protocol_manager.h"

namespace qav {

RefPtr<AutomaticConnection> ProtocolManager::StartMainServerConnection(
    PlatformServices* services, const char* address, const MonitorIdentification* identification,
    ConnectionStateObserver* observer, int32_t tcpPort, int32_t udpPort) {
    AutomaticConnectionTarget target;
    target.address = address != nullptr ? address : "";
    target.tcpPort = tcpPort;
    target.udpPort = udpPort;
    target.transportKind = AutomaticConnectionTarget::kTransportTcp;
    target.connectionFormat = GetDefaultConnectionFormat();
    target.allPaths = GetAllPaths();
    target.client = true;
    return StartAutomaticConnection("Main server", services, target, identification, observer);
}

RefPtr<AutomaticConnection> ProtocolManager::StartReferenceServerConnection(
    PlatformServices* services, const char* address, int32_t tcpPort) {
    AutomaticConnectionTarget target;
    target.address = address != nullptr ? address : "";
    target.tcpPort = tcpPort;
    target.transportKind = AutomaticConnectionTarget::kTransportTcp;
    target.connectionFormat = kReferenceServerFormat;
    target.allPaths = GetAllPaths();
    return StartAutomaticConnection("Reference server", services, target, nullptr, nullptr);
}

RefPtr<AutomaticConnection> ProtocolManager::StartSocialNetworkRequest(PlatformServices* services,
                                                                       const char* address,
                                                                       int32_t tcpContextWord) {
    AutomaticConnectionTarget target;
    target.address = address != nullptr ? address : "";
    target.tcpPort = kSocialNetworkPort;
    target.transportKind = AutomaticConnectionTarget::kTransportTcp;
    target.connectionFormat = kSocialNetworkFormat;
    target.allPaths = GetAllPaths();
    target.tcpContextWord = tcpContextWord;
    return StartAutomaticConnection("Social network request", services, target, nullptr, nullptr);
}

RefPtr<AutomaticConnection> ProtocolManager::StartAutomaticConnection(
    const char* kind, PlatformServices* services, const AutomaticConnectionTarget& target,
    const MonitorIdentification* identification, ConnectionStateObserver* observer) {
    QAV_TRACE("MPM::StAutoCon");
    const char* refusal = nullptr;
    if (target.address.empty()) {
        refusal = "no target address";
    } else if (IsStopping()) {
        refusal = "the manager is stopping";
    } else if (!CanFollowLocalAddresses(services)) {
        refusal = "the local addresses cannot be followed";
    }
    RefPtr<AutomaticConnection> connection;
    if (refusal == nullptr) {
        connection = new SharedAutomaticConnection(this, services, target, observer);
        connection->SetConnectionParameters(identification);
        if (!connection->Start()) {
            connection->Disconnect();
            connection.Reset();
            refusal = "it did not start";
        }
    }
    if (auto logger = GetLogSinkLink()->LoggerFor(kSeverityWarning); logger && refusal != nullptr) {
        LogMessage message(u"Automatic connection not started");
        message.AddParameterString(u"Connection", kind);
        message.AddParameterString(u"Target Address", target.address);
        message.AddParameterString(u"Reason", refusal);
        logger->Log(kSeverityWarning, message);
    }
    if (!connection) {
        return nullptr;
    }
    bool keep = false;
    {
        MutualExclusionLock lock(m_mutex);
        // Checked again under the lock that the release's taking of the list holds too.
        if (!IsStopping()) {
            m_automaticConnections.push_back(connection);
            keep = true;
        }
    }
    if (!keep) {
        connection->Disconnect();
        return nullptr;
    }
    return connection;
}

}  // namespace qav
