// Timers of a thread: a repeating timer that keeps to its nominal grid, and delayed calls
// that can be cancelled. Both are made, used and destroyed on the thread they post to; their
// destruction removes every message still queued for them.
#ifndef RTC_BASE_THREADS_TIMERS_H_
#define RTC_BASE_THREADS_TIMERS_H_

#include <stdint.h>

#include <functional>

#include "rtc_base/threads/closure_message.h"
#include "rtc_base/threads/message_handler.h"
#include "rtc_base/threads/thread.h"

namespace rtc {

// Calls `fire` every `intervalMs`, the first time one interval after construction. Each firing is
// due on the grid start + k * interval, not one interval after the previous call, so it never
// drifts; a firing missed because the thread was busy is skipped, not made up. The next firing is
// scheduled before `fire` runs, so at equal due times it comes before what `fire` schedules.
// `fire` may invalidate or destroy the timer.
class RepeatingTimer : public MessageHandler {
 public:
  RepeatingTimer(Thread* thread, int intervalMs, std::function<void()> fire);
  ~RepeatingTimer() override;

  // Stops the timer for good; no call follows, not even one already due.
  void invalidate();
  bool isValid() const { return valid_; }

 private:
  void OnMessage(Message* msg) override;

  Thread* const thread_;
  const int64_t interval_;
  int64_t next_fire_;
  bool valid_ = true;
  std::function<void()> fire_;
};

// Calls run later under an id, and cancelled by id: one handler per owner, one id per kind of
// call. A call may destroy the owner, and with it this object.
class DelayedCall : public ClosureHandler {
 public:
  explicit DelayedCall(Thread* thread) : thread_(thread) {}

  void schedule(uint32_t id, int delayMs, std::function<void()> fn);
  // Drops every pending call with `id`.
  void cancel(uint32_t id);

 private:
  Thread* const thread_;
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_TIMERS_H_
