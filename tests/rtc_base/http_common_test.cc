#include "rtc_base/http_common.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "gtest/gtest.h"
#include "rtc_base/memory_stream.h"
#include "rtc_base/socket_address.h"

namespace rtc {
namespace {

TEST(HttpCommonTest, HeaderNamesMatchWithoutRegardToCase) {
  for (int i = 0; i <= HH_LAST; ++i) {
    HttpHeader header;
    std::string text = ToString(static_cast<HttpHeader>(i));
    for (char& c : text)
      c = static_cast<char>(tolower(c));
    ASSERT_TRUE(FromString(header, text)) << text;
    EXPECT_EQ(i, header);
  }
  EXPECT_TRUE(MatchHeader("content-LENGTH", 14, HH_CONTENT_LENGTH));
  EXPECT_FALSE(MatchHeader("Content-Length2", 15, HH_CONTENT_LENGTH));
  EXPECT_FALSE(MatchHeader("Content-Lengt", 13, HH_CONTENT_LENGTH));
}

TEST(HttpCommonTest, KeepAliveFollowsProxyConnectionThenConnectionThenVersion) {
  struct Case {
    HttpVersion version;
    const char* connection;
    const char* proxy_connection;
    bool keep_alive;
  } cases[] = {
      {HVER_1_1, nullptr, nullptr, true},          {HVER_1_0, nullptr, nullptr, false},
      {HVER_UNKNOWN, nullptr, nullptr, true},      {HVER_1_0, "keep-alive", nullptr, true},
      {HVER_1_1, "close", nullptr, false},         {HVER_1_0, "keep-alive", "close", false},
      {HVER_1_0, nullptr, "Keep-Alive", true},
  };
  for (const Case& c : cases) {
    HttpResponseData r;
    r.version = c.version;
    if (c.connection)
      r.setHeader(HH_CONNECTION, c.connection);
    if (c.proxy_connection)
      r.setHeader(HH_PROXY_CONNECTION, c.proxy_connection);
    EXPECT_EQ(c.keep_alive, HttpShouldKeepAlive(r))
        << c.version << " " << (c.connection ? c.connection : "-") << " "
        << (c.proxy_connection ? c.proxy_connection : "-");
  }
}

TEST(HttpCommonTest, HeadersCombineByTheirRuleAndContentPicksItsFraming) {
  HttpRequestData r;
  r.changeHeader("Cache-Control", "a", HttpData::HC_AUTO);
  r.changeHeader("cache-control", "b", HttpData::HC_AUTO);
  r.changeHeader("Set-Cookie", "x", HttpData::HC_AUTO);
  r.changeHeader("Set-Cookie", "y", HttpData::HC_AUTO);
  r.changeHeader("X-New", "1", HttpData::HC_NEW);
  r.changeHeader("X-New", "2", HttpData::HC_NEW);
  r.changeHeader("X-No", "1", HttpData::HC_NO);
  r.changeHeader("X-No", "3", HttpData::HC_REPLACE);
  std::string value;
  for (auto [name, expected] : {std::pair{"CACHE-CONTROL", "a,b"}, {"Set-Cookie", "x"},
                                {"X-New", "1"}, {"X-No", "3"}}) {
    ASSERT_TRUE(r.hasHeader(name, &value)) << name;
    EXPECT_EQ(expected, value) << name;
  }
  EXPECT_EQ(2u, r.clearHeader("set-cookie"));

  r.setHeader(HH_TRANSFER_ENCODING, "chunked");
  r.setContent("text/plain", new MemoryStream(std::string(200, 'x').data(), 200));
  ASSERT_TRUE(r.hasHeader(HH_CONTENT_LENGTH, &value));
  EXPECT_EQ("200", value);
  EXPECT_FALSE(r.hasHeader(HH_TRANSFER_ENCODING, nullptr));
  // A stream that cannot report its size goes chunked.
  r.setContent("text/plain", new NullStream());
  EXPECT_FALSE(r.hasHeader(HH_CONTENT_LENGTH, nullptr));
  EXPECT_TRUE(r.hasHeader(HH_TRANSFER_ENCODING, &value));
}

TEST(HttpCommonTest, RequestLeadersFormatParseAndTruncate) {
  HttpRequestData r;
  r.verb = HV_POST;
  r.path = "/api/v1?x=1";
  char buffer[64];
  size_t len = r.formatLeader(buffer, sizeof(buffer));
  EXPECT_EQ("POST /api/v1?x=1 HTTP/1.1", std::string(buffer, len));
  EXPECT_EQ(15u, r.formatLeader(buffer, 16));
  EXPECT_EQ('\0', buffer[15]);
  struct Case {
    const char* leader;
    HttpError error;
  } cases[] = {{"get / HTTP/1.0", HE_NONE},      {"POST /a HTTP/1.1", HE_NONE},
               {"FETCH / HTTP/1.1", HE_PROTOCOL}, {"GET / HTTP/2.0", HE_PROTOCOL},
               {"GET /", HE_PROTOCOL}};
  for (const Case& c : cases) {
    HttpRequestData parsed;
    EXPECT_EQ(c.error, parsed.parseLeader(c.leader, strlen(c.leader))) << c.leader;
  }
}

TEST(HttpCommonTest, UrlsSplitIntoTheirPartsOrAreRefused) {
  struct Case {
    const char* text;
    bool valid;
    const char* host;
    int port;
    const char* path;
    const char* query;
    const char* address;
  } cases[] = {
      {"HTTPS://Example:8443/a/b?x=1", true, "Example", 8443, "/a/b", "?x=1", "Example:8443"},
      {"https://user:pw@Example:8443/a?x#frag", true, "Example", 8443, "/a", "?x",
       "Example:8443"},
      {"http://h", true, "h", 80, "/", "", "h"},
      {"http://h?x=a@evil/", true, "h", 80, "/", "?x=a@evil/", "h"},
      {"http://h#@evil/", true, "h", 80, "/", "", "h"},
      {"http://[::1]:8080/x", true, "::1", 8080, "/x", "", "[::1]:8080"},
      {"https://[fe80::1]/", true, "fe80::1", 443, "/", "", "[fe80::1]"},
      {"ftp://h/", false, "", 0, "/", "", ""},
      {"/relative/path", false, "", 0, "/", "", ""},
      {"http://", false, "", 0, "/", "", ""},
      {"http://h:70000/", false, "", 0, "/", "", ""},
      {"http://h:12ab/", false, "", 0, "/", "", ""},
      {"http://h:/", false, "", 0, "/", "", ""},
      {"http://[::1/", false, "", 0, "/", "", ""},
      {"http://[::1]x/", false, "", 0, "/", "", ""},
      {"http://h:-1/", false, "", 0, "/", "", ""},
  };
  for (const Case& c : cases) {
    Url<char> url(c.text);
    EXPECT_EQ(c.valid, url.valid()) << c.text;
    EXPECT_EQ(c.path, url.path()) << c.text;
    if (!c.valid)
      continue;
    EXPECT_EQ(c.host, url.host()) << c.text;
    EXPECT_EQ(c.port, url.port()) << c.text;
    EXPECT_EQ(c.query, url.query()) << c.text;
    EXPECT_EQ(c.address, url.address()) << c.text;
  }
  Url<char> built("/a?b=c&d", "127.0.0.1", 443);
  EXPECT_EQ("https://127.0.0.1/a?b=c&d", built.url());
  std::string value;
  EXPECT_TRUE(built.get_attribute("b", &value));
  EXPECT_EQ("c", value);
  EXPECT_FALSE(built.get_attribute("c", &value));

  EXPECT_EQ("127.0.0.1", HttpAddress(SocketAddress("127.0.0.1", 80), false));
  EXPECT_EQ("127.0.0.1:80", HttpAddress(SocketAddress("127.0.0.1", 80), true));
  EXPECT_EQ("127.0.0.1", HttpAddress(SocketAddress("127.0.0.1", 443), true));
  EXPECT_EQ("[::1]:8080", HttpAddress(SocketAddress("::1", 8080), false));
}

TEST(HttpCommonTest, AttributesParseQuotedValuesAndComposeBackUnchanged) {
  HttpAttributeList list = {{"realm", "a\"b\\"}, {"nonce", "x y"}, {"flag", ""}, {"end", "\\"}};
  std::string composed;
  HttpComposeAttributes(list, ',', &composed);
  EXPECT_EQ("realm=\"a\\\"b\\\\\", nonce=\"x y\", flag, end=\"\\\\\"", composed);
  HttpAttributeList parsed;
  HttpParseAttributes(composed.data(), composed.size(), parsed);
  EXPECT_EQ(list, parsed);

  HttpAttributeList odd;
  const std::string text = "abc== a==b y=plain,z n=\"open";
  HttpParseAttributes(text.data(), text.size(), odd);
  HttpAttributeList expected = {{"abc==", ""}, {"a=", "b"}, {"y", "plain"}, {"z", ""},
                                {"n", "open"}};
  EXPECT_EQ(expected, odd);
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

}  // namespace
}  // namespace rtc
