// The main-server connection over real paths: the node's namespace reaches a server in a
// namespace of its own over two veth pairs, "eth1" (Ethernet rank) and "wlan1" (WiFi
// rank), on two subnets. The server's address 10.9.0.1 is routed over both; a connection
// bound to one path's local address leaves through that path.
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/xml_document.h"
#include "manager/manager_test_support.h"
#include "manager/server_namespace_test_support.h"
#include "network/loopback_test_support.h"
#include "network/network_namespace_test_support.h"
#include "records/monitor_identification.h"

namespace qav {
namespace {

using test_support::AcceptingServer;
using test_support::AddPath;
using test_support::AddServerAddress;
using test_support::Ip;
using test_support::kServerAddress;
using test_support::RecordingObserver;
using test_support::RestoreRoutes;
using test_support::ServerNamespace;
using test_support::WaitUntil;

using test_support::IdentificationText;

class ProtocolManagerPaths : public test_support::LoggedManagerTest {
  protected:
    // As the node does: one datagram listener on every address.
    void StartServerRoles() {
        m_manager->GetNetworkPacketsManager().SetPerAddressListening(false);
        int32_t udpPort = 0;
        int32_t tcpPort = 0;
        ASSERT_EQ(m_manager->StartServerRoles(&m_services, udpPort, tcpPort),
                  ProtocolManager::kServerRolesStarted);
    }

    // eth1 (the better path) and wlan1 both reach a server in `space` that accepts.
    static void ServeOverEthernetAndWifi(ServerNamespace& space,
                                         std::unique_ptr<AcceptingServer>& server) {
        ASSERT_TRUE(space.Made()) << "no namespace for the server";
        AddServerAddress(space);
        AddPath(space, "eth1", "seth1", "10.1.0", 101, 1);
        AddPath(space, "wlan1", "swlan1", "10.2.0", 102, 2);
        space.Run([&] { server = std::make_unique<AcceptingServer>(); });
        ASSERT_TRUE(server->IsListening());
    }
};

TEST_F(ProtocolManagerPaths, TheConnectionFollowsTheBestPathToItsServer) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    ServerNamespace space;
    std::unique_ptr<AcceptingServer> server;
    ASSERT_NO_FATAL_FAILURE(ServeOverEthernetAndWifi(space, server));

    ASSERT_NO_FATAL_FAILURE(StartServerRoles());
    MonitorIdentification identification;
    identification.m_userName = u"joe";
    identification.m_password = u"secret";
    RefPtr<RecordingObserver> observer(new RecordingObserver);
    RefPtr<AutomaticConnection> connection = m_manager->StartMainServerConnection(
        &m_services, kServerAddress, &identification, observer.get(), server->port, 0);
    ASSERT_TRUE(connection) << m_log.Text();

    // Ethernet is preferred to WiFi.
    ASSERT_TRUE(WaitUntil([&] { return observer->Saw("up 10.1.0.1 1"); }))
        << observer->Text() << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] {
        return server->OpenFrom("10.1.0.1") == 1 && server->OpenFrom("10.2.0.1") == 0;
    })) << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return server->Received(IdentificationText(identification)); }));
    EXPECT_EQ(connection->GetConnectedAddresses(), std::vector<std::string>{"10.1.0.1"});

    // The Ethernet link goes: its address is lost at the next network test, its context
    // dropped, and the WiFi path takes over.
    size_t seen = observer->Changes().size();
    Ip("link set eth1 down");
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count("Lost local address Address=10.1.0.1") > 0; }))
        << m_log.Text();
    EXPECT_TRUE(
        WaitUntil([&] { return observer->Saw("up 10.2.0.1 2", seen); }, std::chrono::seconds(5)))
        << observer->Text() << m_log.Text();
    EXPECT_TRUE(observer->Saw("down 10.1.0.1 1", seen)) << observer->Text();
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom("10.2.0.1") == 1; }));
    EXPECT_EQ(connection->GetConnectedAddresses(), std::vector<std::string>{"10.2.0.1"});

    // It comes back: the better path connects and the WiFi one is dropped.
    seen = observer->Changes().size();
    Ip("link set eth1 up");
    RestoreRoutes("eth1", "10.1.0", 101, 1);
    EXPECT_TRUE(WaitUntil([&] { return observer->Saw("up 10.1.0.1 1", seen); }))
        << observer->Text() << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom("10.2.0.1") == 0; }))
        << "the WiFi path stays open\n"
        << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom("10.1.0.1") >= 1; }));
    EXPECT_EQ(connection->GetConnectedAddresses(), std::vector<std::string>{"10.1.0.1"});
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
    EXPECT_FALSE(m_manager->DisconnectAutomaticConnection(connection.get()));
    EXPECT_EQ(m_manager->GetAutomaticConnectionCount(), 0u);
    EXPECT_TRUE(WaitUntil([&] {
        return server->OpenFrom("10.1.0.1") == 0 && server->OpenFrom("10.2.0.1") == 0;
    })) << "a disconnected connection leaves paths open";

    // With all paths, both connect and both stay.
    m_manager->SetAllPaths(true);
    RefPtr<RecordingObserver> allObserver(new RecordingObserver);
    RefPtr<AutomaticConnection> all = m_manager->StartMainServerConnection(
        &m_services, kServerAddress, nullptr, allObserver.get(), server->port, 0);
    ASSERT_TRUE(all) << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] {
        return allObserver->Saw("up 10.1.0.1 1") && allObserver->Saw("up 10.2.0.1 2");
    })) << allObserver->Text()
        << m_log.Text();
    EXPECT_TRUE(WaitUntil(
        [&] { return server->OpenFrom("10.1.0.1") == 1 && server->OpenFrom("10.2.0.1") == 1; }));
    // Past the next network test, nothing has been dropped.
    std::this_thread::sleep_for(std::chrono::microseconds(NetworkPacketsManager::kTestPeriod));
    EXPECT_EQ(server->OpenFrom("10.1.0.1"), 1);
    EXPECT_EQ(server->OpenFrom("10.2.0.1"), 1);
    EXPECT_EQ(all->GetConnectionCount(), 2);
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(all.get()));
}

// A server that is not there yet is tried again and again, and reached once it listens.
TEST_F(ProtocolManagerPaths, AServerStartedLaterIsReached) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    ServerNamespace space;
    ASSERT_TRUE(space.Made()) << "no namespace for the server";
    AddServerAddress(space);
    AddPath(space, "eth1", "seth1", "10.1.0", 101, 1);
    // A port known to be free: taken by a listener that is closed at once.
    int32_t port = 0;
    space.Run([&] { port = AcceptingServer().port; });
    ASSERT_GT(port, 0);

    ASSERT_NO_FATAL_FAILURE(StartServerRoles());
    RefPtr<RecordingObserver> observer(new RecordingObserver);
    RefPtr<AutomaticConnection> connection = m_manager->StartMainServerConnection(
        &m_services, kServerAddress, nullptr, observer.get(), port, 0);
    ASSERT_TRUE(connection) << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count("Connecting to server") > 1; },
                          std::chrono::seconds(30)))
        << "no attempt was repeated\n"
        << m_log.Text();
    EXPECT_TRUE(observer->Changes().empty()) << observer->Text();

    std::unique_ptr<AcceptingServer> server;
    space.Run([&] { server = std::make_unique<AcceptingServer>(port); });
    ASSERT_TRUE(server->IsListening());
    EXPECT_TRUE(WaitUntil([&] { return observer->Saw("up 10.1.0.1 1"); }, std::chrono::seconds(60)))
        << observer->Text() << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom("10.1.0.1") == 1; }));
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
    space.Run([&] { server.reset(); });
}

// Each change with how many attempts eth1 had made when it was heard.
class AttemptCountingObserver final : public RefCountedObject<ConnectionStateObserver> {
  public:
    explicit AttemptCountingObserver(test_support::RecordingLog& log) : m_log(log) {}
    void ConnectionStateChanged(ConnectionContext*, const std::string& localAddress,
                                int32_t priority, bool connected) override {
        const int attempts = m_log.Count("Connecting to server Interface=eth1");
        std::lock_guard<std::mutex> hold(m_mutex);
        m_changes.push_back({std::string(connected ? "up " : "down ") + localAddress + " " +
                                 std::to_string(priority),
                             attempts});
    }
    struct Change {
        std::string text;
        int ethernetAttempts;
    };
    std::vector<Change> Changes() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_changes;
    }
    // The first change `text` from the `from`th on; its position in `at`.
    bool Find(const std::string& text, size_t from, size_t& at) {
        const std::vector<Change> changes = Changes();
        for (at = from; at < changes.size(); ++at) {
            if (changes[at].text == text) {
                return true;
            }
        }
        return false;
    }
    std::string Text() {
        std::string text;
        for (const Change& change : Changes()) {
            text +=
                change.text + " (eth1 attempts " + std::to_string(change.ethernetAttempts) + ")\n";
        }
        return text;
    }

  private:
    test_support::RecordingLog& m_log;
    std::mutex m_mutex;
    std::vector<Change> m_changes;
};

// eth1, the better path, is reset soon after each connect while wlan1 stays healthy. Each
// time, wlan1 is up before eth1 is tried again: the node is offline only while wlan1
// connects, not for eth1's back-off. eth1 comes back on its own back-off, once per reset,
// and takes over again.
TEST_F(ProtocolManagerPaths, ABetterPathThatDiesYoungNeverKeepsTheNodeOffline) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    ServerNamespace space;
    std::unique_ptr<AcceptingServer> server;
    ASSERT_NO_FATAL_FAILURE(ServeOverEthernetAndWifi(space, server));

    ASSERT_NO_FATAL_FAILURE(StartServerRoles());
    RefPtr<AttemptCountingObserver> observer(new AttemptCountingObserver(m_log));
    RefPtr<AutomaticConnection> connection = m_manager->StartMainServerConnection(
        &m_services, kServerAddress, nullptr, observer.get(), server->port, 0);
    ASSERT_TRUE(connection) << m_log.Text();
    size_t at = 0;
    ASSERT_TRUE(WaitUntil([&] { return observer->Find("up 10.1.0.1 1", 0, at); }))
        << observer->Text() << m_log.Text();

    // Three resets: eth1 waits about 1, 2 and 4 s for its retries.
    for (int reset = 1; reset <= 3; ++reset) {
        SCOPED_TRACE("reset " + std::to_string(reset));
        ASSERT_TRUE(WaitUntil([&] { return server->OpenFrom("10.1.0.1") == 1; })) << m_log.Text();
        const size_t from = observer->Changes().size();
        ASSERT_EQ(server->ResetFrom("10.1.0.1"), 1);
        size_t down = 0;
        size_t up = 0;
        ASSERT_TRUE(WaitUntil([&] {
            return observer->Find("down 10.1.0.1 1", from, down) &&
                   observer->Find("up 10.2.0.1 2", down, up);
        })) << observer->Text()
            << m_log.Text();
        const std::vector<AttemptCountingObserver::Change> changes = observer->Changes();
        EXPECT_EQ(changes[up].ethernetAttempts, changes[down].ethernetAttempts)
            << "wlan1 came up only with or after eth1's retry\n"
            << observer->Text();
        // eth1 comes back on its own, once, and takes over.
        size_t back = 0;
        ASSERT_TRUE(WaitUntil([&] { return observer->Find("up 10.1.0.1 1", up, back); }))
            << observer->Text() << m_log.Text();
        EXPECT_EQ(observer->Changes()[back].ethernetAttempts, changes[down].ethernetAttempts + 1)
            << observer->Text();
        size_t gone = 0;
        EXPECT_TRUE(WaitUntil([&] { return observer->Find("down 10.2.0.1 2", back, gone); }))
            << observer->Text();
    }
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
    space.Run([&] { server.reset(); });
}

}  // namespace
}  // namespace qav
