#ifndef RTC_BASE_BASE_LOG_STREAM_H_
#define RTC_BASE_BASE_LOG_STREAM_H_

#include <string>
#include <string_view>
#include <type_traits>

#include "absl/strings/string_view.h"

namespace rtc {

// The text of one log line or failed check under construction. Integers print in decimal,
// floating point with "%g"/"%Lg", a null C string as "(null)", pointers as lower-case
// hexadecimal without "0x", bool as "true"/"false", a char as itself, enums as their value.
class LogStream {
 public:
  LogStream() = default;

  LogStream& operator<<(const char* s);
  LogStream& operator<<(const std::string& s) {
    str_.append(s);
    return *this;
  }
  LogStream& operator<<(std::string_view s) {
    str_.append(s.data(), s.size());
    return *this;
  }
  LogStream& operator<<(absl::string_view s) {
    str_.append(s.data(), s.size());
    return *this;
  }
  LogStream& operator<<(char c) {
    str_.push_back(c);
    return *this;
  }
  LogStream& operator<<(bool b) {
    str_.append(b ? "true" : "false");
    return *this;
  }
  LogStream& operator<<(signed char v) { return AppendSigned(v); }
  LogStream& operator<<(unsigned char v) { return AppendUnsigned(v); }
  LogStream& operator<<(short v) { return AppendSigned(v); }
  LogStream& operator<<(unsigned short v) { return AppendUnsigned(v); }
  LogStream& operator<<(int v) { return AppendSigned(v); }
  LogStream& operator<<(unsigned int v) { return AppendUnsigned(v); }
  LogStream& operator<<(long v) { return AppendSigned(v); }
  LogStream& operator<<(unsigned long v) { return AppendUnsigned(v); }
  LogStream& operator<<(long long v) { return AppendSigned(v); }
  LogStream& operator<<(unsigned long long v) { return AppendUnsigned(v); }
  LogStream& operator<<(float v) { return *this << static_cast<double>(v); }
  LogStream& operator<<(double v);
  LogStream& operator<<(long double v);
  LogStream& operator<<(const void* p);
  LogStream& operator<<(std::nullptr_t) { return *this << static_cast<const void*>(nullptr); }

  template <typename T, typename std::enable_if_t<std::is_enum_v<T>, int> = 0>
  LogStream& operator<<(T v) {
    return *this << static_cast<std::underlying_type_t<T>>(v);
  }

  const std::string& str() const { return str_; }
  std::string& mutable_str() { return str_; }

 private:
  LogStream& AppendSigned(long long v);
  LogStream& AppendUnsigned(unsigned long long v);

  std::string str_;
};

}  // namespace rtc

#endif  // RTC_BASE_BASE_LOG_STREAM_H_
