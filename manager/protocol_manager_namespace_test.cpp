// The main-server connection over real paths: the node's namespace reaches a server in a
// namespace of its own over two veth pairs, "eth1" (Ethernet rank) and "wlan1" (WiFi
// rank), on two subnets. The server's address 10.9.0.1 is routed over both; a connection
// bound to one path's local address leaves through that path.
#include <chrono>
#include <memory>
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

using ProtocolManagerPaths = test_support::LoggedManagerTest;

TEST_F(ProtocolManagerPaths, TheConnectionFollowsTheBestPathToItsServer) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    ServerNamespace space;
    ASSERT_TRUE(space.Made()) << "no namespace for the server";
    AddServerAddress(space);
    AddPath(space, "eth1", "seth1", "10.1.0", 101, 1);
    AddPath(space, "wlan1", "swlan1", "10.2.0", 102, 2);
    std::unique_ptr<AcceptingServer> server;
    space.Run([&] { server = std::make_unique<AcceptingServer>(); });
    ASSERT_TRUE(server->IsListening());

    // As the node does: one datagram listener on every address.
    m_manager->GetNetworkPacketsManager().SetPerAddressListening(false);
    int32_t udpPort = 0;
    int32_t tcpPort = 0;
    ASSERT_EQ(m_manager->StartServerRoles(&m_services, udpPort, tcpPort),
              ProtocolManager::kServerRolesStarted);
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

    m_manager->GetNetworkPacketsManager().SetPerAddressListening(false);
    int32_t udpPort = 0;
    int32_t tcpPort = 0;
    ASSERT_EQ(m_manager->StartServerRoles(&m_services, udpPort, tcpPort),
              ProtocolManager::kServerRolesStarted);
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

}  // namespace
}  // namespace qav
