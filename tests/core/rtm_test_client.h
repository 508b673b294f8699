// End-to-end helpers: a vy::rtm service with a recording handler, logged in against an
// in-process local test service, and a test clock that runs with real time but can jump.
#ifndef TESTS_CORE_RTM_TEST_CLIENT_H_
#define TESTS_CORE_RTM_TEST_CLIENT_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
    kQueryStatus,        // list: "peer:isOnline:state"
    kSubscription,       // subscribe and unsubscribe results
    kSubscribedPeers,    // list: peer ids
    kStatusChanged,      // list: "peer:isOnline:state"
    kMemberCount,        // list: "channel:count"
    kAttributeResult,    // text: the operation ("set", "addOrUpdate", "delete", "clear", and
                         // "setChannel" ... for channel attributes)
    kUserAttributes,     // peer: the user; list: "key=value"
    kChannelAttributes,  // list: "key=value@user"; server_time: the latest update time
  };
  Kind kind;
  int a = 0;  // state, or error code
  int b = 0;  // reason, message type, or a list's count as reported
  long long id = 0;  // message or request id
  std::string peer;  // peer id, or renewed token
  std::string text;
  bool offline = false;
  long long server_time = 0;
  std::vector<std::string> list;
  int64_t at_ms = 0;  // rtc::TimeMillis() when it was recorded
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

  void onQueryPeersOnlineStatusResult(long long id, const rtm::PeerOnlineStatus* statuses,
                                      int count, rtm::QUERY_PEERS_ONLINE_STATUS_ERR code) override {
    AddStatuses(Event::kQueryStatus, id, statuses, count, code);
  }
  void onPeersOnlineStatusChanged(const rtm::PeerOnlineStatus statuses[], int count) override {
    AddStatuses(Event::kStatusChanged, 0, statuses, count, 0);
  }
  void onSubscriptionRequestResult(long long id, rtm::PEER_SUBSCRIPTION_STATUS_ERR code) override {
    AddResult(Event::kSubscription, id, code);
  }
  void onQueryPeersBySubscriptionOptionResult(
      long long id, const char* peers[], int count,
      rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR code) override {
    Event e = Result(Event::kSubscribedPeers, id, code, count);
    for (int i = 0; i < count; ++i) e.list.push_back(peers[i]);
    Add(e);
  }
  void onGetChannelMemberCountResult(long long id, const rtm::ChannelMemberCount* counts, int count,
                                     rtm::GET_CHANNEL_MEMBER_COUNT_ERR_CODE code) override {
    Event e = Result(Event::kMemberCount, id, code, count);
    for (int i = 0; i < count; ++i) {
      e.list.push_back(std::string(counts[i].channelId) + ":" + std::to_string(counts[i].count));
    }
    Add(e);
  }
  void onSetLocalUserAttributesResult(long long id, rtm::ATTRIBUTE_OPERATION_ERR code) override {
    AddResult(Event::kAttributeResult, id, code, "set");
  }
  void onAddOrUpdateLocalUserAttributesResult(long long id,
                                              rtm::ATTRIBUTE_OPERATION_ERR code) override {
    AddResult(Event::kAttributeResult, id, code, "addOrUpdate");
  }
  void onDeleteLocalUserAttributesResult(long long id, rtm::ATTRIBUTE_OPERATION_ERR code) override {
    AddResult(Event::kAttributeResult, id, code, "delete");
  }
  void onClearLocalUserAttributesResult(long long id, rtm::ATTRIBUTE_OPERATION_ERR code) override {
    AddResult(Event::kAttributeResult, id, code, "clear");
  }
  void onSetChannelAttributesResult(long long id, rtm::ATTRIBUTE_OPERATION_ERR code) override {
    AddResult(Event::kAttributeResult, id, code, "setChannel");
  }
  void onAddOrUpdateChannelAttributesResult(long long id,
                                            rtm::ATTRIBUTE_OPERATION_ERR code) override {
    AddResult(Event::kAttributeResult, id, code, "addOrUpdateChannel");
  }
  void onDeleteChannelAttributesResult(long long id, rtm::ATTRIBUTE_OPERATION_ERR code) override {
    AddResult(Event::kAttributeResult, id, code, "deleteChannel");
  }
  void onClearChannelAttributesResult(long long id, rtm::ATTRIBUTE_OPERATION_ERR code) override {
    AddResult(Event::kAttributeResult, id, code, "clearChannel");
  }
  void onGetUserAttributesResult(long long id, const char* user,
                                 const rtm::RtmAttribute* attributes, int count,
                                 rtm::ATTRIBUTE_OPERATION_ERR code) override {
    Event e = Result(Event::kUserAttributes, id, code, count);
    e.peer = user != nullptr ? user : "<null>";
    for (int i = 0; i < count; ++i) {
      e.list.push_back(std::string(attributes[i].key) + "=" + attributes[i].value);
    }
    Add(e);
  }
  void onGetChannelAttributesResult(long long id, const rtm::IRtmChannelAttribute* attributes[],
                                    int count, rtm::ATTRIBUTE_OPERATION_ERR code) override {
    Event e = Result(Event::kChannelAttributes, id, code, count);
    for (int i = 0; i < count; ++i) {
      e.list.push_back(std::string(attributes[i]->getKey()) + "=" + attributes[i]->getValue() +
                       "@" + attributes[i]->getLastUpdateUserId());
      e.server_time = std::max(e.server_time, attributes[i]->getLastUpdateTs());
    }
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
  // The events of `kind` reporting request `id`.
  std::vector<Event> OfId(Event::Kind kind, long long id) {
    std::vector<Event> out;
    for (const Event& e : Of(kind)) {
      if (e.id == id) out.push_back(e);
    }
    return out;
  }
  // Waits (real time) for the first report of request `id`.
  bool WaitForId(Event::Kind kind, long long id, Event* out = nullptr, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      for (const Event& e : events_) {
        if (e.kind != kind || e.id != id) continue;
        if (out != nullptr) *out = e;
        return true;
      }
      return false;
    });
  }

 private:
  static Event Result(Event::Kind kind, long long id, int code, int count = 0) {
    Event e{kind};
    e.id = id;
    e.a = code;
    e.b = count;
    return e;
  }
  void AddResult(Event::Kind kind, long long id, int code, const char* text = "") {
    Event e = Result(kind, id, code);
    e.text = text;
    Add(e);
  }
  void AddStatuses(Event::Kind kind, long long id, const rtm::PeerOnlineStatus* statuses, int count,
                   int code) {
    Event e = Result(kind, id, code, count);
    for (int i = 0; i < count; ++i) {
      e.list.push_back(std::string(statuses[i].peerId) + ":" + (statuses[i].isOnline ? "1" : "0") +
                       ":" + std::to_string(statuses[i].state));
    }
    Add(e);
  }
  void Add(Event e) {
    e.at_ms = rtc::TimeMillis();
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

// The setParameters text that points a service at the gateway on `address`:`port`.
inline std::string GatewayParams(const std::string& address, int port) {
  return R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + address + R"(","Port":)" +
         std::to_string(port) + "}";
}

// A service initialised with the test app id and pointed at `svc`, for tests that release it
// themselves.
inline rtm::IRtmService* NewService(const local_service::LocalService& svc, EventLog* log) {
  rtm::IRtmService* service = createRtmService();
  EXPECT_EQ(0, service->initialize(kAppId, log));
  EXPECT_EQ(0, service->setParameters(GatewayParams(svc.address(), svc.http_port()).c_str()));
  return service;
}

// A service initialised with the test app id and pointed at `svc`.
class Client {
 public:
  explicit Client(const local_service::LocalService& svc, std::string user)
      : user_(std::move(user)), service_(NewService(svc, &log)) {}
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

// A test against a local service of its own, with the program's test clock (taken before the
// first service) running again at its end.
class ServiceTest : public ::testing::Test {
 protected:
  explicit ServiceTest(local_service::Options options = ServiceOptions())
      : svc_(std::move(options)) {}
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
  }
  void TearDown() override { clock_.Resume(); }

  // Commands the service received from `user` ("" for anyone), by name.
  std::vector<local_service::ReceivedCommand> Received(const std::string& user,
                                                       const std::string& cmd) {
    std::vector<local_service::ReceivedCommand> out;
    for (const auto& c : svc_.LogAll()) {
      if (c.cmd == cmd && (user.empty() || c.user == user)) out.push_back(c);
    }
    return out;
  }
  // Logs in and waits until the service has read the first KeepAlive, so that a close by the
  // service cannot meet unread bytes (which would turn it into a reset that discards what the
  // service sent last).
  bool LogInAndSettle(Client& client) {
    return client.Login() && svc_.WaitForCommand(client.user(), "KeepAlive", 1, 5000);
  }
  // Advances the test clock in steps, so that every deadline on the way gets its own pass.
  void Pass(int64_t ms, int64_t step = 500) {
    for (int64_t done = 0; done < ms; done += step) {
      clock_.Jump(step);
      usleep(3000);
    }
  }

  RunningFakeClock& clock_ = RunningFakeClock::Instance();
  local_service::LocalService svc_;
};

// `n` ids "p0", "p1", ... as the C array of texts the service takes.
class IdList {
 public:
  explicit IdList(int n, const std::string& prefix = "p") {
    for (int i = 0; i < n; ++i) names_.push_back(prefix + std::to_string(i));
    Refresh();
  }
  void Set(int i, const std::string& name) {
    names_[static_cast<size_t>(i)] = name;
    Refresh();
  }
  const char** data() { return pointers_.data(); }
  int size() const { return static_cast<int>(names_.size()); }

 private:
  void Refresh() {
    pointers_.clear();
    for (const std::string& name : names_) pointers_.push_back(name.c_str());
  }
  std::vector<std::string> names_;
  std::vector<const char*> pointers_;
};

// Drops what the service sends `user` (`cmd`, or everything), `times` times or for ever.
inline local_service::FaultRule DropToClient(const std::string& user, const std::string& cmd,
                                             int times = -1) {
  local_service::FaultRule rule;
  rule.direction = local_service::Direction::kToClient;
  rule.user = user;
  rule.cmd = cmd;
  rule.action = local_service::FaultAction::kDrop;
  rule.times = times;
  return rule;
}

// Requests guarded by one limiter: `call(n)` makes the group's n-th request (so a group may
// mix operations); `allowed` pass per window of `window_ms`, the rest are refused with `refusal`.
struct LimitedGroup {
  const char* name;
  std::function<int(int n)> call;
  int allowed;
  int64_t window_ms;
  int refusal;
};

// For each group, on the paused clock: a window's requests pass, the next two are refused (the
// first refusal is not counted), the window's last millisecond still refuses and the next one
// opens a new window.
inline void ExpectLimiterWindows(RunningFakeClock& clock, const std::vector<LimitedGroup>& groups) {
  for (const LimitedGroup& group : groups) {
    SCOPED_TRACE(group.name);
    clock.Pause();
    int n = 0;
    for (int i = 0; i < group.allowed; ++i) EXPECT_EQ(0, group.call(n++)) << i;
    EXPECT_EQ(group.refusal, group.call(n++));
    EXPECT_EQ(group.refusal, group.call(n++));
    clock.Jump(group.window_ms);
    EXPECT_EQ(group.refusal, group.call(n++));
    clock.Jump(1);
    EXPECT_EQ(0, group.call(n++));
    clock.Resume();
  }
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
