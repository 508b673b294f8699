// End-to-end helpers: a vy::rtm service with a recording handler, logged in against an
// in-process local test service, and a test clock that runs with real time but can jump.
#ifndef TESTS_CORE_RTM_TEST_CLIENT_H_
#define TESTS_CORE_RTM_TEST_CLIENT_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vortm/rtm_service.h>

#include "local_service/local_service.h"
#include "rtc_base/time_utils.h"

namespace rtm_test {

namespace rtm = vy::rtm;

constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";

// One callback, as recorded.
struct Event {
  enum Kind {
    kState,
    kLoginSuccess,
    kLoginFailure,
    kLogout,
    kTokenExpired,
    kRenewResult,
    kSendResult,
    kMessage,
  };
  Kind kind;
  int a = 0;  // state, or error code
  int b = 0;  // reason, or message type
  long long id = 0;
  std::string peer;  // peer id, or renewed token
  std::string text;
  bool offline = false;
  long long server_time = 0;
};

class EventLog : public rtm::IRtmServiceEventHandler {
 public:
  // `action` runs inside every later callback, on the worker thread, after the event is
  // recorded.
  void SetOnEvent(std::function<void(const Event&)> action) {
    std::lock_guard<std::mutex> lock(mu_);
    on_event_ = std::move(action);
  }

  void onConnectionStateChanged(rtm::CONNECTION_STATE state,
                                rtm::CONNECTION_CHANGE_REASON reason) override {
    Event e{Event::kState};
    e.a = state;
    e.b = reason;
    Add(e);
  }
  void onLoginSuccess() override { Add(Event{Event::kLoginSuccess}); }
  void onLoginFailure(rtm::LOGIN_ERR_CODE code) override {
    Event e{Event::kLoginFailure};
    e.a = code;
    Add(e);
  }
  void onLogout(rtm::LOGOUT_ERR_CODE code) override {
    Event e{Event::kLogout};
    e.a = code;
    Add(e);
  }
  void onTokenExpired() override { Add(Event{Event::kTokenExpired}); }
  void onRenewTokenResult(const char* token, rtm::RENEW_TOKEN_ERR_CODE code) override {
    Event e{Event::kRenewResult};
    e.a = code;
    e.peer = token != nullptr ? token : "<null>";
    Add(e);
  }
  void onSendMessageResult(long long id, rtm::PEER_MESSAGE_ERR_CODE code) override {
    Event e{Event::kSendResult};
    e.a = code;
    e.id = id;
    Add(e);
  }
  void onMessageReceivedFromPeer(const char* peer, const rtm::IMessage* message) override {
    Event e{Event::kMessage};
    e.peer = peer;
    e.id = message->getMessageId();
    e.b = message->getMessageType();
    e.text = std::string(message->getRawMessageData(),
                         static_cast<size_t>(message->getRawMessageLength()));
    e.offline = message->isOfflineMessage();
    e.server_time = message->getServerReceivedTs();
    Add(e);
  }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  std::vector<Event> Of(Event::Kind kind) {
    std::vector<Event> out;
    for (const Event& e : Events()) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }
  // (state, reason) pairs in order.
  std::vector<std::pair<int, int>> States() {
    std::vector<std::pair<int, int>> out;
    for (const Event& e : Of(Event::kState)) out.emplace_back(e.a, e.b);
    return out;
  }
  size_t Count(Event::Kind kind) { return Of(kind).size(); }
  // Waits (real time) until `count` events of `kind` were recorded.
  bool WaitFor(Event::Kind kind, size_t count = 1, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      size_t n = 0;
      for (const Event& e : events_) n += e.kind == kind ? 1 : 0;
      return n >= count;
    });
  }
  bool WaitForState(int state, int reason, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      for (const Event& e : events_) {
        if (e.kind == Event::kState && e.a == state && e.b == reason) return true;
      }
      return false;
    });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    events_.clear();
  }

 private:
  void Add(const Event& e) {
    std::function<void(const Event&)> action;
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(e);
      action = on_event_;
    }
    cv_.notify_all();
    if (action) action(e);
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::function<void(const Event&)> on_event_;
};

// A service initialised with the test app id and pointed at `svc`.
class Client {
 public:
  explicit Client(const local_service::LocalService& svc, std::string user)
      : user_(std::move(user)) {
    service_ = createRtmService();
    EXPECT_EQ(0, service_->initialize(kAppId, &log));
    std::string params = std::string(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")") + svc.address() +
                         R"(","Port":)" + std::to_string(svc.http_port()) + "}";
    EXPECT_EQ(0, service_->setParameters(params.c_str()));
  }
  ~Client() {
    if (service_ != nullptr) service_->release(true);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  rtm::IRtmService* operator->() { return service_; }
  rtm::IRtmService* service() { return service_; }
  const std::string& user() const { return user_; }

  // Logs in and waits for onLoginSuccess.
  bool Login(const char* token = "tok") {
    size_t before = log.Count(Event::kLoginSuccess);
    if (service_->login(token, user_.c_str()) != 0) return false;
    return log.WaitFor(Event::kLoginSuccess, before + 1);
  }

  // Sends `text` and returns its message id (0 when refused).
  long long Send(const std::string& peer, const std::string& text, bool offline = false) {
    rtm::IMessage* message = service_->createMessage(text.c_str());
    if (message == nullptr) return 0;
    long long id = message->getMessageId();
    rtm::SendMessageOptions options;
    options.enableOfflineMessaging = offline;
    int result = service_->sendMessageToPeer(peer.c_str(), message, options);
    message->release();
    return result == 0 ? id : 0;
  }

  // The result reported for message `id`, waiting for it; -1 when none came.
  int ResultOf(long long id, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      for (const Event& e : log.Of(Event::kSendResult)) {
        if (e.id == id) return e.a;
      }
      if (std::chrono::steady_clock::now() >= deadline) return -1;
      usleep(1000);
    }
  }

  EventLog log;

 private:
  std::string user_;
  rtm::IRtmService* service_ = nullptr;
};

// A test clock that follows real time (a thread advances it every millisecond) and can jump
// ahead, so that 10 s time-outs pass at once. One clock serves the whole test program and is
// never removed, so that the worker thread, which outlives every test, never sees time go
// back. Take it before the first service is created.
class RunningFakeClock {
 public:
  static RunningFakeClock& Instance() {
    static RunningFakeClock* clock = new RunningFakeClock();
    clock->Resume();
    return *clock;
  }

  RunningFakeClock() {
    clock_.SetTimeMillis(rtc::SystemTimeMillis());
    rtc::SetClockForTesting(&clock_);
    ticker_ = std::thread([this] {
      while (!stop_.load()) {
        usleep(1000);
        if (!paused_.load()) clock_.AdvanceTime(1);
      }
    });
  }
  ~RunningFakeClock() {
    rtc::SetClockForTesting(nullptr);
    stop_.store(true);
    ticker_.join();
  }
  void Jump(int64_t ms) { clock_.AdvanceTime(ms); }
  // While paused the clock moves only by jumps. The worker then runs no pass of its own, but
  // still answers calls.
  void Pause() { paused_.store(true); }
  void Resume() { paused_.store(false); }

 private:
  rtc::FakeClock clock_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::thread ticker_;
};

// Options of a local service on its own loopback address.
inline local_service::Options ServiceOptions() {
  local_service::Options options;
  options.address = "auto";
  return options;
}

// Polls `done` for up to `timeout_ms` of real time.
inline bool Eventually(const std::function<bool()>& done, int timeout_ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    usleep(1000);
  }
  return true;
}

}  // namespace rtm_test

#endif  // TESTS_CORE_RTM_TEST_CLIENT_H_
