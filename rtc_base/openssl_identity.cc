#include "rtc_base/openssl_identity.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <utility>
#include <vector>

#include "rtc_base/checks.h"
#include "rtc_base/logging.h"
#include "rtc_base/openssl_utility.h"

namespace rtc {
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
    const std::string& common_name,
    const KeyParams& key_params,
    time_t certificate_lifetime) {
  SSLIdentityParams params;
  params.key_params = key_params;
  params.common_name = common_name;
  time_t now = time(nullptr);
  params.not_before = now + kCertificateWindowInSeconds;
  params.not_after = now + certificate_lifetime;
  if (params.not_before > params.not_after) return nullptr;
  return GenerateInternal(params);
}

std::unique_ptr<OpenSSLIdentity> OpenSSLIdentity::GenerateForTest(
    const SSLIdentityParams& params) {
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
    const std::string& private_key,
    const std::string& certificate_chain) {
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
  return std::unique_ptr<SSLIdentity>(new OpenSSLIdentity(
      std::move(key_pair), std::make_unique<SSLCertChain>(std::move(certs))));
}

std::unique_ptr<SSLIdentity> OpenSSLIdentity::GetReference() const {
  return std::unique_ptr<SSLIdentity>(
      new OpenSSLIdentity(key_pair_->GetReference(), cert_chain_->Clone()));
}

const OpenSSLCertificate& OpenSSLIdentity::certificate() const {
  return static_cast<const OpenSSLCertificate&>(cert_chain_->Get(0));
}

const SSLCertChain& OpenSSLIdentity::cert_chain() const {
  return *cert_chain_;
}

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
  return Configure(
      ctx, SSL_CTX_use_certificate, SSL_CTX_use_PrivateKey,
      [](SSL_CTX* c, X509* x509) { return SSL_CTX_add1_chain_cert(c, x509); });
}

bool OpenSSLIdentity::ConfigureIdentity(SSL* ssl) {
  return Configure(ssl, SSL_use_certificate, SSL_use_PrivateKey,
                   [](SSL* s, X509* x509) { return SSL_add1_chain_cert(s, x509); });
}

bool OpenSSLIdentity::operator==(const OpenSSLIdentity& other) const {
  return *key_pair_ == *other.key_pair_ && certificate() == other.certificate();
}

bool OpenSSLIdentity::operator!=(const OpenSSLIdentity& other) const {
  return !(*this == other);
}

}  // namespace rtc
