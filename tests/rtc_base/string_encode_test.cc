#include "rtc_base/string_encode.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace rtc {
namespace {

using ::testing::ElementsAre;

std::string RandomBytes(std::mt19937* rng, size_t len) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string s(len, '\0');
  for (char& c : s) c = static_cast<char>(byte(*rng));
  return s;
}

TEST(EscapeTest, EscapesTheEscapeCharacterIllegalBytesAndNul) {
  char buf[32];
  EXPECT_EQ(4u, escape(buf, sizeof(buf), "a%b", 3, "", '%'));
  EXPECT_STREQ("a%%b", buf);
  const char with_nul[] = {'x', '\0', 'y'};
  ASSERT_EQ(4u, escape(buf, sizeof(buf), with_nul, 3, "", '\\'));
  EXPECT_EQ(0, memcmp("x\\\0y", buf, 4));
  EXPECT_EQ(6u, escape(buf, sizeof(buf), "a;b;", 4, ";", '\\'));
  EXPECT_STREQ("a\\;b\\;", buf);
}

TEST(EscapeTest, EscapedByteNeedsTwoFreeBytesBeforeTheTerminator) {
  char buf[8];
  memset(buf, 'Z', sizeof(buf));
  EXPECT_EQ(0u, escape(buf, 0, "abc", 3, "", '%'));
  EXPECT_EQ('Z', buf[0]);
  EXPECT_EQ(0u, escape(buf, 1, "abc", 3, "", '%'));
  EXPECT_EQ('\0', buf[0]);
  EXPECT_EQ(0u, escape(buf, sizeof(buf), "", 0, "", '%'));
  EXPECT_EQ('\0', buf[0]);
  // "a%" escapes to 3 bytes plus the terminator; with 3 the escaped byte is left out.
  EXPECT_EQ(1u, escape(buf, 3, "a%", 2, "", '%'));
  EXPECT_STREQ("a", buf);
  EXPECT_EQ(3u, escape(buf, 4, "a%", 2, "", '%'));
  EXPECT_STREQ("a%%", buf);
}

TEST(EscapeTest, UnescapeDropsEscapesButKeepsATrailingOne) {
  char buf[16];
  EXPECT_EQ(3u, unescape(buf, sizeof(buf), "a%%b", 4, '%'));
  EXPECT_STREQ("a%b", buf);
  EXPECT_EQ(3u, unescape(buf, sizeof(buf), "a%b%", 4, '%'));
  EXPECT_STREQ("ab%", buf);
  EXPECT_EQ(2u, unescape(buf, 3, "abcd", 4, '%'));
  EXPECT_STREQ("ab", buf);
}

TEST(EscapeTest, RoundTripsRandomBytes) {
  std::mt19937 rng(1);
  for (int i = 0; i < 200; ++i) {
    const std::string src = RandomBytes(&rng, i % 50);
    std::vector<char> escaped(src.size() * 2 + 1);
    const size_t n = escape(escaped.data(), escaped.size(), src.data(), src.size(), "\x01;:", '\\');
    std::vector<char> back(src.size() + 1);
    const size_t m = unescape(back.data(), back.size(), escaped.data(), n, '\\');
    ASSERT_EQ(src, std::string(back.data(), m));
  }
}

TEST(EncodeTest, EncodesIllegalBytesAsHex) {
  char buf[16];
  EXPECT_EQ(5u, encode(buf, sizeof(buf), "a b", 3, " ", '%'));
  EXPECT_STREQ("a%20b", buf);
  EXPECT_EQ(1u, encode(buf, 4, "a b", 3, " ", '%'));
  EXPECT_STREQ("a", buf);
  EXPECT_EQ(4u, encode(buf, 5, "a b", 3, " ", '%'));
  EXPECT_STREQ("a%20", buf);
  const char high[] = {'\x80', '\xff', '\0', '%'};
  EXPECT_EQ(8u, encode(buf, sizeof(buf), high, 4, "", '%'));
  EXPECT_STREQ("\x80\xff%00%25", buf);
  EXPECT_EQ(3u, encode(buf, sizeof(buf), "%", 1, nullptr, '%'));
  EXPECT_STREQ("%25", buf) << "a null set is the empty set";
  EXPECT_EQ(0u, encode(buf, 0, "a", 1, "", '%'));
  EXPECT_EQ(0u, encode(buf, 1, "a", 1, "", '%'));
  EXPECT_EQ('\0', buf[0]);
}

TEST(EncodeTest, DecodeHandlesIncompleteAndInvalidEscapes) {
  char buf[16];
  EXPECT_EQ(3u, decode(buf, sizeof(buf), "a%4", 3, '%'));
  EXPECT_STREQ("a%4", buf);
  EXPECT_EQ(3u, decode(buf, sizeof(buf), "%zz", 3, '%'));
  EXPECT_STREQ("%zz", buf);
  EXPECT_EQ(2u, decode(buf, sizeof(buf), "%41b", 4, '%'));
  EXPECT_STREQ("Ab", buf);
  EXPECT_EQ(1u, decode(buf, sizeof(buf), "%4a", 3, '%'));
  EXPECT_STREQ("J", buf);
  EXPECT_EQ(1u, decode(buf, 2, "%41%42", 6, '%'));
  EXPECT_STREQ("A", buf);
}

TEST(EncodeTest, FileNamesFromUrlsCannotLeaveTheirFolder) {
  const std::string id = "GET_http://h/../../etc\\x:y\x01";
  char buf[128];
  const size_t n =
      encode(buf, sizeof(buf), id.data(), id.size(), unsafe_filename_characters(), '%');
  const std::string name(buf, n);
  EXPECT_EQ("GET_http%3a%2f%2fh%2f..%2f..%2fetc%5cx%3ay%01", name);
  EXPECT_EQ(std::string::npos, name.find_first_of("/\\:"));
  char back[128];
  const size_t m = decode(back, sizeof(back), name.data(), name.size(), '%');
  EXPECT_EQ(id, std::string(back, m));
}

TEST(EncodeTest, RoundTripsRandomBytes) {
  std::mt19937 rng(2);
  for (int i = 0; i < 200; ++i) {
    const std::string src = RandomBytes(&rng, i % 60);
    std::vector<char> encoded(src.size() * 3 + 1);
    const size_t n = encode(encoded.data(), encoded.size(), src.data(), src.size(),
                            unsafe_filename_characters(), '%');
    ASSERT_EQ(n, strlen(encoded.data())) << "encoded text must hold no NUL";
    std::vector<char> back(src.size() + 1);
    const size_t m = decode(back.data(), back.size(), encoded.data(), n, '%');
    ASSERT_EQ(src, std::string(back.data(), m));
  }
}

TEST(HexTest, EncodesSingleValuesAndRejectsNonDigits) {
  EXPECT_EQ('0', hex_encode(0));
  EXPECT_EQ('f', hex_encode(15));
  EXPECT_EQ('!', hex_encode(16));
  unsigned char v = 99;
  EXPECT_TRUE(hex_decode('A', &v));
  EXPECT_EQ(10, v);
  EXPECT_TRUE(hex_decode('f', &v));
  EXPECT_EQ(15, v);
  EXPECT_FALSE(hex_decode('g', &v));
  EXPECT_FALSE(hex_decode(':', &v));
  EXPECT_EQ(15, v);
}

TEST(HexTest, OutputLength) {
  EXPECT_EQ(0u, hex_encode_output_length(0, ':'));
  EXPECT_EQ(0u, hex_encode_output_length(0, 0));
  EXPECT_EQ(2u, hex_encode_output_length(1, ':'));
  EXPECT_EQ(8u, hex_encode_output_length(3, ':'));
  EXPECT_EQ(6u, hex_encode_output_length(3, 0));
}

TEST(HexTest, EncodesStringsWithAndWithoutDelimiter) {
  EXPECT_EQ("", hex_encode(std::string()));
  EXPECT_EQ("000aff", hex_encode(std::string("\x00\x0a\xff", 3)));
  EXPECT_EQ("00:0a:ff", hex_encode_with_delimiter("\x00\x0a\xff", 3, ':'));
  EXPECT_EQ("7f", hex_encode_with_delimiter("\x7f", 1, ':'));
  char out[8];
  memset(out, 'Z', sizeof(out));
  hex_encode_with_delimiter(out, "\x12\x34", 2, '-');
  EXPECT_EQ("12-34Z", std::string(out, 6)) << "no terminator is written";
}

TEST(HexTest, DecodeWithDelimiterFollowsTheExactRules) {
  char buf[8];
  EXPECT_EQ(2u, hex_decode_with_delimiter(buf, sizeof(buf), "0a:ff", 5, ':'));
  EXPECT_EQ(0x0a, static_cast<unsigned char>(buf[0]));
  EXPECT_EQ(0xff, static_cast<unsigned char>(buf[1]));
  EXPECT_EQ(0u, hex_decode_with_delimiter(buf, sizeof(buf), "0a:ff:", 6, ':'));
  EXPECT_EQ(0u, hex_decode_with_delimiter(buf, sizeof(buf), "0a;ff", 5, ':'));
  EXPECT_EQ(0u, hex_decode_with_delimiter(buf, sizeof(buf), "0a:f", 4, ':'));
  EXPECT_EQ(0u, hex_decode_with_delimiter(buf, sizeof(buf), "", 0, ':'));
  EXPECT_EQ(0u, hex_decode_with_delimiter(buf, 0, "0a", 2, ':'));
  EXPECT_EQ(2u, hex_decode(buf, sizeof(buf), std::string("AbCd")));
  EXPECT_EQ(0xab, static_cast<unsigned char>(buf[0]));
  EXPECT_EQ(0u, hex_decode(buf, sizeof(buf), "abc", 3));
  EXPECT_EQ(0u, hex_decode(buf, sizeof(buf), "zz", 2));
}

TEST(HexTest, DecodeRefusesTooSmallBuffersAndKeepsDecodedBytesOnFailure) {
  char buf[4] = {0, 0, 0, 0};
  EXPECT_EQ(0u, hex_decode(buf, 1, "0102", 4));
  EXPECT_EQ(0, buf[0]) << "nothing is written when the buffer is too small";
  EXPECT_EQ(0u, hex_decode_with_delimiter(buf, 1, "01:02", 5, ':'));
  EXPECT_EQ(0u, hex_decode(buf, sizeof(buf), "0102zz", 6));
  EXPECT_EQ(1, buf[0]);
  EXPECT_EQ(2, buf[1]);
}

TEST(HexTest, RoundTripsRandomBytes) {
  std::mt19937 rng(3);
  for (int i = 1; i < 200; ++i) {
    const std::string src = RandomBytes(&rng, i % 70 + 1);
    const std::string plain = hex_encode(src);
    const std::string delimited = hex_encode_with_delimiter(src.data(), src.size(), ':');
    ASSERT_EQ(src.size() * 2, plain.size());
    ASSERT_EQ(src.size() * 3 - 1, delimited.size());
    std::vector<char> back(src.size());
    ASSERT_EQ(src.size(), hex_decode(back.data(), back.size(), plain));
    ASSERT_EQ(src, std::string(back.data(), back.size()));
    std::fill(back.begin(), back.end(), 0);
    ASSERT_EQ(src.size(), hex_decode_with_delimiter(back.data(), back.size(), delimited, ':'));
    ASSERT_EQ(src, std::string(back.data(), back.size()));
  }
}

TEST(HexTest, MatchesXxd) {
  // xxd is an independent encoder; skip quietly when it is not installed.
  if (system("command -v xxd >/dev/null 2>&1") != 0) GTEST_SKIP() << "xxd not installed";
  std::mt19937 rng(4);
  const std::string src = RandomBytes(&rng, 25);
  char path[] = "/tmp/hex_test_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(src.size()), write(fd, src.data(), src.size()));
  close(fd);
  const std::string cmd = std::string("xxd -p -c 100 ") + path;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(nullptr, p);
  char out[256] = {};
  ASSERT_NE(nullptr, fgets(out, sizeof(out), p));
  pclose(p);
  unlink(path);
  std::string expected(out);
  while (!expected.empty() && expected.back() == '\n') expected.pop_back();
  EXPECT_EQ(expected, hex_encode(src));
}

TEST(TokenizeTest, DropsOrKeepsEmptyFields) {
  std::vector<std::string> fields = {"old"};
  EXPECT_EQ(2u, tokenize("a  b", ' ', &fields));
  EXPECT_THAT(fields, ElementsAre("a", "b"));
  EXPECT_EQ(2u, tokenize("a,,b,", ',', &fields));
  EXPECT_EQ(0u, tokenize("", ',', &fields));
  EXPECT_EQ(3u, tokenize_with_empty_tokens("a  b", ' ', &fields));
  EXPECT_THAT(fields, ElementsAre("a", "", "b"));
  EXPECT_EQ(1u, tokenize_with_empty_tokens("", ' ', &fields));
  EXPECT_THAT(fields, ElementsAre(""));
  EXPECT_EQ(3u, split("a,b,", ',', &fields));
  EXPECT_THAT(fields, ElementsAre("a", "b", ""));
}

TEST(TokenizeTest, AppendKeepsExistingFields) {
  std::vector<std::string> fields = {"x"};
  EXPECT_EQ(3u, tokenize_append("a b", ' ', &fields));
  EXPECT_THAT(fields, ElementsAre("x", "a", "b"));
  EXPECT_EQ(0u, tokenize_append("a b", ' ', nullptr));
}

TEST(TokenizeTest, MarkedTextStaysOneField) {
  std::vector<std::string> fields;
  EXPECT_EQ(3u, tokenize("a, {b c}, d", ',', '{', '}', &fields));
  EXPECT_THAT(fields, ElementsAre("a", "b c", " d"));
  EXPECT_EQ(4u, tokenize("a {b c} {d} e", ' ', '{', '}', &fields));
  EXPECT_THAT(fields, ElementsAre("a", "b c", "d", "e"));
  EXPECT_EQ(0u, tokenize("a", ' ', '{', '}', nullptr));
}

TEST(TokenizeTest, StartMarkAtTheBeginningAddsNothingBeforeIt) {
  std::vector<std::string> fields;
  EXPECT_EQ(2u, tokenize("{a b} c", ' ', '{', '}', &fields));
  EXPECT_THAT(fields, ElementsAre("a b", "c"));
  EXPECT_EQ(1u, tokenize("{x}", ' ', '{', '}', &fields));
  EXPECT_THAT(fields, ElementsAre("x"));
}

TEST(TokenizeTest, UnmatchedMarksAreTokenizedAsPlainText) {
  std::vector<std::string> fields;
  EXPECT_EQ(3u, tokenize("a {b c", ' ', '{', '}', &fields));
  EXPECT_THAT(fields, ElementsAre("a", "{b", "c"));
  EXPECT_EQ(2u, tokenize("a} b", ' ', '{', '}', &fields));
  EXPECT_THAT(fields, ElementsAre("a}", "b"));
}

TEST(TokenizeTest, FirstSkipsTheRunOfDelimiters) {
  std::string token = "t", rest = "r";
  EXPECT_FALSE(tokenize_first("abc", ' ', &token, &rest));
  EXPECT_EQ("t", token);
  EXPECT_EQ("r", rest);
  EXPECT_TRUE(tokenize_first("a   b c", ' ', &token, &rest));
  EXPECT_EQ("a", token);
  EXPECT_EQ("b c", rest);
  EXPECT_TRUE(tokenize_first(" x", ' ', &token, &rest));
  EXPECT_EQ("", token);
  EXPECT_EQ("x", rest);
  EXPECT_TRUE(tokenize_first("x  ", ' ', &token, &rest));
  EXPECT_EQ("x", token);
  EXPECT_EQ("", rest);
}

TEST(TokenizeTest, JoinPutsOneDelimiterBetweenNeighbours) {
  EXPECT_EQ("", join({}, ','));
  EXPECT_EQ("a", join({"a"}, ','));
  EXPECT_EQ("h2,http/1.1,", join({"h2", "http/1.1", ""}, ','));
}

TEST(ToStringTest, FormatsValuesLikePrintf) {
  EXPECT_EQ("true", ToString(true));
  EXPECT_EQ("false", ToString(false));
  EXPECT_EQ("text", ToString("text"));
  EXPECT_EQ("str", ToString(std::string("str")));
  EXPECT_EQ("-32768", ToString(static_cast<short>(-32768)));
  EXPECT_EQ("65535", ToString(static_cast<unsigned short>(65535)));
  EXPECT_EQ("-2147483648", ToString(-2147483647 - 1));
  EXPECT_EQ("4294967295", ToString(4294967295u));
  EXPECT_EQ("-9223372036854775808", ToString(-9223372036854775807LL - 1));
  EXPECT_EQ("18446744073709551615", ToString(18446744073709551615ULL));
  EXPECT_EQ("18446744073709551615", ToString(18446744073709551615UL));
  EXPECT_EQ("-1", ToString(-1L));
  EXPECT_EQ("0.1", ToString(0.1));
  EXPECT_EQ("1e+100", ToString(1e100));
  EXPECT_EQ("-1.18973e+4932", ToString(-1.18973e+4932L));
  int x = 0;
  char expected[32];
  snprintf(expected, sizeof(expected), "%p", static_cast<void*>(&x));
  EXPECT_EQ(expected, ToString(static_cast<const void*>(&x)));
}

TEST(ToStringTest, FromStringAcceptsOnlyExactWords) {
  bool b = false;
  EXPECT_TRUE(FromString("true", &b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(FromString("false", &b));
  EXPECT_FALSE(b);
  b = true;
  EXPECT_FALSE(FromString("False", &b));
  EXPECT_FALSE(FromString(" true", &b));
  EXPECT_FALSE(FromString("", &b));
  EXPECT_TRUE(b);
}

}  // namespace
}  // namespace rtc
