// A closure carried as message data, and the handler that runs it.
#ifndef RTC_BASE_THREADS_CLOSURE_MESSAGE_H_
#define RTC_BASE_THREADS_CLOSURE_MESSAGE_H_

#include <functional>
#include <memory>
#include <utility>

#include "rtc_base/threads/message_handler.h"
#include "rtc_base/threads/message_queue.h"

namespace rtc {

class ClosureData : public MessageData {
 public:
  explicit ClosureData(std::function<void()> fn) : fn(std::move(fn)) {}
  std::function<void()> fn;
};

// Runs the closure of each message it gets. The message data is owned from dispatch on, so it
// is freed even when the closure destroys whatever posted it.
class ClosureHandler : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    std::unique_ptr<ClosureData> data(static_cast<ClosureData*>(msg->pdata));
    msg->pdata = nullptr;
    if (data && data->fn) data->fn();
  }
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_CLOSURE_MESSAGE_H_
