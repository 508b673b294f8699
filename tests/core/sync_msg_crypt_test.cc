#include "core/sync_msg_crypt.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace zentho {
namespace {

const char kAppId[] = "0123456789abcdef0123456789abcdef";
const char kTimestamp[] = "1733500000123";
const char kNonce[] = "aB3dE6gH9k";

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::string BuiltinKey() {
  std::string key;
  EXPECT_EQ(0, SyncMsgCrypt::GenAesKeyFromEncodingKey(kBuiltinEncodingKey, key));
  return key;
}

// Raw AES-256-CBC without any padding, for building cipher texts with chosen plain bytes.
std::string RawAes(const std::string& plain, bool encrypt) {
  std::string key = BuiltinKey();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  auto k = reinterpret_cast<const unsigned char*>(key.data());
  EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, k, k, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::string out(plain.size() + 32, '\0');
  int n = 0, m = 0;
  EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                   reinterpret_cast<const unsigned char*>(plain.data()),
                   static_cast<int>(plain.size()));
  EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(n + m);
  return out;
}

std::string Base64(const std::string& in) {
  std::string out;
  EXPECT_EQ(0, SyncMsgCrypt::EncodeBase64(in, out));
  return out;
}

std::string Signature(const std::string& ts, const std::string& nonce, const std::string& b64) {
  std::string sig;
  EXPECT_EQ(0, SyncMsgCrypt::ComputeSignature(kBuiltinSignToken, ts, nonce, b64, sig));
  return sig;
}

std::string BigEndian32(uint32_t v) {
  return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A plain block with the protocol's layout but chosen fields, padded by hand.
std::string PaddedBlock(const std::string& body_after_prefix, int pad_value, size_t pad_len) {
  std::string block = std::string(16, 'Q') + body_after_prefix;
  block.append(pad_len, static_cast<char>(pad_value));
  return block;
}

class SyncMsgCryptTest : public ::testing::Test {
 protected:
  SyncMsgCrypt crypt_{kBuiltinSignToken, kBuiltinEncodingKey, kAppId};

  // Encrypts chosen plain bytes (already a multiple of 32) and decrypts them through the
  // class with a valid signature.
  int DecryptRawBlock(const std::string& padded_block, std::string& text) {
    std::string b64 = Base64(RawAes(padded_block, true));
    return crypt_.DecryptMsg(Signature(kTimestamp, kNonce, b64), kTimestamp, kNonce, b64, text);
  }
};

TEST_F(SyncMsgCryptTest, RoundTripsTextsOfEveryLengthUpToAFewBlocks) {
  for (size_t n = 1; n <= 100; ++n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>((i * 37 + n) & 0xFF));
    std::string sig, enc, back;
    ASSERT_EQ(0, crypt_.EncryptMsg(text, kTimestamp, kNonce, sig, enc)) << n;
    ASSERT_EQ(0, crypt_.DecryptMsg(sig, kTimestamp, kNonce, enc, back)) << n;
    EXPECT_EQ(text, back) << n;
  }
}

TEST_F(SyncMsgCryptTest, RoundTripsALargeBody) {
  std::string text(32767, 'x');
  for (size_t i = 0; i < text.size(); i += 7) text[i] = '"';
  std::string sig, enc, back;
  ASSERT_EQ(0, crypt_.EncryptMsg(text, kTimestamp, kNonce, sig, enc));
  ASSERT_EQ(0, crypt_.DecryptMsg(sig, kTimestamp, kNonce, enc, back));
  EXPECT_EQ(text, back);
}

TEST_F(SyncMsgCryptTest, SignatureIsFortyLowerCaseHexDigitsAndCipherIsPlainBase64) {
  std::string sig, enc;
  ASSERT_EQ(0, crypt_.EncryptMsg("{\"Code\":0}", kTimestamp, kNonce, sig, enc));
  ASSERT_EQ(40u, sig.size());
  EXPECT_TRUE(std::all_of(sig.begin(), sig.end(),
                          [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }));
  EXPECT_EQ(std::string::npos, enc.find('\n'));
  EXPECT_EQ(0u, enc.size() % 4);
}

TEST_F(SyncMsgCryptTest, BlockThatFillsWholeUnitsGainsAFullPadUnit) {
  // 16 + 4 + L + 32 (app id) is a multiple of 32 for L = 12.
  std::string block;
  ASSERT_EQ(0, crypt_.GenNeedEncryptData(std::string(16, 'A'), std::string(12, 't'), block));
  ASSERT_EQ(64u, block.size());
  std::string cipher;
  ASSERT_EQ(0, SyncMsgCrypt::AES_CBCEncrypt(block, BuiltinKey(), cipher));
  EXPECT_EQ(96u, cipher.size());
  std::string plain = RawAes(cipher, false);
  EXPECT_EQ(std::string(32, '\x20'), plain.substr(64));

  // One byte less leaves a pad of one byte of value 1.
  ASSERT_EQ(0, crypt_.GenNeedEncryptData(std::string(16, 'A'), std::string(11, 't'), block));
  ASSERT_EQ(0, SyncMsgCrypt::AES_CBCEncrypt(block, BuiltinKey(), cipher));
  EXPECT_EQ(64u, cipher.size());
  EXPECT_EQ('\x01', RawAes(cipher, false).back());
}

TEST_F(SyncMsgCryptTest, PlainBlockHasRandomPrefixBigEndianLengthTextAndAppId) {
  std::string block;
  ASSERT_EQ(0, crypt_.GenNeedEncryptData(std::string(300, 'z'), block));
  ASSERT_EQ(16u + 4 + 300 + 32, block.size());
  EXPECT_TRUE(std::all_of(block.begin(), block.begin() + 16,
                          [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }));
  EXPECT_EQ(BigEndian32(300), block.substr(16, 4));
  EXPECT_EQ(std::string(300, 'z'), block.substr(20, 300));
  EXPECT_EQ(kAppId, block.substr(320));
}

TEST_F(SyncMsgCryptTest, EqualTextsEncryptDifferently) {
  std::string sig1, enc1, sig2, enc2;
  ASSERT_EQ(0, crypt_.EncryptMsg("same", kTimestamp, kNonce, sig1, enc1));
  ASSERT_EQ(0, crypt_.EncryptMsg("same", kTimestamp, kNonce, sig2, enc2));
  EXPECT_NE(enc1.substr(0, 22), enc2.substr(0, 22));
}

TEST_F(SyncMsgCryptTest, BuiltinEncodingKeyDecodesToThirtyTwoBytes) {
  std::string key = BuiltinKey();
  EXPECT_EQ(32u, key.size());
  std::string bad;
  EXPECT_EQ(-1, SyncMsgCrypt::GenAesKeyFromEncodingKey(std::string(kBuiltinEncodingKey, 42), bad));
  EXPECT_EQ(-1, SyncMsgCrypt::GenAesKeyFromEncodingKey(std::string(43, '!'), bad));
}

TEST_F(SyncMsgCryptTest, EmptyTextIsRefusedAndOutputsStayUntouched) {
  std::string sig = "keep", enc = "keep2";
  EXPECT_EQ(kEmptyInputError, crypt_.EncryptMsg("", kTimestamp, kNonce, sig, enc));
  EXPECT_EQ("keep", sig);
  EXPECT_EQ("keep2", enc);
  std::string text;
  EXPECT_EQ(kEmptyInputError, crypt_.DecryptMsg(sig, kTimestamp, kNonce, "", text));
}

TEST_F(SyncMsgCryptTest, EncryptWithoutTimestampCannotSign) {
  std::string sig, enc;
  EXPECT_EQ(kComputeSignatureError, crypt_.EncryptMsg("x", "", kNonce, sig, enc));
}

TEST_F(SyncMsgCryptTest, UnusableEncodingKeyIsReportedInBothDirections) {
  SyncMsgCrypt bad(kBuiltinSignToken, "short", kAppId);
  std::string sig, enc, text;
  EXPECT_EQ(kIllegalAesKeyError, bad.EncryptMsg("x", kTimestamp, kNonce, sig, enc));
  ASSERT_EQ(0, crypt_.EncryptMsg("x", kTimestamp, kNonce, sig, enc));
  EXPECT_EQ(kIllegalAesKeyError, bad.DecryptMsg(sig, kTimestamp, kNonce, enc, text));
}

TEST_F(SyncMsgCryptTest, TamperedOrUpperCaseSignatureIsRefused) {
  std::string sig, enc, text;
  ASSERT_EQ(0, crypt_.EncryptMsg("hello", kTimestamp, kNonce, sig, enc));
  std::string upper = sig;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  ASSERT_NE(upper, sig);
  EXPECT_EQ(kValidateSignatureError, crypt_.DecryptMsg(upper, kTimestamp, kNonce, enc, text));
  std::string tampered = enc;
  tampered[5] = tampered[5] == 'A' ? 'B' : 'A';
  EXPECT_EQ(kValidateSignatureError, crypt_.DecryptMsg(sig, kTimestamp, kNonce, tampered, text));
  EXPECT_EQ(kValidateSignatureError, crypt_.DecryptMsg(sig, "1", kNonce, enc, text));
  EXPECT_EQ(kValidateSignatureError, crypt_.DecryptMsg(sig.substr(1), kTimestamp, kNonce, enc, text));
  EXPECT_EQ(kValidateSignatureError, crypt_.DecryptMsg("", kTimestamp, kNonce, enc, text));
  EXPECT_TRUE(text.empty());
}

TEST_F(SyncMsgCryptTest, OtherAppIdIsReportedWithTheTextAlreadySet) {
  SyncMsgCrypt other(kBuiltinSignToken, kBuiltinEncodingKey, "another-app");
  std::string sig, enc, text;
  ASSERT_EQ(0, other.EncryptMsg("{\"a\":1}", kTimestamp, kNonce, sig, enc));
  EXPECT_EQ(kValidateAppIdError, crypt_.DecryptMsg(sig, kTimestamp, kNonce, enc, text));
  EXPECT_EQ("{\"a\":1}", text);
}

TEST_F(SyncMsgCryptTest, CipherTextOfWrongSizeOrBadPadIsRefused) {
  std::string text;
  // 48 bytes: a multiple of the AES block but not of the pad unit.
  std::string b64 = Base64(RawAes(std::string(48, 'a'), true));
  EXPECT_EQ(kDecryptAesError,
            crypt_.DecryptMsg(Signature(kTimestamp, kNonce, b64), kTimestamp, kNonce, b64, text));
  std::string body = BigEndian32(3) + "abc" + kAppId;  // 16 + 39 = 55 bytes
  EXPECT_EQ(kDecryptAesError, DecryptRawBlock(PaddedBlock(body, 0, 9), text));
  EXPECT_EQ(kDecryptAesError, DecryptRawBlock(PaddedBlock(body, 33, 9), text));
  // Last byte says 9 but an earlier pad byte differs.
  std::string uneven = PaddedBlock(body, 9, 9);
  uneven[uneven.size() - 5] = 8;
  EXPECT_EQ(kDecryptAesError, DecryptRawBlock(uneven, text));
  EXPECT_EQ(0, DecryptRawBlock(PaddedBlock(body, 9, 9), text));
  EXPECT_EQ("abc", text);
}

TEST_F(SyncMsgCryptTest, LengthFieldBeyondTheBlockIsRefusedWithoutOverflow) {
  std::string text;
  for (uint32_t length : {28u, 100u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    std::string body = BigEndian32(length) + std::string(28, 'x');  // 48 bytes with the prefix
    EXPECT_EQ(kIllegalBufferError, DecryptRawBlock(PaddedBlock(body, 16, 16), text)) << length;
  }
  // A block of exactly 20 bytes after unpadding has no room for anything.
  EXPECT_EQ(kIllegalBufferError, DecryptRawBlock(PaddedBlock(BigEndian32(0), 12, 12), text));
}

TEST_F(SyncMsgCryptTest, InvalidBase64IsRefused) {
  std::string text;
  for (std::string b64 : {"@@@@", "QUJD*", "QQ", "===="}) {
    EXPECT_EQ(kDecodeBase64Error,
              crypt_.DecryptMsg(Signature(kTimestamp, kNonce, b64), kTimestamp, kNonce, b64, text))
        << b64;
  }
}

TEST(SyncMsgCryptSteps, Base64CodersRefuseEmptyInput) {
  std::string out = "x";
  EXPECT_EQ(-1, SyncMsgCrypt::EncodeBase64("", out));
  EXPECT_EQ(-1, SyncMsgCrypt::DecodeBase64("", out));
  EXPECT_EQ("x", out);
  ASSERT_EQ(0, SyncMsgCrypt::DecodeBase64("YWJjZA==", out));
  EXPECT_EQ("abcd", out);
}

TEST(SyncMsgCryptSteps, SignatureSortsTheFourPartsByteWise) {
  // Byte order: digits < capitals < small letters < bytes above 0x7F.
  std::string token = "2abc", ts = "1700000000000", nonce = "\xC3\xA9nonce", cipher = "Zz==";
  std::string sig;
  ASSERT_EQ(0, SyncMsgCrypt::ComputeSignature(token, ts, nonce, cipher, sig));
  std::string joined = ts + token + cipher + nonce;
  unsigned char md[20];
  unsigned int len = 0;
  EVP_Digest(joined.data(), joined.size(), md, &len, EVP_sha1(), nullptr);
  EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(md), 20)), sig);
  EXPECT_EQ(-1, SyncMsgCrypt::ComputeSignature(token, ts, "", cipher, sig));
}

// The openssl command line acts as an independent peer for AES, Base64 and SHA-1.
class SyncMsgCryptOpensslCli : public SyncMsgCryptTest {
 protected:
  void SetUp() override {
    if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
    dir_ = ::testing::TempDir() + "crypt_cli_" + std::to_string(::getpid());
    std::system(("mkdir -p " + dir_).c_str());
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << data;
  }
  std::string Run(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(("cd " + dir_ + " && " + cmd).c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    EXPECT_EQ(0, ::pclose(p)) << cmd;
    return out;
  }
  std::string KeyHex() { return Hex(BuiltinKey()); }
  std::string IvHex() { return Hex(BuiltinKey().substr(0, 16)); }
  std::string dir_;
};

TEST_F(SyncMsgCryptOpensslCli, CommandLineDecryptsWhatTheClassEncrypts) {
  std::string text = "{\"PeerId\":\"bob\",\"MsgBody\":\"h\\u00e9llo\"}";
  std::string sig, enc;
  ASSERT_EQ(0, crypt_.EncryptMsg(text, kTimestamp, kNonce, sig, enc));
  Write("enc.b64", enc);
  std::string plain = Run("openssl base64 -d -A -in enc.b64 | openssl enc -d -aes-256-cbc -nopad -K " +
                          KeyHex() + " -iv " + IvHex());
  size_t block = 16 + 4 + text.size() + 32;
  size_t pad = 32 - block % 32;
  ASSERT_EQ(block + pad, plain.size());
  EXPECT_EQ(BigEndian32(text.size()), plain.substr(16, 4));
  EXPECT_EQ(text, plain.substr(20, text.size()));
  EXPECT_EQ(kAppId, plain.substr(20 + text.size(), 32));
  EXPECT_EQ(std::string(pad, static_cast<char>(pad)), plain.substr(block));

  Write("parts", std::string(kBuiltinSignToken) + "\n" + kTimestamp + "\n" + kNonce + "\n" + enc +
                     "\n");
  std::string sha = Run("LC_ALL=C sort parts | tr -d '\\n' | openssl dgst -sha1 -r");
  EXPECT_EQ(sig, sha.substr(0, 40));
}

TEST_F(SyncMsgCryptOpensslCli, ClassDecryptsWhatTheCommandLineEncrypts) {
  std::string text = "{\"Code\":0,\"SessionId\":\"s-1\"}";
  std::string block = "ABCDEFGHabcdefgh" + BigEndian32(text.size()) + text + kAppId;
  size_t pad = 32 - block.size() % 32;
  block.append(pad, static_cast<char>(pad));
  Write("block", block);
  std::string b64 = Run("openssl enc -aes-256-cbc -nopad -K " + KeyHex() + " -iv " + IvHex() +
                        " -in block | openssl base64 -A");
  ASSERT_FALSE(b64.empty());
  Write("parts", std::string(kBuiltinSignToken) + "\n" + kTimestamp + "\n" + kNonce + "\n" + b64 +
                     "\n");
  std::string sig = Run("LC_ALL=C sort parts | tr -d '\\n' | openssl dgst -sha1 -r").substr(0, 40);
  std::string back;
  ASSERT_EQ(0, crypt_.DecryptMsg(sig, kTimestamp, kNonce, b64, back));
  EXPECT_EQ(text, back);
}

}  // namespace
}  // namespace zentho
