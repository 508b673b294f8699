#include "core/envelope.h"

#include <cinttypes>
#include <cstdio>

#include "core/rand_str.h"
#include "core/sync_msg_crypt.h"

namespace vy {

namespace {

constexpr size_t kSignatureLength = 40;

// Appends `s` as a JSON string, escaped as rapidjson's writer does.
void AppendJsonString(std::string* out, const char* s, size_t n) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  out->push_back('"');
  size_t run = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out->append(s + run, i - run);
    run = i + 1;
    out->push_back('\\');
    switch (c) {
      case '"':
        out->push_back('"');
        break;
      case '\\':
        out->push_back('\\');
        break;
      case '\b':
        out->push_back('b');
        break;
      case '\t':
        out->push_back('t');
        break;
      case '\n':
        out->push_back('n');
        break;
      case '\f':
        out->push_back('f');
        break;
      case '\r':
        out->push_back('r');
        break;
      default: {
        const char u[] = {'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
        out->append(u, sizeof(u));
      }
    }
  }
  out->append(s + run, n - run);
  out->push_back('"');
}

void AppendJsonString(std::string* out, const std::string& s) {
  AppendJsonString(out, s.data(), s.size());
}

}  // namespace

int BuildEnvelope(const std::string& cmd, const std::string& content,
                  const zentho::SyncMsgCrypt* crypt, const std::string* appId, int64_t timestampMs,
                  std::string* envelope, size_t headerRoom) {
  std::string& out = *envelope;
  out.assign(headerRoom, '\0');
  out.append("{\"Cmd\":");
  AppendJsonString(&out, cmd);
  if (appId != nullptr) {
    out.append(",\"AppId\":");
    AppendJsonString(&out, *appId);
  }
  if (crypt == nullptr) {
    out.append(",\"Encrypt\":false,\"Content\":");
    AppendJsonString(&out, content);
    out.push_back('}');
    return 0;
  }
  char timestamp[24];
  const int timestamp_length = std::snprintf(timestamp, sizeof(timestamp), "%" PRId64, timestampMs);
  // One draw from the secure generator gives the nonce and the block's random prefix.
  std::string random;
  if (!GenRandStr(random, kEnvelopeNonceLength + zentho::SyncMsgCrypt::kRandomPrefixLength)) {
    envelope->clear();
    return kEnvelopeNoNonce;
  }
  const char* nonce = random.data();
  out.append(",\"Encrypt\":true,\"TimeStamp\":\"");
  out.append(timestamp, static_cast<size_t>(timestamp_length));
  out.append("\",\"Nonce\":\"");
  out.append(nonce, kEnvelopeNonceLength);
  out.append("\",\"Signature\":\"");
  int result = 0;
  if (!content.empty()) {
    // The signature covers the cipher text, which follows it: its room is kept and filled in.
    const size_t signature_at = out.size();
    out.append(kSignatureLength, '0');
    out.append("\",\"Content\":\"");
    const size_t cipher_at = out.size();
    result = crypt->EncryptTo(nonce + kEnvelopeNonceLength, content.data(), content.size(), &out);
    if (result == 0 && crypt->Sign(timestamp, static_cast<size_t>(timestamp_length), nonce,
                                   kEnvelopeNonceLength, out.data() + cipher_at,
                                   out.size() - cipher_at, out.data() + signature_at) != 0) {
      result = zentho::kComputeSignatureError;
    }
    if (result == 0) {
      out.append("\"}");
      return 0;
    }
    // The server still gets an answerable command, without signature or content.
    out.resize(signature_at);
  }
  out.append("\",\"Content\":\"\"}");
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
  out->envelope_text.SetData(payload, length);
  return UnwrapEnvelopeInPlace(out->envelope_text.data(), length, crypt, out);
}

EnvelopeResult UnwrapEnvelopeInPlace(char* payload, int length, const zentho::SyncMsgCrypt* crypt,
                                     ReceivedCommand* out) {
  if (payload == nullptr || length < 1) return EnvelopeResult::kNotJson;
  out->Reset();
  rapidjson::Document& envelope = out->envelope_doc;
  if (!ParseJsonInsitu(payload, envelope)) return EnvelopeResult::kNotJson;
  if (!envelope.IsObject()) return EnvelopeResult::kNotObject;
  if (!HasJsonBool(envelope, "Encrypt")) return EnvelopeResult::kNoEncryptFlag;
  out->cmd = GetJsonStr(envelope, "Cmd");
  out->encrypted = envelope["Encrypt"].GetBool();
  out->crypt_result = 0;
  const rapidjson::Value* content = FindJsonMember(envelope, "Content");
  const bool has_content = content != nullptr && content->IsString();
  const char* content_value = has_content ? content->GetString() : "";
  const size_t content_length = has_content ? content->GetStringLength() : 0;
  if (!out->encrypted) {
    out->content.assign(content_value, content_length);
  } else {
    if (crypt == nullptr) return EnvelopeResult::kNoCrypt;
    out->content.clear();
    if (content_length != 0) {
      out->crypt_result = crypt->DecryptMsg(
          GetJsonStr(envelope, "Signature"), GetJsonStr(envelope, "TimeStamp"),
          GetJsonStr(envelope, "Nonce"), content_value, content_length, out->content);
      if (out->crypt_result != 0) {
        out->content.clear();
        return EnvelopeResult::kDecryptFailed;
      }
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

ReceivedCommand::ReceivedCommand()
    : envelope_pool(envelope_pool_buffer, sizeof(envelope_pool_buffer)),
      content_pool(content_pool_buffer, sizeof(content_pool_buffer)),
      envelope_doc(&envelope_pool),
      content_doc(&content_pool) {}

void ReceivedCommand::Reset() {
  // The documents' values live in the pools; both start again from their kept buffers.
  envelope_doc.SetNull();
  content_doc.SetObject();
  envelope_pool.Clear();
  content_pool.Clear();
}

void ReceivedCommand::GiveBackLarge() {
  // The documents' strings point into the texts: emptied first.
  Reset();
  if (content.capacity() > kKeptCommandBytes) std::string().swap(content);
  content_text.Shrink(kKeptCommandBytes);
  envelope_text.Shrink(kKeptCommandBytes);
}

size_t ReceivedCommand::HeldBytes() const {
  return content.capacity() + content_text.allocated() + envelope_text.allocated();
}

const char* RecvLogContent(const std::string& content) {
  return content.size() > kMaxLoggedContent ? "content too long..." : content.c_str();
}

}  // namespace vy
