// For tests only: running a test inside a network namespace of its own, where it may make
// veth pairs, set links up and down and add addresses without reaching the machine's own
// interfaces. The test runs again in a child process (this program, filtered to this one
// test) that has moved into a new namespace; the child's failures fail the test. Without
// the privilege to make a network namespace, the child makes it inside a user namespace
// of its own. Where neither can be made, without the ip command, or where no veth pair can
// be made, the test skips and says why.
//
// Typical usage:
//   if (!test_support::InsideNetworkNamespace()) {
//       test_support::RerunInNetworkNamespace();
//       return;
//   }
//   test_support::AddVeth("eth1", "peer1", "10.0.0.1/24");
//
// A peer that must sit across a real link (a server whose link can go down) lives in a
// ServerNamespace: one thread of the test in a namespace of its own, reached over a veth
// pair whose far end is moved there.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/test_support.h"

namespace qav::test_support {

inline constexpr const char* kNetworkNamespaceVariable = "QAV_TEST_IN_NETWORK_NAMESPACE";

inline bool InsideNetworkNamespace() {
    return std::getenv(kNetworkNamespaceVariable) != nullptr;
}

// Runs `ip <arguments>`; the test fails when it does.
inline void Ip(const std::string& arguments) {
    const std::string command = "ip " + arguments + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The exit status of a child whose test cannot have the veth pair it needs.
inline constexpr int kNoVethStatus = 78;

// Runs `ip <arguments>`: its exit status, and what it said in `answer`.
inline int IpAnswer(const std::string& arguments, std::string& answer) {
    FILE* pipe = ::popen(("ip " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        answer = "the ip command cannot be run";
        return -1;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        answer += buffer;
    }
    return ::pclose(pipe);
}

// Makes the veth pair `name`/`peer`. Where the system makes none at all (no veth driver, a
// container that refuses it), nothing the test does after would stand: the child says why
// and ends, and its parent skips the test. A pair refused where another can be made is
// the test's own fault, and fails it.
inline void MakeVethPair(const std::string& name, const std::string& peer) {
    std::string answer;
    if (IpAnswer("link add " + name + " type veth peer name " + peer, answer) == 0) {
        return;
    }
    std::string probeAnswer;
    if (IpAnswer("link add qavprobe0 type veth peer name qavprobe1", probeAnswer) == 0) {
        std::string ignored;
        IpAnswer("link del qavprobe0", ignored);
        FAIL() << "the veth pair " << name << "/" << peer << " was refused: " << answer;
    }
    if (!InsideNetworkNamespace()) {
        GTEST_SKIP() << "no veth pair can be made here: " << answer;
    }
    std::printf("no veth pair can be made here: %s\n", answer.c_str());
    std::fflush(stdout);
    std::_Exit(kNoVethStatus);
}

// Makes the veth pair `name` and `peer`, gives `name` the address `address` (with any
// further `ip addr add` arguments, e.g. "10.0.0.1/24 brd +") and sets both ends up.
// True once the link has its carrier. The kernel raises a new veth's carrier a moment after
// both ends are up, and until then the interface does not count as running.
inline bool WaitUntilRunning(const std::string& name) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool running = false;
    for (int attempt = 0; probe >= 0 && attempt < 500 && !running; ++attempt) {
        ifreq request{};
        name.copy(request.ifr_name, IFNAMSIZ - 1);
        running = ::ioctl(probe, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING);
        if (!running) {
            ::usleep(10000);
        }
    }
    if (probe >= 0) {
        ::close(probe);
    }
    return running;
}

inline void AddVeth(const std::string& name, const std::string& peer, const std::string& address) {
    ASSERT_NO_FATAL_FAILURE(MakeVethPair(name, peer));
    Ip("addr add " + address + " dev " + name);
    Ip("link set " + peer + " up");
    Ip("link set " + name + " up");
    EXPECT_TRUE(WaitUntilRunning(name)) << name << " has no carrier after 5 s";
}

inline void RerunInNetworkNamespace() {
    if (std::system("ip -V >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "the ip command is not installed";
    }
    const int status = RerunTestInChild(kNetworkNamespaceVariable, CLONE_NEWNET);
    if (status == kNoNamespaceStatus) {
        GTEST_SKIP() << "no network namespace can be made here (it needs CAP_SYS_ADMIN or "
                        "user namespaces)";
    }
    if (status == kNoVethStatus) {
        GTEST_SKIP() << "no veth pair can be made here (the ip command's answer is above)";
    }
    EXPECT_EQ(status, 0) << "the test failed inside its network namespace "
                            "(its output is above)";
}

// A thread that lives in a network namespace of its own (a namespace belongs to a thread,
// not to the process); the sockets and commands it makes are the namespace's.
class ServerNamespace {
  public:
    ServerNamespace() : m_thread([this] { Loop(); }) {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_changed.wait(hold, [this] { return m_ready; });
    }
    ~ServerNamespace() {
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_quit = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    ServerNamespace(const ServerNamespace&) = delete;
    ServerNamespace& operator=(const ServerNamespace&) = delete;

    bool Made() const { return m_made; }
    // The thread's id, which `ip link set ... netns` takes for the namespace.
    pid_t ThreadId() const { return m_threadId; }

    // Runs `task` on the thread and waits for it.
    void Run(std::function<void()> task) {
        bool done = false;
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_tasks.push_back([&] {
                task();
                std::lock_guard<std::mutex> finished(m_mutex);
                done = true;
            });
        }
        m_changed.notify_all();
        std::unique_lock<std::mutex> hold(m_mutex);
        m_changed.wait(hold, [&] { return done; });
    }

  private:
    void Loop() {
        m_made = ::unshare(CLONE_NEWNET) == 0;
        m_threadId = static_cast<pid_t>(::syscall(SYS_gettid));
        std::unique_lock<std::mutex> hold(m_mutex);
        m_ready = true;
        m_changed.notify_all();
        for (;;) {
            m_changed.wait(hold, [this] { return m_quit || !m_tasks.empty(); });
            if (m_tasks.empty()) {
                return;
            }
            std::function<void()> task = std::move(m_tasks.front());
            m_tasks.pop_front();
            hold.unlock();
            task();
            m_changed.notify_all();
            hold.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_tasks;
    bool m_ready = false;
    bool m_quit = false;
    bool m_made = false;
    pid_t m_threadId = 0;
    std::thread m_thread;  // last: it starts once everything above is made
};

}  // namespace qav::test_support
