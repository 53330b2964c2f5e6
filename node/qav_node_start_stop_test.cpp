// The program's start and stop at their edges, run as an operator would: the line that
// says it has started, standard descriptors it was started without, an output whose reader
// went away, a hang-up, and command lines that give an option twice or not its value.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/polling_test_support.h"
#include "network/loopback_test_support.h"
#include "node/node_process_test_support.h"

namespace {

using qav::test_support::Eventually;
using qav::test_support::LoopbackAddress;
using qav::test_support::NodeProcess;
using qav::test_support::NodeStart;

// What each open descriptor of the process points at ("/dev/null", "pipe:[...]",
// "anon_inode:[eventfd]"), by number.
std::map<int, std::string> Descriptors(pid_t pid) {
    std::map<int, std::string> targets;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code linkError;
        targets[std::stoi(entry.path().filename().string())] =
            std::filesystem::read_symlink(entry.path(), linkError).string();
    }
    return targets;
}

// Descriptors that are neither files nor sockets (eventfds, an epoll set): the node makes
// them as it starts, and then keeps them. Sockets come and go (a look at the addresses
// opens one for a moment), so they are left out.
long AnonymousDescriptors(pid_t pid) {
    const std::map<int, std::string> targets = Descriptors(pid);
    return std::count_if(targets.begin(), targets.end(), [](const auto& entry) {
        return entry.second.rfind("anon_inode:", 0) == 0;
    });
}

// Waits until the UDP socket on `port` of this network namespace has nothing left to
// read (/proc/net/udp: its receive queue, in hexadecimal after the local address).
bool AllRead(int port) {
    char portText[8];
    std::snprintf(portText, sizeof portText, ":%04X ", port);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::ifstream table("/proc/net/udp");
        std::string slot, local, remote, state, queues, rest;
        bool queued = false;
        while (table >> slot >> local >> remote >> state >> queues && std::getline(table, rest)) {
            queued = queued || ((local + " ").find(portText) != std::string::npos &&
                                queues.substr(queues.find(':') + 1) != "00000000");
        }
        if (!queued) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The ports of the first line, once it is whole; -1 each when it never came.
std::pair<int, int> Ports(NodeProcess& node) {
    if (!node.WaitFor(" UDP port ") || !node.WaitFor("\n")) {
        return {-1, -1};
    }
    return {node.NumberAfter("TCP port "), node.NumberAfter("UDP port ")};
}

// "listening" is the node's first line, and once it is out the node has started whole:
// its printer runs and every descriptor of the start is open. Each start is one draw of a
// race that the node used to lose about every other time.
TEST(QavNodeStart, SaysItListensOnlyOnceItHasStartedWhole) {
    constexpr int kStarts = 30;
    for (int start = 0; start < kStarts; ++start) {
        NodeProcess node({"--tcp-port", "0", "--udp-port", "0"});
        const auto [tcpPort, udpPort] = Ports(node);
        ASSERT_GT(udpPort, 0) << node.Text();
        // At once, before anything else can change.
        const bool printerRan = node.HasThread("LogPrinter");
        const long atTheLine = AnonymousDescriptors(node.Pid());
        EXPECT_EQ(node.Text().rfind("qav-node: listening on TCP port ", 0), 0u) << node.Text();
        EXPECT_TRUE(printerRan) << "start " << start << ": the printer did not run yet";

        // A record printed later proves the printer at work; the start's descriptors are
        // all there by then.
        const int udp = socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in listener = LoopbackAddress(udpPort);
        bool logged = false;
        for (int attempt = 0; attempt < 25 && !logged; ++attempt) {
            sendto(udp, "x", 1, 0, reinterpret_cast<const sockaddr*>(&listener), sizeof listener);
            logged = node.WaitFor("Datagram received", std::chrono::milliseconds(200));
        }
        close(udp);
        ASSERT_TRUE(logged) << node.Text();
        EXPECT_EQ(atTheLine, AnonymousDescriptors(node.Pid()))
            << "start " << start << ": descriptors were still being made at the line";
        node.Signal(SIGTERM);
        ASSERT_EQ(node.Wait(), 0) << node.Text();
    }
}

// Started with stdin and stdout closed, the node opens /dev/null on them before anything
// else takes their numbers, so its log goes nowhere rather than into an eventfd.
TEST(QavNodeStart, FillsClosedStandardDescriptorsWithDevNull) {
    NodeStart start;
    start.closed = {STDIN_FILENO, STDOUT_FILENO};
    NodeProcess node({"--tcp-port", "0", "--udp-port", "0"}, {}, start);
    // Its stdout, where "listening" would say so, is gone: the printer's thread tells.
    ASSERT_TRUE(Eventually([&] { return node.HasThread("LogPrinter"); }))
        << "the node did not start\n"
        << node.Text();
    std::map<int, std::string> targets = Descriptors(node.Pid());
    EXPECT_EQ(targets[STDIN_FILENO], "/dev/null");
    EXPECT_EQ(targets[STDOUT_FILENO], "/dev/null");
    EXPECT_EQ(targets[STDERR_FILENO].rfind("pipe:", 0), 0u) << targets[STDERR_FILENO];
    node.Signal(SIGTERM);
    EXPECT_EQ(node.Wait(), 0) << node.Text();
    node.ReadAvailable();
    EXPECT_EQ(node.Text(), "") << "stderr tells of a fault";
}

// "qav-node | head -c 100": the reader leaves after the first bytes, and everything
// printed after that is lost. The stop says how much, in one line on stderr, and the exit
// status stays that of a stop by signal.
TEST(QavNodeStop, CountsTheLinesItsOutputLostInOneLineOnStderr) {
    NodeStart start;
    start.errorsApart = true;
    NodeProcess node({"--tcp-port", "0", "--udp-port", "0"}, {}, start);
    const auto [tcpPort, udpPort] = Ports(node);
    ASSERT_GT(udpPort, 0) << node.Text();
    node.CloseOutput();

    // One record each, in batches that the node takes in before the next comes, so that
    // the kernel drops none of them.
    constexpr int kDatagrams = 20000;
    constexpr int kBatch = 100;
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in listener = LoopbackAddress(udpPort);
    for (int sent = 0; sent < kDatagrams; sent += kBatch) {
        for (int i = 0; i < kBatch; ++i) {
            sendto(udp, "x", 1, 0, reinterpret_cast<const sockaddr*>(&listener), sizeof listener);
        }
        ASSERT_TRUE(AllRead(udpPort)) << "the node stopped taking datagrams in after " << sent;
    }
    close(udp);

    node.Signal(SIGTERM);
    int status = -2;
    ASSERT_TRUE(node.WaitForExit(std::chrono::seconds(5), status));
    EXPECT_EQ(status, 0);
    const std::string errors = node.ReadErrors();
    std::smatch count;
    ASSERT_TRUE(
        std::regex_match(errors, count, std::regex("qav-node: ([0-9]+) output lines lost\n")))
        << "not one line that counts the lost lines: \"" << errors << "\"";
    // Every record after the reader left is lost: as many as the datagrams, but for those
    // the log dropped when it held more than its 10000 (one line counts those).
    const long long lost = std::stoll(count[1].str());
    std::printf("%lld output lines lost of %d records\n", lost, kDatagrams);
    EXPECT_GE(lost, 10000) << errors;
    EXPECT_LE(lost, kDatagrams + 20) << errors;
}

// A hang-up (a closed terminal, a supervisor) stops the node as SIGTERM does: the sockets
// close, what was logged up to the end is printed, and the exit status is 0. Started with
// the hang-up ignored, as nohup starts it, the node keeps ignoring it.
TEST(QavNodeStop, AHangUpStopsLikeSigterm) {
    for (const int signal : {SIGTERM, SIGHUP}) {
        NodeProcess node({"--tcp-port", "0", "--udp-port", "0"});
        const auto [tcpPort, udpPort] = Ports(node);
        ASSERT_GT(tcpPort, 0) << node.Text();
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in server = LoopbackAddress(tcpPort);
        ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
        node.Signal(signal);
        int status = -2;
        EXPECT_TRUE(node.WaitForExit(std::chrono::seconds(5), status));
        EXPECT_EQ(status, 0) << "signal " << signal << "\n" << node.Text();
        node.WaitFor("qav-node: stopped\n");
        const std::string& text = node.Text();
        // Queued by the signal's wait, and logged by the stop itself: both printed.
        const size_t stopping = text.find("qav-node: stopping on signal " + std::to_string(signal));
        EXPECT_NE(stopping, std::string::npos) << text;
        EXPECT_NE(text.find("Disconnecting main server", stopping), std::string::npos) << text;
        EXPECT_TRUE(text.ends_with("\nqav-node: stopped\n")) << text;
        // Closed, or reset when the stop came before the node had taken it in.
        char byte = 0;
        const ssize_t got = recv(client, &byte, 1, 0);
        EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET))
            << "the node left its client connected";
        close(client);
    }

    NodeStart nohup;
    nohup.hangUpIgnored = true;
    NodeProcess node({"--tcp-port", "0", "--udp-port", "0"}, {}, nohup);
    ASSERT_GT(Ports(node).first, 0) << node.Text();
    // A hang-up the node took would be taken first: the lower signal is delivered first.
    node.Signal(SIGHUP);
    node.Signal(SIGTERM);
    int status = -2;
    EXPECT_TRUE(node.WaitForExit(std::chrono::seconds(5), status));
    EXPECT_EQ(status, 0) << node.Text();
    node.WaitFor("qav-node: stopped\n");
    EXPECT_NE(node.Text().find("qav-node: stopping on signal 15"), std::string::npos)
        << node.Text();
}

// An option whose value was forgotten takes the next option for it no more, and an option
// given twice is refused rather than one of its values silently winning.
TEST(QavNodeStart, RefusesAMissingValueAndARepeatedOption) {
    const struct {
        std::vector<std::string> arguments;
        std::string line;
    } cases[] = {
        {{"--connect", "--all-paths"}, "qav-node: --connect needs a host (see qav-node --help)\n"},
        {{"--tcp-port", "0", "--tcp-port=1"},
         "qav-node: --tcp-port is given twice (see qav-node --help)\n"},
    };
    for (const auto& c : cases) {
        NodeProcess node(c.arguments);
        int status = -2;
        // A node that took the option for a value runs on: it is stopped, and fails.
        EXPECT_TRUE(node.WaitForExit(std::chrono::seconds(5), status)) << c.line;
        EXPECT_EQ(status, 2) << c.line;
        node.WaitFor("\n", std::chrono::seconds(1));
        EXPECT_EQ(node.Text(), c.line);
    }
}

}  // namespace
