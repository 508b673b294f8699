// Inbound peer messages through the kit's bridge: the worker copies each message into a value
// class and posts it to the main loop, which calls the delegate. Baseline: the same closure
// handed to a consumer thread through a mutex and a condition variable.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include <vortm/vo_rtm_kit.h>

#include "core/vy_message.h"
#include "platform/kit/kit_internals.h"

namespace {

constexpr int kBatch = 1000;

class Counter : public vortm::VoRtmDelegate {
 public:
  void messageReceived(vortm::VoRtmKit&, const vortm::VoRtmMessage& message,
                       const std::string&) override {
    bytes += message.text().size();
    count.fetch_add(1, std::memory_order_release);
  }
  std::atomic<int> count{0};
  size_t bytes = 0;
};

void BM_KitBridgePeerMessages(benchmark::State& state) {
  auto counter = std::make_shared<Counter>();
  vortm::KitParts parts;
  parts.createNetManager = [] { return nullptr; };
  auto kit = vortm::KitInternals::create("0123456789abcdef0123456789abcdef", counter, parts);
  vy::rtm::IRtmServiceEventHandler* bridge = vortm::KitInternals::impl(*kit).use().handler.get();
  auto* message = new vy::VyMessage(nullptr);
  message->setText("a message of some sixty bytes, as chat lines often are....");
  int expected = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) bridge->onMessageReceivedFromPeer("alice", message);
    expected += kBatch;
    while (counter->count.load(std::memory_order_acquire) < expected) std::this_thread::yield();
  }
  message->release();
  kit->destroy();
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_KitBridgePeerMessages)->UseRealTime();

// The floor: copy the same two strings into a closure and hand it over through a locked queue.
void BM_MutexHandOffBaseline(benchmark::State& state) {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> queue;
  bool stop = false;
  std::atomic<int> count{0};
  size_t bytes = 0;
  std::thread consumer([&] {
    std::unique_lock<std::mutex> lock(mu);
    while (true) {
      cv.wait(lock, [&] { return stop || !queue.empty(); });
      if (queue.empty()) return;
      std::function<void()> fn = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      fn();
      lock.lock();
    }
  });
  const std::string text = "a message of some sixty bytes, as chat lines often are....";
  int expected = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      std::function<void()> fn = [text, peer = std::string("alice"), &count, &bytes] {
        bytes += text.size() + peer.size();
        count.fetch_add(1, std::memory_order_release);
      };
      {
        std::lock_guard<std::mutex> lock(mu);
        queue.push_back(std::move(fn));
      }
      cv.notify_one();
    }
    expected += kBatch;
    while (count.load(std::memory_order_acquire) < expected) std::this_thread::yield();
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
  }
  cv.notify_one();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_MutexHandOffBaseline)->UseRealTime();

}  // namespace
