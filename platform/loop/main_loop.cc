#include "platform/loop/main_loop.h"

#include <openssl/ssl.h>

#include <cstdlib>
#include <memory>
#include <utility>

#include "rtc_base/base/logging.h"
#include "rtc_base/base/mutex.h"
#include "rtc_base/threads/closure_message.h"

namespace vortm {
namespace {

constexpr int kMaxDrainPasses = 1000;

enum class LoopState { kUnused, kBound, kUnbound, kStarted };

// The loop's thread object lives for the whole process, so a post from any thread never races
// with its destruction.
struct LoopGlobals {
  rtc::Mutex mutex;
  LoopState state ABSL_GUARDED_BY(mutex) = LoopState::kUnused;
  // Set once, before any other thread can see the globals.
  rtc::PhysicalSocketServer* server = nullptr;
  rtc::Thread* thread = nullptr;
  // Used on the loop's thread only.
  rtc::ClosureHandler closures;
  // The app's binding, which lasts as long as the process.
  std::unique_ptr<MainLoop::Binding> forever ABSL_GUARDED_BY(mutex);
};

LoopGlobals& Globals() {
  static LoopGlobals* const globals = [] {
    auto* g = new LoopGlobals;
    auto server = std::make_unique<rtc::PhysicalSocketServer>();
    g->server = server.get();
    g->thread = new rtc::Thread(std::move(server));
    g->thread->SetName("VoRtmMain", nullptr);
    return g;
  }();
  return *globals;
}

// Runs what is due now. A pass may end early when the clock moves, so it runs in passes,
// bounded against closures that keep re-posting themselves.
void RunDue(rtc::Thread* thread) {
  for (int pass = 0; pass < kMaxDrainPasses && thread->GetDelay() == 0; ++pass) {
    thread->ProcessMessages(0);
  }
}

}  // namespace

rtc::Thread* MainLoop::thread() {
  LoopGlobals& g = Globals();
  rtc::MutexLock lock(&g.mutex);
  if (g.state == LoopState::kUnused) {
    // The loop's own thread stops at exit, before the TLS library's exit handler (registered
    // when the library is first set up, here at the latest) and before the statics made
    // earlier: its work (delegate calls, the probe) must not run into what exit has torn down.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    if (g.thread->Start()) {
      g.state = LoopState::kStarted;
      std::atexit([] { Globals().thread->Stop(); });
    } else {
      RTC_LOG(LS_ERROR) << "The main loop thread could not be started";
    }
  }
  return g.thread;
}

rtc::PhysicalSocketServer* MainLoop::socketServer() {
  thread();
  return Globals().server;
}

bool MainLoop::isCurrent() {
  // Asking must not start the loop.
  return Globals().thread->IsCurrent();
}

void MainLoop::post(std::function<void()> fn) {
  thread()->Post(RTC_FROM_HERE, &Globals().closures, 0, new rtc::ClosureData(std::move(fn)));
}

void MainLoop::postDelayed(int delayMs, std::function<void()> fn) {
  thread()->PostDelayed(RTC_FROM_HERE, delayMs, &Globals().closures, 0,
                        new rtc::ClosureData(std::move(fn)));
}

bool MainLoop::bindForever() {
  LoopGlobals& g = Globals();
  {
    rtc::MutexLock lock(&g.mutex);
    if (g.state == LoopState::kBound) return g.thread->IsCurrent();
  }
  auto binding = std::make_unique<Binding>();
  if (!binding->ok()) return false;
  // Never ended: completions posted at any later time must find the loop bound.
  rtc::MutexLock lock(&g.mutex);
  g.forever = std::move(binding);
  return true;
}

bool MainLoop::run(int maxMs) {
  // Work of the loop that pumps the loop again would run the rest of the queue under it.
  static thread_local bool running = false;
  LoopGlobals& g = Globals();
  {
    rtc::MutexLock lock(&g.mutex);
    if (g.state != LoopState::kBound || !g.thread->IsCurrent() || running) return false;
  }
  running = true;
  if (maxMs > 0) {
    g.thread->ProcessMessages(maxMs);
  } else {
    RunDue(g.thread);
  }
  running = false;
  return true;
}

MainLoop::Binding::Binding() {
  LoopGlobals& g = Globals();
  rtc::MutexLock lock(&g.mutex);
  if (g.state != LoopState::kUnused && g.state != LoopState::kUnbound) {
    RTC_LOG(LS_ERROR) << "The main loop is already running; it cannot be bound";
    return;
  }
  rtc::ThreadManager* manager = rtc::ThreadManager::Instance();
  previous_ = manager->CurrentThread();
  manager->SetCurrentThread(nullptr);
  if (!g.thread->WrapCurrent()) {
    manager->SetCurrentThread(previous_);
    return;
  }
  g.thread->Restart();
  g.state = LoopState::kBound;
  ok_ = true;
}

MainLoop::Binding::~Binding() {
  if (!ok_) return;
  LoopGlobals& g = Globals();
  RunDue(g.thread);
  g.thread->Clear(&g.closures);
  rtc::MutexLock lock(&g.mutex);
  g.thread->UnwrapCurrent();
  rtc::ThreadManager::Instance()->SetCurrentThread(previous_);
  g.state = LoopState::kUnbound;
}

}  // namespace vortm
