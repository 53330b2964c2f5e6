// The time limits of a reliable connection's connect, and its liveness, against real peers
// in the test's own network namespace: a scripted name server on 127.0.0.1:53, a link
// whose far end takes the SYN and drops it, and a server across a veth pair whose link
// goes down. The lookup and connect limits run on a fake clock that the test advances;
// the liveness runs on the kernel's own timers.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/test_support.h"
#include "network/dns_test_support.h"
#include "network/loopback_test_support.h"
#include "network/network_namespace_test_support.h"
#include "network/reliable_connection.h"

namespace qav {
namespace {

using test_support::AnswerA;
using test_support::Eventually;
using test_support::IdentifierOf;
using test_support::Ipv4;
using test_support::RecordingEventSink;
using test_support::UdpServer;
using test_support::WithIdentifier;

constexpr int32_t kPort = 12654;

// Platform services whose name server is 127.0.0.1, and the log.
class ConnectionNamespaceTest : public test_support::NameServerNamespaceTest {
  protected:
    ConnectionNamespaceTest() : m_logger(kSeverityWarning) {}

    void Start() { NameServerNamespaceTest::Start("nameserver 127.0.0.1\n"); }
    RefPtr<ReliableConnection> Make() { return m_services->CreateReliableConnection(); }
    // How many lines of the log are exactly `line`.
    int Logged(const std::string& line) {
        const std::vector<std::string> lines = m_logger.Lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }

    test_support::CapturingTextLogger m_logger;
};

// A name server that never answers: the queries go out again each second the owner asks,
// from the same port with the same identifier, and 5 s after the lookup began the
// connection fails, once, and says why. Nothing is asked after that.
TEST_F(ConnectionNamespaceTest, LookupWithoutAnswerIsRepeatedEachSecondAndEndsAfterFive) {
    if (!InNamespace()) {
        return;
    }
    test_support::FakeRawClock clock(1000000);
    UdpServer dns("127.0.0.1", 53);
    ASSERT_TRUE(dns.bound);
    Start();
    RecordingEventSink sink;
    RefPtr<ReliableConnection> connection = Make();

    ASSERT_TRUE(connection->Connect("relay.test", true, kPort, &sink));
    const auto first = dns.Receive();
    ASSERT_TRUE(first);
    for (int second = 1; second < 5; ++second) {
        clock.Advance(ReliableConnection::kLookupRetryMicroseconds - 1);
        EXPECT_EQ(kConnectionConnecting, connection->GetConnectionState());
        EXPECT_FALSE(dns.Receive(50)) << "asked again within a second, at " << second;
        clock.Advance(1);
        EXPECT_EQ(kConnectionConnecting, connection->GetConnectionState());
        const auto again = dns.Receive();
        ASSERT_TRUE(again) << "not asked again after " << second << " s";
        EXPECT_EQ(first->bytes, again->bytes);
        EXPECT_EQ(first->fromPort, again->fromPort);
    }
    clock.Advance(ReliableConnection::kLookupRetryMicroseconds - 1);
    EXPECT_EQ(kConnectionConnecting, connection->GetConnectionState());
    EXPECT_EQ(0, sink.Count(ConnectionEventSink::kEventClosed));

    clock.Advance(1);  // 5 s after the lookup began
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(1, sink.Count(ConnectionEventSink::kEventClosed)) << "reported by that call";
    EXPECT_EQ(1, Logged("2 Failed to look up relay.test: no answer"));

    // The lookup is over: no query, no second report, and a late answer changes nothing.
    clock.Advance(3 * ReliableConnection::kLookupRetryMicroseconds);
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_FALSE(dns.Receive(100));
    dns.SendTo(
        "127.0.0.1", first->fromPort,
        WithIdentifier(AnswerA("relay.test", Ipv4(127, 0, 0, 1)), IdentifierOf(first->bytes)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(1, static_cast<int>(sink.Events().size()));

    // A connect that the owner ends itself reports nothing, however long it is asked after.
    ASSERT_TRUE(connection->Connect("relay.test", true, kPort, &sink));
    ASSERT_TRUE(dns.Receive());
    connection->Disconnect();
    clock.Advance(2 * ReliableConnection::kLookupTimeoutMicroseconds);
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(1, static_cast<int>(sink.Events().size()));
    EXPECT_EQ(1, Logged("2 Failed to look up relay.test: no answer"));
    StopLoop();
}

// "No such name" ends the connect at once, on the polling thread, without the owner
// asking; a refusal of another name does not.
TEST_F(ConnectionNamespaceTest, NoSuchNameEndsTheConnectAtOnce) {
    if (!InNamespace()) {
        return;
    }
    test_support::FakeRawClock clock(1000000);
    UdpServer dns("127.0.0.1", 53);
    ASSERT_TRUE(dns.bound);
    Start();
    RecordingEventSink sink;
    const std::thread::id testThread = std::this_thread::get_id();
    std::atomic<bool> onPollingThread{false};
    sink.onEvent = [&](ConnectionStream&, int32_t kind) {
        if (kind == ConnectionEventSink::kEventClosed) {
            onPollingThread = std::this_thread::get_id() != testThread;
        }
    };
    RefPtr<ReliableConnection> connection = Make();

    ASSERT_TRUE(connection->Connect("relay.test", true, kPort, &sink));
    const auto query = dns.Receive();
    ASSERT_TRUE(query);
    const uint16_t identifier = IdentifierOf(query->bytes);
    dns.SendTo("127.0.0.1", query->fromPort,
               WithIdentifier(test_support::NoSuchName("other.test"), identifier));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, sink.Count(ConnectionEventSink::kEventClosed)) << "another name was refused";

    dns.SendTo("127.0.0.1", query->fromPort,
               WithIdentifier(test_support::NoSuchName("relay.test"), identifier));
    ASSERT_TRUE(Eventually([&] { return sink.Count(ConnectionEventSink::kEventClosed) == 1; }));
    EXPECT_TRUE(onPollingThread);
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(1, Logged("2 Failed to look up relay.test: no such name"));
    clock.Advance(2 * ReliableConnection::kLookupTimeoutMicroseconds);
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(1, static_cast<int>(sink.Events().size()));
    EXPECT_EQ(0, Logged("2 Failed to look up relay.test: no answer"));
    StopLoop();
}

// The first two queries are lost; the third, sent 2 s on, is answered, and the connection
// connects and stays connected past the lookup's limit. An answer whose address cannot be
// reached ends the connect as any failure does.
TEST_F(ConnectionNamespaceTest, LateAnswerConnects) {
    if (!InNamespace()) {
        return;
    }
    test_support::FakeRawClock clock(1000000);
    UdpServer dns("127.0.0.1", 53);
    ASSERT_TRUE(dns.bound);
    test_support::TcpListener listener;
    Start();
    RecordingEventSink sink;
    RefPtr<ReliableConnection> connection = Make();

    ASSERT_TRUE(connection->Connect("relay.test", true, listener.port, &sink));
    std::optional<UdpServer::Datagram> query = dns.Receive();
    for (int second = 1; second <= 2; ++second) {
        ASSERT_TRUE(query) << second;
        clock.Advance(ReliableConnection::kLookupRetryMicroseconds);
        EXPECT_EQ(kConnectionConnecting, connection->GetConnectionState());
        query = dns.Receive();
    }
    ASSERT_TRUE(query);
    dns.SendTo(
        "127.0.0.1", query->fromPort,
        WithIdentifier(AnswerA("relay.test", Ipv4(127, 0, 0, 1)), IdentifierOf(query->bytes)));
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(Eventually([&] { return sink.Count(ConnectionEventSink::kEventConnected) == 1; }));
    const auto connected = sink.Events(ConnectionEventSink::kEventConnected)[0];
    EXPECT_EQ("relay.test", connected.name);
    EXPECT_EQ("127.0.0.1", connected.peerAddress);

    clock.Advance(ReliableConnection::kConnectTimeoutMicroseconds);
    EXPECT_EQ(kConnectionConnected, connection->GetConnectionState());
    EXPECT_EQ(0, sink.Count(ConnectionEventSink::kEventClosed));
    connection->Disconnect();
    ::close(peer);

    // An address that no route leads to fails the connect as it starts; Connect returned
    // long before, so the owner hears of it by event 4.
    ASSERT_TRUE(connection->Connect("nowhere.test", true, listener.port, &sink));
    query = dns.Receive();
    ASSERT_TRUE(query);
    dns.SendTo(
        "127.0.0.1", query->fromPort,
        WithIdentifier(AnswerA("nowhere.test", Ipv4(10, 99, 0, 1)), IdentifierOf(query->bytes)));
    ASSERT_TRUE(Eventually([&] { return sink.Count(ConnectionEventSink::kEventClosed) == 1; }));
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(1,
              Logged(FormatString("3 Failed to connect a TCP client socket: socket error %d = %S",
                                  ENETUNREACH, GetErrorText(ENETUNREACH))));
    StopLoop();
}

// A SYN that nobody answers: the far end of a veth pair takes it and drops it (its address
// is nobody's), so the kernel would wait for two minutes. The connection gives up after
// 20 s, once, and says so.
TEST_F(ConnectionNamespaceTest, UnansweredConnectEndsAfterTwentySeconds) {
    if (!InNamespace()) {
        return;
    }
    test_support::FakeRawClock clock(1000000);
    test_support::AddVeth("qav0", "qavp0", "10.7.9.1/24");
    // No address resolution either, whose failure would end the connect early.
    test_support::Ip("neigh replace 10.7.9.2 lladdr 02:00:00:00:09:02 dev qav0 nud permanent");
    ASSERT_FALSE(HasFatalFailure());
    Start();
    RecordingEventSink sink;
    RefPtr<ReliableConnection> connection = Make();

    ASSERT_TRUE(connection->Connect("10.7.9.2", false, kPort, &sink));
    EXPECT_GE(connection->GetSocket(), 0);
    clock.Advance(ReliableConnection::kConnectTimeoutMicroseconds - 1);
    EXPECT_EQ(kConnectionConnecting, connection->GetConnectionState());
    clock.Advance(1);
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(-1, connection->GetSocket());
    EXPECT_EQ(1, sink.Count(ConnectionEventSink::kEventClosed));
    EXPECT_EQ(
        1, Logged(FormatString("2 Failed to connect to 10.7.9.2:%d: no answer after 20 s", kPort)));
    clock.Advance(ReliableConnection::kConnectTimeoutMicroseconds);
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(1, static_cast<int>(sink.Events().size()));

    // Redialled, it counts its 20 s anew; ended by its owner, it reports nothing.
    ASSERT_EQ(kReconnectStarted, connection->Reconnect());
    clock.Advance(ReliableConnection::kConnectTimeoutMicroseconds - 1);
    EXPECT_EQ(kConnectionConnecting, connection->GetConnectionState());
    connection->Disconnect();
    clock.Advance(1);
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    EXPECT_EQ(1, static_cast<int>(sink.Events().size()));
    StopLoop();
}

int SocketOption(int socket, int level, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(socket, level, option, &value, &length);
    return value;
}

// Two connections to a server across a veth pair; the server's end of the link goes down,
// so the server falls silent without a word. The connection with a liveness time of 3 s
// notices within that time and some slack; the one without does not.
TEST_F(ConnectionNamespaceTest, LivenessTimeNoticesAPeerThatFellSilent) {
    if (!InNamespace()) {
        return;
    }
    test_support::ServerNamespace space;
    ASSERT_TRUE(space.Made()) << "no namespace for the server";
    ASSERT_NO_FATAL_FAILURE(test_support::MakeVethPair("qav0", "sqav0"));
    test_support::Ip("link set sqav0 netns " + std::to_string(space.ThreadId()));
    int server = -1;
    int32_t port = 0;
    space.Run([&] {
        test_support::Ip("link set sqav0 address 02:00:00:00:08:02");
        test_support::Ip("addr add 10.8.0.2/24 dev sqav0");
        test_support::Ip("link set sqav0 up");
        server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, 0, {test_support::AddressOf("10.8.0.2")}, {}};
        socklen_t length = sizeof address;
        ASSERT_EQ(0, ::bind(server, reinterpret_cast<sockaddr*>(&address), length));
        ASSERT_EQ(0, ::listen(server, 4));
        ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    });
    test_support::Ip("addr add 10.8.0.1/24 dev qav0");
    test_support::Ip("link set qav0 up");
    // Once the link is down, asking for the server's link address would fail loudly.
    test_support::Ip("neigh replace 10.8.0.2 lladdr 02:00:00:00:08:02 dev qav0 nud permanent");
    ASSERT_TRUE(test_support::WaitUntilRunning("qav0"));
    ASSERT_FALSE(HasFatalFailure());
    Start();

    RecordingEventSink aliveSink;
    RecordingEventSink plainSink;
    RefPtr<ReliableConnection> alive = Make();
    RefPtr<ReliableConnection> plain = Make();
    alive->SetLivenessTime(3);
    ASSERT_TRUE(alive->Connect("10.8.0.2", false, port, &aliveSink));
    ASSERT_TRUE(plain->Connect("10.8.0.2", false, port, &plainSink));
    const int accepted[2] = {::accept4(server, nullptr, nullptr, SOCK_CLOEXEC),
                             ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC)};
    ASSERT_TRUE(accepted[0] >= 0 && accepted[1] >= 0);
    ASSERT_TRUE(Eventually([&] {
        return aliveSink.Count(ConnectionEventSink::kEventConnected) == 1 &&
               plainSink.Count(ConnectionEventSink::kEventConnected) == 1;
    }));
    EXPECT_EQ(2000, SocketOption(alive->GetSocket(), IPPROTO_TCP, TCP_USER_TIMEOUT));
    EXPECT_EQ(0, SocketOption(plain->GetSocket(), IPPROTO_TCP, TCP_USER_TIMEOUT));

    space.Run([] { test_support::Ip("link set sqav0 down"); });
    const auto silent = std::chrono::steady_clock::now();
    while (aliveSink.Count(ConnectionEventSink::kEventClosed) == 0 &&
           std::chrono::steady_clock::now() - silent < std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(1, aliveSink.Count(ConnectionEventSink::kEventClosed)) << "not noticed in 30 s";
    EXPECT_EQ(kConnectionClosed, alive->GetConnectionState());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(0, plainSink.Count(ConnectionEventSink::kEventClosed))
        << "noticed without a liveness time";
    EXPECT_EQ(kConnectionConnected, plain->GetConnectionState());

    plain->Disconnect();
    alive->Disconnect();
    StopLoop();
    for (const int socket : accepted) {
        ::close(socket);
    }
    ::close(server);
}

}  // namespace
}  // namespace qav
