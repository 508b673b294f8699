// Loopback throughput of the physical socket server against socat: bytes
// received from a socat source, echoed through socat, and socat to socat as
// the baseline of a plain blocking loop. Also the wake-up latency.
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "benchmark/benchmark.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/threads/thread.h"

extern char** environ;

namespace {

constexpr int64_t kBytes = 256 << 20;

pid_t Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("socat"));
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, "socat", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

int Reap(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// A listener of the server under test that keeps the first accepted socket.
struct Acceptor : public sigslot::has_slots<> {
  explicit Acceptor(rtc::PhysicalSocketServer* ss) {
    listener.reset(ss->CreateAsyncSocket(AF_INET, SOCK_STREAM));
    listener->Bind(rtc::SocketAddress("127.0.0.1", 0));
    listener->Listen(4);
    listener->SignalReadEvent.connect(this, &Acceptor::OnAccept);
  }
  void OnAccept(rtc::AsyncSocket* s) {
    rtc::AsyncSocket* a = s->Accept(nullptr);
    if (a && !accepted)
      accepted.reset(a);
    else
      delete a;
  }
  std::string Target() const {
    return "TCP4:127.0.0.1:" + std::to_string(listener->GetLocalAddress().port());
  }
  std::unique_ptr<rtc::AsyncSocket> listener;
  std::unique_ptr<rtc::AsyncSocket> accepted;
};

// Drains with 64 KiB reads until end of stream.
struct Drain : public sigslot::has_slots<> {
  explicit Drain(rtc::AsyncSocket* s) {
    s->SignalReadEvent.connect(this, &Drain::OnRead);
    s->SignalCloseEvent.connect(this, &Drain::OnClose);
  }
  void OnRead(rtc::AsyncSocket* s) {
    int n;
    while ((n = s->Recv(buf, sizeof(buf), nullptr)) > 0) received += n;
  }
  void OnClose(rtc::AsyncSocket*, int) { closed = true; }
  char buf[64 * 1024];
  int64_t received = 0;
  bool closed = false;
};

void BM_ReceiveFromSocatSource(benchmark::State& state) {
  for (auto _ : state) {
    rtc::PhysicalSocketServer ss;
    Acceptor acceptor(&ss);
    pid_t pid = Spawn({"-u", "-b", "65536", "FILE:/dev/zero,readbytes=" + std::to_string(kBytes),
                       acceptor.Target()});
    while (!acceptor.accepted) ss.Wait(10, true);
    Drain drain(acceptor.accepted.get());
    // A read event may have passed before the drain was attached; reading
    // re-arms it.
    drain.OnRead(acceptor.accepted.get());
    while (!drain.closed) ss.Wait(100, true);
    Reap(pid);
    if (drain.received != kBytes) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_ReceiveFromSocatSource)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// Sends as fast as write events allow and reads the echo back.
struct Echo : public sigslot::has_slots<> {
  explicit Echo(rtc::AsyncSocket* s) : s_(s), chunk(64 * 1024, 'x') {
    s->SignalReadEvent.connect(this, &Echo::OnRead);
    s->SignalWriteEvent.connect(this, &Echo::OnWrite);
  }
  void OnWrite(rtc::AsyncSocket*) {
    while (sent < kBytes) {
      int n = s_->Send(chunk.data(), std::min<int64_t>(chunk.size(), kBytes - sent));
      if (n <= 0) return;
      sent += n;
    }
  }
  void OnRead(rtc::AsyncSocket*) {
    int n;
    while ((n = s_->Recv(buf, sizeof(buf), nullptr)) > 0) received += n;
  }
  rtc::AsyncSocket* s_;
  std::string chunk;
  char buf[64 * 1024];
  int64_t sent = 0;
  int64_t received = 0;
};

void BM_EchoThroughSocatCat(benchmark::State& state) {
  for (auto _ : state) {
    rtc::PhysicalSocketServer ss;
    Acceptor acceptor(&ss);
    pid_t pid = Spawn({"-b", "65536", acceptor.Target(), "EXEC:cat"});
    while (!acceptor.accepted) ss.Wait(10, true);
    Echo echo(acceptor.accepted.get());
    echo.OnWrite(nullptr);
    echo.OnRead(nullptr);
    while (echo.received < kBytes) ss.Wait(100, true);
    acceptor.accepted.reset();
    kill(pid, SIGTERM);
    Reap(pid);
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_EchoThroughSocatCat)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
  socklen_t len = sizeof(sin);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  close(fd);
  return ntohs(sin.sin_port);
}

// The baseline: socat source to socat sink, two plain blocking loops.
void BM_SocatToSocat(benchmark::State& state) {
  for (auto _ : state) {
    std::string port = std::to_string(FreePort());
    pid_t sink = Spawn({"-u", "-b", "65536", "TCP4-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr",
                        "OPEN:/dev/null"});
    // The source retries until the sink listens.
    while (true) {
      pid_t source =
          Spawn({"-u", "-b", "65536", "FILE:/dev/zero,readbytes=" + std::to_string(kBytes),
                 "TCP4:127.0.0.1:" + port});
      if (Reap(source) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Reap(sink);
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}
BENCHMARK(BM_SocatToSocat)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// From WakeUp on one thread to the end of Wait on another.
void BM_WakeUpLatency(benchmark::State& state) {
  rtc::PhysicalSocketServer ss;
  std::atomic<int64_t> woken_at{0};
  std::atomic<bool> stop{false};
  std::atomic<int> round{0};
  std::thread waiter([&] {
    int seen = 0;
    while (!stop.load()) {
      ss.Wait(rtc::SocketServer::kForever, true);
      woken_at = rtc::TimeMicros();
      ++seen;
      round = seen;
    }
  });
  int64_t total_us = 0;
  int expected = 0;
  for (auto _ : state) {
    ++expected;
    int64_t start = rtc::TimeMicros();
    ss.WakeUp();
    while (round.load() < expected) std::this_thread::yield();
    total_us += woken_at.load() - start;
  }
  stop = true;
  ss.WakeUp();
  waiter.join();
  state.counters["wake_us"] = static_cast<double>(total_us) / state.iterations();
}
BENCHMARK(BM_WakeUpLatency)->UseRealTime();

// One pass over idle connected sockets: a post wakes the server, which
// polls every descriptor once.
void BM_PassWithIdleSockets(benchmark::State& state) {
  rtc::PhysicalSocketServer ss;
  Acceptor acceptor(&ss);
  std::vector<std::unique_ptr<rtc::AsyncSocket>> clients;
  std::vector<std::unique_ptr<rtc::AsyncSocket>> servers;
  for (int i = 0; i < state.range(0) / 2; ++i) {
    clients.emplace_back(ss.CreateAsyncSocket(AF_INET, SOCK_STREAM));
    clients.back()->Connect(acceptor.listener->GetLocalAddress());
    while (!acceptor.accepted) ss.Wait(10, true);
    servers.push_back(std::move(acceptor.accepted));
  }
  // Let the connect and first write events pass; then everything is idle
  // but still asks for reading.
  ss.Wait(50, true);
  for (auto _ : state) {
    ss.WakeUp();
    ss.Wait(rtc::SocketServer::kForever, true);
  }
}
BENCHMARK(BM_PassWithIdleSockets)->Arg(10)->Arg(200);

}  // namespace
