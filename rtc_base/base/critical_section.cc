#include "rtc_base/base/critical_section.h"

#include <time.h>

#include "rtc_base/base/checks.h"

namespace rtc {

CriticalSection::CriticalSection() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  RTC_CHECK_EQ(pthread_mutex_init(&mutex_, &attr), 0);
  pthread_mutexattr_destroy(&attr);
}

CriticalSection::~CriticalSection() { pthread_mutex_destroy(&mutex_); }

void CriticalSection::OnEntered() const {
  if (recursion_count_++ == 0) owner_.store(CurrentThreadId(), std::memory_order_relaxed);
}

void CriticalSection::Enter() const {
  pthread_mutex_lock(&mutex_);
  OnEntered();
}

bool CriticalSection::TryEnter() const {
  if (pthread_mutex_trylock(&mutex_) != 0) return false;
  OnEntered();
  return true;
}

void CriticalSection::Leave() const {
  RTC_DCHECK(CurrentThreadIsOwner()) << "Leave by a thread that does not hold the lock";
  if (--recursion_count_ == 0) owner_.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex_);
}

bool CriticalSection::CurrentThreadIsOwner() const {
  // Only the owner can have stored its own id, so a relaxed load is enough.
  return owner_.load(std::memory_order_relaxed) == CurrentThreadId();
}

CritScope::CritScope(const CriticalSection* cs) : cs_(cs) { cs_->Enter(); }

CritScope::~CritScope() { cs_->Leave(); }

void GlobalLockPod::Lock() {
  int expected = 0;
  while (!lock_acquired.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
    expected = 0;
    // A zero sleep gives the holder's thread a chance to run.
    const struct timespec ts = {0, 0};
    nanosleep(&ts, nullptr);
  }
}

void GlobalLockPod::Unlock() {
  int expected = 1;
  lock_acquired.compare_exchange_strong(expected, 0, std::memory_order_release,
                                        std::memory_order_relaxed);
}

GlobalLockScope::GlobalLockScope(GlobalLockPod* lock) : lock_(lock) { lock_->Lock(); }

GlobalLockScope::~GlobalLockScope() { lock_->Unlock(); }

}  // namespace rtc
