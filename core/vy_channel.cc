#include "core/vy_channel.h"

#include <memory>

#include "core/channel_wire.h"
#include "core/rtm_invoke.h"
#include "core/vy_message.h"
#include "rtc_base/base/location.h"
#include "rtc_base/base/time_utils.h"

namespace vy {

VyChannel::VyChannel(VyChannelEvent* event, rtm::IChannelEventHandler* handler, rtc::Thread* owner,
                     const std::string& channelId)
    : event_(event), handler_(handler), owner_(owner), channel_id_(channelId) {}

int VyChannel::join() { return InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyChannel::join_w); }

int VyChannel::leave() { return InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyChannel::leave_w); }

int VyChannel::sendMessage(const rtm::IMessage* message) {
  return sendMessage(message, rtm::SendMessageOptions());
}

int VyChannel::sendMessage(const rtm::IMessage* message, const rtm::SendMessageOptions& options) {
  return InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyChannel::sendMessage_w, message, options);
}

int VyChannel::getMembers() {
  return InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyChannel::getMembers_w);
}

void VyChannel::release() {
  if (InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyChannel::release_w)) return;
  if (owner_->IsCurrent()) {
    owner_->Dispose(this);
  } else {
    delete this;
  }
}

bool VyChannel::release_w() {
  if (released_) return true;
  released_ = true;
  VyChannelEvent* event = event_;
  rtm::IChannelEventHandler* handler = handler_;
  // Operations called from inside the reports below are refused (101).
  Detach(rtm::JOIN_CHANNEL_ERR_NOT_INITIALIZED);
  if (event == nullptr) return false;
  // The service must not be handed a reference into the object it is letting go.
  const std::string id = channel_id_;
  // No result can come once the channel is gone, so what it awaits ends here.
  const ChannelRequests ended = event->OnVyChannelDestory(id);
  if (handler == nullptr) return false;
  for (int i = 0; i < ended.joins + ended.rejoins; ++i) {
    ReportJoin(handler, rtm::JOIN_CHANNEL_ERR_USER_NOT_LOGGED_IN, i >= ended.joins);
  }
  for (int i = 0; i < ended.leaves; ++i) {
    handler->onLeave(rtm::LEAVE_CHANNEL_ERR_USER_NOT_LOGGED_IN);
  }
  for (int i = 0; i < ended.member_lists; ++i) {
    handler->onGetMembers(nullptr, 0, rtm::GET_MEMBERS_ERR_USER_NOT_LOGGED_IN);
  }
  for (long long messageId : ended.sends) {
    handler->onSendMessageResult(messageId, rtm::CHANNEL_MESSAGE_ERR_USER_NOT_LOGGED_IN);
  }
  return false;
}

void VyChannel::Detach(int code) {
  event_ = nullptr;
  handler_ = nullptr;
  joined_ = member_ = rejoining_ = rejoin_due_ = false;
  joins_ = leaves_ = 0;
  detach_code_ = code;
}

void VyChannel::Send(const char* cmd, const std::string& content) {
  if (event_ != nullptr) event_->OnVyChannelMsgOut(channel_id_, cmd, content);
}

bool VyChannel::AwaitsRejoin() {
  std::string user_id;
  return !joined_ && member_ && Rejoining() && event_->OnVyChannelSession(&user_id) == 0;
}

void VyChannel::Request(const char* cmd, const std::string& content, bool waits) {
  if (event_ != nullptr) event_->OnVyChannelRequest(channel_id_, cmd, content, waits);
}

void VyChannel::SendJoin(bool rejoin) {
  if (event_ != nullptr) event_->OnVyChannelJoin(channel_id_, rejoin);
}

int VyChannel::join_w() {
  if (event_ == nullptr) return detach_code_;
  // Without a session the command would go nowhere and the app would wait for its time-out.
  std::string user_id;
  const int session = event_->OnVyChannelSession(&user_id);
  if (session != 0) return session;
  if (!join_limiter_.Allow()) return rtm::JOIN_CHANNEL_ERR_TOO_OFTEN;
  ++joins_;
  rejoin_due_ = false;
  SendJoin(false);
  return rtm::JOIN_CHANNEL_ERR_OK;
}

void VyChannel::TryRejoin() {
  if (!rejoin_due_ || event_ == nullptr) return;
  if (!join_limiter_.Allow()) return;
  rejoin_due_ = false;
  rejoining_ = true;
  SendJoin(true);
}

int VyChannel::leave_w() {
  if (event_ == nullptr) return detach_code_;
  // While its own join after a login is on its way, its answer decides whether the user is in
  // the channel: the leave waits for it. One still due is not made.
  const bool waits = rejoining_ && AwaitsRejoin();
  const bool in = joined_ || waits;
  member_ = joined_ = rejoin_due_ = false;
  if (!in) return rtm::LEAVE_CHANNEL_ERR_NOT_IN_CHANNEL;
  ++leaves_;
  Request("LeaveChannel", BuildChannelIdBody(channel_id_), waits);
  return rtm::LEAVE_CHANNEL_ERR_OK;
}

int VyChannel::sendMessage_w(const rtm::IMessage* message, const rtm::SendMessageOptions& options) {
  if (event_ == nullptr) return detach_code_;
  if (!joined_) return rtm::CHANNEL_MESSAGE_ERR_NOT_AVAILABLE;
  const int code = event_->OnVyChanlelMsgCheck(channel_id_, message, options, handler_);
  if (code != 0) return code;
  // The sender is the user logged in now, not the one when the channel was made.
  std::string user_id;
  event_->OnVyChannelSession(&user_id);
  const char* text = message->getText();
  Send("SendChannelMsg",
       BuildSendChannelMsgBody(message->getMessageId(), user_id, channel_id_,
                               message->getMessageType(), text != nullptr ? text : "",
                               options.enableHistoricalMessaging));
  return rtm::CHANNEL_MESSAGE_ERR_OK;
}

int VyChannel::getMembers_w() {
  if (event_ == nullptr) return detach_code_;
  // As a leave, a list waits for the answer to the channel's own join after a login.
  const bool waits = AwaitsRejoin();
  if (!joined_ && !waits) return rtm::GET_MEMBERS_ERR_NOT_IN_CHANNEL;
  if (!members_limiter_.Allow()) return rtm::GET_MEMBERS_ERR_TOO_OFTEN;
  Request("GetChanMembers", BuildGetChanMembersBody(rtc::Time32(), channel_id_), waits);
  return rtm::GET_MEMBERS_ERR_OK;
}

void VyChannel::ReportJoin(rtm::IChannelEventHandler* handler, rtm::JOIN_CHANNEL_ERR code,
                           bool rejoin) {
  if (handler == nullptr) return;
  if (rejoin) {
    if (auto* own = dynamic_cast<VyChannelRejoinHandler*>(handler)) {
      own->OnRejoinResult(code);
      return;
    }
  }
  if (code == rtm::JOIN_CHANNEL_ERR_OK) {
    handler->onJoinSuccess();
  } else {
    handler->onJoinFailure(code);
  }
}

void VyChannel::SetJoinCode(int code, bool rejoin) {
  EndJoin(rejoin);
  if (code != 0) {
    // A refused join leaves the state as it was; a refused join of its own leaves the channel.
    if (rejoin) member_ = false;
    ReportJoin(handler_, rtm::JOIN_CHANNEL_ERR_FAILURE, rejoin);
    return;
  }
  JoinedLate();
  ReportJoin(handler_, rtm::JOIN_CHANNEL_ERR_OK, rejoin);
}

void VyChannel::JoinFailed(rtm::JOIN_CHANNEL_ERR code, bool rejoin) {
  // The channel stays as it was before the join: one the user belonged in (joined, or being
  // joined again by itself) is joined again after the next login, another stays out.
  EndJoin(rejoin);
  ReportJoin(handler_, code, rejoin);
}

void VyChannel::JoinedLate() {
  // A leave made after the join went out comes after it on the server too.
  if (leaves_ == 0) joined_ = member_ = true;
}

void VyChannel::EndJoin(bool rejoin) {
  if (rejoin) {
    rejoining_ = false;
  } else if (joins_ > 0) {
    --joins_;
  }
}

void VyChannel::SetLeaveCode(int code) {
  if (leaves_ > 0) --leaves_;
  // The server that refuses a leave keeps the user in the channel.
  if (code != 0) joined_ = member_ = true;
  if (handler_ != nullptr) handler_->onLeave(static_cast<rtm::LEAVE_CHANNEL_ERR>(code));
}

void VyChannel::LeaveFailed(rtm::LEAVE_CHANNEL_ERR code) {
  // The app is told the user is still in: the channel joins again after the next login (the
  // server forgets channels with the connection).
  if (leaves_ > 0) --leaves_;
  member_ = true;
  if (handler_ != nullptr) handler_->onLeave(code);
}

void VyChannel::LeftLate(int code) {
  if (!member_ || leaves_ != 0) return;
  if (code != 0) {
    joined_ = true;
    return;
  }
  joined_ = false;
  MarkRejoin();
  TryRejoin();
}

void VyChannel::SendMessageResult(long long messageId, int code) {
  if (handler_ != nullptr) {
    handler_->onSendMessageResult(messageId, static_cast<rtm::CHANNEL_MESSAGE_ERR_CODE>(code));
  }
}

void VyChannel::RecvChanMsg(long long messageId, const std::string& fromUserId, int type,
                            long long serverTs, const std::string& body) {
  if (handler_ == nullptr) return;
  std::unique_ptr<VyMessage> message(new VyMessage(this));
  message->SetMsgId(messageId);
  message->SetMsgType(static_cast<rtm::MESSAGE_TYPE>(type));
  message->SetTextBytes(body.data(), body.size());
  message->SetMsgTime(serverTs);
  message->SetPeerUId(fromUserId);
  handler_->onMessageReceived(fromUserId.c_str(), message.get());
}

void VyChannel::MemberJoin(const std::string& userId) {
  if (handler_ == nullptr) return;
  VyChannelMember member;
  member.SetChanUserId(channel_id_, userId);
  handler_->onMemberJoined(&member);
}

void VyChannel::MemberLeave(const std::string& userId) {
  if (handler_ == nullptr) return;
  VyChannelMember member;
  member.SetChanUserId(channel_id_, userId);
  handler_->onMemberLeft(&member);
}

void VyChannel::SetMembers(const std::vector<std::string>& userIds, rtm::GET_MEMBERS_ERR code) {
  if (handler_ == nullptr) return;
  std::vector<VyChannelMember> members(userIds.size());
  std::vector<rtm::IChannelMember*> array(userIds.size());
  for (size_t i = 0; i < userIds.size(); ++i) {
    members[i].SetChanUserId(channel_id_, userIds[i]);
    array[i] = &members[i];
  }
  handler_->onGetMembers(array.empty() ? nullptr : array.data(), static_cast<int>(array.size()),
                         code);
}

void VyChannel::SetMemberSizeChange(int count) {
  if (handler_ != nullptr) handler_->onMemberCountUpdated(count);
}

void VyChannel::SetAttributesUpdated(const rtm::IRtmChannelAttribute* attributes[], int count) {
  if (handler_ != nullptr) handler_->onAttributesUpdated(attributes, count);
}

void VyChannel::LostConnection() { joined_ = false; }

}  // namespace vy
