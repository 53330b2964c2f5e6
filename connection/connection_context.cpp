#include "connection/connection_context.h"

#include <charconv>
#include <limits>
#include <utility>

#include "core/log_message.h"
#include "core/text_logger.h"
#include "core/xml_document.h"
#include "network/network_interfaces.h"
#include "network/platform_services.h"

namespace qav {
namespace {

std::atomic<uint32_t> g_lastContextId{0};

// A run of decimal digits, nothing else, that fits a non-negative 64-bit value.
bool ParseByteNumber(std::string_view text, int64_t& value) {
    uint64_t number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end ||
        number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return false;
    }
    value = static_cast<int64_t>(number);
    return true;
}

bool ParseByteRange(std::string_view value, int64_t& firstByte, int64_t& byteCount) {
    constexpr std::string_view kUnit = "bytes=";
    if (value.size() < 8 || !value.starts_with(kUnit)) {
        return false;
    }
    const std::string_view range = value.substr(kUnit.size());
    const size_t dash = range.find('-');
    if (dash == std::string_view::npos) {
        return false;
    }
    int64_t first = 0;
    if (dash > 0 && !ParseByteNumber(range.substr(0, dash), first)) {
        return false;
    }
    int64_t count = 0;
    if (dash + 1 < range.size()) {
        int64_t last = 0;
        if (!ParseByteNumber(range.substr(dash + 1), last)) {
            return false;
        }
        // The count of 0..INT64_MAX would not fit.
        if (last >= first && last - first == std::numeric_limits<int64_t>::max()) {
            return false;
        }
        count = last >= first ? last - first + 1 : 0;
    }
    firstByte = first;
    byteCount = count;
    return true;
}

// Replaces a counted field under the connection lock; the old object is released after
// the lock is let go, so that it may die and call back.
template <typename T>
void ReplaceUnderLock(MutualExclusion& lock, RefPtr<T>& field, T* value) {
    RefPtr<T> old(value);
    {
        MutualExclusionLock held(lock);
        std::swap(old, field);
    }
}

template <typename T>
RefPtr<T> CopyUnderLock(MutualExclusion& lock, const RefPtr<T>& field) {
    MutualExclusionLock held(lock);
    return field;
}

}  // namespace

ConnectionContext::ConnectionContext()
    : m_contextId(static_cast<int32_t>(g_lastContextId.fetch_add(1) + 1)) {}

ConnectionContext::~ConnectionContext() = default;

void ConnectionContext::Disconnect() {
    if (RefPtr<ConnectionStream> stream = GetStream()) {
        stream->Disconnect();
    }
}

int32_t ConnectionContext::GetCurrentWriteQueueLength() {
    RefPtr<ConnectionStream> stream = GetStream();
    return stream ? stream->GetCurrentWriteQueueLength() : 0;
}

void ConnectionContext::SetStream(ConnectionStream* stream) {
    ReplaceUnderLock(m_connectionLock, m_stream, stream);
}

RefPtr<ConnectionStream> ConnectionContext::GetStream() {
    return CopyUnderLock(m_connectionLock, m_stream);
}

int32_t ConnectionContext::SendMessage(const void* data, int32_t length,
                                       SendCompletion* completion) {
    RefPtr<ConnectionStream> stream = GetStream();
    return stream ? stream->Send(data, length, completion) : 0;
}

void ConnectionContext::SetCurrentRequest(const HttpRequestHeaders* request) {
    if (request != nullptr) {
        m_request = *request;
    } else {
        m_request.reset();
    }
}

const HttpRequestHeaders* ConnectionContext::GetCurrentRequest() const {
    return m_request ? &*m_request : nullptr;
}

bool ConnectionContext::ParseHttpRange(int64_t& firstByte, int64_t& byteCount) const {
    firstByte = 0;
    byteCount = 0;
    return m_request && ParseByteRange(m_request->range, firstByte, byteCount);
}

void ConnectionContext::SetName(WStringView name) {
    MutualExclusionLock lock(m_connectionLock);
    m_name.assign(name);
}

WString ConnectionContext::GetName() {
    MutualExclusionLock lock(m_connectionLock);
    return m_name;
}

void ConnectionContext::SetAddressText(size_t slot, std::string_view text) {
    if (slot < kAddressTextCount) {
        MutualExclusionLock lock(m_connectionLock);
        m_addressTexts[slot].assign(text);
    }
}

bool ConnectionContext::GetRemoteAddressText(std::string& out) {
    MutualExclusionLock lock(m_connectionLock);
    for (const std::string& text : m_addressTexts) {
        if (!text.empty()) {
            out = text;
            return true;
        }
    }
    return false;
}

void ConnectionContext::SetRecordingsList(const RecordingsList* recordings) {
    MutualExclusionLock lock(m_connectionLock);
    if (recordings != nullptr) {
        m_recordings = *recordings;
    } else {
        m_recordings.reset();
    }
}

int32_t ConnectionContext::FindManualRecording(int32_t deviceId, int32_t videoChannel,
                                               int32_t audioChannel) {
    MutualExclusionLock lock(m_connectionLock);
    return m_recordings ? m_recordings->FindManualRecording(deviceId, videoChannel, audioChannel)
                        : -1;
}

void ConnectionContext::AddToIdSet(uint32_t id) {
    MutualExclusionLock lock(m_connectionLock);
    m_idSet.insert(id);
}

void ConnectionContext::SetLocalAddress(std::string_view address) {
    MutualExclusionLock lock(m_connectionLock);
    m_localAddress.assign(address);
}

std::string ConnectionContext::GetLocalAddress() {
    MutualExclusionLock lock(m_connectionLock);
    return m_localAddress;
}

void ConnectionContext::SetNetworkInterfaceName(WStringView name) {
    {
        MutualExclusionLock lock(m_connectionLock);
        m_interfaceName.assign(name);
    }
    int32_t index = -1;
    if (PlatformServices* services = GetPlatformServices(); services != nullptr && !name.empty()) {
        NetworkInterfacesVector& interfaces = services->GetNetworkInterfaces();
        for (int32_t i = 0, count = interfaces.GetCount(); i < count; ++i) {
            if (interfaces.GetName(i) == name) {
                index = i;
                break;
            }
        }
    }
    m_interfaceIndex.store(index);
}

WString ConnectionContext::GetNetworkInterfaceName() {
    MutualExclusionLock lock(m_connectionLock);
    return m_interfaceName;
}

bool ConnectionContext::MatchesConnection(PlatformServices* services, const WChar* interfaceName,
                                          const char* localAddress, const char* target,
                                          int32_t tcpPort, int32_t udpPort) {
    if (!IsValid() || target == nullptr || *target == '\0' || GetPlatformServices() != services) {
        return false;
    }
    // The UDP port decides when both sides have one, else the TCP port; a TCP context has
    // no UDP port and is found by a search for a server's two ports.
    const int32_t ownUdpPort = GetUdpPort();
    const int32_t ownTcpPort = GetTcpPort();
    if (udpPort > 0 && ownUdpPort > 0) {
        if (ownUdpPort != udpPort) {
            return false;
        }
    } else if (tcpPort > 0 && ownTcpPort > 0) {
        if (ownTcpPort != tcpPort) {
            return false;
        }
    } else if (udpPort > 0 || tcpPort > 0) {
        return false;
    }
    const std::string_view targetText(target);
    MutualExclusionLock lock(m_connectionLock);
    if (interfaceName != nullptr && *interfaceName != 0 && m_interfaceName != interfaceName) {
        return false;
    }
    if (localAddress != nullptr && *localAddress != '\0' && m_localAddress != localAddress) {
        return false;
    }
    for (const std::string& text : m_addressTexts) {
        if (text == targetText) {
            return true;
        }
    }
    return false;
}

bool ConnectionContext::SetTcpConnectionParameters(ConnectionEventSink* eventSink,
                                                   ConnectionStream* stream, int32_t attach,
                                                   const char* target, const char* secondAddress,
                                                   int32_t tcpPort, int32_t /*reserved*/,
                                                   LogSinkLink* logSink, PlatformServices* services,
                                                   int32_t connectionFormat, bool client) {
    if (stream == nullptr || target == nullptr || *target == '\0') {
        return false;
    }
    SetTransportCommon(eventSink, attach, target, secondAddress, logSink, services);
    SetTcpPort(tcpPort);
    m_connectionFormat.store(connectionFormat);
    m_client.store(client);
    m_connectStarted.store(false);
    SetStream(stream);
    return true;
}

bool ConnectionContext::SetUdpConnectionParameters(ConnectionEventSink* eventSink, int32_t attach,
                                                   const char* target, const char* secondAddress,
                                                   int32_t udpPort, LogSinkLink* logSink,
                                                   PlatformServices* services,
                                                   int32_t sessionKind) {
    if (target == nullptr || *target == '\0') {
        return false;
    }
    SetTransportCommon(eventSink, attach, target, secondAddress, logSink, services);
    SetUdpPort(udpPort);
    m_sessionKind.store(sessionKind);
    return true;
}

void ConnectionContext::SetTransportCommon(ConnectionEventSink* eventSink, int32_t attach,
                                           const char* target, const char* secondAddress,
                                           LogSinkLink* logSink, PlatformServices* services) {
    m_eventSink.store(eventSink);
    ReplaceUnderLock(m_connectionLock, m_logSink, logSink);
    SetPlatformServices(services);
    SetAttached(attach != 0);
    SetAddressText(0, target);
    SetAddressText(1, secondAddress != nullptr ? secondAddress : "");
}

bool ConnectionContext::InitPacketSession(bool& startConversation) {
    startConversation = false;
    RefPtr<LogSinkLink> link = CopyUnderLock(m_connectionLock, m_logSink);
    if (auto logger = link ? link->LoggerFor(kSeverityWarning) : nullptr) {
        LogMessage message(u"Datagram sessions are not available");
        std::string target;
        GetRemoteAddressText(target);
        message.AddParameterString(u"Target Address", target);
        message.AddParameterInt(u"UDP Port", GetUdpPort());
        logger->Log(kSeverityWarning, message);
    }
    return false;
}

bool ConnectionContext::StartPacketStream(RefPtr<RefCounted>& stream, int32_t /*mode*/) {
    stream.Reset();
    return false;
}

bool ConnectionContext::StartClientPacketStream() {
    return false;
}

bool ConnectionContext::OnSocketPoll() {
    if (GetTransportKind() != kTransportAutomaticTcp || m_connectStarted.exchange(true)) {
        return false;
    }
    RefPtr<ConnectionStream> stream = GetStream();
    std::string target;
    if (!stream || !GetRemoteAddressText(target)) {
        return false;
    }
    return stream->Connect(target.c_str(), true, GetTcpPort(), m_eventSink.load());
}

bool ConnectionContext::StartMessageClientConversation() {
    MonitorIdentification identification;
    if (!GetServerRecord(identification)) {
        return false;
    }
    XmlDocument document;
    XmlElement root = document.CreateRoot(u"qav:Message", kQavNamespaceUri);
    identification.WriteXml(root);
    std::string text;
    document.SaveToString(text);
    if (text.empty() || text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        return false;
    }
    return SendMessage(text.data(), static_cast<int32_t>(text.size()), nullptr) > 0;
}

void ConnectionContext::ReportConnectionState(bool connected) {
    if (!connected) {
        ReportEnded();
        return;
    }
    RefPtr<ConnectionContextOwner> owner;
    {
        // With the end's own lock, so that an end on another thread comes wholly before
        // (nothing is reported) or wholly after (and clears the flag again).
        MutualExclusionLock lock(m_connectionLock);
        if (m_ended.load()) {
            return;
        }
        m_connected.store(true);
        owner = m_owner;
    }
    if (owner) {
        owner->HandleConnectionStateChange(this, GetLocalAddress(), GetPriority(), true);
    }
}

void ConnectionContext::ReportEnded() {
    // The owner holds its contexts and they hold it: the end breaks the cycle.
    RefPtr<ConnectionContextOwner> owner;
    {
        MutualExclusionLock lock(m_connectionLock);
        if (m_ended.exchange(true)) {
            return;
        }
        m_valid.store(false);
        m_connected.store(false);
        std::swap(owner, m_owner);
    }
    if (owner) {
        owner->HandleConnectionStateChange(this, GetLocalAddress(), GetPriority(), false);
    }
}

int64_t ConnectionContext::GetLastRoundTripTime() {
    RefPtr<ConnectionStream> stream = GetStream();
    return stream ? stream->GetLastRoundTripTime() : 0;
}

int64_t ConnectionContext::GetOldestQueueDelayTime() {
    RefPtr<ConnectionStream> stream = GetStream();
    return stream ? stream->GetOldestQueueDelayTime() : 0;
}

double ConnectionContext::GetQueueStatus() {
    RefPtr<ConnectionStream> stream = GetStream();
    if (!stream) {
        return -1.0;
    }
    const double maximum = stream->GetMaxWriteQueueLength();
    if (maximum <= 0.0) {
        return -1.0;
    }
    return (maximum - stream->GetAverageWriteQueueLength()) / maximum;
}

void ConnectionContext::SetOwner(ConnectionContextOwner* owner) {
    ReplaceUnderLock(m_connectionLock, m_owner, owner);
}

RefPtr<ConnectionContextOwner> ConnectionContext::GetOwner() {
    return CopyUnderLock(m_connectionLock, m_owner);
}

void ConnectionContext::MergeConnectionType(int32_t type) {
    int32_t word = m_connectionType.load();
    while (!m_connectionType.compare_exchange_weak(word, word == 0 || word == type ? type : 0)) {
    }
}

void ConnectionContext::SetServerRecord(const MonitorIdentification* record) {
    MutualExclusionLock lock(m_connectionLock);
    if (record == nullptr) {
        m_serverRecord.reset();
    } else if (!m_serverRecord || &*m_serverRecord != record) {
        m_serverRecord = *record;
    }
}

bool ConnectionContext::GetServerRecord(MonitorIdentification& out) {
    MutualExclusionLock lock(m_connectionLock);
    if (!m_serverRecord) {
        return false;
    }
    out = *m_serverRecord;
    return true;
}

void ConnectionContext::SetAttachedObject(RefCounted* object) {
    ReplaceUnderLock(m_connectionLock, m_attachedObject, object);
}

RefPtr<RefCounted> ConnectionContext::GetAttachedObject() {
    return CopyUnderLock(m_connectionLock, m_attachedObject);
}

}  // namespace qav
