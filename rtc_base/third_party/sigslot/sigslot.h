#ifndef RTC_BASE_THIRD_PARTY_SIGSLOT_SIGSLOT_H_
#define RTC_BASE_THIRD_PARTY_SIGSLOT_SIGSLOT_H_

// The signals live in rtc_base/sigslot.h; this path is kept for code that
// includes them from here.
#include "rtc_base/sigslot.h"

#endif  // RTC_BASE_THIRD_PARTY_SIGSLOT_SIGSLOT_H_
