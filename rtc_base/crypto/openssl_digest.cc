#include "rtc_base/crypto/openssl_digest.h"

#include <openssl/evp.h>
#include <string.h>

#include <array>

#include "rtc_base/base/checks.h"
#include "rtc_base/strings/string_encode.h"

namespace rtc {

const char DIGEST_MD5[] = "md5";
const char DIGEST_SHA_1[] = "sha-1";
const char DIGEST_SHA_224[] = "sha-224";
const char DIGEST_SHA_256[] = "sha-256";
const char DIGEST_SHA_384[] = "sha-384";
const char DIGEST_SHA_512[] = "sha-512";

namespace {

// The HMAC block; digests longer than half of it are not supported.
constexpr size_t kBlockSize = 64;

}  // namespace

std::unique_ptr<MessageDigest> MessageDigestFactory::Create(const std::string& alg) {
  auto digest = std::make_unique<OpenSSLDigest>(alg);
  if (digest->Size() == 0) return nullptr;
  return digest;
}

bool IsFips180DigestAlgorithm(const std::string& alg) {
  return alg == DIGEST_SHA_1 || alg == DIGEST_SHA_224 || alg == DIGEST_SHA_256 ||
         alg == DIGEST_SHA_384 || alg == DIGEST_SHA_512;
}

size_t ComputeDigest(MessageDigest* digest, const void* input, size_t in_len, void* output,
                     size_t out_len) {
  digest->Update(input, in_len);
  return digest->Finish(output, out_len);
}

size_t ComputeDigest(const std::string& alg, const void* input, size_t in_len, void* output,
                     size_t out_len) {
  std::unique_ptr<MessageDigest> digest = MessageDigestFactory::Create(alg);
  return digest ? ComputeDigest(digest.get(), input, in_len, output, out_len) : 0;
}

std::string ComputeDigest(MessageDigest* digest, const std::string& input) {
  unsigned char output[MessageDigest::kMaxSize];
  size_t len = ComputeDigest(digest, input.data(), input.size(), output, sizeof(output));
  return hex_encode(reinterpret_cast<const char*>(output), len);
}

bool ComputeDigest(const std::string& alg, const std::string& input, std::string* output) {
  std::unique_ptr<MessageDigest> digest = MessageDigestFactory::Create(alg);
  if (!digest) return false;
  *output = ComputeDigest(digest.get(), input);
  return true;
}

std::string ComputeDigest(const std::string& alg, const std::string& input) {
  std::string output;
  ComputeDigest(alg, input, &output);
  return output;
}

size_t ComputeHmac(MessageDigest* digest, const void* key, size_t key_len, const void* input,
                   size_t in_len, void* output, size_t out_len) {
  const size_t digest_size = digest->Size();
  if (digest_size > kBlockSize / 2) return 0;

  unsigned char block[kBlockSize] = {};
  if (key_len > kBlockSize) {
    ComputeDigest(digest, key, key_len, block, sizeof(block));
  } else if (key_len > 0) {
    memcpy(block, key, key_len);
  }
  unsigned char outer_pad[kBlockSize];
  unsigned char inner_pad[kBlockSize];
  for (size_t i = 0; i < kBlockSize; ++i) {
    outer_pad[i] = block[i] ^ 0x5c;
    inner_pad[i] = block[i] ^ 0x36;
  }
  unsigned char inner[kBlockSize / 2];
  digest->Update(inner_pad, kBlockSize);
  digest->Update(input, in_len);
  digest->Finish(inner, sizeof(inner));
  digest->Update(outer_pad, kBlockSize);
  digest->Update(inner, digest_size);
  return digest->Finish(output, out_len);
}

size_t ComputeHmac(const std::string& alg, const void* key, size_t key_len, const void* input,
                   size_t in_len, void* output, size_t out_len) {
  std::unique_ptr<MessageDigest> digest = MessageDigestFactory::Create(alg);
  return digest ? ComputeHmac(digest.get(), key, key_len, input, in_len, output, out_len) : 0;
}

std::string ComputeHmac(MessageDigest* digest, const std::string& key, const std::string& input) {
  unsigned char output[MessageDigest::kMaxSize];
  size_t len = ComputeHmac(digest, key.data(), key.size(), input.data(), input.size(), output,
                           sizeof(output));
  return hex_encode(reinterpret_cast<const char*>(output), len);
}

bool ComputeHmac(const std::string& alg, const std::string& key, const std::string& input,
                 std::string* output) {
  std::unique_ptr<MessageDigest> digest = MessageDigestFactory::Create(alg);
  if (!digest) return false;
  *output = ComputeHmac(digest.get(), key, input);
  // A digest too long for the block gives no result; that is no success.
  return !output->empty();
}

std::string ComputeHmac(const std::string& alg, const std::string& key, const std::string& input) {
  std::string output;
  ComputeHmac(alg, key, input, &output);
  return output;
}

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

OpenSSLDigest::~OpenSSLDigest() { EVP_MD_CTX_free(ctx_); }

size_t OpenSSLDigest::Size() const { return md_ ? EVP_MD_get_size(md_) : 0; }

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
