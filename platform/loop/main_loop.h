// The library's main loop: one serial rtc::Thread over a PhysicalSocketServer that serves posted
// closures, delays, timers, the probe socket and host resolution. Completions and delegate calls
// of the platform layer run on it, never on the core's worker.
//
// The loop is either started by the library on first use, as its own thread "VoRtmMain", or bound
// by the app (or a test) to a thread of its own, which then pumps it:
//
//   vortm::MainLoop::Binding binding;                // before any other use of the library
//   while (running) vortm::MainLoop::thread()->ProcessMessages(10);
//
// Once started, the loop runs for the rest of the process; a binding can only be made before
// that.
#ifndef PLATFORM_LOOP_MAIN_LOOP_H_
#define PLATFORM_LOOP_MAIN_LOOP_H_

#include <functional>

#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/threads/thread.h"

namespace vortm {

class MainLoop {
 public:
  // The loop's thread. Starts "VoRtmMain" when the loop has never been bound or started.
  static rtc::Thread* thread();
  // The socket server the loop waits on; dispatchers of the platform layer register here.
  static rtc::PhysicalSocketServer* socketServer();
  // True on the thread that serves the loop right now.
  static bool isCurrent();

  // Runs `fn` on the loop, after everything posted before it. May be called from any thread.
  static void post(std::function<void()> fn);
  // Runs `fn` on the loop `delayMs` from now (the test clock drives it). Calls due at the same
  // time run in posting order.
  static void postDelayed(int delayMs, std::function<void()> fn);

  // Binds the loop to the calling thread for the rest of the process (the kit's public binding).
  // True when the loop is bound to this thread, also by an earlier call.
  static bool bindForever();
  // On the bound thread: runs what is due, and what falls due within `maxMs`. False, running
  // nothing, on any other thread and when called from inside the loop's own work.
  static bool run(int maxMs);

  // Binds the loop to the calling thread for the binding's life; the thread pumps it with
  // thread()->ProcessMessages. A thread that already has an rtc::Thread gets it back afterwards.
  // Fails (ok() false) when the loop has been started or is bound elsewhere. Ending the binding
  // runs what is due now and drops the closures still waiting; messages of live handlers stay
  // queued for the next binding.
  class Binding {
   public:
    Binding();
    ~Binding();
    bool ok() const { return ok_; }

   private:
    bool ok_ = false;
    rtc::Thread* previous_ = nullptr;

    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;
  };
};

}  // namespace vortm

#endif  // PLATFORM_LOOP_MAIN_LOOP_H_
