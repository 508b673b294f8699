#include "core/rand_str.h"

#include <cstdint>

#include "rtc_base/helpers.h"

namespace vy {

const char kRandomStringTable[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz012345678900";

namespace {

// Far above any use (nonces of 10, prefixes of 16, session ids of 32), and within RAND_bytes'
// int length.
constexpr unsigned kMaxRandomStringLength = 1u << 20;

bool IsAsciiAlnum(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

bool GenRandStr(std::string& out, unsigned n) {
  out.clear();
  if (n > kMaxRandomStringLength) return false;
  out.reserve(n);
  // Each byte's low 7 bits are kept only when they name a letter or digit, so every one of
  // the 62 characters is equally likely. About half the bytes are used.
  std::string pool;
  while (out.size() < n) {
    if (!rtc::CreateRandomData(64, &pool)) {
      out.clear();
      return false;
    }
    for (char b : pool) {
      uint8_t c = static_cast<uint8_t>(b) & 0x7F;
      if (IsAsciiAlnum(c)) {
        out.push_back(static_cast<char>(c));
        if (out.size() == n) break;
      }
    }
  }
  return true;
}

bool CreateRandomString(std::string& out, unsigned n) {
  out.clear();
  if (n > kMaxRandomStringLength) return false;
  return rtc::CreateRandomString(n, kRandomStringTable, 64, &out);
}

}  // namespace vy
