#include "rtc_base/ssl_socket_factory.h"

#include <sys/socket.h>

#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "log_capture.h"
#include "openssl_cli.h"
#include "proxy_peers.h"
#include "rtc_base/base64.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/socket_adapters.h"
#include "rtc_base/ssl_identity.h"
#include "rtc_base/ssl_roots.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

using testing::MakeProxy;
using testing::PumpUntil;
using testing::ReadHttpRequest;
using testing::ScriptedServer;
using testing::SendText;
using testing::SocketOwner;

// A proxy that takes any CONNECT, after a Basic challenge when it carries no answer.
ScriptedServer::Handler ConnectProxy(ScriptedServer* self) {
  return [self](int fd, int) {
    std::string request;
    while (ReadHttpRequest(fd, &request)) {
      self->Record(request);
      if (request.find("Proxy-Authorization") == std::string::npos) {
        SendText(fd, "HTTP/1.0 407 Denied\r\nProxy-Authenticate: Basic realm=p\r\n"
                     "Proxy-Connection: Keep-Alive\r\nContent-Length: 0\r\n\r\n");
        continue;
      }
      SendText(fd, "HTTP/1.0 200 OK\r\n\r\n");
      testing::Echo(fd);
      return;
    }
  };
}

class SslSocketFactoryTest : public ::testing::Test {
 protected:
  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
  SslSocketFactory factory_{&ss_, "agent"};
  CapturingSink log_;
};

TEST_F(SslSocketFactoryTest, NoLogLineHoldsTheProxyPasswordInTextOrHexMode) {
  const std::string password = "hunter2";
  const std::string basic = Base64::Encode("user:" + password);
  for (bool hex : {false, true}) {
    ScriptedServer proxy([&](int fd, int index) { ConnectProxy(&proxy)(fd, index); });
    ASSERT_TRUE(proxy.Start());
    factory_.SetLogging(LS_INFO, "wire", hex);
    factory_.SetProxy(MakeProxy(PROXY_HTTPS, proxy.port(), "user", password));
    SocketOwner owner(factory_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
    owner.socket->Connect(SocketAddress("127.0.0.1", 4321));
    ASSERT_TRUE(PumpUntil([&] { return owner.connected() || owner.closed(); }));
    ASSERT_TRUE(owner.connected()) << hex;
    ASSERT_TRUE(owner.Send("tunnel data"));
    ASSERT_TRUE(PumpUntil([&] { return owner.received == "tunnel data"; }));
    auto requests = proxy.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find(basic), std::string::npos);
  }
  EXPECT_TRUE(log_.Contains("[wire] >> tunnel data"));
  EXPECT_TRUE(log_.Contains("no hex logging for wire"));
  EXPECT_FALSE(log_.Contains(password));
  // A hex dump would cut the answer across its lines: no piece of it, nor of the request
  // carrying it, may show.
  EXPECT_FALSE(log_.Contains(basic.substr(0, 8)));
  EXPECT_FALSE(log_.Contains("[wire] >> CONNECT"));
}

TEST_F(SslSocketFactoryTest, DetectedProxyCarriesTheConnection) {
  ScriptedServer proxy([&](int fd, int) {
    std::string request;
    if (ReadHttpRequest(fd, &request)) {
      proxy.Record(request);
      SendText(fd, "HTTP/1.0 200 OK\r\n\r\n");
      testing::Echo(fd);
    }
  });
  ASSERT_TRUE(proxy.Start());
  testing::ScopedProxyEnvironment env(
      {{"http_proxy", "http://127.0.0.1:" + std::to_string(proxy.port())}});
  ASSERT_TRUE(factory_.autodetect_proxy());
  SocketOwner owner(factory_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  EXPECT_EQ(owner.socket->Connect(SocketAddress("127.0.0.1", 4321)), -1);
  EXPECT_EQ(owner.socket->GetError(), EWOULDBLOCK);
  EXPECT_EQ(owner.socket->GetState(), Socket::CS_CONNECTING);
  ASSERT_TRUE(PumpUntil([&] { return owner.connected() || owner.closed(); }));
  ASSERT_TRUE(owner.connected());
  ASSERT_EQ(proxy.requests().size(), 1u);
  // Released while detecting, a socket goes quietly.
  SocketOwner(factory_.CreateAsyncSocket(AF_INET, SOCK_STREAM))
      .socket->Connect(SocketAddress("127.0.0.1", 4321));
  EXPECT_EQ(proxy.requests()[0].rfind("CONNECT 127.0.0.1:4321 HTTP/1.0\r\n", 0), 0u);
  ASSERT_TRUE(owner.Send("x"));
  EXPECT_TRUE(PumpUntil([&] { return owner.received == "x"; }));
}

// A request over TLS to nginx with a certificate from a CA made here, which the request
// trusts through the process-wide roots.
TEST(SslSocketFactoryRequestTest, SecureRequestFetchesFromATlsServer) {
  if (!testing::NginxServer::Available()) {
    GTEST_SKIP() << "nginx-light with the echo module is not installed";
  }
  testing::TestCa ca;
  ASSERT_TRUE(ca.Init());
  ASSERT_TRUE(ca.Issue({"localhost", {"DNS:localhost", "IP:127.0.0.1"}}));
  std::string ca_der;
  ASSERT_TRUE(SSLIdentity::PemToDer("CERTIFICATE", ca.ca_pem(), &ca_der));
  testing::NginxServer nginx;
  nginx.UseTls(ca.dir().File("localhost.pem"), ca.dir().File("localhost.key"));
  nginx.AddFile("tls.txt", "over tls\n");
  ASSERT_TRUE(nginx.Start());
  ASSERT_EQ(nginx.url("/").substr(0, 8), "https://");

  PhysicalSocketServer ss;
  AutoSocketServerThread thread(&ss);
  for (bool trusted : {true, false}) {
    if (trusted) {
      SetSSLRootCertificates({ca_der});
    } else {
      // Public roots do not vouch for the test CA.
      UseSystemSSLRootCertificates();
    }
    testing::Outcome outcome;
    AsyncHttpRequest* request = testing::NewGet(nginx.url("/static/tls.txt"), &outcome);
    request->set_secure(true);
    request->Start();
    ASSERT_TRUE(testing::PumpUntil([&] { return outcome.done; }));
    if (trusted) {
      EXPECT_EQ(outcome.error, HE_NONE);
      EXPECT_EQ(outcome.scode, 200u);
      EXPECT_EQ(outcome.body, "over tls\n");
    } else {
      EXPECT_NE(outcome.error, HE_NONE);
      EXPECT_EQ(outcome.body, "");
    }
  }
}

}  // namespace
}  // namespace rtc
