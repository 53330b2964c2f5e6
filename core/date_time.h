// The six-integer date of history files, recording names, logs and report records, and
// the plain-language duration texts shown for uptimes and waits.
//
// A DateTime carries no time zone; whoever stores one knows whether it is UTC or local
// (core/system_time.h converts from file times). Dates follow the proleptic Gregorian
// calendar for every year a 32-bit field can hold; the range the system accepts from
// outside is 2013 to 2112 (IsValidDateTime).
//
// Typical usage:
//   DateTime date;
//   if (ParseDateTime(text, date) && IsValidDateTime(date)) {
//       int64_t seconds = DateTimeToSeconds(date);
//   }
//
// No state: any thread may call any function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/wide_text.h"

namespace qav {

struct DateTime {
    int32_t year = 0;
    int32_t month = 0;   // 1 to 12
    int32_t day = 0;     // 1 to 31
    int32_t hour = 0;    // 0 to 23
    int32_t minute = 0;  // 0 to 59
    int32_t second = 0;  // 0 to 59

    bool operator==(const DateTime&) const = default;
};

// Years 2013 to 2112 and every field in its range. The day is checked against 31 only,
// not against the month's length: stored records may carry such dates.
bool IsValidDateTime(const DateTime& date);

// True when a is earlier than b, field by field from the year down.
bool DateTimeLess(const DateTime& a, const DateTime& b);

bool IsLeapYear(int32_t year);

// Seconds since 1970-01-01 00:00:00; 0 when the month is outside 1 to 12. Days, hours,
// minutes and seconds outside their ranges carry over (31 February is 2 or 3 March).
int64_t DateTimeToSeconds(const DateTime& date);

// The inverse of DateTimeToSeconds. Seconds before 1970 give earlier dates; seconds
// beyond the years a 32-bit field holds are clamped to the first or last such second.
void SecondsToDateTime(int64_t seconds, DateTime& date);

// "YYYY/MM/DD hh:mm:ss" ("%04d/%02d/%02d %02d:%02d:%02d").
void DateTimeToWString(const DateTime& date, WString& text);

// The same text for the ordinary case, written digit by digit for the hot logging path:
// exactly 19 characters and a NUL, each field cut to its lowest decimal digits (four for
// the year, two for the others; the sign of a negative field is dropped). Returns 19.
int FormatDateTimeDigits(const DateTime& date, std::span<char, 20> text);
void DateTimeToString(const DateTime& date, std::string& text);

// Reads "YYYY/MM/DD hh:mm:ss" from the first 19 characters of the text (ASCII digits
// only); what follows is ignored. The values are not range-checked: use IsValidDateTime.
// On failure the date is left as it was.
bool ParseDateTime(WStringView text, DateTime& date);

// Plain-language durations such as "2 minutes and 5 seconds" or "3 weeks", showing the
// two largest units and cutting off the rest. Write into the buffer like FormatText:
// return the characters written, or -1 when the text did not fit (the buffer then holds
// what fitted, NUL-terminated when the capacity is at least 1).
int FormatDuration(char* buffer, size_t capacity, int64_t seconds);
int FormatDurationMinutes(char* buffer, size_t capacity, int64_t minutes);

}  // namespace qav
