#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace qav::platform {

static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

namespace {

// Linux moves at most this much in one read or write call.
constexpr size_t kMaxTransfer = 0x7ffff000;
constexpr size_t kCopyChunk = 128 * 1024;
// Copies read only regular files; O_NONBLOCK keeps the open of a FIFO from waiting.
constexpr int kSourceFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Restores errno when it goes out of scope, so that clean-up calls do not hide the
// reason of the failure being reported.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : m_saved(errno) {}
    ~ErrnoKeeper() { errno = m_saved; }

  private:
    int m_saved;
};

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
    int handle;
    do {
        handle = ::open(path, flags, mode);
    } while (handle < 0 && errno == EINTR);
    return handle;
}

bool CloseChecked(int handle) {
    // Linux frees the descriptor even when close fails, so it is never retried.
    return ::close(handle) == 0;
}

bool CopyContents(int source, int target) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyChunk]);
    if (!buffer) {
        errno = ENOMEM;
        return false;
    }
    for (;;) {
        const int64_t got = ReadFile(source, buffer.get(), kCopyChunk);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (WriteFile(target, buffer.get(), static_cast<size_t>(got)) != got) {
            return false;
        }
    }
}

// Opens the source of a copy, which must be a regular file; anything else is closed
// again and refused with `directoryError` or `otherError`. -1 with errno set on failure.
int OpenCopySource(const std::string& path, struct stat& status, int directoryError,
                   int otherError) {
    const int source = OpenRetrying(path.c_str(), kSourceFlags);
    if (source < 0) {
        return -1;
    }
    int error = 0;
    if (::fstat(source, &status) != 0) {
        error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        error = S_ISDIR(status.st_mode) ? directoryError : otherError;
    } else {
        return source;
    }
    ::close(source);
    errno = error;
    return -1;
}

// Closes both ends of a copy. False when the copy (`copied`) or the close of the target
// failed, with errno telling why: a full disk may show only when the data is flushed.
bool CloseCopy(int source, int target, bool copied) {
    int error = errno;
    ::close(source);
    if (!CloseChecked(target) && copied) {
        copied = false;
        error = errno;
    }
    errno = error;
    return copied;
}

// The copy half of a move across file systems: the target is created exclusively, so
// an existing file is never touched, and it gets the source's mode and times. Only a
// regular file can cross; anything else fails as the rename did (EXDEV).
bool CopyForMove(const std::string& from, const std::string& to) {
    struct stat status {};
    const int source = OpenCopySource(from, status, EXDEV, EXDEV);
    if (source < 0) {
        return false;
    }
    const mode_t mode = status.st_mode & 07777;
    const int target =
        OpenRetrying(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
    if (target < 0) {
        ErrnoKeeper keep;
        ::close(source);
        return false;
    }
    const timespec times[2] = {status.st_atim, status.st_mtim};
    // Flushed before the source is unlinked, so that a crash cannot lose both.
    const bool copied = CopyContents(source, target) && ::fchmod(target, mode) == 0 &&
                        ::futimens(target, times) == 0 && FlushFile(target);
    if (!CloseCopy(source, target, copied)) {
        ErrnoKeeper keep;
        ::unlink(to.c_str());
        return false;
    }
    return true;
}

// Creates a new file with a short name of its own in the directory of `path`, for
// content that is renamed over `path` once complete. The name does not grow with the
// target's: a target whose name is near the limit still gets a temporary file. The
// kernel applies the umask to `mode`. -1 with errno set on failure.
int CreateTemporaryBeside(const std::string& path, mode_t mode, std::string& temporary) {
    static std::atomic<uint32_t> counter{0};
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = directory + ".qav" + std::to_string(::getpid()) + "-" +
                    std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
        const int handle = OpenRetrying(temporary.c_str(),
                                        O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        if (handle >= 0 || errno != EEXIST) {
            return handle;
        }
    }
    return -1;
}

// The last step of a move made by a link or a copy: the source goes. When it cannot,
// the new name goes again, so that the file is not left under both names.
bool RemoveMovedSource(const std::string& from, const std::string& to) {
    if (::unlink(from.c_str()) == 0) {
        return true;
    }
    ErrnoKeeper keep;
    ::unlink(to.c_str());
    return false;
}

}  // namespace

int OpenFile(const std::string& path, FileOpenMode mode) {
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    switch (mode) {
        case FileOpenMode::kReadExisting:
            flags |= O_RDONLY;
            break;
        case FileOpenMode::kReadWriteTruncate:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case FileOpenMode::kReadWriteOpenOrCreate:
            flags |= O_RDWR | O_CREAT;
            break;
        case FileOpenMode::kReadWriteExisting:
            flags |= O_RDWR;
            break;
    }
    // O_NONBLOCK only keeps the open of a FIFO from waiting for its other end.
    const int handle = OpenRetrying(path.c_str(), flags, 0666);
    if (handle < 0) {
        return kInvalidFileHandle;
    }
    struct stat status {};
    if (::fstat(handle, &status) != 0) {
        ErrnoKeeper keep;
        ::close(handle);
        return kInvalidFileHandle;
    }
    if (S_ISDIR(status.st_mode)) {
        ::close(handle);
        errno = EISDIR;
        return kInvalidFileHandle;
    }
    if (!S_ISREG(status.st_mode)) {
        ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) & ~O_NONBLOCK);
    }
    return handle;
}

void CloseFile(int handle) {
    if (handle >= 0) {
        ::close(handle);
    }
}

int64_t ReadFile(int handle, void* buffer, size_t length) {
    ssize_t got;
    do {
        got = ::read(handle, buffer, length < kMaxTransfer ? length : kMaxTransfer);
    } while (got < 0 && errno == EINTR);
    return got;
}

int64_t WriteFile(int handle, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    size_t written = 0;
    while (written < length) {
        const size_t chunk = length - written < kMaxTransfer ? length - written : kMaxTransfer;
        const ssize_t put = ::write(handle, bytes + written, chunk);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (put == 0) {
            errno = EIO;
            break;
        }
        written += static_cast<size_t>(put);
    }
    return static_cast<int64_t>(written);
}

bool FlushFile(int handle) {
    return ::fsync(handle) == 0;
}

int64_t SeekFile(int handle, int64_t position) {
    if (position < 0) {
        errno = EINVAL;
        return -1;
    }
    return ::lseek(handle, position, SEEK_SET);
}

int64_t TellFile(int handle) {
    return ::lseek(handle, 0, SEEK_CUR);
}

int64_t GetFileSize(int handle) {
    struct stat status {};
    if (::fstat(handle, &status) != 0) {
        return -1;
    }
    return status.st_size;
}

bool IsReadableFile(const std::string& path) {
    const int handle = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (handle < 0) {
        return false;
    }
    struct stat status {};
    const bool isFile = ::fstat(handle, &status) == 0 && !S_ISDIR(status.st_mode);
    ::close(handle);
    return isFile;
}

bool PathExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool RemoveDirectory(const std::string& path) {
    return ::rmdir(path.c_str()) == 0;
}

bool MakeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        return false;
    }
    if (IsDirectory(path)) {
        return true;
    }
    errno = EEXIST;
    return false;
}

bool MoveWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // A file system without the no-replace flag: a hard link fails on an existing
        // target just the same. Directories cannot take that road.
        if (::link(from.c_str(), to.c_str()) == 0) {
            return RemoveMovedSource(from, to);
        }
        if (errno == EEXIST || errno == EXDEV) {
            error = errno;
        }
    }
    if (error == EXDEV) {
        return CopyForMove(from, to) && RemoveMovedSource(from, to);
    }
    errno = error;
    return false;
}

bool CopyFileReplacing(const std::string& from, const std::string& to) {
    struct stat status {};
    const int source = OpenCopySource(from, status, EISDIR, EINVAL);
    if (source < 0) {
        return false;
    }
    std::string temporary;
    const int target = CreateTemporaryBeside(to, 0600, temporary);
    if (target < 0) {
        ErrnoKeeper keep;
        ::close(source);
        return false;
    }
    // Flushed before the rename, so that a crash cannot leave the target's name on a
    // copy whose data never reached the device.
    const bool copied = CopyContents(source, target) &&
                        ::fchmod(target, status.st_mode & 07777) == 0 && FlushFile(target);
    if (!CloseCopy(source, target, copied) || ::rename(temporary.c_str(), to.c_str()) != 0) {
        ErrnoKeeper keep;
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool WriteFileReplacing(const std::string& path, const void* data, size_t length) {
    // Created with 0666 so that a new file gets the mode the umask allows.
    std::string temporary;
    const int target = CreateTemporaryBeside(path, 0666, temporary);
    if (target < 0) {
        return false;
    }
    struct stat existing {};
    // Flushed before the rename, so that a crash cannot leave the new name on an empty
    // file.
    bool written =
        WriteFile(target, data, length) == static_cast<int64_t>(length) && FlushFile(target) &&
        (::stat(path.c_str(), &existing) != 0 || ::fchmod(target, existing.st_mode & 07777) == 0);
    if (!written) {
        ErrnoKeeper keep;
        ::close(target);
    } else if (!CloseChecked(target)) {
        written = false;
    }
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ErrnoKeeper keep;
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool GetDiskSpace(const std::string& path, uint64_t& totalBytes, uint64_t& availableBytes) {
    struct statvfs volume {};
    if (::statvfs(path.c_str(), &volume) != 0) {
        return false;
    }
    totalBytes = static_cast<uint64_t>(volume.f_blocks) * volume.f_frsize;
    availableBytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    return true;
}

bool GetFileTimes(const std::string& path, FileTime& creation, FileTime& lastAccess,
                  FileTime& lastWrite) {
    struct statx status {};
    const unsigned mask = STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME;
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, mask, &status) != 0) {
        if (errno != ENOSYS) {
            return false;
        }
        // Kernels or sandboxes without statx: no birth time.
        struct stat plain {};
        if (::stat(path.c_str(), &plain) != 0) {
            return false;
        }
        creation = FileTimeFromUnix(plain.st_ctim.tv_sec, plain.st_ctim.tv_nsec);
        lastAccess = FileTimeFromUnix(plain.st_atim.tv_sec, plain.st_atim.tv_nsec);
        lastWrite = FileTimeFromUnix(plain.st_mtim.tv_sec, plain.st_mtim.tv_nsec);
        return true;
    }
    const auto convert = [](const statx_timestamp& time) {
        return FileTimeFromUnix(time.tv_sec, time.tv_nsec);
    };
    creation = convert((status.stx_mask & STATX_BTIME) != 0 ? status.stx_btime : status.stx_ctime);
    lastAccess = convert(status.stx_atime);
    lastWrite = convert(status.stx_mtime);
    return true;
}

bool SetFileTimes(const std::string& path, FileTime lastAccess, FileTime lastWrite) {
    timespec times[2];
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    FileTimeToUnix(lastAccess, seconds, nanoseconds);
    times[0] = {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)};
    FileTimeToUnix(lastWrite, seconds, nanoseconds);
    times[1] = {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>& entries) {
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        return false;
    }
    const int directoryHandle = ::dirfd(directory);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr) {
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        DirectoryEntry item;
        item.name = entry->d_name;
        if (entry->d_type == DT_REG || entry->d_type == DT_DIR) {
            item.isRegularFile = entry->d_type == DT_REG;
            item.isDirectory = entry->d_type == DT_DIR;
        } else if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat status {};
            if (::fstatat(directoryHandle, entry->d_name, &status, 0) == 0) {
                item.isRegularFile = S_ISREG(status.st_mode);
                item.isDirectory = S_ISDIR(status.st_mode);
            }
        }
        entries.push_back(std::move(item));
    }
    const bool ok = errno == 0;
    ErrnoKeeper keep;
    ::closedir(directory);
    return ok;
}

}  // namespace qav::platform
