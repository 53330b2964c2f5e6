// The program itself, run as an operator would: started on free ports, used over TCP
// and UDP, stopped with SIGTERM.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "network/loopback_test_support.h"
#include "node/node_process_test_support.h"

namespace {

using qav::test_support::LoopbackAddress;
using qav::test_support::NodeProcess;

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
    EXPECT_TRUE(node.WaitFor("cannot listen on UDP port " + port)) << node.Text();
    EXPECT_EQ(node.Wait(), 1) << node.Text();
    close(taken);

    NodeProcess wrong({"--udp-port", "none"});
    EXPECT_TRUE(wrong.WaitFor("usage: qav-node")) << wrong.Text();
    EXPECT_EQ(wrong.Wait(), 2);
}

}  // namespace
