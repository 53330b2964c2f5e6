#include "core/byte_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace qav {
namespace {

TEST(ByteBuffer, OwnedBufferGrowsByDoublingOrToWhatIsNeeded) {
    struct Case {
        size_t size;
        int64_t position;
        int64_t length;
        size_t grownSize;
    };
    const Case cases[] = {
        {0, 0, 10, 32},    // empty: 32
        {0, 0, 40, 40},    // empty, more than 32 needed
        {40, 40, 10, 80},  // twice the size
        {40, 30, 60, 90},  // position + length beats twice the size
        {40, 20, 20, 40},  // fits exactly: no growth
    };
    const std::string payload(100, 'x');
    for (const Case& c : cases) {
        ByteBuffer buffer(c.size);
        ASSERT_TRUE(buffer.Seek(c.position));
        EXPECT_EQ(buffer.Write(payload.data(), c.length), c.length) << "size " << c.size;
        EXPECT_EQ(buffer.Size(), c.grownSize) << "size " << c.size << " length " << c.length;
        EXPECT_EQ(buffer.Tell(), c.position + c.length);
    }
}

TEST(ByteBuffer, WrittenBytesSurviveGrowthAndNewBytesAreZero) {
    ByteBuffer buffer;
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        const std::string piece = "piece" + std::to_string(i);
        ASSERT_EQ(buffer.Write(piece.data(), static_cast<int64_t>(piece.size())),
                  static_cast<int64_t>(piece.size()));
        expected += piece;
    }
    ASSERT_GE(buffer.Size(), expected.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.Data()), expected.size()), expected);
    for (size_t i = expected.size(); i < buffer.Size(); ++i) {
        ASSERT_EQ(buffer.Data()[i], 0) << "stale byte at " << i;
    }
}

TEST(ByteBuffer, AttachedBufferTakesOnlyWhatFitsAndIsNeverFreed) {
    uint8_t memory[16] = {};
    {
        ByteBuffer buffer;
        buffer.Attach(memory, sizeof memory);
        ASSERT_TRUE(buffer.Seek(12));
        EXPECT_EQ(buffer.Write("0123456789", 10), 4);
        EXPECT_EQ(buffer.Tell(), 16);
        EXPECT_EQ(buffer.Size(), 16u);
        EXPECT_EQ(buffer.Data(), memory);
        EXPECT_EQ(std::memcmp(memory + 12, "0123", 4), 0);
        EXPECT_EQ(buffer.Write("z", 1), 0);
        // Resize takes a fresh block of its own and leaves the attached memory alone.
        ASSERT_NE(buffer.Resize(64), nullptr);
        EXPECT_FALSE(buffer.IsAttached());
        EXPECT_NE(buffer.Data(), memory);
        EXPECT_EQ(buffer.Write("zz", 2), 2);
    }  // an attached block freed here would crash under the sanitizers
    EXPECT_EQ(memory[12], '0');
}

TEST(ByteBuffer, ReadDoesNotMoveThePosition) {
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Assign("abcdef", 6));
    ASSERT_TRUE(buffer.Seek(2));
    char first[8] = {};
    char second[8] = {};
    EXPECT_EQ(buffer.Read(first, 3), 3);
    EXPECT_EQ(buffer.Read(second, 3), 3);
    EXPECT_STREQ(first, "cde");
    EXPECT_STREQ(second, "cde");
    EXPECT_EQ(buffer.Read(first, 100), 4) << "only up to the size";
    EXPECT_EQ(buffer.Read(first, -1), 0);
    EXPECT_EQ(buffer.Tell(), 2);
}

TEST(ByteBuffer, SeekAndWriteAtStayWithinTheSize) {
    ByteBuffer buffer(8);
    EXPECT_TRUE(buffer.Seek(8));
    EXPECT_FALSE(buffer.Seek(9));
    EXPECT_FALSE(buffer.Seek(-1));
    EXPECT_FALSE(buffer.Seek(int64_t{1} << 32));
    EXPECT_EQ(buffer.Tell(), 8) << "a failed seek keeps the position";

    EXPECT_TRUE(buffer.WriteAt(4, 4, "wxyz"));
    EXPECT_FALSE(buffer.WriteAt(5, 4, "wxyz"));
    EXPECT_FALSE(buffer.WriteAt(-1, 1, "w"));
    EXPECT_FALSE(buffer.WriteAt(1, -1, "w"));
    EXPECT_FALSE(buffer.WriteAt(std::numeric_limits<int64_t>::max(), 2, "w"));
    EXPECT_FALSE(buffer.WriteAt(2, std::numeric_limits<int64_t>::max(), "w"));
    EXPECT_TRUE(buffer.WriteAt(8, 0, nullptr));
    EXPECT_EQ(buffer.Tell(), 8) << "WriteAt does not move the position";
    EXPECT_EQ(std::memcmp(buffer.Data() + 4, "wxyz", 4), 0);
}

TEST(ByteBuffer, ResizeKeepsBytesAndClampsThePosition) {
    ByteBuffer buffer;
    ASSERT_EQ(buffer.Write("0123456789", 10), 10);
    ASSERT_NE(buffer.Resize(4), nullptr);
    EXPECT_EQ(buffer.Tell(), 4);
    EXPECT_EQ(std::memcmp(buffer.Data(), "0123", 4), 0);
    // A position past the end would let Read and Write run outside the block.
    char out[4];
    EXPECT_EQ(buffer.Read(out, 4), 0);
    EXPECT_EQ(buffer.Write("ab", 2), 2);
    EXPECT_EQ(buffer.Resize(0), nullptr);
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.Tell(), 0);
}

TEST(ByteBuffer, NegativeOrHugeWritesTakeNothingOrWhatFits) {
    ByteBuffer buffer;
    EXPECT_EQ(buffer.Write("abc", -5), 0);
    EXPECT_EQ(buffer.Size(), 0u);

    uint8_t memory[4] = {};
    buffer.Attach(memory, sizeof memory);
    ASSERT_TRUE(buffer.Seek(1));
    // A length near the top of the range must not wrap the growth arithmetic.
    EXPECT_EQ(buffer.Write("abc", std::numeric_limits<int64_t>::max()), 3);
    EXPECT_EQ(buffer.Tell(), 4);
}

}  // namespace
}  // namespace qav
