#include "core/file_access.h"

#include <gtest/gtest.h>

#include <string>

#include "core/file_test_support.h"

namespace qav {
namespace {

using testing::CapturingTextLogger;
using testing::ScratchDirectory;
using testing::WriteBytes;

TEST(FileAccess, ReadsEachEncodingWithAndWithoutMark) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    struct Case {
        const char* what;
        std::string bytes;
        WString text;
    };
    const Case cases[] = {
        {"UTF-8 with mark", std::string("\xEF\xBB\xBFh\xC3\xA9!"), u"h\u00E9!"},
        {"UTF-8 without mark", std::string("h\xC3\xA9!"), u"h\u00E9!"},
        {"UTF-8 mark only", std::string("\xEF\xBB\xBF"), u""},
        {"UTF-8 stops at an invalid sequence", std::string("ab\xC3(cd"), u"ab"},
        {"UTF-16LE with mark",
         std::string("\xFF\xFE"
                     "A\0\xAC\x20",
                     6),
         u"A\u20AC"},
        {"UTF-16LE without mark", std::string("A\0B\0", 4), u"AB"},
        {"UTF-16LE odd byte dropped",
         std::string("\xFF\xFE"
                     "A\0B",
                     5),
         u"A"},
        {"UTF-16BE with mark", std::string("\xFE\xFF\0A", 4), u"A"},
        {"UTF-16BE without mark", std::string("\0A\x20\xAC", 4), u"A\u20AC"},
        {"two 8-bit bytes", std::string("ok"), u"ok"},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::string name = "t" + std::to_string(index++);
        WriteBytes(dir.Narrow(name), c.bytes);
        WString text = u"unchanged";
        ASSERT_TRUE(FileAccess::ReadTextFile(dir.Wide(name), text)) << c.what;
        EXPECT_EQ(text, c.text) << c.what;
    }
}

TEST(FileAccess, UndetectableFilesFailWithAWarning) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    const std::string undetectable[] = {std::string("x"), std::string(), std::string("\0\0a", 3)};
    int index = 0;
    for (const std::string& bytes : undetectable) {
        const std::string name = "u" + std::to_string(index++);
        WriteBytes(dir.Narrow(name), bytes);
        CapturingTextLogger logger;
        WString text = u"unchanged";
        EXPECT_FALSE(FileAccess::ReadTextFile(dir.Wide(name), text)) << bytes.size() << " bytes";
        EXPECT_EQ(text, u"unchanged");
        const auto lines = logger.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], "2 No detection of text encoding for file: " + dir.Narrow(name));
    }
}

TEST(FileAccess, MissingFileFailsWithTheOpenError) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    CapturingTextLogger logger;
    WString text;
    EXPECT_FALSE(FileAccess::ReadTextFile(dir.Wide("missing"), text));
    const auto lines = logger.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "3 Error opening file " + dir.Narrow("missing") + ": (2) No such file or directory");
}

}  // namespace
}  // namespace qav
