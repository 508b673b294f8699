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
  RunningFakeClock clock_;
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
