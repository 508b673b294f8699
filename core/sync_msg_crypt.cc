#include "core/sync_msg_crypt.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <vector>

#include "core/rand_str.h"

namespace zentho {

const char kBuiltinSignToken[] = "7d3e90c1a4b85f26e0c9d71b3a5f48e2";
const char kBuiltinEncodingKey[] = "Kp7wRt2ZxQm9LcV4bNf8Hy3JdTs6Ge1Ua5Xo0Wk/Pqi";

namespace {

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// Runs AES-256-CBC over `length` bytes (a multiple of the AES block) without the library's
// padding; the caller pads and unpads with the protocol's 32-byte rule.
int RunAesCbc(bool encrypt, const unsigned char* in, size_t length, const char* key,
              size_t keyLength, unsigned char* out) {
  if (length > static_cast<size_t>(INT_MAX) || length % 16 != 0) return -1;
  // A short key is zero-filled; a long one is cut. The IV is the key's first 16 bytes.
  unsigned char full_key[SyncMsgCrypt::kAesKeyLength] = {0};
  std::copy_n(key, std::min(keyLength, sizeof(full_key)), full_key);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int ok = ctx != nullptr &&
           EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, full_key, full_key,
                             encrypt ? 1 : 0) == 1 &&
           EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1;
  OPENSSL_cleanse(full_key, sizeof(full_key));
  if (!ok) return -1;
  int written = 0;
  int final_written = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &written, in, static_cast<int>(length)) != 1) return -1;
  if (EVP_CipherFinal_ex(ctx.get(), out + written, &final_written) != 1) return -1;
  if (static_cast<size_t>(written) + static_cast<size_t>(final_written) != length) return -1;
  return 0;
}

uint32_t ReadBigEndian32(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

}  // namespace

SyncMsgCrypt::SyncMsgCrypt(const std::string& token, const std::string& encodingKey,
                           const std::string& appId)
    : token_(token), encoding_key_(encodingKey), app_id_(appId) {}

int SyncMsgCrypt::EncryptMsg(const std::string& text, const std::string& timestamp,
                             const std::string& nonce, std::string& signature,
                             std::string& encrypted) const {
  if (text.empty()) return kEmptyInputError;
  std::string block;
  if (GenNeedEncryptData(text, block) != 0) return kEncryptAesError;
  std::string key;
  if (GenAesKeyFromEncodingKey(encoding_key_, key) != 0) return kIllegalAesKeyError;
  std::string cipher;
  int rc = AES_CBCEncrypt(block, key, cipher);
  OPENSSL_cleanse(block.data(), block.size());
  OPENSSL_cleanse(key.data(), key.size());
  if (rc != 0) return kEncryptAesError;
  std::string base64;
  if (EncodeBase64(cipher, base64) != 0) return kEncodeBase64Error;
  std::string sig;
  if (ComputeSignature(token_, timestamp, nonce, base64, sig) != 0) return kComputeSignatureError;
  signature = std::move(sig);
  encrypted = std::move(base64);
  return kSyncMsgCryptOk;
}

int SyncMsgCrypt::DecryptMsg(const std::string& signature, const std::string& timestamp,
                             const std::string& nonce, const std::string& encrypted,
                             std::string& text) const {
  if (encrypted.empty()) return kEmptyInputError;
  if (ValidateSignature(signature, timestamp, nonce, encrypted) != 0) {
    return kValidateSignatureError;
  }
  std::string cipher;
  if (DecodeBase64(encrypted, cipher) != 0) return kDecodeBase64Error;
  std::string key;
  if (GenAesKeyFromEncodingKey(encoding_key_, key) != 0) return kIllegalAesKeyError;
  std::string block;
  int rc = AES_CBCDecrypt(cipher, key, block);
  OPENSSL_cleanse(key.data(), key.size());
  if (rc != 0) return kDecryptAesError;
  // The length check runs on the unpadded block. Comparing against size - 20 keeps a length
  // field near 2^32 from wrapping past the check.
  if (block.size() <= kTextOffset) return kIllegalBufferError;
  uint64_t length = ReadBigEndian32(block.data() + kLengthFieldOffset);
  if (length >= block.size() - kTextOffset) return kIllegalBufferError;
  text.assign(block, kTextOffset, static_cast<size_t>(length));
  size_t app_id_offset = kTextOffset + static_cast<size_t>(length);
  if (block.compare(app_id_offset, std::string::npos, app_id_) != 0) return kValidateAppIdError;
  return kSyncMsgCryptOk;
}

int SyncMsgCrypt::GenNeedEncryptData(const std::string& text, std::string& block) const {
  std::string prefix;
  if (GenRandStr(prefix, kRandomPrefixLength) != 0) return -1;
  return GenNeedEncryptData(prefix, text, block);
}

int SyncMsgCrypt::GenNeedEncryptData(const std::string& prefix, const std::string& text,
                                     std::string& block) const {
  if (prefix.size() != kRandomPrefixLength || text.size() > UINT32_MAX) return -1;
  uint32_t length = static_cast<uint32_t>(text.size());
  block.clear();
  block.reserve(kTextOffset + text.size() + app_id_.size() + kBlockSize);
  block.append(prefix);
  block.push_back(static_cast<char>(length >> 24));
  block.push_back(static_cast<char>(length >> 16));
  block.push_back(static_cast<char>(length >> 8));
  block.push_back(static_cast<char>(length));
  block.append(text);
  block.append(app_id_);
  return 0;
}

int SyncMsgCrypt::GenAesKeyFromEncodingKey(const std::string& encodingKey, std::string& key) {
  if (encodingKey.size() != kEncodingKeyLength) return -1;
  std::string decoded;
  if (DecodeBase64(encodingKey + "=", decoded) != 0 || decoded.size() != kAesKeyLength) {
    return -1;
  }
  key = std::move(decoded);
  return 0;
}

int SyncMsgCrypt::AES_CBCEncrypt(const std::string& block, const std::string& key,
                                 std::string& out) {
  return AES_CBCEncrypt(block.data(), block.size(), key.data(), key.size(), out);
}

int SyncMsgCrypt::AES_CBCEncrypt(const char* block, size_t length, const char* key,
                                 size_t keyLength, std::string& out) {
  if (block == nullptr || key == nullptr || length > static_cast<size_t>(INT_MAX) - kBlockSize) {
    return -1;
  }
  size_t pad = kBlockSize - length % kBlockSize;  // 1..32: a full block gains 32 bytes
  std::vector<unsigned char> padded(length + pad, static_cast<unsigned char>(pad));
  std::copy_n(reinterpret_cast<const unsigned char*>(block), length, padded.begin());
  std::string result(padded.size(), '\0');
  int rc = RunAesCbc(true, padded.data(), padded.size(), key, keyLength,
                     reinterpret_cast<unsigned char*>(result.data()));
  OPENSSL_cleanse(padded.data(), padded.size());
  if (rc != 0) return -1;
  out = std::move(result);
  return 0;
}

int SyncMsgCrypt::AES_CBCDecrypt(const std::string& cipher, const std::string& key,
                                 std::string& out) {
  return AES_CBCDecrypt(cipher.data(), cipher.size(), key.data(), key.size(), out);
}

int SyncMsgCrypt::AES_CBCDecrypt(const char* cipher, size_t length, const char* key,
                                 size_t keyLength, std::string& out) {
  if (cipher == nullptr || key == nullptr || length < kBlockSize || length % kBlockSize != 0) {
    return -1;
  }
  std::string plain(length, '\0');
  if (RunAesCbc(false, reinterpret_cast<const unsigned char*>(cipher), length, key, keyLength,
                reinterpret_cast<unsigned char*>(plain.data())) != 0) {
    return -1;
  }
  unsigned char pad = static_cast<unsigned char>(plain.back());
  bool pad_ok = pad >= 1 && pad <= kBlockSize && pad < length;
  for (size_t i = length - (pad_ok ? pad : 0); pad_ok && i < length; ++i) {
    pad_ok = static_cast<unsigned char>(plain[i]) == pad;
  }
  if (!pad_ok) {
    OPENSSL_cleanse(plain.data(), plain.size());
    return -1;
  }
  plain.resize(length - pad);
  out = std::move(plain);
  return 0;
}

int SyncMsgCrypt::EncodeBase64(const std::string& in, std::string& out) {
  if (in.empty() || in.size() > kMaxBase64Input) return -1;
  size_t capacity = 4 * ((in.size() + 2) / 3) + 1;
  std::string buffer(capacity, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(buffer.data()),
                                reinterpret_cast<const unsigned char*>(in.data()),
                                static_cast<int>(in.size()));
  if (written < 1 || static_cast<size_t>(written) >= capacity) return -1;
  buffer.resize(static_cast<size_t>(written));
  out = std::move(buffer);
  return 0;
}

int SyncMsgCrypt::DecodeBase64(const std::string& in, std::string& out) {
  if (in.empty() || in.size() > kMaxBase64Input) return -1;
  size_t trailing = 0;
  while (trailing < in.size() && in[in.size() - 1 - trailing] == '=') ++trailing;
  // EVP_DecodeBlock counts the pad characters as zero bytes; they are taken off below. It is
  // lenient about spare bits, which the built-in encoding key needs.
  std::string buffer(in.size(), '\0');
  int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(buffer.data()),
                                reinterpret_cast<const unsigned char*>(in.data()),
                                static_cast<int>(in.size()));
  if (decoded < 0 || static_cast<size_t>(decoded) <= trailing ||
      static_cast<size_t>(decoded) >= in.size()) {
    return -1;
  }
  buffer.resize(static_cast<size_t>(decoded) - trailing);
  out = std::move(buffer);
  return 0;
}

int SyncMsgCrypt::ComputeSignature(const std::string& token, const std::string& timestamp,
                                   const std::string& nonce, const std::string& cipherText,
                                   std::string& signature) {
  if (token.empty() || timestamp.empty() || nonce.empty() || cipherText.empty()) return -1;
  // std::string compares through char_traits<char>, which orders bytes as unsigned: byte-wise,
  // independent of the locale.
  std::array<const std::string*, 4> parts = {&token, &timestamp, &nonce, &cipherText};
  std::sort(parts.begin(), parts.end(),
            [](const std::string* a, const std::string* b) { return *a < *b; });
  std::string joined;
  joined.reserve(token.size() + timestamp.size() + nonce.size() + cipherText.size());
  for (const std::string* part : parts) joined.append(*part);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (EVP_Digest(joined.data(), joined.size(), digest, &digest_length, EVP_sha1(), nullptr) != 1 ||
      digest_length != 20) {
    return -1;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string hex(2 * digest_length, '\0');
  for (unsigned int i = 0; i < digest_length; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  signature = std::move(hex);
  return 0;
}

int SyncMsgCrypt::ValidateSignature(const std::string& signature, const std::string& timestamp,
                                    const std::string& nonce,
                                    const std::string& cipherText) const {
  std::string expected;
  if (ComputeSignature(token_, timestamp, nonce, cipherText, expected) != 0) return -1;
  if (signature.size() != expected.size() ||
      CRYPTO_memcmp(signature.data(), expected.data(), expected.size()) != 0) {
    return -1;
  }
  return 0;
}

int SyncMsgCrypt::GenRandStr(std::string& out, unsigned n) {
  return vy::GenRandStr(out, n) ? 0 : -1;
}

}  // namespace zentho
