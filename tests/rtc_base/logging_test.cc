#include "rtc_base/logging.h"

#include <errno.h>
#include <string.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/critical_section.h"
#include "rtc_base/platform_thread_types.h"

namespace rtc {
namespace {

class CollectingSink : public LogSink {
 public:
  void OnLogMessage(const std::string& message) override {
    CritScope cs(&crit_);
    lines_.push_back(message);
  }
  std::vector<std::string> lines() const {
    CritScope cs(&crit_);
    return lines_;
  }
  std::string last() const {
    CritScope cs(&crit_);
    return lines_.empty() ? std::string() : lines_.back();
  }

 private:
  CriticalSection crit_;
  std::vector<std::string> lines_;
};

class SeverityRecordingSink : public LogSink {
 public:
  void OnLogMessage(const std::string& message, LoggingSeverity severity) override {
    severities.push_back(severity);
    LogSink::OnLogMessage(message, severity);
  }
  void OnLogMessage(const std::string&) override {}
  std::vector<LoggingSeverity> severities;
};

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSettings(); }
  void TearDown() override { ResetSettings(); }
  static void ResetSettings() {
    LogMessage::LogToDebug(LS_INFO);
    LogMessage::SetLogToStderr(true);
    LogMessage::LogThreads(false);
    LogMessage::LogTimestamps(false);
  }
  // Logs through the stream macros and returns what reached standard error.
  template <typename F>
  static std::string CaptureStderr(F&& f) {
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
  }
};

TEST_F(LoggingTest, InitialSettingsSendInfoAndAboveToStderrButNotVerbose) {
  EXPECT_EQ(LogMessage::GetLogToDebug(), LS_INFO);
  EXPECT_EQ(LogMessage::GetMinLogSeverity(), LS_INFO);
  const std::string out = CaptureStderr([] {
    RTC_LOG(LS_VERBOSE) << "verbose line";
    RTC_LOG(LS_INFO) << "info line";
    RTC_LOG(LS_WARNING) << "warning line";
    RTC_LOG(LS_ERROR) << "error line";
  });
  EXPECT_EQ(out.find("verbose line"), std::string::npos);
  EXPECT_NE(out.find("): info line\n"), std::string::npos);
  EXPECT_NE(out.find("): warning line\n"), std::string::npos);
  EXPECT_NE(out.find("): error line\n"), std::string::npos);
}

TEST_F(LoggingTest, LogToDebugNoneSilencesStderr) {
  LogMessage::LogToDebug(LS_NONE);
  EXPECT_TRUE(LogMessage::IsNoop(LS_ERROR));
  const std::string out = CaptureStderr([] {
    RTC_LOG(LS_ERROR) << "error line";
    RTC_LOG_ERR(LS_ERROR) << "errno line";
    RTC_LOG_F(LS_ERROR) << "function line";
  });
  EXPECT_EQ(out, "");
}

TEST_F(LoggingTest, SetLogToStderrFalseKeepsLinesOffTheConsole) {
  LogMessage::SetLogToStderr(false);
  const std::string out = CaptureStderr([] { RTC_LOG(LS_ERROR) << "error line"; });
  EXPECT_EQ(out, "");
}

int g_evaluations = 0;
int CountedArgument() { return ++g_evaluations; }

TEST_F(LoggingTest, SilencedStatementsDoNotEvaluateTheirArguments) {
  g_evaluations = 0;
  RTC_LOG(LS_VERBOSE) << CountedArgument();
  LogMessage::LogToDebug(LS_NONE);
  RTC_LOG(LS_ERROR) << CountedArgument();
  RTC_LOG_V(LS_WARNING) << CountedArgument();
  RTC_LOG_ERR_EX(LS_ERROR, CountedArgument()) << CountedArgument();
  RTC_LOG_IF(LS_ERROR, true) << CountedArgument();
  EXPECT_EQ(g_evaluations, 0);
  CollectingSink sink;
  LogMessage::AddLogToStream(&sink, LS_ERROR);
  // With a sink registered every statement is built; the sink filters.
  RTC_LOG(LS_VERBOSE) << CountedArgument();
  EXPECT_EQ(g_evaluations, 1);
  RTC_LOG_IF(LS_ERROR, false) << CountedArgument();
  EXPECT_EQ(g_evaluations, 1);
  LogMessage::RemoveLogToStream(&sink);
  EXPECT_TRUE(sink.lines().empty());
}

TEST_F(LoggingTest, LineHoldsTheFileBaseNameLineAndText) {
  CollectingSink sink;
  LogMessage::AddLogToStream(&sink, LS_VERBOSE);
  LogMessage::SetLogToStderr(false);
  LogMessage("/src/rtc_base/some_file.cc", 12, LS_INFO).stream() << "text";
  EXPECT_EQ(sink.last(), "(some_file.cc:12): text\n");
  LogMessage("c:\\src\\dir/later\\name.cc", 7, LS_INFO).stream() << "x";
  EXPECT_EQ(sink.last(), "(name.cc:7): x\n");
  LogMessage("a\\b/name2.cc", 8, LS_INFO).stream() << "y";
  EXPECT_EQ(sink.last(), "(name2.cc:8): y\n");
  LogMessage("plain.cc", 9, LS_INFO).stream() << "z";
  EXPECT_EQ(sink.last(), "(plain.cc:9): z\n");
  RTC_LOG_TAG(LS_INFO, "Tag") << "tagged";
  EXPECT_EQ(sink.last(), "Tag: tagged\n");
  RTC_DLOG(LS_INFO) << "debug only";
#if RTC_DLOG_IS_ON
  EXPECT_NE(sink.last().find("): debug only\n"), std::string::npos);
#else
  EXPECT_EQ(sink.last(), "Tag: tagged\n");
#endif
  LogMessage::RemoveLogToStream(&sink);
}

TEST_F(LoggingTest, ErrnoContextAppendsTheCodeAndTheSystemText) {
  CollectingSink sink;
  LogMessage::AddLogToStream(&sink, LS_VERBOSE);
  LogMessage::SetLogToStderr(false);
  LogMessage("f.cc", 3, LS_ERROR, ERRCTX_ERRNO, 2).stream() << "open failed";
  EXPECT_EQ(sink.last(), std::string("(f.cc:3): open failed : [0x00000002] ") + strerror(2) + "\n");
  errno = EACCES;
  RTC_LOG_ERR(LS_ERROR) << "denied";
  EXPECT_NE(sink.last().find("denied : [0x0000000D] " + std::string(strerror(EACCES)) + "\n"),
            std::string::npos);
  RTC_LOG_ERR_EX(LS_ERROR, -1) << "negative";
  EXPECT_NE(sink.last().find("negative : [0xFFFFFFFF] "), std::string::npos);
  LogMessage::RemoveLogToStream(&sink);
}

TEST_F(LoggingTest, ElapsedTimePrefixPadsToThreeDigitsAndNeverCutsSeconds) {
  EXPECT_EQ(logging_impl::ElapsedTimePrefix(0), "[000:000] ");
  EXPECT_EQ(logging_impl::ElapsedTimePrefix(12345), "[012:345] ");
  EXPECT_EQ(logging_impl::ElapsedTimePrefix(65432), "[065:432] ");
  EXPECT_EQ(logging_impl::ElapsedTimePrefix(1234567), "[1234:567] ");
}

TEST_F(LoggingTest, TimestampAndThreadPrefixesComeBeforeTheFile) {
  CollectingSink sink;
  LogMessage::AddLogToStream(&sink, LS_VERBOSE);
  LogMessage::SetLogToStderr(false);
  LogMessage::LogThreads(true);
  LogMessage("f.cc", 1, LS_INFO).stream() << "t";
  EXPECT_EQ(sink.last(), "[" + std::to_string(CurrentThreadId()) + "] (f.cc:1): t\n");
  LogMessage::LogTimestamps(true);
  LogMessage("f.cc", 2, LS_INFO).stream() << "ts";
  EXPECT_TRUE(std::regex_match(sink.last(), std::regex("\\[[0-9]{3,}:[0-9]{3}\\] \\[[0-9]+\\] "
                                                       "\\(f\\.cc:2\\): ts\n")))
      << sink.last();
  LogMessage::RemoveLogToStream(&sink);
}

TEST_F(LoggingTest, SinksFilterByTheirOwnMinimumAndRecomputeTheOverallMinimum) {
  LogMessage::SetLogToStderr(false);
  EXPECT_EQ(LogMessage::GetLogToStream(), LS_NONE);
  CollectingSink warnings, everything;
  LogMessage::AddLogToStream(&warnings, LS_WARNING);
  EXPECT_EQ(LogMessage::GetMinLogSeverity(), LS_INFO);
  LogMessage::AddLogToStream(&everything, LS_VERBOSE);
  EXPECT_EQ(LogMessage::GetMinLogSeverity(), LS_VERBOSE);
  EXPECT_EQ(LogMessage::GetLogToStream(&warnings), LS_WARNING);
  EXPECT_EQ(LogMessage::GetLogToStream(), LS_VERBOSE);
  EXPECT_FALSE(LogMessage::IsNoop(LS_VERBOSE));

  RTC_LOG(LS_VERBOSE) << "v";
  RTC_LOG(LS_WARNING) << "w";
  EXPECT_EQ(warnings.lines().size(), 1u);
  EXPECT_EQ(everything.lines().size(), 2u);

  LogMessage::RemoveLogToStream(&everything);
  EXPECT_EQ(LogMessage::GetMinLogSeverity(), LS_INFO);
  EXPECT_EQ(LogMessage::GetLogToStream(&everything), LS_NONE);
  LogMessage::LogToDebug(LS_ERROR);
  EXPECT_EQ(LogMessage::GetMinLogSeverity(), LS_WARNING);
  LogMessage::RemoveLogToStream(&warnings);
  EXPECT_EQ(LogMessage::GetMinLogSeverity(), LS_ERROR);
  EXPECT_TRUE(LogMessage::IsNoop(LS_WARNING));
  // Removing a sink that is not registered changes nothing.
  LogMessage::RemoveLogToStream(&warnings);
  EXPECT_EQ(LogMessage::GetLogToStream(), LS_NONE);
}

TEST_F(LoggingTest, RemovingOneOfTwoRegistrationsLeavesTheOther) {
  LogMessage::SetLogToStderr(false);
  CollectingSink sink;
  LogMessage::AddLogToStream(&sink, LS_ERROR);
  LogMessage::AddLogToStream(&sink, LS_VERBOSE);
  RTC_LOG(LS_ERROR) << "twice";
  EXPECT_EQ(sink.lines().size(), 2u);
  LogMessage::RemoveLogToStream(&sink);
  EXPECT_EQ(LogMessage::GetLogToStream(&sink), LS_VERBOSE);
  RTC_LOG(LS_INFO) << "once";
  EXPECT_EQ(sink.lines().size(), 3u);
  LogMessage::RemoveLogToStream(&sink);
  EXPECT_EQ(LogMessage::GetLogToStream(&sink), LS_NONE);
}

TEST_F(LoggingTest, SinkOverloadsForwardWithTheSeverityAndTag) {
  LogMessage::SetLogToStderr(false);
  SeverityRecordingSink sink;
  LogMessage::AddLogToStream(&sink, LS_VERBOSE);
  RTC_LOG(LS_WARNING) << "w";
  LogMessage::RemoveLogToStream(&sink);
  ASSERT_EQ(sink.severities.size(), 1u);
  EXPECT_EQ(sink.severities[0], LS_WARNING);

  CollectingSink tagged;
  static_cast<LogSink&>(tagged).OnLogMessage("message", LS_INFO, "tag");
  EXPECT_EQ(tagged.last(), "tag: message");
}

enum class Color { kRed = 3 };

TEST_F(LoggingTest, StreamFormatsEachArgumentKind) {
  LogStream s;
  const char* null_text = nullptr;
  s << 1 << ' ' << -2L << ' ' << 3LL << ' ' << 4u << ' ' << 5UL << ' ' << 6ULL << ' ' << 0.5
    << ' ' << 1e20 << ' ' << static_cast<long double>(2.25) << ' ' << null_text << ' '
    << std::string("str") << ' ' << absl::string_view("absl") << ' ' << std::string_view("std")
    << ' ' << true << ' ' << Color::kRed << ' ' << static_cast<uint8_t>(200) << ' '
    << reinterpret_cast<const void*>(0x12345678abcdULL) << ' ' << nullptr;
  EXPECT_EQ(s.str(), "1 -2 3 4 5 6 0.5 1e+20 2.25 (null) str absl std true 3 200 12345678abcd 0");
}

TEST_F(LoggingTest, LogFPrefixesTheFunctionSignature) {
  CollectingSink sink;
  LogMessage::AddLogToStream(&sink, LS_VERBOSE);
  LogMessage::SetLogToStderr(false);
  RTC_LOG_F(LS_INFO) << "body";
  LogMessage::RemoveLogToStream(&sink);
  EXPECT_NE(sink.last().find("TestBody()"), std::string::npos) << sink.last();
  EXPECT_NE(sink.last().find("): body\n"), std::string::npos) << sink.last();
}

TEST_F(LoggingTest, ConfigureLoggingReadsFlagsAndTheDebugLevel) {
  LogMessage::ConfigureLogging("tstamp thread warning debug unknown");
  EXPECT_EQ(LogMessage::GetLogToDebug(), LS_WARNING);
  CollectingSink sink;
  LogMessage::AddLogToStream(&sink, LS_VERBOSE);
  LogMessage::SetLogToStderr(false);
  RTC_LOG(LS_INFO) << "x";
  LogMessage::RemoveLogToStream(&sink);
  EXPECT_TRUE(std::regex_search(sink.last(), std::regex("^\\[[0-9]+:[0-9]+\\] \\[[0-9]+\\] ")));
  LogMessage::ConfigureLogging("error");  // No "debug": the console level stays.
  EXPECT_EQ(LogMessage::GetLogToDebug(), LS_WARNING);
  LogMessage::ConfigureLogging("debug");  // The level starts at verbose.
  EXPECT_EQ(LogMessage::GetLogToDebug(), LS_VERBOSE);
}

TEST_F(LoggingTest, ThreadsLogWhileSettingsAndSinksChange) {
  LogMessage::LogToDebug(LS_NONE);
  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int t = 0; t < 3; ++t) {
    loggers.emplace_back([&stop] {
      while (!stop) RTC_LOG(LS_INFO) << "busy " << 42;
    });
  }
  CollectingSink sink;
  for (int i = 0; i < 200; ++i) {
    LogMessage::AddLogToStream(&sink, LS_INFO);
    LogMessage::LogThreads(i % 2 == 0);
    LogMessage::LogTimestamps(i % 3 == 0);
    LogMessage::RemoveLogToStream(&sink);
    LogMessage::LogToDebug(i % 2 ? LS_NONE : LS_ERROR);
  }
  stop = true;
  for (auto& t : loggers) t.join();
  for (const std::string& line : sink.lines()) EXPECT_NE(line.find("busy 42\n"), std::string::npos);
}

}  // namespace
}  // namespace rtc
