// Proxy classification against real proxies and scripted fakes, all on loopback. Names are
// resolved by an injected resolver, never by a real lookup.
#include "rtc_base/auto_detect_proxy.h"

#include <netdb.h>
#include <string.h>
#include <unistd.h>

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

TEST_F(AutoDetectProxyTest, TinyproxyAnswersTheConnectProbeAndIsHttps) {
  if (!testing::ProgramAvailable(testing::kTinyProxy)) {
    GTEST_SKIP() << "tinyproxy is not installed";
  }
  testing::PeerProcess tinyproxy;
  ASSERT_TRUE(testing::StartTinyProxy(&tinyproxy));
  ProxyInfo proxy = Detect("127.0.0.1", tinyproxy.port());
  EXPECT_EQ(proxy.type, PROXY_HTTPS);
  EXPECT_EQ(proxy.address.port(), tinyproxy.port());
  EXPECT_TRUE(log_.Contains("AutoDetectProxy detected 127.0.0.1:" +
                            std::to_string(tinyproxy.port()) + " as type https"));
}

TEST_F(AutoDetectProxyTest, MicrosocksFoundByNameIsSocks5) {
  if (!testing::ProgramAvailable(testing::kMicroSocks)) {
    GTEST_SKIP() << "microsocks is not installed";
  }
  testing::PeerProcess microsocks;
  ASSERT_TRUE(testing::StartMicroSocks(&microsocks));
  ScopedFakeResolver resolver;
  ProxyInfo proxy = Detect(kResolvableName, microsocks.port());
  EXPECT_EQ(proxy.type, PROXY_SOCKS5);
  EXPECT_EQ(proxy.address.ipaddr().ToString(), "127.0.0.1");
  EXPECT_TRUE(log_.Contains("Resolved proxy.test to"));
}

TEST_F(AutoDetectProxyTest, HttpPrefixOnTheProxyHostIsDropped) {
  ScriptedServer server([](int fd, int) {
    std::string request;
    if (testing::ReadHttpRequest(fd, &request)) {
      testing::SendText(fd, "HTTP/1.0 403 Forbidden\r\n\r\n");
    }
  });
  ASSERT_TRUE(server.Start());
  ProxyInfo proxy = Detect("http://127.0.0.1", server.port());
  EXPECT_EQ(proxy.type, PROXY_HTTPS);
  EXPECT_EQ(proxy.address.ToString(), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_TRUE(log_.Contains("AutoDetectProxy removing http prefix on proxy host"));
}

TEST_F(AutoDetectProxyTest, RepliesAreJudgedWholeEvenWhenSplit) {
  struct Case {
    std::string first;
    std::string second;
    ProxyType type;
  } cases[] = {
      {std::string("\x05", 1), std::string("\x00", 1), PROXY_SOCKS5},
      {"HT", "TP/1.1 407 Proxy Authentication Required\r\n\r\n", PROXY_HTTPS},
      {"HTTX", "/", PROXY_UNKNOWN},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](int fd, int) {
      char buf[512];
      if (recv(fd, buf, sizeof(buf), 0) <= 0) {
        return;
      }
      // The pause makes the two parts arrive in reads of their own.
      testing::SendText(fd, c.first);
      usleep(50000);
      testing::SendText(fd, c.second);
    });
    ASSERT_TRUE(server.Start());
    detection_.calls = 0;
    EXPECT_EQ(Detect("127.0.0.1", server.port(), 1000).type, c.type) << c.second;
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
