// Reliable connections over loopback, driven by a real wait loop on a real polling
// thread; the far end is a plain socket of the test or another reliable connection.
#include "network/reliable_connection.h"

#include <netinet/tcp.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "network/buffered_connection_reader.h"
#include "network/loopback_test_support.h"
#include "network/network_namespace_test_support.h"
#include "network/scripted_connection_stream.h"
#include "network/socket_handler_manager.h"
#include "platform/socket.h"

namespace qav {
namespace {

using test_support::Eventually;
using test_support::RecordingCompletion;
using test_support::RecordingEventSink;
using test_support::TcpListener;

// What `stream` holds to be read now.
std::string Drain(ConnectionStream& stream) {
    std::string bytes;
    char buffer[4096];
    for (int32_t got; (got = stream.Receive(buffer, sizeof buffer)) > 0;) {
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

class ReliableConnectionTest : public test_support::PolledLoopTest {
  protected:
    RefPtr<ReliableConnection> Make() {
        return RefPtr<ReliableConnection>(new RefCountedObject<ReliableConnection>(&m_services));
    }
    // A connection to `listener`, up, and the peer end the listener accepted.
    RefPtr<ReliableConnection> ConnectTo(TcpListener& listener, RecordingEventSink& sink,
                                         int& peer) {
        RefPtr<ReliableConnection> connection = Make();
        EXPECT_TRUE(connection->Connect("127.0.0.1", false, listener.port, &sink));
        peer = listener.Accept();
        EXPECT_TRUE(Eventually([&] { return sink.Count(1) == 1; }));
        return connection;
    }
};

TEST_F(ReliableConnectionTest, EchoBetweenAnOutgoingAndAnAttachedConnection) {
    TcpListener listener;
    RecordingEventSink clientSink;
    RecordingEventSink serverSink;
    RefPtr<ReliableConnection> client = Make();
    RefPtr<ReliableConnection> server = Make();
    serverSink.onEvent = [](ConnectionStream& stream, int32_t kind) {
        if (const std::string bytes = kind == 2 ? Drain(stream) : ""; !bytes.empty()) {
            stream.Send(bytes.data(), static_cast<int32_t>(bytes.size()), nullptr);
        }
    };
    ASSERT_TRUE(client->Connect("127.0.0.1", false, listener.port, &clientSink));
    int32_t peerPort = 0;
    const int accepted = listener.Accept(&peerPort);
    ASSERT_GE(accepted, 0);
    server->Attach(accepted, "127.0.0.1", peerPort, &serverSink);
    ASSERT_TRUE(Eventually([&] { return clientSink.Count(1) == 1; }));
    ASSERT_EQ(1, serverSink.Events()[0].kind);
    EXPECT_TRUE(serverSink.Events()[0].incoming) << "an attached socket comes in";
    EXPECT_FALSE(clientSink.Events()[0].incoming);
    EXPECT_EQ("127.0.0.1", clientSink.Events()[0].name);
    EXPECT_EQ(kConnectionConnected, server->GetConnectionState());

    RecordingCompletion completion;
    const char message[] = "ping over loopback";
    ASSERT_EQ(18, client->Send(message, 18, &completion));
    std::string echoed;
    ASSERT_TRUE(Eventually([&] { return (echoed += Drain(*client)).size() >= 18; }));
    EXPECT_EQ("ping over loopback", echoed);
    // A readiness whose bytes this thread already took is not the peer's close.
    client->HandleInput();
    EXPECT_EQ(kConnectionConnected, client->GetConnectionState());
    ASSERT_TRUE(Eventually([&] { return completion.Sources() == 1; }));
    EXPECT_EQ((RecordingCompletion::Calls{{message, {{18, 0}}}}), completion.Taken());

    // The server goes away (an accepted connection closes and does not redial): the client
    // sees one close, however often it is poked after.
    EXPECT_EQ(kReconnectNothing, server->Reconnect());
    EXPECT_EQ(kConnectionClosed, server->GetConnectionState());
    ASSERT_TRUE(Eventually([&] { return clientSink.Count(4) == 1; }));
    EXPECT_EQ(kConnectionClosed, client->GetConnectionState());
    EXPECT_EQ(kReadQueueClosed, client->GetReadQueueState());
    client->HandleInput();
    client->HandleError();
    client->HandleOutput();
    char byte;
    EXPECT_EQ(0, client->Receive(&byte, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1, clientSink.Count(4));
    EXPECT_EQ(1, clientSink.Count(1));
    EXPECT_EQ(0, serverSink.Count(4)) << "a connection closed on request reports nothing";

    // Redialling makes a new connection with its own event 1.
    EXPECT_EQ(kReconnectStarted, client->Reconnect());
    const int second = listener.Accept();
    EXPECT_TRUE(Eventually([&] { return clientSink.Count(1) == 2; }));
    client->Disconnect();
    close(second);
}

TEST_F(ReliableConnectionTest, RefusedConnectAndPeerResetAreReportedOnce) {
    int closedPort = TcpListener().port;
    RecordingEventSink sink;
    RefPtr<ReliableConnection> refused = Make();
    if (refused->Connect("127.0.0.1", false, closedPort, &sink)) {
        ASSERT_TRUE(Eventually([&] { return sink.Count(4) == 1; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, sink.Count(1)) << "a refused connect never reports connected";
    EXPECT_LE(sink.Count(4), 1);
    EXPECT_EQ(kConnectionClosed, refused->GetConnectionState());

    // A name is not looked up unless allowed, nor can a port that does not exist be dialled.
    EXPECT_FALSE(refused->Connect("localhost", false, closedPort, &sink));
    EXPECT_FALSE(refused->Connect("127.0.0.1", false, 65536, &sink));
    EXPECT_EQ(kConnectionClosed, refused->GetConnectionState());

    TcpListener listener;
    RecordingEventSink resetSink;
    int peer = -1;
    RefPtr<ReliableConnection> connection = ConnectTo(listener, resetSink, peer);
    test_support::ResetOnClose(peer);
    ASSERT_TRUE(Eventually([&] { return resetSink.Count(4) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1, resetSink.Count(4));
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
    // The reset is logged with its own error, which the look for the stream's end took
    // from the socket before the error report could read it there.
    const std::vector<std::string> lines = m_logger.Lines();
    const auto reported = [&](const std::string& head) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.rfind(head, 0) == 0; });
    };
    EXPECT_TRUE(reported(FormatString("3 Error %d [%s] in connection from 127.0.0.1:", ECONNRESET,
                                      GetErrorText(ECONNRESET))))
        << (lines.empty() ? "nothing logged" : lines.back());
    EXPECT_FALSE(reported("3 Error 0 ["));
}

// Input readiness whose bytes another reader took: the connection stays open and says it
// has nothing to read, to itself and to a buffered reader in front of it.
TEST_F(ReliableConnectionTest, ReadinessWithNothingToReadLeavesNoDataReadyBehind) {
    TcpListener listener;
    RecordingEventSink sink;
    int peer = -1;
    RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
    const size_t logged = m_logger.Lines().size();
    connection->HandleInput();  // as a turn would after another thread's Receive
    connection->HandleInput();
    EXPECT_EQ(kConnectionConnected, connection->GetConnectionState());
    EXPECT_EQ(kReadQueueEmpty, connection->GetReadQueueState());
    EXPECT_EQ(0, connection->GetAvailableReadQueueSize());
    EXPECT_EQ(logged, m_logger.Lines().size())
        << "a connection that stays open is not announced as closing: " << m_logger.Lines().back();
    BufferedConnectionReader reader(connection.get(), 256);
    EXPECT_EQ(kReadQueueEmpty, reader.GetReadQueueState());

    ASSERT_EQ(4, send(peer, "late", 4, 0));
    ASSERT_TRUE(Eventually([&] { return sink.Count(2) >= 1; }));
    char bytes[8] = {};
    EXPECT_EQ(4, reader.Read(bytes, 4, false));
    EXPECT_EQ("late", std::string(bytes, 4));
    EXPECT_EQ(0, sink.Count(4));
    connection->Disconnect();
    close(peer);
}

// An urgent byte mid-stream is one more byte of the stream, on an outgoing connection as on
// an accepted one: it is read in its place with the bytes behind it, a close behind it
// closes the connection and lets its descriptor go, and once all is read the wait loop
// goes quiet instead of finding the socket readable at every turn.
TEST_F(ReliableConnectionTest, UrgentByteMidStreamIsReadInlineAndLeavesTheLoopQuiet) {
    TcpListener listener;
    for (const bool accepted : {false, true}) {
        for (const bool closeBehind : {false, true}) {
            SCOPED_TRACE(std::string(accepted ? "accepted" : "outgoing") +
                         (closeBehind ? ", closed behind the byte" : ", left open"));
            const int descriptorsBefore = test_support::OpenDescriptorCount();
            std::mutex mutex;
            std::string received;
            const auto receivedNow = [&] {
                std::lock_guard<std::mutex> hold(mutex);
                return received;
            };
            RecordingEventSink sink;
            sink.onEvent = [&](ConnectionStream& stream, int32_t kind) {
                if (kind == ConnectionEventSink::kEventData) {
                    const std::string bytes = Drain(stream);
                    std::lock_guard<std::mutex> hold(mutex);
                    received += bytes;
                }
            };
            RefPtr<ReliableConnection> connection = Make();
            int peer = -1;
            if (accepted) {
                peer = test_support::ConnectLoopback(listener.port);
                int32_t peerPort = 0;
                const int mine = listener.Accept(&peerPort);
                ASSERT_GE(mine, 0);
                connection->Attach(mine, "127.0.0.1", peerPort, &sink);
            } else {
                ASSERT_TRUE(connection->Connect("127.0.0.1", false, listener.port, &sink));
                peer = listener.Accept();
            }
            ASSERT_GE(peer, 0);
            ASSERT_TRUE(Eventually([&] { return sink.Count(1) == 1; }));
            ASSERT_EQ(4, send(peer, "head", 4, 0));
            ASSERT_TRUE(Eventually([&] { return receivedNow() == "head"; })) << receivedNow();

            // The urgent mark now lies just where the connection reads next.
            ASSERT_EQ(1, send(peer, "!", 1, MSG_OOB));
            ASSERT_EQ(4, send(peer, "tail", 4, 0));
            if (closeBehind) {
                close(peer);
            }
            EXPECT_TRUE(Eventually([&] { return receivedNow() == "head!tail"; }))
                << "received " << receivedNow();
            if (closeBehind) {
                EXPECT_TRUE(Eventually([&] { return sink.Count(4) == 1; })) << "no close";
                EXPECT_EQ(-1, connection->GetSocket());
                EXPECT_EQ(descriptorsBefore, test_support::OpenDescriptorCount())
                    << "a descriptor is still held";
                continue;
            }
            // Idle, a turn ends at the polling thread's longest wait (0.1 s); a loop that
            // finds the socket readable without reading it turns thousands of times.
            const int turnsBefore = m_loop.turns;
            std::this_thread::sleep_for(std::chrono::seconds(1));
            EXPECT_LT(m_loop.turns - turnsBefore, 100) << "the wait loop spins";
            EXPECT_EQ(0, sink.Count(4));
            EXPECT_EQ(kConnectionConnected, connection->GetConnectionState());
            connection->Disconnect();
            close(peer);
        }
    }
}

TEST_F(ReliableConnectionTest, ReportsRoundTripTimeAndAverageQueueThroughTheStream) {
    TcpListener listener;
    RecordingEventSink sink;
    RefPtr<ReliableConnection> made = Make();
    ConnectionStream& stream = *made;
    EXPECT_EQ(0, stream.GetLastRoundTripTime()) << "not connected";
    EXPECT_EQ(0.0, stream.GetAverageWriteQueueLength());
    int peer = -1;
    RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
    ConnectionStream& connected = *connection;
    ASSERT_EQ(4, connected.Send("ping", 4, nullptr));
    EXPECT_EQ("ping", test_support::ReadFor(peer, 300));
    EXPECT_GT(connected.GetLastRoundTripTime(), 0) << "the handshake gave a first measure";

    // The average follows the queue up while the peer does not read, and down once it is
    // emptied; it never exceeds what the queue can hold.
    std::vector<char> block(65536, 'a');
    double highest = 0;
    while (connected.Send(block.data(), 65536, nullptr) != 0) {
        const double average = connected.GetAverageWriteQueueLength();
        EXPECT_LE(average, ReliableConnection::kSendBufferCapacity);
        highest = std::max(highest, average);
        ASSERT_LT(highest, 1e9);
    }
    EXPECT_GT(highest, 0.0);
    const double full = connected.GetAverageWriteQueueLength();
    const double share =
        (connected.GetMaxWriteQueueLength() - full) / connected.GetMaxWriteQueueLength();
    EXPECT_TRUE(share >= 0.0 && share < 1.0) << "free share " << share;
    connected.Disconnect();
    EXPECT_LT(connected.GetAverageWriteQueueLength(), full);
    EXPECT_EQ(0, connected.GetLastRoundTripTime());
    close(peer);

    // A stream that keeps no figures answers with the defaults.
    RefPtr<test_support::ScriptedConnectionStream> plain(
        new test_support::ScriptedConnectionStream);
    EXPECT_EQ(0, static_cast<ConnectionStream&>(*plain).GetLastRoundTripTime());
    EXPECT_EQ(0.0, static_cast<ConnectionStream&>(*plain).GetAverageWriteQueueLength());
}

// The system's socket calls, except that binding to a device is refused as it is without
// the privilege for it, and so is a liveness time, as where the options are unknown.
class RefusingCalls final : public StreamSocketCalls {
  public:
    ptrdiff_t Send(int socket, const void* data, size_t length, int& errorCode) override {
        return System().Send(socket, data, length, errorCode);
    }
    ptrdiff_t Receive(int socket, void* buffer, size_t capacity, int& errorCode) override {
        return System().Receive(socket, buffer, capacity, errorCode);
    }
    bool PeerHasClosed(int socket, int& errorCode) override {
        return System().PeerHasClosed(socket, errorCode);
    }
    int GetReadableBytes(int socket, int& errorCode) override {
        return System().GetReadableBytes(socket, errorCode);
    }
    bool GetPendingError(int socket, int& pendingError, int& errorCode) override {
        return System().GetPendingError(socket, pendingError, errorCode);
    }
    void Close(int socket) override { System().Close(socket); }
    bool BindToDevice(int, const std::string&, int& errorCode) override {
        ++refusals;
        errorCode = EPERM;
        return false;
    }
    bool SetLiveness(int, int32_t, int& errorCode) override {
        ++livenessRefusals;
        errorCode = ENOPROTOOPT;
        return false;
    }
    std::atomic<int> refusals{0};
    std::atomic<int> livenessRefusals{0};
};

std::string BoundDevice(int socket) {
    char name[32] = {};
    socklen_t length = sizeof name;
    getsockopt(socket, SOL_SOCKET, SO_BINDTODEVICE, name, &length);
    return name;
}

// A connection named after an interface is bound to it; a name that is no interface, or
// none, binds nothing; where binding is refused it connects all the same and says so once.
TEST_F(ReliableConnectionTest, NameOfAnInterfaceBindsTheSocketToIt) {
    TcpListener listener;
    RecordingEventSink sink;
    for (const auto& [name, device] : {std::pair<const WChar*, std::string>{u"lo", "lo"},
                                       {u"no such interface", ""},
                                       {u"", ""},
                                       {nullptr, ""}}) {
        RefPtr<ReliableConnection> connection = Make();
        connection->SetName(name);
        ASSERT_TRUE(connection->Connect("127.0.0.1", false, listener.port, &sink)) << device;
        const int peer = listener.Accept();
        EXPECT_EQ(device, BoundDevice(connection->GetSocket()));
        connection->Disconnect();
        close(peer);
    }

    RefusingCalls calls;
    RefPtr<ReliableConnection> refused(
        new RefCountedObject<ReliableConnection>(&m_services, calls));
    refused->SetName(u"lo");
    const size_t logged = m_logger.Lines().size();
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(refused->Connect("127.0.0.1", false, listener.port, &sink));
        const int peer = listener.Accept();
        ASSERT_GE(peer, 0) << "it connects by its address alone";
        EXPECT_EQ("", BoundDevice(refused->GetSocket()));
        refused->Disconnect();
        refused->SetName(u"lo");
        close(peer);
    }
    EXPECT_EQ(2, calls.refusals.load());
    const std::vector<std::string> lines = m_logger.Lines();
    ASSERT_EQ(logged + 1, lines.size()) << "the refusal is logged once per connection";
    EXPECT_EQ(FormatString("2 Cannot bind a TCP client socket to interface lo: socket error %d = "
                           "%S - it is bound by its local address alone",
                           EPERM, GetErrorText(EPERM)),
              lines.back());
}

int TcpOption(int socket, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(socket, option == SO_KEEPALIVE ? SOL_SOCKET : IPPROTO_TCP, option, &value, &length);
    return value;
}

// When the kernel gives a silent peer up under these options: it checks the user
// time-out only as the probe timer fires, once a probe is out.
int GiveUpSeconds(int idle, int interval, int userTimeoutMs) {
    int fires = idle + interval;  // the first probe goes out at `idle`
    while (fires * 1000 < userTimeoutMs) {
        fires += interval;
    }
    return fires;
}

// The kernel's timers fire up to an eighth of their span late, and the probe timer is
// set anew at each probe. A silent peer must still be given up within the liveness time,
// and not much sooner, whatever the time.
TEST(StreamSocketCalls, LivenessGivesUpWithinTheTimeTimerSlackIncluded) {
    std::vector<int32_t> times;
    for (int32_t seconds = 3; seconds <= 400; ++seconds) {
        times.push_back(seconds);
    }
    times.insert(times.end(), {3600, 86400, 98301});
    for (const int32_t seconds : times) {
        const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int errorCode = 0;
        ASSERT_TRUE(StreamSocketCalls::System().SetLiveness(probe, seconds, errorCode))
            << seconds << ": " << errorCode;
        const int idle = TcpOption(probe, TCP_KEEPIDLE);
        const int interval = TcpOption(probe, TCP_KEEPINTVL);
        const int probes = TcpOption(probe, TCP_KEEPCNT);
        const int userTimeoutMs = TcpOption(probe, TCP_USER_TIMEOUT);
        close(probe);
        const int giveUp = GiveUpSeconds(idle, interval, userTimeoutMs);
        ASSERT_EQ(giveUp * 1000, userTimeoutMs) << seconds << " s: not on a probe's time";
        ASSERT_LE((giveUp - idle) / interval, probes) << seconds << " s: probes run out first";
        // Late by an eighth at most, each timer: still within the time.
        ASSERT_LE(giveUp * 9.0 / 8.0, seconds)
            << seconds << " s: given up after " << giveUp << " s and the slack";
        ASSERT_GE(giveUp, seconds * 2 / 3) << seconds << " s: given up too soon";
    }
}

// A liveness time makes the kernel probe an idle connection and give it up after that
// long; without one the system's times stay. Where the options are refused, the
// connection connects all the same and says so once.
TEST_F(ReliableConnectionTest, LivenessTimeSetsTheKeepAliveProbes) {
    TcpListener listener;
    RecordingEventSink sink;
    const int untouched = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int systemIdle = TcpOption(untouched, TCP_KEEPIDLE);
    const int systemInterval = TcpOption(untouched, TCP_KEEPINTVL);
    const int systemProbes = TcpOption(untouched, TCP_KEEPCNT);
    close(untouched);
    const struct {
        int32_t seconds;
        int idle, interval, probes, userTimeoutMs;
    } cases[] = {
        {3, 1, 1, 4, 2000},
        {60, 18, 8, 4, 50000},
        {1, 1, 1, 4, 1000},
        {0, systemIdle, systemInterval, systemProbes, 0},
        {-5, systemIdle, systemInterval, systemProbes, 0},
    };
    for (const auto& c : cases) {
        RefPtr<ReliableConnection> connection = Make();
        connection->SetLivenessTime(c.seconds);
        ASSERT_TRUE(connection->Connect("127.0.0.1", false, listener.port, &sink));
        const int peer = listener.Accept();
        const int socket = connection->GetSocket();
        EXPECT_EQ(1, TcpOption(socket, SO_KEEPALIVE)) << c.seconds;
        EXPECT_EQ(c.idle, TcpOption(socket, TCP_KEEPIDLE)) << c.seconds;
        EXPECT_EQ(c.interval, TcpOption(socket, TCP_KEEPINTVL)) << c.seconds;
        EXPECT_EQ(c.probes, TcpOption(socket, TCP_KEEPCNT)) << c.seconds;
        EXPECT_EQ(c.userTimeoutMs, TcpOption(socket, TCP_USER_TIMEOUT)) << c.seconds;
        connection->Disconnect();
        close(peer);
    }

    RefusingCalls calls;
    RefPtr<ReliableConnection> refused(
        new RefCountedObject<ReliableConnection>(&m_services, calls));
    refused->SetLivenessTime(3);
    const size_t logged = m_logger.Lines().size();
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(refused->Connect("127.0.0.1", false, listener.port, &sink));
        const int peer = listener.Accept();
        ASSERT_GE(peer, 0) << "it connects without a liveness time";
        refused->Disconnect();
        close(peer);
    }
    EXPECT_EQ(2, calls.livenessRefusals.load());
    const std::vector<std::string> lines = m_logger.Lines();
    ASSERT_EQ(logged + 1, lines.size()) << "the refusal is logged once per connection";
    EXPECT_EQ(FormatString("2 Cannot set a liveness time of 3 s on a TCP client socket: socket "
                           "error %d = %S",
                           ENOPROTOOPT, GetErrorText(ENOPROTOOPT)),
              lines.back());
}

// Inside a namespace with two interfaces on two subnets: a connection named after one goes
// out through it alone, so it cannot reach the other's subnet once its own is down, while
// connections named after the other or after none still can. And a connection binds each
// connect only to the address it was given, not to the local address of its last
// connection, which may be gone since.
TEST_F(ReliableConnectionTest, NamedConnectionsGoThroughTheirInterface) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    test_support::Ip("link set lo up");
    test_support::AddVeth("qav0", "qavp0", "10.7.1.1/24");
    test_support::AddVeth("qav1", "qavp1", "10.7.2.1/24");
    ASSERT_FALSE(HasFatalFailure());
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{AF_INET, 0, {htonl(INADDR_ANY)}, {}};
    socklen_t length = sizeof any;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any));
    ASSERT_EQ(0, listen(listener, 8));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&any), &length));
    const int32_t port = ntohs(any.sin_port);
    std::vector<int> accepted;
    std::deque<RecordingEventSink> sinks;  // one per connect, kept while connections may report
    // "from <source address>" once connected, "failed" otherwise.
    const auto connectThrough = [&](ReliableConnection& connection, const char* target) {
        RecordingEventSink& sink = sinks.emplace_back();
        if (!connection.Connect(target, false, port, &sink) ||
            !Eventually([&] { return sink.Count(1) + sink.Count(4) > 0; }) || sink.Count(1) == 0) {
            return std::string("failed");
        }
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        accepted.push_back(accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength));
        return "from " + platform::FormatDottedAddress(peer.sin_addr.s_addr);
    };
    const auto named = [&](const WChar* name) {
        RefPtr<ReliableConnection> connection = Make();
        connection->SetName(name);
        return connection;
    };

    EXPECT_EQ("from 10.7.1.1", connectThrough(*named(u"qav0"), "10.7.1.1"));
    RefPtr<ReliableConnection> moving = named(u"");
    EXPECT_EQ("from 10.7.1.1", connectThrough(*moving, "10.7.1.1"));
    EXPECT_EQ("10.7.1.1", moving->GetAddress());
    test_support::Ip("addr del 10.7.1.1/24 dev qav0");
    EXPECT_EQ("from 10.7.2.1", connectThrough(*moving, "10.7.2.1"))
        << "the connect was bound to the address of the connection before";
    EXPECT_EQ("10.7.2.1", moving->GetAddress());
    const int before = sinks.back().Count(1);
    EXPECT_EQ(kReconnectStarted, moving->Reconnect());
    EXPECT_TRUE(Eventually([&] { return sinks.back().Count(1) > before; }));
    accepted.push_back(accept(listener, nullptr, nullptr));
    moving->Disconnect();

    test_support::Ip("link set qav0 down");
    EXPECT_EQ("failed", connectThrough(*named(u"qav0"), "10.7.2.1"))
        << "the connection did not go through its own interface";
    EXPECT_EQ("from 10.7.2.1", connectThrough(*named(u"qav1"), "10.7.2.1"));
    EXPECT_EQ("from 10.7.2.1", connectThrough(*named(u""), "10.7.2.1"));
    for (int socket : accepted) {
        close(socket);
    }
    close(listener);
}

// Disconnect on another thread returns only once the event or completion under way is
// over, so the owner may free them right after; from inside one it does not wait for it.
TEST_F(ReliableConnectionTest, DisconnectWaitsForTheEventsAndCompletionsUnderWay) {
    {
        TcpListener listener;
        RecordingEventSink sink;
        test_support::HeldCallout held;
        sink.onEvent = [&](ConnectionStream&, int32_t kind) {
            if (kind == ConnectionEventSink::kEventData) {
                held.Hold();
            }
        };
        int peer = -1;
        RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
        ASSERT_EQ(1, send(peer, "x", 1, 0));
        held.WaitUntilEntered();
        EXPECT_TRUE(held.CloseWaitedForIt([&] { connection->Disconnect(); }))
            << "Disconnect returned while event 2 still ran on the polling thread";
        close(peer);
    }
    {
        TcpListener listener;
        RecordingEventSink sink;
        int peer = -1;
        RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
        // Once the socket is known writable, a message goes out within Send.
        ASSERT_TRUE(
            Eventually([&] { return connection->GetWaitEvents() == SocketHandler::kWaitInput; }));
        struct HoldingCompletion final : SendCompletion {
            void Complete(const void*, int32_t, int32_t) override { held.Hold(); }
            test_support::HeldCallout held;
        } completion;
        // Sent at once, so completed on the sending thread.
        std::thread sender([&] { connection->Send("abc", 3, &completion); });
        completion.held.WaitUntilEntered();
        EXPECT_TRUE(completion.held.CloseWaitedForIt([&] { connection->Disconnect(); }))
            << "Disconnect returned while a completion still ran on the sending thread";
        sender.join();
        close(peer);
    }
    {
        TcpListener listener;
        RecordingEventSink sink;
        sink.onEvent = [&](ConnectionStream& stream, int32_t kind) {
            if (kind == ConnectionEventSink::kEventData) {
                stream.Disconnect();  // must not wait for itself
            }
        };
        int peer = -1;
        RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
        ASSERT_EQ(1, send(peer, "x", 1, 0));
        EXPECT_TRUE(
            Eventually([&] { return connection->GetConnectionState() == kConnectionClosed; }));
        close(peer);
    }
}

// A completion that takes its time and counts itself as running meanwhile.
class SlowCompletion final : public SendCompletion {
  public:
    explicit SlowCompletion(std::atomic<int>& running) : m_running(running) {}
    void Complete(const void*, int32_t, int32_t) override {
        m_running.fetch_add(1);
        ++m_calls;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        ++m_calls;
        m_running.fetch_sub(1);
    }

  private:
    std::atomic<int>& m_running;
    int m_calls = 0;
};

// A close that races Disconnect on another thread (Send and Reconnect, or a second
// Disconnect) may take the queued messages out before Disconnect gets to them: Disconnect
// still returns only once their completions are over, so the owner may free them at once.
// In each round the completion is freed as soon as Disconnect returns; Disconnect comes
// either at once or once the racing close's first completion runs.
TEST_F(ReliableConnectionTest, DisconnectRacingAnotherCloseWaitsForItsCompletions) {
    constexpr int kRounds = 100;
    TcpListener listener;
    // An idle connection keeps the loop polling its sockets rather than sleeping while it
    // has none, so that each round's connect is seen at once.
    RecordingEventSink idleSink;
    int idlePeer = -1;
    RefPtr<ReliableConnection> idle = ConnectTo(listener, idleSink, idlePeer);
    std::atomic<int> running{0};
    const struct {
        const char* name;
        bool reconnect;
    } races[] = {{"Send and Reconnect", true}, {"a second Disconnect", false}};
    for (const auto& race : races) {
        SCOPED_TRACE(race.name);
        bool quiet = true;
        for (int round = 0; round < kRounds && quiet; ++round) {
            RecordingEventSink sink;
            int peer = -1;
            RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
            ASSERT_GE(peer, 0);
            SlowCompletion* completion = new SlowCompletion(running);
            // The peer reads nothing: messages stay queued behind the full socket.
            const std::vector<char> block(65536, 'r');
            for (int sent = 0; connection->GetCurrentWriteQueueLength() == 0; ++sent) {
                ASSERT_LT(sent, 1024) << "the socket never filled";
                ASSERT_EQ(65536, connection->Send(block.data(), 65536, completion));
            }
            std::atomic<bool> go{false};
            std::atomic<bool> closed{false};
            std::thread racer([&] {
                while (!go) {
                    std::this_thread::yield();
                }
                if (race.reconnect) {
                    connection->Send("x", 1, completion);
                    connection->Reconnect();
                } else {
                    connection->Disconnect();
                }
                closed = true;
            });
            go = true;
            while (round % 2 == 1 && running == 0 && !closed) {
                std::this_thread::yield();
            }
            connection->Disconnect();
            quiet = running == 0;
            EXPECT_TRUE(quiet) << "a completion ran on after Disconnect returned, round " << round;
            delete completion;
            racer.join();
            connection->Disconnect();  // a Reconnect may have dialled again meanwhile
            close(peer);
            for (int again; (again = listener.Accept(nullptr, 0)) >= 0;) {
                close(again);
            }
        }
    }
    idle->Disconnect();
    close(idlePeer);
}

// The peer stops reading: the queue fills, Send refuses with a warning, and a close then
// aborts every queued message; none of them reaches the next connection.
TEST_F(ReliableConnectionTest, StalledPeerFillsTheQueueAndACloseAbortsIt) {
    TcpListener listener;
    RecordingEventSink sink;
    int peer = -1;
    RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);

    RecordingCompletion completion;
    std::vector<std::unique_ptr<std::vector<char>>> messages;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        messages.push_back(std::make_unique<std::vector<char>>(65536, 'q'));
        if (connection->Send(messages.back()->data(), 65536, &completion) == 0) {
            messages.pop_back();
            break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the queue never filled";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::vector<std::string> lines = m_logger.Lines();
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                     "2 TCP Send: no place for block of size 65536"));
    EXPECT_LT(connection->GetAvailableWriteQueueLength(), 65536);
    EXPECT_GE(connection->GetCurrentWriteQueueLength(), 65536 + 40);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(connection->GetOldestQueueDelayTime(), 20000) << "raw units are microseconds";

    const char small[4] = {};
    EXPECT_EQ(262104, connection->GetMaxWriteQueueLength());
    for (int32_t bad : {-1, 0, 262105}) {
        EXPECT_EQ(0, connection->Send(small, bad, &completion)) << "length " << bad;
    }
    EXPECT_EQ(0, connection->Send(nullptr, 4, &completion));

    const size_t completedBefore = completion.Sources();
    connection->Disconnect();
    const RecordingCompletion::Calls calls = completion.Taken();
    ASSERT_EQ(messages.size(), calls.size()) << "every accepted message completes";
    size_t aborted = 0;
    for (const auto& message : messages) {
        const auto found = calls.find(message->data());
        ASSERT_NE(calls.end(), found);
        ASSERT_EQ(1u, found->second.size()) << "exactly once";
        aborted += found->second[0].second == -787 ? 1 : 0;  // kSendQueueAborted
    }
    EXPECT_EQ(messages.size() - completedBefore, aborted);
    EXPECT_GT(aborted, 1u) << "queued blocks, not only the one in flight, are aborted";
    EXPECT_EQ(0, connection->GetCurrentWriteQueueLength());
    EXPECT_EQ(0, connection->GetOldestQueueDelayTime());
    EXPECT_EQ(0, sink.Count(4));

    // The next connection carries only what is sent on it.
    close(peer);
    ASSERT_TRUE(connection->Connect("127.0.0.1", false, listener.port, &sink));
    const int next = listener.Accept();
    ASSERT_TRUE(Eventually([&] { return sink.Count(1) == 2; }));
    ASSERT_EQ(5, connection->Send("after", 5, nullptr));
    EXPECT_EQ("after", test_support::ReadFor(next, 300));
    connection->Disconnect();
    close(next);
}

// Messages of 1 B to 70 KiB from several threads, each starting with its thread and its
// sequence number, reach a peer that pauses now and then, whole and in order.
TEST_F(ReliableConnectionTest, NothingIsLostFromSeveralSendingThreads) {
    constexpr int kThreads = 4;
    constexpr uint32_t kMessagesPerThread = 150;
    constexpr size_t kHeader = 8;  // thread, sequence
    TcpListener listener;
    RecordingEventSink sink;
    int peer = -1;
    RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
    RecordingCompletion completion;

    std::vector<std::vector<std::vector<uint8_t>>> sent(kThreads);
    size_t expectedBytes = 0;
    std::mt19937 random(7919);
    for (uint32_t thread = 0; thread < kThreads; ++thread) {
        for (uint32_t sequence = 0; sequence < kMessagesPerThread; ++sequence) {
            std::vector<uint8_t> message(
                std::max<size_t>(kHeader + 1, random() % 2 ? random() % 1400 : random() % 71680));
            std::generate(message.begin(), message.end(), [&] { return random(); });
            const uint32_t fields[2] = {thread, sequence};
            std::memcpy(message.data(), fields, kHeader);
            expectedBytes += message.size();
            sent[thread].push_back(std::move(message));
        }
    }
    std::vector<std::thread> senders;
    for (int thread = 0; thread < kThreads; ++thread) {
        senders.emplace_back([&, thread] {
            for (const std::vector<uint8_t>& message : sent[thread]) {
                while (connection->Send(message.data(), static_cast<int32_t>(message.size()),
                                        &completion) == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }
    std::string stream;
    std::mt19937 pauses(99);
    while (stream.size() < expectedBytes && test_support::WaitReadable(peer, 10000)) {
        if (pauses() % 8 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauses() % 30));
        }
        stream += test_support::ReadFor(peer, 0);
    }
    for (std::thread& sender : senders) {
        sender.join();
    }

    EXPECT_EQ("", test_support::ReadFor(peer, 50)) << "more than was sent arrived";
    ASSERT_EQ(expectedBytes, stream.size());
    std::vector<uint32_t> nextSequence(kThreads, 0);
    for (size_t at = 0; at < stream.size();) {
        uint32_t fields[2];
        std::memcpy(fields, stream.data() + at, kHeader);
        ASSERT_TRUE(fields[0] < kThreads && fields[1] < kMessagesPerThread) << "at byte " << at;
        ASSERT_EQ(nextSequence[fields[0]]++, fields[1]) << "thread " << fields[0];
        const std::vector<uint8_t>& original = sent[fields[0]][fields[1]];
        ASSERT_LE(at + original.size(), stream.size());
        ASSERT_EQ(0, std::memcmp(original.data(), stream.data() + at, original.size()))
            << "message " << fields[1] << " of thread " << fields[0] << " arrived damaged";
        at += original.size();
    }
    ASSERT_TRUE(Eventually([&] { return completion.Sources() == kThreads * kMessagesPerThread; }));
    for (const auto& [source, calls] : completion.Taken()) {
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(0, calls[0].second) << "error code";
    }
    connection->Disconnect();
    close(peer);
}

// What arrives at `peer` until it holds `bytes` bytes (or nothing came for 10 s).
std::string ReadExactly(int peer, size_t bytes) {
    std::string received;
    while (received.size() < bytes && test_support::WaitReadable(peer, 10000)) {
        received += test_support::ReadFor(peer, 0);
    }
    return received;
}

// A connection that sends nothing holds no send array, yet offers and refuses exactly what
// a queue with its whole room does; the first message takes the array, a drained queue
// keeps it until it has been idle for its time, and the close gives it back.
TEST_F(ReliableConnectionTest, SendArrayIsTakenByTheFirstMessageAndGivenBackByTheClose) {
    TcpListener listener;
    RecordingEventSink sink;
    // Set before the connection lives: the polling thread reads it with every event.
    sink.onEvent = [](ConnectionStream& stream, int32_t kind) {
        if (kind == ConnectionEventSink::kEventData) {
            Drain(stream);
        }
    };
    int peer = -1;
    RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
    connection->SetSendBufferIdleTime(3600000000);  // never idle long enough here

    EXPECT_FALSE(connection->HoldsSendBuffer()) << "connected, nothing sent";
    EXPECT_EQ(262104, connection->GetAvailableWriteQueueLength());
    EXPECT_EQ(262104, connection->GetMaxWriteQueueLength());
    EXPECT_EQ(0, connection->GetCurrentWriteQueueLength());
    EXPECT_EQ(0, connection->GetOldestQueueDelayTime());
    const std::vector<char> largest(262105, 'L');
    RecordingCompletion completion;
    for (int32_t bad : {262105, 0, -1}) {
        EXPECT_EQ(0, connection->Send(largest.data(), bad, &completion)) << "length " << bad;
    }
    EXPECT_FALSE(connection->HoldsSendBuffer()) << "a refused message takes nothing";
    const std::vector<std::string> lines = m_logger.Lines();
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                     "2 TCP Send: no place for block of size 262105"));

    ASSERT_EQ(262104, connection->Send(largest.data(), 262104, &completion));
    EXPECT_TRUE(connection->HoldsSendBuffer());
    EXPECT_EQ(std::string(262104, 'L'), ReadExactly(peer, 262104));
    ASSERT_TRUE(Eventually([&] { return completion.Sources() == 1; }));
    EXPECT_EQ(0, completion.Taken().begin()->second[0].second);
    EXPECT_TRUE(connection->HoldsSendBuffer()) << "drained, but not idle for long";
    EXPECT_EQ(262104, connection->GetAvailableWriteQueueLength());

    // Idle long enough now: the next input finds the drained queue and gives its array back.
    connection->SetSendBufferIdleTime(0);
    ASSERT_EQ(1, ::send(peer, "?", 1, 0));
    EXPECT_TRUE(Eventually([&] { return !connection->HoldsSendBuffer(); }));

    ASSERT_EQ(3, connection->Send("end", 3, nullptr));
    EXPECT_EQ("end", ReadExactly(peer, 3));
    connection->SetSendBufferIdleTime(3600000000);
    ASSERT_EQ(3, connection->Send("end", 3, nullptr));
    EXPECT_EQ("end", ReadExactly(peer, 3));
    connection->Disconnect();
    EXPECT_FALSE(connection->HoldsSendBuffer()) << "a closed connection keeps nothing";
    EXPECT_EQ(0, connection->GetAvailableWriteQueueLength());
    close(peer);
}

// With no idle time the array goes back each time the queue drains and the next message
// takes one again: backlogs that fill the queue, each read only once the queue is full,
// reach the peer whole and in order across the give-backs, each message completed once.
TEST_F(ReliableConnectionTest, SendArrayGivenBackWhenDrainedLosesNothing) {
    TcpListener listener;
    RecordingEventSink sink;
    int peer = -1;
    RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
    connection->SetSendBufferIdleTime(0);
    RecordingCompletion completion;
    std::mt19937 random(4099);
    std::deque<std::vector<uint8_t>> messages;
    std::string expected;
    for (int round = 0; round < 4; ++round) {
        for (;;) {
            std::vector<uint8_t> message(1 + random() % 50000);
            std::generate(message.begin(), message.end(), [&] { return random(); });
            if (connection->Send(message.data(), static_cast<int32_t>(message.size()),
                                 &completion) == 0) {
                break;  // the queue is full
            }
            expected.append(message.begin(), message.end());
            messages.push_back(std::move(message));
        }
        EXPECT_TRUE(connection->HoldsSendBuffer()) << "round " << round;
        EXPECT_LT(connection->GetAvailableWriteQueueLength(), 50000) << "round " << round;
        const std::string received = ReadExactly(peer, expected.size());
        ASSERT_EQ(expected.size(), received.size()) << "round " << round;
        ASSERT_TRUE(received == expected) << "bytes lost, doubled or reordered by round " << round;
        expected.clear();
        ASSERT_TRUE(Eventually([&] { return !connection->HoldsSendBuffer(); }))
            << "the drained queue kept its array in round " << round;
    }
    ASSERT_TRUE(Eventually([&] { return completion.Sources() == messages.size(); }));
    for (const std::vector<uint8_t>& message : messages) {
        const auto calls = completion.Taken().at(message.data());
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(std::make_pair(static_cast<int32_t>(message.size()), 0), calls[0]);
    }
    connection->Disconnect();
    close(peer);
}

// A message queued from another thread behind a full socket goes out as soon as the
// socket takes bytes, even though the wait loop's turn, polling for input alone when the
// message came, would last for minutes: the send wakes it, once.
TEST(ReliableConnectionWakeUp, SendFromAnotherThreadBehindAFullSocketWakesTheLoop) {
    SocketHandlerManager loop;
    PlatformServices services;
    services.SetSocketHandlerManager(&loop);
    std::atomic<bool> stop{false};
    std::thread turns([&] {
        while (!stop) {
            if (loop.Wait(600000) == Waiter::kNothingToWait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    TcpListener listener;
    RecordingEventSink sink;
    RefPtr<ReliableConnection> connection(new RefCountedObject<ReliableConnection>(&services));
    ASSERT_TRUE(connection->Connect("127.0.0.1", false, listener.port, &sink));
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    // Up, and idle: the turns poll it for input only.
    ASSERT_TRUE(Eventually([&] {
        return sink.Count(1) == 1 && connection->GetWaitEvents() == SocketHandler::kWaitInput;
    }));
    const uint64_t wakeUpsBefore = loop.GetWakeUpCount();

    // The peer reads nothing yet, so the socket fills and a message stays queued.
    const std::vector<char> message(65536, 'w');
    size_t sent = 0;
    while (connection->GetCurrentWriteQueueLength() == 0) {
        ASSERT_EQ(65536, connection->Send(message.data(), 65536, nullptr));
        sent += message.size();
        ASSERT_LT(sent, size_t{64} << 20) << "the socket never filled";
    }
    EXPECT_EQ(wakeUpsBefore + 1, loop.GetWakeUpCount()) << "one wake-up for the change";

    size_t received = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    char buffer[65536];
    while (received < sent && std::chrono::steady_clock::now() < deadline) {
        const ssize_t got = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            received += static_cast<size_t>(got);
        } else {
            test_support::WaitReadable(peer, 100);
        }
    }
    EXPECT_EQ(sent, received) << "the queued message waited for the turn's end";

    connection->Disconnect();
    stop = true;
    loop.WakeUp();
    turns.join();
    close(peer);
}

}  // namespace
}  // namespace qav
