#include "rtc_base/strings/string_utils.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <vector>

namespace rtc {

namespace {

// Evaluates the wildcard match with memoisation. The plain recursive form tries every
// position for every '*' and takes exponential time on patterns such as "*a*a*a*b"; caching
// each (target position, pattern position) result bounds the work by the product of the
// lengths times the target length, without changing which texts match.
class WildcardMatcher {
 public:
  WildcardMatcher(const char* target, const char* pattern)
      : target_(target),
        pattern_(pattern),
        target_len_(strlen(target)),
        pattern_len_(strlen(pattern)) {}

  bool Match(size_t t, size_t p) {
    while (p < pattern_len_) {
      if (pattern_[p] == '*') {
        ++p;
        if (p == pattern_len_) return true;
        // The character after a '*' must match some target character, and the rest of the
        // pattern the text after it. This character is compared literally, even a '*'.
        for (; t < target_len_; ++t) {
          if (Same(pattern_[p], target_[t]) && CachedMatch(t + 1, p + 1)) return true;
        }
        return false;
      }
      if (t == target_len_ || !Same(pattern_[p], target_[t])) return false;
      ++t;
      ++p;
    }
    return t == target_len_;
  }

 private:
  enum : unsigned char { kUnknown = 0, kNo = 1, kYes = 2 };

  static bool Same(char a, char b) {
    return toupper(static_cast<unsigned char>(a)) == toupper(static_cast<unsigned char>(b));
  }

  bool CachedMatch(size_t t, size_t p) {
    if (!memo_) {
      // Host names against bypass patterns fit in the stack array.
      const size_t cells = (target_len_ + 1) * (pattern_len_ + 1);
      if (cells <= sizeof(small_memo_)) {
        memo_ = small_memo_;
      } else {
        large_memo_.resize(cells);
        memo_ = large_memo_.data();
      }
      memset(memo_, kUnknown, cells);
    }
    unsigned char& slot = memo_[t * (pattern_len_ + 1) + p];
    if (slot == kUnknown) slot = Match(t, p) ? kYes : kNo;
    return slot == kYes;
  }

  const char* const target_;
  const char* const pattern_;
  const size_t target_len_;
  const size_t pattern_len_;
  unsigned char* memo_ = nullptr;
  unsigned char small_memo_[4096];
  std::vector<unsigned char> large_memo_;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool string_match(const char* target, const char* pattern) {
  return WildcardMatcher(target, pattern).Match(0, 0);
}

bool memory_check(const void* memory, int c, size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(memory);
  const auto value = static_cast<unsigned char>(c);
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

size_t strcpyn(char* buffer, size_t buflen, const char* source, size_t srclen) {
  if (buflen == 0) return 0;
  if (srclen == SIZE_UNKNOWN) srclen = strlen(source);
  if (srclen >= buflen) srclen = buflen - 1;
  memcpy(buffer, source, srclen);
  buffer[srclen] = '\0';
  return srclen;
}

std::string string_trim(const std::string& s) {
  size_t first = 0;
  while (first < s.size() && IsBlank(s[first])) ++first;
  size_t last = s.size();
  while (last > first && IsBlank(s[last - 1])) --last;
  return s.substr(first, last - first);
}

void replace_substrs(const char* search, size_t search_len, const char* replace, size_t replace_len,
                     std::string* s) {
  // An empty search text matches everywhere and would never advance.
  if (search_len == 0 || !s) return;
  size_t pos = 0;
  while ((pos = s->find(search, pos, search_len)) != std::string::npos) {
    s->replace(pos, search_len, replace, replace_len);
    pos += replace_len;
  }
}

std::string ToHex(int i) {
  char buffer[16];
  snprintf(buffer, sizeof(buffer), "%x", static_cast<unsigned>(i));
  return std::string(buffer);
}

std::string LeftPad(char padding, unsigned length, std::string s) {
  if (s.length() >= length) return s;
  return std::string(length - s.length(), padding) + s;
}

bool EndsWith(std::string_view s, std::string_view suffix) { return s.ends_with(suffix); }

std::string StripControlCharacters(const std::string& s) {
  std::string clean;
  for (char ch : s) {
    if (static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f) {
      clean.push_back(ch);
    }
  }
  return clean;
}

}  // namespace rtc
