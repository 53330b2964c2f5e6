#include "platform/clock.h"

#include <time.h>

namespace qav::platform {

FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
    constexpr int64_t kEpochSeconds = static_cast<int64_t>(kUnixEpochFileTime / 10000000);
    if (seconds < -kEpochSeconds) {
        return 0;
    }
    // Beyond the last file time (in the year 30828) the multiplication would overflow;
    // file systems such as tmpfs store such times.
    constexpr int64_t kMaxSeconds = kMaxFileTime / 10000000 - kEpochSeconds;
    if (seconds >= kMaxSeconds) {
        return kMaxFileTime;
    }
    const int64_t sinceEpochStart = seconds + kEpochSeconds;
    const int64_t units = sinceEpochStart * 10000000 + nanoseconds / 100;
    return units < 0 ? 0 : static_cast<FileTime>(units);
}

void FileTimeToUnix(FileTime time, int64_t& seconds, int64_t& nanoseconds) {
    // Beyond the last file time the signed count would overflow: such a time is taken as
    // the last one, as FileTimeFromUnix clamps it.
    if (time > static_cast<FileTime>(kMaxFileTime)) {
        time = static_cast<FileTime>(kMaxFileTime);
    }
    const int64_t sinceUnix = static_cast<int64_t>(time) - static_cast<int64_t>(kUnixEpochFileTime);
    seconds = sinceUnix / 10000000;
    int64_t rest = sinceUnix % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    nanoseconds = rest * 100;
}

FileTime CurrentFileTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return FileTimeFromUnix(now.tv_sec, now.tv_nsec);
}

uint64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace qav::platform
