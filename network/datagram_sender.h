// Sends UDP datagrams to one destination. A sender either shares a datagram listener's
// socket (DatagramListener::CreateSender, so that replies leave from the listener's port)
// or makes its own socket on its first send. The destination is a dotted IPv4 address or,
// when lookup is allowed, a host name that the sender's own resolver looks up. Until the
// address is known each Send asks the resolver again (which sends its queries again only
// every few seconds) and sends nothing; the resolver never writes into the sender.
//
// Typical usage:
//   RefPtr<DatagramSender> sender(new RefCountedObject<DatagramSender>(services));
//   sender->SetDestination("127.0.0.1", false, false, 12655);
//   sender->Send(data, length, nullptr);
//
// Threads: no lock of its own; one owner at a time uses it (the polling thread). It may be
// released on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "core/ref_counted.h"
#include "core/wide_text.h"
#include "network/connection_stream.h"
#include "network/host_address_resolver.h"
#include "network/shared_socket.h"
#include "platform/socket.h"

namespace qav {

class PlatformServices;

class DatagramSender : public Disconnectable {
  public:
    explicit DatagramSender(PlatformServices* services);

    // As Close.
    void Disconnect() override;
    // Gives up the socket (closing it only when the sender made it) and, with it, the
    // resolver; the next Send makes an own socket.
    void Close();

    // Sets the destination and SO_BROADCAST on the current socket. True when the
    // destination address is known.
    bool SetDestination(const char* host, bool lookupAllowed, bool broadcast, int32_t port);

    // Sends one datagram. Returns the bytes sent, 0 when nothing was sent. The completion
    // (may be null) is called with (data, that count, error): the socket error,
    // kSendNoDestination or kSendNothingSent, 0 when none.
    int32_t Send(const void* data, int32_t length, SendCompletion* completion);

    // The destination address text (dotted).
    std::string GetAddress() const { return m_destinationText; }
    // The local port, 0 until known.
    int32_t GetPort() const { return m_localPort; }
    // A socket and a destination address are both there.
    bool IsReady() const;

    // Hands the sender a listener's socket (the sender holds it, never closes it) with the
    // listener's address, port and interface name.
    void UseSharedSocket(SharedSocket* shared, const std::string& localAddress, int32_t localPort,
                         const WString& name);

  protected:
    virtual ~DatagramSender();

  private:
    bool ResolveDestination();
    void ReleaseResolver();
    bool OpenOwnSocket();

    platform::SocketAddressV4 m_destination;  // address 0 until known
    int m_socket = platform::kInvalidSocket;
    bool m_destinationSet = false;
    bool m_ownsSocket = false;
    bool m_broadcast = false;
    bool m_lookupAllowed = false;
    std::string m_localAddress;  // for the resolver
    std::string m_host;
    std::string m_destinationText;
    WString m_name;  // for the resolver
    int32_t m_localPort = 0;
    int32_t m_destinationPort = 0;
    RefPtr<SharedSocket> m_sharedSocket;
    PlatformServices* m_services;            // for the resolver
    RefPtr<HostAddressResolver> m_resolver;  // made on the first lookup
};

}  // namespace qav
