#include "rtc_base/net/net_helpers.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>

#include <algorithm>
#include <atomic>

namespace rtc {

namespace {

std::atomic<GetAddrInfoFunction> g_get_addr_info{&::getaddrinfo};
std::atomic<FreeAddrInfoFunction> g_free_addr_info{&::freeaddrinfo};

bool HasAddressOfFamily(int family) {
  struct ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return false;
  bool found = false;
  for (struct ifaddrs* cur = interfaces; cur != nullptr; cur = cur->ifa_next) {
    if (cur->ifa_addr != nullptr && cur->ifa_addr->sa_family == family) {
      found = true;
      break;
    }
  }
  freeifaddrs(interfaces);
  return found;
}

}  // namespace

const char* inet_ntop(int af, const void* src, char* dst, socklen_t size) {
  return ::inet_ntop(af, src, dst, size);
}

int inet_pton(int af, const char* src, void* dst) { return ::inet_pton(af, src, dst); }

bool HasIPv4Enabled() { return HasAddressOfFamily(AF_INET); }

bool HasIPv6Enabled() { return HasAddressOfFamily(AF_INET6); }

int ResolveHostname(const std::string& hostname, int family, std::vector<IPAddress>* addresses) {
  if (addresses == nullptr) return -1;
  addresses->clear();
  struct addrinfo hints = {};
  hints.ai_family = family;
  hints.ai_flags = AI_ADDRCONFIG;
  // One socket type, so that each address comes once rather than once per
  // type (stream, datagram, raw).
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* result = nullptr;
  int ret = g_get_addr_info.load()(hostname.c_str(), nullptr, &hints, &result);
  if (ret != 0) return ret;
  for (struct addrinfo* cur = result; cur != nullptr; cur = cur->ai_next) {
    if (family != AF_UNSPEC && cur->ai_family != family) continue;
    IPAddress ip;
    if (!IPFromAddrInfo(cur, &ip)) continue;
    // A hosts file may list an address twice.
    if (std::find(addresses->begin(), addresses->end(), ip) == addresses->end()) {
      addresses->push_back(ip);
    }
  }
  g_free_addr_info.load()(result);
  return 0;
}

void SetGetAddrInfoForTesting(GetAddrInfoFunction get_addr_info,
                              FreeAddrInfoFunction free_addr_info) {
  g_get_addr_info.store(get_addr_info ? get_addr_info : &::getaddrinfo);
  g_free_addr_info.store(free_addr_info ? free_addr_info : &::freeaddrinfo);
}

}  // namespace rtc
