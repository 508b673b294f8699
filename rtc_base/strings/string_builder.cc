#include "rtc_base/strings/string_builder.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "rtc_base/base/checks.h"
#include "rtc_base/strings/string_encode.h"

namespace rtc {

SimpleStringBuilder::SimpleStringBuilder(char* buffer, size_t size)
    : buffer_(buffer), buffer_size_(size) {
  RTC_DCHECK(buffer_ != nullptr);
  RTC_DCHECK_GT(buffer_size_, 0u);
  buffer_[0] = '\0';
}

SimpleStringBuilder& SimpleStringBuilder::Append(const char* str, size_t len) {
  const size_t chars = std::min(len, buffer_size_ - 1 - size_);
  if (chars > 0) memcpy(&buffer_[size_], str, chars);
  size_ += chars;
  buffer_[size_] = '\0';
  return *this;
}

SimpleStringBuilder& SimpleStringBuilder::operator<<(const char* str) {
  if (!str) str = "(null)";
  return Append(str, strlen(str));
}

SimpleStringBuilder& SimpleStringBuilder::operator<<(char ch) {
  if (size_ + 1 < buffer_size_) {
    buffer_[size_++] = ch;
    buffer_[size_] = '\0';
  }
  return *this;
}

SimpleStringBuilder& SimpleStringBuilder::operator<<(const std::string& str) {
  return Append(str.data(), str.size());
}

SimpleStringBuilder& SimpleStringBuilder::operator<<(std::string_view str) {
  return Append(str.data(), str.size());
}

SimpleStringBuilder& SimpleStringBuilder::operator<<(int i) { return AppendFormat("%d", i); }
SimpleStringBuilder& SimpleStringBuilder::operator<<(unsigned i) { return AppendFormat("%u", i); }
SimpleStringBuilder& SimpleStringBuilder::operator<<(long i) { return AppendFormat("%ld", i); }
SimpleStringBuilder& SimpleStringBuilder::operator<<(long long i) {
  return AppendFormat("%lld", i);
}
SimpleStringBuilder& SimpleStringBuilder::operator<<(unsigned long i) {
  return AppendFormat("%lu", i);
}
SimpleStringBuilder& SimpleStringBuilder::operator<<(unsigned long long i) {
  return AppendFormat("%llu", i);
}
SimpleStringBuilder& SimpleStringBuilder::operator<<(float f) {
  return AppendFormat("%g", static_cast<double>(f));
}
SimpleStringBuilder& SimpleStringBuilder::operator<<(double f) { return AppendFormat("%g", f); }
SimpleStringBuilder& SimpleStringBuilder::operator<<(long double f) {
  return AppendFormat("%Lg", f);
}

SimpleStringBuilder& SimpleStringBuilder::AppendFormat(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const int len = vsnprintf(&buffer_[size_], buffer_size_ - size_, fmt, args);
  va_end(args);
  if (len >= 0) {
    size_ += std::min(static_cast<size_t>(len), buffer_size_ - 1 - size_);
  } else {
    // An encoding error may leave partial output behind; cut it off.
    buffer_[size_] = '\0';
  }
  return *this;
}

StringBuilder& StringBuilder::operator<<(const char* str) {
  str_.append(str ? str : "(null)");
  return *this;
}
StringBuilder& StringBuilder::operator<<(const std::string& str) {
  str_.append(str);
  return *this;
}
StringBuilder& StringBuilder::operator<<(std::string_view str) {
  str_.append(str);
  return *this;
}
StringBuilder& StringBuilder::operator<<(absl::string_view str) {
  str_.append(str.data(), str.size());
  return *this;
}
StringBuilder& StringBuilder::operator<<(char c) {
  str_.push_back(c);
  return *this;
}
StringBuilder& StringBuilder::operator<<(int i) {
  str_ += ToString(i);
  return *this;
}
StringBuilder& StringBuilder::operator<<(unsigned i) {
  str_ += ToString(i);
  return *this;
}
StringBuilder& StringBuilder::operator<<(long i) {
  str_ += ToString(i);
  return *this;
}
StringBuilder& StringBuilder::operator<<(long long i) {
  str_ += ToString(i);
  return *this;
}
StringBuilder& StringBuilder::operator<<(unsigned long i) {
  str_ += ToString(i);
  return *this;
}
StringBuilder& StringBuilder::operator<<(unsigned long long i) {
  str_ += ToString(i);
  return *this;
}
StringBuilder& StringBuilder::operator<<(float f) {
  str_ += ToString(static_cast<double>(f));
  return *this;
}
StringBuilder& StringBuilder::operator<<(double f) {
  str_ += ToString(f);
  return *this;
}
StringBuilder& StringBuilder::operator<<(long double f) {
  str_ += ToString(f);
  return *this;
}

StringBuilder& StringBuilder::AppendFormat(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  // Measuring consumes a va_list, so the second pass needs its own copy.
  va_list measure;
  va_copy(measure, args);
  const int len = vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (len > 0) {
    const size_t old_size = str_.size();
    str_.resize(old_size + len + 1);
    vsnprintf(&str_[old_size], len + 1, fmt, args);
    str_.resize(old_size + len);
  }
  va_end(args);
  return *this;
}

}  // namespace rtc
