#include "rtc_base/checks.h"

#include <errno.h>

#include <string>

#include "gtest/gtest.h"
#include "rtc_base/location.h"

namespace rtc {
namespace {

class ChecksDeathTest : public ::testing::Test {
 protected:
  ChecksDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

const char* ClobberErrno() {
  errno = EIO;
  return "clobbered";
}

TEST_F(ChecksDeathTest, FailedCheckWritesTheFatalBlockWithErrnoFromBeforeFormatting) {
  EXPECT_DEATH(
      {
        errno = ENOENT;
        RTC_CHECK(1 + 1 == 3) << "extra " << ClobberErrno() << " " << 7;
      },
      "\n\n#\n# Fatal error in: .*checks_test\\.cc, line [0-9]+\n"
      "# last system error: 2\n"
      "# Check failed: 1 \\+ 1 == 3\n"
      "# extra clobbered 7");
}

TEST_F(ChecksDeathTest, FailedComparisonShowsBothValues) {
  int written = 3;
  size_t size = 10;
  EXPECT_DEATH(
      {
        errno = 0;
        RTC_CHECK_EQ(written, size) << "short write";
      },
      "# last system error: 0\n# Check failed: written == size \\(3 vs\\. 10\\)\n# short write");
  std::string name = "abc";
  EXPECT_DEATH(RTC_CHECK_NE(name, "abc"), "Check failed: name != \"abc\" \\(abc vs\\. abc\\)\n# ");
}

TEST_F(ChecksDeathTest, FatalAndNotReachedAbort) {
  EXPECT_DEATH(RTC_FATAL() << "gave up", "Check failed: FATAL\\(\\)\n# gave up");
  EXPECT_DEATH(RTC_CHECK_NOTREACHED(), "# unreachable code");
  EXPECT_DEATH(rtc_FatalMessage("file.cc", 42, "plain message"),
               "# Fatal error in: file\\.cc, line 42\n.*# Check failed: plain message\n# ");
#if RTC_DCHECK_IS_ON
  EXPECT_DEATH(RTC_NOTREACHED(), "unreachable code");
  EXPECT_DEATH(RTC_DCHECK_GT(1, 2), "Check failed: 1 > 2 \\(1 vs\\. 2\\)");
#endif
}

TEST(ChecksTest, PassingChecksEvaluateEachArgumentOnce) {
  int n = 0;
  RTC_CHECK_EQ(++n, 1);
  RTC_CHECK(++n == 2);
  RTC_CHECK_LT(n++, 3);
  EXPECT_EQ(n, 3);
}

TEST(ChecksTest, ComparisonsOfMixedSignednessCompareValues) {
  RTC_CHECK_LT(-1, 1u);
  RTC_CHECK_NE(-1, 0xffffffffu);
  RTC_CHECK_GE(size_t{5}, 5);
  RTC_CHECK_LE(int64_t{-5}, uint8_t{0});
  RTC_CHECK_GT(2.5, 2);
  EXPECT_TRUE(checks_impl::SafeLt(-1, 1u));
  EXPECT_FALSE(-1 < static_cast<int>(1u) ? false : true);
}

TEST(ChecksTest, CheckStatementsNestUnderIfWithoutCapturingTheElse) {
  bool else_ran = false;
  if (false)
    RTC_CHECK_EQ(1, 1) << "never";
  else
    else_ran = true;
  EXPECT_TRUE(else_ran);
}

TEST(LocationTest, DefaultIsUnknownAndToStringJoinsFunctionAndPlace) {
  Location unknown;
  EXPECT_STREQ(unknown.function_name(), "Unknown");
  EXPECT_STREQ(unknown.file_and_line(), "Unknown");
  EXPECT_EQ(unknown.ToString(), "Unknown@Unknown");
  Location here = RTC_FROM_HERE;
  EXPECT_STREQ(here.function_name(), "TestBody");
  const std::string text = here.ToString();
  EXPECT_EQ(text.rfind("TestBody@", 0), 0u) << text;
  EXPECT_NE(text.find("checks_test.cc:"), std::string::npos) << text;
  Location copy = here;
  EXPECT_EQ(copy.file_and_line(), here.file_and_line());
}

TEST(LocationTest, ToStringIsCutTo255Characters) {
  static const std::string long_name(400, 'f');
  Location loc(long_name.c_str(), "x.cc:1");
  EXPECT_EQ(loc.ToString(), std::string(255, 'f'));
}

}  // namespace
}  // namespace rtc
