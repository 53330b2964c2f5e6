#include "network/connection_server.h"

#include <cerrno>
#include <string>

#include "core/text_logger.h"
#include "network/platform_services.h"
#include "network/reliable_connection.h"
#include "network/socket_failure_report.h"
#include "network/socket_handler_manager.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace qav {

namespace {

// Room for a burst of connects that arrive while a turn polls every socket held: with
// 2,000 connections held a turn takes a good part of a millisecond, and a backlog of 100
// overflowed within one, leaving the dropped connects to their handshake's retry a second
// later. The system caps it at its own limit (somaxconn).
constexpr int kListenBacklog = 1024;
// Socket buffers of an accepted connection, as a reliable connection sets them for its own
// sockets: room for a whole send queue.
constexpr int kSocketBufferBytes = 0x40000;

// Running out of descriptors or kernel memory leaves the connection in the backlog, so the
// listening socket stays readable: accepting again at once would only fail again.
bool IsResourceShortage(int errorCode) {
    return errorCode == EMFILE || errorCode == ENFILE || errorCode == ENOBUFS ||
           errorCode == ENOMEM;
}

}  // namespace

ConnectionServer::ConnectionServer(PlatformServices* services) : m_services(services) {}

ConnectionServer::~ConnectionServer() {
    Close();
}

void ConnectionServer::SetOwner(ConnectionEventSink* owner) {
    MutualExclusionLock lock(m_lock);
    m_owner = owner;
}

bool ConnectionServer::Listen(const char* localAddress, int32_t& port) {
    Close();
    bool closed = false;
    {
        MutualExclusionLock lock(m_lock);
        closed = m_services == nullptr;
    }
    if (closed) {
        // Close forgot the services and the owner: a server is not reopened.
        ReportFailure("listen to socket", EINVAL);
        return false;
    }
    if (port < 0 || port > 0xFFFF) {
        ReportFailure("bind a TCP server socket", EINVAL);
        return false;
    }
    platform::SocketAddressV4 local;
    local.port = static_cast<uint16_t>(port);
    if (localAddress != nullptr && localAddress[0] != '\0' &&
        !platform::ParseDottedAddress(localAddress, local.address)) {
        ReportFailure("bind a TCP server socket", EADDRNOTAVAIL);
        return false;
    }

    int errorCode = 0;
    const int socket = platform::CreateTcpSocket(errorCode);
    if (socket == platform::kInvalidSocket) {
        ReportFailure("create a TCP server socket", errorCode);
        return false;
    }
    // Each failing step closes the socket again: a failed Listen leaves nothing open.
    const auto fail = [&](const char* step) {
        platform::CloseSocket(socket);
        ReportFailure(step, errorCode);
        return false;
    };
    // A restarted node must be able to listen again on its port while connections of
    // its previous run are still in TIME_WAIT.
    platform::SetReuseAddress(socket, true);
    if (!platform::BindSocket(socket, local, errorCode)) {
        return fail("bind a TCP server socket");
    }
    if (!platform::ListenSocket(socket, kListenBacklog, errorCode)) {
        return fail("listen to socket");
    }
    int32_t boundPort = port;
    if (port == 0) {
        platform::SocketAddressV4 bound;
        if (!platform::GetSocketName(socket, bound, errorCode)) {
            return fail("get TCP server port number");
        }
        boundPort = bound.port;
    }

    MutualExclusionLock lock(m_lock);
    m_port.store(boundPort, std::memory_order_relaxed);
    m_pausedUntil.store(0, std::memory_order_relaxed);
    m_socket.store(socket, std::memory_order_release);
    port = boundPort;
    return true;
}

void ConnectionServer::Close() {
    PlatformServices* services = nullptr;
    int socket = platform::kInvalidSocket;
    {
        MutualExclusionLock lock(m_lock);
        socket = m_socket.load(std::memory_order_relaxed);
        if (socket != platform::kInvalidSocket) {
            services = m_services;
            m_services = nullptr;
            m_owner = nullptr;
            m_socket.store(platform::kInvalidSocket, std::memory_order_release);
            m_port.store(-1, std::memory_order_relaxed);
        }
    }
    if (socket != platform::kInvalidSocket) {
        CloseSocket(services, socket);
    }
    // The owner may let go of itself once this returns: no hand-over to it may still run.
    m_callouts.WaitForOtherThreads();
}

void ConnectionServer::CloseSocket(PlatformServices* services, int socket) {
    // The registration is found by the handler itself, so it goes although the socket
    // field is already cleared. The descriptor is closed after that, so that no later turn
    // polls a number the system may already have given to a new socket.
    if (services != nullptr) {
        if (SocketHandlerManager* loop = services->GetSocketHandlerManager()) {
            loop->RemoveHandler(this);
        }
    }
    platform::CloseSocket(socket);
}

int32_t ConnectionServer::GetPort() {
    return m_port.load(std::memory_order_relaxed);
}

uint32_t ConnectionServer::GetWaitEvents() {
    if (m_socket.load(std::memory_order_acquire) == platform::kInvalidSocket) {
        return 0;
    }
    const uint64_t pausedUntil = m_pausedUntil.load(std::memory_order_relaxed);
    if (pausedUntil != 0) {
        if (platform::MonotonicNanoseconds() < pausedUntil) {
            return 0;
        }
        m_pausedUntil.store(0, std::memory_order_relaxed);
    }
    return kWaitInput;
}

int ConnectionServer::GetSocket() {
    return m_socket.load(std::memory_order_acquire);
}

intptr_t ConnectionServer::HandleInput() {
    // One callout for the whole batch: a Close on another thread waits until the
    // connections taken so far have reached the owner.
    CalloutTracker::Callout callout;
    for (int taken = 0; taken < kMostAcceptsPerTurn; ++taken) {
        platform::SocketAddressV4 peer;
        int errorCode = 0;
        int accepted = platform::kInvalidSocket;
        PlatformServices* services = nullptr;
        ConnectionEventSink* owner = nullptr;
        {
            // Held across the accept so that a Close on another thread cannot close the
            // descriptor (and the system hand its number to a new socket) in between.
            MutualExclusionLock lock(m_lock);
            const int socket = m_socket.load(std::memory_order_relaxed);
            if (socket == platform::kInvalidSocket) {
                break;
            }
            accepted = platform::AcceptSocket(socket, peer, errorCode);
            services = m_services;
            owner = m_owner;
            callout.Enter(m_callouts);
        }
        if (accepted == platform::kInvalidSocket) {
            if (errorCode == EAGAIN || errorCode == EWOULDBLOCK) {
                break;  // the backlog is empty
            }
            if (IsResourceShortage(errorCode)) {
                m_pausedUntil.store(platform::MonotonicNanoseconds() + kAcceptPauseNanoseconds,
                                    std::memory_order_relaxed);
            }
            ReportFailure("accept socket", errorCode);
            break;
        }
        HandOver(accepted, peer, services, owner);
    }
    return 0;
}

void ConnectionServer::HandOver(int accepted, const platform::SocketAddressV4& peer,
                                PlatformServices* services, ConnectionEventSink* owner) {
    if (services == nullptr) {
        // Nothing could drive the connection: refuse it rather than keep it unheard.
        platform::CloseSocket(accepted);
        return;
    }
    std::string peerText = platform::FormatDottedAddress(peer.address);
    if (peerText.empty()) {
        peerText = "unknown";
    }
    // Results ignored: a connection without them still works, only slower.
    platform::SetKeepAlive(accepted, true);
    platform::SetSendBufferSize(accepted, kSocketBufferBytes);
    platform::SetReceiveBufferSize(accepted, kSocketBufferBytes);
    platform::SetNoDelay(accepted, true);
    // From Attach on, the wait loop's registration (and whatever the owner keeps) holds
    // the connection; without either, this reference is the last and closes the socket.
    RefPtr<ReliableConnection> connection(new RefCountedObject<ReliableConnection>(services));
    connection->Attach(accepted, peerText.c_str(), peer.port, owner);
}

void ConnectionServer::ProcessInput(intptr_t) {}

void ConnectionServer::HandleOutput() {}

void ConnectionServer::HandleError() {}

void ConnectionServer::ReportFailure(const char* step, int errorCode) {
    m_lastSocketError.store(errorCode, std::memory_order_relaxed);
    ReportSocketFailure(step, errorCode);
}

}  // namespace qav
