// Back channels inside the messaging core: how the TCP client, messages,
// channels and the call manager report to the service that owns them. All
// are called on the worker thread.
#ifndef CORE_VY_RTM_EVENTS_H_
#define CORE_VY_RTM_EVENTS_H_

#include <string>
#include <vector>

#include <vortm/rtm_channel.h>
#include <vortm/rtm_message.h>
#include <vortm/rtm_types.h>

namespace vy {

// Events of the TCP client (XTcpClient) to its owner.
class XNetClientCallback {
 public:
  virtual void OnServerConnected() = 0;
  virtual void OnServerDisconnect() = 0;
  virtual void OnServerConnectionFailure() = 0;
  virtual void OnNetworkChanged() = 0;
  // Called from the client's tick, after it flushed its send buffer.
  virtual void OnTick() = 0;
  virtual void OnMessageSent(int length) = 0;
  // Received bytes, valid only during the call.
  virtual void OnMessageRecv(const char* data, int length) = 0;
  // Where the next read may put up to `length` bytes itself, saving OnMessageRecv's copy
  // (null: read into the client's buffer); OnMessageRecvInPlace then tells how many came.
  virtual char* RecvSpace(int /*length*/) { return nullptr; }
  virtual void OnMessageRecvInPlace(int /*length*/) {}

 protected:
  virtual ~XNetClientCallback() = default;
};

// A message asks its sink to send it to a peer (VyMessage::SendMsg).
class VyMessageEvent {
 public:
  virtual void OnVyMessageMsgOut(long long messageId, const std::string& peerId, int type,
                                 const std::string& content,
                                 const vy::rtm::SendMessageOptions& options) = 0;

 protected:
  virtual ~VyMessageEvent() = default;
};

// What a released channel still awaited from the server, taken out of the
// service's tables for the channel to report.
struct ChannelRequests {
  int joins = 0;
  int rejoins = 0;  // sent by the channel itself after a login
  int leaves = 0;
  int member_lists = 0;
  std::vector<long long> sends;  // message ids
};

// A channel asks the service to check and send a channel message, to send a
// channel command, and reports its own destruction.
class VyChannelEvent {
 public:
  virtual int OnVyChanlelMsgCheck(const std::string& channelId, const vy::rtm::IMessage* message,
                                  const vy::rtm::SendMessageOptions& options,
                                  vy::rtm::IChannelEventHandler* handler) = 0;
  virtual void OnVyChannelMsgOut(const std::string& channelId, const std::string& cmd,
                                 const std::string& content) = 0;
  // Sends "JoinChannel" and awaits its answer; `rejoin` for a join the channel makes by itself
  // after a login.
  virtual void OnVyChannelJoin(const std::string& channelId, bool rejoin) = 0;
  // Sends "LeaveChannel" or "GetChanMembers" and awaits its answer; with `waits`, not before the
  // answer to the channel's own join after a login, which may also end it.
  virtual void OnVyChannelRequest(const std::string& channelId, const std::string& cmd,
                                  const std::string& content, bool waits) = 0;
  virtual ChannelRequests OnVyChannelDestory(const std::string& channelId) = 0;
  // 0 while a session stands (with the user id, the sender of channel messages), else 101
  // before initialize or 102 without a session.
  virtual int OnVyChannelSession(std::string* userId) = 0;

 protected:
  virtual ~VyChannelEvent() = default;
};

// A channel handler that also implements this hears the results of the joins its channel makes
// by itself after a login here, and not through onJoinSuccess or onJoinFailure, so that they
// cannot be taken for the results of joins its app asked for.
class VyChannelRejoinHandler {
 public:
  virtual void OnRejoinResult(vy::rtm::JOIN_CHANNEL_ERR code) = 0;

 protected:
  virtual ~VyChannelRejoinHandler() = default;
};

// The call manager asks the service to send a command and reports its own
// destruction.
class VyRtmCallManagerEvent {
 public:
  virtual void OnVyRtmCallManagerMsgOut(const std::string& cmd, const std::string& content) = 0;
  virtual void OnVyRtmCallManagerDestory() = 0;

 protected:
  virtual ~VyRtmCallManagerEvent() = default;
};

}  // namespace vy

#endif  // CORE_VY_RTM_EVENTS_H_
