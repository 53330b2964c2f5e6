// The protocol manager: owner of the main scheduler and of the polling thread that runs
// its jobs and the socket wait loop, the intake of connection events and datagrams, and
// the owner of the connection set, of the network packets manager (the server roles'
// datagram listening and TCP server, the local addresses and their "Network Changes
// Test" job), of the automatic connections it creates (to a main server, to a reference
// server, for a social-network request), of the stream maps and of the connection handle
// registry. Each connection that comes up gets its connection context in the set (an
// outgoing one made by an automatic connection is found by its transport) and each one
// that goes is taken out; data are read and counted but not yet interpreted.
//
// Lifetime: the manager is reference counted. Its polling thread object holds a
// reference to it from the first StartPollingThreads on, and each automatic connection
// from its start, so such a manager lives until ReleaseAllResources disconnects them and
// stops the thread: call it before dropping your last reference (it may be called on the
// polling thread too, even by a job holding the last reference). A manager never
// started, or released, is destroyed by its last Release, on whichever thread that is.
//
// Typical usage:
//   RefPtr<ProtocolManager> manager(new ProtocolManager);
//   manager->StartPollingThreads(&socketWaitLoop, 1);
//   manager->StartServerRoles(&services, udpPort, tcpPort);
//   manager->StartMainServerConnection(&services, "192.0.2.7", &identification, observer);
//   ...
//   manager->ReleaseAllResources();
//   manager.Reset();
//
// Threads: any thread may call anything. ReleaseAllResources on the polling thread
// itself (from a job) does not wait for that thread, which ends when the job returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "connection/binary_packet.h"
#include "connection/connection_handle_registry.h"
#include "connection/connection_set.h"
#include "core/mutual_exclusion.h"
#include "core/polling_thread.h"
#include "core/ref_counted.h"
#include "core/scheduler.h"
#include "core/waiter.h"
#include "network/connection_event_sink.h"
#include "network/packet_sink.h"
#include "records/monitor_identification.h"
#include "routing/automatic_connection.h"
#include "routing/automatic_connection_host.h"
#include "routing/connection_state_observer.h"
#include "routing/network_packets_manager.h"
#include "webserver/guest_monitor_channels_map.h"
#include "webserver/stream_key.h"
#include "webserver/streams_map.h"

namespace qav {

class MessageLogger;

class ProtocolManager : public RefCountedObject<PollingThreadOwner>,
                        public ConnectionEventSink,
                        public PacketSink,
                        public AutomaticConnectionHost {
  public:
    static constexpr const char* kPollingThreadName = "QAV Polling";
    // Packets lent to the listeners at once; past that a listener receives into its own
    // buffer.
    static constexpr size_t kMaxLentPackets = 1024;

    static constexpr int32_t kDefaultDisconnectionTime = 60;  // seconds
    static constexpr int32_t kMainServerTcpPort = 12654;
    static constexpr int32_t kMainServerUdpPort = 12655;
    static constexpr int32_t kReferenceServerFormat = 4;
    static constexpr int32_t kSocialNetworkFormat = 6;
    static constexpr int32_t kSocialNetworkPort = 80;

    ProtocolManager();

    // The main scheduler, with a reference.
    RefPtr<Scheduler> GetScheduler() override;

    // Starts `count` OS threads on the manager's one polling thread object, made on first
    // use. When the object is not running yet it gets this manager as its owner and, when
    // `waiter` is not null, the waiter (which must outlive the threads). Returns how many
    // started; 0 once the release of all resources has begun.
    int StartPollingThreads(Waiter* waiter, int count);

    // Sets the stopping flag, disconnects the automatic connections, takes the network
    // changes test out of the scheduler, closes the servers and listeners, disconnects
    // every context of the connection set, then stops the polling thread and waits for it
    // to end, which also drops its reference to this manager. The wait has no limit (a
    // handler still running would otherwise be left with a freed waiter): while it lasts,
    // "Waiting for the polling thread to end" is logged every 5 s. On the polling thread
    // itself it waits for none. Later calls only wait for the thread again, so that one
    // from another thread after a release made by a job returns once the thread has ended.
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

    // ---- Automatic connections ------------------------------------------------------------

    // Whether automatic connections can follow the local addresses of `services`: the
    // platform has a network interfaces list and every local address has a datagram
    // receiver, either its own (per-address listening) or the default listener of the
    // server role bound to the wildcard address, which receives on every local address.
    bool CanFollowLocalAddresses(PlatformServices* services);

    // The connection to the main server `address` (dotted text or a name) over TCP, with
    // the default connection format and the all-paths setting; each new context sends
    // `identification` (null: none) once connected, and `observer` (null: none) is told
    // of each path that connects or goes. Null, logged, when the manager is stopping or
    // cannot follow the local addresses of `services`.
    RefPtr<AutomaticConnection> StartMainServerConnection(
        PlatformServices* services, const char* address,
        const MonitorIdentification* identification, ConnectionStateObserver* observer,
        int32_t tcpPort = kMainServerTcpPort, int32_t udpPort = kMainServerUdpPort);
    // The connection to a reference server on `tcpPort`.
    RefPtr<AutomaticConnection> StartReferenceServerConnection(PlatformServices* services,
                                                               const char* address,
                                                               int32_t tcpPort);
    // The connection of a social-network broadcast request to `address` on port 80;
    // `tcpContextWord` goes into each of its contexts.
    RefPtr<AutomaticConnection> StartSocialNetworkRequest(PlatformServices* services,
                                                          const char* address,
                                                          int32_t tcpContextWord);
    // Disconnects one of the manager's automatic connections and lets go of it; false when
    // it is not the manager's (any more).
    bool DisconnectAutomaticConnection(AutomaticConnection* connection);
    // The automatic connections started and not yet disconnected.
    size_t GetAutomaticConnectionCount();

    // ---- Settings -------------------------------------------------------------------------

    // Seconds of silence after which a connection is given up (60 by default).
    void SetDisconnectionTime(int32_t seconds) { m_disconnectionTime.store(seconds); }
    int32_t GetDisconnectionTime() const override { return m_disconnectionTime.load(); }
    // Automatic connections started afterwards use every local address at once.
    void SetAllPaths(bool allPaths) { m_allPaths.store(allPaths); }
    bool GetAllPaths() const { return m_allPaths.load(); }
    // The connection format of the main-server connections started afterwards.
    void SetDefaultConnectionFormat(int32_t format) { m_defaultConnectionFormat.store(format); }
    int32_t GetDefaultConnectionFormat() const { return m_defaultConnectionFormat.load(); }

    // ---- Streams ---------------------------------------------------------------------------

    StreamsMap& GetStreamsMap() override { return m_streamsMap; }
    GuestMonitorChannelsMap& GetGuestMonitorChannelsMap() override {
        return m_guestMonitorChannels;
    }
    // The context (by id) of the device that serves the stream; 0 forgets it.
    void SetStreamDeviceContext(const StreamKey& key, int32_t contextId);
    // Builds a Stop Streaming device command, sends it on the stream's device context when
    // one is known and listed, and logs "Stop Streaming" with the key in any case.
    void SendStopStreamingCommand(const StreamKey& key) override;

    // ---- Registries ------------------------------------------------------------------------

    // Handles of the manager's connection contexts; a context's handle goes when its
    // connection does.
    ConnectionHandleRegistry& GetConnectionHandleRegistry() { return m_handleRegistry; }

    // Set first by ReleaseAllResources; nothing new is started while it is set.
    bool IsStopping() const override { return m_stopping.load(std::memory_order_acquire); }
    // The OS threads started so far.
    int32_t GetStartedThreadCount() const {
        return m_startedThreadCount.load(std::memory_order_relaxed);
    }
    // The polling thread object, with a reference; null before the first start and after
    // the release.
    RefPtr<PollingThread> GetPollingThread();

    // Where the intakes, the automatic connections and the network packets manager report.
    // Null: nowhere. Returns once no call into the sink set before is in progress, so that
    // its owner may then free it.
    void SetLogSink(MessageLogger* logSink) { m_networkPacketsManager.SetLogSink(logSink); }
    RefPtr<LogSinkLink> GetLogSinkLink() override {
        return &m_networkPacketsManager.GetLogSinkLink();
    }

    // The contexts of the manager's connections.
    ConnectionSet& GetConnectionSet() override { return m_connectionSet; }
    // The datagram receivers and local addresses of the manager's platforms.
    NetworkPacketsManager& GetNetworkPacketsManager() override { return m_networkPacketsManager; }
    ConnectionEventSink* GetConnectionEventSink() override { return this; }

    // ConnectionEventSink. Connected (1) and accepted (5) count as a connection: the
    // context of an accepted connection (or of an outgoing one that no context made) is
    // made and listed, an outgoing context is found by its transport, and on 1 the context
    // is told it is connected; an automatic outgoing context then sends its
    // identification. On data (2) up to 64 KiB are taken from the connection, so that one
    // peer cannot hold the polling thread. Closed (4) invalidates the context, tells it it
    // is gone and takes it out of the set.
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
    // Makes, starts and keeps an automatic connection (see StartMainServerConnection).
    RefPtr<AutomaticConnection> StartAutomaticConnection(
        const char* kind, PlatformServices* services, const AutomaticConnectionTarget& target,
        const MonitorIdentification* identification, ConnectionStateObserver* observer);
    void DisconnectAutomaticConnections();
    // The context of a connection that came up with no context yet.
    RefPtr<ConnectionContext> MakeConnectionContext(const char* peerAddress, int32_t peerPort,
                                                    const char* localAddress,
                                                    ConnectionStream* connection,
                                                    PlatformServices* services);
    void HandleConnectionUp(bool incoming, const char* peerAddress, int32_t peerPort,
                            const char* localAddress, ConnectionStream* connection,
                            int32_t eventKind, PlatformServices* services);
    void HandleConnectionGone(ConnectionStream* connection);

    MutualExclusion m_mutex;
    RefPtr<Scheduler> m_scheduler;          // guarded by m_mutex
    RefPtr<PollingThread> m_pollingThread;  // guarded by m_mutex
    // Kept after the stop, so that a release after one made on the polling thread itself
    // (which cannot wait for its own thread) still waits for the thread to end.
    RefPtr<PollingThread> m_stoppedPollingThread;                     // guarded by m_mutex
    std::vector<RefPtr<AutomaticConnection>> m_automaticConnections;  // guarded by m_mutex
    std::map<StreamKey, int32_t> m_streamDeviceContexts;              // guarded by m_mutex
    std::atomic<bool> m_stopping{false};
    std::atomic<int32_t> m_startedThreadCount{0};
    // The server role's default datagram listener is bound to the wildcard address.
    std::atomic<bool> m_listensOnEveryAddress{false};
    std::atomic<int32_t> m_disconnectionTime{kDefaultDisconnectionTime};
    std::atomic<bool> m_allPaths{false};
    std::atomic<int32_t> m_defaultConnectionFormat{0};

    const RefPtr<BinaryPacketsPool> m_packetPool;
    std::atomic<uint64_t> m_connectionCount{0};
    std::atomic<uint64_t> m_datagramCount{0};
    std::atomic<uint64_t> m_receivedByteCount{0};

    StreamsMap m_streamsMap;
    GuestMonitorChannelsMap m_guestMonitorChannels;
    ConnectionSet m_connectionSet;
    ConnectionHandleRegistry m_handleRegistry;
    // Last, so that it goes first: its listeners and servers deliver to this manager
    // until they are stopped.
    NetworkPacketsManager m_networkPacketsManager;
};

}  // namespace qav
