#ifndef RTC_BASE_OPENSSL_CERTIFICATE_H_
#define RTC_BASE_OPENSSL_CERTIFICATE_H_

#include <openssl/types.h>

#include <memory>
#include <string>

#include "rtc_base/ssl_certificate.h"
#include "rtc_base/ssl_identity.h"

namespace rtc {

class OpenSSLKeyPair;

// An X.509 certificate. The object holds one reference on it, so clones share it safely.
class OpenSSLCertificate final : public SSLCertificate {
 public:
  // Adds a reference to `x509`; the caller keeps its own.
  explicit OpenSSLCertificate(X509* x509);
  ~OpenSSLCertificate() override;
  OpenSSLCertificate(const OpenSSLCertificate&) = delete;
  OpenSSLCertificate& operator=(const OpenSSLCertificate&) = delete;

  // Self-signed with SHA-256, for the parameters' name and times. Null on failure.
  static std::unique_ptr<OpenSSLCertificate> Generate(OpenSSLKeyPair* key_pair,
                                                      const SSLIdentityParams& params);
  static std::unique_ptr<OpenSSLCertificate> FromPEMString(const std::string& pem_string);

  std::unique_ptr<SSLCertificate> Clone() const override;
  X509* x509() const { return x509_; }

  std::string ToPEMString() const override;
  void ToDER(Buffer* der_buffer) const override;
  bool GetSignatureDigestAlgorithm(std::string* algorithm) const override;
  bool ComputeDigest(const std::string& algorithm, unsigned char* digest, size_t size,
                     size_t* length) const override;
  static bool ComputeDigest(const X509* x509, const std::string& algorithm,
                            unsigned char* digest, size_t size, size_t* length);
  int64_t CertificateExpirationTime() const override;

  bool operator==(const OpenSSLCertificate& other) const;
  bool operator!=(const OpenSSLCertificate& other) const;

 private:
  X509* x509_;
};

}  // namespace rtc

#endif  // RTC_BASE_OPENSSL_CERTIFICATE_H_
