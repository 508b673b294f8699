// vortm-chat: a small line-oriented chat client on the vy::rtm API.
//
//   vortm-chat --user alice [--token T] [--app-id ID] [--gateway HOST:PORT]
//
// It logs in, then reads commands, one a line, from standard input (a terminal or a pipe):
//   /msg PEER TEXT   send TEXT to PEER (stored for PEER by the service while PEER is offline)
//   /sleep MS        pause reading for MS milliseconds
//   /wait            wait until every message sent so far has its result
//   /quit            wait for outstanding results, log out and exit (end of input does too)
// Connection changes, send results and received messages are printed as they happen, each
// line starting with the user's name in brackets. Callbacks arrive on the library's worker
// thread; the main thread only reads input and waits. The exit status is 0 when every message
// was delivered or stored, 1 when the login failed, 2 for bad arguments and 3 when a message
// failed.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <vortm/rtm_service.h>

namespace rtm = vy::rtm;

namespace {

constexpr char kDefaultAppId[] = "0123456789abcdef0123456789abcdef";
constexpr int kLoginWaitMs = 15000;
// Longer than the library's own 10 s send time-out, so every send gets its result.
constexpr int kResultWaitMs = 12000;

const char* StateName(int state) {
  switch (state) {
    case rtm::CONNECTION_STATE_DISCONNECTED:
      return "disconnected";
    case rtm::CONNECTION_STATE_CONNECTING:
      return "connecting";
    case rtm::CONNECTION_STATE_CONNECTED:
      return "connected";
    case rtm::CONNECTION_STATE_RECONNECTING:
      return "reconnecting";
    case rtm::CONNECTION_STATE_ABORTED:
      return "aborted";
  }
  return "unknown";
}

const char* ReasonName(int reason) {
  switch (reason) {
    case rtm::CONNECTION_CHANGE_REASON_LOGIN:
      return "login";
    case rtm::CONNECTION_CHANGE_REASON_LOGIN_SUCCESS:
      return "login success";
    case rtm::CONNECTION_CHANGE_REASON_LOGIN_FAILURE:
      return "login failure";
    case rtm::CONNECTION_CHANGE_REASON_LOGIN_TIMEOUT:
      return "login timeout";
    case rtm::CONNECTION_CHANGE_REASON_INTERRUPTED:
      return "interrupted";
    case rtm::CONNECTION_CHANGE_REASON_LOGOUT:
      return "logout";
    case rtm::CONNECTION_CHANGE_REASON_REMOTE_LOGIN:
      return "logged in elsewhere";
  }
  return "unknown";
}

const char* ResultName(int code) {
  switch (code) {
    case rtm::PEER_MESSAGE_ERR_OK:
      return "delivered";
    case rtm::PEER_MESSAGE_ERR_TIMEOUT:
      return "timed out";
    case rtm::PEER_MESSAGE_ERR_PEER_UNREACHABLE:
      return "peer offline, not delivered";
    case rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER:
      return "peer offline, stored by the service";
    case rtm::PEER_MESSAGE_ERR_TOO_OFTEN:
      return "refused: too many messages";
    case rtm::PEER_MESSAGE_ERR_INVALID_USERID:
      return "refused: bad peer id";
    case rtm::PEER_MESSAGE_ERR_INVALID_MESSAGE:
      return "refused: bad message";
    case rtm::PEER_MESSAGE_ERR_NOT_INITIALIZED:
      return "refused: not initialized";
    case rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN:
      return "refused: not logged in";
  }
  return "failed";
}

// Prints whole lines, from any thread, each in one write.
class Printer {
 public:
  explicit Printer(std::string user) : prefix_("[" + std::move(user) + "] ") {}
  void Line(const std::string& text) {
    std::string line = prefix_ + text + "\n";
    std::lock_guard<std::mutex> lock(mu_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

 private:
  std::string prefix_;
  std::mutex mu_;
};

class ChatHandler : public rtm::IRtmServiceEventHandler {
 public:
  explicit ChatHandler(Printer* out) : out_(out) {}

  void onConnectionStateChanged(rtm::CONNECTION_STATE state,
                                rtm::CONNECTION_CHANGE_REASON reason) override {
    out_->Line(std::string("* ") + StateName(state) + " (" + ReasonName(reason) + ")");
  }
  void onLoginSuccess() override {
    out_->Line("* logged in");
    FinishLogin(true);
  }
  void onLoginFailure(rtm::LOGIN_ERR_CODE code) override {
    out_->Line("* login failed, code " + std::to_string(code));
    FinishLogin(false);
  }
  void onTokenExpired() override { out_->Line("* token expired"); }
  void onSendMessageResult(long long id, rtm::PEER_MESSAGE_ERR_CODE code) override {
    std::string peer;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = outstanding_.find(id);
      if (it != outstanding_.end()) {
        peer = it->second;
        outstanding_.erase(it);
      }
      if (code != rtm::PEER_MESSAGE_ERR_OK && code != rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER) {
        ++failures_;
      }
    }
    cv_.notify_all();
    out_->Line("message #" + std::to_string(id) + (peer.empty() ? "" : " to " + peer) + ": " +
               ResultName(code));
  }
  void onMessageReceivedFromPeer(const char* peer, const rtm::IMessage* message) override {
    std::string text(message->getRawMessageData(),
                     static_cast<size_t>(message->getRawMessageLength()));
    out_->Line("<- " + std::string(peer) + (message->isOfflineMessage() ? " (offline)" : "") +
               ": " + text);
  }

  // Registered before the send, so a result that comes at once finds it.
  void Expect(long long id, const std::string& peer) {
    std::lock_guard<std::mutex> lock(mu_);
    outstanding_[id] = peer;
  }
  // 1 logged in, 0 failed, -1 no answer in time.
  int WaitForLogin() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(kLoginWaitMs), [this] { return login_ >= 0; });
    return login_;
  }
  bool WaitForResults() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kResultWaitMs),
                        [this] { return outstanding_.empty(); });
  }
  int failures() {
    std::lock_guard<std::mutex> lock(mu_);
    return failures_ + static_cast<int>(outstanding_.size());
  }

 private:
  void FinishLogin(bool ok) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (login_ < 0) login_ = ok ? 1 : 0;
    }
    cv_.notify_all();
  }

  Printer* out_;
  std::mutex mu_;
  std::condition_variable cv_;
  int login_ = -1;
  std::map<long long, std::string> outstanding_;
  int failures_ = 0;
};

void Usage() {
  std::fprintf(stderr,
               "usage: vortm-chat --user NAME [--token TOKEN] [--app-id ID] "
               "[--gateway HOST:PORT]\n"
               "commands: /msg PEER TEXT, /sleep MS, /wait, /quit\n");
}

// Sends one "/msg" line's text; false for a malformed line.
bool SendLine(rtm::IRtmService* service, ChatHandler* handler, Printer* out,
              const std::string& rest) {
  size_t space = rest.find(' ');
  if (space == std::string::npos || space == 0 || space + 1 >= rest.size()) return false;
  std::string peer = rest.substr(0, space);
  std::string text = rest.substr(space + 1);
  rtm::IMessage* message = service->createMessage(text.c_str());
  if (message == nullptr) return false;
  long long id = message->getMessageId();
  rtm::SendMessageOptions options;
  options.enableOfflineMessaging = true;
  handler->Expect(id, peer);
  out->Line("-> " + peer + " #" + std::to_string(id) + ": " + text);
  // A refused message is reported through the handler as well.
  service->sendMessageToPeer(peer.c_str(), message, options);
  message->release();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string user;
  std::string token = "demo-token";
  std::string app_id = kDefaultAppId;
  std::string gateway;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) {
      Usage();
      return 2;
    }
    std::string value = argv[++i];
    if (arg == "--user") {
      user = value;
    } else if (arg == "--token") {
      token = value;
    } else if (arg == "--app-id") {
      app_id = value;
    } else if (arg == "--gateway") {
      gateway = value;
    } else {
      Usage();
      return 2;
    }
  }
  if (user.empty()) {
    Usage();
    return 2;
  }

  Printer out(user);
  ChatHandler handler(&out);
  rtm::IRtmService* service = createRtmService();
  if (service == nullptr) return 1;
  if (service->initialize(app_id.c_str(), &handler) != 0) {
    out.Line("* initialize refused the app id (it must have 32 characters)");
    service->release(true);
    return 2;
  }
  if (!gateway.empty()) {
    size_t colon = gateway.rfind(':');
    std::string host = colon == std::string::npos ? gateway : gateway.substr(0, colon);
    std::string port = colon == std::string::npos ? "" : gateway.substr(colon + 1);
    std::string params = R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + host + "\"" +
                         (port.empty() ? "" : ",\"Port\":" + port) + "}";
    if (service->setParameters(params.c_str()) != 0) {
      out.Line("* bad --gateway " + gateway);
      service->release(true);
      return 2;
    }
  }

  int code = service->login(token.c_str(), user.c_str());
  if (code != 0) {
    out.Line("* login refused, code " + std::to_string(code));
    service->release(true);
    return 1;
  }
  int login = handler.WaitForLogin();
  if (login != 1) {
    if (login < 0) out.Line("* no login answer");
    service->release(true);
    return 1;
  }

  if (isatty(STDIN_FILENO)) out.Line("* commands: /msg PEER TEXT, /wait, /quit");
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    if (line == "/quit") break;
    if (line == "/wait") {
      if (!handler.WaitForResults()) out.Line("* some results did not come");
    } else if (line.rfind("/sleep ", 0) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(line.c_str() + 7)));
    } else if (line == "/msg" || line.rfind("/msg ", 0) == 0) {
      if (line.size() < 5 || !SendLine(service, &handler, &out, line.substr(5))) {
        out.Line("* usage: /msg PEER TEXT");
      }
    } else {
      out.Line("* unknown command: " + line);
    }
  }
  handler.WaitForResults();
  // Logs out, then deletes the service.
  service->release(true);
  return handler.failures() == 0 ? 0 : 3;
}
