#include "core/rtc_log.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include <vortm/rtm_service.h>

#include "core/log_file_sink.h"
#include "core/session_wire.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/mutex.h"

namespace vy {

namespace {

constexpr char kLoggerName[] = "RTM_LOG";
constexpr char kPattern[] = "[%l] (%T); %v";
// The filter value while no log is open: above every line level.
constexpr int kClosedFilter = kRtcLogOff + 1;

struct LogState {
  rtc::Mutex mu;
  std::shared_ptr<spdlog::logger> logger ABSL_GUARDED_BY(mu);
  std::string path ABSL_GUARDED_BY(mu);
  size_t max_file_bytes ABSL_GUARDED_BY(mu) = 0;
  // The filter of the open log, or kClosedFilter; read without the lock so
  // that a dropped line costs one atomic load.
  std::atomic<int> filter{kClosedFilter};
};

// Never destroyed: the worker thread may log while static destructors run at
// process exit.
LogState& State() {
  static LogState* state = new LogState;
  return *state;
}

// The runtime's own lines (HTTP requests, sockets, the TCP client) written to
// the library's log at their own level. Registered only while a log is open.
class RuntimeLogSink : public rtc::LogSink {
 public:
  void OnLogMessage(const std::string& message) override { OnLogMessage(message, rtc::LS_INFO); }
  void OnLogMessage(const std::string& message, rtc::LoggingSeverity severity) override {
    std::string_view line = message;
    while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    RtcLog(LevelOf(severity), std::string(line).c_str());
  }

 private:
  static int LevelOf(rtc::LoggingSeverity severity) {
    switch (severity) {
      case rtc::LS_VERBOSE:
        return kRtcLogDebug;
      case rtc::LS_INFO:
        return kRtcLogInfo;
      case rtc::LS_WARNING:
        return kRtcLogWarning;
      default:
        return kRtcLogError;
    }
  }
};

RuntimeLogSink& RuntimeSink() {
  static RuntimeLogSink* sink = new RuntimeLogSink;
  return *sink;
}

// Serializes opening and closing, so that the runtime sink is registered once
// per open log. Taken before LogState::mu and never while the runtime's sink
// lock is held, which the sink's own calls take first.
rtc::Mutex& OpenCloseMutex() {
  static rtc::Mutex* mu = new rtc::Mutex;
  return *mu;
}

std::shared_ptr<spdlog::logger> CurrentLogger() {
  LogState& s = State();
  rtc::MutexLock lock(&s.mu);
  return s.logger;
}

struct SecretKey {
  std::string_view name;
};
constexpr SecretKey kSecretKeys[] = {{"AcsToken"}, {"token"}};

// Length of the quote at `pos`: 1 for '"', 2 for '\"' (JSON quoted inside a
// JSON string), 0 for none.
size_t QuoteAt(std::string_view s, size_t pos) {
  if (pos < s.size() && s[pos] == '"') return 1;
  if (pos + 1 < s.size() && s[pos] == '\\' && s[pos + 1] == '"') return 2;
  return 0;
}

size_t SkipSpaces(std::string_view s, size_t pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  return pos;
}

// Finds the end of a string value that starts at `pos` and is closed by a
// quote of length `quote` (see QuoteAt). Returns s.size() when unterminated.
size_t ValueEnd(std::string_view s, size_t pos, size_t quote) {
  while (pos < s.size()) {
    if (QuoteAt(s, pos) == quote) return pos;
    pos += (s[pos] == '\\') ? 2 : 1;
  }
  return s.size();
}

// Length of the UTF-8 sequence at `pos` when it may stand in the log as it is: a character
// that is valid, in its shortest form and no control character. 0 for a byte to escape.
size_t PrintableSequenceAt(std::string_view s, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7f ? 1 : 0;
  size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    code = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    code = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() - pos < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xc0) != 0x80) return 0;
    code = (code << 6) | (byte(pos + i) & 0x3f);
  }
  constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  // Overlong forms, surrogates and values past U+10FFFF are no characters; U+0080 to U+009F
  // are the C1 controls, of which U+0085 ends a line for some readers.
  if (code < kShortest[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff ||
      code <= 0x9f) {
    return 0;
  }
  return length;
}

// Position of the first byte EscapeRtcLogLine changes, or npos.
size_t FirstByteToEscape(std::string_view line) {
  for (size_t pos = 0; pos < line.size();) {
    const size_t length = PrintableSequenceAt(line, pos);
    if (length == 0) return pos;
    pos += length;
  }
  return std::string_view::npos;
}

}  // namespace

std::string EscapeRtcLogLine(std::string_view line) {
  size_t pos = FirstByteToEscape(line);
  if (pos == std::string_view::npos) return std::string(line);
  std::string out(line.substr(0, pos));
  out.reserve(line.size() + 16);
  while (pos < line.size()) {
    const size_t length = PrintableSequenceAt(line, pos);
    if (length != 0) {
      out.append(line.substr(pos, length));
      pos += length;
      continue;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(line[pos++]);
    out.append({'\\', 'x', kHex[byte >> 4], kHex[byte & 0x0f]});
  }
  return out;
}

std::string MaskRtcLogSecrets(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  size_t i = 0;
  while (i < line.size()) {
    size_t open = QuoteAt(line, i);
    if (open == 0) {
      out.push_back(line[i++]);
      continue;
    }
    size_t key_start = i + open;
    size_t value_start = std::string_view::npos;
    for (const SecretKey& key : kSecretKeys) {
      if (line.compare(key_start, key.name.size(), key.name) != 0) continue;
      size_t p = key_start + key.name.size();
      if (QuoteAt(line, p) != open) continue;
      p = SkipSpaces(line, p + open);
      if (p >= line.size() || line[p] != ':') continue;
      p = SkipSpaces(line, p + 1);
      if (QuoteAt(line, p) != open) continue;
      value_start = p + open;
      break;
    }
    if (value_start == std::string_view::npos) {
      out.append(line.substr(i, open));
      i += open;
      continue;
    }
    out.append(line.substr(i, value_start - i));
    out.append("***");
    i = ValueEnd(line, value_start, open);
  }
  return out;
}

namespace {

// Opens the spdlog logger; the caller holds OpenCloseMutex.
int OpenLogger(const char* path, int level, int sizeKB) {
  LogState& s = State();
  rtc::MutexLock lock(&s.mu);
  if (s.logger) return 0;
  level = std::clamp(level, static_cast<int>(kRtcLogTrace), static_cast<int>(kRtcLogOff));
  size_t max_bytes = static_cast<size_t>(sizeKB) * 1024;
  try {
    // A logger of that name left in spdlog's registry (by the host app or an
    // earlier failure) would make the factory throw.
    spdlog::drop(kLoggerName);
    auto logger = spdlog::synchronous_factory::create<LogFileSink>(kLoggerName, path, max_bytes);
    logger->set_level(static_cast<spdlog::level::level_enum>(level));
    logger->set_pattern(kPattern, spdlog::pattern_time_type::local);
    // spdlog reports a failed write (a full disk) on standard error; the line is lost quietly.
    logger->set_error_handler([](const std::string&) {});
    s.logger = std::move(logger);
  } catch (const std::exception&) {
    // The app learns of it from the result; there is nowhere to write why.
    try {
      spdlog::drop(kLoggerName);
    } catch (...) {
    }
    return -2;
  }
  s.path = path;
  s.max_file_bytes = max_bytes;
  s.filter.store(level, std::memory_order_relaxed);
  return 0;
}

}  // namespace

int OpenRtcLog(const char* path, int level, int sizeKB) {
  QuietRuntimeConsole();
  if (path == nullptr || path[0] == '\0' || sizeKB < 1) return -1;
  rtc::MutexLock open_close(&OpenCloseMutex());
  int result = OpenLogger(path, level, sizeKB);
  if (result == 0 && rtc::LogMessage::GetLogToStream(&RuntimeSink()) == rtc::LS_NONE) {
    rtc::LogMessage::AddLogToStream(&RuntimeSink(), rtc::LS_VERBOSE);
  }
  return result;
}

void CloseRtcLog() {
  rtc::MutexLock open_close(&OpenCloseMutex());
  rtc::LogMessage::RemoveLogToStream(&RuntimeSink());
  std::shared_ptr<spdlog::logger> logger;
  {
    LogState& s = State();
    rtc::MutexLock lock(&s.mu);
    if (!s.logger) return;
    s.filter.store(kClosedFilter, std::memory_order_relaxed);
    logger = std::move(s.logger);
    s.logger.reset();
    s.path.clear();
    s.max_file_bytes = 0;
    try {
      // Only our logger leaves the registry; the host app's stay.
      spdlog::drop(kLoggerName);
    } catch (...) {
    }
  }
  try {
    logger->flush();
  } catch (...) {
  }
}

bool RtcLogEnabled(int level) {
  return level >= kRtcLogTrace && level <= kRtcLogCritical &&
         level >= State().filter.load(std::memory_order_relaxed);
}

void RtcLog(int level, const char* text) {
  if (text == nullptr || !RtcLogEnabled(level)) return;
  std::shared_ptr<spdlog::logger> logger = CurrentLogger();
  if (!logger) return;
  auto spd_level = static_cast<spdlog::level::level_enum>(level);
  try {
    std::string_view line = text;
    std::string masked, escaped;
    if (std::strstr(text, "oken") != nullptr) {
      masked = MaskRtcLogSecrets(line);
      line = masked;
    }
    // Every line, the runtime's too, passes here: ids and texts of users and of the server
    // must not start a line of their own in the file, nor send a reader's terminal commands.
    if (FirstByteToEscape(line) != std::string_view::npos) {
      escaped = EscapeRtcLogLine(line);
      line = escaped;
    }
    logger->log(spd_level, spdlog::string_view_t(line.data(), line.size()));
    logger->flush();
  } catch (...) {
    // A full disk must not take the app down; the line is lost.
  }
}

void RtcPrintf(int level, const char* format, ...) {
  if (format == nullptr || !RtcLogEnabled(level)) return;
  char line[kRtcLogMaxLine + 1];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  if (length < 1) return;
  RtcLog(level, line);
}

void SetRtcLogFilter(int level) {
  if (static_cast<unsigned>(level) > static_cast<unsigned>(kRtcLogOff)) return;
  LogState& s = State();
  rtc::MutexLock lock(&s.mu);
  if (!s.logger) return;
  s.logger->set_level(static_cast<spdlog::level::level_enum>(level));
  s.filter.store(level, std::memory_order_relaxed);
}

void QuietRuntimeConsole() {
  static std::once_flag once;
  std::call_once(once, [] { rtc::LogMessage::LogToDebug(rtc::LS_NONE); });
}

void InitRtcLogStatics() {
  QuietRuntimeConsole();
  State();
  OpenCloseMutex();
  RuntimeSink();
  try {
    spdlog::get(kLoggerName);
  } catch (...) {
  }
}

RtcLogStatus GetRtcLogStatus() {
  LogState& s = State();
  rtc::MutexLock lock(&s.mu);
  RtcLogStatus status;
  status.open = s.logger != nullptr;
  status.path = s.path;
  status.max_file_bytes = s.max_file_bytes;
  status.filter = status.open ? s.filter.load() : kRtcLogOff;
  return status;
}

}  // namespace vy

extern "C" {

const char* getRtmSdkVersion() { return vy::kSdkVersion; }

int VyRtm_OpenRtcLog(const char* path, int level, int sizeKB) {
  return vy::OpenRtcLog(path, level, sizeKB);
}

void VyRtm_CloseRtcLog() { vy::CloseRtcLog(); }

}  // extern "C"
