#include "core/session_wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/json_util.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace vy {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void Key(Writer& w, const char* key) { w.Key(key, static_cast<rapidjson::SizeType>(strlen(key))); }

void Str(Writer& w, const std::string& value) {
  w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

std::string Text(const rapidjson::StringBuffer& buffer) {
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Parses `length` bytes as a JSON object into `doc` (backed by `text`).
bool ParseObject(const char* data, size_t length, JsonStr& text, rapidjson::Document& doc) {
  if (data == nullptr || length == 0 || length > kMaxHttpAnswerBytes) return false;
  text.SetData(data, static_cast<int>(length));
  return ParseJsonInsitu(text, doc) && doc.IsObject();
}

std::string SessionRequestBody(const char* id_key, const std::string& app_id, const char* user_key,
                               const std::string& user, const std::string& session_id,
                               const std::string& token) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, id_key);
  Str(w, app_id);
  Key(w, user_key);
  Str(w, user);
  Key(w, "sessId");
  Str(w, session_id);
  if (!token.empty()) {
    Key(w, "token");
    Str(w, token);
  }
  w.EndObject();
  return Text(buffer);
}

// A host name: dot-separated labels of letters, digits, '-' and '_', none empty or longer than
// kMaxHostLabelBytes, none starting or ending with '-', with an optional final dot. A name
// whose last label is all digits must be a dotted-quad IPv4 address: the resolver would read
// "10.1" or "999.1.1.1" in ways of its own, or ask a name server for it.
bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > kMaxServerAddrBytes) return false;
  if (name.back() == '.') name.remove_suffix(1);
  bool last_all_digits = false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('.', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view label = name.substr(start, end - start);
    if (label.empty() || label.size() > kMaxHostLabelBytes || label.front() == '-' ||
        label.back() == '-') {
      return false;
    }
    last_all_digits = true;
    for (char c : label) {
      const bool digit = c >= '0' && c <= '9';
      const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if (!digit && !letter && c != '-' && c != '_') return false;
      last_all_digits = last_all_digits && digit;
    }
    start = end + 1;
  }
  in_addr ip4{};
  return !last_all_digits || inet_pton(AF_INET, std::string(name).c_str(), &ip4) == 1;
}

bool IsIPv6Literal(std::string_view text) {
  in6_addr ip6{};
  return !text.empty() && text.size() < INET6_ADDRSTRLEN &&
         inet_pton(AF_INET6, std::string(text).c_str(), &ip6) == 1;
}

}  // namespace

bool ReadGatewayHost(std::string_view text, std::string* host) {
  // "[::1]" and "::1" name the same host; it is kept bare and bracketed in URLs.
  if (!text.empty() && text.front() == '[') {
    if (text.size() < 2 || text.back() != ']') return false;
    text = text.substr(1, text.size() - 2);
    if (!IsIPv6Literal(text)) return false;
  } else if (!text.empty() && !IsHostName(text) && !IsIPv6Literal(text)) {
    return false;
  }
  host->assign(text.data(), text.size());
  return true;
}

std::string BuildGatewayBody(const std::string& app_id, const std::string& user_id,
                             const std::string& token) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, "cType");
  w.Int(2);
  Key(w, "appId");
  Str(w, app_id);
  Key(w, "uid");
  Str(w, user_id);
  if (!token.empty()) {
    Key(w, "token");
    Str(w, token);
  }
  Key(w, "wss");
  w.Bool(false);
  w.EndObject();
  return Text(buffer);
}

std::string BuildLoginBody(const std::string& user_id, const std::string& user_sid,
                           const std::string& token, const std::string& session_id) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, "UserId");
  Str(w, user_id);
  Key(w, "UserSId");
  Str(w, user_sid);
  if (!token.empty()) {
    Key(w, "AcsToken");
    Str(w, token);
  }
  Key(w, "SessionId");
  Str(w, session_id);
  Key(w, "SdkVer");
  w.String(kSdkVersion);
  Key(w, "ClientSyncCall");
  w.Bool(true);
  Key(w, "ListenUserStatus");
  w.Bool(true);
  w.EndObject();
  return Text(buffer);
}

GatewayAnswer ParseGatewayAnswer(const char* data, size_t length) {
  GatewayAnswer answer;
  JsonStr text;
  rapidjson::Document doc;
  if (!ParseObject(data, length, text, doc)) return answer;
  // A "code" that is missing or no integer is a refusal like any other.
  const rapidjson::Value* code = FindJsonMember(doc, "code");
  answer.code = code != nullptr && code->IsInt() ? code->GetInt() : kGatewayRefused;
  if (answer.code != 0) {
    answer.kind = GatewayAnswer::kRefused;
    return answer;
  }
  const rapidjson::Value* session = FindJsonMember(doc, "sessionid");
  if (session != nullptr && session->IsString() &&
      session->GetStringLength() > kMaxSessionIdBytes) {
    return answer;
  }
  answer.kind = GatewayAnswer::kNoAddress;
  answer.session_id = GetJsonStr(doc, "sessionid");
  const rapidjson::Value* addresses = FindJsonMember(doc, "addresses");
  if (addresses == nullptr || !addresses->IsArray()) return answer;
  for (const rapidjson::Value& entry : addresses->GetArray()) {
    if (!entry.IsObject()) continue;
    const rapidjson::Value* type = FindJsonMember(entry, "type");
    const rapidjson::Value* addr = FindJsonMember(entry, "addr");
    const rapidjson::Value* port = FindJsonMember(entry, "port");
    if (type == nullptr || !type->IsInt() || addr == nullptr || !addr->IsString() ||
        port == nullptr || !port->IsInt()) {
      continue;
    }
    if (type->GetInt() != 1) continue;
    const size_t addr_length = addr->GetStringLength();
    if (port->GetInt() < 1 || port->GetInt() > 65535 || addr_length == 0 ||
        addr_length > kMaxServerAddrBytes || std::strlen(addr->GetString()) != addr_length) {
      continue;
    }
    answer.kind = GatewayAnswer::kAddress;
    answer.address.assign(addr->GetString(), addr->GetStringLength());
    answer.port = port->GetInt();
    return answer;
  }
  return answer;
}

ServiceParameters ParseServiceParameters(const char* json) {
  ServiceParameters params;
  if (json == nullptr) return params;
  size_t length = strnlen(json, kMaxHttpAnswerBytes + 1);
  JsonStr text;
  rapidjson::Document doc;
  if (!ParseObject(json, length, text, doc)) return params;
  std::string cmd = GetJsonStr(doc, "Cmd");
  if (cmd == "ConfPriCloudAddr") {
    const rapidjson::Value* host = FindJsonMember(doc, "ServerAdd");
    if (host != nullptr) {
      if (!host->IsString()) return params;
      std::string_view text(host->GetString(), host->GetStringLength());
      if (!ReadGatewayHost(text, &params.host)) return params;
    }
    const rapidjson::Value* port = FindJsonMember(doc, "Port");
    if (port != nullptr) {
      if (!port->IsInt() || port->GetInt() < 1 || port->GetInt() > 65535) return params;
      params.port = port->GetInt();
    }
    params.kind = ServiceParameters::kPrivateGateway;
  } else if (cmd == "LocalNetChanged") {
    params.net_type = GetJsonInt(doc, "netType");
    params.kind = ServiceParameters::kNetChanged;
  } else {
    params.kind = ServiceParameters::kUnknown;
  }
  return params;
}

std::string BuildRenewTokenBody(const std::string& token) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, "AcsToken");
  Str(w, token);
  w.EndObject();
  return Text(buffer);
}

std::string BuildCheckNetStatusBody(uint32_t time) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, "Time");
  w.Uint(time);
  w.EndObject();
  return Text(buffer);
}

std::string BuildSendMsgToPeerBody(long long message_id, const std::string& from,
                                   const std::string& to, int type, const std::string& body,
                                   const vy::rtm::SendMessageOptions& options) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, "MsgId");
  w.Int64(message_id);
  Key(w, "FromUId");
  Str(w, from);
  Key(w, "ToUId");
  Str(w, to);
  Key(w, "MsgType");
  w.Int(type);
  Key(w, "MsgBody");
  // The body ends at its first zero byte.
  w.String(body.c_str());
  if (options.enableOfflineMessaging) {
    Key(w, "OfflineMsg");
    w.Bool(true);
  }
  if (options.enableHistoricalMessaging) {
    Key(w, "HistoryMsg");
    w.Bool(true);
  }
  w.EndObject();
  return Text(buffer);
}

std::string BuildRecvMsgAckBody(long long message_id, const std::string& from) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, "MsgId");
  w.Int64(message_id);
  Key(w, "FromUId");
  Str(w, from);
  w.EndObject();
  return Text(buffer);
}

std::string BuildOfflineBody(const std::string& app_id, const std::string& user_id,
                             const std::string& session_id, const std::string& token) {
  return SessionRequestBody("appId", app_id, "uid", user_id, session_id, token);
}

std::string BuildChanHistoryBody(const std::string& app_id, const std::string& channel_id,
                                 const std::string& session_id, const std::string& token) {
  return SessionRequestBody("appId", app_id, "chanId", channel_id, session_id, token);
}

std::string BuildP2PHistoryBody(const std::string& app_id, const std::string& user_id,
                                const std::string& session_id, const std::string& token) {
  return SessionRequestBody("appId", app_id, "fromUId", user_id, session_id, token);
}

bool ParseOfflineAnswer(const char* data, size_t length, std::vector<OfflineMessage>* messages,
                        size_t* skipped) {
  messages->clear();
  if (skipped != nullptr) *skipped = 0;
  JsonStr text;
  rapidjson::Document doc;
  if (!ParseObject(data, length, text, doc)) return false;
  if (GetJsonInt(doc, "code") != 0) return false;
  const rapidjson::Value* list = FindJsonMember(doc, "data");
  if (list == nullptr || !list->IsArray()) return false;
  const size_t count = std::min<size_t>(list->Size(), kMaxOfflineMessages);
  size_t left_out = list->Size() - count;
  for (size_t i = count; i > 0; --i) {
    const rapidjson::Value& entry = (*list)[static_cast<rapidjson::SizeType>(i - 1)];
    const rapidjson::Value* from = FindJsonMember(entry, "msgFrom");
    const rapidjson::Value* body = FindJsonMember(entry, "msgBody");
    const rapidjson::Value* type = FindJsonMember(entry, "msgType");
    if (from == nullptr || !from->IsString() || from->GetStringLength() == 0 || body == nullptr ||
        !body->IsString() || body->GetStringLength() >= kMaxMessageBytes || type == nullptr ||
        !type->IsInt() ||
        (type->GetInt() != vy::rtm::MESSAGE_TYPE_TEXT &&
         type->GetInt() != vy::rtm::MESSAGE_TYPE_RAW)) {
      ++left_out;
      continue;
    }
    const rapidjson::Value* id = FindJsonMember(entry, "msgId");
    OfflineMessage message;
    message.id = id != nullptr && id->IsInt64() && id->GetInt64() >= 0 ? id->GetInt64() : 0;
    message.from.assign(from->GetString(), from->GetStringLength());
    message.body.assign(body->GetString(), body->GetStringLength());
    message.type = type->GetInt();
    messages->push_back(std::move(message));
  }
  if (skipped != nullptr) *skipped = left_out;
  return true;
}

std::string GatewayHost(const std::string& private_host) {
  return private_host.empty() ? std::string(VORTM_GATEWAY_HOST) : private_host;
}

std::string FormatServiceUrl(const char* format, const std::string& host, int port) {
  // An IPv6 literal goes in brackets, or its first ':' would be read as the port's.
  const std::string authority = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  char url[1024];
  int n = std::snprintf(url, sizeof(url), format, authority.c_str(), port);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) >= sizeof(url)) return std::string();
  return std::string(url, static_cast<size_t>(n));
}

}  // namespace vy
