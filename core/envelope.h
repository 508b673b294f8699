#ifndef CORE_ENVELOPE_H_
#define CORE_ENVELOPE_H_

#include <cstdint>
#include <string>

#include "core/json_util.h"

namespace zentho {
class SyncMsgCrypt;
}

namespace vy {

// The JSON envelope around every command on the connection. Without a message crypt:
//   {"Cmd":..,"Encrypt":false,"Content":<the body's JSON text>}
// with one (from the first "Login" on):
//   {"Cmd":..,"Encrypt":true,"TimeStamp":..,"Nonce":..,"Signature":..,"Content":<Base64>}
// The "Login" envelope alone carries "AppId" right after "Cmd". An empty body gives empty
// "Signature" and "Content": that is how content-less commands ("KeepAlive", "Logout") travel.

constexpr size_t kEnvelopeNonceLength = 10;
// Received contents longer than this are logged as "content too long...".
constexpr size_t kMaxLoggedContent = 1024;

// BuildEnvelope's result when no random nonce could be made.
constexpr int kEnvelopeNoNonce = -1;

// Builds the envelope text. `appId` is null except for "Login". `timestampMs` is the wall
// clock (rtc::TimeUTCMillis). Returns the crypt's result code (0 also for the plain form);
// on a crypt failure the envelope still carries whatever signature and content it produced
// (none), as the server expects an answerable command either way. Without a nonce (the secure
// generator failed) it returns kEnvelopeNoNonce with an empty `envelope`: a command without
// one must not be sent.
// The text goes into `envelope` after `headerRoom` bytes left for the frame header (zeros),
// so the frame needs no second copy; a reused `envelope` keeps its capacity.
int BuildEnvelope(const std::string& cmd, const std::string& content,
                  const zentho::SyncMsgCrypt* crypt, const std::string* appId, int64_t timestampMs,
                  std::string* envelope, size_t headerRoom = 0);

enum class EnvelopeResult {
  kOk,
  kNotJson,        // not JSON, or nested too deep
  kNotObject,      // JSON, but not an object
  kNoEncryptFlag,  // "Encrypt" missing or not a boolean
  kNoCrypt,        // encrypted, but no message crypt exists yet
  kDecryptFailed,  // the content failed a signature, Base64, AES, pad, length or app id check
};

const char* EnvelopeResultText(EnvelopeResult result);

// One received command, unwrapped. The content document's strings point into content_text,
// so the two live together. Kept and reused for the next packet, it allocates nothing for
// small documents: their values live in pools over its own buffers.
struct ReceivedCommand {
  ReceivedCommand();
  ReceivedCommand(const ReceivedCommand&) = delete;
  ReceivedCommand& operator=(const ReceivedCommand&) = delete;

  // Empties both documents and their pools.
  void Reset();
  // Once a command is handled: Reset, and gives back the text buffers a command larger than
  // kKeptCommandBytes grew, so one large frame does not stay allocated for the session's life.
  void GiveBackLarge();
  // Bytes the text buffers hold allocated.
  size_t HeldBytes() const;
  static constexpr size_t kKeptCommandBytes = 64 * 1024;

  std::string cmd;
  std::string content;  // the plain body; empty for content-less commands
  bool encrypted = false;
  int crypt_result = 0;  // DecryptMsg's code when kDecryptFailed
  JsonStr content_text;
  JsonStr envelope_text;  // UnwrapEnvelope's copy of a read-only payload
  char envelope_pool_buffer[1024];
  char content_pool_buffer[4096];
  rapidjson::MemoryPoolAllocator<> envelope_pool;
  rapidjson::MemoryPoolAllocator<> content_pool;
  rapidjson::Document envelope_doc;
  rapidjson::Document content_doc;  // an object; members are read with the JSON readers
};

// Unwraps one packet payload. Only kOk gives a command to dispatch: a non-empty content that
// fails any check is dropped rather than dispatched with empty or unchecked data.
EnvelopeResult UnwrapEnvelope(const char* payload, int length, const zentho::SyncMsgCrypt* crypt,
                              ReceivedCommand* out);
// The same over a writable payload, NUL-terminated at payload[length], which is parsed in place
// (its bytes are changed) instead of copied.
EnvelopeResult UnwrapEnvelopeInPlace(char* payload, int length, const zentho::SyncMsgCrypt* crypt,
                                     ReceivedCommand* out);

// The content as the "Recv" log line shows it: in full up to kMaxLoggedContent bytes, else
// "content too long...".
const char* RecvLogContent(const std::string& content);

}  // namespace vy

#endif  // CORE_ENVELOPE_H_
