#include "core/x_tcp_client.h"
#include "rtc_base/net/async_resolver.h"

namespace vy {

// getaddrinfo on a worker job, reporting back on the client's thread.
rtc::AsyncResolverInterface* XTcpClient::DefaultResolver() { return new rtc::AsyncResolver(); }

}  // namespace vy
