// The service's crypt, checked against the openssl command line as an independent peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "local_service/msg_crypt.h"

namespace local_service {
namespace {

constexpr char kApp[] = "0123456789abcdef0123456789abcdef";

std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string Hex(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

class TempFile {
 public:
  explicit TempFile(const std::string& content = "") {
    char name[] = "/tmp/local_service_crypt_XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    if (fd >= 0) {
      if (!content.empty()) (void)!write(fd, content.data(), content.size());
      close(fd);
    }
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  std::string Read() const {
    std::ifstream f(path_, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

 private:
  std::string path_;
};

std::string KeyHexFromOpenssl() {
  std::string hex = Shell(std::string("printf %s '") + kEncodingKey +
                        "=' | openssl base64 -d -A | od -An -tx1 | tr -d ' \\n'");
  return hex;
}

std::string Block(const std::string& prefix, const std::string& text, const std::string& app) {
  std::string block = prefix;
  uint32_t n = static_cast<uint32_t>(text.size());
  for (int s = 24; s >= 0; s -= 8) block.push_back(static_cast<char>(n >> s));
  block += text + app;
  size_t pad = 32 - block.size() % 32;
  block.append(pad, static_cast<char>(pad));
  return block;
}

TEST(MsgCryptTest, KeyDecodesTo32BytesDespiteItsSpareBits) {
  std::string key = KeyHexFromOpenssl();
  ASSERT_EQ(key.size(), 64u) << "openssl gave: " << key;
  EXPECT_EQ(key.substr(0, 4), "2a9e");
  EXPECT_EQ(key.substr(60), "3ea8");
  std::string mine;
  ASSERT_TRUE(Base64Decode(std::string(kEncodingKey) + "=", &mine));
  EXPECT_EQ(Hex(mine), key);
}

TEST(MsgCryptTest, CipherTextMatchesOpensslEncryptionOfTheSameBlock) {
  MsgCrypt crypt(kApp);
  crypt.SetFixedPrefix("ABCDEFGHIJKLMNOP");
  std::string text = R"({"Code":0})";
  std::string sig, content;
  ASSERT_EQ(crypt.Encrypt(text, "1700000000000", "abcdefghij", &sig, &content), kCryptOk);

  std::string key = KeyHexFromOpenssl();
  TempFile block(Block("ABCDEFGHIJKLMNOP", text, kApp));
  TempFile out;
  Shell("openssl enc -aes-256-cbc -nopad -K " + key + " -iv " + key.substr(0, 32) + " -in " +
      block.path() + " -out " + out.path());
  std::string expected_b64 = Shell("openssl base64 -A -in " + out.path());
  EXPECT_EQ(content, expected_b64);

  // The signature is SHA-1 over the four strings sorted byte-wise.
  std::string sorted = std::string("1700000000000") + kSigningToken + content + "abcdefghij";
  TempFile joined(sorted);
  std::string dgst = Shell("openssl dgst -sha1 -r " + joined.path() + " | cut -d' ' -f1");
  EXPECT_EQ(sig + "\n", dgst);
}

TEST(MsgCryptTest, DecryptsWhatOpensslEncrypted) {
  std::string key = KeyHexFromOpenssl();
  std::string text = R"({"UserId":"alice"})";
  TempFile block(Block("0123456789ABCDEF", text, kApp));
  TempFile out;
  Shell("openssl enc -aes-256-cbc -nopad -K " + key + " -iv " + key.substr(0, 32) + " -in " +
      block.path() + " -out " + out.path());
  std::string b64 = Shell("openssl base64 -A -in " + out.path());
  ASSERT_FALSE(b64.empty());
  std::string sig = ComputeSignature(kSigningToken, "1700000000001", "zzzzzzzzzz", b64);
  MsgCrypt crypt(kApp);
  std::string got;
  EXPECT_EQ(crypt.Decrypt(sig, "1700000000001", "zzzzzzzzzz", b64, &got), kCryptOk);
  EXPECT_EQ(got, text);
}

TEST(MsgCryptTest, ABlockThatIsAMultipleOf32GainsAFullPad) {
  MsgCrypt crypt(kApp);
  // 16 + 4 + 12 + 32 = 64 bytes: a whole extra block of padding.
  std::string text(12, 'x');
  std::string sig, content, raw;
  ASSERT_EQ(crypt.Encrypt(text, "1", "n", &sig, &content), kCryptOk);
  ASSERT_TRUE(Base64Decode(content, &raw));
  EXPECT_EQ(raw.size(), 96u);
  std::string back;
  EXPECT_EQ(crypt.Decrypt(sig, "1", "n", content, &back), kCryptOk);
  EXPECT_EQ(back, text);
}

TEST(MsgCryptTest, EmptyTextIsRefusedAndOutputsStayUntouched) {
  MsgCrypt crypt(kApp);
  std::string sig = "keep", content = "keep";
  EXPECT_EQ(crypt.Encrypt("", "1", "n", &sig, &content), kCryptEmptyInput);
  EXPECT_EQ(sig, "keep");
  EXPECT_EQ(content, "keep");
}

class DecryptRefusalTest : public ::testing::Test {
 protected:
  void Encrypt(CipherFault fault = CipherFault::kNone) {
    ASSERT_EQ(crypt_.Encrypt("hello", "1700000000000", "abcdefghij", &sig_, &content_, fault),
              kCryptOk);
  }
  int Decrypt() { return crypt_.Decrypt(sig_, "1700000000000", "abcdefghij", content_, &text_); }

  MsgCrypt crypt_{kApp};
  std::string sig_, content_, text_;
};

TEST_F(DecryptRefusalTest, UpperCaseSignatureDoesNotMatch) {
  Encrypt();
  for (auto& c : sig_) c = static_cast<char>(toupper(c));
  EXPECT_EQ(Decrypt(), kCryptBadSignature);
}

TEST_F(DecryptRefusalTest, CharacterOutsideBase64IsRefused) {
  Encrypt();
  content_[3] = '*';
  sig_ = ComputeSignature(kSigningToken, "1700000000000", "abcdefghij", content_);
  EXPECT_EQ(Decrypt(), kCryptBase64DecodeFailed);
}

TEST_F(DecryptRefusalTest, CipherTextOf48BytesIsRefused) {
  content_ = Base64Encode(std::string(48, 'a'));
  sig_ = ComputeSignature(kSigningToken, "1700000000000", "abcdefghij", content_);
  EXPECT_EQ(Decrypt(), kCryptDecryptFailed);
}

TEST_F(DecryptRefusalTest, AnotherAppIdIsReportedWithTheTextSet) {
  Encrypt(CipherFault::kWrongAppId);
  EXPECT_EQ(Decrypt(), kCryptAppIdMismatch);
  EXPECT_EQ(text_, "hello");
}

TEST_F(DecryptRefusalTest, BadPaddingIsRefused) {
  Encrypt(CipherFault::kBadPadding);
  EXPECT_EQ(Decrypt(), kCryptDecryptFailed);
}

TEST_F(DecryptRefusalTest, LengthFieldBeyondTheBlockIsRefused) {
  Encrypt(CipherFault::kOversizeLength);
  EXPECT_EQ(Decrypt(), kCryptTooShort);
}

TEST(Base64Test, RefusesMalformedInput) {
  std::string out;
  EXPECT_FALSE(Base64Decode("", &out));
  EXPECT_FALSE(Base64Decode("abc", &out));
  EXPECT_FALSE(Base64Decode("a=bc", &out));
  EXPECT_FALSE(Base64Decode("ab\ncd==", &out));
  ASSERT_TRUE(Base64Decode("aGk=", &out));
  EXPECT_EQ(out, "hi");
  EXPECT_EQ(Base64Encode("hi"), "aGk=");
}

TEST(RandomAlnumTest, GivesAlphanumericTextOfTheLengthAsked) {
  std::string a = RandomAlnum(200), b = RandomAlnum(200);
  EXPECT_EQ(a.size(), 200u);
  EXPECT_NE(a, b);
  for (char c : a) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << c;
}

}  // namespace
}  // namespace local_service
