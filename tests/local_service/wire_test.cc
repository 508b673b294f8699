// The service's framing, envelopes and crypt; the crypt checked against the openssl command line
// as an independent peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "local_service/envelope.h"
#include "local_service/framing.h"
#include "local_service/msg_crypt.h"
#include "rtc_base/temp_dir.h"

namespace local_service {
namespace {

constexpr char kApp[] = "0123456789abcdef0123456789abcdef";
constexpr char kTs[] = "1700000000000";
constexpr char kNonce[] = "abcdefghij";

// Packets until the reader wants more or breaks; `error` tells which.
std::vector<std::string> Drain(FrameReader& r, bool* error = nullptr) {
  std::vector<std::string> out;
  std::string p, e;
  for (;;) {
    auto s = r.Next(&p, &e);
    if (s != FrameReader::Status::kPacket) {
      if (error) *error = s == FrameReader::Status::kError;
      return out;
    }
    out.push_back(p);
  }
}

TEST(FrameReaderTest, PacketsComeOutWholeInEitherFramingHoweverTheBytesArrive) {
  const std::string bytes = EncodeFrame("{\"a\":1}") + EncodeFrame("{\"b\":2}", kDollarMarker) +
                            EncodeFrame("{\"c\":3}");
  const std::vector<std::string> all = {"{\"a\":1}", "{\"b\":2}", "{\"c\":3}"};
  FrameReader whole;
  whole.Feed(bytes);
  EXPECT_EQ(all, Drain(whole));
  FrameReader bytewise;
  std::vector<std::string> pieces;
  std::vector<char> markers;
  bool error = true;
  for (char c : bytes) {
    bytewise.Feed(&c, 1);
    for (auto& p : Drain(bytewise, &error)) {
      pieces.push_back(p);
      markers.push_back(bytewise.marker());
    }
    ASSERT_FALSE(error);
  }
  EXPECT_EQ(all, pieces);
  EXPECT_EQ(std::vector<char>({'#', '$', '#'}), markers);
  EXPECT_EQ(0u, bytewise.buffered());
  EXPECT_TRUE(EncodeFrame(std::string(70000, 'a'), kDollarMarker).empty());
  EXPECT_EQ(13u, EncodeFrame(std::string(10, 'a'), kDollarMarker).size());
}

TEST(FrameReaderTest, BadMarkersAndLengthsBreakTheStreamForGood) {
  const std::string good = EncodeFrame("{\"a\":1}", kDollarMarker);
  struct Case {
    std::string bytes;
    size_t packetsBefore;
  } cases[] = {
      {"xyz" + EncodeFrame("{}"), 0},
      {good + "x" + good, 1},
      {good + EncodeHeader(5, kDollarMarker) + "zz", 1},
      {good + EncodeHeader(0, kDollarMarker) + "zzz", 1},
      {EncodeHeader(0) + "payload", 0},
      {EncodeHeader(5) + "payload", 0},
      {EncodeHeader(static_cast<uint32_t>(kMaxPacketLength + 1)) + "payload", 0},
      {EncodeHeader(0xFFFFFFFFu) + "payload", 0},
  };
  for (const Case& c : cases) {
    FrameReader r;
    r.Feed(c.bytes);
    bool error = false;
    EXPECT_EQ(c.packetsBefore, Drain(r, &error).size()) << testing::PrintToString(c.bytes);
    EXPECT_TRUE(error) << testing::PrintToString(c.bytes);
    r.Feed(EncodeFrame("{}"));
    EXPECT_TRUE(Drain(r, &error).empty());
    EXPECT_TRUE(error);
  }
}

TEST(EnvelopeTest, RefusesEncryptedEmptyContentAndDeepNesting) {
  Envelope env;
  std::string error;
  EXPECT_FALSE(ParseEnvelope(R"({"Cmd":"X","Encrypt":true,"Content":""})", &env, &error));
  EXPECT_FALSE(ParseEnvelope(std::string(100000, '['), &env, &error));
  EXPECT_FALSE(error.empty());
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

std::string Hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
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

TEST(MsgCryptTest, KeyCipherTextAndSignatureMatchOpensslBothWays) {
  vy_test::TempDir dir;
  std::string key = Shell(std::string("printf %s '") + kEncodingKey +
                          "=' | openssl base64 -d -A | od -An -tx1 | tr -d ' \\n'");
  ASSERT_EQ(64u, key.size()) << "openssl gave: " << key;
  std::string mine;
  ASSERT_TRUE(Base64Decode(std::string(kEncodingKey) + "=", &mine));
  EXPECT_EQ(key, Hex(mine));  // 43 characters with spare bits still give 32 bytes
  auto file = [&](const std::string& bytes) {
    FILE* f = fopen(dir.File("in").c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return dir.File("in");
  };
  auto opensslEncrypt = [&](const std::string& block) {
    return Shell("openssl enc -aes-256-cbc -nopad -K " + key + " -iv " + key.substr(0, 32) +
                 " -in " + file(block) + " | openssl base64 -A");
  };

  MsgCrypt crypt(kApp);
  crypt.SetFixedPrefix("ABCDEFGHIJKLMNOP");
  const std::string text = R"({"Code":0})";
  std::string sig, content;
  ASSERT_EQ(kCryptOk, crypt.Encrypt(text, kTs, kNonce, &sig, &content));
  EXPECT_EQ(opensslEncrypt(Block("ABCDEFGHIJKLMNOP", text)), content);
  // SHA-1 over the four strings sorted byte-wise.
  std::string sorted = std::string(kTs) + kSigningToken + content + kNonce;
  EXPECT_EQ(sig + "\n", Shell("openssl dgst -sha1 -r " + file(sorted) + " | cut -d' ' -f1"));

  const std::string theirs = opensslEncrypt(Block("0123456789ABCDEF", R"({"UserId":"alice"})"));
  std::string got;
  EXPECT_EQ(kCryptOk, crypt.Decrypt(ComputeSignature(kSigningToken, kTs, kNonce, theirs), kTs,
                                    kNonce, theirs, &got));
  EXPECT_EQ(R"({"UserId":"alice"})", got);
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
TEST(MsgCryptTest, DecryptRefusesBrokenContentWithItsCode) {
  MsgCrypt crypt(kApp);
  std::string sig, content, text;
  ASSERT_EQ(kCryptOk, crypt.Encrypt("hello", kTs, kNonce, &sig, &content));
  std::string upper = sig, notBase64 = content;
  for (auto& c : upper) c = static_cast<char>(toupper(c));
  notBase64[3] = '*';
  const std::tuple<std::string, std::string, int> cases[] = {
      {upper, content, kCryptBadSignature},
      {"", notBase64, kCryptBase64DecodeFailed},
      {"", Base64Encode(std::string(48, 'a')), kCryptDecryptFailed},
  };
  for (const auto& [signature, cipherText, code] : cases) {
    EXPECT_EQ(code, crypt.Decrypt(signature.empty()
                                      ? ComputeSignature(kSigningToken, kTs, kNonce, cipherText)
                                      : signature,
                                  kTs, kNonce, cipherText, &text));
  }
}

TEST(MsgCryptTest, Base64IsStrictAndRandomTextIsAlphanumeric) {
  std::string out;
  for (const char* bad : {"", "abc", "a=bc", "ab\ncd=="}) EXPECT_FALSE(Base64Decode(bad, &out)) << bad;
  ASSERT_TRUE(Base64Decode("aGk=", &out));
  EXPECT_EQ("hi", out);
  EXPECT_EQ("aGk=", Base64Encode("hi"));
  std::string a = RandomAlnum(200);
  EXPECT_EQ(200u, a.size());
  EXPECT_NE(a, RandomAlnum(200));
  for (char c : a) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << c;
}

}  // namespace
}  // namespace local_service
