// The process-wide worker thread of the messaging core. One thread runs
// every service. It sleeps in its socket server until a descriptor is ready,
// a call or message is posted, or the earliest due time of any service or
// delayed message arrives; each wake then handles the socket events, the
// calls and due messages, drives every live service (DoProcess), deletes the
// released ones and has every TCP client send what it queued (the tick
// registry).
#ifndef CORE_THREAD_MGR_H_
#define CORE_THREAD_MGR_H_

#include <atomic>
#include <map>

#include "absl/base/thread_annotations.h"
#include "rtc_base/base/critical_section.h"
#include "rtc_base/threads/thread.h"

namespace vy {

class VyRtmService;

class ThreadMgr : public rtc::Thread {
 public:
  // The process-wide worker, created and started on first use and stopped
  // at process exit. The object itself is never deleted: an app may release
  // a service (or end a kit) from its own static destructors, after the
  // worker has stopped.
  static ThreadMgr* Inst();

  // Starts the worker. Before that it makes sure the tick registry and the
  // log exist, so that they outlive it at process exit.
  ThreadMgr();
  ~ThreadMgr() override;

  // Registers `service` under `key`, replacing an earlier entry.
  void AddRtm(void* key, VyRtmService* service);
  // Removes the entry of `key`, if any. Waits while a pass drives the
  // services, so a service may delete itself from any thread but the worker.
  void RemoveRtm(void* key);
  // Marks `service` released; the next pass takes it out and deletes it.
  void ReleaseRtm(VyRtmService* service);
  // Number of registered services.
  size_t ServiceCount() const;

  // Stops and joins the worker for good (process exit). Services still
  // registered then are left as they are: nothing drives them any more,
  // and a later release frees nothing (see HasEnded).
  void End();
  // True once End has run. From then on operations do nothing and return
  // value-initialised results, and releases free nothing: what they would
  // tear down (sockets, TLS, the log) may already be gone at exit.
  bool HasEnded() const { return ended_.load(); }

  // The worker loop.
  void Run() override;

 private:
  // One pass over the services: DoProcess of the live ones in ascending key
  // order, then deletion of the released ones outside the lock.
  void ProcessServices();
  // How long the worker may sleep: until the earliest due time of a service or
  // a delayed message (kForever when there is none).
  int NextWaitMs();

  // Recursive: a service's DoProcess may create, release or remove services.
  // The tick registry's lock may be taken inside this one, never the
  // reverse.
  rtc::CriticalSection crit_;
  std::map<void*, VyRtmService*> services_ ABSL_GUARDED_BY(crit_);
  std::atomic<bool> running_{true};
  std::atomic<bool> ended_{false};

  ThreadMgr(const ThreadMgr&) = delete;
  ThreadMgr& operator=(const ThreadMgr&) = delete;
};

}  // namespace vy

#endif  // CORE_THREAD_MGR_H_
