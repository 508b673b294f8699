// One HTTP POST of the messaging core (the gateway lookup, the offline fetch, the history
// requests) over rtc::AsyncHttpRequest, started and completed on the worker thread without
// blocking it.
//
// The owner keeps the object while the request runs and may delete it at any time, also from
// inside its completion: a request deleted before it completed never calls back.
#ifndef CORE_HTTP_POST_H_
#define CORE_HTTP_POST_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace vy {

class HttpPost {
 public:
  // `ok` is false when no answer came (no connection, time-out, protocol error); `body` is
  // the answer's body, whatever its status.
  using Done = std::function<void(bool ok, const std::string& body)>;

  struct Request {
    std::string agent;
    std::string url;  // "http://host:port/path"
    std::string content_type;
    std::string body;
    int timeout_ms = 10000;
    // A longer answer body is refused as soon as it passes this (a log line, and `ok` false),
    // rather than read until the time-out.
    size_t max_body_bytes = 64 * 1024;
  };

  virtual ~HttpPost() = default;

  // Starts `request` on the current thread, which must have an rtc::Thread; `done` runs
  // there once, unless the request is deleted first.
  static std::unique_ptr<HttpPost> Start(const Request& request, Done done);
};

}  // namespace vy

#endif  // CORE_HTTP_POST_H_
