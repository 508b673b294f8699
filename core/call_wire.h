// Wire formats of call invitations: the bodies the call manager and the service send, and the
// limits on what the server sends. Values in, text out; no I/O. Bodies are compact JSON with
// their keys in the order the server expects.
#ifndef CORE_CALL_WIRE_H_
#define CORE_CALL_WIRE_H_

#include <cstddef>
#include <string>

namespace vy {

// Call ids this client makes have this many characters.
constexpr unsigned kCallIdLength = 32;
// A received call id or user id longer than this is refused.
constexpr size_t kMaxCallIdBytes = 256;
// A received "Content" or "Response" of this many bytes or more is refused.
constexpr size_t kMaxCallTextBytes = 32768;

// {"CallId","FromUId","ToUId",`text_key`: text}: "MakeCall" ("Content"), "CancelCall"
// ("Reason"), "AcceptCall" and "RejectCall" ("Response").
std::string BuildCallBody(const std::string& call_id, const std::string& from,
                          const std::string& to, const char* text_key, const std::string& text);

// {"CallId","FromUId","ToUId","Code"}: the acknowledgements.
std::string BuildCallAckBody(const std::string& call_id, const std::string& from,
                             const std::string& to, int code);

}  // namespace vy

#endif  // CORE_CALL_WIRE_H_
