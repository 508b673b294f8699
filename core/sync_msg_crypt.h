#ifndef CORE_SYNC_MSG_CRYPT_H_
#define CORE_SYNC_MSG_CRYPT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zentho {

// Result codes of EncryptMsg and DecryptMsg.
enum SyncMsgCryptError : int {
  kSyncMsgCryptOk = 0,
  kValidateSignatureError = -40001,  // decrypt: the signature does not match
  kEmptyInputError = -40002,         // both: empty text or cipher text
  kComputeSignatureError = -40003,   // encrypt: the signature could not be computed
  kIllegalAesKeyError = -40004,      // both: the encoding key is unusable
  kValidateAppIdError = -40005,      // decrypt: another app id follows the text
  kEncryptAesError = -40006,         // encrypt: AES failed
  kDecryptAesError = -40007,         // decrypt: AES failed or the padding is invalid
  kIllegalBufferError = -40008,      // decrypt: the block is too short for its length field
  kEncodeBase64Error = -40009,       // encrypt: Base64 encoding failed
  kDecodeBase64Error = -40010,       // decrypt: Base64 decoding failed
};

// The key strings every client holds. They obfuscate the traffic rather than secure it: anyone
// with the library can read and forge it. The server expects exactly these.
extern const char kBuiltinSignToken[];    // 32 hexadecimal characters
extern const char kBuiltinEncodingKey[];  // 43 characters of the Base64 alphabet

// Signs and encrypts envelope contents. The plain block is 16 random characters, the text's
// length (32-bit big-endian), the text and the app id, padded to a multiple of 32 bytes with
// p bytes of value p (1..32), encrypted with AES-256-CBC under the key decoded from the
// encoding key and an IV of the key's first 16 bytes, and sent as Base64. The signature is
// the lower-case hex SHA-1 of token, timestamp, nonce and cipher text, sorted byte-wise and
// concatenated.
//
// The decoded key, the cipher, the digest and their contexts are set up once and kept for the
// crypt's life (each message only resets them), with scratch buffers that grow to the largest
// message and stay: one crypt serves one thread at a time.
class SyncMsgCrypt {
 public:
  static constexpr size_t kRandomPrefixLength = 16;
  static constexpr size_t kLengthFieldOffset = 16;
  static constexpr size_t kTextOffset = 20;
  static constexpr size_t kBlockSize = 32;  // the pad unit; AES itself works on 16
  static constexpr size_t kEncodingKeyLength = 43;
  static constexpr size_t kAesKeyLength = 32;
  static constexpr size_t kIvLength = 16;
  static constexpr size_t kMaxBase64Input = 1000000000;

  SyncMsgCrypt(const std::string& token, const std::string& encodingKey, const std::string& appId);
  ~SyncMsgCrypt();

  SyncMsgCrypt(const SyncMsgCrypt&) = delete;
  SyncMsgCrypt& operator=(const SyncMsgCrypt&) = delete;

  int EncryptMsg(const std::string& text, const std::string& timestamp, const std::string& nonce,
                 std::string& signature, std::string& encrypted) const;
  int DecryptMsg(const std::string& signature, const std::string& timestamp,
                 const std::string& nonce, const std::string& encrypted, std::string& text) const;

  // The forms of the message path. EncryptTo takes the block's random prefix
  // (kRandomPrefixLength bytes) from the caller, which draws it with the envelope's nonce, and
  // appends the Base64 cipher text to `out`; Sign writes the 40 hex digits of the signature.
  int EncryptTo(const char* prefix, const char* text, size_t length, std::string* out) const;
  int Sign(const char* timestamp, size_t timestampLength, const char* nonce, size_t nonceLength,
           const char* cipherText, size_t cipherLength, char* signature) const;
  int DecryptMsg(const char* signature, const char* timestamp, const char* nonce,
                 const char* encrypted, size_t encryptedLength, std::string& text) const;

  // Bytes of the block kept from one message to the next (none beyond 64 KiB).
  size_t ScratchBytes() const;

  // The steps; each returns 0 or -1.
  int GenNeedEncryptData(const std::string& text, std::string& block) const;
  // As above with a given prefix of kRandomPrefixLength bytes in place of the random one.
  int GenNeedEncryptData(const std::string& prefix, const std::string& text,
                         std::string& block) const;
  static int GenAesKeyFromEncodingKey(const std::string& encodingKey, std::string& key);
  // Pads `block` (p bytes of value p) and encrypts it.
  static int AES_CBCEncrypt(const std::string& block, const std::string& key, std::string& out);
  static int AES_CBCEncrypt(const char* block, size_t length, const char* key, size_t keyLength,
                            std::string& out);
  // Decrypts and removes the pad; every pad byte is checked.
  static int AES_CBCDecrypt(const std::string& cipher, const std::string& key, std::string& out);
  static int AES_CBCDecrypt(const char* cipher, size_t length, const char* key, size_t keyLength,
                            std::string& out);
  static int EncodeBase64(const std::string& in, std::string& out);
  static int DecodeBase64(const std::string& in, std::string& out);
  static int ComputeSignature(const std::string& token, const std::string& timestamp,
                              const std::string& nonce, const std::string& cipherText,
                              std::string& signature);
  int ValidateSignature(const std::string& signature, const std::string& timestamp,
                        const std::string& nonce, const std::string& cipherText) const;
  static int GenRandStr(std::string& out, unsigned n);

 private:
  struct Engine;
  static std::unique_ptr<Engine> NewEngine(const std::string& encodingKey);

  const std::string token_;
  const std::string encoding_key_;
  const std::string app_id_;
  // Null when the key or the OpenSSL objects could not be set up; every call then fails as
  // the unusable key it is.
  const std::unique_ptr<Engine> engine_;
};

}  // namespace zentho

#endif  // CORE_SYNC_MSG_CRYPT_H_
