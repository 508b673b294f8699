// The socket factory of the HTTP client. It stacks, from the inside out: a socket of the inner
// factory, an optional hex logging layer, an optional SOCKS5 or HTTPS proxy layer, optional
// TLS and an optional text logging layer. With proxy auto-detection on, each socket finds its
// proxy first and builds that stack once it knows.
#ifndef RTC_BASE_FETCH_SSL_SOCKET_FACTORY_H_
#define RTC_BASE_FETCH_SSL_SOCKET_FACTORY_H_

#include <string>

#include "rtc_base/base/logging.h"
#include "rtc_base/net/async_socket.h"
#include "rtc_base/net/proxy_info.h"
#include "rtc_base/threads/socket_factory.h"

namespace rtc {

class AutoDetectProxy;
class SignalThread;

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
  const std::string& agent() const { return agent_; }

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

  // SocketFactory. While auto-detection is on, each socket is a ProxySocketAdapter, which
  // uses this factory later: the factory must outlive its sockets.
  Socket* CreateSocket(int family, int type) override;
  AsyncSocket* CreateAsyncSocket(int family, int type) override;

  // Builds the layered socket for this proxy; null (with the reason logged) when a layer
  // cannot be made.
  AsyncSocket* CreateProxySocket(const ProxyInfo& proxy, int family, int type);

 protected:
  // The layers. Each takes over `socket`: on failure it deletes it and returns null.
  virtual AsyncSocket* WrapSocksProxy(AsyncSocket* socket, const ProxyInfo& proxy);
  virtual AsyncSocket* WrapHttpsProxy(AsyncSocket* socket, const ProxyInfo& proxy,
                                      bool force_connect);
  // Returns null without touching `socket` when TLS is unavailable; otherwise a started
  // client-mode adapter that trusts the process-wide roots (rtc_base/ssl_roots.h), or null
  // with the socket deleted when starting failed.
  virtual AsyncSocket* WrapTls(AsyncSocket* socket, const std::string& hostname,
                               bool ignore_bad_cert, bool* unavailable);
  virtual AsyncSocket* WrapLogging(AsyncSocket* socket, LoggingSeverity level,
                                   const std::string& label, bool hex_mode);

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

// A socket that finds its proxy before it connects: Connect starts proxy detection for the
// destination, and once it is done the factory's stack for the proxy found is connected in its
// place. Until then the socket reports a connect in progress. The factory is not owned and
// must outlive the socket.
class ProxySocketAdapter : public AsyncSocketAdapter {
 public:
  ProxySocketAdapter(SslSocketFactory* factory, int family, int type);
  ~ProxySocketAdapter() override;

  int Connect(const SocketAddress& addr) override;
  int GetError() const override;
  ConnState GetState() const override;
  int Close() override;

 private:
  void OnProxyDetectionComplete(SignalThread* thread);
  void StopDetection();

  SslSocketFactory* const factory_;
  const int family_;
  const int type_;
  SocketAddress remote_;
  // While detection runs; ended with Destroy, never deleted.
  AutoDetectProxy* detector_ = nullptr;
  // The error to report while there is neither a socket nor a detector.
  int error_ = EADDRNOTAVAIL;
};

}  // namespace rtc

#endif  // RTC_BASE_FETCH_SSL_SOCKET_FACTORY_H_
