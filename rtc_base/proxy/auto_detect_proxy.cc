#include "rtc_base/proxy/auto_detect_proxy.h"

#include <errno.h>
#include <sys/socket.h>

#include "rtc_base/base/logging.h"
#include "rtc_base/http/http_common.h"
#include "rtc_base/net/async_resolver.h"
#include "rtc_base/net/async_socket.h"
#include "rtc_base/proxy/proxy_detect.h"
#include "rtc_base/strings/string_utils.h"
#include "rtc_base/threads/socket_server.h"

namespace rtc {

namespace {

// The probes in the order they are tried.
const ProxyType kTestOrder[] = {PROXY_HTTPS, PROXY_SOCKS5, PROXY_UNKNOWN};
constexpr int kProbeCount = 2;
// The most of a reply that is read to classify it.
constexpr size_t kReplyBytes = 256;
constexpr char kHttpReply[] = "HTTP/";
constexpr size_t kHttpReplyLength = 5;
constexpr char kSocks5Version = 0x05;
constexpr size_t kSocks5ReplyLength = 2;
constexpr char kSocks5Greeting[] = {0x05, 0x01, 0x00};
// Texts longer than this are cut in the completion summary.
constexpr size_t kSummaryTextLimit = 127;

std::string Cut(const std::string& text) { return text.substr(0, kSummaryTextLimit); }

}  // namespace

AutoDetectProxy::AutoDetectProxy(const std::string& user_agent)
    : SignalThread(SocketServer::CreateDefault()), agent_(user_agent) {}

// DoWork ends its resolver and socket on the worker before it returns.
AutoDetectProxy::~AutoDetectProxy() = default;

bool AutoDetectProxy::GetProxyForUrl(const char* agent, const char* url, ProxyInfo* proxy) {
  return GetProxySettingsForUrl(agent, url, proxy, true);
}

void AutoDetectProxy::DoWork() {
  if (!server_url_.empty()) {
    RTC_LOG(LS_INFO) << "GetProxySettingsForUrl(" << server_url_ << ") - start";
    GetProxyForUrl(agent_.c_str(), server_url_.c_str(), &proxy_);
    RTC_LOG(LS_INFO) << "GetProxySettingsForUrl - stop";
  }
  Url<char> host_url(proxy_.address.hostname());
  if (host_url.valid()) {
    RTC_LOG(LS_WARNING) << "AutoDetectProxy removing http prefix on proxy host";
    proxy_.address.SetIP(host_url.host());
  }
  RTC_LOG(LS_INFO) << "AutoDetectProxy found proxy at " << proxy_.address.ToSensitiveString();
  if (proxy_.type == PROXY_UNKNOWN) {
    if (probe_host_.empty()) {
      Url<char> server(server_url_);
      probe_host_ = server.valid() ? server.host() : "localhost";
    }
    RTC_LOG(LS_INFO) << "AutoDetectProxy initiating proxy classification";
    Next();
    // Runs until the classification quits the loop, or the job is stopped.
    worker()->ProcessMessages(SocketServer::kForever);
    worker()->Clear(this);
    StopResolver();
    socket_.reset();
  }
}

void AutoDetectProxy::OnMessage(Message* msg) {
  switch (msg->message_id) {
    case MSG_TIMEOUT:
      RTC_LOG(LS_VERBOSE) << "Timed out waiting for AsyncResolver.";
      StopResolver();
      ++next_;
      Next();
      return;
    case MSG_UNRESOLVABLE:
      Complete(PROXY_UNKNOWN);
      return;
    case ST_MSG_WORKER_DONE:
      RTC_LOG(LS_VERBOSE) << "AutoDetectProxy done: " << Cut(agent_) << " " << next_ << " "
                          << ProxyToString(proxy_.type) << " " << Cut(proxy_.address.hostname())
                          << " " << proxy_.address.ipaddr().ToSensitiveString() << " "
                          << proxy_.address.port() << " " << Cut(proxy_.autoconfig_url) << " "
                          << proxy_.autodetect << " " << Cut(proxy_.bypass_list) << " "
                          << Cut(proxy_.username);
      break;
  }
  SignalThread::OnMessage(msg);
}

void AutoDetectProxy::Next() {
  if (next_ >= kProbeCount) {
    Complete(PROXY_UNKNOWN);
    return;
  }
  RTC_LOG(LS_VERBOSE) << "AutoDetectProxy connecting to " << proxy_.address.ToSensitiveString();
  worker()->Clear(this, MSG_TIMEOUT);
  worker()->Clear(this, MSG_UNRESOLVABLE);
  if (socket_) {
    // This may run inside the old socket's own signal: it goes on the next loop pass.
    socket_->Close();
    worker()->Dispose(socket_.release());
  }
  reply_.clear();

  int timeout;
  if (proxy_.address.IsUnresolvedIP()) {
    if (resolver_ == nullptr) {
      resolver_ = new AsyncResolver();
      resolver_->SignalDone.connect(this, &AutoDetectProxy::OnResolveResult);
    }
    resolver_->Start(proxy_.address);
    timeout = resolve_timeout_ms_;
  } else {
    if (!DoConnect()) {
      worker()->Post(RTC_FROM_HERE, this, MSG_TIMEOUT);
      return;
    }
    timeout = connect_timeout_ms_;
  }
  worker()->PostDelayed(RTC_FROM_HERE, timeout, this, MSG_TIMEOUT);
}

void AutoDetectProxy::Complete(ProxyType type) {
  worker()->Clear(this, MSG_TIMEOUT);
  worker()->Clear(this, MSG_UNRESOLVABLE);
  if (socket_) {
    socket_->Close();
  }
  proxy_.type = type;
  RTC_LOG_V(type == PROXY_UNKNOWN ? LS_ERROR : LS_INFO)
      << "AutoDetectProxy detected " << proxy_.address.ToSensitiveString() << " as type "
      << ProxyToString(type);
  worker()->Quit();
}

bool AutoDetectProxy::DoConnect() {
  StopResolver();
  std::unique_ptr<AsyncSocket> socket(
      worker()->socketserver()->CreateAsyncSocket(proxy_.address.family(), SOCK_STREAM));
  if (!socket) {
    RTC_LOG(LS_VERBOSE) << "Unable to create socket for " << proxy_.address.ToSensitiveString();
    return false;
  }
  socket->SignalConnectEvent.connect(this, &AutoDetectProxy::OnConnectEvent);
  socket->SignalReadEvent.connect(this, &AutoDetectProxy::OnReadEvent);
  socket->SignalCloseEvent.connect(this, &AutoDetectProxy::OnCloseEvent);
  // A connection refused at once gets no events: the caller moves on without waiting.
  if (socket->Connect(proxy_.address) != 0 && !IsBlockingError(socket->GetError())) {
    worker()->Dispose(socket.release());
    return false;
  }
  socket_ = std::move(socket);
  return true;
}

void AutoDetectProxy::StopResolver() {
  if (resolver_ != nullptr) {
    resolver_->SignalDone.disconnect(this);
    resolver_->Destroy(false);
    resolver_ = nullptr;
  }
}

void AutoDetectProxy::OnConnectEvent(AsyncSocket* socket) {
  std::string probe;
  if (kTestOrder[next_] == PROXY_HTTPS) {
    std::string host = StripControlCharacters(probe_host_);
    probe = "CONNECT " + host + ":443 HTTP/1.0\r\nUser-Agent: " + StripControlCharacters(agent_) +
            "\r\nHost: " + host + "\r\nContent-Length: 0\r\nProxy-Connection: Keep-Alive\r\n\r\n";
  } else {
    probe.assign(kSocks5Greeting, sizeof(kSocks5Greeting));
  }
  RTC_LOG(LS_VERBOSE) << "AutoDetectProxy probing type " << ProxyToString(kTestOrder[next_])
                      << " sending " << probe.size() << " bytes";
  socket->Send(probe.data(), probe.size());
}

void AutoDetectProxy::OnReadEvent(AsyncSocket* socket) {
  char data[kReplyBytes];
  int len = socket->Recv(data, kReplyBytes - reply_.size(), nullptr);
  if (len <= 0) {
    return;
  }
  RTC_LOG(LS_VERBOSE) << "AutoDetectProxy read " << len << " bytes";
  reply_.append(data, len);
  Classify();
}

bool AutoDetectProxy::Classify() {
  // A reply split across reads is judged once enough of it has come.
  const bool socks_reply = !reply_.empty() && reply_[0] == kSocks5Version;
  if (socks_reply && reply_.size() >= kSocks5ReplyLength) {
    Complete(PROXY_SOCKS5);
    return true;
  }
  if (kTestOrder[next_] == PROXY_HTTPS) {
    const size_t n = std::min(reply_.size(), kHttpReplyLength);
    const bool http_so_far = reply_.compare(0, n, kHttpReply, n) == 0;
    if (http_so_far && reply_.size() >= kHttpReplyLength) {
      Complete(PROXY_HTTPS);
      return true;
    }
    if (http_so_far || socks_reply) {
      return false;
    }
  } else if (socks_reply) {
    return false;
  }
  ++next_;
  Next();
  return true;
}

void AutoDetectProxy::OnCloseEvent(AsyncSocket* /*socket*/, int error) {
  RTC_LOG(LS_VERBOSE) << "AutoDetectProxy closed with error: " << error;
  ++next_;
  Next();
}

void AutoDetectProxy::OnResolveResult(AsyncResolverInterface* resolver) {
  if (resolver != resolver_) {
    return;
  }
  if (resolver_->GetError() == 0) {
    SocketAddress resolved = resolver_->address();
    RTC_LOG(LS_VERBOSE) << "Resolved " << proxy_.address.hostname() << " to "
                        << resolved.ipaddr().ToSensitiveString();
    proxy_.address.SetResolvedIP(resolved.ipaddr());
    if (!DoConnect()) {
      worker()->Post(RTC_FROM_HERE, this, MSG_TIMEOUT);
    }
    return;
  }
  RTC_LOG(LS_INFO) << "Failed to resolve " << proxy_.address.hostname();
  StopResolver();
  proxy_.address.Clear();
  worker()->Post(RTC_FROM_HERE, this, MSG_UNRESOLVABLE);
}

}  // namespace rtc
