#include "rtc_base/ssl_socket_factory.h"

#include <sys/socket.h>

#include <memory>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "rtc_base/async_socket.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

TEST(SslSocketFactoryTest, DefaultFactoryMakesDirectSocketsUntilDetectionExists) {
  PhysicalSocketServer ss;
  SslSocketFactory factory(&ss, "agent");
  EXPECT_TRUE(factory.autodetect_proxy());
  std::unique_ptr<AsyncSocket> socket(factory.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  EXPECT_NE(socket, nullptr);
}

TEST(SslSocketFactoryTest, LayersThatAreNotAvailableGiveNoSocket) {
  PhysicalSocketServer ss;
  SslSocketFactory factory(&ss, "agent");
  factory.SetProxy(ProxyInfo());
  EXPECT_FALSE(factory.autodetect_proxy());
  std::unique_ptr<AsyncSocket> plain(factory.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  EXPECT_NE(plain, nullptr);

  factory.UseSSL("example.test");
  EXPECT_EQ(factory.CreateAsyncSocket(AF_INET, SOCK_STREAM), nullptr);
  factory.DisableSSL();

  ProxyInfo proxy;
  proxy.type = PROXY_SOCKS5;
  proxy.address = SocketAddress("127.0.0.1", 1080);
  EXPECT_EQ(factory.CreateProxySocket(proxy, AF_INET, SOCK_STREAM), nullptr);
  proxy.type = PROXY_HTTPS;
  EXPECT_EQ(factory.CreateProxySocket(proxy, AF_INET, SOCK_STREAM), nullptr);
}

TEST(SslSocketFactoryTest, FactoryWithoutInnerFactoryGivesNoSocket) {
  SslSocketFactory factory(nullptr, "agent");
  EXPECT_EQ(factory.CreateAsyncSocket(AF_INET, SOCK_STREAM), nullptr);
  EXPECT_EQ(factory.CreateSocket(AF_INET, SOCK_STREAM), nullptr);
}

TEST(SslSocketFactoryTest, SecureRequestWithoutTlsEndsWithConnectFailed) {
  PhysicalSocketServer ss;
  AutoSocketServerThread thread(&ss);
  testing::Outcome outcome;
  AsyncHttpRequest* request = testing::NewGet("http://127.0.0.1:443/", &outcome);
  request->set_secure(true);
  request->Start();
  ASSERT_TRUE(testing::PumpUntil([&] { return outcome.done; }));
  EXPECT_EQ(outcome.error, HE_CONNECT_FAILED);
}

}  // namespace
}  // namespace rtc
