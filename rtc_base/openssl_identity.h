#ifndef RTC_BASE_OPENSSL_IDENTITY_H_
#define RTC_BASE_OPENSSL_IDENTITY_H_

#include <openssl/types.h>
#include <time.h>

#include <memory>
#include <string>

#include "rtc_base/openssl_certificate.h"
#include "rtc_base/openssl_key_pair.h"
#include "rtc_base/ssl_identity.h"

namespace rtc {

// A key pair with its certificate chain; the chain's first certificate belongs to the key.
class OpenSSLIdentity final : public SSLIdentity {
 public:
  // A lifetime below -86400 s (so that the certificate would end before it starts) gives null.
  static std::unique_ptr<OpenSSLIdentity> GenerateWithExpiration(const std::string& common_name,
                                                                 const KeyParams& key_params,
                                                                 time_t certificate_lifetime);
  static std::unique_ptr<OpenSSLIdentity> GenerateForTest(const SSLIdentityParams& params);
  static std::unique_ptr<SSLIdentity> FromPEMStrings(const std::string& private_key,
                                                     const std::string& certificate);
  static std::unique_ptr<SSLIdentity> FromPEMChainStrings(const std::string& private_key,
                                                          const std::string& certificate_chain);
  ~OpenSSLIdentity() override;

  std::unique_ptr<SSLIdentity> GetReference() const override;
  const OpenSSLCertificate& certificate() const override;
  const SSLCertChain& cert_chain() const override;
  std::string PrivateKeyToPEMString() const override;
  std::string PublicKeyToPEMString() const override;

  // Sets the key and chain on a context, or on one connection; false with the OpenSSL errors
  // logged when they are refused.
  bool ConfigureIdentity(SSL_CTX* ctx);
  bool ConfigureIdentity(SSL* ssl);

  bool operator==(const OpenSSLIdentity& other) const;
  bool operator!=(const OpenSSLIdentity& other) const;

 private:
  OpenSSLIdentity(std::unique_ptr<OpenSSLKeyPair> key_pair,
                  std::unique_ptr<OpenSSLCertificate> certificate);
  OpenSSLIdentity(std::unique_ptr<OpenSSLKeyPair> key_pair,
                  std::unique_ptr<SSLCertChain> cert_chain);

  static std::unique_ptr<OpenSSLIdentity> GenerateInternal(const SSLIdentityParams& params);

  template <typename Target, typename UseCert, typename UseKey, typename AddChainCert>
  bool Configure(Target* target, UseCert use_cert, UseKey use_key, AddChainCert add_chain_cert);

  std::unique_ptr<OpenSSLKeyPair> key_pair_;
  std::unique_ptr<SSLCertChain> cert_chain_;
};

}  // namespace rtc

#endif  // RTC_BASE_OPENSSL_IDENTITY_H_
