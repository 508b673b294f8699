#include "platform/vy_rtm_net_manager.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_sources.h"
#include "loop_fixture.h"
#include "netns.h"

namespace vortm {
namespace {

using test::FakeEngine;
using test::FakeEngines;
using test::FakeRadio;
using test::FakeReachability;

constexpr uint32_t kWiFi = kReachabilityFlagReachable;
constexpr uint32_t kCellular = kReachabilityFlagReachable | kReachabilityFlagIsWWAN;

class PingerTest : public test::FakeClockLoopTest {
 protected:
  void SetUp() override {
    FakeClockLoopTest::SetUp();
    pinger_ = VyRtmSimplePinger::create("probe.test", engines_.factory());
    pinger_->setNetworkStatusDidChanged([this] {
      changes_.push_back(std::string(pinger_->reachable() ? "up" : "down") + "@" +
                         std::to_string(Now() - start_));
    });
  }
  void TearDown() override {
    pinger_.reset();
    FakeClockLoopTest::TearDown();
  }

  // Starts the probe; the engine is ready at once, so the first send is 1 s later.
  void StartProbe() {
    pinger_->startNotifier();
    engines_.last().reportStart();
  }

  const int64_t start_ = rtc::TimeMillis();
  FakeEngines engines_;
  std::shared_ptr<VyRtmSimplePinger> pinger_;
  std::vector<std::string> changes_;
};

TEST_F(PingerTest, WithoutRepliesTheHostIsUnreachableThreeSecondsAfterTheLastReply) {
  StartProbe();
  Advance(1000);
  ASSERT_EQ(1, engines_.last().nextSequenceNumber());
  engines_.last().reply(0);  // at 1000
  Advance(2999);
  EXPECT_TRUE(pinger_->reachable());
  Advance(1);
  EXPECT_EQ(std::vector<std::string>({"down@4000"}), changes_);
  EXPECT_EQ(0, pinger_->count());
  // Still no reply: no further report, and the next reply brings it back at once.
  Advance(3000);
  engines_.last().reply(engines_.last().nextSequenceNumber() - 1);
  EXPECT_EQ(std::vector<std::string>({"down@4000", "up@7000"}), changes_);
}

TEST_F(PingerTest, AReplyAfterTwoUnansweredSendsKeepsTheHostReachable) {
  StartProbe();
  Advance(2000);
  EXPECT_EQ(2, pinger_->count());
  EXPECT_EQ(std::vector<uint16_t>({0, 1}), pinger_->sentSequenceNumbers());
  engines_.last().reply(1);
  EXPECT_EQ(0, pinger_->count());
  EXPECT_TRUE(pinger_->sentSequenceNumbers().empty());
  Advance(2500);
  EXPECT_TRUE(pinger_->reachable());
  EXPECT_TRUE(changes_.empty());
}

TEST_F(PingerTest, AFailedSendMakesTheHostUnreachableAtOnce) {
  StartProbe();
  engines_.last().sendFails = true;
  Advance(1000);
  EXPECT_EQ(std::vector<std::string>({"down@1000"}), changes_);
}

TEST_F(PingerTest, EngineFailuresRestartAfterADoublingDelayUntilStopped) {
  StartProbe();
  for (int64_t delay : {100, 200, 400, 800, 1600, 3200, 6400, 12800, 25600, 30000, 30000}) {
    size_t made = engines_.made.size();
    engines_.last().fail(EHOSTUNREACH);
    EXPECT_FALSE(pinger_->reachable());
    EXPECT_EQ(nullptr, pinger_->pinger());
    Advance(delay - 1, 100);
    ASSERT_EQ(made, engines_.made.size()) << delay;
    Advance(1);
    ASSERT_EQ(made + 1, engines_.made.size()) << delay;
  }
  EXPECT_EQ(std::vector<std::string>({"down@0"}), changes_);
  // A stop cancels the pending restart, and the next start begins the delays anew.
  engines_.last().fail(EHOSTUNREACH);
  pinger_->stopNotifier();
  Advance(60000, 1000);
  size_t made = engines_.made.size();
  StartProbe();
  engines_.last().fail(EHOSTUNREACH);
  Advance(100);
  EXPECT_EQ(made + 2, engines_.made.size());
}

TEST_F(PingerTest, RefusedPermissionDisablesTheProbeWhichThenCountsAsReachable) {
  StartProbe();
  engines_.last().sendFails = true;
  Advance(1000);
  engines_.last().fail(EACCES);
  EXPECT_TRUE(pinger_->reachable());
  EXPECT_TRUE(pinger_->probeDisabled());
  EXPECT_EQ(std::vector<std::string>({"down@1000", "up@1000"}), changes_);
  Advance(60000, 100);
  EXPECT_EQ(1u, engines_.made.size());
}

TEST_F(PingerTest, FailureCountIsNeverBelowThree) {
  for (unsigned count : {0u, 1u, 2u, 3u, 5u}) {
    pinger_->setFailureCount(count);
    EXPECT_EQ(std::max(count, 3u), pinger_->failureCount());
  }
}

// The manager over fake sources.
class NetManagerTest : public test::FakeClockLoopTest {
 protected:
  struct Reports : VyRtmNetworkDelegate {
    void networkStatusDidChanged(VyRtmNetManager&, const std::string& host, int netType) override {
      EXPECT_EQ("probe.test", host);
      types.push_back(netType);
    }
    std::vector<int> types;
  };

  void TearDown() override {
    manager_.reset();
    FakeClockLoopTest::TearDown();
  }

  std::shared_ptr<VyRtmNetManager> Make(std::shared_ptr<RadioInfoSource> radio = nullptr) {
    NetWatcherSources sources;
    sources.reachability = reachability_->factory();
    sources.radio = std::move(radio);
    sources.pingEngine = engines_.factory();
    manager_ = VyRtmNetManager::createWithHost("probe.test", sources);
    manager_->setDelegate(reports_);
    return manager_;
  }

  std::shared_ptr<FakeReachability> reachability_ = std::make_shared<FakeReachability>();
  FakeEngines engines_;
  std::shared_ptr<Reports> reports_ = std::make_shared<Reports>();
  std::shared_ptr<VyRtmNetManager> manager_;
};

TEST_F(NetManagerTest, TheNetTypeNeedsBothReachabilityAndTheProbeAndOnlyChangesAreReported) {
  reachability_->flags = kWiFi;
  auto manager = Make();
  EXPECT_EQ(-1, manager->networkStatus());
  manager->startNotifier();
  Advance(0);
  EXPECT_EQ(std::vector<int>({2}), reports_->types);
  engines_.last().reportStart();
  engines_.last().sendFails = true;
  Advance(1000);  // the probe says unreachable
  EXPECT_EQ(std::vector<int>({2, 0}), reports_->types);
  engines_.last().reply(0);
  EXPECT_EQ(std::vector<int>({2, 0, 2}), reports_->types);
  reachability_->emit(0);
  Advance(0);
  reachability_->emit(0);
  Advance(0);
  EXPECT_EQ(std::vector<int>({2, 0, 2, 0}), reports_->types);
  EXPECT_EQ(0, manager->networkStatus());
}

TEST_F(NetManagerTest, CellularTakesItsTypeFromTheRadioTechnology) {
  struct Case {
    std::optional<std::string> technology;
    bool nr;
    int netType;
  } cases[] = {
      {kCTRadioAccessTechnologyNR, true, 6},     {kCTRadioAccessTechnologyNRNSA, true, 6},
      {kCTRadioAccessTechnologyNR, false, 0},    {kCTRadioAccessTechnologyGPRS, true, 3},
      {kCTRadioAccessTechnologyEdge, true, 3},   {kCTRadioAccessTechnologyCDMA1x, true, 3},
      {kCTRadioAccessTechnologyWCDMA, true, 4},  {kCTRadioAccessTechnologyHSDPA, true, 4},
      {kCTRadioAccessTechnologyHSUPA, true, 4},  {kCTRadioAccessTechnologyCDMAEVDORev0, true, 4},
      {kCTRadioAccessTechnologyCDMAEVDORevA, true, 4},
      {kCTRadioAccessTechnologyCDMAEVDORevB, true, 4},
      {kCTRadioAccessTechnologyeHRPD, true, 4},  {kCTRadioAccessTechnologyLTE, true, 5},
      {"CTRadioAccessTechnologySomethingNew", true, 0},
      {std::nullopt, true, 0},
  };
  for (const Case& k : cases) {
    auto manager = Make(std::make_shared<FakeRadio>(k.technology, k.nr));
    EXPECT_EQ(k.netType, manager->getNetType()) << k.technology.value_or("none") << " " << k.nr;
  }
  reachability_->flags = kCellular;
  Make(std::make_shared<FakeRadio>(kCTRadioAccessTechnologyLTE, true))->startNotifier();
  Advance(0);
  EXPECT_EQ(std::vector<int>({5}), reports_->types);
}

TEST_F(NetManagerTest, TheStatusOfWhicheverReachabilityObjectChangedIsTaken) {
  reachability_->flags = kWiFi;
  auto manager = Make();
  manager->startNotifier();
  Advance(0);
  // Another object, whose target is unreachable, reports a change.
  auto other = std::make_shared<FakeReachability>();
  auto otherReachability = VyRtmReachability::createWithHostName("other.test", other->factory());
  otherReachability->startNotifier();
  Advance(0);
  EXPECT_EQ(std::vector<int>({2, 0}), reports_->types);
}

TEST_F(NetManagerTest, AStartOvertakenByAStopDoesNothing) {
  reachability_->flags = kWiFi;
  auto manager = Make();
  std::thread([&] {
    manager->startNotifier();
    manager->stopNotifier();
  }).join();
  Advance(0);
  EXPECT_TRUE(engines_.made.empty());
  EXPECT_TRUE(reports_->types.empty());
  manager->startNotifier();
  Advance(0);
  EXPECT_EQ(1u, engines_.made.size());
  EXPECT_EQ(std::vector<int>({2}), reports_->types);
  manager->stopNotifier();
  Advance(0);
  EXPECT_FALSE(engines_.last().running);
}

TEST_F(NetManagerTest, TheDefaultManagerProbesTheConfiguredHost) {
  EXPECT_EQ("127.0.0.1", VyRtmNetManager::defaultManager()->host());
  VyRtmNetManager::setDefaultProbeHost("::1");
  EXPECT_EQ("::1", VyRtmNetManager::defaultManager()->host());
  VyRtmNetManager::setDefaultProbeHost("127.0.0.1");
}

// The whole watcher on the system's sources, probing 127.0.0.1 in a namespace of its own.
class NetManagerSystemTest : public test::LoopTest {
 protected:
  struct Reports : VyRtmNetworkDelegate {
    void networkStatusDidChanged(VyRtmNetManager&, const std::string&, int netType) override {
      types.push_back(netType);
    }
    std::vector<int> types;
  };
};

TEST_F(NetManagerSystemTest, LoopbackIsWiFiAndTheProbeGetsItsReplies) {
  VORTM_RUN_IN_PRIVATE_NETNS(test::kAllowPing);
  auto reports = std::make_shared<Reports>();
  auto manager = VyRtmNetManager::createWithHost("127.0.0.1");
  manager->setDelegate(reports);
  manager->startNotifier();
  ASSERT_TRUE(PumpUntil([&] { return !reports->types.empty(); }));
  EXPECT_EQ(std::vector<int>({2}), reports->types);
  // The first echo leaves a second after the engine is ready; its reply resets the count.
  ASSERT_TRUE(PumpUntil([&] {
    auto engine = manager->pinger()->pinger();
    return engine && engine->nextSequenceNumber() > 0 && manager->pinger()->count() == 0;
  }));
  EXPECT_EQ(std::vector<int>({2}), reports->types);
  manager->stopNotifier();
  manager.reset();
}

TEST_F(NetManagerSystemTest, WithoutPermissionForICMPReachabilityAloneDecides) {
  VORTM_RUN_IN_PRIVATE_NETNS(test::kForbidPing, /*asNobody=*/true);
  auto reports = std::make_shared<Reports>();
  auto manager = VyRtmNetManager::createWithHost("127.0.0.1");
  manager->setDelegate(reports);
  manager->startNotifier();
  ASSERT_TRUE(PumpUntil([&] { return manager->pinger() && manager->pinger()->probeDisabled(); }));
  ASSERT_TRUE(PumpUntil([&] { return !reports->types.empty(); }));
  EXPECT_EQ(std::vector<int>({2}), reports->types);
  manager.reset();
}

}  // namespace
}  // namespace vortm
