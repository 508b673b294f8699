#include "core/vy_rtm_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vortm/rtm_service.h>

#include "core/rtc_log.h"
#include "rtc_base/temp_dir.h"
#include "core/thread_mgr.h"
#include "rtc_base/event.h"
#include "rtc_base/platform_thread_types.h"
#include "rtc_base/time_utils.h"

namespace vy {

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";  // 32 characters.

using StateChange = std::pair<int, int>;

class RecordingHandler : public rtm::IRtmServiceEventHandler {
 public:
  void onConnectionStateChanged(rtm::CONNECTION_STATE state,
                                rtm::CONNECTION_CHANGE_REASON reason) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      changes_.emplace_back(state, reason);
      thread_ = rtc::CurrentThreadRef();
    }
    if (action) action();
  }
  // Renewals before a login are answered at once with 102: a fan-out that needs no session.
  void onRenewTokenResult(const char* /*token*/, rtm::RENEW_TOKEN_ERR_CODE /*code*/) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++renewals_;
      thread_ = rtc::CurrentThreadRef();
    }
    if (action) action();
  }

  std::vector<StateChange> changes() {
    std::lock_guard<std::mutex> lock(mu_);
    return changes_;
  }
  int renewals() {
    std::lock_guard<std::mutex> lock(mu_);
    return renewals_;
  }
  rtc::PlatformThreadRef thread() {
    std::lock_guard<std::mutex> lock(mu_);
    return thread_;
  }

  // Runs inside the callback, on the worker thread.
  std::function<void()> action;

 private:
  std::mutex mu_;
  std::vector<StateChange> changes_;
  int renewals_ = 0;
  rtc::PlatformThreadRef thread_{};
};

// Tells when the worker has deleted it.
class ObservedService : public VyRtmService {
 public:
  explicit ObservedService(rtc::Event* destroyed) : destroyed_(destroyed) {}
  ~ObservedService() override { destroyed_->Set(); }

 private:
  rtc::Event* destroyed_;
};

rtc::PlatformThreadRef WorkerThreadRef() {
  return ThreadMgr::Inst()->Invoke<rtc::PlatformThreadRef>(
      RTC_FROM_HERE, [] { return rtc::CurrentThreadRef(); });
}

const StateChange kConnecting{rtm::CONNECTION_STATE_CONNECTING,
                              rtm::CONNECTION_CHANGE_REASON_LOGIN};
const StateChange kLoggedOut{rtm::CONNECTION_STATE_DISCONNECTED,
                             rtm::CONNECTION_CHANGE_REASON_LOGOUT};

// Arms a login against a loopback gateway port where nothing listens: the service reports
// connecting at once and never gets further.
void ArmLogin(rtm::IRtmService* service) {
  ASSERT_EQ(0, service->setParameters(
                   R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"127.0.0.1","Port":1})"));
  ASSERT_EQ(0, service->login("t", "u"));
}

class VyRtmServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_ = createRtmService();
    ASSERT_NE(nullptr, service_);
  }
  void TearDown() override {
    if (service_ != nullptr) service_->release(true);
    CloseRtcLog();
  }

  // In ascending address order; they outlive the service's release.
  RecordingHandler handlers_[3];
  rtm::IRtmService* service_ = nullptr;
};

TEST_F(VyRtmServiceTest, InitializeRefusesBadAppIdsAndHandlers) {
  RecordingHandler& handler = handlers_[0];
  std::string short_id(31, 'a'), long_id(33, 'a');
  EXPECT_EQ(-3, service_->initialize(short_id.c_str(), &handler));
  EXPECT_EQ(-3, service_->initialize(long_id.c_str(), &handler));
  EXPECT_EQ(-3, service_->initialize(nullptr, &handler));
  EXPECT_EQ(-3, service_->initialize("", &handler));
  EXPECT_EQ(-4, service_->initialize(kAppId, nullptr));
  // Refusals stored nothing.
  EXPECT_EQ(0, service_->initialize(kAppId, &handler));
  RecordingHandler& other = handlers_[1];
  EXPECT_EQ(-2, service_->initialize(kAppId, &other));
  // Only the first handler was registered.
  service_->renewToken("t");
  EXPECT_EQ(1, handler.renewals());
  EXPECT_EQ(0, other.renewals());
}

TEST_F(VyRtmServiceTest, AppThreadCallsRunOnTheWorkerAndReturnItsResult) {
  RecordingHandler& handler = handlers_[0];
  ASSERT_EQ(0, service_->initialize(kAppId, &handler));
  EXPECT_EQ(rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN, service_->renewToken("t"));
  EXPECT_TRUE(rtc::IsThreadRefEqual(WorkerThreadRef(), handler.thread()));
  EXPECT_FALSE(rtc::IsThreadRefEqual(rtc::CurrentThreadRef(), handler.thread()));
}

TEST_F(VyRtmServiceTest, CallsFromAHandlerRunInlineOnTheWorker) {
  RecordingHandler& handler = handlers_[0];
  ASSERT_EQ(0, service_->initialize(kAppId, &handler));
  std::vector<int> results;
  handler.action = [&] {
    if (!results.empty()) return;
    results.push_back(service_->initialize(kAppId, &handler));
    results.push_back(service_->setLogFilter(rtm::LOG_FILTER_INFO));
    long long request_id = 0;
    results.push_back(service_->getUserAttributes("peer", request_id));
    results.push_back(request_id != 0);
  };
  service_->renewToken("t");
  handler.action = nullptr;
  EXPECT_THAT(results, ElementsAre(-2, 0, 102, 1));
}

TEST_F(VyRtmServiceTest, HandlerSetHoldsEachHandlerOnce) {
  RecordingHandler& first = handlers_[0];
  RecordingHandler& second = handlers_[1];
  RecordingHandler& never_added = handlers_[2];
  ASSERT_EQ(0, service_->initialize(kAppId, &first));
  service_->addEventHandler(&first);
  service_->addEventHandler(&second);
  service_->addEventHandler(nullptr);
  service_->removeEventHandler(&never_added);
  service_->removeEventHandler(nullptr);
  service_->renewToken("t");
  EXPECT_EQ(1, first.renewals());
  EXPECT_EQ(1, second.renewals());
  service_->removeEventHandler(&first);
  service_->renewToken("t");
  EXPECT_EQ(1, first.renewals());
  EXPECT_EQ(2, second.renewals());
}

TEST_F(VyRtmServiceTest, HandlersMayRemoveHandlersDuringAFanOut) {
  // The first handler removes itself and the last.
  RecordingHandler* handlers = handlers_;
  ASSERT_EQ(0, service_->initialize(kAppId, &handlers[0]));
  service_->addEventHandler(&handlers[1]);
  service_->addEventHandler(&handlers[2]);
  handlers[0].action = [&] {
    service_->removeEventHandler(&handlers[0]);
    service_->removeEventHandler(&handlers[2]);
  };
  service_->renewToken("t");
  EXPECT_EQ(1, handlers[0].renewals());
  EXPECT_EQ(1, handlers[1].renewals());
  EXPECT_EQ(0, handlers[2].renewals());
  service_->renewToken("t");
  EXPECT_EQ(1, handlers[0].renewals());
  EXPECT_EQ(2, handlers[1].renewals());
}

TEST_F(VyRtmServiceTest, HandlerAddedDuringAFanOutHearsTheNextEvent) {
  ASSERT_EQ(0, service_->initialize(kAppId, &handlers_[0]));
  handlers_[0].action = [this] { service_->addEventHandler(&handlers_[1]); };
  service_->renewToken("t");
  EXPECT_EQ(0, handlers_[1].renewals());
  service_->renewToken("t");
  EXPECT_EQ(1, handlers_[1].renewals());
  handlers_[0].action = nullptr;
}

TEST(VyRtmServiceAnyThreadTest, ThreadsWithoutARuntimeThreadUseTheService) {
  std::vector<std::thread> apps;
  std::atomic<int> failures{0};
  for (int t = 0; t < 3; ++t) {
    apps.emplace_back([&failures] {
      RecordingHandler handler;
      rtm::IRtmService* service = createRtmService();
      if (service == nullptr) {
        ++failures;
        return;
      }
      if (service->initialize(kAppId, &handler) != 0) ++failures;
      service->renewToken("t");
      service->release(true);
      if (handler.renewals() != 1) ++failures;
    });
  }
  for (std::thread& app : apps) app.join();
  EXPECT_EQ(0, failures);
}

TEST_F(VyRtmServiceTest, ReleaseFromAnAppThreadLogsOutThenIsSilent) {
  RecordingHandler& handler = handlers_[0];
  ASSERT_EQ(0, service_->initialize(kAppId, &handler));
  ArmLogin(service_);
  size_t services = ThreadMgr::Inst()->ServiceCount();
  service_->release(true);
  service_ = nullptr;
  EXPECT_EQ(services - 1, ThreadMgr::Inst()->ServiceCount());
  EXPECT_THAT(handler.changes(), ElementsAre(kConnecting, kLoggedOut));
}

TEST(VyRtmServiceReleaseTest, ReleasedServiceIsDeletedWithinAPass) {
  rtc::Event destroyed;
  auto* service = new ObservedService(&destroyed);
  RecordingHandler handler;
  ASSERT_EQ(0, service->initialize(kAppId, &handler));
  ArmLogin(service);
  service->release(false);
  ASSERT_TRUE(destroyed.Wait(2000));
  EXPECT_THAT(handler.changes(), ElementsAre(kConnecting, kLoggedOut));
}

TEST(VyRtmServiceReleaseTest, ImmediateReleaseFromAHandlerWaitsForTheNextPass) {
  rtc::Event destroyed;
  auto* service = new ObservedService(&destroyed);
  // In address order: the first handler releases the service.
  RecordingHandler handlers[2];
  ASSERT_EQ(0, service->initialize(kAppId, &handlers[0]));
  service->addEventHandler(&handlers[1]);
  ArmLogin(service);
  bool released = false;
  handlers[0].action = [&] {
    if (released) return;
    released = true;
    service->release(true);
    // Still alive, and deleted by the worker's next pass.
    EXPECT_TRUE(service->IsReleased());
  };
  EXPECT_EQ(0, service->logout());
  ASSERT_TRUE(destroyed.Wait(2000));
  // The release's own logout found one running and returned at once (no
  // nested report); it forgot the handlers, so the second one missed the
  // outer report.
  EXPECT_THAT(handlers[0].changes(), ElementsAre(kConnecting, kLoggedOut));
  EXPECT_THAT(handlers[1].changes(), ElementsAre(kConnecting));
}

TEST_F(VyRtmServiceTest, MediaOperationsFillZeroRequestIdsAndReturnNothing) {
  long long id = 0;
  int64_t before = rtc::TimeUTCMillis();
  EXPECT_EQ(0, service_->downloadMediaToMemory("m", id));
  EXPECT_GE(id, before);
  long long fixed = 42;
  EXPECT_EQ(0, service_->downloadMediaToFile("m", "/nonexistent", fixed));
  EXPECT_EQ(0, service_->createFileMessageByUploading("/f", fixed));
  EXPECT_EQ(0, service_->createImageMessageByUploading("/f", fixed));
  EXPECT_EQ(42, fixed);
  EXPECT_EQ(0, service_->cancelMediaDownload(fixed));
  EXPECT_EQ(0, service_->cancelMediaUpload(fixed));
  EXPECT_EQ(nullptr, service_->createFileMessageByMediaId("m"));
  EXPECT_EQ(nullptr, service_->createImageMessageByMediaId("m"));
  EXPECT_EQ(nullptr, service_->createChannelAttribute());
}

TEST_F(VyRtmServiceTest, RequestsFillTheirIdOnTheCallersThread) {
  long long id = 0;
  EXPECT_EQ(101, service_->queryPeersBySubscriptionOption(
                     rtm::PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS, id));
  EXPECT_NE(0, id);
  // Ids filled one after another differ, even within one millisecond.
  long long next = 0;
  EXPECT_EQ(101, service_->getChannelAttributes("ch", next));
  EXPECT_GT(next, id);
  RecordingHandler& handler = handlers_[0];
  ASSERT_EQ(0, service_->initialize(kAppId, &handler));
  long long kept = 7;
  EXPECT_EQ(102, service_->clearLocalUserAttributes(kept));
  EXPECT_EQ(7, kept);
}

TEST_F(VyRtmServiceTest, ConcurrentCallersAllGetTheirAnswers) {
  RecordingHandler& handler = handlers_[0];
  ASSERT_EQ(0, service_->initialize(kAppId, &handler));
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        if (service_->initialize(kAppId, &handler) != -2) ++wrong;
        if (service_->setLogFilter(rtm::LOG_FILTER_INFO) != 0) ++wrong;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(0, wrong);
}

class VyRtmServiceLogTest : public VyRtmServiceTest {
 protected:
  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    FILE* file = fopen(dir_.File("vy_rtm_sdk.log").c_str(), "r");
    if (file == nullptr) return lines;
    char buffer[4096];
    while (fgets(buffer, sizeof(buffer), file) != nullptr) lines.push_back(buffer);
    fclose(file);
    return lines;
  }

  vy_test::TempDir dir_;
};

TEST_F(VyRtmServiceLogTest, BannerIsDroppedWhileNoLogIsOpen) {
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_THAT(lines[0], HasSubstr("[info]"));
  EXPECT_THAT(lines[0],
              HasSubstr("; API setLogFile filePath:" + dir_.path() +
                        "/vy_rtm_sdk.log\n"));
  // A second service writes its banner to the open log.
  rtm::IRtmService* second = createRtmService();
  second->release(true);
  lines = LogLines();
  ASSERT_EQ(8u, lines.size());
  EXPECT_THAT(lines[1], HasSubstr("; " + std::string(84, '*') + "\n"));
  EXPECT_THAT(lines[2], HasSubstr("; Local Date:"));
  EXPECT_THAT(lines[3], HasSubstr("; API SDK initialize"));
  EXPECT_THAT(lines[4], HasSubstr("; LOG File path:\n"));
  EXPECT_THAT(lines[5], HasSubstr("; ===========SDK release========"));
  EXPECT_THAT(lines[6], HasSubstr("; API Logout"));
  EXPECT_THAT(lines[7], HasSubstr("; SEND cmd=Logout content=\n"));
}

TEST_F(VyRtmServiceLogTest, SizeSettingTakesEffectAtTheNextSetLogFile) {
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  EXPECT_EQ(2048u * 1024, GetRtcLogStatus().max_file_bytes);
  EXPECT_EQ(0, service_->setLogFileSize(0));
  EXPECT_EQ(2048u * 1024, GetRtcLogStatus().max_file_bytes);
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  EXPECT_EQ(8192u * 1024, GetRtcLogStatus().max_file_bytes);
  EXPECT_EQ(-1, service_->setLogFileSize(-5));
  EXPECT_EQ(0, service_->setLogFileSize(16));
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  EXPECT_EQ(16u * 1024, GetRtcLogStatus().max_file_bytes);
}

TEST_F(VyRtmServiceLogTest, FilterDefaultsToInfoAndIgnoresUnknownValues) {
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  EXPECT_EQ(kRtcLogInfo, GetRtcLogStatus().filter);
  EXPECT_EQ(0, service_->setLogFilter(static_cast<rtm::LOG_FILTER_TYPE>(7)));
  EXPECT_EQ(0, service_->setLogFilter(static_cast<rtm::LOG_FILTER_TYPE>(-1)));
  EXPECT_EQ(kRtcLogInfo, GetRtcLogStatus().filter);
  EXPECT_EQ(0, service_->setLogFilter(rtm::LOG_FILTER_OFF));
  RtcPrintf(kRtcLogCritical, "silenced");
  // The filter is kept for the next setLogFile.
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  EXPECT_EQ(kRtcLogOff, GetRtcLogStatus().filter);
  EXPECT_EQ(1u, LogLines().size());
}

TEST_F(VyRtmServiceLogTest, BadDirectoriesAreRefusedAndLeaveTheLogAsItWas) {
  ASSERT_EQ(0, service_->setLogFile(dir_.path().c_str()));
  EXPECT_EQ(-1, service_->setLogFile(nullptr));
  EXPECT_EQ(-1, service_->setLogFile(""));
  std::string too_long(1024 - 15, 'd');
  EXPECT_EQ(-1, service_->setLogFile(too_long.c_str()));
  EXPECT_TRUE(GetRtcLogStatus().open);
  // A regular file in place of the directory: the log cannot open.
  std::string file = dir_.File("plain");
  fclose(fopen(file.c_str(), "w"));
  EXPECT_EQ(-2, service_->setLogFile(file.c_str()));
  EXPECT_FALSE(GetRtcLogStatus().open);
}

// A process that ends without releasing its service ends cleanly: the worker
// stops before the statics it uses go, and the service is freed. The test
// runs itself again to watch the exit.
constexpr char kExitChildVariable[] = "VORTM_SERVICE_EXIT_CHILD";

TEST(VyRtmServiceExitTest, ProcessExitsCleanlyWithoutRelease) {
  if (const char* log_dir = getenv(kExitChildVariable)) {
    // Built before the worker, so destroyed after it.
    static RecordingHandler handler;
    rtm::IRtmService* service = createRtmService();
    if (service->initialize(kAppId, &handler) != 0) _exit(3);
    if (service->setLogFile(log_dir) != 0) _exit(4);
    std::exit(0);
  }
  vy_test::TempDir dir;
  std::string self(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  ASSERT_GT(length, 0);
  self.resize(length);
  std::string command = std::string(kExitChildVariable) + "=" + dir.path() +
                        " " + self +
                        " --gtest_filter=VyRtmServiceExitTest.*";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace

}  // namespace vy
