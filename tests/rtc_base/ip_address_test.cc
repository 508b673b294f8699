#include "rtc_base/ip_address.h"

#include <arpa/inet.h>
#include <string.h>
#include <sys/un.h>

#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace rtc {
namespace {

IPAddress Ip(const std::string& text) {
  IPAddress ip;
  EXPECT_TRUE(IPFromString(text, &ip)) << text;
  return ip;
}

TEST(IPAddressTest, DefaultIsUnspecifiedAndEmpty) {
  IPAddress ip;
  EXPECT_EQ(ip.family(), AF_UNSPEC);
  EXPECT_TRUE(ip.IsNil());
  EXPECT_EQ(ip.Size(), 0u);
  EXPECT_EQ(ip.ToString(), "");
  EXPECT_EQ(ip.v4AddressAsHostOrderInteger(), 0u);
}

TEST(IPAddressTest, IPv4KeepsNetworkOrderInTheFirstFourBytes) {
  IPAddress ip(0x01020304u);
  EXPECT_EQ(ip.family(), AF_INET);
  EXPECT_EQ(ip.Size(), 4u);
  in6_addr bytes = ip.ipv6_address();
  const uint8_t expected[16] = {1, 2, 3, 4};
  EXPECT_EQ(memcmp(bytes.s6_addr, expected, 16), 0);
  EXPECT_EQ(ip.ToString(), "1.2.3.4");
  EXPECT_EQ(ip.v4AddressAsHostOrderInteger(), 0x01020304u);
  EXPECT_EQ(ip.ToSensitiveString(), ip.ToString());
}

TEST(IPAddressTest, TextRoundTripsToTheCanonicalForm) {
  struct Case {
    const char* in;
    const char* out;
    int family;
  };
  const Case cases[] = {
      {"1.2.3.4", "1.2.3.4", AF_INET},
      {"0.0.0.0", "0.0.0.0", AF_INET},
      {"255.255.255.255", "255.255.255.255", AF_INET},
      {"::", "::", AF_INET6},
      {"::1", "::1", AF_INET6},
      {"0:0:0:0:0:0:0:0", "::", AF_INET6},
      {"2001:db8:0:0:0:0:0:1", "2001:db8::1", AF_INET6},
      {"FE80::1", "fe80::1", AF_INET6},
      {"2001:0db8:85a3:0000:0000:8a2e:0370:7334", "2001:db8:85a3::8a2e:370:7334",
       AF_INET6},
      {"1:0:0:1:0:0:0:1", "1:0:0:1::1", AF_INET6},
      {"::ffff:1.2.3.4", "::ffff:1.2.3.4", AF_INET6},
      {"::ffff:0:0", "::ffff:0.0.0.0", AF_INET6},
  };
  for (const Case& c : cases) {
    IPAddress ip;
    ASSERT_TRUE(IPFromString(c.in, &ip)) << c.in;
    EXPECT_EQ(ip.family(), c.family) << c.in;
    EXPECT_EQ(ip.ToString(), c.out) << c.in;
    IPAddress again;
    ASSERT_TRUE(IPFromString(ip.ToString(), &again));
    EXPECT_EQ(again, ip) << c.in;
  }
}

TEST(IPAddressTest, TextThatIsNotANumericAddressIsRejected) {
  const std::string rejects[] = {
      "",          "1.2.3",       "1.2.3.256", "1.2.3.4 ", " 1.2.3.4",
      "1.2.3.4.5", "::1::2",      "12345::",   "fe80::1%eth0", "localhost",
      "[::1]",     "1.2.3.4:80",  std::string("1.2.3.4\0junk", 12),
  };
  for (const std::string& text : rejects) {
    IPAddress ip(0x01020304u);
    EXPECT_FALSE(IPFromString(text, &ip)) << text;
    EXPECT_TRUE(ip.IsNil()) << text;
  }
  EXPECT_FALSE(IPFromString("1.2.3.4", static_cast<IPAddress*>(nullptr)));
}

TEST(IPAddressTest, MappedAddressesConvertBothWays) {
  IPAddress v4 = Ip("1.2.3.4");
  IPAddress mapped = v4.AsIPv6Address();
  EXPECT_EQ(mapped.family(), AF_INET6);
  EXPECT_EQ(mapped, Ip("::ffff:1.2.3.4"));
  EXPECT_EQ(mapped.Normalized(), v4);
  // Anything else is unchanged.
  EXPECT_EQ(Ip("::1").AsIPv6Address(), Ip("::1"));
  EXPECT_EQ(Ip("::1").Normalized(), Ip("::1"));
  EXPECT_EQ(v4.Normalized(), v4);
  EXPECT_EQ(Ip("::1.2.3.4").Normalized(), Ip("::1.2.3.4"));
  EXPECT_TRUE(IPAddress().AsIPv6Address().IsNil());
}

TEST(IPAddressTest, OrderingPutsFamiliesFirstThenNumericValue) {
  EXPECT_LT(IPAddress(), Ip("0.0.0.0"));
  EXPECT_LT(Ip("255.255.255.255"), Ip("::"));
  EXPECT_LT(Ip("9.255.255.255"), Ip("10.0.0.0"));
  // Host order, not the bytes of the stored word.
  EXPECT_LT(Ip("1.0.0.2"), Ip("2.0.0.1"));
  EXPECT_LT(Ip("::ff"), Ip("::100"));
  EXPECT_LT(Ip("fe80::"), Ip("ff00::"));
  EXPECT_FALSE(IPAddress() < IPAddress());
  EXPECT_EQ(IPAddress(), IPAddress());
  EXPECT_GT(Ip("10.0.0.0"), Ip("9.255.255.255"));
  EXPECT_FALSE(Ip("10.0.0.0") > Ip("10.0.0.0"));
  EXPECT_NE(Ip("::ffff:1.2.3.4"), Ip("1.2.3.4"));
}

std::vector<IPAddress> RandomAddresses(size_t count) {
  std::mt19937 rng(1234);
  std::vector<IPAddress> out;
  out.push_back(IPAddress());
  for (size_t i = 0; i < count; ++i) {
    // Few distinct values, so that equal pairs occur.
    const uint32_t small = rng() % 4;
    if (rng() % 2) {
      out.push_back(IPAddress(small << (8 * (rng() % 4))));
    } else {
      in6_addr v6 = {};
      v6.s6_addr[rng() % 16] = static_cast<uint8_t>(small);
      out.push_back(IPAddress(v6));
    }
  }
  return out;
}

TEST(IPAddressTest, OrderingIsAStrictWeakOrderThatAgreesWithEqualityAndHash) {
  const std::vector<IPAddress> ips = RandomAddresses(60);
  for (const IPAddress& a : ips) {
    EXPECT_FALSE(a < a);
    for (const IPAddress& b : ips) {
      const bool equivalent = !(a < b) && !(b < a);
      EXPECT_EQ(equivalent, a == b) << a << " " << b;
      EXPECT_FALSE(a < b && b < a);
      EXPECT_EQ(a > b, b < a) << a << " " << b;
      if (a == b) EXPECT_EQ(HashIP(a), HashIP(b));
      for (const IPAddress& c : ips) {
        if (a < b && b < c) EXPECT_TRUE(a < c) << a << " " << b << " " << c;
      }
    }
  }
}

TEST(IPAddressTest, HashUsesTheStoredWords) {
  IPAddress v4 = Ip("1.2.3.4");
  EXPECT_EQ(HashIP(v4), v4.ipv4_address().s_addr);
  IPAddress v6 = Ip("1:2:3:4:5:6:7:8");
  in6_addr bytes = v6.ipv6_address();
  uint32_t w[4];
  memcpy(w, bytes.s6_addr, sizeof(w));
  EXPECT_EQ(HashIP(v6), static_cast<size_t>(w[0] ^ w[1] ^ w[2] ^ w[3]));
  EXPECT_EQ(HashIP(IPAddress()), 0u);
}

struct Classification {
  bool (*predicate)(const IPAddress&);
  const char* name;
  const char* address;
  bool expected;
};

TEST(IPAddressTest, ClassificationHoldsExactlyInsideEachPrefix) {
  const Classification cases[] = {
      {IPIsUnspec, "unspec", "0.0.0.0", false},
      {IPIsAny, "any", "0.0.0.0", true},
      {IPIsAny, "any", "0.0.0.1", false},
      {IPIsAny, "any", "::", true},
      {IPIsAny, "any", "::ffff:0.0.0.0", true},
      {IPIsAny, "any", "::1", false},
      {IPIsLoopback, "loopback", "126.255.255.255", false},
      {IPIsLoopback, "loopback", "127.0.0.0", true},
      {IPIsLoopback, "loopback", "127.255.255.255", true},
      {IPIsLoopback, "loopback", "128.0.0.0", false},
      {IPIsLoopback, "loopback", "::1", true},
      {IPIsLoopback, "loopback", "::2", false},
      {IPIsLoopback, "loopback", "::ffff:127.0.0.1", false},
      {IPIsLinkLocal, "linklocal", "169.253.255.255", false},
      {IPIsLinkLocal, "linklocal", "169.254.0.0", true},
      {IPIsLinkLocal, "linklocal", "169.254.255.255", true},
      {IPIsLinkLocal, "linklocal", "169.255.0.0", false},
      {IPIsLinkLocal, "linklocal", "fe7f:ffff::", false},
      {IPIsLinkLocal, "linklocal", "fe80::", true},
      {IPIsLinkLocal, "linklocal", "febf:ffff::", true},
      {IPIsLinkLocal, "linklocal", "fec0::", false},
      {IPIsPrivateNetwork, "private", "9.255.255.255", false},
      {IPIsPrivateNetwork, "private", "10.0.0.0", true},
      {IPIsPrivateNetwork, "private", "10.255.255.255", true},
      {IPIsPrivateNetwork, "private", "11.0.0.0", false},
      {IPIsPrivateNetwork, "private", "172.15.255.255", false},
      {IPIsPrivateNetwork, "private", "172.16.0.0", true},
      {IPIsPrivateNetwork, "private", "172.31.255.255", true},
      {IPIsPrivateNetwork, "private", "172.32.0.0", false},
      {IPIsPrivateNetwork, "private", "192.167.255.255", false},
      {IPIsPrivateNetwork, "private", "192.168.0.0", true},
      {IPIsPrivateNetwork, "private", "192.168.255.255", true},
      {IPIsPrivateNetwork, "private", "192.169.0.0", false},
      {IPIsPrivateNetwork, "private", "fcff:ffff::", false},
      {IPIsPrivateNetwork, "private", "fd00::", true},
      {IPIsPrivateNetwork, "private", "fdff:ffff::", true},
      {IPIsPrivateNetwork, "private", "fe00::", false},
      {IPIsSharedNetwork, "shared", "100.63.255.255", false},
      {IPIsSharedNetwork, "shared", "100.64.0.0", true},
      {IPIsSharedNetwork, "shared", "100.127.255.255", true},
      {IPIsSharedNetwork, "shared", "100.128.0.0", false},
      {IPIsSharedNetwork, "shared", "::ffff:100.64.0.0", false},
      {IPIsPrivate, "private or local", "127.0.0.1", true},
      {IPIsPrivate, "private or local", "100.64.0.1", true},
      {IPIsPrivate, "private or local", "169.254.1.1", true},
      {IPIsPrivate, "private or local", "8.8.8.8", false},
      {IPIsPrivate, "private or local", "::1", true},
      {IPIsPrivate, "private or local", "2001:db8::1", false},
      {IPIsV4Mapped, "mapped", "::ffff:0:0", true},
      {IPIsV4Mapped, "mapped", "::ffff:255.255.255.255", true},
      {IPIsV4Mapped, "mapped", "::fffe:ffff:ffff", false},
      {IPIsV4Mapped, "mapped", "0:0:0:0:1:ffff::", false},
      {IPIsV4Mapped, "mapped", "1.2.3.4", false},
      {IPIsV4Compatibility, "compatible", "::", true},
      {IPIsV4Compatibility, "compatible", "::ffff:ffff", true},
      {IPIsV4Compatibility, "compatible", "::1:0:0", false},
      // The bytes are tested whatever the family; 0.0.0.0 has zero bytes.
      {IPIsV4Compatibility, "compatible", "0.0.0.0", true},
      {IPIsV4Compatibility, "compatible", "1.2.3.4", false},
      {IPIs6Bone, "6bone", "3ffd:ffff::", false},
      {IPIs6Bone, "6bone", "3ffe::", true},
      {IPIs6Bone, "6bone", "3ffe:ffff::", true},
      {IPIs6Bone, "6bone", "3fff::", false},
      {IPIs6To4, "6to4", "2001:ffff::", false},
      {IPIs6To4, "6to4", "2002::", true},
      {IPIs6To4, "6to4", "2002:ffff::", true},
      {IPIs6To4, "6to4", "2003::", false},
      {IPIs6To4, "6to4", "32.2.0.0", false},
      {IPIsTeredo, "teredo", "2000:ffff:ffff::", false},
      {IPIsTeredo, "teredo", "2001::", true},
      {IPIsTeredo, "teredo", "2001:0:ffff:ffff::", true},
      {IPIsTeredo, "teredo", "2001:1::", false},
      {IPIsSiteLocal, "sitelocal", "febf:ffff::", false},
      {IPIsSiteLocal, "sitelocal", "fec0::", true},
      {IPIsSiteLocal, "sitelocal", "feff:ffff::", true},
      {IPIsSiteLocal, "sitelocal", "ff00::", false},
      {IPIsULA, "ula", "fbff:ffff::", false},
      {IPIsULA, "ula", "fc00::", true},
      {IPIsULA, "ula", "fdff:ffff::", true},
      {IPIsULA, "ula", "fe00::", false},
      {IPIsMacBased, "macbased", "fe80::0200:00ff:fe00:0", true},
      {IPIsMacBased, "macbased", "fe80::0000:00ff:fe00:0", false},
      {IPIsMacBased, "macbased", "fe80::0200:00fe:fe00:0", false},
      {IPIsMacBased, "macbased", "fe80::0200:00ff:ff00:0", false},
  };
  for (const Classification& c : cases) {
    EXPECT_EQ(c.predicate(Ip(c.address)), c.expected)
        << c.name << " of " << c.address;
  }
  // Nothing holds for the unspecified address except IPIsUnspec.
  EXPECT_TRUE(IPIsUnspec(IPAddress()));
  EXPECT_FALSE(IPIsAny(IPAddress()));
  EXPECT_FALSE(IPIsLoopback(IPAddress()));
  EXPECT_FALSE(IPIsPrivate(IPAddress()));
  EXPECT_FALSE(IPIsULA(IPAddress()));
}

TEST(IPAddressTest, PrecedenceFollowsThePolicyTable) {
  EXPECT_EQ(IPAddressPrecedence(Ip("8.8.8.8")), 30);
  EXPECT_EQ(IPAddressPrecedence(Ip("::1")), 60);
  EXPECT_EQ(IPAddressPrecedence(Ip("fd00::1")), 50);
  EXPECT_EQ(IPAddressPrecedence(Ip("::ffff:1.2.3.4")), 30);
  EXPECT_EQ(IPAddressPrecedence(Ip("2002::1")), 20);
  EXPECT_EQ(IPAddressPrecedence(Ip("2001::1")), 10);
  EXPECT_EQ(IPAddressPrecedence(Ip("fec0::1")), 1);
  EXPECT_EQ(IPAddressPrecedence(Ip("::1.2.3.4")), 1);
  EXPECT_EQ(IPAddressPrecedence(Ip("3ffe::1")), 1);
  EXPECT_EQ(IPAddressPrecedence(Ip("2001:db8::1")), 40);
  EXPECT_EQ(IPAddressPrecedence(IPAddress()), 0);
}

TEST(IPAddressTest, TruncateClearsTheBitsAfterThePrefix) {
  const IPAddress v4 = Ip("192.168.1.77");
  EXPECT_TRUE(TruncateIP(v4, -1).IsNil());
  EXPECT_EQ(TruncateIP(v4, 0), Ip("0.0.0.0"));
  EXPECT_EQ(TruncateIP(v4, 24), Ip("192.168.1.0"));
  EXPECT_EQ(TruncateIP(v4, 28), Ip("192.168.1.64"));
  EXPECT_EQ(TruncateIP(v4, 32), v4);
  EXPECT_EQ(TruncateIP(v4, 33), v4);

  const IPAddress v6 = Ip("2001:db8:ffff:ffff:ffff:ffff:ffff:ffff");
  EXPECT_TRUE(TruncateIP(v6, -1).IsNil());
  EXPECT_EQ(TruncateIP(v6, 0), Ip("::"));
  EXPECT_EQ(TruncateIP(v6, 10), Ip("2000::"));
  EXPECT_EQ(TruncateIP(v6, 36), Ip("2001:db8:f000::"));
  EXPECT_EQ(TruncateIP(v6, 127), Ip("2001:db8:ffff:ffff:ffff:ffff:ffff:fffe"));
  EXPECT_EQ(TruncateIP(v6, 128), v6);
  EXPECT_EQ(TruncateIP(v6, 129), v6);
  EXPECT_TRUE(TruncateIP(IPAddress(), 8).IsNil());
}

TEST(IPAddressTest, MaskBitsOfEveryContiguousMaskAreItsPrefixLength) {
  const IPAddress all4 = Ip("255.255.255.255");
  for (int bits = 0; bits <= 32; ++bits) {
    EXPECT_EQ(CountIPMaskBits(TruncateIP(all4, bits)), bits);
  }
  const IPAddress all6 = Ip("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
  for (int bits = 0; bits <= 128; ++bits) {
    EXPECT_EQ(CountIPMaskBits(TruncateIP(all6, bits)), bits);
  }
  EXPECT_EQ(CountIPMaskBits(Ip("255.255.255.0")), 24);
  EXPECT_EQ(CountIPMaskBits(Ip("ffff:ffff:ffff:ffff::")), 64);
  EXPECT_EQ(CountIPMaskBits(IPAddress()), 0);
}

TEST(IPAddressTest, InterfaceAddressComparesAndPrintsItsFlags) {
  InterfaceAddress a(Ip("fe80::1"), IPV6_ADDRESS_FLAG_TEMPORARY);
  InterfaceAddress b(Ip("fe80::1"), IPV6_ADDRESS_FLAG_NONE);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, InterfaceAddress(Ip("fe80::1"), IPV6_ADDRESS_FLAG_TEMPORARY));
  EXPECT_EQ(a.ToString(), "fe80::1|flags:0x1");
  EXPECT_EQ(InterfaceAddress(Ip("fe80::1"), 0x1a).ToString(),
            "fe80::1|flags:0x1a");
  EXPECT_EQ(InterfaceAddress(Ip("1.2.3.4"), 3).ToString(), "1.2.3.4");

  InterfaceAddress parsed;
  EXPECT_TRUE(IPFromString("::1", IPV6_ADDRESS_FLAG_DEPRECATED, &parsed));
  EXPECT_EQ(parsed.ipv6_flags(), IPV6_ADDRESS_FLAG_DEPRECATED);
  EXPECT_FALSE(IPFromString("nope", IPV6_ADDRESS_FLAG_DEPRECATED, &parsed));
  EXPECT_TRUE(parsed.IsNil());
  EXPECT_EQ(parsed.ipv6_flags(), IPV6_ADDRESS_FLAG_NONE);
}

TEST(IPAddressTest, AddrInfoEntriesOfBothFamiliesAreCopied) {
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(0x7F000001);
  addrinfo info = {};
  info.ai_family = AF_INET;
  info.ai_addr = reinterpret_cast<sockaddr*>(&sin);
  info.ai_addrlen = sizeof(sin);
  IPAddress ip;
  ASSERT_TRUE(IPFromAddrInfo(&info, &ip));
  EXPECT_EQ(ip, Ip("127.0.0.1"));

  sockaddr_in6 sin6 = {};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_addr = in6addr_loopback;
  info.ai_family = AF_INET6;
  info.ai_addr = reinterpret_cast<sockaddr*>(&sin6);
  info.ai_addrlen = sizeof(sin6);
  ASSERT_TRUE(IPFromAddrInfo(&info, &ip));
  EXPECT_EQ(ip, Ip("::1"));

  sockaddr_un sun = {};
  sun.sun_family = AF_UNIX;
  info.ai_family = AF_UNIX;
  info.ai_addr = reinterpret_cast<sockaddr*>(&sun);
  info.ai_addrlen = sizeof(sun);
  EXPECT_FALSE(IPFromAddrInfo(&info, &ip));

  info.ai_addr = nullptr;
  EXPECT_FALSE(IPFromAddrInfo(&info, &ip));
  EXPECT_FALSE(IPFromAddrInfo(nullptr, &ip));
}

TEST(IPAddressTest, AnyAndLoopbackExistForBothFamiliesOnly) {
  EXPECT_EQ(GetAnyIP(AF_INET).ToString(), "0.0.0.0");
  EXPECT_EQ(GetAnyIP(AF_INET6).ToString(), "::");
  EXPECT_EQ(GetLoopbackIP(AF_INET).ToString(), "127.0.0.1");
  EXPECT_EQ(GetLoopbackIP(AF_INET6).ToString(), "::1");
  EXPECT_TRUE(GetAnyIP(AF_UNIX).IsNil());
  EXPECT_TRUE(GetLoopbackIP(AF_UNSPEC).IsNil());
}

}  // namespace
}  // namespace rtc
