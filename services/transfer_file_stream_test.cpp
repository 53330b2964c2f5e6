#include "services/transfer_file_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/file_test_support.h"

namespace qav {
namespace {

using testing::ScratchDirectory;
using testing::WriteBytes;

TEST(TransferFileStream, StartsEmptyThenOpensAndUnmasks) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    const uint8_t key[] = {0x5A, 0xA5, 0x0F};
    const std::string plain = "transfer payload";
    std::string masked = plain;
    for (size_t i = 0; i < masked.size(); ++i) {
        masked[i] = static_cast<char>(masked[i] ^ key[i % 3]);
    }
    WriteBytes(dir.Narrow("masked"), masked);

    TransferFileStream stream;
    EXPECT_EQ(stream.GetState(), kFileStreamClosed);
    EXPECT_EQ(stream.GetPosition(), 0);
    EXPECT_EQ(stream.Open(), kFileStreamNoOwnFile);
    EXPECT_EQ(stream.AddRef(), 1) << "the reference count starts at 0";

    EXPECT_FALSE(stream.OpenFile(dir.Wide("missing"), kFileModeRead, true));
    ASSERT_TRUE(stream.OpenFile(dir.Wide("masked"), kFileModeRead, true));
    stream.SetKeyTable(key, sizeof key);
    char buffer[64];
    ASSERT_EQ(stream.Read(buffer, 4), 4);  // position 4: the next byte uses key byte 1
    ASSERT_EQ(stream.Read(buffer + 4, sizeof buffer - 4), static_cast<int64_t>(plain.size() - 4));
    EXPECT_EQ(std::string(buffer, plain.size()), plain);
}

}  // namespace
}  // namespace qav
