#include <future>
#include <thread>

#include "connection/connection_contexts_list.h"
#include "connection/connection_handle_registry.h"
#include "network/loopback_test_support.h"
#include "network/reliable_connection.h"
#include "network/scripted_connection_stream.h"

namespace qav {
namespace {

struct CountedContext : ConnectionContext {
    ~CountedContext() override { deaths.fetch_add(1); }
    static inline std::atomic<int> deaths{0};
};

struct QueueStream : test_support::ScriptedConnectionStream {
    explicit QueueStream(int32_t bytes) : queued(bytes) {}
    int32_t GetCurrentWriteQueueLength() override { return onQuery ? onQuery() : queued; }
    int32_t queued;
    std::function<int32_t()> onQuery;
};

RefPtr<ConnectionContext> MakeContext(int32_t queued = 0, int32_t priority = -1) {
    RefPtr<ConnectionContext> context(new RefCountedObject<CountedContext>);
    context->SetStream(new QueueStream(queued));
    context->SetPriority(priority);
    return context;
}

class ConnectionHandleTest : public test_support::PolledLoopTest {};

TEST_F(ConnectionHandleTest, OneHandlePerContextServingItsRequestAndStreamWhileHeld) {
    test_support::TcpListener listener;
    test_support::RecordingEventSink sink;
    RefPtr<ReliableConnection> connection(new RefCountedObject<ReliableConnection>(&m_services));
    ASSERT_TRUE(connection->Connect("127.0.0.1", false, listener.port, &sink));
    const int peer = listener.Accept();
    ASSERT_TRUE(test_support::Eventually([&] { return sink.Count(1) == 1; }));
    ConnectionHandleRegistry registry;
    RefPtr<ConnectionContext> context = MakeContext();
    ConnectionContext* const raw = context.get();
    context->SetStream(nullptr);
    RefPtr<ConnectionHandle> handle = registry.GetOrCreate(raw);
    registry.Remove(MakeContext().get());  // not registered: nothing happens
    EXPECT_EQ(registry.GetOrCreate(raw).get(), handle.get());
    EXPECT_EQ(handle->GetHost(), nullptr) << "no request";
    EXPECT_TRUE(handle->SendMessage("x", 1) == 0 && handle->GetAvailableWriteQueueLength() == 0);
    const HttpRequestHeaders request{"text/xml", "cam", "Basic eDp5", "bytes=100-", "s=1"};
    context->SetCurrentRequest(&request);
    EXPECT_EQ(std::string(handle->GetContentType()) + handle->GetHost() +
                  handle->GetAuthorization() + handle->GetCookie(),
              "text/xmlcamBasic eDp5s=1");
    int64_t first = 0, count = 0;
    EXPECT_TRUE(handle->GetRange(first, count) && first == 100 && count == 0);
    context->SetStream(connection.get());
    EXPECT_EQ(handle->SendMessage("GET / HTTP/1.1\r\n\r\n", 18), 18);
    EXPECT_EQ(test_support::ReadFor(peer, 300), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(handle->GetAvailableWriteQueueLength(), connection->GetAvailableWriteQueueLength());
    context->Disconnect();
    EXPECT_EQ(connection->GetConnectionState(), kConnectionClosed);
    ::close(peer);
    const int deaths = CountedContext::deaths.load();
    context.Reset();
    registry.Remove(raw);
    RefPtr<ConnectionHandle> again = registry.GetOrCreate(raw);
    EXPECT_NE(again.get(), handle.get()) << "a removed context gets a new handle";
    handle.Reset();
    registry.Remove(raw);
    EXPECT_EQ(CountedContext::deaths.load(), deaths) << "the second handle still holds the context";
    again.Reset();
    EXPECT_EQ(CountedContext::deaths.load(), deaths + 1) << "the last holder let go";
}

TEST(ConnectionContextsList, GetMostAvailablePrefersShortQueuesThenLowPriority) {
    // The (queued bytes, priority) of each context, and the index chosen (-1: null).
    using Contexts = std::vector<std::pair<int32_t, int32_t>>;
    const std::vector<std::pair<Contexts, int>> cases{{{}, -1},
                                                      {{{500, 1}, {100, 7}}, 1},
                                                      {{{100, 5}, {100, 2}}, 1},
                                                      {{{100, 2}, {100, 5}}, 0},
                                                      {{{9, 3}, {9, 3}}, 0},
                                                      {{{0, 6}, {0, -1}, {0, 1}}, 1}};
    for (const auto& [queues, expected] : cases) {
        ConnectionContextsList list;
        std::vector<RefPtr<ConnectionContext>> contexts;
        for (const auto& [queued, priority] : queues) {
            list.AddConnection(contexts.emplace_back(MakeContext(queued, priority)).get());
        }
        RefPtr<ConnectionContext> out = MakeContext();
        ConnectionContext* chosen = expected < 0 ? nullptr : contexts[expected].get();
        EXPECT_EQ(list.GetMostAvailable(out), chosen) << "case of " << queues.size();
        EXPECT_EQ(out.get(), chosen) << "the caller's reference is always assigned";
    }
}

TEST(ConnectionContextsList, DefaultRecordingsStatusAndNames) {
    ConnectionContextsList list;
    RefPtr<ConnectionContext> kept = MakeContext(), attached = MakeContext(), plain = MakeContext(),
                              bare = MakeContext();
    EXPECT_TRUE(list.GetDefault(kept) == nullptr && kept) << "an empty list leaves the reference";
    RecordingsList skipped, recordings;  // only manual entries count, the first that matches
    skipped.Add({30, 1, 0, 0, true});
    attached->SetRecordingsList(&skipped);  // not asked: attached
    attached->SetAttached(true);
    attached->SetAddressText(3, "10.1.1.3");
    attached->SetAddressText(2, "10.1.1.2");  // the first address text that is not empty
    attached->SetStatusFigure(77);
    recordings.Add({20, 1, 0, 0, false});
    recordings.Add({21, 1, 0, 0, true});
    recordings.Add({22, 1, 0, 0, true});
    plain->SetRecordingsList(&recordings);
    plain->SetAddressText(0, "10.2.2.2");  // not reported: not attached
    bare->SetAttached(true);               // not reported: no address
    EXPECT_FALSE(list.AddConnection(nullptr));
    for (ConnectionContext* context : {kept.get(), bare.get(), attached.get(), plain.get()}) {
        list.AddConnection(context);
    }
    EXPECT_TRUE(list.RemoveConnection(kept.get())) << "the default";
    EXPECT_FALSE(list.RemoveConnection(kept.get()) || list.RemoveConnection(attached.get()));
    list.AddConnection(attached.get());
    EXPECT_TRUE(list.GetDefault(kept) == bare.get() && kept.get() == bare.get());
    EXPECT_EQ(list.FindRecording(1, 0, 0), 21);
    EXPECT_EQ(list.FindRecording(1, 1, 0), -1);
    std::vector<ConnectionStatusEntry> entries{{"earlier", 1}};
    EXPECT_EQ(list.FillStatusMessage(entries), 1);
    EXPECT_TRUE(entries.size() == 2 && entries[1].address == "10.1.1.2" &&
                entries[1].statusFigure == 77);
    list.SetName(u"Gate");
    list.SetName(u"");
    EXPECT_TRUE(attached->GetName() == u"Gate" && plain->GetName() == u"Gate");
}

TEST(ConnectionContextsList, AContextMayCallIntoTheListFromAnotherThread) {
    ConnectionContextsList list;
    RefPtr<ConnectionContext> context = MakeContext();
    list.AddConnection(context.get());
    std::future<bool> lookup;
    bool answered = false;
    static_cast<QueueStream*>(context->GetStream().get())->onQuery = [&] {
        lookup = std::async(std::launch::async, [&] { return list.FindConnection(context.get()); });
        answered = lookup.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        return 0;
    };
    list.GetMostAvailable(context);
    EXPECT_TRUE(answered && lookup.get()) << "the list stayed locked while it asked the context";
}

TEST(ConnectionLists, SharedBetweenThreadsAndLetGoOfEveryContext) {
    const int deaths = CountedContext::deaths.load();
    auto registry = std::make_unique<ConnectionHandleRegistry>();
    ConnectionContextsList list;
    std::vector<RefPtr<ConnectionContext>> contexts{MakeContext(10, 1), MakeContext(0, 2)};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 500; ++round) {
                ConnectionContext* context = contexts[(t + round) % 2].get();
                list.AddConnection(context);
                registry->GetOrCreate(context)->SetContextValue(round);
                RefPtr<ConnectionContext> out;
                list.GetMostAvailable(out);
                list.RemoveConnection(context);
                registry->Remove(round % 3 == 0 ? context : nullptr);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(list.GetDefault(contexts[0]), nullptr) << "every add was matched by a remove";
    contexts.clear();
    registry.reset();
    EXPECT_EQ(CountedContext::deaths.load(), deaths + 2) << "nothing kept a reference";
}

}  // namespace
}  // namespace qav
