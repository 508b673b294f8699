// The network watcher: reachability flags and their rules, the rtnetlink source in a namespace
// of the test's own, the ICMP echo engine against the kernel's responder there, the prober
// (pinger) on it and the manager that joins them into a net type.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_sources.h"
#include "loop_fixture.h"
#include "netns.h"
#include "platform/loop/notification_center.h"
#include "platform/netwatch/modem_manager_radio.h"
#include "platform/netwatch/netlink_reachability.h"
#include "platform/netwatch/vy_rtm_net_manager.h"
#include "platform/netwatch/vy_rtm_reachability.h"
#include "platform/netwatch/vy_rtm_simple_ping.h"
#include "rtc_base/net/net_helpers.h"
#include "tests/support/private_bus.h"
#include "tests/support/temp_dir.h"

namespace vortm {
namespace {

using test::FakeReachability;
using Strings = std::vector<std::string>;

constexpr uint32_t W = kReachabilityFlagIsWWAN;
constexpr uint32_t R = kReachabilityFlagReachable;
constexpr uint32_t c = kReachabilityFlagConnectionRequired;
constexpr uint32_t t = kReachabilityFlagTransientConnection;
constexpr uint32_t i = kReachabilityFlagInterventionRequired;
constexpr uint32_t C = kReachabilityFlagConnectionOnTraffic;
constexpr uint32_t l = kReachabilityFlagIsLocalAddress;
constexpr uint32_t d = kReachabilityFlagIsDirect;

std::string Ipv4(const sockaddr_storage& addr) {
  const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
  return text + std::string(":") + std::to_string(ntohs(in.sin_port));
}

// The status, then reachable, via WWAN, via WiFi, connection required, on demand, intervention
// required, then the flags' text and the status's.
std::string Summary(VyRtmReachability& r) {
  std::string queries;
  for (bool b : {r.isReachable(), r.isReachableViaWWAN(), r.isReachableViaWiFi(),
                 r.isConnectionRequired(), r.isConnectionOnDemand(), r.isInterventionRequired()}) {
    queries += b ? '1' : '0';
  }
  return std::to_string(r.currentReachabilityStatus()) + " " + queries + " " +
         r.currentReachabilityFlags() + " " + r.currentReachabilityString();
}

TEST(ReachabilityRulesTest, FlagsGiveTheStatusTheQueriesAndTheTexts) {
  const std::tuple<uint32_t, bool, const char*> cases[] = {
      {0, true, "0 000000 -- ------- No Connection"},
      {R | d, true, "2 101000 -R ------d WiFi"},
      {R | l | d, true, "2 101000 -R -----ld WiFi"},
      {W | R, true, "1 110000 WR ------- Cellular"},
      {W | R, false, "0 010000 WR ------- No Connection"},
      {R | c | t, true, "0 001100 -R ct----- No Connection"},
      {R | c | C, true, "2 101110 -R c--C--- WiFi"},
      {R | c | i, true, "2 101101 -R c-i---- WiFi"},
  };
  auto fake = std::make_shared<FakeReachability>();
  auto reachability = VyRtmReachability::createWithHostName("probe.test", fake->factory());
  ASSERT_NE(nullptr, reachability);
  for (const auto& [flags, onWWAN, summary] : cases) {
    fake->flags = flags;
    reachability->setReachableOnWWAN(onWWAN);
    EXPECT_EQ(summary, Summary(*reachability));
  }
  // Flags that cannot be read answer no and 0 everywhere.
  fake->flags = R | d;
  fake->readable = false;
  EXPECT_EQ("0 000000 -- ------- No Connection", Summary(*reachability));
}

TEST(ReachabilityRulesTest, UrlsWithAnIPv4HostWatchTheAddressAndOthersTheName) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://192.0.2.5/path", "192.0.2.5:443"},
      {"http://192.0.2.5", "192.0.2.5:80"},
      {"ftp://user@192.0.2.5:2121/x?y", "192.0.2.5:2121"},
      {"https://example.test:8443/", "example.test"},
      {"http://[::1]:80/", "::1"},
      {"no-scheme-here", ""},
      {"file:///etc/hosts", ""},
  };
  for (const auto& [url, watched] : cases) {
    auto fake = std::make_shared<FakeReachability>();
    bool made = VyRtmReachability::createWithURL(url, fake->factory()) != nullptr;
    const ReachabilityTarget* target = fake->targets.empty() ? nullptr : &fake->targets[0];
    bool v4 = target && target->isAddress && target->addr.ss_family == AF_INET;
    EXPECT_EQ(watched, !made ? "" : v4 ? Ipv4(target->addr) : target ? target->name : "?") << url;
  }
  auto fake = std::make_shared<FakeReachability>();
  // A source that cannot start or take a callback, or none at all.
  auto starts = [&] {
    return VyRtmReachability::createWithHostName("probe.test", fake->factory())->startNotifier();
  };
  fake->startWorks = false;
  EXPECT_FALSE(starts());
  fake->startWorks = true;
  fake->callbackWorks = false;
  EXPECT_FALSE(starts());
  EXPECT_EQ(nullptr, VyRtmReachability::createWithHostName(
                         "probe.test", [](const ReachabilityTarget&) { return nullptr; }));
}

class ReachabilityNotifierTest : public test::LoopTest {};

TEST_F(ReachabilityNotifierTest, ChangesRunTheBlocksThereAndReachTheMainLoopAsANotification) {
  auto fake = std::make_shared<FakeReachability>();
  fake->flags = R;
  auto reachability = VyRtmReachability::createWithHostName("probe.test", fake->factory());
  Strings heard;  // the blocks run on the source's thread, here the test's
  reachability->setReachableBlock([&](VyRtmReachability&) { heard.push_back("reachable"); });
  reachability->setUnreachableBlock([&](VyRtmReachability&) { heard.push_back("unreachable"); });
  reachability->setReachabilityBlock([&](VyRtmReachability&, uint32_t flags) {
    heard.push_back(VyRtmReachability::flagsText(flags));
  });
  auto token = NotificationCenter::defaultCenter().observe(
      VyRtmkReachabilityChangedNotification, nullptr, [&](const std::string&, const void* sender) {
        heard.push_back(sender == reachability.get() && MainLoop::isCurrent() ? "posted" : "?");
      });
  ASSERT_TRUE(reachability->startNotifier());
  fake->emit(0);
  ASSERT_TRUE(PumpUntil([&] { return heard.size() == 6; }));
  reachability->stopNotifier();
  fake->emit(R);
  test::Pump();
  EXPECT_EQ(Strings({"reachable", "-R -------", "unreachable", "-- -------", "posted", "posted"}),
            heard);
  NotificationCenter::defaultCenter().remove(token);
}

// The rtnetlink source against routes and links the test makes in a namespace of its own:
// v0 (192.0.2.1/24, default route via 192.0.2.2) paired with v1.
constexpr char kVethSetup[] =
    "ip link add v0 type veth peer name v1 && ip link set v1 up && ip link set v0 up && "
    "ip addr add 192.0.2.1/24 dev v0 && ip route add default via 192.0.2.2";

TEST(NetlinkReachabilityTest, RoutesGiveTheFlagsOfTheirTargets) {
  VORTM_RUN_IN_PRIVATE_NETNS(kVethSetup);
  auto flagsOf = [](const char* host) {
    return ComputeReachabilityFlags(ReachabilityTarget::hostName(host), IsWwanLink);
  };
  EXPECT_EQ(R | l | d, flagsOf("127.0.0.1"));
  EXPECT_EQ(R | d, flagsOf("192.0.2.7"));
  EXPECT_EQ(R, flagsOf("198.51.100.1"));
  EXPECT_EQ(R, flagsOf("probe.test"));    // a name: the default route
  EXPECT_EQ(0u, flagsOf("2001:db8::1"));  // no IPv6 route
  // The classifier decides what is cellular.
  auto v0IsCellular = [](const LinkInfo& link) { return link.name == "v0"; };
  EXPECT_EQ(W | R,
            ComputeReachabilityFlags(ReachabilityTarget::hostName("probe.test"), v0IsCellular));
}

TEST(NetlinkReachabilityTest, TheMonitorFollowsTheLinkItsCarrierAndTheRoute) {
  VORTM_RUN_IN_PRIVATE_NETNS(kVethSetup);
  NetlinkReachabilitySource source(ReachabilityTarget::hostName("probe.test"));
  std::mutex mutex;
  std::condition_variable changed;
  uint32_t latest = ~0u;
  source.setCallback([&](uint32_t flags) {
    std::lock_guard<std::mutex> lock(mutex);
    latest = flags;
    changed.notify_all();
  });
  // Waits for the latest report to be `flags`.
  auto reports = [&](uint32_t flags) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return latest == flags; });
  };
  ASSERT_TRUE(source.start());
  ASSERT_TRUE(reports(R));
  // The peer going down takes the carrier away; the route stays.
  for (const auto& [command, flags] :
       {std::pair("ip link set v1 down", 0u), std::pair("ip link set v1 up", R),
        std::pair("ip link set v0 down", 0u),
        std::pair("ip link set v0 up && ip route add default via 192.0.2.2", R)}) {
    ASSERT_TRUE(test::Shell(command));
    EXPECT_TRUE(reports(flags)) << command;
  }
  source.stop();
}

using Bytes = std::vector<uint8_t>;

// The Internet checksum computed independently: big-endian words, written big-endian.
uint16_t ReferenceSum(const Bytes& data) {
  uint32_t sum = 0;
  for (size_t i = 0; i < data.size(); i += 2) {
    sum += (data[i] << 8) | (i + 1 < data.size() ? data[i + 1] : 0);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

// An ICMP echo message with a correct checksum.
Bytes Echo(uint8_t type, uint16_t id, uint16_t seq, size_t payloadSize = 56) {
  Bytes m(8 + payloadSize, 0x5A);
  m[0] = type;
  m[1] = 0;
  m[2] = m[3] = 0;
  m[4] = id >> 8;
  m[5] = id & 0xFF;
  m[6] = seq >> 8;
  m[7] = seq & 0xFF;
  uint16_t sum = static_cast<uint16_t>(~ReferenceSum(m));
  m[2] = sum >> 8;
  m[3] = sum & 0xFF;
  return m;
}

// `icmp` behind an IPv4 header of `ihl` words.
Bytes WithIPv4Header(const Bytes& icmp, int ihl = 5, uint8_t protocol = 1) {
  // Sized once and filled in place: GCC 12 at -O3 takes an insert at the end for an overread.
  const size_t header = std::max(ihl, 5) * 4;
  Bytes p(header + icmp.size(), 0);
  p[0] = static_cast<uint8_t>(0x40 | ihl);
  p[9] = protocol;
  std::copy(icmp.begin(), icmp.end(), p.begin() + header);
  return p;
}

class TestPing : public VyRtmSimplePing {
 public:
  TestPing() : VyRtmSimplePing("test.invalid") {}
  void setState(uint16_t id, uint16_t next, bool wrapped, int family, int socketType = 0) {
    identifier_ = id;
    next_sequence_number_ = next;
    next_sequence_number_has_wrapped_ = wrapped;
    socket_type_ = socketType;
    sockaddr_storage addr{};
    addr.ss_family = static_cast<sa_family_t>(family);
    size_t size = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    auto* bytes = reinterpret_cast<uint8_t*>(&addr);
    host_address_.assign(bytes, bytes + size);
  }
};

// Known sums, stored in network order: RFC 1071's example, an odd length, none, all ones; and a
// request's, which sums to all ones with it.
TEST(SimplePingPacketTest, ChecksumsMatchKnownBytes) {
  const std::pair<Bytes, Bytes> sums[] = {
      {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, {0x22, 0x0D}},
      {{0x01, 0x02, 0x03}, {0xFB, 0xFD}},
      {{}, {0xFF, 0xFF}},
      {{0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00}},
  };
  for (const auto& [data, stored] : sums) {
    uint16_t sum = VyRtmSimplePing::checksum(data.data(), data.size());
    auto* bytes = reinterpret_cast<uint8_t*>(&sum);
    EXPECT_EQ(stored, Bytes(bytes, bytes + 2));
  }
  TestPing ping;
  ping.setState(0x1234, 0, false, AF_INET);
  Bytes request = ping.pingPacketWithType(8, VyRtmSimplePing::standardPayload(0), true);
  EXPECT_EQ(0xFFFF, ReferenceSum(request));
}

TEST(SimplePingValidationTest, RepliesAreCheckedFieldByField) {
  const uint16_t id = 0xBEEF;
  Bytes reply = Echo(0, id, 5), badSum = reply, v6 = Echo(129, id, 5);
  badSum[20] ^= 1;
  Bytes longHeader = WithIPv4Header(Echo(0, id, 5, 0), 15);  // 60 + 8 bytes needed
  longHeader.resize(67);
  const std::tuple<const char*, Bytes, int, int, bool> cases[] = {
      // what, bytes, socket, family
      {"reply behind its header", WithIPv4Header(reply), SOCK_RAW, AF_INET, true},
      {"reply on a datagram socket", reply, SOCK_DGRAM, AF_INET, true},
      {"header length beyond the datagram", longHeader, SOCK_RAW, AF_INET, false},
      {"header length below the minimum", WithIPv4Header(reply, 2), SOCK_RAW, AF_INET, false},
      {"not ICMP", WithIPv4Header(reply, 5, 17), SOCK_RAW, AF_INET, false},
      {"short datagram", Bytes(27, 0x45), SOCK_RAW, AF_INET, false},
      {"wrong checksum", WithIPv4Header(badSum), SOCK_RAW, AF_INET, false},
      {"own request", WithIPv4Header(Echo(8, id, 5)), SOCK_RAW, AF_INET, false},
      {"foreign identifier", WithIPv4Header(Echo(0, id + 1, 5)), SOCK_RAW, AF_INET, false},
      {"number not sent yet", WithIPv4Header(Echo(0, id, 10)), SOCK_RAW, AF_INET, false},
      {"short on a datagram socket", Bytes(reply.begin(), reply.begin() + 7), SOCK_DGRAM, AF_INET,
       false},
      {"IPv6 reply", v6, SOCK_DGRAM, AF_INET6, true},
      {"IPv6 request", Echo(128, id, 5), SOCK_DGRAM, AF_INET6, false},
      {"IPv6 foreign identifier", Echo(129, id + 1, 5), SOCK_DGRAM, AF_INET6, false},
  };
  for (const auto& [what, datagram, socketType, family, valid] : cases) {
    TestPing ping;
    ping.setState(id, 10, false, family, socketType);
    uint16_t seq = 0;
    Bytes packet = datagram;
    EXPECT_EQ(valid, ping.validatePingResponsePacket(packet, &seq)) << what;
    if (valid) {
      EXPECT_EQ(5, seq) << what;
      EXPECT_EQ(family == AF_INET ? reply : v6, packet) << what << ": the ICMP message alone";
    }
  }
}

TEST(SimplePingValidationTest, AfterTheWrapOnlyTheLast120NumbersCount) {
  for (const auto& [wrapped, seq, valid] :
       {std::tuple(false, 9, true), std::tuple(false, 10, false), std::tuple(false, 65500, false),
        std::tuple(true, 65500, true), std::tuple(true, 9, true), std::tuple(true, 65427, true),
        std::tuple(true, 65426, false), std::tuple(true, 65000, false)}) {
    TestPing ping;
    ping.setState(1, 10, wrapped, AF_INET);
    EXPECT_EQ(valid, ping.validateSequenceNumber(static_cast<uint16_t>(seq))) << wrapped << seq;
  }
}

// Everything the engine reports.
struct Recorder : SimplePingDelegate {
  void didStartWithAddress(VyRtmSimplePing&, const Bytes& address) override { started = address; }
  void didFailWithError(VyRtmSimplePing&, const PingError& error) override {
    failure = error;
    if (onFailure) onFailure();
  }
  void didSendPacket(VyRtmSimplePing&, const Bytes&, uint16_t seq) override { sent.push_back(seq); }
  void didFailToSendPacket(VyRtmSimplePing&, const Bytes&, uint16_t seq,
                           const PingError& error) override {
    sendFailures.push_back(seq);
    sendError = error;
  }
  void didReceivePingResponsePacket(VyRtmSimplePing&, const Bytes& packet, uint16_t seq) override {
    replies.push_back(seq);
    replyPackets.push_back(packet);
  }
  void didReceiveUnexpectedPacket(VyRtmSimplePing&, const Bytes& p) override {
    unexpected.push_back(p);
  }

  Bytes started;
  std::optional<PingError> failure, sendError;
  std::function<void()> onFailure;
  std::vector<uint16_t> sent, sendFailures, replies;
  std::vector<Bytes> replyPackets, unexpected;
};

class SimplePingEngineTest : public test::LoopTest {
 protected:
  void TearDown() override { rtc::SetGetAddrInfoForTesting(nullptr, nullptr); }

  std::shared_ptr<VyRtmSimplePing> Start(const std::string& host, int style = 0) {
    auto ping = VyRtmSimplePing::create(host);
    ping->setAddressStyle(style);
    ping->setDelegate(recorder_);
    ping->start();
    return ping;
  }

  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
};

int FailingLookup(const char*, const char*, const addrinfo*, addrinfo**) { return EAI_NONAME; }

// Every name is ::1, looked up as a literal so that nothing leaves the process.
int OnlyIPv6Lookup(const char*, const char*, const addrinfo* hints, addrinfo** result) {
  addrinfo h = *hints;
  h.ai_family = AF_UNSPEC;
  h.ai_flags = AI_NUMERICHOST;
  return ::getaddrinfo("::1", nullptr, &h, result);
}

// A failed lookup is CFNetwork's 2 with the resolver's error; no address of the forced family
// its 1. The delegate drops the engine from inside the report.
TEST_F(SimplePingEngineTest, LookupsThatGiveNoAddressReportCFNetworkErrors) {
  for (const auto& [lookup, host, style, code] :
       {std::tuple(&FailingLookup, "unknown.test", 0, 2),
        std::tuple(&OnlyIPv6Lookup, "v6only.test", VyRtmSimplePing::kAddressStyleICMPv4, 1),
        std::tuple(&OnlyIPv6Lookup, "::1", VyRtmSimplePing::kAddressStyleICMPv4, 1)}) {
    rtc::SetGetAddrInfoForTesting(lookup, &::freeaddrinfo);
    recorder_->failure.reset();
    auto ping = Start(host, style);
    recorder_->onFailure = [&] { ping.reset(); };
    ASSERT_TRUE(PumpUntil([&] { return recorder_->failure.has_value(); })) << host;
    EXPECT_EQ(PingError::Domain::CFNetwork, recorder_->failure->domain) << host;
    EXPECT_STREQ("kCFErrorDomainCFNetwork", recorder_->failure->domainName());
    EXPECT_EQ(code, recorder_->failure->code) << host;
    EXPECT_EQ(code == 2 ? std::optional<int>(EAI_NONAME) : std::nullopt,
              recorder_->failure->getAddrInfoFailure)
        << host;
    EXPECT_EQ(nullptr, ping);
  }
}

TEST_F(SimplePingEngineTest, SendsBeforeTheStartDoNothingAndOnesWithoutSocketFailWithEBADF) {
  auto ping = VyRtmSimplePing::create("127.0.0.1");
  ping->setDelegate(recorder_);
  ping->stop();
  ping->sendPingWithData(nullptr);
  EXPECT_EQ(0, ping->nextSequenceNumber());
  EXPECT_TRUE(recorder_->sent.empty() && recorder_->sendFailures.empty());
  ping->start();
  ping->stop();
  ping->stop();
  EXPECT_FALSE(ping->isResolving());
  // A started engine whose socket is gone: the number still advances, and wraps.
  TestPing started;
  started.setDelegate(recorder_);
  started.setState(1, 65535, false, AF_INET);
  started.sendPingWithData(nullptr);
  EXPECT_EQ(std::vector<uint16_t>({65535}), recorder_->sendFailures);
  EXPECT_EQ(EBADF, recorder_->sendError.value_or(PingError::posix(0)).code);
  EXPECT_TRUE(started.nextSequenceNumber() == 0 && started.nextSequenceNumberHasWrapped());
}

// The kernel's own echo responder on loopback, in a namespace of the test's own.
using LoopbackCase = std::tuple<const char*, const char*, int>;  // host, setup, socket type

class SimplePingLoopbackTest : public SimplePingEngineTest,
                               public testing::WithParamInterface<LoopbackCase> {};

TEST_P(SimplePingLoopbackTest, EchoRequestsGetTheirRepliesFromTheKernel) {
  const auto& [host, setup, socketType] = GetParam();
  VORTM_RUN_IN_PRIVATE_NETNS(setup);
  auto ping = Start(host);
  ASSERT_TRUE(PumpUntil([&] { return !recorder_->started.empty() || recorder_->failure; }));
  ASSERT_FALSE(recorder_->failure.has_value()) << recorder_->failure->code;
  EXPECT_EQ(socketType, ping->socketType());
  ping->sendPingWithData(nullptr);
  ping->sendPingWithData(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return recorder_->replies.size() == 2; }));
  EXPECT_EQ(std::vector<uint16_t>({0, 1}), recorder_->sent);
  EXPECT_EQ(std::vector<uint16_t>({0, 1}), recorder_->replies);
  const Bytes& reply = recorder_->replyPackets[0];
  ASSERT_EQ(64u, reply.size());
  EXPECT_EQ(ping->identifier(), (reply[4] << 8) | reply[5]);
  EXPECT_EQ(VyRtmSimplePing::standardPayload(0), Bytes(reply.begin() + 8, reply.end()));
  if (socketType == SOCK_RAW && strchr(host, ':') == nullptr) {
    // A raw socket also sees its own requests going out on loopback.
    ASSERT_FALSE(recorder_->unexpected.empty());
    EXPECT_EQ(8, recorder_->unexpected[0][20]);
  }
  ping->stop();
  EXPECT_EQ(0, ping->socketType());
}

INSTANTIATE_TEST_SUITE_P(Sockets, SimplePingLoopbackTest,
                         // Root without permission for datagram ICMP falls back to raw sockets.
                         testing::Values(LoopbackCase{"127.0.0.1", test::kAllowPing, SOCK_DGRAM},
                                         LoopbackCase{"::1", test::kAllowPing, SOCK_DGRAM},
                                         LoopbackCase{"127.0.0.1", test::kForbidPing, SOCK_RAW},
                                         LoopbackCase{"::1", test::kForbidPing, SOCK_RAW}));

TEST_F(SimplePingEngineTest, WithoutAnyPermissionForICMPTheEngineFailsWithEACCES) {
  VORTM_RUN_IN_PRIVATE_NETNS(test::kForbidPing, /*asNobody=*/true);
  auto ping = Start("127.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return recorder_->failure.has_value(); }));
  EXPECT_EQ(PingError::Domain::POSIX, recorder_->failure->domain);
  EXPECT_STREQ("NSPOSIXErrorDomain", recorder_->failure->domainName());
  EXPECT_EQ(EACCES, recorder_->failure->code);
  EXPECT_TRUE(ping->hostAddress().empty());
}

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
  test::FakeEngines engines_;
  std::shared_ptr<VyRtmSimplePinger> pinger_;
  Strings changes_;
};

TEST_F(PingerTest, WithoutRepliesTheHostIsUnreachableThreeSecondsAfterTheLastReply) {
  StartProbe();
  Advance(2000);
  EXPECT_EQ(std::vector<uint16_t>({0, 1}), pinger_->sentSequenceNumbers());
  engines_.last().reply(1);  // at 2000, for the second send: both are answered
  EXPECT_EQ(0, pinger_->count());
  EXPECT_TRUE(pinger_->sentSequenceNumbers().empty());
  Advance(2999);
  EXPECT_TRUE(pinger_->reachable());
  Advance(1);
  EXPECT_EQ(Strings({"down@5000"}), changes_);
  // Still no reply: no further report, and the next reply brings it back at once.
  Advance(3000);
  engines_.last().reply(engines_.last().nextSequenceNumber() - 1);
  EXPECT_EQ(Strings({"down@5000", "up@8000"}), changes_);
}

TEST_F(PingerTest, AFailedSendIsUnreachableAtOnceAndRefusedPermissionDisablesTheProbe) {
  StartProbe();
  engines_.last().sendFails = true;
  Advance(1000);
  EXPECT_EQ(Strings({"down@1000"}), changes_);
  engines_.last().fail(EACCES);
  EXPECT_TRUE(pinger_->reachable());
  EXPECT_TRUE(pinger_->probeDisabled());
  EXPECT_EQ(Strings({"down@1000", "up@1000"}), changes_);
  Advance(60000, 100);
  EXPECT_EQ(1u, engines_.made.size());
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
  EXPECT_EQ(Strings({"down@0"}), changes_);
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

// The manager over fake sources.
class NetManagerTest : public test::FakeClockLoopTest {
 protected:
  struct Reports : VyRtmNetworkDelegate {
    void networkStatusDidChanged(VyRtmNetManager&, const std::string&, int netType) override {
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
  test::FakeEngines engines_;
  std::shared_ptr<Reports> reports_ = std::make_shared<Reports>();
  std::shared_ptr<VyRtmNetManager> manager_;
};

TEST_F(NetManagerTest, TheNetTypeNeedsBothReachabilityAndTheProbeAndOnlyChangesAreReported) {
  reachability_->flags = R;
  auto manager = Make();
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
  // Another object, whose target is unreachable too, reporting a change is taken as well.
  reachability_->emit(R);
  Advance(0);
  auto other = std::make_shared<FakeReachability>();
  auto otherReachability = VyRtmReachability::createWithHostName("other.test", other->factory());
  otherReachability->startNotifier();
  Advance(0);
  EXPECT_EQ(std::vector<int>({2, 0, 2, 0, 2, 0}), reports_->types);
}

// A working cellular route is never reported as no network (0), which would make the core
// probe its connection: a technology that cannot be read counts as 2G.
TEST_F(NetManagerTest, CellularTakesItsTypeFromTheRadioTechnology) {
  const std::tuple<std::optional<std::string>, bool, int> cases[] = {
      {kCTRadioAccessTechnologyNR, true, 6},
      {kCTRadioAccessTechnologyNRNSA, true, 6},
      {kCTRadioAccessTechnologyNR, false, 3},
      {kCTRadioAccessTechnologyGPRS, true, 3},
      {kCTRadioAccessTechnologyEdge, true, 3},
      {kCTRadioAccessTechnologyCDMA1x, true, 3},
      {kCTRadioAccessTechnologyWCDMA, true, 4},
      {kCTRadioAccessTechnologyHSDPA, true, 4},
      {kCTRadioAccessTechnologyHSUPA, true, 4},
      {kCTRadioAccessTechnologyCDMAEVDORev0, true, 4},
      {kCTRadioAccessTechnologyCDMAEVDORevA, true, 4},
      {kCTRadioAccessTechnologyCDMAEVDORevB, true, 4},
      {kCTRadioAccessTechnologyeHRPD, true, 4},
      {kCTRadioAccessTechnologyLTE, true, 5},
      {"CTRadioAccessTechnologySomethingNew", true, 3},
      {std::nullopt, true, 3},
  };
  for (const auto& [technology, nr, netType] : cases) {
    auto manager = Make(std::make_shared<test::FakeRadio>(technology, nr));
    EXPECT_EQ(netType, manager->getNetType()) << technology.value_or("none") << " " << nr;
  }
  reachability_->flags = R | W;
  Make(std::make_shared<test::FakeRadio>(kCTRadioAccessTechnologyLTE, true))->startNotifier();
  Advance(0);
  Make(std::make_shared<NoRadioInfoSource>())->startNotifier();  // a device without a radio
  Advance(0);
  EXPECT_EQ(std::vector<int>({5, 3}), reports_->types);
}

TEST_F(NetManagerTest, AStartOvertakenByAStopDoesNothing) {
  reachability_->flags = R;
  auto manager = Make();
  std::thread([&] {
    manager->startNotifier();
    manager->stopNotifier();
  }).join();
  Advance(0);
  EXPECT_TRUE(engines_.made.empty() && reports_->types.empty());
  manager->startNotifier();
  Advance(0);
  EXPECT_EQ(1u, engines_.made.size());
  EXPECT_EQ(std::vector<int>({2}), reports_->types);
}

// Modems as the fake ModemManager takes them: [State, AccessTechnologies] pairs in JSON.
std::string Modems(std::initializer_list<std::pair<int, uint32_t>> modems) {
  std::string json = "[";
  for (const auto& [state, technologies] : modems) {
    if (json.size() > 1) json += ",";
    json += "[" + std::to_string(state) + "," + std::to_string(technologies) + "]";
  }
  return json + "]";
}

constexpr char kModemManager[] = "org.freedesktop.ModemManager1";
constexpr char kFakeModemManager[] = "/usr/bin/python3 -m dbusmock --system -t " VORTM_SOURCE_DIR
                                     "/tests/platform/modem_manager_mock.py";

// ModemManager's radio source on a system bus of the test's own, where the test's ModemManager
// (python3-dbusmock with modem_manager_mock.py) holds the modems the test gives it.
class ModemManagerRadioTest : public NetManagerTest {
 protected:
  void TearDown() override {
    bus_.reset();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    NetManagerTest::TearDown();
  }
  // A new bus, which starts `modemManager` when a call asks for ModemManager.
  void StartBus(const std::string& modemManager = kFakeModemManager) {
    bus_.reset();
    bus_ = std::make_unique<rtc::testing::PrivateBus>(dir_.path(), kModemManager, modemManager);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str(), 1);
    ASSERT_EQ("", bus_->Start());
  }
  // A call on the bus, ended when this returns.
  void Send(const std::string& destination, const std::string& method, const std::string& args) {
    ASSERT_TRUE(test::Shell("dbus-send --system --print-reply=literal --dest=" + destination + " " +
                            method + " " + args + " >/dev/null"))
        << method << "\n"
        << bus_->log();
  }
  void StartModemManager() {
    StartBus();
    Send("org.freedesktop.DBus", "/org/freedesktop/DBus org.freedesktop.DBus.StartServiceByName",
         std::string("string:") + kModemManager + " uint32:0");
  }
  void SetModems(const std::string& json) {
    Send(kModemManager, "/org/freedesktop/ModemManager1 org.freedesktop.DBus.Mock.SetModems",
         "string:'" + json + "'");
  }

  vy_test::TempDir dir_;
  std::unique_ptr<rtc::testing::PrivateBus> bus_;
};

TEST_F(ModemManagerRadioTest, AttachedModemsGiveTheNameOfTheirBestTechnologyAndItsNetType) {
  ASSERT_NO_FATAL_FAILURE(StartModemManager());
  constexpr int C = kMMModemStateConnected, Reg = kMMModemStateRegistered;
  // A connected LTE modem after as many registered GPRS ones as are looked at.
  std::string tooMany = "[";
  for (size_t i = 0; i < ModemManagerRadioSource::kMaxModems; ++i) tooMany += "[8,8],";
  const std::tuple<std::string, const char*, int> cases[] = {
      {Modems({{C, kMMAccessTechnologyGsm}}), "GPRS", 3},
      {Modems({{C, kMMAccessTechnologyGsmCompact}}), "GPRS", 3},
      {Modems({{C, kMMAccessTechnologyGprs}}), "GPRS", 3},
      {Modems({{C, kMMAccessTechnologyEdge}}), "Edge", 3},
      {Modems({{C, kMMAccessTechnology1xrtt}}), "CDMA1x", 3},
      {Modems({{C, kMMAccessTechnologyUmts}}), "WCDMA", 4},
      {Modems({{C, kMMAccessTechnologyHsdpa}}), "HSDPA", 4},
      {Modems({{C, kMMAccessTechnologyHsupa}}), "HSUPA", 4},
      {Modems({{C, kMMAccessTechnologyHspa}}), "HSUPA", 4},
      {Modems({{C, kMMAccessTechnologyHspaPlus}}), "HSUPA", 4},
      {Modems({{C, kMMAccessTechnologyEvdo0}}), "CDMAEVDORev0", 4},
      {Modems({{C, kMMAccessTechnologyEvdoA}}), "CDMAEVDORevA", 4},
      {Modems({{C, kMMAccessTechnologyEvdoB}}), "CDMAEVDORevB", 4},
      {Modems({{C, kMMAccessTechnologyLte}}), "LTE", 5},
      {Modems({{C, kMMAccessTechnologyLteCatM}}), "LTE", 5},
      {Modems({{C, kMMAccessTechnologyLteNbIot}}), "LTE", 5},
      {Modems({{C, kMMAccessTechnology5gnr}}), "NR", 6},
      {Modems({{C, kMMAccessTechnologyLte | kMMAccessTechnology5gnr}}), "NRNSA", 6},
      // Several bits: the best; none, or only an analog line: no technology, and 2G.
      {Modems({{C, kMMAccessTechnologyGsm | kMMAccessTechnologyEdge}}), "Edge", 3},
      {Modems({{C, kMMAccessTechnologyUmts | kMMAccessTechnologyHsdpa}}), "HSDPA", 4},
      {Modems({{C, 0}, {C, kMMAccessTechnologyPots}}), "", 3},
      // Attached: registered, connecting, disconnecting or connected; no other state.
      {Modems({{Reg, kMMAccessTechnologyLte}}), "LTE", 5},
      {Modems({{kMMModemStateConnecting, kMMAccessTechnologyLte}}), "LTE", 5},
      {Modems({{kMMModemStateDisconnecting, kMMAccessTechnologyLte}}), "LTE", 5},
      {Modems({{7, kMMAccessTechnologyLte}, {6, kMMAccessTechnologyLte}}), "", 3},
      {Modems({{3, kMMAccessTechnologyLte}, {-1, kMMAccessTechnologyLte}}), "", 3},
      {Modems({}), "", 3},
      // Several modems: a connected one before the others, then the best technology.
      {Modems({{Reg, kMMAccessTechnologyLte}, {C, kMMAccessTechnologyUmts}}), "WCDMA", 4},
      {Modems({{C, kMMAccessTechnologyUmts}, {Reg, kMMAccessTechnologyLte}}), "WCDMA", 4},
      {Modems({{C, kMMAccessTechnologyUmts}, {C, kMMAccessTechnologyLte}}), "LTE", 5},
      {Modems({{Reg, kMMAccessTechnologyHsdpa}, {Reg, kMMAccessTechnologyGprs}}), "HSDPA", 4},
      {Modems({{6, kMMAccessTechnology5gnr}, {Reg, kMMAccessTechnologyEdge}}), "Edge", 3},
      // Properties missing or of other types count as absent; modems past the limit too.
      {R"([["11",16384],[11,"x"],[null,16384],[11,null]])", "", 3},
      {R"([["11",16384],[11,16]])", "Edge", 3},
      {tooMany + "[11,16384]]", "GPRS", 3},
  };
  auto source = std::make_shared<ModemManagerRadioSource>(10000);
  auto manager = Make(source);
  for (const auto& [modems, name, netType] : cases) {
    SetModems(modems);
    std::string expected = *name ? "CTRadioAccessTechnology" + std::string(name) : "";
    EXPECT_EQ(expected, source->currentRadioAccessTechnology().value_or("")) << modems;
    EXPECT_EQ(netType, manager->getNetType()) << modems;
  }
  // The watcher's own source is ModemManager's; and a restarted bus is asked again at once.
  SetModems(Modems({{C, kMMAccessTechnologyLte}}));
  EXPECT_EQ(5, Make()->getNetType());
  ASSERT_NO_FATAL_FAILURE(StartModemManager());
  SetModems(Modems({{C, kMMAccessTechnologyUmts}}));
  EXPECT_EQ(kCTRadioAccessTechnologyWCDMA, source->currentRadioAccessTechnology().value_or(""));
}

TEST_F(ModemManagerRadioTest, WithoutModemManagerTheAnswerIsNoneAtOnceAndNothingIsStarted) {
  // Were ModemManager asked for with auto-start, the bus would run this, and answer the call
  // only once it had ended.
  ASSERT_NO_FATAL_FAILURE(StartBus("/usr/bin/touch " + dir_.File("started")));
  auto source = std::make_shared<ModemManagerRadioSource>(10000);
  for (bool busRuns : {true, false}) {
    if (!busRuns) bus_.reset();
    const int64_t start = rtc::SystemTimeMillis();
    EXPECT_EQ(std::nullopt, source->currentRadioAccessTechnology());
    EXPECT_LT(rtc::SystemTimeMillis() - start, 1000) << busRuns;
    EXPECT_FALSE(std::filesystem::exists(dir_.File("started")));
    // A working cellular route whose technology cannot be read is 2G, never 0.
    EXPECT_EQ(3, Make(source)->getNetType());
  }
}

TEST_F(ModemManagerRadioTest, ABusThatNeverAnswersCostsOneTimeOutAndIsLeftAloneForAWhile) {
  // A socket that takes connections and never answers them.
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof(address.sun_path), "%s", dir_.File("bus").c_str());
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  ASSERT_EQ(0, listen(listener, 16));
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir_.File("bus")).c_str(), 1);
  auto connections = [&] {
    int made = 0;
    for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++made) close(fd);
    return made;
  };
  ModemManagerRadioSource source;  // the kit's budget
  const int64_t start = rtc::SystemTimeMillis();
  EXPECT_EQ(std::nullopt, source.currentRadioAccessTechnology());
  // 200 ms, with room for a loaded machine; sd-bus's own time-outs are 25 s and more.
  const int64_t spent = rtc::SystemTimeMillis() - start;
  EXPECT_GE(spent, 200);
  EXPECT_LT(spent, 900);
  EXPECT_EQ(1, connections());
  // No new connection before the pause is over, and the pause doubles.
  for (int64_t pause :
       {ModemManagerRadioSource::kFirstRetryDelayMs, int64_t{10000}, int64_t{20000}}) {
    Advance(pause - 1, pause - 1);
    EXPECT_EQ(std::nullopt, source.currentRadioAccessTechnology());
    EXPECT_EQ(0, connections()) << pause;
    Advance(1);
    EXPECT_EQ(std::nullopt, source.currentRadioAccessTechnology());
    EXPECT_EQ(1, connections()) << pause;
  }
  close(listener);
}

}  // namespace
}  // namespace vortm
