// NetworkReceiverEntry: what the network packets manager keeps for one platform: the
// node's datagram receivers (one default listener, or one listener per local address),
// the link to the node's main TCP server, and the platform's local addresses
// (NetworkAddressVector) with the objects that follow them.
//
// Per-address mode: the platform has a network interfaces list and the entry was made
// with per-address listening on. Then listening goes to the addresses' own listeners and
// a listen address that is not local is refused; otherwise one default listener serves.
//
// Typical usage (what the protocol manager's server role does):
//   RefPtr<NetworkReceiverEntry> entry = packetsManager.FindOrAddProvider(services);
//   if (entry->StartDataListeners(nullptr, nullptr, udpPort, sink)) { ... }
//   entry->SetMainServer(server);
//   ...
//   entry->DisconnectEntry();   // also what its last release does
//
// Threads: any. The entry's lock guards its default listener, main server and default
// port; listeners and servers are stopped, and address connections called, with no lock
// held.
#pragma once

#include <cstdint>

#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "core/wide_text.h"
#include "core/log_sink_link.h"
#include "routing/network_address_vector.h"

namespace qav {

class ConnectionServer;
class ConnectionSet;
class DatagramListener;
class DatagramSender;
class NetworkInterfacesVector;
class PacketSink;
class PlatformServices;

class NetworkReceiverEntry final : public RefCountedObject<RefCounted> {
  public:
    // Asks `services` (not null) for its interfaces list. `set` (may be null) must outlive
    // the entry; a null `log` logs nowhere.
    NetworkReceiverEntry(PlatformServices* services, bool perAddressListening, ConnectionSet* set,
                         LogSinkLink* log);

    PlatformServices* GetPlatformServices() const { return m_services; }
    // Null when the platform has none.
    NetworkInterfacesVector* GetInterfaces() const { return m_interfaces; }
    NetworkAddressVector& GetAddressVector() { return m_addresses; }
    bool IsPerAddressMode() const { return m_interfaces != nullptr && m_perAddressListening; }

    // Starts datagram listening. A non-empty `listenAddress` (with `interfaceName` when
    // given) that is a local address: that address's listener. Empty in per-address mode:
    // every address's listener from now on; always true, even when none could start.
    // Otherwise (and for an address not local outside per-address mode): the default
    // listener, on `listenAddress` (empty: every address). `port` 0 asks the system for
    // one and then tells it (not for per-address listening: each address has its own).
    bool StartDataListeners(const WChar* interfaceName, const char* listenAddress, int32_t& port,
                            PacketSink* sink);
    // Stops the default listener and, in per-address mode, every address's listener and
    // the listening of addresses found later.
    void StopDataListeners();
    // Makes sure something receives for `address`: true when it has its own listener or a
    // default listener is there; otherwise, outside per-address listening, starts the
    // default listener (on a port the system chooses) and tells whether it started.
    bool FindOrAddPacketsReceiver(const WChar* interfaceName, const char* address,
                                  PacketSink* sink);
    // The port of the address's own listener, else of the default listener, else 0.
    int32_t GetDataListenerPortForAddress(const WChar* interfaceName, const char* address);
    // A sender from the address's listener (per-address listening), else from the default
    // listener; null, logged, when neither is there.
    RefPtr<DatagramSender> CreateSender(const WChar* interfaceName, const char* address);

    // Replaces the main server (null: none); the one replaced is closed.
    void SetMainServer(ConnectionServer* server);

    // Takes `member` out of the address connections; its reference goes.
    bool RemoveAddressListener(AddressConnection* member) {
        return m_addresses.RemoveAddressConnection(member);
    }

    // Closes the main server, stops every listener and ends per-address listening, and
    // disconnects and drops the address connections. The entry may be used again.
    void DisconnectEntry();

  private:
    ~NetworkReceiverEntry() override;

    // Replaces the default listener (null: none) and stops the one it held.
    void ReplaceDefaultListener(RefPtr<DatagramListener> listener, int32_t port);
    RefPtr<DatagramListener> GetDefaultListener();

    PlatformServices* const m_services;
    NetworkInterfacesVector* const m_interfaces;
    const bool m_perAddressListening;
    const RefPtr<LogSinkLink> m_log;
    NetworkAddressVector m_addresses;

    MutualExclusion m_mutex;
    // Guarded by m_mutex.
    RefPtr<DatagramListener> m_defaultListener;
    RefPtr<ConnectionServer> m_mainServer;
    int32_t m_defaultPort = 0;
};

}  // namespace qav
