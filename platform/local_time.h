// Local time of the machine, as the TZ environment variable (or, without it, the
// system's zone file) defines it.
//
// The zone is read once per process by the C library; a program that changes TZ calls
// tzset() before relying on the new zone. Any thread may call.
#pragma once

#include <cstdint>

namespace qav::platform {

// How far local time is ahead of UTC, in seconds, at the given instant (seconds since
// 1970-01-01 UTC): summer time counts when it applies at that instant, not now.
// 0 when the C library cannot convert the instant.
int32_t LocalUtcOffsetSeconds(int64_t unixSeconds);

}  // namespace qav::platform
