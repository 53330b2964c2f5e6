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
// Every attempt ends: a context that has not connected within kAttemptLimit is given up,
// and the transport's own limits (name lookup, connect) are driven once a second while it
// connects. Every end of a context reaches the object, whoever caused it (its peer, the
// set, a lost address), through ConnectionContext::ReportEnded. Failures are slowed by a
// back-off of kFirstRetryDelay doubling to kLongestRetryDelay, each delay spread by
// kJitterPercent either way, so that clients that lost one server together do not come
// back together. A path that stays up less than kMinimumPathLifetime counts as a failed
// attempt; after a longer one the replay runs at once. A better address whose attempt
// failed while a worse path is up is retried on a back-off of its own. The state observer
// is told of every path that connects and, exactly once, of its end.
//
// Threads: Start, SetConnectionParameters, SetMonitorLink and Disconnect from any thread;
// everything else runs on the polling thread (socket events, the network changes job and
// the jobs it schedules), except the end of a context, which comes on whichever thread
// disconnected it. Because of those, the state is guarded by the object's own lock,
// which is never held while it calls out. Every entry point holds a reference to the
// object while it runs.
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
    // Contexts opened and not yet connected, and better addresses waiting for a retry.
    // Tests.
    size_t GetPendingCount() const;
    size_t GetAddressRetryCount() const;

    // A failed attempt, or a replay that opens nothing while nothing is connected, tries
    // again after this delay, doubled each time up to kLongestRetryDelay. The back-off
    // starts again from the first delay once a path has stayed up kMinimumPathLifetime.
    static constexpr int64_t kFirstRetryDelay = 1'000'000;     // microseconds
    static constexpr int64_t kLongestRetryDelay = 60'000'000;  // microseconds
    // Every delay is spread over this share of itself either way.
    static constexpr int64_t kJitterPercent = 20;
    // A path that ends sooner counts as a failed attempt, so that a server that accepts
    // and closes at once is not met by a storm of connects.
    static constexpr int64_t kMinimumPathLifetime = 10'000'000;  // microseconds
    // How often the contexts that connect are looked at, and how long one may take: more
    // than a name lookup and a connect together are allowed (5 s and 20 s).
    static constexpr int64_t kAttemptCheckPeriod = 1'000'000;  // microseconds
    static constexpr int64_t kAttemptLimit = 30'000'000;       // microseconds

    // `delay` spread by kJitterPercent either way by `draw`, a uniform 32-bit number: from
    // 0 (the shortest) to 2^32 - 1 (nearly the longest); 2^31 gives `delay` itself.
    static int64_t JitteredDelay(int64_t delay, uint32_t draw);

  protected:
    virtual ~AutomaticConnection();

    // The transport of a new TCP context: the platform's reliable connection, with
    // keep-alive probes that give up a silent peer within the host's disconnection time.
    // Tests put their own under it.
    virtual RefPtr<ConnectionStream> CreateTcpStream(PlatformServices* services);
    // A uniform 32-bit random number for the jitter of the back-off.
    virtual uint32_t DrawRandom();

  private:
    friend class AutomaticConnectionJob;

    enum JobKind : uint32_t { kReplayJob = 0, kAttemptCheckJob = 1 };

    // A connected context and what it connected with.
    struct Path {
        RefPtr<ConnectionContext> context;
        int32_t priority = -1;
        int64_t connectedAt = 0;  // microseconds of the time base
    };
    // A context opened and not yet connected.
    struct Attempt {
        RefPtr<ConnectionContext> context;
        int32_t priority = -1;
        int64_t startedAt = 0;  // microseconds of the time base
    };
    // The back-off of a better address whose attempt failed while a worse path is up.
    struct AddressRetry {
        int32_t priority = -1;
        int64_t nextDelay = kFirstRetryDelay;
        int64_t dueAt = 0;  // microseconds of the time base
    };
    // A path or an attempt taken out of the containers under the lock, finished without it.
    struct EndedPath {
        RefPtr<ConnectionContext> context;
        std::string localAddress;
        int32_t priority = -1;
        int64_t connectedAt = 0;  // microseconds of the time base; 0 for an attempt
    };

    RefPtr<AutomaticConnectionHost> GetHost() const;
    static int64_t Now();
    // Tells every present local address to HandleNewInterface; when that opened nothing
    // and nothing is connected, a retry follows.
    void ReplayLocalAddresses();
    // Schedules the replay job, unless one is waiting or the object is disconnected.
    // `retry`: after the back-off delay (which then grows), else at once.
    bool ScheduleReplay(bool retry);
    // Schedules the check of the attempts, unless one is waiting or nothing needs it.
    void ScheduleAttemptCheck();
    // The jobs' runs (polling thread).
    void RunJob(uint32_t token, uint32_t kind);
    void RunReplayJob();
    void RunAttemptCheck();
    // A context of this object ended without being dropped by it (its handling of
    // HandleConnectionStateChange with false).
    void HandleContextEnded(ConnectionContext* context);
    // The observer hears of each path's end; the paths lose their manager link and are
    // disconnected through the set, unless they left it already.
    void EndPaths(const std::vector<EndedPath>& paths, ConnectionSet* set);
    // Takes the path of `context` out of the containers; false when it is not a path.
    // REQUIRES: m_mutex held.
    bool TakePathLocked(ConnectionContext* context, EndedPath& taken);
    // Takes the attempt of `id` out; null when there is none. REQUIRES: m_mutex held.
    RefPtr<ConnectionContext> TakeAttemptLocked(int32_t id);
    // The current priority becomes the best of the connected paths, -1 without any.
    // REQUIRES: m_mutex held.
    void UpdateCurrentPriorityLocked();
    // The back-off delay to wait now, with its jitter; the next one doubles.
    // REQUIRES: m_mutex held.
    int64_t TakeRetryDelayLocked(int64_t& nextDelay);
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
    std::map<int32_t, Attempt> m_pendingContexts;
    // Addresses whose attempt failed, by local address: while a worse path is up, each is
    // tried again on its own back-off.
    std::map<std::string, AddressRetry> m_addressRetries;
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
    // The check of the attempts: its token while one is scheduled (0: none).
    uint32_t m_checkToken = 0;
};

// The concrete, reference-counted automatic connection.
class SharedAutomaticConnection final : public RefCountedObject<AutomaticConnection> {
  public:
    using RefCountedObject<AutomaticConnection>::RefCountedObject;
};

}  // namespace qav
