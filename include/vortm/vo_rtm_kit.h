// VoRtmKit: the app's entry object. One kit per app id logs one user in and out, sends and
// receives peer messages, presence and attributes, and makes the channel objects and the call kit.
//
// Threads: every method may be called from any thread, also from inside a completion or a
// delegate method. Completions and delegate methods run on the library's main loop, one at a
// time and never on the caller's stack, with these exceptions, which run on the caller's thread
// before the method returns: a login the service refuses at once, logout's completion, and the
// call kit's completions. So an app must not hold a lock of its own across a call into the kit
// when those completions take it. The main loop is a thread of the library's own ("VoRtmMain"),
// unless the app binds it to a thread of its own with bindMainLoop() and runs it there with
// runMainLoop().
//
// Results: a request with a completion gets exactly one call of it: with the service's answer,
// with its family's time-out code, with the not-logged-in code (102) when logout, destroy or the
// kit's end comes first, or with the code the service refused it with at once (an array of more
// than INT_MAX elements gets its family's INVALID_ARGUMENT code). Codes are the vy::rtm
// enumerations, passed unchanged, so the rate limits and refusals of each request, and what
// TOO_OFTEN and INVALID_ARGUMENT mean for it, are those of the vy::rtm operation it makes
// (<vortm/rtm_service.h>, <vortm/rtm_channel.h>). An empty std::function stands for no
// completion.
// After destroy() every method does nothing and calls no completion; the int methods return -1.
//
// Delegates are held weakly: once the app drops its delegate, nothing more is called on it.
//
// Log: a kit writes the library's log from create() on, to vy_rtm_sdk.log in the folder
// "VoRtmKit" of the user's cache directory ($XDG_CACHE_HOME, else ~/.cache). The log holds API
// calls, connection events and the commands sent and received with their contents ("SEND" and
// "Recv" lines, message texts included; token values are masked), 2048 KB and one backup. The
// library makes the folder 0700 and the file 0600, and makes no default log when there is no
// such cache directory or HOME names a folder that does not exist. setLogFile names another
// folder; setLogFilters(vy::rtm::LOG_FILTER_OFF) writes nothing more; VyRtm_CloseRtcLog()
// (<vortm/rtm_service.h>) closes the file.
#ifndef VORTM_VO_RTM_KIT_H_
#define VORTM_VO_RTM_KIT_H_

#if __cplusplus < 201703L
#error "the VoRtmKit kit API needs C++17"
#endif

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <vortm/export.h>
#include <vortm/rtm_types.h>
#include <vortm/vo_rtm_call_kit.h>
#include <vortm/vo_rtm_channel.h>
#include <vortm/vo_rtm_values.h>

namespace vortm {

using LoginCompletion = std::function<void(vy::rtm::LOGIN_ERR_CODE)>;
using LogoutCompletion = std::function<void(vy::rtm::LOGOUT_ERR_CODE)>;
using RenewTokenCompletion =
    std::function<void(const std::string& token, vy::rtm::RENEW_TOKEN_ERR_CODE)>;
using SendPeerMessageCompletion = std::function<void(vy::rtm::PEER_MESSAGE_ERR_CODE)>;
using QueryPeersOnlineStatusCompletion = std::function<void(
    const std::vector<VoRtmPeerOnlineStatus>&, vy::rtm::QUERY_PEERS_ONLINE_STATUS_ERR)>;
using PeerSubscriptionCompletion = std::function<void(vy::rtm::PEER_SUBSCRIPTION_STATUS_ERR)>;
using QueryPeersBySubscriptionOptionCompletion = std::function<void(
    const std::vector<std::string>& peerIds, vy::rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR)>;
using AttributeOperationCompletion = std::function<void(vy::rtm::ATTRIBUTE_OPERATION_ERR)>;
using GetUserAttributesCompletion =
    std::function<void(const std::vector<VoRtmAttribute>&, const std::string& userId,
                       vy::rtm::ATTRIBUTE_OPERATION_ERR)>;
using GetChannelAttributesCompletion = std::function<void(const std::vector<VoRtmChannelAttribute>&,
                                                          vy::rtm::ATTRIBUTE_OPERATION_ERR)>;
using GetChannelMemberCountCompletion = std::function<void(
    const std::vector<VoRtmChannelMemberCount>&, vy::rtm::GET_CHANNEL_MEMBER_COUNT_ERR_CODE)>;

class VoRtmKit;

// Events of the kit. Every method is optional: the defaults do nothing.
class VORTM_API VoRtmDelegate {
 public:
  virtual ~VoRtmDelegate() = default;
  virtual void tokenDidExpire(VoRtmKit& kit) { (void)kit; }
  virtual void connectionStateChanged(VoRtmKit& kit, vy::rtm::CONNECTION_STATE state,
                                      vy::rtm::CONNECTION_CHANGE_REASON reason) {
    (void)kit, (void)state, (void)reason;
  }
  virtual void messageReceived(VoRtmKit& kit, const VoRtmMessage& message,
                               const std::string& peerId) {
    (void)kit, (void)message, (void)peerId;
  }
  virtual void peersOnlineStatusChanged(VoRtmKit& kit,
                                        const std::vector<VoRtmPeerOnlineStatus>& statuses) {
    (void)kit, (void)statuses;
  }
};

// The name under which every kit watches the library's own notification center for the app's
// end. That center is internal: no public header lets an app post to it, so an app on its way
// out calls applicationWillTerminate() on its kit (or logout()).
VORTM_API extern const char* const VoRtmApplicationWillTerminateNotification;

class VORTM_API VoRtmKit final : public std::enable_shared_from_this<VoRtmKit> {
 public:
  // A kit for the 32-character `appId`, or null when the service refuses it. Its log goes to
  // the user's cache directory (see Log above) until setLogFile names another. Once logged in,
  // its network watcher probes the gateway's host (the private one setParameters names, else
  // the built-in one) and hands each change of the network to the service. Over a cellular link
  // it reads the radio technology from ModemManager on the system bus; where none can be read a
  // working cellular route counts as 2G (README.md, "The kit API in brief", Network).
  static std::shared_ptr<VoRtmKit> create(const std::string& appId,
                                          std::weak_ptr<VoRtmDelegate> delegate);
  // Destroys the kit first when the app has not.
  ~VoRtmKit();

  // Makes the calling thread the main loop, for the rest of the process: completions and
  // delegate methods then run only there, inside runMainLoop(). Call it before the first
  // create() and any other use of the kit. True when the loop is bound to this thread (also by
  // an earlier call); false when it already runs on "VoRtmMain" or is bound to another thread.
  static bool bindMainLoop();
  // On the bound thread: runs the completions and delegate methods that are due, then those
  // that come within `maxMs` milliseconds (0: only what is due now), and returns. False, running
  // nothing, on any other thread and from inside a completion or delegate method.
  static bool runMainLoop(int maxMs);

  // Ends the kit: stops the network watcher, ends the call kit and every channel, logs out and
  // releases the service. Outstanding requests complete with 102 on the main loop, as every
  // completion does, so after destroy() has returned: what those completions use must live
  // until they have run.
  void destroy();

  // Logs `userId` in. A null token logs in again with the token given before. A login refused at
  // once (LOGIN_ERR_ALREADY_LOGGED_IN, ...) calls its completion before returning, and leaves a
  // login still running alone; a login ended by logout or destroy gets
  // LOGIN_ERR_ABORTED_BY_LOGOUT.
  void loginByToken(const std::optional<std::string>& token, const std::string& userId,
                    LoginCompletion completion);
  // Logs out; the completion runs with 0 before this returns. The kit's channel objects are
  // finished then: their requests, joins included, complete with 102 on the main loop (after
  // this has returned; what they use must live until then), and
  // createChannel with the same id returns null until destroyChannel(id) has ended the old one.
  // Once the library has stopped at process exit (a logout from a static object's destructor)
  // nothing is sent and the completion runs with LOGOUT_ERR_NOT_INITIALIZED (101).
  void logout(LogoutCompletion completion);
  // Hands the server a new token; each renewal gets its own result with its own token.
  void renewToken(const std::optional<std::string>& token, RenewTokenCompletion completion);
  // A message's text holds 1 to 32,767 bytes; an empty or longer one completes with
  // PEER_MESSAGE_ERR_INVALID_MESSAGE. The text is sent up to its first zero byte, so binary
  // data must be encoded by the app. A message sent while the user is not logged in, the
  // connection being made again after a loss included, completes with
  // PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN (102), with or without offline storage: nothing waits
  // for the login. PEER_MESSAGE_ERR_TOO_OFTEN comes when 300 sends await their results and
  // the oldest was sent 3 s ago or more. PEER_MESSAGE_ERR_TIMEOUT means that no answer came
  // within 10 s, not that the message was lost: a slow server may still deliver it, so a
  // resend can reach the peer twice.
  void sendMessage(const VoRtmMessage& message, const std::string& peerId,
                   const VoRtmSendMessageOptions& options, SendPeerMessageCompletion completion);

  // A channel object for `channelId`, or null when the kit has one for that id already, or the
  // id is empty or has 256 bytes or more. The kit keeps it until destroyChannel or destroy.
  std::shared_ptr<VoRtmChannel> createChannel(const std::string& channelId,
                                              std::weak_ptr<VoRtmChannelDelegate> delegate);
  // Ends the channel of that id, if any; always true.
  bool destroyChannel(const std::string& channelId);
  // The kit's one call kit, made on first use.
  std::shared_ptr<VoRtmCallKit> getRtmCallKit();

  void queryPeersOnlineStatus(const std::vector<std::string>& peerIds,
                              QueryPeersOnlineStatusCompletion completion);
  void subscribePeersOnlineStatus(const std::vector<std::string>& peerIds,
                                  PeerSubscriptionCompletion completion);
  void unsubscribePeersOnlineStatus(const std::vector<std::string>& peerIds,
                                    PeerSubscriptionCompletion completion);
  void queryPeersBySubscriptionOption(vy::rtm::PEER_SUBSCRIPTION_OPTION option,
                                      QueryPeersBySubscriptionOptionCompletion completion);

  void setLocalUserAttributes(const std::vector<VoRtmAttribute>& attributes,
                              AttributeOperationCompletion completion);
  void addOrUpdateLocalUserAttributes(const std::vector<VoRtmAttribute>& attributes,
                                      AttributeOperationCompletion completion);
  void deleteLocalUserAttributesByKeys(const std::vector<std::string>& keys,
                                       AttributeOperationCompletion completion);
  void clearLocalUserAttributes(AttributeOperationCompletion completion);
  void getUserAllAttributes(const std::string& userId, GetUserAttributesCompletion completion);
  void getUserAttributesByKeys(const std::string& userId, const std::vector<std::string>& keys,
                               GetUserAttributesCompletion completion);

  void setChannelAttributes(const std::string& channelId,
                            const std::vector<VoRtmChannelAttribute>& attributes,
                            const VoRtmChannelAttributeOptions& options,
                            AttributeOperationCompletion completion);
  void addOrUpdateChannelAttributes(const std::string& channelId,
                                    const std::vector<VoRtmChannelAttribute>& attributes,
                                    const VoRtmChannelAttributeOptions& options,
                                    AttributeOperationCompletion completion);
  void deleteChannelAttributesByKeys(const std::string& channelId,
                                     const std::vector<std::string>& keys,
                                     const VoRtmChannelAttributeOptions& options,
                                     AttributeOperationCompletion completion);
  void clearChannelAttributes(const std::string& channelId,
                              const VoRtmChannelAttributeOptions& options,
                              AttributeOperationCompletion completion);
  void getChannelAllAttributes(const std::string& channelId,
                               GetChannelAttributesCompletion completion);
  void getChannelAttributesByKeys(const std::string& channelId,
                                  const std::vector<std::string>& keys,
                                  GetChannelAttributesCompletion completion);
  void getChannelMemberCount(const std::vector<std::string>& channelIds,
                             GetChannelMemberCountCompletion completion);

  // Pass-throughs to the service, with its results.
  int setParameters(const std::string& json);
  int setLogFile(const std::string& directory);
  int setLogFileSize(int kilobytes);
  // A vy::rtm LOG_FILTER_TYPE value.
  int setLogFilters(unsigned int filter);
  // The version the client names to the service, "1.0.2.0".
  static std::string getSDKVersion();

  void setVoRtmDelegate(std::weak_ptr<VoRtmDelegate> delegate);
  std::weak_ptr<VoRtmDelegate> voRtmDelegate() const;
  // The call kit once getRtmCallKit has made it; it stays after destroy.
  std::shared_ptr<VoRtmCallKit> rtmCallKit() const;

  // The app is about to end: logs out, as logout(nullptr) does. This is what an app calls on its
  // way out (see VoRtmApplicationWillTerminateNotification).
  void applicationWillTerminate();

  // The library's own state, opaque to apps.
  struct Impl;

 private:
  friend class KitInternals;
  VoRtmKit();
  std::unique_ptr<Impl> impl_;

  VoRtmKit(const VoRtmKit&) = delete;
  VoRtmKit& operator=(const VoRtmKit&) = delete;
};

}  // namespace vortm

#endif  // VORTM_VO_RTM_KIT_H_
