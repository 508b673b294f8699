// The socket factory of the HTTP client. It stacks, from the inside out: a socket of the inner
// factory, an optional hex logging layer, an optional SOCKS5 or HTTPS proxy layer, optional
// TLS and an optional text logging layer.
#ifndef RTC_BASE_SSL_SOCKET_FACTORY_H_
#define RTC_BASE_SSL_SOCKET_FACTORY_H_

#include <string>

#include "rtc_base/logging.h"
#include "rtc_base/proxy_info.h"
#include "rtc_base/socket_factory.h"

namespace rtc {

class AsyncSocket;

class SslSocketFactory : public SocketFactory {
 public:
  SslSocketFactory(SocketFactory* factory, const std::string& user_agent);
  ~SslSocketFactory() override;

  // Proxy auto-detection stays on until a proxy is set.
  void SetAutoDetectProxy() { autodetect_proxy_ = true; }
  void SetForceConnect(bool force) { force_connect_ = force; }
  void SetProxy(const ProxyInfo& proxy) {
    autodetect_proxy_ = false;
    proxy_ = proxy;
  }
  bool autodetect_proxy() const { return autodetect_proxy_; }
  const ProxyInfo& proxy() const { return proxy_; }

  // A non-empty host name turns TLS on for every socket made afterwards.
  void UseSSL(const char* hostname) { hostname_ = hostname ? hostname : ""; }
  void DisableSSL() { hostname_.clear(); }
  void SetIgnoreBadCert(bool ignore) { ignore_bad_cert_ = ignore; }
  bool ignore_bad_cert() const { return ignore_bad_cert_; }

  void SetLogging(LoggingSeverity level, const std::string& label, bool binary_mode = false) {
    logging_level_ = level;
    logging_label_ = label;
    binary_mode_ = binary_mode;
  }

  // SocketFactory
  Socket* CreateSocket(int family, int type) override;
  AsyncSocket* CreateAsyncSocket(int family, int type) override;

  // Builds the layered socket for this proxy; null (with the reason logged) when a layer
  // cannot be made.
  AsyncSocket* CreateProxySocket(const ProxyInfo& proxy, int family, int type);

 protected:
  // The layers that other components provide. Each takes over `socket`: on failure it
  // deletes it and returns null. Until those components exist, proxy and TLS layers are
  // unavailable and logging layers leave the socket as it is.
  virtual AsyncSocket* WrapSocksProxy(AsyncSocket* socket, const ProxyInfo& proxy);
  virtual AsyncSocket* WrapHttpsProxy(AsyncSocket* socket,
                                      const ProxyInfo& proxy,
                                      bool force_connect);
  // Returns null without touching `socket` when TLS is unavailable; otherwise a started
  // client-mode adapter, or null with the socket deleted when starting failed.
  virtual AsyncSocket* WrapTls(AsyncSocket* socket,
                               const std::string& hostname,
                               bool ignore_bad_cert,
                               bool* unavailable);
  virtual AsyncSocket* WrapLogging(AsyncSocket* socket,
                                   LoggingSeverity level,
                                   const std::string& label,
                                   bool hex_mode);

 private:
  SocketFactory* factory_;
  std::string agent_;
  bool autodetect_proxy_ = true;
  bool force_connect_ = false;
  ProxyInfo proxy_;
  std::string hostname_;
  std::string logging_label_;
  LoggingSeverity logging_level_ = LS_VERBOSE;
  bool binary_mode_ = false;
  bool ignore_bad_cert_ = false;
};

}  // namespace rtc

#endif  // RTC_BASE_SSL_SOCKET_FACTORY_H_
