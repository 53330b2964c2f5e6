// AutomaticConnection: keeps the node connected to one server through the best local
// address, or, with all paths on, through every one. It follows the local addresses of one
// platform: a new address may open a connection context bound to it, a lost one drops the
// context that used it, and when a context connects only the contexts of the best priority
// (the lowest interface rank) stay. While connected, each context asks it which of the
// parallel paths should carry data.
//
// Typical usage (what the protocol manager's creators do):
//   AutomaticConnectionTarget target;
//   target.address = "192.0.2.7";
//   target.tcpPort = 12654;
//   target.udpPort = 12655;
//   RefPtr<AutomaticConnection> connection(
//       new SharedAutomaticConnection(host, services, target, observer));
//   connection->SetConnectionParameters(&identification);
//   connection->Start();   // follows the addresses; the first replay runs as a job
//   ...
//   connection->Disconnect();
//
// Threads: Start, SetConnectionParameters, SetMonitorLink and Disconnect from any thread;
// everything else runs on the polling thread (socket events, the network changes job and
// the replays it schedules). Because Disconnect may meet the polling thread, the state is
// guarded by the object's own lock, which is never held while it calls out. Every entry
// point holds a reference to the object while it runs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "connection/automatic_connection_links.h"
#include "connection/connection_context.h"
#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "records/monitor_identification.h"
#include "routing/address_connections_set.h"
#include "routing/automatic_connection_host.h"
#include "routing/connection_state_observer.h"
#include "routing/monitor_link.h"

namespace qav {

class ConnectionSet;
class PlatformServices;

// What an automatic connection connects to, and how.
struct AutomaticConnectionTarget {
    static constexpr int32_t kTransportTcp = 1;

    std::string address;  // dotted text or a host name
    int32_t tcpPort = 0;
    int32_t udpPort = 0;
    // 1 TCP; any other value a datagram session (0 starts its packet stream at once).
    int32_t transportKind = kTransportTcp;
    int32_t connectionFormat = 0;
    // Every local address gets a context and no priority rule applies.
    bool allPaths = false;
    // Datagram sessions start their stream as a client; TCP contexts get it too.
    bool client = false;
    // Copied into each new TCP context.
    int32_t tcpContextWord = 0;
};

class AutomaticConnection : public ConnectionContextOwner,
                            public AddressConnection,
                            public AutomaticConnectionManager {
  public:
    AutomaticConnection(AutomaticConnectionHost* host, PlatformServices* services,
                        AutomaticConnectionTarget target, ConnectionStateObserver* observer);
    AutomaticConnection(const AutomaticConnection&) = delete;
    AutomaticConnection& operator=(const AutomaticConnection&) = delete;

    // Registers with the host's network packets manager and schedules the first replay of
    // the local addresses as a job on the polling thread. False when the host is stopping
    // or the registration failed.
    bool Start();

    // Replaces the identification sent by each new context (null: none).
    void SetConnectionParameters(const MonitorIdentification* identification);
    // The monitor on whose behalf the connections run (null: none).
    void SetMonitorLink(MonitorLink* monitor);

    // ConnectionContextOwner.
    void HandleConnectionStateChange(ConnectionContext* context, const std::string& localAddress,
                                     int32_t priority, bool connected) override;

    // AddressConnection.
    void Disconnect() override;
    void HandleNewInterface(PlatformServices* services, const WString& interfaceName,
                            int32_t interfaceType, int32_t priority,
                            const std::string& address) override;
    void HandleLostLocalAddress(PlatformServices* services, const WString& interfaceName,
                                int32_t interfaceType, int32_t priority,
                                const std::string& address) override;

    // AutomaticConnectionManager.
    ConnectionContext* GetPreferredConnectionContext(ConnectionContext* ownContext,
                                                     RefPtr<ConnectionContext>& preferred) override;
    double GetAverageQueueStatus() override;
    int64_t GetSmallestOldestQueueDelayTime() override;
    int32_t GetConnectionCount() override;

    // The context chosen among two or more paths (with a reference); null without paths.
    RefPtr<ConnectionContext> GetMostAppropriateConnection();

    // State, for the host and for tests. The current priority is the best of the connected
    // paths, -1 without any.
    int32_t GetCurrentPriority() const;
    std::vector<int32_t> GetConnectionIds() const;
    std::vector<std::string> GetConnectedAddresses() const;

    // The delay of the replay job now scheduled, in microseconds; -1 when none is. Tests.
    int64_t GetScheduledReplayDelay() const;
    // Contexts opened and not yet connected. Tests.
    size_t GetPendingCount() const;

    // A failed connect, or a replay that opens nothing while nothing is connected, tries
    // again after this delay, doubled each time up to kLongestRetryDelay, and back to the
    // first once a context connects.
    static constexpr int64_t kFirstRetryDelay = 1'000'000;     // microseconds
    static constexpr int64_t kLongestRetryDelay = 60'000'000;  // microseconds

  protected:
    virtual ~AutomaticConnection();

    // The transport of a new TCP context: the platform's reliable connection. Tests put
    // their own under it.
    virtual RefPtr<ConnectionStream> CreateTcpStream(PlatformServices* services);

  private:
    friend class AutomaticConnectionJob;

    // A connected context and the priority it connected with.
    struct Path {
        RefPtr<ConnectionContext> context;
        int32_t priority = -1;
    };

    RefPtr<AutomaticConnectionHost> GetHost() const;
    // Tells every present local address to HandleNewInterface; when that opened nothing
    // and nothing is connected, a retry follows.
    void ReplayLocalAddresses();
    // Schedules the replay job, unless one is waiting or the object is disconnected.
    // `retry`: after the back-off delay (which then grows), else at once.
    bool ScheduleReplay(bool retry);
    // The replay job's run (polling thread).
    void RunReplayJob(uint32_t token);
    // The context did not connect: forget it and, while nothing is connected (or with all
    // paths), try again later.
    void HandleFailedConnect(ConnectionContext* context, const std::string& localAddress);
    // Take a context out of the address map, or out of the pending ones, and hand its
    // reference over, so that it is released with the lock let go; null when it is not
    // there. REQUIRES: m_mutex held.
    RefPtr<ConnectionContext> ForgetConnectedLocked(ConnectionContext* context,
                                                    const std::string& localAddress);
    RefPtr<ConnectionContext> TakePendingLocked(int32_t id);
    // The current priority becomes the best of the connected paths, -1 without any.
    // REQUIRES: m_mutex held.
    void UpdateCurrentPriorityLocked();
    // Disconnects, through the set, every context leading to the target whose priority is
    // `priority` or worse, sparing the connected ones of this object. Returns how many.
    int32_t DisconnectByPriority(ConnectionSet& set, int32_t priority);
    // Everything Disconnect does; no reference to the object is taken (the destructor).
    void DisconnectAll();
    void Log(int severity, const char16_t* text, const std::string& localAddress,
             const WString& interfaceName);

    PlatformServices* const m_services;
    const AutomaticConnectionTarget m_target;

    // Guards the fields below. Never held while calling out (contexts, the set, the host,
    // the observer, the log), so that anything called may call back.
    mutable MutualExclusion m_mutex;
    RefPtr<AutomaticConnectionHost> m_host;  // null once disconnected
    RefPtr<ConnectionStateObserver> m_observer;
    std::optional<MonitorIdentification> m_identification;
    RefPtr<MonitorLink> m_monitor;
    // The ids of the contexts counted as connected, and the same contexts by local address.
    std::set<int32_t> m_connectionIds;
    std::map<std::string, Path> m_connectionsByAddress;
    // Contexts opened and not yet connected, by id.
    std::map<int32_t, RefPtr<ConnectionContext>> m_pendingContexts;
    int32_t m_currentPriority = -1;
    bool m_started = false;
    bool m_disconnected = false;
    // Counts the contexts whose connect started, so that a replay sees what it opened.
    uint64_t m_openedCount = 0;
    // The replay job: its token while one is scheduled (0: none), its delay and kind.
    uint32_t m_jobToken = 0;
    int64_t m_jobDelay = -1;
    bool m_jobIsRetry = false;
    int64_t m_retryDelay = kFirstRetryDelay;
    int32_t m_retryAttempt = 0;
};

// The concrete, reference-counted automatic connection.
class SharedAutomaticConnection final : public RefCountedObject<AutomaticConnection> {
  public:
    using RefCountedObject<AutomaticConnection>::RefCountedObject;
};

}  // namespace qav
