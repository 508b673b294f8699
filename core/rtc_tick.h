// The tick registry: objects that want a call on every pass of the worker
// thread (the TCP client flushes its send buffer this way) register an
// RtcTick here under an owner key.
#ifndef CORE_RTC_TICK_H_
#define CORE_RTC_TICK_H_

#include <map>
#include <utility>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "rtc_base/base/critical_section.h"

namespace vy {

class MThreadTick;

// Receives a call on every worker pass while registered.
class RtcTick {
 public:
  virtual ~RtcTick() = default;

  // Called on the worker thread with the registry's lock held. It may
  // register or unregister ticks, itself included.
  virtual void OnTick() = 0;
  // Called once after UnAttachRtcTick has taken the tick out, without the
  // registry's lock.
  virtual void OnTickUnAttach() = 0;

 private:
  friend class MThreadTick;
  // Set by UnAttachRtcTick; guarded by the registry's lock.
  bool detach_ = false;
};

// The process-wide registry, ticked by the worker thread at the start of
// every pass. Registration may come from any thread.
class MThreadTick {
 public:
  static MThreadTick* Inst();

  MThreadTick();
  ~MThreadTick();

  // Registers `tick` under `owner`, replacing an earlier tick of that owner.
  void RegisteRtcTick(void* owner, RtcTick* tick);
  // Removes the owner's tick, if any, without OnTickUnAttach. Once this
  // returns the tick is not called again (a pass in progress on another
  // thread is waited for).
  void UnRegisteRtcTick(void* owner);
  // Marks the owner's tick; the next pass removes it and calls its
  // OnTickUnAttach.
  void UnAttachRtcTick(void* owner);

  // One pass: removes the marked ticks, calls OnTick of the others in
  // ascending owner order, then OnTickUnAttach of the removed ones. A tick
  // registered during the pass is first called on the next one.
  void DoProcess();

  // Number of registered ticks.
  size_t size() const;

 private:
  // Recursive, and held while the ticks run, so that a tick may change the
  // registry from inside OnTick.
  rtc::CriticalSection crit_;
  std::map<void*, RtcTick*> ticks_ ABSL_GUARDED_BY(crit_);
  // The ticks of the pass in progress, kept so that a pass allocates nothing once warm.
  std::vector<std::pair<void*, RtcTick*>> pass_ ABSL_GUARDED_BY(crit_);

  MThreadTick(const MThreadTick&) = delete;
  MThreadTick& operator=(const MThreadTick&) = delete;
};

}  // namespace vy

#endif  // CORE_RTC_TICK_H_
