#ifndef RTC_BASE_THREADS_MESSAGE_HANDLER_H_
#define RTC_BASE_THREADS_MESSAGE_HANDLER_H_

#include <tuple>
#include <utility>

namespace rtc {

struct Message;

// Receiver of queued messages. Its destruction removes every message still
// queued for it from every live queue, so no queue dispatches to a dead
// handler.
class MessageHandler {
 public:
  virtual ~MessageHandler();
  virtual void OnMessage(Message* msg) = 0;

 protected:
  MessageHandler() = default;

 private:
  MessageHandler(const MessageHandler&) = delete;
  MessageHandler& operator=(const MessageHandler&) = delete;
};

// Runs a functor when it receives a message and keeps its result. A handler
// whose message is never delivered keeps a value-initialised result.
template <class ReturnT, class FunctorT>
class FunctorMessageHandler : public MessageHandler {
 public:
  explicit FunctorMessageHandler(FunctorT&& functor) : functor_(std::forward<FunctorT>(functor)) {}
  void OnMessage(Message* /*msg*/) override { result_ = functor_(); }
  const ReturnT& result() const { return result_; }
  ReturnT MoveResult() { return std::move(result_); }

 private:
  std::decay_t<FunctorT> functor_;
  ReturnT result_{};
};

template <class FunctorT>
class FunctorMessageHandler<void, FunctorT> : public MessageHandler {
 public:
  explicit FunctorMessageHandler(FunctorT&& functor) : functor_(std::forward<FunctorT>(functor)) {}
  void OnMessage(Message* /*msg*/) override { functor_(); }
  void result() const {}
  void MoveResult() {}

 private:
  std::decay_t<FunctorT> functor_;
};

// A call of a member function on an object with arguments held by value.
template <class ObjectT, class MethodT, class R, typename... Args>
class MethodFunctor {
 public:
  MethodFunctor(MethodT method, ObjectT* object, Args... args)
      : method_(method), object_(object), args_(args...) {}
  R operator()() const {
    return std::apply([this](const Args&... args) -> R { return (object_->*method_)(args...); },
                      args_);
  }

 private:
  MethodT method_;
  ObjectT* object_;
  std::tuple<typename std::remove_reference<Args>::type...> args_;
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_MESSAGE_HANDLER_H_
