// The flood limit shared by every guarded group of requests: a fixed window of `window_ms`
// opens at the first request and lets `limit` + 1 requests through; later ones are refused
// without being counted until the window has passed. The window never slides and is never
// reset. Windows are measured on the monotonic clock (rtc::TimeMillis), so a wall-clock step
// neither opens nor stalls one.
#ifndef CORE_RATE_LIMITER_H_
#define CORE_RATE_LIMITER_H_

#include <cstdint>

#include "rtc_base/base/time_utils.h"

namespace vy {

class RateLimiter {
 public:
  constexpr RateLimiter(int32_t limit, int64_t window_ms) : limit_(limit), window_ms_(window_ms) {}

  // True when a request may pass now; a passing request counts.
  bool Allow() { return AllowAt(rtc::TimeMillis()); }

  bool AllowAt(int64_t now_ms) {
    if (window_end_ != 0 && now_ms <= window_end_) {
      if (count_ > limit_) return false;
      ++count_;
      return true;
    }
    count_ = 1;
    window_end_ = now_ms + window_ms_;
    return true;
  }

  // The first time from `now_ms` on at which Allow would pass.
  int64_t NextAllowedMs(int64_t now_ms) const {
    return window_end_ != 0 && now_ms <= window_end_ && count_ > limit_ ? window_end_ + 1 : now_ms;
  }

  int32_t count() const { return count_; }
  int64_t window_end() const { return window_end_; }

 private:
  int32_t limit_;
  int64_t window_ms_;
  int32_t count_ = 0;
  int64_t window_end_ = 0;  // 0 while no window has opened
};

}  // namespace vy

#endif  // CORE_RATE_LIMITER_H_
