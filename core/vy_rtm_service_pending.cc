// Members of VyRtmService whose features are not part of this build yet:
// channel messages, presence, attributes and calls. Each answers as a
// service that has never logged in: 101 before initialize, 102 after it. A feature's own file replaces its
// members here when it lands.
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

rtm::IRtmCallManager* VyRtmService::getRtmCallManager_w(
    rtm::IRtmCallEventHandler* /*eventHandler*/) {
  return nullptr;
}


int VyRtmService::queryPeersOnlineStatus_I(const char* /*peerIds*/[],
                                           int /*peerCount*/,
                                           long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::subscribePeersOnlineStatus_I(const char* /*peerIds*/[],
                                               int /*peerCount*/,
                                               long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::unsubscribePeersOnlineStatus_I(const char* /*peerIds*/[],
                                                 int /*peerCount*/,
                                                 long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::queryPeersBySubscriptionOption_I(
    rtm::PEER_SUBSCRIPTION_OPTION /*option*/, long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::setLocalUserAttributes_I(
    const rtm::RtmAttribute* /*attributes*/, int /*numberOfAttributes*/,
    long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::addOrUpdateLocalUserAttributes_I(
    const rtm::RtmAttribute* /*attributes*/, int /*numberOfAttributes*/,
    long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::deleteLocalUserAttributesByKeys_I(
    const char* /*attributeKeys*/[], int /*numberOfKeys*/,
    long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::clearLocalUserAttributes_I(long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::getUserAttributes_I(const char* /*userId*/,
                                      long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::getUserAttributesByKeys_I(const char* /*userId*/,
                                            const char* /*attributeKeys*/[],
                                            int /*numberOfKeys*/,
                                            long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::setChannelAttributes_I(
    const char* /*channelId*/, const rtm::IRtmChannelAttribute* /*attrs*/[],
    int /*numberOfAttributes*/, const rtm::ChannelAttributeOptions& /*opts*/,
    long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::addOrUpdateChannelAttributes_I(
    const char* /*channelId*/, const rtm::IRtmChannelAttribute* /*attrs*/[],
    int /*numberOfAttributes*/, const rtm::ChannelAttributeOptions& /*opts*/,
    long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::deleteChannelAttributesByKeys_I(
    const char* /*channelId*/, const char* /*attributeKeys*/[],
    int /*numberOfKeys*/, const rtm::ChannelAttributeOptions& /*opts*/,
    long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::clearChannelAttributes_I(
    const char* /*channelId*/, const rtm::ChannelAttributeOptions& /*opts*/,
    long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::getChannelAttributes_I(const char* /*channelId*/,
                                         long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::getChannelAttributesByKeys_I(const char* /*channelId*/,
                                               const char* /*attributeKeys*/[],
                                               int /*numberOfKeys*/,
                                               long long /*requestId*/) {
  return NotLoggedIn(*this);
}

int VyRtmService::getChannelMemberCount_I(const char* /*channelIds*/[],
                                          int /*channelCount*/,
                                          long long /*requestId*/) {
  return NotLoggedIn(*this);
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

void VyRtmService::OnVyRtmCallManagerMsgOut(const std::string& /*cmd*/,
                                            const std::string& /*content*/) {}

void VyRtmService::OnVyRtmCallManagerDestory() {}

}  // namespace vy
