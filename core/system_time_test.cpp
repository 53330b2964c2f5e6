#include "core/system_time.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace qav {

void PrintTo(const DateTime& d, std::ostream* out);

namespace {

// Sets TZ for one scope and puts the previous value back.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) : m_had(getenv("TZ") != nullptr) {
        m_previous = m_had ? getenv("TZ") : "";
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        m_had ? setenv("TZ", m_previous.c_str(), 1) : unsetenv("TZ");
        tzset();
    }

  private:
    bool m_had;
    std::string m_previous;
};

TEST(SystemTime, FileTimesAndDatesRoundTripAndMissingDatesAreRefused) {
    const DateTime dates[] = {{1601, 1, 1, 0, 0, 0},
                              {1970, 1, 1, 0, 0, 0},
                              {2024, 2, 29, 23, 59, 59},
                              {2100, 3, 1, 0, 0, 0},
                              {30827, 12, 31, 23, 59, 59}};
    for (const DateTime& date : dates) {
        platform::FileTime time = 0;
        ASSERT_TRUE(DateTimeToFileTime(date, time)) << testing::PrintToString(date);
        EXPECT_EQ(FileTimeToDateTime(time + 9999999), date) << "a fraction must be dropped";
    }
    platform::FileTime time = 0;
    ASSERT_TRUE(DateTimeToFileTime({1970, 1, 1, 0, 0, 0}, time));
    EXPECT_EQ(time, platform::kUnixEpochFileTime);

    const DateTime missing[] = {
        {2023, 2, 29, 0, 0, 0},  {2100, 2, 29, 0, 0, 0}, {2024, 2, 30, 0, 0, 0},
        {2024, 4, 31, 0, 0, 0},  {2024, 1, 0, 0, 0, 0},  {2024, 13, 1, 0, 0, 0},
        {2024, 1, 1, 24, 0, 0},  {2024, 1, 1, 0, 60, 0}, {2024, 1, 1, 0, 0, -1},
        {1600, 12, 31, 0, 0, 0}, {30828, 1, 1, 0, 0, 0}};
    for (const DateTime& date : missing) {
        time = 12345;
        EXPECT_FALSE(DateTimeToFileTime(date, time)) << testing::PrintToString(date);
        EXPECT_EQ(time, 12345u);
    }
}

TEST(SystemTime, LocalDatesUseTheZoneOffsetOfTheirInstant) {
    platform::FileTime winter = 0, summer = 0;
    ASSERT_TRUE(DateTimeToFileTime({2024, 12, 31, 20, 15, 7}, winter));
    ASSERT_TRUE(DateTimeToFileTime({2024, 7, 15, 12, 0, 0}, summer));
    ScopedTimeZone utc("UTC0");
    EXPECT_EQ(FileTimeToLocalDateTime(winter), (DateTime{2024, 12, 31, 20, 15, 7}));
    ScopedTimeZone india("XXX-05:30");
    EXPECT_EQ(FileTimeToLocalDateTime(winter), (DateTime{2025, 1, 1, 1, 45, 7}));
    // Five hours behind UTC, four from the second Sunday of March to the first of November.
    ScopedTimeZone eastern("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(FileTimeToLocalDateTime(winter), (DateTime{2024, 12, 31, 15, 15, 7}));
    EXPECT_EQ(FileTimeToLocalDateTime(summer), (DateTime{2024, 7, 15, 8, 0, 0}));
}

// The precise real-time clock's whole seconds. time() reads a coarser clock that may
// trail it by a tick, so it can still say the last second when the precise one has moved on.
int64_t RealTimeSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

TEST(SystemTime, CurrentTimesAgreeWithTheCLibrary) {
    ScopedTimeZone zone("XXX-05:30");
    const int64_t before = RealTimeSeconds();
    const int64_t micros = GetSystemTimeMicroseconds();
    const int64_t localSeconds = DateTimeToSeconds(GetLocalDateTime()) - (5 * 3600 + 30 * 60);
    const int64_t after = RealTimeSeconds();
    const int64_t epochMicros = static_cast<int64_t>(platform::kUnixEpochFileTime / 10);
    EXPECT_GE(micros, epochMicros + before * 1000000);
    EXPECT_LT(micros, epochMicros + (after + 1) * 1000000);
    EXPECT_GE(localSeconds, before);
    EXPECT_LE(localSeconds, after);
}

TEST(SystemTime, FindsExportedFunctionsByName) {
    platform::LibraryHandle libc = platform::OpenDynamicLibrary("libc.so.6");
    ASSERT_NE(libc, nullptr);
    for (platform::LibraryHandle module : {libc, platform::LibraryHandle{}}) {
        auto* length =
            reinterpret_cast<size_t (*)(const char*)>(GetProcAddressByName(module, "strlen"));
        ASSERT_NE(length, nullptr);
        EXPECT_EQ(length("four"), 4u);
        EXPECT_EQ(GetProcAddressByName(module, "no_such_function_anywhere"), nullptr);
    }
    platform::CloseDynamicLibrary(libc);
    EXPECT_EQ(platform::OpenDynamicLibrary("libdoes-not-exist.so.9"), nullptr);
}

TEST(SystemTime, WritesToAClosedPipeFailInsteadOfEndingTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            signal(SIGPIPE, SIG_DFL);
            InitializeWinsock();
            int ends[2];
            if (pipe(ends) != 0 || close(ends[0]) != 0) {
                _exit(2);
            }
            _exit(write(ends[1], "x", 1) == -1 && errno == EPIPE ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qav
