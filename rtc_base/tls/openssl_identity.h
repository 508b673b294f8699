// Key parameters and identities: a key pair with its certificate chain, generated self-signed
// or read from PEM; the OpenSSL key pairs behind them; and RTCCertificate, a reference-counted
// identity with an expiry, for sharing across threads.
#ifndef RTC_BASE_TLS_OPENSSL_IDENTITY_H_
#define RTC_BASE_TLS_OPENSSL_IDENTITY_H_

#include <openssl/types.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <memory>
#include <string>

#include "rtc_base/base/ref_count.h"
#include "rtc_base/base/scoped_refptr.h"
#include "rtc_base/tls/openssl_certificate.h"

namespace rtc {

// 32-bit, so that any integer read as a key type is a value (an invalid one) and not undefined.
enum KeyType : int32_t { KT_RSA = 0, KT_ECDSA = 1, KT_LAST };

// RSA keys below 2048 bits are refused by the TLS stack of this platform (its default security
// level), so they are neither valid nor generated.
static const int kRsaDefaultModSize = 2048;
static const int kRsaDefaultExponent = 0x10001;  // = 2^16+1 = 65537
static const int kRsaMinModSize = 2048;
static const int kRsaMaxModSize = 8192;

// Self-signed certificates are valid from one day before their creation, so that a peer whose
// clock lags still accepts them, for 30 days by default.
static const int kDefaultCertificateLifetimeInSeconds = 60 * 60 * 24 * 30;
static const int kCertificateWindowInSeconds = -60 * 60 * 24;

struct RSAParams {
  unsigned int mod_size;
  unsigned int pub_exp;
};

enum ECCurve : int32_t { EC_NIST_P256 = 0, EC_LAST };

class KeyParams {
 public:
  // RSA: kRsaDefaultModSize bits, exponent 65537; ECDSA: P-256. Other types hold no parameters
  // and are invalid.
  explicit KeyParams(KeyType key_type);

  static KeyParams RSA(int mod_size = kRsaDefaultModSize, int pub_exp = kRsaDefaultExponent);
  static KeyParams ECDSA(ECCurve curve = EC_NIST_P256);

  // RSA: 2048 <= modulus <= 8192 and an odd exponent > modulus; ECDSA: P-256 only. Exactly the
  // parameters a key pair can be generated from.
  bool IsValid() const;

  RSAParams rsa_params() const;
  ECCurve ec_curve() const;
  KeyType type() const { return type_; }

 private:
  KeyType type_;
  union {
    RSAParams rsa;
    ECCurve curve;
  } params_;
};

KeyType IntKeyTypeFamilyToKeyType(int key_type_family);

struct SSLIdentityParams {
  std::string common_name;
  time_t not_before;  // Seconds since the epoch.
  time_t not_after;   // Seconds since the epoch.
  KeyParams key_params{KT_ECDSA};
};

class SSLIdentity {
 public:
  // Self-signed, valid from a day ago for `certificate_lifetime` seconds (30 days by default);
  // an empty name gets a random 8-character one. Null on failure.
  static std::unique_ptr<SSLIdentity> Generate(const std::string& common_name,
                                               const KeyParams& key_param);
  static std::unique_ptr<SSLIdentity> Generate(const std::string& common_name, KeyType key_type);
  static std::unique_ptr<SSLIdentity> GenerateWithExpiration(const std::string& common_name,
                                                             const KeyParams& key_param,
                                                             time_t certificate_lifetime);
  // With the times as given.
  static std::unique_ptr<SSLIdentity> GenerateForTest(const SSLIdentityParams& params);

  // Null when either text does not parse or the key is not the certificate's.
  static std::unique_ptr<SSLIdentity> FromPEMStrings(const std::string& private_key,
                                                     const std::string& certificate);
  // The chain text holds one or more certificates, leaf first, the key being the leaf's; text
  // after the last one is ignored.
  static std::unique_ptr<SSLIdentity> FromPEMChainStrings(const std::string& private_key,
                                                          const std::string& certificate_chain);

  virtual ~SSLIdentity() = default;

  // A new identity on the same key and certificates.
  virtual std::unique_ptr<SSLIdentity> GetReference() const = 0;
  virtual const SSLCertificate& certificate() const = 0;
  virtual const SSLCertChain& cert_chain() const = 0;
  virtual std::string PrivateKeyToPEMString() const = 0;
  virtual std::string PublicKeyToPEMString() const = 0;

  // The body between "-----BEGIN <type>-----" and "-----END <type>-----", Base64-decoded.
  // False when either line is missing or the body does not decode.
  static bool PemToDer(const std::string& pem_type, const std::string& pem_string,
                       std::string* der);
  // PEM text with Base64 lines of 64 characters.
  static std::string DerToPem(const std::string& pem_type, const unsigned char* data,
                              size_t length);
};

bool operator==(const SSLIdentity& a, const SSLIdentity& b);
bool operator!=(const SSLIdentity& a, const SSLIdentity& b);

// Seconds since the epoch of an ASN.1 time text: "YYYYMMDDhhmmssZ" when `long_format`, else
// "YYMMDDhhmmssZ" (YY below 50 is 20YY). -1 for any other text.
int64_t ASN1TimeToSec(const unsigned char* s, size_t length, bool long_format);

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

// The PEM texts of an identity's private key and certificate.
class RTCCertificatePEM {
 public:
  RTCCertificatePEM(const std::string& private_key, const std::string& certificate)
      : private_key_(private_key), certificate_(certificate) {}

  const std::string& private_key() const { return private_key_; }
  const std::string& certificate() const { return certificate_; }

 private:
  std::string private_key_;
  std::string certificate_;
};

class RTCCertificate : public RefCountInterface {
 public:
  static scoped_refptr<RTCCertificate> Create(std::unique_ptr<SSLIdentity> identity);
  // Null when the texts do not parse.
  static scoped_refptr<RTCCertificate> FromPEM(const RTCCertificatePEM& pem);

  // The certificate's notAfter in milliseconds since the epoch; 0 when unknown.
  uint64_t Expires() const;
  bool HasExpired(uint64_t now) const;

  const SSLCertificate& GetSSLCertificate() const;
  const SSLCertChain& GetSSLCertificateChain() const;
  SSLIdentity* identity() const { return identity_.get(); }

  RTCCertificatePEM ToPEM() const;

  bool operator==(const RTCCertificate& certificate) const;
  bool operator!=(const RTCCertificate& certificate) const;

 protected:
  explicit RTCCertificate(std::unique_ptr<SSLIdentity> identity);
  ~RTCCertificate() override;

 private:
  std::unique_ptr<SSLIdentity> identity_;
};

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

#endif  // RTC_BASE_TLS_OPENSSL_IDENTITY_H_
