#include "core/file_access.h"

#include <gtest/gtest.h>

#include <string>

#include "core/test_support.h"

namespace qav {
namespace {

using namespace test_support;
using namespace std::string_literals;

TEST(FileAccess, ReadsEachEncodingWithAndWithoutMark) {
    ScratchDirectory dir;
    const struct {
        const char* what;
        std::string bytes;
        WString text;
    } cases[] = {
        {"UTF-8 with mark", "\xEF\xBB\xBFh\xC3\xA9!", u"h\u00E9!"},
        {"UTF-8 without mark", "h\xC3\xA9!", u"h\u00E9!"},
        {"UTF-8 mark only", "\xEF\xBB\xBF", u""},
        {"UTF-8 stops at an invalid sequence", "ab\xC3(cd", u"ab"},
        {"UTF-16LE with mark", "\xFF\xFE\x41\0\xAC\x20"s, u"A\u20AC"},
        {"UTF-16LE without mark", "A\0B\0"s, u"AB"},
        {"UTF-16LE odd byte dropped", "\xFF\xFE\x41\0B"s, u"A"},
        {"UTF-16BE with mark", "\xFE\xFF\0A"s, u"A"},
        {"UTF-16BE without mark", "\0A\x20\xAC"s, u"A\u20AC"},
        {"two 8-bit bytes", "ok", u"ok"},
    };
    for (const auto& c : cases) {
        WriteBytes(dir.Narrow("text"), c.bytes);
        WString text = u"unchanged";
        ASSERT_TRUE(FileAccess::ReadTextFile(dir.Wide("text"), text)) << c.what;
        EXPECT_EQ(text, c.text) << c.what;
    }
}

TEST(FileAccess, UnreadableOrUndetectableFilesFailWithOneLogLine) {
    ScratchDirectory dir;
    const std::string undetectable[] = {"x", "", "\0\0a"s};
    for (const std::string& bytes : undetectable) {
        WriteBytes(dir.Narrow("text"), bytes);
        CapturingTextLogger logger;
        WString text = u"unchanged";
        EXPECT_FALSE(FileAccess::ReadTextFile(dir.Wide("text"), text)) << bytes.size() << " bytes";
        EXPECT_EQ(text, u"unchanged");
        EXPECT_EQ(logger.Lines(),
                  std::vector<std::string>{"2 No detection of text encoding for file: " +
                                           dir.Narrow("text")});
    }
    CapturingTextLogger logger;
    WString text;
    EXPECT_FALSE(FileAccess::ReadTextFile(dir.Wide("missing"), text));
    EXPECT_EQ(logger.Lines(),
              std::vector<std::string>{"3 Error opening file " + dir.Narrow("missing") +
                                       ": (2) No such file or directory"});
}

}  // namespace
}  // namespace qav
