// The node as a client of a server: its options, the lines it prints about its
// connection, and two programs on one machine, a server and a client that follows it
// through a restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/xml_document.h"
#include "manager/manager_test_support.h"
#include "node/connection_state_lines.h"
#include "node/node_options.h"
#include "node/node_process_test_support.h"
#include "node/relay_node.h"
#include "records/monitor_identification.h"

namespace qav {
namespace {

using test_support::NodeProcess;

bool Parse(std::vector<const char*> arguments, NodeOptions& options, std::string& error) {
    arguments.insert(arguments.begin(), "qav-node");
    return ParseNodeOptions(static_cast<int>(arguments.size()), arguments.data(), options, error);
}

TEST(NodeClientOptions, ReadTheServerItsPortsAndTheUserAndRefuseTheRest) {
    ::setenv(NodeOptions::kPasswordVariable, "s3cret word", 1);
    NodeOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--connect", "relay.example-1.net", "--server-tcp-port=2000",
                       "--server-udp-port", "2001", "--all-paths", "--user", "joe"},
                      options, error))
        << error;
    EXPECT_EQ(options.connect, "relay.example-1.net");
    EXPECT_EQ(options.serverTcpPort, 2000);
    EXPECT_EQ(options.serverUdpPort, 2001);
    EXPECT_TRUE(options.allPaths);
    EXPECT_EQ(options.user, "joe");
    EXPECT_EQ(options.password, "s3cret word") << "the password comes from the environment";
    EXPECT_EQ(options.tcpPort, 12654) << "the node's own server role keeps its ports";

    NodeOptions defaults;
    ASSERT_TRUE(Parse({"--connect=192.0.2.7"}, defaults, error)) << error;
    EXPECT_EQ(defaults.serverTcpPort, 12654);
    EXPECT_EQ(defaults.serverUdpPort, 12655);
    EXPECT_FALSE(defaults.allPaths);
    EXPECT_TRUE(defaults.user.empty());
    EXPECT_TRUE(defaults.password.empty()) << "no user, no password";
    // A password meant to be empty is set empty; one that is not set at all is refused,
    // by the name of the variable, rather than sent empty.
    ::setenv(NodeOptions::kPasswordVariable, "", 1);
    NodeOptions emptyPassword;
    ASSERT_TRUE(Parse({"--connect", "192.0.2.7", "--user", "joe"}, emptyPassword, error)) << error;
    EXPECT_EQ(emptyPassword.user, "joe");
    EXPECT_TRUE(emptyPassword.password.empty());
    ::unsetenv(NodeOptions::kPasswordVariable);
    NodeOptions noPassword;
    EXPECT_FALSE(Parse({"--connect", "192.0.2.7", "--user", "joe"}, noPassword, error));
    EXPECT_NE(error.find("QAV_PASSWORD="), std::string::npos) << error;

    // A client option without --connect names itself and what it is missing.
    const std::vector<std::pair<std::vector<const char*>, std::string>> withoutServer = {
        {{"--user", "joe"}, "--user needs --connect HOST"},
        {{"--all-paths", "--user", "joe"}, "--all-paths needs --connect HOST"},
        {{"--server-tcp-port", "2000"}, "--server-tcp-port needs --connect HOST"},
        {{"--tcp-port", "0", "--server-udp-port=2001"}, "--server-udp-port needs --connect HOST"},
    };
    for (const auto& [arguments, expected] : withoutServer) {
        NodeOptions refusedOptions;
        EXPECT_FALSE(Parse(arguments, refusedOptions, error)) << expected;
        EXPECT_EQ(error, expected);
    }

    const std::vector<std::vector<const char*>> refused = {
        {"--connect"},
        {"--connect", ""},
        {"--connect", "a..b"},
        {"--connect", "host name"},
        {"--connect", "host;rm"},
        {"--connect", "192.0.2.7", "--server-tcp-port", "0"},
        {"--connect", "192.0.2.7", "--server-udp-port", "65536"},
        {"--connect", "192.0.2.7", "--user"},
        {"--connect", "192.0.2.7", "--user="},
        {"--connect", "192.0.2.7", "--password", "x"},
        {"--user", "joe"},
        {"--all-paths"},
    };
    for (const std::vector<const char*>& arguments : refused) {
        NodeOptions refusedOptions;
        std::string text;
        for (const char* argument : arguments) {
            text += std::string(argument) + " ";
        }
        EXPECT_FALSE(Parse(arguments, refusedOptions, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        error.clear();
    }
}

// A value is never an option: the option before it had its value forgotten. And each
// option comes once, so that no value silently beats another.
TEST(NodeClientOptions, RefuseAnOptionForAValueAndAnOptionGivenTwice) {
    ::setenv(NodeOptions::kPasswordVariable, "x", 1);
    const std::vector<std::pair<std::vector<const char*>, std::string>> refused = {
        {{"--connect", "--all-paths"}, "--connect needs a host"},
        {{"--connect=--all-paths"}, "--connect needs a host"},
        {{"--connect", "h", "--user", "--all-paths"}, "--user needs a user name"},
        {{"--tcp-port", "--udp-port", "7"}, "--tcp-port needs a port number"},
        {{"--connect", "h", "--server-udp-port", "--user"},
         "--server-udp-port needs a port number"},
        {{"--udp-port"}, "--udp-port needs a port number"},
        {{"--connect", "a", "--connect", "b"}, "--connect is given twice"},
        {{"--tcp-port=1", "--tcp-port", "1"}, "--tcp-port is given twice"},
        {{"--connect", "h", "--all-paths", "--all-paths"}, "--all-paths is given twice"},
        {{"--connect", "h", "--user", "joe", "--user=ann"}, "--user is given twice"},
    };
    for (const auto& [arguments, expected] : refused) {
        NodeOptions options;
        std::string error;
        EXPECT_FALSE(Parse(arguments, options, error)) << expected;
        EXPECT_EQ(error, expected);
    }
    // A value may still hold dashes, and asking twice for help is asking for help.
    NodeOptions options;
    std::string error;
    EXPECT_TRUE(
        Parse({"--connect", "relay-1.example", "--user", "-joe-", "--help", "-h"}, options, error))
        << error;
    EXPECT_EQ(options.user, "-joe-");
    EXPECT_TRUE(options.help);
    ::unsetenv(NodeOptions::kPasswordVariable);
}

TEST(NodeClientOptions, ConnectionLinesNameTheServerThePathAndItsRank) {
    EXPECT_EQ(ConnectionStateLines::FormatLine("relay.example", true, "10.0.0.2", u"eth1", 1),
              "connected to relay.example via 10.0.0.2 (interface eth1, priority 1)");
    EXPECT_EQ(ConnectionStateLines::FormatLine("192.0.2.7", false, "", u"", 2),
              "disconnected from 192.0.2.7 via unknown (interface unknown, priority 2)");
    EXPECT_EQ(ConnectionStateLines::FormatLine("h", true, "10.0.0.2", u"w\nx", 5),
              "connected to h via 10.0.0.2 (interface w x, priority 5)");
}

// In-process: the lines go where the node is told, and a stop ends the client role too.
TEST(NodeClient, TellsItsLinesToItsSinkAndStopsWithTheConnection) {
    test_support::AcceptingServer server;
    std::mutex mutex;
    std::vector<std::string> lines;
    {
        RelayNode node;
        node.SetConnectionLineSink([&](const std::string& line) {
            std::lock_guard<std::mutex> hold(mutex);
            lines.push_back(line);
        });
        NodeOptions options;
        options.tcpPort = 0;
        options.udpPort = 0;
        options.connect = "127.0.0.1";
        options.serverTcpPort = server.port;
        std::string error;
        ASSERT_TRUE(node.Start(options, error)) << error;
        EXPECT_TRUE(test_support::WaitUntil([&] {
            std::lock_guard<std::mutex> hold(mutex);
            return !lines.empty() &&
                   lines.back() ==
                       "connected to 127.0.0.1 via 127.0.0.1 (interface lo, priority 0)";
        }));
        EXPECT_TRUE(test_support::WaitUntil([&] { return server.OpenFrom("127.0.0.1") == 1; }));
        node.Stop();
        EXPECT_TRUE(test_support::WaitUntil([&] { return server.AllClosed(); }))
            << "the stop leaves the connection to the server open";
    }
    // The stop ends the path, and says so once.
    std::lock_guard<std::mutex> hold(mutex);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "connected to 127.0.0.1 via 127.0.0.1 (interface lo, priority 0)",
                         "disconnected from 127.0.0.1 via 127.0.0.1 (interface lo, priority 0)"}));
}

// Without a sink of its own, the node puts its lines in its log, in their place among the
// records: no line is written from the polling thread.
TEST(NodeClient, PutsItsLinesInItsLog) {
    test_support::AcceptingServer server;
    RelayNode node;
    NodeOptions options;
    options.tcpPort = 0;
    options.udpPort = 0;
    options.connect = "127.0.0.1";
    options.serverTcpPort = server.port;
    std::string error;
    ASSERT_TRUE(node.Start(options, error)) << error;
    std::vector<std::string> lines;
    const std::string connected = "connected to 127.0.0.1 via 127.0.0.1 (interface lo, priority 0)";
    EXPECT_TRUE(test_support::WaitUntil([&] {
        node.TakeLogLines(lines);
        return std::find(lines.begin(), lines.end(), connected) != lines.end();
    })) << "the line never reached the log";
    node.Stop();
}

int ServerPort(NodeProcess& node, const char* kind) {
    if (!node.WaitFor(" UDP port ") || !node.WaitFor("\n")) {
        return -1;
    }
    return node.NumberAfter(std::string(kind) + " port ");
}

std::string IdentificationText() {
    MonitorIdentification identification;
    identification.m_userName = u"joe";
    identification.m_password = u"secret";
    XmlDocument document;
    identification.WriteXml(document.CreateRoot(u"qav:Message", kQavNamespaceUri));
    std::string text;
    document.SaveToString(text);
    return text;
}

// Two nodes on one machine: the client keeps its own server role on its own ports, finds
// its server, identifies its user, follows the server's stop and comes back to it when it
// is started again on the same port.
TEST(NodeClient, FollowsItsServerThroughARestartAndStopsCleanly) {
    NodeProcess server({"--tcp-port", "0", "--udp-port", "0"});
    const int tcpPort = ServerPort(server, "TCP");
    const int udpPort = ServerPort(server, "UDP");
    ASSERT_GT(tcpPort, 0) << server.Text();
    ASSERT_GT(udpPort, 0) << server.Text();

    NodeProcess client(
        {"--tcp-port", "0", "--udp-port", "0", "--connect", "127.0.0.1", "--server-tcp-port",
         std::to_string(tcpPort), "--server-udp-port", std::to_string(udpPort), "--user", "joe"},
        {std::string(NodeOptions::kPasswordVariable) + "=secret"});
    // The loopback address is the best path to a server on this machine.
    const std::string connected = "connected to 127.0.0.1 via 127.0.0.1 (interface lo, priority 0)";
    ASSERT_TRUE(client.WaitFor(connected, std::chrono::seconds(20))) << client.Text();
    EXPECT_GT(ServerPort(client, "TCP"), 0);
    EXPECT_NE(ServerPort(client, "TCP"), tcpPort);

    // The identification arrives whole; its record may be the one the busy log drops, so
    // either run of the server may show it.
    const std::string bytes = "Bytes=" + std::to_string(IdentificationText().size());
    EXPECT_TRUE(server.WaitFor("Event=connected Peer=127.0.0.1", std::chrono::seconds(5)))
        << server.Text();
    bool identified = server.WaitFor(bytes, std::chrono::seconds(3));

    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(), 0) << server.Text();
    ASSERT_TRUE(
        client.WaitFor("disconnected from 127.0.0.1 via 127.0.0.1 (interface lo, "
                       "priority 0)",
                       std::chrono::seconds(10)))
        << client.Text();
    // It keeps trying while nothing answers.
    EXPECT_TRUE(client.WaitFor("Automatic connection retrying", std::chrono::seconds(10)))
        << client.Text();

    NodeProcess again(
        {"--tcp-port", std::to_string(tcpPort), "--udp-port", std::to_string(udpPort)});
    ASSERT_EQ(ServerPort(again, "TCP"), tcpPort) << again.Text();
    EXPECT_TRUE(client.WaitForCount(connected, 2, std::chrono::seconds(30))) << client.Text();
    identified = identified || again.WaitFor(bytes, std::chrono::seconds(5));
    EXPECT_TRUE(identified) << "the identification (" << bytes << ") never reached a server:\n"
                            << server.Text() << again.Text();
    EXPECT_EQ(client.Text().find("secret"), std::string::npos) << "the password is printed";

    client.Signal(SIGTERM);
    again.Signal(SIGTERM);
    EXPECT_EQ(client.Wait(), 0) << client.Text();
    EXPECT_EQ(again.Wait(), 0) << again.Text();
}

}  // namespace
}  // namespace qav
