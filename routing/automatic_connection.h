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
// Threads: Start, SetConnectionParameters and Disconnect from any thread; everything else
// runs on the polling thread (socket events, the network changes job and the replays they
// cause), so the object needs no lock of its own. Every entry point holds a reference to
// the object while it runs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "connection/automatic_connection_links.h"
#include "connection/connection_context.h"
#include "core/ref_counted.h"
#include "records/monitor_identification.h"
#include "routing/address_connections_set.h"
#include "routing/automatic_connection_host.h"
#include "routing/connection_state_observer.h"
#include "routing/monitor_link.h"

namespace qav {

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

    // State, for the host and for tests (polling thread).
    int32_t GetCurrentPriority() const;
    std::vector<int32_t> GetConnectionIds() const;
    std::vector<std::string> GetConnectedAddresses() const;

  protected:
    ~AutomaticConnection() override;

    // The implementer fills in the private part.
};

// The concrete, reference-counted automatic connection.
class SharedAutomaticConnection final : public RefCountedObject<AutomaticConnection> {
  public:
    using RefCountedObject<AutomaticConnection>::RefCountedObject;
};

}  // namespace qav
