// Channels, their members and channel attributes in the vy::rtm interface
// family.
#ifndef VORTM_RTM_CHANNEL_H_
#define VORTM_RTM_CHANNEL_H_

#include <vortm/export.h>
#include <vortm/rtm_message.h>
#include <vortm/rtm_types.h>

namespace vy {
namespace rtm {

// A member of a channel as reported to IChannelEventHandler; valid only until
// the callback returns. The library owns it: release() does nothing.
class VORTM_API IChannelMember {
 protected:
  virtual ~IChannelMember() = default;

 public:
  virtual const char* getUserId() const = 0;
  virtual const char* getChannelId() const = 0;
  virtual void release() = 0;
};

// A channel attribute: key and value set by the app, last update user id and
// time filled by the service from the server's answer.
class VORTM_API IRtmChannelAttribute {
 protected:
  virtual ~IRtmChannelAttribute() = default;

 public:
  // The setters copy the text and ignore a null pointer.
  virtual void setKey(const char* key) = 0;
  virtual const char* getKey() const = 0;
  virtual void setValue(const char* value) = 0;
  virtual const char* getValue() const = 0;
  virtual const char* getLastUpdateUserId() const = 0;
  virtual long long getLastUpdateTs() const = 0;
  virtual void release() = 0;
};

// Events of one channel. They arrive on the service's worker thread; the
// objects and arrays passed live only until the callback returns. Every
// callback does nothing unless overridden.
class VORTM_API IChannelEventHandler {
 public:
  virtual ~IChannelEventHandler() = default;

  virtual void onJoinSuccess() {}
  virtual void onJoinFailure(JOIN_CHANNEL_ERR errorCode) { (void)errorCode; }
  virtual void onLeave(LEAVE_CHANNEL_ERR errorCode) { (void)errorCode; }
  virtual void onMessageReceived(const char* userId, const IMessage* message) {
    (void)userId, (void)message;
  }
  virtual void onImageMessageReceived(const char* userId, const IImageMessage* message) {
    (void)userId, (void)message;
  }
  virtual void onFileMessageReceived(const char* userId, const IFileMessage* message) {
    (void)userId, (void)message;
  }
  virtual void onSendMessageResult(long long messageId, CHANNEL_MESSAGE_ERR_CODE state) {
    (void)messageId, (void)state;
  }
  virtual void onMemberJoined(IChannelMember* member) { (void)member; }
  virtual void onMemberLeft(IChannelMember* member) { (void)member; }
  virtual void onGetMembers(IChannelMember** members, int userCount, GET_MEMBERS_ERR errorCode) {
    (void)members, (void)userCount, (void)errorCode;
  }
  virtual void onAttributesUpdated(const IRtmChannelAttribute* attributes[],
                                   int numberOfAttributes) {
    (void)attributes, (void)numberOfAttributes;
  }
  virtual void onMemberCountUpdated(int memberCount) { (void)memberCount; }
};

// A channel made by IRtmService::createChannel. Every operation but getId and
// release runs on the service's worker thread; a call from another thread
// waits for it there.
class VORTM_API IChannel {
 protected:
  virtual ~IChannel() = default;

 public:
  // Results are JOIN_CHANNEL_ERR, LEAVE_CHANNEL_ERR, CHANNEL_MESSAGE_ERR_CODE
  // and GET_MEMBERS_ERR values. A channel message holds at most 32,767 bytes,
  // as a peer message does. CHANNEL_MESSAGE_ERR_SENT_TIMEOUT means that no
  // answer came in time, not that the message was lost: it may still reach
  // the channel, so a resend can arrive twice.
  //
  // The server's answers to joins, leaves and member lists name no request,
  // so one request of each kind is on its way per channel at a time: one
  // made while another of its kind awaits its answer goes out once that
  // answer has come, and each answer ends the request of its kind on its
  // way. A request left without an answer for 10 s ends with 4 (TIMEOUT),
  // and the connection is made again as after a loss (the answer may still
  // come, or never, and would end the next request otherwise). Requests
  // waiting when the connection is lost end with 1. Once the connection
  // stands again, what the app was told last is what the server holds: a
  // join that ended with 4 or 1 has not joined the channel; a leave that
  // ended with 4 or 1, or that the server refused, leaves the user in it,
  // and the channel joins again after the login.
  // One risk stays: a server that repeats an answer, or sends one nobody
  // asked for, while a request of that kind is on its way ends that request
  // with it (a member list can then be the one before). Ask again where that
  // matters, and follow onMemberJoined and onMemberLeft.
  //
  // Refusals, returned at once: join answers 7 (TOO_OFTEN) past 2 joins per
  // 5 s on this channel (the joins it makes by itself after a login count
  // too), and 102 while the user is not logged in, the connection being made
  // again included (101 before initialize). leave answers 3 when the channel
  // is not joined, and the channel is then not joined again after the next
  // login. getMembers answers 3 when it is not joined and 7 past 5 requests
  // per 2 s.
  // sendMessage answers 3 (NOT_AVAILABLE) without a callback when the
  // channel is not joined, as while the connection is being made again;
  // otherwise its refusals come through onSendMessageResult as well: 3 when
  // 300 sends (peer and channel ones together) await their results and the
  // oldest was sent 3 s ago or more, 4 an empty text or a content of 32,768
  // bytes or more, 1 a null message. A message whose earlier send awaits its
  // result is refused with -1 and no callback.
  virtual int join() = 0;
  virtual int leave() = 0;
  virtual int sendMessage(const IMessage* message) = 0;
  virtual int sendMessage(const IMessage* message, const SendMessageOptions& options) = 0;
  virtual const char* getId() const = 0;
  virtual int getMembers() = 0;
  // Removes the channel from the service (without leaving it on the server)
  // and deletes it; any thread, from inside a callback too (the channel is
  // then freed once the callback has returned). Joins, leaves, member lists
  // and sends still awaiting their answers are reported with 102 before it
  // returns; no callback comes after. A release() from inside those reports
  // does nothing.
  //
  // Lifetime: the app owns the channel until release(). logout() detaches
  // every channel: it is no longer joined, makes no more callbacks, and its
  // operations answer 102; releasing the service detaches them likewise, and
  // their operations answer 101. A detached channel stays valid until its
  // release(), which then only frees it; createChannel makes a new object
  // for the same id.
  virtual void release() = 0;
};

}  // namespace rtm
}  // namespace vy

#endif  // VORTM_RTM_CHANNEL_H_
