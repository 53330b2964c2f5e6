#include "core/stopwatch.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <limits>

#include <gtest/gtest.h>

#include "platform/clock.h"

namespace qav {
namespace {

std::atomic<int64_t> gRaw{0};
int64_t ReadRaw() {
    return gRaw.load();
}

class StopwatchTest : public ::testing::Test {
  protected:
    void TearDown() override { Stopwatch::ResetClockForTesting(); }
};

TEST_F(StopwatchTest, DefaultClockIsMonotonicMicroseconds) {
    const int64_t before = Stopwatch::ReadRawClock();
    const int64_t micros = static_cast<int64_t>(platform::MonotonicNanoseconds() / 1000);
    const int64_t after = Stopwatch::ReadRawClock();
    EXPECT_LE(before, micros);
    EXPECT_LE(micros, after);
    EXPECT_EQ(Stopwatch::RawToMicroseconds(1234567), 1234567) << "one raw unit per microsecond";
    EXPECT_EQ(Stopwatch::MicrosecondsToRaw(1234567), 1234567);

    Stopwatch::SetClockForTesting(true, 3, &ReadRaw);
    EXPECT_EQ(Stopwatch::RawToMicroseconds(3001), 1000) << "truncated";
    EXPECT_EQ(Stopwatch::MicrosecondsToRaw(315360000000000), 946080000000000) << "ten years";
    EXPECT_EQ(Stopwatch::MicrosecondsToRaw(std::numeric_limits<int64_t>::max() / 2),
              std::numeric_limits<int64_t>::max())
        << "saturates";
}

TEST_F(StopwatchTest, AccumulatesOnlyForwardStepsAndComparesStrictly) {
    Stopwatch::SetClockForTesting(true, 1, &ReadRaw);
    gRaw = 5000;
    Stopwatch watch;
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 0) << "a new stopwatch is not running";
    watch.Start();
    gRaw = 6000;
    EXPECT_FALSE(watch.HasElapsed(1000)) << "exactly the accumulated time";
    EXPECT_TRUE(watch.HasElapsed(999));
    gRaw = 2000;  // steps back: nothing added, nothing taken away
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 1000);
    gRaw = 2500;  // counts on from the lower reading
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 1500);
}

TEST_F(StopwatchTest, MillisecondTickModeCountsWholeMillisecondsAndSurvivesTheWrap) {
    Stopwatch::SetClockForTesting(false, 0, &ReadRaw);
    EXPECT_EQ(Stopwatch::MicrosecondsToRaw(30500), 30);
    EXPECT_EQ(Stopwatch::RawToMicroseconds(30), 30000);
    gRaw = 0xFFFFFFF0;
    Stopwatch watch;
    watch.Start();
    gRaw = 0xFFFFFFFE;
    EXPECT_FALSE(watch.HasElapsed(14000));
    EXPECT_TRUE(watch.HasElapsed(13999));
    gRaw = 3;  // the 32-bit tick count wrapped: that step adds nothing
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 14000);
    gRaw = 10;
    EXPECT_EQ(watch.GetElapsedMicroseconds(), 21000);
}

TEST(RandomSource, GivesTheUnixTime) {
    RandomSource& source = RandomSource::Instance();
    const double now = static_cast<double>(std::time(nullptr));
    EXPECT_NEAR(static_cast<double>(source.UnixTime()), now, 2.0);
    EXPECT_EQ(source.Pass(-17), -17);
}

}  // namespace
}  // namespace qav
