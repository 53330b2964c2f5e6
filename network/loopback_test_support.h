// For tests only: plain sockets of the test on 127.0.0.1 that play the peer of the
// library's sockets, sinks that keep connection events and datagrams, a completion that
// keeps its calls, and a fixture whose wait loop is turned by a protocol manager's polling thread.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "connection/binary_packet.h"
#include "core/polling_test_support.h"
#include "core/test_support.h"
#include "manager/protocol_manager.h"
#include "network/connection_event_sink.h"
#include "network/connection_stream.h"
#include "network/packet_sink.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"

namespace qav::test_support {

inline sockaddr_in LoopbackAddress(int32_t port) {
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    return address;
}

inline int32_t LocalPort(int socket) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

inline bool WaitReadable(int socket, int timeoutMs) {
    pollfd entry{socket, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) == 1;
}

inline int OpenDescriptorCount() {
    using std::filesystem::directory_iterator;
    return static_cast<int>(std::distance(directory_iterator("/proc/self/fd"), {}));
}

// A TCP socket (blocking unless `flags` add SOCK_NONBLOCK) connecting to 127.0.0.1:port,
// or -1 when the connect fails at once.
inline int ConnectLoopback(int32_t port, int flags = 0) {
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    const sockaddr_in address = LoopbackAddress(port);
    if (::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        ::close(client);
        return -1;
    }
    return client;
}

// What arrives until `waitMs` pass without a byte (or the peer closes).
inline std::string ReadFor(int socket, int waitMs) {
    std::string bytes;
    char buffer[65536];
    for (ssize_t got; WaitReadable(socket, waitMs) &&
                      (got = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

// Closes `socket` with a reset instead of an orderly close.
inline void ResetOnClose(int socket) {
    const linger abortive{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(socket);
}

// A listening TCP socket on 127.0.0.1 and a port the system chooses.
class TcpListener {
  public:
    TcpListener() {
        sockaddr_in address = LoopbackAddress(0);
        EXPECT_EQ(0, ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address));
        EXPECT_EQ(0, ::listen(m_socket, 8));
        port = LocalPort(m_socket);
    }
    ~TcpListener() { ::close(m_socket); }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // The next connection (non-blocking, as a server hands it over), or -1 after
    // `timeoutMs`.
    int Accept(int32_t* peerPort = nullptr, int timeoutMs = 5000) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int accepted = WaitReadable(m_socket, timeoutMs)
                                 ? ::accept4(m_socket, reinterpret_cast<sockaddr*>(&peer), &length,
                                             SOCK_NONBLOCK | SOCK_CLOEXEC)
                                 : -1;
        if (peerPort != nullptr) {
            *peerPort = ntohs(peer.sin_port);
        }
        return accepted;
    }

    int32_t port = 0;

  private:
    int m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// A UDP socket on 127.0.0.1 that plays the peer of a datagram listener or sender.
class UdpPeer {
  public:
    UdpPeer() {
        sockaddr_in address = LoopbackAddress(0);
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        m_port = LocalPort(m_socket);
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

// Runs `onEvent`, then keeps the event: a test that sees the event has seen all that
// `onEvent` did for it. It holds the connections that reported themselves connected and
// disconnects them when it ends.
class RecordingEventSink final : public ConnectionEventSink {
  public:
    struct Event {
        int32_t kind;
        bool incoming;
        std::string name;
        std::string peerAddress;
        int32_t peerPort;
        int32_t localPort;
        RefPtr<ConnectionStream> connection;
    };
    ~RecordingEventSink() {
        for (Event& event : Events(kEventConnected)) {
            event.connection->Disconnect();
        }
    }
    int32_t ManageConnectionProtocol(bool incoming, const char* name, const char* peerAddress,
                                     int32_t peerPort, const char*, int32_t localPort,
                                     ConnectionStream* connection, int32_t kind,
                                     PlatformServices*) override {
        if (onEvent) {
            onEvent(*connection, kind);
        }
        std::lock_guard<std::mutex> hold(m_mutex);
        m_events.push_back({kind, incoming, name, peerAddress, peerPort, localPort,
                            kind == kEventConnected ? connection : nullptr});
        return 0;
    }
    // Every event, or those of one kind.
    std::vector<Event> Events(int32_t kind = 0) {
        std::lock_guard<std::mutex> hold(m_mutex);
        std::vector<Event> events;
        std::copy_if(m_events.begin(), m_events.end(), std::back_inserter(events),
                     [&](const Event& event) { return kind == 0 || event.kind == kind; });
        return events;
    }
    int Count(int32_t kind) { return static_cast<int>(Events(kind).size()); }

    std::function<void(ConnectionStream&, int32_t)> onEvent;

  private:
    std::mutex m_mutex;
    std::vector<Event> m_events;
};

// Keeps each datagram as "bytes from address:port" plus " in a packet" when it came in
// one, and gives the packet back at once. Lends up to `packets` packets.
class RecordingPacketSink final : public PacketSink {
  public:
    explicit RecordingPacketSink(size_t packets = 64) : pool(new BinaryPacketsPool(packets)) {}

    void ProcessPacket(DatagramListener*, PlatformServices*, const char* senderAddress,
                       int32_t senderPort, const uint8_t* data, size_t length,
                       LentPacketBuffer* packet) override {
        std::string line(reinterpret_cast<const char*>(data), length);
        line += std::string(" from ") + senderAddress + ":" + std::to_string(senderPort);
        if (packet != nullptr) {
            line += " in a packet";
            packet->ReturnToPool();
        }
        std::lock_guard<std::mutex> hold(m_mutex);
        m_lines.push_back(line);
    }
    BinaryPacket* AllocatePacketBuffer(uint8_t** buffer, size_t& capacity) override {
        BinaryPacket* packet = pool->Lend();
        if (packet != nullptr) {
            *buffer = packet->Data();
            capacity = std::min(capacity, BinaryPacket::Capacity());
        }
        return packet;
    }
    // The datagrams since the last call.
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return std::exchange(m_lines, {});
    }

    RefPtr<BinaryPacketsPool> pool;

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Keeps every completion, as {bytes sent, error code}, by source pointer.
class RecordingCompletion final : public SendCompletion {
  public:
    using Calls = std::map<const void*, std::vector<std::pair<int32_t, int32_t>>>;
    void Complete(const void* source, int32_t bytesSent, int32_t errorCode) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_calls[source].emplace_back(bytesSent, errorCode);
    }
    Calls Taken() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls;
    }
    size_t Sources() { return Taken().size(); }

  private:
    std::mutex m_mutex;
    Calls m_calls;
};

// Holds an event or a completion (a call out of a socket object) until released, and
// tells whether a close on another thread returned while it was still held.
class HeldCallout {
  public:
    // Runs on the thread of the callout.
    void Hold() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_entered = true;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_released; });
        m_done = true;
    }
    void WaitUntilEntered() {
        std::unique_lock<std::mutex> lock(m_mutex);
        ASSERT_TRUE(m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_entered; }));
    }
    // Runs `close` on a thread of its own and releases the callout a while after; true when
    // `close` returned only once the callout was over.
    bool CloseWaitedForIt(const std::function<void()>& close) {
        std::atomic<bool> returnedWhileHeld{false};
        std::thread closer([&] {
            close();
            std::lock_guard<std::mutex> lock(m_mutex);
            returnedWhileHeld = !m_done;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_released = true;
            m_changed.notify_all();
        }
        closer.join();
        return !returnedWhileHeld;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_entered = false;
    bool m_released = false;
    bool m_done = false;
};

// Counts the turns of the wait loop.
class CountingWaitLoop final : public SocketHandlerManager {
  public:
    int Wait(int timeoutMs) override {
        turns.fetch_add(1);
        return SocketHandlerManager::Wait(timeoutMs);
    }
    std::atomic<int> turns{0};
};

// A manager's polling thread spending its turns in a wait loop that the services hand to
// every socket object. The logger is installed before the thread starts and removed after
// it ended; members of a derived fixture end before the loop does.
class PolledLoopTest : public ::testing::Test {
  protected:
    explicit PolledLoopTest(int logLevel = kSeverityWarning) : m_logger(logLevel) {}
    void SetUp() override {
        m_services.SetSocketHandlerManager(&m_loop);
        ASSERT_EQ(1, m_manager->StartPollingThreads(&m_loop, 1));
    }
    void TearDown() override { m_manager->ReleaseAllResources(); }

    CapturingTextLogger m_logger;
    CountingWaitLoop m_loop;
    PlatformServices m_services;
    RefPtr<ProtocolManager> m_manager{new ProtocolManager};
};

}  // namespace qav::test_support
