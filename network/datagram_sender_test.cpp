#include "network/datagram_sender.h"

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "network/datagram_listener.h"
#include "network/platform_services.h"
#include "network/udp_test_peer.h"

namespace qav {
namespace {

using test_support::UdpPeer;

struct Completion final : SendCompletion {
    void Complete(const void* source, int32_t bytesSent, int32_t errorCode) override {
        calls.push_back({source, bytesSent, errorCode});
    }
    std::vector<std::tuple<const void*, int32_t, int32_t>> calls;
};

TEST(DatagramSender, MadeByAListenerSendsFromItsPortAndKeepsItsSocketOpen) {
    PlatformServices services;
    RefPtr<DatagramListener> listener(new RefCountedObject<DatagramListener>(&services));
    ASSERT_TRUE(listener->StartListening(u"", "127.0.0.1", 0, true, false));
    const int32_t port = listener->GetPort();
    UdpPeer peer;
    RefPtr<DatagramSender> sender = listener->CreateSender();
    ASSERT_TRUE(sender && sender->SetDestination("127.0.0.1", false, false, peer.Port()));
    EXPECT_TRUE(sender->IsReady());
    EXPECT_EQ(port, sender->GetPort());

    for (const std::string bytes : {"while listening", "after the listener closed"}) {
        EXPECT_EQ(static_cast<int32_t>(bytes.size()),
                  sender->Send(bytes.data(), static_cast<int32_t>(bytes.size()), nullptr));
        EXPECT_EQ(std::make_pair(bytes, port), peer.Receive());
        listener->Disconnect();
    }
    EXPECT_FALSE(listener->CreateSender()) << "a closed listener has no socket to share";
}

TEST(DatagramSender, SendsOnlyToAKnownAddressAndCompletesEveryCall) {
    PlatformServices services;
    RefPtr<DatagramSender> sender(new RefCountedObject<DatagramSender>(&services));
    UdpPeer peer;
    const std::string payload = "payload" + std::string(70000, '.');
    const struct {
        const char* host;
        int32_t length;
        int32_t sent;
        int32_t error;
    } cases[] = {
        {"peer.invalid", 7, 0, kSendNoDestination},  // no resolver yet: a name never sends
        {"127.0.0.1", 7, 7, 0},
        {"127.0.0.1", -1, 0, kSendNothingSent},
        {"127.0.0.1", 70000, 0, EMSGSIZE},        // the socket's error; nothing sent is 0, not -1
        {"localhost", 7, 0, kSendNoDestination},  // and the earlier address is forgotten
    };
    for (const auto& c : cases) {
        const bool known = c.error != kSendNoDestination;
        EXPECT_EQ(known, sender->SetDestination(c.host, true, false, peer.Port())) << c.host;
        Completion completion;
        EXPECT_EQ(c.sent, sender->Send(payload.data(), c.length, &completion)) << c.host;
        const std::tuple<const void*, int32_t, int32_t> call{payload.data(), c.sent, c.error};
        EXPECT_EQ(decltype(completion.calls){call}, completion.calls) << c.host;
        const auto got = peer.Receive(c.sent > 0 ? 5000 : 50);
        ASSERT_EQ(c.sent > 0, got.has_value()) << c.host;
        if (got) {
            EXPECT_EQ(std::make_pair(payload.substr(0, 7), sender->GetPort()), *got)
                << "sent from the own socket's port";
        }
    }
}

}  // namespace
}  // namespace qav
