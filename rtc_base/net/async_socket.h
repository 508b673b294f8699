#ifndef RTC_BASE_NET_ASYNC_SOCKET_H_
#define RTC_BASE_NET_ASYNC_SOCKET_H_

#include <memory>

#include "rtc_base/net/socket.h"
#include "rtc_base/threads/sigslot.h"

namespace rtc {

// A non-blocking socket that reports readiness through signals, emitted on
// the thread that waits on the socket's server.
//
// The read and write signals are multi-threaded: they hold their own
// non-recursive mutex while they emit, so a read or write handler must not
// connect to, disconnect from or destroy its socket. Hand such a socket to
// rtc::MessageQueue::Dispose, or destroy it after the handler returns. The
// connect and close signals are single-threaded; their handlers may
// disconnect themselves or destroy their receiver.
class AsyncSocket : public Socket {
 public:
  AsyncSocket();
  ~AsyncSocket() override;

  AsyncSocket* Accept(SocketAddress* paddr) override = 0;

  // Data can be read, or a connection can be accepted.
  sigslot::signal_with_thread_policy<sigslot::multi_threaded_local, AsyncSocket*> SignalReadEvent;
  // The socket can take more data.
  sigslot::signal_with_thread_policy<sigslot::multi_threaded_local, AsyncSocket*> SignalWriteEvent;
  // The connection is established.
  sigslot::signal_with_thread_policy<sigslot::single_threaded, AsyncSocket*> SignalConnectEvent;
  // Closed by the peer (error 0), failed, or its name did not resolve.
  sigslot::signal_with_thread_policy<sigslot::single_threaded, AsyncSocket*, int> SignalCloseEvent;
};

// Wraps another socket, forwards every operation to it and re-emits its
// signals with itself as the socket, so that layers (TLS, proxies) stack on a
// physical socket. Subclasses override the On...Event handlers.
//
// Without a wrapped socket every operation fails with ENOTCONN, the state is
// closed and no signal is emitted.
class AsyncSocketAdapter : public AsyncSocket, public sigslot::has_slots<> {
 public:
  // Takes ownership of `socket`, which may be null.
  explicit AsyncSocketAdapter(AsyncSocket* socket);
  ~AsyncSocketAdapter() override;

  // Takes ownership of `socket` and listens to it. A socket wrapped before
  // is disconnected and deleted.
  void Attach(AsyncSocket* socket);

  SocketAddress GetLocalAddress() const override;
  SocketAddress GetRemoteAddress() const override;
  int Bind(const SocketAddress& addr) override;
  int Connect(const SocketAddress& addr) override;
  int Send(const void* pv, size_t cb) override;
  int SendTo(const void* pv, size_t cb, const SocketAddress& addr) override;
  int Recv(void* pv, size_t cb, int64_t* timestamp) override;
  int RecvFrom(void* pv, size_t cb, SocketAddress* paddr, int64_t* timestamp) override;
  int Listen(int backlog) override;
  AsyncSocket* Accept(SocketAddress* paddr) override;
  int Close() override;
  int GetError() const override;
  void SetError(int error) override;
  ConnState GetState() const override;
  int GetOption(Option opt, int* value) override;
  int SetOption(Option opt, int value) override;

 protected:
  virtual void OnConnectEvent(AsyncSocket* socket);
  virtual void OnReadEvent(AsyncSocket* socket);
  virtual void OnWriteEvent(AsyncSocket* socket);
  virtual void OnCloseEvent(AsyncSocket* socket, int err);

  std::unique_ptr<AsyncSocket> socket_;

 private:
  // Records ENOTCONN for an operation without a wrapped socket; returns -1.
  int NotConnected();

  // The error reported while there is no wrapped socket.
  int detached_error_ = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_NET_ASYNC_SOCKET_H_
