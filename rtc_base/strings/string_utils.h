#ifndef RTC_BASE_STRINGS_STRING_UTILS_H_
#define RTC_BASE_STRINGS_STRING_UTILS_H_

#include <stddef.h>

#include <string>
#include <string_view>

namespace rtc {

// Passed as a source length, asks for the length to be taken with strlen().
inline constexpr size_t SIZE_UNKNOWN = static_cast<size_t>(-1);

// Case-insensitive match of the whole `target` against `pattern`, where '*' matches any run of
// characters (none included). A '*' straight after a '*' stands for a literal '*'.
bool string_match(const char* target, const char* pattern);

// True when all `count` bytes at `memory` equal `c` (also when `count` is 0).
bool memory_check(const void* memory, int c, size_t count);

// Copies at most buflen - 1 characters of `source` and terminates; returns the characters
// copied. buflen 0 writes nothing.
size_t strcpyn(char* buffer, size_t buflen, const char* source, size_t srclen = SIZE_UNKNOWN);

// `s` without leading and trailing spaces, TABs, LFs and CRs.
std::string string_trim(const std::string& s);

// Replaces every occurrence of `search` in `s`, left to right; inserted text is never searched
// again. An empty search text changes nothing.
void replace_substrs(const char* search, size_t search_len, const char* replace, size_t replace_len,
                     std::string* s);

// "%x" of the value taken as unsigned: -1 gives "ffffffff".
std::string ToHex(int i);

// `s` preceded by enough `padding` characters to make it `length` long.
std::string LeftPad(char padding, unsigned length, std::string s);

bool EndsWith(std::string_view s, std::string_view suffix);

// `s` without control characters (below 0x20, and DEL), so that it cannot end a header line.
std::string StripControlCharacters(const std::string& s);

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_STRING_UTILS_H_
