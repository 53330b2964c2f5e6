#include "network/network_interfaces.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "network/network_namespace_test_support.h"
#include "platform/network_info.h"
#include "platform/socket.h"

namespace qav {
namespace {

using Lines = std::vector<std::string>;

platform::NetworkAdapterAddress Adapter(const char* name, bool up, const char* address,
                                        const char* broadcast = "0.0.0.0") {
    platform::NetworkAdapterAddress adapter;
    adapter.interfaceName = name;
    adapter.up = up;
    EXPECT_TRUE(platform::ParseDottedAddress(address, adapter.address));
    EXPECT_TRUE(platform::ParseDottedAddress(broadcast, adapter.broadcast));
    return adapter;
}

std::string Describe(const WString& name, int32_t type, int32_t rank, const std::string& address) {
    return std::string(name.begin(), name.end()) + " " + std::to_string(type) + " " +
           std::to_string(rank) + " " + address;
}

// The interfaces of a list the test writes.
class ScriptedInterfaces : public WindowsNetworkInterfaces {
  public:
    ScriptedInterfaces() : WindowsNetworkInterfaces(nullptr) {}
    std::vector<platform::NetworkAdapterAddress> adapters;
    bool failRead = false;
    int reads = 0;

  protected:
    bool ReadAdapters(std::vector<platform::NetworkAdapterAddress>& out, int& errorCode) override {
        ++reads;
        errorCode = failRead ? 5 : 0;
        out = adapters;
        return !failRead;
    }
};

// Keeps each change as "+name type rank address" or "-name type rank address".
class RecordingObserver : public NetworkInterfaceObserver {
  public:
    explicit RecordingObserver(NetworkInterfacesVector& interfaces) : m_interfaces(interfaces) {
        interfaces.SetObserver(this);
    }
    ~RecordingObserver() { m_interfaces.SetObserver(nullptr); }
    void InterfaceAdded(PlatformServices*, const WString& name, NetworkInterfaceType type,
                        int32_t rank, const std::string& address) override {
        m_changes.push_back("+" + Describe(name, type, rank, address));
        // Reading the list back from inside the call works: the lock is the caller's own.
        EXPECT_GT(m_interfaces.GetCount(), 0);
    }
    void InterfaceRemoved(PlatformServices*, const WString& name, NetworkInterfaceType type,
                          int32_t rank, const std::string& address) override {
        m_changes.push_back("-" + Describe(name, type, rank, address));
    }
    Lines Take() { return std::exchange(m_changes, {}); }

  private:
    NetworkInterfacesVector& m_interfaces;
    Lines m_changes;
};

Lines Records(NetworkInterfacesVector& interfaces) {
    Lines lines;
    for (int32_t i = 0; i < interfaces.GetCount(); ++i) {
        lines.push_back(Describe(interfaces.GetName(i), interfaces.GetType(i),
                                 interfaces.GetRank(i), interfaces.GetAddress(i)) +
                        " bc=" + interfaces.GetBroadcastAddress(i));
    }
    return lines;
}

TEST(NetworkInterfaces, ClassificationByName) {
    // Type and rank by name, case-sensitive ("Eth0", "Enp3s0"). Linux's own names decide
    // before the older rules, which still hold for the names they were written for
    // ("en0" is WiFi there). A predictable wired name needs o, s or p and a digit after
    // "en", or x and a hexadecimal id; any other "en" name falls back to the older rule.
    const std::pair<const char*, std::vector<const char*>> classes[] = {
        {"1 0", {"lo", "Loopback Pseudo-Interface 1"}},
        {"2 1",
         {"eth1", "Local Area Connection", "My Local Link", "eno1", "eno16777736", "ens33",
          "ens1f0", "enp3s0", "enp0s31f6", "enP1p3s0", "enx00e04c680001", "enxA0B1C2D3E4F5"}},
        {"3 2",
         {"wlan0", "wlan1", "ra0", "en0", "en1", "en", "enp", "ens", "eno", "enx", "enq3", "enpa3",
          "enxyz", "enx00e04c68000g", "wlp2s0", "wlo1", "wlx001122334455", "wl"}},
        {"5 6", {"tun0", "tap0", "wg0", "wg", "wg-home"}},
        {"4 7", {"ppp0", "pdp_ip0", "rmnet0", "usb0", "wwan0", "wwp0s20f0u6"}},
        {"0 5",
         {"xyz", "Eth0", "Enp3s0", "docker0", "br-abc", "br-Local", "virbr0", "veth1234", "br0",
          "w"}},
    };
    ScriptedInterfaces interfaces;
    RecordingObserver observer(interfaces);
    Lines expected;
    Lines told;
    for (const auto& [classification, names] : classes) {
        for (const std::string name : names) {
            const std::string address = "10.0.0." + std::to_string(interfaces.adapters.size() + 1);
            interfaces.adapters.push_back(Adapter(name.c_str(), true, address.c_str()));
            told.push_back("+" + name + " " + classification + " " + address);
            expected.push_back(name + " " + classification + " " + address + " bc=");
        }
    }
    ASSERT_TRUE(interfaces.Update());
    const Lines records = Records(interfaces);
    ASSERT_EQ(records.size(), expected.size());
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i], expected[i]);  // one line per misclassified name
    }
    EXPECT_EQ(observer.Take(), told);
}

TEST(NetworkInterfaces, UpdateFollowsTheAdapters) {
    ScriptedInterfaces interfaces;
    RecordingObserver observer(interfaces);
    interfaces.adapters = {
        Adapter("eth0", true, "10.0.0.1", "10.0.0.255"),
        Adapter("eth0", true, "10.0.1.1"),  // no broadcast: must not inherit the one above
        Adapter("wlan0", false, "10.0.2.5", "10.0.2.255"),
        Adapter("tun0", true, "0.0.0.0"),
        Adapter("tun0", true, "255.255.255.255"),
    };
    ASSERT_TRUE(interfaces.Update());
    EXPECT_EQ(Records(interfaces),
              (Lines{"eth0 2 1 10.0.0.1 bc=10.0.0.255", "eth0 2 1 10.0.1.1 bc="}));
    EXPECT_EQ(observer.Take(), (Lines{"+eth0 2 1 10.0.0.1", "+eth0 2 1 10.0.1.1"}));

    EXPECT_FALSE(interfaces.Update()) << "nothing changed";
    EXPECT_TRUE(observer.Take().empty());

    interfaces.adapters[2].up = true;
    EXPECT_TRUE(interfaces.Update());
    EXPECT_EQ(observer.Take(), Lines{"+wlan0 3 2 10.0.2.5"});

    // A new address of the same interface keeps the record and its place.
    EXPECT_TRUE(platform::ParseDottedAddress("10.0.2.6", interfaces.adapters[2].address));
    interfaces.adapters[2].broadcast = 0;
    EXPECT_TRUE(interfaces.Update());
    EXPECT_EQ(observer.Take(), (Lines{"-wlan0 3 2 10.0.2.5", "+wlan0 3 2 10.0.2.6"}));
    EXPECT_EQ(Records(interfaces)[2], "wlan0 3 2 10.0.2.6 bc=");

    interfaces.adapters[0].up = false;
    interfaces.adapters[1].up = false;
    EXPECT_TRUE(interfaces.Update());
    EXPECT_EQ(observer.Take(), (Lines{"-eth0 2 1 10.0.0.1", "-eth0 2 1 10.0.1.1"}));
    EXPECT_EQ(Records(interfaces), Lines{"wlan0 3 2 10.0.2.6 bc="});

    interfaces.failRead = true;  // a failed read changes nothing
    EXPECT_FALSE(interfaces.Update());
    EXPECT_EQ(interfaces.GetCount(), 1);
}

TEST(NetworkInterfaces, DisabledRefreshAndReadersOutsideTheList) {
    ScriptedInterfaces interfaces;
    interfaces.adapters = {Adapter("eth0", true, "10.0.0.1", "10.0.0.255")};
    EXPECT_EQ(interfaces.SetEnabled(0), 1) << "made enabled";
    EXPECT_FALSE(interfaces.Refresh());
    EXPECT_EQ(interfaces.reads, 0);
    EXPECT_EQ(interfaces.SetEnabled(1), 0);
    EXPECT_TRUE(interfaces.Refresh());
    for (const int32_t index : {-1, 1, INT32_MIN}) {
        EXPECT_EQ(Describe(interfaces.GetName(index), interfaces.GetType(index),
                           interfaces.GetRank(index), interfaces.GetAddress(index)),
                  " 0 -1 ")
            << index;
        EXPECT_EQ(interfaces.GetBroadcastAddress(index) + interfaces.GetReservedAddress(index), "");
    }
}

// ---- The machine's own interfaces, in a network namespace of the test's own ----

// Updates until the observer has told `expected` (in any order: the kernel may show
// carrier and address changes in separate updates), then checks that no more follows.
void ExpectChanges(WindowsNetworkInterfaces& interfaces, RecordingObserver& observer,
                   const std::multiset<std::string>& expected, const char* step) {
    std::multiset<std::string> told;
    for (int i = 0; i < 500 && told != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(i == 0 ? 0 : 10));
        interfaces.Update();
        for (const std::string& change : observer.Take()) {
            told.insert(change);
        }
    }
    EXPECT_EQ(told, expected) << step;
    EXPECT_FALSE(interfaces.Update()) << step << ": a further update found more";
    EXPECT_TRUE(observer.Take().empty()) << step;
}

TEST(NetworkInterfacesNamespace, ObserverSeesExactlyTheChanges) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    using test_support::Ip;
    WindowsNetworkInterfaces interfaces(nullptr);
    RecordingObserver observer(interfaces);
    interfaces.Update();
    ASSERT_EQ(interfaces.GetCount(), 0) << "a new namespace has only its loopback, down";
    Ip("link set lo up");
    ExpectChanges(interfaces, observer, {"+lo 1 0 127.0.0.1"}, "loopback up");

    // One veth per rank; only the named end gets an address. ppp0's has no broadcast and
    // follows wlan0's, which has one.
    const char* names[] = {"eth1", "wlan0", "ppp0", "tun0", "rmnet0"};
    for (int i = 0; i < 5; ++i) {
        test_support::AddVeth(
            names[i], "peer" + std::to_string(i + 1),
            "10.200." + std::to_string(i + 1) + ".1/" + (i == 2 ? "32" : "24 brd +"));
    }
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    ExpectChanges(interfaces, observer,
                  {"+eth1 2 1 10.200.1.1", "+wlan0 3 2 10.200.2.1", "+ppp0 4 7 10.200.3.1",
                   "+tun0 5 6 10.200.4.1", "+rmnet0 4 7 10.200.5.1"},
                  "veths up");
    const Lines records = Records(interfaces);
    EXPECT_NE(std::find(records.begin(), records.end(), "eth1 2 1 10.200.1.1 bc=10.200.1.255"),
              records.end());
    EXPECT_NE(std::find(records.begin(), records.end(), "ppp0 4 7 10.200.3.1 bc="), records.end());

    Ip("addr add 10.200.1.2/24 dev eth1 label eth1:1");
    ExpectChanges(interfaces, observer, {"+eth1 2 1 10.200.1.2"}, "alias address added");
    Ip("addr del 10.200.2.1/24 dev wlan0");
    ExpectChanges(interfaces, observer, {"-wlan0 3 2 10.200.2.1"}, "address removed");
    Ip("link set tun0 down");
    ExpectChanges(interfaces, observer, {"-tun0 5 6 10.200.4.1"}, "link down");
    Ip("link del rmnet0");
    ExpectChanges(interfaces, observer, {"-rmnet0 4 7 10.200.5.1"}, "veth deleted");
    Ip("link set peer3 down");  // up but without carrier is not running
    ExpectChanges(interfaces, observer, {"-ppp0 4 7 10.200.3.1"}, "peer down");
    EXPECT_EQ(interfaces.GetCount(), 3);  // lo and both addresses of eth1
}

}  // namespace
}  // namespace qav
