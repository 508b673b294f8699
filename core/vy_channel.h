// VyChannel: a channel behind vy::rtm::IChannel, and VyChannelMember, the member objects passed
// to its handler. A channel sends its commands through the service (VyChannelEvent) and reports
// what the service routes to it.
//
// Every field is touched on the owner thread (the service's worker) only, except the id, which
// never changes. The operations obey the calling rule (core/rtm_invoke.h) except getId and
// release. Handler callbacks run on the worker; the objects passed live until the callback
// returns, and the callback may call any operation, release included.
//
// Lifetime: the app owns the channel until its release(). The service only registers it, and
// detaches it at logout and at the service's release: the channel is then not joined, makes no
// more callbacks and keeps no reference to the service, and its operations answer 102 (after a
// logout) or 101 (after the service's release).
#ifndef CORE_VY_CHANNEL_H_
#define CORE_VY_CHANNEL_H_

#include <string>
#include <vector>

#include <vortm/rtm_channel.h>

#include "core/rate_limiter.h"
#include "core/vy_rtm_events.h"
#include "rtc_base/threads/thread.h"

namespace vy {

// A member lent to a handler for the length of one callback. The library owns it, so a
// release() from the handler does nothing rather than free it twice.
class VyChannelMember : public vy::rtm::IChannelMember {
 public:
  VyChannelMember() = default;
  ~VyChannelMember() override = default;

  const char* getUserId() const override { return user_id_.c_str(); }
  const char* getChannelId() const override { return channel_id_.c_str(); }
  void release() override {}

  void SetChanUserId(const std::string& channelId, const std::string& userId) {
    channel_id_ = channelId;
    user_id_ = userId;
  }

 private:
  std::string channel_id_;
  std::string user_id_;
};

class VyChannel : public vy::rtm::IChannel, public VyMessageEvent {
 public:
  VyChannel(VyChannelEvent* event, vy::rtm::IChannelEventHandler* handler, rtc::Thread* owner,
            const std::string& channelId);

  // vy::rtm::IChannel, in slot order.
  int join() override;
  int leave() override;
  int sendMessage(const vy::rtm::IMessage* message) override;
  int sendMessage(const vy::rtm::IMessage* message,
                  const vy::rtm::SendMessageOptions& options) override;
  const char* getId() const override { return channel_id_.c_str(); }
  int getMembers() override;
  // Leaves the service's registry (without leaving the channel on the server), reports what
  // the channel still awaits with 102, and deletes the channel; on the worker the deletion waits
  // until the channel is on no call stack.
  void release() override;

  // Messages a channel makes for its handler can never be sent.
  void OnVyMessageMsgOut(long long, const std::string&, int, const std::string&,
                         const vy::rtm::SendMessageOptions&) override {}

  // The service's side. Worker thread.
  bool joined() const { return joined_; }
  // Joined, to be joined again after the next login, or joining at the app's request.
  bool Wanted() const { return joined_ || member_ || joins_ > 0; }
  // Its own join after a login is due or on its way.
  bool Rejoining() const { return rejoining_ || rejoin_due_; }
  // The server's answer to a join this channel sent (`rejoin`: one it made by itself after a
  // login).
  void SetJoinCode(int code, bool rejoin);
  // A join that got no answer: its time-out, the connection's loss or the logout.
  void JoinFailed(vy::rtm::JOIN_CHANNEL_ERR code, bool rejoin);
  // A join's success, also one that comes after the join was reported as failed: the server
  // holds the user in the channel, unless a leave made since comes after it.
  void JoinedLate();
  // The server's answer to a leave.
  void SetLeaveCode(int code);
  // A leave that got no answer: its time-out, the connection's loss or the logout.
  void LeaveFailed(vy::rtm::LEAVE_CHANNEL_ERR code);
  // A leave answered after it had been reported as timed out: the app was told the user is still
  // in, so a leave the server took makes the channel join again.
  void LeftLate(int code);
  void SendMessageResult(long long messageId, int code);
  void RecvChanMsg(long long messageId, const std::string& fromUserId, int type, long long serverTs,
                   const std::string& body);
  void MemberJoin(const std::string& userId);
  void MemberLeave(const std::string& userId);
  void SetMembers(const std::vector<std::string>& userIds, vy::rtm::GET_MEMBERS_ERR code);
  void SetMemberSizeChange(int count);
  void SetAttributesUpdated(const vy::rtm::IRtmChannelAttribute* attributes[], int count);
  // The connection is gone: not joined, without a callback (the service ends the requests
  // awaited). A channel the user belongs in joins again after the next login.
  void LostConnection();
  // After a login: true when the channel wants to be joined again.
  bool NeedsRejoin() const { return rejoin_due_; }
  // When TryRejoin would send the join (the join limiter's window end while it refuses).
  int64_t RejoinDueMs(int64_t now_ms) const { return join_limiter_.NextAllowedMs(now_ms); }
  void MarkRejoin() { rejoin_due_ = member_; }
  // Sends the join again unless the join limiter refuses; then the next pass tries again.
  void TryRejoin();
  // The session is over (code 102) or the service is going (101).
  void Detach(int code);

 private:
  ~VyChannel() override = default;
  friend class rtc::DisposeData<VyChannel>;

  int join_w();
  int leave_w();
  int sendMessage_w(const vy::rtm::IMessage* message, const vy::rtm::SendMessageOptions& options);
  int getMembers_w();
  // True for a release from inside the reports of the first one, which then does nothing.
  bool release_w();
  void SendJoin(bool rejoin);
  void Send(const char* cmd, const std::string& content);
  // A leave or a member list; `waits` for the answer to the channel's own join.
  void Request(const char* cmd, const std::string& content, bool waits);
  // A join of the app's, or the channel's own, has had its result.
  void EndJoin(bool rejoin);
  // Not joined, but in a session that joins it again by itself: leaves and member lists wait
  // for that join's answer.
  bool AwaitsRejoin();
  // A join's result, to the handler's VyChannelRejoinHandler side when it has one and the join
  // was a rejoin.
  static void ReportJoin(vy::rtm::IChannelEventHandler* handler, vy::rtm::JOIN_CHANNEL_ERR code,
                         bool rejoin);

  VyChannelEvent* event_;                   // null once detached or released
  vy::rtm::IChannelEventHandler* handler_;  // null once detached or released
  rtc::Thread* const owner_;
  const std::string channel_id_;
  // The server holds the user in the channel, and no leave has been made since.
  bool joined_ = false;
  // The user belongs in the channel as the app was last told: joined, or to be joined again
  // after the next login. Joins still unanswered do not count: one that fails leaves the
  // channel as it was before it.
  bool member_ = false;
  // The app's joins and leaves not yet reported.
  int joins_ = 0;
  int leaves_ = 0;
  // Its own join after a login is on its way; leaves and member lists made meanwhile wait for
  // its answer.
  bool rejoining_ = false;
  bool rejoin_due_ = false;
  // What the operations answer once detached.
  int detach_code_ = 0;
  bool released_ = false;
  RateLimiter join_limiter_{1, 5000};
  RateLimiter members_limiter_{4, 2000};
};

}  // namespace vy

#endif  // CORE_VY_CHANNEL_H_
