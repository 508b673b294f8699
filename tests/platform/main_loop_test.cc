#include "platform/loop/main_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loop_fixture.h"
#include "platform/loop/notification_center.h"
#include "rtc_base/threads/timers.h"

namespace vortm {
namespace {

using rtc::DelayedCall;
using rtc::RepeatingTimer;
using test::FakeClockLoopTest;
using test::LoopTest;

class MainLoopFakeClockTest : public FakeClockLoopTest {
 protected:
  // Records `what` with the time relative to the test's start.
  std::function<void()> Record(const std::string& what) {
    return [this, what] { events_.push_back(what + "@" + std::to_string(Now() - start_)); };
  }

  const int64_t start_ = rtc::TimeMillis();
  std::vector<std::string> events_;
};

TEST_F(MainLoopFakeClockTest, PostsRunFirstAndDelayedCallsRunAtTheirTimeInPostingOrder) {
  MainLoop::postDelayed(100, Record("late"));
  MainLoop::postDelayed(50, Record("first-of-two"));
  MainLoop::post(Record("now"));
  MainLoop::postDelayed(50, Record("second-of-two"));
  Advance(49);
  EXPECT_EQ(std::vector<std::string>({"now@0"}), events_);
  Advance(51);
  EXPECT_EQ(std::vector<std::string>({"now@0", "first-of-two@50", "second-of-two@50", "late@100"}),
            events_);
}

TEST_F(MainLoopFakeClockTest, RepeatingTimerStaysOnItsGridAndSkipsWhatItMissed) {
  RepeatingTimer timer(MainLoop::thread(), 1000, Record("fire"));
  Advance(1000);
  // The loop is busy past the next firing: the late firing runs once, the grid stays.
  Advance(1700, 1700);
  Advance(300);
  EXPECT_EQ(std::vector<std::string>({"fire@1000", "fire@2700", "fire@3000"}), events_);
}

TEST_F(MainLoopFakeClockTest, RepeatingTimerFiresBeforeCallsItsLastFiringScheduledForThen) {
  DelayedCall later(MainLoop::thread());
  RepeatingTimer timer(MainLoop::thread(), 1000, [&] {
    Record("fire")();
    later.schedule(1, 1000, Record("check"));
  });
  Advance(2000);
  EXPECT_EQ(std::vector<std::string>({"fire@1000", "fire@2000", "check@2000"}), events_);
}

TEST_F(MainLoopFakeClockTest, RepeatingTimerMayDestroyItselfWhileFiring) {
  int fired = 0;
  auto timer = std::make_unique<std::unique_ptr<RepeatingTimer>>();
  *timer = std::make_unique<RepeatingTimer>(MainLoop::thread(), 10, [&] {
    ++fired;
    timer->reset();
  });
  Advance(100);
  EXPECT_EQ(1, fired);
}

TEST_F(MainLoopFakeClockTest, DelayedCallsAreCancelledByIdAndDroppedWithTheirOwner) {
  auto calls = std::make_unique<DelayedCall>(MainLoop::thread());
  calls->schedule(1, 10, Record("one"));
  calls->schedule(1, 20, Record("one-again"));
  calls->schedule(2, 10, Record("two"));
  calls->cancel(1);
  Advance(10);
  calls->schedule(3, 10, Record("three"));
  calls.reset();
  Advance(50);
  EXPECT_EQ(std::vector<std::string>({"two@10"}), events_);
}

class MainLoopRealTimeTest : public LoopTest {};

TEST_F(MainLoopRealTimeTest, ClosuresPostedFromOtherThreadsRunOnTheLoopInOrder) {
  std::vector<int> order;
  std::atomic<bool> onLoop{true};
  std::thread([&] {
    for (int i = 0; i < 3; ++i) {
      MainLoop::post([&, i] {
        onLoop = onLoop && MainLoop::isCurrent();
        order.push_back(i);
      });
    }
  }).join();
  ASSERT_TRUE(PumpUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(std::vector<int>({0, 1, 2}), order);
  EXPECT_TRUE(onLoop);
  // A second binding is refused while the loop is bound.
  EXPECT_FALSE(MainLoop::Binding().ok());
  EXPECT_TRUE(MainLoop::isCurrent());
}

// Observers hear their name from their sender or any; one removed during a post is not called,
// and one added waits for the next post.
TEST(NotificationCenterTest, PostReachesTheObserversOfTheNameAndSender) {
  NotificationCenter center;
  int a = 0, b = 0;
  std::vector<std::string> heard;
  auto hear = [&](const std::string& what) {
    return [&, what](const std::string&, const void*) { heard.push_back(what); };
  };
  NotificationCenter::Token removed = 0;
  center.observe("n", nullptr, [&](const std::string&, const void*) {
    heard.push_back("any");
    center.remove(removed);
    center.observe("n", nullptr, hear("new"));
  });
  removed = center.observe("n", nullptr, hear("removed"));
  center.observe("n", &a, hear("a-only"));
  center.post("n", &b);
  EXPECT_EQ(std::vector<std::string>({"any"}), heard);
  center.post("n", &a);
  EXPECT_EQ(std::vector<std::string>({"any", "any", "a-only", "new"}), heard);
}

}  // namespace
}  // namespace vortm
