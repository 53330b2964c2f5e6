#include "connection/connection_set.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "network/platform_services.h"
#include "network/scripted_connection_stream.h"

namespace qav {
namespace {

class CountingContext : public ConnectionContext {
  public:
    void Disconnect() override { ++disconnects; }
    std::atomic<int> disconnects{0};
};

RefPtr<CountingContext> MakeContext(PlatformServices* services, int32_t priority = -1) {
    RefPtr<CountingContext> context(new RefCountedObject<CountingContext>);
    // The name first: these platforms are only keys, never looked into.
    context->SetNetworkInterfaceName(u"eth1");
    context->SetPlatformServices(services);
    context->SetLocalAddress("10.0.0.1");
    context->SetAddressText(0, "192.0.2.7");
    context->SetAddressText(2, "peer.example");
    context->SetTcpPort(12654);
    context->SetUdpPort(12655);
    context->SetPriority(priority);
    return context;
}

TEST(ConnectionSet, FindsTheContextThatMatchesAConnection) {
    PlatformServices* const a = reinterpret_cast<PlatformServices*>(0x1000);
    PlatformServices* const b = reinterpret_cast<PlatformServices*>(0x2000);
    struct Case {
        PlatformServices* services;
        const char16_t* interfaceName;
        const char* localAddress;
        const char* target;
        int32_t tcpPort;
        int32_t udpPort;
        bool matches;
    };
    const Case cases[] = {
        {a, nullptr, nullptr, "192.0.2.7", 0, 0, true},  // no port given: any
        {a, u"eth1", "10.0.0.1", "peer.example", 12654, 0, true},
        {a, u"", "", "192.0.2.7", 12654, 0, true},           // empty: not given
        {a, nullptr, nullptr, "192.0.2.7", 1, 12655, true},  // the UDP port decides
        {a, nullptr, nullptr, "192.0.2.7", 12654, 1, false},
        {a, nullptr, nullptr, "192.0.2.7", 1, 0, false},
        {b, nullptr, nullptr, "192.0.2.7", 0, 0, false},
        {a, u"eth2", nullptr, "192.0.2.7", 0, 0, false},
        {a, nullptr, "10.0.0.2", "192.0.2.7", 0, 0, false},
        {a, nullptr, nullptr, "192.0.2.8", 0, 0, false},
        {a, nullptr, nullptr, "", 0, 0, false},  // empty texts never match the empty slots
        {a, nullptr, nullptr, nullptr, 0, 0, false},
    };
    ConnectionSet set;
    RefPtr<CountingContext> older = MakeContext(a);
    RefPtr<CountingContext> newer = MakeContext(a);
    RefPtr<CountingContext> invalid = MakeContext(b);
    invalid->SetValid(false);
    for (ConnectionContext* context : {older.get(), newer.get(), invalid.get()}) {
        EXPECT_TRUE(set.AddContext(context));
    }
    EXPECT_FALSE(set.AddContext(older.get())) << "listed twice";
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        RefPtr<ConnectionContext> found = set.FindMatchingContext(
            c.services, c.interfaceName, c.localAddress, c.target, c.tcpPort, c.udpPort);
        EXPECT_EQ(found.get(), c.matches ? newer.get() : nullptr) << "case " << i;
    }
    EXPECT_EQ(set.FindContextById(older->GetContextId()).get(), older.get());
    EXPECT_FALSE(set.FindContextById(-5));

    RefPtr<ConnectionContext> member(older.get());
    EXPECT_TRUE(set.DisconnectIfMember(member));
    EXPECT_FALSE(member) << "the caller's reference is dropped";
    member = older.get();
    EXPECT_FALSE(set.DisconnectIfMember(member)) << "no longer listed";
    EXPECT_EQ(member.get(), older.get());
    EXPECT_EQ(older->disconnects, 1);
    EXPECT_EQ(set.GetCount(), 2u);
}

TEST(ConnectionSet, DisconnectsByPriorityOnlyTheWorseMatchingOnes) {
    PlatformServices* const a = reinterpret_cast<PlatformServices*>(0x1000);
    ConnectionSet set;
    std::vector<RefPtr<CountingContext>> contexts;
    for (int32_t priority : {1, 2, 7, -1}) {
        contexts.push_back(MakeContext(a, priority));
        set.AddContext(contexts.back().get());
    }
    contexts.push_back(MakeContext(a, 5));
    contexts.back()->SetAddressText(0, "");
    contexts.back()->SetAddressText(2, "elsewhere");  // another target
    set.AddContext(contexts.back().get());
    EXPECT_EQ(ConnectionContextVector(set).DisconnectByPriority(a, 2, "192.0.2.7", 12654, 0), 2);
    std::string disconnected;
    for (const auto& context : contexts) {
        disconnected += std::to_string(context->disconnects);
    }
    EXPECT_EQ(disconnected, "01100");
    EXPECT_EQ(set.GetCount(), 3u);
    EXPECT_EQ(set.DisconnectAll(), 3);
    EXPECT_EQ(set.GetCount(), 0u);
}

// The intake finds a context by its transport and takes it out when the transport is gone;
// what stays keeps its order, so the newest matching context is still the one found.
TEST(ConnectionSet, FindsByTransportAndKeepsTheOrderAcrossRemovals) {
    PlatformServices* const a = reinterpret_cast<PlatformServices*>(0x1000);
    using test_support::ScriptedConnectionStream;
    ConnectionSet set;
    std::vector<RefPtr<CountingContext>> contexts;
    std::vector<RefPtr<ScriptedConnectionStream>> streams;
    for (int i = 0; i < 4; ++i) {
        contexts.push_back(MakeContext(a));
        streams.emplace_back(new ScriptedConnectionStream);
        contexts.back()->SetStream(streams.back().get());
        ASSERT_TRUE(set.AddContext(contexts.back().get()));
    }
    RefPtr<CountingContext> sameStream = MakeContext(a);
    sameStream->SetStream(streams[1].get());
    EXPECT_FALSE(set.AddContext(sameStream.get())) << "one context per transport";
    RefPtr<CountingContext> noStream = MakeContext(a);
    EXPECT_TRUE(set.AddContext(noStream.get()));
    EXPECT_FALSE(set.FindContextByStream(nullptr));

    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(set.FindContextByStream(streams[i].get()).get(), contexts[i].get()) << i;
    }
    // Out of the middle, the end and the front.
    for (int i : {1, 3, 0}) {
        EXPECT_TRUE(set.RemoveContext(contexts[i].get())) << i;
        EXPECT_FALSE(set.RemoveContext(contexts[i].get())) << "removed twice: " << i;
        EXPECT_FALSE(set.FindContextByStream(streams[i].get())) << i;
        EXPECT_FALSE(set.FindContextById(contexts[i]->GetContextId())) << i;
        EXPECT_EQ(contexts[i]->disconnects, 0) << "a removal does not disconnect";
    }
    for (int i : {1, 3, 0}) {
        EXPECT_TRUE(contexts[i]->HasEnded()) << "leaving the set ends a context: " << i;
    }
    RefPtr<CountingContext> newest = MakeContext(a);
    EXPECT_TRUE(set.AddContext(newest.get()));
    std::vector<RefPtr<ConnectionContext>> order;
    set.Snapshot(order);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0].get(), contexts[2].get());
    EXPECT_EQ(order[1].get(), noStream.get());
    EXPECT_EQ(order[2].get(), newest.get());
    EXPECT_EQ(set.FindMatchingContext(a, nullptr, nullptr, "192.0.2.7", 0, 0).get(), newest.get());
    EXPECT_TRUE(set.RemoveContext(newest.get()));
    EXPECT_EQ(set.FindMatchingContext(a, nullptr, nullptr, "192.0.2.7", 0, 0).get(),
              noStream.get());
    EXPECT_EQ(set.FindContextByStream(streams[2].get()).get(), contexts[2].get());
    EXPECT_EQ(set.DisconnectAll(), 2);
    EXPECT_FALSE(set.FindContextByStream(streams[2].get()));
    EXPECT_TRUE(set.AddContext(contexts[2].get())) << "a set emptied is usable again";
    EXPECT_EQ(set.GetCount(), 1u);
}

// Snapshots taken on several threads at once disconnect each context of the address once.
TEST(ConnectionSet, ConcurrentSnapshotsDisconnectEachContextOnce) {
    PlatformServices* const a = reinterpret_cast<PlatformServices*>(0x1000);
    for (int round = 0; round < 20; ++round) {
        ConnectionSet set;
        std::vector<RefPtr<CountingContext>> contexts;
        for (int i = 0; i < 64; ++i) {
            contexts.push_back(MakeContext(a));
            contexts.back()->SetLocalAddress(i % 2 == 0 ? "10.0.0.1" : "10.0.0.2");
            set.AddContext(contexts.back().get());
        }
        std::atomic<int32_t> total{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                total += ConnectionContextVector(set).DisconnectByLocalAddress(a, "10.0.0.1");
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(total, 32) << "round " << round;
        for (size_t i = 0; i < contexts.size(); ++i) {
            ASSERT_EQ(contexts[i]->disconnects, i % 2 == 0 ? 1 : 0) << "context " << i;
        }
        ASSERT_EQ(set.GetCount(), 32u);
    }
}

}  // namespace
}  // namespace qav
