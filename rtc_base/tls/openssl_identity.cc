#include "rtc_base/tls/openssl_identity.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string.h>
#include <time.h>

#include <utility>
#include <vector>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/ref_counted_object.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/strings/base64.h"
#include "rtc_base/tls/openssl_utility.h"

namespace rtc {

namespace {

constexpr size_t kPemLineLength = 64;

// The two-digit value at `s`; the caller has checked that both are digits.
int TwoDigits(const unsigned char* s) { return (s[0] - '0') * 10 + (s[1] - '0'); }

}  // namespace

KeyParams::KeyParams(KeyType key_type) : type_(key_type) {
  if (key_type == KT_ECDSA) {
    params_.curve = EC_NIST_P256;
  } else if (key_type == KT_RSA) {
    params_.rsa.mod_size = kRsaDefaultModSize;
    params_.rsa.pub_exp = kRsaDefaultExponent;
  } else {
    params_.rsa = {0, 0};
  }
}

KeyParams KeyParams::RSA(int mod_size, int pub_exp) {
  KeyParams kt(KT_RSA);
  kt.params_.rsa.mod_size = mod_size;
  kt.params_.rsa.pub_exp = pub_exp;
  return kt;
}

KeyParams KeyParams::ECDSA(ECCurve curve) {
  KeyParams kt(KT_ECDSA);
  kt.params_.curve = curve;
  return kt;
}

bool KeyParams::IsValid() const {
  if (type_ == KT_RSA) {
    // An even exponent has no inverse modulo the even p - 1: no key can be made with it.
    return params_.rsa.mod_size >= static_cast<unsigned int>(kRsaMinModSize) &&
           params_.rsa.mod_size <= static_cast<unsigned int>(kRsaMaxModSize) &&
           params_.rsa.pub_exp > params_.rsa.mod_size && params_.rsa.pub_exp % 2 == 1;
  }
  if (type_ == KT_ECDSA) {
    return params_.curve == EC_NIST_P256;
  }
  return false;
}

RSAParams KeyParams::rsa_params() const {
  RTC_DCHECK(type_ == KT_RSA);
  return params_.rsa;
}

ECCurve KeyParams::ec_curve() const {
  RTC_DCHECK(type_ == KT_ECDSA);
  return params_.curve;
}

KeyType IntKeyTypeFamilyToKeyType(int key_type_family) {
  return static_cast<KeyType>(key_type_family);
}

std::unique_ptr<SSLIdentity> SSLIdentity::Generate(const std::string& common_name,
                                                   const KeyParams& key_param) {
  return OpenSSLIdentity::GenerateWithExpiration(common_name, key_param,
                                                 kDefaultCertificateLifetimeInSeconds);
}

std::unique_ptr<SSLIdentity> SSLIdentity::Generate(const std::string& common_name,
                                                   KeyType key_type) {
  return Generate(common_name, KeyParams(key_type));
}

std::unique_ptr<SSLIdentity> SSLIdentity::GenerateWithExpiration(const std::string& common_name,
                                                                 const KeyParams& key_param,
                                                                 time_t certificate_lifetime) {
  return OpenSSLIdentity::GenerateWithExpiration(common_name, key_param, certificate_lifetime);
}

std::unique_ptr<SSLIdentity> SSLIdentity::GenerateForTest(const SSLIdentityParams& params) {
  return OpenSSLIdentity::GenerateForTest(params);
}

std::unique_ptr<SSLIdentity> SSLIdentity::FromPEMStrings(const std::string& private_key,
                                                         const std::string& certificate) {
  return OpenSSLIdentity::FromPEMStrings(private_key, certificate);
}

std::unique_ptr<SSLIdentity> SSLIdentity::FromPEMChainStrings(
    const std::string& private_key, const std::string& certificate_chain) {
  return OpenSSLIdentity::FromPEMChainStrings(private_key, certificate_chain);
}

bool SSLIdentity::PemToDer(const std::string& pem_type, const std::string& pem_string,
                           std::string* der) {
  const std::string pem_start = "-----BEGIN " + pem_type + "-----";
  const size_t header = pem_string.find(pem_start);
  if (header == std::string::npos) return false;
  const size_t newline = pem_string.find('\n', header);
  if (newline == std::string::npos) return false;
  const size_t body = newline + 1;
  // Searched after the BEGIN line, so that an earlier END cannot invert the range.
  const size_t trailer = pem_string.find("-----END " + pem_type + "-----", body);
  if (trailer == std::string::npos) return false;
  std::string decoded;
  if (!Base64::DecodeFromArray(pem_string.data() + body, trailer - body,
                               Base64::DO_PARSE_WHITE | Base64::DO_PAD_ANY | Base64::DO_TERM_BUFFER,
                               &decoded, nullptr)) {
    return false;
  }
  *der = std::move(decoded);
  return true;
}

std::string SSLIdentity::DerToPem(const std::string& pem_type, const unsigned char* data,
                                  size_t length) {
  std::string b64;
  Base64::EncodeFromArray(data, length, &b64);
  std::string result = "-----BEGIN " + pem_type + "-----\n";
  result.reserve(result.size() * 2 + b64.size() + b64.size() / kPemLineLength + 1);
  for (size_t pos = 0; pos < b64.size(); pos += kPemLineLength) {
    result.append(b64, pos, kPemLineLength);
    result += '\n';
  }
  result += "-----END " + pem_type + "-----\n";
  return result;
}

bool operator==(const SSLIdentity& a, const SSLIdentity& b) {
  return static_cast<const OpenSSLIdentity&>(a) == static_cast<const OpenSSLIdentity&>(b);
}

bool operator!=(const SSLIdentity& a, const SSLIdentity& b) { return !(a == b); }

int64_t ASN1TimeToSec(const unsigned char* s, size_t length, bool long_format) {
  const size_t expected = long_format ? 15 : 13;
  if (s == nullptr || length != expected || s[length - 1] != 'Z') return -1;
  for (size_t i = 0; i + 1 < length; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
  }
  struct tm tm;
  memset(&tm, 0, sizeof(tm));
  if (long_format) {
    tm.tm_year = TwoDigits(s) * 100 + TwoDigits(s + 2) - 1900;
    s += 4;
  } else {
    const int year = TwoDigits(s);
    tm.tm_year = year < 50 ? year + 100 : year;
    s += 2;
  }
  tm.tm_mon = TwoDigits(s) - 1;
  tm.tm_mday = TwoDigits(s + 2);
  tm.tm_hour = TwoDigits(s + 4);
  tm.tm_min = TwoDigits(s + 6);
  tm.tm_sec = TwoDigits(s + 8);
  return TmToSeconds(tm);
}

namespace {

EVP_PKEY* MakeECKey(ECCurve curve) {
  if (curve != EC_NIST_P256) {
    RTC_LOG(LS_ERROR) << "ECDSA key requested for unknown curve";
    return nullptr;
  }
  // Named-curve encoding is OpenSSL's default.
  EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (!pkey) RTC_LOG(LS_ERROR) << "Failed to make EC key pair";
  return pkey;
}

EVP_PKEY* MakeRSAKey(const RSAParams& params) {
  EVP_PKEY* pkey = nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  BIGNUM* exponent = BN_new();
  if (!ctx || !exponent || !BN_set_word(exponent, params.pub_exp) ||
      EVP_PKEY_keygen_init(ctx) <= 0 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(params.mod_size)) <= 0 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, exponent) <= 0 ||
      EVP_PKEY_generate(ctx, &pkey) <= 0) {
    RTC_LOG(LS_ERROR) << "Failed to make RSA key pair";
    EVP_PKEY_free(pkey);
    pkey = nullptr;
  }
  BN_free(exponent);
  EVP_PKEY_CTX_free(ctx);
  return pkey;
}

// Text that `write` prints into a memory BIO; empty, with a line naming `function`, on failure.
template <typename Write>
std::string KeyToPem(const char* function, const char* failure, Write write) {
  BIO* temp_memory_bio = BIO_new(BIO_s_mem());
  if (!temp_memory_bio) {
    RTC_LOG(LS_ERROR) << function << ": Failed to allocate temporary memory bio";
    return "";
  }
  std::string pem;
  if (write(temp_memory_bio)) {
    pem = openssl::MemoryBioContents(temp_memory_bio);
  } else {
    RTC_LOG(LS_ERROR) << function << ": " << failure;
    ERR_clear_error();
  }
  BIO_free(temp_memory_bio);
  return pem;
}

}  // namespace

OpenSSLKeyPair::OpenSSLKeyPair(EVP_PKEY* pkey) : pkey_(pkey) {}

OpenSSLKeyPair::~OpenSSLKeyPair() { EVP_PKEY_free(pkey_); }

std::unique_ptr<OpenSSLKeyPair> OpenSSLKeyPair::Generate(const KeyParams& key_params) {
  RTC_LOG(LS_INFO) << "Making key pair";
  EVP_PKEY* pkey = nullptr;
  if (key_params.type() == KT_RSA && !key_params.IsValid()) {
    // Too small for TLS here, too large to make in reasonable time, or no key at all.
    const RSAParams rsa = key_params.rsa_params();
    RTC_LOG(LS_ERROR) << "RSA parameters refused: " << rsa.mod_size << " bits, exponent "
                      << rsa.pub_exp;
    return nullptr;
  }
  switch (key_params.type()) {
    case KT_ECDSA:
      pkey = MakeECKey(key_params.ec_curve());
      break;
    case KT_RSA:
      pkey = MakeRSAKey(key_params.rsa_params());
      break;
    default:
      RTC_LOG(LS_ERROR) << "Key type requested not understood";
      break;
  }
  if (!pkey) {
    openssl::LogSSLErrors("Generating key pair");
    return nullptr;
  }
  RTC_LOG(LS_INFO) << "Returning key pair";
  return std::make_unique<OpenSSLKeyPair>(pkey);
}

std::unique_ptr<OpenSSLKeyPair> OpenSSLKeyPair::FromPrivateKeyPEMString(
    const std::string& pem_string) {
  openssl::ScopedErrorQueueClear clear_errors;
  BIO* bio = openssl::NewReadOnlyMemoryBio(pem_string);
  if (!bio) {
    RTC_LOG(LS_ERROR) << "Failed to create a new BIO buffer.";
    return nullptr;
  }
  // An empty password instead of none: with none, OpenSSL would prompt on the terminal for an
  // encrypted key.
  char empty_password[] = "";
  EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, empty_password);
  BIO_free(bio);
  if (!pkey) {
    RTC_LOG(LS_ERROR) << "Failed to create the private key from PEM string.";
    return nullptr;
  }
  if (EVP_PKEY_missing_parameters(pkey) != 0) {
    RTC_LOG(LS_ERROR) << "The resulting key pair is missing public key parameters.";
    EVP_PKEY_free(pkey);
    return nullptr;
  }
  return std::make_unique<OpenSSLKeyPair>(pkey);
}

std::unique_ptr<OpenSSLKeyPair> OpenSSLKeyPair::GetReference() {
  AddReference();
  return std::make_unique<OpenSSLKeyPair>(pkey_);
}

void OpenSSLKeyPair::AddReference() { EVP_PKEY_up_ref(pkey_); }

std::string OpenSSLKeyPair::PrivateKeyToPEMString() const {
  return KeyToPem(__PRETTY_FUNCTION__, "Failed to write private key", [this](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, pkey_, nullptr, nullptr, 0, nullptr, nullptr);
  });
}

std::string OpenSSLKeyPair::PublicKeyToPEMString() const {
  return KeyToPem(__PRETTY_FUNCTION__, "Failed to write public key",
                  [this](BIO* bio) { return PEM_write_bio_PUBKEY(bio, pkey_); });
}

bool OpenSSLKeyPair::operator==(const OpenSSLKeyPair& other) const {
  return EVP_PKEY_eq(pkey_, other.pkey_) == 1;
}

bool OpenSSLKeyPair::operator!=(const OpenSSLKeyPair& other) const { return !(*this == other); }

RTCCertificate::RTCCertificate(std::unique_ptr<SSLIdentity> identity)
    : identity_(std::move(identity)) {
  RTC_DCHECK(identity_);
}

RTCCertificate::~RTCCertificate() = default;

scoped_refptr<RTCCertificate> RTCCertificate::Create(std::unique_ptr<SSLIdentity> identity) {
  return new RefCountedObject<RTCCertificate>(std::move(identity));
}

scoped_refptr<RTCCertificate> RTCCertificate::FromPEM(const RTCCertificatePEM& pem) {
  std::unique_ptr<SSLIdentity> identity =
      SSLIdentity::FromPEMStrings(pem.private_key(), pem.certificate());
  if (!identity) return nullptr;
  return Create(std::move(identity));
}

uint64_t RTCCertificate::Expires() const {
  int64_t expires = GetSSLCertificate().CertificateExpirationTime();
  if (expires == -1) return 0;
  return static_cast<uint64_t>(expires) * 1000;
}

bool RTCCertificate::HasExpired(uint64_t now) const { return Expires() <= now; }

const SSLCertificate& RTCCertificate::GetSSLCertificate() const { return identity_->certificate(); }

const SSLCertChain& RTCCertificate::GetSSLCertificateChain() const {
  return identity_->cert_chain();
}

RTCCertificatePEM RTCCertificate::ToPEM() const {
  return RTCCertificatePEM(identity_->PrivateKeyToPEMString(), GetSSLCertificate().ToPEMString());
}

bool RTCCertificate::operator==(const RTCCertificate& certificate) const {
  return *identity_ == *certificate.identity_;
}

bool RTCCertificate::operator!=(const RTCCertificate& certificate) const {
  return !(*this == certificate);
}

namespace {

// The key read from `pem`, when it is the key of `certificate`; null otherwise. A pair that does
// not belong together is refused here rather than at the first handshake.
std::unique_ptr<OpenSSLKeyPair> KeyPairFor(const std::string& pem,
                                           const OpenSSLCertificate& certificate) {
  std::unique_ptr<OpenSSLKeyPair> key_pair = OpenSSLKeyPair::FromPrivateKeyPEMString(pem);
  if (!key_pair) {
    RTC_LOG(LS_ERROR) << "Failed to create key pair from PEM string.";
    return nullptr;
  }
  if (X509_check_private_key(certificate.x509(), key_pair->pkey()) != 1) {
    ERR_clear_error();
    RTC_LOG(LS_ERROR) << "The private key does not belong to the certificate.";
    return nullptr;
  }
  return key_pair;
}

}  // namespace

OpenSSLIdentity::OpenSSLIdentity(std::unique_ptr<OpenSSLKeyPair> key_pair,
                                 std::unique_ptr<OpenSSLCertificate> certificate)
    : key_pair_(std::move(key_pair)) {
  RTC_DCHECK(key_pair_ != nullptr);
  RTC_DCHECK(certificate != nullptr);
  cert_chain_ = std::make_unique<SSLCertChain>(std::move(certificate));
}

OpenSSLIdentity::OpenSSLIdentity(std::unique_ptr<OpenSSLKeyPair> key_pair,
                                 std::unique_ptr<SSLCertChain> cert_chain)
    : key_pair_(std::move(key_pair)), cert_chain_(std::move(cert_chain)) {
  RTC_DCHECK(key_pair_ != nullptr);
  RTC_DCHECK(cert_chain_ != nullptr);
}

OpenSSLIdentity::~OpenSSLIdentity() = default;

std::unique_ptr<OpenSSLIdentity> OpenSSLIdentity::GenerateInternal(
    const SSLIdentityParams& params) {
  std::unique_ptr<OpenSSLKeyPair> key_pair = OpenSSLKeyPair::Generate(params.key_params);
  if (key_pair) {
    std::unique_ptr<OpenSSLCertificate> certificate =
        OpenSSLCertificate::Generate(key_pair.get(), params);
    if (certificate) {
      return std::unique_ptr<OpenSSLIdentity>(
          new OpenSSLIdentity(std::move(key_pair), std::move(certificate)));
    }
  }
  RTC_LOG(LS_INFO) << "Identity generation failed";
  return nullptr;
}

std::unique_ptr<OpenSSLIdentity> OpenSSLIdentity::GenerateWithExpiration(
    const std::string& common_name, const KeyParams& key_params, time_t certificate_lifetime) {
  SSLIdentityParams params;
  params.key_params = key_params;
  params.common_name = common_name;
  time_t now = time(nullptr);
  params.not_before = now + kCertificateWindowInSeconds;
  params.not_after = now + certificate_lifetime;
  if (params.not_before > params.not_after) return nullptr;
  return GenerateInternal(params);
}

std::unique_ptr<OpenSSLIdentity> OpenSSLIdentity::GenerateForTest(const SSLIdentityParams& params) {
  return GenerateInternal(params);
}

std::unique_ptr<SSLIdentity> OpenSSLIdentity::FromPEMStrings(const std::string& private_key,
                                                             const std::string& certificate) {
  std::unique_ptr<OpenSSLCertificate> cert = OpenSSLCertificate::FromPEMString(certificate);
  if (!cert) {
    RTC_LOG(LS_ERROR) << "Failed to create OpenSSLCertificate from PEM string.";
    return nullptr;
  }
  std::unique_ptr<OpenSSLKeyPair> key_pair = KeyPairFor(private_key, *cert);
  if (!key_pair) {
    return nullptr;
  }
  return std::unique_ptr<SSLIdentity>(new OpenSSLIdentity(std::move(key_pair), std::move(cert)));
}

std::unique_ptr<SSLIdentity> OpenSSLIdentity::FromPEMChainStrings(
    const std::string& private_key, const std::string& certificate_chain) {
  openssl::ScopedErrorQueueClear clear_errors;
  // An error left queued by an earlier call would otherwise end the list below too soon.
  ERR_clear_error();
  BIO* bio = openssl::NewReadOnlyMemoryBio(certificate_chain);
  if (!bio) return nullptr;
  std::vector<std::unique_ptr<SSLCertificate>> certs;
  while (true) {
    X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (x509 == nullptr) {
      // The text after the last certificate holds no BEGIN line; anything else is damage.
      const unsigned long err = ERR_peek_last_error();  // NOLINT(runtime/int)
      if (err == 0 ||
          (ERR_GET_LIB(err) == ERR_LIB_PEM && ERR_GET_REASON(err) == PEM_R_NO_START_LINE)) {
        break;
      }
      RTC_LOG(LS_ERROR) << "Failed to parse certificate from PEM string.";
      BIO_free(bio);
      return nullptr;
    }
    certs.push_back(std::make_unique<OpenSSLCertificate>(x509));
    X509_free(x509);
  }
  BIO_free(bio);
  if (certs.empty()) {
    RTC_LOG(LS_ERROR) << "Found no certificates in PEM string.";
    return nullptr;
  }
  std::unique_ptr<OpenSSLKeyPair> key_pair =
      KeyPairFor(private_key, static_cast<const OpenSSLCertificate&>(*certs[0]));
  if (!key_pair) {
    return nullptr;
  }
  return std::unique_ptr<SSLIdentity>(
      new OpenSSLIdentity(std::move(key_pair), std::make_unique<SSLCertChain>(std::move(certs))));
}

std::unique_ptr<SSLIdentity> OpenSSLIdentity::GetReference() const {
  return std::unique_ptr<SSLIdentity>(
      new OpenSSLIdentity(key_pair_->GetReference(), cert_chain_->Clone()));
}

const OpenSSLCertificate& OpenSSLIdentity::certificate() const {
  return static_cast<const OpenSSLCertificate&>(cert_chain_->Get(0));
}

const SSLCertChain& OpenSSLIdentity::cert_chain() const { return *cert_chain_; }

std::string OpenSSLIdentity::PrivateKeyToPEMString() const {
  return key_pair_->PrivateKeyToPEMString();
}

std::string OpenSSLIdentity::PublicKeyToPEMString() const {
  return key_pair_->PublicKeyToPEMString();
}

template <typename Target, typename UseCert, typename UseKey, typename AddChainCert>
bool OpenSSLIdentity::Configure(Target* target, UseCert use_cert, UseKey use_key,
                                AddChainCert add_chain_cert) {
  if (use_cert(target, certificate().x509()) != 1 || use_key(target, key_pair_->pkey()) != 1) {
    openssl::LogSSLErrors("Configuring key and certificate");
    return false;
  }
  for (size_t i = 1; i < cert_chain_->GetSize(); ++i) {
    const auto& cert = static_cast<const OpenSSLCertificate&>(cert_chain_->Get(i));
    if (add_chain_cert(target, cert.x509()) <= 0) {
      openssl::LogSSLErrors("Configuring intermediate certificate");
      return false;
    }
  }
  return true;
}

bool OpenSSLIdentity::ConfigureIdentity(SSL_CTX* ctx) {
  return Configure(ctx, SSL_CTX_use_certificate, SSL_CTX_use_PrivateKey,
                   [](SSL_CTX* c, X509* x509) { return SSL_CTX_add1_chain_cert(c, x509); });
}

bool OpenSSLIdentity::ConfigureIdentity(SSL* ssl) {
  return Configure(ssl, SSL_use_certificate, SSL_use_PrivateKey,
                   [](SSL* s, X509* x509) { return SSL_add1_chain_cert(s, x509); });
}

bool OpenSSLIdentity::operator==(const OpenSSLIdentity& other) const {
  return *key_pair_ == *other.key_pair_ && certificate() == other.certificate();
}

bool OpenSSLIdentity::operator!=(const OpenSSLIdentity& other) const { return !(*this == other); }

}  // namespace rtc
