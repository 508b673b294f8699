#ifndef FUZZ_WIRE_FUZZ_TARGET_H_
#define FUZZ_WIRE_FUZZ_TARGET_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/json_util.h"
#include "core/session_wire.h"
#include "fuzz/fuzz_check.h"
#include "rapidjson/document.h"

namespace vy {

// The text as a JSON object within the depth cap, the way the parsers must read it; null when
// it is not one.
inline const rapidjson::Value* WireFuzzReference(const char* data, size_t size,
                                                 rapidjson::Document* doc) {
  std::string text(data, strnlen(data, size));
  if (!JsonDepthWithin(text.data(), text.size(), kMaxJsonDepth)) return nullptr;
  doc->Parse<rapidjson::kParseIterativeFlag>(text.c_str());
  return !doc->HasParseError() && doc->IsObject() ? doc : nullptr;
}

inline void WireFuzzGateway(const char* data, size_t size) {
  GatewayAnswer answer = ParseGatewayAnswer(data, size);
  rapidjson::Document ref;
  bool object = size > 0 && WireFuzzReference(data, size, &ref) != nullptr;
  switch (answer.kind) {
    case GatewayAnswer::kInvalid:
      if (object) {
        const rapidjson::Value* session = FindJsonMember(ref, "sessionid");
        fuzz::Check(GetJsonInt(ref, "code") == 0 && session != nullptr && session->IsString() &&
                        session->GetStringLength() > kMaxSessionIdBytes,
                    "a gateway object refused as invalid");
      }
      break;
    case GatewayAnswer::kRefused:
      fuzz::Check(object && answer.code != 0, "refused without a code");
      break;
    case GatewayAnswer::kAddress:
      fuzz::Check(!answer.address.empty() && answer.address.size() <= kMaxServerAddrBytes &&
                      answer.address.find('\0') == std::string::npos,
                  "server address out of bounds");
      fuzz::Check(answer.port >= 1 && answer.port <= 65535, "server port out of range");
      [[fallthrough]];
    case GatewayAnswer::kNoAddress:
      fuzz::Check(object && answer.code == 0, "accepted without code 0");
      fuzz::Check(answer.session_id.size() <= kMaxSessionIdBytes, "session id too long");
      break;
  }
}

inline void WireFuzzOffline(const char* data, size_t size) {
  std::vector<OfflineMessage> messages;
  size_t skipped = 0;
  bool ok = ParseOfflineAnswer(data, size, &messages, &skipped);
  rapidjson::Document ref;
  const rapidjson::Value* object = size > 0 ? WireFuzzReference(data, size, &ref) : nullptr;
  const rapidjson::Value* list = object != nullptr && GetJsonInt(*object, "code") == 0
                                     ? FindJsonMember(*object, "data")
                                     : nullptr;
  bool want = list != nullptr && list->IsArray();
  fuzz::Check(ok == want, "offline answer accepted or refused wrongly");
  if (!ok) {
    fuzz::Check(messages.empty(), "messages from a refused answer");
    return;
  }
  fuzz::Check(messages.size() <= kMaxOfflineMessages, "too many offline messages");
  fuzz::Check(messages.size() + skipped == list->Size(), "entries lost or counted twice");
  for (const OfflineMessage& m : messages) {
    fuzz::Check(!m.from.empty() && m.body.size() < kMaxMessageBytes && m.id >= 0 &&
                    (m.type == vy::rtm::MESSAGE_TYPE_TEXT || m.type == vy::rtm::MESSAGE_TYPE_RAW),
                "an offline message out of bounds");
  }
}

inline void WireFuzzParameters(const char* data, size_t size) {
  std::string text(data, size);  // NUL-terminated, as the app hands it over
  ServiceParameters params = ParseServiceParameters(text.c_str());
  if (params.kind == ServiceParameters::kPrivateGateway) {
    fuzz::Check(params.port >= 0 && params.port <= 65535, "gateway port out of range");
    for (char c : params.host) {
      fuzz::Check(c > ' ' && c < 0x7f && std::strchr("/?#@[]\\%", c) == nullptr,
                  "a gateway host with a character no host name or address holds");
    }
  }
  if (params.kind != ServiceParameters::kInvalid) {
    rapidjson::Document ref;
    fuzz::Check(WireFuzzReference(text.c_str(), text.size(), &ref) != nullptr,
                "parameters accepted that are no JSON object");
  }
}

// Byte 0 picks the parser: the gateway's answer, the offline fetch's answer, or a
// "setParameters" text; the rest is its input.
inline int WireFuzzOne(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  switch (data[0] % 3) {
    case 0:
      WireFuzzGateway(text, size - 1);
      break;
    case 1:
      WireFuzzOffline(text, size - 1);
      break;
    default:
      WireFuzzParameters(text, size - 1);
      break;
  }
  return 0;
}

}  // namespace vy

#endif  // FUZZ_WIRE_FUZZ_TARGET_H_
