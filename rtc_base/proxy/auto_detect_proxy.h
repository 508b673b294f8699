// Finds the proxy for a URL on a worker thread and, when its kind is unknown, classifies it by
// probing: an HTTPS CONNECT request first, then a SOCKS5 greeting. Each probe gets a time-out;
// after two failed probes the kind stays unknown.
#ifndef RTC_BASE_PROXY_AUTO_DETECT_PROXY_H_
#define RTC_BASE_PROXY_AUTO_DETECT_PROXY_H_

#include <memory>
#include <string>

#include "rtc_base/net/proxy_info.h"
#include "rtc_base/threads/signal_thread.h"

namespace rtc {

class AsyncResolverInterface;
class AsyncSocket;

// Create and start on a thread with an rtc::Thread; read proxy() in the SignalWorkDone
// handler; end with Release or Destroy, never with delete.
class AutoDetectProxy : public SignalThread {
 public:
  static constexpr int kResolveTimeoutMs = 4000;
  static constexpr int kConnectTimeoutMs = 2000;

  explicit AutoDetectProxy(const std::string& user_agent);

  // The URL the connection is for; set before Start.
  void set_server_url(const std::string& url) { server_url_ = url; }
  const std::string& server_url() const { return server_url_; }
  // The host named in the HTTPS probe's CONNECT (always on port 443); by default the server
  // URL's own host, so that no third party is contacted.
  void set_probe_host(const std::string& host) { probe_host_ = host; }
  // The time a probe may take when the proxy's name has to be resolved first, and otherwise.
  void set_timeouts(int resolve_ms, int connect_ms) {
    resolve_timeout_ms_ = resolve_ms;
    connect_timeout_ms_ = connect_ms;
  }

  // The result, valid once SignalWorkDone has been emitted.
  const ProxyInfo& proxy() const { return proxy_; }

  enum { MSG_TIMEOUT = SignalThread::ST_MSG_FIRST_AVAILABLE, MSG_UNRESOLVABLE };

 protected:
  ~AutoDetectProxy() override;

  void DoWork() override;
  void OnMessage(Message* msg) override;
  // The lookup; by default GetProxySettingsForUrl.
  virtual bool GetProxyForUrl(const char* agent, const char* url, ProxyInfo* proxy);

 private:
  // Worker thread only, like every member below.
  void Next();
  void Complete(ProxyType type);
  bool DoConnect();
  void StopResolver();
  void OnConnectEvent(AsyncSocket* socket);
  void OnReadEvent(AsyncSocket* socket);
  void OnCloseEvent(AsyncSocket* socket, int error);
  void OnResolveResult(AsyncResolverInterface* resolver);
  // Judges the reply so far: true once it decided (classified or moved on).
  bool Classify();

  const std::string agent_;
  std::string server_url_;
  std::string probe_host_;
  int resolve_timeout_ms_ = kResolveTimeoutMs;
  int connect_timeout_ms_ = kConnectTimeoutMs;
  ProxyInfo proxy_;
  // Ended with Destroy(false), never deleted.
  AsyncResolverInterface* resolver_ = nullptr;
  std::unique_ptr<AsyncSocket> socket_;
  // The probe in progress: 0 https, 1 socks5.
  int next_ = 0;
  // The reply to the current probe so far.
  std::string reply_;
};

}  // namespace rtc

#endif  // RTC_BASE_PROXY_AUTO_DETECT_PROXY_H_
