#include "core/rand_str.h"

#include <cstdint>

#include "rtc_base/crypto/helpers.h"

namespace vy {

const char kRandomStringTable[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz012345678900";

namespace {

// Far above any use (nonces of 10, prefixes of 16, session ids of 32), and within RAND_bytes'
// int length.
constexpr unsigned kMaxRandomStringLength = 1u << 20;

}  // namespace

bool GenRandStr(std::string& out, unsigned n) {
  out.clear();
  if (n > kMaxRandomStringLength) return false;
  out.reserve(n);
  // Each byte's low 6 bits pick one of the 62 letters and digits; the two values beyond are
  // skipped, so every character is equally likely and one draw of 64 bytes nearly always
  // gives an envelope its nonce and its block prefix together.
  std::string pool;
  while (out.size() < n) {
    if (!rtc::CreateRandomData(64, &pool)) {
      out.clear();
      return false;
    }
    for (char b : pool) {
      uint8_t c = static_cast<uint8_t>(b) & 0x3F;
      if (c < 62) {
        out.push_back(kRandomStringTable[c]);
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
