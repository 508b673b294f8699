#include "core/thread_mgr.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "core/rtc_log.h"
#include "core/rtc_tick.h"
#include "core/vy_rtm_service.h"
#include "rtc_base/base/checks.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/threads/socket_server.h"

namespace vy {

namespace {

std::unique_ptr<rtc::SocketServer> CreateWorkerSocketServer() {
  // Before any runtime code runs: its lines must not reach the app's standard error.
  QuietRuntimeConsole();
  std::unique_ptr<rtc::SocketServer> server = rtc::SocketServer::CreateDefault();
  RTC_CHECK(server) << "The worker thread's socket server could not be created";
  return server;
}

}  // namespace

ThreadMgr* ThreadMgr::Inst() {
  static ThreadMgr* const worker = [] {
    auto* made = new ThreadMgr();
    // Registered after the statics the constructor builds, so the worker stops before they
    // go; and before the destructors of app objects made before this first use, which may
    // still release services.
    std::atexit([] { Inst()->End(); });
    return made;
  }();
  return worker;
}

ThreadMgr::ThreadMgr() : rtc::Thread(CreateWorkerSocketServer(), false) {
  // Statics the worker uses are built first, so that they are destroyed
  // after this object has stopped the worker.
  MThreadTick::Inst();
  InitRtcLogStatics();
  // OpenSSL registers its exit handler when it is first set up. Set up here, its handler runs
  // after this object's destructor has joined the worker; set up later on the worker, it
  // would run first and leave the worker's OpenSSL state behind at exit.
  // The TLS library is set up here too (it sets up the crypto library with it).
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr);
  DoInit();
  SetName("RtmWorker", nullptr);
  RTC_CHECK(Start()) << "The worker thread could not be started";
}

ThreadMgr::~ThreadMgr() {
  End();
  // Out of the queue registry before the base destructors run: other threads walk the
  // registry and call into each queue.
  DoDestroy();
}

void ThreadMgr::End() {
  ended_.store(true);
  running_.store(false);
  Stop();
}

void ThreadMgr::AddRtm(void* key, VyRtmService* service) {
  {
    rtc::CritScope cs(&crit_);
    services_[key] = service;
  }
  // The worker may be sleeping without a due time.
  if (!IsCurrent()) socketserver()->WakeUp();
}

void ThreadMgr::RemoveRtm(void* key) {
  rtc::CritScope cs(&crit_);
  services_.erase(key);
}

void ThreadMgr::ReleaseRtm(VyRtmService* service) {
  {
    rtc::CritScope cs(&crit_);
    service->MarkReleased();
  }
  if (!IsCurrent()) socketserver()->WakeUp();
}

size_t ThreadMgr::ServiceCount() const {
  rtc::CritScope cs(&crit_);
  return services_.size();
}

void ThreadMgr::Run() {
  while (running_.load() && !IsQuitting()) {
    // Calls and due messages, then the services (input already handled comes before their
    // deadlines), then every client sends what this wake queued.
    if (!DispatchPending()) break;
    ProcessServices();
    MThreadTick::Inst()->DoProcess();
    // Until a descriptor is ready, a call or message comes, or the next due time.
    socketserver()->WaitOnce(NextWaitMs());
  }
}

int ThreadMgr::NextWaitMs() {
  int64_t due = VyRtmService::kNeverDue;
  {
    rtc::CritScope cs(&crit_);
    for (const auto& [key, service] : services_) due = std::min(due, service->NextDueMs());
  }
  int wait = GetDelay();
  if (due == VyRtmService::kNeverDue) return wait;
  const int64_t until = std::max<int64_t>(0, due - rtc::TimeMillis());
  if (wait != kForever && wait <= until) return wait;
  return static_cast<int>(std::min<int64_t>(until, 1 << 30));
}

void ThreadMgr::ProcessServices() {
  std::vector<VyRtmService*> released;
  {
    rtc::CritScope cs(&crit_);
    // A DoProcess may add or remove services: walk a snapshot and skip
    // entries that left the map meanwhile.
    std::vector<std::pair<void*, VyRtmService*>> pass(services_.begin(), services_.end());
    for (const auto& [key, service] : pass) {
      auto it = services_.find(key);
      if (it == services_.end() || it->second != service) continue;
      if (service->IsReleased()) {
        services_.erase(it);
        released.push_back(service);
      } else {
        service->DoProcess();
      }
    }
  }
  for (VyRtmService* service : released) delete service;
}

}  // namespace vy
