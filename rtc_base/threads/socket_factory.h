#ifndef RTC_BASE_THREADS_SOCKET_FACTORY_H_
#define RTC_BASE_THREADS_SOCKET_FACTORY_H_

namespace rtc {

class AsyncSocket;
class Socket;

// Makes sockets. A socket server is one; adapters that layer proxies or TLS
// over another factory are others.
class SocketFactory {
 public:
  virtual ~SocketFactory() = default;

  // Both return an owned socket, or null with errno describing the failure.
  virtual Socket* CreateSocket(int family, int type) = 0;
  virtual AsyncSocket* CreateAsyncSocket(int family, int type) = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_THREADS_SOCKET_FACTORY_H_
