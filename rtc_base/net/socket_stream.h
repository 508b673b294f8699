#ifndef RTC_BASE_NET_SOCKET_STREAM_H_
#define RTC_BASE_NET_SOCKET_STREAM_H_

#include "rtc_base/net/async_socket.h"
#include "rtc_base/net/stream.h"
#include "rtc_base/threads/sigslot.h"

namespace rtc {

// A stream over an asynchronous socket, which it owns. Socket events become
// stream events; a would-block result becomes SR_BLOCK.
//
// Never delete a SocketStream from inside its socket's read or write signal
// (that is, from a read or write event handler); hand it to
// MessageQueue::Dispose instead.
class SocketStream : public StreamInterface, public sigslot::has_slots<> {
 public:
  explicit SocketStream(AsyncSocket* socket);
  ~SocketStream() override;

  // Takes the socket over; a socket held before is deleted.
  void Attach(AsyncSocket* socket);
  // Hands the socket back without deleting it.
  AsyncSocket* Detach();

  AsyncSocket* GetSocket() { return socket_; }

  StreamState GetState() const override;
  StreamResult Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamResult Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;

 private:
  void OnConnectEvent(AsyncSocket* socket);
  void OnReadEvent(AsyncSocket* socket);
  void OnWriteEvent(AsyncSocket* socket);
  void OnCloseEvent(AsyncSocket* socket, int error);

  AsyncSocket* socket_;
};

}  // namespace rtc

#endif  // RTC_BASE_NET_SOCKET_STREAM_H_
