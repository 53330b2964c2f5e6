// Bulk transfer over loopback in messages of 1,400 bytes and of 64 KiB: a reliable
// connection fed the way the system feeds it (a producer that queues messages whenever
// the connection reports it can take more, on the polling thread), against a plain
// non-blocking socket whose own thread sends each message with send() and waits in
// poll() when the socket is full ("<case>/anchor"). The same kind of receiving thread
// drains both. One iteration is 8 MiB arriving at the receiver, timed by the wall clock.
// "<case>/qav-own-thread" feeds the connection from a thread of its own instead, in a
// tight loop that waits for the writable event whenever the queue is full.
//
// "round_trip_64KiB_own_thread": a thread of its own sends two 64 KiB messages through a
// reliable connection to a plain echo thread, which answers once both are in, and waits
// for both echoes; the counter "longest_ms" is the longest of these round trips and
// "p999_ms" their 99.9th percentile.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "manager/protocol_manager.h"
#include "network/connection_event_sink.h"
#include "network/platform_services.h"
#include "network/reliable_connection.h"
#include "network/socket_handler_manager.h"

namespace {

using qav::ConnectionEventSink;
using qav::ConnectionStream;

constexpr uint64_t kBytesPerIteration = 8u << 20;
constexpr int kSocketBufferBytes = 0x40000;

int Listen(int& port) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const int buffer = kSocketBufferBytes;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    bind(listener, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener, 4);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return listener;
}

// Drains one accepted socket on its own thread and counts what arrived.
class Receiver {
  public:
    explicit Receiver(int listener) : m_socket(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) {
        timeval wake{0, 100000};
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
        m_thread = std::thread([this] { Run(); });
    }
    ~Receiver() {
        m_stop = true;
        m_thread.join();
        close(m_socket);
    }

    // Waits until `bytes` more than at the call have arrived; false after 10 s.
    bool WaitFor(uint64_t bytes) {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_target = m_received + bytes;
        return m_arrived.wait_for(hold, std::chrono::seconds(10),
                                  [&] { return m_received >= m_target; });
    }

  private:
    void Run() {
        std::vector<char> buffer(1 << 20);
        while (!m_stop) {
            const ssize_t got = recv(m_socket, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                continue;
            }
            std::lock_guard<std::mutex> hold(m_mutex);
            m_received += static_cast<uint64_t>(got);
            if (m_received >= m_target) {
                m_arrived.notify_one();
            }
        }
    }

    int m_socket;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    uint64_t m_received = 0;
    uint64_t m_target = UINT64_MAX;
    std::thread m_thread;
};

// A polling thread, a listening socket on loopback and a reliable connection made to
// it; the connection's sink must outlive the fixture.
class PolledLoopback {
  public:
    PolledLoopback() : m_manager(new qav::ProtocolManager), m_listener(Listen(m_port)) {
        m_services.SetSocketHandlerManager(&m_loop);
        m_manager->StartPollingThreads(&m_loop, 1);
    }
    ~PolledLoopback() {
        m_manager->ReleaseAllResources();
        close(m_listener);
    }
    PolledLoopback(const PolledLoopback&) = delete;
    PolledLoopback& operator=(const PolledLoopback&) = delete;

    qav::RefPtr<qav::ReliableConnection> Connect(ConnectionEventSink& sink) {
        qav::RefPtr<qav::ReliableConnection> connection(
            new qav::RefCountedObject<qav::ReliableConnection>(&m_services));
        connection->Connect("127.0.0.1", false, m_port, &sink);
        return connection;
    }
    int listener() const { return m_listener; }

  private:
    qav::SocketHandlerManager m_loop;
    qav::PlatformServices m_services;
    qav::RefPtr<qav::ProtocolManager> m_manager;
    int m_port = 0;
    int m_listener;
};

// Queues messages whenever the connection can take more, until stopped.
class Producer final : public ConnectionEventSink {
  public:
    explicit Producer(size_t size) : m_message(size, 'm') {}

    int32_t ManageConnectionProtocol(bool, const char*, const char*, int32_t, const char*, int32_t,
                                     ConnectionStream* connection, int32_t eventKind,
                                     qav::PlatformServices*) override {
        if (eventKind == kEventWritable) {
            Fill(*connection);
        }
        return 0;
    }
    void Fill(ConnectionStream& connection) {
        const int32_t length = static_cast<int32_t>(m_message.size());
        while (!m_stop && connection.Send(m_message.data(), length, nullptr) == length) {
        }
    }
    std::atomic<bool> m_stop{false};

  private:
    std::vector<char> m_message;
};

void BulkThroughReliableConnection(benchmark::State& state, size_t messageSize) {
    Producer producer(messageSize);
    PolledLoopback loopback;
    const qav::RefPtr<qav::ReliableConnection> connection = loopback.Connect(producer);
    const int listener = loopback.listener();
    {
        Receiver receiver(listener);
        while (connection->GetConnectionState() == qav::kConnectionConnecting) {
            std::this_thread::yield();
        }
        // The first message starts the road: once it has gone, the connection reports
        // that it can take more, and the producer keeps it full from then on.
        producer.Fill(*connection);
        for (auto _ : state) {
            if (!receiver.WaitFor(kBytesPerIteration)) {
                state.SkipWithError("the transfer stalled");
                break;
            }
        }
        producer.m_stop = true;
        connection->Disconnect();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytesPerIteration));
}

// Counts the writable events, for a sender on its own thread to wait for one.
class WritableWatch final : public ConnectionEventSink {
  public:
    int32_t ManageConnectionProtocol(bool, const char*, const char*, int32_t, const char*, int32_t,
                                     ConnectionStream*, int32_t eventKind,
                                     qav::PlatformServices*) override {
        if (eventKind == kEventWritable) {
            std::lock_guard<std::mutex> hold(m_mutex);
            ++m_writable;
            m_changed.notify_all();
        }
        return 0;
    }
    uint64_t Count() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_writable;
    }
    // Waits (at most 100 ms) for a writable event after the `seen`th.
    void WaitBeyond(uint64_t seen) {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_changed.wait_for(hold, std::chrono::milliseconds(100), [&] { return m_writable > seen; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_writable = 0;
};

void BulkFromOwnThread(benchmark::State& state, size_t messageSize) {
    WritableWatch watch;
    PolledLoopback loopback;
    const qav::RefPtr<qav::ReliableConnection> connection = loopback.Connect(watch);
    const int listener = loopback.listener();
    {
        Receiver receiver(listener);
        while (connection->GetConnectionState() == qav::kConnectionConnecting) {
            std::this_thread::yield();
        }
        std::atomic<bool> stop{false};
        std::thread sending([&] {
            const std::vector<char> message(messageSize, 'm');
            const int32_t length = static_cast<int32_t>(messageSize);
            while (!stop) {
                const uint64_t seen = watch.Count();
                if (connection->Send(message.data(), length, nullptr) != length) {
                    watch.WaitBeyond(seen);
                }
            }
        });
        for (auto _ : state) {
            if (!receiver.WaitFor(kBytesPerIteration)) {
                state.SkipWithError("the transfer stalled");
                break;
            }
        }
        stop = true;
        sending.join();
        connection->Disconnect();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytesPerIteration));
}

// Counts the bytes that come back, on the polling thread.
class EchoCounter final : public ConnectionEventSink {
  public:
    int32_t ManageConnectionProtocol(bool, const char*, const char*, int32_t, const char*, int32_t,
                                     ConnectionStream* connection, int32_t eventKind,
                                     qav::PlatformServices*) override {
        if (eventKind == kEventData) {
            std::vector<char> buffer(1 << 18);
            int32_t got = 0;
            uint64_t total = 0;
            while ((got = connection->Receive(buffer.data(), static_cast<int32_t>(buffer.size()))) >
                   0) {
                total += static_cast<uint64_t>(got);
            }
            std::lock_guard<std::mutex> hold(m_mutex);
            m_received += total;
            m_changed.notify_all();
        }
        return 0;
    }
    // Waits until `bytes` have come back in all; false after 10 s.
    bool WaitFor(uint64_t bytes) {
        std::unique_lock<std::mutex> hold(m_mutex);
        return m_changed.wait_for(hold, std::chrono::seconds(10),
                                  [&] { return m_received >= bytes; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_received = 0;
};

void RoundTripFromOwnThread(benchmark::State& state) {
    constexpr size_t kMessage = 65536;
    constexpr int kInFlight = 2;
    EchoCounter counter;
    PolledLoopback loopback;
    const qav::RefPtr<qav::ReliableConnection> connection = loopback.Connect(counter);
    const int listener = loopback.listener();
    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        timeval wake{0, 100000};
        setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
        // Answers once both messages of a round are in, so that only the sender's own
        // sends can move the connection along.
        constexpr size_t kRound = kInFlight * kMessage;
        std::vector<char> buffer(kRound);
        size_t have = 0;
        while (!stop) {
            const ssize_t got = recv(peer, buffer.data() + have, kRound - have, 0);
            have += got > 0 ? static_cast<size_t>(got) : 0;
            if (have < kRound) {
                continue;
            }
            have = 0;
            for (size_t done = 0; done < kRound && !stop;) {
                const ssize_t sent = send(peer, buffer.data() + done, kRound - done, MSG_NOSIGNAL);
                done += sent > 0 ? static_cast<size_t>(sent) : 0;
            }
        }
    });
    while (connection->GetConnectionState() == qav::kConnectionConnecting) {
        std::this_thread::yield();
    }
    const std::vector<char> message(kMessage, 'r');
    uint64_t expected = 0;
    std::vector<double> roundTrips;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kInFlight; ++i) {
            while (connection->Send(message.data(), kMessage, nullptr) != kMessage) {
                std::this_thread::yield();  // the queue holds only a few such messages
            }
        }
        expected += kInFlight * kMessage;
        if (!counter.WaitFor(expected)) {
            state.SkipWithError("the round trip stalled");
            break;
        }
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        roundTrips.push_back(took.count());
    }
    // The longest is what a user waits for at worst; on a shared machine it also catches
    // the scheduler's own stalls, so the 99.9th percentile is given beside it.
    if (!roundTrips.empty()) {
        std::sort(roundTrips.begin(), roundTrips.end());
        state.counters["longest_ms"] = roundTrips.back();
        state.counters["p999_ms"] = roundTrips[roundTrips.size() * 999 / 1000];
    }
    stop = true;
    echo.join();
    connection->Disconnect();
    close(peer);
}

void BulkThroughPlainSocket(benchmark::State& state, size_t messageSize) {
    int port = 0;
    const int listener = Listen(port);
    const int sender = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    const int buffer = kSocketBufferBytes;
    setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address);
    {
        Receiver receiver(listener);
        std::atomic<bool> stop{false};
        std::thread sending([&] {
            const std::vector<char> message(messageSize, 'm');
            while (!stop) {
                for (size_t done = 0; done < messageSize && !stop;) {
                    const ssize_t sent =
                        send(sender, message.data() + done, messageSize - done, MSG_NOSIGNAL);
                    if (sent > 0) {
                        done += static_cast<size_t>(sent);
                    } else {
                        pollfd writable{sender, POLLOUT, 0};
                        poll(&writable, 1, 100);
                    }
                }
            }
        });
        for (auto _ : state) {
            if (!receiver.WaitFor(kBytesPerIteration)) {
                state.SkipWithError("the transfer stalled");
                break;
            }
        }
        stop = true;
        sending.join();
        shutdown(sender, SHUT_RDWR);
    }
    close(sender);
    close(listener);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytesPerIteration));
}

BENCHMARK_CAPTURE(BulkThroughReliableConnection, 1400, 1400)
    ->Name("loopback_bulk_1400B/qav")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BulkThroughPlainSocket, 1400, 1400)
    ->Name("loopback_bulk_1400B/anchor")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BulkThroughReliableConnection, 64KiB, 65536)
    ->Name("loopback_bulk_64KiB/qav")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BulkThroughPlainSocket, 64KiB, 65536)
    ->Name("loopback_bulk_64KiB/anchor")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BulkFromOwnThread, 64KiB, 65536)
    ->Name("loopback_bulk_64KiB/qav-own-thread")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RoundTripFromOwnThread)
    ->Name("round_trip_64KiB_own_thread")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
