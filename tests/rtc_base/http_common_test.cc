#include "rtc_base/http_common.h"

#include <stdlib.h>
#include <time.h>

#include <string>

#include "gtest/gtest.h"
#include "rtc_base/memory_stream.h"
#include "rtc_base/socket_address.h"

namespace rtc {
namespace {

TEST(HttpCommonTest, TablesRoundTripWithoutRegardToCase) {
  for (int i = 0; i <= HH_LAST; ++i) {
    HttpHeader header;
    std::string text = ToString(static_cast<HttpHeader>(i));
    for (char& c : text)
      c = static_cast<char>(tolower(c));
    ASSERT_TRUE(FromString(header, text)) << text;
    EXPECT_EQ(i, header);
  }
  EXPECT_STREQ("WWW-Authenticate", ToString(HH_WWW_AUTHENTICATE));
  EXPECT_STREQ("TE", ToString(HH_TE));
  HttpVerb verb;
  EXPECT_TRUE(FromString(verb, "options"));
  EXPECT_EQ(HV_OPTIONS, verb);
  EXPECT_FALSE(FromString(verb, "PATCH"));
  HttpVersion version;
  EXPECT_TRUE(FromString(version, "1.0"));
  EXPECT_EQ(HVER_1_0, version);
  EXPECT_STREQ("Unknown", ToString(HVER_UNKNOWN));
  EXPECT_TRUE(MatchHeader("content-LENGTH", 14, HH_CONTENT_LENGTH));
  EXPECT_FALSE(MatchHeader("Content-Length2", 15, HH_CONTENT_LENGTH));
  EXPECT_FALSE(MatchHeader("Content-Lengt", 13, HH_CONTENT_LENGTH));
}

TEST(HttpCommonTest, HeaderClasses) {
  EXPECT_FALSE(HttpCodeHasBody(100));
  EXPECT_FALSE(HttpCodeHasBody(199));
  EXPECT_FALSE(HttpCodeHasBody(204));
  EXPECT_FALSE(HttpCodeHasBody(304));
  EXPECT_TRUE(HttpCodeHasBody(200));
  EXPECT_TRUE(HttpCodeHasBody(500));
  EXPECT_TRUE(HttpCodeIsCacheable(410));
  EXPECT_FALSE(HttpCodeIsCacheable(302));
  EXPECT_FALSE(HttpHeaderIsEndToEnd(HH_TRANSFER_ENCODING));
  EXPECT_TRUE(HttpHeaderIsEndToEnd(HH_CONTENT_TYPE));
  EXPECT_FALSE(HttpHeaderIsCollapsible(HH_SET_COOKIE));
  EXPECT_TRUE(HttpHeaderIsCollapsible(HH_CACHE_CONTROL));
}

TEST(HttpCommonTest, KeepAliveFollowsProxyConnectionThenConnectionThenVersion) {
  HttpResponseData r;
  EXPECT_TRUE(HttpShouldKeepAlive(r));
  r.version = HVER_1_0;
  EXPECT_FALSE(HttpShouldKeepAlive(r));
  r.version = HVER_UNKNOWN;
  EXPECT_TRUE(HttpShouldKeepAlive(r));
  r.setHeader(HH_CONNECTION, "keep-alive");
  r.version = HVER_1_0;
  EXPECT_TRUE(HttpShouldKeepAlive(r));
  r.setHeader(HH_PROXY_CONNECTION, "close");
  EXPECT_FALSE(HttpShouldKeepAlive(r));
}

TEST(HttpCommonTest, ChangeHeaderCombineRules) {
  HttpRequestData r;
  r.changeHeader("Cache-Control", "a", HttpData::HC_AUTO);
  r.changeHeader("cache-control", "b", HttpData::HC_AUTO);
  r.changeHeader("Set-Cookie", "x", HttpData::HC_AUTO);
  r.changeHeader("Set-Cookie", "y", HttpData::HC_AUTO);
  r.changeHeader("X-New", "1", HttpData::HC_NEW);
  r.changeHeader("X-New", "2", HttpData::HC_NEW);
  r.changeHeader("X-No", "1", HttpData::HC_NO);
  r.changeHeader("X-No", "2", HttpData::HC_NO);
  r.changeHeader("X-Yes", "1", HttpData::HC_YES);
  r.changeHeader("X-Yes", "2", HttpData::HC_YES);
  r.changeHeader("X-No", "3", HttpData::HC_REPLACE);

  std::string value;
  ASSERT_TRUE(r.hasHeader("CACHE-CONTROL", &value));
  EXPECT_EQ("a,b", value);
  EXPECT_EQ(2, std::distance(r.begin("Set-Cookie"), r.end("Set-Cookie")));
  ASSERT_TRUE(r.hasHeader("Set-Cookie", &value));
  EXPECT_EQ("x", value);  // The first added comes first.
  ASSERT_TRUE(r.hasHeader("X-New", &value));
  EXPECT_EQ("1", value);
  EXPECT_EQ(1, std::distance(r.begin("X-No"), r.end("X-No")));
  ASSERT_TRUE(r.hasHeader("X-No", &value));
  EXPECT_EQ("3", value);
  ASSERT_TRUE(r.hasHeader("X-Yes", &value));
  EXPECT_EQ("1,2", value);
  EXPECT_EQ(2u, r.clearHeader("set-cookie"));
  EXPECT_FALSE(r.hasHeader("Set-Cookie", nullptr));
}

TEST(HttpCommonTest, SetContentChoosesLengthOrChunkedAndDropsTheOther) {
  HttpRequestData r;
  r.setHeader(HH_TRANSFER_ENCODING, "chunked");
  r.setContent("text/plain", new MemoryStream(std::string(200, 'x').data(), 200));
  std::string value;
  ASSERT_TRUE(r.hasHeader(HH_CONTENT_LENGTH, &value));
  EXPECT_EQ("200", value);
  EXPECT_FALSE(r.hasHeader(HH_TRANSFER_ENCODING, nullptr));
  ASSERT_TRUE(r.hasHeader(HH_CONTENT_TYPE, &value));
  EXPECT_EQ("text/plain", value);

  // A stream that cannot report its size goes chunked.
  r.setContent("text/plain", new NullStream());
  EXPECT_FALSE(r.hasHeader(HH_CONTENT_LENGTH, nullptr));
  ASSERT_TRUE(r.hasHeader(HH_TRANSFER_ENCODING, &value));
  EXPECT_EQ("chunked", value);
}

TEST(HttpCommonTest, RequestLeaderRoundTrips) {
  HttpRequestData r;
  r.verb = HV_POST;
  r.path = "/api/v1?x=1";
  char buffer[64];
  size_t len = r.formatLeader(buffer, sizeof(buffer));
  EXPECT_EQ("POST /api/v1?x=1 HTTP/1.1", std::string(buffer, len));

  HttpRequestData parsed;
  EXPECT_EQ(HE_NONE, parsed.parseLeader(buffer, len));
  EXPECT_EQ(HV_POST, parsed.verb);
  EXPECT_EQ("/api/v1?x=1", parsed.path);
  EXPECT_EQ(HE_NONE, parsed.parseLeader("get / HTTP/1.0", 14));
  EXPECT_EQ(HV_GET, parsed.verb);
  EXPECT_EQ(HVER_1_0, parsed.version);
  EXPECT_EQ(HE_PROTOCOL, parsed.parseLeader("FETCH / HTTP/1.1", 16));
  EXPECT_EQ(HE_PROTOCOL, parsed.parseLeader("GET / HTTP/2.0", 14));
  EXPECT_EQ(HE_PROTOCOL, parsed.parseLeader("GET /", 5));
}

TEST(HttpCommonTest, LeaderIsTruncatedToTheBufferAndReportsWhatFits) {
  HttpRequestData r;
  r.path = std::string(100, 'p');
  char buffer[16];
  size_t len = r.formatLeader(buffer, sizeof(buffer));
  EXPECT_EQ(15u, len);
  EXPECT_EQ('\0', buffer[15]);

  HttpResponseData resp;
  resp.scode = 404;
  resp.message = "Not Found";
  char big[64];
  len = resp.formatLeader(big, sizeof(big));
  EXPECT_EQ("HTTP/1.1 404 Not Found", std::string(big, len));
  len = resp.formatLeader(buffer, 14);
  EXPECT_EQ(13u, len);
  EXPECT_EQ("HTTP/1.1 404 ", std::string(buffer, len));
}

TEST(HttpCommonTest, ResponseConvenienceSetters) {
  HttpResponseData r;
  EXPECT_EQ(500u, r.scode);
  r.message = "old";
  r.set_redirect("http://127.0.0.1/next", 302);
  EXPECT_EQ(302u, r.scode);
  EXPECT_TRUE(r.message.empty());
  std::string value;
  ASSERT_TRUE(r.hasHeader(HH_LOCATION, &value));
  EXPECT_EQ("http://127.0.0.1/next", value);
  ASSERT_TRUE(r.hasHeader(HH_CONTENT_LENGTH, &value));
  EXPECT_EQ("0", value);
  r.clear(true);
  EXPECT_EQ(500u, r.scode);
  EXPECT_FALSE(r.hasHeader(HH_LOCATION, nullptr));
}

TEST(HttpCommonTest, AbsoluteAndRelativeUris) {
  HttpRequestData r;
  r.path = "/p?q";
  std::string uri, host, path;
  EXPECT_FALSE(r.getAbsoluteUri(&uri));  // No Host header.
  r.setHeader(HH_HOST, "127.0.0.1:8080");
  ASSERT_TRUE(r.getAbsoluteUri(&uri));
  EXPECT_EQ("http://127.0.0.1:8080/p?q", uri);
  ASSERT_TRUE(r.getRelativeUri(&host, &path));
  EXPECT_EQ("127.0.0.1:8080", host);
  EXPECT_EQ("/p?q", path);

  r.path = "https://example:443/a?b";
  ASSERT_TRUE(r.getAbsoluteUri(&uri));
  EXPECT_EQ(r.path, uri);
  ASSERT_TRUE(r.getRelativeUri(&host, &path));
  EXPECT_EQ("example", host);
  EXPECT_EQ("/a?b", path);

  r.verb = HV_CONNECT;
  EXPECT_FALSE(r.getAbsoluteUri(&uri));
  EXPECT_FALSE(r.getRelativeUri(&host, &path));
}

TEST(HttpCommonTest, UrlParsesSchemeAddressPathAndQuery) {
  for (const char* text : {"HTTPS://Example:8443/a/b?x=1",
                           "https://user:pw@Example:8443/a/b?x=1#frag"}) {
    Url<char> url(text);
    EXPECT_TRUE(url.valid()) << text;
    EXPECT_TRUE(url.secure());
    EXPECT_EQ("Example", url.host());
    EXPECT_EQ(8443, url.port());
    EXPECT_EQ("/a/b", url.path());
    EXPECT_EQ("?x=1", url.query());
    EXPECT_EQ("Example:8443", url.address());
    EXPECT_EQ("https://Example:8443/a/b?x=1", url.url());
  }
  Url<char> plain("http://h");
  EXPECT_EQ("/", plain.path());
  EXPECT_EQ(80, plain.port());
  EXPECT_EQ("h", plain.address());
  EXPECT_FALSE(plain.secure());

  Url<char> query_only("http://h?x=1");
  EXPECT_EQ("h", query_only.host());
  EXPECT_EQ("/", query_only.path());
  EXPECT_EQ("?x=1", query_only.query());
}

TEST(HttpCommonTest, UrlAuthorityEndsBeforeQueryAndFragment) {
  Url<char> url("http://h?x=a@evil/");
  EXPECT_EQ("h", url.host());
  EXPECT_EQ("?x=a@evil/", url.query());
  Url<char> frag("http://h#@evil/");
  EXPECT_EQ("h", frag.host());
  EXPECT_EQ("/", frag.path());
  EXPECT_EQ("", frag.query());
}

TEST(HttpCommonTest, UrlHandlesBracketedIpv6Literals) {
  Url<char> url("http://[::1]:8080/x");
  ASSERT_TRUE(url.valid());
  EXPECT_EQ("::1", url.host());
  EXPECT_EQ(8080, url.port());
  EXPECT_EQ("[::1]:8080", url.address());
  Url<char> no_port("https://[fe80::1]/");
  EXPECT_EQ("fe80::1", no_port.host());
  EXPECT_EQ(443, no_port.port());
  EXPECT_EQ("https://[fe80::1]/", no_port.url());
}

TEST(HttpCommonTest, UrlRefusesWhatItCannotParse) {
  for (const char* text : {"ftp://h/", "/relative/path", "http://",
                           "http://h:70000/", "http://h:12ab/", "http://h:/",
                           "http://[::1/", "http://[::1]x/", "http://h:-1/"}) {
    Url<char> url(text);
    EXPECT_FALSE(url.valid()) << text;
    EXPECT_EQ("/", url.path()) << text;
  }
}

TEST(HttpCommonTest, UrlFromPathHostAndPort) {
  Url<char> url("/a?b=c&d", "127.0.0.1", 443);
  EXPECT_TRUE(url.secure());
  EXPECT_EQ("https://127.0.0.1/a?b=c&d", url.url());
  std::string value;
  EXPECT_TRUE(url.get_attribute("b", &value));
  EXPECT_EQ("c", value);
  EXPECT_TRUE(url.get_attribute("d", &value));
  EXPECT_EQ("", value);
  EXPECT_FALSE(url.get_attribute("c", &value));
}

TEST(HttpCommonTest, AttributeParsingOddities) {
  HttpAttributeList list;
  const std::string text = "abc== a==b x=\"q\\\"uo\\\\te\", y=plain,z";
  HttpParseAttributes(text.data(), text.size(), list);
  ASSERT_EQ(5u, list.size());
  EXPECT_EQ("abc==", list[0].first);
  EXPECT_EQ("", list[0].second);
  EXPECT_EQ("a=", list[1].first);
  EXPECT_EQ("b", list[1].second);
  EXPECT_EQ("x", list[2].first);
  EXPECT_EQ("q\"uo\\te", list[2].second);
  EXPECT_EQ("y", list[3].first);
  EXPECT_EQ("plain", list[3].second);
  EXPECT_EQ("z", list[4].first);

  HttpAttributeList unterminated;
  HttpParseAttributes("n=\"open", 7, unterminated);
  ASSERT_EQ(1u, unterminated.size());
  EXPECT_EQ("open", unterminated[0].second);
}

TEST(HttpCommonTest, ComposedAttributesParseBackUnchanged) {
  HttpAttributeList list = {{"realm", "a\"b\\"},
                            {"nonce", "x y"},
                            {"flag", ""},
                            {"end", "\\"}};
  std::string composed;
  HttpComposeAttributes(list, ',', &composed);
  EXPECT_EQ("realm=\"a\\\"b\\\\\", nonce=\"x y\", flag, end=\"\\\\\"",
            composed);
  HttpAttributeList parsed;
  HttpParseAttributes(composed.data(), composed.size(), parsed);
  EXPECT_EQ(list, parsed);

  std::string value;
  EXPECT_TRUE(HttpHasAttribute(parsed, "nonce", &value));
  EXPECT_EQ("x y", value);
  EXPECT_FALSE(HttpHasAttribute(parsed, "Nonce", &value));
  std::string name;
  EXPECT_TRUE(HttpHasNthAttribute(parsed, 2, &name, &value));
  EXPECT_EQ("flag", name);
  EXPECT_FALSE(HttpHasNthAttribute(parsed, 4, &name, &value));
  EXPECT_EQ("\"a\\\"b\\\\\"", quote("a\"b\\"));
}

class HttpDateTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    had_tz_ = old != nullptr;
    if (had_tz_)
      old_tz_ = old;
    setenv("TZ", GetParam(), 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_)
      setenv("TZ", old_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

// Expected values come from `date -u -d '<text>' +%s`.
TEST_P(HttpDateTest, ConvertsWhateverTheLocalZone) {
  struct {
    const char* text;
    time_t seconds;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"Sun, 06 Nov 1994 08:49:37 +0100", 784108177},
      {"Sun, 06 Nov 1994 08:49:37 gmt", 784111777},
      {"Sun, 06 Nov 1994 08:49:37 UT", 784111777},
      {"Sun, 06 Nov 1994 08:49:37 EST", 784111777 + 5 * 3600},
      {"Sun, 06 Nov 1994 08:49:37 PDT", 784111777 + 7 * 3600},
      {"Sun, 06 Nov 1994 08:49:37 Y", 784111777 - 12 * 3600},
      {"Sat, 15 Jul 2023 12:00:00 -0530", 1689442200},
      {"Tue, 29 Feb 2000 23:59:59 GMT", 951868799},
      {"Sun, 26 Mar 2023 02:30:00 GMT", 1679797800},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Sun, 06 NOV 1994 08:49:37 GMT", 784111777},
      {"Fri, 31 dec 1999 23:59:59 GMT", 946684799},
  };
  for (const auto& c : cases) {
    time_t seconds = -1;
    EXPECT_TRUE(HttpDateToSeconds(c.text, &seconds)) << c.text;
    EXPECT_EQ(c.seconds, seconds) << c.text;
  }
}

TEST_P(HttpDateTest, RefusesMalformedDates) {
  for (const char* text : {
           "", "Sun 06 Nov 1994 08:49:37 GMT", "Sunday, 06 Nov 1994 08:49:37 GMT",
           "Sun, 06 Nov 1994 08:49:37", "Sun, 06 Nov 1994 08:49:37 XYZ",
           "Sun, 06 Nov 1994 08:49:37 Z", "Sun, 06 Nov 1994 08:49:37 +01",
           "Sun, 06 Nov 1994 08:49:37 +01x0", "Sun, 06 Nov 1994 08:49:37 +0160",
           "Sun, 32 Jan 1994 08:49:37 GMT", "Sun, 30 Feb 1994 08:49:37 GMT",
           "Sun, 06 Nov 1994 24:00:00 GMT", "Sun, 06 Nov 1994 08:60:00 GMT",
           "Sun, 06 N1v 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08-49-37 GMT",
           "Sun, 06 Xyz 1994 08:49:37 GMT", "Sun, 06 Nkv 1994 08:49:37 GMT",
           "Sun, 06 Juy 1994 08:49:37 GMT", "Sun, 06 Qqr 1994 08:49:37 GMT"}) {
    time_t seconds = 12345;
    EXPECT_FALSE(HttpDateToSeconds(text, &seconds)) << text;
    EXPECT_EQ(12345, seconds) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Zones,
                         HttpDateTest,
                         ::testing::Values("UTC0",
                                           "CET-1CEST,M3.5.0,M10.5.0/3",
                                           "EST5EDT,M3.2.0,M11.1.0",
                                           "LHST-10:30LHDT-11,M10.1.0,M4.1.0"));

TEST(HttpCommonTest, HttpAddressBracketsIpv6AndOmitsDefaultPorts) {
  EXPECT_EQ("127.0.0.1", HttpAddress(SocketAddress("127.0.0.1", 80), false));
  EXPECT_EQ("127.0.0.1:80", HttpAddress(SocketAddress("127.0.0.1", 80), true));
  EXPECT_EQ("127.0.0.1", HttpAddress(SocketAddress("127.0.0.1", 443), true));
  EXPECT_EQ("[::1]", HttpAddress(SocketAddress("::1", 80), false));
  EXPECT_EQ("[::1]:8080", HttpAddress(SocketAddress("::1", 8080), false));
  EXPECT_EQ("localhost:81", HttpAddress(SocketAddress("localhost", 81), false));
}

}  // namespace
}  // namespace rtc
