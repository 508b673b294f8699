#ifndef FUZZ_CRYPT_FUZZ_TARGET_H_
#define FUZZ_CRYPT_FUZZ_TARGET_H_

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/sync_msg_crypt.h"
#include "fuzz/fuzz_check.h"

namespace vy {

// Arbitrary plain blocks under a valid signature, so the checks after the signature (Base64,
// pad, length field, app id) see every shape of decrypted data. Shared by the libFuzzer target
// and its gtest twin.
inline int CryptFuzzOne(const uint8_t* data, size_t size) {
  static const zentho::SyncMsgCrypt crypt(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey,
                                          "0123456789abcdef0123456789abcdef");
  static const std::string key = [] {
    std::string k;
    zentho::SyncMsgCrypt::GenAesKeyFromEncodingKey(zentho::kBuiltinEncodingKey, k);
    return k;
  }();
  // Raw AES over the input cut to whole AES blocks: the input is the plain block, pad included.
  std::string plain(reinterpret_cast<const char*>(data), size - size % 16);
  std::string cipher(plain.size(), '\0');
  if (!plain.empty()) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    auto k = reinterpret_cast<const unsigned char*>(key.data());
    int n = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, k, k);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(cipher.data()), &n,
                      reinterpret_cast<const unsigned char*>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_CIPHER_CTX_free(ctx);
  }
  std::string b64;
  if (zentho::SyncMsgCrypt::EncodeBase64(cipher, b64) != 0) b64 = "AAAA";
  std::string sig;
  zentho::SyncMsgCrypt::ComputeSignature(zentho::kBuiltinSignToken, "1", "n", b64, sig);
  std::string text;
  int rc = crypt.DecryptMsg(sig, "1", "n", b64, text);
  fuzz::Check(rc != 0 || text.size() <= plain.size(), "more text than plain block");
  return 0;
}

}  // namespace vy

#endif  // FUZZ_CRYPT_FUZZ_TARGET_H_
