#include "core/call_wire.h"

#include <cstring>

#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace vy {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void Member(Writer& w, const char* key, const std::string& value) {
  w.Key(key, static_cast<rapidjson::SizeType>(strlen(key)));
  w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

void Head(Writer& w, const std::string& call_id, const std::string& from, const std::string& to) {
  w.StartObject();
  Member(w, "CallId", call_id);
  Member(w, "FromUId", from);
  Member(w, "ToUId", to);
}

}  // namespace

std::string BuildCallBody(const std::string& call_id, const std::string& from,
                          const std::string& to, const char* text_key, const std::string& text) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  Head(w, call_id, from, to);
  Member(w, text_key, text);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string BuildCallAckBody(const std::string& call_id, const std::string& from,
                             const std::string& to, int code) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  Head(w, call_id, from, to);
  w.Key("Code");
  w.Int(code);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace vy
