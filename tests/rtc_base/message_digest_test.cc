#include "rtc_base/message_digest.h"

#include <openssl/evp.h>

#include <random>
#include <string>

#include "gtest/gtest.h"
#include "openssl_cli.h"
#include "rtc_base/openssl_digest.h"
#include "rtc_base/string_encode.h"

namespace rtc {
namespace {

struct Algorithm {
  const char* name;
  const char* cli;  // openssl dgst option
};

const Algorithm kAlgorithms[] = {
    {DIGEST_MD5, "-md5"},         {DIGEST_SHA_1, "-sha1"},     {DIGEST_SHA_224, "-sha224"},
    {DIGEST_SHA_256, "-sha256"}, {DIGEST_SHA_384, "-sha384"}, {DIGEST_SHA_512, "-sha512"},
};

std::string RandomBytes(size_t len, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string data(len, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  return data;
}

// The hex digest printed by `openssl dgst -r` for the file "data".
std::string CliDigest(const testing::ScratchDir& dir, const std::string& options) {
  std::string out;
  EXPECT_EQ(0, testing::RunCommand(dir.path(), "openssl dgst -r " + options + " data", &out));
  return out.substr(0, out.find(' '));
}

TEST(MessageDigestTest, DigestsMatchTheOpensslCommandLine) {
  testing::ScratchDir dir;
  for (size_t len : {0u, 64u, 1001u}) {
    const std::string data = RandomBytes(len, static_cast<uint32_t>(len));
    dir.Write("data", data);
    for (const Algorithm& alg : kAlgorithms) {
      std::string hex;
      ASSERT_TRUE(ComputeDigest(alg.name, data, &hex)) << alg.name;
      EXPECT_EQ(CliDigest(dir, alg.cli), hex) << alg.name << " of " << len << " bytes";
      size_t size = 0;
      ASSERT_TRUE(OpenSSLDigest::GetDigestSize(alg.name, &size));
      EXPECT_EQ(size * 2, hex.size());
    }
  }
}

TEST(MessageDigestTest, HmacMatchesTheOpensslCommandLineAcrossTheBlockSize) {
  testing::ScratchDir dir;
  const std::string data = RandomBytes(300, 1);
  dir.Write("data", data);
  // 64 bytes is used as it is; 65 is hashed first.
  for (size_t key_len : {1u, 20u, 64u, 65u, 131u}) {
    const std::string key = RandomBytes(key_len, 100 + static_cast<uint32_t>(key_len));
    for (const Algorithm& alg : kAlgorithms) {
      std::string hmac;
      bool ok = ComputeHmac(alg.name, key, data, &hmac);
      if (alg.name == std::string(DIGEST_SHA_384) || alg.name == std::string(DIGEST_SHA_512)) {
        EXPECT_FALSE(ok);
        EXPECT_EQ("", hmac);
        continue;
      }
      EXPECT_TRUE(ok);
      EXPECT_EQ(CliDigest(dir, std::string(alg.cli) + " -mac HMAC -macopt hexkey:" +
                                   hex_encode(key)),
                hmac)
          << alg.name << " with a key of " << key_len;
    }
  }
}

TEST(MessageDigestTest, HmacKnownVectors) {
  // RFC 4231 test cases 1 and 2, and the empty key and message.
  EXPECT_EQ("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
            ComputeHmac(DIGEST_SHA_256, std::string(20, '\x0b'), "Hi There"));
  EXPECT_EQ("a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44",
            ComputeHmac(DIGEST_SHA_224, "Jefe", "what do ya want for nothing?"));
  EXPECT_EQ("b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad",
            ComputeHmac(DIGEST_SHA_256, "", ""));
  EXPECT_EQ("74e6f7298a9c2d168935f58c001bad88", ComputeHmac(DIGEST_MD5, "", ""));
  unsigned char out[64];
  EXPECT_EQ(0u, ComputeHmac(DIGEST_SHA_512, "k", 1, "m", 1, out, sizeof(out)));
  EXPECT_EQ(0u, ComputeHmac(DIGEST_SHA_256, "k", 1, "m", 1, out, 31));
  EXPECT_EQ(32u, ComputeHmac(DIGEST_SHA_256, "k", 1, "m", 1, out, 32));
}

TEST(MessageDigestTest, NamesAreExactAndUnknownOnesGiveNothing) {
  for (const char* name : {"SHA-256", "sha256", "MD5", "sha-3", ""}) {
    EXPECT_EQ(nullptr, MessageDigestFactory::Create(name)) << name;
    EXPECT_EQ("", ComputeDigest(name, "abc")) << name;
    std::string out = "untouched";
    EXPECT_FALSE(ComputeDigest(name, "abc", &out));
    EXPECT_FALSE(ComputeHmac(name, "key", "abc", &out));
    EXPECT_EQ("untouched", out);
    unsigned char buf[64];
    EXPECT_EQ(0u, ComputeDigest(name, "abc", 3, buf, sizeof(buf)));
    OpenSSLDigest unknown(name);
    EXPECT_EQ(0u, unknown.Size());
    unknown.Update("abc", 3);
    EXPECT_EQ(0u, unknown.Finish(buf, sizeof(buf)));
  }
  EXPECT_TRUE(IsFips180DigestAlgorithm(DIGEST_SHA_1));
  EXPECT_TRUE(IsFips180DigestAlgorithm(DIGEST_SHA_512));
  EXPECT_FALSE(IsFips180DigestAlgorithm(DIGEST_MD5));
  EXPECT_FALSE(IsFips180DigestAlgorithm("SHA-1"));
}

TEST(MessageDigestTest, FinishStartsOverAndRefusesASmallBuffer) {
  std::unique_ptr<MessageDigest> digest = MessageDigestFactory::Create(DIGEST_SHA_256);
  ASSERT_TRUE(digest);
  const std::string expected = ComputeDigest(DIGEST_SHA_256, "abc");
  EXPECT_EQ(64u, expected.size());
  EXPECT_EQ(expected, ComputeDigest(digest.get(), "abc"));
  EXPECT_EQ(expected, ComputeDigest(digest.get(), "abc"));  // Nothing carried over.
  unsigned char small[31];
  digest->Update("abc", 3);
  EXPECT_EQ(0u, digest->Finish(small, sizeof(small)));
}

TEST(MessageDigestTest, MethodsMapToNamesAndBack) {
  for (const Algorithm& alg : kAlgorithms) {
    const EVP_MD* md = nullptr;
    ASSERT_TRUE(OpenSSLDigest::GetDigestEVP(alg.name, &md));
    std::string name;
    EXPECT_TRUE(OpenSSLDigest::GetDigestName(md, &name));
    EXPECT_EQ(alg.name, name);
  }
  std::string name = "stale";
  EXPECT_FALSE(OpenSSLDigest::GetDigestName(EVP_sha3_256(), &name));
  EXPECT_EQ("", name);
  EXPECT_TRUE(OpenSSLDigest::GetDigestName(EVP_sha1(), &name));  // Not only fetched methods.
  EXPECT_EQ(DIGEST_SHA_1, name);
}

}  // namespace
}  // namespace rtc
