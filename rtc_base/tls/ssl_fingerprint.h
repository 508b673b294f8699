// Certificate fingerprints and their RFC 4572 text form ("AB:01:...").
#ifndef RTC_BASE_TLS_SSL_FINGERPRINT_H_
#define RTC_BASE_TLS_SSL_FINGERPRINT_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "rtc_base/strings/copy_on_write_buffer.h"

namespace rtc {

class RTCCertificate;
class SSLCertificate;
class SSLIdentity;

struct SSLFingerprint {
  // Null when the digest cannot be computed.
  static std::unique_ptr<SSLFingerprint> Create(const std::string& algorithm,
                                                const SSLIdentity& identity);
  static std::unique_ptr<SSLFingerprint> Create(const std::string& algorithm,
                                                const SSLCertificate& cert);
  static std::unique_ptr<SSLFingerprint> CreateUnique(const std::string& algorithm,
                                                      const SSLIdentity& identity) {
    return Create(algorithm, identity);
  }

  // Null unless `algorithm` is a SHA digest name and `fingerprint` holds hex pairs.
  static std::unique_ptr<SSLFingerprint> CreateFromRfc4572(const std::string& algorithm,
                                                           const std::string& fingerprint);
  static std::unique_ptr<SSLFingerprint> CreateUniqueFromRfc4572(const std::string& algorithm,
                                                                 const std::string& fingerprint) {
    return CreateFromRfc4572(algorithm, fingerprint);
  }

  // With the digest of the certificate's own signature algorithm.
  static std::unique_ptr<SSLFingerprint> CreateFromCertificate(const RTCCertificate& cert);

  SSLFingerprint(const std::string& algorithm, const uint8_t* digest_in, size_t digest_len);
  SSLFingerprint(const SSLFingerprint& from) = default;
  SSLFingerprint& operator=(const SSLFingerprint& from) = default;

  bool operator==(const SSLFingerprint& other) const;

  // Upper-case hex pairs joined by ':'.
  std::string GetRfc4572Fingerprint() const;
  // The algorithm, a blank and the RFC 4572 text.
  std::string ToString() const;

  std::string algorithm;
  CopyOnWriteBuffer digest;
};

}  // namespace rtc

#endif  // RTC_BASE_TLS_SSL_FINGERPRINT_H_
