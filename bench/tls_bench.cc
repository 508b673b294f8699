// The TLS adapter on loopback against its baselines on the same peers:
//   handshakes per second, new and resumed (TLS 1.2), against `openssl s_time -new/-reuse`
//     on the same openssl s_server;
//   bulk throughput through the adapter into socat (TLS) against a plain socket into socat.
// Run: build/release/bench/tls_bench
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/threads/thread.h"
#include "rtc_base/tls/openssl_adapter.h"
#include "rtc_base/tls/openssl_identity.h"
#include "rtc_base/tls/ssl_roots.h"

namespace {

// A self-signed "localhost" certificate that is also the only trusted root, and the peers
// that serve it.
class Peers {
 public:
  static Peers& Get() {
    static Peers* peers = new Peers;
    return *peers;
  }
  int tls_server_port() const { return 24400 + offset_; }
  int tls_sink_port() const { return 24401 + offset_; }
  int plain_sink_port() const { return 24402 + offset_; }
  const std::string& dir() const { return dir_; }

 private:
  Peers() {
    offset_ = (getpid() % 500) * 3;
    char dir[] = "/tmp/vortm_tls_bench_XXXXXX";
    dir_ = mkdtemp(dir);
    std::unique_ptr<rtc::SSLIdentity> identity =
        rtc::SSLIdentity::Generate("localhost", rtc::KT_ECDSA);
    const std::string pem = identity->certificate().ToPEMString();
    std::ofstream(dir_ + "/cert.pem") << pem;
    std::ofstream(dir_ + "/key.pem") << identity->PrivateKeyToPEMString();
    std::string der;
    rtc::SSLIdentity::PemToDer("CERTIFICATE", pem, &der);
    rtc::SetSSLRootCertificates({der});
    Spawn("openssl s_server -quiet -tls1_2 -accept 127.0.0.1:" + std::to_string(tls_server_port()) +
          " -cert cert.pem -key key.pem -www");
    Spawn("socat OPENSSL-LISTEN:" + std::to_string(tls_sink_port()) +
          ",bind=127.0.0.1,reuseaddr,fork,cert=cert.pem,key=key.pem,verify=0 "
          "SYSTEM:'cat >/dev/null'");
    Spawn("socat TCP-LISTEN:" + std::to_string(plain_sink_port()) +
          ",bind=127.0.0.1,reuseaddr,fork SYSTEM:'cat >/dev/null'");
    usleep(300000);  // The three listeners come up; a benchmark's set-up, not a test.
  }
  void Spawn(const std::string& command) {
    pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      if (chdir(dir_.c_str()) != 0) _exit(126);
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execl("/bin/sh", "sh", "-c", ("sleep 600 | " + command).c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    atexit_pids_[count_++] = pid;
    if (count_ == 1) atexit([] { Get().Stop(); });
  }
  void Stop() {
    for (int i = 0; i < count_; ++i) kill(-atexit_pids_[i], SIGKILL);
  }

  std::string dir_;
  int offset_ = 0;
  pid_t atexit_pids_[3] = {};
  int count_ = 0;
};

class Connection : public sigslot::has_slots<> {
 public:
  void OnConnect(rtc::AsyncSocket*) { connected = true; }
  void OnClose(rtc::AsyncSocket*, int) { closed = true; }
  bool connected = false;
  bool closed = false;
};

bool Pump(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    // ProcessMessages(n) spends all of n ms; 0 polls once, so no pass waits needlessly.
    rtc::Thread::Current()->ProcessMessages(0);
  }
  return true;
}

// One handshake; false when it fails.
bool Handshake(rtc::PhysicalSocketServer* ss, rtc::SSLAdapterFactory* factory, int port,
               bool* resumed) {
  rtc::AsyncSocket* socket = ss->CreateAsyncSocket(AF_INET, SOCK_STREAM);
  std::unique_ptr<rtc::SSLAdapter> adapter(factory ? factory->CreateAdapter(socket)
                                                   : rtc::SSLAdapter::Create(socket));
  Connection connection;
  adapter->SignalConnectEvent.connect(&connection, &Connection::OnConnect);
  adapter->SignalCloseEvent.connect(&connection, &Connection::OnClose);
  adapter->StartSSL("localhost", false);
  adapter->Connect(rtc::SocketAddress("127.0.0.1", port));
  if (!Pump([&] { return connection.connected || connection.closed; })) return false;
  *resumed = adapter->IsResumedSession();
  adapter->Close();
  return connection.connected;
}

void BM_AdapterHandshake(benchmark::State& state) {
  const bool reuse = state.range(0) != 0;
  Peers& peers = Peers::Get();
  rtc::PhysicalSocketServer ss;
  rtc::AutoSocketServerThread thread(&ss);
  std::unique_ptr<rtc::SSLAdapterFactory> factory = rtc::SSLAdapterFactory::Create();
  bool resumed = false;
  if (reuse && !Handshake(&ss, factory.get(), peers.tls_server_port(), &resumed)) {
    state.SkipWithError("no first handshake");
    return;
  }
  int resumed_count = 0;
  for (auto _ : state) {
    // A new handshake each time without a cache; with one, each resumes.
    if (!Handshake(&ss, reuse ? factory.get() : nullptr, peers.tls_server_port(), &resumed)) {
      state.SkipWithError("handshake failed");
      return;
    }
    resumed_count += resumed;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["resumed"] = static_cast<double>(resumed_count) / state.iterations();
}
BENCHMARK(BM_AdapterHandshake)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Baseline: openssl s_time on the same server for two seconds; connections per second.
void BM_OpensslSTimeBaseline(benchmark::State& state) {
  Peers& peers = Peers::Get();
  const std::string mode = state.range(0) ? "-reuse" : "-new";
  double per_second = 0;
  for (auto _ : state) {
    std::string command =
        "openssl s_time -connect 127.0.0.1:" + std::to_string(peers.tls_server_port()) + " " +
        mode + " -time 2 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    char line[512];
    while (pipe && fgets(line, sizeof(line), pipe)) {
      int connections = 0;
      double seconds = 0;
      if (sscanf(line, "%d connections in %lf real seconds", &connections, &seconds) == 2 &&
          seconds > 0) {
        per_second = connections / seconds;
      }
    }
    if (pipe) pclose(pipe);
  }
  state.counters["connections_per_second"] = per_second;
}
BENCHMARK(BM_OpensslSTimeBaseline)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// Sends `bytes` through `socket`, waiting for write events when it is full.
bool SendAll(rtc::AsyncSocket* socket, const std::string& chunk, size_t bytes) {
  size_t sent = 0;
  while (sent < bytes) {
    int n = socket->Send(chunk.data(), std::min(chunk.size(), bytes - sent));
    if (n > 0) {
      sent += n;
    } else if (socket->IsBlocking()) {
      rtc::Thread::Current()->ProcessMessages(0);
    } else {
      return false;
    }
  }
  return true;
}

void BM_BulkSend(benchmark::State& state) {
  const bool tls = state.range(0) != 0;
  Peers& peers = Peers::Get();
  rtc::PhysicalSocketServer ss;
  rtc::AutoSocketServerThread thread(&ss);
  rtc::AsyncSocket* socket = ss.CreateAsyncSocket(AF_INET, SOCK_STREAM);
  std::unique_ptr<rtc::AsyncSocket> connection(socket);
  Connection events;
  if (tls) {
    rtc::SSLAdapter* adapter = rtc::SSLAdapter::Create(connection.release());
    connection.reset(adapter);
    adapter->StartSSL("localhost", false);
  }
  connection->SignalConnectEvent.connect(&events, &Connection::OnConnect);
  connection->SignalCloseEvent.connect(&events, &Connection::OnClose);
  connection->Connect(
      rtc::SocketAddress("127.0.0.1", tls ? peers.tls_sink_port() : peers.plain_sink_port()));
  if (!Pump([&] { return events.connected || events.closed; }) || !events.connected) {
    state.SkipWithError("no connection");
    return;
  }
  const std::string chunk(64 * 1024, 'x');
  constexpr size_t kBytes = 4 << 20;
  for (auto _ : state) {
    if (!SendAll(connection.get(), chunk, kBytes)) {
      state.SkipWithError("send failed");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
  state.SetLabel(tls ? "tls" : "plain (baseline)");
}
BENCHMARK(BM_BulkSend)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
