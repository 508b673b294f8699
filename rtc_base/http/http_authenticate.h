// Answers to proxy authentication challenges (Basic and Digest with MD5), and the check of
// such an answer on the proxy's side.
#ifndef RTC_BASE_HTTP_HTTP_AUTHENTICATE_H_
#define RTC_BASE_HTTP_HTTP_AUTHENTICATE_H_

#include <stddef.h>

#include <memory>
#include <string>

#include "rtc_base/net/socket_address.h"
#include "rtc_base/strings/crypt_string.h"

namespace rtc {

// What a proxy authentication answer needs to carry from one challenge to the next.
class HttpAuthContext {
 public:
  explicit HttpAuthContext(const std::string& auth) : auth_method(auth) {}
  virtual ~HttpAuthContext() = default;
  // The scheme as the challenge spelled it.
  std::string auth_method;
};

enum HttpAuthResult {
  HAR_RESPONSE,     // an answer was produced
  HAR_IGNORE,       // the scheme is not handled, or is not the one in use
  HAR_CREDENTIALS,  // the earlier answer was refused, or there is no user name
  HAR_ERROR,
};

// Answers the challenge (the text after "Proxy-Authenticate:") for a request of `method` on
// `uri`. The context remembers the scheme answered, so that a second challenge of the same
// scheme gives HAR_CREDENTIALS rather than a loop. The scheme found is returned in
// `auth_method` whatever the result.
HttpAuthResult HttpAuthenticate(const char* challenge, size_t len, const SocketAddress& server,
                                const std::string& method, const std::string& uri,
                                const std::string& username, const CryptString& password,
                                std::unique_ptr<HttpAuthContext>* context, std::string* response,
                                std::string* auth_method);

// Checks an answer (the text after "Proxy-Authorization:") against the known credentials, as
// a proxy would: HAR_RESPONSE when it matches, HAR_CREDENTIALS otherwise. The Digest nonce
// answered is returned in `nonce`.
HttpAuthResult HttpAuthorization(const char* header, size_t len, const std::string& method,
                                 std::string* nonce, const std::string& username,
                                 const CryptString& password);

// Puts a fixed Digest client nonce in place of random ones (null goes back to random), so
// that published examples can be reproduced.
void SetDigestCnonceForTesting(const char* cnonce);

}  // namespace rtc

#endif  // RTC_BASE_HTTP_HTTP_AUTHENTICATE_H_
