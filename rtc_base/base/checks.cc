#include "rtc_base/base/checks.h"

#include <cstdio>
#include <cstdlib>

namespace rtc {
namespace checks_impl {

void FatalLog(const char* file, int line, const char* message, unsigned last_system_error,
              const std::pair<std::string, std::string>* values, const std::string& extra) {
  std::string block;
  block.reserve(256 + extra.size());
  char head[512];
  snprintf(head, sizeof(head),
           "\n\n#\n# Fatal error in: %s, line %d\n# last system error: %u\n# Check failed: ", file,
           line, last_system_error);
  block.append(head);
  // The message goes in whole: it can be longer than any fixed buffer.
  block.append(message);
  if (values) {
    block.append(" (").append(values->first).append(" vs. ").append(values->second);
    block.append(")\n# ");
  } else {
    block.append("\n# ");
  }
  block.append(extra);
  fflush(stdout);
  fwrite(block.data(), 1, block.size(), stderr);
  fflush(stderr);
  abort();
}

FatalMessage::FatalMessage(const char* file, int line, const char* message)
    : file_(file), line_(line), message_(message), last_system_error_(errno) {}

FatalMessage::FatalMessage(const char* file, int line, CheckOpResult&& result)
    : file_(file),
      line_(line),
      message_(result.failure_->text),
      last_system_error_(result.failure_->last_system_error),
      failure_(std::move(result.failure_)) {}

void FatalMessage::Report() {
  FatalLog(file_, line_, message_, last_system_error_, failure_ ? &failure_->values : nullptr,
           str());
}

}  // namespace checks_impl
}  // namespace rtc

void rtc_FatalMessage(const char* file, int line, const char* msg) {
  const unsigned last_system_error = errno;
  rtc::checks_impl::FatalLog(file, line, msg, last_system_error, nullptr, std::string());
}
