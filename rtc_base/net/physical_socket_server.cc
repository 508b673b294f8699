#include "rtc_base/net/physical_socket_server.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/mutex.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/net/async_resolver.h"

namespace rtc {
namespace {

constexpr int kInvalidSocket = -1;
constexpr int kSocketError = -1;

Mutex g_resolver_factory_mutex;
// Empty while the default resolver is in use.
AsyncResolverFactory& ResolverFactory() ABSL_EXCLUSIVE_LOCKS_REQUIRED(g_resolver_factory_mutex) {
  static AsyncResolverFactory* factory = new AsyncResolverFactory();
  return *factory;
}

AsyncResolverInterface* CreateResolver() {
  MutexLock lock(&g_resolver_factory_mutex);
  const AsyncResolverFactory& factory = ResolverFactory();
  if (!factory) return new AsyncResolver();
  return factory();
}

// Reads one end's address of `s` with getsockname or getpeername; a failure
// is logged with `failure` and gives an empty address.
SocketAddress QueryAddress(int s, decltype(&::getsockname) query, const char* failure) {
  sockaddr_storage addr_storage = {};
  socklen_t addrlen = sizeof(addr_storage);
  sockaddr* addr = reinterpret_cast<sockaddr*>(&addr_storage);
  int result = query(s, addr, &addrlen);
  SocketAddress address;
  if (result >= 0) {
    SocketAddressFromSockAddrStorage(addr_storage, &address);
  } else {
    RTC_LOG(LS_WARNING) << failure << s;
  }
  return address;
}

}  // namespace

void SetAsyncResolverFactory(AsyncResolverFactory factory) {
  MutexLock lock(&g_resolver_factory_mutex);
  ResolverFactory() = std::move(factory);
}

std::unique_ptr<SocketServer> SocketServer::CreateDefault() {
  auto ss = std::make_unique<PhysicalSocketServer>();
  if (!ss->IsValid()) return nullptr;
  return ss;
}

//------------------------------------------------------------------
// PhysicalSocket

PhysicalSocket::PhysicalSocket(PhysicalSocketServer* ss, int s)
    : ss_(ss),
      s_(s),
      udp_(false),
      error_(0),
      state_((s == kInvalidSocket) ? CS_CLOSED : CS_CONNECTED) {
  if (s_ != kInvalidSocket) {
    SetEnabledEvents(DE_READ | DE_WRITE);
    int type = SOCK_STREAM;
    socklen_t len = sizeof(type);
    const int res = getsockopt(s_, SOL_SOCKET, SO_TYPE, &type, &len);
    RTC_DCHECK_EQ(0, res);
    udp_ = (SOCK_DGRAM == type);
    sockaddr_storage addr;
    socklen_t addr_len = sizeof(addr);
    if (getsockname(s_, reinterpret_cast<sockaddr*>(&addr), &addr_len) == 0)
      family_ = addr.ss_family;
  }
}

PhysicalSocket::~PhysicalSocket() { Close(); }

bool PhysicalSocket::Create(int family, int type) {
  Close();
  s_ = ::socket(family, type | SOCK_CLOEXEC, 0);
  udp_ = (SOCK_DGRAM == type);
  family_ = family;
  UpdateLastError();
  if (udp_) SetEnabledEvents(DE_READ | DE_WRITE);
  return s_ != kInvalidSocket;
}

SocketAddress PhysicalSocket::GetLocalAddress() const {
  return QueryAddress(s_, &::getsockname, "GetLocalAddress: unable to get local addr, socket=");
}

SocketAddress PhysicalSocket::GetRemoteAddress() const {
  return QueryAddress(s_, &::getpeername, "GetRemoteAddress: unable to get remote addr, socket=");
}

int PhysicalSocket::Bind(const SocketAddress& bind_addr) {
  sockaddr_storage addr_storage;
  size_t len = bind_addr.ToSockAddrStorage(&addr_storage);
  sockaddr* addr = reinterpret_cast<sockaddr*>(&addr_storage);
  int err = ::bind(s_, addr, static_cast<socklen_t>(len));
  UpdateLastError();
  return err;
}

int PhysicalSocket::Connect(const SocketAddress& addr) {
  if (state_ != CS_CLOSED) {
    SetError(EALREADY);
    return kSocketError;
  }
  if (addr.IsUnresolvedIP()) {
    RTC_LOG(LS_VERBOSE) << "Resolving addr in PhysicalSocket::Connect";
    AsyncResolverInterface* resolver = CreateResolver();
    if (!resolver) {
      RTC_LOG(LS_ERROR) << "No resolver to connect to " << addr.hostname();
      SetError(EHOSTUNREACH);
      return kSocketError;
    }
    resolver_ = resolver;
    resolver_->SignalDone.connect(this, &PhysicalSocket::OnResolveResult);
    resolver_->Start(addr);
    state_ = CS_CONNECTING;
    return 0;
  }
  return DoConnect(addr);
}

int PhysicalSocket::DoConnect(const SocketAddress& connect_addr) {
  if ((s_ == kInvalidSocket) && !Create(connect_addr.family(), SOCK_STREAM)) return kSocketError;
  sockaddr_storage addr_storage;
  size_t len = connect_addr.ToSockAddrStorage(&addr_storage);
  sockaddr* addr = reinterpret_cast<sockaddr*>(&addr_storage);
  int err = ::connect(s_, addr, static_cast<socklen_t>(len));
  UpdateLastError();
  uint8_t events = DE_READ | DE_WRITE;
  if (err == 0) {
    state_ = CS_CONNECTED;
  } else if (IsBlockingError(GetError())) {
    state_ = CS_CONNECTING;
    events |= DE_CONNECT;
  } else {
    return kSocketError;
  }
  EnableEvents(events);
  return 0;
}

void PhysicalSocket::OnResolveResult(AsyncResolverInterface* resolver) {
  // A resolver this socket has given up may still report.
  if (resolver != resolver_) return;

  int error = resolver_->GetError();
  if (error == 0) {
    // An address of the socket's own family first, so that a socket created
    // for IPv4 does not try an IPv6 result it cannot connect to.
    SocketAddress address;
    if (family_ == AF_UNSPEC || !resolver_->GetResolvedAddress(family_, &address))
      address = resolver_->address();
    if (DoConnect(address) == 0) return;
    error = GetError();
    if (error == 0) error = EHOSTUNREACH;
  }
  // Close forgets the resolver, which deletes itself once its signal is
  // over.
  Close();
  SetError(error);
  SignalCloseEvent(this, error);
}

int PhysicalSocket::GetError() const {
  CritScope cs(&crit_);
  return error_;
}

void PhysicalSocket::SetError(int error) {
  CritScope cs(&crit_);
  error_ = error;
}

Socket::ConnState PhysicalSocket::GetState() const { return state_; }

int PhysicalSocket::GetOption(Option opt, int* value) {
  int slevel;
  int sopt;
  if (TranslateOption(opt, &slevel, &sopt) == -1) return -1;
  socklen_t optlen = sizeof(*value);
  int ret = ::getsockopt(s_, slevel, sopt, value, &optlen);
  if (ret != -1 && opt == OPT_DSCP) {
    // The DSCP lives in the upper six bits of the TOS byte.
    *value >>= 2;
  }
  return ret;
}

int PhysicalSocket::SetOption(Option opt, int value) {
  int slevel;
  int sopt;
  if (TranslateOption(opt, &slevel, &sopt) == -1) return -1;
  if (opt == OPT_DSCP && value >= 0) value <<= 2;
  return ::setsockopt(s_, slevel, sopt, &value, sizeof(value));
}

int PhysicalSocket::Send(const void* pv, size_t cb) {
  int sent = DoSend(s_, reinterpret_cast<const char*>(pv), static_cast<int>(cb), MSG_NOSIGNAL);
  UpdateLastError();
  // A full local buffer is a blocking condition, not a failure.
  if (sent < 0 && GetError() == ENOBUFS) SetError(EWOULDBLOCK);
  if ((sent > 0 && sent < static_cast<int>(cb)) || (sent < 0 && IsBlockingError(GetError())))
    EnableEvents(DE_WRITE);
  return sent;
}

int PhysicalSocket::SendTo(const void* buffer, size_t length, const SocketAddress& addr) {
  sockaddr_storage saddr;
  size_t len = addr.ToSockAddrStorage(&saddr);
  int sent = DoSendTo(s_, static_cast<const char*>(buffer), static_cast<int>(length), MSG_NOSIGNAL,
                      reinterpret_cast<sockaddr*>(&saddr), static_cast<socklen_t>(len));
  UpdateLastError();
  if (sent < 0 && GetError() == ENOBUFS) SetError(EWOULDBLOCK);
  if ((sent > 0 && sent < static_cast<int>(length)) || (sent < 0 && IsBlockingError(GetError())))
    EnableEvents(DE_WRITE);
  return sent;
}

int PhysicalSocket::Recv(void* buffer, size_t length, int64_t* timestamp) {
  int received = static_cast<int>(::recv(s_, static_cast<char*>(buffer), length, 0));
  if ((received == 0) && (length != 0) && !udp_) {
    // The close event is reported by the next pass, which sees the
    // descriptor readable and closed.
    RTC_LOG(LS_WARNING) << "EOF from socket; deferring close event";
    EnableEvents(DE_READ);
    SetError(EWOULDBLOCK);
    return kSocketError;
  }
  if (timestamp) *timestamp = -1;
  UpdateLastError();
  int error = GetError();
  bool success = (received >= 0) || IsBlockingError(error);
  if (udp_ || success) EnableEvents(DE_READ);
  if (!success) RTC_LOG_F(LS_VERBOSE) << "Error = " << error;
  return received;
}

int PhysicalSocket::RecvFrom(void* buffer, size_t length, SocketAddress* out_addr,
                             int64_t* timestamp) {
  sockaddr_storage addr_storage;
  socklen_t addr_len = sizeof(addr_storage);
  sockaddr* addr = reinterpret_cast<sockaddr*>(&addr_storage);
  int received =
      static_cast<int>(::recvfrom(s_, static_cast<char*>(buffer), length, 0, addr, &addr_len));
  if ((received == 0) && (length != 0) && !udp_) {
    RTC_LOG(LS_WARNING) << "EOF from socket; deferring close event";
    EnableEvents(DE_READ);
    SetError(EWOULDBLOCK);
    return kSocketError;
  }
  if (timestamp) *timestamp = -1;
  UpdateLastError();
  if ((received >= 0) && (out_addr != nullptr))
    SocketAddressFromSockAddrStorage(addr_storage, out_addr);
  int error = GetError();
  bool success = (received >= 0) || IsBlockingError(error);
  if (udp_ || success) EnableEvents(DE_READ);
  if (!success) RTC_LOG_F(LS_VERBOSE) << "Error = " << error;
  return received;
}

int PhysicalSocket::Listen(int backlog) {
  int err = ::listen(s_, backlog);
  UpdateLastError();
  if (err == 0) {
    state_ = CS_CONNECTING;
    EnableEvents(DE_ACCEPT);
  }
  return err;
}

AsyncSocket* PhysicalSocket::Accept(SocketAddress* out_addr) {
  // Re-armed first, so that a failed accept still gets the next event.
  EnableEvents(DE_ACCEPT);
  sockaddr_storage addr_storage;
  socklen_t addr_len = sizeof(addr_storage);
  sockaddr* addr = reinterpret_cast<sockaddr*>(&addr_storage);
  int s = DoAccept(s_, addr, &addr_len);
  UpdateLastError();
  if (s == kInvalidSocket) return nullptr;
  if (out_addr != nullptr) SocketAddressFromSockAddrStorage(addr_storage, out_addr);
  return ss_->WrapSocket(s);
}

int PhysicalSocket::Close() {
  if (s_ == kInvalidSocket) return 0;
  int err = ::close(s_);
  UpdateLastError();
  s_ = kInvalidSocket;
  ++generation_;
  state_ = CS_CLOSED;
  SetEnabledEvents(0);
  if (resolver_) {
    resolver_->Destroy(false);
    resolver_ = nullptr;
  }
  return err;
}

int PhysicalSocket::DoAccept(int socket, sockaddr* addr, socklen_t* addrlen) {
  return ::accept4(socket, addr, addrlen, SOCK_CLOEXEC);
}

int PhysicalSocket::DoSend(int socket, const char* buf, int len, int flags) {
  return static_cast<int>(::send(socket, buf, len, flags | MSG_NOSIGNAL));
}

int PhysicalSocket::DoSendTo(int socket, const char* buf, int len, int flags,
                             const struct sockaddr* dest_addr, socklen_t addrlen) {
  return static_cast<int>(::sendto(socket, buf, len, flags | MSG_NOSIGNAL, dest_addr, addrlen));
}

void PhysicalSocket::UpdateLastError() { SetError(errno); }

void PhysicalSocket::SetEnabledEvents(uint8_t events) { enabled_events_ = events; }

void PhysicalSocket::EnableEvents(uint8_t events) { enabled_events_ |= events; }

void PhysicalSocket::DisableEvents(uint8_t events) { enabled_events_ &= ~events; }

int PhysicalSocket::TranslateOption(Option opt, int* slevel, int* sopt) {
  switch (opt) {
    case OPT_DONTFRAGMENT:
      RTC_LOG(LS_WARNING) << "Socket::OPT_DONTFRAGMENT not supported.";
      return -1;
    case OPT_RCVBUF:
      *slevel = SOL_SOCKET;
      *sopt = SO_RCVBUF;
      break;
    case OPT_SNDBUF:
      *slevel = SOL_SOCKET;
      *sopt = SO_SNDBUF;
      break;
    case OPT_REUSEADDR:
      *slevel = SOL_SOCKET;
      *sopt = SO_REUSEADDR;
      break;
    case OPT_NODELAY:
      *slevel = IPPROTO_TCP;
      *sopt = TCP_NODELAY;
      break;
    case OPT_DSCP:
      *slevel = IPPROTO_IP;
      *sopt = IP_TOS;
      break;
    case OPT_KEEPALIVE:
      *slevel = SOL_SOCKET;
      *sopt = SO_KEEPALIVE;
      break;
    case OPT_TCP_KEEPIDLE:
      *slevel = IPPROTO_TCP;
      *sopt = TCP_KEEPIDLE;
      break;
    case OPT_TCP_KEEPINTVL:
      *slevel = IPPROTO_TCP;
      *sopt = TCP_KEEPINTVL;
      break;
    case OPT_TCP_KEEPCNT:
      *slevel = IPPROTO_TCP;
      *sopt = TCP_KEEPCNT;
      break;
    case OPT_TCP_USER_TIMEOUT:
      *slevel = IPPROTO_TCP;
      *sopt = TCP_USER_TIMEOUT;
      break;
    default:
      return -1;
  }
  return 0;
}

//------------------------------------------------------------------
// SocketDispatcher

SocketDispatcher::SocketDispatcher(PhysicalSocketServer* ss) : PhysicalSocket(ss) {}

SocketDispatcher::SocketDispatcher(int s, PhysicalSocketServer* ss) : PhysicalSocket(ss, s) {}

SocketDispatcher::~SocketDispatcher() { Close(); }

bool SocketDispatcher::Initialize() {
  RTC_DCHECK(s_ != kInvalidSocket);
  int flags = fcntl(s_, F_GETFL, 0);
  if (flags == -1 || fcntl(s_, F_SETFL, flags | O_NONBLOCK) == -1) {
    UpdateLastError();
    return false;
  }
  // Wrapped descriptors may come without close-on-exec.
  int fd_flags = fcntl(s_, F_GETFD, 0);
  if (fd_flags != -1 && !(fd_flags & FD_CLOEXEC)) fcntl(s_, F_SETFD, fd_flags | FD_CLOEXEC);
  ss_->Add(this);
  return true;
}

bool SocketDispatcher::Create(int type) { return Create(AF_INET, type); }

bool SocketDispatcher::Create(int family, int type) {
  if (!PhysicalSocket::Create(family, type)) return false;
  return Initialize();
}

int SocketDispatcher::GetDescriptor() { return s_; }

bool SocketDispatcher::IsDescriptorClosed() {
  if (udp_) return s_ == kInvalidSocket;
  // A peek of one byte tells end of stream (0) from data; errors that mean
  // "nothing yet" keep the socket open.
  char ch;
  ssize_t res = ::recv(s_, &ch, 1, MSG_PEEK);
  if (res > 0) return false;
  if (res == 0) return true;
  switch (errno) {
    case EBADF:
    case ECONNRESET:
      return true;
    case EINTR:
    case EWOULDBLOCK:
      return false;
    default:
      RTC_LOG_ERR(LS_WARNING) << "Assuming benign blocking error";
      return false;
  }
}

uint32_t SocketDispatcher::GetRequestedEvents() { return enabled_events(); }

void SocketDispatcher::OnPreEvent(uint32_t ff) {
  if ((ff & DE_CONNECT) != 0) state_ = CS_CONNECTED;
  if ((ff & DE_CLOSE) != 0) state_ = CS_CLOSED;
}

void SocketDispatcher::OnEvent(uint32_t ff, int err) {
  // A handler may close the socket (or close and re-create it); events of
  // the old descriptor are then no longer delivered.
  const uint64_t generation = generation_;
  // Disables and reports one event if it is set; false once the descriptor
  // has changed under the handler.
  auto emit = [&](uint8_t event, auto& signal) {
    if ((ff & event) == 0) return true;
    DisableEvents(event);
    signal(this);
    return generation_ == generation;
  };
  if (!emit(DE_CONNECT, SignalConnectEvent) || !emit(DE_ACCEPT, SignalReadEvent) ||
      !emit(DE_READ, SignalReadEvent) || !emit(DE_WRITE, SignalWriteEvent))
    return;
  if ((ff & DE_CLOSE) != 0) {
    SetEnabledEvents(0);
    if (err == EBADF) {
      // The descriptor was closed behind this socket's back; its number may
      // already belong to someone else, so it is forgotten, never closed.
      ss_->Remove(this);
      s_ = kInvalidSocket;
    }
    SignalCloseEvent(this, err);
  }
}

int SocketDispatcher::Close() {
  if (s_ == kInvalidSocket) return 0;
  ss_->Remove(this);
  return PhysicalSocket::Close();
}

//------------------------------------------------------------------
// Wake-up

// How long a waiter stays awake for a wake-up before it sleeps in poll().
constexpr int64_t kSpinBeforePollUs = 20;

// Ends the server's wait: one eventfd counter, written only while not yet
// signalled, so any number of wake-ups cost one pass.
class Signaler : public Dispatcher {
 public:
  Signaler(PhysicalSocketServer* ss, bool* pf) : ss_(ss), pf_(pf) {
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) {
      RTC_LOG_ERR(LS_ERROR) << "pipe failed";
      return;
    }
    ss_->Add(this);
  }

  ~Signaler() override {
    if (fd_ >= 0) {
      ss_->Remove(this);
      ::close(fd_);
    }
  }

  bool IsValid() const { return fd_ >= 0; }

  // Lock-free: posting from many threads costs one atomic exchange each while the waiter has
  // not yet taken the wake-up, and the descriptor is written only while the waiter sleeps in
  // poll(); a waiter that is awake (or about to poll) sees the flag instead.
  void Signal() {
    // Read before the exchange, so that a stream of posts to an awake waiter shares the flag
    // instead of writing it each time.
    if (fd_ < 0 || signaled_.load() || signaled_.exchange(true) || !polling_.load()) return;
    uint64_t one = 1;
    ssize_t res = ::write(fd_, &one, sizeof(one));
    if (res != static_cast<ssize_t>(sizeof(one))) RTC_LOG_ERR(LS_ERROR) << "Wake-up write failed";
  }

  // Called by the waiter right before poll(): true when a wake-up came already (then the poll
  // must not block). Sequentially consistent with Signal: either the waiter sees the flag or
  // the signaller sees the waiter polling and writes the descriptor.
  bool EnterPoll() {
    polling_.store(true);
    return signaled_.load();
  }
  void LeavePoll() { polling_.store(false); }

  // Spins for up to `us` microseconds while no wake-up has come: a call or post that follows
  // soon is then taken without the waiter sleeping and being woken.
  void SpinFor(int64_t us) {
    const int64_t until = SystemTimeNanos() + us * 1000;
    while (!signaled_.load(std::memory_order_relaxed) && SystemTimeNanos() < until) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }

  // Takes a wake-up seen through the flag rather than the descriptor.
  void Consume() {
    signaled_.store(false);
    *pf_ = false;
  }

  uint32_t GetRequestedEvents() override { return DE_READ; }

  void OnPreEvent(uint32_t /*ff*/) override {
    // Read before the flag is cleared: a signal in between writes nothing, but what it
    // announced is already queued, and the waiter looks at its queue after this. Sequentially
    // consistent, so that a queue counted by an atomic (the pending calls) is seen too.
    uint64_t value;
    ssize_t res = ::read(fd_, &value, sizeof(value));
    (void)res;
    signaled_.store(false);
  }

  void OnEvent(uint32_t /*ff*/, int /*err*/) override { *pf_ = false; }

  int GetDescriptor() override { return fd_; }
  bool IsDescriptorClosed() override { return false; }

 private:
  PhysicalSocketServer* const ss_;
  bool* const pf_;
  int fd_ = -1;
  std::atomic<bool> signaled_{false};
  std::atomic<bool> polling_{false};
};

//------------------------------------------------------------------
// POSIX signals

// The process-wide self-pipe: the signal handler only sets a flag and writes
// a byte, and the dispatcher calls the real handlers on the waiting thread.
class PosixSignalHandler {
 public:
  static constexpr int kNumPosixSignals = 128;

  static PosixSignalHandler* Instance() {
    static PosixSignalHandler* const instance = new PosixSignalHandler();
    return instance;
  }

  bool IsSignalSet(int signum) const {
    RTC_DCHECK(signum < kNumPosixSignals);
    return received_signal_[signum].load() != 0;
  }

  void ClearSignal(int signum) {
    RTC_DCHECK(signum < kNumPosixSignals);
    received_signal_[signum].store(0);
  }

  int GetDescriptor() const { return afd_[0]; }

  // Async-signal-safe.
  void OnPosixSignalReceived(int signum) {
    if (signum < 0 || signum >= kNumPosixSignals) return;
    received_signal_[signum].store(1);
    const uint8_t b[1] = {0};
    int saved_errno = errno;
    ssize_t ret = ::write(afd_[1], b, sizeof(b));
    (void)ret;
    errno = saved_errno;
  }

 private:
  PosixSignalHandler() {
    if (::pipe2(afd_, O_CLOEXEC) < 0) {
      RTC_LOG_ERR(LS_ERROR) << "pipe failed";
      return;
    }
    if (fcntl(afd_[0], F_SETFL, O_NONBLOCK) < 0) RTC_LOG_ERR(LS_WARNING) << "fcntl #1 failed";
    if (fcntl(afd_[1], F_SETFL, O_NONBLOCK) < 0) RTC_LOG_ERR(LS_WARNING) << "fcntl #2 failed";
    for (auto& flag : received_signal_) flag.store(0);
  }
  ~PosixSignalHandler() = delete;

  int afd_[2] = {-1, -1};
  std::atomic<uint8_t> received_signal_[kNumPosixSignals];
};

class PosixSignalDispatcher : public Dispatcher {
 public:
  explicit PosixSignalDispatcher(PhysicalSocketServer* owner) : owner_(owner) { owner_->Add(this); }
  ~PosixSignalDispatcher() override { owner_->Remove(this); }

  uint32_t GetRequestedEvents() override { return DE_READ; }

  void OnPreEvent(uint32_t /*ff*/) override {
    // Any number of bytes may be waiting; the flags say which signals came.
    uint8_t b[16];
    ssize_t ret = ::read(GetDescriptor(), b, sizeof(b));
    if (ret < 0) {
      RTC_LOG_ERR(LS_WARNING) << "Error in read()";
    } else if (ret == 0) {
      RTC_LOG(LS_WARNING) << "Should have read at least one byte";
    }
  }

  void OnEvent(uint32_t /*ff*/, int /*err*/) override {
    for (int signum = 0; signum < PosixSignalHandler::kNumPosixSignals; ++signum) {
      if (!PosixSignalHandler::Instance()->IsSignalSet(signum)) continue;
      PosixSignalHandler::Instance()->ClearSignal(signum);
      auto it = handlers_.find(signum);
      if (it == handlers_.end()) {
        RTC_LOG(LS_INFO) << "Received signal with no handler: " << signum;
      } else {
        (*it->second)(signum);
      }
    }
  }

  int GetDescriptor() override { return PosixSignalHandler::Instance()->GetDescriptor(); }
  bool IsDescriptorClosed() override { return false; }

  void SetHandler(int signum, void (*handler)(int)) { handlers_[signum] = handler; }
  void ClearHandler(int signum) { handlers_.erase(signum); }
  bool HasHandlers() const { return !handlers_.empty(); }

 private:
  PhysicalSocketServer* const owner_;
  std::map<int, void (*)(int)> handlers_;
};

namespace {

void GlobalSignalHandler(int signum) {
  PosixSignalHandler::Instance()->OnPosixSignalReceived(signum);
}

bool InstallSignal(int signum, void (*handler)(int)) {
  struct sigaction act;
  if (sigemptyset(&act.sa_mask) != 0) {
    RTC_LOG_ERR(LS_ERROR) << "Couldn't set mask";
    return false;
  }
  act.sa_handler = handler;
  act.sa_flags = SA_RESTART;
  if (sigaction(signum, &act, nullptr) != 0) {
    RTC_LOG_ERR(LS_ERROR) << "Couldn't set sigaction";
    return false;
  }
  return true;
}

}  // namespace

//------------------------------------------------------------------
// PhysicalSocketServer

PhysicalSocketServer::PhysicalSocketServer() {
  signal_wakeup_ = std::make_unique<Signaler>(this, &fWait_);
}

PhysicalSocketServer::~PhysicalSocketServer() {
  signal_dispatcher_.reset();
  signal_wakeup_.reset();
}

bool PhysicalSocketServer::IsValid() const { return signal_wakeup_ && signal_wakeup_->IsValid(); }

void PhysicalSocketServer::WakeUp() { signal_wakeup_->Signal(); }

Socket* PhysicalSocketServer::CreateSocket(int family, int type) {
  PhysicalSocket* socket = new PhysicalSocket(this);
  if (socket->Create(family, type)) return socket;
  delete socket;
  return nullptr;
}

AsyncSocket* PhysicalSocketServer::CreateAsyncSocket(int family, int type) {
  SocketDispatcher* dispatcher = new SocketDispatcher(this);
  if (dispatcher->Create(family, type)) return dispatcher;
  delete dispatcher;
  return nullptr;
}

AsyncSocket* PhysicalSocketServer::WrapSocket(int s) {
  SocketDispatcher* dispatcher = new SocketDispatcher(s, this);
  if (dispatcher->Initialize()) return dispatcher;
  delete dispatcher;
  return nullptr;
}

void PhysicalSocketServer::Add(Dispatcher* pdispatcher) {
  CritScope cs(&crit_);
  if (processing_dispatchers_) {
    // A dispatcher re-added after a removal in the same pass stays.
    pending_remove_dispatchers_.erase(pdispatcher);
    pending_add_dispatchers_.insert(pdispatcher);
  } else {
    dispatchers_.insert(pdispatcher);
  }
}

void PhysicalSocketServer::Remove(Dispatcher* pdispatcher) {
  CritScope cs(&crit_);
  if (processing_dispatchers_) {
    if (!pending_add_dispatchers_.erase(pdispatcher) && dispatchers_.count(pdispatcher) == 0) {
      RTC_LOG(LS_WARNING) << "PhysicalSocketServer asked to remove a unknown "
                          << "dispatcher, potentially from a duplicate call to "
                          << "Add.";
      return;
    }
    pending_remove_dispatchers_.insert(pdispatcher);
  } else if (!dispatchers_.erase(pdispatcher)) {
    RTC_LOG(LS_WARNING) << "PhysicalSocketServer asked to remove a unknown "
                        << "dispatcher, potentially from a duplicate call to Add.";
  }
}

bool PhysicalSocketServer::IsLiveLocked(Dispatcher* dispatcher) const {
  // Removed (and perhaps deleted) during this pass, or added during it under
  // a recycled address: either way not the dispatcher that was polled.
  return dispatchers_.count(dispatcher) != 0 &&
         pending_remove_dispatchers_.count(dispatcher) == 0 &&
         pending_add_dispatchers_.count(dispatcher) == 0;
}

void PhysicalSocketServer::AddRemovePendingDispatchers() {
  for (Dispatcher* d : pending_add_dispatchers_) dispatchers_.insert(d);
  for (Dispatcher* d : pending_remove_dispatchers_) dispatchers_.erase(d);
  pending_add_dispatchers_.clear();
  pending_remove_dispatchers_.clear();
}

bool PhysicalSocketServer::SetPosixSignalHandler(int signum, void (*handler)(int)) {
  if (signum < 0 || signum >= PosixSignalHandler::kNumPosixSignals) return false;
  if (handler == SIG_DFL || handler == SIG_IGN) {
    if (!InstallSignal(signum, handler)) return false;
    if (signal_dispatcher_) {
      signal_dispatcher_->ClearHandler(signum);
      // Called from a signal handler, the dispatcher is on the call stack;
      // it then stays, without handlers, until the server goes.
      CritScope cs(&crit_);
      if (!signal_dispatcher_->HasHandlers() && !processing_dispatchers_)
        signal_dispatcher_.reset();
    }
  } else {
    if (PosixSignalHandler::Instance()->GetDescriptor() < 0) return false;
    if (!signal_dispatcher_) signal_dispatcher_ = std::make_unique<PosixSignalDispatcher>(this);
    signal_dispatcher_->SetHandler(signum, handler);
    if (!InstallSignal(signum, &GlobalSignalHandler)) return false;
  }
  return true;
}

bool PhysicalSocketServer::Wait(int cmsWait, bool process_io) {
  return DoWait(cmsWait, process_io, /*once=*/false);
}

bool PhysicalSocketServer::WaitOnce(int cmsWait) {
  return DoWait(cmsWait, /*process_io=*/true, /*once=*/true);
}

bool PhysicalSocketServer::DoWait(int cmsWait, bool process_io, bool once) {
  if (!IsValid()) {
    RTC_LOG(LS_ERROR) << "Wait on a socket server without a wake-up descriptor";
    return false;
  }

  int64_t stop_us = 0;
  if (cmsWait != kForever) stop_us = TimeMicros() + static_cast<int64_t>(cmsWait) * 1000;
  int timeout_ms = cmsWait;

  // Reused between waits, so a pass allocates nothing once warm.
  std::vector<pollfd>& fds = poll_fds_;
  std::vector<Polled>& polled = polled_;

  fWait_ = true;
  while (fWait_) {
    fds.clear();
    polled.clear();
    {
      CritScope cr(&crit_);
      for (Dispatcher* pdispatcher : dispatchers_) {
        if (!process_io && pdispatcher != signal_wakeup_.get()) continue;
        int fd = pdispatcher->GetDescriptor();
        if (fd < 0) continue;
        uint32_t ff = pdispatcher->GetRequestedEvents();
        short events = 0;
        // POLLRDHUP tells an end of stream apart from plain data, so that only then the
        // descriptor is asked whether it closed.
        if (ff & (DE_READ | DE_ACCEPT)) events |= POLLIN | POLLRDHUP;
        if (ff & (DE_WRITE | DE_CONNECT)) events |= POLLOUT;
        // A dispatcher that wants nothing is left out, as it would be from a
        // select() set.
        if (events == 0) continue;
        fds.push_back(pollfd{fd, events, 0});
        polled.push_back(Polled{pdispatcher, ff});
      }
    }

    // Briefly awake before sleeping: a call or post that comes within the spin costs neither
    // side a sleep and a wake-up.
    if (timeout_ms != 0) signal_wakeup_->SpinFor(kSpinBeforePollUs);
    const bool signaled = signal_wakeup_->EnterPoll();
    int n = ::poll(fds.data(), fds.size(), signaled ? 0 : timeout_ms);
    signal_wakeup_->LeavePoll();
    if (signaled) {
      // Socket events ready now are still delivered below, so a stream of posts cannot
      // starve them; the wake-up itself ends this wait.
      signal_wakeup_->Consume();
      if (n == 0) return true;
    }
    if (n < 0) {
      if (errno != EINTR) {
        RTC_LOG_ERR(LS_ERROR) << "select";
        return false;
      }
      // Interrupted: nothing is known about readiness, so wait again for the
      // rest of the time.
    } else if (n == 0) {
      return true;
    } else {
      CritScope cr(&crit_);
      processing_dispatchers_ = true;
      for (size_t i = 0; i < fds.size(); ++i) {
        const short revents = fds[i].revents;
        if (revents == 0) continue;
        Dispatcher* pdispatcher = polled[i].dispatcher;
        if (!IsLiveLocked(pdispatcher) || pdispatcher->GetDescriptor() != fds[i].fd) continue;

        uint32_t ff = 0;
        int errcode = 0;
        if (revents & POLLNVAL) {
          // The descriptor was closed behind the dispatcher's back.
          ff = DE_CLOSE;
          errcode = EBADF;
        } else {
          const uint32_t requested = polled[i].requested;
          bool readable =
              (fds[i].events & POLLIN) && (revents & (POLLIN | POLLERR | POLLHUP | POLLRDHUP));
          bool writable = (fds[i].events & POLLOUT) && (revents & (POLLOUT | POLLERR | POLLHUP));
          // Plain readiness carries no error: the error and the closed state are read only
          // when the poll reports trouble or a connect completes.
          const bool trouble = (revents & (POLLERR | POLLHUP | POLLRDHUP)) != 0;
          if ((readable || writable) && pdispatcher != signal_wakeup_.get() &&
              (trouble || (requested & DE_CONNECT))) {
            socklen_t len = sizeof(errcode);
            ::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &errcode, &len);
          }
          if (readable) {
            if (requested & DE_ACCEPT) {
              ff |= DE_ACCEPT;
            } else if (errcode || (trouble && pdispatcher->IsDescriptorClosed())) {
              ff |= DE_CLOSE;
            } else {
              ff |= DE_READ;
            }
          }
          if (writable) {
            if (requested & DE_CONNECT) {
              if (!errcode) {
                ff |= DE_CONNECT;
              } else {
                ff |= DE_CLOSE;
              }
            } else {
              ff |= DE_WRITE;
            }
          }
        }
        if (ff != 0) {
          pdispatcher->OnPreEvent(ff);
          pdispatcher->OnEvent(ff, errcode);
        }
      }
      processing_dispatchers_ = false;
      AddRemovePendingDispatchers();
      if (once) return true;
    }

    if (cmsWait != kForever && fWait_) {
      int64_t remaining_us = stop_us - TimeMicros();
      if (remaining_us <= 0) return true;
      timeout_ms = static_cast<int>((remaining_us + 999) / 1000);
    }
  }
  return true;
}

}  // namespace rtc
