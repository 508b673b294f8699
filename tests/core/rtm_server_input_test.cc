// What the service does with a server it must not trust, end to end against the in-process
// local test service: commands outside a session, repeated answers and reports, fields that are
// missing, of the wrong type or out of range (injected with `Push`, each batch followed by a
// good message whose arrival shows that everything before it has been read), a flood, a server
// that hangs or stops reading, and one that changes its framing. And the library never writes
// to the app's standard output or error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/session_wire.h"
#include "core/thread_mgr.h"
#include "core/vy_rtm_service.h"
#include "core/x_tcp_client.h"
#include "rtm_test_client.h"
#include "tests/support/temp_dir.h"

namespace rtm_test {
namespace {

using local_service::CloseMode;
using local_service::FaultAction;
using local_service::LoginMode;
using ::testing::ElementsAre;
using ::testing::Pair;

constexpr std::pair<int, int> kInterrupted(rtm::CONNECTION_STATE_RECONNECTING,
                                           rtm::CONNECTION_CHANGE_REASON_INTERRUPTED);

class RtmServerInputTest : public ServiceTest {
 protected:
  using ServiceTest::ServiceTest;
  // Pushes a marker message to `client` and waits until it has been handed it: every command
  // pushed before it has then been handled.
  bool Settle(Client& client) {
    auto markers = [&client] {
      size_t n = 0;
      for (const Event& e : client.log.Of(Event::kMessage)) n += e.text == "marker" ? 1 : 0;
      return n;
    };
    const size_t before = markers();
    return svc_.Push(client.user(), "RecvMsgFromPeer",
                     R"({"MsgId":424242,"FromUId":"mark","MsgType":1,"MsgBody":"marker"})") &&
           Eventually([&] { return markers() > before; });
  }
};

TEST_F(RtmServerInputTest, CommandsBeforeTheLoginIsAnsweredAreDropped) {
  // The service's answer to "Login" is swallowed; the one the test pushes comes last.
  svc_.AddFault(DropToClient("", "Login", 1));
  Client alice(svc_, "alice");
  ASSERT_EQ(0, alice->login("t", "alice"));
  // The service answers "Login" as it reads it, so once it is logged the answer is gone.
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 1, 5000));
  for (const char* cmd : {"AcsTokenDidExpire", "ForceOffline", "Logout", "RenewAcsToken"}) {
    ASSERT_TRUE(svc_.Push("alice", cmd, R"({"Code":0})"));
  }
  ASSERT_TRUE(svc_.Push("alice", "RecvMsgFromPeer",
                        R"({"MsgId":5,"FromUId":"eve","MsgType":1,"MsgBody":"early"})"));
  ASSERT_TRUE(
      svc_.Push("alice", "PeerOnlineStatus", R"({"Status":[{"UserId":"eve","Online":1}]})"));
  ASSERT_TRUE(svc_.Push("alice", "Login", R"({"Code":0})"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess));
  ASSERT_TRUE(Settle(alice));
  EXPECT_EQ(1u, alice.log.Count(Event::kMessage));  // the marker
  EXPECT_EQ(0u, alice.log.Count(Event::kTokenExpired) + alice.log.Count(Event::kLogout) +
                    alice.log.Count(Event::kRenewResult) + alice.log.Count(Event::kStatusChanged));
  EXPECT_EQ(rtm::CONNECTION_STATE_CONNECTED, alice.log.States().back().first);
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
  svc_.AddFault(DropToClient("alice", "MsgStatus", static_cast<int>(std::size(cases))));
  std::vector<long long> ids;
  for (const Case& c : cases) ids.push_back(alice.Send("bob", "judged", c.offline));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "SendMsgToPeer", ids.size(), 5000));
  for (size_t i = 0; i < ids.size(); ++i) {
    std::string body = R"({"MsgId":)" + std::to_string(ids[i]);
    if (cases[i].status != nullptr) body += R"(,"Status":)" + std::string(cases[i].status);
    ASSERT_TRUE(svc_.Push("alice", "MsgStatus", body + "}"));
  }
  ASSERT_TRUE(Settle(alice));
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(cases[i].result, alice.log.ResultOf(ids[i], 0)) << "Status " << cases[i].status;
  }
}

// Refused messages that name their id and sender are acknowledged all the same, or a server
// that redelivers would send them for ever. A frame far larger than any message is received
// whole, and what the receive path grew for it is given back once it is handled.
TEST_F(RtmServerInputTest, ImpossibleReceivedMessagesAreRefusedAndAcknowledgedIfTheyCanBe) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  const std::string too_long(2 << 20, 'x');
  // The size limit is on the body: 32,767 bytes pass, 32,768 are dropped yet acknowledged.
  const std::string at_limit(32767, 'y');
  for (const std::string& fields : std::vector<std::string>{
           R"("FromUId":"eve","MsgType":1,"MsgBody":"no id")",
           R"("MsgId":"6","FromUId":"eve","MsgType":1,"MsgBody":"string id")",
           R"("MsgId":-6,"FromUId":"eve","MsgType":1,"MsgBody":"negative id")",
           R"("MsgId":1.5,"FromUId":"eve","MsgType":1,"MsgBody":"fraction id")",
           R"("MsgId":6,"FromUId":"","MsgType":1,"MsgBody":"no sender")",
           R"("MsgId":6,"FromUId":7,"MsgType":1,"MsgBody":"number sender")",
           R"("MsgId":6,"FromUId":["eve"],"MsgType":1,"MsgBody":"array sender")",
           R"("MsgId":6,"FromUId":"eve","MsgBody":"no type")",
           R"("MsgId":6,"FromUId":"eve","MsgType":0,"MsgBody":"type 0")",
           R"("MsgId":6,"FromUId":"eve","MsgType":3,"MsgBody":"type 3")",
           R"("MsgId":6,"FromUId":"eve","MsgType":"1","MsgBody":"string type")",
           R"("MsgId":6,"FromUId":"eve","MsgType":1,"MsgBody":null)",
           R"("MsgId":6,"FromUId":"eve","MsgType":1,"MsgBody":{"a":1})",
           R"("MsgId":7,"FromUId":"eve","MsgType":1,"MsgBody":")" + too_long + "\"",
           R"("MsgId":7,"FromUId":"eve","MsgType":1,"MsgBody":")" + at_limit + "y\"",
           R"("MsgId":9,"FromUId":"eve","MsgType":1,"MsgBody":")" + at_limit + "\"",
       }) {
    ASSERT_TRUE(svc_.Push("alice", "RecvMsgFromPeer", "{" + fields + "}"));
  }
  ASSERT_TRUE(
      svc_.Push("alice", "RecvMsgFromPeer", R"([{"MsgId":6,"FromUId":"eve","MsgType":1}])"));
  // A server time that is absent, negative or not a number reads as zero.
  for (const char* ts : {"", R"(,"SvrTS":-5)", R"(,"SvrTS":"17")", R"(,"SvrTS":1700000000123)"}) {
    ASSERT_TRUE(svc_.Push(
        "alice", "RecvMsgFromPeer",
        std::string(R"({"MsgId":8,"FromUId":"eve","MsgType":1,"MsgBody":"t")") + ts + "}"));
  }
  ASSERT_TRUE(Settle(alice));
  std::vector<std::string> got;
  for (const Event& e : alice.log.Of(Event::kMessage)) {
    got.push_back((e.text == at_limit ? "32767 bytes" : e.text) + " " +
                  std::to_string(e.server_time));
  }
  EXPECT_THAT(got,
              ElementsAre("32767 bytes 0", "t 0", "t 0", "t 0", "t 1700000000123", "marker 0"));
  auto* service = static_cast<vy::VyRtmService*>(alice.service());
  auto held = [service] { return service->ReceiveHeldBytes(); };
  EXPECT_LT(service->worker()->Invoke<size_t>(RTC_FROM_HERE, held), too_long.size() / 8);
  // The marker's acknowledgement comes last.
  auto acks = [&] { return Sent("alice", "RecvMsgFromPeerAck"); };
  ASSERT_TRUE(Eventually([&] { return acks().size() > 0 && acks().back().find("424242") == 9; }));
  std::vector<std::string> expected(6, R"({"MsgId":6,"FromUId":"eve"})");
  expected.insert(expected.end(), 2, R"({"MsgId":7,"FromUId":"eve"})");
  expected.push_back(R"({"MsgId":9,"FromUId":"eve"})");
  expected.insert(expected.end(), 4, R"({"MsgId":8,"FromUId":"eve"})");
  expected.push_back(R"({"MsgId":424242,"FromUId":"mark"})");
  EXPECT_THAT(acks(), ::testing::ElementsAreArray(expected));
}

TEST_F(RtmServerInputTest, EachConnectionTakesTheFramingItsServerSpeaks) {
  svc_.AddFault(Fault("", "Login", FaultAction::kDollarFraming, 1));
  Client alice(svc_, "alice");
  ASSERT_TRUE(LogInAndSettle(alice));
  EXPECT_EQ('$', Received("alice", "KeepAlive").back().framing);
  // The next server answers in '#' only.
  svc_.AddFault(Fault("", "Login", FaultAction::kHashFraming));
  Reconnect(alice, CloseMode::kFin);
  EXPECT_EQ('#', Received("alice", "Login").back().framing);
}

// Runs calls on threads of their own, so that a call held by a frozen worker is seen as such;
// `release` lets the held ones return before the threads are joined.
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

TEST_F(RtmServerInputTest, FloodFreezesNeitherTheCallsNorTheKeepAliveNorTheResults) {
  Client alice(svc_, "alice"), bob(svc_, "bob");
  ASSERT_TRUE(LogInAndSettle(alice));
  ASSERT_TRUE(bob.Login());
  // The clock moves only as the test says: however slowly the build works through the flood,
  // no deadline passes behind the test's back.
  clock_.Pause();
  ASSERT_TRUE(svc_.StartFlood("alice", local_service::Flood{}));
  Caller caller([&] { svc_.StopFlood("alice"); });
  ASSERT_TRUE(Eventually([&] { return svc_.flood_packets() > 20000; }));
  long long id = 0;
  EXPECT_TRUE(caller.ReturnsWithin(5000, [&] { id = alice.Send("bob", "during the flood"); }));
  size_t keepalives = Received("alice", "KeepAlive").size();
  clock_.Jump(5000);
  EXPECT_TRUE(svc_.WaitForCommand("alice", "KeepAlive", keepalives + 1, 10000));
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.log.ResultOf(id));
  const int64_t flooded = svc_.flood_packets();
  EXPECT_TRUE(Eventually([&] { return svc_.flood_packets() > flooded; }));  // still on
  EXPECT_TRUE(caller.ReturnsWithin(5000, [&] { alice->logout(); }));
  EXPECT_EQ(1u, alice.log.Count(Event::kSendResult));
}

TEST_F(RtmServerInputTest, UnansweredReLoginIsDroppedAtTheLoginDeadlineAndTriedAgain) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(LogInAndSettle(alice));
  svc_.SetLoginMode(LoginMode::kSilentOnReLogin);
  svc_.Close("alice", CloseMode::kFin);
  Pass(2500);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 2, 5000));
  svc_.SetLoginMode(LoginMode::kNormal);
  const int accepted = svc_.connections_accepted();
  Pass(9000);  // 11.5 s after the loss: the unanswered re-login is still waited for
  EXPECT_EQ(accepted, svc_.connections_accepted());
  Pass(3000);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  // The retries are no news to the app: it heard of the loss once.
  EXPECT_THAT(alice.log.States(),
              ElementsAre(Pair(rtm::CONNECTION_STATE_CONNECTING, 1),
                          Pair(rtm::CONNECTION_STATE_CONNECTED, 2), kInterrupted,
                          Pair(rtm::CONNECTION_STATE_CONNECTED, 2)));
}

// A server that stops reading, with a small receive buffer: what the client sends soon finds
// the window closed and stays unacknowledged, like KeepAlives to a peer that is gone.
TEST_F(RtmServerInputTest, PeerThatStopsReadingIsNoticedAndTheUserLogsInAgain) {
  local_service::Options options = ServiceOptions();
  options.tcp_recv_buffer = 4096;
  local_service::LocalService dead(options);
  ASSERT_TRUE(dead.Start());
  vy::XTcpClient::SetUserTimeoutForTesting(1000);
  struct Reset {
    ~Reset() { vy::XTcpClient::SetUserTimeoutForTesting(0); }
  } reset;
  dead.SetLoginMode(LoginMode::kSilentAfterLogin);
  Client alice(dead, "alice");
  ASSERT_TRUE(alice.Login());
  dead.SetLoginMode(LoginMode::kNormal);
  std::vector<long long> ids;
  for (int i = 0; i < 12; ++i) ids.push_back(alice.Send("bob", std::string(30000, 'x')));
  const auto lost = [&] {
    for (const auto& s : alice.log.States())
      if (s == kInterrupted) return true;
    return false;
  };
  ASSERT_TRUE(Eventually(lost, 8000));
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  Pass(11000);
  for (long long id : ids) EXPECT_NE(-1, alice.log.ResultOf(id, 5000)) << id;
  EXPECT_EQ(ids.size(), alice.log.Count(Event::kSendResult));
}

constexpr char kChildVariable[] = "VORTM_QUIET_OUTPUT_CHILD";

// Login refused by the gateway, two logins, a delivered and a stored message, the log file
// opened half-way, logouts and releases. Returns 0 when every step gave its result.
int RunSession(const std::string& params, const std::string& dir) {
  Client alice(params, "alice"), bob(params, "bob");
  // The parent's gateway refuses the first login.
  if (alice->login("t", "alice") != 0 || !alice.log.WaitFor(Event::kLoginFailure)) return 12;
  if (!alice.Login()) return 13;
  if (bob->setLogFile(dir.c_str()) != 0 || !bob.Login()) return 14;
  for (const char* peer : {"bob", "carol"}) alice.Send(peer, "hello", /*offline=*/true);
  if (!bob.log.WaitFor(Event::kMessage) || !alice.log.WaitFor(Event::kSendResult, 2)) return 16;
  alice->logout();
  bob->logout();
  return 0;
}

// A whole session runs in a child process whose two streams go to files; both must stay
// empty. The runtime's own lines go to the library's log once setLogFile has opened one.
TEST(QuietOutputTest, FullSessionWritesNothingToStandardOutputOrError) {
  if (const char* spec = getenv(kChildVariable)) {
    std::istringstream in(spec);
    std::string address, dir;
    int port = 0;
    in >> address >> port >> dir;
    // From here on, whatever reaches the two streams came from the library.
    fflush(stdout);
    fflush(stderr);
    int out = open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(2);
    int code = RunSession(GatewayParams(address, port), dir);
    fflush(stdout);
    fflush(stderr);
    _exit(code);
  }
  local_service::LocalService svc(ServiceOptions());
  std::string error;
  ASSERT_TRUE(svc.Start(&error)) << error;
  svc.SetGatewayMode(local_service::GatewayMode::kCode, 7, 1);
  vy_test::TempDir dir;
  std::string command = std::string(kChildVariable) + "='" + svc.address() + " " +
                        std::to_string(svc.http_port()) + " " + dir.path() + "' " + SelfPath() +
                        " --gtest_filter=QuietOutputTest.* >/dev/null 2>&1";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("", ReadFile(dir.File("stdout")));
  EXPECT_EQ("", ReadFile(dir.File("stderr")));
  // Runtime lines from after setLogFile are in the log, at their own level.
  std::string log = ReadFile(dir.File("vy_rtm_sdk.log"));
  EXPECT_THAT(
      log, ::testing::ContainsRegex(R"(\[info\] \([0-9:]+\); \(async_http_request\.cc:[0-9]+\): )"
                                    "HttpRequest completed successfully\n"));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("\n\n")));
}

}  // namespace
}  // namespace rtm_test
