// Running asynchronous HTTP requests on the test's own thread.
#ifndef TESTS_RTC_BASE_HTTP_REQUEST_TEST_UTIL_H_
#define TESTS_RTC_BASE_HTTP_REQUEST_TEST_UTIL_H_

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "rtc_base/base/time_utils.h"
#include "rtc_base/fetch/async_http_request.h"
#include "rtc_base/net/async_resolver_interface.h"
#include "rtc_base/net/memory_stream.h"
#include "rtc_base/threads/message_handler.h"
#include "rtc_base/threads/message_queue.h"
#include "rtc_base/threads/sigslot.h"
#include "rtc_base/threads/thread.h"

namespace rtc {
namespace testing {

// Pumps the current thread until `done`: waiting on its sockets while the real clock runs,
// only yielding between passes when a test has frozen the clock.
inline bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    if (GetClockForTesting() == nullptr) {
      Thread::Current()->ProcessMessages(1);
    } else {
      Thread::Current()->ProcessMessages(0);
      std::this_thread::yield();
    }
  }
  return true;
}

// Runs what the current thread has queued so far: whatever was posted before comes first.
inline bool DrainQueue() {
  struct Marker : public MessageHandler {
    bool reached = false;
    void OnMessage(Message*) override { reached = true; }
  } marker;
  Thread::Current()->Post(RTC_FROM_HERE, &marker, 0);
  return PumpUntil([&] { return marker.reached; });
}

inline std::string ReadDocument(StreamInterface* document) {
  size_t size = 0;
  if (document == nullptr || !document->SetPosition(0) || !document->GetAvailable(&size)) {
    return "<no document>";
  }
  std::string text(size, '\0');
  document->ReadAll(text.data(), size, &size, nullptr);
  return text.substr(0, size);
}

// What a finished request reported, read in its SignalWorkDone handler, which then releases
// it as the library's own users do.
struct Outcome : public sigslot::has_slots<> {
  bool done = false;
  int calls = 0;
  HttpError error = HE_DEFAULT;
  uint32_t scode = 0;
  std::string body;
  bool had_document = false;
  std::string location;

  void OnDone(SignalThread* thread) {
    auto* request = static_cast<AsyncHttpRequest*>(thread);
    ++calls;
    done = true;
    error = request->error();
    scode = request->response().scode;
    had_document = request->response().document != nullptr;
    body = ReadDocument(request->response().document.get());
    request->response().hasHeader(HH_LOCATION, &location);
    request->Release();
  }
};

// A POST built the way the service core builds it.
inline AsyncHttpRequest* NewPost(const std::string& url_text, const std::string& body,
                                 Outcome* outcome, int timeout_ms = 10000) {
  Url<char> url(url_text);
  auto* request = new AsyncHttpRequest("ZODEvo");
  request->set_host(url.host());
  request->set_port(url.port());
  request->set_timeout(timeout_ms);
  request->request().verb = HV_POST;
  request->request().path = url.full_path();
  request->request().setContent("application/x-www-form-urlencoded",
                                new MemoryStream(body.data(), body.size()));
  request->response().document.reset(new MemoryStream());
  request->SignalWorkDone.connect(outcome, &Outcome::OnDone);
  return request;
}

inline AsyncHttpRequest* NewGet(const std::string& url_text, Outcome* outcome,
                                int timeout_ms = 10000) {
  AsyncHttpRequest* request = NewPost(url_text, "", outcome, timeout_ms);
  request->request().verb = HV_GET;
  request->request().clearHeader(HH_CONTENT_TYPE);
  request->request().clearHeader(HH_CONTENT_LENGTH);
  request->request().document.reset();
  return request;
}

// A resolver that answers through the queue with a fixed result, or never.
class FakeResolver : public AsyncResolverInterface, public MessageHandler {
 public:
  enum Mode { kFail, kNever };
  FakeResolver(Mode mode, int* starts, int* destroyed)
      : mode_(mode), starts_(starts), destroyed_(destroyed) {}

  void Start(const SocketAddress&) override {
    ++*starts_;
    if (mode_ == kFail) {
      Thread::Current()->Post(RTC_FROM_HERE, this, 0);
    }
  }
  bool GetResolvedAddress(int, SocketAddress*) const override { return false; }
  int GetError() const override { return mode_ == kFail ? -2 : -1; }
  void Destroy(bool) override {
    ++*destroyed_;
    delete this;
  }
  void OnMessage(Message*) override { SignalDone(this); }

 private:
  Mode mode_;
  int* starts_;
  int* destroyed_;
};

}  // namespace testing
}  // namespace rtc

#endif  // TESTS_RTC_BASE_HTTP_REQUEST_TEST_UTIL_H_
