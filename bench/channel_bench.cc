// Channel messages against the in-process local test service on loopback: the latency from a
// send to its result and to its delivery at the last of 1, 10 or 50 receivers, and messages per
// second; each beside the same figure for peer messages, the baseline.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <vortm/rtm_channel.h>
#include <vortm/rtm_service.h>

#include "bench/bench_service.h"

namespace {

namespace rtm = vy::rtm;
using Clock = std::chrono::steady_clock;

constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";

// Records results and receipts of one user, for its service and its channel alike.
class Recorder : public rtm::IRtmServiceEventHandler, public rtm::IChannelEventHandler {
 public:
  void onLoginSuccess() override {
    Note([this] { logged_in_ = true; });
  }
  void onJoinSuccess() override {
    Note([this] { joined_ = true; });
  }
  void onSendMessageResult(long long id, rtm::PEER_MESSAGE_ERR_CODE) override { Result(id); }
  void onSendMessageResult(long long id, rtm::CHANNEL_MESSAGE_ERR_CODE) override { Result(id); }
  void onMessageReceivedFromPeer(const char*, const rtm::IMessage* m) override {
    Received(m->getMessageId());
  }
  void onMessageReceived(const char*, const rtm::IMessage* m) override {
    Received(m->getMessageId());
  }

  bool WaitFor(const std::function<bool()>& done, int seconds = 30) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(seconds), done);
  }
  bool WaitLogin() {
    return WaitFor([this] { return logged_in_; });
  }
  bool WaitJoin() {
    return WaitFor([this] { return joined_; });
  }
  bool WaitResult(long long id, Clock::time_point* when) {
    return WaitFor([&] {
      auto it = results_.find(id);
      if (it == results_.end()) return false;
      *when = it->second;
      return true;
    });
  }
  bool WaitReceived(long long id, Clock::time_point* when) {
    return WaitFor([&] {
      auto it = receipts_.find(id);
      if (it == receipts_.end()) return false;
      *when = it->second;
      return true;
    });
  }
  bool WaitCount(size_t n) {
    return WaitFor([&] { return received_ >= n; }, 60);
  }

 private:
  template <class F>
  void Note(F change) {
    std::lock_guard<std::mutex> lock(mu_);
    change();
    cv_.notify_all();
  }
  void Result(long long id) {
    Note([&] { results_[id] = Clock::now(); });
  }
  void Received(long long id) {
    Note([&] {
      receipts_[id] = Clock::now();
      ++received_;
    });
  }

  std::mutex mu_;
  std::condition_variable cv_;
  bool logged_in_ = false;
  bool joined_ = false;
  std::map<long long, Clock::time_point> results_;
  std::map<long long, Clock::time_point> receipts_;
  size_t received_ = 0;
};

using bench_service::Service;

// A logged-in user, in channel `channel` when one is named.
class User {
 public:
  User(const std::string& name, const std::string& channel) : name_(name) {
    service_ = createRtmService();
    service_->initialize(kAppId, &recorder);
    service_->setParameters(bench_service::GatewayParams().c_str());
    ok_ = service_->login("bench", name.c_str()) == 0 && recorder.WaitLogin();
    if (ok_ && !channel.empty()) {
      channel_ = service_->createChannel(channel.c_str(), &recorder);
      ok_ = channel_ != nullptr && channel_->join() == 0 && recorder.WaitJoin();
    }
  }
  ~User() {
    service_->release(true);
    if (channel_ != nullptr) channel_->release();
  }
  bool ok() const { return ok_; }

  // To the channel, or to `peer` when there is no channel; the message id, 0 when refused.
  long long Send(const std::string& peer, const std::string& text) {
    rtm::IMessage* message = service_->createMessage(text.c_str());
    long long id = message->getMessageId();
    int result = channel_ != nullptr ? channel_->sendMessage(message)
                                     : service_->sendMessageToPeer(peer.c_str(), message);
    message->release();
    return result == 0 ? id : 0;
  }

  Recorder recorder;

 private:
  std::string name_;
  rtm::IRtmService* service_ = nullptr;
  rtm::IChannel* channel_ = nullptr;
  bool ok_ = false;
};

// A sender and `receivers` receivers, in a channel of their own or (peer) without one.
struct Group {
  Group(const std::string& tag, int receivers, bool peer) {
    const std::string channel = peer ? "" : tag;
    users.push_back(std::make_unique<User>(tag + "-s", channel));
    for (int i = 0; i < receivers; ++i) {
      users.push_back(std::make_unique<User>(tag + "-r" + std::to_string(i), channel));
    }
  }
  bool ok() const {
    return std::all_of(users.begin(), users.end(), [](const auto& u) { return u->ok(); });
  }
  User& sender() { return *users[0]; }
  std::vector<std::unique_ptr<User>> users;
};

void Percentiles(benchmark::State& state, const char* name, std::vector<double> us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters[std::string(name) + "_p50_us"] = us[us.size() / 2];
  state.counters[std::string(name) + "_p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// One message in flight: from the send to its result, and to its receipt by the last receiver.
// Argument 0 is the peer baseline (one receiver, no channel).
void BM_SendLatency(benchmark::State& state) {
  const int receivers = std::max<int>(1, static_cast<int>(state.range(0)));
  const bool peer = state.range(0) == 0;
  Group group("lat" + std::to_string(state.range(0)), receivers, peer);
  if (!group.ok()) {
    state.SkipWithError("login or join failed");
    return;
  }
  const std::string to = "lat0-r0";  // the peer baseline's receiver
  std::vector<double> result_us, delivery_us;
  for (auto _ : state) {
    auto start = Clock::now();
    long long id = group.sender().Send(to, "ping");
    Clock::time_point result, last = start;
    if (id == 0 || !group.sender().recorder.WaitResult(id, &result)) {
      state.SkipWithError("no result");
      break;
    }
    for (size_t i = 1; i < group.users.size(); ++i) {
      Clock::time_point got;
      if (!group.users[i]->recorder.WaitReceived(id, &got)) {
        state.SkipWithError("not delivered");
        return;
      }
      last = std::max(last, got);
    }
    result_us.push_back(std::chrono::duration<double, std::micro>(result - start).count());
    delivery_us.push_back(std::chrono::duration<double, std::micro>(last - start).count());
    state.SetIterationTime(std::chrono::duration<double>(std::max(result, last) - start).count());
  }
  Percentiles(state, "result", result_us);
  Percentiles(state, "delivery", delivery_us);
}
BENCHMARK(BM_SendLatency)
    ->ArgName("receivers")
    ->Arg(0)
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200);

// Batches of 200 messages sent at once, counted when every receiver has them all. Argument 0
// is the peer baseline.
void BM_MessagesPerSecond(benchmark::State& state) {
  const int receivers = std::max<int>(1, static_cast<int>(state.range(0)));
  const bool peer = state.range(0) == 0;
  Group group("rate" + std::to_string(state.range(0)), receivers, peer);
  if (!group.ok()) {
    state.SkipWithError("login or join failed");
    return;
  }
  constexpr int kBatch = 200;
  size_t expected = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i)
      group.sender().Send("rate0-r0", "message " + std::to_string(i));
    expected += kBatch;
    for (size_t i = 1; i < group.users.size(); ++i) {
      if (!group.users[i]->recorder.WaitCount(expected)) {
        state.SkipWithError("messages missing");
        return;
      }
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(expected));
  state.counters["deliveries_per_s"] =
      benchmark::Counter(static_cast<double>(expected) * receivers, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MessagesPerSecond)
    ->ArgName("receivers")
    ->Arg(0)
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
