#include "network/reliable_connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/stopwatch.h"
#include "core/text_logger.h"
#include "core/text_utils.h"
#include "core/trace_frame.h"
#include "network/connection_event_sink.h"
#include "network/platform_services.h"
#include "network/socket_failure_report.h"
#include "network/socket_handler_manager.h"
#include "platform/socket.h"

namespace qav {
namespace {

class SystemSocketCalls final : public StreamSocketCalls {
  public:
    ptrdiff_t Send(int socket, const void* data, size_t length, int& errorCode) override {
        return platform::SendOnSocket(socket, data, length, errorCode);
    }
    ptrdiff_t Receive(int socket, void* buffer, size_t capacity, int& errorCode) override {
        return platform::ReceiveFromSocket(socket, buffer, capacity, errorCode);
    }
    bool PeerHasClosed(int socket, int& errorCode) override {
        return platform::PeerHasClosed(socket, errorCode);
    }
    int GetReadableBytes(int socket, int& errorCode) override {
        return platform::GetReadableBytes(socket, errorCode);
    }
    bool GetPendingError(int socket, int& pendingError, int& errorCode) override {
        return platform::GetPendingSocketError(socket, pendingError, errorCode);
    }
    void Close(int socket) override {
        // Lingering on the close would hold up the closing thread, often the polling
        // thread; what the kernel still has queued is sent after the close all the same.
        platform::ShutdownSocket(socket);
        platform::CloseSocket(socket);
    }
};

// Both buffers of a connection's socket, as large as the send queue.
constexpr int kSocketBufferBytes = 0x40000;

// The share of each new write-queue length in the running average: the average follows a
// change within about ten changes, yet one burst does not make a queue look full.
constexpr double kQueueAverageWeight = 0.125;

bool IsTransientError(int errorCode) {
    return errorCode == EAGAIN || errorCode == EWOULDBLOCK || errorCode == EINTR;
}

bool HasAtLeastElapsed(Stopwatch& watch, int64_t microseconds) {
    return watch.GetElapsedMicroseconds() >= microseconds;
}

}  // namespace

// Holds the connection, as the resolver held the connection itself before: a call that is
// under way when the lookup is let go of still finds the connection alive.
class ReliableConnection::LookupRequester : public HostResolveCallback {
  public:
    LookupRequester(ReliableConnection* connection, uint64_t generation)
        : m_connection(connection), m_generation(generation) {}

    void HostAddressResolved(const char* addressText, const uint32_t* address) override {
        m_connection->HostAddressResolved(m_generation, addressText, address);
    }
    void HostLookupFailed(const char* reason) override {
        m_connection->HostLookupFailed(m_generation, reason);
    }

  protected:
    ~LookupRequester() = default;

  private:
    const RefPtr<ReliableConnection> m_connection;
    const uint64_t m_generation;
};

bool StreamSocketCalls::BindToDevice(int socket, const std::string& interfaceName, int& errorCode) {
    return platform::BindSocketToDevice(socket, interfaceName, errorCode);
}

bool StreamSocketCalls::SetLiveness(int socket, int32_t seconds, int& errorCode) {
    // The kernel's timers fire late by up to an eighth of their span (its timer wheel's
    // granularity), so a socket given up on time would be given up after the time. The
    // give-up is set a sixth early (at least a second) to keep that slack inside it:
    // idle, then four probes a sixth of that apart, the socket ending when the last one
    // goes unanswered. The user time-out ends it at the same moment when it is data, not
    // a probe, that goes unanswered, or a probe lost behind data; the kernel checks it
    // only when the probe timer fires, which is why the give-up falls on a probe's time.
    constexpr int kProbes = 4;
    const int32_t limited = std::clamp(seconds, 1, 3 * platform::kMaxKeepAliveSeconds);
    const int32_t giveUp = std::max(limited - (limited + 5) / 6, 1);
    const int interval = std::clamp(giveUp / 6, 1, platform::kMaxKeepAliveSeconds);
    const int idle = std::clamp(giveUp - kProbes * interval, 1, platform::kMaxKeepAliveSeconds);
    return platform::SetKeepAliveTiming(socket, idle, interval, kProbes, errorCode) &&
           platform::SetUserTimeout(socket, giveUp * 1000, errorCode);
}

StreamSocketCalls& StreamSocketCalls::System() {
    // Never destroyed: connections may still close sockets while the process exits.
    static SystemSocketCalls& calls = *new SystemSocketCalls;
    return calls;
}

ReliableConnection::ReliableConnection(PlatformServices* services)
    : ReliableConnection(services, StreamSocketCalls::System()) {}

ReliableConnection::ReliableConnection(PlatformServices* services, StreamSocketCalls& calls)
    : m_services(services),
      m_calls(calls),
      m_lastActivityRaw(Stopwatch::ReadRawClock()),
      m_sendBuffer(new RefCountedStreamBuffer) {}

ReliableConnection::~ReliableConnection() {
    ClosedParts closed;
    {
        MutualExclusionLock lock(m_mutex);
        CloseSocket(closed);
        ReleaseResolver(closed);
    }
    FinishClose(closed);
}

// ---- Connecting -------------------------------------------------------------------------

bool ReliableConnection::Connect(const char* host, bool lookupAllowed, int32_t port,
                                 ConnectionEventSink* sink) {
    ClosedParts closed;
    EventDetails details;
    ConnectResult result = kConnectFailed;
    uint64_t generation = 0;
    CalloutTracker::Callout callout;
    // Outlives the lock: should the resolver not keep it, it is let go of here.
    RefPtr<HostResolveCallback> requester;
    {
        MutualExclusionLock lock(m_mutex);
        CloseSocket(closed);
        // A lookup of an earlier connect is no use to this one; its answer is ignored.
        ReleaseResolver(closed);
        ++m_generation;
        m_sink = sink;
        m_host = host != nullptr ? host : "";
        m_address.clear();
        // The local address of an earlier connection is no address to bind to: it may be
        // gone since.
        m_localAddress = m_bindAddress;
        m_role = kRoleOutgoing;
        m_state = kConnectionConnecting;
        m_lookupAllowed = lookupAllowed;
        m_remotePort = port;
        // A port that does not fit the address would connect somewhere else.
        const bool valid = host != nullptr && port > 0 && port <= 0xFFFF;
        if (valid && platform::ParseDottedAddress(host, m_remoteAddress)) {
            m_address = m_host;
            result = ConnectToResolvedAddress(details);
        } else if (valid && lookupAllowed) {
            // Without the address yet the connection waits, connecting, without a socket.
            m_lookupWatch.Start();
            requester = MakeLookupRequester();
            result = ResolveHostName(m_remoteAddress, requester.get())
                         ? ConnectToResolvedAddress(details)
                         : kConnectInProgress;
        } else {
            m_state = kConnectionClosed;
        }
        generation = m_generation;
        callout.Enter(m_callouts);
    }
    CompleteBlocks(closed);
    if (result == kConnectOpened) {
        AnnounceOpened(details, generation);
    }
    callout.Leave();
    FinishClose(closed);
    return result != kConnectFailed;
}

bool ReliableConnection::ResolveHostName(uint32_t& address, HostResolveCallback* requester) {
    if (!m_resolver) {
        m_resolver = new RefCountedObject<HostAddressResolver>;
        m_resolver->SetPlatformServices(m_services);
        m_resolver->SetLocalAddress(m_bindAddress);
        m_resolver->SetAdapterName(m_name);
    }
    const bool known = m_resolver->Resolve(m_host.c_str(), address, requester);
    // Started after the resolver's own clock: when this says a retry is due, so does the
    // resolver's.
    m_lookupAskWatch.Start();
    if (!known) {
        return false;
    }
    m_address = m_resolver->GetResultText();
    return true;
}

RefPtr<HostResolveCallback> ReliableConnection::MakeLookupRequester() {
    return RefPtr<HostResolveCallback>(new RefCountedObject<LookupRequester>(this, m_generation));
}

void ReliableConnection::HostAddressResolved(uint64_t generation, const char* addressText,
                                             const uint32_t* address) {
    MutualExclusionLock lock(m_mutex);
    // Only the connect that still waits for its address takes it.
    if (address == nullptr || generation != m_generation || m_state != kConnectionConnecting ||
        m_socket >= 0 || m_role != kRoleOutgoing) {
        return;
    }
    m_remoteAddress = *address;
    m_address = addressText != nullptr ? addressText : "";
    ConnectAfterLookup(lock);
}

void ReliableConnection::HostLookupFailed(uint64_t generation, const char* reason) {
    MutualExclusionLock lock(m_mutex);
    if (generation != m_generation || m_state != kConnectionConnecting || m_socket >= 0 ||
        m_role != kRoleOutgoing) {
        return;
    }
    FailConnect(lock, FormatString("Failed to look up %s: %s", m_host,
                                   reason != nullptr ? reason : "failed"));
}

void ReliableConnection::ConnectAfterLookup(MutualExclusionLock& lock) {
    EventDetails details;
    const ConnectResult result = ConnectToResolvedAddress(details);
    if (result == kConnectFailed) {
        // Connect has returned long ago: only the event tells the owner. The failure
        // itself is logged already.
        FailConnect(lock, std::string());
        return;
    }
    if (result == kConnectOpened) {
        const uint64_t generation = m_generation;
        CalloutTracker::Callout callout;
        callout.Enter(m_callouts);
        lock.Unlock();
        AnnounceOpened(details, generation);
    }
}

void ReliableConnection::FailConnect(MutualExclusionLock& lock, const std::string& why) {
    ClosedParts closed;
    EventDetails details;
    CalloutTracker::Callout callout;
    FillEventDetails(details);
    CloseSocket(closed);
    m_state = kConnectionClosed;
    ReleaseResolver(closed);
    callout.Enter(m_callouts);
    lock.Unlock();
    if (!why.empty()) {
        if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
            logger->LogText(kSeverityWarning, why);
        }
    }
    CompleteBlocks(closed);
    SendEvent(details, ConnectionEventSink::kEventClosed);
    callout.Leave();
    FinishClose(closed);
}

void ReliableConnection::ReleaseResolver(ClosedParts& closed) {
    if (m_resolver) {
        closed.resolver = std::move(m_resolver);
    }
}

ReliableConnection::ConnectResult ReliableConnection::ConnectToResolvedAddress(
    EventDetails& details) {
    QAV_TRACE("RelCon::CTRA");
    int errorCode = 0;
    const int socket = platform::CreateTcpSocket(errorCode);
    if (socket < 0) {
        m_lastError = errorCode;
        ReportSocketFailure("create a TCP client socket", errorCode);
        m_state = kConnectionClosed;
        return kConnectFailed;
    }
    platform::SetKeepAlive(socket, true);
    platform::SetSendBufferSize(socket, kSocketBufferBytes);
    platform::SetReceiveBufferSize(socket, kSocketBufferBytes);
    platform::SetNoDelay(socket, true);
    ApplyLiveness(socket);
    BindToInterface(socket);

    if (!m_bindAddress.empty()) {
        platform::SocketAddressV4 local;
        bool bound = platform::ParseDottedAddress(m_bindAddress.c_str(), local.address);
        if (!bound) {
            errorCode = EINVAL;
        } else {
            bound = platform::BindSocket(socket, local, errorCode);
        }
        if (!bound) {
            m_lastError = errorCode;
            ReportSocketFailure("bind a TCP client socket", errorCode);
            platform::CloseSocket(socket);
            m_state = kConnectionClosed;
            return kConnectFailed;
        }
    }

    platform::SocketAddressV4 remote;
    remote.address = m_remoteAddress;
    remote.port = static_cast<uint16_t>(m_remotePort);
    m_connectWatch.Start();
    const int connected = platform::ConnectSocket(socket, remote, errorCode);
    if (connected < 0) {
        m_lastError = errorCode;
        ReportSocketFailure("connect a TCP client socket", errorCode);
        platform::CloseSocket(socket);
        m_state = kConnectionClosed;
        return kConnectFailed;
    }
    TakeSocket(socket);
    if (connected == 0) {
        OpenConnection(details);
        return kConnectOpened;
    }
    // The system chose the local port when the connect began: a connect that fails is
    // reported from it, not from port 0.
    platform::SocketAddressV4 local;
    if (platform::GetSocketName(m_socket, local, errorCode)) {
        m_localPort = local.port;
    }
    // The wait loop watches for writability, which tells that the connect has ended.
    RegisterWithWaitLoop();
    return kConnectInProgress;
}

void ReliableConnection::SetLivenessTime(int32_t seconds) {
    MutualExclusionLock lock(m_mutex);
    m_livenessSeconds = std::max(seconds, 0);
}

void ReliableConnection::ApplyLiveness(int socket) {
    if (m_livenessSeconds == 0) {
        return;
    }
    int errorCode = 0;
    if (m_calls.SetLiveness(socket, m_livenessSeconds, errorCode) || m_livenessFailureLogged) {
        return;
    }
    // The connection works all the same; only a vanished peer goes unnoticed for longer.
    m_livenessFailureLogged = true;
    if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
        logger->LogFormat(kSeverityWarning,
                          "Cannot set a liveness time of %d s on a TCP client socket: socket "
                          "error %d = %S",
                          m_livenessSeconds, errorCode, GetErrorText(errorCode));
    }
}

void ReliableConnection::BindToInterface(int socket) {
    if (m_name.empty()) {
        return;
    }
    // A name that is no interface of this machine leaves the socket free to take any path.
    std::string name;
    if (!WideToUtf8Strict(m_name, name) || platform::InterfaceIndex(name) == 0) {
        return;
    }
    int errorCode = 0;
    if (m_calls.BindToDevice(socket, name, errorCode) || m_deviceFallbackLogged) {
        return;
    }
    m_deviceFallbackLogged = true;
    if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
        logger->LogFormat(kSeverityWarning,
                          "Cannot bind a TCP client socket to interface %s: socket error %d = %S "
                          "- it is bound by its local address alone",
                          name, errorCode, GetErrorText(errorCode));
    }
}

void ReliableConnection::Attach(int socket, const char* peerAddress, int32_t port,
                                ConnectionEventSink* sink) {
    ClosedParts closed;
    EventDetails details;
    bool opened = false;
    uint64_t generation = 0;
    CalloutTracker::Callout callout;
    {
        MutualExclusionLock lock(m_mutex);
        CloseSocket(closed);
        m_localAddress = m_bindAddress;
        if (socket >= 0) {
            m_host = peerAddress != nullptr ? peerAddress : "";
            m_address = m_host;
            if (!platform::ParseDottedAddress(m_address.c_str(), m_remoteAddress)) {
                m_remoteAddress = 0;
            }
            m_sink = sink;
            m_remotePort = port;
            m_role = kRoleAccepted;
            TakeSocket(socket);
            opened = OpenConnection(details);
            generation = m_generation;
        }
        callout.Enter(m_callouts);
    }
    CompleteBlocks(closed);
    if (opened) {
        AnnounceOpened(details, generation);
    }
    callout.Leave();
    FinishClose(closed);
}

void ReliableConnection::TakeSocket(int socket) {
    // An urgent byte is one more byte of the stream here. Left out of band, it stops the
    // system's count of readable bytes at its mark, and a connection that trusts that
    // count would never read on past it.
    platform::SetOutOfBandInline(socket, true);
    ++m_generation;
    m_socket = socket;
    m_inputEvents = 0;
    m_dataReady = false;
    m_writable = false;
    m_sendFailed = false;
    m_unreportedError = 0;
}

bool ReliableConnection::OpenConnection(EventDetails& details) {
    QAV_TRACE("RelCon::HCO");
    m_state = kConnectionConnected;
    platform::SocketAddressV4 local;
    int errorCode = 0;
    const bool named = platform::GetSocketName(m_socket, local, errorCode);
    if (m_localAddress.empty()) {
        m_localAddress = named ? platform::FormatDottedAddress(local.address) : std::string();
        if (m_localAddress.empty()) {
            m_localAddress = "unknown";
        }
    }
    m_localPort = named ? local.port : 0;
    FillEventDetails(details);
    return true;
}

// Event 1 goes out before the socket is registered, so that no data or close event of
// the connection can reach the sink ahead of it.
void ReliableConnection::AnnounceOpened(const EventDetails& details, uint64_t generation) {
    SendEvent(details, ConnectionEventSink::kEventConnected);
    MutualExclusionLock lock(m_mutex);
    if (m_generation == generation && m_socket >= 0) {
        RegisterWithWaitLoop();
    }
}

void ReliableConnection::RegisterWithWaitLoop() {
    if (m_registered || m_services == nullptr) {
        return;
    }
    if (SocketHandlerManager* loop = m_services->GetSocketHandlerManager()) {
        m_registered = loop->AddHandler(this);
    }
}

void ReliableConnection::UnregisterFromWaitLoop() {
    if (!m_registered) {
        return;
    }
    m_registered = false;
    if (SocketHandlerManager* loop = m_services->GetSocketHandlerManager()) {
        loop->RemoveHandler(this);
    }
}

// ---- Closing ----------------------------------------------------------------------------

bool ReliableConnection::CloseSocket(ClosedParts& closed) {
    QAV_TRACE("RelCon::SClSo");
    const int socket = m_socket;
    if (socket < 0) {
        return false;
    }
    // Out of the wait loop first: the registration is found by the socket.
    UnregisterFromWaitLoop();
    ReleaseResolver(closed);
    m_socket = -1;
    m_calls.Close(socket);
    m_state = kConnectionClosed;
    m_dataReady = false;
    m_writable = false;
    m_inputEvents = 0;

    // Every message still queued leaves the queue now, so that none of them can go out
    // on a later connection. A message that failed keeps its own error.
    if (m_hasBlockInFlight) {
        SendBlockHeader block = m_inFlight;
        if (block.errorCode == 0) {
            block.errorCode = kSendQueueAborted;
        }
        closed.blocks.push_back(block);
        m_sendBuffer->ReleaseReadBlock(m_inFlightBlock, kSendHeaderSize + block.length);
        m_hasBlockInFlight = false;
        m_inFlightBlock = nullptr;
    }
    for (;;) {
        int32_t readable = 0;
        uint8_t* data = m_sendBuffer->PeekBlockToRead(readable);
        if (data == nullptr || readable < kSendHeaderSize) {
            break;
        }
        SendBlockHeader block;
        std::memcpy(&block, data, sizeof block);
        block.bytesSent = 0;
        block.errorCode = kSendQueueAborted;
        closed.blocks.push_back(block);
        if (!m_sendBuffer->ReleaseReadBlock(data, kSendHeaderSize + block.length)) {
            m_sendBuffer->Reset();  // cannot happen: the queue holds whole blocks only
            break;
        }
    }
    m_queuedBlocks = 0;
    m_sendFailed = false;
    SettleDrainedSendBuffer(true, false);
    NoteWriteQueueLength();
    return true;
}

void ReliableConnection::CloseAndReport(uint64_t generation) {
    ClosedParts closed;
    EventDetails details;
    CalloutTracker::Callout callout;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_generation != generation || m_socket < 0) {
            return;  // closed already: its close was reported, or asked for
        }
        FillEventDetails(details);
        CloseSocket(closed);
        callout.Enter(m_callouts);
    }
    CompleteBlocks(closed);
    SendEvent(details, ConnectionEventSink::kEventClosed);
    callout.Leave();
    FinishClose(closed);
}

void ReliableConnection::Disconnect() {
    ClosedParts closed;
    CalloutTracker::Callout callout;
    {
        MutualExclusionLock lock(m_mutex);
        m_host.clear();
        m_address.clear();
        m_localAddress.clear();
        m_bindAddress.clear();
        m_localPort = 0;
        m_remotePort = 0;
        m_role = kRoleNone;
        CloseSocket(closed);
        // A connect that waited for its host's address waits no more.
        m_state = kConnectionClosed;
        ReleaseResolver(closed);
        // A Disconnect on another thread that found the queue empty waits for these
        // completions, as for any other.
        callout.Enter(m_callouts);
    }
    CompleteBlocks(closed);
    callout.Leave();
    FinishClose(closed);
    // The owner may free its sink and its completions once this returns.
    m_callouts.WaitForOtherThreads();
}

int32_t ReliableConnection::Reconnect() {
    ClosedParts closed;
    std::string host;
    bool lookupAllowed = false;
    int32_t port = 0;
    ConnectionEventSink* sink = nullptr;
    bool again = false;
    CalloutTracker::Callout callout;
    {
        MutualExclusionLock lock(m_mutex);
        CloseSocket(closed);
        again = !m_host.empty() && m_remotePort != 0 && m_role == kRoleOutgoing;
        host = m_host;
        lookupAllowed = m_lookupAllowed;
        port = m_remotePort;
        sink = m_sink;
        // A Disconnect on another thread waits for the completions of this close.
        callout.Enter(m_callouts);
    }
    CompleteBlocks(closed);
    callout.Leave();
    FinishClose(closed);
    if (!again) {
        return kReconnectNothing;
    }
    return Connect(host.c_str(), lookupAllowed, port, sink) ? kReconnectStarted : kReconnectRefused;
}

// ---- Sending ----------------------------------------------------------------------------

int32_t ReliableConnection::Send(const void* data, int32_t length, SendCompletion* completion) {
    QAV_TRACE("RelCon::Send");
    if (data == nullptr || length <= 0) {
        return 0;
    }
    bool queued = false;
    bool wakeLoop = false;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_state != kConnectionConnected) {
            return 0;
        }
        const bool wasIdle = IsSendIdle();
        const int32_t blockSize = length <= kMaxMessageLength ? kSendHeaderSize + length : 0;
        uint8_t* block = blockSize > 0 && TakeSendBuffer()
                             ? m_sendBuffer->AllocateBlock(blockSize)
                             : nullptr;
        if (block != nullptr) {
            SendBlockHeader header;
            header.source = data;
            header.completion = completion;
            header.enqueueTime = Stopwatch::ReadRawClock();
            header.length = length;
            m_lastSendRaw = header.enqueueTime;
            std::memset(block, 0, kSendHeaderSize);
            std::memcpy(block, &header, sizeof header);
            std::memcpy(block + kSendHeaderSize, data, static_cast<size_t>(length));
            if (!m_sendBuffer->CommitWriteBlock(block, blockSize, blockSize)) {
                return 0;
            }
            ++m_queuedBlocks;
            NoteWriteQueueLength();
            if (m_writable && !m_hasBlockInFlight && SendNextPacket() == kSendComplete) {
                CompletePacket(lock);
            }
            // The socket now waits for output as well: a turn polling without it on
            // another thread would hold the message back until its time-out.
            wakeLoop = wasIdle && !IsSendIdle() && m_registered && m_socket >= 0;
            queued = true;
        }
    }
    if (queued) {
        if (wakeLoop) {
            if (SocketHandlerManager* loop = m_services->GetSocketHandlerManager()) {
                loop->WaitEventsChanged(this);
            }
        }
        return length;
    }
    if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
        logger->LogFormat(kSeverityWarning, "TCP Send: no place for block of size %d", length);
    }
    return 0;
}

ReliableConnection::SendResult ReliableConnection::SendNextPacket() {
    QAV_TRACE("RelCon::SNP");
    if (m_sendFailed) {
        return kSendFailed;
    }
    if (!m_hasBlockInFlight) {
        int32_t readable = 0;
        uint8_t* data = m_sendBuffer->PeekBlockToRead(readable);
        if (data == nullptr || readable < kSendHeaderSize) {
            return kSendNothing;
        }
        std::memcpy(&m_inFlight, data, sizeof m_inFlight);
        m_inFlightBlock = data;
        m_hasBlockInFlight = true;
    }
    const int32_t remaining = m_inFlight.length - m_inFlight.bytesSent;
    int errorCode = 0;
    const ptrdiff_t sent =
        m_calls.Send(m_socket, m_inFlightBlock + kSendHeaderSize + m_inFlight.bytesSent,
                     static_cast<size_t>(remaining), errorCode);
    if (sent >= 0) {
        m_inFlight.bytesSent += static_cast<int32_t>(std::min<ptrdiff_t>(sent, remaining));
        if (m_inFlight.bytesSent == m_inFlight.length) {
            // A socket that took every byte most likely takes more: the next message goes
            // at once, and the wait loop need not look for output meanwhile.
            return kSendComplete;
        }
        m_writable = false;
        return kSendWaiting;
    }
    m_writable = false;
    if (IsTransientError(errorCode)) {
        return kSendWaiting;
    }
    // Part of the message is lost: the stream cannot go on after it.
    m_inFlight.errorCode = errorCode;
    m_lastError = errorCode;
    m_sendFailed = true;
    if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
        logger->LogFormat(kSeverityWarning, "TCP send socket error %d: %S", errorCode,
                          GetErrorText(errorCode));
    }
    return kSendFailed;
}

bool ReliableConnection::CompletePacket(MutualExclusionLock& lock) {
    QAV_TRACE("RelCon::ACP");
    const char* szState = "commit";
    QAV_TRACE_VAR("szState", szState, kTraceText);
    if (!m_hasBlockInFlight) {
        return false;
    }
    const SendBlockHeader block = m_inFlight;
    m_sendBuffer->ReleaseReadBlock(m_inFlightBlock, kSendHeaderSize + block.length);
    m_hasBlockInFlight = false;
    m_inFlightBlock = nullptr;
    if (--m_queuedBlocks == 0) {
        SettleDrainedSendBuffer(false, true);
    }
    NoteWriteQueueLength();
    if (block.completion != nullptr) {
        CalloutTracker::Callout callout;
        callout.Enter(m_callouts);
        szState = "unlock";
        lock.Unlock();
        szState = "handler";
        CompleteBlock(block);
        callout.Leave();
        szState = "relock";
        lock.Relock();
    }
    return true;
}

bool ReliableConnection::TakeSendBuffer() {
    if (!m_sendBufferTaken) {
        m_sendBufferTaken = m_sendBuffer->SetCapacity(kSendBufferCapacity);
    }
    return m_sendBufferTaken;
}

void ReliableConnection::SettleDrainedSendBuffer(bool closing, bool rewind) {
    if (!m_sendBufferTaken || m_hasBlockInFlight || m_queuedBlocks != 0) {
        return;
    }
    const int64_t idle = Stopwatch::ReadRawClock() - m_lastSendRaw;
    const bool giveBack =
        closing || Stopwatch::RawToMicroseconds(idle) >= m_sendBufferIdleMicroseconds;
    if (!giveBack && !rewind) {
        return;
    }
    // Every operation on the buffer runs under the connection's lock, so no block of it
    // is being filled or sent meanwhile.
    m_sendBuffer->Reset();
    if (giveBack) {
        m_sendBuffer->SetCapacity(0);
        m_sendBufferTaken = false;
    }
}

void ReliableConnection::SetSendBufferIdleTime(int64_t microseconds) {
    MutualExclusionLock lock(m_mutex);
    m_sendBufferIdleMicroseconds = std::max<int64_t>(microseconds, 0);
}

bool ReliableConnection::HoldsSendBuffer() {
    MutualExclusionLock lock(m_mutex);
    return m_sendBufferTaken;
}

void ReliableConnection::CompleteBlock(const SendBlockHeader& block) {
    if (block.completion != nullptr) {
        block.completion->Complete(block.source, block.bytesSent, block.errorCode);
    }
}

void ReliableConnection::CompleteBlocks(ClosedParts& closed) {
    for (const SendBlockHeader& block : closed.blocks) {
        CompleteBlock(block);
    }
    closed.blocks.clear();
}

void ReliableConnection::FinishClose(ClosedParts& closed) {
    // The resolver goes after the completions and outside any callout: letting go of its
    // lookup may wait for an answer being delivered, whose delivery may be waiting for a
    // close of this connection. Completions left to here are the destructor's: no other
    // thread can wait for them.
    CompleteBlocks(closed);
    if (closed.resolver) {
        closed.resolver->Disconnect();
        closed.resolver.Reset();
    }
}

void ReliableConnection::NoteWriteQueueLength() {
    const double current = m_sendBuffer->GetState().StoredBytes();
    const double average = m_averageWriteQueueLength.load(std::memory_order_relaxed);
    m_averageWriteQueueLength.store(average + (current - average) * kQueueAverageWeight,
                                    std::memory_order_relaxed);
}

// ---- Socket wait loop -------------------------------------------------------------------

uint32_t ReliableConnection::GetWaitEvents() {
    if (m_socket < 0) {
        return 0;
    }
    switch (m_state.load()) {
        case kConnectionConnecting:
            return kWaitOutput;
        case kConnectionConnected:
            return IsSendIdle() ? kWaitInput : kWaitInput | kWaitOutput;
        default:
            return 0;
    }
}

int ReliableConnection::GetSocket() {
    return m_socket;
}

intptr_t ReliableConnection::HandleInput() {
    uint64_t generation = 0;
    int readable = 0;
    int readError = 0;
    bool ended = false;
    int endError = 0;
    bool warnEmpty = false;
    EventDetails details;
    CalloutTracker::Callout callout;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_socket < 0 || m_state != kConnectionConnected) {
            return 0;
        }
        ++m_inputEvents;
        RestartActivityTimer();
        // A connection that only listens now gives back what its sending took.
        SettleDrainedSendBuffer(false, false);
        generation = m_generation;
        FillEventDetails(details);
        readable = m_calls.GetReadableBytes(m_socket, readError);
        if (readable > 0) {
            m_dataReady = true;
            callout.Enter(m_callouts);
        } else {
            // Nothing readable after a readiness is the peer's close or a failure, unless
            // another thread's Receive took the bytes between the poll and now: then
            // nothing waits to be read, and the connection stays.
            ended = m_calls.PeerHasClosed(m_socket, endError);
            if (ended) {
                warnEmpty = m_inputEvents > 1;
                if (endError == 0) {
                    endError = m_unreportedError;
                }
                m_unreportedError = 0;
            } else {
                m_dataReady = false;
            }
        }
    }
    if (readable > 0) {
        SendEvent(details, ConnectionEventSink::kEventData);
        return 0;
    }
    if (readable < 0) {
        ReportReadableBytesFailure(details, readError);
    }
    if (!ended) {
        return 0;
    }
    if (warnEmpty) {
        ReportEmptyReadQueue(details);
    }
    if (endError != 0) {
        // The peek took the error from the socket: a later look at it would find none.
        ReportError(endError, true);
    }
    CloseAndReport(generation);
    return 0;
}

void ReliableConnection::ProcessInput(intptr_t) {}

void ReliableConnection::HandleOutput() {
    MutualExclusionLock lock(m_mutex);
    if (m_socket < 0) {
        return;
    }
    m_writable = true;
    RestartActivityTimer();
    const uint64_t generation = m_generation;
    if (m_state == kConnectionConnecting) {
        // The connect has ended; it succeeded only when the socket holds no error.
        int pendingError = 0;
        int errorCode = 0;
        const bool read = m_calls.GetPendingError(m_socket, pendingError, errorCode);
        if (read && pendingError == 0) {
            EventDetails details;
            OpenConnection(details);
            CalloutTracker::Callout callout;
            callout.Enter(m_callouts);
            lock.Unlock();
            SendEvent(details, ConnectionEventSink::kEventConnected);
            return;
        }
        lock.Unlock();
        ReportError(read ? pendingError : errorCode, read);
        CloseAndReport(generation);
        return;
    }
    if (m_state != kConnectionConnected) {
        return;
    }
    for (;;) {
        if (m_hasBlockInFlight || m_queuedBlocks > 0) {
            const SendResult result = SendNextPacket();
            if (result == kSendComplete) {
                CompletePacket(lock);
                if (m_generation != generation || m_socket < 0) {
                    return;  // closed while the completion ran
                }
                continue;
            }
            if (result == kSendFailed) {
                lock.Unlock();
                CloseAndReport(generation);
                return;
            }
            if (result == kSendWaiting) {
                return;
            }
        }
        // The queue is empty: the sink may queue more now.
        EventDetails details;
        FillEventDetails(details);
        CalloutTracker::Callout callout;
        callout.Enter(m_callouts);
        lock.Unlock();
        SendEvent(details, ConnectionEventSink::kEventWritable);
        callout.Leave();
        lock.Relock();
        if (m_generation != generation || m_socket < 0 || m_hasBlockInFlight ||
            m_queuedBlocks == 0) {
            return;
        }
    }
}

void ReliableConnection::HandleError() {
    QAV_TRACE("RelCon::HErr");
    uint64_t generation = 0;
    int pendingError = 0;
    int errorCode = 0;
    bool read = false;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_socket < 0) {
            return;
        }
        generation = m_generation;
        read = m_calls.GetPendingError(m_socket, pendingError, errorCode);
        // A read that met the failure first has taken the error from the socket.
        if (read && pendingError == 0) {
            pendingError = m_unreportedError;
        }
        m_unreportedError = 0;
    }
    ReportError(read ? pendingError : errorCode, read);
    CloseAndReport(generation);
}

void ReliableConnection::ReportError(int errorCode, bool errorRead) {
    TextLogger* logger = TextLoggerFor(kSeverityError);
    if (logger == nullptr) {
        return;
    }
    EventDetails details;
    {
        MutualExclusionLock lock(m_mutex);
        FillEventDetails(details);
    }
    logger->LogFormat(kSeverityError,
                      errorRead ? "Error %d [%s] in connection from %s:%d to %s:%d"
                                : "Error %d [%s] when requesting the error in connection from "
                                  "%s:%d to %s:%d",
                      errorCode, GetErrorText(errorCode), details.localAddress, details.localPort,
                      details.host, details.remotePort);
}

// ---- Receiving --------------------------------------------------------------------------

int32_t ReliableConnection::Receive(void* buffer, int32_t capacity) {
    if (buffer == nullptr || capacity < 1) {
        return 0;
    }
    uint64_t generation = 0;
    ptrdiff_t received = 0;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_socket < 0) {
            return 0;
        }
        m_dataReady = false;
        generation = m_generation;
        int errorCode = 0;
        received = m_calls.Receive(m_socket, buffer, static_cast<size_t>(capacity), errorCode);
        if (received < 0 && !IsTransientError(errorCode)) {
            // The receive took the error from the socket; the close reports it.
            m_unreportedError = errorCode;
        }
    }
    if (received == 0) {
        CloseAndReport(generation);  // the peer closed
        return 0;
    }
    if (received < 0) {
        return 0;  // nothing now; a broken socket is reported by the wait loop
    }
    return static_cast<int32_t>(std::min<ptrdiff_t>(received, capacity));
}

int32_t ReliableConnection::GetAvailableReadQueueSize() {
    int readable = 0;
    int errorCode = 0;
    bool warnEmpty = false;
    EventDetails details;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_state != kConnectionConnected || m_socket < 0) {
            return 0;
        }
        readable = m_calls.GetReadableBytes(m_socket, errorCode);
        if (readable == 0 && m_dataReady) {
            // Signalled bytes that are gone: either read meanwhile, or the stream has ended
            // and the next input readiness closes it.
            int endError = 0;
            if (m_calls.PeerHasClosed(m_socket, endError)) {
                warnEmpty = m_inputEvents > 1;
                if (endError != 0) {
                    m_unreportedError = endError;
                }
            } else {
                m_dataReady = false;
            }
        }
        if (readable < 0 || warnEmpty) {
            FillEventDetails(details);
        }
    }
    if (readable < 0) {
        ReportReadableBytesFailure(details, errorCode);
        return 0;
    }
    if (warnEmpty) {
        ReportEmptyReadQueue(details);
    }
    return readable;
}

void ReliableConnection::ReportReadableBytesFailure(const EventDetails& details, int errorCode) {
    if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
        logger->LogFormat(kSeverityError, "Error in IOCTL FIONREAD of %s:%d - %d", details.host,
                          details.remotePort, errorCode);
    }
}

void ReliableConnection::ReportEmptyReadQueue(const EventDetails& details) {
    if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
        logger->LogFormat(kSeverityWarning,
                          "Empty read queue length after data can be read at %s:%d - "
                          "connection will be closed",
                          details.host, details.remotePort);
    }
}

// ---- Queries ----------------------------------------------------------------------------

int32_t ReliableConnection::GetConnectionState() {
    if (m_state != kConnectionConnecting) {
        return m_state;
    }
    // Outlives the lock: should the resolver not keep it, it is let go of here.
    RefPtr<HostResolveCallback> requester;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_state != kConnectionConnecting || m_role != kRoleOutgoing) {
            return m_state;
        }
        std::string why;
        if (HasConnectTimedOut(why)) {
            FailConnect(lock, why);
            return m_state;
        }
        // Still waiting for the address: the queries or their answers may have been lost.
        if (m_socket < 0 && m_resolver &&
            HasAtLeastElapsed(m_lookupAskWatch, kLookupRetryMicroseconds)) {
            requester = MakeLookupRequester();
            if (ResolveHostName(m_remoteAddress, requester.get())) {
                ConnectAfterLookup(lock);  // the answer came just now
            }
        }
    }
    return m_state;
}

bool ReliableConnection::HasConnectTimedOut(std::string& why) {
    if (m_socket >= 0) {
        if (!HasAtLeastElapsed(m_connectWatch, kConnectTimeoutMicroseconds)) {
            return false;
        }
        why = FormatString("Failed to connect to %s:%d: no answer after %d s", m_host, m_remotePort,
                           static_cast<int32_t>(kConnectTimeoutMicroseconds / 1000000));
        return true;
    }
    if (!HasAtLeastElapsed(m_lookupWatch, kLookupTimeoutMicroseconds)) {
        return false;
    }
    // Without a name server, or without a socket to ask from, no query went out at all.
    const bool asked =
        m_resolver && m_resolver->GetStatus() != HostAddressResolver::kStatusNoLookup;
    why = FormatString("Failed to look up %s: %s", m_host,
                       asked ? "no answer" : "no query could be sent");
    return true;
}

int32_t ReliableConnection::GetReadQueueState() {
    switch (m_state.load()) {
        case kConnectionClosed:
            return kReadQueueClosed;
        case kConnectionConnected:
            return m_dataReady ? kReadQueueDataReady : kReadQueueEmpty;
        default:
            return kReadQueueNotReadable;
    }
}

int32_t ReliableConnection::GetCurrentWriteQueueLength() {
    return m_sendBuffer->GetState().StoredBytes();
}

int32_t ReliableConnection::GetAvailableWriteQueueLength() {
    if (m_state != kConnectionConnected) {
        return 0;
    }
    const int32_t largest = LargestFreeBlock();
    return largest > kSendHeaderSize ? largest - kSendHeaderSize : 0;
}

// The largest block AllocateBlock would give now.
int32_t ReliableConnection::LargestFreeBlock() {
    const StreamBufferState state = m_sendBuffer->GetState();
    if (state.capacity == 0) {
        return kSendBufferCapacity;  // the array is taken by the next message
    }
    if (state.readPosition == state.writePosition) {
        return state.notEmpty ? 0 : state.capacity;
    }
    if (state.readPosition > state.writePosition) {
        return state.readPosition - state.writePosition;
    }
    return std::max(state.capacity - state.writePosition, state.readPosition);
}

int32_t ReliableConnection::GetMaxWriteQueueLength() {
    return kMaxMessageLength;
}

int64_t ReliableConnection::GetOldestQueueDelayTime() {
    int64_t enqueueTime = 0;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_hasBlockInFlight) {
            enqueueTime = m_inFlight.enqueueTime;
        } else {
            int32_t readable = 0;
            const uint8_t* data = m_sendBuffer->PeekBlockToRead(readable);
            if (data == nullptr || readable < kSendHeaderSize) {
                return 0;
            }
            SendBlockHeader header;
            std::memcpy(&header, data, sizeof header);
            enqueueTime = header.enqueueTime;
        }
    }
    const int64_t age = Stopwatch::ReadRawClock() - enqueueTime;
    return age > 0 ? age : 0;
}

int64_t ReliableConnection::GetLastRoundTripTime() {
    int64_t microseconds = 0;
    {
        MutualExclusionLock lock(m_mutex);
        int errorCode = 0;
        if (m_state != kConnectionConnected || m_socket < 0 ||
            !platform::GetRoundTripTime(m_socket, microseconds, errorCode)) {
            return 0;
        }
    }
    return Stopwatch::MicrosecondsToRaw(microseconds);
}

double ReliableConnection::GetAverageWriteQueueLength() {
    return m_averageWriteQueueLength.load(std::memory_order_relaxed);
}

bool ReliableConnection::HasActivityTimerPassed(int64_t microseconds) {
    if (microseconds <= 0) {
        return true;
    }
    const int64_t raw = Stopwatch::ReadRawClock() - m_lastActivityRaw;
    return raw > 0 && Stopwatch::RawToMicroseconds(raw) > microseconds;
}

void ReliableConnection::RestartActivityTimer() {
    m_lastActivityRaw = Stopwatch::ReadRawClock();
}

std::string ReliableConnection::GetAddress() {
    MutualExclusionLock lock(m_mutex);
    return m_localAddress;
}

int32_t ReliableConnection::GetPort() {
    MutualExclusionLock lock(m_mutex);
    return m_localPort;
}

void ReliableConnection::SetAddress(const char* address) {
    MutualExclusionLock lock(m_mutex);
    m_bindAddress = address != nullptr ? address : "";
    if (m_socket < 0) {
        m_localAddress = m_bindAddress;  // a connected socket keeps telling its own
    }
}

void ReliableConnection::SetName(const WChar* name) {
    MutualExclusionLock lock(m_mutex);
    m_name = name != nullptr ? name : u"";
}

// ---- Events -----------------------------------------------------------------------------

void ReliableConnection::FillEventDetails(EventDetails& details) {
    details.sink = m_sink;
    details.incoming = m_role == kRoleAccepted;
    details.host = m_host;
    details.address = m_address;
    details.remotePort = m_remotePort;
    details.localAddress = m_localAddress;
    details.localPort = m_localPort;
}

void ReliableConnection::SendEvent(const EventDetails& details, int32_t eventKind) {
    if (details.sink != nullptr) {
        details.sink->ManageConnectionProtocol(
            details.incoming, details.host.c_str(), details.address.c_str(), details.remotePort,
            details.localAddress.c_str(), details.localPort, this, eventKind, m_services);
    }
}

}  // namespace qav
