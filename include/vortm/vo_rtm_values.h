// The kit's value classes: what completions and delegates hand to the app, and what the app hands
// to the kit. Plain copyable data. A field the library fills (a message's type, a received
// invitation's caller) has a getter only.
#ifndef VORTM_VO_RTM_VALUES_H_
#define VORTM_VO_RTM_VALUES_H_

#if __cplusplus < 201703L
#error "the VoRtmKit kit API needs C++17"
#endif

#include <cstdint>
#include <string>
#include <utility>

#include <vortm/export.h>

namespace vortm {

namespace detail {
// How the library fills the read-only fields.
struct ValueAccess;
}  // namespace detail

// "" for a null pointer, else the bytes up to the first zero byte.
VORTM_API std::string NoNullString(const char* utf8);

class VORTM_API VoRtmMessage {
 public:
  VoRtmMessage() = default;
  explicit VoRtmMessage(std::string text) : text_(std::move(text)) {}

  // The vy::rtm MESSAGE_TYPE of a received message (1 text); 0 for one made by the app.
  int type() const { return type_; }
  const std::string& text() const { return text_; }
  void setText(std::string text) { text_ = std::move(text); }
  // The server's time stamp of a received message, in milliseconds.
  int64_t serverReceivedTs() const { return serverReceivedTs_; }
  // True for a message the server kept while this user was offline.
  bool isOfflineMessage() const { return isOfflineMessage_; }

 private:
  friend struct detail::ValueAccess;
  int type_ = 0;
  std::string text_;
  int64_t serverReceivedTs_ = 0;
  bool isOfflineMessage_ = false;
};

struct VoRtmSendMessageOptions {
  bool enableOfflineMessaging = false;
  bool enableHistoricalMessaging = false;
};

struct VoRtmMember {
  std::string uid;
  std::string channelId;
};

class VORTM_API VoRtmPeerOnlineStatus {
 public:
  const std::string& peerId() const { return peerId_; }
  void setPeerId(std::string peerId) { peerId_ = std::move(peerId); }
  // 0 online, 1 unreachable (the server could not tell), 2 offline.
  int state() const { return state_; }

 private:
  friend struct detail::ValueAccess;
  std::string peerId_;
  int state_ = 0;
};

struct VoRtmAttribute {
  std::string key;
  std::string value;
};

struct VoRtmChannelMemberCount {
  std::string channelId;
  int count = 0;
};

class VORTM_API VoRtmChannelAttribute {
 public:
  const std::string& key() const { return key_; }
  void setKey(std::string key) { key_ = std::move(key); }
  const std::string& value() const { return value_; }
  void setValue(std::string value) { value_ = std::move(value); }
  const std::string& lastUpdateUid() const { return lastUpdateUid_; }
  void setLastUpdateUid(std::string uid) { lastUpdateUid_ = std::move(uid); }
  // When the attribute last changed, as the server gives it.
  int64_t lastUpdateTs() const { return lastUpdateTs_; }

 private:
  friend struct detail::ValueAccess;
  std::string key_;
  std::string value_;
  std::string lastUpdateUid_;
  int64_t lastUpdateTs_ = 0;
};

struct VoRtmChannelAttributeOptions {
  bool enableNotificationToChannelMembers = false;
};

// A call invitation this user sends.
class VORTM_API VoRtmLocalInvitation {
 public:
  explicit VoRtmLocalInvitation(std::string calleeId = {}) : calleeId_(std::move(calleeId)) {}

  const std::string& calleeId() const { return calleeId_; }
  void setCalleeId(std::string calleeId) { calleeId_ = std::move(calleeId); }
  const std::string& content() const { return content_; }
  void setContent(std::string content) { content_ = std::move(content); }
  // Kept for the app only: it never goes to the callee.
  const std::string& channelId() const { return channelId_; }
  void setChannelId(std::string channelId) { channelId_ = std::move(channelId); }
  // The callee's answer, in the accepted and refused events.
  const std::string& response() const { return response_; }
  // The vy::rtm LOCAL_INVITATION_STATE.
  int state() const { return state_; }

 private:
  friend struct detail::ValueAccess;
  std::string calleeId_;
  std::string content_;
  std::string channelId_;
  std::string response_;
  int state_ = 0;
};

// A call invitation received from another user.
class VORTM_API VoRtmRemoteInvitation {
 public:
  const std::string& callerId() const { return callerId_; }
  const std::string& content() const { return content_; }
  const std::string& channelId() const { return channelId_; }
  // The answer sent with an acceptance or a refusal.
  const std::string& response() const { return response_; }
  void setResponse(std::string response) { response_ = std::move(response); }
  // The vy::rtm REMOTE_INVITATION_STATE.
  int state() const { return state_; }

 private:
  friend struct detail::ValueAccess;
  std::string callerId_;
  std::string content_;
  std::string channelId_;
  std::string response_;
  int state_ = 0;
};

}  // namespace vortm

#endif  // VORTM_VO_RTM_VALUES_H_
