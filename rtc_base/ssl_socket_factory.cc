#include "rtc_base/ssl_socket_factory.h"

#include "rtc_base/async_socket.h"
#include "rtc_base/logging.h"
#include "rtc_base/socket.h"

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
    // Proxy auto-detection is not part of this library yet; the connection goes direct.
    return CreateProxySocket(ProxyInfo(), family, type);
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

  if (!logging_label_.empty() && binary_mode_) {
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
  RTC_LOG(LS_ERROR) << "SslSocketFactory: no SOCKS5 proxy sockets, cannot reach "
                    << proxy.address.ToSensitiveString();
  delete socket;
  return nullptr;
}

AsyncSocket* SslSocketFactory::WrapHttpsProxy(AsyncSocket* socket,
                                              const ProxyInfo& proxy,
                                              bool /*force_connect*/) {
  RTC_LOG(LS_ERROR) << "SslSocketFactory: no HTTPS proxy sockets, cannot reach "
                    << proxy.address.ToSensitiveString();
  delete socket;
  return nullptr;
}

AsyncSocket* SslSocketFactory::WrapTls(AsyncSocket* /*socket*/,
                                       const std::string& /*hostname*/,
                                       bool /*ignore_bad_cert*/,
                                       bool* unavailable) {
  *unavailable = true;
  return nullptr;
}

AsyncSocket* SslSocketFactory::WrapLogging(AsyncSocket* socket,
                                           LoggingSeverity /*level*/,
                                           const std::string& /*label*/,
                                           bool /*hex_mode*/) {
  return socket;
}

}  // namespace rtc
