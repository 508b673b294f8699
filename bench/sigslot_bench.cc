// Emission of a signal to 1 and 3 receivers against a plain virtual call.
// The "allocs" counter reports heap allocations per emission, which must be 0.

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "benchmark/benchmark.h"
#include "rtc_base/threads/sigslot.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

class Listener {
 public:
  virtual ~Listener() = default;
  virtual void OnEvent(int value) = 0;
};

class Receiver : public Listener, public sigslot::has_slots<> {
 public:
  void OnEvent(int value) override { benchmark::DoNotOptimize(sum += value); }
  long sum = 0;
};

void VirtualCall(benchmark::State& state) {
  std::vector<Receiver> receivers(static_cast<size_t>(state.range(0)));
  std::vector<Listener*> listeners;
  for (Receiver& r : receivers) listeners.push_back(&r);
  benchmark::DoNotOptimize(listeners.data());
  const long before = g_allocations.load();
  for (auto _ : state) {
    for (Listener* l : listeners) l->OnEvent(1);
  }
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(g_allocations.load() - before),
                                                benchmark::Counter::kAvgIterations);
}

template <class Policy>
void Emit(benchmark::State& state) {
  std::vector<Receiver> receivers(static_cast<size_t>(state.range(0)));
  sigslot::signal_with_thread_policy<Policy, int> signal;
  for (Receiver& r : receivers) signal.connect(&r, &Receiver::OnEvent);
  const long before = g_allocations.load();
  for (auto _ : state) signal.emit(1);
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(g_allocations.load() - before),
                                                benchmark::Counter::kAvgIterations);
}

BENCHMARK(VirtualCall)->Arg(1)->Arg(3);
BENCHMARK_TEMPLATE(Emit, sigslot::single_threaded)->Arg(1)->Arg(3);
BENCHMARK_TEMPLATE(Emit, sigslot::multi_threaded_local)->Arg(1)->Arg(3);

}  // namespace
