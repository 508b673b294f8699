#include "rtc_base/threads/timers.h"

#include <utility>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/time_utils.h"

namespace rtc {

RepeatingTimer::RepeatingTimer(Thread* thread, int intervalMs, std::function<void()> fire)
    : thread_(thread),
      interval_(intervalMs > 0 ? intervalMs : 1),
      next_fire_(TimeMillis() + interval_),
      fire_(std::move(fire)) {
  thread_->PostAt(RTC_FROM_HERE, next_fire_, this);
}

RepeatingTimer::~RepeatingTimer() { invalidate(); }

void RepeatingTimer::invalidate() {
  valid_ = false;
  thread_->Clear(this);
}

void RepeatingTimer::OnMessage(Message* /*msg*/) {
  if (!valid_) return;
  int64_t now = TimeMillis();
  do {
    next_fire_ += interval_;
  } while (next_fire_ <= now);
  thread_->PostAt(RTC_FROM_HERE, next_fire_, this);
  // The call may destroy this timer, so it runs from a copy and nothing is touched after it.
  std::function<void()> fire = fire_;
  if (fire) fire();
}

void DelayedCall::schedule(uint32_t id, int delayMs, std::function<void()> fn) {
  RTC_DCHECK(id != MQID_ANY && id != MQID_DISPOSE);
  thread_->PostDelayed(RTC_FROM_HERE, delayMs, this, id, new ClosureData(std::move(fn)));
}

void DelayedCall::cancel(uint32_t id) { thread_->Clear(this, id); }

}  // namespace rtc
