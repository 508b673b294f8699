#include "core/x_tcp_client.h"

#include <errno.h>
#include <sys/socket.h>

#include <atomic>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/location.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/mutex.h"
#include "rtc_base/threads/socket_server.h"

namespace vy {

namespace {

constexpr int kReconnectDelayMs = 2000;
constexpr int kPostDelayMs = 1;
constexpr size_t kRecvChunk = 65535;
// A peer that vanished without closing leaves what was sent (a KeepAlive goes out every 5 s)
// unacknowledged; after this long the kernel ends the connection and the owner reconnects.
constexpr int kUserTimeoutMs = 20000;
// An idle connection (no KeepAlive yet, such as one waiting for its "Login" answer) is probed
// after 10 s, every 5 s, and ends after two unanswered probes.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 2;

std::atomic<int> g_user_timeout_ms{kUserTimeoutMs};

rtc::Mutex g_factory_mutex;
XTcpClient::ResolverFactory& ResolverFactorySlot() ABSL_EXCLUSIVE_LOCKS_REQUIRED(g_factory_mutex) {
  static XTcpClient::ResolverFactory* factory = new XTcpClient::ResolverFactory();
  return *factory;
}

rtc::AsyncResolverInterface* NewResolver() {
  rtc::MutexLock lock(&g_factory_mutex);
  if (ResolverFactorySlot()) return ResolverFactorySlot()();
  return XTcpClient::DefaultResolver();
}

}  // namespace

// Listens to one socket on the client's behalf. The socket's read signal holds a mutex while
// it emits, so the client cannot disconnect from it there; instead a client that goes away
// clears `client` and leaves socket and listener to be deleted on a later pass.
class XTcpClient::SocketEvents : public sigslot::has_slots<> {
 public:
  explicit SocketEvents(XTcpClient* owner) : client(owner) {}
  void OnConnect(rtc::AsyncSocket* s) {
    if (client != nullptr) client->OnConnectEvent(s);
  }
  void OnRead(rtc::AsyncSocket* s) {
    if (client != nullptr) client->OnReadEvent(s);
  }
  void OnClose(rtc::AsyncSocket* s, int error) {
    if (client != nullptr) client->OnCloseEvent(s, error);
  }
  XTcpClient* client;
};

struct XTcpClient::Connection {
  ~Connection() {
    socket.reset();  // disconnects its signals from `events` first
    events.reset();
  }
  std::unique_ptr<rtc::AsyncSocket> socket;
  std::unique_ptr<SocketEvents> events;
};

XNetClient* XNetClient::Create(XNetClientCallback& callback, rtc::Thread* worker) {
  return new XTcpClient(callback, worker);
}

XNetClient::XNetClient(XNetClientCallback& callback, rtc::Thread* worker)
    : callback_(callback), worker_thread_(worker) {
  RTC_CHECK(worker_thread_ != NULL);
}

XNetClient::~XNetClient() = default;

void XNetClient::DisableRead() {
  rtc::CritScope lock(&read_crit_);
  read_enabled_ = false;
}

void XNetClient::SetResovedIPS(const std::vector<std::string>& ips) { resolved_ips_ = ips; }

void XTcpClient::SetUserTimeoutForTesting(int ms) {
  g_user_timeout_ms.store(ms > 0 ? ms : kUserTimeoutMs);
}

void XTcpClient::SetResolverFactoryForTesting(ResolverFactory factory) {
  rtc::MutexLock lock(&g_factory_mutex);
  ResolverFactorySlot() = std::move(factory);
}

XTcpClient::XTcpClient(XNetClientCallback& callback, rtc::Thread* worker)
    : XNetClient(callback, worker) {
  MThreadTick::Inst()->RegisteRtcTick(this, this);
}

XTcpClient::~XTcpClient() {
  // The socket belongs to the worker's socket server: an owner torn down on another thread
  // (a service released there) hands the teardown over.
  if (!worker_thread_->IsCurrent() && worker_thread_->IsRunning()) {
    worker_thread_->Invoke<void>(RTC_FROM_HERE, [this] { Teardown(); });
  }
  Teardown();
}

void XTcpClient::Teardown() {
  MThreadTick::Inst()->UnRegisteRtcTick(this);
  worker_thread_->Clear(this, kMsgConnect);
  worker_thread_->Clear(this, kMsgResolve);
  DestroyResolver();
  DropConnection();
  rtc::CritScope lock(&send_crit_);
  send_buffer_.Clear();
}

int XTcpClient::Connect(const std::string& server, int port, bool autoReconnect) {
  auto_reconnect_ = autoReconnect;
  if (state_ != kClosed) {
    RTC_LOG(LS_INFO) << "The client must not be connected before you can call Connect()";
    callback_.OnServerConnectionFailure();
    return -1;
  }
  if (server.empty()) {
    callback_.OnServerConnectionFailure();
    return -1;
  }
  {
    rtc::CritScope lock(&read_crit_);
    read_enabled_ = true;
  }
  server_host_ = server;
  server_addr_.Clear();
  server_addr_.SetIP(server);
  server_addr_.SetPort(port < 1 ? 80 : port);
  ipv4_fallback_.Clear();
  uint32_t id = server_addr_.IsUnresolvedIP() ? kMsgResolve : kMsgConnect;
  worker_thread_->PostDelayed(RTC_FROM_HERE, kPostDelayMs, this, id);
  return 0;
}

void XTcpClient::OnMessage(rtc::Message* msg) {
  if (msg->message_id == kMsgConnect) {
    DoConnect();
  } else if (msg->message_id == kMsgResolve) {
    DoResolve();
  }
}

void XTcpClient::DoResolve() {
  state_ = kResolving;
  if (resolver_ != nullptr) return;
  resolver_ = NewResolver();
  if (resolver_ == nullptr) {
    RTC_LOG(LS_ERROR) << "No resolver for " << server_host_;
    state_ = kClosed;
    callback_.OnServerConnectionFailure();
    return;
  }
  resolver_->SignalDone.connect(this, &XTcpClient::OnResolveResult);
  resolver_->Start(server_addr_);
}

void XTcpClient::OnResolveResult(rtc::AsyncResolverInterface* resolver) {
  if (resolver != resolver_) return;
  resolver_ = nullptr;
  rtc::SocketAddress v6;
  rtc::SocketAddress v4;
  bool ok = resolver->GetError() == 0;
  bool has_v6 = ok && resolver->GetResolvedAddress(AF_INET6, &v6);
  bool has_v4 = ok && resolver->GetResolvedAddress(AF_INET, &v4);
  resolver->SignalDone.disconnect(this);
  resolver->Destroy(false);
  if (!has_v6 && !has_v4) {
    state_ = kClosed;
    callback_.OnServerConnectionFailure();
    return;
  }
  server_addr_ = has_v6 ? v6 : v4;
  ipv4_fallback_ = has_v6 && has_v4 ? v4 : rtc::SocketAddress();
  DoConnect();
}

void XTcpClient::DoConnect() {
  state_ = kConnecting;
  rtc::Thread* thread = rtc::Thread::Current();
  RTC_CHECK(thread != NULL);
  DropConnection();
  rtc::AsyncSocket* m_asynSock =
      thread->socketserver()->CreateAsyncSocket(server_addr_.family(), SOCK_STREAM);
  if (m_asynSock == nullptr) {
    RTC_LOG(LS_WARNING) << "Creating a socket for " << server_addr_.ToSensitiveString()
                        << " failed";
    ConnectAttemptFailed();
    return;
  }
  connection_ = std::make_unique<Connection>();
  connection_->socket.reset(m_asynSock);
  connection_->events = std::make_unique<SocketEvents>(this);
  SocketEvents* events = connection_->events.get();
  m_asynSock->SignalCloseEvent.connect(events, &SocketEvents::OnClose);
  m_asynSock->SignalConnectEvent.connect(events, &SocketEvents::OnConnect);
  m_asynSock->SignalReadEvent.connect(events, &SocketEvents::OnRead);
  RTC_CHECK(m_asynSock->GetState() == rtc::Socket::CS_CLOSED);
  DetectDeadPeer(m_asynSock);
  if (m_asynSock->Connect(server_addr_) == -1) {
    ConnectAttemptFailed();
    return;
  }
  // A connect that completes at once emits no connect event.
  if (m_asynSock->GetState() == rtc::Socket::CS_CONNECTED) OnConnectEvent(m_asynSock);
}

void XTcpClient::DetectDeadPeer(rtc::AsyncSocket* socket) {
  const struct {
    rtc::Socket::Option option;
    int value;
  } kOptions[] = {{rtc::Socket::OPT_TCP_USER_TIMEOUT, g_user_timeout_ms.load()},
                  {rtc::Socket::OPT_KEEPALIVE, 1},
                  {rtc::Socket::OPT_TCP_KEEPIDLE, kKeepAliveIdleSeconds},
                  {rtc::Socket::OPT_TCP_KEEPINTVL, kKeepAliveIntervalSeconds},
                  {rtc::Socket::OPT_TCP_KEEPCNT, kKeepAliveProbes}};
  for (const auto& o : kOptions) {
    if (socket->SetOption(o.option, o.value) != 0) {
      RTC_LOG(LS_WARNING) << "Socket option " << o.option << " not set, error "
                          << socket->GetError() << "; a dead peer is noticed later";
    }
  }
}

void XTcpClient::ConnectAttemptFailed() {
  if (!ipv4_fallback_.IsNil()) {
    RTC_LOG(LS_INFO) << "Connecting over IPv6 failed; trying IPv4";
    server_addr_ = ipv4_fallback_;
    ipv4_fallback_.Clear();
    DoConnect();
    return;
  }
  Close();
  callback_.OnServerConnectionFailure();
}

void XTcpClient::OnConnectEvent(rtc::AsyncSocket* socket) {
  if (connection_ == nullptr || socket != connection_->socket.get()) return;
  state_ = kConnected;
  ipv4_fallback_.Clear();
  socket->SetOption(rtc::Socket::OPT_NODELAY, 1);
  callback_.OnServerConnected();
}

void XTcpClient::OnReadEvent(rtc::AsyncSocket* socket) {
  {
    rtc::CritScope lock(&read_crit_);
    if (!read_enabled_) return;
  }
  if (connection_ == nullptr || socket != connection_->socket.get()) return;
  // One read per readiness event: a server that keeps the socket readable must not hold the
  // worker, whose calls, timers and flushes run between events. The socket server reports
  // the socket again while bytes remain.
  if (char* space = callback_.RecvSpace(static_cast<int>(kRecvChunk))) {
    int n = socket->Recv(space, kRecvChunk, nullptr);
    if (n >= 1) callback_.OnMessageRecvInPlace(n);
    return;
  }
  char buffer[kRecvChunk];
  int n = socket->Recv(buffer, sizeof(buffer), nullptr);
  if (n >= 1) callback_.OnMessageRecv(buffer, n);
}

void XTcpClient::OnCloseEvent(rtc::AsyncSocket* socket, int error) {
  socket->Close();
  if (connection_ == nullptr || socket != connection_->socket.get()) return;
  RTC_LOG(LS_INFO) << "Connection to " << server_addr_.ToSensitiveString() << " closed, error "
                   << error;
  // A failed IPv6 attempt goes on over IPv4 with the bytes still waiting.
  if (state_ != kConnected && !ipv4_fallback_.IsNil()) {
    ConnectAttemptFailed();
    return;
  }
  {
    rtc::CritScope lock(&send_crit_);
    send_buffer_.Clear();
  }
  std::weak_ptr<int> alive = alive_;
  if (state_ == kConnected) {
    callback_.OnServerDisconnect();
  } else {
    callback_.OnServerConnectionFailure();
  }
  if (alive.expired()) return;
  if (auto_reconnect_) {
    RTC_LOG(LS_INFO) << "Connection refused; retrying in 2 seconds";
    worker_thread_->PostDelayed(RTC_FROM_HERE, kReconnectDelayMs, this, kMsgConnect);
  } else {
    Close();
  }
}

void XTcpClient::Close() {
  if (connection_ != nullptr) connection_->socket->Close();
  DestroyResolver();
  state_ = kClosed;
}

void XTcpClient::Disconnect() {
  auto_reconnect_ = false;
  // A command queued just before (such as "Logout") gets one chance to leave.
  if (state_ == kConnected) FlushOnce();
  Close();
}

void XTcpClient::DestroyResolver() {
  if (resolver_ == nullptr) return;
  rtc::AsyncResolverInterface* resolver = resolver_;
  resolver_ = nullptr;
  resolver->SignalDone.disconnect(this);
  if (worker_thread_->IsCurrent()) {
    resolver->Destroy(false);
  } else {
    worker_thread_->Invoke<void>(RTC_FROM_HERE, [resolver] { resolver->Destroy(false); });
  }
}

void XTcpClient::DropConnection() {
  if (connection_ == nullptr) return;
  connection_->events->client = nullptr;
  connection_->socket->Close();
  // We may be inside one of this socket's signals; it is deleted on a later pass.
  worker_thread_->Dispose(connection_.release());
}

bool XTcpClient::AvalibleToSend(int n) {
  if (n < 0) return false;
  rtc::CritScope lock(&send_crit_);
  return send_buffer_.Reserve(static_cast<size_t>(n));
}

int XTcpClient::SendMessageX(std::string& data) {
  if (data.empty() || data.size() > static_cast<size_t>(INT32_MAX)) return -1;
  return SendMessageX(data.data(), static_cast<int>(data.size()));
}

int XTcpClient::SendMessageX(const char* data, int len) {
  if (data == nullptr || len <= 0) return -1;
  {
    rtc::CritScope lock(&send_crit_);
    if (!send_buffer_.Append(data, static_cast<size_t>(len))) {
      RTC_LOG(LS_ERROR) << "Send buffer full (" << send_buffer_.used() << " bytes waiting); " << len
                        << " bytes refused";
      return -1;
    }
  }
  // The worker sends queued frames at the end of each wake; queued from elsewhere, the frame
  // wakes it.
  if (!worker_thread_->IsCurrent()) worker_thread_->socketserver()->WakeUp();
  return len;
}

int XTcpClient::FlushOnce() {
  rtc::CritScope lock(&send_crit_);
  if (send_buffer_.used() < 1 || state_ != kConnected || connection_ == nullptr) return 0;
  rtc::AsyncSocket* socket = connection_->socket.get();
  int n = socket->Send(send_buffer_.data(), send_buffer_.used());
  if (n >= 1) {
    send_buffer_.Consume(static_cast<size_t>(n));
    return n;
  }
  int error = socket->GetError();
  if (error == EWOULDBLOCK || error == EAGAIN || error == EINPROGRESS) {
    RTC_LOG(LS_WARNING) << "Send tcp data err: " << error
                        << " buffer offset: " << send_buffer_.used();
  }
  return -1;
}

void XTcpClient::OnTick() {
  std::weak_ptr<int> alive = alive_;
  int sent = FlushOnce();
  // Outside the send lock, so the owner may delete the client from either callback.
  if (sent > 0) {
    callback_.OnMessageSent(sent);
    if (alive.expired()) return;
  }
  callback_.OnTick();
}

size_t XTcpClient::PendingBytes() {
  rtc::CritScope lock(&send_crit_);
  return send_buffer_.used();
}

size_t XTcpClient::SendCapacity() {
  rtc::CritScope lock(&send_crit_);
  return send_buffer_.capacity();
}

}  // namespace vy
