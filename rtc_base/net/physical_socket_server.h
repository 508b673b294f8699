#ifndef RTC_BASE_NET_PHYSICAL_SOCKET_SERVER_H_
#define RTC_BASE_NET_PHYSICAL_SOCKET_SERVER_H_

#include <poll.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "rtc_base/base/critical_section.h"
#include "rtc_base/net/async_resolver_interface.h"
#include "rtc_base/net/async_socket.h"
#include "rtc_base/threads/sigslot.h"
#include "rtc_base/threads/socket_server.h"

// Rules for socket handlers (every AsyncSocket signal of these sockets is
// emitted on the thread that waits on the server, with the server's lock
// held):
// - Never destroy a socket from inside one of its own handlers; close it, or
//   hand it to MessageQueue::Dispose.
// - Never block inside a handler waiting on a thread that needs this server.
// - Close and destroy a socket on the thread that waits on its server.
// - Events are one-shot: after a read event, read until Recv fails with
//   EWOULDBLOCK, or no further read (or close) event comes.

namespace rtc {

// Event flags of a dispatcher.
enum DispatcherEvent : uint8_t {
  DE_READ = 0x0001,
  DE_WRITE = 0x0002,
  DE_CONNECT = 0x0004,
  DE_CLOSE = 0x0008,
  DE_ACCEPT = 0x0010,
};

// Everything the server's wait loop serves: one descriptor and the events
// it wants.
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  virtual uint32_t GetRequestedEvents() = 0;
  virtual void OnPreEvent(uint32_t ff) = 0;
  virtual void OnEvent(uint32_t ff, int err) = 0;
  virtual int GetDescriptor() = 0;
  virtual bool IsDescriptorClosed() = 0;
};

class PosixSignalDispatcher;
class Signaler;

// Makes the resolver a socket uses to connect to a host name.
using AsyncResolverFactory = std::function<AsyncResolverInterface*()>;

// Installs the process-wide resolver factory; set it before sockets connect
// to names. Without one (or after a null one) sockets use rtc::AsyncResolver
// (getaddrinfo on a worker thread). A factory that returns null makes
// connects to host names fail with EHOSTUNREACH.
void SetAsyncResolverFactory(AsyncResolverFactory factory);

// A socket server over non-blocking BSD sockets: one poll() per pass over
// every registered dispatcher, and an eventfd through which WakeUp ends the
// wait. Descriptors of any number work.
class PhysicalSocketServer : public SocketServer {
 public:
  PhysicalSocketServer();
  ~PhysicalSocketServer() override;

  // False when the wake-up descriptor could not be created; such a server
  // fails every Wait. CreateDefault never returns one.
  bool IsValid() const;

  // SocketServer:
  Socket* CreateSocket(int family, int type) override;
  AsyncSocket* CreateAsyncSocket(int family, int type) override;
  bool Wait(int cms, bool process_io) override;
  bool WaitOnce(int cms) override;
  void WakeUp() override;

  // An asynchronous socket over an existing descriptor, which it owns from
  // then on (null on failure).
  virtual AsyncSocket* WrapSocket(int s);

  // Changes on the dispatcher set made while events are delivered take
  // effect after the current pass; a dispatcher removed during a pass gets
  // no further events in it.
  void Add(Dispatcher* dispatcher);
  void Remove(Dispatcher* dispatcher);

  // Calls `handler` on the waiting thread when `signum` arrives (SIG_DFL and
  // SIG_IGN restore the default or ignore it). Signals 0 to 127.
  virtual bool SetPosixSignalHandler(int signum, void (*handler)(int));

 private:
  using DispatcherSet = std::set<Dispatcher*>;

  bool DoWait(int cms, bool process_io, bool once);
  // Whether `dispatcher` may still get events in this pass.
  bool IsLiveLocked(Dispatcher* dispatcher) const ABSL_EXCLUSIVE_LOCKS_REQUIRED(crit_);
  void AddRemovePendingDispatchers() ABSL_EXCLUSIVE_LOCKS_REQUIRED(crit_);

  std::unique_ptr<PosixSignalDispatcher> signal_dispatcher_;
  DispatcherSet dispatchers_ ABSL_GUARDED_BY(crit_);
  DispatcherSet pending_add_dispatchers_ ABSL_GUARDED_BY(crit_);
  DispatcherSet pending_remove_dispatchers_ ABSL_GUARDED_BY(crit_);
  bool processing_dispatchers_ ABSL_GUARDED_BY(crit_) = false;
  std::unique_ptr<Signaler> signal_wakeup_;
  CriticalSection crit_;
  // Cleared by the wake-up dispatcher to end Wait; waiting thread only.
  bool fWait_ = false;

  // What the current pass polls; waiting thread only.
  struct Polled {
    Dispatcher* dispatcher;
    uint32_t requested;
  };
  std::vector<struct pollfd> poll_fds_;
  std::vector<Polled> polled_;
};

// A non-blocking BSD socket. Not registered with the server by itself, so
// it gets no events; SocketDispatcher is the registered kind.
class PhysicalSocket : public AsyncSocket, public sigslot::has_slots<> {
 public:
  PhysicalSocket(PhysicalSocketServer* ss, int s = -1);
  ~PhysicalSocket() override;

  // Creates the descriptor (closing any previous one).
  virtual bool Create(int family, int type);

  SocketAddress GetLocalAddress() const override;
  SocketAddress GetRemoteAddress() const override;

  int Bind(const SocketAddress& bind_addr) override;
  // Connecting to an unresolved host name resolves it first. A failed
  // resolution or connect closes the socket and emits SignalCloseEvent with
  // the error: a negative error is the resolver's, a positive one an errno.
  int Connect(const SocketAddress& addr) override;

  int GetError() const override;
  void SetError(int error) override;

  ConnState GetState() const override;

  int GetOption(Option opt, int* value) override;
  int SetOption(Option opt, int value) override;

  int Send(const void* pv, size_t cb) override;
  int SendTo(const void* buffer, size_t length, const SocketAddress& addr) override;

  // End of stream reads as -1 with EWOULDBLOCK; the close event follows on
  // the next pass.
  int Recv(void* buffer, size_t length, int64_t* timestamp) override;
  int RecvFrom(void* buffer, size_t length, SocketAddress* out_addr, int64_t* timestamp) override;

  int Listen(int backlog) override;
  AsyncSocket* Accept(SocketAddress* out_addr) override;

  int Close() override;

  SocketServer* socketserver() { return ss_; }

 protected:
  int DoConnect(const SocketAddress& connect_addr);

  // The raw calls; sends never raise SIGPIPE.
  virtual int DoAccept(int socket, sockaddr* addr, socklen_t* addrlen);
  virtual int DoSend(int socket, const char* buf, int len, int flags);
  virtual int DoSendTo(int socket, const char* buf, int len, int flags,
                       const struct sockaddr* dest_addr, socklen_t addrlen);

  void OnResolveResult(AsyncResolverInterface* resolver);

  void UpdateLastError();

  uint8_t enabled_events() const { return enabled_events_; }
  virtual void SetEnabledEvents(uint8_t events);
  virtual void EnableEvents(uint8_t events);
  virtual void DisableEvents(uint8_t events);

  static int TranslateOption(Option opt, int* slevel, int* sopt);

  PhysicalSocketServer* ss_;
  int s_;
  // Counts closes. A socket closed and re-created inside an event handler usually gets the
  // same descriptor number back, so only this tells the two descriptors apart.
  uint64_t generation_ = 0;
  int family_ = AF_UNSPEC;
  bool udp_;
  mutable CriticalSection crit_;
  int error_ ABSL_GUARDED_BY(crit_);
  ConnState state_;
  AsyncResolverInterface* resolver_ = nullptr;

 private:
  uint8_t enabled_events_ = 0;
};

// A PhysicalSocket registered with its server, which turns readiness into
// the socket's signals.
class SocketDispatcher : public Dispatcher, public PhysicalSocket {
 public:
  explicit SocketDispatcher(PhysicalSocketServer* ss);
  SocketDispatcher(int s, PhysicalSocketServer* ss);
  ~SocketDispatcher() override;

  // Makes the descriptor non-blocking and close-on-exec and registers it.
  bool Initialize();

  virtual bool Create(int type);
  bool Create(int family, int type) override;

  int GetDescriptor() override;
  bool IsDescriptorClosed() override;

  uint32_t GetRequestedEvents() override;
  void OnPreEvent(uint32_t ff) override;
  void OnEvent(uint32_t ff, int err) override;

  int Close() override;
};

}  // namespace rtc

#endif  // RTC_BASE_NET_PHYSICAL_SOCKET_SERVER_H_
