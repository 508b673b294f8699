#include "rtc_base/threads/signal_thread.h"

#include <memory>
#include <vector>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/location.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/threads/null_socket_server.h"

namespace rtc {

// Tells the job when its creating thread's queue is destroyed. It is a
// separate object because a slot of that signal can neither disconnect nor
// delete itself while the signal is being emitted: once the creating thread
// is gone the watcher is kept for good (it is tiny) and the job can be freed.
class SignalThread::MainThreadWatcher : public sigslot::has_slots<> {
 public:
  MainThreadWatcher(SignalThread* job, Thread* main) : job_(job) {
    main->SignalQueueDestroyed.connect(this, &MainThreadWatcher::OnQueueDestroyed);
  }

  void Detach() { job_ = nullptr; }

 private:
  void OnQueueDestroyed() {
    if (job_ != nullptr) job_->OnMainThreadDestroyed();
  }

  SignalThread* job_;
};

namespace {

GlobalLockPod g_buried_lock;
std::vector<std::unique_ptr<sigslot::has_slots<>>>* g_buried = nullptr;

// Keeps a watcher whose signal is being destroyed; see MainThreadWatcher.
void Bury(sigslot::has_slots<>* watcher) {
  GlobalLockScope lock(&g_buried_lock);
  if (g_buried == nullptr) {
    g_buried = new std::vector<std::unique_ptr<sigslot::has_slots<>>>();
  }
  g_buried->emplace_back(watcher);
}

}  // namespace

SignalThread::EnterExit::EnterExit(SignalThread* t) : t_(t) {
  // Guards the job's lifetime only; every operation runs on the creating
  // thread, and the worker never takes cs_.
  CritScope lock(&t_->cs_);
  RTC_DCHECK_GT(t_->refcount_, 0);
  ++t_->refcount_;
}

SignalThread::EnterExit::~EnterExit() {
  bool destroy;
  {
    CritScope lock(&t_->cs_);
    destroy = --t_->refcount_ == 0;
  }
  if (destroy) delete t_;
}

SignalThread::Worker::Worker(SignalThread* parent, std::unique_ptr<SocketServer> ss)
    : Thread(ss ? std::move(ss) : std::make_unique<NullSocketServer>(), /*do_init=*/false),
      parent_(parent) {
  DoInit();
}

SignalThread::Worker::~Worker() { Stop(); }

void SignalThread::Worker::Run() { parent_->Run(); }

SignalThread::SignalThread() : SignalThread(nullptr) {}

SignalThread::SignalThread(std::unique_ptr<SocketServer> worker_ss)
    : main_(Thread::Current()), watcher_(nullptr), worker_(this, std::move(worker_ss)) {
  if (main_ != nullptr) {
    watcher_ = new MainThreadWatcher(this, main_);
  } else {
    RTC_LOG(LS_ERROR) << "SignalThread created on a thread without rtc::Thread";
  }
  SetName("SignalThread", this);
}

SignalThread::~SignalThread() {
  RTC_DCHECK_EQ(refcount_, 0);
  delete watcher_;
}

bool SignalThread::SetName(const std::string& name, const void* obj) {
  EnterExit ee(this);
  return worker_.SetName(name, obj);
}

Thread* SignalThread::CreatingThread() {
  CritScope lock(&main_lock_);
  return main_;
}

void SignalThread::Start() {
  EnterExit ee(this);
  if (state_ != kInit && state_ != kComplete) return;
  Thread* main = CreatingThread();
  if (main == nullptr) {
    RTC_LOG(LS_ERROR) << "SignalThread started without a creating thread";
    return;
  }
  state_ = kRunning;
  OnWorkStart();
  if (state_ == kStopping) {
    // Destroyed from inside OnWorkStart: the worker never ran, so no
    // completion will come.
    OnWorkDone();
    ReleaseOwnerRef();
    return;
  }
  if (!worker_.Start()) {
    // Complete at once, so that the owner still hears of the job.
    RTC_LOG(LS_ERROR) << "SignalThread could not start its worker";
    main->Post(RTC_FROM_HERE_WITH_FUNCTION("Run"), this, ST_MSG_WORKER_DONE);
  }
}

void SignalThread::Destroy(bool wait) {
  EnterExit ee(this);
  const bool main_gone = CreatingThread() == nullptr;
  switch (state_) {
    case kInit:
    case kComplete:
      ReleaseOwnerRef();
      break;
    case kRunning:
    case kReleasing:
      state_ = kStopping;
      worker_.Quit();
      OnWorkStop();
      if (wait || main_gone) {
        worker_.Stop();
        ReleaseOwnerRef();
      }
      break;
    case kStopping:
      if (wait) {
        worker_.Stop();
        ReleaseOwnerRef();
      }
      break;
  }
}

void SignalThread::Release() {
  EnterExit ee(this);
  const bool main_gone = CreatingThread() == nullptr;
  switch (state_) {
    case kInit:
    case kComplete:
      ReleaseOwnerRef();
      break;
    case kRunning:
      if (main_gone) {
        // No completion will come: finish here, without a signal.
        state_ = kStopping;
        worker_.Stop();
        ReleaseOwnerRef();
      } else {
        state_ = kReleasing;
      }
      break;
    case kReleasing:
    case kStopping:
      break;
  }
}

bool SignalThread::ContinueWork() {
  RTC_DCHECK(worker_.IsCurrent());
  return worker_.ProcessMessages(0);
}

void SignalThread::OnMessage(Message* msg) {
  EnterExit ee(this);
  if (msg->message_id != ST_MSG_WORKER_DONE) return;
  switch (state_) {
    case kRunning:
    case kReleasing: {
      bool released = state_ == kReleasing;
      // The state is final before any callback runs, so Destroy or Release
      // from inside a callback sees a completed job.
      state_ = kComplete;
      worker_.Stop();
      OnWorkDone();
      if (released) {
        SignalWorkDone(this);
        ReleaseOwnerRef();
      } else if (owner_ref_ && state_ == kComplete) {
        SignalWorkDone(this);
      }
      break;
    }
    case kStopping:
      worker_.Stop();
      OnWorkDone();
      ReleaseOwnerRef();
      break;
    case kInit:
    case kComplete:
      break;
  }
}

void SignalThread::Run() {
  DoWork();
  CritScope lock(&main_lock_);
  if (main_ != nullptr) {
    main_->Post(RTC_FROM_HERE_WITH_FUNCTION("Run"), this, ST_MSG_WORKER_DONE);
  }
}

void SignalThread::OnMainThreadDestroyed() {
  {
    CritScope lock(&main_lock_);
    main_ = nullptr;
  }
  EnterExit ee(this);
  if (watcher_ != nullptr) {
    watcher_->Detach();
    Bury(watcher_);
    watcher_ = nullptr;
  }
  // The completion message can no longer come: a job its owner has let go
  // finishes here, so that it is still freed.
  if (state_ == kReleasing || state_ == kStopping) {
    state_ = kStopping;
    worker_.Stop();
    ReleaseOwnerRef();
  }
}

void SignalThread::ReleaseOwnerRef() {
  if (!owner_ref_) return;
  owner_ref_ = false;
  CritScope lock(&cs_);
  --refcount_;
}

}  // namespace rtc
