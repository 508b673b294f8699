// End-to-end figures of the service core against the in-process local test service on
// loopback: login time, the latency from a send to its "MsgStatus" answer, peer messages per
// second between two clients, and the worker thread's CPU while logged in and idle.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vortm/rtm_service.h>

#include "core/thread_mgr.h"
#include "local_service/local_service.h"
#include "rtc_base/logging.h"

namespace {

namespace rtm = vy::rtm;
using Clock = std::chrono::steady_clock;

constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";

class BenchHandler : public rtm::IRtmServiceEventHandler {
 public:
  void onLoginSuccess() override {
    std::lock_guard<std::mutex> lock(mu_);
    logged_in_ = true;
    cv_.notify_all();
  }
  void onSendMessageResult(long long id, rtm::PEER_MESSAGE_ERR_CODE code) override {
    std::lock_guard<std::mutex> lock(mu_);
    results_[id] = {code, Clock::now()};
    cv_.notify_all();
  }
  void onMessageReceivedFromPeer(const char*, const rtm::IMessage*) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++received_;
    cv_.notify_all();
  }

  bool WaitLogin() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return logged_in_; });
  }
  // The time the result of `id` came, waiting for it.
  bool WaitResult(long long id, Clock::time_point* when) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::seconds(10), [&] { return results_.count(id) != 0; })) {
      return false;
    }
    *when = results_[id].second;
    return true;
  }
  bool WaitReceived(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return received_ >= n; });
  }
  size_t received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool logged_in_ = false;
  std::map<long long, std::pair<int, Clock::time_point>> results_;
  size_t received_ = 0;
};

class User {
 public:
  User(const local_service::LocalService& svc, const std::string& name) {
    service_ = createRtmService();
    service_->initialize(kAppId, &handler);
    std::string params =
        std::string(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")") + svc.address() + "\"}";
    service_->setParameters(params.c_str());
    ok_ = service_->login("bench", name.c_str()) == 0 && handler.WaitLogin();
  }
  ~User() { service_->release(true); }
  bool ok() const { return ok_; }

  long long Send(const std::string& peer, const std::string& text) {
    rtm::IMessage* message = service_->createMessage(text.c_str());
    long long id = message->getMessageId();
    int result = service_->sendMessageToPeer(peer.c_str(), message);
    message->release();
    return result == 0 ? id : 0;
  }

  BenchHandler handler;

 private:
  rtm::IRtmService* service_ = nullptr;
  bool ok_ = false;
};

local_service::LocalService& Service() {
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

void Percentiles(benchmark::State& state, std::vector<double> us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Gateway lookup, TCP connect and the answered "Login", from login() to onLoginSuccess.
void BM_LoginOnLoopback(benchmark::State& state) {
  local_service::LocalService& svc = Service();
  int n = 0;
  std::vector<double> us;
  for (auto _ : state) {
    rtm::IRtmService* service = createRtmService();
    BenchHandler handler;
    service->initialize(kAppId, &handler);
    std::string params =
        std::string(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")") + svc.address() + "\"}";
    service->setParameters(params.c_str());
    std::string user = "login" + std::to_string(n++);
    auto start = Clock::now();
    service->login("bench", user.c_str());
    bool ok = handler.WaitLogin();
    auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    us.push_back(elapsed * 1e6);
    service->release(true);
    if (!ok) state.SkipWithError("login failed");
  }
  Percentiles(state, us);
}
BENCHMARK(BM_LoginOnLoopback)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

// One message in flight: send, then wait for its "MsgStatus" answer. Sparse mode waits 2 ms
// between messages, ping-pong sends the next one at once.
void BM_SendToStatusLatency(benchmark::State& state) {
  local_service::LocalService& svc = Service();
  const bool sparse = state.range(0) != 0;
  User alice(svc, sparse ? "lat-a1" : "lat-a2");
  User bob(svc, sparse ? "lat-b1" : "lat-b2");
  if (!alice.ok() || !bob.ok()) {
    state.SkipWithError("login failed");
    return;
  }
  std::vector<double> us;
  for (auto _ : state) {
    auto start = Clock::now();
    long long id = alice.Send(sparse ? "lat-b1" : "lat-b2", "ping");
    Clock::time_point done;
    if (id == 0 || !alice.handler.WaitResult(id, &done)) {
      state.SkipWithError("no result");
      break;
    }
    double elapsed = std::chrono::duration<double>(done - start).count();
    state.SetIterationTime(elapsed);
    us.push_back(elapsed * 1e6);
    if (sparse) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Percentiles(state, us);
}
BENCHMARK(BM_SendToStatusLatency)
    ->ArgName("sparse")
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(500);

// Messages from app threads to a second client, counted when the receiver has them all.
void BM_PeerMessagesPerSecond(benchmark::State& state) {
  local_service::LocalService& svc = Service();
  const int threads = static_cast<int>(state.range(1));
  const std::string sender = "rate-a" + std::to_string(threads);
  const std::string receiver = "rate-b" + std::to_string(threads);
  User alice(svc, sender);
  User bob(svc, receiver);
  if (!alice.ok() || !bob.ok()) {
    state.SkipWithError("login failed");
    return;
  }
  const int batch = static_cast<int>(state.range(0));
  size_t expected = 0;
  for (auto _ : state) {
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
      senders.emplace_back([&, t] {
        for (int i = t; i < batch; i += threads)
          alice.Send(receiver, "message " + std::to_string(i));
      });
    }
    for (auto& thread : senders) thread.join();
    expected += static_cast<size_t>(batch);
    if (!bob.handler.WaitReceived(expected)) {
      state.SkipWithError("messages missing");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(expected));
}
BENCHMARK(BM_PeerMessagesPerSecond)
    ->ArgNames({"batch", "threads"})
    ->Args({200, 1})
    ->Args({200, 4})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// CPU time of the worker thread over one second while a user is logged in and idle.
void BM_WorkerIdleCpu(benchmark::State& state) {
  local_service::LocalService& svc = Service();
  User alice(svc, "idle-a");
  if (!alice.ok()) {
    state.SkipWithError("login failed");
    return;
  }
  clockid_t cpu_clock;
  pthread_t worker =
      vy::ThreadMgr::Inst()->Invoke<pthread_t>(RTC_FROM_HERE, [] { return pthread_self(); });
  pthread_getcpuclockid(worker, &cpu_clock);
  auto cpu_now = [&] {
    timespec ts{};
    clock_gettime(cpu_clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
  };
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    double c0 = cpu_now();
    auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    cpu += cpu_now() - c0;
    wall += std::chrono::duration<double>(Clock::now() - w0).count();
  }
  state.counters["worker_cpu_percent"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_WorkerIdleCpu)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
