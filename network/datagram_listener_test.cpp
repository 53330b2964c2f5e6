// The datagram listener over real loopback sockets, driven by a real wait loop on its own
// thread, or by the test itself where it must know when a call has happened.
#include "network/datagram_listener.h"

#include <sys/socket.h>

#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "connection/binary_packet.h"
#include "core/polling_test_support.h"
#include "core/test_support.h"
#include "manager/packet_sink.h"
#include "network/network_namespace_test_support.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"
#include "network/udp_test_peer.h"

namespace qav {
namespace {

using test_support::Eventually;
using test_support::UdpPeer;

// Keeps each datagram as "bytes from address:port" plus " in a packet" when it came in
// one, and gives the packet back at once. Lends up to `packets` 1600-byte packets.
class RecordingSink final : public PacketSink {
  public:
    explicit RecordingSink(size_t packets = 64) : m_pool(new BinaryPacketsPool(packets)) {}

    void ProcessPacket(DatagramListener*, PlatformServices*, const char* senderAddress,
                       int32_t senderPort, const uint8_t* data, size_t length,
                       BinaryPacket* packet) override {
        std::string line(reinterpret_cast<const char*>(data), length);
        line += std::string(" from ") + senderAddress + ":" + std::to_string(senderPort);
        if (packet != nullptr) {
            line += " in a packet";
            packet->ReturnToPool();
        }
        std::lock_guard<std::mutex> hold(m_mutex);
        m_lines.push_back(line);
    }
    BinaryPacket* AllocatePacketBuffer(uint8_t** buffer, size_t& capacity) override {
        BinaryPacket* packet = m_pool->Lend();
        if (packet != nullptr) {
            *buffer = packet->Data();
            capacity = std::min(capacity, BinaryPacket::Capacity());
        }
        return packet;
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return std::exchange(m_lines, {});
    }

    RefPtr<BinaryPacketsPool> m_pool;

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// A wait loop, turned by its own thread once StartTurning is called.
struct Road {
    Road() { services.SetSocketHandlerManager(&loop); }

    void StartTurning() {
        thread.emplace([this](test_support::TestThread& self) {
            for (self.Ready(); !self.Stopping();) {
                loop.Wait(20);
            }
        });
    }
    // Registered, on 127.0.0.1 and a port the system chooses.
    RefPtr<DatagramListener> Listen(PacketSink* sink) {
        RefPtr<DatagramListener> listener(new RefCountedObject<DatagramListener>(&services));
        listener->SetPacketSink(sink);
        EXPECT_TRUE(listener->StartListening(u"", "127.0.0.1", 0, true, false));
        EXPECT_TRUE(loop.AddHandler(listener.get()));
        return listener;
    }

    SocketHandlerManager loop;
    PlatformServices services;
    std::optional<test_support::TestThread> thread;
};

// Sends `bytes` and then a marker; what arrived up to the marker, without it.
std::vector<std::string> SendWithMarker(UdpPeer& peer, int32_t port, RecordingSink& sink,
                                        const std::string& bytes) {
    peer.SendTo(port, bytes);
    peer.SendTo(port, "marker");
    std::vector<std::string> got;
    Eventually([&] {
        for (std::string& line : sink.Take()) {
            got.push_back(std::move(line));
        }
        return !got.empty() && got.back().starts_with("marker from");
    });
    got.pop_back();
    return got;
}

TEST(DatagramListener, DeliversWhatFitsOnceWithItsSenderAndGivesEveryPacketBack) {
    for (bool lends : {true, false}) {
        RecordingSink sink(lends ? 64 : 0);  // before the road: it outlives the wait loop's turns
        Road road;
        road.StartTurning();
        RefPtr<DatagramListener> listener = road.Listen(&sink);
        const int32_t port = listener->GetPort();
        ASSERT_GT(port, 0) << "port 0 reports the port the system chose";
        UdpPeer peer;
        const std::string suffix =
            " from 127.0.0.1:" + std::to_string(peer.Port()) + (lends ? " in a packet" : "");

        // What does not fit the lent packet or the own buffer is dropped, not cut.
        const size_t room = lends ? BinaryPacket::Capacity() : DatagramListener::kReceiveCapacity;
        for (size_t size : {size_t{1}, room, size_t{0}, room + 1}) {
            const std::string bytes(size, 'b');
            const std::vector<std::string> expected = {bytes + suffix};
            EXPECT_EQ(size > 0 && size <= room ? expected : std::vector<std::string>{},
                      SendWithMarker(peer, port, sink, bytes))
                << size << " bytes, lends " << lends;
        }

        std::vector<std::string> burst;
        for (int i = 0; i < 100; ++i) {
            burst.push_back("datagram " + std::to_string(i));
            peer.SendTo(port, burst.back());
            burst.back() += suffix;
        }
        EXPECT_EQ(burst, SendWithMarker(peer, port, sink, "")) << "lends " << lends;
        listener->Disconnect();
        EXPECT_EQ(-1, listener->GetPort());
        // Each receive borrows: 4 sizes with their markers, the burst with its marker.
        EXPECT_EQ(lends ? 8u + 102u : 0u, sink.m_pool->GetLentCount());
        EXPECT_EQ(sink.m_pool->GetLentCount(), sink.m_pool->GetReturnedCount());
    }
}

TEST(DatagramListener, WithAllSlotsBusyDeliversAtOnceAndCountsTheMiss) {
    RecordingSink sink;
    Road road;  // not turning: the test makes the wait loop's calls itself
    RefPtr<DatagramListener> listener = road.Listen(&sink);
    UdpPeer peer;
    for (int i = 0; i <= ReceiveSlotPool::kCapacity; ++i) {
        peer.SendTo(listener->GetPort(), std::to_string(i));
    }
    auto receive = [&] {
        EXPECT_TRUE(test_support::WaitReadable(listener->GetSocket(), 5000));
        return listener->HandleInput();
    };
    std::set<intptr_t> slots;
    for (int i = 0; i < ReceiveSlotPool::kCapacity; ++i) {
        slots.insert(receive());
    }
    EXPECT_EQ((std::set<intptr_t>{0, 1, 2, 3, 4}), slots) << "each receive holds its own slot";
    EXPECT_TRUE(sink.Take().empty()) << "slotted datagrams wait for ProcessInput";
    EXPECT_EQ(-1, receive());
    EXPECT_EQ(1u, sink.Take().size()) << "a datagram without a slot is delivered at once";
    EXPECT_EQ(1u, listener->GetSlotPool().GetMissCount());

    // Values that are not the index of a slot in use are ignored, whatever their low bits.
    for (intptr_t value : {intptr_t{-1}, intptr_t{5}, intptr_t{1} << 40, (intptr_t{1} << 32) + 3}) {
        listener->ProcessInput(value);
    }
    EXPECT_TRUE(sink.Take().empty());
    listener->ProcessInput(*slots.begin());  // given back here, so the loop below skips it
    for (intptr_t slot : slots) {
        listener->ProcessInput(slot);
    }
    std::string order;
    for (const std::string& line : sink.Take()) {
        order += line.front();
    }
    EXPECT_EQ("01234", order);
    EXPECT_EQ(0, listener->GetSlotPool().GetUsedCount());
    EXPECT_EQ(0u, sink.m_pool->GetOutstandingCount());
    listener->Disconnect();
}

TEST(DatagramListener, SocketErrorRestartsOnTheSamePortAndKeepsDelivering) {
    for (bool withLogger : {false, true}) {
        std::optional<test_support::CapturingTextLogger> logger;
        if (withLogger) {
            logger.emplace(kSeverityError);
        }
        RecordingSink sink;
        Road road;  // turned by the test, which so knows when the error was handled
        RefPtr<DatagramListener> listener = road.Listen(&sink);
        const int32_t port = listener->GetPort();
        UdpPeer peer;
        auto turnUntilDelivered = [&](const std::string& bytes) {
            peer.SendTo(port, bytes);
            for (int turn = 0; turn < 100; ++turn) {
                road.loop.Wait(50);
                if (!sink.Take().empty()) {
                    return true;
                }
            }
            return false;
        };
        ASSERT_TRUE(turnUntilDelivered("before"));

        const int broken = listener->GetSocket();
        ::shutdown(broken, SHUT_RDWR);  // ENOTCONN, but the socket reports a hang-up
        EXPECT_EQ(Waiter::kHandled, road.loop.Wait(1000));
        EXPECT_FALSE(test_support::WaitReadable(listener->GetSocket(), 0)) << "a fresh socket";
        EXPECT_EQ(port, listener->GetPort());
        EXPECT_TRUE(turnUntilDelivered("after"))
            << "logger " << withLogger << ": the restarted listener keeps its sink and "
            << "is registered again";
        if (withLogger) {
            const std::vector<std::string> expected = {
                "3 Socket " + std::to_string(broken) + " error",
                "3 Socket restart listening result: Success"};
            EXPECT_EQ(expected, logger->Lines());
        }
        listener->Disconnect();
    }
}

TEST(DatagramListener, BroadcastModeBindsAnyAddressAndJoinsTheGroupOnChosenInterfaces) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    using test_support::Ip;
    Ip("link set lo up");
    for (const std::string name : {"eth1", "tap1"}) {  // wired joins by default, a tunnel not
        Ip("link add " + name + " type veth peer name peer-" + name);
        Ip("addr add 10.200." + std::to_string(name[0] == 'e' ? 1 : 2) + ".1/24 dev " + name);
        Ip("link set peer-" + name + " up");
        Ip("link set " + name + " up");
    }
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
        const std::set<std::string> expected =
            name.empty() ? std::set<std::string>{"lo", "eth1"} : std::set<std::string>{"tap1"};
        EXPECT_EQ(expected, joined);
        listener->Disconnect();
    }
}

}  // namespace
}  // namespace qav
