#include "core/paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/file_test_support.h"

namespace qav {
namespace {

using testing::CapturingTextLogger;
using testing::ReadBytes;
using testing::ScratchDirectory;
using testing::WriteBytes;

TEST(Paths, CreateDirectoryPathMakesEveryMissingLevel) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    CapturingTextLogger quiet(kSeverityError + 1);
    const char* made[] = {
        "one",       // parent exists
        "a/b/c",     // three levels below the scratch directory
        "d\\e\\f",   // the system's own separator
        "g/h\\i/",   // mixed, with a trailing separator
        "j\\\\k//",  // doubled separators
        "a/b/c",     // already there
    };
    for (const char* path : made) {
        EXPECT_TRUE(CreateDirectoryPath(dir.Wide(path))) << path;
        std::string native = dir.Narrow(path);
        for (char& c : native) {
            c = c == '\\' ? '/' : c;
        }
        EXPECT_TRUE(std::filesystem::is_directory(native)) << path;
    }
}

TEST(Paths, CreateDirectoryPathFailsOnFilesAndOverlongPaths) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    WriteBytes(dir.Narrow("file"), "x");
    CapturingTextLogger logger;
    EXPECT_FALSE(CreateDirectoryPath(dir.Wide("file")));
    EXPECT_FALSE(CreateDirectoryPath(dir.Wide("file/below/deeper")));
    EXPECT_EQ(ReadBytes(dir.Narrow("file")), "x");
    EXPECT_FALSE(CreateDirectoryPath(u""));

    // 299 characters are worked on level by level, 300 get only the first try.
    const std::string base = dir.Path() + "/";
    const std::string level(40, 'x');
    std::string path299 = base;
    while (path299.size() + level.size() + 1 < 299) {
        path299 += level + "/";
    }
    path299.append(299 - path299.size(), 'y');
    ASSERT_EQ(path299.size(), 299u);
    const std::string path300 = path299 + "z";
    const size_t linesBefore = logger.Lines().size();
    EXPECT_FALSE(CreateDirectoryPath(WString(path300.begin(), path300.end())));
    EXPECT_EQ(logger.Lines().size(), linesBefore + 1) << "only the first try is made";
    EXPECT_FALSE(std::filesystem::exists(base + level));
    EXPECT_TRUE(CreateDirectoryPath(WString(path299.begin(), path299.end())));
    EXPECT_TRUE(std::filesystem::is_directory(path299));
}

TEST(Paths, SeparatorsAreAppendedStrippedAndSplit) {
    struct AppendCase {
        WString in;
        WString appended;
        WString stripped;
    };
    const AppendCase cases[] = {{u"", u"", u""},
                                {u"dir", u"dir\\", u"dir"},
                                {u"dir\\", u"dir\\", u"dir"},
                                {u"dir//", u"dir//", u"dir/"}};
    for (const AppendCase& c : cases) {
        WString appended = c.in;
        AppendPathSeparator(appended);
        EXPECT_EQ(appended, c.appended);
        WString stripped = c.in;
        StripPathSeparator(stripped);
        EXPECT_EQ(stripped, c.stripped);
    }

    struct SplitCase {
        WString in;
        WString path;
        WString name;
    };
    const SplitCase splits[] = {{u"dir\\sub\\file.txt", u"dir\\sub\\", u"file.txt"},
                                {u"dir\\sub/file", u"dir\\sub/", u"file"},
                                {u"file.txt", u"", u"file.txt"},
                                {u"dir\\", u"dir\\", u""}};
    for (const SplitCase& c : splits) {
        WString path = c.in;
        WString name = u"old";
        SplitFileName(path, name);
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(name, c.name);
    }
}

TEST(Paths, RelativePathsAndPlainNamesFromOutside) {
    const WString withNul(u"a\0b", 3);
    struct Case {
        WString path;
        bool validRelative;
        bool plainName;
    };
    const Case cases[] = {
        {u"a\\b", true, false},    {u"a\\b\\", true, false},    {u"", true, false},
        {u"a..b\\c", true, false}, {u"a/b", true, false},       {u"\\a", false, false},
        {u"/a", false, false},     {u"a\\\\b", false, false},   {u"a//b", false, false},
        {u"..\\a", false, false},  {u"a\\..\\b", false, false}, {u"a\\..", false, false},
        {u"..", false, false},     {u".", true, false},         {u"...", true, true},
        {u"file.txt", true, true}, {u".hidden", true, true},    {withNul, false, false},
    };
    for (const Case& c : cases) {
        const std::string shown(c.path.begin(), c.path.end());
        EXPECT_EQ(IsValidRelativePath(c.path), c.validRelative) << "'" << shown << "'";
        EXPECT_EQ(IsPlainFileName(c.path), c.plainName) << "'" << shown << "'";
    }
}

TEST(Paths, RenameFileInDirectoryNeverReplaces) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    WriteBytes(dir.Narrow("old"), "1");
    WriteBytes(dir.Narrow("other"), "2");
    CapturingTextLogger quiet(kSeverityError + 1);
    const WString folder = dir.Wide("");
    EXPECT_TRUE(RenameFileInDirectory(folder.substr(0, folder.size() - 1), u"old", u"new"));
    EXPECT_EQ(ReadBytes(dir.Narrow("new")), "1");
    EXPECT_FALSE(RenameFileInDirectory(folder, u"new", u"other"));
    EXPECT_EQ(ReadBytes(dir.Narrow("other")), "2");
    EXPECT_EQ(ReadBytes(dir.Narrow("new")), "1");
}

TEST(Paths, SortWStringsOrdersByCodeUnit) {
    std::vector<WString> strings = {u"b", u"\uFF21", u"a", u"B", u"", u"\u00E9", u"ab"};
    SortWStrings(strings);
    EXPECT_EQ(strings, (std::vector<WString>{u"", u"B", u"a", u"ab", u"b", u"\u00E9", u"\uFF21"}));
}

}  // namespace
}  // namespace qav
