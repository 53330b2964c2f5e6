// The command line of qav-node.
#pragma once

#include <cstdint>
#include <string>

namespace qav {

struct NodeOptions {
    static constexpr int32_t kDefaultTcpPort = 12654;
    static constexpr int32_t kDefaultUdpPort = 12655;
    // Where the user's password comes from: never the command line, which every user of
    // the machine can read.
    static constexpr const char* kPasswordVariable = "QAV_PASSWORD";

    int32_t tcpPort = kDefaultTcpPort;
    int32_t udpPort = kDefaultUdpPort;
    bool help = false;

    // The node as a client: the server to keep a connection to (dotted address or host
    // name; empty: none), its ports, whether every local address carries a connection,
    // and the user it identifies (empty: none) with the password.
    std::string connect;
    int32_t serverTcpPort = kDefaultTcpPort;
    int32_t serverUdpPort = kDefaultUdpPort;
    bool allPaths = false;
    std::string user;
    std::string password;
};

// Reads "--tcp-port N", "--udp-port N", "--connect HOST", "--server-tcp-port N",
// "--server-udp-port N", "--user NAME" (each also as "--name=value"), "--all-paths" and
// "--help"; with "--user", the password is the environment variable QAV_PASSWORD, which
// must be set (to an empty text for an empty password). False with a one-line `error`
// for anything else, a missing value or one that begins with "--" ("--connect needs a
// host"), an option given twice ("--tcp-port is given twice"; only "--help" may repeat),
// a port outside 0 to 65535 (1 to 65535 for the server's), a host that is not a dotted
// address or a name, "--user" without the variable, or a client option without
// "--connect" (the error names the option).
bool ParseNodeOptions(int argc, const char* const* argv, NodeOptions& options, std::string& error);

const char* GetNodeUsage();

}  // namespace qav
