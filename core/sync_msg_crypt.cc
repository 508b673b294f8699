#include "core/sync_msg_crypt.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "absl/cleanup/cleanup.h"

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

// Decodes Base64 with the rules of DecodeBase64 into `out` (room for `length` bytes); returns
// the decoded size, or -1.
long DecodeBase64Into(const char* in, size_t length, unsigned char* out) {
  if (length == 0 || length > SyncMsgCrypt::kMaxBase64Input) return -1;
  size_t trailing = 0;
  while (trailing < length && in[length - 1 - trailing] == '=') ++trailing;
  // EVP_DecodeBlock counts the pad characters as zero bytes; they are taken off below. It is
  // lenient about spare bits, which the built-in encoding key needs.
  int decoded =
      EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(in), static_cast<int>(length));
  if (decoded < 0 || static_cast<size_t>(decoded) <= trailing ||
      static_cast<size_t>(decoded) >= length) {
    return -1;
  }
  return static_cast<long>(static_cast<size_t>(decoded) - trailing);
}

// The four signed parts in byte-wise order (std::string_view compares as unsigned bytes).
void SortParts(std::array<std::string_view, 4>& parts) { std::sort(parts.begin(), parts.end()); }

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

struct SyncMsgCrypt::Engine {
  ~Engine() {
    OPENSSL_cleanse(key, sizeof(key));
    if (!block.empty()) OPENSSL_cleanse(block.data(), block.size());
    EVP_CIPHER_CTX_free(enc);
    EVP_CIPHER_CTX_free(dec);
    EVP_CIPHER_free(cipher);
    EVP_MD_CTX_free(md_ctx);
    EVP_MD_free(md);
  }

  // The cipher contexts start each message from the kept key schedule with a fresh IV.
  bool Run(EVP_CIPHER_CTX* ctx, const unsigned char* in, size_t length, unsigned char* out) {
    if (length > static_cast<size_t>(INT_MAX) || length % 16 != 0) return false;
    int written = 0;
    return EVP_CipherInit_ex2(ctx, nullptr, nullptr, key, -1, nullptr) == 1 &&
           EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(length)) == 1 &&
           static_cast<size_t>(written) == length;
  }

  bool Digest(const std::string& token, std::string_view timestamp, std::string_view nonce,
              std::string_view cipher_text, char* hex) {
    if (token.empty() || timestamp.empty() || nonce.empty() || cipher_text.empty()) return false;
    std::array<std::string_view, 4> parts = {token, timestamp, nonce, cipher_text};
    SortParts(parts);
    if (EVP_DigestInit_ex2(md_ctx, md, nullptr) != 1) return false;
    for (std::string_view part : parts) {
      if (EVP_DigestUpdate(md_ctx, part.data(), part.size()) != 1) return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (EVP_DigestFinal_ex(md_ctx, digest, &digest_length) != 1 || digest_length != 20) {
      return false;
    }
    for (unsigned int i = 0; i < digest_length; ++i) {
      hex[2 * i] = kHex[digest[i] >> 4];
      hex[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    return true;
  }

  unsigned char* Scratch(size_t n) {
    if (block.size() < n) block.resize(std::max(n, 2 * block.size()));
    return block.data();
  }
  // A block grown for a large message is given back once that message is done.
  void TrimScratch() {
    if (block.size() <= kKeptScratch) return;
    OPENSSL_cleanse(block.data(), block.size());
    std::vector<unsigned char>().swap(block);
  }
  static constexpr size_t kKeptScratch = 64 * 1024;

  EVP_CIPHER* cipher = nullptr;
  EVP_CIPHER_CTX* enc = nullptr;
  EVP_CIPHER_CTX* dec = nullptr;
  EVP_MD* md = nullptr;
  EVP_MD_CTX* md_ctx = nullptr;
  unsigned char key[kAesKeyLength] = {0};
  bool key_ok = false;
  // The plain and cipher block of the message in hand.
  std::vector<unsigned char> block;
};

std::unique_ptr<SyncMsgCrypt::Engine> SyncMsgCrypt::NewEngine(const std::string& encodingKey) {
  auto e = std::make_unique<Engine>();
  e->md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  e->md_ctx = EVP_MD_CTX_new();
  if (e->md == nullptr || e->md_ctx == nullptr) return nullptr;
  std::string key;
  if (GenAesKeyFromEncodingKey(encodingKey, key) != 0) return e;
  std::copy_n(key.data(), kAesKeyLength, e->key);
  OPENSSL_cleanse(key.data(), key.size());
  // The IV is the key's first 16 bytes.
  e->cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  e->enc = EVP_CIPHER_CTX_new();
  e->dec = EVP_CIPHER_CTX_new();
  e->key_ok = e->cipher != nullptr && e->enc != nullptr && e->dec != nullptr &&
              EVP_CipherInit_ex2(e->enc, e->cipher, e->key, e->key, 1, nullptr) == 1 &&
              EVP_CipherInit_ex2(e->dec, e->cipher, e->key, e->key, 0, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(e->enc, 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(e->dec, 0) == 1;
  return e;
}

SyncMsgCrypt::SyncMsgCrypt(const std::string& token, const std::string& encodingKey,
                           const std::string& appId)
    : token_(token), encoding_key_(encodingKey), app_id_(appId), engine_(NewEngine(encodingKey)) {}

SyncMsgCrypt::~SyncMsgCrypt() = default;

int SyncMsgCrypt::EncryptMsg(const std::string& text, const std::string& timestamp,
                             const std::string& nonce, std::string& signature,
                             std::string& encrypted) const {
  if (text.empty()) return kEmptyInputError;
  std::string prefix;
  if (GenRandStr(prefix, kRandomPrefixLength) != 0) return kEncryptAesError;
  std::string base64;
  int rc = EncryptTo(prefix.data(), text.data(), text.size(), &base64);
  if (rc != kSyncMsgCryptOk) return rc;
  char sig[40];
  if (Sign(timestamp.data(), timestamp.size(), nonce.data(), nonce.size(), base64.data(),
           base64.size(), sig) != 0) {
    return kComputeSignatureError;
  }
  signature.assign(sig, sizeof(sig));
  encrypted = std::move(base64);
  return kSyncMsgCryptOk;
}

int SyncMsgCrypt::EncryptTo(const char* prefix, const char* text, size_t length,
                            std::string* out) const {
  if (length == 0) return kEmptyInputError;
  if (engine_ == nullptr || !engine_->key_ok) return kIllegalAesKeyError;
  if (length > UINT32_MAX || length > static_cast<size_t>(INT_MAX) / 2) return kEncryptAesError;
  // prefix, 32-bit length, text, app id, then p bytes of value p (1..32).
  const size_t plain = kTextOffset + length + app_id_.size();
  const size_t pad = kBlockSize - plain % kBlockSize;
  const size_t total = plain + pad;
  unsigned char* block = engine_->Scratch(total);
  std::memcpy(block, prefix, kRandomPrefixLength);
  const uint32_t n = static_cast<uint32_t>(length);
  block[16] = static_cast<unsigned char>(n >> 24);
  block[17] = static_cast<unsigned char>(n >> 16);
  block[18] = static_cast<unsigned char>(n >> 8);
  block[19] = static_cast<unsigned char>(n);
  std::memcpy(block + kTextOffset, text, length);
  std::memcpy(block + kTextOffset + length, app_id_.data(), app_id_.size());
  std::memset(block + plain, static_cast<int>(pad), pad);
  absl::Cleanup trim = [this] { engine_->TrimScratch(); };
  const bool ok = engine_->Run(engine_->enc, block, total, block);
  if (!ok) {
    OPENSSL_cleanse(block, total);
    return kEncryptAesError;
  }
  const size_t at = out->size();
  out->resize(at + 4 * ((total + 2) / 3) + 1);
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out->data() + at), block,
                                static_cast<int>(total));
  out->resize(written > 0 ? at + static_cast<size_t>(written) : at);
  return written > 0 ? kSyncMsgCryptOk : kEncodeBase64Error;
}

int SyncMsgCrypt::Sign(const char* timestamp, size_t timestampLength, const char* nonce,
                       size_t nonceLength, const char* cipherText, size_t cipherLength,
                       char* signature) const {
  if (engine_ == nullptr) return -1;
  return engine_->Digest(token_, {timestamp, timestampLength}, {nonce, nonceLength},
                         {cipherText, cipherLength}, signature)
             ? 0
             : -1;
}

int SyncMsgCrypt::DecryptMsg(const std::string& signature, const std::string& timestamp,
                             const std::string& nonce, const std::string& encrypted,
                             std::string& text) const {
  return DecryptMsg(signature.c_str(), timestamp.c_str(), nonce.c_str(), encrypted.data(),
                    encrypted.size(), text);
}

int SyncMsgCrypt::DecryptMsg(const char* signature, const char* timestamp, const char* nonce,
                             const char* encrypted, size_t encryptedLength,
                             std::string& text) const {
  if (encryptedLength == 0) return kEmptyInputError;
  char expected[40];
  if (engine_ == nullptr ||
      !engine_->Digest(token_, timestamp, nonce, {encrypted, encryptedLength}, expected) ||
      std::strlen(signature) != sizeof(expected) ||
      CRYPTO_memcmp(signature, expected, sizeof(expected)) != 0) {
    return kValidateSignatureError;
  }
  if (encryptedLength > kMaxBase64Input) return kDecodeBase64Error;
  unsigned char* block = engine_->Scratch(encryptedLength);
  absl::Cleanup trim = [this] { engine_->TrimScratch(); };
  long decoded = DecodeBase64Into(encrypted, encryptedLength, block);
  if (decoded < 0) return kDecodeBase64Error;
  if (!engine_->key_ok) return kIllegalAesKeyError;
  const size_t length = static_cast<size_t>(decoded);
  if (length < kBlockSize || length % kBlockSize != 0 ||
      !engine_->Run(engine_->dec, block, length, block)) {
    return kDecryptAesError;
  }
  const unsigned char pad = block[length - 1];
  bool pad_ok = pad >= 1 && pad <= kBlockSize && pad < length;
  for (size_t i = length - (pad_ok ? pad : 0); pad_ok && i < length; ++i) pad_ok = block[i] == pad;
  int rc = kSyncMsgCryptOk;
  const size_t size = length - pad;
  // The length check runs on the unpadded block. Comparing against size - 20 keeps a length
  // field near 2^32 from wrapping past the check.
  if (!pad_ok) {
    rc = kDecryptAesError;
  } else if (size <= kTextOffset) {
    rc = kIllegalBufferError;
  } else {
    const char* plain = reinterpret_cast<const char*>(block);
    uint64_t n = ReadBigEndian32(plain + kLengthFieldOffset);
    if (n >= size - kTextOffset) {
      rc = kIllegalBufferError;
    } else {
      // The text is handed over even when another app id follows it.
      text.assign(plain + kTextOffset, static_cast<size_t>(n));
      const size_t app_id_offset = kTextOffset + static_cast<size_t>(n);
      if (std::string_view(plain + app_id_offset, size - app_id_offset) != app_id_) {
        rc = kValidateAppIdError;
      }
    }
  }
  OPENSSL_cleanse(block, length);
  return rc;
}

size_t SyncMsgCrypt::ScratchBytes() const { return engine_ != nullptr ? engine_->block.size() : 0; }

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
                                    const std::string& nonce, const std::string& cipherText) const {
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
