#include "rtc_base/ssl_certificate.h"

#include <utility>

#include "rtc_base/base64.h"
#include "rtc_base/openssl_certificate.h"
#include "rtc_base/ssl_fingerprint.h"

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
                                               std::move(digest_algorithm),
                                               std::move(der_base64), nullptr);
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

}  // namespace rtc
