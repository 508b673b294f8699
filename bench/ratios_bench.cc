// The library's figures as an app feels them, each beside a baseline doing the same work in the
// same run:
//   send CPU per message, 100 B and 32 KB       / the raw client (bench/raw_client.cc)
//   receive CPU per message, 100 B and 32 KB    / the raw client
//   messages per second from one app thread     / the raw client, pipelining
//   send -> result latency, sparse, ping-pong   / the raw client's round trip
//   idle wake-ups of the worker                 / a thread blocked in poll()
//   Invoke from an app thread, CPU and time     / a mutex + condition-variable round trip
//   cross-thread posts per second               / a mutex + condition-variable queue
// CPU is that of every thread of a process (getrusage RUSAGE_SELF: the app thread, the worker and
// any other, ended ones included). The local test service and the raw clients each run in a
// process of their own, so the CPU this process counts is the library's alone and a raw client
// reports its own process's. Messages go through the public API to a raw client that
// acknowledges them, and on both sides a round ends when every result is back. Rounds alternate
// between the library and its baseline; each side's figure is the median over its rounds (the
// latencies pool every round's samples). "ratio" is the library's figure over the baseline's
// (for rates, the library's rate over the baseline's).
//   scripts/bench --benchmark_filter=Ratio
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <vortm/rtm_service.h>

#include "core/thread_mgr.h"
#include "rtc_base/threads/event.h"
#include "rtc_base/threads/thread.h"

namespace {

namespace rtm = vy::rtm;
using Clock = std::chrono::steady_clock;

constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";
constexpr int kRounds = 5;
constexpr int kReplyTimeoutMs = 120000;
constexpr size_t kSmall = 100;
constexpr size_t kLarge = 32767;  // the largest text a message may carry

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double ProcessCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(static_cast<double>(v.size()) * p))];
}

double Median(const std::vector<double>& v) { return Percentile(v, 0.5); }

std::string Text(size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text.push_back("abcdefghijklmnopqrstuvwxyz 0123456789"[i % 37]);
  return text;
}

// What some work cost: the CPU of every thread of the process, and the time it took.
struct Cost {
  double cpu = 0;
  double wall = 0;
};

template <typename F>
Cost Measure(F&& work) {
  const double cpu = ProcessCpuSeconds();
  const auto start = Clock::now();
  work();
  return {ProcessCpuSeconds() - cpu, Seconds(Clock::now() - start)};
}

// `f` of each cost, scaled by `per`.
std::vector<double> Each(const std::vector<Cost>& costs, double Cost::*f, double per) {
  std::vector<double> v;
  for (const Cost& c : costs) v.push_back(c.*f * per);
  return v;
}

// Runs `work` on a thread of its own, as an app's thread: one the library has not wrapped.
template <typename F>
void OnAppThread(F&& work) {
  std::thread(std::forward<F>(work)).join();
}

// ---------------------------------------------------------------------------------------------
// The library, the local service and raw clients, each end to end.

// A program in a process of its own, its standard input and output piped to this one. It is
// killed at destruction, or when the thread that started it ends.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    // A child that is gone fails the benchmark when it does not answer; writing to it must not
    // end this process.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(in[0], 0);
      dup2(out[1], 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Child() {
    close(to_);
    close(from_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // The next line it prints, or "" when none comes in time.
  std::string Line() {
    size_t eol;
    while ((eol = buffered_.find('\n')) == std::string::npos) {
      pollfd p{from_, POLLIN, 0};
      char chunk[4096];
      ssize_t n = 0;
      if (poll(&p, 1, kReplyTimeoutMs) != 1 || (n = read(from_, chunk, sizeof(chunk))) <= 0)
        return "";
      buffered_.append(chunk, static_cast<size_t>(n));
    }
    std::string line = buffered_.substr(0, eol);
    buffered_.erase(0, eol + 1);
    return line;
  }

  // Writes `command` as a line and reads the answer's.
  std::istringstream Ask(const std::string& command) {
    const std::string line = command + "\n";
    if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
    return std::istringstream(Line());
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string buffered_;
};

// The library as an app uses it: one service logged in, results and received messages counted
// on the worker thread. A waiting app thread is woken only once all it waits for has come, so
// that waking it costs nothing per message.
class LibUser : public rtm::IRtmServiceEventHandler {
 public:
  ~LibUser() override {
    if (service_ != nullptr) service_->release(true);
  }

  bool Login(const std::string& host, const char* uid) {
    service_ = createRtmService();
    const std::string params = R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + host + "\"}";
    if (service_->initialize(kAppId, this) != 0 || service_->setParameters(params.c_str()) != 0 ||
        service_->login("bench", uid) != 0) {
      return false;
    }
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return logged_in_; });
  }

  // Sends `text` to `peer` through the public API; a refusal comes back as a failed result.
  void Send(const char* peer, const std::string& text) {
    rtm::IMessage* message = service_->createMessage(text.c_str());
    service_->sendMessageToPeer(peer, message);
    message->release();
  }

  // Waits until `n` results in all have come; `last` gets the time the last one came.
  bool WaitResults(uint64_t n, Clock::time_point* last = nullptr) {
    std::unique_lock<std::mutex> lock(mu_);
    wanted_ = n;
    const bool ok = cv_.wait_for(lock, std::chrono::seconds(60), [&] { return results_ >= n; });
    if (last != nullptr) *last = last_result_;
    return ok;
  }

  uint64_t results() { return Read(results_); }
  uint64_t failed() { return Read(failed_); }
  uint64_t received() { return Read(received_); }

  void onLoginSuccess() override {
    std::lock_guard<std::mutex> lock(mu_);
    logged_in_ = true;
    cv_.notify_all();
  }
  void onSendMessageResult(long long, rtm::PEER_MESSAGE_ERR_CODE code) override {
    std::lock_guard<std::mutex> lock(mu_);
    last_result_ = Clock::now();
    if (code != rtm::PEER_MESSAGE_ERR_OK) ++failed_;
    if (++results_ == wanted_) cv_.notify_all();
  }
  void onMessageReceivedFromPeer(const char*, const rtm::IMessage*) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++received_;
  }

 private:
  uint64_t Read(const uint64_t& field) {
    std::lock_guard<std::mutex> lock(mu_);
    return field;
  }

  rtm::IRtmService* service_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  bool logged_in_ = false;
  uint64_t wanted_ = 0;
  uint64_t results_ = 0;
  uint64_t failed_ = 0;
  uint64_t received_ = 0;
  Clock::time_point last_result_;
};

// The address in the local service's banner, "vortm-local-service: HTTP <address>:<port>, ...".
std::string HostOf(const std::string& banner) {
  const size_t at = banner.find("HTTP ");
  return at == std::string::npos ? "" : banner.substr(at + 5, banner.find(':', at) - at - 5);
}

// The local service, the raw clients "raw-recv" (acknowledges what it gets) and "raw-send", and
// the library's user "lib", all logged in.
struct World {
  World()
      : service({LOCAL_SERVICE, "--address", "auto", "--keepalive-ms", "0"}),
        host(HostOf(service.Line())),
        receiver({RAW_CLIENT, host, "raw-recv"}),
        sender({RAW_CLIENT, host, "raw-send"}) {
    ok = receiver.Line() == "ready" && sender.Line() == "ready" && lib.Login(host, "lib");
  }

  Child service;
  std::string host;
  Child receiver;
  Child sender;
  LibUser lib;
  bool ok = false;
};

// The raw sender's round of `n` messages to `to`; a zero cost when one failed.
Cost RawSend(World& w, const std::string& to, int n, size_t bytes) {
  std::istringstream reply =
      w.sender.Ask("send " + to + " " + std::to_string(n) + " " + std::to_string(bytes));
  std::string word;
  Cost c;
  int failed = -1;
  reply >> word >> c.wall >> c.cpu >> failed;
  return word == "sent" && failed == 0 ? c : Cost{};
}

// Rounds of `n` messages to "raw-recv", alternately from the raw client and from an app thread
// through the library; a round ends when every result is back. False, with the benchmark
// skipped, when a login, message or result failed.
bool SendRounds(benchmark::State& state, size_t bytes, int n, std::vector<Cost>* lib,
                std::vector<Cost>* raw) {
  const std::string text = Text(bytes);
  World w;
  bool ok = w.ok;
  for (auto _ : state) {
    for (int round = 0; round < kRounds && ok; ++round) {
      raw->push_back(RawSend(w, "raw-recv", n, bytes));
      const uint64_t wanted = w.lib.results() + static_cast<uint64_t>(n);
      const uint64_t failed = w.lib.failed();
      lib->push_back(Measure([&] {
        OnAppThread([&] {
          for (int i = 0; i < n; ++i) w.lib.Send("raw-recv", text);
        });
        w.lib.WaitResults(wanted);
      }));
      ok = raw->back().wall > 0 && w.lib.results() == wanted && w.lib.failed() == failed;
    }
  }
  if (!ok) state.SkipWithError("a login, message or result failed");
  return ok;
}

// Messages per round: enough for the CPU clock, few enough to stay clear of the flood limit.
int MessagesPerRound(size_t bytes) { return bytes > 1000 ? 400 : 2000; }

// CPU of every thread per message sent, all results back.
void BM_RatioSendCpu(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  const int n = MessagesPerRound(bytes);
  std::vector<Cost> lib, raw;
  if (!SendRounds(state, bytes, n, &lib, &raw)) return;
  const double lib_us = Median(Each(lib, &Cost::cpu, 1e6 / n));
  const double raw_us = Median(Each(raw, &Cost::cpu, 1e6 / n));
  state.counters["lib_cpu_us"] = lib_us;
  state.counters["raw_cpu_us"] = raw_us;
  state.counters["ratio"] = lib_us / raw_us;
}
BENCHMARK(BM_RatioSendCpu)
    ->ArgName("bytes")
    ->Arg(kSmall)
    ->Arg(kLarge)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Small messages from one app thread, from the first send to the last result.
void BM_RatioMessagesPerSecond(benchmark::State& state) {
  const int n = MessagesPerRound(kSmall);
  std::vector<Cost> lib, raw;
  if (!SendRounds(state, kSmall, n, &lib, &raw)) return;
  // The median time gives the median rate.
  const double lib_rate = n / Median(Each(lib, &Cost::wall, 1));
  const double raw_rate = n / Median(Each(raw, &Cost::wall, 1));
  state.counters["lib_msgs_per_s"] = lib_rate;
  state.counters["raw_msgs_per_s"] = raw_rate;
  state.counters["ratio"] = lib_rate / raw_rate;
}
BENCHMARK(BM_RatioMessagesPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

// CPU of every thread per message received and acknowledged: the raw sender sends rounds of
// messages alternately to "raw-recv" (which reports its own process's CPU) and to the library,
// and a round ends when the sender has every result back.
void BM_RatioReceiveCpu(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  const int n = MessagesPerRound(bytes);
  World w;
  std::vector<double> lib, raw;
  auto mark = [&w](double* cpu, uint64_t* received) {
    std::string word;
    w.receiver.Ask("mark") >> word >> *cpu >> *received;
  };
  if (!w.ok) return state.SkipWithError("login failed");
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      double cpu0 = 0, cpu1 = 0;
      uint64_t got0 = 0, got1 = 0;
      mark(&cpu0, &got0);
      const bool raw_sent = RawSend(w, "raw-recv", n, bytes).wall > 0;
      mark(&cpu1, &got1);
      raw.push_back((cpu1 - cpu0) * 1e6 / n);
      const uint64_t received = w.lib.received();
      bool lib_sent = false;
      lib.push_back(Measure([&] { lib_sent = RawSend(w, "lib", n, bytes).wall > 0; }).cpu * 1e6 /
                    n);
      if (!raw_sent || got1 - got0 != static_cast<uint64_t>(n) || !lib_sent ||
          w.lib.received() - received != static_cast<uint64_t>(n)) {
        return state.SkipWithError("a message or result failed");
      }
    }
  }
  state.counters["lib_cpu_us"] = Median(lib);
  state.counters["raw_cpu_us"] = Median(raw);
  state.counters["ratio"] = Median(lib) / Median(raw);
}
BENCHMARK(BM_RatioReceiveCpu)
    ->ArgName("bytes")
    ->Arg(kSmall)
    ->Arg(kLarge)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// One small message in flight, from the send to its result: sparse waits 10 ms after each
// result, ping-pong sends the next at once. The p99 is set against the raw client's p50.
void BM_RatioSendToResultLatency(benchmark::State& state) {
  const int gap_ms = state.range(0) != 0 ? 10 : 0;
  const int n = gap_ms != 0 ? 60 : 400;
  const std::string text = Text(kSmall);
  World w;
  std::vector<double> lib, raw;
  if (!w.ok) return state.SkipWithError("login failed");
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      std::istringstream reply =
          w.sender.Ask("ping raw-recv " + std::to_string(n) + " " + std::to_string(gap_ms) + " " +
                       std::to_string(kSmall));
      std::string word;
      reply >> word;
      for (double us; reply >> us;) raw.push_back(us);
      const uint64_t failed = w.lib.failed();
      bool ok = word == "ping";
      OnAppThread([&] {
        for (int i = 0; i < n && ok; ++i) {
          const uint64_t wanted = w.lib.results() + 1;
          const auto start = Clock::now();
          Clock::time_point done;
          w.lib.Send("raw-recv", text);
          ok = w.lib.WaitResults(wanted, &done);
          lib.push_back(Seconds(done - start) * 1e6);
          std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
        }
      });
      if (!ok || w.lib.failed() != failed || raw.size() != lib.size())
        return state.SkipWithError("a message or result failed");
    }
  }
  const double raw50 = Percentile(raw, 0.5);
  state.counters["lib_p50_us"] = Percentile(lib, 0.5);
  state.counters["lib_p99_us"] = Percentile(lib, 0.99);
  state.counters["raw_p50_us"] = raw50;
  state.counters["raw_p99_us"] = Percentile(raw, 0.99);
  state.counters["ratio"] = Percentile(lib, 0.5) / raw50;
  state.counters["ratio_p99"] = Percentile(lib, 0.99) / raw50;
}
BENCHMARK(BM_RatioSendToResultLatency)
    ->ArgName("sparse")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Context switches of one thread, from /proc.
long ContextSwitches(pid_t tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  long total = 0;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      total += std::stol(line.substr(line.find(':') + 1));
    }
  }
  return total;
}

// Wake-ups per second of the worker while the library's user is logged in and idle (KeepAlive
// every 5 s included), over 10 s, beside a thread blocked in poll() over the same time.
void BM_RatioIdleWakeups(benchmark::State& state) {
  World w;
  if (!w.ok) return state.SkipWithError("login failed");
  pid_t worker = vy::ThreadMgr::Inst()->Invoke<pid_t>(
      RTC_FROM_HERE, [] { return static_cast<pid_t>(syscall(SYS_gettid)); });
  std::atomic<pid_t> blocked{0};
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return;
  std::thread poller([&] {
    blocked = static_cast<pid_t>(syscall(SYS_gettid));
    pollfd p{pipe_fds[0], POLLIN, 0};
    poll(&p, 1, -1);
  });
  while (blocked.load() == 0) std::this_thread::yield();
  // Settle after the login.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double seconds = 10;
  long worker_before = 0, poller_before = 0, worker_after = 0, poller_after = 0;
  double cpu = 0;
  clockid_t cpu_clock;
  pthread_t worker_thread =
      vy::ThreadMgr::Inst()->Invoke<pthread_t>(RTC_FROM_HERE, [] { return pthread_self(); });
  pthread_getcpuclockid(worker_thread, &cpu_clock);
  auto cpu_now = [&] {
    timespec ts{};
    clock_gettime(cpu_clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  };
  for (auto _ : state) {
    worker_before = ContextSwitches(worker);
    poller_before = ContextSwitches(blocked);
    double c0 = cpu_now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    cpu = cpu_now() - c0;
    worker_after = ContextSwitches(worker);
    poller_after = ContextSwitches(blocked);
  }
  char one = 1;
  (void)!write(pipe_fds[1], &one, 1);
  poller.join();
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  state.counters["lib_wakeups_per_s"] = static_cast<double>(worker_after - worker_before) / seconds;
  state.counters["poll_wakeups_per_s"] =
      static_cast<double>(poller_after - poller_before) / seconds;
  state.counters["lib_cpu_percent"] = 100.0 * cpu / seconds;
}
BENCHMARK(BM_RatioIdleWakeups)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// Cross-thread calls and posts.

// A thread serving a mutex + condition-variable queue of closures.
class CvQueueThread {
 public:
  CvQueueThread() : thread_([this] { Run(); }) {}
  ~CvQueueThread() {
    Push(nullptr);
    thread_.join();
  }
  void Push(std::function<void()> f) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back(std::move(f));
    }
    cv_.notify_one();
  }

 private:
  void Run() {
    while (true) {
      std::function<void()> f;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return !queue_.empty(); });
        f = std::move(queue_.front());
        queue_.pop_front();
      }
      if (!f) return;
      f();
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  std::thread thread_;
};

// A call run on `queue`'s thread, its caller waiting on a condition variable for the answer.
int CvRoundTrip(CvQueueThread& queue, int value) {
  struct Call {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    int result = 0;
  } call;
  queue.Push([&call, value] {
    // Notified under the lock: the caller may not return, and free `call`, before it is done.
    std::lock_guard<std::mutex> lock(call.mu);
    call.result = value;
    call.done = true;
    call.cv.notify_one();
  });
  std::unique_lock<std::mutex> lock(call.mu);
  call.cv.wait(lock, [&call] { return call.done; });
  return call.result;
}

// Invoke onto the worker from an app thread, beside a mutex + condition-variable round trip;
// per call, the CPU of every thread (a spinning wait is counted) and the time.
void BM_RatioInvokeRoundTrip(benchmark::State& state) {
  const int n = 20000;
  vy::ThreadMgr* worker = vy::ThreadMgr::Inst();
  CvQueueThread queue;
  std::vector<Cost> lib, cv;
  for (auto _ : state) {
    OnAppThread([&] {
      for (int round = 0; round < kRounds; ++round) {
        cv.push_back(Measure([&] {
          for (int i = 0; i < n; ++i) benchmark::DoNotOptimize(CvRoundTrip(queue, i));
        }));
        lib.push_back(Measure([&] {
          for (int i = 0; i < n; ++i)
            benchmark::DoNotOptimize(worker->Invoke<int>(RTC_FROM_HERE, [i] { return i; }));
        }));
      }
    });
  }
  const double lib_cpu = Median(Each(lib, &Cost::cpu, 1e6 / n));
  const double cv_cpu = Median(Each(cv, &Cost::cpu, 1e6 / n));
  const double lib_us = Median(Each(lib, &Cost::wall, 1e6 / n));
  const double cv_us = Median(Each(cv, &Cost::wall, 1e6 / n));
  state.counters["lib_cpu_us"] = lib_cpu;
  state.counters["cv_cpu_us"] = cv_cpu;
  state.counters["ratio"] = lib_cpu / cv_cpu;
  state.counters["lib_us"] = lib_us;
  state.counters["cv_us"] = cv_us;
  state.counters["ratio_time"] = lib_us / cv_us;
}
BENCHMARK(BM_RatioInvokeRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

class CountingHandler : public rtc::MessageHandler {
 public:
  explicit CountingHandler(int target) : target_(target) {}
  void OnMessage(rtc::Message*) override {
    if (count_.fetch_add(1, std::memory_order_relaxed) + 1 == target_) done.Set();
  }
  rtc::Event done;

 private:
  std::atomic<int> count_{0};
  const int target_;
};

// Runs `post` on each of `producers` threads; the rate in posts per second once `wait` returns.
template <typename Post, typename Wait>
double PostRate(int producers, int per_producer, Post post, Wait wait) {
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < producers; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < per_producer; ++i) post();
    });
  }
  for (auto& t : threads) t.join();
  wait();
  return producers * per_producer / Seconds(Clock::now() - start);
}

// Posts from 1 or 4 producers to an rtc::Thread on the default socket server, beside the same
// number of items through a mutex + condition-variable queue.
void BM_RatioCrossThreadPost(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  const int per_producer = 400000 / producers;
  const int total = per_producer * producers;
  std::vector<double> lib, cv;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      {
        std::unique_ptr<rtc::Thread> consumer = rtc::Thread::CreateWithSocketServer();
        consumer->Start();
        CountingHandler handler(total);
        lib.push_back(PostRate(
            producers, per_producer, [&] { consumer->Post(RTC_FROM_HERE, &handler); },
            [&] { handler.done.Wait(rtc::Event::kForever); }));
        consumer->Stop();
      }
      std::mutex mu;
      std::condition_variable ready;
      std::deque<rtc::MessageHandler*> queue;
      CountingHandler handler(total);
      std::thread consumer([&] {
        for (int seen = 0; seen < total; ++seen) {
          rtc::Message msg;
          {
            std::unique_lock<std::mutex> lock(mu);
            ready.wait(lock, [&] { return !queue.empty(); });
            msg.phandler = queue.front();
            queue.pop_front();
          }
          msg.phandler->OnMessage(&msg);
        }
      });
      cv.push_back(PostRate(
          producers, per_producer,
          [&] {
            {
              std::lock_guard<std::mutex> lock(mu);
              queue.push_back(&handler);
            }
            ready.notify_one();
          },
          [&] { consumer.join(); }));
    }
  }
  state.counters["lib_posts_per_s"] = Median(lib);
  state.counters["cv_queue_per_s"] = Median(cv);
  state.counters["ratio"] = Median(lib) / Median(cv);
}
BENCHMARK(BM_RatioCrossThreadPost)
    ->ArgName("producers")
    ->Arg(1)
    ->Arg(4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
