#include "rtc_base/string_utils.h"

#include <string.h>

#include <chrono>
#include <string>

#include "gtest/gtest.h"

namespace rtc {
namespace {

TEST(StringMatchTest, WildcardMatchesAnyRunCaseInsensitively) {
  EXPECT_TRUE(string_match("xyz.abc", "*.ABC"));
  EXPECT_TRUE(string_match("abc", "a*"));
  EXPECT_TRUE(string_match("", "*"));
  EXPECT_TRUE(string_match("a", "a*"));
  EXPECT_TRUE(string_match("ab", "AB"));
  EXPECT_TRUE(string_match("a.b.c", "a*b*c"));
  EXPECT_TRUE(string_match("", ""));
  EXPECT_FALSE(string_match("ab", "a"));
  EXPECT_FALSE(string_match("a", "ab"));
  EXPECT_FALSE(string_match("", "a"));
  EXPECT_FALSE(string_match("x", ""));
  EXPECT_FALSE(string_match("abc", "*b"));
  EXPECT_FALSE(string_match("xyz.abd", "*.ABC"));
}

TEST(StringMatchTest, SecondStarAfterAStarIsALiteralStar) {
  EXPECT_FALSE(string_match("host.lan", "**.lan"));
  EXPECT_TRUE(string_match("x*.lan", "**.lan"));
  EXPECT_TRUE(string_match("*.lan", "**.lan"));
}

TEST(StringMatchTest, ManyStarsOverALongHostFinishQuickly) {
  // Without memoisation this pattern explores on the order of 255^12 paths.
  const std::string target(255, 'a');
  const std::string pattern = "*a*a*a*a*a*a*a*a*a*a*a*a*b";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(string_match(target.c_str(), pattern.c_str()));
  EXPECT_TRUE(string_match((target + "b").c_str(), pattern.c_str()));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // A generous bound; the point is polynomial rather than exponential time.
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(StringUtilsTest, MemoryCheck) {
  const char zeros[4] = {0, 0, 0, 0};
  const unsigned char ff[3] = {0xff, 0xff, 0xff};
  EXPECT_TRUE(memory_check(zeros, 0, sizeof(zeros)));
  EXPECT_TRUE(memory_check(ff, 0xff, sizeof(ff)));
  EXPECT_TRUE(memory_check(ff, -1, sizeof(ff)));
  EXPECT_TRUE(memory_check(ff, 0, 0));
  EXPECT_FALSE(memory_check("aab", 'a', 3));
}

TEST(StringUtilsTest, StrcpynBoundsTheCopy) {
  char buf[4];
  memset(buf, 'Z', sizeof(buf));
  EXPECT_EQ(0u, strcpyn(buf, 0, "abc"));
  EXPECT_EQ('Z', buf[0]);
  EXPECT_EQ(3u, strcpyn(buf, sizeof(buf), "abcdef"));
  EXPECT_STREQ("abc", buf);
  EXPECT_EQ(2u, strcpyn(buf, sizeof(buf), "abcdef", 2));
  EXPECT_STREQ("ab", buf);
  EXPECT_EQ(0u, strcpyn(buf, 1, "abc"));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(1u, strcpyn(buf, sizeof(buf), "x"));
  EXPECT_STREQ("x", buf);
}

TEST(StringUtilsTest, TrimRemovesBlanksAtBothEnds) {
  EXPECT_EQ("x", string_trim("\tx \r\n"));
  EXPECT_EQ("a b", string_trim("  a b  "));
  EXPECT_EQ("", string_trim(" \t\r\n"));
  EXPECT_EQ("", string_trim(""));
  EXPECT_EQ("x\vy", string_trim("x\vy"));
}

TEST(StringUtilsTest, ReplaceSubstrsDoesNotSearchInsertedText) {
  std::string s = "aXbXc";
  replace_substrs("X", 1, "XX", 2, &s);
  EXPECT_EQ("aXXbXXc", s);
  s = "aaaa";
  replace_substrs("aa", 2, "a", 1, &s);
  EXPECT_EQ("aa", s);
  s = "abc";
  replace_substrs("b", 1, "", 0, &s);
  EXPECT_EQ("ac", s);
}

TEST(StringUtilsTest, ReplaceSubstrsWithEmptySearchChangesNothing) {
  std::string s = "abc";
  replace_substrs("", 0, "x", 1, &s);
  EXPECT_EQ("abc", s);
  std::string empty;
  replace_substrs("", 0, "x", 1, &empty);
  EXPECT_EQ("", empty);
}

TEST(StringUtilsTest, ToHexLeftPadAndEndsWith) {
  EXPECT_EQ("ffffffff", ToHex(-1));
  EXPECT_EQ("0", ToHex(0));
  EXPECT_EQ("7fffffff", ToHex(0x7fffffff));
  EXPECT_EQ("0042", LeftPad('0', 4, "42"));
  EXPECT_EQ("12345", LeftPad('0', 4, "12345"));
  EXPECT_EQ("abc", LeftPad(' ', 3, "abc"));
  EXPECT_EQ("   ", LeftPad(' ', 3, ""));
  EXPECT_TRUE(EndsWith("file.txt", ".txt"));
  EXPECT_TRUE(EndsWith("x", ""));
  EXPECT_FALSE(EndsWith("txt", ".txt"));
  EXPECT_FALSE(EndsWith("file.txt", ".TXT"));
}

}  // namespace
}  // namespace rtc
