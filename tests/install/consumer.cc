// A tiny app built against an installed VoRtmKit, in C++17 on the kit API: alice and bob log in
// to the local test service, alice sends bob one message, alice logs out. Bob's kit is left in a
// global, logged in, with a service released from a global object's destructor and one never
// released, as apps leave them to the end of the process, which must still be clean; logouts
// made there print their results.
//   consumer HOST PORT
// Prints the library version and what bob received; exits 0 when all of it worked.
#include <vortm/rtm_service.h>
#include <vortm/version.h>
#include <vortm/vo_rtm_kit.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#if defined(VORTM_GATEWAY_HOST) || defined(OPENSSL_API_COMPAT) || defined(SPDLOG_COMPILED_LIB)
#error "the library's private compile definitions reached the app"
#endif

namespace rtm = vy::rtm;

namespace {

const char kAppId[] = "0123456789abcdef0123456789abcdef";

// Completions and delegate calls come on the library's main loop; the app's thread waits here.
class Waiter {
 public:
  template <typename Condition>
  bool Wait(Condition done) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(15), done);
  }
  template <typename Change>
  void Update(Change change) {
    std::lock_guard<std::mutex> lock(mu_);
    change();
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
};

class User : public vortm::VoRtmDelegate {
 public:
  explicit User(std::string name) : name_(std::move(name)) {}

  bool Login(const std::string& gateway_params, const std::shared_ptr<User>& self) {
    kit_ = vortm::VoRtmKit::create(kAppId, self);
    if (kit_ == nullptr || kit_->setParameters(gateway_params) != 0) return false;
    int code = -1;
    kit_->loginByToken("token", name_,
                       [&](rtm::LOGIN_ERR_CODE result) { waiter_.Update([&] { code = result; }); });
    return waiter_.Wait([&] { return code >= 0; }) && code == rtm::LOGIN_ERR_OK;
  }
  bool Logout() {
    kit_->logout(nullptr);
    return waiter_.Wait([&] { return logged_out_; });
  }
  // Sends `text` to `peer` and waits for its result; true when it was delivered.
  bool Send(const std::string& peer, const std::string& text) {
    int code = -1;
    kit_->sendMessage(vortm::VoRtmMessage(text), peer, {}, [&](rtm::PEER_MESSAGE_ERR_CODE result) {
      waiter_.Update([&] { code = result; });
    });
    return waiter_.Wait([&] { return code >= 0; }) && code == rtm::PEER_MESSAGE_ERR_OK;
  }
  bool WaitForMessage() {
    return waiter_.Wait([&] { return !received_.empty(); });
  }
  std::string received() {
    std::string text;
    waiter_.Update([&] { text = received_; });
    return text;
  }
  void End() { kit_->destroy(); }
  // Once the library has stopped at exit the logout tells so through its completion.
  void LogoutAtExit() {
    kit_->logout([](rtm::LOGOUT_ERR_CODE code) { std::printf("kit logout at exit: %d\n", code); });
  }

  void connectionStateChanged(vortm::VoRtmKit&, rtm::CONNECTION_STATE state,
                              rtm::CONNECTION_CHANGE_REASON reason) override {
    if (state == rtm::CONNECTION_STATE_DISCONNECTED &&
        reason == rtm::CONNECTION_CHANGE_REASON_LOGOUT) {
      waiter_.Update([&] { logged_out_ = true; });
    }
  }
  void messageReceived(vortm::VoRtmKit&, const vortm::VoRtmMessage& message,
                       const std::string& peer) override {
    waiter_.Update([&] { received_ = peer + ": " + message.text(); });
  }

 private:
  std::string name_;
  std::shared_ptr<vortm::VoRtmKit> kit_;
  Waiter waiter_;
  bool logged_out_ = false;
  std::string received_;
};

// Made before main, so destroyed after the library's own statics, which are made later. The
// service is called and released from that destructor, and bob's kit logged out: the library
// has stopped, so every call answers 101 and the release does nothing.
std::shared_ptr<User> g_bob;
std::unique_ptr<rtm::IRtmService, void (*)(rtm::IRtmService*)> g_released(
    nullptr, [](rtm::IRtmService* service) {
      std::printf("service login, setParameters, logout at exit: %d %d %d\n",
                  service->login("token", "carol"),
                  service->setParameters(R"({"Cmd":"LocalNetChanged","netType":2})"),
                  service->logout());
      service->release(false);
    });
struct KitLogoutAtExit {
  ~KitLogoutAtExit() {
    if (g_bob != nullptr) g_bob->LogoutAtExit();
  }
} g_kit_logout;
rtm::IRtmServiceEventHandler g_handler;

int Fail(const char* step) {
  std::fprintf(stdout, "consumer: %s failed\n", step);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stdout, "usage: consumer HOST PORT\n");
    return 2;
  }
  std::printf("VoRtmKit %s (%d)\n", VORTM_VERSION_STRING, VORTM_VERSION);
  std::string params = std::string("{\"Cmd\":\"ConfPriCloudAddr\",\"ServerAdd\":\"") + argv[1] +
                       "\",\"Port\":" + argv[2] + "}";
  auto alice = std::make_shared<User>("alice");
  g_bob = std::make_shared<User>("bob");
  if (!alice->Login(params, alice) || !g_bob->Login(params, g_bob)) return Fail("login");
  if (!alice->Send("bob", "hello bob") || !g_bob->WaitForMessage()) return Fail("message");
  std::printf("bob received %s\n", g_bob->received().c_str());
  if (!alice->Logout()) return Fail("logout");
  std::printf("logged out\n");
  alice->End();
  g_released.reset(createRtmService());
  createRtmService();
  return g_released->initialize(kAppId, &g_handler) == 0 ? 0 : Fail("initialize");
}
