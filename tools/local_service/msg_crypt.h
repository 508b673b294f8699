// The envelope crypt as the remote side speaks it: the command text wrapped with a random prefix,
// its length and the app id, AES-256-CBC without library padding, Base64, and a SHA-1 signature
// over the sorted (token, timestamp, nonce, cipher text). Written here on its own from OpenSSL
// EVP, so that a fault mirrored in the client's own crypt shows up as a refused command.
#ifndef TOOLS_LOCAL_SERVICE_MSG_CRYPT_H_
#define TOOLS_LOCAL_SERVICE_MSG_CRYPT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace local_service {

// The key strings the client is built with.
inline constexpr char kSigningToken[] = "7d3e90c1a4b85f26e0c9d71b3a5f48e2";
inline constexpr char kEncodingKey[] = "Kp7wRt2ZxQm9LcV4bNf8Hy3JdTs6Ge1Ua5Xo0Wk/Pqi";

// Result codes, the same numbers the client uses so that log lines read alike.
enum CryptResult : int {
  kCryptOk = 0,
  kCryptBadSignature = -40001,
  kCryptEmptyInput = -40002,
  kCryptSignFailed = -40003,
  kCryptBadKey = -40004,
  kCryptAppIdMismatch = -40005,
  kCryptEncryptFailed = -40006,
  kCryptDecryptFailed = -40007,
  kCryptTooShort = -40008,
  kCryptBase64EncodeFailed = -40009,
  kCryptBase64DecodeFailed = -40010,
};

const char* CryptResultName(int result);

// Faults the service can put into its own encrypted contents, to see the client refuse them.
enum class CipherFault {
  kNone,
  kWrongAppId,      // the trailer names another app
  kBadPadding,      // the pad bytes disagree with the pad count
  kOversizeLength,  // the length field is larger than the block
};

// Random alphanumeric text from the secure generator.
std::string RandomAlnum(size_t n);

// Lower-case hexadecimal SHA-1 of the four strings sorted byte-wise and concatenated; empty when
// any input is empty.
std::string ComputeSignature(std::string_view token, std::string_view timestamp,
                             std::string_view nonce, std::string_view cipher_text);

// Standard Base64 with padding, no line breaks.
std::string Base64Encode(std::string_view in);
// Decodes standard Base64; like the client it ignores non-zero spare bits. False on any
// character outside the alphabet, a length that is not a multiple of 4 or misplaced padding.
bool Base64Decode(std::string_view in, std::string* out);

class MsgCrypt {
 public:
  explicit MsgCrypt(std::string app_id, std::string token = kSigningToken,
                    std::string encoding_key = kEncodingKey);

  // Fixes the random prefix (16 characters) for byte-exact comparisons; empty restores random.
  void SetFixedPrefix(std::string prefix) { fixed_prefix_ = std::move(prefix); }

  int Encrypt(std::string_view text, std::string_view timestamp, std::string_view nonce,
              std::string* signature, std::string* cipher_text,
              CipherFault fault = CipherFault::kNone) const;
  // On kCryptAppIdMismatch `text` is set to the message all the same.
  int Decrypt(std::string_view signature, std::string_view timestamp, std::string_view nonce,
              std::string_view cipher_text, std::string* text) const;

  const std::string& app_id() const { return app_id_; }

 private:
  bool DeriveKey(unsigned char key[32]) const;

  std::string app_id_;
  std::string token_;
  std::string encoding_key_;
  std::string fixed_prefix_;
};

}  // namespace local_service

#endif  // TOOLS_LOCAL_SERVICE_MSG_CRYPT_H_
