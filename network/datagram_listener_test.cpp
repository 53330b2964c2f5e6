// The datagram listener over real loopback sockets, driven by a real wait loop on its own
// thread, or by the test itself where it must know when a call has happened.
#include "network/datagram_listener.h"

#include <linux/sock_diag.h>

#include <atomic>
#include <fstream>
#include <set>

#include "core/event.h"
#include "network/loopback_test_support.h"
#include "network/network_namespace_test_support.h"

namespace qav {
namespace {

using test_support::RecordingPacketSink;
using test_support::UdpPeer;

// A listener on 127.0.0.1 and a port the system chooses, registered with a wait loop that
// its own thread turns once StartTurning is called (else the test turns it).
struct Road {
    explicit Road(PacketSink* sink) {
        services.SetSocketHandlerManager(&loop);
        listener = services.CreateDatagramListener(u"", "127.0.0.1", port, false, sink);
        EXPECT_TRUE(listener);
    }
    ~Road() {
        if (listener) {
            listener->Disconnect();
        }
    }

    void StartTurning() {
        thread.emplace([this](test_support::TestThread& self) {
            for (self.Ready(); !self.Stopping();) {
                loop.Wait(20);
            }
        });
    }

    SocketHandlerManager loop;
    PlatformServices services;
    RefPtr<DatagramListener> listener;
    int32_t port = 0;
    std::optional<test_support::TestThread> thread;
};

// Sends `bytes` and then a marker; what arrived up to the marker, without it.
std::vector<std::string> SendWithMarker(UdpPeer& peer, int32_t port, RecordingPacketSink& sink,
                                        const std::string& bytes) {
    peer.SendTo(port, bytes);
    peer.SendTo(port, "marker");
    std::vector<std::string> got;
    if (test_support::Eventually([&] {
            for (std::string& line : sink.Take()) {
                got.push_back(std::move(line));
            }
            return !got.empty() && got.back().starts_with("marker from");
        })) {
        got.pop_back();
    } else {
        ADD_FAILURE() << "the marker never arrived";
    }
    return got;
}

TEST(DatagramListener, DeliversWhatFitsOnceWithItsSenderAndGivesEveryPacketBack) {
    for (bool lends : {true, false}) {
        RecordingPacketSink sink(lends ? 64 : 0);  // before the road: it outlives the loop's turns
        Road road(&sink);
        road.StartTurning();
        ASSERT_GT(road.port, 0) << "port 0 reports the port the system chose";
        UdpPeer peer;
        const std::string suffix =
            " from 127.0.0.1:" + std::to_string(peer.Port()) + (lends ? " in a packet" : "");

        // Every datagram up to kReceiveCapacity bytes arrives whole: in the lent packet when
        // it fits, else from the own buffer. A longer one is dropped, not cut.
        const size_t packetRoom = BinaryPacket::Capacity();
        const size_t room = DatagramListener::kReceiveCapacity;
        for (size_t size : {size_t{1}, packetRoom, size_t{0}, packetRoom + 1, room, room + 1}) {
            std::string bytes(size, 'b');
            if (size > 0) {
                bytes.front() = 'f';  // both ends: nothing moved or lost at the seam
                bytes.back() = 'l';
            }
            const bool inPacket = lends && size <= packetRoom;
            const std::vector<std::string> expected = {
                bytes + " from 127.0.0.1:" + std::to_string(peer.Port()) +
                (inPacket ? " in a packet" : "")};
            EXPECT_EQ(size > 0 && size <= room ? expected : std::vector<std::string>{},
                      SendWithMarker(peer, road.port, sink, bytes))
                << size << " bytes, lends " << lends;
        }

        std::vector<std::string> burst;
        for (int i = 0; i < 100; ++i) {
            burst.push_back("datagram " + std::to_string(i));
            peer.SendTo(road.port, burst.back());
            burst.back() += suffix;
        }
        EXPECT_EQ(burst, SendWithMarker(peer, road.port, sink, "")) << "lends " << lends;
        road.listener->Disconnect();
        EXPECT_EQ(-1, road.listener->GetPort());
        // Each receive borrows: 6 sizes with their markers, the burst with its marker.
        EXPECT_EQ(lends ? 12u + 102u : 0u, sink.pool->GetLentCount());
        EXPECT_EQ(sink.pool->GetLentCount(), sink.pool->GetReturnedCount());
    }
}

TEST(DatagramListener, WithAllSlotsBusyDeliversAtOnceAndCountsTheMiss) {
    RecordingPacketSink sink;
    Road road(&sink);  // not turning: the test makes the wait loop's calls itself
    DatagramListener& listener = *road.listener;
    UdpPeer peer;
    for (int i = 0; i <= ReceiveSlotPool::kCapacity; ++i) {
        peer.SendTo(road.port, std::to_string(i));
    }
    auto receive = [&] {
        EXPECT_TRUE(test_support::WaitReadable(listener.GetSocket(), 5000));
        return listener.HandleInput();
    };
    std::set<intptr_t> slots;
    for (int i = 0; i < ReceiveSlotPool::kCapacity; ++i) {
        slots.insert(receive());
    }
    EXPECT_EQ((std::set<intptr_t>{0, 1, 2, 3, 4}), slots) << "each receive holds its own slot";
    EXPECT_TRUE(sink.Take().empty()) << "slotted datagrams wait for ProcessInput";
    EXPECT_EQ(-1, receive());
    EXPECT_EQ(1u, sink.Take().size()) << "a datagram without a slot is delivered at once";
    EXPECT_EQ(1u, listener.GetSlotPool().GetMissCount());

    // Values that are not the index of a slot in use are ignored, whatever their low bits.
    for (intptr_t value : {intptr_t{-1}, intptr_t{5}, intptr_t{1} << 40, (intptr_t{1} << 32) + 3}) {
        listener.ProcessInput(value);
    }
    EXPECT_TRUE(sink.Take().empty());
    listener.ProcessInput(*slots.begin());  // given back here, so the loop below skips it
    for (intptr_t slot : slots) {
        listener.ProcessInput(slot);
    }
    std::string order;
    for (const std::string& line : sink.Take()) {
        order += line.front();
    }
    EXPECT_EQ("01234", order);
    EXPECT_EQ(0, listener.GetSlotPool().GetUsedCount());
    EXPECT_EQ(0u, sink.pool->GetOutstandingCount());
}

// The bytes the system holds for `socket` in datagrams not read yet.
uint32_t QueuedBytes(int socket) {
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    EXPECT_EQ(0, ::getsockopt(socket, SOL_SOCKET, SO_MEMINFO, info, &length));
    return info[SK_MEMINFO_RMEM_ALLOC];
}

TEST(DatagramListener, OneTurnTakesEveryDatagramWaitingUpToItsBound) {
    const int most = DatagramListener::kMostDatagramsPerTurn;
    for (bool lends : {true, false}) {  // the slotted first datagram, and the own buffer
        RecordingPacketSink sink(lends ? 64 : 0);
        Road road(&sink);  // not turning: each Wait of the test is one turn
        const int socket = road.listener->GetSocket();
        UdpPeer peer;
        const std::string suffix =
            " from 127.0.0.1:" + std::to_string(peer.Port()) + (lends ? " in a packet" : "");
        // Three more than a turn takes; an empty and an oversize one early on are taken
        // off the socket and dropped without ending the turn, and count towards its bound.
        std::vector<std::string> firstTurn;
        std::vector<std::string> secondTurn;
        for (int i = 0; i < most + 3; ++i) {
            std::string bytes = i == 1   ? std::string()
                                : i == 2 ? std::string(DatagramListener::kReceiveCapacity + 1, 'o')
                                         : "datagram " + std::to_string(100 + i);
            // Each one is in the socket's queue before the next is sent, and all before
            // the turn: a datagram still on its way could end the turn early.
            const uint32_t queued = QueuedBytes(socket);
            peer.SendTo(road.port, bytes);
            ASSERT_TRUE(test_support::Eventually([&] { return QueuedBytes(socket) > queued; }))
                << "datagram " << i << " never reached the listener's socket";
            if (i != 1 && i != 2) {
                (i < most ? firstTurn : secondTurn).push_back(bytes + suffix);
            }
        }
        EXPECT_EQ(Waiter::kHandled, road.loop.Wait(1000));
        EXPECT_EQ(firstTurn, sink.Take()) << "lends " << lends;
        EXPECT_EQ(Waiter::kHandled, road.loop.Wait(1000));
        EXPECT_EQ(secondTurn, sink.Take()) << "lends " << lends << ": the rest, in the next turn";
        EXPECT_EQ(Waiter::kBusyOrTimeout, road.loop.Wait(0)) << "nothing left waiting";
        EXPECT_EQ(lends ? most + 3u : 0u, sink.pool->GetLentCount())
            << "one packet asked for per datagram taken off, none for finding the socket empty";
        EXPECT_EQ(0u, sink.pool->GetOutstandingCount()) << "every lent packet given back";
    }
}

// A sink that holds its first delivery until it is let go, then disconnects the listener
// from inside the second.
class HoldingSink final : public PacketSink {
  public:
    void ProcessPacket(DatagramListener* listener, PlatformServices*, const char*, int32_t,
                       const uint8_t*, size_t, LentPacketBuffer*) override {
        if (++m_deliveries == 1) {
            m_inside.Set();
            m_letGo.Wait(-1);
            m_returned = true;
        } else {
            listener->Disconnect();
        }
    }
    BinaryPacket* AllocatePacketBuffer(uint8_t**, size_t&) override { return nullptr; }

    std::atomic<int> m_deliveries{0};
    std::atomic<bool> m_returned{false};
    Event m_inside;
    Event m_letGo;
};

// The scheduling state of a thread of this process: 'R' running or runnable, 'S' asleep.
char ThreadState(uint32_t threadId) {
    std::ifstream stat("/proc/self/task/" + std::to_string(threadId) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t end = line.rfind(')');  // the name in parentheses may hold anything
    return end != std::string::npos && end + 2 < line.size() ? line[end + 2] : '?';
}

TEST(DatagramListener, DisconnectWaitsForADeliveryUnderWayButNotForItsOwn) {
    HoldingSink sink;
    Road road(&sink);
    road.StartTurning();
    UdpPeer peer;
    peer.SendTo(road.port, "held");
    ASSERT_TRUE(sink.m_inside.Wait(5000));
    // The delivery is let go once the waiting Disconnect is seen asleep, several times
    // running: a wait that spins would stay runnable and hold a core meanwhile.
    const uint32_t disconnecting = platform::CurrentThreadId();
    std::atomic<bool> called{false};
    bool asleep = false;
    std::thread letGo([&] {
        int samples = 0;
        asleep = test_support::Eventually([&] {
            samples = called && ThreadState(disconnecting) == 'S' ? samples + 1 : 0;
            return samples >= 3;
        });
        sink.m_letGo.Set();
    });
    called = true;
    road.listener->Disconnect();
    EXPECT_TRUE(sink.m_returned) << "Disconnect returned while the sink was still at work";
    letGo.join();
    EXPECT_TRUE(asleep) << "Disconnect did not sleep while it waited for the delivery";

    HoldingSink second;
    second.m_deliveries = 1;  // straight to the disconnecting delivery
    Road another(&second);
    another.StartTurning();
    peer.SendTo(another.port, "disconnects");
    EXPECT_TRUE(test_support::Eventually([&] { return another.listener->GetPort() == -1; }))
        << "a sink that disconnects from inside its delivery must not wait for itself";
}

TEST(DatagramListener, SocketErrorRestartsOnTheSamePortAndKeepsDelivering) {
    for (bool withLogger : {false, true}) {  // the restart must not depend on the logging
        std::optional<test_support::CapturingTextLogger> logger;
        if (withLogger) {
            logger.emplace(kSeverityError);
        }
        RecordingPacketSink sink;
        Road road(&sink);  // turned by the test, which so knows when the error was handled
        UdpPeer peer;
        auto turnUntilDelivered = [&](const std::string& bytes) {
            peer.SendTo(road.port, bytes);
            for (int turn = 0; turn < 100; ++turn) {
                road.loop.Wait(50);
                if (!sink.Take().empty()) {
                    return true;
                }
            }
            return false;
        };
        ASSERT_TRUE(turnUntilDelivered("before"));

        const int broken = road.listener->GetSocket();
        ::shutdown(broken, SHUT_RDWR);  // ENOTCONN, but the socket reports a hang-up
        EXPECT_EQ(Waiter::kHandled, road.loop.Wait(1000));
        EXPECT_FALSE(test_support::WaitReadable(road.listener->GetSocket(), 0)) << "a new socket";
        EXPECT_EQ(road.port, road.listener->GetPort());
        EXPECT_TRUE(turnUntilDelivered("after"))
            << "logger " << withLogger << ": the restarted listener keeps its sink and "
            << "is registered again";
        if (withLogger) {
            EXPECT_EQ((std::vector<std::string>{"3 Socket " + std::to_string(broken) + " error",
                                                "3 Socket restart listening result: Success"}),
                      logger->Lines());
        }
    }
}

TEST(DatagramListener, BroadcastModeBindsAnyAddressAndJoinsTheGroupOnChosenInterfaces) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    test_support::Ip("link set lo up");
    test_support::AddVeth("eth1", "peer-eth1", "10.200.1.1/24");  // wired: joins by default
    test_support::AddVeth("tap1", "peer-tap1", "10.200.2.1/24");  // a tunnel: only if named
    ASSERT_FALSE(HasFatalFailure());
    for (const WString name : {u"", u"tap1"}) {
        PlatformServices services;  // reads the interfaces made above
        RefPtr<DatagramListener> listener(new RefCountedObject<DatagramListener>(&services));
        ASSERT_TRUE(listener->StartListening(name.c_str(), "239.1.2.3", 0, true, true));
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ::getsockname(listener->GetSocket(), reinterpret_cast<sockaddr*>(&bound), &length);
        EXPECT_EQ(0u, bound.sin_addr.s_addr) << "bound to any address, not to the group";
        // The devices that joined 239.1.2.3, from the kernel's table of this namespace.
        std::set<std::string> joined;
        std::ifstream table("/proc/net/igmp");
        std::string device;
        for (std::string line; std::getline(table, line);) {
            if (!line.starts_with('\t')) {
                const size_t start = line.find('\t') + 1;
                device = line.substr(start, line.find(' ', start) - start);
            } else if (line.find("030201EF") != std::string::npos) {
                joined.insert(device);
            }
        }
        using Devices = std::set<std::string>;
        EXPECT_EQ((name.empty() ? Devices{"lo", "eth1"} : Devices{"tap1"}), joined);
        listener->Disconnect();
    }
}

}  // namespace
}  // namespace qav
