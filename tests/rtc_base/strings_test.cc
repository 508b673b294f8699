// Text helpers: escaping, hex, tokenizing, wildcards, builders, and IP and socket address
// parsing, printing and classification.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "rtc_base/net/ip_address.h"
#include "rtc_base/net/socket_address.h"
#include "rtc_base/strings/string_builder.h"
#include "rtc_base/strings/string_encode.h"
#include "rtc_base/strings/string_utils.h"

// Counts heap allocations, to show that SimpleStringBuilder never allocates.
namespace {
std::atomic<int> g_allocations{0};
}  // namespace
void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

namespace rtc {
namespace {

using ::testing::ElementsAre;

std::string RandomBytes(std::mt19937* rng, size_t len) {
  std::string s(len, '\0');
  for (char& c : s) c = static_cast<char>((*rng)() & 0xff);
  return s;
}

IPAddress Ip(const std::string& text) {
  IPAddress ip;
  EXPECT_TRUE(IPFromString(text, &ip)) << text;
  return ip;
}

TEST(EncodeTest, EncodeStopsBeforeAnEscapeThatDoesNotFitAndDecodeKeepsInvalidOnes) {
  char buf[16];
  EXPECT_EQ(1u, encode(buf, 4, "a b", 3, " ", '%'));
  EXPECT_STREQ("a", buf);
  const char high[] = {'\x80', '\0', '%'};
  EXPECT_EQ(7u, encode(buf, sizeof(buf), high, 3, nullptr, '%'));
  EXPECT_STREQ("\x80%00%25", buf);
  EXPECT_EQ(0u, encode(buf, 1, "a", 1, "", '%'));
  EXPECT_EQ('\0', buf[0]);
  // Incomplete or invalid escapes decode as they stand.
  EXPECT_EQ(3u, decode(buf, sizeof(buf), "%zz", 3, '%'));
  EXPECT_EQ(2u, decode(buf, sizeof(buf), "%4a%", 4, '%'));
  EXPECT_EQ(0, memcmp("J%", buf, 2));
}

TEST(EncodeTest, FileNamesFromUrlsCannotLeaveTheirFolder) {
  const std::string id = "GET_http://h/../../etc\\x:y\x01";
  char buf[128];
  const size_t n =
      encode(buf, sizeof(buf), id.data(), id.size(), unsafe_filename_characters(), '%');
  const std::string name(buf, n);
  EXPECT_EQ("GET_http%3a%2f%2fh%2f..%2f..%2fetc%5cx%3ay%01", name);
  char back[128];
  EXPECT_EQ(id, std::string(back, decode(back, sizeof(back), name.data(), name.size(), '%')));
}

TEST(EncodeTest, EncodeAndHexRoundTripRandomBytes) {
  std::mt19937 rng(1);
  for (int i = 1; i < 200; ++i) {
    const std::string src = RandomBytes(&rng, i % 60);
    std::vector<char> out(src.size() * 3 + 1), back(src.size() + 1);
    const size_t n =
        encode(out.data(), out.size(), src.data(), src.size(), unsafe_filename_characters(), '%');
    ASSERT_EQ(n, strlen(out.data())) << "encoded text holds no NUL";
    ASSERT_EQ(src, std::string(back.data(), decode(back.data(), back.size(), out.data(), n, '%')));
    const std::string delimited = hex_encode_with_delimiter(src.data(), src.size(), ':');
    ASSERT_EQ(src.size(), hex_decode_with_delimiter(back.data(), back.size(), delimited, ':'));
    ASSERT_EQ(src, std::string(back.data(), src.size()));
    ASSERT_EQ(src.size() * 2, hex_encode(src).size());
  }
}

TEST(HexTest, DecodeFollowsTheExactRules) {
  EXPECT_EQ("00:0a:ff", hex_encode_with_delimiter("\x00\x0a\xff", 3, ':'));
  char buf[8] = {};
  const struct {
    const char* text;
    char delimiter;
    size_t room;
    size_t decoded;
  } cases[] = {
      {"0a:ff", ':', 8, 2}, {"0a:ff:", ':', 8, 0}, {"0a;ff", ':', 8, 0}, {"0a:f", ':', 8, 0},
      {"", ':', 8, 0},      {"0a", ':', 0, 0},     {"AbCd", 0, 8, 2},    {"abc", 0, 8, 0},
      {"zz", 0, 8, 0},      {"0102", 0, 1, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.decoded,
              hex_decode_with_delimiter(buf, c.room, c.text, strlen(c.text), c.delimiter))
        << c.text;
  EXPECT_EQ(0u, hex_decode(buf, sizeof(buf), "0102zz", 6));
  EXPECT_EQ(0x0102, buf[0] << 8 | buf[1]) << "decoded bytes stay on failure";
}

TEST(TokenizeTest, DropsOrKeepsEmptyFields) {
  std::vector<std::string> fields = {"old"};
  EXPECT_EQ(2u, tokenize("a  b", ' ', &fields));
  EXPECT_THAT(fields, ElementsAre("a", "b"));
  EXPECT_EQ(2u, tokenize("a,,b,", ',', &fields));
  EXPECT_EQ(0u, tokenize("", ',', &fields));
  EXPECT_EQ(3u, tokenize_with_empty_tokens("a  b", ' ', &fields));
  EXPECT_THAT(fields, ElementsAre("a", "", "b"));
  EXPECT_EQ(3u, split("a,b,", ',', &fields));
  EXPECT_THAT(fields, ElementsAre("a", "b", ""));
  EXPECT_EQ(3u, tokenize_append("a b", ' ', &(fields = {"x"})));
  EXPECT_THAT(fields, ElementsAre("x", "a", "b"));
}

TEST(TokenizeTest, MarkedTextStaysOneField) {
  const struct {
    const char* text;
    char delimiter;
    std::vector<std::string> fields;
  } cases[] = {
      {"a, {b c}, d", ',', {"a", "b c", " d"}},
      {"a {b c} {d} e", ' ', {"a", "b c", "d", "e"}},
      {"{a b} c", ' ', {"a b", "c"}},
      {"{x}", ' ', {"x"}},
      {"a {b c", ' ', {"a", "{b", "c"}},  // Unmatched marks are plain text.
      {"a} b", ' ', {"a}", "b"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> fields;
    EXPECT_EQ(c.fields.size(), tokenize(c.text, c.delimiter, '{', '}', &fields)) << c.text;
    EXPECT_EQ(c.fields, fields) << c.text;
  }
  std::string token = "t", rest = "r";
  EXPECT_FALSE(tokenize_first("abc", ' ', &token, &rest));
  EXPECT_TRUE(tokenize_first("a   b c", ' ', &token, &rest));
  EXPECT_EQ("a|b c", token + "|" + rest);
  EXPECT_EQ("h2,http/1.1,", join({"h2", "http/1.1", ""}, ','));
}

TEST(StringMatchTest, WildcardMatchesAnyRunCaseInsensitively) {
  const struct {
    const char* target;
    const char* pattern;
    bool match;
  } cases[] = {
      {"xyz.abc", "*.ABC", true},
      {"abc", "a*", true},
      {"", "*", true},
      {"a.b.c", "a*b*c", true},
      {"", "", true},
      {"ab", "a", false},
      {"a", "ab", false},
      {"x", "", false},
      {"abc", "*b", false},
      {"xyz.abd", "*.ABC", false},
      {"host.lan", "**.lan", false},  // A second star is literal.
      {"x*.lan", "**.lan", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.match, string_match(c.target, c.pattern)) << c.target << " ~ " << c.pattern;
  // Polynomial, not exponential, in the number of stars.
  const std::string target(255, 'a');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(string_match(target.c_str(), "*a*a*a*a*a*a*a*a*a*a*a*a*b"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(StringUtilsTest, NumbersPrintLikePrintfAndOnlyExactWordsParse) {
  EXPECT_EQ("-2147483648", ToString(-2147483647 - 1));
  EXPECT_EQ("18446744073709551615", ToString(18446744073709551615ULL));
  bool b = true;
  EXPECT_FALSE(FromString(" true", &b) || FromString("True", &b));
}

TEST(StringBuilderTest, SimpleBuilderTruncatesKeepsTheTerminatorAndNeverAllocates) {
  char buf[10];
  const int before = g_allocations.load();
  SimpleStringBuilder sb(buf);
  sb << "ab";
  sb.AppendFormat("%d-%s", 12345, "xyzxyz");
  EXPECT_STREQ("ab12345-x", sb.str());
  EXPECT_EQ(9u, sb.size());
  sb << 'x' << 42 << 1.5;
  sb.AppendFormat("%d", 1);
  EXPECT_STREQ("ab12345-x", sb.str());
  EXPECT_EQ(before, g_allocations.load());
  char one[1] = {'z'};
  SimpleStringBuilder tiny(one);
  tiny << "abc" << 7;
  EXPECT_EQ('\0', one[0]);
}

TEST(StringBuilderTest, AppendFormatHandlesLongOutputWithManyArguments) {
  const std::string chunk(1500, 'q');
  StringBuilder sb("start:");
  sb.AppendFormat("%s|%d|%lld|%s|%c", chunk.c_str(), -1, 1234567890123LL, chunk.c_str(), 'z');
  const std::string expected = "start:" + chunk + "|-1|1234567890123|" + chunk + "|z";
  EXPECT_EQ(expected, sb.str());
  sb.AppendFormat("%s", "");
  EXPECT_EQ(expected, sb.Release());
  EXPECT_EQ("", sb.str());
}

TEST(IPAddressTest, TextRoundTripsToTheCanonicalFormAndMalformedTextIsRejected) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"255.255.255.255", "255.255.255.255"},
      {"0:0:0:0:0:0:0:0", "::"},
      {"FE80::1", "fe80::1"},
      {"2001:0db8:85a3:0000:0000:8a2e:0370:7334", "2001:db8:85a3::8a2e:370:7334"},
      {"1:0:0:1:0:0:0:1", "1:0:0:1::1"},
      {"::ffff:0:0", "::ffff:0.0.0.0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ip(c.in).ToString(), c.out);
    EXPECT_EQ(Ip(Ip(c.in).ToString()), Ip(c.in));
  }
  const std::string rejects[] = {
      "",
      "1.2.3",
      "1.2.3.256",
      "1.2.3.4 ",
      "::1::2",
      "12345::",
      "[::1]",
      "fe80::1%eth0",
      "localhost",
      "1.2.3.4:80",
      std::string("1.2.3.4\0x", 9),
  };
  for (const std::string& text : rejects) {
    IPAddress ip(0x01020304u);
    EXPECT_FALSE(IPFromString(text, &ip)) << text;
    EXPECT_TRUE(ip.IsNil()) << text;
  }
  EXPECT_EQ(Ip("1.2.3.4").AsIPv6Address(), Ip("::ffff:1.2.3.4"));
  EXPECT_EQ(Ip("::ffff:1.2.3.4").Normalized(), Ip("1.2.3.4"));
  EXPECT_EQ(Ip("::1.2.3.4").Normalized(), Ip("::1.2.3.4"));
}

TEST(IPAddressTest, OrderingPutsFamiliesFirstThenTheNumericValue) {
  EXPECT_LT(Ip("255.255.255.255"), Ip("::"));
  EXPECT_LT(Ip("1.0.0.2"), Ip("2.0.0.1")) << "host order, not the stored word";
  EXPECT_LT(Ip("::ff"), Ip("::100"));
  EXPECT_FALSE(IPAddress() < IPAddress());
  EXPECT_NE(Ip("::ffff:1.2.3.4"), Ip("1.2.3.4"));
}

TEST(IPAddressTest, ClassificationHoldsExactlyInsideEachPrefix) {
  const struct {
    bool (*predicate)(const IPAddress&);
    const char* name;
    std::vector<const char*> in, out;  // Each range's first and last address, and neighbours.
  } cases[] = {
      {IPIsAny, "any", {"0.0.0.0", "::", "::ffff:0.0.0.0"}, {"0.0.0.1", "::1"}},
      {IPIsLoopback,
       "loopback",
       {"127.0.0.0", "127.255.255.255", "::1"},
       {"126.255.255.255", "128.0.0.0", "::2", "::ffff:127.0.0.1"}},
      {IPIsLinkLocal,
       "linklocal",
       {"169.254.0.0", "169.254.255.255", "fe80::", "febf:ffff::"},
       {"169.253.255.255", "169.255.0.0", "fe7f:ffff::", "fec0::"}},
      {IPIsPrivateNetwork,
       "private",
       {"10.0.0.0", "10.255.255.255", "172.16.0.0", "172.31.255.255", "192.168.0.0",
        "192.168.255.255", "fd00::", "fdff:ffff::"},
       {"9.255.255.255", "11.0.0.0", "172.15.255.255", "172.32.0.0", "192.167.255.255",
        "192.169.0.0", "fcff:ffff::", "fe00::"}},
      {IPIsSharedNetwork,
       "shared",
       {"100.64.0.0", "100.127.255.255"},
       {"100.63.255.255", "100.128.0.0", "::ffff:100.64.0.0"}},
      {IPIsPrivate,
       "private or local",
       {"127.0.0.1", "100.64.0.1", "169.254.1.1", "::1"},
       {"8.8.8.8", "2001:db8::1"}},
      {IPIsV4Mapped,
       "mapped",
       {"::ffff:0:0", "::ffff:255.255.255.255"},
       {"::fffe:ffff:ffff", "0:0:0:0:1:ffff::", "1.2.3.4"}},
  };
  for (const auto& c : cases) {
    for (const char* address : c.in) EXPECT_TRUE(c.predicate(Ip(address))) << c.name << address;
    for (const char* address : c.out) EXPECT_FALSE(c.predicate(Ip(address))) << c.name << address;
    EXPECT_FALSE(c.predicate(IPAddress())) << c.name << " of the unspecified address";
  }
}

TEST(SocketAddressTest, FromStringParsesHostAndPortAndRefusesTheRest) {
  const struct {
    const char* text;
    const char* hostname;
    bool literal;
    int port;
  } cases[] = {
      {"1.2.3.4:5678", "1.2.3.4", true, 5678},
      {"[::1]:80", "::1", true, 80},
      {"[::ffff:1.2.3.4]:65535", "::ffff:1.2.3.4", true, 65535},
      {"gateway.test:443", "gateway.test", false, 443},
      {"h:00080", "h", false, 80},
  };
  for (const auto& c : cases) {
    SocketAddress addr;
    ASSERT_TRUE(addr.FromString(c.text)) << c.text;
    EXPECT_EQ(addr.hostname(), c.hostname);
    EXPECT_EQ(addr.port(), c.port);
    EXPECT_EQ(addr.literal(), c.literal);
    EXPECT_EQ(addr.IsUnresolvedIP(), !c.literal);
    SocketAddress again;
    ASSERT_TRUE(again.FromString(addr.ToString()));
    EXPECT_EQ(again, addr) << c.text;
  }
  const char* rejects[] = {
      "",         "[::1",     "[::1]:",     "[::1]x:80", "[]:80",       "::1:80",
      "1.2.3.4",  "host:",    ":80",        "host:abc",  "host:65536",  "host:-1",
      "host:+80", "host: 80", "host:80:90", "[::1]:80x", "[::1]:99999",
  };
  for (const char* text : rejects) {
    SocketAddress addr("127.0.0.1", 7080);
    EXPECT_FALSE(addr.FromString(text)) << '"' << text << '"';
    EXPECT_EQ(addr.ToString(), "127.0.0.1:7080") << text;
  }
}

TEST(SocketAddressTest, NamesResolutionAndPrinting) {
  SocketAddress addr("gateway.test", 443);
  EXPECT_TRUE(addr.IsUnresolvedIP());
  EXPECT_TRUE(addr.IsComplete()) << "an unspecified IP is not an any-address";
  addr.SetResolvedIP(Ip("127.0.0.2"));
  EXPECT_EQ(addr.hostname(), "gateway.test");
  EXPECT_TRUE(addr.IsLoopbackIP());
  addr.SetIP(Ip("127.0.0.3"));
  EXPECT_EQ(addr.ToString(), "127.0.0.3:443");
  EXPECT_EQ(SocketAddress("2001:DB8:0::1", 443).ToString(), "[2001:db8::1]:443");
  addr.SetPort(70000);
  EXPECT_EQ(addr.port(), 4464);
}

TEST(SocketAddressTest, OrderingIsAStrictWeakOrderThatAgreesWithEqualityAndHash) {
  SocketAddress a("alpha.test", 80), b("beta.test", 80);
  a.SetResolvedIP(Ip("127.0.0.1"));
  b.SetResolvedIP(Ip("127.0.0.1"));
  EXPECT_EQ(a, b) << "resolved to the same IP, the names no longer matter";
  a.SetResolvedIP(GetAnyIP(AF_INET));
  b.SetResolvedIP(GetAnyIP(AF_INET));
  EXPECT_LT(a, b) << "the any-address keeps its name";
  std::mt19937 rng(99);
  const char* hosts[] = {"a.test", "b.test", "1.2.3.4", "::1", "0.0.0.0", ""};
  std::vector<SocketAddress> addrs;
  for (int i = 0; i < 50; ++i) {
    SocketAddress addr(hosts[rng() % 6], static_cast<int>(rng() % 3));
    if (rng() % 4 == 0) addr.SetResolvedIP(GetAnyIP(AF_INET));
    addrs.push_back(addr);
  }
  for (const SocketAddress& x : addrs) {
    for (const SocketAddress& y : addrs) {
      EXPECT_EQ(!(x < y) && !(y < x), x == y) << x << " " << y;
      if (x == y) EXPECT_EQ(x.Hash(), y.Hash());
      for (const SocketAddress& z : addrs)
        if (x < y && y < z) EXPECT_TRUE(x < z);
    }
  }
}

TEST(SocketAddressTest, SockAddrConversionsKeepEveryFieldAndTheKernelAgrees) {
  sockaddr_storage storage;
  memset(&storage, 0xAB, sizeof(storage));
  ASSERT_EQ(SocketAddress(Ip("192.168.1.2"), 0x1234).ToSockAddrStorage(&storage), 16u);
  const auto* sin = reinterpret_cast<const sockaddr_in*>(&storage);
  EXPECT_EQ(sin->sin_port, htons(0x1234));
  EXPECT_EQ(sin->sin_addr.s_addr, htonl(0xC0A80102));
  const auto* bytes = reinterpret_cast<const uint8_t*>(&storage);
  for (size_t i = sizeof(sockaddr_in); i < sizeof(storage); ++i) ASSERT_EQ(bytes[i], 0) << i;

  SocketAddress scoped(Ip("fe80::1"), 443);
  scoped.SetScopeID(3);
  ASSERT_EQ(scoped.ToSockAddrStorage(&storage), 28u);
  SocketAddress back;
  ASSERT_TRUE(SocketAddressFromSockAddrStorage(storage, &back));
  EXPECT_EQ(back, scoped);
  EXPECT_EQ(back.scope_id(), 3);

  for (int family : {AF_INET, AF_INET6}) {
    const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const socklen_t len =
        static_cast<socklen_t>(SocketAddress(GetLoopbackIP(family), 0).ToSockAddrStorage(&storage));
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), len) != 0) {
      close(fd);
      continue;  // No IPv6 loopback here.
    }
    socklen_t out_len = sizeof(storage);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &out_len), 0);
    close(fd);
    ASSERT_TRUE(SocketAddressFromSockAddrStorage(storage, &back));
    EXPECT_EQ(back.ipaddr(), GetLoopbackIP(family));
    EXPECT_NE(back.port(), 0);
  }
}

}  // namespace
}  // namespace rtc
