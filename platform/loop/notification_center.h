// A small process-wide notification center. Observers register for a name, optionally for one
// sender only; a post calls every matching observer synchronously on the posting thread, in
// registration order. Any method may be called from any thread and from inside an observer.
#ifndef PLATFORM_LOOP_NOTIFICATION_CENTER_H_
#define PLATFORM_LOOP_NOTIFICATION_CENTER_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rtc_base/base/mutex.h"

namespace vortm {

class NotificationCenter {
 public:
  // `sender` is what the poster passed; its type is fixed by the notification's name.
  using Callback = std::function<void(const std::string& name, const void* sender)>;
  using Token = uint64_t;

  static NotificationCenter& defaultCenter();

  NotificationCenter() = default;

  // Calls `callback` for every post of `name` whose sender is `sender` (null: any sender).
  // Returns a token for remove(); never 0.
  Token observe(const std::string& name, const void* sender, Callback callback);
  // After remove() returns, no post that starts later calls the observer, and neither does the
  // rest of a post running on this thread. A post running on another thread may still be inside
  // the call. Unknown tokens are ignored.
  void remove(Token token);
  void post(const std::string& name, const void* sender);

 private:
  struct Observer {
    Token token;
    std::string name;
    const void* sender;
    Callback callback;
    bool removed = false;  // Guarded by mutex_.
  };

  rtc::Mutex mutex_;
  Token next_token_ ABSL_GUARDED_BY(mutex_) = 1;
  std::vector<std::shared_ptr<Observer>> observers_ ABSL_GUARDED_BY(mutex_);

  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;
};

}  // namespace vortm

#endif  // PLATFORM_LOOP_NOTIFICATION_CENTER_H_
