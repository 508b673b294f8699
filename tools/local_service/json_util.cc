#include "local_service/json_util.h"

#include "rapidjson/error/en.h"

namespace local_service {

bool ParseJson(std::string_view text, rapidjson::Document* doc, std::string* error) {
  doc->Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  if (doc->HasParseError()) {
    if (error) {
      *error = std::string(rapidjson::GetParseError_En(doc->GetParseError())) + " at offset " +
               std::to_string(doc->GetErrorOffset());
    }
    return false;
  }
  return true;
}

bool ParseJsonObject(std::string_view text, rapidjson::Document* doc, std::string* error) {
  if (!ParseJson(text, doc, error)) return false;
  if (!doc->IsObject()) {
    if (error) *error = "not a JSON object";
    return false;
  }
  return true;
}

std::string ToJson(const rapidjson::Value& v) {
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  v.Accept(w);
  return std::string(sb.GetString(), sb.GetSize());
}

std::optional<std::string> GetString(const rapidjson::Value& obj, const char* key) {
  if (!obj.IsObject()) return std::nullopt;
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd() || !it->value.IsString()) return std::nullopt;
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

std::optional<int64_t> GetInt64(const rapidjson::Value& obj, const char* key) {
  if (!obj.IsObject()) return std::nullopt;
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd() || !it->value.IsInt64()) return std::nullopt;
  return it->value.GetInt64();
}

std::optional<bool> GetBool(const rapidjson::Value& obj, const char* key) {
  if (!obj.IsObject()) return std::nullopt;
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd() || !it->value.IsBool()) return std::nullopt;
  return it->value.GetBool();
}

std::optional<std::vector<std::string>> GetStringListText(const rapidjson::Value& obj,
                                                          const char* key) {
  auto text = GetString(obj, key);
  if (!text) return std::nullopt;
  rapidjson::Document doc;
  if (!ParseJson(*text, &doc) || !doc.IsArray()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& v : doc.GetArray()) {
    if (!v.IsString()) return std::nullopt;
    out.emplace_back(v.GetString(), v.GetStringLength());
  }
  return out;
}

}  // namespace local_service
