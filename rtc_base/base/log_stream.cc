#include "rtc_base/base/log_stream.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

namespace rtc {

LogStream& LogStream::operator<<(const char* s) {
  str_.append(s ? s : "(null)");
  return *this;
}

LogStream& LogStream::AppendSigned(long long v) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof(buf), v);
  str_.append(buf, result.ptr);
  return *this;
}

LogStream& LogStream::AppendUnsigned(unsigned long long v) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof(buf), v);
  str_.append(buf, result.ptr);
  return *this;
}

LogStream& LogStream::operator<<(double v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%g", v);
  str_.append(buf);
  return *this;
}

LogStream& LogStream::operator<<(long double v) {
  char buf[48];
  snprintf(buf, sizeof(buf), "%Lg", v);
  str_.append(buf);
  return *this;
}

LogStream& LogStream::operator<<(const void* p) {
  // The whole address: on a 64-bit system the low 32 bits alone can make two pointers look alike.
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof(buf), reinterpret_cast<std::uintptr_t>(p), 16);
  str_.append(buf, result.ptr);
  return *this;
}

}  // namespace rtc
