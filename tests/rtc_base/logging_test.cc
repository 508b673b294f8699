// Logging, multi-line dumps, fatal checks, trace events, clocks and the random generator.
#include "rtc_base/base/logging.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "rtc_base/base/checks.h"
#include "rtc_base/base/event_tracer.h"
#include "rtc_base/base/location.h"
#include "rtc_base/base/platform_thread_types.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/base/trace_event.h"
#include "rtc_base/crypto/helpers.h"

namespace rtc {
namespace {

// Keeps every line as it was delivered, in order.
class LineSink : public LogSink {
 public:
  void OnLogMessage(const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(message);
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::string last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.empty() ? "" : lines_.back();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class LoggingTest : public ::testing::Test {
 protected:
  LoggingTest() { Reset(); }
  ~LoggingTest() override {
    LogMessage::RemoveLogToStream(&sink_);
    Reset();
  }
  static void Reset() {
    LogMessage::LogToDebug(LS_INFO);
    LogMessage::SetLogToStderr(true);
    LogMessage::LogThreads(false);
    LogMessage::LogTimestamps(false);
  }
  // Registers the sink and keeps lines off standard error.
  void Collect(LoggingSeverity min = LS_VERBOSE) {
    LogMessage::SetLogToStderr(false);
    LogMessage::AddLogToStream(&sink_, min);
  }
  LineSink sink_;
};

int g_evaluations = 0;
int CountedArgument() { return ++g_evaluations; }

TEST_F(LoggingTest, StderrGetsInfoAndAboveUntilSilencedAndSilencedArgumentsAreNotEvaluated) {
  ::testing::internal::CaptureStderr();
  RTC_LOG(LS_VERBOSE) << "verbose line";
  RTC_LOG(LS_INFO) << "info line";
  LogMessage::LogToDebug(LS_NONE);
  RTC_LOG(LS_ERROR) << "silenced line";
  const std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.find("verbose line"), std::string::npos);
  EXPECT_NE(out.find("): info line\n"), std::string::npos);
  EXPECT_EQ(out.find("silenced line"), std::string::npos);

  g_evaluations = 0;
  RTC_LOG(LS_ERROR) << CountedArgument();
  RTC_LOG_ERR_EX(LS_ERROR, CountedArgument()) << CountedArgument();
  RTC_LOG_IF(LS_ERROR, true) << CountedArgument();
  EXPECT_EQ(g_evaluations, 0);
  Collect(LS_ERROR);
  RTC_LOG(LS_VERBOSE) << CountedArgument();  // Built, then filtered by the sink.
  RTC_LOG_IF(LS_ERROR, false) << CountedArgument();
  EXPECT_EQ(g_evaluations, 1);
  EXPECT_TRUE(sink_.lines().empty());
}

TEST_F(LoggingTest, LinesHoldTheFileBaseNameTheTextAndTheErrno) {
  Collect();
  const struct {
    const char* file;
    const char* expected;
  } files[] = {{"/src/rtc_base/some_file.cc", "(some_file.cc:12): x\n"},
               {"c:\\src\\dir/later\\name.cc", "(name.cc:12): x\n"},
               {"plain.cc", "(plain.cc:12): x\n"}};
  for (const auto& f : files) {
    LogMessage(f.file, 12, LS_INFO).stream() << "x";
    EXPECT_EQ(sink_.last(), f.expected);
  }
  RTC_LOG_TAG(LS_INFO, "Tag") << "tagged";
  EXPECT_EQ(sink_.last(), "Tag: tagged\n");
  LogMessage("f.cc", 3, LS_ERROR, ERRCTX_ERRNO, 2).stream() << "open failed";
  EXPECT_EQ(sink_.last(),
            std::string("(f.cc:3): open failed : [0x00000002] ") + strerror(2) + "\n");
  RTC_LOG_ERR_EX(LS_ERROR, -1) << "negative";
  EXPECT_NE(sink_.last().find("negative : [0xFFFFFFFF] "), std::string::npos);
}

TEST_F(LoggingTest, SinksFilterByTheirOwnMinimumAndTheOverallMinimumFollowsThem) {
  LineSink warnings;
  Collect(LS_VERBOSE);
  LogMessage::AddLogToStream(&warnings, LS_WARNING);
  EXPECT_EQ(LogMessage::GetMinLogSeverity(), LS_VERBOSE);
  RTC_LOG(LS_VERBOSE) << "v";
  RTC_LOG(LS_WARNING) << "w";
  EXPECT_EQ(warnings.lines().size(), 1u);
  EXPECT_EQ(sink_.lines().size(), 2u);
  LogMessage::RemoveLogToStream(&sink_);
  EXPECT_EQ(LogMessage::GetMinLogSeverity(), LS_INFO);
  LogMessage::LogToDebug(LS_ERROR);
  EXPECT_EQ(LogMessage::GetMinLogSeverity(), LS_WARNING);
  LogMessage::RemoveLogToStream(&warnings);
  EXPECT_TRUE(LogMessage::IsNoop(LS_WARNING));
  // A sink registered twice gets each line twice until one registration goes.
  LogMessage::AddLogToStream(&sink_, LS_ERROR);
  LogMessage::AddLogToStream(&sink_, LS_VERBOSE);
  RTC_LOG(LS_ERROR) << "twice";
  EXPECT_EQ(sink_.lines().size(), 4u);
  LogMessage::RemoveLogToStream(&sink_);
  EXPECT_EQ(LogMessage::GetLogToStream(&sink_), LS_VERBOSE);
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
  for (int i = 0; i < 200; ++i) {
    LogMessage::AddLogToStream(&sink_, LS_INFO);
    LogMessage::LogThreads(i % 2 == 0);
    LogMessage::LogTimestamps(i % 3 == 0);
    LogMessage::RemoveLogToStream(&sink_);
  }
  stop = true;
  for (auto& t : loggers) t.join();
  for (const std::string& line : sink_.lines())
    EXPECT_NE(line.find("busy 42\n"), std::string::npos);
}

// The dumped lines without their "(file:line): " prefix and line feed.
std::vector<std::string> Bodies(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (std::string line : lines) {
    line.erase(0, line.find("): ") + 3);
    line.pop_back();
    out.push_back(line);
  }
  return out;
}

TEST_F(LoggingTest, MultilineDumpsShowHexOrTextCountBinaryRunsAndMaskCredentials) {
  Collect();
  std::string data;
  for (int i = 0; i < 25; ++i) data.push_back(static_cast<char>(i == 1 ? 'A' : 0x80 + i));
  LogMultiline(LS_INFO, "lbl", false, data.data(), data.size(), true, nullptr);
  const std::string text =
      "GET / HTTP/1.1\r\nAuthorization: Basic dXNlcjpwYXNz\r\nproxy-authorization : Digest x\r\n"
      "Set-Cookie: id=2\nX-Cookie-Info: visible\nuser Email: a@b.c\n\nbody";
  LogMultiline(LS_INFO, "lbl", true, text.data(), text.size(), false, nullptr);
  EXPECT_EQ(Bodies(sink_.lines()),
            (std::vector<std::string>{
                // The text column, a blank, the hex column (55 characters) and a blank.
                "lbl >> .A" + std::string(22, '.') +
                    " 80418283 84858687 88898a8b 8c8d8e8f 90919293 94959697   ",
                "lbl >> ." + std::string(23, ' ') + " 98" + std::string(53, ' ') + " ",
                "lbl << GET / HTTP/1.1",
                "lbl << Authorization: ## omitted for privacy ##",
                "lbl << proxy-authorization : ## omitted for privacy ##",
                "lbl << Set-Cookie: ## omitted for privacy ##",
                "lbl << X-Cookie-Info: visible",
                "lbl << ## omitted for privacy ##",
                "lbl << ",
                "lbl << body",
            }));

  LineSink binary;
  LogMessage::RemoveLogToStream(&sink_);
  LogMessage::AddLogToStream(&binary, LS_VERBOSE);
  LogMultilineState state;
  LogMultiline(LS_INFO, "lbl", false, "\x01\x02\x03\n", 4, false, &state);
  // Three printable bytes right after binary data count as more of it, and so does a blank line.
  LogMultiline(LS_INFO, "lbl", false, "abc\n   \n", 8, false, &state);
  EXPECT_EQ(state.unprintable_count_[0], 12u);
  EXPECT_EQ(state.unprintable_count_[1], 0u);
  LogMultiline(LS_INFO, "lbl", false, "a real line\n", 12, false, &state);
  LogMultiline(LS_INFO, "lbl", true, "\xff\xfe", 2, false, &state);
  LogMultiline(LS_INFO, "lbl", true, nullptr, 0, false, &state);  // Flushes the count.
  LogMultiline(LS_INFO, "lbl", true, nullptr, 0, false, &state);
  EXPECT_EQ(Bodies(binary.lines()), (std::vector<std::string>{
                                        "lbl >> ## 12 consecutive unprintable ##",
                                        "lbl >> a real line",
                                        "lbl << ## 2 consecutive unprintable ##",
                                    }));
  LogMessage::RemoveLogToStream(&binary);
}

const char* ClobberErrno() {
  errno = EIO;
  return "clobbered";
}

TEST(ChecksDeathTest, FailedChecksWriteTheFatalBlockWithValuesAndTheEarlierErrno) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        errno = ENOENT;
        RTC_CHECK(1 + 1 == 3) << "extra " << ClobberErrno() << " " << 7;
      },
      "\n\n#\n# Fatal error in: .*logging_test\\.cc, line [0-9]+\n"
      "# last system error: 2\n# Check failed: 1 \\+ 1 == 3\n# extra clobbered 7");
  int written = 3;
  size_t size = 10;
  EXPECT_DEATH(RTC_CHECK_EQ(written, size) << "short write",
               "# Check failed: written == size \\(3 vs\\. 10\\)\n# short write");
  std::string name = "abc";
  EXPECT_DEATH(RTC_CHECK_NE(name, "abc"), "Check failed: name != \"abc\" \\(abc vs\\. abc\\)");
  EXPECT_DEATH(RTC_CHECK_NOTREACHED(), "# unreachable code");
}

TEST(ChecksTest, PassingChecksEvaluateOnceAndCompareMixedSignsByValue) {
  int n = 0;
  RTC_CHECK_EQ(++n, 1);
  RTC_CHECK_LT(n++, 2);
  EXPECT_EQ(n, 2);
  RTC_CHECK_LT(-1, 1u);
  RTC_CHECK_NE(-1, 0xffffffffu);
  RTC_CHECK_LE(int64_t{-5}, uint8_t{0});
  bool else_ran = false;
  if (false)
    RTC_CHECK_EQ(1, 1) << "never";
  else
    else_ran = true;
  EXPECT_TRUE(else_ran);
  EXPECT_EQ(Location(std::string(400, 'f').c_str(), "x.cc:1").ToString(), std::string(255, 'f'));
}

std::vector<std::string> g_trace;
const unsigned char kEnabled = 1, kDisabled = 0;
const unsigned char* CategoryEnabled(const char* name) {
  return strcmp(name, "rtc") == 0 ? &kEnabled : &kDisabled;
}
void AddEvent(char phase, const unsigned char*, const char* name, unsigned long long, int num_args,
              const char** arg_names, const unsigned char*, const unsigned long long* arg_values,
              unsigned char) {
  std::string event = std::string(1, phase) + " " + name;
  for (int i = 0; i < num_args; ++i)
    event += std::string(" ") + arg_names[i] + "=" + reinterpret_cast<const char*>(arg_values[i]);
  g_trace.push_back(event);
}

TEST(EventTracerTest, ScopedEventsReachOnlyAnInstalledTracerForEnabledCategories) {
  { TRACE_EVENT0("rtc", "before"); }
  tracing::SetupEventTracer(&CategoryEnabled, &AddEvent);
  {
    TRACE_EVENT2("rtc", "Dispatch", "src_file_and_line", "a.cc:1", "src_func", "Run");
    TRACE_EVENT0("other", "ignored");
  }
  tracing::SetupEventTracer(nullptr, nullptr);
  { TRACE_EVENT0("rtc", "after"); }
  EXPECT_EQ(g_trace, (std::vector<std::string>{"B Dispatch src_file_and_line=a.cc:1 src_func=Run",
                                               "E Dispatch"}));
}

TEST(TimeUtilsTest, TheTestClockDrivesEveryClockButTheSystemOnesAndNests) {
  ASSERT_EQ(GetClockForTesting(), nullptr);
  {
    ScopedFakeClock clock;
    EXPECT_EQ(TimeMillis(), 1000000) << "starts away from zero";
    clock.SetTimeMillis(5000);
    EXPECT_EQ(TimeNanos(), 5000000000);
    EXPECT_EQ(TimeUTCMillis(), 5000);
    clock.AdvanceTime(1234);
    EXPECT_EQ(TimeUntil(7000), 766);
    EXPECT_GT(TimeSecond(), 1600000000);
    {
      ScopedFakeClock inner;
      EXPECT_EQ(GetClockForTesting(), &inner);
    }
    EXPECT_EQ(GetClockForTesting(), &clock);
    clock.SetTimeMillis((int64_t{1} << 32) - 10);
    const uint32_t before = Time32();
    clock.AdvanceTime(25);
    EXPECT_EQ(Time32(), 15u);
    EXPECT_EQ(TimeDiff32(Time32(), before), 25);
    EXPECT_EQ(TimeDiff32(before, Time32()), -25);
  }
  EXPECT_EQ(GetClockForTesting(), nullptr);
}

TEST(TimeUtilsTest, TmToSecondsAgreesWithGmtimeAndRefusesInvalidDates) {
  for (int64_t day = 0; day < 47850; day += 7) {  // 1970 to 2100.
    const time_t t = static_cast<time_t>(day * 86400 + (day % 4) * 21601 + day % 60);
    struct tm tm;
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    ASSERT_EQ(TmToSeconds(tm), static_cast<int64_t>(t)) << "day " << day;
  }
  const struct {
    int year, mon, mday, hour, sec;
    int64_t seconds;
  } cases[] = {
      {100, 1, 29, 0, 0, 951782400},                          // 2000 is a leap year,
      {99, 1, 29, 0, 0, -1},         {200, 1, 29, 0, 0, -1},  // 1999 and 2100 are not.
      {69, 0, 1, 0, 0, -1},          {70, 12, 1, 0, 0, -1},  {70, 0, 0, 0, 0, -1},
      {70, 0, 1, 24, 0, -1},         {70, 0, 1, 0, 60, -1},
  };
  for (const auto& c : cases) {
    struct tm tm = {};
    tm.tm_year = c.year;
    tm.tm_mon = c.mon;
    tm.tm_mday = c.mday;
    tm.tm_hour = c.hour;
    tm.tm_sec = c.sec;
    EXPECT_EQ(TmToSeconds(tm), c.seconds) << c.year << "-" << c.mon << "-" << c.mday;
  }
}

class RandomTest : public ::testing::Test {
 protected:
  ~RandomTest() override { SetRandomTestMode(false); }
};

class FailingGenerator : public RandomGenerator {
 public:
  bool Init(const void*, size_t) override { return false; }
  bool Generate(void*, size_t) override { return false; }
};

TEST_F(RandomTest, TheTestGeneratorIsTheLcgFromSevenAndUuidsHaveTheVersionFourLayout) {
  SetRandomTestMode(true);
  std::string data;
  ASSERT_TRUE(CreateRandomData(43, &data));
  uint32_t seed = 7;
  for (size_t i = 0; i < data.size(); ++i) {
    seed = seed * 214013u + 2531011u;
    ASSERT_EQ(static_cast<uint8_t>(data[i]), static_cast<uint8_t>(seed >> 16)) << i;
  }
  SetRandomTestMode(true);  // Each switch restarts the sequence.
  uint32_t id;
  memcpy(&id, data.data(), 4);
  EXPECT_EQ(CreateRandomId(), id);
  SetRandomTestMode(false);
  const std::regex layout("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string uuid = CreateRandomUuid();
    EXPECT_TRUE(std::regex_match(uuid, layout)) << uuid;
    seen.insert(uuid);
    EXPECT_NE(CreateRandomNonZeroId(), 0u);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST_F(RandomTest, FailuresGiveFalseAndEmptyResultsWithALogLine) {
  CapturingSink sink;
  std::string str = "left over";
  EXPECT_FALSE(CreateRandomString(10, "abc", 3, &str));
  EXPECT_TRUE(str.empty());
  EXPECT_TRUE(sink.Contains("): Table size must divide 256 evenly!\n"));
  ASSERT_TRUE(CreateRandomString(1000, "wxyz", 4, &str));
  EXPECT_EQ(std::set<char>(str.begin(), str.end()), (std::set<char>{'w', 'x', 'y', 'z'}));

  SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>());
  str = "left over";
  EXPECT_FALSE(CreateRandomString(10, &str));
  EXPECT_TRUE(str.empty());
  EXPECT_TRUE(sink.Contains("): Failed to generate random string!\n"));
  std::string data = "left over";
  EXPECT_FALSE(CreateRandomData(8, &data));
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(InitRandom(42));
  EXPECT_TRUE(sink.Contains("): Failed to init random generator!\n"));
}

TEST_F(RandomTest, SwappingTheGeneratorWhileOthersDrawIsSafe) {
  LogMessage::LogToDebug(LS_NONE);  // Each failed draw logs an error.
  std::atomic<int> running{2};
  std::atomic<int> bad{0};
  std::vector<std::thread> drawers;
  for (int t = 0; t < 2; ++t) {
    drawers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        std::string str = "left over";
        const bool ok = CreateRandomString(16, &str);
        if (str.size() != (ok ? 16u : 0u)) ++bad;
      }
      --running;
    });
  }
  for (int i = 0; running.load() > 0; ++i) {
    if (i % 2 == 0)
      SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>());
    else
      SetRandomTestMode(false);
    std::this_thread::yield();
  }
  for (std::thread& t : drawers) t.join();
  LogMessage::LogToDebug(LS_INFO);
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace rtc
