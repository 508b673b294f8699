#include "platform/bridge/vy_rtm_kit_event_handler.h"

#include <utility>

#include "core/rtc_log.h"
#include "platform/bridge/value_access.h"
#include "platform/loop/kit_post.h"
#include "platform/loop/main_loop.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

namespace rtm = vy::rtm;

VYRtmKitEventHandler::VYRtmKitEventHandler(std::weak_ptr<VoRtmKit> kit,
                                           std::function<void(VoRtmKit&)> onLoginSuccess)
    : kit_(std::move(kit)), on_login_success_(std::move(onLoginSuccess)) {}

VYRtmKitEventHandler::~VYRtmKitEventHandler() {
  vy::RtcPrintf(vy::kRtcLogDebug, "rtm event release ");
}

void VYRtmKitEventHandler::setDelegate(std::weak_ptr<VoRtmDelegate> delegate) {
  rtc::MutexLock lock(&mu_);
  delegate_ = std::move(delegate);
}

std::weak_ptr<VoRtmDelegate> VYRtmKitEventHandler::delegate() const {
  rtc::MutexLock lock(&mu_);
  return delegate_;
}

void VYRtmKitEventHandler::detach() {
  detached_.store(true);
  setDelegate({});
}

bool VYRtmKitEventHandler::hasDelegate() const {
  rtc::MutexLock lock(&mu_);
  return !detached_.load() && !delegate_.expired();
}

void VYRtmKitEventHandler::notify(std::function<void(VoRtmDelegate&, VoRtmKit&)> call) {
  MainLoop::post([self = weak_from_this(), call = std::move(call)] {
    std::shared_ptr<VYRtmKitEventHandler> handler = self.lock();
    if (handler == nullptr || handler->detached_.load()) return;
    std::shared_ptr<VoRtmKit> kit = handler->kit_.lock();
    std::shared_ptr<VoRtmDelegate> delegate = handler->delegate().lock();
    if (kit != nullptr && delegate != nullptr) call(*delegate, *kit);
  });
}

void VYRtmKitEventHandler::onLoginSuccess() {
  PostCompletion(store_.exchangeLogin(nullptr), rtm::LOGIN_ERR_OK);
  if (detached_.load()) return;
  MainLoop::post([self = weak_from_this(), logins = logins_.load()] {
    std::shared_ptr<VYRtmKitEventHandler> handler = self.lock();
    if (handler == nullptr || handler->detached_.load() || handler->logins_.load() != logins) {
      return;
    }
    if (std::shared_ptr<VoRtmKit> kit = handler->kit_.lock()) handler->on_login_success_(*kit);
  });
}

void VYRtmKitEventHandler::onLoginFailure(rtm::LOGIN_ERR_CODE errorCode) {
  PostCompletion(store_.exchangeLogin(nullptr), errorCode);
}

void VYRtmKitEventHandler::onRenewTokenResult(const char* token,
                                              rtm::RENEW_TOKEN_ERR_CODE errorCode) {
  PostCompletion(store_.takeRenewalOf(token), NoNullString(token), errorCode);
}

void VYRtmKitEventHandler::onTokenExpired() {
  if (!hasDelegate()) return;
  notify([](VoRtmDelegate& delegate, VoRtmKit& kit) { delegate.tokenDidExpire(kit); });
}

void VYRtmKitEventHandler::onConnectionStateChanged(rtm::CONNECTION_STATE state,
                                                    rtm::CONNECTION_CHANGE_REASON reason) {
  if (!hasDelegate()) return;
  notify([state, reason](VoRtmDelegate& delegate, VoRtmKit& kit) {
    delegate.connectionStateChanged(kit, state, reason);
  });
}

void VYRtmKitEventHandler::onSendMessageResult(long long messageId,
                                               rtm::PEER_MESSAGE_ERR_CODE errorCode) {
  PostCompletion(store_.take(&CompletionStore::sendMessage, messageId), errorCode);
}

void VYRtmKitEventHandler::onMessageReceivedFromPeer(const char* peerId,
                                                     const rtm::IMessage* message) {
  if (message == nullptr || !hasDelegate()) return;
  notify([message = detail::ValueAccess::Message(*message), peer = NoNullString(peerId)](
             VoRtmDelegate& delegate, VoRtmKit& kit) {
    delegate.messageReceived(kit, message, peer);
  });
}

void VYRtmKitEventHandler::onQueryPeersOnlineStatusResult(
    long long requestId, const rtm::PeerOnlineStatus* peersStatus, int peerCount,
    rtm::QUERY_PEERS_ONLINE_STATUS_ERR errorCode) {
  auto fn = store_.take(&CompletionStore::queryPeersOnlineStatus, requestId);
  if (fn) PostCompletion(std::move(fn), detail::PeerStatuses(peersStatus, peerCount), errorCode);
}

void VYRtmKitEventHandler::onSubscriptionRequestResult(
    long long requestId, rtm::PEER_SUBSCRIPTION_STATUS_ERR errorCode) {
  PostCompletion(store_.take(&CompletionStore::subscription, requestId), errorCode);
}

void VYRtmKitEventHandler::onQueryPeersBySubscriptionOptionResult(
    long long requestId, const char* peerIds[], int peerCount,
    rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR errorCode) {
  auto fn = store_.take(&CompletionStore::queryPeersBySubscriptionOption, requestId);
  if (fn) PostCompletion(std::move(fn), detail::Strings(peerIds, peerCount), errorCode);
}

void VYRtmKitEventHandler::onPeersOnlineStatusChanged(const rtm::PeerOnlineStatus peersStatus[],
                                                      int peerCount) {
  if (!hasDelegate()) return;
  notify([statuses = detail::PeerStatuses(peersStatus, peerCount)](VoRtmDelegate& delegate,
                                                                   VoRtmKit& kit) {
    delegate.peersOnlineStatusChanged(kit, statuses);
  });
}

void VYRtmKitEventHandler::attributeResult(
    CompletionStore::Table<AttributeOperationCompletion> table, long long id,
    rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  PostCompletion(store_.take(table, id), errorCode);
}

void VYRtmKitEventHandler::onSetLocalUserAttributesResult(long long requestId,
                                                          rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  attributeResult(&CompletionStore::setLocalUserAttributes, requestId, errorCode);
}

void VYRtmKitEventHandler::onAddOrUpdateLocalUserAttributesResult(
    long long requestId, rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  attributeResult(&CompletionStore::addOrUpdateLocalUserAttributes, requestId, errorCode);
}

void VYRtmKitEventHandler::onDeleteLocalUserAttributesResult(
    long long requestId, rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  attributeResult(&CompletionStore::deleteLocalUserAttributes, requestId, errorCode);
}

void VYRtmKitEventHandler::onClearLocalUserAttributesResult(
    long long requestId, rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  attributeResult(&CompletionStore::clearLocalUserAttributes, requestId, errorCode);
}

void VYRtmKitEventHandler::onGetUserAttributesResult(long long requestId, const char* userId,
                                                     const rtm::RtmAttribute* attributes,
                                                     int numberOfAttributes,
                                                     rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  auto fn = store_.take(&CompletionStore::getUserAttributes, requestId);
  if (fn) {
    PostCompletion(std::move(fn), detail::Attributes(attributes, numberOfAttributes),
                   NoNullString(userId), errorCode);
  }
}

void VYRtmKitEventHandler::onSetChannelAttributesResult(long long requestId,
                                                        rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  attributeResult(&CompletionStore::setChannelAttributes, requestId, errorCode);
}

void VYRtmKitEventHandler::onAddOrUpdateChannelAttributesResult(
    long long requestId, rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  attributeResult(&CompletionStore::addOrUpdateChannelAttributes, requestId, errorCode);
}

void VYRtmKitEventHandler::onDeleteChannelAttributesResult(long long requestId,
                                                           rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  attributeResult(&CompletionStore::deleteChannelAttributes, requestId, errorCode);
}

void VYRtmKitEventHandler::onClearChannelAttributesResult(long long requestId,
                                                          rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  attributeResult(&CompletionStore::clearChannelAttributes, requestId, errorCode);
}

void VYRtmKitEventHandler::onGetChannelAttributesResult(
    long long requestId, const rtm::IRtmChannelAttribute* attributes[], int numberOfAttributes,
    rtm::ATTRIBUTE_OPERATION_ERR errorCode) {
  auto fn = store_.take(&CompletionStore::getChannelAttributes, requestId);
  if (fn) {
    PostCompletion(std::move(fn), detail::ChannelAttributes(attributes, numberOfAttributes),
                   errorCode);
  }
}

void VYRtmKitEventHandler::onGetChannelMemberCountResult(
    long long requestId, const rtm::ChannelMemberCount* channelMemberCounts, int channelCount,
    rtm::GET_CHANNEL_MEMBER_COUNT_ERR_CODE errorCode) {
  auto fn = store_.take(&CompletionStore::getChannelMemberCount, requestId);
  if (fn) {
    PostCompletion(std::move(fn), detail::MemberCounts(channelMemberCounts, channelCount),
                   errorCode);
  }
}

}  // namespace vortm
