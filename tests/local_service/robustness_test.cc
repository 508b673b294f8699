// Mutated and random input never takes the service down.
#include <gtest/gtest.h>

#include <random>

#include "test_util.h"

namespace local_service_test {
namespace {

using RobustnessTest = ServiceTest;

TEST_F(RobustnessTest, MutatedEnvelopesAreRefusedOneByOneAndTheConnectionStaysUsable) {
  RawClient a;
  ASSERT_TRUE(a.LoginVia(svc_, "alice"));
  local_service::MsgCrypt crypt(kAppId);
  std::string valid = local_service::BuildEncryptedEnvelope(
      crypt, "SendMsgToPeer",
      R"({"MsgId":1,"FromUId":"alice","ToUId":"bob","MsgType":1,"MsgBody":"x","OfflineMsg":true})",
      "1700000000000", "abcdefghij");
  std::mt19937 gen(1234);
  for (int i = 0; i < 300; ++i) {
    std::string m = valid;
    int edits = 1 + static_cast<int>(gen() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t pos = gen() % m.size();
      switch (gen() % 3) {
        case 0: m[pos] = static_cast<char>(gen() % 256); break;
        case 1: m.erase(pos, 1 + gen() % 8); break;
        default: m.insert(pos, 1, static_cast<char>(gen() % 256)); break;
      }
      if (m.empty()) m = "{";
    }
    ASSERT_TRUE(a.SendPayload(m));
  }
  ASSERT_TRUE(a.Send("CheckNetStatus", R"({"Time":9})"));
  // Whatever the mutations let through, the probe is still answered.
  auto ack = a.ReadCmd("CheckNetStatusAck", 10000);
  ASSERT_TRUE(ack);
  EXPECT_EQ(IntOf(ack->body, "Time"), 9);
  EXPECT_FALSE(svc_.Warnings().empty());
}

TEST_F(RobustnessTest, RandomBytesOnFreshConnectionsCloseThemAndNothingElse) {
  std::mt19937 gen(99);
  for (int i = 0; i < 30; ++i) {
    RawClient c;
    ASSERT_TRUE(c.Connect(svc_.address(), svc_.tcp_port()));
    std::string junk(1 + gen() % 64, '\0');
    for (auto& ch : junk) ch = static_cast<char>(gen() % 256);
    if (i % 2 == 0) junk[0] = '#';
    c.SendBytes(junk);
  }
  RawClient a;
  EXPECT_TRUE(a.LoginVia(svc_, "alice"));
}

TEST_F(RobustnessTest, HttpEndpointsSurviveRandomBodies) {
  std::mt19937 gen(7);
  for (int i = 0; i < 40; ++i) {
    std::string body(gen() % 128, '\0');
    for (auto& ch : body) ch = static_cast<char>(gen() % 256);
    HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1?action=wrtm_gateway", body);
    HttpPost(svc_.address(), svc_.http_port(), "/vyapi/v1/vortmgw/getOfflineMsg", body);
  }
  EXPECT_EQ(AskGateway(svc_.address(), svc_.http_port(), "alice").code, 0);
}

}  // namespace
}  // namespace local_service_test
