#include "rtc_base/tls/openssl_adapter.h"

#include <errno.h>
#include <limits.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string.h>

#include <algorithm>
#include <utility>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/location.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/strings/string_encode.h"
#include "rtc_base/threads/thread.h"
#include "rtc_base/tls/openssl_certificate.h"
#include "rtc_base/tls/openssl_utility.h"
#include "rtc_base/tls/ssl_roots.h"

namespace rtc {

std::unique_ptr<SSLAdapterFactory> SSLAdapterFactory::Create() {
  return std::make_unique<OpenSSLAdapterFactory>();
}

SSLAdapter* SSLAdapter::Create(AsyncSocket* socket) { return new OpenSSLAdapter(socket); }

bool InitializeSSL() { return OpenSSLAdapter::InitializeSSL(); }

bool CleanupSSL() { return OpenSSLAdapter::CleanupSSL(); }

OpenSSLSessionCache::OpenSSLSessionCache(SSLMode ssl_mode, SSL_CTX* ssl_ctx)
    : ssl_mode_(ssl_mode), ssl_ctx_(ssl_ctx) {
  RTC_DCHECK(ssl_ctx_ != nullptr);
  SSL_CTX_up_ref(ssl_ctx_);
}

OpenSSLSessionCache::~OpenSSLSessionCache() {
  for (const auto& entry : sessions_) SSL_SESSION_free(entry.second);
  SSL_CTX_free(ssl_ctx_);
}

SSL_SESSION* OpenSSLSessionCache::LookupSession(const std::string& hostname) const {
  auto it = sessions_.find(hostname);
  return it != sessions_.end() ? it->second : nullptr;
}

void OpenSSLSessionCache::AddSession(const std::string& hostname, SSL_SESSION* new_session) {
  SSL_SESSION*& session = sessions_[hostname];
  // The same session again comes with one more reference, which the entry does not need.
  if (session != nullptr) SSL_SESSION_free(session);
  session = new_session;
}

namespace {

// The anonymous, null, 3DES, CAMELLIA and ARIA suites that OpenSSL's "ALL" would also admit
// are excluded at the end.
const char kCipherList[] =
    "ALL:!SHA256:!SHA384:!aPSK:!ECDSA+SHA1:!ADH:!LOW:!EXP:!MD5"
    ":!aNULL:!eNULL:!3DES:!CAMELLIA:!ARIA";
constexpr int kVerifyDepth = 4;
// OpenSSL cannot ask our BIO for the path MTU; without a link MTU it would use its minimum.
constexpr long kDtlsLinkMtu = 1200;  // NOLINT(runtime/int)

int ClampedLength(size_t cb) {
  return static_cast<int>(std::min(cb, static_cast<size_t>(INT_MAX)));
}

// The socket BIO: OpenSSL reads and writes the wrapped socket through it. It never closes or
// frees the socket.

int SocketWrite(BIO* b, const char* in, int inl) {
  if (in == nullptr) return -1;
  AsyncSocket* socket = static_cast<AsyncSocket*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  int result = socket->Send(in, inl);
  if (result > 0) return result;
  if (IsBlockingError(socket->GetError())) BIO_set_retry_write(b);
  return -1;
}

int SocketRead(BIO* b, char* out, int outl) {
  if (out == nullptr) return -1;
  AsyncSocket* socket = static_cast<AsyncSocket*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  int result = socket->Recv(out, outl, nullptr);
  if (result > 0) return result;
  if (IsBlockingError(socket->GetError())) BIO_set_retry_read(b);
  return -1;
}

int SocketPuts(BIO* b, const char* str) {
  size_t len = strlen(str);
  return len > static_cast<size_t>(INT_MAX) ? -1 : SocketWrite(b, str, static_cast<int>(len));
}

long SocketCtrl(BIO* b, int cmd, long /*num*/, void* /*ptr*/) {  // NOLINT(runtime/int)
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF: {
      AsyncSocket* socket = static_cast<AsyncSocket*>(BIO_get_data(b));
      return socket->GetState() == Socket::CS_CLOSED ? 1 : 0;
    }
    default:
      return 0;
  }
}

int SocketNew(BIO* b) {
  BIO_set_shutdown(b, 0);
  BIO_set_init(b, 1);
  BIO_set_data(b, nullptr);
  return 1;
}

int SocketFree(BIO* b) { return b != nullptr ? 1 : 0; }

// Made once per process and never freed.
BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket");
    RTC_CHECK(m != nullptr);
    BIO_meth_set_write(m, SocketWrite);
    BIO_meth_set_read(m, SocketRead);
    BIO_meth_set_puts(m, SocketPuts);
    BIO_meth_set_ctrl(m, SocketCtrl);
    BIO_meth_set_create(m, SocketNew);
    BIO_meth_set_destroy(m, SocketFree);
    return m;
  }();
  return method;
}

BIO* NewSocketBio(AsyncSocket* socket) {
  BIO* bio = BIO_new(SocketBioMethod());
  if (bio != nullptr) BIO_set_data(bio, socket);
  return bio;
}

// Logs the first queued error of the TLS library.
void LogSslError() {
  const char* file = nullptr;
  int line = 0;
  unsigned long err;  // NOLINT(runtime/int)
  while ((err = ERR_get_error_all(&file, &line, nullptr, nullptr, nullptr)) != 0) {
    if (ERR_GET_LIB(err) == ERR_LIB_SSL) {
      RTC_LOG(LS_ERROR) << "ERR_LIB_SSL: " << err << ", " << (file ? file : "?") << ":" << line;
      break;
    }
  }
}

void SSLInfoCallback(const SSL* s, int where, int ret) {
  if (LogMessage::IsNoop(LS_INFO)) return;
  const char* prefix = (where & SSL_ST_CONNECT)  ? "SSL_connect"
                       : (where & SSL_ST_ACCEPT) ? "SSL_accept"
                                                 : "undefined";
  if (where & SSL_CB_LOOP) {
    RTC_LOG(LS_INFO) << prefix << ":" << SSL_state_string_long(s);
  } else if (where & SSL_CB_ALERT) {
    RTC_LOG(LS_INFO) << "SSL3 alert " << ((where & SSL_CB_READ) ? "read" : "write") << ":"
                     << SSL_alert_type_string_long(ret) << ":" << SSL_alert_desc_string_long(ret);
  } else if ((where & SSL_CB_EXIT) && ret == 0) {
    RTC_LOG(LS_INFO) << prefix << ":failed in " << SSL_state_string_long(s);
  } else if ((where & SSL_CB_EXIT) && ret < 0) {
    RTC_LOG(LS_INFO) << prefix << ":error in " << SSL_state_string_long(s);
  }
}

std::string NameText(X509_NAME* name) {
  if (name == nullptr) return "(none)";
  char data[256];
  X509_NAME_oneline(name, data, sizeof(data));
  return data;
}

}  // namespace

std::string TransformAlpnProtocols(const std::vector<std::string>& protos) {
  std::string transformed;
  for (const std::string& proto : protos) {
    if (proto.empty() || proto.size() > 255) {
      RTC_LOG(LS_ERROR) << "OpenSSLAdapter::Error("
                        << "TransformAlpnProtocols received proto with size " << proto.size()
                        << ")";
      return "";
    }
    transformed += static_cast<char>(proto.size());
    transformed += proto;
    RTC_LOG(LS_VERBOSE) << "TransformAlpnProtocols: Adding proto: " << proto;
  }
  return transformed;
}

bool OpenSSLAdapter::InitializeSSL() {
  if (!OPENSSL_init_ssl(0, nullptr)) return false;
  RAND_poll();
  return true;
}

bool OpenSSLAdapter::CleanupSSL() { return true; }

OpenSSLAdapter::OpenSSLAdapter(AsyncSocket* socket, OpenSSLSessionCache* ssl_session_cache,
                               SSLCertificateVerifier* ssl_cert_verifier)
    : SSLAdapter(socket),
      ssl_session_cache_(ssl_session_cache),
      ssl_cert_verifier_(ssl_cert_verifier) {
  if (ssl_session_cache_ != nullptr) {
    ssl_mode_ = ssl_session_cache_->GetSSLMode();
    ssl_ctx_ = ssl_session_cache_->GetSSLContext();
    SSL_CTX_up_ref(ssl_ctx_);
  }
}

OpenSSLAdapter::~OpenSSLAdapter() { Cleanup(); }

void OpenSSLAdapter::SetIgnoreBadCert(bool ignore) { ignore_bad_cert_ = ignore; }

void OpenSSLAdapter::SetAlpnProtocols(const std::vector<std::string>& protos) {
  alpn_protocols_ = protos;
}

void OpenSSLAdapter::SetEllipticCurves(const std::vector<std::string>& curves) {
  elliptic_curves_ = curves;
}

void OpenSSLAdapter::SetMode(SSLMode mode) {
  RTC_DCHECK(state_ == SSL_NONE);
  ssl_mode_ = mode;
}

void OpenSSLAdapter::SetCertVerifier(SSLCertificateVerifier* ssl_cert_verifier) {
  RTC_DCHECK(ssl_ctx_ == nullptr || ssl_session_cache_ != nullptr);
  ssl_cert_verifier_ = ssl_cert_verifier;
}

void OpenSSLAdapter::SetIdentity(std::unique_ptr<SSLIdentity> identity) {
  identity_.reset(static_cast<OpenSSLIdentity*>(identity.release()));
}

void OpenSSLAdapter::SetRole(SSLRole role) { role_ = role; }

int OpenSSLAdapter::StartSSL(const char* hostname, bool restartable) {
  if (state_ != SSL_NONE) return -1;
  ssl_host_name_ = hostname != nullptr ? hostname : "";
  restartable_ = restartable;
  close_signalled_ = false;
  if (AsyncSocketAdapter::GetState() != Socket::CS_CONNECTED) {
    state_ = SSL_WAIT;
    return 0;
  }
  state_ = SSL_CONNECTING;
  if (int err = BeginSSL()) {
    HandshakeFailed("BeginSSL", err, false);
    return err;
  }
  return 0;
}

int OpenSSLAdapter::BeginSSL() {
  RTC_LOG(LS_INFO) << "OpenSSLAdapter::BeginSSL: " << ssl_host_name_;
  RTC_DCHECK(state_ == SSL_CONNECTING);

  if (ssl_session_cache_ != nullptr) {
    // A restart after Close takes the shared context again.
    if (ssl_ctx_ == nullptr) {
      ssl_ctx_ = ssl_session_cache_->GetSSLContext();
      SSL_CTX_up_ref(ssl_ctx_);
    }
  } else {
    ssl_ctx_ = CreateContext(ssl_mode_, false);
  }
  if (ssl_ctx_ == nullptr) return -1;

  BIO* bio = NewSocketBio(socket_.get());
  if (bio == nullptr) return -1;
  ssl_ = SSL_new(ssl_ctx_);
  // The identity on this connection only: the context may be shared with other adapters.
  if (ssl_ == nullptr || (identity_ && !identity_->ConfigureIdentity(ssl_))) {
    BIO_free(bio);
    return -1;
  }
  SSL_set_app_data(ssl_, this);
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

  if (!ssl_host_name_.empty()) {
    // Server names are host names; an address literal is never sent as one.
    if (!openssl::IsIpLiteral(ssl_host_name_)) {
      SSL_set_tlsext_host_name(ssl_, ssl_host_name_.c_str());
    }
    SSL_SESSION* cached =
        ssl_session_cache_ ? ssl_session_cache_->LookupSession(ssl_host_name_) : nullptr;
    if (cached != nullptr) {
      if (SSL_set_session(ssl_, cached) == 0) {
        RTC_LOG(LS_WARNING) << "Failed to apply SSL session from cache";
        BIO_free(bio);
        return -1;
      }
      RTC_LOG(LS_INFO) << "Attempting to resume SSL session to " << ssl_host_name_;
    }
  }

  // The stapled answer is requested but not read; OpenSSL has no switch that only requests
  // signed certificate timestamps, and nothing reads those either.
  if (role_ == SSL_CLIENT) SSL_set_tlsext_status_type(ssl_, TLSEXT_STATUSTYPE_ocsp);

  if (!alpn_protocols_.empty()) {
    std::string tls_alpn_string = TransformAlpnProtocols(alpn_protocols_);
    if (!tls_alpn_string.empty()) {
      SSL_set_alpn_protos(ssl_, reinterpret_cast<const unsigned char*>(tls_alpn_string.data()),
                          static_cast<unsigned int>(tls_alpn_string.size()));
    }
  }

  if (!elliptic_curves_.empty() &&
      !SSL_set1_groups_list(ssl_, join(elliptic_curves_, ':').c_str())) {
    // One unknown name refuses the whole list; OpenSSL's defaults stay.
    RTC_LOG(LS_WARNING) << "Elliptic curves not accepted: " << join(elliptic_curves_, ':');
    ERR_clear_error();
  }

  if (ssl_mode_ == SSL_MODE_DTLS) {
    SSL_set_options(ssl_, SSL_OP_NO_QUERY_MTU);
    DTLS_set_link_mtu(ssl_, kDtlsLinkMtu);
  }

  SSL_set_bio(ssl_, bio, bio);
  return ContinueSSL();
}

int OpenSSLAdapter::ContinueSSL() {
  Thread* thread = Thread::Current();
  if (thread != nullptr) thread->Clear(this, MSG_TIMEOUT);

  ERR_clear_error();
  int code = (role_ == SSL_CLIENT) ? SSL_connect(ssl_) : SSL_accept(ssl_);
  switch (SSL_get_error(ssl_, code)) {
    case SSL_ERROR_NONE:
      if (!SSLPostConnectionCheck(ssl_, ssl_host_name_)) {
        RTC_LOG(LS_ERROR) << "TLS post connection check failed";
        return -1;
      }
      state_ = SSL_CONNECTED;
      PostSignal(MSG_SIGNAL_CONNECT);
      break;

    case SSL_ERROR_WANT_READ: {
      RTC_LOG(LS_VERBOSE) << " -- error want read";
      struct timeval timeout;
      if (DTLSv1_get_timeout(ssl_, &timeout) && thread != nullptr) {
        int delay = static_cast<int>(timeout.tv_sec * 1000 + timeout.tv_usec / 1000);
        thread->PostDelayed(RTC_FROM_HERE, delay, this, MSG_TIMEOUT, nullptr);
      }
      break;
    }

    case SSL_ERROR_WANT_WRITE:
      break;

    default:
      RTC_LOG(LS_WARNING) << "ContinueSSL -- error " << code;
      LogSslError();
      return (code != 0) ? code : -1;
  }
  return 0;
}

void OpenSSLAdapter::HandshakeFailed(const char* context, int err, bool signal) {
  Cleanup();
  // The peer may have been refused: neither its bytes nor ours pass in the clear from now on.
  AsyncSocketAdapter::Close();
  Error(context, err, signal);
}

void OpenSSLAdapter::Error(const char* context, int err, bool signal) {
  RTC_LOG(LS_WARNING) << "OpenSSLAdapter::Error(" << context << ", " << err << ")";
  state_ = SSL_ERROR;
  SetError(err);
  if (signal) PostSignal(MSG_SIGNAL_CLOSE, err);
}

void OpenSSLAdapter::Cleanup() {
  RTC_LOG(LS_INFO) << "OpenSSLAdapter::Cleanup";
  if (state_ == SSL_CONNECTED && ssl_ != nullptr) {
    // Without a shutdown OpenSSL marks the session as not resumable. Non-blocking; what the
    // peer answers does not matter.
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }
  state_ = SSL_NONE;
  ssl_read_needs_write_ = false;
  ssl_write_needs_read_ = false;
  custom_cert_verifier_status_ = false;
  connect_signal_pending_ = false;
  held_read_ = false;
  held_write_ = false;
  pending_data_.Clear();
  if (ssl_ != nullptr) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (ssl_ctx_ != nullptr) {
    SSL_CTX_free(ssl_ctx_);
    ssl_ctx_ = nullptr;
  }
  identity_.reset();
  if (Thread* thread = Thread::Current()) thread->Clear(this, MSG_TIMEOUT);
}

void OpenSSLAdapter::PostSignal(uint32_t id, int err) {
  if (id == MSG_SIGNAL_CLOSE) {
    if (close_signalled_) return;
    close_signalled_ = true;
    close_error_ = err;
  } else if (id == MSG_SIGNAL_CONNECT) {
    connect_signal_pending_ = true;
  } else if (id == MSG_SIGNAL_READ) {
    if (read_signal_posted_) return;
    read_signal_posted_ = true;
  }
  Thread* thread = Thread::Current();
  if (thread == nullptr) {
    // Without a loop there is no later pass to wait for.
    Message msg;
    msg.phandler = this;
    msg.message_id = id;
    OnMessage(&msg);
    return;
  }
  thread->Post(RTC_FROM_HERE, this, id);
}

void OpenSSLAdapter::OnMessage(Message* msg) {
  switch (msg->message_id) {
    case MSG_TIMEOUT:
      if (state_ != SSL_CONNECTING || ssl_ == nullptr) break;
      RTC_LOG(LS_INFO) << "DTLS timeout expired";
      DTLSv1_handle_timeout(ssl_);
      // A handshake that fails here would otherwise never be reported.
      if (int err = ContinueSSL()) HandshakeFailed("ContinueSSL", err);
      break;
    case MSG_SIGNAL_CONNECT:
      if (!connect_signal_pending_) break;
      connect_signal_pending_ = false;
      // Posted before the signal, so that a handler that deletes the adapter takes them along.
      if (held_read_) PostSignal(MSG_SIGNAL_READ);
      if (held_write_) PostSignal(MSG_SIGNAL_WRITE);
      held_read_ = held_write_ = false;
      AsyncSocketAdapter::OnConnectEvent(this);
      break;
    case MSG_SIGNAL_CLOSE:
      AsyncSocketAdapter::OnCloseEvent(this, close_error_);
      break;
    case MSG_SIGNAL_READ:
      read_signal_posted_ = false;
      if (state_ == SSL_CONNECTED) AsyncSocketAdapter::OnReadEvent(this);
      break;
    case MSG_SIGNAL_WRITE:
      if (state_ == SSL_CONNECTED) AsyncSocketAdapter::OnWriteEvent(this);
      break;
  }
}

bool OpenSSLAdapter::SSLPostConnectionCheck(SSL* ssl, const std::string& host) {
  // A server does not know which name its client meant.
  bool is_valid_cert_name = role_ == SSL_SERVER || openssl::VerifyPeerCertMatchesHost(ssl, host);
  // Only verified sessions are cached, so a resumed one needs no new verification (OpenSSL
  // does not call the verify callback on resumption).
  bool verified = SSL_get_verify_result(ssl) == X509_V_OK || custom_cert_verifier_status_ ||
                  (role_ == SSL_CLIENT && SSL_session_reused(ssl) == 1);
  bool ok = is_valid_cert_name && verified;
  if (!ok && ignore_bad_cert_) {
    RTC_LOG(LS_WARNING) << "Other TLS post connection checks failed. ignore_bad_cert_ set to "
                           "true. Overriding name verification failure!";
    ok = true;
  }
  return ok;
}

int OpenSSLAdapter::DoSslWrite(const void* pv, size_t cb, int* error) {
  ssl_write_needs_read_ = false;
  ERR_clear_error();
  int ret = SSL_write(ssl_, pv, ClampedLength(cb));
  *error = SSL_get_error(ssl_, ret);
  switch (*error) {
    case SSL_ERROR_NONE:
      return ret;
    case SSL_ERROR_WANT_READ:
      RTC_LOG(LS_INFO) << " -- error want read";
      ssl_write_needs_read_ = true;
      SetError(EWOULDBLOCK);
      break;
    case SSL_ERROR_WANT_WRITE:
      RTC_LOG(LS_INFO) << " -- error want write";
      SetError(EWOULDBLOCK);
      break;
    case SSL_ERROR_ZERO_RETURN:
      SetError(EWOULDBLOCK);
      break;
    case SSL_ERROR_SSL:
      LogSslError();
      Error("SSL_write", ret ? ret : -1, false);
      break;
    default:
      Error("SSL_write", ret ? ret : -1, false);
      break;
  }
  return -1;
}

bool OpenSSLAdapter::FlushPendingData() {
  while (!pending_data_.empty()) {
    int error = SSL_ERROR_NONE;
    int written = DoSslWrite(pending_data_.data(), pending_data_.size(), &error);
    if (written <= 0) return false;
    // With partial writes OpenSSL may take only some records; those must not go out again.
    const size_t left = pending_data_.size() - std::min(pending_data_.size(), size_t(written));
    memmove(pending_data_.data(), pending_data_.data() + written, left);
    pending_data_.SetSize(left);
  }
  return true;
}

int OpenSSLAdapter::Send(const void* pv, size_t cb) {
  switch (state_) {
    case SSL_NONE:
      return AsyncSocketAdapter::Send(pv, cb);
    case SSL_WAIT:
    case SSL_CONNECTING:
      SetError(ENOTCONN);
      return -1;
    case SSL_CONNECTED:
      break;
    case SSL_ERROR:
    default:
      return -1;
  }

  if (!pending_data_.empty() && !FlushPendingData()) {
    if (state_ == SSL_CONNECTED) SetError(EWOULDBLOCK);
    return -1;
  }
  if (cb == 0) return 0;

  int error = SSL_ERROR_NONE;
  int ret = DoSslWrite(pv, cb, &error);
  if (ret <= 0 && (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)) {
    // OpenSSL wants the same bytes again on the retry, so they are kept here and the caller
    // counts them as sent.
    RTC_LOG(LS_WARNING) << "SSL_write couldn't write to the underlying socket; buffering data.";
    const int length = ClampedLength(cb);
    pending_data_.SetData(static_cast<const uint8_t*>(pv), static_cast<size_t>(length));
    return length;
  }
  return ret;
}

int OpenSSLAdapter::SendTo(const void* pv, size_t cb, const SocketAddress& addr) {
  if (socket_ && socket_->GetState() == Socket::CS_CONNECTED &&
      addr == socket_->GetRemoteAddress()) {
    return Send(pv, cb);
  }
  SetError(ENOTCONN);
  return -1;
}

int OpenSSLAdapter::Recv(void* pv, size_t cb, int64_t* timestamp) {
  switch (state_) {
    case SSL_NONE:
      return AsyncSocketAdapter::Recv(pv, cb, timestamp);
    case SSL_WAIT:
    case SSL_CONNECTING:
      SetError(ENOTCONN);
      return -1;
    case SSL_CONNECTED:
      break;
    case SSL_ERROR:
    default:
      return -1;
  }
  if (cb == 0) return 0;

  ssl_read_needs_write_ = false;
  ERR_clear_error();
  int code = SSL_read(ssl_, pv, ClampedLength(cb));
  switch (SSL_get_error(ssl_, code)) {
    case SSL_ERROR_NONE:
      // Decrypted bytes OpenSSL still holds bring no socket event of their own.
      if (SSL_pending(ssl_) > 0) PostSignal(MSG_SIGNAL_READ);
      return code;
    case SSL_ERROR_WANT_READ:
      SetError(EWOULDBLOCK);
      break;
    case SSL_ERROR_WANT_WRITE:
      ssl_read_needs_write_ = true;
      SetError(EWOULDBLOCK);
      break;
    case SSL_ERROR_ZERO_RETURN:
      // The peer's close_notify: like the end of a plain stream, reported as a close.
      SetError(EWOULDBLOCK);
      PostSignal(MSG_SIGNAL_CLOSE, 0);
      break;
    case SSL_ERROR_SSL:
      LogSslError();
      Error("SSL_read", (code != 0) ? code : -1);
      break;
    default:
      Error("SSL_read", (code != 0) ? code : -1);
      break;
  }
  return -1;
}

int OpenSSLAdapter::RecvFrom(void* pv, size_t cb, SocketAddress* paddr, int64_t* timestamp) {
  if (socket_ && socket_->GetState() == Socket::CS_CONNECTED) {
    int ret = Recv(pv, cb, timestamp);
    if (paddr) *paddr = GetRemoteAddress();
    return ret;
  }
  SetError(ENOTCONN);
  return -1;
}

AsyncSocket* OpenSSLAdapter::Accept(SocketAddress* paddr) {
  AsyncSocket* socket = AsyncSocketAdapter::Accept(paddr);
  if (socket == nullptr) return nullptr;
  if (!identity_) {
    // A server needs a certificate; the connection is refused rather than left hanging.
    RTC_LOG(LS_ERROR) << "OpenSSLAdapter::Accept: no identity to serve with";
    delete socket;
    SetError(EINVAL);
    return nullptr;
  }
  SSLAdapter* adapter = SSLAdapter::Create(socket);
  adapter->SetIdentity(identity_->GetReference());
  adapter->SetRole(SSL_SERVER);
  adapter->SetIgnoreBadCert(ignore_bad_cert_);
  adapter->StartSSL("", false);
  return adapter;
}

int OpenSSLAdapter::Close() {
  Cleanup();
  state_ = restartable_ ? SSL_WAIT : SSL_NONE;
  // The owner hears nothing more of this connection.
  if (Thread* thread = Thread::Current()) thread->Clear(this);
  read_signal_posted_ = false;
  close_signalled_ = false;
  return AsyncSocketAdapter::Close();
}

Socket::ConnState OpenSSLAdapter::GetState() const {
  ConnState state = AsyncSocketAdapter::GetState();
  // Connected only from the connect signal on, which comes after the handshake.
  if (state == CS_CONNECTED &&
      (state_ == SSL_WAIT || state_ == SSL_CONNECTING || connect_signal_pending_)) {
    state = CS_CONNECTING;
  }
  return state;
}

bool OpenSSLAdapter::IsResumedSession() { return ssl_ != nullptr && SSL_session_reused(ssl_) == 1; }

void OpenSSLAdapter::OnConnectEvent(AsyncSocket* socket) {
  RTC_LOG(LS_INFO) << "OpenSSLAdapter::OnConnectEvent";
  if (state_ != SSL_WAIT) {
    AsyncSocketAdapter::OnConnectEvent(socket);
    return;
  }
  state_ = SSL_CONNECTING;
  close_signalled_ = false;
  if (int err = BeginSSL()) HandshakeFailed("BeginSSL", err);
}

bool OpenSSLAdapter::ReachesConnectedPath(AsyncSocket* socket, bool read) {
  switch (state_) {
    case SSL_NONE:
      if (read) {
        AsyncSocketAdapter::OnReadEvent(socket);
      } else {
        AsyncSocketAdapter::OnWriteEvent(socket);
      }
      return false;
    case SSL_CONNECTING:
      if (int err = ContinueSSL()) HandshakeFailed("ContinueSSL", err);
      return false;
    case SSL_CONNECTED:
      break;
    default:
      return false;
  }
  if (connect_signal_pending_) {
    (read ? held_read_ : held_write_) = true;
    return false;
  }
  return true;
}

void OpenSSLAdapter::OnReadEvent(AsyncSocket* socket) {
  if (!ReachesConnectedPath(socket, true)) return;
  if (ssl_write_needs_read_) AsyncSocketAdapter::OnWriteEvent(socket);
  AsyncSocketAdapter::OnReadEvent(socket);
}

void OpenSSLAdapter::OnWriteEvent(AsyncSocket* socket) {
  if (!ReachesConnectedPath(socket, false)) return;
  if (ssl_read_needs_write_) AsyncSocketAdapter::OnReadEvent(socket);
  // The owner may write again once the bytes it was told were sent have gone out.
  if (!pending_data_.empty() && !FlushPendingData()) return;
  AsyncSocketAdapter::OnWriteEvent(socket);
}

void OpenSSLAdapter::OnCloseEvent(AsyncSocket* socket, int err) {
  RTC_LOG(LS_INFO) << "OpenSSLAdapter::OnCloseEvent(" << err << ")";
  if (state_ == SSL_NONE) {
    AsyncSocketAdapter::OnCloseEvent(socket, err);
    return;
  }
  // A peer that hangs up in the middle of the handshake has not closed a TLS connection in
  // order; the owner must not read that as a clean end.
  if (state_ == SSL_CONNECTING && err == 0) err = ECONNRESET;
  // Behind any connect signal still on its way, and only once per connection.
  PostSignal(MSG_SIGNAL_CLOSE, err);
}

int OpenSSLAdapter::SSLVerifyCallback(int ok, X509_STORE_CTX* store) {
  if (!ok && !LogMessage::IsNoop(LS_INFO)) {
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    const int err = X509_STORE_CTX_get_error(store);
    RTC_LOG(LS_INFO) << "Error with certificate at depth: "
                     << X509_STORE_CTX_get_error_depth(store);
    RTC_LOG(LS_INFO) << "  issuer  = " << NameText(cert ? X509_get_issuer_name(cert) : nullptr);
    RTC_LOG(LS_INFO) << "  subject = " << NameText(cert ? X509_get_subject_name(cert) : nullptr);
    RTC_LOG(LS_INFO) << "  err     = " << err << ":" << X509_verify_cert_error_string(err);
  }

  SSL* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  OpenSSLAdapter* stream = static_cast<OpenSSLAdapter*>(SSL_get_app_data(ssl));
  if (ok) return ok;

  if (stream->ssl_cert_verifier_ != nullptr) {
    RTC_LOG(LS_INFO) << "Invoking SSL Verify Callback.";
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    if (cert != nullptr) {
      const OpenSSLCertificate certificate(cert);
      if (stream->ssl_cert_verifier_->Verify(certificate)) {
        stream->custom_cert_verifier_status_ = true;
        RTC_LOG(LS_INFO) << "Validated certificate using custom callback";
        return 1;
      }
    }
    RTC_LOG(LS_INFO) << "Failed to verify certificate using custom callback";
  }

  if (stream->ignore_bad_cert_) {
    RTC_LOG(LS_WARNING) << "Ignoring cert error while verifying cert chain";
    return 1;
  }
  return 0;
}

int OpenSSLAdapter::NewSSLSessionCallback(SSL* ssl, SSL_SESSION* session) {
  OpenSSLAdapter* stream = static_cast<OpenSSLAdapter*>(SSL_get_app_data(ssl));
  if (stream == nullptr || stream->ssl_session_cache_ == nullptr ||
      stream->ssl_host_name_.empty()) {
    return 0;
  }
  // Resuming skips verification, so only sessions whose peer was verified are kept.
  const bool verified = SSL_get_verify_result(ssl) == X509_V_OK ||
                        stream->custom_cert_verifier_status_ || SSL_session_reused(ssl) == 1;
  if (!verified) return 0;
  RTC_LOG(LS_INFO) << "Caching SSL session for " << stream->ssl_host_name_;
  stream->ssl_session_cache_->AddSession(stream->ssl_host_name_, session);
  return 1;
}

SSL_CTX* OpenSSLAdapter::CreateContext(SSLMode mode, bool enable_cache) {
  SSL_CTX* ctx = SSL_CTX_new(mode == SSL_MODE_DTLS ? DTLS_method() : TLS_method());
  if (ctx == nullptr) {
    unsigned long error = ERR_get_error();  // NOLINT(runtime/int)
    const char* reason = ERR_reason_error_string(error);
    RTC_LOG(LS_WARNING) << "SSL_CTX creation failed: \"" << (reason ? reason : "unknown")
                        << "\" (error=" << error << ")";
    ERR_clear_error();
    return nullptr;
  }
  if (!openssl::LoadBuiltinSSLRootCertificates(ctx)) {
    RTC_LOG(LS_ERROR) << "SSL_CTX creation failed: Failed to load any trusted ssl root "
                         "certificates.";
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_info_callback(ctx, SSLInfoCallback);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, SSLVerifyCallback);
  SSL_CTX_set_verify_depth(ctx, kVerifyDepth);
  SSL_CTX_set_cipher_list(ctx, kCipherList);
  if (mode == SSL_MODE_DTLS) SSL_CTX_set_read_ahead(ctx, 1);
  if (enable_cache) {
    // OpenSSL's own store would only duplicate the cache's.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, NewSSLSessionCallback);
  }
  return ctx;
}

OpenSSLAdapterFactory::OpenSSLAdapterFactory() = default;
OpenSSLAdapterFactory::~OpenSSLAdapterFactory() = default;

void OpenSSLAdapterFactory::SetMode(SSLMode mode) { ssl_mode_ = mode; }

void OpenSSLAdapterFactory::SetCertVerifier(SSLCertificateVerifier* ssl_cert_verifier) {
  ssl_cert_verifier_ = ssl_cert_verifier;
}

OpenSSLAdapter* OpenSSLAdapterFactory::CreateAdapter(AsyncSocket* socket) {
  if (!ssl_session_cache_) {
    SSL_CTX* ssl_ctx = OpenSSLAdapter::CreateContext(ssl_mode_, true);
    if (ssl_ctx == nullptr) {
      delete socket;
      return nullptr;
    }
    ssl_session_cache_ = std::make_unique<OpenSSLSessionCache>(ssl_mode_, ssl_ctx);
    SSL_CTX_free(ssl_ctx);
  }
  return new OpenSSLAdapter(socket, ssl_session_cache_.get(), ssl_cert_verifier_);
}

}  // namespace rtc
