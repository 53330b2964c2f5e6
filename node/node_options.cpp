#include "node/node_options.h"

#include <string_view>

#include "core/format.h"

namespace qav {

namespace {

bool ParsePort(std::string_view text, int32_t& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    int32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value > 65535) {
        return false;
    }
    port = value;
    return true;
}

}  // namespace

bool ParseNodeOptions(int argc, const char* const* argv, NodeOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        std::string_view name = argument;
        std::string_view value;
        bool hasValue = false;
        if (const size_t equals = argument.find('='); equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasValue = true;
        }
        int32_t* port = nullptr;
        if (name == "--tcp-port") {
            port = &options.tcpPort;
        } else if (name == "--udp-port") {
            port = &options.udpPort;
        } else {
            error = FormatString("unknown option '%s'", argument);
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = FormatString("option '%s' needs a port number", name);
                return false;
            }
            value = argv[++i];
        }
        if (!ParsePort(value, *port)) {
            error = FormatString("'%s' is not a port number (0 to 65535) for %s", value, name);
            return false;
        }
    }
    return true;
}

const char* GetNodeUsage() {
    return "usage: qav-node [--tcp-port N] [--udp-port N] [--help]\n"
           "  Runs a relay node in the server role: accepts TCP connections on the control\n"
           "  port and datagrams on the UDP port, and prints its log to stdout, one record\n"
           "  per line. Port 0 picks a free port (the chosen ports are printed).\n"
           "  --tcp-port N   TCP control port (default 12654)\n"
           "  --udp-port N   UDP port (default 12655)\n"
           "  Stops cleanly on SIGINT or SIGTERM.\n";
}

}  // namespace qav
