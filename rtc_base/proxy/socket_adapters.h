// Socket layers that put a proxy handshake or a traffic log between a connection and the
// socket it runs on: an HTTP CONNECT tunnel, a SOCKS5 tunnel, a fake TLS handshake and a
// logging layer. Each owns the socket it wraps. A handshake layer reports the end of its
// handshake as its own connect signal, or as a close signal with a non-zero error; both come
// from the owner's message loop, never from inside the wrapped socket's read signal, so an
// owner may delete the layer in its handlers.
#ifndef RTC_BASE_PROXY_SOCKET_ADAPTERS_H_
#define RTC_BASE_PROXY_SOCKET_ADAPTERS_H_

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "rtc_base/base/logging.h"
#include "rtc_base/http/http_authenticate.h"
#include "rtc_base/net/async_socket.h"
#include "rtc_base/net/socket_address.h"
#include "rtc_base/strings/crypt_string.h"
#include "rtc_base/threads/message_handler.h"

namespace rtc {

// Takes the wrapped socket's input while a handshake runs and hands it to ProcessInput; once
// the handshake is over, bytes it did not consume come first to the owner's Recv.
class BufferedReadAdapter : public AsyncSocketAdapter, protected MessageHandler {
 public:
  // The handshake input a layer may hold at once.
  static constexpr size_t kHandshakeBufferSize = 1024;

  BufferedReadAdapter(AsyncSocket* socket, size_t buffer_size);
  ~BufferedReadAdapter() override;

  // Both fail with EWOULDBLOCK during the handshake.
  int Send(const void* pv, size_t cb) override;
  int Recv(void* pv, size_t cb, int64_t* timestamp) override;
  // Connecting while the handshake owns the input.
  ConnState GetState() const override;
  // Forgets the handshake's input and closes.
  int Close() override;

 protected:
  // Consumes what it can from the front of the buffered input and sets `len` to what remains.
  virtual void ProcessInput(char* data, size_t* len) = 0;
  // Ends the handshake: closes (the subclass's Close) and reports `error` with the close
  // signal. Also called when the input overflows the buffer.
  void Error(int error);

  void BufferInput(bool on);
  // Forgets buffered input and any result not delivered yet, so that a new connection starts
  // without the old one's bytes.
  void ClearBuffer();
  // Sends all of `data` on the wrapped socket; false when it could not.
  bool DirectSend(const void* data, size_t len);

  // The handshake's end, delivered from the loop: connect (followed by a read signal when
  // input is waiting), or close with `error`.
  void PostHandshakeResult(bool connected, int error = 0);

  void OnReadEvent(AsyncSocket* socket) override;
  // A close while the handshake owns the input ends it with that error (ECONNABORTED for a
  // clean one).
  void OnCloseEvent(AsyncSocket* socket, int err) override;
  void OnMessage(Message* msg) override;

 private:
  std::vector<char> buffer_;
  size_t data_len_ = 0;
  // Counts the ClearBuffer calls, so that input processing sees a buffer emptied under it.
  unsigned clears_ = 0;
  bool buffering_ = false;
  // A result has been posted and not delivered yet; the wrapped socket's read and close
  // events wait for it.
  bool result_pending_ = false;
  bool read_waiting_ = false;
  bool close_waiting_ = false;
  int close_error_ = 0;
  // Cleared when the object goes, for the delivery that may delete it.
  std::shared_ptr<bool> alive_;
};

// An HTTP CONNECT tunnel through a proxy, answering Basic and Digest challenges. A connection
// to port 80 is not tunnelled unless forced: the caller then speaks HTTP to the proxy itself.
class AsyncHttpsProxySocket : public BufferedReadAdapter {
 public:
  AsyncHttpsProxySocket(AsyncSocket* socket, const std::string& user_agent,
                        const SocketAddress& proxy, const std::string& username,
                        const CryptString& password);
  ~AsyncHttpsProxySocket() override;

  void SetForceConnect(bool force) { force_connect_ = force; }

  // Refuses (EINVAL) a destination whose host would break the request line.
  int Connect(const SocketAddress& addr) override;
  SocketAddress GetRemoteAddress() const override;
  int Close() override;
  ConnState GetState() const override;

 protected:
  void ProcessInput(char* data, size_t* len) override;
  void OnConnectEvent(AsyncSocket* socket) override;
  void OnCloseEvent(AsyncSocket* socket, int err) override;

 private:
  enum ProxyState {
    PS_INIT,            // connecting to the proxy
    PS_LEADER,          // CONNECT sent, waiting for the status line
    PS_AUTHENTICATE,    // reading a 407's challenges
    PS_SKIP_HEADERS,    // answer ready, skipping the rest of the 407's headers
    PS_ERROR_HEADERS,   // failure status, skipping headers before reporting it
    PS_TUNNEL_HEADERS,  // 200 received, skipping headers before the tunnel opens
    PS_SKIP_BODY,       // skipping the 407's body
    PS_TUNNEL,          // tunnel open, or no CONNECT needed
    PS_WAIT_CLOSE,      // unused: the socket reconnects at once
    PS_ERROR,           // closed or failed
  };

  bool ShouldIssueConnect() const;
  void SendRequest();
  void ProcessLine(const char* line, size_t len);
  void EndResponse();
  // Starts over on a new connection to the proxy, keeping the answer to send.
  void Reconnect();

  const std::string agent_;
  const SocketAddress proxy_;
  const std::string user_;
  const CryptString pass_;
  bool force_connect_ = false;
  SocketAddress dest_;
  ProxyState state_ = PS_ERROR;
  // The Proxy-Authorization line for the next CONNECT.
  std::string headers_;
  size_t content_length_ = 0;
  int defer_error_ = 0;
  bool expect_close_ = true;
  // The 407 came with a body in chunks, which is not skipped but left with its connection.
  bool chunked_ = false;
  // Counts the connections to the proxy, so that input processing sees one end.
  unsigned connection_ = 0;
  std::unique_ptr<HttpAuthContext> context_;
  std::string unknown_mechanisms_;
};

// A SOCKS5 tunnel (RFC 1928), with username/password authentication (RFC 1929) when a user
// name is given.
class AsyncSocksProxySocket : public BufferedReadAdapter {
 public:
  AsyncSocksProxySocket(AsyncSocket* socket, const SocketAddress& proxy,
                        const std::string& username, const CryptString& password);
  ~AsyncSocksProxySocket() override;

  // Refuses (EINVAL) names and credentials that do not fit the protocol's one-byte lengths.
  int Connect(const SocketAddress& addr) override;
  SocketAddress GetRemoteAddress() const override;
  int Close() override;

 protected:
  void ProcessInput(char* data, size_t* len) override;
  void OnConnectEvent(AsyncSocket* socket) override;

 private:
  enum SocksState { SS_INIT, SS_HELLO, SS_AUTH, SS_CONNECT, SS_TUNNEL, SS_ERROR };

  void SendHello();
  void SendAuth();
  void SendConnect();
  // Handles one whole reply at the front of the input; the bytes it used, or 0 when the
  // reply is not complete yet.
  size_t ProcessReply(const char* data, size_t len);

  const SocketAddress proxy_;
  const std::string user_;
  const CryptString pass_;
  SocketAddress dest_;
  SocksState state_ = SS_ERROR;
};

// A fake TLS handshake, for firewalls that let only what looks like TLS through: a fixed
// client hello goes out once connected, and the connection opens when the peer's first 79 bytes
// are the fixed server hello; a different answer closes with error 0, and nothing the peer sent
// reaches the owner. Everything after the hello travels in the clear.
class AsyncSSLSocket : public BufferedReadAdapter {
 public:
  explicit AsyncSSLSocket(AsyncSocket* socket);

  int Connect(const SocketAddress& addr) override;

 protected:
  void ProcessInput(char* data, size_t* len) override;
  void OnConnectEvent(AsyncSocket* socket) override;

 private:
  void SendHello();
};

// Logs every byte sent and received, and the connection's events, at `level`. Hex mode masks
// nothing: the factory keeps it off connections that carry proxy credentials.
class LoggingSocketAdapter : public AsyncSocketAdapter {
 public:
  LoggingSocketAdapter(AsyncSocket* socket, LoggingSeverity level, const char* label,
                       bool hex_mode = false);

  int Send(const void* pv, size_t cb) override;
  int SendTo(const void* pv, size_t cb, const SocketAddress& addr) override;
  int Recv(void* pv, size_t cb, int64_t* timestamp) override;
  int RecvFrom(void* pv, size_t cb, SocketAddress* paddr, int64_t* timestamp) override;
  int Close() override;

 protected:
  void OnConnectEvent(AsyncSocket* socket) override;
  void OnCloseEvent(AsyncSocket* socket, int err) override;

 private:
  void Log(bool input, const void* data, int len);
  void Flush();

  LoggingSeverity level_;
  std::string label_;
  bool hex_mode_;
  LogMultilineState lms_;
};

}  // namespace rtc

#endif  // RTC_BASE_PROXY_SOCKET_ADAPTERS_H_
