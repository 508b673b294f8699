#include "core/rtc_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <vortm/rtm_service.h>

#include "rtc_base/temp_dir.h"

namespace vy {

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kLogName[] = "vy_rtm_sdk.log";

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class RtcLogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  void TearDown() override { CloseRtcLog(); }

  std::string LogPath() const { return dir_.File(kLogName); }

  vy_test::TempDir dir_;
};

TEST_F(RtcLogTest, NothingIsWrittenWhileNoLogIsOpen) {
  RtcPrintf(kRtcLogCritical, "dropped %d", 1);
  RtcLog(kRtcLogError, "dropped");
  EXPECT_FALSE(GetRtcLogStatus().open);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(RtcLogTest, LinesCarryLevelNameTimeAndText) {
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogTrace, 64));
  RtcPrintf(kRtcLogTrace, "t %d", 0);
  RtcPrintf(kRtcLogDebug, "d");
  RtcPrintf(kRtcLogInfo, "API setLogFile filePath:%s", "/x");
  RtcPrintf(kRtcLogWarning, "w");
  RtcPrintf(kRtcLogError, "e");
  RtcPrintf(kRtcLogCritical, "c");
  // Every line is on disk when the call returns, without closing the log.
  std::vector<std::string> lines = ReadLines(LogPath());
  ASSERT_EQ(6u, lines.size());
  std::regex shape(R"(\[([a-z]+)\] \(\d\d:\d\d:\d\d\); (.*))");
  std::vector<std::string> levels, texts;
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    levels.push_back(m[1]);
    texts.push_back(m[2]);
  }
  EXPECT_THAT(levels, ElementsAre("trace", "debug", "info", "warning", "error",
                                  "critical"));
  EXPECT_THAT(texts, ElementsAre("t 0", "d", "API setLogFile filePath:/x", "w",
                                 "e", "c"));
}

TEST_F(RtcLogTest, FilterDropsLinesBelowItAndIgnoresValuesOutOfRange) {
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogWarning, 64));
  EXPECT_FALSE(RtcLogEnabled(kRtcLogInfo));
  EXPECT_TRUE(RtcLogEnabled(kRtcLogWarning));
  RtcPrintf(kRtcLogInfo, "below");
  RtcPrintf(kRtcLogWarning, "at");
  SetRtcLogFilter(7);
  SetRtcLogFilter(-1);
  RtcPrintf(kRtcLogInfo, "still below");
  SetRtcLogFilter(kRtcLogOff);
  RtcPrintf(kRtcLogCritical, "silenced");
  SetRtcLogFilter(kRtcLogTrace);
  RtcPrintf(kRtcLogTrace, "all");
  // Levels outside 0..5 are never written.
  RtcLog(6, "six");
  RtcLog(-1, "minus one");
  std::vector<std::string> lines = ReadLines(LogPath());
  ASSERT_EQ(2u, lines.size());
  EXPECT_THAT(lines[0], HasSubstr("; at"));
  EXPECT_THAT(lines[1], HasSubstr("; all"));
}

TEST_F(RtcLogTest, LongLinesAreCutTo2046Characters) {
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogTrace, 64));
  std::string text(5000, 'x');
  RtcPrintf(kRtcLogInfo, "%s", text.c_str());
  RtcPrintf(kRtcLogInfo, "%s", "");  // Empty lines are not written.
  std::vector<std::string> lines = ReadLines(LogPath());
  ASSERT_EQ(1u, lines.size());
  size_t text_start = lines[0].find("; ") + 2;
  EXPECT_EQ(2046u, lines[0].size() - text_start);
}

TEST_F(RtcLogTest, RotatesAtTheSizeLimitKeepingOneBackup) {
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogTrace, 1));
  EXPECT_EQ(1024u, GetRtcLogStatus().max_file_bytes);
  std::string text(100, 'r');
  for (int i = 0; i < 60; ++i) RtcPrintf(kRtcLogInfo, "%d %s", i, text.c_str());
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    names.push_back(entry.path().filename().string());
    EXPECT_LE(entry.file_size(), 1024u) << names.back();
  }
  std::sort(names.begin(), names.end());
  EXPECT_THAT(names, ElementsAre("vy_rtm_sdk.1.log", "vy_rtm_sdk.log"));
  // The newest line is in the current file.
  EXPECT_THAT(ReadLines(LogPath()).back(), HasSubstr("; 59 r"));
}

TEST_F(RtcLogTest, LargeSizesDoNotOverflow) {
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 4 * 1024 * 1024));
  EXPECT_EQ(4ull * 1024 * 1024 * 1024, GetRtcLogStatus().max_file_bytes);
}

TEST_F(RtcLogTest, OpeningWhileOpenChangesNothing) {
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 64));
  vy_test::TempDir other;
  std::string other_path = other.File(kLogName);
  EXPECT_EQ(0, VyRtm_OpenRtcLog(other_path.c_str(), kRtcLogTrace, 8));
  RtcLogStatus status = GetRtcLogStatus();
  EXPECT_EQ(LogPath(), status.path);
  EXPECT_EQ(64u * 1024, status.max_file_bytes);
  EXPECT_EQ(kRtcLogInfo, status.filter);
  RtcPrintf(kRtcLogDebug, "debug stays filtered");
  RtcPrintf(kRtcLogInfo, "here");
  EXPECT_FALSE(std::filesystem::exists(other_path));
  EXPECT_EQ(1u, ReadLines(LogPath()).size());
}

TEST_F(RtcLogTest, ReopensInAnotherDirectoryAfterClose) {
  ASSERT_EQ(0, VyRtm_OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 64));
  RtcPrintf(kRtcLogInfo, "first");
  VyRtm_CloseRtcLog();
  RtcPrintf(kRtcLogInfo, "dropped while closed");
  vy_test::TempDir other;
  ASSERT_EQ(0, OpenRtcLog(other.File(kLogName).c_str(), kRtcLogInfo, 64));
  RtcPrintf(kRtcLogInfo, "second");
  std::vector<std::string> first = ReadLines(LogPath());
  std::vector<std::string> second = ReadLines(other.File(kLogName));
  ASSERT_EQ(1u, first.size());
  ASSERT_EQ(1u, second.size());
  EXPECT_THAT(first[0], HasSubstr("; first"));
  EXPECT_THAT(second[0], HasSubstr("; second"));
}

TEST_F(RtcLogTest, BadArgumentsAndUnopenableFilesLeaveTheLogClosed) {
  EXPECT_EQ(-1, OpenRtcLog(nullptr, kRtcLogInfo, 64));
  EXPECT_EQ(-1, OpenRtcLog("", kRtcLogInfo, 64));
  EXPECT_EQ(-1, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 0));
  EXPECT_EQ(-1, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, -5));
  // A regular file where a directory should be: spdlog throws, we do not.
  std::ofstream(dir_.File("plain")) << "x";
  std::string inside_file = dir_.File("plain") + "/sub/" + kLogName;
  EXPECT_EQ(-2, OpenRtcLog(inside_file.c_str(), kRtcLogInfo, 64));
  EXPECT_FALSE(GetRtcLogStatus().open);
  // The failure left nothing behind that blocks a later open.
  EXPECT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 64));
}

TEST_F(RtcLogTest, OtherSpdlogLoggersSurviveClose) {
  auto other = spdlog::null_logger_mt("host_app_logger");
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 64));
  CloseRtcLog();
  EXPECT_EQ(other, spdlog::get("host_app_logger"));
  EXPECT_EQ(nullptr, spdlog::get("RTM_LOG"));
  spdlog::drop("host_app_logger");
}

TEST_F(RtcLogTest, TokensAreMaskedInWrittenLines) {
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 64));
  RtcPrintf(kRtcLogInfo, "SEND cmd=%s content=%s", "RenewAcsToken",
            R"({"AcsToken":"s3cr3t-value"})");
  RtcPrintf(kRtcLogInfo, "%s", R"(body {"uid":"u","token": "abc\"def","wss":false})");
  std::vector<std::string> lines = ReadLines(LogPath());
  ASSERT_EQ(2u, lines.size());
  EXPECT_THAT(lines[0], HasSubstr(R"(content={"AcsToken":"***"})"));
  EXPECT_THAT(lines[1], HasSubstr(R"({"uid":"u","token": "***","wss":false})"));
  EXPECT_THAT(lines[0] + lines[1], Not(HasSubstr("s3cr3t")));
  EXPECT_THAT(lines[1], Not(HasSubstr("def")));
}

TEST(RtcLogMaskTest, MasksPlainAndQuotedJsonAndLeavesOtherTextAlone) {
  EXPECT_EQ(R"({"AcsToken":"***","a":"b"})",
            MaskRtcLogSecrets(R"({"AcsToken":"xyz","a":"b"})"));
  EXPECT_EQ(R"(Content:"{\"token\":\"***\"}")",
            MaskRtcLogSecrets(R"(Content:"{\"token\":\"xyz\"}")"));
  // Not a string value, another key, or a key name in plain text: unchanged.
  for (const char* line :
       {R"({"token":17})", R"({"tokens":"x"})", R"(the token is "x")",
        R"({"Token":"x"})", "", "\"", R"({"token")", R"({"token":)"}) {
    EXPECT_EQ(line, MaskRtcLogSecrets(line)) << line;
  }
  // An unterminated value is masked to the end of the line.
  EXPECT_EQ(R"({"token":"***)", MaskRtcLogSecrets(R"({"token":"abc)"));
}

TEST_F(RtcLogTest, ConcurrentLinesDuringOpenAndCloseAreSafe) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&stop, t] {
      for (int i = 0; !stop.load(); ++i) RtcPrintf(kRtcLogInfo, "%d %d", t, i);
    });
  }
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 64));
    SetRtcLogFilter(i % 2 ? kRtcLogInfo : kRtcLogError);
    CloseRtcLog();
  }
  stop = true;
  for (std::thread& t : writers) t.join();
  for (const std::string& line : ReadLines(LogPath())) {
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[info\] \(.*\); \d \d+)")))
        << line;
  }
}

TEST(RtcLogVersionTest, ReportsTheLibraryVersion) {
  EXPECT_STREQ("1.0.2.0", getRtmSdkVersion());
}

}  // namespace

}  // namespace vy
