// The calling rule of the messaging core: every public operation of the
// service, a channel or the call manager runs on the worker thread that owns
// it. Called from that thread it runs at once; called from any other thread
// it is re-issued there with a synchronous rtc::Thread::Invoke, and the
// caller gets the worker's result.
#ifndef CORE_RTM_INVOKE_H_
#define CORE_RTM_INVOKE_H_

#include <functional>
#include <type_traits>
#include <utility>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/location.h"
#include "rtc_base/threads/thread.h"

namespace vy {

// What a code-returning operation answers once the worker has stopped at
// process exit: "not initialised" in every result family, where a 0 would
// pass for an accepted call.
inline constexpr int kNotRunning = 101;

// Calls `method` of `object` with `args` on `thread` and returns its result.
// Arguments reach the method exactly as given: references stay references to
// the caller's variables (valid, because the caller waits), so an in-out
// argument such as `long long& requestId` is written back. `from` names the
// public operation in the worker's diagnostics; pass RTC_FROM_HERE.
//
// When the worker is quitting (process exit) the method does not run: an int
// result is then kNotRunning, any other result is value-initialised.
template <class Object, class Method, class... Args>
std::invoke_result_t<Method, Object*, Args&&...> InvokeOnThread(rtc::Thread* thread,
                                                                const rtc::Location& from,
                                                                Object* object, Method method,
                                                                Args&&... args) {
  using Result = std::invoke_result_t<Method, Object*, Args&&...>;
  RTC_DCHECK(thread != nullptr);
  if (thread->IsCurrent()) {
    return std::invoke(method, object, std::forward<Args>(args)...);
  }
  if constexpr (std::is_same_v<Result, int>) {
    int result = kNotRunning;
    thread->Invoke<void>(
        from, [&] { result = std::invoke(method, object, std::forward<Args>(args)...); });
    return result;
  } else {
    return thread->Invoke<Result>(
        from, [&]() -> Result { return std::invoke(method, object, std::forward<Args>(args)...); });
  }
}

}  // namespace vy

#endif  // CORE_RTM_INVOKE_H_
