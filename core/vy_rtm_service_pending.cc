// Members of VyRtmService whose features are not part of this build yet:
// channels and calls. Each answers as a service that has never logged in: 101
// before initialize, 102 after it. A feature's own file replaces its members
// here when it lands.
#include "core/rtc_log.h"
#include "core/vy_rtm_service.h"

namespace vy {

namespace {

constexpr int kNotInitialized = 101;
constexpr int kNotLoggedIn = 102;

// What a request answers while no session can exist.
int NotLoggedIn(const VyRtmService& service) {
  return service.IsInitialized() ? kNotLoggedIn : kNotInitialized;
}

}  // namespace

rtm::IChannel* VyRtmService::createChannel_w(
    const char* /*channelId*/, rtm::IChannelEventHandler* /*eventHandler*/) {
  return nullptr;
}


int VyRtmService::OnVyChanlelMsgCheck(const std::string& /*channelId*/,
                                      const rtm::IMessage* /*message*/,
                                      const rtm::SendMessageOptions& /*opts*/,
                                      rtm::IChannelEventHandler* /*handler*/) {
  return NotLoggedIn(*this);
}

void VyRtmService::OnVyChannelMsgOut(const std::string& /*channelId*/,
                                     const std::string& /*cmd*/,
                                     const std::string& /*content*/) {}

void VyRtmService::OnVyChannelDestory(const std::string& /*channelId*/) {}


}  // namespace vy
