// Runs one HTTP request without blocking its caller and reports the end as SignalWorkDone on
// the thread that started it. The socket work, parsing, time-out and completion all happen on
// that thread's socket server; the job's own worker thread only gives it the completion cycle
// of a SignalThread.
#ifndef RTC_BASE_FETCH_ASYNC_HTTP_REQUEST_H_
#define RTC_BASE_FETCH_ASYNC_HTTP_REQUEST_H_

#include <stdint.h>

#include <memory>
#include <string>

#include "rtc_base/fetch/ssl_socket_factory.h"
#include "rtc_base/http/http_client.h"
#include "rtc_base/net/proxy_info.h"
#include "rtc_base/net/socket_pool.h"
#include "rtc_base/threads/signal_thread.h"

namespace rtc {

class Thread;

// Construct, start and release on the thread whose socket server is to carry the request;
// that thread must have an rtc::Thread. End it with Release or Destroy, never with delete.
class AsyncHttpRequest : public SignalThread {
 public:
  static constexpr int kDefaultTimeoutMs = 30000;
  enum { MSG_TIMEOUT = ST_MSG_FIRST_AVAILABLE, MSG_LAUNCH_REQUEST };

  explicit AsyncHttpRequest(const std::string& user_agent);

  int start_delay() const { return start_delay_; }
  void set_start_delay(int delay) { start_delay_ = delay; }

  const ProxyInfo& proxy() const { return proxy_; }
  void set_proxy(const ProxyInfo& proxy) { proxy_ = proxy; }

  const std::string& host() const { return host_; }
  void set_host(const std::string& host) { host_ = host; }
  int port() const { return port_; }
  void set_port(int port) { port_ = port; }
  bool secure() const { return secure_; }
  void set_secure(bool secure) { secure_ = secure; }
  int timeout() const { return timeout_; }
  void set_timeout(int timeout) { timeout_ = timeout; }

  HttpRequestData& request() { return client_.request(); }
  const HttpRequestData& request() const { return client_.request(); }
  HttpResponseData& response() { return client_.response(); }
  const HttpResponseData& response() const { return client_.response(); }
  HttpClient& client() { return client_; }

  // The result, valid in the SignalWorkDone handler.
  HttpError error() const { return error_; }
  // The Location header of a successful response.
  const std::string& response_redirect() const { return response_redirect_; }

 protected:
  ~AsyncHttpRequest() override;

  void OnWorkStart() override;
  void DoWork() override;
  void OnWorkStop() override;
  void OnMessage(Message* message) override;

  void OnComplete(HttpClient* client, int error);
  void LaunchRequest();

 private:
  // Tells the worker its job is over; the worker's end brings SignalWorkDone home.
  void FinishWork();

  int start_delay_ = 0;
  ProxyInfo proxy_;
  std::string host_;
  int port_ = 80;
  bool secure_ = false;
  int timeout_ = kDefaultTimeoutMs;
  // The thread that constructed the request; its socket server carries the request.
  Thread* home_;
  // Destroyed in reverse order: the client returns its stream before the pool deletes it.
  SslSocketFactory factory_;
  ReuseSocketPool pool_;
  HttpClient client_;
  HttpError error_ = HE_NONE;
  std::string response_redirect_;
  bool finished_ = false;
};

}  // namespace rtc

#endif  // RTC_BASE_FETCH_ASYNC_HTTP_REQUEST_H_
