// The connection server over loopback, accepting on a real wait loop driven by a real
// polling thread; its clients are plain sockets of the test.
#include "network/connection_server.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <chrono>
#include <set>
#include <thread>

#include "network/loopback_test_support.h"

namespace qav {
namespace {

using test_support::ConnectLoopback;
using test_support::Eventually;
using test_support::OpenDescriptorCount;

class ConnectionServerTest : public test_support::PolledLoopTest {
  protected:
    ConnectionServerTest() : PolledLoopTest(kSeverityError) {}
    void TearDown() override {
        PolledLoopTest::TearDown();
        for (RefPtr<ConnectionServer>& server : m_servers) {
            server->Close();
        }
    }
    RefPtr<ConnectionServer> Listening(const char* address, int32_t& port) {
        RefPtr<ConnectionServer> server = m_services.CreateConnectionServer(address, port, &m_sink);
        EXPECT_TRUE(server) << "listening on " << (address != nullptr ? address : "null");
        m_servers.push_back(server);
        return server;
    }
    size_t Accepted() { return static_cast<size_t>(m_sink.Count(kEventConnected)); }

    static constexpr int32_t kEventConnected = ConnectionEventSink::kEventConnected;
    test_support::RecordingEventSink m_sink;  // closes its connections while the loop exists
    std::vector<RefPtr<ConnectionServer>> m_servers;
};

int IntOption(int socket, int level, int name) {
    int value = 0;
    socklen_t length = sizeof value;
    getsockopt(socket, level, name, &value, &length);
    return value;
}

// Sets the soft descriptor limit for a scope (at most the hard one).
class DescriptorLimit {
  public:
    explicit DescriptorLimit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit wanted{std::min(soft, m_saved.rlim_max), m_saved.rlim_max};
        current = setrlimit(RLIMIT_NOFILE, &wanted) == 0 ? wanted.rlim_cur : m_saved.rlim_cur;
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &m_saved); }
    rlim_t current = 0;

  private:
    rlimit m_saved{};
};

TEST_F(ConnectionServerTest, AcceptsOnEveryAddressFormWithThePeerAndTheConnectionOptions) {
    // The kernel caps the asked size at rmem_max and doubles it for its bookkeeping.
    const int rmemMax = std::atoi(test_support::ReadBytes("/proc/sys/net/core/rmem_max").c_str());
    for (const char* address : {static_cast<const char*>(nullptr), "", "127.0.0.1"}) {
        const std::string label = address == nullptr ? "null" : "'" + std::string(address) + "'";
        int32_t port = 0;
        RefPtr<ConnectionServer> server = Listening(address, port);
        ASSERT_GT(port, 0) << label << ": the chosen port is written back";
        EXPECT_EQ(port, server->GetPort()) << label;
        const size_t before = Accepted();
        const int client = ConnectLoopback(port);
        ASSERT_TRUE(Eventually([&] { return Accepted() == before + 1; })) << label;
        const auto accepted = m_sink.Events(kEventConnected).back();
        EXPECT_TRUE(accepted.incoming) << label;
        EXPECT_EQ("127.0.0.1", accepted.peerAddress) << label;
        EXPECT_EQ(test_support::LocalPort(client), accepted.peerPort) << label;
        EXPECT_EQ(port, accepted.localPort) << label;

        const int socket = dynamic_cast<SocketHandler*>(accepted.connection.get())->GetSocket();
        EXPECT_NE(0, fcntl(socket, F_GETFL) & O_NONBLOCK) << label << ": it would block the loop";
        EXPECT_NE(0, IntOption(socket, IPPROTO_TCP, TCP_NODELAY)) << label;
        EXPECT_NE(0, IntOption(socket, SOL_SOCKET, SO_KEEPALIVE)) << label;
        EXPECT_EQ(2 * std::min(rmemMax, 0x40000), IntOption(socket, SOL_SOCKET, SO_RCVBUF))
            << label;
        server->Close();
        close(client);
    }
}

TEST_F(ConnectionServerTest, FailedListenReportsItsStepAndLeavesNoDescriptorOpen) {
    int32_t usedPort = 0;
    RefPtr<ConnectionServer> holder = Listening("127.0.0.1", usedPort);
    const struct {
        const char* address;
        int32_t port;
        int error;
    } cases[] = {
        {"127.0.0.1", usedPort, EADDRINUSE}, {"", usedPort, EADDRINUSE},
        {"127.0.0.256", 0, EADDRNOTAVAIL},   {"localhost", 0, EADDRNOTAVAIL},
        {"127.0.0.1", 65536, EINVAL},        {"127.0.0.1", -1, EINVAL},
    };
    for (const auto& test : cases) {
        const std::string label = std::string(test.address) + ":" + std::to_string(test.port);
        RefPtr<ConnectionServer> server(new RefCountedObject<ConnectionServer>(&m_services));
        const int before = OpenDescriptorCount();
        const size_t logged = m_logger.Lines().size();
        int32_t port = test.port;
        EXPECT_FALSE(server->Listen(test.address, port)) << label;
        EXPECT_EQ(before, OpenDescriptorCount()) << label << ": a descriptor was left open";
        EXPECT_EQ(test.port, port) << label;
        EXPECT_EQ(-1, server->GetPort()) << label;
        EXPECT_EQ(test.error, server->GetLastSocketError()) << label;
        const std::vector<std::string> lines = m_logger.Lines();
        ASSERT_EQ(logged + 1, lines.size()) << label;
        EXPECT_EQ(FormatString("3 Failed to bind a TCP server socket: socket error %d = %S",
                               test.error, GetErrorText(test.error)),
                  lines.back())
            << label;
    }
    const int client = ConnectLoopback(usedPort);
    EXPECT_NE(-1, client) << "the holder of the port still listens";
    close(client);
}

TEST_F(ConnectionServerTest, CloseLeavesTheWaitLoopAndASecondCloseTouchesNothing) {
    int32_t port = 0;
    RefPtr<ConnectionServer> server = Listening(nullptr, port);
    const int listening = server->GetSocket();
    server->Close();
    EXPECT_FALSE(m_loop.RemoveHandler(server.get())) << "the server is still in the wait loop";
    EXPECT_EQ(-1, server->GetPort());
    EXPECT_EQ(-1, ConnectLoopback(port)) << "nothing listens any more";

    // Whatever holds the old descriptor number next must survive a second Close and a late
    // input call. When nothing took it yet, a socket of ours is placed there.
    int ours = -1;
    if (fcntl(listening, F_GETFD) == -1) {
        const int fresh = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ours = dup2(fresh, listening);
        ASSERT_EQ(listening, ours);
        if (fresh != ours) {
            close(fresh);
        }
    }
    server->Close();
    EXPECT_EQ(0, server->HandleInput());
    EXPECT_NE(-1, fcntl(listening, F_GETFD)) << "a second Close closed someone else's socket";
    if (ours != -1) {
        close(ours);
    }

    // Close forgot the owner: a reopened server could accept nothing, so it refuses.
    int32_t again = 0;
    EXPECT_FALSE(server->Listen(nullptr, again));
    EXPECT_EQ(-1, server->GetSocket());
}

TEST_F(ConnectionServerTest, AThousandConcurrentConnectsAreAllAccepted) {
    constexpr int kClients = 1000;
    DescriptorLimit limit(4096);
    if (limit.current < 2 * kClients + 64) {
        GTEST_SKIP() << "the descriptor limit is too low: " << limit.current;
    }
    int32_t port = 0;
    Listening("127.0.0.1", port);
    // Connects go out no faster than a backlog of 100 would take them: beyond its backlog
    // the kernel drops handshakes and retries them only after seconds, which measures the
    // kernel.
    constexpr int kMostPending = 90;
    std::vector<int> clients;
    std::multiset<int32_t> clientPorts;
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(Eventually([&] { return i - static_cast<int>(Accepted()) < kMostPending; }))
            << "accepting stalled at client " << i << " with " << Accepted() << " accepted";
        clients.push_back(ConnectLoopback(port, SOCK_NONBLOCK));
        ASSERT_NE(-1, clients.back()) << "client " << i << ": " << errno;
        clientPorts.insert(test_support::LocalPort(clients.back()));
    }
    EXPECT_TRUE(Eventually([&] { return Accepted() == kClients; })) << Accepted();
    std::multiset<int32_t> acceptedPorts;
    for (const auto& accepted : m_sink.Events(kEventConnected)) {
        EXPECT_TRUE(accepted.incoming);
        acceptedPorts.insert(accepted.peerPort);
    }
    EXPECT_EQ(clientPorts, acceptedPorts) << "each client accepted exactly once";
    for (int client : clients) {
        close(client);
    }
}

// How many connections wait in a listening socket's backlog.
int Backlog(int listening) {
    tcp_info info{};
    socklen_t length = sizeof info;
    getsockopt(listening, IPPROTO_TCP, TCP_INFO, &info, &length);
    return static_cast<int>(info.tcpi_unacked);  // of a listener: its accept queue
}

// A burst of connects larger than a turn takes is held in the backlog and taken in as few
// turns as the bound per turn allows, not one turn each: each turn polls every socket held.
TEST(ConnectionServer, AcceptsTheWholeBacklogInOneTurnUpToItsBound) {
    constexpr int kPerTurn = ConnectionServer::kMostAcceptsPerTurn;
    constexpr int kClients = 3 * kPerTurn + 8;
    SocketHandlerManager loop;  // turned by this test alone
    PlatformServices services;
    services.SetSocketHandlerManager(&loop);
    test_support::RecordingEventSink sink;
    int32_t port = 0;
    RefPtr<ConnectionServer> server = services.CreateConnectionServer("127.0.0.1", port, &sink);
    ASSERT_TRUE(server);
    std::vector<int> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(ConnectLoopback(port, SOCK_NONBLOCK));
        ASSERT_NE(-1, clients.back());
    }
    ASSERT_TRUE(Eventually([&] { return Backlog(server->GetSocket()) == kClients; }))
        << Backlog(server->GetSocket()) << " of " << kClients
        << " connects wait to be accepted: the backlog is too small for a burst";

    for (const int accepted : {kPerTurn, 2 * kPerTurn, 3 * kPerTurn, kClients}) {
        EXPECT_EQ(Waiter::kHandled, loop.Wait(5000));
        EXPECT_EQ(accepted, sink.Count(1)) << "accepted after a turn";
        EXPECT_EQ(kClients - accepted, Backlog(server->GetSocket()));
    }
    // An empty backlog is no failure: nothing is logged for the accept that found nothing.
    EXPECT_EQ(0, server->GetLastSocketError());

    server->Close();
    for (int client : clients) {
        close(client);
    }
    for (auto& accepted : sink.Events(1)) {
        accepted.connection->Disconnect();
    }
    while (loop.Wait(0) == Waiter::kHandled) {
    }
}

// Close on another thread returns only once the hand-over of a connection accepted before
// it has reached the owner, so the owner may go right after Close.
TEST_F(ConnectionServerTest, CloseWaitsForTheHandOverUnderWay) {
    int32_t port = 0;
    RefPtr<ConnectionServer> server = Listening("127.0.0.1", port);
    test_support::HeldCallout held;
    m_sink.onEvent = [&](ConnectionStream&, int32_t kind) {
        if (kind == ConnectionEventSink::kEventConnected) {
            held.Hold();
        }
    };
    const int client = ConnectLoopback(port);
    held.WaitUntilEntered();
    EXPECT_TRUE(held.CloseWaitedForIt([&] { server->Close(); }))
        << "Close returned while the owner was still being told of a connection";
    // Once it is closed, the accepted connection calls the sink no more.
    ASSERT_EQ(1, m_sink.Count(ConnectionEventSink::kEventConnected));
    m_sink.Events(ConnectionEventSink::kEventConnected)[0].connection->Disconnect();
    m_sink.onEvent = nullptr;
    close(client);
}

TEST_F(ConnectionServerTest, RunningOutOfDescriptorsPausesTheServerInsteadOfSpinning) {
#ifdef QAV_UNDEFINED_SANITIZER
    // Its check of a virtual call opens a pipe to probe memory; without a free descriptor
    // it reports every such call as one on a broken object.
    GTEST_SKIP() << "UndefinedBehaviorSanitizer cannot check calls without free descriptors";
#endif
    int32_t port = 0;
    RefPtr<ConnectionServer> server = Listening("127.0.0.1", port);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    {
        DescriptorLimit limit(static_cast<rlim_t>(OpenDescriptorCount()) + 8);
        std::vector<int> fillers;
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            fillers.push_back(fd);
        }
        const sockaddr_in address = test_support::LoopbackAddress(port);
        EXPECT_EQ(0, connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address));
        EXPECT_TRUE(Eventually([&] { return server->GetLastSocketError() == EMFILE; }));
        const int turnsBefore = m_loop.turns.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // A turn without the paused server sleeps its 100 ms; a spinning loop turns
        // thousands of times.
        EXPECT_LE(m_loop.turns.load() - turnsBefore, 20) << "the wait loop spins";
        EXPECT_LE(m_logger.Lines().size(), 10u);
        EXPECT_EQ(0u, Accepted());
        for (int fd : fillers) {
            close(fd);
        }
    }
    EXPECT_TRUE(Eventually([&] { return Accepted() == 1; }))
        << "the waiting connection is accepted once descriptors are free again";
    ASSERT_FALSE(m_logger.Lines().empty());
    EXPECT_EQ(FormatString("3 Failed to accept socket: socket error %d = %S", EMFILE,
                           GetErrorText(EMFILE)),
              m_logger.Lines()[0]);
    close(client);
}

}  // namespace
}  // namespace qav
