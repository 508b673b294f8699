// The library's framing, envelope, crypt and TCP client against the local test service, an
// independent implementation of the server side.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/command_router.h"
#include "core/envelope.h"
#include "core/js_buffer.h"
#include "core/rtc_tick.h"
#include "core/sync_msg_crypt.h"
#include "core/x_tcp_client.h"
#include "local_service/local_service.h"
#include "rapidjson/document.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/thread.h"

namespace vy {

namespace {

const std::string kAppId = "0123456789abcdef0123456789abcdef";
const char kUser[] = "alice";

struct Gateway {
  std::string session, addr;
  int port = 0;
};

Gateway AskGateway(const local_service::LocalService& svc) {
  httplib::Client http(svc.address(), svc.http_port());
  std::string body = R"({"cType":2,"appId":")" + kAppId + R"(","uid":")" + kUser +
                     R"(","wss":false})";
  Gateway gw;
  auto res = http.Post("/vyapi/v1?action=wrtm_gateway", body,
                       "application/x-www-form-urlencoded");
  if (!res) return gw;
  rapidjson::Document doc;
  doc.Parse(res->body.c_str());
  gw.session = GetJsonStr(doc, "sessionid");
  const rapidjson::Value* list = FindJsonMember(doc, "addresses");
  if (list != nullptr && list->IsArray()) {
    for (const rapidjson::Value& a : list->GetArray()) {
      if (GetJsonInt(a, "type") != 1) continue;
      gw.addr = GetJsonStr(a, "addr");
      gw.port = GetJsonInt(a, "port");
      break;
    }
  }
  return gw;
}

// The client side as the service wires it: bytes from the TCP client into the reassembler,
// envelopes unwrapped and routed; commands enveloped, framed and queued.
class ClientSide : public JSBuffer, public XNetClientCallback {
 public:
  explicit ClientSide(rtc::Thread* thread) : JSBuffer(true) {
    client_.reset(XNetClient::Create(*this, thread));
    for (const char* name : CommandRouter::kCommandNames) {
      router_.SetHandler(name, [this, name](const rapidjson::Value& c) {
        dispatched.push_back({name, GetJsonInt(c, "Code"), GetJsonStr(c, "MsgBody")});
      });
    }
  }

  void Send(const std::string& cmd, const std::string& body) {
    std::string envelope;
    BuildEnvelope(cmd, body, crypt_.get(), cmd == "Login" ? &kAppId : nullptr, 1733500000000,
                  &envelope);
    char header[JSBuffer::kHashHeaderSize];
    int n = WritePktLength(header, static_cast<int>(envelope.size()));
    std::string frame = std::string(header, static_cast<size_t>(n)) + envelope;
    client_->SendMessageX(frame);
  }
  void StartCrypt() {
    crypt_ = std::make_unique<zentho::SyncMsgCrypt>(zentho::kBuiltinSignToken,
                                                    zentho::kBuiltinEncodingKey, kAppId);
  }

  void OnRecvMessage(const char* payload, int length) override {
    ReceivedCommand cmd;
    EnvelopeResult r = UnwrapEnvelope(payload, length, crypt_.get(), &cmd);
    if (r != EnvelopeResult::kOk) {
      drops.push_back(r);
      return;
    }
    router_.Dispatch(cmd.cmd, cmd.content_doc);
  }
  void OnServerConnected() override { ++connected; }
  void OnServerDisconnect() override { ++disconnected; }
  void OnServerConnectionFailure() override { ++failures; }
  void OnNetworkChanged() override {}
  void OnTick() override {}
  void OnMessageSent(int) override {}
  void OnMessageRecv(const char* data, int length) override { RecvData(data, length); }

  struct Dispatch {
    std::string cmd;
    int code;
    std::string body;
  };
  std::vector<Dispatch> dispatched;
  std::vector<EnvelopeResult> drops;
  int connected = 0, disconnected = 0, failures = 0;
  std::unique_ptr<XNetClient> client_;

 private:
  std::unique_ptr<zentho::SyncMsgCrypt> crypt_;
  CommandRouter router_;
};

class TransportTest : public ::testing::Test {
 protected:
  TransportTest() : svc_({.address = "auto", .http_port = 0}), thread_(&ss_) {}

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
    side_ = std::make_unique<ClientSide>(&thread_);
    gw_ = AskGateway(svc_);
    ASSERT_FALSE(gw_.session.empty());
    side_->client_->Connect(gw_.addr, gw_.port, false);
    ASSERT_TRUE(Pump([&] { return side_->connected == 1; }));
    side_->StartCrypt();
    side_->Send("Login", R"({"UserId":"alice","UserSId":"s","SessionId":")" + gw_.session +
                             R"(","SdkVer":"1.0.2.0","ClientSyncCall":true,"ListenUserStatus":true})");
    ASSERT_TRUE(Pump([&] { return !side_->dispatched.empty(); }));
    ASSERT_EQ("Login", side_->dispatched[0].cmd);
    ASSERT_EQ(0, side_->dispatched[0].code);
    side_->dispatched.clear();
  }
  void TearDown() override {
    side_.reset();
    Pump([] { return false; }, 20);
  }

  bool Pump(const std::function<bool()>& done, int limit_ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < end) {
      thread_.ProcessMessages(1);
      MThreadTick::Inst()->DoProcess();
      if (done()) return true;
    }
    return done();
  }

  // Pushes a message that the test expects to be dropped, then a good one that must follow.
  void ExpectDroppedThenRecovered(local_service::FaultAction action, EnvelopeResult expected) {
    local_service::FaultRule rule;
    rule.direction = local_service::Direction::kToClient;
    rule.cmd = "RecvMsgFromPeer";
    rule.action = action;
    rule.times = 1;
    svc_.AddFault(rule);
    svc_.Push(kUser, "RecvMsgFromPeer", R"({"MsgId":1,"FromUId":"bob","MsgType":1,"MsgBody":"bad"})");
    svc_.Push(kUser, "RecvMsgFromPeer", R"({"MsgId":2,"FromUId":"bob","MsgType":1,"MsgBody":"good"})");
    ASSERT_TRUE(Pump([&] { return !side_->dispatched.empty(); }));
    EXPECT_EQ("good", side_->dispatched[0].body);
    EXPECT_EQ(1u, side_->dispatched.size());
    ASSERT_EQ(1u, side_->drops.size());
    EXPECT_EQ(expected, side_->drops[0]);
  }

  local_service::LocalService svc_;
  rtc::PhysicalSocketServer ss_;
  rtc::AutoSocketServerThread thread_;
  std::unique_ptr<ClientSide> side_;
  Gateway gw_;
};

TEST_F(TransportTest, ServiceAcceptsTheLoginEnvelopeAndItsKeyOrder) {
  std::vector<local_service::ReceivedCommand> log = svc_.Log(kUser);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("Login", log[0].cmd);
  EXPECT_EQ(0, log[0].crypt_result);
  EXPECT_EQ((std::vector<std::string>{"Cmd", "AppId", "Encrypt", "TimeStamp", "Nonce",
                                      "Signature", "Content"}),
            log[0].envelope_keys);
}

TEST_F(TransportTest, EncryptedCommandsTravelBothWays) {
  side_->Send("KeepAlive", "");
  side_->Send("QueryOnlineStatus", R"({"MsgId":77,"PeerIds":"[\"bob\"]"})");
  ASSERT_TRUE(svc_.WaitForCommand(kUser, "QueryOnlineStatus", 1, 0) ||
              Pump([&] { return svc_.WaitForCommand(kUser, "QueryOnlineStatus", 1, 0); }));
  for (const auto& c : svc_.Log(kUser)) {
    EXPECT_TRUE(c.encrypted) << c.cmd;
    EXPECT_EQ(0, c.crypt_result) << c.cmd;
    if (c.cmd == "QueryOnlineStatus") EXPECT_EQ(R"({"MsgId":77,"PeerIds":"[\"bob\"]"})", c.content);
  }
  std::string body(20000, 'z');
  svc_.Push(kUser, "RecvMsgFromPeer",
            R"({"MsgId":5,"FromUId":"bob","MsgType":1,"MsgBody":")" + body + R"("})");
  ASSERT_TRUE(Pump([&] { return !side_->dispatched.empty(); }));
  EXPECT_EQ("RecvMsgFromPeer", side_->dispatched[0].cmd);
  EXPECT_EQ(body, side_->dispatched[0].body);
  EXPECT_TRUE(side_->drops.empty());
}

TEST_F(TransportTest, DamagedContentsAreDroppedAndTheStreamGoesOn) {
  ExpectDroppedThenRecovered(local_service::FaultAction::kCorruptSignature,
                             EnvelopeResult::kDecryptFailed);
  side_->dispatched.clear();
  side_->drops.clear();
  ExpectDroppedThenRecovered(local_service::FaultAction::kWrongAppId,
                             EnvelopeResult::kDecryptFailed);
  side_->dispatched.clear();
  side_->drops.clear();
  ExpectDroppedThenRecovered(local_service::FaultAction::kBadBase64,
                             EnvelopeResult::kDecryptFailed);
  side_->dispatched.clear();
  side_->drops.clear();
  ExpectDroppedThenRecovered(local_service::FaultAction::kBadPadding,
                             EnvelopeResult::kDecryptFailed);
  side_->dispatched.clear();
  side_->drops.clear();
  ExpectDroppedThenRecovered(local_service::FaultAction::kOversizeInnerLength,
                             EnvelopeResult::kDecryptFailed);
}

TEST_F(TransportTest, GarbageAndSplitWritesStillDeliver) {
  local_service::FaultRule garbage{.direction = local_service::Direction::kToClient,
                                   .action = local_service::FaultAction::kGarbageBefore,
                                   .value = 7, .times = 1};
  local_service::FaultRule split{.direction = local_service::Direction::kToClient,
                                 .action = local_service::FaultAction::kSplit, .value = 3,
                                 .times = 1};
  svc_.AddFault(garbage);
  svc_.Push(kUser, "MsgStatus", R"({"MsgId":1,"Status":0})");
  svc_.AddFault(split);
  svc_.Push(kUser, "MsgStatus", R"({"MsgId":2,"Status":0})");
  ASSERT_TRUE(Pump([&] { return side_->dispatched.size() == 2; }));
  EXPECT_TRUE(side_->drops.empty());
  EXPECT_FALSE(side_->IsBroken());
}

TEST_F(TransportTest, ImpossibleFrameLengthBreaksTheStream) {
  svc_.AddFault({.direction = local_service::Direction::kToClient,
                 .action = local_service::FaultAction::kBadFrameLength, .value = 2,
                 .times = 1});
  svc_.Push(kUser, "MsgStatus", R"({"MsgId":1,"Status":0})");
  ASSERT_TRUE(Pump([&] { return side_->IsBroken(); }));
  EXPECT_TRUE(side_->dispatched.empty());
}

}  // namespace

}  // namespace vy
