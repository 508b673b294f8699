#include "rtc_base/openssl_digest.h"

#include <openssl/evp.h>

#include <array>

#include "rtc_base/checks.h"

namespace rtc {
namespace {

struct DigestName {
  const char* name;
  const char* openssl_name;
};

constexpr std::array<DigestName, 6> kDigests = {{
    {DIGEST_MD5, "MD5"},
    {DIGEST_SHA_1, "SHA1"},
    {DIGEST_SHA_224, "SHA224"},
    {DIGEST_SHA_256, "SHA256"},
    {DIGEST_SHA_384, "SHA384"},
    {DIGEST_SHA_512, "SHA512"},
}};

// Fetched once: initialising a context with an explicitly fetched method skips the method
// lookup that every initialisation with EVP_sha256() and friends would do. The methods live
// as long as the process.
const std::array<EVP_MD*, kDigests.size()>& Methods() {
  static const std::array<EVP_MD*, kDigests.size()> methods = [] {
    std::array<EVP_MD*, kDigests.size()> fetched{};
    for (size_t i = 0; i < kDigests.size(); ++i) {
      fetched[i] = EVP_MD_fetch(nullptr, kDigests[i].openssl_name, nullptr);
    }
    return fetched;
  }();
  return methods;
}

}  // namespace

OpenSSLDigest::OpenSSLDigest(const std::string& algorithm) {
  ctx_ = EVP_MD_CTX_new();
  RTC_CHECK(ctx_ != nullptr);
  if (GetDigestEVP(algorithm, &md_)) {
    EVP_DigestInit_ex(ctx_, md_, nullptr);
  } else {
    md_ = nullptr;
  }
}

OpenSSLDigest::~OpenSSLDigest() {
  EVP_MD_CTX_free(ctx_);
}

size_t OpenSSLDigest::Size() const {
  return md_ ? EVP_MD_get_size(md_) : 0;
}

void OpenSSLDigest::Update(const void* buf, size_t len) {
  if (md_) EVP_DigestUpdate(ctx_, buf, len);
}

size_t OpenSSLDigest::Finish(void* buf, size_t len) {
  if (!md_ || len < Size()) return 0;
  unsigned int written = 0;
  EVP_DigestFinal_ex(ctx_, static_cast<unsigned char*>(buf), &written);
  EVP_DigestInit_ex(ctx_, md_, nullptr);
  return written;
}

bool OpenSSLDigest::GetDigestEVP(const std::string& algorithm, const EVP_MD** mdp) {
  for (size_t i = 0; i < kDigests.size(); ++i) {
    if (algorithm == kDigests[i].name) {
      *mdp = Methods()[i];
      return *mdp != nullptr;
    }
  }
  return false;
}

bool OpenSSLDigest::GetDigestName(const EVP_MD* md, std::string* algorithm) {
  RTC_DCHECK(md != nullptr);
  RTC_DCHECK(algorithm != nullptr);
  int type = EVP_MD_get_type(md);
  for (size_t i = 0; i < kDigests.size(); ++i) {
    if (Methods()[i] && EVP_MD_get_type(Methods()[i]) == type) {
      *algorithm = kDigests[i].name;
      return true;
    }
  }
  algorithm->clear();
  return false;
}

bool OpenSSLDigest::GetDigestSize(const std::string& algorithm, size_t* length) {
  const EVP_MD* md = nullptr;
  if (!GetDigestEVP(algorithm, &md)) return false;
  *length = EVP_MD_get_size(md);
  return true;
}

}  // namespace rtc
