#ifndef RTC_BASE_STRINGS_STRING_BUILDER_H_
#define RTC_BASE_STRINGS_STRING_BUILDER_H_

#include <stddef.h>

#include <string>
#include <string_view>
#include <utility>

#include "absl/strings/string_view.h"

namespace rtc {

// Builds a text in a character array owned by the caller. It never allocates; what does not
// fit is dropped silently, and the text always stays NUL-terminated.
class SimpleStringBuilder {
 public:
  // `size` counts the terminating NUL and must be at least 1.
  SimpleStringBuilder(char* buffer, size_t size);
  template <size_t N>
  explicit SimpleStringBuilder(char (&buffer)[N]) : SimpleStringBuilder(buffer, N) {}

  SimpleStringBuilder(const SimpleStringBuilder&) = delete;
  SimpleStringBuilder& operator=(const SimpleStringBuilder&) = delete;

  SimpleStringBuilder& operator<<(const char* str);
  SimpleStringBuilder& operator<<(char ch);
  SimpleStringBuilder& operator<<(const std::string& str);
  SimpleStringBuilder& operator<<(std::string_view str);
  SimpleStringBuilder& operator<<(int i);
  SimpleStringBuilder& operator<<(unsigned i);
  SimpleStringBuilder& operator<<(long i);                // NOLINT
  SimpleStringBuilder& operator<<(long long i);           // NOLINT
  SimpleStringBuilder& operator<<(unsigned long i);       // NOLINT
  SimpleStringBuilder& operator<<(unsigned long long i);  // NOLINT
  SimpleStringBuilder& operator<<(float f);
  SimpleStringBuilder& operator<<(double f);
  SimpleStringBuilder& operator<<(long double f);

  // The text so far, NUL-terminated.
  const char* str() const { return buffer_; }
  // Characters written, always below the array size.
  size_t size() const { return size_; }

  SimpleStringBuilder& AppendFormat(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Appends up to `len` characters of `str`.
  SimpleStringBuilder& Append(const char* str, size_t len);

 private:
  char* const buffer_;
  const size_t buffer_size_;
  size_t size_ = 0;
};

// Builds a text in a growable std::string.
class StringBuilder {
 public:
  StringBuilder() = default;
  explicit StringBuilder(std::string_view s) : str_(s) {}

  StringBuilder& operator<<(const char* str);
  StringBuilder& operator<<(const std::string& str);
  StringBuilder& operator<<(std::string_view str);
  StringBuilder& operator<<(absl::string_view str);
  StringBuilder& operator<<(char c);
  StringBuilder& operator<<(int i);
  StringBuilder& operator<<(unsigned i);
  StringBuilder& operator<<(long i);                // NOLINT
  StringBuilder& operator<<(long long i);           // NOLINT
  StringBuilder& operator<<(unsigned long i);       // NOLINT
  StringBuilder& operator<<(unsigned long long i);  // NOLINT
  StringBuilder& operator<<(float f);
  StringBuilder& operator<<(double f);
  StringBuilder& operator<<(long double f);

  const std::string& str() const { return str_; }
  size_t size() const { return str_.size(); }
  void Clear() { str_.clear(); }
  // Hands the text over and leaves the builder empty.
  std::string Release() {
    std::string ret = std::move(str_);
    str_.clear();
    return ret;
  }

  StringBuilder& AppendFormat(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::string str_;
};

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_STRING_BUILDER_H_
