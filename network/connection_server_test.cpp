// The connection server over loopback, accepting on a real wait loop driven by a real
// polling thread; its clients are plain sockets of the test.
#include "network/connection_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/polling_test_support.h"
#include "core/test_support.h"
#include "manager/connection_event_sink.h"
#include "manager/protocol_manager.h"
#include "network/connection_stream.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"

namespace qav {
namespace {

using test_support::CapturingTextLogger;
using test_support::Eventually;

class CountingWaitLoop final : public SocketHandlerManager {
  public:
    int Wait(int timeoutMs) override {
        turns.fetch_add(1);
        return SocketHandlerManager::Wait(timeoutMs);
    }
    std::atomic<int> turns{0};
};

// Keeps the connections that report themselves connected; closes them at the end.
class AcceptSink final : public ConnectionEventSink {
  public:
    struct Accepted {
        bool incoming;
        std::string peerAddress;
        int32_t peerPort;
        int32_t localPort;
        RefPtr<ConnectionStream> connection;
    };
    ~AcceptSink() {
        for (Accepted& accepted : Taken()) {
            accepted.connection->Disconnect();
        }
    }
    int32_t ManageConnectionProtocol(bool incoming, const char*, const char* peerAddress,
                                     int32_t peerPort, const char*, int32_t localPort,
                                     ConnectionStream* connection, int32_t eventKind,
                                     PlatformServices*) override {
        if (eventKind == kEventConnected) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_accepted.push_back({incoming, peerAddress, peerPort, localPort, connection});
        }
        return 0;
    }
    std::vector<Accepted> Taken() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_accepted;
    }
    size_t Count() { return Taken().size(); }

  private:
    std::mutex m_mutex;
    std::vector<Accepted> m_accepted;
};

// A polling thread spending its turns in a wait loop that the services hand to every
// socket object. Members end in reverse order: the sink closes its connections while the
// wait loop still exists, after the thread has stopped; the logger outlives the thread.
class ConnectionServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_services.SetSocketHandlerManager(&m_loop);
        ASSERT_EQ(1, m_manager->StartPollingThreads(&m_loop, 1));
    }
    void TearDown() override {
        m_manager->ReleaseAllResources();
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
    // The lines logged since the last call.
    std::vector<std::string> NewLogLines() {
        std::vector<std::string> lines = m_logger.Lines();
        lines.erase(lines.begin(), lines.begin() + static_cast<ptrdiff_t>(m_linesSeen));
        m_linesSeen += lines.size();
        return lines;
    }

    CapturingTextLogger m_logger{kSeverityError};
    size_t m_linesSeen = 0;
    CountingWaitLoop m_loop;
    PlatformServices m_services{"/nonexistent/resolv.conf"};
    AcceptSink m_sink;
    RefPtr<ProtocolManager> m_manager{new ProtocolManager};
    std::vector<RefPtr<ConnectionServer>> m_servers;
};

sockaddr_in Loopback(int32_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket (blocking unless `flags` say otherwise) connecting to 127.0.0.1:port, or -1.
int Client(int32_t port, int flags = 0) {
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    const sockaddr_in address = Loopback(port);
    if (connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        close(client);
        return -1;
    }
    return client;
}

int32_t LocalPort(int socket) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

int IntOption(int socket, int level, int name) {
    int value = 0;
    socklen_t length = sizeof value;
    getsockopt(socket, level, name, &value, &length);
    return value;
}

int OpenDescriptorCount() {
    using std::filesystem::directory_iterator;
    return static_cast<int>(std::distance(directory_iterator("/proc/self/fd"), {}));
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
    const char* const addresses[] = {nullptr, "", "127.0.0.1"};
    for (const char* address : addresses) {
        const std::string label = address == nullptr ? "null" : "'" + std::string(address) + "'";
        int32_t port = 0;
        RefPtr<ConnectionServer> server = Listening(address, port);
        ASSERT_GT(port, 0) << label << ": the chosen port is written back";
        EXPECT_EQ(port, server->GetPort()) << label;
        const size_t before = m_sink.Count();
        const int client = Client(port);
        ASSERT_TRUE(Eventually([&] { return m_sink.Count() == before + 1; })) << label;
        const AcceptSink::Accepted accepted = m_sink.Taken().back();
        EXPECT_TRUE(accepted.incoming) << label;
        EXPECT_EQ("127.0.0.1", accepted.peerAddress) << label;
        EXPECT_EQ(LocalPort(client), accepted.peerPort) << label;
        EXPECT_EQ(port, accepted.localPort) << label;

        const int socket = dynamic_cast<SocketHandler*>(accepted.connection.get())->GetSocket();
        EXPECT_NE(0, fcntl(socket, F_GETFL) & O_NONBLOCK) << label << ": it would block the loop";
        EXPECT_NE(0, IntOption(socket, IPPROTO_TCP, TCP_NODELAY)) << label;
        EXPECT_NE(0, IntOption(socket, SOL_SOCKET, SO_KEEPALIVE)) << label;
        // The kernel caps the asked size at rmem_max and doubles it for its bookkeeping.
        const int rmemMax =
            std::atoi(test_support::ReadBytes("/proc/sys/net/core/rmem_max").c_str());
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
        int32_t port = test.port;
        EXPECT_FALSE(server->Listen(test.address, port)) << label;
        EXPECT_EQ(before, OpenDescriptorCount()) << label << ": a descriptor was left open";
        EXPECT_EQ(test.port, port) << label;
        EXPECT_EQ(-1, server->GetPort()) << label;
        EXPECT_EQ(test.error, server->GetLastSocketError()) << label;
        EXPECT_EQ(std::vector<std::string>{FormatString(
                      "3 Failed to bind a TCP server socket: socket error %d = %S", test.error,
                      GetErrorText(test.error))},
                  NewLogLines())
            << label;
    }
    const int client = Client(usedPort);
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
    EXPECT_EQ(-1, Client(port)) << "nothing listens any more";

    // The next socket takes the old descriptor number: neither a second Close nor a late
    // input call may touch it.
    const int reused = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(listening, reused);
    server->Close();
    EXPECT_EQ(0, server->HandleInput());
    EXPECT_NE(-1, fcntl(reused, F_GETFD)) << "a second Close closed someone else's socket";
    close(reused);
}

TEST_F(ConnectionServerTest, AThousandConcurrentConnectsAreAllAccepted) {
    constexpr int kClients = 1000;
    DescriptorLimit limit(4096);
    if (limit.current < 2 * kClients + 64) {
        GTEST_SKIP() << "the descriptor limit is too low: " << limit.current;
    }
    int32_t port = 0;
    RefPtr<ConnectionServer> server = Listening("127.0.0.1", port);
    // Connects go out as fast as the backlog of 100 takes them. Beyond it the kernel
    // itself drops handshakes, and a dropped client comes back only after seconds of
    // back-off, which measures the kernel, not the server.
    constexpr int kMostPending = 90;
    std::vector<int> clients;
    std::multiset<int32_t> clientPorts;
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(Eventually([&] { return i - static_cast<int>(m_sink.Count()) < kMostPending; }))
            << "accepting stalled at client " << i << " with " << m_sink.Count() << " accepted";
        clients.push_back(Client(port, SOCK_NONBLOCK));
        ASSERT_NE(-1, clients.back()) << "client " << i << ": " << errno;
        clientPorts.insert(LocalPort(clients.back()));
    }
    EXPECT_TRUE(Eventually([&] { return m_sink.Count() == kClients; })) << m_sink.Count();
    std::multiset<int32_t> acceptedPorts;
    for (const AcceptSink::Accepted& accepted : m_sink.Taken()) {
        EXPECT_TRUE(accepted.incoming);
        acceptedPorts.insert(accepted.peerPort);
    }
    EXPECT_EQ(clientPorts, acceptedPorts) << "each client accepted exactly once";
    for (int client : clients) {
        close(client);
    }
}

TEST_F(ConnectionServerTest, RunningOutOfDescriptorsPausesTheServerInsteadOfSpinning) {
    int32_t port = 0;
    RefPtr<ConnectionServer> server = Listening("127.0.0.1", port);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::vector<int> fillers;
    {
        DescriptorLimit limit(static_cast<rlim_t>(OpenDescriptorCount()) + 8);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            fillers.push_back(fd);
        }
        const sockaddr_in address = Loopback(port);
        EXPECT_EQ(0, connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address));
        EXPECT_TRUE(Eventually([&] { return server->GetLastSocketError() == EMFILE; }));
        const int turnsBefore = m_loop.turns.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // A turn without the paused server sleeps its 100 ms; a spinning loop turns
        // thousands of times.
        EXPECT_LE(m_loop.turns.load() - turnsBefore, 20) << "the wait loop spins";
        EXPECT_LE(m_logger.Lines().size(), 10u);
        EXPECT_EQ(0u, m_sink.Count());
        for (int fd : fillers) {
            close(fd);
        }
    }
    EXPECT_TRUE(Eventually([&] { return m_sink.Count() == 1; }))
        << "the waiting connection is accepted once descriptors are free again";
    ASSERT_FALSE(m_logger.Lines().empty());
    EXPECT_EQ(FormatString("3 Failed to accept socket: socket error %d = %S", EMFILE,
                           GetErrorText(EMFILE)),
              m_logger.Lines()[0]);
    close(client);
}

}  // namespace
}  // namespace qav
