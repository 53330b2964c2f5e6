#include "network/platform_services.h"

#include <arpa/inet.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/polling_test_support.h"
#include "core/test_support.h"
#include "manager/packet_sink.h"
#include "network/connection_server.h"
#include "network/datagram_listener.h"
#include "network/datagram_sender.h"
#include "network/network_namespace_test_support.h"
#include "network/reliable_connection.h"
#include "network/socket_handler_manager.h"
#include "platform/socket.h"

namespace qav {
namespace {

using test_support::ScratchDirectory;

// Lets a test fix the addresses and see the reboot requests.
class TestPlatformServices : public PlatformServices {
  public:
    using PlatformServices::PlatformServices;
    void SetFixedAddresses(bool fixed) { m_fixedAddresses = fixed; }
    int32_t RebootRequests() const { return m_rebootRequests; }
};

size_t OpenDescriptorCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

std::vector<std::string> LocalAddresses(PlatformServices& services) {
    std::vector<std::string> addresses;
    std::string address;
    for (int32_t i = 0; services.GetLocalAddress(i, address); ++i) {
        addresses.push_back(address);
    }
    return addresses;
}

class CountingPacketSink : public PacketSink {
  public:
    void ProcessPacket(DatagramListener*, PlatformServices*, const char*, int32_t,
                       const uint8_t* data, size_t length, BinaryPacket*) override {
        if (std::string(reinterpret_cast<const char*>(data), length) == "ping") {
            ++pings;
        }
    }
    BinaryPacket* AllocatePacketBuffer(uint8_t**, size_t&) override { return nullptr; }

    std::atomic<int> pings{0};
};

TEST(PlatformServices, LocalAddressesComeFromTheInterfaces) {
    PlatformServices services;  // fills the list once when made
    const std::vector<std::string> addresses = LocalAddresses(services);
    EXPECT_EQ(services.FillLocalAddresses(), static_cast<int32_t>(addresses.size()));
    EXPECT_EQ(addresses.size(), services.GetNetworkInterfaces().GetRecords().size());
    EXPECT_TRUE(services.IsLocalAddress("127.0.0.1"));
    for (const char* foreign : {"198.51.100.200", "127.0.0.1 ", "127.0.0", ""}) {
        EXPECT_FALSE(services.IsLocalAddress(foreign)) << foreign;
    }
    EXPECT_FALSE(services.IsLocalAddress(nullptr));
    std::string out = "untouched";
    for (const int32_t index : {-1, static_cast<int32_t>(addresses.size()), INT32_MAX}) {
        EXPECT_FALSE(services.GetLocalAddress(index, out)) << index;
    }
    EXPECT_EQ(out, "untouched");
}

TEST(PlatformServices, DnsServersFromResolvConf) {
    ScratchDirectory directory;
    const std::string path = directory.Narrow("resolv.conf");
    test_support::WriteBytes(
        path,
        "# comment\n; comment\nsearch example.test\nnameserver 203.0.113.53\n"
        "nameserver   203.0.113.54  # second\nnameserver 2001:db8::1\n"
        "nameserver 0.0.0.0\nnameserver 255.255.255.255\nnameservers 203.0.113.97\n"
        "nameserver 203.0.113.55x\nnameserver\nnameserver 203.0.113.98" +
            std::string(2000, ' ') +  // an overlong line is skipped whole
            "\n\tnameserver 203.0.113.56\r\noptions ndots:2\nnameserver 203.0.113.57");
    const std::vector<std::string> all = {"kept", "203.0.113.53", "203.0.113.54", "203.0.113.56",
                                          "203.0.113.57"};
    PlatformServices services(path);
    const auto servers = [&](const char16_t* adapter, const char* localAddress) {
        std::vector<std::string> out = {"kept"};
        const int32_t count = services.GetDnsServers(adapter, localAddress, out);
        EXPECT_EQ(count, static_cast<int32_t>(out.size() - 1));
        return out;
    };
    EXPECT_EQ(servers(nullptr, nullptr), all);
    EXPECT_EQ(servers(u"", ""), all);
    EXPECT_EQ(servers(u"lo", nullptr), all);
    EXPECT_EQ(servers(nullptr, "127.0.0.1"), all);
    EXPECT_EQ(servers(u"lo", "127.0.0.1"), all);
    const std::vector<std::string> none = {"kept"};
    EXPECT_EQ(servers(u"no-such-adapter", nullptr), none);
    EXPECT_EQ(servers(nullptr, "198.51.100.200"), none);
    EXPECT_EQ(servers(u"lo", "198.51.100.200"), none);
    const char16_t loneSurrogate[] = {u'l', u'o', 0xD800, 0};
    EXPECT_EQ(servers(loneSurrogate, nullptr), none);

    std::vector<std::string> out;
    PlatformServices withoutFile(directory.Narrow("missing.conf"));
    EXPECT_EQ(withoutFile.GetDnsServers(nullptr, nullptr, out), 0);
    EXPECT_TRUE(out.empty());
}

TEST(PlatformServices, RebootOnlyRecordsTheRequest) {
    test_support::CapturingTextLogger logger;
    TestPlatformServices services;
    EXPECT_EQ(services.Reboot(), 3);
    EXPECT_EQ(services.Reboot(), 3);
    EXPECT_EQ(services.RebootRequests(), 2);
    EXPECT_EQ(logger.Lines().size(), 2u);
}

// Each factory registers what it makes with the wait loop (a second AddHandler is
// refused), answers port 0 with the bound port, and on failure leaves no descriptor open.
TEST(PlatformServices, FactoriesRegisterOrLeaveNothingOpen) {
    SocketHandlerManager loop;
    PlatformServices services;
    services.SetSocketHandlerManager(&loop);
    CountingPacketSink sink;
    int32_t serverPort = 0;
    int32_t listenerPort = 0;
    RefPtr<ConnectionServer> server =
        services.CreateConnectionServer("127.0.0.1", serverPort, nullptr);
    RefPtr<DatagramListener> listener =
        services.CreateDatagramListener(u"", "127.0.0.1", listenerPort, false, &sink);
    ASSERT_TRUE(server && listener);
    EXPECT_TRUE(serverPort > 0 && serverPort == server->GetPort());
    EXPECT_TRUE(listenerPort > 0 && listenerPort == listener->GetPort());
    EXPECT_FALSE(loop.AddHandler(server.get()) || loop.AddHandler(listener.get()));

    const size_t descriptors = OpenDescriptorCount();
    EXPECT_FALSE(services.CreateConnectionServer("127.0.0.1", serverPort, nullptr));
    EXPECT_FALSE(services.CreateDatagramListener(u"", "127.0.0.1", listenerPort, false, &sink));
    PlatformServices unwired;  // without a wait loop a server could never accept
    int32_t port = 0;
    EXPECT_FALSE(unwired.CreateConnectionServer("127.0.0.1", port, nullptr));
    EXPECT_EQ(OpenDescriptorCount(), descriptors);

    // The listener is live: a datagram to its port reaches the sink through the loop.
    int errorCode = 0;
    const int sender = platform::CreateUdpSocket(errorCode);
    const platform::SocketAddressV4 to{htonl(INADDR_LOOPBACK), static_cast<uint16_t>(listenerPort)};
    EXPECT_EQ(platform::SendDatagram(sender, "ping", 4, to, errorCode), 4);
    platform::CloseSocket(sender);
    for (int i = 0; i < 50 && sink.pings == 0; ++i) {
        loop.Wait(100);
    }
    EXPECT_EQ(sink.pings, 1);
    server->Close();
    listener->Disconnect();
    EXPECT_TRUE(services.CreateReliableConnection() && services.CreateDatagramSender());
}

// The interfaces change under the services: a network namespace of the test's own.
TEST(PlatformServicesNamespace, FillFollowsTheInterfacesUnlessFixed) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    using test_support::Ip;
    Ip("link set lo up");
    Ip("link add eth1 type veth peer name peer1");
    Ip("addr add 10.201.0.1/24 dev eth1");
    Ip("link set peer1 up");
    Ip("link set eth1 up");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());

    ScratchDirectory directory;
    const std::string resolvConf = directory.Narrow("resolv.conf");
    test_support::WriteBytes(resolvConf, "nameserver 10.201.0.53\n");
    TestPlatformServices services(resolvConf);
    NetworkInterfacesVector& interfaces = services.GetNetworkInterfaces();
    ASSERT_TRUE(test_support::Eventually([&] {
        interfaces.Refresh();
        return services.FillLocalAddresses() == 2;
    })) << "lo and eth1 in the namespace";
    EXPECT_EQ(LocalAddresses(services), (std::vector<std::string>{"127.0.0.1", "10.201.0.1"}));

    services.SetFixedAddresses(true);
    Ip("addr add 10.201.0.2/24 dev eth1");
    bool changed = false;
    ASSERT_TRUE(
        test_support::Eventually([&] { return changed = changed || interfaces.Refresh(); }));
    EXPECT_EQ(services.FillLocalAddresses(), 2) << "fixed addresses stay";
    EXPECT_FALSE(services.IsLocalAddress("10.201.0.2"));

    services.SetFixedAddresses(false);
    EXPECT_EQ(services.FillLocalAddresses(), 3);
    EXPECT_TRUE(services.IsLocalAddress("10.201.0.2"));

    // Both filters together: the address must belong to the named adapter.
    std::vector<std::string> out;
    EXPECT_EQ(services.GetDnsServers(u"eth1", "10.201.0.2", out), 1);
    EXPECT_EQ(out, std::vector<std::string>{"10.201.0.53"});
    EXPECT_EQ(services.GetDnsServers(u"eth1", "127.0.0.1", out), 0);
    EXPECT_EQ(services.GetDnsServers(u"lo", "10.201.0.1", out), 0);
    EXPECT_EQ(out.size(), 1u);
}

}  // namespace
}  // namespace qav
