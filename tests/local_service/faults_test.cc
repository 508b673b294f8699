// Every fault control, observed on the wire by a raw client; bad input from a client; the
// gateway and offline modes, the control API over HTTP and the service's life cycle.
#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "raw_client.h"

namespace local_service_test {
namespace {

using local_service::CloseMode;
using local_service::Direction;
using local_service::FaultAction;
using local_service::FaultRule;
using local_service::GatewayMode;
using local_service::OfflineMode;
using local_service::PushForm;
using ::testing::ElementsAre;

class FaultTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
  }
  void Fault(FaultAction action, int64_t value = 0, int times = -1,
             const std::string& cmd = "CheckNetStatusAck",
             Direction direction = Direction::kToClient) {
    FaultRule rule;
    rule.direction = direction;
    rule.user = "alice";
    rule.cmd = cmd;
    rule.action = action;
    rule.value = value;
    rule.times = times;
    svc_.AddFault(rule);
  }
  void Ask(int time) {
    ASSERT_TRUE(a_.Send("CheckNetStatus", "{\"Time\":" + std::to_string(time) + "}"));
  }
  // The "Time" of the next answer to Ask.
  int64_t Answer() {
    auto p = a_.ReadCmd("CheckNetStatusAck");
    return p ? IntOf(p->body, "Time") : -1;
  }
  RawClient a_;
};

TEST_F(FaultTest, DropDelayDuplicateAndInboundDropChangeWhichAnswersCome) {
  Fault(FaultAction::kDrop, 0, 1);
  Ask(1);
  Ask(2);
  EXPECT_EQ(2, Answer());
  Fault(FaultAction::kDuplicate, 0, 1);
  Ask(3);
  EXPECT_EQ(3, Answer());
  EXPECT_EQ(3, Answer());
  Fault(FaultAction::kDelay, 400, 1);
  auto start = std::chrono::steady_clock::now();
  Ask(4);
  Ask(5);
  EXPECT_EQ(5, Answer());
  EXPECT_EQ(4, Answer());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  // An inbound drop swallows the command, which is still logged as received.
  Fault(FaultAction::kDrop, 0, 1, "CheckNetStatus", Direction::kFromClient);
  Ask(6);
  Ask(7);
  EXPECT_EQ(7, Answer());
  EXPECT_TRUE(svc_.WaitForCommand("alice", "CheckNetStatus", 7, kWaitMs));
}

TEST_F(FaultTest, BodyAndEnvelopeFaultsReachTheClientAsTheyWereAsked) {
  Fault(FaultAction::kReplaceField, 7, 1, "RenewAcsToken");
  ASSERT_TRUE(a_.Send("RenewAcsToken", R"({"AcsToken":"t"})"));
  auto reply = a_.ReadCmd("RenewAcsToken");
  ASSERT_TRUE(reply);
  EXPECT_EQ(R"({"Code":7})", reply->body);
  Fault(FaultAction::kPlain, 0, 1);
  Ask(1);
  reply = a_.ReadCmd("CheckNetStatusAck");
  ASSERT_TRUE(reply);
  EXPECT_EQ(R"({"Cmd":"CheckNetStatusAck","Encrypt":false,"Content":"{\"Time\":1}"})", reply->raw);
  struct Case {
    FaultAction action;
    int expected;
  } cases[] = {{FaultAction::kCorruptSignature, local_service::kCryptBadSignature},
               {FaultAction::kWrongAppId, local_service::kCryptAppIdMismatch},
               {FaultAction::kBadBase64, local_service::kCryptBadSignature},
               {FaultAction::kBadPadding, local_service::kCryptDecryptFailed},
               {FaultAction::kOversizeInnerLength, local_service::kCryptTooShort}};
  for (const Case& c : cases) {
    Fault(c.action, 0, 1);
    Ask(2);
    reply = a_.ReadCmd("CheckNetStatusAck");
    ASSERT_TRUE(reply);
    EXPECT_EQ(c.expected, reply->crypt_result) << static_cast<int>(c.action);
  }
}

TEST_F(FaultTest, FramingFaultsShapeTheBytes) {
  // '$' framing sticks to the connection; '#' overrides it for one packet.
  Fault(FaultAction::kDollarFraming, 0, 1);
  for (char marker : {'$', '#', '$'}) {
    if (marker == '#') Fault(FaultAction::kHashFraming, 0, 1);
    Ask(1);
    auto p = a_.ReadCmd("CheckNetStatusAck");
    ASSERT_TRUE(p);
    EXPECT_EQ(marker, p->marker);
  }
  // Coalesced packets leave in one write.
  svc_.Coalesce("alice", 2);
  Ask(1);
  Ask(2);
  std::string both = a_.ReadRaw(1);
  local_service::FrameReader reader;
  reader.Feed(both);
  std::string payload, error;
  int packets = 0;
  while (reader.Next(&payload, &error) == local_service::FrameReader::Status::kPacket) ++packets;
  EXPECT_EQ(2, packets);
  // Split writes at most 40 bytes at a time; the packet is whole in the end.
  Fault(FaultAction::kSplit, 40, 1);
  Ask(3);
  std::string bytes = a_.ReadRaw(1);
  EXPECT_LE(bytes.size(), 40u);
  reader = local_service::FrameReader();
  reader.Feed(bytes);
  while (reader.Next(&payload, &error) == local_service::FrameReader::Status::kNeedMore) {
    std::string more = a_.ReadRaw(1);
    ASSERT_FALSE(more.empty());
    reader.Feed(more);
  }
  Fault(FaultAction::kBadFrameLength, 3, 1);
  Ask(4);
  EXPECT_EQ(std::string("$\0\3", 3), a_.ReadRaw(3).substr(0, 3));
  Fault(FaultAction::kGarbageBefore, 5);
  Ask(5);
  EXPECT_EQ("xyzxy$", a_.ReadRaw(6).substr(0, 6));
}

TEST_F(FaultTest, PushesKicksExpiriesAndClosesReachTheUser) {
  svc_.SetDeterministic(true);
  ASSERT_TRUE(svc_.Push("alice", "AnyCmd", R"({"x":1})"));
  ASSERT_TRUE(svc_.Push("alice", "AnyCmd", R"({"x":1})"));
  ASSERT_TRUE(svc_.Push("alice", "AnyCmd", R"({"x":2})", PushForm::kPlain));
  EXPECT_FALSE(svc_.Push("nobody", "AnyCmd", "{}"));
  auto one = a_.ReadCmd("AnyCmd"), two = a_.ReadCmd("AnyCmd"), plain = a_.ReadCmd("AnyCmd");
  ASSERT_TRUE(one && two && plain);
  EXPECT_TRUE(one->encrypted);
  EXPECT_EQ(R"({"x":1})", one->body);
  EXPECT_EQ(one->raw, two->raw);
  EXPECT_EQ("AAAAAAAAAA", StrOf(one->raw, "Nonce"));
  EXPECT_FALSE(plain->encrypted);
  EXPECT_EQ(R"({"x":2})", plain->body);

  auto accepts = svc_.AcceptTimes();
  auto lookups = svc_.GatewayTimes();
  ASSERT_THAT(accepts, testing::SizeIs(1));
  ASSERT_THAT(lookups, testing::SizeIs(1));
  EXPECT_LE(lookups[0], accepts[0]);
  EXPECT_LE(accepts[0], svc_.NowMs());

  ASSERT_TRUE(svc_.Kick("alice"));
  EXPECT_TRUE(a_.ReadCmd("ForceOffline"));
  EXPECT_TRUE(a_.WaitClosed());
  EXPECT_FALSE(svc_.IsOnline("alice"));
  ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
  ASSERT_TRUE(svc_.Expire("alice"));
  EXPECT_TRUE(a_.ReadCmd("AcsTokenWillExpire"));
  EXPECT_TRUE(a_.ReadCmd("AcsTokenDidExpire"));
  EXPECT_TRUE(a_.WaitClosed());
  for (CloseMode mode : {CloseMode::kRst, CloseMode::kFin}) {
    ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
    ASSERT_TRUE(svc_.Close("alice", mode));
    bool reset = mode != CloseMode::kRst;
    EXPECT_TRUE(a_.WaitClosed(&reset));
    EXPECT_EQ(mode == CloseMode::kRst, reset);
  }
  svc_.SetCloseOnAccept(true);
  RawClient b;
  ASSERT_TRUE(b.Connect(svc_.address(), svc_.tcp_port()));
  EXPECT_TRUE(b.WaitClosed());
}

using BadInputTest = FaultTest;

TEST_F(BadInputTest, BadPacketsAreRefusedWithALogLineAndTheConnectionGoesOn) {
  local_service::MsgCrypt crypt(kAppId);
  ASSERT_TRUE(a_.SendPayload("not json at all"));
  ASSERT_TRUE(a_.SendPayload(R"({"Encrypt":false,"Content":""})"));
  ASSERT_TRUE(a_.SendPayload(R"({"Cmd":"X","Encrypt":1,"Content":""})"));
  ASSERT_TRUE(a_.Send("CheckNetStatus", "[1,2]"));
  ASSERT_TRUE(a_.Send("SendMsgToPeer", R"({"MsgId":"1","ToUId":"bob"})"));
  ASSERT_TRUE(a_.Send("NoSuchCommand", "{}"));
  ASSERT_TRUE(a_.SendPayload(local_service::BuildEncryptedEnvelope(
      crypt, "CheckNetStatus", R"({"Time":1})", "1", "n", {.corrupt_signature = true})));
  ASSERT_TRUE(a_.SendPayload(local_service::BuildEncryptedEnvelope(
      crypt, "CheckNetStatus", R"({"Time":2})", "1", "n",
      {.cipher = local_service::CipherFault::kWrongAppId})));
  // None of them is answered: the next answer is the barrier's.
  EXPECT_THAT(a_.Barrier(), ElementsAre());
  for (const char* warning :
       {"refused envelope", "no \"Cmd\" string", "no boolean \"Encrypt\"",
        "refused CheckNetStatus: body not a JSON object",
        "refused SendMsgToPeer: \"MsgId\" is not a integer", "unknown command \"NoSuchCommand\"",
        "refused CheckNetStatus: signature does not match", "app id trailer differs"}) {
    EXPECT_TRUE(HasWarning(svc_, warning)) << warning;
  }
  bool badSignatureLogged = false;
  for (const auto& command : svc_.Log("alice")) {
    badSignatureLogged |= command.crypt_result == local_service::kCryptBadSignature;
  }
  EXPECT_TRUE(badSignatureLogged);
  // A '$'-framed client is answered in '$' framing.
  RawClient b;
  auto gw = AskGateway(svc_, "bob");
  ASSERT_TRUE(b.Connect(gw.addr, gw.port));
  std::string app = kAppId;
  ASSERT_TRUE(b.SendPayload(
      local_service::BuildEncryptedEnvelope(
          crypt, "Login", R"({"UserId":"bob","SessionId":")" + gw.session + R"("})", "1", "n", {},
          &app),
      local_service::kDollarMarker));
  auto login = b.ReadCmd("Login");
  ASSERT_TRUE(login);
  EXPECT_EQ('$', login->marker);
  EXPECT_TRUE(svc_.IsOnline("bob"));
}

TEST_F(BadInputTest, BrokenFramesCloseTheConnection) {
  const std::pair<std::string, const char*> cases[] = {
      {local_service::EncodeHeader(3) + "abc", "packet length 3 below"},
      {local_service::EncodeHeader(0x7FFFFFFF) + "abc", "above"},
      {"xyz", "where a packet marker was due"},
  };
  for (const auto& [bytes, warning] : cases) {
    ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
    ASSERT_TRUE(a_.SendBytes(bytes));
    EXPECT_TRUE(a_.WaitClosed()) << warning;
    EXPECT_TRUE(HasWarning(svc_, warning)) << warning;
    EXPECT_FALSE(svc_.IsOnline("alice"));
  }
}

class GatewayModeTest : public ServiceTest {};

TEST_F(GatewayModeTest, EachModeShapesTheAnswer) {
  svc_.SetGatewayMode(GatewayMode::kCode, 17, 1);
  EXPECT_EQ(R"({"code":17})", AskGateway(svc_, "u").body);
  EXPECT_EQ(0, AskGateway(svc_, "u").code);  // back to normal
  svc_.SetGatewayMode(GatewayMode::kEmptyBody);
  auto empty = AskGateway(svc_, "u");
  EXPECT_TRUE(empty.answered);
  EXPECT_EQ("", empty.body);
  svc_.SetGatewayMode(GatewayMode::kInvalidJson);
  EXPECT_EQ(-1, AskGateway(svc_, "u").code);
  svc_.SetGatewayMode(GatewayMode::kNoType1Address);
  auto noType1 = AskGateway(svc_, "u");
  EXPECT_EQ(0, noType1.code);
  EXPECT_EQ(0, noType1.port);
  svc_.SetGatewayMode(GatewayMode::kClosedPort);
  auto closed = AskGateway(svc_, "u");
  ASSERT_NE(0, closed.port);
  RawClient c;
  EXPECT_FALSE(c.Connect(closed.addr, closed.port));
  EXPECT_EQ(6, svc_.gateway_requests());

  svc_.StoreOffline(kAppId, "bob", "alice", 5, 1, "m");
  std::string request = R"({"appId":")" + std::string(kAppId) + R"(","uid":"bob","sessId":")" +
                        AskGateway(svc_, "bob").session + R"("})";
  const std::pair<OfflineMode, const char*> offline[] = {
      {OfflineMode::kCode, R"({"code":9})"},
      {OfflineMode::kDataNotArray, R"({"code":0,"data":{}})"},
      {OfflineMode::kEmptyBody, ""},
      {OfflineMode::kMsgIdString,
       R"({"code":0,"data":[{"msgId":"5","msgFrom":"alice","msgType":1,"msgBody":"m"}]})"},
  };
  for (const auto& [mode, answer] : offline) {
    svc_.SetOfflineMode(mode, 9, 1);
    EXPECT_EQ(answer, HttpPost(svc_, kOfflinePath, request).value_or("<none>"));
  }
  EXPECT_EQ(4, svc_.offline_requests());

  // A held request outlasts the client's patience, and Stop does not wait for it.
  svc_.SetGatewayMode(GatewayMode::kNoAnswer, 60000);
  EXPECT_FALSE(HttpPost(svc_, kGatewayPath, "{}", 500));
  auto start = std::chrono::steady_clock::now();
  svc_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(ControlHttpTest, ControlEndpointsDriveTheService) {
  auto options = TestOptions();
  options.control_http = true;
  local_service::LocalService svc(options);
  ASSERT_TRUE(svc.Start());
  auto control = [&](const std::string& op, const std::string& body) {
    return HttpPost(svc, "/control/" + op, body).value_or("<none>");
  };
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc, "alice"));
  EXPECT_EQ(R"({"ok":true})",
            control("push", R"({"user":"alice","cmd":"Hello","body":"{\"n\":1}"})"));
  auto hello = a.ReadCmd("Hello");
  ASSERT_TRUE(hello);
  EXPECT_EQ(R"({"n":1})", hello->body);
  EXPECT_EQ(R"({"id":1,"ok":true})",
            control("fault", R"({"user":"alice","cmd":"CheckNetStatusAck","action":"drop","times":1})"));
  ASSERT_TRUE(a.Send("CheckNetStatus", R"({"Time":1})"));
  EXPECT_THAT(a.Barrier(), ElementsAre());
  EXPECT_THAT(control("state", "{}"), testing::HasSubstr(R"("online":["alice"])"));
  EXPECT_THAT(control("log", R"({"user":"alice"})"), testing::HasSubstr(R"("cmd":"CheckNetStatus")"));
  EXPECT_EQ(R"({"ok":false})", control("fault", R"({"action":"explode"})"));
  EXPECT_EQ(R"({"ok":true})", control("kick", R"({"user":"alice"})"));
  EXPECT_TRUE(a.ReadCmd("ForceOffline"));
  EXPECT_EQ(R"({"ok":true})", control("reset", "{}"));
  EXPECT_EQ(R"({"ok":false})", control("nothing", "{}"));
}

TEST(ServiceLifecycleTest, StartsOnlyOnAFreeLoopbackAddressAndStopsWithClientsConnected) {
  local_service::Options o;
  o.address = "auto";
  local_service::LocalService one(o), two(o);
  std::string error;
  ASSERT_TRUE(one.Start(&error)) << error;
  ASSERT_TRUE(two.Start(&error)) << error;
  EXPECT_NE(one.address(), two.address());
  EXPECT_EQ(7080, one.http_port());
  EXPECT_EQ(0, AskGateway(two.address(), 7080, "u").code);

  o = TestOptions();
  o.http_port = one.http_port();
  o.address = one.address();
  EXPECT_FALSE(local_service::LocalService(o).Start(&error));
  EXPECT_THAT(error, testing::HasSubstr("cannot bind HTTP"));
  o.address = "192.0.2.1";
  EXPECT_FALSE(local_service::LocalService(o).Start(&error));
  EXPECT_THAT(error, testing::HasSubstr("not a loopback address"));

  local_service::LocalService svc(TestOptions());
  for (int i = 0; i < 3; ++i) {
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
