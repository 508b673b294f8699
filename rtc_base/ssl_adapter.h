// TLS or DTLS over any asynchronous socket, and a factory whose adapters share one context and
// one client session cache.
#ifndef RTC_BASE_SSL_ADAPTER_H_
#define RTC_BASE_SSL_ADAPTER_H_

#include <memory>
#include <string>
#include <vector>

#include "rtc_base/async_socket.h"
#include "rtc_base/ssl_certificate.h"
#include "rtc_base/ssl_identity.h"

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

}  // namespace rtc

#endif  // RTC_BASE_SSL_ADAPTER_H_
