#include "rtc_base/proxy_info.h"

#include <string.h>

#include <memory>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/crypt_string.h"

namespace rtc {
namespace {

CryptString Secret(const std::string& text) {
  return CryptString(InsecureCryptStringImpl(text));
}

std::string Read(const CryptString& s) {
  std::vector<char> buf(s.GetLength() + 1, 'x');
  s.CopyTo(buf.data(), true);
  return std::string(buf.data());
}

TEST(ProxyInfoTest, DefaultRecordIsDirectWithEmptyPassword) {
  ProxyInfo info;
  EXPECT_EQ(info.type, PROXY_NONE);
  EXPECT_TRUE(info.address.IsNil());
  EXPECT_EQ(info.address.port(), 0);
  EXPECT_FALSE(info.autodetect);
  EXPECT_TRUE(info.autoconfig_url.empty());
  EXPECT_TRUE(info.bypass_list.empty());
  EXPECT_TRUE(info.username.empty());
  EXPECT_EQ(info.password.GetLength(), 0u);
}

TEST(ProxyInfoTest, ProxyTypesHaveTheirNamesAndStrayValuesReadAsUnknown) {
  EXPECT_STREQ(ProxyToString(PROXY_NONE), "none");
  EXPECT_STREQ(ProxyToString(PROXY_HTTPS), "https");
  EXPECT_STREQ(ProxyToString(PROXY_SOCKS5), "socks5");
  EXPECT_STREQ(ProxyToString(PROXY_UNKNOWN), "unknown");
  EXPECT_STREQ(ProxyToString(static_cast<ProxyType>(4)), "unknown");
  EXPECT_STREQ(ProxyToString(static_cast<ProxyType>(-1)), "unknown");
}

TEST(ProxyInfoTest, CopiesOwnTheirPasswordAfterTheSourceDies) {
  auto source = std::make_unique<ProxyInfo>();
  source->type = PROXY_SOCKS5;
  source->address = SocketAddress("127.0.0.1", 1080);
  source->username = "user";
  source->password = Secret("a much longer secret than the short string buffer");

  ProxyInfo copied(*source);
  ProxyInfo assigned;
  assigned = *source;
  ProxyInfo moved_from(*source);
  ProxyInfo moved(std::move(moved_from));
  source.reset();

  for (const ProxyInfo* info : {&copied, &assigned, &moved}) {
    EXPECT_EQ(info->type, PROXY_SOCKS5);
    EXPECT_EQ(info->address.port(), 1080);
    EXPECT_EQ(info->username, "user");
    EXPECT_EQ(Read(info->password), "a much longer secret than the short string buffer");
  }
  // A moved-from record still holds a usable (empty) password.
  EXPECT_EQ(moved_from.password.GetLength(), 0u);
  EXPECT_EQ(Read(moved_from.password), "");
}

TEST(ProxyInfoTest, SelfAssignmentKeepsThePassword) {
  ProxyInfo info;
  info.password = Secret("pw");
  ProxyInfo& alias = info;
  info = alias;
  EXPECT_EQ(Read(info.password), "pw");
  info.password = info.password;
  EXPECT_EQ(Read(info.password), "pw");
}

TEST(CryptStringTest, EmptySecretWritesOnlyTheTerminatorWhenAsked) {
  CryptString empty;
  char buf[2] = {'x', 'y'};
  empty.CopyTo(buf, false);
  EXPECT_EQ(buf[0], 'x');
  empty.CopyTo(buf, true);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'y');
  EXPECT_EQ(empty.UrlEncode(), "");
}

TEST(CryptStringTest, CopyToWritesExactlyTheSecretAndOptionalTerminator) {
  CryptString s = Secret("abc");
  char buf[5];
  memset(buf, '#', sizeof(buf));
  s.CopyTo(buf, false);
  EXPECT_EQ(std::string(buf, 5), "abc##");
  s.CopyTo(buf, true);
  EXPECT_EQ(std::string(buf, 5), std::string("abc\0#", 5));
}

TEST(CryptStringTest, CopyRawToResizesTheVectorToTheSecret) {
  std::vector<unsigned char> raw = {1, 2, 3, 4, 5, 6};
  CryptString().CopyRawTo(&raw);
  EXPECT_TRUE(raw.empty());
  Secret(std::string("a\0b", 3)).CopyRawTo(&raw);
  EXPECT_EQ(raw, (std::vector<unsigned char>{'a', 0, 'b'}));
}

TEST(CryptStringTest, UrlEncodeEscapesEverythingButUnreservedCharacters) {
  EXPECT_EQ(Secret("Az09-._~").UrlEncode(), "Az09-._~");
  EXPECT_EQ(Secret("p@ss word/&=%").UrlEncode(), "p%40ss%20word%2F%26%3D%25");
  EXPECT_EQ(UrlEncodeString(std::string("\r\n\xff", 3)), "%0D%0A%FF");
}

TEST(CryptStringTest, CopiesAreIndependentOfEachOther) {
  CryptString a = Secret("first");
  CryptString b(a);
  a = Secret("second");
  EXPECT_EQ(Read(a), "second");
  EXPECT_EQ(Read(b), "first");
  b = std::move(a);
  EXPECT_EQ(Read(b), "second");
}

}  // namespace
}  // namespace rtc
