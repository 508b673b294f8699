// Sequential HTTP POSTs to a local nginx: the asynchronous request as the service core makes
// it (one new connection, one worker thread per request), the bare client over one kept-alive
// connection, and curl doing the same requests as the anchor.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/fetch/async_http_request.h"
#include "rtc_base/http/http_client.h"
#include "rtc_base/net/memory_stream.h"
#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/threads/thread.h"

namespace {

const char kBody[] =
    R"({"cType":2,"appId":"0123456789abcdef0123456789abcdef","uid":"bench-user","token":"tok","wss":false})";
const char kNginx[] = "/usr/sbin/nginx";
const char kEchoModule[] = "/usr/lib/nginx/modules/ngx_http_echo_module.so";

// One nginx for the whole run, on its own loopback address.
class Nginx {
 public:
  static Nginx* Get() {
    static Nginx* nginx = new Nginx();
    return nginx->ok_ ? nginx : nullptr;
  }
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.5:" + std::to_string(port_) + "/echo"; }

 private:
  Nginx() {
    if (access(kNginx, X_OK) != 0 || access(kEchoModule, R_OK) != 0) {
      return;
    }
    char dir[] = "/tmp/vortm_http_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      return;
    }
    std::string d = dir;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.5", &addr.sin_addr);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    close(fd);
    std::ofstream conf(d + "/nginx.conf");
    conf << "load_module " << kEchoModule << ";\n"
         << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "error_log " << d << "/error.log;\npid " << d << "/nginx.pid;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n  access_log off;\n  keepalive_requests 1000000;\n"
         << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/p;\n"
         << "  fastcgi_temp_path " << d << "/f;\n  uwsgi_temp_path " << d << "/u;\n"
         << "  scgi_temp_path " << d << "/s;\n"
         << "  server {\n    listen 127.0.0.5:" << port_ << ";\n"
         << "    location = /echo { echo_read_request_body; echo_request_body; }\n"
         << "  }\n}\n";
    conf.close();
    pid_t pid = fork();
    if (pid == 0) {
      execl(kNginx, kNginx, "-p", d.c_str(), "-c", (d + "/nginx.conf").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 500 && !ok_; ++i) {
      usleep(10000);
      int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      ok_ = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
      close(probe);
    }
    pid_ = pid;
    dir_ = d;
    atexit([] {
      Nginx* n = Nginx::Get();
      if (n != nullptr) {
        kill(n->pid_, SIGTERM);
        waitpid(n->pid_, nullptr, 0);
        std::string cmd = "rm -rf '" + n->dir_ + "'";
        if (system(cmd.c_str()) != 0) {
        }
      }
    });
  }

  bool ok_ = false;
  int port_ = 0;
  pid_t pid_ = -1;
  std::string dir_;
};

struct Done : public sigslot::has_slots<> {
  bool done = false;
  int error = -1;
  void OnDone(rtc::SignalThread* thread) {
    auto* request = static_cast<rtc::AsyncHttpRequest*>(thread);
    error = request->error();
    request->Release();
    done = true;
    rtc::Thread::Current()->Quit();
  }
};

rtc::AsyncHttpRequest* MakeRequest(const rtc::Url<char>& url) {
  auto* request = new rtc::AsyncHttpRequest("ZODEvo");
  request->set_host(url.host());
  request->set_port(url.port());
  request->set_timeout(3000);
  request->request().verb = rtc::HV_POST;
  request->request().path = url.full_path();
  request->request().setContent("application/x-www-form-urlencoded",
                                new rtc::MemoryStream(kBody, sizeof(kBody) - 1));
  request->response().document.reset(new rtc::MemoryStream());
  return request;
}

void BM_AsyncHttpRequestPost(benchmark::State& state) {
  Nginx* nginx = Nginx::Get();
  if (nginx == nullptr) {
    state.SkipWithError("nginx-light with the echo module is not installed");
    return;
  }
  rtc::LogMessage::LogToDebug(rtc::LS_NONE);
  rtc::PhysicalSocketServer ss;
  rtc::AutoSocketServerThread thread(&ss);
  rtc::Url<char> url(nginx->url());
  for (auto _ : state) {
    Done done;
    rtc::AsyncHttpRequest* request = MakeRequest(url);
    request->SignalWorkDone.connect(&done, &Done::OnDone);
    request->Start();
    // The completion handler ends the wait.
    while (!done.done) {
      thread.ProcessMessages(rtc::SocketServer::kForever);
    }
    thread.Restart();
    if (done.error != 0) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AsyncHttpRequestPost)->UseRealTime()->MinTime(2.0);

void BM_HttpClientPostKeptAlive(benchmark::State& state) {
  Nginx* nginx = Nginx::Get();
  if (nginx == nullptr) {
    state.SkipWithError("nginx-light with the echo module is not installed");
    return;
  }
  rtc::LogMessage::LogToDebug(rtc::LS_NONE);
  rtc::PhysicalSocketServer ss;
  rtc::AutoSocketServerThread thread(&ss);
  rtc::HttpClientDefault client(nullptr, "ZODEvo");
  struct Complete : public sigslot::has_slots<> {
    bool done = false;
    int error = -1;
    void On(rtc::HttpClient*, int err) {
      error = err;
      done = true;
      rtc::Thread::Current()->Quit();
    }
  } complete;
  client.SignalHttpClientComplete.connect(&complete, &Complete::On);
  for (auto _ : state) {
    complete.done = false;
    client.prepare_post(nginx->url(), "application/x-www-form-urlencoded",
                        new rtc::MemoryStream(kBody, sizeof(kBody) - 1));
    client.response().document.reset(new rtc::MemoryStream());
    client.start();
    while (!complete.done) {
      thread.ProcessMessages(rtc::SocketServer::kForever);
    }
    thread.Restart();
    if (complete.error != 0) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpClientPostKeptAlive)->UseRealTime()->MinTime(2.0);

// curl sends the same POSTs in one run; its own per-transfer timer is the iteration time, so
// that process start-up is not counted.
void CurlPost(benchmark::State& state, bool keep_alive) {
  Nginx* nginx = Nginx::Get();
  if (nginx == nullptr || access("/usr/bin/curl", X_OK) != 0) {
    state.SkipWithError("nginx or curl is not installed");
    return;
  }
  const int n = 2000;
  std::string config_path = "/tmp/vortm_http_bench_curl_" + std::to_string(getpid());
  // The body goes from a file, so that its quotes need no escaping in the config.
  std::string body_path = config_path + ".body";
  std::ofstream(body_path) << kBody;
  {
    std::ofstream config(config_path);
    for (int i = 0; i < n; ++i) {
      config << "next\nurl = \"" << nginx->url() << "\"\ndata-binary = \"@" << body_path
             << "\"\noutput = \"/dev/null\"\nwrite-out = \"%{time_total}\\n\"\n"
             << "header = \"Content-Type: application/x-www-form-urlencoded\"\n";
      if (!keep_alive) {
        config << "header = \"Connection: close\"\n";
      }
    }
  }
  std::string cmd = "curl -s -K " + config_path;
  std::vector<double> times;
  FILE* out = popen(cmd.c_str(), "r");
  double t;
  while (out != nullptr && fscanf(out, "%lf", &t) == 1) {
    times.push_back(t);
  }
  if (out != nullptr) {
    pclose(out);
  }
  unlink(config_path.c_str());
  unlink(body_path.c_str());
  if (times.size() < static_cast<size_t>(n)) {
    state.SkipWithError("curl failed");
    return;
  }
  size_t i = 1;  // The first transfer includes curl's own warm-up.
  for (auto _ : state) {
    state.SetIterationTime(times[i]);
    i = i + 1 < times.size() ? i + 1 : 1;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CurlPostNewConnection(benchmark::State& state) { CurlPost(state, false); }
BENCHMARK(BM_CurlPostNewConnection)->UseManualTime()->Iterations(1999);

void BM_CurlPostKeptAlive(benchmark::State& state) { CurlPost(state, true); }
BENCHMARK(BM_CurlPostKeptAlive)->UseManualTime()->Iterations(1999);

// Heap held by a prepared request before it starts; the engine's 32 KB buffer dominates.
// Running adds a worker thread (its stack is mapped, not counted here).
void BM_AsyncHttpRequestMemory(benchmark::State& state) {
  rtc::PhysicalSocketServer ss;
  rtc::AutoSocketServerThread thread(&ss);
  rtc::Url<char> url("http://127.0.0.5:80/echo");
  const int kBatch = 64;
  double bytes = 0;
  for (auto _ : state) {
    size_t before = mallinfo2().uordblks;
    std::vector<rtc::AsyncHttpRequest*> requests;
    for (int i = 0; i < kBatch; ++i) {
      requests.push_back(MakeRequest(url));
    }
    size_t after = mallinfo2().uordblks;
    bytes = static_cast<double>(after - before) / kBatch;
    for (rtc::AsyncHttpRequest* request : requests) {
      request->Release();
    }
  }
  state.counters["bytes_per_request"] = bytes;
}
BENCHMARK(BM_AsyncHttpRequestMemory)->Iterations(20);

}  // namespace
