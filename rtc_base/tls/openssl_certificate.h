// Certificates, certificate chains and their statistics, and the OpenSSL X509 certificate
// that implements them.
#ifndef RTC_BASE_TLS_OPENSSL_CERTIFICATE_H_
#define RTC_BASE_TLS_OPENSSL_CERTIFICATE_H_

#include <openssl/types.h>
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "rtc_base/strings/buffer.h"

namespace rtc {

struct SSLCertificateStats {
  SSLCertificateStats(std::string&& fingerprint, std::string&& fingerprint_algorithm,
                      std::string&& base64_certificate,
                      std::unique_ptr<SSLCertificateStats> issuer);
  ~SSLCertificateStats();

  std::string fingerprint;
  std::string fingerprint_algorithm;
  std::string base64_certificate;
  std::unique_ptr<SSLCertificateStats> issuer;
};

class SSLCertificate {
 public:
  // Null when the text holds no certificate.
  static std::unique_ptr<SSLCertificate> FromPEMString(const std::string& pem_string);

  virtual ~SSLCertificate() = default;

  virtual std::unique_ptr<SSLCertificate> Clone() const = 0;
  virtual std::string ToPEMString() const = 0;
  virtual void ToDER(Buffer* der_buffer) const = 0;
  // The digest name of the signature algorithm; false (and empty) for one outside the table.
  virtual bool GetSignatureDigestAlgorithm(std::string* algorithm) const = 0;
  // The digest of the DER bytes. False for an unknown name or when `size` is too small.
  virtual bool ComputeDigest(const std::string& algorithm, unsigned char* digest, size_t size,
                             size_t* length) const = 0;
  // notAfter in seconds since the epoch, -1 when it cannot be read.
  virtual int64_t CertificateExpirationTime() const = 0;

  // Fingerprint with the signature's digest and the DER in Base64; null when the signature
  // algorithm is unknown. The issuer is left null.
  std::unique_ptr<SSLCertificateStats> GetStats() const;
};

// Certificates in chain order, leaf first.
class SSLCertChain {
 public:
  explicit SSLCertChain(std::unique_ptr<SSLCertificate> single_cert);
  explicit SSLCertChain(std::vector<std::unique_ptr<SSLCertificate>> certs);
  SSLCertChain(SSLCertChain&&);
  SSLCertChain& operator=(SSLCertChain&&);
  ~SSLCertChain();
  SSLCertChain(const SSLCertChain&) = delete;
  SSLCertChain& operator=(const SSLCertChain&) = delete;

  size_t GetSize() const { return certs_.size(); }
  const SSLCertificate& Get(size_t pos) const { return *certs_[pos]; }
  std::unique_ptr<SSLCertChain> Clone() const;

  // Each entry's issuer is the next certificate's stats. The list stops before the first
  // certificate that has none, and is null when the leaf has none.
  std::unique_ptr<SSLCertificateStats> GetStats() const;

 private:
  std::vector<std::unique_ptr<SSLCertificate>> certs_;
};

// A caller's own decision on a certificate the trusted roots did not vouch for.
class SSLCertificateVerifier {
 public:
  virtual ~SSLCertificateVerifier() = default;
  // True accepts the certificate.
  virtual bool Verify(const SSLCertificate& certificate) = 0;
};

class OpenSSLKeyPair;
struct SSLIdentityParams;

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
  static bool ComputeDigest(const X509* x509, const std::string& algorithm, unsigned char* digest,
                            size_t size, size_t* length);
  int64_t CertificateExpirationTime() const override;

  bool operator==(const OpenSSLCertificate& other) const;
  bool operator!=(const OpenSSLCertificate& other) const;

 private:
  X509* x509_;
};

}  // namespace rtc

#endif  // RTC_BASE_TLS_OPENSSL_CERTIFICATE_H_
