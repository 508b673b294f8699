#include <string>
#include <thread>

#include "benchmark/benchmark.h"
#include "rtc_base/base/critical_section.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/crypto/helpers.h"
#include "rtc_base/threads/event.h"

namespace {

void BM_TimeMillis(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(rtc::TimeMillis());
}
BENCHMARK(BM_TimeMillis);

void BM_TimeMillisWithTestClock(benchmark::State& state) {
  rtc::ScopedFakeClock clock;
  for (auto _ : state) benchmark::DoNotOptimize(rtc::TimeMillis());
}
BENCHMARK(BM_TimeMillisWithTestClock);

void BM_TimeUTCMillis(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(rtc::TimeUTCMillis());
}
BENCHMARK(BM_TimeUTCMillis);

void BM_CritScopeUncontended(benchmark::State& state) {
  rtc::CriticalSection cs;
  int counter = 0;
  for (auto _ : state) {
    rtc::CritScope scope(&cs);
    benchmark::DoNotOptimize(++counter);
  }
}
BENCHMARK(BM_CritScopeUncontended);

void BM_CritScopeContended(benchmark::State& state) {
  static rtc::CriticalSection cs;
  static int counter = 0;
  for (auto _ : state) {
    rtc::CritScope scope(&cs);
    benchmark::DoNotOptimize(++counter);
  }
}
BENCHMARK(BM_CritScopeContended)->Threads(2)->Threads(4)->UseRealTime();

// One round trip: this thread sets `ping` and waits for the other's `pong`.
void BM_EventPingPong(benchmark::State& state) {
  rtc::Event ping, pong;
  bool stop = false;
  std::thread other([&] {
    while (true) {
      ping.Wait(rtc::Event::kForever);
      if (stop) break;
      pong.Set();
    }
  });
  for (auto _ : state) {
    ping.Set();
    pong.Wait(rtc::Event::kForever);
  }
  stop = true;
  ping.Set();
  other.join();
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

void BM_CreateRandomString32(benchmark::State& state) {
  std::string str;
  for (auto _ : state) {
    rtc::CreateRandomString(32, &str);
    benchmark::DoNotOptimize(str);
  }
}
BENCHMARK(BM_CreateRandomString32);

void BM_CreateRandomUuid(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(rtc::CreateRandomUuid());
}
BENCHMARK(BM_CreateRandomUuid);

}  // namespace
