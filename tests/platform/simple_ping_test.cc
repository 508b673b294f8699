#include "platform/vy_rtm_simple_ping.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loop_fixture.h"
#include "netns.h"
#include "rtc_base/net_helpers.h"

namespace vortm {
namespace {

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
  Bytes p(std::max(ihl, 5) * 4, 0);
  p[0] = static_cast<uint8_t>(0x40 | ihl);
  p[9] = protocol;
  p.insert(p.end(), icmp.begin(), icmp.end());
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
    host_address_.assign(reinterpret_cast<uint8_t*>(&addr), reinterpret_cast<uint8_t*>(&addr) + size);
  }
};

TEST(SimplePingPacketTest, StandardRequestIs64BytesWithTheBeerTextAndAValidChecksum) {
  TestPing ping;
  ping.setState(0x1234, 0, false, AF_INET);
  Bytes payload = VyRtmSimplePing::standardPayload(0);
  EXPECT_EQ(std::string(26, ' ') + "99 bottles of beer on the wall",
            std::string(payload.begin(), payload.end()));
  Bytes later = VyRtmSimplePing::standardPayload(101);
  EXPECT_EQ(std::string(26, ' ') + "98 bottles of beer on the wall",
            std::string(later.begin(), later.end()));

  Bytes packet = ping.pingPacketWithType(8, payload, true);
  ASSERT_EQ(64u, packet.size());
  EXPECT_EQ(Bytes({8, 0}), Bytes(packet.begin(), packet.begin() + 2));
  EXPECT_EQ(Bytes({0x12, 0x34, 0, 0}), Bytes(packet.begin() + 4, packet.begin() + 8));
  EXPECT_EQ(0xFFFF, ReferenceSum(packet));
  Bytes v6 = ping.pingPacketWithType(128, payload, false);
  EXPECT_EQ(0, v6[2] | v6[3]);
}

TEST(SimplePingPacketTest, ChecksumMatchesKnownBytes) {
  struct Case {
    Bytes data;
    Bytes stored;
  } cases[] = {
      {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, {0x22, 0x0D}},  // RFC 1071's example
      {{0x01, 0x02, 0x03}, {0xFB, 0xFD}},                                // odd length
      {{}, {0xFF, 0xFF}},
      {{0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00}},
  };
  for (const Case& c : cases) {
    uint16_t sum = VyRtmSimplePing::checksum(c.data.data(), c.data.size());
    Bytes stored(2);
    memcpy(stored.data(), &sum, 2);
    EXPECT_EQ(c.stored, stored) << testing::PrintToString(c.data);
  }
}

TEST(SimplePingValidationTest, IPv4RepliesAreCheckedFieldByField) {
  const uint16_t id = 0xBEEF;
  Bytes reply = Echo(0, id, 5);
  Bytes badSum = reply;
  badSum[20] ^= 1;
  Bytes longHeader = WithIPv4Header(Echo(0, id, 5, 0), 15);  // 60 + 8 bytes needed
  longHeader.resize(67);
  struct Case {
    const char* what;
    Bytes datagram;
    int socketType;
    bool valid;
  } cases[] = {
      {"reply behind its header", WithIPv4Header(reply), SOCK_RAW, true},
      {"reply on a datagram socket", reply, SOCK_DGRAM, true},
      {"header length beyond the datagram", longHeader, SOCK_RAW, false},
      {"header length below the minimum", WithIPv4Header(reply, 2), SOCK_RAW, false},
      {"not ICMP", WithIPv4Header(reply, 5, 17), SOCK_RAW, false},
      {"short datagram", Bytes(27, 0x45), SOCK_RAW, false},
      {"wrong checksum", WithIPv4Header(badSum), SOCK_RAW, false},
      {"own request", WithIPv4Header(Echo(8, id, 5)), SOCK_RAW, false},
      {"foreign identifier", WithIPv4Header(Echo(0, id + 1, 5)), SOCK_RAW, false},
      {"number not sent yet", WithIPv4Header(Echo(0, id, 10)), SOCK_RAW, false},
      {"short on a datagram socket", Bytes(reply.begin(), reply.begin() + 7), SOCK_DGRAM, false},
  };
  for (Case& c : cases) {
    TestPing ping;
    ping.setState(id, 10, false, AF_INET, c.socketType);
    uint16_t seq = 0;
    Bytes packet = c.datagram;
    EXPECT_EQ(c.valid, ping.validatePingResponsePacket(packet, &seq)) << c.what;
    if (c.valid) {
      EXPECT_EQ(5, seq) << c.what;
      EXPECT_EQ(reply, packet) << c.what << ": the delegate gets the ICMP message alone";
    }
  }
}

TEST(SimplePingValidationTest, IPv6RepliesNeedType129AndTheEnginesIdentifier) {
  TestPing ping;
  ping.setState(7, 3, false, AF_INET6);
  uint16_t seq = 0;
  Bytes valid = Echo(129, 7, 2);
  EXPECT_TRUE(ping.validatePingResponsePacket(valid, &seq));
  EXPECT_EQ(2, seq);
  Bytes request = Echo(128, 7, 2), foreign = Echo(129, 8, 2), tiny = Bytes(7, 0);
  EXPECT_FALSE(ping.validatePingResponsePacket(request, &seq));
  EXPECT_FALSE(ping.validatePingResponsePacket(foreign, &seq));
  EXPECT_FALSE(ping.validatePingResponsePacket(tiny, &seq));
}

TEST(SimplePingValidationTest, AfterTheWrapOnlyTheLast120NumbersCount) {
  TestPing ping;
  ping.setState(1, 10, false, AF_INET);
  EXPECT_TRUE(ping.validateSequenceNumber(9));
  EXPECT_FALSE(ping.validateSequenceNumber(10));
  EXPECT_FALSE(ping.validateSequenceNumber(65500));
  ping.setState(1, 10, true, AF_INET);
  EXPECT_TRUE(ping.validateSequenceNumber(65500));   // 46 back
  EXPECT_TRUE(ping.validateSequenceNumber(9));
  EXPECT_TRUE(ping.validateSequenceNumber(65427));   // 119 back
  EXPECT_FALSE(ping.validateSequenceNumber(65426));  // 120 back
  EXPECT_FALSE(ping.validateSequenceNumber(65000));
}

// Everything the engine reports.
struct Recorder : SimplePingDelegate {
  void didStartWithAddress(VyRtmSimplePing&, const Bytes& address) override {
    startAddress = address;
  }
  void didFailWithError(VyRtmSimplePing&, const PingError& error) override {
    failure = error;
    if (onFailure) onFailure();
  }
  void didSendPacket(VyRtmSimplePing&, const Bytes& packet, uint16_t seq) override {
    sent.push_back(seq);
    sentPackets.push_back(packet);
  }
  void didFailToSendPacket(VyRtmSimplePing&, const Bytes&, uint16_t seq,
                           const PingError& error) override {
    sendFailures.push_back(seq);
    sendError = error;
  }
  void didReceivePingResponsePacket(VyRtmSimplePing&, const Bytes& packet, uint16_t seq) override {
    replies.push_back(seq);
    replyPackets.push_back(packet);
  }
  void didReceiveUnexpectedPacket(VyRtmSimplePing&, const Bytes& packet) override {
    unexpected.push_back(packet);
  }

  Bytes startAddress;
  std::optional<PingError> failure;
  std::function<void()> onFailure;
  std::vector<uint16_t> sent, sendFailures, replies;
  std::vector<Bytes> sentPackets, replyPackets, unexpected;
  std::optional<PingError> sendError;
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

int FailingLookup(const char*, const char*, const addrinfo*, addrinfo**) {
  return EAI_NONAME;
}

// Every name is ::1, looked up as a literal so that nothing leaves the process.
int OnlyIPv6Lookup(const char*, const char*, const addrinfo* hints, addrinfo** result) {
  addrinfo h = *hints;
  h.ai_family = AF_UNSPEC;
  h.ai_flags = AI_NUMERICHOST;
  return ::getaddrinfo("::1", nullptr, &h, result);
}

TEST_F(SimplePingEngineTest, AFailedLookupReportsCFNetworkCode2WithTheResolversError) {
  rtc::SetGetAddrInfoForTesting(&FailingLookup, &::freeaddrinfo);
  auto ping = Start("unknown.test");
  // The delegate drops the engine from inside the report.
  recorder_->onFailure = [&] { ping.reset(); };
  ASSERT_TRUE(PumpUntil([&] { return recorder_->failure.has_value(); }));
  EXPECT_EQ(PingError::Domain::CFNetwork, recorder_->failure->domain);
  EXPECT_STREQ("kCFErrorDomainCFNetwork", recorder_->failure->domainName());
  EXPECT_EQ(2, recorder_->failure->code);
  EXPECT_EQ(EAI_NONAME, recorder_->failure->getAddrInfoFailure);
  EXPECT_EQ(nullptr, ping);
}

TEST_F(SimplePingEngineTest, NoAddressOfTheForcedFamilyReportsCode1AndStops) {
  rtc::SetGetAddrInfoForTesting(&OnlyIPv6Lookup, &::freeaddrinfo);
  for (const char* host : {"v6only.test", "::1"}) {
    recorder_->failure.reset();
    auto ping = Start(host, VyRtmSimplePing::kAddressStyleICMPv4);
    ASSERT_TRUE(PumpUntil([&] { return recorder_->failure.has_value(); })) << host;
    EXPECT_EQ(PingError::Domain::CFNetwork, recorder_->failure->domain) << host;
    EXPECT_EQ(1, recorder_->failure->code) << host;
    EXPECT_FALSE(recorder_->failure->getAddrInfoFailure.has_value()) << host;
    EXPECT_TRUE(ping->hostAddress().empty()) << host;
    EXPECT_FALSE(ping->isResolving()) << host;
  }
}

TEST_F(SimplePingEngineTest, SendingBeforeTheStartDoesNothingAndStopIsSafeAnyTime) {
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
}

TEST(SimplePingSendTest, ASendWithoutSocketFailsWithEBADFAndTheNumberStillAdvancesAndWraps) {
  auto recorder = std::make_shared<Recorder>();
  TestPing ping;
  ping.setDelegate(recorder);
  ping.setState(1, 65535, false, AF_INET);
  ping.sendPingWithData(nullptr);
  EXPECT_EQ(std::vector<uint16_t>({65535}), recorder->sendFailures);
  ASSERT_TRUE(recorder->sendError.has_value());
  EXPECT_EQ(EBADF, recorder->sendError->code);
  EXPECT_EQ(0, ping.nextSequenceNumber());
  EXPECT_TRUE(ping.nextSequenceNumberHasWrapped());
}

// The kernel's own echo responder on loopback, in a namespace of the test's own.
struct LoopbackCase {
  const char* host;
  const char* setup;
  int socketType;
};

class SimplePingLoopbackTest : public SimplePingEngineTest,
                               public testing::WithParamInterface<LoopbackCase> {};

TEST_P(SimplePingLoopbackTest, EchoRequestsGetTheirRepliesFromTheKernel) {
  VORTM_RUN_IN_PRIVATE_NETNS(GetParam().setup);
  auto ping = Start(GetParam().host);
  ASSERT_TRUE(PumpUntil([&] { return !recorder_->startAddress.empty() || recorder_->failure; }));
  ASSERT_FALSE(recorder_->failure.has_value()) << recorder_->failure->code;
  EXPECT_EQ(GetParam().socketType, ping->socketType());
  ping->sendPingWithData(nullptr);
  ping->sendPingWithData(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return recorder_->replies.size() == 2; }));
  EXPECT_EQ(std::vector<uint16_t>({0, 1}), recorder_->sent);
  EXPECT_EQ(std::vector<uint16_t>({0, 1}), recorder_->replies);
  const Bytes& reply = recorder_->replyPackets[0];
  ASSERT_EQ(64u, reply.size());
  EXPECT_EQ(ping->identifier(), (reply[4] << 8) | reply[5]);
  EXPECT_EQ(VyRtmSimplePing::standardPayload(0), Bytes(reply.begin() + 8, reply.end()));
  if (GetParam().socketType == SOCK_RAW && strchr(GetParam().host, ':') == nullptr) {
    // A raw socket also sees its own requests going out on loopback.
    ASSERT_FALSE(recorder_->unexpected.empty());
    EXPECT_EQ(8, recorder_->unexpected[0][20]);
  }
  ping->stop();
  EXPECT_EQ(0, ping->socketType());
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, SimplePingLoopbackTest,
    testing::Values(LoopbackCase{"127.0.0.1", test::kAllowPing, SOCK_DGRAM},
                    LoopbackCase{"::1", test::kAllowPing, SOCK_DGRAM},
                    // Root without permission for datagram ICMP falls back to raw sockets.
                    LoopbackCase{"127.0.0.1", test::kForbidPing, SOCK_RAW},
                    LoopbackCase{"::1", test::kForbidPing, SOCK_RAW}));

TEST_F(SimplePingEngineTest, RequestsGetNoReplyWhileTheKernelIgnoresEchoes) {
  VORTM_RUN_IN_PRIVATE_NETNS(std::string(test::kAllowPing) +
                             " && echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all");
  auto v4 = Start("127.0.0.1");
  auto marker = std::make_shared<Recorder>();
  auto v6 = VyRtmSimplePing::create("::1");
  v6->setDelegate(marker);
  v6->start();
  ASSERT_TRUE(PumpUntil([&] {
    return !recorder_->startAddress.empty() && !marker->startAddress.empty();
  }));
  v4->sendPingWithData(nullptr);
  // IPv6 echoes are still answered; once that answer is in, an IPv4 one would be too.
  v6->sendPingWithData(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return !marker->replies.empty(); }));
  test::Pump();
  MainLoop::thread()->ProcessMessages(0);
  EXPECT_EQ(std::vector<uint16_t>({0}), recorder_->sent);
  EXPECT_TRUE(recorder_->replies.empty());
}

TEST_F(SimplePingEngineTest, WithoutAnyPermissionForICMPTheEngineFailsWithEACCES) {
  VORTM_RUN_IN_PRIVATE_NETNS(test::kForbidPing, /*asNobody=*/true);
  auto ping = Start("127.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return recorder_->failure.has_value(); }));
  EXPECT_EQ(PingError::Domain::POSIX, recorder_->failure->domain);
  EXPECT_STREQ("NSPOSIXErrorDomain", recorder_->failure->domainName());
  EXPECT_EQ(EACCES, recorder_->failure->code);
  EXPECT_TRUE(ping->hostAddress().empty());
}

}  // namespace
}  // namespace vortm
