// The service object without a server (threads, handlers, release, log settings), and the pieces
// it runs on: the worker thread, its tick registry and the log.
#include "core/vy_rtm_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <vortm/rtm_service.h>

#include "core/rtc_log.h"
#include "core/rtc_tick.h"
#include "core/thread_mgr.h"
#include "rtc_base/event.h"
#include "rtc_base/platform_thread_types.h"
#include "rtc_base/temp_dir.h"
#include "rtc_base/time_utils.h"

namespace vy {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";
using StateChange = std::pair<int, int>;
const StateChange kConnecting{rtm::CONNECTION_STATE_CONNECTING, rtm::CONNECTION_CHANGE_REASON_LOGIN};
const StateChange kLoggedOut{rtm::CONNECTION_STATE_DISCONNECTED, rtm::CONNECTION_CHANGE_REASON_LOGOUT};

class Handler : public rtm::IRtmServiceEventHandler {
 public:
  void onConnectionStateChanged(rtm::CONNECTION_STATE state,
                                rtm::CONNECTION_CHANGE_REASON reason) override {
    Record([&] { changes_.emplace_back(state, reason); });
  }
  // Renewals before a login are answered at once with 102: a fan-out that needs no session.
  void onRenewTokenResult(const char*, rtm::RENEW_TOKEN_ERR_CODE) override {
    Record([&] { ++renewals_; });
  }
  std::vector<StateChange> changes() { std::lock_guard<std::mutex> l(mu_); return changes_; }
  int renewals() { std::lock_guard<std::mutex> l(mu_); return renewals_; }
  bool on_worker() { std::lock_guard<std::mutex> l(mu_); return on_worker_; }
  std::function<void()> action;  // runs inside the callback, on the worker

 private:
  void Record(const std::function<void()>& change) {
    {
      std::lock_guard<std::mutex> l(mu_);
      change();
      on_worker_ = ThreadMgr::Inst()->IsCurrent();
    }
    if (action) action();
  }
  std::mutex mu_;
  std::vector<StateChange> changes_;
  int renewals_ = 0;
  bool on_worker_ = false;
};

// Tells when the worker has deleted it.
class ObservedService : public VyRtmService {
 public:
  explicit ObservedService(rtc::Event* destroyed) : destroyed_(destroyed) {}
  ~ObservedService() override { destroyed_->Set(); }

 private:
  rtc::Event* destroyed_;
};

// A login against a loopback port where nothing listens reports connecting and gets no further.
void ArmLogin(rtm::IRtmService* service) {
  ASSERT_EQ(0, service->setParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"127.0.0.1","Port":1})"));
  ASSERT_EQ(0, service->login("t", "u"));
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class VyRtmServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { service_ = createRtmService(); }
  void TearDown() override {
    if (service_ != nullptr) service_->release(true);
    CloseRtcLog();
  }
  std::string LogPath() { return dir_.File("vy_rtm_sdk.log"); }

  Handler handlers_[3];  // in ascending address order; they outlive the release
  rtm::IRtmService* service_ = nullptr;
  vy_test::TempDir dir_;
};

TEST_F(VyRtmServiceTest, InitializeRefusesBadArgumentsThenTakesTheFirstHandlerOnly) {
  for (const std::string& id : {std::string(31, 'a'), std::string(33, 'a'), std::string()}) {
    EXPECT_EQ(-3, service_->initialize(id.c_str(), &handlers_[0])) << id;
  }
  EXPECT_EQ(-3, service_->initialize(nullptr, &handlers_[0]));
  EXPECT_EQ(-4, service_->initialize(kAppId, nullptr));
  EXPECT_EQ(0, service_->initialize(kAppId, &handlers_[0]));
  EXPECT_EQ(-2, service_->initialize(kAppId, &handlers_[1]));
  EXPECT_EQ(rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN, service_->renewToken("t"));
  EXPECT_EQ(1, handlers_[0].renewals());
  EXPECT_EQ(0, handlers_[1].renewals());
  EXPECT_TRUE(handlers_[0].on_worker());
}

TEST_F(VyRtmServiceTest, HandlersMayCallTheServiceAndChangeTheHandlerSetDuringAFanOut) {
  Handler* h = handlers_;
  ASSERT_EQ(0, service_->initialize(kAppId, &h[0]));
  service_->addEventHandler(&h[0]);
  service_->addEventHandler(&h[1]);
  service_->addEventHandler(nullptr);
  service_->removeEventHandler(&h[2]);
  std::vector<int> results;
  h[0].action = [&] {  // inline on the worker; removes itself, adds the last
    long long request_id = 0;
    results = {service_->initialize(kAppId, &h[0]), service_->getUserAttributes("peer", request_id),
               request_id != 0};
    service_->removeEventHandler(&h[0]);
    service_->addEventHandler(&h[2]);
  };
  service_->renewToken("t");
  EXPECT_THAT(results, ElementsAre(-2, 102, 1));
  EXPECT_EQ(0, h[2].renewals());  // added during the fan-out: hears the next one
  service_->renewToken("t");
  EXPECT_EQ(1, h[0].renewals());
  EXPECT_EQ(2, h[1].renewals());
  EXPECT_EQ(1, h[2].renewals());
}

TEST_F(VyRtmServiceTest, RequestIdsAreFilledOnTheCallersThreadFromAnyThread) {
  long long id = 0, next = 0, kept = 7;
  EXPECT_EQ(101, service_->queryPeersBySubscriptionOption(rtm::PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS, id));
  EXPECT_EQ(101, service_->getChannelAttributes("ch", next));
  EXPECT_GE(id, rtc::TimeUTCMillis() - 60000);
  EXPECT_GT(next, id);  // even within one millisecond
  ASSERT_EQ(0, service_->initialize(kAppId, &handlers_[0]));
  EXPECT_EQ(102, service_->clearLocalUserAttributes(kept));
  EXPECT_EQ(7, kept);
  std::atomic<int> wrong{0};
  std::vector<std::thread> apps;  // threads the runtime never saw, each with its own service too
  for (int t = 0; t < 4; ++t) {
    apps.emplace_back([&] {
      Handler handler;
      rtm::IRtmService* own = createRtmService();
      wrong += own->initialize(kAppId, &handler) != 0;
      own->renewToken("t");
      own->release(true);
      wrong += handler.renewals() != 1;
      for (int i = 0; i < 50; ++i) wrong += service_->initialize(kAppId, &handlers_[1]) != -2;
    });
  }
  for (std::thread& app : apps) app.join();
  EXPECT_EQ(0, wrong);
}

TEST(VyRtmServiceReleaseTest, ReleaseLogsOutAndTheServiceIsDeletedOnTheWorkersNextPass) {
  for (bool from_handler : {false, true}) {
    rtc::Event destroyed;
    auto* service = new ObservedService(&destroyed);
    Handler handlers[2];  // in address order: the first one releases
    ASSERT_EQ(0, service->initialize(kAppId, &handlers[0]));
    service->addEventHandler(&handlers[1]);
    ArmLogin(service);
    size_t services = ThreadMgr::Inst()->ServiceCount();
    handlers[0].action = [&] {
      if (!from_handler || service->IsReleased()) return;
      service->release(true);
      EXPECT_TRUE(service->IsReleased());  // still alive until the next pass
    };
    from_handler ? service->logout() : (service->release(false), 0);
    ASSERT_TRUE(destroyed.Wait(5000));
    EXPECT_EQ(services - 1, ThreadMgr::Inst()->ServiceCount());
    EXPECT_THAT(handlers[0].changes(), ElementsAre(kConnecting, kLoggedOut));
    // The release inside the report forgot the handlers: the second missed it.
    EXPECT_EQ(from_handler ? 1u : 2u, handlers[1].changes().size());
  }
}

TEST_F(VyRtmServiceTest, LogSettingsTakeEffectAtTheNextSetLogFile) {
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  std::vector<std::string> lines = Lines(LogPath());
  ASSERT_EQ(1u, lines.size());  // the banner was dropped while no log was open
  EXPECT_THAT(lines[0], HasSubstr("[info]"));
  EXPECT_THAT(lines[0], HasSubstr("; API setLogFile filePath:" + LogPath()));
  createRtmService()->release(true);  // a second service writes its banner
  lines = Lines(LogPath());
  ASSERT_EQ(8u, lines.size());
  EXPECT_THAT(lines[1], HasSubstr("; " + std::string(84, '*')));
  EXPECT_THAT(lines[7], HasSubstr("; SEND cmd=Logout content="));
  EXPECT_EQ(2048u * 1024, GetRtcLogStatus().max_file_bytes);
  EXPECT_EQ(kRtcLogInfo, GetRtcLogStatus().filter);
  EXPECT_EQ(-1, service_->setLogFileSize(-5));
  EXPECT_EQ(0, service_->setLogFileSize(16));
  EXPECT_EQ(0, service_->setLogFilter(static_cast<rtm::LOG_FILTER_TYPE>(7)));
  EXPECT_EQ(0, service_->setLogFilter(rtm::LOG_FILTER_OFF));
  EXPECT_EQ(2048u * 1024, GetRtcLogStatus().max_file_bytes);  // until the next setLogFile
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  EXPECT_EQ(16u * 1024, GetRtcLogStatus().max_file_bytes);
  EXPECT_EQ(kRtcLogOff, GetRtcLogStatus().filter);
  EXPECT_EQ(0, service_->setLogFileSize(0));
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  EXPECT_EQ(8192u * 1024, GetRtcLogStatus().max_file_bytes);
  for (const std::string& bad : {std::string(), std::string(1024 - 15, 'd')}) {
    EXPECT_EQ(-1, service_->setLogFile(bad.c_str()));
  }
  EXPECT_EQ(-1, service_->setLogFile(nullptr));
  EXPECT_TRUE(GetRtcLogStatus().open);
  std::ofstream(dir_.File("plain")) << "x";  // a file where the folder should be
  EXPECT_EQ(-2, service_->setLogFile(dir_.File("plain").c_str()));
  EXPECT_FALSE(GetRtcLogStatus().open);
}

// A process that ends without releasing its service ends cleanly: the worker stops before the
// statics it uses go. The test runs itself again to watch the exit.
TEST(VyRtmServiceExitTest, ProcessExitsCleanlyWithoutRelease) {
  if (const char* log_dir = getenv("VORTM_SERVICE_EXIT_CHILD")) {
    static Handler handler;  // built before the worker, so destroyed after it
    rtm::IRtmService* service = createRtmService();
    if (service->initialize(kAppId, &handler) != 0 || service->setLogFile(log_dir) != 0) _exit(3);
    std::exit(0);
  }
  vy_test::TempDir dir;
  std::string self = std::filesystem::read_symlink("/proc/self/exe");
  int status = system(("VORTM_SERVICE_EXIT_CHILD=" + dir.path() + " " + self +
                       " --gtest_filter=VyRtmServiceExitTest.*").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(VyRtmServiceTest, LogLinesCarryLevelTimeAndMaskedTextAndRotate) {
  RtcPrintf(kRtcLogCritical, "dropped while no log is open");
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogTrace, 64));
  EXPECT_EQ(0, OpenRtcLog(dir_.File("other.log").c_str(), kRtcLogInfo, 8));  // changes nothing
  for (int level = -1; level <= 6; ++level) RtcLog(level, ("level " + std::to_string(level)).c_str());
  RtcPrintf(kRtcLogInfo, "%s", std::string(5000, 'x').c_str());
  RtcPrintf(kRtcLogInfo, "%s", "");
  RtcPrintf(kRtcLogInfo, "SEND cmd=RenewAcsToken content=%s", R"({"AcsToken":"s3cr3t"})");
  RtcPrintf(kRtcLogInfo, "%s", R"(body {"uid":"u","token": "abc\"def","wss":false})");
  std::vector<std::string> lines = Lines(LogPath());
  ASSERT_EQ(9u, lines.size());  // on disk when the call returns
  std::smatch m;
  const char* levels[] = {"trace", "debug", "info", "warning", "error", "critical"};
  for (int level = 0; level <= 5; ++level) {
    ASSERT_TRUE(std::regex_match(lines[level], m, std::regex(R"(\[([a-z]+)\] \(\d\d:\d\d:\d\d\); (.*))")));
    EXPECT_EQ(levels[level], m[1]);
    EXPECT_EQ("level " + std::to_string(level), m[2]);
  }
  EXPECT_EQ(kRtcLogMaxLine, lines[6].size() - lines[6].find("; ") - 2);
  EXPECT_THAT(lines[7], HasSubstr(R"(content={"AcsToken":"***"})"));
  EXPECT_THAT(lines[8], HasSubstr(R"({"uid":"u","token": "***","wss":false})"));
  for (const char* plain : {R"({"token":17})", R"({"tokens":"x"})", R"(the token is "x")", R"({"token":)"}) {
    EXPECT_EQ(plain, MaskRtcLogSecrets(plain));
  }
  CloseRtcLog();
  vy_test::TempDir rotated;
  ASSERT_EQ(0, OpenRtcLog(rotated.File("vy_rtm_sdk.log").c_str(), kRtcLogWarning, 1));
  SetRtcLogFilter(7);
  EXPECT_FALSE(RtcLogEnabled(kRtcLogInfo));
  for (int i = 0; i < 20; ++i) RtcPrintf(kRtcLogWarning, "%d %s", i, std::string(100, 'r').c_str());
  EXPECT_THAT(Lines(rotated.File("vy_rtm_sdk.log")).back(), HasSubstr("; 19 r"));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(rotated.path())) {
    names.push_back(entry.path().filename());
    EXPECT_LE(entry.file_size(), 1024u);
  }
  std::sort(names.begin(), names.end());
  EXPECT_THAT(names, ElementsAre("vy_rtm_sdk.1.log", "vy_rtm_sdk.log"));
}

TEST_F(VyRtmServiceTest, LogOpensAgainAfterFailuresAndLeavesOtherLoggersAlone) {
  auto other = spdlog::null_logger_mt("host_app_logger");
  for (int size : {0, -5}) EXPECT_EQ(-1, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, size));
  EXPECT_EQ(-1, OpenRtcLog(nullptr, kRtcLogInfo, 64));
  std::ofstream(dir_.File("plain")) << "x";
  EXPECT_EQ(-2, OpenRtcLog((dir_.File("plain") + "/sub/x.log").c_str(), kRtcLogInfo, 64));
  ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 4 * 1024 * 1024));
  EXPECT_EQ(4ull << 30, GetRtcLogStatus().max_file_bytes);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&stop, t] {
      for (int i = 0; !stop; ++i) RtcPrintf(kRtcLogInfo, "%d %d", t, i);
    });
  }
  for (int i = 0; i < 50; ++i) {
    SetRtcLogFilter(i % 2 ? kRtcLogInfo : kRtcLogError);
    CloseRtcLog();
    ASSERT_EQ(0, OpenRtcLog(LogPath().c_str(), kRtcLogInfo, 64));
  }
  stop = true;
  for (std::thread& t : writers) t.join();
  for (const std::string& line : Lines(LogPath())) {
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[info\] \(.*\); \d \d+)"))) << line;
  }
  CloseRtcLog();
  EXPECT_EQ(other, spdlog::get("host_app_logger"));
  spdlog::drop("host_app_logger");
  EXPECT_STREQ("1.0.2.0", getRtmSdkVersion());
}

class Tick : public RtcTick {
 public:
  Tick(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}
  void OnTick() override {
    log_->push_back(name_);
    if (on_tick) on_tick();
  }
  void OnTickUnAttach() override { log_->push_back(name_ + " unattached"); }
  std::function<void()> on_tick;

 private:
  std::string name_;
  std::vector<std::string>* log_;
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
  registry.UnRegisteRtcTick(&owners[1]);     // unknown: ignored
  registry.DoProcess();
  bool once = false;
  a.on_tick = [&] {
    if (std::exchange(once, true)) return;
    registry.RegisteRtcTick(&owners[1], &b);  // runs from the next pass
    registry.RegisteRtcTick(&owners[2], &r);  // replaces a tick that has not run: skipped
    registry.UnRegisteRtcTick(&owners[3]);
    registry.UnAttachRtcTick(&owners[0]);     // itself: told once, after the next pass
  };
  registry.DoProcess();
  registry.DoProcess();
  EXPECT_THAT(log, ElementsAre("a", "c", "d", "a", "b", "r", "a unattached"));
  EXPECT_EQ(2u, registry.size());
}

TEST(TickTest, TheWorkerTicksTheRegistryOnEveryPassAndRunsWhatIsPostedToIt) {
  struct CountingTick : RtcTick, rtc::MessageHandler {
    void OnTick() override {
      on_worker = on_worker && ThreadMgr::Inst()->IsCurrent();
      ++ticks;
    }
    void OnTickUnAttach() override { unattached.Set(); }
    void OnMessage(rtc::Message*) override { posted.Set(); }
    std::atomic<int> ticks{0};
    std::atomic<bool> on_worker{true};
    rtc::Event unattached, posted;
  } tick;
  MThreadTick::Inst()->RegisteRtcTick(&tick, &tick);
  for (int i = 0; i < 5; ++i) {  // each delayed post is a wake, and each wake ends with a pass
    ThreadMgr::Inst()->PostDelayed(RTC_FROM_HERE, 1, &tick);
    ASSERT_TRUE(tick.posted.Wait(5000));
  }
  ThreadMgr::Inst()->Invoke<void>(RTC_FROM_HERE, [] {});
  EXPECT_GE(tick.ticks, 5);
  EXPECT_TRUE(tick.on_worker);
  MThreadTick::Inst()->UnAttachRtcTick(&tick);
  ThreadMgr::Inst()->Post(RTC_FROM_HERE, &tick);
  ASSERT_TRUE(tick.unattached.Wait(5000));
  int after = tick.ticks;
  for (int i = 0; i < 3; ++i) ThreadMgr::Inst()->Invoke<void>(RTC_FROM_HERE, [] {});
  EXPECT_EQ(after, tick.ticks);
  EXPECT_EQ(0u, MThreadTick::Inst()->size());
}

}  // namespace
}  // namespace vy
