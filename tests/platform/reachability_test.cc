#include "platform/vy_rtm_reachability.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_sources.h"
#include "loop_fixture.h"
#include "netns.h"
#include "platform/netlink_reachability.h"
#include "platform/notification_center.h"

namespace vortm {
namespace {

using test::FakeReachability;

constexpr uint32_t W = kReachabilityFlagIsWWAN;
constexpr uint32_t R = kReachabilityFlagReachable;
constexpr uint32_t c = kReachabilityFlagConnectionRequired;
constexpr uint32_t t = kReachabilityFlagTransientConnection;
constexpr uint32_t i = kReachabilityFlagInterventionRequired;
constexpr uint32_t C = kReachabilityFlagConnectionOnTraffic;
constexpr uint32_t l = kReachabilityFlagIsLocalAddress;
constexpr uint32_t d = kReachabilityFlagIsDirect;

std::string Ipv4(const sockaddr_storage& addr) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof(text));
  return text;
}

int Port(const sockaddr_storage& addr) {
  return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
}

TEST(ReachabilityRulesTest, FlagsGiveTheStatusTheQueriesAndTheTexts) {
  struct Case {
    uint32_t flags;
    bool onWWAN;
    int status;
    bool reachable, viaWWAN, viaWiFi, required, onDemand, intervention;
    const char* text;
  } cases[] = {
      {0, true, 0, false, false, false, false, false, false, "-- -------"},
      {R | d, true, 2, true, false, true, false, false, false, "-R ------d"},
      {R | l | d, true, 2, true, false, true, false, false, false, "-R -----ld"},
      {W | R, true, 1, true, true, false, false, false, false, "WR -------"},
      {W | R, false, 0, false, true, false, false, false, false, "WR -------"},
      {R | c | t, true, 0, false, false, true, true, false, false, "-R ct-----"},
      {R | c | C, true, 2, true, false, true, true, true, false, "-R c--C---"},
      {R | c | i, true, 2, true, false, true, true, false, true, "-R c-i----"},
  };
  auto fake = std::make_shared<FakeReachability>();
  auto reachability = VyRtmReachability::createWithHostName("probe.test", fake->factory());
  ASSERT_NE(nullptr, reachability);
  for (const Case& k : cases) {
    fake->flags = k.flags;
    reachability->setReachableOnWWAN(k.onWWAN);
    SCOPED_TRACE(k.text);
    EXPECT_EQ(k.status, reachability->currentReachabilityStatus());
    EXPECT_EQ(k.reachable, reachability->isReachable());
    EXPECT_EQ(k.viaWWAN, reachability->isReachableViaWWAN());
    EXPECT_EQ(k.viaWiFi, reachability->isReachableViaWiFi());
    EXPECT_EQ(k.required, reachability->isConnectionRequired());
    EXPECT_EQ(k.onDemand, reachability->isConnectionOnDemand());
    EXPECT_EQ(k.intervention, reachability->isInterventionRequired());
    EXPECT_EQ(k.text, reachability->currentReachabilityFlags());
    EXPECT_EQ(k.status == 2 ? "WiFi" : k.status == 1 ? "Cellular" : "No Connection",
              reachability->currentReachabilityString());
  }
  // Flags that cannot be read answer no and 0 everywhere.
  fake->flags = R | d;
  fake->readable = false;
  EXPECT_FALSE(reachability->isReachable());
  EXPECT_FALSE(reachability->isReachableViaWiFi());
  EXPECT_EQ(0, reachability->currentReachabilityStatus());
  EXPECT_EQ(0u, reachability->reachabilityFlags());
  char self[32];
  snprintf(self, sizeof(self), "%p", static_cast<void*>(reachability.get()));
  EXPECT_EQ(std::string("<VyRtmReachability: ") + self + " (-- -------)>",
            reachability->description());
}

TEST(ReachabilityFactoryTest, UrlsWithAnIPv4HostWatchTheAddressAndOthersTheName) {
  struct Case {
    const char* url;
    bool address;
    const char* host;
    int port;
  } cases[] = {
      {"https://192.0.2.5/path", true, "192.0.2.5", 443},
      {"http://192.0.2.5", true, "192.0.2.5", 80},
      {"ftp://user@192.0.2.5:2121/x?y", true, "192.0.2.5", 2121},
      {"https://example.test:8443/", false, "example.test", 0},
      {"http://[::1]:80/", true, "::1", 0},
  };
  for (const Case& k : cases) {
    auto fake = std::make_shared<FakeReachability>();
    ASSERT_NE(nullptr, VyRtmReachability::createWithURL(k.url, fake->factory())) << k.url;
    ASSERT_EQ(1u, fake->targets.size());
    const ReachabilityTarget& target = fake->targets[0];
    EXPECT_EQ(k.address, target.isAddress) << k.url;
    if (k.address && target.addr.ss_family == AF_INET) {
      EXPECT_EQ(k.host, Ipv4(target.addr)) << k.url;
      EXPECT_EQ(k.port, Port(target.addr)) << k.url;
    } else {
      EXPECT_EQ(k.host, target.name) << k.url;
    }
  }
  auto fake = std::make_shared<FakeReachability>();
  EXPECT_EQ(nullptr, VyRtmReachability::createWithURL("no-scheme-here", fake->factory()));
  EXPECT_EQ(nullptr, VyRtmReachability::createWithURL("file:///etc/hosts", fake->factory()));
  VyRtmReachability::forInternetConnection(fake->factory());
  VyRtmReachability::forLocalWiFi(fake->factory());
  ASSERT_EQ(2u, fake->targets.size());
  EXPECT_EQ("0.0.0.0", Ipv4(fake->targets[0].addr));
  EXPECT_EQ("169.254.0.0", Ipv4(fake->targets[1].addr));
  EXPECT_TRUE(VyRtmReachability::isIpAddress("192.0.2.5"));
  EXPECT_FALSE(VyRtmReachability::isIpAddress("example.test"));
}

class ReachabilityNotifierTest : public test::LoopTest {};

TEST_F(ReachabilityNotifierTest, ChangesRunTheBlocksThereAndReachTheMainLoopAsANotification) {
  auto fake = std::make_shared<FakeReachability>();
  fake->flags = R;
  auto reachability = VyRtmReachability::createWithHostName("probe.test", fake->factory());
  std::vector<std::string> blocks;
  std::mutex mutex;
  reachability->setReachableBlock([&](VyRtmReachability&) {
    std::lock_guard<std::mutex> lock(mutex);
    blocks.push_back("reachable");
  });
  reachability->setUnreachableBlock([&](VyRtmReachability&) {
    std::lock_guard<std::mutex> lock(mutex);
    blocks.push_back("unreachable");
  });
  reachability->setReachabilityBlock([&](VyRtmReachability&, uint32_t flags) {
    std::lock_guard<std::mutex> lock(mutex);
    blocks.push_back(VyRtmReachability::flagsText(flags));
  });
  std::vector<const void*> senders;
  auto token = NotificationCenter::defaultCenter().observe(
      VyRtmkReachabilityChangedNotification, nullptr,
      [&](const std::string&, const void* sender) {
        EXPECT_TRUE(MainLoop::isCurrent());
        senders.push_back(sender);
      });
  ASSERT_TRUE(reachability->startNotifier());
  EXPECT_TRUE(reachability->startNotifier());
  std::thread([&] { fake->emit(0); }).join();
  ASSERT_TRUE(PumpUntil([&] { return senders.size() == 2; }));
  EXPECT_EQ(std::vector<const void*>(2, reachability.get()), senders);
  EXPECT_EQ(std::vector<std::string>({"reachable", "-R -------", "unreachable", "-- -------"}),
            blocks);
  reachability->stopNotifier();
  fake->emit(R);
  test::Pump();
  EXPECT_EQ(4u, blocks.size());
  NotificationCenter::defaultCenter().remove(token);
}

TEST(ReachabilityNotifierFailureTest, AFailingSourceMakesStartNotifierFalse) {
  auto fake = std::make_shared<FakeReachability>();
  fake->startWorks = false;
  auto reachability = VyRtmReachability::createWithHostName("probe.test", fake->factory());
  EXPECT_FALSE(reachability->startNotifier());
  fake->startWorks = true;
  fake->callbackWorks = false;
  EXPECT_FALSE(reachability->startNotifier());
  EXPECT_EQ(nullptr, VyRtmReachability::createWithHostName(
                         "probe.test", [](const ReachabilityTarget&) { return nullptr; }));
}

// The rtnetlink source against routes and links the test makes in a namespace of its own:
// v0 (192.0.2.1/24, default route via 192.0.2.2) paired with v1.
constexpr char kVethSetup[] =
    "ip link add v0 type veth peer name v1 && ip link set v1 up && ip link set v0 up && "
    "ip addr add 192.0.2.1/24 dev v0 && ip route add default via 192.0.2.2";

// Collects what the monitor thread reports.
class FlagLog {
 public:
  void add(uint32_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(flags);
    changed_.notify_all();
  }
  // Waits for the latest report to be `flags`.
  bool waitFor(uint32_t flags) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5),
                             [&] { return !log_.empty() && log_.back() == flags; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<uint32_t> log_;
};

TEST(NetlinkReachabilityTest, RoutesGiveTheFlagsOfTheirTargets) {
  VORTM_RUN_IN_PRIVATE_NETNS(kVethSetup);
  auto flagsOf = [](const char* host) {
    return ComputeReachabilityFlags(ReachabilityTarget::hostName(host), IsWwanLink);
  };
  EXPECT_EQ(R | l | d, flagsOf("127.0.0.1"));
  EXPECT_EQ(R | l | d, flagsOf("::1"));
  EXPECT_EQ(R | d, flagsOf("192.0.2.7"));
  EXPECT_EQ(R, flagsOf("198.51.100.1"));
  EXPECT_EQ(R, flagsOf("probe.test"));  // a name: the default route
  EXPECT_EQ(0u, flagsOf("2001:db8::1"));  // no IPv6 route
  // The classifier decides what is cellular.
  EXPECT_EQ(W | R, ComputeReachabilityFlags(ReachabilityTarget::hostName("probe.test"),
                                            [](const LinkInfo& link) { return link.name == "v0"; }));
}

TEST(NetlinkReachabilityTest, TheMonitorFollowsTheLinkItsCarrierAndTheRoute) {
  VORTM_RUN_IN_PRIVATE_NETNS(kVethSetup);
  NetlinkReachabilitySource source(ReachabilityTarget::hostName("probe.test"));
  FlagLog log;
  source.setCallback([&](uint32_t flags) { log.add(flags); });
  ASSERT_TRUE(source.start());
  ASSERT_TRUE(log.waitFor(R));
  // The peer going down takes the carrier away; the route stays.
  ASSERT_TRUE(test::Shell("ip link set v1 down"));
  EXPECT_TRUE(log.waitFor(0));
  ASSERT_TRUE(test::Shell("ip link set v1 up"));
  EXPECT_TRUE(log.waitFor(R));
  ASSERT_TRUE(test::Shell("ip link set v0 down"));
  EXPECT_TRUE(log.waitFor(0));
  ASSERT_TRUE(test::Shell("ip link set v0 up && ip route add default via 192.0.2.2"));
  EXPECT_TRUE(log.waitFor(R));
  source.stop();
}

}  // namespace
}  // namespace vortm
