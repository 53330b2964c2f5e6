// Thin wrappers over the platform's time, sleep and start-up services, in the system's
// own terms: dates as DateTime, wall-clock times as file times (100-ns units since
// 1601-01-01 UTC).
//
// No state: any thread may call any function.
#pragma once

#include <cstdint>

#include "core/date_time.h"
#include "platform/clock.h"
#include "platform/dynamic_library.h"

namespace qav {

// Prepares the process for socket work: a write to a peer that has gone must fail with
// an error rather than end the process. Call once at start-up.
void InitializeWinsock();

// The address of an exported function of a loaded library, by its ASCII name; null when
// there is none. The module comes from platform::OpenDynamicLibrary; null searches the
// main program and the libraries loaded with it.
void* GetProcAddressByName(platform::LibraryHandle module, const char* name);

// Sleeps on the calling thread (0 or less only yields), inside the trace frame "SlMS" so
// that a state report shows the thread as sleeping.
void SleepMilliseconds(int32_t milliseconds);

// The UTC date of a file time; fractions of a second are dropped.
DateTime FileTimeToDateTime(platform::FileTime time);

// The file time of a UTC date. False, leaving `time` as it was, for a date that does not
// exist (31 February, 29 February of a common year, a field out of range) and for years
// outside 1601 to 30827, the span of file times that fit a signed 64-bit count.
bool DateTimeToFileTime(const DateTime& date, platform::FileTime& time);

// The local date of a UTC file time, with the zone's offset at that instant.
DateTime FileTimeToLocalDateTime(platform::FileTime utcTime);

// The current local date.
DateTime GetLocalDateTime();

// The current UTC time in microseconds since 1601-01-01.
int64_t GetSystemTimeMicroseconds();

}  // namespace qav
