#ifndef RTC_BASE_THREADS_EVENT_H_
#define RTC_BASE_THREADS_EVENT_H_

#include <pthread.h>

namespace rtc {

// A manual- or auto-reset event. Set wakes every waiter; an auto-reset event lets exactly one
// of them through and becomes unsignalled again. Safe from any thread.
class Event {
 public:
  static constexpr int kForever = -1;

  Event();  // Auto-reset, not signalled.
  Event(bool manual_reset, bool initially_signaled);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();

  // Waits until the event is signalled or `give_up_after_ms` has passed (kForever: no limit),
  // measured on the monotonic clock so a wall-clock step neither stretches nor cuts it.
  // Returns true when signalled. `warn_after_ms` marks when a wait counts as long; it does not
  // change the result.
  bool Wait(int give_up_after_ms);
  bool Wait(int give_up_after_ms, int warn_after_ms);

 private:
  pthread_mutex_t event_mutex_;
  pthread_cond_t event_cond_;
  const bool is_manual_reset_;
  bool event_status_;  // Guarded by event_mutex_.
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_EVENT_H_
