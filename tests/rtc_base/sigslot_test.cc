#include "rtc_base/sigslot.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

using sigslot::has_slots;
using sigslot::multi_threaded_local;
using sigslot::signal_with_thread_policy;
using sigslot::single_threaded;

using StSignal = signal_with_thread_policy<single_threaded, int>;
using MtSignal = signal_with_thread_policy<multi_threaded_local, int>;

// Records its calls into a shared log as "name:value".
class Recorder : public has_slots<> {
 public:
  Recorder(std::string name, std::vector<std::string>* log)
      : name_(std::move(name)), log_(log) {}
  void OnSignal(int value) {
    log_->push_back(name_ + ":" + std::to_string(value));
  }

 private:
  std::string name_;
  std::vector<std::string>* log_;
};

// A receiver whose slot runs an arbitrary action.
template <class Signal>
class Actor : public has_slots<> {
 public:
  std::function<void(int)> action;
  int calls = 0;
  void OnSignal(int value) {
    ++calls;
    if (action) action(value);
  }
};

TEST(SigslotTest, EmissionCallsReceiversInConnectionOrder) {
  std::vector<std::string> log;
  Recorder a("a", &log), b("b", &log), c("c", &log);
  StSignal signal;
  signal.connect(&b, &Recorder::OnSignal);
  signal.connect(&a, &Recorder::OnSignal);
  signal.connect(&c, &Recorder::OnSignal);
  signal.emit(7);
  signal(8);
  EXPECT_EQ(log, (std::vector<std::string>{"b:7", "a:7", "c:7", "b:8", "a:8",
                                           "c:8"}));
}

TEST(SigslotTest, ReceiverConnectedTwiceIsCalledTwiceAndRemovedByOneDestruction) {
  std::vector<std::string> log;
  StSignal signal;
  {
    Recorder a("a", &log);
    signal.connect(&a, &Recorder::OnSignal);
    signal.connect(&a, &Recorder::OnSignal);
    signal.emit(1);
    EXPECT_EQ(log.size(), 2u);
  }
  EXPECT_TRUE(signal.is_empty());
  signal.emit(2);
  EXPECT_EQ(log.size(), 2u);
}

TEST(SigslotTest, DestroyedReceiverIsNeverCalledAgain) {
  std::vector<std::string> log;
  StSignal signal;
  Recorder keep("keep", &log);
  auto gone = std::make_unique<Recorder>("gone", &log);
  signal.connect(gone.get(), &Recorder::OnSignal);
  signal.connect(&keep, &Recorder::OnSignal);
  gone.reset();
  EXPECT_TRUE(signal.connected(&keep));
  signal.emit(3);
  EXPECT_EQ(log, (std::vector<std::string>{"keep:3"}));
}

// Disconnecting a receiver connected twice removes both connections, so its
// later destruction leaves no dangling connection for ASan to find.
TEST(SigslotTest, DisconnectRemovesEveryConnectionOfTheReceiver) {
  std::vector<std::string> log;
  StSignal signal;
  auto a = std::make_unique<Recorder>("a", &log);
  signal.connect(a.get(), &Recorder::OnSignal);
  signal.connect(a.get(), &Recorder::OnSignal);
  signal.disconnect(a.get());
  EXPECT_FALSE(signal.connected(a.get()));
  a.reset();
  signal.emit(1);
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(signal.is_empty());
}

TEST(SigslotTest, DestroyedSignalLeavesItsReceiversClean) {
  std::vector<std::string> log;
  Recorder a("a", &log);
  StSignal other;
  {
    auto signal = std::make_unique<StSignal>();
    signal->connect(&a, &Recorder::OnSignal);
    other.connect(&a, &Recorder::OnSignal);
  }
  // The receiver still works with its other signal, and its destruction at
  // the end of the test must not touch the destroyed one.
  other.emit(5);
  EXPECT_EQ(log, (std::vector<std::string>{"a:5"}));
}

TEST(SigslotTest, DisconnectAllTellsEveryReceiver) {
  std::vector<std::string> log;
  auto a = std::make_unique<Recorder>("a", &log);
  StSignal signal;
  signal.connect(a.get(), &Recorder::OnSignal);
  signal.disconnect_all();
  EXPECT_TRUE(signal.is_empty());
  a.reset();
  signal.emit(1);
  EXPECT_TRUE(log.empty());
}

TEST(SigslotTest, SlotThatDisconnectsItselfDoesNotStopTheOthers) {
  StSignal signal;
  Actor<StSignal> first, second, third;
  first.action = [&](int) { signal.disconnect(&first); };
  second.action = [&](int) { signal.disconnect(&second); };
  signal.connect(&first, &Actor<StSignal>::OnSignal);
  signal.connect(&second, &Actor<StSignal>::OnSignal);
  signal.connect(&third, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 1);
  EXPECT_EQ(third.calls, 1);
  signal.emit(0);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(third.calls, 2);
}

TEST(SigslotTest, SlotMayDestroyItsOwnReceiver) {
  StSignal signal;
  auto doomed = std::make_unique<Actor<StSignal>>();
  Actor<StSignal> after;
  doomed->action = [&](int) { doomed.reset(); };
  signal.connect(doomed.get(), &Actor<StSignal>::OnSignal);
  signal.connect(&after, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(doomed, nullptr);
  EXPECT_EQ(after.calls, 1);
  EXPECT_FALSE(signal.is_empty());
}

TEST(SigslotTest, ReceiverDestroyedBeforeItsTurnIsNotCalled) {
  StSignal signal;
  Actor<StSignal> killer;
  auto victim = std::make_unique<Actor<StSignal>>();
  Actor<StSignal> last;
  killer.action = [&](int) { victim.reset(); };
  signal.connect(&killer, &Actor<StSignal>::OnSignal);
  signal.connect(victim.get(), &Actor<StSignal>::OnSignal);
  signal.connect(&last, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(last.calls, 1);
}

// An emission walks the connections that existed when it started: a socket
// reconnected inside its own handler must not receive the event again.
TEST(SigslotTest, ConnectionAddedDuringEmissionWaitsForTheNextEmission) {
  StSignal signal;
  Actor<StSignal> first, late, last;
  first.action = [&](int) {
    if (first.calls == 1) signal.connect(&late, &Actor<StSignal>::OnSignal);
  };
  signal.connect(&first, &Actor<StSignal>::OnSignal);
  signal.connect(&last, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(late.calls, 0);
  EXPECT_EQ(last.calls, 1);
  signal.emit(0);
  EXPECT_EQ(late.calls, 1);
  EXPECT_EQ(last.calls, 2);
}

TEST(SigslotTest, ConnectionAddedByTheLastSlotWaitsForTheNextEmission) {
  StSignal signal;
  Actor<StSignal> only, late;
  only.action = [&](int) {
    if (only.calls == 1) signal.connect(&late, &Actor<StSignal>::OnSignal);
  };
  signal.connect(&only, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(late.calls, 0);
  signal.emit(0);
  EXPECT_EQ(only.calls, 2);
  EXPECT_EQ(late.calls, 1);
}

TEST(SigslotTest, ReceiverThatReconnectsItselfIsCalledOncePerEmission) {
  StSignal signal;
  Actor<StSignal> again, other;
  again.action = [&](int) {
    signal.disconnect(&again);
    signal.connect(&again, &Actor<StSignal>::OnSignal);
  };
  signal.connect(&again, &Actor<StSignal>::OnSignal);
  signal.connect(&other, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(again.calls, 1);
  EXPECT_EQ(other.calls, 1);
  signal.emit(0);
  EXPECT_EQ(again.calls, 2);
  EXPECT_EQ(other.calls, 2);
}

// Removing the first late connection must not let the emission run on into
// the ones connected after it.
TEST(SigslotTest, RemovingALateConnectionDoesNotExtendTheEmission) {
  StSignal signal;
  Actor<StSignal> first, second;
  auto late1 = std::make_unique<Actor<StSignal>>();
  Actor<StSignal> late2;
  first.action = [&](int) {
    if (first.calls != 1) return;
    signal.connect(late1.get(), &Actor<StSignal>::OnSignal);
    signal.connect(&late2, &Actor<StSignal>::OnSignal);
  };
  second.action = [&](int) { late1.reset(); };
  signal.connect(&first, &Actor<StSignal>::OnSignal);
  signal.connect(&second, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(second.calls, 1);
  EXPECT_EQ(late2.calls, 0);
  signal.emit(0);
  EXPECT_EQ(late2.calls, 1);
}

TEST(SigslotTest, ConnectionAddedAfterDisconnectAllDuringEmissionWaits) {
  StSignal signal;
  Actor<StSignal> first, second, late;
  first.action = [&](int) {
    if (first.calls != 1) return;
    signal.disconnect_all();
    signal.connect(&late, &Actor<StSignal>::OnSignal);
  };
  signal.connect(&first, &Actor<StSignal>::OnSignal);
  signal.connect(&second, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(second.calls, 0);
  EXPECT_EQ(late.calls, 0);
  signal.emit(0);
  EXPECT_EQ(late.calls, 1);
}

// A nested emission is a new emission: it calls what was connected before it
// started, while the outer one still stops at its own snapshot.
TEST(SigslotTest, NestedEmissionSeesConnectionsTheOuterOneSkips) {
  StSignal signal;
  Actor<StSignal> first, late;
  first.action = [&](int depth) {
    if (depth != 0) return;
    signal.connect(&late, &Actor<StSignal>::OnSignal);
    signal.emit(1);
  };
  signal.connect(&first, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(first.calls, 2);
  EXPECT_EQ(late.calls, 1);
}

TEST(SigslotTest, SlotMayDestroyASingleThreadedSignal) {
  auto signal = std::make_unique<StSignal>();
  Actor<StSignal> first, second;
  first.action = [&](int) { signal.reset(); };
  signal->connect(&first, &Actor<StSignal>::OnSignal);
  signal->connect(&second, &Actor<StSignal>::OnSignal);
  signal->emit(0);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 0);
}

TEST(SigslotTest, NestedEmissionDoesNotCutTheOuterOneShort) {
  StSignal signal;
  Actor<StSignal> first, second;
  first.action = [&](int depth) {
    if (depth == 0) signal.emit(1);
  };
  signal.connect(&first, &Actor<StSignal>::OnSignal);
  signal.connect(&second, &Actor<StSignal>::OnSignal);
  signal.emit(0);
  EXPECT_EQ(first.calls, 2);
  EXPECT_EQ(second.calls, 2);
}

class Base : public has_slots<> {
 public:
  virtual void OnSignal(int) { ++base_calls; }
  int base_calls = 0;
};

class Derived : public Base {
 public:
  void OnSignal(int) override { ++derived_calls; }
  int derived_calls = 0;
};

TEST(SigslotTest, VirtualSlotCallsTheOverride) {
  StSignal signal;
  Derived d;
  Base* b = &d;
  signal.connect(b, &Base::OnSignal);
  signal.emit(0);
  EXPECT_EQ(d.derived_calls, 1);
  EXPECT_EQ(d.base_calls, 0);
}

TEST(SigslotTest, CopiedReceiverListensToTheSameSignals) {
  std::vector<std::string> log;
  StSignal signal;
  auto original = std::make_unique<Recorder>("r", &log);
  signal.connect(original.get(), &Recorder::OnSignal);
  Recorder copy(*original);
  signal.emit(1);
  EXPECT_EQ(log.size(), 2u);
  original.reset();
  signal.emit(2);
  EXPECT_EQ(log, (std::vector<std::string>{"r:1", "r:1", "r:2"}));
}

TEST(SigslotTest, SignalsWithSeveralArgumentsPassThemAll) {
  struct Receiver : has_slots<> {
    void On(const std::string& s, int n, double d) {
      text = s;
      number = n;
      value = d;
    }
    std::string text;
    int number = 0;
    double value = 0;
  } r;
  sigslot::signal3<const std::string&, int, double> signal;
  signal.connect(&r, &Receiver::On);
  signal.emit("x", 4, 2.5);
  EXPECT_EQ(r.text, "x");
  EXPECT_EQ(r.number, 4);
  EXPECT_EQ(r.value, 2.5);
}

TEST(SigslotTest, MultiThreadedSignalCallsInOrderToo) {
  std::vector<std::string> log;
  Recorder a("a", &log), b("b", &log);
  MtSignal signal;
  signal.connect(&a, &Recorder::OnSignal);
  signal.connect(&b, &Recorder::OnSignal);
  signal.disconnect(&a);
  signal.connect(&a, &Recorder::OnSignal);
  signal.emit(1);
  EXPECT_EQ(log, (std::vector<std::string>{"b:1", "a:1"}));
}

#if !defined(NDEBUG)
using SigslotDeathTest = ::testing::Test;

TEST(SigslotDeathTest, MultiThreadedSlotThatDisconnectsItselfFailsLoudly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        MtSignal signal;
        Actor<MtSignal> actor;
        actor.action = [&](int) { signal.disconnect(&actor); };
        signal.connect(&actor, &Actor<MtSignal>::OnSignal);
        signal.emit(0);
      },
      "multi-threaded signal that is calling it");
}

TEST(SigslotDeathTest, MultiThreadedSlotThatDestroysItsSignalFailsLoudly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto signal = std::make_unique<MtSignal>();
        Actor<MtSignal> actor;
        actor.action = [&](int) { signal.reset(); };
        signal->connect(&actor, &Actor<MtSignal>::OnSignal);
        signal->emit(0);
      },
      "multi-threaded signal that is calling it");
}
#endif

// Receivers are connected, disconnected and destroyed on other threads while
// one thread emits. Each receiver is touched only by its own thread; the
// signal's mutex orders everything else. Run under TSan as well.
template <class ReceiverPolicy>
void ConnectAndDisconnectWhileEmitting() {
  struct Counter : has_slots<ReceiverPolicy> {
    // The emitting thread may call it until it is disconnected.
    ~Counter() override { this->disconnect_all(); }
    std::atomic<int> calls{0};
    void OnSignal(int) { calls.fetch_add(1, std::memory_order_relaxed); }
  };
  MtSignal signal;
  Counter permanent;
  signal.connect(&permanent, &Counter::OnSignal);

  constexpr int kEmissions = 2000;
  constexpr int kThreads = 3;
  constexpr int kRounds = 300;
  std::atomic<int> churners_done{0};
  std::vector<std::thread> churners;
  for (int t = 0; t < kThreads; ++t) {
    churners.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        Counter twice;
        auto destroyed = std::make_unique<Counter>();
        signal.connect(&twice, &Counter::OnSignal);
        signal.connect(&twice, &Counter::OnSignal);
        signal.connect(destroyed.get(), &Counter::OnSignal);
        destroyed.reset();
        signal.disconnect(&twice);
      }
      churners_done.fetch_add(1);
    });
  }
  int emitted = 0;
  while (emitted < kEmissions || churners_done.load() < kThreads) {
    signal.emit(emitted);
    ++emitted;
  }
  for (std::thread& t : churners) t.join();
  EXPECT_EQ(permanent.calls.load(), emitted);
  // Only the permanent receiver is left.
  signal.disconnect(&permanent);
  EXPECT_TRUE(signal.is_empty());
}

TEST(SigslotThreadsTest, ConnectAndDisconnectFromOtherThreadsWhileEmitting) {
  ConnectAndDisconnectWhileEmitting<single_threaded>();
}

TEST(SigslotThreadsTest, MultiThreadedReceiversWorkTheSame) {
  ConnectAndDisconnectWhileEmitting<multi_threaded_local>();
}

// A receiver shared by threads needs the multi-threaded policy for its own
// sender set: here several threads connect it to their own signals and emit.
TEST(SigslotThreadsTest, SharedMultiThreadedReceiverOnManySignals) {
  struct Counter : has_slots<multi_threaded_local> {
    std::atomic<int> calls{0};
    void OnSignal(int) { calls.fetch_add(1, std::memory_order_relaxed); }
  };
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  Counter shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        MtSignal signal;
        signal.connect(&shared, &Counter::OnSignal);
        signal.emit(round);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(shared.calls.load(), kThreads * kRounds);
}

}  // namespace
