#include "rtc_base/base/platform_thread_types.h"

#include <unistd.h>

#include <cstring>

namespace rtc {

namespace {

// gettid is a system call and a thread's id never changes, so each thread asks once. The child
// of a fork keeps the forking thread's cache but has an id of its own, hence the reset.
thread_local PlatformThreadId cached_thread_id = 0;

void ForgetThreadIdInChild() { cached_thread_id = 0; }

}  // namespace

PlatformThreadId CurrentThreadId() {
  static const bool fork_handler_installed =
      pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild) == 0;
  (void)fork_handler_installed;
  if (cached_thread_id == 0) cached_thread_id = static_cast<PlatformThreadId>(gettid());
  return cached_thread_id;
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
