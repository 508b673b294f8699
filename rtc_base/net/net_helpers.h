// Host name resolution and small network helpers over the platform's
// getaddrinfo, getifaddrs and inet_* functions.
#ifndef RTC_BASE_NET_NET_HELPERS_H_
#define RTC_BASE_NET_NET_HELPERS_H_

#include <netdb.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "rtc_base/net/ip_address.h"

namespace rtc {

const char* inet_ntop(int af, const void* src, char* dst, socklen_t size);
int inet_pton(int af, const char* src, void* dst);

// True when some interface has an IPv4 (IPv6) address; false when the
// interfaces cannot be listed.
bool HasIPv4Enabled();
bool HasIPv6Enabled();

// Resolves `hostname` to the addresses of `family` (AF_UNSPEC: every family)
// in the order getaddrinfo gives them, each address once. Only families the
// host has configured are returned (AI_ADDRCONFIG). Returns 0, the non-zero
// getaddrinfo code (glibc's codes are negative; EAI_SYSTEM leaves errno),
// or -1 for a null list. The list is cleared first.
int ResolveHostname(const std::string& hostname, int family, std::vector<IPAddress>* addresses);

// The getaddrinfo that ResolveHostname calls; tests put a fake in its place
// to control the answers without a name server. Null restores the
// platform's. Not thread-safe against running resolutions.
using GetAddrInfoFunction = int (*)(const char* node, const char* service,
                                    const struct addrinfo* hints, struct addrinfo** result);
using FreeAddrInfoFunction = void (*)(struct addrinfo* result);
void SetGetAddrInfoForTesting(GetAddrInfoFunction get_addr_info,
                              FreeAddrInfoFunction free_addr_info);

}  // namespace rtc

#endif  // RTC_BASE_NET_NET_HELPERS_H_
