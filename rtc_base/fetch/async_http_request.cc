#include "rtc_base/fetch/async_http_request.h"

#include <algorithm>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/threads/socket_server.h"
#include "rtc_base/threads/thread.h"

namespace rtc {

namespace {

SocketFactory* SocketServerOf(Thread* thread) {
  return thread != nullptr ? thread->socketserver() : nullptr;
}

}  // namespace

AsyncHttpRequest::AsyncHttpRequest(const std::string& user_agent)
    : home_(Thread::Current()),
      factory_(SocketServerOf(home_), user_agent),
      pool_(&factory_),
      client_(user_agent, &pool_) {
  if (home_ == nullptr) {
    RTC_LOG(LS_ERROR) << "AsyncHttpRequest made on a thread without an rtc::Thread";
  }
  client_.SignalHttpClientComplete.connect(this, &AsyncHttpRequest::OnComplete);
}

// Queued time-out and launch messages go with the handler.
AsyncHttpRequest::~AsyncHttpRequest() = default;

void AsyncHttpRequest::OnWorkStart() {
  // The launch always goes through the queue, even without a delay: a request that
  // completes while launching must do so after the worker thread has started, or the
  // worker's start would wipe out the request to quit and the completion would be lost.
  home_->PostDelayed(RTC_FROM_HERE, std::max(start_delay_, 0), this, MSG_LAUNCH_REQUEST);
}

void AsyncHttpRequest::DoWork() {
  // All the request's work happens on the starting thread; the worker waits to be told that
  // it is over.
  worker()->ProcessMessages(SocketServer::kForever);
}

void AsyncHttpRequest::OnWorkStop() {}

void AsyncHttpRequest::LaunchRequest() {
  factory_.SetProxy(proxy_);
  if (secure_) {
    factory_.UseSSL(host_.c_str());
  }
  client_.set_secure(secure_);

  // A transparent proxy sees the request itself.
  bool transparent_proxy =
      port_ == 80 && (proxy_.type == PROXY_HTTPS || proxy_.type == PROXY_UNKNOWN);
  if (transparent_proxy) {
    client_.set_proxy(proxy_);
  }
  client_.set_redirect_action(HttpClient::REDIRECT_DEFAULT);
  client_.set_server(SocketAddress(host_, port_));

  home_->PostDelayed(RTC_FROM_HERE, std::max(timeout_, 0), this, MSG_TIMEOUT);
  client_.start();
}

void AsyncHttpRequest::OnComplete(HttpClient* client, int error) {
  RTC_DCHECK(client == &client_);
  home_->Clear(this, MSG_TIMEOUT);
  error_ = static_cast<HttpError>(error);
  if (error_ == HE_NONE) {
    RTC_LOG(LS_INFO) << "HttpRequest completed successfully";
    std::string value;
    if (client_.response().hasHeader(HH_LOCATION, &value)) {
      response_redirect_ = value;
    }
  } else {
    RTC_LOG(LS_INFO) << "HttpRequest completed with error: " << error;
  }
  FinishWork();
}

void AsyncHttpRequest::FinishWork() {
  finished_ = true;
  worker()->Quit();
}

void AsyncHttpRequest::OnMessage(Message* message) {
  switch (message->message_id) {
    case MSG_TIMEOUT:
      RTC_LOG(LS_INFO) << "HttpRequest timed out";
      // Cancelling a transfer completes it with HE_OPERATION_CANCELLED; a time-out in any
      // other phase (a name lookup, a delayed launch) is reported the same way.
      client_.reset();
      error_ = HE_OPERATION_CANCELLED;
      FinishWork();
      break;
    case MSG_LAUNCH_REQUEST:
      LaunchRequest();
      break;
    default:
      SignalThread::OnMessage(message);
      break;
  }
}

}  // namespace rtc
