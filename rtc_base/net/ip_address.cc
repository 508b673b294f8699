#include "rtc_base/net/ip_address.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <ostream>

namespace rtc {
namespace {

// Prefixes as the first bytes of an IPv6 address.
constexpr uint8_t kV4MappedPrefix[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
constexpr uint8_t kV4CompatibilityPrefix[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t k6To4Prefix[] = {0x20, 0x02};
constexpr uint8_t kTeredoPrefix[] = {0x20, 0x01, 0x00, 0x00};
constexpr uint8_t k6BonePrefix[] = {0x3f, 0xfe};

const uint8_t* Bytes(const IPAddress& ip, in6_addr* storage) {
  *storage = ip.ipv6_address();
  return storage->s6_addr;
}

// Whether the sixteen address bytes start with `prefix`, whatever the family.
template <size_t N>
bool HasPrefix(const IPAddress& ip, const uint8_t (&prefix)[N]) {
  in6_addr bytes;
  return memcmp(Bytes(ip, &bytes), prefix, N) == 0;
}

bool IPIsHelper(const IPAddress& ip, const in6_addr& tomatch, int length) {
  // Both truncated to the prefix length, then compared.
  IPAddress addr = TruncateIP(ip, length);
  return addr == TruncateIP(IPAddress(tomatch), length);
}

bool IPv6HasPrefix(const IPAddress& ip, const char* prefix_text, int length) {
  if (ip.family() != AF_INET6) return false;
  in6_addr prefix;
  inet_pton(AF_INET6, prefix_text, &prefix);
  return IPIsHelper(ip, prefix, length);
}

bool IPv4InRange(const IPAddress& ip, uint32_t network, int length) {
  if (ip.family() != AF_INET) return false;
  const uint32_t mask = length == 0 ? 0 : 0xFFFFFFFFu << (32 - length);
  return (ip.v4AddressAsHostOrderInteger() & mask) == network;
}

// Bits from the most significant one down to the lowest set bit.
int CountBitsToLowestSet(uint32_t word) { return word == 0 ? 0 : 32 - __builtin_ctz(word); }

}  // namespace

IPAddress::IPAddress(uint32_t ip_in_host_byte_order) : family_(AF_INET) {
  u_.ip6 = in6_addr{};
  u_.ip4.s_addr = htonl(ip_in_host_byte_order);
}

bool IPAddress::operator==(const IPAddress& other) const {
  if (family_ != other.family_) return false;
  if (family_ == AF_INET) {
    return memcmp(&u_.ip4, &other.u_.ip4, sizeof(u_.ip4)) == 0;
  }
  if (family_ == AF_INET6) {
    return memcmp(&u_.ip6, &other.u_.ip6, sizeof(u_.ip6)) == 0;
  }
  return family_ == AF_UNSPEC;
}

bool IPAddress::operator<(const IPAddress& other) const {
  if (family_ != other.family_) {
    if (family_ == AF_UNSPEC) return true;
    if (family_ == AF_INET && other.family_ == AF_INET6) return true;
    return false;
  }
  switch (family_) {
    case AF_INET:
      return v4AddressAsHostOrderInteger() < other.v4AddressAsHostOrderInteger();
    case AF_INET6:
      // Network byte order makes memcmp a big-endian 128-bit comparison.
      return memcmp(&u_.ip6, &other.u_.ip6, sizeof(u_.ip6)) < 0;
  }
  return false;
}

bool IPAddress::operator>(const IPAddress& other) const {
  return *this != other && !(*this < other);
}

size_t IPAddress::Size() const {
  switch (family_) {
    case AF_INET:
      return sizeof(in_addr);
    case AF_INET6:
      return sizeof(in6_addr);
  }
  return 0;
}

std::string IPAddress::ToString() const {
  if (family_ != AF_INET && family_ != AF_INET6) return std::string();
  char buf[INET6_ADDRSTRLEN] = {0};
  const void* src =
      family_ == AF_INET ? static_cast<const void*>(&u_.ip4) : static_cast<const void*>(&u_.ip6);
  if (!inet_ntop(family_, src, buf, sizeof(buf))) return std::string();
  return std::string(buf);
}

std::string IPAddress::ToSensitiveString() const { return ToString(); }

IPAddress IPAddress::Normalized() const {
  if (family_ != AF_INET6 || !IPIsV4Mapped(*this)) return *this;
  in_addr addr;
  memcpy(&addr, &u_.ip6.s6_addr[12], sizeof(addr));
  return IPAddress(addr);
}

IPAddress IPAddress::AsIPv6Address() const {
  if (family_ != AF_INET) return *this;
  in6_addr v6addr = {};
  memcpy(v6addr.s6_addr, kV4MappedPrefix, sizeof(kV4MappedPrefix));
  memcpy(&v6addr.s6_addr[12], &u_.ip4, sizeof(u_.ip4));
  return IPAddress(v6addr);
}

uint32_t IPAddress::v4AddressAsHostOrderInteger() const {
  return family_ == AF_INET ? ntohl(u_.ip4.s_addr) : 0;
}

bool InterfaceAddress::operator==(const InterfaceAddress& other) const {
  return ipv6_flags_ == other.ipv6_flags_ && static_cast<const IPAddress&>(*this) == other;
}

std::string InterfaceAddress::ToString() const {
  std::string result = IPAddress::ToString();
  if (family() == AF_INET6) {
    char flags[24];
    snprintf(flags, sizeof(flags), "|flags:0x%x", static_cast<unsigned>(ipv6_flags_));
    result += flags;
  }
  return result;
}

bool IPFromString(const std::string& str, IPAddress* out) {
  if (!out) return false;
  // inet_pton reads up to the first NUL; text with an embedded NUL is not an
  // address even when its head is.
  if (str.find('\0') == std::string::npos) {
    in_addr addr4;
    if (inet_pton(AF_INET, str.c_str(), &addr4) == 1) {
      *out = IPAddress(addr4);
      return true;
    }
    in6_addr addr6;
    if (inet_pton(AF_INET6, str.c_str(), &addr6) == 1) {
      *out = IPAddress(addr6);
      return true;
    }
  }
  *out = IPAddress();
  return false;
}

bool IPFromString(const std::string& str, int flags, InterfaceAddress* out) {
  if (!out) return false;
  IPAddress ip;
  if (!IPFromString(str, &ip)) {
    *out = InterfaceAddress();
    return false;
  }
  *out = InterfaceAddress(ip, flags);
  return true;
}

bool IPFromAddrInfo(const struct addrinfo* info, IPAddress* out) {
  if (!info || !info->ai_addr || !out) return false;
  if (info->ai_addr->sa_family == AF_INET && info->ai_addrlen >= sizeof(sockaddr_in)) {
    sockaddr_in addr;
    memcpy(&addr, info->ai_addr, sizeof(addr));
    *out = IPAddress(addr.sin_addr);
    return true;
  }
  if (info->ai_addr->sa_family == AF_INET6 && info->ai_addrlen >= sizeof(sockaddr_in6)) {
    sockaddr_in6 addr;
    memcpy(&addr, info->ai_addr, sizeof(addr));
    *out = IPAddress(addr.sin6_addr);
    return true;
  }
  return false;
}

bool IPIsAny(const IPAddress& ip) {
  switch (ip.family()) {
    case AF_INET:
      return ip.v4AddressAsHostOrderInteger() == 0;
    case AF_INET6: {
      static const IPAddress kV6Any(in6addr_any);
      static const IPAddress kV4MappedAny = IPAddress(INADDR_ANY).AsIPv6Address();
      return ip == kV6Any || ip == kV4MappedAny;
    }
  }
  return false;
}

bool IPIsLoopback(const IPAddress& ip) {
  switch (ip.family()) {
    case AF_INET:
      return (ip.v4AddressAsHostOrderInteger() >> 24) == 127;
    case AF_INET6:
      return ip == IPAddress(in6addr_loopback);
  }
  return false;
}

bool IPIsLinkLocal(const IPAddress& ip) {
  if (ip.family() == AF_INET) return IPv4InRange(ip, 0xA9FE0000, 16);
  return IPv6HasPrefix(ip, "fe80::", 10);
}

bool IPIsPrivateNetwork(const IPAddress& ip) {
  if (ip.family() == AF_INET) {
    return IPv4InRange(ip, 0x0A000000, 8) || IPv4InRange(ip, 0xAC100000, 12) ||
           IPv4InRange(ip, 0xC0A80000, 16);
  }
  return IPv6HasPrefix(ip, "fd00::", 8);
}

bool IPIsSharedNetwork(const IPAddress& ip) { return IPv4InRange(ip, 0x64400000, 10); }

bool IPIsPrivate(const IPAddress& ip) {
  return IPIsLinkLocal(ip) || IPIsLoopback(ip) || IPIsPrivateNetwork(ip) || IPIsSharedNetwork(ip);
}

bool IPIsUnspec(const IPAddress& ip) { return ip.family() == AF_UNSPEC; }

size_t HashIP(const IPAddress& ip) {
  switch (ip.family()) {
    case AF_INET:
      return ip.ipv4_address().s_addr;
    case AF_INET6: {
      in6_addr v6addr = ip.ipv6_address();
      uint32_t words[4];
      memcpy(words, v6addr.s6_addr, sizeof(words));
      return words[0] ^ words[1] ^ words[2] ^ words[3];
    }
  }
  return 0;
}

IPAddress TruncateIP(const IPAddress& ip, int length) {
  if (length < 0) return IPAddress();
  if (ip.family() == AF_INET) {
    if (length >= 32) return ip;
    if (length == 0) return IPAddress(INADDR_ANY);
    const uint32_t mask = 0xFFFFFFFFu << (32 - length);
    return IPAddress(ip.v4AddressAsHostOrderInteger() & mask);
  }
  if (ip.family() == AF_INET6) {
    if (length >= 128) return ip;
    if (length == 0) return IPAddress(in6addr_any);
    in6_addr v6addr = ip.ipv6_address();
    const int whole_bytes = length / 8;
    const int rest_bits = length % 8;
    int index = whole_bytes;
    if (rest_bits != 0) {
      v6addr.s6_addr[index] &= static_cast<uint8_t>(0xFF << (8 - rest_bits));
      ++index;
    }
    for (; index < 16; ++index) v6addr.s6_addr[index] = 0;
    return IPAddress(v6addr);
  }
  return IPAddress();
}

int CountIPMaskBits(const IPAddress& mask) {
  if (mask.family() == AF_INET) {
    return CountBitsToLowestSet(mask.v4AddressAsHostOrderInteger());
  }
  if (mask.family() == AF_INET6) {
    in6_addr v6addr = mask.ipv6_address();
    int bits = 0;
    for (int word = 0; word < 4; ++word) {
      uint32_t value;
      memcpy(&value, &v6addr.s6_addr[word * 4], sizeof(value));
      value = ntohl(value);
      if (value != 0xFFFFFFFFu) return bits + CountBitsToLowestSet(value);
      bits += 32;
    }
    return bits;
  }
  return 0;
}

int IPAddressPrecedence(const IPAddress& ip) {
  if (ip.family() == AF_INET) return 30;
  if (ip.family() != AF_INET6) return 0;
  if (IPIsLoopback(ip)) return 60;
  if (IPIsULA(ip)) return 50;
  if (IPIsV4Mapped(ip)) return 30;
  if (IPIs6To4(ip)) return 20;
  if (IPIsTeredo(ip)) return 10;
  if (IPIsV4Compatibility(ip) || IPIsSiteLocal(ip)) return 1;
  if (IPIs6Bone(ip)) return 1;
  return 40;
}

bool IPIsV4Compatibility(const IPAddress& ip) { return HasPrefix(ip, kV4CompatibilityPrefix); }

bool IPIsV4Mapped(const IPAddress& ip) { return HasPrefix(ip, kV4MappedPrefix); }

bool IPIs6Bone(const IPAddress& ip) {
  return ip.family() == AF_INET6 && HasPrefix(ip, k6BonePrefix);
}

bool IPIs6To4(const IPAddress& ip) { return ip.family() == AF_INET6 && HasPrefix(ip, k6To4Prefix); }

bool IPIsSiteLocal(const IPAddress& ip) { return IPv6HasPrefix(ip, "fec0::", 10); }

bool IPIsTeredo(const IPAddress& ip) {
  return ip.family() == AF_INET6 && HasPrefix(ip, kTeredoPrefix);
}

bool IPIsULA(const IPAddress& ip) { return IPv6HasPrefix(ip, "fc00::", 7); }

bool IPIsMacBased(const IPAddress& ip) {
  if (ip.family() != AF_INET6) return false;
  in6_addr bytes;
  const uint8_t* b = Bytes(ip, &bytes);
  return (b[8] & 0x02) != 0 && b[11] == 0xFF && b[12] == 0xFE;
}

IPAddress GetAnyIP(int family) {
  if (family == AF_INET) return IPAddress(INADDR_ANY);
  if (family == AF_INET6) return IPAddress(in6addr_any);
  return IPAddress();
}

IPAddress GetLoopbackIP(int family) {
  if (family == AF_INET) return IPAddress(INADDR_LOOPBACK);
  if (family == AF_INET6) return IPAddress(in6addr_loopback);
  return IPAddress();
}

std::ostream& operator<<(std::ostream& os, const IPAddress& ip) {
  return os << (ip.IsNil() ? std::string("(unspecified)") : ip.ToString());
}

}  // namespace rtc
