#include "core/json_util.h"

#include <cstring>

namespace vy {

void JsonStr::SetData(const char* data, int length) {
  if (data != nullptr && length >= 1) {
    size_t n = static_cast<size_t>(length);
    data_.reset(new char[n + 1]);
    std::memcpy(data_.get(), data, n);
    data_[n] = '\0';
    capacity_ = n + 1;
  } else {
    data_.reset(new char[3]{'{', '}', '\0'});
    capacity_ = 3;
  }
}

bool JsonDepthWithin(const char* text, size_t length, int maxDepth) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > maxDepth) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

bool ParseJsonInsitu(JsonStr& text, rapidjson::Document& doc) {
  char* data = text.data();
  if (!JsonDepthWithin(data, std::strlen(data), kMaxJsonDepth)) return false;
  doc.ParseInsitu<rapidjson::kParseIterativeFlag>(data);
  return !doc.HasParseError();
}

const rapidjson::Value* FindJsonMember(const rapidjson::Value& doc, const char* key) {
  if (!doc.IsObject() || key == nullptr) return nullptr;
  auto it = doc.FindMember(key);
  return it == doc.MemberEnd() ? nullptr : &it->value;
}

const char* GetJsonStr(const rapidjson::Value& doc, const char* key) {
  const rapidjson::Value* v = FindJsonMember(doc, key);
  return v != nullptr && v->IsString() ? v->GetString() : "";
}

int32_t GetJsonInt(const rapidjson::Value& doc, const char* key) {
  const rapidjson::Value* v = FindJsonMember(doc, key);
  if (v == nullptr) return -1;
  if (v->IsInt()) return v->GetInt();
  if (v->IsUint()) return static_cast<int32_t>(v->GetUint());
  return -1;
}

int64_t GetJsonInt64(const rapidjson::Value& doc, const char* key) {
  const rapidjson::Value* v = FindJsonMember(doc, key);
  return v != nullptr && v->IsInt64() ? v->GetInt64() : -1;
}

bool HasJsonBool(const rapidjson::Value& doc, const char* key) {
  const rapidjson::Value* v = FindJsonMember(doc, key);
  return v != nullptr && v->IsBool();
}

}  // namespace vy
