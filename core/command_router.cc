#include "core/command_router.h"

namespace vy {

const std::array<const char*, CommandRouter::kCommandCount> CommandRouter::kCommandNames = {
    "Login",
    "Logout",
    "AcsTokenWillExpire",
    "AcsTokenDidExpire",
    "RecvMsgFromPeer",
    "QueryOnlineStatus",
    "PeerOnlineStatus",
    "QueryOnlineSubStatus",
    "JoinChannel",
    "RecvMsgFromChan",
    "ChanMemberJoin",
    "ChanMemberLeave",
    "LeaveChannel",
    "SendChannelMsg",
    "AddOrUpdateUserAttributes",
    "DeleteUserAttributes",
    "ClearUserAttributes",
    "QueryAttrib",
    "QueryAttribKeys",
    "MakeCall",
    "MakeCallAck",
    "CancelCallAck",
    "CallStatus",
    "CancelCall",
    "AcceptCall",
    "AcceptCallAck",
    "RejectCall",
    "RejectCallAck",
    "AddOrUpdateChanAttributes",
    "DeleteChanAttributes",
    "ClearChanAttributes",
    "GetChanAttributes",
    "GetChanAttributesByKeys",
    "GetChanMemberSize",
    "GetChanMembers",
    "ChanAttribChanged",
    "MemSizeChanged",
    "MsgStatus",
    "ForceOffline",
    "SubscribeOnlineStatus",
    "CheckNetStatusAck",
    "RenewAcsToken",
    "UnSubscribeOnlineStatus",
};

int CommandRouter::IndexOf(const std::string& name) {
  for (size_t i = 0; i < kCommandCount; ++i) {
    if (name == kCommandNames[i]) return static_cast<int>(i);
  }
  return -1;
}

bool CommandRouter::SetHandler(const char* name, Handler handler) {
  int index = name != nullptr ? IndexOf(name) : -1;
  if (index < 0) return false;
  handlers_[static_cast<size_t>(index)] = std::move(handler);
  return true;
}

bool CommandRouter::HasHandler(const char* name) const {
  int index = name != nullptr ? IndexOf(name) : -1;
  return index >= 0 && static_cast<bool>(handlers_[static_cast<size_t>(index)]);
}

bool CommandRouter::Dispatch(const std::string& cmd, const rapidjson::Value& content) const {
  int index = IndexOf(cmd);
  if (index < 0 || !handlers_[static_cast<size_t>(index)]) return false;
  // A copy, so a handler may replace its own entry while it runs.
  Handler handler = handlers_[static_cast<size_t>(index)];
  handler(content);
  return true;
}

}  // namespace vy
