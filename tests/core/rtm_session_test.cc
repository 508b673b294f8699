// Login, reconnection, token renewal and the session's commands, and public calls made from
// inside the service's callbacks, end to end against the in-process local test service.
// Time-outs pass on the test clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "rtc_base/threads/message_queue.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using local_service::CloseMode;
using local_service::FaultAction;
using local_service::GatewayMode;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

constexpr int kConnecting = rtm::CONNECTION_STATE_CONNECTING;
constexpr int kConnected = rtm::CONNECTION_STATE_CONNECTED;
constexpr int kDisconnected = rtm::CONNECTION_STATE_DISCONNECTED;
constexpr int kReconnecting = rtm::CONNECTION_STATE_RECONNECTING;
constexpr int kAborted = rtm::CONNECTION_STATE_ABORTED;

class RtmSessionTest : public ServiceTest {
 protected:
  // The codes of the events of `kind` with the text each carries ("peer"), in order.
  static std::vector<std::pair<std::string, int>> Results(EventLog& log, Event::Kind kind) {
    std::vector<std::pair<std::string, int>> out;
    for (const Event& e : log.Of(kind)) out.emplace_back(e.peer, e.a);
    return out;
  }
};

TEST_F(RtmSessionTest, LoginReportsConnectingThenConnectedAndKeepsTheConnectionAlive) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2)));
  // A KeepAlive right after the login, then one every 5 s.
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, 5000));
  clock_.Pause();
  Pass(5000);
  EXPECT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 2, 5000));
  EXPECT_EQ(1, svc_.gateway_requests());
}

// A malformed gateway host or port is refused and the gateway in force stays. A network report
// answers -1 whatever it does: with net type 0 while logged in it probes the connection, which
// is dropped as lost when the server does not answer.
TEST_F(RtmSessionTest, SetParametersRefusesAMalformedGatewayAndAnswersNetworkReportsWithMinusOne) {
  Client alice(svc_, "alice");
  for (const std::string& text : {GatewayParams("[::1", 7080), GatewayParams("[127.0.0.1]", 7080),
                                  GatewayParams(svc_.address(), 0)}) {
    EXPECT_EQ(-1, alice->setParameters(text.c_str())) << text;
  }
  const char kNetGone[] = R"({"Cmd":"LocalNetChanged","netType":0})";
  EXPECT_EQ(-1, alice->setParameters(kNetGone));  // logged out: nothing to probe
  ASSERT_TRUE(LogInAndSettle(alice));             // through the gateway set first
  EXPECT_EQ(-1, alice->setParameters(R"({"Cmd":"LocalNetChanged","netType":2})"));
  svc_.AddFault(DropToClient("alice", "CheckNetStatusAck"));
  EXPECT_EQ(-1, alice->setParameters(kNetGone));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "CheckNetStatus", 1, 5000));
  clock_.Pause();
  Pass(4500, [&] { return alice.log.Count(Event::kState) == 3; });
  ASSERT_TRUE(alice.log.WaitFor(Event::kState, 3));
  EXPECT_THAT(alice.log.States(),
              ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2), Pair(kReconnecting, 5)));
  EXPECT_EQ(1u, Received("alice", "CheckNetStatus").size());
}

// Each way a login fails is reported once with its code; no lookup or connection follows, and
// the user id is cleared for the next login.
TEST_F(RtmSessionTest, FailedLoginIsReportedOnceWithItsCodeAndEndsTheAttempt) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int code, reason, lookups;
    std::function<bool()> waiting;  // for a time-out: the attempt is waiting for an answer
  };
  const Case cases[] = {
      {"gateway refuses", [&] { svc_.SetGatewayMode(GatewayMode::kCode, 7); }, 7, 3, 1},
      {"server refuses",
       [&] { svc_.AddFault(Fault("", "Login", FaultAction::kReplaceField, -1, 5)); },
       rtm::LOGIN_ERR_REJECTED, 3, 1},
      {"server silent", [&] { svc_.AddFault(DropToClient("", "Login")); }, rtm::LOGIN_ERR_TIMEOUT,
       4, 1, [&] { return svc_.WaitForCommand("alice", "Login", 1, 5000); }},
      // 3 s of waiting for an answer, then a new lookup 2 s later, until the deadline.
      {"gateway silent", [&] { svc_.SetGatewayMode(GatewayMode::kNoAnswer, 60000); },
       rtm::LOGIN_ERR_TIMEOUT, 4, 2,
       [&] { return Eventually([&] { return svc_.gateway_requests() > 0; }); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    svc_.Reset();
    c.arrange();
    const int lookups = svc_.gateway_requests();
    Client alice(svc_, "alice");
    ASSERT_EQ(0, alice->login("t", "alice"));
    if (c.waiting) {
      ASSERT_TRUE(c.waiting());
      Pass(13000, [&] { return alice.log.Count(Event::kLoginFailure) > 0; });
    }
    ASSERT_TRUE(alice.log.WaitFor(Event::kLoginFailure));
    EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
    const int connections = svc_.connections_accepted(), asked = svc_.gateway_requests();
    EXPECT_GE(asked, lookups + c.lookups);
    Pass(13000);
    // A lookup under way at the failure may reach the service after it, but none starts.
    EXPECT_LE(svc_.gateway_requests(), asked + 1);
    EXPECT_EQ(connections, svc_.connections_accepted());
    EXPECT_THAT(Results(alice.log, Event::kLoginFailure), ElementsAre(Pair("", c.code)));
    EXPECT_THAT(alice.log.States(),
                ElementsAre(Pair(kConnecting, 1), Pair(kDisconnected, c.reason)));
    svc_.Reset();
    EXPECT_TRUE(alice.Login());
  }
}

// A gateway answer without an address is retried 5 s after the lookup (a 3 s wait for a
// usable one, then 2 s); one that never ends is refused at its size cap, not read to the HTTP
// parser's limit of 16 MB, and retried 2 s later. The worker wakes for that due
// time by itself: no clock change, call or input comes in the last 500 ms.
TEST_F(RtmSessionTest, GatewayAnswersWithoutAnAddressAreRetriedOnTime) {
  for (GatewayMode mode : {GatewayMode::kEmptyBody, GatewayMode::kInvalidJson,
                           GatewayMode::kNoType1Address, GatewayMode::kEndlessBody}) {
    svc_.Reset();
    const int base = svc_.gateway_requests();
    svc_.SetGatewayMode(mode, 0, 1);
    Client alice(svc_, "alice");
    clock_.Pause();
    ASSERT_EQ(0, alice->login("t", "alice"));
    ASSERT_TRUE(Eventually([&] { return svc_.gateway_requests() == base + 1; }));
    Pass(4500);
    rtc::SetClockChangedHook(nullptr);  // the running clock wakes nobody
    struct Rewake {
      ~Rewake() { rtc::SetClockChangedHook(&rtc::MessageQueueManager::WakeAll); }
    } rewake;
    clock_.Resume();
    EXPECT_TRUE(alice.log.WaitFor(Event::kLoginSuccess)) << static_cast<int>(mode);
    EXPECT_EQ(base + 2, svc_.gateway_requests());
    EXPECT_EQ(0u, alice.log.Count(Event::kLoginFailure));
    clock_.Jump(1001);  // the next round's login passes the limiter
  }
  EXPECT_LT(svc_.endless_bytes(), 1 << 20);  // the cap, and what the sockets held
}

TEST_F(RtmSessionTest, StateIsReportedOnlyWhenItOrItsReasonChanges) {
  Client alice(svc_, "alice");
  EXPECT_EQ(0, alice->logout());  // not logged in: no report
  ASSERT_TRUE(alice.Login());
  // A logout from inside its own report is not repeated.
  alice.log.SetOnEvent([&alice](const Event& e) {
    if (e.kind == Event::kState && e.a == kDisconnected) alice->logout();
  });
  EXPECT_EQ(0, alice->logout());
  EXPECT_EQ(0, alice->logout());
  alice.log.SetOnEvent(nullptr);
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
  Pass(3000);  // no re-login follows
  EXPECT_EQ(1, svc_.gateway_requests());
  EXPECT_EQ(1u, Received("alice", "Logout").size());
  EXPECT_THAT(alice.log.States(),
              ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2), Pair(kDisconnected, 6)));
  // A logout from inside the connected report: the login's success is not reported.
  alice.log.SetOnEvent([&alice](const Event& e) {
    if (e.kind == Event::kState && e.a == kConnected) alice->logout();
  });
  clock_.Jump(1001);
  ASSERT_EQ(0, alice->login("tok", "alice"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kState, 6));
  Pass(500);
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginSuccess));
}

// The same user logging in elsewhere pushes the first client out: told once, it does not come
// back by itself, which would push the other out in turn. An expired token is reported once and
// ends the session the same way. Either keeps the user id until the app logs out.
TEST_F(RtmSessionTest, ALoginElsewhereOrAnExpiredTokenEndsTheSessionWithoutReconnecting) {
  Client alice(svc_, "alice"), elsewhere(svc_, "alice"), bob(svc_, "bob");
  ASSERT_TRUE(LogInAndSettle(alice));
  ASSERT_TRUE(LogInAndSettle(bob));
  ASSERT_TRUE(elsewhere.Login());
  ASSERT_TRUE(svc_.Expire("bob"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kState, 3));
  ASSERT_TRUE(bob.log.WaitFor(Event::kTokenExpired));
  Pass(10000);
  EXPECT_EQ(3, svc_.gateway_requests());
  EXPECT_THAT(alice.log.States(),
              ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2), Pair(kAborted, 8)));
  EXPECT_THAT(elsewhere.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2)));
  EXPECT_THAT(bob.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2)));
  EXPECT_EQ(1u, bob.log.Count(Event::kTokenExpired));
  EXPECT_THAT(svc_.OnlineUsers(), ElementsAre("alice"));
  EXPECT_EQ(rtm::LOGIN_ERR_ALREADY_LOGGED_IN, alice->login("tok", "alice"));
  alice->logout();
  EXPECT_TRUE(alice.Login());
}

TEST_F(RtmSessionTest, ALoginEndedByLogoutOrReleaseIsReportedOnceWith102) {
  svc_.AddFault(DropToClient("", "Login"));
  Client alice(svc_, "alice");
  ASSERT_EQ(0, alice->login("t", "alice"));
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

// A login made from inside the report of a failed one stands, whether the gateway refused
// or the attempt timed out.
TEST_F(RtmSessionTest, LoginFromInsideALoginFailureStands) {
  for (GatewayMode mode : {GatewayMode::kCode, GatewayMode::kNoAnswer}) {
    svc_.Reset();
    const bool refused = mode == GatewayMode::kCode;
    svc_.SetGatewayMode(mode, refused ? 7 : 60000, refused ? 1 : 4);
    Client alice(svc_, "alice");
    alice.log.SetOnEvent([&alice](const Event& e) {
      if (e.kind == Event::kLoginFailure) EXPECT_EQ(0, alice->login(nullptr, "alice"));
    });
    ASSERT_EQ(0, alice->login("t", "alice"));
    // A refusal comes over the network: time moves only to time out the silent gateway.
    if (!refused) Pass(13000, [&] { return alice.log.Count(Event::kLoginFailure) > 0; });
    ASSERT_TRUE(alice.log.WaitFor(Event::kLoginFailure));
    svc_.SetGatewayMode(GatewayMode::kNormal);
    Pass(10000, [&] { return alice.log.Count(Event::kLoginSuccess) > 0; });
    ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess));
    alice.log.SetOnEvent(nullptr);
    Pass(13000);
    EXPECT_EQ(1u, alice.log.Count(Event::kLoginFailure));
    EXPECT_EQ(kConnected, alice.log.States().back().first);
    EXPECT_TRUE(svc_.IsOnline("alice"));
  }
}

TEST_F(RtmSessionTest, EachRenewalIsAnsweredOnceWithItsOwnTokenAndOnlyAnAcceptedOneIsKept) {
  Client alice(svc_, "alice");
  EXPECT_EQ(rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN, alice->renewToken("new"));
  ASSERT_TRUE(LogInAndSettle(alice));
  // Two renewals at once: answers carry no id, so the second waits for the first's answer
  // (held here), and its own answer, which comes twice, is taken once. A third is refused by
  // the limiter.
  svc_.AddFault(Fault("alice", "RenewAcsToken", FaultAction::kHold, 1));
  EXPECT_EQ(0, alice->renewToken("tok-new"));
  EXPECT_EQ(0, alice->renewToken("tok-new2"));
  EXPECT_EQ(rtm::RENEW_TOKEN_ERR_TOO_OFTEN, alice->renewToken("tok-new3"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "RenewAcsToken", 1, 5000));
  svc_.AddFault(Fault("alice", "RenewAcsToken", FaultAction::kDuplicate, 1));
  EXPECT_EQ(1u, Received("alice", "RenewAcsToken").size());
  EXPECT_EQ(1, svc_.ReleaseHeld("alice"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult, 3));
  Pass(1500);
  // The server refuses an empty token (Code 1); the token taken before stays.
  EXPECT_EQ(0, alice->renewToken(""));
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult, 4));
  EXPECT_EQ(R"({"AcsToken":"tok-new"})", Sent("alice", "RenewAcsToken").at(0));
  // A lost connection logs in again with the last token the server took.
  Reconnect(alice, CloseMode::kFin);
  EXPECT_THAT(Received("alice", "Login").at(1).content, HasSubstr(R"("AcsToken":"tok-new2")"));
  EXPECT_THAT(Results(alice.log, Event::kRenewResult),
              ElementsAre(Pair("new", rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN), Pair("tok-new", 0),
                          Pair("tok-new2", 0), Pair("", 1)));
  // And from inside a renewal's report: a logout, then a login from inside its report,
  // which uses the renewed token.
  clock_.Jump(1001);
  std::atomic<int> relogin{-100};
  alice.log.SetOnEvent([&alice, &relogin](const Event& e) {
    if (e.kind == Event::kRenewResult) alice->logout();
    if (e.kind == Event::kState && e.a == kDisconnected) relogin = alice->login(nullptr, "alice");
  });
  ASSERT_EQ(0, alice->renewToken("renewed"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 3));
  alice.log.SetOnEvent(nullptr);
  EXPECT_EQ(0, relogin.load());
  EXPECT_THAT(Received("alice", "Login").back().content, HasSubstr(R"("AcsToken":"renewed")"));
}

// While the connection is made again a peer send is refused at once (-1) and reported with 102
// before it returns, with storage for offline peers asked for or not, and from inside the report
// of the loss too.
TEST_F(RtmSessionTest, SendsWhileTheConnectionIsMadeAgainEndWith102AtOnce) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(LogInAndSettle(alice));
  std::vector<std::pair<int, size_t>> sends;  // returned, results reported by then
  auto send = [&](bool offline) {
    rtm::IMessage* message = alice->createMessage("while away");
    rtm::SendMessageOptions options;
    options.enableOfflineMessaging = offline;
    const int returned = alice->sendMessageToPeer("bob", message, options);
    sends.emplace_back(returned, alice.log.Count(Event::kSendResult));
    message->release();
  };
  alice.log.SetOnEvent([&](const Event& e) {
    if (e.kind == Event::kState && e.a == kReconnecting) send(true);
  });
  ASSERT_TRUE(svc_.Close("alice", CloseMode::kFin));
  ASSERT_TRUE(alice.log.WaitFor(Event::kState, 3));
  alice.log.SetOnEvent(nullptr);
  send(false);
  send(true);
  EXPECT_THAT(sends, ElementsAre(Pair(-1, 1), Pair(-1, 2), Pair(-1, 3)));
  for (const Event& e : alice.log.Of(Event::kSendResult)) {
    EXPECT_EQ(rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN, e.a);
  }
  EXPECT_TRUE(Received("alice", "SendMsgToPeer").empty());
}

// A renewal unanswered for 10 s ends once, with the renewal waiting behind it and with its
// connection, whose late answers could be taken for another renewal's: the client logs in again
// with the last token the server took, and renewals on the new connection get their own
// answers.
TEST_F(RtmSessionTest, UnansweredRenewalEndsItsConnectionAndLaterRenewalsGetTheirOwnAnswers) {
  svc_.AddFault(DropToClient("alice", "RenewAcsToken", 1));
  Client alice(svc_, "alice");
  ASSERT_TRUE(LogInAndSettle(alice));
  EXPECT_EQ(0, alice->renewToken("lost"));
  EXPECT_EQ(0, alice->renewToken("waiting"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "RenewAcsToken", 1, 5000));
  Pass(9500);
  EXPECT_EQ(0u, alice.log.Count(Event::kRenewResult));
  Pass(1000);
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult, 2));
  EXPECT_THAT(alice.log.States().back(),
              Pair(kReconnecting, rtm::CONNECTION_CHANGE_REASON_INTERRUPTED));
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  EXPECT_THAT(Received("alice", "Login").at(1).content, HasSubstr(R"("AcsToken":"tok")"));
  EXPECT_EQ(0, alice->renewToken("next"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult, 3));
  Pass(11000);
  EXPECT_THAT(Results(alice.log, Event::kRenewResult),
              ElementsAre(Pair("lost", rtm::RENEW_TOKEN_ERR_FAILURE),
                          Pair("waiting", rtm::RENEW_TOKEN_ERR_FAILURE), Pair("next", 0)));
  EXPECT_EQ(2u, Received("alice", "Login").size());
}

// Releases `service` from inside the first event `pick` selects; `released` is set once the
// release has returned.
void ReleaseOn(EventLog& log, rtm::IRtmService* service, std::atomic<bool>& released,
               std::function<bool(const Event&)> pick, bool immediate = true) {
  auto fired = std::make_shared<std::atomic<bool>>(false);
  log.SetOnEvent([service, &released, pick, fired, immediate](const Event& e) {
    if (!pick(e) || fired->exchange(true)) return;
    service->release(immediate);
    released.store(true);
  });
}

// A release from inside any report ends the session: the user goes offline, nothing more is
// reported and nothing is tried again. One case a test, each in a process of its own under
// ctest: the worker takes its two locks in either order on its own thread, which
// ThreadSanitizer reports once one process has seen both.
class RtmReleaseTest : public RtmSessionTest, public ::testing::WithParamInterface<int> {};

TEST_P(RtmReleaseTest, ReleaseFromInsideAReportEndsTheSessionThere) {
  struct Case {
    const char* name;
    std::function<void()> arrange;               // before the login
    std::function<bool(const Event&)> pick;      // the report released from
    std::function<void(rtm::IRtmService*)> act;  // after the login, which it may wait for
    bool immediate = true;
  };
  auto is = [](Event::Kind kind, int state = -1) {
    return [kind, state](const Event& e) { return e.kind == kind && (state < 0 || e.a == state); };
  };
  auto logged_in = [&](rtm::IRtmService*) {
    ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, 5000));
  };
  const Case cases[] = {
      {"login success", nullptr, is(Event::kLoginSuccess), nullptr},
      {"reconnecting, deferred", nullptr, is(Event::kState, kReconnecting),
       [&](rtm::IRtmService* s) {
         logged_in(s);
         svc_.Close("alice", CloseMode::kFin);
       },
       false},
      {"renew result", nullptr, is(Event::kRenewResult),
       [&](rtm::IRtmService* s) {
         logged_in(s);
         s->renewToken("renewed");
       }},
      {"send results of a logout", [&] { svc_.AddFault(DropToClient("alice", "MsgStatus")); },
       is(Event::kSendResult),
       [&](rtm::IRtmService* s) {
         logged_in(s);
         for (const char* text : {"a", "b", "c"}) {
           rtm::IMessage* message = s->createMessage(text);
           EXPECT_EQ(0, s->sendMessageToPeer("bob", message));
           message->release();
         }
         ASSERT_TRUE(svc_.WaitForCommand("alice", "SendMsgToPeer", 3, 5000));
         s->logout();
       }},
  };
  {
    const Case& c = cases[GetParam()];
    SCOPED_TRACE(c.name);
    if (c.arrange) c.arrange();
    const int lookups = svc_.gateway_requests();
    EventLog log;
    rtm::IRtmService* service = NewService(svc_, &log);
    std::atomic<bool> released{false};
    ReleaseOn(log, service, released, c.pick, c.immediate);
    ASSERT_EQ(0, service->login("t", "alice"));
    if (c.act) c.act(service);
    ASSERT_TRUE(Eventually([&] { return released.load(); }));
    EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
    const size_t events = log.Events().size();
    const int lookups_at_release = svc_.gateway_requests();
    Pass(5000);
    EXPECT_EQ(events, log.Events().size());
    EXPECT_EQ(lookups_at_release, svc_.gateway_requests());
    EXPECT_LE(svc_.gateway_requests() - lookups, 1);
    EXPECT_LE(log.Count(Event::kMessage) + log.Count(Event::kSendResult), 1u);
  }
}
INSTANTIATE_TEST_SUITE_P(Reports, RtmReleaseTest, ::testing::Range(0, 4));

}  // namespace
}  // namespace rtm_test
