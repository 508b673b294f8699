#ifndef RTC_BASE_THREADS_SOCKET_SERVER_H_
#define RTC_BASE_THREADS_SOCKET_SERVER_H_

#include <memory>

#include "rtc_base/threads/socket_factory.h"

namespace rtc {

class AsyncSocket;
class MessageQueue;
class Socket;

// What a message queue waits on. A socket server creates sockets (it is a
// socket factory) and blocks until one of them is ready, a time-out passes or
// another thread wakes it. Only WakeUp may be called from a thread other than
// the one that waits.
class SocketServer : public SocketFactory {
 public:
  static constexpr int kForever = -1;

  // A new physical socket server, or null when its wake-up descriptor could
  // not be created (the failure is logged).
  static std::unique_ptr<SocketServer> CreateDefault();

  virtual ~SocketServer() = default;

  // Both return an owned socket, or null with errno describing the failure.
  Socket* CreateSocket(int family, int type) override = 0;
  AsyncSocket* CreateAsyncSocket(int family, int type) override = 0;

  // Tells the server which queue waits on it.
  virtual void SetMessageQueue(MessageQueue* /*queue*/) {}

  // Waits up to `cms` milliseconds (kForever: until woken). With `process_io`
  // false only a wake-up ends the wait early and no socket events are
  // delivered. Returns true on a time-out or a wake-up, false on an error.
  virtual bool Wait(int cms, bool process_io) = 0;

  // As Wait with socket events, but returns once one round of them has been delivered, so
  // that the caller can act on them (send what they queued) before it waits again.
  virtual bool WaitOnce(int cms) { return Wait(cms, true); }

  // Ends the current or the next Wait early. Safe from any thread.
  virtual void WakeUp() = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_SOCKET_SERVER_H_
