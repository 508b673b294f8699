// Fixtures that bind the main loop to the test's thread, which pumps it.
#ifndef TESTS_PLATFORM_LOOP_FIXTURE_H_
#define TESTS_PLATFORM_LOOP_FIXTURE_H_

#include <gtest/gtest.h>

#include <functional>

#include "platform/loop/main_loop.h"
#include "rtc_base/base/time_utils.h"

namespace vortm {
namespace test {

// Runs every message that is due now.
inline void Pump() {
  for (int pass = 0; pass < 100 && MainLoop::thread()->GetDelay() == 0; ++pass) {
    MainLoop::thread()->ProcessMessages(0);
  }
}

class LoopTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(binding_.ok()); }

  // Pumps the loop in real time until `done` holds; false after `timeoutMs`.
  static bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const int64_t giveUp = rtc::SystemTimeMillis() + timeoutMs;
    while (!done()) {
      if (rtc::SystemTimeMillis() > giveUp) return false;
      MainLoop::thread()->ProcessMessages(5);
    }
    return true;
  }

  MainLoop::Binding binding_;
};

// The loop on the test clock, which only the test moves. The clock outlives the binding.
class FakeClockLoopTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(binding_->ok()); }
  void TearDown() override { binding_.reset(); }

  // Moves the clock by `ms` in steps of `stepMs`, running what falls due at each step.
  void Advance(int64_t ms, int64_t stepMs = 1) {
    Pump();
    for (int64_t done = 0; done < ms; done += stepMs) {
      clock_.AdvanceTime(std::min(stepMs, ms - done));
      Pump();
    }
  }
  int64_t Now() const { return rtc::TimeMillis(); }

  rtc::ScopedFakeClock clock_;
  std::unique_ptr<MainLoop::Binding> binding_ = std::make_unique<MainLoop::Binding>();
};

}  // namespace test
}  // namespace vortm

#endif  // TESTS_PLATFORM_LOOP_FIXTURE_H_
