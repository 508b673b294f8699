// Conversions from the core's callback data to the kit's value classes. They run on the core's
// worker while the data is valid (it lives only until the callback returns) and copy everything.
// Arrays keep the core's order; a null array or a count below 1 gives an empty one.
#ifndef PLATFORM_BRIDGE_VALUE_ACCESS_H_
#define PLATFORM_BRIDGE_VALUE_ACCESS_H_

#include <string>
#include <vector>

#include <vortm/rtm_call.h>
#include <vortm/rtm_channel.h>
#include <vortm/rtm_message.h>
#include <vortm/rtm_types.h>
#include <vortm/vo_rtm_values.h>

namespace vortm {
namespace detail {

struct ValueAccess {
  static VoRtmMessage Message(const vy::rtm::IMessage& message);
  static VoRtmPeerOnlineStatus PeerStatus(const vy::rtm::PeerOnlineStatus& status);
  static VoRtmChannelAttribute ChannelAttribute(const vy::rtm::IRtmChannelAttribute& attribute);
  // Neither invitation takes the channel id: it never goes on the wire.
  static VoRtmLocalInvitation LocalInvitation(const vy::rtm::ILocalCallInvitation& invitation);
  static VoRtmRemoteInvitation RemoteInvitation(const vy::rtm::IRemoteCallInvitation& invitation);
};

std::vector<VoRtmPeerOnlineStatus> PeerStatuses(const vy::rtm::PeerOnlineStatus* statuses,
                                                int count);
std::vector<std::string> Strings(const char* const* texts, int count);
std::vector<VoRtmAttribute> Attributes(const vy::rtm::RtmAttribute* attributes, int count);
std::vector<VoRtmChannelAttribute> ChannelAttributes(
    const vy::rtm::IRtmChannelAttribute* const* attributes, int count);
std::vector<VoRtmChannelMemberCount> MemberCounts(const vy::rtm::ChannelMemberCount* counts,
                                                  int count);

}  // namespace detail
}  // namespace vortm

#endif  // PLATFORM_BRIDGE_VALUE_ACCESS_H_
