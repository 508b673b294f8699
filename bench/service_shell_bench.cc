// Costs of the service shell: the worker thread's idle CPU, a cross-thread
// call into the worker, host name resolution jobs and the library's log.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <vortm/rtm_service.h>

#include "core/rtc_log.h"
#include "core/thread_mgr.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/net/async_resolver.h"
#include "rtc_base/threads/thread.h"

namespace vy {
namespace {

double ThreadCpuSeconds(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// CPU time the idle worker thread uses per second of wall time (the loop
// sleeps 1 ms a pass).
void BM_WorkerIdleCpu(benchmark::State& state) {
  vy::rtm::IRtmService* service = createRtmService();
  clockid_t worker_clock = ThreadMgr::Inst()->Invoke<clockid_t>(RTC_FROM_HERE, [] {
    clockid_t clock;
    pthread_getcpuclockid(pthread_self(), &clock);
    return clock;
  });
  for (auto _ : state) {
    double cpu_before = ThreadCpuSeconds(worker_clock);
    int64_t wall_before = rtc::TimeMillis();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double cpu = ThreadCpuSeconds(worker_clock) - cpu_before;
    double wall = (rtc::TimeMillis() - wall_before) / 1000.0;
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
  }
  service->release(true);
}
BENCHMARK(BM_WorkerIdleCpu)->Iterations(3)->Unit(benchmark::kMillisecond);

// A cheap operation called from an app thread: waits for the worker's pass.
void BM_CrossThreadCallIntoWorker(benchmark::State& state) {
  vy::rtm::IRtmService* service = createRtmService();
  for (auto _ : state) {
    benchmark::DoNotOptimize(service->setLogFilter(vy::rtm::LOG_FILTER_INFO));
  }
  service->release(true);
}
BENCHMARK(BM_CrossThreadCallIntoWorker)->Unit(benchmark::kMicrosecond);

// The spread of the same call: p50 and p99 over the run, in microseconds.
void BM_CrossThreadCallPercentiles(benchmark::State& state) {
  vy::rtm::IRtmService* service = createRtmService();
  std::vector<int64_t> samples;
  samples.reserve(100000);
  for (auto _ : state) {
    int64_t start = rtc::TimeNanos();
    benchmark::DoNotOptimize(service->setLogFilter(vy::rtm::LOG_FILTER_INFO));
    samples.push_back(rtc::TimeNanos() - start);
  }
  service->release(true);
  std::sort(samples.begin(), samples.end());
  if (!samples.empty()) {
    state.counters["p50_us"] = samples[samples.size() / 2] / 1000.0;
    state.counters["p99_us"] = samples[samples.size() * 99 / 100] / 1000.0;
  }
}
BENCHMARK(BM_CrossThreadCallPercentiles)->Iterations(20000);

// The floor: a round trip to a plain thread through a promise.
void BM_PromiseRoundTrip(benchmark::State& state) {
  std::mutex mu;
  std::condition_variable cv;
  std::promise<int>* pending = nullptr;
  bool stop = false;
  std::thread server([&] {
    std::unique_lock<std::mutex> lock(mu);
    while (!stop) {
      cv.wait(lock, [&] { return stop || pending != nullptr; });
      if (pending != nullptr) {
        pending->set_value(0);
        pending = nullptr;
      }
    }
  });
  for (auto _ : state) {
    std::promise<int> promise;
    std::future<int> result = promise.get_future();
    {
      std::lock_guard<std::mutex> lock(mu);
      pending = &promise;
    }
    cv.notify_one();
    benchmark::DoNotOptimize(result.get());
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
  }
  cv.notify_one();
  server.join();
}
BENCHMARK(BM_PromiseRoundTrip)->Unit(benchmark::kMicrosecond);

// Resolution of a numeric address through a SignalThread job, against the
// same getaddrinfo call made directly.
void BM_AsyncResolverRoundTrip(benchmark::State& state) {
  rtc::AutoThread main_thread;
  for (auto _ : state) {
    auto* resolver = new rtc::AsyncResolver();
    bool done = false;
    struct Done : sigslot::has_slots<> {
      bool* done;
      void On(rtc::AsyncResolverInterface*) { *done = true; }
    } listener;
    listener.done = &done;
    resolver->SignalDone.connect(&listener, &Done::On);
    resolver->Start(rtc::SocketAddress("127.0.0.1", 80));
    // ProcessMessages(n) spends its whole budget; poll so the measured time
    // is the job's, not the pump's.
    while (!done) rtc::Thread::Current()->ProcessMessages(0);
    resolver->Destroy(false);
  }
}
BENCHMARK(BM_AsyncResolverRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_GetAddrInfoDirect(benchmark::State& state) {
  for (auto _ : state) {
    addrinfo hints = {};
    hints.ai_flags = AI_ADDRCONFIG;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    benchmark::DoNotOptimize(getaddrinfo("127.0.0.1", nullptr, &hints, &result));
    freeaddrinfo(result);
  }
}
BENCHMARK(BM_GetAddrInfoDirect)->Unit(benchmark::kMicrosecond);

std::string BenchLogDir() {
  std::string dir =
      (std::filesystem::temp_directory_path() / ("vortm_log_bench_" + std::to_string(getpid())))
          .string();
  std::filesystem::create_directories(dir);
  return dir;
}

// A written line: formatting, the sink's lock and one write per line.
void BM_LogLineFlushed(benchmark::State& state) {
  std::string dir = BenchLogDir();
  OpenRtcLog((dir + "/vy_rtm_sdk.log").c_str(), kRtcLogInfo, 64 * 1024);
  int i = 0;
  for (auto _ : state) {
    RtcPrintf(kRtcLogInfo, "SEND cmd=%s content=%s %d", "KeepAlive", "{}", ++i);
  }
  CloseRtcLog();
  std::filesystem::remove_all(dir);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineFlushed);

// The same logger setup without a flush per line.
void BM_LogLineUnflushed(benchmark::State& state) {
  std::string dir = BenchLogDir();
  auto logger = std::make_shared<spdlog::logger>(
      "bench_unflushed", std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                             dir + "/unflushed.log", 64 << 20, 1, false));
  logger->set_pattern("[%l] (%T); %v", spdlog::pattern_time_type::local);
  char line[2047];
  int i = 0;
  for (auto _ : state) {
    snprintf(line, sizeof(line), "SEND cmd=%s content=%s %d", "KeepAlive", "{}", ++i);
    logger->info(line);
  }
  logger->flush();
  std::filesystem::remove_all(dir);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineUnflushed);

// The floor: one raw write(2) per line.
void BM_RawWriteLine(benchmark::State& state) {
  std::string dir = BenchLogDir();
  int fd = open((dir + "/raw.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  char line[128];
  int i = 0;
  for (auto _ : state) {
    int n =
        snprintf(line, sizeof(line), "[info] (12:00:00); SEND cmd=KeepAlive content={} %d\n", ++i);
    benchmark::DoNotOptimize(write(fd, line, n));
  }
  close(fd);
  std::filesystem::remove_all(dir);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawWriteLine);

// A line below the filter: one atomic load, no formatting.
void BM_LogLineFilteredOut(benchmark::State& state) {
  std::string dir = BenchLogDir();
  OpenRtcLog((dir + "/vy_rtm_sdk.log").c_str(), kRtcLogError, 64 * 1024);
  int i = 0;
  for (auto _ : state) {
    RtcPrintf(kRtcLogInfo, "SEND cmd=%s content=%s %d", "KeepAlive", "{}", ++i);
  }
  CloseRtcLog();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LogLineFilteredOut);

}  // namespace
}  // namespace vy
