// A tiny app built against an installed VoRtmKit, in C++11: alice and bob log in to the local
// test service, alice sends bob one message, both log out.
//   consumer HOST PORT
// Prints the library version and what bob received; exits 0 when all of it worked.
#include <vortm/rtm_service.h>
#include <vortm/version.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#if defined(VORTM_GATEWAY_HOST) || defined(OPENSSL_API_COMPAT) || defined(SPDLOG_COMPILED_LIB)
#error "the library's private compile definitions reached the app"
#endif

namespace rtm = vy::rtm;

namespace {

const char kAppId[] = "0123456789abcdef0123456789abcdef";

class User : public rtm::IRtmServiceEventHandler {
 public:
  explicit User(const char* name) : name_(name), service_(createRtmService()) {}
  ~User() {
    if (service_ != nullptr) service_->release(true);
  }

  bool Login(const std::string& gateway_params) {
    if (service_ == nullptr || service_->initialize(kAppId, this) != 0 ||
        service_->setParameters(gateway_params.c_str()) != 0 ||
        service_->login("token", name_.c_str()) != 0) {
      return false;
    }
    return Wait([this] { return logged_in_; });
  }
  bool Logout() {
    return service_->logout() == 0 && Wait([this] { return logged_out_; });
  }
  // Sends `text` to `peer` and waits for its result; true when it was delivered.
  bool Send(const char* peer, const char* text) {
    rtm::IMessage* message = service_->createMessage(text);
    int code = service_->sendMessageToPeer(peer, message);
    message->release();
    return code == 0 && Wait([this] { return send_result_ >= 0; }) &&
           send_result_ == rtm::PEER_MESSAGE_ERR_OK;
  }
  bool WaitForMessage() {
    return Wait([this] { return !received_.empty(); });
  }
  std::string received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }

  void onLoginSuccess() override { Set(&logged_in_); }
  void onConnectionStateChanged(rtm::CONNECTION_STATE state,
                                rtm::CONNECTION_CHANGE_REASON reason) override {
    if (state == rtm::CONNECTION_STATE_DISCONNECTED &&
        reason == rtm::CONNECTION_CHANGE_REASON_LOGOUT) {
      Set(&logged_out_);
    }
  }
  void onSendMessageResult(long long, rtm::PEER_MESSAGE_ERR_CODE code) override {
    std::lock_guard<std::mutex> lock(mu_);
    send_result_ = code;
    cv_.notify_all();
  }
  void onMessageReceivedFromPeer(const char* peer, const rtm::IMessage* message) override {
    std::lock_guard<std::mutex> lock(mu_);
    received_ = std::string(peer) + ": " + message->getText();
    cv_.notify_all();
  }

 private:
  template <typename Condition>
  bool Wait(Condition done) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(15), done);
  }
  void Set(bool* flag) {
    std::lock_guard<std::mutex> lock(mu_);
    *flag = true;
    cv_.notify_all();
  }

  std::string name_;
  rtm::IRtmService* service_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool logged_in_ = false;
  bool logged_out_ = false;
  int send_result_ = -1;
  std::string received_;
};

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
  User alice("alice");
  User bob("bob");
  if (!alice.Login(params) || !bob.Login(params)) return Fail("login");
  if (!alice.Send("bob", "hello bob") || !bob.WaitForMessage()) return Fail("message");
  std::printf("bob received %s\n", bob.received().c_str());
  if (!alice.Logout() || !bob.Logout()) return Fail("logout");
  std::printf("logged out\n");
  return 0;
}
