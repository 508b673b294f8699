// A reference-counted identity with an expiry, for sharing across threads.
#ifndef RTC_BASE_RTC_CERTIFICATE_H_
#define RTC_BASE_RTC_CERTIFICATE_H_

#include <stdint.h>

#include <memory>
#include <string>

#include "rtc_base/ref_count.h"
#include "rtc_base/scoped_refptr.h"
#include "rtc_base/ssl_identity.h"

namespace rtc {

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

}  // namespace rtc

#endif  // RTC_BASE_RTC_CERTIFICATE_H_
