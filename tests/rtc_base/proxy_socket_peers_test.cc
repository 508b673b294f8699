// The proxy sockets against real proxies started by the test on loopback: tinyproxy and squid
// for HTTP CONNECT with Basic and Digest, microsocks for SOCKS5; and whole HTTP requests
// through each of them.
#include <string>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "log_capture.h"
#include "proxy_peers.h"
#include "rtc_base/async_http_request.h"
#include "rtc_base/base64.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/socket_adapters.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

using testing::MakeProxy;
using testing::PeerProcess;
using testing::PumpUntil;
using testing::ScriptedServer;
using testing::SocketOwner;

class ProxyPeersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(echo_.Start());
  }

  // Opens a tunnel through the proxy to the echo server and checks that bytes go both ways.
  // Returns the error the tunnel failed with, or 0.
  int Tunnel(const ProxyInfo& proxy) {
    AsyncSocket* inner = ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM);
    AsyncSocket* socket;
    if (proxy.type == PROXY_SOCKS5) {
      socket = new AsyncSocksProxySocket(inner, proxy.address, proxy.username, proxy.password);
    } else {
      socket = new AsyncHttpsProxySocket(inner, "agent", proxy.address, proxy.username,
                                         proxy.password);
    }
    SocketOwner owner(socket);
    owner.socket->Connect(SocketAddress("127.0.0.1", echo_.port()));
    EXPECT_TRUE(PumpUntil([&] { return owner.connected() || owner.closed(); }));
    if (!owner.connected()) {
      EXPECT_EQ(owner.socket->GetError(), owner.close_error);
      return owner.close_error;
    }
    EXPECT_TRUE(owner.Send("through the tunnel"));
    EXPECT_TRUE(PumpUntil([&] { return owner.received == "through the tunnel"; }))
        << owner.received;
    return 0;
  }

  // A GET of nginx's small file through the proxy, as the library's users make requests.
  std::string Get(const ProxyInfo& proxy, const testing::NginxServer& nginx, HttpError* error) {
    testing::Outcome outcome;
    AsyncHttpRequest* request = testing::NewGet(nginx.url("/static/small.txt"), &outcome);
    request->set_proxy(proxy);
    request->Start();
    EXPECT_TRUE(PumpUntil([&] { return outcome.done; }));
    *error = outcome.error;
    return outcome.body;
  }

  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
  ScriptedServer echo_{[](int fd, int) { testing::Echo(fd); }};
  CapturingSink log_;
};

TEST_F(ProxyPeersTest, TinyproxyTunnelsWithAndWithoutBasicAuthentication) {
  if (!testing::ProgramAvailable(testing::kTinyProxy)) {
    GTEST_SKIP() << "tinyproxy is not installed";
  }
  PeerProcess open_proxy;
  ASSERT_TRUE(testing::StartTinyProxy(&open_proxy, {echo_.port()}));
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_HTTPS, open_proxy.port())), 0);

  PeerProcess guarded;
  ASSERT_TRUE(testing::StartTinyProxy(&guarded, {echo_.port()}, "alice", "wonderland"));
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_HTTPS, guarded.port(), "alice", "wonderland")), 0);
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_HTTPS, guarded.port(), "alice", "wrong")), EACCES);
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_HTTPS, guarded.port())), EACCES);
  // A port the proxy does not open tunnels to.
  PeerProcess strict;
  ASSERT_TRUE(testing::StartTinyProxy(&strict, {443}));
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_HTTPS, strict.port())), ECONNREFUSED);
}

TEST_F(ProxyPeersTest, SquidAcceptsTheBasicAndDigestAnswers) {
  if (!testing::ProgramAvailable(testing::kSquid)) {
    GTEST_SKIP() << "squid is not installed";
  }
  // Each proxy offers one scheme: the first challenge offered is the one answered.
  PeerProcess basic, digest;
  ASSERT_TRUE(testing::StartSquid(&basic, "alice", "wonderland", "", ""))
      << basic.ReadFile("cache.log");
  ASSERT_TRUE(testing::StartSquid(&digest, "", "", "bob", "builder"))
      << digest.ReadFile("cache.log");
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_HTTPS, basic.port(), "alice", "wonderland")), 0);
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_HTTPS, basic.port(), "alice", "wrong")), EACCES);
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_HTTPS, digest.port(), "bob", "builder")), 0);
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_HTTPS, digest.port(), "bob", "wrong")), EACCES);
  EXPECT_TRUE(log_.Contains("Proxy-Authorization: <hidden>"));
  EXPECT_FALSE(log_.Contains("builder"));
  EXPECT_FALSE(log_.Contains(Base64::Encode("alice:wonderland")));
}

TEST_F(ProxyPeersTest, MicrosocksTunnelsWithAndWithoutCredentials) {
  if (!testing::ProgramAvailable(testing::kMicroSocks)) {
    GTEST_SKIP() << "microsocks is not installed";
  }
  PeerProcess open_proxy;
  ASSERT_TRUE(testing::StartMicroSocks(&open_proxy));
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_SOCKS5, open_proxy.port())), 0);

  PeerProcess guarded;
  ASSERT_TRUE(testing::StartMicroSocks(&guarded, "carol", "s3cret"));
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_SOCKS5, guarded.port(), "carol", "s3cret")), 0);
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_SOCKS5, guarded.port(), "carol", "wrong")), EACCES);
  EXPECT_EQ(Tunnel(MakeProxy(PROXY_SOCKS5, guarded.port())), EACCES);
}

TEST_F(ProxyPeersTest, HttpRequestsReachNginxThroughEachProxy) {
  if (!testing::NginxServer::Available() || !testing::ProgramAvailable(testing::kTinyProxy) ||
      !testing::ProgramAvailable(testing::kSquid) ||
      !testing::ProgramAvailable(testing::kMicroSocks)) {
    GTEST_SKIP() << "nginx or a proxy is not installed";
  }
  testing::NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  PeerProcess tinyproxy, squid, microsocks;
  ASSERT_TRUE(testing::StartTinyProxy(&tinyproxy, {nginx.port()}, "alice", "wonderland"));
  ASSERT_TRUE(testing::StartSquid(&squid, "", "", "bob", "builder"));
  ASSERT_TRUE(testing::StartMicroSocks(&microsocks, "carol", "s3cret"));
  const ProxyInfo proxies[] = {
      MakeProxy(PROXY_HTTPS, tinyproxy.port(), "alice", "wonderland"),
      MakeProxy(PROXY_HTTPS, squid.port(), "bob", "builder"),
      MakeProxy(PROXY_SOCKS5, microsocks.port(), "carol", "s3cret"),
  };
  for (const ProxyInfo& proxy : proxies) {
    HttpError error = HE_DEFAULT;
    EXPECT_EQ(Get(proxy, nginx, &error), "small body\n") << proxy.address.ToString();
    EXPECT_EQ(error, HE_NONE);
  }
  ProxyInfo wrong = MakeProxy(PROXY_HTTPS, squid.port(), "bob", "wrong");
  HttpError error = HE_DEFAULT;
  Get(wrong, nginx, &error);
  EXPECT_NE(error, HE_NONE);
}

}  // namespace
}  // namespace rtc
