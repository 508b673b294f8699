// Small helpers around OpenSSL shared by the certificate and TLS code.
#ifndef RTC_BASE_TLS_OPENSSL_UTILITY_H_
#define RTC_BASE_TLS_OPENSSL_UTILITY_H_

#include <openssl/types.h>

#include <string>

namespace rtc {
namespace openssl {

// Empties this thread's OpenSSL error queue when it goes out of scope, so that errors a call
// left behind cannot be mistaken for those of a later one.
class ScopedErrorQueueClear {
 public:
  ScopedErrorQueueClear() = default;
  ~ScopedErrorQueueClear();
  ScopedErrorQueueClear(const ScopedErrorQueueClear&) = delete;
  ScopedErrorQueueClear& operator=(const ScopedErrorQueueClear&) = delete;
};

// The bytes written so far to a memory BIO.
std::string MemoryBioContents(BIO* bio);

// A read-only memory BIO over `text` that reports the end of the data as end of file.
BIO* NewReadOnlyMemoryBio(const std::string& text);

// True when the peer's certificate names `host`: a DNS name, or an IPv4 or IPv6 address
// literal, which is matched against the certificate's IP addresses. Logs why not.
bool VerifyPeerCertMatchesHost(SSL* ssl, const std::string& host);

// True for an IPv4 or IPv6 address literal.
bool IsIpLiteral(const std::string& host);

// Logs every error queued on this thread at error level as "<prefix>: <text>" and leaves the
// queue empty.
void LogSSLErrors(const std::string& prefix);

}  // namespace openssl
}  // namespace rtc

#endif  // RTC_BASE_TLS_OPENSSL_UTILITY_H_
