// An app's own thread as the kit's main loop, bound through the public API before the first kit
// (a binary of its own: the binding lasts as long as the process).
#include <gmock/gmock.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include <vortm/vo_rtm_kit.h>

#include "platform/kit/kit_internals.h"
#include "rtc_base/base/time_utils.h"
#include "tests/core/rtm_test_client.h"
#include "tests/support/temp_dir.h"

namespace vortm {
namespace {

using ::testing::ElementsAre;

std::thread::id appThread;
std::atomic<bool> inRun{false};

// "run" inside runMainLoop on the app's thread, else "elsewhere".
std::string Where() {
  return inRun.load() && std::this_thread::get_id() == appThread ? "run" : "elsewhere";
}

class States : public VoRtmDelegate {
 public:
  void connectionStateChanged(VoRtmKit&, vy::rtm::CONNECTION_STATE state,
                              vy::rtm::CONNECTION_CHANGE_REASON) override {
    seen.push_back(Where() + " " + std::to_string(state));
  }
  std::vector<std::string> seen;
};

TEST(KitMainLoopTest, CompletionsAndDelegateCallsRunOnTheAppsThreadInsideRunMainLoop) {
  EXPECT_FALSE(VoRtmKit::runMainLoop(0));  // not bound yet
  ASSERT_TRUE(VoRtmKit::bindMainLoop());
  EXPECT_TRUE(VoRtmKit::bindMainLoop());
  appThread = std::this_thread::get_id();
  std::thread([] { EXPECT_FALSE(VoRtmKit::bindMainLoop() || VoRtmKit::runMainLoop(0)); }).join();

  local_service::LocalService svc(rtm_test::ServiceOptions());
  std::string error;
  ASSERT_TRUE(svc.Start(&error)) << error;
  vy_test::TempDir logs;
  KitParts parts;
  parts.createNetManager = [] { return nullptr; };
  parts.logDirectory = logs.path();
  auto states = std::make_shared<States>();
  auto kit = KitInternals::create(rtm_test::kAppId, states, parts);
  ASSERT_NE(nullptr, kit);
  ASSERT_EQ(0, kit->setParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + svc.address() +
                                  R"(","Port":7080})"));
  std::vector<std::string> got;
  kit->loginByToken("tok", "alice", [&](auto code) {
    got.push_back(Where() + " " + std::to_string(code));
    if (VoRtmKit::runMainLoop(0)) got.push_back("nested run");
  });
  const int64_t giveUp = rtc::SystemTimeMillis() + 15000;
  while ((got.empty() || states->seen.size() < 2) && rtc::SystemTimeMillis() < giveUp) {
    inRun = true;
    EXPECT_TRUE(VoRtmKit::runMainLoop(10));
    inRun = false;
  }
  EXPECT_THAT(got, ElementsAre("run 0"));
  EXPECT_THAT(states->seen, ElementsAre("run 2", "run 3"));
  kit->destroy();
  // The kit's log has the login, but never the Login command's body: it holds the token.
  std::stringstream log;
  log << std::ifstream(logs.File("vy_rtm_sdk.log")).rdbuf();
  EXPECT_THAT(log.str(), testing::AllOf(testing::HasSubstr("API Login"),
                                        testing::Not(testing::HasSubstr("SEND cmd=Login"))));
}

}  // namespace
}  // namespace vortm
