// Wire formats of the session and of peer messages: the gateway request and answer, the
// "Login" body, "setParameters" commands, "SendMsgToPeer", the offline fetch and the history
// requests. Bytes in, values out; no I/O. Bodies are compact JSON with their keys in the order
// the service expects.
#ifndef CORE_SESSION_WIRE_H_
#define CORE_SESSION_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <vortm/rtm_types.h>

namespace vy {

// Built-in values of the service.
constexpr char kHttpAgent[] = "ZODEvo";
constexpr char kSdkVersion[] = "1.0.2.0";
constexpr int kDefaultGatewayPort = 7080;
constexpr char kGatewayUrlFormat[] = "http://%s:%d/vyapi/v1?action=wrtm_gateway";
constexpr char kOfflineUrlFormat[] = "http://%s:%d/vyapi/v1/vortmgw/getOfflineMsg";
constexpr char kChanHistoryUrlFormat[] = "http://%s:%d/vyapi/v1/vortmgw/getChanHistoryMsg";
constexpr char kP2PHistoryUrlFormat[] = "http://%s:%d/vyapi/v1/vortmgw/getP2PHistoryMsg";
constexpr char kFormContentType[] = "application/x-www-form-urlencoded";
// A message's content must be shorter than this, in bytes.
constexpr size_t kMaxMessageBytes = 32768;
// HTTP answers of the offline fetch and the history requests larger than this are refused.
constexpr size_t kMaxHttpAnswerBytes = 4 * 1024 * 1024;
// A gateway answer names a session and a few addresses; a larger one is refused.
constexpr size_t kMaxGatewayAnswerBytes = 64 * 1024;

// {"cType":2,"appId","uid","token"(when not empty),"wss":false}
std::string BuildGatewayBody(const std::string& app_id, const std::string& user_id,
                             const std::string& token);

// {"UserId","UserSId","AcsToken"(when not empty),"SessionId","SdkVer","ClientSyncCall":true,
//  "ListenUserStatus":true}
std::string BuildLoginBody(const std::string& user_id, const std::string& user_sid,
                           const std::string& token, const std::string& session_id);

// A gateway session id longer than this is refused; it would go into every "Login" and fetch.
constexpr size_t kMaxSessionIdBytes = 256;
// A host name has at most 253 characters; a longer server address is skipped.
constexpr size_t kMaxServerAddrBytes = 253;

// The code of a gateway refusal without a usable "code": the login's failure code, 1.
constexpr int kGatewayRefused = 1;

struct GatewayAnswer {
  enum Kind {
    kInvalid,    // empty, not JSON, not an object, or a session id beyond kMaxSessionIdBytes:
                 // the lookup is retried
    kRefused,    // "code" not 0 (one that is absent or no integer reads kGatewayRefused)
    kNoAddress,  // "code" 0 but no usable address of type 1: the lookup is retried
    kAddress,    // "code" 0 and an address of type 1
  };
  Kind kind = kInvalid;
  int code = -1;
  std::string session_id;
  std::string address;
  int port = 0;
};

// Reads the gateway's answer. Address entries whose "type" or "port" is not an integer, whose
// "addr" is not a string of 1 to kMaxServerAddrBytes bytes without a zero byte, or whose port
// is outside 1..65535 are skipped; an "addresses" that
// is not an array holds no address.
GatewayAnswer ParseGatewayAnswer(const char* data, size_t length);

// A "setParameters" command.
struct ServiceParameters {
  enum Kind {
    kInvalid,         // null, not JSON, not an object, or a bad value
    kPrivateGateway,  // "ConfPriCloudAddr"
    kNetChanged,      // "LocalNetChanged"
    kUnknown,         // any other "Cmd"
  };
  Kind kind = kInvalid;
  std::string host;  // "ServerAdd" without enclosing brackets; empty selects the built-in gateway
  int port = 0;      // "Port"; 0 when absent, which selects the built-in port
  int net_type = -1;
};

// Parses a "setParameters" text. A "ServerAdd" that is present but not a string holding a
// gateway host (ReadGatewayHost), or a "Port" that is present but not an integer from 1 to
// 65535, makes the command invalid.
ServiceParameters ParseServiceParameters(const char* json);

// A label of a host name has at most this many bytes.
constexpr size_t kMaxHostLabelBytes = 63;

// Reads the gateway host of "ConfPriCloudAddr" into `host`: empty (the built-in gateway), a
// host name or an IPv4 address, or an IPv6 address bare or in brackets (stored bare). Anything
// else, such as an unclosed bracket, a port or a path after the host, spaces or control
// characters, is refused (false, `host` untouched): the lookup would hand it to the resolver
// as a name.
bool ReadGatewayHost(std::string_view text, std::string* host);

// {"AcsToken": token}
std::string BuildRenewTokenBody(const std::string& token);
// {"Time": time}
std::string BuildCheckNetStatusBody(uint32_t time);

// {"MsgId","FromUId","ToUId","MsgType","MsgBody","OfflineMsg"(when set),"HistoryMsg"(when set)}
std::string BuildSendMsgToPeerBody(long long message_id, const std::string& from,
                                   const std::string& to, int type, const std::string& body,
                                   const vy::rtm::SendMessageOptions& options);
// {"MsgId","FromUId"}
std::string BuildRecvMsgAckBody(long long message_id, const std::string& from);

// A received "RecvMsgFromPeer" or "MsgStatus" is read with the core's JSON readers.

// {"appId","uid","sessId","token"(when not empty)}
std::string BuildOfflineBody(const std::string& app_id, const std::string& user_id,
                             const std::string& session_id, const std::string& token);
// {"appId","chanId","sessId","token"(when not empty)}
std::string BuildChanHistoryBody(const std::string& app_id, const std::string& channel_id,
                                 const std::string& session_id, const std::string& token);
// {"appId","fromUId","sessId","token"(when not empty)}
std::string BuildP2PHistoryBody(const std::string& app_id, const std::string& user_id,
                                const std::string& session_id, const std::string& token);

struct OfflineMessage {
  long long id = 0;
  std::string from;
  int type = 0;
  std::string body;
};

// The offline fetch delivers at most this many messages; the service keeps no more per user.
constexpr size_t kMaxOfflineMessages = 10000;

// Reads the offline fetch's answer into `messages` in delivery order (the answer's last entry
// first). Only the first kMaxOfflineMessages entries (the newest) are read. Entries whose
// "msgFrom" is not a non-empty string, whose "msgBody" is not a string shorter than
// kMaxMessageBytes or whose "msgType" is not 1 (text) or 2 (raw) are skipped; a "msgId" that
// is not a non-negative integer reads as 0. `skipped` (when not null) receives the number of
// entries left out, those beyond the limit included. Returns false (and no messages) for an
// answer that is not JSON, has a "code" other than 0, or has no "data" array.
bool ParseOfflineAnswer(const char* data, size_t length, std::vector<OfflineMessage>* messages,
                        size_t* skipped = nullptr);

// The host the gateway lookup asks: `private_host` ("ConfPriCloudAddr") when not empty, else
// the build's built-in gateway host.
std::string GatewayHost(const std::string& private_host);

// Formats a URL from one of the formats above; an IPv6 literal host is bracketed.
std::string FormatServiceUrl(const char* format, const std::string& host, int port);

}  // namespace vy

#endif  // CORE_SESSION_WIRE_H_
