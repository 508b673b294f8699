#include "rtc_base/base/time_utils.h"

#include <sys/time.h>

#include "rtc_base/base/checks.h"

namespace rtc {
namespace {

// Tests install and remove the clock while other threads read it.
std::atomic<ClockInterface*> g_clock{nullptr};
std::atomic<void (*)()> g_clock_hook{nullptr};

void ClockChanged() {
  if (void (*hook)() = g_clock_hook.load(std::memory_order_acquire)) hook();
}

}  // namespace

ClockInterface* SetClockForTesting(ClockInterface* clock) {
  ClockInterface* previous = g_clock.exchange(clock, std::memory_order_acq_rel);
  ClockChanged();
  return previous;
}

void SetClockChangedHook(void (*hook)()) { g_clock_hook.store(hook, std::memory_order_release); }

ClockInterface* GetClockForTesting() { return g_clock.load(std::memory_order_acquire); }

int64_t SystemTimeNanos() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNumNanosecsPerSec + ts.tv_nsec;
}

int64_t SystemTimeMillis() { return SystemTimeNanos() / kNumNanosecsPerMillisec; }

int64_t TimeNanos() {
  if (ClockInterface* clock = g_clock.load(std::memory_order_acquire)) {
    return clock->TimeNanos();
  }
  return SystemTimeNanos();
}

int64_t TimeMicros() { return TimeNanos() / kNumNanosecsPerMicrosec; }

int64_t TimeMillis() { return TimeNanos() / kNumNanosecsPerMillisec; }

uint32_t Time32() { return static_cast<uint32_t>(TimeMillis()); }

int64_t TimeSecond() {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  return tv.tv_sec;
}

int64_t TimeUTCMicros() {
  if (ClockInterface* clock = g_clock.load(std::memory_order_acquire)) {
    return clock->TimeNanos() / kNumNanosecsPerMicrosec;
  }
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * kNumMicrosecsPerSec + tv.tv_usec;
}

int64_t TimeUTCMillis() { return TimeUTCMicros() / kNumMicrosecsPerMillisec; }

int64_t TmToSeconds(const struct tm& tm) {
  static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  static const int kCumulativeDays[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  // 64-bit arithmetic so that a huge tm_year cannot overflow.
  const int64_t year = static_cast<int64_t>(tm.tm_year) + 1900;
  const bool leap = (year % 4 == 0) && (year % 100 != 0 || year % 400 == 0);
  if (tm.tm_year < 70 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_sec < 0 ||
      tm.tm_sec > 59 || tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_hour < 0 || tm.tm_hour > 23) {
    return -1;
  }
  const int month_days = (tm.tm_mon == 1 && leap) ? 29 : kMonthDays[tm.tm_mon];
  if (tm.tm_mday > month_days) return -1;
  // The year/4 terms count the leap day of `year` itself, which has not happened yet in
  // January and February.
  int64_t days = (year - 1970) * 365 + (year / 4 - year / 100 + year / 400 - 478) +
                 kCumulativeDays[tm.tm_mon] + tm.tm_mday;
  if (leap && tm.tm_mon <= 1) --days;
  return ((days * 24 + tm.tm_hour) * 60 + tm.tm_min) * 60 + tm.tm_sec;
}

int64_t TimestampWrapAroundHandler::Unwrap(uint32_t ts) {
  if (num_wrap_ == -1) {
    last_ts_ = ts;
    num_wrap_ = 0;
    return ts;
  }
  if (ts < last_ts_) {
    if (last_ts_ >= 0xf0000000 && ts < 0x0fffffff) ++num_wrap_;
  } else if (ts - last_ts_ > 0xf0000000) {
    // A late timestamp from before the last wrap.
    return static_cast<int64_t>(ts) + (num_wrap_ - 1) * (int64_t{1} << 32);
  }
  last_ts_ = ts;
  return static_cast<int64_t>(ts) + num_wrap_ * (int64_t{1} << 32);
}

int64_t FakeClock::TimeNanos() const { return time_nanos_.load(std::memory_order_acquire); }

void FakeClock::SetTimeNanos(int64_t nanos) {
  time_nanos_.store(nanos, std::memory_order_release);
  if (GetClockForTesting() == this) ClockChanged();
}

void FakeClock::AdvanceTimeNanos(int64_t nanos) {
  RTC_DCHECK_GE(nanos, 0) << "time only moves forward";
  time_nanos_.fetch_add(nanos, std::memory_order_acq_rel);
  if (GetClockForTesting() == this) ClockChanged();
}

ScopedFakeClock::ScopedFakeClock() : prev_clock_(SetClockForTesting(this)) {}

ScopedFakeClock::~ScopedFakeClock() { SetClockForTesting(prev_clock_); }

}  // namespace rtc
