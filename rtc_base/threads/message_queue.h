#ifndef RTC_BASE_THREADS_MESSAGE_QUEUE_H_
#define RTC_BASE_THREADS_MESSAGE_QUEUE_H_

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "rtc_base/base/critical_section.h"
#include "rtc_base/base/location.h"
#include "rtc_base/threads/message_handler.h"
#include "rtc_base/threads/sigslot.h"
#include "rtc_base/threads/socket_server.h"

namespace rtc {

class MessageQueue;

// Registry of every live queue, so that a dying handler can have its
// messages removed everywhere.
class MessageQueueManager {
 public:
  static void Add(MessageQueue* message_queue);
  static void Remove(MessageQueue* message_queue);
  // Removes every message for `handler` from every registered queue (and
  // releases synchronous senders waiting on it). The removed data is deleted
  // after all locks are released.
  static void Clear(MessageHandler* handler);

  // Runs the calling thread's queue until every queue that is processing
  // messages has handled everything posted to it before this call.
  static void ProcessAllMessageQueuesForTesting();
  // Wakes every queue's wait, so that each looks at the clock again.
  static void WakeAll();

 private:
  static MessageQueueManager* Instance();
  static MessageQueueManager* InstanceIfCreated();

  MessageQueueManager();
  ~MessageQueueManager() = delete;

  void AddInternal(MessageQueue* message_queue);
  void RemoveInternal(MessageQueue* message_queue);
  void ClearInternal(MessageHandler* handler);
  void ProcessAllMessageQueuesInternal();
  void WakeAllInternal();

  CriticalSection crit_;
  std::vector<MessageQueue*> message_queues_ ABSL_GUARDED_BY(crit_);
};

// Payload of a message. A queue owns the data of every message it holds; the
// handler that receives a dispatched message owns its data from then on.
class MessageData {
 public:
  MessageData() = default;
  virtual ~MessageData() = default;
};

template <class T>
class TypedMessageData : public MessageData {
 public:
  explicit TypedMessageData(const T& data) : data_(data) {}
  const T& data() const { return data_; }
  T& data() { return data_; }

 private:
  T data_;
};

// Owns one object and deletes it with itself.
template <class T>
class DisposeData : public MessageData {
 public:
  explicit DisposeData(T* data) : data_(data) {}
  ~DisposeData() override { delete data_; }

 private:
  T* data_;
};

// Matches every id in Clear.
constexpr uint32_t MQID_ANY = static_cast<uint32_t>(-1);
// A dispose message: its data is deleted by Get and it is never dispatched.
constexpr uint32_t MQID_DISPOSE = static_cast<uint32_t>(-2);

// A message is late when it is taken more than this after its post.
constexpr int64_t kMaxMsgLatency = 150;
// Dispatches that take at least this long are logged.
constexpr int kSlowDispatchLoggingThreshold = 50;

struct Message {
  Message() = default;
  bool Match(MessageHandler* handler, uint32_t id) const {
    return (handler == nullptr || handler == phandler) && (id == MQID_ANY || id == message_id);
  }
  Location posted_from;
  MessageHandler* phandler = nullptr;
  uint32_t message_id = 0;
  MessageData* pdata = nullptr;
  // Deadline in TimeMillis for a time-sensitive message, else 0.
  int64_t ts_sensitive = 0;
};

typedef std::list<Message> MessageList;

// A message waiting for its trigger time. Earlier triggers come first, and
// equal triggers in posting order.
class DelayedMessage {
 public:
  DelayedMessage(int64_t delay, int64_t trigger, uint32_t num, const Message& msg)
      : cmsDelay_(delay), msTrigger_(trigger), num_(num), msg_(msg) {}

  // The heap keeps its greatest element on top, so "less" means "later".
  bool operator<(const DelayedMessage& dmsg) const {
    return (dmsg.msTrigger_ < msTrigger_) ||
           ((dmsg.msTrigger_ == msTrigger_) && (dmsg.num_ < num_));
  }

  int64_t cmsDelay_;  // Kept for information only.
  int64_t msTrigger_;
  uint32_t num_;
  Message msg_;
};

// The messages posted to one thread: a FIFO list for messages due now, a
// heap for delayed ones, and the socket server that waits for both. Posting,
// clearing and GetDelay may come from any thread; Get, Peek and Dispatch run
// on the thread that owns the queue.
class MessageQueue {
 public:
  static constexpr int kForever = -1;

  // With `init_queue` false the subclass must call DoInit() at the end of
  // its own constructor (so that the queue is registered only once complete).
  MessageQueue(SocketServer* ss, bool init_queue);
  MessageQueue(std::unique_ptr<SocketServer> ss, bool init_queue);
  virtual ~MessageQueue();

  SocketServer* socketserver();

  // Quit ends the processing loop and makes new posts fail; Restart undoes
  // it. Both may be called from any thread.
  virtual void Quit();
  virtual bool IsQuitting();
  virtual void Restart();
  virtual bool IsProcessingMessagesForTesting();

  // Takes the next message due, waiting up to `cmsWait` ms (kForever: until
  // one arrives or the queue quits). Returns false on time-out or quit.
  virtual bool Get(Message* pmsg, int cmsWait = kForever, bool process_io = true);
  // Like Get, but the message stays queued and the next Get returns it.
  virtual bool Peek(Message* pmsg, int cmsWait = 0);
  virtual void Post(const Location& posted_from, MessageHandler* phandler, uint32_t id = 0,
                    MessageData* pdata = nullptr, bool time_sensitive = false);
  virtual void PostDelayed(const Location& posted_from, int cmsDelay, MessageHandler* phandler,
                           uint32_t id = 0, MessageData* pdata = nullptr);
  virtual void PostAt(const Location& posted_from, int64_t tstamp, MessageHandler* phandler,
                      uint32_t id = 0, MessageData* pdata = nullptr);
  // A 32-bit run time, read relative to Time32() so that it stays correct
  // after 49.7 days of uptime.
  virtual void PostAt(const Location& posted_from, uint32_t tstamp, MessageHandler* phandler,
                      uint32_t id = 0, MessageData* pdata = nullptr);
  // Removes the messages that match `phandler` (null: any) and `id`
  // (MQID_ANY: any). With `removed` given they are appended to it and the
  // caller owns their data; otherwise their data is deleted, after the
  // queue's lock has been released.
  virtual void Clear(MessageHandler* phandler, uint32_t id = MQID_ANY,
                     MessageList* removed = nullptr);
  virtual void Dispatch(Message* pmsg);
  virtual void ReceiveSends();

  // Milliseconds until the next message is due: 0 when one is due now, -1
  // when there is none.
  virtual int GetDelay();

  bool empty() const { return size() == 0u; }
  size_t size() const;

  // Deletes `doomed` on this queue's thread the next time it gets messages.
  // This is how an object is destroyed from inside its own callback.
  template <class T>
  void Dispose(T* doomed) {
    if (doomed) {
      Post(RTC_FROM_HERE, nullptr, MQID_DISPOSE, new DisposeData<T>(doomed));
    }
  }

  // Emitted once, when the queue is being destroyed.
  sigslot::signal0<> SignalQueueDestroyed;

 protected:
  class PriorityQueue : public std::vector<DelayedMessage> {};

  // Fills `msg` for posting and returns true, or deletes `pdata` and returns
  // false when the queue is quitting.
  bool MakePostedMessage(const Location& posted_from, MessageHandler* phandler, uint32_t id,
                         MessageData* pdata, Message* msg);

  void DoDelayPost(const Location& posted_from, int64_t cmsDelay, int64_t tstamp,
                   MessageHandler* phandler, uint32_t id, MessageData* pdata);

  // Moves the matching messages of the peek slot, the posted list and the
  // delayed heap to `removed`. Caller holds crit_.
  void ClearLocked(MessageHandler* phandler, uint32_t id, MessageList* removed)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(crit_);

  // Clear for the registry, which walks every queue from any thread: without a virtual call, as
  // a queue may be in its destructors (its vtable changing) until it leaves the registry. A
  // subclass with more places for messages (a thread's synchronous calls) sets the hook.
  void ClearFromRegistry(MessageHandler* handler, MessageList* removed);
  using ReleaseSendsHook = void (*)(MessageQueue* queue, MessageHandler* handler,
                                    MessageList* removed);
  ReleaseSendsHook release_sends_ = nullptr;

  // Registers the queue with the manager once.
  void DoInit();
  // Emits SignalQueueDestroyed, unregisters and deletes every queued message.
  // Runs once; subclasses call it from their own destructor.
  void DoDestroy();

  void WakeUpSocketServer();
  friend class MessageQueueManager;

  bool fPeekKeep_ ABSL_GUARDED_BY(crit_) = false;
  Message msgPeek_ ABSL_GUARDED_BY(crit_);
  // Moves what producers posted behind msgq_.
  void TakePostedLocked() ABSL_EXCLUSIVE_LOCKS_REQUIRED(crit_);

  // Deques: posting allocates no node per message. Producers append to posted_ under their
  // own lock, which the consumer takes only to move the lot into msgq_; so they rarely
  // contend with it message by message. Lock order: crit_, then post_mutex_.
  std::deque<Message> msgq_ ABSL_GUARDED_BY(crit_);
  // Adaptive: held for a push, it spins briefly before it sleeps, which keeps producers that
  // meet on it out of the kernel.
  class ABSL_LOCKABLE PostMutex {
   public:
    PostMutex();
    ~PostMutex();
    void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { pthread_mutex_lock(&mutex_); }
    void unlock() ABSL_UNLOCK_FUNCTION() { pthread_mutex_unlock(&mutex_); }

   private:
    pthread_mutex_t mutex_;
  };
  // Holds a PostMutex for its lifetime.
  class ABSL_SCOPED_LOCKABLE PostLock {
   public:
    explicit PostLock(PostMutex* mutex) ABSL_EXCLUSIVE_LOCK_FUNCTION(mutex) : mutex_(mutex) {
      mutex_->lock();
    }
    ~PostLock() ABSL_UNLOCK_FUNCTION() { mutex_->unlock(); }
    PostLock(const PostLock&) = delete;
    PostLock& operator=(const PostLock&) = delete;

   private:
    PostMutex* const mutex_;
  };
  mutable PostMutex post_mutex_;
  std::deque<Message> posted_ ABSL_GUARDED_BY(post_mutex_);
  PriorityQueue dmsgq_ ABSL_GUARDED_BY(crit_);
  uint32_t dmsgq_next_num_ ABSL_GUARDED_BY(crit_) = 0;
  mutable CriticalSection crit_;
  bool fInitialized_ = false;
  bool fDestroyed_ = false;

 private:
  std::atomic<int> stop_{0};

  // The server is owned when given as a unique_ptr.
  SocketServer* const ss_;
  std::unique_ptr<SocketServer> own_ss_;

  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_MESSAGE_QUEUE_H_
