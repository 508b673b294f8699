// What the service does with server commands it must not trust: commands outside a session,
// repeated answers and reports, and fields that are missing, of the wrong JSON type or out of
// range. End to end against the in-process local test service, with `Push` injecting the
// commands; each injection is followed by a good message, whose arrival shows that everything
// before it on the connection has been read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/session_wire.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using local_service::Direction;
using local_service::FaultAction;
using local_service::PushForm;

constexpr char kMarker[] = R"({"MsgId":424242,"FromUId":"mark","MsgType":1,"MsgBody":"marker"})";

class RtmServerInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
  }
  // Pushes the marker message to `user` (`form` as the commands before it) and waits until
  // `client` has been handed it: every command pushed before it has then been handled.
  bool Settle(Client& client, const std::string& user, PushForm form = PushForm::kDefault) {
    auto markers = [&client] {
      size_t n = 0;
      for (const Event& e : client.log.Of(Event::kMessage)) n += e.text == "marker" ? 1 : 0;
      return n;
    };
    size_t before = markers();
    if (!svc_.Push(user, "RecvMsgFromPeer", kMarker, form)) return false;
    return Eventually([&] { return markers() > before; });
  }
  size_t StateCount(Client& client, int state) {
    size_t n = 0;
    for (const auto& s : client.log.States()) n += s.first == state ? 1 : 0;
    return n;
  }

  RunningFakeClock& clock_ = RunningFakeClock::Instance();
  local_service::LocalService svc_{ServiceOptions()};
};

TEST_F(RtmServerInputTest, CommandsBeforeTheLoginIsAnsweredAreDropped) {
  // The service's answer to "Login" is swallowed; the one the test pushes comes last.
  svc_.AddFault({.direction = Direction::kToClient,
                 .cmd = "Login",
                 .action = FaultAction::kDrop,
                 .times = 1});
  Client alice(svc_, "alice");
  ASSERT_EQ(0, alice->login("t", "alice"));
  // The service answers "Login" as it reads it, so once it is logged the answer is gone.
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 1, 5000));
  for (const char* cmd : {"AcsTokenDidExpire", "ForceOffline", "Logout", "RenewAcsToken"}) {
    ASSERT_TRUE(svc_.Push("alice", cmd, R"({"Code":0})"));
  }
  ASSERT_TRUE(svc_.Push("alice", "RecvMsgFromPeer",
                        R"({"MsgId":5,"FromUId":"eve","MsgType":1,"MsgBody":"early"})"));
  ASSERT_TRUE(svc_.Push("alice", "Login", R"({"Code":0})"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess));
  ASSERT_TRUE(Settle(alice, "alice"));
  EXPECT_EQ(0u, alice.log.Count(Event::kTokenExpired));
  EXPECT_EQ(0u, alice.log.Count(Event::kLogout));
  EXPECT_EQ(0u, alice.log.Count(Event::kRenewResult));
  EXPECT_EQ(0u, StateCount(alice, rtm::CONNECTION_STATE_ABORTED));
  auto messages = alice.log.Of(Event::kMessage);
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ("marker", messages[0].text);
}

TEST_F(RtmServerInputTest, SecondLoginAnswerDoesNotEndTheSession) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  ASSERT_TRUE(svc_.Push("alice", "Login", R"({"Code":1})"));
  ASSERT_TRUE(svc_.Push("alice", "Login", R"({"Code":0})"));
  ASSERT_TRUE(Settle(alice, "alice"));
  EXPECT_EQ(0u, alice.log.Count(Event::kLoginFailure));
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginSuccess));
  EXPECT_EQ(rtm::CONNECTION_STATE_CONNECTED, alice.log.States().back().first);
  // The session still stands: a send is accepted and answered.
  long long id = alice.Send("bob", "still here");
  ASSERT_NE(0, id);
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.ResultOf(id));
}

TEST_F(RtmServerInputTest, RepeatedForceOfflineAndTokenExpiryAreReportedOnce) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(svc_.Push("alice", "AcsTokenDidExpire", ""));
    ASSERT_TRUE(svc_.Push("alice", "ForceOffline", ""));
  }
  ASSERT_TRUE(Settle(alice, "alice"));
  EXPECT_EQ(1u, alice.log.Count(Event::kTokenExpired));
  EXPECT_EQ(1u, StateCount(alice, rtm::CONNECTION_STATE_ABORTED));
}

TEST_F(RtmServerInputTest, MsgStatusOtherThan0IsDeliveredAndOneWithoutAnIntegerStatusIsNoResult) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  constexpr int kNone = -1;
  struct Case {
    const char* status;  // null: no "Status" key
    bool offline;
    int result;
  } const cases[] = {
      {"1", false, rtm::PEER_MESSAGE_ERR_OK},
      {"2", false, rtm::PEER_MESSAGE_ERR_OK},
      {"7", true, rtm::PEER_MESSAGE_ERR_OK},
      {"-1", false, rtm::PEER_MESSAGE_ERR_OK},
      {"4294967297", false, rtm::PEER_MESSAGE_ERR_OK},
      {"0", false, rtm::PEER_MESSAGE_ERR_PEER_UNREACHABLE},
      {"0", true, rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER},
      {R"("1")", false, kNone},
      {"null", false, kNone},
      {"1.5", false, kNone},
      {nullptr, false, kNone},
  };
  // The service's own answers (peer offline) are dropped; the test pushes each form.
  svc_.AddFault({.direction = Direction::kToClient,
                 .user = "alice",
                 .cmd = "MsgStatus",
                 .action = FaultAction::kDrop,
                 .times = static_cast<int>(std::size(cases))});
  std::vector<long long> ids;
  for (const Case& c : cases) {
    ids.push_back(alice.Send("bob", "judged", c.offline));
    ASSERT_NE(0, ids.back());
  }
  ASSERT_TRUE(svc_.WaitForCommand("alice", "SendMsgToPeer", ids.size(), 5000));
  for (size_t i = 0; i < ids.size(); ++i) {
    std::string body = R"({"MsgId":)" + std::to_string(ids[i]);
    if (cases[i].status != nullptr) body += R"(,"Status":)" + std::string(cases[i].status);
    ASSERT_TRUE(svc_.Push("alice", "MsgStatus", body + "}"));
  }
  ASSERT_TRUE(Settle(alice, "alice"));
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(cases[i].result, alice.ResultOf(ids[i], 0)) << "Status " << cases[i].status;
  }
  // The sends without an answer end as time-outs, once each.
  clock_.Jump(10100);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (cases[i].result == kNone) EXPECT_EQ(rtm::PEER_MESSAGE_ERR_TIMEOUT, alice.ResultOf(ids[i]));
  }
  ASSERT_TRUE(Settle(alice, "alice"));
  EXPECT_EQ(ids.size(), alice.log.Count(Event::kSendResult));
}

TEST_F(RtmServerInputTest, ReceivedMessagesWithImpossibleFieldsAreRefusedAndNotAcknowledged) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  const std::string too_long(vy::kMaxMessageBytes, 'x');
  const std::vector<std::string> bad = {
      R"({"FromUId":"eve","MsgType":1,"MsgBody":"no id"})",
      R"({"MsgId":"6","FromUId":"eve","MsgType":1,"MsgBody":"string id"})",
      R"({"MsgId":-6,"FromUId":"eve","MsgType":1,"MsgBody":"negative id"})",
      R"({"MsgId":1.5,"FromUId":"eve","MsgType":1,"MsgBody":"fraction id"})",
      R"({"MsgId":6,"FromUId":"","MsgType":1,"MsgBody":"no sender"})",
      R"({"MsgId":6,"FromUId":7,"MsgType":1,"MsgBody":"number sender"})",
      R"({"MsgId":6,"FromUId":["eve"],"MsgType":1,"MsgBody":"array sender"})",
      R"({"MsgId":6,"FromUId":"eve","MsgBody":"no type"})",
      R"({"MsgId":6,"FromUId":"eve","MsgType":0,"MsgBody":"type 0"})",
      R"({"MsgId":6,"FromUId":"eve","MsgType":3,"MsgBody":"type 3"})",
      R"({"MsgId":6,"FromUId":"eve","MsgType":"1","MsgBody":"string type"})",
      R"({"MsgId":6,"FromUId":"eve","MsgType":1,"MsgBody":null})",
      R"({"MsgId":6,"FromUId":"eve","MsgType":1,"MsgBody":{"a":1}})",
      R"({"MsgId":6,"FromUId":"eve","MsgType":1,"MsgBody":")" + too_long + R"("})",
      R"([{"MsgId":6,"FromUId":"eve","MsgType":1,"MsgBody":"array"}])",
  };
  for (const std::string& body : bad) ASSERT_TRUE(svc_.Push("alice", "RecvMsgFromPeer", body));
  ASSERT_TRUE(Settle(alice, "alice"));
  auto messages = alice.log.Of(Event::kMessage);
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ("marker", messages[0].text);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "RecvMsgFromPeerAck", 1, 5000));
  usleep(50000);
  size_t acks = 0;
  for (const auto& c : svc_.Log("alice")) acks += c.cmd == "RecvMsgFromPeerAck" ? 1 : 0;
  EXPECT_EQ(1u, acks);
}

TEST_F(RtmServerInputTest, RenewAnswersAreReportedOncePerRequest) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login("old"));
  ASSERT_TRUE(svc_.Push("alice", "RenewAcsToken", R"({"Code":0})"));
  ASSERT_TRUE(Settle(alice, "alice"));
  EXPECT_EQ(0u, alice.log.Count(Event::kRenewResult));
  // The service's answer is repeated: the second copy is not reported.
  svc_.AddFault({.direction = Direction::kToClient,
                 .user = "alice",
                 .cmd = "RenewAcsToken",
                 .action = FaultAction::kDuplicate,
                 .times = 1});
  ASSERT_EQ(0, alice->renewToken("new"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult));
  ASSERT_TRUE(Settle(alice, "alice"));
  auto results = alice.log.Of(Event::kRenewResult);
  ASSERT_EQ(1u, results.size());
  EXPECT_EQ("new", results[0].peer);
  EXPECT_EQ(rtm::RENEW_TOKEN_ERR_OK, results[0].a);
}

TEST_F(RtmServerInputTest, ServerTimeThatIsAbsentOrNegativeReadsAsZero) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  for (const char* ts : {"", R"(,"SvrTS":-5)", R"(,"SvrTS":"17")", R"(,"SvrTS":1700000000123)"}) {
    ASSERT_TRUE(svc_.Push("alice", "RecvMsgFromPeer",
                          std::string(R"({"MsgId":8,"FromUId":"eve","MsgType":1,"MsgBody":"t")") +
                              ts + "}"));
  }
  ASSERT_TRUE(Settle(alice, "alice"));
  auto messages = alice.log.Of(Event::kMessage);
  ASSERT_EQ(5u, messages.size());
  EXPECT_EQ(0, messages[0].server_time);
  EXPECT_EQ(0, messages[1].server_time);
  EXPECT_EQ(0, messages[2].server_time);
  EXPECT_EQ(1700000000123LL, messages[3].server_time);
}

TEST_F(RtmServerInputTest, LoginAnswerOnAConnectionBeingReplacedIsDropped) {
  // The service's own answer is swallowed; the test sends a refusal and an acceptance in one
  // write. The handler logs in again from inside the refusal, so the acceptance arrives on a
  // connection that the new login is about to replace.
  svc_.AddFault({.direction = Direction::kToClient,
                 .cmd = "Login",
                 .action = FaultAction::kDrop,
                 .times = 1});
  Client alice(svc_, "alice");
  std::atomic<int> relogin{-100};
  std::atomic<int> connections_at_success{-1};
  alice.log.SetOnEvent([&](const Event& e) {
    if (e.kind == Event::kLoginFailure) relogin = alice->login(nullptr, "alice");
    if (e.kind == Event::kLoginSuccess) connections_at_success = svc_.connections_accepted();
  });
  clock_.Jump(1001);
  ASSERT_EQ(0, alice->login("t", "alice"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 1, 5000));
  svc_.Coalesce("alice", 2);
  ASSERT_TRUE(svc_.Push("alice", "Login", R"({"Code":1})"));
  ASSERT_TRUE(svc_.Push("alice", "Login", R"({"Code":0})"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess));
  ASSERT_TRUE(Settle(alice, "alice"));
  alice.log.SetOnEvent(nullptr);
  EXPECT_EQ(0, relogin.load());
  // The success came from the new connection's own answer.
  EXPECT_EQ(2, connections_at_success.load());
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginSuccess));
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginFailure));
  EXPECT_EQ(rtm::CONNECTION_STATE_CONNECTED, alice.log.States().back().first);
}

}  // namespace
}  // namespace rtm_test
