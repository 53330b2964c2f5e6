#include "connection/connection_context.h"

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/log_message.h"
#include "core/memory_test_support.h"
#include "core/race_test_support.h"
#include "core/text_logger.h"

namespace qav {
namespace {

TEST(ConnectionContext, ParseHttpRangeAcceptsOnlyOneDecimalRange) {
    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    auto parse = [&](const char* range) {  // "parsed first count"; null: no request
        const HttpRequestHeaders request{"", "", "", range != nullptr ? range : "", ""};
        context->SetCurrentRequest(range != nullptr ? &request : nullptr);
        int64_t first = -7, count = -7;
        const bool parsed = context->ParseHttpRange(first, count);
        return std::to_string(parsed) + " " + std::to_string(first) + " " + std::to_string(count);
    };
    for (const auto& [range, result] : std::initializer_list<std::pair<const char*, const char*>>{
             {"bytes=100-", "1 100 0"},  // open end
             {"bytes=0-99", "1 0 100"},
             {"bytes=-499", "1 0 500"},  // "-" first: from byte 0
             {"bytes=200-100", "1 200 0"},
             {"bytes=1-9223372036854775807", "1 1 9223372036854775807"}}) {
        EXPECT_EQ(parse(range), result) << range;
    }
    // Refused: no request, too short, no "-", non-digits, several ranges, beyond 63 bits.
    for (const char* range :
         {static_cast<const char*>(nullptr), "bytes=5", "bytes=55", "items=0-99", "bytes=a-5",
          "bytes=5-9x", "bytes=+5-9", "bytes= 5-9", "bytes=--5", "bytes=0-10,20-30",
          "bytes=9223372036854775808-", "bytes=0-9223372036854775807"}) {
        EXPECT_EQ(parse(range), "0 0 0") << (range != nullptr ? range : "no request");
    }
}

// A transport that records what the context asks of it and answers set figures.
class RecordingStream final : public RefCountedObject<ConnectionStream> {
  public:
    void Disconnect() override { ++disconnects; }
    int32_t GetCurrentWriteQueueLength() override { return writeQueueLength; }
    int32_t Send(const void* data, int32_t length, SendCompletion*) override {
        sent.append(static_cast<const char*>(data), static_cast<size_t>(length));
        return length;
    }
    int32_t Receive(void*, int32_t) override { return 0; }
    int32_t GetConnectionState() override { return kConnectionClosed; }
    int32_t Reconnect() override { return 0; }
    int32_t GetReadQueueState() override { return 0; }
    int32_t GetAvailableReadQueueSize() override { return 0; }
    int32_t GetAvailableWriteQueueLength() override { return 0; }
    int32_t GetMaxWriteQueueLength() override { return maxWriteQueueLength; }
    int64_t GetOldestQueueDelayTime() override { return oldestQueueDelay; }
    std::string GetAddress() override { return {}; }
    int32_t GetPort() override { return 0; }
    void SetAddress(const char*) override {}
    void SetName(const WChar*) override {}
    bool Connect(const char* host, bool, int32_t port, ConnectionEventSink* sink) override {
        connects.push_back(std::string(host) + ":" + std::to_string(port));
        connectSink = sink;
        return true;
    }
    bool HasActivityTimerPassed(int64_t) override { return false; }
    int64_t GetLastRoundTripTime() override { return roundTrip; }
    double GetAverageWriteQueueLength() override { return averageWriteQueueLength; }

    int disconnects = 0;
    std::string sent;
    std::vector<std::string> connects;
    ConnectionEventSink* connectSink = nullptr;
    int32_t writeQueueLength = 0;
    int32_t maxWriteQueueLength = 0;
    double averageWriteQueueLength = 0;
    int64_t oldestQueueDelay = 0;
    int64_t roundTrip = 0;
};

class RecordingOwner final : public RefCountedObject<ConnectionContextOwner> {
  public:
    explicit RecordingOwner(int& alive) : m_alive(alive) { ++m_alive; }
    void HandleConnectionStateChange(ConnectionContext* context, const std::string& localAddress,
                                     int32_t priority, bool connected) override {
        calls.push_back(std::to_string(context->GetContextId()) + " " + localAddress + " " +
                        std::to_string(priority) + " " + std::to_string(connected));
    }
    std::vector<std::string> calls;

  private:
    ~RecordingOwner() override { --m_alive; }
    int& m_alive;
};

class CapturingMessageLogger final : public MessageLogger {
  public:
    int GetLevel() override { return kSeverityStatus; }
    void Log(int, const LogMessage& message) override {
        WString text;
        message.GetRoot().GetAttribute(u"qav:Text", text);
        texts.push_back(text);
    }
    std::vector<WString> texts;
};

constexpr const char* kIdentificationMessage =
    "<qav:Message xmlns:qav=\"urn:qav:relay:2026\"><qav:MonitorIdentification>"
    "<qav:UserName>anna</qav:UserName><qav:Password>s&amp;cret</qav:Password>"
    "</qav:MonitorIdentification></qav:Message>";

ConnectionEventSink* const kSink = reinterpret_cast<ConnectionEventSink*>(0x40);

TEST(ConnectionContext, ATcpTransportIsAttachedThenConnectedOnceByThePollStep) {
    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    RefPtr<RecordingStream> stream(new RecordingStream);
    EXPECT_FALSE(context->SetTcpConnectionParameters(kSink, nullptr, 0, "192.0.2.7", "", 12654, 0,
                                                     nullptr, nullptr, 4, true));
    EXPECT_FALSE(context->SetTcpConnectionParameters(kSink, stream.get(), 0, "", "", 12654, 0,
                                                     nullptr, nullptr, 4, true));
    EXPECT_FALSE(context->GetStream()) << "a refused attachment changes nothing";

    ASSERT_TRUE(context->SetTcpConnectionParameters(kSink, stream.get(), 1, "192.0.2.7", "", 12654,
                                                    0, nullptr, nullptr, 4, true));
    EXPECT_EQ(context->GetStream().get(), stream.get());
    EXPECT_TRUE(context->IsAttached());
    EXPECT_EQ(context->GetConnectionFormat(), 4);
    EXPECT_TRUE(context->IsClient());
    EXPECT_FALSE(context->OnSocketPoll()) << "only an automatic TCP context connects itself";

    context->SetTransportKind(ConnectionContext::kTransportAutomaticTcp);
    EXPECT_TRUE(context->OnSocketPoll());
    EXPECT_FALSE(context->OnSocketPoll()) << "the connect starts once";
    EXPECT_EQ(stream->connects, std::vector<std::string>{"192.0.2.7:12654"});
    EXPECT_EQ(stream->connectSink, kSink);

    // A TCP context has no UDP port, and a search for the server's two ports finds it.
    EXPECT_TRUE(context->MatchesConnection(nullptr, nullptr, nullptr, "192.0.2.7", 12654, 12655));
    EXPECT_FALSE(context->MatchesConnection(nullptr, nullptr, nullptr, "192.0.2.7", 80, 12655));
}

TEST(ConnectionContext, StateChangesReachTheOwnerWhichLivesUntilTheContextEnds) {
    int ownersAlive = 0;
    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    RefPtr<RecordingOwner> owner(new RecordingOwner(ownersAlive));
    context->ReportConnectionState(true);  // no owner yet: only the flag
    EXPECT_TRUE(context->IsConnected());

    context->SetOwner(owner.get());
    context->SetLocalAddress("10.0.0.5");
    context->SetPriority(2);
    context->ReportConnectionState(true);
    const std::string id = std::to_string(context->GetContextId());
    EXPECT_EQ(owner->calls, std::vector<std::string>{id + " 10.0.0.5 2 1"});

    RecordingOwner* const raw = owner.get();
    owner.Reset();
    EXPECT_EQ(ownersAlive, 1) << "the context holds its owner";
    EXPECT_EQ(context->GetOwner().get(), raw);

    // The end is told once, whoever reports it, and lets the owner go.
    RefPtr<RecordingOwner> watcher(raw);
    context->ReportConnectionState(false);
    context->ReportEnded();
    context->ReportConnectionState(true);
    EXPECT_EQ(watcher->calls,
              (std::vector<std::string>{id + " 10.0.0.5 2 1", id + " 10.0.0.5 2 0"}));
    EXPECT_FALSE(context->IsConnected());
    EXPECT_FALSE(context->IsValid());
    EXPECT_TRUE(context->HasEnded());
    EXPECT_FALSE(context->GetOwner());
    watcher.Reset();
    EXPECT_EQ(ownersAlive, 0) << "the ended context holds its owner no more";
}

// The transport reports the connect on the polling thread while another thread ends the
// context: once both are done, an ended context never reads as connected.
TEST(ConnectionContext, AContextEndedWhileItsConnectIsReportedDoesNotReadConnected) {
    // The race is a few instructions wide: many rounds, fewer where a sanitizer slows each.
    const int kRounds = test_support::kSanitizedBuild ? 20000 : 200000;
    RefPtr<ConnectionContext> context;
    int connected = 0;
    const int rounds = test_support::RunRaceRounds(
        kRounds, [&](int) { context = new RefCountedObject<ConnectionContext>; },
        [&](int) { context->ReportConnectionState(true); },
        [&](int) { context->ReportEnded(); },
        [&](int) { connected += context->IsConnected(); });
    EXPECT_EQ(connected, 0) << "of " << rounds << " contexts read as connected after their end";
}

TEST(ConnectionContext, QueueFiguresComeFromTheTransport) {
    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    EXPECT_EQ(context->GetQueueStatus(), -1.0) << "no transport";
    EXPECT_EQ(context->GetLastRoundTripTime(), 0);
    EXPECT_EQ(context->GetOldestQueueDelayTime(), 0);

    RefPtr<RecordingStream> stream(new RecordingStream);
    context->SetStream(stream.get());
    EXPECT_EQ(context->GetQueueStatus(), -1.0) << "no capacity";
    stream->maxWriteQueueLength = 1000;
    stream->averageWriteQueueLength = 250;
    stream->roundTrip = 42;
    stream->oldestQueueDelay = 7;
    EXPECT_DOUBLE_EQ(context->GetQueueStatus(), 0.75);
    EXPECT_EQ(context->GetLastRoundTripTime(), 42);
    EXPECT_EQ(context->GetOldestQueueDelayTime(), 7);
}

TEST(ConnectionContext, ConnectionTypesMergeToOneTypeOrMixed) {
    for (const auto& [start, merged, result] : std::initializer_list<std::tuple<int, int, int>>{
             {0, 1, 1}, {1, 1, 1}, {2, 1, 0}, {5, 1, 0}, {0, 2, 2}}) {
        RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
        if (start != 0) {
            context->MergeConnectionType(start);
        }
        context->MergeConnectionType(merged);
        EXPECT_EQ(context->GetConnectionType(), result) << start << " + " << merged;
    }
}

TEST(ConnectionContext, TheIdentificationGoesOutAsOneXmlMessage) {
    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    RefPtr<RecordingStream> stream(new RecordingStream);
    context->SetStream(stream.get());
    EXPECT_FALSE(context->StartMessageClientConversation()) << "nothing to send yet";
    EXPECT_EQ(stream->sent, "");

    MonitorIdentification identification;
    identification.m_userName = u"anna";
    identification.m_password = u"s&cret";
    context->SetServerRecord(&identification);
    identification.m_userName = u"changed later";  // the context keeps its own copy
    EXPECT_TRUE(context->StartMessageClientConversation());
    EXPECT_EQ(stream->sent, kIdentificationMessage);

    context->SetServerRecord(nullptr);
    EXPECT_FALSE(context->StartMessageClientConversation());
}

TEST(ConnectionContext, DatagramSessionsAreRefusedWithAReport) {
    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    CapturingMessageLogger logger;
    RefPtr<LogSinkLink> link(new LogSinkLink);
    link->Set(&logger);
    ASSERT_TRUE(context->SetUdpConnectionParameters(kSink, 0, "192.0.2.7", "", 12655, link.get(),
                                                    nullptr, 2));
    EXPECT_EQ(context->GetUdpPort(), 12655);
    bool startConversation = true;
    EXPECT_FALSE(context->InitPacketSession(startConversation));
    EXPECT_FALSE(startConversation);
    EXPECT_EQ(logger.texts, std::vector<WString>{u"Datagram sessions are not available"});
    link->Set(nullptr);  // the logger goes before the context
}

}  // namespace
}  // namespace qav
