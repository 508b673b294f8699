// Named message digests ("md5", "sha-1" ... "sha-512") and HMAC over them, with OpenSSL.
#ifndef RTC_BASE_CRYPTO_OPENSSL_DIGEST_H_
#define RTC_BASE_CRYPTO_OPENSSL_DIGEST_H_

#include <openssl/types.h>
#include <stddef.h>

#include <memory>
#include <string>

namespace rtc {

// Digest names; they compare exactly, so "SHA-256" is unknown.
extern const char DIGEST_MD5[];
extern const char DIGEST_SHA_1[];
extern const char DIGEST_SHA_224[];
extern const char DIGEST_SHA_256[];
extern const char DIGEST_SHA_384[];
extern const char DIGEST_SHA_512[];

// A running digest. After Finish it starts over, ready for the next input.
class MessageDigest {
 public:
  static constexpr size_t kMaxSize = 64;

  virtual ~MessageDigest() = default;
  // Bytes of output; 0 for an unknown algorithm.
  virtual size_t Size() const = 0;
  virtual void Update(const void* buf, size_t len) = 0;
  // Writes the digest and returns its size; 0 when `len` is smaller than Size().
  virtual size_t Finish(void* buf, size_t len) = 0;
};

class MessageDigestFactory {
 public:
  // Null for an unknown name.
  static std::unique_ptr<MessageDigest> Create(const std::string& alg);
};

// True for the SHA family ("sha-1" to "sha-512"), not for "md5".
bool IsFips180DigestAlgorithm(const std::string& alg);

// Each returns the bytes written, 0 when the name is unknown or `out_len` is too small.
size_t ComputeDigest(MessageDigest* digest, const void* input, size_t in_len, void* output,
                     size_t out_len);
size_t ComputeDigest(const std::string& alg, const void* input, size_t in_len, void* output,
                     size_t out_len);
// Lower-case hex.
std::string ComputeDigest(MessageDigest* digest, const std::string& input);
// False for an unknown name.
bool ComputeDigest(const std::string& alg, const std::string& input, std::string* output);
// Empty for an unknown name.
std::string ComputeDigest(const std::string& alg, const std::string& input);

// HMAC (RFC 2104) with a 64-byte block, so digests longer than 32 bytes ("sha-384",
// "sha-512") are refused: the forms return 0, false or "", like an unknown name.
size_t ComputeHmac(MessageDigest* digest, const void* key, size_t key_len, const void* input,
                   size_t in_len, void* output, size_t out_len);
size_t ComputeHmac(const std::string& alg, const void* key, size_t key_len, const void* input,
                   size_t in_len, void* output, size_t out_len);
std::string ComputeHmac(MessageDigest* digest, const std::string& key, const std::string& input);
bool ComputeHmac(const std::string& alg, const std::string& key, const std::string& input,
                 std::string* output);
std::string ComputeHmac(const std::string& alg, const std::string& key, const std::string& input);

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

#endif  // RTC_BASE_CRYPTO_OPENSSL_DIGEST_H_
