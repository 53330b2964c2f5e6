// The client role's liveness over real paths: the node's namespace reaches a server in a
// namespace of its own over veth pairs, "eth1" (Ethernet rank 1, 10.1.0.1) and "wlan1"
// (WiFi rank 2, 10.2.0.1), and the server, its name server or its paths misbehave the way
// real ones do: a name that resolves late or not at all, a server that closes every
// connection at once, an address that moves to another interface, a better path whose
// route comes late, a far side that goes silent. Whatever happens, the node ends up
// connected once it can be, retries at a bounded rate, and tells each change of a path
// exactly once.
#include <net/if.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "manager/manager_test_support.h"
#include "manager/server_namespace_test_support.h"
#include "network/dns_test_support.h"
#include "network/loopback_test_support.h"
#include "network/network_namespace_test_support.h"
#include "network/platform_services.h"

namespace qav {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using test_support::AcceptingServer;
using test_support::AddPath;
using test_support::AddServerAddress;
using test_support::Ip;
using test_support::kServerAddress;
using test_support::RecordingObserver;
using test_support::RestoreRoutes;
using test_support::ServerNamespace;
using test_support::WaitUntil;

constexpr const char* kHost = "relay.test";
constexpr const char* kEthernetAddress = "10.1.0.1";
constexpr const char* kWifiAddress = "10.2.0.1";

// One path: the node's interface, its peer in the server's namespace, the subnet, the
// routing table for what leaves from its address, the metric of its main route.
struct PathSetting {
    const char* name;
    const char* peer;
    const char* subnet;
    int table;
    int metric;
    const char* address;
};
constexpr PathSetting kEthernet{"eth1", "seth1", "10.1.0", 101, 1, kEthernetAddress};
constexpr PathSetting kWifi{"wlan1", "swlan1", "10.2.0", 102, 2, kWifiAddress};

double SecondsSince(steady_clock::time_point start) {
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// The first lines of `lines`: a node that loops may have logged thousands.
std::string Head(const std::vector<std::string>& lines, size_t count = 60) {
    std::string text;
    for (size_t i = 0; i < lines.size() && i < count; ++i) {
        text += lines[i] + "\n";
    }
    if (lines.size() > count) {
        text += "... and " + std::to_string(lines.size() - count) + " more lines\n";
    }
    return text;
}

std::string Joined(const std::set<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : " ") + item;
    }
    return "{" + text + "}";
}

bool IsRunning(const std::string& name) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    name.copy(request.ifr_name, IFNAMSIZ - 1);
    const bool running = probe >= 0 && ::ioctl(probe, SIOCGIFFLAGS, &request) == 0 &&
                         (request.ifr_flags & IFF_UP) && (request.ifr_flags & IFF_RUNNING);
    if (probe >= 0) {
        ::close(probe);
    }
    return running;
}

// The paths that `changes` ("up|down ADDRESS PRIORITY") leave up, with the last "up" line
// of each. For each address the lines must alternate, starting with "up"; `fault` tells of
// the first line that does not.
std::map<std::string, std::string> UpPaths(const std::vector<std::string>& changes,
                                           std::string& fault) {
    std::map<std::string, std::string> up;
    std::set<std::string> seen;
    for (size_t i = 0; i < changes.size(); ++i) {
        const std::string& change = changes[i];
        const size_t space = change.find(' ');
        const size_t end = change.find(' ', space + 1);
        const bool connected = change.compare(0, space, "up") == 0;
        const std::string address = change.substr(space + 1, end - space - 1);
        const bool wasUp = up.count(address) != 0;
        if (connected == wasUp && fault.empty()) {
            fault = "line " + std::to_string(i + 1) + " \"" + change + "\" follows " +
                    (wasUp                 ? "an \"up\" of its address without a \"down\""
                     : seen.count(address) ? "a \"down\" of its address"
                                           : "no \"up\" of its address");
        }
        seen.insert(address);
        if (connected) {
            up[address] = change;
        } else {
            up.erase(address);
        }
    }
    return up;
}

// Why the observer's lines, the server's open connections and the automatic connection's
// connected addresses do not tell the same paths; empty when they do.
std::string Disagreement(RecordingObserver& observer, AcceptingServer* server,
                         AutomaticConnection& connection, bool allPaths) {
    std::string fault;
    std::set<std::string> byLines;
    for (const auto& [address, line] : UpPaths(observer.Changes(), fault)) {
        byLines.insert(address);
    }
    const std::set<std::string> atServer =
        server != nullptr ? server->OpenPeers() : std::set<std::string>();
    const std::vector<std::string> connected = connection.GetConnectedAddresses();
    const std::set<std::string> byConnection(connected.begin(), connected.end());
    if (fault.empty() && byLines == atServer && byLines == byConnection &&
        (allPaths || byLines.size() <= 1)) {
        return "";
    }
    return (fault.empty() ? "" : "the lines break: " + fault + "\n") +
           "up by the observer's lines " + Joined(byLines) + ", open at the server " +
           Joined(atServer) + ", connected by the automatic connection " + Joined(byConnection) +
           (allPaths ? "" : " (one path at most)") + "\nlines:\n" + observer.Text();
}

// A name server at 127.0.0.1:53 of the test's namespace that answers each query for kHost
// as its script says: with the server's address, with "no such name", or not at all.
class ScriptedNameServer {
  public:
    enum class Reply { kNone, kAddress, kNoSuchName };
    // Takes the query's index (0 for the first) and tells the reply.
    using Script = std::function<Reply(int query)>;

    explicit ScriptedNameServer(Script script)
        : m_script(std::move(script)), m_thread([this] { Loop(); }) {}
    ~ScriptedNameServer() {
        m_stop = true;
        m_thread.join();
    }
    ScriptedNameServer(const ScriptedNameServer&) = delete;
    ScriptedNameServer& operator=(const ScriptedNameServer&) = delete;

    bool Bound() const { return m_socket.bound; }
    int Queries() const { return m_queries.load(); }
    // When the first query that got the address arrived.
    std::optional<steady_clock::time_point> FirstAnswered() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_firstAnswered;
    }

  private:
    void Loop() {
        const std::string question = test_support::Question(kHost);
        while (!m_stop) {
            const std::optional<test_support::UdpServer::Datagram> query = m_socket.Receive(20);
            if (!query || query->bytes.find(question) == std::string::npos) {
                continue;
            }
            const Reply reply = m_script(m_queries++);
            const uint16_t identifier = test_support::IdentifierOf(query->bytes);
            std::string answer;
            if (reply == Reply::kAddress) {
                answer = test_support::AnswerA(kHost, test_support::Ipv4(10, 9, 0, 1));
                std::lock_guard<std::mutex> hold(m_mutex);
                if (!m_firstAnswered) {
                    m_firstAnswered = steady_clock::now();
                }
            } else if (reply == Reply::kNoSuchName) {
                // A response, recursion desired and available, RCODE 3.
                answer = test_support::DnsHeader(0x8183, 1, 0) + question;
            }
            if (!answer.empty()) {
                m_socket.SendTo(query->from.c_str(), query->fromPort,
                                test_support::WithIdentifier(answer, identifier));
            }
        }
    }

    const Script m_script;
    test_support::UdpServer m_socket{"127.0.0.1", 53};
    std::atomic<int> m_queries{0};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::optional<steady_clock::time_point> m_firstAnswered;  // guarded by m_mutex
    std::thread m_thread;  // last: it starts once everything above is made
};

// A server in `space` that accepts every connection and closes it at once, on a thread
// of its own, counting them.
class ClosingServer {
  public:
    explicit ClosingServer(ServerNamespace& space) {
        space.Run([this] { m_server = std::make_unique<AcceptingServer>(); });
        m_thread = std::thread([this] {
            while (!m_stop) {
                m_accepted += static_cast<int>(m_server->Update().size());
                m_server->CloseConnections();
                std::this_thread::sleep_for(milliseconds(2));
            }
        });
    }
    ~ClosingServer() {
        m_stop = true;
        m_thread.join();
    }
    ClosingServer(const ClosingServer&) = delete;
    ClosingServer& operator=(const ClosingServer&) = delete;

    bool IsListening() const { return m_server->IsListening(); }
    int32_t Port() const { return m_server->port; }
    int Accepted() const { return m_accepted.load(); }

  private:
    std::unique_ptr<AcceptingServer> m_server;
    std::atomic<int> m_accepted{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The manager's polling thread, a server namespace with the server's address, and the
// node's side of the paths a test adds.
class ProtocolManagerLiveness : public test_support::LoggedManagerTest {
  protected:
    // True inside the test's own namespace, once the server's namespace is made; false in
    // the parent, which has run the test in a child (or skipped it).
    bool InNamespace() {
        if (!test_support::InsideNetworkNamespace()) {
            test_support::RerunInNetworkNamespace();
            return false;
        }
        m_space = std::make_unique<ServerNamespace>();
        if (!m_space->Made()) {
            ADD_FAILURE() << "no namespace for the server";
            return false;
        }
        AddServerAddress(*m_space);
        return !HasFailure();
    }
    void TearDown() override {
        LoggedManagerTest::TearDown();
        // Released, and gone before the platform services made here.
        m_manager.Reset();
    }

    void AddPathOf(const PathSetting& path) {
        AddPath(*m_space, path.name, path.peer, path.subnet, path.table, path.metric);
    }
    void RemoveAddress(const PathSetting& path) {
        Ip(std::string("addr del ") + path.address + "/24 dev " + path.name);
    }
    // The routes went with the link's last address; they come back with it.
    void RestoreAddress(const PathSetting& path) {
        Ip(std::string("addr add ") + path.address + "/24 dev " + path.name);
        RestoreRoutes(path.name, path.subnet, path.table, path.metric);
    }

    // A server listening in the server's namespace on `port` (0: one the system picks).
    std::unique_ptr<AcceptingServer> StartServer(int32_t port = 0, bool probeIdlePeers = false) {
        std::unique_ptr<AcceptingServer> server;
        m_space->Run([&] { server = std::make_unique<AcceptingServer>(port); });
        EXPECT_TRUE(server->IsListening());
        server->ProbeIdlePeers(probeIdlePeers);
        return server;
    }

    // Platform services that read their DNS servers from a resolv.conf of the test's own,
    // which names the scripted name server.
    PlatformServices& ServicesAskingTheNameServer() {
        const std::string path = m_directory.Narrow("resolv.conf");
        test_support::WriteBytes(path, "nameserver 127.0.0.1\n");
        m_namedServices = std::make_unique<PlatformServices>(path);
        m_namedServices->SetSocketHandlerManager(&m_loop);
        return *m_namedServices;
    }

    // The server roles on `services`, as the node starts them: one datagram listener on
    // every address.
    void StartNode(PlatformServices& services) {
        m_manager->GetNetworkPacketsManager().SetPerAddressListening(false);
        int32_t udpPort = 0;
        int32_t tcpPort = 0;
        ASSERT_EQ(m_manager->StartServerRoles(&services, udpPort, tcpPort),
                  ProtocolManager::kServerRolesStarted);
    }
    RefPtr<AutomaticConnection> Connect(PlatformServices& services, const char* host, int32_t port,
                                        RecordingObserver* observer = nullptr) {
        return m_manager->StartMainServerConnection(
            &services, host, nullptr, observer != nullptr ? observer : m_observer.get(), port, 0);
    }

    // Whether a line of either log (the process-wide one and the manager's) holds both.
    bool LogTells(const std::string& first, const std::string& second) {
        std::vector<std::string> lines = m_logger.Lines();
        const std::vector<std::string> managerLines = m_log.Lines();
        lines.insert(lines.end(), managerLines.begin(), managerLines.end());
        for (const std::string& line : lines) {
            if (line.find(first) != std::string::npos && line.find(second) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::string Logs() { return Head(m_logger.Lines(), 40) + Head(m_log.Lines(), 80); }

    test_support::ScratchDirectory m_directory;
    std::unique_ptr<PlatformServices> m_namedServices;
    std::unique_ptr<ServerNamespace> m_space;
    RefPtr<RecordingObserver> m_observer{new RecordingObserver};
};

// ---- Late or negative DNS ---------------------------------------------------------------

// Slow (up to about 25 s): the name server stays silent for 7 s, past one whole lookup,
// and the connection then has a lookup and a back-off to come up.
TEST_F(ProtocolManagerLiveness, AServerNameThatResolvesLateIsReached) {
    if (!InNamespace()) {
        return;
    }
    Ip("link set lo up");  // the name server's address
    AddPathOf(kEthernet);
    std::unique_ptr<AcceptingServer> server = StartServer();
    const steady_clock::time_point answersFrom = steady_clock::now() + seconds(7);
    ScriptedNameServer names([&](int) {
        return steady_clock::now() >= answersFrom ? ScriptedNameServer::Reply::kAddress
                                                  : ScriptedNameServer::Reply::kNone;
    });
    ASSERT_TRUE(names.Bound());
    PlatformServices& services = ServicesAskingTheNameServer();
    StartNode(services);
    RefPtr<AutomaticConnection> connection = Connect(services, kHost, server->port);
    ASSERT_TRUE(connection) << Logs();

    const bool up =
        WaitUntil([&] { return m_observer->Saw("up 10.1.0.1 1"); }, seconds(7) + seconds(15));
    const double sinceAnswering = SecondsSince(answersFrom);
    const std::optional<steady_clock::time_point> firstAnswered = names.FirstAnswered();
    std::printf(
        "up %s %.1f s after the name server began to answer, %.1f s after the first "
        "query it answered; %d queries\n",
        up ? "at" : "never, checked at", sinceAnswering,
        firstAnswered ? SecondsSince(*firstAnswered) : -1.0, names.Queries());
    EXPECT_TRUE(LogTells(kHost, "no answer")) << "no log line names the host and \"no answer\"\n"
                                              << Logs();
    ASSERT_TRUE(up) << "the name resolved 15 s ago and the server was never reached ("
                    << names.Queries() << " queries)\n"
                    << m_observer->Text() << Logs();
    EXPECT_LE(sinceAnswering, 15.0);
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom(kEthernetAddress) == 1; }));
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
}

TEST_F(ProtocolManagerLiveness, ANameThatIsNotFoundIsAskedAgainUntilItIs) {
    if (!InNamespace()) {
        return;
    }
    Ip("link set lo up");
    AddPathOf(kEthernet);
    std::unique_ptr<AcceptingServer> server = StartServer();
    ScriptedNameServer names([](int query) {
        return query == 0 ? ScriptedNameServer::Reply::kNoSuchName
                          : ScriptedNameServer::Reply::kAddress;
    });
    ASSERT_TRUE(names.Bound());
    PlatformServices& services = ServicesAskingTheNameServer();
    StartNode(services);
    const steady_clock::time_point start = steady_clock::now();
    RefPtr<AutomaticConnection> connection = Connect(services, kHost, server->port);
    ASSERT_TRUE(connection) << Logs();

    const bool up = WaitUntil([&] { return m_observer->Saw("up 10.1.0.1 1"); }, seconds(15));
    std::printf("%s after %.1f s and %d queries\n", up ? "up" : "not up", SecondsSince(start),
                names.Queries());
    EXPECT_GE(names.Queries(), 2) << "the name was never asked again";
    EXPECT_TRUE(LogTells(kHost, "no such name"))
        << "no log line names the host and \"no such name\"\n"
        << Logs();
    ASSERT_TRUE(up) << "a negative answer stopped the connection for good\n"
                    << m_observer->Text() << Logs();
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom(kEthernetAddress) == 1; }));
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
}

// ---- A server that accepts and closes at once ---------------------------------------------

// Slow (30 s): the rule is about a rate, 1 s doubling, so the test watches long enough for
// the fifth retry.
TEST_F(ProtocolManagerLiveness, AServerThatClosesAtOnceIsTriedAtABackedOffRate) {
    if (!InNamespace()) {
        return;
    }
    AddPathOf(kEthernet);
    ClosingServer server(*m_space);
    ASSERT_TRUE(server.IsListening());
    StartNode(m_services);
    RefPtr<AutomaticConnection> connection = Connect(m_services, kServerAddress, server.Port());
    ASSERT_TRUE(connection) << Logs();

    // Connects at about 0, 1, 3, 7, 15 and 31 s, each delay within 20% of its value.
    constexpr int kMostConnects = 7;
    const steady_clock::time_point start = steady_clock::now();
    WaitUntil([&] { return server.Accepted() > kMostConnects; }, seconds(30));
    const int accepted = server.Accepted();
    std::printf("%d connects in %.1f s\n", accepted, SecondsSince(start));
    EXPECT_GE(accepted, 2) << "the server was never tried again\n" << Logs();
    EXPECT_LE(accepted, kMostConnects)
        << "a path that closes at once is replayed without a back-off\n"
        << Head(m_observer->Changes(), 20) << Logs();
    EXPECT_LE(m_log.Count("Connecting to server"), kMostConnects) << Head(m_log.Lines());

    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
    std::string fault;
    const std::map<std::string, std::string> up = UpPaths(m_observer->Changes(), fault);
    EXPECT_EQ(fault, "") << Head(m_observer->Changes());
    EXPECT_TRUE(up.empty()) << "an \"up\" without its \"down\": " << up.begin()->second;
}

// ---- An address that moves to another interface -------------------------------------------

TEST_F(ProtocolManagerLiveness, AnAddressThatMovesToAnotherInterfaceIsFollowed) {
    if (!InNamespace()) {
        return;
    }
    AddPathOf(kEthernet);
    // A second Ethernet-ranked interface into the server's namespace, up but without an
    // address yet.
    ASSERT_NO_FATAL_FAILURE(test_support::MakeVethPair("eth2", "seth2"));
    Ip("link set seth2 netns " + std::to_string(m_space->ThreadId()));
    m_space->Run([] { Ip("link set seth2 up"); });
    Ip("link set eth2 up");
    ASSERT_TRUE(test_support::WaitUntilRunning("eth2"));
    // The server drops what it no longer hears from, as the node's old socket will be.
    std::unique_ptr<AcceptingServer> server = StartServer(0, true);
    StartNode(m_services);
    RefPtr<AutomaticConnection> connection = Connect(m_services, kServerAddress, server->port);
    ASSERT_TRUE(connection) << Logs();
    ASSERT_TRUE(WaitUntil([&] { return m_observer->SawOn("up 10.1.0.1 1", "eth1"); }))
        << m_observer->Text() << Logs();
    ASSERT_TRUE(WaitUntil([&] { return server->OpenFrom(kEthernetAddress) == 1; }));

    // The address moves, and both sides route to each other through eth2.
    const size_t seen = m_observer->Changes().size();
    const steady_clock::time_point moved = steady_clock::now();
    m_space->Run([] { Ip(std::string("route add ") + kEthernetAddress + "/32 dev seth2"); });
    Ip(std::string("addr del ") + kEthernetAddress + "/24 dev eth1");
    Ip(std::string("addr add ") + kEthernetAddress + "/24 dev eth2");
    Ip(std::string("route replace ") + kServerAddress + "/32 dev eth2 table 101");
    Ip(std::string("route replace ") + kServerAddress + "/32 dev eth2 metric 1");
    ASSERT_TRUE(IsRunning("eth1")) << "eth1 keeps its link; only the address moved";

    const bool followed =
        WaitUntil([&] { return m_observer->SawOn("up 10.1.0.1 1", "eth2", seen); });
    std::printf("%s through eth2 %.1f s after the move\n", followed ? "up" : "not up",
                SecondsSince(moved));
    ASSERT_TRUE(followed) << "the path stays on the interface the address left\n"
                          << m_observer->Text() << Logs();
    EXPECT_TRUE(m_observer->Saw("down 10.1.0.1 1", seen)) << m_observer->Text();
    std::string fault;
    UpPaths(m_observer->Changes(), fault);
    EXPECT_EQ(fault, "") << m_observer->Text();
    EXPECT_TRUE(WaitUntil([&] { return connection->GetPendingCount() == 0; }))
        << connection->GetPendingCount() << " contexts stay pending\n"
        << Logs();
    EXPECT_GE(server->AcceptedFrom(kEthernetAddress), 2) << "no new connection from 10.1.0.1";
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom(kEthernetAddress) == 1; }))
        << server->OpenFrom(kEthernetAddress) << " connections open from 10.1.0.1";
    EXPECT_EQ(connection->GetConnectedAddresses(), std::vector<std::string>{kEthernetAddress});
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
}

// ---- A better interface whose first connect fails -----------------------------------------

// Up to about 25 s: the route comes 3 s after eth1's first attempt failed, and eth1's own
// back-off may then still wait for its next step.
TEST_F(ProtocolManagerLiveness, ABetterPathWhoseRouteComesLateTakesOver) {
    if (!InNamespace()) {
        return;
    }
    AddPathOf(kEthernet);
    AddPathOf(kWifi);
    // eth1 is up with its address, but its far end has no route to the server: what
    // arrives there for it is answered "network unreachable", and a connect through eth1
    // fails at once. (On the node's side neither a missing nor an unreachable route would
    // do: a socket bound to its interface then takes the server for a neighbour on the
    // link. A namespace answers with that error only while it forwards, and only a rule
    // placed before the local table's catches what is addressed to the namespace itself.)
    m_space->Run([] {
        std::ofstream("/proc/sys/net/ipv4/ip_forward") << "1\n";
        Ip("rule add pref 100 lookup local");
        Ip("rule del pref 0");
        Ip(std::string("rule add pref 10 iif seth1 to ") + kServerAddress + " unreachable");
    });
    std::unique_ptr<AcceptingServer> server = StartServer();
    StartNode(m_services);
    RefPtr<AutomaticConnection> connection = Connect(m_services, kServerAddress, server->port);
    ASSERT_TRUE(connection) << Logs();
    ASSERT_TRUE(WaitUntil([&] { return m_observer->Saw("up 10.2.0.1 2"); }))
        << m_observer->Text() << Logs();
    // The route comes a few seconds later, once eth1's first connect has failed.
    std::this_thread::sleep_for(seconds(3));
    ASSERT_TRUE(WaitUntil([&] { return connection->GetPendingCount() == 0; }, seconds(10)))
        << "eth1's first connect never ended\n"
        << Logs();
    EXPECT_FALSE(m_observer->Saw("up 10.1.0.1 1")) << m_observer->Text();
    const size_t seen = m_observer->Changes().size();
    const steady_clock::time_point routed = steady_clock::now();
    m_space->Run([] { Ip("rule del pref 10"); });
    const bool moved =
        WaitUntil([&] { return m_observer->Saw("up 10.1.0.1 1", seen); }, seconds(20));
    std::printf("%s eth1 %.1f s after its route came\n", moved ? "on" : "not on",
                SecondsSince(routed));
    ASSERT_TRUE(moved) << "the better path is not tried again once it failed\n"
                       << m_observer->Text() << Logs();
    EXPECT_TRUE(WaitUntil([&] { return m_observer->Saw("down 10.2.0.1 2", seen); }, seconds(5)))
        << m_observer->Text();
    const std::vector<std::string> changes = m_observer->Changes();
    const std::vector<std::string> after(changes.begin() + static_cast<ptrdiff_t>(seen),
                                         changes.end());
    EXPECT_EQ(after, (std::vector<std::string>{"up 10.1.0.1 1", "down 10.2.0.1 2"}))
        << m_observer->Text();
    EXPECT_TRUE(WaitUntil([&] {
        return server->OpenFrom(kEthernetAddress) == 1 && server->OpenFrom(kWifiAddress) == 0;
    })) << Joined(server->OpenPeers());
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
}

// ---- A better path whose connects go unanswered -------------------------------------------

// Slow (about 45 s): eth1's connects are given up after 20 s each and tried again on the
// back-off, so its third attempt comes about 43 s after its first. With wlan1 up the node
// may say at most 40 lines in 90 s: scaled, 19 from wlan1's "up" to eth1's third attempt.
// A node that replays its addresses while a retry's attempt runs says three a second.
TEST_F(ProtocolManagerLiveness, ABetterPathWhoseConnectsGoUnansweredIsRetriedQuietly) {
    if (!InNamespace()) {
        return;
    }
    AddPathOf(kEthernet);
    AddPathOf(kWifi);
    // Nothing from the server's side reaches 10.1.0.1: eth1's SYNs go unanswered.
    m_space->Run([] { Ip(std::string("route add blackhole ") + kEthernetAddress + "/32"); });
    std::unique_ptr<AcceptingServer> server = StartServer();
    StartNode(m_services);
    const steady_clock::time_point start = steady_clock::now();
    RefPtr<AutomaticConnection> connection = Connect(m_services, kServerAddress, server->port);
    ASSERT_TRUE(connection) << Logs();
    ASSERT_TRUE(WaitUntil([&] { return m_observer->Saw("up 10.2.0.1 2"); }))
        << m_observer->Text() << Logs();
    auto lines = [&] {
        return m_logger.Lines().size() + m_log.Lines().size() + m_observer->Changes().size();
    };
    const size_t before = lines();
    auto ethernetAttempts = [&] { return m_log.Count("Connecting to server Interface=eth1"); };
    ASSERT_TRUE(WaitUntil([&] { return ethernetAttempts() >= 3; }, seconds(90)))
        << "eth1 was not tried again\n"
        << Logs();
    const size_t said = lines() - before;
    std::printf("%zu lines and %d eth1 attempts in %.1f s with wlan1 up\n", said,
                ethernetAttempts(), SecondsSince(start));
    EXPECT_LE(said, 19u) << "the node keeps replaying its addresses\n" << Logs();
    EXPECT_EQ(m_observer->Changes(), std::vector<std::string>{"up 10.2.0.1 2"})
        << m_observer->Text();
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
}

// ---- A far side that goes silent ------------------------------------------------------------

// Slow (up to about 40 s): the path is first kept for longer than the disconnection time
// while the server's side answers, then must be given up within that time (and some
// slack) once it does not.
TEST_F(ProtocolManagerLiveness, APathWhoseFarSideGoesSilentIsGivenUp) {
    if (!InNamespace()) {
        return;
    }
    AddPathOf(kEthernet);
    AddPathOf(kWifi);
    std::unique_ptr<AcceptingServer> server = StartServer();
    constexpr int kDisconnectionTime = 6;
    m_manager->SetDisconnectionTime(kDisconnectionTime);
    StartNode(m_services);
    RefPtr<AutomaticConnection> connection = Connect(m_services, kServerAddress, server->port);
    ASSERT_TRUE(connection) << Logs();
    ASSERT_TRUE(WaitUntil([&] {
        return connection->GetConnectedAddresses() == std::vector<std::string>{kEthernetAddress} &&
               server->OpenPeers() == std::set<std::string>{kEthernetAddress};
    })) << m_observer->Text()
        << Logs();

    // A server that says nothing but whose side answers is no reason to leave.
    size_t seen = m_observer->Changes().size();
    std::this_thread::sleep_for(seconds(kDisconnectionTime + 3));
    EXPECT_EQ(m_observer->Changes().size(), seen) << "a quiet but live path was given up\n"
                                                  << m_observer->Text();

    // Nothing from the server's side reaches 10.1.0.1 any more; the node's link and
    // address stay as they are.
    seen = m_observer->Changes().size();
    m_space->Run([] { Ip(std::string("route add blackhole ") + kEthernetAddress + "/32"); });
    const steady_clock::time_point silent = steady_clock::now();
    const bool down = WaitUntil([&] { return m_observer->Saw("down 10.1.0.1 1", seen); },
                                seconds(kDisconnectionTime + 10));
    std::printf("down %s %.1f s after the far side went silent (disconnection time %d s)\n",
                down ? "" : "not even", SecondsSince(silent), kDisconnectionTime);
    ASSERT_TRUE(down) << "a path whose far side went silent stays up\n"
                      << m_observer->Text() << Logs();
    EXPECT_TRUE(WaitUntil([&] { return m_observer->Saw("up 10.2.0.1 2", seen); }, seconds(10)))
        << m_observer->Text() << Logs();
    EXPECT_TRUE(IsRunning("eth1"));
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom(kWifiAddress) == 1; }));
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
}

// ---- One line per path, as a property --------------------------------------------------------

// The random steps' seed: QAV_TEST_SEED, or a fixed one.
uint32_t StepSeed() {
    const char* text = std::getenv("QAV_TEST_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 20240615u;
}

// A run of changes to the node's addresses and to the server, with the observer's lines
// checked against the server and the automatic connection at each quiet point.
class PathLinesRun {
  public:
    PathLinesRun(std::function<void(const PathSetting&)> remove,
                 std::function<void(const PathSetting&)> restore,
                 std::function<std::unique_ptr<AcceptingServer>(int32_t)> start, bool allPaths)
        : m_remove(std::move(remove)),
          m_restore(std::move(restore)),
          m_start(std::move(start)),
          m_allPaths(allPaths) {}

    std::unique_ptr<AcceptingServer> server;
    int32_t port = 0;
    bool present[2] = {true, true};

    void Toggle(int path) {
        const PathSetting& setting = path == 0 ? kEthernet : kWifi;
        if (present[path]) {
            m_remove(setting);
        } else {
            m_restore(setting);
        }
        present[path] = !present[path];
    }
    void ToggleServer() {
        if (server) {
            server.reset();
        } else {
            server = m_start(port);
        }
    }
    void RestoreAll() {
        for (int path = 0; path < 2; ++path) {
            if (!present[path]) {
                Toggle(path);
            }
        }
        if (!server) {
            ToggleServer();
        }
    }

    // Waits past one network test and then until the three views agree (and, when given,
    // name `expected`); false, with the failure added, when they never do.
    bool Settle(RecordingObserver& observer, AutomaticConnection& connection,
                const std::string& step,
                const std::optional<std::set<std::string>>& expected = std::nullopt) {
        std::this_thread::sleep_for(
            std::chrono::microseconds(NetworkPacketsManager::kTestPeriod + 500'000));
        const bool agreed = WaitUntil(
            [&] {
                if (!Disagreement(observer, server.get(), connection, m_allPaths).empty()) {
                    return false;
                }
                if (!expected) {
                    return true;
                }
                const std::vector<std::string> connected = connection.GetConnectedAddresses();
                return std::set<std::string>(connected.begin(), connected.end()) == *expected;
            },
            seconds(15));
        if (!agreed) {
            const std::string why = Disagreement(observer, server.get(), connection, m_allPaths);
            ADD_FAILURE() << "after " << step << ": "
                          << (why.empty() ? "the paths up are not " + Joined(*expected) + "\n" +
                                                observer.Text()
                                          : why);
        }
        return agreed;
    }

    // Disconnects the automatic connection: each path up gets exactly one "down", and
    // nothing else comes.
    void Disconnect(ProtocolManager& manager, RecordingObserver& observer,
                    AutomaticConnection& connection) {
        std::string fault;
        const std::map<std::string, std::string> up = UpPaths(observer.Changes(), fault);
        std::vector<std::string> downs;
        for (const auto& [address, line] : up) {
            downs.push_back("down" + line.substr(2));
        }
        const size_t seen = observer.Changes().size();
        EXPECT_TRUE(manager.DisconnectAutomaticConnection(&connection));
        WaitUntil([&] { return observer.Changes().size() >= seen + downs.size(); }, seconds(5));
        std::this_thread::sleep_for(milliseconds(500));
        const std::vector<std::string> changes = observer.Changes();
        std::vector<std::string> after(changes.begin() + static_cast<ptrdiff_t>(seen),
                                       changes.end());
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, downs) << "a disconnection tells of the paths up before it\n"
                                << observer.Text();
        if (server) {
            EXPECT_TRUE(WaitUntil([&] { return server->OpenPeers().empty(); }, seconds(5)))
                << "open after the disconnection: " << Joined(server->OpenPeers());
        }
    }

  private:
    const std::function<void(const PathSetting&)> m_remove;
    const std::function<void(const PathSetting&)> m_restore;
    const std::function<std::unique_ptr<AcceptingServer>(int32_t)> m_start;
    const bool m_allPaths;
};

std::vector<std::string> ChangesSince(RecordingObserver& observer, size_t seen) {
    const std::vector<std::string> changes = observer.Changes();
    return std::vector<std::string>(changes.begin() + static_cast<ptrdiff_t>(seen), changes.end());
}

class ProtocolManagerPathLines : public ProtocolManagerLiveness,
                                 public ::testing::WithParamInterface<bool> {
  protected:
    // Slow (about 45 s): each quiet point waits past one network test (3 s).
    void RunSteps(bool allPaths);
};

void ProtocolManagerPathLines::RunSteps(bool allPaths) {
    AddPathOf(kEthernet);
    AddPathOf(kWifi);
    ASSERT_FALSE(HasFailure());
    PathLinesRun run([this](const PathSetting& path) { RemoveAddress(path); },
                     [this](const PathSetting& path) { RestoreAddress(path); },
                     [this](int32_t port) { return StartServer(port, true); }, allPaths);
    run.server = StartServer(0, true);
    run.port = run.server->port;
    m_manager->SetAllPaths(allPaths);
    StartNode(m_services);

    // Set cases first.
    RefPtr<RecordingObserver> observer(new RecordingObserver);
    if (!allPaths) {
        // A worse path is dropped once a better one connects, and says so.
        run.Toggle(0);
        RefPtr<AutomaticConnection> connection =
            Connect(m_services, kServerAddress, run.port, observer.get());
        ASSERT_TRUE(connection) << Logs();
        if (!run.Settle(*observer, *connection, "the start on wlan1 alone",
                        std::set<std::string>{kWifiAddress})) {
            return;
        }
        size_t seen = observer->Changes().size();
        run.Toggle(0);
        if (!run.Settle(*observer, *connection, "eth1's address came",
                        std::set<std::string>{kEthernetAddress})) {
            return;
        }
        EXPECT_EQ(ChangesSince(*observer, seen),
                  (std::vector<std::string>{"up 10.1.0.1 1", "down 10.2.0.1 2"}))
            << observer->Text();
        run.Disconnect(*m_manager, *observer, *connection);
    } else {
        // Losing one of two paths tells of that one alone.
        RefPtr<AutomaticConnection> connection =
            Connect(m_services, kServerAddress, run.port, observer.get());
        ASSERT_TRUE(connection) << Logs();
        const std::set<std::string> both{kEthernetAddress, kWifiAddress};
        if (!run.Settle(*observer, *connection, "the start", both)) {
            return;
        }
        size_t seen = observer->Changes().size();
        run.Toggle(1);
        if (!run.Settle(*observer, *connection, "wlan1's address went",
                        std::set<std::string>{kEthernetAddress})) {
            return;
        }
        EXPECT_EQ(ChangesSince(*observer, seen), std::vector<std::string>{"down 10.2.0.1 2"})
            << observer->Text();
        run.Toggle(1);
        if (!run.Settle(*observer, *connection, "wlan1's address came back", both)) {
            return;
        }
        run.Disconnect(*m_manager, *observer, *connection);
    }
    if (HasFailure()) {
        return;
    }

    // Then random steps.
    const uint32_t seed = StepSeed();
    std::printf("steps from seed %u (QAV_TEST_SEED)\n", seed);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    run.RestoreAll();
    RefPtr<RecordingObserver> stepsObserver(new RecordingObserver);
    RefPtr<AutomaticConnection> connection =
        Connect(m_services, kServerAddress, run.port, stepsObserver.get());
    ASSERT_TRUE(connection) << Logs();
    if (!run.Settle(*stepsObserver, *connection, "the start")) {
        return;
    }
    std::string steps;
    for (int step = 0; step < 4; ++step) {
        // A server stays stopped for one step at most, so that the back-off stays short.
        const int action = !run.server ? 2 : static_cast<int>(random() % 3);
        if (action == 2) {
            steps += run.server ? "stop the server; " : "start the server; ";
            run.ToggleServer();
        } else {
            const PathSetting& path = action == 0 ? kEthernet : kWifi;
            steps += std::string(run.present[action] ? "remove " : "add ") + path.address + "; ";
            run.Toggle(action);
        }
        std::printf("step %d: %s\n", step + 1, steps.c_str());
        if (!run.Settle(*stepsObserver, *connection, steps)) {
            m_manager->DisconnectAutomaticConnection(connection.get());
            return;
        }
    }
    run.Disconnect(*m_manager, *stepsObserver, *connection);
}

TEST_P(ProtocolManagerPathLines, EachPathUpHasOneUpLineAndEachPathGoneOneDownLine) {
    if (!InNamespace()) {
        return;
    }
    RunSteps(GetParam());
}

INSTANTIATE_TEST_SUITE_P(AllPaths, ProtocolManagerPathLines, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("On") : std::string("Off");
                         });

}  // namespace
}  // namespace qav
