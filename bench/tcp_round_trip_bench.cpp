// Round trips over loopback TCP through an echo server: ours (the connection server, its
// reliable connections and the polling thread's wait loop, echoing on the data event)
// against a libevent echo server (bufferevents), once on its poll() backend
// ("<case>/anchor-libevent_poll") and once on its default backend
// ("<case>/anchor-libevent_default", epoll). The client side is the same for all: plain
// blocking sockets in the benchmark thread that send one message on every connection,
// then read every echo back. Times are wall-clock times; items are round trips.
#include <benchmark/benchmark.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "manager/protocol_manager.h"
#include "network/connection_event_sink.h"
#include "network/connection_server.h"
#include "network/connection_stream.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"

namespace {

using namespace qav;

constexpr size_t kMessageSize = 64;

// Echoes what each connection receives, on the polling thread, and keeps the connections
// so that they can be closed at the end.
class EchoSink final : public ConnectionEventSink {
  public:
    int32_t ManageConnectionProtocol(bool, const char*, const char*, int32_t, const char*, int32_t,
                                     ConnectionStream* connection, int32_t eventKind,
                                     PlatformServices*) override {
        if (eventKind == kEventConnected) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connections.emplace_back(connection);
        } else if (eventKind == kEventData) {
            char buffer[16384];
            const int32_t got = connection->Receive(buffer, sizeof buffer);
            if (got > 0) {
                connection->Send(buffer, got, nullptr);
            }
        }
        return 0;
    }

    void DisconnectAll() {
        std::vector<RefPtr<ConnectionStream>> connections;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            connections.swap(m_connections);
        }
        for (auto& connection : connections) {
            connection->Disconnect();
        }
    }

  private:
    std::mutex m_mutex;
    std::vector<RefPtr<ConnectionStream>> m_connections;
};

class EchoServer {
  public:
    virtual ~EchoServer() = default;
    virtual int Port() const = 0;
    // The wait method in use.
    virtual const char* Method() const = 0;
};

class QavEchoServer final : public EchoServer {
  public:
    QavEchoServer() {
        m_services.SetSocketHandlerManager(&m_loop);
        m_manager->StartPollingThreads(&m_loop, 1);
        m_server = m_services.CreateConnectionServer("127.0.0.1", m_port, &m_sink);
    }
    ~QavEchoServer() override {
        m_manager->ReleaseAllResources();
        if (m_server) {
            m_server->Close();
        }
        m_sink.DisconnectAll();
    }
    int Port() const override { return m_server ? m_port : -1; }
    const char* Method() const override { return "poll"; }

  private:
    SocketHandlerManager m_loop;
    PlatformServices m_services{"/nonexistent/resolv.conf"};
    RefPtr<ProtocolManager> m_manager{new ProtocolManager};
    EchoSink m_sink;
    int32_t m_port = 0;
    RefPtr<ConnectionServer> m_server;
};

// libevent's echo server: every byte read goes straight into the output buffer.
class LibeventEchoServer final : public EchoServer {
  public:
    explicit LibeventEchoServer(bool forcePoll) {
        static const int threads = evthread_use_pthreads();
        (void)threads;
        event_config* config = event_config_new();
        if (forcePoll) {
            event_config_avoid_method(config, "epoll");
            event_config_avoid_method(config, "select");
        }
        m_base = event_base_new_with_config(config);
        event_config_free(config);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_listener = evconnlistener_new_bind(m_base, &Accept, m_base,
                                             LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, 100,
                                             reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (m_listener != nullptr) {
            sockaddr_in bound{};
            socklen_t length = sizeof bound;
            getsockname(evconnlistener_get_fd(m_listener), reinterpret_cast<sockaddr*>(&bound),
                        &length);
            m_port = ntohs(bound.sin_port);
        }
        m_thread = std::thread([this] { event_base_loop(m_base, EVLOOP_NO_EXIT_ON_EMPTY); });
    }
    ~LibeventEchoServer() override {
        event_base_loopbreak(m_base);
        m_thread.join();
        if (m_listener != nullptr) {
            evconnlistener_free(m_listener);
        }
        for (bufferevent* connection : s_connections) {
            bufferevent_free(connection);
        }
        s_connections.clear();
        event_base_free(m_base);
    }
    int Port() const override { return m_listener != nullptr ? m_port : -1; }
    const char* Method() const override { return event_base_get_method(m_base); }

  private:
    static void Accept(evconnlistener*, evutil_socket_t socket, sockaddr*, int, void* base) {
        const int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        bufferevent* connection =
            bufferevent_socket_new(static_cast<event_base*>(base), socket, BEV_OPT_CLOSE_ON_FREE);
        bufferevent_setcb(connection, &Echo, nullptr, nullptr, nullptr);
        bufferevent_enable(connection, EV_READ | EV_WRITE);
        s_connections.push_back(connection);  // only the loop's thread touches it until the end
    }
    static void Echo(bufferevent* connection, void*) {
        evbuffer_add_buffer(bufferevent_get_output(connection), bufferevent_get_input(connection));
    }

    static inline std::vector<bufferevent*> s_connections;
    event_base* m_base = nullptr;
    evconnlistener* m_listener = nullptr;
    int m_port = -1;
    std::thread m_thread;
};

bool SendAll(int socket, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t sent = send(socket, data, length, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveAll(int socket, char* buffer, size_t length) {
    while (length > 0) {
        const ssize_t got = recv(socket, buffer, length, 0);
        if (got <= 0) {
            return false;
        }
        buffer += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// `count` blocking clients of the server; empty when one cannot connect.
std::vector<int> ConnectClients(int port, int count) {
    std::vector<int> clients;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(client);
            for (int open : clients) {
                close(open);
            }
            return {};
        }
        clients.push_back(client);
    }
    return clients;
}

enum class ServerKind { kQav, kLibeventPoll, kLibeventDefault };

std::unique_ptr<EchoServer> MakeServer(ServerKind kind) {
    switch (kind) {
        case ServerKind::kQav:
            return std::make_unique<QavEchoServer>();
        case ServerKind::kLibeventPoll:
            return std::make_unique<LibeventEchoServer>(true);
        case ServerKind::kLibeventDefault:
            return std::make_unique<LibeventEchoServer>(false);
    }
    return nullptr;
}

void RoundTrips(benchmark::State& state, ServerKind kind, int connections) {
    std::unique_ptr<EchoServer> server = MakeServer(kind);
    if (server->Port() < 0) {
        state.SkipWithError("the server does not listen");
        return;
    }
    state.SetLabel(server->Method());
    std::vector<int> clients = ConnectClients(server->Port(), connections);
    if (clients.empty()) {
        state.SkipWithError("a client cannot connect");
        return;
    }
    char message[kMessageSize];
    std::memset(message, 'q', sizeof message);
    char echo[kMessageSize];
    // Once around before timing: every connection is accepted and echoing.
    for (int client : clients) {
        if (!SendAll(client, message, sizeof message) || !ReceiveAll(client, echo, sizeof echo)) {
            state.SkipWithError("no echo");
            return;
        }
    }
    using Clock = std::chrono::steady_clock;
    Clock::duration longest{};
    bool failed = false;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        for (int client : clients) {
            failed |= !SendAll(client, message, sizeof message);
        }
        for (int client : clients) {
            failed |= !ReceiveAll(client, echo, sizeof echo);
        }
        longest = std::max(longest, Clock::now() - start);
    }
    if (failed) {
        state.SkipWithError("an echo was lost");
    }
    state.SetItemsProcessed(state.iterations() * connections);
    // One turn of the wait loop is 100 ms: a reply that waited for it would show here.
    state.counters["longest_us"] = std::chrono::duration<double, std::micro>(longest).count();
    for (int client : clients) {
        close(client);
    }
}

void RegisterAll() {
    for (int connections : {1, 100}) {
        const std::string name = "tcp_round_trip_" + std::to_string(connections) + "conn";
        const struct {
            const char* suffix;
            ServerKind kind;
        } servers[] = {{"/qav", ServerKind::kQav},
                       {"/anchor-libevent_poll", ServerKind::kLibeventPoll},
                       {"/anchor-libevent_default", ServerKind::kLibeventDefault}};
        for (const auto& server : servers) {
            benchmark::RegisterBenchmark((name + server.suffix).c_str(), RoundTrips, server.kind,
                                         connections)
                ->UseRealTime();
        }
    }
}

const bool kRegistered = (RegisterAll(), true);

}  // namespace
