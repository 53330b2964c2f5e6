// The manager keeps one connection context per live connection: made when a connection
// is accepted, found by its transport when an outgoing one comes up, and dropped when it
// goes; over real loopback sockets turned by the manager's own polling thread.
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "connection/connection_context.h"
#include "core/xml_document.h"
#include "manager/manager_test_support.h"
#include "network/loopback_test_support.h"
#include "network/reliable_connection.h"
#include "records/monitor_identification.h"

namespace qav {
namespace {

using test_support::ConnectLoopback;
using test_support::ReadFor;
using test_support::TcpListener;
using test_support::WaitUntil;

class ProtocolManagerContexts : public test_support::LoggedManagerTest {
  protected:
    // The node's server role on ports the system chooses; returns the TCP port.
    int32_t StartServer() {
        int32_t udpPort = 0;
        int32_t tcpPort = 0;
        EXPECT_EQ(m_manager->StartServerRoles(&m_services, udpPort, tcpPort),
                  ProtocolManager::kServerRolesStarted);
        return tcpPort;
    }
};

// An owner that keeps the state changes its contexts report.
class RecordingOwner final : public RefCountedObject<ConnectionContextOwner> {
  public:
    void HandleConnectionStateChange(ConnectionContext* context, const std::string& localAddress,
                                     int32_t priority, bool connected) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_changes.push_back(std::to_string(context->GetContextId()) + " " + localAddress + " " +
                            std::to_string(priority) + (connected ? " up" : " down"));
    }
    std::vector<std::string> Changes() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_changes;
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_changes;
};

TEST_F(ProtocolManagerContexts, EachAcceptedConnectionHasAContextUntilItCloses) {
    constexpr size_t kConnections = 1000;
    const int32_t port = StartServer();
    ASSERT_GT(port, 0);
    ConnectionSet& set = m_manager->GetConnectionSet();
    std::vector<int> clients;
    std::set<int32_t> clientPorts;
    for (size_t i = 0; i < kConnections; ++i) {
        const int client = ConnectLoopback(port);
        ASSERT_GE(client, 0) << "connection " << i;
        clients.push_back(client);
        clientPorts.insert(test_support::LocalPort(client));
        // In steps that the server's backlog holds, so that no connect waits for a
        // retransmitted handshake.
        if (clients.size() % 50 == 0) {
            ASSERT_TRUE(WaitUntil([&] { return set.GetCount() == clients.size(); }))
                << set.GetCount() << " contexts for " << clients.size() << " connections";
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return set.GetCount() == kConnections; }))
        << set.GetCount() << " contexts for " << kConnections << " connections";

    std::vector<RefPtr<ConnectionContext>> contexts;
    set.Snapshot(contexts);
    std::set<int32_t> ids;
    std::set<int32_t> peerPorts;
    for (const RefPtr<ConnectionContext>& context : contexts) {
        ids.insert(context->GetContextId());
        peerPorts.insert(context->GetTcpPort());
        std::string peer;
        EXPECT_TRUE(context->GetRemoteAddressText(peer));
        EXPECT_EQ(peer, "127.0.0.1");
        EXPECT_EQ(context->GetLocalAddress(), "127.0.0.1");
        EXPECT_EQ(context->GetPlatformServices(), &m_services);
        EXPECT_TRUE(context->IsConnected());
        EXPECT_EQ(context->GetReceiveTimeouts().GetDisconnectionSeconds(), 60);
        const RefPtr<ConnectionStream> stream = context->GetStream();
        ASSERT_TRUE(stream);
        EXPECT_EQ(set.FindContextByStream(stream.get()).get(), context.get());
    }
    EXPECT_EQ(ids.size(), kConnections) << "one context per connection";
    ConnectionHandleRegistry& handles = m_manager->GetConnectionHandleRegistry();
    for (const RefPtr<ConnectionContext>& context : contexts) {
        EXPECT_TRUE(handles.GetOrCreate(context.get()));
    }
    EXPECT_EQ(handles.GetCount(), kConnections);
    EXPECT_EQ(peerPorts, clientPorts) << "each context knows its peer's port";
    EXPECT_EQ(m_manager->GetConnectionCount(), kConnections);

    for (int client : clients) {
        ::close(client);
    }
    ASSERT_TRUE(WaitUntil([&] { return set.GetCount() == 0; }))
        << set.GetCount() << " contexts left after every connection closed";
    for (const RefPtr<ConnectionContext>& context : contexts) {
        EXPECT_FALSE(context->IsValid());
        EXPECT_FALSE(context->IsConnected());
    }
    EXPECT_EQ(handles.GetCount(), 0u) << "a closed connection keeps its handle";
}

// A context taken out of the set without a close event (its path went) takes its handle
// with it.
TEST_F(ProtocolManagerContexts, AContextThatLeftQuietlyTakesItsHandleWithIt) {
    const int client = ConnectLoopback(StartServer());
    ASSERT_GE(client, 0);
    ConnectionSet& set = m_manager->GetConnectionSet();
    ASSERT_TRUE(WaitUntil([&] { return set.GetCount() == 1; }));
    std::vector<RefPtr<ConnectionContext>> contexts;
    set.Snapshot(contexts);
    ConnectionHandleRegistry& handles = m_manager->GetConnectionHandleRegistry();
    ASSERT_TRUE(handles.GetOrCreate(contexts[0].get()));
    EXPECT_EQ(ConnectionContextVector(set).DisconnectByLocalAddress(&m_services, "127.0.0.1"), 1);
    EXPECT_EQ(ReadFor(client, 2000), "") << "the node closes the connection";
    EXPECT_EQ(handles.GetCount(), 0u);
    EXPECT_FALSE(contexts[0]->IsValid());
    ::close(client);
}

// What an automatic connection makes: an outgoing context listed before it connects, with
// an owner and a user's identification. Its connect is found by its transport, reported
// to its owner, and answered by the identification; its close is reported too.
TEST_F(ProtocolManagerContexts, AnOutgoingAutomaticContextIdentifiesItsUserOnceUp) {
    TcpListener server;
    RefPtr<RecordingOwner> owner(new RecordingOwner);
    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    RefPtr<ReliableConnection> stream = m_services.CreateReliableConnection();
    ASSERT_TRUE(stream);
    stream->SetAddress("127.0.0.1");
    ASSERT_TRUE(context->SetTcpConnectionParameters(
        m_manager.get(), stream.get(), 0, "127.0.0.1", "", server.port, 0,
        m_manager->GetLogSinkLink().get(), &m_services, 0, true));
    context->SetLocalAddress("127.0.0.1");
    context->SetTransportKind(ConnectionContext::kTransportAutomaticTcp);
    context->MarkAutomatic();
    context->SetOwner(owner.get());
    context->SetPriority(0);
    MonitorIdentification identification;
    identification.m_userName = u"joe";
    identification.m_password = u"secret";
    context->SetServerRecord(&identification);
    ConnectionSet& set = m_manager->GetConnectionSet();
    ASSERT_TRUE(set.AddContext(context.get()));
    ASSERT_TRUE(context->OnSocketPoll());

    const int accepted = server.Accept();
    ASSERT_GE(accepted, 0);
    XmlDocument expected;
    identification.WriteXml(expected.CreateRoot(u"qav:Message", kQavNamespaceUri));
    std::string expectedText;
    expected.SaveToString(expectedText);
    EXPECT_EQ(ReadFor(accepted, 2000), expectedText);
    const std::string id = std::to_string(context->GetContextId());
    EXPECT_EQ(owner->Changes(), std::vector<std::string>{id + " 127.0.0.1 0 up"});
    EXPECT_EQ(set.GetCount(), 1u) << "an outgoing context is found, not made again";

    ::close(accepted);
    ASSERT_TRUE(WaitUntil([&] { return set.GetCount() == 0; })) << m_log.Text();
    EXPECT_FALSE(context->IsValid());
    EXPECT_EQ(owner->Changes(),
              (std::vector<std::string>{id + " 127.0.0.1 0 up", id + " 127.0.0.1 0 down"}));
    context->SetOwner(nullptr);
}

// A stream's device is told to stop when its device context is known; the stop is logged
// either way.
TEST_F(ProtocolManagerContexts, StopStreamingGoesToTheStreamsDeviceAndIsLogged) {
    TcpListener device;
    const int client = ConnectLoopback(StartServer());
    ASSERT_GE(client, 0);
    ConnectionSet& set = m_manager->GetConnectionSet();
    ASSERT_TRUE(WaitUntil([&] { return set.GetCount() == 1; }));
    std::vector<RefPtr<ConnectionContext>> contexts;
    set.Snapshot(contexts);

    const StreamKey key = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0xAB, 0xFF};
    m_manager->SendStopStreamingCommand(key);
    m_manager->SetStreamDeviceContext(key, contexts[0]->GetContextId());
    m_manager->SendStopStreamingCommand(key);
    const std::string received = ReadFor(client, 2000);
    EXPECT_NE(received.find("<qav:Message"), std::string::npos) << received;
    EXPECT_NE(received.find("qav:Type=\"Stop Streaming\""), std::string::npos) << received;
    EXPECT_EQ(m_log.Count("Stop Streaming Stream=0102030405060708090AABFF Context=0 Sent=False"), 1)
        << m_log.Text();
    EXPECT_EQ(m_log.Count("Stop Streaming Stream=0102030405060708090AABFF Context=" +
                          std::to_string(contexts[0]->GetContextId()) + " Sent=True"),
              1)
        << m_log.Text();
    ::close(client);
}

// Automatic connections follow the local addresses only where every local address has a
// datagram receiver: per-address listeners, or a default listener on every address.
TEST_F(ProtocolManagerContexts, LocalAddressesCanBeFollowedWhereEveryAddressReceives) {
    NetworkPacketsManager& packets = m_manager->GetNetworkPacketsManager();
    EXPECT_TRUE(m_manager->CanFollowLocalAddresses(&m_services)) << "per-address listening";
    packets.SetPerAddressListening(false);
    packets.Shutdown();
    RefPtr<ProtocolManager> other(new ProtocolManager);
    other->GetNetworkPacketsManager().SetPerAddressListening(false);
    EXPECT_FALSE(other->CanFollowLocalAddresses(&m_services)) << "nothing listens yet";
    int32_t udpPort = 0;
    int32_t tcpPort = 0;
    ASSERT_EQ(other->StartServerRoles(&m_services, udpPort, tcpPort),
              ProtocolManager::kServerRolesStarted);
    EXPECT_GT(udpPort, 0);
    EXPECT_TRUE(other->CanFollowLocalAddresses(&m_services)) << "a wildcard listener";
    EXPECT_FALSE(other->CanFollowLocalAddresses(nullptr));
    other->ReleaseAllResources();
    EXPECT_FALSE(other->CanFollowLocalAddresses(&m_services)) << "stopping";
}

}  // namespace
}  // namespace qav
