#include "rtc_base/tls/openssl_utility.h"

#include <arpa/inet.h>
#include <limits.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "rtc_base/base/logging.h"

namespace rtc {
namespace openssl {

ScopedErrorQueueClear::~ScopedErrorQueueClear() { ERR_clear_error(); }

std::string MemoryBioContents(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);  // NOLINT(runtime/int)
  return size > 0 ? std::string(data, size) : std::string();
}

BIO* NewReadOnlyMemoryBio(const std::string& text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  if (bio) BIO_set_mem_eof_return(bio, 0);
  return bio;
}

bool IsIpLiteral(const std::string& host) {
  unsigned char addr[16];
  return inet_pton(AF_INET, host.c_str(), addr) == 1 ||
         inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

bool VerifyPeerCertMatchesHost(SSL* ssl, const std::string& host) {
  if (host.empty()) {
    RTC_LOG(LS_ERROR) << "Hostname is empty. Cannot verify peer certificate.";
    return false;
  }
  if (ssl == nullptr) {
    RTC_LOG(LS_ERROR) << "SSL is nullptr. Cannot verify peer certificate.";
    return false;
  }
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (certificate == nullptr) {
    RTC_LOG(LS_ERROR) << "SSL_get_peer_certificate failed. This should never happen.";
    return false;
  }
  // OpenSSL's host check never matches an address; addresses have their own.
  int result = IsIpLiteral(host)
                   ? X509_check_ip_asc(certificate, host.c_str(), 0)
                   : X509_check_host(certificate, host.c_str(), host.size(), 0, nullptr);
  X509_free(certificate);
  ERR_clear_error();
  return result == 1;
}

void LogSSLErrors(const std::string& prefix) {
  char error_buf[200];
  unsigned long err;  // NOLINT(runtime/int)
  while ((err = ERR_get_error()) != 0) {
    ERR_error_string_n(err, error_buf, sizeof(error_buf));
    RTC_LOG(LS_ERROR) << prefix << ": " << error_buf << "\n";
  }
}

}  // namespace openssl
}  // namespace rtc
