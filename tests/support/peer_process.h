// Real peers started by a test: a daemon in the foreground, in a private folder, on a loopback
// port of its own, killed with the object (and with the test, should the test die first).
// nginx is started here for every test that talks to it.
#ifndef TESTS_SUPPORT_PEER_PROCESS_H_
#define TESTS_SUPPORT_PEER_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace rtc {
namespace testing {

// A socket listening on 127.0.0.1 at a port of its own (-1 on failure), and a port that
// nothing listens on right now.
int ListenLoopback(int* port);
int UnusedLoopbackPort();
// A socket bound to 127.0.0.1 at a port of its own, not listening, with SO_REUSEADDR (-1 on
// failure). While it is open no other bind to port 0 and no outgoing connection is given the
// port, even in another process, yet a daemon that sets SO_REUSEADDR (nginx, squid, tinyproxy,
// microsocks) can still listen on it.
int ReserveLoopbackPort(int* port);
bool CanConnect(const std::string& host, int port);
bool ProgramAvailable(const char* path);
void WriteFile(const std::string& path, const std::string& body);
std::string ReadFile(const std::string& path);

class PeerProcess {
 public:
  PeerProcess();
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // The private folder and the port the peer is to listen on, both chosen at construction.
  // The port stays reserved while the object lives (see ReserveLoopbackPort).
  const std::string& dir() const { return dir_.path(); }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Runs the program (output in dir()/output.log) and waits up to 5 s until it accepts
  // connections on port(); false at once when it exits first.
  bool Start(const std::vector<std::string>& argv);
  void WriteFile(const std::string& name, const std::string& body) const {
    testing::WriteFile(dir_.File(name), body);
  }
  std::string ReadFile(const std::string& name) const { return testing::ReadFile(dir_.File(name)); }

 private:
  vy_test::TempDir dir_;
  int port_ = 0;
  int reservation_ = -1;
  pid_t pid_ = -1;
  int pidfd_ = -1;
};

extern const char kNginx[];
// nginx-light with the echo module.
bool NginxAvailable();

// nginx on peer->port(), one process, serving `server` (the directives of its server block
// besides "listen"; "$dir" stands for peer->dir()). With a certificate and key file it speaks
// TLS.
bool StartNginx(PeerProcess* peer, const std::string& server, const std::string& cert_file = "",
                const std::string& key_file = "");

}  // namespace testing
}  // namespace rtc

#endif  // TESTS_SUPPORT_PEER_PROCESS_H_
