// VoRtmChannel: one channel of a kit (VoRtmKit::createChannel), with its completions and its
// delegate. Threads, results and delegates follow the rules of <vortm/vo_rtm_kit.h>.
//
// After the kit's logout() the channel object is finished: its requests (join, leave, member
// lists, sends) complete with 102 on the main loop, after logout() has returned, and its
// delegate hears nothing more; the kit's createChannel returns null for its id until
// destroyChannel(id) has ended it. Messages follow the rules of VoRtmKit::sendMessage: at most
// 32,767 bytes, sent up to the first zero byte, and a time-out (CHANNEL_MESSAGE_ERR_SENT_TIMEOUT)
// does not mean that the message was lost.
// Joins, leaves and member lists follow vy::rtm::IChannel: one of each kind is on its way at a
// time, those made meanwhile go out together once it is answered, and one not answered within
// 10 s completes with 4 (TIMEOUT). When an answer has not come 10 s after its command went out,
// the connection is made again, as after a loss: the requests of the channel still waiting
// complete with 1. While the connection is being made again the channel is not joined:
// sendMessage completes with CHANNEL_MESSAGE_ERR_NOT_AVAILABLE (3), join with 102, and leave
// and getMembers with 3. After the login the channel joins again by itself, and sendMessage
// completes with 3 until that join is answered; a leave or getMembers made meanwhile waits for
// it, and goes out once the channel is joined again (after a refusal the user is out: the leave
// completes with 0, the member list with 3). So a getMembers made once the kit's delegate has
// heard connectionStateChanged(CONNECTION_STATE_CONNECTED) completes when the channel can be
// used again, and says whether it can.
// Rate limits and refusal codes are those of vy::rtm::IChannel (<vortm/rtm_channel.h>).
#ifndef VORTM_VO_RTM_CHANNEL_H_
#define VORTM_VO_RTM_CHANNEL_H_

#if __cplusplus < 201703L
#error "the VoRtmKit kit API needs C++17"
#endif

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <vortm/export.h>
#include <vortm/rtm_types.h>
#include <vortm/vo_rtm_values.h>

namespace vortm {

using JoinChannelCompletion = std::function<void(vy::rtm::JOIN_CHANNEL_ERR)>;
using LeaveChannelCompletion = std::function<void(vy::rtm::LEAVE_CHANNEL_ERR)>;
using GetMembersCompletion =
    std::function<void(const std::vector<VoRtmMember>&, vy::rtm::GET_MEMBERS_ERR)>;
using SendChannelMessageCompletion = std::function<void(vy::rtm::CHANNEL_MESSAGE_ERR_CODE)>;

class VoRtmChannel;
class VoRtmKit;

// Events of a channel. Every method is optional: the defaults do nothing.
class VORTM_API VoRtmChannelDelegate {
 public:
  virtual ~VoRtmChannelDelegate() = default;
  virtual void messageReceived(VoRtmChannel& channel, const VoRtmMessage& message,
                               const VoRtmMember& member) {
    (void)channel, (void)message, (void)member;
  }
  virtual void memberJoined(VoRtmChannel& channel, const VoRtmMember& member) {
    (void)channel, (void)member;
  }
  virtual void memberLeft(VoRtmChannel& channel, const VoRtmMember& member) {
    (void)channel, (void)member;
  }
  virtual void attributeUpdate(VoRtmChannel& channel,
                               const std::vector<VoRtmChannelAttribute>& attributes) {
    (void)channel, (void)attributes;
  }
  virtual void memberCount(VoRtmChannel& channel, int count) { (void)channel, (void)count; }
};

class VORTM_API VoRtmChannel final : public std::enable_shared_from_this<VoRtmChannel> {
 public:
  ~VoRtmChannel();

  // Each request's completion hears its own result once. The joins the service makes by itself
  // after a reconnection complete no request (see getMembers above for how to learn of them).
  void join(JoinChannelCompletion completion);
  void leave(LeaveChannelCompletion completion);
  void getMembers(GetMembersCompletion completion);
  void sendMessage(const VoRtmMessage& message, const VoRtmSendMessageOptions& options,
                   SendChannelMessageCompletion completion);

  void setChannelDelegate(std::weak_ptr<VoRtmChannelDelegate> delegate);
  std::weak_ptr<VoRtmChannelDelegate> channelDelegate() const;
  const std::string& channelId() const;
  // The kit that made the channel; null once the kit is gone.
  std::shared_ptr<VoRtmKit> kit() const;

  // The library's own state, opaque to apps.
  struct Impl;

 private:
  friend class KitInternals;
  explicit VoRtmChannel(std::string channelId);
  std::unique_ptr<Impl> impl_;

  VoRtmChannel(const VoRtmChannel&) = delete;
  VoRtmChannel& operator=(const VoRtmChannel&) = delete;
};

}  // namespace vortm

#endif  // VORTM_VO_RTM_CHANNEL_H_
