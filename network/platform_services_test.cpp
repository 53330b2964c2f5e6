#include "network/platform_services.h"

#include <cerrno>

#include "network/connection_server.h"
#include "network/datagram_listener.h"
#include "network/datagram_sender.h"
#include "network/loopback_test_support.h"
#include "network/network_namespace_test_support.h"
#include "network/reliable_connection.h"

namespace qav {
namespace {

using test_support::ScratchDirectory;

// Lets a test fix the addresses.
class TestPlatformServices : public PlatformServices {
  public:
    using PlatformServices::PlatformServices;
    void SetFixedAddresses(bool fixed) { m_fixedAddresses = fixed; }
};

std::vector<std::string> LocalAddresses(PlatformServices& services) {
    std::vector<std::string> addresses;
    std::string address;
    for (int32_t i = 0; services.GetLocalAddress(i, address); ++i) {
        addresses.push_back(address);
    }
    return addresses;
}

TEST(PlatformServices, LocalAddressesComeFromTheInterfaces) {
    PlatformServices services;  // fills the list once when made
    const std::vector<std::string> addresses = LocalAddresses(services);
    EXPECT_EQ(services.FillLocalAddresses(), static_cast<int32_t>(addresses.size()));
    EXPECT_EQ(addresses.size(), services.GetNetworkInterfaces().GetRecords().size());
    EXPECT_TRUE(services.IsLocalAddress("127.0.0.1"));
    for (const char* foreign :
         {"198.51.100.200", "127.0.0.1 ", "127.0.0", "", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(services.IsLocalAddress(foreign)) << (foreign ? foreign : "null");
    }
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
    const char16_t loneSurrogate[] = {u'l', u'o', 0xD800, 0};
    const struct {
        const char16_t* adapter;
        const char* localAddress;
        bool matches;
    } cases[] = {{nullptr, nullptr, true},
                 {u"", "", true},
                 {u"lo", nullptr, true},
                 {nullptr, "127.0.0.1", true},
                 {u"lo", "127.0.0.1", true},
                 {u"no-such-adapter", nullptr, false},
                 {nullptr, "198.51.100.200", false},
                 {u"lo", "198.51.100.200", false},
                 {loneSurrogate, nullptr, false}};
    for (const auto& c : cases) {
        std::vector<std::string> out = {"kept"};
        EXPECT_EQ(services.GetDnsServers(c.adapter, c.localAddress, out), c.matches ? 4 : 0)
            << &c - cases;
        EXPECT_EQ(out, c.matches ? all : std::vector<std::string>{"kept"}) << &c - cases;
    }
    std::vector<std::string> out;
    PlatformServices withoutFile(directory.Narrow("missing.conf"));
    EXPECT_EQ(withoutFile.GetDnsServers(nullptr, nullptr, out), 0);
    EXPECT_TRUE(out.empty());
}

// Each factory registers what it makes with the wait loop (a second AddHandler is
// refused) and on failure leaves no descriptor open. What they make is tested with the
// connection server and the datagram listener, which are made through them.
TEST(PlatformServices, FactoriesRegisterOrLeaveNothingOpen) {
    SocketHandlerManager loop;
    PlatformServices services;
    services.SetSocketHandlerManager(&loop);
    test_support::RecordingPacketSink sink;
    int32_t serverPort = 0;
    int32_t listenerPort = 0;
    RefPtr<ConnectionServer> server =
        services.CreateConnectionServer("127.0.0.1", serverPort, nullptr);
    RefPtr<DatagramListener> listener =
        services.CreateDatagramListener(u"", "127.0.0.1", listenerPort, false, &sink);
    ASSERT_TRUE(server && listener);
    EXPECT_FALSE(loop.AddHandler(server.get()) || loop.AddHandler(listener.get()));

    // A failure keeps its cause, for a program that must say why it cannot listen.
    const int descriptors = test_support::OpenDescriptorCount();
    EXPECT_EQ(services.GetLastListenError(), 0);
    EXPECT_FALSE(services.CreateConnectionServer("127.0.0.1", serverPort, nullptr));
    EXPECT_EQ(services.GetLastListenError(), EADDRINUSE);
    int32_t noPort = 70000;
    EXPECT_FALSE(services.CreateDatagramListener(u"", "127.0.0.1", noPort, false, &sink));
    EXPECT_EQ(services.GetLastListenError(), EINVAL);
    EXPECT_FALSE(services.CreateDatagramListener(u"", "127.0.0.1", listenerPort, false, &sink));
    PlatformServices unwired;  // without a wait loop a server could never accept
    int32_t port = 0;
    EXPECT_FALSE(unwired.CreateConnectionServer("127.0.0.1", port, nullptr));
    EXPECT_EQ(unwired.GetLastListenError(), 0) << "no socket failed";
    EXPECT_EQ(test_support::OpenDescriptorCount(), descriptors);
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
    test_support::Ip("link set lo up");
    test_support::AddVeth("eth1", "peer1", "10.201.0.1/24");
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
    test_support::Ip("addr add 10.201.0.2/24 dev eth1");
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
