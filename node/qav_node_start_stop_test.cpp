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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

std::vector<std::string> ThreadNames(pid_t pid) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    return names;
}

bool HasThread(pid_t pid, const std::string& name) {
    const std::vector<std::string> names = ThreadNames(pid);
    return std::find(names.begin(), names.end(), name) != names.end();
}

// What descriptor `descriptor` of the process points at ("/dev/null", "pipe:[...]",
// "anon_inode:[eventfd]"), or "" when it is closed.
std::string DescriptorTarget(pid_t pid, int descriptor) {
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(
        "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(descriptor), error);
    return error ? std::string() : target.string();
}

// Descriptors that are neither files nor sockets (eventfds, an epoll set): the node makes
// them as it starts, and then keeps them. Sockets come and go (a look at the addresses
// opens one for a moment), so they are left out.
int AnonymousDescriptors(pid_t pid) {
    int count = 0;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        std::error_code linkError;
        count += std::filesystem::read_symlink(entry.path(), linkError)
                     .string()
                     .rfind("anon_inode:", 0) == 0;
    }
    return count;
}

// The bytes waiting in the receive queue of the UDP socket on `port` of this network
// namespace, or -1 when there is no such socket.
long long UdpQueuedBytes(int port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const size_t colon = local.find(':');
        if (colon != std::string::npos &&
            std::strtol(local.c_str() + colon + 1, nullptr, 16) == port) {
            return std::strtoll(queues.c_str() + queues.find(':') + 1, nullptr, 16);
        }
    }
    return -1;
}

// Waits until the node has read every datagram sent to `port`.
bool NothingQueued(int port) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (UdpQueuedBytes(port) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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
        const bool printerRan = HasThread(node.Pid(), "LogPrinter");
        const int atTheLine = AnonymousDescriptors(node.Pid());
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
    ASSERT_TRUE(Eventually([&] { return HasThread(node.Pid(), "LogPrinter"); }))
        << "the node did not start\n"
        << node.Text();
    EXPECT_EQ(DescriptorTarget(node.Pid(), STDIN_FILENO), "/dev/null");
    EXPECT_EQ(DescriptorTarget(node.Pid(), STDOUT_FILENO), "/dev/null");
    EXPECT_EQ(DescriptorTarget(node.Pid(), STDERR_FILENO).rfind("pipe:", 0), 0u);
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
        ASSERT_TRUE(NothingQueued(udpPort))
            << "the node stopped taking datagrams in after " << sent;
    }
    close(udp);

    node.Signal(SIGTERM);
    int status = -2;
    ASSERT_TRUE(node.WaitForExit(std::chrono::seconds(5), status));
    EXPECT_EQ(status, 0);
    const std::string errors = node.ReadErrors();
    const std::string prefix = "qav-node: ";
    const std::string suffix = " output lines lost\n";
    ASSERT_TRUE(errors.rfind(prefix, 0) == 0 && errors.size() > prefix.size() + suffix.size() &&
                errors.compare(errors.size() - suffix.size(), suffix.size(), suffix) == 0)
        << "not one line that counts the lost lines: \"" << errors << "\"";
    const std::string number =
        errors.substr(prefix.size(), errors.size() - prefix.size() - suffix.size());
    ASSERT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << errors;
    // Every record after the reader left is lost: as many as the datagrams, but for those
    // the log dropped when it held more than its 10000 (one line counts those).
    const long long lost = std::atoll(number.c_str());
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
