#include "rtc_base/signal_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "rtc_base/event.h"
#include "rtc_base/platform_thread_types.h"
#include "rtc_base/thread.h"
#include "rtc_base/time_utils.h"

namespace rtc {
namespace {

// Runs the current thread's messages until `done` holds or 5 s pass.
bool PumpUntil(const std::function<bool()>& done) {
  int64_t give_up = TimeMillis() + 5000;
  while (!done()) {
    if (TimeMillis() > give_up) return false;
    Thread::Current()->ProcessMessages(2);
  }
  return true;
}

struct Record {
  std::atomic<int> starts{0}, works{0}, stops{0}, dones{0}, signals{0},
      deleted{0};
  std::atomic<bool> work_stopped_early{false};
  PlatformThreadRef done_thread{};
  PlatformThreadRef work_thread{};
};

class TestJob : public SignalThread {
 public:
  explicit TestJob(Record* record) : record_(record) {}

  // DoWork waits for `release_work` (when set) or, with `poll`, loops on
  // ContinueWork until told to stop.
  Event* release_work = nullptr;
  bool poll = false;
  std::function<void(TestJob*)> on_done;

  using SignalThread::Destroy;

 protected:
  ~TestJob() override { ++record_->deleted; }

  void OnWorkStart() override { ++record_->starts; }
  void DoWork() override {
    record_->work_thread = CurrentThreadRef();
    ++record_->works;
    if (release_work != nullptr) {
      EXPECT_TRUE(release_work->Wait(5000));
    }
    if (poll) {
      int64_t give_up = TimeMillis() + 5000;
      while (ContinueWork() && TimeMillis() < give_up) Thread::SleepMs(1);
      record_->work_stopped_early = TimeMillis() < give_up;
    }
  }
  void OnWorkStop() override { ++record_->stops; }
  void OnWorkDone() override {
    record_->done_thread = CurrentThreadRef();
    ++record_->dones;
    if (on_done) on_done(this);
  }

 private:
  Record* record_;
};

class Owner : public sigslot::has_slots<> {
 public:
  explicit Owner(Record* record) : record_(record) {}
  void Watch(TestJob* job) {
    job->SignalWorkDone.connect(this, &Owner::OnWorkDone);
  }
  std::function<void(SignalThread*)> on_signal;

 private:
  void OnWorkDone(SignalThread* job) {
    ++record_->signals;
    if (on_signal) on_signal(job);
  }
  Record* record_;
};

class SignalThreadTest : public ::testing::Test {
 protected:
  AutoThread main_thread_;
  Record record_;
  Owner owner_{&record_};
};

TEST_F(SignalThreadTest, CompletesOnTheCreatingThreadAndCanRunAgain) {
  auto* job = new TestJob(&record_);
  owner_.Watch(job);
  Event release_work;
  job->release_work = &release_work;
  job->Start();
  job->Start();  // Ignored while running.
  release_work.Set();
  ASSERT_TRUE(PumpUntil([&] { return record_.signals == 1; }));
  EXPECT_TRUE(IsThreadRefEqual(CurrentThreadRef(), record_.done_thread));
  EXPECT_FALSE(IsThreadRefEqual(CurrentThreadRef(), record_.work_thread));
  EXPECT_EQ(1, record_.starts);
  EXPECT_EQ(1, record_.works);
  EXPECT_EQ(1, record_.dones);

  job->release_work = nullptr;
  job->Start();
  ASSERT_TRUE(PumpUntil([&] { return record_.signals == 2; }));
  EXPECT_EQ(2, record_.works);
  EXPECT_EQ(0, record_.deleted);
  job->Destroy(false);
  EXPECT_EQ(1, record_.deleted);
}

TEST_F(SignalThreadTest, ReleasedJobSignalsThenDeletesItself) {
  auto* job = new TestJob(&record_);
  owner_.Watch(job);
  Event release_work;
  job->release_work = &release_work;
  job->Start();
  job->Release();
  release_work.Set();
  ASSERT_TRUE(PumpUntil([&] { return record_.deleted == 1; }));
  EXPECT_EQ(1, record_.signals);
  EXPECT_EQ(1, record_.dones);
}

TEST_F(SignalThreadTest, DestroyWithoutWaitStopsQuietlyAndDeletesAfterCompletion) {
  auto* job = new TestJob(&record_);
  owner_.Watch(job);
  Event release_work;
  job->release_work = &release_work;
  job->Start();
  job->Destroy(false);
  EXPECT_EQ(1, record_.stops);
  EXPECT_EQ(0, record_.deleted);
  release_work.Set();
  ASSERT_TRUE(PumpUntil([&] { return record_.deleted == 1; }));
  EXPECT_EQ(0, record_.signals);
}

TEST_F(SignalThreadTest, DestroyWithWaitStopsTheWorkAndDeletesBeforeReturning) {
  auto* job = new TestJob(&record_);
  owner_.Watch(job);
  job->poll = true;
  job->Start();
  ASSERT_TRUE(PumpUntil([&] { return record_.works == 1; }));
  job->Destroy(true);
  EXPECT_EQ(1, record_.deleted);
  EXPECT_TRUE(record_.work_stopped_early);
  // The completion it may have posted went with it.
  Thread::Current()->ProcessMessages(20);
  EXPECT_EQ(0, record_.signals);
}

TEST_F(SignalThreadTest, JobsThatAreNotRunningAreDeletedAtOnce) {
  (new TestJob(&record_))->Destroy(false);
  EXPECT_EQ(1, record_.deleted);
  (new TestJob(&record_))->Destroy(true);
  EXPECT_EQ(2, record_.deleted);
  (new TestJob(&record_))->Release();
  EXPECT_EQ(3, record_.deleted);
}

TEST_F(SignalThreadTest, OwnerMayEndTheJobFromInsideItsCallbacks) {
  // Destroy from OnWorkDone: no signal follows.
  auto* job = new TestJob(&record_);
  owner_.Watch(job);
  job->on_done = [](TestJob* j) { j->Destroy(false); };
  job->Start();
  ASSERT_TRUE(PumpUntil([&] { return record_.deleted == 1; }));
  EXPECT_EQ(0, record_.signals);

  // Release, Destroy and Destroy again from the signal: freed once.
  for (int variant = 0; variant < 3; ++variant) {
    job = new TestJob(&record_);
    owner_.Watch(job);
    owner_.on_signal = [variant](SignalThread* j) {
      if (variant == 0) j->Release();
      if (variant >= 1) j->Destroy(variant == 2);
      if (variant == 2) j->Destroy(false);
    };
    job->Start();
    ASSERT_TRUE(PumpUntil([&] { return record_.deleted == 2 + variant; }));
  }
  EXPECT_EQ(3, record_.signals);
}

TEST_F(SignalThreadTest, JobIsFreedWhenItsCreatingThreadGoesFirst) {
  std::unique_ptr<Thread> creator = Thread::Create();
  ASSERT_TRUE(creator->Start());
  Event release_work;
  TestJob* job = creator->Invoke<TestJob*>(RTC_FROM_HERE, [&] {
    auto* j = new TestJob(&record_);
    j->release_work = &release_work;
    j->Start();
    j->Release();
    return j;
  });
  ASSERT_NE(nullptr, job);
  release_work.Set();
  creator.reset();
  EXPECT_EQ(1, record_.deleted);
  EXPECT_EQ(0, record_.signals);
}

TEST_F(SignalThreadTest, JobCreatedWithoutAThreadNeverStarts) {
  std::atomic<int> works{0};
  std::thread bare([&] {
    Record record;
    auto* job = new TestJob(&record);
    job->Start();
    works = record.works.load();
    job->Destroy(true);
    EXPECT_EQ(1, record.deleted);
  });
  bare.join();
  EXPECT_EQ(0, works);
}

}  // namespace
}  // namespace rtc
