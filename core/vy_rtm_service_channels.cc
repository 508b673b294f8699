// Channels on the service's side: the registry of channels, the checks and the pending entries
// of channel messages, the server's channel commands, and what the session does to channels:
// they leave their joined state with the connection, join again after a login, and are
// detached at logout and at the service's release.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/channel_wire.h"
#include "core/json_util.h"
#include "core/request_wire.h"
#include "core/rtc_log.h"
#include "core/session_wire.h"
#include "core/thread_mgr.h"
#include "core/vy_channel.h"
#include "core/vy_channel_attribute.h"
#include "core/vy_rtm_service.h"
#include "rtc_base/base/time_utils.h"

namespace vy {

namespace {

// A string member of 1 to `limit` - 1 bytes.
bool ReadText(const rapidjson::Value& content, const char* key, size_t limit, std::string* out) {
  const rapidjson::Value* value = FindJsonMember(content, key);
  if (value == nullptr || !value->IsString() || value->GetStringLength() == 0 ||
      value->GetStringLength() >= limit) {
    return false;
  }
  out->assign(value->GetString(), value->GetStringLength());
  return true;
}

}  // namespace

rtm::IChannel* VyRtmService::createChannel_w(const char* channelId,
                                             rtm::IChannelEventHandler* eventHandler) {
  if (channelId == nullptr || channelId[0] == '\0') return nullptr;
  const std::string id = channelId;
  // The server's answers name channels of at most this length; a longer one would hear nothing.
  if (id.size() >= kMaxChannelIdBytes) {
    RtcPrintf(kRtcLogWarning, "API createChannel refused: the id has %zu bytes", id.size());
    return nullptr;
  }
  auto it = channels_.find(id);
  if (it != channels_.end()) return it->second;
  VyChannel* channel = new VyChannel(this, eventHandler, worker_, id);
  channels_[id] = channel;
  return channel;
}

VyChannel* VyRtmService::FindChannel(const std::string& channelId) const {
  auto it = channels_.find(channelId);
  return it == channels_.end() ? nullptr : it->second;
}

std::vector<std::pair<std::string, VyChannel*>> VyRtmService::ChannelSnapshot() const {
  return {channels_.begin(), channels_.end()};
}

bool VyRtmService::StillRegistered(const std::pair<std::string, VyChannel*>& entry) const {
  return FindChannel(entry.first) == entry.second;
}

int VyRtmService::OnVyChannelSession(std::string* userId) {
  if (!IsInitialized()) return 101;
  if (!logged_in_) return 102;
  *userId = user_id_;
  return 0;
}

int VyRtmService::OnVyChanlelMsgCheck(const std::string& channelId, const rtm::IMessage* message,
                                      const rtm::SendMessageOptions& options,
                                      rtm::IChannelEventHandler* handler) {
  auto refuse = [handler](long long id, rtm::CHANNEL_MESSAGE_ERR_CODE code) {
    if (handler != nullptr) handler->onSendMessageResult(id, code);
    return static_cast<int>(code);
  };
  if (message == nullptr || channelId.empty()) {
    return refuse(0, rtm::CHANNEL_MESSAGE_ERR_FAILURE);
  }
  const long long id = message->getMessageId();
  // As for peer sends: a second send of a message still waiting would take over its result.
  if (pending_.count(id) != 0) {
    RtcPrintf(kRtcLogWarning, "SendChannelMsg refused: message %lld already awaits its result", id);
    return -1;
  }
  if (!IsInitialized()) return refuse(id, rtm::CHANNEL_MESSAGE_ERR_NOT_INITIALIZED);
  if (!logged_in_) return refuse(id, rtm::CHANNEL_MESSAGE_ERR_USER_NOT_LOGGED_IN);
  const char* text = message->getText();
  const bool valid =
      message->getMessageType() == rtm::MESSAGE_TYPE_TEXT
          ? text != nullptr && text[0] != '\0' && strlen(text) < kMaxMessageBytes
          : message->getRawMessageLength() >= 0 &&
                static_cast<size_t>(message->getRawMessageLength()) < kMaxMessageBytes;
  if (!valid) return refuse(id, rtm::CHANNEL_MESSAGE_ERR_INVALID_MESSAGE);
  if (MsgTooOfen()) return refuse(id, rtm::CHANNEL_MESSAGE_ERR_NOT_AVAILABLE);
  MsgInfo& info = AddPending(id);
  info.peer = false;
  info.offline = options.enableOfflineMessaging;
  info.channel_id = channelId;
  return 0;
}

void VyRtmService::OnVyChannelMsgOut(const std::string&, const std::string& cmd,
                                     const std::string& content) {
  doSendMsg(cmd, content);
}

void VyRtmService::OnVyChannelJoin(const std::string& channelId, bool rejoin) {
  SendInOrder(rejoin ? kRejoinChannel : kJoinChannel, channelId, "JoinChannel",
              BuildChannelIdBody(channelId));
}

void VyRtmService::OnVyChannelRequest(const std::string& channelId, const std::string& cmd,
                                      const std::string& content, bool waits) {
  // Leaves and member lists are requests: each ends with its answer, its time-out, the loss of
  // the connection or the logout.
  if (cmd == "LeaveChannel") {
    SendInOrder(kLeaveChannel, channelId, "LeaveChannel", content, waits);
  } else {
    SendInOrder(kGetChannelMembers, channelId, "GetChanMembers", content, waits);
  }
}

void VyRtmService::SendInOrder(RequestKind kind, const std::string& channelId, const char* cmd,
                               const std::string& content, bool waits) {
  // Answers name no request: one command of a channel and kind is on its way at a time, so that
  // no answer can overtake another.
  if (requests_.AddInOrder(kind, rtc::TimeMillis(), channelId, cmd, content, waits)) {
    doSendMsg(cmd, content);
  }
}

bool VyRtmService::AnswerChannel(const char* cmd, const std::string& channelId) {
  std::string next;
  const bool answered = requests_.AnswerInOrder(cmd, channelId, rtc::TimeMillis(), &next);
  // What waited goes out before the reports, whose handlers may make more.
  if (!next.empty()) doSendMsg(cmd, next);
  return answered;
}

void VyRtmService::SettleWaiting(const std::string& channelId, bool in) {
  VyChannel* channel = FindChannel(channelId);
  if (channel == nullptr) return;
  if (in || channel->joined()) {
    for (const char* cmd : {"LeaveChannel", "GetChanMembers"}) {
      const std::string content = requests_.SendWaiting(cmd, channelId, rtc::TimeMillis());
      if (!content.empty()) doSendMsg(cmd, content);
    }
    return;
  }
  // A join still to come decides.
  if (requests_.Queued("JoinChannel", channelId) || channel->Rejoining()) return;
  // The user is out of the channel: what waited is answered as if made now.
  for (const RequestTable::Entry& entry : requests_.TakeWaiting(channelId)) {
    // A report may release the channel, whose release then has nothing left to report.
    channel = FindChannel(channelId);
    if (channel == nullptr) return;
    if (entry.kind == kLeaveChannel) {
      channel->SetLeaveCode(rtm::LEAVE_CHANNEL_ERR_OK);
    } else {
      channel->SetMembers({}, rtm::GET_MEMBERS_ERR_NOT_IN_CHANNEL);
    }
  }
}

void VyRtmService::LeaveUnwanted(const std::string& channelId) {
  RtcPrintf(kRtcLogWarning, "Recv cmd=JoinChannel for %s after its join had ended: leaving it",
            channelId.c_str());
  // Its answer is awaited like that of the app's leaves, which must not take it.
  SendInOrder(kDropChannel, channelId, "LeaveChannel", BuildChannelIdBody(channelId));
}

ChannelRequests VyRtmService::OnVyChannelDestory(const std::string& channelId) {
  channels_.erase(channelId);
  // What the channel awaits ends now, but keeps its place until its answer comes: that answer
  // must not end a request of a new channel of the same id.
  ChannelRequests ended;
  for (const RequestTable::Entry& request : requests_.EndScope(channelId)) {
    switch (request.kind) {
      case kJoinChannel:
        ++ended.joins;
        break;
      case kRejoinChannel:
        ++ended.rejoins;
        break;
      case kLeaveChannel:
        ++ended.leaves;
        break;
      case kGetChannelMembers:
        ++ended.member_lists;
        break;
      default:  // our own leave: nobody asked for it
        break;
    }
  }
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (!it->second.peer && it->second.channel_id == channelId) {
      ended.sends.push_back(it->first);
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  return ended;
}

void VyRtmService::ReportChannelRequest(const RequestTable::Entry& entry, RequestEnd end) {
  VyChannel* channel = FindChannel(entry.scope);
  if (channel == nullptr || entry.ended) return;
  // The three families share their codes: 4 timed out, 1 failed, 102 not logged in.
  const int code = end == kRequestTimedOut         ? rtm::JOIN_CHANNEL_ERR_TIMEOUT
                   : end == kRequestConnectionLost ? rtm::JOIN_CHANNEL_ERR_FAILURE
                                                   : rtm::JOIN_CHANNEL_ERR_USER_NOT_LOGGED_IN;
  switch (entry.kind) {
    case kJoinChannel:
    case kRejoinChannel:
      channel->JoinFailed(static_cast<rtm::JOIN_CHANNEL_ERR>(code), entry.kind == kRejoinChannel);
      break;
    case kLeaveChannel:
      channel->LeaveFailed(static_cast<rtm::LEAVE_CHANNEL_ERR>(code));
      break;
    case kGetChannelMembers:
      channel->SetMembers({}, static_cast<rtm::GET_MEMBERS_ERR>(code));
      break;
    default:  // our own leave: nobody asked for it
      break;
  }
}

void VyRtmService::ReportChannelSend(long long messageId, const MsgInfo& info, int code) {
  if (VyChannel* channel = FindChannel(info.channel_id))
    channel->SendMessageResult(messageId, code);
}

void VyRtmService::LoseChannels() {
  for (const auto& entry : ChannelSnapshot()) entry.second->LostConnection();
  // Answers to requests sent on the lost connection will not come, and no answer on the next
  // connection is theirs: every one still waiting ends here, the ended ones without a report.
  for (const RequestTable::Entry& request : requests_.TakeKinds(
           {kJoinChannel, kRejoinChannel, kLeaveChannel, kDropChannel, kGetChannelMembers})) {
    ReportChannelRequest(request, kRequestConnectionLost);
  }
}

void VyRtmService::RejoinChannels(bool login) {
  rejoin_due_ = false;
  for (const auto& entry : ChannelSnapshot()) {
    // A handler may log out, release or leave a channel from inside an earlier report.
    if (!logged_in_) return;
    if (!StillRegistered(entry)) continue;
    if (login) entry.second->MarkRejoin();
    entry.second->TryRejoin();
    // A join refused by the limiter is tried again on a later pass.
    if (entry.second->NeedsRejoin()) rejoin_due_ = true;
  }
}

void VyRtmService::DetachChannels(const std::vector<std::pair<std::string, VyChannel*>>& channels,
                                  int code) {
  for (const auto& entry : channels) {
    if (!StillRegistered(entry)) continue;
    channels_.erase(entry.first);
    entry.second->Detach(code);
  }
}

void VyRtmService::InstallChannelCommands() {
  router_.SetHandler("JoinChannel", [this](const rapidjson::Value& content) {
    std::string id;
    if (!InSession("JoinChannel") || !ReadText(content, "ChanId", kMaxChannelIdBytes, &id)) return;
    const int code = ReplyCode("JoinChannel", content, rtm::JOIN_CHANNEL_ERR_FAILURE);
    // The answer to the joins of this channel on their way, even ones that have ended.
    const bool answered = AnswerChannel("JoinChannel", id);
    bool reported = false;
    while (std::optional<RequestTable::Entry> join = requests_.TakeAnswered("JoinChannel", id)) {
      VyChannel* channel = FindChannel(id);
      if (join->ended || channel == nullptr) continue;
      channel->SetJoinCode(code, join->kind == kRejoinChannel);
      reported = true;
    }
    VyChannel* channel = FindChannel(id);
    if (!reported && code == 0) {
      // The answer to joins that have ended, or one nobody asked for. The server must not keep
      // us in a channel the app does not want, and one it wants is joined.
      if (channel != nullptr && channel->Wanted()) {
        channel->JoinedLate();
      } else {
        LeaveUnwanted(id);
      }
    } else if (!reported) {
      RtcPrintf(kRtcLogWarning, "Recv cmd=JoinChannel for %s, %s, dropped", id.c_str(),
                answered ? "after its join had ended" : "which awaits none");
    }
    if (logged_in_) SettleWaiting(id, code == 0);
  });
  router_.SetHandler("LeaveChannel", [this](const rapidjson::Value& content) {
    std::string id;
    if (!InSession("LeaveChannel") || !ReadText(content, "ChanId", kMaxChannelIdBytes, &id)) {
      return;
    }
    const int code = ReplyCode("LeaveChannel", content, rtm::LEAVE_CHANNEL_ERR_FAILURE);
    // Our own leaves and the app's wait in the order sent: each takes its own answer.
    if (!AnswerChannel("LeaveChannel", id)) {
      RtcPrintf(kRtcLogWarning, "Recv cmd=LeaveChannel for %s, which awaits none, dropped",
                id.c_str());
      return;
    }
    while (std::optional<RequestTable::Entry> leave = requests_.TakeAnswered("LeaveChannel", id)) {
      VyChannel* channel = FindChannel(id);
      if (leave->kind == kDropChannel || channel == nullptr) continue;
      if (!leave->ended) {
        channel->SetLeaveCode(code);
      } else if (leave->expired) {
        // The app was told the user is still in.
        RtcPrintf(kRtcLogWarning, "Recv cmd=LeaveChannel for %s after its time-out, Code %d",
                  id.c_str(), code);
        channel->LeftLate(code);
        if (channel->NeedsRejoin()) rejoin_due_ = true;
      }
    }
  });
  router_.SetHandler("SendChannelMsg", [this](const rapidjson::Value& content) {
    if (!InSession("SendChannelMsg")) return;
    const long long id = GetJsonInt64(content, "MsgId");
    auto it = pending_.find(id);
    // A repeated or late answer: the send has had its one result.
    if (it == pending_.end() || it->second.peer) {
      RtcPrintf(kRtcLogWarning, "SendChannelMsg for message %lld, which awaits none, ignored", id);
      return;
    }
    MsgInfo info = std::move(it->second);
    pending_.erase(it);
    ReportChannelSend(id, info,
                      ReplyCode("SendChannelMsg", content, rtm::CHANNEL_MESSAGE_ERR_FAILURE) == 0
                          ? rtm::CHANNEL_MESSAGE_ERR_OK
                          : rtm::CHANNEL_MESSAGE_ERR_FAILURE);
  });
  router_.SetHandler("RecvMsgFromChan", [this](const rapidjson::Value& content) {
    if (!InSession("RecvMsgFromChan")) return;
    std::string id, from;
    const rapidjson::Value* msg_id = FindJsonMember(content, "MsgId");
    const rapidjson::Value* body = FindJsonMember(content, "MsgBody");
    const int type = GetJsonInt(content, "MsgType");
    if (!ReadText(content, "ChanId", kMaxChannelIdBytes, &id) ||
        !ReadText(content, "FromUId", kMaxChannelIdBytes, &from) || msg_id == nullptr ||
        !msg_id->IsInt64() || msg_id->GetInt64() < 0 || body == nullptr || !body->IsString() ||
        body->GetStringLength() >= kMaxMessageBytes ||
        (type != rtm::MESSAGE_TYPE_TEXT && type != rtm::MESSAGE_TYPE_RAW)) {
      RtcPrintf(kRtcLogWarning,
                "Recv cmd=RecvMsgFromChan refused: ChanId, MsgId, FromUId, MsgType or MsgBody "
                "missing or out of range");
      return;
    }
    VyChannel* channel = FindChannel(id);
    if (channel == nullptr) return;
    // The server's time is for the app only: one that is absent or negative reads as 0.
    channel->RecvChanMsg(msg_id->GetInt64(), from, type,
                         std::max<int64_t>(GetJsonInt64(content, "SvrTS"), 0),
                         std::string(body->GetString(), body->GetStringLength()));
  });
  for (const char* cmd : {"ChanMemberJoin", "ChanMemberLeave"}) {
    router_.SetHandler(cmd, [this, cmd](const rapidjson::Value& content) {
      std::string id, user;
      if (!InSession(cmd)) return;
      if (!ReadText(content, "ChanId", kMaxChannelIdBytes, &id) ||
          !ReadText(content, "UserId", kMaxChannelIdBytes, &user)) {
        RtcPrintf(kRtcLogWarning, "Recv cmd=%s refused: ChanId or UserId missing or too long", cmd);
        return;
      }
      VyChannel* channel = FindChannel(id);
      if (channel == nullptr) return;
      if (strcmp(cmd, "ChanMemberJoin") == 0) {
        channel->MemberJoin(user);
      } else {
        channel->MemberLeave(user);
      }
    });
  }
  router_.SetHandler("GetChanMembers", [this](const rapidjson::Value& content) {
    std::string id;
    if (!InSession("GetChanMembers") || !ReadText(content, "ChanId", kMaxChannelIdBytes, &id)) {
      return;
    }
    if (!AnswerChannel("GetChanMembers", id)) {
      RtcPrintf(kRtcLogWarning, "Recv cmd=GetChanMembers for %s, which awaits none, dropped",
                id.c_str());
      return;
    }
    const rapidjson::Value* members = FindJsonMember(content, "Members");
    const bool listed = ReplyCode("GetChanMembers", content, rtm::GET_MEMBERS_ERR_FAILURE) == 0 &&
                        members != nullptr && members->IsArray();
    std::vector<std::string> users;
    size_t skipped = 0;
    if (listed) {
      for (const rapidjson::Value& member : members->GetArray()) {
        if (!member.IsString() || member.GetStringLength() == 0 ||
            member.GetStringLength() >= kMaxChannelIdBytes ||
            users.size() >= kMaxReplyListEntries) {
          ++skipped;
          continue;
        }
        users.emplace_back(member.GetString(), member.GetStringLength());
      }
      LogSkipped("GetChanMembers", skipped);
    }
    // One list answers every request that went out with it; a list that comes after its
    // request has ended is no answer to a later one.
    while (std::optional<RequestTable::Entry> list = requests_.TakeAnswered("GetChanMembers", id)) {
      VyChannel* channel = FindChannel(id);
      if (list->ended) {
        RtcPrintf(kRtcLogWarning, "Recv cmd=GetChanMembers for %s after its request had ended",
                  id.c_str());
      }
      if (list->ended || channel == nullptr) continue;
      channel->SetMembers(users, listed ? rtm::GET_MEMBERS_ERR_OK : rtm::GET_MEMBERS_ERR_FAILURE);
    }
  });
  router_.SetHandler("ChanAttribChanged", [this](const rapidjson::Value& content) {
    std::string id;
    if (!InSession("ChanAttribChanged") || !ReadText(content, "ChanId", kMaxChannelIdBytes, &id)) {
      return;
    }
    VyChannel* channel = FindChannel(id);
    if (channel == nullptr) return;
    std::vector<ChannelAttributeEntry> entries;
    size_t skipped = 0;
    const rapidjson::Value* attributes = FindJsonMember(content, "Attributes");
    if (attributes != nullptr) ReadChannelAttributeArray(*attributes, &entries, &skipped);
    LogSkipped("ChanAttribChanged", skipped);
    ChannelAttributeArray array(entries);
    channel->SetAttributesUpdated(array.data(), array.size());
  });
  router_.SetHandler("MemSizeChanged", [this](const rapidjson::Value& content) {
    std::string id;
    if (!InSession("MemSizeChanged") || !ReadText(content, "ChanId", kMaxChannelIdBytes, &id)) {
      return;
    }
    const rapidjson::Value* size = FindJsonMember(content, "MemSize");
    if (size == nullptr || !size->IsInt() || size->GetInt() < 0) {
      RtcPrintf(kRtcLogWarning, "Recv cmd=MemSizeChanged refused: MemSize is not a count");
      return;
    }
    if (VyChannel* channel = FindChannel(id)) channel->SetMemberSizeChange(size->GetInt());
  });
}

}  // namespace vy
