// The program itself, run as an operator would: started on free ports, used over TCP
// and UDP, stopped with SIGTERM.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/memory_test_support.h"
#include "network/loopback_test_support.h"
#include "node/node_process_test_support.h"

namespace {

using qav::test_support::LoopbackAddress;
using qav::test_support::NodeProcess;
using qav::test_support::NodeStart;

// A pipe of one page: the smallest the system makes, soon full.
constexpr int kSmallPipe = 4096;

int PortAfter(NodeProcess& node, const std::string& kind) {
    if (!node.WaitFor(" UDP port ") || !node.WaitFor("\n")) {
        return -1;
    }
    return node.NumberAfter(kind + " port ");
}

// Makes the node log far more than its output pipe holds, then leaves the pipe full: the
// test never reads it again.
void StallOutput(NodeProcess& node, int udpPort) {
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in listener = LoopbackAddress(udpPort);
    for (int i = 0; i < 400; ++i) {
        sendto(udp, "x", 1, 0, reinterpret_cast<const sockaddr*>(&listener), sizeof listener);
        if (i % 50 == 49) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    close(udp);
    for (int wait = 0; wait < 500 && node.PendingBytes() <= 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Time for the node to log the rest, which the full pipe now holds back.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// Sends SIGTERM to a node whose output nobody reads: it closes `connection` and exits
// cleanly within 2 s all the same. Returns the milliseconds it took, or -1.
int64_t StopWithStalledOutput(NodeProcess& node, int connection) {
    EXPECT_GT(node.PendingBytes(), 0) << "the output was never stalled";
    const auto signalled = std::chrono::steady_clock::now();
    node.Signal(SIGTERM);
    pollfd closed{connection, POLLIN, 0};
    EXPECT_EQ(poll(&closed, 1, 2000), 1) << "the node kept its connections open";
    int status = -2;
    const bool exited = node.WaitForExit(std::chrono::milliseconds(2000), status);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - signalled);
    EXPECT_TRUE(exited) << "the node did not exit within 2 s of SIGTERM";
    EXPECT_EQ(status, 0);
    if (!exited) {
        return -1;
    }
    std::printf("exited %lld ms after SIGTERM with its output stalled\n",
                static_cast<long long>(took.count()));
    return took.count();
}

// A connection to `port`, or -1 when it is refused or not made within `limit` (a listener
// that no longer accepts leaves connects hanging once its backlog is full).
int ConnectTo(int port, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const sockaddr_in server = LoopbackAddress(port);
    int error = 0;
    socklen_t length = sizeof error;
    pollfd done{tcp, POLLOUT, 0};
    if (connect(tcp, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 &&
        (errno != EINPROGRESS || poll(&done, 1, static_cast<int>(limit.count())) != 1 ||
         getsockopt(tcp, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)) {
        close(tcp);
        return -1;
    }
    fcntl(tcp, F_SETFL, 0);
    return tcp;
}

// The processor time the process has used, user and system, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    // The program's name may hold blanks: the fields are counted from its closing ')'.
    std::getline(stat, field, ')');
    long long user = 0;
    long long system = 0;
    for (int index = 3; index <= 15 && stat >> field; ++index) {
        if (index == 14) {
            user = std::stoll(field);
        } else if (index == 15) {
            system = std::stoll(field);
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The bytes the node says it read from its connections, however its reads fell.
int ReadBytesLogged(const std::string& text) {
    int bytes = 0;
    for (size_t at = text.find("Event=data"); at != std::string::npos;
         at = text.find("Event=data", at + 1)) {
        const size_t end = text.find('\n', at);
        const size_t count = text.find(" Bytes=", at);
        if (count != std::string::npos && count < end) {
            bytes += std::atoi(text.c_str() + count + 7);
        }
    }
    return bytes;
}

// Waits until the node has logged `bytes` read in all. A record the busy log had to drop
// is reported instead, and then the count can no longer be reached: that is no fault.
bool WaitForReadBytes(NodeProcess& node, int bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const std::string& text = node.Text();
        if (ReadBytesLogged(text) >= bytes ||
            text.find(" could not be logged") != std::string::npos ||
            text.find(" log records were dropped") != std::string::npos) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        node.WaitForCount("\n", node.Count("\n") + 1, std::chrono::milliseconds(100));
    }
}

int OpenDescriptors(pid_t pid) {
    int count = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

TEST(QavNode, LogsTrafficAndStopsCleanlyOnSigterm) {
    NodeProcess node({"--tcp-port", "0", "--udp-port", "0"});
    ASSERT_TRUE(node.WaitFor(" UDP port ")) << node.Text();
    ASSERT_TRUE(node.WaitFor("\n")) << node.Text();
    const int tcpPort = node.NumberAfter("TCP port ");
    const int udpPort = node.NumberAfter("UDP port ");
    ASSERT_GT(tcpPort, 0) << node.Text();
    ASSERT_GT(udpPort, 0) << node.Text();

    // The TCP connection stays open across the stop: the node must close it itself.
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in server = LoopbackAddress(tcpPort);
    ASSERT_EQ(connect(tcp, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in listener = LoopbackAddress(udpPort);
    // The log sink drops (and counts) a record that finds its lock taken by the printing
    // thread, so the traffic is sent again until its record gets through.
    const auto arrives = [&](const std::string& part, const auto& sendOnce) {
        for (int attempt = 0; attempt < 25; ++attempt) {
            sendOnce();
            if (node.WaitFor(part, std::chrono::milliseconds(200))) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(arrives("Event=data Peer=127.0.0.1", [&] { send(tcp, "hello", 5, 0); }))
        << node.Text();
    EXPECT_TRUE(arrives("Datagram received Peer=127.0.0.1", [&] {
        sendto(udp, "datagram", 8, 0, reinterpret_cast<const sockaddr*>(&listener),
               sizeof listener);
    })) << node.Text();

    node.Signal(SIGTERM);
    EXPECT_EQ(node.Wait(), 0) << node.Text();
    char byte = 0;
    EXPECT_EQ(recv(tcp, &byte, 1, 0), 0) << "the node left the connection open";
    close(tcp);
    close(udp);
}

TEST(QavNode, ATakenPortIsAClearErrorAndAFailure) {
    const int taken = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = LoopbackAddress(0);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    NodeProcess node({"--tcp-port", "0", "--udp-port", port});
    EXPECT_TRUE(node.WaitFor("cannot listen on UDP port " + port + " (is it taken?)\n"))
        << node.Text();
    EXPECT_EQ(node.Wait(), 1) << node.Text();
    close(taken);

    // A wrong option is one line that says what is wrong and where to look, not the
    // whole usage.
    NodeProcess wrong({"--udp-port", "none"});
    EXPECT_EQ(wrong.Wait(), 2);
    wrong.WaitFor("\n", std::chrono::seconds(1));
    EXPECT_EQ(wrong.Text(),
              "qav-node: 'none' is not a port number (0 to 65535) for --udp-port "
              "(see qav-node --help)\n");
    NodeProcess alone({"--user", "joe"}, {"QAV_PASSWORD=x"});
    EXPECT_EQ(alone.Wait(), 2);
    alone.WaitFor("\n", std::chrono::seconds(1));
    EXPECT_EQ(alone.Text(), "qav-node: --user needs --connect HOST (see qav-node --help)\n");
}

// Out of descriptors ("ulimit -n 6"), the port is not what is wrong: the cause is named
// instead, and nobody goes looking for a program that holds the port.
TEST(QavNode, AListenFailureForLackOfDescriptorsSaysSo) {
#ifdef QAV_UNDEFINED_SANITIZER
    // Its check of a virtual call opens a pipe to probe memory; without a free descriptor
    // it reports every such call as one on a broken object.
    GTEST_SKIP() << "UndefinedBehaviorSanitizer cannot check calls without free descriptors";
#endif
    NodeStart start;
    start.errorsApart = true;
    start.descriptorLimit = 6;
    NodeProcess starved({"--tcp-port", "0", "--udp-port", "0"}, {}, start);
    EXPECT_EQ(starved.Wait(), 1) << starved.Text();
    const std::string errors = starved.ReadErrors();
    EXPECT_NE(errors.find(" port 0: Too many open files\n"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("taken"), std::string::npos) << errors;
}

// The usage asked for is the whole of the program's work: an output that does not take it
// makes the call a failure that says why.
TEST(QavNode, AUsageThatCannotBeWrittenIsAFailure) {
    NodeStart start;
    start.errorsApart = true;
    start.outputFile = "/dev/full";
    NodeProcess full({"--help"}, {}, start);
    EXPECT_EQ(full.Wait(), 1);
    EXPECT_EQ(full.ReadErrors(), "qav-node: cannot write the usage: No space left on device\n");

    NodeProcess written({"--help"});
    EXPECT_EQ(written.Wait(), 0);
    EXPECT_TRUE(written.WaitFor("--tcp-port")) << written.Text();
}

// A refused connect is reported with the port it was made from, under one "Error".
TEST(QavNode, ReportsARefusedConnectFromTheLocalPortItUsed) {
    // Bound but not listening: a connect to it is refused, and nothing else takes the port.
    const int closed = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(closed, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(closed, reinterpret_cast<sockaddr*>(&address), &length), 0);
    NodeProcess node({"--tcp-port", "0", "--udp-port", "0", "--connect", "127.0.0.1",
                      "--server-tcp-port", std::to_string(ntohs(address.sin_port))});
    const std::string report = "\nError 111 [Connection refused] in connection from 127.0.0.1:";
    ASSERT_TRUE(node.WaitFor(report, std::chrono::seconds(10))) << node.Text();
    ASSERT_TRUE(node.WaitFor(" to 127.0.0.1:")) << node.Text();
    EXPECT_GT(node.NumberAfter(report), 0) << node.Text();
    EXPECT_EQ(node.Text().find("Error Error"), std::string::npos) << node.Text();
    node.Signal(SIGTERM);
    EXPECT_EQ(node.Wait(), 0);
    close(closed);
}

// An output that nobody reads (a pipe whose reader stalls) holds the node neither while it
// runs nor at its stop: the sockets close first, and what cannot be printed is given up.
TEST(QavNode, StopsWithinTwoSecondsWhenNobodyReadsItsOutput) {
    NodeProcess node({"--tcp-port", "0", "--udp-port", "0"}, {}, kSmallPipe);
    const int tcpPort = PortAfter(node, "TCP");
    const int udpPort = PortAfter(node, "UDP");
    ASSERT_GT(udpPort, 0) << node.Text();
    const int connection = ConnectTo(tcpPort);
    ASSERT_GE(connection, 0);
    StallOutput(node, udpPort);
    EXPECT_GE(StopWithStalledOutput(node, connection), 0);
    close(connection);
}

// As a client with a stalled output, losing the server prints a line about it; that line
// must not hold the polling thread, which the stop then waits for.
TEST(QavNode, AsAClientStopsWithinTwoSecondsWhenNobodyReadsItsOutput) {
    NodeProcess server({"--tcp-port", "0", "--udp-port", "0"});
    const int serverTcp = PortAfter(server, "TCP");
    const int serverUdp = PortAfter(server, "UDP");
    ASSERT_GT(serverUdp, 0) << server.Text();
    NodeProcess client(
        {"--tcp-port", "0", "--udp-port", "0", "--connect", "127.0.0.1", "--server-tcp-port",
         std::to_string(serverTcp), "--server-udp-port", std::to_string(serverUdp)},
        {}, kSmallPipe);
    const int clientTcp = PortAfter(client, "TCP");
    const int clientUdp = PortAfter(client, "UDP");
    ASSERT_GT(clientUdp, 0) << client.Text();
    ASSERT_TRUE(server.WaitFor("Event=connected Peer=127.0.0.1", std::chrono::seconds(20)))
        << server.Text();
    const int connection = ConnectTo(clientTcp);
    ASSERT_GE(connection, 0);
    StallOutput(client, clientUdp);

    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(), 0) << server.Text();
    // The client notices the loss and prints (queues) its line about it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_GE(StopWithStalledOutput(client, connection), 0);
    close(connection);
}

// The address space of the process, as the kernel counts it for RLIMIT_AS.
long long AddressSpaceBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) {
            return std::atoll(line.c_str() + 7) * 1024;
        }
    }
    return -1;
}

// With its address space limited, connections make the node run out of memory. It then
// either goes on (records it cannot make are counted as lost) or, when its polling thread
// ends, says so on stderr and exits non-zero; it never goes deaf while it seems to run.
TEST(QavNode, RunningOutOfMemoryNeverLeavesADeafNodeThatExitsCleanly) {
    if (qav::test_support::kSanitizedBuild) {
        GTEST_SKIP() << "the sanitizers' shadow memory does not fit an address-space limit";
    }
    // Descriptors enough for the connections that exhaust the memory, on both sides.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t wanted = files.rlim_max < 8192 ? files.rlim_max : 8192;
    if (files.rlim_cur < wanted) {
        files.rlim_cur = wanted;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    NodeProcess node({"--tcp-port", "0", "--udp-port", "0"});
    // The limit comes once the node has made all it needs to run: this test is about
    // the connections, not the start.
    ASSERT_TRUE(node.WaitUntilStarted()) << node.Text();
    const int tcpPort = node.NumberAfter("TCP port ");
    ASSERT_GT(tcpPort, 0) << node.Text();
    const long long started = AddressSpaceBytes(node.Pid());
    ASSERT_GT(started, 0);
    // Room for a few hundred connections past what the node needed to start.
    const rlimit limit{static_cast<rlim_t>(started + (24 << 20)),
                       static_cast<rlim_t>(started + (24 << 20))};
    ASSERT_EQ(prlimit(node.Pid(), RLIMIT_AS, &limit, nullptr), 0);

    // The output is read all along: a node whose output is full may give up its lines.
    std::vector<int> connections;
    int status = -2;
    bool exited = false;
    for (int i = 0; i < 6000 && !exited; ++i) {
        const int tcp = ConnectTo(tcpPort, std::chrono::milliseconds(200));
        node.ReadAvailable();
        if (tcp < 0) {
            break;
        }
        send(tcp, "x", 1, MSG_NOSIGNAL);
        connections.push_back(tcp);
        exited = node.WaitForExit(std::chrono::milliseconds(0), status);
    }
    for (const int tcp : connections) {
        close(tcp);
    }
    for (int wait = 0; wait < 100 && !exited; ++wait) {
        node.ReadAvailable();
        exited = node.WaitForExit(std::chrono::milliseconds(10), status);
    }
    if (exited) {
        node.ReadAvailable();
        const std::string& text = node.Text();
        const std::string tail = text.substr(text.size() > 2000 ? text.size() - 2000 : 0);
        EXPECT_GT(status, 0) << "a node that cannot go on must fail\n" << tail;
        EXPECT_TRUE(text.find("qav-node: the polling thread has ended") != std::string::npos ||
                    text.find("qav-node: out of memory") != std::string::npos)
            << "the node ended without saying why\n"
            << tail;
        std::printf("the node ended with status %d after %zu connections\n", status,
                    connections.size());
        return;
    }
    // Still running: it must still take connections in, and log them.
    bool served = false;
    for (int attempt = 0; attempt < 20 && !served; ++attempt) {
        const int tcp = ConnectTo(tcpPort);
        if (tcp >= 0) {
            send(tcp, "hello", 5, MSG_NOSIGNAL);
        }
        served = node.WaitFor("Bytes=5", std::chrono::milliseconds(250));
        if (tcp >= 0) {
            close(tcp);
        }
    }
    EXPECT_TRUE(served) << "the node runs but takes nothing in";
    node.Signal(SIGTERM);
    EXPECT_EQ(node.Wait(), 0);
    std::printf("the node went on after %zu connections\n", connections.size());
}

// Clients that send one urgent byte in the middle of their data: the node reads it as one
// more byte, stays idle while they wait, and lets each connection go when it closes. A node
// that trusted the readable-byte count, which stops at the urgent mark, spun a core for
// each of them and never read or closed them.
TEST(QavNode, UrgentBytesNeitherSpinTheNodeNorHoldItsConnections) {
    NodeProcess node({"--tcp-port", "0", "--udp-port", "0"});
    // The baseline counts what the node holds once it runs, its printer's included.
    ASSERT_TRUE(node.WaitUntilStarted()) << node.Text();
    const int tcpPort = node.NumberAfter("TCP port ");
    ASSERT_GT(tcpPort, 0) << node.Text();
    const int before = OpenDescriptors(node.Pid());
    constexpr int kClients = 20;
    std::vector<int> clients;
    const sockaddr_in server = LoopbackAddress(tcpPort);
    for (int i = 0; i < kClients; ++i) {
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
        ASSERT_EQ(send(client, "head", 4, 0), 4);
        clients.push_back(client);
    }
    // The urgent byte comes after data already read, where the node last stopped.
    EXPECT_TRUE(WaitForReadBytes(node, kClients * 4)) << node.Text();
    for (int client : clients) {
        ASSERT_EQ(send(client, "!", 1, MSG_OOB), 1);
        ASSERT_EQ(send(client, "tail", 4, 0), 4);
    }
    EXPECT_TRUE(WaitForReadBytes(node, kClients * 9))
        << "the urgent byte and what follows were not read\n"
        << node.Text();

    const double start = CpuSeconds(node.Pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double used = CpuSeconds(node.Pid()) - start;
    EXPECT_LT(used, 0.5) << "the node spent " << used << " s of processor in 2 s with "
                         << kClients << " idle clients";

    for (int client : clients) {
        close(client);
    }
    bool released = false;
    for (int wait = 0; wait < 200 && !released; ++wait) {
        released = OpenDescriptors(node.Pid()) <= before;
        if (!released) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    EXPECT_TRUE(released) << OpenDescriptors(node.Pid()) << " descriptors open, " << before
                          << " before the clients came";
    node.Signal(SIGTERM);
    EXPECT_EQ(node.Wait(), 0) << node.Text();
}

}  // namespace
