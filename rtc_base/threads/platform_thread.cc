#include "rtc_base/threads/platform_thread.h"

#include <sched.h>

#include <algorithm>

#include "rtc_base/base/checks.h"

namespace rtc {

PlatformThread::PlatformThread(ThreadRunFunction func, void* obj, absl::string_view thread_name,
                               ThreadPriority priority)
    : run_function_(func), priority_(priority), obj_(obj), name_(thread_name) {
  RTC_DCHECK(func);
  RTC_DCHECK(!name_.empty());
}

PlatformThread::~PlatformThread() {
  RTC_DCHECK(!IsRunning()) << "thread " << name_ << " not stopped";
}

void* PlatformThread::StartThread(void* param) {
  auto* me = static_cast<PlatformThread*>(param);
  SetCurrentThreadName(me->name_.c_str());
  me->SetPriority(me->priority_);
  me->run_function_(me->obj_);
  return nullptr;
}

void PlatformThread::Start() {
  RTC_DCHECK(!thread_) << "thread " << name_ << " already started";
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1024 * 1024);
  RTC_CHECK(0 == pthread_create(&thread_, &attr, &StartThread, this));
  pthread_attr_destroy(&attr);
}

bool PlatformThread::IsRunning() const { return thread_ != 0; }

PlatformThreadRef PlatformThread::GetThreadRef() const { return thread_; }

void PlatformThread::Stop() {
  if (!IsRunning()) return;
  RTC_CHECK(0 == pthread_join(thread_, nullptr));
  thread_ = 0;
}

bool PlatformThread::SetPriority(ThreadPriority priority) {
  if (priority != kRealtimePriority) {
    // First-in first-out for ordinary threads would let a busy one starve the machine when the
    // process has the privilege to get it.
    struct sched_param param = {};
    param.sched_priority = 0;
    return pthread_setschedparam(pthread_self(), SCHED_OTHER, &param) == 0;
  }
  const int policy = SCHED_FIFO;
  const int min_prio = sched_get_priority_min(policy);
  const int max_prio = sched_get_priority_max(policy);
  if (min_prio == -1 || max_prio == -1 || max_prio - min_prio < 3) return false;
  struct sched_param param = {};
  param.sched_priority = max_prio - 1;
  return pthread_setschedparam(pthread_self(), policy, &param) == 0;
}

}  // namespace rtc
