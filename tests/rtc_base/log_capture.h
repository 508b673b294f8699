#ifndef TESTS_RTC_BASE_LOG_CAPTURE_H_
#define TESTS_RTC_BASE_LOG_CAPTURE_H_

#include <mutex>
#include <string>
#include <vector>

#include "rtc_base/base/logging.h"

namespace rtc {

// Collects every runtime log line while it lives, so tests can check the lines the code under
// test writes. Lines may come from any thread.
class CapturingSink : public LogSink {
 public:
  CapturingSink() { LogMessage::AddLogToStream(this, LS_VERBOSE); }
  ~CapturingSink() override { LogMessage::RemoveLogToStream(this); }

  void OnLogMessage(const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(message);
  }

  // The number of lines holding `text`.
  int Count(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const std::string& line : lines_) n += line.find(text) != std::string::npos;
    return n;
  }

  bool Contains(const std::string& text) { return Count(text) > 0; }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace rtc

#endif  // TESTS_RTC_BASE_LOG_CAPTURE_H_
