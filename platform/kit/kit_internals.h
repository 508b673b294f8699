// Inside the kit: the state behind VoRtmKit, VoRtmChannel and VoRtmCallKit, and how a kit is
// made from its parts, which tests replace.
#ifndef PLATFORM_KIT_KIT_INTERNALS_H_
#define PLATFORM_KIT_KIT_INTERNALS_H_

#include <limits.h>
#include <stddef.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <vortm/rtm_service.h>
#include <vortm/vo_rtm_kit.h>

#include "absl/base/thread_annotations.h"
#include "platform/bridge/vy_rtm_call_event_handle.h"
#include "platform/bridge/vy_rtm_channel_event_handle.h"
#include "platform/bridge/vy_rtm_kit_event_handler.h"
#include "platform/loop/notification_center.h"
#include "platform/netwatch/vy_rtm_net_manager.h"
#include "rtc_base/base/mutex.h"
#include "rtc_base/threads/thread.h"

// The public classes are exported whole; their Impl, which the headers leave opaque, stays
// inside the library.
#define VORTM_INTERNAL __attribute__((visibility("hidden")))

namespace vortm {

// What a kit is made of. Empty members mean the library's own.
struct KitParts {
  // Makes the service; createRtmService by default.
  std::function<vy::rtm::IRtmService*()> createService;
  // The thread the service calls its handlers on: the core's worker by default.
  rtc::Thread* worker = nullptr;
  // Makes the network watcher, which then stays the kit's; by default the kit makes one for
  // the service's gateway host and follows that host at each login.
  std::function<std::shared_ptr<VyRtmNetManager>()> createNetManager;
  // Where the log goes; the user's cache directory by default.
  std::string logDirectory;
  // The longest array a request hands the service, which counts arrays in an int.
  size_t maxArrayCount = INT_MAX;
};

// A request's hold on the service and its handler: both stay alive while it is held, so a
// destroy() racing the request releases the service only once the request is done.
struct ServiceUse {
  std::shared_ptr<vy::rtm::IRtmService> service;
  std::shared_ptr<VYRtmKitEventHandler> handler;
  size_t maxArrayCount = 0;
  explicit operator bool() const { return service != nullptr; }
};

struct VORTM_INTERNAL VoRtmKit::Impl {
  // Set when the kit is made; constant after that.
  rtc::Thread* worker = nullptr;
  std::function<std::shared_ptr<VyRtmNetManager>()> createNetManager;
  size_t maxArrayCount = INT_MAX;

  mutable rtc::Mutex mu;
  // The service's deleter releases it, and only then drops the handler it holds.
  std::shared_ptr<vy::rtm::IRtmService> rtmService ABSL_GUARDED_BY(mu);
  std::shared_ptr<VYRtmKitEventHandler> rtmEventHandler ABSL_GUARDED_BY(mu);
  std::weak_ptr<VoRtmDelegate> voRtmDelegate ABSL_GUARDED_BY(mu);
  std::vector<std::shared_ptr<VoRtmChannel>> channelArr ABSL_GUARDED_BY(mu);
  std::shared_ptr<VoRtmCallKit> callKit ABSL_GUARDED_BY(mu);
  std::shared_ptr<VoRtmCallKit> rtmCallKit ABSL_GUARDED_BY(mu);
  std::shared_ptr<VyRtmNetManager> networkManager ABSL_GUARDED_BY(mu);
  std::shared_ptr<VyRtmNetworkDelegate> networkDelegate ABSL_GUARDED_BY(mu);
  // The host the watcher should probe: the service's gateway host, which "ConfPriCloudAddr"
  // changes. The watcher follows it at the next login.
  std::string probeHost ABSL_GUARDED_BY(mu);
  // Set when the kit is made; read when it is destroyed.
  NotificationCenter::Token terminationObserver = 0;

  ServiceUse use() const;
};

struct VORTM_INTERNAL VoRtmChannel::Impl {
  // Set when the channel is made; constant after that.
  std::weak_ptr<VoRtmKit> kit;
  // The kit's service, for the messages a send makes.
  std::weak_ptr<vy::rtm::IRtmService> service;
  rtc::Thread* worker = nullptr;
  std::string channelId;

  mutable rtc::Mutex mu;
  // The deleter releases the core channel, and only then drops the handler it holds.
  std::shared_ptr<vy::rtm::IChannel> channelService ABSL_GUARDED_BY(mu);
  std::shared_ptr<VYRtmChannelEventHandle> channelEventHandle ABSL_GUARDED_BY(mu);
  std::weak_ptr<VoRtmChannelDelegate> channelDelegate ABSL_GUARDED_BY(mu);
};

struct VORTM_INTERNAL VoRtmCallKit::Impl {
  std::weak_ptr<VoRtmKit> rtmKit;  // Set when the call kit is made; constant after that.
  mutable rtc::Mutex mu;
  // The deleter releases the call manager, and only then drops the handler it holds.
  std::shared_ptr<vy::rtm::IRtmCallManager> callService ABSL_GUARDED_BY(mu);
  std::shared_ptr<VYRtmCallEventHandle> callEventHandle ABSL_GUARDED_BY(mu);
  std::weak_ptr<VoRtmCallDelegate> callDelegate ABSL_GUARDED_BY(mu);
};

class KitInternals {
 public:
  static std::shared_ptr<VoRtmKit> create(const std::string& appId,
                                          std::weak_ptr<VoRtmDelegate> delegate, KitParts parts);
  static VoRtmKit::Impl& impl(VoRtmKit& kit) { return *kit.impl_; }
  static VoRtmCallKit::Impl& impl(VoRtmCallKit& callKit) { return *callKit.impl_; }

  // {"Cmd":"LocalNetChanged","netType":N}, the command for a net type change.
  static std::string localNetChangedText(int netType);
  // Starts the network watcher, first made anew when the gateway host has changed; main loop,
  // after a login success.
  static void monitorNetWork(VoRtmKit& kit);
  // The watcher's report: hands the net type to the service.
  static void network(VoRtmKit& kit, const std::string& host, int netType);

  // The attribute reads; null keys ask for all attributes.
  static void getUserAttributes(VoRtmKit& kit, const std::string& userId,
                                const std::vector<std::string>* keys,
                                GetUserAttributesCompletion completion);
  static void getChannelAttributes(VoRtmKit& kit, const std::string& channelId,
                                   const std::vector<std::string>* keys,
                                   GetChannelAttributesCompletion completion);

  static std::shared_ptr<VoRtmChannel> createChannel(VoRtmKit& kit, const std::string& channelId,
                                                     std::weak_ptr<VoRtmChannelDelegate> delegate);
  // Ends a channel object: its core channel first, then its handler. Any thread; a second call
  // does nothing.
  static void destroyChannel(VoRtmChannel& channel);
  // Ends the call kit the same way.
  static void destroyCall(VoRtmCallKit& callKit);
  static std::shared_ptr<VoRtmCallKit> getRtmCallKit(VoRtmKit& kit);
  // Accepts or refuses a received invitation.
  static void answer(VoRtmCallKit& callKit, const VoRtmRemoteInvitation& invitation, bool accept,
                     CallCompletion completion);
};

}  // namespace vortm

#endif  // PLATFORM_KIT_KIT_INTERNALS_H_
