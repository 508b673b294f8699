// VyMessage: the text or raw message of the vy::rtm interface family, and the process-wide
// source of message ids.
#ifndef CORE_VY_MESSAGE_H_
#define CORE_VY_MESSAGE_H_

#include <string>

#include <vortm/rtm_message.h>

#include "core/vy_rtm_events.h"

namespace vy {

// A message made by IRtmService::createMessage or delivered to a handler. Its content is kept
// as one string for both types; the sink (the service or channel that made it) sends it.
class VyMessage : public vy::rtm::IMessage {
 public:
  explicit VyMessage(VyMessageEvent* sink) : sink_(sink) {}
  ~VyMessage() override = default;

  long long getMessageId() const override { return message_id_; }
  vy::rtm::MESSAGE_TYPE getMessageType() const override { return type_; }
  void setText(const char* text) override {
    if (text != nullptr) text_ = text;
  }
  const char* getText() const override { return text_.c_str(); }
  const char* getRawMessageData() const override { return text_.data(); }
  int getRawMessageLength() const override { return static_cast<int>(text_.size()); }
  long long getServerReceivedTs() const override { return server_time_; }
  bool isOfflineMessage() const override { return offline_; }
  void release() override { delete this; }

  void SetOfflineMsg() { offline_ = true; }
  void SetMsgId(long long id) { message_id_ = id; }
  void SetMsgType(vy::rtm::MESSAGE_TYPE type) { type_ = type; }
  void SetPeerUId(const std::string& peer_id) { peer_id_ = peer_id; }
  void SetMsgTime(long long server_time) { server_time_ = server_time; }
  // Replaces the content with at most `length` bytes, ending at the first zero byte.
  void SetTextBytes(const char* data, size_t length);
  const std::string& peer_id() const { return peer_id_; }
  const std::string& text() const { return text_; }

  // Hands the message to its sink for sending to the peer set with SetPeerUId.
  void SendMsg(const vy::rtm::SendMessageOptions& options) const;

 private:
  VyMessageEvent* sink_;
  long long message_id_ = 0;
  long long server_time_ = 0;
  bool offline_ = false;
  vy::rtm::MESSAGE_TYPE type_ = static_cast<vy::rtm::MESSAGE_TYPE>(0);
  std::string peer_id_;
  std::string text_;
};

// A new message id: the wall-clock milliseconds, but at least one above the id handed out
// before, so that ids are unique within the process even across threads and clock steps.
// Any thread.
long long NextMessageId();

}  // namespace vy

#endif  // CORE_VY_MESSAGE_H_
