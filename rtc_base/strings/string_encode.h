#ifndef RTC_BASE_STRINGS_STRING_ENCODE_H_
#define RTC_BASE_STRINGS_STRING_ENCODE_H_

#include <stddef.h>

#include <string>
#include <vector>

namespace rtc {

// Functions with an output array (buffer, buflen) write at most buflen bytes including the
// NUL they add, and return the bytes written without it. buflen 0 writes nothing.

// Copies `source`, putting `escape` before every byte that is `escape` itself or occurs in the
// NUL-terminated `illegal` set; a NUL byte always counts as illegal. Note that an escaped NUL
// stays a NUL in the output, so callers must go by the returned length.
size_t escape(char* buffer, size_t buflen, const char* source, size_t srclen, const char* illegal,
              char escape);
// Drops every `escape` that is not the last source byte and copies the byte after it as is.
size_t unescape(char* buffer, size_t buflen, const char* source, size_t srclen, char escape);

// Like escape(), but an escaped byte becomes `escape` and two lower-case hex digits. An
// encoded byte that does not fit whole ends the output.
size_t encode(char* buffer, size_t buflen, const char* source, size_t srclen, const char* illegal,
              char escape);
// Turns `escape` and two hex digits back into their byte; anything else is copied as is.
size_t decode(char* buffer, size_t buflen, const char* source, size_t srclen, char escape);

// Characters that may not appear in a file name: '/', '\\', ':', DEL and the control
// characters (NUL is always illegal for encode()). For use as encode()'s `illegal` set.
const char* unsafe_filename_characters();

// The lower-case hex digit of `val`, or '!' when it is 16 or more.
char hex_encode(unsigned char val);
// '0'-'9', 'a'-'f' and 'A'-'F'; false (and `val` untouched) for anything else.
bool hex_decode(char ch, unsigned char* val);

// Length of the hex text of `srclen` bytes: with a delimiter (not NUL) between bytes,
// srclen * 3 - 1, else srclen * 2.
size_t hex_encode_output_length(size_t srclen, char delimiter);
// Writes exactly hex_encode_output_length() characters, without terminator.
void hex_encode_with_delimiter(char* buffer, const char* source, size_t srclen, char delimiter);

std::string hex_encode(const std::string& str);
std::string hex_encode(const char* source, size_t srclen);
std::string hex_encode_with_delimiter(const char* source, size_t srclen, char delimiter);

// Decodes pairs of hex digits, separated by `delimiter` unless it is NUL. Returns the bytes
// decoded, or 0 when the buffer is too small or the text is malformed (bytes decoded before
// the fault stay in the buffer). Adds no terminator.
size_t hex_decode(char* buffer, size_t buflen, const char* source, size_t srclen);
size_t hex_decode_with_delimiter(char* buffer, size_t buflen, const char* source, size_t srclen,
                                 char delimiter);
size_t hex_decode(char* buffer, size_t buflen, const std::string& source);
size_t hex_decode_with_delimiter(char* buffer, size_t buflen, const std::string& source,
                                 char delimiter);

// Splitting. Each returns the number of fields afterwards.

// Splits at every delimiter, keeping only non-empty pieces.
size_t tokenize(const std::string& source, char delimiter, std::vector<std::string>* fields);
// Splits at every delimiter, keeping empty pieces: "" gives one empty field.
size_t tokenize_with_empty_tokens(const std::string& source, char delimiter,
                                  std::vector<std::string>* fields);
// The same as tokenize_with_empty_tokens().
size_t split(const std::string& source, char delimiter, std::vector<std::string>* fields);
// Appends the tokenize() result to `fields` instead of replacing them.
size_t tokenize_append(const std::string& source, char delimiter, std::vector<std::string>* fields);
// Like tokenize(), but text between `start_mark` and `end_mark` is one field, untouched. The
// character just before a start mark is taken to be a delimiter and dropped.
size_t tokenize(const std::string& source, char delimiter, char start_mark, char end_mark,
                std::vector<std::string>* fields);
// Splits at the first delimiter: `token` gets the text before it, `rest` the text after the
// run of delimiters there. False, outputs untouched, when there is no delimiter.
bool tokenize_first(const std::string& source, char delimiter, std::string* token,
                    std::string* rest);
// The elements with one delimiter between neighbours.
std::string join(const std::vector<std::string>& source, char delimiter);

// Text forms of values.
std::string ToString(bool b);
std::string ToString(const char* s);
std::string ToString(const std::string& s);
std::string ToString(short s);           // NOLINT
std::string ToString(unsigned short s);  // NOLINT
std::string ToString(int s);
std::string ToString(unsigned int s);
std::string ToString(long s);                // NOLINT
std::string ToString(unsigned long s);       // NOLINT
std::string ToString(long long s);           // NOLINT
std::string ToString(unsigned long long s);  // NOLINT
std::string ToString(double t);
std::string ToString(long double t);
std::string ToString(const void* p);

// Exactly "true" or "false"; anything else returns false and leaves `b` untouched.
bool FromString(const std::string& s, bool* b);

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_STRING_ENCODE_H_
