// Login, reconnection and the session commands, end to end against the in-process local test
// service. Time-outs are passed with the test clock's jumps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rtc_base/helpers.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using local_service::GatewayMode;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

constexpr int kConnecting = rtm::CONNECTION_STATE_CONNECTING;
constexpr int kConnected = rtm::CONNECTION_STATE_CONNECTED;
constexpr int kDisconnected = rtm::CONNECTION_STATE_DISCONNECTED;
constexpr int kReconnecting = rtm::CONNECTION_STATE_RECONNECTING;
constexpr int kAborted = rtm::CONNECTION_STATE_ABORTED;

class RtmSessionTest : public ServiceTest {};

TEST_F(RtmSessionTest, LoginReportsConnectingThenConnectedAndKeepsTheConnectionAlive) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login("tok-a"));
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2)));
  EXPECT_TRUE(svc_.IsOnline("alice"));
  auto login = Received("alice", "Login");
  ASSERT_EQ(1u, login.size());
  EXPECT_THAT(login[0].envelope_keys,
              ElementsAre("Cmd", "AppId", "Encrypt", "TimeStamp", "Nonce", "Signature", "Content"));
  EXPECT_THAT(login[0].content, HasSubstr(R"({"UserId":"alice","UserSId":")"));
  EXPECT_THAT(login[0].content, HasSubstr(R"(","AcsToken":"tok-a","SessionId":")"));
  EXPECT_THAT(login[0].content,
              HasSubstr(R"(","SdkVer":"1.0.2.0","ClientSyncCall":true,"ListenUserStatus":true})"));
  // A KeepAlive right after the login, then one every 5 s.
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, 5000));
  Pass(5000);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 2, 5000));
  EXPECT_EQ(1, svc_.gateway_requests());
}

TEST_F(RtmSessionTest, LoginChecksItsArgumentsAndRefusesASecondLogin) {
  rtm::IRtmService* raw = createRtmService();
  EXPECT_EQ(rtm::LOGIN_ERR_NOT_INITIALIZED, raw->login("t", "alice"));
  raw->release(true);
  Client alice(svc_, "alice");
  EXPECT_EQ(rtm::LOGIN_ERR_INVALID_ARGUMENT, alice->login("t", nullptr));
  EXPECT_EQ(rtm::LOGIN_ERR_INVALID_ARGUMENT, alice->login("t", ""));
  EXPECT_EQ(0, alice->login("t", "alice"));
  EXPECT_EQ(rtm::LOGIN_ERR_ALREADY_LOGGED_IN, alice->login("t", "alice"));
  EXPECT_TRUE(alice.log.WaitFor(Event::kLoginSuccess));
}

TEST_F(RtmSessionTest, ThirdLoginWithinOneSecondIsRefusedAndLeavesNoUser) {
  Client alice(svc_, "alice");
  EXPECT_EQ(0, alice->login("t", "alice"));
  EXPECT_EQ(0, alice->logout());
  EXPECT_EQ(0, alice->login("t", "alice"));
  EXPECT_EQ(0, alice->logout());
  EXPECT_EQ(rtm::LOGIN_ERR_TOO_OFTEN, alice->login("t", "alice"));
  // No user was kept: once the window has passed a login is accepted.
  clock_.Jump(1001);
  EXPECT_EQ(0, alice->login("t", "alice"));
  EXPECT_TRUE(alice.log.WaitFor(Event::kLoginSuccess));
}

TEST_F(RtmSessionTest, LoginWithANullTokenUsesTheTokenGivenBefore) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login("first-token"));
  alice->logout();
  ASSERT_TRUE(alice.Login(nullptr));
  auto login = Received("alice", "Login");
  ASSERT_EQ(2u, login.size());
  EXPECT_THAT(login[1].content, HasSubstr(R"("AcsToken":"first-token")"));
}

TEST_F(RtmSessionTest, GatewayRefusalIsReportedOnceWithItsCode) {
  svc_.SetGatewayMode(GatewayMode::kCode, 7);
  Client alice(svc_, "alice");
  ASSERT_EQ(0, alice->login("t", "alice"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginFailure));
  EXPECT_EQ(7, alice.log.Of(Event::kLoginFailure)[0].a);
  // Past the login deadline: no second report for the same attempt, and no new lookup.
  Pass(13000);
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginFailure));
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kDisconnected, 3)));
  EXPECT_EQ(1, svc_.gateway_requests());
  // The user id was cleared: a new login is accepted.
  svc_.SetGatewayMode(GatewayMode::kNormal);
  EXPECT_TRUE(alice.Login());
}

TEST_F(RtmSessionTest, LoginRefusedByTheServerIsReportedOnceWithCode1) {
  local_service::FaultRule rule;
  rule.direction = local_service::Direction::kToClient;
  rule.cmd = "Login";
  rule.action = local_service::FaultAction::kReplaceField;
  rule.value = 5;
  svc_.AddFault(rule);
  Client alice(svc_, "alice");
  ASSERT_EQ(0, alice->login("t", "alice"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginFailure));
  EXPECT_EQ(rtm::LOGIN_ERR_REJECTED, alice.log.Of(Event::kLoginFailure)[0].a);
  Pass(13000);
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginFailure));
  EXPECT_EQ(0u, alice.log.Count(Event::kLoginSuccess));
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kDisconnected, 3)));
  // The teardown closed the connection and nothing reconnected.
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
  EXPECT_EQ(1, svc_.connections_accepted());
}

TEST_F(RtmSessionTest, UnansweredLoginEndsAtTheDeadlineAndTearsTheConnectionDown) {
  local_service::FaultRule rule;
  rule.direction = local_service::Direction::kToClient;
  rule.cmd = "Login";
  rule.action = local_service::FaultAction::kDrop;
  svc_.AddFault(rule);
  Client alice(svc_, "alice");
  ASSERT_EQ(0, alice->login("t", "alice"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 1, 5000));
  Pass(12500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginFailure));
  EXPECT_EQ(rtm::LOGIN_ERR_TIMEOUT, alice.log.Of(Event::kLoginFailure)[0].a);
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kDisconnected, 4)));
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
  Pass(5000);
  EXPECT_EQ(1, svc_.connections_accepted());
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginFailure));
}

TEST_F(RtmSessionTest, SilentGatewayIsAskedAgainUntilTheLoginDeadline) {
  svc_.SetGatewayMode(GatewayMode::kNoAnswer, 60000);
  Client alice(svc_, "alice");
  ASSERT_EQ(0, alice->login("t", "alice"));
  ASSERT_TRUE(Eventually([&] { return svc_.gateway_requests() == 1; }));
  // 3 s of waiting, then a new lookup 2 s later.
  Pass(5500);
  EXPECT_TRUE(Eventually([&] { return svc_.gateway_requests() == 2; }));
  EXPECT_EQ(0u, alice.log.Count(Event::kLoginFailure));
  Pass(7000);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginFailure));
  EXPECT_EQ(rtm::LOGIN_ERR_TIMEOUT, alice.log.Of(Event::kLoginFailure)[0].a);
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kDisconnected, 4)));
  int requests = svc_.gateway_requests();
  Pass(6000);
  EXPECT_EQ(requests, svc_.gateway_requests());
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginFailure));
}

TEST_F(RtmSessionTest, GatewayAnswersWithoutAnAddressAreRetried) {
  for (GatewayMode mode :
       {GatewayMode::kEmptyBody, GatewayMode::kInvalidJson, GatewayMode::kNoType1Address}) {
    svc_.Reset();
    const int base = svc_.gateway_requests();
    svc_.SetGatewayMode(mode, 0, 1);
    Client alice(svc_, "alice");
    ASSERT_EQ(0, alice->login("t", "alice"));
    ASSERT_TRUE(Eventually([&] { return svc_.gateway_requests() == base + 1; }));
    // Time jumps only until the second lookup is asked for: a slow build must not see its
    // answer overtaken by the 3000 ms gateway wait.
    for (int64_t t = 0; t < 5500 && svc_.gateway_requests() < base + 2; t += 500) {
      clock_.Jump(500);
      usleep(3000);
    }
    ASSERT_TRUE(Eventually([&] { return svc_.gateway_requests() == base + 2; }));
    ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess)) << static_cast<int>(mode);
    EXPECT_EQ(base + 2, svc_.gateway_requests());
    EXPECT_EQ(0u, alice.log.Count(Event::kLoginFailure));
    clock_.Jump(1001);  // the next round's login passes the limiter
  }
}

TEST_F(RtmSessionTest, LostConnectionIsReportedOnceAndTheUserLogsInAgain) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  svc_.Close("alice", local_service::CloseMode::kRst);
  ASSERT_TRUE(alice.log.WaitForState(kReconnecting, rtm::CONNECTION_CHANGE_REASON_INTERRUPTED));
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2),
                                              Pair(kReconnecting, 5), Pair(kConnected, 2)));
  EXPECT_EQ(2, svc_.gateway_requests());
  // A second loss is reported again.
  svc_.Close("alice", local_service::CloseMode::kFin);
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 3));
  auto states = alice.log.States();
  ASSERT_EQ(6u, states.size());
  EXPECT_EQ(std::make_pair(kReconnecting, 5), states[4]);
  EXPECT_EQ(std::make_pair(kConnected, 2), states[5]);
}

TEST_F(RtmSessionTest, RefusedConnectionsAreReportedOnceAndRetried) {
  svc_.SetGatewayMode(GatewayMode::kClosedPort, 0, 2);
  Client alice(svc_, "alice");
  ASSERT_EQ(0, alice->login("t", "alice"));
  ASSERT_TRUE(alice.log.WaitForState(kReconnecting, rtm::CONNECTION_CHANGE_REASON_LOGIN_FAILURE));
  Pass(2500);
  ASSERT_TRUE(Eventually([&] { return svc_.gateway_requests() == 2; }));
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess));
  EXPECT_THAT(alice.log.States(),
              ElementsAre(Pair(kConnecting, 1), Pair(kReconnecting, 3), Pair(kConnected, 2)));
}

// Draws of `failing_len` bytes fail (every draw when 0); the others come from the secure
// generator. The UserSId is drawn 32 bytes at once, envelope nonces 64 bytes at a time.
class FailingGenerator : public rtc::RandomGenerator {
 public:
  explicit FailingGenerator(size_t failing_len) : failing_len_(failing_len) {}
  bool Init(const void*, size_t) override { return true; }
  bool Generate(void* buf, size_t len) override {
    return failing_len_ != 0 && len != failing_len_ && secure_.Generate(buf, len);
  }

 private:
  const size_t failing_len_;
  rtc::SecureRandomGenerator secure_;
};

TEST_F(RtmSessionTest, LoginWithoutItsRandomTextsIsNotSentAndTheConnectionIsRetried) {
  struct RestoreGenerator {
    ~RestoreGenerator() { rtc::SetRandomTestMode(false); }
  } restore;
  // alice's UserSId cannot be made, bob's Login nonce cannot.
  for (auto [user, failing_len] : {std::pair<const char*, size_t>{"alice", 0}, {"bob", 64}}) {
    SCOPED_TRACE(user);
    rtc::SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>(failing_len));
    Client client(svc_, user);
    ASSERT_EQ(0, client->login("t", user));
    ASSERT_TRUE(client.log.WaitForState(kReconnecting, rtm::CONNECTION_CHANGE_REASON_LOGIN_FAILURE));
    EXPECT_TRUE(Received(user, "Login").empty());
    rtc::SetRandomTestMode(false);
    Pass(2500);
    ASSERT_TRUE(client.log.WaitFor(Event::kLoginSuccess));
    EXPECT_THAT(client.log.States(),
                ElementsAre(Pair(kConnecting, 1), Pair(kReconnecting, 3), Pair(kConnected, 2)));
    auto logins = Received(user, "Login");
    ASSERT_EQ(1u, logins.size());
    EXPECT_THAT(logins[0].content, ::testing::ContainsRegex(R"("UserSId":"[A-Za-z0-9]{32}")"));
    EXPECT_THAT(logins[0].raw, ::testing::ContainsRegex(R"("Nonce":"[A-Za-z0-9]{10}")"));
  }
  EXPECT_TRUE(svc_.Warnings().empty());
}

TEST_F(RtmSessionTest, ForceOfflineAbortsWithoutReconnecting) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(LogInAndSettle(alice));
  ASSERT_TRUE(svc_.Kick("alice"));
  ASSERT_TRUE(alice.log.WaitForState(kAborted, rtm::CONNECTION_CHANGE_REASON_REMOTE_LOGIN));
  Pass(5000);
  EXPECT_THAT(alice.log.States(),
              ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2), Pair(kAborted, 8)));
  EXPECT_EQ(1, svc_.gateway_requests());
  EXPECT_FALSE(svc_.IsOnline("alice"));
  // The user id stays until the app logs out.
  EXPECT_EQ(rtm::LOGIN_ERR_ALREADY_LOGGED_IN, alice->login("t", "alice"));
  alice->logout();
  EXPECT_TRUE(alice.Login());
}

TEST_F(RtmSessionTest, ExpiredTokenIsReportedWithoutReconnecting) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(LogInAndSettle(alice));
  ASSERT_TRUE(svc_.Expire("alice"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kTokenExpired));
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
  Pass(5000);
  EXPECT_EQ(1, svc_.gateway_requests());
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2)));
}

TEST_F(RtmSessionTest, NetCheckAnsweredKeepsTheConnection) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  EXPECT_EQ(0, alice->setParameters(R"({"Cmd":"LocalNetChanged","netType":0})"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "CheckNetStatus", 1, 5000));
  EXPECT_THAT(Received("alice", "CheckNetStatus")[0].content, HasSubstr(R"({"Time":)"));
  Pass(5000);
  EXPECT_EQ(0u, alice.log.Count(Event::kLoginFailure));
  EXPECT_EQ(1, svc_.connections_accepted());
  EXPECT_EQ(2u, alice.log.States().size());
}

TEST_F(RtmSessionTest, NetCheckWithoutAnswerDropsTheConnectionAndLogsInAgain) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  local_service::FaultRule rule;
  rule.direction = local_service::Direction::kFromClient;
  rule.cmd = "CheckNetStatus";
  rule.action = local_service::FaultAction::kDrop;
  svc_.AddFault(rule);
  // Other network types, and a net-check while not logged in, send nothing.
  EXPECT_EQ(0, alice->setParameters(R"({"Cmd":"LocalNetChanged","netType":2})"));
  EXPECT_EQ(0, alice->setParameters(R"({"Cmd":"LocalNetChanged","netType":0})"));
  Pass(4500);
  ASSERT_TRUE(alice.log.WaitForState(kReconnecting, rtm::CONNECTION_CHANGE_REASON_INTERRUPTED));
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  EXPECT_EQ(2, svc_.connections_accepted());
}

TEST_F(RtmSessionTest, LogoutReachesTheServerAndReportsDisconnected) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  EXPECT_EQ(0, alice->logout());
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Logout", 1, 5000));
  EXPECT_EQ(kDisconnected, alice.log.States().back().first);
  EXPECT_EQ(rtm::CONNECTION_CHANGE_REASON_LOGOUT, alice.log.States().back().second);
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
  // No re-login follows.
  Pass(3000);
  EXPECT_EQ(1, svc_.gateway_requests());
}

TEST_F(RtmSessionTest, StateIsReportedOnlyWhenItOrItsReasonChanges) {
  EventLog log;
  rtm::IRtmService* idle = createRtmService();
  ASSERT_EQ(0, idle->initialize(kAppId, &log));
  EXPECT_EQ(0, idle->logout());
  idle->release(true);
  EXPECT_TRUE(log.States().empty());

  rtm::IRtmService* service = NewService(svc_, &log);
  ASSERT_EQ(0, service->login("tok", "alice"));
  ASSERT_TRUE(log.WaitFor(Event::kLoginSuccess));
  EXPECT_EQ(0, service->logout());
  EXPECT_EQ(0, service->logout());
  service->release(true);
  EXPECT_THAT(log.States(),
              ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2), Pair(kDisconnected, 6)));
}

TEST_F(RtmSessionTest, LogoutFromInsideItsOwnReportIsNotRepeated) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  alice.log.SetOnEvent([&alice](const Event& e) {
    if (e.kind == Event::kState && e.a == kDisconnected) alice->logout();
  });
  EXPECT_EQ(0, alice->logout());
  alice.log.SetOnEvent(nullptr);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Logout", 1, 5000));
  usleep(50000);
  EXPECT_EQ(1u, Received("alice", "Logout").size());
  EXPECT_EQ(3u, alice.log.States().size());
}

TEST_F(RtmSessionTest, ALoginEndedByLogoutOrReleaseIsReportedOnceWith102) {
  svc_.AddFault(DropToClient("", "Login"));
  Client alice(svc_, "alice");
  ASSERT_EQ(0, alice->login("t", "alice"));
  EXPECT_EQ(rtm::LOGIN_ERR_ALREADY_LOGGED_IN, alice->login("t", "alice"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 1, 5000));
  EXPECT_EQ(0, alice->logout());
  // From inside the login's own report.
  alice.log.SetOnEvent([&alice](const Event& e) {
    if (e.kind == Event::kState && e.a == kConnecting) alice->logout();
  });
  EXPECT_EQ(0, alice->login("t", "alice"));
  alice.log.SetOnEvent(nullptr);
  EventLog log;
  rtm::IRtmService* released = NewService(svc_, &log);
  ASSERT_EQ(0, released->login("t", "bob"));
  released->release(true);
  Pass(13000);  // no time-out follows
  auto outcomes = [](EventLog& events) {
    std::vector<std::string> out;
    for (const Event& e : events.Events()) {
      if (e.kind == Event::kState) out.push_back("state " + std::to_string(e.a));
      if (e.kind == Event::kLoginFailure) out.push_back("failure " + std::to_string(e.a));
    }
    return out;
  };
  EXPECT_THAT(outcomes(alice.log), ElementsAre("state 2", "state 1", "failure 102", "state 2",
                                               "state 1", "failure 102"));
  EXPECT_THAT(outcomes(log), ElementsAre("state 2", "state 1", "failure 102"));
}

TEST_F(RtmSessionTest, LoginFromInsideALoginFailureStands) {
  svc_.SetGatewayMode(GatewayMode::kCode, 7, 1);
  Client alice(svc_, "alice");
  alice.log.SetOnEvent([&alice](const Event& e) {
    if (e.kind == Event::kLoginFailure) EXPECT_EQ(0, alice->login("t", "alice"));
  });
  ASSERT_EQ(0, alice->login("t", "alice"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess));
  alice.log.SetOnEvent(nullptr);
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kDisconnected, 3),
                                              Pair(kConnecting, 1), Pair(kConnected, 2)));
  Pass(13000);
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginFailure));
  EXPECT_TRUE(svc_.IsOnline("alice"));
}

TEST_F(RtmSessionTest, EachRenewalIsAnsweredOnceWithItsOwnTokenAndOnlyAnAcceptedOneIsKept) {
  Client alice(svc_, "alice");
  EXPECT_EQ(rtm::RENEW_TOKEN_ERR_INVALID_ARGUMENT, alice->renewToken(nullptr));
  EXPECT_EQ(rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN, alice->renewToken("new"));
  ASSERT_TRUE(LogInAndSettle(alice));
  // Two renewals in flight at once, then a third refused by the limiter.
  EXPECT_EQ(0, alice->renewToken("tok-new"));
  EXPECT_EQ(0, alice->renewToken("tok-new2"));
  EXPECT_EQ(rtm::RENEW_TOKEN_ERR_TOO_OFTEN, alice->renewToken("tok-new3"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult, 4));
  Pass(1500);
  // The server refuses an empty token (Code 1); the token taken before stays.
  EXPECT_EQ(0, alice->renewToken(""));
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult, 5));
  std::vector<std::pair<std::string, int>> results;
  for (const Event& e : alice.log.Of(Event::kRenewResult)) results.emplace_back(e.peer, e.a);
  EXPECT_THAT(results, ElementsAre(Pair("<null>", rtm::RENEW_TOKEN_ERR_INVALID_ARGUMENT),
                                   Pair("new", rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN),
                                   Pair("tok-new", 0), Pair("tok-new2", 0), Pair("", 1)));
  EXPECT_EQ(R"({"AcsToken":"tok-new"})", Received("alice", "RenewAcsToken")[0].content);
  // A lost connection logs in again with the last token the server took.
  svc_.Close("alice", local_service::CloseMode::kFin);
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  auto login = Received("alice", "Login");
  ASSERT_EQ(2u, login.size());
  EXPECT_THAT(login[1].content, HasSubstr(R"("AcsToken":"tok-new2")"));
  EXPECT_EQ(5u, alice.log.Count(Event::kRenewResult));
}

TEST_F(RtmSessionTest, UnansweredRenewalsEndOnceWithTheConnectionOrTheLogout) {
  local_service::FaultRule no_answer;
  no_answer.cmd = "RenewAcsToken";
  svc_.AddFault(no_answer);
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login("old"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, 5000));
  EXPECT_EQ(0, alice->renewToken("lost"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "RenewAcsToken", 1, 5000));
  svc_.Close("alice", local_service::CloseMode::kFin);
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult));
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  EXPECT_THAT(Received("alice", "Login")[1].content, HasSubstr(R"("AcsToken":"old")"));

  EXPECT_EQ(0, alice->renewToken("ended"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "RenewAcsToken", 2, 5000));
  EXPECT_EQ(0, alice->logout());
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult, 2));
  Pass(1000);
  std::vector<std::pair<std::string, int>> results;
  for (const Event& e : alice.log.Of(Event::kRenewResult)) results.emplace_back(e.peer, e.a);
  EXPECT_THAT(results, ElementsAre(Pair("lost", rtm::RENEW_TOKEN_ERR_FAILURE),
                                   Pair("ended", rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN)));
}

TEST_F(RtmSessionTest, RenewalUnansweredForTenSecondsFailsOnceAndItsLateAnswerIsDropped) {
  svc_.AddFault(DropToClient("alice", "RenewAcsToken", 1));
  Client alice(svc_, "alice");
  ASSERT_TRUE(LogInAndSettle(alice));
  EXPECT_EQ(0, alice->renewToken("slow"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "RenewAcsToken", 1, 5000));
  Pass(9500);
  EXPECT_EQ(0u, alice.log.Count(Event::kRenewResult));
  Pass(1000);
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult));
  // The answer comes after all; a message pushed behind it shows it has been read.
  svc_.Push("alice", "RenewAcsToken", R"({"Code":0})");
  svc_.Push("alice", "RecvMsgFromPeer", R"({"MsgId":1,"FromUId":"bob","MsgType":1,"MsgBody":"x"})");
  ASSERT_TRUE(alice.log.WaitFor(Event::kMessage));
  EXPECT_EQ(0, alice->renewToken("next"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult, 2));
  std::vector<std::pair<std::string, int>> results;
  for (const Event& e : alice.log.Of(Event::kRenewResult)) results.emplace_back(e.peer, e.a);
  EXPECT_THAT(results, ElementsAre(Pair("slow", rtm::RENEW_TOKEN_ERR_FAILURE), Pair("next", 0)));
  svc_.Close("alice", local_service::CloseMode::kFin);
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  EXPECT_THAT(Received("alice", "Login")[1].content, HasSubstr(R"("AcsToken":"next")"));
  EXPECT_EQ(2u, alice.log.Count(Event::kRenewResult));
}

TEST_F(RtmSessionTest, SetParametersRefusesWhatItCannotRead) {
  Client alice(svc_, "alice");
  EXPECT_EQ(-1, alice->setParameters(nullptr));
  EXPECT_EQ(-1, alice->setParameters("{"));
  EXPECT_EQ(-1, alice->setParameters(R"({"Cmd":"Unknown"})"));
  EXPECT_EQ(-1, alice->setParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"x","Port":0})"));
  // The refused port left the working gateway in place.
  EXPECT_TRUE(alice.Login());
}

constexpr char kExitChildVariable[] = "VORTM_SESSION_EXIT_CHILD";

// A process that ends while a service it never released is looking up its gateway, or is
// logged in, exits cleanly: the worker stops first, then the service and its requests go.
TEST(RtmSessionExitTest, ProcessExitsCleanlyWithAnUnreleasedSessionInProgress) {
  if (const char* mode = getenv(kExitChildVariable)) {
    // Built before the worker, so destroyed after it.
    static local_service::LocalService svc(ServiceOptions());
    static EventLog log;
    if (!svc.Start()) _exit(3);
    const bool lookup = std::string(mode) == "lookup";
    if (lookup) svc.SetGatewayMode(GatewayMode::kNoAnswer, 60000);
    rtm::IRtmService* service = createRtmService();
    if (service->initialize(kAppId, &log) != 0) _exit(4);
    std::string params =
        std::string(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")") + svc.address() + "\"}";
    service->setParameters(params.c_str());
    if (service->login("t", "alice") != 0) _exit(5);
    if (lookup) {
      if (!Eventually([] { return svc.gateway_requests() == 1; })) _exit(6);
    } else if (!log.WaitFor(Event::kLoginSuccess)) {
      _exit(7);
    }
    // The service's HTTP library keeps function-local statics that exit() destroys before the
    // static service; stopping it first keeps its threads off them. The library's session is
    // still in progress (lookup or reconnect) when the process exits.
    svc.Stop();
    std::exit(0);
  }
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  for (const char* mode : {"lookup", "connected"}) {
    std::string command = std::string(kExitChildVariable) + "=" + mode + " " + self +
                          " --gtest_filter=RtmSessionExitTest.* >/dev/null 2>&1";
    int status = system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << mode;
    EXPECT_EQ(0, WEXITSTATUS(status)) << mode;
  }
}

}  // namespace
}  // namespace rtm_test
