#include "core/rtc_tick.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "rtc_base/event.h"

namespace vy {

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RecordingTick : public RtcTick {
 public:
  RecordingTick(std::string name, std::vector<std::string>* log)
      : name_(std::move(name)), log_(log) {}

  void OnTick() override {
    log_->push_back(name_);
    if (on_tick_) on_tick_();
  }
  void OnTickUnAttach() override { log_->push_back(name_ + " unattached"); }

  std::function<void()> on_tick_;

 private:
  std::string name_;
  std::vector<std::string>* log_;
};

class MThreadTickTest : public ::testing::Test {
 protected:
  // Owner keys in ascending order.
  char owners_[4] = {};
  std::vector<std::string> log_;
  MThreadTick registry_;
};

TEST_F(MThreadTickTest, TicksRunInAscendingOwnerOrder) {
  RecordingTick a("a", &log_), b("b", &log_), c("c", &log_);
  registry_.RegisteRtcTick(&owners_[2], &c);
  registry_.RegisteRtcTick(&owners_[0], &a);
  registry_.RegisteRtcTick(&owners_[1], &b);
  registry_.DoProcess();
  EXPECT_THAT(log_, ElementsAre("a", "b", "c"));
}

TEST_F(MThreadTickTest, RegisteringAnOwnerAgainReplacesItsTick) {
  RecordingTick first("first", &log_), second("second", &log_);
  registry_.RegisteRtcTick(&owners_[0], &first);
  registry_.RegisteRtcTick(&owners_[0], &second);
  EXPECT_EQ(1u, registry_.size());
  registry_.DoProcess();
  EXPECT_THAT(log_, ElementsAre("second"));
}

TEST_F(MThreadTickTest, UnregisteringStopsTicksAndIgnoresUnknownOwners) {
  RecordingTick a("a", &log_);
  registry_.RegisteRtcTick(&owners_[0], &a);
  registry_.UnRegisteRtcTick(&owners_[1]);
  registry_.UnAttachRtcTick(&owners_[1]);
  EXPECT_EQ(1u, registry_.size());
  registry_.UnRegisteRtcTick(&owners_[0]);
  registry_.DoProcess();
  EXPECT_THAT(log_, IsEmpty());
}

TEST_F(MThreadTickTest, UnattachedTickIsRemovedAndToldExactlyOnce) {
  RecordingTick a("a", &log_), b("b", &log_);
  registry_.RegisteRtcTick(&owners_[0], &a);
  registry_.RegisteRtcTick(&owners_[1], &b);
  registry_.UnAttachRtcTick(&owners_[0]);
  registry_.DoProcess();
  registry_.DoProcess();
  EXPECT_THAT(log_, ElementsAre("b", "a unattached", "b"));
  EXPECT_EQ(1u, registry_.size());
}

TEST_F(MThreadTickTest, TickMayUnregisterItselfAndOthersDuringAPass) {
  RecordingTick a("a", &log_), b("b", &log_), c("c", &log_);
  registry_.RegisteRtcTick(&owners_[0], &a);
  registry_.RegisteRtcTick(&owners_[1], &b);
  registry_.RegisteRtcTick(&owners_[2], &c);
  a.on_tick_ = [this] {
    registry_.UnRegisteRtcTick(&owners_[0]);
    registry_.UnRegisteRtcTick(&owners_[2]);
  };
  registry_.DoProcess();
  registry_.DoProcess();
  EXPECT_THAT(log_, ElementsAre("a", "b", "b"));
}

TEST_F(MThreadTickTest, TickRegisteredDuringAPassRunsFromTheNextPass) {
  RecordingTick a("a", &log_), b("b", &log_), replacement("r", &log_);
  registry_.RegisteRtcTick(&owners_[0], &a);
  registry_.RegisteRtcTick(&owners_[2], &b);
  bool once = false;
  a.on_tick_ = [&] {
    if (once) return;
    once = true;
    registry_.RegisteRtcTick(&owners_[1], &b);
    // Replacing a tick that has not run yet in this pass skips it.
    registry_.RegisteRtcTick(&owners_[2], &replacement);
  };
  registry_.DoProcess();
  EXPECT_THAT(log_, ElementsAre("a"));
  log_.clear();
  registry_.DoProcess();
  EXPECT_THAT(log_, ElementsAre("a", "b", "r"));
}

TEST_F(MThreadTickTest, UnregisteringFromAnotherThreadWaitsForThePass) {
  rtc::Event in_tick, unregistered;
  RecordingTick slow("slow", &log_), later("later", &log_);
  registry_.RegisteRtcTick(&owners_[0], &slow);
  registry_.RegisteRtcTick(&owners_[1], &later);
  slow.on_tick_ = [&] {
    in_tick.Set();
    // The other thread cannot get in while the pass runs.
    EXPECT_FALSE(unregistered.Wait(50));
  };
  std::thread other([&] {
    ASSERT_TRUE(in_tick.Wait(5000));
    registry_.UnRegisteRtcTick(&owners_[1]);
    unregistered.Set();
  });
  registry_.DoProcess();
  other.join();
  slow.on_tick_ = nullptr;
  registry_.DoProcess();
  EXPECT_THAT(log_, ElementsAre("slow", "later", "slow"));
}

}  // namespace

}  // namespace vy
