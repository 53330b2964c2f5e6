// Lookups over real sockets against real peers: name servers on port 53 and NetBIOS peers on
// port 137, which a test may bind only inside a network namespace of its own. The peers are
// sockets of the test, and dnsmasq once.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>

#include "core/event.h"
#include "core/test_support.h"
#include "network/datagram_sender.h"
#include "network/dns_test_support.h"
#include "network/host_address_resolver.h"
#include "network/loopback_test_support.h"
#include "network/network_namespace_test_support.h"
#include "network/reliable_connection.h"

namespace qav {
namespace {

using test_support::AddressOf;
using test_support::AnswerA;
using test_support::Eventually;
using test_support::IdentifierOf;
using test_support::Ipv4;
using test_support::RecordingRequester;
using test_support::UdpServer;
using test_support::WithIdentifier;

constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";

const std::string kQueryABc = std::string("\0\1\1\0\0\1\0\0\0\0\0\0\1a\2bc\0\0\1\0\1", 22);

class ResolverNamespaceTest : public test_support::NameServerNamespaceTest {
  protected:
    RefPtr<HostAddressResolver> MakeResolver() {
        RefPtr<HostAddressResolver> resolver(new RefCountedObject<HostAddressResolver>);
        resolver->SetPlatformServices(m_services.get());
        return resolver;
    }
};

TEST_F(ResolverNamespaceTest, DnsQueriesGoToEveryServerAndTheFirstAddressWins) {
    if (!InNamespace()) {
        return;
    }
    test_support::FakeRawClock clock(1000000);
    UdpServer first("127.0.0.1", 53);
    UdpServer second("127.0.0.2", 53);
    ASSERT_TRUE(first.bound && second.bound);
    Start("nameserver 127.0.0.1\nnameserver 127.0.0.2\n");
    RefPtr<HostAddressResolver> resolver = MakeResolver();
    RefPtr<RecordingRequester> requester(new RefCountedObject<RecordingRequester>);

    uint32_t address = 0;
    EXPECT_TRUE(resolver->Resolve("10.0.0.9", address, requester.get()));
    EXPECT_FALSE(resolver->Resolve("a.bc", address, requester.get()));
    EXPECT_EQ(HostAddressResolver::kStatusWaiting, resolver->GetStatus());
    const auto toFirst = first.Receive();
    const auto toSecond = second.Receive();
    ASSERT_TRUE(toFirst && toSecond);
    // Apart from the lookup's identifier, the queries are fixed.
    const uint16_t identifier = resolver->GetQueryIdentifier();
    EXPECT_EQ(WithIdentifier(kQueryABc, identifier), toFirst->bytes)
        << "the dotted name was never sent";
    EXPECT_EQ(WithIdentifier(kQueryABc, identifier), toSecond->bytes);
    EXPECT_EQ(toFirst->fromPort, toSecond->fromPort) << "every query from one listener";
    EXPECT_FALSE(resolver->Resolve("a.bc", address, requester.get()));
    EXPECT_FALSE(first.Receive(100)) << "asked again within 3 s: nothing sent";

    // Neither a server that was not asked nor an answer without the lookup's identifier
    // counts. The second server answers first: a CNAME alone settles nothing, an address
    // does.
    const uint16_t port = toFirst->fromPort;
    UdpServer stranger("127.0.0.3", 53);
    ASSERT_TRUE(stranger.bound);
    stranger.SendTo("127.0.0.1", port,
                    WithIdentifier(AnswerA("a.bc", Ipv4(10, 9, 9, 6)), identifier));
    first.SendTo("127.0.0.1", port,
                 WithIdentifier(AnswerA("a.bc", Ipv4(10, 9, 9, 7)), identifier ^ 0x8000));
    second.SendTo("127.0.0.1", port,
                  WithIdentifier(test_support::DnsHeader(test_support::kDnsResponseFlags, 1, 1) +
                                     test_support::Question("a.bc") +
                                     test_support::Record(test_support::kToQuestion, 5, 1,
                                                          "\3cdn" + test_support::kToQuestion),
                                 identifier));
    second.SendTo("127.0.0.1", port,
                  WithIdentifier(AnswerA("a.bc", Ipv4(10, 9, 9, 2)), identifier));
    ASSERT_TRUE(Eventually([&] { return !requester->Calls().empty(); }));
    first.SendTo("127.0.0.1", port, WithIdentifier(AnswerA("a.bc", Ipv4(10, 9, 9, 1)), identifier));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(std::vector<std::string>{"10.9.9.2 10.9.9.2"}, requester->Calls());
    EXPECT_TRUE(resolver->Resolve("a.bc", address, nullptr));
    EXPECT_EQ(AddressOf("10.9.9.2"), address);

    // Another name is asked for at once; again after 3 s, from the same listener.
    EXPECT_FALSE(resolver->Resolve("b.cd", address, nullptr));
    const auto again = first.Receive();
    ASSERT_TRUE(again && second.Receive());
    clock.Advance(HostAddressResolver::kRetryMicroseconds - 100000);
    EXPECT_FALSE(resolver->Resolve("b.cd", address, nullptr));
    EXPECT_FALSE(first.Receive(100));
    clock.Advance(200000);
    EXPECT_FALSE(resolver->Resolve("b.cd", address, nullptr));
    const auto retried = first.Receive();
    ASSERT_TRUE(retried);
    EXPECT_EQ(again->fromPort, retried->fromPort);
    resolver->Disconnect();
}

TEST_F(ResolverNamespaceTest, NetbiosNamesGoOnlyToTheBroadcastAddresses) {
    if (!InNamespace()) {
        return;
    }
    test_support::AddVeth("eth1", "peer1", "10.77.0.1/24 brd +");
    test_support::Ip("route add default dev eth1");  // the general broadcast needs a route
    ASSERT_FALSE(HasFatalFailure());
    UdpServer netbios("0.0.0.0", 137);
    UdpServer dns("127.0.0.1", 53);
    ASSERT_TRUE(netbios.bound && dns.bound);
    Start("nameserver 127.0.0.1\n");
    RefPtr<HostAddressResolver> resolver = MakeResolver();
    RefPtr<RecordingRequester> requester(new RefCountedObject<RecordingRequester>);

    uint32_t address = 0;
    EXPECT_FALSE(resolver->Resolve("relay", address, requester.get()));
    std::string query = std::string("\0\1\1\x10\0\1\0\0\0\0\0\0", 12) +
                        test_support::kEncodedRelay + std::string("\0\x20\0\1\0\0\1\0\1", 9);
    query.resize(HostAddressResolver::kQueryBufferSize);
    std::set<std::string> destinations;
    uint16_t port = 0;
    const uint16_t identifier = resolver->GetQueryIdentifier();
    for (int i = 0; i < 2; ++i) {
        const auto datagram = netbios.Receive();
        ASSERT_TRUE(datagram) << i;
        EXPECT_EQ(WithIdentifier(query, identifier), datagram->bytes);
        destinations.insert(datagram->to);
        port = datagram->fromPort;
    }
    EXPECT_EQ((std::set<std::string>{"10.77.0.255", "255.255.255.255"}), destinations);
    EXPECT_FALSE(netbios.Receive(100));
    EXPECT_FALSE(dns.Receive(0)) << "a name without a dot is never asked of DNS";

    netbios.SendTo(
        "10.77.0.1", port,
        WithIdentifier(test_support::NetbiosAnswer(test_support::kEncodedRelay, Ipv4(10, 77, 0, 9)),
                       identifier));
    EXPECT_TRUE(Eventually([&] { return !requester->Calls().empty(); }));
    EXPECT_EQ(std::vector<std::string>{"10.77.0.9 10.77.0.9"}, requester->Calls());
    resolver->Disconnect();
}

TEST_F(ResolverNamespaceTest, DatagramSenderSendsOnceTheNameIsAnswered) {
    if (!InNamespace()) {
        return;
    }
    UdpServer dns("127.0.0.1", 53);
    ASSERT_TRUE(dns.bound);
    test_support::UdpPeer peer;
    Start("nameserver 127.0.0.1\n");
    RefPtr<DatagramSender> sender = m_services->CreateDatagramSender();
    test_support::RecordingCompletion completion;

    EXPECT_FALSE(sender->SetDestination("peer.test", true, false, peer.Port()));
    const auto query = dns.Receive();
    ASSERT_TRUE(query);
    const char early[] = "early";
    const char earlier[] = "earlier";
    EXPECT_EQ(0, sender->Send(earlier, 7, &completion));
    EXPECT_EQ(0, sender->Send(early, 5, &completion));
    EXPECT_FALSE(dns.Receive(100)) << "asked again within 3 s: no query";
    EXPECT_EQ((test_support::RecordingCompletion::Calls{{earlier, {{0, kSendNoDestination}}},
                                                        {early, {{0, kSendNoDestination}}}}),
              completion.Taken());

    dns.SendTo(
        "127.0.0.1", query->fromPort,
        WithIdentifier(AnswerA("peer.test", Ipv4(127, 0, 0, 1)), IdentifierOf(query->bytes)));
    const char late[] = "late";
    bool sent = false;
    ASSERT_TRUE(Eventually([&] { return sent = sent || sender->Send(late, 4, nullptr) == 4; }));
    EXPECT_EQ(std::make_pair(std::string("late"), sender->GetPort()), peer.Receive());
    EXPECT_FALSE(peer.Receive(100)) << "nothing before the answer";
    EXPECT_EQ("127.0.0.1", sender->GetAddress());
    sender->Close();
}

// The owner lets go of lookups, by Disconnect or by asking for another name, while a name
// server keeps answering them: a delivery under way must never stall the polling thread,
// nor the owner that waits for it. Ends on its own: a stall fails the test.
TEST_F(ResolverNamespaceTest, LettingGoOfALookupWhileAnswersArriveNeverStalls) {
    if (!InNamespace()) {
        return;
    }
    UdpServer dns("127.0.0.1", 53);
    ASSERT_TRUE(dns.bound);
    Start("nameserver 127.0.0.1\n");
    // The answers to the latest query settle nothing (no answer records) and keep coming
    // until the next query, so deliveries are under way when the owner lets go.
    std::atomic<int> bursts{0};
    std::atomic<bool> serving{true};
    std::thread server([&] {
        std::string answer;
        uint16_t port = 0;
        while (serving) {
            const auto query = dns.Receive(port == 0 ? 20 : 0);
            if (query && query->bytes.size() >= 12) {
                answer = query->bytes;
                answer[2] = '\x81';
                answer[3] = '\x80';
                port = query->fromPort;
                ++bursts;
            }
            for (int i = 0; port != 0 && i < 10; ++i) {
                dns.SendTo("127.0.0.1", port, answer);
            }
        }
    });
    RefPtr<HostAddressResolver> resolver = MakeResolver();
    RefPtr<RecordingRequester> requester(new RefCountedObject<RecordingRequester>);
    std::atomic<int> rounds{0};
    Event finished;
    std::thread owner([&] {
        for (; rounds < 60; ++rounds) {
            const int before = bursts;
            uint32_t address = 0;
            const std::string name = "round" + std::to_string(rounds) + ".test";
            resolver->Resolve(name.c_str(), address, requester.get());
            if (!Eventually([&] { return bursts > before; })) {
                break;
            }
            if (rounds % 2 == 0) {
                resolver->Disconnect();  // else the next name lets go of this lookup
            }
        }
        resolver->Disconnect();
        finished.Set();
    });
    if (!finished.Wait(60000)) {
        ADD_FAILURE() << "the owner or the polling thread stalled in round " << rounds;
        std::fflush(stdout);
        ::_exit(1);  // the stalled threads cannot be joined
    }
    owner.join();
    serving = false;
    server.join();
    EXPECT_EQ(60, rounds) << "a query went unanswered";

    // The polling thread still delivers: a last lookup is answered.
    uint32_t address = 0;
    EXPECT_FALSE(resolver->Resolve("last.test", address, requester.get()));
    const auto query = dns.Receive();
    ASSERT_TRUE(query);
    dns.SendTo("127.0.0.1", query->fromPort,
               WithIdentifier(AnswerA("last.test", Ipv4(10, 9, 9, 3)), IdentifierOf(query->bytes)));
    EXPECT_TRUE(Eventually([&] { return !requester->Calls().empty(); }));
    EXPECT_EQ(std::vector<std::string>{"10.9.9.3 10.9.9.3"}, requester->Calls());
    resolver->Disconnect();
}

// dnsmasq on 127.0.0.1:53 answering relay.test with 127.0.0.1 until the object ends.
class Dnsmasq {
  public:
    Dnsmasq() {
        std::vector<std::string> arguments = {kDnsmasq,
                                              "--no-daemon",
                                              "--port=53",
                                              "--listen-address=127.0.0.1",
                                              "--bind-interfaces",
                                              "--no-resolv",
                                              "--no-hosts",
                                              "--conf-file=/dev/null",
                                              "--pid-file=",
                                              "--address=/relay.test/127.0.0.1"};
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&m_pid, kDnsmasq, &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Dnsmasq() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    // Whether it answers within 5 s.
    bool Answers() {
        test_support::UdpPeer client;
        const std::string query =
            std::string("\0\1\1\0\0\1\0\0\0\0\0\0", 12) + test_support::Question("relay.test");
        for (int i = 0; m_pid > 0 && i < 50; ++i) {
            client.SendTo(53, query);
            if (client.Receive(100)) {
                return true;
            }
        }
        return false;
    }

  private:
    pid_t m_pid = -1;
};

TEST_F(ResolverNamespaceTest, ConnectionByNameThroughDnsmasq) {
    if (::access(kDnsmasq, X_OK) != 0) {
        GTEST_SKIP() << kDnsmasq << " is not installed (Debian package dnsmasq-base)";
    }
    if (!InNamespace()) {
        return;
    }
    Dnsmasq dnsmasq;
    ASSERT_TRUE(dnsmasq.Answers()) << "dnsmasq did not start";
    Start("nameserver 127.0.0.1\n");
    test_support::TcpListener listener;
    test_support::RecordingEventSink sink;
    RefPtr<ReliableConnection> connection = m_services->CreateReliableConnection();

    ASSERT_TRUE(connection->Connect("relay.test", true, listener.port, &sink));
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(Eventually([&] { return sink.Count(ConnectionEventSink::kEventConnected) == 1; }));
    const auto connected = sink.Events(ConnectionEventSink::kEventConnected)[0];
    EXPECT_EQ("relay.test", connected.name);
    EXPECT_EQ("127.0.0.1", connected.peerAddress);

    EXPECT_EQ(5, connection->Send("hello", 5, nullptr));
    std::string received;
    EXPECT_TRUE(
        Eventually([&] { return (received += test_support::ReadFor(peer, 10)) == "hello"; }));
    ASSERT_EQ(4, ::write(peer, "back", 4));
    ASSERT_TRUE(Eventually([&] { return sink.Count(ConnectionEventSink::kEventData) > 0; }));
    char back[8] = {};
    EXPECT_EQ(4, connection->Receive(back, sizeof back));
    EXPECT_STREQ("back", back);
    connection->Disconnect();
    ::close(peer);
    StopLoop();
}

}  // namespace
}  // namespace qav
