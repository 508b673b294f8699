// Every fault control, observed on the wire by a raw client; and bad input from a client.
#include <gmock/gmock.h>
#include <sys/socket.h>

#include <chrono>

#include "test_util.h"

namespace local_service_test {
namespace {

using local_service::CloseMode;
using local_service::Direction;
using local_service::FaultAction;
using local_service::FaultRule;
using local_service::GatewayMode;
using local_service::OfflineMode;
using local_service::PushForm;

class FaultTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
  }
  void Fault(FaultAction action, const std::string& cmd = "", int64_t value = 0,
             int times = -1) {
    FaultRule rule;
    rule.user = "alice";
    rule.cmd = cmd;
    rule.action = action;
    rule.value = value;
    rule.times = times;
    svc_.AddFault(rule);
  }
  void Ask() { ASSERT_TRUE(a_.Send("CheckNetStatus", R"({"Time":1})")); }
  RawClient a_;
};

TEST_F(FaultTest, DropSwallowsTheReplyForAsManyTimesAsAsked) {
  Fault(FaultAction::kDrop, "CheckNetStatusAck", 0, 1);
  Ask();
  EXPECT_FALSE(a_.ReadCmd("CheckNetStatusAck", 300));
  Ask();
  EXPECT_TRUE(a_.ReadCmd("CheckNetStatusAck"));
}

TEST_F(FaultTest, DelayHoldsTheReplyBack) {
  Fault(FaultAction::kDelay, "CheckNetStatusAck", 400);
  auto start = std::chrono::steady_clock::now();
  Ask();
  EXPECT_FALSE(a_.ReadCmd("CheckNetStatusAck", 150));
  ASSERT_TRUE(a_.ReadCmd("CheckNetStatusAck"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

TEST_F(FaultTest, DuplicateSendsTheReplyTwice) {
  Fault(FaultAction::kDuplicate, "CheckNetStatusAck");
  Ask();
  EXPECT_TRUE(a_.ReadCmd("CheckNetStatusAck"));
  EXPECT_TRUE(a_.ReadCmd("CheckNetStatusAck"));
}

TEST_F(FaultTest, ReplaceFieldChangesTheCode) {
  Fault(FaultAction::kReplaceField, "RenewAcsToken", 7);
  ASSERT_TRUE(a_.Send("RenewAcsToken", R"({"AcsToken":"t"})"));
  auto reply = a_.ReadCmd("RenewAcsToken");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, R"({"Code":7})");
}

TEST_F(FaultTest, PlainRuleSendsTheBodyAsText) {
  Fault(FaultAction::kPlain);
  Ask();
  auto reply = a_.ReadCmd("CheckNetStatusAck");
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->encrypted);
  EXPECT_EQ(reply->raw, R"({"Cmd":"CheckNetStatusAck","Encrypt":false,"Content":"{\"Time\":1}"})");
}

TEST_F(FaultTest, EnvelopeFaultsMakeTheContentFailTheClientsChecks) {
  struct Case {
    FaultAction action;
    int expected;
  };
  for (auto c : {Case{FaultAction::kCorruptSignature, local_service::kCryptBadSignature},
                 Case{FaultAction::kWrongAppId, local_service::kCryptAppIdMismatch},
                 Case{FaultAction::kBadBase64, local_service::kCryptBadSignature},
                 Case{FaultAction::kBadPadding, local_service::kCryptDecryptFailed},
                 Case{FaultAction::kOversizeInnerLength, local_service::kCryptTooShort}}) {
    svc_.ClearFaults();
    Fault(c.action, "CheckNetStatusAck", 0, 1);
    Ask();
    auto reply = a_.ReadCmd("CheckNetStatusAck");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->crypt_result, c.expected) << static_cast<int>(c.action);
  }
}

TEST_F(FaultTest, GarbageComesBeforeThePacket) {
  Fault(FaultAction::kGarbageBefore, "CheckNetStatusAck", 5);
  Ask();
  std::string raw = a_.ReadRaw(6);
  EXPECT_EQ(raw.substr(0, 6), "xyzxy#");
}

TEST_F(FaultTest, BadFrameLengthAnnouncesTheGivenLength) {
  Fault(FaultAction::kBadFrameLength, "CheckNetStatusAck", 3);
  Ask();
  std::string raw = a_.ReadRaw(5);
  ASSERT_GE(raw.size(), 5u);
  EXPECT_EQ(raw.substr(0, 5), std::string("#\0\0\0\3", 5));
}

TEST_F(FaultTest, SplitWritesThePacketInSmallChunks) {
  Fault(FaultAction::kSplit, "CheckNetStatusAck", 40);
  Ask();
  // The first read sees no more than the first chunk.
  std::string bytes = a_.ReadRaw(1);
  EXPECT_LE(bytes.size(), 40u);
  while (bytes.size() < 5) bytes += a_.ReadRaw(1);
  size_t total = 0;
  for (int i = 1; i < 5; ++i) total = (total << 8) | static_cast<unsigned char>(bytes[i]);
  while (bytes.size() < total) {
    std::string more = a_.ReadRaw(1);
    ASSERT_FALSE(more.empty());
    bytes += more;
  }
  EXPECT_EQ(bytes.size(), total);
  Fault(FaultAction::kSplit, "CheckNetStatusAck", 1);
  Ask();
  ASSERT_TRUE(a_.ReadCmd("CheckNetStatusAck"));
}

TEST_F(FaultTest, ConnectionsAndGatewayRequestsAreTimed) {
  auto accepts = svc_.AcceptTimes();
  auto lookups = svc_.GatewayTimes();
  ASSERT_EQ(accepts.size(), 1u);
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_LE(lookups[0], accepts[0]);
  EXPECT_LE(accepts[0], svc_.NowMs());
}

TEST_F(FaultTest, DollarFramingSticksToTheConnection) {
  Fault(FaultAction::kDollarFraming, "CheckNetStatusAck", 0, 1);
  Ask();
  std::string raw = a_.ReadRaw(3);
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw[0], '$');
}

TEST_F(FaultTest, HashFramingOverridesTheConnectionsFramingForOnePacket) {
  auto first_byte = [&] {
    std::string raw = a_.ReadRaw(3);
    while (!a_.ReadRaw(1, 100).empty()) {
    }
    return raw.empty() ? '\0' : raw[0];
  };
  Fault(FaultAction::kDollarFraming, "CheckNetStatusAck", 0, 1);
  Ask();
  EXPECT_EQ('$', first_byte());
  Fault(FaultAction::kHashFraming, "CheckNetStatusAck", 0, 1);
  Ask();
  EXPECT_EQ('#', first_byte());
  Ask();
  EXPECT_EQ('$', first_byte());
}

TEST_F(FaultTest, CoalescedPacketsLeaveInOneWrite) {
  svc_.Coalesce("alice", 2);
  Ask();
  std::string first = a_.ReadRaw(1, 300);
  EXPECT_TRUE(first.empty());
  Ask();
  auto one = a_.ReadCmd("CheckNetStatusAck");
  auto two = a_.ReadCmd("CheckNetStatusAck");
  EXPECT_TRUE(one && two);
}

TEST_F(FaultTest, InboundDropSwallowsTheClientsCommand) {
  FaultRule rule;
  rule.direction = Direction::kFromClient;
  rule.cmd = "CheckNetStatus";
  rule.action = FaultAction::kDrop;
  svc_.AddFault(rule);
  Ask();
  EXPECT_FALSE(a_.ReadCmd("CheckNetStatusAck", 300));
  // It is still logged as received.
  EXPECT_TRUE(svc_.WaitForCommand("alice", "CheckNetStatus", 1, kWaitMs));
}

TEST_F(FaultTest, PushReachesTheUserInEitherForm) {
  ASSERT_TRUE(svc_.Push("alice", "AnyCmd", R"({"x":1})"));
  auto enc = a_.ReadCmd("AnyCmd");
  ASSERT_TRUE(enc);
  EXPECT_TRUE(enc->encrypted);
  EXPECT_EQ(enc->body, R"({"x":1})");
  ASSERT_TRUE(svc_.Push("alice", "AnyCmd", R"({"x":2})", PushForm::kPlain));
  auto plain = a_.ReadCmd("AnyCmd");
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->encrypted);
  EXPECT_FALSE(svc_.Push("nobody", "AnyCmd", "{}"));
}

TEST_F(FaultTest, DeterministicModeGivesTheSameBytesEveryTime) {
  svc_.SetDeterministic(true);
  ASSERT_TRUE(svc_.Push("alice", "AnyCmd", R"({"x":1})"));
  ASSERT_TRUE(svc_.Push("alice", "AnyCmd", R"({"x":1})"));
  auto one = a_.ReadCmd("AnyCmd");
  auto two = a_.ReadCmd("AnyCmd");
  ASSERT_TRUE(one && two);
  EXPECT_EQ(one->raw, two->raw);
  EXPECT_EQ(StrOf(one->raw, "Nonce"), "AAAAAAAAAA");
}

TEST_F(FaultTest, KickSendsForceOfflineThenCloses) {
  ASSERT_TRUE(svc_.Kick("alice"));
  auto kick = a_.ReadCmd("ForceOffline");
  ASSERT_TRUE(kick);
  EXPECT_TRUE(a_.WaitClosed());
  EXPECT_FALSE(svc_.IsOnline("alice"));
}

TEST_F(FaultTest, ExpireSendsBothTokenNoticesThenCloses) {
  ASSERT_TRUE(svc_.Expire("alice"));
  EXPECT_TRUE(a_.ReadCmd("AcsTokenWillExpire"));
  EXPECT_TRUE(a_.ReadCmd("AcsTokenDidExpire"));
  EXPECT_TRUE(a_.WaitClosed());
}

TEST_F(FaultTest, CloseWithRstResetsTheConnection) {
  ASSERT_TRUE(svc_.Close("alice", CloseMode::kRst));
  bool reset = false;
  EXPECT_TRUE(a_.WaitClosed(kWaitMs, &reset));
  EXPECT_TRUE(reset);
}

TEST_F(FaultTest, CloseWithFinEndsTheStreamCleanly) {
  ASSERT_TRUE(svc_.Close("alice", CloseMode::kFin));
  bool reset = true;
  EXPECT_TRUE(a_.WaitClosed(kWaitMs, &reset));
  EXPECT_FALSE(reset);
}

TEST_F(FaultTest, StalledConnectionIsNotReadUntilResumed) {
  ASSERT_TRUE(svc_.Stall("alice", true));
  Ask();
  EXPECT_FALSE(a_.ReadCmd("CheckNetStatusAck", 300));
  ASSERT_TRUE(svc_.Stall("alice", false));
  EXPECT_TRUE(a_.ReadCmd("CheckNetStatusAck"));
}

TEST_F(FaultTest, CloseOnAcceptDropsNewConnections) {
  svc_.SetCloseOnAccept(true);
  RawClient b;
  ASSERT_TRUE(b.Connect(svc_.address(), svc_.tcp_port()));
  EXPECT_TRUE(b.WaitClosed());
  EXPECT_EQ(svc_.connections_accepted(), 2);
}

using BadInputTest = FaultTest;

TEST_F(BadInputTest, PacketThatIsNoJsonIsRefusedAndTheConnectionGoesOn) {
  ASSERT_TRUE(a_.SendPayload("not json at all"));
  ASSERT_TRUE(a_.SendPayload(R"({"Encrypt":false,"Content":""})"));
  ASSERT_TRUE(a_.SendPayload(R"({"Cmd":"X","Encrypt":1,"Content":""})"));
  Ask();
  EXPECT_TRUE(a_.ReadCmd("CheckNetStatusAck"));
  EXPECT_TRUE(HasWarning(svc_, "refused envelope"));
  EXPECT_TRUE(HasWarning(svc_, "no \"Cmd\" string"));
  EXPECT_TRUE(HasWarning(svc_, "no boolean \"Encrypt\""));
}

TEST_F(BadInputTest, BodyThatIsNoJsonObjectIsRefused) {
  ASSERT_TRUE(a_.Send("CheckNetStatus", "[1,2]"));
  ASSERT_TRUE(a_.Send("SendMsgToPeer", R"({"MsgId":"1","ToUId":"bob"})"));
  ASSERT_TRUE(a_.Send("NoSuchCommand", "{}"));
  Ask();
  EXPECT_TRUE(a_.ReadCmd("CheckNetStatusAck"));
  EXPECT_TRUE(HasWarning(svc_, "refused CheckNetStatus: body not a JSON object"));
  EXPECT_TRUE(HasWarning(svc_, "refused SendMsgToPeer: \"MsgId\" is not a integer"));
  EXPECT_TRUE(HasWarning(svc_, "unknown command \"NoSuchCommand\""));
}

TEST_F(BadInputTest, CommandWithABadSignatureIsRefused) {
  local_service::MsgCrypt crypt(kAppId);
  ASSERT_TRUE(a_.SendPayload(local_service::BuildEncryptedEnvelope(
      crypt, "CheckNetStatus", R"({"Time":1})", "1", "n", {.corrupt_signature = true})));
  EXPECT_FALSE(a_.ReadCmd("CheckNetStatusAck", 300));
  EXPECT_TRUE(HasWarning(svc_, "refused CheckNetStatus: signature does not match"));
  auto log = svc_.Log("alice");
  EXPECT_EQ(log.back().crypt_result, local_service::kCryptBadSignature);
}

TEST_F(BadInputTest, CommandWithAnotherAppIdIsRefused) {
  local_service::MsgCrypt crypt(kAppId);
  ASSERT_TRUE(a_.SendPayload(local_service::BuildEncryptedEnvelope(
      crypt, "CheckNetStatus", R"({"Time":1})", "1", "n",
      {.cipher = local_service::CipherFault::kWrongAppId})));
  EXPECT_FALSE(a_.ReadCmd("CheckNetStatusAck", 300));
  EXPECT_TRUE(HasWarning(svc_, "app id trailer differs"));
}

TEST_F(BadInputTest, LengthBelowTheHeaderClosesTheConnection) {
  ASSERT_TRUE(a_.SendBytes(local_service::EncodeHeader(3) + "abc"));
  EXPECT_TRUE(a_.WaitClosed());
  EXPECT_TRUE(HasWarning(svc_, "packet length 3 below"));
  EXPECT_FALSE(svc_.IsOnline("alice"));
}

TEST_F(BadInputTest, HugeLengthClosesTheConnectionWithoutWaitingForIt) {
  ASSERT_TRUE(a_.SendBytes(local_service::EncodeHeader(0x7FFFFFFF) + "abc"));
  EXPECT_TRUE(a_.WaitClosed());
  EXPECT_TRUE(HasWarning(svc_, "above"));
}

TEST_F(BadInputTest, GarbageBetweenPacketsClosesTheConnection) {
  ASSERT_TRUE(a_.SendBytes("xyz"));
  EXPECT_TRUE(a_.WaitClosed());
  EXPECT_TRUE(HasWarning(svc_, "where a packet marker was due"));
}

TEST_F(BadInputTest, DollarFramedClientIsAnsweredInDollarFraming) {
  RawClient b;
  auto gw = AskGateway(svc_.address(), svc_.http_port(), "bob");
  ASSERT_TRUE(b.Connect(gw.addr, gw.port));
  local_service::MsgCrypt crypt(kAppId);
  std::string app = kAppId;
  std::string login = local_service::BuildEncryptedEnvelope(
      crypt, "Login", R"({"UserId":"bob","SessionId":")" + gw.session + R"("})", "1", "n", {},
      &app);
  ASSERT_TRUE(b.SendBytes(local_service::EncodeFrame(login, local_service::kDollarMarker)));
  std::string raw = b.ReadRaw(3);
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw[0], '$');
  EXPECT_TRUE(svc_.IsOnline("bob"));
}

class GatewayModeTest : public ServiceTest {};

TEST_F(GatewayModeTest, EachModeShapesTheAnswer) {
  svc_.SetGatewayMode(GatewayMode::kCode, 17, 1);
  EXPECT_EQ(AskGateway(svc_.address(), svc_.http_port(), "u").body, R"({"code":17})");
  EXPECT_EQ(AskGateway(svc_.address(), svc_.http_port(), "u").code, 0);  // back to normal
  svc_.SetGatewayMode(GatewayMode::kEmptyBody);
  auto empty = AskGateway(svc_.address(), svc_.http_port(), "u");
  EXPECT_TRUE(empty.answered);
  EXPECT_EQ(empty.body, "");
  svc_.SetGatewayMode(GatewayMode::kInvalidJson);
  EXPECT_EQ(AskGateway(svc_.address(), svc_.http_port(), "u").code, -1);
  svc_.SetGatewayMode(GatewayMode::kNoType1Address);
  auto no1 = AskGateway(svc_.address(), svc_.http_port(), "u");
  EXPECT_EQ(no1.code, 0);
  EXPECT_EQ(no1.port, 0);
  svc_.SetGatewayMode(GatewayMode::kClosedPort);
  auto closed = AskGateway(svc_.address(), svc_.http_port(), "u");
  ASSERT_NE(closed.port, 0);
  RawClient c;
  EXPECT_FALSE(c.Connect(closed.addr, closed.port));
  EXPECT_EQ(svc_.gateway_requests(), 6);
}

TEST_F(GatewayModeTest, NoAnswerHoldsTheRequestPastTheClientsPatience) {
  svc_.SetGatewayMode(GatewayMode::kNoAnswer, 2000);
  auto body = HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1?action=wrtm_gateway", "{}", 500);
  EXPECT_FALSE(body);
}

TEST_F(GatewayModeTest, StopDoesNotWaitForAHeldRequest) {
  svc_.SetGatewayMode(GatewayMode::kNoAnswer, 60000);
  std::thread asker([&] {
    HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1?action=wrtm_gateway", "{}", 5000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = std::chrono::steady_clock::now();
  svc_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  asker.join();
}

TEST_F(GatewayModeTest, OfflineModesShapeTheFetch) {
  auto gw = AskGateway(svc_.address(), svc_.http_port(), "bob");
  svc_.StoreOffline(kAppId, "bob", "alice", 5, 1, "m");
  std::string request = R"({"appId":")" + std::string(kAppId) + R"(","uid":"bob","sessId":")" +
                        gw.session + R"("})";
  auto fetch = [&] {
    return HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1/vortmgw/getOfflineMsg", request)
        .value_or("<none>");
  };
  svc_.SetOfflineMode(OfflineMode::kCode, 9, 1);
  EXPECT_EQ(fetch(), R"({"code":9})");
  svc_.SetOfflineMode(OfflineMode::kDataNotArray, 0, 1);
  EXPECT_EQ(fetch(), R"({"code":0,"data":{}})");
  svc_.SetOfflineMode(OfflineMode::kEmptyBody, 0, 1);
  EXPECT_EQ(fetch(), "");
  svc_.SetOfflineMode(OfflineMode::kMsgIdString, 0, 1);
  EXPECT_EQ(fetch(), R"({"code":0,"data":[{"msgId":"5","msgFrom":"alice","msgType":1,"msgBody":"m"}]})");
  EXPECT_EQ(svc_.offline_requests(), 4);
}

class ControlHttpTest : public ServiceTest {
 protected:
  ControlHttpTest() : ServiceTest(Options()) {}
  static local_service::Options Options() {
    auto o = TestOptions();
    o.control_http = true;
    return o;
  }
  std::string Control(const std::string& op, const std::string& body) {
    return HttpPost(svc_.address(), svc_.http_port(), "/control/" + op, body).value_or("<none>");
  }
};

TEST_F(ControlHttpTest, ControlEndpointsDriveTheService) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  EXPECT_EQ(Control("push", R"({"user":"alice","cmd":"Hello","body":"{\"n\":1}"})"),
            R"({"ok":true})");
  auto hello = a.ReadCmd("Hello");
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->body, R"({"n":1})");
  EXPECT_EQ(Control("fault", R"({"user":"alice","cmd":"CheckNetStatusAck","action":"drop"})"),
            R"({"id":1,"ok":true})");
  ASSERT_TRUE(a.Send("CheckNetStatus", R"({"Time":1})"));
  EXPECT_FALSE(a.ReadCmd("CheckNetStatusAck", 300));
  std::string state = Control("state", "{}");
  EXPECT_NE(state.find(R"("online":["alice"])"), std::string::npos) << state;
  std::string log = Control("log", R"({"user":"alice"})");
  EXPECT_NE(log.find(R"("cmd":"CheckNetStatus")"), std::string::npos) << log;
  EXPECT_EQ(Control("fault", R"({"action":"explode"})"), R"({"ok":false})");
  EXPECT_EQ(Control("kick", R"({"user":"alice"})"), R"({"ok":true})");
  EXPECT_TRUE(a.ReadCmd("ForceOffline"));
  EXPECT_EQ(Control("reset", "{}"), R"({"ok":true})");
  EXPECT_EQ(Control("nothing", "{}"), R"({"ok":false})");
}

TEST(ServiceLifecycleTest, AutoAddressPicksAFreeLoopbackAddressOnPort7080) {
  local_service::Options o;
  o.address = "auto";
  local_service::LocalService one(o), two(o);
  std::string error;
  ASSERT_TRUE(one.Start(&error)) << error;
  ASSERT_TRUE(two.Start(&error)) << error;
  EXPECT_NE(one.address(), two.address());
  EXPECT_EQ(one.http_port(), 7080);
  EXPECT_EQ(AskGateway(two.address(), 7080, "u").code, 0);
}

TEST(ServiceLifecycleTest, StartsAgainAfterStop) {
  local_service::LocalService svc(TestOptions());
  ASSERT_TRUE(svc.Start());
  svc.Stop();
  std::string error;
  ASSERT_TRUE(svc.Start(&error)) << error;
  RawClient a;
  EXPECT_TRUE(a.LoginVia(svc, "alice"));
}

TEST(ServiceLifecycleTest, RefusesATakenPortWithAReason) {
  local_service::LocalService first(TestOptions());
  ASSERT_TRUE(first.Start());
  auto o = TestOptions();
  o.http_port = first.http_port();
  local_service::LocalService second(o);
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("cannot bind HTTP"), std::string::npos) << error;
}

TEST(ServiceLifecycleTest, RefusesAnAddressOutsideLoopback) {
  local_service::Options o = TestOptions();
  o.address = "192.0.2.1";
  local_service::LocalService svc(o);
  std::string error;
  EXPECT_FALSE(svc.Start(&error));
  EXPECT_NE(error.find("not a loopback address"), std::string::npos);
}

TEST(ServiceLifecycleTest, StartsAndStopsRepeatedlyWithClientsConnected) {
  for (int i = 0; i < 3; ++i) {
    local_service::LocalService svc(TestOptions());
    ASSERT_TRUE(svc.Start());
    RawClient a;
    ASSERT_TRUE(a.LoginVia(svc, "alice"));
    svc.Stop();
    EXPECT_TRUE(a.WaitClosed());
    svc.Stop();
  }
}

}  // namespace
}  // namespace local_service_test
