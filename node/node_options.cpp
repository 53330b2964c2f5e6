#include "node/node_options.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "core/format.h"
#include "core/text_utils.h"

namespace qav {

namespace {

bool ParsePort(std::string_view text, int32_t& port) {
    const DigitsRead read = ReadDigits(text, 10);
    if (read.count == 0 || read.count != text.size() || read.value > 65535) {
        return false;
    }
    port = static_cast<int32_t>(read.value);
    return true;
}

// A dotted address or a host name: letters, digits, '-' and '.', at most 253 characters,
// no empty label. Anything else never reaches the resolver.
bool IsHostText(std::string_view text) {
    if (text.empty() || text.size() > 253 || text.front() == '.' || text.back() == '.' ||
        text.find("..") != std::string_view::npos) {
        return false;
    }
    for (const char c : text) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseNodeOptions(int argc, const char* const* argv, NodeOptions& options, std::string& error) {
    // The first option given that only a client has, to name it when --connect is missing.
    std::string_view clientOption;
    // Each option at most once: with two values, neither "the first wins" nor "the last
    // wins" is what every caller expects, and a script's default would silently beat, or
    // be beaten by, the value meant to replace it.
    std::vector<std::string_view> given;
    const auto givenTwice = [&](std::string_view name) {
        if (std::find(given.begin(), given.end(), name) != given.end()) {
            error = FormatString("%s is given twice", name);
            return true;
        }
        given.push_back(name);
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--all-paths") {
            if (givenTwice(argument)) {
                return false;
            }
            options.allPaths = true;
            if (clientOption.empty()) {
                clientOption = argument;
            }
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
        int32_t lowestPort = 0;
        std::string* text = nullptr;
        if (name == "--tcp-port") {
            port = &options.tcpPort;
        } else if (name == "--udp-port") {
            port = &options.udpPort;
        } else if (name == "--server-tcp-port") {
            port = &options.serverTcpPort;
            lowestPort = 1;
        } else if (name == "--server-udp-port") {
            port = &options.serverUdpPort;
            lowestPort = 1;
        } else if (name == "--connect" || name == "--user") {
            text = name == "--connect" ? &options.connect : &options.user;
        } else {
            error = FormatString("unknown option '%s'", argument);
            return false;
        }
        if (givenTwice(name)) {
            return false;
        }
        if (name != "--tcp-port" && name != "--udp-port" && name != "--connect" &&
            clientOption.empty()) {
            clientOption = name;
        }
        if (!hasValue && i + 1 < argc) {
            value = argv[++i];
            hasValue = true;
        }
        // A value that looks like an option is an option whose value was forgotten:
        // "--connect --all-paths" names no host "--all-paths".
        if (!hasValue || value.substr(0, 2) == "--") {
            error = FormatString("%s needs %s", name,
                                 port != nullptr       ? "a port number"
                                 : name == "--connect" ? "a host"
                                                       : "a user name");
            return false;
        }
        if (port != nullptr) {
            if (!ParsePort(value, *port) || *port < lowestPort) {
                error = FormatString("'%s' is not a port number (%d to 65535) for %s", value,
                                     lowestPort, name);
                return false;
            }
        } else if (name == "--connect" && !IsHostText(value)) {
            error =
                FormatString("'%s' is not a dotted address or a host name for --connect", value);
            return false;
        } else if (name == "--user" && (value.empty() || value.size() > 256)) {
            error = "--user needs a name of 1 to 256 bytes";
            return false;
        } else {
            text->assign(value);
        }
    }
    if (options.connect.empty() && !clientOption.empty()) {
        error = FormatString("%s needs --connect HOST", clientOption);
        return false;
    }
    options.password.clear();
    if (!options.user.empty()) {
        // An unset variable is a forgotten password far more often than an empty one, which
        // is set as "QAV_PASSWORD=".
        const char* password = std::getenv(NodeOptions::kPasswordVariable);
        if (password == nullptr) {
            error = FormatString(
                "--user needs the password in the environment variable %s; set %s= for an "
                "empty one",
                NodeOptions::kPasswordVariable, NodeOptions::kPasswordVariable);
            return false;
        }
        options.password = password;
    }
    return true;
}

const char* GetNodeUsage() {
    return "usage: qav-node [--tcp-port N] [--udp-port N] [--connect HOST [--server-tcp-port N]\n"
           "                [--server-udp-port N] [--all-paths] [--user NAME]] [--help]\n"
           "  Runs a relay node in the server role: accepts TCP connections on the control\n"
           "  port and datagrams on the UDP port, and prints its log to stdout, one record\n"
           "  per line. Port 0 picks a free port (the chosen ports are printed).\n"
           "  --tcp-port N          TCP control port (default 12654)\n"
           "  --udp-port N          UDP port (default 12655)\n"
           "  With --connect the node also keeps a connection to the server HOST (dotted\n"
           "  address or name) through its best local address, and prints a line each time\n"
           "  it connects or loses it.\n"
           "  --server-tcp-port N   the server's TCP port (default 12654)\n"
           "  --server-udp-port N   the server's UDP port (default 12655)\n"
           "  --all-paths           connect through every local address at once\n"
           "  --user NAME           identify as NAME; the password is taken from the\n"
           "                        environment variable QAV_PASSWORD, which must be set\n"
           "                        (QAV_PASSWORD= for an empty password)\n"
           "  Stops cleanly on SIGINT, SIGTERM or SIGHUP.\n";
}

}  // namespace qav
