#ifndef CORE_JSON_UTIL_H_
#define CORE_JSON_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "rapidjson/document.h"

namespace vy {

// A writable, NUL-terminated copy of a text for rapidjson's in-place parsing. Strings of a
// document parsed from it point into this copy, so it must outlive the document.
class JsonStr {
 public:
  JsonStr() { SetData(nullptr, 0); }
  JsonStr(const char* data, int length) { SetData(data, length); }

  JsonStr(const JsonStr&) = delete;
  JsonStr& operator=(const JsonStr&) = delete;

  // Copies `length` bytes and a NUL; with no data (null or length below 1) holds "{}".
  void SetData(const char* data, int length);

  char* data() { return data_.get(); }
  const char* data() const { return data_.get(); }
  // Bytes of the text held, the NUL included.
  size_t capacity() const { return used_; }
  // Bytes allocated for it.
  size_t allocated() const { return capacity_; }
  // Gives back a buffer of more than `keep` bytes; the text becomes "{}".
  void Shrink(size_t keep) {
    if (capacity_ <= keep) return;
    data_.reset();
    capacity_ = 0;
    SetData(nullptr, 0);
  }

 private:
  // A buffer up to this size is reused by the next SetData.
  static constexpr size_t kKeepCapacity = 64 * 1024;

  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;  // allocated
  size_t used_ = 0;
};

// Received JSON nested deeper than this is refused.
constexpr int kMaxJsonDepth = 64;

// Parses `text` in place into `doc`. Fails (false) on a syntax error or nesting deeper than
// kMaxJsonDepth, which the parse itself bounds. The parser is iterative, so no input can
// exhaust the stack. On failure `doc` is left as it was.
bool ParseJsonInsitu(JsonStr& text, rapidjson::Document& doc);
// The same over a writable NUL-terminated text.
bool ParseJsonInsitu(char* text, rapidjson::Document& doc);

// True when the JSON text nests arrays and objects at most `maxDepth` deep. Only counts
// brackets outside strings; syntax is left to the parser.
bool JsonDepthWithin(const char* text, size_t length, int maxDepth);

// Member readers. Members are read only from objects: any other value reads as an object
// without members. An absent or ill-typed member reads as "" or -1.

// The member's text when it is a string, else "" (a constant).
const char* GetJsonStr(const rapidjson::Value& doc, const char* key);
// The member's value when it is an integer that fits 32 bits, signed or unsigned (an
// unsigned value above 2147483647 comes back wrapped), else -1.
int32_t GetJsonInt(const rapidjson::Value& doc, const char* key);
// The member's value when it is an integer that fits 64 bits signed, else -1.
int64_t GetJsonInt64(const rapidjson::Value& doc, const char* key);
// True when the member is a JSON boolean, whatever its value.
bool HasJsonBool(const rapidjson::Value& doc, const char* key);
// The member when present, else null.
const rapidjson::Value* FindJsonMember(const rapidjson::Value& doc, const char* key);

}  // namespace vy

#endif  // CORE_JSON_UTIL_H_
