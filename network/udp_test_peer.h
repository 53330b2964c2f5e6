// For tests only: a UDP socket on 127.0.0.1 that plays the peer of a datagram listener or
// sender.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace qav::test_support {

inline sockaddr_in LoopbackAddress(int32_t port) {
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    return address;
}

inline bool WaitReadable(int socket, int timeoutMs) {
    pollfd entry{socket, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) == 1;
}

class UdpPeer {
  public:
    UdpPeer() {
        sockaddr_in address = LoopbackAddress(0);
        socklen_t length = sizeof address;
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), length);
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~UdpPeer() { ::close(m_socket); }
    int32_t Port() const { return m_port; }

    void SendTo(int32_t port, const std::string& bytes) {
        const sockaddr_in to = LoopbackAddress(port);
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()),
                  ::sendto(m_socket, bytes.data(), bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to));
    }
    // The next datagram and the port it came from, or nothing within `timeoutMs`.
    std::optional<std::pair<std::string, int32_t>> Receive(int timeoutMs = 5000) {
        char buffer[65536];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        if (!WaitReadable(m_socket, timeoutMs)) {
            return std::nullopt;
        }
        const ssize_t got = ::recvfrom(m_socket, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        return std::make_pair(std::string(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0))),
                              int32_t{ntohs(from.sin_port)});
    }

  private:
    int m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int32_t m_port = 0;
};

}  // namespace qav::test_support
