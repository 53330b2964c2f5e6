#include "node/relay_node.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/polling_test_support.h"
#include "core/text_logger.h"
#include "manager/protocol_manager.h"
#include "network/loopback_test_support.h"
#include "node/node_options.h"

namespace qav {
namespace {

using qav::test_support::LoopbackAddress;

using test_support::Eventually;

// Threads of ours still alive (the sanitizers' own threads come and go as they like).
size_t CountPollingThreads() {
    size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            count += name == ProtocolManager::kPollingThreadName;
        }
        closedir(tasks);
    }
    return count;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines) {
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(NodeOptions, ReadsPortsAndRefusesEverythingElse) {
    struct Case {
        std::vector<const char*> arguments;
        bool ok;
        int32_t tcpPort;
        int32_t udpPort;
    };
    const Case cases[] = {
        {{}, true, 12654, 12655},
        {{"--tcp-port", "0", "--udp-port=7"}, true, 0, 7},
        {{"--udp-port", "65535"}, true, 12654, 65535},
        {{"--tcp-port"}, false, 0, 0},
        {{"--tcp-port", "65536"}, false, 0, 0},
        {{"--udp-port=12a"}, false, 0, 0},
        {{"--tcp-port=-1"}, false, 0, 0},
        {{"--verbose"}, false, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"qav-node"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        NodeOptions options;
        std::string error;
        const bool ok =
            ParseNodeOptions(static_cast<int>(argv.size()), argv.data(), options, error);
        const std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
        ASSERT_EQ(ok, c.ok) << label << ": " << error;
        if (ok) {
            EXPECT_EQ(options.tcpPort, c.tcpPort) << label;
            EXPECT_EQ(options.udpPort, c.udpPort) << label;
        } else {
            EXPECT_FALSE(error.empty()) << label;
        }
    }
    NodeOptions options;
    std::string error;
    const char* help[] = {"qav-node", "--help"};
    EXPECT_TRUE(ParseNodeOptions(2, help, options, error));
    EXPECT_TRUE(options.help);
}

TEST(RelayNode, ServesTcpAndUdpThenStopsEveryThread) {
    {
        RelayNode node;
        NodeOptions options;
        options.tcpPort = 0;
        options.udpPort = 0;
        std::string error;
        ASSERT_TRUE(node.Start(options, error)) << error;
        EXPECT_TRUE(Eventually([] { return CountPollingThreads() == 1; }));
        ASSERT_GT(node.GetTcpPort(), 0);
        ASSERT_GT(node.GetUdpPort(), 0);

        // The log sink drops (and counts) a record that finds its lock taken by the thread
        // taking the lines, so traffic is sent again, on a new connection, until every
        // record has got through once.
        const sockaddr_in server = LoopbackAddress(node.GetTcpPort());
        const sockaddr_in listener = LoopbackAddress(node.GetUdpPort());
        const int udp = socket(AF_INET, SOCK_DGRAM, 0);
        std::vector<int> connections;
        std::vector<std::string> lines;
        const auto allLogged = [&] {
            node.TakeLogLines(lines);
            return HasLine(lines, "Status Connection event Event=connected Peer=127.0.0.1") &&
                   HasLine(lines, "Event=data") && HasLine(lines, "Bytes=5") &&
                   HasLine(lines, "Datagram received") && HasLine(lines, "Bytes=8");
        };
        for (int attempt = 0; attempt < 10 && !allLogged(); ++attempt) {
            const int tcp = socket(AF_INET, SOCK_STREAM, 0);
            connections.push_back(tcp);
            ASSERT_EQ(connect(tcp, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
            ASSERT_EQ(send(tcp, "hello", 5, 0), 5);
            ASSERT_EQ(sendto(udp, "datagram", 8, 0, reinterpret_cast<const sockaddr*>(&listener),
                             sizeof listener),
                      8);
            for (int wait = 0; wait < 50 && !allLogged(); ++wait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        EXPECT_TRUE(allLogged());
        // The connection is still open: stopping must close it.
        node.Stop();
        node.Stop();
        for (int tcp : connections) {
            char byte = 0;
            EXPECT_EQ(recv(tcp, &byte, 1, 0), 0);
            close(tcp);
        }
        close(udp);
    }
    // A joined thread may still be listed for a moment after its join.
    EXPECT_TRUE(Eventually([] { return CountPollingThreads() == 0; })) << CountPollingThreads();
}

// The number at the start of `text`, when the text goes on with `rest`; else 0.
int64_t CountIn(const std::string& text, const std::string& rest) {
    const size_t space = text.find(' ');
    return space != std::string::npos && text.compare(space, std::string::npos, rest) == 0
               ? std::atoll(text.c_str())
               : 0;
}

// A burst from several threads, printed as it arrives: every record is printed, or counted
// in a loss or drop report that the printer prints.
TEST(RelayNode, PrintsEveryRecordOrReportsItsLoss) {
    constexpr int kThreads = 5, kPerThread = 1000;
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        RelayNode node;
        NodeOptions options;
        options.tcpPort = 0;
        options.udpPort = 0;
        std::string error;
        ASSERT_TRUE(node.Start(options, error)) << error;
        ASSERT_TRUE(node.StartLogPrinter(fileno(out)));
        EXPECT_FALSE(node.StartLogPrinter(fileno(out))) << "one printer at a time";
        TextLogger* logger = GetTextLogger();
        ASSERT_NE(logger, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([logger, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    logger->LogFormat(kSeverityWarning, "burst %d.%d", t, i);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        node.Stop();
    }
    std::rewind(out);
    int64_t printed = 0, lost = 0, dropped = 0;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, out) != nullptr) {
        const std::string line(buffer);
        printed += line.rfind("Warning burst ", 0) == 0;
        const std::string text = line.substr(line.find(' ') + 1);
        lost += CountIn(text, " messages could not be logged\n") +
                CountIn(text, " message could not be logged\n");
        dropped += CountIn(text, " log records were dropped\n");
    }
    std::fclose(out);
    EXPECT_GT(printed, 0);
    EXPECT_EQ(printed + lost + dropped, kThreads * kPerThread)
        << printed << " printed, " << lost << " lost, " << dropped << " dropped";

    // Records pushed out of a full log are counted on a line before the rest.
    RelayNode node;
    NodeOptions options;
    options.tcpPort = 0;
    options.udpPort = 0;
    std::string error;
    ASSERT_TRUE(node.Start(options, error)) << error;
    for (int i = 0; i < RelayNode::kLogLimit + 3; ++i) {
        GetTextLogger()->LogFormat(kSeverityWarning, "record %d", i);
    }
    std::vector<std::string> lines;
    node.TakeLogLines(lines);
    ASSERT_EQ(lines.size(), static_cast<size_t>(RelayNode::kLogLimit) + 1);
    EXPECT_EQ(lines[0], "Warning 3 log records were dropped");
    EXPECT_EQ(lines[1], "Warning record 3");
}

TEST(RelayNode, ATakenPortFailsClearlyAndLeavesNothingRunning) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackAddress(0);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin_port);

    {
        RelayNode node;
        NodeOptions options;
        options.tcpPort = port;
        options.udpPort = 0;
        std::string error;
        EXPECT_FALSE(node.Start(options, error));
        EXPECT_NE(error.find("TCP port " + std::to_string(port)), std::string::npos) << error;
    }
    // A joined thread may still be listed for a moment after its join.
    EXPECT_TRUE(Eventually([] { return CountPollingThreads() == 0; })) << CountPollingThreads();
    close(taken);
}

}  // namespace
}  // namespace qav
