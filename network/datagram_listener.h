// The UDP server socket of a node: binds a port, optionally joins a multicast group,
// receives every datagram on the polling thread and hands it to a PacketSink (the
// manager's packet intake) with the sender's address and port. Datagrams are received
// straight into packets the sink lends, so a datagram is copied once; the delivery is
// split from the receive so that the listener's lock is not held while the sink works.
// The listener also makes senders that send from its own socket and port.
//
// Typical usage (PlatformServices::CreateDatagramListener does this):
//   RefPtr<DatagramListener> listener(new RefCountedObject<DatagramListener>(services));
//   listener->SetPacketSink(sink);
//   if (listener->StartListening(u"", "127.0.0.1", 0, true, false))
//       services->GetSocketHandlerManager()->AddHandler(listener.get());
//   ...
//   listener->Disconnect();   // leaves the wait loop and forgets the sink
//
// The sink must stay valid until Disconnect returns; Disconnect waits for a delivery that
// another thread has under way. A socket error restarts
// the listener on the same address and port; it keeps its sink and platform services and
// registers with the wait loop again.
//
// Threads: the socket-handler operations are called by the wait loop (the polling
// thread); everything else from any thread, by a caller that holds a reference (leaving
// the wait loop may drop the loop's one).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "core/wide_text.h"
#include "network/connection_stream.h"
#include "network/receive_slot_pool.h"
#include "network/shared_socket.h"
#include "network/socket_handler.h"

namespace qav {

class DatagramSender;
class PacketSink;
class PlatformServices;

class DatagramListener : public Disconnectable, public SocketHandler {
  public:
    // What the sink is asked to lend, and the size of the listener's own buffer.
    static constexpr size_t kReceiveCapacity = 4096;
    // Datagrams taken off the socket in one turn of the wait loop (dropped ones count).
    // A turn polls every registered socket, so with many connections held, one datagram
    // per turn leaves the rest to overflow the receive buffer, where the system drops
    // them unseen; the bound keeps a flood on this port from holding up the other
    // sockets' events.
    static constexpr int kMostDatagramsPerTurn = 64;

    explicit DatagramListener(PlatformServices* services);

    void SetPacketSink(PacketSink* sink);

    // Opens and binds the socket. `name` is the interface to join the multicast group on
    // (null or empty: every local, wired and wireless interface), `address` the address to
    // bind or, when `broadcast` is set, the group (the bind is then to any address). Port
    // 0 binds a port the system chooses; GetPort tells it. The socket is never left
    // blocking whatever `blocking` says: the wait loop must never stall on it. Failures
    // are reported to the text logger, leave the error in GetLastSocketError and the
    // listener closed. The sink and platform services stay.
    bool StartListening(const WChar* name, const char* address, int32_t port, bool blocking,
                        bool broadcast);

    // Closes the socket, leaves the wait loop and forgets the sink and platform services;
    // returns once no other thread is handing a datagram to the sink (it sleeps until
    // then). The sink may call it from inside a delivery; any other caller must hold no
    // lock that the sink takes while it handles a datagram, or the two wait for each other.
    void Disconnect() override;

    // A sender that sends from this listener's socket; it keeps the socket open after the
    // listener closes. Null when the listener has no socket.
    RefPtr<DatagramSender> CreateSender();

    int32_t GetPort();  // -1 when closed
    std::string GetAddress();
    WString GetName();
    int32_t GetLastSocketError() const { return m_lastSocketError.load(std::memory_order_relaxed); }
    ReceiveSlotPool& GetSlotPool() { return m_slots; }

    // SocketHandler.
    uint32_t GetWaitEvents() override { return kWaitInput; }
    int GetSocket() override { return m_socket.load(std::memory_order_acquire); }
    // Together they take up to kMostDatagramsPerTurn datagrams off the socket, stopping
    // early when it would block, and hand each to the sink in the order received, in its
    // own lent packet when the sink lends one. HandleInput receives the first; it returns
    // its slot index, or -1 when it was delivered (or dropped) at once, and then delivers
    // the rest itself. ProcessInput delivers the slotted one and then the rest.
    intptr_t HandleInput() override;
    void ProcessInput(intptr_t slotIndex) override;
    void HandleOutput() override {}
    void HandleError() override;

  protected:
    virtual ~DatagramListener();

  private:
    bool StartListeningLocked(const WChar* name, const char* address, int32_t port, bool blocking,
                              bool broadcast);
    void JoinMulticastGroups(int socket, uint32_t group, const WChar* name);
    // `detach`: also forget the sink and platform services (not on a restart).
    void CloseSocketLocked(bool detach, bool leaveWaitLoop);
    void ReportFailure(const char* what, int errorCode);
    // Receives one datagram under the lock. The `first` of a turn, in a lent packet, is
    // kept in a slot whose index is returned; else the datagram is delivered (or dropped)
    // at once and the result is -1. `received`: a datagram was taken off the socket, so
    // more may wait.
    intptr_t ReceiveOne(bool first, bool& received);
    // Receives and delivers up to `most` datagrams, until the socket would block.
    void ReceiveMore(int most);
    // Hands a datagram to `sink`; a delivery counted in m_deliveries (from when the sink
    // was read under the lock) is uncounted when the sink has returned.
    void Deliver(PacketSink* sink, PlatformServices* services,
                 const platform::SocketAddressV4& sender, const uint8_t* data, ptrdiff_t count,
                 LentPacketBuffer* packet);

    MutualExclusion m_mutex;  // guards the socket, the receive step and the fields below
    std::atomic<int> m_socket{platform::kInvalidSocket};  // read by the wait loop unlocked
    int32_t m_port = -1;
    std::string m_address;
    WString m_name;
    std::atomic<int32_t> m_lastSocketError{0};
    bool m_blocking = false;
    bool m_broadcast = false;
    RefPtr<SharedSocket> m_sharedSocket;
    PlatformServices* m_services;
    PacketSink* m_sink = nullptr;
    // Deliveries under way to m_sink; Disconnect sleeps on it while it is counted among
    // the waiters.
    std::atomic<uint32_t> m_deliveries{0};
    std::atomic<uint32_t> m_disconnectWaiters{0};
    ReceiveSlotPool m_slots;
    uint8_t m_fallbackBuffer[kReceiveCapacity];
};

}  // namespace qav
