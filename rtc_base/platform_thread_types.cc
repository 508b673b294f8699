#include "rtc_base/platform_thread_types.h"

#include <unistd.h>

#include <cstring>

namespace rtc {

PlatformThreadId CurrentThreadId() {
  // gettid is a system call; a thread's id never changes, so ask once per thread.
  thread_local PlatformThreadId id = static_cast<PlatformThreadId>(gettid());
  return id;
}

PlatformThreadRef CurrentThreadRef() { return pthread_self(); }

bool IsThreadRefEqual(const PlatformThreadRef& a, const PlatformThreadRef& b) {
  return pthread_equal(a, b) != 0;
}

void SetCurrentThreadName(const char* name) {
  if (!name) return;
  char buf[16];
  strncpy(buf, name, sizeof(buf) - 1);
  buf[sizeof(buf) - 1] = '\0';
  pthread_setname_np(pthread_self(), buf);
}

}  // namespace rtc
