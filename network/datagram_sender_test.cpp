#include "network/datagram_sender.h"

#include "network/datagram_listener.h"
#include "network/loopback_test_support.h"

namespace qav {
namespace {

using test_support::RecordingCompletion;
using test_support::UdpPeer;

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
    // No DNS server is known, so the names below are never asked for.
    test_support::ScratchDirectory directory;
    PlatformServices services(directory.Narrow("missing-resolv.conf"));
    RefPtr<DatagramSender> sender(new RefCountedObject<DatagramSender>(&services));
    UdpPeer peer;
    const std::string payload = "payload" + std::string(70000, '.');
    const struct {
        const char* host;
        int32_t length;
        int32_t sent;
        int32_t error;
    } cases[] = {
        {"peer.invalid", 7, 0, kSendNoDestination},  // a name nobody answers never sends
        {"127.0.0.1", 7, 7, 0},
        {"127.0.0.1", -1, 0, kSendNothingSent},
        {"127.0.0.1", 70000, 0, EMSGSIZE},  // the socket's error; nothing sent is 0, not -1
        {"other.invalid", 7, 0, kSendNoDestination},  // and the earlier address is forgotten
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error != kSendNoDestination,
                  sender->SetDestination(c.host, true, false, peer.Port()))
            << c.host;
        RecordingCompletion completion;
        EXPECT_EQ(c.sent, sender->Send(payload.data(), c.length, &completion)) << c.host;
        EXPECT_EQ((RecordingCompletion::Calls{{payload.data(), {{c.sent, c.error}}}}),
                  completion.Taken())
            << c.host;
        using Datagram = std::optional<std::pair<std::string, int32_t>>;
        EXPECT_EQ(c.sent > 0 ? Datagram({payload.substr(0, 7), sender->GetPort()}) : std::nullopt,
                  peer.Receive(c.sent > 0 ? 5000 : 50))
            << c.host << ": sent once, from the own socket's port";
    }
}

}  // namespace
}  // namespace qav
