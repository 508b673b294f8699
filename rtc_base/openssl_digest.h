#ifndef RTC_BASE_OPENSSL_DIGEST_H_
#define RTC_BASE_OPENSSL_DIGEST_H_

#include <openssl/types.h>
#include <stddef.h>

#include <string>

#include "rtc_base/message_digest.h"

namespace rtc {

// A MessageDigest on OpenSSL's EVP interface. An unknown name gives an object of Size() 0
// that ignores input.
class OpenSSLDigest final : public MessageDigest {
 public:
  explicit OpenSSLDigest(const std::string& algorithm);
  ~OpenSSLDigest() override;
  OpenSSLDigest(const OpenSSLDigest&) = delete;
  OpenSSLDigest& operator=(const OpenSSLDigest&) = delete;

  size_t Size() const override;
  void Update(const void* buf, size_t len) override;
  size_t Finish(void* buf, size_t len) override;

  // The method of a digest name; false for an unknown one.
  static bool GetDigestEVP(const std::string& algorithm, const EVP_MD** md);
  // The name of a method (by its type); false, with `algorithm` cleared, for another one.
  static bool GetDigestName(const EVP_MD* md, std::string* algorithm);
  static bool GetDigestSize(const std::string& algorithm, size_t* len);

 private:
  EVP_MD_CTX* ctx_ = nullptr;
  const EVP_MD* md_ = nullptr;
};

}  // namespace rtc

#endif  // RTC_BASE_OPENSSL_DIGEST_H_
