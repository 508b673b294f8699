#ifndef RTC_BASE_THREADS_YIELD_POLICY_H_
#define RTC_BASE_THREADS_YIELD_POLICY_H_

namespace rtc {

class YieldInterface {
 public:
  virtual ~YieldInterface() = default;
  virtual void YieldExecution() = 0;
};

// Installs a yield policy for the calling thread for its lifetime; Event::Wait calls it before
// it blocks. Scopes nest: the previous policy comes back when the scope ends.
class ScopedYieldPolicy {
 public:
  explicit ScopedYieldPolicy(YieldInterface* policy);
  ~ScopedYieldPolicy();
  ScopedYieldPolicy(const ScopedYieldPolicy&) = delete;
  ScopedYieldPolicy& operator=(const ScopedYieldPolicy&) = delete;

  // Calls the calling thread's policy, if it has one.
  static void YieldExecution();

 private:
  YieldInterface* const previous_;
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_YIELD_POLICY_H_
