// Real proxies for the proxy tests, each started by the test on a loopback port of its own,
// in a private folder, and killed with it.
#ifndef TESTS_RTC_BASE_PROXY_PEERS_H_
#define TESTS_RTC_BASE_PROXY_PEERS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace rtc {
namespace testing {

// A daemon in the foreground.
class PeerProcess {
 public:
  PeerProcess();
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // The private folder and the port the peer is to listen on, both chosen at construction.
  const std::string& dir() const { return dir_; }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Runs the program and waits until it accepts connections on port().
  bool Start(const std::vector<std::string>& argv);
  void WriteFile(const std::string& name, const std::string& body) const;

 private:
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

bool ProgramAvailable(const char* path);

// tinyproxy, allowing CONNECT to the given ports (default: its own, 443 and 563), with Basic
// authentication when a user is given.
bool StartTinyProxy(PeerProcess* peer,
                    const std::vector<int>& connect_ports = {},
                    const std::string& user = "",
                    const std::string& password = "");
// microsocks, with username/password authentication when a user is given.
bool StartMicroSocks(PeerProcess* peer,
                     const std::string& user = "",
                     const std::string& password = "");

extern const char kTinyProxy[];
extern const char kMicroSocks[];

}  // namespace testing
}  // namespace rtc

#endif  // TESTS_RTC_BASE_PROXY_PEERS_H_
