#ifndef RTC_BASE_BASE_TIME_UTILS_H_
#define RTC_BASE_BASE_TIME_UTILS_H_

#include <stdint.h>
#include <time.h>

#include <atomic>

namespace rtc {

constexpr int64_t kNumMillisecsPerSec = 1000;
constexpr int64_t kNumMicrosecsPerSec = 1000000;
constexpr int64_t kNumNanosecsPerSec = 1000000000;
constexpr int64_t kNumMicrosecsPerMillisec = 1000;
constexpr int64_t kNumNanosecsPerMillisec = 1000000;
constexpr int64_t kNumNanosecsPerMicrosec = 1000;

// A clock that tests install in place of the system clocks.
class ClockInterface {
 public:
  virtual ~ClockInterface() = default;
  virtual int64_t TimeNanos() const = 0;
};

// Installs `clock` (or removes the installed one with null) and returns the one it replaces.
// While a clock is installed every time function below reads it, except SystemTimeNanos,
// SystemTimeMillis and TimeSecond.
ClockInterface* SetClockForTesting(ClockInterface* clock);
ClockInterface* GetClockForTesting();

// Called after a test clock is installed, removed, set or advanced, so that threads sleeping
// until a due time look at the clock again. One hook per process; null removes it.
void SetClockChangedHook(void (*hook)());

// Monotonic time (CLOCK_MONOTONIC), never the test clock.
int64_t SystemTimeNanos();
int64_t SystemTimeMillis();

// Monotonic time, or the test clock's time when one is installed. Deadlines and intervals use
// these.
int64_t TimeNanos();
int64_t TimeMicros();
int64_t TimeMillis();
// The low 32 bits of TimeMillis; wraps after about 49.7 days.
uint32_t Time32();

inline int64_t TimeAfter(int64_t elapsed) { return TimeMillis() + elapsed; }
inline int64_t TimeDiff(int64_t later, int64_t earlier) { return later - earlier; }
// Difference of two Time32 values, correct across the wrap while they are less than 2^31 ms
// apart.
inline int32_t TimeDiff32(uint32_t later, uint32_t earlier) {
  return static_cast<int32_t>(later - earlier);
}
inline int64_t TimeSince(int64_t earlier) { return TimeMillis() - earlier; }
inline int64_t TimeUntil(int64_t later) { return later - TimeMillis(); }

// Wall-clock seconds since 1970 (gettimeofday), 0 on failure. Ignores the test clock.
int64_t TimeSecond();

// Wall-clock time since 1970 for values that go on the wire or to the app, or the test clock's
// time when one is installed.
int64_t TimeUTCMicros();
int64_t TimeUTCMillis();

// Seconds since 1970 of a UTC broken-down time, or -1 when a field is out of range or the year
// is before 1970.
int64_t TmToSeconds(const struct tm& tm);

// Extends 32-bit timestamps that wrap around to 64 bits.
class TimestampWrapAroundHandler {
 public:
  TimestampWrapAroundHandler() = default;
  // A timestamp just before a wrap that arrives after it (a backwards wrap) comes back without
  // the last wrap added. Before the first wrap that result is t - 2^32, a negative value.
  int64_t Unwrap(uint32_t ts);

 private:
  uint32_t last_ts_ = 0;
  int64_t num_wrap_ = -1;
};

// A manual clock for tests. It starts at 1,000,000 ms so that 0, which many callers treat as
// "unset", never looks like a current time.
class FakeClock : public ClockInterface {
 public:
  FakeClock() = default;
  int64_t TimeNanos() const override;
  void SetTimeNanos(int64_t nanos);
  void SetTimeMicros(int64_t micros) { SetTimeNanos(micros * kNumNanosecsPerMicrosec); }
  void SetTimeMillis(int64_t millis) { SetTimeNanos(millis * kNumNanosecsPerMillisec); }
  void AdvanceTimeNanos(int64_t nanos);
  void AdvanceTimeMicros(int64_t micros) { AdvanceTimeNanos(micros * kNumNanosecsPerMicrosec); }
  void AdvanceTime(int64_t millis) { AdvanceTimeNanos(millis * kNumNanosecsPerMillisec); }

 private:
  std::atomic<int64_t> time_nanos_{1000000 * kNumNanosecsPerMillisec};
};

// Installs a FakeClock for its lifetime and puts the previous clock back when it ends.
class ScopedFakeClock : public FakeClock {
 public:
  ScopedFakeClock();
  ~ScopedFakeClock() override;
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;

 private:
  ClockInterface* prev_clock_;
};

}  // namespace rtc

#endif  // RTC_BASE_BASE_TIME_UTILS_H_
