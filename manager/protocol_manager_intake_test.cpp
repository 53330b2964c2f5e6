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

// A log whose every record fails for lack of memory, as under an address-space limit.
class ExhaustedLog final : public MessageLogger {
  public:
    int GetLevel() override { return kSeverityStatus; }
    void Log(int, const LogMessage&) override { throw std::bad_alloc(); }
    void CountLostMessage() override { ++lost; }

    std::atomic<int> lost{0};
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
    // The count rises before the packet goes back, so wait for the return too.
    ASSERT_TRUE(test_support::Eventually([&] {
        return m_manager->GetDatagramCount() == 50 &&
               m_manager->GetPacketPool().GetReturnedCount() == 50;
    }));
    EXPECT_EQ(5000u, m_manager->GetReceivedByteCount());
    EXPECT_EQ(50u, m_manager->GetPacketPool().GetLentCount());
    EXPECT_EQ(50u, m_manager->GetPacketPool().GetReturnedCount());
    EXPECT_EQ(50, m_log.Count("Datagram received"));
    listener->Disconnect();
}

TEST_F(ProtocolManagerIntake, CountsConnectionsAndTakesTheBytesOfDataEvents) {
    RefPtr<test_support::ScriptedConnectionStream> stream(
        new test_support::ScriptedConnectionStream);
    stream->Arrive("abc", 1);
    stream->Arrive(std::string(100000, 'd'));
    // One data event takes at most 64 KiB, so a peer that never stops sending cannot hold
    // the polling thread; the next event takes the rest. kSome: more than 0, not all.
    constexpr uint64_t kSome = 1;
    const struct {
        int32_t kind;
        uint64_t connections;
        uint64_t bytes;
    } events[] = {{ConnectionEventSink::kEventConnected, 1, 0},
                  {ConnectionEventSink::kEventAccepted, 2, 0},
                  {ConnectionEventSink::kEventData, 2, kSome},
                  {ConnectionEventSink::kEventData, 2, 100003},
                  {ConnectionEventSink::kEventClosed, 2, 100003}};
    for (const auto& event : events) {
        m_manager->ManageConnectionProtocol(true, "name", "127.0.0.2", 12654, "127.0.0.1", 4000,
                                            stream.get(), event.kind, nullptr);
        EXPECT_EQ(event.connections, m_manager->GetConnectionCount()) << "kind " << event.kind;
        if (event.bytes == kSome) {
            EXPECT_GT(m_manager->GetReceivedByteCount(), 0u);
            EXPECT_LE(m_manager->GetReceivedByteCount(), 65536u);
        } else {
            EXPECT_EQ(event.bytes, m_manager->GetReceivedByteCount()) << "kind " << event.kind;
        }
    }
    EXPECT_EQ(0, stream->Queued()) << "the data events leave nothing readable behind";
    EXPECT_EQ(5, m_log.Count("Connection event"));
}

}  // namespace
}  // namespace qav

namespace qav {
namespace {

// A record that cannot be made is a counted loss: the event is still taken, and nothing
// escapes to the polling thread, which such an exception would end.
TEST(ProtocolManagerIntakeWithoutMemory, CountsTheRecordLostAndTakesTheEvent) {
    ExhaustedLog log;
    RefPtr<ProtocolManager> manager(new ProtocolManager);
    manager->SetLogSink(&log);
    RefPtr<test_support::ScriptedConnectionStream> stream(
        new test_support::ScriptedConnectionStream);
    stream->Arrive("abc");
    for (const int32_t kind : {ConnectionEventSink::kEventAccepted, ConnectionEventSink::kEventData,
                               ConnectionEventSink::kEventClosed}) {
        EXPECT_NO_THROW(manager->ManageConnectionProtocol(
            true, "name", "127.0.0.2", 12654, "127.0.0.1", 4000, stream.get(), kind, nullptr))
            << "event " << kind;
    }
    const uint8_t datagram[3] = {1, 2, 3};
    EXPECT_NO_THROW(
        manager->ProcessPacket(nullptr, nullptr, "127.0.0.2", 5000, datagram, 3, nullptr));
    EXPECT_EQ(log.lost.load(), 4);
    EXPECT_EQ(manager->GetConnectionCount(), 1u);
    EXPECT_EQ(manager->GetDatagramCount(), 1u);
    EXPECT_EQ(manager->GetReceivedByteCount(), 6u);
    EXPECT_EQ(manager->GetConnectionSet().GetCount(), 0u) << "the closed connection stayed listed";
    manager->ReleaseAllResources();
    manager->SetLogSink(nullptr);
}

}  // namespace
}  // namespace qav
