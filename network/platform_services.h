// The one object through which the system obtains socket objects and facts about the
// machine's network: it makes the reliable connection, the connection server, the
// datagram listener and the datagram sender, keeps the list of local IPv4 addresses,
// owns the network interfaces list and answers the DNS servers.
//
// Typical usage:
//   PlatformServices& services = PlatformServices::Instance();
//   services.SetSocketHandlerManager(&waitLoop);          // once, at start-up
//   int32_t port = 0;
//   RefPtr<ConnectionServer> server = services.CreateConnectionServer("", port, owner);
//
// Every socket object it makes keeps a pointer to it and registers through
// GetSocketHandlerManager()->AddHandler(this), so it must outlive them all.
//
// Threads: any. The local address operations serialise on the object's lock; the
// factories run on the caller's thread and take the wait loop's lock to register.
// SetSocketHandlerManager is called once before any socket object is made.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"
#include "core/wide_text.h"
#include "network/network_interfaces.h"

namespace qav {

class ConnectionEventSink;
class ConnectionServer;
class DatagramListener;
class DatagramSender;
class MessageLogger;
class PacketSink;
class ReliableConnection;
class SocketHandlerManager;

class PlatformServices {
  public:
    static PlatformServices& Instance();  // the process's one object
    // Tests make their own; `resolvConfPath` is where DNS servers are read from.
    explicit PlatformServices(std::string resolvConfPath = "/etc/resolv.conf");
    virtual ~PlatformServices();
    PlatformServices(const PlatformServices&) = delete;
    PlatformServices& operator=(const PlatformServices&) = delete;

    void SetSocketHandlerManager(SocketHandlerManager* manager);
    SocketHandlerManager* GetSocketHandlerManager() const;

    // A connection that knows this object; it registers with the wait loop once it
    // connects or is attached.
    RefPtr<ReliableConnection> CreateReliableConnection();
    // A listening server registered with the wait loop, or none. `localAddress` null or
    // empty listens on every address; port 0 asks the system for one, and `port` then
    // holds the bound port.
    RefPtr<ConnectionServer> CreateConnectionServer(const char* localAddress, int32_t& port,
                                                    ConnectionEventSink* owner);
    // A started listener registered with the wait loop, or none. Port 0 as above.
    RefPtr<DatagramListener> CreateDatagramListener(const WChar* interfaceName,
                                                    const char* localAddress, int32_t& port,
                                                    bool broadcast, PacketSink* sink);
    RefPtr<DatagramSender> CreateDatagramSender();
    // The system's error code of the last server or listener these factories could not
    // make; 0 when none failed, or when the last failure was no socket error (no wait
    // loop). A program that cannot start says with it why it cannot listen.
    int32_t GetLastListenError() const { return m_lastListenError.load(std::memory_order_relaxed); }

    void SetLogger(MessageLogger* logger);  // does nothing
    // Records and logs the request; never touches the machine. Returns 3.
    int32_t Reboot();

    // Rebuilds the local address list from the network interfaces (unless the addresses
    // are fixed); returns its size.
    int32_t FillLocalAddresses();
    // Whether the text equals an address of the list left by the last FillLocalAddresses.
    bool IsLocalAddress(const char* address);
    // The address of that index; false (and `out` untouched) outside the list.
    bool GetLocalAddress(int32_t index, std::string& out);
    NetworkInterfacesVector& GetNetworkInterfaces();
    // Appends the DNS servers of the first adapter that passes the filters (its name, one
    // of its IPv4 addresses) and has any; returns how many were appended. A null or empty
    // filter passes every adapter. The servers come from the resolv.conf file, which names
    // them for the whole machine: every adapter that passes has the same ones.
    int32_t GetDnsServers(const WChar* adapterName, const char* localAddress,
                          std::vector<std::string>& out);

  protected:
    // When set, FillLocalAddresses keeps the list as it is. Nothing in the library sets it.
    std::atomic<bool> m_fixedAddresses{false};
    // How many times Reboot was asked for.
    std::atomic<int32_t> m_rebootRequests{0};

  private:
    const std::string m_resolvConfPath;
    MutualExclusion m_mutex;
    std::vector<std::string> m_localAddresses;  // GUARDED_BY(m_mutex)
    std::unique_ptr<WindowsNetworkInterfaces> m_networkInterfaces;
    std::atomic<SocketHandlerManager*> m_socketHandlerManager{nullptr};
    std::atomic<int32_t> m_lastListenError{0};
};

}  // namespace qav
