// Real proxies for the proxy tests, each started by the test on a loopback port of its own,
// in a private folder, and killed with it.
#ifndef TESTS_RTC_BASE_PROXY_PEERS_H_
#define TESTS_RTC_BASE_PROXY_PEERS_H_

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rtc_base/net/async_socket.h"
#include "rtc_base/net/proxy_info.h"
#include "rtc_base/proxy/proxy_detect.h"
#include "rtc_base/strings/crypt_string.h"
#include "rtc_base/threads/sigslot.h"
#include "tests/support/peer_process.h"

namespace rtc {
namespace testing {

inline CryptString Password(const std::string& text) {
  return CryptString(InsecureCryptStringImpl(text));
}

inline ProxyInfo MakeProxy(ProxyType type, int port, const std::string& user = "",
                           const std::string& password = "") {
  ProxyInfo proxy;
  proxy.type = type;
  proxy.address = SocketAddress("127.0.0.1", port);
  proxy.username = user;
  proxy.password = Password(password);
  return proxy;
}

// Installs an environment for the proxy lookups while it lives.
class ScopedProxyEnvironment {
 public:
  explicit ScopedProxyEnvironment(std::map<std::string, std::string> env) : env_(std::move(env)) {
    SetProxyEnvironmentForTesting(&env_);
  }
  ~ScopedProxyEnvironment() { SetProxyEnvironmentForTesting(nullptr); }

 private:
  std::map<std::string, std::string> env_;
};

// Owns a socket and records what it hears, as a user of the socket would.
struct SocketOwner : public sigslot::has_slots<> {
  explicit SocketOwner(AsyncSocket* s) : socket(s) {
    s->SignalConnectEvent.connect(this, &SocketOwner::OnConnect);
    s->SignalReadEvent.connect(this, &SocketOwner::OnRead);
    s->SignalCloseEvent.connect(this, &SocketOwner::OnClose);
  }
  void OnConnect(AsyncSocket*) { events += "connect;"; }
  void OnRead(AsyncSocket* s) {
    events += "read;";
    char buf[4096];
    int n;
    while ((n = s->Recv(buf, sizeof(buf), nullptr)) > 0) {
      received.append(buf, n);
    }
  }
  void OnClose(AsyncSocket*, int err) {
    events += "close;";
    close_error = err;
    if (delete_on_close) {
      socket.reset();
    }
  }
  bool Send(const std::string& text) {
    return socket->Send(text.data(), text.size()) == static_cast<int>(text.size());
  }
  bool connected() const { return events.find("connect;") != std::string::npos; }
  bool closed() const { return events.find("close;") != std::string::npos; }

  std::unique_ptr<AsyncSocket> socket;
  std::string events;
  std::string received;
  int close_error = -1;
  bool delete_on_close = false;
};

// Reads exactly `n` bytes from a blocking socket; false when the peer closed or 5 s passed.
bool ReadBytes(int fd, size_t n, std::string* out);
// Answers every byte with the same byte until the peer closes.
void Echo(int fd);

// tinyproxy, allowing CONNECT to the given ports (default: its own, 443 and 563), with Basic
// authentication when a user is given.
bool StartTinyProxy(PeerProcess* peer, const std::vector<int>& connect_ports = {},
                    const std::string& user = "", const std::string& password = "");
// microsocks, with username/password authentication when a user is given.
bool StartMicroSocks(PeerProcess* peer, const std::string& user = "",
                     const std::string& password = "");

// squid in the foreground, allowing CONNECT to any port for users that authenticate: with
// Basic for `basic_user`, with Digest for `digest_user` (either may be empty).
bool StartSquid(PeerProcess* peer, const std::string& basic_user, const std::string& basic_password,
                const std::string& digest_user, const std::string& digest_password);

extern const char kTinyProxy[];
extern const char kMicroSocks[];
extern const char kSquid[];
extern const char kCurl[];

}  // namespace testing
}  // namespace rtc

#endif  // TESTS_RTC_BASE_PROXY_PEERS_H_
