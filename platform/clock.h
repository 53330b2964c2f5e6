// Clocks of the operating system.
#pragma once

#include <cstdint>

namespace qav::platform {

// Wall-clock time as the system stores it for files: 100-ns units since
// 1601-01-01 00:00:00 UTC.
using FileTime = uint64_t;

// File time of the Unix epoch, 1970-01-01 00:00:00 UTC.
constexpr FileTime kUnixEpochFileTime = 116444736000000000ull;

// The last file time: the largest signed 64-bit count, in the year 30828.
constexpr int64_t kMaxFileTime = INT64_MAX;

// Times before 1601 clamp to 0, times beyond the last file time to kMaxFileTime, both
// ways: a file time beyond it converts as kMaxFileTime does.
FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
void FileTimeToUnix(FileTime time, int64_t& seconds, int64_t& nanoseconds);

// The current UTC time (CLOCK_REALTIME).
FileTime CurrentFileTime();

// A monotonic reading in nanoseconds (CLOCK_MONOTONIC); never steps back.
uint64_t MonotonicNanoseconds();

}  // namespace qav::platform
