// Public operations called from inside the service's callbacks, in the combinations the other
// tests leave out. Each must leave the service consistent and, under ASan, touch nothing that
// has been deleted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rtm_test_client.h"

namespace rtm_test {
namespace {

constexpr int kConnected = rtm::CONNECTION_STATE_CONNECTED;
constexpr int kDisconnected = rtm::CONNECTION_STATE_DISCONNECTED;
constexpr int kReconnecting = rtm::CONNECTION_STATE_RECONNECTING;

class RtmReentryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
  }
  // A service pointed at the local service, for tests that release it themselves.
  rtm::IRtmService* NewService(EventLog* log) { return rtm_test::NewService(svc_, log); }
  void Pass(int64_t ms, int64_t step = 500) {
    for (int64_t done = 0; done < ms; done += step) {
      clock_.Jump(step);
      usleep(3000);
    }
  }

  RunningFakeClock& clock_ = RunningFakeClock::Instance();
  local_service::LocalService svc_{ServiceOptions()};
};

// Releases `service` from inside the first event `pick` selects (immediately, or deferred);
// `released` is set once the release has returned, so that the test sees its whole effect.
void ReleaseOn(EventLog& log, rtm::IRtmService* service, std::atomic<bool>& released,
               std::function<bool(const Event&)> pick, bool immediate = true) {
  auto fired = std::make_shared<std::atomic<bool>>(false);
  log.SetOnEvent([service, &released, pick, fired, immediate](const Event& e) {
    if (!pick(e) || fired->exchange(true)) return;
    service->release(immediate);
    released.store(true);
  });
}

TEST_F(RtmReentryTest, ImmediateReleaseFromInsideLoginSuccess) {
  EventLog log;
  rtm::IRtmService* service = NewService(&log);
  std::atomic<bool> released{false};
  ReleaseOn(log, service, released, [](const Event& e) { return e.kind == Event::kLoginSuccess; });
  ASSERT_EQ(0, service->login("t", "alice"));
  ASSERT_TRUE(Eventually([&] { return released.load(); }));
  EXPECT_TRUE(svc_.WaitForCommand("alice", "Logout", 1, 5000));
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
  // The release forgot the handlers: nothing follows its own logout report.
  size_t events = log.Events().size();
  Pass(3000);
  EXPECT_EQ(events, log.Events().size());
}

TEST_F(RtmReentryTest, DeferredReleaseFromInsideTheReconnectingReport) {
  EventLog log;
  rtm::IRtmService* service = NewService(&log);
  ASSERT_EQ(0, service->login("t", "alice"));
  ASSERT_TRUE(log.WaitFor(Event::kLoginSuccess));
  std::atomic<bool> released{false};
  ReleaseOn(
      log, service, released,
      [](const Event& e) { return e.kind == Event::kState && e.a == kReconnecting; },
      /*immediate=*/false);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, 5000));
  svc_.Close("alice", local_service::CloseMode::kFin);
  ASSERT_TRUE(Eventually([&] { return released.load(); }));
  // No re-login follows the release.
  Pass(5000);
  EXPECT_EQ(1, svc_.gateway_requests());
}

TEST_F(RtmReentryTest, LogoutFromInsideLoginSuccessEndsTheSessionCleanly) {
  Client alice(svc_, "alice");
  alice.log.SetOnEvent([&alice](const Event& e) {
    if (e.kind == Event::kLoginSuccess) alice->logout();
  });
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(alice.log.WaitForState(kDisconnected, rtm::CONNECTION_CHANGE_REASON_LOGOUT));
  alice.log.SetOnEvent(nullptr);
  EXPECT_EQ(kDisconnected, alice.log.States().back().first);
  EXPECT_TRUE(svc_.WaitForCommand("alice", "Logout", 1, 5000));
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
  // The session is over: sends are refused, and a new login works.
  EXPECT_EQ(0, alice.Send("bob", "after"));
  clock_.Jump(1001);
  ASSERT_TRUE(alice.Login());
  EXPECT_EQ(kConnected, alice.log.States().back().first);
}

TEST_F(RtmReentryTest, RenewTokenAndSetParametersFromInsideLoginSuccess) {
  Client alice(svc_, "alice");
  std::atomic<int> renew{-100};
  std::atomic<int> params{-100};
  alice.log.SetOnEvent([&](const Event& e) {
    if (e.kind != Event::kLoginSuccess) return;
    renew = alice->renewToken("renewed");
    params = alice->setParameters(R"({"Cmd":"LocalNetChanged","netType":0})");
  });
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(Eventually([&] { return params.load() != -100; }));
  alice.log.SetOnEvent(nullptr);
  EXPECT_EQ(0, renew.load());
  EXPECT_EQ(0, params.load());
  ASSERT_TRUE(alice.log.WaitFor(Event::kRenewResult));
  EXPECT_EQ("renewed", alice.log.Of(Event::kRenewResult)[0].peer);
  EXPECT_TRUE(svc_.WaitForCommand("alice", "CheckNetStatus", 1, 5000));
  // The probe was answered: the connection stays past its deadline.
  Pass(5000);
  EXPECT_EQ(1, svc_.connections_accepted());
}

TEST_F(RtmReentryTest, LogoutFromInsideARenewResultAndLoginFromInsideTheLogoutReport) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  clock_.Jump(1001);
  std::atomic<int> relogin{-100};
  alice.log.SetOnEvent([&alice, &relogin](const Event& e) {
    if (e.kind == Event::kRenewResult) alice->logout();
    if (e.kind == Event::kState && e.a == kDisconnected) relogin = alice->login(nullptr, "alice");
  });
  ASSERT_EQ(0, alice->renewToken("renewed"));
  ASSERT_TRUE(Eventually([&] { return relogin.load() != -100; }));
  EXPECT_EQ(0, relogin.load());
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  alice.log.SetOnEvent(nullptr);
  // The second login used the renewed token.
  auto logins = svc_.Log("alice");
  std::string last_login;
  for (const auto& c : logins) {
    if (c.cmd == "Login") last_login = c.content;
  }
  EXPECT_THAT(last_login, ::testing::HasSubstr(R"("AcsToken":"renewed")"));
}

TEST_F(RtmReentryTest, SendFromInsideASendResultIsReportedInItsTurn) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  std::atomic<int> chained{0};
  std::vector<long long> ids;
  alice.log.SetOnEvent([&](const Event& e) {
    if (e.kind != Event::kSendResult || chained.load() >= 3) return;
    ++chained;
    ids.push_back(alice.Send("bob", "chained " + std::to_string(chained.load())));
  });
  long long first = alice.Send("bob", "first");
  ASSERT_NE(0, first);
  ASSERT_TRUE(alice.log.WaitFor(Event::kSendResult, 4));
  alice.log.SetOnEvent(nullptr);
  ASSERT_EQ(3u, ids.size());
  for (long long id : ids) EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.ResultOf(id, 0)) << id;
  EXPECT_TRUE(bob.log.WaitFor(Event::kMessage, 4));
}

TEST_F(RtmReentryTest, ImmediateReleaseFromInsideTheResultsALogoutReports) {
  EventLog log;
  rtm::IRtmService* service = NewService(&log);
  ASSERT_EQ(0, service->login("t", "alice"));
  ASSERT_TRUE(log.WaitFor(Event::kLoginSuccess));
  // No answers: the sends wait until the logout reports them.
  svc_.AddFault({.direction = local_service::Direction::kToClient,
                 .user = "alice",
                 .cmd = "MsgStatus",
                 .action = local_service::FaultAction::kDrop});
  for (const char* text : {"a", "b", "c"}) {
    rtm::IMessage* message = service->createMessage(text);
    ASSERT_EQ(0, service->sendMessageToPeer("bob", message));
    message->release();
  }
  std::atomic<bool> released{false};
  ReleaseOn(log, service, released, [](const Event& e) { return e.kind == Event::kSendResult; });
  EXPECT_EQ(0, service->logout());
  EXPECT_TRUE(released.load());
  // The release forgot the handlers: the other two results are not reported.
  EXPECT_EQ(1u, log.Count(Event::kSendResult));
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN, log.Of(Event::kSendResult)[0].a);
  Pass(1000);
}

TEST_F(RtmReentryTest, LogoutFromInsideTokenExpiry) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  alice.log.SetOnEvent([&alice](const Event& e) {
    if (e.kind == Event::kTokenExpired) alice->logout();
  });
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, 5000));
  ASSERT_TRUE(svc_.Expire("alice"));
  ASSERT_TRUE(alice.log.WaitForState(kDisconnected, rtm::CONNECTION_CHANGE_REASON_LOGOUT));
  alice.log.SetOnEvent(nullptr);
  Pass(3000);
  EXPECT_EQ(1, svc_.gateway_requests());
  EXPECT_EQ(1u, alice.log.Count(Event::kTokenExpired));
}

TEST_F(RtmReentryTest, ImmediateReleaseFromInsideAnOfflineMessage) {
  svc_.StoreOffline(kAppId, "bob", "alice", 1, 1, "one");
  svc_.StoreOffline(kAppId, "bob", "alice", 2, 1, "two");
  EventLog log;
  rtm::IRtmService* service = NewService(&log);
  std::atomic<bool> released{false};
  ReleaseOn(log, service, released, [](const Event& e) { return e.kind == Event::kMessage; });
  ASSERT_EQ(0, service->login("t", "bob"));
  ASSERT_TRUE(Eventually([&] { return released.load(); }));
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("bob"); }));
  EXPECT_EQ(1u, log.Count(Event::kMessage));
}

TEST_F(RtmReentryTest, ImmediateReleaseFromInsideALoginRefusedByTheServer) {
  svc_.AddFault({.direction = local_service::Direction::kToClient,
                 .cmd = "Login",
                 .action = local_service::FaultAction::kReplaceField,
                 .value = 3,
                 .times = 1});
  EventLog log;
  rtm::IRtmService* service = NewService(&log);
  std::atomic<bool> released{false};
  ReleaseOn(log, service, released, [](const Event& e) { return e.kind == Event::kLoginFailure; });
  ASSERT_EQ(0, service->login("t", "alice"));
  ASSERT_TRUE(Eventually([&] { return released.load(); }));
  EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); }));
  Pass(13000);
  EXPECT_EQ(1u, log.Count(Event::kLoginFailure));
  EXPECT_EQ(1, svc_.gateway_requests());
}

TEST_F(RtmReentryTest, ImmediateReleaseFromInsideTheConnectingReportOfALogin) {
  EventLog log;
  rtm::IRtmService* service = NewService(&log);
  std::atomic<bool> released{false};
  ReleaseOn(log, service, released, [](const Event& e) {
    return e.kind == Event::kState && e.a == rtm::CONNECTION_STATE_CONNECTING;
  });
  EXPECT_EQ(0, service->login("t", "alice"));
  EXPECT_TRUE(released.load());
  // The login did not outlive the release.
  Pass(3000);
  EXPECT_EQ(0, svc_.gateway_requests());
  EXPECT_EQ(0, svc_.connections_accepted());
}

TEST_F(RtmReentryTest, ImmediateReleaseFromInsideTokenExpiryAndARenewResult) {
  for (bool expiry : {true, false}) {
    EventLog log;
    rtm::IRtmService* service = NewService(&log);
    ASSERT_EQ(0, service->login("t", "alice"));
    ASSERT_TRUE(log.WaitFor(Event::kLoginSuccess));
    std::atomic<bool> released{false};
    ReleaseOn(log, service, released, [expiry](const Event& e) {
      return e.kind == (expiry ? Event::kTokenExpired : Event::kRenewResult);
    });
    if (expiry) {
      ASSERT_TRUE(svc_.Push("alice", "AcsTokenDidExpire", ""));
    } else {
      ASSERT_EQ(0, service->renewToken("renewed"));
    }
    ASSERT_TRUE(Eventually([&] { return released.load(); })) << expiry;
    EXPECT_TRUE(Eventually([&] { return !svc_.IsOnline("alice"); })) << expiry;
    clock_.Jump(1001);
  }
}

TEST_F(RtmReentryTest, ImmediateReleaseFromInsideTheReportOfARefusedConnection) {
  svc_.SetGatewayMode(local_service::GatewayMode::kClosedPort);
  EventLog log;
  rtm::IRtmService* service = NewService(&log);
  std::atomic<bool> released{false};
  ReleaseOn(log, service, released, [](const Event& e) {
    return e.kind == Event::kState && e.a == kReconnecting;
  });
  ASSERT_EQ(0, service->login("t", "alice"));
  ASSERT_TRUE(Eventually([&] { return released.load(); }));
  int lookups = svc_.gateway_requests();
  Pass(5000);
  EXPECT_EQ(lookups, svc_.gateway_requests());
}

TEST_F(RtmReentryTest, LogoutFromInsideTheReconnectingReportStopsTheRetries) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  alice.log.SetOnEvent([&alice](const Event& e) {
    if (e.kind == Event::kState && e.a == kReconnecting) alice->logout();
  });
  ASSERT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", 1, 5000));
  svc_.Close("alice", local_service::CloseMode::kRst);
  ASSERT_TRUE(alice.log.WaitForState(kDisconnected, rtm::CONNECTION_CHANGE_REASON_LOGOUT));
  alice.log.SetOnEvent(nullptr);
  Pass(5000);
  EXPECT_EQ(1, svc_.gateway_requests());
  EXPECT_EQ(kDisconnected, alice.log.States().back().first);
  // A later login starts afresh.
  ASSERT_TRUE(alice.Login());
}

TEST_F(RtmReentryTest, LoginFromInsideTheLoginTimeoutReportStands) {
  svc_.SetGatewayMode(local_service::GatewayMode::kNoAnswer, 60000, 4);
  Client alice(svc_, "alice");
  std::atomic<int> relogin{-100};
  alice.log.SetOnEvent([&alice, &relogin](const Event& e) {
    if (e.kind == Event::kLoginFailure) relogin = alice->login(nullptr, "alice");
  });
  ASSERT_EQ(0, alice->login("t", "alice"));
  ASSERT_TRUE(Eventually([&] { return svc_.gateway_requests() == 1; }));
  for (int i = 0; i < 30 && relogin.load() == -100; ++i) Pass(500);
  EXPECT_EQ(0, relogin.load());
  EXPECT_EQ(rtm::LOGIN_ERR_TIMEOUT, alice.log.Of(Event::kLoginFailure)[0].a);
  svc_.SetGatewayMode(local_service::GatewayMode::kNormal);
  for (int i = 0; i < 20 && alice.log.Count(Event::kLoginSuccess) == 0; ++i) Pass(500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess));
  alice.log.SetOnEvent(nullptr);
  EXPECT_EQ(1u, alice.log.Count(Event::kLoginFailure));
  EXPECT_EQ(rtm::CONNECTION_STATE_CONNECTED, alice.log.States().back().first);
}

}  // namespace
}  // namespace rtm_test
