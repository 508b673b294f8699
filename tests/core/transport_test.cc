// The service's send and receive paths against the local test service, an independent server:
// envelopes built, framed and queued by doSendMsg, received ones unwrapped, logged and routed;
// and the gateway lookup against nginx answering with a fixed body.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <string>
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

using local_service::FaultAction;
using local_service::FaultRule;
const char kAppId[] = "0123456789abcdef0123456789abcdef";
const char kUser[] = "carol";
const local_service::Direction kToClient = local_service::Direction::kToClient;

class TransportTest : public ::testing::Test, public rtm::IRtmServiceEventHandler {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
    service_ = static_cast<VyRtmService*>(createRtmService());
    ASSERT_EQ(0, service_->initialize(kAppId, this));
    ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  }
  void TearDown() override {
    if (service_ != nullptr) service_->release(true);
    CloseRtcLog();
  }

  void onLoginSuccess() override { Note("login:0"); }
  void onLoginFailure(rtm::LOGIN_ERR_CODE code) override { Note("login:" + std::to_string(code)); }
  // Called on the worker for every command the router delivers, and for the login result.
  void Note(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu_);
    seen_.push_back(what);
    cv_.notify_all();
  }
  // Waits for `done`, checked whenever the worker notes something and every few milliseconds.
  bool WaitFor(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
  }
  std::vector<std::string> SeenNow() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }
  bool Seen(const std::string& what) {
    std::vector<std::string> seen = SeenNow();
    return std::find(seen.begin(), seen.end(), what) != seen.end();
  }
  template <typename T>
  T OnWorker(std::function<T()> fn) {
    return ThreadMgr::Inst()->Invoke<T>(RTC_FROM_HERE, std::move(fn));
  }
  std::string LogText() {
    std::stringstream ss;
    ss << std::ifstream(dir_.File("vy_rtm_sdk.log")).rdbuf();
    return ss.str();
  }
  std::string GatewayAnswer(const std::string& user, const std::string& token = "") {
    httplib::Client http(svc_.address(), svc_.http_port());
    auto res = http.Post("/vyapi/v1?action=wrtm_gateway",
                         std::string(R"({"cType":2,"appId":")") + kAppId + R"(","uid":")" + user +
                             (token.empty() ? "" : R"(","token":")" + token) + R"(","wss":false})",
                         "application/x-www-form-urlencoded");
    return res ? res->body : "";
  }

  // Gateway, connect and "Login" by hand, with every command the router knows noted as
  // "cmd:MsgId:MsgBody" in place of the session's own handlers.
  void LogIn() {
    OnWorker<void>([this] {
      for (const char* name : CommandRouter::kCommandNames) {
        service_->router().SetHandler(name, [this, name](const rapidjson::Value& c) {
          Note(std::string(name) + ":" + std::to_string(GetJsonInt64(c, "MsgId")) + ":" +
               GetJsonStr(c, "MsgBody"));
        });
      }
    });
    rapidjson::Document doc;
    doc.Parse(GatewayAnswer(kUser).c_str());
    ASSERT_TRUE(doc.IsObject());
    std::string host = GetJsonStr(doc["addresses"][0], "addr"), session = GetJsonStr(doc, "sessionid");
    int port = GetJsonInt(doc["addresses"][0], "port");
    OnWorker<void>([&] { service_->ConnectServer(host, port); });
    ASSERT_TRUE(WaitFor([&] { return OnWorker<int>([&] { return service_->ServerStatus(); }) == XNetClient::kConnected; }));
    OnWorker<void>([&] {
      service_->RenewMsgCrypt();
      service_->doSendMsg("Login", std::string(R"({"UserId":")") + kUser +
                                       R"(","UserSId":"x","SessionId":")" + session +
                                       R"(","SdkVer":"1.0.2.0","ClientSyncCall":true,)"
                                       R"("ListenUserStatus":true})");
    });
    ASSERT_TRUE(WaitFor([&] { return Seen("Login:-1:"); }));
  }
  void Push(const std::string& cmd, const std::string& body) { svc_.Push(kUser, cmd, body); }
  std::string Message(int id, const std::string& body) {
    return R"({"MsgId":)" + std::to_string(id) + R"(,"FromUId":"d","MsgType":1,"MsgBody":")" + body + "\"}";
  }
  void Send(const std::string& cmd, const std::string& body) {
    OnWorker<void>([&] { service_->doSendMsg(cmd, body); });
  }

  local_service::LocalService svc_{{.address = "auto", .http_port = 0}};
  vy_test::TempDir dir_;
  VyRtmService* service_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> seen_;
};

TEST_F(TransportTest, EncryptedEnvelopesTravelBothWaysAndAreLoggedExceptTheLogin) {
  LogIn();
  Send("SendMsgToPeer", R"({"MsgId":4242,"ToUId":"dave","MsgType":1,"MsgBody":"hi"})");
  const std::string big(20000, 'z');
  const std::string at_limit = Message(2, std::string(1024 - Message(2, "").size(), 'a'));
  Push("RecvMsgFromPeer", Message(9, big));
  Push("RecvMsgFromPeer", at_limit);
  Push("RecvMsgFromPeer", Message(3, std::string(1025 - Message(3, "").size(), 'b')));
  ASSERT_TRUE(WaitFor([&] { return SeenNow().size() == 5; }));
  EXPECT_TRUE(Seen("MsgStatus:4242:"));
  EXPECT_TRUE(Seen("RecvMsgFromPeer:9:" + big));
  std::vector<local_service::ReceivedCommand> log = svc_.Log(kUser);
  EXPECT_EQ((std::vector<std::string>{"Cmd", "AppId", "Encrypt", "TimeStamp", "Nonce", "Signature",
                                      "Content"}),
            log[0].envelope_keys);
  for (const auto& c : log) EXPECT_TRUE(c.encrypted && c.crypt_result == 0) << c.cmd;
  std::string text = LogText();
  EXPECT_NE(std::string::npos, text.find(R"(SEND cmd=SendMsgToPeer content={"MsgId":4242,)"));
  EXPECT_NE(std::string::npos, text.find("Recv cmd=Login  content="));
  EXPECT_EQ(std::string::npos, text.find("SEND cmd=Login"));  // its body carries the token
  EXPECT_NE(std::string::npos, text.find("Recv cmd=RecvMsgFromPeer  content=" + at_limit));
  EXPECT_NE(std::string::npos, text.find("Recv cmd=RecvMsgFromPeer  content=content too long..."));
  EXPECT_EQ(std::string::npos, text.find(std::string(50, 'b')));
}

TEST_F(TransportTest, DamagedContentIsDroppedWithALogLineAndTheStreamGoesOnUntilItBreaks) {
  LogIn();
  const FaultAction dropped[] = {FaultAction::kCorruptSignature, FaultAction::kWrongAppId,
                                 FaultAction::kBadBase64, FaultAction::kBadPadding,
                                 FaultAction::kOversizeInnerLength};
  for (FaultAction action : dropped) {
    svc_.AddFault({.direction = kToClient, .cmd = "RecvMsgFromPeer", .action = action, .times = 1});
    Push("RecvMsgFromPeer", Message(1, "bad"));
  }
  // Garbage before a packet is skipped; a packet split over several writes is put together.
  svc_.AddFault({.direction = kToClient, .action = FaultAction::kGarbageBefore, .value = 7, .times = 1});
  Push("RecvMsgFromPeer", Message(2, "after garbage"));
  svc_.AddFault({.direction = kToClient, .action = FaultAction::kSplit, .value = 3, .times = 1});
  Push("RecvMsgFromPeer", Message(3, "split"));
  ASSERT_TRUE(WaitFor([&] { return Seen("RecvMsgFromPeer:3:split"); }));
  EXPECT_EQ((std::vector<std::string>{"Login:-1:", "RecvMsgFromPeer:2:after garbage",
                                      "RecvMsgFromPeer:3:split"}),
            SeenNow());
  std::string text = LogText();
  size_t drops = 0;
  for (size_t at = 0; (at = text.find("dropped: content failed decryption", at + 1)) != std::string::npos;) ++drops;
  EXPECT_EQ(5u, drops);
  EXPECT_NE(std::string::npos, text.find("Recv cmd=RecvMsgFromPeer dropped: content failed decryption (-40001)"));
  // A length the framing cannot hold breaks the stream: the connection goes on the next pass.
  svc_.AddFault({.direction = kToClient, .action = FaultAction::kBadFrameLength, .value = 3, .times = 1});
  Push("MsgStatus", R"({"MsgId":2,"Status":0})");
  ASSERT_TRUE(WaitFor([&] { return OnWorker<int>([&] { return service_->ServerStatus(); }) == -1; }));
  EXPECT_NE(std::string::npos, LogText().find("Recv stream broken"));
  EXPECT_FALSE(Seen("MsgStatus:2:"));
  EXPECT_TRUE(WaitFor([&] { return !svc_.IsOnline(kUser); }));
}

TEST_F(TransportTest, CommandsWithoutARandomNonceAreRefusedNotSent) {
  LogIn();
  class FailingGenerator : public rtc::RandomGenerator {
    bool Init(const void*, size_t) override { return false; }
    bool Generate(void*, size_t) override { return false; }
  };
  OnWorker<void>([this] {
    rtc::SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>());
    service_->doSendMsg("KeepAlive", "");
    service_->doSendMsg("SendMsgToPeer", R"({"MsgId":5,"ToUId":"dave","MsgType":1,"MsgBody":"a"})");
    rtc::SetRandomTestMode(false);
    service_->doSendMsg("SendMsgToPeer", R"({"MsgId":6,"ToUId":"dave","MsgType":1,"MsgBody":"b"})");
  });
  ASSERT_TRUE(WaitFor([&] { return Seen("MsgStatus:6:"); }));
  std::vector<local_service::ReceivedCommand> log = svc_.Log(kUser);
  ASSERT_EQ(2u, log.size());  // the Login and the last one
  EXPECT_NE(std::string::npos, log[1].content.find(R"("MsgId":6)"));
  std::string text = LogText();
  EXPECT_NE(std::string::npos, text.find("SEND refused: cmd=KeepAlive, no random nonce"));
  EXPECT_NE(std::string::npos, text.find("SEND refused: cmd=SendMsgToPeer, no random nonce"));
  EXPECT_TRUE(svc_.IsOnline(kUser));
}

TEST_F(TransportTest, DollarFramingFromTheServerCarriesTheLaterCommandsAndBoundsTheirSize) {
  svc_.AddFault({.direction = kToClient, .action = FaultAction::kDollarFraming, .times = 1});
  LogIn();
  EXPECT_EQ('$', OnWorker<char>([this] { return service_->marker(); }));
  Send("SendMsgToPeer", R"({"MsgId":77,"ToUId":"dave","MsgType":1,"MsgBody":"in dollars"})");
  Send("KeepAlive", "");
  ASSERT_TRUE(WaitFor([&] { return Seen("MsgStatus:77:"); }));
  ASSERT_TRUE(svc_.WaitForCommand(kUser, "KeepAlive", 1, 5000));
  std::string framings;
  for (const auto& c : svc_.Log(kUser)) framings += c.cmd + c.framing + std::to_string(c.crypt_result) + " ";
  EXPECT_EQ("Login#0 SendMsgToPeer$0 KeepAlive$0 ", framings);
  EXPECT_TRUE(svc_.Warnings().empty());
  // A body the 16-bit length cannot carry is refused whole, with a log line.
  Send("SendMsgToPeer", R"({"MsgId":78,"ToUId":"dave","MsgType":1,"MsgBody":")" + std::string(70000, 'x') + "\"}");
  EXPECT_NE(std::string::npos, LogText().find("SEND refused"));
  EXPECT_TRUE(svc_.IsOnline(kUser));
}

// nginx in the foreground on a free loopback port, answering /vyapi/v1 with a fixed body.
class FixedGateway {
 public:
  explicit FixedGateway(const std::string& answer) {
    for (int attempt = 0; attempt < 5 && !Started(answer); ++attempt) Stop();
  }
  ~FixedGateway() { Stop(); }
  int port = 0;

 private:
  bool Started(const std::string& answer) {
    port = 20000 + static_cast<int>(rtc::CreateRandomId() % 40000);
    std::ofstream(dir_.File("nginx.conf"))
        << "daemon off; master_process off; error_log " << dir_.path() << "/error.log; pid "
        << dir_.path() << "/nginx.pid; events {} http { access_log off; client_body_temp_path "
        << dir_.path() << "; proxy_temp_path " << dir_.path() << "; fastcgi_temp_path "
        << dir_.path() << "; uwsgi_temp_path " << dir_.path() << "; scgi_temp_path "
        << dir_.path() << "; server { listen 127.0.0.1:"
        << port << "; location = /vyapi/v1 { default_type application/json; return 200 '"
        << answer << "'; } } }\n";
    if ((pid_ = fork()) == 0) {
      execl("/usr/sbin/nginx", "nginx", "-q", "-p", dir_.path().c_str(), "-c",
            dir_.File("nginx.conf").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Until it answers, or exits because the port was taken.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (httplib::Client("127.0.0.1", port).Get("/")) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return (pid_ = -1) > 0;
      std::this_thread::yield();
    }
    return false;
  }
  void Stop() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  vy_test::TempDir dir_;
  pid_t pid_ = -1;
};

TEST_F(TransportTest, GatewayAnswerFromAnotherServerIsReadAndItsServerLoggedInTo) {
  if (access("/usr/sbin/nginx", X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
  std::string answer = GatewayAnswer("alice", "tok");  // a real session, handed out by nginx
  ASSERT_EQ(std::string::npos, answer.find('\''));
  for (const std::string& body : {answer, std::string(R"({"code":6,"msg":"refused"})")}) {
    FixedGateway gateway(body);
    ASSERT_EQ(0, service_->setParameters((R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"127.0.0.1","Port":)" +
                                          std::to_string(gateway.port) + "}").c_str()));
    ASSERT_EQ(0, service_->login("tok", "alice"));
    ASSERT_TRUE(WaitFor([&] { return !SeenNow().empty(); }));
    EXPECT_EQ(body == answer ? "login:0" : "login:6", SeenNow()[0]);
    if (body == answer) EXPECT_TRUE(svc_.IsOnline("alice"));
    service_->logout();
    std::lock_guard<std::mutex> lock(mu_);
    seen_.clear();
  }
  EXPECT_EQ(1, svc_.gateway_requests());
  EXPECT_EQ(1, svc_.connections_accepted());
}

}  // namespace
}  // namespace vy
