// IPv4 sockets: the one place of the library that talks to the system's socket calls.
//
// Every socket made here is non-blocking and close-on-exec, so no call ever waits and no
// child process inherits a connection. Sends never raise SIGPIPE. Failures return -1 or
// false and set `errorCode` to the errno value; nothing here logs.
//
// Threads: any; a socket descriptor belongs to its caller, who serialises its use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qav::platform {

constexpr int kInvalidSocket = -1;

struct SocketAddressV4 {
    uint32_t address = 0;  // network byte order
    uint16_t port = 0;     // host order
};

int CreateTcpSocket(int& errorCode);
int CreateUdpSocket(int& errorCode);
// The accepted socket is non-blocking and close-on-exec as well.
int AcceptSocket(int listener, SocketAddressV4& peer, int& errorCode);
void CloseSocket(int socket);
bool BindSocket(int socket, const SocketAddressV4& local, int& errorCode);
bool ListenSocket(int socket, int backlog, int& errorCode);
// 0 connected at once, 1 in progress (EINPROGRESS), -1 failed (errorCode set). An
// in-progress connect is complete only when GetPendingSocketError reads 0 after the
// socket became writable.
int ConnectSocket(int socket, const SocketAddressV4& remote, int& errorCode);
bool GetSocketName(int socket, SocketAddressV4& local, int& errorCode);
// SO_ERROR: true when read; `pendingError` is the socket's error (0 none). Reading it
// clears it.
bool GetPendingSocketError(int socket, int& pendingError, int& errorCode);
// The bytes a read would take now, or -1 on failure: FIONREAD, which stops at an urgent mark
// of a socket without SO_OOBINLINE and says 0 there while bytes may wait behind it; at the
// mark it is at least 1, so that a reader reads on past it.
int GetReadableBytes(int socket, int& errorCode);
// The count, or -1 with errorCode (EAGAIN/EWOULDBLOCK included). Receive gives 0 when the
// peer has closed its side.
ptrdiff_t SendOnSocket(int socket, const void* data, size_t length, int& errorCode);
ptrdiff_t ReceiveFromSocket(int socket, void* buffer, size_t capacity, int& errorCode);
// True when nothing more can be read: the stream's end is the next thing to read (a peek
// that consumes nothing; `errorCode` 0) or the connection has failed (`errorCode` the
// error, which the peek took from the socket: SO_ERROR reads 0 after it). False while
// bytes wait or none have come yet.
bool PeerHasClosed(int socket, int& errorCode);
// A datagram longer than `capacity` is consumed and dropped, never handed on cut short:
// -1 with errorCode EMSGSIZE. A zero-length datagram gives 0.
ptrdiff_t ReceiveDatagram(int socket, void* buffer, size_t capacity, SocketAddressV4& from,
                          int& errorCode);
// True when a datagram, an empty one too, waits to be received; it stays waiting. False
// when none does (`errorCode` 0) or the socket has an error to report (`errorCode` the
// error, which the check took from the socket as a receive would).
bool DatagramWaits(int socket, int& errorCode);
// As ReceiveDatagram, into two buffers: the datagram fills `first` and runs on into
// `second`, so it may be as long as both together. One that fits `first` lands there whole.
ptrdiff_t ReceiveDatagramInTwo(int socket, void* first, size_t firstCapacity, void* second,
                               size_t secondCapacity, SocketAddressV4& from, int& errorCode);
ptrdiff_t SendDatagram(int socket, const void* data, size_t length, const SocketAddressV4& to,
                       int& errorCode);

// Options; true on success.
bool SetReuseAddress(int socket, bool on);
bool SetBroadcast(int socket, bool on);
bool SetKeepAlive(int socket, bool on);
bool SetSendBufferSize(int socket, int bytes);
bool SetReceiveBufferSize(int socket, int bytes);
bool SetNoDelay(int socket, bool on);
// SO_OOBINLINE: an urgent byte is read in its place in the stream, like any other byte.
bool SetOutOfBandInline(int socket, bool on);
// Keep-alive on, with its first probe after `idleSeconds` without traffic, then one every
// `intervalSeconds`, and the connection given up after `probes` unanswered ones. The
// kernel takes at most kMaxKeepAliveSeconds for each time.
constexpr int kMaxKeepAliveSeconds = 32767;
bool SetKeepAliveTiming(int socket, int idleSeconds, int intervalSeconds, int probes,
                        int& errorCode);
// TCP_USER_TIMEOUT: the connection is given up once sent data, or keep-alive probes, have
// gone unacknowledged for `milliseconds` (0: the system's own limits).
bool SetUserTimeout(int socket, int milliseconds, int& errorCode);
// `group` and `interfaceAddress` in network byte order.
bool AddMulticastMembership(int socket, uint32_t group, uint32_t interfaceAddress, int& errorCode);
// SO_BINDTODEVICE: the socket's packets go only through the interface `interfaceName`
// (empty: through any again).
bool BindSocketToDevice(int socket, const std::string& interfaceName, int& errorCode);
// The index of the network interface `name`, 0 when there is none of that name.
uint32_t InterfaceIndex(const std::string& name);
// The kernel's smoothed round-trip time of a TCP connection (TCP_INFO), in microseconds.
bool GetRoundTripTime(int socket, int64_t& microseconds, int& errorCode);
// Graceful shutdown of both directions; errors ignored.
void ShutdownSocket(int socket);

// The whole text must be a dotted IPv4 address (the forms inet_aton accepts, with nothing
// before or after); `address` in network byte order, untouched on failure.
bool ParseDottedAddress(const char* text, uint32_t& address);
// "a.b.c.d" of an address in network byte order; empty text on failure.
std::string FormatDottedAddress(uint32_t address);

}  // namespace qav::platform
