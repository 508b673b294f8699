#include "rtc_base/thread.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "rtc_base/event.h"
#include "rtc_base/logging.h"
#include "rtc_base/null_socket_server.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/time_utils.h"

namespace rtc {
namespace {

class CountingHandler : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    ++count;
    delete msg->pdata;
  }
  std::atomic<int> count{0};
};

class CountedData : public MessageData {
 public:
  explicit CountedData(std::atomic<int>* live) : live_(live) { ++*live_; }
  ~CountedData() override { --*live_; }

 private:
  std::atomic<int>* live_;
};

// The thread manager's "main" thread is the one that creates it: make sure
// that is the test's own thread, whichever test runs first.
class ThreadTest : public ::testing::Test {
 protected:
  ThreadTest() { ThreadManager::Instance(); }
};
using ThreadStressTest = ThreadTest;

// Waits until everything posted to `thread` so far has been dispatched
// (synchronous calls overtake posts, so Invoke cannot tell).
void Flush(Thread* thread) {
  Event done(false, false);
  FunctorMessageHandler<void, std::function<void()>> marker([&] { done.Set(); });
  thread->Post(RTC_FROM_HERE, &marker);
  ASSERT_TRUE(done.Wait(30000));
}

std::unique_ptr<Thread> StartedThread() {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  EXPECT_TRUE(thread->Start());
  return thread;
}

TEST_F(ThreadTest, InvokeRunsOnTheTargetThreadAndReturnsTheValue) {
  auto thread = StartedThread();
  bool ran_on_target = false;
  int result = thread->Invoke<int>(RTC_FROM_HERE, [&] {
    ran_on_target = thread->IsCurrent();
    return 42;
  });
  EXPECT_EQ(result, 42);
  EXPECT_TRUE(ran_on_target);
}

TEST_F(ThreadTest, InvokeOfAMethodFunctorPassesItsArguments) {
  struct Adder {
    int Add(int a, int b) { return a + b; }
  } adder;
  auto thread = StartedThread();
  MethodFunctor<Adder, int (Adder::*)(int, int), int, int, int> functor(&Adder::Add, &adder, 2,
                                                                          3);
  EXPECT_EQ(thread->Invoke<int>(RTC_FROM_HERE, functor), 5);
}

TEST_F(ThreadTest, InvokeToTheCurrentThreadRunsInline) {
  auto thread = StartedThread();
  bool nested_inline = thread->Invoke<bool>(RTC_FROM_HERE, [&] {
    std::thread::id outer = std::this_thread::get_id();
    return thread->Invoke<bool>(RTC_FROM_HERE,
                                [&] { return std::this_thread::get_id() == outer; });
  });
  EXPECT_TRUE(nested_inline);
}

TEST_F(ThreadTest, InvokeFromAThreadWithoutAThreadObjectWorks) {
  auto target = StartedThread();
  std::atomic<int> result(0);
  std::thread plain([&] {
    EXPECT_EQ(ThreadManager::Instance()->CurrentThread(), nullptr);
    result = target->Invoke<int>(RTC_FROM_HERE, [] { return 7; });
    // The temporary thread of the call is gone again.
    EXPECT_EQ(ThreadManager::Instance()->CurrentThread(), nullptr);
  });
  plain.join();
  EXPECT_EQ(result.load(), 7);
}

TEST_F(ThreadTest, TwoThreadsInvokingEachOtherBothComplete) {
  auto a = StartedThread();
  auto b = StartedThread();
  for (int i = 0; i < 20; ++i) {
    int result = a->Invoke<int>(RTC_FROM_HERE, [&] {
      return b->Invoke<int>(RTC_FROM_HERE, [&] {
        return a->Invoke<int>(RTC_FROM_HERE, [&] { return a->IsCurrent() ? 1 : -1; }) + 1;
      });
    });
    EXPECT_EQ(result, 2);
  }
}

TEST_F(ThreadTest, MutualInvokesStartedAtTheSameTimeBothComplete) {
  auto a = StartedThread();
  auto b = StartedThread();
  std::atomic<int> done(0);
  for (int i = 0; i < 50; ++i) {
    std::thread one([&] {
      a->Invoke<void>(RTC_FROM_HERE, [&] { b->Invoke<void>(RTC_FROM_HERE, [&] { ++done; }); });
    });
    std::thread two([&] {
      b->Invoke<void>(RTC_FROM_HERE, [&] { a->Invoke<void>(RTC_FROM_HERE, [&] { ++done; }); });
    });
    one.join();
    two.join();
  }
  EXPECT_EQ(done.load(), 100);
}

TEST_F(ThreadTest, InvokeToAStoppedOrNeverStartedThreadReturnsADefaultResult) {
  auto never_started = Thread::CreateWithSocketServer();
  bool ran = false;
  EXPECT_EQ(never_started->Invoke<int>(RTC_FROM_HERE, [&] {
    ran = true;
    return 5;
  }),
            0);
  auto stopped = StartedThread();
  stopped->Stop();
  EXPECT_EQ(stopped->Invoke<int>(RTC_FROM_HERE, [&] {
    ran = true;
    return 5;
  }),
            0);
  EXPECT_FALSE(ran);
}

TEST_F(ThreadTest, QuittingReleasesWaitingSenders) {
  auto target = StartedThread();
  Event busy(false, false);
  Event release(false, false);
  // Keep the target busy so that the sends below wait in its list.
  FunctorMessageHandler<void, std::function<void()>> blocker([&] {
    busy.Set();
    release.Wait(Event::kForever);
  });
  target->Post(RTC_FROM_HERE, &blocker);
  ASSERT_TRUE(busy.Wait(5000));
  std::atomic<int> returned(0);
  std::atomic<bool> ran(false);
  std::vector<std::thread> senders;
  for (int i = 0; i < 3; ++i) {
    senders.emplace_back([&] {
      target->Invoke<void>(RTC_FROM_HERE, [&] { ran = true; });
      ++returned;
    });
  }
  Thread::SleepMs(50);
  EXPECT_EQ(returned.load(), 0);
  target->Quit();
  for (auto& s : senders)
    s.join();
  EXPECT_EQ(returned.load(), 3);
  release.Set();
  target->Stop();
  EXPECT_FALSE(ran.load());
}

TEST_F(ThreadTest, ClearForAHandlerReleasesItsBlockedSenderWithoutRunningIt) {
  auto target = StartedThread();
  Event busy(false, false);
  Event release(false, false);
  FunctorMessageHandler<void, std::function<void()>> blocker([&] {
    busy.Set();
    release.Wait(Event::kForever);
  });
  target->Post(RTC_FROM_HERE, &blocker);
  ASSERT_TRUE(busy.Wait(5000));

  CountingHandler handler;
  std::atomic<int> live(0);
  std::atomic<bool> returned(false);
  std::thread sender([&] {
    target->Send(RTC_FROM_HERE, &handler, 3, new CountedData(&live));
    returned = true;
  });
  while (live.load() == 0)
    Thread::SleepMs(1);
  Thread::SleepMs(30);
  EXPECT_FALSE(returned.load());
  target->Clear(&handler);
  sender.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(live.load(), 0);
  release.Set();
  target->Invoke<void>(RTC_FROM_HERE, [] {});
  EXPECT_EQ(handler.count.load(), 0);
}

TEST_F(ThreadTest, StartTwiceFailsAndStopThenStartWorks) {
  auto thread = Thread::Create();
  EXPECT_TRUE(thread->Start());
  EXPECT_FALSE(thread->Start());
  EXPECT_EQ(thread->Invoke<int>(RTC_FROM_HERE, [] { return 1; }), 1);
  thread->Stop();
  EXPECT_FALSE(thread->IsRunning());
  EXPECT_TRUE(thread->Start());
  EXPECT_EQ(thread->Invoke<int>(RTC_FROM_HERE, [] { return 2; }), 2);
}

TEST_F(ThreadTest, TheOsThreadGetsTheFirstFifteenCharactersOfTheName) {
  auto thread = Thread::Create();
  thread->SetName("AVeryLongWorkerName", nullptr);
  ASSERT_TRUE(thread->Start());
  std::string os_name = thread->Invoke<std::string>(RTC_FROM_HERE, [] {
    char buf[64] = {};
    pthread_getname_np(pthread_self(), buf, sizeof(buf));
    return std::string(buf);
  });
  EXPECT_EQ(os_name, "AVeryLongWorker");
  EXPECT_EQ(thread->name(), "AVeryLongWorkerName");
  EXPECT_EQ(Thread::Create()->name().rfind("Thread 0x", 0), 0u);
}

TEST_F(ThreadTest, StopOnANeverStartedThreadReturnsAtOnce) {
  auto thread = Thread::Create();
  thread->Stop();
  EXPECT_FALSE(thread->IsRunning());
}

TEST_F(ThreadTest, PostedMessagesAreDispatchedOnTheThreadInOrder) {
  auto thread = StartedThread();
  class Recorder : public MessageHandler {
   public:
    explicit Recorder(Thread* t) : thread_(t) {}
    void OnMessage(Message* msg) override {
      on_thread = on_thread && thread_->IsCurrent();
      ids.push_back(msg->message_id);
    }
    Thread* thread_;
    bool on_thread = true;
    std::vector<uint32_t> ids;
  } recorder(thread.get());
  for (uint32_t i = 0; i < 100; ++i)
    thread->Post(RTC_FROM_HERE, &recorder, i);
  Flush(thread.get());
  ASSERT_EQ(recorder.ids.size(), 100u);
  for (uint32_t i = 0; i < 100; ++i)
    EXPECT_EQ(recorder.ids[i], i);
  EXPECT_TRUE(recorder.on_thread);
}

TEST_F(ThreadTest, CurrentIsCreatedOnlyForTheMainThread) {
  ThreadManager::Instance();  // Created by the test's main thread.
  ASSERT_TRUE(ThreadManager::Instance()->IsMainThread());
  Thread* main_thread = Thread::Current();
  ASSERT_NE(main_thread, nullptr);
  EXPECT_TRUE(main_thread->IsCurrent());
  EXPECT_FALSE(main_thread->IsOwned());
  EXPECT_EQ(Thread::Current(), main_thread);
  Thread* seen = main_thread;
  std::thread other([&] { seen = Thread::Current(); });
  other.join();
  EXPECT_EQ(seen, nullptr);
}

TEST_F(ThreadTest, WrapAndUnwrapBindAThreadObjectToAPlainThread) {
  std::thread plain([] {
    Thread thread(std::make_unique<NullSocketServer>());
    EXPECT_TRUE(thread.WrapCurrent());
    EXPECT_EQ(Thread::Current(), &thread);
    EXPECT_TRUE(thread.IsCurrent());
    EXPECT_FALSE(thread.IsOwned());
    thread.UnwrapCurrent();
    EXPECT_EQ(Thread::Current(), nullptr);
  });
  plain.join();
}

TEST_F(ThreadTest, JoinOfAWrappedThreadDoesNotJoinTheForeignThread) {
  std::thread plain([] {
    auto thread = std::make_unique<Thread>(std::make_unique<NullSocketServer>());
    thread->WrapCurrent();
    thread->Stop();  // Would join itself.
    thread.reset();
    EXPECT_EQ(ThreadManager::Instance()->CurrentThread(), nullptr);
  });
  plain.join();
}

TEST_F(ThreadTest, ProcessMessagesWithZeroHandlesWhatIsReady) {
  Thread thread(std::make_unique<NullSocketServer>());
  CountingHandler handler;
  thread.Post(RTC_FROM_HERE, &handler);
  thread.Post(RTC_FROM_HERE, &handler);
  EXPECT_TRUE(thread.ProcessMessages(0));
  EXPECT_GE(handler.count.load(), 1);
  thread.Quit();
  EXPECT_FALSE(thread.ProcessMessages(0));
}

TEST_F(ThreadTest, SleepMsSleepsAtLeastTheTime) {
  int64_t start = TimeMillis();
  EXPECT_TRUE(Thread::SleepMs(20));
  EXPECT_GE(TimeMillis() - start, 20);
}

TEST_F(ThreadTest, JoiningWhileBlockingCallsAreDisallowedIsLogged) {
  CapturingSink sink;
  auto thread = StartedThread();
  {
    Thread::ScopedDisallowBlockingCalls no_blocking;
    thread->Stop();
  }
  EXPECT_EQ(sink.Count("Waiting for the thread to join, but blocking calls have been disallowed"),
            1);
  thread->Start();
  thread->Stop();
  EXPECT_EQ(sink.Count("Waiting for the thread to join"), 1);
}

void IgnoreSignal(int) {}

TEST_F(ThreadTest, SleepMsResumesAfterASignal) {
  struct sigaction action = {};
  struct sigaction old_action;
  action.sa_handler = &IgnoreSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old_action), 0);
  pthread_t sleeper = pthread_self();
  std::thread interrupter([&] {
    for (int i = 0; i < 5; ++i) {
      Thread::SleepMs(10);
      pthread_kill(sleeper, SIGUSR1);
    }
  });
  int64_t start = TimeMillis();
  EXPECT_TRUE(Thread::SleepMs(100));
  EXPECT_GE(TimeMillis() - start, 100);
  interrupter.join();
  sigaction(SIGUSR1, &old_action, nullptr);
}

struct ReturnThree {
  int operator()() const { return 3; }
};

TEST_F(ThreadTest, WithoutDescriptorsServersFailLoudlyAndInvokeStillWorks) {
  auto target = StartedThread();
  CapturingSink sink;
  // UBSan's type checks need a pipe the first time they see a type, so
  // every type used below is seen once while descriptors are available.
  RTC_LOG_ERR(LS_VERBOSE) << "warming up";
  {
    NullSocketServer warm;
    SocketServer* base = &warm;
    base->WakeUp();
    base->Wait(0, false);
    base->SetMessageQueue(nullptr);
    std::thread warm_up([&] { target->Invoke<int>(RTC_FROM_HERE, ReturnThree()); });
    warm_up.join();
  }
  // The calling thread exists before the descriptors run out.
  Event go(false, false);
  Event done(false, false);
  std::atomic<int> result(0);
  Event started(false, false);
  Event fds_back(false, false);
  std::thread plain([&] {
    started.Set();
    go.Wait(Event::kForever);
    result = target->Invoke<int>(RTC_FROM_HERE, ReturnThree());
    done.Set();
    // Thread exit runs type checks too; it waits until descriptors are back.
    fds_back.Wait(Event::kForever);
  });
  ASSERT_TRUE(started.Wait(30000));
  std::vector<int> fillers;
  while (fillers.size() < 1000000) {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      break;
    fillers.push_back(fd);
  }
  std::unique_ptr<SocketServer> ss = SocketServer::CreateDefault();
  std::unique_ptr<Thread> failed = Thread::CreateWithSocketServer();
  go.Set();
  bool finished = done.Wait(30000);
  for (int fd : fillers)
    ::close(fd);
  fds_back.Set();
  plain.join();
  EXPECT_EQ(ss, nullptr);
  EXPECT_EQ(failed, nullptr);
  EXPECT_TRUE(finished);
  EXPECT_EQ(result.load(), 3);
  EXPECT_GE(sink.Count("pipe failed"), 2);
}

TEST_F(ThreadTest, AutoThreadBecomesCurrentOnlyWhenThereIsNone) {
  std::thread plain([] {
    {
      AutoThread auto_thread;
      EXPECT_EQ(Thread::Current(), &auto_thread);
      AutoThread nested;
      EXPECT_EQ(Thread::Current(), &auto_thread);
    }
    EXPECT_EQ(Thread::Current(), nullptr);
  });
  plain.join();
}

TEST_F(ThreadTest, AutoSocketServerThreadRestoresThePreviousThread) {
  std::thread plain([] {
    Thread outer(std::make_unique<NullSocketServer>());
    outer.WrapCurrent();
    {
      PhysicalSocketServer ss;
      AutoSocketServerThread inner(&ss);
      EXPECT_EQ(Thread::Current(), &inner);
      CountingHandler handler;
      inner.Post(RTC_FROM_HERE, &handler);
      EXPECT_TRUE(inner.ProcessMessages(0));
      EXPECT_EQ(handler.count.load(), 1);
    }
    EXPECT_EQ(Thread::Current(), &outer);
    outer.UnwrapCurrent();
  });
  plain.join();
}

TEST_F(ThreadTest, ProcessAllMessageQueuesRunsWhatOtherThreadsHaveQueued) {
  auto thread = StartedThread();
  CountingHandler handler;
  for (int i = 0; i < 10; ++i)
    thread->Post(RTC_FROM_HERE, &handler);
  MessageQueueManager::ProcessAllMessageQueuesForTesting();
  EXPECT_EQ(handler.count.load(), 10);
}

// Stress: run under TSan as well.
TEST_F(ThreadStressTest, ManyPostersEachMessageIsDeliveredExactlyOnce) {
  auto target = StartedThread();
  constexpr int kPosters = 4;
  constexpr int kMessages = 2000;
  std::vector<std::atomic<int>> seen(kPosters * kMessages);
  class Marker : public MessageHandler {
   public:
    explicit Marker(std::vector<std::atomic<int>>* seen) : seen_(seen) {}
    void OnMessage(Message* msg) override { ++(*seen_)[msg->message_id]; }
    std::vector<std::atomic<int>>* seen_;
  } marker(&seen);
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kMessages; ++i)
        target->Post(RTC_FROM_HERE, &marker, p * kMessages + i);
    });
  }
  for (auto& t : posters)
    t.join();
  Flush(target.get());
  for (auto& count : seen)
    ASSERT_EQ(count.load(), 1);
}

TEST_F(ThreadStressTest, ConcurrentInvokesWhileTheTargetPostsToItself) {
  auto target = StartedThread();
  CountingHandler self_posts;
  std::atomic<bool> stop(false);
  class Reposter : public MessageHandler {
   public:
    Reposter(Thread* t, std::atomic<bool>* stop) : thread_(t), stop_(stop) {}
    void OnMessage(Message*) override {
      ++count;
      if (!stop_->load())
        thread_->PostDelayed(RTC_FROM_HERE, 0, this);
    }
    Thread* thread_;
    std::atomic<bool>* stop_;
    std::atomic<int> count{0};
  } reposter(target.get(), &stop);
  target->Post(RTC_FROM_HERE, &reposter);
  std::atomic<int> sum(0);
  std::vector<std::thread> callers;
  for (int k = 0; k < 4; ++k) {
    callers.emplace_back([&] {
      for (int i = 0; i < 100; ++i)
        sum += target->Invoke<int>(RTC_FROM_HERE, [] { return 1; });
    });
  }
  for (auto& t : callers)
    t.join();
  stop = true;
  target->Stop();
  EXPECT_EQ(sum.load(), 400);
  EXPECT_GT(reposter.count.load(), 0);
}

TEST_F(ThreadStressTest, HandlersDestroyedWhileTheirMessagesAreQueued) {
  // The target is held busy: a handler may not be destroyed while its own
  // message is being dispatched, only while it is queued.
  auto target = StartedThread();
  Event busy(false, false);
  Event release(false, false);
  FunctorMessageHandler<void, std::function<void()>> blocker([&] {
    busy.Set();
    release.Wait(Event::kForever);
  });
  target->Post(RTC_FROM_HERE, &blocker);
  ASSERT_TRUE(busy.Wait(5000));
  std::vector<std::thread> threads;
  std::atomic<int> live(0);
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto handler = std::make_unique<CountingHandler>();
        target->Post(RTC_FROM_HERE, handler.get(), 0, new CountedData(&live));
        target->PostDelayed(RTC_FROM_HERE, 1, handler.get(), 0, new CountedData(&live));
        handler.reset();
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(live.load(), 0);
  release.Set();
  target->Stop();
}

}  // namespace
}  // namespace rtc
