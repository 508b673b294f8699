#include "rtc_base/tls/ssl_fingerprint.h"

#include <ctype.h>

#include <algorithm>

#include "rtc_base/base/logging.h"
#include "rtc_base/crypto/openssl_digest.h"
#include "rtc_base/strings/string_encode.h"
#include "rtc_base/tls/openssl_certificate.h"
#include "rtc_base/tls/openssl_identity.h"

namespace rtc {

std::unique_ptr<SSLFingerprint> SSLFingerprint::Create(const std::string& algorithm,
                                                       const SSLIdentity& identity) {
  return Create(algorithm, identity.certificate());
}

std::unique_ptr<SSLFingerprint> SSLFingerprint::Create(const std::string& algorithm,
                                                       const SSLCertificate& cert) {
  uint8_t digest_val[MessageDigest::kMaxSize];
  size_t digest_len = 0;
  if (!cert.ComputeDigest(algorithm, digest_val, sizeof(digest_val), &digest_len)) {
    return nullptr;
  }
  return std::make_unique<SSLFingerprint>(algorithm, digest_val, digest_len);
}

std::unique_ptr<SSLFingerprint> SSLFingerprint::CreateFromRfc4572(const std::string& algorithm,
                                                                  const std::string& fingerprint) {
  if (algorithm.empty() || !IsFips180DigestAlgorithm(algorithm)) return nullptr;
  if (fingerprint.empty()) return nullptr;
  char value[MessageDigest::kMaxSize];
  size_t value_len = hex_decode_with_delimiter(value, sizeof(value), fingerprint.c_str(),
                                               fingerprint.length(), ':');
  if (!value_len) return nullptr;
  return std::make_unique<SSLFingerprint>(algorithm, reinterpret_cast<uint8_t*>(value), value_len);
}

std::unique_ptr<SSLFingerprint> SSLFingerprint::CreateFromCertificate(const RTCCertificate& cert) {
  std::string digest_alg;
  if (!cert.GetSSLCertificate().GetSignatureDigestAlgorithm(&digest_alg)) {
    RTC_LOG(LS_ERROR) << "Failed to retrieve the certificate's digest algorithm";
    return nullptr;
  }
  std::unique_ptr<SSLFingerprint> fingerprint = Create(digest_alg, *cert.identity());
  if (!fingerprint) {
    RTC_LOG(LS_ERROR) << "Failed to create identity fingerprint, alg=" << digest_alg;
  }
  return fingerprint;
}

SSLFingerprint::SSLFingerprint(const std::string& algorithm, const uint8_t* digest_in,
                               size_t digest_len)
    : algorithm(algorithm) {
  digest.SetData(digest_in, digest_len);
}

bool SSLFingerprint::operator==(const SSLFingerprint& other) const {
  return algorithm == other.algorithm && digest == other.digest;
}

std::string SSLFingerprint::GetRfc4572Fingerprint() const {
  std::string fingerprint =
      hex_encode_with_delimiter(reinterpret_cast<const char*>(digest.data()), digest.size(), ':');
  std::transform(fingerprint.begin(), fingerprint.end(), fingerprint.begin(), ::toupper);
  return fingerprint;
}

std::string SSLFingerprint::ToString() const { return algorithm + " " + GetRfc4572Fingerprint(); }

}  // namespace rtc
