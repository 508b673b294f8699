// Loopback HTTP peers for the HTTP client tests: a scripted TCP server whose handler decides
// what each connection gets, and nginx started with a private configuration.
#ifndef TESTS_RTC_BASE_HTTP_TEST_SERVER_H_
#define TESTS_RTC_BASE_HTTP_TEST_SERVER_H_

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/peer_process.h"

namespace rtc {
namespace testing {

// Reads one request (headers and a Content-Length body) from a blocking socket; false when
// the peer closed or 5 s passed first.
bool ReadHttpRequest(int fd, std::string* request);
bool SendText(int fd, const std::string& text);

// Accepts on 127.0.0.1 and runs the handler for each connection on the server's thread,
// one connection at a time; the socket is closed when the handler returns.
class ScriptedServer {
 public:
  // (socket, index of the connection from 0). WaitForStop lets a handler hold a connection
  // open without answering until the server stops.
  using Handler = std::function<void(int fd, int index)>;

  explicit ScriptedServer(Handler handler);
  ~ScriptedServer();

  bool Start();
  void Stop();
  int port() const { return port_; }
  int accepted() const { return accepted_.load(); }
  // Requests as the handlers recorded them with Record.
  std::vector<std::string> requests();
  void Record(const std::string& request);
  // Blocks a handler until Stop.
  void WaitForStop(int fd);
  // Records the connection's first request, answers nothing and holds it until Stop.
  void RecordAndHold(int fd);

 private:
  void Run();

  Handler handler_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  int current_fd_ = -1;
  std::atomic<int> accepted_{0};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

// nginx with the locations the HTTP client tests use:
//   /echo           answers a POST with its body (chunked)
//   /static/<file>  files written with AddFile before Start; small.txt is "small body\n"
//   /close          a body that ends with the connection
//   /chain<N>       301 to /chain<N+1> (N from 1), /chain7 answers 200
//   /found          302 to /static/small.txt; /see-other 303 to /static/small.txt
//   /relative       301 with the relative Location "/static/small.txt"
//   /to-https       301 to https://<host>:<port>/static/small.txt
class NginxServer {
 public:
  static bool Available() { return NginxAvailable(); }

  void AddFile(const std::string& name, const std::string& body);
  // Serves HTTPS instead of HTTP with this certificate chain and key (PEM files); before Start.
  void UseTls(const std::string& cert_file, const std::string& key_file) {
    cert_file_ = cert_file;
    key_file_ = key_file;
  }
  bool Start();
  std::string host() const { return "127.0.0.1"; }
  int port() const { return peer_.port(); }
  std::string url(const std::string& path) const;

 private:
  PeerProcess peer_;
  std::string cert_file_;
  std::string key_file_;
};

}  // namespace testing
}  // namespace rtc

#endif  // TESTS_RTC_BASE_HTTP_TEST_SERVER_H_
