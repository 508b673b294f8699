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
#include "rtc_base/critical_section.h"
#include "rtc_base/thread.h"

namespace vy {

class VyRtmService;

class ThreadMgr : public rtc::Thread {
 public:
  // The process-wide worker, created and started on first use and stopped
  // at process exit.
  static ThreadMgr* Inst();

  // Starts the worker. Before that it makes sure the tick registry and the
  // log exist, so that they outlive it at process exit.
  ThreadMgr();
  // Stops and joins the worker, then deletes the services that were never
  // released.
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

  ThreadMgr(const ThreadMgr&) = delete;
  ThreadMgr& operator=(const ThreadMgr&) = delete;
};

}  // namespace vy

#endif  // CORE_THREAD_MGR_H_
