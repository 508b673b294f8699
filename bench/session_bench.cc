// Login time of the service core against the in-process local test service on loopback. The
// send latency, message rate and idle figures are in ratios_bench, beside their baselines.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_service.h"

namespace {

namespace rtm = vy::rtm;
using bench_service::Clock;
using bench_service::GatewayParams;
using bench_service::Handler;
using bench_service::kApp;

void Percentiles(benchmark::State& state, std::vector<double> us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Gateway lookup, TCP connect and the answered "Login", from login() to onLoginSuccess.
void BM_LoginOnLoopback(benchmark::State& state) {
  int n = 0;
  std::vector<double> us;
  for (auto _ : state) {
    rtm::IRtmService* service = createRtmService();
    Handler handler;
    service->initialize(kApp, &handler);
    service->setParameters(GatewayParams().c_str());
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

}  // namespace
