#include "core/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/test_support.h"

namespace qav {
namespace {

using namespace test_support;

TEST(Paths, CreateDirectoryPathMakesEveryMissingLevel) {
    ScratchDirectory dir;
    CapturingTextLogger quiet(kSeverityError + 1);
    // A parent that exists, three new levels, the system's own separator, mixed ones
    // with a trailing one, doubled ones, and a path that is already there.
    const char* made[] = {"one", "a/b/c", "d\\e\\f", "g/h\\i/", "j\\\\k//", "a/b/c"};
    for (const char* path : made) {
        EXPECT_TRUE(CreateDirectoryPath(dir.Wide(path))) << path;
        std::string native = dir.Narrow(path);
        std::replace(native.begin(), native.end(), '\\', '/');
        EXPECT_TRUE(std::filesystem::is_directory(native)) << path;
    }
}

TEST(Paths, CreateDirectoryPathFailsOnFilesAndOverlongPaths) {
    ScratchDirectory dir;
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
    const struct {
        WString in, appended, stripped, path, name;
    } cases[] = {{u"", u"", u"", u"", u""},
                 {u"dir", u"dir\\", u"dir", u"", u"dir"},
                 {u"dir\\", u"dir\\", u"dir", u"dir\\", u""},
                 {u"dir//", u"dir//", u"dir/", u"dir//", u""},
                 {u"dir\\sub/file", u"dir\\sub/file\\", u"dir\\sub/file", u"dir\\sub/", u"file"}};
    for (const auto& c : cases) {
        const std::string shown(c.in.begin(), c.in.end());
        WString changed = c.in;
        AppendPathSeparator(changed);
        EXPECT_EQ(changed, c.appended) << shown;
        changed = c.in;
        StripPathSeparator(changed);
        EXPECT_EQ(changed, c.stripped) << shown;
        changed = c.in;
        WString name = u"old";
        SplitFileName(changed, name);
        EXPECT_EQ(changed, c.path) << shown;
        EXPECT_EQ(name, c.name) << shown;
    }
}

TEST(Paths, RelativePathsAndPlainNamesFromOutside) {
    const WString withNul(u"a\0b", 3);
    const struct {
        WString path;
        bool validRelative, plainName;
    } cases[] = {
        {u"a\\b", true, false},    {u"a\\b\\", true, false},    {u"", true, false},
        {u"a..b\\c", true, false}, {u"a/b", true, false},       {u"\\a", false, false},
        {u"/a", false, false},     {u"a\\\\b", false, false},   {u"a//b", false, false},
        {u"..\\a", false, false},  {u"a\\..\\b", false, false}, {u"a\\..", false, false},
        {u"..", false, false},     {u".", true, false},         {u"...", true, true},
        {u"file.txt", true, true}, {u".hidden", true, true},    {withNul, false, false},
    };
    for (const auto& c : cases) {
        const std::string shown(c.path.begin(), c.path.end());
        EXPECT_EQ(IsValidRelativePath(c.path), c.validRelative) << "'" << shown << "'";
        EXPECT_EQ(IsPlainFileName(c.path), c.plainName) << "'" << shown << "'";
    }
}

TEST(Paths, RenameFileInDirectoryNeverReplaces) {
    ScratchDirectory dir;
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
