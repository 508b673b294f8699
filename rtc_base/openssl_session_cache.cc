#include "rtc_base/openssl_session_cache.h"

#include <openssl/ssl.h>

#include "rtc_base/checks.h"

namespace rtc {

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

}  // namespace rtc
