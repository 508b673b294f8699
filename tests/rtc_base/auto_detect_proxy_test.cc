// Proxy classification against real proxies and scripted fakes, all on loopback. Names are
// resolved by an injected resolver, never by a real lookup.
#include "rtc_base/auto_detect_proxy.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>

#include <string>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "log_capture.h"
#include "proxy_peers.h"
#include "rtc_base/net_helpers.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

using testing::PumpUntil;
using testing::ScriptedServer;

constexpr char kResolvableName[] = "proxy.test";

// Knows one name, which stands for 127.0.0.1; every other name does not resolve.
int FakeGetAddrInfo(const char* node, const char* service, const addrinfo* hints,
                    addrinfo** result) {
  if (node == nullptr || strcmp(node, kResolvableName) != 0) {
    return EAI_NONAME;
  }
  addrinfo numeric = *hints;
  numeric.ai_flags = AI_NUMERICHOST;
  return getaddrinfo("127.0.0.1", service, &numeric, result);
}

class ScopedFakeResolver {
 public:
  ScopedFakeResolver() { SetGetAddrInfoForTesting(&FakeGetAddrInfo, &freeaddrinfo); }
  ~ScopedFakeResolver() { SetGetAddrInfoForTesting(nullptr, nullptr); }
};

// A detector whose lookup finds a proxy of unknown kind at a fixed address.
class FixedProxyDetector : public AutoDetectProxy {
 public:
  FixedProxyDetector(const std::string& host, int port, bool* destroyed = nullptr)
      : AutoDetectProxy("agent"), host_(host), port_(port), destroyed_(destroyed) {
    set_server_url("http://localhost/");
    set_probe_host("localhost");
  }

 protected:
  ~FixedProxyDetector() override {
    if (destroyed_ != nullptr) {
      *destroyed_ = true;
    }
  }
  bool GetProxyForUrl(const char*, const char*, ProxyInfo* proxy) override {
    proxy->type = PROXY_UNKNOWN;
    proxy->address = SocketAddress(host_, port_);
    return true;
  }

 private:
  std::string host_;
  int port_;
  bool* destroyed_;
};

struct Detection : public sigslot::has_slots<> {
  int calls = 0;
  ProxyInfo proxy;
  void OnDone(SignalThread* job) {
    ++calls;
    proxy = static_cast<AutoDetectProxy*>(job)->proxy();
    job->Release();
  }
};

class AutoDetectProxyTest : public ::testing::Test {
 protected:
  // Classifies the proxy at host:port and returns the record found.
  ProxyInfo Detect(const std::string& host, int port, int timeout_ms = 0) {
    auto* detector = new FixedProxyDetector(host, port);
    if (timeout_ms > 0) {
      detector->set_timeouts(timeout_ms, timeout_ms);
    }
    detector->SignalWorkDone.connect(&detection_, &Detection::OnDone);
    detector->Start();
    EXPECT_TRUE(PumpUntil([&] { return detection_.calls > 0; }));
    return detection_.proxy;
  }

  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
  Detection detection_;
  CapturingSink log_;
};

TEST_F(AutoDetectProxyTest, RealProxiesAreClassifiedByTheirAnswerToTheProbe) {
  if (!testing::ProgramAvailable(testing::kTinyProxy) ||
      !testing::ProgramAvailable(testing::kMicroSocks)) {
    GTEST_SKIP() << "tinyproxy or microsocks is not installed";
  }
  testing::PeerProcess tinyproxy, microsocks;
  ASSERT_TRUE(testing::StartTinyProxy(&tinyproxy));
  ASSERT_TRUE(testing::StartMicroSocks(&microsocks));
  ProxyInfo https = Detect("127.0.0.1", tinyproxy.port());
  EXPECT_EQ(PROXY_HTTPS, https.type);
  EXPECT_EQ(tinyproxy.port(), https.address.port());
  detection_.calls = 0;
  ScopedFakeResolver resolver;
  ProxyInfo socks = Detect(kResolvableName, microsocks.port());
  EXPECT_EQ(PROXY_SOCKS5, socks.type);
  EXPECT_EQ("127.0.0.1", socks.address.ipaddr().ToString());
}

// Replies are judged whole, in one piece or several; an "http://" before the host goes.
TEST_F(AutoDetectProxyTest, ScriptedRepliesAreJudgedWhole) {
  struct Case {
    std::string host;
    std::string first;
    std::string second;
    ProxyType type;
  } cases[] = {
      {"127.0.0.1", std::string("\x05", 1), std::string("\x00", 1), PROXY_SOCKS5},
      {"127.0.0.1", "HT", "TP/1.1 407 Proxy Authentication Required\r\n\r\n", PROXY_HTTPS},
      {"127.0.0.1", "HTTX", "/", PROXY_UNKNOWN},
      {"http://127.0.0.1", "HTTP/1.0 403 Forbidden\r\n\r\n", "", PROXY_HTTPS},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](int fd, int) {
      char buf[512];
      if (recv(fd, buf, sizeof(buf), 0) <= 0) {
        return;
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      testing::SendText(fd, c.first);
      testing::SendText(fd, c.second);
    });
    ASSERT_TRUE(server.Start());
    detection_.calls = 0;
    ProxyInfo proxy = Detect(c.host, server.port(), 1000);
    EXPECT_EQ(c.type, proxy.type) << c.first << c.second;
    EXPECT_EQ("127.0.0.1:" + std::to_string(server.port()), proxy.address.ToString());
  }
}

TEST_F(AutoDetectProxyTest, SilentProxyStaysUnknownAfterTwoTimeouts) {
  ScriptedServer server([&](int fd, int) { server.WaitForStop(fd); });
  ASSERT_TRUE(server.Start());
  ProxyInfo proxy = Detect("127.0.0.1", server.port(), 100);
  EXPECT_EQ(proxy.type, PROXY_UNKNOWN);
  EXPECT_EQ(log_.Count("Timed out waiting for AsyncResolver."), 2);
  EXPECT_TRUE(log_.Contains("as type unknown"));
}

TEST_F(AutoDetectProxyTest, UnresolvableProxyNameIsUnknownAtOnce) {
  ScopedFakeResolver resolver;
  ProxyInfo proxy = Detect("no-such-proxy.test", 3128);
  EXPECT_EQ(proxy.type, PROXY_UNKNOWN);
  EXPECT_TRUE(log_.Contains("Failed to resolve no-such-proxy.test"));
  EXPECT_EQ(log_.Count("Timed out waiting for AsyncResolver."), 0);
}

TEST_F(AutoDetectProxyTest, DetectorStoppedWhileProbingGoesAwayQuietly) {
  ScriptedServer server([&](int fd, int) { server.WaitForStop(fd); });
  ASSERT_TRUE(server.Start());
  bool destroyed = false;
  auto* detector = new FixedProxyDetector("127.0.0.1", server.port(), &destroyed);
  detector->SignalWorkDone.connect(&detection_, &Detection::OnDone);
  detector->Start();
  ASSERT_TRUE(PumpUntil([&] { return server.accepted() > 0; }));
  detector->Destroy(false);
  EXPECT_TRUE(PumpUntil([&] { return destroyed; }));
  EXPECT_EQ(detection_.calls, 0);
}

}  // namespace
}  // namespace rtc
