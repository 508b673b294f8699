#ifndef RTC_BASE_NET_SOCKET_ADDRESS_H_
#define RTC_BASE_NET_SOCKET_ADDRESS_H_

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include <iosfwd>
#include <string>

#include "rtc_base/net/ip_address.h"

namespace rtc {

// A host name and/or a numeric IP address, with a port and an IPv6 scope id.
// A name that is not resolved yet has the unspecified IP.
class SocketAddress {
 public:
  SocketAddress();
  // The host text may be a numeric address or a name (see SetIP).
  SocketAddress(const std::string& hostname, int port);
  SocketAddress(uint32_t ip_as_host_order_integer, int port);
  SocketAddress(const IPAddress& ip, int port);
  SocketAddress(const SocketAddress& addr) = default;
  SocketAddress& operator=(const SocketAddress& addr) = default;

  void Clear();

  // Empty name, unspecified IP and port 0.
  bool IsNil() const;
  // The IP is not an any-address and the port is set. An unresolved name
  // counts as complete.
  bool IsComplete() const;

  // Sets the host name; a numeric text also sets the IP, anything else leaves
  // the IP unspecified. Returns whether the text was numeric.
  bool SetIP(const std::string& hostname);
  // These clear the host name.
  void SetIP(uint32_t ip_as_host_order_integer);
  void SetIP(const IPAddress& ip);
  // These keep the host name, for the result of a name resolution.
  void SetResolvedIP(uint32_t ip_as_host_order_integer);
  void SetResolvedIP(const IPAddress& ip);
  // Keeps the low 16 bits. Callers that take a port from outside check its
  // range first.
  void SetPort(int port);

  const std::string& hostname() const { return hostname_; }
  // The IPv4 address in host byte order; 0 for other families.
  uint32_t ip() const;
  const IPAddress& ipaddr() const { return ip_; }
  int family() const { return ip_.family(); }
  uint16_t port() const { return port_; }
  int scope_id() const { return scope_id_; }
  void SetScopeID(int id) { scope_id_ = id; }
  bool literal() const { return literal_; }

  // The host name, unless it is empty or numeric; else the IP text, IPv6 in
  // brackets.
  std::string HostAsURIString() const;
  std::string HostAsSensitiveURIString() const;
  std::string PortAsString() const;
  // "host:port", with an IPv6 host in brackets.
  std::string ToString() const;
  std::string ToSensitiveString() const;

  // Parses "host:port", "a.b.c.d:port" or "[ipv6]:port". The port must be 1
  // to 5 decimal digits up to 65535 and end the text. On false the address
  // is unchanged.
  bool FromString(const std::string& str);

  bool IsAnyIP() const;
  // A loopback IP, or an any-address named exactly "localhost".
  bool IsLoopbackIP() const;
  bool IsPrivateIP() const;
  // A host name whose IP is not known yet.
  bool IsUnresolvedIP() const;

  bool operator==(const SocketAddress& addr) const;
  bool operator!=(const SocketAddress& addr) const { return !(*this == addr); }
  bool operator<(const SocketAddress& addr) const;

  // Equal IPs; for any-addresses and unresolved names also equal host names.
  bool EqualIPs(const SocketAddress& addr) const;
  bool EqualPorts(const SocketAddress& addr) const;

  size_t Hash() const;

  // IPv4 only; other families give a zeroed structure with family AF_UNSPEC.
  void ToSockAddr(sockaddr_in* saddr) const;
  bool FromSockAddr(const sockaddr_in& saddr);
  // Fills the storage and returns the length used: 16 for IPv4, 28 for IPv6
  // (with the scope id), 0 for other families.
  size_t ToSockAddrStorage(sockaddr_storage* saddr) const;
  // The same with an IPv4 address written as ::ffff:a.b.c.d, for sockets
  // that take both families.
  size_t ToDualStackSockAddrStorage(sockaddr_storage* saddr) const;

 private:
  std::string hostname_;
  IPAddress ip_;
  uint16_t port_;
  int scope_id_;
  bool literal_;  // The host name is the text of a numeric address.
};

// Converts a storage filled by the kernel; false for a null out or a family
// other than IPv4 and IPv6. The IPv6 scope id is kept.
bool SocketAddressFromSockAddrStorage(const sockaddr_storage& saddr, SocketAddress* out);
// The any-address of the family with port 0; the nil address for others.
SocketAddress EmptySocketAddressWithFamily(int family);

std::ostream& operator<<(std::ostream& os, const SocketAddress& addr);

}  // namespace rtc

#endif  // RTC_BASE_NET_SOCKET_ADDRESS_H_
