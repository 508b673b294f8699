// The message crypt, checked against the openssl command line as an independent peer, and the
// envelopes and routing built on it.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/command_router.h"
#include "core/envelope.h"
#include "core/js_buffer.h"
#include "core/sync_msg_crypt.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"
#include "rtc_base/temp_dir.h"

namespace vy {
namespace {

using zentho::SyncMsgCrypt;
const std::string kAppId = "0123456789abcdef0123456789abcdef";
const char kTs[] = "1733500000123";
const char kNonce[] = "aB3dE6gH9k";
constexpr int64_t kNow = 1733500000123;

std::string Hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
  return out;
}
std::string BigEndian32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
std::string Key() {
  std::string key;
  EXPECT_EQ(0, SyncMsgCrypt::GenAesKeyFromEncodingKey(zentho::kBuiltinEncodingKey, key));
  return key;
}
std::string Sign(const std::string& b64, const std::string& ts = kTs) {
  std::string sig;
  SyncMsgCrypt::ComputeSignature(zentho::kBuiltinSignToken, ts, kNonce, b64, sig);
  return sig;
}

class CryptTest : public ::testing::Test {
 protected:
  // Runs `cmd` in the temporary folder and returns its output.
  std::string Shell(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(("cd " + dir_.path() + " && " + cmd).c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
    EXPECT_EQ(0, p == nullptr ? -1 : ::pclose(p)) << cmd;
    return out;
  }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(dir_.File(name), std::ios::binary) << data;
  }
  std::string ShellSignature(const std::string& b64) {
    Write("parts", std::string(zentho::kBuiltinSignToken) + "\n" + kTs + "\n" + kNonce + "\n" + b64 + "\n");
    return Shell("LC_ALL=C sort parts | tr -d '\\n' | openssl dgst -sha1 -r").substr(0, 40);
  }
  // Chosen plain bytes, padded by hand, encrypted by the command line and signed.
  int DecryptBlock(const std::string& block, std::string& text) {
    Write("block", block);
    std::string b64 = Shell("openssl enc -aes-256-cbc -nopad -K " + Hex(Key()) + " -iv " +
                            Hex(Key().substr(0, 16)) + " -in block | openssl base64 -A");
    return crypt_.DecryptMsg(ShellSignature(b64), kTs, kNonce, b64, text);
  }
  static std::string Block(const std::string& text, const std::string& app_id = kAppId) {
    std::string block = "ABCDEFGHabcdefgh" + BigEndian32(text.size()) + text + app_id;
    return block.append(32 - block.size() % 32, static_cast<char>(32 - block.size() % 32));
  }

  SyncMsgCrypt crypt_{zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, kAppId};
  vy_test::TempDir dir_;
};

TEST_F(CryptTest, CommandLineReadsWhatTheClassWritesAndTheOtherWayRound) {
  // 12 bytes fill the block to whole pad units: a full unit of 32 follows.
  for (std::string text : {std::string(12, 't'), std::string("{\"MsgBody\":\"h\\u00e9llo\"}"),
                           std::string(32767, '"')}) {
    std::string sig, enc, back;
    ASSERT_EQ(0, crypt_.EncryptMsg(text, kTs, kNonce, sig, enc));
    Write("enc.b64", enc);
    std::string plain = Shell("openssl base64 -d -A -in enc.b64 | openssl enc -d -aes-256-cbc -nopad -K " +
                              Hex(Key()) + " -iv " + Hex(Key().substr(0, 16)));
    EXPECT_EQ(Block(text).substr(16), plain.substr(16)) << text.size();
    EXPECT_EQ(sig, ShellSignature(enc));
    ASSERT_EQ(0, DecryptBlock(Block(text), back));
    EXPECT_EQ(text, back);
  }
  std::string sig1, enc1, sig2, enc2;
  ASSERT_EQ(0, crypt_.EncryptMsg("same", kTs, kNonce, sig1, enc1));
  ASSERT_EQ(0, crypt_.EncryptMsg("same", kTs, kNonce, sig2, enc2));
  EXPECT_NE(enc1.substr(0, 22), enc2.substr(0, 22));  // the random prefix differs
}

TEST_F(CryptTest, EachFailedCheckHasItsOwnCodeAndTheBlockIsNeverReadPastItsEnd) {
  std::string sig, enc, text;
  ASSERT_EQ(0, crypt_.EncryptMsg("hello", kTs, kNonce, sig, enc));
  std::string upper = sig, tampered = enc;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  tampered[5] = tampered[5] == 'A' ? 'B' : 'A';
  struct Case {
    std::string sig, ts, cipher;
    int code;
  } cases[] = {
      {upper, kTs, enc, zentho::kValidateSignatureError},
      {sig, kTs, tampered, zentho::kValidateSignatureError},
      {sig, "1", enc, zentho::kValidateSignatureError},
      {sig.substr(1), kTs, enc, zentho::kValidateSignatureError},
      {"", kTs, enc, zentho::kValidateSignatureError},
      {sig, kTs, "", zentho::kEmptyInputError},
  };
  for (const std::string b64 : {"@@@@", "QUJD*", "QQ", "===="}) {
    EXPECT_EQ(zentho::kDecodeBase64Error, crypt_.DecryptMsg(Sign(b64), kTs, kNonce, b64, text)) << b64;
  }
  for (const Case& c : cases) {
    text.clear();
    EXPECT_EQ(c.code, crypt_.DecryptMsg(c.sig, c.ts, kNonce, c.cipher, text)) << c.sig;
    EXPECT_EQ("", text);
  }
  const std::string body = BigEndian32(3) + "abc" + kAppId;  // 55 bytes with the prefix
  auto padded = [&](const std::string& b, int value, size_t n) { return "ABCDEFGHabcdefgh" + b + std::string(n, static_cast<char>(value)); };
  std::string uneven = padded(body, 9, 9);
  uneven[uneven.size() - 5] = 8;
  const std::pair<std::string, int> blocks[] = {
      {std::string(48, 'a'), zentho::kDecryptAesError},  // not a whole pad unit
      {padded(body, 0, 9), zentho::kDecryptAesError},
      {padded(body, 33, 9), zentho::kDecryptAesError},
      {uneven, zentho::kDecryptAesError},
      {padded(BigEndian32(28) + std::string(28, 'x'), 16, 16), zentho::kIllegalBufferError},
      {padded(BigEndian32(0xFFFFFFF0u) + std::string(28, 'x'), 16, 16), zentho::kIllegalBufferError},
      {padded(BigEndian32(0), 12, 12), zentho::kIllegalBufferError},
      {padded(body, 9, 9), 0},
  };
  for (const auto& [block, code] : blocks) EXPECT_EQ(code, DecryptBlock(block, text)) << Hex(block);
  EXPECT_EQ("abc", text);
  // Another app's text is reported with the text already set.
  EXPECT_EQ(zentho::kValidateAppIdError, DecryptBlock(Block("{}", std::string(32, 'o')), text));
  EXPECT_EQ("{}", text);
  SyncMsgCrypt bad_key(zentho::kBuiltinSignToken, "short", kAppId);
  EXPECT_EQ(zentho::kIllegalAesKeyError, bad_key.EncryptMsg("x", kTs, kNonce, sig, enc));
  EXPECT_EQ(zentho::kIllegalAesKeyError, bad_key.DecryptMsg(Sign(enc), kTs, kNonce, enc, text));
  EXPECT_EQ(zentho::kComputeSignatureError, crypt_.EncryptMsg("x", "", kNonce, sig, enc));
  sig = "keep";
  EXPECT_EQ(zentho::kEmptyInputError, crypt_.EncryptMsg("", kTs, kNonce, sig, enc));
  EXPECT_EQ("keep", sig);
}

// Bytes to dispatches, as the service wires it: framing, envelope, routing.
class Pipeline : public JSBuffer {
 public:
  explicit Pipeline(const SyncMsgCrypt* crypt) : JSBuffer(true), crypt_(crypt) {
    for (const char* name : CommandRouter::kCommandNames) {
      router_.SetHandler(name, [this, name](const rapidjson::Value& content) {
        seen.push_back(std::string(name) + ":" + std::to_string(GetJsonInt64(content, "MsgId")));
      });
    }
  }
  void OnRecvMessage(const char* payload, int length) override {
    if (UnwrapEnvelope(payload, length, crypt_, &cmd) != EnvelopeResult::kOk) ++dropped;
    else if (!router_.Dispatch(cmd.cmd, cmd.content_doc)) seen.push_back("unrouted:" + cmd.cmd);
  }
  std::vector<std::string> seen;
  int dropped = 0;
  ReceivedCommand cmd;

 private:
  const SyncMsgCrypt* crypt_;
  CommandRouter router_;
};

std::string Member(const std::string& json, const char* key) {
  rapidjson::Document doc;
  doc.Parse(json.c_str());
  return GetJsonStr(doc, key);
}

std::string Keys(const std::string& json) {
  rapidjson::Document doc;
  doc.Parse(json.c_str());
  std::string keys;
  for (auto& m : doc.GetObject()) keys += std::string(m.name.GetString()) + " ";
  return keys;
}

TEST_F(CryptTest, EnvelopesKeepTheirKeyOrderAndCarryTheirBody) {
  std::string env;
  ASSERT_EQ(0, BuildEnvelope("SendMsgToPeer", R"({"B":"a\"b"})", nullptr, nullptr, kNow, &env));
  EXPECT_EQ(R"({"Cmd":"SendMsgToPeer","Encrypt":false,"Content":"{\"B\":\"a\\\"b\"}"})", env);
  ASSERT_EQ(0, BuildEnvelope("MsgStatus", R"({"MsgId":1733500000999})", &crypt_, nullptr, kNow, &env));
  EXPECT_EQ("Cmd Encrypt TimeStamp Nonce Signature Content ", Keys(env));
  EXPECT_EQ(kTs, Member(env, "TimeStamp"));
  EXPECT_EQ(10u, Member(env, "Nonce").size());
  Pipeline in(&crypt_);
  ASSERT_EQ(EnvelopeResult::kOk, UnwrapEnvelope(env.data(), static_cast<int>(env.size()), &crypt_, &in.cmd));
  EXPECT_EQ(1733500000999, GetJsonInt64(in.cmd.content_doc, "MsgId"));
  EXPECT_TRUE(in.cmd.encrypted);
  ASSERT_EQ(0, BuildEnvelope("Login", "{}", &crypt_, &kAppId, kNow, &env));
  EXPECT_EQ("Cmd AppId Encrypt TimeStamp Nonce Signature Content ", Keys(env));
  EXPECT_EQ(kAppId, Member(env, "AppId"));
  // An empty body has an empty signature and content, and still dispatches.
  ASSERT_EQ(0, BuildEnvelope("KeepAlive", "", &crypt_, nullptr, kNow, &env));
  EXPECT_EQ("", Member(env, "Signature") + Member(env, "Content"));
  ASSERT_EQ(EnvelopeResult::kOk, UnwrapEnvelope(env.data(), static_cast<int>(env.size()), &crypt_, &in.cmd));
  EXPECT_EQ("KeepAlive", in.cmd.cmd);
  EXPECT_TRUE(in.cmd.content_doc.IsObject());
  EXPECT_EQ(std::string(1024, 'a'), RecvLogContent(std::string(1024, 'a')));
  EXPECT_STREQ("content too long...", RecvLogContent(std::string(1025, 'a')));
}

TEST_F(CryptTest, BadEnvelopesAreDroppedNotDispatched) {
  std::string good;
  ASSERT_EQ(0, BuildEnvelope("RecvMsgFromPeer", R"({"MsgId":5})", &crypt_, nullptr, kNow, &good));
  std::string bad_sig = good;
  bad_sig[bad_sig.find("\"Signature\":\"") + 13] ^= 1;
  SyncMsgCrypt other(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, "other-app");
  const struct {
    std::string envelope;
    const SyncMsgCrypt* crypt;
    EnvelopeResult result;
  } cases[] = {
      {bad_sig, &crypt_, EnvelopeResult::kDecryptFailed},
      {good, &other, EnvelopeResult::kDecryptFailed},
      {good, nullptr, EnvelopeResult::kNoCrypt},
      {"", &crypt_, EnvelopeResult::kNotJson},
      {"{\"Cmd\":", &crypt_, EnvelopeResult::kNotJson},
      {std::string(100000, '['), &crypt_, EnvelopeResult::kNotJson},
      {"[{\"Cmd\":\"Login\"}]", &crypt_, EnvelopeResult::kNotObject},
      {R"({"Cmd":"Login","Content":""})", &crypt_, EnvelopeResult::kNoEncryptFlag},
      {R"({"Cmd":"Login","Encrypt":"false","Content":""})", &crypt_, EnvelopeResult::kNoEncryptFlag},
  };
  for (const auto& c : cases) {
    Pipeline in(&crypt_);
    EXPECT_EQ(c.result, UnwrapEnvelope(c.envelope.data(), static_cast<int>(c.envelope.size()), c.crypt, &in.cmd))
        << c.envelope.substr(0, 80);
  }
  // Plain content that is not an object reads as an object without members.
  for (const char* content : {"[1]", "\"x\"", "not json", "{\"Code\":"}) {
    Pipeline in(&crypt_);
    BuildEnvelope("Login", content, nullptr, nullptr, kNow, &good);
    ASSERT_EQ(EnvelopeResult::kOk, UnwrapEnvelope(good.data(), static_cast<int>(good.size()), &crypt_, &in.cmd));
    EXPECT_EQ(-1, GetJsonInt(in.cmd.content_doc, "Code")) << content;
  }
}

TEST_F(CryptTest, SplitStreamsOfEnvelopesDispatchEveryCommandOfTheTableByName) {
  EXPECT_EQ(-1, CommandRouter::IndexOf("login"));
  EXPECT_EQ(-1, CommandRouter::IndexOf("SendMsgToPeer"));  // only ever sent
  std::mt19937 rng(7);
  std::string stream;
  std::vector<std::string> expected;
  Pipeline whole(&crypt_), split(&crypt_);
  for (size_t i = 0; i < 2 * CommandRouter::kCommandCount; ++i) {
    const char* name = CommandRouter::kCommandNames[i % CommandRouter::kCommandCount];
    EXPECT_EQ(static_cast<int>(i % CommandRouter::kCommandCount), CommandRouter::IndexOf(name));
    std::string envelope, body = "{\"MsgId\":" + std::to_string(i) + ",\"P\":\"" + std::string(rng() % 2000, '#') + "\"}";
    BuildEnvelope(name, body, i % 3 ? &crypt_ : nullptr, nullptr, kNow, &envelope);
    char header[5];
    ASSERT_EQ(5, whole.WritePktLength(header, static_cast<int>(envelope.size())));
    stream += std::string(header, 5) + envelope;
    expected.push_back(std::string(name) + ":" + std::to_string(i));
  }
  whole.RecvData(stream.data(), static_cast<int>(stream.size()));
  EXPECT_EQ(expected, whole.seen);
  for (size_t pos = 0, n; pos < stream.size(); pos += n) {
    n = std::min<size_t>(1 + rng() % 700, stream.size() - pos);
    split.RecvData(stream.data() + pos, static_cast<int>(n));
  }
  EXPECT_EQ(expected, split.seen);
  EXPECT_EQ(0, split.dropped);
  // A handler may replace itself while it runs; unknown names find no handler.
  CommandRouter router;
  int first = 0, second = 0;
  router.SetHandler("Login", [&](const rapidjson::Value&) {
    ++first;
    router.SetHandler("Login", [&](const rapidjson::Value&) { ++second; });
  });
  EXPECT_FALSE(router.SetHandler("NoSuchCommand", [](const rapidjson::Value&) {}));
  EXPECT_TRUE(router.Dispatch("Login", whole.cmd.content_doc));
  EXPECT_TRUE(router.Dispatch("Login", whole.cmd.content_doc));
  EXPECT_FALSE(router.Dispatch("", whole.cmd.content_doc));
  EXPECT_EQ(2, first + second);
  EXPECT_EQ(1, second);
}

}  // namespace
}  // namespace vy
