#include "rtc_base/openssl_key_pair.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "rtc_base/logging.h"
#include "rtc_base/openssl_utility.h"

namespace rtc {
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

OpenSSLKeyPair::~OpenSSLKeyPair() {
  EVP_PKEY_free(pkey_);
}

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

void OpenSSLKeyPair::AddReference() {
  EVP_PKEY_up_ref(pkey_);
}

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

bool OpenSSLKeyPair::operator!=(const OpenSSLKeyPair& other) const {
  return !(*this == other);
}

}  // namespace rtc
