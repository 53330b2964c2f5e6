#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "core/test_support.h"

namespace qav::platform {
namespace {

using namespace test_support;

// A plain rename would replace an empty directory.
TEST(FileSystem, MoveNeverReplacesAnEmptyDirectory) {
    ScratchDirectory dir;
    std::filesystem::create_directory(dir.Narrow("d1"));
    std::filesystem::create_directory(dir.Narrow("d2"));
    WriteBytes(dir.Narrow("d1/inside"), "x");
    EXPECT_FALSE(MoveWithoutReplacing(dir.Narrow("d1"), dir.Narrow("d2")));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReadBytes(dir.Narrow("d1/inside")), "x");
    EXPECT_TRUE(MoveWithoutReplacing(dir.Narrow("d1"), dir.Narrow("d3")));
    EXPECT_EQ(ReadBytes(dir.Narrow("d3/inside")), "x");
}

TEST(FileSystem, CopyKeepsTheModeAndAFailedOneLeavesNoTemporaryFile) {
    ScratchDirectory dir;
    WriteBytes(dir.Narrow("source"), "new");
    std::filesystem::create_directory(dir.Narrow("target-dir"));
    EXPECT_FALSE(CopyFileReplacing(dir.Narrow("source"), dir.Narrow("target-dir")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.Narrow("target-dir")));
    EXPECT_FALSE(CopyFileReplacing(dir.Narrow("target-dir"), dir.Narrow("copy")));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(CopyFileReplacing(dir.Narrow("source"), dir.Narrow("no-such-dir/copy")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2)
        << "a temporary copy was left behind";

    ASSERT_EQ(chmod(dir.Narrow("source").c_str(), 0604), 0);
    ASSERT_TRUE(CopyFileReplacing(dir.Narrow("source"), dir.Narrow("copy")));
    struct stat status {};
    ASSERT_EQ(stat(dir.Narrow("copy").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0604u);
}

TEST(FileSystem, OpenDoesNotWaitForAFifo) {
    ScratchDirectory dir;
    ASSERT_EQ(mkfifo(dir.Narrow("fifo").c_str(), 0600), 0);
    const int fifo = OpenFile(dir.Narrow("fifo"), FileOpenMode::kReadExisting);
    ASSERT_GE(fifo, 0);
    char byte;
    // Without a writer, a blocking read of a FIFO ends at once with 0.
    EXPECT_EQ(ReadFile(fifo, &byte, 1), 0);
    CloseFile(fifo);
}

}  // namespace
}  // namespace qav::platform
