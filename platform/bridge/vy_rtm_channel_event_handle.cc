#include "platform/bridge/vy_rtm_channel_event_handle.h"

#include <vector>

#include "core/rtc_log.h"
#include "platform/bridge/value_access.h"
#include "platform/loop/kit_post.h"
#include "platform/loop/main_loop.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

namespace rtm = vy::rtm;

VYRtmChannelEventHandle::VYRtmChannelEventHandle(std::weak_ptr<VoRtmChannel> channel,
                                                 std::string channelId)
    : channel_(std::move(channel)), channel_id_(std::move(channelId)) {}

VYRtmChannelEventHandle::~VYRtmChannelEventHandle() {
  vy::RtcPrintf(vy::kRtcLogDebug, "channel event release ");
}

void VYRtmChannelEventHandle::setDelegate(std::weak_ptr<VoRtmChannelDelegate> delegate) {
  rtc::MutexLock lock(&mu_);
  delegate_ = std::move(delegate);
}

std::weak_ptr<VoRtmChannelDelegate> VYRtmChannelEventHandle::delegate() const {
  rtc::MutexLock lock(&mu_);
  return detached_ ? std::weak_ptr<VoRtmChannelDelegate>() : delegate_;
}

void VYRtmChannelEventHandle::detach() {
  rtc::MutexLock lock(&mu_);
  detached_ = true;
  delegate_.reset();
}

bool VYRtmChannelEventHandle::hasDelegate() const {
  rtc::MutexLock lock(&mu_);
  return !detached_ && !delegate_.expired();
}

void VYRtmChannelEventHandle::notify(
    std::function<void(VoRtmChannelDelegate&, VoRtmChannel&)> call) {
  MainLoop::post([self = weak_from_this(), call = std::move(call)] {
    std::shared_ptr<VYRtmChannelEventHandle> handle = self.lock();
    if (handle == nullptr) return;
    std::shared_ptr<VoRtmChannel> channel = handle->channel_.lock();
    std::shared_ptr<VoRtmChannelDelegate> delegate = handle->delegate().lock();
    if (channel != nullptr && delegate != nullptr) call(*delegate, *channel);
  });
}

VoRtmMember VYRtmChannelEventHandle::Member(const rtm::IChannelMember* member) const {
  return VoRtmMember{member != nullptr ? NoNullString(member->getUserId()) : "", channel_id_};
}

void VYRtmChannelEventHandle::putSend(int64_t messageId, SendChannelMessageCompletion fn) {
  if (!fn) return;
  rtc::MutexLock lock(&mu_);
  sends_[messageId] = std::move(fn);
}

SendChannelMessageCompletion VYRtmChannelEventHandle::takeSend(int64_t messageId) {
  rtc::MutexLock lock(&mu_);
  auto it = sends_.find(messageId);
  if (it == sends_.end()) return nullptr;
  SendChannelMessageCompletion fn = std::move(it->second);
  sends_.erase(it);
  return fn;
}

void VYRtmChannelEventHandle::onJoinSuccess() {
  PostCompletion(joinCompletions.takeFront(), rtm::JOIN_CHANNEL_ERR_OK);
}

void VYRtmChannelEventHandle::onJoinFailure(rtm::JOIN_CHANNEL_ERR errorCode) {
  PostCompletion(joinCompletions.takeFront(), errorCode);
}

void VYRtmChannelEventHandle::OnRejoinResult(rtm::JOIN_CHANNEL_ERR code) {
  vy::RtcPrintf(vy::kRtcLogInfo, "Channel %s joined again after the login: %d", channel_id_.c_str(),
                static_cast<int>(code));
}

void VYRtmChannelEventHandle::onLeave(rtm::LEAVE_CHANNEL_ERR errorCode) {
  PostCompletion(leaveCompletions.takeFront(), errorCode);
}

void VYRtmChannelEventHandle::onMessageReceived(const char* userId, const rtm::IMessage* message) {
  if (message == nullptr || !hasDelegate()) return;
  notify([message = detail::ValueAccess::Message(*message),
          member = VoRtmMember{NoNullString(userId), channel_id_}](VoRtmChannelDelegate& delegate,
                                                                   VoRtmChannel& channel) {
    delegate.messageReceived(channel, message, member);
  });
}

void VYRtmChannelEventHandle::onSendMessageResult(long long messageId,
                                                  rtm::CHANNEL_MESSAGE_ERR_CODE state) {
  PostCompletion(takeSend(messageId), state);
}

void VYRtmChannelEventHandle::onMemberJoined(rtm::IChannelMember* member) {
  if (!hasDelegate()) return;
  notify([member = Member(member)](VoRtmChannelDelegate& delegate, VoRtmChannel& channel) {
    delegate.memberJoined(channel, member);
  });
}

void VYRtmChannelEventHandle::onMemberLeft(rtm::IChannelMember* member) {
  if (!hasDelegate()) return;
  notify([member = Member(member)](VoRtmChannelDelegate& delegate, VoRtmChannel& channel) {
    delegate.memberLeft(channel, member);
  });
}

void VYRtmChannelEventHandle::onGetMembers(rtm::IChannelMember** members, int userCount,
                                           rtm::GET_MEMBERS_ERR errorCode) {
  GetMembersCompletion fn = memberCompletions.takeFront();
  if (!fn) return;
  std::vector<VoRtmMember> list;
  if (members != nullptr && userCount > 0) {
    list.reserve(static_cast<size_t>(userCount));
    for (int i = 0; i < userCount; ++i) list.push_back(Member(members[i]));
  }
  PostCompletion(std::move(fn), std::move(list), errorCode);
}

void VYRtmChannelEventHandle::onAttributesUpdated(const rtm::IRtmChannelAttribute* attributes[],
                                                  int numberOfAttributes) {
  if (!hasDelegate()) return;
  notify([list = detail::ChannelAttributes(attributes, numberOfAttributes)](
             VoRtmChannelDelegate& delegate, VoRtmChannel& channel) {
    delegate.attributeUpdate(channel, list);
  });
}

void VYRtmChannelEventHandle::onMemberCountUpdated(int memberCount) {
  if (!hasDelegate()) return;
  notify([memberCount](VoRtmChannelDelegate& delegate, VoRtmChannel& channel) {
    delegate.memberCount(channel, memberCount);
  });
}

}  // namespace vortm
