#include "core/date_time.h"

#include <gtest/gtest.h>
#include <time.h>

#include <climits>
#include <cstring>
#include <ostream>

namespace qav {

void PrintTo(const DateTime& d, std::ostream* out) {
    *out << d.year << '/' << d.month << '/' << d.day << ' ' << d.hour << ':' << d.minute << ':'
         << d.second;
}

namespace {

// glibc's UTC conversions are the outside reference, in both directions.
TEST(DateTime, AgreesWithTheCLibraryOnEveryDayFrom1900To2112) {
    // From 1900-01-01 up to 2113-01-01.
    for (time_t day = -2208988800; day < 4512672000; day += 86400) {
        for (time_t instant : {day, day + 1, day + 45296, day + 86399}) {
            tm t{};
            ASSERT_NE(gmtime_r(&instant, &t), nullptr);
            const DateTime expected{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                                    t.tm_hour,        t.tm_min,     t.tm_sec};
            ASSERT_EQ(DateTimeToSeconds(expected), instant) << testing::PrintToString(expected);
            DateTime actual;
            SecondsToDateTime(instant, actual);
            ASSERT_EQ(actual, expected) << "seconds " << instant;
        }
    }
}

// Stored data was written with this cumulative-day formula, exact from 1970 to 2099.
TEST(DateTime, KeepsTheStoredSecondsUpTo2099EvenPastTheMonthEnd) {
    const int kCommon[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    for (int y = 1970; y <= 2099; ++y) {
        for (int m = 1; m <= 12; ++m) {
            for (int d = 0; d <= 32; ++d) {
                const int64_t days = (y - 1600) / 400 - (y - 1900) / 100 + (y - 1969) / 4 +
                                     365LL * y + d - 719051 + kCommon[m - 1] +
                                     (m > 2 && IsLeapYear(y) ? 1 : 0);
                ASSERT_EQ(DateTimeToSeconds({y, m, d, 23, 59, 60}), days * 86400 + 86400)
                    << y << '/' << m << '/' << d;
            }
        }
    }
}

TEST(DateTime, BadMonthsAndExtremeFields) {
    EXPECT_EQ(DateTimeToSeconds({2020, 13, 1, 0, 0, 0}), 0);
    EXPECT_EQ(DateTimeToSeconds({2020, INT_MIN, 1, 0, 0, 0}), 0);
    DateTime date;
    // Out-of-range fields must carry over without overflow; extreme seconds clamp.
    const DateTime last{INT_MAX, 12, 31, 23, 59, 59};
    const DateTime first{INT_MIN, 1, 1, 0, 0, 0};
    EXPECT_GT(DateTimeToSeconds({INT_MAX, 12, INT_MAX, INT_MAX, INT_MAX, INT_MAX}), 0);
    EXPECT_LT(DateTimeToSeconds({INT_MIN, 1, INT_MIN, INT_MIN, INT_MIN, INT_MIN}), 0);
    SecondsToDateTime(INT64_MAX, date);
    EXPECT_EQ(date, last);
    SecondsToDateTime(INT64_MIN, date);
    EXPECT_EQ(date, first);
    SecondsToDateTime(DateTimeToSeconds(first), date);
    EXPECT_EQ(date, first);
}

TEST(DateTime, ValidityLeapYearsAndOrder) {
    EXPECT_TRUE(IsValidDateTime({2013, 1, 1, 0, 0, 0}));
    EXPECT_TRUE(IsValidDateTime({2112, 12, 31, 23, 59, 59}));
    EXPECT_TRUE(IsValidDateTime({2023, 2, 31, 0, 0, 0}));
    const DateTime invalid[] = {{2012, 12, 31, 0, 0, 0}, {2113, 1, 1, 0, 0, 0},
                                {2020, 0, 1, 0, 0, 0},   {2020, 13, 1, 0, 0, 0},
                                {2020, 1, 0, 0, 0, 0},   {2020, 1, 32, 0, 0, 0},
                                {2020, 1, 1, 24, 0, 0},  {2020, 1, 1, 0, 60, 0},
                                {2020, 1, 1, 0, 0, 60},  {2020, 1, 1, 0, 0, -1}};
    for (const DateTime& date : invalid) {
        EXPECT_FALSE(IsValidDateTime(date)) << testing::PrintToString(date);
    }
    EXPECT_TRUE(IsLeapYear(2000) && IsLeapYear(2024) && IsLeapYear(-4));
    EXPECT_FALSE(IsLeapYear(1900) || IsLeapYear(2100) || IsLeapYear(2023) || IsLeapYear(-1));
    EXPECT_TRUE(DateTimeLess({2020, 12, 31, 23, 59, 59}, {2021, 1, 1, 0, 0, 0}));
    EXPECT_TRUE(DateTimeLess({2020, 6, 15, 12, 30, 30}, {2020, 6, 15, 12, 30, 31}));
    EXPECT_FALSE(DateTimeLess({2020, 6, 15, 12, 30, 30}, {2020, 6, 15, 12, 30, 30}));
}

TEST(DateTime, TextsOfADate) {
    WString wide;
    DateTimeToWString({2024, 2, 9, 3, 4, 5}, wide);
    EXPECT_EQ(wide, u"2024/02/09 03:04:05");
    // Exactly 19 characters and a NUL, whatever the fields hold.
    char text[20];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(FormatDateTimeDigits({12345, 123, INT_MIN, 7, 8, -9}, text), 19);
    EXPECT_EQ(std::string(text, 20), std::string("2345/23/48 07:08:09", 20));
}

TEST(DateTime, ParseDateTimeAcceptsOnlyTheFixedLayout) {
    const DateTime untouched{1, 2, 3, 4, 5, 6};
    DateTime date = untouched;
    EXPECT_TRUE(ParseDateTime(u"2020/01/02 03:04:05 and trailing text", date));
    EXPECT_EQ(date, (DateTime{2020, 1, 2, 3, 4, 5}));
    const WStringView rejected[] = {u"2020/1/02 03:04:05",
                                    u"2020-01-02 03:04:05",
                                    u"2020/01/02 03:04:0x",
                                    u"2020/01/02 03:04:\uFF10\uFF15" /* full-width digits */,
                                    WStringView(u"2020/01/02 03:04:05", 18),
                                    WStringView(u"2020/01/02\0 03:04:05", 19),
                                    u""};
    for (WStringView text : rejected) {
        date = untouched;
        EXPECT_FALSE(ParseDateTime(text, date)) << std::string(text.begin(), text.end());
        EXPECT_EQ(date, untouched);
    }
}

TEST(DateTime, DurationTexts) {
    const std::pair<int64_t, const char*> seconds[] = {
        {59, "59 seconds"},
        {61, "1 minutes and 1 seconds"},
        {120, "2 minutes"},
        {-5, "-5 seconds"},
        {3661, "1 hours and 1 minutes"},
        {90000, "1 days and 1 hours"},
        {1209600, "2 weeks"},
        {1209600 + 90061, "2 weeks and 1 days"},
        {INT64_MAX, "15250284452471 weeks and 3 days"}};
    char text[64];
    for (const auto& [value, expected] : seconds) {
        EXPECT_EQ(FormatDuration(text, sizeof text, value), static_cast<int>(strlen(expected)));
        EXPECT_STREQ(text, expected);
    }
    EXPECT_EQ(FormatDurationMinutes(text, sizeof text, 120), 7);
    EXPECT_STREQ(text, "2 hours");
    EXPECT_EQ(FormatDuration(text, 8, 3661), -1);
    EXPECT_STREQ(text, "1 hours");
}

}  // namespace
}  // namespace qav
