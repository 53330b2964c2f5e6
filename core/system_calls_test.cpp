#include "core/system_calls.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/test_support.h"

namespace qav {
namespace {

using namespace test_support;

std::vector<WString> Sorted(std::vector<WString> names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SystemCalls, FailuresAreLoggedOnceWithTheReasonAndChangeNothing) {
    ScratchDirectory dir;
    WriteBytes(dir.Narrow("a"), "A");
    WriteBytes(dir.Narrow("b"), "B");
    std::filesystem::create_directories(dir.Narrow("full/inner"));
    const std::string noEntry = ": (2) No such file or directory";
    const std::string missing = dir.Narrow("missing");
    platform::FileTime time = 0;
    uint64_t bytes = 0;
    const struct {
        std::function<bool()> call;
        std::string line;
    } cases[] = {
        {[&] { return CreateDirectoryIfMissing(dir.Wide("a")); },
         "Error creating directory " + dir.Narrow("a") + ": (17) File exists"},
        {[&] { return CreateDirectoryIfMissing(dir.Wide("missing\\child")); },
         "Error creating directory " + missing + "\\child" + noEntry},
        {[&] { return DeleteFilePath(dir.Wide("missing")); },
         "Error deleting file " + missing + noEntry},
        {[&] { return DeleteDirectoryPath(dir.Wide("full")); },
         "Error deleting directory " + dir.Narrow("full") + ": (39) Directory not empty"},
        {[&] { return MoveFilePath(dir.Wide("a"), dir.Wide("b")); },
         "Error moving file from " + dir.Narrow("a") + " to " + dir.Narrow("b") +
             ": (17) File exists"},
        {[&] { return CopyFileWithTimes(dir.Wide("missing"), dir.Wide("b")); },
         "Error copying file " + missing + " to " + dir.Narrow("b") + noEntry},
        {[&] { return GetFileTimes(dir.Wide("missing"), time, time, time); },
         "Error opening file for time of " + missing + noEntry},
        {[&] { return GetDiskSpace(dir.Wide("missing"), bytes, bytes); },
         "Error getting available disk space" + noEntry},
    };
    for (const auto& c : cases) {
        CapturingTextLogger logger;
        EXPECT_FALSE(c.call()) << c.line;
        EXPECT_EQ(logger.Lines(), std::vector<std::string>{"3 " + c.line});
    }
    EXPECT_EQ(ReadBytes(dir.Narrow("a")), "A");
    EXPECT_EQ(ReadBytes(dir.Narrow("b")), "B");
    EXPECT_TRUE(std::filesystem::exists(dir.Narrow("full/inner")));
}

TEST(SystemCalls, SuccessesAreQuiet) {
    ScratchDirectory dir;
    CapturingTextLogger logger;
    std::filesystem::create_directory(dir.Narrow("directory"));
    WriteBytes(dir.Narrow("file"), "x");
    EXPECT_TRUE(CreateDirectoryIfMissing(dir.Wide("directory"))) << "it is there already";
    EXPECT_TRUE(DeleteDirectoryPath(dir.Wide("directory")));
    EXPECT_TRUE(DeleteFilePath(dir.Wide("file")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
    uint64_t total = 0;
    uint64_t available = 0;
    ASSERT_TRUE(GetDiskSpace(dir.Wide(""), total, available));
    EXPECT_GT(total, 0u);
    EXPECT_LE(available, total);
    EXPECT_FALSE(SetFileTimes(dir.Wide("missing"), 0, 1, 1));
    EXPECT_EQ(logger.Lines(), std::vector<std::string>{});
}

TEST(SystemCalls, FileExistsOnlyForFilesThatOpen) {
    ScratchDirectory dir;
    WriteBytes(dir.Narrow("file"), "x");
    ASSERT_EQ(mkfifo(dir.Narrow("fifo").c_str(), 0600), 0);
    EXPECT_TRUE(FileExists(dir.Wide("file")));
    EXPECT_FALSE(FileExists(dir.Wide("")));
    EXPECT_FALSE(FileExists(dir.Wide("missing")));
    EXPECT_FALSE(FileExists(dir.Wide("file") + WString(1, u'\0')));
    EXPECT_TRUE(FileExists(dir.Wide("fifo"))) << "opening a FIFO with no writer must not hang";
    EXPECT_EQ(GetFileSize64(dir.Wide("file")), 1);
    EXPECT_EQ(GetFileSize64(dir.Wide("missing")), 0);
    EXPECT_EQ(GetFileSize64(dir.Wide("")), 0);
}

TEST(SystemCalls, MoveAcrossFileSystemsCopiesWithoutReplacing) {
    struct stat shm {};
    struct stat tmp {};
    if (stat("/dev/shm", &shm) != 0 || stat("/tmp", &tmp) != 0 || shm.st_dev == tmp.st_dev) {
        GTEST_SKIP() << "/dev/shm is missing or on the same file system as /tmp";
    }
    ScratchDirectory onTmp("/tmp");
    ScratchDirectory onShm("/dev/shm");
    const std::string content(300000, 'm');
    WriteBytes(onTmp.Narrow("source"), content);
    WriteBytes(onShm.Narrow("taken"), "keep me");
    ASSERT_EQ(chmod(onTmp.Narrow("source").c_str(), 0640), 0);
    const auto writeTime =
        std::filesystem::last_write_time(onTmp.Narrow("source")) - std::chrono::hours(30);
    std::filesystem::last_write_time(onTmp.Narrow("source"), writeTime);

    CapturingTextLogger logger(kSeverityError + 1);
    EXPECT_FALSE(MoveFilePath(onTmp.Wide("source"), onShm.Wide("taken")));
    EXPECT_EQ(ReadBytes(onShm.Narrow("taken")), "keep me");
    EXPECT_EQ(ReadBytes(onTmp.Narrow("source")), content);

    EXPECT_TRUE(MoveFilePath(onTmp.Wide("source"), onShm.Wide("moved")));
    EXPECT_FALSE(std::filesystem::exists(onTmp.Narrow("source")));
    EXPECT_EQ(ReadBytes(onShm.Narrow("moved")), content);
    EXPECT_EQ(std::filesystem::last_write_time(onShm.Narrow("moved")), writeTime);
    struct stat moved {};
    ASSERT_EQ(stat(onShm.Narrow("moved").c_str(), &moved), 0);
    EXPECT_EQ(moved.st_mode & 0777, 0640u);
}

TEST(SystemCalls, CopyFileWithTimesOverwritesAndKeepsTheWriteTime) {
    ScratchDirectory dir;
    WriteBytes(dir.Narrow("from"), "fresh content");
    WriteBytes(dir.Narrow("to"), "stale");
    const platform::FileTime writeTime = 131000000000000000ull;   // 2016
    const platform::FileTime accessTime = 132000000000000000ull;  // 2019
    ASSERT_TRUE(SetFileTimes(dir.Wide("from"), 0, accessTime, writeTime));

    ASSERT_TRUE(CopyFileWithTimes(dir.Wide("from"), dir.Wide("to")));
    EXPECT_EQ(ReadBytes(dir.Narrow("to")), "fresh content");
    platform::FileTime creation = 0;
    platform::FileTime access = 0;
    platform::FileTime write = 0;
    ASSERT_TRUE(GetFileTimes(dir.Wide("to"), creation, access, write));
    EXPECT_EQ(write, writeTime);
    // The copy itself may have read the source after its access time was set.
    EXPECT_GE(access, accessTime);
    EXPECT_NE(creation, 0u);
    EXPECT_TRUE(GetFileTimes(dir.Wide(""), creation, access, write)) << "directories too";
    // No temporary file is left beside the target.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              2);
}

TEST(SystemCalls, ListFilesAndSubdirectories) {
    ScratchDirectory dir;
    for (const char* name : {"a.txt", "B.TXT", "c.txt.bak", ".hidden.txt", "notes"}) {
        WriteBytes(dir.Narrow(name), "x");
    }
    for (const char* name : {"sub.txt", "alpha", ".git"}) {
        std::filesystem::create_directory(dir.Narrow(name));
    }
    std::filesystem::create_symlink(dir.Narrow("a.txt"), dir.Narrow("link.txt"));
    WriteBytes(dir.Narrow("bad\xFFname.txt"), "x");  // not UTF-8: cannot be named

    std::vector<WString> names = {u"kept"};
    EXPECT_EQ(ListFiles(dir.Wide(""), u".txt", names), 4);
    EXPECT_EQ(Sorted(names),
              (std::vector<WString>{u".hidden.txt", u"B.TXT", u"a.txt", u"kept", u"link.txt"}));
    names.clear();
    EXPECT_EQ(ListFiles(dir.Wide(""), u"", names), 6);
    names.clear();
    EXPECT_EQ(ListSubdirectories(dir.Wide(""), names), 2);
    EXPECT_EQ(Sorted(names), (std::vector<WString>{u"alpha", u"sub.txt"}));

    std::filesystem::create_directory(dir.Narrow("empty"));
    EXPECT_EQ(ListFiles(dir.Wide("empty\\"), u".txt", names), 0);
    EXPECT_EQ(ListSubdirectories(dir.Wide("empty/"), names), 0);
    EXPECT_EQ(ListFiles(dir.Wide("missing/"), u".txt", names), -1);
    EXPECT_EQ(ListSubdirectories(dir.Wide("a.txt/"), names), -1);
}

// A '\' is a separator in the system's paths: a name holding one, listed and joined to
// its folder again, would name something outside the folder.
TEST(SystemCalls, ListingsLeaveOutNamesThatHoldABackslash) {
    ScratchDirectory dir;
    std::filesystem::create_directory(dir.Narrow("inbox"));
    WriteBytes(dir.Narrow("secret.xml"), "keep");
    WriteBytes(dir.Narrow("inbox/..\\secret.xml"), "x");
    WriteBytes(dir.Narrow("inbox/mail.xml"), "x");
    std::filesystem::create_directory(dir.Narrow("inbox/..\\outside"));
    std::filesystem::create_directory(dir.Narrow("inbox/sub"));

    std::vector<WString> names;
    EXPECT_EQ(ListFiles(dir.Wide("inbox/"), u".xml", names), 1);
    for (const WString& name : names) {
        DeleteFilePath(dir.Wide("inbox/") + name);
    }
    EXPECT_EQ(ReadBytes(dir.Narrow("secret.xml")), "keep");
    EXPECT_EQ(names, std::vector<WString>{u"mail.xml"});
    names.clear();
    EXPECT_EQ(ListSubdirectories(dir.Wide("inbox\\"), names), 1);
    EXPECT_EQ(names, std::vector<WString>{u"sub"});
}

}  // namespace
}  // namespace qav
