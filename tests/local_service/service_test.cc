// Gateway, login, peer messages, offline fetch, presence, channels, attributes and calls, as
// conversations between raw clients.
#include <gmock/gmock.h>

#include <map>

#include "raw_client.h"

namespace local_service_test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

// A conversation, one step a line: "alice> Cmd body" sends, "alice+" only logs in,
// "alice< Cmd body" reads up to the next Cmd and checks its body when one is given ("=": the
// body sent last; a final '*' matches a prefix). "alice! Cmd" checks, with a barrier, that no Cmd
// came since the last such check; "alice!" that nothing came at all.
class ConversationTest : public ServiceTest {
 protected:
  // The user's client, logged in at its first use.
  RawClient& Client(const std::string& user) {
    auto& client = clients_[user];
    if (!client) {
      client = std::make_unique<RawClient>();
      EXPECT_TRUE(client->LoginVia(svc_, user)) << user;
    }
    return *client;
  }

  void Run(const std::vector<std::string>& steps) {
    for (const std::string& step : steps) {
      SCOPED_TRACE(step);
      size_t space = std::min(step.find(' '), step.size()), end = step.find(' ', space + 1);
      RawClient& client = Client(step.substr(0, space - 1));
      std::vector<std::string>& skipped = skipped_[step.substr(0, space - 1)];
      std::string cmd = step.substr(std::min(space + 1, step.size()), end - space - 1);
      std::string body = end < step.size() ? step.substr(end + 1) : "";
      if (step[space - 1] == '>') {
        ASSERT_TRUE(client.Send(cmd, body));
        sent_ = body;
      } else if (step[space - 1] == '!') {
        for (auto& c : client.Barrier()) skipped.push_back(c);
        EXPECT_THAT(skipped, Not(Contains(cmd)));
        if (cmd.empty()) EXPECT_THAT(skipped, ElementsAre());
        skipped.clear();
      } else if (step[space - 1] == '<') {
        std::optional<Packet> p;
        while ((p = client.Read()) && p->cmd != cmd) skipped.push_back(p->cmd);
        ASSERT_TRUE(p) << "never heard";
        if (body == "=") body = sent_;
        bool prefix = !body.empty() && body.back() == '*';
        if (prefix) body.pop_back();
        if (!body.empty()) EXPECT_EQ(body, prefix ? p->body.substr(0, body.size()) : p->body);
      }
    }
  }

  std::map<std::string, std::unique_ptr<RawClient>> clients_;
  std::map<std::string, std::vector<std::string>> skipped_;
  std::string sent_;
};

TEST_F(ConversationTest, GatewayAndLoginRefuseWhatTheyCannotVouchFor) {
  auto gw = AskGateway(svc_, "alice", "tok");
  EXPECT_EQ(svc_.address() + ":" + std::to_string(svc_.tcp_port()),
            gw.addr + ":" + std::to_string(gw.port));
  EXPECT_EQ(2, AskGateway(svc_, "alice", "", "short").code);
  EXPECT_TRUE(HasWarning(svc_, "unknown app id"));
  local_service::MsgCrypt crypt(kAppId);
  std::string app = kAppId;
  const std::tuple<std::string, std::string, bool, int, const char*> logins[] = {
      {"no-such-session", "tok", false, 2, "Login refused with Code 2"},
      {gw.session, "other", false, 3, "token differs"},
      {gw.session, "tok", true, 1, "signature does not match"},
  };
  for (const auto& [session, token, corrupt, code, warning] : logins) {
    RawClient a;
    ASSERT_TRUE(a.Connect(gw.addr, gw.port));
    std::string login = R"({"UserId":"alice","AcsToken":")" + token + R"(","SessionId":")";
    ASSERT_TRUE(a.SendPayload(local_service::BuildEncryptedEnvelope(
        crypt, "Login", login + session + "\"}", "1", "n", {.corrupt_signature = corrupt}, &app)));
    EXPECT_EQ(code, IntOf(BodyOf(a.ReadCmd("Login")), "Code")) << warning;
    EXPECT_TRUE(HasWarning(svc_, warning)) << warning;
  }
  // Commands before the Login are refused unanswered: the Login's answer comes first.
  RawClient a, second;
  ASSERT_TRUE(a.Connect(gw.addr, gw.port));
  ASSERT_TRUE(a.Send("QueryOnlineStatus", R"({"MsgId":1,"UserIds":"[\"bob\"]"})"));
  ASSERT_TRUE(a.SendLogin("alice", gw.session, "tok"));
  auto reply = a.Read().value_or(Packet());
  EXPECT_TRUE(reply.cmd == "Login" && reply.encrypted);
  EXPECT_EQ(R"({"Code":0})", reply.body);
  EXPECT_TRUE(HasWarning(svc_, "refused QueryOnlineStatus before Login"));
  EXPECT_THAT(svc_.Log("alice").back().envelope_keys,
              ElementsAre("Cmd", "AppId", "Encrypt", "TimeStamp", "Nonce", "Signature", "Content"));
  EXPECT_EQ(gw.session, StrOf(svc_.Log("alice").back().content, "SessionId"));
  // KeepAlive and Logout carry empty bodies; a second login forces the older one offline.
  ASSERT_TRUE(a.Send("KeepAlive", ""));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, kWaitMs));
  ASSERT_TRUE(second.LoginVia(svc_, "alice", "tok"));
  EXPECT_THAT(a.UntilClosed(), ElementsAre("ForceOffline"));
  ASSERT_TRUE(second.Send("Logout", ""));
  EXPECT_EQ(R"({"Code":0})", BodyOf(second.ReadCmd("Logout")));
  EXPECT_THAT(second.UntilClosed(), ElementsAre());
}

TEST_F(ConversationTest, PeerMessagesAreConfirmedAfterTheAckAndKeptForOfflineUsers) {
  Run({
      "bob+",
      // The sender comes from the connection, not from "FromUId".
      R"(alice> SendMsgToPeer {"MsgId":42,"FromUId":"eve","ToUId":"bob","MsgType":1,"MsgBody":"hi"})",
      R"(bob< RecvMsgFromPeer {"MsgId":42,"FromUId":"alice","MsgType":1,"MsgBody":"hi","SvrTS":*)",
      "alice! MsgStatus",
      R"(bob> RecvMsgFromPeerAck {"MsgId":42,"FromUId":"alice"})",
      R"(alice< MsgStatus {"MsgId":42,"Status":1})",
      R"(bob> RecvMsgFromPeerAck {"MsgId":42,"FromUId":"alice"})",  // confirms nothing more
      "alice!",
      R"(alice> SendMsgToPeer {"MsgId":1,"ToUId":"carol","MsgType":1,"MsgBody":"m1","OfflineMsg":true})",
      R"(alice< MsgStatus {"MsgId":1,"Status":0})",
      R"(alice> SendMsgToPeer {"MsgId":2,"ToUId":"carol","MsgType":1,"MsgBody":"m2","OfflineMsg":true})",
      R"(alice< MsgStatus {"MsgId":2,"Status":0})",
      R"(alice> SendMsgToPeer {"MsgId":9,"ToUId":"carol","MsgType":1,"MsgBody":"gone"})",
      R"(alice< MsgStatus {"MsgId":9,"Status":0})",
  });
  std::string request = R"({"appId":")" + std::string(kAppId) + R"(","uid":"carol","sessId":")" +
                        AskGateway(svc_, "carol").session + "\"}";
  // Newest first: the client delivers from the last entry, so the oldest arrives first.
  EXPECT_EQ(R"({"code":0,"data":[{"msgId":2,"msgFrom":"alice","msgType":1,"msgBody":"m2"},)"
            R"({"msgId":1,"msgFrom":"alice","msgType":1,"msgBody":"m1"}]})",
            HttpPost(svc_, kOfflinePath, request));
  EXPECT_EQ(R"({"code":0,"data":[]})", HttpPost(svc_, kOfflinePath, request));
  EXPECT_EQ(
      2,
      IntOf(
          HttpPost(svc_, kOfflinePath, R"({"appId":"x","uid":"carol","sessId":"?"})").value_or(""),
          "code"));
  EXPECT_EQ(1, IntOf(HttpPost(svc_, kGatewayPath, "{oops").value_or(""), "code"));
  EXPECT_TRUE(HasWarning(svc_, "gateway: refused request"));
}

TEST_F(ConversationTest, SubscribersHearLoginLogoutAndLostConnections) {
  std::string many = R"(watcher> SubscribeOnlineStatus {"MsgId":1,"UserIds":"[)";
  for (int i = 0; i < 513; ++i) many += (i ? ",\\\"u" : "\\\"u") + std::to_string(i) + "\\\"";
  Run({
      "bob+",
      many + "]\"}",
      R"(watcher< SubscribeOnlineStatus {"Code":6,"MsgId":1})",
      R"(watcher> SubscribeOnlineStatus {"MsgId":7,"UserIds":"[\"alice\"]"})",
      R"(watcher< SubscribeOnlineStatus {"Code":0,"MsgId":7})",
      "alice+",
      R"(watcher< PeerOnlineStatus {"Status":[{"UserId":"alice","Online":1}]})",
      R"(alice> QueryOnlineStatus {"MsgId":5,"UserIds":"[\"bob\",\"carol\"]"})",
      R"(alice< QueryOnlineStatus {"MsgId":5,"Status":[{"UserId":"bob","Online":1},)"
      R"({"UserId":"carol","Online":0}]})",
      "alice> Logout",
      R"(watcher< PeerOnlineStatus {"Status":[{"UserId":"alice","Online":0}]})",
      R"(watcher> QueryOnlineSubStatus {"MsgId":8})",
      R"(watcher< QueryOnlineSubStatus {"MsgId":8,"Status":[{"UserId":"alice"}]})",
  });
  RawClient again;
  ASSERT_TRUE(again.LoginVia(svc_, "alice"));
  again.Close();
  Run({
      R"(watcher< PeerOnlineStatus {"Status":[{"UserId":"alice","Online":1}]})",
      R"(watcher< PeerOnlineStatus {"Status":[{"UserId":"alice","Online":-1}]})",
  });
}

TEST_F(ConversationTest, ChannelMembersHearJoinsMessagesLeavesAndAttributes) {
  Run({
      R"(alice> JoinChannel {"ChanId":"room"})",
      R"(alice< JoinChannel {"ChanId":"room","Code":0})",
      R"(bob> JoinChannel {"ChanId":"room"})",
      R"(alice< ChanMemberJoin {"ChanId":"room","ChanMemSize":2,"UserId":"bob"})",
      R"(carol> JoinChannel {"ChanId":"room"})",
      R"(alice< ChanMemberJoin {"ChanId":"room","ChanMemSize":3,"UserId":"carol"})",
      // The joiner hears the size but not its own join.
      R"(carol< MemSizeChanged {"ChanId":"room","MemSize":3})",
      "carol! ChanMemberJoin",
      R"(bob> SendChannelMsg {"MsgId":11,"FromUId":"bob","ChanId":"room","MsgType":1,"MsgBody":"yo"})",
      R"(bob< SendChannelMsg {"Code":0,"ChanId":"room","MsgId":11})",
      R"(alice< RecvMsgFromChan {"ChanId":"room","MsgId":11,"FromUId":"bob","MsgType":1,"MsgBody":"yo",*)",
      "bob! RecvMsgFromChan",
      R"(alice> GetChanMembers {"MsgId":3,"ChanId":"room"})",
      R"(alice< GetChanMembers {"Code":0,"ChanId":"room","Members":["alice","bob","carol"]})",
      R"(alice> AddOrUpdateChanAttributes {"MsgId":20,"ChanId":"room",)"
      R"("Attributes":"{\"k1\":\"v1\",\"k2\":\"v2\"}","SetChan":true,"Notify":true})",
      R"(alice< AddOrUpdateChanAttributes {"MsgId":20,"SetChan":true,"Code":0})",
      // The push carries a real array.
      R"(bob< ChanAttribChanged {"ChanId":"room","Attributes":[{"Key":"k1","Val":"v1","UId":"alice",*)",
      R"(alice> ClearChanAttributes {"MsgId":23,"ChanId":"room"})",
      R"(bob> GetChanAttributes {"MsgId":24,"ChanId":"room"})",
      R"(bob< GetChanAttributes {"MsgId":24,"Attributes":"[]"})",
      R"(carol> LeaveChannel {"ChanId":"room"})",
      R"(carol< LeaveChannel {"ChanId":"room","Code":0})",
      R"(alice< ChanMemberLeave {"ChanId":"room","ChanMemSize":2,"UserId":"carol"})",
      R"(carol> LeaveChannel {"ChanId":"room"})",
      R"(carol< LeaveChannel {"ChanId":"room","Code":1})",
      R"(carol> SendChannelMsg {"MsgId":12,"ChanId":"room","MsgType":1,"MsgBody":"x"})",
      R"(carol< SendChannelMsg {"Code":1,*)",
  });
  // A lost member leaves its channels.
  clients_["bob"]->Close();
  Run({R"(alice< ChanMemberLeave {"ChanId":"room","ChanMemSize":1,"UserId":"bob"})",
       // The channel's attributes outlive its last member.
       R"(alice> AddOrUpdateChanAttributes {"MsgId":25,"ChanId":"room","Attributes":"{\"k\":\"v\"}"})",
       R"(alice< AddOrUpdateChanAttributes {"MsgId":25,*)",
       R"(alice> LeaveChannel {"ChanId":"room"})",
       R"(alice< LeaveChannel {"ChanId":"room","Code":0})",
       R"(carol> GetChanAttributes {"MsgId":26,"ChanId":"room"})",
       R"(carol< GetChanAttributes {"MsgId":26,"Attributes":"[{\"Key\":\"k\",\"Val\":\"v\",*)"});
}

TEST_F(ConversationTest, UserAttributesAreKeptWhileOnlineAndReadAsObjectText) {
  Run({
      R"(alice> AddOrUpdateUserAttributes {"MsgId":1,"SetLocal":true,"Attributes":"{\"b\":\"2\",\"a\":\"1\"}"})",
      R"(alice< AddOrUpdateUserAttributes {"MsgId":1,"SetLocal":true,"Code":0})",
      R"(alice> DeleteUserAttributes {"MsgId":3,"Keys":"[\"b\"]"})",
      R"(alice> AddOrUpdateUserAttributes {"MsgId":6,"Attributes":"[1]"})",
      R"(alice< AddOrUpdateUserAttributes {"MsgId":6,"Code":1})",
      R"(bob> GetUserAttributesByKeys {"MsgId":5,"UserId":"alice","Keys":"[\"a\",\"b\"]"})",
      R"(bob< QueryAttribKeys {"MsgId":5,"QueryUserId":"alice","Attribs":"{\"a\":\"1\"}"})",
      "alice> Logout",
      "alice< Logout",
      R"(bob> GetUserAttributes {"MsgId":7,"UserId":"alice"})",
      R"(bob< QueryAttrib {"MsgId":7,"QueryUserId":"alice","Attribs":"{}"})",
  });
}

TEST_F(ConversationTest, CallInvitationsAreForwardedOnceAndForgottenWhenAnswered) {
  Run({
      "alice+",
      "bob+",
      R"(alice> MakeCall {"CallId":"c1","FromUId":"alice","ToUId":"bob","Content":"hey"})",
      R"(bob< MakeCall =)",
      R"(alice< CallStatus {"CallId":"c1","Status":1})",
      // A resend gets its status again but reaches the callee no second time.
      R"(alice> MakeCall {"CallId":"c1","FromUId":"alice","ToUId":"bob","Content":"hey"})",
      R"(alice< CallStatus {"CallId":"c1","Status":1})",
      "bob!",
      R"(bob> MakeCallAck {"CallId":"c1","FromUId":"bob","ToUId":"alice","Code":0})",
      R"(alice< MakeCallAck =)",
      R"(alice> MakeCall {"CallId":"c2","FromUId":"alice","ToUId":"bob","Content":""})",
      R"(bob< MakeCall =)",
      R"(bob> AcceptCall {"CallId":"c1","FromUId":"bob","ToUId":"alice","Response":"ok"})",
      R"(alice< AcceptCall =)",
      R"(bob> AcceptCall {"CallId":"c1","FromUId":"bob","ToUId":"alice","Response":"ok"})",
      "alice! AcceptCall",
      R"(alice> AcceptCallAck {"CallId":"c1","FromUId":"alice","ToUId":"bob","Code":0})",
      R"(bob< AcceptCallAck =)",
      R"(bob> RejectCall {"CallId":"c2","FromUId":"bob","ToUId":"alice","Response":"busy"})",
      R"(alice< RejectCall =)",
      R"(alice> RejectCallAck {"CallId":"c2","FromUId":"alice","ToUId":"bob","Code":0})",
      R"(bob< RejectCallAck =)",
      // An offline callee gives status 3.
      R"(alice> MakeCall {"CallId":"c4","FromUId":"alice","ToUId":"nobody","Content":""})",
      R"(alice< CallStatus {"CallId":"c4","Status":3})",
      // Nobody to cancel at: the service acknowledges for the callee.
      R"(alice> CancelCall {"CallId":"c4","FromUId":"alice","ToUId":"nobody","Reason":""})",
      R"(alice< CancelCallAck {"CallId":"c4","FromUId":"nobody","ToUId":"alice","Code":0})",
  });
  // Each call is forgotten once its answer is acknowledged or it is cancelled.
  EXPECT_EQ(0u, svc_.CallCount());
  EXPECT_TRUE(svc_.Warnings().empty());
}

TEST_F(ConversationTest, TokensExpireUnlessRenewedAndSilentConnectionsAreDropped) {
  RawClient renewed, expiring;
  ASSERT_TRUE(renewed.LoginVia(svc_, "alice", "exp:2000"));
  ASSERT_TRUE(renewed.Send("RenewAcsToken", R"({"AcsToken":"forever"})"));
  EXPECT_EQ(R"({"Code":0})", BodyOf(renewed.ReadCmd("RenewAcsToken")));
  ASSERT_TRUE(renewed.Send("RenewAcsToken", R"({"AcsToken":""})"));
  EXPECT_EQ(R"({"Code":1})", BodyOf(renewed.ReadCmd("RenewAcsToken")));
  // Bob's token expires after Alice's first one would have.
  ASSERT_TRUE(expiring.LoginVia(svc_, "bob", "exp:2100"));
  EXPECT_THAT(expiring.UntilClosed(), ElementsAre("AcsTokenWillExpire", "AcsTokenDidExpire"));
  EXPECT_THAT(renewed.Barrier(), Not(Contains("AcsTokenDidExpire")));

  svc_.SetKeepAliveTimeout(300);
  EXPECT_TRUE(renewed.WaitClosed());
  EXPECT_TRUE(HasWarning(svc_, "dropping it as lost"));
}

}  // namespace
}  // namespace local_service_test
