#include "rtc_base/event.h"

#include <atomic>
#include <thread>

#include "gtest/gtest.h"
#include "rtc_base/time_utils.h"
#include "rtc_base/yield_policy.h"

namespace rtc {
namespace {

TEST(EventTest, WaitOfZeroOnAnUnsignalledEventReturnsFalseAtOnce) {
  Event event;
  const int64_t start = SystemTimeMillis();
  EXPECT_FALSE(event.Wait(0));
  EXPECT_LT(SystemTimeMillis() - start, 1000);
}

TEST(EventTest, SetBeforeTheWaitCounts) {
  Event event;
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  // Auto-reset: the signal is used up.
  EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
  Event event(true, true);
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, TimedWaitLastsAboutItsDuration) {
  Event event;
  const int64_t start = SystemTimeNanos();
  EXPECT_FALSE(event.Wait(30));
  const int64_t elapsed_ms = (SystemTimeNanos() - start) / 1000000;
  EXPECT_GE(elapsed_ms, 30);
  EXPECT_LT(elapsed_ms, 5000);
}

TEST(EventTest, TimedWaitIgnoresTheTestClock) {
  ScopedFakeClock clock;
  Event event;
  EXPECT_FALSE(event.Wait(5));
}

TEST(EventTest, ForeverWaitReturnsOnlyAfterSet) {
  Event event;
  std::atomic<bool> set{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    set = true;
    event.Set();
  });
  EXPECT_TRUE(event.Wait(Event::kForever));
  EXPECT_TRUE(set);
  setter.join();
}

TEST(EventTest, AutoResetReleasesExactlyOneOfTwoWaiters) {
  Event event;
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (event.Wait(300)) ++released;
  };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(released, 1);
}

TEST(EventTest, ManualResetReleasesBothWaitersAndStaysSignalled) {
  Event event(true, false);
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (event.Wait(5000)) ++released;
  };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(released, 2);
  EXPECT_TRUE(event.Wait(0));
}

class CountingYield : public YieldInterface {
 public:
  void YieldExecution() override { ++count; }
  int count = 0;
};

TEST(EventTest, WaitCallsTheThreadsYieldPolicyAndScopesRestoreThePreviousOne) {
  CountingYield outer_policy, inner_policy;
  Event event(true, true);
  {
    ScopedYieldPolicy outer(&outer_policy);
    event.Wait(0);
    {
      ScopedYieldPolicy inner(&inner_policy);
      event.Wait(0);
    }
    event.Wait(0);
  }
  event.Wait(0);
  EXPECT_EQ(outer_policy.count, 2);
  EXPECT_EQ(inner_policy.count, 1);
}

}  // namespace
}  // namespace rtc
