#include "core/date_time.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <tuple>

#include "core/format.h"
#include "core/text_utils.h"

namespace qav {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kDaysPer400Years = 146097;
// Days from 0000-03-01 to 1970-01-01 in the calendar below.
constexpr int64_t kDaysBeforeUnixEpoch = 719468;

// Days from 1970-01-01 to the first of the month. The year is counted from March so that
// the leap day falls at the end, and in whole 400-year eras so that every year is exact.
constexpr int64_t DaysFromCivil(int64_t year, int32_t month) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t monthFromMarch = month > 2 ? month - 3 : month + 9;
    const int64_t dayOfYear = (153 * monthFromMarch + 2) / 5;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * kDaysPer400Years + dayOfEra - kDaysBeforeUnixEpoch;
}

constexpr int64_t SecondsOf(int64_t days, int64_t hour, int64_t minute, int64_t second) {
    return days * kSecondsPerDay + (hour * 60 + minute) * 60 + second;
}

// The seconds whose dates still have a year that fits the 32-bit field.
constexpr int64_t kFirstSecond =
    SecondsOf(DaysFromCivil(std::numeric_limits<int32_t>::min(), 1), 0, 0, 0);
constexpr int64_t kLastSecond =
    SecondsOf(DaysFromCivil(std::numeric_limits<int32_t>::max(), 12) + 30, 23, 59, 59);

void CivilFromDays(int64_t days, int64_t& year, int32_t& month, int32_t& day) {
    days += kDaysBeforeUnixEpoch;
    const int64_t era = (days >= 0 ? days : days - (kDaysPer400Years - 1)) / kDaysPer400Years;
    const int64_t dayOfEra = days - era * kDaysPer400Years;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    day = static_cast<int32_t>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    month = static_cast<int32_t>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

// The lowest `count` decimal digits of the value's magnitude.
char* WriteDigits(char* out, int32_t value, int count) {
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    }
    return out + count;
}

int32_t ReadDigits(const WChar* text, int count) {
    int32_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value * 10 + (text[i] - u'0');
    }
    return value;
}

}  // namespace

bool IsValidDateTime(const DateTime& date) {
    return date.year >= 2013 && date.year <= 2112 && date.month >= 1 && date.month <= 12 &&
           date.day >= 1 && date.day <= 31 && date.hour >= 0 && date.hour <= 23 &&
           date.minute >= 0 && date.minute <= 59 && date.second >= 0 && date.second <= 59;
}

bool DateTimeLess(const DateTime& a, const DateTime& b) {
    return std::tie(a.year, a.month, a.day, a.hour, a.minute, a.second) <
           std::tie(b.year, b.month, b.day, b.hour, b.minute, b.second);
}

bool IsLeapYear(int32_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int64_t DateTimeToSeconds(const DateTime& date) {
    if (date.month < 1 || date.month > 12) {
        return 0;
    }
    const int64_t days = DaysFromCivil(date.year, date.month) + int64_t{date.day} - 1;
    return SecondsOf(days, date.hour, date.minute, date.second);
}

void SecondsToDateTime(int64_t seconds, DateTime& date) {
    seconds = std::clamp(seconds, kFirstSecond, kLastSecond);
    int64_t days = seconds / kSecondsPerDay;
    int64_t secondOfDay = seconds % kSecondsPerDay;
    if (secondOfDay < 0) {
        secondOfDay += kSecondsPerDay;
        --days;
    }
    int64_t year = 0;
    CivilFromDays(days, year, date.month, date.day);
    date.year = static_cast<int32_t>(year);
    date.hour = static_cast<int32_t>(secondOfDay / 3600);
    date.minute = static_cast<int32_t>(secondOfDay / 60 % 60);
    date.second = static_cast<int32_t>(secondOfDay % 60);
}

void DateTimeToWString(const DateTime& date, WString& text) {
    text = FormatWString(u"%04d/%02d/%02d %02d:%02d:%02d", date.year, date.month, date.day,
                         date.hour, date.minute, date.second);
}

int FormatDateTimeDigits(const DateTime& date, std::span<char, 20> text) {
    char* out = WriteDigits(text.data(), date.year, 4);
    *out++ = '/';
    out = WriteDigits(out, date.month, 2);
    *out++ = '/';
    out = WriteDigits(out, date.day, 2);
    *out++ = ' ';
    out = WriteDigits(out, date.hour, 2);
    *out++ = ':';
    out = WriteDigits(out, date.minute, 2);
    *out++ = ':';
    out = WriteDigits(out, date.second, 2);
    *out = '\0';
    return 19;
}

void DateTimeToString(const DateTime& date, std::string& text) {
    char digits[20];
    text.assign(digits, FormatDateTimeDigits(date, digits));
}

bool ParseDateTime(WStringView text, DateTime& date) {
    static constexpr char16_t kPattern[] = u"####/##/## ##:##:##";
    constexpr size_t kLength = std::size(kPattern) - 1;
    if (text.size() < kLength) {
        return false;
    }
    for (size_t i = 0; i < kLength; ++i) {
        const bool matches = kPattern[i] == u'#' ? IsAsciiDigit(text[i]) : text[i] == kPattern[i];
        if (!matches) {
            return false;
        }
    }
    const WChar* digits = text.data();
    date.year = ReadDigits(digits, 4);
    date.month = ReadDigits(digits + 5, 2);
    date.day = ReadDigits(digits + 8, 2);
    date.hour = ReadDigits(digits + 11, 2);
    date.minute = ReadDigits(digits + 14, 2);
    date.second = ReadDigits(digits + 17, 2);
    return true;
}

int FormatDuration(char* buffer, size_t capacity, int64_t seconds) {
    if (seconds < 60) {
        return FormatText(buffer, capacity, "%d seconds", seconds);
    }
    if (seconds < 3600 && seconds % 60 != 0) {
        return FormatText(buffer, capacity, "%d minutes and %d seconds", seconds / 60,
                          seconds % 60);
    }
    return FormatDurationMinutes(buffer, capacity, seconds / 60);
}

int FormatDurationMinutes(char* buffer, size_t capacity, int64_t minutes) {
    constexpr int64_t kMinutesPerDay = 24 * 60;
    constexpr int64_t kMinutesPerWeek = 7 * kMinutesPerDay;
    if (minutes < 60) {
        return FormatText(buffer, capacity, "%d minutes", minutes);
    }
    if (minutes < kMinutesPerDay) {
        const int64_t rest = minutes % 60;
        return rest != 0
                   ? FormatText(buffer, capacity, "%d hours and %d minutes", minutes / 60, rest)
                   : FormatText(buffer, capacity, "%d hours", minutes / 60);
    }
    if (minutes < kMinutesPerWeek) {
        const int64_t hours = minutes % kMinutesPerDay / 60;
        return hours != 0 ? FormatText(buffer, capacity, "%d days and %d hours",
                                       minutes / kMinutesPerDay, hours)
                          : FormatText(buffer, capacity, "%d days", minutes / kMinutesPerDay);
    }
    const int64_t days = minutes % kMinutesPerWeek / kMinutesPerDay;
    return days != 0 ? FormatText(buffer, capacity, "%d weeks and %d days",
                                  minutes / kMinutesPerWeek, days)
                     : FormatText(buffer, capacity, "%d weeks", minutes / kMinutesPerWeek);
}

}  // namespace qav
