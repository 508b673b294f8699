#include "core/thread_mgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/rtc_tick.h"
#include "rtc_base/event.h"
#include "rtc_base/message_handler.h"
#include "rtc_base/platform_thread_types.h"

namespace vy {

namespace {

class CountingTick : public RtcTick {
 public:
  void OnTick() override {
    on_worker = on_worker && ThreadMgr::Inst()->IsCurrent();
    if (++ticks == 5) fifth.Set();
  }
  void OnTickUnAttach() override { ++unattached; }

  std::atomic<int> ticks{0};
  std::atomic<int> unattached{0};
  std::atomic<bool> on_worker{true};
  rtc::Event fifth;
};

// Registers a tick for its scope, with the worker running.
class ScopedTick {
 public:
  explicit ScopedTick(RtcTick* tick) : tick_(tick) {
    ThreadMgr::Inst();
    MThreadTick::Inst()->RegisteRtcTick(tick_, tick_);
  }
  ~ScopedTick() { MThreadTick::Inst()->UnRegisteRtcTick(tick_); }

 private:
  RtcTick* tick_;
};

// The worker sleeps until there is work: each posted message is one wake, and each wake ends
// with a tick pass.
bool WakeUntil(rtc::Event& event) {
  for (int i = 0; i < 500; ++i) {
    ThreadMgr::Inst()->Post(RTC_FROM_HERE, nullptr, rtc::MQID_DISPOSE);
    if (event.Wait(10)) return true;
  }
  return false;
}

TEST(ThreadMgrTest, TicksTheRegistryOnEveryPassOfTheWorker) {
  CountingTick tick;
  ScopedTick registration(&tick);
  ASSERT_TRUE(WakeUntil(tick.fifth));
  MThreadTick::Inst()->UnRegisteRtcTick(&tick);
  int after = tick.ticks;
  // The second call runs in a later wake than the first, so a whole tick pass lies between.
  for (int i = 0; i < 3; ++i) ThreadMgr::Inst()->Invoke<void>(RTC_FROM_HERE, [] {});
  EXPECT_EQ(after, tick.ticks);
  EXPECT_TRUE(tick.on_worker);
  EXPECT_EQ(0, tick.unattached);
}

TEST(ThreadMgrTest, UnattachedTickIsToldOnTheWorker) {
  CountingTick tick;
  ScopedTick registration(&tick);
  ASSERT_TRUE(WakeUntil(tick.fifth));
  MThreadTick::Inst()->UnAttachRtcTick(&tick);
  for (int i = 0; i < 500 && tick.unattached == 0; ++i) {
    ThreadMgr::Inst()->Post(RTC_FROM_HERE, nullptr, rtc::MQID_DISPOSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(1, tick.unattached);
  EXPECT_EQ(0u, MThreadTick::Inst()->size());
}

class Recorder : public rtc::MessageHandler {
 public:
  void OnMessage(rtc::Message*) override {
    on_worker = ThreadMgr::Inst()->IsCurrent();
    handled.Set();
  }
  std::atomic<bool> on_worker{false};
  rtc::Event handled;
};

TEST(ThreadMgrTest, PostedMessagesRunOnTheWorker) {
  Recorder recorder;
  ThreadMgr::Inst()->Post(RTC_FROM_HERE, &recorder);
  ASSERT_TRUE(recorder.handled.Wait(5000));
  EXPECT_TRUE(recorder.on_worker);
  ThreadMgr::Inst()->PostDelayed(RTC_FROM_HERE, 5, &recorder);
  ASSERT_TRUE(recorder.handled.Wait(5000));
}

}  // namespace

}  // namespace vy
