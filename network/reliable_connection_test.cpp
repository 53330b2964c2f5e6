// Reliable connections over loopback, driven by a real wait loop on a real polling
// thread; the far end is a plain socket of the test or another reliable connection.
#include "network/reliable_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/polling_test_support.h"
#include "core/test_support.h"
#include "manager/connection_event_sink.h"
#include "manager/protocol_manager.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"

namespace qav {
namespace {

using test_support::CapturingTextLogger;
using test_support::Eventually;

struct SeenEvent {
    int32_t kind;
    bool incoming;
    std::string host;
};

class RecordingSink final : public ConnectionEventSink {
  public:
    int32_t ManageConnectionProtocol(bool incoming, const char* connectionName, const char*,
                                     int32_t, const char*, int32_t, ConnectionStream* connection,
                                     int32_t eventKind, PlatformServices*) override {
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_events.push_back({eventKind, incoming, connectionName});
        }
        if (onEvent) {
            onEvent(*connection, eventKind);
        }
        return 0;
    }
    std::vector<SeenEvent> Events() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_events;
    }
    int Count(int32_t kind) {
        const std::vector<SeenEvent> events = Events();
        return static_cast<int>(std::count_if(events.begin(), events.end(),
                                              [&](const SeenEvent& e) { return e.kind == kind; }));
    }

    std::function<void(ConnectionStream&, int32_t)> onEvent;

  private:
    std::mutex m_mutex;
    std::vector<SeenEvent> m_events;
};

// Keeps every completion by source pointer.
class RecordingCompletion final : public SendCompletion {
  public:
    struct Call {
        int32_t bytesSent;
        int32_t errorCode;
    };
    void Complete(const void* source, int32_t bytesSent, int32_t errorCode) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_calls[source].push_back({bytesSent, errorCode});
    }
    std::map<const void*, std::vector<Call>> Calls() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls;
    }
    size_t Sources() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls.size();
    }

  private:
    std::mutex m_mutex;
    std::map<const void*, std::vector<Call>> m_calls;
};

// A listening socket of the test on 127.0.0.1.
class TestListener {
  public:
    TestListener() {
        m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(0, bind(m_socket, reinterpret_cast<sockaddr*>(&address), size));
        EXPECT_EQ(0, listen(m_socket, 8));
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~TestListener() { close(m_socket); }

    // The next connection (non-blocking, as a server hands it over), -1 after 5 s.
    int Accept(int32_t* peerPort = nullptr) {
        pollfd ready{m_socket, POLLIN, 0};
        if (poll(&ready, 1, 5000) != 1) {
            return -1;
        }
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const int accepted = accept4(m_socket, reinterpret_cast<sockaddr*>(&peer), &size,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (peerPort != nullptr) {
            *peerPort = ntohs(peer.sin_port);
        }
        return accepted;
    }

    int32_t port = 0;

  private:
    int m_socket = -1;
};

// Reads what arrives within `waitMs`.
std::string ReadFor(int socket, int waitMs) {
    std::string bytes;
    char buffer[65536];
    pollfd ready{socket, POLLIN, 0};
    while (poll(&ready, 1, waitMs) == 1) {
        const ssize_t got = recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

void ResetOnClose(int socket) {
    const linger abortive{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(socket);
}

class ReliableConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_services.SetSocketHandlerManager(&m_loop);
        ASSERT_EQ(1, m_manager->StartPollingThreads(&m_loop, 1));
    }
    void TearDown() override { m_manager->ReleaseAllResources(); }

    RefPtr<ReliableConnection> Make() {
        return RefPtr<ReliableConnection>(new RefCountedObject<ReliableConnection>(&m_services));
    }
    // A connection to `listener`, up, and the peer end the listener accepted.
    RefPtr<ReliableConnection> ConnectTo(TestListener& listener, RecordingSink& sink, int& peer) {
        RefPtr<ReliableConnection> connection = Make();
        EXPECT_TRUE(connection->Connect("127.0.0.1", false, listener.port, &sink));
        peer = listener.Accept();
        EXPECT_TRUE(Eventually([&] { return sink.Count(1) == 1; }));
        return connection;
    }

    // Installed before the polling thread starts and removed after it ended.
    CapturingTextLogger m_logger{kSeverityWarning};
    SocketHandlerManager m_loop;
    PlatformServices m_services;
    RefPtr<ProtocolManager> m_manager{new ProtocolManager};
};

TEST_F(ReliableConnectionTest, EchoBetweenAnOutgoingAndAnAttachedConnection) {
    TestListener listener;
    RecordingSink clientSink;
    RecordingSink serverSink;
    RefPtr<ReliableConnection> client = Make();
    RefPtr<ReliableConnection> server = Make();
    serverSink.onEvent = [](ConnectionStream& stream, int32_t kind) {
        char buffer[4096];
        for (int32_t got; kind == 2 && (got = stream.Receive(buffer, sizeof buffer)) > 0;) {
            stream.Send(buffer, got, nullptr);
        }
    };
    std::mutex mutex;
    std::string echoed;
    clientSink.onEvent = [&](ConnectionStream& stream, int32_t kind) {
        char buffer[4096];
        for (int32_t got; kind == 2 && (got = stream.Receive(buffer, sizeof buffer)) > 0;) {
            std::lock_guard<std::mutex> hold(mutex);
            echoed.append(buffer, static_cast<size_t>(got));
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
    EXPECT_EQ("127.0.0.1", clientSink.Events()[0].host);
    EXPECT_EQ("127.0.0.1", client->GetAddress());
    EXPECT_GT(client->GetPort(), 0);
    EXPECT_EQ(kConnectionConnected, server->GetConnectionState());

    RecordingCompletion completion;
    const char message[] = "ping over loopback";
    ASSERT_EQ(18, client->Send(message, 18, &completion));
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> hold(mutex);
        return echoed.size() >= 18;
    }));
    EXPECT_EQ("ping over loopback", echoed);
    ASSERT_TRUE(Eventually([&] { return completion.Sources() == 1; }));
    ASSERT_EQ(1u, completion.Calls()[message].size());
    EXPECT_EQ(18, completion.Calls()[message][0].bytesSent);
    EXPECT_EQ(0, completion.Calls()[message][0].errorCode);

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
    int closedPort = 0;
    {
        TestListener gone;
        closedPort = gone.port;
    }
    RecordingSink sink;
    RefPtr<ReliableConnection> refused = Make();
    if (refused->Connect("127.0.0.1", false, closedPort, &sink)) {
        ASSERT_TRUE(Eventually([&] { return sink.Count(4) == 1; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, sink.Count(1)) << "a refused connect never reports connected";
    EXPECT_LE(sink.Count(4), 1);
    EXPECT_EQ(kConnectionClosed, refused->GetConnectionState());

    // Names cannot be looked up, nor can a port that does not exist be dialled.
    EXPECT_FALSE(refused->Connect("localhost", false, closedPort, &sink));
    EXPECT_FALSE(refused->Connect("localhost", true, closedPort, &sink));
    EXPECT_FALSE(refused->Connect("127.0.0.1", false, 65536, &sink));
    EXPECT_EQ(kConnectionClosed, refused->GetConnectionState());

    TestListener listener;
    RecordingSink resetSink;
    int peer = -1;
    RefPtr<ReliableConnection> connection = ConnectTo(listener, resetSink, peer);
    ResetOnClose(peer);
    ASSERT_TRUE(Eventually([&] { return resetSink.Count(4) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1, resetSink.Count(4));
    EXPECT_EQ(kConnectionClosed, connection->GetConnectionState());
}

// The peer stops reading: the queue fills, Send refuses with a warning, and a close then
// aborts every queued message; none of them reaches the next connection.
TEST_F(ReliableConnectionTest, StalledPeerFillsTheQueueAndACloseAbortsIt) {
    TestListener listener;
    RecordingSink sink;
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
        if (std::chrono::steady_clock::now() > deadline) {
            FAIL() << "the queue never filled";
        }
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
    const std::map<const void*, std::vector<RecordingCompletion::Call>> calls = completion.Calls();
    ASSERT_EQ(messages.size(), calls.size()) << "every accepted message completes";
    size_t aborted = 0;
    for (const auto& message : messages) {
        const auto found = calls.find(message->data());
        ASSERT_NE(calls.end(), found);
        ASSERT_EQ(1u, found->second.size()) << "exactly once";
        aborted += found->second[0].errorCode == kSendQueueAborted ? 1 : 0;
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
    EXPECT_EQ("after", ReadFor(next, 300));
    connection->Disconnect();
    close(next);
}

// Messages of 1 B to 70 KiB from several threads, each carrying its thread, its sequence
// number and a checksum, reach a peer that pauses now and then, whole and in order.
TEST_F(ReliableConnectionTest, NothingIsLostFromSeveralSendingThreads) {
    constexpr int kThreads = 4;
    constexpr int kMessagesPerThread = 150;
    constexpr size_t kHeader = 12;  // thread, sequence, length
    TestListener listener;
    RecordingSink sink;
    int peer = -1;
    RefPtr<ReliableConnection> connection = ConnectTo(listener, sink, peer);
    RecordingCompletion completion;

    std::vector<std::vector<std::vector<uint8_t>>> sent(kThreads);
    std::vector<std::thread> senders;
    for (int thread = 0; thread < kThreads; ++thread) {
        senders.emplace_back([&, thread] {
            std::mt19937 random(static_cast<uint32_t>(thread) * 7919u + 1u);
            for (uint32_t sequence = 0; sequence < kMessagesPerThread; ++sequence) {
                const uint32_t length = std::max<uint32_t>(
                    kHeader + 1, random() % 2 == 0 ? random() % 1400 : random() % 71680);
                std::vector<uint8_t> message(length);
                const uint32_t fields[3] = {static_cast<uint32_t>(thread), sequence, length};
                std::memcpy(message.data(), fields, kHeader);
                uint8_t checksum = 0;
                for (size_t i = kHeader; i + 1 < length; ++i) {
                    message[i] = static_cast<uint8_t>(random());
                    checksum = static_cast<uint8_t>(checksum + message[i]);
                }
                message[length - 1] = checksum;
                sent[thread].push_back(std::move(message));
                const std::vector<uint8_t>& queued = sent[thread].back();
                while (connection->Send(queued.data(), static_cast<int32_t>(length), &completion) ==
                       0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }

    std::string stream;
    size_t expectedBytes = 0;
    char buffer[65536];
    std::mt19937 pauses(99);
    for (auto start = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - start < std::chrono::seconds(60);) {
        if (pauses() % 8 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauses() % 30));
        }
        const ssize_t got = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            stream.append(buffer, static_cast<size_t>(got));
        } else if (expectedBytes == 0 && completion.Sources() == kThreads * kMessagesPerThread) {
            for (const auto& messages : sent) {
                for (const auto& message : messages) {
                    expectedBytes += message.size();
                }
            }
        } else if (expectedBytes != 0 && stream.size() >= expectedBytes) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    for (std::thread& sender : senders) {
        sender.join();
    }

    ASSERT_EQ(expectedBytes, stream.size());
    std::vector<uint32_t> nextSequence(kThreads, 0);
    for (size_t at = 0; at + kHeader <= stream.size();) {
        uint32_t fields[3];
        std::memcpy(fields, stream.data() + at, kHeader);
        ASSERT_LT(fields[0], static_cast<uint32_t>(kThreads)) << "at byte " << at;
        ASSERT_EQ(nextSequence[fields[0]]++, fields[1]) << "thread " << fields[0];
        const std::vector<uint8_t>& original = sent[fields[0]][fields[1]];
        ASSERT_EQ(original.size(), fields[2]);
        uint8_t checksum = 0;
        for (size_t i = at + kHeader; i + 1 < at + fields[2]; ++i) {
            checksum = static_cast<uint8_t>(checksum + static_cast<uint8_t>(stream[i]));
        }
        ASSERT_EQ(checksum, static_cast<uint8_t>(stream[at + fields[2] - 1]));
        ASSERT_EQ(0, std::memcmp(original.data(), stream.data() + at, original.size()))
            << "message " << fields[1] << " of thread " << fields[0] << " arrived damaged";
        at += original.size();
    }
    for (int thread = 0; thread < kThreads; ++thread) {
        EXPECT_EQ(static_cast<uint32_t>(kMessagesPerThread), nextSequence[thread]);
    }
    for (const auto& [source, calls] : completion.Calls()) {
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(0, calls[0].errorCode);
    }
    connection->Disconnect();
    close(peer);
}

}  // namespace
}  // namespace qav
