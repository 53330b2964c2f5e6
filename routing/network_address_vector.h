// The local addresses of one platform, as its network interfaces list gives them, with
// what follows each: a NetworkAddressEntry per (address, interface name) holds the
// address's datagram listener when the node listens per address; the
// NetworkAddressVector keeps the entries in the order the addresses were first seen, the
// objects that follow the addresses (AddressConnection) and the listening state, and
// rebuilds itself from the interfaces list: a new address gets its listener and is
// announced, a lost one has its listener stopped, is announced as lost, and the
// connection contexts bound to it are disconnected.
//
// Typical usage (the network packets manager's receiver entry does this):
//   NetworkAddressVector addresses(services, &services->GetNetworkInterfaces(), &set, link);
//   addresses.Rebuild();                       // at once and after every interface change
//   addresses.StartDataListeners(12655, sink); // one listener per address from now on
//
// Each change of the list is announced exactly once and in the order of the changes,
// even when several threads rebuild at once: the list is compared with the interfaces
// under the vector's lock, and the announcements that follow are queued and delivered by
// one thread at a time, with no lock held (a rebuild that finds another thread delivering
// leaves its announcements to it).
//
// Threads: any. Listeners are made, stopped and released, and address connections and
// contexts called, with no lock of the vector or of an entry held.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "core/reference_vector.h"
#include "core/wide_text.h"
#include "network/network_interfaces.h"
#include "routing/address_connections_set.h"
#include "core/log_sink_link.h"

namespace qav {

class ConnectionSet;
class DatagramListener;
class PacketSink;
class PlatformServices;

class NetworkAddressEntry final : public RefCountedObject<RefCounted> {
  public:
    // Longer texts are cut to these lengths.
    static constexpr size_t kMaxAddressLength = 19;        // bytes
    static constexpr size_t kMaxInterfaceNameLength = 31;  // code units

    NetworkAddressEntry(PlatformServices* services, std::string_view address,
                        WStringView interfaceName, int32_t priority, NetworkInterfaceType type,
                        LogSinkLink* log);

    const std::string& GetAddress() const { return m_address; }
    const WString& GetInterfaceName() const { return m_interfaceName; }
    int32_t GetPriority() const { return m_priority; }
    NetworkInterfaceType GetInterfaceType() const { return m_interfaceType; }

    // The listener, with a reference; null when none.
    RefPtr<DatagramListener> GetListener();
    // The port the listener got; 0 without one.
    int32_t GetActualPort();

    // Replaces the listener by a new one on this address: the present one is stopped,
    // then a listener is asked of the platform with `port` (0: the system chooses; `port`
    // tells the one bound). True when the entry holds a listener afterwards. A lost
    // address gets none.
    bool StartDataListener(int32_t& port, PacketSink* sink);
    // A started listener for this address, not installed; null when none could start.
    RefPtr<DatagramListener> MakeListener(int32_t& port, PacketSink* sink);
    // Takes `listener` (bound to `port`; null takes the present one out) and hands back in
    // it the listener it replaced (null when none). False, with `listener` untouched, when
    // a listener is offered to a lost address, or with `onlyIfNone` to an entry that has
    // one. Either way the caller stops what `listener` holds afterwards.
    bool SwapListener(RefPtr<DatagramListener>& listener, int32_t port, bool onlyIfNone);
    // Stops and drops the listener (logged when there was one).
    void DisconnectPacketsReceiver();

    // Set once, when the address leaves the list; a lost address never listens again.
    void MarkLost();

  private:
    ~NetworkAddressEntry() override;

    const std::string m_address;
    const WString m_interfaceName;
    const int32_t m_priority;
    const NetworkInterfaceType m_interfaceType;
    PlatformServices* const m_services;
    const RefPtr<LogSinkLink> m_log;

    MutualExclusion m_mutex;
    RefPtr<DatagramListener> m_listener;  // guarded by m_mutex
    int32_t m_actualPort = 0;             // guarded by m_mutex
    bool m_lost = false;                  // guarded by m_mutex
};

using NetworkAddressEntries = ReferenceVector<NetworkAddressEntry>;

// Stopping a listener: Disconnect, then the reference goes. Nothing when null.
void StopDatagramListener(RefPtr<DatagramListener>& listener);

class NetworkAddressVector {
  public:
    // `interfaces` may be null (a platform without one: the list stays empty); `set` (may
    // be null) is searched for the contexts of a lost address and must outlive the vector;
    // a null `log` logs nowhere.
    NetworkAddressVector(PlatformServices* services, NetworkInterfacesVector* interfaces,
                         ConnectionSet* set, LogSinkLink* log);
    NetworkAddressVector(const NetworkAddressVector&) = delete;
    NetworkAddressVector& operator=(const NetworkAddressVector&) = delete;
    // Releases the entries (their listeners stop) and the address connections.
    ~NetworkAddressVector();

    // Brings the list in line with the interfaces list and announces the changes (see
    // above). Returns how many addresses were added or lost.
    int32_t Rebuild();
    // The comparison step of Rebuild alone: the list is up to date at once, and the
    // announcements wait for the next delivery. Calls nothing outside the platform.
    int32_t ReadInterfaces();

    // The first entry of `address` (and of `interfaceName` when not null), with a
    // reference; null when none.
    RefPtr<NetworkAddressEntry> FindAddress(std::string_view address, const WChar* interfaceName);
    // Appends every entry, with a reference.
    void CopyTo(NetworkAddressEntries& entries);

    // Per-address listening from now on: every address gets a listener on `port` (0: each
    // its own), addresses found later too.
    void StartDataListeners(int32_t port, PacketSink* sink);
    // Ends per-address listening and stops every address's listener. `forget` also clears
    // the port and sink asked for.
    void StopDataListeners(bool forget);

    // Tells `member` of every address as new; no lock is held meanwhile.
    void CallUponLocalAddresses(AddressConnection* member);
    bool AddAddressConnection(AddressConnection* member) { return m_members.Insert(member); }
    bool RemoveAddressConnection(AddressConnection* member) { return m_members.Erase(member); }
    // Disconnects every address connection (on a snapshot) and drops them all.
    void RemoveAllAddressConnections();

  private:
    struct Change {
        RefPtr<NetworkAddressEntry> entry;
        bool added;
    };

    // REQUIRES: m_mutex held.
    void CopyToLocked(NetworkAddressEntries& entries);
    // Delivers the queued changes unless another thread is at it.
    void DeliverChanges();
    void HandleNewInterface(NetworkAddressEntry& entry);
    void HandleLostLocalAddress(NetworkAddressEntry& entry);
    // Starts the listener of a new address when listening per address and it has none.
    void StartAutomaticListener(NetworkAddressEntry& entry);

    PlatformServices* const m_services;
    NetworkInterfacesVector* const m_interfaces;
    ConnectionSet* const m_set;
    const RefPtr<LogSinkLink> m_log;
    AddressConnectionsSet m_members;

    MutualExclusion m_mutex;
    // Guarded by m_mutex.
    std::vector<RefPtr<NetworkAddressEntry>> m_entries;  // in the order first seen
    std::deque<Change> m_changes;                        // announced in this order
    bool m_delivering = false;                           // a thread is delivering m_changes
    bool m_listening = false;
    int32_t m_listeningPort = 0;
    PacketSink* m_listenerSink = nullptr;
};

}  // namespace qav
