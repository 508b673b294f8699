#include "rtc_base/base/logging.h"

#include <string.h>
#include <strings.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "rtc_base/base/critical_section.h"
#include "rtc_base/base/platform_thread_types.h"
#include "rtc_base/base/time_utils.h"

namespace rtc {
namespace {

// Settings read on every statement, from any thread, without the lock.
std::atomic<int> g_dbg_sev{LS_INFO};
std::atomic<int> g_min_sev{LS_INFO};
std::atomic<bool> g_log_to_stderr{true};
std::atomic<bool> g_log_thread{false};
std::atomic<bool> g_log_timestamp{false};
std::atomic<bool> g_have_sinks{false};

struct SinkState {
  CriticalSection crit;
  std::vector<std::pair<LogSink*, LoggingSeverity>> streams ABSL_GUARDED_BY(crit);
};

// Created on first use and never destroyed: threads that outlive main, or log from static
// destructors, must still find a working lock and list.
SinkState& Sinks() {
  static SinkState* const state = new SinkState;
  return *state;
}

bool IsPrintable(unsigned char c) { return c >= 0x20 && c < 0x7f; }
bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Recomputes the overall minimum after a change of the console minimum or of the sinks, and
// returns the severity below which a line reaches nobody.
int RecomputeMinSeverity(SinkState& sinks) ABSL_EXCLUSIVE_LOCKS_REQUIRED(sinks.crit) {
  const int dbg_sev = g_dbg_sev.load(std::memory_order_relaxed);
  int min_sev = dbg_sev;
  for (const auto& [sink, sev] : sinks.streams) min_sev = std::min<int>(min_sev, sev);
  g_min_sev.store(min_sev, std::memory_order_relaxed);
  const bool have_sinks = !sinks.streams.empty();
  g_have_sinks.store(have_sinks, std::memory_order_release);
  // A sink sees every line and filters it itself.
  return have_sinks ? LS_VERBOSE : dbg_sev;
}

const char* const kSecretHeaders[] = {"Authorization", "Proxy-Authorization", "Cookie",
                                      "Set-Cookie"};

// A header line whose value is a credential keeps its name and loses the value.
bool MaskSecretHeader(std::string* line) {
  const size_t colon = line->find(':');
  if (colon == std::string::npos) return false;
  size_t name_end = colon;
  while (name_end > 0 && IsSpace((*line)[name_end - 1])) --name_end;
  for (const char* header : kSecretHeaders) {
    if (name_end == strlen(header) && strncasecmp(line->c_str(), header, name_end) == 0) {
      line->resize(colon + 1);
      line->append(" ## omitted for privacy ##");
      return true;
    }
  }
  return false;
}

}  // namespace

std::atomic<int> LogMessage::noop_below_{LS_INFO};

void LogSink::OnLogMessage(const std::string& msg, LoggingSeverity severity, const char* tag) {
  OnLogMessage(std::string(tag) + ": " + msg, severity);
}

void LogSink::OnLogMessage(const std::string& message, LoggingSeverity /*severity*/) {
  OnLogMessage(message);
}

LogMessage::LogMessage(const char* file, int line, LoggingSeverity sev) {
  Init(file, line, sev, ERRCTX_NONE, 0);
}

LogMessage::LogMessage(const char* file, int line, LoggingSeverity sev, LogErrorContext err_ctx,
                       int err) {
  Init(file, line, sev, err_ctx, err);
}

LogMessage::LogMessage(const char* file, int line, LoggingSeverity sev, const char* tag) {
  Init(file, line, sev, ERRCTX_NONE, 0);
  stream_ << tag << ": ";
}

void LogMessage::Init(const char* file, int line, LoggingSeverity sev, LogErrorContext err_ctx,
                      int err) {
  severity_ = sev;
  if (g_log_timestamp.load(std::memory_order_relaxed)) {
    // The wall-clock start is taken at the same moment, though it is never printed.
    WallClockStartTime();
    stream_ << logging_impl::ElapsedTimePrefix(SystemTimeMillis() - LogStartTime());
  }
  if (g_log_thread.load(std::memory_order_relaxed)) {
    stream_ << "[" << CurrentThreadId() << "] ";
  }
  if (file) {
    stream_ << "(" << logging_impl::FileBaseName(file) << ":" << line << "): ";
  }
  if (err_ctx != ERRCTX_NONE) {
    char code[16];
    snprintf(code, sizeof(code), "[0x%08X]", static_cast<unsigned>(err));
    extra_ = code;
    if (err_ctx == ERRCTX_ERRNO) {
      // strerror is not thread-safe; the GNU strerror_r returns the text it chose.
      char buf[256];
      extra_.append(" ").append(strerror_r(err, buf, sizeof(buf)));
    }
  }
}

LogMessage::~LogMessage() {
  if (!extra_.empty()) stream_ << " : " << extra_;
  stream_ << "\n";
  const std::string& str = stream_.str();
  if (severity_ >= g_dbg_sev.load(std::memory_order_relaxed) &&
      g_log_to_stderr.load(std::memory_order_relaxed)) {
    // One call per line, so lines of different threads do not interleave.
    fwrite(str.data(), 1, str.size(), stderr);
    fflush(stderr);
  }
  if (g_have_sinks.load(std::memory_order_acquire)) {
    SinkState& sinks = Sinks();
    CritScope cs(&sinks.crit);
    for (const auto& [sink, min_sev] : sinks.streams) {
      if (severity_ >= min_sev) sink->OnLogMessage(str, severity_);
    }
  }
}

void LogMessage::LogToDebug(LoggingSeverity min_sev) {
  SinkState& sinks = Sinks();
  CritScope cs(&sinks.crit);
  g_dbg_sev.store(min_sev, std::memory_order_relaxed);
  noop_below_.store(RecomputeMinSeverity(sinks), std::memory_order_relaxed);
}

LoggingSeverity LogMessage::GetLogToDebug() {
  return static_cast<LoggingSeverity>(g_dbg_sev.load(std::memory_order_relaxed));
}

void LogMessage::SetLogToStderr(bool log_to_stderr) {
  g_log_to_stderr.store(log_to_stderr, std::memory_order_relaxed);
}

void LogMessage::AddLogToStream(LogSink* stream, LoggingSeverity min_sev) {
  SinkState& sinks = Sinks();
  CritScope cs(&sinks.crit);
  sinks.streams.emplace_back(stream, min_sev);
  noop_below_.store(RecomputeMinSeverity(sinks), std::memory_order_relaxed);
}

void LogMessage::RemoveLogToStream(LogSink* stream) {
  SinkState& sinks = Sinks();
  CritScope cs(&sinks.crit);
  auto it = std::find_if(sinks.streams.begin(), sinks.streams.end(),
                         [stream](const auto& entry) { return entry.first == stream; });
  if (it != sinks.streams.end()) sinks.streams.erase(it);
  noop_below_.store(RecomputeMinSeverity(sinks), std::memory_order_relaxed);
}

int LogMessage::GetLogToStream(LogSink* stream) {
  SinkState& sinks = Sinks();
  CritScope cs(&sinks.crit);
  int sev = LS_NONE;
  for (const auto& [sink, min_sev] : sinks.streams) {
    if (!stream || stream == sink) sev = std::min<int>(sev, min_sev);
  }
  return sev;
}

int LogMessage::GetMinLogSeverity() { return g_min_sev.load(std::memory_order_relaxed); }

void LogMessage::LogThreads(bool on) { g_log_thread.store(on, std::memory_order_relaxed); }

void LogMessage::LogTimestamps(bool on) { g_log_timestamp.store(on, std::memory_order_relaxed); }

void LogMessage::ConfigureLogging(const char* params) {
  if (!params) return;
  int current_level = LS_VERBOSE;
  int debug_level = GetLogToDebug();
  const std::string text(params);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(pos, end - pos);
    pos = end + 1;
    if (word == "tstamp") {
      LogTimestamps();
    } else if (word == "thread") {
      LogThreads();
    } else if (word == "verbose") {
      current_level = LS_VERBOSE;
    } else if (word == "info") {
      current_level = LS_INFO;
    } else if (word == "warning") {
      current_level = LS_WARNING;
    } else if (word == "error") {
      current_level = LS_ERROR;
    } else if (word == "none") {
      current_level = LS_NONE;
    } else if (word == "debug") {
      debug_level = current_level;
    }
  }
  LogToDebug(static_cast<LoggingSeverity>(debug_level));
}

int64_t LogMessage::LogStartTime() {
  static const int64_t start = SystemTimeMillis();
  return start;
}

uint32_t LogMessage::WallClockStartTime() {
  static const uint32_t start = static_cast<uint32_t>(time(nullptr));
  return start;
}

namespace logging_impl {

std::string ElapsedTimePrefix(int64_t elapsed_ms) {
  char buf[64];
  snprintf(buf, sizeof(buf), "[%03lld:%03lld] ", static_cast<long long>(elapsed_ms / 1000),
           static_cast<long long>(elapsed_ms % 1000));
  return buf;
}

const char* FileBaseName(const char* file) {
  const char* base = file;
  for (const char* p = file; *p; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

}  // namespace logging_impl

void LogMultiline(LoggingSeverity level, const char* label, bool input, const void* data,
                  size_t len, bool hex_mode, LogMultilineState* state) {
  if (level < LogMessage::GetMinLogSeverity()) return;
  const char* direction = input ? " << " : " >> ";
  const unsigned char* udata = static_cast<const unsigned char*>(data);

  if (!udata) {
    // Flushes the count of unprintable bytes at the end of the traffic.
    if (state && state->unprintable_count_[input] != 0) {
      RTC_LOG_V(level) << label << direction << "## " << state->unprintable_count_[input]
                       << " consecutive unprintable ##";
      state->unprintable_count_[input] = 0;
    }
    return;
  }

  if (hex_mode) {
    constexpr size_t kBytesPerLine = 24;
    // Two digits per byte with a blank after every fourth byte, padded with blanks to 55
    // characters: a full line's 54 and one more.
    constexpr size_t kHexWidth = 55;
    static const char kHex[] = "0123456789abcdef";
    while (len > 0) {
      const size_t line_len = std::min(len, kBytesPerLine);
      std::string text(kBytesPerLine, ' ');
      std::string hex(kHexWidth, ' ');
      for (size_t i = 0; i < line_len; ++i) {
        text[i] = IsPrintable(udata[i]) ? static_cast<char>(udata[i]) : '.';
        hex[i * 2 + i / 4] = kHex[udata[i] >> 4];
        hex[i * 2 + i / 4 + 1] = kHex[udata[i] & 0xf];
      }
      RTC_LOG_V(level) << label << direction << text << " " << hex << " ";
      udata += line_len;
      len -= line_len;
    }
    return;
  }

  size_t consecutive_unprintable = state ? state->unprintable_count_[input] : 0;
  const unsigned char* const end = udata + len;
  while (udata < end) {
    const unsigned char* const line = udata;
    const unsigned char* end_of_line =
        static_cast<const unsigned char*>(memchr(udata, '\n', end - udata));
    if (!end_of_line) {
      udata = end_of_line = end;
    } else {
      udata = end_of_line + 1;
    }

    // A short piece after binary data is most likely more binary data.
    bool is_printable = !(consecutive_unprintable != 0 && end_of_line - line < 4);
    bool all_space = true;
    for (const unsigned char* pos = line; pos < end_of_line && is_printable; ++pos) {
      if (!IsSpace(*pos)) {
        all_space = false;
        if (!IsPrintable(*pos)) is_printable = false;
      }
    }
    if (is_printable && consecutive_unprintable != 0 && all_space) is_printable = false;
    if (!is_printable) {
      consecutive_unprintable += udata - line;
      continue;
    }
    if (consecutive_unprintable != 0) {
      RTC_LOG_V(level) << label << direction << "## " << consecutive_unprintable
                       << " consecutive unprintable ##";
      consecutive_unprintable = 0;
    }
    while (end_of_line > line && IsSpace(end_of_line[-1])) --end_of_line;
    std::string str(reinterpret_cast<const char*>(line), end_of_line - line);
    if (str.find("Email") != std::string::npos || str.find("Passwd") != std::string::npos) {
      str = "## omitted for privacy ##";
    } else {
      MaskSecretHeader(&str);
    }
    RTC_LOG_V(level) << label << direction << str;
  }
  if (state) state->unprintable_count_[input] = consecutive_unprintable;
}

}  // namespace rtc
