#include "core/stopwatch.h"

#include <cstdint>
#include <ctime>
#include <limits>

#include <gtest/gtest.h>

#include "core/test_support.h"
#include "platform/clock.h"

namespace qav {
namespace {

using test_support::FakeRawClock;

TEST(Stopwatch, DefaultClockIsMonotonicMicroseconds) {
    const int64_t before = Stopwatch::ReadRawClock();
    const int64_t micros = static_cast<int64_t>(platform::MonotonicNanoseconds() / 1000);
    const int64_t after = Stopwatch::ReadRawClock();
    EXPECT_LE(before, micros);
    EXPECT_LE(micros, after);
    EXPECT_EQ(Stopwatch::RawToMicroseconds(1234567), 1234567) << "one raw unit per microsecond";
    EXPECT_EQ(Stopwatch::MicrosecondsToRaw(1234567), 1234567);

    FakeRawClock clock(0, true, 3);
    EXPECT_EQ(Stopwatch::RawToMicroseconds(3001), 1000) << "truncated";
    EXPECT_EQ(Stopwatch::MicrosecondsToRaw(315360000000000), 946080000000000) << "ten years";
    EXPECT_EQ(Stopwatch::MicrosecondsToRaw(std::numeric_limits<int64_t>::max() / 2),
              std::numeric_limits<int64_t>::max())
        << "saturates";
}

TEST(Stopwatch, AccumulatesOnlyForwardStepsAndComparesStrictly) {
    FakeRawClock clock(5000);
    Stopwatch watch;
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 0) << "a new stopwatch is not running";
    watch.Start();
    clock.Set(6000);
    EXPECT_FALSE(watch.HasElapsed(1000)) << "exactly the accumulated time";
    EXPECT_TRUE(watch.HasElapsed(999));
    clock.Set(2000);  // steps back: nothing added, nothing taken away
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 1000);
    clock.Set(2500);  // counts on from the lower reading
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 1500);
}

TEST(Stopwatch, MillisecondTickModeCountsWholeMillisecondsAndSurvivesTheWrap) {
    FakeRawClock clock(0xFFFFFFF0, false, 0);
    EXPECT_EQ(Stopwatch::MicrosecondsToRaw(30500), 30);
    EXPECT_EQ(Stopwatch::RawToMicroseconds(30), 30000);
    Stopwatch watch;
    watch.Start();
    clock.Set(0xFFFFFFFE);
    EXPECT_FALSE(watch.HasElapsed(14000));
    EXPECT_TRUE(watch.HasElapsed(13999));
    clock.Set(3);  // the 32-bit tick count wrapped: that step adds nothing
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 14000);
    clock.Set(10);
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 21000);
}

TEST(RandomSource, GivesTheUnixTime) {
    RandomSource& source = RandomSource::Instance();
    EXPECT_NEAR(static_cast<double>(source.UnixTime()), static_cast<double>(std::time(nullptr)),
                2.0);
    EXPECT_EQ(source.Pass(-17), -17);
}

}  // namespace
}  // namespace qav
