#include "rtc_base/time_utils.h"

#include <time.h>

#include "gtest/gtest.h"

namespace rtc {
namespace {

TEST(TimeUtilsTest, TimeMillisNeverGoesBackwards) {
  int64_t last = TimeMillis();
  for (int i = 0; i < 10000; ++i) {
    const int64_t now = TimeMillis();
    ASSERT_GE(now, last);
    last = now;
  }
}

TEST(TimeUtilsTest, TestClockDrivesEveryClockButSystemTimeAndTimeSecond) {
  const int64_t system_before = SystemTimeMillis();
  ScopedFakeClock clock;
  clock.SetTimeMillis(5000);
  EXPECT_EQ(TimeMillis(), 5000);
  EXPECT_EQ(TimeMicros(), 5000000);
  EXPECT_EQ(TimeNanos(), 5000000000);
  EXPECT_EQ(TimeUTCMicros(), 5000000);
  EXPECT_EQ(TimeUTCMillis(), 5000);
  EXPECT_EQ(Time32(), 5000u);
  EXPECT_EQ(TimeAfter(250), 5250);
  clock.AdvanceTime(1234);
  EXPECT_EQ(TimeMillis(), 6234);
  EXPECT_EQ(TimeSince(6000), 234);
  EXPECT_EQ(TimeUntil(7000), 766);
  // The system clock and the wall-clock seconds keep running on their own.
  EXPECT_GE(SystemTimeMillis(), system_before);
  EXPECT_GT(TimeSecond(), 1600000000);
}

TEST(TimeUtilsTest, ScopedFakeClockStartsAwayFromZeroAndRestoresThePreviousClock) {
  ASSERT_EQ(GetClockForTesting(), nullptr);
  {
    ScopedFakeClock outer;
    EXPECT_EQ(TimeMillis(), 1000000);
    {
      ScopedFakeClock inner;
      EXPECT_EQ(GetClockForTesting(), &inner);
    }
    EXPECT_EQ(GetClockForTesting(), &outer);
  }
  EXPECT_EQ(GetClockForTesting(), nullptr);
  EXPECT_GT(TimeUTCMillis(), int64_t{1600000000} * 1000);
}

TEST(TimeUtilsTest, Time32WrapsAndTimeDiff32StaysSmallAcrossTheWrap) {
  ScopedFakeClock clock;
  clock.SetTimeMillis((int64_t{1} << 32) - 10);
  const uint32_t before = Time32();
  EXPECT_EQ(before, 0xfffffff6u);
  clock.AdvanceTime(25);
  const uint32_t after = Time32();
  EXPECT_EQ(after, 15u);
  EXPECT_EQ(TimeDiff32(after, before), 25);
  EXPECT_EQ(TimeDiff32(before, after), -25);
  EXPECT_EQ(TimeDiff(100, 250), -150);
}

TEST(TimeUtilsTest, TmToSecondsAgreesWithTimegmFrom1970To2100) {
  for (int64_t day = 0; day < 47850; ++day) {
    const time_t t = static_cast<time_t>(day * 86400 + (day % 4) * 21601 + day % 60);
    struct tm tm;
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    ASSERT_EQ(TmToSeconds(tm), static_cast<int64_t>(t)) << "day " << day;
  }
}

TEST(TimeUtilsTest, TmToSecondsRefusesInvalidDates) {
  struct tm tm = {};
  tm.tm_year = 70;
  tm.tm_mday = 1;
  EXPECT_EQ(TmToSeconds(tm), 0);
  tm.tm_year = 100;  // 2000 is a leap year.
  tm.tm_mon = 1;
  tm.tm_mday = 29;
  EXPECT_EQ(TmToSeconds(tm), 951782400);
  tm.tm_year = 99;
  EXPECT_EQ(TmToSeconds(tm), -1);
  tm.tm_year = 200;  // 2100 is not.
  EXPECT_EQ(TmToSeconds(tm), -1);
  tm = {};
  tm.tm_mday = 1;
  tm.tm_year = 69;
  EXPECT_EQ(TmToSeconds(tm), -1);
  tm.tm_year = 70;
  tm.tm_mon = 12;
  EXPECT_EQ(TmToSeconds(tm), -1);
  tm.tm_mon = 0;
  tm.tm_mday = 0;
  EXPECT_EQ(TmToSeconds(tm), -1);
  tm.tm_mday = 1;
  tm.tm_hour = 24;
  EXPECT_EQ(TmToSeconds(tm), -1);
  tm.tm_hour = 0;
  tm.tm_sec = 60;
  EXPECT_EQ(TmToSeconds(tm), -1);
  tm.tm_sec = 0;
  tm.tm_year = 2147483647;  // Must not overflow.
  EXPECT_GT(TmToSeconds(tm), 0);
}

TEST(TimeUtilsTest, UnwrapCountsWrapsAndReturnsLateTimestampsWithoutTheLastWrap) {
  TimestampWrapAroundHandler handler;
  const int64_t k2To32 = int64_t{1} << 32;
  EXPECT_EQ(handler.Unwrap(static_cast<uint32_t>(k2To32 - 16)), k2To32 - 16);
  EXPECT_EQ(handler.Unwrap(16), 16 + k2To32);
  EXPECT_EQ(handler.Unwrap(static_cast<uint32_t>(k2To32 - 11)), k2To32 - 11);
  // The late timestamp left the last one at 16.
  EXPECT_EQ(handler.Unwrap(20), 20 + k2To32);
}

TEST(TimeUtilsTest, UnwrapOfALateTimestampBeforeAnyWrapIsNegative) {
  TimestampWrapAroundHandler handler;
  EXPECT_EQ(handler.Unwrap(5), 5);
  EXPECT_EQ(handler.Unwrap(0xfffffff0u), int64_t{0xfffffff0} - (int64_t{1} << 32));
}

}  // namespace
}  // namespace rtc
