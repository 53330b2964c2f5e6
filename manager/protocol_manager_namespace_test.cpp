// The main-server connection over real paths: the node's namespace reaches a server in a
// namespace of its own over two veth pairs, "eth1" (Ethernet rank) and "wlan1" (WiFi
// rank), on two subnets. The server's address 10.9.0.1 is routed over both; a connection
// bound to one path's local address leaves through that path.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/xml_document.h"
#include "manager/manager_test_support.h"
#include "network/loopback_test_support.h"
#include "network/network_namespace_test_support.h"
#include "records/monitor_identification.h"

namespace qav {
namespace {

using test_support::AcceptingServer;
using test_support::Ip;
using test_support::WaitUntil;

constexpr const char* kServerAddress = "10.9.0.1";

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

using test_support::RecordingObserver;

// The veth pair `name`/`peer` with `subnet`.1 on the node's side and `subnet`.2 on the
// server's, its own routing table `table` for what leaves from `subnet`.1, and a route to
// the server's address in the main table with `metric`.
void AddPath(ServerNamespace& server, const std::string& name, const std::string& peer,
             const std::string& subnet, int table, int metric) {
    Ip("link add " + name + " type veth peer name " + peer);
    Ip("link set " + peer + " netns " + std::to_string(server.ThreadId()));
    server.Run([&] {
        Ip("addr add " + subnet + ".2/24 dev " + peer);
        Ip("link set " + peer + " up");
    });
    Ip("addr add " + subnet + ".1/24 dev " + name);
    Ip("link set " + name + " up");
    ASSERT_TRUE(test_support::WaitUntilRunning(name)) << name;
    Ip("rule add from " + subnet + ".1 lookup " + std::to_string(table));
    // While its link is down, what leaves from the path's address goes nowhere rather
    // than over the other path.
    Ip("route add unreachable " + std::string(kServerAddress) + "/32 metric 100 table " +
       std::to_string(table));
    Ip("route add " + std::string(kServerAddress) + "/32 via " + subnet + ".2 dev " + name +
       " table " + std::to_string(table));
    Ip("route add " + std::string(kServerAddress) + "/32 via " + subnet + ".2 dev " + name +
       " metric " + std::to_string(metric));
}

// The routes go with the link; they come back with it.
void RestoreRoutes(const std::string& name, const std::string& subnet, int table, int metric) {
    ASSERT_TRUE(test_support::WaitUntilRunning(name)) << name;
    Ip("route replace " + std::string(kServerAddress) + "/32 via " + subnet + ".2 dev " + name +
       " table " + std::to_string(table));
    Ip("route replace " + std::string(kServerAddress) + "/32 via " + subnet + ".2 dev " + name +
       " metric " + std::to_string(metric));
}

// The server's own address, on the loopback of its namespace.
void AddServerAddress(ServerNamespace& space) {
    space.Run([] {
        Ip("addr add " + std::string(kServerAddress) + "/32 dev lo");
        Ip("link set lo up");
    });
}

using test_support::IdentificationText;

using ProtocolManagerPaths = test_support::LoggedManagerTest;

TEST_F(ProtocolManagerPaths, TheConnectionFollowsTheBestPathToItsServer) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    ServerNamespace space;
    ASSERT_TRUE(space.Made()) << "no namespace for the server";
    AddServerAddress(space);
    AddPath(space, "eth1", "seth1", "10.1.0", 101, 1);
    AddPath(space, "wlan1", "swlan1", "10.2.0", 102, 2);
    std::unique_ptr<AcceptingServer> server;
    space.Run([&] { server = std::make_unique<AcceptingServer>(); });
    ASSERT_TRUE(server->IsListening());

    // As the node does: one datagram listener on every address.
    m_manager->GetNetworkPacketsManager().SetPerAddressListening(false);
    int32_t udpPort = 0;
    int32_t tcpPort = 0;
    ASSERT_EQ(m_manager->StartServerRoles(&m_services, udpPort, tcpPort),
              ProtocolManager::kServerRolesStarted);
    MonitorIdentification identification;
    identification.m_userName = u"joe";
    identification.m_password = u"secret";
    RefPtr<RecordingObserver> observer(new RecordingObserver);
    RefPtr<AutomaticConnection> connection = m_manager->StartMainServerConnection(
        &m_services, kServerAddress, &identification, observer.get(), server->port, 0);
    ASSERT_TRUE(connection) << m_log.Text();

    // Ethernet is preferred to WiFi.
    ASSERT_TRUE(WaitUntil([&] { return observer->Saw("up 10.1.0.1 1"); }))
        << observer->Text() << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] {
        return server->OpenFrom("10.1.0.1") == 1 && server->OpenFrom("10.2.0.1") == 0;
    })) << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return server->Received(IdentificationText(identification)); }));
    EXPECT_EQ(connection->GetConnectedAddresses(), std::vector<std::string>{"10.1.0.1"});

    // The Ethernet link goes: its address is lost at the next network test, its context
    // dropped, and the WiFi path takes over.
    size_t seen = observer->Changes().size();
    Ip("link set eth1 down");
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count("Lost local address Address=10.1.0.1") > 0; }))
        << m_log.Text();
    EXPECT_TRUE(
        WaitUntil([&] { return observer->Saw("up 10.2.0.1 2", seen); }, std::chrono::seconds(5)))
        << observer->Text() << m_log.Text();
    EXPECT_TRUE(observer->Saw("down 10.1.0.1 1", seen)) << observer->Text();
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom("10.2.0.1") == 1; }));
    EXPECT_EQ(connection->GetConnectedAddresses(), std::vector<std::string>{"10.2.0.1"});

    // It comes back: the better path connects and the WiFi one is dropped.
    seen = observer->Changes().size();
    Ip("link set eth1 up");
    RestoreRoutes("eth1", "10.1.0", 101, 1);
    EXPECT_TRUE(WaitUntil([&] { return observer->Saw("up 10.1.0.1 1", seen); }))
        << observer->Text() << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom("10.2.0.1") == 0; }))
        << "the WiFi path stays open\n"
        << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom("10.1.0.1") >= 1; }));
    EXPECT_EQ(connection->GetConnectedAddresses(), std::vector<std::string>{"10.1.0.1"});
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
    EXPECT_FALSE(m_manager->DisconnectAutomaticConnection(connection.get()));
    EXPECT_EQ(m_manager->GetAutomaticConnectionCount(), 0u);
    EXPECT_TRUE(WaitUntil([&] {
        return server->OpenFrom("10.1.0.1") == 0 && server->OpenFrom("10.2.0.1") == 0;
    })) << "a disconnected connection leaves paths open";

    // With all paths, both connect and both stay.
    m_manager->SetAllPaths(true);
    RefPtr<RecordingObserver> allObserver(new RecordingObserver);
    RefPtr<AutomaticConnection> all = m_manager->StartMainServerConnection(
        &m_services, kServerAddress, nullptr, allObserver.get(), server->port, 0);
    ASSERT_TRUE(all) << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] {
        return allObserver->Saw("up 10.1.0.1 1") && allObserver->Saw("up 10.2.0.1 2");
    })) << allObserver->Text()
        << m_log.Text();
    EXPECT_TRUE(WaitUntil(
        [&] { return server->OpenFrom("10.1.0.1") == 1 && server->OpenFrom("10.2.0.1") == 1; }));
    // Past the next network test, nothing has been dropped.
    std::this_thread::sleep_for(std::chrono::microseconds(NetworkPacketsManager::kTestPeriod));
    EXPECT_EQ(server->OpenFrom("10.1.0.1"), 1);
    EXPECT_EQ(server->OpenFrom("10.2.0.1"), 1);
    EXPECT_EQ(all->GetConnectionCount(), 2);
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(all.get()));
}

// A server that is not there yet is tried again and again, and reached once it listens.
TEST_F(ProtocolManagerPaths, AServerStartedLaterIsReached) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    ServerNamespace space;
    ASSERT_TRUE(space.Made()) << "no namespace for the server";
    AddServerAddress(space);
    AddPath(space, "eth1", "seth1", "10.1.0", 101, 1);
    // A port known to be free: taken by a listener that is closed at once.
    int32_t port = 0;
    space.Run([&] { port = AcceptingServer().port; });
    ASSERT_GT(port, 0);

    m_manager->GetNetworkPacketsManager().SetPerAddressListening(false);
    int32_t udpPort = 0;
    int32_t tcpPort = 0;
    ASSERT_EQ(m_manager->StartServerRoles(&m_services, udpPort, tcpPort),
              ProtocolManager::kServerRolesStarted);
    RefPtr<RecordingObserver> observer(new RecordingObserver);
    RefPtr<AutomaticConnection> connection = m_manager->StartMainServerConnection(
        &m_services, kServerAddress, nullptr, observer.get(), port, 0);
    ASSERT_TRUE(connection) << m_log.Text();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    EXPECT_TRUE(observer->Changes().empty()) << observer->Text();
    EXPECT_GT(m_log.Count("Connecting to server"), 1) << "no attempt was repeated\n"
                                                      << m_log.Text();

    std::unique_ptr<AcceptingServer> server;
    space.Run([&] { server = std::make_unique<AcceptingServer>(port); });
    ASSERT_TRUE(server->IsListening());
    EXPECT_TRUE(WaitUntil([&] { return observer->Saw("up 10.1.0.1 1"); }, std::chrono::seconds(60)))
        << observer->Text() << m_log.Text();
    EXPECT_TRUE(WaitUntil([&] { return server->OpenFrom("10.1.0.1") == 1; }));
    EXPECT_TRUE(m_manager->DisconnectAutomaticConnection(connection.get()));
    space.Run([&] { server.reset(); });
}

}  // namespace
}  // namespace qav
