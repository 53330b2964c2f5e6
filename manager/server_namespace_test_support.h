// For tests only: a server in a network namespace of its own, reached from the test's
// namespace over veth pairs. Each pair is one path: "eth1" (Ethernet rank), "wlan1" (WiFi
// rank), each on its own subnet. The server's address 10.9.0.1 sits on the loopback of its
// namespace and is routed over every path; a connection bound to one path's local address
// leaves through that path. A socket stays in the namespace it was made in, whichever
// thread uses it later.
//
// Typical usage (inside a test that runs in a namespace of its own):
//   ServerNamespace space;
//   AddServerAddress(space);
//   AddPath(space, "eth1", "seth1", "10.1.0", 101, 1);
//   std::unique_ptr<AcceptingServer> server;
//   space.Run([&] { server = std::make_unique<AcceptingServer>(); });
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "network/network_namespace_test_support.h"

namespace qav::test_support {

inline constexpr const char* kServerAddress = "10.9.0.1";

// The veth pair `name`/`peer` with `subnet`.1 on the node's side and `subnet`.2 on the
// server's, its own routing table `table` for what leaves from `subnet`.1, and a route to
// the server's address in the main table with `metric`.
inline void AddPath(ServerNamespace& server, const std::string& name, const std::string& peer,
                    const std::string& subnet, int table, int metric) {
    ASSERT_NO_FATAL_FAILURE(MakeVethPair(name, peer));
    Ip("link set " + peer + " netns " + std::to_string(server.ThreadId()));
    server.Run([&] {
        Ip("addr add " + subnet + ".2/24 dev " + peer);
        Ip("link set " + peer + " up");
    });
    Ip("addr add " + subnet + ".1/24 dev " + name);
    Ip("link set " + name + " up");
    ASSERT_TRUE(WaitUntilRunning(name)) << name;
    Ip("rule add from " + subnet + ".1 lookup " + std::to_string(table));
    // While its link is down, what leaves from the path's address goes nowhere rather
    // than over the other path.
    Ip("route add unreachable " + std::string(kServerAddress) + "/32 metric 100 table " +
       std::to_string(table));
    Ip("route add " + std::string(kServerAddress) + "/32 via " + subnet + ".2 dev " + name +
       " table " + std::to_string(table));
    Ip("route add " + std::string(kServerAddress) + "/32 via " + subnet + ".2 dev " + name +
       " metric " + std::to_string(metric));
}

// The routes go with the link, or with the last address of the link; they come back with
// it.
inline void RestoreRoutes(const std::string& name, const std::string& subnet, int table,
                          int metric) {
    ASSERT_TRUE(WaitUntilRunning(name)) << name;
    Ip("route replace " + std::string(kServerAddress) + "/32 via " + subnet + ".2 dev " + name +
       " table " + std::to_string(table));
    Ip("route replace " + std::string(kServerAddress) + "/32 via " + subnet + ".2 dev " + name +
       " metric " + std::to_string(metric));
}

// The server's own address, on the loopback of its namespace.
inline void AddServerAddress(ServerNamespace& space) {
    space.Run([] {
        Ip("addr add " + std::string(kServerAddress) + "/32 dev lo");
        Ip("link set lo up");
    });
}

}  // namespace qav::test_support
