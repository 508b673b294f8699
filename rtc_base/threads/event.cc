#include "rtc_base/threads/event.h"

#include <errno.h>
#include <time.h>

#include "rtc_base/base/checks.h"
#include "rtc_base/threads/yield_policy.h"

namespace rtc {
namespace {

struct timespec MonotonicDeadline(int ms) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += (ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec++;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

}  // namespace

Event::Event() : Event(false, false) {}

Event::Event(bool manual_reset, bool initially_signaled)
    : is_manual_reset_(manual_reset), event_status_(initially_signaled) {
  RTC_CHECK(pthread_mutex_init(&event_mutex_, nullptr) == 0);
  pthread_condattr_t cond_attr;
  RTC_CHECK(pthread_condattr_init(&cond_attr) == 0);
  pthread_condattr_setclock(&cond_attr, CLOCK_MONOTONIC);
  RTC_CHECK(pthread_cond_init(&event_cond_, &cond_attr) == 0);
  pthread_condattr_destroy(&cond_attr);
}

Event::~Event() {
  pthread_mutex_destroy(&event_mutex_);
  pthread_cond_destroy(&event_cond_);
}

void Event::Set() {
  pthread_mutex_lock(&event_mutex_);
  event_status_ = true;
  pthread_cond_broadcast(&event_cond_);
  pthread_mutex_unlock(&event_mutex_);
}

void Event::Reset() {
  pthread_mutex_lock(&event_mutex_);
  event_status_ = false;
  pthread_mutex_unlock(&event_mutex_);
}

bool Event::Wait(int give_up_after_ms) { return Wait(give_up_after_ms, kForever); }

bool Event::Wait(int give_up_after_ms, int /*warn_after_ms*/) {
  // The warn stage of a two-stage wait has no visible effect, so one wait against the give-up
  // deadline behaves the same.
  const bool forever = give_up_after_ms < 0;
  struct timespec deadline = {};
  if (!forever) deadline = MonotonicDeadline(give_up_after_ms);

  ScopedYieldPolicy::YieldExecution();
  pthread_mutex_lock(&event_mutex_);
  int error = 0;
  while (!event_status_ && error == 0) {
    error = forever ? pthread_cond_wait(&event_cond_, &event_mutex_)
                    : pthread_cond_timedwait(&event_cond_, &event_mutex_, &deadline);
  }
  // Looking at the flag rather than the error counts a Set that raced with the time-out.
  const bool signaled = event_status_;
  if (signaled && !is_manual_reset_) event_status_ = false;
  pthread_mutex_unlock(&event_mutex_);
  return signaled;
}

}  // namespace rtc
