#include "rtc_base/strings/base64.h"

#include <array>

#include "rtc_base/base/checks.h"

namespace rtc {
namespace {

constexpr char kBase64Table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Marks in the decode table beside the values 0-63.
constexpr unsigned char kPad = 253;
constexpr unsigned char kSpace = 254;
constexpr unsigned char kIllegal = 255;

constexpr std::array<unsigned char, 256> MakeDecodeTable() {
  std::array<unsigned char, 256> table{};
  for (auto& entry : table) entry = kIllegal;
  for (unsigned char i = 0; i < 64; ++i) table[static_cast<unsigned char>(kBase64Table[i])] = i;
  table['='] = kPad;
  for (unsigned char ws : {'\t', '\n', '\v', '\f', '\r', ' '}) table[ws] = kSpace;
  return table;
}

constexpr std::array<unsigned char, 256> kDecodeTable = MakeDecodeTable();

unsigned char Decoded(char ch) {
  // Indexed as unsigned so that bytes from 0x80 land on their own (illegal) entries.
  return kDecodeTable[static_cast<unsigned char>(ch)];
}

}  // namespace

bool Base64::IsBase64Char(char ch) { return Decoded(ch) < 64; }

bool Base64::IsBase64Encoded(const std::string& str) {
  for (char ch : str) {
    if (!IsBase64Char(ch)) return false;
  }
  return true;
}

bool Base64::GetNextBase64Char(char ch, char* next_ch) {
  if (next_ch == nullptr) return false;
  unsigned char value = Decoded(ch);
  if (value >= 64) return false;
  *next_ch = kBase64Table[(value + 1) % 64];
  return true;
}

void Base64::EncodeFromArray(const void* data, size_t len, std::string* result) {
  RTC_CHECK(nullptr != result);
  result->clear();
  result->resize((len + 2) / 3 * 4);
  const unsigned char* in = static_cast<const unsigned char*>(data);
  char* out = result->data();
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    *out++ = kBase64Table[in[i] >> 2];
    *out++ = kBase64Table[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
    *out++ = kBase64Table[((in[i + 1] & 0x0F) << 2) | (in[i + 2] >> 6)];
    *out++ = kBase64Table[in[i + 2] & 0x3F];
  }
  if (i < len) {
    unsigned char b1 = i + 1 < len ? in[i + 1] : 0;
    *out++ = kBase64Table[in[i] >> 2];
    *out++ = kBase64Table[((in[i] & 0x03) << 4) | (b1 >> 4)];
    *out++ = i + 1 < len ? kBase64Table[(b1 & 0x0F) << 2] : '=';
    *out++ = '=';
  }
}

size_t Base64::GetNextQuantum(DecodeFlags parse_flags, bool illegal_pads, const char* data,
                              size_t len, size_t* dpos, unsigned char qbuf[4], bool* padded) {
  size_t byte_len = 0;
  size_t pad_len = 0;
  size_t pad_start = 0;
  const bool skip_foreign = parse_flags == DO_PARSE_ANY;
  for (; byte_len < 4 && *dpos < len; ++*dpos) {
    unsigned char value = Decoded(data[*dpos]);
    if (value == kIllegal || (illegal_pads && value == kPad)) {
      if (!skip_foreign) break;
    } else if (value == kSpace) {
      if (parse_flags == DO_PARSE_STRICT) break;
    } else if (value == kPad) {
      // A pad needs two characters before it and may only complete the group.
      if (byte_len < 2 || byte_len + pad_len >= 4) {
        if (!skip_foreign) break;
      } else if (++pad_len == 1) {
        pad_start = *dpos;
      }
    } else {
      if (pad_len > 0) {
        if (!skip_foreign) break;
        pad_len = 0;  // Pads followed by data were misplaced.
      }
      qbuf[byte_len++] = value;
    }
  }
  for (size_t i = byte_len; i < 4; ++i) qbuf[i] = 0;
  *padded = byte_len + pad_len == 4;
  if (!*padded && pad_len > 0) {
    // An incomplete run of pads is left unconsumed.
    *dpos = pad_start;
  }
  return byte_len;
}

template <typename T>
bool Base64::DecodeFromArrayTemplate(const char* data, size_t len, DecodeFlags flags, T* result,
                                     size_t* data_used) {
  RTC_CHECK(nullptr != result);
  RTC_CHECK(flags <= (DO_PARSE_MASK | DO_PAD_MASK | DO_TERM_MASK));
  const DecodeFlags parse_flags = flags & DO_PARSE_MASK;
  const DecodeFlags pad_flags = flags & DO_PAD_MASK;
  const DecodeFlags term_flags = flags & DO_TERM_MASK;
  RTC_CHECK(0 != parse_flags);
  RTC_CHECK(0 != pad_flags);
  RTC_CHECK(0 != term_flags);

  result->clear();
  result->reserve(len);
  size_t dpos = 0;
  bool success = true;
  while (dpos < len) {
    unsigned char q[4];
    bool padded = false;
    size_t qlen = GetNextQuantum(parse_flags, pad_flags == DO_PAD_NO, data, len, &dpos, q, &padded);
    // `next` is the byte the leftover bits would start; a short group must leave it zero.
    unsigned char next = static_cast<unsigned char>((q[0] << 2) | (q[1] >> 4));
    if (qlen >= 2) {
      result->push_back(next);
      next = static_cast<unsigned char>(((q[1] << 4) & 0xF0) | (q[2] >> 2));
      if (qlen >= 3) {
        result->push_back(next);
        next = static_cast<unsigned char>(((q[2] << 6) & 0xC0) | q[3]);
        if (qlen >= 4) {
          result->push_back(next);
          next = 0;
        }
      }
    }
    if (qlen < 4) {
      if (term_flags != DO_TERM_ANY && next != 0) success = false;
      if (pad_flags == DO_PAD_YES && !padded) success = false;
      break;
    }
  }
  if (term_flags == DO_TERM_BUFFER && dpos != len) success = false;
  if (data_used) *data_used = dpos;
  return success;
}

bool Base64::DecodeFromArray(const char* data, size_t len, DecodeFlags flags, std::string* result,
                             size_t* data_used) {
  return DecodeFromArrayTemplate(data, len, flags, result, data_used);
}

bool Base64::DecodeFromArray(const char* data, size_t len, DecodeFlags flags,
                             std::vector<char>* result, size_t* data_used) {
  return DecodeFromArrayTemplate(data, len, flags, result, data_used);
}

bool Base64::DecodeFromArray(const char* data, size_t len, DecodeFlags flags,
                             std::vector<unsigned char>* result, size_t* data_used) {
  return DecodeFromArrayTemplate(data, len, flags, result, data_used);
}

}  // namespace rtc
