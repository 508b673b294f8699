#include "core/json_util.h"

#include <cstring>

namespace vy {

void JsonStr::SetData(const char* data, int length) {
  if (data == nullptr || length < 1) {
    data = "{}";
    length = 2;
  }
  size_t n = static_cast<size_t>(length);
  // The buffer is kept for the next text unless it is far larger than needed.
  if (n + 1 > capacity_ || capacity_ > kKeepCapacity) {
    data_.reset(new char[n + 1]);
    capacity_ = n + 1;
  }
  std::memcpy(data_.get(), data, n);
  data_[n] = '\0';
  used_ = n + 1;
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

namespace {

// Builds the document from the reader's events and refuses nesting beyond `max_depth` as it
// parses, so no separate scan of the text is needed.
class DepthBoundBuilder {
 public:
  DepthBoundBuilder(rapidjson::Document& doc, int max_depth) : doc_(doc), max_depth_(max_depth) {}

  bool Null() { return doc_.Null(); }
  bool Bool(bool b) { return doc_.Bool(b); }
  bool Int(int i) { return doc_.Int(i); }
  bool Uint(unsigned i) { return doc_.Uint(i); }
  bool Int64(int64_t i) { return doc_.Int64(i); }
  bool Uint64(uint64_t i) { return doc_.Uint64(i); }
  bool Double(double d) { return doc_.Double(d); }
  bool RawNumber(const char* str, rapidjson::SizeType length, bool copy) {
    return doc_.RawNumber(str, length, copy);
  }
  bool String(const char* str, rapidjson::SizeType length, bool copy) {
    return doc_.String(str, length, copy);
  }
  bool Key(const char* str, rapidjson::SizeType length, bool copy) {
    return doc_.Key(str, length, copy);
  }
  bool StartObject() { return ++depth_ <= max_depth_ && doc_.StartObject(); }
  bool EndObject(rapidjson::SizeType members) {
    --depth_;
    return doc_.EndObject(members);
  }
  bool StartArray() { return ++depth_ <= max_depth_ && doc_.StartArray(); }
  bool EndArray(rapidjson::SizeType elements) {
    --depth_;
    return doc_.EndArray(elements);
  }

 private:
  rapidjson::Document& doc_;
  const int max_depth_;
  int depth_ = 0;
};

}  // namespace

bool ParseJsonInsitu(char* text, rapidjson::Document& doc) {
  bool ok = false;
  // The reader's stack is kept by the thread from one text to the next.
  thread_local rapidjson::Reader reader;
  auto generate = [&](rapidjson::Document& d) {
    DepthBoundBuilder builder(d, kMaxJsonDepth);
    rapidjson::InsituStringStream stream(text);
    ok =
        !reader.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag>(stream, builder)
             .IsError();
    return ok;
  };
  doc.Populate(generate);
  return ok;
}

bool ParseJsonInsitu(JsonStr& text, rapidjson::Document& doc) {
  return ParseJsonInsitu(text.data(), doc);
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
