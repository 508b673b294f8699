// Small helpers over rapidjson: a compact object writer that keeps keys in the order written,
// a parser that never recurses (deeply nested input cannot exhaust the stack), and readers that
// check every type before use.
#ifndef TOOLS_LOCAL_SERVICE_JSON_UTIL_H_
#define TOOLS_LOCAL_SERVICE_JSON_UTIL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rapidjson/document.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace local_service {

class JsonWriter {
 public:
  JsonWriter() : writer_(buffer_) {}

  JsonWriter& BeginObject() {
    writer_.StartObject();
    return *this;
  }
  JsonWriter& EndObject() {
    writer_.EndObject();
    return *this;
  }
  JsonWriter& BeginArray() {
    writer_.StartArray();
    return *this;
  }
  JsonWriter& EndArray() {
    writer_.EndArray();
    return *this;
  }
  JsonWriter& Key(std::string_view k) {
    writer_.Key(k.data(), static_cast<rapidjson::SizeType>(k.size()));
    return *this;
  }
  JsonWriter& String(std::string_view v) {
    writer_.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
    return *this;
  }
  JsonWriter& Int64(int64_t v) {
    writer_.Int64(v);
    return *this;
  }
  JsonWriter& Bool(bool v) {
    writer_.Bool(v);
    return *this;
  }
  // Inserts already serialised JSON as a value.
  JsonWriter& Raw(std::string_view json) {
    writer_.RawValue(json.data(), json.size(), rapidjson::kObjectType);
    return *this;
  }
  JsonWriter& Value(const rapidjson::Value& v) {
    v.Accept(writer_);
    return *this;
  }

  JsonWriter& Str(std::string_view k, std::string_view v) { return Key(k).String(v); }
  JsonWriter& Int(std::string_view k, int64_t v) { return Key(k).Int64(v); }
  JsonWriter& Flag(std::string_view k, bool v) { return Key(k).Bool(v); }

  std::string Take() { return std::string(buffer_.GetString(), buffer_.GetSize()); }

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// Parses `text` into `doc`; false (with a short reason) on invalid JSON.
bool ParseJson(std::string_view text, rapidjson::Document* doc, std::string* error = nullptr);
// Parses and requires an object.
bool ParseJsonObject(std::string_view text, rapidjson::Document* doc, std::string* error = nullptr);

std::string ToJson(const rapidjson::Value& v);

// Typed member readers: nullopt when the member is absent or of another type.
std::optional<std::string> GetString(const rapidjson::Value& obj, const char* key);
std::optional<int64_t> GetInt64(const rapidjson::Value& obj, const char* key);
std::optional<bool> GetBool(const rapidjson::Value& obj, const char* key);
// A JSON array of strings given as text inside a string member ("UserIds", "Keys"...).
std::optional<std::vector<std::string>> GetStringListText(const rapidjson::Value& obj,
                                                          const char* key);

}  // namespace local_service

#endif  // TOOLS_LOCAL_SERVICE_JSON_UTIL_H_
