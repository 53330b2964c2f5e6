// NetworkPacketsManager: the protocol manager's keeper of datagram receivers and local
// addresses. For each platform it works with it keeps one NetworkReceiverEntry (the
// default or per-address datagram listeners, the main TCP server, the local addresses and
// the objects that follow them), and its "Network Changes Test" job, every 3 s, rebuilds
// the local addresses of every entry: a new address gets its listener and is announced,
// a lost one has its listener stopped, is announced as lost, and the connection contexts
// bound to it are disconnected.
//
// Typical usage (the protocol manager does this):
//   NetworkPacketsManager packets;
//   packets.SetConnectionSet(&connectionSet);
//   packets.ScheduleNetworkChangesTest(scheduler, NetworkPacketsManager::kTestPeriod);
//   RefPtr<NetworkReceiverEntry> entry = packets.FindOrAddProvider(services);
//   entry->StartDataListeners(nullptr, nullptr, udpPort, sink);
//   ...
//   packets.Shutdown();   // the job goes, every entry is disconnected
//
// The job never runs for a manager that is gone: the destructor takes it out of the
// scheduler and waits for a test that another thread is running. (A manager must not be
// destroyed from inside its own test, by an address connection or a context it calls.)
//
// Threads: any. The manager's lock guards only its map: entries are rebuilt, disconnected
// and released with it let go.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "core/reference_vector.h"
#include "core/scheduler.h"
#include "core/log_sink_link.h"
#include "routing/network_receiver_entry.h"

namespace qav {

class AddressConnection;
class ConnectionSet;
class MessageLogger;
class PlatformServices;

using NetworkEntriesVector = ReferenceVector<NetworkReceiverEntry>;

class NetworkPacketsManager {
  public:
    static constexpr const char* kTestJobName = "Network Changes Test";
    static constexpr int64_t kTestPeriod = 3'000'000;  // microseconds

    NetworkPacketsManager();
    NetworkPacketsManager(const NetworkPacketsManager&) = delete;
    NetworkPacketsManager& operator=(const NetworkPacketsManager&) = delete;
    // Takes the job out of its scheduler (waiting for a test running on another thread)
    // and releases every entry, which disconnects it once nothing else holds it.
    ~NetworkPacketsManager();

    // Copied into entries made afterwards. Null: contexts of lost addresses stay. The set
    // must outlive the manager.
    void SetConnectionSet(ConnectionSet* set) { m_connectionSet.store(set); }
    // Reaches every entry, also those made before. Returns once no call into the sink
    // set before is in progress, so that its owner may then free it.
    void SetLogSink(MessageLogger* sink) { m_log->Set(sink); }
    // The link that the entries log through.
    LogSinkLink& GetLogSinkLink() { return *m_log; }
    // On from construction; copied into entries made afterwards. The protocol manager
    // uses automatic connections only with it on.
    void SetPerAddressListening(bool on) { m_perAddressListening.store(on); }
    bool GetPerAddressListening() const { return m_perAddressListening.load(); }

    // The entry of `services`, made (and its local addresses read) on first demand; null
    // for null services and after Shutdown.
    RefPtr<NetworkReceiverEntry> FindOrAddProvider(PlatformServices* services);
    // The entry of `services`, or null.
    RefPtr<NetworkReceiverEntry> FindEntry(PlatformServices* services);
    // Appends every entry, with a reference.
    void SnapshotEntries(NetworkEntriesVector& entries);
    // Whether some entry has an interfaces list to watch.
    bool HasInterfaceWatch();
    // Drops the map's references to every entry.
    void Clear();

    // (Re)schedules the test `delayMicroseconds` from now, once: a test already waiting is
    // taken out first. Returns the scheduler's result; 0 after Shutdown.
    int ScheduleNetworkChangesTest(Scheduler& scheduler, int64_t delayMicroseconds);
    // The job: the test, then the next one a period later. Polling thread.
    int RunNetworkChangesTestJob(Scheduler& scheduler);
    // Rebuilds the local addresses of every entry; 1 when there was nothing to test, 2
    // when the entries were tested. "Network changes detected" is logged once when any
    // entry changed.
    int32_t TestNetworkChanges();

    // Makes `member` follow the local addresses of `services` (one reference, once).
    bool AddAddressListener(PlatformServices* services, AddressConnection* member);
    // Tells `member` of every present local address of `services`, with no lock held.
    void CallUponLocalAddresses(PlatformServices* services, AddressConnection* member);

    // Disconnects every entry and empties the map: the entries go once nothing else holds
    // them. New entries may be made afterwards.
    void DisconnectAll();
    // The end: no test is scheduled or made again, no entry is made again, and every
    // entry is disconnected.
    void Shutdown();

  private:
    // No test is scheduled again, and the one waiting goes.
    void StopTestJob();
    // Takes every scheduled or running test of this manager out of `scheduler`.
    void RemoveTestJobs(Scheduler& scheduler);

    const RefPtr<LogSinkLink> m_log;
    std::atomic<ConnectionSet*> m_connectionSet{nullptr};
    std::atomic<bool> m_perAddressListening{true};
    // Names this manager in the job's first parameter.
    const uint32_t m_jobId;

    MutualExclusion m_mutex;
    // Keyed by the full pointer; guarded by m_mutex.
    std::map<PlatformServices*, RefPtr<NetworkReceiverEntry>> m_entries;
    bool m_shutDown = false;  // guarded by m_mutex

    // Guards the scheduling of the job, so that a Shutdown cannot fall between a test's
    // check and its rescheduling.
    MutualExclusion m_jobMutex;
    RefPtr<Scheduler> m_scheduler;  // where the job was last scheduled; guarded by m_jobMutex
    bool m_jobStopped = false;      // guarded by m_jobMutex
};

}  // namespace qav
