// A hostile or dying server, end to end against the local test service's attack modes: a
// flood, a server that hangs after login or on a re-login, one that stops reading, and one
// that changes its framing between connections. The client must keep answering its app,
// notice what is dead, and give every request exactly one result.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/x_tcp_client.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using local_service::CloseMode;
using local_service::FaultAction;
using local_service::FaultRule;
using local_service::LoginMode;
using ::testing::ElementsAre;
using ::testing::Pair;

constexpr int kConnecting = rtm::CONNECTION_STATE_CONNECTING;
constexpr int kConnected = rtm::CONNECTION_STATE_CONNECTED;
constexpr int kReconnecting = rtm::CONNECTION_STATE_RECONNECTING;
constexpr int kInterrupted = rtm::CONNECTION_CHANGE_REASON_INTERRUPTED;

// Public calls made on threads of their own, so that a call stuck behind a frozen worker fails
// the test instead of hanging it. `release` (ending the attack) runs before the threads are
// joined.
class Caller {
 public:
  explicit Caller(std::function<void()> release) : release_(std::move(release)) {}
  ~Caller() {
    release_();
    for (auto& t : threads_) t.join();
  }
  bool ReturnsWithin(int ms, std::function<void()> call) {
    auto done = std::make_shared<std::promise<void>>();
    auto returned = done->get_future();
    threads_.emplace_back([call, done] {
      call();
      done->set_value();
    });
    return returned.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
  }

 private:
  std::function<void()> release_;
  std::vector<std::thread> threads_;
};

class HostileServerTest : public ServiceTest {
 protected:
  using ServiceTest::ServiceTest;
  int ResultsFor(Client& client, long long id) {
    int n = 0;
    for (const Event& e : client.log.Of(Event::kSendResult)) n += e.id == id ? 1 : 0;
    return n;
  }
};

TEST_F(HostileServerTest, FloodFreezesNeitherTheCallsNorTheKeepAliveNorTheResults) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(LogInAndSettle(alice));
  ASSERT_TRUE(bob.Login());
  ASSERT_TRUE(svc_.StartFlood("alice", local_service::Flood{}));
  Caller caller([&] { svc_.StopFlood("alice"); });
  ASSERT_TRUE(Eventually([&] { return svc_.flood_packets() > 20000; }));

  long long id = 0;
  EXPECT_TRUE(caller.ReturnsWithin(2000, [&] { id = alice.Send("bob", "during the flood"); }));
  size_t keepalives = Received("alice", "KeepAlive").size();
  clock_.Jump(5000);
  EXPECT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", keepalives + 1, 2000));
  EXPECT_TRUE(Eventually([&] { return ResultsFor(alice, id) == 1; }, 5000));
  const int64_t flooded = svc_.flood_packets();
  EXPECT_TRUE(Eventually([&] { return svc_.flood_packets() > flooded; }));  // still on
  EXPECT_TRUE(caller.ReturnsWithin(2000, [&] { alice->logout(); }));
  EXPECT_EQ(0, alice.log.Of(Event::kSendResult)[0].a);
  EXPECT_EQ(1u, alice.log.Count(Event::kSendResult));
}

TEST_F(HostileServerTest, UnansweredReLoginIsDroppedAtTheLoginDeadlineAndTriedAgain) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(LogInAndSettle(alice));
  svc_.SetLoginMode(LoginMode::kSilentOnReLogin);
  svc_.Close("alice", CloseMode::kFin);
  ASSERT_TRUE(alice.log.WaitForState(kReconnecting, kInterrupted));
  Pass(2500);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 2, 5000));
  svc_.SetLoginMode(LoginMode::kNormal);
  const int accepted = svc_.connections_accepted();
  Pass(9000);  // 11.5 s after the loss: the unanswered re-login is still waited for
  EXPECT_EQ(accepted, svc_.connections_accepted());
  Pass(3000);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  EXPECT_GT(svc_.connections_accepted(), accepted);
  // The retries are no news to the app: it heard of the loss once.
  EXPECT_THAT(alice.log.States(), ElementsAre(Pair(kConnecting, 1), Pair(kConnected, 2),
                                              Pair(kReconnecting, kInterrupted),
                                              Pair(kConnected, 2)));
  EXPECT_EQ(0u, alice.log.Count(Event::kLoginFailure));
}

TEST_F(HostileServerTest, EachConnectionTakesTheFramingItsServerSpeaks) {
  FaultRule dollar;
  dollar.cmd = "Login";
  dollar.action = FaultAction::kDollarFraming;
  dollar.times = 1;
  svc_.AddFault(dollar);
  Client alice(svc_, "alice");
  ASSERT_TRUE(LogInAndSettle(alice));
  EXPECT_EQ('$', Received("alice", "KeepAlive").back().framing);
  // The next server answers in '#' only.
  FaultRule hash;
  hash.cmd = "Login";
  hash.action = FaultAction::kHashFraming;
  svc_.AddFault(hash);
  svc_.Close("alice", CloseMode::kFin);
  ASSERT_TRUE(alice.log.WaitForState(kReconnecting, kInterrupted));
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  EXPECT_EQ('#', Received("alice", "Login").back().framing);
}

// A server that stops reading, with a small receive buffer: what the client sends soon finds
// the window closed and stays unacknowledged, like KeepAlives to a peer that is gone.
local_service::Options StopsReadingOptions() {
  local_service::Options options = ServiceOptions();
  options.tcp_recv_buffer = 4096;
  return options;
}

class DeadPeerTest : public HostileServerTest {
 protected:
  DeadPeerTest() : HostileServerTest(StopsReadingOptions()) {
    vy::XTcpClient::SetUserTimeoutForTesting(1000);
  }
  ~DeadPeerTest() override { vy::XTcpClient::SetUserTimeoutForTesting(0); }
};

TEST_F(DeadPeerTest, PeerThatStopsReadingIsNoticedAndTheUserLogsInAgain) {
  svc_.SetLoginMode(LoginMode::kSilentAfterLogin);
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  svc_.SetLoginMode(LoginMode::kNormal);
  std::vector<long long> ids;
  for (int i = 0; i < 12; ++i) ids.push_back(alice.Send("bob", std::string(30000, 'x')));
  ASSERT_TRUE(alice.log.WaitForState(kReconnecting, kInterrupted, 8000));
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  Pass(11000);
  for (long long id : ids) {
    ASSERT_NE(0, id);
    EXPECT_TRUE(Eventually([&] { return ResultsFor(alice, id) == 1; }, 5000)) << id;
  }
  EXPECT_EQ(ids.size(), alice.log.Count(Event::kSendResult));
}

}  // namespace
}  // namespace rtm_test
