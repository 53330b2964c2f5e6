#include "network/buffered_connection_reader.h"

#include <netinet/tcp.h>

#include <chrono>
#include <thread>

#include "network/loopback_test_support.h"
#include "network/reliable_connection.h"
#include "network/scripted_connection_stream.h"

namespace qav {
namespace {

using namespace std::string_literals;

const std::string kSync = "\x01\x2A\x53\xE8"s;

struct Fixture {
    explicit Fixture(int32_t size, const std::vector<std::string>& pieces = {})
        : stream(new test_support::ScriptedConnectionStream), reader(stream.get(), size) {
        for (const std::string& piece : pieces) {
            stream->Arrive(piece);
        }
    }
    std::string Read(int32_t count = 4096, bool wait = true) {
        std::string bytes(static_cast<size_t>(count), '\0');
        bytes.resize(static_cast<size_t>(reader.Read(bytes.data(), count, wait)));
        return bytes;
    }
    RefPtr<test_support::ScriptedConnectionStream> stream;
    BufferedConnectionReader reader;
};

TEST(BufferedConnectionReader, ReadStringEndingWith) {
    struct Case {
        std::vector<std::string> pieces;
        const char* terminator;
        bool include;
        int32_t maximum;
        int32_t result;
        std::string output;
        std::string rest;  // what a later read gets
    } const cases[] = {
        {{"GET /\r\n", "\r\nbody"}, "\r\n\r\n", true, 99, kScanFound, "xGET /\r\n\r\n", "body"},
        {{"ab\r\ncd"}, "\r\n", false, 99, kScanFound, "xab", "\r\ncd"},
        {{"abc\r\n\r"}, "\r\n\r\n", true, 99, kScanNeedMore, "xabc", "\r\n\r"},
        // A zero byte is an ordinary byte, whether it arrives with the terminator or not.
        {{"ab\0cd\r\ne"s}, "\r\n", true, 99, kScanFound, "xab\0cd\r\n"s, "e"},
        {{"ab\0"s, "cd\r\ne"}, "\r\n", true, 99, kScanFound, "xab\0cd\r\n"s, "e"},
        {{"ab"s, "\0cd\r"s, "\ne"}, "\r\n", true, 99, kScanFound, "xab\0cd\r\n"s, "e"},
        {{"abcdef\r\nnext"}, "\r\n", true, 5, kScanTooLong, "", "next"},
        {{"abcdefgh", "ij\r\n"}, "\r\n", true, 5, kScanTooLong, "", "ij\r\n"},
        {{"abc"}, "", true, 99, kScanBadRequest, "x", "abc"},
        {{"abc"}, "0123456789abcdef", true, 99, kScanBadRequest, "x", "abc"},
    };
    for (const Case& c : cases) {
        Fixture f(16, c.pieces);
        std::string output = "x";  // collected by an earlier call
        const int32_t result =
            f.reader.ReadStringEndingWith(output, c.terminator, c.include, c.maximum);
        EXPECT_EQ(result, c.result) << c.pieces[0];
        EXPECT_EQ(output, c.output) << c.pieces[0];
        EXPECT_EQ(f.Read(), c.rest) << c.pieces[0];
    }
}

TEST(BufferedConnectionReader, ScansNeverBringBackConsumedBytes) {
    Fixture f(64, {"xy"});
    EXPECT_EQ(f.Read(1, false), "x");
    std::string output;
    EXPECT_EQ(f.reader.ReadStringEndingWith(output, "END", true, 99), kScanNeedMore);
    f.stream->Arrive("z E");
    EXPECT_EQ(f.reader.ReadStringEndingWith(output, "END", true, 99), kScanNeedMore);
    f.stream->Arrive("NDtail");
    EXPECT_EQ(f.reader.ReadStringEndingWith(output, "END", true, 99), kScanFound);
    EXPECT_EQ(output, "yz END");

    // Once 0x01 is read, the pattern must not be put together from it again.
    f.stream->Arrive("\x01\x2A\x53");
    EXPECT_EQ(f.Read(5, false), "tail\x01");
    f.stream->Arrive("\xE8");
    int32_t skipped = -1;
    EXPECT_EQ(f.reader.ReadUntilToken(skipped), kScanNeedMore);
    EXPECT_EQ(f.Read(), "\x2A\x53\xE8");

    // Bytes passed over by a failed search are counted once, never read again.
    f.stream->Arrive("abc");
    skipped = 0;
    EXPECT_FALSE(f.reader.ReadUntilChar(':', true, skipped));
    EXPECT_EQ(skipped, 3);
    f.stream->Arrive("zz");
    EXPECT_EQ(f.Read(), "zz");
}

TEST(BufferedConnectionReader, ReadUntilTokenFindsSplitPatterns) {
    for (const std::string& noise : {""s, "\x01\x2A\x53"s, "x\x01\x2A\x01junk"s}) {
        const std::string bytes = noise + kSync + "payload";
        for (size_t split = 1; split < noise.size() + kSync.size(); ++split) {
            Fixture f(8, {bytes.substr(0, split), bytes.substr(split)});
            const std::string where = std::to_string(noise.size()) + "/" + std::to_string(split);
            int32_t skipped = -1;
            ASSERT_EQ(f.reader.ReadUntilToken(skipped), kScanFound) << where;
            EXPECT_EQ(skipped, static_cast<int32_t>(noise.size())) << where;
            EXPECT_EQ(f.Read(), kSync + "payload") << where;
        }
    }
    Fixture tiny(4, {kSync});
    int32_t skipped = 0;
    EXPECT_EQ(tiny.reader.ReadUntilToken(skipped), kScanBadRequest);
}

TEST(BufferedConnectionReader, ReadUntilCharStopsOnOrPastTheByte) {
    for (const bool consume : {false, true}) {
        Fixture f(16, {"abc", "de:fg"});
        int32_t skipped = 10;
        EXPECT_TRUE(f.reader.ReadUntilChar(':', consume, skipped));
        EXPECT_EQ(skipped, 15);
        EXPECT_EQ(f.Read(), consume ? "fg" : ":fg");
    }
}

TEST(BufferedConnectionReader, LargeReadsGoStraightToTheDestination) {
    const std::string ten = "0123456789";
    struct Case {
        std::vector<std::string> pieces;
        bool wait;
        std::string expected;
    } const cases[] = {
        {{ten, ten, ten, ten, ten}, true, ten + ten + ten + ten},  // until the count
        {{ten, ten}, true, ten + ten},                             // until the stream is dry
        {{ten + ten, ten}, false, ten + ten},                      // one receive
    };
    for (const Case& c : cases) {
        Fixture f(16, c.pieces);
        EXPECT_EQ(f.Read(40, c.wait), c.expected) << c.wait;
        EXPECT_GT(f.stream->LargestReceive(), 15) << c.wait;
    }
    Fixture f(8, {"abc", "def", "ghi"});
    EXPECT_EQ(f.Read(5, false), "abc");  // small reads refill once without waiting
    EXPECT_EQ(f.Read(5, true), "defgh");
}

// A loopback peer writing one byte per segment into a real connection, whose wait loop
// this thread turns as the polling thread would.
TEST(BufferedConnectionReader, ReadsAPeerWritingByteByByte) {
    test_support::TcpListener listener;
    const int peer = test_support::ConnectLoopback(listener.port);
    int32_t peerPort = 0;
    const int accepted = listener.Accept(&peerPort);
    ASSERT_GE(accepted, 0);
    const int on = 1;
    ASSERT_EQ(setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)), 0);

    SocketHandlerManager loop;
    PlatformServices services;
    services.SetSocketHandlerManager(&loop);
    RefPtr<ReliableConnection> connection(new RefCountedObject<ReliableConnection>(&services));
    connection->Attach(accepted, "127.0.0.1", peerPort, nullptr);
    BufferedConnectionReader reader(connection.get(), 0x20000);

    const std::string text = "GET / HTTP/1.0\r\nHost: x\r\n\r\n";
    const std::string sent = "garbage" + kSync + text + "tail";
    std::thread writer([&] {
        for (const char byte : sent) {
            EXPECT_EQ(write(peer, &byte, 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        shutdown(peer, SHUT_WR);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto until = [&](const std::function<bool()>& done) {
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            loop.Wait(5);
        }
    };
    int32_t skipped = 0;
    int32_t totalSkipped = 0;
    until([&] {
        const int32_t result = reader.ReadUntilToken(skipped);
        totalSkipped += skipped;
        return result == kScanFound;
    });
    EXPECT_EQ(totalSkipped, 7);
    EXPECT_EQ(reader.Skip(4, false), 4);
    std::string output;
    until([&] { return reader.ReadStringEndingWith(output, "\r\n\r\n", true, 99) == kScanFound; });
    EXPECT_EQ(output, text);
    std::string tail;
    until([&] {
        char byte = 0;
        tail.append(&byte, static_cast<size_t>(reader.Read(&byte, 1, false)));
        return reader.GetReadQueueState() == kReadQueueClosed;
    });
    EXPECT_EQ(tail, "tail");
    writer.join();
    close(peer);
    connection->Disconnect();
}

}  // namespace
}  // namespace qav
