// Base64 with the standard alphabet and '=' padding. Decoding takes flags that decide how
// foreign characters, padding and the end of the input are treated.
#ifndef RTC_BASE_STRINGS_BASE64_H_
#define RTC_BASE_STRINGS_BASE64_H_

#include <stddef.h>

#include <string>
#include <vector>

namespace rtc {

class Base64 {
 public:
  // Three independent fields; each must be set. Misuse (a zero field, a value outside the
  // masks, a null result) is a programming error and aborts.
  enum DecodeOption {
    DO_PARSE_STRICT = 1,  // Only alphabet characters and '='; anything else stops decoding.
    DO_PARSE_WHITE = 2,   // Whitespace is skipped; other foreign characters stop decoding.
    DO_PARSE_ANY = 3,     // Every foreign character and misplaced pad is skipped.
    DO_PARSE_MASK = 3,

    DO_PAD_YES = 4,  // A final short group must be padded to four characters.
    DO_PAD_ANY = 8,  // Padding is optional.
    DO_PAD_NO = 12,  // '=' counts as a foreign character.
    DO_PAD_MASK = 12,

    DO_TERM_BUFFER = 16,  // The whole input must be consumed.
    DO_TERM_CHAR = 32,    // May stop early, but unused bits of a short group must be zero.
    DO_TERM_ANY = 48,     // May stop anywhere; leftover bits are ignored.
    DO_TERM_MASK = 48,

    DO_STRICT = DO_PARSE_STRICT | DO_PAD_YES | DO_TERM_BUFFER,
    DO_LAX = DO_PARSE_ANY | DO_PAD_ANY | DO_TERM_CHAR,
  };
  typedef int DecodeFlags;

  static bool IsBase64Char(char ch);
  // True when every character is in the alphabet (no padding, no whitespace); "" is true.
  static bool IsBase64Encoded(const std::string& str);
  // The alphabet character after `ch` ('/' wraps to 'A'); false for null `next_ch` or a
  // character outside the alphabet.
  static bool GetNextBase64Char(char ch, char* next_ch);

  static void EncodeFromArray(const void* data, size_t len, std::string* result);

  // True on success. `result` holds the bytes decoded up to where decoding stopped, also on
  // failure; `data_used`, when not null, gets that input position.
  static bool DecodeFromArray(const char* data, size_t len, DecodeFlags flags, std::string* result,
                              size_t* data_used);
  static bool DecodeFromArray(const char* data, size_t len, DecodeFlags flags,
                              std::vector<char>* result, size_t* data_used);
  static bool DecodeFromArray(const char* data, size_t len, DecodeFlags flags,
                              std::vector<unsigned char>* result, size_t* data_used);

  static std::string Encode(const std::string& data) {
    std::string result;
    EncodeFromArray(data.data(), data.size(), &result);
    return result;
  }
  static std::string Decode(const std::string& data, DecodeFlags flags) {
    std::string result;
    DecodeFromArray(data.data(), data.size(), flags, &result, nullptr);
    return result;
  }
  static bool Decode(const std::string& data, DecodeFlags flags, std::string* result,
                     size_t* data_used) {
    return DecodeFromArray(data.data(), data.size(), flags, result, data_used);
  }

 private:
  template <typename T>
  static bool DecodeFromArrayTemplate(const char* data, size_t len, DecodeFlags flags, T* result,
                                      size_t* data_used);
  static size_t GetNextQuantum(DecodeFlags parse_flags, bool illegal_pads, const char* data,
                               size_t len, size_t* dpos, unsigned char qbuf[4], bool* padded);
};

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_BASE64_H_
