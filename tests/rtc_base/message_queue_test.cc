#include "rtc_base/message_queue.h"

#include <atomic>
#include <memory>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "rtc_base/logging.h"
#include "rtc_base/null_socket_server.h"
#include "rtc_base/thread.h"
#include "rtc_base/time_utils.h"

namespace rtc {
namespace {

// Records the ids it receives, in order.
class RecordingHandler : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    ids.push_back(msg->message_id);
    delete msg->pdata;
  }
  std::vector<uint32_t> ids;
};

// Counts its live instances, so leaks and double deletes show.
class CountedData : public MessageData {
 public:
  explicit CountedData(std::atomic<int>* live) : live_(live) { ++*live_; }
  ~CountedData() override { --*live_; }

 private:
  std::atomic<int>* live_;
};

class CountedObject {
 public:
  explicit CountedObject(std::atomic<int>* live) : live_(live) { ++*live_; }
  ~CountedObject() { --*live_; }

 private:
  std::atomic<int>* live_;
};

// Drains everything due now.
std::vector<uint32_t> DrainIds(MessageQueue* queue) {
  std::vector<uint32_t> ids;
  Message msg;
  while (queue->Get(&msg, 0)) {
    ids.push_back(msg.message_id);
    delete msg.pdata;
  }
  return ids;
}

class MessageQueueTest : public ::testing::Test {
 protected:
  MessageQueue queue_{std::make_unique<NullSocketServer>(), true};
  RecordingHandler handler_;
};

TEST_F(MessageQueueTest, PostedMessagesComeOutInPostingOrder) {
  for (uint32_t id = 1; id <= 5; ++id)
    queue_.Post(RTC_FROM_HERE, &handler_, id);
  EXPECT_EQ(DrainIds(&queue_), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
}

TEST_F(MessageQueueTest, DelayedMessagesComeOutByDueTimeThenByPostingOrder) {
  ScopedFakeClock clock;
  queue_.PostDelayed(RTC_FROM_HERE, 20, &handler_, 1);
  queue_.PostDelayed(RTC_FROM_HERE, 10, &handler_, 2);
  queue_.PostDelayed(RTC_FROM_HERE, 20, &handler_, 3);
  queue_.PostDelayed(RTC_FROM_HERE, 10, &handler_, 4);
  EXPECT_TRUE(DrainIds(&queue_).empty());
  EXPECT_EQ(queue_.GetDelay(), 10);
  clock.AdvanceTime(10);
  EXPECT_EQ(DrainIds(&queue_), (std::vector<uint32_t>{2, 4}));
  clock.AdvanceTime(10);
  EXPECT_EQ(DrainIds(&queue_), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(queue_.GetDelay(), MessageQueue::kForever);
}

TEST_F(MessageQueueTest, DueDelayedMessagesGoBehindMessagesAlreadyPosted) {
  ScopedFakeClock clock;
  queue_.PostDelayed(RTC_FROM_HERE, 0, &handler_, 1);
  queue_.Post(RTC_FROM_HERE, &handler_, 2);
  queue_.PostDelayed(RTC_FROM_HERE, 5, &handler_, 3);
  queue_.Post(RTC_FROM_HERE, &handler_, 4);
  clock.AdvanceTime(5);
  EXPECT_EQ(DrainIds(&queue_), (std::vector<uint32_t>{2, 4, 1, 3}));
}

TEST_F(MessageQueueTest, PostAtWithA32BitTimeIsReadRelativeToNow) {
  ScopedFakeClock clock;
  // Far into uptime, where a 32-bit time widened without sign would lie in
  // the past.
  clock.SetTimeMillis(int64_t{5} << 32);
  queue_.PostAt(RTC_FROM_HERE, static_cast<uint32_t>(Time32() + 30), &handler_, 7);
  EXPECT_TRUE(DrainIds(&queue_).empty());
  clock.AdvanceTime(30);
  EXPECT_EQ(DrainIds(&queue_), (std::vector<uint32_t>{7}));
}

TEST_F(MessageQueueTest, GetWithZeroWaitReturnsFalseAtOnceWhenEmpty) {
  Message msg;
  int64_t start = TimeMillis();
  EXPECT_FALSE(queue_.Get(&msg, 0));
  EXPECT_LT(TimeMillis() - start, 1000);
}

TEST_F(MessageQueueTest, GetWithATimeOutGivesUpAfterIt) {
  Message msg;
  int64_t start = TimeMillis();
  EXPECT_FALSE(queue_.Get(&msg, 50));
  int64_t elapsed = TimeMillis() - start;
  EXPECT_GE(elapsed, 50);
  EXPECT_LT(elapsed, 5000);
}

TEST_F(MessageQueueTest, GetForeverReturnsOnAPostFromAnotherThread) {
  std::thread poster([this] {
    Thread::SleepMs(20);
    queue_.Post(RTC_FROM_HERE, &handler_, 9);
  });
  Message msg;
  ASSERT_TRUE(queue_.Get(&msg));
  EXPECT_EQ(msg.message_id, 9u);
  poster.join();
}

TEST_F(MessageQueueTest, GetForeverReturnsWhenADelayedMessageFalls) {
  // Read before the post: a millisecond may tick between the two.
  int64_t start = TimeMillis();
  queue_.PostDelayed(RTC_FROM_HERE, 30, &handler_, 5);
  Message msg;
  ASSERT_TRUE(queue_.Get(&msg));
  EXPECT_EQ(msg.message_id, 5u);
  EXPECT_GE(TimeMillis() - start, 30);
}

TEST_F(MessageQueueTest, PeekKeepsTheMessageForTheNextGet) {
  queue_.Post(RTC_FROM_HERE, &handler_, 1);
  queue_.Post(RTC_FROM_HERE, &handler_, 2);
  Message msg;
  ASSERT_TRUE(queue_.Peek(&msg));
  EXPECT_EQ(msg.message_id, 1u);
  ASSERT_TRUE(queue_.Peek(&msg));
  EXPECT_EQ(msg.message_id, 1u);
  EXPECT_EQ(DrainIds(&queue_), (std::vector<uint32_t>{1, 2}));
}

TEST_F(MessageQueueTest, ClearRemovesByHandlerAndIdFromEveryPlace) {
  std::atomic<int> live(0);
  RecordingHandler other;
  queue_.Post(RTC_FROM_HERE, &handler_, 1, new CountedData(&live));
  queue_.Post(RTC_FROM_HERE, &other, 1, new CountedData(&live));
  queue_.Post(RTC_FROM_HERE, &handler_, 2, new CountedData(&live));
  queue_.PostDelayed(RTC_FROM_HERE, 1000, &handler_, 1, new CountedData(&live));
  queue_.PostDelayed(RTC_FROM_HERE, 1000, &handler_, 3, new CountedData(&live));
  Message peeked;
  ASSERT_TRUE(queue_.Peek(&peeked));  // Handler 1, id 1 sits in the peek slot.
  EXPECT_EQ(live.load(), 5);

  queue_.Clear(&handler_, 1);
  EXPECT_EQ(live.load(), 3);
  EXPECT_EQ(queue_.size(), 3u);

  MessageList removed;
  queue_.Clear(nullptr, MQID_ANY, &removed);
  ASSERT_EQ(removed.size(), 3u);
  EXPECT_EQ(live.load(), 3) << "a removed list hands the data to the caller";
  for (Message& msg : removed)
    delete msg.pdata;
  EXPECT_EQ(live.load(), 0);
  EXPECT_TRUE(queue_.empty());
}

TEST_F(MessageQueueTest, DisposeDeletesTheObjectWithoutDispatchingIt) {
  std::atomic<int> live(0);
  queue_.Dispose(new CountedObject(&live));
  queue_.Post(RTC_FROM_HERE, &handler_, 1);
  EXPECT_EQ(live.load(), 1);
  EXPECT_EQ(DrainIds(&queue_), (std::vector<uint32_t>{1}));
  EXPECT_EQ(live.load(), 0);
}

TEST_F(MessageQueueTest, PostToAQuittingQueueFreesTheDataButStillDisposes) {
  std::atomic<int> live(0);
  queue_.Quit();
  queue_.Post(RTC_FROM_HERE, &handler_, 1, new CountedData(&live));
  queue_.PostDelayed(RTC_FROM_HERE, 5, &handler_, 2, new CountedData(&live));
  EXPECT_EQ(live.load(), 0);
  // The object is not deleted on the posting thread but by the queue.
  queue_.Dispose(new CountedObject(&live));
  EXPECT_EQ(live.load(), 1);
  Message msg;
  EXPECT_FALSE(queue_.Get(&msg, 0));
  EXPECT_EQ(live.load(), 0);
  queue_.Restart();
  EXPECT_FALSE(queue_.IsQuitting());
}

TEST_F(MessageQueueTest, DestroyingTheQueueDeletesQueuedData) {
  std::atomic<int> live(0);
  {
    MessageQueue queue(std::make_unique<NullSocketServer>(), true);
    queue.Post(RTC_FROM_HERE, &handler_, 1, new CountedData(&live));
    queue.PostDelayed(RTC_FROM_HERE, 1000, &handler_, 2, new CountedData(&live));
    queue.Dispose(new CountedObject(&live));
    EXPECT_EQ(live.load(), 3);
  }
  EXPECT_EQ(live.load(), 0);
}

TEST_F(MessageQueueTest, DestroyingAHandlerRemovesItsMessagesFromEveryQueue) {
  MessageQueue second(std::make_unique<NullSocketServer>(), true);
  std::atomic<int> live(0);
  auto doomed = std::make_unique<RecordingHandler>();
  queue_.Post(RTC_FROM_HERE, doomed.get(), 1, new CountedData(&live));
  queue_.Post(RTC_FROM_HERE, &handler_, 2);
  second.PostDelayed(RTC_FROM_HERE, 0, doomed.get(), 3, new CountedData(&live));
  doomed.reset();
  EXPECT_EQ(live.load(), 0);
  Message msg;
  ASSERT_TRUE(queue_.Get(&msg, 0));
  EXPECT_EQ(msg.phandler, &handler_);
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
  // The nested clear sweeps every queue again while the first clear is
  // still collecting; another thread posting and clearing meanwhile must
  // not deadlock against it.
  std::atomic<bool> stop(false);
  std::thread other([&] {
    while (!stop.load()) {
      queue_.Post(RTC_FROM_HERE, &handler_, 1);
      queue_.Clear(&handler_, 1);
    }
  });
  for (int i = 0; i < 200; ++i) {
    auto* inner = new RecordingHandler();
    auto* outer = new RecordingHandler();
    queue_.Post(RTC_FROM_HERE, inner, 1);
    queue_.Post(RTC_FROM_HERE, outer, 2, new HandlerOwningData(inner));
    delete outer;
  }
  stop.store(true);
  other.join();
  queue_.Clear(nullptr);
  EXPECT_TRUE(queue_.empty());
}

TEST(MessageQueueLogTest, ASlowDispatchIsLoggedWithItsDurationAndOrigin) {
  ScopedFakeClock clock;
  CapturingSink sink;
  class SlowHandler : public MessageHandler {
   public:
    explicit SlowHandler(ScopedFakeClock* clock) : clock_(clock) {}
    void OnMessage(Message* msg) override { clock_->AdvanceTime(msg->message_id); }

   private:
    ScopedFakeClock* clock_;
  } slow(&clock);
  MessageQueue queue(std::make_unique<NullSocketServer>(), true);
  Message msg;
  msg.phandler = &slow;
  msg.message_id = 49;
  queue.Dispatch(&msg);
  EXPECT_FALSE(sink.Contains("ms to dispatch"));
  msg.message_id = 50;
  queue.Dispatch(&msg);
  EXPECT_TRUE(sink.Contains("Message took 50ms to dispatch. Posted from: "));
}

TEST(MessageQueueLogTest, ALateTimeSensitiveMessageIsLoggedWithItsDelay) {
  ScopedFakeClock clock;
  CapturingSink sink;
  RecordingHandler handler;
  MessageQueue queue(std::make_unique<NullSocketServer>(), true);
  queue.Post(RTC_FROM_HERE, &handler, 11, nullptr, true);
  clock.AdvanceTime(150);
  EXPECT_EQ(DrainIds(&queue), (std::vector<uint32_t>{11}));
  EXPECT_FALSE(sink.Contains("id: 11"));
  queue.Post(RTC_FROM_HERE, &handler, 12, nullptr, true);
  clock.AdvanceTime(200);
  EXPECT_EQ(DrainIds(&queue), (std::vector<uint32_t>{12}));
  EXPECT_TRUE(sink.Contains("id: 12  delay: 200ms"));
}

}  // namespace
}  // namespace rtc
