#include "core/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "core/test_support.h"

namespace qav {
namespace {

using namespace test_support;

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
    const struct {
        int mode;
        const char* existing;  // what an existing file holds once opened; null: no open
        const char* missing;   // the same for a missing file; null: no open and no file
    } cases[] = {{kFileModeRead, "old", nullptr},
                 {kFileModeCreate, "", ""},
                 {kFileModeOpenOrCreate, "old", ""},
                 {kFileModeReadWrite, "old", nullptr},
                 {5, nullptr, nullptr}};
    for (const auto& c : cases) {
        for (bool exists : {true, false}) {
            const std::string name = std::to_string(c.mode) + (exists ? "old" : "new");
            if (exists) {
                WriteBytes(dir.Narrow(name), "old");
            }
            const char* content = exists ? c.existing : c.missing;
            File file;
            EXPECT_EQ(file.Open(dir.Wide(name), c.mode, false), content != nullptr) << name;
            if (content != nullptr) {
                EXPECT_EQ(file.GetLastError(), 0);
                EXPECT_EQ(ReadAll(file), content) << name;
            }
            file.Close();
            EXPECT_EQ(std::filesystem::exists(dir.Narrow(name)), exists || content != nullptr)
                << name;
        }
    }
}

TEST(File, ReadOnlyFileRefusesWritesAndLogsThem) {
    ScratchDirectory dir;
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

TEST(File, OffsetsBeyondFourGigabytesReachTheRightPlace) {
    ScratchDirectory dir;
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

TEST(File, ReopeningClosesTheFirstFileAndFailuresAreKept) {
    ScratchDirectory dir;
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
    EXPECT_FALSE(file.IsOpen()) << "a failed Open leaves the file closed";
    EXPECT_EQ(file.Tell(), -1);
    EXPECT_EQ(file.Read(nullptr, 0), 0);
    EXPECT_FALSE(file.Open(dir.Wide("one"), 0, true));
    EXPECT_EQ(file.GetLastError(), EINVAL);

    // A NUL or a lone surrogate is refused before the system sees the path: cutting at
    // the NUL would have created "a".
    CapturingTextLogger logger;
    const WString withNul = dir.Wide("a") + WString(1, u'\0') + u"b";
    const WString loneSurrogate = dir.Wide("a") + WString(1, static_cast<WChar>(0xD800));
    for (const WString& path : {withNul, loneSurrogate}) {
        EXPECT_FALSE(file.Open(path, kFileModeCreate, false));
        EXPECT_EQ(file.GetLastError(), EINVAL);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.Narrow("a")));
    const auto lines = logger.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("3 Error opening file " + dir.Narrow("a"), 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(": (22) Invalid argument"), std::string::npos) << lines[0];
}

}  // namespace
}  // namespace qav
