#ifndef RTC_BASE_NET_SOCKET_H_
#define RTC_BASE_NET_SOCKET_H_

#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#include "rtc_base/net/socket_address.h"

namespace rtc {

// Whether an error only means the operation would block and will complete
// later (a read or write event follows).
inline bool IsBlockingError(int e) { return e == EWOULDBLOCK || e == EAGAIN || e == EINPROGRESS; }

// A BSD-style socket. Operations return -1 (or null) on failure and leave
// the errno value as the socket's error, which GetError returns.
class Socket {
 public:
  virtual ~Socket() {}

  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  virtual SocketAddress GetLocalAddress() const = 0;
  virtual SocketAddress GetRemoteAddress() const = 0;

  virtual int Bind(const SocketAddress& addr) = 0;
  virtual int Connect(const SocketAddress& addr) = 0;

  // Return the byte count, or -1.
  virtual int Send(const void* pv, size_t cb) = 0;
  virtual int SendTo(const void* pv, size_t cb, const SocketAddress& addr) = 0;
  // The timestamp out-parameter may be null; -1 means no timestamp.
  virtual int Recv(void* pv, size_t cb, int64_t* timestamp) = 0;
  virtual int RecvFrom(void* pv, size_t cb, SocketAddress* paddr, int64_t* timestamp) = 0;

  virtual int Listen(int backlog) = 0;
  // The caller owns the accepted socket; null on failure.
  virtual Socket* Accept(SocketAddress* paddr) = 0;

  virtual int Close() = 0;

  virtual int GetError() const = 0;
  virtual void SetError(int error) = 0;
  bool IsBlocking() const { return IsBlockingError(GetError()); }

  enum ConnState { CS_CLOSED = 0, CS_CONNECTING = 1, CS_CONNECTED = 2 };
  virtual ConnState GetState() const = 0;

  enum Option {
    OPT_DONTFRAGMENT = 0,       // Not supported.
    OPT_RCVBUF = 1,             // SO_RCVBUF
    OPT_SNDBUF = 2,             // SO_SNDBUF
    OPT_REUSEADDR = 3,          // SO_REUSEADDR
    OPT_NODELAY = 4,            // TCP_NODELAY
    OPT_UNSUPPORTED = 5,        // Reserved; always fails.
    OPT_DSCP = 6,               // IP_TOS, the value shifted left by 2 bits.
    OPT_KEEPALIVE = 7,          // SO_KEEPALIVE
    OPT_TCP_KEEPIDLE = 8,       // TCP_KEEPIDLE, seconds
    OPT_TCP_KEEPINTVL = 9,      // TCP_KEEPINTVL, seconds
    OPT_TCP_KEEPCNT = 10,       // TCP_KEEPCNT
    OPT_TCP_USER_TIMEOUT = 11,  // TCP_USER_TIMEOUT, milliseconds
  };
  virtual int GetOption(Option opt, int* value) = 0;
  virtual int SetOption(Option opt, int value) = 0;

 protected:
  Socket() {}
};

}  // namespace rtc

#endif  // RTC_BASE_NET_SOCKET_H_
