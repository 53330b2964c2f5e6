#include "routing/network_receiver_entry.h"

#include <utility>

#include "core/log_message.h"
#include "core/text_logger.h"
#include "network/connection_server.h"
#include "network/datagram_listener.h"
#include "network/datagram_sender.h"
#include "network/platform_services.h"

namespace qav {
namespace {

bool IsEmpty(const char* text) {
    return text == nullptr || *text == '\0';
}

// The two parameters every listening report carries; "Null" stands for an absent text.
void AddListenParameters(LogMessage& message, const WChar* interfaceName, const char* address) {
    message.AddParameter(u"Interface", interfaceName != nullptr ? interfaceName : u"Null");
    message.AddParameterString(u"Address", address != nullptr ? address : "Null");
}

void LogListenReport(LogSinkLink& log, const char16_t* text, const WChar* interfaceName,
                     const char* address) {
    if (auto logger = log.LoggerFor(kSeverityWarning)) {
        LogMessage message(text);
        AddListenParameters(message, interfaceName, address);
        logger->Log(kSeverityWarning, message);
    }
}

void CloseServer(RefPtr<ConnectionServer>& server) {
    if (server) {
        server->Close();
        server.Reset();
    }
}

}  // namespace

NetworkReceiverEntry::NetworkReceiverEntry(PlatformServices* services, bool perAddressListening,
                                           ConnectionSet* set, LogSinkLink* log)
    : m_services(services),
      m_interfaces(&services->GetNetworkInterfaces()),
      m_perAddressListening(perAddressListening),
      m_log(log != nullptr ? log : new LogSinkLink),
      m_addresses(services, m_interfaces, set, m_log.get()) {}

NetworkReceiverEntry::~NetworkReceiverEntry() {
    DisconnectEntry();
}

RefPtr<DatagramListener> NetworkReceiverEntry::GetDefaultListener() {
    MutualExclusionLock lock(m_mutex);
    return m_defaultListener;
}

void NetworkReceiverEntry::ReplaceDefaultListener(RefPtr<DatagramListener> listener, int32_t port) {
    {
        MutualExclusionLock lock(m_mutex);
        std::swap(m_defaultListener, listener);
        m_defaultPort = m_defaultListener ? port : 0;
    }
    StopDatagramListener(listener);
}

bool NetworkReceiverEntry::StartDataListeners(const WChar* interfaceName, const char* listenAddress,
                                              int32_t& port, PacketSink* sink) {
    if (!IsEmpty(listenAddress)) {
        if (RefPtr<NetworkAddressEntry> address =
                m_addresses.FindAddress(listenAddress, interfaceName)) {
            return address->StartDataListener(port, sink);
        }
        if (IsPerAddressMode()) {
            LogListenReport(*m_log, u"Missing listen address", interfaceName, listenAddress);
            return false;
        }
    } else if (IsPerAddressMode()) {
        m_addresses.StartDataListeners(port, sink);
        return true;
    }
    // The present listener goes first: the new one may want its port.
    ReplaceDefaultListener(nullptr, 0);
    RefPtr<DatagramListener> listener =
        m_services->CreateDatagramListener(interfaceName, listenAddress, port, false, sink);
    if (!listener) {
        if (auto logger = m_log->LoggerFor(kSeverityWarning)) {
            LogMessage message(u"Failed to start listening");
            AddListenParameters(message, interfaceName, listenAddress);
            message.AddParameterInt(u"Port", port);
            logger->Log(kSeverityWarning, message);
        }
        return false;
    }
    ReplaceDefaultListener(std::move(listener), port);
    return true;
}

void NetworkReceiverEntry::StopDataListeners() {
    ReplaceDefaultListener(nullptr, 0);
    if (IsPerAddressMode()) {
        m_addresses.StopDataListeners(false);
    }
}

bool NetworkReceiverEntry::FindOrAddPacketsReceiver(const WChar* interfaceName, const char* address,
                                                    PacketSink* sink) {
    if (!IsEmpty(address)) {
        RefPtr<NetworkAddressEntry> entry = m_addresses.FindAddress(address, interfaceName);
        if (entry && entry->GetListener()) {
            return true;
        }
    }
    if (!GetDefaultListener() && !m_perAddressListening) {
        int32_t port = 0;
        return StartDataListeners(interfaceName, address, port, sink);
    }
    return true;
}

int32_t NetworkReceiverEntry::GetDataListenerPortForAddress(const WChar* interfaceName,
                                                            const char* address) {
    if (!IsEmpty(address)) {
        if (RefPtr<NetworkAddressEntry> entry = m_addresses.FindAddress(address, interfaceName)) {
            if (RefPtr<DatagramListener> listener = entry->GetListener()) {
                return listener->GetPort();
            }
        }
    }
    RefPtr<DatagramListener> listener = GetDefaultListener();
    return listener ? listener->GetPort() : 0;
}

RefPtr<DatagramSender> NetworkReceiverEntry::CreateSender(const WChar* interfaceName,
                                                          const char* address) {
    if (m_perAddressListening && !IsEmpty(address)) {
        if (RefPtr<NetworkAddressEntry> entry = m_addresses.FindAddress(address, interfaceName)) {
            if (RefPtr<DatagramListener> listener = entry->GetListener()) {
                return listener->CreateSender();
            }
            LogListenReport(*m_log, u"Missing packets receiver to create sender", interfaceName,
                            address);
        }
        LogListenReport(*m_log, u"Missing listen address to create sender", interfaceName, address);
    }
    if (RefPtr<DatagramListener> listener = GetDefaultListener()) {
        return listener->CreateSender();
    }
    if (auto logger = m_log->LoggerFor(kSeverityWarning)) {
        logger->Log(kSeverityWarning, LogMessage(u"Missing default packets receiver"));
    }
    return nullptr;
}

void NetworkReceiverEntry::SetMainServer(ConnectionServer* server) {
    RefPtr<ConnectionServer> replaced(server);
    {
        MutualExclusionLock lock(m_mutex);
        std::swap(m_mainServer, replaced);
    }
    if (replaced.get() != server) {
        CloseServer(replaced);
    }
}

void NetworkReceiverEntry::DisconnectEntry() {
    RefPtr<ConnectionServer> server;
    {
        MutualExclusionLock lock(m_mutex);
        server = std::move(m_mainServer);
    }
    if (server) {
        if (auto logger = m_log->LoggerFor(kSeverityWarning)) {
            logger->Log(kSeverityWarning, LogMessage(u"Disconnecting main server"));
        }
        CloseServer(server);
    }
    ReplaceDefaultListener(nullptr, 0);
    m_addresses.StopDataListeners(true);
    m_addresses.RemoveAllAddressConnections();
}

}  // namespace qav
