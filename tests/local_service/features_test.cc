// Presence, channels, attributes and call invitations between raw clients.
#include <gmock/gmock.h>

#include "test_util.h"

namespace local_service_test {
namespace {

using FeaturesTest = ServiceTest;

TEST_F(FeaturesTest, SubscribersHearLoginLogoutAndLostConnections) {
  RawClient watcher, alice;
  ASSERT_TRUE(watcher.LoginVia(svc_, "watcher"));
  ASSERT_TRUE(watcher.Send("SubscribeOnlineStatus", R"({"MsgId":7,"UserIds":"[\"alice\"]"})"));
  auto sub = watcher.ReadCmd("SubscribeOnlineStatus");
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->body, R"({"Code":0,"MsgId":7})");

  ASSERT_TRUE(alice.LoginVia(svc_, "alice"));
  auto on = watcher.ReadCmd("PeerOnlineStatus");
  ASSERT_TRUE(on);
  EXPECT_EQ(on->body, R"({"Status":[{"UserId":"alice","Online":1}]})");

  ASSERT_TRUE(alice.Send("Logout", ""));
  auto off = watcher.ReadCmd("PeerOnlineStatus");
  ASSERT_TRUE(off);
  EXPECT_EQ(off->body, R"({"Status":[{"UserId":"alice","Online":0}]})");

  RawClient again;
  ASSERT_TRUE(again.LoginVia(svc_, "alice"));
  ASSERT_TRUE(watcher.ReadCmd("PeerOnlineStatus"));
  again.Close();
  auto lost = watcher.ReadCmd("PeerOnlineStatus");
  ASSERT_TRUE(lost);
  EXPECT_EQ(lost->body, R"({"Status":[{"UserId":"alice","Online":-1}]})");

  ASSERT_TRUE(watcher.Send("QueryOnlineSubStatus", R"({"MsgId":8})"));
  auto subs = watcher.ReadCmd("QueryOnlineSubStatus");
  ASSERT_TRUE(subs);
  EXPECT_EQ(subs->body, R"({"MsgId":8,"Status":[{"UserId":"alice"}]})");

  ASSERT_TRUE(watcher.Send("UnSubscribeOnlineStatus", R"({"MsgId":9,"UserIds":"[\"alice\"]"})"));
  auto unsub = watcher.ReadCmd("UnSubscribeOnlineStatus");
  ASSERT_TRUE(unsub);
  EXPECT_EQ(unsub->body, R"({"Code":0,"MsgId":9})");
}

TEST_F(FeaturesTest, QueryOnlineStatusTellsOnlineFromOffline) {
  RawClient a, b;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  ASSERT_TRUE(b.LoginVia(svc_, "bob"));
  ASSERT_TRUE(a.Send("QueryOnlineStatus", R"({"MsgId":5,"UserIds":"[\"bob\",\"carol\"]"})"));
  auto reply = a.ReadCmd("QueryOnlineStatus");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body,
            R"({"MsgId":5,"Status":[{"UserId":"bob","Online":1},{"UserId":"carol","Online":0}]})");
}

TEST_F(FeaturesTest, SubscriptionsBeyond512AreRefused) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  std::string ids = "[";
  for (int i = 0; i < 513; ++i) ids += (i ? ",\\\"u" : "\\\"u") + std::to_string(i) + "\\\"";
  ids += "]";
  ASSERT_TRUE(a.Send("SubscribeOnlineStatus", R"({"MsgId":1,"UserIds":")" + ids + R"("})"));
  auto reply = a.ReadCmd("SubscribeOnlineStatus");
  ASSERT_TRUE(reply);
  EXPECT_NE(IntOf(reply->body, "Code"), 0);
}

class ChannelTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
    ASSERT_TRUE(b_.LoginVia(svc_, "bob"));
    ASSERT_TRUE(c_.LoginVia(svc_, "carol"));
    for (auto* client : {&a_, &b_, &c_}) {
      ASSERT_TRUE(client->Send("JoinChannel", R"({"ChanId":"room"})"));
      auto reply = client->ReadCmd("JoinChannel");
      ASSERT_TRUE(reply);
      ASSERT_EQ(reply->body, R"({"ChanId":"room","Code":0})");
    }
  }
  RawClient a_, b_, c_;
};

TEST_F(ChannelTest, JoinsAreAnnouncedToTheOtherMembersWithTheCount) {
  EXPECT_EQ(svc_.ChannelMembers(kAppId, "room"),
            (std::vector<std::string>{"alice", "bob", "carol"}));
  auto join = a_.ReadCmd("ChanMemberJoin");
  ASSERT_TRUE(join);
  EXPECT_EQ(join->body, R"({"ChanId":"room","ChanMemSize":2,"UserId":"bob"})");
  join = a_.ReadCmd("ChanMemberJoin");
  ASSERT_TRUE(join);
  EXPECT_EQ(join->body, R"({"ChanId":"room","ChanMemSize":3,"UserId":"carol"})");
  // The joiner hears the size but not its own join.
  auto size = c_.ReadCmd("MemSizeChanged");
  ASSERT_TRUE(size);
  EXPECT_EQ(size->body, R"({"ChanId":"room","MemSize":3})");
  EXPECT_FALSE(c_.ReadCmd("ChanMemberJoin", 200));
}

TEST_F(ChannelTest, MessagesReachEveryOtherMember) {
  ASSERT_TRUE(b_.Send("SendChannelMsg",
                      R"({"MsgId":11,"FromUId":"bob","ChanId":"room","MsgType":1,"MsgBody":"yo"})"));
  auto reply = b_.ReadCmd("SendChannelMsg");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, R"({"Code":0,"ChanId":"room","MsgId":11})");
  for (auto* other : {&a_, &c_}) {
    auto msg = other->ReadCmd("RecvMsgFromChan");
    ASSERT_TRUE(msg);
    EXPECT_EQ(StrOf(msg->body, "FromUId"), "bob");
    EXPECT_EQ(StrOf(msg->body, "MsgBody"), "yo");
    EXPECT_EQ(IntOf(msg->body, "MsgId"), 11);
  }
  EXPECT_FALSE(b_.ReadCmd("RecvMsgFromChan", 200));
}

TEST_F(ChannelTest, MembersCountsAndLeavesAreReported) {
  ASSERT_TRUE(a_.Send("GetChanMembers", R"({"MsgId":3,"ChanId":"room"})"));
  auto members = a_.ReadCmd("GetChanMembers");
  ASSERT_TRUE(members);
  EXPECT_EQ(members->body, R"({"Code":0,"ChanId":"room","Members":["alice","bob","carol"]})");

  ASSERT_TRUE(a_.Send("GetChanMemberSize", R"({"MsgId":4,"ChanIds":"[\"room\",\"empty\"]"})"));
  auto sizes = a_.ReadCmd("GetChanMemberSize");
  ASSERT_TRUE(sizes);
  EXPECT_EQ(sizes->body,
            R"({"MsgId":4,"ChanMemSize":[{"ChanId":"room","MemSize":3},{"ChanId":"empty","MemSize":0}]})");

  ASSERT_TRUE(c_.Send("LeaveChannel", R"({"ChanId":"room"})"));
  auto left = c_.ReadCmd("LeaveChannel");
  ASSERT_TRUE(left);
  EXPECT_EQ(left->body, R"({"ChanId":"room","Code":0})");
  auto leave = a_.ReadCmd("ChanMemberLeave");
  ASSERT_TRUE(leave);
  EXPECT_EQ(leave->body, R"({"ChanId":"room","ChanMemSize":2,"UserId":"carol"})");

  ASSERT_TRUE(c_.Send("LeaveChannel", R"({"ChanId":"room"})"));
  auto again = c_.ReadCmd("LeaveChannel");
  ASSERT_TRUE(again);
  EXPECT_EQ(IntOf(again->body, "Code"), 1);
  ASSERT_TRUE(c_.Send("SendChannelMsg",
                      R"({"MsgId":12,"FromUId":"carol","ChanId":"room","MsgType":1,"MsgBody":"x"})"));
  auto refused = c_.ReadCmd("SendChannelMsg");
  ASSERT_TRUE(refused);
  EXPECT_EQ(IntOf(refused->body, "Code"), 1);
}

TEST_F(ChannelTest, ALostMemberLeavesItsChannels) {
  b_.Close();
  auto leave = a_.ReadCmd("ChanMemberLeave");
  ASSERT_TRUE(leave);
  EXPECT_EQ(StrOf(leave->body, "UserId"), "bob");
  EXPECT_EQ(svc_.ChannelMembers(kAppId, "room"), (std::vector<std::string>{"alice", "carol"}));
}

TEST_F(ChannelTest, ChannelAttributesAreSetReadAndNotified) {
  ASSERT_TRUE(a_.Send("AddOrUpdateChanAttributes",
                      R"({"MsgId":20,"ChanId":"room","Attributes":"{\"k1\":\"v1\",\"k2\":\"v2\"}","SetChan":true,"Notify":true})"));
  auto reply = a_.ReadCmd("AddOrUpdateChanAttributes");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, R"({"MsgId":20,"SetChan":true,"Code":0})");
  auto note = b_.ReadCmd("ChanAttribChanged");
  ASSERT_TRUE(note);
  rapidjson::Document doc;
  ASSERT_TRUE(local_service::ParseJsonObject(note->body, &doc));
  ASSERT_TRUE(doc["Attributes"].IsArray());  // a real array in the push
  ASSERT_EQ(doc["Attributes"].Size(), 2u);
  EXPECT_STREQ(doc["Attributes"][0]["Key"].GetString(), "k1");
  EXPECT_STREQ(doc["Attributes"][0]["UId"].GetString(), "alice");
  EXPECT_TRUE(doc["Attributes"][0]["Time"].IsInt64());

  ASSERT_TRUE(b_.Send("GetChanAttributesByKeys",
                      R"({"MsgId":21,"ChanId":"room","Keys":"[\"k2\"]"})"));
  auto got = b_.ReadCmd("GetChanAttributesByKeys");
  ASSERT_TRUE(got);
  std::string text = StrOf(got->body, "Attributes");  // text in the reply
  ASSERT_TRUE(local_service::ParseJson(text, &doc));
  ASSERT_TRUE(doc.IsArray());
  ASSERT_EQ(doc.Size(), 1u);
  EXPECT_STREQ(doc[0]["Val"].GetString(), "v2");

  ASSERT_TRUE(a_.Send("DeleteChanAttributes",
                      R"({"MsgId":22,"ChanId":"room","Keys":"[\"k1\"]","Notify":true})"));
  ASSERT_TRUE(a_.ReadCmd("DeleteChanAttributes"));
  auto after = c_.ReadCmd("ChanAttribChanged");
  ASSERT_TRUE(after);
  after = c_.ReadCmd("ChanAttribChanged");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->body.find("k1"), std::string::npos);

  ASSERT_TRUE(a_.Send("ClearChanAttributes", R"({"MsgId":23,"ChanId":"room"})"));
  ASSERT_TRUE(a_.ReadCmd("ClearChanAttributes"));
  ASSERT_TRUE(a_.Send("GetChanAttributes", R"({"MsgId":24,"ChanId":"room"})"));
  auto empty = a_.ReadCmd("GetChanAttributes");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->body, R"({"MsgId":24,"Attributes":"[]"})");
}

TEST_F(FeaturesTest, UserAttributesAreKeptWhileOnlineAndReadAsObjectText) {
  RawClient a, b;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  ASSERT_TRUE(b.LoginVia(svc_, "bob"));
  ASSERT_TRUE(a.Send("AddOrUpdateUserAttributes",
                     R"({"MsgId":1,"SetLocal":true,"Attributes":"{\"b\":\"2\",\"a\":\"1\"}"})"));
  auto set = a.ReadCmd("AddOrUpdateUserAttributes");
  ASSERT_TRUE(set);
  EXPECT_EQ(set->body, R"({"MsgId":1,"SetLocal":true,"Code":0})");
  ASSERT_TRUE(a.Send("AddOrUpdateUserAttributes", R"({"MsgId":2,"Attributes":"{\"c\":\"3\"}"})"));
  auto add = a.ReadCmd("AddOrUpdateUserAttributes");
  ASSERT_TRUE(add);
  EXPECT_EQ(add->body, R"({"MsgId":2,"Code":0})");
  ASSERT_TRUE(a.Send("DeleteUserAttributes", R"({"MsgId":3,"Keys":"[\"b\"]"})"));
  ASSERT_TRUE(a.ReadCmd("DeleteUserAttributes"));

  ASSERT_TRUE(b.Send("GetUserAttributes", R"({"MsgId":4,"UserId":"alice"})"));
  auto all = b.ReadCmd("QueryAttrib");
  ASSERT_TRUE(all);
  EXPECT_EQ(all->body, R"({"MsgId":4,"QueryUserId":"alice","Attribs":"{\"a\":\"1\",\"c\":\"3\"}"})");
  ASSERT_TRUE(b.Send("GetUserAttributesByKeys",
                     R"({"MsgId":5,"UserId":"alice","Keys":"[\"c\"]"})"));
  auto some = b.ReadCmd("QueryAttribKeys");
  ASSERT_TRUE(some);
  EXPECT_EQ(StrOf(some->body, "Attribs"), R"({"c":"3"})");

  // Bad attribute text is refused with a code and a log line.
  ASSERT_TRUE(a.Send("AddOrUpdateUserAttributes", R"({"MsgId":6,"Attributes":"[1]"})"));
  auto bad = a.ReadCmd("AddOrUpdateUserAttributes");
  ASSERT_TRUE(bad);
  EXPECT_EQ(IntOf(bad->body, "Code"), 1);
  EXPECT_TRUE(HasWarning(svc_, "refused AddOrUpdateUserAttributes"));

  // Going offline drops them.
  ASSERT_TRUE(a.Send("Logout", ""));
  ASSERT_TRUE(a.WaitClosed());
  ASSERT_TRUE(b.Send("GetUserAttributes", R"({"MsgId":7,"UserId":"alice"})"));
  auto gone = b.ReadCmd("QueryAttrib");
  ASSERT_TRUE(gone);
  EXPECT_EQ(StrOf(gone->body, "Attribs"), "{}");
}

class CallTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(caller_.LoginVia(svc_, "alice"));
    ASSERT_TRUE(callee_.LoginVia(svc_, "bob"));
  }
  RawClient caller_, callee_;
};

TEST_F(CallTest, InvitationIsForwardedOnceAndAnsweredBothWays) {
  std::string make = R"({"CallId":"c1","FromUId":"alice","ToUId":"bob","Content":"hey"})";
  ASSERT_TRUE(caller_.Send("MakeCall", make));
  auto status = caller_.ReadCmd("CallStatus");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->body, R"({"CallId":"c1","Status":1})");
  auto invite = callee_.ReadCmd("MakeCall");
  ASSERT_TRUE(invite);
  EXPECT_EQ(invite->body, make);
  // A resend gets its status again but reaches the callee no second time.
  ASSERT_TRUE(caller_.Send("MakeCall", make));
  ASSERT_TRUE(caller_.ReadCmd("CallStatus"));
  EXPECT_FALSE(callee_.ReadCmd("MakeCall", 200));

  std::string ack = R"({"CallId":"c1","FromUId":"bob","ToUId":"alice","Code":0})";
  ASSERT_TRUE(callee_.Send("MakeCallAck", ack));
  auto got_ack = caller_.ReadCmd("MakeCallAck");
  ASSERT_TRUE(got_ack);
  EXPECT_EQ(got_ack->body, ack);

  std::string accept = R"({"CallId":"c1","FromUId":"bob","ToUId":"alice","Response":"ok"})";
  ASSERT_TRUE(callee_.Send("AcceptCall", accept));
  ASSERT_TRUE(callee_.Send("AcceptCall", accept));
  auto got_accept = caller_.ReadCmd("AcceptCall");
  ASSERT_TRUE(got_accept);
  EXPECT_EQ(got_accept->body, accept);
  EXPECT_FALSE(caller_.ReadCmd("AcceptCall", 200));

  std::string accept_ack = R"({"CallId":"c1","FromUId":"alice","ToUId":"bob","Code":0})";
  ASSERT_TRUE(caller_.Send("AcceptCallAck", accept_ack));
  auto got_accept_ack = callee_.ReadCmd("AcceptCallAck");
  ASSERT_TRUE(got_accept_ack);
  EXPECT_EQ(got_accept_ack->body, accept_ack);
}

TEST_F(CallTest, CancelIsForwardedAndItsAckReturns) {
  ASSERT_TRUE(caller_.Send("MakeCall", R"({"CallId":"c2","FromUId":"alice","ToUId":"bob","Content":""})"));
  ASSERT_TRUE(callee_.ReadCmd("MakeCall"));
  ASSERT_TRUE(caller_.Send("CancelCall", R"({"CallId":"c2","FromUId":"alice","ToUId":"bob","Reason":""})"));
  ASSERT_TRUE(callee_.ReadCmd("CancelCall"));
  ASSERT_TRUE(callee_.Send("CancelCallAck", R"({"CallId":"c2","FromUId":"bob","ToUId":"alice","Code":0})"));
  auto ack = caller_.ReadCmd("CancelCallAck");
  ASSERT_TRUE(ack);
  EXPECT_EQ(StrOf(ack->body, "CallId"), "c2");
}

TEST_F(CallTest, InvitingAnOfflineCalleeGivesStatus3AndCancelIsAcknowledgedByTheService) {
  ASSERT_TRUE(caller_.Send("MakeCall", R"({"CallId":"c3","FromUId":"alice","ToUId":"nobody","Content":""})"));
  auto status = caller_.ReadCmd("CallStatus");
  ASSERT_TRUE(status);
  EXPECT_EQ(IntOf(status->body, "Status"), 3);
  ASSERT_TRUE(caller_.Send("CancelCall", R"({"CallId":"c3","FromUId":"alice","ToUId":"nobody","Reason":""})"));
  auto ack = caller_.ReadCmd("CancelCallAck");
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->body, R"({"CallId":"c3","FromUId":"nobody","ToUId":"alice","Code":0})");
}

TEST_F(CallTest, RefusalIsForwardedToTheCaller) {
  ASSERT_TRUE(caller_.Send("MakeCall", R"({"CallId":"c4","FromUId":"alice","ToUId":"bob","Content":""})"));
  ASSERT_TRUE(callee_.ReadCmd("MakeCall"));
  ASSERT_TRUE(callee_.Send("RejectCall", R"({"CallId":"c4","FromUId":"bob","ToUId":"alice","Response":"busy"})"));
  auto reject = caller_.ReadCmd("RejectCall");
  ASSERT_TRUE(reject);
  EXPECT_EQ(StrOf(reject->body, "Response"), "busy");
  ASSERT_TRUE(caller_.Send("RejectCallAck", R"({"CallId":"c4","FromUId":"alice","ToUId":"bob","Code":0})"));
  ASSERT_TRUE(callee_.ReadCmd("RejectCallAck"));
}

TEST_F(CallTest, ACallIsForgottenOnceItsAnswerIsAcknowledgedOrItIsCanceled) {
  ASSERT_TRUE(caller_.Send("MakeCall", R"({"CallId":"c5","FromUId":"alice","ToUId":"bob","Content":""})"));
  ASSERT_TRUE(caller_.Send("MakeCall", R"({"CallId":"c6","FromUId":"alice","ToUId":"bob","Content":""})"));
  ASSERT_TRUE(callee_.ReadCmd("MakeCall"));
  ASSERT_TRUE(callee_.ReadCmd("MakeCall"));
  EXPECT_EQ(svc_.CallCount(), 2u);
  ASSERT_TRUE(callee_.Send("AcceptCall", R"({"CallId":"c5","FromUId":"bob","ToUId":"alice","Response":""})"));
  ASSERT_TRUE(caller_.ReadCmd("AcceptCall"));
  EXPECT_EQ(svc_.CallCount(), 2u);
  ASSERT_TRUE(caller_.Send("AcceptCallAck", R"({"CallId":"c5","FromUId":"alice","ToUId":"bob","Code":0})"));
  ASSERT_TRUE(callee_.ReadCmd("AcceptCallAck"));
  EXPECT_EQ(svc_.CallCount(), 1u);
  ASSERT_TRUE(caller_.Send("CancelCall", R"({"CallId":"c6","FromUId":"alice","ToUId":"bob","Reason":""})"));
  ASSERT_TRUE(callee_.ReadCmd("CancelCall"));
  EXPECT_EQ(svc_.CallCount(), 0u);
  EXPECT_TRUE(svc_.Warnings().empty());
}

TEST_F(CallTest, ASenderOtherThanTheConnectionsUserIsWarnedOf) {
  const std::pair<const char*, const char*> wrong[] = {
      {"MakeCall", R"({"CallId":"c7","FromUId":"mallory","ToUId":"bob","Content":""})"},
      {"AcceptCall", R"({"CallId":"c7","ToUId":"bob","Response":""})"},
      {"SendChannelMsg", R"({"MsgId":1,"FromUId":"","ChanId":"room","MsgType":1,"MsgBody":"x"})"},
  };
  for (const auto& [cmd, body] : wrong) {
    ASSERT_TRUE(caller_.Send(cmd, body));
    // Commands are handled in order: once this one is answered, the one before was seen.
    ASSERT_TRUE(caller_.Send("CheckNetStatus", "{}"));
    ASSERT_TRUE(caller_.ReadCmd("CheckNetStatusAck"));
    EXPECT_TRUE(HasWarning(svc_, std::string(cmd) + " names FromUId")) << cmd;
  }
}

}  // namespace
}  // namespace local_service_test
