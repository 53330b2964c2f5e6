#include "core/byte_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace qav {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

std::string Contents(const ByteBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size());
}

// Bytes written before the growth survive it, and the new bytes are zero.
TEST(ByteBuffer, OwnedBufferGrowsByDoublingOrToWhatIsNeeded) {
    const struct {
        size_t size;
        int64_t position;  // filled with 'o' first
        int64_t length;    // then this many 'x'
        size_t grownSize;
    } cases[] = {
        {0, 0, 10, 32},    // empty: 32
        {0, 0, 40, 40},    // empty, more than 32 needed
        {40, 40, 10, 80},  // twice the size
        {40, 30, 60, 90},  // position + length beats twice the size
        {40, 20, 20, 40},  // fits exactly: no growth
    };
    for (const auto& c : cases) {
        ByteBuffer buffer(c.size);
        const std::string before(c.position, 'o');
        const std::string expected = before + std::string(c.length, 'x');
        ASSERT_EQ(buffer.Write(before.data(), c.position), c.position);
        EXPECT_EQ(buffer.Write(expected.data() + c.position, c.length), c.length);
        EXPECT_EQ(buffer.Tell(), c.position + c.length);
        EXPECT_EQ(Contents(buffer), expected + std::string(c.grownSize - expected.size(), '\0'))
            << "size " << c.size << " length " << c.length;
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
        EXPECT_EQ(buffer.Data(), memory);
        EXPECT_EQ(std::memcmp(memory + 12, "0123", 4), 0);
        EXPECT_EQ(buffer.Write("z", 1), 0);
        // Resize takes a fresh block of its own and leaves the attached memory alone.
        ASSERT_NE(buffer.Resize(64), nullptr);
        EXPECT_FALSE(buffer.IsAttached());
        EXPECT_EQ(buffer.Write("zz", 2), 2);
    }  // an attached block freed here would crash under the sanitizers
    EXPECT_EQ(memory[12], '0');

    ByteBuffer buffer;
    buffer.Attach(memory, sizeof memory);
    ASSERT_TRUE(buffer.Seek(13));
    // A length near the top of the range must not wrap the growth arithmetic.
    EXPECT_EQ(buffer.Write("abc", kMax), 3);
    EXPECT_EQ(buffer.Write("abc", -5), 0);
    EXPECT_EQ(buffer.Tell(), 16);
}

TEST(ByteBuffer, ReadDoesNotMoveThePosition) {
    ByteBuffer buffer;
    ASSERT_TRUE(buffer.Assign("abcdef", 6));
    ASSERT_TRUE(buffer.Seek(2));
    char first[8] = {};
    char second[8] = {};
    EXPECT_EQ(buffer.Read(first, 3), 3);
    EXPECT_EQ(buffer.Read(second, 3), 3);
    EXPECT_STREQ(second, "cde");
    EXPECT_EQ(buffer.Read(first, 100), 4) << "only up to the size";
    EXPECT_EQ(buffer.Read(first, -1), 0);
    EXPECT_EQ(buffer.Tell(), 2);
}

TEST(ByteBuffer, SeekAndWriteAtStayWithinTheSize) {
    ByteBuffer buffer(8);
    EXPECT_TRUE(buffer.Seek(8));
    for (int64_t position : {int64_t{9}, int64_t{-1}, int64_t{1} << 32}) {
        EXPECT_FALSE(buffer.Seek(position)) << position;
    }
    EXPECT_EQ(buffer.Tell(), 8) << "a failed seek keeps the position";
    EXPECT_TRUE(buffer.WriteAt(4, 4, "wxyz"));
    EXPECT_TRUE(buffer.WriteAt(8, 0, nullptr));
    const int64_t refused[][2] = {{5, 4}, {-1, 1}, {1, -1}, {kMax, 2}, {2, kMax}};
    for (const auto& [position, length] : refused) {
        EXPECT_FALSE(buffer.WriteAt(position, length, "wxyz")) << position << " " << length;
    }
    EXPECT_EQ(buffer.Tell(), 8) << "WriteAt does not move the position";
    EXPECT_EQ(Contents(buffer), std::string(4, '\0') + "wxyz");
}

TEST(ByteBuffer, ResizeKeepsBytesAndClampsThePosition) {
    ByteBuffer buffer;
    ASSERT_EQ(buffer.Write("0123456789", 10), 10);
    ASSERT_NE(buffer.Resize(4), nullptr);
    EXPECT_EQ(buffer.Tell(), 4);
    EXPECT_EQ(Contents(buffer), "0123");
    // A position past the end would let Read and Write run outside the block.
    char out[4];
    EXPECT_EQ(buffer.Read(out, 4), 0);
    EXPECT_EQ(buffer.Write("ab", 2), 2);
    EXPECT_EQ(buffer.Resize(0), nullptr);
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.Tell(), 0);
}

}  // namespace
}  // namespace qav
