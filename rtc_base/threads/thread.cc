#include "rtc_base/threads/thread.h"

#include <errno.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/threads/null_socket_server.h"
#include "rtc_base/threads/platform_thread.h"

namespace rtc {
namespace {

// A synchronous caller waits in slices of this length, serving calls
// addressed back to it in between.
constexpr int kSendWaitSliceMs = 10;

// Linux accepts thread names of at most 15 characters.
constexpr size_t kMaxOsThreadNameLength = 15;

thread_local Thread* g_current_thread = nullptr;

// A default socket server, or a NullSocketServer when the default one cannot
// be made (no descriptors left): a thread without sockets still serves its
// messages and its synchronous callers, where one without a working wake-up
// would hang them.
std::unique_ptr<SocketServer> CreateServerOrFallback() {
  std::unique_ptr<SocketServer> ss = SocketServer::CreateDefault();
  if (!ss) {
    RTC_LOG(LS_ERROR) << "Using a socket server without sockets for this thread";
    ss = std::make_unique<NullSocketServer>();
  }
  return ss;
}

void DeleteMessageData(MessageList* messages) {
  for (Message& msg : *messages) {
    delete msg.pdata;
    msg.pdata = nullptr;
  }
  messages->clear();
}

}  // namespace

// What a thread without an rtc::Thread waits on while it calls into one: made once per thread,
// so a call costs no descriptors or system calls beyond the wake-up itself.
class SendWaiter {
 public:
  static SendWaiter* ForCurrentThread() {
    thread_local SendWaiter waiter;
    return &waiter;
  }

  void Wake() {
    woken_.store(true);
    // Only a waiter that went to sleep needs the condition variable.
    if (sleeping_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      cv_.notify_one();
    }
  }

  // Returns once woken. The answer to a call usually comes within microseconds: the waiter
  // spins that long before it sleeps.
  void Wait() {
    const int64_t until = SystemTimeNanos() + kSpinUs * 1000;
    while (!woken_.load(std::memory_order_relaxed) && SystemTimeNanos() < until) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    if (!woken_.load()) {
      std::unique_lock<std::mutex> lock(mutex_);
      sleeping_.store(true);
      cv_.wait(lock, [this] { return woken_.load(); });
      sleeping_.store(false);
    }
    woken_.store(false);
  }

 private:
  static constexpr int64_t kSpinUs = 30;

  std::mutex mutex_;
  std::condition_variable cv_;
  std::atomic<bool> woken_{false};
  std::atomic<bool> sleeping_{false};
};

namespace {

// Wakes the caller of `smsg`, whose `ready` flag was just set under the callee's lock.
void WakeSender(const _SendMessage& smsg) {
  if (smsg.waiter != nullptr) {
    smsg.waiter->Wake();
  } else {
    smsg.thread->socketserver()->WakeUp();
  }
}

}  // namespace

void InitCocoaMultiThreading() {}

//------------------------------------------------------------------
// ThreadManager

ThreadManager* ThreadManager::Instance() {
  static ThreadManager* const thread_manager = new ThreadManager();
  return thread_manager;
}

ThreadManager::ThreadManager() : main_thread_ref_(pthread_self()) { InitCocoaMultiThreading(); }

Thread* ThreadManager::CurrentThread() { return g_current_thread; }

void ThreadManager::SetCurrentThread(Thread* thread) {
  if (thread && g_current_thread)
    RTC_LOG(LS_ERROR) << "SetCurrentThread: Overwriting an existing value?";
  g_current_thread = thread;
}

Thread* ThreadManager::WrapCurrentThread() {
  Thread* result = CurrentThread();
  if (!result) {
    result = new Thread(CreateServerOrFallback());
    result->WrapCurrentWithThreadManager(this, true);
  }
  return result;
}

void ThreadManager::UnwrapCurrentThread() {
  Thread* t = CurrentThread();
  if (t && !t->IsOwned()) {
    t->UnwrapCurrent();
    delete t;
  }
}

bool ThreadManager::IsMainThread() { return pthread_equal(pthread_self(), main_thread_ref_) != 0; }

//------------------------------------------------------------------
// Thread

Thread::Thread(SocketServer* ss) : Thread(ss, true) {}

Thread::Thread(std::unique_ptr<SocketServer> ss) : Thread(std::move(ss), true) {}

Thread::Thread(SocketServer* ss, bool do_init) : MessageQueue(ss, false) {
  release_sends_ = &ReleaseSendsForRegistry;
  SetName("Thread", this);
  if (do_init) DoInit();
}

Thread::Thread(std::unique_ptr<SocketServer> ss, bool do_init)
    : MessageQueue(std::move(ss), false) {
  release_sends_ = &ReleaseSendsForRegistry;
  SetName("Thread", this);
  if (do_init) DoInit();
}

Thread::~Thread() {
  Stop();
  DoDestroy();
  if (g_current_thread == this) g_current_thread = nullptr;
}

std::unique_ptr<Thread> Thread::CreateWithSocketServer() {
  std::unique_ptr<SocketServer> ss = SocketServer::CreateDefault();
  if (!ss) return nullptr;
  return std::make_unique<Thread>(std::move(ss));
}

std::unique_ptr<Thread> Thread::Create() {
  return std::make_unique<Thread>(std::make_unique<NullSocketServer>());
}

Thread* Thread::Current() {
  ThreadManager* manager = ThreadManager::Instance();
  Thread* thread = manager->CurrentThread();
  if (!thread && manager->IsMainThread()) thread = manager->WrapCurrentThread();
  return thread;
}

Thread::ScopedDisallowBlockingCalls::ScopedDisallowBlockingCalls()
    : thread_(Thread::Current()),
      previous_state_(thread_ ? thread_->SetAllowBlockingCalls(false) : true) {}

Thread::ScopedDisallowBlockingCalls::~ScopedDisallowBlockingCalls() {
  if (thread_) thread_->SetAllowBlockingCalls(previous_state_);
}

bool Thread::SetAllowBlockingCalls(bool allow) {
  bool previous = blocking_calls_allowed_;
  blocking_calls_allowed_ = allow;
  return previous;
}

bool Thread::IsCurrent() const { return g_current_thread == this; }

bool Thread::SleepMs(int milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  struct timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = (milliseconds % 1000) * 1000000;
  // A signal only interrupts the sleep; the rest of it is slept afterwards.
  while (nanosleep(&ts, &ts) != 0) {
    if (errno != EINTR) {
      RTC_LOG_ERR(LS_WARNING) << "nanosleep() returning early";
      return false;
    }
  }
  return true;
}

bool Thread::SetName(const std::string& name, const void* obj) {
  name_ = name;
  if (obj) {
    char buf[30];
    snprintf(buf, sizeof(buf), " 0x%p", obj);
    name_ += buf;
  }
  return true;
}

bool Thread::Start() {
  if (running_.load()) return false;
  Restart();
  ThreadManager::Instance();
  owned_ = true;
  running_.store(true);
  int error_code = pthread_create(&thread_, nullptr, PreRun, this);
  if (error_code) {
    RTC_LOG(LS_ERROR) << "Unable to create pthread, error " << error_code;
    thread_ = pthread_t();
    running_.store(false);
    return false;
  }
  return true;
}

void* Thread::PreRun(void* pv) {
  Thread* thread = static_cast<Thread*>(pv);
  ThreadManager::Instance()->SetCurrentThread(thread);
  SetCurrentThreadName(thread->name_.substr(0, kMaxOsThreadNameLength).c_str());
  thread->Run();
  // Nothing serves this queue any more: refuse further calls and release
  // the callers still waiting.
  thread->Quit();
  ThreadManager::Instance()->SetCurrentThread(nullptr);
  return nullptr;
}

void Thread::Run() {
  // A failed wait has been logged by the server; serve on until quit.
  while (ProcessMessages(kForever)) SleepMs(1);
}

void Thread::Stop() {
  Quit();
  Join();
}

void Thread::Join() {
  if (!running_.load() || !owned_) return;
  if (pthread_equal(thread_, pthread_self())) {
    RTC_LOG(LS_ERROR) << "A thread cannot join itself";
    return;
  }
  Thread* current = ThreadManager::Instance()->CurrentThread();
  if (current && !current->blocking_calls_allowed_) {
    RTC_LOG(LS_WARNING) << "Waiting for the thread to join, "
                        << "but blocking calls have been disallowed";
  }
  pthread_join(thread_, nullptr);
  thread_ = pthread_t();
  running_.store(false);
}

bool Thread::WrapCurrent() { return WrapCurrentWithThreadManager(ThreadManager::Instance(), true); }

bool Thread::SafeWrapCurrent() {
  return WrapCurrentWithThreadManager(ThreadManager::Instance(), false);
}

bool Thread::WrapCurrentWithThreadManager(ThreadManager* thread_manager,
                                          bool /*need_synchronize_access*/) {
  if (running_.load()) return false;
  MarkBoundToCurrent();
  thread_manager->SetCurrentThread(this);
  return true;
}

void Thread::MarkBoundToCurrent() {
  thread_ = pthread_self();
  owned_ = false;
  running_.store(true);
}

void Thread::UnwrapCurrent() {
  if (g_current_thread == this) ThreadManager::Instance()->SetCurrentThread(nullptr);
  thread_ = pthread_t();
  running_.store(false);
}

bool Thread::IsProcessingMessagesForTesting() {
  return ((owned_ && running_.load()) || IsCurrent()) &&
         MessageQueue::IsProcessingMessagesForTesting();
}

void Thread::Quit() {
  MessageQueue::Quit();
  MessageList removed;
  {
    CritScope cs(&crit_);
    ReleaseSendsLocked(nullptr, MQID_ANY, &removed);
  }
  DeleteMessageData(&removed);
}

bool Thread::ProcessMessages(int cmsLoop) {
  int64_t msEnd = (cmsLoop == kForever) ? 0 : TimeAfter(cmsLoop);
  int cmsNext = cmsLoop;
  while (true) {
    Message msg;
    if (!Get(&msg, cmsNext)) return !IsQuitting();
    Dispatch(&msg);
    if (cmsLoop != kForever) {
      cmsNext = static_cast<int>(TimeDiff(msEnd, TimeMillis()));
      if (cmsNext < 0) return true;
    }
  }
}

bool Thread::DispatchPending() {
  ReceiveSends();
  size_t n = 0;
  {
    CritScope cs(&crit_);
    TakePostedLocked();
    if (!dmsgq_.empty()) {
      const int64_t now = TimeMillis();
      while (!dmsgq_.empty() && dmsgq_.front().msTrigger_ <= now) {
        msgq_.push_back(dmsgq_.front().msg_);
        std::pop_heap(dmsgq_.begin(), dmsgq_.end());
        dmsgq_.pop_back();
      }
    }
    n = msgq_.size();
  }
  for (; n > 0 && !IsQuitting(); --n) {
    Message msg;
    {
      CritScope cs(&crit_);
      if (msgq_.empty()) break;
      msg = msgq_.front();
      msgq_.pop_front();
    }
    if (msg.message_id == MQID_DISPOSE) {
      delete msg.pdata;
      continue;
    }
    Dispatch(&msg);
  }
  return !IsQuitting();
}

void Thread::InvokeInternal(const Location& posted_from, MessageHandler* handler) {
  Send(posted_from, handler);
}

void Thread::Send(const Location& posted_from, MessageHandler* phandler, uint32_t id,
                  MessageData* pdata) {
  if (IsQuitting() || !IsRunning()) {
    delete pdata;
    return;
  }

  Message msg;
  msg.posted_from = posted_from;
  msg.phandler = phandler;
  msg.message_id = id;
  msg.pdata = pdata;
  if (IsCurrent()) {
    phandler->OnMessage(&msg);
    return;
  }

  // A caller with an rtc::Thread waits in its socket server and serves the calls this thread
  // makes back to it meanwhile; any other caller waits on its own waiter (nothing can call
  // back into a thread without an rtc::Thread).
  Thread* current_thread = ThreadManager::Instance()->CurrentThread();
  bool ready = false;
  _SendMessage smsg;
  smsg.thread = current_thread;
  smsg.waiter = current_thread == nullptr ? SendWaiter::ForCurrentThread() : nullptr;
  smsg.msg = msg;
  smsg.ready = &ready;
  {
    CritScope cs(&crit_);
    // Checked under the lock: Quit() sets the flag before it takes the lock
    // to release the senders, so no entry can be left behind.
    if (IsQuitting()) {
      delete pdata;
      return;
    }
    sendlist_.push_back(&smsg);
    sends_pending_.fetch_add(1);
  }
  WakeUpSocketServer();

  bool waited = false;
  crit_.Enter();
  while (!ready) {
    crit_.Leave();
    if (smsg.waiter != nullptr) {
      smsg.waiter->Wait();
    } else {
      current_thread->ReceiveSendsFromThread(this);
      current_thread->socketserver()->Wait(kSendWaitSliceMs, false);
      waited = true;
    }
    crit_.Enter();
  }
  crit_.Leave();

  // The waits above may have swallowed a wake-up that was meant for a post
  // to the caller's own queue.
  if (waited) current_thread->socketserver()->WakeUp();
}

void Thread::ReceiveSends() { ReceiveSendsFromThread(nullptr); }

void Thread::ReceiveSendsFromThread(const Thread* source) {
  // Read without the lock on every message: a call queued after this check has woken the
  // thread, which looks again.
  if (sends_pending_.load() == 0) return;
  _SendMessage* smsg = nullptr;
  crit_.Enter();
  while (PopSendMessageFromThread(source, &smsg)) {
    crit_.Leave();
    Dispatch(&smsg->msg);
    crit_.Enter();
    // The sender cannot leave its wait while this lock is held, so its
    // thread (or waiter) is still alive to be woken.
    *smsg->ready = true;
    WakeSender(*smsg);
  }
  crit_.Leave();
}

bool Thread::PopSendMessageFromThread(const Thread* source, _SendMessage** msg) {
  for (auto it = sendlist_.begin(); it != sendlist_.end(); ++it) {
    if ((*it)->thread == source || source == nullptr) {
      *msg = *it;
      sendlist_.erase(it);
      sends_pending_.fetch_sub(1);
      return true;
    }
  }
  return false;
}

void Thread::ReleaseSendsLocked(MessageHandler* phandler, uint32_t id, MessageList* removed) {
  for (auto it = sendlist_.begin(); it != sendlist_.end();) {
    _SendMessage* smsg = *it;
    if (smsg->msg.Match(phandler, id)) {
      removed->push_back(smsg->msg);
      *smsg->ready = true;
      WakeSender(*smsg);
      it = sendlist_.erase(it);
      sends_pending_.fetch_sub(1);
    } else {
      ++it;
    }
  }
}

void Thread::ReleaseSendsForRegistry(MessageQueue* queue, MessageHandler* handler,
                                     MessageList* removed) {
  // Only threads set this hook; no virtual call is needed to get back to this one.
  static_cast<Thread*>(queue)->ReleaseSendsLocked(handler, MQID_ANY, removed);
}

void Thread::Clear(MessageHandler* phandler, uint32_t id, MessageList* removed) {
  MessageList local;
  MessageList* out = removed ? removed : &local;
  {
    CritScope cs(&crit_);
    ReleaseSendsLocked(phandler, id, out);
    ClearLocked(phandler, id, out);
  }
  DeleteMessageData(&local);
}

//------------------------------------------------------------------
// AutoThread

AutoThread::AutoThread() : Thread(CreateServerOrFallback(), /*do_init=*/false) {
  ThreadManager* manager = ThreadManager::Instance();
  if (!manager->CurrentThread()) {
    DoInit();
    MarkBoundToCurrent();
    manager->SetCurrentThread(this);
  }
}

AutoThread::~AutoThread() {
  Stop();
  DoDestroy();
  if (ThreadManager::Instance()->CurrentThread() == this)
    ThreadManager::Instance()->SetCurrentThread(nullptr);
}

//------------------------------------------------------------------
// AutoSocketServerThread

AutoSocketServerThread::AutoSocketServerThread(SocketServer* ss) : Thread(ss, /*do_init=*/false) {
  DoInit();
  ThreadManager* manager = ThreadManager::Instance();
  old_thread_ = manager->CurrentThread();
  manager->SetCurrentThread(nullptr);
  manager->SetCurrentThread(this);
  MarkBoundToCurrent();
  // The previous thread is not processing messages while this one is
  // current.
  if (old_thread_) MessageQueueManager::Remove(old_thread_);
}

AutoSocketServerThread::~AutoSocketServerThread() {
  // Messages left for this thread are handled before it goes, so that
  // nothing posted to it is lost silently.
  ProcessMessages(0);
  Stop();
  DoDestroy();
  ThreadManager* manager = ThreadManager::Instance();
  manager->SetCurrentThread(nullptr);
  manager->SetCurrentThread(old_thread_);
  if (old_thread_) MessageQueueManager::Add(old_thread_);
}

}  // namespace rtc
