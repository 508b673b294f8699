#include "local_service/msg_crypt.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <memory>

namespace local_service {
namespace {

constexpr size_t kPrefixLength = 16;
constexpr size_t kHeaderLength = kPrefixLength + 4;
constexpr size_t kBlockSize = 32;
// Base64 input beyond this is refused before any buffer is sized from it.
constexpr size_t kMaxBase64Length = 64 * 1024 * 1024;

constexpr char kAlnum[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

bool RunCipher(bool encrypt, const unsigned char key[32], const std::string& in, std::string* out) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  // The IV is the first half of the key, in both directions.
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, key, encrypt ? 1 : 0) != 1)
    return false;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  out->resize(in.size() + kBlockSize);
  int written = 0;
  if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out->data()), &written,
                       reinterpret_cast<const unsigned char*>(in.data()),
                       static_cast<int>(in.size())) != 1)
    return false;
  int tail = 0;
  if (EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out->data()) + written,
                         &tail) != 1)
    return false;
  out->resize(static_cast<size_t>(written + tail));
  return out->size() == in.size();
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

const char* CryptResultName(int result) {
  switch (result) {
    case kCryptOk:
      return "ok";
    case kCryptBadSignature:
      return "signature does not match";
    case kCryptEmptyInput:
      return "empty input";
    case kCryptSignFailed:
      return "signing failed";
    case kCryptBadKey:
      return "encoding key unusable";
    case kCryptAppIdMismatch:
      return "app id trailer differs";
    case kCryptEncryptFailed:
      return "AES encryption failed";
    case kCryptDecryptFailed:
      return "AES decryption failed or bad padding";
    case kCryptTooShort:
      return "block too short for its length field";
    case kCryptBase64EncodeFailed:
      return "Base64 encoding failed";
    case kCryptBase64DecodeFailed:
      return "Base64 decoding failed";
  }
  return "unknown";
}

std::string RandomAlnum(size_t n) {
  std::string out;
  out.reserve(n);
  std::array<unsigned char, 64> bytes;
  while (out.size() < n) {
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) continue;
    for (unsigned char b : bytes) {
      // 248 = 4 * 62: dropping the rest keeps the characters evenly likely.
      if (b >= 248) continue;
      out.push_back(kAlnum[b % 62]);
      if (out.size() == n) break;
    }
  }
  return out;
}

std::string ComputeSignature(std::string_view token, std::string_view timestamp,
                             std::string_view nonce, std::string_view cipher_text) {
  if (token.empty() || timestamp.empty() || nonce.empty() || cipher_text.empty()) return {};
  std::array<std::string_view, 4> parts = {token, timestamp, nonce, cipher_text};
  std::sort(parts.begin(), parts.end());
  std::string joined;
  for (auto p : parts) joined.append(p);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (EVP_Digest(joined.data(), joined.size(), md, &md_len, EVP_sha1(), nullptr) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(md_len * 2);
  for (unsigned int i = 0; i < md_len; ++i) {
    hex.push_back(kHex[md[i] >> 4]);
    hex.push_back(kHex[md[i] & 15]);
  }
  return hex;
}

std::string Base64Encode(std::string_view in) {
  if (in.empty()) return {};
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(in.data()),
                          static_cast<int>(in.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool Base64Decode(std::string_view in, std::string* out) {
  if (in.empty() || in.size() % 4 != 0 || in.size() > kMaxBase64Length) return false;
  size_t pad = 0;
  while (pad < 2 && in[in.size() - 1 - pad] == '=') ++pad;
  for (size_t i = 0; i < in.size() - pad; ++i) {
    if (!IsBase64Char(in[i])) return false;
  }
  std::string buf(in.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(buf.data()),
                          reinterpret_cast<const unsigned char*>(in.data()),
                          static_cast<int>(in.size()));
  if (n < 0 || static_cast<size_t>(n) < pad) return false;
  buf.resize(static_cast<size_t>(n) - pad);
  *out = std::move(buf);
  return true;
}

MsgCrypt::MsgCrypt(std::string app_id, std::string token, std::string encoding_key)
    : app_id_(std::move(app_id)),
      token_(std::move(token)),
      encoding_key_(std::move(encoding_key)) {}

bool MsgCrypt::DeriveKey(unsigned char key[32]) const {
  if (encoding_key_.size() != 43) return false;
  std::string raw;
  if (!Base64Decode(encoding_key_ + "=", &raw) || raw.size() != 32) return false;
  std::copy(raw.begin(), raw.end(), key);
  return true;
}

int MsgCrypt::Encrypt(std::string_view text, std::string_view timestamp, std::string_view nonce,
                      std::string* signature, std::string* cipher_text, CipherFault fault) const {
  if (text.empty()) return kCryptEmptyInput;
  std::string block =
      fixed_prefix_.size() == kPrefixLength ? fixed_prefix_ : RandomAlnum(kPrefixLength);
  uint32_t length = static_cast<uint32_t>(text.size());
  if (fault == CipherFault::kOversizeLength) length += 1000;
  for (int shift = 24; shift >= 0; shift -= 8) block.push_back(static_cast<char>(length >> shift));
  block.append(text);
  std::string trailer = app_id_;
  if (fault == CipherFault::kWrongAppId) {
    if (trailer.empty()) trailer.push_back('x');
    trailer[0] = trailer[0] == 'Z' ? 'Y' : 'Z';
  }
  block.append(trailer);
  size_t pad = kBlockSize - block.size() % kBlockSize;
  block.append(pad, static_cast<char>(pad));
  if (fault == CipherFault::kBadPadding) block.back() = 0;

  unsigned char key[32];
  if (!DeriveKey(key)) return kCryptBadKey;
  std::string raw;
  if (!RunCipher(true, key, block, &raw)) return kCryptEncryptFailed;
  std::string b64 = Base64Encode(raw);
  if (b64.empty()) return kCryptBase64EncodeFailed;
  std::string sig = ComputeSignature(token_, timestamp, nonce, b64);
  if (sig.empty()) return kCryptSignFailed;
  *signature = std::move(sig);
  *cipher_text = std::move(b64);
  return kCryptOk;
}

int MsgCrypt::Decrypt(std::string_view signature, std::string_view timestamp,
                      std::string_view nonce, std::string_view cipher_text,
                      std::string* text) const {
  if (cipher_text.empty()) return kCryptEmptyInput;
  std::string expected = ComputeSignature(token_, timestamp, nonce, cipher_text);
  if (expected.empty() || expected != signature) return kCryptBadSignature;
  std::string raw;
  if (!Base64Decode(cipher_text, &raw)) return kCryptBase64DecodeFailed;
  unsigned char key[32];
  if (!DeriveKey(key)) return kCryptBadKey;
  if (raw.size() < kBlockSize || raw.size() % kBlockSize != 0) return kCryptDecryptFailed;
  std::string block;
  if (!RunCipher(false, key, raw, &block)) return kCryptDecryptFailed;
  size_t pad = static_cast<unsigned char>(block.back());
  if (pad < 1 || pad > kBlockSize || pad >= block.size()) return kCryptDecryptFailed;
  for (size_t i = block.size() - pad; i < block.size(); ++i) {
    if (static_cast<unsigned char>(block[i]) != pad) return kCryptDecryptFailed;
  }
  block.resize(block.size() - pad);
  if (block.size() <= kHeaderLength) return kCryptTooShort;
  uint32_t length = 0;
  for (size_t i = kPrefixLength; i < kHeaderLength; ++i)
    length = (length << 8) | static_cast<unsigned char>(block[i]);
  if (length > block.size() - kHeaderLength) return kCryptTooShort;
  *text = block.substr(kHeaderLength, length);
  if (block.compare(kHeaderLength + length, std::string::npos, app_id_) != 0)
    return kCryptAppIdMismatch;
  return kCryptOk;
}

}  // namespace local_service
