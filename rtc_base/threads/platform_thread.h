#ifndef RTC_BASE_THREADS_PLATFORM_THREAD_H_
#define RTC_BASE_THREADS_PLATFORM_THREAD_H_

#include <string>

#include "absl/strings/string_view.h"
#include "rtc_base/base/platform_thread_types.h"

namespace rtc {

enum ThreadPriority {
  kLowPriority = 1,
  kNormalPriority = 2,
  kHighPriority = 3,
  kHighestPriority = 4,
  kRealtimePriority = 5,
};

typedef void (*ThreadRunFunction)(void*);

// A named OS thread with a 1 MiB stack that runs one function with one argument.
class PlatformThread {
 public:
  PlatformThread(ThreadRunFunction func, void* obj, absl::string_view thread_name,
                 ThreadPriority priority = kNormalPriority);
  virtual ~PlatformThread();
  PlatformThread(const PlatformThread&) = delete;
  PlatformThread& operator=(const PlatformThread&) = delete;

  const std::string& name() const { return name_; }

  // Starts the thread; a failure to create it is fatal.
  void Start();
  bool IsRunning() const;
  PlatformThreadRef GetThreadRef() const;
  // Waits for the run function to return. Does nothing when not started.
  void Stop();

 protected:
  // Applies `priority` to the running thread. Every priority below real-time keeps the normal
  // time-sharing policy; only real-time asks for first-in first-out scheduling, which needs
  // privileges. True when the scheduler accepted it.
  bool SetPriority(ThreadPriority priority);

 private:
  static void* StartThread(void* param);

  const ThreadRunFunction run_function_;
  const ThreadPriority priority_;
  void* const obj_;
  const std::string name_;
  pthread_t thread_ = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_PLATFORM_THREAD_H_
