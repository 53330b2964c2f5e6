// For tests only: DNS and NetBIOS datagrams built by hand, a UDP socket that plays a name
// server or the NetBIOS peers at a fixed address and port (inside a test's own network
// namespace, where ports 53 and 137 are free), and a requester that keeps its answers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/ref_counted.h"
#include "core/test_support.h"
#include "network/host_address_resolver.h"
#include "network/network_namespace_test_support.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"

namespace qav::test_support {

inline std::string Be16(uint16_t value) {
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

// A dotted name as labels and the closing zero byte.
inline std::string DnsName(std::string_view dotted) {
    std::string encoded;
    for (size_t start = 0; start <= dotted.size();) {
        const size_t dot = std::min(dotted.find('.', start), dotted.size());
        encoded += static_cast<char>(dot - start);
        encoded += dotted.substr(start, dot - start);
        start = dot + 1;
    }
    return encoded + '\0';
}

constexpr uint16_t kDnsResponseFlags = 0x8180;      // response, recursion desired/available
constexpr uint16_t kNetbiosResponseFlags = 0x8500;  // response, authoritative, recursion
const std::string kToQuestion = "\xC0\x0C";         // a pointer to the first question's name
// "relay" in the NetBIOS first-level encoding (padded with spaces, name type 0), behind its
// length byte 0x20 (a space).
const std::string kEncodedRelay = " FCEFEMEBFJCACACACACACACACACACAAA" + std::string(1, '\0');

inline std::string DnsHeader(uint16_t flags, uint16_t questions, uint16_t answers,
                             uint16_t authorities = 0, uint16_t additionals = 0) {
    return Be16(1) + Be16(flags) + Be16(questions) + Be16(answers) + Be16(authorities) +
           Be16(additionals);
}

inline std::string Question(std::string_view name) {
    return DnsName(name) + Be16(1) + Be16(1);
}

// A resource record: name, type, class, a time to live of one hour, the data.
inline std::string Record(const std::string& name, uint16_t type, uint16_t recordClass,
                          const std::string& data) {
    return name + Be16(type) + Be16(recordClass) + std::string("\0\0\x0e\x10", 4) +
           Be16(static_cast<uint16_t>(data.size())) + data;
}

inline std::string Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
}

// The usual answer: the question echoed, one A record named by a pointer to it.
inline std::string AnswerA(std::string_view name, const std::string& address) {
    return DnsHeader(kDnsResponseFlags, 1, 1) + Question(name) + Record(kToQuestion, 1, 1, address);
}

constexpr uint16_t kDnsNoSuchNameFlags = 0x8183;  // a response with RCODE 3, name error

// "No such name" for `name`: the question echoed, no answer record.
inline std::string NoSuchName(std::string_view name, uint16_t flags = kDnsNoSuchNameFlags) {
    return DnsHeader(flags, 1, 0) + Question(name);
}

// A positive NetBIOS name response without its question: one NB record.
inline std::string NetbiosAnswer(const std::string& encodedName, const std::string& address) {
    return DnsHeader(kNetbiosResponseFlags, 0, 1) +
           Record(encodedName, 0x20, 1, std::string("\0\0", 2) + address);
}

// The datagram with its first two bytes, the identifier, replaced.
inline std::string WithIdentifier(std::string datagram, uint16_t identifier) {
    if (datagram.size() >= 2) {
        datagram.replace(0, 2, Be16(identifier));
    }
    return datagram;
}

inline uint16_t IdentifierOf(const std::string& datagram) {
    return datagram.size() < 2 ? 0
                               : static_cast<uint16_t>(static_cast<uint8_t>(datagram[0]) << 8 |
                                                       static_cast<uint8_t>(datagram[1]));
}

inline uint32_t AddressOf(const char* dotted) {
    return ::inet_addr(dotted);
}

// A UDP socket bound to `address`:`port` that also tells each datagram's destination.
class UdpServer {
  public:
    struct Datagram {
        std::string bytes;
        uint16_t fromPort = 0;
        std::string to;    // the destination address, dotted
        std::string from;  // the sender's address, dotted
    };

    UdpServer(const char* address, uint16_t port) {
        const int on = 1;
        ::setsockopt(m_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        ::setsockopt(m_socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        sockaddr_in local{AF_INET, htons(port), {::inet_addr(address)}, {}};
        bound = ::bind(m_socket, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        EXPECT_TRUE(bound) << "bind " << address << ":" << port;
    }
    ~UdpServer() { ::close(m_socket); }
    UdpServer(const UdpServer&) = delete;
    UdpServer& operator=(const UdpServer&) = delete;

    // The next datagram, or nothing within `timeoutMs`.
    std::optional<Datagram> Receive(int timeoutMs = 5000) {
        pollfd entry{m_socket, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        char buffer[4096];
        char control[256];
        sockaddr_in from{};
        iovec vector{buffer, sizeof buffer};
        msghdr message{&from, sizeof from, &vector, 1, control, sizeof control, 0};
        const ssize_t got = ::recvmsg(m_socket, &message, 0);
        if (got < 0) {
            return std::nullopt;
        }
        Datagram datagram{std::string(buffer, static_cast<size_t>(got)), ntohs(from.sin_port), "",
                          ::inet_ntoa(from.sin_addr)};
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                const auto* info = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(header));
                datagram.to = ::inet_ntoa(info->ipi_addr);
            }
        }
        return datagram;
    }
    void SendTo(const char* address, uint16_t port, const std::string& bytes) {
        sockaddr_in to{AF_INET, htons(port), {::inet_addr(address)}, {}};
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()),
                  ::sendto(m_socket, bytes.data(), bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to));
    }

    bool bound = false;

  private:
    int m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// Keeps every HostAddressResolved call as "text address" with the address reformatted,
// and every HostLookupFailed call as "failed: reason".
class RecordingRequester : public HostResolveCallback {
  public:
    void HostAddressResolved(const char* addressText, const uint32_t* address) override {
        in_addr value{*address};
        std::lock_guard<std::mutex> hold(m_mutex);
        m_calls.push_back(std::string(addressText) + " " + ::inet_ntoa(value));
    }
    void HostLookupFailed(const char* reason) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_calls.push_back(std::string("failed: ") + reason);
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls;
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

// A test in a network namespace of its own: the wait loop turned by a thread of the test,
// and platform services that read their name servers from a resolv.conf of the test's own.
class NameServerNamespaceTest : public ::testing::Test {
  protected:
    // True inside the test's namespace, with loopback up. False in the parent, which has
    // run the test in a child (or skipped it).
    bool InNamespace() {
        if (!InsideNetworkNamespace()) {
            RerunInNetworkNamespace();
            return false;
        }
        Ip("link set lo up");
        return !HasFatalFailure();
    }
    // Reads the interfaces as they are now. After any fake clock: the loop's thread reads
    // the clock too.
    void Start(const std::string& resolvConf) {
        const std::string path = m_directory.Narrow("resolv.conf");
        WriteBytes(path, resolvConf);
        m_services = std::make_unique<PlatformServices>(path);
        m_services->SetSocketHandlerManager(&m_loop);
        m_turns = std::thread([this] {
            while (!m_stop) {
                if (m_loop.Wait(10) == Waiter::kNothingToWait) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            }
        });
    }
    // A turn under way may still call a sink after its connection was disconnected: the
    // loop stops before a test's sinks end.
    void StopLoop() {
        m_stop = true;
        if (m_turns.joinable()) {
            m_turns.join();
        }
    }
    void TearDown() override { StopLoop(); }

    ScratchDirectory m_directory;
    SocketHandlerManager m_loop;
    std::unique_ptr<PlatformServices> m_services;
    std::atomic<bool> m_stop{false};
    std::thread m_turns;
};

}  // namespace qav::test_support
