// The service's framing and crypt; the crypt checked against the openssl command line
// as an independent peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "local_service/framing.h"
#include "local_service/msg_crypt.h"
#include "tests/support/temp_dir.h"

namespace local_service {
namespace {

constexpr char kApp[] = "0123456789abcdef0123456789abcdef";
constexpr char kTs[] = "1700000000000";
constexpr char kNonce[] = "abcdefghij";

// Packets, each after its marker, until the reader wants more; `error` says whether it broke.
std::vector<std::string> Drain(FrameReader& r, bool* error) {
  std::vector<std::string> out;
  std::string p, e;
  FrameReader::Status s;
  while ((s = r.Next(&p, &e)) == FrameReader::Status::kPacket) out.push_back(r.marker() + p);
  *error = s == FrameReader::Status::kError;
  return out;
}

TEST(FrameReaderTest, PacketsComeOutWholeInEitherFramingHoweverTheBytesArrive) {
  const std::string bytes =
      EncodeFrame("{\"a\":1}") + EncodeFrame("{\"b\":2}", kDollarMarker) + EncodeFrame("{\"c\":3}");
  const std::vector<std::string> all = {"#{\"a\":1}", "${\"b\":2}", "#{\"c\":3}"};
  FrameReader whole, bytewise;
  bool error = true;
  whole.Feed(bytes);
  EXPECT_EQ(all, Drain(whole, &error));
  std::vector<std::string> pieces;
  for (char c : bytes) {
    bytewise.Feed(&c, 1);
    for (auto& p : Drain(bytewise, &error)) pieces.push_back(p);
    ASSERT_FALSE(error);
  }
  EXPECT_EQ(all, pieces);
  EXPECT_EQ(0u, bytewise.buffered());
  EXPECT_TRUE(EncodeFrame(std::string(70000, 'a'), kDollarMarker).empty());
  EXPECT_EQ(13u, EncodeFrame(std::string(10, 'a'), kDollarMarker).size());
}

TEST(FrameReaderTest, BadMarkersAndLengthsBreakTheStreamForGood) {
  for (const std::string& bad :
       {std::string("x"), EncodeHeader(5, kDollarMarker) + "zz", EncodeHeader(0, kDollarMarker),
        EncodeHeader(0) + "payload", EncodeHeader(5) + "payload",
        EncodeHeader(static_cast<uint32_t>(kMaxPacketLength + 1)) + "payload",
        EncodeHeader(0xFFFFFFFFu) + "payload"}) {
    FrameReader r;
    r.Feed(EncodeFrame("{\"b\":2}", kDollarMarker) + bad);
    bool error = false;
    EXPECT_EQ(1u, Drain(r, &error).size()) << testing::PrintToString(bad);
    EXPECT_TRUE(error) << testing::PrintToString(bad);
    r.Feed(EncodeFrame("{}"));
    EXPECT_TRUE(Drain(r, &error).empty());
    EXPECT_TRUE(error);
  }
}

std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

// The block the crypt encrypts: prefix, big-endian text length, text, app id, PKCS#7 to 32.
std::string Block(const std::string& prefix, const std::string& text) {
  std::string block = prefix;
  uint32_t n = static_cast<uint32_t>(text.size());
  for (int s = 24; s >= 0; s -= 8) block.push_back(static_cast<char>(n >> s));
  block += text + kApp;
  size_t pad = 32 - block.size() % 32;
  return block.append(pad, static_cast<char>(pad));
}

// The library's own crypt is checked against openssl both ways; the service's need only agree.
TEST(MsgCryptTest, CipherTextAndSignatureMatchOpenssl) {
  vy_test::TempDir dir;
  std::string key = Shell(std::string("printf %s '") + kEncodingKey +
                          "=' | openssl base64 -d -A | od -An -tx1 | tr -d ' \\n'");
  ASSERT_EQ(64u, key.size()) << "openssl gave: " << key;
  auto file = [&](const std::string& bytes) {
    FILE* f = fopen(dir.File("in").c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return dir.File("in");
  };
  MsgCrypt crypt(kApp);
  crypt.SetFixedPrefix("ABCDEFGHIJKLMNOP");
  std::string sig, content;
  ASSERT_EQ(kCryptOk, crypt.Encrypt(R"({"Code":0})", kTs, kNonce, &sig, &content));
  std::string block = file(Block("ABCDEFGHIJKLMNOP", R"({"Code":0})"));
  EXPECT_EQ(Shell("openssl enc -aes-256-cbc -nopad -K " + key + " -iv " + key.substr(0, 32) +
                  " -in " + block + " | openssl base64 -A"),
            content);
  // SHA-1 over the four strings sorted byte-wise.
  std::string sorted = std::string(kTs) + kSigningToken + content + kNonce;
  EXPECT_EQ(sig + "\n", Shell("openssl dgst -sha1 -r " + file(sorted) + " | cut -d' ' -f1"));
}

TEST(MsgCryptTest, ABlockThatIsAMultipleOf32GainsAFullPadAndEmptyTextIsRefused) {
  MsgCrypt crypt(kApp);
  std::string sig, content, raw, back;
  ASSERT_EQ(kCryptOk, crypt.Encrypt(std::string(12, 'x'), "1", "n", &sig, &content));
  ASSERT_TRUE(Base64Decode(content, &raw));
  EXPECT_EQ(96u, raw.size());  // 16 + 4 + 12 + 32 = 64, and a block of padding
  EXPECT_EQ(kCryptOk, crypt.Decrypt(sig, "1", "n", content, &back));
  EXPECT_EQ(std::string(12, 'x'), back);
  sig = content = "keep";
  EXPECT_EQ(kCryptEmptyInput, crypt.Encrypt("", "1", "n", &sig, &content));
  EXPECT_EQ("keep keep", sig + " " + content);
}

// The faults the service plants in its own envelopes are checked where the client reads them.
TEST(MsgCryptTest, DecryptRefusesUnsignedUndecodableAndShortContent) {
  MsgCrypt crypt(kApp);
  std::string sig, content, text;
  ASSERT_EQ(kCryptOk, crypt.Encrypt("hello", kTs, kNonce, &sig, &content));
  for (auto& c : sig) c = static_cast<char>(toupper(c));
  EXPECT_EQ(kCryptBadSignature, crypt.Decrypt(sig, kTs, kNonce, content, &text));
  for (const auto& [cipherText, code] :
       {std::pair("*" + content.substr(1), kCryptBase64DecodeFailed),
        std::pair(Base64Encode(std::string(48, 'a')), kCryptDecryptFailed)}) {
    sig = ComputeSignature(kSigningToken, kTs, kNonce, cipherText);
    EXPECT_EQ(code, crypt.Decrypt(sig, kTs, kNonce, cipherText, &text));
  }
}

}  // namespace
}  // namespace local_service
