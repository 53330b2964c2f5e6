#include "core/system_calls.h"

#include <cerrno>
#include <string>
#include <string_view>

#include "core/file.h"
#include "core/native_path.h"
#include "core/text_logger.h"
#include "core/text_utils.h"
#include "platform/file_system.h"
#include "platform/system_error.h"

namespace qav {

namespace {

// The operating system's form of a path; EINVAL as the last error when there is none.
bool NativePath(WStringView path, std::string& out) {
    if (ToNativePath(path, out)) {
        return true;
    }
    platform::SetLastErrorCode(EINVAL);
    return false;
}

// Logs the last error with the paths the format names before "(%d) %ls".
template <typename... Paths>
void ReportFailure(std::string_view format, const Paths&... paths) {
    const int code = platform::LastErrorCode();
    if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
        logger->LogFormat(kSeverityError, format, paths..., code, GetErrorText(code));
    }
}

bool EndsWithNoCaseAscii(WStringView text, WStringView suffix) {
    if (suffix.size() > text.size()) {
        return false;
    }
    const auto lower = [](WChar c) {
        return c >= u'A' && c <= u'Z' ? static_cast<WChar>(c - u'A' + u'a') : c;
    };
    const WStringView tail = text.substr(text.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i) {
        if (lower(tail[i]) != lower(suffix[i])) {
            return false;
        }
    }
    return true;
}

// Runs a file-system call on the operating system's form of `path` and logs its
// failure with `format`.
bool CallOnPath(WStringView path, bool (*call)(const std::string&), std::string_view format) {
    std::string nativePath;
    if (NativePath(path, nativePath) && call(nativePath)) {
        return true;
    }
    ReportFailure(format, path);
    return false;
}

bool CallOnPaths(WStringView from, WStringView to,
                 bool (*call)(const std::string&, const std::string&), std::string_view format) {
    std::string nativeFrom;
    std::string nativeTo;
    if (NativePath(from, nativeFrom) && NativePath(to, nativeTo) && call(nativeFrom, nativeTo)) {
        return true;
    }
    ReportFailure(format, from, to);
    return false;
}

// Appends the names of the entries of `directory` that `wanted` picks and that end in
// `suffix`; the count appended, or -1 when the directory cannot be read.
int AppendNames(WStringView directory, WStringView suffix, std::vector<WString>& names,
                bool (*wanted)(const platform::DirectoryEntry&)) {
    std::string nativePath;
    std::vector<platform::DirectoryEntry> entries;
    if (!NativePath(directory, nativePath) ||
        !platform::ListDirectory(nativePath.empty() ? "." : nativePath, entries)) {
        return -1;
    }
    int count = 0;
    WString name;
    for (const platform::DirectoryEntry& entry : entries) {
        // A '\' is a separator in the system's paths: "..\x" listed here and joined to
        // the directory again would name a file outside it.
        if (entry.name.find('\\') != std::string::npos) {
            continue;
        }
        if (wanted(entry) && Utf8ToWideStrict(entry.name, name) &&
            EndsWithNoCaseAscii(name, suffix)) {
            names.push_back(name);
            ++count;
        }
    }
    return count;
}

}  // namespace

bool GetDiskSpace(WStringView path, uint64_t& totalBytes, uint64_t& availableBytes) {
    std::string nativePath;
    if (NativePath(path, nativePath) &&
        platform::GetDiskSpace(nativePath, totalBytes, availableBytes)) {
        return true;
    }
    ReportFailure("Error getting available disk space: (%d) %ls");
    return false;
}

bool FileExists(WStringView path) {
    std::string nativePath;
    return NativePath(path, nativePath) && platform::IsReadableFile(nativePath);
}

bool DeleteFilePath(WStringView path) {
    return CallOnPath(path, platform::RemoveFile, "Error deleting file %ls: (%d) %ls");
}

bool DeleteDirectoryPath(WStringView path) {
    return CallOnPath(path, platform::RemoveDirectory, "Error deleting directory %ls: (%d) %ls");
}

bool MoveFilePath(WStringView from, WStringView to) {
    return CallOnPaths(from, to, platform::MoveWithoutReplacing,
                       "Error moving file from %ls to %ls: (%d) %ls");
}

bool CreateDirectoryIfMissing(WStringView path) {
    return CallOnPath(path, platform::MakeDirectory, "Error creating directory %ls: (%d) %ls");
}

int64_t GetFileSize64(WStringView path) {
    File file;
    if (!file.Open(path, kFileModeRead, true)) {
        return 0;
    }
    const int64_t size = file.GetSize();
    return size > 0 ? size : 0;
}

bool CopyFileWithTimes(WStringView from, WStringView to) {
    if (!CallOnPaths(from, to, platform::CopyFileReplacing,
                     "Error copying file %ls to %ls: (%d) %ls")) {
        return false;
    }
    platform::FileTime creation = 0;
    platform::FileTime lastAccess = 0;
    platform::FileTime lastWrite = 0;
    if (GetFileTimes(from, creation, lastAccess, lastWrite)) {
        SetFileTimes(to, creation, lastAccess, lastWrite);
    }
    return true;
}

bool GetFileTimes(WStringView path, platform::FileTime& creation, platform::FileTime& lastAccess,
                  platform::FileTime& lastWrite) {
    std::string nativePath;
    // One call both finds the file and reads its times, so every failure is the
    // failure to reach it.
    if (NativePath(path, nativePath) &&
        platform::GetFileTimes(nativePath, creation, lastAccess, lastWrite)) {
        return true;
    }
    ReportFailure("Error opening file for time of %ls: (%d) %ls", path);
    return false;
}

bool SetFileTimes(WStringView path, platform::FileTime /*creation*/, platform::FileTime lastAccess,
                  platform::FileTime lastWrite) {
    std::string nativePath;
    if (!NativePath(path, nativePath) || !platform::PathExists(nativePath)) {
        return false;
    }
    if (platform::SetFileTimes(nativePath, lastAccess, lastWrite)) {
        return true;
    }
    ReportFailure("Error setting file time of %ls: (%d) %ls", path);
    return false;
}

int ListFiles(WStringView directory, WStringView suffix, std::vector<WString>& names) {
    return AppendNames(directory, suffix, names,
                       [](const platform::DirectoryEntry& entry) { return entry.isRegularFile; });
}

int ListSubdirectories(WStringView directory, std::vector<WString>& names) {
    return AppendNames(directory, u"", names, [](const platform::DirectoryEntry& entry) {
        return entry.isDirectory && entry.name[0] != '.';
    });
}

}  // namespace qav
