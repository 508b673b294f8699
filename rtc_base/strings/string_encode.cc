#include "rtc_base/strings/string_encode.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

namespace rtc {

namespace {

const char kHexDigits[] = "0123456789abcdef";

// Room for any number printed by ToString().
constexpr size_t kNumberBufferSize = 32;

template <typename T>
std::string FormatNumber(const char* fmt, T value) {
  char buf[kNumberBufferSize];
  const int len = snprintf(buf, sizeof(buf), fmt, value);
  if (len < 0) return std::string();
  return std::string(buf, std::min(static_cast<size_t>(len), sizeof(buf) - 1));
}

}  // namespace

size_t escape(char* buffer, size_t buflen, const char* source, size_t srclen, const char* illegal,
              char escape) {
  if (buflen == 0) return 0;
  if (!illegal) illegal = "";
  size_t srcpos = 0, bufpos = 0;
  while (srcpos < srclen && bufpos + 1 < buflen) {
    const char ch = source[srcpos++];
    // strchr() finds the set's terminator for a NUL byte, so NUL is always escaped.
    if (ch == escape || strchr(illegal, ch)) {
      if (bufpos + 2 >= buflen) break;
      buffer[bufpos++] = escape;
    }
    buffer[bufpos++] = ch;
  }
  buffer[bufpos] = '\0';
  return bufpos;
}

size_t unescape(char* buffer, size_t buflen, const char* source, size_t srclen, char escape) {
  if (buflen == 0) return 0;
  size_t srcpos = 0, bufpos = 0;
  while (srcpos < srclen && bufpos + 1 < buflen) {
    char ch = source[srcpos++];
    if (ch == escape && srcpos < srclen) {
      ch = source[srcpos++];
    }
    buffer[bufpos++] = ch;
  }
  buffer[bufpos] = '\0';
  return bufpos;
}

size_t encode(char* buffer, size_t buflen, const char* source, size_t srclen, const char* illegal,
              char escape) {
  if (buflen == 0) return 0;
  if (!illegal) illegal = "";
  size_t srcpos = 0, bufpos = 0;
  while (srcpos < srclen && bufpos + 1 < buflen) {
    const unsigned char ch = static_cast<unsigned char>(source[srcpos++]);
    if (static_cast<char>(ch) != escape && !strchr(illegal, static_cast<char>(ch))) {
      buffer[bufpos++] = static_cast<char>(ch);
    } else if (bufpos + 3 >= buflen) {
      break;
    } else {
      buffer[bufpos + 0] = escape;
      buffer[bufpos + 1] = hex_encode((ch >> 4) & 0xF);
      buffer[bufpos + 2] = hex_encode(ch & 0xF);
      bufpos += 3;
    }
  }
  buffer[bufpos] = '\0';
  return bufpos;
}

size_t decode(char* buffer, size_t buflen, const char* source, size_t srclen, char escape) {
  if (buflen == 0) return 0;
  size_t srcpos = 0, bufpos = 0;
  while (srcpos < srclen && bufpos + 1 < buflen) {
    char ch = source[srcpos++];
    unsigned char h1, h2;
    if (ch == escape && srcpos + 1 < srclen && hex_decode(source[srcpos], &h1) &&
        hex_decode(source[srcpos + 1], &h2)) {
      ch = static_cast<char>((h1 << 4) | h2);
      srcpos += 2;
    }
    buffer[bufpos++] = ch;
  }
  buffer[bufpos] = '\0';
  return bufpos;
}

const char* unsafe_filename_characters() {
  // Path separators of any platform, the drive separator, DEL and the control characters:
  // file names built from URLs must not leave their folder. NUL is implied by the
  // terminator.
  static const char kUnsafe[] =
      "/\\:\x7f\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
      "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f";
  return kUnsafe;
}

char hex_encode(unsigned char val) { return val < 16 ? kHexDigits[val] : '!'; }

namespace {

// Value of each hex digit character, or -1; a table keeps decoding free of branches on
// the character class.
constexpr std::array<int8_t, 256> MakeHexValues() {
  std::array<int8_t, 256> values{};
  for (int c = 0; c < 256; ++c) {
    if (c >= '0' && c <= '9') {
      values[c] = static_cast<int8_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      values[c] = static_cast<int8_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      values[c] = static_cast<int8_t>(c - 'A' + 10);
    } else {
      values[c] = -1;
    }
  }
  return values;
}

constexpr std::array<int8_t, 256> kHexValues = MakeHexValues();

}  // namespace

bool hex_decode(char ch, unsigned char* val) {
  const int8_t v = kHexValues[static_cast<unsigned char>(ch)];
  if (v < 0) return false;
  *val = static_cast<unsigned char>(v);
  return true;
}

size_t hex_encode_output_length(size_t srclen, char delimiter) {
  return delimiter && srclen > 0 ? srclen * 3 - 1 : srclen * 2;
}

void hex_encode_with_delimiter(char* buffer, const char* csource, size_t srclen, char delimiter) {
  const auto* source = reinterpret_cast<const unsigned char*>(csource);
  size_t bufpos = 0;
  for (size_t srcpos = 0; srcpos < srclen; ++srcpos) {
    const unsigned char ch = source[srcpos];
    buffer[bufpos++] = kHexDigits[ch >> 4];
    buffer[bufpos++] = kHexDigits[ch & 0xF];
    if (delimiter && srcpos + 1 < srclen) buffer[bufpos++] = delimiter;
  }
}

std::string hex_encode(const std::string& str) { return hex_encode(str.data(), str.size()); }

std::string hex_encode(const char* source, size_t srclen) {
  return hex_encode_with_delimiter(source, srclen, 0);
}

std::string hex_encode_with_delimiter(const char* source, size_t srclen, char delimiter) {
  std::string s(hex_encode_output_length(srclen, delimiter), '\0');
  hex_encode_with_delimiter(s.data(), source, srclen, delimiter);
  return s;
}

size_t hex_decode(char* buffer, size_t buflen, const char* source, size_t srclen) {
  return hex_decode_with_delimiter(buffer, buflen, source, srclen, 0);
}

size_t hex_decode_with_delimiter(char* cbuffer, size_t buflen, const char* source, size_t srclen,
                                 char delimiter) {
  if (buflen == 0 || srclen == 0) return 0;
  // Every pair but the last is followed by a delimiter, so this bounds the output.
  const size_t needed = delimiter ? (srclen + 1) / 3 : srclen / 2;
  if (buflen < needed) return 0;

  auto* buffer = reinterpret_cast<unsigned char*>(cbuffer);
  size_t srcpos = 0, bufpos = 0;
  while (srcpos < srclen) {
    if (srclen - srcpos < 2) return 0;  // A lone digit is left over.
    unsigned char h1, h2;
    if (!hex_decode(source[srcpos], &h1) || !hex_decode(source[srcpos + 1], &h2)) return 0;
    buffer[bufpos++] = static_cast<unsigned char>((h1 << 4) | h2);
    srcpos += 2;
    if (delimiter && srclen - srcpos > 1) {
      if (source[srcpos] != delimiter) return 0;
      ++srcpos;
    }
  }
  return bufpos;
}

size_t hex_decode(char* buffer, size_t buflen, const std::string& source) {
  return hex_decode_with_delimiter(buffer, buflen, source, 0);
}

size_t hex_decode_with_delimiter(char* buffer, size_t buflen, const std::string& source,
                                 char delimiter) {
  return hex_decode_with_delimiter(buffer, buflen, source.data(), source.size(), delimiter);
}

size_t tokenize(const std::string& source, char delimiter, std::vector<std::string>* fields) {
  if (!fields) return 0;
  fields->clear();
  size_t last = 0;
  for (size_t i = 0; i < source.length(); ++i) {
    if (source[i] == delimiter) {
      if (i != last) fields->push_back(source.substr(last, i - last));
      last = i + 1;
    }
  }
  if (last != source.length()) fields->push_back(source.substr(last));
  return fields->size();
}

size_t tokenize_with_empty_tokens(const std::string& source, char delimiter,
                                  std::vector<std::string>* fields) {
  if (!fields) return 0;
  fields->clear();
  size_t last = 0;
  for (size_t i = 0; i < source.length(); ++i) {
    if (source[i] == delimiter) {
      fields->push_back(source.substr(last, i - last));
      last = i + 1;
    }
  }
  fields->push_back(source.substr(last));
  return fields->size();
}

size_t split(const std::string& source, char delimiter, std::vector<std::string>* fields) {
  return tokenize_with_empty_tokens(source, delimiter, fields);
}

size_t tokenize_append(const std::string& source, char delimiter,
                       std::vector<std::string>* fields) {
  if (!fields) return 0;
  std::vector<std::string> new_fields;
  tokenize(source, delimiter, &new_fields);
  fields->insert(fields->end(), std::make_move_iterator(new_fields.begin()),
                 std::make_move_iterator(new_fields.end()));
  return fields->size();
}

size_t tokenize(const std::string& source, char delimiter, char start_mark, char end_mark,
                std::vector<std::string>* fields) {
  if (!fields) return 0;
  fields->clear();

  std::string remain = source;
  while (!remain.empty()) {
    size_t start_pos = remain.find(start_mark);
    if (start_pos == std::string::npos) break;
    const size_t end_pos = remain.find(end_mark, start_pos + 1);
    if (end_pos == std::string::npos) break;
    // The character just before the mark is taken to be a delimiter. With the mark at the
    // very start there is nothing before it.
    if (start_pos > 0) {
      tokenize_append(remain.substr(0, start_pos - 1), delimiter, fields);
    }
    fields->push_back(remain.substr(start_pos + 1, end_pos - start_pos - 1));
    remain = remain.substr(end_pos + 1);
  }
  return tokenize_append(remain, delimiter, fields);
}

bool tokenize_first(const std::string& source, char delimiter, std::string* token,
                    std::string* rest) {
  const size_t left_pos = source.find(delimiter);
  if (left_pos == std::string::npos || !token || !rest) return false;
  size_t right_pos = left_pos + 1;
  while (right_pos < source.size() && source[right_pos] == delimiter) ++right_pos;
  *token = source.substr(0, left_pos);
  *rest = source.substr(right_pos);
  return true;
}

std::string join(const std::vector<std::string>& source, char delimiter) {
  if (source.empty()) return std::string();
  size_t total = source.size() - 1;
  for (const std::string& s : source) total += s.size();
  std::string joined;
  joined.reserve(total);
  for (size_t i = 0; i < source.size(); ++i) {
    if (i > 0) joined += delimiter;
    joined += source[i];
  }
  return joined;
}

std::string ToString(bool b) { return b ? "true" : "false"; }
std::string ToString(const char* s) { return s ? std::string(s) : std::string("(null)"); }
std::string ToString(const std::string& s) { return s; }
std::string ToString(short s) { return FormatNumber("%hd", s); }
std::string ToString(unsigned short s) { return FormatNumber("%hu", s); }
std::string ToString(int s) { return FormatNumber("%d", s); }
std::string ToString(unsigned int s) { return FormatNumber("%u", s); }
std::string ToString(long s) { return FormatNumber("%ld", s); }
std::string ToString(unsigned long s) { return FormatNumber("%lu", s); }
std::string ToString(long long s) { return FormatNumber("%lld", s); }
std::string ToString(unsigned long long s) { return FormatNumber("%llu", s); }
std::string ToString(double d) { return FormatNumber("%g", d); }
std::string ToString(long double d) { return FormatNumber("%Lg", d); }
std::string ToString(const void* p) { return FormatNumber("%p", p); }

bool FromString(const std::string& s, bool* b) {
  if (s == "false") {
    *b = false;
    return true;
  }
  if (s == "true") {
    *b = true;
    return true;
  }
  return false;
}

}  // namespace rtc
