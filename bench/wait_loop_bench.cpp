// One turn of the socket wait loop with N idle registered sockets and one socket that has
// a byte to read, against the bare system calls doing the same turn: a poll() over one
// kept array ("<case>/anchor") and an epoll_wait over one kept interest set
// ("<case>_epoll/anchor", beside a second run of the same turn so that both ratios print).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "network/socket_handler_manager.h"

namespace {

using qav::RefCountedObject;
using qav::RefPtr;
using qav::SocketHandler;
using qav::SocketHandlerManager;

class ReadingHandler : public RefCountedObject<SocketHandler> {
  public:
    explicit ReadingHandler(int socket) : m_socket(socket) {}
    uint32_t GetWaitEvents() override { return kWaitInput; }
    int GetSocket() override { return m_socket; }
    intptr_t HandleInput() override {
        char byte;
        return read(m_socket, &byte, 1);
    }
    void ProcessInput(intptr_t) override {}
    void HandleOutput() override {}
    void HandleError() override {}

  private:
    int m_socket;
};

// N idle socket pairs and the ping pair, registered with a manager, a poll array and an
// epoll set alike. Built once per N and kept for the process.
struct Setup {
    explicit Setup(int idle) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        const rlim_t needed = static_cast<rlim_t>(idle) * 2 + 64;
        if (limit.rlim_cur < needed && limit.rlim_max >= needed) {
            limit.rlim_cur = needed;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        epoll = epoll_create1(EPOLL_CLOEXEC);
        for (int i = 0; i <= idle; ++i) {
            int fds[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
                std::perror("socketpair");
                ok = false;
                return;
            }
            peers.push_back(fds[1]);
            handlers.emplace_back(new ReadingHandler(fds[0]));
            manager.AddHandler(handlers.back().get());
            records.push_back({fds[0], POLLIN, 0});
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fds[0];
            epoll_ctl(epoll, EPOLL_CTL_ADD, fds[0], &event);
        }
        ping = peers.back();  // the last pair is the one with traffic
    }

    bool ok = true;
    SocketHandlerManager manager;
    std::vector<RefPtr<ReadingHandler>> handlers;
    std::vector<int> peers;
    std::vector<pollfd> records;
    int epoll = -1;
    int ping = -1;
};

Setup& SetupFor(int idle) {
    static std::map<int, std::unique_ptr<Setup>> setups;
    auto& setup = setups[idle];
    if (!setup)
        setup = std::make_unique<Setup>(idle);
    return *setup;
}

void Ping(benchmark::State& state, const Setup& setup) {
    if (write(setup.ping, "x", 1) != 1)
        state.SkipWithError("write failed");
}

void TurnOfTheWaitLoop(benchmark::State& state, int idle) {
    Setup& setup = SetupFor(idle);
    if (!setup.ok)
        return state.SkipWithError("not enough descriptors");
    for (auto _ : state) {
        Ping(state, setup);
        benchmark::DoNotOptimize(setup.manager.Wait(1000));
    }
}

void TurnOfBarePoll(benchmark::State& state, int idle) {
    Setup& setup = SetupFor(idle);
    if (!setup.ok)
        return state.SkipWithError("not enough descriptors");
    std::vector<pollfd>& records = setup.records;
    for (auto _ : state) {
        Ping(state, setup);
        int ready = poll(records.data(), records.size(), 1000);
        for (size_t i = 0; ready > 0 && i < records.size(); ++i) {
            if (records[i].revents != 0) {
                char byte;
                benchmark::DoNotOptimize(read(records[i].fd, &byte, 1));
                --ready;
            }
        }
    }
}

void TurnOfBareEpoll(benchmark::State& state, int idle) {
    Setup& setup = SetupFor(idle);
    if (!setup.ok)
        return state.SkipWithError("not enough descriptors");
    epoll_event events[64];
    for (auto _ : state) {
        Ping(state, setup);
        const int ready = epoll_wait(setup.epoll, events, 64, 1000);
        for (int i = 0; i < ready; ++i) {
            char byte;
            benchmark::DoNotOptimize(read(events[i].data.fd, &byte, 1));
        }
    }
}

void RegisterAll() {
    for (const int idle : {10, 100, 1000, 5000}) {
        const std::string name = "wait_turn_" + std::to_string(idle) + "_idle";
        benchmark::RegisterBenchmark((name + "/qav").c_str(), TurnOfTheWaitLoop, idle);
        benchmark::RegisterBenchmark((name + "/anchor").c_str(), TurnOfBarePoll, idle);
        benchmark::RegisterBenchmark((name + "_epoll/qav").c_str(), TurnOfTheWaitLoop, idle);
        benchmark::RegisterBenchmark((name + "_epoll/anchor").c_str(), TurnOfBareEpoll, idle);
    }
}

const int kRegistered = (RegisterAll(), 0);

}  // namespace
