// A plain (not recursive) mutex that clang's thread-safety analysis understands, and its scoped
// guard. Fields it guards say so with ABSL_GUARDED_BY; the analysis then checks every access.
#ifndef RTC_BASE_BASE_MUTEX_H_
#define RTC_BASE_BASE_MUTEX_H_

#include <mutex>

#include "absl/base/thread_annotations.h"

namespace rtc {

class ABSL_LOCKABLE Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { mutex_.lock(); }
  void Unlock() ABSL_UNLOCK_FUNCTION() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its lifetime.
class ABSL_SCOPED_LOCKABLE MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ABSL_EXCLUSIVE_LOCK_FUNCTION(mutex) : mutex_(mutex) {
    mutex_->Lock();
  }
  ~MutexLock() ABSL_UNLOCK_FUNCTION() { mutex_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

}  // namespace rtc

#endif  // RTC_BASE_BASE_MUTEX_H_
