// Base64 and message digests, checked against the command-line tools that make the same.
#include "rtc_base/base64.h"

#include <string.h>

#include <random>
#include <string>

#include "gtest/gtest.h"
#include "openssl_cli.h"
#include "rtc_base/message_digest.h"
#include "rtc_base/string_encode.h"

namespace rtc {
namespace {

std::string RandomBytes(size_t len, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string data(len, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  return data;
}

TEST(Base64Test, EncodingMatchesCoreutilsAndDecodesStrictlyBack) {
  const std::pair<std::string, std::string> kVectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : kVectors) {
    EXPECT_EQ(encoded, Base64::Encode(plain));
    std::string decoded;
    size_t used = 99;
    EXPECT_TRUE(Base64::Decode(encoded, Base64::DO_STRICT, &decoded, &used)) << encoded;
    EXPECT_EQ(plain, decoded);
    EXPECT_EQ(encoded.size(), used);
  }
  testing::ScratchDir dir;
  for (size_t len : {1u, 2u, 3u, 4u, 57u, 58u, 59u, 1000u}) {
    const std::string data = RandomBytes(len, 20 + static_cast<uint32_t>(len));
    dir.Write("data", data);
    std::string expected;
    ASSERT_EQ(0, testing::RunCommand(dir.path(), "base64 -w0 data", &expected));
    EXPECT_EQ(expected, Base64::Encode(data)) << len;
    std::string decoded;
    EXPECT_TRUE(Base64::Decode(expected, Base64::DO_STRICT, &decoded, nullptr));
    EXPECT_EQ(data, decoded);
  }
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

TEST(Base64Test, DecodesAsTheFlagsSay) {
  struct FlagCase {
    const char* input;
    int flags;
    bool success;
    const char* output;
    size_t used;
  } cases[] = {
        {"TWE=", kStrict | kPadYes | kBuffer, true, "Ma", 4},
        {"TWE", kStrict | kPadYes | kBuffer, false, "Ma", 3},
        {"TWE", kStrict | kPadAny | kBuffer, true, "Ma", 3},
        // With pads illegal, '=' stops a strict parse and leaves input over.
        {"TWE=", kStrict | kPadNo | kBuffer, false, "Ma", 3},
        {"TWE=", kAny | kPadNo | kChar, true, "Ma", 4},
        {"TW E=", kStrict | kPadYes | kBuffer, false, "M", 2},
        {"TW E=", kWhite | kPadYes | kBuffer, true, "Ma", 5},
        // 'F' leaves non-zero bits that would start a third byte.
        {"TWF", kStrict | kPadAny | kChar, false, "Ma", 3},
        {"TWF", kStrict | kPadAny | kTermAny, true, "Ma", 3},
        {"TWFuA", kStrict | kPadAny | kChar, true, "Man", 5},
        {"TWFuA", kStrict | kPadAny | kBuffer, true, "Man", 5},
        {"TWFuB", kStrict | kPadAny | kChar, false, "Man", 5},
        {"TWFu!TWFu", kStrict | kPadAny | kChar, true, "Man", 4},
        {"TWFu!TWFu", kStrict | kPadAny | kBuffer, false, "Man", 4},
        {"TW\x80" "Fu!\xff" "TWFu", kAny | kPadAny | kBuffer, true, "ManMan", 11},
        // A pad run cut short by data is left unconsumed.
        {"TQ=TWE=", kStrict | kPadAny | kChar, true, "M", 2},
        {"TQ==", kStrict | kPadYes | kBuffer, true, "M", 4},
        {"TQ===", kStrict | kPadYes | kBuffer, false, "M", 4},
        {"", kStrict | kPadYes | kBuffer, true, "", 0},
        {"", kAny | kPadNo | kTermAny, true, "", 0}  };
  for (const FlagCase& c : cases) {
    std::string out;
    size_t used = 99;
    EXPECT_EQ(c.success, Base64::DecodeFromArray(c.input, strlen(c.input), c.flags, &out, &used))
        << c.input << " " << c.flags;
    EXPECT_EQ(c.output, out) << c.input << " " << c.flags;
    EXPECT_EQ(c.used, used) << c.input << " " << c.flags;
  }
}

struct Algorithm {
  const char* name;
  const char* cli;  // openssl dgst option
};

const Algorithm kAlgorithms[] = {
    {DIGEST_MD5, "-md5"},         {DIGEST_SHA_1, "-sha1"},     {DIGEST_SHA_224, "-sha224"},
    {DIGEST_SHA_256, "-sha256"}, {DIGEST_SHA_384, "-sha384"}, {DIGEST_SHA_512, "-sha512"},
};

// The hex digest printed by `openssl dgst -r` for the file "data".
std::string CliDigest(const testing::ScratchDir& dir, const std::string& options) {
  std::string out;
  EXPECT_EQ(0, testing::RunCommand(dir.path(), "openssl dgst -r " + options + " data", &out));
  return out.substr(0, out.find(' '));
}

TEST(MessageDigestTest, DigestsAndHmacsMatchTheOpensslCommandLine) {
  testing::ScratchDir dir;
  const std::string data = RandomBytes(1001, 1);
  dir.Write("data", data);
  for (const Algorithm& alg : kAlgorithms) {
    EXPECT_EQ(CliDigest(dir, alg.cli), ComputeDigest(alg.name, data)) << alg.name;
  }
  // A key of 64 bytes is used as it is; 65 is hashed first.
  for (size_t key_len : {1u, 64u, 65u, 131u}) {
    const std::string key = RandomBytes(key_len, 100 + static_cast<uint32_t>(key_len));
    for (const Algorithm& alg : kAlgorithms) {
      std::string hmac;
      bool ok = ComputeHmac(alg.name, key, data, &hmac);
      if (alg.name == std::string(DIGEST_SHA_384) || alg.name == std::string(DIGEST_SHA_512)) {
        EXPECT_FALSE(ok);
        continue;
      }
      EXPECT_TRUE(ok);
      EXPECT_EQ(CliDigest(dir, std::string(alg.cli) + " -mac HMAC -macopt hexkey:" +
                                   hex_encode(key)),
                hmac)
          << alg.name << " with a key of " << key_len;
    }
  }
  unsigned char out[64];
  EXPECT_EQ(0u, ComputeHmac(DIGEST_SHA_256, "k", 1, "m", 1, out, 31));
  EXPECT_EQ(32u, ComputeHmac(DIGEST_SHA_256, "k", 1, "m", 1, out, 32));
  for (const char* name : {"SHA-256", "sha256", "sha-3", ""}) {
    EXPECT_EQ(nullptr, MessageDigestFactory::Create(name)) << name;
    std::string untouched = "untouched";
    EXPECT_FALSE(ComputeDigest(name, "abc", &untouched));
    EXPECT_FALSE(ComputeHmac(name, "key", "abc", &untouched));
    EXPECT_EQ("untouched", untouched);
  }
}

}  // namespace
}  // namespace rtc
