#include "rtc_base/threads/sigslot.h"

#include "rtc_base/base/checks.h"

// Debug builds make the per-signal mutex error-checking, so that a slot that
// re-enters its own multi-threaded signal aborts with a message instead of
// hanging the thread.
#define SIGSLOT_ERRORCHECK_MUTEX RTC_DCHECK_IS_ON

namespace sigslot {

multi_threaded_local::multi_threaded_local() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
#if SIGSLOT_ERRORCHECK_MUTEX
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
#endif
  const int err = pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
  RTC_CHECK_EQ(err, 0) << "pthread_mutex_init failed";
}

multi_threaded_local::~multi_threaded_local() { pthread_mutex_destroy(&mutex_); }

void multi_threaded_local::lock() {
  const int err = pthread_mutex_lock(&mutex_);
  RTC_CHECK_EQ(err, 0) << "A slot connected to, disconnected from, emitted or destroyed the "
                          "multi-threaded signal that is calling it (or the socket that owns "
                          "it). Defer such work until the handler returns, for example with "
                          "rtc::MessageQueue::Dispose.";
}

void multi_threaded_local::unlock() {
  const int err = pthread_mutex_unlock(&mutex_);
  RTC_CHECK_EQ(err, 0) << "sigslot mutex unlocked by a thread that does not "
                          "hold it";
}

}  // namespace sigslot
