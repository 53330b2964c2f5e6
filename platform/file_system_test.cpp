#include "platform/file_system.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/test_support.h"

// Every fsync of this program passes through here, so that a test can see which files
// were flushed to the device. The library's calls bind to this definition, which hands
// on to the C library's.
namespace {
std::mutex g_flushedMutex;
std::vector<std::string> g_flushedPaths;
}  // namespace

extern "C" int fsync(int handle) {
    using Fsync = int (*)(int);
    static const auto next = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(handle);
    const ssize_t length = readlink(link.c_str(), path, sizeof path);
    if (length > 0) {
        std::lock_guard<std::mutex> lock(g_flushedMutex);
        g_flushedPaths.emplace_back(path, static_cast<size_t>(length));
    }
    return next(handle);
}

namespace qav::platform {
namespace {

using namespace test_support;

// The paths flushed since the last call, under the names they have now.
std::vector<std::string> TakeFlushedPaths() {
    std::lock_guard<std::mutex> lock(g_flushedMutex);
    return std::exchange(g_flushedPaths, {});
}

bool AnyStartsWith(const std::vector<std::string>& paths, const std::string& prefix) {
    for (const std::string& path : paths) {
        if (path.compare(0, prefix.size(), prefix) == 0) {
            return true;
        }
    }
    return false;
}

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

// A copy that replaces a file, or a move that deletes its source, must have its data on
// the device first, or a power loss can leave neither.
TEST(FileSystem, CopiesAreFlushedBeforeTheyReplaceOrTheSourceGoes) {
    ScratchDirectory dir;
    ScratchDirectory otherFileSystem("/dev/shm");
    WriteBytes(dir.Narrow("source"), "content");
    TakeFlushedPaths();
    ASSERT_TRUE(CopyFileReplacing(dir.Narrow("source"), dir.Narrow("copy")));
    // The temporary copy was flushed in the target's directory, before its rename.
    EXPECT_TRUE(AnyStartsWith(TakeFlushedPaths(), dir.Path() + "/"));
    EXPECT_EQ(ReadBytes(dir.Narrow("copy")), "content");

    struct stat here {};
    struct stat there {};
    ASSERT_EQ(stat(dir.Path().c_str(), &here), 0);
    ASSERT_EQ(stat(otherFileSystem.Path().c_str(), &there), 0);
    if (here.st_dev == there.st_dev) {
        GTEST_SKIP() << "/dev/shm is on the same file system as /tmp";
    }
    ASSERT_TRUE(MoveWithoutReplacing(dir.Narrow("copy"), otherFileSystem.Narrow("moved")));
    EXPECT_TRUE(AnyStartsWith(TakeFlushedPaths(), otherFileSystem.Narrow("moved")));
    EXPECT_EQ(ReadBytes(otherFileSystem.Narrow("moved")), "content");
    EXPECT_FALSE(std::filesystem::exists(dir.Narrow("copy")));
}

// The temporary file must not make a legal name illegal by lengthening it.
TEST(FileSystem, ReplacingWorksForANameAtTheLengthLimit) {
    ScratchDirectory dir;
    WriteBytes(dir.Narrow("source"), "copied");
    const std::string longName = dir.Narrow(std::string(250, 'n'));
    ASSERT_TRUE(CopyFileReplacing(dir.Narrow("source"), longName)) << strerror(errno);
    EXPECT_EQ(ReadBytes(longName), "copied");
    ASSERT_TRUE(WriteFileReplacing(longName, "written", 7)) << strerror(errno);
    EXPECT_EQ(ReadBytes(longName), "written");
    const std::string longest = dir.Narrow(std::string(255, 'm'));
    ASSERT_TRUE(WriteFileReplacing(longest, "x", 1)) << strerror(errno);
    EXPECT_EQ(ReadBytes(longest), "x");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3)
        << "a temporary file was left behind";
}

// tmpfs keeps times far beyond the last file time; they read as that time.
TEST(FileSystem, TimesBeyondTheLastFileTimeClamp) {
    EXPECT_EQ(FileTimeFromUnix(INT64_MAX, 999999999), static_cast<FileTime>(kMaxFileTime));
    EXPECT_EQ(FileTimeFromUnix(1'000'000'000'000, 0), static_cast<FileTime>(kMaxFileTime));
    EXPECT_EQ(FileTimeFromUnix(0, 0), kUnixEpochFileTime);
    EXPECT_EQ(FileTimeFromUnix(INT64_MIN, 0), 0u);

    ScratchDirectory dir("/dev/shm");
    WriteBytes(dir.Narrow("future"), "x");
    const timespec times[2] = {{1'000'000'000'000, 0}, {950'000'000'000, 0}};
    if (utimensat(AT_FDCWD, dir.Narrow("future").c_str(), times, 0) != 0) {
        GTEST_SKIP() << "this file system refuses such times";
    }
    FileTime creation = 0;
    FileTime lastAccess = 0;
    FileTime lastWrite = 0;
    ASSERT_TRUE(GetFileTimes(dir.Narrow("future"), creation, lastAccess, lastWrite));
    EXPECT_EQ(lastAccess, static_cast<FileTime>(kMaxFileTime));
    EXPECT_EQ(lastWrite, static_cast<FileTime>(kMaxFileTime));
}

// Setting a time beyond the last file time (from 2^63 on) sets the last one, as reading
// such a time gives it: the conversion must not overflow the signed count.
TEST(FileSystem, SetTimesBeyondTheLastFileTimeClamp) {
    int64_t lastSeconds = 0;
    int64_t lastNanoseconds = 0;
    FileTimeToUnix(static_cast<FileTime>(kMaxFileTime), lastSeconds, lastNanoseconds);
    const FileTime beyond[] = {static_cast<FileTime>(kMaxFileTime) + 1, uint64_t{1} << 63 | 12345,
                               UINT64_MAX};
    for (const FileTime time : beyond) {
        int64_t seconds = 0;
        int64_t nanoseconds = 0;
        FileTimeToUnix(time, seconds, nanoseconds);
        EXPECT_EQ(seconds, lastSeconds) << time;
        EXPECT_EQ(nanoseconds, lastNanoseconds) << time;
    }

    ScratchDirectory dir("/dev/shm");
    WriteBytes(dir.Narrow("future"), "x");
    if (!SetFileTimes(dir.Narrow("future"), UINT64_MAX, uint64_t{1} << 63)) {
        GTEST_SKIP() << "this file system refuses such times";
    }
    FileTime creation = 0;
    FileTime lastAccess = 0;
    FileTime lastWrite = 0;
    ASSERT_TRUE(GetFileTimes(dir.Narrow("future"), creation, lastAccess, lastWrite));
    EXPECT_EQ(lastAccess, static_cast<FileTime>(kMaxFileTime));
    EXPECT_EQ(lastWrite, static_cast<FileTime>(kMaxFileTime));
}

}  // namespace
}  // namespace qav::platform
