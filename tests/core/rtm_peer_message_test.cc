// Peer messages between real clients through the in-process local test service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

class RtmPeerMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
  }
  RunningFakeClock& clock_ = RunningFakeClock::Instance();
  local_service::LocalService svc_{ServiceOptions()};
};

TEST_F(RtmPeerMessageTest, MessageIsDeliveredAcknowledgedAndReportedAsDelivered) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  long long id = alice.Send("bob", "hello bob");
  ASSERT_NE(0, id);
  ASSERT_TRUE(bob.log.WaitFor(Event::kMessage));
  Event m = bob.log.Of(Event::kMessage)[0];
  EXPECT_EQ("alice", m.peer);
  EXPECT_EQ("hello bob", m.text);
  EXPECT_EQ(id, m.id);
  EXPECT_EQ(rtm::MESSAGE_TYPE_TEXT, m.b);
  EXPECT_FALSE(m.offline);
  EXPECT_NE(0, m.server_time);
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.ResultOf(id));
  ASSERT_TRUE(svc_.WaitForCommand("bob", "RecvMsgFromPeerAck", 1, 5000));
  auto log = svc_.Log("alice");
  std::string sent;
  for (const auto& c : log) {
    if (c.cmd == "SendMsgToPeer") sent = c.content;
  }
  EXPECT_EQ(R"({"MsgId":)" + std::to_string(id) +
                R"(,"FromUId":"alice","ToUId":"bob","MsgType":1,"MsgBody":"hello bob"})",
            sent);
}

}  // namespace
}  // namespace rtm_test

namespace rtm_test {
namespace {

// Drops every "MsgStatus" the service would send to `user`.
void DropMsgStatus(local_service::LocalService& svc, const std::string& user,
                   local_service::FaultAction action = local_service::FaultAction::kDrop) {
  local_service::FaultRule rule;
  rule.direction = local_service::Direction::kToClient;
  rule.user = user;
  rule.cmd = "MsgStatus";
  rule.action = action;
  svc.AddFault(rule);
}

TEST_F(RtmPeerMessageTest, SendChecksRefuseInOrderAndReportThroughTheHandler) {
  EventLog raw_log;
  rtm::IRtmService* raw = createRtmService();
  raw->addEventHandler(&raw_log);
  rtm::IMessage* message = raw->createMessage("hi");
  EXPECT_EQ(-1, raw->sendMessageToPeer("bob", message));
  raw->release(true);
  ASSERT_EQ(1u, raw_log.Count(Event::kSendResult));
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_NOT_INITIALIZED, raw_log.Of(Event::kSendResult)[0].a);

  Client alice(svc_, "alice");
  EXPECT_EQ(-1, alice->sendMessageToPeer("bob", message));
  ASSERT_TRUE(alice.Login());
  EXPECT_EQ(-1, alice->sendMessageToPeer(nullptr, message));
  EXPECT_EQ(-1, alice->sendMessageToPeer("", message));
  rtm::IMessage* empty = alice->createMessage();
  EXPECT_EQ(-1, alice->sendMessageToPeer("bob", empty));
  // A null message is refused without a callback.
  EXPECT_EQ(-1, alice->sendMessageToPeer("bob", nullptr));
  std::vector<Event> results = alice.log.Of(Event::kSendResult);
  ASSERT_EQ(4u, results.size());
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN, results[0].a);
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_INVALID_USERID, results[1].a);
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_INVALID_USERID, results[2].a);
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_INVALID_MESSAGE, results[3].a);
  EXPECT_EQ(message->getMessageId(), results[0].id);
  EXPECT_EQ(empty->getMessageId(), results[3].id);
  message->release();
  empty->release();
}

TEST_F(RtmPeerMessageTest, ContentOf32767BytesIsSentAnd32768IsRefused) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  long long big = alice.Send("bob", std::string(32767, 'x'));
  ASSERT_NE(0, big);
  EXPECT_EQ(0, alice.Send("bob", std::string(32768, 'y')));
  ASSERT_TRUE(bob.log.WaitFor(Event::kMessage));
  EXPECT_EQ(32767u, bob.log.Of(Event::kMessage)[0].text.size());
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.ResultOf(big));
  auto results = alice.log.Of(Event::kSendResult);
  ASSERT_EQ(2u, results.size());
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_INVALID_MESSAGE, results[0].a);
}

TEST_F(RtmPeerMessageTest, RawMessageTravelsWithItsType) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  const unsigned char bytes[] = {'r', 'a', 'w', 0, 'x'};
  rtm::IMessage* message = alice->createMessage(bytes, 5, "ignored");
  ASSERT_NE(nullptr, message);
  EXPECT_EQ(3, message->getRawMessageLength());
  EXPECT_EQ(0, alice->sendMessageToPeer("bob", message));
  long long id = message->getMessageId();
  message->release();
  ASSERT_TRUE(bob.log.WaitFor(Event::kMessage));
  EXPECT_EQ(rtm::MESSAGE_TYPE_RAW, bob.log.Of(Event::kMessage)[0].b);
  EXPECT_EQ("raw", bob.log.Of(Event::kMessage)[0].text);
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.ResultOf(id));
}

TEST_F(RtmPeerMessageTest, FactoriesRefuseEmptyInputAndGiveDistinctIds) {
  Client alice(svc_, "alice");
  EXPECT_EQ(nullptr, alice->createMessage(static_cast<const char*>(nullptr)));
  EXPECT_EQ(nullptr, alice->createMessage(""));
  const unsigned char bytes[] = {'a', 0, 'b'};
  EXPECT_EQ(nullptr, alice->createMessage(bytes, 0));
  EXPECT_EQ(nullptr, alice->createMessage(bytes, -1));
  EXPECT_EQ(nullptr, alice->createMessage(nullptr, 3));
  EXPECT_EQ(nullptr, alice->createMessage(bytes, 0, "d"));
  rtm::IMessage* raw = alice->createMessage(bytes, 3);
  ASSERT_NE(nullptr, raw);
  EXPECT_EQ(1, raw->getRawMessageLength());
  EXPECT_EQ(rtm::MESSAGE_TYPE_RAW, raw->getMessageType());
  rtm::IMessage* first = alice->createMessage();
  rtm::IMessage* second = alice->createMessage();
  EXPECT_EQ(rtm::MESSAGE_TYPE_TEXT, first->getMessageType());
  EXPECT_STREQ("", first->getText());
  EXPECT_LT(raw->getMessageId(), first->getMessageId());
  EXPECT_LT(first->getMessageId(), second->getMessageId());
  raw->release();
  first->release();
  second->release();
}

TEST_F(RtmPeerMessageTest, OfflinePeerGives3OrWithStorage4AndStoredMessagesArriveInOrder) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  long long not_stored = alice.Send("bob", "lost");
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_PEER_UNREACHABLE, alice.ResultOf(not_stored));
  std::vector<long long> ids;
  for (const char* text : {"one", "two", "three"}) {
    ids.push_back(alice.Send("bob", text, /*offline=*/true));
    EXPECT_EQ(rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER, alice.ResultOf(ids.back()));
  }
  Client bob(svc_, "bob");
  ASSERT_TRUE(bob.Login());
  ASSERT_TRUE(bob.log.WaitFor(Event::kMessage, 3));
  auto messages = bob.log.Of(Event::kMessage);
  ASSERT_EQ(3u, messages.size());
  EXPECT_EQ("one", messages[0].text);
  EXPECT_EQ("two", messages[1].text);
  EXPECT_EQ("three", messages[2].text);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(messages[i].offline);
    EXPECT_EQ(0, messages[i].server_time);
    EXPECT_EQ("alice", messages[i].peer);
    EXPECT_EQ(ids[i], messages[i].id);
  }
  // Offline messages are not acknowledged over the connection.
  EXPECT_EQ(0u, svc_.OfflineCount(kAppId, "bob"));
  usleep(50000);
  for (const auto& c : svc_.Log("bob")) EXPECT_NE("RecvMsgFromPeerAck", c.cmd);
}

TEST_F(RtmPeerMessageTest, OfflineAnswersWithBadIdsOrBadJson) {
  svc_.StoreOffline(kAppId, "bob", "alice", 77, 1, "kept");
  svc_.SetOfflineMode(local_service::OfflineMode::kInvalidJson, 0, 1);
  {
    Client bob(svc_, "bob");
    ASSERT_TRUE(bob.Login());
    ASSERT_TRUE(Eventually([&] { return svc_.offline_requests() == 1; }));
    usleep(100000);
    EXPECT_EQ(0u, bob.log.Count(Event::kMessage));
  }
  clock_.Jump(1001);
  svc_.SetOfflineMode(local_service::OfflineMode::kMsgIdString, 0, 1);
  Client bob(svc_, "bob");
  ASSERT_TRUE(bob.Login());
  ASSERT_TRUE(bob.log.WaitFor(Event::kMessage));
  EXPECT_EQ(0, bob.log.Of(Event::kMessage)[0].id);
  EXPECT_EQ("kept", bob.log.Of(Event::kMessage)[0].text);
}

TEST_F(RtmPeerMessageTest, NoMsgStatusGivesTimeoutAfterTenSeconds) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  DropMsgStatus(svc_, "alice");
  long long id = alice.Send("bob", "unanswered");
  ASSERT_TRUE(bob.log.WaitFor(Event::kMessage));
  clock_.Jump(9000);
  usleep(50000);
  EXPECT_EQ(0u, alice.log.Count(Event::kSendResult));
  clock_.Jump(1100);
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_TIMEOUT, alice.ResultOf(id));
  EXPECT_EQ(1u, alice.log.Count(Event::kSendResult));
}

TEST_F(RtmPeerMessageTest, WaitingSendTimesOutWhileTheConnectionIsDown) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  DropMsgStatus(svc_, "alice");
  long long id = alice.Send("bob", "in flight");
  ASSERT_TRUE(bob.log.WaitFor(Event::kMessage));
  // The connection goes and the gateway stops answering: no TCP client while time passes.
  svc_.SetGatewayMode(local_service::GatewayMode::kNoAnswer, 60000);
  svc_.Close("alice", local_service::CloseMode::kFin);
  ASSERT_TRUE(alice.log.WaitForState(rtm::CONNECTION_STATE_RECONNECTING,
                                     rtm::CONNECTION_CHANGE_REASON_INTERRUPTED));
  for (int i = 0; i < 22; ++i) {
    clock_.Jump(500);
    usleep(3000);
  }
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_TIMEOUT, alice.ResultOf(id));
}

TEST_F(RtmPeerMessageTest, MessageAwaitingItsResultIsNotSentAgainSoEveryAcceptedSendGetsOne) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  local_service::FaultRule no_answer;
  no_answer.user = "alice";
  no_answer.cmd = "MsgStatus";
  no_answer.times = 1;
  svc_.AddFault(no_answer);
  rtm::IMessage* message = alice->createMessage("again");
  const long long id = message->getMessageId();
  EXPECT_EQ(0, alice->sendMessageToPeer("bob", message));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(-1, alice->sendMessageToPeer("bob", message));
  ASSERT_TRUE(svc_.WaitForCommand("bob", "RecvMsgFromPeerAck", 1, 5000));
  EXPECT_EQ(0u, alice.log.Count(Event::kSendResult));
  clock_.Jump(10100);
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_TIMEOUT, alice.ResultOf(id));
  // Once its result is in, the message may go again.
  EXPECT_EQ(0, alice->sendMessageToPeer("bob", message));
  ASSERT_TRUE(Eventually([&] { return alice.log.Count(Event::kSendResult) == 2; }));
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.log.Of(Event::kSendResult)[1].a);
  EXPECT_EQ(id, alice.log.Of(Event::kSendResult)[1].id);
  EXPECT_EQ(2u, bob.log.Count(Event::kMessage));
  message->release();
}

TEST_F(RtmPeerMessageTest, SecondMsgStatusForAMessageIsIgnored) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  DropMsgStatus(svc_, "alice", local_service::FaultAction::kDuplicate);
  long long id = alice.Send("bob", "twice answered");
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.ResultOf(id));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, 5000));
  long long next = alice.Send("bob", "after");
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.ResultOf(next));
  EXPECT_EQ(2u, alice.log.Count(Event::kSendResult));
}

TEST_F(RtmPeerMessageTest, FloodLimitRefusesWhen300SendsWaitAndTheOldestIs3SecondsOld) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  DropMsgStatus(svc_, "alice");
  auto too_often = [&] {
    size_t n = 0;
    for (const Event& e : alice.log.Of(Event::kSendResult)) {
      n += e.a == rtm::PEER_MESSAGE_ERR_TOO_OFTEN ? 1 : 0;
    }
    return n;
  };
  // While paused no pass runs, so nothing times out and every send of a phase has one age.
  clock_.Pause();
  for (int i = 0; i < 299; ++i) ASSERT_NE(0, alice.Send("bob", "a" + std::to_string(i))) << i;
  // 299 waiting, however old: accepted. Then 300 with the oldest 4 s old: refused.
  clock_.Jump(4000);
  ASSERT_NE(0, alice.Send("bob", "a299"));
  EXPECT_EQ(0, alice.Send("bob", "a300"));
  EXPECT_EQ(1u, too_often());

  clock_.Resume();
  alice->logout();
  clock_.Jump(1001);
  ASSERT_TRUE(alice.Login());
  clock_.Pause();
  for (int i = 0; i < 300; ++i) ASSERT_NE(0, alice.Send("bob", "b" + std::to_string(i))) << i;
  // The oldest of 300 registered 2999 ms ago: accepted; 3000 ms ago: refused.
  clock_.Jump(2999);
  ASSERT_NE(0, alice.Send("bob", "b300"));
  clock_.Jump(1);
  EXPECT_EQ(0, alice.Send("bob", "b301"));
  EXPECT_EQ(2u, too_often());
  clock_.Resume();
}

TEST_F(RtmPeerMessageTest, LogoutReportsWaitingSendsAsNotLoggedIn) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  DropMsgStatus(svc_, "alice");
  long long a = alice.Send("bob", "a", true);
  long long b = alice.Send("bob", "b", true);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "SendMsgToPeer", 2, 5000));
  alice->logout();
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN, alice.ResultOf(a, 0));
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN, alice.ResultOf(b, 0));
  // Nothing more comes for them later.
  clock_.Jump(11000);
  usleep(50000);
  EXPECT_EQ(2u, alice.log.Count(Event::kSendResult));
}

TEST_F(RtmPeerMessageTest, HandlerMayLogOutFromInsideAReceivedMessage) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  bob.log.SetOnEvent([&bob](const Event& e) {
    if (e.kind == Event::kMessage) bob->logout();
  });
  // Two messages in one read: the second is not dispatched after the logout.
  svc_.Coalesce("bob", 2);
  alice.Send("bob", "first");
  alice.Send("bob", "second");
  ASSERT_TRUE(bob.log.WaitForState(rtm::CONNECTION_STATE_DISCONNECTED,
                                   rtm::CONNECTION_CHANGE_REASON_LOGOUT));
  usleep(50000);
  EXPECT_EQ(1u, bob.log.Count(Event::kMessage));
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("bob"); }));
}

TEST_F(RtmPeerMessageTest, HandlerMayReleaseTheServiceFromInsideAReceivedMessage) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  EventLog log;
  rtm::IRtmService* bob = NewService(svc_, &log);
  ASSERT_EQ(0, bob->login("t", "bob"));
  ASSERT_TRUE(log.WaitFor(Event::kLoginSuccess));
  std::atomic<bool> releasing{false};
  std::atomic<bool> released{false};
  log.SetOnEvent([bob, &releasing, &released](const Event& e) {
    if (e.kind != Event::kMessage || releasing.exchange(true)) return;
    bob->release(true);
    // Once release returns no handler is called again, so `log` may go.
    released = true;
  });
  svc_.Coalesce("bob", 2);
  alice.Send("bob", "first");
  alice.Send("bob", "second");
  ASSERT_TRUE(Eventually([&] { return released.load(); }));
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("bob"); }));
  EXPECT_EQ(1u, log.Count(Event::kMessage));
}

TEST_F(RtmPeerMessageTest, ReceivedMessageIsAcknowledgedAfterTheHandlersReturn) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  // Commands leave in the order they were queued: a reply sent from inside the handler
  // reaches the service before the ack only if the ack is queued after the handlers return.
  bob.log.SetOnEvent([&bob](const Event& e) {
    if (e.kind == Event::kMessage) bob.Send("alice", "reply from the handler");
  });
  long long id = alice.Send("bob", "ack me");
  ASSERT_TRUE(svc_.WaitForCommand("bob", "RecvMsgFromPeerAck", 1, 5000));
  bob.log.SetOnEvent(nullptr);
  std::vector<std::string> order;
  std::string ack;
  for (const auto& c : svc_.Log("bob")) {
    if (c.cmd == "SendMsgToPeer" || c.cmd == "RecvMsgFromPeerAck") order.push_back(c.cmd);
    if (c.cmd == "RecvMsgFromPeerAck") ack = c.content;
  }
  EXPECT_THAT(order, ElementsAre("SendMsgToPeer", "RecvMsgFromPeerAck"));
  EXPECT_EQ(R"({"MsgId":)" + std::to_string(id) + R"(,"FromUId":"alice"})", ack);
}

}  // namespace
}  // namespace rtm_test
