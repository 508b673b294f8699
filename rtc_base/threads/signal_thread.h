// A one-shot background job. It is started and completed on the thread that
// created it (which must have an rtc::Thread); only its work step, DoWork,
// runs on a worker thread of its own. Completion comes back to the creating
// thread as message 0, then OnWorkDone runs and SignalWorkDone is emitted.
//
// Lifetime: the creator holds one reference and gives it up with Release
// (keep the job running, delete it once done) or Destroy (stop it; with
// wait, delete it before returning). Either may be called from inside the
// job's own callbacks. Never delete a job directly.
#ifndef RTC_BASE_THREADS_SIGNAL_THREAD_H_
#define RTC_BASE_THREADS_SIGNAL_THREAD_H_

#include <memory>
#include <string>

#include "absl/base/thread_annotations.h"
#include "rtc_base/base/critical_section.h"
#include "rtc_base/threads/message_handler.h"
#include "rtc_base/threads/sigslot.h"
#include "rtc_base/threads/socket_server.h"
#include "rtc_base/threads/thread.h"

namespace rtc {

class SignalThread : public sigslot::has_slots<>, protected MessageHandler {
 public:
  SignalThread();
  // A job whose worker waits on `worker_ss`, for work that needs sockets of its own; null
  // gives the worker no sockets.
  explicit SignalThread(std::unique_ptr<SocketServer> worker_ss);

  // Names the worker thread: `name`, then " 0x%p" of `obj` when not null.
  bool SetName(const std::string& name, const void* obj);

  // From the initial or the complete state: OnWorkStart on the calling
  // thread, then the worker runs DoWork. Ignored in other states.
  void Start();

  // Stops the job. With `wait` false a running job is asked to stop and
  // deletes itself once its completion message comes, without emitting
  // SignalWorkDone; with `wait` true the worker is joined and the job is
  // deleted before this returns. A job that is not running is deleted at
  // once.
  virtual void Destroy(bool wait);

  // Lets a running job finish: it emits SignalWorkDone and then deletes
  // itself. A job that is not running is deleted at once.
  void Release();

  // Emitted on the creating thread when the work is done.
  sigslot::signal1<SignalThread*, sigslot::single_threaded> SignalWorkDone;

  enum { ST_MSG_WORKER_DONE, ST_MSG_FIRST_AVAILABLE };

 protected:
  ~SignalThread() override;

  Thread* worker() { return &worker_; }

  // Called on the creating thread when the job starts.
  virtual void OnWorkStart() {}
  // The work step, on the worker thread, without the job's lock. A long
  // step polls ContinueWork.
  virtual void DoWork() = 0;
  // Called on the creating thread by Destroy while DoWork may still run.
  virtual void OnWorkStop() {}
  // Called on the creating thread when the completion message arrives, also
  // after Destroy(false).
  virtual void OnWorkDone() {}

  // For DoWork: handles the worker's messages; false once the job is asked
  // to stop.
  bool ContinueWork();

  void OnMessage(Message* msg) override;

 private:
  enum State {
    kInit = 0,
    kRunning = 1,
    kReleasing = 2,
    kComplete = 3,
    kStopping = 4,
  };

  class Worker : public Thread {
   public:
    Worker(SignalThread* parent, std::unique_ptr<SocketServer> ss);
    ~Worker() override;
    void Run() override;

   private:
    SignalThread* const parent_;
  };

  // Every public operation holds a reference while it runs; the job is
  // deleted when the last reference goes. The lock is held only to count,
  // never across a callback: callbacks run with other locks held (a socket
  // server's, for one), and holding cs_ through them would order cs_ both
  // before and after those locks.
  class EnterExit {
   public:
    explicit EnterExit(SignalThread* t);
    ~EnterExit();

   private:
    SignalThread* const t_;
  };

  class MainThreadWatcher;

  // On the worker thread.
  void Run();
  // On the creating thread, while its queue is being destroyed.
  void OnMainThreadDestroyed();
  // The creating thread, or null once its queue is destroyed.
  Thread* CreatingThread() ABSL_LOCKS_EXCLUDED(main_lock_);
  // Gives up the creator's reference once; later calls do nothing.
  void ReleaseOwnerRef() ABSL_LOCKS_EXCLUDED(cs_);

  // Cleared when the creating thread's queue is destroyed. The worker reads
  // it under its own small lock, so that it never takes cs_.
  Thread* main_ ABSL_GUARDED_BY(main_lock_);
  CriticalSection main_lock_;
  // Listens for the creating thread's end; null once that thread is gone.
  // Creating thread only, like state_ and owner_ref_.
  MainThreadWatcher* watcher_;
  Worker worker_;
  CriticalSection cs_;
  State state_ = kInit;
  int refcount_ ABSL_GUARDED_BY(cs_) = 1;
  bool owner_ref_ = true;

  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_SIGNAL_THREAD_H_
