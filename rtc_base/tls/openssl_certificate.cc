#include "rtc_base/tls/openssl_certificate.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <utility>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/crypto/helpers.h"
#include "rtc_base/crypto/openssl_digest.h"
#include "rtc_base/strings/base64.h"
#include "rtc_base/tls/openssl_identity.h"
#include "rtc_base/tls/openssl_utility.h"
#include "rtc_base/tls/ssl_fingerprint.h"

namespace rtc {

SSLCertificateStats::SSLCertificateStats(std::string&& fingerprint,
                                         std::string&& fingerprint_algorithm,
                                         std::string&& base64_certificate,
                                         std::unique_ptr<SSLCertificateStats> issuer)
    : fingerprint(std::move(fingerprint)),
      fingerprint_algorithm(std::move(fingerprint_algorithm)),
      base64_certificate(std::move(base64_certificate)),
      issuer(std::move(issuer)) {}

SSLCertificateStats::~SSLCertificateStats() = default;

std::unique_ptr<SSLCertificate> SSLCertificate::FromPEMString(const std::string& pem_string) {
  return OpenSSLCertificate::FromPEMString(pem_string);
}

std::unique_ptr<SSLCertificateStats> SSLCertificate::GetStats() const {
  std::string digest_algorithm;
  if (!GetSignatureDigestAlgorithm(&digest_algorithm)) return nullptr;
  std::unique_ptr<SSLFingerprint> fingerprint = SSLFingerprint::Create(digest_algorithm, *this);
  if (!fingerprint) return nullptr;
  Buffer der;
  ToDER(&der);
  std::string der_base64;
  Base64::EncodeFromArray(der.data(), der.size(), &der_base64);
  return std::make_unique<SSLCertificateStats>(fingerprint->GetRfc4572Fingerprint(),
                                               std::move(digest_algorithm), std::move(der_base64),
                                               nullptr);
}

SSLCertChain::SSLCertChain(std::unique_ptr<SSLCertificate> single_cert) {
  certs_.push_back(std::move(single_cert));
}

SSLCertChain::SSLCertChain(std::vector<std::unique_ptr<SSLCertificate>> certs)
    : certs_(std::move(certs)) {}

SSLCertChain::SSLCertChain(SSLCertChain&&) = default;
SSLCertChain& SSLCertChain::operator=(SSLCertChain&&) = default;
SSLCertChain::~SSLCertChain() = default;

std::unique_ptr<SSLCertChain> SSLCertChain::Clone() const {
  std::vector<std::unique_ptr<SSLCertificate>> copies;
  copies.reserve(certs_.size());
  for (const auto& cert : certs_) copies.push_back(cert->Clone());
  return std::make_unique<SSLCertChain>(std::move(copies));
}

std::unique_ptr<SSLCertificateStats> SSLCertChain::GetStats() const {
  // Built from the root end, so that each entry can take the one above it as its issuer.
  std::unique_ptr<SSLCertificateStats> issuer;
  for (auto it = certs_.rbegin(); it != certs_.rend(); ++it) {
    std::unique_ptr<SSLCertificateStats> stats = (*it)->GetStats();
    if (stats) stats->issuer = std::move(issuer);
    issuer = std::move(stats);
  }
  return issuer;
}

namespace {

constexpr int kSerialBits = 64;
constexpr size_t kRandomCommonNameLength = 8;

struct SignatureDigest {
  int nid;
  const char* digest;
};

constexpr SignatureDigest kSignatureDigests[] = {
    {NID_md5WithRSAEncryption, DIGEST_MD5},
    {NID_md5WithRSA, DIGEST_MD5},
    {NID_sha1WithRSAEncryption, DIGEST_SHA_1},
    {NID_dsaWithSHA1, DIGEST_SHA_1},
    {NID_dsaWithSHA1_2, DIGEST_SHA_1},
    {NID_sha1WithRSA, DIGEST_SHA_1},
    {NID_ecdsa_with_SHA1, DIGEST_SHA_1},
    {NID_sha224WithRSAEncryption, DIGEST_SHA_224},
    {NID_ecdsa_with_SHA224, DIGEST_SHA_224},
    {NID_dsa_with_SHA224, DIGEST_SHA_224},
    {NID_sha256WithRSAEncryption, DIGEST_SHA_256},
    {NID_ecdsa_with_SHA256, DIGEST_SHA_256},
    {NID_dsa_with_SHA256, DIGEST_SHA_256},
    {NID_sha384WithRSAEncryption, DIGEST_SHA_384},
    {NID_ecdsa_with_SHA384, DIGEST_SHA_384},
    {NID_sha512WithRSAEncryption, DIGEST_SHA_512},
    {NID_ecdsa_with_SHA512, DIGEST_SHA_512},
};

void PrintCert(X509* x509) {
  if (LogMessage::IsNoop(LS_VERBOSE)) return;
  BIO* temp_memory_bio = BIO_new(BIO_s_mem());
  if (!temp_memory_bio) {
    RTC_LOG(LS_ERROR) << "void rtc::(anonymous namespace)::PrintCert(X509 *): "
                      << "Failed to allocate temporary memory bio";
    return;
  }
  X509_print_ex(temp_memory_bio, x509, XN_FLAG_SEP_CPLUS_SPC, 0);
  RTC_LOG(LS_VERBOSE) << openssl::MemoryBioContents(temp_memory_bio);
  BIO_free(temp_memory_bio);
}

// Null on failure, with nothing left allocated.
X509* MakeCertificate(EVP_PKEY* pkey, const std::string& common_name,
                      const SSLIdentityParams& params) {
  X509* x509 = X509_new();
  BIGNUM* serial_number = BN_new();
  X509_NAME* name = X509_NAME_new();
  // The top bit is set, so that the serial number has exactly 64 bits.
  bool ok = x509 && serial_number && name && X509_set_pubkey(x509, pkey) &&
            BN_rand(serial_number, kSerialBits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) &&
            BN_to_ASN1_INTEGER(serial_number, X509_get_serialNumber(x509)) &&
            X509_set_version(x509, 2) &&  // X.509 v3
            X509_NAME_add_entry_by_NID(name, NID_commonName, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(common_name.c_str()),
                                       -1, -1, 0) &&
            X509_set_subject_name(x509, name) && X509_set_issuer_name(x509, name);
  time_t epoch_off = 0;
  ok = ok && X509_time_adj(X509_getm_notBefore(x509), params.not_before, &epoch_off) &&
       X509_time_adj(X509_getm_notAfter(x509), params.not_after, &epoch_off) &&
       X509_sign(x509, pkey, EVP_sha256()) > 0;
  X509_NAME_free(name);
  BN_free(serial_number);
  if (!ok) {
    X509_free(x509);
    return nullptr;
  }
  return x509;
}

}  // namespace

OpenSSLCertificate::OpenSSLCertificate(X509* x509) : x509_(x509) {
  RTC_DCHECK(x509_ != nullptr);
  X509_up_ref(x509_);
}

OpenSSLCertificate::~OpenSSLCertificate() { X509_free(x509_); }

std::unique_ptr<OpenSSLCertificate> OpenSSLCertificate::Generate(OpenSSLKeyPair* key_pair,
                                                                 const SSLIdentityParams& params) {
  std::string common_name = params.common_name;
  if (common_name.empty()) {
    common_name = CreateRandomString(kRandomCommonNameLength);
  }
  RTC_LOG(LS_INFO) << "Making certificate for " << common_name;
  X509* x509 = MakeCertificate(key_pair->pkey(), common_name, params);
  if (!x509) {
    openssl::LogSSLErrors("Generating certificate");
    return nullptr;
  }
  RTC_LOG(LS_INFO) << "Returning certificate";
  PrintCert(x509);
  auto certificate = std::make_unique<OpenSSLCertificate>(x509);
  X509_free(x509);
  return certificate;
}

std::unique_ptr<OpenSSLCertificate> OpenSSLCertificate::FromPEMString(
    const std::string& pem_string) {
  openssl::ScopedErrorQueueClear clear_errors;
  BIO* bio = openssl::NewReadOnlyMemoryBio(pem_string);
  if (!bio) return nullptr;
  X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (!x509) return nullptr;
  auto certificate = std::make_unique<OpenSSLCertificate>(x509);
  X509_free(x509);
  return certificate;
}

std::unique_ptr<SSLCertificate> OpenSSLCertificate::Clone() const {
  return std::make_unique<OpenSSLCertificate>(x509_);
}

std::string OpenSSLCertificate::ToPEMString() const {
  BIO* bio = BIO_new(BIO_s_mem());
  RTC_CHECK(bio) << "Unreachable code.";
  RTC_CHECK(PEM_write_bio_X509(bio, x509_)) << "Unreachable code.";
  std::string result = openssl::MemoryBioContents(bio);
  BIO_free(bio);
  return result;
}

void OpenSSLCertificate::ToDER(Buffer* der_buffer) const {
  der_buffer->SetSize(0);
  BIO* bio = BIO_new(BIO_s_mem());
  RTC_CHECK(bio) << "Unreachable code.";
  RTC_CHECK(i2d_X509_bio(bio, x509_)) << "Unreachable code.";
  std::string der = openssl::MemoryBioContents(bio);
  BIO_free(bio);
  der_buffer->SetData(der.data(), der.size());
}

bool OpenSSLCertificate::GetSignatureDigestAlgorithm(std::string* algorithm) const {
  const int nid = X509_get_signature_nid(x509_);
  for (const SignatureDigest& entry : kSignatureDigests) {
    if (entry.nid == nid) {
      *algorithm = entry.digest;
      return true;
    }
  }
  RTC_LOG(LS_ERROR) << "Unknown signature algorithm NID: " << nid;
  algorithm->clear();
  return false;
}

bool OpenSSLCertificate::ComputeDigest(const std::string& algorithm, unsigned char* digest,
                                       size_t size, size_t* length) const {
  return ComputeDigest(x509_, algorithm, digest, size, length);
}

bool OpenSSLCertificate::ComputeDigest(const X509* x509, const std::string& algorithm,
                                       unsigned char* digest, size_t size, size_t* length) {
  const EVP_MD* md = nullptr;
  if (!OpenSSLDigest::GetDigestEVP(algorithm, &md)) return false;
  if (size < static_cast<size_t>(EVP_MD_get_size(md))) return false;
  unsigned int n = 0;
  if (!X509_digest(x509, md, digest, &n)) {
    ERR_clear_error();
    return false;
  }
  *length = n;
  return true;
}

int64_t OpenSSLCertificate::CertificateExpirationTime() const {
  const ASN1_TIME* expire_time = X509_get0_notAfter(x509_);
  const int type = ASN1_STRING_type(expire_time);
  if (type != V_ASN1_UTCTIME && type != V_ASN1_GENERALIZEDTIME) return -1;
  return ASN1TimeToSec(ASN1_STRING_get0_data(expire_time), ASN1_STRING_length(expire_time),
                       type == V_ASN1_GENERALIZEDTIME);
}

bool OpenSSLCertificate::operator==(const OpenSSLCertificate& other) const {
  return X509_cmp(x509_, other.x509_) == 0;
}

bool OpenSSLCertificate::operator!=(const OpenSSLCertificate& other) const {
  return !(*this == other);
}

}  // namespace rtc
