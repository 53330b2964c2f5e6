// The listening TCP socket of a node in the server role. It is driven by the socket wait
// loop: each input readiness accepts the connections waiting in the backlog (up to
// kMostAcceptsPerTurn of them) and wraps each in a ReliableConnection that reports to the
// server's owner (event 1, connected, with the incoming flag set).
// The server itself reports nothing on accept.
//
// Typical usage (what PlatformServices::CreateConnectionServer does):
//   RefPtr<ConnectionServer> server(new RefCountedObject<ConnectionServer>(&services));
//   server->SetOwner(sink);
//   if (!server->Listen(nullptr, port)) { server->Close(); return nullptr; }
//   services.GetSocketHandlerManager()->AddHandler(server.get());
//   ...
//   server->Close();   // leaves the wait loop and closes the socket
//
// A server listens once. Close forgets the services and the owner, so a closed server
// stays closed.
//
// When accepting fails for lack of descriptors or memory, the server waits for nothing for
// about 100 ms instead of being woken again at once by the connection still waiting to be
// accepted: its socket stays registered with the wait loop, disarmed, and the loop asks it
// each turn until it waits for input again.
//
// Threads: SetOwner and Listen before the server is registered; Close, GetPort and
// GetLastSocketError from any thread; the SocketHandler operations on the thread inside
// the wait loop's turn. An accept already under way when Close runs on another thread
// still hands its connection to the owner, and Close returns only once that is done (so
// the owner may go right after it); called from inside the owner's event it does not wait
// for that event. Close must not be called while holding a lock that the owner's
// connected event takes.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/mutual_exclusion.h"
#include "network/callout_tracker.h"
#include "network/socket_handler.h"
#include "platform/socket.h"

namespace qav {

class ConnectionEventSink;
class PlatformServices;

class ConnectionServer : public SocketHandler {
  public:
    // How long the server waits for nothing after running out of descriptors.
    static constexpr int64_t kAcceptPauseNanoseconds = 100'000'000;
    // Connections taken from the backlog in one turn of the wait loop. A turn polls every
    // registered socket, so with many connections held, taking one per turn lets a burst
    // of connects overflow the backlog (and wait for their handshake's retry); the bound
    // keeps one busy listener from holding up the other sockets' events.
    static constexpr int kMostAcceptsPerTurn = 64;

    explicit ConnectionServer(PlatformServices* services);
    ConnectionServer(const ConnectionServer&) = delete;
    ConnectionServer& operator=(const ConnectionServer&) = delete;

    // Who receives the events of the accepted connections (not owned).
    void SetOwner(ConnectionEventSink* owner);

    // Listens on `localAddress` (dotted; null or empty: every local address) and `port`
    // (0: one the system chooses, written back into `port`). On failure the error is kept
    // (GetLastSocketError), reported to the process-wide text logger, no socket stays
    // open, and the result is false. A server listens once: after a Close it refuses.
    bool Listen(const char* localAddress, int32_t& port);

    // Leaves the wait loop, closes the socket and forgets the services and the owner;
    // returns once no hand-over to the owner runs on another thread. A second call closes
    // nothing.
    void Close();

    // The bound port, -1 when not listening.
    int32_t GetPort();
    // The error code of the last failed socket call, 0 when none failed.
    int32_t GetLastSocketError() const { return m_lastSocketError.load(std::memory_order_relaxed); }

    // SocketHandler: input is the only event of a listening socket.
    uint32_t GetWaitEvents() override;
    int GetSocket() override;
    intptr_t HandleInput() override;  // accepts what waits in the backlog; always 0
    void ProcessInput(intptr_t value) override;
    void HandleOutput() override;
    void HandleError() override;  // errors on a listening socket are ignored

  protected:
    virtual ~ConnectionServer();

  private:
    void CloseSocket(PlatformServices* services, int socket);
    // Wraps an accepted socket in a connection that reports to `owner`.
    void HandOver(int accepted, const platform::SocketAddressV4& peer, PlatformServices* services,
                  ConnectionEventSink* owner);
    void ReportFailure(const char* step, int errorCode);

    // Guards the services, the owner and the socket against a Close on another thread
    // while an accept uses them. Never held while calling out.
    MutualExclusion m_lock;
    PlatformServices* m_services;            // guarded by m_lock
    ConnectionEventSink* m_owner = nullptr;  // guarded by m_lock
    // Written under m_lock; read without it by the wait loop's calls.
    std::atomic<int> m_socket{-1};
    std::atomic<int32_t> m_port{-1};
    std::atomic<int32_t> m_lastSocketError{0};
    // Monotonic time (ns) before which the socket is not polled; 0: not paused.
    std::atomic<uint64_t> m_pausedUntil{0};
    // The hand-overs to the owner under way, for Close to wait for.
    CalloutTracker m_callouts;
};

}  // namespace qav
