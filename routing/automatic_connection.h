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
// back together.
//
// The back-off belongs to the address that failed, in both modes: each address keeps its
// own delay and its own retry time, and an address that has not failed is never held back
// by another that has. A failed attempt of an address makes that address wait. So does a
// path of it that stayed up less than kMinimumPathLifetime and ended on its own (its peer,
// its keep-alive, a disconnection of its context): it counts as a failed attempt of its
// address. A path that lived longer starts its address's back-off again. A path that this
// object ended (replaced by a better one, its address lost) says nothing of its address:
// a short one leaves the back-off as it was. Once no path is left (without all paths),
// the local addresses are replayed at once: every address not waiting for its own
// back-off is tried, and the node is offline no longer than that connect takes. An
// address that waits is retried on its own when its time comes (while a path is up
// without all paths, only an address better than that path), and a better one may take
// over again when it connects. When every address waits, the replay is logged as a retry
// due when the first one's back-off has passed. A retry opens its own address alone, and
// not while that address's attempt is under way. A replay or retry asked for sooner than
// the one waiting moves it earlier, never later.
//
// The state observer is told of every path that connects and, exactly once, of its end,
// in the order the changes happened, whichever threads made them.
//
// Threads: Start, SetConnectionParameters, SetMonitorLink and Disconnect from any thread;
// everything else runs on the polling thread (socket events, the network changes job and
// the jobs it schedules), except the end of a context, which comes on whichever thread
// disconnected it. Because of those, the state is guarded by the object's own lock,
// which is never held while it calls out. The observer's calls are queued under the lock
// and made by one thread at a time, without it. Every entry point holds a reference to
// the object while it runs.
//
// Disconnect and the observer: when Disconnect returns, the observer has heard every
// change, its own "down"s included, and is never called again; what it writes to may be
// freed then. If another thread is making the observer's calls, Disconnect waits until
// that thread has made them all. Called from inside the observer's own call, Disconnect
// does not wait: its "down"s are heard once that call returns. Hence the rule for
// observers: an observer must not wait for a thread that may be calling Disconnect on
// the same connection (by joining it, or by taking a lock that thread holds while it
// calls Disconnect): that thread waits for the observer's call to end, and neither goes
// on.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "connection/automatic_connection_links.h"
#include "connection/connection_context.h"
#include "core/event.h"
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
class Scheduler;

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

    // For tests only: nothing in the system calls these, and nothing may decide by them,
    // since what they answer may change as soon as the lock is let go. The delay of the
    // replay job now scheduled, in microseconds (-1 when none is); the contexts opened
    // and not yet connected; the addresses with a back-off of their own.
    int64_t GetScheduledReplayDelay() const;
    size_t GetPendingCount() const;
    size_t GetAddressRetryCount() const;

    // An address whose attempt failed is tried again after this delay, doubled each time
    // up to kLongestRetryDelay; so is a replay that opens nothing while nothing is
    // connected and no address waits for its own back-off. An address's back-off starts
    // again from the first delay once its path has stayed up kMinimumPathLifetime.
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
        WString interfaceName;
        int32_t interfaceType = 0;
    };
    // A context opened and not yet connected.
    struct Attempt {
        RefPtr<ConnectionContext> context;
        int32_t priority = -1;
        int64_t startedAt = 0;  // microseconds of the time base
        std::string address;
    };
    // The back-off of one address: of every address that failed or had a path.
    struct AddressRetry {
        // Not due: the address's attempt is under way, or its path is up.
        static constexpr int64_t kNotDue = INT64_MAX;

        int32_t priority = -1;
        WString interfaceName;
        int32_t interfaceType = 0;
        int64_t nextDelay = kFirstRetryDelay;
        int64_t dueAt = 0;  // microseconds of the time base, or kNotDue
    };
    // A path taken out of the containers under the lock, finished without it.
    struct EndedPath {
        RefPtr<ConnectionContext> context;
        std::string localAddress;
        int32_t priority = -1;
    };
    // A change for the observer, queued in the order the changes were made.
    struct StateChange {
        RefPtr<ConnectionStateObserver> observer;
        RefPtr<ConnectionContext> context;
        std::string localAddress;
        int32_t priority = -1;
        bool connected = false;
    };
    // One of the two jobs: its token while one is scheduled (0: none) and when it is due.
    struct JobSlot {
        uint32_t token = 0;
        int64_t dueAt = 0;  // microseconds of the time base
    };
    // A job claimed for a slot under the lock, placed in the scheduler without it.
    struct ClaimedJob {
        uint32_t token = 0;
        uint32_t moved = 0;  // the later job it replaces; 0: none
        int64_t delay = 0;   // microseconds
    };

    RefPtr<AutomaticConnectionHost> GetHost() const;
    static int64_t Now();
    // HandleNewInterface; `dueRetry` when the address's own retry is due, which then opens
    // it although its retry time has not moved on yet. True when a context was opened.
    bool OpenAddress(PlatformServices* services, const WString& interfaceName,
                     int32_t interfaceType, int32_t priority, const std::string& address,
                     bool dueRetry);
    // Tells every present local address to HandleNewInterface; when that opened nothing
    // and nothing is connected, a retry follows.
    void ReplayLocalAddresses();
    // Schedules the replay job, unless one that runs no later is waiting or the object is
    // disconnected; a later one is moved. `retry`: when the first address waiting for its
    // own back-off is due, or, when none waits, after the replays' back-off (which then
    // grows); else at once.
    bool ScheduleReplay(bool retry);
    // Schedules the job of the attempts for the next thing it has to do: look at the
    // contexts that connect a period from now, open an address whose retry is due. A job
    // that runs no later is left alone, a later one is moved.
    void ScheduleAttemptCheck();
    // Makes `slot` a new job due at `dueAt`, unless one that runs no later is there.
    // REQUIRES: m_mutex held.
    bool ClaimJobLocked(JobSlot& slot, int64_t dueAt, ClaimedJob& claimed);
    // Puts the claimed job of `kind` into the scheduler and takes the one it replaces out;
    // false when the object was disconnected meanwhile.
    bool PlaceJob(Scheduler& scheduler, uint32_t kind, const ClaimedJob& claimed);
    // The jobs' runs (polling thread).
    void RunJob(uint32_t token, uint32_t kind);
    void RunReplayJob();
    void RunAttemptCheck();
    // A context of this object ended without being dropped by it (its handling of
    // HandleConnectionStateChange with false).
    void HandleContextEnded(ConnectionContext* context);
    // The observer hears of the changes queued so far; the ended paths are disconnected
    // through the set, unless they left it already.
    void EndPaths(const std::vector<EndedPath>& paths, ConnectionSet* set);
    // What follows the end of paths: without all paths, once none is left, a replay at
    // once; with all paths the retries of their addresses, set when they were taken.
    void FollowEndedPaths(const std::vector<EndedPath>& paths, bool nowEmpty);
    // Takes the path of `context` out of the containers, whatever ended it; false when it
    // is not a path. This is where a path's age is judged, for its address alone: a long
    // one starts the back-off again; a short one is a failed attempt when `judged` (it
    // ended on its own, not by this object). Its address's retry is set. The path loses
    // its manager link; the observer's "down" is left to the caller.
    // REQUIRES: m_mutex held.
    bool TakePathLocked(ConnectionContext* context, int64_t now, bool judged, EndedPath& taken);
    // Takes the attempt of `id` out; null when there is none. REQUIRES: m_mutex held.
    RefPtr<ConnectionContext> TakeAttemptLocked(int32_t id);
    // Takes out an attempt that is dropped, not failed: its address is not retried for it.
    // REQUIRES: m_mutex held.
    RefPtr<ConnectionContext> DropAttemptLocked(int32_t id);
    // Whether the job of the attempts opens the address when its retry is due: with all
    // paths always; without, while no path is up, or for an address better than the
    // paths that are up. REQUIRES: m_mutex held.
    bool IsRetryInForceLocked(const AddressRetry& retry) const;
    // Queues the observer's call for a change. REQUIRES: m_mutex held.
    void QueueStateChangeLocked(const RefPtr<ConnectionContext>& context,
                                const std::string& localAddress, int32_t priority, bool connected);
    // Makes the queued calls, in order, unless another thread is making them.
    void DeliverStateChanges();
    // Makes the queued calls, or waits until the thread making them has made them all;
    // returns at once on that thread itself (a call from inside the observer).
    void DeliverAllStateChanges();
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
    // The addresses with a back-off of their own, by local address.
    std::map<std::string, AddressRetry> m_addressRetries;
    int32_t m_currentPriority = -1;
    bool m_started = false;
    bool m_disconnected = false;
    // Counts the contexts whose connect started, so that a replay sees what it opened.
    uint64_t m_openedCount = 0;
    // The replay job, the delay it was scheduled with and its kind.
    JobSlot m_replayJob;
    int64_t m_jobDelay = -1;
    bool m_jobIsRetry = false;
    // The back-off of replays that find no address to wait for, and the retries counted
    // since a path last lived long.
    int64_t m_retryDelay = kFirstRetryDelay;
    int32_t m_retryAttempt = 0;
    // The job of the attempts and the address retries.
    JobSlot m_checkJob;
    // The observer's calls not yet made, and the thread making them (0: none).
    std::deque<StateChange> m_stateChanges;
    uint32_t m_deliveringThread = 0;
    // Reset while a thread makes the calls, set when it has made them all. Not guarded
    // (waited on without the lock); set and reset under it.
    Event m_deliveriesDone;
};

// The concrete, reference-counted automatic connection.
class SharedAutomaticConnection final : public RefCountedObject<AutomaticConnection> {
  public:
    using RefCountedObject<AutomaticConnection>::RefCountedObject;
};

}  // namespace qav
