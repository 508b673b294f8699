#include "rtc_base/fetch/ssl_socket_factory.h"

#include "rtc_base/base/logging.h"
#include "rtc_base/http/http_common.h"
#include "rtc_base/net/async_socket.h"
#include "rtc_base/net/socket.h"
#include "rtc_base/proxy/auto_detect_proxy.h"
#include "rtc_base/proxy/socket_adapters.h"
#include "rtc_base/tls/openssl_adapter.h"

namespace rtc {

SslSocketFactory::SslSocketFactory(SocketFactory* factory, const std::string& user_agent)
    : factory_(factory), agent_(user_agent) {}

SslSocketFactory::~SslSocketFactory() = default;

Socket* SslSocketFactory::CreateSocket(int family, int type) {
  if (factory_ == nullptr) {
    RTC_LOG(LS_ERROR) << "SslSocketFactory: no socket factory";
    return nullptr;
  }
  return factory_->CreateSocket(family, type);
}

AsyncSocket* SslSocketFactory::CreateAsyncSocket(int family, int type) {
  if (autodetect_proxy_) {
    return new ProxySocketAdapter(this, family, type);
  }
  return CreateProxySocket(proxy_, family, type);
}

AsyncSocket* SslSocketFactory::CreateProxySocket(const ProxyInfo& proxy, int family, int type) {
  if (factory_ == nullptr) {
    RTC_LOG(LS_ERROR) << "SslSocketFactory: no socket factory";
    return nullptr;
  }
  AsyncSocket* socket = factory_->CreateAsyncSocket(family, type);
  if (socket == nullptr) {
    return nullptr;
  }

  const bool proxy_credentials =
      proxy.type != PROXY_NONE && (!proxy.username.empty() || proxy.password.GetLength() > 0);
  if (!logging_label_.empty() && binary_mode_ && proxy_credentials) {
    // The hex dump sits below the proxy layer and masks nothing: it would show the proxy's
    // user name and password.
    RTC_LOG(LS_WARNING) << "SslSocketFactory: no hex logging for " << logging_label_
                        << ": the proxy handshake carries credentials";
  } else if (!logging_label_.empty() && binary_mode_) {
    socket = WrapLogging(socket, logging_level_, logging_label_, true);
    if (socket == nullptr) {
      return nullptr;
    }
  }

  if (proxy.type != PROXY_NONE) {
    if (proxy.type == PROXY_SOCKS5) {
      socket = WrapSocksProxy(socket, proxy);
    } else {
      socket = WrapHttpsProxy(socket, proxy, force_connect_ || !hostname_.empty());
    }
    if (socket == nullptr) {
      return nullptr;
    }
  }

  if (!hostname_.empty()) {
    bool unavailable = false;
    AsyncSocket* tls = WrapTls(socket, hostname_, ignore_bad_cert_, &unavailable);
    if (unavailable) {
      RTC_LOG(LS_ERROR) << "SSL unavailable";
      delete socket;
      return nullptr;
    }
    if (tls == nullptr) {
      RTC_LOG(LS_ERROR) << "SSL failed to start.";
      return nullptr;
    }
    socket = tls;
  }

  if (!logging_label_.empty() && !binary_mode_) {
    socket = WrapLogging(socket, logging_level_, logging_label_, false);
  }
  return socket;
}

AsyncSocket* SslSocketFactory::WrapSocksProxy(AsyncSocket* socket, const ProxyInfo& proxy) {
  return new AsyncSocksProxySocket(socket, proxy.address, proxy.username, proxy.password);
}

AsyncSocket* SslSocketFactory::WrapHttpsProxy(AsyncSocket* socket, const ProxyInfo& proxy,
                                              bool force_connect) {
  auto* proxy_socket =
      new AsyncHttpsProxySocket(socket, agent_, proxy.address, proxy.username, proxy.password);
  proxy_socket->SetForceConnect(force_connect);
  return proxy_socket;
}

AsyncSocket* SslSocketFactory::WrapTls(AsyncSocket* socket, const std::string& hostname,
                                       bool ignore_bad_cert, bool* unavailable) {
  *unavailable = false;
  SSLAdapter* ssl_adapter = SSLAdapter::Create(socket);
  ssl_adapter->SetIgnoreBadCert(ignore_bad_cert);
  // Restartable, so that a socket connected again after a close speaks TLS again.
  if (ssl_adapter->StartSSL(hostname.c_str(), true) != 0) {
    delete ssl_adapter;
    return nullptr;
  }
  return ssl_adapter;
}

AsyncSocket* SslSocketFactory::WrapLogging(AsyncSocket* socket, LoggingSeverity level,
                                           const std::string& label, bool hex_mode) {
  return new LoggingSocketAdapter(socket, level, label.c_str(), hex_mode);
}

ProxySocketAdapter::ProxySocketAdapter(SslSocketFactory* factory, int family, int type)
    : AsyncSocketAdapter(nullptr), factory_(factory), family_(family), type_(type) {}

ProxySocketAdapter::~ProxySocketAdapter() { StopDetection(); }

int ProxySocketAdapter::Connect(const SocketAddress& addr) {
  if (socket_) {
    return socket_->Connect(addr);
  }
  StopDetection();
  remote_ = addr;
  if (addr.hostname().empty() && (addr.IsAnyIP() || addr.family() == AF_UNSPEC)) {
    RTC_LOG(LS_ERROR) << "int rtc::ProxySocketAdapter::Connect(const rtc::SocketAddress &): "
                      << "Empty address";
    error_ = EADDRNOTAVAIL;
    return -1;
  }
  Url<char> url("/", addr.HostAsURIString(), addr.port());
  detector_ = new AutoDetectProxy(factory_->agent());
  detector_->set_server_url(url.url());
  detector_->SignalWorkDone.connect(this, &ProxySocketAdapter::OnProxyDetectionComplete);
  detector_->Start();
  return -1;
}

int ProxySocketAdapter::GetError() const {
  if (socket_) {
    return socket_->GetError();
  }
  return detector_ != nullptr ? EWOULDBLOCK : error_;
}

Socket::ConnState ProxySocketAdapter::GetState() const {
  if (socket_) {
    return socket_->GetState();
  }
  return detector_ != nullptr ? CS_CONNECTING : CS_CLOSED;
}

int ProxySocketAdapter::Close() {
  if (socket_) {
    return socket_->Close();
  }
  StopDetection();
  return 0;
}

void ProxySocketAdapter::StopDetection() {
  if (detector_ != nullptr) {
    detector_->SignalWorkDone.disconnect(this);
    detector_->Destroy(false);
    detector_ = nullptr;
  }
}

void ProxySocketAdapter::OnProxyDetectionComplete(SignalThread* thread) {
  if (thread != detector_) {
    return;
  }
  const ProxyInfo proxy = detector_->proxy();
  detector_->SignalWorkDone.disconnect(this);
  detector_->Release();
  detector_ = nullptr;

  AsyncSocket* socket = factory_->CreateProxySocket(proxy, family_, type_);
  if (socket == nullptr) {
    error_ = ENOTCONN;
    SignalCloseEvent(this, error_);
    return;
  }
  Attach(socket);
  if (socket_->Connect(remote_) != 0) {
    if (!IsBlockingError(socket_->GetError())) {
      SignalCloseEvent(this, socket_->GetError());
    }
  } else if (socket_->GetState() == CS_CONNECTED) {
    // Connected at once: no event of the socket's own will say so.
    SignalConnectEvent(this);
  }
}

}  // namespace rtc
