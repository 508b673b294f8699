#ifndef FUZZ_JSON_FUZZ_TARGET_H_
#define FUZZ_JSON_FUZZ_TARGET_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/json_util.h"
#include "fuzz/fuzz_check.h"
#include "rapidjson/document.h"

namespace vy {

// Nesting depth of a parsed value (a scalar is 0), walked without recursion.
inline int JsonFuzzDepth(const rapidjson::Value& root) {
  int deepest = 0;
  std::vector<std::pair<const rapidjson::Value*, int>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto [value, depth] = stack.back();
    stack.pop_back();
    if (value->IsArray()) {
      deepest = std::max(deepest, depth + 1);
      for (const rapidjson::Value& v : value->GetArray()) stack.emplace_back(&v, depth + 1);
    } else if (value->IsObject()) {
      deepest = std::max(deepest, depth + 1);
      for (rapidjson::SizeType i = 0; i < value->MemberCount(); ++i) {
        stack.emplace_back(&(value->MemberBegin() + i)->value, depth + 1);
      }
    }
  }
  return deepest;
}

// The first member named exactly `key`, looked up the plain way.
inline const rapidjson::Value* JsonFuzzMember(const rapidjson::Value& doc, const char* key) {
  if (!doc.IsObject()) return nullptr;
  size_t length = std::strlen(key);
  for (rapidjson::SizeType i = 0; i < doc.MemberCount(); ++i) {
    const auto& m = *(doc.MemberBegin() + i);
    if (m.name.GetStringLength() == length && std::memcmp(m.name.GetString(), key, length) == 0) {
      return &m.value;
    }
  }
  return nullptr;
}

// The readers on the in-place parse must say what the member of the reference parse holds.
inline void JsonFuzzCompareReaders(const rapidjson::Value& doc, const rapidjson::Value& ref,
                                   const char* key) {
  const rapidjson::Value* v = JsonFuzzMember(ref, key);
  const char* want_str = v != nullptr && v->IsString() ? v->GetString() : "";
  fuzz::Check(std::strcmp(GetJsonStr(doc, key), want_str) == 0, "GetJsonStr disagrees");
  int32_t want_int = -1;
  if (v != nullptr && v->IsInt()) {
    want_int = v->GetInt();
  } else if (v != nullptr && v->IsUint()) {
    want_int = static_cast<int32_t>(v->GetUint());
  }
  fuzz::Check(GetJsonInt(doc, key) == want_int, "GetJsonInt disagrees");
  int64_t want_int64 = v != nullptr && v->IsInt64() ? v->GetInt64() : -1;
  fuzz::Check(GetJsonInt64(doc, key) == want_int64, "GetJsonInt64 disagrees");
  fuzz::Check(HasJsonBool(doc, key) == (v != nullptr && v->IsBool()), "HasJsonBool disagrees");
}

// Received JSON through the core's in-place parse with its depth cap, checked against a plain
// rapidjson parse of the same text: both agree on what parses (up to the cap, which no input
// gets past), and every reader returns what the reference holds.
inline int JsonFuzzOne(const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(INT32_MAX)) return 0;
  const char* text = reinterpret_cast<const char*>(data);
  JsonStr copy(text, static_cast<int>(size));
  const size_t used = size == 0 ? 2 : size;  // no data holds "{}"
  fuzz::Check(copy.capacity() == used + 1 && copy.data()[used] == '\0', "JsonStr copy");

  // Both parsers stop at the first NUL.
  std::string reference_text(copy.data(), std::strlen(copy.data()));
  rapidjson::Document ref;
  ref.Parse<rapidjson::kParseIterativeFlag>(reference_text.c_str());
  const bool ref_ok = !ref.HasParseError();

  rapidjson::Document doc;
  const bool ok = ParseJsonInsitu(copy, doc);
  fuzz::Check(ok == (ref_ok && JsonFuzzDepth(ref) <= kMaxJsonDepth),
              "parse result differs from rapidjson within the depth cap");
  if (!ok) return 0;
  fuzz::Check(JsonFuzzDepth(doc) <= kMaxJsonDepth, "depth cap bypassed");

  static const char* const kKeys[] = {"Cmd", "Code", "MsgId", "Status", "Encrypt", "", "x"};
  for (const char* key : kKeys) JsonFuzzCompareReaders(doc, ref, key);
  if (ref.IsObject()) {
    for (rapidjson::SizeType i = 0; i < ref.MemberCount(); ++i) {
      JsonFuzzCompareReaders(doc, ref, (ref.MemberBegin() + i)->name.GetString());
    }
  }
  return 0;
}

}  // namespace vy

#endif  // FUZZ_JSON_FUZZ_TARGET_H_
