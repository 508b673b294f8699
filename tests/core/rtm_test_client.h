// The end-to-end fixture: services, channels and call managers with recording handlers, logged
// in against an in-process local test service, and a test clock that runs with real time but
// can pause and jump.
#ifndef TESTS_CORE_RTM_TEST_CLIENT_H_
#define TESTS_CORE_RTM_TEST_CLIENT_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vortm/rtm_call.h>
#include <vortm/rtm_channel.h>
#include <vortm/rtm_service.h>

#include "core/rtc_tick.h"
#include "local_service/json_util.h"
#include "local_service/local_service.h"
#include "rtc_base/base/time_utils.h"

namespace rtm_test {

namespace rtm = vy::rtm;

constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";

// One callback, as recorded, of a service, a channel or a call manager.
struct Event {
  enum Kind {
    kState,
    kLoginSuccess,
    kLoginFailure,
    kLogout,
    kTokenExpired,
    kRenewResult,
    kSendResult,
    kMessage,  // peer or channel
    kQueryStatus,
    kStatusChanged,  // list: "peer:online:state"
    kMemberCount,    // list: "channel:count"
    kSubscription,
    kSubscribedPeers,
    kAttributeResult,
    kUserAttributes,     // peer: the user; list: "key=value"
    kChannelAttributes,  // list: "key=value@user"; server_time: the latest update
    // Channels: a = code or count, peer = member, list = members or "key=value by user".
    kJoinSuccess,
    kJoinFailure,
    kLeave,
    kMemberJoined,
    kMemberLeft,
    kMembers,
    kAttributesUpdated,
    kMemberCountUpdated,
    // Calls: peer = callee or caller, a = code, b = the invitation's state, text = the response
    // passed (received: the content), list = what the object holds: content, then response.
    kReceivedByPeer,
    kLocalFailure,
    kLocalAccepted,
    kLocalRefused,
    kLocalCanceled,
    kRemoteReceived,
    kRemoteFailure,
    kRemoteAccepted,
    kRemoteRefused,
    kRemoteCanceled,
  };
  Kind kind;
  int a = 0;         // state, code or count
  int b = 0;         // reason, message type, a list's count as reported, or a call's state
  long long id = 0;  // message or request id
  std::string peer, text;
  bool offline = false;
  long long server_time = 0;
  std::vector<std::string> list;
  rtm::IRemoteCallInvitation* remote = nullptr;  // valid only inside the callback
};

// Records events and lets tests wait (real time) for them. `action` runs inside every later
// callback, on the worker thread, after the event is recorded.
class Log {
 public:
  void SetOnEvent(std::function<void(const Event&)> action) {
    std::lock_guard<std::mutex> lock(mu_);
    on_event_ = std::move(action);
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
  size_t Count(Event::Kind kind) { return Of(kind).size(); }
  std::vector<std::pair<int, int>> States() {
    std::vector<std::pair<int, int>> out;
    for (const Event& e : Of(Event::kState)) out.emplace_back(e.a, e.b);
    return out;
  }
  // Waits for the `count`-th event of `kind` (of request `id` unless -1), copied to `out`.
  bool WaitFor(Event::Kind kind, size_t count = 1, long long id = -1, Event* out = nullptr,
               int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      size_t n = 0;
      for (const Event& e : events_) {
        if (e.kind != kind || (id != -1 && e.id != id) || ++n < count) continue;
        if (out != nullptr) *out = e;
        return true;
      }
      return false;
    });
  }
  // The code of the first report of `kind` for request `id`, waiting for it; -1 when none came.
  int ResultOf(long long id, int timeout_ms = 10000, Event::Kind kind = Event::kSendResult,
               Event* out = nullptr) {
    Event e;
    return WaitFor(kind, 1, id, &e, timeout_ms) ? (out ? *out = e : e).a : -1;
  }

 protected:
  void Add(Event e) {
    std::function<void(const Event&)> action;
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(e);
      action = on_event_;
    }
    cv_.notify_all();
    if (action) action(e);
  }
  void Add(Event::Kind kind, long long id, int a, int b = 0) { Add(Event{kind, a, b, id}); }
  template <class T, class F>
  void AddList(Event::Kind kind, long long id, int code, const T* items, int count, F text) {
    Event e{kind, code, count, id};
    for (int i = 0; i < count; ++i) e.list.push_back(text(items[i]));
    Add(e);
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::function<void(const Event&)> on_event_;
};

inline std::string StatusText(const rtm::PeerOnlineStatus& s) {
  return std::string(s.peerId) + ":" + (s.isOnline ? "1" : "0") + ":" + std::to_string(s.state);
}

class EventLog : public Log, public rtm::IRtmServiceEventHandler {
 public:
  using Code = rtm::ATTRIBUTE_OPERATION_ERR;
  void onConnectionStateChanged(rtm::CONNECTION_STATE s, rtm::CONNECTION_CHANGE_REASON r) override {
    Add(Event::kState, 0, s, r);
  }
  void onLoginSuccess() override { Add(Event::kLoginSuccess, 0, 0); }
  void onLoginFailure(rtm::LOGIN_ERR_CODE code) override { Add(Event::kLoginFailure, 0, code); }
  void onLogout(rtm::LOGOUT_ERR_CODE code) override { Add(Event::kLogout, 0, code); }
  void onTokenExpired() override { Add(Event::kTokenExpired, 0, 0); }
  void onRenewTokenResult(const char* token, rtm::RENEW_TOKEN_ERR_CODE code) override {
    Event e{Event::kRenewResult, code};
    e.peer = token != nullptr ? token : "<null>";
    Add(e);
  }
  void onSendMessageResult(long long id, rtm::PEER_MESSAGE_ERR_CODE code) override {
    Add(Event::kSendResult, id, code);
  }
  void onMessageReceivedFromPeer(const char* peer, const rtm::IMessage* message) override {
    Event e{Event::kMessage, 0, message->getMessageType(), message->getMessageId(), peer};
    e.text.assign(message->getRawMessageData(),
                  static_cast<size_t>(message->getRawMessageLength()));
    e.offline = message->isOfflineMessage();
    e.server_time = message->getServerReceivedTs();
    Add(e);
  }
  void onQueryPeersOnlineStatusResult(long long id, const rtm::PeerOnlineStatus* statuses,
                                      int count, rtm::QUERY_PEERS_ONLINE_STATUS_ERR code) override {
    AddList(Event::kQueryStatus, id, code, statuses, count, StatusText);
  }
  void onPeersOnlineStatusChanged(const rtm::PeerOnlineStatus statuses[], int count) override {
    AddList(Event::kStatusChanged, 0, 0, statuses, count, StatusText);
  }
  void onGetChannelMemberCountResult(long long id, const rtm::ChannelMemberCount* counts, int count,
                                     rtm::GET_CHANNEL_MEMBER_COUNT_ERR_CODE code) override {
    AddList(Event::kMemberCount, id, code, counts, count, [](const rtm::ChannelMemberCount& c) {
      return std::string(c.channelId) + ":" + std::to_string(c.count);
    });
  }
  void onSubscriptionRequestResult(long long id, rtm::PEER_SUBSCRIPTION_STATUS_ERR code) override {
    Add(Event::kSubscription, id, code);
  }
  void onQueryPeersBySubscriptionOptionResult(
      long long id, const char* peers[], int count,
      rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR code) override {
    AddList(Event::kSubscribedPeers, id, code, peers, count, [](const char* p) { return p; });
  }
  void onSetLocalUserAttributesResult(long long id, Code c) override { Result(id, c); }
  void onAddOrUpdateLocalUserAttributesResult(long long id, Code c) override { Result(id, c); }
  void onDeleteLocalUserAttributesResult(long long id, Code c) override { Result(id, c); }
  void onClearLocalUserAttributesResult(long long id, Code c) override { Result(id, c); }
  void onSetChannelAttributesResult(long long id, Code c) override { Result(id, c); }
  void onAddOrUpdateChannelAttributesResult(long long id, Code c) override { Result(id, c); }
  void onDeleteChannelAttributesResult(long long id, Code c) override { Result(id, c); }
  void onClearChannelAttributesResult(long long id, Code c) override { Result(id, c); }
  void onGetUserAttributesResult(long long id, const char* user, const rtm::RtmAttribute* list,
                                 int count, Code code) override {
    Event e{Event::kUserAttributes, code, count, id, user != nullptr ? user : "<null>"};
    for (int i = 0; i < count; ++i)
      e.list.push_back(std::string(list[i].key) + "=" + list[i].value);
    Add(e);
  }
  void onGetChannelAttributesResult(long long id, const rtm::IRtmChannelAttribute* list[],
                                    int count, Code code) override {
    Event e{Event::kChannelAttributes, code, count, id};
    for (int i = 0; i < count; ++i) {
      e.list.push_back(std::string(list[i]->getKey()) + "=" + list[i]->getValue() + "@" +
                       list[i]->getLastUpdateUserId());
      e.server_time = std::max(e.server_time, list[i]->getLastUpdateTs());
    }
    Add(e);
  }

 private:
  void Result(long long id, Code code) { Add(Event::kAttributeResult, id, code); }
};

class ChannelLog : public Log, public rtm::IChannelEventHandler {
 public:
  void onJoinSuccess() override { Add(Event::kJoinSuccess, 0, 0); }
  void onJoinFailure(rtm::JOIN_CHANNEL_ERR code) override { Add(Event::kJoinFailure, 0, code); }
  void onLeave(rtm::LEAVE_CHANNEL_ERR code) override { Add(Event::kLeave, 0, code); }
  void onMessageReceived(const char* user, const rtm::IMessage* message) override {
    Event e{Event::kMessage, message->getMessageType(), 0, message->getMessageId(), user};
    e.text.assign(message->getRawMessageData(),
                  static_cast<size_t>(message->getRawMessageLength()));
    Add(e);
  }
  void onSendMessageResult(long long id, rtm::CHANNEL_MESSAGE_ERR_CODE code) override {
    Add(Event::kSendResult, id, code);
  }
  void onMemberJoined(rtm::IChannelMember* m) override { Member(Event::kMemberJoined, m); }
  void onMemberLeft(rtm::IChannelMember* m) override { Member(Event::kMemberLeft, m); }
  void onGetMembers(rtm::IChannelMember** members, int count, rtm::GET_MEMBERS_ERR code) override {
    AddList(Event::kMembers, 0, code, members, count,
            [](rtm::IChannelMember* m) { return m->getUserId(); });
  }
  void onAttributesUpdated(const rtm::IRtmChannelAttribute* list[], int count) override {
    AddList(Event::kAttributesUpdated, 0, list == nullptr ? -1 : count, list, count,
            [](const rtm::IRtmChannelAttribute* a) {
              return std::string(a->getKey()) + "=" + a->getValue() + " by " +
                     a->getLastUpdateUserId();
            });
  }
  void onMemberCountUpdated(int count) override { Add(Event::kMemberCountUpdated, 0, count); }

 private:
  void Member(Event::Kind kind, rtm::IChannelMember* m) {
    Event e{kind, 0, 0, 0, m->getUserId(), m->getChannelId()};
    Add(e);
  }
};

class CallLog : public Log, public rtm::IRtmCallEventHandler {
 public:
  using L = rtm::ILocalCallInvitation;
  using R = rtm::IRemoteCallInvitation;
  void onLocalInvitationReceivedByPeer(L* i) override { Local(Event::kReceivedByPeer, i); }
  void onLocalInvitationFailure(L* i, rtm::LOCAL_INVITATION_ERR_CODE code) override {
    Local(Event::kLocalFailure, i, code);
  }
  void onLocalInvitationAccepted(L* i, const char* r) override {
    Local(Event::kLocalAccepted, i, 0, r);
  }
  void onLocalInvitationRefused(L* i, const char* r) override {
    Local(Event::kLocalRefused, i, 0, r);
  }
  void onLocalInvitationCanceled(L* i) override { Local(Event::kLocalCanceled, i); }
  void onRemoteInvitationReceived(R* i) override {
    Remote(Event::kRemoteReceived, i, 0, i->getContent());
  }
  void onRemoteInvitationFailure(R* i, rtm::REMOTE_INVITATION_ERR_CODE code) override {
    Remote(Event::kRemoteFailure, i, code);
  }
  void onRemoteInvitationAccepted(R* i) override { Remote(Event::kRemoteAccepted, i); }
  void onRemoteInvitationRefused(R* i) override { Remote(Event::kRemoteRefused, i); }
  void onRemoteInvitationCanceled(R* i) override { Remote(Event::kRemoteCanceled, i); }

 private:
  void Local(Event::Kind kind, L* i, int code = 0, const char* text = "") {
    Event e{kind, code, i->getState(), 0, i->getCalleeId(), text};
    e.list = {i->getContent(), i->getResponse()};
    Add(e);
  }
  void Remote(Event::Kind kind, R* i, int code = 0, const char* text = "") {
    Event e{kind, code, i->getState(), 0, i->getCallerId(), text};
    e.list = {i->getContent(), i->getResponse()};
    e.remote = i;
    Add(e);
  }
};

// The setParameters text that points a service at the gateway on `address`:`port`.
inline std::string GatewayParams(const std::string& address, int port) {
  return R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + address + R"(","Port":)" +
         std::to_string(port) + "}";
}

// A service initialised with the test app id and pointed at the gateway `params` name (or
// `svc`'s), for tests that release it themselves.
inline rtm::IRtmService* NewService(const std::string& params, EventLog* log) {
  rtm::IRtmService* service = createRtmService();
  EXPECT_EQ(0, service->initialize(kAppId, log));
  EXPECT_EQ(0, service->setParameters(params.c_str()));
  return service;
}
inline rtm::IRtmService* NewService(const local_service::LocalService& svc, EventLog* log) {
  return NewService(GatewayParams(svc.address(), svc.http_port()), log);
}

// A service of its own user, pointed at `svc`, with a channel "room" and a call manager made
// on first use.
class Client {
 public:
  Client(const std::string& params, std::string user)
      : user_(std::move(user)), service_(NewService(params, &log)) {}
  Client(const local_service::LocalService& svc, std::string user)
      : Client(GatewayParams(svc.address(), svc.http_port()), std::move(user)) {}
  ~Client() {
    if (channel != nullptr) channel->release();
    if (calls_manager != nullptr) calls_manager->release();
    service_->release(true);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  rtm::IRtmService* operator->() { return service_; }
  rtm::IRtmService* service() { return service_; }
  const std::string& user() const { return user_; }

  // Logs in and waits for onLoginSuccess.
  bool Login(const char* token = "tok") {
    size_t before = log.Count(Event::kLoginSuccess);
    return service_->login(token, user_.c_str()) == 0 &&
           log.WaitFor(Event::kLoginSuccess, before + 1);
  }
  // Sends `text` to `peer`; its message id, or 0 when refused.
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

  // The channel "room" (made on first use) joined; waits for the answer.
  bool Join() {
    if (channel == nullptr) channel = service_->createChannel("room", &room);
    size_t before = room.Count(Event::kJoinSuccess);
    return channel->join() == 0 && room.WaitFor(Event::kJoinSuccess, before + 1);
  }
  // Says `text` in the room; its message id, or 0 when refused (the code in `result`).
  long long Say(const std::string& text, int* result = nullptr) {
    rtm::IMessage* message = service_->createMessage(text.c_str());
    long long id = message->getMessageId();
    int code = channel->sendMessage(message);
    message->release();
    if (result != nullptr) *result = code;
    return code == 0 ? id : 0;
  }
  // The call manager, made on first use.
  rtm::IRtmCallManager* Calls() {
    if (calls_manager == nullptr) calls_manager = service_->getRtmCallManager(&calls);
    return calls_manager;
  }
  // A new invitation to `callee`, sent and kept until the client goes; sendLocalInvitation's
  // result.
  int Invite(const std::string& callee, const std::string& content = "") {
    invitation = Calls()->createLocalCallInvitation(callee.c_str());
    invitation->setContent(content.c_str());
    invitations_.emplace_back(invitation, [](rtm::ILocalCallInvitation* i) { i->release(); });
    return Calls()->sendLocalInvitation(invitation);
  }

  EventLog log;
  ChannelLog room;
  CallLog calls;
  rtm::IChannel* channel = nullptr;
  rtm::IRtmCallManager* calls_manager = nullptr;
  rtm::ILocalCallInvitation* invitation = nullptr;  // the last one made

 private:
  std::string user_;
  rtm::IRtmService* service_ = nullptr;
  std::vector<std::shared_ptr<rtm::ILocalCallInvitation>> invitations_;
};

// Gives up the processor for about a millisecond between two looks at a condition.
inline void PollInterval() {
  // Never destroyed: the clock's thread polls until the process ends.
  static std::mutex* mu = new std::mutex();
  static std::condition_variable* never = new std::condition_variable();
  std::unique_lock<std::mutex> lock(*mu);
  never->wait_for(lock, std::chrono::milliseconds(1));
}

// Polls `done` for up to `timeout_ms` of real time.
inline bool Eventually(const std::function<bool()>& done, int timeout_ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    PollInterval();
  }
  return true;
}

// Counts the worker's passes: every pass ends with the tick registry's.
class PassCounter : public vy::RtcTick {
 public:
  static PassCounter& Instance() {
    static PassCounter* counter = new PassCounter();
    return *counter;
  }
  // Returns once the worker has run a whole pass that began after the call, so that it has
  // seen the clock as it is now and made the callbacks that time was due for.
  void AwaitFreshPass() {
    static rtm::IRtmService* idle = createRtmService();
    const int64_t start = passes_.load();
    // The first pass to end may have begun before; the one after it did not. Each call wakes
    // the worker for one more.
    Eventually([&] {
      idle->removeEventHandler(nullptr);
      return passes_.load() >= start + 2;
    });
  }

 private:
  PassCounter() { vy::MThreadTick::Inst()->RegisteRtcTick(this, this); }
  void OnTick() override { passes_.fetch_add(1); }
  void OnTickUnAttach() override {}
  std::atomic<int64_t> passes_{0};
};

// A test clock that follows real time (a thread advances it every millisecond) and can pause
// and jump, so that 10 s time-outs pass at once. One clock serves the whole test program and
// is never removed, so that the worker thread, which outlives every test, never sees time go
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
        PollInterval();
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
  // While paused the clock moves only by jumps: the worker runs no timed pass of its own, but
  // still answers calls and reads the network.
  void Pause() { paused_.store(true); }
  void Resume() { paused_.store(false); }

 private:
  rtc::FakeClock clock_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::thread ticker_;
};

// The path of this test program.
inline std::string SelfPath() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  return std::string(self, n > 0 ? static_cast<size_t>(n) : 0);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Options of a local service on its own loopback address.
inline local_service::Options ServiceOptions() {
  local_service::Options options;
  options.address = "auto";
  return options;
}

// A fault rule of the local service: `action` on `cmd` (every command when empty) to or from
// `user` (everyone when empty), `times` times or for ever.
inline local_service::FaultRule Fault(const std::string& user, const std::string& cmd,
                                      local_service::FaultAction action, int times = -1,
                                      int64_t value = 0) {
  return {local_service::Direction::kToClient, user, cmd, action, value, "Code", times};
}
// Drops what the service sends `user` (`cmd`, or everything), `times` times or for ever.
inline local_service::FaultRule DropToClient(const std::string& user, const std::string& cmd,
                                             int times = -1) {
  return Fault(user, cmd, local_service::FaultAction::kDrop, times);
}

// A test against a local service of its own, with the program's test clock running again at
// its end.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
  }
  void TearDown() override { clock_.Resume(); }

  // Commands the service received from `user` ("" for anyone), by name.
  std::vector<local_service::ReceivedCommand> Received(const std::string& user,
                                                       const std::string& cmd) {
    std::vector<local_service::ReceivedCommand> out;
    for (const auto& c : user.empty() ? svc_.LogAll() : svc_.Log(user)) {
      if (c.cmd == cmd) out.push_back(c);
    }
    return out;
  }
  // The `field` of every `cmd` that `user` sent, in order; the whole body when `field` is null.
  std::vector<std::string> Sent(const std::string& user, const std::string& cmd,
                                const char* field = nullptr) {
    std::vector<std::string> out;
    for (const auto& c : Received(user, cmd)) {
      rapidjson::Document doc;
      if (field == nullptr) {
        out.push_back(c.content);
      } else if (local_service::ParseJsonObject(c.content, &doc)) {
        out.push_back(local_service::GetString(doc, field).value_or("<absent>"));
      }
    }
    return out;
  }
  // Logs in and waits until the service has read the first KeepAlive, so that a close by the
  // service cannot meet unread bytes (which would turn it into a reset that discards what the
  // service sent last).
  bool LogInAndSettle(Client& client) {
    return client.Login() && svc_.WaitForCommand(client.user(), "KeepAlive", 1, 5000);
  }
  // Advances the test clock in steps, each once the worker has run the pass the last one
  // started, so that every deadline on the way gets its own pass; stops early once `until`.
  void Pass(int64_t ms, const std::function<bool()>& until = nullptr) {
    for (int64_t done = 0; done < ms && !(until && until()); done += 500) {
      clock_.Jump(500);
      PassCounter::Instance().AwaitFreshPass();
    }
  }
  // Drops `client`'s connection and waits for its own login on a new one.
  void Reconnect(Client& client, local_service::CloseMode mode = local_service::CloseMode::kRst) {
    const size_t logins = client.log.Count(Event::kLoginSuccess);
    const size_t states = client.log.Count(Event::kState);
    ASSERT_TRUE(svc_.Close(client.user(), mode));
    ASSERT_TRUE(client.log.WaitFor(Event::kState, states + 1));  // reconnecting
    Pass(2500);  // the next login is due 2 s after the loss
    ASSERT_TRUE(client.log.WaitFor(Event::kLoginSuccess, logins + 1));
  }

  RunningFakeClock& clock_ = RunningFakeClock::Instance();
  local_service::LocalService svc_{ServiceOptions()};
};

}  // namespace rtm_test

#endif  // TESTS_CORE_RTM_TEST_CLIENT_H_
