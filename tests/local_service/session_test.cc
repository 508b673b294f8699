// Gateway, login, peer messages and offline fetch, driven by raw clients.
#include <gmock/gmock.h>

#include "test_util.h"

namespace local_service_test {
namespace {

using ::testing::ElementsAre;
using SessionTest = ServiceTest;

TEST_F(SessionTest, GatewayNamesASessionAndTheCommandServer) {
  auto gw = AskGateway(svc_.address(), svc_.http_port(), "alice");
  EXPECT_EQ(gw.code, 0) << gw.body;
  EXPECT_EQ(gw.session.size(), 32u);
  EXPECT_EQ(gw.addr, svc_.address());
  EXPECT_EQ(gw.port, svc_.tcp_port());
  EXPECT_EQ(svc_.gateway_requests(), 1);
}

TEST_F(SessionTest, GatewayRefusesAnAppIdThatIsNot32Characters) {
  auto gw = AskGateway(svc_.address(), svc_.http_port(), "alice", "", "short");
  EXPECT_EQ(gw.code, 2);
  EXPECT_TRUE(HasWarning(svc_, "unknown app id"));
}

TEST_F(SessionTest, GatewayRefusesInvalidJsonWithALogLine) {
  auto body = HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1?action=wrtm_gateway", "{oops");
  ASSERT_TRUE(body);
  EXPECT_EQ(IntOf(*body, "code"), 1);
  EXPECT_TRUE(HasWarning(svc_, "gateway: refused request"));
}

TEST_F(SessionTest, LoginIsAnsweredEncryptedWithCodeZero) {
  RawClient a;
  auto gw = AskGateway(svc_.address(), svc_.http_port(), "alice", "tok");
  ASSERT_TRUE(a.Connect(gw.addr, gw.port));
  ASSERT_TRUE(a.SendLogin("alice", gw.session, "tok"));
  auto reply = a.ReadCmd("Login");
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->encrypted);
  EXPECT_EQ(reply->crypt_result, 0);
  EXPECT_EQ(reply->body, R"({"Code":0})");
  EXPECT_TRUE(svc_.IsOnline("alice"));

  auto log = svc_.Log("alice");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].cmd, "Login");
  EXPECT_THAT(log[0].envelope_keys,
              ElementsAre("Cmd", "AppId", "Encrypt", "TimeStamp", "Nonce", "Signature", "Content"));
  EXPECT_EQ(StrOf(log[0].content, "SessionId"), gw.session);
}

TEST_F(SessionTest, LoginWithAnUnknownSessionIsRefused) {
  RawClient a;
  ASSERT_TRUE(a.Connect(svc_.address(), svc_.tcp_port()));
  ASSERT_TRUE(a.SendLogin("alice", "no-such-session"));
  auto reply = a.ReadCmd("Login");
  ASSERT_TRUE(reply);
  EXPECT_EQ(IntOf(reply->body, "Code"), 2);
  EXPECT_FALSE(svc_.IsOnline("alice"));
  EXPECT_TRUE(HasWarning(svc_, "Login refused with Code 2"));
}

TEST_F(SessionTest, LoginWithAnotherTokenThanTheGatewaysIsRefused) {
  RawClient a;
  auto gw = AskGateway(svc_.address(), svc_.http_port(), "alice", "tok");
  ASSERT_TRUE(a.Connect(gw.addr, gw.port));
  ASSERT_TRUE(a.SendLogin("alice", gw.session, "other"));
  auto reply = a.ReadCmd("Login");
  ASSERT_TRUE(reply);
  EXPECT_EQ(IntOf(reply->body, "Code"), 3);
}

TEST_F(SessionTest, LoginWithABadSignatureIsRefusedAndLogged) {
  RawClient a;
  auto gw = AskGateway(svc_.address(), svc_.http_port(), "alice");
  ASSERT_TRUE(a.Connect(gw.addr, gw.port));
  local_service::MsgCrypt crypt(kAppId);
  std::string app = kAppId;
  std::string env = local_service::BuildEncryptedEnvelope(
      crypt, "Login", R"({"UserId":"alice","SessionId":")" + gw.session + R"("})",
      "1700000000000", "abcdefghij", {.corrupt_signature = true}, &app);
  ASSERT_TRUE(a.SendPayload(env));
  auto reply = a.ReadCmd("Login");
  ASSERT_TRUE(reply);
  EXPECT_EQ(IntOf(reply->body, "Code"), 1);
  EXPECT_TRUE(HasWarning(svc_, "signature does not match"));
  EXPECT_FALSE(svc_.IsOnline("alice"));
}

TEST_F(SessionTest, ASecondLoginOfTheSameUserForcesTheOlderConnectionOffline) {
  RawClient first, second;
  ASSERT_TRUE(first.LoginVia(svc_, "alice"));
  ASSERT_TRUE(second.LoginVia(svc_, "alice"));
  auto kick = first.ReadCmd("ForceOffline");
  ASSERT_TRUE(kick);
  EXPECT_EQ(kick->body, "");
  EXPECT_TRUE(first.WaitClosed());
  EXPECT_TRUE(svc_.IsOnline("alice"));
}

TEST_F(SessionTest, CommandsBeforeLoginAreRefused) {
  RawClient a;
  ASSERT_TRUE(a.Connect(svc_.address(), svc_.tcp_port()));
  ASSERT_TRUE(a.Send("QueryOnlineStatus", R"({"MsgId":1,"UserIds":"[\"bob\"]"})"));
  EXPECT_FALSE(a.Read(300));
  EXPECT_TRUE(HasWarning(svc_, "refused QueryOnlineStatus before Login"));
}

TEST_F(SessionTest, KeepAliveAndLogoutAreAcceptedWithEmptyBodies) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  ASSERT_TRUE(a.Send("KeepAlive", ""));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, kWaitMs));
  auto log = svc_.Log("alice");
  EXPECT_EQ(log.back().content, "");
  EXPECT_EQ(StrOf(log.back().raw, "Signature"), "");
  ASSERT_TRUE(a.Send("Logout", ""));
  auto reply = a.ReadCmd("Logout");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, R"({"Code":0})");
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_FALSE(svc_.IsOnline("alice"));
}

TEST_F(SessionTest, PeerMessageIsForwardedAndConfirmedOnlyAfterTheReceiversAck) {
  RawClient a, b;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  ASSERT_TRUE(b.LoginVia(svc_, "bob"));
  // The sender comes from the connection, not from "FromUId".
  ASSERT_TRUE(a.Send("SendMsgToPeer",
                     R"({"MsgId":42,"FromUId":"mallory","ToUId":"bob","MsgType":1,"MsgBody":"hi"})"));
  auto got = b.ReadCmd("RecvMsgFromPeer");
  ASSERT_TRUE(got);
  EXPECT_EQ(IntOf(got->body, "MsgId"), 42);
  EXPECT_EQ(StrOf(got->body, "FromUId"), "alice");
  EXPECT_EQ(StrOf(got->body, "MsgBody"), "hi");
  EXPECT_EQ(IntOf(got->body, "MsgType"), 1);
  EXPECT_GT(IntOf(got->body, "SvrTS"), 0);
  EXPECT_FALSE(a.ReadCmd("MsgStatus", 200));

  ASSERT_TRUE(b.Send("RecvMsgFromPeerAck", R"({"MsgId":42,"FromUId":"alice"})"));
  auto status = a.ReadCmd("MsgStatus");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->body, R"({"MsgId":42,"Status":1})");
  // A second ack of the same message confirms nothing more.
  ASSERT_TRUE(b.Send("RecvMsgFromPeerAck", R"({"MsgId":42,"FromUId":"alice"})"));
  EXPECT_FALSE(a.ReadCmd("MsgStatus", 200));
}

TEST_F(SessionTest, MessageToAnOfflineUserIsStoredAndFetchedOnceOverHttp) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  for (int id = 1; id <= 3; ++id) {
    ASSERT_TRUE(a.Send("SendMsgToPeer", R"({"MsgId":)" + std::to_string(id) +
                                            R"(,"FromUId":"alice","ToUId":"bob","MsgType":1,"MsgBody":"m)" +
                                            std::to_string(id) + R"(","OfflineMsg":true})"));
    auto status = a.ReadCmd("MsgStatus");
    ASSERT_TRUE(status);
    EXPECT_EQ(IntOf(status->body, "Status"), 0);
  }
  ASSERT_TRUE(a.Send("SendMsgToPeer",
                     R"({"MsgId":9,"FromUId":"alice","ToUId":"bob","MsgType":1,"MsgBody":"gone"})"));
  ASSERT_TRUE(a.ReadCmd("MsgStatus"));
  EXPECT_EQ(svc_.OfflineCount(kAppId, "bob"), 3u);

  auto gw = AskGateway(svc_.address(), svc_.http_port(), "bob");
  std::string request = R"({"appId":")" + std::string(kAppId) + R"(","uid":"bob","sessId":")" +
                        gw.session + R"("})";
  auto body = HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1/vortmgw/getOfflineMsg", request);
  ASSERT_TRUE(body);
  // Newest first: the client delivers from the last entry, so the oldest arrives first.
  EXPECT_EQ(*body,
            R"({"code":0,"data":[{"msgId":3,"msgFrom":"alice","msgType":1,"msgBody":"m3"},)"
            R"({"msgId":2,"msgFrom":"alice","msgType":1,"msgBody":"m2"},)"
            R"({"msgId":1,"msgFrom":"alice","msgType":1,"msgBody":"m1"}]})");
  auto again = HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1/vortmgw/getOfflineMsg", request);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, R"({"code":0,"data":[]})");
}

TEST_F(SessionTest, OfflineFetchWithAWrongSessionIsRefused) {
  auto body = HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1/vortmgw/getOfflineMsg",
                       R"({"appId":"x","uid":"bob","sessId":"nope"})");
  ASSERT_TRUE(body);
  EXPECT_EQ(IntOf(*body, "code"), 2);
  auto bad = HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1/vortmgw/getOfflineMsg", "[1,");
  ASSERT_TRUE(bad);
  EXPECT_EQ(IntOf(*bad, "code"), 1);
}

TEST_F(SessionTest, HistoryEndpointsAnswerAnEmptyList) {
  auto body = HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1/vortmgw/getP2PHistoryMsg", "{}");
  ASSERT_TRUE(body);
  EXPECT_EQ(*body, R"({"code":0,"data":[]})");
}

TEST_F(SessionTest, ASilentConnectionIsDroppedAsLost) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  svc_.SetKeepAliveTimeout(300);
  EXPECT_TRUE(a.WaitClosed(kWaitMs));
  EXPECT_FALSE(svc_.IsOnline("alice"));
  EXPECT_TRUE(HasWarning(svc_, "dropping it as lost"));
}

TEST_F(SessionTest, TokenWithAnExpiryIsWarnedAboutThenExpiredAndClosed) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice", "exp:1200"));
  auto will = a.ReadCmd("AcsTokenWillExpire");
  ASSERT_TRUE(will);
  auto did = a.ReadCmd("AcsTokenDidExpire");
  ASSERT_TRUE(did);
  EXPECT_EQ(did->body, "");
  EXPECT_TRUE(a.WaitClosed());
}

TEST_F(SessionTest, RenewAcsTokenIsAnsweredAndPostponesTheExpiry) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice", "exp:1500"));
  ASSERT_TRUE(a.Send("RenewAcsToken", R"({"AcsToken":"forever"})"));
  auto reply = a.ReadCmd("RenewAcsToken");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, R"({"Code":0})");
  EXPECT_FALSE(a.ReadCmd("AcsTokenDidExpire", 2000));
  ASSERT_TRUE(a.Send("RenewAcsToken", R"({"AcsToken":""})"));
  auto refused = a.ReadCmd("RenewAcsToken");
  ASSERT_TRUE(refused);
  EXPECT_EQ(IntOf(refused->body, "Code"), 1);
}

TEST_F(SessionTest, CheckNetStatusIsAnsweredWithItsTime) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  ASSERT_TRUE(a.Send("CheckNetStatus", R"({"Time":12345})"));
  auto ack = a.ReadCmd("CheckNetStatusAck");
  ASSERT_TRUE(ack);
  EXPECT_EQ(IntOf(ack->body, "Time"), 12345);
}

}  // namespace
}  // namespace local_service_test
