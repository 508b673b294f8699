// The library's own log file: one process-wide rotating file written through
// spdlog, separate from the runtime's diagnostic logging.
//
// Levels are 0 trace, 1 debug, 2 info, 3 warning, 4 error and 5 critical; the
// filter runs from 0 to 6 (off). A line is written when a log is open and its
// level is at or above the filter; every written line is flushed at once.
// All functions may be called from any thread.
#ifndef CORE_RTC_LOG_H_
#define CORE_RTC_LOG_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace vy {

// Levels of log lines.
enum RtcLogLevel {
  kRtcLogTrace = 0,
  kRtcLogDebug = 1,
  kRtcLogInfo = 2,
  kRtcLogWarning = 3,
  kRtcLogError = 4,
  kRtcLogCritical = 5,
  kRtcLogOff = 6,
};

// Longest formatted line, in bytes; longer lines are cut.
constexpr size_t kRtcLogMaxLine = 2046;

// Opens the log on `path` with the filter `level` (clamped to 0..6), at most
// `sizeKB` kilobytes per file and one rotated backup. The file is made 0600
// and its missing folders 0700 (LogFileSink). Does nothing and returns 0 when
// a log is open already. Returns -1 for a null or empty path or a size below
// 1, and -2 when the file could not be opened or is not a plain file of this
// user (a symbolic link, for one); the log then stays closed.
int OpenRtcLog(const char* path, int level, int sizeKB);

// Closes the log. Lines written while it is closed are dropped.
void CloseRtcLog();

// Writes `text` at `level` (0..5) and flushes it. Values of "AcsToken" and
// "token" JSON keys are masked, and the text is escaped by EscapeRtcLogLine,
// so that one call writes exactly one line.
void RtcLog(int level, const char* text);

// Formats a line printf-style and writes it with RtcLog. The level test comes
// first, so a dropped line costs no formatting.
void RtcPrintf(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Sets the filter of the open log; values outside 0..6 are ignored.
void SetRtcLogFilter(int level);

// True when a line of `level` would be written now.
bool RtcLogEnabled(int level);

// Builds the log's process-wide state and spdlog's registry now, so that
// objects created afterwards (the worker thread) are destroyed before them.
// Also quiets the runtime's console, as QuietRuntimeConsole does.
void InitRtcLogStatics();

// Stops the runtime's own lines from reaching the app's standard error, for
// the rest of the process. While a log is open they go to it instead.
void QuietRuntimeConsole();

// What the open log was opened with, for diagnostics and tests.
struct RtcLogStatus {
  bool open = false;
  std::string path;
  size_t max_file_bytes = 0;
  int filter = kRtcLogOff;
};
RtcLogStatus GetRtcLogStatus();

// Returns `line` with every byte of a control character (U+0000 to U+001F,
// U+007F to U+009F: line feeds, carriage returns, tabs, escapes) and every
// byte that is not part of valid UTF-8 written as "\xNN" (two lower-case hex
// digits). Valid UTF-8 text stays as it is, backslashes included.
std::string EscapeRtcLogLine(std::string_view line);

// Returns `line` with the string values of the "AcsToken" and "token" keys
// replaced by "***", both in plain JSON and in JSON quoted inside a string.
std::string MaskRtcLogSecrets(std::string_view line);

}  // namespace vy

#endif  // CORE_RTC_LOG_H_
