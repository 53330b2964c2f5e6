#include "core/system_time.h"

#include "core/trace_frame.h"
#include "platform/local_time.h"
#include "platform/signals.h"
#include "platform/thread.h"

namespace qav {

namespace {

constexpr int64_t kUnitsPerSecond = 10000000;
constexpr int64_t kUnixEpochSeconds =
    static_cast<int64_t>(platform::kUnixEpochFileTime) / kUnitsPerSecond;

int64_t FileTimeToUnixSeconds(platform::FileTime time) {
    return static_cast<int64_t>(time / kUnitsPerSecond) - kUnixEpochSeconds;
}

int32_t DaysInMonth(int32_t year, int32_t month) {
    static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool DateExists(const DateTime& date) {
    return date.year >= 1601 && date.year <= 30827 && date.month >= 1 && date.month <= 12 &&
           date.day >= 1 && date.day <= DaysInMonth(date.year, date.month) && date.hour >= 0 &&
           date.hour <= 23 && date.minute >= 0 && date.minute <= 59 && date.second >= 0 &&
           date.second <= 59;
}

}  // namespace

void InitializeWinsock() {
    platform::IgnoreBrokenPipeSignal();
}

void* GetProcAddressByName(platform::LibraryHandle module, const char* name) {
    return platform::FindLibrarySymbol(module, name);
}

void SleepMilliseconds(int32_t milliseconds) {
    QAV_TRACE("SlMS");
    QAV_TRACE_VAR("iSleepTimeMS", milliseconds, kTraceInt32);
    platform::SleepMilliseconds(milliseconds);
}

DateTime FileTimeToDateTime(platform::FileTime time) {
    DateTime date;
    SecondsToDateTime(FileTimeToUnixSeconds(time), date);
    return date;
}

bool DateTimeToFileTime(const DateTime& date, platform::FileTime& time) {
    if (!DateExists(date)) {
        return false;
    }
    const int64_t sinceStart = DateTimeToSeconds(date) + kUnixEpochSeconds;
    time = static_cast<platform::FileTime>(sinceStart) * kUnitsPerSecond;
    return true;
}

DateTime FileTimeToLocalDateTime(platform::FileTime utcTime) {
    const int64_t unixSeconds = FileTimeToUnixSeconds(utcTime);
    DateTime date;
    SecondsToDateTime(unixSeconds + platform::LocalUtcOffsetSeconds(unixSeconds), date);
    return date;
}

DateTime GetLocalDateTime() {
    return FileTimeToLocalDateTime(platform::CurrentFileTime());
}

int64_t GetSystemTimeMicroseconds() {
    return static_cast<int64_t>(platform::CurrentFileTime() / 10);
}

}  // namespace qav
