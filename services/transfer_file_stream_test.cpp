#include "services/transfer_file_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/test_support.h"

namespace qav {
namespace {

TEST(TransferFileStream, OpensByPathAndUnmasks) {
    test_support::ScratchDirectory dir;
    const uint8_t key[] = {0x5A, 0xA5, 0x0F};
    test_support::WriteBytes(dir.Narrow("masked"), "\x3B\xC7\x6C\x3B");  // "abca" masked
    TransferFileStream stream;
    EXPECT_FALSE(stream.OpenFile(dir.Wide("missing"), kFileModeRead, true));
    ASSERT_TRUE(stream.OpenFile(dir.Wide("masked"), kFileModeRead, true));
    stream.SetKeyTable(key, sizeof key);
    char buffer[8];
    ASSERT_EQ(stream.Read(buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "abca");
}

}  // namespace
}  // namespace qav
