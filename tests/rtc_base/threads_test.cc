// Threads and their message queues, signal threads, events, locks and platform threads.
#include "rtc_base/threads/thread.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "rtc_base/base/critical_section.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/threads/event.h"
#include "rtc_base/threads/null_socket_server.h"
#include "rtc_base/threads/platform_thread.h"
#include "rtc_base/threads/signal_thread.h"

namespace rtc {
namespace {

class CountingHandler : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    ids.push_back(msg->message_id);
    ++count;
    delete msg->pdata;
  }
  std::vector<uint32_t> ids;
  std::atomic<int> count{0};
};

// Counts its live instances, so leaks and double deletes show.
class CountedData : public MessageData {
 public:
  explicit CountedData(std::atomic<int>* live) : live_(live) { ++*live_; }
  ~CountedData() override { --*live_; }

 private:
  std::atomic<int>* live_;
};

// Counts wake-ups: a sender wakes its target after it has queued its message.
class CountingServer : public NullSocketServer {
 public:
  void WakeUp() override {
    ++wakeups;
    NullSocketServer::WakeUp();
  }
  std::atomic<int> wakeups{0};
};

using Functor = FunctorMessageHandler<void, std::function<void()>>;

// The thread manager's main thread is the one that creates it: the test's own thread.
class ThreadTest : public ::testing::Test {
 protected:
  ThreadTest() { ThreadManager::Instance(); }
  ~ThreadTest() override { Release(); }  // A failed test must not leave a thread blocked.

  static std::unique_ptr<Thread> Started() {
    std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
    EXPECT_TRUE(thread->Start());
    return thread;
  }
  // Waits until everything posted to `thread` so far has been dispatched.
  static void Flush(Thread* thread) {
    Event done;
    Functor marker([&] { done.Set(); });
    thread->Post(RTC_FROM_HERE, &marker);
    ASSERT_TRUE(done.Wait(30000));
  }
  // Keeps `thread` busy in a message until Release().
  void Block(Thread* thread) {
    thread->Post(RTC_FROM_HERE, &blocker_);
    ASSERT_TRUE(busy_.Wait(30000));
  }
  void Release() { release_.Set(); }
  // A started thread held busy, whose server counts wake-ups (in server_).
  Thread& BusyCountedThread() {
    auto server = std::make_unique<CountingServer>();
    server_ = server.get();
    counted_ = std::make_unique<Thread>(std::move(server));
    EXPECT_TRUE(counted_->Start());
    Block(counted_.get());
    return *counted_;
  }

  CountingServer* server_ = nullptr;
  Event busy_, release_;
  Functor blocker_{[this] {
    busy_.Set();
    release_.Wait(Event::kForever);
  }};
  std::unique_ptr<Thread> counted_;
};

TEST_F(ThreadTest, InvokeRunsOnTheTargetFromAnyThreadAndNestedInvokesComplete) {
  auto a = Started();
  auto b = Started();
  EXPECT_TRUE(a->Invoke<bool>(RTC_FROM_HERE, [&] { return a->IsCurrent(); }));
  std::atomic<int> result(0);
  std::thread plain([&] {
    result = a->Invoke<int>(RTC_FROM_HERE, [] { return 7; });
    // The temporary thread object of the call is gone again.
    EXPECT_EQ(ThreadManager::Instance()->CurrentThread(), nullptr);
  });
  plain.join();
  EXPECT_EQ(result.load(), 7);
  // a -> b -> a runs inline on a; two such chains started at once in opposite directions both
  // complete.
  std::atomic<int> done(0);
  for (int i = 0; i < 50; ++i) {
    std::thread one([&] {
      a->Invoke<void>(RTC_FROM_HERE, [&] {
        b->Invoke<void>(RTC_FROM_HERE, [&] {
          done += a->Invoke<int>(RTC_FROM_HERE, [&] { return a->IsCurrent() ? 1 : 0; });
        });
      });
    });
    std::thread two([&] {
      b->Invoke<void>(RTC_FROM_HERE, [&] { a->Invoke<void>(RTC_FROM_HERE, [&] { ++done; }); });
    });
    one.join();
    two.join();
  }
  EXPECT_EQ(done.load(), 100);
}

TEST_F(ThreadTest, StartStopAndRestartAndInvokesOnAStoppedThreadGiveTheDefault) {
  auto thread = Thread::Create();
  bool ran = false;
  EXPECT_EQ(thread->Invoke<int>(RTC_FROM_HERE, [&] { return ran = true, 5; }), 0);
  thread->Stop();  // Never started: returns at once.
  EXPECT_TRUE(thread->Start());
  EXPECT_FALSE(thread->Start());
  thread->Stop();
  EXPECT_EQ(thread->Invoke<int>(RTC_FROM_HERE, [&] { return ran = true, 5; }), 0);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(thread->Start());
  EXPECT_EQ(thread->Invoke<int>(RTC_FROM_HERE, [] { return 2; }), 2);
}

TEST_F(ThreadTest, QuitReleasesWaitingSendersWithoutRunningTheirCalls) {
  Thread& target = BusyCountedThread();
  const int wakeups = server_->wakeups.load();
  std::atomic<int> returned(0);
  std::atomic<bool> ran(false);
  std::vector<std::thread> senders;
  for (int i = 0; i < 3; ++i) {
    senders.emplace_back([&] {
      target.Invoke<void>(RTC_FROM_HERE, [&] { ran = true; });
      ++returned;
    });
  }
  while (server_->wakeups.load() < wakeups + 3) std::this_thread::yield();
  EXPECT_EQ(returned.load(), 0);
  target.Quit();
  for (auto& s : senders) s.join();
  EXPECT_EQ(returned.load(), 3);
  Release();
  target.Stop();
  EXPECT_FALSE(ran.load());
}

TEST_F(ThreadTest, ClearForAHandlerReleasesItsBlockedSenderAndFreesTheData) {
  Thread& target = BusyCountedThread();
  const int wakeups = server_->wakeups.load();
  CountingHandler handler;
  std::atomic<int> live(0);
  std::thread sender([&] { target.Send(RTC_FROM_HERE, &handler, 3, new CountedData(&live)); });
  while (server_->wakeups.load() == wakeups) std::this_thread::yield();
  target.Clear(&handler);
  sender.join();
  EXPECT_EQ(live.load(), 0);
  Release();
  Flush(&target);
  EXPECT_EQ(handler.count.load(), 0);
  target.Stop();
}

TEST_F(ThreadTest, CurrentIsTheMainThreadOrAWrappedOne) {
  ASSERT_TRUE(ThreadManager::Instance()->IsMainThread());
  ASSERT_NE(Thread::Current(), nullptr);
  EXPECT_FALSE(Thread::Current()->IsOwned());
  std::thread plain([] {
    EXPECT_EQ(Thread::Current(), nullptr) << "only the main thread gets one by itself";
    Thread outer(std::make_unique<NullSocketServer>());
    EXPECT_TRUE(outer.WrapCurrent());
    EXPECT_EQ(Thread::Current(), &outer);
    outer.Stop();  // Must not join itself.
    outer.UnwrapCurrent();
    EXPECT_EQ(Thread::Current(), nullptr);
    EXPECT_TRUE(outer.SafeWrapCurrent());
    EXPECT_EQ(Thread::Current(), &outer);
    EXPECT_FALSE(outer.IsOwned());
    EXPECT_FALSE(outer.SafeWrapCurrent()) << "already bound";
    outer.UnwrapCurrent();
    EXPECT_EQ(Thread::Current(), nullptr);
  });
  plain.join();
}

struct ReturnThree {
  int operator()() const { return 3; }
};

TEST_F(ThreadTest, WithoutDescriptorsServersFailLoudlyAndInvokeStillWorks) {
  auto target = Started();
  CapturingSink sink;
  // UBSan's type checks need a pipe the first time they see a type: see each type once first.
  RTC_LOG_ERR(LS_VERBOSE) << "warming up";
  {
    NullSocketServer warm;
    SocketServer* base = &warm;
    base->WakeUp();
    base->Wait(0, false);
    std::thread warm_up([&] { target->Invoke<int>(RTC_FROM_HERE, ReturnThree()); });
    warm_up.join();
  }
  Event go, done, fds_back, started;
  std::atomic<int> result(0);
  std::thread plain([&] {  // Exists before the descriptors run out.
    started.Set();
    go.Wait(Event::kForever);
    result = target->Invoke<int>(RTC_FROM_HERE, ReturnThree());
    done.Set();
    fds_back.Wait(Event::kForever);  // Thread exit runs type checks too.
  });
  ASSERT_TRUE(started.Wait(30000));
  std::vector<int> fillers;
  for (int fd; fillers.size() < 1000000 && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
    fillers.push_back(fd);
  std::unique_ptr<SocketServer> ss = SocketServer::CreateDefault();
  std::unique_ptr<Thread> failed = Thread::CreateWithSocketServer();
  go.Set();
  const bool finished = done.Wait(30000);
  for (int fd : fillers) ::close(fd);
  fds_back.Set();
  plain.join();
  EXPECT_EQ(ss, nullptr);
  EXPECT_EQ(failed, nullptr);
  EXPECT_TRUE(finished);
  EXPECT_EQ(result.load(), 3);
  EXPECT_GE(sink.Count("pipe failed"), 2);
}

// Stress: run under TSan as well.
TEST_F(ThreadTest, ManyPostersAndInvokersEachMessageIsDeliveredOnce) {
  auto target = Started();
  constexpr int kPosters = 4, kMessages = 2000;
  std::vector<std::atomic<int>> seen(kPosters * kMessages);
  class Marker : public MessageHandler {
   public:
    explicit Marker(std::vector<std::atomic<int>>* seen) : seen_(seen) {}
    void OnMessage(Message* msg) override { ++(*seen_)[msg->message_id]; }
    std::vector<std::atomic<int>>* seen_;
  } marker(&seen);
  std::atomic<int> sum(0);
  std::vector<std::thread> threads;
  for (int p = 0; p < kPosters; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kMessages; ++i) {
        target->Post(RTC_FROM_HERE, &marker, p * kMessages + i);
        if (i % 20 == 0) sum += target->Invoke<int>(RTC_FROM_HERE, [] { return 1; });
      }
    });
  }
  for (auto& t : threads) t.join();
  Flush(target.get());
  for (auto& count : seen) ASSERT_EQ(count.load(), 1);
  EXPECT_EQ(sum.load(), kPosters * kMessages / 20);
}

TEST_F(ThreadTest, HandlersDestroyedWhileTheirMessagesAreQueuedLeaveNothingBehind) {
  auto target = Started();
  Block(target.get());
  std::vector<std::thread> threads;
  std::atomic<int> live(0);
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto handler = std::make_unique<CountingHandler>();
        target->Post(RTC_FROM_HERE, handler.get(), 0, new CountedData(&live));
        target->PostDelayed(RTC_FROM_HERE, 1, handler.get(), 0, new CountedData(&live));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(live.load(), 0);
  Release();
}

class MessageQueueTest : public ::testing::Test {
 protected:
  std::vector<uint32_t> Drain() {
    std::vector<uint32_t> ids;
    Message msg;
    while (queue_.Get(&msg, 0)) {
      ids.push_back(msg.message_id);
      delete msg.pdata;
    }
    return ids;
  }
  MessageQueue queue_{std::make_unique<NullSocketServer>(), true};
  CountingHandler handler_;
};

TEST_F(MessageQueueTest, MessagesComeOutByDueTimeThenInPostingOrderBehindThoseAlreadyDue) {
  ScopedFakeClock clock;
  clock.SetTimeMillis(int64_t{5} << 32);  // Where a 32-bit time widened without sign is past.
  queue_.PostDelayed(RTC_FROM_HERE, 20, &handler_, 1);
  queue_.PostDelayed(RTC_FROM_HERE, 10, &handler_, 2);
  queue_.PostAt(RTC_FROM_HERE, static_cast<uint32_t>(Time32() + 20), &handler_, 3);
  queue_.PostDelayed(RTC_FROM_HERE, 0, &handler_, 4);
  queue_.Post(RTC_FROM_HERE, &handler_, 5);
  Message peeked;
  ASSERT_TRUE(queue_.Peek(&peeked));
  EXPECT_EQ(peeked.message_id, 5u);
  EXPECT_EQ(queue_.GetDelay(), 0);
  EXPECT_EQ(Drain(), (std::vector<uint32_t>{5, 4}));
  EXPECT_EQ(queue_.GetDelay(), 10);
  clock.AdvanceTime(10);
  EXPECT_EQ(Drain(), (std::vector<uint32_t>{2}));
  clock.AdvanceTime(10);
  EXPECT_EQ(Drain(), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(queue_.GetDelay(), MessageQueue::kForever);
}

// The slow-dispatch line comes for every handler that ran at least 50 ms, wherever in a
// millisecond it started, and never for one that ran less.
TEST_F(MessageQueueTest, EveryDispatchOfFiftyMillisecondsOrMoreIsLoggedAndNoShorterOne) {
  CapturingSink log;
  auto dispatch = [&](const std::function<void()>& body) {
    Functor handler([&body] { body(); });
    queue_.Post(RTC_FROM_HERE, &handler);
    Message msg;
    ASSERT_TRUE(queue_.Get(&msg, 0));
    queue_.Dispatch(&msg);
  };
  {
    ScopedFakeClock clock;
    const struct {
      int64_t start;  // Nanoseconds into a millisecond.
      int64_t runs;   // Nanoseconds.
      bool logged;
    } cases[] = {
        {0, 50000000, true},       {999999, 50000000, true},  {1, 50000001, true},
        {0, 49999999, false},      {900000, 49200000, false}, {999999, 49000002, false},
        {500000, 120000000, true},
    };
    int64_t second = 2000;
    for (const auto& c : cases) {
      clock.SetTimeNanos(++second * kNumNanosecsPerSec + c.start);
      const int before = log.Count("ms to dispatch. Posted from: ");
      dispatch([&] { clock.AdvanceTimeNanos(c.runs); });
      EXPECT_EQ(before + (c.logged ? 1 : 0), log.Count("ms to dispatch. Posted from: "))
          << c.start << " + " << c.runs;
    }
    EXPECT_EQ(log.Count("Message took 50ms to dispatch. Posted from: "), 3);
    EXPECT_EQ(log.Count("Message took 120ms to dispatch. Posted from: "), 1);
  }
  // On the real clock, a handler that waits out 50 ms is logged every time.
  constexpr int kRuns = 8;
  const int before = log.Count("ms to dispatch. Posted from: ");
  for (int i = 0; i < kRuns; ++i) {
    dispatch([] {
      const int64_t start = SystemTimeNanos();
      while (SystemTimeNanos() - start < 50 * kNumNanosecsPerMillisec) {
      }
    });
  }
  EXPECT_EQ(log.Count("ms to dispatch. Posted from: "), before + kRuns);
}

TEST_F(MessageQueueTest, GetWaitsForItsTimeOutAPostOrADelayedMessage) {
  Message msg;
  int64_t start = TimeMillis();
  EXPECT_FALSE(queue_.Get(&msg, 50));
  EXPECT_GE(TimeMillis() - start, 50);
  start = TimeMillis();
  queue_.PostDelayed(RTC_FROM_HERE, 30, &handler_, 5);
  ASSERT_TRUE(queue_.Get(&msg));
  EXPECT_EQ(msg.message_id, 5u);
  EXPECT_GE(TimeMillis() - start, 30);
  std::thread poster([this] { queue_.Post(RTC_FROM_HERE, &handler_, 9); });
  ASSERT_TRUE(queue_.Get(&msg));
  EXPECT_EQ(msg.message_id, 9u);
  poster.join();
}

TEST_F(MessageQueueTest, ClearDisposeQuitAndDestructionFreeEveryMessagesData) {
  std::atomic<int> live(0);
  CountingHandler other;
  queue_.Post(RTC_FROM_HERE, &handler_, 1, new CountedData(&live));
  queue_.Post(RTC_FROM_HERE, &other, 1, new CountedData(&live));
  queue_.Post(RTC_FROM_HERE, &handler_, 2, new CountedData(&live));
  queue_.PostDelayed(RTC_FROM_HERE, 1000, &handler_, 1, new CountedData(&live));
  queue_.PostDelayed(RTC_FROM_HERE, 1000, &handler_, 3, new CountedData(&live));
  Message peeked;
  ASSERT_TRUE(queue_.Peek(&peeked));  // Handler 1, id 1 sits in the peek slot.
  queue_.Clear(&handler_, 1);
  EXPECT_EQ(live.load(), 3);
  MessageList removed;
  queue_.Clear(nullptr, MQID_ANY, &removed);
  ASSERT_EQ(removed.size(), 3u);
  EXPECT_EQ(live.load(), 3) << "a removed list hands the data to the caller";
  for (Message& msg : removed) delete msg.pdata;

  queue_.Dispose(new CountedData(&live));
  queue_.Post(RTC_FROM_HERE, &handler_, 7);
  EXPECT_EQ(Drain(), (std::vector<uint32_t>{7}));
  EXPECT_EQ(live.load(), 0) << "disposed without being dispatched";

  queue_.Quit();
  queue_.Post(RTC_FROM_HERE, &handler_, 1, new CountedData(&live));
  EXPECT_EQ(live.load(), 0);
  queue_.Dispose(new CountedData(&live));  // Still deleted by the queue, not at once.
  EXPECT_EQ(live.load(), 1);
  EXPECT_TRUE(Drain().empty());
  EXPECT_EQ(live.load(), 0);
  {
    MessageQueue queue(std::make_unique<NullSocketServer>(), true);
    queue.PostDelayed(RTC_FROM_HERE, 1000, &handler_, 2, new CountedData(&live));
    queue.Dispose(new CountedData(&live));
  }
  EXPECT_EQ(live.load(), 0);
}

TEST_F(MessageQueueTest, DestroyingAHandlerRemovesItsMessagesFromEveryQueue) {
  MessageQueue second(std::make_unique<NullSocketServer>(), true);
  std::atomic<int> live(0);
  auto doomed = std::make_unique<CountingHandler>();
  queue_.Post(RTC_FROM_HERE, doomed.get(), 1, new CountedData(&live));
  queue_.Post(RTC_FROM_HERE, &handler_, 2);
  second.PostDelayed(RTC_FROM_HERE, 0, doomed.get(), 3, new CountedData(&live));
  doomed.reset();
  EXPECT_EQ(live.load(), 0);
  EXPECT_EQ(Drain(), (std::vector<uint32_t>{2}));
  Message msg;
  EXPECT_FALSE(second.Get(&msg, 0));
}

// Data whose deletion destroys a handler, as an owning message may.
class HandlerOwningData : public MessageData {
 public:
  explicit HandlerOwningData(MessageHandler* handler) : handler_(handler) {}
  ~HandlerOwningData() override { delete handler_; }

 private:
  MessageHandler* handler_;
};

TEST_F(MessageQueueTest, DataThatDestroysAHandlerWhenClearedDoesNotDeadlock) {
  std::atomic<bool> stop(false);
  std::thread other([&] {
    while (!stop.load()) {
      queue_.Post(RTC_FROM_HERE, &handler_, 1);
      queue_.Clear(&handler_, 1);
    }
  });
  for (int i = 0; i < 200; ++i) {
    auto* inner = new CountingHandler();
    auto* outer = new CountingHandler();
    queue_.Post(RTC_FROM_HERE, inner, 1);
    queue_.Post(RTC_FROM_HERE, outer, 2, new HandlerOwningData(inner));
    delete outer;
  }
  stop.store(true);
  other.join();
  queue_.Clear(nullptr);
  EXPECT_TRUE(queue_.empty());
}

struct JobRecord {
  std::atomic<int> works{0}, dones{0}, signals{0}, deleted{0};
  std::atomic<bool> stopped_early{false};
  PlatformThreadRef done_thread{}, work_thread{};
};

class TestJob : public SignalThread {
 public:
  explicit TestJob(JobRecord* record) : record_(record) {}
  Event* release_work = nullptr;  // DoWork waits for it when set,
  bool poll = false;              // or waits until told to stop.
  using SignalThread::Destroy;

 protected:
  ~TestJob() override { ++record_->deleted; }
  void DoWork() override {
    record_->work_thread = CurrentThreadRef();
    ++record_->works;
    if (release_work) EXPECT_TRUE(release_work->Wait(5000));
    if (poll) {
      while (ContinueWork()) std::this_thread::yield();
      record_->stopped_early = true;
    }
  }
  void OnWorkDone() override {
    record_->done_thread = CurrentThreadRef();
    ++record_->dones;
  }

 private:
  JobRecord* record_;
};

class SignalThreadTest : public ::testing::Test, public sigslot::has_slots<> {
 protected:
  TestJob* NewJob() {
    auto* job = new TestJob(&record_);
    job->SignalWorkDone.connect(this, &SignalThreadTest::OnWorkDone);
    return job;
  }
  void OnWorkDone(SignalThread* job) {
    ++record_.signals;
    if (on_signal) on_signal(job);
  }
  bool PumpUntil(const std::function<bool()>& done) {
    for (int64_t give_up = TimeMillis() + 10000; !done();) {
      if (TimeMillis() > give_up) return false;
      Thread::Current()->ProcessMessages(2);
    }
    return true;
  }
  AutoThread main_thread_;
  JobRecord record_;
  std::function<void(SignalThread*)> on_signal;
};

TEST_F(SignalThreadTest, WorkRunsElsewhereAndCompletesOnTheCreatingThreadThenMayRunAgain) {
  TestJob* job = NewJob();
  Event release_work;
  job->release_work = &release_work;
  job->Start();
  job->Start();  // Ignored while running.
  release_work.Set();
  ASSERT_TRUE(PumpUntil([&] { return record_.signals == 1; }));
  EXPECT_TRUE(IsThreadRefEqual(CurrentThreadRef(), record_.done_thread));
  EXPECT_FALSE(IsThreadRefEqual(CurrentThreadRef(), record_.work_thread));
  job->release_work = nullptr;
  job->Start();
  ASSERT_TRUE(PumpUntil([&] { return record_.signals == 2; }));
  EXPECT_EQ(2, record_.works);
  EXPECT_EQ(0, record_.deleted);
  job->Release();
  EXPECT_EQ(1, record_.deleted);
}

TEST_F(SignalThreadTest, ReleaseAndDestroyFreeTheJobOnceWithOrWithoutItsSignal) {
  Event release_work;
  TestJob* job = NewJob();
  job->release_work = &release_work;
  job->Start();
  job->Release();  // Signals, then deletes itself.
  release_work.Set();
  ASSERT_TRUE(PumpUntil([&] { return record_.deleted == 1; }));
  EXPECT_EQ(1, record_.signals);

  job = NewJob();
  job->release_work = &release_work;
  job->Start();
  job->Destroy(false);  // Quietly, once the work is over.
  EXPECT_EQ(1, record_.deleted);
  release_work.Set();
  ASSERT_TRUE(PumpUntil([&] { return record_.deleted == 2; }));

  job = NewJob();
  job->poll = true;
  job->Start();
  ASSERT_TRUE(PumpUntil([&] { return record_.works == 3; }));
  job->Destroy(true);  // Stops the work and deletes before returning.
  EXPECT_EQ(3, record_.deleted);
  EXPECT_TRUE(record_.stopped_early);

  // From inside the signal: Release, Destroy, or Destroy twice.
  for (int variant = 0; variant < 3; ++variant) {
    on_signal = [variant](SignalThread* j) {
      if (variant == 0) j->Release();
      if (variant >= 1) j->Destroy(variant == 2);
      if (variant == 2) j->Destroy(false);
    };
    NewJob()->Start();
    ASSERT_TRUE(PumpUntil([&] { return record_.deleted == 4 + variant; }));
  }
  EXPECT_EQ(4, record_.signals);
  NewJob()->Destroy(true);  // Never started: deleted at once.
  EXPECT_EQ(7, record_.deleted);
}

TEST_F(SignalThreadTest, JobIsFreedWhenItsCreatingThreadGoesFirst) {
  std::unique_ptr<Thread> creator = Thread::Create();
  ASSERT_TRUE(creator->Start());
  Event release_work;
  creator->Invoke<void>(RTC_FROM_HERE, [&] {
    auto* job = new TestJob(&record_);
    job->release_work = &release_work;
    job->Start();
    job->Release();
  });
  release_work.Set();
  creator.reset();
  EXPECT_EQ(1, record_.deleted);
}

TEST(EventTest, ResetModesTimeOutsAndWaiters) {
  Event automatic, manual(true, true);
  automatic.Set();
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0)) << "the signal is used up";
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  ScopedFakeClock clock;  // Timed waits run on real time.
  const int64_t start = SystemTimeMillis();
  EXPECT_FALSE(manual.Wait(30));
  EXPECT_GE(SystemTimeMillis() - start, 30);

  for (bool manual_reset : {false, true}) {
    Event event(manual_reset, false);
    std::atomic<int> waiting{0}, released{0};
    auto waiter = [&] {
      ++waiting;
      if (event.Wait(manual_reset ? Event::kForever : 200)) ++released;
    };
    std::thread a(waiter), b(waiter);
    while (waiting.load() < 2) std::this_thread::yield();
    event.Set();
    a.join();
    b.join();
    EXPECT_EQ(released, manual_reset ? 2 : 1);
  }
}

TEST(LockTest, RecursiveEntryNeedsAsManyLeavesAndLocksExcludeOtherThreads) {
  CriticalSection cs;
  auto other_enters = [&cs] {
    bool entered = false;
    std::thread other([&] {
      entered = cs.TryEnter();
      if (entered) cs.Leave();
      EXPECT_FALSE(cs.CurrentThreadIsOwner());
    });
    other.join();
    return entered;
  };
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  cs.Leave();
  EXPECT_FALSE(other_enters());
  EXPECT_TRUE(cs.CurrentThreadIsOwner());
  cs.Leave();
  EXPECT_TRUE(other_enters());

  int crit_counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        CritScope scope(&cs);
        ++crit_counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(crit_counter, 20000);
}

struct RunRecord {
  int calls = 0;
  char name[32] = {};
  PlatformThreadRef ref;
  PlatformThreadId id = 0;
  int policy = -1;
};

void Record(void* arg) {
  auto* record = static_cast<RunRecord*>(arg);
  ++record->calls;
  pthread_getname_np(pthread_self(), record->name, sizeof(record->name));
  record->ref = CurrentThreadRef();
  record->id = CurrentThreadId();
  sched_param param;
  pthread_getschedparam(pthread_self(), &record->policy, &param);
}

TEST(PlatformThreadTest, RunsItsFunctionOnceUnderItsNameAndReportsKernelIds) {
  RunRecord record;
  PlatformThread thread(&Record, &record, "a_rather_long_thread_name", kHighestPriority);
  thread.Stop();  // Not started: nothing happens.
  thread.Start();
  const PlatformThreadRef ref = thread.GetThreadRef();
  thread.Stop();
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(record.calls, 1);
  EXPECT_TRUE(IsThreadRefEqual(record.ref, ref));
  EXPECT_NE(record.id, CurrentThreadId());
  EXPECT_STREQ(record.name, "a_rather_long_t");
  EXPECT_EQ(record.policy, SCHED_OTHER) << "priorities below real-time keep time-sharing";
  EXPECT_EQ(CurrentThreadId(), static_cast<PlatformThreadId>(syscall(SYS_gettid)));
}

}  // namespace
}  // namespace rtc
