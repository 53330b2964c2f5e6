#include "routing/network_address_vector.h"

#include <utility>

#include "connection/connection_set.h"
#include "core/log_message.h"
#include "core/text_logger.h"
#include "network/datagram_listener.h"
#include "network/platform_services.h"

namespace qav {
namespace {

std::string_view CutAddress(std::string_view address) {
    return address.substr(0, NetworkAddressEntry::kMaxAddressLength);
}

// Never half of a surrogate pair.
WStringView CutInterfaceName(WStringView name) {
    size_t length = NetworkAddressEntry::kMaxInterfaceNameLength;
    if (name.size() <= length) {
        return name;
    }
    if (name[length - 1] >= 0xD800 && name[length - 1] <= 0xDBFF) {
        --length;
    }
    return name.substr(0, length);
}

void AddAddressParameters(LogMessage& message, const NetworkAddressEntry& entry) {
    message.AddParameter(u"Interface", entry.GetInterfaceName());
    message.AddParameterString(u"Address", entry.GetAddress());
}

}  // namespace

void StopDatagramListener(RefPtr<DatagramListener>& listener) {
    if (listener) {
        listener->Disconnect();
        listener.Reset();
    }
}

// ---- NetworkAddressEntry ----

NetworkAddressEntry::NetworkAddressEntry(PlatformServices* services, std::string_view address,
                                         WStringView interfaceName, int32_t priority,
                                         NetworkInterfaceType type, LogSinkLink* log)
    : m_address(CutAddress(address)),
      m_interfaceName(CutInterfaceName(interfaceName)),
      m_priority(priority),
      m_interfaceType(type),
      m_services(services),
      m_log(log != nullptr ? log : new LogSinkLink) {}

NetworkAddressEntry::~NetworkAddressEntry() {
    StopDatagramListener(m_listener);
}

RefPtr<DatagramListener> NetworkAddressEntry::GetListener() {
    MutualExclusionLock lock(m_mutex);
    return m_listener;
}

int32_t NetworkAddressEntry::GetActualPort() {
    MutualExclusionLock lock(m_mutex);
    return m_actualPort;
}

RefPtr<DatagramListener> NetworkAddressEntry::MakeListener(int32_t& port, PacketSink* sink) {
    if (m_services == nullptr) {
        return nullptr;
    }
    return m_services->CreateDatagramListener(m_interfaceName.c_str(), m_address.c_str(), port,
                                              false, sink);
}

bool NetworkAddressEntry::SwapListener(RefPtr<DatagramListener>& listener, int32_t port,
                                       bool onlyIfNone) {
    MutualExclusionLock lock(m_mutex);
    if (listener && (m_lost || (onlyIfNone && m_listener))) {
        return false;
    }
    std::swap(m_listener, listener);
    m_actualPort = m_listener ? port : 0;
    return true;
}

bool NetworkAddressEntry::StartDataListener(int32_t& port, PacketSink* sink) {
    // The present listener goes first: the new one may want its port.
    RefPtr<DatagramListener> listener;
    SwapListener(listener, 0, false);
    StopDatagramListener(listener);
    listener = MakeListener(port, sink);
    const bool taken = listener && SwapListener(listener, port, false);
    StopDatagramListener(listener);
    return taken;
}

void NetworkAddressEntry::DisconnectPacketsReceiver() {
    RefPtr<DatagramListener> listener;
    SwapListener(listener, 0, false);
    if (!listener) {
        return;
    }
    if (auto logger = m_log->LoggerFor(kSeverityWarning)) {
        LogMessage message(u"Disconnecting packets receiver");
        AddAddressParameters(message, *this);
        logger->Log(kSeverityWarning, message);
    }
    StopDatagramListener(listener);
}

void NetworkAddressEntry::MarkLost() {
    MutualExclusionLock lock(m_mutex);
    m_lost = true;
}

// ---- NetworkAddressVector ----

NetworkAddressVector::NetworkAddressVector(PlatformServices* services,
                                           NetworkInterfacesVector* interfaces, ConnectionSet* set,
                                           LogSinkLink* log)
    : m_services(services),
      m_interfaces(interfaces),
      m_set(set),
      m_log(log != nullptr ? log : new LogSinkLink) {}

NetworkAddressVector::~NetworkAddressVector() = default;

int32_t NetworkAddressVector::Rebuild() {
    const int32_t changes = ReadInterfaces();
    DeliverChanges();
    return changes;
}

int32_t NetworkAddressVector::ReadInterfaces() {
    if (m_interfaces == nullptr) {
        return 0;
    }
    int32_t changes = 0;
    {
        MutualExclusionLock lock(m_mutex);
        // Read under the lock, so that rebuilds on several threads apply the interface
        // lists in the order they were read and an older list never undoes a newer one.
        const std::vector<NetworkInterfacesVector::Record> records = m_interfaces->GetRecords();
        const size_t known = m_entries.size();
        std::vector<bool> seen(known, false);
        for (const NetworkInterfacesVector::Record& record : records) {
            const std::string_view address = CutAddress(record.address);
            const WStringView name = CutInterfaceName(record.name);
            size_t index = 0;
            while (index < m_entries.size() && (m_entries[index]->GetAddress() != address ||
                                                m_entries[index]->GetInterfaceName() != name)) {
                ++index;
            }
            if (index < known) {
                seen[index] = true;
            } else if (index == m_entries.size() && !address.empty()) {
                m_entries.emplace_back(new NetworkAddressEntry(
                    m_services, address, name, record.rank, record.type, m_log.get()));
                m_changes.push_back({m_entries.back(), true});
                ++changes;
            }
        }
        std::vector<RefPtr<NetworkAddressEntry>> kept;
        kept.reserve(m_entries.size());
        for (size_t index = 0; index < m_entries.size(); ++index) {
            if (index >= known || seen[index]) {
                kept.push_back(std::move(m_entries[index]));
            } else {
                m_entries[index]->MarkLost();
                m_changes.push_back({std::move(m_entries[index]), false});
                ++changes;
            }
        }
        m_entries.swap(kept);
    }
    return changes;
}

void NetworkAddressVector::DeliverChanges() {
    {
        MutualExclusionLock lock(m_mutex);
        if (m_delivering || m_changes.empty()) {
            return;
        }
        m_delivering = true;
    }
    for (;;) {
        std::deque<Change> changes;
        {
            MutualExclusionLock lock(m_mutex);
            if (m_changes.empty()) {
                m_delivering = false;
                return;
            }
            changes.swap(m_changes);
        }
        for (const Change& change : changes) {
            if (change.added) {
                HandleNewInterface(*change.entry);
            } else {
                HandleLostLocalAddress(*change.entry);
            }
        }
    }
}

void NetworkAddressVector::StartAutomaticListener(NetworkAddressEntry& entry) {
    int32_t port = 0;
    PacketSink* sink = nullptr;
    {
        MutualExclusionLock lock(m_mutex);
        if (!m_listening) {
            return;
        }
        port = m_listeningPort;
        sink = m_listenerSink;
    }
    if (!entry.GetListener()) {
        RefPtr<DatagramListener> listener = entry.MakeListener(port, sink);
        if (listener) {
            // Taken only while listening is still wanted: a stop that came meanwhile has
            // already stopped the listeners it saw, and would miss this one.
            MutualExclusionLock lock(m_mutex);
            if (m_listening) {
                entry.SwapListener(listener, port, true);
            }
        }
        StopDatagramListener(listener);
    }
    const bool started = static_cast<bool>(entry.GetListener());
    const int severity = started ? kSeverityWarning : kSeverityError;
    if (auto logger = m_log->LoggerFor(severity)) {
        LogMessage message(u"Listening to packets (automatically)");
        AddAddressParameters(message, entry);
        message.AddParameterInt(u"Port", entry.GetActualPort());
        message.AddParameterBool(u"Started", started);
        logger->Log(severity, message);
    }
}

void NetworkAddressVector::HandleNewInterface(NetworkAddressEntry& entry) {
    StartAutomaticListener(entry);
    AddressConnectionsVector members;
    m_members.ToVector(members);
    for (AddressConnection* member : members) {
        member->HandleNewInterface(m_services, entry.GetInterfaceName(), entry.GetInterfaceType(),
                                   entry.GetPriority(), entry.GetAddress());
    }
}

void NetworkAddressVector::HandleLostLocalAddress(NetworkAddressEntry& entry) {
    if (auto logger = m_log->LoggerFor(kSeverityWarning)) {
        LogMessage message(u"Lost local address");
        message.AddParameterString(u"Address", entry.GetAddress());
        logger->Log(kSeverityWarning, message);
    }
    entry.DisconnectPacketsReceiver();
    AddressConnectionsVector members;
    m_members.ToVector(members);
    for (AddressConnection* member : members) {
        member->HandleLostLocalAddress(m_services, entry.GetInterfaceName(),
                                       entry.GetInterfaceType(), entry.GetPriority(),
                                       entry.GetAddress());
    }
    if (m_set == nullptr) {
        return;
    }
    const int32_t count =
        ConnectionContextVector(*m_set).DisconnectByLocalAddress(m_services, entry.GetAddress());
    if (auto logger = m_log->LoggerFor(kSeverityWarning)) {
        LogMessage message(u"Connection contexts disconnected");
        message.AddParameterInt(u"Number of contexts", count);
        logger->Log(kSeverityWarning, message);
    }
}

RefPtr<NetworkAddressEntry> NetworkAddressVector::FindAddress(std::string_view address,
                                                              const WChar* interfaceName) {
    MutualExclusionLock lock(m_mutex);
    for (const RefPtr<NetworkAddressEntry>& entry : m_entries) {
        if (entry->GetAddress() == address &&
            (interfaceName == nullptr || entry->GetInterfaceName() == interfaceName)) {
            return entry;
        }
    }
    return nullptr;
}

void NetworkAddressVector::CopyTo(NetworkAddressEntries& entries) {
    MutualExclusionLock lock(m_mutex);
    CopyToLocked(entries);
}

void NetworkAddressVector::CopyToLocked(NetworkAddressEntries& entries) {
    entries.reserve(entries.size() + m_entries.size());
    for (const RefPtr<NetworkAddressEntry>& entry : m_entries) {
        entries.Append(entry.get());
    }
}

void NetworkAddressVector::StartDataListeners(int32_t port, PacketSink* sink) {
    NetworkAddressEntries entries;
    {
        MutualExclusionLock lock(m_mutex);
        m_listening = true;
        m_listeningPort = port;
        m_listenerSink = sink;
        CopyToLocked(entries);
    }
    for (NetworkAddressEntry* entry : entries) {
        // The present listener goes first: the new one may want its port.
        RefPtr<DatagramListener> listener;
        entry->SwapListener(listener, 0, false);
        StopDatagramListener(listener);
        int32_t entryPort = port;  // each its own with port 0
        listener = entry->MakeListener(entryPort, sink);
        if (listener) {
            MutualExclusionLock lock(m_mutex);
            if (m_listening) {
                entry->SwapListener(listener, entryPort, false);
            }
        }
        StopDatagramListener(listener);
    }
}

void NetworkAddressVector::StopDataListeners(bool forget) {
    NetworkAddressEntries entries;
    {
        MutualExclusionLock lock(m_mutex);
        m_listening = false;
        if (forget) {
            m_listeningPort = 0;
            m_listenerSink = nullptr;
        }
        CopyToLocked(entries);
    }
    for (NetworkAddressEntry* entry : entries) {
        entry->DisconnectPacketsReceiver();
    }
}

void NetworkAddressVector::CallUponLocalAddresses(AddressConnection* member) {
    NetworkAddressEntries entries;
    CopyTo(entries);
    for (NetworkAddressEntry* entry : entries) {
        member->HandleNewInterface(m_services, entry->GetInterfaceName(), entry->GetInterfaceType(),
                                   entry->GetPriority(), entry->GetAddress());
    }
}

void NetworkAddressVector::RemoveAllAddressConnections() {
    AddressConnectionsVector members;
    m_members.ToVector(members);
    members.DisconnectAll();
    m_members.ReleaseAll();
    members.ReleaseAll();
}

}  // namespace qav
