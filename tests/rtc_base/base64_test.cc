#include "rtc_base/base64.h"

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "openssl_cli.h"

namespace rtc {
namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

TEST(Base64Test, EncodesAndStrictlyDecodesTheRfc4648Vectors) {
  const std::pair<std::string, std::string> kVectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"M", "TQ=="},
      {"Ma", "TWE="},   {"Man", "TWFu"},
  };
  for (const auto& [plain, encoded] : kVectors) {
    EXPECT_EQ(encoded, Base64::Encode(plain));
    std::string decoded;
    size_t used = 99;
    EXPECT_TRUE(Base64::Decode(encoded, Base64::DO_STRICT, &decoded, &used)) << encoded;
    EXPECT_EQ(plain, decoded);
    EXPECT_EQ(encoded.size(), used);
  }
}

struct FlagCase {
  const char* input;
  int flags;
  bool success;
  const char* output;
  size_t used;
};

class Base64FlagTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(Base64FlagTest, DecodesAsTheFlagsSay) {
  const FlagCase& c = GetParam();
  std::string out;
  size_t used = 99;
  EXPECT_EQ(c.success, Base64::DecodeFromArray(c.input, strlen(c.input), c.flags, &out, &used));
  EXPECT_EQ(c.output, out);
  EXPECT_EQ(c.used, used);
  // The three result forms agree.
  std::vector<char> chars;
  std::vector<unsigned char> bytes;
  EXPECT_EQ(c.success, Base64::DecodeFromArray(c.input, strlen(c.input), c.flags, &chars, nullptr));
  EXPECT_EQ(c.success, Base64::DecodeFromArray(c.input, strlen(c.input), c.flags, &bytes, nullptr));
  EXPECT_EQ(out, std::string(chars.begin(), chars.end()));
  EXPECT_EQ(out, std::string(bytes.begin(), bytes.end()));
}

constexpr int kStrict = Base64::DO_PARSE_STRICT;
constexpr int kWhite = Base64::DO_PARSE_WHITE;
constexpr int kAny = Base64::DO_PARSE_ANY;
constexpr int kPadYes = Base64::DO_PAD_YES;
constexpr int kPadAny = Base64::DO_PAD_ANY;
constexpr int kPadNo = Base64::DO_PAD_NO;
constexpr int kBuffer = Base64::DO_TERM_BUFFER;
constexpr int kChar = Base64::DO_TERM_CHAR;
constexpr int kTermAny = Base64::DO_TERM_ANY;

INSTANTIATE_TEST_SUITE_P(
    Flags, Base64FlagTest,
    ::testing::Values(
        FlagCase{"TWE=", kStrict | kPadYes | kBuffer, true, "Ma", 4},
        FlagCase{"TWE", kStrict | kPadYes | kBuffer, false, "Ma", 3},
        FlagCase{"TWE", kStrict | kPadAny | kBuffer, true, "Ma", 3},
        // With pads illegal, '=' stops a strict parse and leaves input over.
        FlagCase{"TWE=", kStrict | kPadNo | kBuffer, false, "Ma", 3},
        FlagCase{"TWE=", kAny | kPadNo | kChar, true, "Ma", 4},
        FlagCase{"TW E=", kStrict | kPadYes | kBuffer, false, "M", 2},
        FlagCase{"TW E=", kWhite | kPadYes | kBuffer, true, "Ma", 5},
        // 'F' leaves non-zero bits that would start a third byte.
        FlagCase{"TWF", kStrict | kPadAny | kChar, false, "Ma", 3},
        FlagCase{"TWF", kStrict | kPadAny | kTermAny, true, "Ma", 3},
        FlagCase{"TWFuA", kStrict | kPadAny | kChar, true, "Man", 5},
        FlagCase{"TWFuA", kStrict | kPadAny | kBuffer, true, "Man", 5},
        FlagCase{"TWFuB", kStrict | kPadAny | kChar, false, "Man", 5},
        FlagCase{"TWFu!TWFu", kStrict | kPadAny | kChar, true, "Man", 4},
        FlagCase{"TWFu!TWFu", kStrict | kPadAny | kBuffer, false, "Man", 4},
        FlagCase{"TW\x80" "Fu!\xff" "TWFu", kAny | kPadAny | kBuffer, true, "ManMan", 11},
        // A pad run cut short by data is left unconsumed.
        FlagCase{"TQ=TWE=", kStrict | kPadAny | kChar, true, "M", 2},
        FlagCase{"TQ==", kStrict | kPadYes | kBuffer, true, "M", 4},
        FlagCase{"TQ===", kStrict | kPadYes | kBuffer, false, "M", 4},
        FlagCase{"", kStrict | kPadYes | kBuffer, true, "", 0},
        FlagCase{"", kAny | kPadNo | kTermAny, true, "", 0}));

TEST(Base64Test, EveryByteValueIsClassifiedByTheParseMode) {
  for (int b = 0; b < 256; ++b) {
    const char ch = static_cast<char>(b);
    const bool alphabet = b != 0 && strchr(kAlphabet, b) != nullptr;
    const bool space = strchr("\t\n\v\f\r ", b) != nullptr && b != 0;
    EXPECT_EQ(alphabet, Base64::IsBase64Char(ch)) << b;
    if (alphabet) continue;
    const std::string input = std::string("TW") + ch + "Fu";
    for (int parse : {kStrict, kWhite, kAny}) {
      std::string out;
      bool ok = Base64::DecodeFromArray(input.data(), input.size(), parse | kPadAny | kBuffer,
                                        &out, nullptr);
      // '=' after two characters starts a pad run, which data may only follow under ANY.
      bool skipped = parse == kAny || (parse == kWhite && space);
      EXPECT_EQ(skipped, ok) << "byte " << b << " parse " << parse;
      if (ok) EXPECT_EQ("Man", out);
    }
  }
}

TEST(Base64Test, EncodingMatchesCoreutilsAndRoundTrips) {
  testing::ScratchDir dir;
  std::mt19937 rng(20);
  for (size_t len : {1u, 2u, 3u, 4u, 57u, 58u, 59u, 1000u}) {
    std::string data(len, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    dir.Write("data", data);
    std::string expected;
    ASSERT_EQ(0, testing::RunCommand(dir.path(), "base64 -w0 data", &expected));
    const std::string encoded = Base64::Encode(data);
    EXPECT_EQ(expected, encoded) << len;
    std::string decoded;
    EXPECT_TRUE(Base64::Decode(encoded, Base64::DO_STRICT, &decoded, nullptr));
    EXPECT_EQ(data, decoded);
  }
}

TEST(Base64Test, AlphabetQueries) {
  char next = 0;
  EXPECT_TRUE(Base64::GetNextBase64Char('/', &next));
  EXPECT_EQ('A', next);
  EXPECT_TRUE(Base64::GetNextBase64Char('Z', &next));
  EXPECT_EQ('a', next);
  EXPECT_TRUE(Base64::GetNextBase64Char('9', &next));
  EXPECT_EQ('+', next);
  EXPECT_FALSE(Base64::GetNextBase64Char('=', &next));
  EXPECT_FALSE(Base64::GetNextBase64Char('\xC1', &next));
  EXPECT_FALSE(Base64::GetNextBase64Char('A', nullptr));
  EXPECT_TRUE(Base64::IsBase64Encoded(""));
  EXPECT_TRUE(Base64::IsBase64Encoded("TWFu+/09"));
  EXPECT_FALSE(Base64::IsBase64Encoded("TQ=="));
  EXPECT_FALSE(Base64::IsBase64Encoded("TW Fu"));
}

TEST(Base64DeathTest, MisuseAbortsNamingTheViolatedCondition) {
  std::string out;
  EXPECT_DEATH(Base64::DecodeFromArray("TQ==", 4, 64, &out, nullptr),
               "flags <= \\(DO_PARSE_MASK \\| DO_PAD_MASK \\| DO_TERM_MASK\\)");
  EXPECT_DEATH(Base64::DecodeFromArray("TQ==", 4, kPadAny | kBuffer, &out, nullptr),
               "0 != parse_flags");
  EXPECT_DEATH(Base64::DecodeFromArray("TQ==", 4, kStrict | kBuffer, &out, nullptr),
               "0 != pad_flags");
  EXPECT_DEATH(Base64::DecodeFromArray("TQ==", 4, kStrict | kPadAny, &out, nullptr),
               "0 != term_flags");
  EXPECT_DEATH(Base64::DecodeFromArray("TQ==", 4, Base64::DO_STRICT,
                                       static_cast<std::string*>(nullptr), nullptr),
               "nullptr != result");
  EXPECT_DEATH(Base64::EncodeFromArray("M", 1, nullptr), "nullptr != result");
}

}  // namespace
}  // namespace rtc
