// The service's own send and receive paths against the local test service: envelopes built,
// framed and queued by doSendMsg, and received ones unwrapped, logged and routed.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/json_util.h"
#include "core/rtc_log.h"
#include "core/thread_mgr.h"
#include "core/vy_rtm_service.h"
#include "local_service/local_service.h"
#include "rtc_base/helpers.h"
#include "rtc_base/temp_dir.h"

namespace vy {

namespace {

const char kAppId[] = "0123456789abcdef0123456789abcdef";
const char kUser[] = "carol";

class QuietHandler : public rtm::IRtmServiceEventHandler {};

struct Seen {
  std::string cmd;
  int64_t msg_id;
  int code;
  std::string body;
};

class ServiceTransportTest : public ::testing::Test {
 protected:
  ServiceTransportTest() : svc_({.address = "auto", .http_port = 0}) {}

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
    service_ = static_cast<VyRtmService*>(createRtmService());
    ASSERT_EQ(0, service_->initialize(kAppId, &handler_));
    ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
    OnWorker([this] {
      for (const char* name : CommandRouter::kCommandNames) {
        service_->router().SetHandler(name, [this, name](const rapidjson::Value& c) {
          std::lock_guard<std::mutex> lock(mu_);
          seen_.push_back({name, GetJsonInt64(c, "MsgId"), GetJsonInt(c, "Code"),
                           GetJsonStr(c, "MsgBody")});
        });
      }
    });
  }
  void TearDown() override {
    if (service_ != nullptr) service_->release(true);
    CloseRtcLog();
  }

  void OnWorker(std::function<void()> fn) {
    ThreadMgr::Inst()->Invoke<void>(RTC_FROM_HERE, [&fn] { fn(); });
  }
  int ServerStatus() {
    return ThreadMgr::Inst()->Invoke<int>(RTC_FROM_HERE, [this] { return service_->ServerStatus(); });
  }
  bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
  }
  std::vector<Seen> SeenNow() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }
  bool SeenCmd(const std::string& cmd) {
    for (const Seen& s : SeenNow()) {
      if (s.cmd == cmd) return true;
    }
    return false;
  }
  std::string LogText() {
    std::ifstream in(dir_.File("vy_rtm_sdk.log"));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // Gateway, connect and "Login", as the session does it.
  void LogIn() {
    httplib::Client http(svc_.address(), svc_.http_port());
    auto res = http.Post("/vyapi/v1?action=wrtm_gateway",
                         std::string(R"({"cType":2,"appId":")") + kAppId + R"(","uid":")" +
                             kUser + R"(","wss":false})",
                         "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    rapidjson::Document doc;
    doc.Parse(res->body.c_str());
    std::string session = GetJsonStr(doc, "sessionid");
    const rapidjson::Value& addr = doc["addresses"][0];
    std::string host = GetJsonStr(addr, "addr");
    int port = GetJsonInt(addr, "port");
    OnWorker([&] { service_->ConnectServer(host, port); });
    ASSERT_TRUE(WaitFor([&] { return ServerStatus() == XNetClient::kConnected; }));
    OnWorker([&] {
      service_->RenewMsgCrypt();
      service_->doSendMsg("Login", std::string(R"({"UserId":")") + kUser +
                                       R"(","UserSId":"x","SessionId":")" + session +
                                       R"(","SdkVer":"1.0.2.0","ClientSyncCall":true,)"
                                       R"("ListenUserStatus":true})");
    });
    ASSERT_TRUE(WaitFor([&] { return SeenCmd("Login"); }));
    EXPECT_EQ(0, SeenNow()[0].code);
  }

  local_service::LocalService svc_;
  vy_test::TempDir dir_;
  QuietHandler handler_;
  VyRtmService* service_ = nullptr;
  std::mutex mu_;
  std::vector<Seen> seen_;
};

TEST_F(ServiceTransportTest, ServiceExchangesEncryptedEnvelopesWithTheServer) {
  LogIn();
  OnWorker([this] {
    service_->doSendMsg("SendMsgToPeer",
                        R"({"MsgId":4242,"ToUId":"dave","MsgType":1,"MsgBody":"hi"})");
  });
  ASSERT_TRUE(WaitFor([&] { return SeenCmd("MsgStatus"); }));
  svc_.Push(kUser, "RecvMsgFromPeer", R"({"MsgId":9,"FromUId":"dave","MsgType":1,"MsgBody":"yo"})");
  ASSERT_TRUE(WaitFor([&] { return SeenCmd("RecvMsgFromPeer"); }));
  for (const Seen& s : SeenNow()) {
    if (s.cmd == "MsgStatus") EXPECT_EQ(4242, s.msg_id);
    if (s.cmd == "RecvMsgFromPeer") EXPECT_EQ("yo", s.body);
  }
  for (const auto& c : svc_.Log(kUser)) {
    EXPECT_TRUE(c.encrypted) << c.cmd;
    EXPECT_EQ(0, c.crypt_result) << c.cmd;
  }
  std::string log = LogText();
  EXPECT_NE(std::string::npos,
            log.find(R"(SEND cmd=SendMsgToPeer content={"MsgId":4242,"ToUId":"dave")"));
  EXPECT_NE(std::string::npos, log.find(R"(Recv cmd=RecvMsgFromPeer  content={"MsgId":9,)"));
  EXPECT_NE(std::string::npos, log.find("Recv cmd=Login  content="));
  EXPECT_EQ(std::string::npos, log.find("SEND cmd=Login"));
}

TEST_F(ServiceTransportTest, ContentsAboveTheLimitAreLoggedAsTooLong) {
  LogIn();
  std::string prefix = R"({"MsgId":1,"FromUId":"d","MsgType":1,"MsgBody":")";
  std::string at_limit = prefix + std::string(1024 - prefix.size() - 2, 'a') + "\"}";
  std::string over = prefix + std::string(1025 - prefix.size() - 2, 'b') + "\"}";
  ASSERT_EQ(1024u, at_limit.size());
  svc_.Push(kUser, "RecvMsgFromPeer", at_limit);
  svc_.Push(kUser, "RecvMsgFromPeer", over);
  ASSERT_TRUE(WaitFor([&] { return SeenNow().size() == 3; }));
  std::string log = LogText();
  EXPECT_NE(std::string::npos, log.find("Recv cmd=RecvMsgFromPeer  content=" + at_limit));
  EXPECT_NE(std::string::npos, log.find("Recv cmd=RecvMsgFromPeer  content=content too long..."));
  EXPECT_EQ(std::string::npos, log.find(std::string(50, 'b')));
}

TEST_F(ServiceTransportTest, DamagedContentIsDroppedWithALogLine) {
  LogIn();
  svc_.AddFault({.direction = local_service::Direction::kToClient,
                 .cmd = "RecvMsgFromPeer",
                 .action = local_service::FaultAction::kCorruptSignature,
                 .times = 1});
  svc_.Push(kUser, "RecvMsgFromPeer", R"({"MsgId":1,"FromUId":"d","MsgType":1,"MsgBody":"x"})");
  svc_.Push(kUser, "MsgStatus", R"({"MsgId":2,"Status":0})");
  ASSERT_TRUE(WaitFor([&] { return SeenCmd("MsgStatus"); }));
  EXPECT_FALSE(SeenCmd("RecvMsgFromPeer"));
  EXPECT_NE(std::string::npos,
            LogText().find("Recv cmd=RecvMsgFromPeer dropped: content failed decryption (-40001)"));
}

TEST_F(ServiceTransportTest, BrokenStreamDropsTheConnectionOnTheNextPass) {
  LogIn();
  svc_.AddFault({.direction = local_service::Direction::kToClient,
                 .action = local_service::FaultAction::kBadFrameLength,
                 .value = 3,
                 .times = 1});
  svc_.Push(kUser, "MsgStatus", R"({"MsgId":2,"Status":0})");
  ASSERT_TRUE(WaitFor([&] { return ServerStatus() == -1; }));
  EXPECT_NE(std::string::npos, LogText().find("Recv stream broken"));
  EXPECT_FALSE(SeenCmd("MsgStatus"));
  EXPECT_TRUE(WaitFor([&] { return !svc_.IsOnline(kUser); }));
}

class FailingGenerator : public rtc::RandomGenerator {
 public:
  bool Init(const void*, size_t) override { return false; }
  bool Generate(void*, size_t) override { return false; }
};

TEST_F(ServiceTransportTest, CommandsWithoutARandomNonceAreRefusedNotSent) {
  LogIn();
  OnWorker([this] {
    rtc::SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>());
    service_->doSendMsg("KeepAlive", "");
    service_->doSendMsg("SendMsgToPeer", R"({"MsgId":5,"ToUId":"dave","MsgType":1,"MsgBody":"a"})");
    rtc::SetRandomTestMode(false);
    service_->doSendMsg("SendMsgToPeer", R"({"MsgId":6,"ToUId":"dave","MsgType":1,"MsgBody":"b"})");
  });
  ASSERT_TRUE(WaitFor([&] { return SeenCmd("MsgStatus"); }));
  std::vector<local_service::ReceivedCommand> log = svc_.Log(kUser);
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("Login", log[0].cmd);
  EXPECT_EQ("SendMsgToPeer", log[1].cmd);
  EXPECT_NE(std::string::npos, log[1].content.find(R"("MsgId":6)"));
  EXPECT_EQ(0, log[1].crypt_result);
  std::string text = LogText();
  EXPECT_NE(std::string::npos, text.find("SEND refused: cmd=KeepAlive, no random nonce"));
  EXPECT_NE(std::string::npos, text.find("SEND refused: cmd=SendMsgToPeer, no random nonce"));
  EXPECT_TRUE(svc_.IsOnline(kUser));
}

TEST_F(ServiceTransportTest, DollarFramingFromTheServerCarriesTheLaterCommandsAndBoundsTheirSize) {
  svc_.AddFault({.direction = local_service::Direction::kToClient,
                 .action = local_service::FaultAction::kDollarFraming,
                 .times = 1});
  LogIn();
  EXPECT_EQ('$', ThreadMgr::Inst()->Invoke<char>(RTC_FROM_HERE,
                                                  [this] { return service_->marker(); }));
  // The commands after the Login travel in '$' framing both ways and are answered.
  OnWorker([this] {
    service_->doSendMsg("SendMsgToPeer",
                        R"({"MsgId":77,"ToUId":"dave","MsgType":1,"MsgBody":"in dollars"})");
    service_->doSendMsg("KeepAlive", "");
  });
  ASSERT_TRUE(WaitFor([&] { return SeenCmd("MsgStatus"); }));
  ASSERT_TRUE(svc_.WaitForCommand(kUser, "KeepAlive", 1, 5000));
  for (const Seen& s : SeenNow()) {
    if (s.cmd == "MsgStatus") EXPECT_EQ(77, s.msg_id);
  }
  std::vector<local_service::ReceivedCommand> log = svc_.Log(kUser);
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("Login", log[0].cmd);
  EXPECT_EQ('#', log[0].framing);
  EXPECT_EQ("SendMsgToPeer", log[1].cmd);
  EXPECT_EQ('$', log[1].framing);
  EXPECT_NE(std::string::npos, log[1].content.find("in dollars"));
  EXPECT_EQ("KeepAlive", log[2].cmd);
  EXPECT_EQ('$', log[2].framing);
  for (const auto& c : log) EXPECT_EQ(0, c.crypt_result) << c.cmd;
  EXPECT_TRUE(svc_.Warnings().empty());
  // A body the 16-bit length cannot carry is refused whole, with a log line.
  OnWorker([this] {
    service_->doSendMsg("SendMsgToPeer", R"({"MsgId":78,"ToUId":"dave","MsgType":1,"MsgBody":")" +
                                             std::string(70000, 'x') + "\"}");
  });
  EXPECT_TRUE(WaitFor([&] { return LogText().find("SEND refused") != std::string::npos; }));
  EXPECT_TRUE(svc_.IsOnline(kUser));
}

}  // namespace

}  // namespace vy
