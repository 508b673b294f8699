#ifndef CORE_X_TCP_CLIENT_H_
#define CORE_X_TCP_CLIENT_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "core/rtc_tick.h"
#include "core/vy_rtm_events.h"
#include "core/x_send_buffer.h"
#include "rtc_base/base/critical_section.h"
#include "rtc_base/net/async_resolver_interface.h"
#include "rtc_base/net/async_socket.h"
#include "rtc_base/net/socket_address.h"
#include "rtc_base/threads/message_handler.h"
#include "rtc_base/threads/sigslot.h"
#include "rtc_base/threads/thread.h"

namespace vy {

// The service's one TCP connection. It resolves the server name (IPv6 preferred, IPv4 as a
// fallback), connects, hands every received chunk to its owner unparsed, and collects outgoing
// frames in a send buffer that the worker's tick registry flushes, one Send per tick. It
// knows nothing of framing or commands.
//
// Everything runs on the worker thread. The owner may delete the client from any of its
// callbacks: the socket is then closed at once and deleted on a later pass, never inside its
// own signal.
class XNetClient : public rtc::MessageHandler {
 public:
  enum State { kClosed = 0, kResolving = 1, kConnecting = 2, kConnected = 3 };
  enum MessageId : uint32_t { kMsgConnect = 1000, kMsgResolve = 1001 };

  // A new XTcpClient on `worker`; the caller owns it. Must be called on the worker thread.
  static XNetClient* Create(XNetClientCallback& callback, rtc::Thread* worker);

  ~XNetClient() override;

  virtual int Status() = 0;
  // Starts connecting to `server` (a literal address or a host name) on `port` (80 when below
  // 1). Refused with OnServerConnectionFailure unless the client is closed. Returns 0 when
  // accepted, else -1.
  virtual int Connect(const std::string& server, int port, bool autoReconnect) = 0;
  // Stops reconnecting and closes; one last attempt is made to write waiting bytes first.
  virtual void Disconnect() = 0;
  // Grows the send buffer for `n` more bytes; whether they fit.
  virtual bool AvalibleToSend(int n) = 0;
  // Appends bytes to the send buffer, whole or not at all, in every state. Returns the length,
  // or -1 for null or empty data or when the buffer is full (XSendBuffer::kMaxCapacity).
  virtual int SendMessageX(std::string& data) = 0;
  virtual int SendMessageX(const char* data, int len) = 0;

  // Stops delivery of received bytes.
  void DisableRead();
  void SetResovedIPS(const std::vector<std::string>& ips);

 protected:
  XNetClient(XNetClientCallback& callback, rtc::Thread* worker);

  XNetClientCallback& callback_;
  rtc::Thread* const worker_thread_;
  std::vector<std::string> resolved_ips_;  // stored, never read

  rtc::CriticalSection read_crit_;
  bool read_enabled_ ABSL_GUARDED_BY(read_crit_) = true;

  // Worker thread only.
  std::string server_host_;
  rtc::SocketAddress server_addr_;
  int state_ = kClosed;
  bool auto_reconnect_ = false;

  rtc::CriticalSection send_crit_;
  XSendBuffer send_buffer_ ABSL_GUARDED_BY(send_crit_);
};

class XTcpClient : public XNetClient, public RtcTick, public sigslot::has_slots<> {
 public:
  using ResolverFactory = std::function<rtc::AsyncResolverInterface*()>;

  XTcpClient(XNetClientCallback& callback, rtc::Thread* worker);
  ~XTcpClient() override;

  // rtc::MessageHandler.
  void OnMessage(rtc::Message* msg) override;

  int Status() override { return state_; }
  int Connect(const std::string& server, int port, bool autoReconnect) override;
  void Disconnect() override;
  bool AvalibleToSend(int n) override;
  int SendMessageX(std::string& data) override;
  int SendMessageX(const char* data, int len) override;

  // RtcTick: flushes the send buffer, then ticks the owner.
  void OnTick() override;
  void OnTickUnAttach() override {}

  // Closes the socket and ends a running resolution; state 0. Waiting bytes stay.
  void Close();

  // Bytes waiting to be written.
  size_t PendingBytes();
  size_t SendCapacity();

  // Replaces how resolvers are made (null restores DefaultResolver), so that tests never
  // resolve real names. Process-wide; set it before creating clients.
  static void SetResolverFactoryForTesting(ResolverFactory factory);
  // How long sent bytes may stay unacknowledged before a connection ends (TCP_USER_TIMEOUT;
  // 20 s, which 0 restores). Process-wide; set it before creating clients.
  static void SetUserTimeoutForTesting(int ms);
  // The runtime's resolver (getaddrinfo on a worker thread); null where there is none.
  static rtc::AsyncResolverInterface* DefaultResolver();

 private:
  class SocketEvents;
  struct Connection;

  // Everything the destructor does; a second run does nothing.
  void Teardown();
  void DoResolve();
  void OnResolveResult(rtc::AsyncResolverInterface* resolver);
  void DoConnect();
  // Handles a connection attempt that failed before it was established; tries the IPv4
  // fallback first. Returns whether the owner was told.
  void ConnectAttemptFailed();
  // A peer that stops answering ends the connection (user time-out, TCP keep-alive).
  void DetectDeadPeer(rtc::AsyncSocket* socket);
  void OnConnectEvent(rtc::AsyncSocket* socket);
  void OnReadEvent(rtc::AsyncSocket* socket);
  void OnCloseEvent(rtc::AsyncSocket* socket, int error);
  // Closes the current socket and hands it over for deletion on a later pass.
  void DropConnection();
  void DestroyResolver();
  // One Send of the waiting bytes; the count written, or -1.
  int FlushOnce();

  rtc::AsyncResolverInterface* resolver_ = nullptr;
  std::unique_ptr<Connection> connection_;
  // An IPv4 address of the server to try when the IPv6 connection fails.
  rtc::SocketAddress ipv4_fallback_;
  // Expires when the client is destroyed, so a loop that called out can tell.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace vy

#endif  // CORE_X_TCP_CLIENT_H_
