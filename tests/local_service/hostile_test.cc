// The hostile modes: a flood of packets, a server that goes silent after login, and one that
// never answers a re-login.
#include <errno.h>
#include <sys/socket.h>

#include <string>

#include "test_util.h"

namespace local_service_test {
namespace {

using local_service::Flood;
using local_service::LoginMode;

class FloodTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
  }
  RawClient a_;
};

TEST_F(FloodTest, NumberedFloodSendsEveryPacketInOrderThenStops) {
  Flood flood;
  flood.cmd = "RecvMsgFromPeer";
  flood.body = R"({"MsgId":{n},"FromUId":"bob","Again":{n}})";
  flood.packets = 3000;
  ASSERT_TRUE(svc_.StartFlood("alice", flood));
  for (int i = 1; i <= 3000; ++i) {
    auto p = a_.Read();
    ASSERT_TRUE(p) << "packet " << i;
    ASSERT_EQ("RecvMsgFromPeer", p->cmd);
    ASSERT_TRUE(p->encrypted);
    ASSERT_EQ(i, IntOf(p->body, "MsgId"));
    ASSERT_EQ(i, IntOf(p->body, "Again"));
  }
  EXPECT_FALSE(a_.Read(200));
  EXPECT_EQ(3000, svc_.flood_packets());
}

TEST_F(FloodTest, EndlessFloodRunsUntilStoppedAndTheClientIsStillServed) {
  ASSERT_TRUE(svc_.StartFlood("alice", Flood{}));
  ASSERT_TRUE(a_.Send("CheckNetStatus", R"({"Time":1})"));
  int keepalives = 0;
  while (true) {
    auto p = a_.Read();
    ASSERT_TRUE(p);
    if (p->cmd == "CheckNetStatusAck") break;
    ASSERT_EQ("KeepAlive", p->cmd);
    ++keepalives;
  }
  svc_.StopFlood("alice");
  int64_t sent = svc_.flood_packets();
  EXPECT_GT(sent, 1000);
  while (a_.Read(200)) ++keepalives;
  EXPECT_EQ(sent, keepalives);
  EXPECT_EQ(sent, svc_.flood_packets());
}

TEST_F(FloodTest, FloodOfAnUnknownUserIsRefused) {
  EXPECT_FALSE(svc_.StartFlood("nobody", Flood{}));
}

// Silent connections outlive a supervision that drops everything quiet for 100 ms.
local_service::Options SilentOptions() {
  local_service::Options o = TestOptions();
  o.keepalive_timeout_ms = 100;
  o.tcp_recv_buffer = 4096;
  return o;
}

class SilentTest : public ServiceTest {
 protected:
  SilentTest() : ServiceTest(SilentOptions()) {}
};

TEST_F(SilentTest, SilentAfterLoginAnswersTheLoginThenNeitherReadsNorWrites) {
  svc_.SetLoginMode(LoginMode::kSilentAfterLogin);
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  ASSERT_TRUE(a.Send("CheckNetStatus", R"({"Time":1})"));
  EXPECT_FALSE(a.ReadCmd("CheckNetStatusAck", 400));
  EXPECT_TRUE(svc_.IsOnline("alice"));
  // Unread bytes close the window: writes soon block instead of failing on a closed
  // connection, as they would if the service read (and refused) them.
  std::string chunk(1024, 'x');
  size_t written = 0;
  while (written < 64u * 1024 * 1024) {
    ssize_t n = send(a.fd(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
      break;
    }
    written += static_cast<size_t>(n);
  }
  EXPECT_LT(written, 64u * 1024 * 1024);
}

TEST_F(SilentTest, SilentOnReLoginAnswersOnlyTheFirstLoginOfAUser) {
  svc_.SetLoginMode(LoginMode::kSilentOnReLogin);
  RawClient first;
  ASSERT_TRUE(first.LoginVia(svc_, "alice"));
  first.Close();
  RawClient bob;
  EXPECT_TRUE(bob.LoginVia(svc_, "bob"));

  auto gw = AskGateway(svc_.address(), svc_.http_port(), "alice");
  ASSERT_EQ(0, gw.code);
  RawClient again;
  ASSERT_TRUE(again.Connect(gw.addr, gw.port));
  ASSERT_TRUE(again.SendLogin("alice", gw.session));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 2, kWaitMs));
  EXPECT_FALSE(again.Read(400));
  EXPECT_FALSE(again.WaitClosed(0));

  svc_.SetLoginMode(LoginMode::kNormal);
  RawClient later;
  EXPECT_TRUE(later.LoginVia(svc_, "alice"));
}

}  // namespace
}  // namespace local_service_test
