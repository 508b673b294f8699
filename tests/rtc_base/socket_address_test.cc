#include "rtc_base/socket_address.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace rtc {
namespace {

// The structures are laid out the Linux way: no length byte, and the IPv6
// family number is Linux's own.
static_assert(AF_INET6 == 10, "Linux IPv6 family number");
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == 28,
              "socket address lengths");

IPAddress Ip(const std::string& text) {
  IPAddress ip;
  EXPECT_TRUE(IPFromString(text, &ip)) << text;
  return ip;
}

TEST(SocketAddressTest, DefaultIsNil) {
  SocketAddress addr;
  EXPECT_TRUE(addr.IsNil());
  EXPECT_FALSE(addr.IsComplete());
  EXPECT_FALSE(addr.IsUnresolvedIP());
  EXPECT_EQ(addr.hostname(), "");
  EXPECT_EQ(addr.port(), 0);
  EXPECT_EQ(addr.scope_id(), 0);
  EXPECT_EQ(addr.family(), AF_UNSPEC);
}

TEST(SocketAddressTest, NumericHostTextIsLiteralAndSetsTheIP) {
  SocketAddress addr;
  EXPECT_TRUE(addr.SetIP("10.0.0.1"));
  EXPECT_TRUE(addr.literal());
  EXPECT_EQ(addr.ip(), 0x0A000001u);
  EXPECT_EQ(addr.hostname(), "10.0.0.1");
  EXPECT_FALSE(addr.IsUnresolvedIP());
  EXPECT_TRUE(addr.IsPrivateIP());
}

TEST(SocketAddressTest, NameLeavesTheIPUnspecifiedUntilResolved) {
  SocketAddress addr("gateway.test", 443);
  EXPECT_FALSE(addr.literal());
  EXPECT_TRUE(addr.ipaddr().IsNil());
  EXPECT_TRUE(addr.IsUnresolvedIP());
  // An unspecified IP is not an any-address, so the address is complete.
  EXPECT_TRUE(addr.IsComplete());
  EXPECT_EQ(addr.ToString(), "gateway.test:443");

  addr.SetResolvedIP(Ip("127.0.0.2"));
  EXPECT_FALSE(addr.IsUnresolvedIP());
  EXPECT_EQ(addr.hostname(), "gateway.test");
  EXPECT_EQ(addr.ipaddr(), Ip("127.0.0.2"));
  EXPECT_TRUE(addr.IsLoopbackIP());

  addr.SetIP(Ip("127.0.0.3"));
  EXPECT_EQ(addr.hostname(), "");
  EXPECT_EQ(addr.ToString(), "127.0.0.3:443");
}

TEST(SocketAddressTest, LocalhostIsLoopbackOnlyOnceItHasAnAnyAddress) {
  SocketAddress addr("localhost", 80);
  EXPECT_FALSE(addr.IsLoopbackIP());
  addr.SetResolvedIP(GetAnyIP(AF_INET));
  EXPECT_TRUE(addr.IsLoopbackIP());
  EXPECT_TRUE(addr.IsAnyIP());
  EXPECT_FALSE(addr.IsComplete());
  EXPECT_TRUE(SocketAddress("::1", 80).IsLoopbackIP());
}

TEST(SocketAddressTest, ToStringBracketsIPv6AndShowsNamesAsGiven) {
  EXPECT_EQ(SocketAddress("1.2.3.4", 5678).ToString(), "1.2.3.4:5678");
  EXPECT_EQ(SocketAddress(Ip("2001:db8::1"), 443).ToString(),
            "[2001:db8::1]:443");
  // A literal text is shown in its canonical form.
  EXPECT_EQ(SocketAddress("2001:DB8:0::1", 443).ToString(),
            "[2001:db8::1]:443");
  EXPECT_EQ(SocketAddress("gateway.test", 7080).ToString(),
            "gateway.test:7080");
  EXPECT_EQ(SocketAddress(Ip("::1"), 1).HostAsURIString(), "[::1]");
  EXPECT_EQ(SocketAddress(Ip("::1"), 1).PortAsString(), "1");
  SocketAddress addr(Ip("::1"), 9);
  EXPECT_EQ(addr.ToSensitiveString(), addr.ToString());
  // Long names are not cut short.
  const std::string long_name(2000, 'a');
  EXPECT_EQ(SocketAddress(long_name, 1).ToString(), long_name + ":1");
  EXPECT_EQ(addr.HostAsSensitiveURIString(), addr.HostAsURIString());
}

TEST(SocketAddressTest, SetPortKeepsTheLowSixteenBits) {
  SocketAddress addr;
  addr.SetPort(65535);
  EXPECT_EQ(addr.port(), 65535);
  addr.SetPort(70000);
  EXPECT_EQ(addr.port(), 4464);
  addr.SetPort(-1);
  EXPECT_EQ(addr.port(), 65535);
}

TEST(SocketAddressTest, FromStringParsesHostAndPort) {
  struct Case {
    const char* text;
    const char* hostname;
    const char* ip;  // Empty when unresolved.
    int port;
  };
  const Case cases[] = {
      {"1.2.3.4:5678", "1.2.3.4", "1.2.3.4", 5678},
      {"[::1]:80", "::1", "::1", 80},
      {"[::ffff:1.2.3.4]:65535", "::ffff:1.2.3.4", "::ffff:1.2.3.4", 65535},
      {"gateway.test:443", "gateway.test", "", 443},
      {"h:0", "h", "", 0},
      {"h:00080", "h", "", 80},
  };
  for (const Case& c : cases) {
    SocketAddress addr;
    ASSERT_TRUE(addr.FromString(c.text)) << c.text;
    EXPECT_EQ(addr.hostname(), c.hostname) << c.text;
    EXPECT_EQ(addr.port(), c.port) << c.text;
    if (c.ip[0]) {
      EXPECT_TRUE(addr.literal()) << c.text;
      EXPECT_EQ(addr.ipaddr(), Ip(c.ip)) << c.text;
    } else {
      EXPECT_TRUE(addr.IsUnresolvedIP()) << c.text;
    }
    SocketAddress again;
    ASSERT_TRUE(again.FromString(addr.ToString()));
    EXPECT_EQ(again, addr) << c.text;
  }
}

TEST(SocketAddressTest, FromStringRejectsMalformedTextAndChangesNothing) {
  const char* rejects[] = {
      "",           "[::1",        "[::1]",       "[::1]:",     "[::1]x:80",
      "[::1] :80",  "[]:80",       "::1:80",      "fe80::1",    "1.2.3.4",
      "host",       "host:",       ":80",         "host:abc",   "host:70000",
      "host:65536", "host:-1",     "host:+80",    "host:80 ",   "host: 80",
      "host:123456", "host:80:90", "[::1]:80x",   "[::1]:99999",
  };
  for (const char* text : rejects) {
    SocketAddress addr("127.0.0.1", 7080);
    EXPECT_FALSE(addr.FromString(text)) << '"' << text << '"';
    EXPECT_EQ(addr.ToString(), "127.0.0.1:7080") << text;
  }
}

TEST(SocketAddressTest, NamesTellAnyAndUnresolvedAddressesApart) {
  SocketAddress a("alpha.test", 80);
  SocketAddress b("beta.test", 80);
  EXPECT_NE(a, b);
  EXPECT_LT(a, b);
  EXPECT_FALSE(b < a);
  // Resolved to the same IP, the names no longer matter.
  a.SetResolvedIP(Ip("127.0.0.1"));
  b.SetResolvedIP(Ip("127.0.0.1"));
  EXPECT_EQ(a, b);
  EXPECT_TRUE(a.EqualIPs(b));
  // The any-address keeps its name in comparisons.
  a.SetResolvedIP(GetAnyIP(AF_INET));
  b.SetResolvedIP(GetAnyIP(AF_INET));
  EXPECT_NE(a, b);
  EXPECT_LT(a, b);
  // A name that is a prefix of another comes first.
  EXPECT_LT(SocketAddress("ab", 1), SocketAddress("abc", 1));
  // Then ports.
  EXPECT_LT(SocketAddress("1.2.3.4", 1), SocketAddress("1.2.3.4", 2));
  EXPECT_FALSE(SocketAddress("1.2.3.4", 1).EqualPorts(SocketAddress("1.2.3.4", 2)));
}

TEST(SocketAddressTest, OrderingIsAStrictWeakOrderThatAgreesWithEqualityAndHash) {
  std::mt19937 rng(99);
  const char* hosts[] = {"a.test", "b.test", "1.2.3.4", "::1", "0.0.0.0", ""};
  std::vector<SocketAddress> addrs;
  for (int i = 0; i < 50; ++i) {
    SocketAddress addr(hosts[rng() % 6], static_cast<int>(rng() % 3));
    if (rng() % 4 == 0) addr.SetResolvedIP(GetAnyIP(AF_INET));
    addrs.push_back(addr);
  }
  for (const SocketAddress& a : addrs) {
    EXPECT_FALSE(a < a);
    for (const SocketAddress& b : addrs) {
      const bool equivalent = !(a < b) && !(b < a);
      EXPECT_EQ(equivalent, a == b) << a << " " << b;
      if (a == b) EXPECT_EQ(a.Hash(), b.Hash());
      for (const SocketAddress& c : addrs) {
        if (a < b && b < c) EXPECT_TRUE(a < c);
      }
    }
  }
  SocketAddress addr(Ip("1.2.3.4"), 0x0102);
  EXPECT_EQ(addr.Hash(), HashIP(Ip("1.2.3.4")) ^ 0x01020102u);
}

TEST(SocketAddressTest, StorageOfIPv4Is16BytesInNetworkOrder) {
  SocketAddress addr(Ip("192.168.1.2"), 0x1234);
  sockaddr_storage storage;
  memset(&storage, 0xAB, sizeof(storage));
  ASSERT_EQ(addr.ToSockAddrStorage(&storage), 16u);
  const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(&storage);
  EXPECT_EQ(sin->sin_family, AF_INET);
  EXPECT_EQ(sin->sin_port, htons(0x1234));
  EXPECT_EQ(sin->sin_addr.s_addr, htonl(0xC0A80102));
  // Everything past the structure is cleared.
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&storage);
  for (size_t i = sizeof(sockaddr_in); i < sizeof(storage); ++i) {
    ASSERT_EQ(bytes[i], 0) << i;
  }

  SocketAddress back;
  ASSERT_TRUE(SocketAddressFromSockAddrStorage(storage, &back));
  EXPECT_EQ(back, addr);
  EXPECT_EQ(back.hostname(), "");
}

TEST(SocketAddressTest, StorageOfIPv6Is28BytesAndKeepsTheScopeId) {
  SocketAddress addr(Ip("fe80::1"), 443);
  addr.SetScopeID(3);
  sockaddr_storage storage;
  ASSERT_EQ(addr.ToSockAddrStorage(&storage), 28u);
  const sockaddr_in6* sin6 = reinterpret_cast<const sockaddr_in6*>(&storage);
  EXPECT_EQ(sin6->sin6_family, AF_INET6);
  EXPECT_EQ(sin6->sin6_port, htons(443));
  EXPECT_EQ(sin6->sin6_scope_id, 3u);
  EXPECT_EQ(IPAddress(sin6->sin6_addr), Ip("fe80::1"));

  SocketAddress back;
  ASSERT_TRUE(SocketAddressFromSockAddrStorage(storage, &back));
  EXPECT_EQ(back, addr);
  EXPECT_EQ(back.scope_id(), 3);

  // Copies keep the scope id; a new IP clears it.
  SocketAddress copy = back;
  EXPECT_EQ(copy.scope_id(), 3);
  copy.SetIP(Ip("fe80::2"));
  EXPECT_EQ(copy.scope_id(), 0);
}

TEST(SocketAddressTest, DualStackStorageMapsIPv4) {
  SocketAddress addr(Ip("1.2.3.4"), 80);
  sockaddr_storage storage;
  ASSERT_EQ(addr.ToDualStackSockAddrStorage(&storage), 28u);
  const sockaddr_in6* sin6 = reinterpret_cast<const sockaddr_in6*>(&storage);
  EXPECT_EQ(sin6->sin6_family, AF_INET6);
  EXPECT_EQ(IPAddress(sin6->sin6_addr), Ip("::ffff:1.2.3.4"));
  EXPECT_EQ(sin6->sin6_port, htons(80));

  SocketAddress v6(Ip("::1"), 80);
  ASSERT_EQ(v6.ToDualStackSockAddrStorage(&storage), 28u);
  EXPECT_EQ(IPAddress(sin6->sin6_addr), Ip("::1"));
}

TEST(SocketAddressTest, OtherFamiliesConvertToNothing) {
  sockaddr_storage storage;
  EXPECT_EQ(SocketAddress().ToSockAddrStorage(&storage), 0u);
  EXPECT_EQ(storage.ss_family, AF_UNSPEC);

  storage.ss_family = AF_UNIX;
  SocketAddress out("127.0.0.1", 1);
  EXPECT_FALSE(SocketAddressFromSockAddrStorage(storage, &out));
  EXPECT_EQ(out.ToString(), "127.0.0.1:1");
  storage.ss_family = AF_INET;
  EXPECT_FALSE(SocketAddressFromSockAddrStorage(storage, nullptr));
}

TEST(SocketAddressTest, SockAddrInHoldsIPv4Only) {
  sockaddr_in sin;
  SocketAddress(Ip("10.1.2.3"), 8080).ToSockAddr(&sin);
  EXPECT_EQ(sin.sin_family, AF_INET);
  EXPECT_EQ(sin.sin_port, htons(8080));
  EXPECT_EQ(sin.sin_addr.s_addr, htonl(0x0A010203));

  SocketAddress back;
  ASSERT_TRUE(back.FromSockAddr(sin));
  EXPECT_EQ(back, SocketAddress(Ip("10.1.2.3"), 8080));

  SocketAddress(Ip("::1"), 80).ToSockAddr(&sin);
  EXPECT_EQ(sin.sin_family, AF_UNSPEC);
  EXPECT_EQ(sin.sin_port, 0);
  EXPECT_FALSE(back.FromSockAddr(sin));
}

TEST(SocketAddressTest, EmptyAddressOfAFamilyIsItsAnyAddress) {
  SocketAddress v4 = EmptySocketAddressWithFamily(AF_INET);
  EXPECT_EQ(v4.ipaddr(), GetAnyIP(AF_INET));
  EXPECT_EQ(v4.port(), 0);
  SocketAddress v6 = EmptySocketAddressWithFamily(AF_INET6);
  EXPECT_EQ(v6.ipaddr(), GetAnyIP(AF_INET6));
  EXPECT_TRUE(EmptySocketAddressWithFamily(AF_UNIX).IsNil());
}

// Binds a datagram socket to the loopback address of the family and reads
// back the kernel's view through the conversions.
bool BindAndReadBack(const SocketAddress& bind_to, SocketAddress* bound) {
  const int fd = socket(bind_to.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_storage storage;
  const size_t len = bind_to.ToSockAddrStorage(&storage);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&storage),
                 static_cast<socklen_t>(len)) == 0;
  socklen_t out_len = sizeof(storage);
  ok = ok &&
       getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &out_len) == 0;
  close(fd);
  return ok && SocketAddressFromSockAddrStorage(storage, bound);
}

TEST(SocketAddressTest, KernelAcceptsAndReturnsTheConvertedStructures) {
  SocketAddress bound;
  ASSERT_TRUE(BindAndReadBack(SocketAddress(GetLoopbackIP(AF_INET), 0), &bound));
  EXPECT_EQ(bound.ipaddr(), GetLoopbackIP(AF_INET));
  EXPECT_NE(bound.port(), 0);

  if (!BindAndReadBack(SocketAddress(GetLoopbackIP(AF_INET6), 0), &bound)) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  EXPECT_EQ(bound.ipaddr(), GetLoopbackIP(AF_INET6));
  EXPECT_NE(bound.port(), 0);
}

}  // namespace
}  // namespace rtc
