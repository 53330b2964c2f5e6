// Files and directories of the operating system.
//
// Paths here are already in the system's own form: UTF-8, '/' separators, no NUL
// (core/native_path.h makes them from the system's UTF-16 paths). Descriptors are
// opened close-on-exec and every offset is 64-bit. Failures return false or -1 and
// leave the reason in errno (LastErrorCode()).
//
// No state: any thread may call any function; a descriptor is used by one thread at a
// time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace qav::platform {

constexpr int kInvalidFileHandle = -1;

enum class FileOpenMode {
    kReadExisting,           // read only; the file must exist
    kReadWriteTruncate,      // created, or truncated when it exists
    kReadWriteOpenOrCreate,  // opened as it is, or created
    kReadWriteExisting,      // the file must exist
};

// A descriptor, or kInvalidFileHandle. Directories are refused (EISDIR).
int OpenFile(const std::string& path, FileOpenMode mode);
void CloseFile(int handle);

// One read (retried only when interrupted): bytes read, 0 at the end, -1 on failure.
int64_t ReadFile(int handle, void* buffer, size_t length);

// Writes until everything is written or a call fails; returns the bytes written. A
// count below `length` means a call failed and errno tells why.
int64_t WriteFile(int handle, const void* data, size_t length);

// Flushes the file's data and metadata to the device.
bool FlushFile(int handle);

// Sets the offset from the start; returns it, or -1.
int64_t SeekFile(int handle, int64_t position);
int64_t TellFile(int handle);
int64_t GetFileSize(int handle);

// True when the path opens for reading and is not a directory.
bool IsReadableFile(const std::string& path);

// True when something exists at the path (symbolic links followed).
bool PathExists(const std::string& path);

// True when a directory exists at the path.
bool IsDirectory(const std::string& path);

bool RemoveFile(const std::string& path);
bool RemoveDirectory(const std::string& path);

// Creates one directory. True also when a directory is already there; an existing
// entry of another kind fails with EEXIST.
bool MakeDirectory(const std::string& path);

// Moves a file or directory, never replacing an existing target (EEXIST). Across file
// systems a regular file is copied, with its mode and times, flushed to the device and
// only then the source deleted; when any step fails the copy is removed and the source
// stays.
bool MoveWithoutReplacing(const std::string& from, const std::string& to);

// Copies a regular file over the target. The copy is written to a temporary file in
// the target's directory, flushed to the device and renamed over the target, so that
// a failure or a crash leaves the old target as it was. The temporary file's name is
// short, so a target name at the length limit works.
bool CopyFileReplacing(const std::string& from, const std::string& to);

// Writes `length` bytes as the whole new content of the file at `path`. They go to a
// temporary file with a short name in the same directory, which is renamed over the
// target only when every byte was written, flushed to the device and the file closed
// cleanly, so a failure leaves the old target as it was. A new file gets mode 0666
// less the umask; an existing target keeps its mode.
bool WriteFileReplacing(const std::string& path, const void* data, size_t length);

// Bytes of the volume holding the path: its total size and what the caller may use.
bool GetDiskSpace(const std::string& path, uint64_t& totalBytes, uint64_t& availableBytes);

// The creation time is the birth time where the file system keeps one, else the
// time of the last status change.
bool GetFileTimes(const std::string& path, FileTime& creation, FileTime& lastAccess,
                  FileTime& lastWrite);

// Sets the times of last access and last write. The creation time of a file cannot be
// set on this platform.
bool SetFileTimes(const std::string& path, FileTime lastAccess, FileTime lastWrite);

struct DirectoryEntry {
    std::string name;
    bool isRegularFile = false;  // symbolic links are followed
    bool isDirectory = false;
};

// The entries of a directory other than "." and "..", in the order the file system
// gives them.
bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>& entries);

}  // namespace qav::platform
