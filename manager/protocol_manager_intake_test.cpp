// The manager's intakes: datagrams from a real listener on the manager's own polling
// thread, and the events of a connection.
#include "core/log_message.h"
#include "network/datagram_listener.h"
#include "network/loopback_test_support.h"
#include "network/scripted_connection_stream.h"

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

class ProtocolManagerIntake : public test_support::PolledLoopTest {
  protected:
    void SetUp() override {
        PolledLoopTest::SetUp();
        m_manager->SetLogSink(&m_log);
    }
    CountingLog m_log;  // ends after TearDown stopped the polling thread
};

TEST_F(ProtocolManagerIntake, CountsDatagramsOnThePollingThreadAndGivesTheirPacketsBack) {
    int32_t port = 0;
    RefPtr<DatagramListener> listener =
        m_services.CreateDatagramListener(u"", "127.0.0.1", port, false, m_manager.get());
    ASSERT_TRUE(listener);
    test_support::UdpPeer peer;
    for (int i = 0; i < 50; ++i) {
        peer.SendTo(port, std::string(100, 'x'));
    }
    ASSERT_TRUE(test_support::Eventually([&] { return m_manager->GetDatagramCount() == 50; }));
    EXPECT_EQ(5000u, m_manager->GetReceivedByteCount());
    EXPECT_EQ(50u, m_manager->GetPacketPool().GetLentCount());
    EXPECT_EQ(50u, m_manager->GetPacketPool().GetReturnedCount());
    EXPECT_EQ(50, m_log.Count("Datagram received"));
    listener->Disconnect();
}

TEST_F(ProtocolManagerIntake, CountsConnectionsAndTakesEveryByteOfADataEvent) {
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
        m_manager->ManageConnectionProtocol(true, "name", "127.0.0.2", 12654, "127.0.0.1", 4000,
                                            stream.get(), event.kind, nullptr);
        EXPECT_EQ(event.connections, m_manager->GetConnectionCount()) << "kind " << event.kind;
        EXPECT_EQ(event.bytes, m_manager->GetReceivedByteCount()) << "kind " << event.kind;
    }
    EXPECT_EQ(0, stream->Queued()) << "a data event leaves nothing readable behind";
    EXPECT_EQ(4, m_log.Count("Connection event"));
}

}  // namespace
}  // namespace qav
