// Datagrams into the datagram listener through the socket wait loop and the manager's
// packet intake (a pooled packet lent and given back per datagram), against a plain
// recvfrom loop on a UDP socket of the same kind. Both sides send their own batch over
// loopback first, so the send cost is in both times.
//
// The "_held" cases do the same while the wait loop also watches 5,000 idle sockets, as
// a node holding that many connections does. The "_held/" case runs the loop's poll
// fallback, and its anchor polls the same sockets once and then reads until the receiver
// would block; the "_held_epoll/" case runs the loop as the node does, with epoll, and
// its anchor keeps the same sockets in an epoll set of its own, waits on it and reads.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "manager/protocol_manager.h"
#include "network/datagram_listener.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"

namespace {

using qav::DatagramListener;
using qav::RefCountedObject;
using qav::RefPtr;

constexpr int kBatch = 32;
constexpr size_t kDatagramSize = 256;

int BoundUdpSocket(uint16_t& port) {
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return socket;
}

// A sender connected to `port` on loopback.
int ConnectedSender(uint16_t port) {
    uint16_t ignored = 0;
    const int socket = BoundUdpSocket(ignored);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::connect(socket, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return socket;
}

void SendBatch(int sender, const char* bytes) {
    for (int i = 0; i < kBatch; ++i) {
        if (::send(sender, bytes, kDatagramSize, 0) != static_cast<ssize_t>(kDatagramSize)) {
            std::perror("send");
        }
    }
}

// Sends batches to a listener in `loop`, each taken in whole by the manager before the
// next goes.
void MeasureIntake(benchmark::State& state, qav::SocketHandlerManager& loop) {
    qav::PlatformServices services;
    services.SetSocketHandlerManager(&loop);
    RefPtr<qav::ProtocolManager> manager(new qav::ProtocolManager);
    RefPtr<DatagramListener> listener(new RefCountedObject<DatagramListener>(&services));
    listener->SetPacketSink(manager.get());
    if (!listener->StartListening(u"", "127.0.0.1", 0, true, false) ||
        !loop.AddHandler(listener.get())) {
        state.SkipWithError("no listener");
        return;
    }
    const int sender = ConnectedSender(static_cast<uint16_t>(listener->GetPort()));
    const std::string bytes(kDatagramSize, 'x');
    uint64_t expected = 0;
    for (auto _ : state) {
        SendBatch(sender, bytes.data());
        expected += kBatch;
        while (manager->GetDatagramCount() < expected) {
            loop.Wait(100);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(expected));
    if (manager->GetPacketPool().GetOutstandingCount() != 0) {
        state.SkipWithError("a packet was not given back");
    }
    listener->Disconnect();
    ::close(sender);
}

void DatagramsQav(benchmark::State& state) {
    qav::SocketHandlerManager loop;
    MeasureIntake(state, loop);
}

void DatagramsAnchor(benchmark::State& state) {
    uint16_t port = 0;
    const int receiver = BoundUdpSocket(port);
    const int sender = ConnectedSender(port);
    const std::string bytes(kDatagramSize, 'x');
    char buffer[4096];
    int64_t received = 0;
    for (auto _ : state) {
        SendBatch(sender, bytes.data());
        for (int got = 0; got < kBatch;) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            if (::recvfrom(receiver, buffer, sizeof buffer, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &length) >= 0) {
                ++got;
            }
        }
        received += kBatch;
        benchmark::DoNotOptimize(buffer);
    }
    state.SetItemsProcessed(received);
    ::close(sender);
    ::close(receiver);
}

// A socket that is watched for input and never has any, as a held connection at rest.
class IdleHandler : public RefCountedObject<qav::SocketHandler> {
  public:
    explicit IdleHandler(int socket) : m_socket(socket) {}
    uint32_t GetWaitEvents() override { return kWaitInput; }
    int GetSocket() override { return m_socket; }
    intptr_t HandleInput() override { return 0; }
    void ProcessInput(intptr_t) override {}
    void HandleOutput() override {}
    void HandleError() override {}

  private:
    int m_socket;
};

constexpr int kHeldSockets = 5000;

// The idle sockets of the "_held" cases, made once for the process; empty when the
// descriptors run out.
const std::vector<int>& HeldSockets() {
    static const std::vector<int> sockets = [] {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        const rlim_t needed = kHeldSockets + 64;
        if (limit.rlim_cur < needed && limit.rlim_max >= needed) {
            limit.rlim_cur = needed;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        std::vector<int> made;
        for (int i = 0; i < kHeldSockets; ++i) {
            uint16_t port = 0;
            const int socket = BoundUdpSocket(port);
            if (socket < 0) {
                std::perror("socket");
                for (int open : made) {
                    ::close(open);
                }
                return std::vector<int>{};
            }
            made.push_back(socket);
        }
        return made;
    }();
    return sockets;
}

void MeasureHeldIntake(benchmark::State& state, qav::SocketHandlerManager::WaitMethod method) {
    const std::vector<int>& held = HeldSockets();
    if (held.empty()) {
        state.SkipWithError("not enough descriptors");
        return;
    }
    qav::SocketHandlerManager loop(method);
    if (loop.GetWaitMethod() != method) {
        state.SkipWithError("the wait method is not available");
        return;
    }
    std::vector<RefPtr<IdleHandler>> idle;
    for (int socket : held) {
        idle.emplace_back(new IdleHandler(socket));
        loop.AddHandler(idle.back().get());
    }
    MeasureIntake(state, loop);
    for (const RefPtr<IdleHandler>& handler : idle) {
        loop.RemoveHandler(handler.get());
    }
}

void DatagramsQavHeld(benchmark::State& state) {
    MeasureHeldIntake(state, qav::SocketHandlerManager::WaitMethod::kPoll);
}

void DatagramsQavHeldEpoll(benchmark::State& state) {
    MeasureHeldIntake(state, qav::SocketHandlerManager::WaitMethod::kEpoll);
}

// The bare intake with the held sockets watched beside the receiver. `watch` is given the
// held sockets and the receiver and returns the wait: a callable that blocks until a socket
// is ready or its time-out passes, and says whether one is.
template <typename Watch>
void MeasureHeldAnchor(benchmark::State& state, Watch watch) {
    const std::vector<int>& held = HeldSockets();
    if (held.empty()) {
        state.SkipWithError("not enough descriptors");
        return;
    }
    uint16_t port = 0;
    const int receiver = BoundUdpSocket(port);
    const int sender = ConnectedSender(port);
    {
        auto waitReady = watch(held, receiver);
        const std::string bytes(kDatagramSize, 'x');
        char buffer[4096];
        int64_t received = 0;
        for (auto _ : state) {
            SendBatch(sender, bytes.data());
            for (int got = 0; got < kBatch;) {
                if (!waitReady()) {
                    continue;
                }
                sockaddr_in from{};
                socklen_t length = sizeof from;
                while (::recvfrom(receiver, buffer, sizeof buffer, MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&from), &length) >= 0) {
                    ++got;
                    length = sizeof from;
                }
            }
            received += kBatch;
            benchmark::DoNotOptimize(buffer);
        }
        state.SetItemsProcessed(received);
    }
    ::close(sender);
    ::close(receiver);
}

void DatagramsAnchorHeld(benchmark::State& state) {
    MeasureHeldAnchor(state, [](const std::vector<int>& held, int receiver) {
        std::vector<pollfd> records;
        for (int socket : held) {
            records.push_back({socket, POLLIN, 0});
        }
        records.push_back({receiver, POLLIN, 0});
        return [records]() mutable { return ::poll(records.data(), records.size(), 100) > 0; };
    });
}

// An epoll set over the held sockets and the receiver, closed with it.
class EpollWait {
  public:
    EpollWait(const std::vector<int>& held, int receiver) : m_set(::epoll_create1(EPOLL_CLOEXEC)) {
        for (int socket : held) {
            Watch(socket);
        }
        Watch(receiver);
    }
    ~EpollWait() { ::close(m_set); }
    EpollWait(const EpollWait&) = delete;
    EpollWait& operator=(const EpollWait&) = delete;

    bool operator()() { return ::epoll_wait(m_set, m_ready, 64, 100) > 0; }

  private:
    void Watch(int socket) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = socket;
        ::epoll_ctl(m_set, EPOLL_CTL_ADD, socket, &event);
    }

    int m_set;
    epoll_event m_ready[64];
};

void DatagramsAnchorHeldEpoll(benchmark::State& state) {
    MeasureHeldAnchor(state, [](const std::vector<int>& held, int receiver) {
        return EpollWait(held, receiver);
    });
}

BENCHMARK(DatagramsQav)->Name("udp_receive_256B_batch32/qav");
BENCHMARK(DatagramsAnchor)->Name("udp_receive_256B_batch32/anchor");
BENCHMARK(DatagramsQavHeld)->Name("udp_receive_256B_batch32_held/qav");
BENCHMARK(DatagramsAnchorHeld)->Name("udp_receive_256B_batch32_held/anchor");
BENCHMARK(DatagramsQavHeldEpoll)->Name("udp_receive_256B_batch32_held_epoll/qav");
BENCHMARK(DatagramsAnchorHeldEpoll)->Name("udp_receive_256B_batch32_held_epoll/anchor");

}  // namespace
