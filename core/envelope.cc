#include "core/envelope.h"

#include <cinttypes>
#include <cstdio>

#include "core/rand_str.h"
#include "core/sync_msg_crypt.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace vy {

namespace {

constexpr size_t kEnvelopeInitialCapacity = 256;

void WriteString(rapidjson::Writer<rapidjson::StringBuffer>& w, const std::string& s) {
  w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

}  // namespace

int BuildEnvelope(const std::string& cmd, const std::string& content,
                  const zentho::SyncMsgCrypt* crypt, const std::string* appId,
                  int64_t timestampMs, std::string* envelope) {
  rapidjson::StringBuffer buffer(nullptr, kEnvelopeInitialCapacity);
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  int result = 0;
  w.StartObject();
  w.Key("Cmd");
  WriteString(w, cmd);
  if (appId != nullptr) {
    w.Key("AppId");
    WriteString(w, *appId);
  }
  if (crypt != nullptr) {
    char timestamp[24];
    std::snprintf(timestamp, sizeof(timestamp), "%" PRId64, timestampMs);
    std::string nonce;
    if (!GenRandStr(nonce, kEnvelopeNonceLength)) {
      envelope->clear();
      return kEnvelopeNoNonce;
    }
    std::string signature;
    std::string cipher;
    if (!content.empty()) {
      result = crypt->EncryptMsg(content, timestamp, nonce, signature, cipher);
    }
    w.Key("Encrypt");
    w.Bool(true);
    w.Key("TimeStamp");
    w.String(timestamp);
    w.Key("Nonce");
    WriteString(w, nonce);
    w.Key("Signature");
    WriteString(w, signature);
    w.Key("Content");
    WriteString(w, cipher);
  } else {
    w.Key("Encrypt");
    w.Bool(false);
    w.Key("Content");
    WriteString(w, content);
  }
  w.EndObject();
  envelope->assign(buffer.GetString(), buffer.GetSize());
  return result;
}

const char* EnvelopeResultText(EnvelopeResult result) {
  switch (result) {
    case EnvelopeResult::kOk:
      return "ok";
    case EnvelopeResult::kNotJson:
      return "not JSON";
    case EnvelopeResult::kNotObject:
      return "not an object";
    case EnvelopeResult::kNoEncryptFlag:
      return "no Encrypt flag";
    case EnvelopeResult::kNoCrypt:
      return "encrypted before login";
    case EnvelopeResult::kDecryptFailed:
      return "content failed decryption";
  }
  return "?";
}

EnvelopeResult UnwrapEnvelope(const char* payload, int length, const zentho::SyncMsgCrypt* crypt,
                              ReceivedCommand* out) {
  if (payload == nullptr || length < 1) return EnvelopeResult::kNotJson;
  JsonStr envelope_text(payload, length);
  rapidjson::Document envelope;
  if (!ParseJsonInsitu(envelope_text, envelope)) return EnvelopeResult::kNotJson;
  if (!envelope.IsObject()) return EnvelopeResult::kNotObject;
  if (!HasJsonBool(envelope, "Encrypt")) return EnvelopeResult::kNoEncryptFlag;
  out->cmd = GetJsonStr(envelope, "Cmd");
  out->encrypted = envelope["Encrypt"].GetBool();
  out->crypt_result = 0;
  const rapidjson::Value* content = FindJsonMember(envelope, "Content");
  std::string content_value;
  if (content != nullptr && content->IsString()) {
    content_value.assign(content->GetString(), content->GetStringLength());
  }
  if (!out->encrypted) {
    out->content = std::move(content_value);
  } else {
    if (crypt == nullptr) return EnvelopeResult::kNoCrypt;
    out->content.clear();
    if (!content_value.empty()) {
      std::string text;
      out->crypt_result = crypt->DecryptMsg(GetJsonStr(envelope, "Signature"),
                                            GetJsonStr(envelope, "TimeStamp"),
                                            GetJsonStr(envelope, "Nonce"), content_value, text);
      if (out->crypt_result != 0) return EnvelopeResult::kDecryptFailed;
      out->content = std::move(text);
    }
  }
  // A body that is empty, not JSON or not an object reads as an object without members.
  out->content_text.SetData(out->content.data(), static_cast<int>(out->content.size()));
  if (out->content.empty() || !ParseJsonInsitu(out->content_text, out->content_doc) ||
      !out->content_doc.IsObject()) {
    out->content_doc.SetObject();
  }
  return EnvelopeResult::kOk;
}

const char* RecvLogContent(const std::string& content) {
  return content.size() > kMaxLoggedContent ? "content too long..." : content.c_str();
}

}  // namespace vy
