#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/logging.h"

namespace rtc {
namespace {

// Collects each dumped line without the "(file:line): " prefix and the line feed.
class DumpSink : public LogSink {
 public:
  void OnLogMessage(const std::string& message) override {
    std::string line = message;
    const size_t prefix_end = line.find("): ");
    if (prefix_end != std::string::npos) line.erase(0, prefix_end + 3);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.push_back(line);
  }
  std::vector<std::string> lines;
};

class LogMultilineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogMessage::SetLogToStderr(false);
    LogMessage::AddLogToStream(&sink_, LS_VERBOSE);
  }
  void TearDown() override {
    LogMessage::RemoveLogToStream(&sink_);
    LogMessage::SetLogToStderr(true);
  }
  void Dump(bool input, const std::string& data, bool hex, LogMultilineState* state) {
    LogMultiline(LS_INFO, "lbl", input, data.data(), data.size(), hex, state);
  }
  DumpSink sink_;
};

TEST_F(LogMultilineTest, HexModeShows24BytesPerLineWithTextAndGroupedDigits) {
  std::string data;
  for (int i = 0; i < 25; ++i) data.push_back(static_cast<char>(i == 1 ? 'A' : 0x80 + i));
  Dump(false, data, true, nullptr);
  ASSERT_EQ(sink_.lines.size(), 2u);
  EXPECT_EQ(sink_.lines[0], "lbl >> .A" + std::string(22, '.') + " " +
                                "80418283 84858687 88898a8b 8c8d8e8f 90919293 94959697  ");
  EXPECT_EQ(sink_.lines[1], "lbl >> ." + std::string(23, ' ') + " 98" + std::string(52, ' ') + " ");
  // The hex column is 54 characters wide on every line.
  EXPECT_EQ(sink_.lines[0].size(), sink_.lines[1].size());
}

TEST_F(LogMultilineTest, TextModeLogsEachLineWithoutTrailingSpace) {
  Dump(true, "GET / HTTP/1.1\r\nHost: example\r\n\r\nbody", false, nullptr);
  EXPECT_EQ(sink_.lines,
            (std::vector<std::string>{"lbl << GET / HTTP/1.1", "lbl << Host: example", "lbl << ",
                                      "lbl << body"}));
}

TEST_F(LogMultilineTest, BinaryDataIsCountedAndShortLinesAfterItStayUnprintable) {
  LogMultilineState state;
  std::string binary("\x01\x02\x03\n", 4);
  Dump(false, binary, false, &state);
  EXPECT_TRUE(sink_.lines.empty());
  EXPECT_EQ(state.unprintable_count_[0], 4u);
  // Three printable bytes right after binary data are taken as more of it, and so is a blank
  // line.
  Dump(false, "abc\n   \n", false, &state);
  EXPECT_TRUE(sink_.lines.empty());
  EXPECT_EQ(state.unprintable_count_[0], 12u);
  // The input direction keeps its own count.
  EXPECT_EQ(state.unprintable_count_[1], 0u);
  Dump(false, "a real line\n", false, &state);
  EXPECT_EQ(sink_.lines,
            (std::vector<std::string>{"lbl >> ## 12 consecutive unprintable ##",
                                      "lbl >> a real line"}));
  EXPECT_EQ(state.unprintable_count_[0], 0u);
}

TEST_F(LogMultilineTest, NullDataFlushesThePendingCount) {
  LogMultilineState state;
  Dump(true, std::string("\xff\xfe", 2), false, &state);
  LogMultiline(LS_INFO, "lbl", true, nullptr, 0, false, &state);
  EXPECT_EQ(sink_.lines, (std::vector<std::string>{"lbl << ## 2 consecutive unprintable ##"}));
  EXPECT_EQ(state.unprintable_count_[1], 0u);
  // Nothing pending, nothing logged.
  LogMultiline(LS_INFO, "lbl", true, nullptr, 0, false, &state);
  LogMultiline(LS_INFO, "lbl", true, nullptr, 0, false, nullptr);
  EXPECT_EQ(sink_.lines.size(), 1u);
}

TEST_F(LogMultilineTest, PrivateLinesAndCredentialHeadersAreMasked) {
  Dump(false,
       "user Email: a@b.c\n"
       "Passwd=secret\n"
       "Authorization: Basic dXNlcjpwYXNz\n"
       "proxy-authorization : Digest username=\"u\"\n"
       "Cookie: session=1\n"
       "Set-Cookie: id=2\n"
       "X-Cookie-Info: visible\n"
       "Authorization-Hint visible\n",
       false, nullptr);
  EXPECT_EQ(sink_.lines, (std::vector<std::string>{
                             "lbl >> ## omitted for privacy ##",
                             "lbl >> ## omitted for privacy ##",
                             "lbl >> Authorization: ## omitted for privacy ##",
                             "lbl >> proxy-authorization : ## omitted for privacy ##",
                             "lbl >> Cookie: ## omitted for privacy ##",
                             "lbl >> Set-Cookie: ## omitted for privacy ##",
                             "lbl >> X-Cookie-Info: visible",
                             "lbl >> Authorization-Hint visible",
                         }));
}

TEST_F(LogMultilineTest, NothingIsDumpedBelowTheMinimumSeverity) {
  LogMessage::RemoveLogToStream(&sink_);
  LogMessage::AddLogToStream(&sink_, LS_WARNING);
  LogMultiline(LS_VERBOSE, "lbl", false, "data\n", 5, false, nullptr);
  EXPECT_TRUE(sink_.lines.empty());
}

}  // namespace
}  // namespace rtc
