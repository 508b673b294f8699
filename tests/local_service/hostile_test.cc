// The hostile modes (a flood of packets, a stalled connection, a server that goes silent after
// login or on a re-login) and mutated or random input, which never takes the service down.
#include <errno.h>
#include <gmock/gmock.h>
#include <sys/socket.h>

#include <random>
#include <string>

#include "raw_client.h"

namespace local_service_test {
namespace {

using local_service::Flood;
using local_service::LoginMode;
using ::testing::ElementsAre;

// Writes `packet` without blocking until the connection's window closes; the count written
// (the last perhaps in part), or -1 when the window stays open for 64 MiB.
int FillWindow(RawClient& client, const std::string& packet, std::string* unsent) {
  int bytes = 4096;
  setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
  for (int count = 0; count * packet.size() < 64u * 1024 * 1024; ++count) {
    ssize_t n = send(client.fd(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? count : -1;
    if (static_cast<size_t>(n) < packet.size()) {
      *unsent = packet.substr(static_cast<size_t>(n));
      return count + 1;
    }
  }
  return -1;
}

// A small receive buffer closes the window of a connection that is not read after a few KiB.
class HostileTest : public ServiceTest {
 protected:
  HostileTest()
      : ServiceTest({.address = "127.0.0.1",
                     .http_port = 0,
                     .keepalive_timeout_ms = 0,
                     .tcp_recv_buffer = 4096}) {}
};

TEST_F(HostileTest, FloodsSendEveryPacketInOrderAndTheClientIsStillServed) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  EXPECT_FALSE(svc_.StartFlood("nobody", Flood{}));
  ASSERT_TRUE(svc_.StartFlood("alice", {.cmd = "RecvMsgFromPeer",
                                        .body = R"({"MsgId":{n},"FromUId":"bob","Again":{n}})",
                                        .packets = 3000}));
  for (int i = 1; i <= 3000; ++i) {
    auto p = a.Read().value_or(Packet());
    ASSERT_EQ("RecvMsgFromPeer 1 " + std::to_string(i * 1001),
              p.cmd + " " + std::to_string(p.encrypted) + " " +
                  std::to_string(IntOf(p.body, "MsgId") * 1000 + IntOf(p.body, "Again")));
  }
  EXPECT_THAT(a.Barrier(), ElementsAre());
  // An endless one runs until stopped, and a command is answered meanwhile.
  ASSERT_TRUE(svc_.StartFlood("alice", Flood{}));
  size_t keepalives = a.Barrier().size();
  svc_.StopFlood("alice");
  int64_t sent = svc_.flood_packets() - 3000;
  EXPECT_GT(sent, 1000);
  auto rest = a.Barrier();
  EXPECT_EQ(sent, static_cast<int64_t>(keepalives + rest.size()));
  EXPECT_THAT(rest, testing::Each("KeepAlive"));
}

TEST_F(HostileTest, StalledAndSilentConnectionsAreNotRead) {
  RawClient a, b;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  ASSERT_TRUE(svc_.Stall("alice", true));
  local_service::MsgCrypt crypt(kAppId);
  std::string unsent, packet = local_service::EncodeFrame(local_service::BuildEncryptedEnvelope(
                          crypt, "CheckNetStatus", R"({"Time":1})", "1", "n"));
  int written = FillWindow(a, packet, &unsent);
  ASSERT_GT(written, 0);
  ASSERT_TRUE(svc_.Stall("alice", false));
  ASSERT_TRUE(a.SendBytes(unsent));
  EXPECT_EQ(std::vector<std::string>(written, "CheckNetStatusAck"), a.Barrier());

  svc_.SetKeepAliveTimeout(100);
  svc_.SetLoginMode(LoginMode::kSilentAfterLogin);
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  EXPECT_GT(FillWindow(a, local_service::EncodeFrame("{}"), &unsent), 0);
  // Bob, quiet after a normal login later, is dropped for it; the silent Alice is not.
  svc_.SetLoginMode(LoginMode::kNormal);
  ASSERT_TRUE(b.LoginVia(svc_, "bob"));
  EXPECT_TRUE(b.WaitClosed());
  EXPECT_TRUE(svc_.IsOnline("alice"));
}

TEST_F(HostileTest, SilentOnReLoginAnswersOnlyTheFirstLoginOfAUser) {
  svc_.SetLoginMode(LoginMode::kSilentOnReLogin);
  RawClient first, bob, again;
  ASSERT_TRUE(first.LoginVia(svc_, "alice"));
  first.Close();
  EXPECT_TRUE(bob.LoginVia(svc_, "bob"));
  auto gw = AskGateway(svc_, "alice");
  ASSERT_TRUE(again.Connect(gw.addr, gw.port));
  ASSERT_TRUE(again.SendLogin("alice", gw.session));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 2, kWaitMs));
  svc_.SetLoginMode(LoginMode::kNormal);
  EXPECT_TRUE(first.LoginVia(svc_, "alice"));
  // Everything the service ever wrote to the silent connection arrives before its close.
  svc_.Stop();
  EXPECT_FALSE(again.Read());
  EXPECT_TRUE(again.WaitClosed());
}

TEST(RobustnessTest, MutatedEnvelopesAndRandomBytesLeaveTheServiceServing) {
  local_service::LocalService svc(TestOptions());
  ASSERT_TRUE(svc.Start());
  RawClient a, b;
  ASSERT_TRUE(a.LoginVia(svc, "alice"));
  local_service::MsgCrypt crypt(kAppId);
  const std::string valid = local_service::BuildEncryptedEnvelope(
      crypt, "SendMsgToPeer",
      R"({"MsgId":1,"ToUId":"bob","MsgType":1,"MsgBody":"x","OfflineMsg":true})", "1", "nonce");
  std::mt19937 gen(1234);
  auto junk = [&](size_t size) {
    std::string bytes(size, '\0');
    for (auto& ch : bytes) ch = static_cast<char>(gen() % 256);
    return bytes;
  };
  for (int i = 0; i < 300; ++i) {
    std::string m = valid;
    for (int e = 1 + static_cast<int>(gen() % 4); e > 0 && !m.empty(); --e) {
      size_t pos = gen() % m.size();
      m = gen() % 2 ? m.substr(0, pos) + junk(gen() % 3) + m.substr(pos + 1) : m.erase(pos, 8);
    }
    ASSERT_TRUE(a.SendPayload(m.empty() ? "{" : m));
  }
  // Whatever the mutations let through, a later command is still answered.
  EXPECT_NE(std::vector<std::string>{"<none>"}, a.Barrier());
  // Random bytes on fresh connections and HTTP requests are refused and nothing else.
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(b.Connect(svc.address(), svc.tcp_port()));
    b.SendBytes((i % 2 ? "" : "#") + junk(1 + gen() % 64));
    HttpPost(svc, i % 2 ? kGatewayPath : kOfflinePath, junk(gen() % 128));
  }
  EXPECT_TRUE(b.LoginVia(svc, "bob"));
}

}  // namespace
}  // namespace local_service_test
