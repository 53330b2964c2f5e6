#include "routing/network_packets_manager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "connection/connection_set.h"
#include "core/test_support.h"
#include "core/text_utils.h"
#include "manager/manager_scheduler.h"
#include "network/datagram_listener.h"
#include "network/datagram_sender.h"
#include "network/loopback_test_support.h"
#include "network/network_namespace_test_support.h"
#include "network/platform_services.h"
#include "network/socket_handler_manager.h"
#include "records/log_sink.h"

namespace qav {
namespace {

using Lines = std::vector<std::string>;
using test_support::RecordingPacketSink;

std::string Narrow(const WString& text) {
    std::string out;
    WideToUtf8Strict(text, out);
    return out;
}

// Keeps "+name type priority address" / "-..." for each announcement; may remove itself
// from `entry` when disconnected.
class Follower final : public RefCountedObject<AddressConnection> {
  public:
    void Disconnect() override {
        ++disconnects;
        if (entry != nullptr) {
            entry->RemoveAddressListener(this);
        }
    }
    void HandleNewInterface(PlatformServices*, const WString& name, int32_t type, int32_t priority,
                            const std::string& address) override {
        Add("+", name, type, priority, address);
    }
    void HandleLostLocalAddress(PlatformServices*, const WString& name, int32_t type,
                                int32_t priority, const std::string& address) override {
        Add("-", name, type, priority, address);
    }
    Lines Take() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return std::exchange(m_lines, {});
    }
    int32_t CountReferences() {
        AddRef();
        return Release();
    }

    std::atomic<int> disconnects{0};
    NetworkReceiverEntry* entry = nullptr;

  private:
    void Add(const char* sign, const WString& name, int32_t type, int32_t priority,
             const std::string& address) {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_lines.push_back(sign + Narrow(name) + " " + std::to_string(type) + " " +
                          std::to_string(priority) + " " + address);
    }
    std::mutex m_mutex;
    Lines m_lines;
};

class CountingContext : public ConnectionContext {
  public:
    void Disconnect() override { ++disconnects; }
    std::atomic<int> disconnects{0};
};

RefPtr<CountingContext> BoundContext(PlatformServices* services, const char* localAddress) {
    RefPtr<CountingContext> context(new RefCountedObject<CountingContext>);
    context->SetPlatformServices(services);
    context->SetLocalAddress(localAddress);
    return context;
}

// "Text Name=Value ..." for each record logged since the last call.
Lines TakeLog(LogSink& log) {
    std::vector<LogSinkEntry> entries;
    log.TakeMessages(entries);
    Lines lines;
    for (const LogSinkEntry& entry : entries) {
        WString text;
        entry.message.GetRoot().GetAttribute(u"qav:Text", text);
        std::string line = Narrow(text);
        for (XmlElement child = entry.message.GetRoot().FirstChild(); child.IsValid();
             child = child.NextSibling()) {
            WString name, value;
            child.GetAttribute(u"qav:Name", name);
            child.GetAttribute(u"qav:Value", value);
            line += " " + Narrow(name) + "=" + Narrow(value);
        }
        lines.push_back(line);
    }
    return lines;
}

// The network pieces a manager needs, made inside the test's own network namespace.
struct Platform {
    Platform() {
        services.SetSocketHandlerManager(&waitLoop);
        log.SetLogSeverity(kSeverityStatus);
        manager->SetConnectionSet(&set);
        manager->SetLogSink(&log);
    }
    ~Platform() {
        manager.reset();
        services.SetSocketHandlerManager(nullptr);
        for (const std::string& line : textLog.Lines()) {
            EXPECT_EQ(line.find("Relocking"), std::string::npos) << line;
        }
    }
    // One run of the job, through the scheduler.
    void RunTestJob() {
        manager->ScheduleNetworkChangesTest(*scheduler, 0);
        EXPECT_EQ(scheduler->Poll(), 2) << "the test job did not run";
    }

    test_support::CapturingTextLogger textLog;  // first in, last out
    PlatformServices services{"/dev/null"};
    SocketHandlerManager waitLoop;
    LogSink log;
    ConnectionSet set;
    RefPtr<Scheduler> scheduler{new ManagerScheduler};
    std::unique_ptr<NetworkPacketsManager> manager{new NetworkPacketsManager};
};

// Sends `text` to address:port and turns the wait loop until `sink` has it.
std::string SendAndReceive(Platform& platform, RecordingPacketSink& sink, const char* address,
                           int32_t port, const std::string& text) {
    const int peer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &to.sin_addr);
    ::sendto(peer, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(peer);
    for (int turn = 0; turn < 100; ++turn) {
        platform.waitLoop.Wait(50);
        const Lines lines = sink.Take();
        if (!lines.empty()) {
            return lines.front();
        }
    }
    return "(nothing)";
}

bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(NetworkPacketsManager, FollowsLocalAddressesThroughTheTestJob) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    test_support::Ip("link set lo up");
    test_support::AddVeth("eth1", "peer1", "10.0.0.1/24");
    auto platform = std::make_unique<Platform>();
    PlatformServices other{"/dev/null"};
    RecordingPacketSink sink;
    RefPtr<Follower> follower(new Follower);
    ASSERT_TRUE(platform->manager->AddAddressListener(&platform->services, follower.get()));
    RefPtr<NetworkReceiverEntry> entry = platform->manager->FindEntry(&platform->services);
    ASSERT_TRUE(entry);
    int32_t port = 0;
    ASSERT_TRUE(entry->StartDataListeners(nullptr, nullptr, port, &sink));
    const int32_t firstPort = entry->GetDataListenerPortForAddress(nullptr, "10.0.0.1");
    ASSERT_GT(firstPort, 0) << "a present address listens once listening is asked for";
    EXPECT_EQ(SendAndReceive(*platform, sink, "10.0.0.1", firstPort, "one").substr(0, 9),
              "one from ");
    TakeLog(platform->log);

    // A new address: a listener of its own that receives, and the follower is told.
    test_support::Ip("addr add 10.0.0.2/24 dev eth1");
    platform->RunTestJob();
    EXPECT_EQ(follower->Take(), Lines{"+eth1 2 1 10.0.0.2"});
    const int32_t newPort = entry->GetDataListenerPortForAddress(nullptr, "10.0.0.2");
    ASSERT_GT(newPort, 0);
    EXPECT_NE(newPort, firstPort) << "port 0: each address gets its own";
    EXPECT_EQ(SendAndReceive(*platform, sink, "10.0.0.2", newPort, "two").substr(0, 9),
              "two from ");
    Lines log = TakeLog(platform->log);
    EXPECT_TRUE(Contains(log,
                         "Listening to packets (automatically) Interface=eth1 "
                         "Address=10.0.0.2 Port=" +
                             std::to_string(newPort) + " Started=True"));
    EXPECT_TRUE(Contains(log, "Network changes detected"));

    // A lost address: its listener stopped, the follower told, its contexts disconnected.
    RefPtr<CountingContext> bound[] = {BoundContext(&platform->services, "10.0.0.2"),
                                       BoundContext(&platform->services, "10.0.0.2")};
    RefPtr<CountingContext> kept[] = {BoundContext(&platform->services, "10.0.0.1"),
                                      BoundContext(&other, "10.0.0.2")};
    for (auto* context : {bound[0].get(), bound[1].get(), kept[0].get(), kept[1].get()}) {
        platform->set.AddContext(context);
    }
    RefPtr<DatagramListener> listener =
        entry->GetAddressVector().FindAddress("10.0.0.2", nullptr)->GetListener();
    test_support::Ip("addr del 10.0.0.2/24 dev eth1");
    platform->RunTestJob();
    EXPECT_EQ(follower->Take(), Lines{"-eth1 2 1 10.0.0.2"});
    EXPECT_EQ(listener->GetPort(), -1) << "the lost address's listener is still open";
    EXPECT_FALSE(entry->GetAddressVector().FindAddress("10.0.0.2", nullptr));
    EXPECT_EQ(entry->GetDataListenerPortForAddress(nullptr, "10.0.0.2"), 0);
    log = TakeLog(platform->log);
    for (const char* line :
         {"Lost local address Address=10.0.0.2",
          "Disconnecting packets receiver Interface=eth1 Address=10.0.0.2",
          "Connection contexts disconnected Number of contexts=2", "Network changes detected"}) {
        EXPECT_TRUE(Contains(log, line)) << line;
    }
    EXPECT_EQ(platform->set.GetCount(), 2u);

    // The next test finds nothing more to do; nothing is disconnected twice.
    platform->RunTestJob();
    EXPECT_TRUE(follower->Take().empty());
    EXPECT_EQ(TakeLog(platform->log), Lines{});
    for (auto& context : bound) {
        EXPECT_EQ(context->disconnects, 1);
    }
    for (auto& context : kept) {
        EXPECT_EQ(context->disconnects, 0);
    }

    // The address returns: a new entry, a new listener, told as new.
    test_support::Ip("addr add 10.0.0.2/24 dev eth1");
    platform->RunTestJob();
    EXPECT_EQ(follower->Take(), Lines{"+eth1 2 1 10.0.0.2"});
    EXPECT_GT(entry->GetDataListenerPortForAddress(nullptr, "10.0.0.2"), 0);

    // The job comes back every 3 s, and never once its manager is gone.
    int64_t next = 0;
    ASSERT_TRUE(platform->scheduler->GetTimeToNextTask(next));
    EXPECT_GT(next, 2'500'000);
    EXPECT_LE(next, NetworkPacketsManager::kTestPeriod);
    listener = entry->GetAddressVector().FindAddress("10.0.0.1", nullptr)->GetListener();
    entry.Reset();
    platform->manager.reset();
    EXPECT_FALSE(platform->scheduler->GetTimeToNextTask(next));
    EXPECT_EQ(listener->GetPort(), -1) << "a listener outlived its manager";
    EXPECT_EQ(follower->disconnects, 1);
    EXPECT_EQ(follower->CountReferences(), 1);
}

TEST(NetworkPacketsManager, ListensAndMakesSendersPerAddressOrByDefault) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    test_support::AddVeth("eth1", "peer1", "10.0.0.1/24");
    for (const bool perAddress : {false, true}) {
        SCOPED_TRACE(perAddress ? "per address" : "default listener");
        Platform platform;
        RecordingPacketSink sink;
        platform.manager->SetPerAddressListening(perAddress);
        RefPtr<NetworkReceiverEntry> entry =
            platform.manager->FindOrAddProvider(&platform.services);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->IsPerAddressMode(), perAddress);
        int32_t port = 0;
        EXPECT_FALSE(entry->StartDataListeners(nullptr, "10.9.9.9", port, &sink))
            << "not a local address";
        EXPECT_EQ(TakeLog(platform.log),
                  Lines{perAddress ? "Missing listen address Interface=Null Address=10.9.9.9"
                                   : "Failed to start listening Interface=Null Address=10.9.9.9 "
                                     "Port=0"});
        EXPECT_FALSE(entry->CreateSender(nullptr, "10.0.0.1"));
        EXPECT_EQ(TakeLog(platform.log).back(), "Missing default packets receiver");
        EXPECT_EQ(entry->FindOrAddPacketsReceiver(nullptr, nullptr, &sink), true);
        // Outside per-address listening that started the default listener; within it,
        // nothing listens until asked.
        const int32_t defaultPort = entry->GetDataListenerPortForAddress(nullptr, nullptr);
        EXPECT_EQ(defaultPort > 0, !perAddress);

        port = 0;
        ASSERT_TRUE(entry->StartDataListeners(u"eth1", "10.0.0.1", port, &sink));
        ASSERT_GT(port, 0);
        EXPECT_EQ(entry->GetDataListenerPortForAddress(u"eth1", "10.0.0.1"), port);
        EXPECT_EQ(entry->GetDataListenerPortForAddress(u"eth2", "10.0.0.1"),
                  perAddress ? 0 : defaultPort)
            << "the interface name must match too";
        // A sender leaves from the address's own listener only when listening per address.
        RefPtr<DatagramSender> sender = entry->CreateSender(nullptr, "10.0.0.1");
        ASSERT_TRUE(sender);
        EXPECT_EQ(sender->GetPort(), perAddress ? port : defaultPort);
        TakeLog(platform.log);
        sender = entry->CreateSender(nullptr, "10.0.0.7");
        EXPECT_EQ(static_cast<bool>(sender), !perAddress);
        const Lines expected = {
            "Missing listen address to create sender Interface=Null "
            "Address=10.0.0.7",
            "Missing default packets receiver"};
        EXPECT_EQ(TakeLog(platform.log), perAddress ? expected : Lines{});

        entry->StopDataListeners();
        EXPECT_EQ(entry->GetDataListenerPortForAddress(nullptr, nullptr), 0);
        EXPECT_EQ(entry->GetDataListenerPortForAddress(nullptr, "10.0.0.1"), perAddress ? 0 : port)
            << "an explicitly started address listener stops with per-address listening only";
    }
}

// The address connections of an entry go when it is disconnected, each after its
// Disconnect; one that removes itself meanwhile is kept alive by the snapshot till then.
TEST(NetworkPacketsManager, DisconnectingAnEntryLetsItsFollowersGo) {
    PlatformServices services{"/dev/null"};
    NetworkPacketsManager manager;
    RefPtr<Follower> plain(new Follower);
    RefPtr<Follower> leaving(new Follower);
    for (Follower* follower : {plain.get(), leaving.get()}) {
        EXPECT_TRUE(manager.AddAddressListener(&services, follower));
        EXPECT_FALSE(manager.AddAddressListener(&services, follower)) << "added twice";
        EXPECT_EQ(follower->CountReferences(), 2) << "the set holds exactly one reference";
    }
    RefPtr<NetworkReceiverEntry> entry = manager.FindEntry(&services);
    leaving->entry = entry.get();
    // Told of the present addresses, whatever they are, with no lock held.
    manager.CallUponLocalAddresses(&services, plain.get());
    EXPECT_EQ(plain->Take().size(), services.GetNetworkInterfaces().GetRecords().size());
    manager.DisconnectAll();
    EXPECT_FALSE(manager.FindEntry(&services));
    for (Follower* follower : {plain.get(), leaving.get()}) {
        EXPECT_EQ(follower->disconnects, 1);
        EXPECT_EQ(follower->CountReferences(), 1);
    }
    EXPECT_FALSE(entry->RemoveAddressListener(leaving.get()));
    manager.Shutdown();
    EXPECT_FALSE(manager.FindOrAddProvider(&services)) << "no entry is made after the end";
}

// Tests on several threads at once, beside threads that follow and listen: every change
// of the addresses is still announced once, and its contexts are disconnected once.
TEST(NetworkPacketsManager, ConcurrentTestsAnnounceEachChangeOnce) {
    if (!test_support::InsideNetworkNamespace()) {
        test_support::RerunInNetworkNamespace();
        return;
    }
    test_support::AddVeth("eth1", "peer1", "10.0.0.1/24");
    Platform platform;
    RecordingPacketSink sink;
    RefPtr<Follower> follower(new Follower);
    ASSERT_TRUE(platform.manager->AddAddressListener(&platform.services, follower.get()));
    RefPtr<NetworkReceiverEntry> entry = platform.manager->FindEntry(&platform.services);
    int32_t port = 0;
    ASSERT_TRUE(entry->StartDataListeners(nullptr, nullptr, port, &sink));
    std::vector<RefPtr<CountingContext>> contexts;
    bool present = false;
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        if (present) {
            contexts.push_back(BoundContext(&platform.services, "10.0.0.2"));
            platform.set.AddContext(contexts.back().get());
        }
        test_support::Ip(std::string("addr ") + (present ? "del" : "add") +
                         " 10.0.0.2/24 dev eth1");
        present = !present;
        std::vector<std::thread> threads;
        for (int tester = 0; tester < 3; ++tester) {
            threads.emplace_back([&] {
                for (int i = 0; i < 3; ++i) {
                    platform.manager->TestNetworkChanges();
                }
            });
        }
        threads.emplace_back([&] {
            RefPtr<Follower> passing(new Follower);
            for (int i = 0; i < 3; ++i) {
                platform.manager->AddAddressListener(&platform.services, passing.get());
                platform.manager->CallUponLocalAddresses(&platform.services, passing.get());
                entry->RemoveAddressListener(passing.get());
            }
        });
        threads.emplace_back([&] {
            for (int i = 0; i < 3; ++i) {
                int32_t anyPort = 0;
                entry->StartDataListeners(nullptr, nullptr, anyPort, &sink);
                entry->CreateSender(nullptr, "10.0.0.2");
                entry->StopDataListeners();
            }
            int32_t anyPort = 0;
            entry->StartDataListeners(nullptr, nullptr, anyPort, &sink);
        });
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(follower->Take(),
                  Lines{(present ? "+" : "-") + std::string("eth1 2 1 10.0.0.2")});
        EXPECT_EQ(entry->GetDataListenerPortForAddress(nullptr, "10.0.0.2") > 0, present);
        for (const RefPtr<CountingContext>& context : contexts) {
            EXPECT_EQ(context->disconnects, 1);
        }
    }
    EXPECT_EQ(platform.set.GetCount(), 0u);
}

}  // namespace
}  // namespace qav
