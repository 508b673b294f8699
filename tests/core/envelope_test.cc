#include "core/envelope.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/command_router.h"
#include "core/js_buffer.h"
#include "core/sync_msg_crypt.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace vy {

namespace {

const std::string kAppId = "0123456789abcdef0123456789abcdef";
constexpr int64_t kNow = 1733500000123;

std::vector<std::string> Keys(const std::string& json) {
  rapidjson::Document doc;
  doc.Parse(json.c_str());
  std::vector<std::string> keys;
  if (!doc.IsObject()) return keys;
  for (auto& m : doc.GetObject()) keys.emplace_back(m.name.GetString());
  return keys;
}

std::string Member(const std::string& json, const char* key) {
  rapidjson::Document doc;
  doc.Parse(json.c_str());
  return GetJsonStr(doc, key);
}

class EnvelopeTest : public ::testing::Test {
 protected:
  zentho::SyncMsgCrypt crypt_{zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, kAppId};

  EnvelopeResult Unwrap(const std::string& envelope, ReceivedCommand* out,
                        const zentho::SyncMsgCrypt* crypt) {
    return UnwrapEnvelope(envelope.data(), static_cast<int>(envelope.size()), crypt, out);
  }
  std::string Encrypted(const std::string& cmd, const std::string& body) {
    std::string envelope;
    EXPECT_EQ(0, BuildEnvelope(cmd, body, &crypt_, nullptr, kNow, &envelope));
    return envelope;
  }
  // Replaces the value of a string member in an envelope text.
  static std::string WithMember(const std::string& json, const char* key, const std::string& v) {
    rapidjson::Document doc;
    doc.Parse(json.c_str());
    doc[key].SetString(v.c_str(), static_cast<rapidjson::SizeType>(v.size()), doc.GetAllocator());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    doc.Accept(w);
    return buffer.GetString();
  }
};

TEST_F(EnvelopeTest, PlainEnvelopeCarriesTheBodyTextAsIs) {
  std::string envelope;
  ASSERT_EQ(0, BuildEnvelope("SendMsgToPeer", R"({"MsgId":7,"Body":"a\"b"})", nullptr, nullptr,
                             kNow, &envelope));
  EXPECT_EQ(R"({"Cmd":"SendMsgToPeer","Encrypt":false,"Content":"{\"MsgId\":7,\"Body\":\"a\\\"b\"}"})",
            envelope);
  ASSERT_EQ(0, BuildEnvelope("KeepAlive", "", nullptr, nullptr, kNow, &envelope));
  EXPECT_EQ(R"({"Cmd":"KeepAlive","Encrypt":false,"Content":""})", envelope);
}

TEST_F(EnvelopeTest, EncryptedEnvelopeHasItsKeysInOrder) {
  std::string envelope = Encrypted("SendMsgToPeer", R"({"MsgId":7})");
  EXPECT_EQ((std::vector<std::string>{"Cmd", "Encrypt", "TimeStamp", "Nonce", "Signature",
                                      "Content"}),
            Keys(envelope));
  EXPECT_NE(std::string::npos, envelope.find("\"Encrypt\":true"));
  EXPECT_EQ("1733500000123", Member(envelope, "TimeStamp"));
  EXPECT_EQ(10u, Member(envelope, "Nonce").size());
  EXPECT_EQ(40u, Member(envelope, "Signature").size());
  EXPECT_NE(Encrypted("SendMsgToPeer", "{}"), Encrypted("SendMsgToPeer", "{}"));
}

TEST_F(EnvelopeTest, LoginCarriesTheAppIdSecond) {
  std::string envelope;
  ASSERT_EQ(0, BuildEnvelope("Login", R"({"UserId":"u"})", &crypt_, &kAppId, kNow, &envelope));
  EXPECT_EQ((std::vector<std::string>{"Cmd", "AppId", "Encrypt", "TimeStamp", "Nonce",
                                      "Signature", "Content"}),
            Keys(envelope));
  EXPECT_EQ(kAppId, Member(envelope, "AppId"));
}

TEST_F(EnvelopeTest, EmptyBodyGivesEmptySignatureAndContentAndStillDispatches) {
  std::string envelope = Encrypted("KeepAlive", "");
  EXPECT_EQ("", Member(envelope, "Signature"));
  EXPECT_EQ("", Member(envelope, "Content"));
  ReceivedCommand cmd;
  ASSERT_EQ(EnvelopeResult::kOk, Unwrap(envelope, &cmd, &crypt_));
  EXPECT_EQ("KeepAlive", cmd.cmd);
  EXPECT_EQ("", cmd.content);
  EXPECT_TRUE(cmd.content_doc.IsObject());
  EXPECT_EQ(0u, cmd.content_doc.MemberCount());
}

TEST_F(EnvelopeTest, EncryptedEnvelopeRoundTrips) {
  ReceivedCommand cmd;
  ASSERT_EQ(EnvelopeResult::kOk,
            Unwrap(Encrypted("MsgStatus", R"({"MsgId":1733500000999,"Status":4})"), &cmd, &crypt_));
  EXPECT_EQ("MsgStatus", cmd.cmd);
  EXPECT_TRUE(cmd.encrypted);
  EXPECT_EQ(1733500000999, GetJsonInt64(cmd.content_doc, "MsgId"));
  EXPECT_EQ(4, GetJsonInt(cmd.content_doc, "Status"));
}

TEST_F(EnvelopeTest, ContentFailingAnyCheckIsDroppedNotDispatchedEmpty) {
  std::string good = Encrypted("RecvMsgFromPeer", R"({"MsgId":5,"FromUId":"bob"})");
  std::string sig = Member(good, "Signature");
  std::string content = Member(good, "Content");
  ReceivedCommand cmd;

  std::string bad_sig = sig;
  bad_sig[0] = bad_sig[0] == 'a' ? 'b' : 'a';
  EXPECT_EQ(EnvelopeResult::kDecryptFailed, Unwrap(WithMember(good, "Signature", bad_sig), &cmd, &crypt_));
  EXPECT_EQ(zentho::kValidateSignatureError, cmd.crypt_result);
  EXPECT_EQ(EnvelopeResult::kDecryptFailed, Unwrap(WithMember(good, "Signature", ""), &cmd, &crypt_));

  zentho::SyncMsgCrypt other(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, "other-app");
  EXPECT_EQ(EnvelopeResult::kDecryptFailed, Unwrap(good, &cmd, &other));
  EXPECT_EQ(zentho::kValidateAppIdError, cmd.crypt_result);

  // Bad Base64 and a bad pad, each correctly signed so only the later check fails.
  std::string resigned;
  std::string bad_b64 = "!!!!" + content.substr(4);
  zentho::SyncMsgCrypt::ComputeSignature(zentho::kBuiltinSignToken, Member(good, "TimeStamp"),
                                         Member(good, "Nonce"), bad_b64, resigned);
  EXPECT_EQ(EnvelopeResult::kDecryptFailed,
            Unwrap(WithMember(WithMember(good, "Content", bad_b64), "Signature", resigned), &cmd,
                   &crypt_));
  EXPECT_EQ(zentho::kDecodeBase64Error, cmd.crypt_result);

  std::string truncated;
  zentho::SyncMsgCrypt::EncodeBase64(std::string(32, 'z'), truncated);
  zentho::SyncMsgCrypt::ComputeSignature(zentho::kBuiltinSignToken, Member(good, "TimeStamp"),
                                         Member(good, "Nonce"), truncated, resigned);
  EXPECT_EQ(EnvelopeResult::kDecryptFailed,
            Unwrap(WithMember(WithMember(good, "Content", truncated), "Signature", resigned), &cmd,
                   &crypt_));
  EXPECT_EQ(zentho::kDecryptAesError, cmd.crypt_result);
}

TEST_F(EnvelopeTest, EncryptedEnvelopeBeforeAnyCryptIsDropped) {
  ReceivedCommand cmd;
  EXPECT_EQ(EnvelopeResult::kNoCrypt, Unwrap(Encrypted("Login", R"({"Code":0})"), &cmd, nullptr));
  EXPECT_EQ(EnvelopeResult::kNoCrypt, Unwrap(Encrypted("KeepAlive", ""), &cmd, nullptr));
}

TEST_F(EnvelopeTest, MalformedEnvelopesAreRefused) {
  ReceivedCommand cmd;
  EXPECT_EQ(EnvelopeResult::kNotJson, Unwrap("", &cmd, &crypt_));
  EXPECT_EQ(EnvelopeResult::kNotJson, Unwrap("{\"Cmd\":", &cmd, &crypt_));
  EXPECT_EQ(EnvelopeResult::kNotJson, Unwrap(std::string(100000, '['), &cmd, &crypt_));
  EXPECT_EQ(EnvelopeResult::kNotObject, Unwrap("[{\"Cmd\":\"Login\"}]", &cmd, &crypt_));
  EXPECT_EQ(EnvelopeResult::kNoEncryptFlag, Unwrap(R"({"Cmd":"Login","Content":""})", &cmd, &crypt_));
  EXPECT_EQ(EnvelopeResult::kNoEncryptFlag,
            Unwrap(R"({"Cmd":"Login","Encrypt":"false","Content":""})", &cmd, &crypt_));
}

TEST_F(EnvelopeTest, PlainContentThatIsNotAnObjectReadsWithoutMembers) {
  ReceivedCommand cmd;
  for (const char* content : {"[1]", "\"x\"", "not json", "{\"Code\":"}) {
    std::string envelope;
    BuildEnvelope("Login", content, nullptr, nullptr, kNow, &envelope);
    ASSERT_EQ(EnvelopeResult::kOk, Unwrap(envelope, &cmd, &crypt_)) << content;
    EXPECT_TRUE(cmd.content_doc.IsObject());
    EXPECT_EQ(-1, GetJsonInt(cmd.content_doc, "Code"));
  }
}

TEST_F(EnvelopeTest, AbsentCmdReadsAsEmptyName) {
  ReceivedCommand cmd;
  ASSERT_EQ(EnvelopeResult::kOk, Unwrap(R"({"Encrypt":false,"Content":"{}"})", &cmd, &crypt_));
  EXPECT_EQ("", cmd.cmd);
  CommandRouter router;
  EXPECT_FALSE(router.Dispatch(cmd.cmd, cmd.content_doc));
}

TEST(TrafficLog, ContentsAboveTheLimitAreReplaced) {
  std::string at_limit(1024, 'a');
  EXPECT_EQ(at_limit, RecvLogContent(at_limit));
  EXPECT_STREQ("content too long...", RecvLogContent(std::string(1025, 'a')));
}

TEST(CommandRouter, EveryNameOfTheTableIsKnownOnce) {
  for (size_t i = 0; i < CommandRouter::kCommandCount; ++i) {
    EXPECT_EQ(static_cast<int>(i), CommandRouter::IndexOf(CommandRouter::kCommandNames[i]));
  }
  EXPECT_EQ(-1, CommandRouter::IndexOf(""));
  EXPECT_EQ(-1, CommandRouter::IndexOf("login"));
  EXPECT_EQ(-1, CommandRouter::IndexOf("SendMsgToPeer"));  // only ever sent
}

TEST(CommandRouter, NamesWithoutHandlerAreIgnored) {
  CommandRouter router;
  rapidjson::Document doc;
  doc.SetObject();
  EXPECT_FALSE(router.Dispatch("MsgStatus", doc));
  int calls = 0;
  EXPECT_TRUE(router.SetHandler("MsgStatus", [&](const rapidjson::Value&) { ++calls; }));
  EXPECT_FALSE(router.SetHandler("NoSuchCommand", [&](const rapidjson::Value&) { ++calls; }));
  EXPECT_TRUE(router.Dispatch("MsgStatus", doc));
  EXPECT_FALSE(router.Dispatch("NoSuchCommand", doc));
  EXPECT_EQ(1, calls);
  router.SetHandler("MsgStatus", nullptr);
  EXPECT_FALSE(router.HasHandler("MsgStatus"));
}

TEST(CommandRouter, HandlerMayReplaceItselfWhileRunning) {
  CommandRouter router;
  rapidjson::Document doc;
  doc.SetObject();
  int first = 0, second = 0;
  router.SetHandler("Login", [&](const rapidjson::Value&) {
    ++first;
    router.SetHandler("Login", [&](const rapidjson::Value&) { ++second; });
  });
  router.Dispatch("Login", doc);
  router.Dispatch("Login", doc);
  EXPECT_EQ(1, first);
  EXPECT_EQ(1, second);
}

// Bytes to dispatches, as the service wires it: framing, envelope, routing.
class Pipeline : public JSBuffer {
 public:
  explicit Pipeline(const zentho::SyncMsgCrypt* crypt) : JSBuffer(true), crypt_(crypt) {
    for (const char* name : CommandRouter::kCommandNames) {
      router_.SetHandler(name, [this, name](const rapidjson::Value& content) {
        seen.push_back(std::string(name) + ":" + std::to_string(GetJsonInt64(content, "MsgId")));
      });
    }
  }
  void OnRecvMessage(const char* payload, int length) override {
    ReceivedCommand cmd;
    if (UnwrapEnvelope(payload, length, crypt_, &cmd) == EnvelopeResult::kOk) {
      router_.Dispatch(cmd.cmd, cmd.content_doc);
    } else {
      ++dropped;
    }
  }
  std::vector<std::string> seen;
  int dropped = 0;

 private:
  const zentho::SyncMsgCrypt* crypt_;
  CommandRouter router_;
};

TEST_F(EnvelopeTest, SplitStreamsOfEncryptedEnvelopesDispatchTheSameCommands) {
  std::mt19937 rng(7);
  std::string stream;
  std::vector<std::string> expected;
  for (int i = 0; i < 60; ++i) {
    const char* name = CommandRouter::kCommandNames[rng() % CommandRouter::kCommandCount];
    std::string body = "{\"MsgId\":" + std::to_string(i) + ",\"Pad\":\"" +
                       std::string(rng() % 2000, '#') + "\"}";
    std::string envelope = Encrypted(name, body);
    char header[5];
    Pipeline framer(&crypt_);
    ASSERT_EQ(5, framer.WritePktLength(header, static_cast<int>(envelope.size())));
    stream += std::string(header, 5) + envelope;
    expected.push_back(std::string(name) + ":" + std::to_string(i));
  }
  Pipeline whole(&crypt_);
  whole.RecvData(stream.data(), static_cast<int>(stream.size()));
  EXPECT_EQ(expected, whole.seen);
  Pipeline split(&crypt_);
  for (size_t pos = 0; pos < stream.size();) {
    size_t n = std::min<size_t>(1 + rng() % 700, stream.size() - pos);
    split.RecvData(stream.data() + pos, static_cast<int>(n));
    pos += n;
  }
  EXPECT_EQ(expected, split.seen);
  EXPECT_EQ(0, split.dropped);
}

}  // namespace

}  // namespace vy
