#ifndef RTC_BASE_BASE_PLATFORM_THREAD_TYPES_H_
#define RTC_BASE_BASE_PLATFORM_THREAD_TYPES_H_

#include <pthread.h>

#include <cstdint>

namespace rtc {

// The kernel's id of a thread (gettid), as shown in log lines.
typedef uint32_t PlatformThreadId;
typedef pthread_t PlatformThreadRef;

PlatformThreadId CurrentThreadId();
PlatformThreadRef CurrentThreadRef();
bool IsThreadRefEqual(const PlatformThreadRef& a, const PlatformThreadRef& b);

// Names the calling thread. Linux keeps at most 15 characters, so longer names are cut.
void SetCurrentThreadName(const char* name);

}  // namespace rtc

#endif  // RTC_BASE_BASE_PLATFORM_THREAD_TYPES_H_
