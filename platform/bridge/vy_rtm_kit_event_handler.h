// VYRtmKitEventHandler: the kit's handler of its service's events. On the core's worker it takes
// a result's completion out of the store and copies the callback's data into value classes;
// the main loop then calls the completion, or the kit's delegate.
//
// Nothing here holds the kit or the delegate strongly, and neither is locked on the worker: a
// block on the main loop locks them and does nothing when they are gone. A completion taken out
// of the store is always called, also after the kit has gone, so that it gets its one result.
#ifndef PLATFORM_BRIDGE_VY_RTM_KIT_EVENT_HANDLER_H_
#define PLATFORM_BRIDGE_VY_RTM_KIT_EVENT_HANDLER_H_

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>

#include <vortm/rtm_service.h>
#include <vortm/vo_rtm_kit.h>

#include "absl/base/thread_annotations.h"
#include "platform/bridge/completion_store.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

class VYRtmKitEventHandler final : public vy::rtm::IRtmServiceEventHandler,
                                   public std::enable_shared_from_this<VYRtmKitEventHandler> {
 public:
  // `onLoginSuccess` runs on the main loop after every successful login (reconnects included)
  // that no logout has overtaken; the kit starts its network watcher there.
  VYRtmKitEventHandler(std::weak_ptr<VoRtmKit> kit, std::function<void(VoRtmKit&)> onLoginSuccess);
  ~VYRtmKitEventHandler() override;

  CompletionStore& store() { return store_; }

  void setDelegate(std::weak_ptr<VoRtmDelegate> delegate);
  std::weak_ptr<VoRtmDelegate> delegate() const;
  // A logout: login successes reported before it no longer start the watcher. Worker thread, so
  // that it is ordered with the service's reports.
  void noteLogout() { logins_.fetch_add(1); }
  // The kit is ending: no more delegate calls or watcher starts; completions still run.
  void detach();

  // vy::rtm::IRtmServiceEventHandler; worker thread.
  void onLoginSuccess() override;
  void onLoginFailure(vy::rtm::LOGIN_ERR_CODE errorCode) override;
  void onRenewTokenResult(const char* token, vy::rtm::RENEW_TOKEN_ERR_CODE errorCode) override;
  void onTokenExpired() override;
  void onConnectionStateChanged(vy::rtm::CONNECTION_STATE state,
                                vy::rtm::CONNECTION_CHANGE_REASON reason) override;
  void onSendMessageResult(long long messageId, vy::rtm::PEER_MESSAGE_ERR_CODE errorCode) override;
  void onMessageReceivedFromPeer(const char* peerId, const vy::rtm::IMessage* message) override;
  void onQueryPeersOnlineStatusResult(long long requestId,
                                      const vy::rtm::PeerOnlineStatus* peersStatus, int peerCount,
                                      vy::rtm::QUERY_PEERS_ONLINE_STATUS_ERR errorCode) override;
  void onSubscriptionRequestResult(long long requestId,
                                   vy::rtm::PEER_SUBSCRIPTION_STATUS_ERR errorCode) override;
  void onQueryPeersBySubscriptionOptionResult(
      long long requestId, const char* peerIds[], int peerCount,
      vy::rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR errorCode) override;
  void onPeersOnlineStatusChanged(const vy::rtm::PeerOnlineStatus peersStatus[],
                                  int peerCount) override;
  void onSetLocalUserAttributesResult(long long requestId,
                                      vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onAddOrUpdateLocalUserAttributesResult(long long requestId,
                                              vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onDeleteLocalUserAttributesResult(long long requestId,
                                         vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onClearLocalUserAttributesResult(long long requestId,
                                        vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onGetUserAttributesResult(long long requestId, const char* userId,
                                 const vy::rtm::RtmAttribute* attributes, int numberOfAttributes,
                                 vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onSetChannelAttributesResult(long long requestId,
                                    vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onAddOrUpdateChannelAttributesResult(long long requestId,
                                            vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onDeleteChannelAttributesResult(long long requestId,
                                       vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onClearChannelAttributesResult(long long requestId,
                                      vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onGetChannelAttributesResult(long long requestId,
                                    const vy::rtm::IRtmChannelAttribute* attributes[],
                                    int numberOfAttributes,
                                    vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode) override;
  void onGetChannelMemberCountResult(long long requestId,
                                     const vy::rtm::ChannelMemberCount* channelMemberCounts,
                                     int channelCount,
                                     vy::rtm::GET_CHANNEL_MEMBER_COUNT_ERR_CODE errorCode) override;

 private:
  // True while a delegate is set; only tested here, never locked on the worker.
  bool hasDelegate() const;
  // Posts `call` for the delegate, which the main loop runs while the kit, the delegate and
  // this handler are all still there.
  void notify(std::function<void(VoRtmDelegate&, VoRtmKit&)> call);
  void attributeResult(CompletionStore::Table<AttributeOperationCompletion> table, long long id,
                       vy::rtm::ATTRIBUTE_OPERATION_ERR errorCode);

  const std::weak_ptr<VoRtmKit> kit_;
  const std::function<void(VoRtmKit&)> on_login_success_;
  CompletionStore store_;
  mutable rtc::Mutex mu_;
  std::weak_ptr<VoRtmDelegate> delegate_ ABSL_GUARDED_BY(mu_);
  std::atomic<bool> detached_{false};
  // Counts logouts; a login success starts the watcher only if none came after it.
  std::atomic<uint64_t> logins_{0};
};

}  // namespace vortm

#endif  // PLATFORM_BRIDGE_VY_RTM_KIT_EVENT_HANDLER_H_
