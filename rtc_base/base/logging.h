#ifndef RTC_BASE_BASE_LOGGING_H_
#define RTC_BASE_BASE_LOGGING_H_

// The runtime's own log. A statement builds one line and writes it to standard error and to the
// registered sinks when it ends:
//
//   RTC_LOG(LS_INFO) << "connected to " << address;
//   RTC_LOG_ERR(LS_ERROR) << "connect failed";   // appends " : [0x%08X] <errno text>"
//   RTC_LOG_F(LS_WARNING) << "odd";               // prefixes the function's signature
//
// A statement below every destination's minimum costs one atomic load: its arguments are not
// evaluated. The library's log file is separate and does not come through here.

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>

#include "rtc_base/base/log_stream.h"

namespace rtc {

enum LoggingSeverity {
  LS_VERBOSE = 0,
  LS_INFO = 1,
  LS_WARNING = 2,
  LS_ERROR = 3,
  LS_NONE = 4,
};

enum LogErrorContext {
  ERRCTX_NONE = 0,
  ERRCTX_ERRNO = 1,
};

// Receives finished lines. Each overload forwards to the next by default; the last one is the
// one to implement. It is called with the log lock held, so it must not wait on a thread that
// logs.
class LogSink {
 public:
  LogSink() = default;
  virtual ~LogSink() = default;
  // Forwards tag + ": " + msg.
  virtual void OnLogMessage(const std::string& msg, LoggingSeverity severity, const char* tag);
  virtual void OnLogMessage(const std::string& message, LoggingSeverity severity);
  virtual void OnLogMessage(const std::string& message) = 0;
};

class LogMessage {
 public:
  LogMessage(const char* file, int line, LoggingSeverity sev);
  LogMessage(const char* file, int line, LoggingSeverity sev, LogErrorContext err_ctx, int err);
  // The prefix is followed by tag + ": ".
  LogMessage(const char* file, int line, LoggingSeverity sev, const char* tag);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  LogStream& stream() { return stream_; }
  void AddTag(const char*) {}

  // True when a line of this severity would reach no destination. One relaxed atomic load.
  static bool IsNoop(LoggingSeverity sev) {
    return sev < noop_below_.load(std::memory_order_relaxed);
  }

  // Minimum severity for standard error; LS_NONE silences it.
  static void LogToDebug(LoggingSeverity min_sev);
  static LoggingSeverity GetLogToDebug();
  // Turns console output on or off without changing its minimum.
  static void SetLogToStderr(bool log_to_stderr);

  // A sink may be added more than once; each registration is removed separately.
  static void AddLogToStream(LogSink* stream, LoggingSeverity min_sev);
  static void RemoveLogToStream(LogSink* stream);
  // The lowest minimum of `stream`'s registrations (of all sinks when null), LS_NONE when none.
  static int GetLogToStream(LogSink* stream = nullptr);
  // The lowest minimum over standard error and every sink.
  static int GetMinLogSeverity();

  static void LogThreads(bool on = true);
  static void LogTimestamps(bool on = true);

  // Reads space-separated words: "tstamp", "thread", a level ("verbose", "info", "warning",
  // "error", "none") and "debug", which takes the last level for standard error.
  static void ConfigureLogging(const char* params);

  // SystemTimeMillis at the first call.
  static int64_t LogStartTime();
  // Wall-clock seconds at the first call.
  static uint32_t WallClockStartTime();

 private:
  void Init(const char* file, int line, LoggingSeverity sev, LogErrorContext err_ctx, int err);

  // Lines below this severity reach nobody: the console minimum while no sink is registered,
  // else 0 (a sink sees every line and filters it itself).
  static std::atomic<int> noop_below_;

  LogStream stream_;
  LoggingSeverity severity_;
  std::string extra_;
};

// Lets a log statement sit in the void branch of a conditional; `&` binds more loosely than
// `<<`, so the whole line is streamed first.
class LogMessageVoidify {
 public:
  void operator&(LogStream&) {}
};

struct LogMultilineState {
  size_t unprintable_count_[2] = {0, 0};  // Index 0 output, 1 input.
};

// Dumps traffic one line at a time at `level`, each as label + " << " (input) or " >> "
// (output) + text. Hex mode shows 24 bytes per line as text and hexadecimal. Text mode cuts at
// line feeds, counts runs of binary data instead of printing them, and masks lines holding
// "Email" or "Passwd" and the values of Authorization, Proxy-Authorization, Cookie and
// Set-Cookie header lines. Null data flushes the pending count of unprintable bytes. Hex mode
// masks nothing: do not hex-dump traffic that carries credentials (proxy handshakes).
void LogMultiline(LoggingSeverity level, const char* label, bool input, const void* data,
                  size_t len, bool hex_mode, LogMultilineState* state);

namespace logging_impl {

// "[sss:mmm] " for an elapsed time: seconds and milliseconds, each at least three digits.
std::string ElapsedTimePrefix(int64_t elapsed_ms);

// The part of a path after its last '/' or '\'; the whole path when it has neither.
const char* FileBaseName(const char* file);

}  // namespace logging_impl
}  // namespace rtc

#define RTC_LAZY_STREAM(stream, condition) \
  !(condition) ? static_cast<void>(0) : ::rtc::LogMessageVoidify() & (stream)

// Logs at a severity held in a variable.
#define RTC_LOG_V(sev)                                                 \
  RTC_LAZY_STREAM(::rtc::LogMessage(__FILE__, __LINE__, sev).stream(), \
                  !::rtc::LogMessage::IsNoop(sev))

#define RTC_LOG(sev) RTC_LOG_V(::rtc::sev)

#define RTC_LOG_IF(sev, condition)                                            \
  RTC_LAZY_STREAM(::rtc::LogMessage(__FILE__, __LINE__, ::rtc::sev).stream(), \
                  !::rtc::LogMessage::IsNoop(::rtc::sev) && (condition))

#define RTC_LOG_E(sev, ctx, err)                                                              \
  RTC_LAZY_STREAM(                                                                            \
      ::rtc::LogMessage(__FILE__, __LINE__, ::rtc::sev, ::rtc::ERRCTX_##ctx, (err)).stream(), \
      !::rtc::LogMessage::IsNoop(::rtc::sev))

#define RTC_LOG_ERR_EX(sev, err) RTC_LOG_E(sev, ERRNO, err)
#define RTC_LOG_ERR(sev) RTC_LOG_ERR_EX(sev, errno)
#define RTC_LOG_ERRNO_EX(sev, err) RTC_LOG_ERR_EX(sev, err)
#define RTC_LOG_ERRNO(sev) RTC_LOG_ERR(sev)

#define RTC_LOG_TAG(sev, tag)                                              \
  RTC_LAZY_STREAM(::rtc::LogMessage(nullptr, 0, ::rtc::sev, tag).stream(), \
                  !::rtc::LogMessage::IsNoop(::rtc::sev))

// Prefixes the line with the function's full signature.
#define RTC_LOG_F(sev) RTC_LOG(sev) << __PRETTY_FUNCTION__ << ": "
#define RTC_LOG_T(sev) RTC_LOG(sev) << this << ": "
#define RTC_LOG_T_F(sev) RTC_LOG(sev) << this << ": " << __PRETTY_FUNCTION__ << ": "

#if !defined(NDEBUG)
#define RTC_DLOG_IS_ON 1
#define RTC_DLOG(sev) RTC_LOG(sev)
#define RTC_DLOG_V(sev) RTC_LOG_V(sev)
#define RTC_DLOG_F(sev) RTC_LOG_F(sev)
#else
#define RTC_DLOG_IS_ON 0
// Compiles the streamed arguments but never evaluates them.
#define RTC_DLOG(sev) \
  RTC_LAZY_STREAM(::rtc::LogMessage(__FILE__, __LINE__, ::rtc::sev).stream(), false)
#define RTC_DLOG_V(sev) RTC_LAZY_STREAM(::rtc::LogMessage(__FILE__, __LINE__, sev).stream(), false)
#define RTC_DLOG_F(sev) RTC_DLOG(sev) << __PRETTY_FUNCTION__ << ": "
#endif

#endif  // RTC_BASE_BASE_LOGGING_H_
