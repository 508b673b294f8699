#ifndef RTC_BASE_NET_IP_ADDRESS_H_
#define RTC_BASE_NET_IP_ADDRESS_H_

#include <netdb.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include <iosfwd>
#include <string>

namespace rtc {

// Flags of an IPv6 interface address, as the kernel reports them.
enum IPv6AddressFlag {
  IPV6_ADDRESS_FLAG_NONE = 0x00,
  IPV6_ADDRESS_FLAG_TEMPORARY = 1 << 0,
  IPV6_ADDRESS_FLAG_DEPRECATED = 1 << 1,
};

// A numeric IPv4 or IPv6 address, or the unspecified address (family
// AF_UNSPEC). The address is kept in network byte order; an IPv4 address uses
// the first four of the sixteen bytes and leaves the rest zero.
class IPAddress {
 public:
  IPAddress() : family_(AF_UNSPEC) { u_.ip6 = in6_addr{}; }
  explicit IPAddress(const in_addr& ip4) : family_(AF_INET) {
    u_.ip6 = in6_addr{};
    u_.ip4 = ip4;
  }
  explicit IPAddress(const in6_addr& ip6) : family_(AF_INET6) { u_.ip6 = ip6; }
  explicit IPAddress(uint32_t ip_in_host_byte_order);
  IPAddress(const IPAddress& other) = default;
  IPAddress& operator=(const IPAddress& other) = default;
  virtual ~IPAddress() = default;

  bool operator==(const IPAddress& other) const;
  bool operator!=(const IPAddress& other) const { return !(*this == other); }
  bool operator<(const IPAddress& other) const;
  bool operator>(const IPAddress& other) const;

  int family() const { return family_; }
  in_addr ipv4_address() const { return u_.ip4; }
  in6_addr ipv6_address() const { return u_.ip6; }

  // Byte length of the address: 4, 16, or 0 when unspecified.
  size_t Size() const;

  // Text form from inet_ntop; empty for the unspecified address.
  std::string ToString() const;
  // Addresses are not masked in this library's logs, so this equals ToString.
  std::string ToSensitiveString() const;

  // An IPv4-mapped IPv6 address (::ffff:a.b.c.d) becomes the IPv4 address.
  IPAddress Normalized() const;
  // An IPv4 address becomes ::ffff:a.b.c.d.
  IPAddress AsIPv6Address() const;

  // The IPv4 address in host byte order; 0 for other families.
  uint32_t v4AddressAsHostOrderInteger() const;

  bool IsNil() const { return family_ == AF_UNSPEC; }

 private:
  int family_;
  union {
    in_addr ip4;
    in6_addr ip6;
  } u_;
};

// An IP address of a network interface with its IPv6 flags.
class InterfaceAddress : public IPAddress {
 public:
  InterfaceAddress() : ipv6_flags_(IPV6_ADDRESS_FLAG_NONE) {}
  explicit InterfaceAddress(const IPAddress& ip)
      : IPAddress(ip), ipv6_flags_(IPV6_ADDRESS_FLAG_NONE) {}
  InterfaceAddress(const IPAddress& ip, int ipv6_flags) : IPAddress(ip), ipv6_flags_(ipv6_flags) {}
  InterfaceAddress(const in6_addr& ip6, int ipv6_flags) : IPAddress(ip6), ipv6_flags_(ipv6_flags) {}
  InterfaceAddress(const InterfaceAddress& other) = default;
  InterfaceAddress& operator=(const InterfaceAddress& other) = default;

  bool operator==(const InterfaceAddress& other) const;
  bool operator!=(const InterfaceAddress& other) const { return !(*this == other); }

  int ipv6_flags() const { return ipv6_flags_; }

  // The address text and, for IPv6, "|flags:0x" and the flags in hex.
  std::string ToString() const;

 private:
  int ipv6_flags_;
};

// Parses a numeric IPv4 or IPv6 address. On failure `out` becomes the
// unspecified address and the result is false.
bool IPFromString(const std::string& str, IPAddress* out);
// The same; the flags are set only on success.
bool IPFromString(const std::string& str, int flags, InterfaceAddress* out);
// Copies the address of a getaddrinfo entry; false for entries without an
// IPv4 or IPv6 address. The IPv6 scope id is not part of an IPAddress.
bool IPFromAddrInfo(const struct addrinfo* info, IPAddress* out);

bool IPIsAny(const IPAddress& ip);
bool IPIsLoopback(const IPAddress& ip);
bool IPIsLinkLocal(const IPAddress& ip);
// 10/8, 172.16/12, 192.168/16 and fd00::/8.
bool IPIsPrivateNetwork(const IPAddress& ip);
// 100.64/10, the carrier-grade NAT range.
bool IPIsSharedNetwork(const IPAddress& ip);
// Link-local, loopback, private network or shared network.
bool IPIsPrivate(const IPAddress& ip);
bool IPIsUnspec(const IPAddress& ip);
size_t HashIP(const IPAddress& ip);

// Keeps the first `length` bits of the address and clears the others.
IPAddress TruncateIP(const IPAddress& ip, int length);
// The prefix length of a contiguous network mask.
int CountIPMaskBits(const IPAddress& mask);

// Precedence of RFC 6724 used to order candidate addresses.
int IPAddressPrecedence(const IPAddress& ip);

// These test the address bytes only, whatever the family.
bool IPIsV4Compatibility(const IPAddress& ip);
bool IPIsV4Mapped(const IPAddress& ip);

bool IPIs6Bone(const IPAddress& ip);
bool IPIs6To4(const IPAddress& ip);
bool IPIsSiteLocal(const IPAddress& ip);
bool IPIsTeredo(const IPAddress& ip);
bool IPIsULA(const IPAddress& ip);
// An interface identifier derived from a MAC address (modified EUI-64).
bool IPIsMacBased(const IPAddress& ip);

// 0.0.0.0 or ::; the unspecified address for other families.
IPAddress GetAnyIP(int family);
// 127.0.0.1 or ::1; the unspecified address for other families.
IPAddress GetLoopbackIP(int family);

std::ostream& operator<<(std::ostream& os, const IPAddress& ip);

}  // namespace rtc

#endif  // RTC_BASE_NET_IP_ADDRESS_H_
