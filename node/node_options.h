// The command line of qav-node.
#pragma once

#include <cstdint>
#include <string>

namespace qav {

struct NodeOptions {
    static constexpr int32_t kDefaultTcpPort = 12654;
    static constexpr int32_t kDefaultUdpPort = 12655;

    int32_t tcpPort = kDefaultTcpPort;
    int32_t udpPort = kDefaultUdpPort;
    bool help = false;
};

// Reads "--tcp-port N", "--udp-port N" (also "--tcp-port=N") and "--help". False with a
// one-line `error` for anything else, a missing value or a port outside 0 to 65535.
bool ParseNodeOptions(int argc, const char* const* argv, NodeOptions& options, std::string& error);

const char* GetNodeUsage();

}  // namespace qav
