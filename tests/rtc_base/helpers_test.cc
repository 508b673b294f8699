#include "rtc_base/helpers.h"

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/logging.h"

namespace rtc {
namespace {

class RandomTest : public ::testing::Test {
 protected:
  ~RandomTest() override { SetRandomTestMode(false); }
};

uint8_t NextLcgByte(uint32_t* seed) {
  *seed = *seed * 214013u + 2531011u;
  return static_cast<uint8_t>(*seed >> 16);
}

TEST_F(RandomTest, TestGeneratorFollowsTheLcgFromSeedSevenAndRestartsOnEachSwitch) {
  SetRandomTestMode(true);
  std::string data;
  ASSERT_TRUE(CreateRandomData(16, &data));
  uint32_t seed = 7;
  for (size_t i = 0; i < data.size(); ++i) {
    EXPECT_EQ(static_cast<uint8_t>(data[i]), NextLcgByte(&seed)) << "byte " << i;
  }
  EXPECT_EQ(static_cast<uint8_t>(data[0]), static_cast<uint8_t>((7u * 214013u + 2531011u) >> 16));
  SetRandomTestMode(true);
  std::string again;
  ASSERT_TRUE(CreateRandomData(16, &again));
  EXPECT_EQ(again, data);
}

class LastLineSink : public LogSink {
 public:
  void OnLogMessage(const std::string& message) override { last = message; }
  std::string last;
};

TEST_F(RandomTest, RandomStringFailsWithATableSizeThatDoesNotDivide256) {
  LastLineSink sink;
  LogMessage::AddLogToStream(&sink, LS_ERROR);
  std::string str = "left over";
  EXPECT_FALSE(CreateRandomString(10, "abc", 3, &str));
  EXPECT_TRUE(str.empty());
  LogMessage::RemoveLogToStream(&sink);
  EXPECT_NE(sink.last.find("): Table size must divide 256 evenly!\n"), std::string::npos)
      << sink.last;
  str = "left over";
  EXPECT_FALSE(CreateRandomString(10, "", 0, &str));
  EXPECT_TRUE(str.empty());
  EXPECT_FALSE(CreateRandomString(10, std::string("abcde"), &str));
}

TEST_F(RandomTest, RandomStringUsesOnlyTheTable) {
  std::string str;
  ASSERT_TRUE(CreateRandomString(1000, "wxyz", 4, &str));
  EXPECT_EQ(str.size(), 1000u);
  EXPECT_EQ(str.find_first_not_of("wxyz"), std::string::npos);
  std::set<char> seen(str.begin(), str.end());
  EXPECT_EQ(seen.size(), 4u);
  const std::string base64 = CreateRandomString(200);
  EXPECT_EQ(base64.size(), 200u);
  EXPECT_EQ(base64.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
            std::string::npos);
  EXPECT_TRUE(CreateRandomString(0, &str));
  EXPECT_TRUE(str.empty());
}

class FailingGenerator : public RandomGenerator {
 public:
  bool Init(const void*, size_t) override { return false; }
  bool Generate(void*, size_t) override { return false; }
};

TEST_F(RandomTest, AFailingGeneratorGivesFalseAndEmptyResultsWithALogLine) {
  SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>());
  LastLineSink sink;
  LogMessage::AddLogToStream(&sink, LS_ERROR);
  std::string str = "left over";
  EXPECT_FALSE(CreateRandomString(10, &str));
  EXPECT_TRUE(str.empty());
  EXPECT_NE(sink.last.find("): Failed to generate random string!\n"), std::string::npos)
      << sink.last;
  sink.last.clear();
  str = "left over";
  EXPECT_FALSE(CreateRandomString(10, std::string("0123456789abcdef"), &str));
  EXPECT_TRUE(str.empty());
  EXPECT_NE(sink.last.find("Failed to generate random string!"), std::string::npos);
  std::string data = "left over";
  EXPECT_FALSE(CreateRandomData(8, &data));
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(InitRandom(42));
  EXPECT_NE(sink.last.find("): Failed to init random generator!\n"), std::string::npos)
      << sink.last;
  LogMessage::RemoveLogToStream(&sink);
  // The secure generator comes back.
  SetRandomTestMode(false);
  EXPECT_TRUE(CreateRandomString(10, &str));
  EXPECT_EQ(str.size(), 10u);
}

TEST_F(RandomTest, SwappingTheGeneratorWhileOthersDrawIsSafe) {
  // Each failed draw logs an error; keep them off standard error.
  const LoggingSeverity debug = LogMessage::GetLogToDebug();
  LogMessage::LogToDebug(LS_NONE);
  std::atomic<int> running{2};
  std::atomic<int> bad{0};
  std::vector<std::thread> drawers;
  for (int t = 0; t < 2; ++t) {
    drawers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        std::string str = "left over";
        bool ok = CreateRandomString(16, &str);
        if (str.size() != (ok ? 16u : 0u)) ++bad;
      }
      --running;
    });
  }
  for (int i = 0; running.load() > 0; ++i) {
    if (i % 2 == 0) {
      SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>());
    } else {
      SetRandomTestMode(false);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  for (std::thread& t : drawers) t.join();
  LogMessage::LogToDebug(debug);
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(RandomTest, UuidHasTheVersionFourLayout) {
  const std::regex layout("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string uuid = CreateRandomUuid();
    EXPECT_TRUE(std::regex_match(uuid, layout)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST_F(RandomTest, UuidFromTheTestGeneratorUsesTheLowBitsOfEachByte) {
  SetRandomTestMode(true);
  uint32_t seed = 7;
  uint8_t bytes[31];
  for (uint8_t& b : bytes) b = NextLcgByte(&seed);
  std::string expected;
  const char* hex = "0123456789abcdef";
  for (int i = 0; i < 31; ++i) {
    if (i == 8 || i == 12 || i == 19) expected += '-';
    if (i == 12) expected += '4';
    if (i == 15) {
      expected += '-';
      expected += "89ab"[bytes[i] % 4];
      continue;
    }
    expected += hex[bytes[i] % 16];
  }
  EXPECT_EQ(CreateRandomUuid(), expected);
}

TEST_F(RandomTest, IdsComeFromTheGeneratorInOrder) {
  SetRandomTestMode(true);
  uint32_t seed = 7;
  uint8_t bytes[12];
  for (uint8_t& b : bytes) b = NextLcgByte(&seed);
  uint32_t first, second, third;
  memcpy(&first, bytes, 4);
  memcpy(&second, bytes + 4, 4);
  memcpy(&third, bytes + 8, 4);
  EXPECT_EQ(CreateRandomId(), first);
  EXPECT_EQ(CreateRandomId64(), static_cast<uint64_t>(second) << 32 | third);
  EXPECT_DOUBLE_EQ(GetNextMovingAverage(10, 20, 3), 12.5);
}

TEST_F(RandomTest, NonZeroIdAndDoubleStayInRange) {
  for (int i = 0; i < 1000; ++i) {
    EXPECT_NE(CreateRandomNonZeroId(), 0u);
    const double d = CreateRandomDouble();
    EXPECT_GE(d, 0.0);
    EXPECT_LE(d, 1.0);
  }
  EXPECT_TRUE(InitRandom(42));
}

}  // namespace
}  // namespace rtc
