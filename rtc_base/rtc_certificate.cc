#include "rtc_base/rtc_certificate.h"

#include <utility>

#include "rtc_base/checks.h"
#include "rtc_base/ref_counted_object.h"

namespace rtc {

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

bool RTCCertificate::HasExpired(uint64_t now) const {
  return Expires() <= now;
}

const SSLCertificate& RTCCertificate::GetSSLCertificate() const {
  return identity_->certificate();
}

const SSLCertChain& RTCCertificate::GetSSLCertificateChain() const {
  return identity_->cert_chain();
}

RTCCertificatePEM RTCCertificate::ToPEM() const {
  return RTCCertificatePEM(identity_->PrivateKeyToPEMString(),
                           GetSSLCertificate().ToPEMString());
}

bool RTCCertificate::operator==(const RTCCertificate& certificate) const {
  return *identity_ == *certificate.identity_;
}

bool RTCCertificate::operator!=(const RTCCertificate& certificate) const {
  return !(*this == certificate);
}

}  // namespace rtc
