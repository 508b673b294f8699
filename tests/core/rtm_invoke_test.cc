#include "core/rtm_invoke.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "rtc_base/platform_thread_types.h"
#include "rtc_base/thread.h"

namespace {

class Target {
 public:
  explicit Target(rtc::Thread* thread) : thread_(thread) {}

  int Add(int a, const std::string& b) {
    calls_on_thread_ += thread_->IsCurrent();
    return a + static_cast<int>(b.size());
  }
  void FillId(long long& id) {
    calls_on_thread_ += thread_->IsCurrent();
    if (id == 0) id = 99;
  }
  std::string Consume(std::unique_ptr<std::string> text) { return *text; }
  // A public operation that obeys the rule itself.
  int Outer() {
    return vy::InvokeOnThread(thread_, RTC_FROM_HERE, this, &Target::Inner);
  }
  int Inner() { return thread_->IsCurrent() ? 1 : -1; }

  int calls_on_thread_ = 0;

 private:
  rtc::Thread* thread_;
};

class InvokeOnThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(worker_->Start()); }

  std::unique_ptr<rtc::Thread> worker_ = rtc::Thread::Create();
  Target target_{worker_.get()};
};

TEST_F(InvokeOnThreadTest, RunsOnTheThreadAndReturnsItsResult) {
  std::string text = "four";
  EXPECT_EQ(7, vy::InvokeOnThread(worker_.get(), RTC_FROM_HERE, &target_,
                                  &Target::Add, 3, text));
  EXPECT_EQ(1, target_.calls_on_thread_);
}

TEST_F(InvokeOnThreadTest, ReferenceArgumentsAreWrittenBack) {
  long long id = 0;
  vy::InvokeOnThread(worker_.get(), RTC_FROM_HERE, &target_, &Target::FillId,
                     id);
  EXPECT_EQ(99, id);
  EXPECT_EQ(1, target_.calls_on_thread_);
}

TEST_F(InvokeOnThreadTest, MoveOnlyArgumentsPassThrough) {
  EXPECT_EQ("moved", vy::InvokeOnThread(worker_.get(), RTC_FROM_HERE, &target_,
                                        &Target::Consume,
                                        std::make_unique<std::string>("moved")));
}

TEST_F(InvokeOnThreadTest, NestedCallOnTheThreadRunsInline) {
  EXPECT_EQ(1, vy::InvokeOnThread(worker_.get(), RTC_FROM_HERE, &target_,
                                  &Target::Outer));
}

TEST_F(InvokeOnThreadTest, StoppedThreadGivesADefaultResult) {
  worker_->Stop();
  std::string text = "x";
  EXPECT_EQ(0, vy::InvokeOnThread(worker_.get(), RTC_FROM_HERE, &target_,
                                  &Target::Add, 5, text));
  EXPECT_EQ(0, target_.calls_on_thread_);
}

}  // namespace
