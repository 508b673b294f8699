#ifndef FUZZ_HTTP_FUZZ_TARGET_H_
#define FUZZ_HTTP_FUZZ_TARGET_H_

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/http/http_base.h"
#include "rtc_base/http/http_common.h"
#include "rtc_base/net/memory_stream.h"

namespace rtc {

// An HTTP response from a server, received by HttpBase over a stream that hands out the bytes
// in chunks. Checks that the receive ends exactly once, and that a body received without error
// has the length its header announced. Shared by the libFuzzer target and its gtest twin.
class HttpFuzzStream : public StreamInterface {
 public:
  StreamState GetState() const override { return state_; }
  StreamResult Read(void* buffer, size_t len, size_t* read, int* error) override {
    if (!incoming_.empty()) {
      size_t n = std::min(len, incoming_.size());
      memcpy(buffer, incoming_.data(), n);
      incoming_.erase(0, n);
      if (read) *read = n;
      return SR_SUCCESS;
    }
    if (ended_ && reset_) {
      if (error) *error = ECONNRESET;
      return SR_ERROR;
    }
    return ended_ ? SR_EOS : SR_BLOCK;
  }
  StreamResult Write(const void*, size_t len, size_t* written, int*) override {
    if (written) *written = len;
    return SR_SUCCESS;
  }
  void Close() override { state_ = SS_CLOSED; }

  void Add(const char* data, size_t n) { incoming_.append(data, n); }
  void End(bool reset) {
    ended_ = true;
    reset_ = reset;
  }
  size_t pending() const { return incoming_.size(); }
  void Fire() { SignalEvent(this, SE_READ, 0); }

 private:
  StreamState state_ = SS_OPEN;
  std::string incoming_;
  bool ended_ = false;
  bool reset_ = false;
};

class HttpFuzzObserver : public IHttpNotify {
 public:
  explicit HttpFuzzObserver(HttpResponseData* response) : response_(response) {}
  HttpError onHttpHeaderComplete(bool chunked, size_t& data_size) override {
    // As the HTTP client does: these answers have no body, whatever their headers say.
    if (!HttpCodeHasBody(response_->scode)) data_size = 0;
    chunked_ = chunked;
    announced_ = data_size;
    ++headers_;
    return HE_NONE;
  }
  void onHttpComplete(HttpMode, HttpError err) override {
    ++completions_;
    error_ = err;
  }
  void onHttpClosed(HttpError) override {}

  int headers_ = 0;
  bool chunked_ = false;
  size_t announced_ = SIZE_MAX;
  int completions_ = 0;
  HttpError error_ = HE_DEFAULT;

 private:
  HttpResponseData* response_;
};

// True when `text` is one or more decimal digits and nothing else.
inline bool HttpFuzzDecimal(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

// Byte 0: chunk size (1 + 97 * (b & 63)); byte 1: bit 0 ends the stream with a reset instead
// of a clean close, bit 1 caps the body at 1 KiB. The rest is what the server sends.
inline int HttpFuzzOne(const uint8_t* data, size_t size) {
  // Closing errors are logged; thousands of lines would only slow the run.
  static const bool quiet = (LogMessage::LogToDebug(LS_NONE), true);
  (void)quiet;
  if (size < 2) return 0;
  const size_t chunk = 1 + 97 * static_cast<size_t>(data[0] & 63);
  const bool reset = (data[1] & 1) != 0;
  const size_t max_body = (data[1] & 2) != 0 ? 1024 : kHttpMaxBodySize;
  const char* wire = reinterpret_cast<const char*>(data + 2);
  const size_t wire_size = size - 2;

  HttpFuzzStream stream;
  HttpBase base;
  HttpResponseData response;
  HttpFuzzObserver observer(&response);
  base.notify(&observer);
  base.set_max_body_size(max_body);
  fuzz::Check(base.attach(&stream), "attach refused");
  MemoryStream* body = new MemoryStream();
  response.document.reset(body);
  base.recv(&response);

  // Every chunk is announced; a bounded receive pass may leave bytes for the next event.
  for (size_t pos = 0; pos < wire_size && observer.completions_ == 0; pos += chunk) {
    stream.Add(wire + pos, std::min(chunk, wire_size - pos));
    stream.Fire();
  }
  for (int i = 0; i < 64 && stream.pending() > 0 && observer.completions_ == 0; ++i) stream.Fire();
  if (observer.completions_ == 0) {
    stream.End(reset);
    stream.Fire();
  }
  fuzz::Check(observer.completions_ == 1, "the receive did not end exactly once");
  base.detach();

  size_t body_size = 0;
  body->GetSize(&body_size);
  fuzz::Check(body_size <= wire_size, "more body than bytes received");
  if (observer.error_ != HE_NONE) return 0;
  fuzz::Check(observer.headers_ == 1, "completed without its header section");
  fuzz::Check(body_size <= max_body, "body beyond its cap");
  if (!observer.chunked_ && observer.announced_ != SIZE_MAX) {
    fuzz::Check(body_size == observer.announced_, "body differs from its Content-Length");
  }
  std::string length;
  uint64_t value = 0;
  if (HttpCodeHasBody(response.scode) && !observer.chunked_ &&
      response.hasHeader(HH_CONTENT_LENGTH, &length) && HttpFuzzDecimal(length, &value)) {
    fuzz::Check(value == observer.announced_, "Content-Length read wrongly");
  }
  // The header helpers see every received value.
  for (auto it = response.begin(); it != response.end(); ++it) {
    HttpAttributeList attributes;
    HttpParseAttributes(it->second.data(), it->second.size(), attributes);
    time_t seconds = 0;
    HttpDateToSeconds(it->second, &seconds);
  }
  return 0;
}

}  // namespace rtc

#endif  // FUZZ_HTTP_FUZZ_TARGET_H_
