// Thin wrappers over the operating system's file and directory calls, in the system's
// own terms: UTF-16 paths with '\' or '/' separators, file times in 100-ns units since
// 1601-01-01 UTC.
//
// Failures come back as false, -1 or 0. The calls that change the file system also log
// their failure, with the error code and its text, to the process-wide text logger at
// severity 3. A path holding a NUL or a lone surrogate is refused with EINVAL before it
// reaches the operating system.
//
// No state: any thread may call any function.
#pragma once

#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "platform/clock.h"

namespace qav {

// Total bytes of the volume holding the path, and the free bytes the caller may use.
bool GetDiskSpace(WStringView path, uint64_t& totalBytes, uint64_t& availableBytes);

// True when the path opens for reading; false for a directory.
bool FileExists(WStringView path);

bool DeleteFilePath(WStringView path);

// Removes an empty directory.
bool DeleteDirectoryPath(WStringView path);

// Moves or renames a file; an existing target is never replaced (the move fails).
bool MoveFilePath(WStringView from, WStringView to);

// Creates one directory. True when a directory exists at the path afterwards, also
// when it was there already (nothing is logged then); anything else there is a failure.
bool CreateDirectoryIfMissing(WStringView path);

// 0 when the file cannot be opened.
int64_t GetFileSize64(WStringView path);

// Copies over an existing target, then gives the copy the source's times of last access
// and last write (a creation time cannot be set on this platform). True once the copy
// is made, even when the times could not be set.
bool CopyFileWithTimes(WStringView from, WStringView to);

// Works for directories too. The creation time is the birth time where the file system
// keeps one, else the time of the last status change.
bool GetFileTimes(WStringView path, platform::FileTime& creation, platform::FileTime& lastAccess,
                  platform::FileTime& lastWrite);

// Sets the times of last access and last write; `creation` cannot be set on this
// platform and is ignored. False without a message when the path does not exist.
bool SetFileTimes(WStringView path, platform::FileTime creation, platform::FileTime lastAccess,
                  platform::FileTime lastWrite);

// Appends the names of the regular files in `directory` (which ends in a separator)
// whose names end in `suffix`, ignoring the case of ASCII letters. Returns how many were
// appended, or -1 when the directory cannot be read. Names that are not valid UTF-8
// cannot be named in UTF-16, and names holding a '\' cannot be named in the system's
// paths (it is a separator there): both are left out.
int ListFiles(WStringView directory, WStringView suffix, std::vector<WString>& names);

// Appends the names of the subdirectories of `directory` (which ends in a separator)
// that do not begin with '.', left out as in ListFiles; the count appended or -1.
int ListSubdirectories(WStringView directory, std::vector<WString>& names);

}  // namespace qav
