#include "core/x_tcp_client.h"

// Until the runtime's resolver is built in, host names cannot be resolved; literal addresses
// connect directly.
rtc::AsyncResolverInterface* XTcpClient::DefaultResolver() { return nullptr; }
