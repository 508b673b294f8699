// Message queue and thread costs: post-and-dispatch throughput on one thread
// and from producers on other threads, against a mutex and condition
// variable queue; Invoke round trips against a std::promise round trip.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "benchmark/benchmark.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/threads/event.h"
#include "rtc_base/threads/null_socket_server.h"
#include "rtc_base/threads/thread.h"

namespace {

class Counter : public rtc::MessageHandler {
 public:
  void OnMessage(rtc::Message*) override { ++count; }
  std::atomic<int64_t> count{0};
};

// Posts a batch to a queue and dispatches it on the same thread.
void BM_PostAndDispatchOneThread(benchmark::State& state) {
  rtc::ThreadManager::Instance();
  rtc::Thread thread(rtc::SocketServer::CreateDefault());
  Counter counter;
  constexpr int kBatch = 1000;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) thread.Post(RTC_FROM_HERE, &counter);
    rtc::Message msg;
    while (thread.Get(&msg, 0)) thread.Dispatch(&msg);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PostAndDispatchOneThread);

// Producers on other threads post to a running thread; the measured time
// ends when the last message has been dispatched.
void BM_PostAcrossThreads(benchmark::State& state) {
  rtc::ThreadManager::Instance();
  const int producers = static_cast<int>(state.range(0));
  constexpr int kPerProducer = 20000;
  auto target = rtc::Thread::CreateWithSocketServer();
  target->Start();
  Counter counter;
  for (auto _ : state) {
    counter.count = 0;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([&] {
        for (int i = 0; i < kPerProducer; ++i) target->Post(RTC_FROM_HERE, &counter);
      });
    }
    for (auto& t : threads) t.join();
    while (counter.count.load() < int64_t{producers} * kPerProducer) std::this_thread::yield();
  }
  target->Stop();
  state.SetItemsProcessed(state.iterations() * producers * kPerProducer);
}
BENCHMARK(BM_PostAcrossThreads)->Arg(1)->Arg(4)->UseRealTime();

// The same traffic through a plain mutex and condition variable queue.
void BM_MutexCondvarQueueAcrossThreads(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  constexpr int kPerProducer = 20000;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<int> queue;
  bool stop = false;
  std::atomic<int64_t> count{0};
  std::thread consumer([&] {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      cv.wait(lock, [&] { return stop || !queue.empty(); });
      if (queue.empty() && stop) return;
      while (!queue.empty()) {
        queue.pop_front();
        ++count;
      }
    }
  });
  for (auto _ : state) {
    count = 0;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([&] {
        for (int i = 0; i < kPerProducer; ++i) {
          {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(i);
          }
          cv.notify_one();
        }
      });
    }
    for (auto& t : threads) t.join();
    while (count.load() < int64_t{producers} * kPerProducer) std::this_thread::yield();
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  cv.notify_one();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * producers * kPerProducer);
}
BENCHMARK(BM_MutexCondvarQueueAcrossThreads)->Arg(1)->Arg(4)->UseRealTime();

// Invoke from the benchmark's thread into an idle looping thread.
void BM_InvokeRoundTrip(benchmark::State& state) {
  rtc::ThreadManager::Instance();
  auto target = rtc::Thread::CreateWithSocketServer();
  target->Start();
  int value = 0;
  for (auto _ : state) value += target->Invoke<int>(RTC_FROM_HERE, [] { return 1; });
  benchmark::DoNotOptimize(value);
  target->Stop();
}
BENCHMARK(BM_InvokeRoundTrip)->UseRealTime();

// Invoke from a thread that has no Thread object (an app thread): each call
// builds its temporary thread. The benchmark loop itself runs on that thread.
void BM_InvokeRoundTripFromPlainThread(benchmark::State& state) {
  rtc::ThreadManager::Instance();
  auto target = rtc::Thread::CreateWithSocketServer();
  target->Start();
  int value = 0;
  std::thread plain([&] {
    for (auto _ : state) value += target->Invoke<int>(RTC_FROM_HERE, [] { return 1; });
  });
  plain.join();
  benchmark::DoNotOptimize(value);
  target->Stop();
}
BENCHMARK(BM_InvokeRoundTripFromPlainThread)->UseRealTime();

// The same round trip through a worker loop and a std::promise.
void BM_PromiseRoundTrip(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::function<void()>> jobs;
  bool stop = false;
  std::thread worker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      cv.wait(lock, [&] { return stop || !jobs.empty(); });
      if (stop) return;
      auto job = std::move(jobs.front());
      jobs.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  });
  int value = 0;
  for (auto _ : state) {
    std::promise<int> promise;
    std::future<int> future = promise.get_future();
    {
      std::lock_guard<std::mutex> lock(mutex);
      jobs.push_back([&] { promise.set_value(1); });
    }
    cv.notify_one();
    value += future.get();
  }
  benchmark::DoNotOptimize(value);
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  cv.notify_one();
  worker.join();
}
BENCHMARK(BM_PromiseRoundTrip)->UseRealTime();

// Delay between a delayed message's due time and its dispatch.
void BM_DelayedMessageJitter(benchmark::State& state) {
  rtc::ThreadManager::Instance();
  auto target = rtc::Thread::CreateWithSocketServer();
  target->Start();
  class Stamp : public rtc::MessageHandler {
   public:
    void OnMessage(rtc::Message*) override {
      late_us = rtc::TimeMicros() - due_us;
      done.Set();
    }
    int64_t due_us = 0;
    int64_t late_us = 0;
    rtc::Event done{false, false};
  } stamp;
  int64_t total = 0;
  for (auto _ : state) {
    stamp.due_us = rtc::TimeMicros() + 2000;
    target->PostDelayed(RTC_FROM_HERE, 2, &stamp);
    stamp.done.Wait(rtc::Event::kForever);
    total += stamp.late_us;
  }
  state.counters["late_us"] = static_cast<double>(total) / state.iterations();
  target->Stop();
}
BENCHMARK(BM_DelayedMessageJitter)->UseRealTime()->Iterations(200);

// A worker loop paced like the service core's: 1 ms sleep, then 1 ms of
// messages. Invoke into it is dominated by that pacing by design.
class PacedThread : public rtc::Thread {
 public:
  PacedThread() : rtc::Thread(rtc::SocketServer::CreateDefault()) {}
  ~PacedThread() override { Stop(); }
  void Run() override {
    while (!IsQuitting()) {
      SleepMs(1);
      ProcessMessages(1);
    }
  }
};

void BM_InvokeIntoPacedLoop(benchmark::State& state) {
  rtc::ThreadManager::Instance();
  PacedThread target;
  target.Start();
  std::vector<double> us;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    target.Invoke<int>(RTC_FROM_HERE, [] { return 1; });
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
}
BENCHMARK(BM_InvokeIntoPacedLoop)->Iterations(500)->UseRealTime();

// Destroying a handler sweeps every live queue.
void BM_HandlerDestruction(benchmark::State& state) {
  std::vector<std::unique_ptr<rtc::MessageQueue>> queues;
  for (int i = 0; i < state.range(0); ++i) {
    queues.push_back(
        std::make_unique<rtc::MessageQueue>(std::make_unique<rtc::NullSocketServer>(), true));
  }
  for (auto _ : state) {
    Counter handler;
    benchmark::DoNotOptimize(&handler);
  }
}
BENCHMARK(BM_HandlerDestruction)->Arg(10)->Arg(100);

}  // namespace
