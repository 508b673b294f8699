// The root certificates TLS clients trust. By default the system bundle (the file OpenSSL
// names, or $SSL_CERT_FILE), read once per process into one store that every TLS context
// shares; an embedding application or a test may put its own list in its place.
#ifndef RTC_BASE_TLS_SSL_ROOTS_H_
#define RTC_BASE_TLS_SSL_ROOTS_H_

#include <openssl/types.h>

#include <string>
#include <vector>

namespace rtc {

// Replaces the trusted roots with these DER certificates, for contexts made from now on.
// Entries that do not parse are skipped. Any thread.
void SetSSLRootCertificates(std::vector<std::string> der_certificates);
// Goes back to the system bundle.
void UseSystemSSLRootCertificates();

namespace openssl {

// Gives `ctx` the shared store of trusted roots. False, with nothing attached, when the
// store holds no certificate.
bool LoadBuiltinSSLRootCertificates(SSL_CTX* ctx);

}  // namespace openssl
}  // namespace rtc

#endif  // RTC_BASE_TLS_SSL_ROOTS_H_
