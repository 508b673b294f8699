#include "rtc_base/threads/sigslot.h"

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

// A receiver that logs its calls as "name:value" and then runs an optional action.
class Actor : public has_slots<> {
 public:
  explicit Actor(std::string name = "", std::vector<std::string>* log = nullptr)
      : name_(std::move(name)), log_(log) {}
  void OnSignal(int value) {
    ++calls;
    if (log_) log_->push_back(name_ + ":" + std::to_string(value));
    if (action) action(value);
  }
  template <class Signal>
  void Listen(Signal* signal) {
    signal->connect(this, &Actor::OnSignal);
  }
  std::function<void(int)> action;
  int calls = 0;

 private:
  std::string name_;
  std::vector<std::string>* log_;
};

TEST(SigslotTest, ReceiversAreCalledInConnectionOrderUntilDisconnectedOrDestroyed) {
  std::vector<std::string> log;
  Actor a("a", &log), b("b", &log);
  auto gone = std::make_unique<Actor>("gone", &log);
  auto twice = std::make_unique<Actor>("twice", &log);
  StSignal signal;
  b.Listen(&signal);
  gone->Listen(&signal);
  a.Listen(&signal);
  twice->Listen(&signal);
  twice->Listen(&signal);
  signal.emit(1);
  EXPECT_EQ(log, (std::vector<std::string>{"b:1", "gone:1", "a:1", "twice:1", "twice:1"}));
  gone.reset();
  signal.disconnect(twice.get());  // Every connection of the receiver goes.
  twice.reset();
  log.clear();
  signal(2);
  EXPECT_EQ(log, (std::vector<std::string>{"b:2", "a:2"}));
  {
    StSignal short_lived;
    a.Listen(&short_lived);
  }
  signal.disconnect_all();
  EXPECT_TRUE(signal.is_empty());
  signal(4);
  EXPECT_EQ(log.size(), 2u);
}  // `a` must not touch the destroyed signal here.

// Removals take effect at once; a connection made during an emission is called in it, once,
// unless its receiver made it from its own slot, which then waits for the next emission.
TEST(SigslotTest, SlotsMayChangeTheConnectionsOfTheSignalThatCallsThem) {
  struct Case {
    const char* name;
    // Given the signal and three receivers connected in order; `late` is not connected.
    std::function<void(StSignal*, Actor*, Actor*, Actor*, Actor*)> arrange;
    std::vector<int> first_calls, second_calls;  // Calls of first, second, third and late.
  };
  const Case cases[] = {
      {"disconnect itself",
       [](StSignal* s, Actor* a, Actor*, Actor*, Actor*) {
         a->action = [s, a](int) { s->disconnect(a); };
       },
       {1, 1, 1, 0},
       {1, 2, 2, 0}},
      {"connect another",
       [](StSignal* s, Actor* a, Actor*, Actor*, Actor* late) {
         a->action = [s, a, late](int) {
           if (a->calls == 1) late->Listen(s);
         };
       },
       {1, 1, 1, 1},
       {2, 2, 2, 2}},
      {"the last one connects another",
       [](StSignal* s, Actor*, Actor*, Actor* c, Actor* late) {
         c->action = [s, c, late](int) {
           if (c->calls == 1) late->Listen(s);
         };
       },
       {1, 1, 1, 1},
       {2, 2, 2, 2}},
      {"the connected one connects itself again",
       [](StSignal* s, Actor* a, Actor*, Actor*, Actor* late) {
         a->action = [s, a, late](int) {
           if (a->calls == 1) late->Listen(s);
         };
         late->action = [s, late](int) {
           if (late->calls == 1) late->Listen(s);
         };
       },
       {1, 1, 1, 1},
       {2, 2, 2, 3}},
      {"reconnect itself",
       [](StSignal* s, Actor* a, Actor*, Actor*, Actor*) {
         a->action = [s, a](int) {
           s->disconnect(a);
           a->Listen(s);
         };
       },
       {1, 1, 1, 0},
       {2, 2, 2, 0}},
      {"disconnect a later one",
       [](StSignal* s, Actor* a, Actor* b, Actor*, Actor*) {
         a->action = [s, b](int) { s->disconnect(b); };
       },
       {1, 0, 1, 0},
       {2, 0, 2, 0}},
      {"disconnect all, then connect another",
       [](StSignal* s, Actor* a, Actor*, Actor*, Actor* late) {
         a->action = [s, a, late](int) {
           if (a->calls != 1) return;
           s->disconnect_all();
           late->Listen(s);
         };
       },
       {1, 0, 0, 1},
       {1, 0, 0, 2}},
      {"nested emission",
       [](StSignal* s, Actor* a, Actor*, Actor*, Actor* late) {
         a->action = [s, a, late](int depth) {
           if (depth != 0 || a->calls != 1) return;
           late->Listen(s);  // Called by both emissions.
           s->emit(1);
         };
       },
       {2, 2, 2, 2},
       {3, 3, 3, 3}},
  };
  for (const Case& c : cases) {
    StSignal signal;
    Actor first, second, third, late;
    for (Actor* actor : {&first, &second, &third}) actor->Listen(&signal);
    c.arrange(&signal, &first, &second, &third, &late);
    signal.emit(0);
    EXPECT_EQ(c.first_calls, (std::vector<int>{first.calls, second.calls, third.calls, late.calls}))
        << c.name;
    signal.emit(0);
    EXPECT_EQ(c.second_calls,
              (std::vector<int>{first.calls, second.calls, third.calls, late.calls}))
        << c.name;
  }
}

TEST(SigslotTest, SlotsMayDestroyReceiversOrTheSingleThreadedSignalItself) {
  StSignal signal;
  auto doomed = std::make_unique<Actor>();
  auto victim = std::make_unique<Actor>();
  Actor killer, last;
  doomed->action = [&](int) { doomed.reset(); };
  killer.action = [&](int) { victim.reset(); };
  doomed->Listen(&signal);
  killer.Listen(&signal);
  victim->Listen(&signal);
  last.Listen(&signal);
  signal.emit(0);
  EXPECT_EQ(last.calls, 1);

  auto owned = std::make_unique<StSignal>();
  Actor destroyer, after;
  destroyer.action = [&](int) { owned.reset(); };
  destroyer.Listen(owned.get());
  after.Listen(owned.get());
  owned->emit(0);
  EXPECT_EQ(destroyer.calls, 1);
  EXPECT_EQ(after.calls, 0);
}

#if !defined(NDEBUG)
// A multi-threaded signal holds its lock while it calls; a slot that changes it must stop
// with a message instead of hanging. (One that destroys it: a socket's read handler that
// deletes the socket, PhysicalSocketServerTest.AdapterHandlersMayDeleteItOnCloseButNotOnRead.)
TEST(SigslotDeathTest, MultiThreadedSlotThatChangesItsSignalFailsLoudly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto disconnect = [] {
    MtSignal signal;
    Actor actor;
    actor.action = [&](int) { signal.disconnect(&actor); };
    actor.Listen(&signal);
    signal.emit(0);
  };
  EXPECT_DEATH(disconnect(), "multi-threaded signal that is calling it");
}
#endif

// Receivers are connected, disconnected and destroyed on other threads while one thread emits.
// Run under TSan as well.
template <class ReceiverPolicy>
void ConnectAndDisconnectWhileEmitting() {
  struct Counter : has_slots<ReceiverPolicy> {
    ~Counter() override { this->disconnect_all(); }
    std::atomic<int> calls{0};
    void OnSignal(int) { calls.fetch_add(1, std::memory_order_relaxed); }
  };
  MtSignal signal;
  Counter permanent;
  signal.connect(&permanent, &Counter::OnSignal);
  constexpr int kThreads = 3;
  std::atomic<int> churners_done{0};
  std::vector<std::thread> churners;
  for (int t = 0; t < kThreads; ++t) {
    churners.emplace_back([&] {
      for (int round = 0; round < 300; ++round) {
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
  while (emitted < 2000 || churners_done.load() < kThreads) signal.emit(emitted++);
  for (std::thread& t : churners) t.join();
  EXPECT_EQ(permanent.calls.load(), emitted);
  signal.disconnect(&permanent);
  EXPECT_TRUE(signal.is_empty());
}

TEST(SigslotThreadsTest, ConnectAndDisconnectFromOtherThreadsWhileEmitting) {
  ConnectAndDisconnectWhileEmitting<single_threaded>();
  ConnectAndDisconnectWhileEmitting<multi_threaded_local>();
}

}  // namespace
