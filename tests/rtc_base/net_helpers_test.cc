#include "rtc_base/net_helpers.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

namespace rtc {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> Texts(const std::vector<IPAddress>& ips) {
  std::vector<std::string> out;
  for (const IPAddress& ip : ips) out.push_back(ip.ToString());
  return out;
}

TEST(ResolveHostnameTest, NumericAddressesResolveToThemselves) {
  std::vector<IPAddress> ips;
  ASSERT_EQ(0, ResolveHostname("127.0.0.1", AF_UNSPEC, &ips));
  EXPECT_THAT(Texts(ips), ElementsAre("127.0.0.1"));
  ASSERT_EQ(0, ResolveHostname("127.0.0.1", AF_INET, &ips));
  EXPECT_THAT(Texts(ips), ElementsAre("127.0.0.1"));
  ASSERT_EQ(0, ResolveHostname("::1", AF_UNSPEC, &ips));
  EXPECT_THAT(Texts(ips), ElementsAre("::1"));
}

TEST(ResolveHostnameTest, LocalhostComesFromTheHostsFileOnce) {
  std::vector<IPAddress> ips;
  ASSERT_EQ(0, ResolveHostname("localhost", AF_UNSPEC, &ips));
  ASSERT_FALSE(ips.empty());
  for (size_t i = 0; i < ips.size(); ++i) {
    EXPECT_TRUE(IPIsLoopback(ips[i])) << ips[i].ToString();
    for (size_t j = 0; j < i; ++j) EXPECT_FALSE(ips[i] == ips[j]);
  }
}

TEST(ResolveHostnameTest, AFamilyMismatchIsAnErrorAndClearsTheList) {
  std::vector<IPAddress> ips = {IPAddress(in_addr{htonl(0x01020304)})};
  int error = ResolveHostname("127.0.0.1", AF_INET6, &ips);
  EXPECT_NE(0, error);
  EXPECT_TRUE(ips.empty());
  EXPECT_EQ(-1, ResolveHostname("127.0.0.1", AF_UNSPEC, nullptr));
}

// A getaddrinfo of our own, so that no name server is ever asked. It knows
// "dual.test" (IPv4 and IPv6, each listed twice and under several socket
// types) and nothing else.
struct FakeResolver {
  static int calls;
  static struct addrinfo last_hints;

  static struct addrinfo* Entry(int family, const char* text, int socktype) {
    auto* info = new addrinfo();
    info->ai_family = family;
    info->ai_socktype = socktype;
    if (family == AF_INET) {
      auto* sin = new sockaddr_in();
      sin->sin_family = AF_INET;
      ::inet_pton(AF_INET, text, &sin->sin_addr);
      info->ai_addr = reinterpret_cast<sockaddr*>(sin);
      info->ai_addrlen = sizeof(*sin);
    } else {
      auto* sin6 = new sockaddr_in6();
      sin6->sin6_family = AF_INET6;
      ::inet_pton(AF_INET6, text, &sin6->sin6_addr);
      info->ai_addr = reinterpret_cast<sockaddr*>(sin6);
      info->ai_addrlen = sizeof(*sin6);
    }
    return info;
  }

  static int GetAddrInfo(const char* node, const char*, const addrinfo* hints,
                         addrinfo** result) {
    ++calls;
    last_hints = *hints;
    if (strcmp(node, "dual.test") != 0) return EAI_NONAME;
    addrinfo* entries[] = {
        Entry(AF_INET, "10.0.0.1", SOCK_STREAM),
        Entry(AF_INET6, "fd00::1", SOCK_STREAM),
        Entry(AF_INET, "10.0.0.1", SOCK_DGRAM),
        Entry(AF_INET, "10.0.0.2", SOCK_STREAM),
        Entry(AF_INET6, "fd00::1", SOCK_STREAM),
    };
    for (size_t i = 0; i + 1 < std::size(entries); ++i) {
      entries[i]->ai_next = entries[i + 1];
    }
    *result = entries[0];
    return 0;
  }

  static void FreeAddrInfo(addrinfo* info) {
    while (info != nullptr) {
      addrinfo* next = info->ai_next;
      if (info->ai_family == AF_INET) {
        delete reinterpret_cast<sockaddr_in*>(info->ai_addr);
      } else {
        delete reinterpret_cast<sockaddr_in6*>(info->ai_addr);
      }
      delete info;
      info = next;
    }
  }
};
int FakeResolver::calls = 0;
struct addrinfo FakeResolver::last_hints;

class ResolveHostnameFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeResolver::calls = 0;
    SetGetAddrInfoForTesting(&FakeResolver::GetAddrInfo,
                             &FakeResolver::FreeAddrInfo);
  }
  void TearDown() override { SetGetAddrInfoForTesting(nullptr, nullptr); }
};

TEST_F(ResolveHostnameFakeTest, AsksForStreamAddressesOfConfiguredFamilies) {
  std::vector<IPAddress> ips;
  ASSERT_EQ(0, ResolveHostname("dual.test", AF_UNSPEC, &ips));
  EXPECT_EQ(1, FakeResolver::calls);
  EXPECT_EQ(AF_UNSPEC, FakeResolver::last_hints.ai_family);
  EXPECT_EQ(SOCK_STREAM, FakeResolver::last_hints.ai_socktype);
  EXPECT_EQ(AI_ADDRCONFIG, FakeResolver::last_hints.ai_flags);
}

TEST_F(ResolveHostnameFakeTest, KeepsTheOrderAndDropsRepeatedAddresses) {
  std::vector<IPAddress> ips;
  ASSERT_EQ(0, ResolveHostname("dual.test", AF_UNSPEC, &ips));
  EXPECT_THAT(Texts(ips), ElementsAre("10.0.0.1", "fd00::1", "10.0.0.2"));
  ASSERT_EQ(0, ResolveHostname("dual.test", AF_INET6, &ips));
  EXPECT_THAT(Texts(ips), ElementsAre("fd00::1"));
}

TEST_F(ResolveHostnameFakeTest, PassesTheResolverErrorOn) {
  std::vector<IPAddress> ips;
  EXPECT_EQ(EAI_NONAME, ResolveHostname("nothing.test", AF_UNSPEC, &ips));
  EXPECT_TRUE(ips.empty());
}

TEST(NetHelpersTest, InetWrappersRoundTrip) {
  in6_addr addr6;
  ASSERT_EQ(1, rtc::inet_pton(AF_INET6, "fd00::2", &addr6));
  char text[INET6_ADDRSTRLEN];
  ASSERT_NE(nullptr, rtc::inet_ntop(AF_INET6, &addr6, text, sizeof(text)));
  EXPECT_STREQ("fd00::2", text);
  in_addr addr4;
  EXPECT_EQ(0, rtc::inet_pton(AF_INET, "300.1.1.1", &addr4));
  EXPECT_EQ(nullptr, rtc::inet_ntop(AF_INET, &addr4, text, 4));
}

TEST(NetHelpersTest, InterfaceFamiliesMatchTheKernelsList) {
  // Loopback always carries 127.0.0.1.
  EXPECT_TRUE(HasIPv4Enabled());
  std::ifstream inet6("/proc/net/if_inet6");
  std::string line;
  bool kernel_has_ipv6 = static_cast<bool>(std::getline(inet6, line));
  EXPECT_EQ(kernel_has_ipv6, HasIPv6Enabled());
}

}  // namespace
}  // namespace rtc
