// Apps that leave the library's objects to the end of the process, built against an installed
// VoRtmKit:
//   exit_at_end kit HOST PORT       a logged-in kit kept in a global std::shared_ptr
//   exit_at_end service HOST PORT   a logged-in service released from a global object's
//                                   destructor, and one never released at all
// Both return from main with their user still logged in; the process must end cleanly.
#include <vortm/rtm_service.h>
#include <vortm/vo_rtm_kit.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace rtm = vy::rtm;

namespace {

const char kAppId[] = "0123456789abcdef0123456789abcdef";

// Completions and callbacks come on the library's threads; main waits here.
class Outcome {
 public:
  void Set(int code) {
    std::lock_guard<std::mutex> lock(mu_);
    code_ = code;
    cv_.notify_all();
  }
  // The code set, or -1 after 15 s.
  int Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(15), [this] { return code_ >= 0; });
    return code_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int code_ = -1;
};

class LoginHandler : public rtm::IRtmServiceEventHandler {
 public:
  void onLoginSuccess() override { outcome.Set(0); }
  void onLoginFailure(rtm::LOGIN_ERR_CODE code) override { outcome.Set(code); }
  Outcome outcome;
};

// Releases its service when static objects are destroyed, after main has returned.
struct ReleasedAtExit {
  ~ReleasedAtExit() {
    if (service != nullptr) service->release(false);
  }
  rtm::IRtmService* service = nullptr;
};

// Constructed before main, so destroyed after the library's own statics made later.
std::shared_ptr<vortm::VoRtmKit> g_kit;
LoginHandler g_handlers[2];
ReleasedAtExit g_released;

bool LogInKit(const std::string& params) {
  g_kit = vortm::VoRtmKit::create(kAppId, {});
  if (g_kit == nullptr || g_kit->setParameters(params) != 0) return false;
  Outcome outcome;
  g_kit->loginByToken("token", "alice", [&](rtm::LOGIN_ERR_CODE code) { outcome.Set(code); });
  return outcome.Wait() == rtm::LOGIN_ERR_OK;
}

rtm::IRtmService* LogInService(const std::string& params, LoginHandler& handler,
                               const char* user) {
  rtm::IRtmService* service = createRtmService();
  if (service == nullptr || service->initialize(kAppId, &handler) != 0 ||
      service->setParameters(params.c_str()) != 0 || service->login("token", user) != 0 ||
      handler.outcome.Wait() != rtm::LOGIN_ERR_OK) {
    return nullptr;
  }
  return service;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::printf("usage: exit_at_end kit|service HOST PORT\n");
    return 2;
  }
  std::string params = std::string("{\"Cmd\":\"ConfPriCloudAddr\",\"ServerAdd\":\"") + argv[2] +
                       "\",\"Port\":" + argv[3] + "}";
  if (std::strcmp(argv[1], "kit") == 0) {
    if (!LogInKit(params)) return 3;
  } else {
    g_released.service = LogInService(params, g_handlers[0], "bob");
    if (g_released.service == nullptr || LogInService(params, g_handlers[1], "carol") == nullptr) {
      return 3;
    }
  }
  std::printf("logged in\n");
  return 0;
}
