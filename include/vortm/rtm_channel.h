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
  // so one command of each kind is on its way per channel at a time:
  // requests of that kind made meanwhile wait, and go out together as one
  // command once its answer has come; that one answer then ends them all (a
  // member list so answered was taken after each of their calls). A slow
  // server costs time, not results. A request not answered within 10 s of
  // its call ends with 4 (TIMEOUT), and its answer is dropped should it
  // still come. Only a command whose answer has not come 10 s after it went
  // out makes the library make the connection again, as after a loss ((4,5),
  // then (3,2)): that answer may still come, or never, and would otherwise
  // end the next request. The connection goes before that time-out is
  // reported, so what a handler does inside the report behaves as inside
  // the report of (4,5). Requests of the channel still waiting end then with
  // 1, before their own 10 s. A released channel's command keeps its place
  // until its answer comes: without one, the connection is still made again
  // 10 s after it went out.
  //
  // Once the library has settled, what the app was told last is what the
  // server holds (see JOIN_CHANNEL_ERR and LEAVE_CHANNEL_ERR): a join that
  // ends with 1 or 4 leaves the channel as it was before it; a leave that
  // ends with 4 or 1, or that the server refuses, leaves the user in it.
  // After each login the channel joins again by itself when the user belongs
  // in it. That join's result comes through onJoinSuccess, or onJoinFailure
  // with 1 (refused, or the connection lost), 4 or 102, like the app's own.
  // Until it has come the channel is not joined: sendMessage answers 3, and
  // a leave or getMembers made meanwhile waits for it. Once joined again
  // they go out; after a refusal the user is out, the leave ends with 0 and
  // the member list with 3. So a getMembers made once the report of (3,2)
  // has returned tells when the channel can be used again.
  // One risk stays: a server that repeats an answer, or sends one nobody
  // asked for, while a request of that kind is on its way ends that request
  // with it (a member list can then be the one before). Ask again where that
  // matters, and follow onMemberJoined and onMemberLeft.
  //
  // Refusals, returned at once: join answers 7 (TOO_OFTEN) past 2 joins per
  // 5 s on this channel (the joins it makes by itself after a login count
  // too), and 102 while the user is not logged in, the connection being made
  // again included (101 before initialize). leave answers 3 when the channel
  // is neither joined nor being joined again by itself (so a second leave
  // does), and the channel is then not joined again after the next login.
  // getMembers answers 3 in the same case and 7 past 5 requests per 2 s.
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
