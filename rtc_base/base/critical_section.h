#ifndef RTC_BASE_BASE_CRITICAL_SECTION_H_
#define RTC_BASE_BASE_CRITICAL_SECTION_H_

#include <pthread.h>

#include <atomic>

#include "absl/base/thread_annotations.h"
#include "rtc_base/base/platform_thread_types.h"

namespace rtc {

// The runtime's one lock: a recursive mutex. A thread that holds it may enter it again and
// must leave it as often as it entered.
class ABSL_LOCKABLE CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() const ABSL_EXCLUSIVE_LOCK_FUNCTION();
  bool TryEnter() const ABSL_EXCLUSIVE_TRYLOCK_FUNCTION(true);
  void Leave() const ABSL_UNLOCK_FUNCTION();

  // True when the calling thread holds the lock.
  bool CurrentThreadIsOwner() const;

 private:
  void OnEntered() const;

  mutable pthread_mutex_t mutex_;
  // Written only by the holder; read by any thread to answer CurrentThreadIsOwner.
  mutable std::atomic<PlatformThreadId> owner_{0};
  mutable int recursion_count_ = 0;  // Guarded by mutex_.
};

// Holds a CriticalSection for its lifetime.
class ABSL_SCOPED_LOCKABLE CritScope {
 public:
  explicit CritScope(const CriticalSection* cs) ABSL_EXCLUSIVE_LOCK_FUNCTION(cs);
  ~CritScope() ABSL_UNLOCK_FUNCTION();
  CritScope(const CritScope&) = delete;
  CritScope& operator=(const CritScope&) = delete;

 private:
  const CriticalSection* const cs_;
};

// A spin lock usable as a zero-initialised static, for the rare places that need a lock before
// any constructor has run. Not recursive.
class ABSL_LOCKABLE GlobalLockPod {
 public:
  void Lock() ABSL_EXCLUSIVE_LOCK_FUNCTION();
  void Unlock() ABSL_UNLOCK_FUNCTION();

  std::atomic<int> lock_acquired;  // 0 free, 1 held.
};

class GlobalLock : public GlobalLockPod {
 public:
  GlobalLock() { lock_acquired.store(0, std::memory_order_relaxed); }
};

class ABSL_SCOPED_LOCKABLE GlobalLockScope {
 public:
  explicit GlobalLockScope(GlobalLockPod* lock) ABSL_EXCLUSIVE_LOCK_FUNCTION(lock);
  ~GlobalLockScope() ABSL_UNLOCK_FUNCTION();
  GlobalLockScope(const GlobalLockScope&) = delete;
  GlobalLockScope& operator=(const GlobalLockScope&) = delete;

 private:
  GlobalLockPod* const lock_;
};

}  // namespace rtc

#endif  // RTC_BASE_BASE_CRITICAL_SECTION_H_
