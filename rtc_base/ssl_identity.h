// Key parameters and identities: a key pair with its certificate chain, generated self-signed
// or read from PEM.
#ifndef RTC_BASE_SSL_IDENTITY_H_
#define RTC_BASE_SSL_IDENTITY_H_

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <memory>
#include <string>

#include "rtc_base/ssl_certificate.h"

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

}  // namespace rtc

#endif  // RTC_BASE_SSL_IDENTITY_H_
