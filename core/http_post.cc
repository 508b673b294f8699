#include "core/http_post.h"

#include <utility>

#include "core/rtc_log.h"
#include "rtc_base/fetch/async_http_request.h"
#include "rtc_base/http/http_common.h"
#include "rtc_base/net/memory_stream.h"
#include "rtc_base/threads/sigslot.h"

namespace vy {

namespace {

std::string ReadAll(rtc::StreamInterface* document) {
  std::string text;
  if (document == nullptr) return text;
  document->SetPosition(0);
  size_t size = 0;
  if (!document->GetAvailable(&size) || size == 0) return text;
  text.resize(size);
  size_t read = 0;
  if (document->ReadAll(&text[0], size, &read, nullptr) != rtc::SR_SUCCESS) read = 0;
  text.resize(read);
  return text;
}

class AsyncHttpPost : public HttpPost, public sigslot::has_slots<> {
 public:
  AsyncHttpPost(const Request& request, Done done)
      : done_(std::move(done)), url_(request.url), max_body_bytes_(request.max_body_bytes) {
    rtc::Url<char> url(request.url);
    request_ = new rtc::AsyncHttpRequest(request.agent);
    request_->set_host(url.host());
    request_->set_port(url.port());
    request_->set_timeout(request.timeout_ms);
    request_->request().verb = rtc::HV_POST;
    request_->request().path = url.full_path();
    request_->request().setContent(request.content_type,
                                   new rtc::MemoryStream(request.body.data(), request.body.size()));
    auto* document = new rtc::MemoryStream();
    document->set_max_size(request.max_body_bytes);
    request_->response().document.reset(document);
    request_->SignalWorkDone.connect(this, &AsyncHttpPost::OnDone);
    request_->Start();
  }

  ~AsyncHttpPost() override {
    // Abandoned: stopped and deleted without a callback.
    if (request_ != nullptr) request_->Destroy(true);
  }

 private:
  void OnDone(rtc::SignalThread* thread) {
    auto* request = static_cast<rtc::AsyncHttpRequest*>(thread);
    const bool ok = request->error() == rtc::HE_NONE;
    if (request->error() == rtc::HE_OVERFLOW) {
      RtcPrintf(kRtcLogWarning, "HTTP answer from %s refused: longer than %zu bytes", url_.c_str(),
                max_body_bytes_);
    }
    std::string body = ReadAll(request->response().document.get());
    request_ = nullptr;
    request->Release();
    // `done_` may delete this object: nothing is touched after it.
    Done done = std::move(done_);
    if (done) done(ok, body);
  }

  rtc::AsyncHttpRequest* request_ = nullptr;
  Done done_;
  const std::string url_;
  const size_t max_body_bytes_;
};

}  // namespace

std::unique_ptr<HttpPost> HttpPost::Start(const Request& request, Done done) {
  return std::make_unique<AsyncHttpPost>(request, std::move(done));
}

}  // namespace vy
