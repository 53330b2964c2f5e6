// Paths as the system builds and checks them: UTF-16, '\' as the separator it writes,
// '/' accepted as a separator everywhere. Used to make the folders of recordings,
// histories and uploads and to check paths that arrive from the network.
//
// No state: any thread may call any function.
#pragma once

#include <vector>

#include "core/wide_text.h"

namespace qav {

// The longest path CreateDirectoryPath works on is one character shorter.
constexpr size_t kMaxDirectoryPathLength = 300;

// Creates the directory and every missing level above it. True when the directory
// exists afterwards. Paths of kMaxDirectoryPathLength characters or more are created
// only when their parent exists. Each failed level is logged.
bool CreateDirectoryPath(WStringView path);

// Appends '\' to a non-empty path that does not already end in '\' or '/'.
void AppendPathSeparator(WString& path);

// Removes one trailing '\' or '/', if any.
void StripPathSeparator(WString& path);

// `name` becomes the part after the last separator (the whole path when there is
// none); `path` keeps the part up to and including that separator (empty when there is
// none).
void SplitFileName(WString& path, WString& name);

// For paths from outside that must stay below a folder: false when a component is
// empty (a leading separator, two separators in a row) or exactly "..", or when the
// path holds a NUL. True for the empty path and for one that ends in a separator.
bool IsValidRelativePath(WStringView path);

// True for a non-empty name without '\', '/' or NUL that is not "." or "..".
bool IsPlainFileName(WStringView name);

// Moves directory\oldName to directory\newName with MoveFilePath (which logs its
// failure and never replaces an existing file).
bool RenameFileInDirectory(WStringView directory, WStringView oldName, WStringView newName);

// Ascending by UTF-16 code unit.
void SortWStrings(std::vector<WString>& strings);

}  // namespace qav
