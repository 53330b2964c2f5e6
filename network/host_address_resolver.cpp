#include "network/host_address_resolver.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "core/trace_frame.h"
#include "network/datagram_listener.h"
#include "network/datagram_sender.h"
#include "network/lent_packet_buffer.h"
#include "network/network_interfaces.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"
#include "platform/random.h"
#include "platform/socket.h"

namespace qav {
namespace {

constexpr const char* kGeneralBroadcast = "255.255.255.255";
constexpr size_t kQuestionOffset = 12;  // behind the header

// Unguessable, so that a datagram from anyone who did not see the query cannot pass for
// its answer.
uint16_t NewQueryIdentifier() {
    uint16_t identifier = 0;
    if (!platform::FillRandomBytes(&identifier, sizeof identifier)) {
        const auto now = static_cast<uint64_t>(Stopwatch::ReadRawClock());
        identifier = static_cast<uint16_t>(now ^ now >> 16 ^ now >> 32);
    }
    return identifier;
}

// The listener of a lookup holds its resolver. A listener hands a datagram to its sink
// after giving up its own lock, so a datagram can still be on its way to the resolver
// after the listener was stopped; the resolver must live as long as the listener does.
class ResolverListener : public DatagramListener {
  public:
    ResolverListener(PlatformServices* services, HostAddressResolver* resolver)
        : DatagramListener(services), m_resolver(resolver) {}

  private:
    RefPtr<HostAddressResolver> m_resolver;
};

}  // namespace

HostAddressResolver::HostAddressResolver() = default;

// There is no listener left: a listener would still hold the resolver.
HostAddressResolver::~HostAddressResolver() = default;

void HostAddressResolver::SetPlatformServices(PlatformServices* services) {
    MutualExclusionLock lock(m_mutex);
    m_services = services;
}

void HostAddressResolver::SetLocalAddress(const std::string& address) {
    MutualExclusionLock lock(m_mutex);
    m_localAddress = address;
}

void HostAddressResolver::SetAdapterName(const WString& name) {
    MutualExclusionLock lock(m_mutex);
    m_adapterName = name;
}

int32_t HostAddressResolver::GetStatus() {
    MutualExclusionLock lock(m_mutex);
    return m_status;
}

uint16_t HostAddressResolver::GetQueryIdentifier() {
    MutualExclusionLock lock(m_mutex);
    return m_queryIdentifier;
}

std::string HostAddressResolver::GetResultText() {
    MutualExclusionLock lock(m_mutex);
    return m_resultText;
}

bool HostAddressResolver::HasLookupLastedLongerThan(int64_t microseconds) {
    MutualExclusionLock lock(m_mutex);
    return m_lookupStopwatch.HasElapsed(microseconds);
}

LentPacketBuffer* HostAddressResolver::AllocatePacketBuffer(uint8_t** /*buffer*/,
                                                            size_t& /*capacity*/) {
    return nullptr;
}

void HostAddressResolver::WriteToStandardOutput(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

bool HostAddressResolver::Resolve(const char* name, uint32_t& address,
                                  HostResolveCallback* requester) {
    QAV_TRACE("HAR::Resolve");
    if (name == nullptr) {
        return false;
    }
    uint32_t dotted = 0;
    if (platform::ParseDottedAddress(name, dotted)) {
        address = dotted;
        MutualExclusionLock lock(m_mutex);
        m_resultText = name;
        return true;
    }
    int32_t result = 0;
    RefPtr<HostResolveCallback> released;
    RefPtr<DatagramListener> stale;
    {
        MutualExclusionLock lock(m_mutex);
        released = std::exchange(m_requester, RefPtr<HostResolveCallback>(requester));
        result = ResolveLowLevel(name, address, stale);
        // Answered now, or no answer can come: nobody waits, and nothing is held.
        if (result == kStatusResolved || !m_listener) {
            released = std::move(m_requester);
        }
    }
    StopListener(stale);
    if (result == kStatusResolved) {
        return true;
    }
    Print("Resolve Low Level Result = %d\r\n", result);
    return false;
}

int32_t HostAddressResolver::ResolveLowLevel(const std::string& name, uint32_t& address,
                                             RefPtr<DatagramListener>& stale) {
    QAV_TRACE("HAR::ResLL2");
    const bool sameName = name == m_lastName;
    if (sameName) {
        if (m_status == kStatusResolved) {
            address = m_address;
            m_resultText = platform::FormatDottedAddress(m_address);
            return kStatusResolved;
        }
        // Due once the period is over, to the microsecond: an owner that asks again on a
        // clock of its own with the same period, started after this one, must find the
        // queries due, not skip a period.
        if (m_sendStopwatch.GetElapsedMicroseconds() < kRetryMicroseconds) {
            return m_status;
        }
    }
    if (!sameName || m_status == kStatusNoSuchName) {
        // A new lookup. The earlier lookup's answers are left to arrive at a closed port,
        // and would not pass for this one's.
        stale = std::move(m_listener);
        m_queryIdentifier = NewQueryIdentifier();
        m_askedServers.clear();
        m_netbiosName.clear();
        m_lookupStopwatch.Start();
    }
    m_lastName = name;
    m_sendStopwatch.Start();
    // Until this lookup resolves, nothing of an earlier one may pass for its result.
    m_status = kStatusNoLookup;
    m_address = 0;
    m_resultText.clear();
    return name.find('.') == std::string::npos ? LookupNetbios(name) : LookupDns(name);
}

int32_t HostAddressResolver::LookupDns(const std::string& name) {
    QAV_TRACE("HAR::RLLDNS");
    if (BuildQuery(name, false, m_queryIdentifier, m_queryBuffer) == 0) {
        return kNameRefused;
    }
    if (m_services == nullptr) {
        return kNoPlatformServices;
    }
    std::vector<std::string> servers;
    m_services->GetDnsServers(m_adapterName.c_str(), m_localAddress.c_str(), servers);
    if (servers.empty()) {
        return kNoDnsServer;
    }
    for (const std::string& server : servers) {
        uint32_t serverAddress = 0;
        if (platform::ParseDottedAddress(server.c_str(), serverAddress) &&
            std::find(m_askedServers.begin(), m_askedServers.end(), serverAddress) ==
                m_askedServers.end()) {
            m_askedServers.push_back(serverAddress);
        }
    }
    int32_t result = kNoDnsServer;
    for (const std::string& server : servers) {
        result = SendQuery(name, server, kDnsPort);
        Print("Low Level DNS Lookup (std) Result=%d\r\n", result);
    }
    return result;
}

int32_t HostAddressResolver::LookupNetbios(const std::string& name) {
    QAV_TRACE("HAR::RLLSMB");
    if (BuildQuery(name, true, m_queryIdentifier, m_queryBuffer) == 0) {
        return kNameRefused;
    }
    // The name as an answer names it: the query's own name, read back.
    ParseNetbiosName(m_queryBuffer, kQueryBufferSize, kQuestionOffset, m_netbiosName);
    std::vector<std::string> broadcasts;
    if (GetBroadcastAddresses(broadcasts)) {
        for (const std::string& broadcast : broadcasts) {
            const int32_t result = SendQuery(name, broadcast, kNetbiosPort);
            Print("Low Level SMB Lookup Broadcast-Address=%s Result=%d\r\n", broadcast, result);
        }
    }
    const int32_t result = SendQuery(name, kGeneralBroadcast, kNetbiosPort);
    Print("Low Level SMB Lookup General Broadcast Result=%d\r\n", result);
    return result;
}

bool HostAddressResolver::GetBroadcastAddresses(std::vector<std::string>& destinations) {
    QAV_TRACE("HAR::GBA");
    int32_t iIndex = 0;
    QAV_TRACE_VAR("iIndex", iIndex, kTraceInt32);
    if (m_services == nullptr) {
        return false;
    }
    const std::vector<NetworkInterfacesVector::Record> records =
        m_services->GetNetworkInterfaces().GetRecords();
    for (; static_cast<size_t>(iIndex) < records.size(); ++iIndex) {
        const NetworkInterfacesVector::Record& record = records[static_cast<size_t>(iIndex)];
        if ((!m_adapterName.empty() && m_adapterName != record.name) ||
            (!m_localAddress.empty() && m_localAddress != record.address)) {
            continue;
        }
        destinations.push_back(record.broadcastAddress);
    }
    return true;
}

int32_t HostAddressResolver::SendQuery(const std::string& name, const std::string& server,
                                       int32_t port) {
    QAV_TRACE("HAR::ResLL4");
    uint32_t serverAddress = 0;
    if (port != kNetbiosPort && !platform::ParseDottedAddress(server.c_str(), serverAddress)) {
        return kServerNotDotted;
    }
    if (m_services == nullptr) {
        return kNoPlatformServices;
    }
    if (!m_listener) {
        m_listener = OpenListener();
        if (!m_listener) {
            return kNoListener;
        }
    }
    RefPtr<DatagramSender> sender = m_listener->CreateSender();
    if (!sender) {
        return kNoSender;
    }
    sender->SetDestination(server.c_str(), false, port == kNetbiosPort, port);
    const size_t length = BuildQuery(name, port == kNetbiosPort, m_queryIdentifier, m_queryBuffer);
    if (length == 0) {
        return kNameRefused;
    }
    m_status = kStatusWaiting;
    const int32_t sent = sender->Send(m_queryBuffer, static_cast<int32_t>(length), nullptr);
    if (sent < static_cast<int32_t>(length)) {
        m_status = kStatusNotSentWhole;
    }
    return m_status;
}

// As PlatformServices::CreateDatagramListener does, with a listener that holds the resolver.
RefPtr<DatagramListener> HostAddressResolver::OpenListener() {
    RefPtr<DatagramListener> listener(new RefCountedObject<ResolverListener>(m_services, this));
    listener->SetPacketSink(this);
    SocketHandlerManager* loop = m_services->GetSocketHandlerManager();
    if (loop == nullptr ||
        !listener->StartListening(m_adapterName.c_str(), m_localAddress.c_str(), 0, true, false) ||
        !loop->AddHandler(listener.get())) {
        listener->Disconnect();
        return {};
    }
    return listener;
}

// Never under the resolver's lock: the listener waits for a delivery under way, and that
// delivery may be waiting for the lock. Once taken out of m_listener, a listener's
// deliveries are ignored, so none of them calls the requester either, whose owner may be
// holding its own lock while it waits here.
void HostAddressResolver::StopListener(RefPtr<DatagramListener>& listener) {
    if (listener) {
        listener->Disconnect();
        listener.Reset();
    }
}

void HostAddressResolver::Disconnect() {
    RefPtr<HostAddressResolver> self(this);  // the listener's reference goes with it
    RefPtr<HostResolveCallback> requester;
    RefPtr<DatagramListener> listener;
    {
        MutualExclusionLock lock(m_mutex);
        requester = std::move(m_requester);
        listener = std::move(m_listener);
        if (m_status != kStatusResolved) {
            // The next Resolve starts anew, with a listener; nothing answers this one.
            m_lastName.clear();
            m_askedServers.clear();
            m_netbiosName.clear();
        }
    }
    StopListener(listener);
}

void HostAddressResolver::HandleResult(uint32_t address, Settled& settled) {
    QAV_TRACE("HAR::HRes");
    m_address = address;
    m_resultText = platform::FormatDottedAddress(address);
    Print("Answer IP=%s\r\n", m_resultText);
    // Stopped once the lock is given up; the listener that delivers this answer stays
    // alive for the rest of its turn.
    settled.listener = std::move(m_listener);
    m_status = kStatusResolved;
    settled.resolved = true;
    settled.address = address;
    settled.text = m_resultText;
    settled.requester = std::move(m_requester);
}

void HostAddressResolver::HandleNoSuchName(Settled& settled) {
    Print("No such name: %s\r\n", m_lastName);
    // Nobody answers this lookup any more; asked again at once, the answer would be the
    // same, so the name stays refused for a while.
    settled.listener = std::move(m_listener);
    m_status = kStatusNoSuchName;
    m_sendStopwatch.Start();
    settled.failed = true;
    settled.requester = std::move(m_requester);
}

void HostAddressResolver::ProcessPacket(DatagramListener* listener, PlatformServices* /*services*/,
                                        const char* senderAddress, int32_t senderPort,
                                        const uint8_t* data, size_t length,
                                        LentPacketBuffer* packet) {
    QAV_TRACE("HAR::PP");
    // The requester may let go of the resolver while it is called.
    RefPtr<HostAddressResolver> self(this);
    Settled settled;
    {
        MutualExclusionLock lock(m_mutex);
        if (listener == nullptr || listener == m_listener.get()) {
            ExamineAnswer(senderAddress != nullptr ? senderAddress : "", senderPort, data, length,
                          settled);
        }
    }
    if (packet != nullptr) {
        packet->ReturnToPool();
    }
    if (!settled.resolved && !settled.failed) {
        return;
    }
    StopListener(settled.listener);
    if (!settled.requester) {
        return;
    }
    if (settled.resolved) {
        settled.requester->HostAddressResolved(settled.text.c_str(), &settled.address);
    } else {
        settled.requester->HostLookupFailed(kNoSuchNameReason);
    }
}

}  // namespace qav
