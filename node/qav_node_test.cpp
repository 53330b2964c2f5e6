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

namespace {

using qav::test_support::LoopbackAddress;

class NodeProcess {
  public:
    explicit NodeProcess(std::vector<std::string> arguments) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv = {const_cast<char*>(QAV_NODE_PROGRAM)};
            for (std::string& argument : arguments) {
                argv.push_back(argument.data());
            }
            argv.push_back(nullptr);
            execv(QAV_NODE_PROGRAM, argv.data());
            _exit(127);
        }
        close(out[1]);
        m_output = out[0];
    }

    ~NodeProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_output >= 0) {
            close(m_output);
        }
    }

    // Reads until `part` has appeared in the output or `limit` has passed.
    bool WaitFor(const std::string& part,
                 std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_text.find(part) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd record{m_output, POLLIN, 0};
            if (left.count() <= 0 || poll(&record, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buffer[4096];
            const ssize_t count = read(m_output, buffer, sizeof buffer);
            if (count <= 0) {
                return m_text.find(part) != std::string::npos;
            }
            m_text.append(buffer, static_cast<size_t>(count));
        }
        return true;
    }

    int NumberAfter(const std::string& part) {
        const size_t at = m_text.find(part);
        return at == std::string::npos ? -1 : std::atoi(m_text.c_str() + at + part.size());
    }

    void Signal(int signal) { kill(m_pid, signal); }

    // The exit status, or -1 when the process did not exit normally.
    int Wait() {
        int status = 0;
        const pid_t pid = std::exchange(m_pid, -1);
        if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
            return -1;
        }
        return WEXITSTATUS(status);
    }

    const std::string& Text() const { return m_text; }

  private:
    pid_t m_pid = -1;
    int m_output = -1;
    std::string m_text;
};

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
