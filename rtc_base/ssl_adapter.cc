#include "rtc_base/ssl_adapter.h"

#include "rtc_base/openssl_adapter.h"

namespace rtc {

std::unique_ptr<SSLAdapterFactory> SSLAdapterFactory::Create() {
  return std::make_unique<OpenSSLAdapterFactory>();
}

SSLAdapter* SSLAdapter::Create(AsyncSocket* socket) {
  return new OpenSSLAdapter(socket);
}

bool InitializeSSL() {
  return OpenSSLAdapter::InitializeSSL();
}

bool CleanupSSL() {
  return OpenSSLAdapter::CleanupSSL();
}

}  // namespace rtc
