#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qav::platform {
namespace {

class FileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qav-platform-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    std::string At(const std::string& name) const { return m_dir + "/" + name; }
    static void Put(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    size_t EntryCount() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(m_dir),
                                                 std::filesystem::directory_iterator()));
    }

    std::string m_dir;
};

TEST_F(FileSystemTest, MoveNeverReplacesAFileOrAnEmptyDirectory) {
    Put(At("a"), "A");
    Put(At("b"), "B");
    EXPECT_FALSE(MoveWithoutReplacing(At("a"), At("b")));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(Get(At("b")), "B");

    // A plain rename would replace an empty directory.
    std::filesystem::create_directory(At("d1"));
    std::filesystem::create_directory(At("d2"));
    Put(At("d1/inside"), "x");
    EXPECT_FALSE(MoveWithoutReplacing(At("d1"), At("d2")));
    EXPECT_EQ(Get(At("d1/inside")), "x");
    EXPECT_TRUE(MoveWithoutReplacing(At("d1"), At("d3")));
    EXPECT_EQ(Get(At("d3/inside")), "x");
}

TEST_F(FileSystemTest, FailedCopyLeavesTheTargetAndNoTemporaryFile) {
    Put(At("source"), "new");
    std::filesystem::create_directory(At("target-dir"));
    EXPECT_FALSE(CopyFileReplacing(At("source"), At("target-dir")));
    EXPECT_TRUE(std::filesystem::is_directory(At("target-dir")));
    EXPECT_FALSE(CopyFileReplacing(At("target-dir"), At("copy")));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(CopyFileReplacing(At("source"), At("no-such-dir/copy")));
    EXPECT_EQ(EntryCount(), 2u) << "a temporary copy was left behind";

    ASSERT_EQ(chmod(At("source").c_str(), 0604), 0);
    ASSERT_TRUE(CopyFileReplacing(At("source"), At("copy")));
    EXPECT_EQ(Get(At("copy")), "new");
    struct stat status {};
    ASSERT_EQ(stat(At("copy").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0604u);
}

TEST_F(FileSystemTest, OpenRefusesDirectoriesAndDoesNotWaitForAFifo) {
    ASSERT_EQ(mkfifo(At("fifo").c_str(), 0600), 0);
    const int fifo = OpenFile(At("fifo"), FileOpenMode::kReadExisting);
    ASSERT_GE(fifo, 0);
    char byte;
    // Without a writer, a blocking read of a FIFO ends at once with 0.
    EXPECT_EQ(ReadFile(fifo, &byte, 1), 0);
    CloseFile(fifo);

    EXPECT_EQ(OpenFile(m_dir, FileOpenMode::kReadExisting), kInvalidFileHandle);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(OpenFile(m_dir, FileOpenMode::kReadWriteOpenOrCreate), kInvalidFileHandle);
}

}  // namespace
}  // namespace qav::platform
