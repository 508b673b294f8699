#ifndef RTC_BASE_THREADS_THREAD_H_
#define RTC_BASE_THREADS_THREAD_H_

#include <pthread.h>

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rtc_base/base/location.h"
#include "rtc_base/threads/message_handler.h"
#include "rtc_base/threads/message_queue.h"
#include "rtc_base/threads/socket_server.h"

// Rules for code that runs on these threads:
// - Only direct pairs of threads may call each other synchronously (Invoke).
//   A waiting caller serves only the calls its target addresses back to it,
//   so a cycle of three threads calling each other deadlocks.
// - Never block inside a socket handler waiting on a thread that needs the
//   same socket server: handlers run with the server's lock held.
// - Never destroy a socket or a receiver from inside that socket's read or
//   write emission; use MessageQueue::Dispose.
// - A thread class that overrides Run must call Stop() in its own
//   destructor, before its own members are gone.

namespace rtc {

class Thread;

// Maps OS threads to their Thread objects. Created on first use and never
// destroyed; the thread that creates it is the "main" thread.
class ThreadManager {
 public:
  static ThreadManager* Instance();

  Thread* CurrentThread();
  void SetCurrentThread(Thread* thread);

  // Returns the calling thread's Thread, creating and binding one when
  // there is none.
  Thread* WrapCurrentThread();
  // Unbinds and deletes the calling thread's Thread when it is a wrapper.
  void UnwrapCurrentThread();

  bool IsMainThread();

 private:
  ThreadManager();
  ~ThreadManager() = delete;

  pthread_t main_thread_ref_;

  ThreadManager(const ThreadManager&) = delete;
  ThreadManager& operator=(const ThreadManager&) = delete;
};

class SendWaiter;

// A synchronous call, on its caller's stack while it waits. A caller with an rtc::Thread waits
// in that thread's socket server (and serves calls back to it); one without waits on its
// thread's own waiter.
struct _SendMessage {
  Thread* thread = nullptr;
  SendWaiter* waiter = nullptr;
  Message msg;
  bool* ready = nullptr;
};

// A message queue with an OS thread of its own, and synchronous calls into
// it from other threads (Send, Invoke).
class Thread : public MessageQueue {
 public:
  // The forms without `do_init` register the thread at once; a subclass that
  // passes false calls DoInit() at the end of its own constructor.
  explicit Thread(SocketServer* ss);
  explicit Thread(std::unique_ptr<SocketServer> ss);
  Thread(SocketServer* ss, bool do_init);
  Thread(std::unique_ptr<SocketServer> ss, bool do_init);

  // Stops the thread. A subclass that overrides Run must Stop() in its own
  // destructor.
  ~Thread() override;

  // A thread over its own physical socket server (null when the server could
  // not be created), and one over a NullSocketServer.
  static std::unique_ptr<Thread> CreateWithSocketServer();
  static std::unique_ptr<Thread> Create();

  // The calling OS thread's Thread. On the main thread one is created on
  // first use; any other unregistered thread gets null.
  static Thread* Current();

  // Makes the join warning fire on this thread while it lives.
  class ScopedDisallowBlockingCalls {
   public:
    ScopedDisallowBlockingCalls();
    ~ScopedDisallowBlockingCalls();

   private:
    Thread* const thread_;
    const bool previous_state_;
  };

  bool IsCurrent() const;

  // Sleeps for `millis`, resuming after signals. Always true.
  static bool SleepMs(int millis);

  const std::string& name() const { return name_; }
  // The name, followed by " 0x%p" of `obj` when it is not null. The OS
  // thread gets at most its first 15 characters.
  bool SetName(const std::string& name, const void* obj);

  // Starts the OS thread; false when one already runs or cannot be made.
  bool Start();
  // Quits the queue and joins the OS thread. Pending synchronous senders
  // are released without their handler being run.
  virtual void Stop();
  // The thread's body: processes messages until the queue quits.
  virtual void Run();

  // Runs `phandler` on this thread and waits for it. The caller waits on its
  // own socket server in slices of at most 10 ms and meanwhile serves the
  // calls this thread addresses back to it. Returns at once, without
  // running the handler, when this thread is quitting, stopped or was never
  // started; the data is then deleted.
  virtual void Send(const Location& posted_from, MessageHandler* phandler, uint32_t id = 0,
                    MessageData* pdata = nullptr);

  // Runs `functor` on this thread and returns its result; a call that cannot
  // run (see Send) returns a value-initialised result.
  template <class ReturnT, class FunctorT>
  ReturnT Invoke(const Location& posted_from, FunctorT&& functor) {
    FunctorMessageHandler<ReturnT, FunctorT> handler(std::forward<FunctorT>(functor));
    InvokeInternal(posted_from, &handler);
    return handler.MoveResult();
  }

  bool IsProcessingMessagesForTesting() override;
  // Also releases synchronous senders whose message matches; their handler
  // is not run.
  void Clear(MessageHandler* phandler, uint32_t id = MQID_ANY,
             MessageList* removed = nullptr) override;
  void ReceiveSends() override;
  // Quitting also releases every pending synchronous sender.
  void Quit() override;

  // Processes messages for `cms` milliseconds (kForever: until quit); 0
  // handles what is ready now. Returns false when the queue quit.
  bool ProcessMessages(int cms);

  // Runs, without waiting, the synchronous calls addressed to this thread, then the messages
  // due now: those posted before the call (a message posted meanwhile waits for the next
  // call, so a stream of posts cannot hold the caller). Returns false when the queue quit.
  bool DispatchPending();

  // True while an OS thread serves this object: started, or bound to the
  // calling thread by WrapCurrent or an AutoThread.
  bool IsRunning() const { return running_.load(); }
  bool RunningForTest() const { return IsRunning(); }
  // True when this object started its own OS thread.
  bool IsOwned() const { return owned_; }

  // Binds this object to the calling OS thread, which must have none. False when an OS thread
  // already serves this object. SafeWrapCurrent does the same.
  bool WrapCurrent();
  bool SafeWrapCurrent();
  void UnwrapCurrent();

  // Returns the previous value. The flag only affects the join warning.
  bool SetAllowBlockingCalls(bool allow);

 protected:
  // Joins the OS thread when this object started it.
  void Join();

  // Binds this object to the calling thread without taking it over.
  void MarkBoundToCurrent();

 private:
  static void* PreRun(void* pv);

  bool WrapCurrentWithThreadManager(ThreadManager* thread_manager, bool need_synchronize_access);
  void InvokeInternal(const Location& posted_from, MessageHandler* handler);
  // Runs the sends that `source` (null: any thread) addressed to this one.
  void ReceiveSendsFromThread(const Thread* source);
  bool PopSendMessageFromThread(const Thread* source, _SendMessage** msg)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(crit_);
  // Removes the matching sends (all with a null handler and MQID_ANY),
  // wakes their senders and appends their messages to `removed`.
  void ReleaseSendsLocked(MessageHandler* phandler, uint32_t id, MessageList* removed)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(crit_);
  // The registry's hook into ReleaseSendsLocked (the queue's lock is held).
  static void ReleaseSendsForRegistry(MessageQueue* queue, MessageHandler* handler,
                                      MessageList* removed) ABSL_NO_THREAD_SAFETY_ANALYSIS;

  // Calls waiting on their callers' stacks, oldest first.
  std::vector<_SendMessage*> sendlist_ ABSL_GUARDED_BY(crit_);
  // sendlist_'s size, readable without the lock.
  std::atomic<int> sends_pending_{0};
  std::string name_;
  pthread_t thread_{};
  std::atomic<bool> running_{false};
  bool owned_ = true;
  bool blocking_calls_allowed_ = true;

  friend class ThreadManager;

  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
};

// A thread for the duration of a scope on a thread that may have none:
// when the calling thread has no Thread, this one becomes its current
// thread until destroyed.
class AutoThread : public Thread {
 public:
  AutoThread();
  ~AutoThread() override;

 private:
  AutoThread(const AutoThread&) = delete;
  AutoThread& operator=(const AutoThread&) = delete;
};

// Makes the calling thread's current thread one over `ss` for its scope and
// restores the previous one afterwards.
class AutoSocketServerThread : public Thread {
 public:
  explicit AutoSocketServerThread(SocketServer* ss);
  ~AutoSocketServerThread() override;

 private:
  Thread* old_thread_;

  AutoSocketServerThread(const AutoSocketServerThread&) = delete;
  AutoSocketServerThread& operator=(const AutoSocketServerThread&) = delete;
};

// Kept for callers that expect it; Linux threads need no set-up.
void InitCocoaMultiThreading();

}  // namespace rtc

#endif  // RTC_BASE_THREADS_THREAD_H_
