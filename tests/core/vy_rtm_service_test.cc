// The service object: without a server (threads, handlers, release, log settings), and its send
// and receive paths against the local test service, an independent server (envelopes built,
// framed and queued by doSendMsg; received ones unwrapped, logged and routed); the gateway
// lookup against nginx; and the pieces it runs on: the tick registry and the log.
#include "core/vy_rtm_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <vortm/rtm_service.h>

#include "core/json_util.h"
#include "core/rtc_log.h"
#include "core/rtc_tick.h"
#include "core/session_wire.h"
#include "core/thread_mgr.h"
#include "local_service/local_service.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/crypto/helpers.h"
#include "rtc_base/threads/event.h"
#include "tests/support/peer_process.h"
#include "tests/support/temp_dir.h"

namespace vy {
namespace {

using local_service::FaultAction;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";
constexpr char kConnecting[] = "state:2:1", kLoggedOut[] = "state:1:6";
const local_service::Direction kToClient = local_service::Direction::kToClient;

// Notes what the service reports as text, and wakes the waiters; `action` runs inside each
// report. Reports come on the worker, or the note says where it came from.
class Handler : public rtm::IRtmServiceEventHandler {
 public:
  void onConnectionStateChanged(rtm::CONNECTION_STATE state,
                                rtm::CONNECTION_CHANGE_REASON reason) override {
    Note("state:" + std::to_string(state) + ":" + std::to_string(reason));
  }
  // Renewals before a login are answered at once with 102: a fan-out that needs no session.
  void onRenewTokenResult(const char*, rtm::RENEW_TOKEN_ERR_CODE code) override {
    Note("renew:" + std::to_string(code));
  }
  void onLoginSuccess() override { Note("login:0"); }
  void onLoginFailure(rtm::LOGIN_ERR_CODE code) override { Note("login:" + std::to_string(code)); }
  void Note(const std::string& what) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      seen_.push_back(ThreadMgr::Inst()->IsCurrent() ? what : "off the worker: " + what);
      cv_.notify_all();
    }
    if (action) action();
  }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }
  size_t Count(const std::string& what) {
    std::vector<std::string> seen = Seen();
    return std::count(seen.begin(), seen.end(), what);
  }
  // Waits for `done`, checked whenever something is noted and every few milliseconds.
  bool WaitFor(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
  }
  std::function<void()> action;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> seen_;
};

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class VyRtmServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { service_ = static_cast<VyRtmService*>(createRtmService()); }
  void TearDown() override {
    if (service_ != nullptr) service_->release(true);
    CloseRtcLog();
  }
  std::string LogPath() { return dir_.File("vy_rtm_sdk.log"); }
  std::string LogText() {
    std::stringstream ss;
    ss << std::ifstream(LogPath()).rdbuf();
    return ss.str();
  }

  Handler h_[3];  // in ascending address order; they outlive the release
  VyRtmService* service_ = nullptr;
  vy_test::TempDir dir_;
};

TEST_F(VyRtmServiceTest, HandlersMayCallTheServiceAndChangeTheHandlerSetDuringAFanOut) {
  for (const std::string& id : {std::string(31, 'a'), std::string(33, 'a'), std::string()}) {
    EXPECT_EQ(-3, service_->initialize(id.c_str(), &h_[0])) << id;
  }
  EXPECT_EQ(-4, service_->initialize(kAppId, nullptr));
  ASSERT_EQ(0, service_->initialize(kAppId, &h_[0]));
  EXPECT_EQ(-2, service_->initialize(kAppId, &h_[2]));  // the first handler only
  service_->addEventHandler(&h_[0]);
  service_->addEventHandler(&h_[1]);
  service_->addEventHandler(nullptr);
  std::vector<int> results;
  h_[0].action = [&] {  // inline on the worker; removes itself, adds the last
    long long id = 0;
    results = {service_->initialize(kAppId, &h_[0]), service_->getUserAttributes("p", id), id != 0};
    service_->removeEventHandler(&h_[0]);
    service_->addEventHandler(&h_[2]);
  };
  EXPECT_EQ(rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN, service_->renewToken("t"));
  EXPECT_THAT(results, ElementsAre(-2, 102, 1));
  service_->renewToken("t");
  // Added during the fan-out, the last one hears only the next.
  EXPECT_THAT(h_[0].Seen(), ElementsAre("renew:102"));
  EXPECT_THAT(h_[1].Seen(), ElementsAre("renew:102", "renew:102"));
  EXPECT_THAT(h_[2].Seen(), ElementsAre("renew:102"));
}

TEST_F(VyRtmServiceTest, RequestIdsAreFilledOnTheCallersThreadFromAnyThread) {
  long long id = 0, next = 0, kept = 7;
  EXPECT_EQ(101, service_->getChannelAttributes("ch", id));
  EXPECT_EQ(101, service_->getChannelAttributes("ch", next));
  EXPECT_GE(id, rtc::TimeUTCMillis() - 60000);
  EXPECT_GT(next, id);  // even within one millisecond
  ASSERT_EQ(0, service_->initialize(kAppId, &h_[0]));
  EXPECT_EQ(102, service_->clearLocalUserAttributes(kept));
  EXPECT_EQ(7, kept);
  std::vector<std::thread> apps;  // threads the runtime never saw, each with its own service too
  for (Handler& handler : h_) {
    apps.emplace_back([&] {
      rtm::IRtmService* own = createRtmService();
      for (int i = 0; i < 50; ++i) EXPECT_EQ(-2, service_->initialize(kAppId, &handler));
      EXPECT_EQ(0, own->initialize(kAppId, &handler));
      own->renewToken("t");
      own->release(true);
    });
  }
  for (std::thread& app : apps) app.join();
  for (Handler& handler : h_) EXPECT_THAT(handler.Seen(), ElementsAre("renew:102"));
}

// Tells when the worker has deleted it.
class ObservedService : public VyRtmService {
 public:
  explicit ObservedService(rtc::Event* destroyed) : destroyed_(destroyed) {}
  ~ObservedService() override { destroyed_->Set(); }
  rtc::Event* destroyed_;
};

TEST(VyRtmServiceReleaseTest, ReleaseLogsOutEndsTheLoginAndTheWorkerDeletesTheService) {
  rtc::Event destroyed;
  auto* service = new ObservedService(&destroyed);
  Handler handler;
  ASSERT_EQ(0, service->initialize(kAppId, &handler));
  // Against a port where nothing listens the login reports connecting and gets no further.
  ASSERT_EQ(
      0, service->setParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"127.0.0.1","Port":1})"));
  ASSERT_EQ(0, service->login("t", "u"));
  size_t services = ThreadMgr::Inst()->ServiceCount();
  service->release(false);
  ASSERT_TRUE(destroyed.Wait(5000));
  EXPECT_EQ(services - 1, ThreadMgr::Inst()->ServiceCount());
  EXPECT_THAT(handler.Seen(), ElementsAre(kConnecting, kLoggedOut, "login:102"));
}

namespace fs = std::filesystem;
constexpr fs::perms kUserOnly = fs::perms::owner_read | fs::perms::owner_write;

TEST_F(VyRtmServiceTest, LogSettingsTakeEffectAtTheNextSetLogFile) {
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  createRtmService()->release(true);  // a second service writes its banner to the open log
  std::vector<std::string> lines = Lines(LogPath());
  ASSERT_EQ(8u, lines.size());  // the first banner was dropped while no log was open
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(R"(\[info\] \(\d\d:\d\d:\d\d\); API setLogFile filePath:.*/vy_rtm_sdk.log)")));
  EXPECT_THAT(lines[7], HasSubstr("; SEND cmd=Logout content="));
  EXPECT_EQ(-1, service_->setLogFileSize(-5));
  EXPECT_EQ(0, service_->setLogFileSize(1));
  EXPECT_EQ(0, service_->setLogFilter(static_cast<rtm::LOG_FILTER_TYPE>(7)));  // ignored
  EXPECT_EQ(0, service_->setLogFilter(rtm::LOG_FILTER_WARN));
  EXPECT_EQ(2048u * 1024, GetRtcLogStatus().max_file_bytes);
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  EXPECT_EQ(1024u, GetRtcLogStatus().max_file_bytes);
  EXPECT_EQ(kRtcLogWarning, GetRtcLogStatus().filter);
  // Lines are cut, and their tokens masked.
  RtcPrintf(kRtcLogInfo, "filtered");
  RtcPrintf(kRtcLogWarning, "%s", std::string(5000, 'x').c_str());
  EXPECT_EQ(kRtcLogMaxLine,
            Lines(LogPath()).back().size() - Lines(LogPath()).back().find("; ") - 2);
  RtcPrintf(kRtcLogWarning, "SEND cmd=RenewAcsToken content=%s", R"({"AcsToken":"s3cr3t"})");
  EXPECT_THAT(Lines(LogPath()).back(), HasSubstr(R"(content={"AcsToken":"***"})"));
  EXPECT_EQ(R"({"uid":"u","token": "***","wss":false})",
            MaskRtcLogSecrets(R"({"uid":"u","token": "a\"b","wss":false})"));
  for (const char* plain : {R"({"token":17})", R"({"tokens":"x"})", R"({"token":)"})
    EXPECT_EQ(plain, MaskRtcLogSecrets(plain));
  for (int i = 0; i < 30; ++i) RtcPrintf(kRtcLogWarning, "%s", std::string(100, 'r').c_str());
  EXPECT_LE(std::filesystem::file_size(LogPath()), 1024u);  // rotated at the limit
  EXPECT_THAT(Lines(LogPath()).back(), ::testing::EndsWith("; " + std::string(100, 'r')));
  // The log holds message texts: the backup too is the user's alone.
  EXPECT_EQ(kUserOnly, fs::status(dir_.File("vy_rtm_sdk.1.log")).permissions());
  // Bad folders are refused; one that cannot be opened closes the log.
  EXPECT_EQ(-1, service_->setLogFile(nullptr));
  EXPECT_EQ(-1, service_->setLogFile(std::string(1024 - 15, 'd').c_str()));
  EXPECT_TRUE(GetRtcLogStatus().open);
  std::ofstream(dir_.File("plain")) << "x";  // a file where the folder should be
  EXPECT_EQ(-2, service_->setLogFile(dir_.File("plain").c_str()));
  EXPECT_FALSE(GetRtcLogStatus().open);
  EXPECT_EQ(-1, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 0));
}

// Folders the library makes for the log are 0700, and a name planted where the file goes is
// refused (-2) and never written through.
TEST_F(VyRtmServiceTest, TheLogIsPrivateAndNoPlantedNameIsWrittenThrough) {
  const std::string made = dir_.File("made"), folder = made + "/here";
  ASSERT_EQ(0, service_->setLogFile(folder.c_str()));
  EXPECT_EQ(fs::perms::owner_all, fs::status(made).permissions());
  EXPECT_EQ(fs::perms::owner_all, fs::status(folder).permissions());
  const std::string target = dir_.File("target"), absent = dir_.File("absent");
  std::ofstream(target) << "kept\n";
  const std::pair<const char*, std::function<int(const char*)>> planted[] = {
      {"a link to a file", [&](const char* log) { return symlink(target.c_str(), log); }},
      {"a link to nothing", [&](const char* log) { return symlink(absent.c_str(), log); }},
      {"a second name of a file", [&](const char* log) { return link(target.c_str(), log); }},
      {"a FIFO", [](const char* log) { return mkfifo(log, 0600); }},
  };
  for (const auto& [what, plant] : planted) {
    const std::string other = dir_.File(what);
    ASSERT_EQ(0, mkdir(other.c_str(), 0700));
    ASSERT_EQ(0, plant((other + "/vy_rtm_sdk.log").c_str())) << what;
    EXPECT_EQ(-2, service_->setLogFile(other.c_str())) << what;
    EXPECT_FALSE(GetRtcLogStatus().open) << what;
    RtcPrintf(kRtcLogError, "a line");
    EXPECT_THAT(Lines(target), ElementsAre("kept")) << what;
    EXPECT_FALSE(std::filesystem::exists(absent)) << what;
  }
}

// Logs its name at each tick; `on_tick` runs inside the first one.
struct Tick : RtcTick {
  Tick(std::string name, std::vector<std::string>* log) : name(std::move(name)), log(log) {}
  void OnTick() override {
    log->push_back(name);
    if (on_tick) std::exchange(on_tick, nullptr)();
  }
  void OnTickUnAttach() override { log->push_back(name + " unattached"); }
  std::string name;
  std::vector<std::string>* log;
  std::function<void()> on_tick;
};

TEST(TickTest, PassesRunInOwnerOrderAndTicksMayChangeTheRegistryDuringOne) {
  char owners[4] = {};  // keys in ascending order
  std::vector<std::string> log;
  MThreadTick registry;
  Tick a("a", &log), b("b", &log), c("c", &log), r("r", &log), d("d", &log);
  registry.RegisteRtcTick(&owners[3], &d);
  registry.RegisteRtcTick(&owners[2], &c);
  registry.RegisteRtcTick(&owners[0], &r);
  registry.RegisteRtcTick(&owners[0], &a);  // replaces r
  registry.UnRegisteRtcTick(&owners[1]);    // unknown: ignored
  registry.DoProcess();
  a.on_tick = [&] {
    registry.RegisteRtcTick(&owners[1], &b);  // runs from the next pass
    registry.RegisteRtcTick(&owners[2], &r);  // replaces a tick that has not run: skipped
    registry.UnRegisteRtcTick(&owners[3]);
    registry.UnAttachRtcTick(&owners[0]);  // itself: told once, after the next pass
  };
  registry.DoProcess();
  registry.DoProcess();
  EXPECT_THAT(log, ElementsAre("a", "c", "d", "a", "b", "r", "a unattached"));
  EXPECT_EQ(2u, registry.size());
}

class TransportTest : public VyRtmServiceTest {
 protected:
  void SetUp() override {
    VyRtmServiceTest::SetUp();
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
    ASSERT_EQ(0, service_->initialize(kAppId, &h_[0]));
    ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  }
  template <typename T>
  T OnWorker(std::function<T()> fn) {
    return ThreadMgr::Inst()->Invoke<T>(RTC_FROM_HERE, fn);
  }
  bool WaitFor(const std::function<bool()>& done) { return h_[0].WaitFor(done); }
  bool Seen(const std::string& what) { return h_[0].Count(what) > 0; }
  std::string AskGateway(const std::string& user, const std::string& token = "") {
    auto res = httplib::Client(svc_.address(), svc_.http_port())
                   .Post("/vyapi/v1?action=wrtm_gateway", BuildGatewayBody(kAppId, user, token),
                         kFormContentType);
    return res ? res->body : "";
  }
  // Gateway, connect and "Login" by hand, with every command the router knows noted as
  // "cmd:MsgId:MsgBody" in place of the session's own handlers.
  void LogIn() {
    OnWorker<void>([this] {
      for (const char* name : CommandRouter::kCommandNames) {
        service_->router().SetHandler(name, [this, name](const rapidjson::Value& c) {
          h_[0].Note(std::string(name) + ":" + std::to_string(GetJsonInt64(c, "MsgId")) + ":" +
                     GetJsonStr(c, "MsgBody"));
        });
      }
    });
    std::string text = AskGateway(kUser);
    GatewayAnswer answer = ParseGatewayAnswer(text.data(), text.size());
    OnWorker<void>([&] { service_->ConnectServer(answer.address, answer.port); });
    ASSERT_TRUE(WaitFor([&] { return Status() == XNetClient::kConnected; }));
    OnWorker<void>([&] {
      service_->RenewMsgCrypt();
      service_->doSendMsg("Login", BuildLoginBody(kUser, "x", "", answer.session_id));
    });
    ASSERT_TRUE(WaitFor([&] { return Seen("Login:-1:"); }));
  }
  int Status() {
    return OnWorker<int>([&] { return service_->ServerStatus(); });
  }
  static std::string Message(int id, const std::string& body) {
    return R"({"MsgId":)" + std::to_string(id) + R"(,"FromUId":"d","MsgType":1,"MsgBody":")" +
           body + "\"}";
  }
  void Send(const std::string& cmd, const std::string& body) {
    OnWorker<void>([&] { service_->doSendMsg(cmd, body); });
  }

  static constexpr char kUser[] = "carol";
  local_service::LocalService svc_{{.address = "auto", .http_port = 0}};
};

TEST_F(TransportTest, EncryptedEnvelopesTravelBothWaysAndAreLoggedExceptTheLogin) {
  LogIn();
  Send("SendMsgToPeer", R"({"MsgId":4242,"ToUId":"dave","MsgType":1,"MsgBody":"hi"})");
  const std::string big(20000, 'z');
  const std::string at_limit = Message(2, std::string(1024 - Message(2, "").size(), 'a'));
  svc_.Push(kUser, "RecvMsgFromPeer", Message(9, big));
  svc_.Push(kUser, "RecvMsgFromPeer", at_limit);
  svc_.Push(kUser, "RecvMsgFromPeer", Message(3, std::string(1025 - Message(3, "").size(), 'b')));
  ASSERT_TRUE(WaitFor([&] { return h_[0].Seen().size() == 5; }));
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
  for (FaultAction action :
       {FaultAction::kCorruptSignature, FaultAction::kWrongAppId, FaultAction::kBadBase64,
        FaultAction::kBadPadding, FaultAction::kOversizeInnerLength}) {
    svc_.AddFault({.direction = kToClient, .cmd = "RecvMsgFromPeer", .action = action, .times = 1});
    svc_.Push(kUser, "RecvMsgFromPeer", Message(1, "bad"));
  }
  // Garbage before a packet is skipped; a packet split over several writes is put together.
  svc_.AddFault(
      {.direction = kToClient, .action = FaultAction::kGarbageBefore, .value = 7, .times = 1});
  svc_.Push(kUser, "RecvMsgFromPeer", Message(2, "after garbage"));
  svc_.AddFault({.direction = kToClient, .action = FaultAction::kSplit, .value = 3, .times = 1});
  svc_.Push(kUser, "RecvMsgFromPeer", Message(3, "split"));
  ASSERT_TRUE(WaitFor([&] { return Seen("RecvMsgFromPeer:3:split"); }));
  EXPECT_THAT(h_[0].Seen(), ElementsAre("Login:-1:", "RecvMsgFromPeer:2:after garbage",
                                        "RecvMsgFromPeer:3:split"));
  std::string text = LogText();
  std::regex dropped("Recv cmd=RecvMsgFromPeer dropped: content failed decryption");
  EXPECT_EQ(5, std::distance(std::sregex_iterator(text.begin(), text.end(), dropped), {}));
  EXPECT_NE(std::string::npos,
            text.find("Recv cmd=RecvMsgFromPeer dropped: content failed decryption (-40001)"));
  // A length the framing cannot hold breaks the stream: the connection goes on the next pass.
  svc_.AddFault(
      {.direction = kToClient, .action = FaultAction::kBadFrameLength, .value = 3, .times = 1});
  svc_.Push(kUser, "MsgStatus", R"({"MsgId":2,"Status":0})");
  ASSERT_TRUE(WaitFor([&] { return Status() == -1; }));
  EXPECT_NE(std::string::npos, LogText().find("Recv stream broken"));
  EXPECT_FALSE(Seen("MsgStatus:2:"));
  EXPECT_TRUE(WaitFor([&] { return !svc_.IsOnline(kUser); }));
}

// Line breaks and other control characters in a user id, a channel id, a message text, a
// command the server sends and a line of the runtime cannot split or forge a line of the log:
// they are escaped, and valid UTF-8 stays as it is.
TEST_F(TransportTest, ControlCharactersCannotSplitOrForgeALogLine) {
  const std::string forged = "\n[info] (00:00:00); forged\r\t\x01\x1b[2J\x7f";
  const std::string escaped = R"(\x0a[info] (00:00:00); forged\x0d\x09\x01\x1b[2J\x7f)";
  const std::string user = "eve" + forged + "é日本";
  const std::string gateway = R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + svc_.address() +
                              R"(","Port":)" + std::to_string(svc_.http_port()) + "}";
  ASSERT_EQ(0, service_->setParameters(gateway.c_str()));
  ASSERT_EQ(0, service_->login("tok", user.c_str()));
  ASSERT_TRUE(WaitFor([&] { return Seen("login:0"); }));
  rtm::IChannelEventHandler room;
  rtm::IChannel* channel = service_->createChannel(("room" + forged).c_str(), &room);
  EXPECT_EQ(0, channel->join());
  rtm::IMessage* message = service_->createMessage(("hi" + forged).c_str());
  EXPECT_EQ(0, service_->sendMessageToPeer("dave", message));
  message->release();
  svc_.Push(user, "Bogus" + forged, "{}");
  svc_.Push(user, "RecvMsgFromPeer",
            "{\n\"MsgId\":7,\r\n\"FromUId\":\"d\",\"MsgType\":1,\"MsgBody\":\"pushed\"}");
  // Also escaped: a stray byte, long forms, a C1 control, a surrogate, past U+10FFFF, a cut one.
  const std::string bad = "\xff\xc0\x8a\xe0\x80\xaf\xc2\x85\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82";
  RTC_LOG(LS_WARNING) << "runtime" << forged << bad << "\xc2\xa0€😀";
  // UTF-8 before the first byte to escape stays; long forms of U+0000 and U+07FF do not.
  RTC_LOG(LS_WARNING) << "née\x01\xe0\x80\x80\xe0\x9f\xbf";
  ASSERT_TRUE(WaitFor([&] { return LogText().find(R"("pushed"})") != std::string::npos; }));
  channel->release();
  for (const std::string& want :
       {"API Login user:eve" + escaped + "é日本", "Recv cmd=Bogus" + escaped + "  content={}",
        std::string(R"(SEND cmd=JoinChannel content={"ChanId":"room\n[info] (00:00:00); forged\r)"),
        std::string(R"("MsgBody":"hi\n[info] (00:00:00); forged\r\t\u0001)"),
        std::string(R"(Recv cmd=RecvMsgFromPeer  content={\x0a"MsgId":7,\x0d\x0a"From)"),
        "runtime" + escaped + R"(\xff\xc0\x8a\xe0\x80\xaf\xc2\x85\xed\xa0\x80\xf4\x90\x80\x80)" +
            R"(\xe2\x82)" + "\xc2\xa0€😀",
        "née" + std::string(R"(\x01\xe0\x80\x80\xe0\x9f\xbf)")}) {
    EXPECT_THAT(LogText(), HasSubstr(want));
  }
  // Each line is one the library wrote, none the forged one, and none holds a control character.
  const std::regex whole(R"(\[(trace|debug|info|warning|error|critical)\] \(\d\d:\d\d:\d\d\); )"
                         R"([^\x01-\x1f\x7f]*)");
  for (const std::string& line : Lines(LogPath())) {
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_THAT(line, ::testing::Not(::testing::StartsWith("[info] (00:00:00); forged")));
  }
}

TEST_F(TransportTest, GatewayAnswerFromAnotherServerIsReadAndItsServerLoggedInTo) {
  if (!rtc::testing::NginxAvailable()) GTEST_SKIP() << "nginx is not installed";
  std::string answer = AskGateway("alice", "tok");  // a real session, handed out by nginx
  ASSERT_EQ(std::string::npos, answer.find('\''));
  for (const std::string& body : {answer, std::string(R"({"code":6,"msg":"refused"})")}) {
    rtc::testing::PeerProcess nginx;  // answering every lookup with `body`
    ASSERT_TRUE(rtc::testing::StartNginx(
        &nginx,
        "location = /vyapi/v1 { default_type application/json; return 200 '" + body + "'; }"));
    ASSERT_EQ(
        0, service_->setParameters((R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"127.0.0.1","Port":)" +
                                    std::to_string(nginx.port()) + "}")
                                       .c_str()));
    ASSERT_EQ(0, service_->login("tok", "alice"));
    ASSERT_TRUE(WaitFor([&] { return h_[0].Count("login:0") + h_[0].Count("login:6") > 0; }));
    EXPECT_EQ(1u, h_[0].Count("login:0"));  // and no other
    if (body == answer) EXPECT_TRUE(svc_.IsOnline("alice"));
    service_->logout();
  }
  EXPECT_EQ(1, svc_.gateway_requests());
  EXPECT_EQ(1, svc_.connections_accepted());
}

}  // namespace
}  // namespace vy
