// The JSON envelope around every command: {"Cmd","Encrypt":false,"Content":<body text>} in the
// plain form, {"Cmd",["AppId",]"Encrypt":true,"TimeStamp","Nonce","Signature","Content"} in the
// encrypted one. No I/O here.
#ifndef TOOLS_LOCAL_SERVICE_ENVELOPE_H_
#define TOOLS_LOCAL_SERVICE_ENVELOPE_H_

#include <string>
#include <string_view>
#include <vector>

#include "local_service/msg_crypt.h"

namespace local_service {

struct Envelope {
  std::string cmd;
  std::string app_id;  // "Login" only
  bool has_app_id = false;
  bool encrypt = false;
  std::string timestamp;
  std::string nonce;
  std::string signature;
  std::string content;
  std::vector<std::string> keys;  // in the order received
};

// Reads the envelope's fields, checking their types. False with a reason for text that is not a
// JSON object, a missing or empty "Cmd", an "Encrypt" that is not a boolean, or a field of the
// wrong type.
bool ParseEnvelope(std::string_view payload, Envelope* env, std::string* error);

// Faults the service can put into an envelope it sends.
struct EnvelopeFaults {
  CipherFault cipher = CipherFault::kNone;
  bool corrupt_signature = false;
  bool bad_base64 = false;
};

std::string BuildPlainEnvelope(std::string_view cmd, std::string_view body);

// An empty body gives empty "Signature" and "Content", as the client does for "KeepAlive".
// With `login_app_id` set, "AppId" follows "Cmd" as in the client's "Login".
std::string BuildEncryptedEnvelope(const MsgCrypt& crypt, std::string_view cmd,
                                   std::string_view body, std::string_view timestamp,
                                   std::string_view nonce, const EnvelopeFaults& faults = {},
                                   const std::string* login_app_id = nullptr);

}  // namespace local_service

#endif  // TOOLS_LOCAL_SERVICE_ENVELOPE_H_
