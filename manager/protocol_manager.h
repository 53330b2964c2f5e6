// The protocol manager: owner of the main scheduler and of the polling thread that runs
// its jobs and the socket wait loop, the intake of connection events and datagrams, and
// the owner of the connection set and of the network packets manager (the server roles'
// datagram listening and TCP server, the local addresses and their "Network Changes
// Test" job). (Only this core of the manager exists so far: until connections have their
// contexts, the intakes log what arrives to the manager's log sink and count it.)
//
// Lifetime: the manager is reference counted. Its polling thread object holds a
// reference to it from the first StartPollingThreads on, so such a manager lives until
// ReleaseAllResources stops the thread: call it before dropping your last reference (it
// may be called on the polling thread too, even by a job holding the last reference).
// A manager never started, or released, is destroyed by its last Release, on whichever
// thread that is.
//
// Typical usage:
//   RefPtr<ProtocolManager> manager(new ProtocolManager);
//   manager->StartPollingThreads(&socketWaitLoop, 1);
//   ...
//   manager->ReleaseAllResources();
//   manager.Reset();
//
// Threads: any thread may call anything. ReleaseAllResources on the polling thread
// itself (from a job) does not wait for that thread, which ends when the job returns.
#pragma once

#include <atomic>
#include <cstdint>

#include "connection/binary_packet.h"
#include "connection/connection_set.h"
#include "core/mutual_exclusion.h"
#include "core/polling_thread.h"
#include "core/ref_counted.h"
#include "core/scheduler.h"
#include "core/waiter.h"
#include "network/connection_event_sink.h"
#include "network/packet_sink.h"
#include "routing/network_packets_manager.h"

namespace qav {

class MessageLogger;

class ProtocolManager : public RefCountedObject<PollingThreadOwner>,
                        public ConnectionEventSink,
                        public PacketSink {
  public:
    static constexpr const char* kPollingThreadName = "QAV Polling";
    // Packets lent to the listeners at once; past that a listener receives into its own
    // buffer.
    static constexpr size_t kMaxLentPackets = 1024;

    ProtocolManager();

    // The main scheduler, with a reference.
    RefPtr<Scheduler> GetScheduler() override;

    // Starts `count` OS threads on the manager's one polling thread object, made on first
    // use. When the object is not running yet it gets this manager as its owner and, when
    // `waiter` is not null, the waiter (which must outlive the threads). Returns how many
    // started; 0 once the release of all resources has begun.
    int StartPollingThreads(Waiter* waiter, int count);

    // Sets the stopping flag, takes the network changes test out of the scheduler, closes
    // the servers and listeners, disconnects every context of the connection set, then
    // stops the polling thread and waits for it to end (bounded, not on the polling thread
    // itself), which also drops its reference to this manager. Later calls only wait for
    // the thread again, so that one from another thread after a release made by a job
    // returns once the thread has ended.
    void ReleaseAllResources();

    // Results of StartServerRoles.
    static constexpr int32_t kServerRolesStarted = 0;
    static constexpr int32_t kDatagramListeningFailed = 1;
    static constexpr int32_t kTcpServerFailed = 2;
    static constexpr int32_t kServerRolesStopping = 3;
    // The server roles on `services`: datagram listening on `udpPort` (by default one
    // listener per local address, see NetworkPacketsManager), then, when that worked, the
    // TCP server on `tcpPort`, which becomes the receiver entry's main server; when the
    // server fails the listening is undone. Port 0 asks the system for one and is then
    // written back (the UDP port only for a default listener). Datagrams and connection
    // events come to this manager. Both end with ReleaseAllResources.
    int32_t StartServerRoles(PlatformServices* services, int32_t& udpPort, int32_t& tcpPort);

    // Set first by ReleaseAllResources; nothing new is started while it is set.
    bool IsStopping() const { return m_stopping.load(std::memory_order_acquire); }
    // The OS threads started so far.
    int32_t GetStartedThreadCount() const {
        return m_startedThreadCount.load(std::memory_order_relaxed);
    }
    // The polling thread object, with a reference; null before the first start and after
    // the release.
    RefPtr<PollingThread> GetPollingThread();

    // Where the intakes and the network packets manager report. Null: nowhere. Returns
    // once no call into the sink set before is in progress, so that its owner may then
    // free it.
    void SetLogSink(MessageLogger* logSink) { m_networkPacketsManager.SetLogSink(logSink); }

    // The contexts of the manager's connections.
    ConnectionSet& GetConnectionSet() { return m_connectionSet; }
    // The datagram receivers and local addresses of the manager's platforms.
    NetworkPacketsManager& GetNetworkPacketsManager() { return m_networkPacketsManager; }

    // ConnectionEventSink. Connected (1) and accepted (5) count as a connection; on data
    // (2) everything readable is taken from the connection, so that the wait loop does not
    // wake again for the same bytes.
    int32_t ManageConnectionProtocol(bool incoming, const char* connectionName,
                                     const char* peerAddress, int32_t peerPort,
                                     const char* localAddress, int32_t localPort,
                                     ConnectionStream* connection, int32_t eventKind,
                                     PlatformServices* services) override;
    // PacketSink: counts the datagram and gives its packet back.
    void ProcessPacket(DatagramListener* listener, PlatformServices* services,
                       const char* senderAddress, int32_t senderPort, const uint8_t* data,
                       size_t length, LentPacketBuffer* packet) override;
    // Lends a packet of the manager's pool (capacity lowered to its buffer size).
    BinaryPacket* AllocatePacketBuffer(uint8_t** buffer, size_t& capacity) override;

    // What the intakes have taken so far: connections that came up, datagrams, and bytes
    // of connections and datagrams together.
    uint64_t GetConnectionCount() const {
        return m_connectionCount.load(std::memory_order_relaxed);
    }
    uint64_t GetDatagramCount() const { return m_datagramCount.load(std::memory_order_relaxed); }
    uint64_t GetReceivedByteCount() const {
        return m_receivedByteCount.load(std::memory_order_relaxed);
    }
    BinaryPacketsPool& GetPacketPool() { return *m_packetPool; }

  protected:
    ~ProtocolManager() override;

  private:
    void StopPollingThread();

    MutualExclusion m_mutex;
    RefPtr<Scheduler> m_scheduler;          // guarded by m_mutex
    RefPtr<PollingThread> m_pollingThread;  // guarded by m_mutex
    // Kept after the stop, so that a release after one made on the polling thread itself
    // (which cannot wait for its own thread) still waits for the thread to end.
    RefPtr<PollingThread> m_stoppedPollingThread;  // guarded by m_mutex
    std::atomic<bool> m_stopping{false};
    std::atomic<int32_t> m_startedThreadCount{0};

    const RefPtr<BinaryPacketsPool> m_packetPool;
    std::atomic<uint64_t> m_connectionCount{0};
    std::atomic<uint64_t> m_datagramCount{0};
    std::atomic<uint64_t> m_receivedByteCount{0};

    ConnectionSet m_connectionSet;
    // Last, so that it goes first: its listeners and servers deliver to this manager
    // until they are stopped.
    NetworkPacketsManager m_networkPacketsManager;
};

}  // namespace qav
