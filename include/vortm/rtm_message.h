// The message object of the vy::rtm interface family.
#ifndef VORTM_RTM_MESSAGE_H_
#define VORTM_RTM_MESSAGE_H_

#include <vortm/export.h>
#include <vortm/rtm_types.h>

namespace vy {
namespace rtm {

// Image and file messages are named by the event handlers only; the service
// never creates one.
class IImageMessage;
class IFileMessage;

// A text or raw message. Messages made by IRtmService::createMessage belong
// to the caller, who ends them with release(); a message passed to a
// callback lives only until the callback returns.
class VORTM_API IMessage {
 protected:
  virtual ~IMessage() = default;

 public:
  virtual long long getMessageId() const = 0;
  virtual MESSAGE_TYPE getMessageType() const = 0;
  // Replaces the text; a null pointer leaves it unchanged.
  virtual void setText(const char* text) = 0;
  virtual const char* getText() const = 0;
  // The content's bytes, for raw messages; the same bytes as getText(). A
  // content ends at its first zero byte (raw data 'a', 0, 'b' gives "a", of
  // length 1), so binary data must be encoded by the app.
  virtual const char* getRawMessageData() const = 0;
  virtual int getRawMessageLength() const = 0;
  // Milliseconds as stamped by the server; 0 for messages made locally.
  virtual long long getServerReceivedTs() const = 0;
  // True for messages that were stored by the server while the user was
  // offline.
  virtual bool isOfflineMessage() const = 0;
  // Deletes the message.
  virtual void release() = 0;
};

}  // namespace rtm
}  // namespace vy

#endif  // VORTM_RTM_MESSAGE_H_
