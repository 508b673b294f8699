// TLS or DTLS over any asynchronous socket, and a factory whose adapters share one context and
// one client session cache.
#ifndef RTC_BASE_TLS_OPENSSL_ADAPTER_H_
#define RTC_BASE_TLS_OPENSSL_ADAPTER_H_

#include <openssl/ssl.h>
#include <openssl/types.h>
#include <stddef.h>
#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rtc_base/net/async_socket.h"
#include "rtc_base/strings/buffer.h"
#include "rtc_base/threads/message_handler.h"
#include "rtc_base/tls/openssl_certificate.h"
#include "rtc_base/tls/openssl_identity.h"

namespace rtc {

enum SSLMode : int32_t { SSL_MODE_TLS = 0, SSL_MODE_DTLS = 1 };
enum SSLRole : int32_t { SSL_CLIENT = 0, SSL_SERVER = 1 };

class SSLAdapter;

class SSLAdapterFactory {
 public:
  virtual ~SSLAdapterFactory() = default;
  // Before the first CreateAdapter.
  virtual void SetMode(SSLMode mode) = 0;
  // Not owned; must outlive the adapters.
  virtual void SetCertVerifier(SSLCertificateVerifier* ssl_cert_verifier) = 0;
  // Wraps `socket` (taking it over); null when the shared context cannot be made.
  virtual SSLAdapter* CreateAdapter(AsyncSocket* socket) = 0;

  static std::unique_ptr<SSLAdapterFactory> Create();
};

// The owner sees the usual socket signals: connect once the TLS handshake has finished and the
// peer checked out, close on a handshake or record failure. Both arrive from the next pass of
// the thread's loop, so a handler may delete the adapter. A failed handshake also closes the
// connection, and Send and Recv fail from then on: bytes pass in the clear only on an adapter
// whose TLS was never started. The settings are made before StartSSL.
class SSLAdapter : public AsyncSocketAdapter {
 public:
  ~SSLAdapter() override = default;
  explicit SSLAdapter(AsyncSocket* socket) : AsyncSocketAdapter(socket) {}

  // Accepts certificates that fail verification or do not match the host. Tests only.
  virtual void SetIgnoreBadCert(bool ignore) = 0;
  virtual void SetAlpnProtocols(const std::vector<std::string>& protos) = 0;
  // Group names as OpenSSL knows them ("X25519", "P-256").
  virtual void SetEllipticCurves(const std::vector<std::string>& curves) = 0;
  virtual void SetMode(SSLMode mode) = 0;
  // Asked about certificates the trusted roots do not vouch for. Not owned.
  virtual void SetCertVerifier(SSLCertificateVerifier* ssl_cert_verifier) = 0;
  virtual void SetIdentity(std::unique_ptr<SSLIdentity> identity) = 0;
  virtual void SetRole(SSLRole role) = 0;

  // Starts the handshake now, or once the wrapped socket connects. `hostname` gives the SNI
  // name, the session-cache key and the name the certificate must carry. A restartable adapter
  // starts TLS again after Close and a new Connect. 0 or an error; -1 when already started.
  virtual int StartSSL(const char* hostname, bool restartable) = 0;
  virtual bool IsResumedSession() = 0;

  // A stand-alone adapter: its own context per connection, no session cache, no verifier.
  static SSLAdapter* Create(AsyncSocket* socket);
};

// Sets OpenSSL up. Call it before starting threads that use TLS, so that OpenSSL's exit
// handler runs after they are gone.
bool InitializeSSL();
// Nothing to do: OpenSSL cleans up at exit.
bool CleanupSSL();

// Client sessions by host name, and the context they belong to. Used from one thread.
class OpenSSLSessionCache final {
 public:
  // Takes a reference on `ssl_ctx`.
  OpenSSLSessionCache(SSLMode ssl_mode, SSL_CTX* ssl_ctx);
  ~OpenSSLSessionCache();
  OpenSSLSessionCache(const OpenSSLSessionCache&) = delete;
  OpenSSLSessionCache& operator=(const OpenSSLSessionCache&) = delete;

  // Null when none; the cache keeps its reference.
  SSL_SESSION* LookupSession(const std::string& hostname) const;
  // Takes over `session`'s reference; an older session for the host is freed.
  void AddSession(const std::string& hostname, SSL_SESSION* session);
  SSL_CTX* GetSSLContext() const { return ssl_ctx_; }
  SSLMode GetSSLMode() const { return ssl_mode_; }

 private:
  SSLMode ssl_mode_;
  SSL_CTX* ssl_ctx_;
  std::map<std::string, SSL_SESSION*> sessions_;
};

// TLS or DTLS with OpenSSL, fed through a BIO that reads and writes the wrapped socket. It
// lives on the thread of its socket server: every call, socket event, OpenSSL callback and
// timer runs there.
//
// In the server role (Accept) the peer is asked for a certificate but need not send one; one
// that the trusted roots do not vouch for fails the handshake, as in the client role.
class OpenSSLAdapter final : public SSLAdapter, public MessageHandler {
 public:
  static bool InitializeSSL();
  static bool CleanupSSL();

  // `ssl_session_cache` and `ssl_cert_verifier` are not owned and may be null.
  explicit OpenSSLAdapter(AsyncSocket* socket, OpenSSLSessionCache* ssl_session_cache = nullptr,
                          SSLCertificateVerifier* ssl_cert_verifier = nullptr);
  ~OpenSSLAdapter() override;

  void SetIgnoreBadCert(bool ignore) override;
  void SetAlpnProtocols(const std::vector<std::string>& protos) override;
  void SetEllipticCurves(const std::vector<std::string>& curves) override;
  void SetMode(SSLMode mode) override;
  void SetCertVerifier(SSLCertificateVerifier* ssl_cert_verifier) override;
  void SetIdentity(std::unique_ptr<SSLIdentity> identity) override;
  void SetRole(SSLRole role) override;
  int StartSSL(const char* hostname, bool restartable) override;
  bool IsResumedSession() override;

  int Send(const void* pv, size_t cb) override;
  int SendTo(const void* pv, size_t cb, const SocketAddress& addr) override;
  int Recv(void* pv, size_t cb, int64_t* timestamp) override;
  int RecvFrom(void* pv, size_t cb, SocketAddress* paddr, int64_t* timestamp) override;
  // A server-role adapter on the accepted socket, with a copy of this adapter's identity;
  // null without an identity.
  AsyncSocket* Accept(SocketAddress* paddr) override;
  int Close() override;
  ConnState GetState() const override;

  void OnMessage(Message* msg) override;

  // A context with the trusted roots and this adapter's callbacks; null on failure.
  static SSL_CTX* CreateContext(SSLMode mode, bool enable_cache);

 protected:
  void OnConnectEvent(AsyncSocket* socket) override;
  void OnReadEvent(AsyncSocket* socket) override;
  void OnWriteEvent(AsyncSocket* socket) override;
  void OnCloseEvent(AsyncSocket* socket, int err) override;

 private:
  enum SSLState { SSL_NONE, SSL_WAIT, SSL_CONNECTING, SSL_CONNECTED, SSL_ERROR };
  // Message ids. The signals are posted so that their handlers run outside the wrapped
  // socket's read and write emissions, where deleting the adapter is not allowed.
  enum {
    MSG_TIMEOUT = 0,
    MSG_SIGNAL_CONNECT,
    MSG_SIGNAL_CLOSE,
    MSG_SIGNAL_READ,
    MSG_SIGNAL_WRITE,
  };

  // Both leave the clean-up to the caller on failure.
  int BeginSSL();
  int ContinueSSL();
  // Cleans up and closes the connection; the adapter stays in the error state until Close.
  void HandshakeFailed(const char* context, int err, bool signal = true);
  void Error(const char* context, int err, bool signal = true);
  void Cleanup();
  // Writes through OpenSSL; `error` gets SSL_get_error's class.
  int DoSslWrite(const void* pv, size_t cb, int* error);
  // Writes what an earlier Send left pending, dropping each part OpenSSL took. True when
  // nothing is left.
  bool FlushPendingData();
  void PostSignal(uint32_t id, int err = 0);
  // Passes a socket event on as it is (no TLS), drives the handshake with it, or holds it
  // until the connect signal; true when the connected path is to handle it.
  bool ReachesConnectedPath(AsyncSocket* socket, bool read);
  bool SSLPostConnectionCheck(SSL* ssl, const std::string& host);

  static int SSLVerifyCallback(int ok, X509_STORE_CTX* store);
  static int NewSSLSessionCallback(SSL* ssl, SSL_SESSION* session);

  OpenSSLSessionCache* ssl_session_cache_ = nullptr;
  SSLCertificateVerifier* ssl_cert_verifier_ = nullptr;
  SSLState state_ = SSL_NONE;
  std::unique_ptr<OpenSSLIdentity> identity_;
  SSLRole role_ = SSL_CLIENT;
  bool ssl_read_needs_write_ = false;
  bool ssl_write_needs_read_ = false;
  bool restartable_ = false;
  Buffer pending_data_;
  SSL* ssl_ = nullptr;
  SSL_CTX* ssl_ctx_ = nullptr;
  std::string ssl_host_name_;
  SSLMode ssl_mode_ = SSL_MODE_TLS;
  bool ignore_bad_cert_ = false;
  std::vector<std::string> alpn_protocols_;
  std::vector<std::string> elliptic_curves_;
  bool custom_cert_verifier_status_ = false;
  // A close has been signalled for this connection; the wrapped socket's own close that
  // follows is not reported again.
  bool close_signalled_ = false;
  int close_error_ = 0;
  // The connect signal is on its way; socket events until then are held and delivered
  // after it.
  bool connect_signal_pending_ = false;
  bool held_read_ = false;
  bool held_write_ = false;
  bool read_signal_posted_ = false;
};

// Adapters from one factory share its context and its client session cache, so they must
// live on one thread.
class OpenSSLAdapterFactory final : public SSLAdapterFactory {
 public:
  OpenSSLAdapterFactory();
  ~OpenSSLAdapterFactory() override;

  void SetMode(SSLMode mode) override;
  void SetCertVerifier(SSLCertificateVerifier* ssl_cert_verifier) override;
  OpenSSLAdapter* CreateAdapter(AsyncSocket* socket) override;

 private:
  SSLMode ssl_mode_ = SSL_MODE_TLS;
  std::unique_ptr<OpenSSLSessionCache> ssl_session_cache_;
  SSLCertificateVerifier* ssl_cert_verifier_ = nullptr;
};

// Exposed for tests.
std::string TransformAlpnProtocols(const std::vector<std::string>& protos);

}  // namespace rtc

#endif  // RTC_BASE_TLS_OPENSSL_ADAPTER_H_
