#include "core/rand_str.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <set>

#include "core/envelope.h"
#include "core/sync_msg_crypt.h"
#include "rtc_base/helpers.h"

namespace vy {

namespace {

TEST(GenRandStr, GivesTheAskedNumberOfLettersAndDigits) {
  for (unsigned n : {0u, 1u, 10u, 16u, 1000u}) {
    std::string s = "old";
    ASSERT_TRUE(GenRandStr(s, n));
    ASSERT_EQ(n, s.size());
    for (char c : s) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << int(c);
  }
}

TEST(GenRandStr, CallsInTheSameSecondDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string s;
    ASSERT_TRUE(GenRandStr(s, 10));
    seen.insert(s);
  }
  EXPECT_EQ(200u, seen.size());
}

TEST(GenRandStr, CoversTheWholeAlphabet) {
  std::string s;
  ASSERT_TRUE(GenRandStr(s, 20000));
  std::set<char> chars(s.begin(), s.end());
  EXPECT_EQ(62u, chars.size());
}

TEST(CreateRandomString, YieldsOnlyCharactersOfItsTable) {
  ASSERT_EQ(64u, std::strlen(kRandomStringTable));
  std::string s;
  ASSERT_TRUE(CreateRandomString(s, 5000));
  ASSERT_EQ(5000u, s.size());
  for (char c : s) EXPECT_NE(nullptr, std::strchr(kRandomStringTable, c));
  std::set<char> chars(s.begin(), s.end());
  EXPECT_EQ(62u, chars.size());  // the table repeats '0' three times
}

class FailingGenerator : public rtc::RandomGenerator {
 public:
  bool Init(const void*, size_t) override { return false; }
  bool Generate(void*, size_t) override { return false; }
};

class FailingRandomTest : public ::testing::Test {
 protected:
  FailingRandomTest() { rtc::SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>()); }
  ~FailingRandomTest() override { rtc::SetRandomTestMode(false); }
};

TEST_F(FailingRandomTest, RandomTextsFailWithNothingLeftInTheirOutput) {
  std::string s = "old";
  EXPECT_FALSE(GenRandStr(s, 10));
  EXPECT_TRUE(s.empty());
  s = "old";
  EXPECT_FALSE(CreateRandomString(s, 32));
  EXPECT_TRUE(s.empty());
  s = "old";
  EXPECT_EQ(-1, zentho::SyncMsgCrypt::GenRandStr(s, 16));
  EXPECT_TRUE(s.empty());
}

TEST_F(FailingRandomTest, NoEncryptedEnvelopeIsBuiltWithoutANonce) {
  const std::string app_id = "0123456789abcdef0123456789abcdef";
  zentho::SyncMsgCrypt crypt(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, app_id);
  std::string signature, cipher;
  EXPECT_NE(0, crypt.EncryptMsg("{}", "1", "nonce", signature, cipher));
  EXPECT_TRUE(cipher.empty());
  // With a body and without one (as "KeepAlive" travels), and for the "Login" with its app id.
  for (const std::string& body : {std::string(R"({"MsgId":1})"), std::string()}) {
    std::string envelope = "old";
    EXPECT_EQ(kEnvelopeNoNonce, BuildEnvelope("SendMsgToPeer", body, &crypt, nullptr, 1, &envelope));
    EXPECT_TRUE(envelope.empty());
    envelope = "old";
    EXPECT_EQ(kEnvelopeNoNonce, BuildEnvelope("Login", body, &crypt, &app_id, 1, &envelope));
    EXPECT_TRUE(envelope.empty());
  }
  // The plain form needs no random text.
  std::string plain;
  EXPECT_EQ(0, BuildEnvelope("Login", "{}", nullptr, nullptr, 1, &plain));
  EXPECT_EQ(R"({"Cmd":"Login","Encrypt":false,"Content":"{}"})", plain);
}

}  // namespace

}  // namespace vy
