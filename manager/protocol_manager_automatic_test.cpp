// The manager's automatic connections over real sockets: the main-server connection
// reaches its server through the best local address and identifies its user; the
// release ends it; nothing starts where the local addresses cannot be followed.
#include <mutex>
#include <string>
#include <vector>

#include "connection/connection_context.h"
#include "core/xml_document.h"
#include "manager/manager_test_support.h"
#include "network/loopback_test_support.h"
#include "records/monitor_identification.h"

namespace qav {
namespace {

using test_support::AcceptingServer;
using test_support::WaitUntil;

using test_support::RecordingObserver;

using test_support::IdentificationText;

using ProtocolManagerAutomatic = test_support::LoggedManagerTest;

TEST_F(ProtocolManagerAutomatic, TheMainServerIsReachedOverTheBestAddressAndTheUserIdentified) {
    AcceptingServer server;
    RefPtr<RecordingObserver> observer(new RecordingObserver);
    MonitorIdentification identification;
    identification.m_userName = u"joe";
    identification.m_password = u"secret";

    RefPtr<AutomaticConnection> connection = m_manager->StartMainServerConnection(
        &m_services, "127.0.0.1", &identification, observer.get(), server.port, 0);
    ASSERT_TRUE(connection) << m_log.Text();
    EXPECT_EQ(m_manager->GetAutomaticConnectionCount(), 1u);
    // The loopback address has the best rank of all.
    ASSERT_TRUE(WaitUntil([&] {
        const std::vector<std::string> changes = observer->Changes();
        return !changes.empty() && changes.back() == "up 127.0.0.1 0";
    })) << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return server.Received(IdentificationText(identification)); }))
        << m_log.Text();

    std::vector<RefPtr<ConnectionContext>> contexts;
    m_manager->GetConnectionSet().Snapshot(contexts);
    ASSERT_FALSE(contexts.empty());
    int connected = 0;
    for (const RefPtr<ConnectionContext>& context : contexts) {
        EXPECT_TRUE(context->IsAutomatic());
        if (context->IsConnected() && context->IsValid()) {
            ++connected;
            EXPECT_EQ(context->GetLocalAddress(), "127.0.0.1");
            EXPECT_EQ(context->GetReceiveTimeouts().GetDisconnectionSeconds(), 60);
        }
    }
    EXPECT_EQ(connected, 1) << "only the best path stays";

    m_manager->ReleaseAllResources();
    EXPECT_EQ(m_manager->GetAutomaticConnectionCount(), 0u);
    EXPECT_EQ(m_manager->GetConnectionSet().GetCount(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return server.AllClosed(); }))
        << "the release leaves the server's connections open";
    EXPECT_FALSE(m_manager->StartMainServerConnection(&m_services, "127.0.0.1", &identification,
                                                      observer.get(), server.port, 0));
    EXPECT_EQ(m_log.Count("Automatic connection not started Connection=Main server "
                          "Target Address=127.0.0.1 Reason=the manager is stopping"),
              1)
        << m_log.Text();
}

TEST_F(ProtocolManagerAutomatic, NothingStartsWithoutATargetOrWhereAddressesCannotBeFollowed) {
    EXPECT_FALSE(m_manager->StartMainServerConnection(&m_services, "", nullptr, nullptr));
    EXPECT_FALSE(m_manager->StartReferenceServerConnection(&m_services, nullptr, 8000));
    RefPtr<ProtocolManager> other(new ProtocolManager);
    other->SetLogSink(&m_log);
    other->GetNetworkPacketsManager().SetPerAddressListening(false);
    EXPECT_FALSE(other->StartSocialNetworkRequest(&m_services, "127.0.0.1", 5));
    other->ReleaseAllResources();
    EXPECT_EQ(m_log.Count("Reason=no target address"), 2) << m_log.Text();
    EXPECT_EQ(m_log.Count("Connection=Social network request Target Address=127.0.0.1 "
                          "Reason=the local addresses cannot be followed"),
              1)
        << m_log.Text();
    EXPECT_EQ(m_manager->GetAutomaticConnectionCount(), 0u);
}

// The reference server and the social-network request connect like the main server, each
// with its own format and port; the social-network request marks its contexts.
TEST_F(ProtocolManagerAutomatic, TheOtherCreatorsConnectWithTheirOwnFormats) {
    AcceptingServer server;
    RefPtr<AutomaticConnection> reference =
        m_manager->StartReferenceServerConnection(&m_services, "127.0.0.1", server.port);
    ASSERT_TRUE(reference) << m_log.Text();
    ASSERT_TRUE(WaitUntil([&] { return reference->GetConnectionCount() == 1; })) << m_log.Text();
    std::vector<RefPtr<ConnectionContext>> contexts;
    m_manager->GetConnectionSet().Snapshot(contexts);
    ASSERT_FALSE(contexts.empty());
    for (const RefPtr<ConnectionContext>& context : contexts) {
        EXPECT_EQ(context->GetConnectionFormat(), ProtocolManager::kReferenceServerFormat);
        EXPECT_EQ(context->GetTcpPort(), server.port);
        EXPECT_EQ(context->GetTcpContextWord(), 0);
    }
    RefPtr<AutomaticConnection> social =
        m_manager->StartSocialNetworkRequest(&m_services, "127.0.0.1", 77);
    EXPECT_TRUE(social) << m_log.Text();
    EXPECT_EQ(m_manager->GetAutomaticConnectionCount(), 2u);
}

}  // namespace
}  // namespace qav
