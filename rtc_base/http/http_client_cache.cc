// The response cache of the HTTP client: answering from stored responses, validating stale
// ones, and storing new ones through a tap on the response document.
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <string>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/http/http_client.h"
#include "rtc_base/net/stream.h"
#include "rtc_base/strings/string_utils.h"

namespace rtc {

namespace {

enum { kCacheHeader = 0, kCacheBody = 1 };

// The buffer through which a stored body is copied into the response document.
constexpr size_t kCacheFlowBufferSize = 65536;
// A Last-Modified at least this long before the response's Date makes a strong validator.
constexpr time_t kStrongLastModifiedSeconds = 60;

enum HttpValidatorStrength { HVS_NONE, HVS_WEAK, HVS_STRONG };

bool WriteAllText(StreamInterface* stream, const std::string& text) {
  return stream->WriteAll(text.data(), text.size(), nullptr, nullptr) == SR_SUCCESS;
}

bool HttpWriteCacheHeaders(const HttpResponseData& response, StreamInterface* output) {
  for (auto it = response.begin(); it != response.end(); ++it) {
    HttpHeader header;
    if (FromString(header, it->first) && !HttpHeaderIsEndToEnd(header)) {
      continue;
    }
    if (!WriteAllText(output, it->first + ": " + it->second + "\r\n")) {
      return false;
    }
  }
  return WriteAllText(output, "\r\n");
}

bool HttpReadCacheHeaders(StreamInterface* input, HttpResponseData* response,
                          HttpData::HeaderCombine combine) {
  while (true) {
    std::string line;
    StreamResult result = input->ReadLine(&line);
    if (result == SR_EOS) {
      return true;
    }
    if (result != SR_SUCCESS) {
      return false;
    }
    if (line.size() <= 1) {
      // The empty line (its carriage return at most) ends the headers.
      return true;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
      RTC_LOG(LS_WARNING) << "Malformed cache header";
      continue;
    }
    size_t value_start = colon + 1;
    while (value_start < line.size() && isspace(static_cast<unsigned char>(line[value_start]))) {
      ++value_start;
    }
    size_t value_end = line.size();
    while (value_end > value_start && isspace(static_cast<unsigned char>(line[value_end - 1]))) {
      --value_end;
    }
    response->changeHeader(line.substr(0, colon), line.substr(value_start, value_end - value_start),
                           combine);
  }
}

HttpValidatorStrength HttpRequestValidatorLevel(const HttpRequestData& request) {
  if (request.verb == HV_GET && !request.hasHeader(HH_RANGE, nullptr)) {
    return HVS_WEAK;
  }
  return HVS_STRONG;
}

HttpValidatorStrength HttpResponseValidatorLevel(const HttpResponseData& response) {
  std::string value;
  if (response.hasHeader(HH_ETAG, &value)) {
    bool weak = value.size() >= 2 && (value[0] == 'W' || value[0] == 'w') && value[1] == '/';
    return weak ? HVS_WEAK : HVS_STRONG;
  }
  time_t last_modified;
  if (response.hasHeader(HH_LAST_MODIFIED, &value) && HttpDateToSeconds(value, &last_modified)) {
    time_t date;
    if (response.hasHeader(HH_DATE, &value) && HttpDateToSeconds(value, &date) &&
        last_modified + kStrongLastModifiedSeconds < date) {
      return HVS_STRONG;
    }
    return HVS_WEAK;
  }
  return HVS_NONE;
}

// The most seconds an age or a lifetime counts for; larger values, however large, count as
// this, so that sums of them cannot overflow.
constexpr long long kMaxDeltaSeconds = 2147483648LL;

// A decimal count of seconds; anything else counts as 0.
time_t ParseSeconds(const std::string& text) {
  if (text.empty()) {
    return 0;
  }
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value < 0) {
    return 0;
  }
  if (errno == ERANGE || value > kMaxDeltaSeconds) {
    return static_cast<time_t>(kMaxDeltaSeconds);
  }
  if (errno != 0) {
    return 0;
  }
  return static_cast<time_t>(value);
}

}  // namespace

bool HttpShouldCache(const HttpTransaction& t) {
  bool verb_allows_cache = t.request.verb == HV_GET || t.request.verb == HV_HEAD;
  bool has_expires = t.response.hasHeader(HH_EXPIRES, nullptr);
  // A URL with a query names a computed answer: it is stored only with an explicit expiry.
  bool request_allows_cache = has_expires || t.request.path.find('?') == std::string::npos;
  bool response_allows_cache = has_expires || HttpCodeIsCacheable(t.response.scode);
  bool is_range_response = t.response.hasHeader(HH_CONTENT_RANGE, nullptr);
  bool may_cache =
      verb_allows_cache && request_allows_cache && response_allows_cache && !is_range_response;

  std::string value;
  if (t.response.hasHeader(HH_CACHE_CONTROL, &value)) {
    HttpAttributeList directives;
    HttpParseAttributes(value.data(), value.size(), directives);
    std::string unused;
    if (HttpHasAttribute(directives, "no-store", &unused)) {
      // Nothing overrides no-store.
      may_cache = false;
    } else if (HttpHasAttribute(directives, "public", &unused)) {
      may_cache = true;
    }
  }
  return may_cache;
}

HttpCacheState HttpGetCacheState(const HttpTransaction& t, time_t now) {
  std::string value;
  time_t date;
  if (!t.response.hasHeader(HH_DATE, &value) || !HttpDateToSeconds(value, &date)) {
    return HCS_NONE;
  }
  time_t current_age = now - date;
  if (t.response.hasHeader(HH_AGE, &value)) {
    current_age += ParseSeconds(value);
  }

  HttpAttributeList cache_control;
  if (t.response.hasHeader(HH_CACHE_CONTROL, &value)) {
    HttpParseAttributes(value.data(), value.size(), cache_control);
  }
  time_t lifetime;
  if (HttpHasAttribute(cache_control, "max-age", &value)) {
    lifetime = ParseSeconds(value);
  } else if (t.response.hasHeader(HH_EXPIRES, &value)) {
    time_t expires;
    if (!HttpDateToSeconds(value, &expires)) {
      return HCS_STALE;
    }
    lifetime = expires - date;
  } else if (t.response.hasHeader(HH_LAST_MODIFIED, &value)) {
    time_t last_modified;
    if (!HttpDateToSeconds(value, &last_modified)) {
      return HCS_STALE;
    }
    lifetime = (now - last_modified) / 10;
  } else {
    return HCS_STALE;
  }
  return lifetime <= current_age ? HCS_STALE : HCS_FRESH;
}

CacheLock::CacheLock(HttpCacheStore* cache, const std::string& id, bool rollback)
    : cache_(cache), id_(id), rollback_(rollback), locked_(cache_->LockResource(id_)) {}

CacheLock::~CacheLock() {
  if (locked_) {
    cache_->UnlockResource(id_);
    if (rollback_) {
      cache_->DeleteResource(id_);
    }
  }
}

std::string HttpClient::GetCacheID(const HttpRequestData& request) const {
  std::string url;
  request.getAbsoluteUri(&url);
  return std::string(ToString(request.verb)) + "_" + url;
}

bool HttpClient::BeginCacheFile() {
  RTC_DCHECK(cache_ != nullptr);
  RTC_DCHECK(cache_state_ == CS_READY);
  std::string id = GetCacheID(request());
  CacheLock lock(cache_, id, true);
  if (!lock.IsLocked()) {
    RTC_LOG_F(LS_WARNING) << "Couldn't lock cache";
    return false;
  }
  if (WriteCacheHeaders(id) != HE_NONE) {
    return false;
  }
  std::unique_ptr<StreamInterface> body(cache_->WriteResource(id, kCacheBody));
  if (!body) {
    RTC_LOG_F(LS_ERROR) << "Couldn't open body cache";
    return false;
  }
  lock.Commit();

  // The body goes both to the caller's document and to the cache.
  StreamInterface* output = response().document.release();
  cache_null_document_ = output == nullptr;
  if (output == nullptr) {
    output = new NullStream();
  }
  response().document.reset(new StreamTap(output, body.release()));
  return true;
}

HttpError HttpClient::WriteCacheHeaders(const std::string& id) {
  std::unique_ptr<StreamInterface> stream(cache_->WriteResource(id, kCacheHeader));
  if (!stream) {
    RTC_LOG_F(LS_ERROR) << "Couldn't open header cache";
    return HE_CACHE;
  }
  if (!HttpWriteCacheHeaders(response(), stream.get())) {
    RTC_LOG_F(LS_ERROR) << "Couldn't write header cache";
    return HE_CACHE;
  }
  return HE_NONE;
}

void HttpClient::CompleteCacheFile() {
  // Puts the caller's document back in place of the tap.
  StreamTap* tap = static_cast<StreamTap*>(response().document.get());
  int error = 0;
  StreamResult result = tap->GetTapResult(&error);
  StreamInterface* output = tap->Detach();
  // Deleting the tap closes the cache's body stream.
  response().document.reset(cache_null_document_ ? nullptr : output);
  if (cache_null_document_) {
    delete output;
  }
  cache_null_document_ = false;
  if (result != SR_SUCCESS) {
    RTC_LOG(LS_ERROR) << "Cache file error: " << error;
    cache_->DeleteResource(GetCacheID(request()));
  }
}

bool HttpClient::CheckCache() {
  RTC_DCHECK(cache_ != nullptr);
  RTC_DCHECK(cache_state_ == CS_READY);

  std::string id = GetCacheID(request());
  if (!cache_->HasResource(id)) {
    return false;
  }

  HttpError error = ReadCacheHeaders(id, true);
  if (error == HE_NONE) {
    switch (HttpGetCacheState(*transaction_, time(nullptr))) {
      case HCS_FRESH:
        break;
      case HCS_STALE:
        if (PrepareValidate()) {
          return false;
        }
        response().clear(false);
        return false;
      case HCS_NONE:
        response().clear(false);
        return false;
    }
  }

  if (error == HE_NONE) {
    error = ReadCacheBody(id);
  }
  if (error == HE_CACHE) {
    RTC_LOG_F(LS_WARNING) << "Cache failure, continuing with normal request";
    cache_state_ = CS_READY;
    response().clear(false);
    return false;
  }
  Complete(error);
  return true;
}

HttpError HttpClient::ReadCacheHeaders(const std::string& id, bool override_headers) {
  std::unique_ptr<StreamInterface> stream(cache_->ReadResource(id, kCacheHeader));
  if (!stream) {
    return HE_CACHE;
  }
  HttpData::HeaderCombine combine = override_headers ? HttpData::HC_REPLACE : HttpData::HC_AUTO;
  if (!HttpReadCacheHeaders(stream.get(), &response(), combine)) {
    RTC_LOG_F(LS_ERROR) << "Error reading cache headers";
    return HE_CACHE;
  }
  response().scode = HC_OK;
  return HE_NONE;
}

HttpError HttpClient::ReadCacheBody(const std::string& id) {
  cache_state_ = CS_READING;
  std::unique_ptr<StreamInterface> stream(cache_->ReadResource(id, kCacheBody));
  size_t data_size = 0;
  if (!stream || !stream->GetAvailable(&data_size)) {
    RTC_LOG_F(LS_ERROR) << "Unavailable cache body";
    return HE_CACHE;
  }
  HttpError error = OnHeaderAvailable(false, false, data_size);
  if (error == HE_NONE && request().verb != HV_HEAD && response().document) {
    std::unique_ptr<char[]> buffer(new char[kCacheFlowBufferSize]);
    StreamResult result =
        Flow(stream.get(), buffer.get(), kCacheFlowBufferSize, response().document.get());
    if (result != SR_SUCCESS) {
      error = HE_STREAM;
    }
  }
  return error;
}

bool HttpClient::PrepareValidate() {
  // The request is the one about to go; the response holds the stored headers.
  if (HttpResponseValidatorLevel(response()) < HttpRequestValidatorLevel(request())) {
    return false;
  }
  std::string value;
  if (response().hasHeader(HH_ETAG, &value)) {
    request().setHeader(HH_IF_NONE_MATCH, value);
  }
  if (response().hasHeader(HH_LAST_MODIFIED, &value)) {
    request().setHeader(HH_IF_MODIFIED_SINCE, value);
  }
  response().clear(false);
  cache_state_ = CS_VALIDATING;
  return true;
}

HttpError HttpClient::CompleteValidate() {
  RTC_DCHECK(cache_state_ == CS_VALIDATING);
  std::string id = GetCacheID(request());
  HttpError error = ReadCacheHeaders(id, false);
  if (error == HE_NONE) {
    CacheLock lock(cache_, id);
    error = lock.IsLocked() ? WriteCacheHeaders(id) : HE_CACHE;
  }
  if (error == HE_NONE) {
    error = ReadCacheBody(id);
  }
  return error;
}

}  // namespace rtc
