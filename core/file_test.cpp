#include "core/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "core/file_test_support.h"

namespace qav {
namespace {

using testing::CapturingTextLogger;
using testing::ReadBytes;
using testing::ScratchDirectory;
using testing::WriteBytes;

std::string ReadAll(File& file) {
    std::string text;
    char chunk[64];
    for (int64_t got; (got = file.Read(chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

TEST(File, OpenModesCreateTruncateOrRequireTheFile) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    struct Case {
        int mode;
        bool exists;
        bool opens;
        const char* contentAfterOpen;  // null: no file afterwards
    };
    const Case cases[] = {
        {kFileModeRead, true, true, "old"},
        {kFileModeRead, false, false, nullptr},
        {kFileModeCreate, true, true, ""},
        {kFileModeCreate, false, true, ""},
        {kFileModeOpenOrCreate, true, true, "old"},
        {kFileModeOpenOrCreate, false, true, ""},
        {kFileModeReadWrite, true, true, "old"},
        {kFileModeReadWrite, false, false, nullptr},
        {0, true, false, "old"},
        {5, false, false, nullptr},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string name = "f" + std::to_string(index++);
        if (c.exists) {
            WriteBytes(dir.Narrow(name), "old");
        }
        File file;
        EXPECT_EQ(file.Open(dir.Wide(name), c.mode, false), c.opens) << "mode " << c.mode;
        EXPECT_EQ(file.IsOpen(), c.opens);
        if (c.opens) {
            EXPECT_EQ(file.GetLastError(), 0);
            EXPECT_EQ(ReadAll(file), c.contentAfterOpen) << "mode " << c.mode;
        }
        file.Close();
        EXPECT_EQ(std::filesystem::exists(dir.Narrow(name)), c.contentAfterOpen != nullptr)
            << "mode " << c.mode << " exists " << c.exists;
    }
}

TEST(File, ReadOnlyFileRefusesWritesAndLogsThem) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    WriteBytes(dir.Narrow("r"), "data");
    CapturingTextLogger logger;
    File file;
    ASSERT_TRUE(file.Open(dir.Wide("r"), kFileModeRead, true));
    EXPECT_EQ(file.Write("x", 1), 0);
    EXPECT_EQ(file.GetLastError(), EBADF);
    ASSERT_EQ(logger.Lines().size(), 1u);
    EXPECT_EQ(logger.Lines()[0], "3 Error writing to file: (9) Bad file descriptor");
    EXPECT_FALSE(file.WriteAt(0, 1, "x"));
    EXPECT_EQ(ReadBytes(dir.Narrow("r")), "data");
}

TEST(File, BadPathsAreRefusedBeforeTheSystemAndLogged) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    CapturingTextLogger logger;
    const WString withNul = dir.Wide("a") + WString(1, u'\0') + u"b";
    const WString loneSurrogate = dir.Wide("a") + WString(1, static_cast<WChar>(0xD800));
    for (const WString& path : {withNul, loneSurrogate}) {
        File file;
        EXPECT_FALSE(file.Open(path, kFileModeCreate, false));
        EXPECT_EQ(file.GetLastError(), EINVAL);
    }
    // Cutting at the NUL would have created "a".
    EXPECT_FALSE(std::filesystem::exists(dir.Narrow("a")));
    const auto lines = logger.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("3 Error opening file " + dir.Narrow("a"), 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(": (22) Invalid argument"), std::string::npos) << lines[0];
}

TEST(File, OffsetsBeyondFourGigabytesReachTheRightPlace) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    const int64_t far = (int64_t{5} << 30) + 123;
    File file;
    ASSERT_TRUE(file.Open(dir.Wide("sparse"), kFileModeCreate, false));
    if (!file.WriteAt(far, 4, "tail")) {
        GTEST_SKIP() << "the file system refuses a sparse file of 5 GiB (error "
                     << file.GetLastError() << ")";
    }
    EXPECT_EQ(file.Tell(), far + 4);
    EXPECT_EQ(file.GetSize(), far + 4);
    // A 32-bit offset would have written at far mod 4 GiB.
    ASSERT_TRUE(file.Seek(far - (int64_t{4} << 30)));
    char low[4] = {1, 1, 1, 1};
    EXPECT_EQ(file.Read(low, 4), 4);
    EXPECT_EQ(std::string(low, 4), std::string(4, '\0'));
    ASSERT_TRUE(file.Seek(far - 1));
    char back[6] = {};
    EXPECT_EQ(file.Read(back, 6), 5);
    EXPECT_EQ(std::string(back, 5), std::string("\0tail", 5));
}

TEST(File, ReopeningClosesTheFirstFileAndFailedCallsAreKept) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    WriteBytes(dir.Narrow("one"), "1");
    WriteBytes(dir.Narrow("two"), "2");
    File file;
    ASSERT_TRUE(file.Open(dir.Wide("one"), kFileModeRead, true));
    ASSERT_TRUE(file.Open(dir.Wide("two"), kFileModeRead, true));
    EXPECT_EQ(ReadAll(file), "2");
    EXPECT_FALSE(file.Seek(-1));
    EXPECT_EQ(file.GetLastError(), EINVAL);
    EXPECT_FALSE(file.Open(dir.Wide(""), kFileModeRead, true)) << "a directory is no file";
    EXPECT_EQ(file.GetLastError(), EISDIR);
    EXPECT_FALSE(file.Open(dir.Wide("three"), kFileModeRead, true));
    EXPECT_FALSE(file.IsOpen()) << "a failed Open leaves the file closed";
    EXPECT_EQ(file.GetLastError(), ENOENT);
    EXPECT_EQ(file.Tell(), -1);
    EXPECT_EQ(file.Read(nullptr, 0), 0);
}

}  // namespace
}  // namespace qav
