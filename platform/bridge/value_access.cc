#include "platform/bridge/value_access.h"

#include <cstddef>

namespace vortm {

std::string NoNullString(const char* utf8) { return utf8 != nullptr ? std::string(utf8) : ""; }

namespace detail {

namespace {

template <typename Out, typename In, typename Convert>
std::vector<Out> Each(const In* items, int count, Convert convert) {
  std::vector<Out> out;
  if (items == nullptr || count <= 0) return out;
  out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) out.push_back(convert(items[i]));
  return out;
}

}  // namespace

VoRtmMessage ValueAccess::Message(const vy::rtm::IMessage& message) {
  VoRtmMessage out;
  // The raw bytes and their length; the core has already cut a received text at its first zero
  // byte.
  const char* data = message.getRawMessageData();
  int length = message.getRawMessageLength();
  if (data != nullptr && length > 0) {
    out.text_.assign(data, static_cast<size_t>(length));
  } else {
    out.text_ = NoNullString(message.getText());
  }
  out.type_ = message.getMessageType();
  out.serverReceivedTs_ = message.getServerReceivedTs();
  out.isOfflineMessage_ = message.isOfflineMessage();
  return out;
}

VoRtmPeerOnlineStatus ValueAccess::PeerStatus(const vy::rtm::PeerOnlineStatus& status) {
  VoRtmPeerOnlineStatus out;
  out.peerId_ = NoNullString(status.peerId);
  out.state_ = status.state;
  return out;
}

VoRtmChannelAttribute ValueAccess::ChannelAttribute(
    const vy::rtm::IRtmChannelAttribute& attribute) {
  VoRtmChannelAttribute out;
  out.key_ = NoNullString(attribute.getKey());
  out.value_ = NoNullString(attribute.getValue());
  out.lastUpdateUid_ = NoNullString(attribute.getLastUpdateUserId());
  out.lastUpdateTs_ = attribute.getLastUpdateTs();
  return out;
}

VoRtmLocalInvitation ValueAccess::LocalInvitation(const vy::rtm::ILocalCallInvitation& invitation) {
  VoRtmLocalInvitation out(NoNullString(invitation.getCalleeId()));
  out.state_ = invitation.getState();
  out.content_ = NoNullString(invitation.getContent());
  out.response_ = NoNullString(invitation.getResponse());
  return out;
}

VoRtmRemoteInvitation ValueAccess::RemoteInvitation(
    const vy::rtm::IRemoteCallInvitation& invitation) {
  VoRtmRemoteInvitation out;
  out.callerId_ = NoNullString(invitation.getCallerId());
  out.content_ = NoNullString(invitation.getContent());
  out.state_ = invitation.getState();
  out.response_ = NoNullString(invitation.getResponse());
  return out;
}

std::vector<VoRtmPeerOnlineStatus> PeerStatuses(const vy::rtm::PeerOnlineStatus* statuses,
                                                int count) {
  return Each<VoRtmPeerOnlineStatus>(statuses, count, ValueAccess::PeerStatus);
}

std::vector<std::string> Strings(const char* const* texts, int count) {
  return Each<std::string>(texts, count, NoNullString);
}

std::vector<VoRtmAttribute> Attributes(const vy::rtm::RtmAttribute* attributes, int count) {
  return Each<VoRtmAttribute>(attributes, count, [](const vy::rtm::RtmAttribute& attribute) {
    return VoRtmAttribute{NoNullString(attribute.key), NoNullString(attribute.value)};
  });
}

std::vector<VoRtmChannelAttribute> ChannelAttributes(
    const vy::rtm::IRtmChannelAttribute* const* attributes, int count) {
  std::vector<VoRtmChannelAttribute> out;
  for (const vy::rtm::IRtmChannelAttribute* attribute : Each<const vy::rtm::IRtmChannelAttribute*>(
           attributes, count, [](auto* item) { return item; })) {
    if (attribute != nullptr) out.push_back(ValueAccess::ChannelAttribute(*attribute));
  }
  return out;
}

std::vector<VoRtmChannelMemberCount> MemberCounts(const vy::rtm::ChannelMemberCount* counts,
                                                  int count) {
  return Each<VoRtmChannelMemberCount>(counts, count, [](const vy::rtm::ChannelMemberCount& c) {
    return VoRtmChannelMemberCount{NoNullString(c.channelId), c.count};
  });
}

}  // namespace detail
}  // namespace vortm
