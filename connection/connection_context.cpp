#include "connection/connection_context.h"

#include <charconv>
#include <limits>
#include <utility>

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
    RefPtr<ConnectionStream> old(stream);
    {
        MutualExclusionLock lock(m_connectionLock);
        std::swap(old, m_stream);
    }
    // The old transport may die here, outside the lock.
}

RefPtr<ConnectionStream> ConnectionContext::GetStream() {
    MutualExclusionLock lock(m_connectionLock);
    return m_stream;
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
    MutualExclusionLock lock(m_connectionLock);
    m_interfaceName.assign(name);
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
    if (udpPort > 0 ? GetUdpPort() != udpPort : tcpPort > 0 && GetTcpPort() != tcpPort) {
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

}  // namespace qav
