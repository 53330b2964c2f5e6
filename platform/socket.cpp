#include "platform/socket.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qav::platform {

namespace {

sockaddr_in ToSystemAddress(const SocketAddressV4& address) {
    sockaddr_in result;
    std::memset(&result, 0, sizeof result);
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address.address;
    result.sin_port = htons(address.port);
    return result;
}

SocketAddressV4 FromSystemAddress(const sockaddr_in& address) {
    SocketAddressV4 result;
    result.address = address.sin_addr.s_addr;
    result.port = ntohs(address.sin_port);
    return result;
}

int CreateSocket(int type, int protocol, int& errorCode) {
    const int socket = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (socket < 0) {
        errorCode = errno;
        return kInvalidSocket;
    }
    return socket;
}

bool SetIntegerOption(int socket, int level, int name, int value) {
    return ::setsockopt(socket, level, name, &value, sizeof value) == 0;
}

// Interrupted calls are repeated: none of these wait, so a signal is no reason to fail.
template <typename Call>
auto RetryInterrupted(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace

int CreateTcpSocket(int& errorCode) {
    return CreateSocket(SOCK_STREAM, IPPROTO_TCP, errorCode);
}

int CreateUdpSocket(int& errorCode) {
    return CreateSocket(SOCK_DGRAM, IPPROTO_UDP, errorCode);
}

int AcceptSocket(int listener, SocketAddressV4& peer, int& errorCode) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    socklen_t length = sizeof address;
    const int socket = RetryInterrupted([&] {
        return ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
    });
    if (socket < 0) {
        errorCode = errno;
        return kInvalidSocket;
    }
    peer = FromSystemAddress(address);
    return socket;
}

void CloseSocket(int socket) {
    // Not repeated on EINTR: on Linux the descriptor is released whatever close reports.
    if (socket >= 0) {
        ::close(socket);
    }
}

bool BindSocket(int socket, const SocketAddressV4& local, int& errorCode) {
    const sockaddr_in address = ToSystemAddress(local);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        errorCode = errno;
        return false;
    }
    return true;
}

bool ListenSocket(int socket, int backlog, int& errorCode) {
    if (::listen(socket, backlog) != 0) {
        errorCode = errno;
        return false;
    }
    return true;
}

int ConnectSocket(int socket, const SocketAddressV4& remote, int& errorCode) {
    const sockaddr_in address = ToSystemAddress(remote);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return 0;
    }
    const int code = errno;
    // An interrupted non-blocking connect goes on in the background, like one in progress.
    if (code == EINPROGRESS || code == EINTR) {
        return 1;
    }
    errorCode = code;
    return -1;
}

bool GetSocketName(int socket, SocketAddressV4& local, int& errorCode) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    socklen_t length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        errorCode = errno;
        return false;
    }
    if (address.sin_family != AF_INET) {
        errorCode = EAFNOSUPPORT;
        return false;
    }
    local = FromSystemAddress(address);
    return true;
}

bool GetPendingSocketError(int socket, int& pendingError, int& errorCode) {
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &value, &length) != 0) {
        errorCode = errno;
        return false;
    }
    pendingError = value;
    return true;
}

int GetReadableBytes(int socket, int& errorCode) {
    int count = 0;
    if (::ioctl(socket, FIONREAD, &count) != 0) {
        errorCode = errno;
        return -1;
    }
    // The mark, not a peek, tells that bytes may wait behind it: a peek where nothing waits
    // would take the socket's error, which the close must still report.
    int atMark = 0;
    if (count == 0 && ::ioctl(socket, SIOCATMARK, &atMark) == 0 && atMark != 0) {
        return 1;
    }
    return count;
}

ptrdiff_t SendOnSocket(int socket, const void* data, size_t length, int& errorCode) {
    const ssize_t sent =
        RetryInterrupted([&] { return ::send(socket, data, length, MSG_NOSIGNAL); });
    if (sent < 0) {
        errorCode = errno;
        return -1;
    }
    return sent;
}

ptrdiff_t ReceiveFromSocket(int socket, void* buffer, size_t capacity, int& errorCode) {
    const ssize_t received = RetryInterrupted([&] { return ::recv(socket, buffer, capacity, 0); });
    if (received < 0) {
        errorCode = errno;
        return -1;
    }
    return received;
}

bool PeerHasClosed(int socket, int& errorCode) {
    char byte = 0;
    const ssize_t peeked =
        RetryInterrupted([&] { return ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
    if (peeked == 0) {
        errorCode = 0;
        return true;
    }
    if (peeked > 0) {
        return false;
    }
    const int code = errno;
    if (code == EAGAIN || code == EWOULDBLOCK) {
        return false;
    }
    errorCode = code;
    return true;
}

bool DatagramWaits(int socket, int& errorCode) {
    char byte = 0;
    // Nothing is copied: a length of 0 only asks whether there is a datagram.
    const ssize_t peeked =
        RetryInterrupted([&] { return ::recv(socket, &byte, 0, MSG_PEEK | MSG_DONTWAIT); });
    if (peeked >= 0) {
        return true;
    }
    const int code = errno;
    errorCode = code == EAGAIN || code == EWOULDBLOCK ? 0 : code;
    return false;
}

ptrdiff_t ReceiveDatagram(int socket, void* buffer, size_t capacity, SocketAddressV4& from,
                          int& errorCode) {
    return ReceiveDatagramInTwo(socket, buffer, capacity, nullptr, 0, from, errorCode);
}

ptrdiff_t ReceiveDatagramInTwo(int socket, void* first, size_t firstCapacity, void* second,
                               size_t secondCapacity, SocketAddressV4& from, int& errorCode) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    iovec parts[2] = {{first, firstCapacity}, {second, secondCapacity}};
    msghdr message;
    std::memset(&message, 0, sizeof message);
    message.msg_name = &address;
    message.msg_namelen = sizeof address;
    message.msg_iov = parts;
    message.msg_iovlen = secondCapacity > 0 ? 2 : 1;
    // MSG_TRUNC makes the kernel answer the datagram's real length, so a cut one is seen.
    const ssize_t received =
        RetryInterrupted([&] { return ::recvmsg(socket, &message, MSG_DONTWAIT | MSG_TRUNC); });
    if (received < 0) {
        errorCode = errno;
        return -1;
    }
    if ((message.msg_flags & MSG_TRUNC) != 0 ||
        static_cast<size_t>(received) > firstCapacity + secondCapacity) {
        errorCode = EMSGSIZE;
        return -1;
    }
    from = FromSystemAddress(address);
    return received;
}

ptrdiff_t SendDatagram(int socket, const void* data, size_t length, const SocketAddressV4& to,
                       int& errorCode) {
    const sockaddr_in address = ToSystemAddress(to);
    const ssize_t sent = RetryInterrupted([&] {
        return ::sendto(socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
    });
    if (sent < 0) {
        errorCode = errno;
        return -1;
    }
    return sent;
}

bool SetReuseAddress(int socket, bool on) {
    return SetIntegerOption(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

bool SetBroadcast(int socket, bool on) {
    return SetIntegerOption(socket, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0);
}

bool SetKeepAlive(int socket, bool on) {
    return SetIntegerOption(socket, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
}

bool SetSendBufferSize(int socket, int bytes) {
    return SetIntegerOption(socket, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool SetReceiveBufferSize(int socket, int bytes) {
    return SetIntegerOption(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool SetNoDelay(int socket, bool on) {
    return SetIntegerOption(socket, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

bool SetOutOfBandInline(int socket, bool on) {
    return SetIntegerOption(socket, SOL_SOCKET, SO_OOBINLINE, on ? 1 : 0);
}

bool SetKeepAliveTiming(int socket, int idleSeconds, int intervalSeconds, int probes,
                        int& errorCode) {
    const int options[][2] = {{SO_KEEPALIVE, 1},
                              {TCP_KEEPIDLE, idleSeconds},
                              {TCP_KEEPINTVL, intervalSeconds},
                              {TCP_KEEPCNT, probes}};
    for (const auto& [option, value] : options) {
        const int level = option == SO_KEEPALIVE ? SOL_SOCKET : IPPROTO_TCP;
        if (::setsockopt(socket, level, option, &value, sizeof value) != 0) {
            errorCode = errno;
            return false;
        }
    }
    return true;
}

bool SetUserTimeout(int socket, int milliseconds, int& errorCode) {
    const unsigned int value = milliseconds > 0 ? static_cast<unsigned int>(milliseconds) : 0;
    if (::setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &value, sizeof value) != 0) {
        errorCode = errno;
        return false;
    }
    return true;
}

bool AddMulticastMembership(int socket, uint32_t group, uint32_t interfaceAddress, int& errorCode) {
    ip_mreq request;
    std::memset(&request, 0, sizeof request);
    request.imr_multiaddr.s_addr = group;
    request.imr_interface.s_addr = interfaceAddress;
    if (::setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
        errorCode = errno;
        return false;
    }
    return true;
}

bool BindSocketToDevice(int socket, const std::string& interfaceName, int& errorCode) {
    if (interfaceName.size() >= IFNAMSIZ || interfaceName.find('\0') != std::string::npos) {
        errorCode = ENODEV;
        return false;
    }
    if (::setsockopt(socket, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                     static_cast<socklen_t>(interfaceName.size())) != 0) {
        errorCode = errno;
        return false;
    }
    return true;
}

uint32_t InterfaceIndex(const std::string& name) {
    if (name.empty() || name.size() >= IFNAMSIZ || name.find('\0') != std::string::npos) {
        return 0;
    }
    return ::if_nametoindex(name.c_str());
}

bool GetRoundTripTime(int socket, int64_t& microseconds, int& errorCode) {
    tcp_info info;
    std::memset(&info, 0, sizeof info);
    socklen_t length = sizeof info;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        errorCode = errno;
        return false;
    }
    microseconds = info.tcpi_rtt;
    return true;
}

void ShutdownSocket(int socket) {
    if (socket >= 0) {
        ::shutdown(socket, SHUT_RDWR);
    }
}

bool ParseDottedAddress(const char* text, uint32_t& address) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    // inet_aton skips nothing before the address but accepts white space and anything after
    // it; only the characters of its number forms may appear here.
    for (const char* c = text; *c != '\0'; ++c) {
        const bool allowed = (*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f') ||
                             (*c >= 'A' && *c <= 'F') || *c == 'x' || *c == 'X' || *c == '.';
        if (!allowed) {
            return false;
        }
    }
    in_addr parsed;
    if (::inet_aton(text, &parsed) == 0) {
        return false;
    }
    address = parsed.s_addr;
    return true;
}

std::string FormatDottedAddress(uint32_t address) {
    in_addr value;
    value.s_addr = address;
    char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &value, text, sizeof text) == nullptr) {
        return std::string();
    }
    return std::string(text);
}

}  // namespace qav::platform
