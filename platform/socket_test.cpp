#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/poll.h"

namespace qav::platform {
namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// The sockets of one test, closed at its end whatever fails first.
struct Sockets {
    ~Sockets() {
        for (int socket : open)
            CloseSocket(socket);
    }
    int Keep(int socket) {
        EXPECT_GE(socket, 0);
        EXPECT_NE(fcntl(socket, F_GETFL) & O_NONBLOCK, 0) << "socket blocks";
        EXPECT_NE(fcntl(socket, F_GETFD) & FD_CLOEXEC, 0) << "socket is inherited by exec";
        open.push_back(socket);
        return socket;
    }
    std::vector<int> open;
};

bool WaitFor(int socket, uint16_t events) {
    PollRecord record{socket, events, 0};
    int errorCode = 0;
    return Poll(&record, 1, 5000, errorCode) == 1 && (record.returnedEvents & events) != 0;
}

TEST(Socket, TcpOverLoopback) {
    Sockets sockets;
    int errorCode = 0;
    const int listener = sockets.Keep(CreateTcpSocket(errorCode));
    ASSERT_TRUE(SetReuseAddress(listener, true));
    ASSERT_TRUE(BindSocket(listener, SocketAddressV4{kLoopback, 0}, errorCode));
    ASSERT_TRUE(ListenSocket(listener, 100, errorCode));
    SocketAddressV4 bound;
    ASSERT_TRUE(GetSocketName(listener, bound, errorCode));
    ASSERT_NE(bound.port, 0);

    const int client = sockets.Keep(CreateTcpSocket(errorCode));
    ASSERT_TRUE(SetNoDelay(client, true) && SetKeepAlive(client, true));
    ASSERT_NE(ConnectSocket(client, bound, errorCode), -1) << errorCode;
    ASSERT_TRUE(WaitFor(client, kPollOutput));
    int pending = -1;
    ASSERT_TRUE(GetPendingSocketError(client, pending, errorCode));
    EXPECT_EQ(pending, 0);

    ASSERT_TRUE(WaitFor(listener, kPollInput));
    SocketAddressV4 peer;
    const int accepted = sockets.Keep(AcceptSocket(listener, peer, errorCode));

    char buffer[64];
    EXPECT_EQ(ReceiveFromSocket(accepted, buffer, sizeof buffer, errorCode), -1);
    EXPECT_TRUE(errorCode == EAGAIN || errorCode == EWOULDBLOCK) << "a receive waited";

    const std::string message = "hello over loopback";
    EXPECT_EQ(SendOnSocket(client, message.data(), message.size(), errorCode), 19);
    ASSERT_TRUE(WaitFor(accepted, kPollInput));
    EXPECT_EQ(GetReadableBytes(accepted, errorCode), 19);
    ASSERT_EQ(ReceiveFromSocket(accepted, buffer, sizeof buffer, errorCode), 19);
    EXPECT_EQ(std::string(buffer, 19), message);

    // An orderly close reads as 0; writing to a closed peer fails instead of raising
    // SIGPIPE, which would end the test program.
    ShutdownSocket(client);
    ASSERT_TRUE(WaitFor(accepted, kPollInput));
    EXPECT_EQ(ReceiveFromSocket(accepted, buffer, sizeof buffer, errorCode), 0);
    CloseSocket(client);
    std::erase(sockets.open, client);
    ptrdiff_t sent = 0;
    for (int i = 0; i < 50 && sent >= 0; ++i) {
        sent = SendOnSocket(accepted, message.data(), message.size(), errorCode);
        WaitFor(accepted, kPollError | kPollHangUp);
    }
    EXPECT_EQ(sent, -1);
    EXPECT_TRUE(errorCode == EPIPE || errorCode == ECONNRESET) << errorCode;

    // A connect to a port nobody listens on: refused at once or through SO_ERROR.
    const int refused = sockets.Keep(CreateTcpSocket(errorCode));
    CloseSocket(listener);
    std::erase(sockets.open, listener);
    errorCode = 0;
    if (ConnectSocket(refused, bound, errorCode) == 1) {
        ASSERT_TRUE(WaitFor(refused, kPollOutput));
        ASSERT_TRUE(GetPendingSocketError(refused, errorCode, errorCode));
    }
    EXPECT_EQ(errorCode, ECONNREFUSED);
}

// The look for a stream's end tells bytes waiting, an orderly close and a reset apart, and
// hands on the reset's error, which it takes from the socket.
TEST(Socket, PeerHasClosedTellsDataCloseAndResetApart) {
    Sockets sockets;
    int errorCode = 0;
    const int listener = sockets.Keep(CreateTcpSocket(errorCode));
    ASSERT_TRUE(BindSocket(listener, SocketAddressV4{kLoopback, 0}, errorCode));
    ASSERT_TRUE(ListenSocket(listener, 8, errorCode));
    SocketAddressV4 bound;
    ASSERT_TRUE(GetSocketName(listener, bound, errorCode));
    for (const bool reset : {false, true}) {
        const int client = CreateTcpSocket(errorCode);
        ASSERT_NE(ConnectSocket(client, bound, errorCode), -1);
        ASSERT_TRUE(WaitFor(listener, kPollInput));
        SocketAddressV4 peer;
        const int accepted = sockets.Keep(AcceptSocket(listener, peer, errorCode));
        ASSERT_TRUE(WaitFor(client, kPollOutput));
        int64_t rtt = -1;
        EXPECT_TRUE(GetRoundTripTime(client, rtt, errorCode));
        EXPECT_GT(rtt, 0) << "a connected socket has measured its handshake";

        errorCode = -1;
        EXPECT_FALSE(PeerHasClosed(accepted, errorCode)) << "nothing came yet";
        ASSERT_EQ(SendOnSocket(client, "x", 1, errorCode), 1);
        ASSERT_TRUE(WaitFor(accepted, kPollInput));
        EXPECT_FALSE(PeerHasClosed(accepted, errorCode)) << "a byte waits";
        char byte = 0;
        ASSERT_EQ(ReceiveFromSocket(accepted, &byte, 1, errorCode), 1);
        if (reset) {
            const linger abortive{1, 0};
            ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive), 0);
        }
        CloseSocket(client);
        ASSERT_TRUE(WaitFor(accepted, kPollInput));
        errorCode = -1;
        EXPECT_TRUE(PeerHasClosed(accepted, errorCode));
        EXPECT_EQ(errorCode, reset ? ECONNRESET : 0);
        if (reset) {
            int pending = -1;
            ASSERT_TRUE(GetPendingSocketError(accepted, pending, errorCode));
            EXPECT_EQ(pending, 0) << "the look took the error";
        }
    }
    int64_t rtt = 0;
    EXPECT_FALSE(GetRoundTripTime(-1, rtt, errorCode));
}

// An urgent byte at the point where a socket reads next: inline, it is counted and read like
// any other byte; out of band, the count still says something waits, so a reader that
// trusts it reads on past the mark instead of finding nothing there for ever.
TEST(Socket, ReadableBytesAtAnUrgentMark) {
    Sockets sockets;
    int errorCode = 0;
    const int listener = sockets.Keep(CreateTcpSocket(errorCode));
    ASSERT_TRUE(BindSocket(listener, SocketAddressV4{kLoopback, 0}, errorCode));
    ASSERT_TRUE(ListenSocket(listener, 8, errorCode));
    SocketAddressV4 bound;
    ASSERT_TRUE(GetSocketName(listener, bound, errorCode));
    for (const bool inlined : {true, false}) {
        SCOPED_TRACE(inlined ? "inline" : "out of band");
        const int client = sockets.Keep(CreateTcpSocket(errorCode));
        ASSERT_NE(ConnectSocket(client, bound, errorCode), -1);
        ASSERT_TRUE(WaitFor(listener, kPollInput));
        SocketAddressV4 peer;
        const int accepted = sockets.Keep(AcceptSocket(listener, peer, errorCode));
        ASSERT_TRUE(SetOutOfBandInline(accepted, inlined));
        ASSERT_TRUE(WaitFor(client, kPollOutput));
        char buffer[16];
        ASSERT_EQ(SendOnSocket(client, "head", 4, errorCode), 4);
        ASSERT_TRUE(WaitFor(accepted, kPollInput));
        ASSERT_EQ(ReceiveFromSocket(accepted, buffer, sizeof buffer, errorCode), 4);

        ASSERT_EQ(send(client, "!", 1, MSG_OOB), 1);
        ASSERT_EQ(SendOnSocket(client, "tail", 4, errorCode), 4);
        std::string read;
        for (int turn = 0; turn < 20 && read.size() < (inlined ? 5u : 4u); ++turn) {
            ASSERT_TRUE(WaitFor(accepted, kPollInput));
            const int readable = GetReadableBytes(accepted, errorCode);
            ASSERT_GT(readable, 0) << "readable, yet the count says nothing waits";
            const ptrdiff_t got = ReceiveFromSocket(accepted, buffer, sizeof buffer, errorCode);
            if (got > 0) {
                read.append(buffer, static_cast<size_t>(got));
            }
        }
        EXPECT_EQ(read, inlined ? "!tail" : "tail");
        EXPECT_EQ(GetReadableBytes(accepted, errorCode), 0) << "nothing is left";
    }
}

TEST(Socket, BindingToADevice) {
    Sockets sockets;
    int errorCode = 0;
    EXPECT_NE(InterfaceIndex("lo"), 0u);
    EXPECT_EQ(InterfaceIndex("no-such-if"), 0u);
    EXPECT_EQ(InterfaceIndex(""), 0u);
    EXPECT_EQ(InterfaceIndex("a name longer than any interface's"), 0u);
    const int socket = sockets.Keep(CreateTcpSocket(errorCode));
    EXPECT_TRUE(BindSocketToDevice(socket, "lo", errorCode)) << errorCode;
    char name[32] = {};
    socklen_t length = sizeof name;
    ASSERT_EQ(getsockopt(socket, SOL_SOCKET, SO_BINDTODEVICE, name, &length), 0);
    EXPECT_EQ(std::string(name), "lo");
    EXPECT_FALSE(BindSocketToDevice(socket, "no-such-if", errorCode));
    EXPECT_EQ(errorCode, ENODEV);
    EXPECT_FALSE(BindSocketToDevice(socket, std::string("l\0o", 3), errorCode));
}

TEST(Socket, DatagramsOversizeDroppedAndEmptyKept) {
    Sockets sockets;
    int errorCode = 0;
    const int receiver = sockets.Keep(CreateUdpSocket(errorCode));
    const int sender = sockets.Keep(CreateUdpSocket(errorCode));
    SocketAddressV4 to;
    SocketAddressV4 senderName;
    ASSERT_TRUE(BindSocket(receiver, SocketAddressV4{kLoopback, 0}, errorCode));
    ASSERT_TRUE(BindSocket(sender, SocketAddressV4{kLoopback, 0}, errorCode));
    ASSERT_TRUE(GetSocketName(receiver, to, errorCode) &&
                GetSocketName(sender, senderName, errorCode));
    ASSERT_TRUE(SetReceiveBufferSize(receiver, 65536) && SetBroadcast(sender, true));

    char buffer[16];
    SocketAddressV4 from;
    const auto receive = [&](bool wait) {
        EXPECT_TRUE(!wait || WaitFor(receiver, kPollInput));
        return ReceiveDatagram(receiver, buffer, sizeof buffer, from, errorCode);
    };
    EXPECT_EQ(receive(false), -1);
    EXPECT_TRUE(errorCode == EAGAIN || errorCode == EWOULDBLOCK) << "a receive waited";
    errorCode = -1;
    EXPECT_FALSE(DatagramWaits(receiver, errorCode));
    EXPECT_EQ(errorCode, 0) << "an empty queue is no error";

    const std::string fits = "exactly sixteen!";
    ASSERT_EQ(SendDatagram(sender, std::string(17, 'x').data(), 17, to, errorCode), 17);
    ASSERT_EQ(SendDatagram(sender, "", 0, to, errorCode), 0);
    ASSERT_EQ(SendDatagram(sender, fits.data(), 16, to, errorCode), 16);

    // The oversize datagram is consumed and reported, never handed on cut short.
    EXPECT_EQ(receive(true), -1);
    EXPECT_EQ(errorCode, EMSGSIZE);
    // The check for a waiting datagram sees the empty one and leaves it waiting.
    EXPECT_TRUE(WaitFor(receiver, kPollInput));
    EXPECT_TRUE(DatagramWaits(receiver, errorCode) && DatagramWaits(receiver, errorCode));
    EXPECT_EQ(receive(true), 0) << "a zero-length datagram is a datagram, not an error";
    EXPECT_TRUE(from.address == kLoopback && from.port == senderName.port);
    ASSERT_EQ(receive(true), 16);
    EXPECT_EQ(std::string(buffer, 16), fits);

    // Into two buffers: what fits the first stays there whole, a longer one runs on into
    // the second, a datagram longer than both is dropped.
    char first[4];
    char second[8];
    const auto receiveInTwo = [&] {
        EXPECT_TRUE(WaitFor(receiver, kPollInput));
        return ReceiveDatagramInTwo(receiver, first, sizeof first, second, sizeof second, from,
                                    errorCode);
    };
    for (const std::string bytes : {"abcd", "abcdefghijkl", "abcdefghijklm", "ab"}) {
        ASSERT_EQ(SendDatagram(sender, bytes.data(), bytes.size(), to, errorCode),
                  static_cast<ptrdiff_t>(bytes.size()));
        std::memset(second, '-', sizeof second);
        const ptrdiff_t got = receiveInTwo();
        if (bytes.size() > sizeof first + sizeof second) {
            EXPECT_EQ(got, -1) << bytes;
            EXPECT_EQ(errorCode, EMSGSIZE) << bytes;
            continue;
        }
        ASSERT_EQ(got, static_cast<ptrdiff_t>(bytes.size())) << bytes;
        const std::string joined = std::string(first, sizeof first) + std::string(second, 8);
        EXPECT_EQ(joined.substr(0, bytes.size()), bytes);
        if (bytes.size() <= sizeof first) {
            EXPECT_EQ(std::string(second, 8), "--------") << bytes;
        }
    }
}

TEST(Socket, DottedAddressParsingAndFormatting) {
    const std::pair<const char*, const char*> valid[] = {
        {"127.0.0.1", "127.0.0.1"}, {"0.0.0.0", "0.0.0.0"},  {"255.255.255.255", "255.255.255.255"},
        {"10.1", "10.0.0.1"},       {"0x7f.1", "127.0.0.1"},
    };
    for (const auto& [text, formatted] : valid) {
        uint32_t address = 0;
        EXPECT_TRUE(ParseDottedAddress(text, address)) << text;
        EXPECT_EQ(FormatDottedAddress(address), formatted) << text;
    }
    for (const char* text : {"1.2.3.4x", " 1.2.3.4", "1.2.3.4 ", "1.2.3.4 junk", "1.2.3.4\n",
                             "256.1.1.1", "1.2.3.4.5", "1..2.3", "", "host.example", "-1.2.3.4"}) {
        uint32_t address = 0x5A5A5A5Au;
        EXPECT_FALSE(ParseDottedAddress(text, address)) << '"' << text << '"';
        EXPECT_EQ(address, 0x5A5A5A5Au) << '"' << text << "\" changed the output";
    }
    uint32_t untouched = 7;
    EXPECT_FALSE(ParseDottedAddress(nullptr, untouched));
    EXPECT_EQ(FormatDottedAddress(htonl(0xC0A80114u)), "192.168.1.20");
}

}  // namespace
}  // namespace qav::platform
