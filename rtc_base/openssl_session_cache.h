#ifndef RTC_BASE_OPENSSL_SESSION_CACHE_H_
#define RTC_BASE_OPENSSL_SESSION_CACHE_H_

#include <openssl/ssl.h>

#include <map>
#include <string>

#include "rtc_base/ssl_adapter.h"

namespace rtc {

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

}  // namespace rtc

#endif  // RTC_BASE_OPENSSL_SESSION_CACHE_H_
