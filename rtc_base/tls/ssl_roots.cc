#include "rtc_base/tls/ssl_roots.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <utility>

#include "rtc_base/base/logging.h"
#include "rtc_base/base/mutex.h"
#include "rtc_base/tls/openssl_utility.h"

namespace rtc {
namespace {

struct RootState {
  Mutex mutex;
  // The list set by the application, unless the system bundle is used.
  bool use_system_bundle ABSL_GUARDED_BY(mutex) = true;
  std::vector<std::string> certificates ABSL_GUARDED_BY(mutex);
  // Built on first use from the list and shared by every context; null until then.
  X509_STORE* store ABSL_GUARDED_BY(mutex) = nullptr;
  int count ABSL_GUARDED_BY(mutex) = 0;
};

// Never destroyed: contexts on other threads may still hold the store at exit.
RootState& State() {
  static RootState* state = new RootState;
  return *state;
}

std::vector<std::string> ReadSystemBundle() {
  const char* path = getenv(X509_get_default_cert_file_env());
  if (path == nullptr || *path == '\0') path = X509_get_default_cert_file();
  std::vector<std::string> certificates;
  BIO* bio = BIO_new_file(path, "r");
  if (bio == nullptr) {
    RTC_LOG(LS_WARNING) << "No root certificate bundle at " << path;
    ERR_clear_error();
    return certificates;
  }
  while (X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    unsigned char* der = nullptr;
    int len = i2d_X509(x509, &der);
    if (len > 0) certificates.emplace_back(reinterpret_cast<char*>(der), len);
    OPENSSL_free(der);
    X509_free(x509);
  }
  BIO_free(bio);
  ERR_clear_error();  // The read that ends the loop leaves "no start line" behind.
  return certificates;
}

void BuildStore(RootState& state) ABSL_EXCLUSIVE_LOCKS_REQUIRED(state.mutex) {
  if (state.use_system_bundle) state.certificates = ReadSystemBundle();
  state.store = X509_STORE_new();
  state.count = 0;
  for (const std::string& der : state.certificates) {
    const unsigned char* data = reinterpret_cast<const unsigned char*>(der.data());
    X509* cert = d2i_X509(nullptr, &data, static_cast<long>(der.size()));  // NOLINT
    if (cert == nullptr) continue;
    if (X509_STORE_add_cert(state.store, cert)) {
      ++state.count;
    } else {
      RTC_LOG(LS_WARNING) << "Unable to add certificate.";
    }
    X509_free(cert);
  }
  ERR_clear_error();
}

void Replace(bool use_system_bundle, std::vector<std::string> certificates) {
  RootState& state = State();
  MutexLock lock(&state.mutex);
  state.use_system_bundle = use_system_bundle;
  state.certificates = std::move(certificates);
  // Contexts made before keep their reference to the old store.
  X509_STORE_free(state.store);
  state.store = nullptr;
}

}  // namespace

void SetSSLRootCertificates(std::vector<std::string> der_certificates) {
  Replace(false, std::move(der_certificates));
}

void UseSystemSSLRootCertificates() { Replace(true, {}); }

namespace openssl {

bool LoadBuiltinSSLRootCertificates(SSL_CTX* ctx) {
  RootState& state = State();
  MutexLock lock(&state.mutex);
  if (state.store == nullptr) BuildStore(state);
  if (state.count == 0) return false;
  SSL_CTX_set1_cert_store(ctx, state.store);
  return true;
}

}  // namespace openssl
}  // namespace rtc
