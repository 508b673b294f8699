#ifndef RTC_BASE_THREADS_NULL_SOCKET_SERVER_H_
#define RTC_BASE_THREADS_NULL_SOCKET_SERVER_H_

#include "rtc_base/threads/event.h"
#include "rtc_base/threads/socket_server.h"

namespace rtc {

// A socket server without sockets, for threads that only process messages.
// It needs no descriptor: waits and wake-ups go through an auto-reset event.
class NullSocketServer : public SocketServer {
 public:
  NullSocketServer();
  ~NullSocketServer() override;

  bool Wait(int cms, bool process_io) override;
  void WakeUp() override;

  // Always null: this server has no sockets.
  Socket* CreateSocket(int family, int type) override;
  AsyncSocket* CreateAsyncSocket(int family, int type) override;

 private:
  Event event_;
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_NULL_SOCKET_SERVER_H_
