// What the service does with each command a client sends.
#include <unordered_map>

#include "local_service/json_util.h"
#include "local_service/service_impl.h"

namespace local_service {
namespace {

using Impl = LocalService::Impl;
using Body = rapidjson::Value;

// A user may subscribe to this many peers in total.
constexpr size_t kMaxSubscriptions = 512;
// Messages kept for one offline user; older ones are dropped beyond it.
constexpr size_t kMaxOfflinePerUser = 10000;

std::string Describe(const Connection& conn) {
  std::string s = "conn " + std::to_string(conn.id);
  if (!conn.uid.empty()) s += " (" + conn.uid + ")";
  return s;
}

std::string CodeBody(int64_t code) {
  JsonWriter w;
  return w.BeginObject().Int("Code", code).EndObject().Take();
}

std::string CodeMsgIdBody(int64_t code, int64_t msg_id) {
  JsonWriter w;
  return w.BeginObject().Int("Code", code).Int("MsgId", msg_id).EndObject().Take();
}

std::string MsgIdCodeBody(int64_t msg_id, int64_t code) {
  JsonWriter w;
  return w.BeginObject().Int("MsgId", msg_id).Int("Code", code).EndObject().Take();
}

// Reads the members a command needs, logging which one is missing.
class Reader {
 public:
  Reader(Impl& impl, const Connection& conn, const std::string& cmd, const Body& body)
      : impl_(impl), conn_(conn), cmd_(cmd), body_(body) {}

  std::string Str(const char* key) {
    auto v = GetString(body_, key);
    if (!v) Missing(key, "string");
    return v.value_or("");
  }
  std::string OptStr(const char* key) { return GetString(body_, key).value_or(""); }
  int64_t Int(const char* key) {
    auto v = GetInt64(body_, key);
    if (!v) Missing(key, "integer");
    return v.value_or(0);
  }
  bool Has(const char* key) { return body_.IsObject() && body_.HasMember(key); }
  bool Flag(const char* key) { return GetBool(body_, key).value_or(false); }
  std::vector<std::string> List(const char* key) {
    auto v = GetStringListText(body_, key);
    if (!v) Missing(key, "JSON array of strings as text");
    return v.value_or(std::vector<std::string>{});
  }
  // Attributes given as the text of a JSON object of strings.
  std::vector<std::pair<std::string, std::string>> Attributes(const char* key) {
    std::vector<std::pair<std::string, std::string>> out;
    auto text = GetString(body_, key);
    rapidjson::Document doc;
    if (!text || !ParseJson(*text, &doc) || !doc.IsObject()) {
      Missing(key, "JSON object as text");
      return out;
    }
    for (const auto& m : doc.GetObject()) {
      if (!m.value.IsString()) {
        Missing(key, "object of string values");
        return {};
      }
      out.emplace_back(std::string(m.name.GetString(), m.name.GetStringLength()),
                       std::string(m.value.GetString(), m.value.GetStringLength()));
    }
    return out;
  }
  bool ok() const { return ok_; }

 private:
  void Missing(const char* key, const char* type) {
    if (!ok_) return;
    ok_ = false;
    impl_.Warn(Describe(conn_) + ": refused " + cmd_ + ": \"" + key + "\" is not a " + type);
  }

  Impl& impl_;
  const Connection& conn_;
  const std::string& cmd_;
  const Body& body_;
  bool ok_ = true;
};

struct Context {
  Impl& impl;
  const ConnPtr& conn;
  const std::string& cmd;
  const Body& body;
  const std::string& app() const { return conn->app_id; }
  const std::string& me() const { return conn->uid; }
  void Reply(const std::string& reply_cmd, const std::string& reply) {
    impl.SendCommand(conn, reply_cmd, reply);
  }
};

using Handler = void (*)(Context&);

// Channel messages and call commands go out as the connection's user whatever they name; a
// client naming another sender (or none) has a fault that the warning makes visible.
void CheckSender(Context& c) {
  std::string from = GetString(c.body, "FromUId").value_or("");
  if (from != c.me()) {
    c.impl.Warn(Describe(*c.conn) + ": " + c.cmd + " names FromUId \"" + from +
                "\", not the connection's user");
  }
}

void OnKeepAlive(Context&) {}

void OnLogout(Context& c) {
  c.Reply("Logout", CodeBody(0));
  c.impl.EndConnection(c.conn, 0, CloseMode::kFin, true);
}

void OnRenewAcsToken(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  std::string token = r.Str("AcsToken");
  if (!r.ok() || token.empty()) {
    c.Reply("RenewAcsToken", CodeBody(1));
    return;
  }
  c.conn->token = token;
  auto it = c.impl.sessions_.find({c.app(), c.me()});
  if (it != c.impl.sessions_.end()) it->second.token = token;
  c.impl.ArmTokenExpiry(c.conn);
  c.Reply("RenewAcsToken", CodeBody(0));
}

void OnCheckNetStatus(Context& c) {
  JsonWriter w;
  w.BeginObject();
  if (auto t = GetInt64(c.body, "Time")) w.Int("Time", *t);
  c.Reply("CheckNetStatusAck", w.EndObject().Take());
}

void OnSendMsgToPeer(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  std::string to = r.Str("ToUId");
  int64_t type = r.Int("MsgType");
  std::string text = r.Str("MsgBody");
  if (!r.ok()) return;
  bool offline = r.Flag("OfflineMsg");
  if (auto target = c.impl.OnlineConnection(c.app(), to)) {
    c.impl.pending_acks_.insert({c.app(), to, c.me(), msg_id});
    JsonWriter w;
    w.BeginObject()
        .Int("MsgId", msg_id)
        .Str("FromUId", c.me())
        .Int("MsgType", type)
        .Str("MsgBody", text)
        .Int("SvrTS", c.impl.WallMs())
        .EndObject();
    c.impl.SendCommand(target, "RecvMsgFromPeer", w.Take());
    return;
  }
  if (offline) {
    auto& box = c.impl.users_[{c.app(), to}].offline;
    if (box.size() >= kMaxOfflinePerUser) {
      c.impl.Warn("offline store of " + to + " full; dropping its oldest message");
      box.erase(box.begin());
    }
    box.push_back({msg_id, c.me(), static_cast<int>(type), text});
  }
  JsonWriter w;
  c.Reply("MsgStatus", w.BeginObject().Int("MsgId", msg_id).Int("Status", 0).EndObject().Take());
}

void OnRecvMsgFromPeerAck(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  std::string from = r.Str("FromUId");
  if (!r.ok()) return;
  if (c.impl.pending_acks_.erase({c.app(), c.me(), from, msg_id}) == 0) {
    c.impl.Info(Describe(*c.conn) + ": ack for no pending delivery " + std::to_string(msg_id));
    return;
  }
  JsonWriter w;
  c.impl.SendToUser(c.app(), from, "MsgStatus",
                    w.BeginObject().Int("MsgId", msg_id).Int("Status", 1).EndObject().Take());
}

void OnQueryOnlineStatus(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  auto ids = r.List("UserIds");
  if (!r.ok()) return;
  JsonWriter w;
  w.BeginObject().Int("MsgId", msg_id).Key("Status").BeginArray();
  for (auto& id : ids) {
    bool online = c.impl.OnlineConnection(c.app(), id) != nullptr;
    w.BeginObject().Str("UserId", id).Int("Online", online ? 1 : 0).EndObject();
  }
  c.Reply("QueryOnlineStatus", w.EndArray().EndObject().Take());
}

void OnSubscribeOnlineStatus(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  auto ids = r.List("UserIds");
  if (!r.ok()) {
    c.Reply("SubscribeOnlineStatus", CodeMsgIdBody(1, msg_id));
    return;
  }
  auto& subs = c.impl.users_[{c.app(), c.me()}].subscriptions;
  std::set<std::string> merged = subs;
  merged.insert(ids.begin(), ids.end());
  if (merged.size() > kMaxSubscriptions) {
    c.Reply("SubscribeOnlineStatus", CodeMsgIdBody(6, msg_id));
    return;
  }
  subs = std::move(merged);
  c.Reply("SubscribeOnlineStatus", CodeMsgIdBody(0, msg_id));
}

void OnUnSubscribeOnlineStatus(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  auto ids = r.List("UserIds");
  if (!r.ok()) return;
  auto& subs = c.impl.users_[{c.app(), c.me()}].subscriptions;
  for (auto& id : ids) subs.erase(id);
  c.Reply("UnSubscribeOnlineStatus", CodeMsgIdBody(0, msg_id));
}

void OnQueryOnlineSubStatus(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  if (!r.ok()) return;
  JsonWriter w;
  w.BeginObject().Int("MsgId", msg_id).Key("Status").BeginArray();
  for (auto& id : c.impl.users_[{c.app(), c.me()}].subscriptions)
    w.BeginObject().Str("UserId", id).EndObject();
  c.Reply("QueryOnlineSubStatus", w.EndArray().EndObject().Take());
}

void OnGetChanMemberSize(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  auto ids = r.List("ChanIds");
  if (!r.ok()) return;
  JsonWriter w;
  w.BeginObject().Int("MsgId", msg_id).Key("ChanMemSize").BeginArray();
  for (auto& id : ids) {
    auto it = c.impl.channels_.find({c.app(), id});
    size_t n = it == c.impl.channels_.end() ? 0 : it->second.members.size();
    w.BeginObject().Str("ChanId", id).Int("MemSize", static_cast<int64_t>(n)).EndObject();
  }
  c.Reply("GetChanMemberSize", w.EndArray().EndObject().Take());
}

std::string ChanCodeBody(const std::string& chan, int64_t code) {
  JsonWriter w;
  return w.BeginObject().Str("ChanId", chan).Int("Code", code).EndObject().Take();
}

bool IsMember(const Channel& ch, const std::string& uid) {
  return std::find(ch.members.begin(), ch.members.end(), uid) != ch.members.end();
}

void OnJoinChannel(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  std::string chan = r.Str("ChanId");
  if (!r.ok() || chan.empty()) {
    c.Reply("JoinChannel", ChanCodeBody(chan, 1));
    return;
  }
  auto& ch = c.impl.channels_[{c.app(), chan}];
  if (IsMember(ch, c.me())) {
    c.Reply("JoinChannel", ChanCodeBody(chan, 0));
    return;
  }
  ch.members.push_back(c.me());
  auto members = ch.members;
  int64_t n = static_cast<int64_t>(members.size());
  c.Reply("JoinChannel", ChanCodeBody(chan, 0));
  JsonWriter join;
  std::string join_body = join.BeginObject()
                              .Str("ChanId", chan)
                              .Int("ChanMemSize", n)
                              .Str("UserId", c.me())
                              .EndObject()
                              .Take();
  JsonWriter size;
  std::string size_body =
      size.BeginObject().Str("ChanId", chan).Int("MemSize", n).EndObject().Take();
  for (auto& m : members) {
    if (m != c.me()) c.impl.SendToUser(c.app(), m, "ChanMemberJoin", join_body);
  }
  for (auto& m : members) c.impl.SendToUser(c.app(), m, "MemSizeChanged", size_body);
}

void OnLeaveChannel(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  std::string chan = r.Str("ChanId");
  if (!r.ok()) return;
  auto it = c.impl.channels_.find({c.app(), chan});
  if (it == c.impl.channels_.end() || !IsMember(it->second, c.me())) {
    c.Reply("LeaveChannel", ChanCodeBody(chan, 1));
    return;
  }
  c.Reply("LeaveChannel", ChanCodeBody(chan, 0));
  c.impl.RemoveMember(c.app(), chan, c.me());
}

void OnSendChannelMsg(Context& c) {
  CheckSender(c);
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  std::string chan = r.Str("ChanId");
  int64_t type = r.Int("MsgType");
  std::string text = r.Str("MsgBody");
  if (!r.ok()) return;
  auto reply = [&](int64_t code) {
    JsonWriter w;
    c.Reply("SendChannelMsg", w.BeginObject()
                                  .Int("Code", code)
                                  .Str("ChanId", chan)
                                  .Int("MsgId", msg_id)
                                  .EndObject()
                                  .Take());
  };
  auto it = c.impl.channels_.find({c.app(), chan});
  if (it == c.impl.channels_.end() || !IsMember(it->second, c.me())) {
    reply(1);
    return;
  }
  auto members = it->second.members;
  reply(0);
  JsonWriter w;
  std::string out = w.BeginObject()
                        .Str("ChanId", chan)
                        .Int("MsgId", msg_id)
                        .Str("FromUId", c.me())
                        .Int("MsgType", type)
                        .Str("MsgBody", text)
                        .Int("SvrTS", c.impl.WallMs())
                        .EndObject()
                        .Take();
  for (auto& m : members) {
    if (m != c.me()) c.impl.SendToUser(c.app(), m, "RecvMsgFromChan", out);
  }
}

void OnGetChanMembers(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  std::string chan = r.Str("ChanId");
  if (!r.ok()) return;
  JsonWriter w;
  w.BeginObject().Int("Code", 0).Str("ChanId", chan).Key("Members").BeginArray();
  auto it = c.impl.channels_.find({c.app(), chan});
  if (it != c.impl.channels_.end()) {
    for (auto& m : it->second.members) w.String(m);
  }
  c.Reply("GetChanMembers", w.EndArray().EndObject().Take());
}

std::string UserAttribsText(const std::map<std::string, std::string>& attrs,
                            const std::vector<std::string>* keys) {
  JsonWriter w;
  w.BeginObject();
  for (auto& [k, v] : attrs) {
    if (keys && std::find(keys->begin(), keys->end(), k) == keys->end()) continue;
    w.Str(k, v);
  }
  return w.EndObject().Take();
}

void OnAddOrUpdateUserAttributes(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  bool set_local = r.Has("SetLocal");
  auto attrs = r.Attributes("Attributes");
  if (!r.ok()) {
    c.Reply(c.cmd, MsgIdCodeBody(msg_id, 1));
    return;
  }
  auto& mine = c.impl.users_[{c.app(), c.me()}].attributes;
  if (set_local) mine.clear();
  for (auto& [k, v] : attrs) mine[k] = v;
  JsonWriter w;
  w.BeginObject().Int("MsgId", msg_id);
  if (set_local) w.Flag("SetLocal", true);
  c.Reply(c.cmd, w.Int("Code", 0).EndObject().Take());
}

void OnDeleteUserAttributes(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  auto keys = r.List("Keys");
  if (!r.ok()) {
    c.Reply(c.cmd, MsgIdCodeBody(msg_id, 1));
    return;
  }
  auto& mine = c.impl.users_[{c.app(), c.me()}].attributes;
  for (auto& k : keys) mine.erase(k);
  c.Reply(c.cmd, MsgIdCodeBody(msg_id, 0));
}

void OnClearUserAttributes(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  if (!r.ok()) return;
  c.impl.users_[{c.app(), c.me()}].attributes.clear();
  c.Reply(c.cmd, MsgIdCodeBody(msg_id, 0));
}

void ReplyUserAttributes(Context& c, bool by_keys) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  std::string user = r.Str("UserId");
  std::vector<std::string> keys;
  if (by_keys) keys = r.List("Keys");
  if (!r.ok()) return;
  std::map<std::string, std::string> none;
  auto it = c.impl.users_.find({c.app(), user});
  const auto& attrs = it == c.impl.users_.end() ? none : it->second.attributes;
  JsonWriter w;
  w.BeginObject()
      .Int("MsgId", msg_id)
      .Str("QueryUserId", user)
      .Str("Attribs", UserAttribsText(attrs, by_keys ? &keys : nullptr))
      .EndObject();
  c.Reply(by_keys ? "QueryAttribKeys" : "QueryAttrib", w.Take());
}

void OnGetUserAttributes(Context& c) { ReplyUserAttributes(c, false); }
void OnGetUserAttributesByKeys(Context& c) { ReplyUserAttributes(c, true); }

void OnAddOrUpdateChanAttributes(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  std::string chan = r.Str("ChanId");
  bool set_chan = r.Has("SetChan");
  bool notify = r.Flag("Notify");
  auto attrs = r.Attributes("Attributes");
  if (!r.ok()) {
    c.Reply(c.cmd, MsgIdCodeBody(msg_id, 1));
    return;
  }
  auto& ch = c.impl.channels_[{c.app(), chan}];
  if (set_chan) ch.attributes.clear();
  int64_t now = c.impl.WallMs();
  for (auto& [k, v] : attrs) ch.attributes[k] = ChanAttr{v, c.me(), now};
  JsonWriter w;
  w.BeginObject().Int("MsgId", msg_id);
  if (set_chan) w.Flag("SetChan", true);
  c.Reply(c.cmd, w.Int("Code", 0).EndObject().Take());
  if (notify) c.impl.NotifyChanAttributes(c.app(), chan);
}

void OnDeleteChanAttributes(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  std::string chan = r.Str("ChanId");
  auto keys = r.List("Keys");
  if (!r.ok()) {
    c.Reply(c.cmd, MsgIdCodeBody(msg_id, 1));
    return;
  }
  auto it = c.impl.channels_.find({c.app(), chan});
  if (it != c.impl.channels_.end()) {
    for (auto& k : keys) it->second.attributes.erase(k);
  }
  c.Reply(c.cmd, MsgIdCodeBody(msg_id, 0));
  if (r.Flag("Notify")) c.impl.NotifyChanAttributes(c.app(), chan);
}

void OnClearChanAttributes(Context& c) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  std::string chan = r.Str("ChanId");
  if (!r.ok()) return;
  auto it = c.impl.channels_.find({c.app(), chan});
  if (it != c.impl.channels_.end()) it->second.attributes.clear();
  c.Reply(c.cmd, MsgIdCodeBody(msg_id, 0));
  if (r.Flag("Notify")) c.impl.NotifyChanAttributes(c.app(), chan);
}

void ReplyChanAttributes(Context& c, bool by_keys) {
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  int64_t msg_id = r.Int("MsgId");
  std::string chan = r.Str("ChanId");
  std::vector<std::string> keys;
  if (by_keys) keys = r.List("Keys");
  if (!r.ok()) return;
  Channel none;
  auto it = c.impl.channels_.find({c.app(), chan});
  const Channel& ch = it == c.impl.channels_.end() ? none : it->second;
  JsonWriter w;
  w.BeginObject()
      .Int("MsgId", msg_id)
      .Str("Attributes", c.impl.ChanAttributesJson(ch, by_keys ? &keys : nullptr))
      .EndObject();
  c.Reply(c.cmd, w.Take());
}

void OnGetChanAttributes(Context& c) { ReplyChanAttributes(c, false); }
void OnGetChanAttributesByKeys(Context& c) { ReplyChanAttributes(c, true); }

std::string CallStatusBody(const std::string& call_id, int64_t status) {
  JsonWriter w;
  return w.BeginObject().Str("CallId", call_id).Int("Status", status).EndObject().Take();
}

void OnMakeCall(Context& c) {
  CheckSender(c);
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  std::string call_id = r.Str("CallId");
  std::string callee = r.Str("ToUId");
  if (!r.ok()) return;
  auto target = c.impl.OnlineConnection(c.app(), callee);
  if (!target) {
    c.Reply("CallStatus", CallStatusBody(call_id, 3));
    return;
  }
  c.Reply("CallStatus", CallStatusBody(call_id, 1));
  auto& call = c.impl.calls_[{c.app(), call_id}];
  // The caller resends until it sees the status; the callee gets the invitation once.
  if (call.invitation_forwarded) return;
  call = Call{c.me(), callee, true, false};
  c.impl.SendCommand(target, "MakeCall", ToJson(c.body));
}

// Acks and answers go to the peer named in "ToUId".
void ForwardToPeer(Context& c) {
  CheckSender(c);
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  std::string to = r.Str("ToUId");
  if (!r.ok()) return;
  // The acknowledged answer ends the call.
  if (c.cmd == "AcceptCallAck" || c.cmd == "RejectCallAck") {
    c.impl.calls_.erase({c.app(), r.OptStr("CallId")});
  }
  c.impl.SendToUser(c.app(), to, c.cmd, ToJson(c.body));
}

void OnCancelCall(Context& c) {
  CheckSender(c);
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  std::string call_id = r.Str("CallId");
  std::string callee = r.Str("ToUId");
  if (!r.ok()) return;
  c.impl.calls_.erase({c.app(), call_id});
  if (auto target = c.impl.OnlineConnection(c.app(), callee)) {
    c.impl.SendCommand(target, "CancelCall", ToJson(c.body));
    return;
  }
  // Nobody to cancel at: the service acknowledges for the callee.
  JsonWriter w;
  c.Reply("CancelCallAck", w.BeginObject()
                               .Str("CallId", call_id)
                               .Str("FromUId", callee)
                               .Str("ToUId", c.me())
                               .Int("Code", 0)
                               .EndObject()
                               .Take());
}

void OnCallAnswer(Context& c) {
  CheckSender(c);
  Reader r(c.impl, *c.conn, c.cmd, c.body);
  std::string call_id = r.Str("CallId");
  std::string caller = r.Str("ToUId");
  if (!r.ok()) return;
  // The callee resends its answer until acknowledged; the caller sees it once. An answer for
  // a call that has ended goes through unrecorded, for the caller to refuse.
  auto it = c.impl.calls_.find({c.app(), call_id});
  if (it != c.impl.calls_.end()) {
    if (it->second.answer_forwarded) return;
    it->second.answer_forwarded = true;
  }
  c.impl.SendToUser(c.app(), caller, c.cmd, ToJson(c.body));
}

const std::unordered_map<std::string, Handler>& Handlers() {
  static const auto* handlers = new std::unordered_map<std::string, Handler>{
      {"KeepAlive", OnKeepAlive},
      {"Logout", OnLogout},
      {"RenewAcsToken", OnRenewAcsToken},
      {"CheckNetStatus", OnCheckNetStatus},
      {"SendMsgToPeer", OnSendMsgToPeer},
      {"RecvMsgFromPeerAck", OnRecvMsgFromPeerAck},
      {"QueryOnlineStatus", OnQueryOnlineStatus},
      {"SubscribeOnlineStatus", OnSubscribeOnlineStatus},
      {"UnSubscribeOnlineStatus", OnUnSubscribeOnlineStatus},
      {"QueryOnlineSubStatus", OnQueryOnlineSubStatus},
      {"GetChanMemberSize", OnGetChanMemberSize},
      {"JoinChannel", OnJoinChannel},
      {"LeaveChannel", OnLeaveChannel},
      {"SendChannelMsg", OnSendChannelMsg},
      {"GetChanMembers", OnGetChanMembers},
      {"AddOrUpdateUserAttributes", OnAddOrUpdateUserAttributes},
      {"DeleteUserAttributes", OnDeleteUserAttributes},
      {"ClearUserAttributes", OnClearUserAttributes},
      {"GetUserAttributes", OnGetUserAttributes},
      {"GetUserAttributesByKeys", OnGetUserAttributesByKeys},
      {"AddOrUpdateChanAttributes", OnAddOrUpdateChanAttributes},
      {"DeleteChanAttributes", OnDeleteChanAttributes},
      {"ClearChanAttributes", OnClearChanAttributes},
      {"GetChanAttributes", OnGetChanAttributes},
      {"GetChanAttributesByKeys", OnGetChanAttributesByKeys},
      {"MakeCall", OnMakeCall},
      {"MakeCallAck", ForwardToPeer},
      {"CancelCall", OnCancelCall},
      {"CancelCallAck", ForwardToPeer},
      {"AcceptCall", OnCallAnswer},
      {"RejectCall", OnCallAnswer},
      {"AcceptCallAck", ForwardToPeer},
      {"RejectCallAck", ForwardToPeer},
  };
  return *handlers;
}

}  // namespace

void LocalService::Impl::OnPayload(const ConnPtr& conn, const std::string& payload, char framing) {
  if (conn->detached) return;
  Envelope env;
  std::string error;
  if (!ParseEnvelope(payload, &env, &error)) {
    Warn(Describe(*conn) + ": refused envelope: " + error);
    return;
  }
  bool is_login = env.cmd == "Login";
  std::string body;
  int crypt_result = kCryptOk;
  if (env.encrypt && !(env.signature.empty() && env.content.empty())) {
    std::unique_ptr<MsgCrypt> login_crypt;
    const MsgCrypt* crypt = conn->crypt.get();
    if (is_login) {
      login_crypt = std::make_unique<MsgCrypt>(env.app_id);
      crypt = login_crypt.get();
    }
    if (!crypt) {
      Warn(Describe(*conn) + ": refused encrypted " + env.cmd + " before Login");
      return;
    }
    crypt_result = crypt->Decrypt(env.signature, env.timestamp, env.nonce, env.content, &body);
    if (crypt_result != kCryptOk) {
      Warn(Describe(*conn) + ": refused " + env.cmd + ": " + CryptResultName(crypt_result) + " (" +
           std::to_string(crypt_result) + ")");
      body.clear();
    }
  } else if (!env.encrypt) {
    body = env.content;
  }

  ReceivedCommand entry;
  entry.connection = conn->id;
  entry.app_id = is_login ? env.app_id : conn->app_id;
  entry.user = conn->uid;
  if (is_login && !conn->logged_in) {
    rapidjson::Document doc;
    if (!body.empty() && ParseJsonObject(body, &doc))
      entry.user = GetString(doc, "UserId").value_or("");
  }
  entry.cmd = env.cmd;
  entry.content = body;
  entry.envelope_keys = env.keys;
  entry.raw = payload;
  entry.encrypted = env.encrypt;
  entry.crypt_result = crypt_result;
  entry.framing = framing;
  entry.time_ms = NowMs();
  Info(Describe(*conn) + " recv " + env.cmd + " " + body);
  Record(std::move(entry));

  if (is_login) {
    OnLogin(conn, env, body, crypt_result);
    return;
  }
  if (crypt_result != kCryptOk) return;
  if (!conn->logged_in) {
    Warn(Describe(*conn) + ": refused " + env.cmd + " before Login");
    return;
  }

  // Inbound fault rules: swallow, hold back or repeat what the client sent.
  bool drop = false, duplicate = false;
  int64_t delay = 0;
  for (auto& [id, rule] : rules_) {
    if (rule.direction != Direction::kFromClient || rule.times == 0) continue;
    if (!rule.user.empty() && rule.user != conn->uid) continue;
    if (!rule.cmd.empty() && rule.cmd != env.cmd) continue;
    if (rule.times > 0) --rule.times;
    if (rule.action == FaultAction::kDrop) drop = true;
    if (rule.action == FaultAction::kDuplicate) duplicate = true;
    if (rule.action == FaultAction::kDelay) delay = std::max(delay, rule.value);
  }
  if (drop) {
    Info(Describe(*conn) + ": " + env.cmd + " swallowed by a fault rule");
    return;
  }

  auto doc = std::make_shared<rapidjson::Document>();
  if (body.empty()) {
    doc->SetObject();
  } else if (!ParseJsonObject(body, doc.get(), &error)) {
    Warn(Describe(*conn) + ": refused " + env.cmd + ": body " + error);
    return;
  }
  std::string cmd = env.cmd;
  auto run = [this, conn, cmd, doc, duplicate] {
    if (conn->closed || conn->detached) return;
    Dispatch(conn, cmd, *doc);
    if (duplicate && !conn->closed && !conn->detached) Dispatch(conn, cmd, *doc);
  };
  if (delay > 0) {
    auto timer = std::make_shared<asio::steady_timer>(io_);
    timer->expires_after(std::chrono::milliseconds(delay));
    delay_timers_.insert(timer);
    timer->async_wait([this, timer, run](asio::error_code ec) {
      delay_timers_.erase(timer);
      if (!ec && !stopping_) run();
    });
    return;
  }
  run();
}

void LocalService::Impl::Dispatch(const ConnPtr& conn, const std::string& cmd,
                                  const rapidjson::Document& body) {
  auto it = Handlers().find(cmd);
  if (it == Handlers().end()) {
    Warn(Describe(*conn) + ": unknown command \"" + cmd + "\" ignored");
    return;
  }
  Context c{*this, conn, cmd, body};
  it->second(c);
}

void LocalService::Impl::OnLogin(const ConnPtr& conn, const Envelope& env, const std::string& body,
                                 int crypt_result) {
  if (conn->logged_in) {
    Warn(Describe(*conn) + ": refused a second Login on the connection");
    return;
  }
  conn->app_id = env.app_id;
  conn->encrypted_replies = env.encrypt;
  if (env.encrypt) {
    conn->crypt = std::make_unique<MsgCrypt>(env.app_id);
    if (deterministic_) conn->crypt->SetFixedPrefix("AAAAAAAAAAAAAAAA");
  }
  auto refuse = [&](int code, const std::string& why) {
    Warn(Describe(*conn) + ": Login refused with Code " + std::to_string(code) + ": " + why);
    SendCommand(conn, "Login", CodeBody(code));
  };
  if (!env.has_app_id) return refuse(1, "no \"AppId\"");
  if (crypt_result != kCryptOk) return refuse(1, CryptResultName(crypt_result));
  rapidjson::Document doc;
  std::string error;
  if (body.empty() || !ParseJsonObject(body, &doc, &error)) return refuse(1, "body " + error);
  auto uid = GetString(doc, "UserId");
  auto session = GetString(doc, "SessionId");
  if (!uid || uid->empty() || !session) return refuse(1, "no \"UserId\" or \"SessionId\"");
  UserKey key{env.app_id, *uid};
  auto s = sessions_.find(key);
  if (s == sessions_.end() || s->second.session_id != *session)
    return refuse(2, "no gateway session " + *session + " for " + *uid);
  std::string token = GetString(doc, "AcsToken").value_or("");
  if (token != s->second.token) return refuse(3, "token differs from the gateway's");
  if (login_mode_ == LoginMode::kSilentOnReLogin && logins_answered_.count(key) != 0) {
    Info(Describe(*conn) + ": Login of " + *uid + " left unanswered (silent on re-login)");
    conn->silent = true;
    return;
  }
  logins_answered_.insert(key);

  conn->uid = *uid;
  conn->token = token;
  conn->logged_in = true;
  auto old = online_.find(key);
  ConnPtr replaced = old != online_.end() ? old->second : nullptr;
  online_[key] = conn;
  if (replaced && replaced != conn) {
    Info(Describe(*replaced) + " replaced by " + Describe(*conn));
    SendCommand(replaced, "ForceOffline", "");
    EndConnection(replaced, 1, CloseMode::kFin, true);
  }
  SendCommand(conn, "Login", CodeBody(0));
  if (!replaced) PushPresence(env.app_id, *uid, 1);
  if (login_mode_ == LoginMode::kSilentAfterLogin) {
    Info(Describe(*conn) + " goes silent after its Login");
    conn->silent = true;
    conn->stalled = true;  // nothing more is read
    return;
  }
  ArmTokenExpiry(conn);
}

void LocalService::Impl::ArmTokenExpiry(const ConnPtr& conn) {
  conn->will_expire_timer.cancel();
  conn->expire_timer.cancel();
  // A token "exp:<ms>" expires that long after it is presented.
  if (conn->token.rfind("exp:", 0) != 0) return;
  int64_t ms = std::atoll(conn->token.c_str() + 4);
  if (ms < 0) ms = 0;
  int64_t will = std::max<int64_t>(0, ms - options_.token_will_expire_lead_ms);
  std::weak_ptr<Connection> weak = conn;
  conn->will_expire_timer.expires_after(std::chrono::milliseconds(will));
  conn->will_expire_timer.async_wait([this, weak](asio::error_code ec) {
    auto c = weak.lock();
    if (ec || !c || c->closed || stopping_) return;
    SendCommand(c, "AcsTokenWillExpire", "");
  });
  conn->expire_timer.expires_after(std::chrono::milliseconds(ms));
  conn->expire_timer.async_wait([this, weak](asio::error_code ec) {
    auto c = weak.lock();
    if (ec || !c || c->closed || stopping_) return;
    Info(Describe(*c) + ": token expired");
    SendCommand(c, "AcsTokenDidExpire", "");
    EndConnection(c, 0, CloseMode::kFin, true);
  });
}

ConnPtr LocalService::Impl::OnlineConnection(const std::string& app, const std::string& uid) {
  auto it = online_.find({app, uid});
  if (it == online_.end() || it->second->closed || it->second->detached) return nullptr;
  return it->second;
}

void LocalService::Impl::SendToUser(const std::string& app, const std::string& uid,
                                    const std::string& cmd, const std::string& body) {
  if (auto conn = OnlineConnection(app, uid)) SendCommand(conn, cmd, body);
}

void LocalService::Impl::PushPresence(const std::string& app, const std::string& uid, int online) {
  JsonWriter w;
  std::string body = w.BeginObject()
                         .Key("Status")
                         .BeginArray()
                         .BeginObject()
                         .Str("UserId", uid)
                         .Int("Online", online)
                         .EndObject()
                         .EndArray()
                         .EndObject()
                         .Take();
  for (auto& [key, state] : users_) {
    if (key.first != app || key.second == uid || !state.subscriptions.count(uid)) continue;
    SendToUser(app, key.second, "PeerOnlineStatus", body);
  }
}

void LocalService::Impl::RemoveMember(const std::string& app, const std::string& chan,
                                      const std::string& uid) {
  auto it = channels_.find({app, chan});
  if (it == channels_.end()) return;
  auto& members = it->second.members;
  members.erase(std::remove(members.begin(), members.end(), uid), members.end());
  auto remaining = members;
  int64_t n = static_cast<int64_t>(remaining.size());
  if (remaining.empty() && it->second.attributes.empty()) channels_.erase(it);
  JsonWriter leave;
  std::string leave_body = leave.BeginObject()
                               .Str("ChanId", chan)
                               .Int("ChanMemSize", n)
                               .Str("UserId", uid)
                               .EndObject()
                               .Take();
  JsonWriter size;
  std::string size_body =
      size.BeginObject().Str("ChanId", chan).Int("MemSize", n).EndObject().Take();
  for (auto& m : remaining) SendToUser(app, m, "ChanMemberLeave", leave_body);
  for (auto& m : remaining) SendToUser(app, m, "MemSizeChanged", size_body);
}

void LocalService::Impl::LeaveAllChannels(const std::string& app, const std::string& uid) {
  std::vector<std::string> chans;
  for (auto& [key, ch] : channels_) {
    if (key.first == app && IsMember(ch, uid)) chans.push_back(key.second);
  }
  for (auto& chan : chans) RemoveMember(app, chan, uid);
}

std::string LocalService::Impl::ChanAttributesJson(const Channel& channel,
                                                   const std::vector<std::string>* keys) {
  JsonWriter w;
  w.BeginArray();
  for (auto& [k, a] : channel.attributes) {
    if (keys && std::find(keys->begin(), keys->end(), k) == keys->end()) continue;
    w.BeginObject()
        .Str("Key", k)
        .Str("Val", a.value)
        .Str("UId", a.uid)
        .Int("Time", a.time)
        .EndObject();
  }
  return w.EndArray().Take();
}

void LocalService::Impl::NotifyChanAttributes(const std::string& app, const std::string& chan) {
  auto it = channels_.find({app, chan});
  if (it == channels_.end()) return;
  JsonWriter w;
  std::string body = w.BeginObject()
                         .Str("ChanId", chan)
                         .Key("Attributes")
                         .Raw(ChanAttributesJson(it->second, nullptr))
                         .EndObject()
                         .Take();
  auto members = it->second.members;
  for (auto& m : members) SendToUser(app, m, "ChanAttribChanged", body);
}

}  // namespace local_service
