#ifndef RTC_BASE_OPENSSL_KEY_PAIR_H_
#define RTC_BASE_OPENSSL_KEY_PAIR_H_

#include <openssl/types.h>

#include <memory>
#include <string>

#include "rtc_base/ssl_identity.h"

namespace rtc {

// An RSA or ECDSA key pair. Each object holds one reference on the OpenSSL key, so objects
// made by GetReference share the key safely.
class OpenSSLKeyPair {
 public:
  // Takes over one reference on `pkey`.
  explicit OpenSSLKeyPair(EVP_PKEY* pkey);
  virtual ~OpenSSLKeyPair();
  OpenSSLKeyPair(const OpenSSLKeyPair&) = delete;
  OpenSSLKeyPair& operator=(const OpenSSLKeyPair&) = delete;

  // Null, with the reason logged, on failure.
  static std::unique_ptr<OpenSSLKeyPair> Generate(const KeyParams& key_params);
  // Null for an unreadable or encrypted key; never asks for a passphrase.
  static std::unique_ptr<OpenSSLKeyPair> FromPrivateKeyPEMString(const std::string& pem_string);

  virtual std::unique_ptr<OpenSSLKeyPair> GetReference();

  EVP_PKEY* pkey() const { return pkey_; }
  // Unencrypted PKCS#8; empty on failure.
  std::string PrivateKeyToPEMString() const;
  std::string PublicKeyToPEMString() const;

  bool operator==(const OpenSSLKeyPair& other) const;
  bool operator!=(const OpenSSLKeyPair& other) const;

 private:
  void AddReference();

  EVP_PKEY* pkey_;
};

}  // namespace rtc

#endif  // RTC_BASE_OPENSSL_KEY_PAIR_H_
