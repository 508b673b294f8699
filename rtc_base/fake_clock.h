#ifndef RTC_BASE_FAKE_CLOCK_H_
#define RTC_BASE_FAKE_CLOCK_H_

// rtc::FakeClock and rtc::ScopedFakeClock live beside the clocks they replace.
#include "rtc_base/time_utils.h"

#endif  // RTC_BASE_FAKE_CLOCK_H_
