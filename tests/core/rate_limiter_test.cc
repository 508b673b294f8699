#include "core/rate_limiter.h"

#include <gtest/gtest.h>

#include "rtc_base/time_utils.h"

namespace vy {

namespace {

TEST(RateLimiterTest, LetsLimitPlusOneRequestsThroughPerWindow) {
  rtc::ScopedFakeClock clock;
  RateLimiter limiter(1, 1000);
  EXPECT_TRUE(limiter.Allow());
  EXPECT_TRUE(limiter.Allow());
  EXPECT_FALSE(limiter.Allow());
  EXPECT_FALSE(limiter.Allow());
}

TEST(RateLimiterTest, RefusalsAreNotCountedAndTheWindowDoesNotSlide) {
  rtc::ScopedFakeClock clock;
  RateLimiter limiter(9, 5000);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(limiter.Allow()) << i;
  clock.AdvanceTime(4000);
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(limiter.Allow());
  EXPECT_EQ(10, limiter.count());
  // The window ends 5000 ms after its first request, however many were refused.
  clock.AdvanceTime(1000);
  EXPECT_FALSE(limiter.Allow());
  clock.AdvanceTime(1);
  EXPECT_TRUE(limiter.Allow());
  EXPECT_EQ(1, limiter.count());
}

TEST(RateLimiterTest, ALimitOfZeroLetsOneRequestThroughPerWindow) {
  rtc::ScopedFakeClock clock;
  RateLimiter limiter(0, 1000);
  EXPECT_TRUE(limiter.Allow());
  EXPECT_FALSE(limiter.Allow());
  clock.AdvanceTime(1001);
  EXPECT_TRUE(limiter.Allow());
  EXPECT_FALSE(limiter.Allow());
}

TEST(RateLimiterTest, AWindowOpensOnlyAtARequest) {
  rtc::ScopedFakeClock clock;
  RateLimiter limiter(1, 1000);
  EXPECT_EQ(0, limiter.window_end());
  clock.AdvanceTime(123456);
  EXPECT_TRUE(limiter.Allow());
  EXPECT_EQ(rtc::TimeMillis() + 1000, limiter.window_end());
  // Inside the window at its very end, still refused.
  EXPECT_TRUE(limiter.Allow());
  clock.AdvanceTime(1000);
  EXPECT_FALSE(limiter.Allow());
}

}  // namespace

}  // namespace vy
