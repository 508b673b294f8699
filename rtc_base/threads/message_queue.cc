#include "rtc_base/threads/message_queue.h"

#include <time.h>

#include <algorithm>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/base/trace_event.h"
#include "rtc_base/threads/thread.h"

namespace rtc {
namespace {

std::atomic<MessageQueueManager*> g_manager{nullptr};

// How far the coarse monotonic clock may trail the precise one: two of its ticks, as the tick
// that advances it can come late. 0 when the coarse clock cannot be read.
int64_t CoarseLagNanos() {
  static const int64_t lag = [] {
    timespec res;
    if (clock_getres(CLOCK_MONOTONIC_COARSE, &res) != 0) return int64_t{0};
    return 2 * (static_cast<int64_t>(res.tv_sec) * kNumNanosecsPerSec + res.tv_nsec);
  }();
  return lag;
}

// Whether a dispatch that began at `start_nanos` (TimeNanos) has run at least `threshold_nanos`,
// and if so for how long. Nearly every handler ends far below the threshold: the coarse clock,
// a fraction of the precise one's cost on every message, rules those out, and the precise clock
// decides the rest.
bool RanAtLeast(int64_t start_nanos, int64_t threshold_nanos, int64_t* elapsed_nanos) {
  const int64_t lag = CoarseLagNanos();
  timespec ts;
  if (GetClockForTesting() == nullptr && lag > 0 &&
      clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0) {
    const int64_t coarse = static_cast<int64_t>(ts.tv_sec) * kNumNanosecsPerSec + ts.tv_nsec;
    if (coarse + lag - start_nanos < threshold_nanos) return false;
  }
  *elapsed_nanos = TimeNanos() - start_nanos;
  return *elapsed_nanos >= threshold_nanos;
}

void DeleteData(MessageList* messages) {
  for (Message& msg : *messages) {
    delete msg.pdata;
    msg.pdata = nullptr;
  }
  messages->clear();
}

}  // namespace

//------------------------------------------------------------------
// MessageQueueManager

MessageQueueManager* MessageQueueManager::Instance() {
  static MessageQueueManager* const instance = [] {
    auto* manager = new MessageQueueManager();
    g_manager.store(manager, std::memory_order_release);
    // Queues sleep until their next due time; a test clock that moves wakes them.
    SetClockChangedHook(&MessageQueueManager::WakeAll);
    return manager;
  }();
  return instance;
}

MessageQueueManager* MessageQueueManager::InstanceIfCreated() {
  return g_manager.load(std::memory_order_acquire);
}

MessageQueueManager::MessageQueueManager() = default;

void MessageQueueManager::Add(MessageQueue* message_queue) {
  Instance()->AddInternal(message_queue);
}

void MessageQueueManager::AddInternal(MessageQueue* message_queue) {
  CritScope cs(&crit_);
  message_queues_.push_back(message_queue);
}

void MessageQueueManager::Remove(MessageQueue* message_queue) {
  // A queue can only have been added when the manager exists.
  if (MessageQueueManager* manager = InstanceIfCreated()) manager->RemoveInternal(message_queue);
}

void MessageQueueManager::RemoveInternal(MessageQueue* message_queue) {
  CritScope cs(&crit_);
  auto it = std::find(message_queues_.begin(), message_queues_.end(), message_queue);
  if (it != message_queues_.end()) message_queues_.erase(it);
}

void MessageQueueManager::Clear(MessageHandler* handler) {
  if (MessageQueueManager* manager = InstanceIfCreated()) manager->ClearInternal(handler);
}

void MessageQueueManager::ClearInternal(MessageHandler* handler) {
  // Collect first and delete afterwards: deleting data can destroy further
  // handlers and queues, which must not happen while the registry is being
  // walked or while any queue lock is held.
  MessageList removed;
  {
    CritScope cs(&crit_);
    for (MessageQueue* queue : message_queues_) queue->ClearFromRegistry(handler, &removed);
  }
  DeleteData(&removed);
}

void MessageQueueManager::WakeAll() {
  if (MessageQueueManager* manager = InstanceIfCreated()) manager->WakeAllInternal();
}

void MessageQueueManager::WakeAllInternal() {
  CritScope cs(&crit_);
  for (MessageQueue* queue : message_queues_) queue->WakeUpSocketServer();
}

void MessageQueueManager::ProcessAllMessageQueuesForTesting() {
  Instance()->ProcessAllMessageQueuesInternal();
}

void MessageQueueManager::ProcessAllMessageQueuesInternal() {
  // Each queue gets a dispose message whose data counts down when deleted;
  // the queues are done once all of them have reached it.
  std::atomic<int> queues_not_done(0);
  class ScopedIncrement : public MessageData {
   public:
    explicit ScopedIncrement(std::atomic<int>* value) : value_(value) { ++*value_; }
    ~ScopedIncrement() override { --*value_; }

   private:
    std::atomic<int>* value_;
  };
  {
    CritScope cs(&crit_);
    for (MessageQueue* queue : message_queues_) {
      if (!queue->IsProcessingMessagesForTesting()) continue;
      queue->PostDelayed(RTC_FROM_HERE, 0, nullptr, MQID_DISPOSE,
                         new ScopedIncrement(&queues_not_done));
    }
  }
  Thread* current = Thread::Current();
  while (queues_not_done.load() > 0) {
    if (current)
      current->ProcessMessages(0);
    else
      Thread::SleepMs(1);
  }
}

//------------------------------------------------------------------
// MessageQueue

MessageQueue::PostMutex::PostMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

MessageQueue::PostMutex::~PostMutex() { pthread_mutex_destroy(&mutex_); }

MessageQueue::MessageQueue(SocketServer* ss, bool init_queue) : ss_(ss) {
  RTC_CHECK(ss_) << "A message queue needs a socket server";
  ss_->SetMessageQueue(this);
  if (init_queue) DoInit();
}

MessageQueue::MessageQueue(std::unique_ptr<SocketServer> ss, bool init_queue)
    : ss_(ss.get()), own_ss_(std::move(ss)) {
  RTC_CHECK(ss_) << "A message queue needs a socket server";
  ss_->SetMessageQueue(this);
  if (init_queue) DoInit();
}

MessageQueue::~MessageQueue() { DoDestroy(); }

void MessageQueue::DoInit() {
  if (fInitialized_) return;
  fInitialized_ = true;
  MessageQueueManager::Add(this);
}

void MessageQueue::DoDestroy() {
  if (fDestroyed_) return;
  fDestroyed_ = true;
  SignalQueueDestroyed();
  MessageQueueManager::Remove(this);
  MessageList removed;
  {
    CritScope cs(&crit_);
    ClearLocked(nullptr, MQID_ANY, &removed);
  }
  DeleteData(&removed);
  if (ss_) ss_->SetMessageQueue(nullptr);
}

SocketServer* MessageQueue::socketserver() { return ss_; }

void MessageQueue::WakeUpSocketServer() { ss_->WakeUp(); }

void MessageQueue::Quit() {
  stop_.store(1);
  WakeUpSocketServer();
}

bool MessageQueue::IsQuitting() { return stop_.load() != 0; }

void MessageQueue::Restart() { stop_.store(0); }

bool MessageQueue::IsProcessingMessagesForTesting() { return !IsQuitting(); }

bool MessageQueue::Peek(Message* pmsg, int cmsWait) {
  {
    CritScope cs(&crit_);
    if (fPeekKeep_) {
      *pmsg = msgPeek_;
      return true;
    }
  }
  if (!Get(pmsg, cmsWait)) return false;
  CritScope cs(&crit_);
  msgPeek_ = *pmsg;
  fPeekKeep_ = true;
  return true;
}

bool MessageQueue::Get(Message* pmsg, int cmsWait, bool process_io) {
  // A message kept by Peek comes first.
  {
    CritScope cs(&crit_);
    if (fPeekKeep_) {
      *pmsg = msgPeek_;
      fPeekKeep_ = false;
      return true;
    }
  }

  // The clock is read only for a bounded wait or delayed messages.
  int64_t cmsTotal = cmsWait;
  int64_t cmsElapsed = 0;
  int64_t msStart = cmsWait == kForever ? 0 : TimeMillis();
  while (true) {
    // Synchronous sends come before anything posted.
    ReceiveSends();

    int64_t cmsDelayNext = kForever;
    bool first_pass = true;
    while (true) {
      {
        CritScope cs(&crit_);
        // Due delayed messages go behind what is already posted, and only on
        // the first pass, so that a stream of posts cannot starve them nor
        // they the posts.
        if (msgq_.empty()) TakePostedLocked();
        if (first_pass) {
          first_pass = false;
          if (!dmsgq_.empty()) {
            TakePostedLocked();
            const int64_t msCurrent = TimeMillis();
            while (!dmsgq_.empty()) {
              if (msCurrent < dmsgq_.front().msTrigger_) {
                cmsDelayNext = TimeDiff(dmsgq_.front().msTrigger_, msCurrent);
                break;
              }
              msgq_.push_back(dmsgq_.front().msg_);
              std::pop_heap(dmsgq_.begin(), dmsgq_.end());
              dmsgq_.pop_back();
            }
          }
        }
        if (msgq_.empty()) break;
        *pmsg = msgq_.front();
        msgq_.pop_front();
      }

      if (pmsg->ts_sensitive) {
        int64_t delay = TimeDiff(TimeMillis(), pmsg->ts_sensitive);
        if (delay > 0) {
          RTC_LOG_F(LS_WARNING) << "id: " << pmsg->message_id
                                << "  delay: " << (delay + kMaxMsgLatency) << "ms";
        }
      }
      if (pmsg->message_id == MQID_DISPOSE) {
        RTC_DCHECK(pmsg->phandler == nullptr);
        delete pmsg->pdata;
        *pmsg = Message();
        continue;
      }
      return true;
    }

    if (IsQuitting()) return false;

    int64_t cmsNext;
    if (cmsWait == kForever) {
      cmsNext = cmsDelayNext;
    } else {
      cmsNext = std::max<int64_t>(0, cmsTotal - cmsElapsed);
      if (cmsDelayNext != kForever && cmsDelayNext < cmsNext) cmsNext = cmsDelayNext;
    }
    // Waits are given in int milliseconds; a far trigger is reached in
    // several waits.
    int wait_ms =
        cmsNext == kForever ? kForever : static_cast<int>(std::min<int64_t>(cmsNext, 1 << 30));
    if (!ss_->Wait(wait_ms, process_io)) return false;

    if (cmsWait != kForever) {
      cmsElapsed = TimeDiff(TimeMillis(), msStart);
      if (cmsElapsed >= cmsWait) return false;
    }
  }
}

void MessageQueue::ReceiveSends() {}

bool MessageQueue::MakePostedMessage(const Location& posted_from, MessageHandler* phandler,
                                     uint32_t id, MessageData* pdata, Message* msg) {
  // A dispose message is still queued while quitting, so that its object is
  // deleted on this queue's thread (or by DoDestroy), never on the poster's.
  if (IsQuitting() && id != MQID_DISPOSE) {
    delete pdata;
    return false;
  }
  msg->posted_from = posted_from;
  msg->phandler = phandler;
  msg->message_id = id;
  msg->pdata = pdata;
  return true;
}

void MessageQueue::Post(const Location& posted_from, MessageHandler* phandler, uint32_t id,
                        MessageData* pdata, bool time_sensitive) {
  Message msg;
  if (!MakePostedMessage(posted_from, phandler, id, pdata, &msg)) return;
  if (time_sensitive) msg.ts_sensitive = TimeMillis() + kMaxMsgLatency;
  {
    PostLock lock(&post_mutex_);
    posted_.push_back(msg);
  }
  WakeUpSocketServer();
}

void MessageQueue::PostDelayed(const Location& posted_from, int cmsDelay, MessageHandler* phandler,
                               uint32_t id, MessageData* pdata) {
  DoDelayPost(posted_from, cmsDelay, TimeAfter(cmsDelay), phandler, id, pdata);
}

void MessageQueue::PostAt(const Location& posted_from, int64_t tstamp, MessageHandler* phandler,
                          uint32_t id, MessageData* pdata) {
  DoDelayPost(posted_from, TimeDiff(tstamp, TimeMillis()), tstamp, phandler, id, pdata);
}

void MessageQueue::PostAt(const Location& posted_from, uint32_t tstamp, MessageHandler* phandler,
                          uint32_t id, MessageData* pdata) {
  int64_t delay = TimeDiff32(tstamp, Time32());
  DoDelayPost(posted_from, delay, TimeAfter(delay), phandler, id, pdata);
}

void MessageQueue::DoDelayPost(const Location& posted_from, int64_t cmsDelay, int64_t tstamp,
                               MessageHandler* phandler, uint32_t id, MessageData* pdata) {
  Message msg;
  if (!MakePostedMessage(posted_from, phandler, id, pdata, &msg)) return;
  {
    CritScope cs(&crit_);
    dmsgq_.push_back(DelayedMessage(cmsDelay, tstamp, dmsgq_next_num_, msg));
    std::push_heap(dmsgq_.begin(), dmsgq_.end());
    ++dmsgq_next_num_;
  }
  WakeUpSocketServer();
}

void MessageQueue::TakePostedLocked() {
  PostLock lock(&post_mutex_);
  if (posted_.empty()) return;
  if (msgq_.empty()) {
    msgq_.swap(posted_);
  } else {
    msgq_.insert(msgq_.end(), posted_.begin(), posted_.end());
    posted_.clear();
  }
}

int MessageQueue::GetDelay() {
  CritScope cs(&crit_);
  TakePostedLocked();
  if (!msgq_.empty()) return 0;
  if (!dmsgq_.empty()) {
    int64_t delay = TimeDiff(dmsgq_.front().msTrigger_, TimeMillis());
    if (delay < 0) return 0;
    return static_cast<int>(std::min<int64_t>(delay, 1 << 30));
  }
  return kForever;
}

size_t MessageQueue::size() const {
  CritScope cs(&crit_);
  PostLock lock(&post_mutex_);
  return msgq_.size() + posted_.size() + dmsgq_.size() + (fPeekKeep_ ? 1u : 0u);
}

void MessageQueue::Clear(MessageHandler* phandler, uint32_t id, MessageList* removed) {
  MessageList local;
  {
    CritScope cs(&crit_);
    ClearLocked(phandler, id, removed ? removed : &local);
  }
  DeleteData(&local);
}

void MessageQueue::ClearFromRegistry(MessageHandler* handler, MessageList* removed) {
  CritScope cs(&crit_);
  if (release_sends_ != nullptr) release_sends_(this, handler, removed);
  ClearLocked(handler, MQID_ANY, removed);
}

void MessageQueue::ClearLocked(MessageHandler* phandler, uint32_t id, MessageList* removed) {
  if (fPeekKeep_ && msgPeek_.Match(phandler, id)) {
    removed->push_back(msgPeek_);
    fPeekKeep_ = false;
  }

  TakePostedLocked();
  for (auto it = msgq_.begin(); it != msgq_.end();) {
    if (it->Match(phandler, id)) {
      removed->push_back(*it);
      it = msgq_.erase(it);
    } else {
      ++it;
    }
  }

  auto new_end = dmsgq_.begin();
  for (auto it = dmsgq_.begin(); it != dmsgq_.end(); ++it) {
    if (it->msg_.Match(phandler, id)) {
      removed->push_back(it->msg_);
    } else {
      if (new_end != it) *new_end = std::move(*it);
      ++new_end;
    }
  }
  dmsgq_.erase(new_end, dmsgq_.end());
  std::make_heap(dmsgq_.begin(), dmsgq_.end());
}

void MessageQueue::Dispatch(Message* pmsg) {
  TRACE_EVENT2("rtc", "MessageQueue::Dispatch", "src_file_and_line",
               pmsg->posted_from.file_and_line(), "src_func", pmsg->posted_from.function_name());
  if (!pmsg->phandler) {
    RTC_LOG(LS_WARNING) << "Dropping message " << pmsg->message_id
                        << " without a handler, posted from " << pmsg->posted_from.ToString();
    delete pmsg->pdata;
    pmsg->pdata = nullptr;
    return;
  }
  // Timed in nanoseconds: whole milliseconds read at both ends could turn 49.1 ms into 50, or
  // the coarse clock's ticks 50 ms into 48.
  const int64_t start_nanos = TimeNanos();
  pmsg->phandler->OnMessage(pmsg);
  int64_t elapsed_nanos = 0;
  if (RanAtLeast(start_nanos, kSlowDispatchLoggingThreshold * kNumNanosecsPerMillisec,
                 &elapsed_nanos)) {
    RTC_LOG(LS_INFO) << "Message took " << elapsed_nanos / kNumNanosecsPerMillisec
                     << "ms to dispatch. Posted from: " << pmsg->posted_from.ToString();
  }
}

}  // namespace rtc
