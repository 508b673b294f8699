// The end-to-end benchmarks' side of the local test service: one shared in-process service, a
// logged-in library user, and a raw client written against the service's own protocol code
// without the library (the baseline the library's figures are set against).
#ifndef BENCH_BENCH_SERVICE_H_
#define BENCH_BENCH_SERVICE_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <vortm/rtm_service.h>

#include "local_service/envelope.h"
#include "local_service/framing.h"
#include "local_service/json_util.h"
#include "local_service/local_service.h"
#include "local_service/msg_crypt.h"
#include "rtc_base/base/logging.h"

namespace bench_service {

constexpr char kApp[] = "0123456789abcdef0123456789abcdef";

class BenchClient {
 public:
  ~BenchClient() {
    if (fd_ >= 0) close(fd_);
  }

  bool Login(const local_service::LocalService& svc, const std::string& uid) {
    httplib::Client http(svc.address(), svc.http_port());
    auto res = http.Post(
        "/vyapi/v1?action=wrtm_gateway",
        R"({"cType":2,"appId":")" + std::string(kApp) + R"(","uid":")" + uid + R"(","wss":false})",
        "application/x-www-form-urlencoded");
    if (!res) return false;
    rapidjson::Document doc;
    if (!local_service::ParseJsonObject(res->body, &doc)) return false;
    std::string session = local_service::GetString(doc, "sessionid").value_or("");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(svc.tcp_port()));
    inet_pton(AF_INET, svc.address().c_str(), &sa.sin_addr);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) return false;
    std::string app = kApp;
    Send(local_service::BuildEncryptedEnvelope(
        crypt_, "Login", R"({"UserId":")" + uid + R"(","SessionId":")" + session + R"("})", Now(),
        local_service::RandomAlnum(10), {}, &app));
    return Next() == "Login";
  }

  void Command(const std::string& cmd, const std::string& body) {
    Send(local_service::BuildEncryptedEnvelope(crypt_, cmd, body, Now(),
                                               local_service::RandomAlnum(10)));
  }

  // Reads the next packet and returns its command name; the body is decrypted into `body_`.
  std::string Next() {
    std::string payload, error;
    while (reader_.Next(&payload, &error) != local_service::FrameReader::Status::kPacket) {
      char buf[65536];
      ssize_t n = recv(fd_, buf, sizeof(buf), 0);
      if (n <= 0) return "";
      reader_.Feed(buf, static_cast<size_t>(n));
    }
    local_service::Envelope env;
    if (!local_service::ParseEnvelope(payload, &env, &error)) return "";
    body_.clear();
    if (!env.content.empty())
      crypt_.Decrypt(env.signature, env.timestamp, env.nonce, env.content, &body_);
    return env.cmd;
  }

  const std::string& body() const { return body_; }

 private:
  static std::string Now() {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count());
  }
  void Send(const std::string& payload) {
    std::string frame = local_service::EncodeFrame(payload);
    size_t off = 0;
    while (off < frame.size()) {
      ssize_t n = send(fd_, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<size_t>(n);
    }
  }

  int fd_ = -1;
  local_service::MsgCrypt crypt_{kApp};
  local_service::FrameReader reader_;
  std::string body_;
};

struct Pair {
  Pair() : svc(Options()) {
    ok = svc.Start() && alice.Login(svc, "alice") && bob.Login(svc, "bob");
  }
  static local_service::Options Options() {
    local_service::Options o;
    o.http_port = 0;
    return o;
  }
  local_service::LocalService svc;
  BenchClient alice, bob;
  bool ok = false;
};

using Clock = std::chrono::steady_clock;

inline local_service::LocalService& Service() {
  static local_service::LocalService* svc = [] {
    rtc::LogMessage::LogToDebug(rtc::LS_NONE);
    local_service::Options options;
    options.address = "auto";
    auto* s = new local_service::LocalService(options);
    s->Start();
    return s;
  }();
  return *svc;
}

// The setParameters text that points a service at the shared local service's gateway.
inline std::string GatewayParams() {
  return std::string(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")") + Service().address() + "\"}";
}

class Handler : public vy::rtm::IRtmServiceEventHandler {
 public:
  void onLoginSuccess() override {
    std::lock_guard<std::mutex> lock(mu_);
    logged_in_ = true;
    cv_.notify_all();
  }
  void onSendMessageResult(long long id, vy::rtm::PEER_MESSAGE_ERR_CODE) override {
    std::lock_guard<std::mutex> lock(mu_);
    results_[id] = Clock::now();
    ++result_count_;
    cv_.notify_all();
  }
  void onMessageReceivedFromPeer(const char*, const vy::rtm::IMessage*) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++received_;
    cv_.notify_all();
  }
  bool WaitLogin() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return logged_in_; });
  }
  bool WaitResult(long long id, Clock::time_point* when) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::seconds(10), [&] { return results_.count(id) != 0; }))
      return false;
    *when = results_[id];
    results_.erase(id);
    return true;
  }
  bool WaitReceived(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return received_ >= n; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool logged_in_ = false;
  std::map<long long, Clock::time_point> results_;
  size_t result_count_ = 0;
  size_t received_ = 0;
};

class User {
 public:
  explicit User(const std::string& name) {
    service_ = createRtmService();
    service_->initialize(kApp, &handler);
    service_->setParameters(GatewayParams().c_str());
    ok_ = service_->login("bench", name.c_str()) == 0 && handler.WaitLogin();
  }
  ~User() { service_->release(true); }
  bool ok() const { return ok_; }
  long long Send(const std::string& peer, const std::string& text) {
    vy::rtm::IMessage* message = service_->createMessage(text.c_str());
    long long id = message->getMessageId();
    int result = service_->sendMessageToPeer(peer.c_str(), message);
    message->release();
    return result == 0 ? id : 0;
  }
  Handler handler;

 private:
  vy::rtm::IRtmService* service_ = nullptr;
  bool ok_ = false;
};

inline std::string Message(int64_t id, const std::string& from = "alice",
                           const std::string& to = "bob") {
  return R"({"MsgId":)" + std::to_string(id) + R"(,"FromUId":")" + from + R"(","ToUId":")" + to +
         R"(","MsgType":1,"MsgBody":"benchmark message body"})";
}

inline std::string Ack(int64_t id, const std::string& from = "alice") {
  return R"({"MsgId":)" + std::to_string(id) + R"(,"FromUId":")" + from + R"("})";
}

}  // namespace bench_service

#endif  // BENCH_BENCH_SERVICE_H_
