#include "rtc_base/net/socket_address.h"

#include <arpa/inet.h>
#include <string.h>

#include <ostream>

#include "rtc_base/strings/string_builder.h"

namespace rtc {
namespace {

constexpr size_t kMaxPortDigits = 5;

// A port is 1 to 5 decimal digits up to 65535 and nothing else.
bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > kMaxPortDigits) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > 0xFFFF) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

size_t ToSockAddrStorageHelper(sockaddr_storage* addr, const IPAddress& ip, uint16_t port,
                               int scope_id) {
  memset(addr, 0, sizeof(sockaddr_storage));
  addr->ss_family = static_cast<sa_family_t>(ip.family());
  if (ip.family() == AF_INET) {
    sockaddr_in* saddr = reinterpret_cast<sockaddr_in*>(addr);
    saddr->sin_addr = ip.ipv4_address();
    saddr->sin_port = htons(port);
    return sizeof(sockaddr_in);
  }
  if (ip.family() == AF_INET6) {
    sockaddr_in6* saddr = reinterpret_cast<sockaddr_in6*>(addr);
    saddr->sin6_addr = ip.ipv6_address();
    saddr->sin6_port = htons(port);
    saddr->sin6_scope_id = static_cast<uint32_t>(scope_id);
    return sizeof(sockaddr_in6);
  }
  return 0;
}

}  // namespace

SocketAddress::SocketAddress() { Clear(); }

SocketAddress::SocketAddress(const std::string& hostname, int port) {
  SetIP(hostname);
  SetPort(port);
}

SocketAddress::SocketAddress(uint32_t ip_as_host_order_integer, int port) {
  SetIP(IPAddress(ip_as_host_order_integer));
  SetPort(port);
}

SocketAddress::SocketAddress(const IPAddress& ip, int port) {
  SetIP(ip);
  SetPort(port);
}

void SocketAddress::Clear() {
  hostname_.clear();
  literal_ = false;
  ip_ = IPAddress();
  port_ = 0;
  scope_id_ = 0;
}

bool SocketAddress::IsNil() const { return hostname_.empty() && IPIsUnspec(ip_) && port_ == 0; }

bool SocketAddress::IsComplete() const { return !IPIsAny(ip_) && port_ != 0; }

bool SocketAddress::SetIP(const std::string& hostname) {
  hostname_ = hostname;
  literal_ = IPFromString(hostname, &ip_);
  if (!literal_) ip_ = IPAddress();
  scope_id_ = 0;
  return literal_;
}

void SocketAddress::SetIP(uint32_t ip_as_host_order_integer) {
  SetIP(IPAddress(ip_as_host_order_integer));
}

void SocketAddress::SetIP(const IPAddress& ip) {
  hostname_.clear();
  literal_ = false;
  ip_ = ip;
  scope_id_ = 0;
}

void SocketAddress::SetResolvedIP(uint32_t ip_as_host_order_integer) {
  SetResolvedIP(IPAddress(ip_as_host_order_integer));
}

void SocketAddress::SetResolvedIP(const IPAddress& ip) {
  ip_ = ip;
  scope_id_ = 0;
}

void SocketAddress::SetPort(int port) {
  port_ = static_cast<uint16_t>(static_cast<unsigned>(port) & 0xFFFF);
}

uint32_t SocketAddress::ip() const { return ip_.v4AddressAsHostOrderInteger(); }

std::string SocketAddress::HostAsURIString() const {
  // A literal host name is shown as the canonical IP text.
  if (!literal_ && !hostname_.empty()) return hostname_;
  if (ip_.family() != AF_INET6) return ip_.ToString();
  StringBuilder sb;
  sb << '[' << ip_.ToString() << ']';
  return sb.Release();
}

std::string SocketAddress::HostAsSensitiveURIString() const {
  if (!literal_ && !hostname_.empty()) return hostname_;
  if (ip_.family() != AF_INET6) return ip_.ToSensitiveString();
  StringBuilder sb;
  sb << '[' << ip_.ToSensitiveString() << ']';
  return sb.Release();
}

std::string SocketAddress::PortAsString() const { return std::to_string(port_); }

// Names are not cut short: the text grows as needed.
std::string SocketAddress::ToString() const {
  StringBuilder sb;
  sb << HostAsURIString() << ':' << static_cast<unsigned>(port_);
  return sb.Release();
}

std::string SocketAddress::ToSensitiveString() const {
  StringBuilder sb;
  sb << HostAsSensitiveURIString() << ':' << static_cast<unsigned>(port_);
  return sb.Release();
}

bool SocketAddress::FromString(const std::string& str) {
  if (str.empty()) return false;
  std::string host;
  std::string port_text;
  if (str[0] == '[') {
    const size_t closebracket = str.rfind(']');
    if (closebracket == std::string::npos) return false;
    // The port follows the bracket directly.
    if (closebracket + 1 >= str.size() || str[closebracket + 1] != ':') {
      return false;
    }
    host = str.substr(1, closebracket - 1);
    port_text = str.substr(closebracket + 2);
  } else {
    const size_t colon = str.find(':');
    if (colon == std::string::npos) return false;
    // A second colon means an IPv6 text without brackets, whose port cannot
    // be told apart from its last group.
    if (str.find(':', colon + 1) != std::string::npos) return false;
    host = str.substr(0, colon);
    port_text = str.substr(colon + 1);
  }
  uint16_t port = 0;
  if (host.empty() || !ParsePort(port_text, &port)) return false;
  SetIP(host);
  SetPort(port);
  return true;
}

bool SocketAddress::IsAnyIP() const { return IPIsAny(ip_); }

bool SocketAddress::IsLoopbackIP() const {
  return IPIsLoopback(ip_) || (IPIsAny(ip_) && hostname_ == "localhost");
}

bool SocketAddress::IsPrivateIP() const { return IPIsPrivate(ip_); }

bool SocketAddress::IsUnresolvedIP() const {
  return IPIsUnspec(ip_) && !literal_ && !hostname_.empty();
}

bool SocketAddress::operator==(const SocketAddress& addr) const {
  return EqualIPs(addr) && EqualPorts(addr);
}

bool SocketAddress::operator<(const SocketAddress& addr) const {
  if (ip_ != addr.ip_) return ip_ < addr.ip_;
  // Any-addresses and unresolved names are told apart by their host names.
  if ((IPIsAny(ip_) || IPIsUnspec(ip_)) && hostname_ != addr.hostname_) {
    return hostname_ < addr.hostname_;
  }
  return port_ < addr.port_;
}

bool SocketAddress::EqualIPs(const SocketAddress& addr) const {
  return ip_ == addr.ip_ && ((!IPIsAny(ip_) && !IPIsUnspec(ip_)) || hostname_ == addr.hostname_);
}

bool SocketAddress::EqualPorts(const SocketAddress& addr) const { return port_ == addr.port_; }

size_t SocketAddress::Hash() const {
  size_t h = HashIP(ip_);
  h ^= port_ | (static_cast<size_t>(port_) << 16);
  return h;
}

void SocketAddress::ToSockAddr(sockaddr_in* saddr) const {
  memset(saddr, 0, sizeof(*saddr));
  if (ip_.family() != AF_INET) {
    saddr->sin_family = AF_UNSPEC;
    return;
  }
  saddr->sin_family = AF_INET;
  saddr->sin_port = htons(port_);
  if (IPIsAny(ip_)) {
    saddr->sin_addr.s_addr = INADDR_ANY;
  } else {
    saddr->sin_addr = ip_.ipv4_address();
  }
}

bool SocketAddress::FromSockAddr(const sockaddr_in& saddr) {
  if (saddr.sin_family != AF_INET) return false;
  SetIP(ntohl(saddr.sin_addr.s_addr));
  SetPort(ntohs(saddr.sin_port));
  return true;
}

size_t SocketAddress::ToSockAddrStorage(sockaddr_storage* saddr) const {
  return ToSockAddrStorageHelper(saddr, ip_, port_, scope_id_);
}

size_t SocketAddress::ToDualStackSockAddrStorage(sockaddr_storage* saddr) const {
  return ToSockAddrStorageHelper(saddr, ip_.AsIPv6Address(), port_, scope_id_);
}

bool SocketAddressFromSockAddrStorage(const sockaddr_storage& addr, SocketAddress* out) {
  if (!out) return false;
  if (addr.ss_family == AF_INET) {
    const sockaddr_in* saddr = reinterpret_cast<const sockaddr_in*>(&addr);
    *out = SocketAddress(IPAddress(saddr->sin_addr), ntohs(saddr->sin_port));
    return true;
  }
  if (addr.ss_family == AF_INET6) {
    const sockaddr_in6* saddr = reinterpret_cast<const sockaddr_in6*>(&addr);
    *out = SocketAddress(IPAddress(saddr->sin6_addr), ntohs(saddr->sin6_port));
    out->SetScopeID(static_cast<int>(saddr->sin6_scope_id));
    return true;
  }
  return false;
}

SocketAddress EmptySocketAddressWithFamily(int family) {
  if (family == AF_INET) return SocketAddress(IPAddress(INADDR_ANY), 0);
  if (family == AF_INET6) return SocketAddress(IPAddress(in6addr_any), 0);
  return SocketAddress();
}

std::ostream& operator<<(std::ostream& os, const SocketAddress& addr) {
  return os << addr.ToString();
}

}  // namespace rtc
