// The manager's intakes: datagrams from a real listener on the manager's own polling
// thread, and the events of a connection.
#include <map>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "core/log_message.h"
#include "core/polling_test_support.h"
#include "core/text_logger.h"
#include "manager/protocol_manager.h"
#include "network/datagram_listener.h"
#include "network/platform_services.h"
#include "network/scripted_connection_stream.h"
#include "network/socket_handler_manager.h"
#include "network/udp_test_peer.h"

namespace qav {
namespace {

// Counts the records by their text.
class CountingLog final : public MessageLogger {
  public:
    int GetLevel() override { return kSeverityStatus; }
    void Log(int, const LogMessage& message) override {
        WString text;
        message.GetRoot().GetAttribute(u"qav:Text", text);
        std::lock_guard<std::mutex> hold(m_mutex);
        ++m_counts[std::string(text.begin(), text.end())];
    }
    int Count(const std::string& text) {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_counts[text];
    }

  private:
    std::mutex m_mutex;
    std::map<std::string, int> m_counts;
};

TEST(ProtocolManagerIntake, CountsDatagramsOnThePollingThreadAndGivesTheirPacketsBack) {
    SocketHandlerManager loop;
    PlatformServices services;
    services.SetSocketHandlerManager(&loop);
    RefPtr<ProtocolManager> manager(new ProtocolManager);
    CountingLog log;
    manager->SetLogSink(&log);
    ASSERT_EQ(1, manager->StartPollingThreads(&loop, 1));
    RefPtr<DatagramListener> listener(new RefCountedObject<DatagramListener>(&services));
    listener->SetPacketSink(manager.get());
    ASSERT_TRUE(listener->StartListening(u"", "127.0.0.1", 0, true, false));
    ASSERT_TRUE(loop.AddHandler(listener.get()));

    test_support::UdpPeer peer;
    for (int i = 0; i < 50; ++i) {
        peer.SendTo(listener->GetPort(), std::string(100, 'x'));
    }
    ASSERT_TRUE(test_support::Eventually([&] { return manager->GetDatagramCount() == 50; }));
    EXPECT_EQ(5000u, manager->GetReceivedByteCount());
    EXPECT_EQ(50u, manager->GetPacketPool().GetLentCount());
    EXPECT_EQ(50u, manager->GetPacketPool().GetReturnedCount());
    EXPECT_EQ(50, log.Count("Datagram received"));
    listener->Disconnect();
    manager->ReleaseAllResources();
}

TEST(ProtocolManagerIntake, CountsConnectionsAndTakesEveryByteOfADataEvent) {
    RefPtr<ProtocolManager> manager(new ProtocolManager);
    CountingLog log;
    manager->SetLogSink(&log);
    RefPtr<test_support::ScriptedConnectionStream> stream(
        new test_support::ScriptedConnectionStream);
    stream->Arrive("abc", 1);
    stream->Arrive(std::string(10000, 'd'));
    const struct {
        int32_t kind;
        uint64_t connections;
        uint64_t bytes;
    } events[] = {{ConnectionEventSink::kEventConnected, 1, 0},
                  {ConnectionEventSink::kEventAccepted, 2, 0},
                  {ConnectionEventSink::kEventData, 2, 10003},
                  {ConnectionEventSink::kEventClosed, 2, 10003}};
    for (const auto& event : events) {
        manager->ManageConnectionProtocol(true, "name", "127.0.0.2", 12654, "127.0.0.1", 4000,
                                          stream.get(), event.kind, nullptr);
        EXPECT_EQ(event.connections, manager->GetConnectionCount()) << "kind " << event.kind;
        EXPECT_EQ(event.bytes, manager->GetReceivedByteCount()) << "kind " << event.kind;
    }
    EXPECT_EQ(0, stream->Queued()) << "a data event leaves nothing readable behind";
    EXPECT_EQ(4, log.Count("Connection event"));
}

}  // namespace
}  // namespace qav
