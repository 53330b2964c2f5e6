#include "core/stream_buffer.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory_test_support.h"

namespace qav {
namespace {

// Sanitizers copy memory slowly: move a quarter.
constexpr int kScale = test_support::kSanitizedBuild ? 4 : 1;

using namespace std::chrono_literals;

// Byte i of every test stream; the odd period keeps wrapped or shifted data from matching.
constexpr int kPeriod = 65521;
const std::vector<uint8_t>& Pattern() {
    static const std::vector<uint8_t> pattern = [] {
        std::vector<uint8_t> bytes(kPeriod + 2 * StreamBuffer::kMaximumGrowth);
        std::mt19937 random(7);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = i < kPeriod ? static_cast<uint8_t>(random()) : bytes[i - kPeriod];
        }
        return bytes;
    }();
    return pattern;
}
const uint8_t* StreamAt(int64_t offset) {
    return &Pattern()[offset % kPeriod];
}

std::string Describe(const StreamBufferState& s) {
    return "read " + std::to_string(s.readPosition) + " write " + std::to_string(s.writePosition) +
           " end " + std::to_string(s.dataEnd) + " stored " + std::to_string(s.StoredBytes()) +
           " written " + std::to_string(s.totalWritten) + " read " + std::to_string(s.totalRead);
}

// A ring of `capacity` whose positions stand at `read` and `write` (read <= write),
// holding stream bytes [read, write); `base` receives the array start.
void Arrange(StreamBuffer& ring, int32_t capacity, int32_t read, int32_t write, uint8_t*& base) {
    ASSERT_TRUE(ring.SetCapacity(capacity));
    base = ring.AllocateBlock(1);
    ASSERT_NE(base, nullptr);
    ASSERT_TRUE(ring.CommitWriteBlock(base, 0, 1));
    ASSERT_EQ(ring.Write(StreamAt(0), write), write);
    std::vector<uint8_t> sink(read + 1);
    ASSERT_EQ(ring.Read(sink.data(), read, read), read);
}

TEST(StreamBuffer, CopyingTakesWhatFitsAndReadsWithoutWaitingWhenItCan) {
    StreamBuffer ring;
    ASSERT_TRUE(ring.SetCapacity(8));
    EXPECT_EQ(ring.Write(StreamAt(0), 10), 8) << "a full ring ends the write short";
    StreamBufferState full = ring.GetState();
    EXPECT_TRUE(full.notEmpty && full.readPosition == full.writePosition) << Describe(full);
    EXPECT_EQ(ring.Write(StreamAt(8), 1), 0);

    uint8_t out[100];
    EXPECT_EQ(ring.Read(out, 0, 6), 6);
    EXPECT_EQ(ring.Write(StreamAt(8), 5), 5) << "the write wraps to the start";
    EXPECT_EQ(ring.Read(out, 1, 100), 7) << "pending bytes return at once, across the wrap";
    EXPECT_EQ(std::memcmp(out, StreamAt(6), 7), 0);

    ring.CloseWriting();
    EXPECT_FALSE(ring.IsOpen());
    EXPECT_EQ(ring.Read(out, 1, 100), 0) << "nothing pending and writing closed";
}

TEST(StreamBuffer, WaitingReadWakesOnWriteCloseAndReset) {
    struct Case {
        const char* wake;
        std::function<void(StreamBuffer&)> action;
        int32_t expected;
        int64_t from = 0;  // stream offset of the bytes returned
    };
    const Case cases[] = {
        {"Write", [](StreamBuffer& r) { r.Write(StreamAt(2), 10); }, 10},
        {"CloseWriting", [](StreamBuffer& r) { r.CloseWriting(); }, 2},
        // The two bytes taken before the Reset are dropped; the Read starts over.
        {"Reset",
         [](StreamBuffer& r) {
             r.Reset();
             std::this_thread::sleep_for(20ms);
             r.Write(StreamAt(50), 10);
         },
         10, 50},
    };
    for (const Case& c : cases) {
        StreamBuffer ring;
        ASSERT_TRUE(ring.SetCapacity(64));
        ring.Write(StreamAt(0), 2);
        uint8_t out[10];
        auto reader = std::async(std::launch::async, [&] { return ring.Read(out, 10, 10); });
        EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout) << c.wake;
        c.action(ring);
        ASSERT_EQ(reader.wait_for(5s), std::future_status::ready) << "not woken by " << c.wake;
        EXPECT_EQ(reader.get(), c.expected) << c.wake;
        EXPECT_EQ(std::memcmp(out, StreamAt(c.from), c.expected), 0) << c.wake;
    }
}

TEST(StreamBuffer, BlocksGoWhereTheyFit) {
    struct Case {
        int32_t capacity, read, write, size;
        int32_t offset;  // -1: refused
        int32_t readAfter, writeAfter;
    };
    const Case cases[] = {
        {10, 4, 4, 8, 0, 0, 0},    // empty, fits nowhere as it stands: all turn to 0
        {10, 8, 8, 6, 0, 8, 8},    // empty, fits before the read position: nothing moves
        {10, 8, 8, 2, 8, 8, 8},    // fits at the end
        {10, 3, 8, 3, 0, 3, 8},    // data pending, fits before it
        {10, 3, 8, 4, -1, 3, 8},   // fits nowhere
        {10, 0, 10, 1, -1, 0, 0},  // full
    };
    for (const Case& c : cases) {
        StreamBuffer ring;
        uint8_t* base = nullptr;
        Arrange(ring, c.capacity, c.read, c.write, base);
        uint8_t* block = ring.AllocateBlock(c.size);
        const StreamBufferState s = ring.GetState();
        const std::string label = "positions " + std::to_string(c.read) + "/" +
                                  std::to_string(c.write) + ", block " + std::to_string(c.size);
        EXPECT_EQ(block, c.offset < 0 ? nullptr : base + c.offset) << label;
        EXPECT_EQ(s.readPosition, c.readAfter) << label;
        EXPECT_EQ(s.writePosition, c.writeAfter) << label;
    }
}

TEST(StreamBuffer, ABlockAtTheStartEndsTheLapAndTheReaderTurnsThere) {
    StreamBuffer ring;
    uint8_t* base = nullptr;
    Arrange(ring, 10, 3, 8, base);
    uint8_t* block = ring.AllocateBlock(3);
    ASSERT_EQ(block, base);
    std::memcpy(block, StreamAt(8), 3);
    ASSERT_TRUE(ring.CommitWriteBlock(block, 3, 3));
    EXPECT_EQ(ring.GetState().dataEnd, 8);

    int32_t length = 0;
    uint8_t* run = ring.PeekBlockToRead(length);
    EXPECT_EQ(run, base + 3);
    EXPECT_EQ(length, 5) << "the run ends where the lap does, not at the capacity";
    ASSERT_TRUE(ring.ReleaseReadBlock(run, 5));
    run = ring.PeekBlockToRead(length);
    EXPECT_EQ(run, base);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(std::memcmp(run, StreamAt(8), 3), 0);

    // A lap that ends where an empty ring's reader stands: Read turns there too.
    StreamBuffer lapEnd;
    Arrange(lapEnd, 10, 8, 8, base);
    std::memcpy(lapEnd.AllocateBlock(6), StreamAt(8), 6);
    ASSERT_TRUE(lapEnd.CommitWriteBlock(base, 6, 6));
    uint8_t out[10];
    EXPECT_EQ(lapEnd.Read(out, 6, 10), 6);
    EXPECT_EQ(std::memcmp(out, StreamAt(8), 6), 0);
}

TEST(StreamBuffer, BadArgumentsFailAndChangeNothing) {
    StreamBuffer ring;
    uint8_t* base = nullptr;
    Arrange(ring, 16, 2, 6, base);
    uint8_t* block = ring.AllocateBlock(4);
    ASSERT_EQ(block, base + 6);
    int32_t length = 0;
    uint8_t* run = ring.PeekBlockToRead(length);
    ASSERT_EQ(length, 4);
    uint8_t out[8];
    uint8_t elsewhere[4];
    const std::pair<const char*, std::function<bool()>> calls[] = {
        {"commit at a wrong address", [&] { return ring.CommitWriteBlock(block + 1, 2, 4); }},
        {"commit at the read position", [&] { return ring.CommitWriteBlock(run, 2, 4); }},
        {"commit a negative size", [&] { return ring.CommitWriteBlock(block, -1, 4); }},
        {"commit more than allocated", [&] { return ring.CommitWriteBlock(block, 5, 4); }},
        {"allocated beyond capacity", [&] { return ring.CommitWriteBlock(block, 2, 17); }},
        {"release at a wrong address", [&] { return ring.ReleaseReadBlock(run + 1, 1); }},
        {"release a negative length", [&] { return ring.ReleaseReadBlock(run, -1); }},
        {"release more than stored", [&] { return ring.ReleaseReadBlock(run, 5); }},
        {"advance a negative length", [&] { return ring.AdvanceWrite(run, -1); }},
        {"advance beyond capacity", [&] { return ring.AdvanceWrite(block, 17); }},
        {"advance a foreign address", [&] { return ring.AdvanceWrite(elsewhere, 1); }},
        {"advance at the start past the reader", [&] { return ring.AdvanceWrite(base, 3); }},
        {"allocate 0", [&] { return ring.AllocateBlock(0) != nullptr; }},
        {"allocate beyond capacity", [&] { return ring.AllocateBlock(17) != nullptr; }},
        {"capacity below the data end", [&] { return ring.SetCapacity(5); }},
        {"negative capacity", [&] { return ring.SetCapacity(-1); }},
        {"write a negative length", [&] { return ring.Write(StreamAt(0), -5) != 0; }},
        {"read a negative minimum", [&] { return ring.Read(out, -1, 5) != 0; }},
        {"read minimum above maximum", [&] { return ring.Read(out, 5, 2) != 0; }},
    };
    const StreamBufferState before = ring.GetState();
    for (const auto& [what, call] : calls) {
        EXPECT_FALSE(call()) << what;
        const StreamBufferState after = ring.GetState();
        EXPECT_EQ(Describe(after), Describe(before)) << what;
    }
    // The block and the run are still good.
    std::memcpy(block, StreamAt(6), 4);
    EXPECT_TRUE(ring.CommitWriteBlock(block, 4, 4));
    EXPECT_TRUE(ring.ReleaseReadBlock(run, 4));
    EXPECT_EQ(ring.Read(out, 4, 8), 4);
    EXPECT_EQ(std::memcmp(out, StreamAt(6), 4), 0);
}

TEST(StreamBuffer, AdvanceWriteFindsTheSideByAddress) {
    uint8_t* base = nullptr;
    uint8_t out[16];
    {  // Empty with equal positions: a commit there.
        StreamBuffer ring;
        Arrange(ring, 8, 4, 4, base);
        ASSERT_EQ(ring.AllocateBlock(3), base + 4);
        EXPECT_TRUE(ring.AdvanceWrite(base + 4, 3));
        EXPECT_EQ(ring.GetState().StoredBytes(), 3);
    }
    {  // Full with equal positions: a release there.
        StreamBuffer ring;
        Arrange(ring, 8, 4, 4, base);
        ASSERT_EQ(ring.Write(StreamAt(4), 8), 8);
        int32_t length = 0;
        ASSERT_EQ(ring.PeekBlockToRead(length), base + 4);
        EXPECT_TRUE(ring.AdvanceWrite(base + 4, 2));
        EXPECT_EQ(ring.GetState().totalRead, 6);
        EXPECT_EQ(ring.Read(out, 6, 16), 6);
        EXPECT_EQ(std::memcmp(out, StreamAt(6), 6), 0);
    }
    {  // At the start: consumes after a finished lap, commits otherwise.
        StreamBuffer ring;
        Arrange(ring, 10, 8, 8, base);
        std::memcpy(ring.AllocateBlock(6), StreamAt(8), 6);
        EXPECT_TRUE(ring.AdvanceWrite(base, 6)) << "commit at the start";
        EXPECT_EQ(ring.GetState().dataEnd, 8);
        ring.Read(out, 0, 0);  // the reader's side comes up to date
        EXPECT_TRUE(ring.AdvanceWrite(base, 4)) << "consume from the start";
        EXPECT_EQ(ring.Read(out, 2, 16), 2);
        EXPECT_EQ(std::memcmp(out, StreamAt(12), 2), 0);
    }
}

TEST(StreamBuffer, GrowingKeepsTheBytesInOrderAndStalesPeekedRuns) {
    StreamBuffer ring;
    ASSERT_TRUE(ring.SetCapacity(8));
    uint8_t out[32];
    ASSERT_EQ(ring.Write(StreamAt(0), 6), 6);
    ASSERT_EQ(ring.Read(out, 4, 4), 4);
    ASSERT_EQ(ring.Write(StreamAt(6), 4), 4);  // wraps: stored are 4..9
    int32_t length = 0;
    uint8_t* run = ring.PeekBlockToRead(length);
    ASSERT_EQ(length, 4);

    uint8_t* block = ring.AllocateBlockResizeIfNeeded(5);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(ring.GetState().capacity, 13);
    EXPECT_FALSE(ring.ReleaseReadBlock(run, 4)) << "a run peeked before the growth is stale";
    run = ring.PeekBlockToRead(length);
    ASSERT_EQ(length, 6);
    EXPECT_EQ(std::memcmp(run, StreamAt(4), 6), 0) << "stored bytes unwrapped, in order";
    EXPECT_EQ(block, run + 6);
    std::memcpy(block, StreamAt(10), 5);
    ASSERT_TRUE(ring.CommitWriteBlock(block, 5, 5));
    EXPECT_EQ(ring.Read(out, 11, 32), 11);
    EXPECT_EQ(std::memcmp(out, StreamAt(4), 11), 0);

    StreamBuffer limit;
    ASSERT_TRUE(limit.SetCapacity(StreamBuffer::kMaximumGrowth - 100));
    ASSERT_EQ(limit.Write(StreamAt(0), StreamBuffer::kMaximumGrowth),
              StreamBuffer::kMaximumGrowth - 100);
    EXPECT_EQ(limit.AllocateBlockResizeIfNeeded(101), nullptr) << "1,048,577 bytes";
    EXPECT_NE(limit.AllocateBlockResizeIfNeeded(100), nullptr) << "1,048,576 bytes";
    EXPECT_EQ(limit.GetState().capacity, StreamBuffer::kMaximumGrowth);
}

// One writer and one reader thread, each mixing copies with in-place blocks of random
// sizes. (Growth frees the array a peeked block lies in, so it is tested on one thread.)
TEST(StreamBuffer, ThreadsMoveTensOfMebibytesIntact) {
    const int64_t total = (16 << 20) / kScale;
    StreamBuffer ring;
    ASSERT_TRUE(ring.SetCapacity(4096));
    std::atomic<bool> failed{false};
    std::thread writer([&] {
        std::mt19937 random(1);
        for (int64_t offset = 0; offset < total && !failed;) {
            const int32_t size = static_cast<int32_t>(std::min<int64_t>(
                total - offset, random() % 8 == 0 ? 1 + random() % 70000 : 1 + random() % 3000));
            const uint32_t how = random() % 16;
            int32_t taken = 0;
            if (how < 6) {
                taken = ring.Write(StreamAt(offset), size);
            } else if (uint8_t* block = ring.AllocateBlock(size)) {
                taken = 1 + static_cast<int32_t>(random() % size);
                std::memcpy(block, StreamAt(offset), taken);
                if (!ring.CommitWriteBlock(block, taken, size)) {
                    failed = true;
                }
            }
            offset += taken;
            if (taken == 0) {
                std::this_thread::yield();
            }
        }
        ring.CloseWriting();
    });
    std::mt19937 random(2);
    std::vector<uint8_t> out(1 << 17);
    int64_t offset = 0;
    while (offset < total && !failed) {
        int32_t length = 0;
        const uint8_t* data = out.data();
        if (random() % 2 == 0) {
            const int32_t maximum = 1 + random() % out.size();
            length = ring.Read(out.data(), random() % (maximum + 1), maximum);
        } else if ((data = ring.PeekBlockToRead(length)) == nullptr) {
            std::this_thread::yield();
            continue;
        }
        if (std::memcmp(data, StreamAt(offset), length) != 0) {
            ADD_FAILURE() << "bytes differ in the " << length << " from offset " << offset;
            failed = true;
        }
        if (data != out.data()) {
            length = 1 + random() % length;
            if (!ring.ReleaseReadBlock(data, length)) {
                ADD_FAILURE() << "a peeked run could not be released";
                failed = true;
            }
        }
        offset += length;
    }
    writer.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(offset, total);
    const StreamBufferState s = ring.GetState();
    EXPECT_EQ(s.totalWritten, total);
    EXPECT_EQ(s.totalRead, total);
}

// A third thread resets the ring under a writer and a reader of 16-byte records. A
// Reset may drop records, but whatever arrives is whole and in order.
TEST(StreamBuffer, ResetFromAThirdThreadNeverTearsRecords) {
    // Copies only: a block a side fills or reads in place is its own until it hands it
    // back, and a Reset from a third thread lets the writer write over it.
    for (bool inPlace : {false}) {
        const uint64_t records = 200000 / kScale;
        StreamBuffer ring;
        ASSERT_TRUE(ring.SetCapacity(4096));
        auto put = [&](uint64_t seq) {  // whole or not at all
            const uint64_t record[2] = {seq, ~seq};
            if (!inPlace) {
                return ring.GetState().StoredBytes() <= 4096 - 16 && ring.Write(record, 16) == 16;
            }
            uint8_t* block = ring.AllocateBlock(16);
            return block != nullptr &&
                   (std::memcpy(block, record, 16), ring.CommitWriteBlock(block, 16, 16));
        };
        int64_t last = -1;
        bool torn = false;
        auto check = [&](const uint8_t* bytes, int32_t length) {
            torn |= length % 16 != 0;
            for (int32_t at = 0; at + 16 <= length; at += 16) {
                uint64_t record[2];
                std::memcpy(record, bytes + at, 16);
                torn |= record[1] != ~record[0] || static_cast<int64_t>(record[0]) <= last;
                last = static_cast<int64_t>(record[0]);
            }
        };
        std::thread reader([&] {
            uint8_t record[16];
            for (int32_t length = 0; !torn;) {
                if (!inPlace) {
                    if ((length = ring.Read(record, 16, 16)) == 0) {
                        return;
                    }
                    check(record, length);
                } else if (const uint8_t* run = ring.PeekBlockToRead(length)) {
                    check(run, length);
                    ring.ReleaseReadBlock(run, length);
                } else if (!ring.IsOpen()) {
                    return;
                } else {
                    std::this_thread::yield();
                }
            }
        });
        std::atomic<bool> writing{true};
        int resets = 0;
        std::thread resetter([&] {
            for (; writing; ++resets) {
                std::this_thread::sleep_for(200us);
                ring.Reset();
            }
        });
        for (uint64_t seq = 0; seq <= records;) {
            if (seq == records && writing) {
                writing = false;  // the last record goes after the last Reset
                resetter.join();
            }
            put(seq) ? static_cast<void>(++seq) : std::this_thread::yield();
        }
        ring.CloseWriting();
        reader.join();
        EXPECT_FALSE(torn) << (inPlace ? "in place" : "copying") << ", after record " << last;
        EXPECT_GT(resets, 5);
        EXPECT_EQ(last, static_cast<int64_t>(records)) << "the last record arrives";
    }
}

}  // namespace
}  // namespace qav
